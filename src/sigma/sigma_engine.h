// The rule engine's compiled form: what the loader makes of a rule file and what the matcher runs.
// Internal to src/sigma (the loader and the matcher); the rest of the program uses sigma.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sigma/sigma.h"

namespace olv::sigma {

// Bounds of the reader. A file beyond any of them is refused (kSigmaRefusedLimits).
constexpr size_t kMaxFileBytes = 1024 * 1024;     // larger files: kSigmaRefusedTooLarge
constexpr uint32_t kMaxListItems = 10000;         // items of one list
constexpr uint32_t kMaxNodesVisited = 200000;     // YAML nodes looked at in one file (aliases count
                                                  // each time they are reached)
constexpr uint32_t kMaxDetectionDepth = 8;        // nesting below `detection`
constexpr uint32_t kMaxSearches = 512;            // search identifiers of one rule
constexpr uint32_t kMaxConditionDepth = 64;       // parentheses and `not` in one condition
constexpr uint32_t kMaxValueChars = 4096;         // characters of one value
constexpr uint32_t kMaxFilesInFolder = 100000;    // rule files in one folder (beyond: none is read)
constexpr uint32_t kMaxFoldersInFolder = 100000;  // sub-folders of one folder, all levels (alike)
constexpr uint32_t kMaxFolderDepth = 32;          // folder levels read (the folder itself is the
                                                  // first); a deeper folder is refused
// What a file may expand to once compiled, and what all files of a set together may: YAML aliases
// make a small file stand for much more (every time an alias is reached, its node is compiled
// again), so the compiled form is counted as it is made and the file refused past a bound
// (kSigmaRefusedLimits). A file within the size bound and these stays well under 100 MB and a
// second of loading. A file past a set bound is refused, and the files after it may still fit.
struct LoadTotals {
    uint64_t values = 0;     // value tests (each list item; base64offset's three forms count three)
    uint64_t bytes = 0;      // bytes of the compiled tests, values and conditions
    uint64_t regexes = 0;    // regular expressions compiled
    uint64_t regexBytes = 0; // their compiled code, JIT code and match data
};
struct LoadBounds {
    LoadTotals file{50000, 8u << 20, 1000, 4u << 20};
    LoadTotals set{500000, 256u << 20, 20000, 256u << 20};
};

// Work bounds of one regular-expression match (PCRE2), per field tested.
constexpr uint32_t kRegexMatchLimit = 100000;
constexpr uint32_t kRegexDepthLimit = 1000;
constexpr uint32_t kRegexHeapLimitKiB = 2048;
// Steps of one wildcard or field-reference comparison (text x pattern at worst); beyond it the
// comparison is undecided (it never makes a rule match) and a bound hit, like a regular
// expression's.
constexpr uint64_t kCompareStepLimit = 4u << 20;

// Work of one row's matching, in steps (sigma.h). The budget is sized so that a row's worst case
// stays under 10 ms: the dearest step measured is a character of a literal search with a near
// match at every place (a few nanoseconds under load); a unit of a regular expression's match
// limit costs far less, and is charged two steps for the expressions whose units do more.
struct WorkBounds {
    uint64_t row = 2u << 20;          // steps of one row
    uint32_t regexFirstLimit = 1000;  // match limit of a first try: nearly every expression is
                                      // decided within it, so it is charged this much, not the
                                      // full limit; one that is not is tried again with the full one
    uint32_t regexLimit = kRegexMatchLimit;
    uint32_t regexUnitSteps = 2;      // steps charged per unit of a match limit given
    uint64_t ruleShare = 256u << 10;  // one rule's steps on one row beyond which it is charged a strike
    uint32_t strikes = 3;             // strikes (rows) after which a rule is set aside
};

// Case folding used for case-insensitive comparison: one UTF-16 unit to one, so positions stay.
// ASCII inline; the rest through a table (sigma_match_names.cpp).
char16_t FoldNonAscii(char16_t c);
inline char16_t FoldChar(char16_t c) {
    if (c < 0x80) return static_cast<uint16_t>(c - u'A') < 26u ? static_cast<char16_t>(c + 32) : c;
    return FoldNonAscii(c);
}

// A field number that stands for "every text field of the view" (keyword searches).
constexpr uint32_t kAnyField = 0xFFFFFFFFu;
// A field number for a field the rule's category never records: its comparisons are unknown on
// every row.
constexpr uint32_t kNeverField = 0xFFFFFFFEu;

enum class Mode : uint8_t { kEquals, kContains, kStartsWith, kEndsWith };

// The five characters `windash` makes interchangeable, in a rule's value and in the row: '-',
// '/', en dash, em dash and horizontal bar.
inline bool IsDash(char16_t c) {
    return c == u'-' || c == u'/' || c == 0x2013 || c == 0x2014 || c == 0x2015;
}

// One element of a wildcard pattern.
enum class ElemKind : uint8_t { kChar, kAnyOne, kAnyRun, kDash };
struct Elem {
    char16_t c; // kChar: the character (folded unless the test is cased)
    ElemKind kind;
};

enum class TestKind : uint8_t {
    kLiteral,  // literal compared whole / at the start / end / anywhere (mode)
    kGlob,     // wildcard pattern, matched whole (the mode folded into it)
    kRegex,    // PCRE2 over the field's own text
    kCidr,     // field is an address inside a network
    kNumber,   // numeric comparison
    kFieldRef, // compared with another field of the view
};

enum class Compare : uint8_t { kLt, kLte, kGt, kGte };

struct Cidr {
    uint8_t bytes[16];
    uint8_t family; // 4 or 6
    uint8_t prefix;
};

// One value of a field test. A list item may give several alternatives (base64offset's three);
// `group` numbers the list item it came from.
struct ValueTest {
    TestKind kind;
    Mode mode;
    bool cased;
    Compare compare;
    uint32_t group;
    uint32_t refField;
    int32_t regex; // index into RuleSet::regexes
    double number;
    Cidr cidr;
    // Folded unless cased. For kRegex: a folded text every match contains, for the candidate
    // index only (RegexRequiredText; empty when none is sure).
    std::u16string literal;
    std::vector<uint32_t> next; // contains: the literal's failure table, so a search is linear
    std::vector<Elem> glob;
};

enum class FieldTestKind : uint8_t {
    kValues,    // the values (any of them, or all groups with `all`)
    kExists,    // field present
    kAbsent,    // field absent (exists: false)
    kNullValue, // field absent or empty
};

struct FieldTest {
    uint32_t field; // SigmaField, kAnyField or kNeverField
    FieldTestKind kind;
    bool all;
    bool negate; // neq: true when no value matches (the field must be present)
    uint32_t groups;
    std::vector<ValueTest> values;
    uint32_t text; // into Rule::texts (kept apart: matching reads the tests, not their texts)
};

// A field test as the rule writes it, for saying what matched.
struct TestText {
    std::string key;                   // field and modifiers
    std::vector<std::u16string> shown; // each list item, by group
};

// A search identifier: any of its maps; a map holds when all of its tests do.
struct Search {
    std::string name;
    std::vector<std::vector<FieldTest>> maps;
};

enum class CondOp : uint8_t { kSearch, kAnd, kOr, kNot };
struct CondNode {
    CondOp op;
    uint32_t search;     // kSearch
    uint32_t firstChild; // into Rule::children
    uint32_t childCount;
};

struct Rule {
    uint32_t category; // SigmaCategory
    SigmaFieldMask fields; // recorded fields compared (SigmaFieldBit), field references too
    std::vector<Search> searches;
    std::vector<CondNode> nodes;
    std::vector<uint32_t> children;
    uint32_t root;
    std::vector<TestText> texts;
};

// A compiled regular expression (PCRE2, 16-bit) and its match data, made once at load.
struct Regex {
    void* code = nullptr;      // pcre2_code_16*
    void* matchData = nullptr; // pcre2_match_data_16*
    Regex() = default;
    Regex(const Regex&) = delete;
    Regex& operator=(const Regex&) = delete;
    ~Regex();
};

// The candidate index of one (category, field): an Aho-Corasick automaton over the folded text,
// its characters mapped to classes (RuleSet::charClass), reporting needles.
struct Automaton {
    uint32_t field;
    // Row (state * classes) + class -> the next state's row, with kReportBit set when that state
    // has needles of its own or through dictLink.
    std::vector<uint32_t> next;
    std::vector<uint32_t> outStart;   // per state, into outs (own needles)
    std::vector<uint32_t> outCount;
    std::vector<uint32_t> dictLink;   // nearest proper suffix state with needles, 0 = none
    std::vector<uint32_t> outs;
};

constexpr uint32_t kReportBit = 0x80000000u;

struct CategoryIndex {
    std::vector<Automaton> automata;
    std::vector<uint32_t> always; // rules evaluated whatever the text (no needle set)
    // Rules with a needle on each field: on a row that could not learn the field they may be
    // possible matches, so they are evaluated there whatever the text.
    std::vector<uint32_t> byField[kSigmaFieldCount];
};

} // namespace olv::sigma

