// Rule files as hostile input: YAML aliases that make a small file stand for millions of values,
// expressions, maps or condition nodes. Each is refused for its limits once what it expands to
// passes the bound of one file, with the memory held while reading it far below 100 MB; what a
// file expands to is counted alike whether it was written out or reached through aliases; and the
// bounds of a whole set refuse a file that would pass them while later, smaller files still load.
#include <string>

#include "allocation_meter.h"
#include "doctest.h"
#include "sigma/sigma.h"
#include "sigma/sigma_engine.h"
#include "sigma_test_support.h"

using namespace olv;
using namespace sigma_test;
using sigma::LoadBounds;
using sigma::LoadTotals;

namespace {

const std::string kHead = "title: hostile\nlevel: high\nlogsource:\n    product: windows\n"
                          "    category: process_creation\n";

// "[*a,*a,...]": count aliases to anchor a in a flow list.
std::string Aliases(const std::string& anchor, int count) {
    std::string list = "[";
    for (int i = 0; i < count; ++i) {
        if (i > 0) list += ",";
        list += "*" + anchor;
    }
    return list + "]";
}

std::string QuotedList(const std::string& item, int count) {
    std::string list = "[";
    for (int i = 0; i < count; ++i) {
        if (i > 0) list += ",";
        list += "'" + item + "'";
    }
    return list + "]";
}

struct Hostile {
    const char* name;
    std::string text;
    const char* detail; // what the refusal says
};

std::vector<Hostile> HostileFiles() {
    std::vector<Hostile> files;
    // 10,000 aliases to one value of 4,090 characters: 41 million characters once expanded.
    files.push_back({"values",
                     kHead + "x-a: &v '" + std::string(4090, 'a') + "'\ndetection:\n    sel:\n" +
                         "        CommandLine|contains: " + Aliases("v", 10000) + "\n    condition: sel\n",
                     "of compiled tests"});
    // The same as keywords (each looked for in every field).
    files.push_back({"keywords",
                     kHead + "x-a: &v '" + std::string(4090, 'k') + "'\ndetection:\n    words: " +
                         Aliases("v", 10000) + "\n    condition: words\n",
                     "of compiled tests"});
    // 10,000 aliases to a regular expression of 2,040 groups: each compiles to code and JIT code.
    std::string groups;
    for (int i = 0; i < 2040; ++i)
        groups += "()";
    files.push_back({"expressions",
                     kHead + "x-a: &r '" + groups + "a'\ndetection:\n    sel:\n        CommandLine|re: " +
                         Aliases("r", 10000) + "\n    condition: sel\n",
                     "regular expressions take more than"});
    // Short expressions: the count of expressions stops them.
    files.push_back({"short expressions",
                     kHead + "x-a: &r 'a+b'\ndetection:\n    sel:\n        CommandLine|re: " +
                         Aliases("r", 10000) + "\n    condition: sel\n",
                     "regular expressions (aliases"});
    // Maps of three fields, each a list of 1,000 values, reached 10,000 times: 30 million values.
    files.push_back({"maps",
                     kHead + "x-l: &l " + QuotedList(std::string(60, 'b'), 1000) +
                         "\nx-m: &m {CommandLine: *l, Image: *l, ParentImage: *l}\ndetection:\n    sel: " +
                         Aliases("m", 10000) + "\n    condition: sel\n",
                     "of compiled tests"});
    // Short values: the count of values stops them before their bytes would.
    files.push_back({"short values",
                     kHead + "x-l: &l " + QuotedList("x", 1000) +
                         "\nx-m: &m {CommandLine: *l, Image: *l, ParentImage: *l}\ndetection:\n    sel: " +
                         Aliases("m", 10000) + "\n    condition: sel\n",
                     "values (aliases"});
    // A condition over 512 search identifiers, `1 of them` 400 times over, reached 10,000 times.
    std::string searches;
    for (int i = 0; i < 512; ++i)
        searches += "    s" + std::to_string(i) + ": {Image: x}\n";
    std::string ofThem = "1 of them";
    for (int i = 0; i < 400; ++i)
        ofThem += " and 1 of them";
    files.push_back({"condition",
                     kHead + "x-c: &c '" + ofThem + "'\ndetection:\n" + searches + "    condition: " +
                         Aliases("c", 10000) + "\n",
                     "condition nodes"});
    return files;
}

} // namespace

