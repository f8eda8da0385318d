// KeptCounts: the counts of a recording's losses that RecordingInfo does not hold (its script
// blocks, the facts worker's, the YARA scans'), kept with a compact session so that a reopened
// session shows the completeness notes the live recording showed. Each part is known or not: a
// session of an older version, or a recording without a facts worker or YARA rules, leaves its
// part unknown, and its notes are then left out as before.
#pragma once

#include <cstdint>

namespace olv {

enum KeptCountsPart : uint32_t {
    kKeptScripts = 1,
    kKeptFacts = 2,
    kKeptYara = 4,
};
constexpr uint32_t kKeptAllParts = kKeptScripts | kKeptFacts | kKeptYara;

// The values, by index; their order is the order in the session file's counts block.
enum KeptCount : uint32_t {
    // scripts
    kKeptScriptBlocksSeen,
    kKeptScriptBlocksIncomplete,
    kKeptScriptPartsOutOfPlace,
    kKeptScriptTextsCut,
    kKeptTextsCutHere, // whole texts that reached the store without their text
    // facts (FactsCounts, member by member)
    kKeptFactsRequested,
    kKeptFactsAnswered,
    kKeptFactsRefusedFull,
    kKeptFactsRefusedLong,
    kKeptFactsLate,
    kKeptImagesUnreadable,
    kKeptImagesFailed,
    kKeptLargeFiles,
    kKeptLargeHashed,
    kKeptLargeNotHashed,
    kKeptTrustUnreadable,
    kKeptTokensGone,
    kKeptTokensUnreadable,
    kKeptDirectoriesUnreadable,
    kKeptRegistryChanged,
    kKeptRegistryUnreadable,
    kKeptStreamsUnreadable,
    kKeptExportsUnreadable,
    kKeptFactsDroppedAtStop,
    kKeptImageSizeLimit,
    kKeptRowsNotAsked,
    // YARA
    kKeptYaraGone,
    kKeptYaraTooLarge,
    kKeptYaraFailed,
    kKeptYaraRefused,
    kKeptYaraDroppedAtStop,
    kKeptYaraWrittenOpenAtStop,
    kKeptYaraWrittenNotTracked,
    kKeptYaraMatchesNotKept,
    kKeptYaraSizeLimit,
    kKeptCountCount
};
// The first value of each part and the one after its last.
constexpr uint32_t kKeptScriptsFirst = kKeptScriptBlocksSeen;
constexpr uint32_t kKeptFactsFirst = kKeptFactsRequested;
constexpr uint32_t kKeptYaraFirst = kKeptYaraGone;

struct KeptCounts {
    uint32_t known; // KeptCountsPart bits
    uint64_t value[kKeptCountCount];
};

// The part a value belongs to.
constexpr uint32_t KeptPartOf(uint32_t value) {
    return value < kKeptFactsFirst ? kKeptScripts : value < kKeptYaraFirst ? kKeptFacts : kKeptYara;
}

} // namespace olv
