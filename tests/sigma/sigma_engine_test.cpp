// The engine around the corpus: size and work bounds, what a refusal leaves behind, what a rule
// tells about itself, rows of several categories, the result's capacity, hostile rows and rule
// texts, and reading folders (missing ones, unreadable files, links that would loop).
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <algorithm>
#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "doctest.h"
#include "platform/files.h"
#include "sigma/sigma.h"
#include "sigma/sigma_engine.h"
#include "sigma_test_support.h"
#include "support/test_random.h"

using namespace olv;
using namespace sigma_test;
namespace fs = std::filesystem;

namespace {

std::string Rule(const std::string& category, const std::string& detection,
                 const std::string& extra = "") {
    return "title: inline rule\nid: 1234\nlevel: high\n" + extra +
           "logsource:\n    product: windows\n    category: " + category + "\ndetection:\n" + detection;
}

const std::string kContainsRule =
    Rule("process_creation", "    sel:\n        CommandLine|contains: 'needle'\n    condition: sel\n");

struct TempDir {
    fs::path path;
    TempDir() {
        static int counter = 0;
        const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
        path = fs::temp_directory_path() / ("olv_sigma_" + std::to_string(now) + "_" + std::to_string(++counter));
        fs::remove_all(path);
        fs::create_directories(path);
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    void Write(const std::string& relative, const std::string& text) const {
        fs::create_directories((path / relative).parent_path());
        std::ofstream(path / relative, std::ios::binary) << text;
    }
};

} // namespace

TEST_CASE("a rule file of exactly 1 MiB loads; one byte more is refused as too large") {
    std::string text = kContainsRule;
    text += "# ";
    text.append(1024 * 1024 - text.size() - 1, 'p');
    text += "\n";
    REQUIRE(text.size() == 1024 * 1024);
    OneRule exact(text);
    CHECK(exact.loaded);
    text.insert(text.size() - 1, "p");
    OneRule over(text);
    REQUIRE_FALSE(over.loaded);
    CHECK(over.Refusal()->reason == kSigmaRefusedTooLarge);
    CHECK(SigmaRefusalsByReason(over.set, kSigmaRefusedTooLarge) == 1);
}

TEST_CASE("line ends: CR alone, CR LF and LF read alike, with the same line numbers") {
    auto withEnds = [](std::string text, const std::string& end) {
        std::string out;
        for (const char c : text) {
            if (c == '\n') out += end;
            else out.push_back(c);
        }
        return out;
    };
    const std::string good = Rule("process_creation",
                                  "    sel:\n        CommandLine|contains: 'needle'\n"
                                  "        Image|endswith: '\\cmd.exe'\n    condition: sel\n");
    // The second `sel` key is on line 10 of the rule whatever ends its lines.
    const std::string twice = Rule("process_creation",
                                   "    sel:\n        Image: a\n    sel:\n        Image: b\n"
                                   "    condition: sel\n");
    for (const char* end : {"\n", "\r\n", "\r"}) {
        CAPTURE(std::string(end).size());
        OneRule one(withEnds(good, end));
        REQUIRE(one.loaded);
        View view;
        view.Set(kSigmaCommandLine, u"x needle y");
        view.Set(kSigmaImage, u"C:\\Windows\\cmd.exe");
        CHECK(one.Matches(view, 1u << kSigmaProcessCreation));
        view.Set(kSigmaImage, u"C:\\Windows\\cmd.exe\r");
        CHECK_FALSE(one.Matches(view, 1u << kSigmaProcessCreation));
        OneRule bad(withEnds(twice, end));
        REQUIRE_FALSE(bad.loaded);
        CHECK(bad.Refusal()->reason == kSigmaRefusedSyntax);
        CHECK(Utf8(bad.Refusal()->detail) ==
              "line 10: the key sel is given twice in one mapping (first on line 8)");
    }
    // A CR inside a quoted value is a line end too, folded to a space as YAML folds lines.
    OneRule quoted(Rule("process_creation", "    sel:\r        CommandLine: 'a\rb'\r    condition: sel\r"));
    REQUIRE(quoted.loaded);
    View view;
    view.Set(kSigmaCommandLine, u"a b");
    CHECK(quoted.Matches(view, 1u << kSigmaProcessCreation));
}

TEST_CASE("a regular expression that backtracks without end hits the work bound, counted per rule") {
    SigmaRuleSet* set = NewSigmaRuleSet();
    const std::string other = kContainsRule;
    const std::string bomb =
        Rule("process_creation", "    sel:\n        CommandLine|re: '^(a|aa)+$'\n    condition: sel\n");
    REQUIRE(AddSigmaRuleText(set, other.data(), other.size(), u"a.yml"));
    REQUIRE(AddSigmaRuleText(set, bomb.data(), bomb.size(), u"b.yml"));
    View view;
    view.Set(kSigmaCommandLine, std::u16string(200, u'a') + u"b needle");
    int32_t hits[4];
    // The bound counts as no match; the other rule still answers.
    REQUIRE(MatchSigmaRules(set, view.Build(1u << kSigmaProcessCreation), hits, 4) == 1);
    CHECK(hits[0] == 0);
    CHECK(SigmaMatchWorkLimitHits(set) == 1);
    CHECK(GetSigmaRule(set, 1)->matchWorkLimitHits == 1);
    CHECK(GetSigmaRule(set, 0)->matchWorkLimitHits == 0);
    MatchSigmaRules(set, view.Build(1u << kSigmaProcessCreation), hits, 4);
    CHECK(SigmaMatchWorkLimitHits(set) == 2);
    // A short text is decided within the bound.
    view.Set(kSigmaCommandLine, u"aaaa");
    CHECK(MatchSigmaRules(set, view.Build(1u << kSigmaProcessCreation), hits, 4) == 1);
    CHECK(hits[0] == 1);
    CHECK(SigmaMatchWorkLimitHits(set) == 2);
    FreeSigmaRuleSet(set);
}

TEST_CASE("a comparison stopped at its bound is undecided: under not it never makes a rule fire") {
    // The filter would have excluded the row had it been decided; counting it false would fire.
    OneRule one(Rule("process_creation", "    sel:\n        CommandLine|contains: 'needle'\n"
                                         "    filter:\n        CommandLine|re: '^(a|aa)+$'\n"
                                         "    condition: sel and not filter\n"));
    REQUIRE(one.loaded);
    View view;
    view.Set(kSigmaCommandLine, std::u16string(200, u'a') + u"b needle");
    CHECK_FALSE(one.Matches(view, 1u << kSigmaProcessCreation));
    CHECK(SigmaMatchWorkLimitHits(one.set) == 1);
    // Decided within the bound, the filter is false and the rule fires.
    view.Set(kSigmaCommandLine, u"aab needle");
    CHECK(one.Matches(view, 1u << kSigmaProcessCreation));
    // A keyword search stopped at the bound alike.
    OneRule keyword(Rule("process_creation", "    sel:\n        CommandLine|contains: 'needle'\n"
                                             "    words:\n        '|re': '^(a|aa)+$'\n"
                                             "    condition: sel and not words\n"));
    if (keyword.loaded) {
        view.Set(kSigmaCommandLine, std::u16string(200, u'a') + u"b needle");
        CHECK_FALSE(keyword.Matches(view, 1u << kSigmaProcessCreation));
    }
}

TEST_CASE("a wildcard pattern built to take text x pattern steps hits the bound, counted") {
    // After the star, every place of the text is tried against 3001 characters.
    const std::string pattern = "*" + std::string(3000, 'a') + "b";
    OneRule one(Rule("process_creation", "    sel:\n        CommandLine: '" + pattern + "'\n    condition: sel\n"));
    REQUIRE(one.loaded);
    View view;
    view.Set(kSigmaCommandLine, std::u16string(30000, u'a'));
    CHECK_FALSE(one.Matches(view, 1u << kSigmaProcessCreation));
    CHECK(SigmaMatchWorkLimitHits(one.set) == 1);
    view.Set(kSigmaCommandLine, std::u16string(3100, u'a') + u"b");
    CHECK(one.Matches(view, 1u << kSigmaProcessCreation));
    CHECK(SigmaMatchWorkLimitHits(one.set) == 1);
}

TEST_CASE("contains agrees with a plain search on texts full of near matches") {
    // Two-letter texts make every kind of partial overlap; the plain search is the oracle.
    TestRandom random{99};
    for (int round = 0; round < 60; ++round) {
        std::string needle;
        const uint32_t length = 1 + random.Below(6);
        for (uint32_t i = 0; i < length; ++i)
            needle += random.Below(2) ? 'a' : 'b';
        OneRule one(Rule("process_creation", "    sel:\n        CommandLine|contains: '" + needle + "'\n    condition: sel\n"));
        REQUIRE(one.loaded);
        for (int t = 0; t < 20; ++t) {
            std::string text;
            const uint32_t textLength = random.Below(14);
            for (uint32_t i = 0; i < textLength; ++i)
                text += random.Below(2) ? 'a' : 'b';
            View view;
            view.Set(kSigmaCommandLine, Utf16(text));
            CAPTURE(needle);
            CAPTURE(text);
            CHECK(one.Matches(view, 1u << kSigmaProcessCreation) == (text.find(needle) != std::string::npos));
        }
    }
}

TEST_CASE("a refused rule leaves nothing behind in the set") {
    SigmaRuleSet* set = NewSigmaRuleSet();
    REQUIRE(AddSigmaRuleText(set, kContainsRule.data(), kContainsRule.size(), u"good.yml"));
    // Its regular expression compiles before a later field is refused.
    const std::string late = Rule("process_creation",
                                  "    a:\n        CommandLine|re: 'x+'\n    b:\n        LogonGuid: 'x'\n"
                                  "    condition: a and b\n");
    CHECK_FALSE(AddSigmaRuleText(set, late.data(), late.size(), u"late.yml"));
    CHECK(SigmaRuleCount(set) == 1);
    CHECK(SigmaFileCount(set) == 2);
    REQUIRE(SigmaRefusalCount(set) == 1);
    CHECK(GetSigmaRefusal(set, 0)->reason == kSigmaRefusedField);
    CHECK(Utf8(GetSigmaRefusal(set, 0)->file) == "late.yml");
    CHECK(GetSigmaRefusal(set, 1) == nullptr);
    View view;
    view.Set(kSigmaCommandLine, u"xx needle");
    int32_t hits[2];
    CHECK(MatchSigmaRules(set, view.Build(1u << kSigmaProcessCreation), hits, 2) == 1);
    FreeSigmaRuleSet(set);
}

TEST_CASE("a rule tells its id, title cut to fit, level, file and category") {
    const std::string title(400, 'T');
    const std::string text = "title: " + title + "\nid: 5f3c-aa\nlevel: Critical\n" +
                             "logsource:\n    category: dns_query\ndetection:\n"
                             "    sel:\n        QueryName: x\n    condition: sel\n";
    OneRule one(text, u"sub/rule.yml");
    REQUIRE(one.loaded);
    const SigmaRuleInfo* info = GetSigmaRule(one.set, 0);
    REQUIRE(info != nullptr);
    CHECK(Utf8(info->id) == "5f3c-aa");
    CHECK(Utf8(info->title) == title.substr(0, kSigmaTitleChars - 1));
    CHECK(info->level == kSigmaCritical);
    CHECK(SeverityOfSigmaLevel(info->level) == 3);
    CHECK(Utf8(info->file) == "sub/rule.yml");
    CHECK(info->categories == (1u << kSigmaDnsQuery));
    CHECK(GetSigmaRule(one.set, 1) == nullptr);
    CHECK(GetSigmaRule(one.set, -1) == nullptr);
}

TEST_CASE("levels map to row severities") {
    const struct {
        uint32_t level;
        uint32_t severity;
        const char* name;
    } cases[] = {{kSigmaInformational, 0, "informational"}, {kSigmaLow, 1, "low"},
                 {kSigmaMedium, 2, "medium"}, {kSigmaHigh, 3, "high"}, {kSigmaCritical, 3, "critical"}};
    for (const auto& c : cases) {
        CHECK(SeverityOfSigmaLevel(c.level) == c.severity);
        CHECK(std::string(SigmaLevelName(c.level)) == c.name);
    }
    CHECK(SigmaLevelName(5) == nullptr);
    CHECK(SigmaCategoryName(kSigmaCategoryCount) == nullptr);
    CHECK(SigmaFieldName(kSigmaFieldCount) == nullptr);
    CHECK(SigmaRefusalReasonName(kSigmaRefusalReasonCount) == nullptr);
}

TEST_CASE("a row of several categories meets the rules of each, in rule order, beyond capacity") {
    SigmaRuleSet* set = NewSigmaRuleSet();
    const char* categories[] = {"registry_event", "registry_set", "registry_add", "registry_event"};
    for (const char* category : categories) {
        const std::string text = Rule(category, "    sel:\n        TargetObject|contains: '\\Run\\'\n    condition: sel\n");
        REQUIRE(AddSigmaRuleText(set, text.data(), text.size(), u"r.yml"));
    }
    View view;
    view.Set(kSigmaTargetObject, u"HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Run\\x");
    view.Set(kSigmaEventType, u"SetValue");
    const uint32_t row = (1u << kSigmaRegistrySet) | (1u << kSigmaRegistryEvent);
    int32_t hits[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
    REQUIRE(MatchSigmaRules(set, view.Build(row), hits, 8) == 3);
    CHECK(hits[0] == 0);
    CHECK(hits[1] == 1);
    CHECK(hits[2] == 3);
    int32_t one[1] = {-1};
    CHECK(MatchSigmaRules(set, view.Build(row), one, 1) == 3); // the count says more matched
    CHECK(one[0] == 0);
    CHECK(MatchSigmaRules(set, view.Build(row), nullptr, 0) == 3);
    CHECK(MatchSigmaRules(set, view.Build(0), hits, 8) == 0); // a row of no category
    CHECK(MatchSigmaRules(set, nullptr, hits, 8) == 0);
    FreeSigmaRuleSet(set);
}

TEST_CASE("hostile rows: long fields, unpaired surrogates, control characters") {
    const std::string text = Rule("process_creation",
                                  "    a:\n        CommandLine|re: 'ab+c'\n"
                                  "    b:\n        CommandLine|endswith: 'tail'\n    condition: a or b\n");
    OneRule one(text);
    REQUIRE(one.loaded);
    View view;
    std::u16string longText(200000, u'x');
    longText += u"tail";
    view.Set(kSigmaCommandLine, longText);
    CHECK(one.Matches(view, 1u << kSigmaProcessCreation));
    std::u16string broken = u"zz";
    broken.push_back(static_cast<char16_t>(0xD800));
    broken += u"abbbc";
    broken.push_back(static_cast<char16_t>(0xDC00));
    view.Set(kSigmaCommandLine, broken);
    CHECK(one.Matches(view, 1u << kSigmaProcessCreation));
    view.Set(kSigmaCommandLine, std::u16string(u"a\0b\0c", 5));
    CHECK_FALSE(one.Matches(view, 1u << kSigmaProcessCreation));
}

TEST_CASE("hostile rule texts: nesting in conditions, huge values, mutated corpus files") {
    std::string deep = "(";
    for (int i = 0; i < 200; ++i)
        deep += "(";
    deep += "sel";
    for (int i = 0; i < 201; ++i)
        deep += ")";
    OneRule nested(Rule("process_creation", "    sel:\n        Image: x\n    condition: " + deep + "\n"));
    REQUIRE_FALSE(nested.loaded);
    CHECK(nested.Refusal()->reason == kSigmaRefusedSyntax);

    std::string manyNots;
    for (int i = 0; i < 60; ++i)
        manyNots += "not ";
    OneRule nots(Rule("process_creation", "    sel:\n        Image: x\n    condition: " + manyNots + "sel\n"));
    CHECK(nots.loaded); // within the bound, and an even number of nots is the search itself

    OneRule huge(Rule("process_creation", "    sel:\n        Image: '" + std::string(5000, 'v') + "'\n    condition: sel\n"));
    REQUIRE_FALSE(huge.loaded);
    CHECK(huge.Refusal()->reason == kSigmaRefusedLimits);

    // Random damage to every corpus file: each is loaded or refused, and what loads can match.
    TestRandom random{20260612};
    const std::vector<fs::path> files = RuleFiles(CorpusDir() / "load");
    View view;
    view.Set(kSigmaCommandLine, u"powershell -enc needle whoami");
    view.Set(kSigmaImage, u"C:\\Windows\\System32\\cmd.exe");
    for (int round = 0; round < 400; ++round) {
        std::string text = ReadBytes(files[random.Below(static_cast<uint32_t>(files.size()))]);
        const uint32_t edits = 1 + random.Below(4);
        for (uint32_t e = 0; e < edits && !text.empty(); ++e) {
            const size_t at = random.Below(static_cast<uint32_t>(text.size()));
            static const char kBytes[] = "|*?\\[]{}:-'\"&!\n \t0aZ\x80";
            const char c = kBytes[random.Below(sizeof kBytes - 1)];
            switch (random.Below(3)) {
            case 0: text[at] = c; break;
            case 1: text.insert(at, 1, c); break;
            default: text.erase(at, 1); break;
            }
        }
        OneRule one(text);
        CHECK(SigmaFileCount(one.set) == 1);
        CHECK(SigmaRuleCount(one.set) + SigmaRefusalCount(one.set) == 1);
        if (one.loaded) one.Matches(view, 0x3FF);
    }
}

TEST_CASE("folders: sub-folders read, other files skipped, a missing folder said so") {
    TempDir dir;
    dir.Write("b.yml", kContainsRule);
    dir.Write("A.YAML", kContainsRule);
    dir.Write("sub/c.yml", kContainsRule);
    dir.Write("sub/deeper/d.yaml", "title: x\n");
    dir.Write("notes.txt", kContainsRule);
    dir.Write("sub/e.yml.bak", kContainsRule);
    std::error_code ec;
    fs::create_directory_symlink(dir.path, dir.path / "sub" / "loop", ec); // must not be followed
    const std::u16string folder = Utf16(dir.path.string());
    SigmaRuleSet* set = LoadSigmaRuleFolder(folder.c_str());
    REQUIRE(set != nullptr);
    CHECK(Utf8(SigmaRuleFolderError(set)).empty());
    CHECK(SigmaFileCount(set) == 4);
    REQUIRE(SigmaRuleCount(set) == 3);
    const std::string sep(1, static_cast<char>(kPathSeparator));
    CHECK(Utf8(GetSigmaRule(set, 0)->file) == "A.YAML");
    CHECK(Utf8(GetSigmaRule(set, 1)->file) == "b.yml");
    CHECK(Utf8(GetSigmaRule(set, 2)->file) == "sub" + sep + "c.yml");
    REQUIRE(SigmaRefusalCount(set) == 1);
    CHECK(Utf8(GetSigmaRefusal(set, 0)->file) == "sub" + sep + "deeper" + sep + "d.yaml");
    FreeSigmaRuleSet(set);

    const std::u16string missing = Utf16((dir.path / "absent").string());
    set = LoadSigmaRuleFolder(missing.c_str());
    REQUIRE(set != nullptr);
    CHECK_FALSE(Utf8(SigmaRuleFolderError(set)).empty());
    CHECK(SigmaFileCount(set) == 0);
    CHECK(MatchSigmaRules(set, nullptr, nullptr, 0) == 0);
    FreeSigmaRuleSet(set);
}

#ifndef _WIN32
TEST_CASE("folders: a rule file that cannot be read is refused as unreadable; a huge one unread") {
    TempDir dir;
    dir.Write("a.yml", kContainsRule);
    REQUIRE(mkfifo((dir.path / "pipe.yml").c_str(), 0600) == 0); // opening it as a file fails
    dir.Write("big.yml", std::string(1024 * 1024 + 10, '#'));
    const std::u16string folder = Utf16(dir.path.string());
    SigmaRuleSet* set = LoadSigmaRuleFolder(folder.c_str());
    REQUIRE(set != nullptr);
    CHECK(SigmaRuleCount(set) == 1);
    CHECK(SigmaRefusalsByReason(set, kSigmaRefusedUnreadable) == 1);
    CHECK(SigmaRefusalsByReason(set, kSigmaRefusedTooLarge) == 1);
    CHECK(SigmaFileCount(set) == 3);
    FreeSigmaRuleSet(set);
}
#endif

TEST_CASE("folders: what cannot be read is refused on its own, the rules beside it load") {
    TempDir dir;
    dir.Write("good.yml", kContainsRule);
    // Levels 0 (the folder itself) to 31 are read; the folder at level 32 is refused whole.
    std::string deep;
    for (int level = 1; level <= 31; ++level)
        deep += "d" + std::to_string(level) + "/";
    dir.Write(deep + "in.yml", kContainsRule);
    dir.Write(deep + "d32/out.yml", kContainsRule);
    dir.Write(deep + "d32/d33/out.yml", kContainsRule);
    size_t expectedRefusals = 1;
#ifndef _WIN32
    // Names that are not UTF-8: the folder is not listed, the file not read; both are refused.
    dir.Write("bad\xff/r.yml", kContainsRule);
    dir.Write("bad\xfe.yml", kContainsRule);
    // A link to nothing named like a rule file is a file that cannot be opened.
    fs::create_symlink(dir.path / "nowhere.yml", dir.path / "gone.yml");
    expectedRefusals += 3;
#endif
    const std::u16string folder = Utf16(dir.path.string());
    SigmaRuleSet* set = LoadSigmaRuleFolder(folder.c_str());
    REQUIRE(set != nullptr);
    CHECK(Utf8(SigmaRuleFolderError(set)).empty());
    REQUIRE(SigmaRuleCount(set) == 2);
    const std::string sep(1, static_cast<char>(kPathSeparator));
    std::string inPath = deep + "in.yml";
    std::replace(inPath.begin(), inPath.end(), '/', static_cast<char>(kPathSeparator));
    CHECK(Utf8(GetSigmaRule(set, 0)->file) == inPath);
    CHECK(Utf8(GetSigmaRule(set, 1)->file) == "good.yml");
    REQUIRE(SigmaRefusalCount(set) == static_cast<int32_t>(expectedRefusals));
    CHECK(SigmaFileCount(set) == static_cast<int32_t>(2 + expectedRefusals));
    std::map<std::string, std::pair<uint32_t, std::string>> refused;
    for (int32_t i = 0; i < SigmaRefusalCount(set); ++i) {
        const SigmaRefusal* r = GetSigmaRefusal(set, i);
        refused[Utf8(r->file)] = {r->reason, Utf8(r->detail)};
    }
    std::string deepPath = deep + "d32";
    std::replace(deepPath.begin(), deepPath.end(), '/', static_cast<char>(kPathSeparator));
    REQUIRE(refused.count(deepPath) == 1);
    CHECK(refused[deepPath].first == kSigmaRefusedLimits);
    CHECK(refused[deepPath].second == "a folder nested deeper than the 32 levels read; its files were not read");
#ifndef _WIN32
    CHECK(refused["bad\uFFFD"].first == kSigmaRefusedEncoding);
    CHECK(refused["bad\uFFFD"].second == "the folder's name is not valid text; its files were not read");
    CHECK(refused["bad\uFFFD.yml"].first == kSigmaRefusedEncoding);
    CHECK(refused["gone.yml"].first == kSigmaRefusedUnreadable);
#endif
    FreeSigmaRuleSet(set);
}

TEST_CASE("folders: past the bound of rule files or folders nothing is read, not even the first") {
    TempDir dir;
    for (int i = 0; i < 5; ++i)
        dir.Write("sub/r" + std::to_string(i) + ".yml", kContainsRule);
    dir.Write("a/b/c/notes.txt", "");
    const std::u16string folder = Utf16(dir.path.string());
    SigmaRuleSet* set = sigma::LoadFolder(folder.c_str(), 5, 4);
    REQUIRE(set != nullptr);
    CHECK(Utf8(SigmaRuleFolderError(set)).empty());
    CHECK(SigmaRuleCount(set) == 5);
    FreeSigmaRuleSet(set);
    set = sigma::LoadFolder(folder.c_str(), 4, 4);
    REQUIRE(set != nullptr);
    CHECK(Utf8(SigmaRuleFolderError(set)) == "It holds more than 4 rule files; no rule was read.");
    CHECK(SigmaFileCount(set) == 0);
    CHECK(SigmaRuleCount(set) == 0);
    CHECK(SigmaRefusalCount(set) == 0);
    FreeSigmaRuleSet(set);
    set = sigma::LoadFolder(folder.c_str(), 5, 3);
    REQUIRE(set != nullptr);
    CHECK(Utf8(SigmaRuleFolderError(set)) == "It holds more than 3 folders; no rule was read.");
    CHECK(SigmaFileCount(set) == 0);
    FreeSigmaRuleSet(set);
}

TEST_CASE("ListFolder reports each entry once with its kind, and stops when asked") {
    TempDir dir;
    dir.Write("one.txt", "1");
    dir.Write("two/three.txt", "3");
    std::error_code ec;
    fs::create_symlink(dir.path / "one.txt", dir.path / "link.txt", ec);
    const bool fileLink = !ec; // links may be refused (Windows without the privilege)
    fs::create_directory_symlink(dir.path / "two", dir.path / "twolink", ec);
    struct Seen {
        std::vector<std::pair<std::string, bool>> entries;
        size_t stopAfter = 100;
    } seen;
    auto visit = [](void* context, const FolderEntry& entry) {
        auto* s = static_cast<Seen*>(context);
        s->entries.emplace_back(Utf8(entry.name), entry.isFolder);
        CHECK(entry.nameIsText);
        return s->entries.size() < s->stopAfter;
    };
    const std::u16string folder = Utf16(dir.path.string());
    uint32_t error = 1;
    REQUIRE(ListFolder(folder.c_str(), visit, &seen, &error));
    CHECK(error == 0);
    std::sort(seen.entries.begin(), seen.entries.end());
    std::vector<std::pair<std::string, bool>> expected = {{"one.txt", false}, {"two", true}};
    if (fileLink) expected.insert(expected.begin(), {"link.txt", false});
    CHECK(seen.entries == expected);
    seen.entries.clear();
    seen.stopAfter = 1;
    CHECK(ListFolder(folder.c_str(), visit, &seen, &error));
    CHECK(seen.entries.size() == 1);
    const std::u16string missing = Utf16((dir.path / "nothing").string());
    CHECK_FALSE(ListFolder(missing.c_str(), visit, &seen, &error));
    CHECK(error != 0);
    CHECK_FALSE(ListFolder(nullptr, visit, &seen, &error));
}

TEST_CASE("an expression's literal start narrows the candidates and never loses a match") {
    SUBCASE("the text every match contains") {
        struct Case {
            const char16_t* pattern;
            bool caseless;
            const char16_t* required; // empty: none is sure
        };
        const Case cases[] = {
            {u"certutil\\.exe", false, u"certutil"},
            {u"(?i)CertUtil\\s+-urlcache", false, u"certutil"},
            {u"^Powershell", false, u"powershell"},
            // Caseless: k and s have forms outside ASCII, so they split the text.
            {u"(?i)^powershell", false, u"power"},
            {u"powershell", true, u"power"},
            {u"(?s)(?m)^abc", false, u"abc"},
            {u"abcd?e", false, u"abc"},
            {u"abcd*", false, u"abc"},
            {u"abcd{0,2}", false, u"abc"},
            {u"abcd+", false, u"abcd"},
            {u"foo(bar|baz)", false, u"foo"},
            {u"foo[|]bar", false, u"foo"},
            {u"xy", false, u"xy"},
            {u"x", false, u""},
            {u"foo|barbaz", false, u""},
            {u"a\\|b|c", false, u""},
            {u"foo[|]|bar", false, u""},
            {u"(foo|bar)baz", false, u""},
            {u"(?:)foobar", false, u""},
            {u"(?i-s)foobar", false, u""},
            {u"(?x)foo bar", false, u""},
            {u"foo(?#(x)|bar", false, u""},
            {u"\\Qfoo|bar\\E", false, u""},
            {u"foo[[:alpha:]]|bar", false, u""},
        };
        for (const Case& c : cases) {
            CAPTURE(Utf8(c.pattern));
            std::u16string out = u"stale";
            const bool found = sigma::RegexRequiredText(c.pattern, std::char_traits<char16_t>::length(c.pattern),
                                                 c.caseless, &out);
            CHECK(found == (c.required[0] != 0));
            CHECK(out == c.required);
        }
    }
    SUBCASE("each expression and the same one the index cannot read agree on every row") {
        const char* patterns[] = {
            "certutil\\.exe",   "(?i)CertUtil\\s+-urlcache", "^powershell",   "(?i)^powershell",
            "(?i)invoke-expression", "abcd?e",              "abcd*f",        "foo(bar|baz)",
            "foo|barbaz",       "(?i)decode123\\s+[a-z]{2,8}\\.(exe|dll)",   "x[yz]+\\d",
        };
        SigmaRuleSet* set = NewSigmaRuleSet();
        for (const char* pattern : patterns) {
            // "(?:)" in front changes no match, but leaves the index nothing to read.
            for (const std::string& p : {std::string(pattern), "(?:)" + std::string(pattern)}) {
                const std::string text = Rule("process_creation", "    sel:\n        CommandLine|re: '" + p +
                                                                      "'\n    condition: sel\n");
                REQUIRE(AddSigmaRuleText(set, text.data(), text.size(), u"re.yml"));
            }
        }
        const char16_t* lines[] = {
            u"certutil.exe -urlcache -split -f http://x/a", u"CERTUTIL.EXE", u"certutil exe",
            u"CertUtil   -URLCACHE", u"powershell -enc", u"POWERSHELL -enc", u"x powershell",
            u"INVO\u212AE-EXPRE\u017FSION", u"Invoke-Expression", u"abce", u"abe", u"abddde", u"abcf",
            u"abf", u"foobaz", u"foo", u"barbaz", u"DECODE123  abc.EXE", u"decode123 a.exe", u"xyz7",
            u"",
        };
        int fired = 0;
        for (const char16_t* line : lines) {
            CAPTURE(Utf8(line));
            View view;
            view.Set(kSigmaCommandLine, line);
            int32_t hits[64];
            const int32_t n = MatchSigmaRules(set, view.Build(1u << kSigmaProcessCreation), hits, 64);
            REQUIRE(n <= 64);
            bool hit[64] = {};
            for (int32_t i = 0; i < n; ++i)
                hit[hits[i]] = true;
            for (size_t r = 0; r < std::size(patterns); ++r) {
                CAPTURE(patterns[r]);
                CHECK(hit[2 * r] == hit[2 * r + 1]);
                fired += hit[2 * r] ? 1 : 0;
            }
        }
        CHECK(fired >= 12); // the rows meet most expressions, not none
        // The expressions with a sure text are no longer tried on every row.
        const std::vector<uint32_t>& always = set->categories[kSigmaProcessCreation].always;
        CHECK(std::find(always.begin(), always.end(), 0u) == always.end());
        CHECK(std::find(always.begin(), always.end(), 1u) != always.end());
        CHECK(std::find(always.begin(), always.end(), 16u) != always.end()); // foo|barbaz
        FreeSigmaRuleSet(set);
    }
}
