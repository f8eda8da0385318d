// The window's drawing of the core's reported changes: once per operation, whatever the core
// changed in between, with the follow decided from the list as its user left it.
#include "app/view_changes.h"

#include "app/recording_setup.h"
#include "app/window_layout.h"
#include "doctest.h"
#include "platform/memory.h"
#include "platform/sim/headless_ui.h"
#include "views/row_sort.h"
#include "views/row_store.h"

using namespace olv;

namespace {

struct Drawn {
    Recording* app = AllocRecord<Recording>();
    HeadlessList& list = HeadlessModel()->list;
    Drawn(bool wired = true) {
        ResetHeadlessUi();
        InitRecording(app);
        if (wired) WireControls(app, HeadlessControlHandle);
    }
    ~Drawn() {
        CleanUpRecording(app);
        FreeBlock(app);
    }
    Drawn(const Drawn&) = delete;
    Drawn& operator=(const Drawn&) = delete;
    void Add(int count) {
        EventRow row{};
        row.category = kCategoryFile;
        for (int i = 0; i < count; ++i)
            AppendRow(app, &row);
    }
    uint32_t StatusSets() const { return HeadlessControlById(kIdStatusBar)->textSets; }
};

} // namespace

TEST_CASE("many changes are drawn once; arrivals follow only a list left at its end") {
    Drawn d;
    const uint32_t statusBefore = d.StatusSets();
    d.Add(100);
    CHECK(d.list.itemCountSets == 0); // the core draws nothing itself
    CHECK(d.StatusSets() == statusBefore);
    ApplyWindowViewChanges(d.app);
    CHECK(d.list.itemCountSets == 1);
    CHECK(d.list.itemCount == 100);
    CHECK(d.StatusSets() == statusBefore + 1);
    CHECK(d.list.madeVisibleCalls == 1);
    CHECK(d.list.lastMadeVisible == 99);
    ApplyWindowViewChanges(d.app); // nothing new: nothing touched
    CHECK(d.list.itemCountSets == 1);
    CHECK(d.StatusSets() == statusBefore + 1);

    // Scrolled to the top: the rows that come are counted and not followed. The decision reads
    // the list before its count grows, so the user's page, not the new end, decides.
    d.list.topIndex = 0;
    d.Add(30);
    ApplyWindowViewChanges(d.app);
    CHECK(d.list.itemCount == 130);
    CHECK(d.list.madeVisibleCalls == 1);
    // Back at the end (items 110 to 129 on the page): followed again.
    d.list.topIndex = 110;
    d.Add(1);
    ApplyWindowViewChanges(d.app);
    CHECK(d.list.lastMadeVisible == 130);

    // Clear: an empty list and a fresh status, nothing to follow or repaint.
    ClearRows(d.app);
    CHECK(d.app->changes.countChanged == 1);
    CHECK(d.app->changes.statusChanged == 1);
    CHECK(d.app->changes.followArrivals == 0);
    ApplyWindowViewChanges(d.app);
    CHECK(d.list.itemCount == 0);
}

TEST_CASE("a selection a later change took away is dropped; no window: the changes go unseen") {
    {
        Drawn d;
        d.Add(5);
        ApplyWindowViewChanges(d.app);
        SortByColumnClick(d.app, kColumnTime, 4);
        CHECK(d.app->changes.select == kSelectFocused);
        const uint32_t selections = d.list.selections;
        ClearRows(d.app); // before the window drew the sort's selection
        ApplyWindowViewChanges(d.app);
        CHECK(d.list.selections == selections);
        CHECK(d.list.itemCount == 0);
        CHECK(d.list.sortColumn == kColumnTime);
    }
    {
        Drawn d(false); // as the console program runs: no controls wired
        d.Add(3);
        CHECK(AnyViewChange(d.app->changes));
        ApplyWindowViewChanges(d.app);
        CHECK_FALSE(AnyViewChange(d.app->changes));
        CHECK(d.list.itemCountSets == 0);
        CHECK(HeadlessModel()->foreignHandleCalls == 0);
    }
}
