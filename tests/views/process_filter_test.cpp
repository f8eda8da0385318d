// The view's process condition over chains of processes and reused pids, during a recording and
// after it, with its words in the status bar and the files; and auto-scroll's decision.
#include "views/process_filter.h"

#include <string>
#include <vector>

#include "app/recording_setup.h"
#include "app/view_changes.h"
#include "app/window_layout.h"
#include "base/text.h"
#include "capture/event_queue.h"
#include "doctest.h"
#include "platform/memory.h"
#include "platform/sim/headless_ui.h"
#include "record/stored_rows.h"
#include "support/small_ring.h"
#include "support/text_check.h"
#include "views/auto_scroll.h"
#include "views/row_sort.h"
#include "views/row_store.h"
#include "views/view_texts.h"
#include "support/headless_recording.h"

using namespace olv;

namespace {

struct ProcessFixture : HeadlessRecording {
    // A start row of pid under parent; returns its index.
    int32_t Start(uint32_t pid, uint32_t parent, const char16_t* name) {
        EventRow row{};
        row.category = kCategoryProcess;
        row.pid = pid;
        row.parentPid = parent;
        CopyBounded(row.process, kProcessChars, name);
        CopyBounded(row.operation, kOperationChars, u"Started child process");
        AppendRow(app, &row);
        return app->rowCount - 1;
    }
    // A file row of pid, its path naming it; returns its index.
    int32_t Work(uint32_t pid, const char16_t* path) {
        EventRow row{};
        row.category = kCategoryFile;
        row.pid = pid;
        CopyBounded(row.operation, kOperationChars, u"Read file");
        CopyBounded(row.path, kPathChars, path);
        AppendRow(app, &row);
        return app->rowCount - 1;
    }
    int32_t Exit(uint32_t pid) {
        EventRow row{};
        row.category = kCategoryProcess;
        row.pid = pid;
        CopyBounded(row.operation, kOperationChars, u"Process exited");
        AppendRow(app, &row);
        return app->rowCount - 1;
    }
    // The paths of the shown file rows, in order.
    std::vector<std::string> ShownWork() const {
        std::vector<std::string> out;
        for (int32_t i = 0; i < app->shownCount; ++i) {
            const int32_t index = app->shownRows[i];
            if (StoredCategory(app, index) != kCategoryFile) continue;
            char16_t path[kPathChars];
            CopyStoredText(app, index, kTextPath, path, kPathChars);
            out.push_back(U8(path));
        }
        return out;
    }
    // The rows the condition admits when the store is scanned by index, as intake and rebuilds
    // scan it; with no other view test they are the shown rows.
    std::vector<int32_t> ScanByIndex() {
        std::vector<int32_t> met;
        EnterLock(&app->rowsLock);
        BeginProcessScan(app);
        for (int32_t i = 0; i < app->rowCount; ++i) {
            ObserveStoredRow(app, i);
            if (StoredRowMeetsProcessCondition(app, i)) met.push_back(i);
        }
        LeaveLock(&app->rowsLock);
        return met;
    }
    std::vector<int32_t> Shown() const {
        return std::vector<int32_t>(app->shownRows, app->shownRows + app->shownCount);
    }
    std::string Describe() {
        char16_t out[4096];
        DescribeView(app, out, 4096, u"");
        return U8(out);
    }
    std::string Status() {
        ApplyWindowViewChanges(app);
        return U8(HeadlessControlById(kIdStatusBar)->text);
    }
};

using Paths = std::vector<std::string>;

} // namespace

