#include "doctest.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "facts/yara_rules.h"
#include "platform/memory.h"
#include "support/test_folder.h"

using namespace olv;
namespace fs = std::filesystem;

namespace {

struct Folder : TestFolder {
    Folder() : TestFolder("olv_yara_") {}
};

// A set owned by the test.
struct Rules {
    YaraRuleSet set{};
    bool loaded = false;
    explicit Rules(const std::string& text, const char16_t* name = u"test.yar") {
        loaded = LoadYaraRuleText(text.data(), text.size(), name, &set);
    }
    struct FromFolder {};
    Rules(FromFolder, const fs::path& folder,
          const YaraFolderBounds& bounds = kDefaultYaraFolderBounds) {
        loaded = LoadYaraRuleFolder(folder.u16string().c_str(), &set, bounds);
    }
    ~Rules() { FreeYaraRuleSet(&set); }
    Rules(const Rules&) = delete;
    Rules& operator=(const Rules&) = delete;
};

[[maybe_unused]] std::string FileName(const YaraRuleError& e) {
    std::string out;
    for (const char16_t* c = e.file; *c; ++c)
        out.push_back(static_cast<char>(*c));
    return out;
}

[[maybe_unused]] YaraScanResult ScanText(const YaraRuleSet& set, const std::string& bytes,
                                         YaraScanCache* cache = nullptr) {
    YaraScanResult result{};
    ScanWithYaraRules(&set, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), &result,
                      cache);
    return result;
}

[[maybe_unused]] const char kMarkerRule[] = R"(rule marker {
    strings:
        $text = "olvetta-marker" nocase
        $code = { 4D 5A ?? 00 [2-4] 50 45 }
    condition:
        $text or $code
}
)";

} // namespace

#if OLV_HAVE_LIBYARA

TEST_CASE("YARA rules: what matches, and what nearly does") {
    Rules rules(kMarkerRule);
    REQUIRE(rules.loaded);
    CHECK(rules.set.rulesLoaded == 1);
    CHECK(rules.set.errorCount == 0);

    struct Case {
        const char* what;
        std::string bytes;
        bool matches;
    };
    const Case cases[] = {
        {"the text", "...OLVETTA-Marker...", true},
        {"one letter off", "...olvetta-markr...", false},
        {"the hex string with a wildcard and a jump", std::string("MZ\x90\0\1\2\3PE", 9), true},
        {"the jump one byte too long", std::string("MZ\x90\0\1\2\3\4\5PE", 11), false},
        {"empty content", "", false},
    };
    for (const Case& c : cases) {
        CAPTURE(c.what);
        const YaraScanResult result = ScanText(rules.set, c.bytes);
        CHECK(result.status == YaraScanStatus::Scanned);
        CHECK(result.matchCount == (c.matches ? 1u : 0u));
        if (c.matches) {
            CHECK(std::string(result.matches[0].rule) == "marker");
            CHECK(std::string(result.matches[0].file) == "test.yar");
        }
    }

    // An empty file is scanned too: a rule may be about the size alone.
    Rules empty("rule nothing_inside { condition: filesize == 0 }");
    CHECK(ScanText(empty.set, "").matchCount == 1);
    CHECK(ScanText(empty.set, "x").matchCount == 0);
}

