// SetView: the view as one value decides the shown rows, their order and the files' view lines,
// with the window's controls saying something else entirely.
#include <cstring>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "app/window_layout.h"
#include "base/text.h"
#include "doctest.h"
#include "platform/memory.h"
#include "platform/sim/headless_ui.h"
#include "sigma/sigma.h"
#include "support/text_check.h"
#include "views/row_sort.h"
#include "views/row_store.h"
#include "views/sigma_rows.h"

using namespace olv;

namespace {

const char kTempRule[] = R"(title: Anything in Temp
id: 22222222-0000-0000-0000-000000000001
level: low
logsource: {product: windows, category: file_event}
detection:
    selection:
        TargetFilename|contains: '\Temp\'
    condition: selection
)";

struct ViewFixture {
    AppState* app;
    ViewFixture() {
        ResetAllocationFaults();
        ResetHeadlessUi();
        app = AllocRecord<AppState>();
        InitAppState(app);
        WireControls(app, HeadlessControlHandle);
        ClearRows(app);
        // Controls that contradict every view below: none of them may count.
        for (int id : {kIdFileCheck, kIdRegistryCheck, kIdNetworkCheck, kIdProcessCheck})
            HeadlessSetCheck(id, kUnchecked);
        HeadlessSetCheck(kIdSuspiciousCheck, kChecked);
        HeadlessSetText(kIdFilterEdit, u"no row holds this");
    }
    ~ViewFixture() {
        ResetAllocationFaults();
        CleanUpAppState(app);
        FreeBlock(app);
    }
    int32_t Add(uint32_t category, uint32_t pid, uint32_t parent, const char16_t* operation,
                const char16_t* path, uint32_t severity = 0, const char16_t* process = u"a.exe") {
        EventRow row{};
        row.category = category;
        row.pid = pid;
        row.parentPid = parent;
        row.severity = severity;
        CopyBounded(row.process, kProcessChars, process);
        CopyBounded(row.operation, kOperationChars, operation);
        CopyBounded(row.path, kPathChars, path);
        AppendRow(app, &row);
        return app->rowCount - 1;
    }
    // Rows 0 to 6: two processes, each category, one marked row.
    void AddRows() {
        Add(kCategoryProcess, 100, 4, u"Started process", u"C:\\a.exe", 0, u"a.exe");
        Add(kCategoryFile, 100, 0, u"Created new file", u"C:\\Temp\\b.txt");
        Add(kCategoryRegistry, 100, 0, u"Opened registry key", u"HKLM\\Run", 2);
        Add(kCategoryProcess, 200, 100, u"Started process", u"C:\\c.exe", 0, u"c.exe");
        Add(kCategoryNetwork, 200, 0, u"Sent data (TCP)", u"10.0.0.1:80", 0, u"c.exe");
        Add(kCategoryFile, 200, 0, u"created new file", u"C:\\Data\\d.txt", 0, u"c.exe");
        Add(kCategoryFile, 100, 0, u"Created new file", u"C:\\TEMP\\e.txt");
    }
    std::vector<int32_t> Shown() const {
        return std::vector<int32_t>(app->shownRows, app->shownRows + app->shownCount);
    }
    std::string Describe() {
        char16_t out[4096];
        DescribeView(app, out, 4096, u"");
        return U8(out);
    }
};

ViewSpec Everything() {
    return DefaultViewSpec();
}

} // namespace

TEST_CASE_FIXTURE(ViewFixture, "SetView: each condition of the view, and none from the controls") {
    AddRows();
    REQUIRE(SetView(app, Everything()));
    CHECK(Shown() == std::vector<int32_t>{0, 1, 2, 3, 4, 5, 6});
    CHECK(Describe() == "All 7 recorded rows are in this file.\r\n");

    ViewSpec view = Everything();
    view.categoryOn[kCategoryFile] = 0;
    view.categoryOn[kCategoryNetwork] = 0;
    REQUIRE(SetView(app, view));
    CHECK(Shown() == std::vector<int32_t>{0, 2, 3});

    view = Everything();
    view.suspiciousOnly = 1;
    REQUIRE(SetView(app, view));
    CHECK(Shown() == std::vector<int32_t>{2});

    // The operation is compared exactly; the filter folds A to Z.
    view = Everything();
    CopyBounded(view.operation, kOperationNameChars, u"Created new file");
    REQUIRE(SetView(app, view));
    CHECK(Shown() == std::vector<int32_t>{1, 6});
    CopyBounded(view.filter, kFilterTextChars + 1, u"temp\\");
    REQUIRE(SetView(app, view));
    CHECK(Shown() == std::vector<int32_t>{1, 6});
    view.operation[0] = 0;
    CopyBounded(view.filter, kFilterTextChars + 1, u"D.TXT");
    REQUIRE(SetView(app, view));
    CHECK(Shown() == std::vector<int32_t>{5});
    CHECK(Describe() == "This file holds 1 of the 7 rows recorded. The other 6 were hidden by the "
                        "view when it was written:\r\n  text filter \"D.TXT\".\r\n");

    // Rows arriving afterwards meet the same view.
    Add(kCategoryFile, 300, 0, u"Wrote file", u"C:\\x\\d.txt");
    CHECK(Shown() == std::vector<int32_t>{5, 7});
    // The controls were never read, nor written.
    CHECK(std::u16string(HeadlessText(kIdFilterEdit)) == u"no row holds this");
    CHECK(HeadlessControlById(kIdFileCheck)->check == kUnchecked);
}

