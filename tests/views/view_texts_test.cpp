#include "app/window_commands.h"
#include "app/window_layout.h"
#include "doctest.h"

#include <iterator>
#include <string>

#include "app/recording_setup.h"
#include "base/text.h"
#include "capture/trace_controller.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "platform/sim/headless_ui.h"
#include "support/text_check.h"
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
    Recording* app = AllocRecord<Recording>();
    StatusFixture() { InitRecording(app); }
    ~StatusFixture() {
        CleanUpRecording(app);
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
    SUBCASE("Windows losses before the program ran are said apart, only when known") {
        f.app->recordingInfo.eventsLostByWindows = 9;
        f.app->recordingInfo.buffersLostByWindows = 2;
        f.app->lossesBeforeResume = {7, 0, 0};
        const std::u16string head = u" Stopped | Total: 0 | Shown: 0 | MISSED: ";
        CHECK(f.Text() == head + u"9 events dropped by Windows 2 whole buffers");
        f.app->lossesBeforeResume.known = 1;
        CHECK(f.Text() == head + u"9 events dropped by Windows (7 before start) 2 whole buffers");
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

TEST_CASE("context menu commands: Copy path copies the row's text as it is") {
    StatusFixture f;
    ResetHeadlessUi();
    WireControls(f.app, HeadlessControlHandle);
    RunContextMenuCommand(f.app, u"\"C:\\Temp\\a.exe\"", kMenuCopyPath);
    CHECK(std::u16string(HeadlessModel()->clipboard) == u"\"C:\\Temp\\a.exe\"");
}

TEST_CASE("Show in Explorer hands Explorer only a quote-free path of an existing file or folder") {
    StatusFixture f;
    struct Case {
        const char16_t* rowPath;
        const char16_t* existing; // the one path the stand-in file system knows
        bool isFolder;
        const char16_t* parameter; // null: Explorer is not started
        const char16_t* message;   // start of the refusal shown instead (null: none)
    } cases[] = {
        {u"C:\\Temp\\a.exe", u"C:\\Temp\\a.exe", false, u"/select,\"C:\\Temp\\a.exe\"", nullptr},
        // The "Started process" row stores its path quoted: one pair of quotes comes off.
        {u"\"C:\\Temp\\a.exe\"", u"C:\\Temp\\a.exe", false, u"/select,\"C:\\Temp\\a.exe\"",
         nullptr},
        // A folder is quoted as well, so that a comma in its name stays part of the name.
        {u"C:\\Temp,x", u"C:\\Temp,x", true, u"\"C:\\Temp,x\"", nullptr},
        {u"\"C:\\Temp\"", u"C:\\Temp", true, u"\"C:\\Temp\"", nullptr},
        // A crafted name that closes the quote and adds a switch never reaches Explorer.
        {u"C:\\Temp\\x\" /root,C:\\Windows", u"C:\\Temp\\x\" /root,C:\\Windows", false, nullptr,
         u"Explorer was not started: this path holds a quotation mark"},
        {u"\"C:\\Temp\\x\",/e,\"C:\\Temp\"", u"C:\\Temp\\x\",/e,\"C:\\Temp", false, nullptr,
         u"Explorer was not started: this path holds a quotation mark"},
        {u"\"", u"\"", false, nullptr,
         u"Explorer was not started: this path holds a quotation mark"},
        {u"\"C:\\Temp\\a.exe", u"C:\\Temp\\a.exe", false, nullptr,
         u"Explorer was not started: this path holds a quotation mark"}, // not a pair
        // Deleted files, registry keys and addresses: told, not handed to Explorer.
        {u"C:\\Temp\\gone.exe", u"C:\\Temp\\a.exe", false, nullptr,
         u"Explorer was not started: no file or folder of this name exists"},
        {u"\\REGISTRY\\MACHINE\\SOFTWARE\\Run", nullptr, false, nullptr,
         u"Explorer was not started: no file or folder of this name exists"},
        // Nothing left once the quotes are off: nothing happens.
        {u"\"\"", nullptr, false, nullptr, nullptr},
    };
    for (const Case& c : cases) {
        CAPTURE(U8(c.rowPath));
        ResetHeadlessUi();
        WireControls(f.app, HeadlessControlHandle);
        SetSimulatedFileAttributes(c.existing, c.isFolder);
        RunContextMenuCommand(f.app, c.rowPath, kMenuShowInExplorer);
        SetSimulatedFileAttributes(nullptr, false);
        if (c.parameter != nullptr) {
            REQUIRE(HeadlessModel()->shellCount == 1);
            const HeadlessShellCall* call = HeadlessLastShellCall();
            CHECK(std::u16string(call->file) == u"explorer.exe");
            CHECK(std::u16string(call->verb) == u"open");
            CHECK(U8(call->parameters) == U8(c.parameter));
        } else {
            CHECK(HeadlessModel()->shellCount == 0);
        }
        if (c.message != nullptr) {
            REQUIRE(HeadlessModel()->messageBoxCount == 1);
            const HeadlessMessageBox* box = HeadlessLastMessageBox();
            const std::u16string text = box->text;
            CHECK(text.rfind(c.message, 0) == 0);
            CHECK(box->icon == kIconWarning);
            // The message names the path it refused.
            char16_t shown[kPathChars];
            PathWithoutEnclosingQuotes(c.rowPath, shown, kPathChars);
            CHECK(text.find(shown) != std::u16string::npos);
        } else {
            CHECK(HeadlessModel()->messageBoxCount == 0);
        }
    }
}

TEST_CASE("Explorer's parameter is never cut: a path that does not fit is refused") {
    char16_t buf[kExplorerParameterChars + 64];
    const std::u16string fits(kExplorerParameterChars - 11, u'x'); // /select," + path + " + NUL
    CHECK(ExplorerParameter(fits.c_str(), true, false, buf, std::size(buf)) ==
          ExplorerVerdict::kShow);
    CHECK(TextLength(buf) == kExplorerParameterChars - 1);
    const std::u16string longer = fits + u"x";
    CHECK(ExplorerParameter(longer.c_str(), true, false, buf, std::size(buf)) ==
          ExplorerVerdict::kTooLong);
    CHECK(TextIsEmpty(buf));
    CHECK(ExplorerParameter(longer.c_str(), true, true, buf, std::size(buf)) ==
          ExplorerVerdict::kShow); // a folder takes 8 characters less
    char16_t small[8];
    CHECK(ExplorerParameter(u"C:\\a", true, false, small, std::size(small)) ==
          ExplorerVerdict::kTooLong);
}
