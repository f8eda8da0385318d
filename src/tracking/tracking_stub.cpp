// Placeholder until the real implementation lands; delete this file when it does.
#include "tracking/tracking_state.h"

namespace olv {

void InitTrackingState(TrackingState*) {}
void FreeTrackingState(TrackingState*) {}
void SetRowSink(TrackingState*, RowSink, void*) {}
void TrackLaunchedProcess(TrackingState*, uint32_t, const char16_t*) {}
void ReadTrackingCounters(TrackingState*, uint32_t*) {}
void FollowProcess(TrackingState*, uint32_t, int64_t) {}
bool IsProcessFollowed(TrackingState*, uint32_t, int64_t) { return false; }
void EndFollowedProcess(TrackingState*, uint32_t, int64_t) {}
void RememberProcessName(TrackingState*, uint32_t, const char16_t*, int64_t) {}
bool LookupProcessName(TrackingState*, uint32_t, int64_t, char16_t*, size_t) { return false; }
void RememberFileName(TrackingState*, uint64_t, const char16_t*, int64_t, bool) {}
void ForgetFileName(TrackingState*, uint64_t, int64_t) {}
bool LookupFileName(TrackingState*, uint64_t, int64_t, char16_t*, size_t) { return false; }
void RememberKeyName(TrackingState*, uint64_t, const char16_t*, int64_t, bool) {}
void ForgetKeyName(TrackingState*, uint64_t, int64_t) {}
bool LookupKeyName(TrackingState*, uint64_t, int64_t, char16_t*, size_t) { return false; }
int32_t KeyNameCount(TrackingState*) { return 0; }
void HoldFileRow(TrackingState*, uint64_t, int64_t, const EventRow*) {}
bool TakeHeldFileRow(TrackingState*, uint64_t, EventRow*) { return false; }
void ExpireHeldFileRows(TrackingState*, int64_t) {}
void FlushHeldFileRows(TrackingState*) {}
void NoteFileCompletionSeen(TrackingState*) {}
bool AreFileRowsHeld(TrackingState*) { return false; }
void NoteFileRequestForSweep(TrackingState*, int64_t) {}
int32_t HeldFileRowCount(TrackingState*) { return 0; }
void TranslateDevicePath(TrackingState*, char16_t*, size_t) {}

} // namespace olv
