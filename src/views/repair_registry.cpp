// Late naming of registry rows at Stop: rows whose key object had no known name while the trace
// ran get their full key path from the names Windows listed when the session ended.
#include "views/row_store.h"

#include "base/atomic.h"
#include "base/text.h"
#include "capture/trace_controller.h"
#include "record/recording.h"
#include "rules/threat_rules.h"
#include "tracking/tracking_state.h"
#include "views/sigma_rows.h"

namespace olv {

namespace {

constexpr size_t kKeyNameChars = 1024;

// The part of an unresolved row's path that follows the unknown key, or null when the path is
// not one that the decoder left unresolved.
const char16_t* UnresolvedRemainder(const char16_t* path) {
    if (TextEquals(path, u"(key not identified)")) return u"";
    if (TextStartsWith(path, u"...\\")) return path + 4;
    return nullptr;
}

} // namespace

void RepairRegistryKeyPaths(Recording* app) {
    if (app == nullptr || app->trace == nullptr) return;
    TrackingState* ts = &app->trace->tracking;
    uint32_t repaired = 0;
    {
        LockGuard guard(&app->rowsLock);
        for (int32_t i = 0; i < app->rowCount; ++i) {
            EventRow* row = &app->rows[i];
            if (row->category != kCategoryRegistry || row->keyObject == 0) continue;
            const char16_t* remainder = UnresolvedRemainder(row->path);
            if (remainder == nullptr) continue;
            char16_t name[kKeyNameChars];
            if (!LookupKeyName(ts, row->keyObject, static_cast<int64_t>(row->timestamp), name,
                               kKeyNameChars) ||
                name[0] == 0) {
                continue;
            }
            char16_t composed[kKeyNameChars];
            if (!ComposeKeyPath(name, remainder, composed, kKeyNameChars)) continue;
            CopyBounded(row->path, kPathChars, composed);
            RowTextChanged(app, i);
            row->severity = static_cast<uint32_t>(ScoreRow(row, row->threat, kThreatChars));
            RematchChangedRow(app, i);
            ++repaired;
        }
    }
    if (repaired > 0) {
        AtomicSub(ts->registryKeysNotResolved, repaired);
        RebuildShownRows(app);
    }
}

} // namespace olv
