#include "json_line.h"

#include <cstdio>
#include <cstring>
#include <string>

#include <nlohmann/json.hpp>

namespace olv::replay {

namespace {

using Json = nlohmann::json;

// Receives the parser's events and builds the node table. Every handler returns false to stop
// the parse once the line is refused.
struct LineBuilder {
    JsonLine* line = nullptr;
    int depth = 0;                          // objects open
    int32_t open[kJsonMaxDepth] = {};       // their nodes
    int32_t lastMember[kJsonMaxDepth] = {}; // their last member so far; -1 when none
    uint32_t keyAt = 0, keyLength = 0;      // the key of the value that comes next
    bool failed = false;

    bool Fail(const char* message) {
        if (!failed) std::snprintf(line->error, kJsonErrorChars, "%s", message);
        failed = true;
        return false;
    }

    // The text, decoded into the pool and terminated.
    bool Put(const std::string& text, uint32_t* at, uint32_t* length) {
        size_t written = 0;
        if (!Utf8ToUtf16(text.data(), text.size(), line->pool + line->poolUsed,
                         line->poolCapacity - line->poolUsed, &written))
            return Fail("the line holds more text than the reader has room for");
        *at = static_cast<uint32_t>(line->poolUsed);
        *length = static_cast<uint32_t>(written);
        line->poolUsed += written + 1;
        return true;
    }

    // A new node: the member of the open object under the last key.
    JsonNode* Add(JsonType type) {
        if (depth == 0) {
            Fail("a line must hold one JSON object");
            return nullptr;
        }
        if (line->nodeCount >= kJsonMaxNodes) {
            Fail("too many values in one line");
            return nullptr;
        }
        const int32_t index = line->nodeCount++;
        JsonNode& n = line->nodes[index];
        n = JsonNode{};
        n.type = type;
        n.keyAt = keyAt;
        n.keyLength = keyLength;
        n.firstChild = -1;
        n.next = -1;
        int32_t& last = lastMember[depth - 1];
        if (last < 0) {
            line->nodes[open[depth - 1]].firstChild = index;
        } else {
            line->nodes[last].next = index;
        }
        last = index;
        return &n;
    }

    bool start_object(size_t) {
        if (depth == kJsonMaxDepth) return Fail("objects are nested too deeply");
        int32_t index = 0;
        if (depth == 0) {
            if (line->nodeCount != 0) return Fail("a line must hold one JSON object");
            line->nodes[0] = JsonNode{kJsonObject, 0, 0, 0, 0, 0, 0, -1, -1};
            line->nodeCount = 1;
        } else {
            if (Add(kJsonObject) == nullptr) return false;
            index = line->nodeCount - 1;
        }
        open[depth] = index;
        lastMember[depth] = -1;
        ++depth;
        return true;
    }
    bool end_object() {
        --depth;
        return true;
    }
    bool key(std::string& name) {
        uint32_t at = 0, length = 0;
        if (!Put(name, &at, &length)) return false;
        for (int32_t m = line->nodes[open[depth - 1]].firstChild; m >= 0; m = line->nodes[m].next) {
            const JsonNode& n = line->nodes[m];
            if (n.keyLength == length && std::memcmp(line->pool + n.keyAt, line->pool + at,
                                                     length * sizeof(char16_t)) == 0) {
                char message[160];
                std::snprintf(message, sizeof message, "field \"%.80s\" appears twice",
                              Printable(name).c_str());
                return Fail(message);
            }
        }
        keyAt = at;
        keyLength = length;
        return true;
    }
    bool string(std::string& text) {
        JsonNode* n = Add(kJsonString);
        return n != nullptr && Put(text, &n->textAt, &n->textLength);
    }
    bool number_unsigned(uint64_t value) {
        JsonNode* n = Add(kJsonInteger);
        if (n != nullptr) n->magnitude = value;
        return n != nullptr;
    }
    bool number_integer(int64_t value) { // the parser gives negative numbers only
        JsonNode* n = Add(kJsonInteger);
        if (n == nullptr) return false;
        n->negative = value < 0 ? 1 : 0;
        n->magnitude = value < 0 ? static_cast<uint64_t>(0) - static_cast<uint64_t>(value)
                                 : static_cast<uint64_t>(value);
        return true;
    }
    bool number_float(double, const std::string& text) {
        // Whole numbers beyond 64 bits also arrive here.
        if (text.find_first_of(".eE") == std::string::npos) return Fail("a number is too large");
        return Fail("numbers must be whole");
    }
    bool boolean(bool value) {
        JsonNode* n = Add(kJsonBool);
        if (n != nullptr) n->magnitude = value ? 1 : 0;
        return n != nullptr;
    }
    bool null() {
        return Fail(depth == 0 ? "a line must hold one JSON object"
                               : "null is not used in scenario files");
    }
    bool start_array(size_t) {
        return Fail(depth == 0 ? "a line must hold one JSON object"
                               : "arrays are not used in scenario files");
    }
    bool end_array() { return false; }
    bool binary(Json::binary_t&) { return Fail("binary values are not JSON"); }

