// A strict JSON reader for the JSON export: the RFC 8259 grammar, valid UTF-8 without surrogate
// code points, no duplicate keys, nothing after the value. Where the grammar allows more than the
// export ever writes, it is stricter still: numbers are integers, \u escapes stay below U+0080.
// It keeps the decoded strings (keys and values, in document order).
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace olv {

class StrictJson {
public:
    explicit StrictJson(const std::string& doc) : s_(doc) {}
    bool Parse() { return Utf8Valid() && Value(0) && !Eat('\0') && pos_ == s_.size(); }
    size_t position() const { return pos_; }
    std::vector<std::string> strings;

private:
    const std::string& s_;
    size_t pos_ = 0;

    bool At(char c) const { return pos_ < s_.size() && s_[pos_] == c; }
    bool Eat(char c) {
        while (At(' ') || At('\t') || At('\r') || At('\n'))
            ++pos_;
        return At(c) && ++pos_ != 0;
    }
    bool Value(int depth) {
        if (Eat('"')) return String();
        const char open = At('{') ? '{' : '[';
        if (depth < 64 && Eat(open)) {
            const char close = open == '{' ? '}' : ']';
            std::vector<std::string> keys;
            if (Eat(close)) return true;
            do {
                if (open == '{') {
                    if (!Eat('"') || !String() || !Eat(':')) return false;
                    if (std::count(keys.begin(), keys.end(), strings.back()) != 0) return false;
                    keys.push_back(strings.back());
                }
                if (!Value(depth + 1)) return false;
            } while (Eat(','));
            return Eat(close);
        }
        for (const char* word : {"true", "false", "null"}) {
            if (s_.compare(pos_, std::strlen(word), word) == 0) return (pos_ += std::strlen(word));
        }
        if (At('-')) ++pos_;
        if (At('0')) return ++pos_ != 0;
        const size_t start = pos_;
        while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9')
            ++pos_;
        return pos_ > start;
    }
    bool String() { // after the opening quote
        static const char kEscapes[] = "\"\\/bfnrt";
        static const char kMeanings[] = "\"\\/\b\f\n\r\t";
        std::string out;
        while (pos_ < s_.size()) {
            const unsigned char c = static_cast<unsigned char>(s_[pos_++]);
            if (c == '"') {
                strings.push_back(out);
                return true;
            }
            if (c < 0x20) return false;
            if (c != '\\') {
                out += static_cast<char>(c);
            } else if (pos_ >= s_.size() || s_[pos_] == 0) {
                return false;
            } else if (const char* e = std::strchr(kEscapes, s_[pos_])) {
                out += kMeanings[e - kEscapes];
                ++pos_;
            } else if (At('u') && pos_ + 5 <= s_.size() &&
                       std::all_of(s_.begin() + pos_ + 1, s_.begin() + pos_ + 5, [](char h) {
                           return std::strchr("0123456789abcdefABCDEF", h) != nullptr && h != 0;
                       })) {
                const unsigned long cp = std::stoul(s_.substr(pos_ + 1, 4), nullptr, 16);
                if (cp >= 0x80) return false;
                out += static_cast<char>(cp);
                pos_ += 5;
            } else {
                return false;
            }
        }
        return false;
    }
    bool Utf8Valid() const {
        static const uint32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
        for (size_t i = 0; i < s_.size(); ++i) {
            const unsigned char c = static_cast<unsigned char>(s_[i]);
            const size_t n = c < 0x80 ? 0 : c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 9;
            if (n > 3 || c >= 0xF8 || i + n >= s_.size()) return false;
            uint32_t cp = n == 0 ? c : c & (0x3Fu >> n);
            for (size_t k = 0; k < n; ++k) {
                if ((static_cast<unsigned char>(s_[++i]) & 0xC0) != 0x80) return false;
                cp = (cp << 6) | (static_cast<unsigned char>(s_[i]) & 0x3Fu);
            }
            if (cp < kSmallest[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        }
        return true;
    }
};

} // namespace olv
