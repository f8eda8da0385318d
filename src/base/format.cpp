#include "base/format.h"

namespace olv {

namespace {

struct Out {
    char16_t* buf;
    size_t capacity;
    size_t used;
    void Put(char16_t c) {
        if (used + 1 < capacity) buf[used++] = c;
    }
};

void PutNumber(Out& out, uint64_t magnitude, bool negative, unsigned base, bool upper, int width,
               bool zeroPad, bool leftAlign) {
    char16_t digits[24];
    int n = 0;
    do {
        unsigned d = static_cast<unsigned>(magnitude % base);
        digits[n++] = static_cast<char16_t>(d < 10 ? u'0' + d : (upper ? u'A' : u'a') + (d - 10));
        magnitude /= base;
    } while (magnitude != 0 && n < 24);
    int len = n + (negative ? 1 : 0);
    int pad = width > len ? width - len : 0;
    if (!leftAlign && !zeroPad) {
        for (int i = 0; i < pad; ++i) out.Put(u' ');
    }
    if (negative) out.Put(u'-');
    if (!leftAlign && zeroPad) {
        for (int i = 0; i < pad; ++i) out.Put(u'0');
    }
    while (n > 0) out.Put(digits[--n]);
    if (leftAlign) {
        for (int i = 0; i < pad; ++i) out.Put(u' ');
    }
}

} // namespace

size_t FormatTextArgs(char16_t* buf, size_t capacity, const char16_t* format,
                      const FormatArg* args, size_t argCount) {
    if (buf == nullptr || capacity == 0) return 0;
    Out out{buf, capacity, 0};
    size_t next = 0;
    for (const char16_t* p = format; p != nullptr && *p != 0; ++p) {
        if (*p != u'%') {
            out.Put(*p);
            continue;
        }
        const char16_t* start = p;
        ++p;
        if (*p == u'%') {
            out.Put(u'%');
            continue;
        }
        bool zeroPad = false;
        bool leftAlign = false;
        for (;; ++p) {
            if (*p == u'0') zeroPad = true;
            else if (*p == u'-') leftAlign = true;
            else break;
        }
        int width = 0;
        while (*p >= u'0' && *p <= u'9') width = width * 10 + (*p++ - u'0');
        int precision = -1;
        if (*p == u'.') {
            ++p;
            precision = 0;
            while (*p >= u'0' && *p <= u'9') precision = precision * 10 + (*p++ - u'0');
        }
        bool longMod = false;
        while (*p == u'l' || *p == u'h') {
            longMod = true;
            ++p;
        }
        (void)longMod;
        const FormatArg* arg = next < argCount ? &args[next] : nullptr;
        switch (*p) {
        case u'd':
        case u'i':
        case u'u':
        case u'x':
        case u'X': {
            ++next;
            if (arg == nullptr || arg->kind == FormatArg::Text) break;
            unsigned base = (*p == u'x' || *p == u'X') ? 16 : 10;
            bool upper = *p == u'X';
            if (*p == u'd' || *p == u'i') {
                // Signed conversions take the argument as a 32-bit value, as wsprintfW does.
                int32_t v = arg->kind == FormatArg::Signed ? static_cast<int32_t>(arg->s)
                                                           : static_cast<int32_t>(arg->u);
                bool neg = v < 0;
                uint64_t mag = neg ? static_cast<uint64_t>(-static_cast<int64_t>(v))
                                   : static_cast<uint64_t>(v);
                PutNumber(out, mag, neg, 10, false, width, zeroPad, leftAlign);
            } else {
                uint32_t v = arg->kind == FormatArg::Signed ? static_cast<uint32_t>(arg->s)
                                                            : static_cast<uint32_t>(arg->u);
                PutNumber(out, v, false, base, upper, width, zeroPad, leftAlign);
            }
            break;
        }
        case u'c': {
            ++next;
            if (arg == nullptr || arg->kind == FormatArg::Text) break;
            out.Put(static_cast<char16_t>(arg->kind == FormatArg::Signed ? arg->s : arg->u));
            break;
        }
        case u's': {
            ++next;
            if (arg == nullptr || arg->kind != FormatArg::Text) break;
            const char16_t* s = arg->text != nullptr ? arg->text : u"(null)";
            size_t len = 0;
            while (s[len] != 0 && (precision < 0 || len < static_cast<size_t>(precision))) ++len;
            int pad = width > static_cast<int>(len) ? width - static_cast<int>(len) : 0;
            if (!leftAlign) {
                for (int i = 0; i < pad; ++i) out.Put(u' ');
            }
            for (size_t i = 0; i < len; ++i) out.Put(s[i]);
            if (leftAlign) {
                for (int i = 0; i < pad; ++i) out.Put(u' ');
            }
            break;
        }
        default:
            // Unknown conversion: copied as it stands.
            for (const char16_t* q = start; q <= p && *q != 0; ++q) out.Put(*q);
            if (*p == 0) --p;
            break;
        }
    }
    buf[out.used] = 0;
    return out.used;
}

} // namespace olv
