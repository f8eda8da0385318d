#include "app/view_controls.h"

#include "app/window_state.h"

#include "base/text.h"
#include "platform/ui.h"
#include "views/row_store.h"

namespace olv {

namespace {

UiHandle CategoryBox(const AppState* app, int category) {
    const UiHandle boxes[4] = {app->fileCheck, app->registryCheck, app->networkCheck,
                               app->processCheck};
    return boxes[category];
}

int CategoryOfControl(int id) {
    switch (id) {
    case kIdFileCheck:
        return kCategoryFile;
    case kIdRegistryCheck:
        return kCategoryRegistry;
    case kIdNetworkCheck:
        return kCategoryNetwork;
    case kIdProcessCheck:
        return kCategoryProcess;
    default:
        return -1;
    }
}

// The combo box item showing operation, added when it is missing; 0 (every operation) for none.
int OperationItem(AppState* app, const char16_t* operation) {
    if (operation[0] == 0) return 0;
    char16_t item[kOperationNameChars];
    int index = 1;
    for (; UiComboItemText(app->operationCombo, index, item, kOperationNameChars); ++index) {
        if (TextEquals(item, operation)) return index;
    }
    UiComboAdd(app->operationCombo, operation);
    return index;
}

} // namespace

void ShowOperationNames(AppState* app) {
    MainWindow* w = app->window;
    if (w == nullptr) return;
    if (w->comboNamesCleared != app->operationNamesCleared) {
        UiComboReset(app->operationCombo);
        UiComboAdd(app->operationCombo, u"All operations");
        UiComboSetSelection(app->operationCombo, 0);
        w->comboNames = 0;
        w->comboNamesCleared = app->operationNamesCleared;
    }
    for (; w->comboNames < app->operationNameCount; ++w->comboNames)
        UiComboAdd(app->operationCombo, app->operationNames[w->comboNames]);
}

void ViewControlChanged(AppState* app, int id) {
    ViewSpec view = app->view;
    const int category = CategoryOfControl(id);
    if (category >= 0) {
        view.categoryOn[category] = UiGetCheck(CategoryBox(app, category)) == kChecked ? 1 : 0;
    } else if (id == kIdSuspiciousCheck) {
        view.suspiciousOnly = UiGetCheck(app->suspiciousCheck) == kChecked ? 1 : 0;
        UiCheckMenuItem(app->mainWindow, kCmdSuspiciousOnly, view.suspiciousOnly != 0);
    } else if (id == kIdOperationCombo) {
        const int selection = UiComboSelection(app->operationCombo);
        view.operation[0] = 0;
        if (selection > 0 && !UiComboItemText(app->operationCombo, selection, view.operation,
                                              kOperationNameChars)) {
            view.operation[0] = 0;
        }
    } else if (id == kIdFilterEdit) {
        UiGetText(app->filterEdit, view.filter, kFilterTextChars + 1);
    } else {
        return;
    }
    SetView(app, view);
}

void ShowViewInControls(AppState* app) {
    const ViewSpec& view = app->view;
    for (int c = 0; c < 4; ++c)
        UiSetCheck(CategoryBox(app, c), view.categoryOn[c] != 0 ? kChecked : kUnchecked);
    UiSetCheck(app->suspiciousCheck, view.suspiciousOnly != 0 ? kChecked : kUnchecked);
    UiCheckMenuItem(app->mainWindow, kCmdSuspiciousOnly, view.suspiciousOnly != 0);
    const int item = OperationItem(app, view.operation);
    if (UiComboSelection(app->operationCombo) != item) {
        UiComboSetSelection(app->operationCombo, item);
    }
    char16_t shown[kFilterTextChars + 1];
    UiGetText(app->filterEdit, shown, kFilterTextChars + 1);
    if (!TextEquals(shown, view.filter)) UiSetText(app->filterEdit, view.filter);
}

} // namespace olv