namespace olv {

struct SigmaRuleSet {
    std::u16string folder;
    std::u16string folderError;
    int32_t files = 0;
    std::vector<SigmaRuleInfo> infos;
    std::vector<sigma::Rule> rules;
    std::vector<SigmaRefusal> refusals;
    int32_t byReason[kSigmaRefusalReasonCount] = {};
    std::vector<std::unique_ptr<sigma::Regex>> regexes;
    void* matchContext = nullptr; // pcre2_match_context_16*
    uint64_t workLimitHits = 0;
    sigma::WorkBounds work;       // the defaults; tests lower them to reach the bounds quickly
    int32_t rulesSetAside = 0;
    uint64_t rowsOverBudget = 0;
    uint64_t rowsWithoutMemory = 0; // rows not matched: memory for the index or the folded fields refused
    uint64_t lastRowWork = 0;
    uint64_t mostRowWork = 0;
    sigma::LoadBounds bounds;   // the defaults; tests lower them to reach the set bounds quickly
    sigma::LoadTotals totals;   // what the loaded rules hold together
    sigma::LoadTotals lastFile; // what the last file added was counted at when it was loaded or
                                // refused (refused: up to the count that crossed a bound)

    // The index, rebuilt when rules were added since it was made.
    bool indexed = false;
    sigma::CategoryIndex categories[kSigmaCategoryCount];
    uint32_t classCount = 1;
    std::vector<uint8_t> charClass;       // 65536 entries
    std::vector<uint32_t> needleRuleStart; // per needle, into needleRules (one extra at the end)
    std::vector<uint32_t> needleRules;

