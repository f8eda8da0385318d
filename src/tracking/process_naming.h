// Which name a process shows. The trace names a process in several ways, none of them complete
// on its own: the kernel's process start carries the short image name (true, but cut to 14 or 15
// bytes and narrowed to the 8-bit code page), the command line's first token is whatever the
// creator wrote, the executable's image load names the file the kernel mapped, and the launcher
// knows the path it started the examined program from. The best one known wins, and a name the
// short name contradicts is never taken (a creator can put any program's name in its child's
// command line).
#pragma once

#include <cstddef>
#include <cstdint>

namespace olv {

// In rising order of trust; a higher source replaces a lower one.
enum ProcessNameSource : uint8_t {
    kNameUnknown = 0,
    kNameFromShortName = 1,   // the process start's or rundown's ImageFileName
    kNameFromCommandLine = 2, // the command line's first token, quoted or not
    kNameFromImage = 3,       // the executable's image load
    kNameFromLauncher = 4,    // the path the examined program was launched from
};

// Whether the kernel could have made shortName from the file name name: equal, or a prefix of it
// when shortName is long enough to have been cut. ASCII letters compare without regard to case; a
// character of name outside ASCII matches any character of shortName (the narrowing gives '?',
// a best-fit letter, or the character itself). An empty shortName contradicts nothing.
bool FitsShortName(const char16_t* name, const char16_t* shortName);
// The same for texts given by their lengths (not terminated).
bool FitsShortName(const char16_t* name, size_t nameLength, const char16_t* shortName,
                   size_t shortLength);

// Whether candidate (from candidateSource) should replace the name a process has from
// currentSource: it is not empty, its source ranks higher, and the short name (empty: not known)
// does not contradict it. The launcher's path is taken whatever the short name says.
bool PrefersProcessName(ProcessNameSource currentSource, ProcessNameSource candidateSource,
                        const char16_t* candidate, const char16_t* shortName);

// The file name of the program a command line starts: its first token (a quoted text, or the
// text up to the first blank), after the token's last '\' or '/'. Cut at capacity less one and
// always terminated; false when there is no such name.
bool CommandLineFileName(const char16_t* commandLine, char16_t* out, size_t capacity);

} // namespace olv
