#include "views/auto_scroll.h"

#include "record/recording.h"
#include "views/row_sort.h"

namespace olv {

FollowDecision DecideFollow(bool autoScroll, bool recordingOrder, const ListViewState& list) {
    if (!autoScroll || !recordingOrder) return kStayPut;
    if (list.itemCount <= 0) return kFollowEnd;
    const int32_t last = list.itemCount - 1;
    // The last item is in view when it lies on the page that starts at the top item.
    const int32_t perPage = list.perPage > 0 ? list.perPage : 1;
    const bool endInView = list.topIndex <= last && last < list.topIndex + perPage;
    if (!endInView) return kStayPut;
    if (list.selected < 0) return kFollowEnd;
    return list.selected == last ? kFollowEndSelected : kStayPut;
}

void MarkArrivals(Recording* app) {
    if (app->autoScroll != 0 && app->view.sortBy == kSortRecordingOrder)
        app->changes.followArrivals = 1;
}

} // namespace olv
