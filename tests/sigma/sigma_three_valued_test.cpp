// Matching with fields a row could not learn and fields a category never records: generated rules
// checked against an evaluator written here from the format (each unknown comparison free to be
// true or false), and the constructs public rules use around such fields.
#include <cstdint>
#include <string>
#include <vector>

#include "doctest.h"
#include "sigma/sigma.h"
#include "sigma_test_support.h"
#include "support/test_random.h"

using namespace olv;
using namespace sigma_test;

namespace {

std::string Rule(const std::string& detection, const std::string& title = "rule") {
    return "title: " + title + "\nid: 77\nlevel: high\nlogsource:\n    product: windows\n"
           "    category: process_creation\ndetection:\n" + detection;
}

// --- The reference: rules as plain data, read the way the format describes them ---

// Fields the generated rules use: four the process view records, two it never does.
const char* const kFieldNames[] = {"Image", "CommandLine", "ParentImage", "CurrentDirectory",
                                   "TerminalSessionId", "LogonGuid"};
constexpr int kRecordedFields = 4;
const uint32_t kViewField[kRecordedFields] = {kSigmaImage, kSigmaCommandLine, kSigmaParentImage,
                                              kSigmaCurrentDirectory};
const char* const kModes[] = {"", "|contains", "|startswith", "|endswith"};
const char* const kWords[] = {"a", "ab", "b", "ba", "abc"};

struct Comparison {
    int field; // index into kFieldNames
    int mode;  // index into kModes
    std::vector<std::string> values;
};
struct RefSearch {
    std::string name;
    std::vector<Comparison> map; // all of them
};
// A condition tree: a search, or not/and/or over children.
struct Cond {
    enum Kind { kSearch, kNot, kAnd, kOr } kind;
    int search;
    std::vector<Cond> kids;
};

// A row: per recorded field, known with a text, absent, or not learned.
enum class Known { kText, kAbsent, kUnknown };
struct RefRow {
    Known known[kRecordedFields];
    std::string text[kRecordedFields];
};

bool Holds(const std::string& text, int mode, const std::string& value) {
    switch (mode) {
    case 0: return text == value;
    case 1: return text.find(value) != std::string::npos;
    case 2: return text.rfind(value, 0) == 0;
    default: return text.size() >= value.size() && text.compare(text.size() - value.size(), value.size(), value) == 0;
    }
}

// Three values as 0 false, 1 true, 2 unknown.
int RefAnd(int a, int b) { return a == 0 || b == 0 ? 0 : a == 2 || b == 2 ? 2 : 1; }
int RefOr(int a, int b) { return a == 1 || b == 1 ? 1 : a == 2 || b == 2 ? 2 : 0; }
int RefNot(int a) { return a == 2 ? 2 : 1 - a; }

// A comparison's value on the row: on a field never recorded, or not learned by the row, it is
// `unknown` unless `assume` (0 or 1) gives the row's unknown ones a value; `forced` overrides
// each comparison by its place (for the enumeration).
struct Reading {
    int assume = 2;
    const std::vector<int>* forced = nullptr;
};

int CompareRef(const Comparison& c, const RefRow& row, const Reading& r, int* place) {
    const int at = (*place)++;
    if (r.forced != nullptr && (*r.forced)[static_cast<size_t>(at)] >= 0) return (*r.forced)[static_cast<size_t>(at)];
    if (c.field >= kRecordedFields) return 2;
    if (row.known[c.field] == Known::kUnknown) return r.assume;
    if (row.known[c.field] == Known::kAbsent) return 0;
    for (const std::string& v : c.values) {
        if (Holds(row.text[c.field], c.mode, v)) return 1;
    }
    return 0;
}

int SearchRef(const std::vector<RefSearch>& searches, int s, const RefRow& row, const Reading& r) {
    int place = 0;
    for (int k = 0; k < s; ++k) place += static_cast<int>(searches[static_cast<size_t>(k)].map.size());
    int all = 1;
    for (const Comparison& c : searches[static_cast<size_t>(s)].map) all = RefAnd(all, CompareRef(c, row, r, &place));
    return all;
}

int CondRef(const Cond& c, const std::vector<RefSearch>& searches, const RefRow& row, const Reading& r) {
    switch (c.kind) {
    case Cond::kSearch: return SearchRef(searches, c.search, row, r);
    case Cond::kNot: return RefNot(CondRef(c.kids[0], searches, row, r));
    case Cond::kAnd: {
        int all = 1;
        for (const Cond& k : c.kids) all = RefAnd(all, CondRef(k, searches, row, r));
        return all;
    }
    case Cond::kOr: {
        int any = 0;
        for (const Cond& k : c.kids) any = RefOr(any, CondRef(k, searches, row, r));
        return any;
    }
    }
    return 0;
}

std::string CondText(const Cond& c, const std::vector<RefSearch>& searches) {
    switch (c.kind) {
    case Cond::kSearch: return searches[static_cast<size_t>(c.search)].name;
    case Cond::kNot: return "not (" + CondText(c.kids[0], searches) + ")";
    default: {
        std::string text = "(";
        for (size_t i = 0; i < c.kids.size(); ++i) {
            if (i > 0) text += c.kind == Cond::kAnd ? " and " : " or ";
            text += CondText(c.kids[i], searches);
        }
        return text + ")";
    }
    }
}

Cond RandomCond(TestRandom& random, int searches, int depth) {
    const uint32_t pick = depth >= 3 ? 0 : random.Below(5);
    if (pick <= 1) return Cond{Cond::kSearch, static_cast<int>(random.Below(static_cast<uint32_t>(searches))), {}};
    if (pick == 2) return Cond{Cond::kNot, 0, {RandomCond(random, searches, depth + 1)}};
    Cond node{pick == 3 ? Cond::kAnd : Cond::kOr, 0, {}};
    const uint32_t kids = 2 + random.Below(2);
    for (uint32_t i = 0; i < kids; ++i) node.kids.push_back(RandomCond(random, searches, depth + 1));
    return node;
}

std::string RuleText(const std::vector<RefSearch>& searches, const Cond& cond) {
    std::string detection;
    for (const RefSearch& s : searches) {
        detection += "    " + s.name + ":\n";
        for (const Comparison& c : s.map) {
            detection += std::string("        ") + kFieldNames[c.field] + kModes[c.mode] + ":";
            for (const std::string& v : c.values) detection += "\n            - '" + v + "'";
            detection += "\n";
        }
    }
    return Rule(detection + "    condition: " + CondText(cond, searches) + "\n");
}

int Comparisons(const std::vector<RefSearch>& searches) {
    int n = 0;
    for (const RefSearch& s : searches) n += static_cast<int>(s.map.size());
    return n;
}

// Whether the rule can be true on some row: recorded comparisons take every value, never-recorded
// ones stay unknown.
bool CanHoldRef(const std::vector<RefSearch>& searches, const Cond& cond) {
    const int n = Comparisons(searches);
    std::vector<bool> never;
    for (const RefSearch& s : searches) {
        for (const Comparison& c : s.map) never.push_back(c.field >= kRecordedFields);
    }
    RefRow row{};
    for (uint32_t bits = 0; bits < (1u << n); ++bits) {
        std::vector<int> forced(static_cast<size_t>(n));
        for (int i = 0; i < n; ++i) forced[static_cast<size_t>(i)] = never[static_cast<size_t>(i)] ? 2 : static_cast<int>((bits >> i) & 1u);
        if (CondRef(cond, searches, row, Reading{2, &forced}) == 1) return true;
    }
    return false;
}

// Whether the condition is true for every value of the comparisons that are unknown on the row.
bool TrueWhateverUnknownHolds(const std::vector<RefSearch>& searches, const Cond& cond, const RefRow& row) {
    std::vector<int> unknownAt;
    int place = 0;
    for (const RefSearch& s : searches) {
        for (const Comparison& c : s.map) {
            if (c.field >= kRecordedFields || row.known[c.field] == Known::kUnknown) unknownAt.push_back(place);
            ++place;
        }
    }
    for (uint32_t bits = 0; bits < (1u << unknownAt.size()); ++bits) {
        std::vector<int> forced(static_cast<size_t>(place), -1);
        for (size_t i = 0; i < unknownAt.size(); ++i) forced[static_cast<size_t>(unknownAt[i])] = static_cast<int>((bits >> i) & 1u);
        if (CondRef(cond, searches, row, Reading{2, &forced}) != 1) return false;
    }
    return true;
}

} // namespace

