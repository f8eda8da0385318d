#include "cli/cli_run.h"

#include <atomic>

#include "app/recording_setup.h"
#include "app/commands.h"
#include "app/lifecycle.h"
#include "app/sigma_commands.h"
#include "app/yara_commands.h"
#include "app/window_layout.h"
#include "app/window_state.h"
#include "base/format.h"
#include "base/text.h"
#include "capture/script_logging.h"
#include "capture/trace_controller.h"
#include "cli/cli_result.h"
#include "cli/cli_text.h"
#include "export/exports.h"
#include "export/safe_file.h"
#include "launcher/command_line.h"
#include "launcher/target_launcher.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "platform/process.h"
#include "platform/thread.h"
#include "platform/time.h"
#include "platform/ui.h"
#include "record/stored_rows.h"
#include "report/completeness.h"
#include "rules/threat_rules.h"
#include "tracking/tracking_state.h"
#include "views/row_store.h"
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
    u"                   named after the program and the start time, in the current folder);\n"
    u"                   result.json there tells the outcome. A folder holding an earlier\n"
    u"                   run's files, or in use by a run, is refused (2)\n"
    u"  --overwrite      remove an earlier run's files from --out first (only those)\n"
    u"  --seconds N      record at most N seconds (default 120; selftest 30)\n"
    u"  --until-exit     stop once the program and every process it started have ended\n"
    u"  --script-logging turn on PowerShell script block and module logging while recording\n"
    u"                   (needs an administrator; the policy is put back at the end)\n"
    u"  --formats LIST   any of session,json,jsonl,csv (record: session,json; analyze: json);\n"
    u"                   session-v2 writes the session in the older form\n"
    u"  --rules DIR      Sigma rules (default: the \"rules\" folder beside the program)\n"
    u"  --yara DIR       YARA rules for the images and written files of the recording\n"
    u"                   (default: the \"yara\" folder beside the program); files up to\n"
    u"                   64 MB are scanned\n"
    u"  --fail-on LEVEL  low, medium or high: exit 4 when a row reaches that severity\n"
    u"  --hide CATEGORY  file, registry, network or process (repeatable), for csv/json/jsonl\n"
    u"  --suspicious     only rows with a severity, for csv/json/jsonl\n"
    u"  --operation NAME only rows of that operation (any case; the names are below), for\n"
    u"                   csv/json/jsonl\n"
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
    u"  5  selftest: some checks are missing\n"
    u"\n"
    u"Options after PROGRAM belong to PROGRAM only after --; without it one of the options\n"
    u"above after PROGRAM is a usage error.\n";

