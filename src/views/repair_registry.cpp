// Late naming of registry rows at Stop: rows whose key object had no known name while the trace
// ran get their full key path from the names Windows listed when the session ended.
#include "views/row_store.h"

#include <iterator>

#include "base/atomic.h"
#include "base/text.h"
#include "capture/trace_controller.h"
#include "record/recording.h"
#include "record/stored_rows.h"
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

// The same test on a stored path, without copying it.
bool MayBeUnresolved(TextView path) {
    static constexpr char16_t kNoKey[] = u"(key not identified)";
    if (TextViewEquals(path, kNoKey, std::size(kNoKey) - 1)) return true;
    return path.length >= 4 && TextUnitAt(path, 0) == u'.' && TextUnitAt(path, 1) == u'.' &&
           TextUnitAt(path, 2) == u'.' && TextUnitAt(path, 3) == u'\\';
}

} // namespace

void RepairRegistryKeyPaths(Recording* app) {
    if (app == nullptr || app->trace == nullptr) return;
    TrackingState* ts = &app->trace->tracking;
    uint32_t repaired = 0;
    {
        LockGuard guard(&app->rowsLock);
        EventRow row; // the candidate, unpacked to be scored again
        for (int32_t i = 0; i < app->rowCount; ++i) {
            if (StoredCategory(app, i) != kCategoryRegistry || StoredKeyObject(app, i) == 0 ||
                !MayBeUnresolved(StoredText(app, i, kTextPath))) {
                continue;
            }
            ReadStoredRow(app, i, &row);
            const char16_t* remainder = UnresolvedRemainder(row.path);
            if (remainder == nullptr) continue;
            char16_t name[kKeyNameChars];
            if (!LookupKeyName(ts, row.keyObject, static_cast<int64_t>(row.timestamp), name,
                               kKeyNameChars) ||
                name[0] == 0) {
                continue;
            }
            char16_t composed[kKeyNameChars];
            if (!ComposeKeyPath(name, remainder, composed, kKeyNameChars)) continue;
            char16_t* unresolved = name; // the name is in the composed path now
            CopyBounded(unresolved, kKeyNameChars, row.path);
            CopyBounded(row.path, kPathChars, composed);
            const uint32_t severity =
                static_cast<uint32_t>(ScoreRow(&row, row.threat, kThreatChars));
            // A store that cannot keep the new texts leaves the row as it was, still unresolved.
            if (!SetStoredPath(app, i, row.path)) continue;
            if (!SetStoredThreat(app, i, severity, row.threat)) {
                SetStoredPath(app, i, unresolved); // the old text is stored already
                continue;
            }
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
