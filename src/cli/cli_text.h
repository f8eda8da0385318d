// The console program's decisions that are pure text and numbers: how arguments are quoted for
// the examined program's command line (and how a command line splits back), which exit code a
// run ends with, the result and progress lines, and the name of a new output folder.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/systime.h"

namespace olv {

// --- command lines ---
// Appends arg to out (capacity in characters, terminated) quoted so that the program's start-up
// code splits it back into exactly arg: as it is when it has no blank, tab, line feed, vertical
// tab or quote and is not empty; else in quotes, with each quote escaped by a backslash and the
// backslashes before a quote or the closing quote doubled. False (out unchanged) when it does not
// fit.
bool AppendQuotedArgument(char16_t* out, size_t capacity, const char16_t* arg);
// The arguments joined by single blanks, each quoted as above. False (out empty) when they do not
// fit capacity.
bool BuildArgumentText(const char16_t* const* args, int count, char16_t* out, size_t capacity);
// Splits a command line's arguments the way the system's start-up code splits those after the
// program name: blanks and tabs separate; 2n backslashes and a quote give n backslashes and
// open or close quoting; 2n+1 backslashes and a quote give n backslashes and a quote; other
// backslashes are literal; within quotes, two quotes give one quote. Calls take(context, text,
// length) for each argument; returns the count.
using ArgumentTaker = void (*)(void* context, const char16_t* text, size_t length);
int SplitArgumentText(const char16_t* line, ArgumentTaker take, void* context);

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
// "olvetta: complete 412 rows (high 3, medium 7, low 12) in 31 s; files: A, B" (files: the
// names, in order; "none" when there are none). seconds is rounded down.
void FormatResultLine(bool complete, const CliCounts& counts, int64_t durationTicks,
                      const char16_t* const* files, int fileCount, char16_t* out, size_t capacity);
// "olvetta: 12 s, 3456 rows (high 1, medium 2, low 3), lost 0"
void FormatProgressLine(int64_t elapsedTicks, const CliCounts& counts, uint64_t lost, char16_t* out,
                        size_t capacity);

// --- output folders ---
// The name of a recording's new folder: the program's file name without ".exe", then the start
// time, as "Invoice_2024-20240412-101510". Characters a file name cannot hold (control
// characters and \ / : * ? " < > |) become '_', trailing dots and blanks go, and the name part is
// cut at 64 characters; an empty name becomes "recording". attempt 1 is the plain name; later
// attempts append "-2", "-3", ... (for a name that is taken).
void OutputFolderName(const char16_t* programPath, const SystemTime& start, int attempt,
                      char16_t* out, size_t capacity);
// folder + separator + name (no separator added after an empty folder or one ending in one).
void JoinPath(const char16_t* folder, const char16_t* name, char16_t separator, char16_t* out,
              size_t capacity);

} // namespace olv
