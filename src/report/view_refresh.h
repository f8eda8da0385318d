// The open process tree and summary windows follow the rows: refilled at most once a second while
// a recording runs (the drain timer's tenth tick), once when it stops and when a session is
// opened; each keeps its place (the tree its expanded items and selection, the summary its scroll
// position) and its title says what it shows.
#pragma once

namespace olv {

struct Recording; // record/recording.h

constexpr int kRefreshedViewWindows = 16; // windows of each kind refreshed; more stay as they are

// Refills the open windows; unless force, only when rows were added since the last refill.
void RefreshViewWindows(Recording* app, bool force = true);

} // namespace olv
