// Sigma rules applied to the stored rows (sigma_rows.h).
#include "views/sigma_rows.h"

#include <cstring>

#include "platform/growth.h"
#include "base/text.h"
#include "platform/memory.h"
#include "record/recording.h"
#include "record/stored_rows.h"
#include "rules/threat_rules.h"
#include "sigma/sigma_view.h"
#include "views/row_facts_flow.h"
#include "views/row_store.h"
#include "views/sigma_rules_list.h"
#include "views/sigma_texts.h"
#include "views/view_texts.h"
#include "views/yara_rows.h"

namespace olv {

namespace {

// Matches of one row beyond this many are not kept (counted in matchesNotKept); the row is still
// raised by the most severe of those kept.
constexpr int32_t kMatchesPerRow = 256;
constexpr int32_t kDueBatch = 64;

SigmaState* StateOf(Recording* app) {
    if (app->sigma != nullptr) return app->sigma;
    auto* state = AllocRecord<SigmaState>();
    if (state == nullptr) return nullptr;
    state->context = NewSigmaViewContext();
    state->buffer = AllocRecord<SigmaViewBuffer>();
    state->row = AllocRecord<EventRow>();
    if (state->context == nullptr || state->buffer == nullptr || state->row == nullptr) {
        FreeSigmaViewContext(state->context);
        FreeBlock(state->buffer);
        FreeBlock(state->row);
        FreeBlock(state);
        return nullptr;
    }
    SetSigmaRecorderImage(state->context, app->origin.recorderImage);
    app->sigma = state;
    return state;
}

SigmaState* ActiveState(const Recording* app) {
    SigmaState* state = app->sigma;
    return state != nullptr && state->rules != nullptr ? state : nullptr;
}


// The first entry of matches whose row is at or after row.
int32_t FirstMatchAtOrAfter(const SigmaState* s, int32_t row) {
    int32_t lo = 0;
    int32_t hi = s->matchCount;
    while (lo < hi) {
        const int32_t mid = lo + (hi - lo) / 2;
        if (s->matches[mid].row < row) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    return lo;
}

bool RoomForMatches(SigmaState* s, int32_t more) {
    const int64_t needed = static_cast<int64_t>(s->matchCount) + more;
    if (needed <= s->matchCapacity) return true;
    return GrowArray(&s->matches, &s->matchCapacity, static_cast<size_t>(s->matchCount),
                     static_cast<size_t>(needed), 256, INT32_MAX / 2);
}

void CountMatch(SigmaState* s, const SigmaRowMatch& m, int32_t by) {
    if (m.rule < 0 || m.rule >= s->ruleCapacity) return;
    if (m.unknownFields == 0) {
        s->rowsOfRule[m.rule] += by;
    } else {
        s->possibleRowsOfRule[m.rule] += by;
        if (by > 0) s->possibleFieldsOfRule[m.rule] |= m.unknownFields;
    }
}

// Keeps the matches of a row that has none kept yet (in rule order), in their place by row.
void KeepMatches(SigmaState* s, int32_t row, const SigmaRowMatch* kept, int32_t count) {
    if (count <= 0) return;
    if (!RoomForMatches(s, count)) {
        s->matchesNotKept += static_cast<uint32_t>(count);
        return;
    }
    const int32_t at = FirstMatchAtOrAfter(s, row + 1);
    std::memmove(s->matches + at + count, s->matches + at,
                 static_cast<size_t>(s->matchCount - at) * sizeof(SigmaRowMatch));
    for (int32_t i = 0; i < count; ++i) {
        s->matches[at + i] = kept[i];
        CountMatch(s, kept[i], 1);
    }
    s->matchCount += count;
    ++s->countsStamp;
}

void DropMatches(SigmaState* s, int32_t row) {
    const int32_t from = FirstMatchAtOrAfter(s, row);
    int32_t to = from;
    bool raised = false;
    while (to < s->matchCount && s->matches[to].row == row) {
        CountMatch(s, s->matches[to], -1);
        if (s->matches[to].unknownFields == 0) {
            const SigmaRuleInfo* info = GetSigmaRule(s->rules, s->matches[to].rule);
            raised = raised || (info != nullptr && SeverityOfSigmaLevel(info->level) > 0);
        }
        ++to;
    }
    if (raised && s->rowsRaised > 0) --s->rowsRaised;
    if (to > from) ++s->countsStamp;
    if (to == from) return; // none kept for the row (and perhaps no table yet: no memmove of null)
    std::memmove(s->matches + from, s->matches + to,
                 static_cast<size_t>(s->matchCount - to) * sizeof(SigmaRowMatch));
    s->matchCount -= to - from;
}

// Matches the view of stored row index and applies what matched. Returns whether the row's
// severity rose from none (it may now pass the suspicious-only view).
bool MatchView(Recording* app, SigmaState* s, int32_t index, const SigmaEventView* view) {
    int32_t matched[kMatchesPerRow];
    SigmaPossibleMatch possible[kMatchesPerRow];
    int32_t possibleCount = 0;
    int32_t count = MatchSigmaRulesWithPossible(s->rules, view, matched, kMatchesPerRow, possible,
                                                kMatchesPerRow, &possibleCount);
    if (count <= 0 && possibleCount <= 0) return false;
    if (count > kMatchesPerRow) {
        s->matchesNotKept += static_cast<uint32_t>(count - kMatchesPerRow);
        count = kMatchesPerRow;
    }
    if (possibleCount > kMatchesPerRow) {
        s->matchesNotKept += static_cast<uint32_t>(possibleCount - kMatchesPerRow);
        possibleCount = kMatchesPerRow;
    }
    // Both lists are in rule order: merged, so is the row's part of the table. Matches first:
    // a row keeps at most kMatchesPerRow in all.
    SigmaRowMatch kept[kMatchesPerRow];
    int32_t keptCount = 0;
    int32_t m = 0;
    int32_t p = 0;
    const int32_t room = kMatchesPerRow;
    const int32_t possibleRoom = room - count;
    if (possibleCount > possibleRoom) {
        s->matchesNotKept += static_cast<uint32_t>(possibleCount - possibleRoom);
        possibleCount = possibleRoom;
    }
    while (m < count || p < possibleCount) {
        if (p >= possibleCount || (m < count && matched[m] < possible[p].rule)) {
            kept[keptCount++] = SigmaRowMatch{index, matched[m++], 0};
        } else {
            // A rule undecided for fields the rule does not compare cannot be: keep a mark all
            // the same (never 0, which means a match).
            const SigmaFieldMask fields = possible[p].unknownFields != 0
                                              ? possible[p].unknownFields
                                              : SigmaFieldMask{1} << 63;
            kept[keptCount++] = SigmaRowMatch{index, possible[p++].rule, fields};
        }
    }
    KeepMatches(s, index, kept, keptCount);
    if (count <= 0) return false;
    // The most severe rule raises the row and names it in the threat text; among
    // rules of one level the first in rule order. An informational rule changes neither: a threat
    // text without a severity would name a row the suspicious-only view hides. Its match is kept.
    const SigmaRuleInfo* best = nullptr;
    for (int32_t i = 0; i < count; ++i) {
        const SigmaRuleInfo* rule = GetSigmaRule(s->rules, matched[i]);
        if (rule != nullptr && (best == nullptr || rule->level > best->level)) best = rule;
    }
    if (best == nullptr) return false;
    const uint32_t severity = SeverityOfSigmaLevel(best->level);
    if (severity == 0) return false;
    ++s->rowsRaised; // the rule raised the row, as its kept match says, even if the store refuses
    const uint32_t before = StoredSeverity(app, index);
    char16_t threat[kThreatChars];
    CopyStoredText(app, index, kTextThreat, threat, kThreatChars);
    ComposeSigmaThreat(best->title, severity, before, threat, kThreatChars);
    if (!SetStoredThreat(app, index, severity > before ? severity : before, threat)) {
        ++s->threatsNotStored;
        return false;
    }
    return before == 0;
}

// Keeps a learned row until its facts come; false when memory is refused (the row is then
// matched at once, its facts unknown).
bool HoldForFacts(SigmaState* s, int32_t index, uint32_t categories) {
    if (s->factsCount == s->factsCapacity) {
        const int32_t capacity = s->factsCapacity == 0 ? 64 : s->factsCapacity * 2;
        auto* rows = static_cast<int32_t*>(AllocZeroed(size_t(capacity) * sizeof(int32_t)));
        auto* categoriesOf = static_cast<uint32_t*>(AllocZeroed(size_t(capacity) * sizeof(uint32_t)));
        if (rows == nullptr || categoriesOf == nullptr) {
            FreeBlock(rows);
            FreeBlock(categoriesOf);
            return false;
        }
        if (s->factsCount > 0) {
            std::memcpy(rows, s->factsRows, size_t(s->factsCount) * sizeof(int32_t));
            std::memcpy(categoriesOf, s->factsCategories, size_t(s->factsCount) * sizeof(uint32_t));
        }
        FreeBlock(s->factsRows);
        FreeBlock(s->factsCategories);
        s->factsRows = rows;
        s->factsCategories = categoriesOf;
        s->factsCapacity = capacity;
    }
    s->factsRows[s->factsCount] = index;
    s->factsCategories[s->factsCount] = categories;
    ++s->factsCount;
    return true;
}

// Matches the view in the buffer of a row whose facts came; true when it must now appear.
bool MatchShownView(Recording* app, SigmaState* s, int32_t index) {
    const bool rose = MatchView(app, s, index, &s->buffer->view);
    const int32_t viewed = SigmaRuleView(app);
    return (rose && app->view.suspiciousOnly != 0) ||
           (viewed >= 0 && RowMatchedSigmaRule(app, index, viewed));
}

// Matches the process starts that became due. Returns whether one of them must now be shown
// where it was not: it rose from no severity while suspicious-only is on, or it matched the rule
// whose rows alone are shown.
bool MatchDueRows(Recording* app, SigmaState* s) {
    bool appears = false;
    int32_t due[kDueBatch];
    int32_t n;
    while ((n = TakeDueSigmaRows(s->context, due, kDueBatch)) > 0) {
        for (int32_t i = 0; i < n; ++i) {
            if (due[i] < 0 || due[i] >= app->rowCount) continue;
            if (RowWaitsForFacts(app, due[i]) &&
                HoldForFacts(s, due[i], 1u << kSigmaProcessCreation)) {
                continue;
            }
            if (SigmaViewOfStartRow(s->context, StoredTexts(app), StoredRecord(app, due[i]),
                                    due[i], s->buffer)) {
                const bool rose = MatchView(app, s, due[i], &s->buffer->view);
                const int32_t viewed = SigmaRuleView(app);
                appears = appears || (rose && app->view.suspiciousOnly != 0) ||
                          (viewed >= 0 && RowMatchedSigmaRule(app, due[i], viewed));
            }
        }
    }
    return appears;
}

void ForgetMatches(SigmaState* s) {
    s->factsCount = 0; // every row is matched afresh from here
    ResetSigmaViewContext(s->context);
    s->explainReady = 0;
    s->matchCount = 0;
    s->matchesNotKept = 0;
    s->rowsRaised = 0;
    s->threatsNotStored = 0;
    ++s->countsStamp;
    if (s->rowsOfRule != nullptr) {
        std::memset(s->rowsOfRule, 0, static_cast<size_t>(s->ruleCapacity) * sizeof(int32_t));
        std::memset(s->possibleRowsOfRule, 0, static_cast<size_t>(s->ruleCapacity) * sizeof(int32_t));
        std::memset(s->possibleFieldsOfRule, 0,
                    static_cast<size_t>(s->ruleCapacity) * sizeof(SigmaFieldMask));
    }
}

// Gives stored row index its built-in score (severity and threat text) in row, read whole before,
// and stores it unless the store holds it already. False when the store refused it: the row keeps
// the score it had.
bool StoreBuiltInScore(Recording* app, int32_t index, EventRow* row) {
    row->severity = BuiltInSeverity(row, row->threat, kThreatChars);
    const TextView stored = StoredText(app, index, kTextThreat);
    if (StoredSeverity(app, index) == row->severity &&
        TextViewEquals(stored, row->threat, FieldTextLength(row->threat, kThreatChars))) {
        return true;
    }
    return SetStoredThreat(app, index, row->severity, row->threat);
}

// Re-derives every row's severity (built-in score, then the loaded rules). Caller holds rowsLock.
void ApplyToAllRows(Recording* app, SigmaState* s) {
    ForgetMatches(s);
    app->view.sigmaRule = -1; // the rows of a rule are matched afresh, or by another set
    EventRow* row = s->row;
    for (int32_t i = 0; i < app->rowCount; ++i) {
        ReadStoredRow(app, i, row);
        if (!StoreBuiltInScore(app, i, row)) ++s->threatsNotStored;
        if (s->rules == nullptr) continue;
        if (LearnSigmaRow(s->context, StoredTexts(app), StoredRecord(app, i), i, s->buffer) ==
            kSigmaViewReady) {
            MatchView(app, s, i, &s->buffer->view);
        }
        MatchDueRows(app, s);
    }
    // A stopped recording or an opened session will bring no image load any more.
    if (s->rules != nullptr && app->recording == 0) {
        ReleaseDeferredSigmaRows(s->context);
        MatchDueRows(app, s);
    }
    // The built-in score was taken afresh: the YARA matches raise their rows again.
    ReapplyYaraRaises(app);
}

} // namespace

void ComposeSigmaThreat(const char16_t* title, uint32_t sigmaSeverity, uint32_t builtInSeverity,
                        char16_t* threat, size_t capacity) {
    if (threat == nullptr || capacity == 0) return;
    char16_t builtIn[kThreatChars];
    CopyBounded(builtIn, kThreatChars, threat);
    if (builtIn[0] == 0) {
        CopyBounded(threat, capacity, title);
        return;
    }
    // Both stay readable in the column, the more severe first; a tie goes to the Sigma rule,
    // which says more about the row than a built-in pattern.
    const bool sigmaFirst = sigmaSeverity >= builtInSeverity;
    CopyBounded(threat, capacity, sigmaFirst ? title : builtIn);
    AppendBounded(threat, capacity, u"; ");
    AppendBounded(threat, capacity, sigmaFirst ? builtIn : title);
}

SigmaState* MakeSigmaState(Recording* app) {
    return StateOf(app);
}

bool SigmaRulesLoaded(const Recording* app) {
    return ActiveState(app) != nullptr;
}

const SigmaRuleSet* LoadedSigmaRules(const Recording* app) {
    return app->sigma != nullptr ? app->sigma->rules : nullptr;
}

void SetRecorderImageForSigma(Recording* app, const char16_t* path) {
    SigmaState* s = StateOf(app);
    if (s == nullptr) return;
    CopyBounded(s->recorderImage, 520, path);
}

void UseRecordingOriginForSigma(Recording* app) {
    // A state made later takes the origin then (StateOf).
    if (app->sigma != nullptr)
        SetSigmaRecorderImage(app->sigma->context, app->origin.recorderImage);
}

const char16_t* SigmaRecorderImageOf(const Recording* app) {
    return app->sigma != nullptr ? app->sigma->recorderImage : u"";
}

uint32_t BuiltInSeverity(const EventRow* row, char16_t* threat, size_t capacity) {
    // The window makes these two rows itself and scores neither.
    const RowKind kind = RowKindOfRow(*row);
    if (IsRecorderRowKind(kind)) {
        if (threat != nullptr && capacity > 0) threat[0] = 0;
        return 0;
    }
    return static_cast<uint32_t>(ScoreRowOfKind(row, kind, threat, capacity));
}

bool InstallSigmaRules(Recording* app, SigmaRuleSet* set) {
    SigmaState* s = StateOf(app);
    if (s == nullptr) {
        if (set != nullptr) FreeSigmaRuleSet(set);
        return false;
    }
    const int32_t rules = set != nullptr ? SigmaRuleCount(set) : 0;
    int32_t* rowsOfRule = nullptr;
    int32_t* possibleRowsOfRule = nullptr;
    SigmaFieldMask* possibleFieldsOfRule = nullptr;
    if (rules > 0) {
        rowsOfRule = static_cast<int32_t*>(AllocZeroed(static_cast<size_t>(rules) * sizeof(int32_t)));
        possibleRowsOfRule = static_cast<int32_t*>(AllocZeroed(static_cast<size_t>(rules) * sizeof(int32_t)));
        possibleFieldsOfRule = static_cast<SigmaFieldMask*>(
            AllocZeroed(static_cast<size_t>(rules) * sizeof(SigmaFieldMask)));
        if (rowsOfRule == nullptr || possibleRowsOfRule == nullptr || possibleFieldsOfRule == nullptr) {
            FreeBlock(rowsOfRule);
            FreeBlock(possibleRowsOfRule);
            FreeBlock(possibleFieldsOfRule);
            FreeSigmaRuleSet(set); // set is not null here
            return false;
        }
    }
    {
        LockGuard guard(&app->rowsLock);
        if (s->rules != nullptr) FreeSigmaRuleSet(s->rules);
        FreeBlock(s->rowsOfRule);
        FreeBlock(s->possibleRowsOfRule);
        FreeBlock(s->possibleFieldsOfRule);
        s->rules = set;
        s->rowsOfRule = rowsOfRule;
        s->possibleRowsOfRule = possibleRowsOfRule;
        s->possibleFieldsOfRule = possibleFieldsOfRule;
        s->ruleCapacity = rules;
        ApplyToAllRows(app, s);
    }
    RebuildShownRows(app);
    RefreshSigmaRulesWindow(app); // an open window lists the new set's entries
    return true;
}

bool MatchNewRow(Recording* app, int32_t index) {
    SigmaState* s = ActiveState(app);
    if (s == nullptr || index < 0 || index >= app->rowCount) return false;
    if (LearnSigmaRow(s->context, StoredTexts(app), StoredRecord(app, index), index, s->buffer) ==
        kSigmaViewReady) {
        // A row waiting for its facts is learned now (later rows learn from it in order) and
        // matched when they come.
        if (!RowWaitsForFacts(app, index) || !HoldForFacts(s, index, s->buffer->view.categories))
            MatchView(app, s, index, &s->buffer->view);
    }
    return MatchDueRows(app, s);
}

bool MatchRowWithFacts(Recording* app, int32_t index) {
    SigmaState* s = ActiveState(app);
    if (s == nullptr || index < 0 || index >= app->rowCount) return false;
    for (int32_t i = 0; i < s->factsCount; ++i) {
        if (s->factsRows[i] != index) continue;
        const uint32_t categories = s->factsCategories[i];
        std::memmove(s->factsRows + i, s->factsRows + i + 1,
                     size_t(s->factsCount - i - 1) * sizeof(int32_t));
        std::memmove(s->factsCategories + i, s->factsCategories + i + 1,
                     size_t(s->factsCount - i - 1) * sizeof(uint32_t));
        --s->factsCount;
        const CompactRow& row = StoredRecord(app, index);
        const bool ready =
            (row.kind == static_cast<uint16_t>(RowKind::StartedProcess) ||
             row.kind == static_cast<uint16_t>(RowKind::StartedChildProcess))
                ? SigmaViewOfStartRow(s->context, StoredTexts(app), row, index, s->buffer)
                : SigmaViewOfChangedRow(s->context, StoredTexts(app), row, categories,
                                        s->buffer) == kSigmaViewReady;
        return ready && MatchShownView(app, s, index);
    }
    return false; // not held: a start still waiting for its image path is matched when due
}

void MatchDeferredRowsAtStop(Recording* app) {
    SigmaState* s = ActiveState(app);
    if (s == nullptr) return;
    bool appears;
    {
        LockGuard guard(&app->rowsLock);
        ReleaseDeferredSigmaRows(s->context);
        appears = MatchDueRows(app, s);
    }
    if (appears) {
        RebuildShownRows(app);
    } else {
        MarkRepaint(&app->changes, kRepaintItems);
    }
}

void RematchChangedRow(Recording* app, int32_t index) {
    SigmaState* s = ActiveState(app);
    if (s == nullptr || index < 0 || index >= app->rowCount) return;
    DropMatches(s, index);
    s->explainReady = 0;
    if (SigmaViewOfChangedRow(s->context, StoredTexts(app), StoredRecord(app, index), ~0u,
                              s->buffer) == kSigmaViewReady) {
        MatchView(app, s, index, &s->buffer->view);
    }
}

void ForgetSigmaRows(Recording* app) {
    if (app->sigma != nullptr) ForgetMatches(app->sigma);
    app->view.sigmaRule = -1;
}

void MatchAllRows(Recording* app) {
    SigmaState* s = ActiveState(app);
    if (s == nullptr) return;
    {
        LockGuard guard(&app->rowsLock);
        ApplyToAllRows(app, s);
    }
    RebuildShownRows(app);
}

void ScoreAllRows(Recording* app) {
    if (ActiveState(app) != nullptr) {
        MatchAllRows(app);
        return;
    }
    // Without rules no Sigma state need exist: one scratch row for the whole pass. A row the store
    // cannot rescore (memory refused) keeps the score it had.
    EventRow row;
    {
        LockGuard guard(&app->rowsLock);
        for (int32_t i = 0; i < app->rowCount; ++i) {
            ReadStoredRow(app, i, &row);
            StoreBuiltInScore(app, i, &row);
        }
        ReapplyYaraRaises(app);
    }
    RebuildShownRows(app);
}

int32_t SigmaRulesOfRow(const Recording* app, int32_t row, int32_t* rules, int32_t capacity) {
    const SigmaState* s = app->sigma;
    if (s == nullptr) return 0;
    int32_t n = 0;
    for (int32_t at = FirstMatchAtOrAfter(s, row); at < s->matchCount && s->matches[at].row == row;
         ++at) {
        if (s->matches[at].unknownFields != 0) continue;
        if (rules != nullptr && n < capacity) rules[n] = s->matches[at].rule;
        ++n;
    }
    return n;
}

bool SetSigmaRuleView(Recording* app, int32_t rule) {
    if (rule < 0 && app->view.sigmaRule < 0) return true;
    ViewSpec view = app->view;
    view.sigmaRule = rule < 0 ? -1 : rule;
    return SetView(app, view);
}

int32_t SigmaRuleView(const Recording* app) {
    const int32_t rule = app->view.sigmaRule;
    const SigmaRuleSet* rules = LoadedSigmaRules(app);
    return rules != nullptr && rule >= 0 && rule < SigmaRuleCount(rules) ? rule : -1;
}

bool RowMatchedSigmaRule(const Recording* app, int32_t row, int32_t rule) {
    const SigmaState* s = app->sigma;
    if (s == nullptr) return false;
    for (int32_t at = FirstMatchAtOrAfter(s, row); at < s->matchCount && s->matches[at].row == row;
         ++at) {
        if (s->matches[at].rule == rule && s->matches[at].unknownFields == 0) return true;
    }
    return false;
}

int32_t SigmaRowsOfRule(const Recording* app, int32_t rule) {
    const SigmaState* s = app->sigma;
    if (s == nullptr || rule < 0 || rule >= s->ruleCapacity) return 0;
    return s->rowsOfRule[rule];
}

int32_t SigmaPossibleRowsOfRule(const Recording* app, int32_t rule) {
    const SigmaState* s = app->sigma;
    if (s == nullptr || rule < 0 || rule >= s->ruleCapacity) return 0;
    return s->possibleRowsOfRule[rule];
}

SigmaFieldMask SigmaPossibleFieldsOfRule(const Recording* app, int32_t rule) {
    const SigmaState* s = app->sigma;
    if (s == nullptr || rule < 0 || rule >= s->ruleCapacity) return 0;
    return s->possibleFieldsOfRule[rule];
}

int32_t SigmaPossibleRulesOfRow(const Recording* app, int32_t row, SigmaPossibleMatch* rules,
                                int32_t capacity) {
    const SigmaState* s = app->sigma;
    if (s == nullptr) return 0;
    int32_t n = 0;
    for (int32_t at = FirstMatchAtOrAfter(s, row); at < s->matchCount && s->matches[at].row == row;
         ++at) {
        const SigmaRowMatch& m = s->matches[at];
        if (m.unknownFields == 0) continue;
        if (rules != nullptr && n < capacity) rules[n] = SigmaPossibleMatch{m.rule, m.unknownFields};
        ++n;
    }
    return n;
}

void AppendSigmaFieldNames(SigmaFieldMask mask, char16_t* out, size_t capacity) {
    bool first = true;
    for (uint32_t f = 0; f < kSigmaFieldCount; ++f) {
        if ((mask & SigmaFieldBit(f)) == 0) continue;
        if (!first) AppendBounded(out, capacity, u", ");
        char16_t name[40];
        CopyAscii(name, 40, SigmaFieldName(f));
        AppendBounded(out, capacity, name);
        first = false;
    }
}

namespace {

// Makes the view of stored row index again, with a context of its own learning the rows from the
// first on, as the match's was made: the rows before it taught what it holds, and a held process
// start is viewed where it became due. False when it has none, or memory is refused.
bool RemakeRowView(Recording* app, SigmaState* s, int32_t index) {
    if (s->explainReady != 0 && s->explainRow == index && s->explainRowCount == app->rowCount) return true;
    s->explainReady = 0;
    if (s->explainContext == nullptr) s->explainContext = NewSigmaViewContext();
    if (s->explainBuffer == nullptr) s->explainBuffer = AllocRecord<SigmaViewBuffer>();
    if (s->explainContext == nullptr || s->explainBuffer == nullptr) return false;
    SigmaViewContext* context = s->explainContext;
    // Its own buffer: the kept view points into it while the main one views other rows.
    SigmaViewBuffer* buffer = s->explainBuffer;
    const TextStore* store = StoredTexts(app);
    ResetSigmaViewContext(context);
    SetSigmaRecorderImage(context, app->origin.recorderImage);
    bool made = false;
    bool held = false;
    int32_t due[kDueBatch];
    auto takeDue = [&] {
        int32_t n;
        while (!made && (n = TakeDueSigmaRows(context, due, kDueBatch)) > 0) {
            for (int32_t k = 0; k < n && !made; ++k) {
                if (due[k] != index) continue;
                made = SigmaViewOfStartRow(context, store, StoredRecord(app, index), index, buffer);
            }
        }
    };
    for (int32_t i = 0; i < app->rowCount && !made; ++i) {
        const uint32_t outcome = LearnSigmaRow(context, store, StoredRecord(app, i), i, buffer);
        if (i == index) {
            if (outcome == kSigmaViewReady) made = true;
            if (outcome != kSigmaViewDeferred) break;
            held = true;
        }
        if (held) takeDue();
    }
    if (!made && held) {
        ReleaseDeferredSigmaRows(context);
        takeDue();
    }
    if (!made) return false;
    s->explainRow = index;
    s->explainRowCount = app->rowCount;
    s->explainReady = 1;
    return true;
}

} // namespace

size_t ExplainSigmaRowMatch(Recording* app, int32_t row, int32_t rule, char16_t* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return 0;
    out[0] = 0;
    SigmaState* s = ActiveState(app);
    if (s == nullptr || row < 0 || row >= app->rowCount) return 0;
    if (!RemakeRowView(app, s, row)) return 0;
    return ExplainSigmaMatch(s->rules, rule, &s->explainBuffer->view, out, capacity);
}

int32_t SigmaRowsRaised(const Recording* app) {
    const SigmaState* s = app->sigma;
    return s != nullptr && s->rules != nullptr ? s->rowsRaised : 0;
}

int32_t SigmaLevelOfRow(const Recording* app, int32_t row) {
    const SigmaState* s = app->sigma;
    if (s == nullptr || s->rules == nullptr) return -1;
    int32_t level = -1;
    for (int32_t at = FirstMatchAtOrAfter(s, row); at < s->matchCount && s->matches[at].row == row;
         ++at) {
        if (s->matches[at].unknownFields != 0) continue; // a possible match raises nothing
        const SigmaRuleInfo* rule = GetSigmaRule(s->rules, s->matches[at].rule);
        if (rule != nullptr && static_cast<int32_t>(rule->level) > level) {
            level = static_cast<int32_t>(rule->level);
        }
    }
    return level;
}

const char16_t* SigmaLevelText(uint32_t level) {
    static const char16_t* const kLevels[] = {u"informational", u"low", u"medium", u"high",
                                              u"critical"};
    return level < 5 ? kLevels[level] : u"";
}

void FreeSigmaState(Recording* app) {
    SigmaState* s = app->sigma;
    if (s == nullptr) return;
    if (s->rules != nullptr) FreeSigmaRuleSet(s->rules);
    FreeSigmaViewContext(s->context);
    FreeBlock(s->buffer);
    FreeBlock(s->row);
    FreeSigmaViewContext(s->explainContext);
    FreeBlock(s->explainBuffer);
    FreeBlock(s->matches);
    FreeBlock(s->rowsOfRule);
    FreeBlock(s->possibleRowsOfRule);
    FreeBlock(s->possibleFieldsOfRule);
    FreeBlock(s->factsRows);
    FreeBlock(s->factsCategories);
    FreeSigmaRulesList(s->rulesList);
    FreeBlock(s);
    app->sigma = nullptr;
}

} // namespace olv
