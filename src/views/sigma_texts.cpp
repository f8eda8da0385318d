// The Sigma Rules window's texts and the row's "Rules Matched..." text (sigma_texts.h).
#include "views/sigma_texts.h"

#include <iterator>

#include "base/format.h"
#include "base/product.h"
#include "base/reveal_text.h"
#include "base/text.h"
#include "platform/lock.h"
#include "platform/memory.h"
#include "platform/ui.h"
#include "app/sigma_load_job.h"
#include "record/app_state.h"
#include "rules/threat_rules.h"
#include "sigma/sigma.h"
#include "views/sigma_rows.h"
#include "views/view_texts.h"

namespace olv {

const char16_t* const kSigmaRulesHeadings[kSigmaRulesColumnCount] = {u"Rule", u"Level", u"Rows",
                                                                     u"Id or reason", u"File"};
const int kSigmaRulesColumnWidths[kSigmaRulesColumnCount] = {330, 90, 60, 260, 260};

namespace {

// Matches of one row that the Rules Matched text asks for (the row store keeps at most 256).
constexpr int32_t kListedSigmaMatches = 256;

const SigmaRuleSet* RulesOf(const AppState* app) {
    return SigmaRulesLoaded(app) ? LoadedSigmaRules(app) : nullptr;
}

void ActivateFromWindow(void* context, int item) {
    ActivateSigmaRulesItem(static_cast<AppState*>(context), item);
}

// Fills an open window: headline and every item.
void FillSigmaRulesWindow(AppState* app, UiHandle window) {
    char16_t headline[kSigmaRulesHeadlineChars];
    ComposeSigmaRulesHeadline(app, headline, kSigmaRulesHeadlineChars);
    UiListWindowSetHeadline(window, headline);
    UiListWindowClear(window);
    static char16_t cells[kSigmaRulesColumnCount][kSigmaRulesCellChars];
    const char16_t* row[kSigmaRulesColumnCount];
    const int32_t items = SigmaRulesItemCount(app);
    for (int32_t item = 0; item < items; ++item) {
        for (int column = 0; column < kSigmaRulesColumnCount; ++column) {
            ComposeSigmaRulesCell(app, item, column, cells[column], kSigmaRulesCellChars);
            row[column] = cells[column];
        }
        if (!UiListWindowAddItem(window, row, kSigmaRulesColumnCount)) break;
    }
}

UiHandle OpenSigmaRulesWindow(const AppState* app) {
    return app->sigma != nullptr && UiIsListWindow(app->sigma->rulesWindow) ? app->sigma->rulesWindow
                                                                            : nullptr;
}

// The row the text is about: its time, process, operation, path, detail and threat text.
void AppendRowLine(AppState* app, int32_t index, char16_t* out, size_t capacity) {
    const EventRow* row = &app->rows[index];
    char16_t cell[kDisplayBufferChars];
    ComposeCellText(row, 0, cell, kDisplayBufferChars);
    // Recorded texts come from the examined program: hidden characters show as marks and no
    // line break of theirs starts a line of this text.
    AppendFormat(out, capacity, u"Time: %s\r\nProcess: ", cell);
    AppendRevealedOneLine(out, capacity, row->process, kProcessChars - 1);
    AppendFormat(out, capacity, u" (PID %lu)\r\nOperation: ", row->pid);
    AppendRevealedOneLine(out, capacity, row->operation, kOperationChars - 1);
    AppendBounded(out, capacity, u"\r\n");
    static const char16_t* const kLabels[] = {u"Path: ", u"Detail: ", u"Threat: "};
    const char16_t* const texts[] = {row->path, row->detail, row->threat};
    const size_t sizes[] = {kPathChars, kDetailChars, kThreatChars};
    for (int k = 0; k < 3; ++k) {
        if (texts[k][0] == 0) continue;
        AppendBounded(out, capacity, kLabels[k]);
        AppendRevealedOneLine(out, capacity, texts[k], sizes[k] - 1);
        AppendBounded(out, capacity, u"\r\n");
    }
}

// Lines of ExplainSigmaRowMatch (LF-ended), each indented and ended by CR LF. The values come from
// the rule's author and the row's fields: revealed, one line each.
void AppendExplanation(AppState* app, int32_t row, int32_t rule, const char16_t* indent, char16_t* out,
                       size_t capacity) {
    char16_t said[2048];
    if (ExplainSigmaRowMatch(app, row, rule, said, std::size(said)) == 0) return;
    for (char16_t* line = said; *line != 0;) {
        char16_t* end = line;
        while (*end != 0 && *end != u'\n') ++end;
        const bool last = *end == 0;
        *end = 0;
        AppendBounded(out, capacity, indent);
        AppendRevealedOneLine(out, capacity, line);
        AppendBounded(out, capacity, u"\r\n");
        line = last ? end : end + 1;
    }
}

} // namespace

void ComposeSigmaRuleNotes(const AppState* app, int32_t rule, char16_t* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return;
    out[0] = 0;
    const SigmaRuleInfo* info = GetSigmaRule(RulesOf(app), rule);
    if (info == nullptr) return;
    if (info->partial[0] != 0) {
        AppendBounded(out, capacity, u"partial: ");
        AppendRevealedOneLine(out, capacity, info->partial);
        AppendBounded(out, capacity, u" never recorded");
    }
    const int32_t possible = SigmaPossibleRowsOfRule(app, rule);
    if (possible > 0) {
        if (out[0] != 0) AppendBounded(out, capacity, u"; ");
        AppendFormat(out, capacity, possible == 1 ? u"possible on %d row: " : u"possible on %d rows: ",
                     possible);
        AppendSigmaFieldNames(SigmaPossibleFieldsOfRule(app, rule), out, capacity);
        AppendBounded(out, capacity, u" not known");
    }
}

int32_t SigmaRulesItemCount(const AppState* app) {
    const SigmaRuleSet* set = RulesOf(app);
    if (set == nullptr) return 0;
    return SigmaRuleCount(set) + SigmaRefusalCount(set);
}

void ComposeSigmaRulesHeadline(const AppState* app, char16_t* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return;
    out[0] = 0;
    const SigmaRuleSet* set = RulesOf(app);
    if (set == nullptr) {
        FormatText(out, capacity,
                   u"No Sigma rules are loaded. File > \"Load Sigma Rules...\" reads a folder of "
                   u"rule files (.yml, .yaml, sub-folders too); the \"rules\" folder beside "
                   u"%s.exe is read at start-up. The %d built-in rules always apply.",
                   kProductName, static_cast<int32_t>(kThreatRuleCount));
        return;
    }
    const int32_t loaded = SigmaRuleCount(set);
    const int32_t refused = SigmaRefusalCount(set);
    FormatText(out, capacity,
               loaded == 1 ? u"%d Sigma rule loaded from %.400s" : u"%d Sigma rules loaded from %.400s",
               loaded, SigmaRuleFolder(set));
    AppendFormat(out, capacity,
                 refused == 1 ? u"; %d of the %d files read was refused (listed after the rules, "
                                u"with its reason)."
                              : u"; %d of the %d files read were refused (listed after the rules, "
                                u"with their reasons).",
                 refused, SigmaFileCount(set));
    int32_t partial = 0;
    int32_t possible = 0;
    for (int32_t r = 0; r < loaded; ++r) {
        const SigmaRuleInfo* info = GetSigmaRule(set, r);
        if (info != nullptr && info->partial[0] != 0) ++partial;
        if (SigmaPossibleRowsOfRule(app, r) > 0) ++possible;
    }
    if (partial > 0) {
        AppendFormat(out, capacity,
                     partial == 1 ? u" %d rule is partial: it names fields that are never recorded, "
                                    u"which never make it match (its notes name them)."
                                  : u" %d rules are partial: they name fields that are never "
                                    u"recorded, which never make them match (their notes name them).",
                     partial);
    }
    if (possible > 0) {
        AppendFormat(out, capacity,
                     possible == 1 ? u" %d rule is undecided on some rows for fields those rows could "
                                     u"not learn (possible matches; they raise no severity)."
                                   : u" %d rules are undecided on some rows for fields those rows "
                                     u"could not learn (possible matches; they raise no severity).",
                     possible);
    }
    const uint64_t bounded = SigmaMatchWorkLimitHits(set);
    AppendFormat(out, capacity,
                 bounded == 1 ? u" %lu regular-expression test hit the work bound and counted as "
                                u"no match."
                              : u" %lu regular-expression tests hit the work bound and counted as "
                                u"no match.",
                 bounded);
    char16_t cost[512];
    if (ComposeSigmaCostNotes(app, cost, 512) > 0) {
        for (char16_t& c : cost) {
            if (c == u'\n') c = u' ';
        }
        AppendBounded(out, capacity, u" ");
        AppendBoundedN(out, capacity, cost, TextLength(cost) - 1);
    }
    const int32_t viewed = SigmaRuleView(app);
    const SigmaRuleInfo* rule = viewed >= 0 ? GetSigmaRule(set, viewed) : nullptr;
    if (rule != nullptr) {
        AppendFormat(out, capacity,
                     u" The event list shows only the rows of \"%.200s\": double-click it again "
                     u"to show all rows.",
                     rule->title);
    } else {
        AppendBounded(out, capacity,
                      u" Double-click a rule to show only its rows; double-click it again to show "
                      u"all rows.");
    }
}

void ComposeSigmaRulesCell(const AppState* app, int32_t item, int column, char16_t* out,
                           size_t capacity) {
    if (out == nullptr || capacity == 0) return;
    out[0] = 0;
    const SigmaRuleSet* set = RulesOf(app);
    if (set == nullptr || item < 0) return;
    // Titles and file names come from rule files as they are; they are shown as written.
    const int32_t rules = SigmaRuleCount(set);
    if (item < rules) {
        const SigmaRuleInfo* rule = GetSigmaRule(set, item);
        if (rule == nullptr) return;
        switch (column) {
        case 0:
            CopyRevealed(out, capacity, rule->title);
            break;
        case 1:
            CopyBounded(out, capacity, SigmaLevelText(rule->level));
            break;
        case 2:
            FormatText(out, capacity, u"%d", SigmaRowsOfRule(app, item));
            break;
        case 3: {
            CopyRevealed(out, capacity, rule->id);
            char16_t notes[400];
            ComposeSigmaRuleNotes(app, item, notes, std::size(notes));
            if (notes[0] != 0) {
                if (out[0] != 0) AppendBounded(out, capacity, u"; ");
                AppendBounded(out, capacity, notes);
            }
            break;
        }
        case 4:
            CopyRevealed(out, capacity, rule->file);
            break;
        default:
            break;
        }
        return;
    }
    const SigmaRefusal* refusal = GetSigmaRefusal(set, item - rules);
    if (refusal == nullptr) return;
    switch (column) {
    case 0:
        CopyRevealed(out, capacity, refusal->detail);
        break;
    case 1:
        CopyBounded(out, capacity, u"refused");
        break;
    case 3:
        CopyBounded(out, capacity, SigmaRefusalReasonText(refusal->reason));
        break;
    case 4:
        CopyRevealed(out, capacity, refusal->file);
        break;
    default:
        break;
    }
}

int32_t ComposeSigmaCostNotes(const AppState* app, char16_t* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return 0;
    out[0] = 0;
    const SigmaRuleSet* set = RulesOf(app);
    int32_t lines = 0;
    const int32_t setAside = SigmaRulesSetAside(set);
    if (setAside > 0) {
        AppendFormat(out, capacity,
                     u"Sigma rules set aside for cost: %d (they kept hitting the matching work bound "
                     u"and match nothing for the rest of the recording).\n",
                     setAside);
        ++lines;
    }
    const uint64_t over = SigmaRowsOverBudget(set);
    if (over > 0) {
        AppendFormat(out, capacity,
                     u"Rows whose Sigma matching ran out of its work budget: %lu (the rules not "
                     u"tried on them counted as no match).\n",
                     static_cast<uint32_t>(over > 0xFFFFFFFFu ? 0xFFFFFFFFu : over));
        ++lines;
    }
    return lines;
}

int32_t SigmaRuleOfItem(const AppState* app, int32_t item) {
    const SigmaRuleSet* set = RulesOf(app);
    if (set == nullptr || item < 0 || item >= SigmaRuleCount(set)) return -1;
    return item;
}

const char16_t* SigmaRefusalReasonText(uint32_t reason) {
    static const char16_t* const kTexts[kSigmaRefusalReasonCount] = {
        u"YAML or condition syntax",
        u"file over 1 MiB",
        u"not valid UTF-8",
        u"another product",
        u"a log source service",
        u"a category not recorded",
        u"a field the recorder never fills",
        u"an unknown modifier",
        u"an expand placeholder",
        u"a correlation or filter document",
        u"a construct not supported",
        u"beyond the reader's bounds",
        u"file could not be read",
    };
    return reason < kSigmaRefusalReasonCount ? kTexts[reason] : u"";
}

void RefreshSigmaRulesWindow(AppState* app) {
    UiHandle window = OpenSigmaRulesWindow(app);
    if (window != nullptr) FillSigmaRulesWindow(app, window);
}

void ShowSigmaRulesWindow(AppState* app) {
    UiHandle window = OpenSigmaRulesWindow(app);
    if (window == nullptr) {
        // The window's handle lives in the Sigma state, made here when no rules were ever loaded.
        if (MakeSigmaState(app) == nullptr) return; // memory refused: the command ends silently
        const UiListWindowSpec spec{u"Sigma Rules",           900, 480, kSigmaRulesHeadings,
                                    kSigmaRulesColumnWidths, kSigmaRulesColumnCount,
                                    ActivateFromWindow,      app};
        window = UiOpenListWindow(app->mainWindow, app->instance, app->uiFont, &spec);
        if (window == nullptr) return;
        app->sigma->rulesWindow = window;
    }
    FillSigmaRulesWindow(app, window);
    UiShowViewWindow(window);
}

void ActivateSigmaRulesItem(AppState* app, int32_t item) {
    const int32_t rule = SigmaRuleOfItem(app, item);
    if (rule < 0) return;
    SetSigmaRuleView(app, SigmaRuleView(app) == rule ? -1 : rule);
    UiHandle window = OpenSigmaRulesWindow(app);
    if (window != nullptr) {
        char16_t headline[kSigmaRulesHeadlineChars];
        ComposeSigmaRulesHeadline(app, headline, kSigmaRulesHeadlineChars);
        UiListWindowSetHeadline(window, headline);
    }
}

void AppendSigmaLoadStatus(const AppState* app, char16_t* out, size_t capacity) {
    if (app == nullptr || app->sigma == nullptr) return;
    const SigmaRuleSet* set = LoadedSigmaRules(app);
    if (set != nullptr) {
        const int32_t rules = SigmaRuleCount(set);
        const int32_t refused = SigmaRefusalCount(set);
        AppendFormat(out, capacity, rules == 1 ? u" | %d Sigma rule" : u" | %d Sigma rules", rules);
        AppendFormat(out, capacity, refused == 1 ? u", %d file refused" : u", %d files refused", refused);
    }
    // The rules above stay in force until the load ends.
    if (app->sigma->loading != nullptr) {
        char16_t progress[128];
        ComposeSigmaLoadProgress(app->sigma->loading, progress, 128, nullptr);
        AppendFormat(out, capacity, u" | Loading Sigma rules: %s", progress);
    }
}

void AppendSigmaRuleViewStatus(const AppState* app, char16_t* out, size_t capacity) {
    const int32_t viewed = SigmaRuleView(app);
    if (viewed < 0) return;
    const SigmaRuleInfo* rule = GetSigmaRule(LoadedSigmaRules(app), viewed);
    if (rule == nullptr) return;
    AppendFormat(out, capacity, u" | Only rows of Sigma rule \"%.60s\"", rule->title);
}

bool ComposeRulesMatchedText(AppState* app, int item, char16_t* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return false;
    out[0] = 0;
    LockGuard guard(&app->rowsLock);
    if (item < 0 || item >= app->shownCount) return false;
    const int32_t index = app->shownRows[item];
    const EventRow* row = &app->rows[index];

    int32_t builtIn[kThreatRuleCount];
    const int32_t builtInCount = MatchingThreatRules(row, builtIn, kThreatRuleCount);
    const SigmaRuleSet* set = RulesOf(app);
    int32_t sigma[kListedSigmaMatches];
    int32_t sigmaCount = set != nullptr ? SigmaRulesOfRow(app, index, sigma, kListedSigmaMatches) : 0;
    if (sigmaCount > kListedSigmaMatches) sigmaCount = kListedSigmaMatches;

    AppendRowLine(app, index, out, capacity);
    AppendBounded(out, capacity, u"\r\n");
    if (builtInCount == 0 && sigmaCount == 0) {
        AppendBounded(out, capacity, u"This row matched no rule.\r\n\r\n");
    }
    AppendFormat(out, capacity, u"Built-in rules matched: %d\r\n", builtInCount);
    char16_t line[1100];
    for (int32_t k = 0; k < builtInCount && k < static_cast<int32_t>(kThreatRuleCount); ++k) {
        const ThreatRule& rule = kThreatRules[builtIn[k]];
        char16_t id[16];
        FormatText(id, 16, u"built-in-%02d", builtIn[k] + 1);
        FormatText(line, 1100, u"  %-14s %-38s %.300s\r\n",
                   SeverityLabel(static_cast<uint32_t>(rule.severity)), id, rule.name);
        AppendBounded(out, capacity, line);
    }
    AppendBounded(out, capacity, u"\r\n");
    if (set == nullptr) {
        AppendBounded(out, capacity, u"No Sigma rules are loaded.\r\n");
        return true;
    }
    AppendFormat(out, capacity, u"Sigma rules matched: %d\r\n", sigmaCount);
    for (int32_t k = 0; k < sigmaCount; ++k) {
        const SigmaRuleInfo* rule = GetSigmaRule(set, sigma[k]);
        if (rule == nullptr) continue;
        // Title, id and file come from the rule's author: revealed, each on its own line.
        char16_t id[kSigmaIdChars * 8];
        id[0] = 0;
        AppendRevealedOneLine(id, std::size(id), rule->id[0] != 0 ? rule->id : u"(no id)");
        FormatText(line, 1100, u"  %-14s %-38s ", SigmaLevelText(rule->level), id);
        AppendBounded(out, capacity, line);
        AppendRevealedOneLine(out, capacity, rule->title);
        FormatText(line, 1100, u"\r\n  %-14s %-38s file: ", u"", u"");
        AppendBounded(out, capacity, line);
        AppendRevealedOneLine(out, capacity, rule->file);
        AppendBounded(out, capacity, u"\r\n");
        AppendExplanation(app, index, sigma[k], u"    held: ", out, capacity);
    }
    SigmaPossibleMatch possible[kListedSigmaMatches];
    int32_t possibleCount = SigmaPossibleRulesOfRow(app, index, possible, kListedSigmaMatches);
    if (possibleCount > kListedSigmaMatches) possibleCount = kListedSigmaMatches;
    if (possibleCount > 0) {
        AppendFormat(out, capacity,
                     u"\r\nSigma rules possibly matched (undecided: fields this row could not learn; no "
                     u"severity raised): %d\r\n",
                     possibleCount);
    }
    for (int32_t k = 0; k < possibleCount; ++k) {
        const SigmaRuleInfo* rule = GetSigmaRule(set, possible[k].rule);
        if (rule == nullptr) continue;
        char16_t id[kSigmaIdChars * 8];
        id[0] = 0;
        AppendRevealedOneLine(id, std::size(id), rule->id[0] != 0 ? rule->id : u"(no id)");
        FormatText(line, 1100, u"  %-14s %-38s ", SigmaLevelText(rule->level), id);
        AppendBounded(out, capacity, line);
        AppendRevealedOneLine(out, capacity, rule->title);
        AppendBounded(out, capacity, u"\r\n    not known: ");
        AppendSigmaFieldNames(possible[k].unknownFields, out, capacity);
        AppendBounded(out, capacity, u"\r\n");
    }
    return true;
}

void ShowRulesMatched(AppState* app, int item) {
    auto* text = static_cast<char16_t*>(AllocZeroed(kRulesMatchedChars * sizeof(char16_t)));
    if (text == nullptr) return;
    if (ComposeRulesMatchedText(app, item, text, kRulesMatchedChars)) {
        if (app->summaryFont == nullptr) app->summaryFont = UiMakeSummaryFont();
        const FontHandle font = app->summaryFont != nullptr ? app->summaryFont : app->uiFont;
        // A details window: Copy takes the whole text, Escape closes it.
        UiHandle window =
            UiOpenDetailsWindow(app->mainWindow, app->instance, u"Rules Matched", 720, 360, font, text);
        if (window != nullptr) UiShowViewWindow(window);
    }
    FreeBlock(text);
}

} // namespace olv
