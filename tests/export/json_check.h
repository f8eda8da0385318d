// A strict JSON reader for checking the JSON export: RFC 8259 grammar, valid UTF-8, no trailing
// text, no duplicate keys. Strings are decoded to UTF-8; numbers are kept as their text.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace olv {

struct JsonValue {
    enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
    bool boolean = false;
    std::string text; // number text or decoded string
    std::vector<JsonValue> items;
    std::vector<std::string> keys; // object members in document order...
    std::vector<JsonValue> values; // ...and their values

    const JsonValue* Get(const std::string& key) const {
        for (size_t i = 0; i < keys.size(); ++i) {
            if (keys[i] == key) return &values[i];
        }
        return nullptr;
    }
    const std::vector<std::string>& Keys() const { return keys; }
};

class JsonReader {
public:
    explicit JsonReader(const std::string& doc) : s_(doc) {}

    // False (with error()) when the document is not one valid JSON value.
    bool Parse(JsonValue* out) {
        if (!ValidUtf8()) return Fail("invalid UTF-8");
        SkipSpace();
        if (!Value(out, 0)) return false;
        SkipSpace();
        if (pos_ != s_.size()) return Fail("text after the value");
        return true;
    }
    const std::string& error() const { return error_; }
    size_t position() const { return pos_; }

private:
    const std::string& s_;
    size_t pos_ = 0;
    std::string error_;

