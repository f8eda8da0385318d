// Long paths on Windows: a full path of MAX_PATH characters or more reaches the file calls only
// in its extended-length form ("\\?\C:\...", "\\?\UNC\server\share\..."), unless the machine has
// long paths switched on for every program. The decision and the text are portable (tested
// natively); the Windows file calls (platform/win32/files.cpp) apply them at each call.
#pragma once

#include <cstddef>

namespace olv {

// Below this length every file call takes the plain form. CreateDirectoryW is the strictest:
// MAX_PATH less room for an 8.3 file name (12), so one limit serves every call.
constexpr size_t kPlainPathLimit = 248;

// Whether a path must be given in its extended-length form: at least kPlainPathLimit characters
// and not already in a "\\?\" or "\\.\" form.
bool NeedsExtendedForm(const char16_t* path);

// The extended-length form of a full path: "C:\x" becomes "\\?\C:\x", "\\server\share\x"
// becomes "\\?\UNC\server\share\x", every '/' becomes '\' (the extended form takes the text
// as it is, so nothing else would turn them). A path already in a "\\?\" or "\\.\" form is
// copied. False (out empty) when the path is not full (a drive letter and a separator, or a
// server and share) or the result does not fit in capacity characters with the terminator.
bool ExtendedLengthPath(const char16_t* fullPath, char16_t* out, size_t capacity);

} // namespace olv
