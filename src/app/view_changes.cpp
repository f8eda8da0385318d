#include "app/view_changes.h"

#include "app/window_state.h"
#include "record/recording.h"
#include "views/auto_scroll.h"
#include "views/row_sort.h"
#include "views/view_texts.h"

namespace olv {

void ApplyViewChanges(Recording* app, UiHandle eventList, UiHandle statusBar) {
    const ViewChanges c = app->changes;
    app->changes = ViewChanges{};
    if (!AnyViewChange(c)) return;

    // Read before the count grows: the list still shows what its user saw before the rows came.
    FollowDecision follow = kStayPut;
    ListViewState list{};
    if (c.followArrivals != 0 && UiListGetViewState(eventList, &list))
        follow = DecideFollow(true, true, list);

    const int32_t shown = app->shownCount;
    if (c.countChanged != 0) UiListSetItemCount(eventList, shown);
    if (c.repaint != kRepaintNone) UiListInvalidate(eventList, c.repaint == kRepaintAll);
    if (c.sortArrowChanged != 0) {
        const int column = SortedColumn(app);
        UiListSetSortArrow(eventList, column, column >= 0 ? SortArrowOfColumn(app, column) : 0);
    }
    // A request may name an item a later change took away.
    if (c.select != kSelectNone && c.selectItem < shown) {
        if (c.select == kSelectOnly) {
            UiListSelectOnly(eventList, c.selectItem);
        } else {
            UiListSelectItem(eventList, c.selectItem);
        }
    }
    if (shown > 0 && follow == kFollowEnd) UiListEnsureVisible(eventList, shown - 1);
    if (shown > 0 && follow == kFollowEndSelected) UiListSelectItem(eventList, shown - 1);
    if (c.statusChanged != 0 && statusBar != nullptr) {
        char16_t text[kStatusTextChars];
        ComposeStatusText(app, text, kStatusTextChars);
        UiSetStatusText(statusBar, text);
    }
}

void ApplyWindowViewChanges(Recording* app) {
    if (app->window == nullptr) {
        app->changes = ViewChanges{};
        return;
    }
    ApplyViewChanges(app, app->window->eventList, app->window->statusBar);
}

} // namespace olv
