// The machine check: what the self-test's helper program does (its plan: names, folder, ports),
// which rows a working recording must hold afterwards, and, for each one missing, the likely
// reason. The helper itself is Windows code (selftest/win32/selftest_helper.cpp); everything it is
// judged by is here.
#pragma once

#include <cstddef>
#include <cstdint>

#include "record/event_row.h"
#include "record/recording_info.h"
#include "record/row_kind.h"

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
    char16_t streamFile[kSelftestPathChars]; // folder\tag-3.txt: holds the stream
    char16_t stream[kSelftestPathChars];     // folder\tag-3.txt:olvetta: written
    char16_t pipe[kSelftestPathChars];       // \\.\pipe\tag: created, then connected to
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
// The plan from the helper's arguments TAG FOLDER TCP-PORT UDP-PORT; false when they are bad
// (a tag of other characters than letters, digits, '-', '_' and '.' included: it is quoted into
// a script and names a pipe).
bool SelftestPlanFromArguments(const char16_t* const* args, int count, SelftestPlan* plan);
// The helper's arguments for the plan (quoted for a command line), into out.
bool SelftestHelperArguments(const SelftestPlan& plan, char16_t* out, size_t capacity);

// The helper's actions, in the order it does them. Its exit code has bit (1 << action) set for
// each action that failed (so 0: all done), kHelperCleanupFailed when anything it made could not
// be removed, and kHelperNoPowerShell when the machine has no PowerShell to run (the script is
// then not counted as failed: there was nothing to run it with).
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
    kActPipeCreate,   // the server end of plan.pipe
    kActPipeConnect,  // a client end opened to it
    kActStream,       // plan.stream created and written
    kActTarget,       // a second child started suspended ("--selftest-target"), later ended
    kActRemoteThread, // a thread created in it (itself suspended, at an address that ends it)
    kActOpenProcess,  // it opened for reading its memory
    kActScript,       // PowerShell running a one-line block that names the tag
    kSelftestActionCount,
};
constexpr uint32_t kHelperNoPowerShell = 1u << 29;
constexpr uint32_t kHelperCleanupFailed = 1u << 30;
static_assert(kSelftestActionCount < 29, "the action bits stay below the helper's own bits");

// The first child's switch: it ends at once.
constexpr const char16_t* kSelftestChildSwitch = u"--selftest-child";
// The second child's switch: started suspended, it never runs; run by hand it ends at once.
constexpr const char16_t* kSelftestTargetSwitch = u"--selftest-target";
// The command line that starts program (the helper's own path) again with one switch: the path
// in quotes, as the start-up code reads a program name (to the next quote, with no escapes: a
// path holding a quote is refused), a blank and the switch. False (out empty) when program is
// empty or holds a quote, or the line does not fit capacity.
bool SelftestChildCommandLine(const char16_t* program, const char16_t* switchText, char16_t* out,
                              size_t capacity);

// How a row is judged to show a check, besides its kind.
enum SelftestRule : int {
    kRuleChild,       // the helper's child (its command line names --selftest-child)
    kRuleDll,         // the plan's DLL
    kRuleFileCreate,  // the first file (or its first successful open)
    kRuleFileWrite,   // the first file
    kRuleFileRename,  // the first file by its old or new name
    kRuleFileDelete,  // the second file (or the first, by its old name)
    kRuleNamesTag,    // a registry row naming the tag
    kRuleTcpConnect,  // to the TCP span (or accepted in it)
    kRuleTcpSend,     // to the TCP span (or received in it)
    kRuleUdpSend,     // to the UDP span (or received in it)
    kRuleDns,         // the plan's name
    kRulePipe,        // the plan's pipe
    kRuleStream,      // the plan's stream
    kRuleScript,      // a block whose text holds the tag
    kRuleIntoTarget,  // a row between the helper and its suspended child
    kRuleOpensTarget, // the same, from a source Windows 10 and later have
};