TEST_CASE("generated rules on rows with unknown fields agree with the reference, and fire soundly") {
    TestRandom random{0x3A11ED};
    int loaded = 0, refusedRight = 0, matches = 0, possibles = 0, undecided = 0;
    for (int trial = 0; trial < 600; ++trial) {
        std::vector<RefSearch> searches;
        const uint32_t searchCount = 1 + random.Below(3);
        for (uint32_t s = 0; s < searchCount; ++s) {
            RefSearch search{"sel" + std::to_string(s), {}};
            const uint32_t tests = 1 + random.Below(2);
            for (uint32_t t = 0; t < tests; ++t) {
                Comparison c{static_cast<int>(random.Below(6)), static_cast<int>(random.Below(4)), {}};
                // One field once per map (a key given twice is refused).
                bool taken = false;
                for (const Comparison& other : search.map) taken = taken || other.field == c.field;
                if (taken) continue;
                const uint32_t values = 1 + random.Below(2);
                for (uint32_t v = 0; v < values; ++v) c.values.push_back(kWords[random.Below(5)]);
                search.map.push_back(c);
            }
            searches.push_back(search);
        }
        const Cond cond = RandomCond(random, static_cast<int>(searchCount), 0);
        const std::string text = RuleText(searches, cond);
        CAPTURE(text);
        OneRule one(text);
        const bool canHold = CanHoldRef(searches, cond);
        // A rule that can hold is never refused; one refused is refused for a field.
        if (canHold) REQUIRE(one.loaded);
        if (!one.loaded) {
            CHECK(one.Refusal()->reason == kSigmaRefusedField);
            ++refusedRight;
            continue;
        }
        ++loaded;
        for (int r = 0; r < 12; ++r) {
            RefRow row{};
            View view;
            uint32_t unknown = 0;
            for (int f = 0; f < kRecordedFields; ++f) {
                const uint32_t pick = random.Below(6);
                row.known[f] = pick == 0 ? Known::kAbsent : pick == 1 ? Known::kUnknown : Known::kText;
                if (row.known[f] == Known::kUnknown) unknown |= 1u << kViewField[f];
                if (row.known[f] != Known::kText) continue;
                // Short texts of the same letters, so that comparisons hold often.
                const uint32_t length = random.Below(4);
                for (uint32_t i = 0; i < length; ++i) row.text[f].push_back("abc"[random.Below(3)]);
                view.Set(kViewField[f], Utf16(row.text[f]));
            }
            const SigmaEventView* v = view.Build(1u << kSigmaProcessCreation);
            view.view.unknown = unknown;
            int32_t hit[2];
            SigmaPossibleMatch possible[2];
            int32_t possibleCount = 0;
            const bool matched =
                MatchSigmaRulesWithPossible(one.set, v, hit, 2, possible, 2, &possibleCount) == 1;
            const int expected = CondRef(cond, searches, row, Reading{});
            CAPTURE(expected);
            CHECK(matched == (expected == 1));
            // Sound: a rule that fires is true whatever the unknown comparisons hold.
            if (matched) CHECK(TrueWhateverUnknownHolds(searches, cond, row));
            // Possible: undecided, and true when this row's unknown comparisons all hold, or
            // when none does (never-recorded ones stay unknown both times).
            const bool possibleRef = expected == 2 && (CondRef(cond, searches, row, Reading{1, nullptr}) == 1 ||
                                                       CondRef(cond, searches, row, Reading{0, nullptr}) == 1);
            CHECK((possibleCount == 1) == possibleRef);
            if (possibleCount == 1) {
                CHECK(possible[0].rule == 0);
                CHECK(possible[0].unknownFields != 0);
                CHECK((possible[0].unknownFields & ~unknown) == 0);
            }
            // The plain call answers the same matches.
            CHECK((MatchSigmaRules(one.set, v, hit, 2) == 1) == matched);
            matches += matched;
            possibles += possibleCount;
            undecided += expected == 2;
        }
    }
    MESSAGE("loaded " << loaded << ", refused " << refusedRight << ", matches " << matches
                      << ", undecided " << undecided << ", possible " << possibles);
    // The generator reaches every outcome.
    CHECK(refusedRight > 0);
    CHECK(matches > 100);
    CHECK(possibles > 50);
    CHECK(undecided > possibles);
}

