// Matching one view against the loaded rules: fold its fields once, find the candidate rules
// through the needle automata of its categories, evaluate only those. Nothing is allocated here
// unless a field is longer than every field before it.
#define PCRE2_CODE_UNIT_WIDTH 16
#include <pcre2.h>

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "sigma/sigma_engine.h"
#include "base/text.h"
#include "sigma/sigma_match_text.h"

namespace olv {

namespace sigma {

namespace {

// Three-valued results: a comparison on an unknown field is unknown.
enum Tri : int8_t { kFalse = 0, kTrue = 1, kUnknown = 2 };

inline Tri Not(Tri a) {
    return a == kUnknown ? kUnknown : a == kTrue ? kFalse : kTrue;
}
inline Tri OfBool(bool b) {
    return b ? kTrue : kFalse;
}

// How comparisons on the fields this row could not learn are taken: unknown (the match), or all
// true, or all false (the two readings that make a rule a possible match). Fields the category
// never records stay unknown in every reading.
enum class Reading : uint8_t { kUnknown, kAllHeld, kNoneHeld };

struct Context {
    SigmaRuleSet* set;
    const SigmaEventView* view;
    uint32_t rule;
    uint64_t left;     // steps this row may still take
    uint64_t ruleWork; // steps the rule being tried took on this row
    bool ruleHit;      // it hit a bound of its own on this row
    Reading reading;
    bool rowUnknownSeen; // a comparison on a field this row could not learn was met
    bool cut;            // a comparison stopped at a work bound since this was last cleared
};

// Takes steps from the row's budget; false (nothing taken) when fewer are left, and then the
// comparison is not made.
bool Take(Context& c, uint64_t steps) {
    if (steps > c.left) {
        c.left = 0;
        return false;
    }
    c.left -= steps;
    c.ruleWork += steps;
    return true;
}

bool Present(const SigmaEventView* view, uint32_t field) {
    return view->fields[field].text != nullptr;
}

bool RowUnknown(const SigmaEventView* view, uint32_t field) {
    return field < kSigmaFieldCount && (view->unknown & SigmaFieldBit(field)) != 0;
}

// The result of a comparison on a field this row could not learn, in the reading in force.
Tri OfRowUnknown(Context& c) {
    c.rowUnknownSeen = true;
    return c.reading == Reading::kAllHeld ? kTrue : c.reading == Reading::kNoneHeld ? kFalse : kUnknown;
}

const char16_t* Folded(const SigmaRuleSet* set, uint32_t field) {
    return set->folded.data() + set->foldedStart[field];
}

bool MatchText(const char16_t* text, size_t n, const char16_t* lit, size_t m, Mode mode) {
    switch (mode) {
    case Mode::kEquals:
        return n == m && std::memcmp(text, lit, m * sizeof(char16_t)) == 0;
    case Mode::kStartsWith:
        return n >= m && std::memcmp(text, lit, m * sizeof(char16_t)) == 0;
    case Mode::kEndsWith:
        return n >= m && std::memcmp(text + n - m, lit, m * sizeof(char16_t)) == 0;
    case Mode::kContains:
        return m == 0 || std::u16string_view(text, n).find(std::u16string_view(lit, m)) != std::u16string_view::npos;
    }
    return false;
}

bool ElemMatches(const Elem& e, char16_t c) {
    switch (e.kind) {
    case ElemKind::kChar:
        return e.c == c;
    case ElemKind::kAnyOne:
        return true;
    case ElemKind::kDash:
        return IsDash(c);
    case ElemKind::kAnyRun:
        return false;
    }
    return false;
}

enum class Outcome { kNo, kYes, kBound };

// Whole-text wildcard match; on a mismatch it resumes after the last '*' one character further
// (at most text x pattern steps, and at most budget of them; *used gets how many it took).
Outcome MatchGlob(const Elem* p, size_t pn, const char16_t* t, size_t tn, uint64_t budget,
                  uint64_t* used) {
    size_t pi = 0, ti = 0, star = SIZE_MAX, mark = 0;
    *used = 0;
    while (ti < tn) {
        if (*used == budget) return Outcome::kBound;
        ++*used;
        if (pi < pn && p[pi].kind == ElemKind::kAnyRun) {
            star = pi++;
            mark = ti;
        } else if (pi < pn && ElemMatches(p[pi], t[ti])) {
            ++pi;
            ++ti;
        } else if (star != SIZE_MAX) {
            pi = star + 1;
            ti = ++mark;
        } else {
            return Outcome::kNo;
        }
    }
    while (pi < pn && p[pi].kind == ElemKind::kAnyRun) ++pi;
    return pi == pn ? Outcome::kYes : Outcome::kNo;
}

// Literal search with a bound on its steps (for a needle known only at match time); *used gets
// the steps beyond the one per place of the text that the caller charges.
Outcome FindBounded(const char16_t* text, size_t n, const char16_t* lit, size_t m, uint64_t budget,
                    uint64_t* used) {
    *used = 0;
    if (m == 0) return Outcome::kYes;
    for (size_t i = 0; i + m <= n; ++i) {
        if (text[i] != lit[0]) continue;
        size_t k = 1;
        while (k < m && text[i + k] == lit[k]) ++k;
        if (k == m) return Outcome::kYes;
        if (budget - *used < k) return Outcome::kBound;
        *used += k;
    }
    return Outcome::kNo;
}

void CountBound(Context& c) {
    ++c.set->workLimitHits;
    ++c.set->infos[c.rule].matchWorkLimitHits;
    c.ruleHit = true;
    c.cut = true;
}

// One try of a regular expression with a match limit of limit units, charged in full beforehand
// (the library does not say how much of it a match used).
int TryRegex(Context& c, const Regex& regex, const char16_t* text, size_t n, uint32_t limit) {
    c.left -= uint64_t{limit} * c.set->work.regexUnitSteps;
    c.ruleWork += uint64_t{limit} * c.set->work.regexUnitSteps;
    auto* context = static_cast<pcre2_match_context_16*>(c.set->matchContext);
    pcre2_set_match_limit_16(context, limit);
    return pcre2_match_16(static_cast<const pcre2_code_16*>(regex.code), reinterpret_cast<PCRE2_SPTR16>(text), n,
                          0, 0, static_cast<pcre2_match_data_16*>(regex.matchData), context);
}

// The match limit the row's budget still allows, at most wanted; 0 when not even one unit.
uint32_t LimitLeft(const Context& c, uint32_t wanted) {
    const uint64_t units = c.left / c.set->work.regexUnitSteps;
    return units < wanted ? static_cast<uint32_t>(units) : wanted;
}

bool Compared(double a, Compare how, double b) {
    switch (how) {
    case Compare::kLt: return a < b;
    case Compare::kLte: return a <= b;
    case Compare::kGt: return a > b;
    case Compare::kGte: return a >= b;
    }
    return false;
}

// One value on a field the row knows. A field reference to a field the row does not know is
// settled by ValueTri before this.
bool ValueMatches(Context& c, const ValueTest& v, uint32_t field) {
    const SigmaText& own = c.view->fields[field];
    const char16_t* text = v.cased ? own.text : Folded(c.set, field);
    const size_t n = own.length;
    // Every comparison reads the field once at most, beyond what its kind adds below.
    if (!Take(c, n + 1)) {
        CountBound(c);
        return false;
    }
    switch (v.kind) {
    case TestKind::kLiteral:
        if (v.mode == Mode::kContains) return ContainsLiteral(text, n, v.literal, v.next);
        return MatchText(text, n, v.literal.data(), v.literal.size(), v.mode);
    case TestKind::kGlob: {
        const uint64_t budget = c.left < kCompareStepLimit ? c.left : kCompareStepLimit;
        uint64_t used = 0;
        const Outcome o = MatchGlob(v.glob.data(), v.glob.size(), text, n, budget, &used);
        Take(c, used);
        if (o == Outcome::kBound && budget < kCompareStepLimit) c.left = 0;
        if (o == Outcome::kBound) CountBound(c);
        return o == Outcome::kYes;
    }
    case TestKind::kRegex: {
        const Regex& regex = *c.set->regexes[static_cast<size_t>(v.regex)];
        static const char16_t kEmpty[1] = {0};
        const char16_t* subject = n == 0 ? kEmpty : own.text;
        const WorkBounds& work = c.set->work;
        uint32_t limit = LimitLeft(c, work.regexFirstLimit < work.regexLimit ? work.regexFirstLimit : work.regexLimit);
        if (limit == 0) {
            c.left = 0;
            CountBound(c);
            return false;
        }
        int rc = TryRegex(c, regex, subject, n, limit);
        if (rc == PCRE2_ERROR_MATCHLIMIT && limit < work.regexLimit) {
            const uint32_t more = LimitLeft(c, work.regexLimit);
            if (more > limit) {
                limit = more;
                rc = TryRegex(c, regex, subject, n, limit);
            }
        }
        if (rc >= 0) return true;
        // A limit the row's budget cut short is the row running out, not the rule's own bound.
        if (rc == PCRE2_ERROR_MATCHLIMIT && limit < work.regexLimit) c.left = 0;
        if (rc == PCRE2_ERROR_MATCHLIMIT || rc == PCRE2_ERROR_DEPTHLIMIT || rc == PCRE2_ERROR_HEAPLIMIT ||
            rc == PCRE2_ERROR_JIT_STACKLIMIT || rc == PCRE2_ERROR_NOMEMORY) {
            CountBound(c);
        }
        return false;
    }
    case TestKind::kCidr: {
        uint8_t bytes[16];
        uint8_t family = 0;
        return ParseIp(own.text, n, bytes, &family) && InCidr(v.cidr, bytes, family);
    }
    case TestKind::kNumber: {
        double number = 0;
        return ParseNumber(own.text, n, &number) && Compared(number, v.compare, v.number);
    }
    case TestKind::kFieldRef: {
        if (v.refField >= kSigmaFieldCount || !Present(c.view, v.refField)) return false;
        const SigmaText& other = c.view->fields[v.refField];
        const char16_t* otherText = v.cased ? other.text : Folded(c.set, v.refField);
        if (v.mode != Mode::kContains) return MatchText(text, n, otherText, other.length, v.mode);
        const uint64_t budget = c.left < kCompareStepLimit ? c.left : kCompareStepLimit;
        uint64_t used = 0;
        const Outcome o = FindBounded(text, n, otherText, other.length, budget, &used);
        Take(c, used);
        if (o == Outcome::kBound && budget < kCompareStepLimit) c.left = 0;
        if (o == Outcome::kBound) CountBound(c);
        return o == Outcome::kYes;
    }
    }
    return false;
}

// One value on a known field: unknown only for a reference to a field the row does not know.
Tri ValueTri(Context& c, const ValueTest& v, uint32_t field) {
    if (v.kind == TestKind::kFieldRef) {
        if (v.refField == kNeverField) return kUnknown;
        if (RowUnknown(c.view, v.refField)) return OfRowUnknown(c);
    }
    // A comparison stopped at a bound is undecided, not false: under a `not` it must not make a
    // rule fire.
    c.cut = false;
    const bool held = ValueMatches(c, v, field);
    return held ? kTrue : c.cut ? kUnknown : kFalse;
}

// The values of a test on one field: any of them, or with `all` every list item (the
// alternatives of one item, base64offset's three, are any of them).
Tri ValuesMatch(Context& c, const FieldTest& t, uint32_t field) {
    if (!t.all) {
        Tri any = kFalse;
        for (const ValueTest& v : t.values) {
            const Tri r = ValueTri(c, v, field);
            if (r == kTrue) return kTrue;
            if (r == kUnknown) any = kUnknown;
        }
        return any;
    }
    // Kleene: and is the least of false < unknown < true, or the greatest.
    auto andOf = [](Tri x, Tri y) { return x == kFalse || y == kFalse ? kFalse : x == kUnknown || y == kUnknown ? kUnknown : kTrue; };
    auto orOf = [](Tri x, Tri y) { return x == kTrue || y == kTrue ? kTrue : x == kUnknown || y == kUnknown ? kUnknown : kFalse; };
    Tri all = kTrue;
    Tri group = kTrue;
    uint32_t at = UINT32_MAX;
    for (const ValueTest& v : t.values) {
        if (v.group != at) {
            all = andOf(all, group);
            if (all == kFalse) return kFalse;
            at = v.group;
            group = kFalse;
        }
        if (group != kTrue) group = orOf(group, ValueTri(c, v, field));
    }
    return andOf(all, group);
}

// A keyword occurs in some known field of the row. Keywords look at what the row holds: the
// fields a row could not learn, or a category never records, are not searched (taking them as
// unknown would leave every keyword rule undecided on nearly every row).
bool InAnyField(Context& c, const ValueTest& v, uint32_t* where) {
    for (uint32_t f = 0; f < kSigmaFieldCount; ++f) {
        if (Present(c.view, f) && ValueMatches(c, v, f)) {
            if (where != nullptr) *where = f;
            return true;
        }
    }
    return false;
}

Tri FieldTestHolds(Context& c, const FieldTest& t) {
    if (t.field == kAnyField) {
        c.cut = false;
        if (!t.all) {
            for (const ValueTest& v : t.values) {
                if (InAnyField(c, v, nullptr)) return kTrue;
            }
            return c.cut ? kUnknown : kFalse;
        }
        uint32_t group = UINT32_MAX;
        bool groupHeld = true;
        for (const ValueTest& v : t.values) {
            if (v.group != group) {
                if (!groupHeld) return c.cut ? kUnknown : kFalse;
                group = v.group;
                groupHeld = false;
            }
            if (!groupHeld && InAnyField(c, v, nullptr)) groupHeld = true;
        }
        return groupHeld ? kTrue : c.cut ? kUnknown : kFalse;
    }
    if (t.field == kNeverField) return kUnknown;
    if (RowUnknown(c.view, t.field)) return OfRowUnknown(c);
    const bool present = Present(c.view, t.field);
    switch (t.kind) {
    case FieldTestKind::kExists:
        return OfBool(present);
    case FieldTestKind::kAbsent:
        return OfBool(!present);
    case FieldTestKind::kNullValue:
        return OfBool(!present || c.view->fields[t.field].length == 0);
    case FieldTestKind::kValues: {
        if (!present) return kFalse;
        const Tri r = ValuesMatch(c, t, t.field);
        return t.negate ? Not(r) : r;
    }
    }
    return kFalse;
}

// The first map of the search that holds, or -1; *result is the search's value.
inline __attribute__((always_inline)) int32_t SearchValue(Context& c, const Search& search, Tri* result) {
    Tri any = kFalse;
    for (size_t m = 0; m < search.maps.size(); ++m) {
        Tri all = kTrue;
        for (const FieldTest& t : search.maps[m]) {
            const Tri r = FieldTestHolds(c, t);
            if (r == kFalse) {
                all = kFalse;
                break;
            }
            if (r == kUnknown) all = kUnknown;
        }
        if (all == kTrue) {
            *result = kTrue;
            return static_cast<int32_t>(m);
        }
        if (all == kUnknown) any = kUnknown;
    }
    *result = any;
    return -1;
}

Tri NodeHolds(Context& c, const Rule& rule, uint32_t index) {
    const CondNode& node = rule.nodes[index];
    switch (node.op) {
    case CondOp::kSearch: {
        int8_t& state = c.set->searchState[node.search];
        if (state < 0) {
            Tri r = kFalse;
            SearchValue(c, rule.searches[node.search], &r);
            state = r;
        }
        return static_cast<Tri>(state);
    }
    case CondOp::kNot:
        return Not(NodeHolds(c, rule, rule.children[node.firstChild]));
    case CondOp::kAnd: {
        Tri all = kTrue;
        for (uint32_t i = 0; i < node.childCount; ++i) {
            const Tri r = NodeHolds(c, rule, rule.children[node.firstChild + i]);
            if (r == kFalse) return kFalse;
            if (r == kUnknown) all = kUnknown;
        }
        return all;
    }
    case CondOp::kOr: {
        Tri any = kFalse;
        for (uint32_t i = 0; i < node.childCount; ++i) {
            const Tri r = NodeHolds(c, rule, rule.children[node.firstChild + i]);
            if (r == kTrue) return kTrue;
            if (r == kUnknown) any = kUnknown;
        }
        return any;
    }
    }
    return kFalse;
}

Tri Evaluate(Context& c, const Rule& rule, Reading reading) {
    std::memset(c.set->searchState.data(), 0xFF, rule.searches.size());
    c.reading = reading;
    return NodeHolds(c, rule, rule.root);
}

inline void MarkRule(SigmaRuleSet* set, uint32_t rule) {
    set->candidates[rule >> 6] |= uint64_t{1} << (rule & 63);
}

void Scan(SigmaRuleSet* set, const Automaton& a, const char16_t* text, size_t n) {
    const uint32_t k = set->classCount;
    const uint32_t* next = a.next.data();
    const uint8_t* cls = set->charClass.data();
    uint32_t row = 0;
    for (size_t i = 0; i < n; ++i) {
        const uint32_t entry = next[row + cls[text[i]]];
        row = entry & ~kReportBit;
        if ((entry & kReportBit) == 0) continue;
        const uint32_t s = row / k;
        for (uint32_t st = a.outCount[s] != 0 ? s : a.dictLink[s]; st != 0; st = a.dictLink[st]) {
            const uint32_t first = a.outStart[st];
            const uint32_t last = first + a.outCount[st];
            for (uint32_t o = first; o < last; ++o) {
                const uint32_t needle = a.outs[o];
                if (set->needleSeen[needle] == set->generation) continue;
                set->needleSeen[needle] = set->generation;
                for (uint32_t r = set->needleRuleStart[needle]; r < set->needleRuleStart[needle + 1]; ++r)
                    MarkRule(set, set->needleRules[r]);
            }
        }
    }
}

// --- Saying what matched ---

void AppendUtf8(char16_t* out, size_t capacity, const std::string& text) {
    char16_t converted[512];
    Utf8ToUtf16Bounded(text, converted, 512);
    AppendBounded(out, capacity, converted);
}

// "Image endswith \certutil.exe": the key as written (its modifiers as words) and the values
// that held.
void DescribeTest(Context& c, const Rule& rule, const FieldTest& t, char16_t* out, size_t capacity) {
    static const TestText kNone;
    const TestText& written = t.text < rule.texts.size() ? rule.texts[t.text] : kNone;
    const std::vector<std::u16string>& shown = written.shown;
    char16_t key[512];
    Utf8ToUtf16Bounded(written.key, key, 512);
    for (char16_t* k = key; *k != 0; ++k) {
        if (*k == u'|') *k = u' ';
    }
    const char16_t* keyText = key[0] == u' ' ? key + 1 : key;
    if (t.field == kAnyField) {
        // A keyword: the first one found, and where.
        for (const ValueTest& v : t.values) {
            uint32_t where = 0;
            if (!InAnyField(c, v, &where)) continue;
            AppendBounded(out, capacity, u"keyword ");
            if (v.group < shown.size()) AppendBounded(out, capacity, shown[v.group].c_str());
            AppendBounded(out, capacity, u" in ");
            AppendUtf8(out, capacity, SigmaFieldName(where));
            return;
        }
        return;
    }
    AppendBounded(out, capacity, keyText);
    switch (t.kind) {
    case FieldTestKind::kExists: return;
    case FieldTestKind::kAbsent: AppendBounded(out, capacity, u" false"); return;
    case FieldTestKind::kNullValue: AppendBounded(out, capacity, u" null"); return;
    case FieldTestKind::kValues: break;
    }
    // A plain key compares whole: "Image = C:\x.exe"; modifiers read as words before the value.
    const bool plain = std::u16string_view(keyText).find(u' ') == std::u16string_view::npos;
    AppendBounded(out, capacity, plain ? u" = " : u" ");
    // neq and all: every item counts; otherwise the first item that held.
    bool first = true;
    uint32_t shownGroup = UINT32_MAX;
    for (const ValueTest& v : t.values) {
        if (v.group == shownGroup || v.group >= shown.size()) continue;
        if (!t.negate && !t.all && ValueTri(c, v, t.field) != kTrue) continue;
        if (!first) AppendBounded(out, capacity, u", ");
        AppendBounded(out, capacity, shown[v.group].c_str());
        first = false;
        shownGroup = v.group;
        if (!t.negate && !t.all) break;
    }
}

// The searches that held where they count for the rule (under an even number of `not`), once each.
void ExplainNode(Context& c, const Rule& rule, uint32_t index, bool positive, uint32_t depth,
                 std::vector<uint8_t>* listed, char16_t* out, size_t capacity) {
    if (depth > kMaxConditionDepth + 2) return;
    const CondNode& node = rule.nodes[index];
    if (node.op == CondOp::kNot) {
        ExplainNode(c, rule, rule.children[node.firstChild], !positive, depth + 1, listed, out, capacity);
        return;
    }
    if (node.op != CondOp::kSearch) {
        for (uint32_t i = 0; i < node.childCount; ++i)
            ExplainNode(c, rule, rule.children[node.firstChild + i], positive, depth + 1, listed, out, capacity);
        return;
    }
    if (!positive || (*listed)[node.search] != 0) return;
    const Search& search = rule.searches[node.search];
    Tri result = kFalse;
    const int32_t map = SearchValue(c, search, &result);
    if (map < 0) return;
    (*listed)[node.search] = 1;
    AppendUtf8(out, capacity, search.name);
    AppendBounded(out, capacity, u":");
    bool first = true;
    for (const FieldTest& t : search.maps[static_cast<size_t>(map)]) {
        AppendBounded(out, capacity, first ? u" " : u" and ");
        DescribeTest(c, rule, t, out, capacity);
        first = false;
    }
    AppendBounded(out, capacity, u"\n");
}

} // namespace

} // namespace sigma

int32_t MatchSigmaRules(SigmaRuleSet* set, const SigmaEventView* view, int32_t* matched,
                        int32_t capacity) {
    return MatchSigmaRulesWithPossible(set, view, matched, capacity, nullptr, 0, nullptr);
}

namespace {

// Out of line, so that the row's hot path carries no handler.
__attribute__((noinline)) bool GrowFolded(SigmaRuleSet* set, size_t chars) noexcept {
    try {
        set->folded.resize(chars);
        return true;
    } catch (...) {
        return false;
    }
}

// Folds every present field of view once into the set's buffer (a field the row could not learn
// has no text to fold). False when memory for the buffer was refused.
inline __attribute__((always_inline)) bool FoldFields(SigmaRuleSet* set, const SigmaEventView* view) {
    using namespace sigma;
    size_t total = 0;
    for (uint32_t f = 0; f < kSigmaFieldCount; ++f) {
        if (view->fields[f].text != nullptr) total += view->fields[f].length + 1;
    }
    if (set->folded.size() < total + 1 && !GrowFolded(set, total + 1)) return false;
    size_t at = 0;
    for (uint32_t f = 0; f < kSigmaFieldCount; ++f) {
        set->foldedStart[f] = static_cast<uint32_t>(at);
        const SigmaText& field = view->fields[f];
        if (field.text == nullptr) continue;
        char16_t* out = set->folded.data() + at;
        for (uint32_t i = 0; i < field.length; ++i)
            out[i] = FoldChar(field.text[i]);
        out[field.length] = 0;
        at += field.length + 1;
    }
    return true;
}

} // namespace

int32_t MatchSigmaRulesWithPossible(SigmaRuleSet* set, const SigmaEventView* view, int32_t* matched,
                                    int32_t capacity, SigmaPossibleMatch* possible,
                                    int32_t possibleCapacity, int32_t* possibleCount) {
    using namespace sigma;
    if (possibleCount != nullptr) *possibleCount = 0;
    if (set == nullptr || view == nullptr || set->rules.empty()) return 0;
    const uint32_t categories = view->categories & ((uint32_t{1} << kSigmaCategoryCount) - 1);
    if (categories == 0) return 0;
    if ((!set->indexed && !EnsureIndex(set)) || !FoldFields(set, view)) {
        ++set->rowsWithoutMemory;
        return 0;
    }
    const SigmaFieldMask unknown =
        view->unknown & (kSigmaFieldCount >= 64 ? ~SigmaFieldMask{0}
                                                : SigmaFieldBit(kSigmaFieldCount % 64) - 1);

    std::memset(set->candidates.data(), 0, set->candidates.size() * sizeof(uint64_t));
    if (++set->generation == 0) {
        std::memset(set->needleSeen.data(), 0, set->needleSeen.size() * sizeof(uint32_t));
        set->generation = 1;
    }
    for (uint32_t c = 0; c < kSigmaCategoryCount; ++c) {
        if ((categories & (uint32_t{1} << c)) == 0) continue;
        const CategoryIndex& index = set->categories[c];
        for (const uint32_t r : index.always)
            MarkRule(set, r);
        for (const Automaton& a : index.automata) {
            const SigmaText& field = view->fields[a.field];
            if (field.text != nullptr) Scan(set, a, Folded(set, a.field), field.length);
        }
        // A rule with a needle in a field the row could not learn may hold in the reading where
        // that field's comparisons all hold.
        if (unknown != 0 && possible != nullptr) {
            for (uint32_t f = 0; f < kSigmaFieldCount; ++f) {
                if ((unknown & SigmaFieldBit(f)) == 0) continue;
                for (const uint32_t r : index.byField[f])
                    MarkRule(set, r);
            }
        }
    }

    int32_t count = 0;
    int32_t possibles = 0;
    const WorkBounds& work = set->work;
    Context context{set, view, 0, work.row, 0, false, Reading::kUnknown, false, false};
    bool overBudget = false;
    for (size_t word = 0; word < set->candidates.size() && !overBudget; ++word) {
        uint64_t bits = set->candidates[word];
        while (bits != 0) {
            const uint32_t r = static_cast<uint32_t>(word * 64 + static_cast<size_t>(__builtin_ctzll(bits)));
            bits &= bits - 1;
            const Rule& rule = set->rules[r];
            if ((categories & (uint32_t{1} << rule.category)) == 0) continue;
            SigmaRuleInfo& info = set->infos[r];
            if (info.setAsideForCost != 0) continue;
            if (context.left == 0) {
                overBudget = true; // the rules not tried yet count as no match on this row
                break;
            }
            context.rule = r;
            context.ruleWork = 0;
            context.ruleHit = false;
            context.rowUnknownSeen = false;
            const Tri result = Evaluate(context, rule, Reading::kUnknown);
            // Undecided through what this row could not learn: possible when one of the two
            // readings of those comparisons makes the rule hold.
            bool possibleHere = false;
            if (result == kUnknown && possible != nullptr && context.rowUnknownSeen) {
                possibleHere = Evaluate(context, rule, Reading::kAllHeld) == kTrue ||
                               Evaluate(context, rule, Reading::kNoneHeld) == kTrue;
            }
            // A rule is struck for its own cost only: the row's budget running out while it was
            // tried says as much about the rules before it.
            const bool ownBound = context.ruleHit && context.left != 0;
            if (ownBound || context.ruleWork > work.ruleShare) {
                if (++info.costStrikes >= work.strikes) {
                    info.setAsideForCost = 1;
                    ++set->rulesSetAside;
                }
            }
            if (result == kTrue) {
                if (matched != nullptr && count < capacity) matched[count] = static_cast<int32_t>(r);
                ++count;
                continue;
            }
            if (!possibleHere) continue;
            if (possibles < possibleCapacity)
                possible[possibles] = SigmaPossibleMatch{static_cast<int32_t>(r), rule.fields & unknown};
            ++possibles;
        }
    }
    if (overBudget || context.left == 0) ++set->rowsOverBudget;
    set->lastRowWork = work.row - context.left;
    if (set->lastRowWork > set->mostRowWork) set->mostRowWork = set->lastRowWork;
    if (possibleCount != nullptr) *possibleCount = possibles;
    return count;
}

size_t ExplainSigmaMatch(SigmaRuleSet* set, int32_t rule, const SigmaEventView* view, char16_t* out,
                         size_t capacity) {
    using namespace sigma;
    if (out == nullptr || capacity == 0) return 0;
    out[0] = 0;
    if (set == nullptr || view == nullptr || rule < 0 || static_cast<size_t>(rule) >= set->rules.size()) return 0;
    if (!set->indexed && !EnsureIndex(set)) return 0;
    const Rule& r = set->rules[static_cast<size_t>(rule)];
    if ((view->categories & (uint32_t{1} << r.category)) == 0) return 0;
    if (!FoldFields(set, view)) return 0;
    Context context{set, view, static_cast<uint32_t>(rule), set->work.row, 0, false, Reading::kUnknown, false, false};
    if (Evaluate(context, r, Reading::kUnknown) != kTrue) return 0;
    std::vector<uint8_t> listed;
    try {
        listed.assign(r.searches.size(), 0);
    } catch (...) {
        return 0;
    }
    ExplainNode(context, r, r.root, true, 0, &listed, out, capacity);
    return TextLength(out);
}

} // namespace olv
