// The console of the native build of the demonstration twin: UTF-8 arguments and streams,
// SIGINT as Ctrl+C. (The Windows build uses the Windows console of src/cli/win32.)
#ifndef _WIN32
#include <csignal>
#include <cstdio>
#include <cstring>

#include "base/text.h"
#include "cli/cli_console.h"
#include "json_line.h"
#include "platform/memory.h"

namespace olv {

namespace {

constexpr size_t kArgChars = 4096;
constexpr int kMostArguments = 256;

void WriteLine(void*, int stream, const char16_t* text) {
    FILE* out = stream == kCliStdout ? stdout : stderr;
    const size_t length = TextLength(text);
    const size_t bytes = Utf16ToUtf8(text, length, nullptr, 0) + 1;
    char* utf8 = static_cast<char*>(AllocZeroed(bytes));
    if (utf8 == nullptr) return;
    Utf16ToUtf8(text, length, utf8, bytes);
    std::fputs(utf8, out);
    std::fputc('\n', out);
    std::fflush(out);
    FreeBlock(utf8);
}

extern "C" void OnInterrupt(int) {
    RequestCliStop();
}

} // namespace

int RunConsoleProgram(int argc, char** argv, CliPlatform* platform) {
    if (argc > kMostArguments) argc = kMostArguments;
    static char16_t texts[kMostArguments][kArgChars];
    static const char16_t* wide[kMostArguments];
    for (int i = 0; i < argc; ++i) {
        if (!replay::Utf8ToUtf16(argv[i], std::strlen(argv[i]), texts[i], kArgChars)) {
            std::fputs("olvetta: an argument is not UTF-8 or is too long\n", stderr);
            return 1;
        }
        wide[i] = texts[i];
    }
    static char16_t folder[kArgChars];
    CopyBounded(folder, kArgChars, argc > 0 ? texts[0] : u"");
    char16_t* slash = nullptr;
    for (char16_t* p = folder; *p != 0; ++p) {
        if (*p == u'/') slash = p;
    }
    if (slash != nullptr) {
        *slash = 0;
    } else {
        CopyBounded(folder, kArgChars, u".");
    }
    platform->writeLine = WriteLine;
    platform->pathSeparator = u'/';
    platform->executablePath = argc > 0 ? texts[0] : u"";
    platform->executableFolder = folder;
    platform->tempFolder = u"/tmp";
    std::signal(SIGINT, OnInterrupt);
    const int status = RunCli(argc, wide, platform);
    std::signal(SIGINT, SIG_DFL);
    return status;
}

} // namespace olv

#endif // _WIN32