TEST_CASE("rules that name fields a category never records: partial, refused only when they cannot hold") {
    struct Case {
        const char* what;
        std::string detection;
        bool loads;
        const char* partial;
    };
    const Case cases[] = {
        {"an alternative", "    selection:\n        - Image|endswith: '\\netsh.exe'\n        - TerminalSessionId: '7'\n    condition: selection\n", true, "TerminalSessionId"},
        {"a 1 of alternative", "    selection_img:\n        Image|endswith: '\\netsh.exe'\n    selection_ofn:\n        TerminalSessionId: '7'\n    selection_user:\n        LogonGuid|contains: '{'\n    condition: 1 of selection_*\n", true, "TerminalSessionId, LogonGuid"},
        {"a filter", "    selection:\n        Image|endswith: '\\netsh.exe'\n    filter:\n        LogonGuid|contains: '{'\n    condition: selection and not filter\n", false, nullptr},
        {"all of", "    selection_img:\n        Image|endswith: '\\netsh.exe'\n    selection_hash:\n        ProcessGuid|contains: '{'\n    condition: all of selection_*\n", false, nullptr},
        {"a field reference", "    selection:\n        Image|fieldref: LogonGuid\n    condition: selection\n", false, nullptr},
        {"a filter of alternatives", "    selection:\n        Image|endswith: '\\netsh.exe'\n    filter:\n        - LogonGuid|contains: '{'\n        - CommandLine|contains: 'x'\n    condition: selection and not filter\n", false, nullptr},
        {"an or beside the filter", "    selection:\n        Image|endswith: '\\netsh.exe'\n    filter:\n        LogonGuid|contains: '{'\n    condition: selection and not filter or selection\n", true, "LogonGuid"},
    };
    for (const Case& c : cases) {
        CAPTURE(c.what);
        OneRule one(Rule(c.detection));
        REQUIRE(one.loaded == c.loads);
        if (!c.loads) {
            CHECK(one.Refusal()->reason == kSigmaRefusedField);
            CHECK(Utf8(one.Refusal()->detail).find("not recorded for process_creation") != std::string::npos);
            continue;
        }
        CHECK(Utf8(GetSigmaRule(one.set, 0)->partial) == c.partial);
    }
    OneRule whole(Rule("    selection:\n        Image|endswith: '\\netsh.exe'\n    condition: selection\n"));
    REQUIRE(whole.loaded);
    CHECK(Utf8(GetSigmaRule(whole.set, 0)->partial).empty());
    CHECK(GetSigmaRule(whole.set, 0)->fields == 1u << kSigmaImage);
}

