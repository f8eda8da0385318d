// olvetta-demo.exe driven from outside as a person would drive it, through window messages:
// Start, the recording playing in the list, the view, the process tree and summary windows, the
// real save and open dialogs; its CSV is compared with what olvetta-replay writes for the same
// scenario and view.
#include <cstdio>
#include <string>
#include <vector>

#include "app/window_layout.h"
#include "doctest.h"
#include "platform/ui.h"
#include "demo/window_driver.h"

using namespace olv;
using namespace olv::gui;

namespace {

constexpr wchar_t kProgram[] = L"C:\\Users\\analyst\\Downloads\\Invoice_2024-0412.pdf.exe";

std::wstring Scenario() {
    std::wstring root;
    for (const char* c = OLV_SOURCE_DIR; *c != 0; ++c)
        root += static_cast<wchar_t>(*c == '/' ? '\\' : *c);
    return root + L"\\tests\\scenarios\\dropper.jsonl";
}

// A UTF-16LE file with its byte order mark, as lines without their CR LF.
std::vector<std::wstring> ReadUtf16Lines(const std::wstring& path) {
    std::vector<std::wstring> lines;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return lines;
    std::wstring text(GetFileSize(file, nullptr) / 2, L'\0');
    DWORD read = 0;
    ReadFile(file, text.data(), static_cast<DWORD>(text.size() * 2), &read, nullptr);
    CloseHandle(file);
    size_t at = !text.empty() && text[0] == 0xFEFF ? 1 : 0;
    while (at < text.size()) {
        const size_t end = text.find(L"\r\n", at);
        lines.push_back(text.substr(at, end == std::wstring::npos ? std::wstring::npos : end - at));
        if (end == std::wstring::npos) break;
        at = end + 2;
    }
    return lines;
}

std::string Narrow(const std::wstring& text) {
    return std::string(text.begin(), text.end());
}

// What two recordings of one scenario share: every comment line but the one with the times of
// the recording, and every row but those the recorder makes from its own clock ("Target process
// exited" comes in when the window's timer has run, which differs between a real timer and the
// replay's simulated one), in order.
struct CsvContent {
    std::vector<std::wstring> notes;
    std::vector<std::wstring> rows;
    int exitedRows = 0;
};

CsvContent Content(const std::vector<std::wstring>& lines) {
    CsvContent c;
    for (const std::wstring& line : lines) {
        if (line.rfind(L"#", 0) == 0) {
            if (line.find(L"Recording ran from") == std::wstring::npos) c.notes.push_back(line);
        } else if (line.find(L"\"Target process exited\"") != std::wstring::npos) {
            ++c.exitedRows;
        } else {
            c.rows.push_back(line);
        }
    }
    return c;
}

} // namespace

