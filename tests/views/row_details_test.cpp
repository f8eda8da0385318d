// The row details text, the process commands of the context menus, the tree's tags, and the view
// windows' titles and refresh.
#include "app/window_commands.h"
#include "views/row_details.h"

#include <string>

#include "app/recording_setup.h"
#include "app/lifecycle.h"
#include "app/window_layout.h"
#include "base/text.h"
#include "doctest.h"
#include "platform/memory.h"
#include "platform/sim/headless_ui.h"
#include "record/stored_rows.h"
#include "platform/sim/headless_windows.h"
#include "support/text_check.h"
#include "views/process_filter.h"
#include "views/process_tree.h"
#include "views/row_store.h"
#include "report/summary.h"
#include "report/view_refresh.h"
#include "support/headless_recording.h"

using namespace olv;

namespace {

struct DetailsFixture : HeadlessRecording {
    int32_t Add(uint32_t category, uint32_t pid, uint32_t parent, const char16_t* name,
                const char16_t* path) {
        EventRow row{};
        row.category = category;
        row.pid = pid;
        row.parentPid = parent;
        row.threadId = 77;
        row.time = SystemTime{2026, 12, 0, 6, 9, 8, 7, 654};
        CopyBounded(row.process, kProcessChars, name);
        CopyBounded(row.operation, kOperationChars,
                    category == kCategoryProcess && parent != 0 ? u"Started child process"
                                                                : u"Wrote to file");
        CopyBounded(row.path, kPathChars, path);
        AppendRow(app, &row);
        return app->rowCount - 1;
    }
    std::string Details(int32_t item) {
        char16_t* out = static_cast<char16_t*>(AllocZeroed(kRowDetailsChars * 2));
        REQUIRE(out != nullptr);
        const bool built = BuildRowDetails(app, item, out, kRowDetailsChars);
        std::string text = built ? U8(out) : "(none)";
        FreeBlock(out);
        return text;
    }
};

bool Has(const std::string& text, const std::string& piece) {
    return text.find(piece) != std::string::npos;
}

} // namespace

TEST_CASE_FIXTURE(DetailsFixture, "details: every field whole, the parents, the rules") {
    Add(kCategoryProcess, 100, 9, u"old.exe", u"old.exe"); // an earlier process with pid 100
    Add(kCategoryProcess, 100, 4, u"dropper.exe", u"\"C:\\t\\dropper.exe\" /run");
    Add(kCategoryProcess, 200, 100, u"child.exe", u"child.exe -x");
    // A long path, a hidden character, a line break, a threat.
    std::u16string path(1000, u'p');
    path += u"\u202Eexe.txt\r\nforged";
    EventRow row{};
    row.category = kCategoryFile;
    row.pid = 200;
    row.severity = 3;
    CopyBounded(row.operation, kOperationChars, u"Wrote to file");
    CopyBounded(row.path, kPathChars, path.c_str());
    CopyBounded(row.detail, kDetailChars, u"Offset 0, 12 bytes");
    CopyBounded(row.result, kResultChars, u"OK");
    CopyBounded(row.threat, kThreatChars, u"Executable dropped");
    AppendRow(app, &row);

    const std::string text = Details(3);
    CHECK(Has(text, "Operation: Wrote to file\r\n"));
    CHECK(Has(text, "Path: " + std::string(1000, 'p') + "[U+202E]exe.txt  forged\r\n"));
    CHECK(Has(text, "Detail: Offset 0, 12 bytes\r\nResult: OK\r\n"));
    CHECK(Has(text, "Severity: High\r\n"));
    CHECK(Has(text, "Process: 200 (child.exe)\r\n"));
    // The parent is the second process with pid 100, not the first.
    CHECK(Has(text, "Started by: 100 (dropper.exe) <- 4 (not followed)\r\n"));
    CHECK(Has(text, "Command line: child.exe -x\r\n"));
    CHECK(Has(text, "Matched rules:\r\n  Threat rule (High): Executable dropped\r\n"));
    CHECK_FALSE(Has(text, "\r\nforged"));

    CHECK(Has(Details(0), "Started by: 9 (not followed)\r\n"));
    CHECK(Has(Details(0), "Matched rules:\r\n  none\r\n"));
    CHECK(Has(Details(0), "Severity: none\r\n"));
    CHECK(Details(4) == "(none)");
    CHECK(Details(-1) == "(none)");

    ShowRowDetailsWindow(app, 3);
    CHECK(HeadlessDetailsWindowCount() == 1);
    CHECK(U8(HeadlessDetailsTitle()) == "Row Details - Wrote to file");
    CHECK(Has(U8(HeadlessDetailsText()), "Threat rule (High)"));
    ShowRowDetailsWindow(app, 9);
    CHECK(HeadlessDetailsWindowCount() == 1);
}

TEST_CASE_FIXTURE(DetailsFixture, "a process that began before the rows, and a looping chain") {
    Add(kCategoryFile, 300, 0, u"", u"c:\\a");
    CHECK(Has(Details(0), "Started by: not recorded (the process began before the recording)"));
    // 500's parent is 600, whose parent is 500 again: each parent is looked up before its child,
    // so the chain ends instead of looping.
    Add(kCategoryProcess, 600, 500, u"six", u"");
    Add(kCategoryProcess, 500, 600, u"five", u"");
    CHECK(Has(Details(2), "Started by: 600 (six) <- 500 (not followed)\r\n"));
}

