// The loss counts of a compact session file (record/kept_counts.h): an extension of its
// RecordingOrigin block, right after the block's kRecordingOriginSize bytes (the block's size
// counts it). Builds that read the RecordingOrigin block pass over the bytes past its fixed
// part, so a file with counts stays readable by them, without the counts.
//
//   head     blockSize (all the counts' bytes), "CNTS", flags, values   (4 x 32 bits)
//            flags: the known parts (KeptCountsPart), and kCountsYaraFollows in a file of
//            version kSessionVersionWholeTexts that holds a YARA block
//   values   values x 64 bits, in KeptCount order: at least kKeptCountCount; a later build may
//            add more after them, which this build passes over
//
// A file whose rows keep a script text longer than the path field (a whole text) is of version
// kSessionVersionWholeTexts: the builds before it would call such a row damaged, so they refuse
// the version instead. Its layout is that of version 6 when its counts say a YARA block follows,
// else that of version 5.
//
// Reading checks the counts before anything is used: the size against the values and the room
// the block leaves, the tag, no flag this build does not know, no count of a part the flags call
// unknown, and the script counts agreeing with one another.
#pragma once

#include <cstddef>
#include <cstdint>

#include "export/safe_file.h"
#include "record/kept_counts.h"

namespace olv {

constexpr uint32_t kSessionVersionWholeTexts = 7;
constexpr uint32_t kCountsHeadBytes = 16;
constexpr uint32_t kCountsYaraFollows = 0x100;
// A block of more values than this is damage, not a later build.
constexpr uint32_t kCountsMostValues = 512;

uint32_t CountsBlockBytes();
void WriteCountsBlock(SafeFileWriter* writer, const KeptCounts& counts, bool yaraFollows);
// Reads the counts from the size bytes of the RecordingOrigin block's extension into *counts;
// false with why ("the counts say 3 of 2 script blocks were incomplete") when they are damaged.
bool ReadCountsBlock(const uint8_t* bytes, uint32_t size, KeptCounts* counts, bool* yaraFollows,
                     char16_t* why, size_t whyChars);

} // namespace olv
