// The window's view controls and Recording::view: a control copies only itself into the view when
// it notifies a change, and a view set by a command is shown in the controls.
#include "app/view_controls.h"

#include <string>

#include "app/recording_setup.h"
#include "app/commands.h"
#include "app/keyboard.h"
#include "app/machine_check.h"
#include "app/window_layout.h"
#include "app/window_state.h"
#include "base/text.h"
#include "doctest.h"
#include "platform/memory.h"
#include "platform/sim/headless_ui.h"
#include "views/row_store.h"

using namespace olv;

TEST_CASE("view controls: copied into the view on their change, and shown from it") {
    ResetHeadlessUi();
    Recording* app = AllocRecord<Recording>();
    InitRecording(app);
    WireControls(app, HeadlessControlHandle);
    ClearRows(app);
    for (const char16_t* operation : {u"Read file", u"Wrote file"}) {
        EventRow row{};
        row.category = kCategoryFile;
        CopyBounded(row.operation, kOperationChars, operation);
        AppendRow(app, &row);
    }
    ShowOperationNames(app);
    auto notify = [app](int id, uint32_t code) {
        DispatchCommand(app, (uintptr_t{code} << 16) | static_cast<uintptr_t>(id));
    };

    // A box in the third state hides its rows; the other boxes keep what the view says.
    app->view.categoryOn[kCategoryNetwork] = 0;
    HeadlessSetCheck(kIdFileCheck, kIndeterminate);
    notify(kIdFileCheck, kBnClicked);
    CHECK((app->view.categoryOn[kCategoryFile] == 0 && app->shownCount == 0));
    CHECK(app->view.categoryOn[kCategoryNetwork] == 0);
    HeadlessSetCheck(kIdFileCheck, kChecked);
    notify(kIdFileCheck, kBnClicked);
    CHECK(app->shownCount == 2);
    // The box and the menu item agree with the view.
    HeadlessSetCheck(kIdSuspiciousCheck, kChecked);
    notify(kIdSuspiciousCheck, kBnClicked);
    CHECK((app->view.suspiciousOnly == 1 && HeadlessMenuChecked(kCmdSuspiciousOnly)));
    DispatchCommand(app, kCmdSuspiciousOnly);
    CHECK(app->view.suspiciousOnly == 0);
    CHECK(HeadlessControlById(kIdSuspiciousCheck)->check == kUnchecked);
    // The combo box's item text is the operation, on a change of selection only.
    HeadlessSelectCombo(2);
    notify(kIdOperationCombo, 7); // CBN_DROPDOWN
    CHECK(app->view.operation[0] == 0);
    notify(kIdOperationCombo, kCbnSelChange);
    CHECK(std::u16string(app->view.operation) == u"Wrote file");
    CHECK(app->shownCount == 1);
    HeadlessSelectCombo(0);
    notify(kIdOperationCombo, kCbnSelChange);
    CHECK(app->view.operation[0] == 0);
    // Escape empties the filter box and the view's filter alike.
    HeadlessSetText(kIdFilterEdit, u"WROTE");
    notify(kIdFilterEdit, kEnChange);
    CHECK((std::u16string(app->view.filter) == u"WROTE" && app->shownCount == 1));
    DispatchCommand(app, kCmdClearFilter);
    CHECK((app->view.filter[0] == 0 && HeadlessText(kIdFilterEdit)[0] == 0));
    CHECK(app->shownCount == 2);

    // A view set elsewhere is shown; an operation the box lacks is added and chosen; the filter
    // box is written only when it differs, as writing it notifies a change.
    ViewSpec view = app->view;
    view.categoryOn[kCategoryRegistry] = 0;
    view.suspiciousOnly = 1;
    CopyBounded(view.operation, kOperationNameChars, u"Teleported");
    CopyBounded(view.filter, kFilterTextChars + 1, u"C:\\");
    REQUIRE(SetView(app, view));
    ShowViewInControls(app);
    const uint32_t filterSets = HeadlessControlById(kIdFilterEdit)->textSets;
    ShowViewInControls(app);
    CHECK(HeadlessControlById(kIdFilterEdit)->textSets == filterSets);
    CHECK(HeadlessControlById(kIdRegistryCheck)->check == kUnchecked);
    CHECK(HeadlessControlById(kIdSuspiciousCheck)->check == kChecked);
    CHECK(std::u16string(HeadlessText(kIdFilterEdit)) == u"C:\\");
    CHECK(HeadlessModel()->combo.count == 4);
    CHECK(HeadlessModel()->combo.selection == 3);
    // Clear forgets the operation, and the box offers every operation again.
    ClearRows(app);
    ShowOperationNames(app);
    CHECK(HeadlessModel()->combo.count == 1);
    CHECK((app->view.operation[0] == 0 && HeadlessModel()->combo.selection == 0));
    CleanUpRecording(app);
    FreeBlock(app);
}

TEST_CASE("the operation combo box follows the names the rows taught the core") {
    ResetHeadlessUi();
    Recording* app = AllocRecord<Recording>();
    InitRecording(app);
    WireControls(app, HeadlessControlHandle);
    auto append = [app](const char16_t* operation) {
        EventRow row{};
        row.category = kCategoryFile;
        CopyBounded(row.operation, kOperationChars, operation);
        AppendRow(app, &row);
    };
    auto items = [] {
        std::string all;
        for (int i = 0; HeadlessComboItem(i) != nullptr; ++i) {
            for (const char16_t* c = HeadlessComboItem(i); *c != 0; ++c)
                all += static_cast<char>(*c);
            all += '|';
        }
        return all;
    };

    // New names are added in the order first seen, once each, however often the window asks.
    append(u"Read file");
    append(u"Wrote file");
    append(u"Read file");
    ShowOperationNames(app);
    ShowOperationNames(app);
    CHECK(items() == "All operations|Read file|Wrote file|");
    append(u"Deleted file");
    ShowOperationNames(app);
    CHECK(items() == "All operations|Read file|Wrote file|Deleted file|");

    // A clear followed by as many new names before the window looks still starts the box over,
    // with "All operations" chosen again.
    HeadlessSelectCombo(2);
    ClearRows(app);
    append(u"Connect");
    append(u"Send");
    append(u"Receive");
    ShowOperationNames(app);
    CHECK(items() == "All operations|Connect|Send|Receive|");
    CHECK(HeadlessModel()->combo.selection == 0);

    // Without the window's record (the console program) the window's operations do nothing and
    // fail nowhere: the view stays as set, no box is read or shown, no check starts.
    const UiHandle filterBox = app->window->filterEdit;
    FreeMainWindow(app);
    append(u"Disconnect");
    ShowOperationNames(app);
    CHECK(HeadlessModel()->combo.count == 4);
    HeadlessSetCheck(kIdFileCheck, kUnchecked);
    ViewControlChanged(app, kIdFileCheck);
    CHECK(app->view.categoryOn[kCategoryFile] == 1);
    ShowViewInControls(app);
    CHECK(HeadlessControlById(kIdFileCheck)->check == kUnchecked);
    CHECK(FocusKindOf(app, filterBox) == kFocusOther);
    CHECK(FocusKindOf(app, HeadlessControlHandle(kIdEventList)) == kFocusOther);
    const uint32_t boxes = HeadlessModel()->messageBoxCount;
    StartMachineCheck(app);
    CHECK(HeadlessModel()->messageBoxCount == boxes);
    CleanUpRecording(app);
    FreeBlock(app);
}