// The checks of the table, each an expected row: X(id, name in the table, the helper's action
// that makes it, the row kind that shows it, its SelftestRule). A check is one line here.
#define OLV_SELFTEST_CHECKS(X)                                                                     \
    X(Child, u"Child process started", kActChild, StartedChildProcess, kRuleChild)                 \
    X(Dll, u"DLL loaded", kActDll, LoadedDll, kRuleDll)                                            \
    X(FileCreate, u"File created", kActFileCreate, CreatedNewFile, kRuleFileCreate)                \
    X(FileWrite, u"File written", kActFileWrite, WroteFile, kRuleFileWrite)                        \
    X(FileRename, u"File renamed", kActFileRename, RenamedFile, kRuleFileRename)                   \
    X(FileDelete, u"File deleted", kActFileDelete, DeletedFile, kRuleFileDelete)                   \
    X(KeyCreate, u"Registry key created", kActKeyCreate, CreatedRegistryKey, kRuleNamesTag)        \
    X(ValueSet, u"Registry value set", kActValueSet, WroteRegistryValue, kRuleNamesTag)            \
    X(ValueDelete, u"Registry value deleted", kActValueDelete, DeletedRegistryValue,               \
      kRuleNamesTag)                                                                               \
    X(KeyDelete, u"Registry key deleted", kActKeyDelete, DeletedRegistryKey, kRuleNamesTag)        \
    X(TcpConnect, u"TCP connection", kActTcpConnect, ConnectedTcp, kRuleTcpConnect)                \
    X(TcpSend, u"TCP data sent", kActTcpSend, SentTcp, kRuleTcpSend)                               \
    X(UdpSend, u"UDP datagram sent", kActUdpSend, SentUdp, kRuleUdpSend)                           \
    X(DnsQuery, u"DNS query", kActDnsQuery, DnsQuery, kRuleDns)                                    \
    X(PipeCreate, u"Pipe created", kActPipeCreate, CreatedPipe, kRulePipe)                         \
    X(PipeConnect, u"Pipe connected", kActPipeConnect, ConnectedToPipe, kRulePipe)                 \
    X(Stream, u"Stream written", kActStream, WroteAlternateDataStream, kRuleStream)                \
    X(ScriptBlock, u"Script block ran", kActScript, RanScriptBlock, kRuleScript)                   \
    X(RemoteThread, u"Remote thread created", kActRemoteThread, CreatedThreadInAnotherProcess,     \
      kRuleIntoTarget)                                                                             \
    X(ProcessOpen, u"Process opened", kActOpenProcess, OpenedProcess, kRuleOpensTarget)

// clang-format off
enum SelftestCheck : int {
#define OLV_SELFTEST_CHECK_ID(id, name, action, kind, rule) kCheck##id,
    OLV_SELFTEST_CHECKS(OLV_SELFTEST_CHECK_ID)
#undef OLV_SELFTEST_CHECK_ID
    kSelftestCheckCount,
};
// clang-format on

// One check as the judge reads it.
struct SelftestCheckSpec {
    const char16_t* name;
    int action; // SelftestAction
    RowKind kind;
    int rule; // SelftestRule
};
extern const SelftestCheckSpec kSelftestChecks[kSelftestCheckCount];

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
    // Not made: the machine lacks what the action needs (PowerShell); reason says what. Neither
    // found nor missing.
    bool skipped[kSelftestCheckCount];
    // For a found check, the form of the row that showed it, as the table names it
    // ("as \"Opened file\" of a path new to this check"); empty when missing.
    char16_t form[kSelftestCheckCount][kSelftestFormChars];
    char16_t reason[kSelftestCheckCount][kSelftestReasonChars]; // for a missing or skipped check
    int missing;
    int skippedCount;
};

// Looks for each expected row among the rows, in every form the kernel can give it, and gives
// each missing one its likely reason. When the recording could not start, each check's reason is
// short and the head (FormatSelftestHead) says why once.
void JudgeSelftest(const SelftestPlan& plan, const Recording* app,
                   const SelftestContext& context, SelftestResult* result);
// The same by the given checks (at most kSelftestCheckCount; result's entries follow their order).
void JudgeSelftestChecks(const SelftestCheckSpec* checks, int count, const SelftestPlan& plan,
                         const Recording* app, const SelftestContext& context,
                         SelftestResult* result);
// One line of the table: "  found    File renamed             as \"Renamed file\" (old name)",
// "  MISSING  DNS query                (reason)" or "  skipped  Script block ran         (reason)".
void FormatSelftestLine(const SelftestResult& result, int check, char16_t* out, size_t capacity);


// The exit code the helper reported, from the first "Target process exited" row; false when
// there is none (or its text is not an exit code).
bool SelftestHelperExitCode(const Recording* app, uint32_t* code);
// The line before the checks when the recording could not start at all: the failure and what to
// do about it. False and an empty text when it started.
constexpr size_t kSelftestHeadChars = 640;
bool FormatSelftestHead(const SelftestContext& context, char16_t* out, size_t capacity);
// The table's closing line: "12 of 14 checks found", and ", 1 not possible on this machine" when
// checks were skipped (they do not count).
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
