// Reading one rule file: checks of size and encoding, the YAML reader behind one boundary that
// catches everything it throws, the decision to load or refuse (one reason per file), and the
// compilation of what loads into tests the matcher runs.
#define PCRE2_CODE_UNIT_WIDTH 16
#include <pcre2.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <vector>


#include "base/text.h"
#include "sigma/sigma_engine.h"
#include "sigma/sigma_load_yaml.h"
#include "sigma/sigma_match_text.h"

namespace olv {

namespace sigma {

Regex::~Regex() {
    if (matchData != nullptr) pcre2_match_data_free_16(static_cast<pcre2_match_data_16*>(matchData));
    if (code != nullptr) pcre2_code_free_16(static_cast<pcre2_code_16*>(code));
}

namespace {

struct Mods {
    bool modeSet = false;
    Mode mode = Mode::kEquals;
    bool all = false, cased = false, windash = false, neq = false;
    bool re = false, reI = false, reM = false, reS = false;
    bool cidr = false, exists = false, fieldref = false, compare = false;
    Compare cmp = Compare::kLt;
    int encoding = 0; // 0 UTF-8, 1 UTF-16LE, 2 UTF-16BE, 3 UTF-16 with byte order mark
    int base64 = 0;   // 0 none, 1 base64, 2 base64offset
    int kinds = 0;    // how many of re, cidr, exists, fieldref, compare, base64 were given
};

// A condition node and the child index its parent holds for it.
constexpr uint64_t kConditionNodeBytes = sizeof(CondNode) + sizeof(uint32_t);

class Compiler {
public:
    explicit Compiler(SigmaRuleSet* set) : set_(set) {}

    bool refused = false;
    uint32_t reason = kSigmaRefusedUnsupported;
    std::string detail;
    std::string titleRead; // the rule's title once read, also for a rule refused after it
    LoadTotals counted; // what the rule has expanded to so far

    bool Compile(const std::string& text, SigmaRuleInfo* info, Rule* rule);

private:
    SigmaRuleSet* set_;
    uint32_t nodes_ = 0;
    uint32_t category_ = 0;
    Rule* rule_ = nullptr;
    std::vector<YamlDocument> documents_;
    std::vector<std::string> never_; // fields named that the category never records, in order
    const YamlNode* neverAt_ = nullptr; // where the first is named

    void NoteNever(const std::string& name, const YamlNode* at) {
        if (neverAt_ == nullptr) neverAt_ = at;
        if (std::find(never_.begin(), never_.end(), name) == never_.end()) never_.push_back(name);
    }
    bool CanHold() const;

