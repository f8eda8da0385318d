// The rule corpus under tests/sigma/rules: every loadable rule fires on the rows its x-cases
// list under `match` and stays quiet on the near misses under `miss`, alone and among all the
// others (so the candidate index loses nothing); every refused file is refused for the reason
// its name starts with (`<reason>__...`), with the detail its first line names; and the folder
// read as a whole gives the same figures in a sorted order.
#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include <yaml-cpp/yaml.h>

#include "doctest.h"
#include "platform/files.h"
#include "sigma/sigma.h"
#include "sigma_test_support.h"

using namespace olv;
using namespace sigma_test;
namespace fs = std::filesystem;

namespace {

// A field given as null (`~`) is one the row could not learn: unknown to the rule.
struct Case {
    std::map<uint32_t, std::u16string> fields;
    SigmaFieldMask unknown = 0;
    bool match;
};

struct CorpusRule {
    fs::path path;
    std::string text;
    uint32_t category;
    std::vector<Case> cases;
};

uint32_t CategoryNamed(const std::string& name) {
    for (uint32_t c = 0; c < kSigmaCategoryCount; ++c) {
        if (name == SigmaCategoryName(c)) return c;
    }
    return kSigmaCategoryCount;
}

std::vector<CorpusRule> LoadCorpus() {
    std::vector<CorpusRule> rules;
    for (const fs::path& path : RuleFiles(CorpusDir() / "load")) {
        CorpusRule rule;
        rule.path = path;
        rule.text = ReadBytes(path);
        const YAML::Node doc = YAML::Load(rule.text);
        // A log source named by its service stands for that service's category.
        const YAML::Node source = doc["logsource"];
        rule.category = CategoryNamed(source["service"] ? source["service"].as<std::string>()
                                                        : source["category"].as<std::string>());
        for (const char* kind : {"match", "miss"}) {
            for (const YAML::Node& c : doc["x-cases"][kind]) {
                Case one;
                one.match = std::string(kind) == "match";
                for (auto it = c.begin(); it != c.end(); ++it) {
                    const uint32_t field = FieldNamed(it->first.as<std::string>());
                    REQUIRE_MESSAGE(field < kSigmaFieldCount, path.string());
                    if (it->second.IsNull()) {
                        one.unknown |= SigmaFieldBit(field);
                        continue;
                    }
                    one.fields[field] = Utf16(it->second.as<std::string>());
                }
                rule.cases.push_back(one);
            }
        }
        rules.push_back(rule);
    }
    return rules;
}

uint32_t CategoriesOfRow(uint32_t category) {
    // A registry row of one kind is also a registry_event row, as the view makes it.
    uint32_t bits = 1u << category;
    if (category == kSigmaRegistryAdd || category == kSigmaRegistryDelete || category == kSigmaRegistrySet)
        bits |= 1u << kSigmaRegistryEvent;
    return bits;
}

void Fill(View* view, const Case& c) {
    for (const auto& [field, text] : c.fields)
        view->Set(field, text);
    view->view.unknown = c.unknown;
}

std::string ReasonOfName(const fs::path& path) {
    const std::string stem = path.stem().string();
    return stem.substr(0, stem.find("__"));
}

std::string ExpectedDetail(const std::string& text) {
    const std::string mark = "# detail: ";
    if (text.compare(0, mark.size(), mark) != 0) return {};
    return text.substr(mark.size(), text.find('\n') - mark.size());
}

} // namespace

TEST_CASE("every corpus rule fires on its matches and stays quiet on its near misses") {
    const std::vector<CorpusRule> corpus = LoadCorpus();
    REQUIRE(corpus.size() >= 50);
    for (const CorpusRule& rule : corpus) {
        CAPTURE(rule.path.filename().string());
        OneRule one(rule.text);
        if (!one.loaded) FAIL_CHECK("refused: " << Utf8(one.Refusal()->detail));
        if (!one.loaded) continue;
        size_t matches = 0, misses = 0;
        for (size_t i = 0; i < rule.cases.size(); ++i) {
            const Case& c = rule.cases[i];
            CAPTURE(i);
            CAPTURE(c.match);
            View view;
            Fill(&view, c);
            CHECK(one.Matches(view, CategoriesOfRow(rule.category)) == c.match);
            (c.match ? matches : misses) += 1;
        }
        CHECK(matches > 0); // every rule shows a row it fires on and a near miss
        CHECK(misses > 0);
        // A row of another category never reaches the rule.
        if (!rule.cases.empty() && rule.cases[0].match) {
            View view;
            Fill(&view, rule.cases[0]);
            const uint32_t other = rule.category == kSigmaDnsQuery ? kSigmaImageLoad : kSigmaDnsQuery;
            CHECK_FALSE(one.Matches(view, 1u << other));
        }
    }
}

