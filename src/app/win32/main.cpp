// Olvetta.exe: the entry. The program reads no command line.
#include "app/win32/shell.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    const olv::ProgramOptions options{L"Olvetta", L"Global\\OlvettaSingleInstance", nullptr,
                                      nullptr};
    return olv::RunProgram(instance, showCommand, options);
}
