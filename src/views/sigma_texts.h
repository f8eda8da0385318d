// What the Sigma Rules window (View menu) and the row's "Rules Matched..." text show, and what a
// double-click on a rule does. Window thread only.
#pragma once

#include <cstddef>
#include <cstdint>

namespace olv {

struct AppState; // app/app_state.h

// The Sigma Rules window: one item per loaded rule (in load order), then one per refused file.
constexpr int kSigmaRulesColumnCount = 5;
extern const char16_t* const kSigmaRulesHeadings[kSigmaRulesColumnCount];
extern const int kSigmaRulesColumnWidths[kSigmaRulesColumnCount];
constexpr size_t kSigmaRulesHeadlineChars = 1400;
constexpr size_t kSigmaRulesCellChars = 600;

int32_t SigmaRulesItemCount(const AppState* app);
// The line above the list: what is loaded from where, how many files were refused, how many
// regular-expression tests hit the work bound, the rule whose rows alone are shown, and how a
// double-click works.
void ComposeSigmaRulesHeadline(const AppState* app, char16_t* out, size_t capacity);
// Cell column (0 to 4) of item: a rule's title, level, rows matched, id (and its notes), file; a refused file's
// detail, "refused", "", its reason, file. Empty for anything else.
void ComposeSigmaRulesCell(const AppState* app, int32_t item, int column, char16_t* out,
                           size_t capacity);
// What the window says of a loaded rule beside its id: "partial: User never recorded" (fields the
// rule names that its category never records) and "possible on N rows: CurrentDirectory not
// known"; empty for a rule with neither.
void ComposeSigmaRuleNotes(const AppState* app, int32_t rule, char16_t* out, size_t capacity);
// The loaded rule an item names; -1 for a refused file or an item out of range.
int32_t SigmaRuleOfItem(const AppState* app, int32_t item);
// What a refused file's reason is called in the window ("YAML or condition syntax", ...).
const char16_t* SigmaRefusalReasonText(uint32_t reason);

// View > "Sigma Rules": opens the window, or fills the one open afresh.
void ShowSigmaRulesWindow(AppState* app);
// Fills the Sigma Rules window afresh when it is open (after a new set is loaded).
void RefreshSigmaRulesWindow(AppState* app);
// A double-click on item: a rule shows only its rows, or, when they are shown already, all rows
// again; a refused file does nothing.
void ActivateSigmaRulesItem(AppState* app, int32_t item);

// What the work budget of matching cost the loaded rules, for the window and the files' notes: a
// line each for the rules set aside for cost and the rows that ran out of the budget, each ending
// in '\n'; nothing when neither happened. Returns the lines written.
int32_t ComposeSigmaCostNotes(const AppState* app, char16_t* out, size_t capacity);

// The status bar's Sigma part: " | 1400 Sigma rules, 1000 files refused" when a set is loaded, then
// " | Loading Sigma rules: Read 120 of 2000 rule files." while a load runs.
void AppendSigmaLoadStatus(const AppState* app, char16_t* out, size_t capacity);

// " | Only rows of Sigma rule "TITLE"" for the status bar while that condition is on.
void AppendSigmaRuleViewStatus(const AppState* app, char16_t* out, size_t capacity);

// The row context menu's "Rules Matched...": every rule the shown item's row matched, built-in
// (by ScoreRow's tests) and Sigma, each with its level and id. False (out empty) when item is
// not a shown row.
constexpr size_t kRulesMatchedChars = 131072;
bool ComposeRulesMatchedText(AppState* app, int item, char16_t* out, size_t capacity);
// Opens a text window with that text.
void ShowRulesMatched(AppState* app, int item);

} // namespace olv
