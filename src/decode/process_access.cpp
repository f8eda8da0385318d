// The kernel's audit of process and thread opens: a followed process opening another process or
// a thread of another process, as a Process row naming the target, the rights asked for and the
// status the open returned. The provider covers the whole machine, so an event of a process not
// followed is left after one lookup, before any of its fields is read.
#include "base/format.h"
#include "base/text.h"
#include "decode/decode.h"
#include "decode/properties.h"

namespace olv {

namespace {

constexpr uint16_t kOpenProcessEvent = 5;
constexpr uint16_t kOpenThreadEvent = 6;

struct AccessRight {
    uint32_t bit;
    const char16_t* name;
};

// The rights an analyst reads an open by; the rest are in the hex mask. "read memory" and
// "write memory" are what the built-in rules look for.
constexpr AccessRight kProcessRights[] = {
    {0x0001, u"terminate"},
    {0x0002, u"create thread"},
    {0x0008, u"memory operation"},
    {0x0010, u"read memory"},
    {0x0020, u"write memory"},
    {0x0040, u"duplicate handles"},
    {0x0080, u"create process"},
    {0x0200, u"set information"},
    {0x0400, u"query information"},
    {0x0800, u"suspend or resume"},
    {0x1000, u"query limited information"},
};
constexpr AccessRight kThreadRights[] = {
    {0x0001, u"terminate"},
    {0x0002, u"suspend or resume"},
    {0x0008, u"get context"},
    {0x0010, u"set context"},
    {0x0020, u"set information"},
    {0x0040, u"query information"},
    {0x0080, u"set token"},
    {0x0100, u"impersonate"},
    {0x0800, u"query limited information"},
};
constexpr uint32_t kAllAccess = 0x1FFFFF;
constexpr uint32_t kMaximumAllowed = 0x02000000;

template <size_t N>
void AppendRights(uint32_t access, const AccessRight (&rights)[N], const char16_t* all,
                  char16_t* out, size_t capacity) {
    if ((access & kAllAccess) == kAllAccess) {
        AppendBounded(out, capacity, all);
        return;
    }
    bool any = false;
    for (const AccessRight& right : rights) {
        if ((access & right.bit) == 0) continue;
        AppendBounded(out, capacity, any ? u", " : u" (");
        AppendBounded(out, capacity, right.name);
        any = true;
    }
    if ((access & kMaximumAllowed) != 0) {
        AppendBounded(out, capacity, any ? u", " : u" (");
        AppendBounded(out, capacity, u"maximum allowed");
        any = true;
    }
    if (any) AppendBounded(out, capacity, u")");
}

} // namespace

void FormatProcessAccess(uint32_t access, bool thread, char16_t* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return;
    FormatText(out, capacity, u"Access: 0x%x", access);
    if (thread) {
        AppendRights(access, kThreadRights, u" (all thread access)", out, capacity);
    } else {
        AppendRights(access, kProcessRights, u" (all access)", out, capacity);
    }
}

bool DecodeKernelAuditEvent(TrackingState* ts, const EventRecord* event, EventRow* row, int64_t t,
                            RowKind* kind) {
    if (ts == nullptr || event == nullptr || row == nullptr || kind == nullptr) return false;
    const uint16_t id = event->header.descriptor.id;
    if (id != kOpenProcessEvent && id != kOpenThreadEvent) return false;
    const uint32_t source = event->header.processId;
    if (!IsProcessFollowed(ts, source, t)) return false;
    const uint32_t target = ReadIntProperty(event, u"TargetProcessId");
    // A process opening itself or its own threads reaches nothing it did not have.
    if (target == source) return false;
    const bool thread = id == kOpenThreadEvent;

    StartRow(event, row);
    *kind = SetRowKind(row, RowKind::OpenedProcess);
    // The target's executable by its full path when the trace named it, else its name.
    if (LookupProcessImage(ts, target, t, row->path, kPathChars)) {
        TranslateDevicePath(ts, row->path, kPathChars);
    } else if (!LookupProcessName(ts, target, t, row->path, kPathChars)) {
        FormatText(row->path, kPathChars, u"PID %lu", target);
    }
    FormatText(row->detail, kDetailChars, u"Target PID: %lu / ", target);
    if (thread) {
        AppendFormat(row->detail, kDetailChars, u"TID: %lu / ",
                     ReadIntProperty(event, u"TargetThreadId"));
    }
    char16_t access[kDetailChars];
    FormatProcessAccess(ReadIntProperty(event, u"DesiredAccess"), thread, access, kDetailChars);
    AppendBounded(row->detail, kDetailChars, access);
    FormatStatusText(ReadIntProperty(event, u"ReturnCode"), row->result, kResultChars);
    return true;
}

} // namespace olv
