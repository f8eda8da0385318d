// The summary: a plain-text digest of the whole recording.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/hash_table.h"

namespace olv {

struct Recording; // record/recording.h

// Names a tally counts exactly. Beyond them a tally keeps counting in the same memory: a new
// name takes the place of the least counted one and inherits its count plus one (so a count is
// never too low, and any name counted more often than the least counted entry is still there).
// The summary then counts the kept names again, exactly, and the section says which names may
// be missing; without that second pass it says its counts are approximate and by how much one
// can be too high.
// The table starts at kTallyFirstEntries and doubles as names come, so a short recording takes
// little memory; a table that cannot grow counts on as if it were full.
constexpr int32_t kTallyEntries = 4096;
constexpr int32_t kTallyFirstEntries = 256;
constexpr size_t kTallyNameChars = 256;
constexpr size_t kSummaryChars = 32768;

struct NameTally {
    char16_t (*names)[kTallyNameChars]; // capacity entries, each cut at 255 characters
    uint32_t* counts;                   // occurrences (an upper bound once replaced is not 0)
    uint32_t* firstSeen;                // order in which each entry's name was first stored
    uint32_t* exact;                    // occurrences counted again (RecountName)
    int32_t* heap;                      // entry indexes, least counted first
    int32_t* heapAt;                    // position of each entry in heap
    void* block;                        // the one heap block all of the above live in
    HashTable<int32_t> index;           // name -> entry; slots for twice the entries allocated
    int32_t capacity; // entries allocated
    int32_t limit;    // entries the table may grow to
    int32_t used;
    uint32_t seen;     // names stored so far (first-seen order)
    uint32_t replaced; // names that took the place of another
    uint8_t overflow;  // a name came when every entry was taken: counts are approximate
    uint8_t recounted; // counts were replaced by the exact ones of a second pass
    uint32_t missingAtMost; // after the recount: no name left out was seen more often
};

// Heap parts of a tally that grows to limit entries (kTallyEntries unless a test asks for
// fewer); false (nothing held) when refused.
bool AllocNameTally(NameTally* tally, int32_t limit = kTallyEntries);
void FreeNameTally(NameTally* tally);
// Counts one occurrence of name, compared exactly as stored (cut at 255 characters).
void TallyName(NameTally* tally, const char16_t* name);
// After names were let go: a second pass over the same names counts the names the tally kept
// exactly (RecountName for each), and FinishRecount puts those counts in place. The table holds
// every name seen more often than its least count, so the names listed are then the true most
// counted ones, except that a name seen no more than that least count may be missing.
// Nothing happens for a tally that never let a name go; TallyName must not follow.
void RecountName(NameTally* tally, const char16_t* name);
void FinishRecount(NameTally* tally);
// The heading, then the ten most counted names (equal counts in first-seen order) as
// "  %5lu  %.200s" with the name on one line and revealed, then an empty line. The heading says
// when the counts are approximate.
void AppendTopTen(char16_t* text, size_t capacity, const char16_t* heading, NameTally* tally);
void AppendSummaryLine(char16_t* text, size_t capacity, const char16_t* line);

// The whole summary text of the Summary command, before its window is made: a heap block of
// kSummaryChars characters that the caller frees, or null when memory was refused (the command
// then ends silently).
char16_t* BuildSummaryText(Recording* app);

} // namespace olv
