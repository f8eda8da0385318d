#include "json_line.h"

#include <cstdio>

namespace olv::replay {

namespace {

struct Parser {
    JsonLine* line;
    const char* text;
    size_t length;
    size_t at;
    bool failed;
};

void Fail(Parser* p, const char* message) {
    if (p->failed) return;
    p->failed = true;
    std::snprintf(p->line->error, kJsonErrorChars, "%s (at column %u)", message,
                  static_cast<unsigned>(p->at + 1));
}

void SkipBlanks(Parser* p) {
    while (p->at < p->length) {
        char c = p->text[p->at];
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n') break;
        ++p->at;
    }
}

bool Peek(Parser* p, char* c) {
    if (p->at >= p->length) return false;
    *c = p->text[p->at];
    return true;
}

int32_t NewNode(Parser* p, JsonType type) {
    if (p->line->nodeCount >= kJsonMaxNodes) {
        Fail(p, "too many values in one line");
        return -1;
    }
    int32_t index = p->line->nodeCount++;
    JsonNode& n = p->line->nodes[index];
    n = JsonNode{};
    n.type = type;
    n.firstChild = -1;
    n.next = -1;
    return index;
}

bool PoolPut(Parser* p, char16_t c) {
    JsonLine* l = p->line;
    if (l->poolUsed + 1 >= l->poolCapacity) {
        Fail(p, "the line holds more text than the reader has room for");
        return false;
    }
    l->pool[l->poolUsed++] = c;
    return true;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool ReadHex4(Parser* p, uint32_t* value) {
    if (p->at + 4 > p->length) {
        Fail(p, "\\u needs four hexadecimal digits");
        return false;
    }
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
        int h = HexValue(p->text[p->at + i]);
        if (h < 0) {
            Fail(p, "\\u needs four hexadecimal digits");
            return false;
        }
        v = v * 16 + static_cast<uint32_t>(h);
    }
    p->at += 4;
    *value = v;
    return true;
}

// One UTF-8 sequence starting at p->at (its first byte is not ASCII); the code point in *cp.
bool ReadUtf8(const char* text, size_t length, size_t* at, uint32_t* cp) {
    const unsigned char b0 = static_cast<unsigned char>(text[*at]);
    int extra;
    uint32_t value;
    uint32_t minimum;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        extra = 1;
        value = b0 & 0x1F;
        minimum = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        extra = 2;
        value = b0 & 0x0F;
        minimum = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        extra = 3;
        value = b0 & 0x07;
        minimum = 0x10000;
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

// A string at p->at (which is the opening quote); decoded into the pool, terminated.
bool ParseString(Parser* p, uint32_t* textAt, uint32_t* textLength) {
    ++p->at; // the opening quote
    const size_t start = p->line->poolUsed;
    for (;;) {
        if (p->at >= p->length) {
            Fail(p, "a string is not closed");
            return false;
        }
        const char c = p->text[p->at];
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '"') {
            ++p->at;
            break;
        }
        if (u < 0x20) {
            Fail(p, "a control character inside a string must be escaped");
            return false;
        }
        if (c == '\\') {
            ++p->at;
            char e;
            if (!Peek(p, &e)) {
                Fail(p, "a string is not closed");
                return false;
            }
            ++p->at;
            char16_t out = 0;
            switch (e) {
            case '"':
                out = u'"';
                break;
            case '\\':
                out = u'\\';
                break;
            case '/':
                out = u'/';
                break;
            case 'b':
                out = 8;
                break;
            case 'f':
                out = 12;
                break;
            case 'n':
                out = 10;
                break;
            case 'r':
                out = 13;
                break;
            case 't':
                out = 9;
                break;
            case 'u': {
                uint32_t v = 0;
                if (!ReadHex4(p, &v)) return false;
                out = static_cast<char16_t>(v);
                break;
            }
            default:
                --p->at;
                Fail(p, "unknown escape in a string");
                return false;
            }
            if (!PoolPut(p, out)) return false;
            continue;
        }
        if (u < 0x80) {
            if (!PoolPut(p, static_cast<char16_t>(u))) return false;
            ++p->at;
            continue;
        }
        uint32_t cp = 0;
        if (!ReadUtf8(p->text, p->length, &p->at, &cp)) {
            Fail(p, "the line is not valid UTF-8");
            return false;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            if (!PoolPut(p, static_cast<char16_t>(0xD800 + (cp >> 10)))) return false;
            if (!PoolPut(p, static_cast<char16_t>(0xDC00 + (cp & 0x3FF)))) return false;
        } else {
            if (!PoolPut(p, static_cast<char16_t>(cp))) return false;
        }
    }
    if (!PoolPut(p, 0)) return false;
    *textAt = static_cast<uint32_t>(start);
    *textLength = static_cast<uint32_t>(p->line->poolUsed - start - 1);
    return true;
}

bool ParseNumber(Parser* p, JsonNode* node) {
    bool negative = false;
    if (p->text[p->at] == '-') {
        negative = true;
        ++p->at;
    }
    char c;
    if (!Peek(p, &c) || c < '0' || c > '9') {
        Fail(p, "a number needs digits");
        return false;
    }
    if (c == '0' && p->at + 1 < p->length && p->text[p->at + 1] >= '0' &&
        p->text[p->at + 1] <= '9') {
        Fail(p, "a number must not begin with 0");
        return false;
    }
    uint64_t value = 0;
    while (Peek(p, &c) && c >= '0' && c <= '9') {
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) {
            Fail(p, "a number is too large");
            return false;
        }
        value = value * 10 + digit;
        ++p->at;
    }
    if (Peek(p, &c) && (c == '.' || c == 'e' || c == 'E')) {
        Fail(p, "numbers must be whole");
        return false;
    }
    node->negative = negative && value != 0 ? 1 : 0;
    node->magnitude = value;
    return true;
}

bool MatchWord(Parser* p, const char* word) {
    size_t i = 0;
    for (; word[i] != 0; ++i) {
        if (p->at + i >= p->length || p->text[p->at + i] != word[i]) return false;
    }
    p->at += i;
    return true;
}

bool SameKey(const JsonLine* l, uint32_t a, uint32_t b) {
    for (;; ++a, ++b) {
        if (l->pool[a] != l->pool[b]) return false;
        if (l->pool[a] == 0) return true;
    }
}

int32_t ParseValue(Parser* p, int depth);

int32_t ParseObject(Parser* p, int depth) {
    if (depth > kJsonMaxDepth) {
        Fail(p, "objects are nested too deeply");
        return -1;
    }
    int32_t index = NewNode(p, kJsonObject);
    if (index < 0) return -1;
    ++p->at; // {
    SkipBlanks(p);
    char c;
    if (Peek(p, &c) && c == '}') {
        ++p->at;
        return index;
    }
    int32_t last = -1;
    for (;;) {
        SkipBlanks(p);
        if (!Peek(p, &c) || c != '"') {
            Fail(p, "expected a field name in double quotes");
            return -1;
        }
        uint32_t keyAt = 0, keyLength = 0;
        if (!ParseString(p, &keyAt, &keyLength)) return -1;
        for (int32_t m = p->line->nodes[index].firstChild; m >= 0; m = p->line->nodes[m].next) {
            if (SameKey(p->line, p->line->nodes[m].keyAt, keyAt)) {
                char key[80];
                size_t k = 0;
                for (; k + 1 < sizeof key && p->line->pool[keyAt + k] != 0; ++k)
                    key[k] = p->line->pool[keyAt + k] < 0x80
                                 ? static_cast<char>(p->line->pool[keyAt + k])
                                 : '?';
                key[k] = 0;
                char message[160];
                std::snprintf(message, sizeof message, "field \"%s\" appears twice", key);
                Fail(p, message);
                return -1;
            }
        }
        SkipBlanks(p);
        if (!Peek(p, &c) || c != ':') {
            Fail(p, "expected ':' after a field name");
            return -1;
        }
        ++p->at;
        int32_t value = ParseValue(p, depth + 1);
        if (value < 0) return -1;
        p->line->nodes[value].keyAt = keyAt;
        p->line->nodes[value].keyLength = keyLength;
        if (last < 0) {
            p->line->nodes[index].firstChild = value;
        } else {
            p->line->nodes[last].next = value;
        }
        last = value;
        SkipBlanks(p);
        if (!Peek(p, &c)) {
            Fail(p, "an object is not closed");
            return -1;
        }
        ++p->at;
        if (c == '}') return index;
        if (c != ',') {
            --p->at;
            Fail(p, "expected ',' or '}'");
            return -1;
        }
    }
}

int32_t ParseValue(Parser* p, int depth) {
    SkipBlanks(p);
    char c;
    if (!Peek(p, &c)) {
        Fail(p, "a value is missing");
        return -1;
    }
    if (c == '{') return ParseObject(p, depth);
    if (c == '"') {
        int32_t index = NewNode(p, kJsonString);
        if (index < 0) return -1;
        uint32_t at = 0, length = 0;
        if (!ParseString(p, &at, &length)) return -1;
        p->line->nodes[index].textAt = at;
        p->line->nodes[index].textLength = length;
        return index;
    }
    if (c == '-' || (c >= '0' && c <= '9')) {
        int32_t index = NewNode(p, kJsonInteger);
        if (index < 0) return -1;
        if (!ParseNumber(p, &p->line->nodes[index])) return -1;
        return index;
    }
    if (c == 't' || c == 'f') {
        const bool value = c == 't';
        if (!MatchWord(p, value ? "true" : "false")) {
            Fail(p, "unknown word");
            return -1;
        }
        int32_t index = NewNode(p, kJsonBool);
        if (index < 0) return -1;
        p->line->nodes[index].magnitude = value ? 1 : 0;
        return index;
    }
    if (c == '[') {
        Fail(p, "arrays are not used in scenario files");
    } else if (c == 'n') {
        Fail(p, "null is not used in scenario files");
    } else {
        Fail(p, "unexpected character");
    }
    return -1;
}

} // namespace

bool ParseJsonLine(JsonLine* line, const char* text, size_t length) {
    line->nodeCount = 0;
    line->poolUsed = 0;
    line->error[0] = 0;
    Parser p{line, text, length, 0, false};
    SkipBlanks(&p);
    char c;
    if (!Peek(&p, &c) || c != '{') {
        Fail(&p, "a line must hold one JSON object");
        return false;
    }
    if (ParseObject(&p, 1) != 0 || p.failed) {
        Fail(&p, "the object could not be read");
        return false;
    }
    SkipBlanks(&p);
    if (p.at != p.length) {
        Fail(&p, "text after the object");
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

bool Utf8ToUtf16(const char* text, size_t length, char16_t* out, size_t capacity) {
    if (capacity == 0) return false;
    size_t used = 0;
    size_t at = 0;
    out[0] = 0;
    while (at < length && text[at] != 0) {
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
    return true;
}

} // namespace olv::replay
