// Recording: the core both front ends share, one instance for the whole run: the rows and the
// shown index, the trace ring, RecordingInfo, the cleared-rows figures, the Sigma state and the
// view (ViewSpec). The window's own state (its handles and fonts among it) is app/window_state.h
// (`window`, null in the console program): the core opens no window, box or dialog. What it
// changed on the event list and the status bar is `changes`, which the window draws. Its
// operations (initialise, clean up) are the application's (app/recording_setup.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/hash_table.h"
#include "platform/lock.h"
#include "platform/ui.h"
#include "record/compact_row.h"
#include "record/event_row.h"
#include "record/kept_counts.h"
#include "record/recording_info.h"
#include "record/view_changes.h"
#include "record/view_spec.h"

namespace olv {

struct TraceController;
struct TargetLauncher;
struct SigmaState;   // views/sigma_rows.h
struct RowFactsFlow;  // views/row_facts_flow.h
struct YaraState;     // views/yara_rows.h
struct QueueCoders;  // capture/event_queue.h

// The EventQueue ring's size in bytes: at least 500,000 rows of a typical mix (about 110 bytes
// each as records; see docs/trace-capture.md).
constexpr uint32_t kQueueBytes = uint32_t{1} << 26;
constexpr int kMaxOperationNames = 128;

// What the view's process condition derives from the rows (views/process_filter.h): the pids
// whose current instance belongs to the chosen process (ViewSpec::process) while the rows are
// scanned in arrival order.
struct ProcessCondition {
    uint8_t incomplete; // a descendant could not be entered: more processes than the set holds
    HashTable<uint32_t> members; // the pids of the members; kProcessMemberSlots once made
};

struct MainWindow; // app/window_state.h

struct FactsWorkerConfig; // facts/facts_worker.h

struct Recording {
    // What changed about the event list and the status bar since a front end last drew them
    // (record/view_changes.h); the core never draws them itself.
    ViewChanges changes;

    // Row store (guarded by rowsLock, window thread only): each row a compact record whose texts
    // are ids into rowTexts. Read and change rows only through record/stored_rows.h.
    CompactRow* rows;
    int32_t rowCount;
    int32_t rowCapacity;
    TextStore rowTexts;
    // A stored row's text was replaced (SetStoredPath, SetStoredThreat): rowTexts may hold texts
    // no row names any more, so a file of the store is written from a fresh one.
    uint8_t rowTextsReplaced;
    int32_t* shownRows;
    int32_t shownCount;
    int32_t shownCapacity;
    Lock rowsLock;

    // EventQueue ring of row records (capture/event_queue.h): written by the trace threads under
    // queueLock, read by the window thread. The byte positions run freely and wrap at 2^32; a
    // position's place in the ring is position & queueMask.
    uint8_t* queueBytes;
    QueueCoders* queueCoders; // the writer's and the reader's previous rows, made with the ring
    uint32_t queueMask;       // bytes - 1: the ring's size is a power of two (kQueueBytes)
    uint32_t queueWrite;      // atomic: bytes written
    uint32_t queueRead;       // atomic: bytes given back by the reader
    uint32_t queueRowsIn;     // atomic: rows written (counted before their bytes are published)
    uint32_t queueRowsOut;    // atomic: rows read
    Lock queueLock;
    uint32_t droppedHere; // atomic
    // atomic: whole texts that went without the rest of their text (no room in the ring, or the
    // store refused them): their rows keep the start their path field holds
    uint32_t textsCutHere;

    uint32_t timerTicks;
    uint8_t shownListIncomplete;
    RecordingInfo recordingInfo;
    LossesBeforeResume lossesBeforeResume; // refreshed with the block's counters
    uint8_t recordingInfoValid;
    uint8_t autoScroll;
    uint8_t recording;
    // The trace session of the recording in memory ended by itself (set when its notice is
    // taken, until the next start): a front end reads it here rather than from any message.
    uint8_t traceEndedEarly;
    uint8_t launchedWithoutJob;
    // Every operation the rows have, in the order first seen; the window's combo box offers them.
    char16_t operationNames[kMaxOperationNames][kOperationNameChars];
    int32_t operationNameCount;
    // How often the list was emptied (ClearRows): a front end showing the names starts over when
    // it changes.
    uint32_t operationNamesCleared;
    TraceController* trace;
    TargetLauncher* launcher;

    // Rows were recorded (or opened and then changed) since the last Save Session or open: Clear,
    // closing the window and opening a session ask before they discard them.
    uint8_t rowsUnsaved;
    // Rows of this recording the user cleared; files and the summary report them.
    ClearedRows cleared;
    // Who recorded the recording in memory and the UTC bias at its Stop (recording_info.h):
    // filled by Start and Stop, replaced by an opened session (all zero for an older file).
    RecordingOrigin origin;
    // A session is being read: its progress window lets messages through between pieces, and
    // every command, close request and second open that arrives meanwhile is ignored.
    uint8_t sessionReading;
    // Sigma rules are being read on a worker: the progress window lets messages through, and
    // commands and close requests are ignored as while a session is read.
    uint8_t sigmaLoading;
    // Sigma rules, the field view of the rows and every row's matches (views/sigma_rows.h);
    // window thread only, made on first use.
    SigmaState* sigma;
    // The facts of the rows as the facts worker reads them (views/row_facts_flow.h); made by
    // Start, window thread only.
    RowFactsFlow* rowFacts;
    // Start reads the rows' facts (set by the programs on the real system; the stand-in tools
    // set it only for a scenario that gives its facts, and then factsConfig with their reader).
    uint8_t readFacts;
    // Start turns on script block and module logging for the recording (the Recording menu's
    // check item, --script-logging); scriptLoggingOn: this recording turned it on and Stop puts
    // the policy back.
    uint8_t scriptLogging;
    uint8_t scriptLoggingOn;
    const FactsWorkerConfig* factsConfig; // the worker's settings at Start; null: its defaults
    // The analyst's YARA rules and every row's matches (views/yara_rows.h); window thread only,
    // made on first use. A recording that reads facts scans the images and written files.
    YaraState* yara;
    // The loss counts a session file kept (record/kept_counts.h): what its notes show for the
    // parts no live worker or trace of this recording counts. Nothing known for a recording, or
    // a session of a version that keeps none.
    KeptCounts keptCounts;

    // Which rows are shown and in what order (SetView, views/row_store.h). Its process condition
    // and Sigma rule end with the rows they name (Clear, Open, a new rule set).
    ViewSpec view;
    // The members of the view's process condition.
    ProcessCondition processCondition;
    // The file name of the session the rows were opened from; empty for a recording.
    char16_t sessionName[260];
    // rowCount when the open tree and summary windows were last refilled (report/view_refresh.h).
    int32_t viewWindowRows;
    // The main window's own record (app/window_state.h), made by InitRecording; the core never
    // reads it.
    MainWindow* window;
};

} // namespace olv
