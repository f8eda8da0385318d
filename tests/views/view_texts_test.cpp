#include "app/window_layout.h"
#include "doctest.h"

#include <string>

#include "app/app_state.h"
#include "base/text.h"
#include "capture/trace_controller.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "platform/sim/headless_ui.h"
#include "views/row_store.h"
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

TEST_CASE("list cells and row colours") {
    EventRow row{};
    row.time = {2026, 12, 0, 6, 7, 5, 9, 42};
    row.severity = 2;
    row.pid = 4242;
    row.category = kCategoryRegistry;
    CopyBounded(row.operation, kOperationChars, u"Wrote registry value");
    CopyBounded(row.path, kPathChars, u"\\REGISTRY\\MACHINE\\X");
    CopyBounded(row.result, kResultChars, u"OK");
    const char16_t* cells[] = {
        u"07:05:09.042",           u"Medium", u"4242", u"Registry", u"Wrote registry value",
        u"\\REGISTRY\\MACHINE\\X", u"OK",     u""};
    for (int column = 0; column < 8; ++column)
        CHECK(Cell(row, column) == cells[column]);
    CopyBounded(row.process, kProcessChars, u"a.exe");
    CHECK(Cell(row, 2) == u"4242 (a.exe)");
    row.category = 9;
    CHECK(Cell(row, 3) == u"Unknown");
    row.severity = 0;
    CHECK(Cell(row, 1).empty());

    // Detail and threat follow the path; an empty detail puts the mark right after it.
    CopyBounded(row.threat, kThreatChars, u"T");
    CHECK(Cell(row, 5) == u"\\REGISTRY\\MACHINE\\X  \u26A0 T");
    std::u16string path(1023, u'p'), detail(255, u'd'), threat(127, u't');
    CopyBounded(row.path, kPathChars, path.c_str());
    CopyBounded(row.detail, kDetailChars, detail.c_str());
    CopyBounded(row.threat, kThreatChars, threat.c_str());
    CHECK(Cell(row, 5) == path + u" | " + detail + u"  \u26A0 " + threat); // all 1412 characters

    const uint32_t colours[] = {0, 0xCDFAFF, 0xC4E8FF, 0xCDCDFF, 0};
    for (uint32_t severity = 0; severity < 5; ++severity) {
        uint32_t colour = 0;
        CHECK(SeverityColour(severity, &colour) == (colours[severity] != 0));
        CHECK(colour == colours[severity]);
    }
}

TEST_CASE("a hostile row's hidden characters show as marks in every cell; CR LF stay") {
    EventRow row{};
    row.pid = 77;
    row.category = kCategoryFile;
    CopyBounded(row.process, kProcessChars, u"evil\u202Eexe.txt");
    CopyBounded(row.operation, kOperationChars, u"Wrote\u2066 file");
    CopyBounded(row.path, kPathChars, u"C:\\Invoice\u202Efdp.exe");
    CopyBounded(row.detail, kDetailChars, u"cmd\r\nline\u200F");
    CopyBounded(row.threat, kThreatChars, u"\u202BDropped\u202C");
    CopyBounded(row.result, kResultChars, u"OK\u061C");
    CHECK(Cell(row, 2) == u"77 (evil[U+202E]exe.txt)");
    CHECK(Cell(row, 4) == u"Wrote[U+2066] file");
    CHECK(Cell(row, 5) ==
          u"C:\\Invoice[U+202E]fdp.exe | cmd\r\nline[U+200F]  \u26A0 [U+202B]Dropped[U+202C]");
    CHECK(Cell(row, 6) == u"OK[U+061C]");

    // Every text full of hidden characters: the whole cell still fits, threat text included.
    const std::u16string path(1023, u'\u202E'), detail(255, u'\u2068'), threat(127, u'\u200E');
    CopyBounded(row.path, kPathChars, path.c_str());
    CopyBounded(row.detail, kDetailChars, detail.c_str());
    CopyBounded(row.threat, kThreatChars, threat.c_str());
    const std::u16string cell = Cell(row, 5);
    CHECK(cell.size() == (1023 + 255 + 127) * 8 + 3 + 4);
    CHECK(cell.find(u"\u202E") == std::u16string::npos);
    CHECK(cell.substr(cell.size() - 8) == u"[U+200E]");
}

TEST_CASE("the list's custom draw colours shown items by severity and asks per item") {
    StatusFixture f;
    ResetHeadlessUi();
    WireControls(f.app, HeadlessControlHandle);
    EventRow row{};
    for (uint32_t severity : {3u, 0u, 1u}) {
        row.severity = severity;
        AppendRow(f.app, &row);
    }
    REQUIRE(f.app->shownCount == 3);
    uint32_t colour = 0;
    bool has = true;
    CHECK(ListRowColour(f.app, kCddsPrepaint, 0, &colour, &has) == kCdrfNotifyItemDraw);
    CHECK_FALSE(has);
    CHECK(ListRowColour(f.app, kCddsItemPrepaint, 0, &colour, &has) == kCdrfNewFont);
    CHECK((has && colour == 0xCDCDFF));
    CHECK(ListRowColour(f.app, kCddsItemPrepaint, 1, &colour, &has) == kCdrfNewFont);
    CHECK_FALSE(has);
    CHECK(ListRowColour(f.app, kCddsItemPrepaint, 2, &colour, &has) == kCdrfNewFont);
    CHECK((has && colour == 0xCDFAFF));
    // Items outside the shown rows keep the normal background; other stages get 0.
    for (int item : {-1, 3, 1000}) {
        CHECK(ListRowColour(f.app, kCddsItemPrepaint, item, &colour, &has) == kCdrfNewFont);
        CHECK_FALSE(has);
    }
    CHECK(ListRowColour(f.app, 0x10002, 0, &colour, &has) == 0);
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
        const std::u16string monitoring = u" Monitoring | Total: 0 | Shown: 0 | DNS: ";
        f.app->recording = 1;
        CHECK(f.Text() == monitoring + u"off");
        TraceController* tc = AllocRecord<TraceController>();
        f.app->trace = tc;
        tc->dnsOn = 1;
        CHECK(f.Text() == monitoring + u"on");
        tc->dnsEndedEarly = 1; // takes precedence, whatever dnsOn says
        f.app->launchedWithoutJob = 1;
        CHECK(f.Text() == monitoring + u"stopped early | Stop may not reach child processes");
        f.app->recording = 0;
        CHECK(f.Text() == u" Stopped | Total: 0 | Shown: 0");
        f.app->trace = nullptr;
        FreeBlock(tc);
    }
}

TEST_CASE("context menu commands") {
    StatusFixture f;
    ResetHeadlessUi();
    WireControls(f.app, HeadlessControlHandle);
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

    // The parameter is cut at 1099 characters whatever room the caller gives.
    char16_t buf[kExplorerParameterChars + 64];
    ExplorerParameter(std::u16string(1200, u'x').c_str(), false, buf, kExplorerParameterChars + 64);
    CHECK(TextLength(buf) == 1099);
}
