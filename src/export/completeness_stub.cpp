// Placeholder until the real implementation lands; delete this file when it does.
#include "export/completeness.h"

namespace olv {

bool TakeRecordingSnapshot(AppState*, RecordingInfo*, bool) { return false; }
void GatherCompletenessCounters(AppState*) {}
void BuildHeaderLines(const RecordingInfo*, bool, char16_t*, size_t, const char16_t*) {}
int32_t BuildCompletenessNotes(AppState*, char16_t*, size_t, const char16_t*) { return 0; }
void AppendNoteLine(char16_t*, size_t, const char16_t*, const char16_t*, int32_t*) {}
void FormatLongTime(const SystemTime&, char16_t*, size_t) {}

} // namespace olv
