// The Sigma Rules window's texts and the row's "Rules Matched..." text (sigma_texts.h).
#include "views/sigma_texts.h"

#include <iterator>

#include "base/atomic.h"
#include "base/format.h"
#include "base/product.h"
#include "base/reveal_text.h"
#include "base/text.h"
#include "platform/lock.h"
#include "platform/memory.h"
#include "platform/ui.h"
#include "record/recording.h"
#include "record/stored_rows.h"
#include "rules/threat_rules.h"
#include "sigma/sigma.h"
#include "views/row_details.h"
#include "views/sigma_rows.h"
#include "views/sigma_rules_list.h"
#include "views/view_texts.h"
#include "views/yara_rows.h"

namespace olv {

const char16_t* const kSigmaRulesHeadings[kSigmaRulesColumnCount] = {
    u"Rule", u"Level", u"Category", u"Rows", u"Possible", u"File", u"Id or reason"};
const int kSigmaRulesColumnWidths[kSigmaRulesColumnCount] = {320, 80, 120, 64, 72, 260, 260};
const char16_t* const kSigmaRulesChoices[kRulesChoiceCount] = {
    u"All rules and refused files", u"Rules that matched", u"Rules possible on some rows",
    u"Refused files"};

namespace {

// Matches of one row that the Rules Matched text asks for (the row store keeps at most 256).
constexpr int32_t kListedSigmaMatches = 256;

// A rule's line in the Rules Matched text: level, id and title. Title and id come from the rule's
// author: revealed, kept on one line. line is a scratch buffer of 1100 characters.
void AppendRuleLine(const SigmaRuleInfo* rule, char16_t* line, char16_t* out, size_t capacity) {
    char16_t id[kSigmaIdChars * 8];
    id[0] = 0;
    AppendRevealedOneLine(id, std::size(id), rule->id[0] != 0 ? rule->id : u"(no id)");
    FormatText(line, 1100, u"  %-14s %-38s ", SigmaLevelText(rule->level), id);
    AppendBounded(out, capacity, line);
    AppendRevealedOneLine(out, capacity, rule->title);
}

const SigmaRuleSet* RulesOf(const Recording* app) {
    return SigmaRulesLoaded(app) ? LoadedSigmaRules(app) : nullptr;
}

UiHandle OpenSigmaRulesWindow(const Recording* app) {
    return app->sigma != nullptr && UiIsListWindow(app->sigma->rulesWindow) ? app->sigma->rulesWindow
                                                                            : nullptr;
}

SigmaRulesList* ListOf(const Recording* app) {
    return app->sigma != nullptr ? app->sigma->rulesList : nullptr;
}

void SetHeadline(Recording* app, UiHandle window) {
    char16_t headline[kSigmaRulesHeadlineChars];
    ComposeSigmaRulesHeadline(app, headline, kSigmaRulesHeadlineChars);
    UiListWindowSetHeadline(window, headline);
}

// Picks and orders the entries, then gives the window their count and its sort arrow; the
// entry focused before stays focused when it is still shown.
void Reorder(Recording* app, UiHandle window) {
    SigmaRulesList* list = ListOf(app);
    if (list == nullptr) return;
    const int32_t focused = SigmaRulesEntryAt(list, UiListWindowFocusedLine(window));
    BuildSigmaRulesOrder(app, list);
    UiListWindowSetLineCount(window, list->count);
    UiListWindowSetSortArrow(window, list->sortColumn, list->descending != 0 ? -1 : 1);
    const int32_t line = SigmaRulesLineOf(list, focused);
    if (line >= 0) UiListWindowSelectLine(window, line);
    SetHeadline(app, window);
}

void CellFromWindow(void* context, int line, int column, char16_t* out, size_t capacity) {
    ComposeSigmaRulesLineCell(static_cast<Recording*>(context), line, column, out, capacity);
}
void ActivateFromWindow(void* context, int line) {
    ActivateSigmaRulesItem(static_cast<Recording*>(context), line);
}
void SortFromWindow(void* context, int column) {
    SortSigmaRulesWindow(static_cast<Recording*>(context), column);
}
void SearchFromWindow(void* context, const char16_t* text) {
    SearchSigmaRulesWindow(static_cast<Recording*>(context), text);
}
void ChooseFromWindow(void* context, int choice) {
    ChooseSigmaRulesWindow(static_cast<Recording*>(context), choice);
}
void CommandFromWindow(void* context, int command) {
    SigmaRulesWindowCommand(static_cast<Recording*>(context), command);
}

const UiListMenuItem kSigmaRulesMenu[] = {
    {u"&Show Only This Rule's Rows\tEnter", kRulesCommandShowRows},
    {u"Show &All Rows", kRulesCommandShowAllRows},
    {u"&Copy\tCtrl+C", kRulesCommandCopy},
};

// The row the text is about: its time, process, operation, path, detail and threat text.
void AppendRowLine(const EventRow* row, char16_t* out, size_t capacity) {
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
void AppendExplanation(Recording* app, int32_t row, int32_t rule, const char16_t* indent, char16_t* out,
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

void ComposeSigmaRuleNotes(const Recording* app, int32_t rule, char16_t* out, size_t capacity) {
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

int32_t SigmaRulesItemCount(const Recording* app) {
    const SigmaRuleSet* set = RulesOf(app);
    if (set == nullptr) return 0;
    return SigmaRuleCount(set) + SigmaRefusalCount(set);
}

void ComposeSigmaRulesHeadline(const Recording* app, char16_t* out, size_t capacity) {
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
    FormatText(out, capacity, loaded == 1 ? u"%d Sigma rule loaded" : u"%d Sigma rules loaded", loaded);
    // Rules given as text (no folder) have no place to name.
    if (SigmaRuleFolder(set)[0] != 0) AppendFormat(out, capacity, u" from %.400s", SigmaRuleFolder(set));
    AppendFormat(out, capacity,
                 refused == 1 ? u"; %d of the %d files read was refused (\"Refused files\" "
                                u"lists it with its reason)."
                              : u"; %d of the %d files read were refused (\"Refused files\" "
                                u"lists them with their reasons).",
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
                 bounded == 1 ? u" %lu test hit the work bound and counted as no match."
                              : u" %lu tests hit the work bound and counted as no match.",
                 bounded);
    char16_t cost[512];
    if (ComposeSigmaCostNotes(app, cost, 512) > 0) {
        for (char16_t& c : cost) {
            if (c == u'\n') c = u' ';
        }
        AppendBounded(out, capacity, u" ");
        AppendBoundedN(out, capacity, cost, TextLength(cost) - 1);
    }
    const SigmaRulesList* list = ListOf(app);
    if (list != nullptr) {
        AppendFormat(out, capacity, u" Shown: %d of %d.", list->count, loaded + refused);
    }
    const int32_t viewed = SigmaRuleView(app);
    const SigmaRuleInfo* rule = viewed >= 0 ? GetSigmaRule(set, viewed) : nullptr;
    if (rule != nullptr) {
        AppendFormat(out, capacity,
                     u" The event list shows only the rows of \"%.200s\" (marked): Enter on it "
                     u"again, \"Show All Rows\" in the menu, or Esc in the event list shows all "
                     u"rows.",
                     rule->title);
    } else {
        AppendBounded(out, capacity,
                      u" Enter or a double-click on a rule shows only its rows; the menu key "
                      u"and right-click give the menu; Ctrl+C copies the selected lines; Tab moves "
                      u"between the search, the choice and the list; Esc clears the search, "
                      u"then closes the window.");
    }
}

const char16_t* SigmaCategoryText(uint32_t category) {
    static const char16_t* const kNames[kSigmaCategoryCount] = {
        u"process_creation", u"image_load",      u"file_event",         u"file_delete",
        u"registry_add",     u"registry_delete", u"registry_set",       u"registry_event",
        u"network_connection", u"dns_query",    u"pipe_created",       u"create_stream_hash",
        u"file_access",      u"file_rename",     u"raw_access_thread",  u"dns-client",
        u"ps_script",        u"ps_module",       u"process_access",     u"driver_load",
        u"create_remote_thread"};
    return category < kSigmaCategoryCount ? kNames[category] : u"";
}

void ComposeSigmaRulesCell(const Recording* app, int32_t item, int column, char16_t* out,
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
        case kRulesColumnTitle:
            CopyRevealed(out, capacity, rule->title);
            break;
        case kRulesColumnLevel:
            CopyBounded(out, capacity, SigmaLevelText(rule->level));
            break;
        case kRulesColumnCategory:
            for (uint32_t c = 0; c < kSigmaCategoryCount; ++c) {
                if ((rule->categories & (1u << c)) != 0) {
                    CopyBounded(out, capacity, SigmaCategoryText(c));
                    break;
                }
            }
            break;
        case kRulesColumnRows:
            FormatText(out, capacity, u"%d", SigmaRowsOfRule(app, item));
            break;
        case kRulesColumnPossible:
            FormatText(out, capacity, u"%d", SigmaPossibleRowsOfRule(app, item));
            break;
        case kRulesColumnFile:
            CopyRevealed(out, capacity, rule->file);
            break;
        case kRulesColumnId: {
            CopyRevealed(out, capacity, rule->id);
            char16_t notes[400];
            ComposeSigmaRuleNotes(app, item, notes, std::size(notes));
            if (notes[0] != 0) {
                if (out[0] != 0) AppendBounded(out, capacity, u"; ");
                AppendBounded(out, capacity, notes);
            }
            break;
        }
        default:
            break;
        }
        return;
    }
    const SigmaRefusal* refusal = GetSigmaRefusal(set, item - rules);
    if (refusal == nullptr) return;
    switch (column) {
    case kRulesColumnTitle:
        CopyRevealed(out, capacity, refusal->title);
        break;
    case kRulesColumnLevel:
        CopyBounded(out, capacity, u"refused");
        break;
    case kRulesColumnFile:
        CopyRevealed(out, capacity, refusal->file);
        break;
    case kRulesColumnId:
        CopyBounded(out, capacity, SigmaRefusalReasonText(refusal->reason));
        AppendBounded(out, capacity, u": ");
        AppendRevealed(out, capacity, refusal->detail);
        break;
    default:
        break;
    }
}

int32_t ComposeSigmaCostNotes(const Recording* app, char16_t* out, size_t capacity) {
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
    const uint64_t unindexed = SigmaRowsWithoutMemory(set);
    if (unindexed > 0) {
        AppendFormat(out, capacity,
                     u"Rows not matched against the Sigma rules because memory was refused: %lu.\n",
                     static_cast<uint32_t>(unindexed > 0xFFFFFFFFu ? 0xFFFFFFFFu : unindexed));
        ++lines;
    }
    return lines;
}

void ComposeSigmaRulesLineCell(const Recording* app, int32_t line, int column, char16_t* out,
                               size_t capacity) {
    if (out == nullptr || capacity == 0) return;
    out[0] = 0;
    const int32_t entry = SigmaRulesEntryAt(ListOf(app), line);
    if (entry < 0) return;
    const int32_t viewed = SigmaRuleView(app);
    if (column == kRulesColumnTitle && viewed >= 0 && entry == viewed) {
        CopyBounded(out, capacity, u"\u00BB ");
        const size_t at = TextLength(out);
        ComposeSigmaRulesCell(app, entry, column, out + at, capacity - at);
        return;
    }
    ComposeSigmaRulesCell(app, entry, column, out, capacity);
}

int32_t SigmaRuleOfItem(const Recording* app, int32_t item) {
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

void RefreshSigmaRulesWindow(Recording* app) {
    UiHandle window = OpenSigmaRulesWindow(app);
    if (window != nullptr) Reorder(app, window);
}

void RefreshSigmaRulesCounts(Recording* app) {
    UiHandle window = OpenSigmaRulesWindow(app);
    SigmaRulesList* list = ListOf(app);
    if (window == nullptr || list == nullptr) return;
    const uint32_t stamp = app->sigma->countsStamp;
    const int32_t viewed = SigmaRuleView(app);
    if (list->setSeen != RulesOf(app)) { // another set was installed: its entries are others
        Reorder(app, window);
        return;
    }
    if (stamp == list->countsStampSeen && viewed == list->viewRuleSeen) return;
    const bool countsOrder = list->choice == kRulesShowMatched ||
                             list->choice == kRulesShowPossible ||
                             list->sortColumn == kRulesColumnRows ||
                             list->sortColumn == kRulesColumnPossible;
    if (countsOrder && stamp != list->countsStampSeen) {
        Reorder(app, window);
        return;
    }
    list->countsStampSeen = stamp;
    list->viewRuleSeen = viewed;
    UiListWindowRedraw(window);
    SetHeadline(app, window);
}

UiHandle RaiseSigmaRulesWindow(Recording* app) {
    UiHandle window = OpenSigmaRulesWindow(app);
    if (window != nullptr) {
        // Open already: its lines are drawn from the rules as they are, so it only comes forward.
        RefreshSigmaRulesCounts(app);
        UiShowViewWindow(window);
    }
    return window;
}

bool SigmaRulesWindowSpec(Recording* app, UiListWindowSpec* spec) {
    // The window's handle lives in the Sigma state, made here when no rules were ever loaded.
    if (MakeSigmaState(app) == nullptr) return false;
    if (app->sigma->rulesList == nullptr) {
        app->sigma->rulesList = AllocRecord<SigmaRulesList>();
        if (app->sigma->rulesList == nullptr) return false;
        app->sigma->rulesList->sortColumn = -1;
    }
    *spec = UiListWindowSpec{};
    spec->title = u"Sigma Rules";
    spec->width = 1000;
    spec->height = 560;
    spec->headings = kSigmaRulesHeadings;
    spec->columnWidths = kSigmaRulesColumnWidths;
    spec->columnCount = kSigmaRulesColumnCount;
    spec->choices = kSigmaRulesChoices;
    spec->choiceCount = kRulesChoiceCount;
    spec->menu = kSigmaRulesMenu;
    spec->menuCount = static_cast<int>(std::size(kSigmaRulesMenu));
    spec->context = app;
    spec->cell = CellFromWindow;
    spec->activate = ActivateFromWindow;
    spec->sort = SortFromWindow;
    spec->search = SearchFromWindow;
    spec->choose = ChooseFromWindow;
    spec->command = CommandFromWindow;
    return true;
}

void AdoptSigmaRulesWindow(Recording* app, UiHandle window) {
    if (window == nullptr || app->sigma == nullptr) return;
    app->sigma->rulesWindow = window;
    Reorder(app, window);
    UiShowViewWindow(window);
}

void ActivateSigmaRulesItem(Recording* app, int32_t line) {
    const int32_t rule = SigmaRuleOfItem(app, SigmaRulesEntryAt(ListOf(app), line));
    if (rule < 0) return;
    SetSigmaRuleView(app, SigmaRuleView(app) == rule ? -1 : rule);
    UpdateStatusBar(app);
    RefreshSigmaRulesCounts(app);
}

void EndSigmaRuleView(Recording* app) {
    if (SigmaRuleView(app) < 0) return;
    SetSigmaRuleView(app, -1);
    UpdateStatusBar(app);
    RefreshSigmaRulesCounts(app);
}

void SortSigmaRulesWindow(Recording* app, int column) {
    UiHandle window = OpenSigmaRulesWindow(app);
    if (window == nullptr) return;
    SortSigmaRulesBy(ListOf(app), column);
    Reorder(app, window);
}

void SearchSigmaRulesWindow(Recording* app, const char16_t* text) {
    UiHandle window = OpenSigmaRulesWindow(app);
    SigmaRulesList* list = ListOf(app);
    if (window == nullptr || list == nullptr) return;
    CopyBounded(list->search, kRulesSearchChars, text != nullptr ? text : u"");
    Reorder(app, window);
}

void ChooseSigmaRulesWindow(Recording* app, int choice) {
    UiHandle window = OpenSigmaRulesWindow(app);
    SigmaRulesList* list = ListOf(app);
    if (window == nullptr || list == nullptr || choice < 0 || choice >= kRulesChoiceCount) return;
    list->choice = choice;
    Reorder(app, window);
}

void SigmaRulesWindowCommand(Recording* app, int command) {
    UiHandle window = OpenSigmaRulesWindow(app);
    if (window == nullptr) return;
    switch (command) {
    case kRulesCommandShowRows:
        ActivateSigmaRulesItem(app, UiListWindowFocusedLine(window));
        break;
    case kRulesCommandShowAllRows:
        EndSigmaRuleView(app);
        break;
    default:
        break;
    }
}

char16_t* SigmaRulesSelectionText(Recording* app, size_t* length) {
    *length = 0;
    UiHandle window = OpenSigmaRulesWindow(app);
    const SigmaRulesList* list = ListOf(app);
    if (window == nullptr || list == nullptr || list->count == 0) return nullptr;
    // The selected lines, at most every line of the list.
    auto* lines =
        static_cast<int32_t*>(AllocZeroed(static_cast<size_t>(list->count) * sizeof(int32_t)));
    if (lines == nullptr) return nullptr;
    int32_t n = 0;
    for (int line = UiListWindowNextSelected(window, -1); line >= 0 && n < list->count;
         line = UiListWindowNextSelected(window, line)) {
        lines[n++] = line;
    }
    char16_t* text = BuildSigmaRulesCopyText(app, list, lines, n, length);
    FreeBlock(lines);
    return text;
}

void AppendSigmaLoadStatus(const Recording* app, char16_t* out, size_t capacity) {
    if (app == nullptr || app->sigma == nullptr) return;
    const SigmaRuleSet* set = LoadedSigmaRules(app);
    if (set != nullptr) {
        const int32_t rules = SigmaRuleCount(set);
        const int32_t refused = SigmaRefusalCount(set);
        AppendFormat(out, capacity, rules == 1 ? u" | %d Sigma rule" : u" | %d Sigma rules", rules);
        AppendFormat(out, capacity, refused == 1 ? u", %d file refused" : u", %d files refused", refused);
        const int32_t raised = SigmaRowsRaised(app);
        AppendFormat(out, capacity, raised == 1 ? u", %d row raised" : u", %d rows raised", raised);
    }
    // The rules above stay in force until the load ends.
    if (app->sigma->loading != nullptr) {
        char16_t progress[128];
        ComposeSigmaLoadProgress(app->sigma->loading, progress, 128, nullptr);
        AppendFormat(out, capacity, u" | Loading Sigma rules: %s", progress);
    }
}

void ComposeSigmaLoadProgress(const SigmaLoadProgress* progress, char16_t* out, size_t capacity,
                              uint32_t* perMille) {
    if (perMille != nullptr) *perMille = 0;
    if (out == nullptr || capacity == 0) return;
    out[0] = 0;
    if (progress == nullptr) return;
    const uint32_t total = AtomicLoad(progress->total);
    uint32_t done = AtomicLoad(progress->done);
    if (total == 0) {
        CopyBounded(out, capacity, u"Reading the folder...");
        return;
    }
    if (done > total) done = total;
    FormatText(out, capacity, total == 1 ? u"Read %lu of %lu rule file." : u"Read %lu of %lu rule files.",
               done, total);
    if (perMille != nullptr) *perMille = static_cast<uint32_t>(uint64_t{done} * 1000 / total);
}

void AppendSigmaRuleViewStatus(const Recording* app, char16_t* out, size_t capacity) {
    const int32_t viewed = SigmaRuleView(app);
    if (viewed < 0) return;
    const SigmaRuleInfo* rule = GetSigmaRule(LoadedSigmaRules(app), viewed);
    if (rule == nullptr) return;
    AppendFormat(out, capacity,
                 u" | Only rows of Sigma rule \"%.60s\" (Esc in the list shows all rows)",
                 rule->title);
}

bool ComposeRulesMatchedText(Recording* app, int item, char16_t* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return false;
    out[0] = 0;
    LockGuard guard(&app->rowsLock);
    if (item < 0 || item >= app->shownCount) return false;
    const int32_t index = app->shownRows[item];
    // Read once: the built-in rules and the row's line both take the whole row.
    EventRow stored;
    ReadStoredRow(app, index, &stored);
    const EventRow* row = &stored;

    int32_t builtIn[kThreatRuleCount];
    const int32_t builtInCount = MatchingThreatRules(row, builtIn, kThreatRuleCount);
    const SigmaRuleSet* set = RulesOf(app);
    int32_t sigma[kListedSigmaMatches];
    int32_t sigmaCount = set != nullptr ? SigmaRulesOfRow(app, index, sigma, kListedSigmaMatches) : 0;
    if (sigmaCount > kListedSigmaMatches) sigmaCount = kListedSigmaMatches;

    AppendRowLine(row, out, capacity);
    AppendRowFacts(out, capacity, app, index); // what the rules' fact fields were given
    AppendBounded(out, capacity, u"\r\n");
    const int32_t yaraCount = YaraRulesOfRow(app, index, nullptr, 0);
    if (builtInCount == 0 && sigmaCount == 0 && yaraCount == 0) {
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
    if (yaraCount > 0) {
        AppendFormat(out, capacity, u"YARA rules matched: %d\r\n", yaraCount);
        AppendYaraRulesOfRow(app, index, u"  ", out, capacity);
        AppendBounded(out, capacity, u"\r\n");
    }
    if (set == nullptr) {
        AppendBounded(out, capacity, u"No Sigma rules are loaded.\r\n");
        return true;
    }
    AppendFormat(out, capacity, u"Sigma rules matched: %d\r\n", sigmaCount);
    for (int32_t k = 0; k < sigmaCount; ++k) {
        const SigmaRuleInfo* rule = GetSigmaRule(set, sigma[k]);
        if (rule == nullptr) continue;
        AppendRuleLine(rule, line, out, capacity);
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
        AppendRuleLine(rule, line, out, capacity);
        AppendBounded(out, capacity, u"\r\n    not known: ");
        AppendSigmaFieldNames(possible[k].unknownFields, out, capacity);
        AppendBounded(out, capacity, u"\r\n");
    }
    return true;
}

} // namespace olv
