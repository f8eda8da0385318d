#include <cstddef>
#include <cstring>

#include "decode/decode.h"
#include "decode/dispatch.h"
#include "platform/time.h"
#include "rules/threat_rules.h"

namespace olv {

namespace {

struct ProviderRoute {
    const Guid* provider;
    EventDecoder decoder;
};

// Compared in this order; the first match decodes the event.
const ProviderRoute kRoutes[] = {
    {&kFileIoProvider, DecodeFileIoEvent},   {&kRegistryProvider, DecodeRegistryEvent},
    {&kTcpIpProvider, DecodeTcpIpEvent},     {&kUdpIpProvider, DecodeUdpIpEvent},
    {&kProcessProvider, DecodeProcessEvent}, {&kImageProvider, DecodeImageEvent},
    {&kDnsClientProvider, DecodeDnsEvent},   {&kPowerShellProvider, DecodePowerShellEvent},
    {&kAmsiProvider, DecodeAmsiEvent},       {&kKernelAuditProvider, DecodeKernelAuditEvent},
    {&kThreadProvider, DecodeThreadEvent},
};

// The local time of the last second of event time this thread converted. A busy second brings
// thousands of events and only their milliseconds differ, so the zone is consulted once a second
// instead of once an event. Local time is a function of the whole second (zones move by whole
// seconds), so the result is the conversion's own; a change of the machine's zone reaches the
// rows from the next second of event time on.
struct LocalSecond {
    int64_t second = -1;
    SystemTime time{};
};
thread_local LocalSecond tLocalSecond;

void EventLocalTime(int64_t ticks, SystemTime* out) {
    if (ticks < 0) return; // no conversion: the time stays zero
    const int64_t second = ticks / kTicksPerSecond;
    LocalSecond& kept = tLocalSecond;
    if (second != kept.second) {
        SystemTime converted{};
        if (!FileTimeToLocalTime(second * kTicksPerSecond, &converted)) return;
        kept.second = second;
        kept.time = converted;
    }
    *out = kept.time;
    out->milliseconds = static_cast<uint16_t>(ticks % kTicksPerSecond / (kTicksPerSecond / 1000));
}

} // namespace

EventDecoder DecoderForProvider(const Guid& provider) {
    for (const ProviderRoute& route : kRoutes) {
        if (*route.provider == provider) return route.decoder;
    }
    return nullptr;
}

void StartRow(const EventRecord* event, EventRow* row) {
    const EventHeader& header = event->header;
    auto* bytes = reinterpret_cast<unsigned char*>(row);
    std::memset(bytes, 0, offsetof(EventRow, operation)); // time, category
    row->operation[0] = 0;
    row->path[0] = 0;
    row->detail[0] = 0;
    row->result[0] = 0;
    row->process[0] = 0;
    row->threat[0] = 0;
    std::memset(bytes + offsetof(EventRow, pid), 0, sizeof *row - offsetof(EventRow, pid));
    // A time stamp that cannot be converted leaves the time zero.
    EventLocalTime(header.timeStamp, &row->time);
    row->pid = header.processId;
    row->threadId = header.threadId;
    row->timestamp = static_cast<uint64_t>(header.timeStamp);
}

bool DecodeEvent(TrackingState* ts, const EventRecord* event, EventRow* row) {
    if (ts == nullptr || event == nullptr || row == nullptr) return false;
    const int64_t t = event->header.timeStamp;
    // The decoder starts the row (StartRow) once it knows there is one; a row released from the
    // held pool comes whole, with the time and ids of its request.
    // The rules ask the row's kind; the decoder that made the row knows it, so it is not looked
    // up by the row's text here.
    EventDecoder decoder = DecoderForProvider(event->header.providerId);
    RowKind kind = RowKind::Other;
    if (decoder == nullptr || !decoder(ts, event, row, t, &kind)) return false;

    // The rules below see the process name, so it is set first.
    if (row->process[0] == 0 && !LookupProcessName(ts, row->pid, t, row->process, kProcessChars)) {
        row->process[0] = 0;
    }
    if (KeepsScoreFromHold(event, row)) return true;
    if (kind == kRowKindUnknown) kind = RowKindOfRow(*row);
    int32_t severity = ScoreRowOfKind(row, kind, row->threat, kThreatChars);
    row->severity = severity > 0 ? static_cast<uint32_t>(severity) : 0;
    return true;
}

} // namespace olv
