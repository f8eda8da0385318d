// A session file dropped on the main window.
#include "app/lifecycle.h"
#include "app/view_controls.h"

#include "base/product.h"
#include "base/text.h"
#include "export/exports.h"
#include "platform/ui.h"
#include "record/recording.h"
#include "app/file_commands.h"
#include "app/window_state.h"

namespace olv {

bool IsSessionFileName(const char16_t* name) {
    const size_t n = TextLength(name);
    return n >= 4 && EqualsFolded(name + n - 4, u".ols");
}

void OpenDroppedSession(Recording* app, const char16_t* path) {
    if (app->recording != 0) {
        UiMessageBox(OwnerWindow(app), u"Stop monitoring before opening a session.",
                     kProductName, kIconWarning, kButtonsOk);
        return;
    }
    if (!ConfirmDiscardingRows(app, kDiscardByOpen)) return;
    OpenSessionFromPath(app, path);
    ShowOperationNames(app); // a failed open may have cleared the rows
}

} // namespace olv
