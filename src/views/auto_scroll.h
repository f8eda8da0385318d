// Auto-scroll: new rows bring the end of the list into view only while the user is at the end.
// Scrolling up, or selecting a row other than the last, stops the following; coming back to the
// end (scrolling down to it, or selecting the last row) takes it up again. A sorted list is not
// followed: its new rows stand anywhere. The core marks that rows arrived (ViewChanges); the
// window decides when it draws them, from the list's state as it was before they arrived (the
// list still shows the old count then).
#pragma once

#include <cstdint>

#include "platform/ui.h"

namespace olv {

struct Recording; // record/recording.h

enum FollowDecision : int {
    kStayPut = 0,
    kFollowEnd = 1,         // make the new last item visible
    kFollowEndSelected = 2, // the last item was selected: select the new last item
};

FollowDecision DecideFollow(bool autoScroll, bool recordingOrder, const ListViewState& list);
// Rows are about to arrive at the shown rows: marks them to be followed (ViewChanges) when the
// list is followed at all (auto-scroll on, recording order). Called before they arrive, as the
// order may change on the way.
void MarkArrivals(Recording* app);

} // namespace olv
