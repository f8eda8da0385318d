// Sigma rules applied to the rows of the store: the loaded rule set beside the Recording, the
// field view of the recording, and every match of every row kept beside the rows (the rows
// themselves keep their layout: a match only raises a row's severity and, when the row has no
// threat text, names the rule there). Window thread only: rules never run on a trace thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/ui.h"
#include "record/event_row.h"
#include "sigma/sigma.h"

namespace olv {

struct Recording;
struct SigmaViewContext;
struct SigmaViewBuffer;
struct SigmaRulesList; // views/sigma_rules_list.h

// One match: a row (its index in the store) and a loaded rule (its index in the set). A possible
// match (the rule is undecided on the row, sigma.h) names the fields this row could not learn that
// the rule compares; a match names none.
struct SigmaRowMatch {
    int32_t row;
    int32_t rule;
    SigmaFieldMask unknownFields; // 0: a match
};

// Held by Recording::sigma; made on first use, freed by CleanUpRecording.
struct SigmaState {
    SigmaRuleSet* rules; // the loaded set, or nullptr
    SigmaViewContext* context;
    SigmaViewBuffer* buffer;
    // A stored row read whole for its built-in score (the field view reads the typed record).
    // Made with the state, so scoring allocates nothing per row.
    EventRow* row;
    // Every match and possible match, ordered by row, then rule.
    SigmaRowMatch* matches;
    int32_t matchCount;
    int32_t matchCapacity;
    int32_t* rowsOfRule; // rows each rule matched (SigmaRuleCount entries)
    int32_t* possibleRowsOfRule;    // rows each rule possibly matched (as many)
    SigmaFieldMask* possibleFieldsOfRule; // the unknown fields that made them possible, together
    int32_t ruleCapacity;
    uint32_t matchesNotKept; // matches that memory was refused for (their rows were still raised)
    int32_t rowsRaised;      // rows a Sigma rule of level low or above matched
    // Rows whose raised severity and threat text the store could not keep (memory refused): they
    // keep the score they had.
    uint32_t threatsNotStored;
    uint32_t countsStamp;    // changes whenever a rule's row counts change (the window's refresh)
    char16_t recorderImage[520];
    UiHandle rulesWindow; // the Sigma Rules window while open (views/sigma_texts.h)
    // While a set is read on a worker (app/sigma_load_job.h): its progress, for the status bar.
    const SigmaLoadProgress* loading;
    // The view of one row made again to say what matched (ExplainSigmaRowMatch), kept while the
    // rows and rules stay as they were: a row's text asks for it once per rule it matched.
    SigmaViewContext* explainContext;
    SigmaViewBuffer* explainBuffer;
    int32_t explainRow;
    int32_t explainRowCount;
    uint8_t explainReady;
    SigmaRulesList* rulesList; // what that window shows, made with it
    // Rows learned but not matched yet: they wait for their facts (views/row_facts_flow.h), with
    // the categories of their first view. Matched when the facts come or their deadline passes.
    int32_t* factsRows;
    uint32_t* factsCategories;
    int32_t factsCount;
    int32_t factsCapacity;
};

// The Sigma state, made when it does not exist yet; null when memory is refused.
SigmaState* MakeSigmaState(Recording* app);

// Rows never matched when no rule is loaded.
bool SigmaRulesLoaded(const Recording* app);
const SigmaRuleSet* LoadedSigmaRules(const Recording* app);

// The path of this program, which Start writes into the recording's origin as the recorder (the
// parent of the examined program).
void SetRecorderImageForSigma(Recording* app, const char16_t* path);
// That path, or the empty text.
const char16_t* SigmaRecorderImageOf(const Recording* app);
// The field view gives the examined program's start the recorder of the recording in memory as
// its ParentImage (app->origin: this program for a recording, the recorder named in an opened
// session, none for a session that names none). Start and Open call it before rows are matched.
void UseRecordingOriginForSigma(Recording* app);

// Replaces the loaded set by set (ownership passes; nullptr unloads) and applies it to every row
// of the store, list and summary updated. False when memory for the state is refused (the set is
// freed, nothing changed).
bool InstallSigmaRules(Recording* app, SigmaRuleSet* set);

// The built-in score of a row: ScoreRow, except for the rows the window itself makes ("Started
// process", "Target process exited"), which carry none. Writes the threat text.
uint32_t BuiltInSeverity(const EventRow* row, char16_t* threat, size_t capacity);

// Learns from the row just stored at index and matches it (and any earlier process start that
// became due). Caller holds rowsLock. Returns true when an earlier row must now be shown: its
// severity was raised while suspicious-only is on, or it matched the rule whose rows alone are
// shown (the shown rows must then be rebuilt).
bool MatchNewRow(Recording* app, int32_t index);
// A row that waited for its facts has them (or its deadline passed): it is matched now. Returns
// true when it must now be shown where it was not (as MatchNewRow). Caller holds rowsLock.
bool MatchRowWithFacts(Recording* app, int32_t index);
// Stop: the process starts still waiting for their image path are matched as they are.
void MatchDeferredRowsAtStop(Recording* app);
// A stored row's text changed after it was matched (a registry path named at the end of the
// trace): its built-in score is taken again and the rules applied to it afresh. Caller holds
// rowsLock.
void RematchChangedRow(Recording* app, int32_t index);
// Forgets what the field view learned and every match (ClearRows).
void ForgetSigmaRows(Recording* app);
// Applies the loaded rules to every stored row (re-deriving severity from the built-in score,
// then the rules), as an opened session's rows or a newly loaded set need. With no rules loaded,
// nothing changes.
void MatchAllRows(Recording* app);

// Re-derives every row's severity and threat text from the rules in force, as a recording derives
// them: the built-in score, then the loaded Sigma rules when a set is loaded (MatchAllRows). A
// severity some other set of rules raised does not survive it.
void ScoreAllRows(Recording* app);

// The rules a row matched, in rule order: writes at most capacity indices, returns how many there
// are.
int32_t SigmaRulesOfRow(const Recording* app, int32_t row, int32_t* rules, int32_t capacity);
// Rows a loaded rule matched.
int32_t SigmaRowsOfRule(const Recording* app, int32_t rule);
// Rows a loaded rule possibly matched (undecided through fields those rows could not learn), and
// those fields (bit 1 << SigmaField) over all of them.
int32_t SigmaPossibleRowsOfRule(const Recording* app, int32_t rule);
SigmaFieldMask SigmaPossibleFieldsOfRule(const Recording* app, int32_t rule);
// The rules a row possibly matched, in rule order, with the fields that leave each undecided:
// writes at most capacity, returns how many there are.
int32_t SigmaPossibleRulesOfRow(const Recording* app, int32_t row, SigmaPossibleMatch* rules,
                                int32_t capacity);
// "CurrentDirectory, Image": the names of the fields in mask, ", " between them (bounded).
void AppendSigmaFieldNames(SigmaFieldMask mask, char16_t* out, size_t capacity);
// What made a rule the row matched hold: ExplainSigmaMatch over the row's view, made afresh from
// the rows up to it (and, for a process start, up to where its view was made). Caller holds
// rowsLock. Returns the length written; 0 when the rule does not hold there or memory is refused.
size_t ExplainSigmaRowMatch(Recording* app, int32_t row, int32_t rule, char16_t* out, size_t capacity);

// The view condition "rows of one rule only" (ViewSpec::sigmaRule, double-click in the Sigma
// Rules window): rule is a loaded rule's index, -1 ends it. The shown rows are rebuilt (SetView).
// False (nothing changed) for a rule that is not loaded. Ended by Clear and by a new set.
bool SetSigmaRuleView(Recording* app, int32_t rule);
// The rule whose rows alone are shown, or -1.
int32_t SigmaRuleView(const Recording* app);
// Whether stored row index matched rule (kept matches only).
bool RowMatchedSigmaRule(const Recording* app, int32_t row, int32_t rule);

// The threat text of a row that a Sigma rule of severity sigmaSeverity (above 0) matched, made
// in place from threat (the built-in text of severity builtInSeverity, or empty): the rule's
// title alone, or both texts joined by "; ", the more severe first (the rule's title on a tie).
void ComposeSigmaThreat(const char16_t* title, uint32_t sigmaSeverity, uint32_t builtInSeverity,
                        char16_t* threat, size_t capacity);
// Rows that Sigma rules of level low or above matched (their severity was raised or confirmed).
int32_t SigmaRowsRaised(const Recording* app);
// The most severe level among the Sigma rules a stored row matched (kept matches), or -1.
int32_t SigmaLevelOfRow(const Recording* app, int32_t row);
// Rows on which a loaded rule is a possible match (its condition undecided on unknown fields).
int32_t SigmaPossibleRowsOfRule(const Recording* app, int32_t rule);

// "informational", "low", "medium", "high", "critical"; the empty text for another value.
const char16_t* SigmaLevelText(uint32_t level);

void FreeSigmaState(Recording* app);

} // namespace olv