TEST_CASE("the demonstration records the dropper scenario in the real window as the replay does") {
    const std::wstring out = BesideThisProgram(L"demo-e2e\\");
    CreateDirectoryW(out.c_str(), nullptr);
    const std::wstring csv = out + L"demo.csv", replayCsv = out + L"replay.csv";
    const std::wstring session = out + L"demo.ols", json = out + L"demo.json";
    for (const std::wstring& f : {csv, replayCsv, session, json})
        DeleteFileW(f.c_str());

    // The same scenario and view through the replay tool.
    {
        Process replay(L"\"" + BesideThisProgram(L"olvetta-replay.exe") + L"\" \"" + Scenario() +
                       L"\" --hide registry --filter exe --csv \"" + replayCsv + L"\"");
        DWORD code = 1;
        REQUIRE(replay.started);
        REQUIRE(replay.Exited("olvetta-replay", &code));
        REQUIRE(code == 0);
    }

    int recorded = 0;
    {
        Demo demo(Scenario());
        REQUIRE(demo.Found());
        wchar_t title[64] = {};
        GetWindowTextW(demo.window, title, 64);
        CHECK(std::wstring(title) == L"Olvetta (demonstration)");
        CHECK(TextOf(demo.Control(kIdTargetEdit)) == kProgram);

        demo.Command(kIdStartButton);
        REQUIRE(WaitFor("the recording to start", kWaitMs,
                        [&] { return IsWindowEnabled(demo.Control(kIdStopButton)) != FALSE; }));
        REQUIRE(WaitFor("rows to arrive while recording", kWaitMs, [&] { return demo.Items() >= 12; }));
        CHECK(demo.Status().rfind(L" Monitoring | Total: ", 0) == 0);
        CHECK(!demo.Idle());
        CHECK(PauseForScreenshot("main-window-recording"));
        // The scenario plays to its end and the recording stops by itself.
        REQUIRE(WaitFor("the recording to stop at the scenario's end", kWaitMs, [&] { return demo.Idle(); }));
        recorded = demo.Items();
        CHECK(recorded == 45);
        CHECK(demo.Status() == L" Stopped | Total: 45 | Shown: 45");
        CHECK(RemoteListCell(demo.process.Id(), demo.Control(kIdEventList), 0, 4) == L"Started process");

        // Nothing is saved yet: Clear and closing the window ask, and No keeps every row and the
        // window.
        demo.Command(kIdClearButton);
        BoxSeen clearAsked;
        REQUIRE(AnswerMessageBox(demo.process.Id(), IDNO, kWaitMs, &clearAsked));
        CHECK(clearAsked.text == L"45 rows have not been saved. Save Session keeps them.\n\nClear "
                                 L"removes them; files written afterwards say how many were "
                                 L"cleared, but not what they held.\n\nClear anyway?");
        PostMessageW(demo.window, WM_CLOSE, 0, 0);
        HWND closeBox = WaitForMessageBox(demo.process.Id(), kWaitMs);
        REQUIRE(closeBox != nullptr);
        CHECK(PauseForScreenshot("close-asks-about-unsaved-rows"));
        BoxSeen closeAsked;
        ReadAndAnswer(closeBox, IDNO, &closeAsked);
        CHECK(closeAsked.text.rfind(L"45 rows have not been saved.", 0) == 0);
        CHECK(closeAsked.hadOwner);
        PumpFor(200);
        CHECK(IsWindow(demo.window));
        CHECK(demo.Items() == 45);
        CHECK(demo.Status() == L" Stopped | Total: 45 | Shown: 45");

        // The view, as a person sets it: untick Registry, type into the filter box.
        SendMessageW(demo.Control(kIdRegistryCheck), BM_SETCHECK, BST_UNCHECKED, 0);
        demo.Command(kIdRegistryCheck);
        SendMessageW(demo.Control(kIdFilterEdit), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"exe"));
        REQUIRE(WaitFor("the list to show the view", kWaitMs, [&] {
            return demo.Status().find(L"Shown: 45") == std::wstring::npos;
        }));
        const int shown = demo.Items();
        CHECK(demo.Status() == L" Stopped | Total: 45 | Shown: " + std::to_wstring(shown));

        HWND tree = demo.Open(kCmdProcessTree, L"Process Tree - recording");
        REQUIRE(tree != nullptr);
        HWND treeView = GetWindow(tree, GW_CHILD);
        CHECK(SendMessageW(treeView, TVM_GETCOUNT, 0, 0) == 3);
        HTREEITEM root = reinterpret_cast<HTREEITEM>(SendMessageW(treeView, TVM_GETNEXTITEM, TVGN_ROOT, 0));
        CHECK(RemoteTreeItemText(demo.process.Id(), treeView, root) ==
              L"Invoice_2024-0412.pdf.exe (PID: 4242)");
        HTREEITEM child = reinterpret_cast<HTREEITEM>(
            SendMessageW(treeView, TVM_GETNEXTITEM, TVGN_CHILD, reinterpret_cast<LPARAM>(root)));
        CHECK(child != nullptr);
        CHECK(PauseForScreenshot("process-tree"));
        PostMessageW(tree, WM_CLOSE, 0, 0);

        HWND summary = demo.Open(kCmdSummary, L"Summary - recording");
        REQUIRE(summary != nullptr);
        const std::wstring text = LongTextOf(GetWindow(summary, GW_CHILD));
        CHECK(text.rfind(L"=== Summary ===  Total events: 45\r\n", 0) == 0);
        CHECK(text.find(L"[By category]  File: 21   Registry: 5   Network: 0   Process: 19") !=
              std::wstring::npos);
        CHECK(text.find(L"[Most touched files]\r\n      7  C:\\Users\\analyst\\AppData\\Local\\Temp\\svchost32.exe") !=
              std::wstring::npos);
        CHECK(PauseForScreenshot("summary"));
        PostMessageW(summary, WM_CLOSE, 0, 0);

        CHECK(demo.ThroughFileDialog(kIdExportCsvButton, csv) ==
              std::to_wstring(shown) + L" events written to CSV.");
        CHECK(demo.ThroughFileDialog(kCmdExportJson, json) ==
              std::to_wstring(shown) + L" events written to JSON.");
        const std::wstring saved = demo.ThroughFileDialog(kCmdSaveSession, session);
        INFO("save: ", Narrow(saved));
        CHECK(GetFileAttributesW(session.c_str()) != INVALID_FILE_ATTRIBUTES);

        // A click on the "Operation" heading, as the mouse gives it to the header: the rows
        // sort and the header shows the arrow, read through a block in the demonstration.
        HWND list = demo.Control(kIdEventList);
        HWND header = reinterpret_cast<HWND>(SendMessageW(list, LVM_GETHEADER, 0, 0));
        REQUIRE(header != nullptr);
        ClickHeaderColumn(demo.process.Id(), header, 4);
        REQUIRE(WaitFor("the arrow on the Operation heading", kWaitMs, [&] {
            return RemoteHeaderFormat(demo.process.Id(), header, 4) & HDF_SORTUP;
        }));
        CHECK((RemoteHeaderFormat(demo.process.Id(), header, 5) & (HDF_SORTUP | HDF_SORTDOWN)) == 0);
        for (int item = 1; item < demo.Items(); ++item) {
            const std::wstring before = RemoteListCell(demo.process.Id(), list, item - 1, 4);
            const std::wstring here = RemoteListCell(demo.process.Id(), list, item, 4);
            CHECK(_wcsicmp(before.c_str(), here.c_str()) <= 0);
        }
        CHECK(demo.Status().find(L" | Rows sorted by Operation, ascending") != std::wstring::npos);
        CHECK(PauseForScreenshot("demo-sorted-by-operation"));

        PostMessageW(demo.window, WM_CLOSE, 0, 0);
        DWORD code = 1;
        REQUIRE(demo.process.Exited("olvetta-demo", &code));
        CHECK(code == 0);
    }

    const CsvContent mine = Content(ReadUtf16Lines(csv));
    const CsvContent theirs = Content(ReadUtf16Lines(replayCsv));
    REQUIRE(!mine.rows.empty());
    CHECK(mine.exitedRows == theirs.exitedRows);
    REQUIRE(mine.notes.size() == theirs.notes.size());
    for (size_t i = 0; i < mine.notes.size(); ++i)
        CHECK(Narrow(mine.notes[i]) == Narrow(theirs.notes[i]));
    REQUIRE(mine.rows.size() == theirs.rows.size());
    for (size_t i = 0; i < mine.rows.size(); ++i)
        CHECK(Narrow(mine.rows[i]) == Narrow(theirs.rows[i]));

    // A second run opens the saved session through the real open dialog.
    Demo again(Scenario());
    REQUIRE(again.Found());
    REQUIRE(again.FillFileDialog(kCmdOpenSession, session));
    REQUIRE(WaitFor("the session's rows in the list", kWaitMs, [&] { return again.Items() == recorded; }));
    CHECK(again.Status() == L" Stopped | Total: 45 | Shown: 45");
    CHECK(RemoteListCell(again.process.Id(), again.Control(kIdEventList), 0, 4) == L"Started process");
    CHECK(PauseForScreenshot("session-opened"));
    PostMessageW(again.window, WM_CLOSE, 0, 0);
    DWORD code = 1;
    REQUIRE(again.process.Exited("olvetta-demo", &code));
    CHECK(code == 0);
}
