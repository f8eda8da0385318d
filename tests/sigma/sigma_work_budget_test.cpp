// The work budget of one row's matching: counted steps, never timings. Hostile rules (thousands
// of backtracking expressions against long command lines) cost a row no more than the budget and
// are set aside once they keep hitting their bounds; ordinary rules are neither starved by the
// budget nor set aside for the cost of the rules tried before them.
#include <string>

#include "doctest.h"
#include "sigma/sigma.h"
#include "sigma/sigma_engine.h"
#include "sigma_test_support.h"

using namespace olv;
using namespace sigma_test;

namespace {

const std::string kHead = "title: costly\nlevel: high\nlogsource:\n    product: windows\n"
                          "    category: process_creation\n";

std::string ContainsRule(const std::string& needle) {
    return kHead + "detection:\n    sel:\n        CommandLine|contains: '" + needle + "'\n    condition: sel\n";
}

// A rule of count backtracking expressions, each its own ("^(a|aa)+N$" never holds on a row of
// a's and takes the whole match limit to find that out).
std::string BacktrackingRule(int first, int count) {
    std::string text = kHead + "detection:\n    sel:\n        CommandLine|re:\n";
    for (int i = first; i < first + count; ++i)
        text += "            - '^(a|aa)+" + std::to_string(i) + "$'\n";
    return text + "    condition: sel\n";
}

constexpr uint32_t kProcess = 1u << kSigmaProcessCreation;

} // namespace

TEST_CASE("20,000 backtracking expressions: no row passes the budget, and they are set aside") {
    SigmaRuleSet* set = NewSigmaRuleSet();
    REQUIRE(set != nullptr);
    // Spread over files of 1,000 each, so the bounds of one file let them load.
    constexpr int kFiles = 20;
    for (int f = 0; f < kFiles; ++f) {
        const std::string text = BacktrackingRule(f * 1000, 1000);
        const std::u16string name = u"hostile" + std::u16string(1, static_cast<char16_t>(u'a' + f)) + u".yml";
        REQUIRE(AddSigmaRuleText(set, text.data(), text.size(), name.c_str()));
    }
    const std::string plain = ContainsRule("needle");
    REQUIRE(AddSigmaRuleText(set, plain.data(), plain.size(), u"plain.yml"));
    REQUIRE(SigmaRuleCount(set) == kFiles + 1);
    const int32_t plainRule = kFiles;

    View view;
    view.Set(kSigmaCommandLine, std::u16string(4000, u'a') + u" needle");
    int32_t hits[4];
    const uint64_t budget = SigmaRowWorkBudget(set);
    // The first row runs out within the hostile rules: the plain rule is not reached, and the row
    // is counted.
    CHECK(MatchSigmaRules(set, view.Build(kProcess), hits, 4) == 0);
    CHECK(SigmaLastRowWork(set) <= budget);
    CHECK(SigmaLastRowWork(set) > budget / 2);
    CHECK(SigmaRowsOverBudget(set) == 1);
    CHECK(SigmaMatchWorkLimitHits(set) > 0);

    // Each row strikes at least the rule it ran out in: within three rows per rule, every hostile
    // rule is set aside, and no row took more than the budget on the way.
    int rows = 1;
    while (SigmaRulesSetAside(set) < kFiles && rows < 3 * kFiles + 1) {
        MatchSigmaRules(set, view.Build(kProcess), hits, 4);
        CHECK(SigmaLastRowWork(set) <= budget);
        ++rows;
    }
    CHECK(SigmaRulesSetAside(set) == kFiles);
    CHECK(rows <= 3 * kFiles);
    CHECK(SigmaMostRowWork(set) <= budget);
    for (int32_t r = 0; r < kFiles; ++r)
        CHECK(GetSigmaRule(set, r)->setAsideForCost == 1);
    CHECK(GetSigmaRule(set, plainRule)->setAsideForCost == 0);

    // From then on a row costs what the plain rule costs, and it matches.
    const uint64_t overBudget = SigmaRowsOverBudget(set);
    REQUIRE(MatchSigmaRules(set, view.Build(kProcess), hits, 4) == 1);
    CHECK(hits[0] == plainRule);
    CHECK(SigmaLastRowWork(set) < 10000);
    CHECK(SigmaRowsOverBudget(set) == overBudget);
    FreeSigmaRuleSet(set);
}

