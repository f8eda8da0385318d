#include "export/json_text.h"

#include <cstdint>
#include <initializer_list>

#include "base/text.h"

namespace olv {

void AppendJsonStringN(char16_t* buf, size_t capacity, const char16_t* text, size_t maxChars) {
    if (buf == nullptr || capacity == 0) return;
    size_t used = TextLength(buf);
    if (used >= capacity) used = capacity - 1;
    auto put = [&](char16_t c) {
        if (used + 1 < capacity) buf[used++] = c;
    };
    static const char16_t kHex[] = u"0123456789abcdef";
    put(u'"');
    for (size_t i = 0; text != nullptr && i < maxChars && text[i] != 0; ++i) {
        if (capacity < 8 || used >= capacity - 8) break;
        const char16_t c = text[i];
        const char16_t escape = c == u'\t'   ? u't'
                                : c == u'\n' ? u'n'
                                : c == u'\r' ? u'r'
                                : c == u'"'  ? u'"'
                                : c == u'\\' ? u'\\'
                                             : 0;
        if (escape != 0) {
            put(u'\\');
            put(escape);
        } else if (c < 32) {
            for (char16_t piece : {u'\\', u'u', u'0', u'0', kHex[(c >> 4) & 0xF], kHex[c & 0xF]})
                put(piece);
        } else {
            put(c);
        }
    }
    put(u'"');
    buf[used] = 0;
}

void AppendJsonString(char16_t* buf, size_t capacity, const char16_t* text) {
    AppendJsonStringN(buf, capacity, text, SIZE_MAX);
}

} // namespace olv
