// libFuzzer target for the rule loader: the input is one rule file's bytes. It must be loaded
// or refused with exactly one reason and a terminated detail, never crash, hang or run away; a
// loaded rule is matched against a few rows of every category.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "sigma/sigma.h"
#include "sigma/sigma_engine.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "sigma rules fuzz: %s\n", what);
    std::abort();
}

bool Terminated(const char16_t* text, size_t capacity) {
    for (size_t i = 0; i < capacity; ++i) {
        if (text[i] == 0) return true;
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Exact-size copy: a read past it trips the address sanitizer.
    std::vector<char> bytes(data, data + size);
    olv::SigmaRuleSet* set = olv::NewSigmaRuleSet();
    if (set == nullptr) return 0;
    const bool loaded = olv::AddSigmaRuleText(set, bytes.data(), bytes.size(), u"fuzz.yml");
    if (olv::SigmaFileCount(set) != 1) Fail("one file was not counted once");
    if (loaded != (olv::SigmaRuleCount(set) == 1)) Fail("the result disagrees with the rule count");
    if (loaded == (olv::SigmaRefusalCount(set) == 1)) Fail("a file both loaded and refused, or neither");
    // What the file expanded to (aliases counted each time) stays within the bounds of one file,
    // but for the one step that crossed them.
    const olv::sigma::LoadBounds bounds;
    const olv::sigma::LoadTotals& counted = set->lastFile;
    if (counted.values > bounds.file.values + 3 || counted.bytes > bounds.file.bytes + (256u << 10) ||
        counted.regexes > bounds.file.regexes + 1 || counted.regexBytes > bounds.file.regexBytes + (4u << 20))
        Fail("a file expanded past the bounds of one file");
    if (!loaded) {
        const olv::SigmaRefusal* refusal = olv::GetSigmaRefusal(set, 0);
        if (refusal->reason >= olv::kSigmaRefusalReasonCount) Fail("a refusal without a reason");
        if (olv::SigmaRefusalsByReason(set, refusal->reason) != 1) Fail("a refusal not counted by reason");
        if (!Terminated(refusal->detail, sizeof refusal->detail / sizeof refusal->detail[0]))
            Fail("an unterminated detail");
    } else {
        const olv::SigmaRuleInfo* info = olv::GetSigmaRule(set, 0);
        if (!Terminated(info->title, olv::kSigmaTitleChars) || !Terminated(info->id, olv::kSigmaIdChars))
            Fail("an unterminated title or id");
        static const char16_t* const kTexts[] = {u"C:\\Windows\\System32\\cmd.exe",
                                                 u"cmd /c whoami -enc aaaaaaaaaaaaaaaaaaaaaaaaaaaab",
                                                 u"10.1.2.3", u"fe80::1", u"443", u"", u"true"};
        for (const char16_t* text : kTexts) {
            olv::SigmaEventView view;
            std::memset(&view, 0, sizeof view);
            view.categories = (1u << olv::kSigmaCategoryCount) - 1;
            uint32_t length = 0;
            while (text[length] != 0) ++length;
            for (uint32_t f = 0; f < olv::kSigmaFieldCount; ++f)
                view.fields[f] = olv::SigmaText{text, length};
            int32_t hits[2];
            if (olv::MatchSigmaRules(set, &view, hits, 2) > 1) Fail("one rule matched twice");
            // What held, bounded and terminated; then with some fields not learned.
            char16_t said[64];
            said[63] = u'x';
            const size_t saidLength = olv::ExplainSigmaMatch(set, 0, &view, said, 63);
            if (saidLength >= 63 || said[saidLength] != 0) Fail("an explanation past its buffer");
            view.unknown = 0x5555555555555555u;
            for (uint32_t f = 0; f < olv::kSigmaFieldCount; ++f) {
                if ((view.unknown & olv::SigmaFieldBit(f)) != 0) view.fields[f] = olv::SigmaText{nullptr, 0};
            }
            olv::SigmaPossibleMatch possible[2];
            int32_t possibleCount = 0;
            const int32_t matched = olv::MatchSigmaRulesWithPossible(set, &view, hits, 2, possible, 2, &possibleCount);
            if (matched + possibleCount > 1) Fail("one rule both matched and possible");
        }
    }
    olv::FreeSigmaRuleSet(set);
    return 0;
}
