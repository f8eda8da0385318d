#include "doctest.h"

#include <string>

#include "app/app_state.h"
#include "base/text.h"
#include "capture/trace_controller.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "platform/sim/headless_ui.h"
#include "views/view_texts.h"

using namespace olv;

namespace {

std::u16string Cell(const EventRow& row, int column) {
    char16_t buf[kDisplayBufferChars];
    ComposeCellText(&row, column, buf, kDisplayBufferChars);
    return buf;
}

struct StatusFixture {
    AppState* app = AllocRecord<AppState>();
    StatusFixture() { InitAppState(app); }
    ~StatusFixture() {
        CleanUpAppState(app);
        FreeBlock(app);
    }
    std::u16string Text() {
        char16_t buf[kStatusTextChars];
        ComposeStatusText(app, buf, kStatusTextChars);
        return buf;
    }
};

} // namespace

TEST_CASE("list cells show each column of a row") {
    EventRow row{};
    row.time = {2026, 12, 0, 6, 7, 5, 9, 42};
    row.severity = 2;
    row.pid = 4242;
    row.category = kCategoryRegistry;
    CopyBounded(row.operation, kOperationChars, u"Wrote registry value");
    CopyBounded(row.path, kPathChars, u"\\REGISTRY\\MACHINE\\X");
    CopyBounded(row.result, kResultChars, u"OK");

    CHECK(Cell(row, 0) == u"07:05:09.042");
    CHECK(Cell(row, 1) == u"Medium");
    CHECK(Cell(row, 2) == u"4242");
    CopyBounded(row.process, kProcessChars, u"a.exe");
    CHECK(Cell(row, 2) == u"4242 (a.exe)");
    CHECK(Cell(row, 3) == u"Registry");
    CHECK(Cell(row, 4) == u"Wrote registry value");
    CHECK(Cell(row, 5) == u"\\REGISTRY\\MACHINE\\X");
    CHECK(Cell(row, 6) == u"OK");
    CHECK(Cell(row, 7).empty());

    row.category = 9;
    CHECK(Cell(row, 3) == u"Unknown");
    row.severity = 0;
    CHECK(Cell(row, 1).empty());

    SUBCASE("detail and threat follow the path") {
        CopyBounded(row.detail, kDetailChars, u"Value: Run");
        CopyBounded(row.threat, kThreatChars, u"Run key persistence");
        CHECK(Cell(row, 5) == u"\\REGISTRY\\MACHINE\\X | Value: Run  \u26A0 Run key persistence");
    }
    SUBCASE("an empty detail with a threat puts the mark right after the path") {
        CopyBounded(row.threat, kThreatChars, u"T");
        CHECK(Cell(row, 5) == u"\\REGISTRY\\MACHINE\\X  \u26A0 T");
    }
    SUBCASE("the longest path, detail and threat fit whole") {
        std::u16string path(1023, u'p'), detail(255, u'd'), threat(127, u't');
        CopyBounded(row.path, kPathChars, path.c_str());
        CopyBounded(row.detail, kDetailChars, detail.c_str());
        CopyBounded(row.threat, kThreatChars, threat.c_str());
        std::u16string cell = Cell(row, 5);
        CHECK(cell.size() == 1412);
        CHECK(cell == path + u" | " + detail + u"  \u26A0 " + threat);
    }
}

TEST_CASE("row colours follow the severity") {
    uint32_t colour = 0;
    CHECK((SeverityColour(3, &colour) && colour == 0xCDCDFF));
    CHECK((SeverityColour(2, &colour) && colour == 0xC4E8FF));
    CHECK((SeverityColour(1, &colour) && colour == 0xCDFAFF));
    CHECK_FALSE(SeverityColour(0, &colour));
    CHECK_FALSE(SeverityColour(4, &colour));
}

TEST_CASE("the parameter for a file to select is cut at 1099 characters") {
    char16_t buf[kExplorerParameterChars + 64];
    std::u16string longPath(1200, u'x');
    ExplorerParameter(longPath.c_str(), false, buf, sizeof(buf) / sizeof(buf[0]));
    CHECK(TextLength(buf) == 1099);
    CHECK(std::u16string(buf).rfind(u"/select,\"", 0) == 0);
}

