// Rows the user may lose: the question asked before Clear, closing the window or opening a
// session discards rows that were not saved, and the account of rows the user cleared, which
// every file written afterwards reports.
#pragma once

#include <cstddef>
#include <cstdint>

namespace olv {

struct Recording; // record/recording.h

enum DiscardReason : int { kDiscardByClear, kDiscardByOpen, kDiscardByClose };

// The question (Yes/No, No the default) to ask before an action discards rows recorded or
// changed since the last save; closing during a recording always asks, since it ends the
// recording. False (out empty) when the action may go ahead unasked: nothing would be lost.
constexpr size_t kDiscardQuestionChars = 640;
bool DiscardQuestion(Recording* app, DiscardReason reason, char16_t* out, size_t capacity);
// Adds the rows now held to the Recording's account of cleared rows (count, earliest and latest
// time, the time of this Clear). Call before the rows are cleared; nothing when there are none.
void CountClearedRows(Recording* app);

} // namespace olv
