// Scans of files against the analyst's YARA rules on a thread of their own: the window thread
// queues a path (no allocation, never waiting beyond a short lock: a full queue refuses and
// counts), the scan thread reads and scans it through a cache by content, and the window thread
// polls for the results. A scan has no deadline: a large file may take seconds, and a row's other
// facts never wait behind it. Each scan is bounded by the size limit and libyara's timeout.
#pragma once

#include <cstddef>
#include <cstdint>

#include "facts/yara_rules.h"

namespace olv {

constexpr uint32_t kYaraScanPathChars = 1024;

struct YaraScannerConfig {
    uint32_t slots;        // scans queued or unpolled at once (default 128)
    uint64_t sizeLimit;    // larger files are not read (default kDefaultYaraScanSizeLimit)
    int timeoutSeconds;    // libyara's timeout of one scan (default kDefaultYaraScanTimeoutSeconds)
    uint32_t cacheEntries; // results kept by content (default kDefaultYaraScanCacheEntries)
};

// Every scan and every loss, since the scanner started.
struct YaraScanCounts {
    uint64_t requested;     // accepted into the queue
    uint64_t scanned;       // scanned, or given from the cache
    uint64_t fromCache;     // of those, given without a scan
    uint64_t gone;          // could not be opened: deleted (or locked) before its scan
    uint64_t tooLarge;      // over the size limit: not read
    uint64_t failed;        // read failed, no memory, timed out or libyara failed
    uint64_t refusedFull;   // refused: every slot taken
    uint64_t refusedLong;   // refused: a path longer than a slot holds
    uint64_t droppedAtStop; // queued, being scanned or unpolled when the scanner stopped
};

// One finished scan as the poll hands it out; valid during the callback only.
struct YaraScanAnswer {
    uint64_t ticket;
    const char16_t* path;
    const YaraScanResult* result;
};

struct YaraScanner;

// Zero members of config (or a null config) take the defaults. Null when memory or the thread
// is refused.
YaraScanner* StartYaraScanner(const YaraScannerConfig* config);
// Queues a scan of path with set. The set must stay loaded until the scanner is released (a set
// replaced while scans may use it is kept by the caller until then). False when refused
// (counted), stopped, or set has no rules (nothing to scan: not counted).
bool RequestYaraScan(YaraScanner* scanner, uint64_t ticket, const YaraRuleSet* set,
                     const char16_t* path);
using YaraScanAnswerFn = void (*)(void* context, const YaraScanAnswer& answer);
// Hands out at most max finished scans, in no particular order. Callbacks run without the lock.
uint32_t PollYaraScans(YaraScanner* scanner, YaraScanAnswerFn fn, void* context, uint32_t max);
// Scans queued or running, not yet handed out (tests wait on it).
uint32_t PendingYaraScans(YaraScanner* scanner);
void ReadYaraScanCounts(YaraScanner* scanner, YaraScanCounts* counts);
uint64_t YaraScannerSizeLimit(const YaraScanner* scanner);
// Refuses new scans, drops the queued and unpolled ones (counted) and waits at most waitMs for
// the thread. False when a scan was still running then (ReleaseYaraScanner waits for it).
bool StopYaraScanner(YaraScanner* scanner, uint32_t waitMs);
// Stops, waits for the thread and frees everything. Safe with null.
void ReleaseYaraScanner(YaraScanner* scanner);

} // namespace olv
