#include "views/row_details.h"

#include "base/format.h"
#include "base/note_text.h"
#include "base/reveal_text.h"
#include "base/text.h"
#include "platform/memory.h"
#include "platform/ui.h"
#include "record/recording.h"
#include "record/stored_rows.h"
#include "rules/threat_rules.h"
#include "sigma/sigma.h"
#include "views/process_filter.h"
#include "views/sigma_rows.h"
#include "views/sigma_texts.h"
#include "views/view_texts.h"
#include "views/yara_rows.h"

namespace olv {

namespace {

// "Label: text" with the text revealed and on one line, then CR LF.
void AppendField(char16_t* out, size_t capacity, const char16_t* label, const char16_t* text,
                 size_t chars) {
    AppendBounded(out, capacity, label);
    AppendRevealedOneLine(out, capacity, text, chars);
    AppendBounded(out, capacity, u"\r\n");
}

// "pid (process)" of stored row index.
void AppendProcessOf(char16_t* out, size_t capacity, const Recording* app, int32_t index) {
    AppendFormat(out, capacity, u"%lu", static_cast<unsigned long>(StoredPid(app, index)));
    char16_t process[kProcessChars];
    if (CopyStoredText(app, index, kTextProcess, process, kProcessChars) != 0) {
        AppendBounded(out, capacity, u" (");
        AppendRevealedOneLine(out, capacity, process, kProcessChars);
        AppendBounded(out, capacity, u")");
    }
}

// The whole text a row's path holds the start of, as lines of their own.
void AppendWholeText(char16_t* out, size_t capacity, TextView whole) {
    AppendFormat(out, capacity, u"Text (%lu characters):\r\n",
                 static_cast<unsigned long>(whole.length));
    // Scripts often end their lines with LF alone, which the window's text box does not break
    // on: each such line end is shown as CR LF.
    size_t lone = 0;
    for (uint32_t i = 0; i < whole.length; ++i) {
        if (TextUnitAt(whole, i) == u'\n' && (i == 0 || TextUnitAt(whole, i - 1) != u'\r')) ++lone;
    }
    const size_t length = size_t{whole.length} + lone;
    auto* text = static_cast<char16_t*>(AllocZeroed((length + 1) * sizeof(char16_t)));
    if (text == nullptr) {
        AppendBounded(out, capacity, u"(not shown: no memory)\r\n");
        return;
    }
    size_t at = 0;
    for (uint32_t i = 0; i < whole.length; ++i) {
        const char16_t c = TextUnitAt(whole, i);
        if (c == u'\n' && (i == 0 || TextUnitAt(whole, i - 1) != u'\r')) text[at++] = u'\r';
        text[at++] = c;
    }
    AppendRevealed(out, capacity, text, length);
    AppendBounded(out, capacity, u"\r\n");
    FreeBlock(text);
}

} // namespace

size_t RowDetailsChars(Recording* app, int32_t item) {
    LockGuard guard(&app->rowsLock);
    if (item < 0 || item >= app->shownCount || app->shownRows == nullptr) return kRowDetailsChars;
    const int32_t index = app->shownRows[item];
    if (!StoredPathIsCut(app, index)) return kRowDetailsChars;
    return kRowDetailsChars + 64 + size_t{StoredWholePath(app, index).length} * kRevealMarkChars;
}

// The facts read for the row (its image's, its token's, the value's data), each of its kind
// named: a fact not known says so. Nothing for a row without facts (none read, or a session of
// a version that keeps none), whose details are as they were.
void AppendRowFacts(char16_t* out, size_t capacity, const Recording* app, int32_t index) {
    const RowFacts facts = StoredFacts(app, index);
    if (facts.layout == kFactsLayoutNone) return;
    AppendBounded(out, capacity, u"Facts:\r\n");
    const uint32_t all = FactsOfLayout(facts.layout);
    for (uint32_t f = 0; f < kRowFactCount; ++f) {
        if ((all & (1u << f)) == 0) continue;
        char16_t label[40] = u"  ";
        const char* name = RowFactName(RowFact(f));
        for (size_t i = 0; name[i] != 0 && i + 5 < 40; ++i) {
            label[2 + i] = static_cast<char16_t>(name[i]);
            label[3 + i] = 0;
        }
        AppendBounded(label, 40, u": ");
        bool known = false;
        const TextView view = StoredFactText(app, index, RowFact(f), &known);
        char16_t text[kFactChars];
        CopyTextUnits(view, text);
        text[view.length] = 0;
        AppendField(out, capacity, label, known ? text : u"not known", kFactChars);
    }
}

bool BuildRowDetails(Recording* app, int32_t item, char16_t* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return false;
    out[0] = 0;
    LockGuard guard(&app->rowsLock);
    if (item < 0 || item >= app->shownCount || app->shownRows == nullptr) return false;
    const int32_t index = app->shownRows[item];
    EventRow stored;
    ReadStoredRow(app, index, &stored);
    const EventRow* row = &stored;

    char16_t line[128];
    FormatLongTime(row->time, line, 128);
    AppendField(out, capacity, u"Time: ", line, 128);
    AppendField(out, capacity, u"Severity: ",
                row->severity >= 1 && row->severity <= 3 ? SeverityLabel(row->severity) : u"none",
                16);
    AppendField(out, capacity, u"Category: ", CategoryLabel(row->category), 16);
    AppendField(out, capacity, u"Operation: ", row->operation, kOperationChars);
    AppendField(out, capacity, u"Path: ", row->path, kPathChars);
    if (StoredPathIsCut(app, index)) AppendWholeText(out, capacity, StoredWholePath(app, index));
    AppendField(out, capacity, u"Detail: ", row->detail, kDetailChars);
    AppendField(out, capacity, u"Result: ", row->result, kResultChars);
    // A row without the process's name shows its instance's, from the start row.
    const int32_t start = InstanceStartRow(app, index);
    AppendBounded(out, capacity, u"Process: ");
    AppendProcessOf(out, capacity, app, row->process[0] == 0 && start >= 0 ? start : index);
    AppendBounded(out, capacity, u"\r\n");
    AppendFormat(out, capacity, u"Thread: %lu\r\n", static_cast<unsigned long>(row->threadId));

    // The chain of parents, each the instance of its pid running when its child started.
    AppendBounded(out, capacity, u"Started by: ");
    if (start < 0) {
        AppendBounded(out, capacity, u"not recorded (the process began before the recording)");
    } else {
        int32_t child = start;
        for (int depth = 0;; ++depth) {
            const uint32_t parentPid = StoredParentPid(app, child);
            if (depth > 0) AppendBounded(out, capacity, u" <- ");
            if (depth == kDetailsParentDepth) {
                AppendBounded(out, capacity, u"...");
                break;
            }
            const int32_t parent = parentPid != StoredPid(app, child)
                                       ? LastStartOfPid(app, parentPid, child - 1)
                                       : -1;
            if (parent < 0) {
                AppendFormat(out, capacity, u"%lu (not followed)",
                             static_cast<unsigned long>(parentPid));
                break;
            }
            AppendProcessOf(out, capacity, app, parent);
            child = parent;
        }
    }
    AppendBounded(out, capacity, u"\r\n");
    if (start >= 0 && !StoredTextEmpty(app, start, kTextPath)) {
        char16_t commandLine[kPathChars];
        CopyStoredText(app, start, kTextPath, commandLine, kPathChars);
        AppendField(out, capacity, u"Command line: ", commandLine, kPathChars);
    }
    AppendRowFacts(out, capacity, app, index);

    AppendBounded(out, capacity, u"\r\nMatched rules:\r\n");
    if (row->threat[0] != 0) {
        AppendBounded(out, capacity, u"  Threat rule (");
        AppendBounded(out, capacity, SeverityLabel(row->severity));
        AppendBounded(out, capacity, u"): ");
        AppendRevealedOneLine(out, capacity, row->threat, kThreatChars);
        AppendBounded(out, capacity, u"\r\n");
    }
    AppendYaraRulesOfRow(app, index, u"  ", out, capacity);
    // Then every Sigma rule the row matched, by level, title and id.
    constexpr int32_t kListed = 32;
    int32_t sigma[kListed];
    const SigmaRuleSet* set = LoadedSigmaRules(app);
    const int32_t sigmaCount = set != nullptr ? SigmaRulesOfRow(app, index, sigma, kListed) : 0;
    for (int32_t k = 0; k < sigmaCount && k < kListed; ++k) {
        const SigmaRuleInfo* rule = GetSigmaRule(set, sigma[k]);
        if (rule == nullptr) continue;
        AppendFormat(out, capacity, u"  Sigma rule (%s): ", SigmaLevelText(rule->level));
        AppendRevealedOneLine(out, capacity, rule->title);
        if (rule->id[0] != 0) {
            AppendBounded(out, capacity, u" [");
            AppendRevealedOneLine(out, capacity, rule->id);
            AppendBounded(out, capacity, u"]");
        }
        AppendBounded(out, capacity, u"\r\n");
    }
    if (sigmaCount > kListed) {
        AppendFormat(out, capacity, u"  and %d more Sigma rules (Rules Matched... lists them all)\r\n",
                     sigmaCount - kListed);
    }
    // What held, for the first few (each makes the row's view again).
    constexpr int32_t kExplained = 8;
    for (int32_t k = 0; k < sigmaCount && k < kExplained; ++k) {
        const SigmaRuleInfo* rule = GetSigmaRule(set, sigma[k]);
        char16_t said[1024];
        if (rule == nullptr || ExplainSigmaRowMatch(app, index, sigma[k], said, 1024) == 0) continue;
        AppendBounded(out, capacity, u"  What held for ");
        AppendRevealedOneLine(out, capacity, rule->title);
        AppendBounded(out, capacity, u":\r\n");
        for (char16_t* heldLine = said; *heldLine != 0;) {
            char16_t* end = heldLine;
            while (*end != 0 && *end != u'\n') ++end;
            const bool last = *end == 0;
            *end = 0;
            AppendBounded(out, capacity, u"    ");
            AppendRevealedOneLine(out, capacity, heldLine);
            AppendBounded(out, capacity, u"\r\n");
            heldLine = last ? end : end + 1;
        }
    }
    SigmaPossibleMatch possible[kListed];
    const int32_t possibleCount = set != nullptr ? SigmaPossibleRulesOfRow(app, index, possible, kListed) : 0;
    for (int32_t k = 0; k < possibleCount && k < kListed; ++k) {
        const SigmaRuleInfo* rule = GetSigmaRule(set, possible[k].rule);
        if (rule == nullptr) continue;
        AppendFormat(out, capacity, u"  Possible Sigma rule (%s, no severity): ", SigmaLevelText(rule->level));
        AppendRevealedOneLine(out, capacity, rule->title);
        AppendBounded(out, capacity, u" - not known: ");
        AppendSigmaFieldNames(possible[k].unknownFields, out, capacity);
        AppendBounded(out, capacity, u"\r\n");
    }
    if (row->threat[0] == 0 && sigmaCount == 0 && possibleCount == 0) AppendBounded(out, capacity, u"  none\r\n");
    return true;
}

void RowDetailsTitle(Recording* app, int32_t item, char16_t* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return;
    CopyBounded(out, capacity, u"Row Details");
    LockGuard guard(&app->rowsLock);
    if (item < 0 || item >= app->shownCount || app->shownRows == nullptr) return;
    AppendBounded(out, capacity, u" - ");
    char16_t operation[kOperationChars];
    CopyStoredText(app, app->shownRows[item], kTextOperation, operation, kOperationChars);
    AppendRevealedOneLine(out, capacity, operation, kOperationChars);
}

void ViewWindowTitle(const Recording* app, const char16_t* what, char16_t* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return;
    CopyBounded(out, capacity, what);
    if (app->sessionName[0] != 0) {
        AppendBounded(out, capacity, u" - session ");
        AppendRevealedOneLine(out, capacity, app->sessionName, 260);
    } else {
        AppendBounded(out, capacity, u" - recording");
    }
}

} // namespace olv
