// The kernel's Thread provider: a thread started in one process by another. The event's header
// names the process whose thread made the new one, its payload the process the thread runs in and
// where it starts. Threads a process starts in itself, nearly all of them, cost one property read.
#include "base/format.h"
#include "base/text.h"
#include "decode/decode.h"
#include "decode/properties.h"
#include "record/thread_row.h"

namespace olv {

namespace {

constexpr uint8_t kThreadStart = 1;

} // namespace

bool DecodeThreadEvent(TrackingState* ts, const EventRecord* event, EventRow* row, int64_t t,
                       RowKind* kind) {
    if (ts == nullptr || event == nullptr || row == nullptr || kind == nullptr) return false;
    if (event->header.descriptor.opcode != kThreadStart) return false;
    const uint32_t creator = event->header.processId;
    const uint32_t target = ReadIntProperty(event, u"ProcessId");
    if (creator == 0 || target == 0 || target == creator) return false;
    // A new process's first thread is made by the process that started it; that is how every
    // process begins, not a thread created in another process.
    if (TakeFirstThread(ts, target)) return false;
    if (!IsProcessFollowed(ts, creator, t) && !IsProcessFollowed(ts, target, t)) return false;

    StartRow(event, row);
    *kind = SetRowKind(row, RowKind::CreatedThreadInAnotherProcess);
    const uint64_t start = ReadPointerProperty(event, u"Win32StartAddr");
    row->keyObject = start;
    // The target by its program's path when its images hold the program the name table names.
    char16_t name[kProcessChars];
    if (!LookupProcessName(ts, target, t, name, kProcessChars)) name[0] = 0;
    if (FindImageNamed(ts, target, name, row->path, kPathChars)) {
        TranslateDevicePath(ts, row->path, kPathChars);
    } else {
        CopyBounded(row->path, kPathChars, name);
    }
    FormatText(row->detail, kDetailChars, u"Target PID: %lu / Thread ID: %lu", target,
               ReadIntProperty(event, u"TThreadId"));
    AppendBounded(row->detail, kDetailChars, kThreadStartMarker);
    // The formatter's numbers are 32-bit: the address goes in two halves.
    const auto high = static_cast<uint32_t>(start >> 32);
    const auto low = static_cast<uint32_t>(start);
    if (high != 0) {
        AppendFormat(row->detail, kDetailChars, u"0x%x%08x", high, low);
    } else {
        AppendFormat(row->detail, kDetailChars, u"0x%x", low);
    }
    char16_t module[kPathChars];
    uint64_t base = 0;
    if (start != 0 && FindImageAt(ts, target, start, module, kPathChars, &base)) {
        TranslateDevicePath(ts, module, kPathChars);
        AppendBounded(row->detail, kDetailChars, kThreadModuleMarker);
        AppendBounded(row->detail, kDetailChars, module);
        // Images are smaller than 4 GB: the offset is a 32-bit number.
        AppendBounded(row->detail, kDetailChars, kThreadOffsetMarker);
        AppendFormat(row->detail, kDetailChars, u"%x)", static_cast<uint32_t>(start - base));
    } else {
        AppendBounded(row->detail, kDetailChars, kThreadNoModule);
    }
    CopyBounded(row->result, kResultChars, u"OK");
    return true;
}

} // namespace olv
