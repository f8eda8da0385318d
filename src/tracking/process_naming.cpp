#include "tracking/process_naming.h"

#include "base/text.h"

namespace olv {

namespace {

// The kernel keeps 15 bytes of the name, 14 in some versions: a short name of that many bytes
// may have been cut.
constexpr size_t kShortNameCutBytes = 14;

bool IsBlank(char16_t c) {
    return c == u' ' || c == u'\t';
}

} // namespace

bool FitsShortName(const char16_t* name, size_t nameLength, const char16_t* shortName,
                   size_t shortLength) {
    if (shortName == nullptr || shortLength == 0) return true;
    if (name == nullptr || nameLength < shortLength) return false;
    // Characters outside ASCII took one byte or two in the 8-bit code page; counting two keeps a
    // name cut in a double-byte code page from being taken as whole.
    size_t bytes = 0;
    for (size_t i = 0; i < shortLength; ++i) {
        const char16_t c = name[i];
        if (c < 0x80 && FoldAscii(c) != FoldAscii(shortName[i])) return false;
        bytes += shortName[i] < 0x80 ? 1 : 2;
    }
    return nameLength == shortLength || bytes >= kShortNameCutBytes;
}

bool FitsShortName(const char16_t* name, const char16_t* shortName) {
    if (TextIsEmpty(shortName)) return true;
    if (name == nullptr) return false;
    return FitsShortName(name, TextLength(name), shortName, TextLength(shortName));
}

bool PrefersProcessName(ProcessNameSource currentSource, ProcessNameSource candidateSource,
                        const char16_t* candidate, const char16_t* shortName) {
    if (TextIsEmpty(candidate) || candidateSource <= currentSource) return false;
    return candidateSource == kNameFromLauncher || FitsShortName(candidate, shortName);
}

bool CommandLineFileName(const char16_t* commandLine, char16_t* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return false;
    out[0] = 0;
    if (commandLine == nullptr) return false;
    const char16_t* token = commandLine;
    while (IsBlank(*token))
        ++token;
    const bool quoted = *token == u'"';
    if (quoted) ++token;
    size_t end = 0;
    size_t name = 0;
    for (; token[end] != 0; ++end) {
        const char16_t c = token[end];
        if (quoted ? c == u'"' : IsBlank(c)) break;
        if (c == u'\\' || c == u'/') name = end + 1;
    }
    size_t length = end - name;
    if (length == 0) return false;
    if (length > capacity - 1) length = capacity - 1;
    for (size_t i = 0; i < length; ++i)
        out[i] = token[name + i];
    out[length] = 0;
    return true;
}

} // namespace olv
