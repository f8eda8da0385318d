// The console program's front end: it reads the command line, records through the recording's
// operations (the window's own Start and Stop, with no window: their outcomes are printed),
// re-analyses sessions, runs the machine check, writes the files and
// prints the progress and result lines. The executables give it their console and, for the
// demonstration twin, the hooks that play a scenario through the simulated trace service.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cli/cli_options.h"
#include "selftest/selftest.h"

namespace olv {

struct Recording;
struct ViewSpec;

enum CliStream : int { kCliStdout = 1, kCliStderr = 2 };

struct CliPlatform {
    void* context;
    // Writes one line (without its line end) to standard output or standard error.
    void (*writeLine)(void* context, int stream, const char16_t* text);
    bool scenarioAllowed;             // the demonstration twin: --scenario FILE before the verb
    char16_t pathSeparator;           // of the file system the files go to
    const char16_t* programName;      // "olvetta-cli" in texts
    const char16_t* executablePath;   // this executable (the self-test's helper is itself)
    const char16_t* executableFolder; // where a "rules" folder beside the program is looked for
    const char16_t* tempFolder;       // the user's temporary folder (self-test)

    // Whether this process may record (the kernel trace session needs administrator rights);
    // null: not asked (the demonstration twin records scenarios).
    bool (*hasRecordingRights)(void* context);

    // The demonstration's hooks; null in the real program.
    // Before Start: scripts the stand-ins for the verb and gives the program to launch.
    bool (*prepareRecording)(void* context, const CliOptions* options, bool selftest,
                             char16_t* program, size_t capacity, char16_t* problem,
                             size_t problemCapacity);
    void (*recordingStarted)(void* context, Recording* app); // the recording runs
    void (*recordingEnded)(void* context, Recording* app);   // Stop has returned
    // The self-test's plan; null: made from tempFolder, the process id and the time.
    void (*selftestPlan)(void* context, SelftestPlan* plan);
    // The hidden helper verb (the real program only): does the plan's actions; its exit code.
    int (*runSelftestHelper)(void* context, const SelftestPlan* plan, int failAt);
    int (*runSelftestChild)(void* context);
};

// Runs the command line; returns the process's exit code (cli/cli_text.h CliExit).
int RunCli(int argc, const char16_t* const* argv, const CliPlatform* platform);

// Stop requests, from any thread (the console's control handler, the demonstration's pacer):
// the first stops the recording cleanly and writes every file; the second ends at once after
// the file being written, leaving the others out.
void RequestCliStop();
// Ends the recording as the user's Stop would (the demonstration's scenario has been played);
// never counts as a second interrupt.
void RequestCliEnd();
int CliStopLevel();
void ResetCliStop();
// Set once the run has written its files (the console handler waits for it when the console is
// closing, since the system ends the process soon after the handler returns).
bool CliFinished();
// Set once the record itself (recording.ols, the first file written) is written or has failed,
// or the run writes none.
bool CliRecordDone();

enum CliEndWait : int { kCliEndNothingSaved, kCliEndRecordSaved, kCliEndFilesWritten };
// The session or the console is ending and the system ends the process soon: asks for a clean
// stop, then waits on the caller's thread until the record is written (at most recordMs) and
// after that for the other files while less than filesMs have passed since the call. Returns
// what was reached.
int EndCliBeforeExit(uint32_t recordMs, uint32_t filesMs);

// Narrows view as the output options ask (--hide, --suspicious, --operation, --filter); what
// they do not name stays as it is. --operation names the learned operation of that spelling,
// else the first one equal to it without regard to case, else its own text (no row passes).
void CliViewFromOptions(const Recording* app, const CliOptions* options, ViewSpec* view);

// The usage text that --help prints.
extern const char16_t kCliUsage[];

} // namespace olv
