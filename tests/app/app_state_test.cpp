#include "app/app_state.h"
#include "app/window_layout.h"

#include "capture/trace_controller.h"
#include "doctest.h"
#include "launcher/target_launcher.h"
#include "platform/memory.h"
#include "platform/sim/headless_ui.h"
#include "views/row_store.h"

using namespace olv;

TEST_CASE("the AppState starts empty with auto-scroll on and its clean-up frees everything") {
    ResetHeadlessUi();
    ResetAllocationFaults();
    const int64_t live = LiveAllocationCount();
    AppState* app = AllocRecord<AppState>();
    REQUIRE(app != nullptr);
    InitAppState(app);
    CHECK(app->autoScroll == 1);
    CHECK((app->rowsLock.initialised == 1 && app->queueLock.initialised == 1));

    WireControls(app, HeadlessControlHandle);
    EventRow row{};
    AppendRow(app, &row);
    app->queueSlots = static_cast<EventRow*>(AllocZeroed(kQueueSlots * sizeof(EventRow)));
    app->trace = AllocRecord<TraceController>();
    ResetTraceController(app->trace);
    app->launcher = AllocRecord<TargetLauncher>();
    InitLauncher(app->launcher);
    app->uiFont = HeadlessMakeFont();
    app->summaryFont = HeadlessMakeFont();

    CleanUpAppState(app);
    CHECK(app->trace == nullptr);
    CHECK(app->launcher == nullptr);
    CHECK(app->rowsLock.initialised == 0);
    CHECK(HeadlessModel()->fontsDeleted == 2);
    CHECK(HeadlessModel()->badFontDeletes == 0);
    CleanUpAppState(app); // a second run finds nothing left
    CHECK(HeadlessModel()->badFontDeletes == 0);
    FreeBlock(app);
    CHECK(LiveAllocationCount() == live);
}
