// AppState: everything the main window owns. One instance for the whole run. Every layer above
// the records works on it; its operations (initialise, clean up) are the application's
// (app/app_state.h).
#pragma once

#include <cstdint>

#include "platform/lock.h"
#include "platform/ui.h"
#include "record/event_row.h"
#include "record/recording_info.h"

namespace olv {

struct TraceController;
struct TargetLauncher;
struct RowSignature; // views/text_signature.h
struct SigmaState;   // views/sigma_rows.h

constexpr uint32_t kQueueSlots = 65536;
constexpr int kMaxOperationNames = 128;

struct AppState {
    UiHandle mainWindow;
    UiHandle targetEdit;
    UiHandle browseButton;
    UiHandle startButton;
    UiHandle stopButton;
    UiHandle clearButton;
    UiHandle exportCsvButton;
    UiHandle eventList;
    UiHandle fileCheck;
    UiHandle registryCheck;
    UiHandle networkCheck;
    UiHandle processCheck;
    UiHandle suspiciousCheck;
    UiHandle filterEdit;
    UiHandle operationCombo;
    UiHandle statusBar;
    FontHandle uiFont;
    FontHandle summaryFont;
    ModuleHandle instance;

    // Row store (guarded by rowsLock, window thread only).
    EventRow* rows;
    int32_t rowCount;
    int32_t rowCapacity;
    int32_t* shownRows;
    int32_t shownCount;
    int32_t shownCapacity;
    // Text signatures beside the rows (views/text_signature.h), made by SignWaitingRows when the
    // window thread is idle; an entry of zeros is a row not signed yet. Entries at and after
    // rowCount are zero. Whoever changes a stored row's text calls RowTextChanged, or the filter
    // may pass over it.
    RowSignature* rowSignatures;
    int32_t signatureCapacity;
    int32_t signedRows; // rows below were all signed once (SignWaitingRows)
    Lock rowsLock;

    // EventQueue ring: written by the trace threads under queueLock, read by the window thread.
    EventRow* queueSlots;
    SlotExtents* queueExtents; // one for each slot (see CopyRowIntoSlot), made with the slots
    uint32_t queueWrite;       // atomic
    uint32_t queueRead;        // atomic
    Lock queueLock;
    uint32_t droppedHere; // atomic

    uint32_t timerTicks;
    uint8_t shownListIncomplete;
    RecordingInfo recordingInfo;
    uint8_t recordingInfoValid;
    uint8_t autoScroll;
    uint8_t recording;
    uint8_t suspiciousOnly;
    uint8_t launchedWithoutJob;
    char16_t operationNames[kMaxOperationNames][64];
    int32_t operationNameCount;
    TraceController* trace;
    TargetLauncher* launcher;
    // Sigma rules, the field view of the rows and every row's matches (views/sigma_rows.h);
    // window thread only, made on first use.
    SigmaState* sigma;
};

} // namespace olv
