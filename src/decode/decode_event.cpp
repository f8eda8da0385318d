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
    {&kDnsClientProvider, DecodeDnsEvent},
};

} // namespace

EventDecoder DecoderForProvider(const Guid& provider) {
    for (const ProviderRoute& route : kRoutes) {
        if (*route.provider == provider) return route.decoder;
    }
    return nullptr;
}

void StartRow(const EventRecord* event, EventRow* row) {
    const EventHeader& header = event->header;
    std::memset(static_cast<void*>(row), 0, sizeof *row);
    // A time stamp that cannot be converted leaves the time zero.
    FileTimeToLocalTime(header.timeStamp, &row->time);
    row->pid = header.processId;
    row->threadId = header.threadId;
    row->timestamp = static_cast<uint64_t>(header.timeStamp);
}

bool DecodeEvent(TrackingState* ts, const EventRecord* event, EventRow* row) {
    if (ts == nullptr || event == nullptr || row == nullptr) return false;
    const int64_t t = event->header.timeStamp;
    // The decoder starts the row (StartRow) once it knows there is one; a row released from the
    // held pool comes whole, with the time and ids of its request.
    EventDecoder decoder = DecoderForProvider(event->header.providerId);
    if (decoder == nullptr || !decoder(ts, event, row, t)) return false;

    // The rules below see the process name, so it is set first.
    if (row->process[0] == 0 && !LookupProcessName(ts, row->pid, t, row->process, kProcessChars)) {
        row->process[0] = 0;
    }
    int32_t severity = ScoreRow(row, row->threat, kThreatChars);
    row->severity = severity > 0 ? static_cast<uint32_t>(severity) : 0;
    return true;
}

} // namespace olv
