#include "export/session_yara.h"

#include <cstring>

#include "base/format.h"
#include "platform/memory.h"
#include "record/recording.h"
#include "views/yara_rows.h"

namespace olv {

namespace {

static_assert(kYaraRuleNameChars + kYaraFileChars + 4 == kYaraBlockRuleBytes);

struct BlockHead {
    uint32_t blockSize;
    char tag[4];
    uint32_t rules;
    uint32_t matches;
};
static_assert(sizeof(BlockHead) == kYaraBlockHeadBytes);

void PutWord(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t Word(const uint8_t* at) {
    return uint32_t{at[0]} | uint32_t{at[1]} << 8 | uint32_t{at[2]} << 16 | uint32_t{at[3]} << 24;
}

bool IsIdentifier(const char* name, size_t capacity) {
    if (name[0] == 0) return false;
    for (size_t i = 0; i < capacity; ++i) {
        const char c = name[i];
        if (c == 0) return true;
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '_')) {
            return false;
        }
    }
    return false; // not terminated
}

bool IsTerminated(const char* text, size_t capacity) {
    for (size_t i = 0; i < capacity; ++i)
        if (text[i] == 0) return true;
    return false;
}

bool ReadAll(FileHandle file, uint8_t* at, uint32_t bytes) {
    while (bytes > 0) {
        uint32_t got = 0;
        if (!ReadFileBytes(file, at, bytes, &got) || got == 0) return false;
        at += got;
        bytes -= got;
    }
    return true;
}

} // namespace

uint32_t YaraSessionBlockBytes(const Recording* app) {
    const YaraState* s = app->yara;
    if (s == nullptr || s->matchCount == 0) return 0;
    return kYaraBlockHeadBytes + static_cast<uint32_t>(s->matchedCount) * kYaraBlockRuleBytes +
           static_cast<uint32_t>(s->matchCount) * kYaraBlockMatchBytes;
}

void WriteYaraSessionBlock(SafeFileWriter* writer, const Recording* app) {
    const uint32_t bytes = YaraSessionBlockBytes(app);
    if (bytes == 0) return;
    const YaraState* s = app->yara;
    BlockHead head{bytes, {'Y', 'A', 'R', 'A'}, static_cast<uint32_t>(s->matchedCount),
                   static_cast<uint32_t>(s->matchCount)};
    WriteBytes(writer, &head, sizeof head);
    uint8_t rule[kYaraBlockRuleBytes];
    for (int32_t i = 0; i < s->matchedCount; ++i) {
        std::memset(rule, 0, sizeof rule);
        std::memcpy(rule, s->matched[i].name, kYaraRuleNameChars - 1);
        std::memcpy(rule + kYaraRuleNameChars, s->matched[i].file, kYaraFileChars - 1);
        rule[kYaraRuleNameChars + kYaraFileChars] = static_cast<uint8_t>(s->matched[i].severity);
        WriteBytes(writer, rule, sizeof rule);
    }
    uint8_t match[kYaraBlockMatchBytes];
    for (int32_t i = 0; i < s->matchCount; ++i) {
        PutWord(match, static_cast<uint32_t>(s->matches[i].row));
        PutWord(match + 4, static_cast<uint32_t>(s->matches[i].rule));
        WriteBytes(writer, match, sizeof match);
    }
}

