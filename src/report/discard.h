// Rows the user may lose: the question asked before Clear, closing the window or opening a
// session discards rows that were not saved, and the account of rows the user cleared, which
// every file written afterwards reports.
#pragma once

#include <cstdint>

namespace olv {

struct Recording; // record/recording.h

enum DiscardReason : int { kDiscardByClear, kDiscardByOpen, kDiscardByClose };

// Asks (Yes/No, No the default) before an action discards rows recorded or changed since the
// last save; closing during a recording always asks, since it ends the recording. True when the
// action may go ahead: nothing would be lost, or the user answered Yes.
bool ConfirmDiscardingRows(Recording* app, DiscardReason reason);
// Adds the rows now held to the Recording's account of cleared rows (count, earliest and latest
// time, the time of this Clear). Call before the rows are cleared; nothing when there are none.
void CountClearedRows(Recording* app);

} // namespace olv
