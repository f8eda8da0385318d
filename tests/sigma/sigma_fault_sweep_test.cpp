// The rule engine with each of its allocations refused in turn, n = 1, 2, ... until a run meets
// no refusal: loading rule texts, building the index and matching. This suite's operator new
// answers to the platform's refusal hooks, so the sweep reaches the engine's containers and the
// YAML reader as well as its heap blocks. Each run must end with every file either loaded or
// refused for lack of memory (never silently dropped), leak nothing, and leave a set whose
// matches agree with the rules it holds.
#include <string>

#include "allocation_meter.h"
#include "doctest.h"
#include "platform/memory.h"
#include "sigma/sigma.h"
#include "sigma_test_support.h"

using namespace olv;
using namespace sigma_test;

namespace {

constexpr int kLongestSweep = 20000; // far more allocations than loading these rules takes

std::string Rule(const std::string& title, const std::string& detection) {
    return "title: " + title + "\nid: " + title + "-id\nlevel: high\nlogsource:\n"
           "    product: windows\n    category: process_creation\ndetection:\n" + detection;
}

// Three rules that all hold on the view below: a plain search, a regular expression and a
// wildcard, so the index has needles, a rule without one and the automaton.
const std::string kRules[] = {
    Rule("contains", "    sel:\n        CommandLine|contains: 'needle'\n    condition: sel\n"),
    Rule("regex", "    sel:\n        CommandLine|re: 'ne+dle'\n    condition: sel\n"),
    Rule("wildcard", "    sel:\n        Image: '*\\tool?.exe'\n"
                     "    filter:\n        ParentImage|endswith: '\\explorer.exe'\n"
                     "    condition: sel and not filter\n"),
};
constexpr int kRuleCount = 3;

} // namespace

TEST_CASE("rule loading and matching with each allocation refused in turn") {
    View view;
    view.Set(kSigmaCommandLine, u"run the needle now");
    view.Set(kSigmaImage, u"C:\\bin\\tools.exe");
    view.Set(kSigmaParentImage, u"C:\\Windows\\cmd.exe");
    const SigmaEventView* row = view.Build(1u << kSigmaProcessCreation);

    // Once without faults first, so that what the libraries make once per process is made
    // before the sweep counts what each run leaves behind.
    {
        SigmaRuleSet* set = NewSigmaRuleSet();
        for (const std::string& text : kRules)
            REQUIRE(AddSigmaRuleText(set, text.data(), text.size(), u"r.yml"));
        int32_t hits[4];
        REQUIRE(MatchSigmaRules(set, row, hits, 4) == kRuleCount);
        FreeSigmaRuleSet(set);
    }
    struct Hooked {
        Hooked() { HookOperatorNew(true); }
        ~Hooked() { HookOperatorNew(false); }
    } hooked; // off again however the case ends
    int n = 1;
    for (; n <= kLongestSweep; ++n) {
        CAPTURE(n);
        const size_t heldBefore = AllocatedBytesNow();
        const int64_t blocksBefore = LiveAllocationCount();
        RefuseNthAllocation(n);
        SigmaRuleSet* set = NewSigmaRuleSet();
        int loaded = 0;
        int32_t hits[4] = {-1, -1, -1, -1};
        int32_t matched = 0;
        if (set != nullptr) {
            for (const std::string& text : kRules)
                loaded += AddSigmaRuleText(set, text.data(), text.size(), u"r.yml") ? 1 : 0;
            matched = MatchSigmaRules(set, row, hits, 4);
        }
        const bool refused = !AllocationRefusalPending();
        ResetAllocationFaults();

        if (set == nullptr) {
            const size_t held = AllocatedBytesNow();
            REQUIRE(refused); // no rule set only when memory was refused
            CHECK(held == heldBefore);
            continue;
        }
        // Every file is accounted for: loaded, or refused with the reason memory.
        const int refusals = SigmaRefusalCount(set);
        if (loaded + refusals != kRuleCount || SigmaRuleCount(set) != loaded) {
            FAIL("allocation " << n << ": " << loaded << " loaded and " << refusals
                               << " refused of " << kRuleCount);
        }
        for (int32_t i = 0; i < refusals; ++i)
            CHECK(GetSigmaRefusal(set, i)->reason == kSigmaRefusedLimits);
        // Under the refusal the row meets all the set's rules, or none with the row counted as
        // not matched for want of the index. Matched again with memory to spare, it meets all.
        const uint64_t unmatched = SigmaRowsWithoutMemory(set);
        if (!(matched == loaded && unmatched == 0) && !(matched == 0 && unmatched == 1)) {
            FAIL("allocation " << n << ": " << matched << " of " << loaded << " matched, "
                               << unmatched << " rows counted as not matched");
        }
        int32_t again[4] = {-1, -1, -1, -1};
        CHECK(MatchSigmaRules(set, row, again, 4) == loaded);
        for (int i = 0; i < matched; ++i)
            CHECK(hits[i] == again[i]);
        FreeSigmaRuleSet(set);
        const size_t heldAfter = AllocatedBytesNow();
        const int64_t blocksAfter = LiveAllocationCount();
        if (heldAfter != heldBefore || blocksAfter != blocksBefore) {
            FAIL("allocation " << n << ": " << heldAfter - heldBefore << " bytes and "
                               << blocksAfter - blocksBefore << " blocks left behind");
        }
        if (!refused) {
            CHECK(loaded == kRuleCount);
            break;
        }
    }
    CHECK(n > 50); // the sweep went through the YAML reader, not just the set's first blocks
    CHECK(n <= kLongestSweep);
}
