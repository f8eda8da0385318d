#include "platform/long_path.h"

#include "base/text.h"

namespace olv {

namespace {

bool IsSeparator(char16_t c) {
    return c == u'\\' || c == u'/';
}

bool IsLetter(char16_t c) {
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}

// "\\?\" or "\\.\" (either separator in the first two places): the system's own forms.
bool InDeviceForm(const char16_t* path) {
    return IsSeparator(path[0]) && IsSeparator(path[1]) && (path[2] == u'?' || path[2] == u'.') &&
           IsSeparator(path[3]);
}

// A server and share: two separators, a server name, a separator, a share name.
bool IsUncPath(const char16_t* path) {
    if (!IsSeparator(path[0]) || !IsSeparator(path[1]) || InDeviceForm(path)) return false;
    size_t i = 2;
    while (path[i] != 0 && !IsSeparator(path[i]))
        ++i;
    if (i == 2 || path[i] == 0) return false;
    return path[i + 1] != 0 && !IsSeparator(path[i + 1]);
}

} // namespace

bool NeedsExtendedForm(const char16_t* path) {
    if (path == nullptr) return false;
    return TextLength(path) >= kPlainPathLimit && !InDeviceForm(path);
}

bool ExtendedLengthPath(const char16_t* fullPath, char16_t* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return false;
    out[0] = 0;
    if (fullPath == nullptr) return false;
    const char16_t* prefix = nullptr;
    const char16_t* rest = fullPath;
    if (InDeviceForm(fullPath)) {
        prefix = u"";
    } else if (IsLetter(fullPath[0]) && fullPath[1] == u':' && IsSeparator(fullPath[2])) {
        prefix = u"\\\\?\\";
    } else if (IsUncPath(fullPath)) {
        prefix = u"\\\\?\\UNC\\";
        rest = fullPath + 2;
    } else {
        return false; // relative, or a drive letter without a separator: not full
    }
    const size_t prefixLength = TextLength(prefix);
    const size_t restLength = TextLength(rest);
    if (prefixLength + restLength + 1 > capacity) return false;
    for (size_t i = 0; i < prefixLength; ++i)
        out[i] = prefix[i];
    for (size_t i = 0; i < restLength; ++i)
        out[prefixLength + i] = rest[i] == u'/' ? u'\\' : rest[i];
    out[prefixLength + restLength] = 0;
    return true;
}

} // namespace olv