TEST_CASE("YARA rules: severity from the severity and threat_level metas") {
    struct Form {
        const char* meta;
        YaraSeverity severity;
        bool fromMeta;
    };
    const Form forms[] = {
        {"severity = \"low\"", YaraSeverity::Low, true},
        {"severity = \" HIGH \"", YaraSeverity::High, true},
        {"severity = \"Critical\"", YaraSeverity::Critical, true},
        {"severity = \"8\"", YaraSeverity::High, true},
        {"threat_level = 3", YaraSeverity::Low, true},
        {"threat_level = 4", YaraSeverity::Medium, true},
        {"threat_level = 10", YaraSeverity::Critical, true},
        {"threat_level = 11", YaraSeverity::Medium, false},
        {"threat_level = -1", YaraSeverity::Medium, false},
        {"severity = \"urgent\"", YaraSeverity::Medium, false},
        {"severity = true", YaraSeverity::Medium, false},
        {"author = \"someone\"", YaraSeverity::Medium, false},
        // severity wins whichever comes first; a value it cannot read leaves threat_level's
        {"threat_level = 9 severity = \"low\"", YaraSeverity::Low, true},
        {"severity = \"low\" threat_level = 9", YaraSeverity::Low, true},
        {"severity = \"none\" threat_level = 9", YaraSeverity::Critical, true},
    };
    // One rule a form, all in one set; matches come in rule order.
    std::string text;
    for (size_t i = 0; i < std::size(forms); ++i)
        text += "rule r" + std::to_string(i) + " { meta: " + forms[i].meta + " condition: true }\n";
    {
        Rules rules(text);
        REQUIRE(rules.loaded);
        const YaraScanResult result = ScanText(rules.set, "x");
        REQUIRE(result.matchCount == std::size(forms));
        for (size_t i = 0; i < std::size(forms); ++i) {
            CAPTURE(forms[i].meta);
            CHECK(std::string(result.matches[i].rule) == "r" + std::to_string(i));
            CHECK(result.matches[i].severity == forms[i].severity);
            CHECK(result.matches[i].severityFromMeta == forms[i].fromMeta);
        }
    }

    // The highest severity counts every match, kept or not.
    std::string many;
    for (uint32_t i = 0; i < kYaraMaxMatchesKept + 4; ++i)
        many += "rule r" + std::to_string(i) + " { condition: true }\n";
    many += "rule last { meta: severity = \"critical\" condition: true }\n";
    Rules rules(many);
    const YaraScanResult result = ScanText(rules.set, "x");
    CHECK(result.matchCount == kYaraMaxMatchesKept + 5);
    CHECK(result.highest == YaraSeverity::Critical);
    CHECK(result.matches[kYaraMaxMatchesKept - 1].severity == YaraSeverity::Medium);
}

TEST_CASE("YARA rules: errors name the file, the line and libyara's message") {
    SUBCASE("a syntax error") {
        Rules rules("rule good { condition: true }\n\nrule bad { condition: nosuchthing }\n");
        CHECK(rules.set.rulesLoaded == 0); // a bad file is left out whole
        REQUIRE(rules.set.errorsListed == 1);
        const YaraRuleError& e = rules.set.errors[0];
        CHECK(e.kind == YaraRuleErrorKind::Syntax);
        CHECK(e.line == 3);
        CHECK(std::strstr(e.message, "nosuchthing") != nullptr);
        CHECK(FileName(e) == "test.yar");
    }
    SUBCASE("a NUL byte") {
        Rules rules(std::string("rule a { condition: true }\0rule b", 33));
        REQUIRE(rules.set.errorsListed == 1);
        CHECK(rules.set.errors[0].kind == YaraRuleErrorKind::NotText);
        CHECK(std::strstr(rules.set.errors[0].message, "offset 26") != nullptr);
    }
    SUBCASE("binary garbage") {
        std::string garbage;
        for (int i = 1; i < 4096; ++i)
            garbage.push_back(static_cast<char>((i * 131) % 255 + 1));
        Rules rules(garbage);
        CHECK(rules.set.rulesLoaded == 0);
        CHECK(rules.set.errorCount >= 1);
    }
    SUBCASE("deep nesting and a huge string are refused or bounded, never a crash") {
        const std::string deep = "rule deep { condition: " + std::string(100000, '(') + "true" +
                                 std::string(100000, ')') + " }";
        Rules nested(deep);
        CHECK(nested.set.rulesLoaded == 0);
        CHECK(nested.set.errorCount == 1);
        const std::string huge =
            "rule huge { strings: $a = \"" + std::string(500000, 'A') + "\" condition: $a }";
        Rules big(huge);
        CHECK((big.set.rulesLoaded == 1) != (big.set.errorCount > 0));
    }
    SUBCASE("over the size a rule file may have") {
        std::string text = "rule big { condition: true }\n";
        text += "//" + std::string(kYaraMaxRuleFileBytes, 'x') + "\n";
        Rules rules(text);
        REQUIRE(rules.set.errorsListed == 1);
        CHECK(rules.set.errors[0].kind == YaraRuleErrorKind::TooLarge);
    }
}