TEST_CASE("a rule is set aside for its own cost only, and ordinary rules fit the budget") {
    SUBCASE("the rule the budget runs out in is not struck for the rules before it") {
        SigmaRuleSet* set = NewSigmaRuleSet();
        set->work.row = 5000; // room for one comparison of the 3,000-character text, not two
        const std::string a = ContainsRule("needle"), b = ContainsRule("needle");
        REQUIRE(AddSigmaRuleText(set, a.data(), a.size(), u"a.yml"));
        REQUIRE(AddSigmaRuleText(set, b.data(), b.size(), u"b.yml"));
        View view;
        view.Set(kSigmaCommandLine, std::u16string(2993, u'x') + u"needle");
        int32_t hits[4];
        for (int row = 0; row < 10; ++row) {
            REQUIRE(MatchSigmaRules(set, view.Build(kProcess), hits, 4) == 1);
            CHECK(hits[0] == 0);
        }
        CHECK(SigmaRowsOverBudget(set) == 10);
        CHECK(SigmaRulesSetAside(set) == 0);
        CHECK(GetSigmaRule(set, 1)->costStrikes == 0);
        FreeSigmaRuleSet(set);
    }
    SUBCASE("an expression whose match limit the row's budget cut is not struck for it") {
        SigmaRuleSet* set = NewSigmaRuleSet();
        set->work.strikes = 1;
        // 202 steps for each rule's read of the text, then a match limit of 500 units (1,000
        // steps) for the expression, one step short of 501: it hits the limit the budget gave.
        set->work.row = 202 + 202 + 1001;
        const std::string plain = ContainsRule("b");
        const std::string bomb = kHead + "detection:\n    sel:\n        CommandLine|re: '^(a|aa)+$'\n    condition: sel\n";
        REQUIRE(AddSigmaRuleText(set, plain.data(), plain.size(), u"a.yml"));
        REQUIRE(AddSigmaRuleText(set, bomb.data(), bomb.size(), u"b.yml"));
        View view;
        view.Set(kSigmaCommandLine, std::u16string(200, u'a') + u"b");
        int32_t hits[4];
        CHECK(MatchSigmaRules(set, view.Build(kProcess), hits, 4) == 1);
        CHECK(SigmaLastRowWork(set) == SigmaRowWorkBudget(set));
        CHECK(SigmaRowsOverBudget(set) == 1);
        CHECK(GetSigmaRule(set, 1)->costStrikes == 0);
        FreeSigmaRuleSet(set);
    }
    SUBCASE("a rule that takes more than its share of a row, row after row, is set aside") {
        SigmaRuleSet* set = NewSigmaRuleSet();
        set->work.ruleShare = 20000;
        std::string many = kHead + "detection:\n    sel:\n        CommandLine|contains:\n";
        for (int i = 0; i < 10; ++i)
            many += "            - 'needle" + std::to_string(i) + "'\n";
        many += "    condition: sel\n";
        const std::string cheap = ContainsRule("needle");
        REQUIRE(AddSigmaRuleText(set, many.data(), many.size(), u"many.yml"));
        REQUIRE(AddSigmaRuleText(set, cheap.data(), cheap.size(), u"cheap.yml"));
        View view;
        // The last of ten comparisons of 3,000 characters holds: 30,000 steps, above the share;
        // the cheap rule's 3,000 are not.
        view.Set(kSigmaCommandLine, std::u16string(2993, u'x') + u"needle9");
        int32_t hits[4];
        for (int row = 0; row < 3; ++row)
            CHECK(MatchSigmaRules(set, view.Build(kProcess), hits, 4) == 2);
        CHECK(GetSigmaRule(set, 0)->setAsideForCost == 1);
        CHECK(GetSigmaRule(set, 1)->costStrikes == 0);
        CHECK(SigmaRulesSetAside(set) == 1);
        // Set aside, it is not tried: it would match this row.
        view.Set(kSigmaCommandLine, u"needle7");
        REQUIRE(MatchSigmaRules(set, view.Build(kProcess), hits, 4) == 1);
        CHECK(hits[0] == 1);
        FreeSigmaRuleSet(set);
    }
    SUBCASE("500 ordinary expressions on a long command line are all tried within the budget") {
        SigmaRuleSet* set = NewSigmaRuleSet();
        for (int i = 0; i < 500; ++i) {
            const std::string text = kHead + "detection:\n    sel:\n        CommandLine|re: '\\s-e(nc)?\\s+[a-z]{" +
                                     std::to_string(i % 20 + 1) + "}'\n    condition: sel\n";
            REQUIRE(AddSigmaRuleText(set, text.data(), text.size(), u"re.yml"));
        }
        View view;
        view.Set(kSigmaCommandLine, u"powershell.exe" + std::u16string(1000, u' ') + u" -enc abcdefghijklmnopqrstu");
        std::vector<int32_t> hits(600);
        CHECK(MatchSigmaRules(set, view.Build(kProcess), hits.data(), 600) == 500);
        CHECK(SigmaRowsOverBudget(set) == 0);
        CHECK(SigmaMatchWorkLimitHits(set) == 0);
        CHECK(SigmaRulesSetAside(set) == 0);
        FreeSigmaRuleSet(set);
    }
}
