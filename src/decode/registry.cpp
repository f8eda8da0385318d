// Registry provider: key events teach the KeyNameTable, operations of followed processes become
// Registry rows whose path is the key's full name where it is known.
#include "base/atomic.h"
#include "base/format.h"
#include "base/text.h"
#include "decode/decode.h"
#include "decode/properties.h"

namespace olv {

namespace {

constexpr uint8_t kOpKcbCreate = 22;
constexpr uint8_t kOpKcbDelete = 23;
constexpr uint8_t kOpKcbRundownBegin = 24; // 24 and 25: the rundowns at start and at stop
constexpr uint8_t kOpKcbRundownEnd = 25;
constexpr uint8_t kOpNoRow = 26;

constexpr size_t kKeyNameChars = 1024;
constexpr size_t kRelativeNameChars = 512;

struct RegistryOperationName {
    uint8_t opcode;
    RowKind kind;
};

const RegistryOperationName kRegistryOperations[] = {
    {10, RowKind::CreatedRegistryKey},
    {11, RowKind::OpenedRegistryKey},
    {12, RowKind::DeletedRegistryKey},
    {13, RowKind::ReadRegistryKey},
    {14, RowKind::WroteRegistryValue},
    {15, RowKind::DeletedRegistryValue},
    {16, RowKind::ReadRegistryValue},
    {17, RowKind::ListedRegistryKeys},
    {18, RowKind::ListedRegistryValues},
    {19, RowKind::ReadSeveralRegistryValues},
    {20, RowKind::ChangedRegistryKeyInformation},
    {21, RowKind::FlushedRegistryKey},
    {27, RowKind::ClosedRegistryKey},
};

// A Registry row of the opcode's kind; an opcode no kind names is of kind Other and says its
// number.
RowKind SetRegistryOperation(uint8_t opcode, EventRow* row) {
    for (const RegistryOperationName& entry : kRegistryOperations) {
        if (entry.opcode == opcode) return SetRowKind(row, entry.kind);
    }
    row->category = kCategoryRegistry;
    FormatText(row->operation, kOperationChars, u"Registry operation (%d)",
               static_cast<int>(opcode));
    return RowKind::Other;
}

bool IsValueOperation(uint8_t opcode) {
    return opcode == 14 || opcode == 15 || opcode == 16;
}

void LearnFromKeyEvent(TrackingState* ts, const EventRecord* event, uint8_t opcode, int64_t t) {
    const uint64_t key = ReadPointerProperty(event, u"KeyHandle");
    char16_t name[kKeyNameChars];
    ReadWideStringProperty(event, u"KeyName", name, kKeyNameChars);
    if (opcode == kOpKcbDelete) {
        if (key != 0 && t >= 1) ForgetKeyName(ts, key, t);
        return;
    }
    if (key == 0 || name[0] == 0) return;
    RememberKeyName(ts, key, name, t, opcode == kOpKcbCreate);
    if (opcode == kOpKcbCreate) {
        AtomicAdd(ts->keysNamedByCreate, 1);
    } else {
        AtomicAdd(ts->keysNamedByRundown, 1);
    }
}

} // namespace

bool DecodeRegistryEvent(TrackingState* ts, const EventRecord* event, EventRow* row, int64_t t,
                         RowKind* kind) {
    if (ts == nullptr || event == nullptr || row == nullptr || kind == nullptr) return false;
    const uint8_t opcode = event->header.descriptor.opcode;
    if (opcode == kOpKcbCreate || opcode == kOpKcbDelete || opcode == kOpKcbRundownBegin ||
        opcode == kOpKcbRundownEnd) {
        // Key events of every process: names are shared by the whole machine.
        LearnFromKeyEvent(ts, event, opcode, t);
        return false;
    }

    if (!IsProcessFollowed(ts, event->header.processId, t)) return false;
    if (opcode == kOpNoRow) return false;
    StartRow(event, row);
    *kind = SetRegistryOperation(opcode, row);

    const uint64_t keyObject = ReadPointerProperty(event, u"KeyHandle");
    char16_t relative[kRelativeNameChars];
    ReadWideStringProperty(event, u"KeyName", relative, kRelativeNameChars);
    char16_t base[kKeyNameChars];
    base[0] = 0;
    if (keyObject != 0) LookupKeyName(ts, keyObject, t, base, kKeyNameChars);
    row->keyObject = keyObject;

    bool named;
    if (IsValueOperation(opcode)) {
        // The event's name is the value's; the path is the key itself.
        named = ComposeKeyPath(base, u"", row->path, kPathChars);
        if (relative[0] != 0) {
            const size_t prefix = CopyBounded(row->detail, kDetailChars, u"Value: ");
            CopyBounded(row->detail + prefix, kDetailChars - prefix, relative);
        }
    } else {
        named = ComposeKeyPath(base, relative, row->path, kPathChars);
    }
    // Such rows may still be named from the rundown at the end of the trace.
    if (!named) AtomicAdd(ts->registryKeysNotResolved, 1);

    FormatStatusText(ReadIntProperty(event, u"Status"), row->result, kResultChars);
    return true;
}

} // namespace olv