TEST_CASE("YARA rules: a folder of good and bad files") {
    Folder folder;
    Folder outside;
    const fs::path secret = outside.Write("secret.yar", "rule from_outside { condition: true }\n");
    folder.Write("a.yar", "rule shared_name { strings: $a = \"alpha\" condition: $a }\n");
    folder.Write("sub/b.YARA", "rule shared_name { strings: $b = \"beta\" condition: $b }\n"
                               "rule beta_only { meta: severity = \"high\" strings: $b = \"beta\" "
                               "condition: $b }\n");
    folder.Write("sub/c.yar", "rule c {\n  condition:\n    alpha and\n}\n");
    folder.Write("d.yar",
                 "include \"" + secret.generic_string() + "\"\nrule d { condition: true }\n");
    folder.Write("empty.yar", "\xEF\xBB\xBF");
    folder.Write("notes.txt", "rule not_a_rule_file { condition: true }\n");
    fs::path deep = "x";
    for (uint32_t i = 0; i < kYaraMaxFolderDepth; ++i)
        deep /= "x";
    folder.Write((deep / "deep.yar").string(), "rule too_deep { condition: true }\n");

    Rules rules(Rules::FromFolder{}, folder.dir);
    REQUIRE(rules.loaded);
    CHECK(rules.set.folderError[0] == '\0');
    CHECK(rules.set.files == 5);
    CHECK(rules.set.filesLoaded == 3); // a.yar, b.YARA, empty.yar (a byte order mark alone)
    CHECK(rules.set.rulesLoaded == 3);
    REQUIRE(rules.set.errorsListed == 3);
    // Sorted by path: d.yar, sub/c.yar, then the folder nested too deep.
    CHECK(FileName(rules.set.errors[0]) == "d.yar");
    CHECK(rules.set.errors[0].kind == YaraRuleErrorKind::Include);
    CHECK(rules.set.errors[0].line == 1);
    CHECK(FileName(rules.set.errors[1]).find("c.yar") != std::string::npos);
    CHECK(rules.set.errors[1].kind == YaraRuleErrorKind::Syntax);
    CHECK(rules.set.errors[1].line == 3);
    CHECK(std::strstr(rules.set.errors[1].message, "alpha") != nullptr);
    CHECK(rules.set.errors[2].kind == YaraRuleErrorKind::TooDeep);

    // The include was never followed: the rule outside matches nothing.
    const YaraScanResult result = ScanText(rules.set, "alpha beta");
    CHECK(result.matchCount == 3);
    for (uint32_t i = 0; i < result.matchCount; ++i)
        CHECK(std::string(result.matches[i].rule) != "from_outside");
    CHECK(result.highest == YaraSeverity::High);

    Folder none;
    Rules empty(Rules::FromFolder{}, none.dir);
    CHECK(empty.loaded);
    CHECK(empty.set.files == 0);
    CHECK(ScanText(empty.set, "x").status == YaraScanStatus::NoRules);

    Rules missing(Rules::FromFolder{}, folder.dir / "no such folder");
    CHECK_FALSE(missing.loaded);
    CHECK(std::string(missing.set.folderError) == "The folder cannot be found.");
}

TEST_CASE("YARA rules: a match names a rule file of a long path by whole characters") {
    Folder folder;
    std::string deep, name;
    for (int i = 0; i < 100; ++i)
        deep += "\xC3\xA9"; // e with an acute accent: two bytes
    name = "x";             // so that the 259th byte is the first of a character
    for (int i = 0; i < 40; ++i)
        name += "\xC3\xA9";
    folder.Write(deep + "/" + name + ".yar", "rule far { condition: true }");
    Rules rules(Rules::FromFolder{}, folder.dir);
    REQUIRE(rules.set.rulesLoaded == 1);
    const YaraScanResult result = ScanText(rules.set, "x");
    REQUIRE(result.matchCount == 1);
    const std::string file = result.matches[0].file;
    CHECK(file.size() == 258); // 259 would split a character
    CHECK(file.compare(0, 200, deep) == 0);
}

