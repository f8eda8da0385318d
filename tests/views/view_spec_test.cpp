// SetView: the view as one value decides the shown rows, their order and the files' view lines,
// with the window's controls saying something else entirely.
#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "app/recording_setup.h"
#include "app/view_changes.h"
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
#include "support/headless_recording.h"

using namespace olv;

namespace {

const char kTempRule[] = "title: Anything in Temp\nlevel: low\n"
                         "logsource: {product: windows, category: file_event}\n"
                         "detection:\n  selection:\n    TargetFilename|contains: '\\Temp\\'\n"
                         "  condition: selection\n";

struct ViewFixture : HeadlessRecording {
    ViewFixture() {
        ClearRows(app);
        // Controls that contradict every view below: none of them may count.
        for (int id : {kIdFileCheck, kIdRegistryCheck, kIdNetworkCheck, kIdProcessCheck})
            HeadlessSetCheck(id, kUnchecked);
        HeadlessSetText(kIdFilterEdit, u"no row holds this");
        // Rows 0 to 6: process 100 starts 200; each category; row 2 marked.
        Add(kCategoryProcess, 100, 4, u"Started process", u"C:\\a.exe", 0, u"a.exe");
        Add(kCategoryFile, 100, 0, u"Created new file", u"C:\\Temp\\b.txt");
        Add(kCategoryRegistry, 100, 0, u"Opened registry key", u"HKLM\\Run", 2);
        Add(kCategoryProcess, 200, 100, u"Started process", u"C:\\c.exe", 0, u"c.exe");
        Add(kCategoryNetwork, 200, 0, u"Sent data (TCP)", u"10.0.0.1:80", 0, u"c.exe");
        Add(kCategoryFile, 200, 0, u"created new file", u"C:\\Data\\d.txt", 0, u"c.exe");
        Add(kCategoryFile, 100, 0, u"Created new file", u"C:\\TEMP\\e.txt");
    }
    void Add(uint32_t category, uint32_t pid, uint32_t parent, const char16_t* operation,
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

void ChooseProcess(ViewSpec* view, uint8_t mode) {
    view->process = ProcessChoice{mode, 100, 0, u"a.exe"};
}

} // namespace

TEST_CASE_FIXTURE(ViewFixture, "SetView: each condition of the view, and none from the controls") {
    struct Case {
        const char* name;
        std::function<void(ViewSpec*)> change;
        std::vector<int32_t> shown;
    };
    const Case cases[] = {
        {"everything", [](ViewSpec*) {}, {0, 1, 2, 3, 4, 5, 6}},
        {"categories off",
         [](ViewSpec* v) { v->categoryOn[kCategoryFile] = v->categoryOn[kCategoryNetwork] = 0; },
         {0, 2, 3}},
        {"suspicious", [](ViewSpec* v) { v->suspiciousOnly = 1; }, {2}},
        {"operation, exactly",
         [](ViewSpec* v) { CopyBounded(v->operation, kOperationNameChars, u"Created new file"); },
         {1, 6}},
        {"filter, folded", [](ViewSpec* v) { CopyBounded(v->filter, 256, u"temp\\"); }, {1, 6}},
        {"process and children", [](ViewSpec* v) { ChooseProcess(v, kProcessAndChildren); },
         {0, 1, 2, 3, 4, 5, 6}},
        {"process only", [](ViewSpec* v) { ChooseProcess(v, kProcessOnly); }, {0, 1, 2, 6}},
        {"process hidden", [](ViewSpec* v) { ChooseProcess(v, kProcessHidden); }, {3, 4, 5}},
        {"sorted by path, descending; letters folded",
         [](ViewSpec* v) {
             v->sortBy = kColumnPath + 1;
             v->sortDescending = 1;
         },
         {2, 6, 1, 5, 3, 0, 4}},
    };
    for (const Case& c : cases) {
        INFO(c.name);
        ViewSpec view = DefaultViewSpec();
        c.change(&view);
        REQUIRE(SetView(app, view));
        CHECK(Shown() == c.shown);
        CHECK(app->changes.sortArrowChanged == 1);
        ApplyWindowViewChanges(app);
        CHECK(HeadlessModel()->list.sortColumn == (view.sortBy != 0 ? kColumnPath : -1));
    }
    // Rows arriving afterwards meet the same view; the controls were never read, nor written.
    ViewSpec view = DefaultViewSpec();
    CopyBounded(view.filter, 256, u"D.TXT");
    REQUIRE(SetView(app, view));
    Add(kCategoryFile, 300, 0, u"Wrote file", u"C:\\x\\d.txt");
    CHECK(Shown() == std::vector<int32_t>{5, 7});
    CHECK(std::u16string(HeadlessText(kIdFilterEdit)) == u"no row holds this");
    CHECK(HeadlessControlById(kIdFileCheck)->check == kUnchecked);
}

TEST_CASE_FIXTURE(ViewFixture, "SetView: a Sigma rule, the description, what ends conditions, "
                               "and views it refuses") {
    SigmaRuleSet* set = NewSigmaRuleSet();
    REQUIRE(set != nullptr);
    REQUIRE(AddSigmaRuleText(set, kTempRule, std::strlen(kTempRule), u"temp.yml"));
    REQUIRE(InstallSigmaRules(app, set));
    ViewSpec view = DefaultViewSpec();
    view.sigmaRule = 0;
    REQUIRE(SetView(app, view));
    CHECK(Shown() == std::vector<int32_t>{1, 6});
    ChooseProcess(&view, kProcessHidden);
    view.suspiciousOnly = 1;
    view.categoryOn[kCategoryNetwork] = 0;
    view.sortBy = kColumnPath + 1;
    view.sortDescending = 1;
    REQUIRE(SetView(app, view));
    CHECK(Describe() == "This file holds 0 of the 7 rows recorded. The other 7 were hidden by the "
                        "view when it was written:\r\n  Network rows off, marked rows only, rows "
                        "of Sigma rule \"Anything in Temp\" only, process 100 \"a.exe\" hidden.\r\n"
                        "The rows are sorted by Path / Detail, descending; rows that compare "
                        "equal are in recording order.\r\n");

    // Refused: nothing changes.
    const ViewSpec kept = app->view;
    const std::function<void(ViewSpec*)> refused[] = {
        [](ViewSpec* v) { v->sortBy = kSortableColumns + 1; },
        [](ViewSpec* v) { v->sigmaRule = 1; }, // not loaded
        [](ViewSpec* v) { v->sigmaRule = -2; },
        [](ViewSpec* v) { v->process.mode = 4; },
        [](ViewSpec* v) { v->process.startRow = 7; }, // no such row
    };
    for (const auto& change : refused) {
        ViewSpec bad = kept;
        change(&bad);
        CHECK_FALSE(SetView(app, bad));
    }
    CHECK(std::memcmp(&app->view, &kept, sizeof kept) == 0);

    // A new rule set ends the rule condition; Clear ends the process condition and the operation
    // (what they name is gone) and keeps the rest.
    REQUIRE(InstallSigmaRules(app, nullptr));
    CHECK(app->view.sigmaRule == -1);
    view.sigmaRule = -1;
    CopyBounded(view.operation, kOperationNameChars, u"Created new file");
    REQUIRE(SetView(app, view));
    ClearRows(app);
    CHECK(app->view.process.mode == kProcessesAll);
    CHECK(app->view.operation[0] == 0);
    CHECK((app->view.suspiciousOnly == 1 && app->view.categoryOn[kCategoryNetwork] == 0));
    CHECK(app->view.sortBy == kColumnPath + 1);

    // Texts without a terminator are cut at their last character; a process set without memory
    // is refused.
    view = DefaultViewSpec();
    std::fill(std::begin(view.filter), std::end(view.filter), u'x');
    REQUIRE(SetView(app, view));
    CHECK(TextLength(app->view.filter) == kFilterTextChars);
    HashFree(&app->processCondition.members);
    ChooseProcess(&view, kProcessOnly);
    view.process.startRow = -1;
    RefuseNthAllocation(1);
    CHECK_FALSE(SetView(app, view));
}
