// DecodeEvent and the decoders of the seven providers.
#pragma once

#include <cstdint>

#include "decode/event_row.h"
#include "platform/tracedata.h"
#include "tracking/tracking_state.h"

namespace olv {

constexpr Guid kFileIoProvider = {0x90cbdc39, 0x4a3e, 0x11d1, {0x84, 0xf4, 0x00, 0x00, 0xf8, 0x04, 0x64, 0xe3}};
constexpr Guid kRegistryProvider = {0xae53722e, 0xc863, 0x11d2, {0x86, 0x59, 0x00, 0xc0, 0x4f, 0xa3, 0x21, 0xa1}};
constexpr Guid kTcpIpProvider = {0x9a280ac0, 0xc8e0, 0x11d1, {0x84, 0xe2, 0x00, 0xc0, 0x4f, 0xb9, 0x98, 0xa2}};
constexpr Guid kUdpIpProvider = {0xbf3a50c5, 0xa9c9, 0x4988, {0xa0, 0x05, 0x2d, 0xf0, 0xb7, 0xc8, 0x0f, 0x80}};
constexpr Guid kProcessProvider = {0x3d6fa8d0, 0xfe05, 0x11d0, {0x9d, 0xda, 0x00, 0xc0, 0x4f, 0xd7, 0xba, 0x7c}};
constexpr Guid kImageProvider = {0x2cb15d1d, 0x5fc1, 0x11d2, {0xab, 0xe1, 0x00, 0xa0, 0xc9, 0x11, 0xf5, 0x18}};
constexpr Guid kDnsClientProvider = {0x1c95126e, 0x7eea, 0x49a9, {0xa3, 0xfe, 0xa3, 0x78, 0xb0, 0x3d, 0xdb, 0x4d}};

// Turns one event into at most one row. row is owned by the caller and need not be cleared: a
// kept row gets every byte from DecodeEvent, as if it had been zero-filled first.
// True: the row is complete and must be handed on. False: no row now (normal and frequent); the
// row's contents are then of no use.
bool DecodeEvent(TrackingState* ts, const EventRecord* event, EventRow* row);

// Each decoder calls StartRow as soon as it knows that the event gives a row (or a row to hold),
// and before it writes into the row; events that give none, most of them, never pay for the
// row's clearing or for the conversion of their time. It then fills category, operation and its
// provider's fields, may replace pid, and returns true to keep the row. t is the event header's
// time stamp.
//
// StartRow zero-fills the row, converts the header's time stamp to local time (a failed
// conversion leaves the time zero) and sets pid, threadId and timestamp from the header.
void StartRow(const EventRecord* event, EventRow* row);
bool DecodeFileIoEvent(TrackingState* ts, const EventRecord* event, EventRow* row, int64_t t);
bool DecodeRegistryEvent(TrackingState* ts, const EventRecord* event, EventRow* row, int64_t t);
bool DecodeTcpIpEvent(TrackingState* ts, const EventRecord* event, EventRow* row, int64_t t);
bool DecodeUdpIpEvent(TrackingState* ts, const EventRecord* event, EventRow* row, int64_t t);
bool DecodeProcessEvent(TrackingState* ts, const EventRecord* event, EventRow* row, int64_t t);
bool DecodeImageEvent(TrackingState* ts, const EventRecord* event, EventRow* row, int64_t t);
bool DecodeDnsEvent(TrackingState* ts, const EventRecord* event, EventRow* row, int64_t t);

// DNS helpers.
const char16_t* DnsTypeName(uint32_t queryType);
void FormatDnsResults(const char16_t* results, char16_t* out, size_t capacity);

} // namespace olv