TEST_CASE_FIXTURE(DetailsFixture, "the context menus' process commands") {
    Add(kCategoryProcess, 100, 4, u"a.exe", u"a.exe /go");
    Add(kCategoryFile, 100, 0, u"a.exe", u"x");
    Add(kCategoryProcess, 200, 100, u"b.exe", u"b.exe");
    Add(kCategoryFile, 200, 0, u"b.exe", u"y");
    Add(kCategoryFile, 300, 0, u"c.exe", u"z");
    CHECK(kProcessMenu[1].command == kMenuOnlyProcessTree);
    CHECK(U8(kProcessMenu[1].text) == "Only This Process and Its Children");

    CHECK(RunProcessCommand(app, kMenuOnlyProcessTree, ShownRowIndex(app, 1)));
    CHECK(app->shownCount == 4);
    CHECK(RunProcessCommand(app, kMenuOnlyProcess, ShownRowIndex(app, 3)));
    CHECK(app->shownCount == 2); // b.exe's start row and its file row
    CHECK(RunProcessCommand(app, kMenuShowAllProcesses, -1));
    CHECK(app->shownCount == 5);
    CHECK(RunProcessCommand(app, kMenuHideProcess, ShownRowIndex(app, 4)));
    CHECK(app->shownCount == 4);
    CHECK_FALSE(RunProcessCommand(app, kMenuOnlyProcess, ShownRowIndex(app, 99)));
    CHECK(app->shownCount == 4);

    CHECK(RunProcessMenuCommand(app, kMenuCopyCommandLine, 1));
    CHECK(U8(HeadlessModel()->clipboard) == "a.exe /go");
    CHECK_FALSE(RunProcessMenuCommand(app, kMenuCopyCommandLine, 4)); // began before the rows
}

TEST_CASE_FIXTURE(DetailsFixture, "tree items carry their start row; titles and refresh") {
    Add(kCategoryProcess, 100, 4, u"a.exe", u"");
    Add(kCategoryFile, 100, 0, u"a.exe", u"x");
    Add(kCategoryProcess, 200, 100, u"b.exe", u"");
    ShowProcessTreeWindow(app);
    REQUIRE(HeadlessProcessTreeItemCount() == 2);
    CHECK(HeadlessProcessTreeItemTag(0) == 0);
    CHECK(HeadlessProcessTreeItemTag(1) == 2);
    CHECK(U8(HeadlessProcessTreeTitle()) == "Process Tree - recording");
    ShowSummaryWindow(app);
    CHECK(U8(HeadlessSummaryTitle()) == "Summary - recording");
    CHECK(Has(U8(HeadlessSummaryText()), "Total events: 3"));

    // New rows reach the open windows at the refresh, and the title follows the rows' source.
    Add(kCategoryProcess, 300, 200, u"c.exe", u"");
    CopyBounded(app->sessionName, 260, u"case\u202E.ols");
    const int32_t refreshes = HeadlessProcessTreeRefreshCount();
    RefreshViewWindows(app);
    CHECK(HeadlessProcessTreeRefreshCount() == refreshes + 1);
    CHECK(HeadlessProcessTreeItemCount() == 3);
    CHECK(HeadlessProcessTreeItemParent(2) == 1);
    CHECK(U8(HeadlessProcessTreeTitle()) == "Process Tree - session case[U+202E].ols");
    CHECK(U8(HeadlessSummaryTitle()) == "Summary - session case[U+202E].ols");
    CHECK(Has(U8(HeadlessSummaryText()), "Total events: 4"));

    // The timer's refill runs only when rows came since the last one.
    RefreshViewWindows(app, false);
    CHECK(HeadlessProcessTreeRefreshCount() == refreshes + 1);
    Add(kCategoryFile, 300, 0, u"c.exe", u"y");
    RefreshViewWindows(app, false);
    CHECK(HeadlessProcessTreeRefreshCount() == refreshes + 2);
}

TEST_CASE_FIXTURE(DetailsFixture, "details list the facts read for a row, each unknown one said") {
    const int32_t start = Add(kCategoryProcess, 9, 8, u"x.exe", u"C:\\x.exe /a");
    CHECK_FALSE(Has(Details(start), "Facts:")); // none read: the details are as they were
    RowFactTexts given{};
    given.known = (1u << kFactUser) | (1u << kFactOriginalFileName) | (1u << kFactSignature);
    given.text[kFactUser] = u"VM\\analyst";
    given.text[kFactOriginalFileName] = u"x\u200b.exe"; // a hidden character is revealed
    given.text[kFactSignature] = u"";
    REQUIRE(SetStoredFacts(app, start, given));
    const std::string details = Details(start);
    CHECK(Has(details, "Facts:\r\n  OriginalFileName: x"));
    CHECK_FALSE(Has(details, "x\u200b.exe"));
    CHECK(Has(details, "\r\n  User: VM\\analyst\r\n"));
    CHECK(Has(details, "\r\n  Signature: \r\n"));
    CHECK(Has(details, "\r\n  IntegrityLevel: not known\r\n"));
    CHECK(Has(details, "\r\n  Hashes: not known\r\n"));
    CHECK_FALSE(Has(details, "Details:")); // not a fact of a process start
}
