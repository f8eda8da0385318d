// The YARA matches of a compact session file: a block after the RecordingOrigin block, before the
// text table, in files of version kSessionVersionYara. A recording without matches is written as
// before (version kSessionVersionCompact, without the block), so such files stay readable by the
// builds that read them; one with matches is refused by those builds as a newer version rather
// than opened without its matches.
//
//   head      blockSize (all the block's bytes), "YARA", rules, matches   (4 x 32 bits)
//   rules     rules x 392 bytes: name (128, terminated), rule file (260, terminated), severity
//             (1 Low .. 4 Critical), 3 zero bytes
//   matches   matches x 8 bytes: row, rule (32 bits each)
//
// Reading checks all of it before anything is used: the sizes against the counts, each name a
// non-empty identifier, each file name terminated text, each severity known, each match naming a
// row of the file and a rule of the block.
#pragma once

#include <cstddef>
#include <cstdint>

#include "export/safe_file.h"
#include "platform/files.h"

namespace olv {

struct Recording;

constexpr uint32_t kSessionVersionYara = 6;
constexpr uint32_t kYaraBlockHeadBytes = 16;
constexpr uint32_t kYaraBlockRuleBytes = 392;
constexpr uint32_t kYaraBlockMatchBytes = 8;
// A block holds at most this many rules and matches: more is damage.
constexpr uint32_t kYaraBlockMostRules = 65536;
constexpr uint32_t kYaraBlockMostMatches = 1u << 22;

// The block's bytes for the recording's kept matches; 0 when it has none (no block is written).
uint32_t YaraSessionBlockBytes(const Recording* app);
// Writes it (rowsLock held). Nothing when there are no matches.
void WriteYaraSessionBlock(SafeFileWriter* writer, const Recording* app);

// A block read and checked, waiting to be applied once the rows are in place.
struct YaraSessionBlock {
    uint8_t* bytes; // AllocZeroed; the whole block
    uint32_t rules;
    uint32_t matches;
};
// Reads the block at the file's position and checks it against rowCount; false with why ("the
// YARA block's match 3 names row 90, past the file's 12 rows") when it is damaged or cannot be
// read (*readFailed tells the two apart).
bool ReadYaraSessionBlock(FileHandle file, uint32_t rowCount, int64_t bytesLeft,
                          YaraSessionBlock* block, bool* readFailed, char16_t* why,
                          size_t whyChars);
// Keeps the block's matches with the rows of app (raising them as a scan did); returns the
// matches kept (fewer when memory is refused).
uint32_t ApplyYaraSessionBlock(Recording* app, const YaraSessionBlock& block);
void FreeYaraSessionBlock(YaraSessionBlock* block);

} // namespace olv