TEST_CASE("YARA rules: the bounds of a folder load") {
    Folder folder;
    folder.Write("a.yar", "rule a { condition: true }\n");
    folder.Write("b.yar", "rule b { condition: true }\n// padding to pass the bound\n");
    folder.Write("one/c.yar", "rule c { condition: true }\n");
    folder.Write("two/d.yar", "rule d { condition: true }\n");
    YaraFolderBounds bounds = kDefaultYaraFolderBounds;

    SUBCASE("more files than read: none is read") {
        bounds.maxFiles = 3;
        Rules rules(Rules::FromFolder{}, folder.dir, bounds);
        CHECK_FALSE(rules.loaded);
        CHECK(rules.set.rulesLoaded == 0);
        CHECK(std::string(rules.set.folderError) ==
              "It holds more than 3 rule files; no rule was read.");
    }
    SUBCASE("more folders than read: none is read") {
        bounds.maxFolders = 1;
        Rules rules(Rules::FromFolder{}, folder.dir, bounds);
        CHECK_FALSE(rules.loaded);
        CHECK(std::string(rules.set.folderError) ==
              "It holds more than 1 folders; no rule was read.");
    }
    SUBCASE("a file over its size, and the files past the bytes of all") {
        bounds.maxFileBytes = 40;
        bounds.maxTotalBytes = 60;
        Rules rules(Rules::FromFolder{}, folder.dir, bounds);
        CHECK(rules.loaded);
        CHECK(rules.set.rulesLoaded == 2); // a.yar, then one/c.yar; two/d.yar passes the 60
        REQUIRE(rules.set.errorsListed == 2);
        CHECK(FileName(rules.set.errors[0]) == "b.yar");
        CHECK(rules.set.errors[0].kind == YaraRuleErrorKind::TooLarge);
        CHECK(rules.set.errors[1].kind == YaraRuleErrorKind::TooLarge);
        CHECK(FileName(rules.set.errors[1]).find("d.yar") != std::string::npos);
    }
    SUBCASE("no memory for the error list: said, nothing loaded") {
        RefuseNthAllocation(1);
        Rules rules(Rules::FromFolder{}, folder.dir, bounds);
        RefuseNthAllocation(0);
        CHECK_FALSE(rules.loaded);
        CHECK(rules.set.rules == nullptr);
        CHECK(std::string(rules.set.folderError) ==
              "There was not enough memory to load the rules.");
    }
    SUBCASE("errors past those listed are counted") {
        for (int i = 0; i < 5; ++i)
            folder.Write("bad/" + std::to_string(i) + ".yar", "rule {");
        bounds.maxListedErrors = 3;
        Rules rules(Rules::FromFolder{}, folder.dir, bounds);
        CHECK(rules.loaded);
        CHECK(rules.set.rulesLoaded == 4);
        CHECK(rules.set.errorsListed == 3);
        CHECK(rules.set.errorCount == 5);
        CHECK(FileName(rules.set.errors[2]).find("2.yar") != std::string::npos);
    }
}

TEST_CASE("YARA scans of files: limits and outcomes") {
    Folder folder;
    Rules rules(kMarkerRule);
    const fs::path hit = folder.Write("hit.bin", std::string(5000, '\0') + "olvetta-marker");
    const std::string hitPath = hit.string();
    YaraScanResult result{};

    CHECK(ScanFileWithYaraRules(&rules.set, hit.u16string().c_str(), &result));
    CHECK(result.matchCount == 1);
    CHECK(result.size == 5014);

    CHECK_FALSE(ScanFileWithYaraRules(&rules.set, hit.u16string().c_str(), &result, nullptr, 5013));
    CHECK(result.status == YaraScanStatus::TooLarge);
    CHECK(result.size == 5014);
    CHECK(ScanFileWithYaraRules(&rules.set, hit.u16string().c_str(), &result, nullptr, 5014));

    RefuseAllocationsAbove(4096);
    CHECK_FALSE(ScanFileWithYaraRules(&rules.set, hit.u16string().c_str(), &result));
    RefuseAllocationsAbove(0);
    CHECK(result.status == YaraScanStatus::NoMemory);
    CHECK(result.size == 5014);

    const fs::path gone = folder.dir / "deleted.bin";
    CHECK_FALSE(ScanFileWithYaraRules(&rules.set, gone.u16string().c_str(), &result));
    CHECK(result.status == YaraScanStatus::CannotOpen);
    CHECK(result.systemError != 0);

    const fs::path empty = folder.Write("empty.bin", "");
    CHECK(ScanFileWithYaraRules(&rules.set, empty.u16string().c_str(), &result));
    CHECK(result.matchCount == 0);

    // Binary garbage that starts as a PE file would, read by the pe module's rules.
    Rules pe("import \"pe\"\nrule sections { condition: pe.is_pe and pe.number_of_sections > 0 }\n"
             "rule header { condition: uint16(0) == 0x5A4D }");
    REQUIRE(pe.loaded);
    std::string garbage = "MZ";
    uint32_t state = 7;
    while (garbage.size() < 65536) {
        state = state * 1103515245u + 12345u;
        garbage.push_back(static_cast<char>(state >> 24));
    }
    garbage.replace(0x3C, 4, std::string("\x80\0\0\0", 4)); // a header offset inside the file
    garbage.replace(0x80, 4, std::string("PE\0\0", 4));
    const fs::path junk = folder.Write("junk.exe", garbage);
    CHECK(ScanFileWithYaraRules(&pe.set, junk.u16string().c_str(), &result));
    CHECK(result.matchCount >= 1);
    CHECK(std::string(result.matches[0].rule) == (result.matchCount == 2 ? "sections" : "header"));

    // A rule whose condition never ends within the time given.
    // Every offset inside the file: uint8(filesize) is undefined, which ends a "for all" at once
    // in some libyara versions.
    Rules slow("rule slow { condition: for all i in (0..filesize - 1) : "
               "(for all j in (0..filesize - 1) : (uint8(i) != uint8(j) + 300)) }");
    REQUIRE(slow.loaded);
    const fs::path big = folder.Write("big.bin", std::string(1 << 16, 'z'));
    YaraScanCache cache{};
    REQUIRE(InitYaraScanCache(&cache));
    CHECK_FALSE(ScanFileWithYaraRules(&slow.set, big.u16string().c_str(), &result, &cache,
                                      kDefaultYaraScanSizeLimit, 1));
    CHECK(result.status == YaraScanStatus::TimedOut);
    CHECK(result.matchCount == 0);
    // Not kept: another try may have more time.
    CHECK(cache.scans == 1);
    CHECK(cache.entries.count == 0);
    ReleaseYaraScanCache(&cache);
}

