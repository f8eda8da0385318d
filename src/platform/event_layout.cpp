#include "platform/event_layout.h"

#include <cstring>

namespace olv {

namespace {

// The block comes from the helper in its own alignment; every field is read by copy.
uint16_t ReadU16(const uint8_t* at) {
    uint16_t v;
    std::memcpy(&v, at, sizeof v);
    return v;
}
uint32_t ReadU32(const uint8_t* at) {
    uint32_t v;
    std::memcpy(&v, at, sizeof v);
    return v;
}

// Size of a scalar in-type, 0 for the types that are not scalars of one size.
uint32_t ScalarBytes(uint16_t inType) {
    switch (inType) {
    case kInTypeInt8:
    case kInTypeUInt8:
    case kInTypeAnsiChar:
        return 1;
    case kInTypeInt16:
    case kInTypeUInt16:
    case kInTypeUnicodeChar:
        return 2;
    case kInTypeInt32:
    case kInTypeUInt32:
    case kInTypeHexInt32:
    case kInTypeFloat:
    case kInTypeBoolean:
        return 4;
    case kInTypeInt64:
    case kInTypeUInt64:
    case kInTypeHexInt64:
    case kInTypeDouble:
    case kInTypeFileTime:
        return 8;
    case kInTypeGuid:
    case kInTypeSystemTime:
        return 16;
    default:
        return 0;
    }
}

// Whether a property can give the length of a later one: an integer of 1, 2, 4 or 8 bytes.
bool IsLengthSource(const LayoutProperty& p) {
    if (p.length == kLengthPointer) return true;
    if (p.length != kLengthFixed) return false;
    return p.bytes == 1 || p.bytes == 2 || p.bytes == 4 || p.bytes == 8;
}

// How the length of property `index` (already named in out) is found.
void SizeProperty(EventLayout* out, uint32_t index, uint32_t flags, uint16_t count,
                  uint16_t length) {
    LayoutProperty& p = out->props[index];
    p.length = kLengthUnknown;
    // Structures, arrays and the forms the helper decodes by other rules are not walked.
    constexpr uint32_t kNotWalked = kSchemaFlagStruct | kSchemaFlagParamCount |
                                    kSchemaFlagXmlFragment | kSchemaFlagParamFixedCount |
                                    kSchemaFlagHasCustomSchema;
    if ((flags & kNotWalked) != 0 || count > 1) return;

    if ((flags & kSchemaFlagParamLength) != 0) {
        // `length` names the earlier property that holds the length.
        if (length >= index || !IsLengthSource(out->props[length])) return;
        p.from = static_cast<uint8_t>(length);
        if (p.inType == kInTypeUnicodeString) {
            p.length = kLengthWideFromProperty;
        } else if (p.inType == kInTypeAnsiString || p.inType == kInTypeBinary) {
            p.length = kLengthBytesFromProperty;
        }
        return;
    }

    switch (p.inType) {
    case kInTypeUnicodeString:
        // A length in the schema counts characters; none means up to the NUL.
        p.length = length == 0 ? kLengthWideZ : kLengthFixed;
        p.bytes = length * 2u;
        return;
    case kInTypeAnsiString:
        p.length = length == 0 ? kLengthAnsiZ : kLengthFixed;
        p.bytes = length;
        return;
    case kInTypeBinary:
        if (length == 0) return;
        p.length = kLengthFixed;
        p.bytes = length;
        return;
    case kInTypePointer:
    case kInTypeSizeT:
        // The schema's length of a pointer is not the event's: the header says which it is.
        p.length = kLengthPointer;
        return;
    case kInTypeSid:
        p.length = kLengthSid;
        return;
    case kInTypeWbemSid:
        p.length = kLengthWbemSid;
        return;
    default:
        break;
    }
    const uint32_t bytes = ScalarBytes(p.inType);
    // A scalar whose schema length says otherwise is left to the helper.
    if (bytes == 0 || (length != 0 && length != bytes)) return;
    p.length = kLengthFixed;
    p.bytes = bytes;
}

// Little-endian unsigned value of 1 to 8 bytes.
uint64_t ReadUnsigned(const uint8_t* at, uint32_t bytes) {
    uint64_t value = 0;
    for (uint32_t i = bytes; i > 0; --i)
        value = (value << 8) | at[i - 1];
    return value;
}

} // namespace

uint32_t LayoutNameHash(const char16_t* name) {
    uint32_t hash = 2166136261u;
    for (; name != nullptr && *name != 0; ++name) {
        hash ^= *name;
        hash *= 16777619u;
    }
    return hash;
}

int FindLayoutProperty(const EventLayout& layout, const char16_t* name) {
    if (name == nullptr) return -1;
    const uint32_t hash = LayoutNameHash(name);
    for (uint32_t i = 0; i < layout.count && i < kLayoutMaxProperties; ++i) {
        const LayoutProperty& p = layout.props[i];
        if (p.nameHash != hash) continue;
        size_t n = 0;
        while (n < kLayoutNameChars && p.name[n] == name[n] && name[n] != 0)
            ++n;
        if (n < kLayoutNameChars && p.name[n] == name[n]) return static_cast<int>(i);
    }
    return -1;
}

LayoutBuild BuildEventLayout(const uint8_t* block, size_t blockBytes, EventLayout* out) {
    if (out == nullptr) return LayoutBuild::kBadBlock;
    std::memset(static_cast<void*>(out), 0, sizeof *out);
    if (block == nullptr || blockBytes < kSchemaPropertyArrayOffset) return LayoutBuild::kBadBlock;
    const uint32_t all = ReadU32(block + kSchemaPropertyCountOffset);
    const uint32_t top = ReadU32(block + kSchemaTopLevelCountOffset);
    if (top > all) return LayoutBuild::kBadBlock;
    // 64-bit arithmetic: a count near 2^32 must not wrap the bound.
    const uint64_t arrayEnd =
        kSchemaPropertyArrayOffset + static_cast<uint64_t>(all) * kSchemaPropertyInfoBytes;
    if (arrayEnd > blockBytes) return LayoutBuild::kBadBlock;
    if (top > kLayoutMaxProperties) return LayoutBuild::kTooLarge;

    for (uint32_t i = 0; i < top; ++i) {
        const uint8_t* info = block + kSchemaPropertyArrayOffset + i * kSchemaPropertyInfoBytes;
        LayoutProperty& p = out->props[i];
        // The name: UTF-16 inside the block, terminated there.
        const uint32_t nameAt = ReadU32(info + kSchemaInfoNameOffset);
        if (nameAt >= blockBytes) return LayoutBuild::kBadBlock;
        const size_t nameRoom = (blockBytes - nameAt) / 2;
        size_t n = 0;
        for (;; ++n) {
            if (n >= nameRoom) return LayoutBuild::kBadBlock;
            const uint16_t c = ReadU16(block + nameAt + n * 2);
            if (c == 0) break;
            if (n + 1 >= kLayoutNameChars) return LayoutBuild::kTooLarge;
            p.name[n] = static_cast<char16_t>(c);
        }
        p.name[n] = 0;
        p.nameHash = LayoutNameHash(p.name);
        p.inType = ReadU16(info + kSchemaInfoInTypeOffset);
        SizeProperty(out, i, ReadU32(info + kSchemaInfoFlagsOffset),
                     ReadU16(info + kSchemaInfoCountOffset),
                     ReadU16(info + kSchemaInfoLengthOffset));
    }
    out->count = top;
    return LayoutBuild::kBuilt;
}

WalkResult WalkEventPayload(const EventLayout& layout, const uint8_t* payload,
                            uint32_t payloadBytes, uint32_t pointerBytes, PropertySpan* spans,
                            uint32_t spanCount) {
    WalkResult result{WalkStatus::kComplete, 0};
    if (payload == nullptr) payloadBytes = 0;
    uint32_t count = layout.count < kLayoutMaxProperties ? layout.count : kLayoutMaxProperties;
    if (spanCount < count) count = spanCount;
    uint32_t at = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const LayoutProperty& p = layout.props[i];
        const uint32_t left = payloadBytes - at;
        uint64_t size = 0;
        switch (p.length) {
        case kLengthFixed:
            size = p.bytes;
            break;
        case kLengthPointer:
            size = pointerBytes;
            break;
        case kLengthWideZ: {
            // Up to and with the NUL character. Nothing left, or no NUL before the end, is a
            // string the helper may size otherwise.
            uint32_t n = 0;
            // Eight bytes at a time while no 16-bit lane of them is zero, then by character.
            while (n + 8 <= left) {
                uint64_t v;
                std::memcpy(&v, payload + at + n, 8);
                if (((v - 0x0001000100010001ull) & ~v & 0x8000800080008000ull) != 0) break;
                n += 8;
            }
            while (n + 2 <= left && (payload[at + n] | payload[at + n + 1]) != 0)
                n += 2;
            if (n + 2 > left) return WalkResult{WalkStatus::kTruncated, i};
            size = n + 2u;
            break;
        }
        case kLengthAnsiZ: {
            const void* nul = left > 0 ? std::memchr(payload + at, 0, left) : nullptr;
            if (nul == nullptr) return WalkResult{WalkStatus::kTruncated, i};
            size = static_cast<const uint8_t*>(nul) - (payload + at) + 1u;
            break;
        }
        case kLengthWideFromProperty:
        case kLengthBytesFromProperty: {
            const PropertySpan& source = spans[p.from]; // p.from < i: located already
            size = ReadUnsigned(payload + source.offset, source.size);
            if (p.length == kLengthWideFromProperty) {
                if (size > 0xFFFFFFFFu / 2) return WalkResult{WalkStatus::kUnsure, i};
                size *= 2;
            }
            break;
        }
        case kLengthSid:
            // Revision, sub-authority count, 6 bytes of authority, 4 bytes per sub-authority.
            if (left < 2) return WalkResult{WalkStatus::kTruncated, i};
            if (payload[at + 1] > 15) return WalkResult{WalkStatus::kUnsure, i};
            size = 8u + 4u * payload[at + 1];
            break;
        case kLengthWbemSid: {
            // A TOKEN_USER of the logging process's pointer size, then the SID it points at.
            // A token of zero (no SID) is sized differently by different readers: ask the helper.
            const uint32_t token = 2 * pointerBytes;
            if (left < 4) return WalkResult{WalkStatus::kTruncated, i};
            if (ReadUnsigned(payload + at, 4) == 0) return WalkResult{WalkStatus::kUnsure, i};
            if (left < token + 2) return WalkResult{WalkStatus::kTruncated, i};
            const uint8_t subAuthorities = payload[at + token + 1];
            if (subAuthorities > 15) return WalkResult{WalkStatus::kUnsure, i};
            size = token + 8u + 4u * subAuthorities;
            break;
        }
        default:
            return WalkResult{WalkStatus::kUnsized, i};
        }
        if (size > left) return WalkResult{WalkStatus::kTruncated, i};
        spans[i] = PropertySpan{at, static_cast<uint32_t>(size)};
        at += static_cast<uint32_t>(size);
        result.located = i + 1;
    }
    return result;
}

uint32_t PointerBytesOf(uint16_t headerFlags) {
    return (headerFlags & 0x0020) != 0 ? 4u : 8u;
}

} // namespace olv
