// The worker that reads facts the trace thread cannot wait for: an image file's version texts and
// digests, a file's signature, a process's token and a registry value's data. The trace thread
// queues requests (no allocation, never waiting for room: a full queue refuses and counts); a
// worker thread reads them; the window thread polls for finished requests, passing the time so
// that a request not read within its deadline is handed out as late and its facts stay unknown.
// Files above the image size limit are not read by the worker: a second thread hashes them in the
// background into the facts cache, so the rows of that file that come later have their facts.
#pragma once

#include <cstddef>
#include <cstdint>

#include "facts/export_facts.h"
#include "facts/fact_texts.h"
#include "facts/image_facts.h"
#include "facts/stream_facts.h"
#include "platform/file_trust.h"
#include "platform/process_directory.h"
#include "platform/process_token.h"

namespace olv {

enum FactsKind : uint8_t {
    kFactsImage,    // ImageFacts of a file, through the worker's cache
    kFactsTrust,    // the trust check of a file's signature
    kFactsToken,    // a process's token (asked for when its start is seen, while it lives)
    kFactsRegistry, // a value's data as Details, as it was at the time of the write
    kFactsStream,   // an alternate data stream's digests and short text
    kFactsDirectory, // a process's current directory (asked for when its start is seen)
    kFactsExport,    // the function a module exports at an offset (a thread's start)
};

enum FactsOutcome : uint8_t {
    kFactsRead,       // read: each fact of the result says whether it is known
    kFactsUnreadable, // could not be read (file deleted or locked, process gone, access denied)
    kFactsChanged,    // registry: the value was written again after the event, or is gone
    kFactsLarge,      // image over the size limit: hashed in the background, unknown here
    kFactsLate,       // the deadline passed before the read ended: nothing known
};

const char* FactsOutcomeName(FactsOutcome outcome);

// What one request learnt; only the member of its kind is filled.
struct FactsResult {
    ImageFacts image;
    FileTrust trust;
    ProcessTokenFacts token;
    DetailsOutcome detailsOutcome; // kDetailsUnknown unless the value was read
    uint32_t registryType;
    char16_t details[kDetailsChars];
    StreamFacts stream;
    ProcessDirectory directory;
    ExportFacts exported;
};

// One finished request as the poll hands it out.
struct FactsAnswer {
    uint64_t ticket; // the caller's, as given with the request
    FactsKind kind;
    FactsOutcome outcome;
    const FactsResult* result; // valid during the callback only; null when late
};

// Every loss, as counted since the worker started.
struct FactsCounts {
    uint64_t requested;          // accepted into the queue
    uint64_t answered;           // handed out by the poll (late ones included)
    uint64_t refusedFull;        // refused: the queue was full
    uint64_t refusedLong;        // refused: a path or name longer than a slot holds
    uint64_t late;               // handed out as late: "facts not read in time"
    uint64_t imagesUnreadable;   // image could not be opened or read: deleted or locked
    uint64_t imagesFailed;       // image opened but not read (no memory, reader failed)
    uint64_t largeFiles;         // over the image size limit, queued for background hashing
    uint64_t largeHashed;        // of those, hashed into the cache
    uint64_t largeNotHashed;     // of those, not hashed (queue full, over the background limit,
                                 // failed, or stopped)
    uint64_t trustUnreadable;    // signature not checked: file deleted or locked
    uint64_t tokensGone;         // the process had ended before its token was read
    uint64_t tokensUnreadable;   // token not readable (access denied, failed)
    uint64_t directoriesUnreadable; // a process's folder not read (gone, denied, failed)
    uint64_t registryChanged;    // value written again after the event, or gone, when read
    uint64_t registryUnreadable; // key not readable (access denied, bad path, failed) or its
                                 // last-write time unknown
    uint64_t streamsUnreadable;  // stream not readable: deleted, locked or denied
    uint64_t exportsUnreadable;  // a thread's start module not read: gone, locked, too large,
                                 // or its reader failed
    uint64_t droppedAtStop;      // queued, in progress or unpolled when the worker stopped
};

// Rows wait this long for their facts, from the time they arrived.
constexpr int64_t kFactsDeadlineTicks = 2 * 10000000LL;
// The room of one request for its path, or its key path and value name, terminators included:
// any path a row holds (1,024 characters with the terminator) and a value name of 255.
constexpr uint32_t kFactsPathChars = 1024 + 256;

using FactsReadHook = void (*)(void* context, uint64_t ticket);
// Reads an image's facts in place of the file (a stand-in that knows another machine's files);
// returns what ReadImageFacts would.
using FactsImageReader = bool (*)(void* context, const char16_t* path, ImageFacts* facts);

struct FactsWorkerConfig {
    uint32_t slots;               // requests queued or unpolled at once (default 512)
    int64_t deadlineTicks;        // default kFactsDeadlineTicks
    uint64_t imageSizeLimit;      // larger files go to the background (default 256 MB)
    uint64_t backgroundSizeLimit; // larger files are not hashed at all (default 1 GB)
    uint32_t backgroundSlots;     // large files waiting for the background (default 8)
    uint32_t cacheEntries;        // image facts cache (default kDefaultImageFactsCacheEntries)
    // Called on the worker thread before each read (tests hold the worker with it); may be null.
    FactsReadHook beforeRead;
    void* hookContext;
    // When set, image facts come from it rather than from the file (no cache, no background).
    FactsImageReader readImage;
    void* readImageContext;
};

struct FactsWorker;

// Starts the worker and its background thread; zero members of config take the defaults (config
// may be null). Null when memory or a thread cannot be had.
FactsWorker* StartFactsWorker(const FactsWorkerConfig* config);

// Requests, from any thread. arrived: when the row arrived (the deadline runs from it). Each
// returns false when the request is refused (queue full, too long, stopped), counted; the row's
// facts of that kind are then unknown. No allocation, no wait beyond the queue's short lock.
bool RequestImageFacts(FactsWorker* worker, uint64_t ticket, int64_t arrived, const char16_t* path);
bool RequestFileTrust(FactsWorker* worker, uint64_t ticket, int64_t arrived, const char16_t* path);
bool RequestTokenFacts(FactsWorker* worker, uint64_t ticket, int64_t arrived, uint32_t processId);
bool RequestProcessDirectory(FactsWorker* worker, uint64_t ticket, int64_t arrived,
                             uint32_t processId);
// eventTime: the write's time stamp; a key written after it has a value the row cannot claim.
// valueName may be null or empty (the key's default value).
bool RequestRegistryDetails(FactsWorker* worker, uint64_t ticket, int64_t arrived,
                            const char16_t* keyPath, const char16_t* valueName, int64_t eventTime);

// path: the stream as "file:stream", read as it is when the worker reaches it.
bool RequestStreamFacts(FactsWorker* worker, uint64_t ticket, int64_t arrived,
                        const char16_t* path);

// The function the module at path exports at rva (an offset from the module's base).
bool RequestExportFacts(FactsWorker* worker, uint64_t ticket, int64_t arrived,
                        const char16_t* path, uint32_t rva);

using FactsAnswerFn = void (*)(void* context, const FactsAnswer& answer);
// For the window thread: hands out at most max requests that are read, or whose deadline has
// passed by now (then late, counted; a read still running is dropped when it ends). Returns the
// number handed out. Callbacks run without the worker's lock held; they must not poll again.
uint32_t PollFacts(FactsWorker* worker, int64_t now, FactsAnswerFn fn, void* context, uint32_t max);

void ReadFactsCounts(FactsWorker* worker, FactsCounts* counts);
// Requests queued or being read, not yet handed out (tests wait on it).
uint32_t PendingFacts(FactsWorker* worker);
// Large files waiting for or being hashed in the background.
uint32_t PendingLargeFiles(FactsWorker* worker);

// Refuses new requests, drops what was queued, in progress or unpolled (counted), and waits at
// most waitMs for each of its threads to end. False when a read was still running then: its result
// is dropped when it ends, and ReleaseFactsWorker waits for it.
bool StopFactsWorker(FactsWorker* worker, uint32_t waitMs);
// Stops (if not stopped), waits for the threads and frees everything. Safe with null.
void ReleaseFactsWorker(FactsWorker* worker);

// Appends one note line (AppendNoteLine, with prefix) per count that lost facts.
void AppendFactsNotes(const FactsCounts& counts, uint64_t imageSizeLimit, const char16_t* prefix,
                      char16_t* out, size_t capacity, int32_t* lines);

} // namespace olv