TEST_CASE("all corpus rules in one set give each row exactly the rules that fire on it alone") {
    const std::vector<CorpusRule> corpus = LoadCorpus();
    SigmaRuleSet* set = NewSigmaRuleSet();
    REQUIRE(set != nullptr);
    std::vector<OneRule*> alone;
    for (const CorpusRule& rule : corpus) {
        REQUIRE(AddSigmaRuleText(set, rule.text.data(), rule.text.size(), u"x.yml"));
        alone.push_back(new OneRule(rule.text));
    }
    REQUIRE(SigmaRuleCount(set) == static_cast<int32_t>(corpus.size()));
    // Every case row against every rule: the set's answer is the union of the single answers.
    for (const CorpusRule& rule : corpus) {
        for (const Case& c : rule.cases) {
            View view;
            Fill(&view, c);
            const SigmaEventView* v = view.Build(CategoriesOfRow(rule.category));
            std::vector<int32_t> expected;
            for (size_t r = 0; r < alone.size(); ++r) {
                int32_t hit[2];
                if (MatchSigmaRules(alone[r]->set, v, hit, 2) == 1) expected.push_back(static_cast<int32_t>(r));
            }
            int32_t got[128];
            const int32_t count = MatchSigmaRules(set, v, got, 128);
            CAPTURE(rule.path.filename().string());
            REQUIRE(count <= 128);
            CHECK(std::vector<int32_t>(got, got + count) == expected);
        }
    }
    for (OneRule* one : alone)
        delete one;
    FreeSigmaRuleSet(set);
}

TEST_CASE("every refused file is refused for the reason its name gives") {
    const std::vector<fs::path> files = RuleFiles(CorpusDir() / "refused");
    REQUIRE(files.size() >= 30);
    std::map<std::string, int> reasonsSeen;
    for (const fs::path& path : files) {
        CAPTURE(path.filename().string());
        const std::string text = ReadBytes(path);
        OneRule one(text, u"refused.yml");
        REQUIRE_FALSE(one.loaded);
        REQUIRE(SigmaRefusalCount(one.set) == 1);
        CHECK(SigmaRuleCount(one.set) == 0);
        CHECK(SigmaFileCount(one.set) == 1);
        const SigmaRefusal* refusal = one.Refusal();
        const std::string detail = Utf8(refusal->detail);
        CAPTURE(detail);
        CHECK(std::string(SigmaRefusalReasonName(refusal->reason)) == ReasonOfName(path));
        CHECK(SigmaRefusalsByReason(one.set, refusal->reason) == 1);
        CHECK(!detail.empty());
        const std::string expected = ExpectedDetail(text);
        if (!expected.empty()) CHECK(detail.find(expected) != std::string::npos);
        ++reasonsSeen[ReasonOfName(path)];
    }
    // Every reason a rule's text can earn is in the corpus (too-large and unreadable come from
    // the file, not its text, and are tested beside).
    for (uint32_t r = 0; r < kSigmaRefusalReasonCount; ++r) {
        const std::string name = SigmaRefusalReasonName(r);
        if (name == "too-large" || name == "unreadable") continue;
        CHECK_MESSAGE(reasonsSeen[name] > 0, name);
    }
}