TEST_CASE("YARA scan cache: one scan per content and rule set") {
    Rules rules(kMarkerRule);
    Rules other(kMarkerRule);
    YaraScanCache cache{};
    REQUIRE(InitYaraScanCache(&cache, 2));

    CHECK_FALSE(ScanText(rules.set, "a olvetta-marker", &cache).fromCache);
    const YaraScanResult again = ScanText(rules.set, "a olvetta-marker", &cache);
    CHECK(again.fromCache);
    CHECK(again.matchCount == 1);
    CHECK(cache.hits == 1);
    CHECK(cache.scans == 1);

    // Other rules, other content: scanned.
    CHECK_FALSE(ScanText(other.set, "a olvetta-marker", &cache).fromCache);
    CHECK_FALSE(ScanText(rules.set, "b olvetta-marker", &cache).fromCache);
    CHECK(cache.scans == 3);
    // Two entries: the one used longest ago (the first content with the first rules, last used
    // by its hit) made room.
    CHECK(ScanText(other.set, "a olvetta-marker", &cache).fromCache);
    CHECK_FALSE(ScanText(rules.set, "a olvetta-marker", &cache).fromCache);
    CHECK(cache.hits == 2);

    // Empty content has no digest: scanned every time, counted.
    ScanText(rules.set, "", &cache);
    ScanText(rules.set, "", &cache);
    CHECK(cache.undigested == 2);

    // A digest the caller has already (an image's facts) finds the result without a read: the
    // digest taken of "abc" above is SHA-256's own test vector, so the file is never opened for
    // its bytes (its content here is other, as the caller vouched for the digest).
    ScanText(rules.set, "abc", &cache);
    Folder folder;
    const fs::path file = folder.Write("image.dll", "olvetta-marker, not abc");
    YaraScanResult known{};
    const char* abc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    CHECK(ScanFileWithYaraRules(&rules.set, file.u16string().c_str(), &known, &cache,
                                kDefaultYaraScanSizeLimit, 1, abc));
    CHECK(known.fromCache);
    CHECK(known.matchCount == 0);
    CHECK(known.size == 23);
    // A digest that is not one is taken from the bytes instead.
    CHECK(ScanFileWithYaraRules(&rules.set, file.u16string().c_str(), &known, &cache,
                                kDefaultYaraScanSizeLimit, 1, "abc"));
    CHECK_FALSE(known.fromCache);
    CHECK(known.matchCount == 1);
    CHECK(cache.hits == 3);
    CHECK(cache.scans == 6);

    // Several workers at once on one set and one cache.
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t)
        workers.emplace_back([&] {
            for (int i = 0; i < 50; ++i)
                CHECK(ScanText(rules.set, "olvetta-marker " + std::to_string(i % 3), &cache)
                          .matchCount == 1);
        });
    for (std::thread& w : workers)
        w.join();
    CHECK(cache.hits + cache.scans == 3 + 6 + 200);
    ReleaseYaraScanCache(&cache);
}

#else

TEST_CASE("YARA rules: a build without libyara says so") {
    Rules rules("rule r { condition: true }");
    CHECK_FALSE(rules.loaded);
    CHECK(std::string(rules.set.folderError) == "This build has no YARA support.");
    YaraScanResult result{};
    CHECK_FALSE(ScanWithYaraRules(&rules.set, nullptr, 0, &result));
    CHECK(result.status == YaraScanStatus::NoRules);
}

#endif