bool ReadYaraSessionBlock(FileHandle file, uint32_t rowCount, int64_t bytesLeft,
                          YaraSessionBlock* block, bool* readFailed, char16_t* why,
                          size_t whyChars) {
    *block = YaraSessionBlock{};
    *readFailed = false;
    BlockHead head{};
    if (bytesLeft < static_cast<int64_t>(sizeof head)) {
        FormatText(why, whyChars, u"the YARA block is cut short");
        return false;
    }
    if (!ReadAll(file, reinterpret_cast<uint8_t*>(&head), sizeof head)) {
        *readFailed = true;
        return false;
    }
    const uint64_t expected = uint64_t{kYaraBlockHeadBytes} +
                              uint64_t{head.rules} * kYaraBlockRuleBytes +
                              uint64_t{head.matches} * kYaraBlockMatchBytes;
    if (std::memcmp(head.tag, "YARA", 4) != 0 || head.rules == 0 || head.matches == 0 ||
        head.rules > kYaraBlockMostRules || head.matches > kYaraBlockMostMatches ||
        head.blockSize != expected || static_cast<int64_t>(expected) > bytesLeft) {
        FormatText(why, whyChars, u"the YARA block's head is damaged (%lu rules, %lu matches)",
                   head.rules, head.matches);
        return false;
    }
    const uint32_t rest = head.blockSize - kYaraBlockHeadBytes;
    auto* bytes = static_cast<uint8_t*>(AllocZeroed(rest));
    if (bytes == nullptr || !ReadAll(file, bytes, rest)) {
        FreeBlock(bytes);
        *readFailed = true;
        return false;
    }
    for (uint32_t i = 0; i < head.rules; ++i) {
        const uint8_t* r = bytes + size_t{i} * kYaraBlockRuleBytes;
        const auto* name = reinterpret_cast<const char*>(r);
        const auto* ruleFile = reinterpret_cast<const char*>(r + kYaraRuleNameChars);
        const uint8_t severity = r[kYaraRuleNameChars + kYaraFileChars];
        const char* fault = !IsIdentifier(name, kYaraRuleNameChars)  ? "name"
                            : !IsTerminated(ruleFile, kYaraFileChars) ? "file"
                            : severity < 1 || severity > 4            ? "severity"
                                                                      : nullptr;
        if (fault != nullptr) {
            FormatText(why, whyChars, u"the YARA block's rule %lu has a damaged %s", i + 1,
                       fault[0] == 'n' ? u"name" : fault[0] == 'f' ? u"file name" : u"severity");
            FreeBlock(bytes);
            return false;
        }
    }
    const uint8_t* matches = bytes + size_t{head.rules} * kYaraBlockRuleBytes;
    for (uint32_t i = 0; i < head.matches; ++i) {
        const uint32_t row = Word(matches + size_t{i} * kYaraBlockMatchBytes);
        const uint32_t rule = Word(matches + size_t{i} * kYaraBlockMatchBytes + 4);
        if (row >= rowCount || rule >= head.rules) {
            FormatText(why, whyChars,
                       u"the YARA block's match %lu names row %lu and rule %lu, past the file's "
                       u"%lu rows or the block's %lu rules",
                       i + 1, row + 1, rule + 1, rowCount, head.rules);
            FreeBlock(bytes);
            return false;
        }
    }
    block->bytes = bytes;
    block->rules = head.rules;
    block->matches = head.matches;
    return true;
}

uint32_t ApplyYaraSessionBlock(Recording* app, const YaraSessionBlock& block) {
    uint32_t kept = 0;
    const uint8_t* matches = block.bytes + size_t{block.rules} * kYaraBlockRuleBytes;
    for (uint32_t i = 0; i < block.matches; ++i) {
        const uint32_t row = Word(matches + size_t{i} * kYaraBlockMatchBytes);
        const uint32_t rule = Word(matches + size_t{i} * kYaraBlockMatchBytes + 4);
        const uint8_t* r = block.bytes + size_t{rule} * kYaraBlockRuleBytes;
        const auto severity = static_cast<YaraSeverity>(r[kYaraRuleNameChars + kYaraFileChars]);
        if (AddYaraRowMatch(app, static_cast<int32_t>(row), reinterpret_cast<const char*>(r),
                            reinterpret_cast<const char*>(r + kYaraRuleNameChars), severity)) {
            ++kept;
        }
    }
    return kept;
}

void FreeYaraSessionBlock(YaraSessionBlock* block) {
    FreeBlock(block->bytes);
    *block = YaraSessionBlock{};
}

} // namespace olv