TEST_CASE("public-rule constructs: filters on fields a row did not learn, alternatives, renamed binaries") {
    auto outcome = [](OneRule& one, View& view, uint32_t unknown, uint32_t* fields) {
        const SigmaEventView* v = view.Build(1u << kSigmaProcessCreation);
        view.view.unknown = unknown;
        int32_t hit[2];
        SigmaPossibleMatch possible[2];
        int32_t possibleCount = 0;
        const int32_t matched = MatchSigmaRulesWithPossible(one.set, v, hit, 2, possible, 2, &possibleCount);
        *fields = possibleCount == 1 ? possible[0].unknownFields : 0;
        return matched == 1 ? "match" : possibleCount == 1 ? "possible" : "none";
    };
    uint32_t fields = 0;
    SUBCASE("a filter on CurrentDirectory, known only for the examined program") {
        OneRule one(Rule("    selection:\n        Image|endswith: '\\msiexec.exe'\n    filter_ccm:\n"
                         "        CurrentDirectory|contains: '\\ccmcache\\'\n    condition: selection and not 1 of filter_*\n"));
        REQUIRE(one.loaded);
        View view;
        view.Set(kSigmaImage, u"C:\\Windows\\System32\\msiexec.exe");
        CHECK(std::string(outcome(one, view, 1u << kSigmaCurrentDirectory, &fields)) == "possible");
        CHECK(fields == 1u << kSigmaCurrentDirectory);
        view.Set(kSigmaCurrentDirectory, u"C:\\Users\\a\\");
        CHECK(std::string(outcome(one, view, 0, &fields)) == "match");
        view.Set(kSigmaCurrentDirectory, u"C:\\Windows\\ccmcache\\x\\");
        CHECK(std::string(outcome(one, view, 0, &fields)) == "none");
    }
    SUBCASE("a renamed binary: the command line names it, the filter tests the path") {
        OneRule one(Rule("    selection:\n        CommandLine|contains: 'DllRegisterServer'\n    filter:\n"
                         "        Image|endswith: '\\rundll32.exe'\n    condition: selection and not filter\n"));
        REQUIRE(one.loaded);
        View view;
        view.Set(kSigmaCommandLine, u"rundll32.exe x.dll,DllRegisterServer");
        CHECK(std::string(outcome(one, view, 1u << kSigmaImage, &fields)) == "possible");
        CHECK(fields == 1u << kSigmaImage);
        view.Set(kSigmaImage, u"C:\\Windows\\System32\\rundll32.exe");
        CHECK(std::string(outcome(one, view, 0, &fields)) == "none");
    }
    SUBCASE("a file that does not exist: a path without a backslash") {
        OneRule one(Rule("    image_absolute_path:\n        Image|contains: '\\'\n    condition: not image_absolute_path\n"));
        REQUIRE(one.loaded);
        View view;
        view.Set(kSigmaCommandLine, u"rundll32.exe");
        CHECK(std::string(outcome(one, view, 1u << kSigmaImage, &fields)) == "possible");
        view.Set(kSigmaImage, u"rundll32.exe");
        CHECK(std::string(outcome(one, view, 0, &fields)) == "match");
    }
    SUBCASE("an alternative on a field never recorded never makes a rule possible") {
        OneRule one(Rule("    selection:\n        - Image|endswith: '\\netsh.exe'\n        - TerminalSessionId: '7'\n"
                         "    cli:\n        CommandLine|contains: 'firewall'\n    condition: selection and cli\n"));
        REQUIRE(one.loaded);
        View view;
        view.Set(kSigmaImage, u"C:\\Windows\\System32\\cmd.exe");
        view.Set(kSigmaCommandLine, u"netsh firewall set opmode disable");
        CHECK(std::string(outcome(one, view, 1u << kSigmaCurrentDirectory, &fields)) == "none");
        view.Set(kSigmaImage, u"C:\\Windows\\System32\\NETSH.EXE");
        CHECK(std::string(outcome(one, view, 1u << kSigmaCurrentDirectory, &fields)) == "match");
        // With Image not learned, the row might be netsh: possible, naming Image only.
        View unknownImage;
        unknownImage.Set(kSigmaCommandLine, u"netsh firewall set opmode disable");
        CHECK(std::string(outcome(one, unknownImage, 1u << kSigmaImage, &fields)) == "possible");
        CHECK(fields == 1u << kSigmaImage);
    }
    SUBCASE("exists, null and neq on a field the row did not learn are undecided") {
        for (const char* test : {"ParentImage|exists: true", "ParentImage: null", "ParentImage|neq: 'x'"}) {
            CAPTURE(test);
            OneRule one(Rule(std::string("    selection:\n        ") + test + "\n    condition: selection\n"));
            REQUIRE(one.loaded);
            View view;
            view.Set(kSigmaImage, u"C:\\a.exe");
            CHECK(std::string(outcome(one, view, 1u << kSigmaParentImage, &fields)) == "possible");
        }
    }
}

