// olvetta-demo-run.exe OUTDIR [SCENARIO]: plays a scenario in the demonstration's real window
// with nobody at the screen. It starts olvetta-demo.exe, presses Start, waits for the recording
// to end, exports CSV and JSON through the real save dialogs into OUTDIR, and asks for
// screenshots of the main window, the process tree and the summary (taken by
// cmake/gui-screenshots.sh, which tools/ci/run.sh runs it under). Exit status 0 when every file
// was written.
#include <cstdio>
#include <string>

#include "demo/window_driver.h"

using namespace olv;
using namespace olv::gui;

namespace {

int Fail(const char* what) {
    std::printf("olvetta-demo-run: %s\n", what);
    return 1;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2 || argc > 3) {
        std::printf("usage: olvetta-demo-run.exe OUTDIR [SCENARIO.jsonl]\n");
        return 2;
    }
    std::wstring out = argv[1];
    if (out.back() != L'\\') out += L'\\';
    const std::wstring scenario = argc == 3 ? argv[2] : BesideThisProgram(L"dropper.jsonl");
    std::wstring name = scenario.substr(scenario.find_last_of(L"\\/") + 1);
    name = name.substr(0, name.find_last_of(L'.'));
    const std::wstring csv = out + name + L".csv", json = out + name + L".json";
    DeleteFileW(csv.c_str());
    DeleteFileW(json.c_str());

    Demo demo(scenario);
    if (!demo.Found()) return Fail("the demonstration's window did not appear");
    demo.Command(kIdStartButton);
    if (!WaitFor("the recording to start", kWaitMs,
                 [&] { return IsWindowEnabled(demo.Control(kIdStopButton)) != FALSE; }))
        return Fail("the recording did not start");
    if (!WaitFor("the recording to end", kWaitMs * 4, [&] { return demo.Idle(); }))
        return Fail("the recording did not end");
    std::printf("recorded: %ls\n", TextOf(demo.Control(kIdStatusBar)).c_str());
    PauseForScreenshot("main-window");

    HWND tree = demo.Open(kCmdProcessTree, L"Process Tree - recording");
    if (tree != nullptr) {
        PauseForScreenshot("process-tree");
        PostMessageW(tree, WM_CLOSE, 0, 0);
    }
    HWND summary = demo.Open(kCmdSummary, L"Summary - recording");
    if (summary != nullptr) {
        PauseForScreenshot("summary");
        PostMessageW(summary, WM_CLOSE, 0, 0);
    }
    std::printf("CSV: %ls\n", demo.ThroughFileDialog(kCmdExportCsv, csv).c_str());
    std::printf("JSON: %ls\n", demo.ThroughFileDialog(kCmdExportJson, json).c_str());
    // Nothing was saved as a session: closing asks before the rows go.
    PostMessageW(demo.window, WM_CLOSE, 0, 0);
    BoxSeen closeAsked;
    AnswerMessageBox(demo.process.Id(), IDYES, kWaitMs, &closeAsked);
    DWORD code = 1;
    demo.process.Exited("olvetta-demo", &code);
    const bool written = GetFileAttributesW(csv.c_str()) != INVALID_FILE_ATTRIBUTES &&
                         GetFileAttributesW(json.c_str()) != INVALID_FILE_ATTRIBUTES;
    return written && code == 0 && tree != nullptr && summary != nullptr ? 0 : 1;
}