TEST_CASE_FIXTURE(ViewFixture, "SetView: the process condition, the sort and a Sigma rule") {
    AddRows();
    ViewSpec view = Everything();
    view.process.mode = kProcessAndChildren;
    view.process.pid = 100;
    view.process.startRow = 0;
    CopyBounded(view.process.name, kProcessChars, u"a.exe");
    REQUIRE(SetView(app, view));
    CHECK(Shown() == std::vector<int32_t>{0, 1, 2, 3, 4, 5, 6});
    view.process.mode = kProcessOnly;
    REQUIRE(SetView(app, view));
    CHECK(Shown() == std::vector<int32_t>{0, 1, 2, 6});
    view.process.mode = kProcessHidden;
    REQUIRE(SetView(app, view));
    CHECK(Shown() == std::vector<int32_t>{3, 4, 5});

    // Sorted by path, descending: the header shows it and the files say it.
    view.sortBy = static_cast<uint8_t>(kColumnPath + 1);
    view.sortDescending = 1;
    REQUIRE(SetView(app, view));
    CHECK(Shown() == std::vector<int32_t>{5, 3, 4}); // letters folded: "c:\\data" after "c:\\c"
    CHECK(HeadlessModel()->list.sortColumn == kColumnPath);
    CHECK(HeadlessModel()->list.sortDirection == -1);

    // Only the rows of a loaded rule.
    SigmaRuleSet* set = NewSigmaRuleSet();
    REQUIRE(set != nullptr);
    REQUIRE(AddSigmaRuleText(set, kTempRule, std::strlen(kTempRule), u"temp.yml"));
    REQUIRE(InstallSigmaRules(app, set));
    view.process = ProcessChoice{};
    view.process.startRow = -1;
    view.sigmaRule = 0;
    REQUIRE(SetView(app, view));
    CHECK(SigmaRuleView(app) == 0);
    CHECK(Shown() == std::vector<int32_t>{6, 1}); // e.txt, then b.txt
    view.process.mode = kProcessHidden;
    view.process.pid = 100;
    view.process.startRow = 0;
    CopyBounded(view.process.name, kProcessChars, u"a.exe");
    view.suspiciousOnly = 1;
    view.categoryOn[kCategoryNetwork] = 0;
    REQUIRE(SetView(app, view));
    CHECK(Shown().empty());
    // Every restriction in its place, the order on a line of its own.
    CHECK(Describe() == "This file holds 0 of the 7 rows recorded. The other 7 were hidden by the "
                        "view when it was written:\r\n  Network rows off, marked rows only, rows "
                        "of Sigma rule \"Anything in Temp\" only, process 100 \"a.exe\" hidden.\r\n"
                        "The rows are sorted by Path / Detail, descending; rows that compare "
                        "equal are in recording order.\r\n");

    // A new rule set ends the rule condition; Clear ends the process condition and the operation
    // and keeps the rest.
    REQUIRE(InstallSigmaRules(app, nullptr));
    CHECK(app->view.sigmaRule == -1);
    CopyBounded(view.operation, kOperationNameChars, u"Created new file");
    view.sigmaRule = -1;
    REQUIRE(SetView(app, view));
    ClearRows(app);
    CHECK(app->view.process.mode == kProcessesAll);
    CHECK(app->view.operation[0] == 0);
    CHECK(app->view.suspiciousOnly == 1);
    CHECK(app->view.categoryOn[kCategoryNetwork] == 0);
    CHECK(app->view.sortBy == kColumnPath + 1);
}

TEST_CASE_FIXTURE(ViewFixture, "SetView refuses a view it cannot show and keeps the one it had") {
    AddRows();
    ViewSpec shown = Everything();
    shown.categoryOn[kCategoryRegistry] = 0;
    REQUIRE(SetView(app, shown));
    const std::vector<int32_t> before = Shown();

    ViewSpec view = Everything();
    view.sortBy = kSortableColumns + 1;
    CHECK_FALSE(SetView(app, view));
    view = Everything();
    view.sigmaRule = 0; // no rules loaded
    CHECK_FALSE(SetView(app, view));
    view.sigmaRule = -2;
    CHECK_FALSE(SetView(app, view));
    view = Everything();
    view.process.mode = 4;
    CHECK_FALSE(SetView(app, view));
    view.process.mode = kProcessOnly;
    view.process.startRow = app->rowCount; // no such row
    CHECK_FALSE(SetView(app, view));
    view.process.startRow = -1;
    RefuseNthAllocation(1); // the process set
    CHECK_FALSE(SetView(app, view));
    ResetAllocationFaults();
    CHECK(std::memcmp(&app->view, &shown, sizeof shown) == 0);
    CHECK(Shown() == before);

    // Texts without a terminator are cut at their last character.
    view = Everything();
    for (char16_t& c : view.filter)
        c = u'x';
    for (char16_t& c : view.operation)
        c = u'y';
    REQUIRE(SetView(app, view));
    CHECK(TextLength(app->view.filter) == kFilterTextChars);
    CHECK(TextLength(app->view.operation) == kOperationNameChars - 1);
    CHECK(Shown().empty());
}
