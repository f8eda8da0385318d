#include "cli/cli_run.h"

#include <atomic>

#include "app/app_state.h"
#include "app/commands.h"
#include "app/lifecycle.h"
#include "app/sigma_commands.h"
#include "app/window_layout.h"
#include "base/format.h"
#include "base/text.h"
#include "capture/trace_controller.h"
#include "cli/cli_text.h"
#include "export/exports.h"
#include "launcher/target_launcher.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "platform/process.h"
#include "platform/sim/headless_ui.h"
#include "platform/thread.h"
#include "platform/time.h"
#include "platform/ui.h"
#include "report/completeness.h"
#include "tracking/tracking_state.h"
#include "views/sigma_rows.h"

namespace olv {

const char16_t kCliUsage[] =
    u"usage: olvetta-cli record [options] -- PROGRAM [ARGUMENTS...]\n"
    u"       olvetta-cli analyze SESSION.ols [options]\n"
    u"       olvetta-cli selftest [options]\n"
    u"       olvetta-cli --help | --version\n"
    u"\n"
    u"record    runs PROGRAM as the window's Start does (suspended, in a job that ends it and\n"
    u"          everything it started at Stop) and records it; Ctrl+C, Ctrl+Break or closing\n"
    u"          the console stop cleanly and still write every file; a second Ctrl+C ends\n"
    u"          after the file being written.\n"
    u"analyze   opens a session file, applies the rules and the view, writes the files.\n"
    u"selftest  records a helper program (this program, started again) doing a known set of\n"
    u"          things and prints which of them the trace saw, with the likely reason of each\n"
    u"          one missing. It leaves nothing behind.\n"
    u"\n"
    u"options:\n"
    u"  --out DIR        the folder for the files (made when missing; default: a new folder\n"
    u"                   named after the program and the start time, in the current folder)\n"
    u"  --seconds N      record at most N seconds (default 120; selftest 30)\n"
    u"  --until-exit     stop once the program and every process it started have ended\n"
    u"  --formats LIST   any of session,json,jsonl,csv (record: session,json; analyze: json)\n"
    u"  --rules DIR      Sigma rules (default: the \"rules\" folder beside the program)\n"
    u"  --fail-on LEVEL  low, medium or high: exit 4 when a row reaches that severity\n"
    u"  --hide CATEGORY  file, registry, network or process (repeatable), for csv/json/jsonl\n"
    u"  --suspicious     only rows with a severity, for csv/json/jsonl\n"
    u"  --operation NAME only rows of that operation, for csv/json/jsonl\n"
    u"  --filter TEXT    only rows holding the text, for csv/json/jsonl\n"
    u"  --quiet          no progress line\n"
    u"\n"
    u"exit codes (when several apply the highest wins; 1 and 2 end the run by themselves):\n"
    u"  0  complete, and no row reached --fail-on (selftest: every check found)\n"
    u"  1  usage error\n"
    u"  2  the recording could not start, the session could not be opened, or a file could\n"
    u"     not be written (the message is on standard error)\n"
    u"  3  the record is incomplete (a completeness note), or files were left out\n"
    u"  4  a row reached the --fail-on level\n"
    u"  5  selftest: some checks are missing\n";

namespace {

constexpr uint32_t kTickMs = 100;
constexpr uint32_t kTicksPerProgress = 10;
constexpr uint32_t kGraceTicks = 10; // after the program tree has ended, for the last events
constexpr size_t kPathTextChars = 1024;
constexpr size_t kLineChars = 2048;
constexpr size_t kNotesChars = 8600;

std::atomic<int> gStopLevel{0};
std::atomic<bool> gFinished{false};

struct Run {
    const CliPlatform* platform;
    const CliOptions* options;
    AppState* app;
    uint32_t messagesPrinted;
    CliOutcome outcome;
    char16_t folder[kPathTextChars];
    bool madeFolder;
    char16_t files[4][kPathTextChars];
    int fileCount;
    char16_t startFailure[600];
};

void Say(Run* r, int stream, const char16_t* text) {
    r->platform->writeLine(r->platform->context, stream, text);
}

void SayProblem(Run* r, const char16_t* text) {
    char16_t line[kLineChars];
    FormatText(line, kLineChars, u"olvetta: %s", text);
    Say(r, kCliStderr, line);
}

// The window's message boxes, as lines on standard error: errors and warnings only (an export's
// "written" confirmation is the result line's business). Line breaks become blanks.
// A message box's text on one line: line breaks become one blank.
void OneLine(const char16_t* in, char16_t* text, size_t capacity) {
    size_t n = 0;
    for (const char16_t* p = in; *p != 0 && n + 1 < capacity; ++p) {
        if (*p == u'\r') continue;
        if (*p == u'\n') {
            if (n > 0 && text[n - 1] != u' ') text[n++] = u' ';
            continue;
        }
        text[n++] = *p;
    }
    text[n] = 0;
}

void PrintNewMessages(Run* r) {
    const HeadlessUi* model = HeadlessModel();
    for (; r->messagesPrinted < model->messageBoxCount; ++r->messagesPrinted) {
        const HeadlessMessageBox* box = HeadlessMessageBoxAt(r->messagesPrinted);
        if (box == nullptr || box->icon == kIconInformation) continue;
        char16_t text[kHeadlessMessageChars];
        OneLine(box->text, text, kHeadlessMessageChars);
        // Nobody is there to answer: a question (taking the kernel session from another
        // program) is answered No, and says so.
        if (box->buttons == kButtonsYesNoDefaultNo)
            AppendBounded(text, kHeadlessMessageChars,
                          box->answer == kAnswerYes ? u" Yes." : u" No.");
        SayProblem(r, text);
        if (box->icon == kIconError && r->startFailure[0] == 0)
            CopyBounded(r->startFailure, 600, text);
    }
}

void PumpPostedMessages(AppState* app) {
    HeadlessPostedMessage m{};
    while (HeadlessTakePostedMessage(&m))
        HandlePostedMessage(app, m.message, m.wParam, m.lParam);
}

CliCounts CountRows(AppState* app) {
    CliCounts c{};
    LockGuard guard(&app->rowsLock);
    c.rows = static_cast<uint32_t>(app->rowCount);
    for (int32_t i = 0; i < app->rowCount; ++i) {
        const uint32_t s = app->rows[i].severity;
        if (s >= 3) {
            ++c.high;
        } else if (s == 2) {
            ++c.medium;
        } else if (s == 1) {
            ++c.low;
        }
    }
    return c;
}

uint64_t LostEvents(const AppState* app) {
    const RecordingInfo& info = app->recordingInfo;
    return uint64_t{info.droppedHere} + info.eventsLostByWindows + info.buffersLostByWindows +
           info.unreadableRecords;
}

bool ReachedFailOn(const CliCounts& c, uint32_t failOn) {
    if (failOn == 0) return false;
    const uint32_t atOrAbove = failOn == 1   ? c.low + c.medium + c.high
                               : failOn == 2 ? c.medium + c.high
                                             : c.high;
    return atOrAbove > 0;
}

bool RecordIncomplete(AppState* app) {
    char16_t* notes = static_cast<char16_t*>(AllocZeroed(kNotesChars * sizeof(char16_t)));
    if (notes == nullptr) return true; // not known to be complete
    const int32_t lines = BuildCompletenessNotes(app, notes, kNotesChars, u"");
    FreeBlock(notes);
    return lines > 0;
}

int64_t DurationTicks(const RecordingInfo& info) {
    int64_t a = 0, b = 0;
    if (!UtcSystemTimeToTicks(info.started, &a) || !UtcSystemTimeToTicks(info.stopped, &b))
        return 0;
    return b > a ? b - a : 0;
}

void SayError(Run* r, const char16_t* what, const char16_t* path, uint32_t error) {
    char16_t system[kSystemErrorTextChars];
    SystemErrorText(error, system, kSystemErrorTextChars);
    char16_t text[kLineChars];
    FormatText(text, kLineChars, u"%s \"%s\": %s", what, path, system);
    SayProblem(r, text);
}

// Makes sure files can be written into the folder: a probe file created and deleted.
bool FolderIsWritable(Run* r, const char16_t* folder) {
    char16_t probe[kPathTextChars];
    JoinPath(folder, u".olvetta-write-check", r->platform->pathSeparator, probe, kPathTextChars);
    uint32_t error = 0;
    FileHandle file = CreateNewFile(probe, &error);
    if (file == nullptr && error == kErrorFileExists) {
        DeleteFilePath(probe); // left by a run that was killed
        file = CreateNewFile(probe, &error);
    }
    if (file == nullptr) {
        SayError(r, u"Files cannot be written into the folder", folder, error);
        return false;
    }
    CloseFile(file);
    DeleteFilePath(probe);
    return true;
}

// The output folder: --out (used when it is there, made when it is not), else a new folder
// named after the program and the start time in the current folder. False with a message.
bool PrepareOutputFolder(Run* r, const char16_t* programPath, const SystemTime& start) {
    const CliOptions* o = r->options;
    uint32_t error = 0;
    if (o->out != nullptr) {
        CopyBounded(r->folder, kPathTextChars, o->out);
        bool isFolder = false;
        if (ReadFileAttributes(r->folder, &isFolder)) {
            if (!isFolder) {
                SayError(r, u"The output folder is a file", r->folder, 267); // ERROR_DIRECTORY
                return false;
            }
        } else if (!CreateFolder(r->folder, &error)) {
            SayError(r, u"The output folder cannot be made", r->folder, error);
            return false;
        } else {
            r->madeFolder = true;
        }
    } else {
        bool made = false;
        for (int attempt = 1; attempt <= 100 && !made; ++attempt) {
            OutputFolderName(programPath, start, attempt, r->folder, kPathTextChars);
            made = CreateFolder(r->folder, &error);
            if (!made && error != kErrorAlreadyExists && error != kErrorFileExists) break;
        }
        if (!made) {
            SayError(r, u"The output folder cannot be made", r->folder, error);
            return false;
        }
        r->madeFolder = true;
    }
    if (!FolderIsWritable(r, r->folder)) {
        if (r->madeFolder) RemoveEmptyFolder(r->folder);
        r->madeFolder = false;
        return false;
    }
    return true;
}

// Sets the view as a user would, with the notifications the window sends. False when the
// operation was never recorded (the combo box does not offer it).
bool ApplyView(Run* r) {
    static const int kBoxes[4] = {kIdFileCheck, kIdRegistryCheck, kIdNetworkCheck, kIdProcessCheck};
    const CliOptions* o = r->options;
    AppState* app = r->app;
    for (int c = 0; c < 4; ++c) {
        if (o->hide[c] == 0) continue;
        HeadlessSetCheck(kBoxes[c], kUnchecked);
        DispatchCommand(app, (uintptr_t{kBnClicked} << 16) | static_cast<uintptr_t>(kBoxes[c]));
    }
    if (o->suspicious != 0) {
        HeadlessSetCheck(kIdSuspiciousCheck, kChecked);
        DispatchCommand(app, (uintptr_t{kBnClicked} << 16) | kIdSuspiciousCheck);
    }
    if (o->operation != nullptr) {
        int found = -1;
        for (int i = 1; HeadlessComboItem(i) != nullptr && found < 0; ++i) {
            if (TextEquals(HeadlessComboItem(i), o->operation)) found = i;
        }
        if (found < 0) {
            char16_t text[kLineChars];
            FormatText(text, kLineChars,
                       u"No row has the operation \"%s\", so the view cannot show it.",
                       o->operation);
            SayProblem(r, text);
            return false;
        }
        HeadlessSelectCombo(found);
        DispatchCommand(app, (uintptr_t{kCbnSelChange} << 16) | kIdOperationCombo);
    }
    if (o->filter != nullptr) {
        HeadlessSetText(kIdFilterEdit, o->filter);
        DispatchCommand(app, (uintptr_t{kEnChange} << 16) | kIdFilterEdit);
    }
    return true;
}

// Writes the chosen formats into the folder, the whole record first. From the interrupt level
// that skips (the second Ctrl+C of a recording, the first of an analysis) the exports not begun
// yet are left out; a recording's session file is still written, since it is the record itself
// and every export can be made again from it with analyze.
void WriteFiles(Run* r, int stopLevelThatSkips) {
    struct Format {
        uint32_t bit;
        const char16_t* name;
        bool (*write)(AppState*, const char16_t*);
    };
    static const Format kFormats[] = {
        {kCliFormatSession, u"recording.ols", SaveSessionToPath},
        {kCliFormatJson, u"recording.json", ExportJsonToPath},
        {kCliFormatJsonl, u"recording.jsonl", ExportJsonLinesToPath},
        {kCliFormatCsv, u"recording.csv", ExportCsvToPath},
    };
    bool viewSet = false;
    bool viewOk = true;
    for (const Format& f : kFormats) {
        if ((r->options->formats & f.bit) == 0) continue;
        const bool keep = f.bit == kCliFormatSession && stopLevelThatSkips > 1;
        if (!keep && CliStopLevel() >= stopLevelThatSkips) {
            char16_t text[kLineChars];
            FormatText(text, kLineChars, u"Stopped at once: %s was not written.", f.name);
            SayProblem(r, text);
            r->outcome.incomplete = true;
            continue;
        }
        // The session holds every row; the other formats the rows the view shows.
        if (f.bit != kCliFormatSession && !viewSet) {
            viewSet = true;
            viewOk = ApplyView(r);
        }
        if (f.bit != kCliFormatSession && !viewOk) {
            r->outcome.notStarted = true;
            continue;
        }
        char16_t path[kPathTextChars];
        JoinPath(r->folder, f.name, r->platform->pathSeparator, path, kPathTextChars);
        const bool written = f.write(r->app, path);
        PrintNewMessages(r);
        if (written) {
            CopyBounded(r->files[r->fileCount++], kPathTextChars, path);
        } else {
            r->outcome.notStarted = true;
        }
    }
}

void SayResult(Run* r, bool complete) {
    const CliCounts counts = CountRows(r->app);
    const char16_t* names[4];
    for (int i = 0; i < r->fileCount; ++i)
        names[i] = r->files[i];
    char16_t line[kLineChars * 2];
    FormatResultLine(complete, counts, DurationTicks(r->app->recordingInfo), names, r->fileCount,
                     line, kLineChars * 2);
    Say(r, kCliStdout, line);
}

bool ProgramTreeEnded(AppState* app) {
    if (app->launcher == nullptr || app->trace == nullptr) return false;
    if (app->launcher->processHeld != 0) return false; // the program itself still runs
    return CountRunningFollowedProcesses(&app->trace->tracking,
                                         app->launcher->processInfo.processId) == 0;
}

// The recording from Start to Stop: one tick each 100 ms, a progress line each second.
void RunRecording(Run* r, bool untilExit) {
    AppState* app = r->app;
    const int64_t startTicks = NowTicks();
    const int64_t limit = int64_t{r->options->seconds} * kTicksPerSecond;
    uint32_t tick = 0;
    uint32_t endedTicks = 0;
    while (app->recording != 0) {
        SleepMilliseconds(kTickMs);
        HandleTimerTick(app, TIMER_DRAIN);
        PumpPostedMessages(app);
        PrintNewMessages(r);
        ++tick;
        const int64_t elapsed = NowTicks() - startTicks;
        if (r->options->quiet == 0 && tick % kTicksPerProgress == 0 && app->recording != 0) {
            char16_t line[kLineChars];
            FormatProgressLine(elapsed, CountRows(app), LostEvents(app), line, kLineChars);
            Say(r, kCliStderr, line);
        }
        if (CliStopLevel() > 0 || elapsed >= limit) break;
        if (untilExit && ProgramTreeEnded(app)) {
            if (++endedTicks >= kGraceTicks) break;
        } else {
            endedTicks = 0;
        }
    }
    if (app->recording != 0) StopMonitoring(app);
    PumpPostedMessages(app);
    PrintNewMessages(r);
}

// The Sigma rules, before anything is recorded or opened, so that every row meets them: the
// folder of --rules, else the "rules" folder beside the program when there is one (a load
// replaces the set, so the two are not combined). The loader's own summary is printed unless
// --quiet. False (with the reason) when the folder asked for cannot be loaded.
bool LoadRules(Run* r) {
    const CliPlatform* pf = r->platform;
    AppState* app = r->app;
    const uint32_t before = HeadlessModel()->messageBoxCount;
    bool ok = true;
    if (r->options->rules != nullptr) {
        // The recorder as the examined program's parent, as the beside-folder load names it.
        SetRecorderImageForSigma(app, pf->executablePath);
        ok = LoadSigmaRulesFromFolder(app, r->options->rules, false);
    } else {
        LoadRulesBesideProgram(app, pf->executablePath);
    }
    if (r->options->quiet == 0) {
        for (uint32_t i = before; i < HeadlessModel()->messageBoxCount; ++i) {
            const HeadlessMessageBox* box = HeadlessMessageBoxAt(i);
            if (box == nullptr || box->icon != kIconInformation) continue;
            char16_t text[kHeadlessMessageChars];
            OneLine(box->text, text, kHeadlessMessageChars);
            SayProblem(r, text);
        }
    }
    PrintNewMessages(r);
    return ok;
}

int Record(Run* r, bool selftest) {
    const CliOptions* o = r->options;
    const CliPlatform* pf = r->platform;
    AppState* app = r->app;

    char16_t program[kPathTextChars] = {};
    if (pf->prepareRecording != nullptr) {
        char16_t problem[kLineChars] = {};
        if (!pf->prepareRecording(pf->context, o, selftest, program, kPathTextChars, problem,
                                  kLineChars)) {
            SayProblem(r, problem);
            r->outcome.usage = true;
            return ChooseExitCode(r->outcome);
        }
    } else {
        CopyBounded(program, kPathTextChars, selftest ? pf->executablePath : o->program);
    }

    SelftestPlan plan{};
    static char16_t arguments[kLauncherCommandLineChars];
    arguments[0] = 0;
    if (selftest) {
        if (pf->selftestPlan != nullptr) {
            pf->selftestPlan(pf->context, &plan);
        } else {
            MakeSelftestPlan(pf->tempFolder, CurrentProcessId(), NowTicks(), &plan);
        }
        SelftestHelperArguments(plan, arguments, kLauncherCommandLineChars);
    } else if (!BuildArgumentText(o->programArguments, o->programArgumentCount, arguments,
                                  kLauncherCommandLineChars)) {
        SayProblem(r, u"The program's arguments are longer than a command line can be.");
        r->outcome.usage = true;
        return ChooseExitCode(r->outcome);
    }

    if (!selftest && !LoadRules(r)) {
        r->outcome.notStarted = true;
        return ChooseExitCode(r->outcome);
    }

    const bool writes = !selftest || o->out != nullptr;
    if (writes && !PrepareOutputFolder(r, program, LocalNow())) {
        r->outcome.notStarted = true;
        return ChooseExitCode(r->outcome);
    }

    HeadlessSetText(kIdTargetEdit, program);
    StartMonitoringWithArguments(app, arguments);
    PrintNewMessages(r);
    SelftestContext context{};
    context.info = &app->recordingInfo;
    if (app->recording == 0) {
        if (!selftest) {
            if (r->madeFolder) RemoveEmptyFolder(r->folder);
            r->outcome.notStarted = true;
            return ChooseExitCode(r->outcome);
        }
        context.startFailure = r->startFailure;
    } else {
        context.started = true;
        if (pf->recordingStarted != nullptr) pf->recordingStarted(pf->context, app);
        const uint32_t messagesBefore = HeadlessModel()->messageBoxCount;
        RunRecording(r, selftest || o->untilExit != 0);
        if (pf->recordingEnded != nullptr) pf->recordingEnded(pf->context, app);
        // A kernel session that ended by itself said so in an "ETW Error" box.
        for (uint32_t i = messagesBefore; i < HeadlessModel()->messageBoxCount; ++i) {
            const HeadlessMessageBox* box = HeadlessMessageBoxAt(i);
            if (box != nullptr && TextEquals(box->caption, u"ETW Error"))
                context.traceEndedEarly = true;
        }
    }

    if (selftest) {
        {
            LockGuard guard(&app->rowsLock);
            context.helperEnded =
                SelftestHelperExitCode(app->rows, app->rowCount, &context.helperExitCode);
        }
        SelftestResult* result = AllocRecord<SelftestResult>();
        if (result == nullptr) {
            SayProblem(r, u"There is not enough memory to check the recording.");
            r->outcome.notStarted = true;
            return ChooseExitCode(r->outcome);
        }
        {
            LockGuard guard(&app->rowsLock);
            JudgeSelftest(plan, app->rows, app->rowCount, context, result);
        }
        char16_t line[kLineChars];
        Say(r, kCliStdout, u"olvetta: recording on this machine");
        for (int c = 0; c < kSelftestCheckCount; ++c) {
            FormatSelftestLine(*result, c, line, kLineChars);
            Say(r, kCliStdout, line);
        }
        if (FormatSelftestCleanupProblem(plan, context, line, kLineChars)) SayProblem(r, line);
        r->outcome.checksMissing = result->missing > 0;
        char16_t summary[kSelftestLineChars];
        FormatSelftestSummary(*result, summary, kSelftestLineChars);
        FormatText(line, kLineChars, u"olvetta: %s", summary);
        Say(r, kCliStdout, line);
        FreeBlock(result);
        if (!context.started) {
            if (r->madeFolder) RemoveEmptyFolder(r->folder);
            r->outcome.notStarted = true;
            return ChooseExitCode(r->outcome);
        }
    }

    const bool incomplete = RecordIncomplete(app);
    r->outcome.incomplete = r->outcome.incomplete || incomplete;
    r->outcome.reachedFailOn = ReachedFailOn(CountRows(app), o->failOn);
    if (writes) WriteFiles(r, 2);
    if (!selftest || writes) SayResult(r, !incomplete);
    return ChooseExitCode(r->outcome);
}

// A re-analysis judges the session's rows as the recording judged them, by the rules it applies
// (the built-in ones and those loaded now): opening matched them when a set is loaded; without
// one, what rules of the recording's raised must not stay raised without their matches.
void ScoreSessionRows(AppState* app) {
    if (!SigmaRulesLoaded(app)) ScoreAllRows(app);
}

int Analyze(Run* r) {
    const CliOptions* o = r->options;
    AppState* app = r->app;
    if (!LoadRules(r)) {
        r->outcome.notStarted = true;
        return ChooseExitCode(r->outcome);
    }
    if (!OpenSessionFromPath(app, o->session)) {
        PrintNewMessages(r);
        r->outcome.notStarted = true;
        return ChooseExitCode(r->outcome);
    }
    PrintNewMessages(r);
    ScoreSessionRows(app);
    if (!PrepareOutputFolder(r, app->recordingInfo.target, app->recordingInfo.started)) {
        r->outcome.notStarted = true;
        return ChooseExitCode(r->outcome);
    }
    const bool incomplete = RecordIncomplete(app);
    r->outcome.incomplete = incomplete;
    r->outcome.reachedFailOn = ReachedFailOn(CountRows(app), o->failOn);
    WriteFiles(r, 1);
    SayResult(r, !incomplete);
    return ChooseExitCode(r->outcome);
}

void SayUsageProblem(const CliPlatform* pf, const char16_t* problem) {
    char16_t line[kLineChars];
    FormatText(line, kLineChars, u"olvetta: %s", problem);
    pf->writeLine(pf->context, kCliStderr, line);
    FormatText(line, kLineChars, u"Run \"%s --help\" for the commands and options.",
               pf->programName);
    pf->writeLine(pf->context, kCliStderr, line);
}

void SayText(const CliPlatform* pf, int stream, const char16_t* text) {
    char16_t line[kLineChars];
    while (*text != 0) {
        size_t n = 0;
        while (text[n] != 0 && text[n] != u'\n' && n + 1 < kLineChars) {
            line[n] = text[n];
            ++n;
        }
        line[n] = 0;
        pf->writeLine(pf->context, stream, line);
        text += n;
        if (*text == u'\n') ++text;
    }
}

} // namespace

void RequestCliStop() {
    gStopLevel.fetch_add(1);
}

void RequestCliEnd() {
    int none = 0;
    gStopLevel.compare_exchange_strong(none, 1);
}

int CliStopLevel() {
    return gStopLevel.load();
}

void ResetCliStop() {
    gStopLevel.store(0);
    gFinished.store(false);
}

bool CliFinished() {
    return gFinished.load();
}

int RunCli(int argc, const char16_t* const* argv, const CliPlatform* pf) {
    CliOptions options{};
    char16_t problem[512];
    if (!ParseCliArguments(argc, argv, pf->scenarioAllowed, &options, problem, 512)) {
        SayUsageProblem(pf, problem);
        gFinished.store(true);
        return kCliExitUsage;
    }
    if (options.verb == kCliHelp) {
        SayText(pf, kCliStdout, kCliUsage);
        gFinished.store(true);
        return kCliExitOk;
    }
    if (options.verb == kCliVersion) {
        char16_t line[128];
        FormatText(line, 128, u"%s 1.1.0.0", pf->programName);
        pf->writeLine(pf->context, kCliStdout, line);
        gFinished.store(true);
        return kCliExitOk;
    }
    if (options.verb == kCliSelftestChild) {
        return pf->runSelftestChild != nullptr ? pf->runSelftestChild(pf->context) : kCliExitUsage;
    }
    if (options.verb == kCliSelftestHelper) {
        SelftestPlan plan{};
        int failAt = -1;
        if (options.helperArgumentCount > kCliHelperArguments) {
            failAt = 0;
            for (const char16_t* p = options.helperArguments[kCliHelperArguments]; *p != 0; ++p)
                failAt =
                    *p >= u'0' && *p <= u'9' && failAt < 1000 ? failAt * 10 + (*p - u'0') : 1000;
        }
        if (pf->runSelftestHelper == nullptr ||
            !SelftestPlanFromArguments(options.helperArguments, kCliHelperArguments, &plan)) {
            SayUsageProblem(pf, u"the self-test helper's arguments are not valid");
            return kCliExitUsage;
        }
        return pf->runSelftestHelper(pf->context, &plan, failAt);
    }

    AppState* app = AllocRecord<AppState>();
    Run* run = AllocRecord<Run>();
    if (app == nullptr || run == nullptr) {
        FreeBlock(app);
        FreeBlock(run);
        pf->writeLine(pf->context, kCliStderr, u"olvetta: There is not enough memory to start.");
        gFinished.store(true);
        return kCliExitNotStarted;
    }
    InitAppState(app);
    ResetHeadlessUi();
    WireControls(app, HeadlessControlHandle);
    // Unattended: a question is never answered Yes, so nothing another program runs is stopped.
    HeadlessSetDefaultAnswer(kAnswerNo);
    run->platform = pf;
    run->options = &options;
    run->app = app;

    int status = kCliExitUsage;
    if (options.verb == kCliAnalyze) {
        status = Analyze(run);
    } else {
        status = Record(run, options.verb == kCliSelftest);
    }

    CleanUpAppState(app);
    FreeBlock(app);
    FreeBlock(run);
    ResetHeadlessUi();
    gFinished.store(true);
    return status;
}

} // namespace olv
