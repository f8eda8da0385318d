// What the Sigma Rules window lists and in which order: every loaded rule and every refused file
// is an entry; a choice (all, matched, possible, refused) and a search text pick the entries
// shown, and a column orders them. The window's list is virtual: it asks for the cells of the
// lines it draws, so opening it costs time in proportion to the rules (one pass to pick, one
// sort), and the counts it shows are read when drawn, never copied. Window thread only.
#pragma once

#include <cstddef>
#include <cstdint>

namespace olv {

struct Recording; // record/recording.h

// The columns of the window.
enum SigmaRulesColumn : int {
    kRulesColumnTitle = 0,    // the rule's title (also for a refused file whose title was read)
    kRulesColumnLevel = 1,    // its level, or "refused"
    kRulesColumnCategory = 2, // its log source category
    kRulesColumnRows = 3,     // rows it matched
    kRulesColumnPossible = 4, // rows it may match (fields not known there)
    kRulesColumnFile = 5,     // the file, relative to the folder loaded
    kRulesColumnId = 6,       // its id, or why the file was refused
    kRulesColumnCount = 7,
};

// Which entries are shown.
enum SigmaRulesChoice : int {
    kRulesShowAll = 0,
    kRulesShowMatched = 1,  // rules that matched a row
    kRulesShowPossible = 2, // rules possible on a row
    kRulesShowRefused = 3,  // refused files
    kRulesChoiceCount = 4,
};

constexpr size_t kRulesSearchChars = 128;

// The shown entries, in order. An entry is a loaded rule's index, or the rule count plus a
// refusal's index.
struct SigmaRulesList {
    int32_t* order;
    int32_t count;
    int32_t capacity;
    int sortColumn; // SigmaRulesColumn, or -1: load order (rules, then refused files)
    uint8_t descending;
    int choice; // SigmaRulesChoice
    char16_t search[kRulesSearchChars];
    // What the counts were when the order was made: a change refreshes what the window shows.
    uint32_t countsStampSeen; // SigmaState::countsStamp
    int32_t viewRuleSeen;
    const void* setSeen; // the rule set the order was made from
};

// Fills list->order afresh from the loaded set: the entries the choice and the search text let
// through, sorted by the sort column (ties in load order, in both directions). False when memory
// was refused (the list is then empty).
bool BuildSigmaRulesOrder(const Recording* app, SigmaRulesList* list);
// Whether entry passes choice and search (folded: A to Z compare as a to z). The search looks at
// the title, level, category, file, id, and a refusal's reason and detail.
bool SigmaRulesEntryShown(const Recording* app, int32_t entry, int choice, const char16_t* search);
// How two entries compare for column: negative when a comes first (ascending).
int CompareSigmaRulesEntries(const Recording* app, int32_t a, int32_t b, int column);

// The entry shown at line; -1 when there is none.
int32_t SigmaRulesEntryAt(const SigmaRulesList* list, int32_t line);
// The line an entry is shown at; -1 when it is not shown.
int32_t SigmaRulesLineOf(const SigmaRulesList* list, int32_t entry);

// A header click: the same column again turns the direction, another column sorts ascending
// (counts and levels descending first: the most first is what one looks for).
void SortSigmaRulesBy(SigmaRulesList* list, int column);

// The tab-separated text of lines (the header, then one line per listed line in the order given,
// each ending in CR LF), written as the event list's copy writes cells. A block from AllocZeroed
// for FreeBlock; null when memory was refused or no line is valid.
char16_t* BuildSigmaRulesCopyText(const Recording* app, const SigmaRulesList* list,
                                  const int32_t* lines, int32_t count, size_t* length);

void FreeSigmaRulesList(SigmaRulesList* list);

} // namespace olv
