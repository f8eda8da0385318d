// result.json: a run's outcome for the program that started it (a sandbox, a pipeline), written
// into the output folder in every outcome the folder was had for, through the safe writer, so
// it is complete or absent. docs/cli.md holds its members.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cli/cli_text.h"

namespace olv {

struct Recording;

struct CliResultFacts {
    const char16_t* command;              // "record", "analyze" or "selftest"
    const char16_t* const* invocation;    // the console program's own arguments (argv[1..])
    int invocationCount;
    int exitCode;                         // CliExit
    bool incomplete;                      // a completeness note, or files left out
    const char16_t* message;              // why the run failed; empty otherwise
    bool recorded;                        // rows, recording times and rules fired are known
    CliCounts counts;
    const char16_t* const* files;         // the files written, as paths
    int fileCount;
    const char16_t* notes;                // lines, each ended by LF (CR before it is dropped)
    int64_t runStarted;                   // this run, FILETIME ticks (UTC)
    int64_t runEnded;
    int64_t recordingStarted;             // the recording's, FILETIME ticks (UTC); with recorded
    int64_t recordingStopped;
    const char16_t* program;              // the examined program; null when not known
    const char16_t* arguments;            // its argument text as its command line holds it
    const char16_t* session;              // analyze: the session file; null otherwise
    const char16_t* rulesFolder;          // the Sigma folder asked for or loaded; null: none
};

// Writes the result file at path. The rules (loaded set and refusals) and the rules that fired
// (built-in and Sigma, with the rows each gave a severity or matched) are read from app. False
// when the file could not be written (nothing is left at path then).
bool WriteCliResultFile(const CliResultFacts& facts, Recording* app, const char16_t* path);

} // namespace olv
