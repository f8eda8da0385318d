// Olvetta.exe: the entry. The program reads no command line.
#include "app/win32/shell.h"
#include "base/product.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    const olv::ProgramOptions options{olv::W(olv::kProductName), L"Global\\OlvettaSingleInstance",
                                      nullptr, nullptr};
    return olv::RunProgram(instance, showCommand, options);
}
