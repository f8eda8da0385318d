// The kernel's Thread provider: a thread started in one process by another. The event's header
// names the process whose thread made the new one, its payload the process the thread runs in and
// where it starts. Threads a process starts in itself, nearly all of them, cost one property read.
#include "base/text.h"
#include "decode/decode.h"
#include "decode/properties.h"
#include "record/thread_row.h"

namespace olv {

namespace {

constexpr uint8_t kThreadStart = 1;

// Appends text to the detail at used (its length), cut at the detail's room; the new length.
size_t AppendText(char16_t* detail, size_t used, const char16_t* text) {
    while (*text != 0 && used + 1 < kDetailChars)
        detail[used++] = *text++;
    detail[used] = 0;
    return used;
}

// Appends value in base 10 or 16 (lower case, no leading zeros).
size_t AppendNumber(char16_t* detail, size_t used, uint64_t value, unsigned base) {
    char16_t digits[24];
    size_t n = 0;
    do {
        const auto digit = static_cast<unsigned>(value % base);
        digits[n++] = static_cast<char16_t>(digit < 10 ? u'0' + digit : u'a' + digit - 10);
        value /= base;
    } while (value != 0);
    while (n > 0 && used + 1 < kDetailChars)
        detail[used++] = digits[--n];
    detail[used] = 0;
    return used;
}

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
    // The target by its program's path when its images hold the program the name table names,
    // and the module holding the start: one walk of the target's images.
    char16_t name[kProcessChars];
    if (!LookupProcessName(ts, target, t, name, kProcessChars)) name[0] = 0;
    char16_t module[kPathChars];
    uint64_t base = 0;
    const uint32_t found = FindThreadImages(ts, target, name, row->path, kPathChars, start, module,
                                            kPathChars, &base);
    if ((found & kFoundProgram) != 0) {
        TranslateDevicePath(ts, row->path, kPathChars);
    } else {
        CopyBounded(row->path, kPathChars, name);
    }
    // The texts are put together by hand: this runs for every row of the kind, and the formatter
    // took a sixth of the row's time.
    char16_t* d = row->detail;
    size_t used = AppendText(d, 0, kThreadTargetMarker);
    used = AppendNumber(d, used, target, 10);
    used = AppendText(d, used, u" / Thread ID: ");
    used = AppendNumber(d, used, ReadIntProperty(event, u"TThreadId"), 10);
    used = AppendText(d, used, kThreadStartMarker);
    used = AppendText(d, used, u"0x");
    used = AppendNumber(d, used, start, 16);
    if ((found & kFoundModule) != 0) {
        TranslateDevicePath(ts, module, kPathChars);
        used = AppendText(d, used, kThreadModuleMarker);
        used = AppendText(d, used, module);
        // Images are smaller than 4 GB: the offset is a 32-bit number.
        used = AppendText(d, used, kThreadOffsetMarker);
        used = AppendNumber(d, used, static_cast<uint32_t>(start - base), 16);
        AppendText(d, used, u")");
    } else {
        AppendText(d, used, kThreadNoModule);
    }
    CopyBounded(row->result, kResultChars, u"OK");
    return true;
}

} // namespace olv
