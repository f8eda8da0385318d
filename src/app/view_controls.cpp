#include "app/view_controls.h"

#include "app/window_state.h"

#include "base/text.h"
#include "platform/ui.h"
#include "views/row_store.h"

namespace olv {

namespace {

UiHandle CategoryBox(const MainWindow* w, int category) {
    const UiHandle boxes[4] = {w->fileCheck, w->registryCheck, w->networkCheck, w->processCheck};
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
int OperationItem(const MainWindow* w, const char16_t* operation) {
    if (operation[0] == 0) return 0;
    char16_t item[kOperationNameChars];
    int index = 1;
    for (; UiComboItemText(w->operationCombo, index, item, kOperationNameChars); ++index) {
        if (TextEquals(item, operation)) return index;
    }
    UiComboAdd(w->operationCombo, operation);
    return index;
}

} // namespace

void ShowOperationNames(Recording* app) {
    MainWindow* w = app->window;
    if (w == nullptr) return;
    if (w->comboNamesCleared != app->operationNamesCleared) {
        UiComboReset(w->operationCombo);
        UiComboAdd(w->operationCombo, u"All operations");
        UiComboSetSelection(w->operationCombo, 0);
        w->comboNames = 0;
        w->comboNamesCleared = app->operationNamesCleared;
    }
    for (; w->comboNames < app->operationNameCount; ++w->comboNames)
        UiComboAdd(w->operationCombo, app->operationNames[w->comboNames]);
}

void ViewControlChanged(Recording* app, int id) {
    const MainWindow* w = app->window;
    if (w == nullptr) return;
    ViewSpec view = app->view;
    const int category = CategoryOfControl(id);
    if (category >= 0) {
        view.categoryOn[category] = UiGetCheck(CategoryBox(w, category)) == kChecked ? 1 : 0;
    } else if (id == kIdSuspiciousCheck) {
        view.suspiciousOnly = UiGetCheck(w->suspiciousCheck) == kChecked ? 1 : 0;
        UiCheckMenuItem(OwnerWindow(app), kCmdSuspiciousOnly, view.suspiciousOnly != 0);
    } else if (id == kIdOperationCombo) {
        const int selection = UiComboSelection(w->operationCombo);
        view.operation[0] = 0;
        if (selection > 0 && !UiComboItemText(w->operationCombo, selection, view.operation,
                                              kOperationNameChars)) {
            view.operation[0] = 0;
        }
    } else if (id == kIdFilterEdit) {
        UiGetText(w->filterEdit, view.filter, kFilterTextChars + 1);
    } else {
        return;
    }
    SetView(app, view);
}

void ShowViewInControls(Recording* app) {
    const MainWindow* w = app->window;
    if (w == nullptr) return;
    const ViewSpec& view = app->view;
    for (int c = 0; c < 4; ++c)
        UiSetCheck(CategoryBox(w, c), view.categoryOn[c] != 0 ? kChecked : kUnchecked);
    UiSetCheck(w->suspiciousCheck, view.suspiciousOnly != 0 ? kChecked : kUnchecked);
    UiCheckMenuItem(OwnerWindow(app), kCmdSuspiciousOnly, view.suspiciousOnly != 0);
    const int item = OperationItem(w, view.operation);
    if (UiComboSelection(w->operationCombo) != item) {
        UiComboSetSelection(w->operationCombo, item);
    }
    char16_t shown[kFilterTextChars + 1];
    UiGetText(w->filterEdit, shown, kFilterTextChars + 1);
    if (!TextEquals(shown, view.filter)) UiSetText(w->filterEdit, view.filter);
}

} // namespace olv