    bool parse_error(size_t position, const std::string&, const nlohmann::detail::exception& e) {
        // "[json.exception.parse_error.101] parse error at line 1, column 9: syntax error ...;
        // last read: '...'; expected ...": the reason without the prefix and without the raw
        // bytes read, which need not be UTF-8.
        std::string reason = e.what();
        const size_t colon = reason.find(": ");
        if (colon != std::string::npos) reason.erase(0, colon + 2);
        const size_t read = reason.find("; last read: ");
        if (read != std::string::npos) {
            const size_t expected = reason.find("; expected ", read);
            reason.erase(read, expected == std::string::npos ? std::string::npos : expected - read);
        }
        char message[kJsonErrorChars];
        std::snprintf(message, sizeof message, "%.180s (at column %u)", Printable(reason).c_str(),
                      static_cast<unsigned>(position));
        return Fail(message);
    }

    static std::string Printable(std::string text) {
        for (char& c : text) {
            const unsigned char u = static_cast<unsigned char>(c);
            if (u < 0x20 || u > 0x7E) c = '?';
        }
        return text;
    }
};

// One UTF-8 sequence starting at *at (its first byte is not ASCII); the code point in *cp.
bool ReadUtf8(const char* text, size_t length, size_t* at, uint32_t* cp) {
    const unsigned char b0 = static_cast<unsigned char>(text[*at]);
    int extra = 0;
    uint32_t value = 0, minimum = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        extra = 1, value = b0 & 0x1F, minimum = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        extra = 2, value = b0 & 0x0F, minimum = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        extra = 3, value = b0 & 0x07, minimum = 0x10000;
    } else {
        return false;
    }
    if (*at + static_cast<size_t>(extra) >= length) return false;
    for (int i = 1; i <= extra; ++i) {
        const unsigned char b = static_cast<unsigned char>(text[*at + static_cast<size_t>(i)]);
        if ((b & 0xC0) != 0x80) return false;
        value = (value << 6) | (b & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
    *at += static_cast<size_t>(extra) + 1;
    *cp = value;
    return true;
}

} // namespace

bool ParseJsonLine(JsonLine* line, const char* text, size_t length) {
    line->nodeCount = 0;
    line->poolUsed = 0;
    line->error[0] = 0;
    LineBuilder builder;
    builder.line = line;
    // Strict: the object must be all of the line.
    const bool ok = Json::sax_parse(text, text + length, &builder, Json::input_format_t::json,
                                    /*strict=*/true, /*ignore_comments=*/false);
    if (!ok || builder.failed || line->nodeCount == 0) {
        if (!builder.failed) builder.Fail("a line must hold one JSON object");
        return false;
    }
    return true;
}

const char16_t* JsonKey(const JsonLine* line, const JsonNode* node) {
    return line->pool + node->keyAt;
}

const char16_t* JsonText(const JsonLine* line, const JsonNode* node) {
    return line->pool + node->textAt;
}

bool TextIsAscii(const char16_t* text, const char* ascii) {
    size_t i = 0;
    for (; ascii[i] != 0; ++i) {
        if (text[i] != static_cast<char16_t>(static_cast<unsigned char>(ascii[i]))) return false;
    }
    return text[i] == 0;
}

const JsonNode* JsonFirst(const JsonLine* line, const JsonNode* object) {
    if (object == nullptr || object->type != kJsonObject || object->firstChild < 0) return nullptr;
    return &line->nodes[object->firstChild];
}

const JsonNode* JsonNext(const JsonLine* line, const JsonNode* node) {
    if (node == nullptr || node->next < 0) return nullptr;
    return &line->nodes[node->next];
}

const JsonNode* JsonMember(const JsonLine* line, const JsonNode* object, const char* key) {
    for (const JsonNode* m = JsonFirst(line, object); m != nullptr; m = JsonNext(line, m)) {
        if (TextIsAscii(JsonKey(line, m), key)) return m;
    }
    return nullptr;
}

bool Utf8ToUtf16(const char* text, size_t length, char16_t* out, size_t capacity, size_t* written) {
    if (capacity == 0) return false;
    size_t used = 0;
    size_t at = 0;
    out[0] = 0;
    while (at < length) {
        const unsigned char u = static_cast<unsigned char>(text[at]);
        uint32_t cp = u;
        if (u < 0x80) {
            ++at;
        } else if (!ReadUtf8(text, length, &at, &cp)) {
            out[0] = 0;
            return false;
        }
        const size_t need = cp >= 0x10000 ? 2 : 1;
        if (used + need + 1 > capacity) {
            out[0] = 0;
            return false;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out[used++] = static_cast<char16_t>(0xD800 + (cp >> 10));
            out[used++] = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out[used++] = static_cast<char16_t>(cp);
        }
    }
    out[used] = 0;
    if (written != nullptr) *written = used;
    return true;
}

} // namespace olv::replay
