#include "selftest/selftest.h"

#include "base/format.h"
#include "base/text.h"
#include "launcher/command_line.h"
#include "record/recording.h"
#include "record/stored_rows.h"
#include "rules/threat_rules.h"

namespace olv {

namespace {

// Whether a character may stand in a tag: it is put into a script's quotes, a pipe's name, file
// names and a key, so nothing that could end or escape any of them.
bool TagCharacter(char16_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
           c == u'-' || c == u'_' || c == u'.';
}

// Whether text ends with a separator and then name, ignoring the case of A-Z.
bool EndsWithFileName(const char16_t* text, const char16_t* name) {
    const size_t n = TextLength(text), m = TextLength(name);
    if (m == 0 || n < m + 1) return false;
    const char16_t before = text[n - m - 1];
    return (before == u'\\' || before == u'/') && EqualsFolded(text + n - m, name);
}

// The port of one endpoint of a network row's path "127.0.0.1:A -> 127.0.0.1:B": the
// destination's (B) or the source's (A); false when that endpoint is not on 127.0.0.1.
bool LoopbackPort(const char16_t* path, bool destination, uint32_t* port) {
    static constexpr char16_t kLoopback[] = u"127.0.0.1:";
    const char16_t* p = nullptr;
    if (destination) {
        const ptrdiff_t at = FindText(path, u"-> 127.0.0.1:");
        if (at < 0) return false;
        p = path + at + 3 + TextLength(kLoopback);
    } else {
        if (!TextStartsWith(path, kLoopback)) return false;
        p = path + TextLength(kLoopback);
    }
    uint32_t value = 0;
    int digits = 0;
    for (; *p >= u'0' && *p <= u'9' && digits < 6; ++p, ++digits)
        value = value * 10 + static_cast<uint32_t>(*p - u'0');
    if (digits == 0) return false;
    *port = value;
    return true;
}

bool PortInSpan(const char16_t* path, bool destination, uint16_t first) {
    uint32_t port = 0;
    return LoopbackPort(path, destination, &port) && port >= first &&
           port < uint32_t{first} + kSelftestPortSpan;
}

// Traffic to the span (the sender's row: its destination) or arriving in it (the receiver's
// row: the span is its own end, which the kernel names first; either end is taken, since both
// are the helper's).
bool SentToSpan(const char16_t* path, uint16_t first) {
    return PortInSpan(path, true, first);
}
bool ArrivedInSpan(const char16_t* path, uint16_t first) {
    return PortInSpan(path, false, first) || PortInSpan(path, true, first);
}

// What the judge has seen of the rows before the one it looks at.
struct Seen {
    uint32_t helperPid;
    uint32_t targetPid;  // the suspended child's, from its start row; 0 when not seen
    bool firstFileNamed; // an earlier row named the first file
};

constexpr char16_t kPlain[] = u"";
constexpr char16_t kNewPath[] = u" of a path new to this check";
constexpr char16_t kOldName[] = u" (old name)";
constexpr char16_t kNewName[] = u" (new name)";
constexpr char16_t kAtListener[] = u" (at the listener)";
constexpr char16_t kAtReceiver[] = u" (at the receiver)";
constexpr char16_t kByTarget[] = u" (seen from the target)";

// Whether text holds the number as a whole (no digit on either side).
bool NamesNumber(const char16_t* text, uint32_t number) {
    char16_t digits[12];
    FormatText(digits, 12, u"%lu", number);
    const size_t n = TextLength(digits);
    for (const char16_t* p = text; *p != 0; ++p) {
        const bool before = p > text && p[-1] >= u'0' && p[-1] <= u'9';
        if (before || !TextStartsWith(p, digits)) continue;
        if (!(p[n] >= u'0' && p[n] <= u'9')) return true;
    }
    return false;
}

// Whether the row names the process: in its path, its detail or as the other process it has.
bool NamesProcess(const EventRow& row, uint32_t pid) {
    return pid != 0 &&
           (row.parentPid == pid || NamesNumber(row.path, pid) || NamesNumber(row.detail, pid));
}

// A row between the helper and its suspended child: one's row naming the other. While the child
// was not seen starting, any such row of the helper's (it makes no other of the kind).
const char16_t* BetweenHelperAndTarget(const EventRow& row, const Seen& seen) {
    if (seen.targetPid == 0)
        return seen.helperPid == 0 || row.pid == seen.helperPid ? kPlain : nullptr;
    if (row.pid == seen.targetPid && seen.helperPid != 0 && NamesProcess(row, seen.helperPid))
        return kByTarget;
    return (seen.helperPid == 0 || row.pid == seen.helperPid) && NamesProcess(row, seen.targetPid)
               ? kPlain
               : nullptr;
}

// Whether the row shows the check: the qualifier of its form (kPlain when the operation says
// it all), or null when it does not show it. The forms are every one the decoders make of the
// events Windows 7 to 11 give for the helper's action.
const char16_t* Matches(const SelftestPlan& plan, const SelftestCheckSpec& check,
                        const EventRow& row, RowKind kind, const Seen& seen) {
    const char16_t* first = PathFileName(plan.firstFile);
    const char16_t* second = PathFileName(plan.secondFile);
    switch (check.rule) {
    case kRuleChild:
        return kind == check.kind && (seen.helperPid == 0 || row.parentPid == seen.helperPid) &&
                       ContainsFolded(row.path, kSelftestChildSwitch)
                   ? kPlain
                   : nullptr;
    case kRuleDll:
        return kind == check.kind && EndsWithFileName(row.path, plan.dll) ? kPlain : nullptr;
    case kRuleFileCreate:
        if (!EndsWithFileName(row.path, first)) return nullptr;
        if (kind == check.kind) return kPlain;
        // Some Windows versions give the creation as an open. The helper makes the file with
        // "create new" in a folder it has just made (and makes nothing when the folder was
        // there), so the path did not exist before the check: its first successful open, before
        // any other row about it, is the creation.
        return kind == RowKind::OpenedFile && !seen.firstFileNamed &&
                       ClassifyResult(row.result) != ResultFailed
                   ? kNewPath
                   : nullptr;
    case kRuleFileWrite:
        return kind == check.kind && EndsWithFileName(row.path, first) ? kPlain : nullptr;
    case kRuleFileRename:
        // The row names the file object (the old name, or the new one once the object is
        // renamed) or the target path, and may give the new name in its detail.
        if (kind != check.kind && kind != RowKind::RenamedFileByPath) return nullptr;
        if (ContainsFolded(row.path, second) || ContainsFolded(row.detail, second)) return kNewName;
        return ContainsFolded(row.path, first) ? kOldName : nullptr;
    case kRuleFileDelete:
        if (kind != check.kind && kind != RowKind::DeletedFileByPath) return nullptr;
        if (EndsWithFileName(row.path, second)) return kNewName;
        return EndsWithFileName(row.path, first) ? kOldName : nullptr;
    case kRuleNamesTag:
        return kind == check.kind && ContainsFolded(row.path, plan.tag) ? kPlain : nullptr;
    case kRuleTcpConnect:
        if (kind == check.kind) return SentToSpan(row.path, plan.tcpPort) ? kPlain : nullptr;
        return kind == RowKind::AcceptedTcp && ArrivedInSpan(row.path, plan.tcpPort)
                   ? kAtListener
                   : nullptr;
    case kRuleTcpSend:
        if (kind == check.kind) return SentToSpan(row.path, plan.tcpPort) ? kPlain : nullptr;
        return (kind == RowKind::ReceivedTcp || kind == RowKind::CopiedTcp) &&
                       ArrivedInSpan(row.path, plan.tcpPort)
                   ? kAtListener
                   : nullptr;
    case kRuleUdpSend:
        if (kind == check.kind) return SentToSpan(row.path, plan.udpPort) ? kPlain : nullptr;
        return kind == RowKind::ReceivedUdp && ArrivedInSpan(row.path, plan.udpPort)
                   ? kAtReceiver
                   : nullptr;
    case kRuleDns: {
        // The query, or only its answer when the query's event did not come; the name as asked
        // or fully qualified (with the root's dot).
        if (kind != check.kind && kind != RowKind::DnsAnswer) return nullptr;
        char16_t rooted[kSelftestPathChars + 1];
        FormatText(rooted, kSelftestPathChars + 1, u"%s.", plan.dnsName);
        return EqualsFolded(row.path, plan.dnsName) || EqualsFolded(row.path, rooted) ? kPlain
                                                                                      : nullptr;
    }
    case kRulePipe:
        // As programs name it (\\.\pipe\TAG), or in the device's form.
        return kind == check.kind && EndsWithFileName(row.path, plan.tag) ? kPlain : nullptr;
    case kRuleStream: {
        // The file by its name (the folder may be named in another form than the plan's), the
        // stream with or without its type.
        if (kind != check.kind) return nullptr;
        const char16_t* stream = PathFileName(plan.stream);
        char16_t typed[kSelftestPathChars + 8];
        FormatText(typed, kSelftestPathChars + 8, u"%s:$DATA", stream);
        return EndsWithFileName(row.path, stream) || EndsWithFileName(row.path, typed) ? kPlain
                                                                                       : nullptr;
    }
    case kRuleScript:
        return kind == check.kind && ContainsFolded(row.path, plan.tag) ? kPlain : nullptr;
    case kRuleIntoTarget:
    case kRuleOpensTarget:
        return kind == check.kind ? BetweenHelperAndTarget(row, seen) : nullptr;
    default:
        return nullptr;
    }
}

// The actions whose failure leaves nothing for the check to record: its own and those it
// builds on.
uint32_t ActionBits(const SelftestCheckSpec& check) {
    uint32_t bits = 1u << check.action;
    switch (check.rule) {
    case kRuleTcpConnect:
    case kRuleTcpSend:
        return bits | 1u << kActTcpListen;
    case kRuleFileCreate:
    case kRuleFileWrite:
    case kRuleFileRename:
    case kRuleFileDelete:
    case kRuleStream:
        return bits | 1u << kActFolder;
    case kRulePipe:
        return bits | 1u << kActPipeCreate;
    case kRuleIntoTarget:
    case kRuleOpensTarget:
        return bits | 1u << kActTarget;
    default:
        return bits;
    }
}

bool BeforeWindows81(const RecordingInfo* info) {
    return info != nullptr && info->windowsMajor != 0 &&
           (info->windowsMajor < 6 || (info->windowsMajor == 6 && info->windowsMinor < 3));
}

// Whether the check could not be made on this machine at all: then the reason says why.
bool Skipped(const SelftestCheckSpec& check, const SelftestContext& c, char16_t* out,
             size_t capacity) {
    if (!c.started || !c.helperEnded) return false;
    if (check.rule == kRuleScript && (c.helperExitCode & kHelperNoPowerShell) != 0 &&
        (c.helperExitCode & (1u << check.action)) == 0) {
        CopyBounded(out, capacity, u"PowerShell is not present, so there was no script to record");
        return true;
    }
    return false;
}

// What the helper could not do, by the check's rule.
const char16_t* HelperFailure(const SelftestCheckSpec& check) {
    switch (check.rule) {
    case kRuleStream:
        return u"the helper could not write a stream in the temporary folder (its file system "
               u"may have none), so there was nothing to record";
    case kRuleScript:
        return u"PowerShell did not run the helper's script block to its end";
    default:
        return u"the helper could not do this on this machine, so there was nothing to record";
    }
}

void Reason(const SelftestCheckSpec& check, const SelftestContext& c, char16_t* out,
            size_t capacity) {
    const RecordingInfo* info = c.info;
    if (!c.started) {
        // The head of the table says why, once.
        CopyBounded(out, capacity, u"not checked: the recording did not start");
        return;
    }
    if (!c.helperEnded) {
        FormatText(out, capacity, u"the helper did not finish within the time given (%.60s)",
                   c.timeGiven != nullptr ? c.timeGiven : u"--seconds");
        return;
    }
    if ((c.helperExitCode & ActionBits(check)) != 0) {
        CopyBounded(out, capacity, HelperFailure(check));
        return;
    }
    // The second session's providers: the DNS client and PowerShell.
    const bool secondSession = check.rule == kRuleDns || check.rule == kRuleScript;
    if (check.rule == kRuleDns && BeforeWindows81(info)) {
        CopyBounded(out, capacity, u"DNS events need Windows 8.1 or later");
        return;
    }
    if (check.rule == kRuleOpensTarget && info != nullptr && info->windowsMajor != 0 &&
        info->windowsMajor < 10) {
        CopyBounded(out, capacity, u"process open events need Windows 10 or later");
        return;
    }
    if (check.rule == kRuleScript && info != nullptr) {
        if (BeforeWindows81(info)) {
            CopyBounded(out, capacity,
                        u"script blocks are recorded from Windows 8.1 on (their session starts "
                        u"there)");
            return;
        }
        if ((info->flags & scriptLoggingRefused) != 0) {
            CopyBounded(out, capacity,
                        u"script block logging could not be switched on (the policy could not "
                        u"be written), so PowerShell logged no block");
            return;
        }
        if ((info->flags & scriptLoggingTurnedOn) == 0) {
            CopyBounded(out, capacity,
                        u"script block logging was not switched on for the recording");
            return;
        }
    }
    if (secondSession && info != nullptr) {
        if ((info->flags & dnsNotRecorded) != 0) {
            CopyBounded(out, capacity,
                        check.rule == kRuleDns
                            ? u"the DNS session did not start (its provider is missing or "
                              u"another tool holds it)"
                            : u"the session of the DNS and PowerShell providers did not start");
            return;
        }
        if ((info->flags & dnsSessionEnded) != 0) {
            CopyBounded(out, capacity,
                        check.rule == kRuleDns
                            ? u"the DNS session ended during the test"
                            : u"the session of the DNS and PowerShell providers ended during the "
                              u"test");
            return;
        }
    }
    if (c.traceEndedEarly) {
        CopyBounded(out, capacity,
                    u"the kernel session was ended by another program during the test");
        return;
    }
    if (info != nullptr && (info->flags & foreignKernelSessionStopped) != 0) {
        CopyBounded(out, capacity,
                    u"the kernel session is owned by another tool, which took it back");
        return;
    }
    const uint64_t lost = info == nullptr
                              ? 0
                              : uint64_t{info->eventsLostByWindows} + info->buffersLostByWindows +
                                    info->droppedHere + info->unreadableRecords;
    if (lost > 0) {
        FormatText(out, capacity, u"not seen: %lu events were lost, and this row may be among them",
                   static_cast<uint32_t>(lost > 0xFFFFFFFFu ? 0xFFFFFFFFu : lost));
        return;
    }
    if (check.rule == kRuleDns) {
        CopyBounded(out, capacity,
                    u"the DNS client sent no query that the trace saw (a proxy or a resolver "
                    u"outside the DNS client may have answered)");
        return;
    }
    if (check.rule == kRuleScript) {
        CopyBounded(out, capacity,
                    u"PowerShell ran the block but its provider delivered no event of it (another "
                    u"policy may keep logging off)");
        return;
    }
    CopyBounded(out, capacity,
                u"no event arrived: the kernel session may be owned by another tool, or this "
                u"Windows does not report these events");
}

} // namespace

const SelftestCheckSpec kSelftestChecks[kSelftestCheckCount] = {
#define OLV_SELFTEST_CHECK_SPEC(id, name, action, kind, rule) {name, action, RowKind::kind, rule},
    OLV_SELFTEST_CHECKS(OLV_SELFTEST_CHECK_SPEC)
#undef OLV_SELFTEST_CHECK_SPEC
};

const char16_t* SelftestCheckName(int check) {
    return check >= 0 && check < kSelftestCheckCount ? kSelftestChecks[check].name : u"";
}

void MakeSelftestPlan(const char16_t* tempFolder, uint32_t processId, int64_t ticks,
                      SelftestPlan* plan) {
    const uint32_t stamp = static_cast<uint32_t>((ticks / kTicksPerMillisecond) & 0x7FFFFFFF);
    char16_t tag[kSelftestTagChars];
    FormatText(tag, kSelftestTagChars, u"olvetta-selftest-%lu-%lu", processId, stamp);
    char16_t folder[kSelftestPathChars];
    JoinPath(tempFolder, tag, u'\\', folder, kSelftestPathChars);
    // Two spans of ports between 49152 and 65535, differing from run to run.
    const uint32_t mix = (processId * 2654435761u) ^ stamp;
    const uint32_t tcp = 49152 + (mix % 8000) * 2;
    char16_t tcpText[8], udpText[8];
    FormatText(tcpText, 8, u"%lu", tcp);
    FormatText(udpText, 8, u"%lu", tcp + kSelftestPortSpan);
    const char16_t* args[4] = {tag, folder, tcpText, udpText};
    if (!SelftestPlanFromArguments(args, 4, plan)) *plan = SelftestPlan{};
}

bool SelftestPlanFromArguments(const char16_t* const* args, int count, SelftestPlan* plan) {
    if (count < 4) return false;
    SelftestPlan p{};
    if (TextLength(args[0]) == 0 || TextLength(args[0]) >= kSelftestTagChars - 16) return false;
    for (const char16_t* t = args[0]; *t != 0; ++t) {
        if (!TagCharacter(*t)) return false;
    }
    if (TextLength(args[1]) == 0 || TextLength(args[1]) >= kSelftestPathChars - 80) return false;
    uint32_t ports[2] = {};
    for (int k = 0; k < 2; ++k) {
        const char16_t* t = args[2 + k];
        if (t[0] == 0) return false;
        for (; *t != 0; ++t) {
            if (*t < u'0' || *t > u'9') return false;
            ports[k] = ports[k] * 10 + static_cast<uint32_t>(*t - u'0');
            if (ports[k] > 65535) return false;
        }
        if (ports[k] == 0 || ports[k] + kSelftestPortSpan > 65536) return false;
    }
    CopyBounded(p.tag, kSelftestTagChars, args[0]);
    CopyBounded(p.folder, kSelftestPathChars, args[1]);
    char16_t name[kSelftestTagChars + 8];
    FormatText(name, kSelftestTagChars + 8, u"%s-1.tmp", p.tag);
    JoinPath(p.folder, name, u'\\', p.firstFile, kSelftestPathChars);
    FormatText(name, kSelftestTagChars + 8, u"%s-2.tmp", p.tag);
    JoinPath(p.folder, name, u'\\', p.secondFile, kSelftestPathChars);
    FormatText(name, kSelftestTagChars + 8, u"%s-3.txt", p.tag);
    JoinPath(p.folder, name, u'\\', p.streamFile, kSelftestPathChars);
    FormatText(p.stream, kSelftestPathChars, u"%s:olvetta", p.streamFile);
    FormatText(p.pipe, kSelftestPathChars, u"\\\\.\\pipe\\%s", p.tag);
    FormatText(p.key, kSelftestPathChars, u"Software\\%s", p.tag);
    CopyBounded(p.valueName, kSelftestTagChars, p.tag);
    FormatText(p.dnsName, kSelftestPathChars, u"%s.invalid", p.tag);
    CopyBounded(p.dll, 32, u"version.dll");
    p.tcpPort = static_cast<uint16_t>(ports[0]);
    p.udpPort = static_cast<uint16_t>(ports[1]);
    *plan = p;
    return true;
}

bool SelftestChildCommandLine(const char16_t* program, const char16_t* switchText, char16_t* out,
                              size_t capacity) {
    if (out == nullptr || capacity == 0) return false;
    out[0] = 0;
    if (program == nullptr || switchText == nullptr || program[0] == 0) return false;
    const size_t programLength = TextLength(program);
    const size_t switchLength = TextLength(switchText);
    for (size_t i = 0; i < programLength; ++i) {
        if (program[i] == u'"') return false;
    }
    // Two quotes, a blank and the terminator.
    if (programLength + switchLength + 4 > capacity) return false;
    size_t at = 0;
    out[at++] = u'"';
    for (size_t i = 0; i < programLength; ++i)
        out[at++] = program[i];
    out[at++] = u'"';
    out[at++] = u' ';
    for (size_t i = 0; i < switchLength; ++i)
        out[at++] = switchText[i];
    out[at] = 0;
    return true;
}

bool SelftestHelperArguments(const SelftestPlan& plan, char16_t* out, size_t capacity) {
    char16_t tcp[8], udp[8];
    FormatText(tcp, 8, u"%u", plan.tcpPort);
    FormatText(udp, 8, u"%u", plan.udpPort);
    const char16_t* args[5] = {u"--selftest-helper", plan.tag, plan.folder, tcp, udp};
    return BuildArgumentText(args, 5, out, capacity);
}

void JudgeSelftestChecks(const SelftestCheckSpec* checks, int count, const SelftestPlan& plan,
                         const Recording* app, const SelftestContext& context,
                         SelftestResult* result) {
    *result = SelftestResult{};
    if (count > kSelftestCheckCount) count = kSelftestCheckCount;
    if (count < 0) count = 0;
    Seen seen{};
    const int32_t rowCount = app->rowCount;
    for (int32_t i = 0; i < rowCount && seen.helperPid == 0; ++i) {
        if (StoredKind(app, i) == RowKind::StartedProcess) seen.helperPid = StoredPid(app, i);
    }
    const char16_t* firstFile = PathFileName(plan.firstFile);
    EventRow row{}; // once a call
    // The suspended child first: a row about it may come before its start row is read.
    for (int32_t i = 0; i < rowCount && seen.targetPid == 0; ++i) {
        if (StoredKind(app, i) != RowKind::StartedChildProcess) continue;
        ReadStoredRow(app, i, &row);
        if ((seen.helperPid == 0 || row.parentPid == seen.helperPid) &&
            ContainsFolded(row.path, kSelftestTargetSwitch)) {
            seen.targetPid = row.pid;
        }
    }
    for (int32_t i = 0; i < rowCount; ++i) {
        ReadStoredRow(app, i, &row);
        const RowKind kind = RowKindOfRow(row);
        for (int c = 0; c < count; ++c) {
            if (result->found[c]) continue;
            const char16_t* qualifier = Matches(plan, checks[c], row, kind, seen);
            if (qualifier == nullptr) continue;
            result->found[c] = true;
            FormatText(result->form[c], kSelftestFormChars, u"as \"%s\"%s", row.operation,
                       qualifier);
        }
        if (row.category == kCategoryFile && EndsWithFileName(row.path, firstFile))
            seen.firstFileNamed = true;
    }
    for (int c = 0; c < count; ++c) {
        if (result->found[c]) continue;
        if (Skipped(checks[c], context, result->reason[c], kSelftestReasonChars)) {
            result->skipped[c] = true;
            ++result->skippedCount;
            continue;
        }
        ++result->missing;
        Reason(checks[c], context, result->reason[c], kSelftestReasonChars);
    }
}

void JudgeSelftest(const SelftestPlan& plan, const Recording* app, const SelftestContext& context,
                   SelftestResult* result) {
    JudgeSelftestChecks(kSelftestChecks, kSelftestCheckCount, plan, app, context, result);
}

void FormatSelftestLine(const SelftestResult& result, int check, char16_t* out, size_t capacity) {
    if (check < 0 || check >= kSelftestCheckCount) {
        if (capacity > 0) out[0] = 0;
        return;
    }
    const char16_t* name = kSelftestChecks[check].name;
    if (result.found[check]) {
        FormatText(out, capacity, u"  found    %-24s %s", name, result.form[check]);
    } else if (result.skipped[check]) {
        FormatText(out, capacity, u"  skipped  %-24s %s", name, result.reason[check]);
    } else {
        FormatText(out, capacity, u"  MISSING  %-24s %s", name, result.reason[check]);
    }
}

bool SelftestHelperExitCode(const Recording* app, uint32_t* code) {
    for (int32_t i = 0; i < app->rowCount; ++i) {
        if (StoredKind(app, i) != RowKind::TargetProcessExited) continue;
        char16_t detail[kDetailChars];
        CopyStoredText(app, i, kTextDetail, detail, kDetailChars);
        const char16_t* p = detail;
        if (!TextStartsWith(p, u"Exit code: ")) return false;
        uint64_t value = 0;
        for (p += 11; *p >= u'0' && *p <= u'9' && value <= 0xFFFFFFFFu; ++p)
            value = value * 10 + static_cast<uint64_t>(*p - u'0');
        if (value > 0xFFFFFFFFu) return false;
        *code = static_cast<uint32_t>(value);
        return true;
    }
    return false;
}

void FormatSelftestSummary(const SelftestResult& result, char16_t* out, size_t capacity) {
    const int made = kSelftestCheckCount - result.skippedCount;
    if (result.skippedCount == 0) {
        FormatText(out, capacity, u"%d of %d checks found", made - result.missing, made);
    } else {
        FormatText(out, capacity, u"%d of %d checks found, %d not possible on this machine",
                   made - result.missing, made, result.skippedCount);
    }
}

bool FormatSelftestCleanupProblem(const SelftestPlan& plan, const SelftestContext& context,
                                  char16_t* out, size_t capacity) {
    if (capacity > 0) out[0] = 0;
    if ((context.helperExitCode & kHelperCleanupFailed) == 0) return false;
    FormatText(out, capacity,
               u"The helper could not remove everything it made: see the folder \"%s\" "
               u"and the key HKEY_CURRENT_USER\\%s.",
               plan.folder, plan.key);
    return true;
}

bool FormatSelftestHead(const SelftestContext& context, char16_t* out, size_t capacity) {
    if (capacity > 0) out[0] = 0;
    if (context.started) return false;
    const char16_t* failure = context.startFailure != nullptr && context.startFailure[0] != 0
                                  ? context.startFailure
                                  : u"no reason was given";
    // What to do, from what stopped the start: the rights, another tool's session, or neither.
    const char16_t* advice =
        u"Run the check again from an elevated prompt, with no other tool recording the kernel "
        u"session.";
    if (ContainsFolded(failure, u"Admin required") ||
        ContainsFolded(failure, u"access is denied") ||
        ContainsFolded(failure, u"administrator rights")) {
        advice = u"Run the check from an elevated prompt (as an administrator).";
    } else if (ContainsFolded(failure, u"in use by another program") ||
               ContainsFolded(failure, u"existing session")) {
        advice = u"Another tool holds the kernel trace session: end its recording, then run the "
                 u"check again.";
    }
    FormatText(out, capacity, u"The recording could not start, so no check was made: %.300s %s",
               failure, advice);
    return true;
}

bool FormatSelftestTable(const SelftestPlan& plan, const SelftestResult& result,
                         const SelftestContext& context, char16_t* out, size_t capacity) {
    if (capacity == 0) return false;
    out[0] = 0;
    char16_t line[kSelftestHeadChars];
    size_t length = 0;
    if (FormatSelftestHead(context, line, kSelftestHeadChars)) {
        AppendBounded(out, capacity, line);
        length = AppendBounded(out, capacity, u"\r\n\r\n");
    }
    for (int c = 0; c < kSelftestCheckCount; ++c) {
        FormatSelftestLine(result, c, line, kSelftestHeadChars);
        AppendBounded(out, capacity, line);
        length = AppendBounded(out, capacity, u"\r\n");
    }
    FormatSelftestSummary(result, line, kSelftestHeadChars);
    AppendBounded(out, capacity, u"\r\n");
    AppendBounded(out, capacity, line);
    length = AppendBounded(out, capacity, u"\r\n");
    if (FormatSelftestCleanupProblem(plan, context, line, kSelftestHeadChars)) {
        AppendBounded(out, capacity, u"\r\n");
        AppendBounded(out, capacity, line);
        length = AppendBounded(out, capacity, u"\r\n");
    }
    return length + 1 < capacity; // a full buffer may have cut the text
}

} // namespace olv
