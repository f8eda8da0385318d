#include "app/sigma_commands.h"
#include "app/outcome_box.h"
#include "app/window_state.h"

#include "base/format.h"
#include "base/product.h"
#include "base/text.h"
#include "app/sigma_load_job.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "platform/ui.h"
#include "sigma/sigma.h"
#include "views/sigma_rows.h"
#include "views/sigma_texts.h"
#include "views/view_texts.h"

namespace olv {

namespace {

constexpr size_t kMessageChars = 1200;
static_assert(kMessageChars <= kOutcomeTextChars, "the outcome holds the message whole");
constexpr size_t kFolderChars = 600;


} // namespace

bool RulesFolderBeside(const char16_t* programPath, char16_t* out, size_t capacity) {
    return SiblingPath(programPath, u"rules", out, capacity);
}

namespace {

// How long the window thread waits for the worker between two looks at its messages.
constexpr uint32_t kLoadPollMs = 40;

// Reads folder on a worker behind a progress window with Cancel, the window thread handling its
// messages meanwhile (rows that arrive are matched with the rules loaded before, and again with
// the new ones once installed). Without a progress window (none can be made, as in the console
// program) or a worker, it reads on this thread. *cancelled tells a cancel apart from a refusal.
SigmaRuleSet* ReadRuleFolder(Recording* app, const char16_t* folder, const Progress* shown,
                             bool* cancelled) {
    *cancelled = false;
    SigmaState* state = MakeSigmaState(app);
    void* progress =
        state != nullptr ? BeginProgress(shown, u"Loading Sigma rules", 1000) : nullptr;
    SigmaLoadJob* job = progress != nullptr ? AllocRecord<SigmaLoadJob>() : nullptr;
    if (job == nullptr || !StartSigmaLoad(job, folder)) {
        FreeBlock(job);
        EndProgress(shown, progress);
        return LoadSigmaRuleFolder(folder);
    }
    app->sigmaLoading = 1;
    state->loading = &job->progress;
    char16_t text[kMessageChars];
    // The window shows and takes its messages at least once, however quickly the worker ends.
    do {
        uint32_t perMille = 0;
        ComposeSigmaLoadProgress(&job->progress, text, kMessageChars, &perMille);
        UpdateStatusBar(app);
        if (StepProgress(shown, progress, perMille, text)) CancelSigmaLoad(job);
    } while (!WaitSigmaLoad(job, kLoadPollMs));
    *cancelled = job->cancelled != 0;
    SigmaRuleSet* set = TakeSigmaLoadResult(job);
    FreeBlock(job);
    state->loading = nullptr;
    app->sigmaLoading = 0;
    EndProgress(shown, progress);
    UpdateStatusBar(app);
    return set;
}

constexpr char16_t kNoMemoryForRules[] =
    u"There is not enough memory to load the Sigma rules. The rules loaded before are unchanged.";

} // namespace

Outcome LoadSigmaRuleFiles(Recording* app, const char16_t* folder, const Progress* progress) {
    Outcome result{};
    char16_t message[kMessageChars];
    // One piece of work at a time: ignored, with nothing to show.
    if (app->sigmaLoading != 0 || app->sessionReading != 0) {
        SetOutcome(&result, OutcomeCode::kBusy, kIconWarning, u"");
        return result;
    }
    bool cancelled = false;
    SigmaRuleSet* set = ReadRuleFolder(app, folder, progress, &cancelled);
    if (cancelled) {
        SetOutcome(&result, OutcomeCode::kCancelled, kIconInformation,
                   u"Loading the Sigma rules was cancelled. The rules loaded before are "
                   u"unchanged.");
        return result;
    }
    if (set == nullptr) {
        SetOutcome(&result, OutcomeCode::kNoMemory, kIconError, kNoMemoryForRules);
        return result;
    }
    const char16_t* error = SigmaRuleFolderError(set);
    if (error != nullptr && error[0] != 0) {
        FormatText(message, kMessageChars,
                   u"The Sigma rules could not be read from %.600s. %.300s The rules loaded "
                   u"before are unchanged.",
                   folder, error);
        SetOutcome(&result, OutcomeCode::kBadInput, kIconError, message);
        FreeSigmaRuleSet(set);
        return result;
    }
    const int32_t loaded = SigmaRuleCount(set);
    const int32_t refused = SigmaRefusalCount(set);
    if (!InstallSigmaRules(app, set)) {
        SetOutcome(&result, OutcomeCode::kNoMemory, kIconError, kNoMemoryForRules);
        return result;
    }
    UpdateStatusBar(app);
    FormatText(message, kMessageChars,
               loaded == 1 ? u"Loaded %d Sigma rule from %.600s." : u"Loaded %d Sigma rules from %.600s.",
               loaded, folder);
    if (refused > 0) {
        AppendFormat(message, kMessageChars,
                     refused == 1 ? u" %d file was refused; the Sigma Rules window (View menu) "
                                    u"says why."
                                  : u" %d files were refused; the Sigma Rules window (View menu) "
                                    u"says why.",
                     refused);
    }
    if (app->rowCount > 0) {
        AppendFormat(message, kMessageChars, u" The rules were applied to the %d rows recorded.",
                     app->rowCount);
    }
    SetOutcome(&result, OutcomeCode::kOk, kIconInformation, message);
    return result;
}

bool LoadSigmaRulesFromFolder(Recording* app, const char16_t* folder, bool quiet) {
    const Progress progress = WindowProgress(OwnerWindow(app));
    const Outcome outcome = LoadSigmaRuleFiles(app, folder, &progress);
    if (!quiet) ShowOutcome(OwnerWindow(app), outcome);
    return OutcomeOk(outcome);
}

void LoadSigmaRules(Recording* app) {
    char16_t folder[kFolderChars] = {};
    const SigmaRuleSet* loaded = LoadedSigmaRules(app);
    if (loaded != nullptr) CopyBounded(folder, kFolderChars, SigmaRuleFolder(loaded));
    if (!UiFolderDialog(OwnerWindow(app),
                        u"Choose the folder of Sigma rule files (.yml and .yaml, sub-folders "
                        u"too). They replace the Sigma rules loaded now; the built-in rules stay.",
                        folder, kFolderChars)) {
        return;
    }
    LoadSigmaRulesFromFolder(app, folder, false);
}

bool LoadRulesBesideProgram(Recording* app, const char16_t* programPath,
                            const Progress* progress) {
    SetRecorderImageForSigma(app, programPath);
    char16_t folder[kFolderChars];
    if (!RulesFolderBeside(programPath, folder, kFolderChars)) return false;
    bool isFolder = false;
    if (!ReadFileAttributes(folder, &isFolder) || !isFolder) return false;
    return OutcomeOk(LoadSigmaRuleFiles(app, folder, progress));
}

bool LoadRulesBesideProgram(Recording* app, const char16_t* programPath) {
    const Progress progress = WindowProgress(OwnerWindow(app));
    return LoadRulesBesideProgram(app, programPath, &progress);
}

} // namespace olv
