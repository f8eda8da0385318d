#include "app/sigma_load_job.h"

#include "base/atomic.h"
#include "base/text.h"

namespace olv {

namespace {

uint32_t LoadOnWorker(void* argument) {
    SigmaLoadJob* job = static_cast<SigmaLoadJob*>(argument);
    job->result = LoadSigmaRuleFolderWatched(job->folder, &job->progress);
    return 0;
}

} // namespace

bool StartSigmaLoad(SigmaLoadJob* job, const char16_t* folder) {
    if (job == nullptr || folder == nullptr || job->state != kSigmaLoadIdle) return false;
    if (TextLength(folder) + 1 > kSigmaLoadFolderChars) return false;
    CopyBounded(job->folder, kSigmaLoadFolderChars, folder);
    AtomicStore(job->progress.total, 0);
    AtomicStore(job->progress.done, 0);
    AtomicStore(job->progress.cancel, 0);
    job->result = nullptr;
    job->cancelled = 0;
    job->thread = StartThread(&LoadOnWorker, job, nullptr);
    if (job->thread == nullptr) return false;
    job->state = kSigmaLoadRunning;
    return true;
}

bool WaitSigmaLoad(SigmaLoadJob* job, uint32_t ms) {
    if (job == nullptr || job->state == kSigmaLoadIdle) return true;
    if (job->state == kSigmaLoadRunning && WaitThreadEnd(job->thread, ms)) job->state = kSigmaLoadEnded;
    return job->state == kSigmaLoadEnded;
}

void CancelSigmaLoad(SigmaLoadJob* job) {
    if (job == nullptr || job->state == kSigmaLoadIdle) return;
    job->cancelled = 1;
    AtomicStore(job->progress.cancel, 1);
}

SigmaRuleSet* TakeSigmaLoadResult(SigmaLoadJob* job) {
    if (job == nullptr || job->state == kSigmaLoadIdle) return nullptr;
    JoinThread(job->thread); // the worker's writes are seen after the join
    job->thread = nullptr;
    job->state = kSigmaLoadIdle;
    SigmaRuleSet* set = job->result;
    job->result = nullptr;
    // A cancel that came after the last file still discards the set: the user asked for the
    // rules loaded before.
    if (job->cancelled != 0) {
        FreeSigmaRuleSet(set);
        return nullptr;
    }
    return set;
}

} // namespace olv
