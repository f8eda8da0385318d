// The Sigma Rules window's entries, their choice, search and order (sigma_rules_list.h).
#include "views/sigma_rules_list.h"

#include <algorithm>

#include "base/text.h"
#include "platform/memory.h"
#include "record/recording.h"
#include "sigma/sigma.h"
#include "views/copy_rows.h"
#include "views/sigma_rows.h"
#include "views/sigma_texts.h"

namespace olv {

namespace {

const SigmaRuleSet* RulesOf(const Recording* app) {
    return SigmaRulesLoaded(app) ? LoadedSigmaRules(app) : nullptr;
}

// What an entry is: a rule or a refusal (the other null).
struct Entry {
    const SigmaRuleInfo* rule;
    const SigmaRefusal* refusal;
    int32_t ruleIndex;
};

Entry EntryOf(const SigmaRuleSet* set, int32_t entry) {
    Entry e{nullptr, nullptr, -1};
    if (set == nullptr || entry < 0) return e;
    const int32_t rules = SigmaRuleCount(set);
    if (entry < rules) {
        e.rule = GetSigmaRule(set, entry);
        e.ruleIndex = entry;
    } else {
        e.refusal = GetSigmaRefusal(set, entry - rules);
    }
    return e;
}

const char16_t* CategoryText(uint32_t categories) {
    for (uint32_t c = 0; c < kSigmaCategoryCount; ++c) {
        if ((categories & (1u << c)) != 0) return SigmaCategoryText(c);
    }
    return u"";
}

// Texts compare with A to Z folded, then exactly, so the order is total.
int CompareTexts(const char16_t* a, const char16_t* b) {
    size_t i = 0;
    for (; a[i] != 0 && FoldAscii(a[i]) == FoldAscii(b[i]); ++i) {
    }
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return FoldAscii(a[i]) < FoldAscii(b[i]) ? -1 : 1;
    for (i = 0; a[i] != 0 && a[i] == b[i]; ++i) {
    }
    return a[i] == b[i] ? 0 : (a[i] < b[i] ? -1 : 1);
}

int CompareNumbers(int64_t a, int64_t b) {
    return a < b ? -1 : (a > b ? 1 : 0);
}

// A number to sort an entry by; refused files below every rule.
int64_t NumberOf(const Recording* app, const Entry& e, int column) {
    if (e.rule == nullptr) return -1;
    switch (column) {
    case kRulesColumnLevel:
        return e.rule->level;
    case kRulesColumnRows:
        return SigmaRowsOfRule(app, e.ruleIndex);
    case kRulesColumnPossible:
        return SigmaPossibleRowsOfRule(app, e.ruleIndex);
    default:
        return 0;
    }
}

const char16_t* TextOf(const Entry& e, int column) {
    switch (column) {
    case kRulesColumnTitle:
        return e.rule != nullptr ? e.rule->title : e.refusal->title;
    case kRulesColumnCategory:
        return e.rule != nullptr ? CategoryText(e.rule->categories) : u"";
    case kRulesColumnFile:
        return e.rule != nullptr ? e.rule->file : e.refusal->file;
    case kRulesColumnId:
        return e.rule != nullptr ? e.rule->id : SigmaRefusalReasonText(e.refusal->reason);
    default:
        return u"";
    }
}

bool Found(const char16_t* text, const char16_t* lowerNeedle) {
    return text != nullptr && ContainsFoldedLower(text, lowerNeedle);
}

} // namespace

int CompareSigmaRulesEntries(const Recording* app, int32_t a, int32_t b, int column) {
    const SigmaRuleSet* set = RulesOf(app);
    const Entry ea = EntryOf(set, a);
    const Entry eb = EntryOf(set, b);
    const bool validA = ea.rule != nullptr || ea.refusal != nullptr;
    const bool validB = eb.rule != nullptr || eb.refusal != nullptr;
    if (!validA || !validB) return CompareNumbers(validA ? 0 : 1, validB ? 0 : 1);
    switch (column) {
    case kRulesColumnLevel:
    case kRulesColumnRows:
    case kRulesColumnPossible:
        return CompareNumbers(NumberOf(app, ea, column), NumberOf(app, eb, column));
    case kRulesColumnTitle:
    case kRulesColumnCategory:
    case kRulesColumnFile:
    case kRulesColumnId:
        return CompareTexts(TextOf(ea, column), TextOf(eb, column));
    default:
        return 0;
    }
}

bool SigmaRulesEntryShown(const Recording* app, int32_t entry, int choice, const char16_t* search) {
    const Entry e = EntryOf(RulesOf(app), entry);
    if (e.rule == nullptr && e.refusal == nullptr) return false;
    switch (choice) {
    case kRulesShowMatched:
        if (e.rule == nullptr || SigmaRowsOfRule(app, e.ruleIndex) == 0) return false;
        break;
    case kRulesShowPossible:
        if (e.rule == nullptr || SigmaPossibleRowsOfRule(app, e.ruleIndex) == 0) return false;
        break;
    case kRulesShowRefused:
        if (e.refusal == nullptr) return false;
        break;
    default:
        break;
    }
    if (search == nullptr || search[0] == 0) return true;
    char16_t needle[kRulesSearchChars];
    size_t n = 0;
    for (; n + 1 < kRulesSearchChars && search[n] != 0; ++n)
        needle[n] = FoldAscii(search[n]);
    needle[n] = 0;
    if (e.rule != nullptr) {
        return Found(e.rule->title, needle) || Found(e.rule->file, needle) ||
               Found(e.rule->id, needle) || Found(SigmaLevelText(e.rule->level), needle) ||
               Found(CategoryText(e.rule->categories), needle);
    }
    return Found(e.refusal->title, needle) || Found(e.refusal->file, needle) ||
           Found(e.refusal->detail, needle) || Found(u"refused", needle) ||
           Found(SigmaRefusalReasonText(e.refusal->reason), needle);
}

bool BuildSigmaRulesOrder(const Recording* app, SigmaRulesList* list) {
    if (list == nullptr) return false;
    list->count = 0;
    const SigmaRuleSet* set = RulesOf(app);
    list->setSeen = nullptr;
    const int32_t entries = set != nullptr ? SigmaRuleCount(set) + SigmaRefusalCount(set) : 0;
    if (entries > list->capacity) {
        auto* grown =
            static_cast<int32_t*>(AllocZeroed(static_cast<size_t>(entries) * sizeof(int32_t)));
        if (grown == nullptr) return false;
        FreeBlock(list->order);
        list->order = grown;
        list->capacity = entries;
    }
    for (int32_t entry = 0; entry < entries; ++entry) {
        if (SigmaRulesEntryShown(app, entry, list->choice, list->search)) {
            list->order[list->count++] = entry;
        }
    }
    const int column = list->sortColumn;
    if (column >= 0 && column < kRulesColumnCount && list->count > 1) {
        const bool descending = list->descending != 0;
        // Ties keep load order in both directions, so equal entries never trade places.
        std::sort(list->order, list->order + list->count, [&](int32_t a, int32_t b) {
            int c = CompareSigmaRulesEntries(app, a, b, column);
            if (descending) c = -c;
            return c != 0 ? c < 0 : a < b;
        });
    }
    const SigmaState* s = app->sigma;
    list->countsStampSeen = s != nullptr ? s->countsStamp : 0;
    list->viewRuleSeen = SigmaRuleView(app);
    list->setSeen = set;
    return true;
}

int32_t SigmaRulesEntryAt(const SigmaRulesList* list, int32_t line) {
    if (list == nullptr || line < 0 || line >= list->count) return -1;
    return list->order[line];
}

int32_t SigmaRulesLineOf(const SigmaRulesList* list, int32_t entry) {
    if (list == nullptr || entry < 0) return -1;
    for (int32_t line = 0; line < list->count; ++line) {
        if (list->order[line] == entry) return line;
    }
    return -1;
}

void SortSigmaRulesBy(SigmaRulesList* list, int column) {
    if (list == nullptr || column < 0 || column >= kRulesColumnCount) return;
    if (list->sortColumn == column) {
        list->descending = list->descending != 0 ? 0 : 1;
        return;
    }
    list->sortColumn = column;
    const bool most = column == kRulesColumnLevel || column == kRulesColumnRows ||
                      column == kRulesColumnPossible;
    list->descending = most ? 1 : 0;
}

char16_t* BuildSigmaRulesCopyText(const Recording* app, const SigmaRulesList* list,
                                  const int32_t* lines, int32_t count, size_t* length) {
    if (length != nullptr) *length = 0;
    if (list == nullptr || lines == nullptr || count <= 0) return nullptr;
    // Each cell is at most kSigmaRulesCellChars characters and a mark takes at most 8 for one.
    constexpr size_t kLineChars = kRulesColumnCount * (kSigmaRulesCellChars * 8 + 1) + 2;
    const size_t capacity = (static_cast<size_t>(count) + 1) * kLineChars;
    auto* text = static_cast<char16_t*>(AllocZeroed(capacity * sizeof(char16_t)));
    if (text == nullptr) return nullptr;
    size_t at = 0;
    for (int c = 0; c < kRulesColumnCount; ++c) {
        if (c > 0) at = AppendBounded(text, capacity, u"\t");
        at = AppendBounded(text, capacity, kSigmaRulesHeadings[c]);
    }
    at = AppendBounded(text, capacity, u"\r\n");
    int32_t written = 0;
    char16_t cell[kSigmaRulesCellChars];
    for (int32_t k = 0; k < count; ++k) {
        const int32_t entry = SigmaRulesEntryAt(list, lines[k]);
        if (entry < 0) continue;
        for (int c = 0; c < kRulesColumnCount; ++c) {
            ComposeSigmaRulesCell(app, entry, c, cell, kSigmaRulesCellChars);
            if (c > 0) at = AppendBounded(text, capacity, u"\t");
            at = AppendCopyField(text, capacity, cell, kSigmaRulesCellChars);
        }
        at = AppendBounded(text, capacity, u"\r\n");
        ++written;
    }
    if (written == 0) {
        FreeBlock(text);
        return nullptr;
    }
    if (length != nullptr) *length = at;
    return text;
}

void FreeSigmaRulesList(SigmaRulesList* list) {
    if (list == nullptr) return;
    FreeBlock(list->order);
    FreeBlock(list);
}

} // namespace olv
