#include "launcher/command_line.h"

#include "base/text.h"
#include "platform/memory.h"

namespace olv {

namespace {

bool NeedsQuotes(const char16_t* arg) {
    if (arg == nullptr || arg[0] == 0) return true;
    for (const char16_t* p = arg; *p != 0; ++p) {
        if (*p == u' ' || *p == u'\t' || *p == u'\n' || *p == u'\v' || *p == u'"') return true;
    }
    return false;
}

// Appends count copies of c at out[*at]; false when they do not fit (the terminator included).
bool Put(char16_t* out, size_t capacity, size_t* at, char16_t c, size_t count) {
    if (*at + count + 1 > capacity) return false;
    for (size_t i = 0; i < count; ++i)
        out[(*at)++] = c;
    return true;
}

bool IsBlank(char16_t c) {
    return c == u' ' || c == u'\t';
}

} // namespace

bool AppendQuotedArgument(char16_t* out, size_t capacity, const char16_t* arg) {
    if (out == nullptr || capacity == 0) return false;
    const size_t start = TextLength(out);
    if (start >= capacity) return false;
    size_t at = start;
    bool ok = true;
    if (!NeedsQuotes(arg)) {
        for (const char16_t* p = arg; *p != 0 && ok; ++p)
            ok = Put(out, capacity, &at, *p, 1);
    } else {
        ok = Put(out, capacity, &at, u'"', 1);
        const char16_t* p = arg != nullptr ? arg : u"";
        while (ok && *p != 0) {
            size_t backslashes = 0;
            while (p[backslashes] == u'\\')
                ++backslashes;
            const char16_t next = p[backslashes];
            if (next == 0) {
                ok = Put(out, capacity, &at, u'\\', backslashes * 2); // before the closing quote
                p += backslashes;
            } else if (next == u'"') {
                ok = Put(out, capacity, &at, u'\\', backslashes * 2 + 1) &&
                     Put(out, capacity, &at, u'"', 1);
                p += backslashes + 1;
            } else {
                ok =
                    Put(out, capacity, &at, u'\\', backslashes) && Put(out, capacity, &at, next, 1);
                p += backslashes + 1;
            }
        }
        ok = ok && Put(out, capacity, &at, u'"', 1);
    }
    if (!ok) {
        out[start] = 0;
        return false;
    }
    out[at] = 0;
    return true;
}

bool BuildArgumentText(const char16_t* const* args, int count, char16_t* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return false;
    out[0] = 0;
    for (int i = 0; i < count; ++i) {
        if (i > 0 && TextLength(out) + 2 > capacity) {
            out[0] = 0;
            return false;
        }
        if (i > 0) AppendBounded(out, capacity, u" ");
        if (!AppendQuotedArgument(out, capacity, args[i])) {
            out[0] = 0;
            return false;
        }
    }
    return true;
}

int SplitArgumentText(const char16_t* line, ArgumentTaker take, void* context) {
    if (line == nullptr) return 0;
    // An argument is built in a growing window of the line's own length: it is never longer.
    const size_t length = TextLength(line);
    char16_t small[512];
    char16_t* buffer = small;
    char16_t* big = nullptr;
    if (length + 1 > 512) {
        big = static_cast<char16_t*>(AllocZeroed((length + 1) * sizeof(char16_t)));
        if (big == nullptr) return 0;
        buffer = big;
    }
    int count = 0;
    const char16_t* p = line;
    for (;;) {
        while (IsBlank(*p))
            ++p;
        if (*p == 0) break;
        size_t n = 0;
        bool quoted = false;
        while (*p != 0 && (quoted || !IsBlank(*p))) {
            size_t backslashes = 0;
            while (p[backslashes] == u'\\')
                ++backslashes;
            if (p[backslashes] == u'"') {
                for (size_t i = 0; i < backslashes / 2; ++i)
                    buffer[n++] = u'\\';
                if (backslashes % 2 == 1) {
                    buffer[n++] = u'"';
                } else if (quoted && p[backslashes + 1] == u'"') {
                    buffer[n++] = u'"'; // "" within quotes
                    ++p;
                } else {
                    quoted = !quoted;
                }
                p += backslashes + 1;
            } else if (backslashes > 0) {
                for (size_t i = 0; i < backslashes; ++i)
                    buffer[n++] = u'\\';
                p += backslashes;
            } else {
                buffer[n++] = *p++;
            }
        }
        buffer[n] = 0;
        if (take != nullptr) take(context, buffer, n);
        ++count;
    }
    FreeBlock(big);
    return count;
}

} // namespace olv
