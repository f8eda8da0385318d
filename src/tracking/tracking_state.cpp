// The TrackingState as a whole: reset at the start of a recording, release at its end, the
// launched program, and the counter snapshot.
#include <cstring>

#include "base/atomic.h"
#include "base/text.h"
#include "platform/memory.h"
#include "tracking/tracking_internal.h"
#include "tracking/tracking_state.h"

namespace olv {

void InitTrackingState(TrackingState* ts) {
    if (ts == nullptr) return;
    // A newly allocated state: clearing it empties every table, counter, sink and the DriveMap.
    std::memset(static_cast<void*>(ts), 0, sizeof(*ts));
    ResetPendingFileRows(&ts->pending);
    InitLock(&ts->processes.lock);
    InitLock(&ts->fileNames.lock);
    InitLock(&ts->keyNames.lock);
    InitLock(&ts->processNames.lock);
    InitLock(&ts->pending.lock);
    InitLock(&ts->scripts.lock);
    ResetImageMap(&ts->images);
    InitLock(&ts->images.lock);
}

void FreeTrackingState(TrackingState* ts) {
    if (ts == nullptr) return;
    // Runs when no trace thread is left, so the tables are freed without their locks; a second
    // call finds them empty and the locks already deleted.
    DropNames(&ts->fileNames);
    DropNames(&ts->keyNames);
    DropProcessNames(&ts->processNames);
    DeleteLock(&ts->processes.lock);
    DeleteLock(&ts->fileNames.lock);
    DeleteLock(&ts->keyNames.lock);
    DeleteLock(&ts->processNames.lock);
    DeleteLock(&ts->pending.lock);
    DeleteLock(&ts->scripts.lock);
    for (ScriptBlockSlot& slot : ts->scripts.slots) {
        FreeBlock(slot.text.units);
        FreeBlock(slot.early.units);
        slot.text = WholeText{};
        slot.early = WholeText{};
    }
    DeleteLock(&ts->images.lock);
}

void TrackLaunchedProcess(TrackingState* ts, uint32_t pid, const char16_t* name, int64_t from) {
    FollowProcess(ts, pid, from);
    NameLaunchedProcess(ts, pid, name, from);
}

void ReadTrackingCounters(TrackingState* ts, uint32_t out[kTrackingCounterCount]) {
    if (out == nullptr) return;
    if (ts == nullptr) {
        for (int i = 0; i < kTrackingCounterCount; ++i)
            out[i] = 0;
        return;
    }
    out[kChildrenNotFollowed] = AtomicLoad(ts->processes.childrenNotFollowed);
    out[kTrackingSlotsRecycled] = AtomicLoad(ts->processes.trackingSlotsRecycled);
    out[kRegistryKeysNotResolved] = AtomicLoad(ts->registryKeysNotResolved);
    out[kFilesNotIdentified] = AtomicLoad(ts->filesNotIdentified);
    out[kFileResultsMissing] = AtomicLoad(ts->fileResultsMissing);
    out[kKeyNamesKnown] = static_cast<uint32_t>(KeyNameCount(ts));
    out[kKeysNamedByCreate] = AtomicLoad(ts->keysNamedByCreate);
    out[kKeysNamedByRundown] = AtomicLoad(ts->keysNamedByRundown);
    out[kScriptBlocksIncomplete] = AtomicLoad(ts->scriptBlocksIncomplete);
    out[kScriptPartsOutOfPlace] = AtomicLoad(ts->scriptPartsOutOfPlace);
    out[kScriptTextsCut] = AtomicLoad(ts->scriptTextsCut);
    out[kScriptBlocksSeen] = AtomicLoad(ts->scriptBlocksSeen);
    out[kImagesNotMapped] = AtomicLoad(ts->images.dropped);
}

} // namespace olv
