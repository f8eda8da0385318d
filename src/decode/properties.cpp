#include "decode/properties.h"

#include <cstring>

#include "base/format.h"
#include "base/text.h"
#include "platform/memory.h"

namespace olv {

namespace {

// Larger string properties are treated as absent.
constexpr uint32_t kStringPropertyLimit = 32768;
// Below these sizes a string is read through the stack; larger ones take one heap block.
constexpr uint32_t kWideStackLimit = 4095;
constexpr uint32_t kAnsiStackLimit = 1024;

// The property's size, or 0 when it is missing or cannot be asked.
uint32_t PropertySize(const EventRecord* event, const char16_t* name) {
    uint32_t size = 0;
    if (TracePropertySize(event, name, &size) != 0) return 0;
    return size;
}

// A zeroed work buffer of `bytes` bytes: the stack buffer when it is large enough, else one heap
// block, freed with the buffer.
template <typename T, size_t N> struct WorkBuffer {
    T stack[N];
    T* heap = nullptr;
    T* data = nullptr;

    bool Take(size_t bytes) {
        if (bytes <= sizeof(stack)) {
            data = stack;
        } else {
            heap = static_cast<T*>(AllocZeroed(bytes));
            if (heap == nullptr) return false;
            data = heap;
        }
        std::memset(static_cast<void*>(data), 0, bytes);
        return true;
    }
    ~WorkBuffer() { FreeBlock(heap); }
};

// A number or pointer is read in one call into a zeroed 8-byte buffer: the property's bytes land
// at its start, so a property of 1 to 8 bytes reads as its little-endian value, and a larger one
// fails as too large for the buffer. Asking for the size first, as the strings do, took a second
// call for every number of every event.
bool ReadUpTo8Bytes(const EventRecord* event, const char16_t* name, uint64_t* value) {
    *value = 0;
    if (TracePropertyRead(event, name, value, sizeof *value) == 0) return true;
    *value = 0;
    return false;
}

} // namespace

uint32_t ReadIntProperty(const EventRecord* event, const char16_t* name) {
    uint64_t value = 0;
    return ReadUpTo8Bytes(event, name, &value) ? static_cast<uint32_t>(value) : 0;
}

uint64_t ReadPointerProperty(const EventRecord* event, const char16_t* name) {
    uint64_t value = 0;
    return ReadUpTo8Bytes(event, name, &value) ? value : 0;
}

void ReadWideStringProperty(const EventRecord* event, const char16_t* name, char16_t* out,
                            size_t capacity) {
    if (out == nullptr || capacity == 0) return;
    out[0] = 0;
    uint32_t size = PropertySize(event, name);
    if (size == 0 || size > kStringPropertyLimit) return;

    // A text that fits whole, with room for a terminator, is read straight into out and ended at
    // its first NUL; the bytes read after that are left behind the terminator.
    const size_t whole = size / 2;
    if (whole < capacity) {
        if (TracePropertyRead(event, name, out, size) != 0) {
            out[0] = 0;
            return;
        }
        out[FieldTextLength(out, whole)] = 0;
        return;
    }

    // size + 2 bytes always end in a NUL character, whatever the property holds.
    WorkBuffer<char16_t, (kWideStackLimit + 1) / 2> work;
    if (!work.Take(size + 2u)) return;
    if (TracePropertyRead(event, name, work.data, size) != 0) return;

    size_t chars = size / 2;
    size_t n = 0;
    while (n < chars && n < capacity - 1 && work.data[n] != 0) {
        out[n] = work.data[n];
        ++n;
    }
    out[n] = 0;
}

void ReadLongWideProperty(const EventRecord* event, const char16_t* name, char16_t* out,
                          size_t capacity, uint32_t* units) {
    if (units != nullptr) *units = 0;
    if (out == nullptr || capacity == 0) return;
    out[0] = 0;
    const uint32_t size = PropertySize(event, name);
    if (size < 2 || size > kLongTextPropertyLimit) return;
    const size_t whole = size / 2;
    if (whole < capacity) {
        if (TracePropertyRead(event, name, out, size) != 0) {
            out[0] = 0;
            return;
        }
        const size_t n = FieldTextLength(out, whole);
        out[n] = 0;
        if (units != nullptr) *units = static_cast<uint32_t>(n);
        return;
    }
    WorkBuffer<char16_t, 1> work;
    if (!work.Take(size + 2u)) return;
    if (TracePropertyRead(event, name, work.data, size) != 0) return;
    const size_t n = FieldTextLength(work.data, whole);
    const size_t kept = n < capacity - 1 ? n : capacity - 1;
    std::memcpy(out, work.data, kept * sizeof(char16_t));
    out[kept] = 0;
    if (units != nullptr) *units = static_cast<uint32_t>(n);
}

uint32_t WideTextPropertyUnits(const EventRecord* event, const char16_t* name) {
    const uint32_t size = PropertySize(event, name);
    return size <= kLongTextPropertyLimit ? size / 2 : 0;
}

bool ReadBytesProperty(const EventRecord* event, const char16_t* name, void* out, uint32_t capacity,
                       uint32_t* size) {
    const uint32_t bytes = PropertySize(event, name);
    if (size != nullptr) *size = bytes;
    if (out == nullptr || bytes == 0 || bytes > capacity) return false;
    return TracePropertyRead(event, name, out, bytes) == 0;
}

void ReadAnsiStringProperty(const EventRecord* event, const char16_t* name, char16_t* out,
                            size_t capacity) {
    if (out == nullptr || capacity == 0) return;
    out[0] = 0;
    uint32_t size = PropertySize(event, name);
    if (size == 0 || size > kStringPropertyLimit) return;

    // size + 1 bytes always end in a NUL, whatever the property holds.
    WorkBuffer<char, kAnsiStackLimit> work;
    if (!work.Take(size + 1u)) return;
    if (TracePropertyRead(event, name, work.data, size) != 0) return;
    if (!AnsiToUtf16(work.data, out, capacity)) out[0] = 0;
}

void FormatStatusText(uint32_t status, char16_t* out, size_t capacity) {
    struct Named {
        uint32_t status;
        const char16_t* text;
    };
    static constexpr Named kNamed[] = {
        {0x00000103, u"PENDING"},       {0x80000005, u"MORE DATA"},
        {0x80000006, u"NO MORE"},       {0x8000001A, u"NO MORE"},
        {0xC000000D, u"BAD PARAMETER"}, {0xC0000022, u"DENIED"},
        {0xC0000023, u"BUFFER SMALL"},  {0xC0000034, u"NOT FOUND"},
        {0xC0000035, u"EXISTS"},        {0xC000003A, u"PATH NOT FOUND"},
        {0xC0000043, u"SHARING"},       {0xC0000061, u"PRIVILEGE"},
        {0xC00000BA, u"IS A FOLDER"},   {0xC0000101, u"NOT EMPTY"},
        {0xC0000121, u"CANNOT DELETE"}, {0xC0000123, u"DELETED"},
    };
    for (const Named& n : kNamed) {
        if (n.status == status) {
            CopyBounded(out, capacity, n.text);
            return;
        }
    }
    if (status <= 0x7FFFFFFF) {
        CopyBounded(out, capacity, u"OK");
    } else if (status <= 0xBFFFFFFF) {
        FormatText(out, capacity, u"WARN 0x%08X", status);
    } else {
        FormatText(out, capacity, u"FAIL 0x%08X", status);
    }
}

void FormatIoSize(uint32_t bytes, char16_t* out, size_t capacity) {
    if (bytes == 0) return;
    if (bytes >= 0x100000) {
        FormatText(out, capacity, u"%u.%u MB", bytes >> 20, ((bytes & 0xFFFFF) * 10) >> 20);
    } else if (bytes >= 1024) {
        FormatText(out, capacity, u"%u.%u KB", bytes >> 10, ((bytes & 0x3FF) * 10) >> 10);
    } else {
        FormatText(out, capacity, u"%lu bytes", bytes);
    }
}

void FormatImageSize(uint32_t bytes, char16_t* out, size_t capacity) {
    if (bytes == 0) return;
    if (bytes < 0x100000) {
        FormatText(out, capacity, u"Size: %u.%u KB", bytes >> 10, ((bytes & 0x3FF) * 10) >> 10);
    } else {
        FormatText(out, capacity, u"Size: %u.%u MB", bytes >> 20, ((bytes & 0xFFFFF) * 10) >> 20);
    }
}

} // namespace olv
