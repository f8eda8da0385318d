// TrackingState: the decoder's tables and counters for one recording. Each table has its own
// lock; no operation holds two, and rows leave the held-row pool only after its lock is released.
// Counters change only by atomic operations (base/atomic.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/lock.h"
#include "record/event_row.h"
#include "tracking/process_naming.h"

namespace olv {

constexpr int kProcessTableSize = 512;
constexpr int kProcessNameBuckets = 256;
constexpr int kProcessNameNodeLimit = 65536;
constexpr int kNameTableBuckets = 4096;
constexpr int kNameTableNodeLimit = 200000;
constexpr int kHeldFileSlots = 512;
constexpr int kHeldFileHeads = 512;
constexpr int kDriveMapEntries = 26;
constexpr int64_t kHeldRowLifetime = 200000000; // 20 seconds in FILETIME ticks
constexpr int kHeldRowsPerSweep = 32;
constexpr int kFileRowsPerSweep = 512;

struct ProcessEntry {
    uint32_t pid;  // never 0 in a used entry
    int64_t start; // followed from; 0 = since before the recording
    int64_t end;   // ended at; 0 = still running
};

struct ProcessTable {
    ProcessEntry entries[kProcessTableSize];
    int32_t count;
    uint32_t childrenNotFollowed;
    uint32_t trackingSlotsRecycled;
    Lock lock;
};

// A name over a time interval, for the FileNameTable and the KeyNameTable.
struct NameNode {
    uint64_t key;
    int64_t from; // 0 = since before the recording
    int64_t to;   // 0 = still holds
    char16_t name[1024];
    NameNode* next;
};

struct NameTable {
    NameNode* buckets[kNameTableBuckets];
    int32_t count;
    Lock lock;
};

// One lifetime of a process id and the best name known for it. shortName is the kernel's short
// name of the lifetime (empty: not seen yet), source the ProcessNameSource of name, and ended is
// set once the process's end was seen: a later name of the id begins another lifetime.
constexpr size_t kProcessImageChars = 260;

struct ProcessNameNode {
    uint32_t pid;
    int64_t from; // 0 = always
    char16_t name[kProcessChars];
    char16_t shortName[kProcessChars];
    // The executable's full path as the trace gave it (a kernel path, or the command line's),
    // when one names the file `name` names; empty otherwise.
    char16_t image[kProcessImageChars];
    uint8_t source;
    uint8_t ended;
    ProcessNameNode* next;
};

struct ProcessNameTable {
    ProcessNameNode* buckets[kProcessNameBuckets];
    int32_t count;
    // The history was dropped at the node limit: an id without a node may be a running process.
    uint8_t dropped;
    Lock lock;
};

struct HeldFileSlot {
    uint64_t irp; // 0 = free
    int64_t heldAt;
    int32_t next;
    EventRow row;
};

struct PendingFileRows {
    HeldFileSlot slots[kHeldFileSlots];
    int32_t heads[kHeldFileHeads]; // -1 = empty
    int32_t freeHead;              // -1 = none
    int32_t heldCount;
    int32_t sweepCounter;
    int64_t newestTime;
    uint8_t completionSeen;
    uint8_t holdRows;
    Lock lock;
};

// Script blocks that arrive in parts, kept until their last part. Each block keeps its text in
// order, up to kWholeTextMostUnits units, and one part that came ahead of its turn; the table
// holds kScriptBlockSlots blocks at once, and a block that finds it full pushes the oldest one
// out, written with its parts missing.
constexpr int kScriptBlockSlots = 16;
// What a row's path field holds of a script or content text (the list, CSV and the fixed rows of
// the older session files show this start); the whole text goes with the row beside it.
constexpr size_t kScriptTextChars = kPathChars;
// The longest whole text a script, module output or content row keeps: real script blocks are
// far below it (the largest obfuscated loaders run to a few hundred thousand characters). A
// longer text is cut here and counted in scriptTextsCut.
constexpr uint32_t kWholeTextMostUnits = uint32_t{1} << 20;

// A growing text buffer (AllocZeroed through GrowArray); capacity counts the terminator's room.
struct WholeText {
    char16_t* units;
    uint32_t length;
    uint32_t capacity;
};
constexpr size_t kScriptBlockIdChars = 40;
constexpr size_t kScriptPathChars = 260;

struct ScriptBlockSlot {
    uint8_t used;
    uint8_t gap;       // a part's text could not be placed in order: the text has a hole
    uint32_t pid;
    uint32_t threadId;
    int64_t firstTime; // the time stamp of its first part to arrive
    uint64_t order;    // arrival order, for pushing out the oldest
    uint32_t total;    // parts the block has
    uint32_t seen;     // distinct parts seen
    uint32_t nextPart; // the next part that continues the text in order
    uint64_t fullUnits; // units of every part seen
    uint64_t seenMask; // parts 1 to 64 seen (later parts are counted without their mask bit)
    uint32_t earlyPart; // 0: none kept ahead of its turn
    char16_t blockId[kScriptBlockIdChars];
    char16_t path[kScriptPathChars];
    // The buffers stay with the slot from block to block (a written block's text buffer is
    // exchanged for the writing thread's, not copied); freed with the tracking state.
    WholeText text;  // the text kept in order (its length: units kept)
    WholeText early; // the part ahead of its turn
};

struct PendingScripts {
    ScriptBlockSlot slots[kScriptBlockSlots];
    uint64_t arrivals;
    Lock lock;
};

// Every process's images (base, size, path), followed or not, from the image loads, unloads and
// start rundowns, so that an address in a process names the module that holds it. An image is
// found by its process id and base through one hash chain (a load, an unload); each process's
// images are also listed newest first from a record of the process (a lookup of an address, the
// process's end), so neither walks another process's images. Paths are kept once each in a text
// arena, as the trace names them. kImageMapEntries images and kImagePathSlots distinct paths at
// most: an image that finds the entries, the path slots or the arena full is not kept and counted
// in dropped. A process's entries go at its end. newProcesses remembers the last kNewProcessSlots
// processes started whose first thread has not been seen: their creator makes that thread, and
// it is no thread created in another process.
constexpr int kImageMapEntries = 16384;
constexpr int kImageMapBucketBits = 14; // a chain holds one image on average when full
constexpr int kImageMapBuckets = 1 << kImageMapBucketBits;
constexpr int kImageProcessBuckets = 1024;
constexpr int kImagePathSlots = 4096;
constexpr size_t kImagePathUnits = size_t{1} << 19;
constexpr int kNewProcessSlots = 64;

struct ImageMapEntry {
    uint64_t base;
    uint64_t size;
    uint32_t pid;
    uint32_t path;  // offset of the path in the arena
    int32_t next;   // the next entry of the (pid, base) chain, or of the free list; -1 = end
    int32_t newer;  // the process's list: -1 = its newest image
    int32_t older;  // -1 = its oldest image
};

// A process with images kept. A record exists only while it holds an entry, so there are never
// more records than entries.
struct ImageProcess {
    uint32_t pid;
    int32_t newest; // its newest entry
    int32_t next;   // the next record of the pid chain, or of the free list; -1 = end
};

struct ImageMap {
    ImageMapEntry entries[kImageMapEntries];
    int32_t heads[kImageMapBuckets]; // (pid, base) chains; -1 = empty
    int32_t freeHead;                // -1 = none free below unused
    int32_t unused;                  // entries from here on were never used
    int32_t count;
    ImageProcess processes[kImageMapEntries];
    int32_t processHeads[kImageProcessBuckets]; // pid chains; -1 = empty
    int32_t processFree;                        // -1 = none free below processUnused
    int32_t processUnused;
    uint32_t pathSlots[kImagePathSlots]; // offset + 1 of a path in the arena; 0 = empty
    int32_t pathCount;
    uint32_t textUsed;
    uint32_t dropped;
    uint32_t newProcesses[kNewProcessSlots]; // 0 = free
    uint32_t newProcessNext;
    uint32_t newProcessCount; // marks set: read without the lock to pass an empty ring by
    char16_t text[kImagePathUnits];
    Lock lock;
};

struct DriveEntry {
    char16_t device[260];
    char16_t letter[4];
};

struct DriveMap {
    DriveEntry entries[kDriveMapEntries];
    uint32_t count;
    uint8_t built;
    // \SystemRoot and the system volume, for paths that name no device: the Windows folder
    // without a trailing separator (empty when unknown), and the drive it lies on ("C:").
    char16_t windowsFolder[260];
    char16_t systemDrive[4];
};

// Where rows released from the held-row pool go (the EventQueue, through the TraceController).
using RowSink = void (*)(void* context, const EventRow* row);

struct TrackingState {
    ProcessTable processes;
    NameTable fileNames;
    NameTable keyNames;
    ProcessNameTable processNames;
    PendingFileRows pending;
    uint32_t registryKeysNotResolved;
    uint32_t filesNotIdentified;
    uint32_t fileResultsMissing;
    uint32_t keysNamedByCreate;
    uint32_t keysNamedByRundown;
    RowSink rowSink;
    void* rowSinkContext;
    DriveMap drives;
    PendingScripts scripts;
    uint32_t scriptBlocksIncomplete; // written with parts missing (at Stop or pushed out)
    uint32_t scriptPartsOutOfPlace;  // parts whose text could not be placed in order
    uint32_t scriptTextsCut;         // script and content texts cut at kWholeTextMostUnits
    uint32_t scriptBlocksSeen;       // script block rows written (incomplete ones included)
    ImageMap images;
};

// --- lifecycle (window thread) ---
void InitTrackingState(TrackingState* ts);
void FreeTrackingState(TrackingState* ts);
void SetRowSink(TrackingState* ts, RowSink sink, void* context);
// The examined program: FollowProcess(pid, from), and, when name is not empty, pid is called name
// from then on, whatever the trace says (the launcher knows the path). from is the trace clock
// just before the process was created: events of the id stamped earlier belong to an earlier
// process of that id.
void TrackLaunchedProcess(TrackingState* ts, uint32_t pid, const char16_t* name, int64_t from);
// The entries ReadTrackingCounters fills, by name.
enum TrackingCounter : int {
    kChildrenNotFollowed,
    kTrackingSlotsRecycled,
    kRegistryKeysNotResolved,
    kFilesNotIdentified,
    kFileResultsMissing,
    kKeyNamesKnown, // nodes of the key name table
    kKeysNamedByCreate,
    kKeysNamedByRundown,
    kScriptBlocksIncomplete,
    kScriptPartsOutOfPlace,
    kScriptTextsCut,
    kScriptBlocksSeen,
    kImagesNotMapped, // images the image map could not keep
    kTrackingCounterCount
};
void ReadTrackingCounters(TrackingState* ts, uint32_t out[kTrackingCounterCount]);

// --- ProcessTable ---
void FollowProcess(TrackingState* ts, uint32_t pid, int64_t start);
bool IsProcessFollowed(TrackingState* ts, uint32_t pid, int64_t t);
void EndFollowedProcess(TrackingState* ts, uint32_t pid, int64_t end);
// Followed processes whose end has not been seen, leaving out exceptPid (0: none left out). Any
// thread.
int32_t CountRunningFollowedProcesses(TrackingState* ts, uint32_t exceptPid);

// --- ProcessNameTable ---
// Each node is one lifetime of an id, from its first sign to its end; its name is the best one
// known (process_naming.h) and improves in place as better sources arrive. Every operation works
// on the lifetime that holds at t (the newest one begun at or before t), so events delivered
// late still land in their own lifetime.
// A process start or start rundown at t: the short name and the command line. Begins a lifetime
// unless the one holding at t was begun by the launcher or an image load of this process, or is
// the same program's (same short name) and has not ended.
void NoteProcessStartName(TrackingState* ts, uint32_t pid, int64_t t, const char16_t* shortName,
                          const char16_t* commandLine);
// An image mapped into pid at t (a load, or a start rundown when mayBegin is false). Names a
// lifetime still running after its short name; a load into an id with no running lifetime
// begins one, since a new process maps its executable first, often before its start is logged.
void NoteProcessImageName(TrackingState* ts, uint32_t pid, int64_t t, const char16_t* imagePath,
                          bool mayBegin);
// The process of pid ended at t.
void NoteProcessEndName(TrackingState* ts, uint32_t pid, int64_t t);
// NoteProcessStartName with name as the short name and no command line.
void RememberProcessName(TrackingState* ts, uint32_t pid, const char16_t* name, int64_t t);
bool LookupProcessName(TrackingState* ts, uint32_t pid, int64_t t, char16_t* out, size_t capacity);
// The full path of the executable of the lifetime of pid at t, as the trace named it (the
// executable's image load, or a full path leading its command line); false (out empty) when
// none is known.
bool LookupProcessImage(TrackingState* ts, uint32_t pid, int64_t t, char16_t* out,
                        size_t capacity);

// --- ImageMap ---
// An image of pid at [base, base + size) named path as the trace gives it (a load or a start
// rundown); a second note of the same base replaces the first.
void NoteProcessImage(TrackingState* ts, uint32_t pid, uint64_t base, uint64_t size,
                      const char16_t* path);
// The image at base of pid was unloaded.
void ForgetProcessImage(TrackingState* ts, uint32_t pid, uint64_t base);
// pid ended: its images go, and so does a first thread it never had.
void ForgetProcessImages(TrackingState* ts, uint32_t pid);
// The path of the image of pid that holds address into out (terminated, cut at capacity - 1) and
// its base into *base; false (out empty) when no image kept holds it.
bool FindImageAt(TrackingState* ts, uint32_t pid, uint64_t address, char16_t* out,
                 size_t capacity, uint64_t* base);
// FindImageAt and the image of pid whose file name is fileName (case folded: its program) in one
// walk: the program into program, the image
// holding address into module and its base into *base. Returns the kFound bits of what was found
// (each out empty otherwise).
enum : uint32_t { kFoundProgram = 1, kFoundModule = 2 };
uint32_t FindThreadImages(TrackingState* ts, uint32_t pid, const char16_t* fileName,
                          char16_t* program, size_t programCapacity, uint64_t address,
                          char16_t* module, size_t moduleCapacity, uint64_t* base);
// A process start: its first thread will come from its creator.
void NoteNewProcess(TrackingState* ts, uint32_t pid);
// True once for a process noted new and not yet seen with a thread: the thread is its first.
bool TakeFirstThread(TrackingState* ts, uint32_t pid);

// --- FileNameTable ---
void RememberFileName(TrackingState* ts, uint64_t key, const char16_t* name, int64_t t,
                      bool isCreate);
void ForgetFileName(TrackingState* ts, uint64_t key, int64_t t);
bool LookupFileName(TrackingState* ts, uint64_t key, int64_t t, char16_t* out, size_t capacity);

// --- KeyNameTable (same rules as the FileNameTable; LookupKeyName empties out first) ---
void RememberKeyName(TrackingState* ts, uint64_t key, const char16_t* name, int64_t t,
                     bool isCreate);
void ForgetKeyName(TrackingState* ts, uint64_t key, int64_t t);
bool LookupKeyName(TrackingState* ts, uint64_t key, int64_t t, char16_t* out, size_t capacity);
int32_t KeyNameCount(TrackingState* ts);
// Joins a key's known name and an event's relative name; true when the path names the key fully.
bool ComposeKeyPath(const char16_t* base, const char16_t* relative, char16_t* out, size_t capacity);

// --- PendingFileRows ---
// Releasing a row means: fileResultsMissing + 1, result "-", then the RowSink (outside the lock).
void HoldFileRow(TrackingState* ts, uint64_t irp, int64_t t, const EventRow* row);
bool TakeHeldFileRow(TrackingState* ts, uint64_t irp, EventRow* out);
void ExpireHeldFileRows(TrackingState* ts, int64_t now);
void FlushHeldFileRows(TrackingState* ts);
// A completion event was seen in this recording.
void NoteFileCompletionSeen(TrackingState* ts);
// Whether requests are still held for their completion (false once expiry found that no
// completion ever arrives).
bool AreFileRowsHeld(TrackingState* ts);
// Step of the file decoder after every file request row: newest time stamp, and every 512th
// row a sweep of expired held rows.
void NoteFileRequestForSweep(TrackingState* ts, int64_t t);
int32_t HeldFileRowCount(TrackingState* ts);

// --- DriveMap ---
// Shows a kernel path as the user knows it, in place (cut at 1023 characters and at capacity
// less one): a logical drive's device prefix becomes its letter; failing that, the forms below.
// The map (drives and the Windows folder) is built on the first call of a recording.
void TranslateDevicePath(TrackingState* ts, char16_t* path, size_t capacity);
// The kernel's forms that name no drive letter and no device of the map, rewritten in place:
//   \SystemRoot\...                    the Windows folder and the rest
//   \??\C:\..., \DosDevices\C:\..., \GLOBAL??\C:\...   the prefix dropped
//   \??\UNC\server\share\... (and the other two)  \\server\share\...
//   \Device\Mup\... and \Device\LanmanRedirector\..., with or without a redirector's
//   components (";LanmanRedirector", ";Z:0000...", "DfsClient\;Z:..."): \\server\share\...
//   \Windows\System32\... (rooted, naming no object directory)  the system drive and the path
// Anything else is kept, and so is a form whose folder or drive is unknown (empty). True when the
// path was rewritten.
bool TranslateRootedPath(const char16_t* windowsFolder, const char16_t* systemDrive, char16_t* path,
                         size_t capacity);

} // namespace olv
