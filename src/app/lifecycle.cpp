#include "app/lifecycle.h"

#include "app/file_commands.h"
#include "app/machine_check.h"
#include "app/outcome_box.h"
#include "app/view_controls.h"
#include "app/window_state.h"
#include "base/atomic.h"
#include "base/format.h"
#include "base/product.h"
#include "base/text.h"
#include "capture/script_logging.h"
#include "capture/event_queue.h"
#include "capture/trace_controller.h"
#include "launcher/target_launcher.h"
#include "platform/drives.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "platform/thread.h"
#include "platform/time.h"
#include "platform/ui.h"
#include "record/row_kind.h"
#include "report/completeness.h"
#include "report/discard.h"
#include "platform/lock.h"
#include "views/row_facts_flow.h"
#include "views/row_store.h"
#include "views/sigma_rows.h"
#include "views/sigma_texts.h"
#include "views/yara_rows.h"
#include "report/view_refresh.h"
#include "views/view_texts.h"

namespace olv {

// The product has no web page of its own: "About" names the program and its version.
namespace {

constexpr const char16_t* kCaption = kProductName;

// The window's answer to the question whether to stop another program's kernel trace session.
bool AskTakeOverInBox(void* context, const char16_t* question) {
    return UiMessageBox(OwnerWindow(static_cast<Recording*>(context)), question, kCaption,
                        kIconWarning, kButtonsYesNoDefaultNo) == kAnswerYes;
}
// "ETW: " or "Launch: ", a subsystem's error text of at most 512 characters, and the program's
// path.
constexpr size_t kFailureChars = 1200;
static_assert(kFailureChars <= kOutcomeTextChars, "the outcome holds the failure whole");

bool Failed(char16_t (&failure)[kFailureChars], OutcomeCode* code, OutcomeCode what,
            const char16_t* text) {
    CopyBounded(failure, kFailureChars, text);
    *code = what;
    return false;
}
constexpr const char16_t kDroppedPathTooLong[] =
    u"The dropped file's path is longer than 259 characters, so Olvetta could not start it. "
    u"The path box is unchanged.";

constexpr char16_t kTraceEndedCaption[] = u"ETW Error";

void Message(Recording* app, const char16_t* text, int icon) {
    UiMessageBox(OwnerWindow(app), text, kCaption, icon, kButtonsOk);
}

// The window's Start side (the path box, Browse, Start) is usable while nothing records, Stop
// while something does. Nothing without a window.
void EnableRecordingControls(Recording* app, bool recording) {
    const MainWindow* w = app->window;
    if (w == nullptr) return;
    UiEnable(w->startButton, !recording);
    UiEnable(w->stopButton, recording);
    UiEnable(w->targetEdit, !recording);
    UiEnable(w->browseButton, !recording);
}

void SetIdleControls(Recording* app) {
    EnableRecordingControls(app, false);
    UpdateStatusBar(app);
}

// The rows the window makes itself carry the UTC instant beside their local time, as the trace's
// rows do, so that files can give it whatever the time zone did meanwhile.
void StampNow(EventRow* row) {
    const int64_t now = NowTicks();
    row->timestamp = static_cast<uint64_t>(now);
    FileTimeToLocalTime(now, &row->time);
}

void AddStartedProcessRow(Recording* app, const char16_t* path, const char16_t* arguments,
                          uint32_t pid, const char16_t* fileName) {
    EventRow row{};
    StampNow(&row);
    SetRowKind(&row, RowKind::StartedProcess);
    row.pid = pid;
    row.parentPid = CurrentProcessId();
    CopyBounded(row.process, kProcessChars, fileName);
    FormatText(row.path, kPathChars, u"\"%s\"", path);
    // With arguments the row shows the whole command line the program was given.
    if (arguments != nullptr && arguments[0] != 0)
        AppendFormat(row.path, kPathChars, u" %s", arguments);
    FormatText(row.detail, kDetailChars, u"Investigation target / PID: %lu", pid);
    CopyBounded(row.result, kResultChars, u"OK");
    AppendRow(app, &row);
}

void FillRecordingInfo(Recording* app, const char16_t* path) {
    RecordingInfo& info = app->recordingInfo;
    info = RecordingInfo{};
    info.blockSize = kRecordingInfoSize;
    info.toolVersion = kToolVersion;
    CopyBounded(info.tool, 64, kProductName);
    CopyBounded(info.target, 520, path);
    uint32_t major = 0, minor = 0, build = 0;
    if (QueryWindowsVersion(&major, &minor, &build)) {
        info.windowsMajor = major;
        info.windowsMinor = minor;
        info.windowsBuildNumber = build;
    }
    info.utcBias = CurrentUtcBias();
    info.started = LocalNow();
    app->recordingInfoValid = 1;
    app->cleared = ClearedRows{};
    app->lossesBeforeResume = LossesBeforeResume{};
    // This program starts the examined one: the rules see it as that program's parent.
    app->origin = RecordingOrigin{};
    app->origin.blockSize = kRecordingOriginSize;
    CopyBounded(app->origin.recorderImage, 520, SigmaRecorderImageOf(app));
    UseRecordingOriginForSigma(app);
}

bool MakeRecording(Recording* app, const StartRequest& request,
                   char16_t (&failure)[kFailureChars], OutcomeCode* code) {
    static const char16_t kNoMemory[] = u"There is not enough memory to start recording.";
    const char16_t* path = request.path;
    const char16_t* arguments = request.arguments;
    if (!MakeEventQueue(app)) return Failed(failure, code, OutcomeCode::kNoMemory, kNoMemory);

    app->trace = AllocRecord<TraceController>();
    if (app->trace == nullptr) return Failed(failure, code, OutcomeCode::kNoMemory, kNoMemory);
    ResetTraceController(app->trace);
    app->trace->takeOver = request.takeOver;
    app->trace->takeOverContext = request.takeOverContext;
    // Before the sessions start, so that the first block the program runs is logged. (What an
    // earlier recorder left on went back when this program started, and goes back here first.)
    if (app->scriptLogging != 0) {
        ScriptLoggingResult logging{};
        if (TurnOnScriptLogging(&logging)) {
            app->scriptLoggingOn = 1;
            app->recordingInfo.flags |= scriptLoggingTurnedOn;
        } else {
            app->recordingInfo.flags |= scriptLoggingRefused;
        }
    }
    if (!StartKernelSession(app->trace, OwnerWindow(app), app)) {
        FormatText(failure, kFailureChars, u"ETW: %s", app->trace->errorText);
        *code = OutcomeCode::kTraceError;
        return false;
    }

    app->launcher = AllocRecord<TargetLauncher>();
    if (app->launcher == nullptr) return Failed(failure, code, OutcomeCode::kNoMemory, kNoMemory);
    InitLauncher(app->launcher);
    if (!LaunchTargetWithArguments(app->launcher, path, arguments, OwnerWindow(app))) {
        FormatText(failure, kFailureChars, u"Launch: %s\n\nProgram: %.500s", app->launcher->errorText,
                   path);
        *code = OutcomeCode::kLaunchError;
        return false;
    }

    const uint32_t pid = app->launcher->processInfo.processId;
    const char16_t* fileName = PathFileName(path);
    // Followed from just before its creation: the image loads that creating it logged count,
    // events of an earlier process with the same id that the trace still holds do not.
    TrackLaunchedProcess(&app->trace->tracking, pid, fileName, app->launcher->launchedAt);
    AddStartedProcessRow(app, path, arguments, pid, fileName);

    app->launchedWithoutJob = app->launcher->job == nullptr ? 1 : 0;
    if (app->launcher->job == nullptr) app->recordingInfo.flags |= noJobObject;
    // A DNS session that started and already ended by itself is reported as ended early, not as
    // never recorded.
    if (AtomicLoad8(app->trace->dnsOn) == 0 && AtomicLoad8(app->trace->dnsEndedEarly) == 0) {
        app->recordingInfo.flags |= dnsNotRecorded;
    }
    if (app->trace->processOpensOn == 0) app->recordingInfo.flags |= processOpensNotRecorded;
    if (app->trace->foreignSessionStopped != 0) {
        app->recordingInfo.flags |= foreignKernelSessionStopped;
    }

    NoteProgramResumed(app->trace); // what the trace lost so far was not the program's doing
    if (!ResumeTarget(app->launcher)) {
        return Failed(failure, code, OutcomeCode::kLaunchError,
                      u"The program was created but could not be started. Nothing was recorded.");
    }
    return true;
}

bool IsBlank(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
}

// Removes blanks at both ends; returns the new length.
size_t TrimBlanks(char16_t* text) {
    size_t length = TextLength(text);
    size_t start = 0;
    while (start < length && IsBlank(text[start]))
        ++start;
    while (length > start && IsBlank(text[length - 1]))
        --length;
    for (size_t i = start; i < length; ++i)
        text[i - start] = text[i];
    text[length - start] = 0;
    return length - start;
}

} // namespace

const char16_t kPathTooLong[] =
    u"The path is longer than 259 characters. Windows cannot start a program from it, so "
    u"nothing was started.";

namespace {

bool HasDriveLetter(const char16_t* path) {
    if (path == nullptr) return false;
    const char16_t letter = FoldAscii(path[0]);
    return letter >= u'a' && letter <= u'z' && path[1] == u':';
}

// The type of the path's drive as this process sees it; unknown for a path without a letter.
uint32_t DriveTypeOf(const char16_t* path) {
    if (!HasDriveLetter(path)) return kDriveTypeUnknown;
    const char16_t root[4] = {path[0], u':', u'\\', 0};
    return QueryDriveType(root);
}

} // namespace

bool OnUnseenMappedDrive(const char16_t* path, uint32_t driveType) {
    return HasDriveLetter(path) && (driveType == kDriveRemote || driveType == kDriveNoRootDir);
}

void FormatProgramNotFound(const char16_t* path, uint32_t driveType, char16_t* out,
                           size_t capacity) {
    if (!OnUnseenMappedDrive(path, driveType)) {
        CopyBounded(out, capacity, u"File not found.");
        return;
    }
    const char16_t drive[3] = {path[0], u':', 0};
    const char16_t* seen =
        driveType == kDriveNoRootDir
            ? u"Drive %s is not there for Olvetta. "
            : u"Drive %s is a network drive, and what it leads to here does not hold the file. ";
    char16_t first[160];
    FormatText(first, 160, seen, drive);
    FormatText(out, capacity,
               u"File not found.\n\n%sA network drive that the signed-in user mapped to a letter "
               u"is not seen by programs run as administrator, as Olvetta is, or leads elsewhere "
               u"for them. Choose the program by its network path instead, in the form "
               u"\\\\server\\share\\folder\\program.exe.",
               first);
}

bool TrimPastedPath(char16_t* path) {
    if (path == nullptr) return false;
    const size_t before = TextLength(path);
    size_t length = TrimBlanks(path);
    if (length >= 2 && path[0] == u'"' && path[length - 1] == u'"') {
        for (size_t i = 1; i + 1 < length; ++i)
            path[i - 1] = path[i];
        path[length - 2] = 0;
        // Blanks inside the quotes belong to the path only if a file is named so; Windows
        // drops trailing blanks of a name anyway, and leading ones are never meant.
        length = TrimBlanks(path);
    }
    return length != before;
}

bool IsExeFileName(const char16_t* name) {
    size_t n = TextLength(name);
    return n >= 4 && EqualsFolded(name + n - 4, u".exe");
}

// Puts the script logging policy back when this recording turned it on. A value that cannot go
// back now stays kept, and the next start puts it back.
void PutBackScriptLogging(Recording* app) {
    if (app->scriptLoggingOn == 0) return;
    RestoreScriptLogging(nullptr);
    app->scriptLoggingOn = 0;
}

void ResetFailedStart(Recording* app) {
    ReleaseLauncherOf(app);
    ReleaseTraceOf(app);
    PutBackScriptLogging(app);
    FreeEventQueue(app);
    AtomicExchange(app->droppedHere, 0);
    AtomicExchange(app->textsCutHere, 0);
    app->keptCounts = KeptCounts{};
    ClearRows(app);
    app->recordingInfo = RecordingInfo{};
    app->recordingInfoValid = 0;
    app->cleared = ClearedRows{};
    app->lossesBeforeResume = LossesBeforeResume{};
    app->origin = RecordingOrigin{};
    UseRecordingOriginForSigma(app);
    app->recording = 0;
    SetIdleControls(app);
}

Outcome CheckProgramPath(const char16_t* path) {
    Outcome result = OkOutcome();
    if (path == nullptr || path[0] == 0) {
        SetOutcome(&result, OutcomeCode::kBadInput, kIconWarning,
                   u"Choose the EXE file to run first.");
    } else if (TextLength(path) >= kTargetPathChars) {
        SetOutcome(&result, OutcomeCode::kBadInput, kIconError, kPathTooLong);
    } else {
        bool isFolder = false;
        if (!ReadFileAttributes(path, &isFolder)) {
            char16_t text[640];
            FormatProgramNotFound(path, DriveTypeOf(path), text, 640);
            SetOutcome(&result, OutcomeCode::kBadInput, kIconError, text);
        }
    }
    return result;
}

namespace {

// A row whose facts came is matched; one that must now be shown where it was not rebuilds the
// shown rows.
void MatchWithFacts(Recording* app, int32_t index, void* context) {
    if (MatchRowWithFacts(app, index)) *static_cast<bool*>(context) = true;
}

void AfterFacts(Recording* app, int32_t handed, bool appears) {
    if (appears) {
        RebuildShownRows(app);
    } else if (handed > 0) {
        MarkRepaint(&app->changes, kRepaintItems);
    }
}

void PollYaraNow(Recording* app) {
    if (app->yara == nullptr) return;
    int32_t rose;
    {
        LockGuard rows(&app->rowsLock);
        rose = PollYaraRows(app);
    }
    if (rose > 0 && app->view.suspiciousOnly != 0) RebuildShownRows(app);
    else if (rose > 0) MarkRepaint(&app->changes, kRepaintItems);
}

void PollFactsNow(Recording* app) {
    PollYaraNow(app);
    if (app->rowFacts == nullptr) return;
    bool appears = false;
    int32_t handed;
    {
        LockGuard rows(&app->rowsLock);
        handed = PollRowFacts(app, NowTicks(), MatchWithFacts, &appears);
    }
    AfterFacts(app, handed, appears);
}

void StopFactsNow(Recording* app) {
    if (app->yara != nullptr) {
        // Scans of files closed at the end are still taken, within a bounded wait.
        int32_t rose;
        {
            LockGuard rows(&app->rowsLock);
            rose = StopYaraRows(app, 2000);
        }
        if (rose > 0 && app->view.suspiciousOnly != 0) RebuildShownRows(app);
        else if (rose > 0) MarkRepaint(&app->changes, kRepaintItems);
    }
    if (app->rowFacts == nullptr) return;
    PollFactsNow(app); // what was read by now is kept
    bool appears = false;
    {
        LockGuard rows(&app->rowsLock);
        StopRowFacts(app, 2000, MatchWithFacts, &appears);
    }
    AfterFacts(app, 1, appears);
}

} // namespace

Outcome StartRecording(Recording* app, const StartRequest& request) {
    // F5 and a posted click reach here too: a running recording is never started again.
    if (app->recording != 0) {
        Outcome busy{};
        SetOutcome(&busy, OutcomeCode::kBusy, kIconWarning, u"");
        return busy;
    }
    Outcome result = CheckProgramPath(request.path);
    if (!OutcomeOk(result)) return result;
    const char16_t* path = request.path;
    ClearRows(app);
    app->sessionName[0] = 0; // the rows are a recording's from now on
    app->traceEndedEarly = 0;
    FillRecordingInfo(app, path);
    AtomicExchange(app->droppedHere, 0);
    AtomicExchange(app->textsCutHere, 0);
    app->keptCounts = KeptCounts{}; // a session opened before keeps its counts no more
    app->timerTicks = 0;
    EmptyEventQueue(app);

    // The rows' facts are read beside the recording; without the worker they stay unknown. It
    // runs before the launch, so the examined program's own start row asks for its facts too.
    if (app->readFacts != 0) {
        StartRowFacts(app, app->factsConfig);
        StartYaraRows(app, nullptr);
    }
    char16_t failure[kFailureChars];
    OutcomeCode code = OutcomeCode::kOk;
    if (!MakeRecording(app, request, failure, &code)) {
        FreeRowFacts(app);
        ForgetYaraRows(app);
        NoteMachineCheckStartFailure(app, failure);
        SetOutcome(&result, code, kIconError, failure);
        ResetFailedStart(app);
        return result;
    }

    app->recording = 1;
    EnableRecordingControls(app, true);
    UiSetTimer(OwnerWindow(app), TIMER_DRAIN, 100);
    UpdateStatusBar(app);
    return result;
}

void StartMonitoring(Recording* app) {
    StartMonitoringWithArguments(app, nullptr);
}

void StartMonitoringWithArguments(Recording* app, const char16_t* arguments) {
    if (app->recording != 0) return;
    char16_t path[kTargetTextChars] = {};
    UiGetText(app->window->targetEdit, path, kTargetTextChars);
    // The box then shows the path that was started.
    if (TrimPastedPath(path)) UiSetText(app->window->targetEdit, path);
    if (!ShowOutcome(OwnerWindow(app), CheckProgramPath(path))) return;
    int32_t rowCount;
    {
        LockGuard guard(&app->rowsLock);
        rowCount = app->rowCount;
    }
    if (rowCount > 0) {
        char16_t question[512];
        FormatText(question, 512,
                   u"There are still %d rows from the last run here.\n\nStarting again clears "
                   u"them, so that one record holds one run. Save them first if you need "
                   u"them.\n\nStart anyway?",
                   rowCount);
        if (UiMessageBox(OwnerWindow(app), question, kCaption, kIconWarning,
                         kButtonsYesNoDefaultNo) != kAnswerYes) {
            return;
        }
    }
    StartRequest request{};
    request.path = path;
    request.arguments = arguments;
    request.takeOver = AskTakeOverInBox;
    request.takeOverContext = app;
    const Outcome started = StartRecording(app, request);
    ShowOperationNames(app);
    ShowOutcome(OwnerWindow(app), started);
}

Outcome StopRecording(Recording* app) {
    Outcome result = OkOutcome();
    if (app->recording == 0) return result;
    UiKillTimer(OwnerWindow(app), TIMER_DRAIN);

    bool notEnded = false;
    if (app->launcher != nullptr) {
        EndTarget(app->launcher);
        notEnded = app->launcher->notEnded != 0;
    }
    DrainEventQueue(app);

    if (app->trace != nullptr) {
        uint32_t counters[kTrackingCounterCount] = {};
        ReadTrackingCounters(&app->trace->tracking, counters);
        app->recordingInfo.keyNamesWhileRunning = counters[kKeyNamesKnown];
        StopTraceSessions(app->trace);
        GatherCompletenessCounters(app);
        if (app->queueBytes != nullptr) DrainEventQueue(app);
        RepairRegistryKeyPaths(app);
        GatherCompletenessCounters(app);
        // The rows still waiting for their facts are matched without those not read yet.
        StopFactsNow(app);
        // No image load will come any more: the starts still waiting for theirs are matched.
        MatchDeferredRowsAtStop(app);
        ReleaseTraceOf(app);
    }
    StopFactsNow(app); // without a trace too: no row waits past Stop
    PutBackScriptLogging(app);
    // The program was ended in step 2; this finds nothing left and releases the launcher.
    ReleaseLauncherOf(app);
    app->recordingInfo.stopped = LocalNow();
    app->origin.stopUtcBias = CurrentUtcBias();
    app->origin.flags |= stopUtcBiasKnown;
    app->recording = 0;

    if (app->queueBytes != nullptr) {
        const uint32_t waiting = QueuedRowCount(app);
        if (waiting > 0) {
            app->recordingInfo.droppedHere = AtomicAdd(app->droppedHere, waiting);
        }
    }
    FreeEventQueue(app);
    SetIdleControls(app);
    RefreshViewWindows(app); // the open tree and summary show the whole recording

    if (notEnded) {
        SetOutcome(&result, OutcomeCode::kProgramLeftRunning, kIconWarning,
                   u"Recording has stopped, but the program being examined could not be ended "
                   u"and may still be running.");
    }
    return result;
}

void StopMonitoring(Recording* app) {
    if (app->recording == 0) return;
    const Outcome stopped = StopRecording(app);
    ShowOperationNames(app);
    ShowOutcome(OwnerWindow(app), stopped);
    FinishMachineCheck(app); // a check's recording is judged once it has stopped
}

void HandleTimerTick(Recording* app, uintptr_t timerId) {
    if (timerId != TIMER_DRAIN) return;
    bool refreshViews = false;
    if (app->recording != 0 && app->trace != nullptr) {
        // Windows' loss figures are asked every tick, not only with the other counters once a
        // second: a session that is taken over answers no more, and what it said last is what
        // the notes will report.
        ReadLossFigures(app->trace);
        if (++app->timerTicks >= 10) {
            app->timerTicks = 0;
            GatherCompletenessCounters(app);
            refreshViews = true;
        }
    }
    IngestQueuedRows(app);
    PollFactsNow(app);
    ShowOperationNames(app);
    if (refreshViews) RefreshViewWindows(app, false); // at most once a second, when rows came
    RefreshSigmaRulesCounts(app); // nothing unless rows matched since the last tick
    UpdateStatusBar(app);
    MachineCheckTick(app);
}

void HandleTargetExited(Recording* app, uintptr_t exitCode) {
    if (app->recording == 0) return;
    EventRow row{};
    StampNow(&row);
    SetRowKind(&row, RowKind::TargetProcessExited);
    FormatText(row.detail, kDetailChars, u"Exit code: %lu (seen by Olvetta)",
               static_cast<uint32_t>(exitCode));
    CopyBounded(row.result, kResultChars, u"OK");
    if (app->launcher != nullptr) row.pid = app->launcher->processInfo.processId;
    AppendRow(app, &row);
    ShowOperationNames(app);
    if (app->launcher != nullptr) TargetExited(app->launcher);
    UpdateStatusBar(app);
}

Outcome TakeTraceStopped(Recording* app, intptr_t text) {
    Outcome result = OkOutcome();
    if (text == 0) return result;
    char16_t* message = reinterpret_cast<char16_t*>(text);
    if (app->recording != 0) app->traceEndedEarly = 1;
    NoteMachineCheckTraceEnded(app);
    SetOutcome(&result, OutcomeCode::kTraceError, kIconError, message);
    SetOutcomeCaption(&result, kTraceEndedCaption);
    FreeBlock(message);
    return result;
}

Outcome TakeThreadNotices(Recording* app) {
    uint32_t exitCode = 0;
    if (TakeExitNotice(app->launcher, &exitCode)) HandleTargetExited(app, exitCode);
    return TakeTraceStopped(app, reinterpret_cast<intptr_t>(TakeTraceEndedNotice(app->trace)));
}

void HandleTraceStopped(Recording* app, intptr_t text) {
    if (text == 0) return;
    // The box first: the recording stops once the user has read why.
    ShowOutcome(OwnerWindow(app), TakeTraceStopped(app, text));
    StopMonitoring(app);
}

void HandleDroppedFile(Recording* app, const char16_t* name) {
    if (name == nullptr || name[0] == 0) return;
    if (TextLength(name) >= kTargetPathChars) {
        Message(app, kDroppedPathTooLong, kIconWarning);
    } else if (IsExeFileName(name)) {
        UiSetText(app->window->targetEdit, name);
    } else if (IsSessionFileName(name)) {
        OpenDroppedSession(app, name);
    } else {
        Message(app, u"Please drop an EXE file.", kIconWarning);
    }
}

bool HandlePostedMessage(Recording* app, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    if (message == WM_APP_TARGET_EXITED) {
        HandleTargetExited(app, wParam);
    } else if (message == WM_APP_TRACE_STOPPED) {
        HandleTraceStopped(app, lParam);
    } else {
        return false;
    }
    return true;
}

bool HandleCloseRequest(Recording* app) {
    if (app->sessionReading != 0 || app->sigmaLoading != 0) return false; // Cancel ends the work
    return ConfirmDiscardingRows(app, kDiscardByClose);
}

Outcome ClearRecording(Recording* app) {
    CountClearedRows(app);
    ClearRows(app);
    return OkOutcome();
}

void ClearRowsAsked(Recording* app) {
    if (!ConfirmDiscardingRows(app, kDiscardByClear)) return;
    ClearRecording(app);
    ShowOperationNames(app);
}

void HandleDestroy(Recording* app) {
    StopMonitoring(app);
}

} // namespace olv