TEST_CASE_FIXTURE(ProcessFixture, "a chain of descendants, and pids used again after their end") {
    Work(100, u"before: an earlier process with the root's pid");
    const int32_t root = Start(100, 4, u"dropper.exe");
    Work(100, u"root");
    Start(200, 100, u"child.exe");
    Work(200, u"child");
    Start(300, 200, u"grandchild.exe");
    Work(300, u"grandchild");
    Start(400, 4, u"unrelated.exe");
    Work(400, u"unrelated");
    Start(500, 400, u"unrelated child");
    Work(500, u"unrelated child");
    Exit(200);
    Start(200, 400, u"reuse.exe"); // pid 200 again, now under the unrelated process
    Work(200, u"reused 200");
    Start(600, 200, u"child of the reused pid");
    Work(600, u"child of reused");
    Work(300, u"grandchild later"); // its parent ended; it still runs

    struct Case {
        ProcessConditionMode mode;
        int32_t chosen; // a row of the chosen process
        Paths shown;
        std::string words;
    };
    const Case cases[] = {
        {kProcessAndChildren,
         root + 1,
         {"root", "child", "grandchild", "grandchild later"},
         "only process 100 \"dropper.exe\" and its children"},
        {kProcessOnly, root + 1, {"root"}, "only process 100 \"dropper.exe\""},
        {kProcessHidden,
         root + 1,
         {"before: an earlier process with the root's pid", "child", "grandchild", "unrelated",
          "unrelated child", "reused 200", "child of reused", "grandchild later"},
         "process 100 \"dropper.exe\" hidden"},
        // The reused pid's row names the later process, not the first child.
        {kProcessAndChildren,
         13,
         {"reused 200", "child of reused"},
         "only process 200 \"reuse.exe\" and its children"},
        // A row before any start row of its pid: the process began before the rows.
        {kProcessAndChildren,
         0,
         {"before: an earlier process with the root's pid"},
         "only process 100 and its children"},
    };
    for (const Case& c : cases) {
        CAPTURE(c.words);
        REQUIRE(ApplyProcessCondition(app, c.mode, c.chosen));
        CHECK(ShownWork() == c.shown);
        CHECK(ScanByIndex() == Shown());
        const std::string described = Describe();
        CHECK(described.find(c.words + ".\r\n") != std::string::npos);
        CHECK(described.find("This file holds") == 0);
    }
    // The status bar names it with the process in parentheses.
    ApplyProcessCondition(app, kProcessAndChildren, root);
    CHECK(Status().find(" | Only process 100 (dropper.exe) and its children") != std::string::npos);
    ApplyProcessCondition(app, kProcessHidden, root);
    CHECK(Status().find(" | Hidden: process 100 (dropper.exe)") != std::string::npos);

    ClearProcessCondition(app);
    CHECK(app->shownCount == app->rowCount);
    CHECK(ScanByIndex() == Shown());
    CHECK(Status().find("process 100") == std::string::npos);
    CHECK(Describe() == "All 17 recorded rows are in this file.\r\n");
}

TEST_CASE_FIXTURE(ProcessFixture, "the condition joins other view tests and comes before them") {
    const int32_t root = Start(100, 4, u"a.exe");
    Work(100, u"x secret");
    Work(100, u"y");
    Start(200, 4, u"b.exe");
    Work(200, u"z secret");
    CopyBounded(app->view.filter, kFilterTextChars + 1, u"secret");
    ApplyProcessCondition(app, kProcessOnly, root);
    CHECK(ShownWork() == Paths{"x secret"});
    CHECK(Describe().find("  text filter \"secret\", only process 100 \"a.exe\".") !=
          std::string::npos);
    // A process row hidden by its check box still carries the chain.
    app->view.filter[0] = 0;
    app->view.categoryOn[kCategoryProcess] = 0;
    ApplyProcessCondition(app, kProcessAndChildren, root);
    Start(300, 100, u"c.exe");
    Work(300, u"c");
    CHECK(ShownWork() == Paths{"x secret", "y", "c"});
}

TEST_CASE_FIXTURE(ProcessFixture, "children that start while recording join; Clear forgets it") {
    const int32_t root = Start(100, 4, u"a.exe");
    REQUIRE(ApplyProcessCondition(app, kProcessAndChildren, root));
    {
        SmallQueueRing ring(1u << 16);
        REQUIRE(MakeEventQueue(app));
    }
    auto queue = [&](uint32_t pid, uint32_t parent, const char16_t* path) {
        EventRow row{};
        row.category = parent != 0 ? kCategoryProcess : kCategoryFile;
        row.pid = pid;
        row.parentPid = parent;
        CopyBounded(row.path, kPathChars, path);
        QueueRow(app, &row);
    };
    queue(200, 100, u"");
    queue(200, 0, u"new child");
    queue(300, 200, u"");
    queue(300, 0, u"new grandchild");
    queue(400, 4, u"");
    queue(400, 0, u"stranger");
    IngestQueuedRows(app);
    CHECK(ShownWork() == Paths{"new child", "new grandchild"});
    // The same after a rebuild of the view over all rows.
    RebuildShownRows(app);
    CHECK(ShownWork() == Paths{"new child", "new grandchild"});

    ClearRows(app);
    CHECK(app->view.process.mode == kProcessesAll);
    Work(400, u"after clear");
    CHECK(ShownWork() == Paths{"after clear"});
}

