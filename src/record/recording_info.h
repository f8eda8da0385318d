// RecordingInfo: the metadata block of a recording, written raw into session files.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/endian.h"
#include "base/systime.h"

namespace olv {

enum RecordingFlag : uint32_t {
    noJobObject = 1,
    dnsNotRecorded = 2,
    dnsSessionEnded = 4,
    foreignKernelSessionStopped = 8,
    completenessUnknown = 16,
    stillRunningWhenSaved = 32,
    // A session's consumer was closed before it had delivered what the stopped session still
    // held: its last events may be missing.
    kernelDeliveryCut = 64,
    dnsDeliveryCut = 128,
    // Script blocks written with parts missing; script or scanned texts longer than a row holds.
    scriptBlocksIncomplete = 256,
    scriptTextsCut = 512,
    // Script block and module logging were turned on for the recording; or asked for and could
    // not be turned on.
    scriptLoggingTurnedOn = 1024,
    scriptLoggingRefused = 2048,
    // Process and thread opens were not recorded: the system is older than Windows 10, or the
    // audit provider could not be enabled.
    processOpensNotRecorded = 4096,
    // The map of every process's images was full: some images' threads name no module.
    imagesNotMapped = 8192,
};

constexpr uint32_t kRecordingInfoSize = 1296;
constexpr uint32_t kToolVersion = 101;

struct RecordingInfo {
    uint32_t blockSize;
    uint32_t toolVersion;
    uint32_t windowsMajor;
    uint32_t windowsMinor;
    uint32_t windowsBuildNumber;
    int32_t utcBias;
    SystemTime started;
    SystemTime stopped;
    uint32_t droppedHere;
    uint32_t eventsLostByWindows;
    uint32_t buffersLostByWindows;
    uint32_t unreadableRecords;
    uint32_t childrenNotFollowed;
    uint32_t trackingSlotsRecycled;
    uint32_t registryKeysNotResolved;
    uint32_t filesNotIdentified;
    uint32_t fileResultsMissing;
    uint32_t keyNamesWhileRunning;
    uint32_t keyNamesAfterStop;
    uint32_t keysNamedByCreate;
    uint32_t keysNamedByRundown;
    uint32_t flags;
    SystemTime snapshotTakenAt;
    char16_t target[520];
    char16_t tool[64];
};

static_assert(sizeof(RecordingInfo) == kRecordingInfoSize);
static_assert(offsetof(RecordingInfo, blockSize) == 0);
static_assert(offsetof(RecordingInfo, toolVersion) == 4);
static_assert(offsetof(RecordingInfo, windowsMajor) == 8);
static_assert(offsetof(RecordingInfo, windowsMinor) == 12);
static_assert(offsetof(RecordingInfo, windowsBuildNumber) == 16);
static_assert(offsetof(RecordingInfo, utcBias) == 20);
static_assert(offsetof(RecordingInfo, started) == 24);
static_assert(offsetof(RecordingInfo, stopped) == 40);
static_assert(offsetof(RecordingInfo, droppedHere) == 56);
static_assert(offsetof(RecordingInfo, eventsLostByWindows) == 60);
static_assert(offsetof(RecordingInfo, buffersLostByWindows) == 64);
static_assert(offsetof(RecordingInfo, unreadableRecords) == 68);
static_assert(offsetof(RecordingInfo, childrenNotFollowed) == 72);
static_assert(offsetof(RecordingInfo, trackingSlotsRecycled) == 76);
static_assert(offsetof(RecordingInfo, registryKeysNotResolved) == 80);
static_assert(offsetof(RecordingInfo, filesNotIdentified) == 84);
static_assert(offsetof(RecordingInfo, fileResultsMissing) == 88);
static_assert(offsetof(RecordingInfo, keyNamesWhileRunning) == 92);
static_assert(offsetof(RecordingInfo, keyNamesAfterStop) == 96);
static_assert(offsetof(RecordingInfo, keysNamedByCreate) == 100);
static_assert(offsetof(RecordingInfo, keysNamedByRundown) == 104);
static_assert(offsetof(RecordingInfo, flags) == 108);
static_assert(offsetof(RecordingInfo, snapshotTakenAt) == 112);
static_assert(offsetof(RecordingInfo, target) == 128);
static_assert(offsetof(RecordingInfo, tool) == 1168);


// The 16 bytes at the start of a session file.
struct SessionHeader {
    char magic[4]; // "OLVS"
    uint32_t version;
    uint32_t recordSize;
    uint32_t rowCount;
};
static_assert(sizeof(SessionHeader) == 16);
static_assert(offsetof(SessionHeader, version) == 4);
static_assert(offsetof(SessionHeader, recordSize) == 8);
static_assert(offsetof(SessionHeader, rowCount) == 12);

// What the user removed from a recording with "Clear": how many rows, the times they spanned and
// when the last Clear was. It lies beside the RecordingInfo, whose layout is fixed, and follows
// it in version-3 session files (a file is written as version 3 only when rows were cleared, so
// files without it stay readable by every earlier version). blockSize lets a later version
// append fields: a reader takes the fields it knows and skips the rest.
struct ClearedRows {
    uint32_t blockSize; // kClearedRowsSize when written
    uint32_t rows;
    SystemTime earliest; // the earliest and latest time of the cleared rows
    SystemTime latest;
    SystemTime lastClear; // local time of the last Clear that removed rows
};
constexpr uint32_t kClearedRowsSize = 56;
constexpr uint32_t kClearedRowsLargest = 4096; // a larger block is damage, not a later version
static_assert(sizeof(ClearedRows) == kClearedRowsSize);
static_assert(offsetof(ClearedRows, rows) == 4);
static_assert(offsetof(ClearedRows, earliest) == 8);
static_assert(offsetof(ClearedRows, latest) == 24);
static_assert(offsetof(ClearedRows, lastClear) == 40);

// Of the RecordingInfo's eventsLostByWindows and buffersLostByWindows, those Windows reported
// before the examined program was resumed: the start-up burst, before the program could act.
// Kept beside the block, whose layout is fixed; `known` is 0 when the record does not tell (a
// session file written without it). Session files carry it right after the ClearedRows fields,
// inside that block's size, when there were Windows losses to split.
struct LossesBeforeResume {
    uint32_t eventsLost;
    uint32_t buffersLost;
    uint32_t known; // 0 or 1
};
constexpr uint32_t kLossesBeforeResumeSize = 12;
static_assert(sizeof(LossesBeforeResume) == kLossesBeforeResumeSize);

// What a recording keeps beyond the RecordingInfo, whose layout is fixed: the recorder's own
// program, which started the examined program and so is its parent (a rule on the parent's image
// must judge a re-analysis as it judged the recording), and the UTC bias when Stop took `stopped`
// (daylight time may begin or end while a recording runs, so the bias at Start does not always
// turn `stopped` into UTC). Version-4 session files carry it after the ClearedRows block; older
// files have none (empty image: the examined program's parent image is not known; no stop bias:
// the bias at Start stands in). blockSize lets a later version append fields.
enum RecordingOriginFlag : uint32_t {
    stopUtcBiasKnown = 1,
};
struct RecordingOrigin {
    uint32_t blockSize;  // kRecordingOriginSize when written
    uint32_t flags;      // RecordingOriginFlag
    int32_t stopUtcBias; // minutes, as utcBias; meaningful with stopUtcBiasKnown
    uint32_t reserved;
    char16_t recorderImage[520]; // full path of the recording program, terminated; empty: unknown
};
constexpr uint32_t kRecordingOriginSize = 1056;
constexpr uint32_t kRecordingOriginLargest = 8192; // a larger block is damage, not a later version
static_assert(sizeof(RecordingOrigin) == kRecordingOriginSize);
static_assert(offsetof(RecordingOrigin, flags) == 4);
static_assert(offsetof(RecordingOrigin, stopUtcBias) == 8);
static_assert(offsetof(RecordingOrigin, recorderImage) == 16);

constexpr uint32_t kSessionVersion = 2;
constexpr uint32_t kSessionVersionCleared = 3; // version 2 plus the ClearedRows block
// Version 3 (its ClearedRows block always present, rows 0 when nothing was cleared) plus the
// RecordingOrigin block. Every file is written so, since every recording has an origin.
constexpr uint32_t kSessionVersionOrigin = 4;
constexpr uint32_t kSessionRecordSize = 3256;
constexpr uint32_t kSessionRecordSizeV1 = 3236;

} // namespace olv