    bool Refuse(uint32_t why, const YamlNode* at, const std::string& what) {
        if (refused) return false;
        refused = true;
        reason = why;
        detail.clear();
        if (at != nullptr && at->line > 0) detail = "line " + std::to_string(at->line) + ": ";
        detail += what;
        return false;
    }
    bool Visit(const YamlNode& node) {
        if (++nodes_ > kMaxNodesVisited)
            return Refuse(kSigmaRefusedLimits, &node,
                          "more than " + std::to_string(kMaxNodesVisited) + " YAML nodes");
        return true;
    }
    // Counts what was just compiled against the bounds of one file and of the set.
    bool Charge(const YamlNode* at, uint64_t values, uint64_t bytes, uint64_t regexes, uint64_t regexBytes) {
        counted.values += values;
        counted.bytes += bytes;
        counted.regexes += regexes;
        counted.regexBytes += regexBytes;
        const LoadTotals& file = set_->bounds.file;
        const LoadTotals& all = set_->bounds.set;
        const LoadTotals& before = set_->totals;
        const char* const kAliases = " (aliases count each time they are reached)";
        if (counted.values > file.values)
            return Refuse(kSigmaRefusedLimits, at, "the rule expands to more than " + std::to_string(file.values) + " values" + kAliases);
        if (counted.bytes > file.bytes)
            return Refuse(kSigmaRefusedLimits, at, "the rule expands to more than " + Amount(file.bytes) + " of compiled tests" + kAliases);
        if (counted.regexes > file.regexes)
            return Refuse(kSigmaRefusedLimits, at, "the rule expands to more than " + std::to_string(file.regexes) + " regular expressions" + kAliases);
        if (counted.regexBytes > file.regexBytes)
            return Refuse(kSigmaRefusedLimits, at, "the rule's regular expressions take more than " + Amount(file.regexBytes) + " compiled");
        const char* const kBefore = "with the rules loaded before it, ";
        if (before.values + counted.values > all.values)
            return Refuse(kSigmaRefusedLimits, at, kBefore + std::string("the rule makes more than ") + std::to_string(all.values) + " values");
        if (before.bytes + counted.bytes > all.bytes)
            return Refuse(kSigmaRefusedLimits, at, kBefore + std::string("the rule makes more than ") + Amount(all.bytes) + " of compiled tests");
        if (before.regexes + counted.regexes > all.regexes)
            return Refuse(kSigmaRefusedLimits, at, kBefore + std::string("the rule makes more than ") + std::to_string(all.regexes) + " regular expressions");
        if (before.regexBytes + counted.regexBytes > all.regexBytes)
            return Refuse(kSigmaRefusedLimits, at, kBefore + std::string("the rule makes more than ") + Amount(all.regexBytes) + " of compiled regular expressions");
        return true;
    }
    // The condition nodes the rule may still make within the bytes bounds.
    uint64_t ConditionNodesLeft() const {
        const uint64_t fileLeft = set_->bounds.file.bytes - std::min(set_->bounds.file.bytes, counted.bytes);
        const uint64_t used = set_->totals.bytes + counted.bytes;
        const uint64_t setLeft = set_->bounds.set.bytes - std::min(set_->bounds.set.bytes, used);
        return std::min(fileLeft, setLeft) / kConditionNodeBytes;
    }
    static std::string Amount(uint64_t bytes) {
        if (bytes % (1u << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
        return std::to_string(bytes) + " bytes";
    }
    bool CheckList(const YamlNode& node) {
        if (node.size() > kMaxListItems)
            return Refuse(kSigmaRefusedLimits, &node,
                          "a list of more than " + std::to_string(kMaxListItems) + " items");
        return true;
    }

    bool CompileSearch(const std::string& name, const YamlNode& node, Search* search);
    bool CompileMap(const YamlNode& node, std::vector<FieldTest>* tests);
    bool CompileFieldTest(const std::string& key, const YamlNode& keyNode,
                          const YamlNode& value, FieldTest* test);
    bool ParseMods(const std::string& key, const YamlNode& keyNode, size_t from, Mods* mods);
    bool AddValue(const Mods& mods, const YamlNode& item, uint32_t group, FieldTest* test);
    bool CompileCondition(const YamlNode& node);
};

// What one compiled value holds.
uint64_t ValueBytes(const ValueTest& v) {
    return sizeof(ValueTest) + v.literal.capacity() * sizeof(char16_t) + v.next.capacity() * sizeof(uint32_t) +
           v.glob.capacity() * sizeof(Elem);
}

// The match data of one pair of offsets, as counted (PCRE2 adds a small header).
constexpr uint64_t kMatchDataBytes = 128;

const std::string& Scalar(const YamlNode& node) {
    return node.value;
}

bool ParseLevel(const std::string& text, uint32_t* level) {
    static const char* const kNames[] = {"informational", "low", "medium", "high", "critical"};
    for (uint32_t i = 0; i < 5; ++i) {
        if (EqualsAsciiFolded(text, kNames[i])) {
            *level = i;
            return true;
        }
    }
    return false;
}

bool Compiler::Compile(const std::string& text, SigmaRuleInfo* info, Rule* rule) {
    rule_ = rule;
    YamlError error;
    if (!ReadYaml(text, &documents_, 2, &error)) {
        const uint32_t why = error.kind == YamlError::kLimits        ? kSigmaRefusedLimits
                             : error.kind == YamlError::kUnsupported ? kSigmaRefusedUnsupported
                                                                     : kSigmaRefusedSyntax;
        return Refuse(why, nullptr,
                      (error.line > 0 ? "line " + std::to_string(error.line) + ": " : std::string()) +
                          error.message);
    }
    const YamlNode* doc = nullptr;
    size_t count = 0;
    for (const YamlDocument& d : documents_) {
        if (d.root == nullptr || d.root->IsNull()) continue;
        ++count;
        if (doc == nullptr) doc = d.root;
    }
    if (count == 0) return Refuse(kSigmaRefusedSyntax, nullptr, "no rule in the file");
    if (count > 1)
        return Refuse(kSigmaRefusedDocumentKind, nullptr,
                      "several YAML documents in one file (rule collections are not read)");
    if (!doc->IsMap()) return Refuse(kSigmaRefusedSyntax, doc, "a rule is a YAML mapping");

    // Nodes found by key.
    static const YamlNode kNone;
    const YamlNode *title = &kNone, *id = &kNone, *level = &kNone, *logsource = &kNone, *detection = &kNone;
    const YamlNode* taxonomy = &kNone;
    bool hasTitle = false, hasId = false, hasLevel = false, hasLogsource = false, hasDetection = false;
    bool hasTaxonomy = false;
    auto take = [](const YamlNode** slot, bool* has, const YamlNode& value) {
        if (*has) return; // the reader refuses a key given twice; this keeps the first all the same
        *slot = &value;
        *has = true;
    };
    for (size_t pair = 0; pair < doc->size(); ++pair) {
        const YamlNode& keyNode = *doc->items[2 * pair];
        const YamlNode& valueNode = *doc->items[2 * pair + 1];
        if (!Visit(keyNode) || !Visit(valueNode)) return false;
        if (!keyNode.IsScalar()) continue;
        const std::string key = Scalar(keyNode);
        if (key == "correlation") return Refuse(kSigmaRefusedDocumentKind, &keyNode, "a correlation rule");
        if (key == "filter") return Refuse(kSigmaRefusedDocumentKind, &keyNode, "a filter document");
        if (key == "action") return Refuse(kSigmaRefusedDocumentKind, &keyNode, "a rule collection (action)");
        if (key == "title") take(&title, &hasTitle, valueNode);
        if (key == "id") take(&id, &hasId, valueNode);
        if (key == "level") take(&level, &hasLevel, valueNode);
        if (key == "logsource") take(&logsource, &hasLogsource, valueNode);
        if (key == "detection") take(&detection, &hasDetection, valueNode);
        if (key == "taxonomy") take(&taxonomy, &hasTaxonomy, valueNode);
    }
    if (!hasTitle || !title->IsScalar() || Scalar(*title).empty())
        return Refuse(kSigmaRefusedSyntax, doc, "the rule has no title");
    titleRead = Scalar(*title);
    // Another taxonomy gives the field names other meanings; reading them as the default
    // taxonomy's would compare the wrong things.
    if (hasTaxonomy && !taxonomy->IsNull() &&
        (!taxonomy->IsScalar() || !EqualsAsciiFolded(Scalar(*taxonomy), "sigma")))
        return Refuse(kSigmaRefusedUnsupported, taxonomy,
                      "taxonomy " + (taxonomy->IsScalar() ? Scalar(*taxonomy) : std::string("?")) +
                          " (only the default taxonomy, sigma, is read)");

    // The log source decides first: a rule for other events is refused for that, whatever else.
    if (!hasLogsource || !logsource->IsMap())
        return Refuse(kSigmaRefusedCategory, doc, "the rule has no logsource");
    const YamlNode *product = &kNone, *service = &kNone, *category = &kNone;
    bool hasProduct = false, hasService = false, hasCategory = false;
    for (size_t pair = 0; pair < logsource->size(); ++pair) {
        const YamlNode& keyNode = *logsource->items[2 * pair];
        const YamlNode& valueNode = *logsource->items[2 * pair + 1];
        if (!Visit(keyNode) || !Visit(valueNode)) return false;
        if (!keyNode.IsScalar()) continue;
        const std::string key = Scalar(keyNode);
        if (key == "product") take(&product, &hasProduct, valueNode);
        if (key == "service") take(&service, &hasService, valueNode);
        if (key == "category") take(&category, &hasCategory, valueNode);
    }
    if (hasProduct && !product->IsNull()) {
        if (!product->IsScalar() || !EqualsAsciiFolded(Scalar(*product), "windows"))
            return Refuse(kSigmaRefusedProduct, product,
                          "product " + (product->IsScalar() ? Scalar(*product) : std::string("?")));
    }
    category_ = kSigmaCategoryCount;
    if (hasService && !service->IsNull()) {
        // A service the recorder feeds stands for its category, alone: a rule naming a category
        // as well asks for events of both at once, which no row is.
        for (uint32_t c = 0; c < kSigmaCategoryCount; ++c) {
            if (IsSigmaServiceCategory(c) && service->IsScalar() &&
                Scalar(*service) == SigmaCategoryName(c) && (!hasCategory || category->IsNull()))
                category_ = c;
        }
        if (category_ == kSigmaCategoryCount)
            return Refuse(kSigmaRefusedService, service,
                          "service " + (service->IsScalar() ? Scalar(*service) : std::string("?")));
    } else {
        if (!hasCategory || !category->IsScalar())
            return Refuse(kSigmaRefusedCategory, logsource, "the log source names no category");
        for (uint32_t c = 0; c < kSigmaCategoryCount; ++c) {
            if (!IsSigmaServiceCategory(c) && Scalar(*category) == SigmaCategoryName(c))
                category_ = c;
        }
        if (category_ == kSigmaCategoryCount)
            return Refuse(kSigmaRefusedCategory, category, "category " + Scalar(*category));
    }

    uint32_t levelValue = kSigmaInformational;
    if (hasLevel && !level->IsNull()) {
        if (!level->IsScalar() || !ParseLevel(Scalar(*level), &levelValue))
            return Refuse(kSigmaRefusedUnsupported, level, "unknown level");
    }

    if (!hasDetection || !detection->IsMap())
        return Refuse(kSigmaRefusedSyntax, doc, "the rule has no detection");
    rule->category = category_;
    const YamlNode* condition = &kNone;
    bool hasCondition = false;
    for (size_t pair = 0; pair < detection->size(); ++pair) {
        const YamlNode& keyNode = *detection->items[2 * pair];
        const YamlNode& valueNode = *detection->items[2 * pair + 1];
        if (!Visit(keyNode) || !Visit(valueNode)) return false;
        if (!keyNode.IsScalar())
            return Refuse(kSigmaRefusedSyntax, &keyNode, "a search identifier must be a name");
        const std::string key = Scalar(keyNode);
        if (key == "condition") {
            take(&condition, &hasCondition, valueNode);
            continue;
        }
        if (key == "timeframe")
            return Refuse(kSigmaRefusedUnsupported, &keyNode, "timeframe (aggregation over time)");
        for (const Search& s : rule->searches) {
            if (s.name == key)
                return Refuse(kSigmaRefusedSyntax, &keyNode, "search identifier " + key + " twice");
        }
        if (rule->searches.size() >= kMaxSearches)
            return Refuse(kSigmaRefusedLimits, &keyNode, "too many search identifiers");
        rule->searches.emplace_back();
        rule->searches.back().name = key;
        if (!CompileSearch(key, valueNode, &rule->searches.back())) return false;
    }
    if (!hasCondition) return Refuse(kSigmaRefusedSyntax, detection, "the detection has no condition");
    if (!CompileCondition(*condition)) return false;
    if (!never_.empty() && !CanHold()) {
        std::string names;
        for (const std::string& name : never_) names += (names.empty() ? "" : ", ") + name;
        return Refuse(kSigmaRefusedField, neverAt_,
                      (never_.size() == 1 ? "field " : "fields ") + names + (never_.size() == 1 ? " is" : " are") +
                          " not recorded for " + SigmaCategoryName(category_) +
                          ", and the rule cannot hold without " + (never_.size() == 1 ? "it" : "them"));
    }

    std::memset(info, 0, sizeof *info);
    Utf8ToUtf16Bounded(Scalar(*title), info->title, kSigmaTitleChars);
    if (hasId && id->IsScalar()) Utf8ToUtf16Bounded(Scalar(*id), info->id, kSigmaIdChars);
    info->level = levelValue;
    info->categories = uint32_t{1} << category_;
    info->fields = rule->fields;
    std::string names;
    for (const std::string& name : never_) names += (names.empty() ? "" : ", ") + name;
    Utf8ToUtf16Bounded(names, info->partial, sizeof info->partial / sizeof info->partial[0]);
    return true;
}

// Three-valued results as sets: bit 0 false, bit 1 true, bit 2 unknown.
namespace {
constexpr uint8_t kCanF = 1, kCanT = 2, kCanU = 4;
uint8_t AndSets(uint8_t a, uint8_t b) {
    uint8_t r = 0;
    if ((a & kCanF) || (b & kCanF)) r |= kCanF;
    if ((a & kCanT) && (b & kCanT)) r |= kCanT;
    if (((a & kCanU) && (b & (kCanT | kCanU))) || ((b & kCanU) && (a & kCanT))) r |= kCanU;
    return r;
}
uint8_t OrSets(uint8_t a, uint8_t b) {
    uint8_t r = 0;
    if ((a & kCanT) || (b & kCanT)) r |= kCanT;
    if ((a & kCanF) && (b & kCanF)) r |= kCanF;
    if (((a & kCanU) && (b & (kCanF | kCanU))) || ((b & kCanU) && (a & kCanF))) r |= kCanU;
    return r;
}
uint8_t NotSet(uint8_t a) {
    return static_cast<uint8_t>((a & kCanU) | ((a & kCanF) ? kCanT : 0) | ((a & kCanT) ? kCanF : 0));
}
bool TestOnNever(const FieldTest& t) {
    if (t.field == kNeverField) return true;
    for (const ValueTest& v : t.values) {
        if (v.kind == TestKind::kFieldRef && v.refField == kNeverField) return true;
    }
    return false;
}
uint8_t NodeSet(const Rule& rule, uint32_t index, const std::vector<uint8_t>& searches) {
    const CondNode& node = rule.nodes[index];
    switch (node.op) {
    case CondOp::kSearch:
        return searches[node.search];
    case CondOp::kNot:
        return NotSet(NodeSet(rule, rule.children[node.firstChild], searches));
    case CondOp::kAnd:
    case CondOp::kOr: {
        uint8_t r = node.op == CondOp::kAnd ? kCanT : kCanF;
        for (uint32_t i = 0; i < node.childCount; ++i) {
            const uint8_t c = NodeSet(rule, rule.children[node.firstChild + i], searches);
            r = node.op == CondOp::kAnd ? AndSets(r, c) : OrSets(r, c);
        }
        return r;
    }
    }
    return 0;
}
} // namespace

// Whether the condition can be true on some row, with every comparison on a field the category
// never records unknown and every other comparison free to be true or false. Searches are taken
// as independent (two on one field are not tied), so a rule this lets through may still never
// hold; it never refuses one that can.
bool Compiler::CanHold() const {
    std::vector<uint8_t> searches;
    for (const Search& search : rule_->searches) {
        uint8_t any = kCanF;
        for (const std::vector<FieldTest>& map : search.maps) {
            uint8_t all = kCanT;
            for (const FieldTest& t : map)
                all = AndSets(all, TestOnNever(t) ? kCanU : uint8_t(kCanT | kCanF));
            any = OrSets(any, all);
        }
        searches.push_back(any);
    }
    return (NodeSet(*rule_, rule_->root, searches) & kCanT) != 0;
}

bool Compiler::CompileSearch(const std::string& name, const YamlNode& node, Search* search) {
    (void)name;
    if (node.IsMap()) {
        if (!Charge(&node, 0, sizeof(std::vector<FieldTest>), 0, 0)) return false;
        search->maps.emplace_back();
        return CompileMap(node, &search->maps.back());
    }
    if (node.IsSequence()) {
        if (!CheckList(node)) return false;
        if (node.size() == 0) return Refuse(kSigmaRefusedUnsupported, &node, "an empty search");
        bool maps = false, scalars = false;
        for (const YamlNode* itemPointer : node.items) {
            const YamlNode& item = *itemPointer;
            if (!Visit(item)) return false;
            if (item.IsMap()) maps = true;
            else if (item.IsScalar()) scalars = true;
            else return Refuse(kSigmaRefusedUnsupported, &item, "a search item that is neither a map nor a keyword");
        }
        if (maps && scalars)
            return Refuse(kSigmaRefusedUnsupported, &node, "a search mixing maps and keywords");
        if (maps) {
            for (const YamlNode* itemPointer : node.items) {
                const YamlNode& item = *itemPointer;
                if (!Charge(&item, 0, sizeof(std::vector<FieldTest>), 0, 0)) return false;
                search->maps.emplace_back();
                if (!CompileMap(item, &search->maps.back())) return false;
            }
            return true;
        }
        // Keywords: any of them anywhere in the row's text.
        if (!Charge(&node, 0, sizeof(std::vector<FieldTest>) + sizeof(FieldTest), 0, 0)) return false;
        search->maps.emplace_back();
        search->maps.back().emplace_back();
        return CompileFieldTest(std::string(), node, node, &search->maps.back().back());
    }
    return Refuse(kSigmaRefusedUnsupported, &node, "a search identifier that is neither a map nor a list");
}

bool Compiler::CompileMap(const YamlNode& node, std::vector<FieldTest>* tests) {
    if (node.size() == 0) return Refuse(kSigmaRefusedUnsupported, &node, "an empty map");
    if (!CheckList(node)) return false;
    for (size_t pair = 0; pair < node.size(); ++pair) {
        const YamlNode& keyNode = *node.items[2 * pair];
        const YamlNode& valueNode = *node.items[2 * pair + 1];
        if (!Visit(keyNode) || !Visit(valueNode)) return false;
        if (!keyNode.IsScalar()) return Refuse(kSigmaRefusedSyntax, &keyNode, "a field name must be text");
        if (!Charge(&keyNode, 0, sizeof(FieldTest), 0, 0)) return false;
        tests->emplace_back();
        if (!CompileFieldTest(Scalar(keyNode), keyNode, valueNode, &tests->back())) return false;
    }
    return true;
}

bool Compiler::ParseMods(const std::string& key, const YamlNode& keyNode, size_t from, Mods* m) {
    size_t at = from;
    while (at < key.size()) {
        size_t end = key.find('|', at);
        if (end == std::string::npos) end = key.size();
        const std::string mod = key.substr(at, end - at);
        at = end + 1;
        auto setMode = [&](Mode mode) {
            if (m->modeSet) return Refuse(kSigmaRefusedUnsupported, &keyNode, "two of contains, startswith, endswith");
            m->modeSet = true;
            m->mode = mode;
            return true;
        };
        bool ok = true;
        if (mod == "contains") ok = setMode(Mode::kContains);
        else if (mod == "startswith") ok = setMode(Mode::kStartsWith);
        else if (mod == "endswith") ok = setMode(Mode::kEndsWith);
        else if (mod == "all") m->all = true;
        else if (mod == "cased") m->cased = true;
        else if (mod == "windash") m->windash = true;
        else if (mod == "neq") m->neq = true;
        else if (mod == "re") { m->re = true; ++m->kinds; }
        else if (mod == "i" || mod == "m" || mod == "s") {
            if (!m->re) return Refuse(kSigmaRefusedUnsupported, &keyNode, "modifier " + mod + " without re");
            (mod == "i" ? m->reI : mod == "m" ? m->reM : m->reS) = true;
        } else if (mod == "cidr") { m->cidr = true; ++m->kinds; }
        else if (mod == "exists") { m->exists = true; ++m->kinds; }
        else if (mod == "fieldref") { m->fieldref = true; ++m->kinds; }
        else if (mod == "lt" || mod == "lte" || mod == "gt" || mod == "gte") {
            m->compare = true;
            ++m->kinds;
            m->cmp = mod == "lt" ? Compare::kLt : mod == "lte" ? Compare::kLte : mod == "gt" ? Compare::kGt : Compare::kGte;
        } else if (mod == "wide" || mod == "utf16le" || mod == "utf16be" || mod == "utf16") {
            if (m->base64 != 0)
                return Refuse(kSigmaRefusedUnsupported, &keyNode, mod + " after base64 (it encodes the value first)");
            m->encoding = mod == "utf16be" ? 2 : mod == "utf16" ? 3 : 1;
        } else if (mod == "base64" || mod == "base64offset") {
            if (m->base64 != 0) return Refuse(kSigmaRefusedUnsupported, &keyNode, "base64 twice");
            m->base64 = mod == "base64" ? 1 : 2;
            ++m->kinds;
        } else if (mod == "expand") {
            return Refuse(kSigmaRefusedExpand, &keyNode, "placeholders (expand) cannot be resolved here");
        } else {
            return Refuse(kSigmaRefusedModifier, &keyNode, "unknown modifier " + (mod.empty() ? std::string("''") : mod));
        }
        if (!ok) return false;
    }
    if (m->kinds > 1) return Refuse(kSigmaRefusedUnsupported, &keyNode, "modifiers that exclude each other: " + key);
    if (m->encoding != 0 && m->base64 == 0)
        return Refuse(kSigmaRefusedUnsupported, &keyNode, "a UTF-16 encoding without base64");
    if (m->modeSet && (m->re || m->cidr || m->exists || m->compare))
        return Refuse(kSigmaRefusedUnsupported, &keyNode, "a match position with re, cidr, exists or a comparison");
    if (m->windash && (m->re || m->cidr || m->exists || m->compare || m->fieldref || m->base64 != 0))
        return Refuse(kSigmaRefusedUnsupported, &keyNode, "windash with re, cidr, exists, a comparison, fieldref or base64");
    if (m->exists && (m->neq || m->all || m->cased))
        return Refuse(kSigmaRefusedUnsupported, &keyNode, "exists with other modifiers");
    return true;
}

bool Compiler::CompileFieldTest(const std::string& key, const YamlNode& keyNode,
                                const YamlNode& value, FieldTest* test) {
    const size_t bar = key.find('|');
    const std::string fieldName = key.substr(0, bar);
    test->field = kAnyField;
    test->kind = FieldTestKind::kValues;
    test->all = false;
    test->negate = false;
    test->groups = 0;
    if (!fieldName.empty()) {
        const uint32_t field = FieldByName(fieldName.data(), fieldName.size());
        if (field == kSigmaFieldCount || !FieldAllowed(category_, field)) {
            // Unknown on every row; the rule is refused after its condition only when that makes
            // it never hold (CanHold).
            test->field = kNeverField;
            NoteNever(fieldName, &keyNode);
        } else {
            test->field = field;
            rule_->fields |= SigmaFieldBit(field);
        }
    }
    test->text = static_cast<uint32_t>(rule_->texts.size());
    rule_->texts.emplace_back();
    rule_->texts.back().key = key;
    if (!Charge(&keyNode, 0, sizeof(TestText) + key.size(), 0, 0)) return false;
    Mods mods;
    if (bar != std::string::npos && !ParseMods(key, keyNode, bar + 1, &mods)) return false;
    const bool keywords = test->field == kAnyField;
    if (keywords && !mods.modeSet && !mods.re) {
        mods.modeSet = true; // a keyword is looked for anywhere in the text
        mods.mode = Mode::kContains;
    }
    if (keywords && (mods.exists || mods.fieldref || mods.neq))
        return Refuse(kSigmaRefusedUnsupported, &keyNode, "exists, fieldref or neq on keywords");
    test->all = mods.all;
    test->negate = mods.neq;

    if (mods.exists) {
        bool yes = false;
        if (!value.IsScalar() || !ParseBool(Scalar(value), &yes))
            return Refuse(kSigmaRefusedUnsupported, &value, "exists takes true or false");
        test->kind = yes ? FieldTestKind::kExists : FieldTestKind::kAbsent;
        return true;
    }
    if (value.IsNull()) {
        if (mods.kinds != 0 || mods.modeSet || mods.all || mods.neq || mods.windash || keywords)
            return Refuse(kSigmaRefusedUnsupported, &value, "null with modifiers");
        test->kind = FieldTestKind::kNullValue;
        return true;
    }
    if (value.IsScalar()) return AddValue(mods, value, test->groups++, test);
    if (!value.IsSequence()) return Refuse(kSigmaRefusedUnsupported, &value, "a value that is a map");
    if (!CheckList(value)) return false;
    if (value.size() == 0) return Refuse(kSigmaRefusedUnsupported, &value, "an empty list of values");
    for (const YamlNode* itemPointer : value.items) {
            const YamlNode& item = *itemPointer;
        if (!Visit(item)) return false;
        if (item.IsNull()) return Refuse(kSigmaRefusedUnsupported, &item, "null inside a list");
        if (!item.IsScalar()) return Refuse(kSigmaRefusedUnsupported, &item, "a list inside a list of values");
        if (!AddValue(mods, item, test->groups++, test)) return false;
    }
    return true;
}

bool Compiler::AddValue(const Mods& mods, const YamlNode& item, uint32_t group, FieldTest* test) {
    const std::string raw = Scalar(item);
    std::u16string text;
    Utf8ToUtf16(raw, &text);
    if (text.size() > kMaxValueChars)
        return Refuse(kSigmaRefusedLimits, &item, "a value of more than " + std::to_string(kMaxValueChars) + " characters");
    // The text as written, kept to say what matched: its characters beyond the string's inline
    // room (the string's own record is in the test's count).
    if (!Charge(&item, 0, text.size() > 7 ? (text.size() + 1) * sizeof(char16_t) : 0, 0, 0)) return false;
    rule_->texts[test->text].shown.push_back(text);
    ValueTest v{};
    v.mode = mods.modeSet ? mods.mode : Mode::kEquals;
    v.cased = mods.cased;
    v.group = group;
    v.regex = -1;
    if (mods.re) {
        v.kind = TestKind::kRegex;
        // Counted before compiling: each compilation takes time, so the count stops an alias bomb
        // of expressions before the bytes would.
        if (!Charge(&item, 0, 0, 1, 0)) return false;
        uint32_t options = PCRE2_UTF | PCRE2_MATCH_INVALID_UTF | PCRE2_NEVER_BACKSLASH_C;
        if (mods.reI) options |= PCRE2_CASELESS;
        if (mods.reM) options |= PCRE2_MULTILINE;
        if (mods.reS) options |= PCRE2_DOTALL;
        // The holder first: made after the compilation, a refused holder would leak the code.
        auto regex = std::make_unique<Regex>();
        int error = 0;
        PCRE2_SIZE offset = 0;
        pcre2_code_16* code = pcre2_compile_16(reinterpret_cast<PCRE2_SPTR16>(text.data()), text.size(),
                                               options, &error, &offset, nullptr);
        if (code == nullptr) {
            PCRE2_UCHAR16 message[160];
            pcre2_get_error_message_16(error, message, 160);
            char utf8[400];
            Utf16ToUtf8(reinterpret_cast<const char16_t*>(message), TextLength(reinterpret_cast<const char16_t*>(message)), utf8, sizeof utf8);
            return Refuse(kSigmaRefusedUnsupported, &item,
                          "regular expression: " + std::string(utf8) + " at " + std::to_string(offset));
        }
        regex->code = code;
        // The code is counted before JIT compilation, whose work grows with it.
        size_t codeBytes = 0, jitBytes = 0;
        pcre2_pattern_info_16(code, PCRE2_INFO_SIZE, &codeBytes);
        if (!Charge(&item, 0, 0, 0, codeBytes)) return false;
        pcre2_jit_compile_16(code, PCRE2_JIT_COMPLETE); // the interpreter runs when JIT cannot
        if (pcre2_pattern_info_16(code, PCRE2_INFO_JITSIZE, &jitBytes) != 0) jitBytes = 0;
        // A match is only asked whether it happened: one pair of offsets, whatever the groups.
        regex->matchData = pcre2_match_data_create_16(1, nullptr);
        if (regex->matchData == nullptr) return Refuse(kSigmaRefusedLimits, &item, "out of memory");
        if (!Charge(&item, 0, 0, 0, jitBytes + kMatchDataBytes)) return false;
        if (!RegexRequiredText(text.data(), text.size(), mods.reI, &v.literal)) v.literal.clear();
        const size_t literalBytes = v.literal.size() > 7 ? (v.literal.size() + 1) * sizeof(char16_t) : 0;
        if (!Charge(&item, 0, literalBytes, 0, 0)) return false;
        v.regex = static_cast<int32_t>(set_->regexes.size());
        set_->regexes.push_back(std::move(regex));
        if (!Charge(&item, 1, sizeof(ValueTest), 0, 0)) return false;
        test->values.push_back(std::move(v));
        return true;
    }
    if (mods.cidr) {
        v.kind = TestKind::kCidr;
        if (!ParseCidr(text, &v.cidr)) return Refuse(kSigmaRefusedUnsupported, &item, "not a network: " + raw);
        if (!Charge(&item, 1, sizeof(ValueTest), 0, 0)) return false;
        test->values.push_back(std::move(v));
        return true;
    }
    if (mods.compare) {
        v.kind = TestKind::kNumber;
        v.compare = mods.cmp;
        if (!ParseNumber(text.data(), text.size(), &v.number))
            return Refuse(kSigmaRefusedUnsupported, &item, "not a number: " + raw);
        if (!Charge(&item, 1, sizeof(ValueTest), 0, 0)) return false;
        test->values.push_back(std::move(v));
        return true;
    }
    if (mods.fieldref) {
        v.kind = TestKind::kFieldRef;
        const uint32_t ref = FieldByName(raw.data(), raw.size());
        if (ref == kSigmaFieldCount || !FieldAllowed(category_, ref)) {
            v.refField = kNeverField;
            NoteNever(raw, &item);
        } else {
            v.refField = ref;
            rule_->fields |= SigmaFieldBit(ref);
        }
        if (!Charge(&item, 1, sizeof(ValueTest), 0, 0)) return false;
        test->values.push_back(std::move(v));
        return true;
    }
    std::vector<Elem> elems;
    ParseWildcards(text, &elems);
    if (mods.base64 != 0) {
        std::u16string plain;
        for (const Elem& e : elems) {
            if (e.kind != ElemKind::kChar)
                return Refuse(kSigmaRefusedUnsupported, &item, "wildcards in a base64 value");
            plain.push_back(e.c);
        }
        std::string bytes;
        EncodeValue(plain, mods.encoding, &bytes);
        std::string encoded[3];
        const int count = mods.base64 == 1 ? 1 : 3;
        if (mods.base64 == 1) encoded[0] = Base64(bytes);
        else Base64Offsets(bytes, encoded);
        for (int i = 0; i < count; ++i) {
            if (encoded[i].empty()) return Refuse(kSigmaRefusedUnsupported, &item, "a value too short for base64offset");
            ValueTest alt = v;
            alt.kind = TestKind::kLiteral;
            alt.cased = true; // Base64 text is case-sensitive by nature
            alt.literal.assign(encoded[i].begin(), encoded[i].end());
            if (alt.mode == Mode::kContains) FailureTable(alt.literal, &alt.next);
            if (!Charge(&item, 1, ValueBytes(alt), 0, 0)) return false;
            test->values.push_back(std::move(alt));
        }
        return true;
    }
    if (mods.windash) {
        for (Elem& e : elems) {
            if (e.kind == ElemKind::kChar && IsDash(e.c)) e.kind = ElemKind::kDash;
        }
    }
    if (!v.cased) {
        for (Elem& e : elems)
            e.c = FoldChar(e.c);
    }
    bool plain = true;
    for (const Elem& e : elems) plain = plain && e.kind == ElemKind::kChar;
    if (plain) {
        v.kind = TestKind::kLiteral;
        for (const Elem& e : elems) v.literal.push_back(e.c);
        if (v.mode == Mode::kContains) FailureTable(v.literal, &v.next);
    } else {
        v.kind = TestKind::kGlob;
        if (v.mode == Mode::kContains || v.mode == Mode::kEndsWith) v.glob.push_back(Elem{0, ElemKind::kAnyRun});
        v.glob.insert(v.glob.end(), elems.begin(), elems.end());
        if (v.mode == Mode::kContains || v.mode == Mode::kStartsWith) v.glob.push_back(Elem{0, ElemKind::kAnyRun});
        v.mode = Mode::kEquals;
    }
    if (!Charge(&item, 1, ValueBytes(v), 0, 0)) return false;
    test->values.push_back(std::move(v));
    return true;
}

// --- Conditions -----------------------------------------------------------------------------

struct Token {
    enum Kind { kWord, kOpen, kClose, kEnd } kind;
    std::string text;
};

class ConditionParser {
public:
    // maxNodes: the nodes the condition may make (a short condition over many search identifiers,
    // repeated, makes many).
    ConditionParser(Rule* rule, const std::string& text, uint64_t maxNodes)
        : rule_(rule), text_(text), maxNodes_(maxNodes) {}
    std::string error;
    bool unsupported = false;
    bool limits = false;

    bool Parse(uint32_t* root) {
        if (!Tokenize()) return false;
        if (!ParseOr(root, 0)) return false;
        if (tokens_[at_].kind != Token::kEnd) return Fail("unexpected " + Describe(tokens_[at_]));
        return true;
    }

private:
    Rule* rule_;
    const std::string& text_;
    uint64_t maxNodes_;
    uint64_t made_ = 0;
    std::vector<Token> tokens_;
    size_t at_ = 0;

    bool Fail(const std::string& what) {
        if (error.empty()) error = what;
        return false;
    }
    static std::string Describe(const Token& t) {
        switch (t.kind) {
        case Token::kOpen: return "'('";
        case Token::kClose: return "')'";
        case Token::kEnd: return "end of condition";
        default: return "'" + t.text + "'";
        }
    }
    bool Tokenize() {
        size_t i = 0;
        while (i < text_.size()) {
            const char c = text_[i];
            if (c == ' ' || c == '\t' || c == '\n' || c == '\r') { ++i; continue; }
            if (c == '(') { tokens_.push_back({Token::kOpen, {}}); ++i; continue; }
            if (c == ')') { tokens_.push_back({Token::kClose, {}}); ++i; continue; }
            if (c == '|') {
                unsupported = true;
                return Fail("aggregations ('|') are not applied");
            }
            size_t end = i;
            while (end < text_.size() && std::strchr(" \t\r\n()|", text_[end]) == nullptr) ++end;
            tokens_.push_back({Token::kWord, text_.substr(i, end - i)});
            i = end;
        }
        tokens_.push_back({Token::kEnd, {}});
        return true;
    }
    bool IsWord(const char* word) const {
        return tokens_[at_].kind == Token::kWord && EqualsAsciiFolded(tokens_[at_].text, word);
    }
    bool Add(CondOp op, uint32_t search, const std::vector<uint32_t>& kids, uint32_t* out) {
        if (++made_ > maxNodes_) {
            limits = true;
            return Fail("more condition nodes than a rule may have");
        }
        CondNode node{op, search, static_cast<uint32_t>(rule_->children.size()),
                      static_cast<uint32_t>(kids.size())};
        rule_->children.insert(rule_->children.end(), kids.begin(), kids.end());
        rule_->nodes.push_back(node);
        *out = static_cast<uint32_t>(rule_->nodes.size() - 1);
        return true;
    }
    bool ParseOr(uint32_t* out, uint32_t depth) {
        std::vector<uint32_t> kids(1);
        if (!ParseAnd(&kids[0], depth)) return false;
        while (IsWord("or")) {
            ++at_;
            kids.emplace_back();
            if (!ParseAnd(&kids.back(), depth)) return false;
        }
        if (kids.size() == 1) {
            *out = kids[0];
            return true;
        }
        return Add(CondOp::kOr, 0, kids, out);
    }
    bool ParseAnd(uint32_t* out, uint32_t depth) {
        std::vector<uint32_t> kids(1);
        if (!ParseNot(&kids[0], depth)) return false;
        while (IsWord("and")) {
            ++at_;
            kids.emplace_back();
            if (!ParseNot(&kids.back(), depth)) return false;
        }
        if (kids.size() == 1) {
            *out = kids[0];
            return true;
        }
        return Add(CondOp::kAnd, 0, kids, out);
    }
    bool ParseNot(uint32_t* out, uint32_t depth) {
        if (depth > kMaxConditionDepth) return Fail("nested too deeply");
        if (IsWord("not")) {
            ++at_;
            uint32_t inner = 0;
            if (!ParseNot(&inner, depth + 1)) return false;
            return Add(CondOp::kNot, 0, {inner}, out);
        }
        return ParsePrimary(out, depth);
    }
    bool ParsePrimary(uint32_t* out, uint32_t depth) {
        const Token& t = tokens_[at_];
        if (t.kind == Token::kOpen) {
            ++at_;
            if (!ParseOr(out, depth + 1)) return false;
            if (tokens_[at_].kind != Token::kClose) return Fail("missing ')'");
            ++at_;
            return true;
        }
        if (t.kind != Token::kWord) return Fail("expected a search identifier, found " + Describe(t));
        if (IsWord("and") || IsWord("or") || IsWord("of") || IsWord("them"))
            return Fail("expected a search identifier, found " + Describe(t));
        const bool one = t.text == "1";
        const bool all = EqualsAsciiFolded(t.text, "all");
        if ((one || all) && tokens_[at_ + 1].kind == Token::kWord &&
            EqualsAsciiFolded(tokens_[at_ + 1].text, "of")) {
            at_ += 2;
            const Token& target = tokens_[at_];
            if (target.kind != Token::kWord) return Fail("'of' needs a pattern or 'them'");
            std::vector<uint32_t> kids;
            const bool them = EqualsAsciiFolded(target.text, "them");
            for (uint32_t s = 0; s < rule_->searches.size(); ++s) {
                const std::string& name = rule_->searches[s].name;
                const bool hit = them ? (name.empty() || name[0] != '_') : NameMatches(target.text, name);
                if (!hit) continue;
                kids.emplace_back();
                if (!Add(CondOp::kSearch, s, {}, &kids.back())) return false;
            }
            if (kids.empty()) return Fail("no search identifier matches " + target.text);
            ++at_;
            if (kids.size() == 1) {
                *out = kids[0];
                return true;
            }
            return Add(one ? CondOp::kOr : CondOp::kAnd, 0, kids, out);
        }
        if (t.text.find('*') != std::string::npos) return Fail("a pattern without '1 of' or 'all of': " + t.text);
        for (uint32_t s = 0; s < rule_->searches.size(); ++s) {
            if (rule_->searches[s].name == t.text) {
                ++at_;
                return Add(CondOp::kSearch, s, {}, out);
            }
        }
        return Fail("unknown search identifier " + t.text);
    }
    // A search-identifier pattern: '*' matches any run of characters.
    static bool NameMatches(const std::string& pattern, const std::string& name) {
        size_t p = 0, n = 0, star = std::string::npos, mark = 0;
        while (n < name.size()) {
            if (p < pattern.size() && pattern[p] == '*') { star = p++; mark = n; }
            else if (p < pattern.size() && pattern[p] == name[n]) { ++p; ++n; }
            else if (star != std::string::npos) { p = star + 1; n = ++mark; }
            else return false;
        }
        while (p < pattern.size() && pattern[p] == '*') ++p;
        return p == pattern.size();
    }
};

bool Compiler::CompileCondition(const YamlNode& node) {
    std::vector<const YamlNode*> items;
    if (node.IsScalar()) {
        items.push_back(&node);
    } else if (node.IsSequence()) {
        if (!CheckList(node)) return false;
        for (const YamlNode* itemPointer : node.items) {
            const YamlNode& item = *itemPointer;
            if (!Visit(item)) return false;
            if (!item.IsScalar()) return Refuse(kSigmaRefusedSyntax, &item, "a condition must be text");
            items.push_back(&item);
        }
        if (items.empty()) return Refuse(kSigmaRefusedSyntax, &node, "an empty condition list");
    } else {
        return Refuse(kSigmaRefusedSyntax, &node, "a condition must be text or a list of texts");
    }
    std::vector<uint32_t> roots;
    for (const YamlNode* itemPointer : items) {
        const YamlNode& item = *itemPointer;
        const std::string text = Scalar(item);
        const size_t nodesBefore = rule_->nodes.size();
        ConditionParser parser(rule_, text, ConditionNodesLeft());
        uint32_t root = 0;
        if (!parser.Parse(&root)) {
            const uint32_t why = parser.limits        ? kSigmaRefusedLimits
                                 : parser.unsupported ? kSigmaRefusedUnsupported
                                                      : kSigmaRefusedSyntax;
            return Refuse(why, &item, "condition: " + parser.error);
        }
        if (!Charge(&item, 0, (rule_->nodes.size() - nodesBefore) * kConditionNodeBytes, 0, 0)) return false;
        roots.push_back(root);
    }
    if (roots.size() == 1) {
        rule_->root = roots[0];
    } else {
        if (!Charge(&node, 0, kConditionNodeBytes + roots.size() * sizeof(uint32_t), 0, 0)) return false;
        CondNode any{CondOp::kOr, 0, static_cast<uint32_t>(rule_->children.size()),
                     static_cast<uint32_t>(roots.size())};
        rule_->children.insert(rule_->children.end(), roots.begin(), roots.end());
        rule_->nodes.push_back(any);
        rule_->root = static_cast<uint32_t>(rule_->nodes.size() - 1);
    }
    return true;
}

void Record(SigmaRuleSet* set, const char16_t* fileName, uint32_t reason, const std::string& detail,
            const char* title) {
    SigmaRefusal refusal;
    std::memset(&refusal, 0, sizeof refusal);
    CopyBounded(refusal.file, kSigmaFileChars, fileName);
    Utf8ToUtf16Bounded(title != nullptr ? title : "", refusal.title, kSigmaTitleChars);
    Utf8ToUtf16Bounded(detail, refusal.detail, sizeof refusal.detail / sizeof refusal.detail[0]);
    refusal.reason = reason;
    set->refusals.push_back(refusal);
    ++set->byReason[reason];
}

} // namespace

bool RefuseFile(SigmaRuleSet* set, const char16_t* fileName, uint32_t reason, const char* detail,
                const char* title = "") {
    try {
        ++set->files;
        Record(set, fileName, reason, detail, title);
    } catch (...) {
        --set->files;
    }
    return false;
}

} // namespace sigma

SigmaRuleSet::~SigmaRuleSet() {
    if (matchContext != nullptr) pcre2_match_context_free_16(static_cast<pcre2_match_context_16*>(matchContext));
}

SigmaRuleSet* NewSigmaRuleSet() {
    SigmaRuleSet* set = new (std::nothrow) SigmaRuleSet;
    if (set == nullptr) return nullptr;
    pcre2_match_context_16* context = pcre2_match_context_create_16(nullptr);
    if (context == nullptr) {
        delete set;
        return nullptr;
    }
    pcre2_set_match_limit_16(context, sigma::kRegexMatchLimit);
    pcre2_set_depth_limit_16(context, sigma::kRegexDepthLimit);
    pcre2_set_heap_limit_16(context, sigma::kRegexHeapLimitKiB);
    set->matchContext = context;
    return set;
}

void FreeSigmaRuleSet(SigmaRuleSet* set) {
    delete set;
}

bool AddSigmaRuleText(SigmaRuleSet* set, const char* bytes, size_t size, const char16_t* fileName) {
    using namespace sigma;
    if (set == nullptr) return false;
    if (fileName == nullptr) fileName = u"";
    set->lastFile = LoadTotals{};
    if (size > kMaxFileBytes) {
        char detail[96];
        std::snprintf(detail, sizeof detail, "%zu bytes, over the 1 MiB a rule file may have", size);
        return RefuseFile(set, fileName, kSigmaRefusedTooLarge, detail);
    }
    if (bytes == nullptr && size != 0) return RefuseFile(set, fileName, kSigmaRefusedUnreadable, "no bytes");
    size_t bad = 0;
    if (!ValidUtf8(bytes, size, &bad)) {
        char detail[96];
        std::snprintf(detail, sizeof detail, "not UTF-8 text (byte %zu)", bad);
        return RefuseFile(set, fileName, kSigmaRefusedEncoding, detail);
    }
    // What the YAML reader throws is caught inside ReadYaml; this boundary catches what the
    // compiler's own allocations may throw.
    const size_t rulesBefore = set->rules.size();
    const size_t regexesBefore = set->regexes.size();
    uint32_t reason = kSigmaRefusedSyntax;
    std::string detail;
    std::string title;
    try {
        size_t skip = size >= 3 && std::memcmp(bytes, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;
        std::string text(bytes + skip, size - skip);
        // A CR alone ends a line as CR LF and LF do (the YAML reader knows only those two); one
        // character for one keeps the line numbers of the details.
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')) text[i] = '\n';
        }
        Rule rule{};
        SigmaRuleInfo info;
        Compiler compiler(set);
        const bool compiled = compiler.Compile(text, &info, &rule);
        set->lastFile = compiler.counted;
        if (compiled) {
            CopyBounded(info.file, kSigmaFileChars, fileName);
            set->rules.push_back(std::move(rule));
            set->infos.push_back(info);
            set->totals.values += compiler.counted.values;
            set->totals.bytes += compiler.counted.bytes;
            set->totals.regexes += compiler.counted.regexes;
            set->totals.regexBytes += compiler.counted.regexBytes;
            ++set->files;
            set->indexed = false;
            return true;
        }
        reason = compiler.refused ? compiler.reason : kSigmaRefusedUnsupported;
        detail = compiler.refused ? compiler.detail : std::string("not read");
        title = compiler.titleRead;
    } catch (const std::bad_alloc&) {
        reason = kSigmaRefusedLimits;
        detail = "out of memory";
    } catch (...) {
        reason = kSigmaRefusedSyntax;
        detail = "unreadable YAML";
    }
    // A refused rule leaves nothing behind.
    if (set->rules.size() > rulesBefore) set->rules.resize(rulesBefore);
    if (set->infos.size() > rulesBefore) set->infos.resize(rulesBefore);
    while (set->regexes.size() > regexesBefore) set->regexes.pop_back();
    return RefuseFile(set, fileName, reason, detail.c_str(), title.c_str());
}

const char16_t* SigmaRuleFolder(const SigmaRuleSet* set) {
    return set == nullptr ? u"" : set->folder.c_str();
}
const char16_t* SigmaRuleFolderError(const SigmaRuleSet* set) {
    return set == nullptr ? u"" : set->folderError.c_str();
}
int32_t SigmaFileCount(const SigmaRuleSet* set) {
    return set == nullptr ? 0 : set->files;
}
int32_t SigmaRuleCount(const SigmaRuleSet* set) {
    return set == nullptr ? 0 : static_cast<int32_t>(set->infos.size());
}
const SigmaRuleInfo* GetSigmaRule(const SigmaRuleSet* set, int32_t index) {
    if (set == nullptr || index < 0 || static_cast<size_t>(index) >= set->infos.size()) return nullptr;
    return &set->infos[static_cast<size_t>(index)];
}
int32_t SigmaRefusalCount(const SigmaRuleSet* set) {
    return set == nullptr ? 0 : static_cast<int32_t>(set->refusals.size());
}
const SigmaRefusal* GetSigmaRefusal(const SigmaRuleSet* set, int32_t index) {
    if (set == nullptr || index < 0 || static_cast<size_t>(index) >= set->refusals.size()) return nullptr;
    return &set->refusals[static_cast<size_t>(index)];
}
int32_t SigmaRefusalsByReason(const SigmaRuleSet* set, uint32_t reason) {
    if (set == nullptr || reason >= kSigmaRefusalReasonCount) return 0;
    return set->byReason[reason];
}
uint64_t SigmaMatchWorkLimitHits(const SigmaRuleSet* set) {
    return set == nullptr ? 0 : set->workLimitHits;
}
int32_t SigmaRulesSetAside(const SigmaRuleSet* set) {
    return set == nullptr ? 0 : set->rulesSetAside;
}
uint64_t SigmaRowsOverBudget(const SigmaRuleSet* set) {
    return set == nullptr ? 0 : set->rowsOverBudget;
}
uint64_t SigmaRowsWithoutMemory(const SigmaRuleSet* set) {
    return set == nullptr ? 0 : set->rowsWithoutMemory;
}
uint64_t SigmaLastRowWork(const SigmaRuleSet* set) {
    return set == nullptr ? 0 : set->lastRowWork;
}
uint64_t SigmaMostRowWork(const SigmaRuleSet* set) {
    return set == nullptr ? 0 : set->mostRowWork;
}
uint64_t SigmaRowWorkBudget(const SigmaRuleSet* set) {
    return set == nullptr ? 0 : set->work.row;
}

} // namespace olv
