// Auto-scroll: new rows bring the end of the list into view only while the user is at the end.
// Scrolling up, or selecting a row other than the last, stops the following; coming back to the
// end (scrolling down to it, or selecting the last row) takes it up again. A sorted list is not
// followed: its new rows stand anywhere. The list's state is read before the rows arrive.
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
// The decision for the rows about to arrive, from the event list as it is now.
FollowDecision FollowBeforeArrival(Recording* app);
// Carries out the decision once the list holds shown items.
void FollowArrivedRows(Recording* app, FollowDecision decision, int32_t shown);

} // namespace olv
