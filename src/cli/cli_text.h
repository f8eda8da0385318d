// The console program's decisions that are pure text and numbers: which exit code a run ends
// with, the result and progress lines, and the name of a new output folder. The examined
// program's arguments are quoted by launcher/command_line.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/systime.h"

namespace olv {

// --- exit codes ---
enum CliExit : int {
    kCliExitOk = 0,
    kCliExitUsage = 1,
    kCliExitNotStarted = 2, // could not start, could not open, or a file could not be written
    kCliExitIncomplete = 3,
    kCliExitFailOn = 4,
    kCliExitChecksMissing = 5,
};
struct CliOutcome {
    bool usage;         // the command line was wrong
    bool notStarted;    // the recording or the session could not be had, or a file not written
    bool incomplete;    // a completeness note, or files skipped by a second interrupt
    bool reachedFailOn; // a row reached the --fail-on level
    bool checksMissing; // self-test: an expected row did not arrive
};
// 1 and 2 end a run by themselves (in that order); of the others the highest wins; else 0.
int ChooseExitCode(const CliOutcome& outcome);

// --- lines ---
struct CliCounts {
    uint32_t rows;
    uint32_t high;
    uint32_t medium;
    uint32_t low;
};
// "olvetta: failed: <message>": the result line of a run that could not start (or whose command
// line was refused), so that every run ends with one result line.
void FormatFailedLine(const char16_t* message, char16_t* out, size_t capacity);
// "olvetta: complete 412 rows (high 3, medium 7, low 12) in 31 s; files: A, B" (files: the
// names, in order; "none" when there are none). seconds is rounded down.
void FormatResultLine(bool complete, const CliCounts& counts, int64_t durationTicks,
                      const char16_t* const* files, int fileCount, char16_t* out, size_t capacity);
// "olvetta: 12 s, 3456 rows (high 1, medium 2, low 3), lost 0"
void FormatProgressLine(int64_t elapsedTicks, const CliCounts& counts, uint64_t lost, char16_t* out,
                        size_t capacity);

// --- the result file ---
constexpr char16_t kCliVersionText[] = u"1.1.0.0";
constexpr char16_t kCliResultFileName[] = u"result.json";
// The lock file a run holds in its output folder while it runs (platform/files.h).
constexpr char16_t kCliLockFileName[] = u".olvetta.lock";
// What an exit code means, in the words of --help ("complete, and no row reached --fail-on", ...);
// "unknown exit code" for another number.
const char16_t* CliExitMeaning(int code);
// "complete", "incomplete" or "failed": failed when the code is 1 or 2, else incomplete when the
// record is incomplete or files were left out, else complete.
const char16_t* CliResultWord(int exitCode, bool incomplete);
// FILETIME ticks (UTC) as ISO 8601 with the zone "Z": "2024-04-12T10:15:09.123Z". Empty when the
// ticks are not a time.
void FormatUtcInstant(int64_t ticks, char16_t* out, size_t capacity);
// Whether name is a file the console program writes into an output folder, compared as Windows
// compares names (case-insensitively): the four exports, result.json, the safe writer's temporary
// files beside them (".part", ".part1" to ".part63") and the folder's write-check probe. The lock
// file is not one of them (it is held while a run lasts, and goes with it).
bool IsCliOutputFileName(const char16_t* name);

// --- output folders ---
// The name of a recording's new folder: the program's file name without ".exe", then the start
// time, as "Invoice_2024-20240412-101510". Characters a file name cannot hold (control
// characters and \ / : * ? " < > |) become '_', trailing dots and blanks go, and the name part is
// cut at 64 characters; an empty name becomes "recording". attempt 1 is the plain name; later
// attempts append "-2", "-3", ... (for a name that is taken).
void OutputFolderName(const char16_t* programPath, const SystemTime& start, int attempt,
                      char16_t* out, size_t capacity);

} // namespace olv
