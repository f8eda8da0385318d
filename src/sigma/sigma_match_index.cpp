// The candidate index. For every rule, a set of needles (field, folded literal) such that the rule
// can only match a row in which one of them occurs; rules without such a set are evaluated on
// every row of their category. Per category and field, one Aho-Corasick automaton finds all
// needles in one pass over the field's folded text.
#include <algorithm>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "sigma/sigma_engine.h"
#include "base/text.h"

namespace olv::sigma {

namespace {

constexpr size_t kMaxNeedleChars = 32;          // a needle's prefix is as necessary as the whole
constexpr uint64_t kMaxTableEntries = 32u << 20; // states x classes over all automata (< 2^31)
constexpr uint32_t kMaxStates = 4u << 20;

using Needle = std::pair<uint32_t, std::u16string>; // field (or kAnyField), folded text
using Needles = std::vector<Needle>;

// The quality of a needle set: the shortest needle first, then fewer needles.
bool Better(const Needles& a, const Needles& b) {
    auto shortest = [](const Needles& n) {
        size_t m = SIZE_MAX;
        for (const Needle& x : n)
            m = std::min(m, x.second.size());
        return m;
    };
    const size_t sa = shortest(a), sb = shortest(b);
    if (sa != sb) return sa > sb;
    return a.size() < b.size();
}

bool ValueNeedle(const ValueTest& v, std::u16string* out) {
    out->clear();
    if (v.kind == TestKind::kLiteral) {
        if (v.literal.empty()) return false;
        for (const char16_t c : v.literal)
            out->push_back(FoldChar(c));
    } else if (v.kind == TestKind::kGlob) {
        std::u16string run;
        for (const Elem& e : v.glob) {
            if (e.kind == ElemKind::kChar) {
                run.push_back(FoldChar(e.c));
                if (run.size() > out->size()) *out = run;
            } else {
                run.clear();
            }
        }
        if (out->empty()) return false;
    } else if (v.kind == TestKind::kRegex && !v.literal.empty()) {
        *out = v.literal; // folded already
    } else {
        return false;
    }
    if (out->size() > kMaxNeedleChars) out->resize(kMaxNeedleChars);
    return true;
}

bool FieldNeedles(const FieldTest& t, Needles* out) {
    out->clear();
    // A field the category never records is unknown on every row: no text of it can be needed.
    if (t.field == kNeverField || t.kind != FieldTestKind::kValues || t.negate || t.values.empty()) return false;
    std::u16string text;
    if (!t.all) {
        for (const ValueTest& v : t.values) {
            if (!ValueNeedle(v, &text)) return false;
            out->emplace_back(t.field, text);
        }
        return true;
    }
    // All groups must hold: any one group's needles are necessary; take the best group.
    bool found = false;
    Needles group;
    for (uint32_t g = 0; g < t.groups; ++g) {
        group.clear();
        bool ok = true;
        for (const ValueTest& v : t.values) {
            if (v.group != g) continue;
            if (!ValueNeedle(v, &text)) {
                ok = false;
                break;
            }
            group.emplace_back(t.field, text);
        }
        if (!ok || group.empty()) continue;
        if (!found || Better(group, *out)) *out = group;
        found = true;
    }
    return found;
}

bool MapNeedles(const std::vector<FieldTest>& map, Needles* out) {
    bool found = false;
    Needles candidate;
    for (const FieldTest& t : map) {
        if (!FieldNeedles(t, &candidate)) continue;
        if (!found || Better(candidate, *out)) *out = candidate;
        found = true;
    }
    return found;
}

bool SearchNeedles(const Search& search, Needles* out) {
    out->clear();
    Needles part;
    for (const std::vector<FieldTest>& map : search.maps) {
        if (!MapNeedles(map, &part)) return false;
        out->insert(out->end(), part.begin(), part.end());
    }
    return !out->empty();
}

bool NodeNeedles(const Rule& rule, uint32_t index, uint32_t depth, Needles* out) {
    out->clear();
    if (depth > kMaxConditionDepth + 2) return false;
    const CondNode& node = rule.nodes[index];
    Needles part;
    switch (node.op) {
    case CondOp::kSearch:
        return SearchNeedles(rule.searches[node.search], out);
    case CondOp::kNot:
        return false;
    case CondOp::kOr:
        for (uint32_t i = 0; i < node.childCount; ++i) {
            if (!NodeNeedles(rule, rule.children[node.firstChild + i], depth + 1, &part)) return false;
            out->insert(out->end(), part.begin(), part.end());
        }
        return !out->empty();
    case CondOp::kAnd: {
        bool found = false;
        for (uint32_t i = 0; i < node.childCount; ++i) {
            if (!NodeNeedles(rule, rule.children[node.firstChild + i], depth + 1, &part)) continue;
            if (!found || Better(part, *out)) *out = part;
            found = true;
        }
        return found;
    }
    }
    return false;
}

struct PendingAutomaton {
    uint32_t field;
    std::vector<uint32_t> needles;
};

void BuildAutomaton(const SigmaRuleSet& set, const std::vector<std::u16string>& texts,
                    const std::vector<uint32_t>& ids, Automaton* a) {
    const uint32_t k = set.classCount;
    constexpr uint32_t kNone = UINT32_MAX;
    a->next.assign(k, kNone);
    std::vector<std::pair<uint32_t, uint32_t>> own; // (state, needle)
    uint32_t states = 1;
    for (const uint32_t id : ids) {
        uint32_t s = 0;
        for (const char16_t c : texts[id]) {
            const uint32_t cls = set.charClass[c];
            uint32_t t = a->next[size_t{s} * k + cls];
            if (t == kNone) {
                t = states++;
                a->next[size_t{s} * k + cls] = t;
                a->next.resize(size_t{states} * k, kNone);
            }
            s = t;
        }
        own.emplace_back(s, id);
    }
    std::sort(own.begin(), own.end());
    a->outStart.assign(states, 0);
    a->outCount.assign(states, 0);
    a->outs.clear();
    for (const auto& [state, id] : own) {
        if (a->outCount[state] == 0) a->outStart[state] = static_cast<uint32_t>(a->outs.size());
        a->outs.push_back(id);
        ++a->outCount[state];
    }
    std::vector<uint32_t> fail(states, 0);
    a->dictLink.assign(states, 0);
    std::vector<uint32_t> queue;
    queue.reserve(states);
    for (uint32_t cls = 0; cls < k; ++cls) {
        uint32_t& t = a->next[cls];
        if (t == kNone) {
            t = 0;
        } else {
            fail[t] = 0;
            queue.push_back(t);
        }
    }
    for (size_t head = 0; head < queue.size(); ++head) {
        const uint32_t s = queue[head];
        for (uint32_t cls = 0; cls < k; ++cls) {
            uint32_t& t = a->next[size_t{s} * k + cls];
            const uint32_t viaFail = a->next[size_t{fail[s]} * k + cls];
            if (t == kNone) {
                t = viaFail;
                continue;
            }
            fail[t] = viaFail;
            a->dictLink[t] = a->outCount[viaFail] != 0 ? viaFail : a->dictLink[viaFail];
            queue.push_back(t);
        }
    }
    // Rows instead of state numbers, and the report bit, so a scan makes one load per character.
    for (uint32_t& t : a->next)
        t = t * k | ((a->outCount[t] != 0 || a->dictLink[t] != 0) ? kReportBit : 0);
}

} // namespace

bool RegexRequiredText(const char16_t* p, size_t n, bool caseless, std::u16string* out) {
    out->clear();
    auto has = [&](const char16_t* what) {
        const size_t m = TextLength(what);
        for (size_t i = 0; i + m <= n; ++i) {
            if (std::equal(what, what + m, p + i)) return true;
        }
        return false;
    };
    // Forms that hide the pattern's structure from the scan below: quoted text, comments,
    // extended mode, POSIX classes.
    if (has(u"\\Q") || has(u"(?#") || has(u"[:") || has(u"[.") || has(u"[=")) return false;
    for (size_t i = 0; i + 1 < n; ++i) {
        if (p[i] != u'(' || p[i + 1] != u'?') continue; // escaped or not: either way not x
        for (size_t j = i + 2; j < n && p[j] != u')' && p[j] != u':'; ++j) {
            if (p[j] == u'x') return false;
        }
    }
    // An alternative at the top level: nothing is sure.
    int depth = 0;
    for (size_t i = 0; i < n; ++i) {
        const char16_t c = p[i];
        if (c == u'\\') {
            ++i;
        } else if (c == u'[') {
            size_t j = i + 1;
            if (j < n && p[j] == u'^') ++j;
            if (j < n && p[j] == u']') ++j;
            for (; j < n && p[j] != u']'; ++j) {
                if (p[j] == u'\\') ++j;
            }
            i = j;
        } else if (c == u'(') {
            ++depth;
        } else if (c == u')') {
            --depth;
        } else if (c == u'|' && depth <= 0) {
            return false;
        }
    }
    size_t at = 0;
    // Leading option settings of i, m and s only, then an anchor.
    while (at + 2 < n && p[at] == u'(' && p[at + 1] == u'?') {
        size_t j = at + 2;
        while (j < n && (p[j] == u'i' || p[j] == u'm' || p[j] == u's')) {
            if (p[j] == u'i') caseless = true;
            ++j;
        }
        if (j == at + 2 || j >= n || p[j] != u')') return false;
        at = j + 1;
    }
    if (at < n && p[at] == u'^') ++at;
    constexpr std::u16string_view kMeta = u"\\.^$|?*+()[]{}";
    std::u16string run;
    for (; at < n; ++at) {
        const char16_t c = p[at];
        if (c < 0x20 || c > 0x7E || kMeta.find(c) != std::u16string_view::npos) break;
        run.push_back(c);
    }
    // A quantifier that allows none takes the last character back.
    if (at < n && (p[at] == u'?' || p[at] == u'*' || p[at] == u'{') && !run.empty()) run.pop_back();
    std::u16string part;
    for (size_t i = 0; i <= run.size(); ++i) {
        const char16_t c = i < run.size() ? FoldChar(run[i]) : 0;
        if (c == 0 || (caseless && (c == u'k' || c == u's'))) {
            if (part.size() > out->size()) *out = part;
            part.clear();
        } else {
            part.push_back(c);
        }
    }
    if (out->size() < 2) out->clear();
    return !out->empty();
}

bool EnsureIndex(SigmaRuleSet* set) noexcept {
    if (set->indexed) return true;
    try {
        BuildIndex(set);
        return true;
    } catch (...) {
        set->indexed = false;
        return false;
    }
}

void BuildIndex(SigmaRuleSet* set) {
    for (CategoryIndex& c : set->categories) {
        c.automata.clear();
        c.always.clear();
        for (std::vector<uint32_t>& rules : c.byField) rules.clear();
    }
    set->needleRuleStart.clear();
    set->needleRules.clear();

    // Needles of every rule, shared between rules by (category, field, text).
    std::unordered_map<std::u16string, uint32_t> byKey;
    std::vector<std::u16string> texts;
    std::vector<uint32_t> needleField, needleCategory;
    std::vector<std::vector<uint32_t>> rulesOf;
    size_t maxSearches = 1;
    Needles needles;
    for (uint32_t r = 0; r < set->rules.size(); ++r) {
        const Rule& rule = set->rules[r];
        maxSearches = std::max(maxSearches, rule.searches.size());
        if (!NodeNeedles(rule, rule.root, 0, &needles)) {
            set->categories[rule.category].always.push_back(r);
            continue;
        }
        std::sort(needles.begin(), needles.end());
        needles.erase(std::unique(needles.begin(), needles.end()), needles.end());
        for (const Needle& n : needles) {
            if (n.first < kSigmaFieldCount) {
                std::vector<uint32_t>& byField = set->categories[rule.category].byField[n.first];
                if (byField.empty() || byField.back() != r) byField.push_back(r);
            }
            std::u16string key;
            key.push_back(static_cast<char16_t>(rule.category));
            key.push_back(static_cast<char16_t>(n.first == kAnyField ? 0xFFFF : n.first));
            key += n.second;
            auto [it, added] = byKey.emplace(key, static_cast<uint32_t>(texts.size()));
            if (added) {
                texts.push_back(n.second);
                needleField.push_back(n.first);
                needleCategory.push_back(rule.category);
                rulesOf.emplace_back();
            }
            std::vector<uint32_t>& list = rulesOf[it->second];
            if (list.empty() || list.back() != r) list.push_back(r);
        }
    }

    // Character classes: the most frequent needle characters get a class each; the rest share
    // the last one (a shared class can only add candidates, never lose one).
    // Units below 256 are counted in a table; the few above it are gathered, sorted and counted,
    // so a set of a few rules does not clear and walk a table of every unit each time it is
    // indexed.
    constexpr uint32_t kCountedUnits = 256;
    uint64_t narrowCount[kCountedUnits] = {};
    std::vector<std::pair<char16_t, uint64_t>> wide;
    uint64_t states = 0;
    for (uint32_t n = 0; n < texts.size(); ++n) {
        const uint64_t copies = needleField[n] == kAnyField ? uint64_t{kSigmaFieldCount} : 1;
        states += texts[n].size() * copies;
        for (const char16_t c : texts[n]) {
            if (c < kCountedUnits)
                narrowCount[c] += copies;
            else
                wide.emplace_back(c, copies);
        }
    }
    std::sort(wide.begin(), wide.end());
    // Each unit that occurs with its count, in the order of the units.
    std::vector<std::pair<uint32_t, uint64_t>> order;
    for (uint32_t c = 0; c < kCountedUnits; ++c) {
        if (narrowCount[c] != 0) order.emplace_back(c, narrowCount[c]);
    }
    for (size_t i = 0; i < wide.size(); ++i) {
        if (i > 0 && wide[i].first == wide[i - 1].first)
            order.back().second += wide[i].second;
        else
            order.emplace_back(wide[i].first, wide[i].second);
    }
    std::stable_sort(order.begin(), order.end(),
                     [](const std::pair<uint32_t, uint64_t>& a,
                        const std::pair<uint32_t, uint64_t>& b) { return a.second > b.second; });
    uint64_t classes = std::min<uint64_t>(order.size(), 255) + 1;
    const uint64_t stateBudget = states + uint64_t{kSigmaCategoryCount} * uint64_t{kSigmaFieldCount} + 1;
    while (classes > 2 && stateBudget * classes > kMaxTableEntries) classes /= 2;
    set->classCount = static_cast<uint32_t>(classes);
    set->charClass.assign(65536, 0);
    for (size_t i = 0; i < order.size(); ++i)
        set->charClass[order[i].first] = static_cast<uint8_t>(std::min<uint64_t>(i + 1, classes - 1));

    // Needles by (category, field); a keyword needle goes to every field of its category.
    std::vector<PendingAutomaton> pending[kSigmaCategoryCount];
    for (uint32_t n = 0; n < texts.size(); ++n) {
        const uint32_t category = needleCategory[n];
        for (uint32_t f = 0; f < kSigmaFieldCount; ++f) {
            if (needleField[n] != kAnyField && needleField[n] != f) continue;
            if (!FieldAllowed(category, f)) continue;
            std::vector<PendingAutomaton>& list = pending[category];
            auto it = std::find_if(list.begin(), list.end(), [&](const PendingAutomaton& p) { return p.field == f; });
            if (it == list.end()) {
                list.push_back(PendingAutomaton{f, {}});
                it = list.end() - 1;
            }
            it->needles.push_back(n);
        }
    }
    uint64_t totalStates = 0;
    std::vector<uint8_t> dropped(texts.size(), 0);
    for (uint32_t c = 0; c < kSigmaCategoryCount; ++c) {
        for (const PendingAutomaton& p : pending[c]) {
            uint64_t chars = 1;
            for (const uint32_t n : p.needles)
                chars += texts[n].size();
            if (totalStates + chars > kMaxStates) {
                // Beyond the bound the rules of these needles are evaluated on every row.
                for (const uint32_t n : p.needles)
                    dropped[n] = 1;
                continue;
            }
            totalStates += chars;
            set->categories[c].automata.emplace_back();
            Automaton& a = set->categories[c].automata.back();
            a.field = p.field;
            BuildAutomaton(*set, texts, p.needles, &a);
        }
    }
    set->needleRuleStart.assign(1, 0);
    for (uint32_t n = 0; n < texts.size(); ++n) {
        if (dropped[n] != 0) {
            for (const uint32_t r : rulesOf[n])
                set->categories[needleCategory[n]].always.push_back(r);
        } else {
            set->needleRules.insert(set->needleRules.end(), rulesOf[n].begin(), rulesOf[n].end());
        }
        set->needleRuleStart.push_back(static_cast<uint32_t>(set->needleRules.size()));
    }
    for (CategoryIndex& c : set->categories) {
        std::sort(c.always.begin(), c.always.end());
        c.always.erase(std::unique(c.always.begin(), c.always.end()), c.always.end());
    }

    set->candidates.assign((set->rules.size() + 63) / 64 + 1, 0);
    set->needleSeen.assign(texts.size() + 1, 0);
    set->generation = 0;
    set->searchState.assign(maxSearches, -1);
    set->indexed = true;
}

} // namespace olv::sigma