TEST_CASE("the corpus folder loads in sorted order with the figures of its files") {
    const fs::path dir = CorpusDir();
    const std::u16string folder = Utf16(dir.string());
    SigmaRuleSet* set = LoadSigmaRuleFolder(folder.c_str());
    REQUIRE(set != nullptr);
    CHECK(Utf8(SigmaRuleFolderError(set)).empty());
    CHECK(Utf8(SigmaRuleFolder(set)) == dir.string());

    const size_t loadable = RuleFiles(dir / "load").size();
    const std::vector<fs::path> refused = RuleFiles(dir / "refused");
    CHECK(SigmaRuleCount(set) == static_cast<int32_t>(loadable));
    CHECK(SigmaRefusalCount(set) == static_cast<int32_t>(refused.size()));
    CHECK(SigmaFileCount(set) == static_cast<int32_t>(loadable + refused.size()));
    std::map<std::string, int> byName;
    for (const fs::path& path : refused)
        ++byName[ReasonOfName(path)];
    std::string figures;
    for (uint32_t r = 0; r < kSigmaRefusalReasonCount; ++r) {
        CHECK(SigmaRefusalsByReason(set, r) == byName[SigmaRefusalReasonName(r)]);
        if (SigmaRefusalsByReason(set, r) != 0)
            figures += std::string(" ") + SigmaRefusalReasonName(r) + "=" + std::to_string(SigmaRefusalsByReason(set, r));
    }
    MESSAGE("corpus: " << SigmaFileCount(set) << " files, " << SigmaRuleCount(set) << " loaded, "
                       << SigmaRefusalCount(set) << " refused:" << figures);

    // Relative paths, sorted ignoring case, sub-folders included.
    std::vector<std::string> names;
    for (int32_t i = 0; i < SigmaRuleCount(set); ++i)
        names.push_back(Utf8(GetSigmaRule(set, i)->file));
    auto lower = [](std::string s) {
        std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        return s;
    };
    for (size_t i = 1; i < names.size(); ++i)
        CHECK(lower(names[i - 1]) < lower(names[i]));
    const std::string sep(1, static_cast<char>(kPathSeparator));
    CHECK(std::find(names.begin(), names.end(), "load" + sep + "nested" + sep + "deeper" + sep +
                                                    "category_registry_set.yml") != names.end());
    CHECK(std::find(names.begin(), names.end(), "load" + sep + "mod_contains.yml") != names.end());
    for (int32_t i = 1; i < SigmaRefusalCount(set); ++i)
        CHECK(lower(Utf8(GetSigmaRefusal(set, i - 1)->file)) < lower(Utf8(GetSigmaRefusal(set, i)->file)));
    FreeSigmaRuleSet(set);
}

TEST_CASE("the fuzzer's seeds: one named refused_<reason>__ is refused for that reason; one "
          "that is not hostile loads whole") {
    const fs::path dir = fs::path(OLV_SOURCE_DIR) / "tests" / "corpus" / "sigma_rules";
    const std::vector<fs::path> files = RuleFiles(dir);
    REQUIRE(files.size() >= 90);
    const std::string refusedMark = "refused_";
    int refused = 0;
    int whole = 0;
    for (const fs::path& path : files) {
        const std::string name = path.stem().string();
        CAPTURE(name);
        const std::string text = ReadBytes(path);
        OneRule one(text, u"seed.yml");
        if (name.compare(0, refusedMark.size(), refusedMark) == 0) {
            ++refused;
            if (one.loaded) {
                FAIL_CHECK("loads: its name no longer says what it shows");
                continue;
            }
            CHECK(std::string(SigmaRefusalReasonName(one.Refusal()->reason)) ==
                  ReasonOfName(path).substr(refusedMark.size()));
            const std::string expected = ExpectedDetail(text);
            if (!expected.empty()) CHECK(Utf8(one.Refusal()->detail).find(expected) != std::string::npos);
            continue;
        }
        // Hostile and hanging inputs are there for the loader's bounds: loaded or refused.
        if (name.compare(0, 8, "hostile_") == 0 || name.compare(0, 5, "hang_") == 0) continue;
        if (!one.loaded) {
            FAIL_CHECK("refused: " << Utf8(one.Refusal()->detail));
            continue;
        }
        CHECK(Utf8(GetSigmaRule(one.set, 0)->partial).empty());
        ++whole;
    }
    MESSAGE("seeds: " << files.size() << " files, " << refused << " named refused, " << whole
                      << " others loading whole");
}