TEST_CASE("what held: each selection that held, with the field, modifiers and value that matched") {
    OneRule one(Rule("    selection_img:\n        - Image|endswith: '\\certutil.exe'\n        - TerminalSessionId: '7'\n"
                     "    selection_cli:\n        CommandLine|contains|all:\n            - 'urlcache'\n            - ' -f '\n"
                     "    selection_parent:\n        ParentImage: 'C:\\x\\p.exe'\n"
                     "    filter:\n        CurrentDirectory|startswith: 'C:\\Program Files\\'\n"
                     "    condition: (selection_img and selection_cli or selection_parent) and not filter\n"));
    REQUIRE(one.loaded);
    View view;
    view.Set(kSigmaImage, u"C:\\Windows\\System32\\CERTUTIL.EXE");
    view.Set(kSigmaCommandLine, u"certutil -urlcache -f http://x/a a");
    view.Set(kSigmaParentImage, u"C:\\y.exe");
    view.Set(kSigmaCurrentDirectory, u"C:\\Users\\");
    const SigmaEventView* v = view.Build(1u << kSigmaProcessCreation);
    char16_t out[512];
    REQUIRE(ExplainSigmaMatch(one.set, 0, v, out, 512) > 0);
    CHECK(Utf8(out) == "selection_img: Image endswith \\certutil.exe\n"
                       "selection_cli: CommandLine contains all urlcache,  -f \n");
    // Not held: nothing said. Cut to fit: terminated.
    view.Set(kSigmaCurrentDirectory, u"C:\\Program Files\\x\\");
    CHECK(ExplainSigmaMatch(one.set, 0, view.Build(1u << kSigmaProcessCreation), out, 512) == 0);
    CHECK(out[0] == 0);
    view.Set(kSigmaCurrentDirectory, u"C:\\Users\\");
    CHECK(ExplainSigmaMatch(one.set, 0, view.Build(1u << kSigmaProcessCreation), out, 10) == 9);

    OneRule keywords(Rule("    keywords:\n        - 'mimikatz'\n    equal:\n        ParentImage: 'C:\\x\\p.exe'\n"
                          "    condition: keywords or equal\n"));
    REQUIRE(keywords.loaded);
    View k;
    k.Set(kSigmaCommandLine, u"x MimiKatz y");
    k.Set(kSigmaParentImage, u"C:\\X\\P.exe");
    REQUIRE(ExplainSigmaMatch(keywords.set, 0, k.Build(1u << kSigmaProcessCreation), out, 512) > 0);
    CHECK(Utf8(out) == "keywords: keyword mimikatz in CommandLine\nequal: ParentImage = C:\\x\\p.exe\n");
}
