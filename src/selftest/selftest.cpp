#include "selftest/selftest.h"

#include "base/format.h"
#include "base/text.h"
#include "launcher/command_line.h"
#include "record/recording.h"
#include "record/stored_rows.h"
#include "rules/threat_rules.h"

namespace olv {

namespace {

constexpr const char16_t* kCheckNames[kSelftestCheckCount] = {
    u"Child process started", u"DLL loaded",         u"File created",
    u"File written",          u"File renamed",       u"File deleted",
    u"Registry key created",  u"Registry value set", u"Registry value deleted",
    u"Registry key deleted",  u"TCP connection",     u"TCP data sent",
    u"UDP datagram sent",     u"DNS query",
};

// The helper's action whose failure explains a missing check (a second one for the TCP
// connection, whose listener comes first).
constexpr int kCheckAction[kSelftestCheckCount] = {
    kActChild,      kActDll,       kActFileCreate, kActFileWrite,   kActFileRename,
    kActFileDelete, kActKeyCreate, kActValueSet,   kActValueDelete, kActKeyDelete,
    kActTcpConnect, kActTcpSend,   kActUdpSend,    kActDnsQuery,
};


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
    bool firstFileNamed; // an earlier row named the first file
};

constexpr char16_t kPlain[] = u"";
constexpr char16_t kNewPath[] = u" of a path new to this check";
constexpr char16_t kOldName[] = u" (old name)";
constexpr char16_t kNewName[] = u" (new name)";
constexpr char16_t kAtListener[] = u" (at the listener)";
constexpr char16_t kAtReceiver[] = u" (at the receiver)";

// Whether the row shows the check: the qualifier of its form (kPlain when the operation says
// it all), or null when it does not show it. The forms are every one the decoders make of the
// events Windows 7 to 11 give for the helper's action.
const char16_t* Matches(const SelftestPlan& plan, int check, const EventRow& row, RowKind kind,
                        const Seen& seen) {
    const char16_t* first = PathFileName(plan.firstFile);
    const char16_t* second = PathFileName(plan.secondFile);
    switch (check) {
    case kCheckChild:
        return kind == RowKind::StartedChildProcess &&
                       (seen.helperPid == 0 || row.parentPid == seen.helperPid) &&
                       ContainsFolded(row.path, u"--selftest-child")
                   ? kPlain
                   : nullptr;
    case kCheckDll:
        return kind == RowKind::LoadedDll && EndsWithFileName(row.path, plan.dll) ? kPlain : nullptr;
    case kCheckFileCreate:
        if (!EndsWithFileName(row.path, first)) return nullptr;
        if (kind == RowKind::CreatedNewFile) return kPlain;
        // Some Windows versions give the creation as an open. The helper makes the file with
        // "create new" in a folder it has just made (and makes nothing when the folder was
        // there), so the path did not exist before the check: its first successful open, before
        // any other row about it, is the creation.
        return kind == RowKind::OpenedFile && !seen.firstFileNamed &&
                       ClassifyResult(row.result) != ResultFailed
                   ? kNewPath
                   : nullptr;
    case kCheckFileWrite:
        return kind == RowKind::WroteFile && EndsWithFileName(row.path, first) ? kPlain : nullptr;
    case kCheckFileRename:
        // The row names the file object (the old name, or the new one once the object is
        // renamed) or the target path, and may give the new name in its detail.
        if (kind != RowKind::RenamedFile && kind != RowKind::RenamedFileByPath) return nullptr;
        if (ContainsFolded(row.path, second) || ContainsFolded(row.detail, second)) return kNewName;
        return ContainsFolded(row.path, first) ? kOldName : nullptr;
    case kCheckFileDelete:
        if (kind != RowKind::DeletedFile && kind != RowKind::DeletedFileByPath) return nullptr;
        if (EndsWithFileName(row.path, second)) return kNewName;
        return EndsWithFileName(row.path, first) ? kOldName : nullptr;
    case kCheckKeyCreate:
        return kind == RowKind::CreatedRegistryKey && ContainsFolded(row.path, plan.tag) ? kPlain
                                                                                      : nullptr;
    case kCheckValueSet:
        return kind == RowKind::WroteRegistryValue && ContainsFolded(row.path, plan.tag) ? kPlain
                                                                                      : nullptr;
    case kCheckValueDelete:
        return kind == RowKind::DeletedRegistryValue && ContainsFolded(row.path, plan.tag) ? kPlain
                                                                                        : nullptr;
    case kCheckKeyDelete:
        return kind == RowKind::DeletedRegistryKey && ContainsFolded(row.path, plan.tag) ? kPlain
                                                                                      : nullptr;
    case kCheckTcpConnect:
        if (kind == RowKind::ConnectedTcp)
            return SentToSpan(row.path, plan.tcpPort) ? kPlain : nullptr;
        return kind == RowKind::AcceptedTcp && ArrivedInSpan(row.path, plan.tcpPort)
                   ? kAtListener
                   : nullptr;
    case kCheckTcpSend:
        if (kind == RowKind::SentTcp)
            return SentToSpan(row.path, plan.tcpPort) ? kPlain : nullptr;
        return (kind == RowKind::ReceivedTcp || kind == RowKind::CopiedTcp) &&
                       ArrivedInSpan(row.path, plan.tcpPort)
                   ? kAtListener
                   : nullptr;
    case kCheckUdpSend:
        if (kind == RowKind::SentUdp)
            return SentToSpan(row.path, plan.udpPort) ? kPlain : nullptr;
        return kind == RowKind::ReceivedUdp && ArrivedInSpan(row.path, plan.udpPort)
                   ? kAtReceiver
                   : nullptr;
    case kCheckDnsQuery: {
        // The query, or only its answer when the query's event did not come; the name as asked
        // or fully qualified (with the root's dot).
        if (kind != RowKind::DnsQuery && kind != RowKind::DnsAnswer) return nullptr;
        char16_t rooted[kSelftestPathChars + 1];
        FormatText(rooted, kSelftestPathChars + 1, u"%s.", plan.dnsName);
        return EqualsFolded(row.path, plan.dnsName) || EqualsFolded(row.path, rooted) ? kPlain
                                                                                      : nullptr;
    }
    default:
        return nullptr;
    }
}

void Reason(const SelftestPlan&, int check, const SelftestContext& c, char16_t* out,
            size_t capacity) {
    const RecordingInfo* info = c.info;
    if (!c.started) {
        // The head of the table says why, once.
        CopyBounded(out, capacity, u"not checked: the recording did not start");
        return;
    }
    if (c.helperEnded) {
        uint32_t bits = 1u << kCheckAction[check];
        if (check == kCheckTcpConnect || check == kCheckTcpSend) bits |= 1u << kActTcpListen;
        if (check >= kCheckFileCreate && check <= kCheckFileDelete) bits |= 1u << kActFolder;
        if ((c.helperExitCode & bits) != 0) {
            CopyBounded(out, capacity,
                        u"the helper could not do this on this machine, so there was nothing to "
                        u"record");
            return;
        }
    } else {
        FormatText(out, capacity, u"the helper did not finish within the time given (%.60s)",
                   c.timeGiven != nullptr ? c.timeGiven : u"--seconds");
        return;
    }
    if (check == kCheckDnsQuery && info != nullptr) {
        const bool before81 =
            info->windowsMajor != 0 &&
            (info->windowsMajor < 6 || (info->windowsMajor == 6 && info->windowsMinor < 3));
        if (before81) {
            CopyBounded(out, capacity, u"DNS events need Windows 8.1 or later");
            return;
        }
        if ((info->flags & dnsNotRecorded) != 0) {
            CopyBounded(out, capacity,
                        u"the DNS session did not start (its provider is missing or another "
                        u"tool holds it)");
            return;
        }
        if ((info->flags & dnsSessionEnded) != 0) {
            CopyBounded(out, capacity, u"the DNS session ended during the test");
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
    if (check == kCheckDnsQuery) {
        CopyBounded(out, capacity,
                    u"the DNS client sent no query that the trace saw (a proxy or a resolver "
                    u"outside the DNS client may have answered)");
        return;
    }
    CopyBounded(out, capacity,
                u"no event arrived: the kernel session may be owned by another tool, or this "
                u"Windows does not report these events");
}

} // namespace

const char16_t* SelftestCheckName(int check) {
    return check >= 0 && check < kSelftestCheckCount ? kCheckNames[check] : u"";
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
    FormatText(p.key, kSelftestPathChars, u"Software\\%s", p.tag);
    CopyBounded(p.valueName, kSelftestTagChars, p.tag);
    FormatText(p.dnsName, kSelftestPathChars, u"%s.invalid", p.tag);
    CopyBounded(p.dll, 32, u"version.dll");
    p.tcpPort = static_cast<uint16_t>(ports[0]);
    p.udpPort = static_cast<uint16_t>(ports[1]);
    *plan = p;
    return true;
}

bool SelftestHelperArguments(const SelftestPlan& plan, char16_t* out, size_t capacity) {
    char16_t tcp[8], udp[8];
    FormatText(tcp, 8, u"%u", plan.tcpPort);
    FormatText(udp, 8, u"%u", plan.udpPort);
    const char16_t* args[5] = {u"--selftest-helper", plan.tag, plan.folder, tcp, udp};
    return BuildArgumentText(args, 5, out, capacity);
}

void JudgeSelftest(const SelftestPlan& plan, const Recording* app,
                   const SelftestContext& context, SelftestResult* result) {
    *result = SelftestResult{};
    Seen seen{};
    const int32_t rowCount = app->rowCount;
    for (int32_t i = 0; i < rowCount && seen.helperPid == 0; ++i) {
        if (StoredKind(app, i) == RowKind::StartedProcess) seen.helperPid = StoredPid(app, i);
    }
    const char16_t* firstFile = PathFileName(plan.firstFile);
    EventRow row{}; // once a call
    for (int32_t i = 0; i < rowCount; ++i) {
        ReadStoredRow(app, i, &row);
        const RowKind kind = RowKindOfRow(row);
        for (int c = 0; c < kSelftestCheckCount; ++c) {
            if (result->found[c]) continue;
            const char16_t* qualifier = Matches(plan, c, row, kind, seen);
            if (qualifier == nullptr) continue;
            result->found[c] = true;
            FormatText(result->form[c], kSelftestFormChars, u"as \"%s\"%s", row.operation,
                       qualifier);
        }
        if (row.category == kCategoryFile && EndsWithFileName(row.path, firstFile))
            seen.firstFileNamed = true;
    }
    for (int c = 0; c < kSelftestCheckCount; ++c) {
        if (result->found[c]) continue;
        ++result->missing;
        Reason(plan, c, context, result->reason[c], kSelftestReasonChars);
    }
}

void FormatSelftestLine(const SelftestResult& result, int check, char16_t* out, size_t capacity) {
    if (check < 0 || check >= kSelftestCheckCount) {
        if (capacity > 0) out[0] = 0;
        return;
    }
    if (result.found[check]) {
        FormatText(out, capacity, u"  found    %-24s %s", kCheckNames[check], result.form[check]);
    } else {
        FormatText(out, capacity, u"  MISSING  %-24s %s", kCheckNames[check], result.reason[check]);
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
    FormatText(out, capacity, u"%d of %d checks found", kSelftestCheckCount - result.missing,
               kSelftestCheckCount);
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
