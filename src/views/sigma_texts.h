// What the Sigma Rules window (View menu) and the row's "Rules Matched..." text show, and what a
// double-click on a rule does. Window thread only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/ui.h"

namespace olv {

struct Recording; // record/recording.h
struct SigmaLoadProgress; // sigma/sigma.h

// The Sigma Rules window: one entry per loaded rule (in load order), then one per refused file
// (views/sigma_rules_list.h picks and orders the entries shown).
constexpr int kSigmaRulesColumnCount = 7;
extern const char16_t* const kSigmaRulesHeadings[kSigmaRulesColumnCount];
extern const int kSigmaRulesColumnWidths[kSigmaRulesColumnCount];
extern const char16_t* const kSigmaRulesChoices[4];
constexpr size_t kSigmaRulesHeadlineChars = 1400;
constexpr size_t kSigmaRulesCellChars = 600;
// The window's commands (its menu and keys).
enum SigmaRulesCommand : int {
    kRulesCommandShowRows = 0, // kListWindowActivate: the focused rule's rows only, or all again
    kRulesCommandCopy = 1,     // kListWindowCopy: the selected lines
    kRulesCommandShowAllRows = 2,
};

// Entries: loaded rules and refused files.
int32_t SigmaRulesItemCount(const Recording* app);
// The line above the list: what is loaded from where, how many files were refused, how many
// tests hit the work bound, how many entries are shown, the rule whose rows alone are shown (and
// how to see all rows again), and what Enter, the menu and Ctrl+C do.
void ComposeSigmaRulesHeadline(const Recording* app, char16_t* out, size_t capacity);
// Cell column (SigmaRulesColumn) of an entry: a rule's title, level, category, rows matched,
// rows possible, file and id; a refused file's title (when it was read), "refused", "", "", "",
// file, and reason with detail. Empty for anything else.
void ComposeSigmaRulesCell(const Recording* app, int32_t item, int column, char16_t* out,
                           size_t capacity);
// The cell the window shows at line: the entry's cell, the title of the rule whose rows alone
// are shown begins with a mark (a right-pointing double angle quotation mark, in every font).
void ComposeSigmaRulesLineCell(const Recording* app, int32_t line, int column, char16_t* out,
                               size_t capacity);
// What the window says of a loaded rule beside its id: "partial: User never recorded" (fields the
// rule names that its category never records) and "possible on N rows: CurrentDirectory not
// known"; empty for a rule with neither.
void ComposeSigmaRuleNotes(const Recording* app, int32_t rule, char16_t* out, size_t capacity);
// The loaded rule an entry names; -1 for a refused file or an entry out of range.
int32_t SigmaRuleOfItem(const Recording* app, int32_t item);
// What a refused file's reason is called in the window ("YAML or condition syntax", ...).
const char16_t* SigmaRefusalReasonText(uint32_t reason);
// "process_creation", ... as the window shows a category; empty for a value out of range.
const char16_t* SigmaCategoryText(uint32_t category);

// View > "Sigma Rules" (the window is opened by the front end): the open window brought forward
// as it is (it is never filled again for that: its lines are drawn from the rules when shown),
// or null when none is open.
UiHandle RaiseSigmaRulesWindow(Recording* app);
// The new window's title, size, columns, choices, menu and calls (app as their context). False
// when memory was refused (the command then ends silently).
bool SigmaRulesWindowSpec(Recording* app, UiListWindowSpec* spec);
// Takes window, just opened from that spec, as the Sigma Rules window: fills and shows it.
void AdoptSigmaRulesWindow(Recording* app, UiHandle window);
// Picks and orders the window's entries afresh when it is open (after a new set is loaded).
void RefreshSigmaRulesWindow(Recording* app);
// Keeps the open window's counts live: when rows matched since the last call, its lines are
// drawn again, and picked and ordered again when the choice or the sort depends on the counts
// (the focused rule stays focused). Cheap when nothing changed; called on the timer.
void RefreshSigmaRulesCounts(Recording* app);
// Enter or a double-click on line: a rule shows only its rows, or, when they are shown already,
// all rows again; a refused file does nothing.
void ActivateSigmaRulesItem(Recording* app, int32_t line);
// Ends "rows of one rule only" (Escape on the event list, View > Show All Rows, the window's
// menu); the window's mark and headline follow.
void EndSigmaRuleView(Recording* app);
// The window's header click, search text, choice and commands.
void SortSigmaRulesWindow(Recording* app, int column);
void SearchSigmaRulesWindow(Recording* app, const char16_t* text);
void ChooseSigmaRulesWindow(Recording* app, int choice);
void SigmaRulesWindowCommand(Recording* app, int command);
// The window's selected lines as the copy command gives them (header line included), in a block
// the caller frees; null when nothing is selected or memory was refused.
char16_t* SigmaRulesSelectionText(Recording* app, size_t* length);

// What the work budget of matching cost the loaded rules, for the window and the files' notes: a
// line each for the rules set aside for cost, the rows that ran out of the budget and the rows not
// matched because memory was refused, each ending in '\n'; nothing when none happened. Returns
// the lines written.
int32_t ComposeSigmaCostNotes(const Recording* app, char16_t* out, size_t capacity);

// The status bar's Sigma part: " | 1400 Sigma rules, 1000 files refused, 3 rows raised" when a set is loaded, then
// " | Loading Sigma rules: Read 120 of 2000 rule files." while a load runs.
void AppendSigmaLoadStatus(const Recording* app, char16_t* out, size_t capacity);
// While a rule folder is read on a worker (app/sigma_load_job.h): "Read 120 of 2,000 rule
// files." (or "Reading the folder..." before the files are counted), and the share done of 1000
// for a progress bar.
void ComposeSigmaLoadProgress(const SigmaLoadProgress* progress, char16_t* out, size_t capacity,
                              uint32_t* perMille);

// " | Only rows of Sigma rule "TITLE" (Esc in the list shows all rows)" for the status bar while
// that condition is on.
void AppendSigmaRuleViewStatus(const Recording* app, char16_t* out, size_t capacity);

// The row context menu's "Rules Matched...": every rule the shown item's row matched, built-in
// (by ScoreRow's tests) and Sigma, each with its level and id. False (out empty) when item is
// not a shown row.
constexpr size_t kRulesMatchedChars = 131072;
bool ComposeRulesMatchedText(Recording* app, int item, char16_t* out, size_t capacity);

} // namespace olv