    bool Fail(const char* what) {
        if (error_.empty()) error_ = what;
        return false;
    }
    bool ValidUtf8() const {
        size_t i = 0;
        while (i < s_.size()) {
            const unsigned char c = static_cast<unsigned char>(s_[i]);
            size_t n = 0;
            uint32_t cp = 0;
            if (c < 0x80) {
                ++i;
                continue;
            } else if ((c & 0xE0) == 0xC0) {
                n = 1;
                cp = c & 0x1F;
            } else if ((c & 0xF0) == 0xE0) {
                n = 2;
                cp = c & 0x0F;
            } else if ((c & 0xF8) == 0xF0) {
                n = 3;
                cp = c & 0x07;
            } else {
                return false;
            }
            if (i + n >= s_.size()) return false;
            for (size_t k = 1; k <= n; ++k) {
                const unsigned char d = static_cast<unsigned char>(s_[i + k]);
                if ((d & 0xC0) != 0x80) return false;
                cp = (cp << 6) | (d & 0x3F);
            }
            if ((n == 1 && cp < 0x80) || (n == 2 && cp < 0x800) || (n == 3 && cp < 0x10000) ||
                cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
                return false;
            }
            i += n + 1;
        }
        return true;
    }
    void SkipSpace() {
        while (pos_ < s_.size() &&
               (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' || s_[pos_] == '\r')) {
            ++pos_;
        }
    }
    bool Literal(const char* word) {
        const std::string w(word);
        if (s_.compare(pos_, w.size(), w) != 0) return Fail("unknown literal");
        pos_ += w.size();
        return true;
    }
    bool Value(JsonValue* out, int depth) {
        if (depth > 64) return Fail("nested too deeply");
        if (pos_ >= s_.size()) return Fail("value expected");
        const char c = s_[pos_];
        if (c == '{') return ObjectValue(out, depth);
        if (c == '[') return ArrayValue(out, depth);
        if (c == '"') {
            out->kind = JsonValue::String;
            return StringValue(&out->text);
        }
        if (c == 't') {
            out->kind = JsonValue::Bool;
            out->boolean = true;
            return Literal("true");
        }
        if (c == 'f') {
            out->kind = JsonValue::Bool;
            return Literal("false");
        }
        if (c == 'n') {
            out->kind = JsonValue::Null;
            return Literal("null");
        }
        return NumberValue(out);
    }
    bool ObjectValue(JsonValue* out, int depth) {
        out->kind = JsonValue::Object;
        ++pos_;
        SkipSpace();
        if (pos_ < s_.size() && s_[pos_] == '}') {
            ++pos_;
            return true;
        }
        for (;;) {
            SkipSpace();
            if (pos_ >= s_.size() || s_[pos_] != '"') return Fail("key expected");
            std::string key;
            if (!StringValue(&key)) return false;
            if (out->Get(key) != nullptr) return Fail("duplicate key");
            SkipSpace();
            if (pos_ >= s_.size() || s_[pos_] != ':') return Fail("':' expected");
            ++pos_;
            SkipSpace();
            JsonValue v;
            if (!Value(&v, depth + 1)) return false;
            out->keys.push_back(std::move(key));
            out->values.push_back(std::move(v));
            SkipSpace();
            if (pos_ < s_.size() && s_[pos_] == ',') {
                ++pos_;
                continue;
            }
            if (pos_ < s_.size() && s_[pos_] == '}') {
                ++pos_;
                return true;
            }
            return Fail("',' or '}' expected");
        }
    }
    bool ArrayValue(JsonValue* out, int depth) {
        out->kind = JsonValue::Array;
        ++pos_;
        SkipSpace();
        if (pos_ < s_.size() && s_[pos_] == ']') {
            ++pos_;
            return true;
        }
        for (;;) {
            SkipSpace();
            JsonValue v;
            if (!Value(&v, depth + 1)) return false;
            out->items.push_back(std::move(v));
            SkipSpace();
            if (pos_ < s_.size() && s_[pos_] == ',') {
                ++pos_;
                continue;
            }
            if (pos_ < s_.size() && s_[pos_] == ']') {
                ++pos_;
                return true;
            }
            return Fail("',' or ']' expected");
        }
    }
    bool Hex4(uint32_t* v) {
        if (pos_ + 4 > s_.size()) return Fail("short \\u escape");
        *v = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = s_[pos_++];
            *v <<= 4;
            if (c >= '0' && c <= '9') {
                *v |= static_cast<uint32_t>(c - '0');
            } else if (c >= 'a' && c <= 'f') {
                *v |= static_cast<uint32_t>(c - 'a' + 10);
            } else if (c >= 'A' && c <= 'F') {
                *v |= static_cast<uint32_t>(c - 'A' + 10);
            } else {
                return Fail("bad hex digit");
            }
        }
        return true;
    }
    static void PutUtf8(std::string* out, uint32_t cp) {
        if (cp < 0x80) {
            out->push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    bool StringValue(std::string* out) {
        ++pos_; // opening quote
        for (;;) {
            if (pos_ >= s_.size()) return Fail("unterminated string");
            const unsigned char c = static_cast<unsigned char>(s_[pos_++]);
            if (c == '"') return true;
            if (c < 0x20) return Fail("raw control character in a string");
            if (c != '\\') {
                out->push_back(static_cast<char>(c));
                continue;
            }
            if (pos_ >= s_.size()) return Fail("unterminated escape");
            const char e = s_[pos_++];
            switch (e) {
            case '"':
            case '\\':
            case '/':
                out->push_back(e);
                break;
            case 'b':
                out->push_back('\b');
                break;
            case 'f':
                out->push_back('\f');
                break;
            case 'n':
                out->push_back('\n');
                break;
            case 'r':
                out->push_back('\r');
                break;
            case 't':
                out->push_back('\t');
                break;
            case 'u': {
                uint32_t cp = 0;
                if (!Hex4(&cp)) return false;
                if (cp >= 0xD800 && cp <= 0xDBFF) {
                    uint32_t low = 0;
                    if (s_.compare(pos_, 2, "\\u") != 0) return Fail("lone high surrogate");
                    pos_ += 2;
                    if (!Hex4(&low) || low < 0xDC00 || low > 0xDFFF) {
                        return Fail("bad low surrogate");
                    }
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
                    return Fail("lone low surrogate");
                }
                PutUtf8(out, cp);
                break;
            }
            default:
                return Fail("unknown escape");
            }
        }
    }
    bool NumberValue(JsonValue* out) {
        const size_t start = pos_;
        if (pos_ < s_.size() && s_[pos_] == '-') ++pos_;
        if (pos_ >= s_.size()) return Fail("number expected");
        if (s_[pos_] == '0') {
            ++pos_;
        } else if (s_[pos_] >= '1' && s_[pos_] <= '9') {
            while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9')
                ++pos_;
        } else {
            return Fail("value expected");
        }
        if (pos_ < s_.size() && s_[pos_] == '.') {
            ++pos_;
            if (pos_ >= s_.size() || s_[pos_] < '0' || s_[pos_] > '9') return Fail("bad fraction");
            while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9')
                ++pos_;
        }
        if (pos_ < s_.size() && (s_[pos_] == 'e' || s_[pos_] == 'E')) {
            ++pos_;
            if (pos_ < s_.size() && (s_[pos_] == '+' || s_[pos_] == '-')) ++pos_;
            if (pos_ >= s_.size() || s_[pos_] < '0' || s_[pos_] > '9') return Fail("bad exponent");
            while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9')
                ++pos_;
        }
        out->kind = JsonValue::Number;
        out->text = s_.substr(start, pos_ - start);
        return true;
    }
};

} // namespace olv