TEST_CASE("alias amplification of values, expressions, maps and conditions is refused at the bound") {
    const LoadBounds bounds;
    for (const Hostile& hostile : HostileFiles()) {
        const std::string name = hostile.name;
        CAPTURE(name);
        REQUIRE(hostile.text.size() < 1024 * 1024);
        const size_t before = AllocatedBytesNow();
        ResetAllocationPeak();
        SigmaRuleSet* set = NewSigmaRuleSet();
        REQUIRE(set != nullptr);
        CHECK_FALSE(AddSigmaRuleText(set, hostile.text.data(), hostile.text.size(), u"hostile.yml"));
        REQUIRE(SigmaRefusalCount(set) == 1);
        const std::string detail = Utf8(GetSigmaRefusal(set, 0)->detail);
        CAPTURE(detail);
        CHECK(GetSigmaRefusal(set, 0)->reason == kSigmaRefusedLimits);
        CHECK(detail.find(hostile.detail) != std::string::npos);
        // Counted up to the step that crossed a bound, and no further.
        const LoadTotals& counted = set->lastFile;
        CHECK(counted.values <= bounds.file.values + 1);
        CHECK(counted.bytes <= bounds.file.bytes + 64 * 1024);
        CHECK(counted.regexes <= bounds.file.regexes + 1);
        CHECK(counted.regexBytes <= bounds.file.regexBytes + 1024 * 1024);
        // Memory: what operator new handed out at most, plus the expressions' code (the regular
        // expression library allocates that itself).
        const size_t peak = AllocationPeakBytes() - before;
        MESSAGE(name << ": " << hostile.text.size() << " bytes, counted " << counted.values
                             << " values, " << counted.bytes << " bytes, " << counted.regexes
                             << " expressions of " << counted.regexBytes << " bytes; peak "
                             << peak << " bytes");
        CHECK(peak + counted.regexBytes < 100u * 1000 * 1000);
        // Nothing of it stays in the set.
        CHECK(SigmaRuleCount(set) == 0);
        CHECK(set->totals.values == 0);
        CHECK(set->totals.regexes == 0);
        FreeSigmaRuleSet(set);
    }
}

TEST_CASE("what a rule expands to is counted alike written out and through aliases") {
    const std::string value = std::string(100, 'v');
    const std::string written = kHead + "detection:\n    sel:\n        CommandLine|contains: " +
                                QuotedList(value, 20) + "\n        Image|re: " + QuotedList("a+", 5) +
                                "\n    condition: sel\n";
    const std::string aliased = kHead + "x-v: &v '" + value + "'\nx-r: &r 'a+'\ndetection:\n    sel:\n" +
                                "        CommandLine|contains: " + Aliases("v", 20) +
                                "\n        Image|re: " + Aliases("r", 5) + "\n    condition: sel\n";
    OneRule a(written);
    OneRule b(aliased);
    REQUIRE(a.loaded);
    REQUIRE(b.loaded);
    CHECK(a.set->lastFile.values == 25);
    CHECK(b.set->lastFile.values == 25);
    CHECK(a.set->lastFile.bytes == b.set->lastFile.bytes);
    CHECK(b.set->lastFile.regexes == 5);
    CHECK(a.set->lastFile.regexBytes == b.set->lastFile.regexBytes);
    CHECK(b.set->totals.values == 25);
    // base64offset makes three forms of each value: three values counted.
    OneRule offsets(kHead + "detection:\n    sel:\n        CommandLine|base64offset|contains: 'whoami'\n"
                            "    condition: sel\n");
    REQUIRE(offsets.loaded);
    CHECK(offsets.set->lastFile.values == 3);
}

TEST_CASE("a set's bounds refuse the file that would pass them; smaller files after it still load") {
    SigmaRuleSet* set = NewSigmaRuleSet();
    REQUIRE(set != nullptr);
    set->bounds.set.values = 100;
    set->bounds.set.regexes = 12;
    auto rule = [](int values, int regexes) {
        std::string text = kHead + "detection:\n    sel:\n        CommandLine|contains: " +
                           QuotedList("needle", values);
        if (regexes > 0) text += "\n        Image|re: " + QuotedList("x+", regexes);
        return text + "\n    condition: sel\n";
    };
    const std::string forty = rule(40, 0), ten = rule(10, 0);
    CHECK(AddSigmaRuleText(set, forty.data(), forty.size(), u"1.yml"));
    CHECK(AddSigmaRuleText(set, forty.data(), forty.size(), u"2.yml"));
    CHECK_FALSE(AddSigmaRuleText(set, forty.data(), forty.size(), u"3.yml"));
    REQUIRE(SigmaRefusalCount(set) == 1);
    CHECK(GetSigmaRefusal(set, 0)->reason == kSigmaRefusedLimits);
    CHECK(Utf8(GetSigmaRefusal(set, 0)->detail).find("with the rules loaded before it") != std::string::npos);
    CHECK(set->totals.values == 80);
    CHECK(AddSigmaRuleText(set, ten.data(), ten.size(), u"4.yml"));
    CHECK(set->totals.values == 90);
    // Expressions alike.
    const std::string expressions = rule(1, 8);
    CHECK(AddSigmaRuleText(set, expressions.data(), expressions.size(), u"5.yml"));
    CHECK_FALSE(AddSigmaRuleText(set, expressions.data(), expressions.size(), u"6.yml"));
    CHECK(set->totals.regexes == 8);
    CHECK(SigmaRuleCount(set) == 4);
    CHECK(SigmaRefusalsByReason(set, kSigmaRefusedLimits) == 2);
    // What loaded still matches.
    View view;
    view.Set(kSigmaCommandLine, u"a needle");
    view.Set(kSigmaImage, u"xx");
    int32_t hits[8];
    CHECK(MatchSigmaRules(set, view.Build(1u << kSigmaProcessCreation), hits, 8) == 4);
    FreeSigmaRuleSet(set);
}