    // Scratch of one match (sized at index time; a longer field grows it once).
    std::vector<uint64_t> candidates;
    std::vector<uint32_t> needleSeen;
    uint32_t generation = 0;
    std::vector<char16_t> folded;
    uint32_t foldedStart[kSigmaFieldCount] = {};
    std::vector<int8_t> searchState; // per search: -1 not evaluated, else a three-valued result

    SigmaRuleSet() = default;
    SigmaRuleSet(const SigmaRuleSet&) = delete;
    SigmaRuleSet& operator=(const SigmaRuleSet&) = delete;
    ~SigmaRuleSet();
};

namespace sigma {
// Builds the candidate index of every loaded rule (sigma_match_index.cpp).
void BuildIndex(SigmaRuleSet* set);

// A folded text that every match of the expression contains, taken from its literal start (after
// leading (?i)/(?m)/(?s) and ^) when no alternative stands beside it; false when none of two
// characters or more is sure. Caseless matching meets non-ASCII forms of k and s, so those two
// letters split the text there and the longest part is taken.
bool RegexRequiredText(const char16_t* pattern, size_t length, bool caseless, std::u16string* out);
// BuildIndex when the set has none yet, catching refused memory: false (the set stays without an
// index, to be built again for the next row) when memory was refused.
bool EnsureIndex(SigmaRuleSet* set) noexcept;
// LoadSigmaRuleFolder with the bounds of rule files and sub-folders given (tests reach them with
// a few files).
SigmaRuleSet* LoadFolder(const char16_t* folder, uint32_t maxFiles, uint32_t maxFolders,
                         SigmaLoadProgress* progress = nullptr);
// True when the field may appear in rules of the category.
bool FieldAllowed(uint32_t category, uint32_t field);
// The field of a name rules use, or kSigmaFieldCount when the view has none by that name.
uint32_t FieldByName(const char* name, size_t length);
} // namespace sigma

} // namespace olv
