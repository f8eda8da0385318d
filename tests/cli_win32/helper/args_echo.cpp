// A program for the console program's tests under the system: writes the arguments it was given,
// as the shell's splitter (CommandLineToArgvW) and as the C runtime's start-up code split them,
// one per line in UTF-8, "shell:" and "crt:" before each, to standard output.
#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <cstdlib>

namespace {

void Put(const char* kind, const wchar_t* text) {
    char bytes[4096] = {};
    WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, sizeof bytes - 1, nullptr, nullptr);
    std::printf("%s[%s]\n", kind, bytes);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    int count = 0;
    wchar_t** shell = CommandLineToArgvW(GetCommandLineW(), &count);
    for (int i = 1; shell != nullptr && i < count; ++i)
        Put("shell:", shell[i]);
    LocalFree(shell);
    for (int i = 1; i < argc; ++i)
        Put("crt:", argv[i]);
    return 0;
}