TEST_CASE("status bar text") {
    StatusFixture f;
    CHECK(f.Text() == u" Stopped | Total: 0 | Shown: 0");

    SUBCASE("two rows lost here and nothing else") {
        f.app->droppedHere = 2;
        CHECK(f.Text() == u" Stopped | Total: 0 | Shown: 0 | MISSED: 2 here");
    }
    SUBCASE("every loss and counter entry in its order") {
        RecordingInfo& i = f.app->recordingInfo;
        f.app->droppedHere = 1;
        i.eventsLostByWindows = 2;
        i.buffersLostByWindows = 3;
        i.unreadableRecords = 4;
        i.childrenNotFollowed = 5;
        i.fileResultsMissing = 6;
        i.filesNotIdentified = 7;
        i.registryKeysNotResolved = 8;
        i.trackingSlotsRecycled = 9;
        CHECK(f.Text() == u" Stopped | Total: 0 | Shown: 0 | MISSED: 1 here 2 events dropped by "
                          u"Windows 3 whole buffers 4 unreadable | 5 child process(es) not "
                          u"followed | 6 without a result | 7 file(s) not named | 8 key(s) not "
                          u"located | 9 tracking slot(s) reused");
    }
    SUBCASE("losses reported by Windows alone still open the MISSED part") {
        f.app->recordingInfo.buffersLostByWindows = 1;
        CHECK(f.Text() == u" Stopped | Total: 0 | Shown: 0 | MISSED: 1 whole buffers");
    }
    SUBCASE("the DNS part and the job warning while recording") {
        f.app->recording = 1;
        CHECK(f.Text() == u" Monitoring | Total: 0 | Shown: 0 | DNS: off");
        TraceController* tc = AllocRecord<TraceController>();
        f.app->trace = tc;
        CHECK(f.Text() == u" Monitoring | Total: 0 | Shown: 0 | DNS: off");
        tc->dnsOn = 1;
        CHECK(f.Text() == u" Monitoring | Total: 0 | Shown: 0 | DNS: on");
        tc->dnsEndedEarly = 1; // takes precedence, whatever dnsOn says
        CHECK(f.Text() == u" Monitoring | Total: 0 | Shown: 0 | DNS: stopped early");
        tc->dnsOn = 0;
        f.app->launchedWithoutJob = 1;
        CHECK(f.Text() == u" Monitoring | Total: 0 | Shown: 0 | DNS: stopped early | Stop may not "
                          u"reach child processes");
        f.app->recording = 0;
        CHECK(f.Text() == u" Stopped | Total: 0 | Shown: 0");
        f.app->trace = nullptr;
        FreeBlock(tc);
    }
}

TEST_CASE("context menu commands") {
    StatusFixture f;
    ResetHeadlessUi();
    WireHeadlessControls(f.app);
    RunContextMenuCommand(f.app, u"C:\\Temp\\a.exe", kMenuCopyPath);
    CHECK(std::u16string(HeadlessModel()->clipboard) == u"C:\\Temp\\a.exe");

    RunContextMenuCommand(f.app, u"C:\\Temp\\gone.exe", kMenuShowInExplorer);
    const HeadlessShellCall* call = HeadlessLastShellCall();
    REQUIRE(call != nullptr);
    CHECK(std::u16string(call->file) == u"explorer.exe");
    CHECK(std::u16string(call->verb) == u"open");
    CHECK(std::u16string(call->parameters) == u"/select,\"C:\\Temp\\gone.exe\"");

    SetSimulatedFileAttributes(u"C:\\Temp", true);
    RunContextMenuCommand(f.app, u"C:\\Temp", kMenuShowInExplorer);
    CHECK(std::u16string(HeadlessLastShellCall()->parameters) == u"C:\\Temp");
    SetSimulatedFileAttributes(nullptr, false);

    const uint32_t calls = HeadlessModel()->shellCount;
    RunContextMenuCommand(f.app, u"", kMenuShowInExplorer);
    CHECK(HeadlessModel()->shellCount == calls);
}