namespace {

constexpr uint32_t kTickMs = 100;
constexpr uint32_t kTicksPerProgress = 10;
constexpr uint32_t kGraceTicks = 10; // after the program tree has ended, for the last events
constexpr size_t kPathTextChars = 1024;
constexpr size_t kLineChars = 2048;
constexpr size_t kNotesChars = 8600;

std::atomic<int> gStopLevel{0};
std::atomic<bool> gFinished{false};
std::atomic<bool> gRecordDone{false};

struct Run {
    const CliPlatform* platform;
    const CliOptions* options;
    Recording* app;
    CliOutcome outcome;
    char16_t folder[kPathTextChars];
    bool madeFolder;
    char16_t files[4][kPathTextChars];
    int fileCount;
    char16_t startFailure[600];
    // The outcome's record (result.json and the result line).
    int argc;
    const char16_t* const* argv;
    int64_t runStarted;            // FILETIME ticks (UTC)
    FileHandle lock;               // the output folder's lock file while the run holds it
    char16_t lockPath[kPathTextChars];
    bool claimed;                  // the lock is held and no earlier run's file is left
    bool reachedFiles;             // the run got as far as writing (or judging) its outcome
    bool recorded;                 // rows and recording times are known
    bool recordIncomplete;         // completeness notes
    char16_t lastError[600];       // the last problem printed: why a failed run failed
    char16_t program[kPathTextChars];
    const char16_t* arguments;     // the examined program's argument text
    char16_t skipped[4][64];       // exports a second interrupt left out
    int skippedCount;
};

void Say(Run* r, int stream, const char16_t* text) {
    r->platform->writeLine(r->platform->context, stream, text);
}

void SayProblem(Run* r, const char16_t* text) {
    char16_t line[kLineChars];
    FormatText(line, kLineChars, u"olvetta: %s", text);
    Say(r, kCliStderr, line);
}

// A problem that ends the run (or may): printed, and kept as the failed run's message.
void SayFailure(Run* r, const char16_t* text) {
    SayProblem(r, text);
    CopyBounded(r->lastError, 600, text);
}

// A message's text on one line: line breaks become one blank.
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

// An operation's outcome, as a line on standard error: errors and warnings only (an export's
// "written" confirmation is the result line's business, and an information is printed only where
// it is part of the outcome). An error is kept as the failed run's message.
void SayOutcome(Run* r, const Outcome& outcome) {
    if (!OutcomeHasMessage(outcome) || outcome.icon == kIconInformation) return;
    char16_t text[kOutcomeTextChars];
    OneLine(outcome.text, text, kOutcomeTextChars);
    SayProblem(r, text);
    if (outcome.icon == kIconError) CopyBounded(r->lastError, 600, text);
    if (outcome.icon == kIconError && r->startFailure[0] == 0)
        CopyBounded(r->startFailure, 600, text);
}

// Nobody is there to answer: taking the kernel session from another program is answered No,
// and says so.
bool AnswerTakeOverNo(void* context, const char16_t* question) {
    Run* r = static_cast<Run*>(context);
    char16_t text[kLineChars];
    OneLine(question, text, kLineChars);
    AppendBounded(text, kLineChars, u" No.");
    SayProblem(r, text);
    return false;
}

// What the watcher and the trace threads left: the program's exit becomes its row; a trace
// session that ended by itself is told and stops the recording.
void TakeNotices(Run* r) {
    const Outcome ended = TakeThreadNotices(r->app);
    if (ended.code != OutcomeCode::kTraceError) return;
    SayOutcome(r, ended);
    SayOutcome(r, StopRecording(r->app));
}

CliCounts CountRows(Recording* app) {
    CliCounts c{};
    LockGuard guard(&app->rowsLock);
    c.rows = static_cast<uint32_t>(app->rowCount);
    for (int32_t i = 0; i < app->rowCount; ++i) {
        const uint32_t s = StoredSeverity(app, i);
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

uint64_t LostEvents(const Recording* app) {
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

bool RecordIncomplete(Recording* app) {
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
    SayFailure(r, text);
}

// Every file a run may write into its folder, in the order the run writes them. The check before
// start tries each one the run will write, so a file added here is checked with the others.
// formatBit 0: every run writes it, by a writer of its own (write null).
struct OutputFile {
    uint32_t formatBit;
    const char16_t* name;
    Outcome (*write)(Recording*, const char16_t*);
};
const OutputFile kOutputFiles[] = {
    {kCliFormatSession, u"recording.ols", SaveCompactSessionFile},
    {kCliFormatSessionV2, u"recording.ols", SaveSessionFile},
    {kCliFormatJson, u"recording.json", ExportJsonFile},
    {kCliFormatJsonl, u"recording.jsonl", ExportJsonLinesFile},
    {kCliFormatCsv, u"recording.csv", ExportCsvFile},
    {0, u"result.json", nullptr},
};
static_assert(kPathTextChars >= kSafeTargetPathChars, "a path the writer takes is held whole");

bool RunWrites(const Run* r, const OutputFile& f) {
    return f.formatBit == 0 || (r->options->formats & f.formatBit) != 0;
}

// Before anything starts: every file the run will write can be written into the folder now, with
// the writer's own length limit and temporary name (each is created and removed again), so no
// file is lost after the program ran.
bool OutputFilesWritable(Run* r, const char16_t* folder) {
    const size_t folderLength = TextLength(folder);
    const bool separator =
        folderLength > 0 && folder[folderLength - 1] != u'\\' && folder[folderLength - 1] != u'/';
    for (const OutputFile& f : kOutputFiles) {
        if (!RunWrites(r, f)) continue;
        const size_t length = folderLength + (separator ? 1 : 0) + TextLength(f.name);
        if (!SafeTargetLengthFits(length)) {
            char16_t text[kLineChars];
            FormatText(text, kLineChars,
                       u"Files cannot be written into the folder \"%s\": the path of %s would be "
                       u"%d characters long, and the longest a file can have is %d.",
                       folder, f.name, static_cast<int>(length),
                       static_cast<int>(kSafeTargetPathChars - 1));
            SayFailure(r, text);
            return false;
        }
        char16_t path[kPathTextChars];
        JoinPath(folder, f.name, r->platform->pathSeparator, path, kPathTextChars);
        uint32_t error = 0;
        if (!ProbeSafeFile(path, &error)) {
            SayError(r, u"Files cannot be written into the folder", path, error);
            return false;
        }
    }
    return true;
}

// The output folder: --out (used when it is there, made when it is not), else a new folder
// named after the program and the start time in the current folder. False with a message.
bool PrepareOutputFolder(Run* r, const char16_t* programPath, const SystemTime& start) {
    const CliOptions* o = r->options;
    uint32_t error = 0;
    if (o->out != nullptr) {
        // A cut path would name another folder.
        if (TextLength(o->out) >= kPathTextChars) {
            SayError(r, u"The output folder cannot be used", o->out, 206); // too long
            return false;
        }
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
    if (!OutputFilesWritable(r, r->folder)) {
        if (r->madeFolder) RemoveEmptyFolder(r->folder);
        r->madeFolder = false;
        return false;
    }
    return true;
}

// The operation the view names for --operation: the learned name of that spelling, else the one
// equal to it without regard to case, else the text itself, so the view is empty, as a filter
// text that no row holds leaves it. A text too long for the view would be cut, and the cut text
// could be a real operation's: it ends in an ellipsis instead, which no operation has.
void ChooseOperation(const Recording* app, const char16_t* operation, char16_t* out) {
    int exact = -1, folded = -1;
    for (int n = 0; n < app->operationNameCount; ++n) {
        if (exact < 0 && TextEquals(app->operationNames[n], operation)) exact = n;
        if (folded < 0 && EqualsFolded(app->operationNames[n], operation)) folded = n;
    }
    const int chosen = exact >= 0 ? exact : folded;
    if (chosen >= 0) {
        CopyBounded(out, kOperationNameChars, app->operationNames[chosen]);
        return;
    }
    CopyBounded(out, kOperationNameChars, operation);
    if (TextLength(operation) >= kOperationNameChars) out[kOperationNameChars - 2] = u'\u2026';
}

} // namespace

void CliViewFromOptions(const Recording* app, const CliOptions* options, ViewSpec* view) {
    for (int c = 0; c < 4; ++c) {
        if (options->hide[c] != 0) view->categoryOn[c] = 0;
    }
    if (options->suspicious != 0) view->suspiciousOnly = 1;
    if (options->operation != nullptr) ChooseOperation(app, options->operation, view->operation);
    if (options->filter != nullptr) {
        CopyBounded(view->filter, kFilterTextChars + 1, options->filter);
    }
}

namespace {

void ApplyView(Run* r) {
    ViewSpec view = r->app->view;
    CliViewFromOptions(r->app, r->options, &view);
    SetView(r->app, view);
}

// Writes the chosen formats into the folder, the whole record first. From the interrupt level
// that skips (the second Ctrl+C of a recording, the first of an analysis) the exports not begun
// yet are left out; a recording's session file is still written, since it is the record itself
// and every export can be made again from it with analyze.
void WriteFiles(Run* r, int stopLevelThatSkips) {
    bool viewSet = false;
    r->reachedFiles = true;
    for (const OutputFile& f : kOutputFiles) {
        if ((f.formatBit & kCliFormatSessions) == 0) gRecordDone.store(true); // the record first
        if (f.write == nullptr || !RunWrites(r, f)) continue;
        const bool keep = (f.formatBit & kCliFormatSessions) != 0 && stopLevelThatSkips > 1;
        if (!keep && CliStopLevel() >= stopLevelThatSkips) {
            char16_t text[kLineChars];
            FormatText(text, kLineChars, u"Stopped at once: %s was not written.", f.name);
            SayProblem(r, text);
            r->outcome.incomplete = true;
            if (r->skippedCount < 4) CopyBounded(r->skipped[r->skippedCount++], 64, f.name);
            continue;
        }
        // The session holds every row; the other formats the rows the view shows.
        if ((f.formatBit & kCliFormatSessions) == 0 && !viewSet) {
            viewSet = true;
            ApplyView(r);
        }
        char16_t path[kPathTextChars];
        JoinPath(r->folder, f.name, r->platform->pathSeparator, path, kPathTextChars);
        const Outcome outcome = f.write(r->app, path);
        SayOutcome(r, outcome);
        if (OutcomeOk(outcome)) {
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

// --- the output folder's claim and the run's outcome ---

struct EarlierFiles {
    char16_t names[kLineChars];
    int count;
    bool overflow;
};

bool NoteEarlierFile(void* context, const FolderEntry& entry) {
    EarlierFiles* e = static_cast<EarlierFiles*>(context);
    const char16_t* name = entry.name;
    if (entry.isFolder || !IsCliOutputFileName(name)) return true;
    if (e->count < 16) {
        if (e->count > 0) AppendBounded(e->names, kLineChars, u", ");
        AppendBounded(e->names, kLineChars, name);
    } else {
        e->overflow = true;
    }
    ++e->count;
    return true;
}

void LetFolderGo(Run* r) {
    if (r->lock != nullptr) ReleaseLockFile(r->lock, r->lockPath);
    r->lock = nullptr;
}

// Claims the prepared folder for this run: its lock file, held until the run ends, so that a
// second run into the same folder is refused instead of mixing its files with this one's; and
// no file of an earlier run in it (named and refused, or removed first with --overwrite: only
// the names this program writes, never anything else). False with the reason.
bool ClaimOutputFolder(Run* r) {
    JoinPath(r->folder, kCliLockFileName, r->platform->pathSeparator, r->lockPath, kPathTextChars);
    uint32_t error = 0;
    r->lock = LockFileExclusively(r->lockPath, &error);
    if (r->lock == nullptr) {
        if (error == kErrorSharingViolation) {
            char16_t text[kLineChars];
            FormatText(text, kLineChars,
                       u"Another run is writing into the folder \"%s\" (it holds %s): give each "
                       u"run a folder of its own.",
                       r->folder, kCliLockFileName);
            SayFailure(r, text);
        } else {
            SayError(r, u"Files cannot be written into the folder", r->folder, error);
        }
        return false;
    }
    EarlierFiles* earlier = AllocRecord<EarlierFiles>();
    if (earlier == nullptr ||
        !ListFolder(r->folder, NoteEarlierFile, earlier, &error)) {
        if (earlier == nullptr) error = 8; // ERROR_NOT_ENOUGH_MEMORY
        SayError(r, u"The output folder cannot be read", r->folder, error);
        FreeBlock(earlier);
        LetFolderGo(r);
        return false;
    }
    if (earlier->count > 0 && r->options->overwrite == 0) {
        char16_t text[kLineChars * 2];
        FormatText(text, kLineChars * 2,
                   u"The output folder \"%s\" already holds files of an earlier run: %s%s. Give "
                   u"a new folder, or --overwrite to remove them first.",
                   r->folder, earlier->names, earlier->overflow ? u", ..." : u"");
        SayFailure(r, text);
        FreeBlock(earlier);
        LetFolderGo(r);
        return false;
    }
    FreeBlock(earlier);
    if (r->options->overwrite != 0) {
        // Listed again one name at a time: a name removed changes the listing under it.
        for (int pass = 0; pass < 64; ++pass) {
            struct First {
                char16_t name[kPathTextChars];
            } first{};
            ListFolder(
                r->folder,
                [](void* context, const FolderEntry& entry) {
                    if (entry.isFolder || !IsCliOutputFileName(entry.name)) return true;
                    CopyBounded(static_cast<First*>(context)->name, kPathTextChars, entry.name);
                    return false;
                },
                &first, &error);
            if (first.name[0] == 0) break;
            char16_t path[kPathTextChars];
            JoinPath(r->folder, first.name, r->platform->pathSeparator, path, kPathTextChars);
            if (!DeleteFilePath(path)) {
                SayError(r, u"An earlier run's file cannot be removed", path, 5);
                LetFolderGo(r);
                return false;
            }
        }
    }
    r->claimed = true;
    return true;
}

// The output folder made ready and claimed; false with the reason (a folder this run made is
// removed again).
bool TakeOutputFolder(Run* r, const char16_t* programPath, const SystemTime& start) {
    if (!PrepareOutputFolder(r, programPath, start)) return false;
    if (ClaimOutputFolder(r)) return true;
    if (r->madeFolder) RemoveEmptyFolder(r->folder);
    r->madeFolder = false;
    return false;
}

// The completeness notes, then the exports a second interrupt left out, one a line.
void CollectNotes(Run* r, char16_t* notes, size_t capacity) {
    notes[0] = 0;
    if (r->recorded) BuildCompletenessNotes(r->app, notes, capacity, u"");
    for (int i = 0; i < r->skippedCount; ++i)
        AppendFormat(notes, capacity, u"%s was not written: stopped at once.\n", r->skipped[i]);
}

int64_t RecordingUtcTicks(const RecordingInfo& info, const SystemTime& local) {
    int64_t ticks = 0;
    if (!UtcSystemTimeToTicks(local, &ticks)) return -1;
    return ticks + int64_t{info.utcBias} * 60 * kTicksPerSecond;
}

bool WriteResult(Run* r, int code) {
    const CliOptions* o = r->options;
    const RecordingInfo& info = r->app->recordingInfo;
    char16_t* notes = static_cast<char16_t*>(AllocZeroed(kNotesChars * sizeof(char16_t)));
    if (notes != nullptr) CollectNotes(r, notes, kNotesChars);
    const char16_t* names[4];
    for (int i = 0; i < r->fileCount; ++i)
        names[i] = r->files[i];
    CliResultFacts f{};
    f.command = o->verb == kCliAnalyze ? u"analyze" : o->verb == kCliSelftest ? u"selftest"
                                                                               : u"record";
    f.invocation = r->argv + 1;
    f.invocationCount = r->argc - 1;
    f.exitCode = code;
    f.incomplete = r->outcome.incomplete;
    f.message = code == kCliExitUsage || code == kCliExitNotStarted ? r->lastError : nullptr;
    f.recorded = r->recorded;
    f.counts = r->recorded ? CountRows(r->app) : CliCounts{};
    f.files = names;
    f.fileCount = r->fileCount;
    f.notes = notes;
    f.runStarted = r->runStarted;
    f.runEnded = NowTicks();
    f.recordingStarted = RecordingUtcTicks(info, info.started);
    f.recordingStopped = RecordingUtcTicks(info, info.stopped);
    f.program = o->verb == kCliAnalyze ? (r->recorded ? info.target : nullptr)
                                       : (r->program[0] != 0 ? r->program : nullptr);
    f.arguments = o->verb == kCliAnalyze ? nullptr : r->arguments;
    f.session = o->verb == kCliAnalyze ? o->session : nullptr;
    f.rulesFolder = o->rules;
    char16_t path[kPathTextChars];
    JoinPath(r->folder, kCliResultFileName, r->platform->pathSeparator, path, kPathTextChars);
    const bool written = WriteCliResultFile(f, r->app, path);
    FreeBlock(notes);
    if (!written) SayError(r, u"The result file cannot be written", path, 0);
    return written;
}

// Every run ends here once its command line was read: result.json into a claimed folder (a
// folder this run made for itself without --out goes again when nothing started), the result
// line, the folder let go. Returns the exit code.
int Finish(Run* r) {
    int code = ChooseExitCode(r->outcome);
    const bool quietSelftest = r->options->verb == kCliSelftest && r->options->out == nullptr &&
                               r->reachedFiles;
    if (r->claimed) {
        if (r->options->out == nullptr && !r->reachedFiles) {
            LetFolderGo(r);
            if (r->madeFolder) RemoveEmptyFolder(r->folder);
            r->claimed = false;
        } else if (!WriteResult(r, code)) {
            r->outcome.notStarted = true;
            code = ChooseExitCode(r->outcome);
        }
    }
    if (r->reachedFiles && !quietSelftest) {
        SayResult(r, !r->outcome.incomplete);
    } else if (!quietSelftest) {
        char16_t line[kLineChars];
        FormatFailedLine(r->lastError, line, kLineChars);
        Say(r, kCliStdout, line);
    }
    LetFolderGo(r);
    return code;
}

// When the recording could not start, the table says why once, before its lines.
void SaySelftestHead(Run* r, const SelftestContext& context) {
    char16_t head[kSelftestHeadChars];
    if (!FormatSelftestHead(context, head, kSelftestHeadChars)) return;
    char16_t line[kLineChars];
    FormatText(line, kLineChars, u"olvetta: %s", head);
    Say(r, kCliStdout, line);
}

bool ProgramTreeEnded(Recording* app) {
    if (app->launcher == nullptr || app->trace == nullptr) return false;
    if (app->launcher->processHeld != 0) return false; // the program itself still runs
    return CountRunningFollowedProcesses(&app->trace->tracking,
                                         app->launcher->processInfo.processId) == 0;
}

// The recording from Start to Stop: one tick each 100 ms, a progress line each second.
void RunRecording(Run* r, bool untilExit) {
    Recording* app = r->app;
    const int64_t startTicks = NowTicks();
    const int64_t limit = int64_t{r->options->seconds} * kTicksPerSecond;
    uint32_t tick = 0;
    uint32_t endedTicks = 0;
    while (app->recording != 0) {
        SleepMilliseconds(kTickMs);
        HandleTimerTick(app, TIMER_DRAIN);
        TakeNotices(r);
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
    TakeNotices(r); // one left with the last tick is told, not released with the session
    if (app->recording != 0) SayOutcome(r, StopRecording(app));
}

// The YARA rules of a recording: the folder of --yara, else the "yara" folder beside the program
// when there is one. The loader's summary (and each refused file) is printed. False when the
// folder asked for cannot be loaded.
bool LoadYaraRulesOfRun(Run* r) {
    if (r->options->verb != kCliRecord) return true;
    if (r->options->yara == nullptr) {
        LoadYaraRulesBesideProgram(r->app, r->platform->executablePath);
        return true;
    }
    const Outcome outcome = LoadYaraRuleFiles(r->app, r->options->yara);
    if (!OutcomeOk(outcome)) {
        SayOutcome(r, outcome);
        return false;
    }
    // What was loaded, then each refused file on a line of its own.
    char16_t line[kLineChars];
    size_t n = 0;
    for (const char16_t* p = outcome.text;; ++p) {
        if (*p != 0 && *p != u'\n') {
            if (n + 1 < kLineChars) line[n++] = *p;
            continue;
        }
        line[n] = 0;
        if (n > 0) SayProblem(r, line);
        n = 0;
        if (*p == 0) break;
    }
    return true;
}

// The Sigma rules, before anything is recorded or opened, so that every row meets them: the
// folder of --rules, else the "rules" folder beside the program when there is one (a load
// replaces the set, so the two are not combined). The loader's own summary is printed (--quiet
// leaves out the progress line only: what was loaded is part of the outcome). False (with the reason) when the folder asked for cannot be loaded.
bool LoadRules(Run* r) {
    const CliPlatform* pf = r->platform;
    Recording* app = r->app;
    if (!LoadYaraRulesOfRun(r)) return false;
    if (r->options->rules == nullptr) {
        LoadRulesBesideProgram(app, pf->executablePath, nullptr);
        return true;
    }
    // The recorder as the examined program's parent, as the beside-folder load names it.
    SetRecorderImageForSigma(app, pf->executablePath);
    const Outcome outcome = LoadSigmaRuleFiles(app, r->options->rules);
    if (OutcomeHasMessage(outcome) && outcome.icon == kIconInformation) {
        char16_t text[kOutcomeTextChars];
        OneLine(outcome.text, text, kOutcomeTextChars);
        SayProblem(r, text);
    }
    SayOutcome(r, outcome);
    return OutcomeOk(outcome);
}

int Record(Run* r, bool selftest) {
    const CliOptions* o = r->options;
    const CliPlatform* pf = r->platform;
    Recording* app = r->app;

    char16_t* program = r->program;
    if (pf->prepareRecording != nullptr) {
        char16_t problem[kLineChars] = {};
        if (!pf->prepareRecording(pf->context, o, selftest, program, kPathTextChars, problem,
                                  kLineChars)) {
            SayFailure(r, problem);
            r->outcome.usage = true;
            return Finish(r);
        }
    } else {
        CopyBounded(program, kPathTextChars, selftest ? pf->executablePath : o->program);
    }

    SelftestPlan plan{};
    static char16_t arguments[kLauncherCommandLineChars];
    arguments[0] = 0;
    r->arguments = arguments;
    if (selftest) {
        if (pf->selftestPlan != nullptr) {
            pf->selftestPlan(pf->context, &plan);
        } else {
            MakeSelftestPlan(pf->tempFolder, CurrentProcessId(), NowTicks(), &plan);
        }
        SelftestHelperArguments(plan, arguments, kLauncherCommandLineChars);
        // The helper's script block is logged only under the policy; the recorder holds the
        // rights to switch it, and its Stop (or a failed start, or the next start after a crash)
        // puts the policy back.
        app->scriptLogging = 1;
    } else if (!BuildArgumentText(o->programArguments, o->programArgumentCount, arguments,
                                  kLauncherCommandLineChars)) {
        SayFailure(r, u"The program's arguments are longer than a command line can be.");
        r->outcome.usage = true;
        return Finish(r);
    }

    // A folder given with --out is had first, so that whatever fails after it is told in its
    // result.json; a new folder is made only once the rules are loaded.
    const bool writes = !selftest || o->out != nullptr;
    if (writes && o->out != nullptr && !TakeOutputFolder(r, program, LocalNow())) {
        r->outcome.notStarted = true;
        return Finish(r);
    }
    if (!selftest && !LoadRules(r)) {
        r->outcome.notStarted = true;
        return Finish(r);
    }
    if (writes && !r->claimed && !TakeOutputFolder(r, program, LocalNow())) {
        r->outcome.notStarted = true;
        return Finish(r);
    }

    // The path as the window's Start takes a pasted one.
    static char16_t startPath[kTargetTextChars];
    CopyBounded(startPath, kTargetTextChars, program);
    TrimPastedPath(startPath);
    StartRequest request{};
    request.path = startPath;
    request.arguments = arguments;
    request.takeOver = AnswerTakeOverNo;
    request.takeOverContext = r;
    SayOutcome(r, StartRecording(app, request));
    SelftestContext context{};
    context.info = &app->recordingInfo;
    if (app->recording == 0) {
        if (!selftest) {
            r->outcome.notStarted = true;
            return Finish(r);
        }
        context.startFailure = r->startFailure;
    } else {
        context.started = true;
        r->recorded = true;
        if (pf->recordingStarted != nullptr) pf->recordingStarted(pf->context, app);
        RunRecording(r, selftest || o->untilExit != 0);
        if (pf->recordingEnded != nullptr) pf->recordingEnded(pf->context, app);
        context.traceEndedEarly = app->traceEndedEarly != 0;
    }

    if (selftest) {
        {
            LockGuard guard(&app->rowsLock);
            context.helperEnded =
                SelftestHelperExitCode(app, &context.helperExitCode);
        }
        SelftestResult* result = AllocRecord<SelftestResult>();
        if (result == nullptr) {
            SayFailure(r, u"There is not enough memory to check the recording.");
            r->outcome.notStarted = true;
            return Finish(r);
        }
        {
            LockGuard guard(&app->rowsLock);
            JudgeSelftest(plan, app, context, result);
        }
        char16_t line[kLineChars];
        Say(r, kCliStdout, u"olvetta: recording on this machine");
        SaySelftestHead(r, context);
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
            r->outcome.notStarted = true;
            return Finish(r);
        }
    }

    r->recordIncomplete = RecordIncomplete(app);
    r->outcome.incomplete = r->outcome.incomplete || r->recordIncomplete;
    r->outcome.reachedFailOn = ReachedFailOn(CountRows(app), o->failOn);
    if (writes) WriteFiles(r, 2);
    r->reachedFiles = true; // selftest without --out: its summary was the result line
    return Finish(r);
}

// A re-analysis judges the session's rows as the recording judged them, by the rules it applies
// (the built-in ones and those loaded now): opening matched them when a set is loaded; without
// one, what rules of the recording's raised must not stay raised without their matches.
void ScoreSessionRows(Recording* app) {
    if (!SigmaRulesLoaded(app)) ScoreAllRows(app);
}

int Analyze(Run* r) {
    const CliOptions* o = r->options;
    Recording* app = r->app;
    if (o->out != nullptr && !TakeOutputFolder(r, nullptr, LocalNow())) {
        r->outcome.notStarted = true;
        return Finish(r);
    }
    if (!LoadRules(r)) {
        r->outcome.notStarted = true;
        return Finish(r);
    }
    const Outcome opened = OpenSessionFile(app, o->session);
    SayOutcome(r, opened);
    if (!OutcomeOk(opened)) {
        r->outcome.notStarted = true;
        return Finish(r);
    }
    r->recorded = true;
    ScoreSessionRows(app);
    if (!r->claimed &&
        !TakeOutputFolder(r, app->recordingInfo.target, app->recordingInfo.started)) {
        r->outcome.notStarted = true;
        return Finish(r);
    }
    r->recordIncomplete = RecordIncomplete(app);
    r->outcome.incomplete = r->recordIncomplete;
    r->outcome.reachedFailOn = ReachedFailOn(CountRows(app), o->failOn);
    WriteFiles(r, 1);
    return Finish(r);
}

void SayUsageProblem(const CliPlatform* pf, const char16_t* problem) {
    char16_t line[kLineChars];
    FormatText(line, kLineChars, u"olvetta: %s", problem);
    pf->writeLine(pf->context, kCliStderr, line);
    FormatText(line, kLineChars, u"Run \"%s --help\" for the commands and options.",
               pf->programName);
    pf->writeLine(pf->context, kCliStderr, line);
}

// Recording needs administrator rights (the kernel trace session). Without them record and
// selftest end here, before anything is made, started or written; analyze, --help and
// --version need none.
bool RefusedWithoutRights(const CliPlatform* pf, uint8_t verb) {
    if (verb != kCliRecord && verb != kCliSelftest) return false;
    if (pf->hasRecordingRights == nullptr || pf->hasRecordingRights(pf->context)) return false;
    char16_t line[kLineChars];
    FormatText(line, kLineChars,
               u"%s needs administrator rights to record: run it from an elevated prompt",
               pf->programName);
    pf->writeLine(pf->context, kCliStderr, line);
    return true;
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

// The operations --operation knows, as the decoders and the window name them, wrapped.
void SayOperationNames(const CliPlatform* pf) {
    constexpr size_t kWidth = 78;
    pf->writeLine(pf->context, kCliStdout, u"");
    pf->writeLine(pf->context, kCliStdout, u"operations (for --operation):");
    char16_t line[128] = u" ";
    for (size_t i = 0; i < kOperationClassCount; ++i) {
        const char16_t* name = RowKindOperation(kOperationClassTable[i].kind);
        const bool last = i + 1 == kOperationClassCount;
        if (TextLength(line) + 1 + TextLength(name) + (last ? 0 : 1) > kWidth) {
            pf->writeLine(pf->context, kCliStdout, line);
            CopyBounded(line, 128, u" ");
        }
        AppendBounded(line, 128, u" ");
        AppendBounded(line, 128, name);
        if (!last) AppendBounded(line, 128, u",");
    }
    pf->writeLine(pf->context, kCliStdout, line);
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
    gRecordDone.store(false);
}

bool CliFinished() {
    return gFinished.load();
}

bool CliRecordDone() {
    return gRecordDone.load() || gFinished.load();
}

int EndCliBeforeExit(uint32_t recordMs, uint32_t filesMs) {
    RequestCliEnd();
    // Time is counted in steps and on the clock, whichever is further: a step may sleep longer
    // than asked on a busy machine, and a test may hold the clock.
    constexpr uint32_t kStepMs = 10;
    const int64_t start = NowTicks();
    uint32_t steps = 0;
    auto passedMs = [&] {
        const int64_t clock = (NowTicks() - start) / kTicksPerMillisecond;
        const int64_t counted = int64_t{steps} * kStepMs;
        return clock > counted ? clock : counted;
    };
    for (; !CliRecordDone() && passedMs() < recordMs; ++steps)
        SleepMilliseconds(kStepMs);
    if (!CliRecordDone()) return kCliEndNothingSaved;
    for (; !CliFinished() && passedMs() < filesMs; ++steps)
        SleepMilliseconds(kStepMs);
    return CliFinished() ? kCliEndFilesWritten : kCliEndRecordSaved;
}

int RunCli(int argc, const char16_t* const* argv, const CliPlatform* pf) {
    CliOptions options{};
    char16_t problem[512];
    if (!ParseCliArguments(argc, argv, pf->scenarioAllowed, &options, problem, 512)) {
        SayUsageProblem(pf, problem);
        char16_t line[kLineChars];
        FormatFailedLine(problem, line, kLineChars);
        pf->writeLine(pf->context, kCliStdout, line);
        gFinished.store(true);
        return kCliExitUsage;
    }
    if (options.verb == kCliHelp) {
        SayText(pf, kCliStdout, kCliUsage);
        SayOperationNames(pf);
        gFinished.store(true);
        return kCliExitOk;
    }
    if (options.verb == kCliVersion) {
        char16_t line[128];
        FormatText(line, 128, u"%s %s", pf->programName, kCliVersionText);
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

    if (RefusedWithoutRights(pf, options.verb)) {
        gFinished.store(true);
        return kCliExitNotStarted;
    }

    Recording* app = AllocRecord<Recording>();
    Run* run = AllocRecord<Run>();
    if (app == nullptr || run == nullptr) {
        FreeBlock(app);
        FreeBlock(run);
        pf->writeLine(pf->context, kCliStderr, u"olvetta: There is not enough memory to start.");
        gFinished.store(true);
        return kCliExitNotStarted;
    }
    InitRecording(app);
    app->readFacts = pf->prepareRecording == nullptr ? 1 : 0; // the real program, not the twin
    app->scriptLogging = options.scriptLogging;
    // What a recorder ended without its Stop left on goes back (the real program only).
    if (app->readFacts != 0) RestoreScriptLogging(nullptr);
    // No window: the threads leave their notices for the run to take, and nothing is shown.
    FreeMainWindow(app);
    run->platform = pf;
    run->options = &options;
    run->app = app;
    run->argc = argc;
    run->argv = argv;
    run->runStarted = NowTicks();

    int status = kCliExitUsage;
    if (options.verb == kCliAnalyze) {
        status = Analyze(run);
    } else {
        status = Record(run, options.verb == kCliSelftest);
    }

    CleanUpRecording(app);
    FreeBlock(app);
    FreeBlock(run);
    gFinished.store(true);
    return status;
}

} // namespace olv
