// The program's main window over the simulated trace service, as the window suites open it: the
// kernel session's events (from `produce`, when given) wait for Start, since the examined program
// starts suspended and is followed before it runs; `path` passes as an existing program, and the
// next simulated process gets `pid` (when not 0). The destructor closes the window and puts the
// stand-ins back. Windows suites only.
#pragma once

#include "app/win32/shell.h" // windows.h first

#include "demo/window_driver.h"
#include "doctest.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "platform/sim/sim_process.h"
#include "platform/sim/sim_trace_service.h"

namespace olv {

struct SimMainWindow {
    Recording* app = AllocRecord<Recording>();
    HWND hwnd = nullptr;
    void (*pump)();

    SimMainWindow(SimEventProducer produce, const wchar_t* path, uint32_t pid,
                  void (*pumpMessages)() = gui::Pump)
        : pump(pumpMessages) {
        SimTraceReset();
        ResetSimProcesses();
        if (produce != nullptr) SimTraceSetEvents(u"NT Kernel Logger", produce, nullptr);
        SimTraceGateEvents(u"NT Kernel Logger", 0);
        SetSimulatedFileAttributes(reinterpret_cast<const char16_t*>(path), false);
        if (pid != 0) SetSimNextProcessId(pid);
        InitRecording(app);
        REQUIRE(CreateMainWindow(app, GetModuleHandleW(nullptr), SW_SHOWNORMAL, L"Olvetta"));
        hwnd = H(app->window->mainWindow);
        pump();
    }
    ~SimMainWindow() {
        if (IsWindow(hwnd)) DestroyWindow(hwnd);
        pump();
        CleanUpRecording(app);
        FreeBlock(app);
        SetSimulatedFileAttributes(nullptr, false);
        SimTraceReset();
        ResetSimProcesses();
    }
    SimMainWindow(const SimMainWindow&) = delete;
    SimMainWindow& operator=(const SimMainWindow&) = delete;
};

} // namespace olv
