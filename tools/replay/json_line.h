// One line of a scenario file, a JSON object, read with nlohmann/json's SAX parser into a fixed
// table of nodes; strings are decoded into UTF-16 in a pool that the caller provides.
//
// The parser checks the grammar and the UTF-8; this reader takes objects, strings, whole numbers
// (at most 64 bits of magnitude) and true/false. Refused, with a message: anything else (arrays,
// null, fractions, exponents), a key that appears twice in one object, text after the object, and
// nesting deeper than kJsonMaxDepth. Nothing throws: errors come back through the SAX handler.
#pragma once

#include <cstddef>
#include <cstdint>

namespace olv::replay {

constexpr int32_t kJsonMaxNodes = 1024;
constexpr int kJsonMaxDepth = 8;
constexpr size_t kJsonErrorChars = 240;

enum JsonType : uint8_t { kJsonObject, kJsonString, kJsonInteger, kJsonBool };

struct JsonNode {
    uint8_t type;       // JsonType
    uint8_t negative;   // integers: the value is -magnitude
    uint64_t magnitude; // integers; booleans: 1 or 0
    uint32_t keyAt;     // member of an object: its key, terminated, in the pool
    uint32_t keyLength;
    uint32_t textAt; // strings: the value, terminated, in the pool
    uint32_t textLength;
    int32_t firstChild; // objects: the first member; -1 when empty
    int32_t next;       // the next member of the same object; -1 at the end
};

struct JsonLine {
    JsonNode nodes[kJsonMaxNodes]; // nodes[0] is the top-level object
    int32_t nodeCount;
    char16_t* pool; // set by the caller; keys and strings, each terminated
    size_t poolCapacity;
    size_t poolUsed;
    char error[kJsonErrorChars]; // why the last parse failed (printable ASCII)
};

// Parses text (length bytes, no terminator needed) as one JSON object. The pool must hold at
// least length + 1 characters per line for the parse never to run out of room.
bool ParseJsonLine(JsonLine* line, const char* text, size_t length);

// Access to the parsed line.
const char16_t* JsonKey(const JsonLine* line, const JsonNode* node);
const char16_t* JsonText(const JsonLine* line, const JsonNode* node);
// The member of an object with this key (ASCII), or null.
const JsonNode* JsonMember(const JsonLine* line, const JsonNode* object, const char* key);
const JsonNode* JsonFirst(const JsonLine* line, const JsonNode* object);
const JsonNode* JsonNext(const JsonLine* line, const JsonNode* node);

// True when the UTF-16 text equals the ASCII text.
bool TextIsAscii(const char16_t* text, const char* ascii);

// UTF-8 to UTF-16 (bounded, terminated; *written, when given, gets the characters without the
// terminator). False on invalid UTF-8 or when the text does not fit.
bool Utf8ToUtf16(const char* text, size_t length, char16_t* out, size_t capacity,
                 size_t* written = nullptr);

} // namespace olv::replay
