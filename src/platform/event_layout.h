// The layout of one event class, built once from the schema block the Trace Data Helper gives
// for it (TRACE_EVENT_INFO with its EVENT_PROPERTY_INFO array), and the walk that finds each
// top-level property's bytes in an event's payload.
//
// Both are plain functions of their arguments: no Windows header, no allocation, no state. The
// walk is a pure function of (layout, payload bytes, pointer size) and never reads outside the
// payload it is given. Whatever it does not understand it reports instead of guessing, so the
// caller can ask the helper itself.
#pragma once

#include <cstddef>
#include <cstdint>

namespace olv {

// Byte layout of the schema block (64-bit Windows). The win32 readers assert these offsets
// against the Windows headers.
constexpr uint32_t kSchemaPropertyCountOffset = 100; // PropertyCount
constexpr uint32_t kSchemaTopLevelCountOffset = 104; // TopLevelPropertyCount
constexpr uint32_t kSchemaPropertyArrayOffset = 112; // EventPropertyInfoArray
constexpr uint32_t kSchemaPropertyInfoBytes = 24;    // sizeof(EVENT_PROPERTY_INFO)
constexpr uint32_t kSchemaInfoFlagsOffset = 0;       // EVENT_PROPERTY_INFO::Flags
constexpr uint32_t kSchemaInfoNameOffset = 4;        // ::NameOffset (into the block)
constexpr uint32_t kSchemaInfoInTypeOffset = 8;      // ::nonStructType.InType
constexpr uint32_t kSchemaInfoOutTypeOffset = 10;    // ::nonStructType.OutType
constexpr uint32_t kSchemaInfoCountOffset = 16;      // ::count / ::countPropertyIndex
constexpr uint32_t kSchemaInfoLengthOffset = 18;     // ::length / ::lengthPropertyIndex

// EVENT_PROPERTY_INFO::Flags.
constexpr uint32_t kSchemaFlagStruct = 0x1;
constexpr uint32_t kSchemaFlagParamLength = 0x2;
constexpr uint32_t kSchemaFlagParamCount = 0x4;
constexpr uint32_t kSchemaFlagXmlFragment = 0x8;
constexpr uint32_t kSchemaFlagParamFixedLength = 0x10;
constexpr uint32_t kSchemaFlagParamFixedCount = 0x20;
constexpr uint32_t kSchemaFlagHasCustomSchema = 0x80;

// The in-types the walk can size (TDH_INTYPE_*); any other makes the walk stop there.
enum SchemaInType : uint16_t {
    kInTypeUnicodeString = 1,
    kInTypeAnsiString = 2,
    kInTypeInt8 = 3,
    kInTypeUInt8 = 4,
    kInTypeInt16 = 5,
    kInTypeUInt16 = 6,
    kInTypeInt32 = 7,
    kInTypeUInt32 = 8,
    kInTypeInt64 = 9,
    kInTypeUInt64 = 10,
    kInTypeFloat = 11,
    kInTypeDouble = 12,
    kInTypeBoolean = 13, // 4 bytes
    kInTypeBinary = 14,
    kInTypeGuid = 15,
    kInTypePointer = 16,
    kInTypeFileTime = 17,
    kInTypeSystemTime = 18,
    kInTypeSid = 19,
    kInTypeHexInt32 = 20,
    kInTypeHexInt64 = 21,
    kInTypeUnicodeChar = 306,
    kInTypeAnsiChar = 307,
    kInTypeSizeT = 308,
    kInTypeWbemSid = 310,
};

// How a property's length is found.
enum LayoutLength : uint8_t {
    kLengthUnknown = 0,       // the walk cannot size it: it stops here
    kLengthFixed,             // `bytes`
    kLengthPointer,           // the pointer size of the event (header's 32-bit flag)
    kLengthWideZ,             // UTF-16 up to and with its NUL
    kLengthAnsiZ,             // 8-bit up to and with its NUL
    kLengthWideFromProperty,  // `from` holds the count of UTF-16 characters
    kLengthBytesFromProperty, // `from` holds the count of bytes (8-bit text or binary)
    kLengthSid,               // a SID: 8 bytes and 4 per sub-authority
    kLengthWbemSid,           // a TOKEN_USER (two pointers) then a SID, or 4 zero bytes
};

constexpr uint32_t kLayoutMaxProperties = 48;
constexpr uint32_t kLayoutNameChars = 40; // with the terminator

struct LayoutProperty {
    char16_t name[kLayoutNameChars];
    uint32_t nameHash;
    uint16_t inType;
    uint8_t length; // LayoutLength
    uint8_t from;   // index of the length property (kLength*FromProperty)
    uint32_t bytes; // kLengthFixed
};

struct EventLayout {
    uint32_t count; // top-level properties, all named in props
    LayoutProperty props[kLayoutMaxProperties];
};

enum class LayoutBuild : uint8_t {
    kBuilt,    // every top-level property has a name; some may be kLengthUnknown
    kBadBlock, // offsets or counts outside the block
    kTooLarge, // more properties, or a longer name, than a layout holds
};

// Reads the schema block (bytes as TdhGetEventInformation fills them) into a layout.
LayoutBuild BuildEventLayout(const uint8_t* block, size_t blockBytes, EventLayout* out);

// The hash a layout keeps of each name (nameHash); names are compared in full after it matches.
uint32_t LayoutNameHash(const char16_t* name);
// Index of the named property, or -1.
int FindLayoutProperty(const EventLayout& layout, const char16_t* name);

struct PropertySpan {
    uint32_t offset; // into the payload
    uint32_t size;   // bytes, as the helper reports the property's size
};

enum class WalkStatus : uint8_t {
    kComplete,  // every top-level property lies inside the payload
    kUnsized,   // a property the walk cannot size (its in-type, an array, a structure)
    kTruncated, // the payload ends inside a property, or a string has no terminator
    kUnsure,    // a value the helper may read otherwise (a length above its source's size)
};

struct WalkResult {
    WalkStatus status;
    uint32_t located; // spans[0 .. located) are set and lie inside the payload
};

// One walk of the payload: the offset and size of each of the first spanCount properties
// (at most layout.count). pointerBytes is 4 or 8. Never reads outside payload[0, payloadBytes).
WalkResult WalkEventPayload(const EventLayout& layout, const uint8_t* payload,
                            uint32_t payloadBytes, uint32_t pointerBytes, PropertySpan* spans,
                            uint32_t spanCount);

// The pointer size the helper uses for an event without a context: 4 with the 32-bit header
// flag, else 8.
uint32_t PointerBytesOf(uint16_t headerFlags);

} // namespace olv
