// The window's view controls and AppState::view: a control copies only itself into the view when
// it notifies a change, and a view set by a command is shown in the controls.
#include "app/view_controls.h"

#include <string>

#include "app/app_state.h"
#include "app/commands.h"
#include "app/window_layout.h"
#include "base/text.h"
#include "doctest.h"
#include "platform/memory.h"
#include "platform/sim/headless_ui.h"
#include "views/row_store.h"

using namespace olv;

namespace {

struct WindowFixture {
    AppState* app;
    WindowFixture() {
        ResetAllocationFaults();
        ResetHeadlessUi();
        app = AllocRecord<AppState>();
        InitAppState(app);
        WireControls(app, HeadlessControlHandle);
        ClearRows(app);
        for (const char16_t* operation : {u"Read file", u"Wrote file"}) {
            EventRow row{};
            row.category = kCategoryFile;
            CopyBounded(row.operation, kOperationChars, operation);
            AppendRow(app, &row);
        }
    }
    ~WindowFixture() {
        CleanUpAppState(app);
        FreeBlock(app);
    }
    void Notify(int id, uint32_t code) { DispatchCommand(app, (uintptr_t{code} << 16) | id); }
};

} // namespace

TEST_CASE_FIXTURE(WindowFixture, "each view control copies itself into the view on its change") {
    // A box in the third state does not show its rows; the other boxes keep what the view says.
    app->view.categoryOn[kCategoryNetwork] = 0;
    HeadlessSetCheck(kIdFileCheck, kIndeterminate);
    Notify(kIdFileCheck, kBnClicked);
    CHECK(app->view.categoryOn[kCategoryFile] == 0);
    CHECK(app->view.categoryOn[kCategoryRegistry] == 1);
    CHECK(app->view.categoryOn[kCategoryNetwork] == 0);
    CHECK(app->shownCount == 0);
    HeadlessSetCheck(kIdFileCheck, kChecked);
    Notify(kIdFileCheck, kBnClicked);
    CHECK(app->shownCount == 2);

    HeadlessSetCheck(kIdSuspiciousCheck, kChecked);
    Notify(kIdSuspiciousCheck, kBnClicked);
    CHECK(app->view.suspiciousOnly == 1);
    CHECK(HeadlessMenuChecked(kCmdSuspiciousOnly));
    CHECK(app->shownCount == 0);
    DispatchCommand(app, kCmdSuspiciousOnly); // the menu item: box, menu and view agree
    CHECK(app->view.suspiciousOnly == 0);
    CHECK(HeadlessControlById(kIdSuspiciousCheck)->check == kUnchecked);
    CHECK_FALSE(HeadlessMenuChecked(kCmdSuspiciousOnly));

    // The combo box's item text is the view's operation; item 0 names none.
    HeadlessSelectCombo(2);
    Notify(kIdOperationCombo, 7); // CBN_DROPDOWN: not a change of selection
    CHECK(app->view.operation[0] == 0);
    Notify(kIdOperationCombo, kCbnSelChange);
    CHECK(std::u16string(app->view.operation) == u"Wrote file");
    CHECK(app->shownCount == 1);
    HeadlessSelectCombo(0);
    Notify(kIdOperationCombo, kCbnSelChange);
    CHECK(app->view.operation[0] == 0);

    HeadlessSetText(kIdFilterEdit, u"WROTE");
    Notify(kIdFilterEdit, kEnChange);
    CHECK(std::u16string(app->view.filter) == u"WROTE");
    CHECK(app->shownCount == 1);
    // Escape empties box and view alike.
    DispatchCommand(app, kCmdClearFilter);
    CHECK(app->view.filter[0] == 0);
    CHECK(std::u16string(HeadlessText(kIdFilterEdit)).empty());
    CHECK(app->shownCount == 2);
}

TEST_CASE_FIXTURE(WindowFixture, "a view set elsewhere is shown in the controls") {
    ViewSpec view = app->view;
    view.categoryOn[kCategoryRegistry] = 0;
    view.suspiciousOnly = 1;
    CopyBounded(view.operation, kOperationNameChars, u"Wrote file");
    CopyBounded(view.filter, kFilterTextChars + 1, u"C:\\");
    REQUIRE(SetView(app, view));
    const uint32_t filterSets = HeadlessControlById(kIdFilterEdit)->textSets;
    ShowViewInControls(app);
    CHECK(HeadlessControlById(kIdFileCheck)->check == kChecked);
    CHECK(HeadlessControlById(kIdRegistryCheck)->check == kUnchecked);
    CHECK(HeadlessControlById(kIdSuspiciousCheck)->check == kChecked);
    CHECK(HeadlessMenuChecked(kCmdSuspiciousOnly));
    CHECK(HeadlessModel()->combo.selection == 2);
    CHECK(std::u16string(HeadlessText(kIdFilterEdit)) == u"C:\\");
    // Shown again unchanged, the filter box is not written (writing it notifies a change).
    ShowViewInControls(app);
    CHECK(HeadlessControlById(kIdFilterEdit)->textSets == filterSets + 1);

    // An operation the box does not offer is added and chosen, so the box never says "All".
    CopyBounded(view.operation, kOperationNameChars, u"Teleported");
    REQUIRE(SetView(app, view));
    ShowViewInControls(app);
    CHECK(HeadlessModel()->combo.count == 4);
    CHECK(std::u16string(HeadlessComboItem(3)) == u"Teleported");
    CHECK(HeadlessModel()->combo.selection == 3);
    // Clear forgets the operation, and the box shows every operation again.
    ClearRows(app);
    CHECK(app->view.operation[0] == 0);
    CHECK(HeadlessModel()->combo.selection == 0);
}
