// The analyst's YARA rules applied to what a recording's processes load and write: the loaded
// rule set beside the Recording, the scans asked for as rows are stored (an image a process
// starts or loads; a file a process created or wrote, once a row closes it), and every match of
// every row. A match raises the row's severity to the highest of its own score and the matched
// rules' severities and names the rule in its threat text. Window thread only; the scans run on
// the scanner's own thread (facts/yara_scanner.h), never on the trace thread.
#pragma once

#include "platform/hash_table.h"
#include "record/kept_counts.h"
#include <cstddef>
#include <cstdint>

#include "facts/yara_rules.h"
#include "facts/yara_scanner.h"

namespace olv {

struct Recording;

// A rule that matched at least one row: what the summary, the exports and the details name.
struct YaraRowRule {
    char name[kYaraRuleNameChars]; // the rule's identifier (UTF-8)
    char file[kYaraFileChars];     // the rule file it is in (UTF-8, relative to the folder)
    YaraSeverity severity;
    int32_t rows;     // rows it matched
    int32_t firstRow; // the first of them (store index)
};

struct YaraRowMatch {
    int32_t row;
    int32_t rule; // index into YaraState::matched
};

constexpr uint32_t kYaraGoneNamed = 4;         // deleted files named in the notes
constexpr size_t kYaraGoneNameChars = 260;     // each cut to fit
constexpr size_t kYaraFolderChars = 600;          // the folder the rules were loaded from
constexpr uint32_t kYaraWrittenSlots = 1u << 13; // written files waiting for their close

// Held by Recording::yara; made on first use, freed by CleanUpRecording.
struct YaraState {
    YaraRuleSet* rules; // the loaded set, or nullptr
    char16_t folder[kYaraFolderChars]; // where it was loaded from (the picker starts there)
    // Sets replaced while the scanner may still scan with them: freed with the scanner.
    YaraRuleSet** retired;
    uint32_t retiredCount;
    uint32_t retiredCapacity;
    YaraScanner* scanner; // made by the first scan of a recording that scans
    uint8_t scanning;     // StartYaraRows: rows of this recording ask for scans
    uint8_t stopped;      // StopYaraRows: the counts below are final
    uint64_t sizeLimit;   // files over it are not scanned (shown in the notes)
    // Path ids of written files not closed yet.
    HashTable<uint32_t> written;
    uint64_t writtenNotTracked; // the table was full: never scanned
    uint64_t writtenOpenAtStop; // still open when the recording stopped: not scanned
    // Rules that matched, and every match (ordered by arrival).
    YaraRowRule* matched;
    int32_t matchedCount;
    int32_t matchedCapacity;
    YaraRowMatch* matches;
    int32_t matchCount;
    int32_t matchCapacity;
    uint32_t matchesNotKept;   // memory refused for a match (its row was still raised)
    uint32_t threatsNotStored; // raised severities the store could not keep
    YaraScanCounts counts;     // as the scanner had them when it stopped
    char16_t gone[kYaraGoneNamed][kYaraGoneNameChars];
    uint32_t goneNamed;
};

YaraState* MakeYaraState(Recording* app);
bool YaraRulesLoaded(const Recording* app);
const YaraRuleSet* LoadedYaraRules(const Recording* app);
// Replaces the loaded set by set (ownership passes; nullptr unloads). Rows scanned before keep
// their matches; scans asked from now on use the new set. False when memory is refused (set
// freed, nothing changed).
bool InstallYaraRules(Recording* app, YaraRuleSet* set);

// Start of a recording that reads this machine's files: its rows ask for scans. config may be
// null (defaults; the size limit is 64 MB).
void StartYaraRows(Recording* app, const YaraScannerConfig* config);
// As row index is stored: asks for the scan its kind needs. Returns the scans asked (0 or 1).
uint32_t RequestRowYaraScan(Recording* app, int32_t index);
// Takes the finished scans: their matches are kept and their rows raised. Caller holds rowsLock.
// Returns the rows whose severity rose from none (they may now belong in the shown rows).
int32_t PollYaraRows(Recording* app);
// Stop: waits at most waitMs for the scans under way, takes them, then stops the scanner; the
// counts stay for the notes. Returns the rows whose severity rose from none meanwhile.
int32_t StopYaraRows(Recording* app, uint32_t waitMs);
// Clear: forgets the matches and the counts and frees the scanner; the rules stay.
void ForgetYaraRows(Recording* app);
// Re-derived severities (a new Sigma set applied to every row) lose the raises: they are made
// again from the kept matches. Caller holds rowsLock.
void ReapplyYaraRaises(Recording* app);

// The rules row matched, in the order their matches came: writes at most capacity, returns how
// many there are.
int32_t YaraRulesOfRow(const Recording* app, int32_t row, const YaraRowRule** rules,
                       int32_t capacity);
// One line per YARA rule row matched: prefix, "YARA rule (<severity>): <name>  file: <file>",
// CR LF. Returns the rules listed.
int32_t AppendYaraRulesOfRow(const Recording* app, int32_t row, const char16_t* prefix,
                             char16_t* out, size_t capacity);
// "low", "medium", "high", "critical".
const char16_t* YaraSeverityText(YaraSeverity severity);
// The rules that matched any row, and how many.
const YaraRowRule* YaraMatchedRules(const Recording* app, int32_t* count);
// The counts of the scans (the scanner's while it runs, the final ones after a stop).
YaraScanCounts YaraRowCounts(const Recording* app);
// The YARA part of counts from this recording's scans; unchanged when it scanned nothing.
void KeepYaraCounts(const Recording* app, KeptCounts* counts);
// One note line per loss: a file deleted before its scan (the first few named), over the size
// limit, a failed or refused scan, a written file never closed. Nothing when nothing was lost.
void AppendYaraNotes(const Recording* app, const char16_t* prefix, char16_t* out, size_t capacity,
                     int32_t* lines);
// Keeps a match read back from a session file (rule name and severity); false when memory is
// refused. Raises the row as a scan would.
bool AddYaraRowMatch(Recording* app, int32_t row, const char* rule, const char* file,
                     YaraSeverity severity);

// The row severity (0-3) a YARA severity raises a row to.
uint32_t RowSeverityOfYara(YaraSeverity severity);

void FreeYaraState(Recording* app);

} // namespace olv
