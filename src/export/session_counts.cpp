#include "export/session_counts.h"

#include <cstring>

#include "base/format.h"
#include "base/text.h"

namespace olv {

namespace {

struct CountsHead {
    uint32_t blockSize;
    char tag[4];
    uint32_t flags;
    uint32_t values;
};
static_assert(sizeof(CountsHead) == kCountsHeadBytes);

bool Damaged(char16_t* why, size_t whyChars, const char16_t* text) {
    CopyBounded(why, whyChars, text);
    return false;
}

} // namespace

uint32_t CountsBlockBytes() {
    return kCountsHeadBytes + kKeptCountCount * 8;
}

void WriteCountsBlock(SafeFileWriter* writer, const KeptCounts& counts, bool yaraFollows) {
    CountsHead head{CountsBlockBytes(), {'C', 'N', 'T', 'S'},
                    (counts.known & kKeptAllParts) | (yaraFollows ? kCountsYaraFollows : 0u),
                    kKeptCountCount};
    WriteBytes(writer, &head, sizeof head);
    // A part not known is written as zeros, as the reader expects.
    uint64_t values[kKeptCountCount];
    for (uint32_t i = 0; i < kKeptCountCount; ++i)
        values[i] = (counts.known & KeptPartOf(i)) != 0 ? counts.value[i] : 0;
    WriteBytes(writer, values, sizeof values);
}

bool ReadCountsBlock(const uint8_t* bytes, uint32_t size, KeptCounts* counts, bool* yaraFollows,
                     char16_t* why, size_t whyChars) {
    *counts = KeptCounts{};
    *yaraFollows = false;
    CountsHead head{};
    if (size < sizeof head) return Damaged(why, whyChars, u"the counts are cut short");
    std::memcpy(&head, bytes, sizeof head);
    if (std::memcmp(head.tag, "CNTS", 4) != 0 || head.values < kKeptCountCount ||
        head.values > kCountsMostValues ||
        head.blockSize != kCountsHeadBytes + uint64_t{head.values} * 8 || head.blockSize > size) {
        FormatText(why, whyChars, u"the counts' head is damaged (%lu values in %lu bytes)",
                   head.values, head.blockSize);
        return false;
    }
    if ((head.flags & ~(kKeptAllParts | kCountsYaraFollows)) != 0) {
        FormatText(why, whyChars, u"the counts have flags %lu, which are not known", head.flags);
        return false;
    }
    uint64_t values[kKeptCountCount];
    std::memcpy(values, bytes + sizeof head, sizeof values);
    for (uint32_t i = 0; i < kKeptCountCount; ++i) {
        if ((head.flags & KeptPartOf(i)) == 0 && values[i] != 0) {
            FormatText(why, whyChars, u"the counts hold count %lu of a part they call unknown",
                       i + 1);
            return false;
        }
    }
    if (values[kKeptScriptBlocksIncomplete] > values[kKeptScriptBlocksSeen]) {
        FormatText(why, whyChars, u"the counts say %lu of %lu script blocks were incomplete",
                   static_cast<uint32_t>(values[kKeptScriptBlocksIncomplete]),
                   static_cast<uint32_t>(values[kKeptScriptBlocksSeen]));
        return false;
    }
    counts->known = head.flags & kKeptAllParts;
    std::memcpy(counts->value, values, sizeof counts->value);
    *yaraFollows = (head.flags & kCountsYaraFollows) != 0;
    return true;
}

} // namespace olv
