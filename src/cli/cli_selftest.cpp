#include "cli/cli_selftest.h"

#include "base/format.h"
#include "base/text.h"
#include "cli/cli_text.h"

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

bool Op(const EventRow& row, const char16_t* operation) {
    return TextEquals(row.operation, operation);
}

// Whether text ends with a separator and then name, ignoring the case of A-Z.
bool EndsWithFileName(const char16_t* text, const char16_t* name) {
    const size_t n = TextLength(text), m = TextLength(name);
    if (m == 0 || n < m + 1) return false;
    const char16_t before = text[n - m - 1];
    return (before == u'\\' || before == u'/') && EqualsFolded(text + n - m, name);
}

// The port after "-> 127.0.0.1:" in a network row's path; false when there is none.
bool LoopbackPort(const char16_t* path, uint32_t* port) {
    const ptrdiff_t at = FindText(path, u"-> 127.0.0.1:");
    if (at < 0) return false;
    const char16_t* p = path + at + 13;
    uint32_t value = 0;
    int digits = 0;
    for (; *p >= u'0' && *p <= u'9' && digits < 6; ++p, ++digits)
        value = value * 10 + static_cast<uint32_t>(*p - u'0');
    if (digits == 0) return false;
    *port = value;
    return true;
}

bool InPorts(const char16_t* path, uint16_t first) {
    uint32_t port = 0;
    return LoopbackPort(path, &port) && port >= first && port < uint32_t{first} + kSelftestPortSpan;
}

bool Matches(const SelftestPlan& plan, int check, const EventRow& row, uint32_t helperPid) {
    const char16_t* first = PathFileName(plan.firstFile);
    const char16_t* second = PathFileName(plan.secondFile);
    switch (check) {
    case kCheckChild:
        return Op(row, u"Started child process") &&
               (helperPid == 0 || row.parentPid == helperPid) &&
               ContainsFolded(row.path, u"--selftest-child");
    case kCheckDll:
        return Op(row, u"Loaded DLL") && EndsWithFileName(row.path, plan.dll);
    case kCheckFileCreate:
        return Op(row, u"Created new file") && EndsWithFileName(row.path, first);
    case kCheckFileWrite:
        return Op(row, u"Wrote to file") && EndsWithFileName(row.path, first);
    case kCheckFileRename:
        return (Op(row, u"Renamed file") || Op(row, u"Renamed file by path")) &&
               (ContainsFolded(row.path, first) || ContainsFolded(row.path, second) ||
                ContainsFolded(row.detail, second));
    case kCheckFileDelete:
        return (Op(row, u"Deleted file") || Op(row, u"Deleted file by path")) &&
               (EndsWithFileName(row.path, second) || EndsWithFileName(row.path, first));
    case kCheckKeyCreate:
        return Op(row, u"Created registry key") && ContainsFolded(row.path, plan.tag);
    case kCheckValueSet:
        return Op(row, u"Wrote registry value") && ContainsFolded(row.path, plan.tag);
    case kCheckValueDelete:
        return Op(row, u"Deleted registry value") && ContainsFolded(row.path, plan.tag);
    case kCheckKeyDelete:
        return Op(row, u"Deleted registry key") && ContainsFolded(row.path, plan.tag);
    case kCheckTcpConnect:
        return Op(row, u"Connected (TCP)") && InPorts(row.path, plan.tcpPort);
    case kCheckTcpSend:
        return Op(row, u"Sent data (TCP)") && InPorts(row.path, plan.tcpPort);
    case kCheckUdpSend:
        return Op(row, u"Sent data (UDP)") && InPorts(row.path, plan.udpPort);
    case kCheckDnsQuery:
        return Op(row, u"DNS query") && EqualsFolded(row.path, plan.dnsName);
    default:
        return false;
    }
}

void Reason(const SelftestPlan&, int check, const SelftestContext& c, char16_t* out,
            size_t capacity) {
    const RecordingInfo* info = c.info;
    if (!c.started) {
        FormatText(out, capacity, u"the trace could not start: %.150s",
                   c.startFailure != nullptr ? c.startFailure : u"no reason given");
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
        FormatText(out, capacity, u"events were lost (%lu), and this row may be among them",
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

void JudgeSelftest(const SelftestPlan& plan, const EventRow* rows, int32_t rowCount,
                   const SelftestContext& context, SelftestResult* result) {
    *result = SelftestResult{};
    uint32_t helperPid = 0;
    for (int32_t i = 0; i < rowCount && helperPid == 0; ++i) {
        if (Op(rows[i], u"Started process")) helperPid = rows[i].pid;
    }
    for (int32_t i = 0; i < rowCount; ++i) {
        for (int c = 0; c < kSelftestCheckCount; ++c) {
            if (!result->found[c] && Matches(plan, c, rows[i], helperPid)) result->found[c] = true;
        }
    }
    for (int c = 0; c < kSelftestCheckCount; ++c) {
        if (result->found[c]) continue;
        ++result->missing;
        Reason(plan, c, context, result->reason[c], 200);
    }
}

void FormatSelftestLine(const SelftestResult& result, int check, char16_t* out, size_t capacity) {
    if (check < 0 || check >= kSelftestCheckCount) {
        if (capacity > 0) out[0] = 0;
        return;
    }
    if (result.found[check]) {
        FormatText(out, capacity, u"  found    %s", kCheckNames[check]);
    } else {
        FormatText(out, capacity, u"  MISSING  %-24s %s", kCheckNames[check], result.reason[check]);
    }
}

bool SelftestHelperExitCode(const EventRow* rows, int32_t rowCount, uint32_t* code) {
    for (int32_t i = 0; i < rowCount; ++i) {
        const EventRow& row = rows[i];
        if (!Op(row, u"Target process exited")) continue;
        const char16_t* p = row.detail;
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

bool FormatSelftestTable(const SelftestPlan& plan, const SelftestResult& result,
                         const SelftestContext& context, char16_t* out, size_t capacity) {
    if (capacity == 0) return false;
    out[0] = 0;
    char16_t line[kSelftestLineChars];
    size_t length = 0;
    for (int c = 0; c < kSelftestCheckCount; ++c) {
        FormatSelftestLine(result, c, line, kSelftestLineChars);
        AppendBounded(out, capacity, line);
        length = AppendBounded(out, capacity, u"\r\n");
    }
    FormatSelftestSummary(result, line, kSelftestLineChars);
    AppendBounded(out, capacity, u"\r\n");
    AppendBounded(out, capacity, line);
    length = AppendBounded(out, capacity, u"\r\n");
    if (FormatSelftestCleanupProblem(plan, context, line, kSelftestLineChars)) {
        AppendBounded(out, capacity, u"\r\n");
        AppendBounded(out, capacity, line);
        length = AppendBounded(out, capacity, u"\r\n");
    }
    return length + 1 < capacity; // a full buffer may have cut the text
}

} // namespace olv
