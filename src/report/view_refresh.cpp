#include "report/view_refresh.h"

#include "platform/memory.h"
#include "platform/ui.h"
#include "record/recording.h"
#include "views/process_tree.h"
#include "views/row_details.h"
#include "report/summary.h"

namespace olv {

void RefreshViewWindows(Recording* app, bool force) {
    if (!force && app->rowCount == app->viewWindowRows) return; // nothing new: no repaint
    app->viewWindowRows = app->rowCount;
    UiHandle windows[kRefreshedViewWindows];
    const int trees = UiOpenViewWindows(kViewTree, windows, kRefreshedViewWindows);
    for (int i = 0; i < trees; ++i)
        FillProcessTreeWindow(app, windows[i]);

    const int summaries = UiOpenViewWindows(kViewSummary, windows, kRefreshedViewWindows);
    if (summaries <= 0) return;
    char16_t* text = BuildSummaryText(app);
    if (text == nullptr) return; // memory refused: the windows keep their last text
    char16_t title[320];
    ViewWindowTitle(app, u"Summary", title, 320);
    for (int i = 0; i < summaries; ++i) {
        UiReplaceWindowText(windows[i], text);
        UiSetWindowTitle(windows[i], title);
    }
    FreeBlock(text);
}

} // namespace olv
