// DecodeEvent and the decoders of the ten providers.
#pragma once

#include <cstdint>

#include "platform/trace_providers.h"
#include "platform/tracedata.h"
#include "record/event_row.h"
#include "record/row_kind.h"
#include "tracking/tracking_state.h"

namespace olv {

// The kind a decoder reports for a row it did not make itself: DecodeEvent looks it up by the
// row's text when it needs it.
constexpr RowKind kRowKindUnknown = RowKind::kCount;

// Turns one event into at most one row. row is owned by the caller and need not be cleared: a
// kept row gets every byte from DecodeEvent, as if it had been zero-filled first.
// True: the row is complete and must be handed on. False: no row now (normal and frequent); the
// row's contents are then of no use.
bool DecodeEvent(TrackingState* ts, const EventRecord* event, EventRow* row);

// Each decoder calls StartRow as soon as it knows that the event gives a row (or a row to hold),
// and before it writes into the row; events that give none, most of them, never pay for the
// row's clearing or for the conversion of their time. It then sets the row's kind (SetRowKind:
// category and operation; an opcode no kind names gets kind Other and a text of its own), fills
// its provider's fields, may replace pid, and returns true to keep the row, with *kind the row's
// kind. t is the event header's time stamp.
//
// StartRow zeroes the row's numbers, empties its texts, converts the header's time stamp to local
// time (a failed conversion leaves the time zero) and sets pid, threadId and timestamp from the
// header. The bytes after a text's terminator are left as they were: nothing reads them (the ring
// takes each text up to its terminator and keeps zeros after it), and clearing those 3 KB cost
// about as much as all the rest of decoding a registry event.
void StartRow(const EventRecord* event, EventRow* row);
bool DecodeFileIoEvent(TrackingState* ts, const EventRecord* event, EventRow* row, int64_t t,
                RowKind* kind);
// True when the row that DecodeFileIoEvent gave for this event is a held request released by its
// completion whose score from the time it was held still stands: it was scored then, on the same
// texts and with no result, and only the rules that need success read the result, so only a
// failed result can change the score.
bool KeepsScoreFromHold(const EventRecord* event, const EventRow* row);
bool DecodeRegistryEvent(TrackingState* ts, const EventRecord* event, EventRow* row, int64_t t,
                RowKind* kind);
bool DecodeTcpIpEvent(TrackingState* ts, const EventRecord* event, EventRow* row, int64_t t,
                RowKind* kind);
bool DecodeUdpIpEvent(TrackingState* ts, const EventRecord* event, EventRow* row, int64_t t,
                RowKind* kind);
bool DecodeProcessEvent(TrackingState* ts, const EventRecord* event, EventRow* row, int64_t t,
                RowKind* kind);
bool DecodeImageEvent(TrackingState* ts, const EventRecord* event, EventRow* row, int64_t t,
                RowKind* kind);
// A thread one process starts in another, from the kernel's Thread provider.
bool DecodeThreadEvent(TrackingState* ts, const EventRecord* event, EventRow* row, int64_t t,
                       RowKind* kind);
bool DecodeDnsEvent(TrackingState* ts, const EventRecord* event, EventRow* row, int64_t t,
                RowKind* kind);
bool DecodePowerShellEvent(TrackingState* ts, const EventRecord* event, EventRow* row, int64_t t,
                           RowKind* kind);
bool DecodeAmsiEvent(TrackingState* ts, const EventRecord* event, EventRow* row, int64_t t,
                     RowKind* kind);
// The end of a driver row's detail: a driver is loaded by the system for whoever asked, and the
// event does not say who did, so its row is the system process's and says so.
constexpr const char16_t* kDriverOriginNote =
    u"loaded by the system: not known to come from the examined program";

// The kernel audit provider's process and thread opens by a followed process.
bool DecodeKernelAuditEvent(TrackingState* ts, const EventRecord* event, EventRow* row, int64_t t,
                            RowKind* kind);
// "Access: 0x1410 (read memory, query limited information)": the mask in lower-case hex and the
// rights of a process (or of a thread) it names; "(all access)" ("(all thread access)") for every
// standard right.
void FormatProcessAccess(uint32_t access, bool thread, char16_t* out, size_t capacity);
// Writes every script block still waiting for parts, oldest first, through the tracking state's
// row sink, each with the number of its parts missing. When no trace thread runs any more.
void FlushScriptBlocks(TrackingState* ts);
// The whole text of the row the decoders last made on this thread, when it is longer than the
// row's path (which holds its start): *text and *units, valid until the next decode on this
// thread. Taking it clears it, so whoever queues a row asks right after the decode (the row
// sink for rows a decoder sends itself). False when the last row has none.
bool TakeWholeRowText(const char16_t** text, uint32_t* units);
// Frees this thread's whole-text buffer. A consumer thread calls it when its last event is
// decoded: the runtime's thread-exit destructors may run after the thread was joined (MinGW under
// Wine), and the buffer is then still held when the recording is cleaned up.
void ReleaseThreadWholeText();

// DNS helpers.
const char16_t* DnsTypeName(uint32_t queryType);
void FormatDnsResults(const char16_t* results, char16_t* out, size_t capacity);

} // namespace olv
