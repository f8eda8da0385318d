// EventRow: one decoded event. Its layout is also the on-disk row of session files, so every
// offset is fixed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/endian.h"
#include "base/systime.h"

namespace olv {

enum EventCategory : uint32_t {
    kCategoryFile = 0,
    kCategoryRegistry = 1,
    kCategoryNetwork = 2,
    kCategoryProcess = 3,
};

constexpr size_t kOperationChars = 64;
constexpr size_t kPathChars = 1024;
constexpr size_t kDetailChars = 256;
constexpr size_t kResultChars = 64;
constexpr size_t kProcessChars = 64;
constexpr size_t kThreatChars = 128;

struct EventRow {
    SystemTime time;   // local time of the event
    uint32_t category; // EventCategory
    char16_t operation[kOperationChars];
    char16_t path[kPathChars];
    char16_t detail[kDetailChars];
    char16_t result[kResultChars];
    char16_t process[kProcessChars];
    char16_t threat[kThreatChars];
    uint32_t pid;
    uint32_t threadId;
    uint32_t parentPid;
    uint32_t severity;
    uint32_t reserved;
    uint64_t keyObject;
    uint64_t timestamp; // FILETIME ticks, UTC, as the trace delivered it
};

static_assert(sizeof(EventRow) == 3256);
static_assert(offsetof(EventRow, time) == 0);
static_assert(offsetof(EventRow, category) == 16);
static_assert(offsetof(EventRow, operation) == 20);
static_assert(offsetof(EventRow, path) == 148);
static_assert(offsetof(EventRow, detail) == 2196);
static_assert(offsetof(EventRow, result) == 2708);
static_assert(offsetof(EventRow, process) == 2836);
static_assert(offsetof(EventRow, threat) == 2964);
static_assert(offsetof(EventRow, pid) == 3220);
static_assert(offsetof(EventRow, threadId) == 3224);
static_assert(offsetof(EventRow, parentPid) == 3228);
static_assert(offsetof(EventRow, severity) == 3232);
static_assert(offsetof(EventRow, reserved) == 3236);
static_assert(offsetof(EventRow, keyObject) == 3240);
static_assert(offsetof(EventRow, timestamp) == 3248);

// "File", "Registry", "Network", "Process"; any other value "Unknown".
const char16_t* CategoryLabel(uint32_t category);

} // namespace olv
