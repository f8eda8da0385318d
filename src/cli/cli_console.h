// The console a build of the console program runs in: its command line, its two output streams,
// and the interrupts that stop a recording. One implementation per build: src/cli/win32 (the
// Windows console) and src/cli/native (standard streams and SIGINT, for the native build of the
// demonstration twin).
#pragma once

#include "cli/cli_run.h"

namespace olv {

// Fills the console's part of platform (writeLine, pathSeparator, executablePath,
// executableFolder, tempFolder), installs the interrupt handling, runs RunCli on the program's
// command line and returns its exit code. argc and argv are main's (the Windows build reads the
// wide command line instead).
int RunConsoleProgram(int argc, char** argv, CliPlatform* platform);

} // namespace olv
