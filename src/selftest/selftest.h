// The machine check: what the self-test's helper program does (its plan: names, folder, ports),
// which rows a working recording must hold afterwards, and, for each one missing, the likely
// reason. The helper itself is Windows code (selftest/win32/selftest_helper.cpp); everything it is
// judged by is here.
#pragma once

#include <cstddef>
#include <cstdint>

#include "record/event_row.h"
#include "record/recording_info.h"

namespace olv {

struct Recording; // record/recording.h

constexpr size_t kSelftestTagChars = 64;
constexpr size_t kSelftestPathChars = 260;
constexpr uint16_t kSelftestPortSpan = 16; // the helper tries this many ports from the first

// What the helper is told to do (its command line after --selftest-helper) and so what the check
// looks for. Every name is derived from the tag, which is new for each run.
struct SelftestPlan {
    char16_t tag[kSelftestTagChars];         // "olvetta-selftest-<pid>-<time>"
    char16_t folder[kSelftestPathChars];     // the temporary folder the helper makes
    char16_t firstFile[kSelftestPathChars];  // folder\tag-1.tmp: created and written
    char16_t secondFile[kSelftestPathChars]; // folder\tag-2.tmp: the first renamed, then deleted
    char16_t key[kSelftestPathChars];        // Software\tag under the current user
    char16_t valueName[kSelftestTagChars];   // tag
    char16_t dnsName[kSelftestPathChars];    // tag.invalid: a name certain not to exist
    char16_t dll[32];                        // the system DLL the helper loads
    uint16_t tcpPort;                        // the listener's first port on 127.0.0.1
    uint16_t udpPort;                        // the datagram's first port on 127.0.0.1
};

// Makes the plan: tempFolder is the user's temporary folder (its separator included or not),
// unique a number that differs between runs (the process id and the time, for example).
void MakeSelftestPlan(const char16_t* tempFolder, uint32_t processId, int64_t ticks,
                      SelftestPlan* plan);
// The plan from the helper's arguments TAG FOLDER TCP-PORT UDP-PORT; false when they are bad.
bool SelftestPlanFromArguments(const char16_t* const* args, int count, SelftestPlan* plan);
// The helper's arguments for the plan (quoted for a command line), into out.
bool SelftestHelperArguments(const SelftestPlan& plan, char16_t* out, size_t capacity);

// The helper's actions, in the order it does them. Its exit code has bit (1 << action) set for
// each action that failed (so 0: all done), and kHelperCleanupFailed when anything it made could
// not be removed.
enum SelftestAction : int {
    kActChild,
    kActDll,
    kActFolder,
    kActFileCreate,
    kActFileWrite,
    kActFileRename,
    kActFileDelete,
    kActKeyCreate,
    kActValueSet,
    kActValueDelete,
    kActKeyDelete,
    kActTcpListen,
    kActTcpConnect,
    kActTcpSend,
    kActUdpSend,
    kActDnsQuery,
    kSelftestActionCount,
};
constexpr uint32_t kHelperCleanupFailed = 1u << 30;

// The checks of the table, each an expected row.
enum SelftestCheck : int {
    kCheckChild,
    kCheckDll,
    kCheckFileCreate,
    kCheckFileWrite,
    kCheckFileRename,
    kCheckFileDelete,
    kCheckKeyCreate,
    kCheckValueSet,
    kCheckValueDelete,
    kCheckKeyDelete,
    kCheckTcpConnect,
    kCheckTcpSend,
    kCheckUdpSend,
    kCheckDnsQuery,
    kSelftestCheckCount,
};

// The check's name in the table ("Child process started", ...).
const char16_t* SelftestCheckName(int check);

// What the recording gives the judge besides its rows.
struct SelftestContext {
    const RecordingInfo* info;    // the recording's block (losses, flags, Windows version)
    bool started;                 // the recording started
    const char16_t* startFailure; // when it did not: the message ("ETW: ..."); else null
    bool helperEnded;             // a "Target process exited" row was seen
    uint32_t helperExitCode;      // its exit code (the failed actions)
    bool traceEndedEarly;         // the kernel session ended by itself during the test
    const char16_t* timeGiven;    // the helper's time as the reason names it; null: "--seconds"
};

constexpr size_t kSelftestFormChars = 112;
constexpr size_t kSelftestReasonChars = 200;

struct SelftestResult {
    bool found[kSelftestCheckCount];
    // For a found check, the form of the row that showed it, as the table names it
    // ("as \"Opened file\" of a path new to this check"); empty when missing.
    char16_t form[kSelftestCheckCount][kSelftestFormChars];
    char16_t reason[kSelftestCheckCount][kSelftestReasonChars]; // for a missing check
    int missing;
};

// Looks for each expected row among the rows, in every form the kernel can give it, and gives
// each missing one its likely reason. When the recording could not start, each check's reason is
// short and the head (FormatSelftestHead) says why once.
void JudgeSelftest(const SelftestPlan& plan, const Recording* app,
                   const SelftestContext& context, SelftestResult* result);
// One line of the table: "  found    File renamed             as \"Renamed file\" (old name)" or
// "  MISSING  DNS query                (reason)".
void FormatSelftestLine(const SelftestResult& result, int check, char16_t* out, size_t capacity);


// The exit code the helper reported, from the first "Target process exited" row; false when
// there is none (or its text is not an exit code).
bool SelftestHelperExitCode(const Recording* app, uint32_t* code);
// The line before the checks when the recording could not start at all: the failure and what to
// do about it. False and an empty text when it started.
constexpr size_t kSelftestHeadChars = 640;
bool FormatSelftestHead(const SelftestContext& context, char16_t* out, size_t capacity);
// The table's closing line: "12 of 14 checks found".
void FormatSelftestSummary(const SelftestResult& result, char16_t* out, size_t capacity);
// The warning when the helper could not remove what it made (its exit code says so); false and
// an empty text when it removed everything.
bool FormatSelftestCleanupProblem(const SelftestPlan& plan, const SelftestContext& context,
                                  char16_t* out, size_t capacity);
// The table as one text (the window shows it): the head and a blank line when the recording did
// not start, every check's line, a blank line, the summary
// and, after another blank line, the clean-up warning when there is one; lines end with CR LF.
// False when the text was cut at capacity (kSelftestTableChars always holds it).
constexpr size_t kSelftestLineChars = 400;
constexpr size_t kSelftestTableChars = (kSelftestCheckCount + 8) * kSelftestLineChars;
bool FormatSelftestTable(const SelftestPlan& plan, const SelftestResult& result,
                         const SelftestContext& context, char16_t* out, size_t capacity);

} // namespace olv