TEST_CASE_FIXTURE(ProcessFixture, "a condition that cannot be set changes nothing") {
    Start(100, 4, u"a.exe");
    CHECK_FALSE(ApplyProcessCondition(app, kProcessOnly, 5));
    CHECK_FALSE(ApplyProcessCondition(app, kProcessesAll, 0));
    RefuseNthAllocation(1); // the member set
    CHECK_FALSE(ApplyProcessCondition(app, kProcessOnly, 0));
    ResetAllocationFaults();
    CHECK(app->view.process.mode == kProcessesAll);
    CHECK(app->shownCount == 1);
}

TEST_CASE_FIXTURE(ProcessFixture, "more descendants than the set holds are reported missing") {
    const int32_t root = Start(1, 4, u"fork.exe");
    for (uint32_t pid = 2; pid < 2 + kProcessMembers + 3; ++pid) {
        EventRow row{};
        row.category = kCategoryProcess;
        row.pid = pid * 4;
        row.parentPid = pid == 2 ? 1 : (pid - 1) * 4;
        AppendRow(app, &row);
    }
    REQUIRE(ApplyProcessCondition(app, kProcessAndChildren, root));
    CHECK(app->shownCount == kProcessMembers);
    CHECK(Describe().find("and its children, some of its descendants missing.") !=
          std::string::npos);
    CHECK(Status().find("(some descendants missing)") != std::string::npos);
}

TEST_CASE("auto-scroll follows only while the end is in view and no other row is selected") {
    struct Case {
        const char* what;
        bool autoScroll;
        bool recordingOrder;
        ListViewState list;
        FollowDecision expected;
    };
    const Case cases[] = {
        {"empty list", true, true, {0, 0, 20, -1}, kFollowEnd},
        {"last item on the page", true, true, {100, 81, 20, -1}, kFollowEnd},
        {"page ends just before the last", true, true, {100, 79, 20, -1}, kStayPut},
        {"scrolled to the top", true, true, {100, 0, 20, -1}, kStayPut},
        {"a row above is selected", true, true, {100, 80, 20, 95}, kStayPut},
        {"the last row is selected", true, true, {100, 80, 20, 99}, kFollowEndSelected},
        {"auto-scroll off", false, true, {100, 80, 20, -1}, kStayPut},
        {"sorted", true, false, {100, 80, 20, -1}, kStayPut},
        {"a list that says no page", true, true, {5, 4, 0, -1}, kFollowEnd},
    };
    for (const Case& c : cases) {
        CAPTURE(c.what);
        CHECK(DecideFollow(c.autoScroll, c.recordingOrder, c.list) == c.expected);
    }
}

TEST_CASE_FIXTURE(ProcessFixture, "scrolling up stops the following; back at the end it resumes") {
    HeadlessList& list = HeadlessModel()->list;
    // A row arrives, and the window draws it: it decides from the list as its user left it.
    auto arrive = [&] {
        Work(1, u"r");
        ApplyWindowViewChanges(app);
    };
    for (int i = 0; i < 50; ++i)
        Work(1, u"r");
    // Many rows before a drawing: the list follows once, to the last of them.
    CHECK(list.madeVisibleCalls == 0);
    ApplyWindowViewChanges(app);
    CHECK(list.madeVisibleCalls == 1);
    CHECK(list.lastMadeVisible == 49);
    list.topIndex = 3; // the user scrolled up
    const uint32_t calls = list.madeVisibleCalls;
    arrive();
    CHECK(list.madeVisibleCalls == calls);
    list.topIndex = 31; // back at the end (items 31 to 50 on the page)
    arrive();
    CHECK(list.lastMadeVisible == 51);
    // The last row selected: the selection moves on with the end.
    list.selectedItem = 51;
    arrive();
    CHECK(list.selectedItem == 52);
    // Another row selected: it stays where the user put it.
    list.selectedItem = 40;
    const uint32_t selections = list.selections;
    arrive();
    CHECK(list.selections == selections);
    CHECK(list.lastMadeVisible == 52);
}
