// The console program's front end run in-process on the stand-ins, as its demonstration twin
// runs it: scenarios recorded through the window's Start and Stop, files written, sessions
// re-analysed, interrupts, output folders and the machine check.
#include "cli/cli_run.h"
#include "doctest.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/text.h"
#include "capture/script_logging.h"
#include "cli/cli_text.h"
#include "cli_pacer.h"
#include "export/safe_file.h"
#include "facts/yara_rules.h"
#include "json_line.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "platform/registry_values.h"
#include "platform/sim/sim_facts.h"
#include "platform/sim/sim_process.h"
#include "platform/thread.h"
#include "scenario.h"
#include "support/text_check.h"

using namespace olv;
namespace fs = std::filesystem;

namespace {

// The table's count line with `missing` checks missing of all.
std::string Found(int missing) {
    return std::to_string(olv::kSelftestCheckCount - missing) + " of " +
           std::to_string(olv::kSelftestCheckCount) + " checks found";
}

const std::string kScenarios = std::string(OLV_SOURCE_DIR) + "/tests/scenarios/";

struct Harness {
    std::string out;
    std::string err;
    replay::Scenario* scenario = nullptr;
    bool read = false;
    clidemo::CliPacer pacer{};
    int interruptsAtStart = 0;        // Ctrl+C presses as soon as the recording runs
    bool watchable = false;           // play at the demonstration's pace (else quickly)
    bool withoutRights = false;       // the stand-in for a process that is not elevated
    std::atomic<bool> running{false}; // the recording has started
    const char16_t* executable = u"olvetta-cli-demo"; // the running program's own path
    std::string policyAtStart;                        // the script logging policy then
    // After the scenario has set the stand-ins' facts (the registry's among them).
    std::function<void()> afterFacts;
    CliPlatform platform{};

    Harness() { scenario = AllocRecord<replay::Scenario>(); }
    ~Harness() {
        if (read) replay::FreeScenario(scenario);
        FreeBlock(scenario);
    }
};

void Capture(void* context, int stream, const char16_t* text) {
    Harness* h = static_cast<Harness*>(context);
    (stream == kCliStdout ? h->out : h->err) += U8(text) + "\n";
}

bool Prepare(void* context, const CliOptions* o, bool selftest, char16_t* program, size_t capacity,
             char16_t* problem, size_t problemCapacity) {
    Harness* h = static_cast<Harness*>(context);
    std::string path = o->scenario != nullptr ? U8(o->scenario)
                                              : std::string(OLV_SOURCE_DIR) +
                                                    (selftest ? "/tools/cli_demo/selftest.jsonl"
                                                              : "/tests/scenarios/dropper.jsonl");
    if (h->read) replay::FreeScenario(h->scenario);
    char error[replay::kScenarioErrorChars] = {};
    h->read = replay::ReadScenario(path.c_str(), h->scenario, error, sizeof error);
    if (!h->read) {
        CopyBounded(problem, problemCapacity, u"The scenario could not be read.");
        return false;
    }
    h->pacer.scenario = h->scenario;
    h->pacer.seconds = o->seconds;
    h->pacer.playMs = h->watchable ? 0 : 200;
    h->pacer.settleMs = h->watchable ? 0 : 200;
    clidemo::ScriptPacer(&h->pacer);
    if (h->afterFacts) h->afterFacts();
    CopyBounded(program, capacity, h->scenario->programPath);
    return true;
}

std::string ScriptPolicy();

void Started(void* context, Recording*) {
    Harness* h = static_cast<Harness*>(context);
    h->policyAtStart = ScriptPolicy();
    REQUIRE(clidemo::StartPacer(&h->pacer));
    h->running.store(true);
    for (int i = 0; i < h->interruptsAtStart; ++i)
        RequestCliStop();
}

void Ended(void* context, Recording*) {
    clidemo::StopPacer(&static_cast<Harness*>(context)->pacer);
}

// The script logging policy's values in the registry's stand-in ("absent" or "dword N" each),
// and whether a recorder keeps earlier values to put back.
std::string ScriptPolicy() {
    std::string text;
    auto* read = AllocRecord<RegistryValue>();
    REQUIRE(read != nullptr);
    for (const char16_t* key : {kScriptBlockLoggingKey, kModuleLoggingKey}) {
        const char16_t* name =
            key == kScriptBlockLoggingKey ? u"EnableScriptBlockLogging" : u"EnableModuleLogging";
        uint32_t value = 0;
        if (ReadRegistryValue(key, name, read) && read->size == 4) {
            std::memcpy(&value, read->data, 4);
            text += "dword " + std::to_string(value) + "|";
        } else {
            text += "absent|";
        }
    }
    FreeBlock(read);
    return text + (ScriptLoggingValuesKept() ? "kept" : "none kept");
}

uint32_t CreateCalls() {
    SimProcessLog log{};
    QuerySimProcessLog(&log);
    return log.createCalls;
}

bool Rights(void* context) {
    return !static_cast<Harness*>(context)->withoutRights;
}

void DemoPlan(void*, SelftestPlan* plan) {
    const char16_t* args[4] = {u"olvetta-selftest-demo",
                               u"C:\\Users\\analyst\\AppData\\Local\\Temp\\olvetta-selftest-demo",
                               u"50000", u"50016"};
    REQUIRE(SelftestPlanFromArguments(args, 4, plan));
}

int Run(Harness* h, std::vector<std::string> args) {
    ResetCliStop();
    h->out.clear();
    h->err.clear();
    h->platform.context = h;
    h->platform.writeLine = Capture;
    h->platform.scenarioAllowed = true;
    h->platform.pathSeparator = static_cast<char16_t>(fs::path::preferred_separator);
    h->platform.programName = u"olvetta-cli-demo";
    h->platform.executablePath = h->executable;
    h->platform.executableFolder = u".";
    h->platform.tempFolder = u"/tmp";
    h->platform.prepareRecording = Prepare;
    h->platform.recordingStarted = Started;
    h->platform.recordingEnded = Ended;
    h->platform.selftestPlan = DemoPlan;
    h->platform.hasRecordingRights = Rights;
    std::vector<std::u16string> wide{u"olvetta-cli-demo"};
    for (const std::string& a : args) {
        std::u16string w(a.size() + 1, u'\0');
        size_t written = 0;
        REQUIRE(replay::Utf8ToUtf16(a.c_str(), a.size(), w.data(), w.size(), &written));
        w.resize(written);
        wide.push_back(w);
    }
    std::vector<const char16_t*> argv;
    for (const std::u16string& w : wide)
        argv.push_back(w.c_str());
    const int code = RunCli(static_cast<int>(argv.size()), argv.data(), &h->platform);
    CHECK(CliFinished());
    return code;
}

// A path as UTF-8 (what the command line is given here), on every build.
std::string Utf8(const fs::path& p) {
    const std::u8string s = p.u8string();
    return std::string(s.begin(), s.end());
}

// The suite's scratch folder, removed when the suite ends.
struct ScratchRoot {
    fs::path path =
        fs::temp_directory_path() / ("olv-cli-test-" + std::to_string(CurrentProcessId()));
    ~ScratchRoot() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
};
ScratchRoot gScratch;

// A folder of its own for each test, emptied first.
fs::path Fresh(const char* name) {
    const fs::path p = gScratch.path / name;
    fs::remove_all(p);
    fs::create_directories(p);
    return p;
}

std::string Slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The rows of the result line.
int ResultRows(const std::string& out) {
    const size_t at = out.find("olvetta: ");
    if (at == std::string::npos) return -1;
    const size_t space = out.find(' ', out.find(' ', at + 9) + 1);
    return std::stoi(out.substr(out.find(' ', at + 9) + 1, space));
}

// The names in a folder, sorted.
std::vector<std::string> Names(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir))
        names.push_back(Utf8(e.path().filename()));
    std::sort(names.begin(), names.end());
    return names;
}

nlohmann::json ReadResult(const fs::path& dir) {
    const std::string text = Slurp(dir / "result.json");
    REQUIRE_MESSAGE(!text.empty(), "no result.json in ", Utf8(dir));
    return nlohmann::json::parse(text);
}

// The seconds of the result line.
int ResultSeconds(const std::string& out) {
    const size_t at = out.find(" s; files:");
    if (at == std::string::npos) return -1;
    const size_t in = out.rfind(" in ", at);
    return std::stoi(out.substr(in + 4, at - in - 4));
}

} // namespace

TEST_CASE("record writes the session and JSON, says so on one line, and ends 0 when complete") {
    Harness h;
    h.watchable = true; // long enough for progress lines
    const fs::path dir = Fresh("record");
    const fs::path out = dir / "out";
    CHECK(Run(&h, {"record", "--out", Utf8(out)}) == kCliExitOk);
    CHECK(fs::exists(out / "recording.ols"));
    CHECK(fs::exists(out / "recording.json"));
    CHECK_FALSE(fs::exists(out / "recording.csv"));
    CHECK(Has(h.out, "olvetta: complete 45 rows (high 15, medium 0, low 0) in "));
    CHECK(Has(h.out, "files: " + Utf8(out / "recording.ols") + ", " + Utf8(out / "recording.json") +
                         "\n"));
    // One progress line a second on standard error; none with --quiet.
    CHECK(Has(h.err, " rows (high "));
    CHECK(Has(h.err, "lost 0"));
    // Nothing but the files and result.json is left (no probe, no temporary file, no lock).
    CHECK(Names(out) == std::vector<std::string>{"recording.json", "recording.ols", "result.json"});

    h.watchable = false;
    CHECK(Run(&h, {"record", "--quiet", "--out", Utf8(out), "--formats", "csv", "--overwrite"}) ==
          0);
    CHECK(h.err.empty());
    CHECK(Names(out) == std::vector<std::string>{"recording.csv", "result.json"});
}

TEST_CASE("exit codes of a recording: incomplete 3, --fail-on 4, and the highest wins") {
    Harness h;
    const fs::path dir = Fresh("codes");
    CHECK(Run(&h, {"record", "--quiet", "--fail-on", "high", "--out", Utf8(dir / "a")}) ==
          kCliExitFailOn);
    CHECK(Run(&h, {"record", "--quiet", "--fail-on", "medium", "--out", Utf8(dir / "b")}) ==
          kCliExitFailOn);
    // benign has no row of a severity.
    CHECK(Run(&h, {"--scenario", kScenarios + "benign.jsonl", "record", "--quiet", "--fail-on",
                   "low", "--out", Utf8(dir / "c")}) == kCliExitOk);
    // Windows dropped events: the record is incomplete.
    CHECK(Run(&h, {"--scenario", kScenarios + "downloader.jsonl", "record", "--quiet", "--out",
                   Utf8(dir / "d")}) == kCliExitIncomplete);
    CHECK(Has(h.out, "olvetta: incomplete "));
    CHECK(Run(&h, {"--scenario", kScenarios + "downloader.jsonl", "record", "--quiet", "--fail-on",
                   "low", "--out", Utf8(dir / "e")}) == kCliExitFailOn);
}

TEST_CASE("a start that fails ends 2 with the reason, and leaves no folder behind") {
    Harness h;
    const fs::path dir = Fresh("taken");
    const fs::path cwd = fs::current_path();
    fs::current_path(dir);
    // Another program holds the kernel session: nobody answers Yes, so nothing is taken from it.
    const int code = Run(&h, {"--scenario", kScenarios + "kernel_taken_over.jsonl", "record"});
    fs::current_path(cwd);
    CHECK(code == kCliExitNotStarted);
    CHECK(
        Has(h.err, "olvetta: Another program is already using the Windows kernel trace session."));
    CHECK(Has(h.err, "Stop the existing session and continue? No.\n"));
    CHECK(h.out == "olvetta: failed: ETW: The Windows kernel trace session is in use by another "
                   "program.\n");
    CHECK(fs::is_empty(dir));
}

TEST_CASE("a kernel session that ends by itself is told once and the run still writes its files") {
    Harness h;
    const fs::path dir = Fresh("ends");
    std::string text = Slurp(kScenarios + "downloader.jsonl");
    text += "{\"kind\":\"traceEnds\",\"session\":\"kernel\",\"afterEvent\":30,\"status\":0}\n";
    const fs::path scenario = dir / "kernel_ends.jsonl";
    std::ofstream(scenario, std::ios::binary) << text;
    const std::string told = "olvetta: Recording stopped on its own: something else took the "
                             "Windows kernel trace session. Nothing after this point was "
                             "recorded.\n";

    CHECK(Run(&h, {"--scenario", Utf8(scenario), "record", "--quiet", "--out",
                   Utf8(dir / "record")}) == kCliExitIncomplete);
    const size_t at = h.err.find(told);
    CHECK(at != std::string::npos);
    CHECK(h.err.find(told, at + 1) == std::string::npos);
    CHECK(fs::exists(dir / "record" / "recording.json"));
    CHECK(Has(h.out, "olvetta: incomplete "));
}

TEST_CASE("--seconds and --until-exit stop on the scenario's clock") {
    Harness h;
    const fs::path dir = Fresh("time");
    // children_outlive plays 2.9 s of events; one second of them is fewer rows.
    REQUIRE(Run(&h, {"--scenario", kScenarios + "children_outlive.jsonl", "record", "--quiet",
                     "--out", Utf8(dir / "all")}) == 0);
    const int all = ResultRows(h.out);
    REQUIRE(Run(&h, {"--scenario", kScenarios + "children_outlive.jsonl", "record", "--quiet",
                     "--seconds", "1", "--out", Utf8(dir / "one")}) == 0);
    const int one = ResultRows(h.out);
    CHECK(one > 0);
    CHECK(one < all);
    CHECK(Has(h.out, " in 1 s;"));
    // Its children outlive the program: --until-exit waits for them, so the whole scenario plays.
    REQUIRE(Run(&h, {"--scenario", kScenarios + "children_outlive.jsonl", "record", "--quiet",
                     "--until-exit", "--out", Utf8(dir / "exit")}) == 0);
    CHECK(ResultRows(h.out) == all);

    // Here the program's tree ends 2.4 s in, and an unfollowed process goes on for 40 s of the
    // clock: --until-exit ends the recording soon after the tree's end.
    const std::string tail = std::string(OLV_SOURCE_DIR) + "/tests/cli/data/until_exit.jsonl";
    h.watchable = true;
    REQUIRE(Run(&h, {"--scenario", tail, "record", "--quiet", "--out", Utf8(dir / "tail")}) == 0);
    CHECK(ResultSeconds(h.out) >= 40);
    REQUIRE(Run(&h, {"--scenario", tail, "record", "--quiet", "--until-exit", "--out",
                     Utf8(dir / "tail-exit")}) == 0);
    CHECK(ResultSeconds(h.out) < 40);
    CHECK(ResultRows(h.out) == 45);
}

TEST_CASE("Ctrl+C stops cleanly and writes every file; a second one leaves the exports out") {
    Harness h;
    const fs::path dir = Fresh("interrupt");
    h.interruptsAtStart = 1;
    CHECK(Run(&h, {"record", "--quiet", "--formats", "session,json,csv", "--out",
                   Utf8(dir / "once")}) == kCliExitOk);
    CHECK(fs::exists(dir / "once" / "recording.ols"));
    CHECK(fs::exists(dir / "once" / "recording.json"));
    CHECK(fs::exists(dir / "once" / "recording.csv"));
    CHECK(ResultRows(h.out) >= 1); // at least the started process

    h.interruptsAtStart = 2;
    CHECK(Run(&h, {"record", "--quiet", "--formats", "session,json,csv", "--out",
                   Utf8(dir / "twice")}) == kCliExitIncomplete);
    CHECK(fs::exists(dir / "twice" / "recording.ols"));
    CHECK_FALSE(fs::exists(dir / "twice" / "recording.json"));
    CHECK_FALSE(fs::exists(dir / "twice" / "recording.csv"));
    CHECK(Has(h.err, "Stopped at once: recording.json was not written."));
    CHECK(Has(h.out, "files: " + Utf8(dir / "twice" / "recording.ols") + "\n"));
}

TEST_CASE("the session ends: a clean stop, the record written first, the other files while time "
          "remains, every wait bounded") {
    Harness h;
    const fs::path dir = Fresh("session-end");
    const std::string tail = std::string(OLV_SOURCE_DIR) + "/tests/cli/data/until_exit.jsonl";
    h.watchable = true; // 44 s of scenario unless stopped
    for (const bool exportsToo : {true, false}) {
        CAPTURE(exportsToo);
        const fs::path out = dir / (exportsToo ? "all" : "record");
        h.running.store(false);
        int code = -1;
        std::thread run([&] {
            code = Run(&h, {"--scenario", tail, "record", "--quiet", "--formats",
                            "session,json,csv", "--out", Utf8(out)});
        });
        bool started = false;
        for (int i = 0; i < 2000 && !started; ++i) {
            started = h.running.load();
            if (!started) SleepMilliseconds(5);
        }
        CHECK_MESSAGE(started, "the recording did not start within 10 s");
        // Without time for the exports the wait ends once the record is written.
        const int reached = EndCliBeforeExit(30000, exportsToo ? 30000 : 0);
        CHECK(fs::exists(out / "recording.ols"));
        CHECK(CliStopLevel() == 1); // a clean stop, never taken for a second interrupt
        if (exportsToo) {
            CHECK(reached == kCliEndFilesWritten);
            CHECK(fs::exists(out / "recording.json"));
            CHECK(fs::exists(out / "recording.csv"));
        } else {
            CHECK(reached >= kCliEndRecordSaved);
        }
        run.join();
        CHECK((code == kCliExitOk || code == kCliExitIncomplete));
        CHECK(fs::exists(out / "recording.csv"));
        CHECK(ResultSeconds(h.out) < 40);
    }

    // Nothing is being written: the wait gives up at its bound.
    ResetCliStop();
    CHECK(EndCliBeforeExit(50, 100) == kCliEndNothingSaved);
    ResetCliStop();
}

TEST_CASE(
    "output folders: made when missing, new names in the current folder, refused when unusable") {
    Harness h;
    const fs::path dir = Fresh("folders");
    const fs::path cwd = fs::current_path();
    fs::current_path(dir);
    REQUIRE(Run(&h, {"record", "--quiet"}) == 0);
    REQUIRE(Run(&h, {"record", "--quiet"}) == 0);
    fs::current_path(cwd);
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir))
        names.push_back(Utf8(e.path().filename()));
    std::sort(names.begin(), names.end());
    REQUIRE(names.size() == 2);
    // Both runs start at the scenario's clock: the second folder takes the next name.
    CHECK(names[0].rfind("Invoice_2024-0412.pdf-", 0) == 0);
    CHECK(names[1] == names[0] + "-2");
    CHECK(fs::exists(dir / names[1] / "recording.json"));

    // A folder with a non-ASCII name is made and written.
    const fs::path accentedPath = dir / u8"\u00e9chantillons \u65e5 x";
    const std::string accented = Utf8(accentedPath);
    CHECK(Run(&h, {"record", "--quiet", "--out", accented}) == 0);
    CHECK(fs::exists(accentedPath / "recording.ols"));

    // An existing folder is used as it is; an earlier run's files in it are not (below).
    fs::create_directories(dir / "empty");
    CHECK(Run(&h, {"record", "--quiet", "--out", Utf8(dir / "empty")}) == 0);

    // --out naming a file, or a folder whose parent is missing: 2, nothing started.
    std::ofstream(dir / "plain-file") << "x";
    CHECK(Run(&h, {"record", "--out", Utf8(dir / "plain-file")}) == kCliExitNotStarted);
    CHECK(Has(h.err, "The output folder is a file"));
    CHECK(Run(&h, {"record", "--out", Utf8(dir / "no" / "such" / "parent")}) == kCliExitNotStarted);
    CHECK(Has(h.err, "The output folder cannot be made"));
    CHECK(h.out.rfind("olvetta: failed: The output folder cannot be made", 0) == 0);
}

TEST_CASE("a folder holding an earlier run's files is refused unless --overwrite, which removes "
          "only those; a folder in use by a run is refused") {
    Harness h;
    const fs::path out = Fresh("mixing") / "out";
    REQUIRE(Run(&h, {"record", "--quiet", "--formats", "session,json,jsonl", "--out", Utf8(out)}) ==
          0);
    const std::string firstResult = Slurp(out / "result.json");
    std::ofstream(out / "notes.txt") << "the analyst's";
    std::ofstream(out / "recording.csv.part3") << "left by a run that was killed";
    fs::create_directories(out / "recording.json.d");

    // Refused before anything starts, naming the files; nothing of the earlier run is touched,
    // not even its result.json.
    CHECK(Run(&h, {"record", "--quiet", "--out", Utf8(out)}) == kCliExitNotStarted);
    CHECK(Has(h.err, "already holds files of an earlier run: "));
    for (const char* name : {"recording.ols", "recording.json", "recording.jsonl", "result.json",
                             "recording.csv.part3"})
        CHECK(Has(h.err, name));
    CHECK_FALSE(Has(h.err, "notes.txt"));
    CHECK(Has(h.err, "--overwrite to remove them first"));
    CHECK(Has(h.out, "olvetta: failed: The output folder "));
    CHECK(Slurp(out / "result.json") == firstResult);
    CHECK(Names(out).size() == 7);

    // --overwrite: this program's files go first, everything else stays.
    CHECK(Run(&h, {"record", "--quiet", "--formats", "csv", "--overwrite", "--out", Utf8(out)}) ==
          0);
    CHECK(Names(out) == std::vector<std::string>{"notes.txt", "recording.csv", "recording.json.d",
                                                 "result.json"});

    // Another run holds the folder's lock: refused, and its folder is left as it is.
    std::u16string lockPath = (out / ".olvetta.lock").u16string();
    uint32_t error = 0;
    FileHandle lock = LockFileExclusively(lockPath.c_str(), &error);
    REQUIRE(lock != nullptr);
    const std::string heldResult = Slurp(out / "result.json");
    CHECK(Run(&h, {"record", "--quiet", "--overwrite", "--out", Utf8(out)}) == kCliExitNotStarted);
    CHECK(Has(h.err, "Another run is writing into the folder "));
    CHECK(Has(h.err, ".olvetta.lock"));
    CHECK(Slurp(out / "result.json") == heldResult);
    CHECK(fs::exists(out / "recording.csv"));
    ReleaseLockFile(lock, lockPath.c_str());
    CHECK_FALSE(fs::exists(out / ".olvetta.lock"));
}

TEST_CASE("the lock file: one holder at a time, gone when let go, a left-over file taken") {
    const fs::path dir = Fresh("lockfile");
    const std::u16string path = (dir / ".olvetta.lock").u16string();
    uint32_t error = 0;
    FileHandle first = LockFileExclusively(path.c_str(), &error);
    REQUIRE(first != nullptr);
    CHECK(fs::exists(dir / ".olvetta.lock"));
    CHECK(LockFileExclusively(path.c_str(), &error) == nullptr);
    CHECK(error == kErrorSharingViolation);
    ReleaseLockFile(first, path.c_str());
    CHECK_FALSE(fs::exists(dir / ".olvetta.lock"));
    // A file left by a holder that was killed holds nothing.
    std::ofstream(dir / ".olvetta.lock") << "";
    FileHandle again = LockFileExclusively(path.c_str(), &error);
    CHECK(again != nullptr);
    ReleaseLockFile(again, path.c_str());
    // A folder that is missing: the system's error, no handle.
    const std::u16string missing = (dir / "no" / ".olvetta.lock").u16string();
    CHECK(LockFileExclusively(missing.c_str(), &error) == nullptr);
    CHECK(error != kErrorSharingViolation);
}

TEST_CASE("record writes the compact session unless session-v2 asks for the older form") {
    Harness h;
    const fs::path dir = Fresh("session_forms");
    REQUIRE(Run(&h, {"record", "--quiet", "--out", Utf8(dir / "new")}) == 0);
    REQUIRE(Run(&h, {"record", "--quiet", "--formats", "session-v2,json", "--out",
                     Utf8(dir / "old")}) == 0);
    const std::string compact = Slurp(dir / "new" / "recording.ols");
    const std::string older = Slurp(dir / "old" / "recording.ols");
    REQUIRE((compact.size() > 16 && older.size() > 16));
    CHECK(compact[4] == 5);
    CHECK(older[4] == 4);
    CHECK(compact.size() * 8 < older.size());
    // The compact session analysed, and written again in the older form and analysed: the same
    // rows.
    const std::string fresh = Utf8(dir / "new" / "recording.ols");
    REQUIRE(Run(&h, {"analyze", fresh, "--formats", "csv,session-v2", "--quiet", "--out",
                     Utf8(dir / "a_new")}) == 0);
    CHECK(Slurp(dir / "a_new" / "recording.ols")[4] == 4);
    REQUIRE(Run(&h, {"analyze", Utf8(dir / "a_new" / "recording.ols"), "--formats", "csv",
                     "--quiet", "--out", Utf8(dir / "a_old")}) == 0);
    const std::string a = Slurp(dir / "a_new" / "recording.csv");
    CHECK(a.size() > 1000);
    CHECK(a == Slurp(dir / "a_old" / "recording.csv"));
    // The two forms are one file: asking for both is refused.
    uint32_t formats = 0;
    CHECK(ParseFormatList(u"session-v2,csv", &formats));
    CHECK(formats == (kCliFormatSessionV2 | kCliFormatCsv));
    CHECK_FALSE(ParseFormatList(u"session,session-v2", &formats));
    CHECK(formats == (kCliFormatSessionV2 | kCliFormatCsv));
}

TEST_CASE("analyze re-writes a session in the chosen formats, and refuses a damaged one") {
    Harness h;
    const fs::path dir = Fresh("analyze");
    REQUIRE(Run(&h, {"record", "--quiet", "--out", Utf8(dir / "rec")}) == 0);
    const std::string session = Utf8(dir / "rec" / "recording.ols");

    CHECK(Run(&h, {"analyze", session, "--out", Utf8(dir / "a"), "--formats", "json,csv"}) == 0);
    CHECK(Has(h.out, "olvetta: complete 45 rows (high 15, medium 0, low 0) in "));
    // The same rows as the recording's own JSON export.
    CHECK(Slurp(dir / "a" / "recording.json").size() > 1000);
    CHECK(fs::exists(dir / "a" / "recording.csv"));

    // The view options shape the exports (not the session).
    CHECK(Run(&h, {"analyze", session, "--out", Utf8(dir / "b"), "--suspicious"}) == 0);
    CHECK(Slurp(dir / "b" / "recording.json").size() < Slurp(dir / "a" / "recording.json").size());
    // --operation compares without regard to case; a name no row has gives an empty view, as
    // a filter text no row holds does, and the run ends by the usual rules.
    REQUIRE(Run(&h, {"analyze", session, "--out", Utf8(dir / "c1"), "--operation",
                     "Started process"}) == 0);
    CHECK(Has(Slurp(dir / "c1" / "recording.json"), "\"rowsInThisFile\": 1,"));
    CHECK(Run(&h, {"analyze", session, "--out", Utf8(dir / "c2"), "--operation",
                   "sTARTED PROCESS"}) == 0);
    CHECK(Slurp(dir / "c2" / "recording.json") == Slurp(dir / "c1" / "recording.json"));
    CHECK(Run(&h, {"analyze", session, "--out", Utf8(dir / "c"), "--operation", "Teleported",
                   "--formats", "json,csv", "--fail-on", "high"}) == kCliExitFailOn);
    CHECK(h.err.empty());
    CHECK(Has(Slurp(dir / "c" / "recording.json"), "\"rowsInThisFile\": 0,"));
    CHECK(Has(Slurp(dir / "c" / "recording.json"), "Teleported"));
    CHECK(fs::exists(dir / "c" / "recording.csv"));
    CHECK(Run(&h, {"analyze", session, "--out", Utf8(dir / "c3"), "--filter", "no such text"}) ==
          0);
    CHECK(Run(&h, {"analyze", session, "--fail-on", "high", "--out", Utf8(dir / "d")}) ==
          kCliExitFailOn);

    // Damaged: cut in the middle of a row.
    const std::string bytes = Slurp(session);
    std::ofstream(dir / "cut.ols", std::ios::binary) << bytes.substr(0, bytes.size() - 1000);
    CHECK(Run(&h, {"analyze", Utf8(dir / "cut.ols"), "--out", Utf8(dir / "e")}) ==
          kCliExitNotStarted);
    CHECK_FALSE(h.err.empty());
    CHECK(h.out.rfind("olvetta: failed: ", 0) == 0);
    // The folder given holds the outcome, and only that.
    CHECK(Names(dir / "e") == std::vector<std::string>{"result.json"});
    CHECK(ReadResult(dir / "e")["result"] == "failed");
    CHECK(Run(&h, {"analyze", Utf8(dir / "missing.ols")}) == kCliExitNotStarted);
}

TEST_CASE("without administrator rights record and selftest end 2 before anything starts; "
          "analyze, --help and --version need none") {
    Harness h;
    const fs::path dir = Fresh("rights");
    REQUIRE(Run(&h, {"record", "--quiet", "--out", Utf8(dir / "rec")}) == 0);

    h.withoutRights = true;
    const std::string refusal =
        "olvetta-cli-demo needs administrator rights to record: run it from an elevated prompt\n";
    const uint32_t createsBefore = CreateCalls();
    CHECK(Run(&h, {"record", "--out", Utf8(dir / "none"), "--", "C:\\x.exe"}) ==
          kCliExitNotStarted);
    CHECK(h.err == refusal);
    CHECK(h.out.empty());
    CHECK(Run(&h, {"selftest", "--out", Utf8(dir / "check")}) == kCliExitNotStarted);
    CHECK(h.err == refusal);
    CHECK(h.out.empty());
    CHECK(CreateCalls() == createsBefore); // nothing was launched
    CHECK_FALSE(fs::exists(dir / "none"));
    CHECK_FALSE(fs::exists(dir / "check"));
    // A usage error is still a usage error.
    CHECK(Run(&h, {"record", "--seconds", "0"}) == kCliExitUsage);

    CHECK(Run(&h, {"analyze", Utf8(dir / "rec" / "recording.ols"), "--quiet", "--out",
                   Utf8(dir / "again")}) == 0);
    CHECK(fs::exists(dir / "again" / "recording.json"));
    CHECK(Run(&h, {"--help"}) == 0);
    CHECK(Run(&h, {"--version"}) == 0);
    CHECK(h.err.empty());
}

TEST_CASE("usage errors end 1 with the problem; --help and --version end 0") {
    Harness h;
    CHECK(Run(&h, {"record", "--seconds", "0"}) == kCliExitUsage);
    CHECK(Has(h.err, "olvetta: --seconds 0 would record nothing: give at least 1\n"));
    CHECK(Has(h.err, "Run \"olvetta-cli-demo --help\""));
    CHECK(Run(&h, {"frobnicate"}) == kCliExitUsage);
    CHECK(Run(&h, {"--scenario", kScenarios + "no-such-file.jsonl", "record"}) == kCliExitUsage);
    CHECK(Has(h.err, "The scenario could not be read."));
    CHECK(Run(&h, {"--help"}) == 0);
    CHECK(Has(h.out, "usage: olvetta-cli record [options] -- PROGRAM [ARGUMENTS...]\n"));
    CHECK(Has(h.out, "  5  selftest: some checks are missing\n"));
    // The operations --operation knows, wrapped to the usage's width.
    CHECK(Has(h.out, "operations (for --operation):\n  Opened file, Read file,"));
    CHECK(Has(h.out, " DNS query,"));
    CHECK(Has(h.out, " Deleted registry value,"));
    CHECK(Has(h.out, " Ran script block,"));
    CHECK(Has(h.out, " Scanned content,"));
    CHECK(Has(h.out, " Opened process,"));
    CHECK(Has(h.out, " Loaded driver,"));
    CHECK(Has(h.out, " Created thread in another process\n"));
    size_t widest = 0;
    for (size_t at = 0, end; (end = h.out.find('\n', at)) != std::string::npos; at = end + 1)
        widest = std::max(widest, end - at);
    CHECK(widest <= 90);
    // Every run ends with a result line, a refused command line too.
    CHECK(Run(&h, {"record", "--out", "x", "s.exe", "--seconds", "1"}) == kCliExitUsage);
    CHECK(h.out == "olvetta: failed: --seconds after the program: put -- before the program's own "
                   "arguments (record [options] -- PROGRAM [ARGUMENTS...])\n");
    CHECK(Run(&h, {"--version"}) == 0);
    CHECK(h.out == "olvetta-cli-demo 1.1.0.0\n");
}

TEST_CASE("selftest plays the helper's actions and finds every check; what is missing says why") {
    Harness h;
    CHECK(Run(&h, {"selftest", "--quiet"}) == kCliExitOk);
    CHECK(Has(h.out, "olvetta: recording on this machine\n  found    Child process started    as "
                     "\"Started child process\"\n"));
    CHECK(Has(h.out, "  found    File created             as \"Created new file\"\n"));
    CHECK(Has(h.out, "  found    DNS query                as \"DNS query\"\n"));
    CHECK(Has(h.out, "olvetta: " + Found(0) + "\n"));
    CHECK_FALSE(Has(h.out, "files:")); // nothing written without --out

    // The same machine on Windows 7: no DNS session (which carries PowerShell's provider too),
    // so the DNS, script and process open checks are missing, and say why.
    const fs::path dir = Fresh("selftest");
    const std::string selftest =
        Slurp(fs::path(OLV_SOURCE_DIR) / "tools" / "cli_demo" / "selftest.jsonl");
    std::ofstream(dir / "win7.jsonl", std::ios::binary)
        << selftest << "{\"kind\":\"windows\",\"major\":6,\"minor\":1,\"build\":7601}\n";
    CHECK(Run(&h, {"--scenario", Utf8(dir / "win7.jsonl"), "selftest", "--quiet"}) ==
          kCliExitChecksMissing);
    CHECK(Has(h.out, "  MISSING  DNS query                DNS events need Windows 8.1 or later\n"));
    CHECK(Has(h.out, "  MISSING  Script block ran         script blocks are recorded from "
                     "Windows 8.1 on (their session starts there)\n"));
    // Nor does Windows 7 audit process opens.
    CHECK(Has(h.out, "  MISSING  Process opened           process open events need Windows 10 "
                     "or later\n"));
    CHECK(Has(h.out, "olvetta: " + Found(3) + "\n"));

    // With --out the recording is kept too.
    CHECK(Run(&h, {"selftest", "--quiet", "--out", Utf8(dir / "kept")}) == kCliExitOk);
    CHECK(fs::exists(dir / "kept" / "recording.ols"));
    CHECK(ReadResult(dir / "kept")["command"] == "selftest");
    CHECK(Has(h.out, "olvetta: complete "));
}

TEST_CASE(
    "selftest switches script block logging on for its recording and puts the system's "
    "policy back: at its end, after a failed start, after a recorder ended without its Stop") {
    Harness h;
    const fs::path dir = Fresh("selftest-policy");
    const std::string selftest =
        Slurp(fs::path(OLV_SOURCE_DIR) / "tools" / "cli_demo" / "selftest.jsonl");
    // The system's own policy: script blocks not logged, nothing said of modules.
    const auto systemPolicy = [] {
        const uint32_t off = 0;
        SetSimulatedRegistryValue(kScriptBlockLoggingKey, u"EnableScriptBlockLogging", kRegDword,
                                  &off, sizeof off);
    };
    const std::string system = "dword 0|absent|none kept";
    h.afterFacts = systemPolicy;

    SUBCASE("the check's own recording, whatever --script-logging says") {
        CHECK(Run(&h, {"selftest", "--quiet"}) == kCliExitOk);
        CHECK(h.policyAtStart == "dword 1|dword 1|kept");
        CHECK(Has(h.out, "  found    Script block ran         as \"Ran script block\"\n"));
    }
    SUBCASE("a start that fails after the switch") {
        std::ofstream(dir / "fails.jsonl", std::ios::binary)
            << selftest << "{\"kind\":\"launchFails\",\"error\":193}\n";
        CHECK(Run(&h, {"--scenario", Utf8(dir / "fails.jsonl"), "selftest", "--quiet"}) ==
              kCliExitNotStarted);
        CHECK(h.policyAtStart.empty()); // never started
        CHECK(Has(h.out, "olvetta: " + Found(kSelftestCheckCount) + "\n"));
    }
    SUBCASE("what a recorder ended without its Stop left on goes back first") {
        h.afterFacts = [&] {
            systemPolicy();
            REQUIRE(TurnOnScriptLogging(nullptr));
            REQUIRE(ScriptPolicy() == "dword 1|dword 1|kept");
        };
        CHECK(Run(&h, {"selftest", "--quiet"}) == kCliExitOk);
        CHECK(h.policyAtStart == "dword 1|dword 1|kept");
    }
    SUBCASE("a policy that cannot be written: nothing is changed, and the recording is told "
            "incomplete") {
        h.afterFacts = [&] {
            systemPolicy();
            FailSimulatedRegistryChanges(5);
        };
        // (The replay plays PowerShell's event whatever the policy; the judge's reason for a
        // block missing so is the judge's own test.)
        CHECK(Run(&h, {"selftest", "--quiet"}) == kCliExitIncomplete);
        CHECK(h.policyAtStart == system);
    }
    CHECK(ScriptPolicy() == system);
    ClearSimulatedRegistry();
}

TEST_CASE("Sigma rules: --rules raises severities for --fail-on, and JSON Lines carries them") {
    Harness h;
    const fs::path dir = Fresh("sigma");
    const std::string rules = kScenarios + "sigma-rules";
    // Without rules the dropper has no row of a low severity; the test rules add one.
    REQUIRE(Run(&h, {"record", "--quiet", "--out", Utf8(dir / "plain")}) == 0);
    CHECK(Has(h.out, "(high 15, medium 0, low 0)"));
    REQUIRE(Run(&h, {"record", "--rules", rules, "--formats", "session,jsonl", "--out",
                     Utf8(dir / "rules")}) == 0);
    CHECK(Has(h.out, "(high 16, medium 0, low 1)"));
    CHECK(Has(h.err, "olvetta: Loaded 11 Sigma rules from "));
    const std::string lines = Slurp(dir / "rules" / "recording.jsonl");
    CHECK(lines.rfind("{\"kind\":\"recording\"", 0) == 0);
    CHECK(Has(lines, "\"sigma\":"));
    CHECK(Has(lines, "{\"kind\":\"end\",\"events\":45}\n"));

    // Re-analysed with the rules: the same event lines (the first holds the snapshot's time).
    REQUIRE(Run(&h, {"analyze", Utf8(dir / "rules" / "recording.ols"), "--rules", rules,
                     "--formats", "jsonl", "--quiet", "--out", Utf8(dir / "again")}) == 0);
    const std::string again = Slurp(dir / "again" / "recording.jsonl");
    CHECK(again.substr(again.find('\n')) == lines.substr(lines.find('\n')));
    // The plain recording, re-analysed with the rules, now has a row at the low level.
    CHECK(Run(&h, {"analyze", Utf8(dir / "plain" / "recording.ols"), "--rules", rules, "--fail-on",
                   "low", "--quiet", "--out", Utf8(dir / "low")}) == kCliExitFailOn);
    CHECK(Run(&h, {"analyze", Utf8(dir / "plain" / "recording.ols"), "--fail-on", "low", "--quiet",
                   "--out", Utf8(dir / "low-without")}) == kCliExitFailOn);

    // A rule folder that cannot be read: nothing is recorded (2); the folder holds the outcome.
    CHECK(Run(&h, {"record", "--rules", Utf8(dir / "no-such-rules"), "--out",
                   Utf8(dir / "none")}) == kCliExitNotStarted);
    CHECK(Has(h.err, "olvetta: The Sigma rules could not be read from "));
    CHECK(Names(dir / "none") == std::vector<std::string>{"result.json"});
    const nlohmann::json failed = ReadResult(dir / "none");
    CHECK(failed["result"] == "failed");
    CHECK(failed["rules"]["folder"] == Utf8(dir / "no-such-rules"));
    CHECK(failed["rules"]["loaded"] == 0);
    CHECK(failed["started"].is_null());
    CHECK(failed["rulesFired"].empty());
}

TEST_CASE("result.json in every outcome: complete, incomplete, a start that fails, a second "
          "Ctrl+C, and analyze") {
    Harness h;
    const fs::path dir = Fresh("result");
    const std::string rules = kScenarios + "sigma-rules";

    // Complete, with rules: everything a pipeline reads, and the same counts as the result line.
    REQUIRE(Run(&h, {"record", "--quiet", "--rules", rules, "--formats", "session,json,csv",
                     "--out", Utf8(dir / "done")}) == kCliExitOk);
    // --quiet leaves out the progress line only.
    CHECK(Has(h.err, "olvetta: Loaded 11 Sigma rules from "));
    CHECK_FALSE(Has(h.err, " rows (high "));
    nlohmann::json r = ReadResult(dir / "done");
    CHECK(r["result"] == "complete");
    CHECK(r["exitCode"] == 0);
    CHECK(r["exitMeaning"] == "complete, and no row reached --fail-on (selftest: every check found)");
    CHECK(r["message"].is_null());
    CHECK(r["command"] == "record");
    CHECK(r["invocation"][0] == "record");
    CHECK(r["invocation"].size() == 8);
    CHECK(r["version"] == "1.1.0.0");
    CHECK(r["program"] == "C:\\Users\\analyst\\Downloads\\Invoice_2024-0412.pdf.exe");
    CHECK(r["arguments"].is_array());
    CHECK(r["rows"] == 45);
    CHECK(r["severities"] == nlohmann::json({{"high", 16}, {"medium", 0}, {"low", 1}}));
    CHECK(r["files"] == nlohmann::json({Utf8(dir / "done" / "recording.ols"),
                                        Utf8(dir / "done" / "recording.json"),
                                        Utf8(dir / "done" / "recording.csv")}));
    CHECK(r["notes"] == nlohmann::json::array());
    // UTC instants with Z, whatever the zone: the scenario's clock starts at 2024-04-02
    // 14:05:10 UTC (the run's own start is the machine's clock, before the scenario's is set).
    CHECK(r["started"] == "2024-04-02T14:05:10.000Z");
    CHECK(r["stopped"].get<std::string>() > r["started"].get<std::string>());
    CHECK(r["stopped"].get<std::string>().back() == 'Z');
    CHECK(r["runStarted"].get<std::string>().back() == 'Z');
    CHECK(r["runEnded"].get<std::string>().size() == 24);
    CHECK(r["rules"]["folder"] == rules);
    CHECK(r["rules"]["loaded"] == 11);
    CHECK(r["rules"]["refused"] == r["rules"]["refusedFiles"].size());
    CHECK(r["rules"]["partial"] == nlohmann::json::array()); // no loaded rule names a field never recorded
    for (const auto& refused : r["rules"]["refusedFiles"]) {
        CHECK(refused["file"].is_string());
        CHECK_FALSE(refused["reason"].get<std::string>().empty());
        CHECK(refused["detail"].is_string());
    }
    int highRows = 0;
    bool sigmaLow = false;
    for (const auto& rule : r["rulesFired"]) {
        CHECK(rule["rows"].get<int>() > 0);
        if (rule["source"] == "built-in" && rule["level"] == "high")
            highRows = std::max(highRows, rule["rows"].get<int>());
        if (rule["source"] == "sigma" && rule["level"] == "low" && rule["rows"] == 1)
            sigmaLow = true;
    }
    CHECK(highRows > 0);
    CHECK(sigmaLow);

    // Incomplete: Windows dropped events; the notes say so, one a line.
    CHECK(Run(&h, {"--scenario", kScenarios + "downloader.jsonl", "record", "--quiet", "--out",
                   Utf8(dir / "lost")}) == kCliExitIncomplete);
    r = ReadResult(dir / "lost");
    CHECK(r["result"] == "incomplete");
    CHECK(r["exitCode"] == 3);
    REQUIRE(r["notes"].size() >= 1);
    for (const auto& note : r["notes"]) {
        CHECK_FALSE(note.get<std::string>().empty());
        CHECK(note.get<std::string>().find('\n') == std::string::npos);
    }

    // The start fails: failed, with the message, no rows, no recording times, no files.
    CHECK(Run(&h, {"--scenario", kScenarios + "kernel_taken_over.jsonl", "record", "--out",
                   Utf8(dir / "taken")}) == kCliExitNotStarted);
    CHECK(Names(dir / "taken") == std::vector<std::string>{"result.json"});
    r = ReadResult(dir / "taken");
    CHECK(r["result"] == "failed");
    CHECK(r["exitCode"] == 2);
    CHECK(r["message"] == "ETW: The Windows kernel trace session is in use by another program.");
    CHECK(h.out == "olvetta: failed: " + r["message"].get<std::string>() + "\n");
    CHECK(r["rows"] == 0);
    CHECK(r["files"].empty());
    CHECK(r["started"].is_null());
    CHECK(r["stopped"].is_null());
    CHECK(r["runStarted"].is_string());

    // A second Ctrl+C: the exports are left out and named in the notes; the record is written.
    h.interruptsAtStart = 2;
    CHECK(Run(&h, {"record", "--quiet", "--formats", "session,json,csv", "--out",
                   Utf8(dir / "twice")}) == kCliExitIncomplete);
    h.interruptsAtStart = 0;
    r = ReadResult(dir / "twice");
    CHECK(r["result"] == "incomplete");
    CHECK(r["files"] == nlohmann::json({Utf8(dir / "twice" / "recording.ols")}));
    const std::string notes = r["notes"].dump();
    CHECK(Has(notes, "recording.json was not written: stopped at once."));
    CHECK(Has(notes, "recording.csv was not written: stopped at once."));
    CHECK(Has(h.out, "olvetta: incomplete "));

    // analyze: the session and the recorded program; --fail-on decides the code.
    CHECK(Run(&h, {"analyze", Utf8(dir / "done" / "recording.ols"), "--quiet", "--fail-on", "high",
                   "--out", Utf8(dir / "again")}) == kCliExitFailOn);
    r = ReadResult(dir / "again");
    CHECK(r["result"] == "complete");
    CHECK(r["exitCode"] == 4);
    CHECK(r["exitMeaning"] == "a row reached the --fail-on level");
    CHECK(r["command"] == "analyze");
    CHECK(r["session"] == Utf8(dir / "done" / "recording.ols"));
    CHECK(r["program"] == "C:\\Users\\analyst\\Downloads\\Invoice_2024-0412.pdf.exe");
    CHECK(r["rows"] == 45);
}

namespace {

// A folder whose path is exactly length UTF-16 units long, made with its parents (names of at
// most 200 characters, as every file system takes them).
fs::path FolderOfLength(const fs::path& base, size_t length) {
    fs::path p = base;
    size_t now = Utf8(p).size();
    REQUIRE(now + 2 <= length);
    while (now < length) {
        const size_t rest = length - now - 1; // one separator
        // Never leave a single character for the last name: it would need a separator too.
        const size_t take = rest > 200 ? (rest - 200 < 2 ? 150 : 200) : rest;
        p /= std::string(take, 'd');
        now += take + 1;
    }
    REQUIRE(Utf8(p).size() == length);
    fs::create_directories(p);
    return p;
}

// Wine's DeleteFileW leaves a file of an extended-length path (the probe's) in place, so past
// MAX_PATH only the folder's being there is checked on Windows.
bool EmptyFolder(fs::path p) {
#ifdef _WIN32
    p = fs::path(L"\\\\?\\" + p.make_preferred().wstring());
    return fs::is_directory(p);
#else
    return fs::is_directory(p) && fs::is_empty(p);
#endif
}

} // namespace

TEST_CASE("--out is checked before start with the writer's own limit, for every file it writes") {
    Harness h;
    const fs::path dir = Fresh("long-out");
    // The longest name written is recording.jsonl (15): with the separator a folder of up to
    // kSafeTargetPathChars - 17 characters holds every file.
    const size_t longest = kSafeTargetPathChars - 1 - 1 - 15;
    const std::vector<std::string> all = {"--formats", "session,json,jsonl,csv"};

    for (const size_t length : {longest - 1, longest}) {
        CAPTURE(length);
        const fs::path out = FolderOfLength(dir / std::to_string(length), length);
        std::vector<std::string> args = {"record", "--quiet", "--out", Utf8(out)};
        args.insert(args.end(), all.begin(), all.end());
        CHECK(Run(&h, args) == kCliExitOk);
        for (const char* name :
             {"recording.ols", "recording.json", "recording.jsonl", "recording.csv"})
            CHECK(fs::exists(out / name));
    }

    // One more character and recording.jsonl would not fit: nothing starts, nothing is left.
    const fs::path over = FolderOfLength(dir / "over", longest + 1);
    std::vector<std::string> args = {"record", "--quiet", "--out", Utf8(over)};
    args.insert(args.end(), all.begin(), all.end());
    CHECK(Run(&h, args) == kCliExitNotStarted);
    CHECK(Has(h.err, "the path of recording.jsonl would be " +
                         std::to_string(kSafeTargetPathChars) + " characters long, and the "
                         "longest a file can have is " +
                         std::to_string(kSafeTargetPathChars - 1) + "."));
    CHECK(Has(h.out, "olvetta: failed: Files cannot be written into the folder"));
    CHECK(EmptyFolder(over));
    // Without JSON Lines the same folder holds every file the run writes.
    CHECK(Run(&h, {"record", "--quiet", "--out", Utf8(over), "--formats", "session,csv"}) ==
          kCliExitOk);
    CHECK(fs::exists(over / "recording.csv"));

    // A folder made for the run is removed again when a file would not fit; so is a --out the
    // program could only cut.
    const fs::path parent = FolderOfLength(dir / "made", longest - 10);
    const std::string made = Utf8(parent) + "/" + std::string(11, 'm');
    CHECK(Run(&h, {"record", "--quiet", "--out", made, "--formats", "jsonl"}) ==
          kCliExitNotStarted);
    CHECK(EmptyFolder(parent));
    CHECK(Run(&h, {"record", "--quiet", "--out", Utf8(dir) + "/" + std::string(2000, 'x')}) ==
          kCliExitNotStarted);
    CHECK(Has(h.err, "The output folder cannot be used"));
}

namespace {

// The event lines of a JSON Lines file (each row with its severity, threat and Sigma matches).
std::string EventLines(const std::string& jsonl) {
    const size_t first = jsonl.find('\n');
    return first == std::string::npos ? "" : jsonl.substr(first + 1);
}

// The same without the times and in sorted order: two recordings of one scenario differ in when
// the rows the window makes itself arrive among the trace's (they are stamped with the clock).
std::vector<std::string> Untimed(const std::string& lines) {
    static const std::regex kTimes("\"time\":\"[^\"]*\",\"timeUtc\":\"[^\"]*\",");
    std::vector<std::string> sorted;
    std::istringstream in(std::regex_replace(lines, kTimes, ""));
    for (std::string line; std::getline(in, line);)
        sorted.push_back(line);
    std::sort(sorted.begin(), sorted.end());
    return sorted;
}

// The counts of the result line: "(high N, medium N, low N)".
std::string ResultCounts(const std::string& out) {
    const size_t at = out.find(" rows (");
    return at == std::string::npos ? "" : out.substr(at, out.find(')', at) - at + 1);
}

} // namespace

TEST_CASE("analyze judges a session as its recording did: its recorder, the rules applied") {
    Harness h;
    const fs::path dir = Fresh("faithful");
    // A rule on the examined program's parent: the recorder that started it.
    fs::create_directories(dir / "rules");
    fs::copy(kScenarios + "sigma-rules", dir / "rules", fs::copy_options::recursive);
    std::ofstream(dir / "rules" / "started_by_recorder.yml", std::ios::binary)
        << "title: Started by the recorder\nid: 7d0d5b0e-3f0b-4c55-9a8e-0c1f9f0000aa\n"
           "level: medium\nlogsource:\n    category: process_creation\n    product: windows\n"
           "detection:\n    selection:\n        ParentImage|endswith: '\\olvetta-cli.exe'\n"
           "    condition: selection\n";
    const std::string rules = Utf8(dir / "rules");

    h.executable = u"C:\\Tools\\olvetta-cli.exe";
    const int recorded = Run(&h, {"record", "--rules", rules, "--formats", "session,jsonl",
                                  "--fail-on", "medium", "--quiet", "--out", Utf8(dir / "rec")});
    CHECK(recorded == kCliExitFailOn);
    const std::string counts = ResultCounts(h.out);
    CHECK(counts == " rows (high 16, medium 1, low 1)");
    const std::string lines = Slurp(dir / "rec" / "recording.jsonl");
    CHECK(Has(lines, "\"title\":\"Started by the recorder\""));

    // Analysed by another copy of the program, somewhere else: the same rows, severities, matches
    // and exit code.
    h.executable = u"D:\\Elsewhere\\olvetta-cli-demo.exe";
    const std::string session = Utf8(dir / "rec" / "recording.ols");
    CHECK(Run(&h, {"analyze", session, "--rules", rules, "--formats", "jsonl", "--fail-on",
                   "medium", "--quiet", "--out", Utf8(dir / "again")}) == recorded);
    CHECK(ResultCounts(h.out) == counts);
    CHECK(EventLines(Slurp(dir / "again" / "recording.jsonl")) == EventLines(lines));

    // Without the rules, no severity they raised stays: the rows are as a recording without them.
    h.executable = u"C:\\Tools\\olvetta-cli.exe";
    REQUIRE(Run(&h, {"record", "--formats", "session,jsonl", "--quiet", "--out",
                     Utf8(dir / "plain")}) == 0);
    const std::string plainCounts = ResultCounts(h.out);
    CHECK(plainCounts == " rows (high 15, medium 0, low 0)");
    CHECK(Run(&h, {"analyze", session, "--formats", "jsonl", "--fail-on", "medium", "--quiet",
                   "--out", Utf8(dir / "without")}) == kCliExitFailOn);
    CHECK(ResultCounts(h.out) == plainCounts);
    CHECK(Untimed(EventLines(Slurp(dir / "without" / "recording.jsonl"))) ==
          Untimed(EventLines(Slurp(dir / "plain" / "recording.jsonl"))));
}

TEST_CASE("YARA rules: --yara loads a folder before recording, says what was refused, and a "
          "folder that cannot be read records nothing") {
    Harness h;
    const fs::path dir = Fresh("yara");
    fs::create_directories(dir / "rules");
    std::ofstream(dir / "rules" / "a.yar") << "rule a { strings: $a = \"x\" condition: $a }\n";
    std::ofstream(dir / "rules" / "b.yar") << "rule b {\n condition: nope }\n";
    if (!YaraRulesAvailable()) {
        CHECK(Run(&h, {"record", "--yara", Utf8(dir / "rules"), "--quiet", "--out",
                       Utf8(dir / "out")}) == kCliExitNotStarted);
        CHECK(Has(h.err, "olvetta: YARA rules are not available in this build."));
        return;
    }
    REQUIRE(Run(&h, {"record", "--yara", Utf8(dir / "rules"), "--quiet", "--out",
                     Utf8(dir / "out")}) == 0);
    CHECK(Has(h.err, "olvetta: Loaded 1 YARA rule from 1 files of "));
    CHECK(Has(h.err, "olvetta:   b.yar, line 2 (syntax): undefined identifier \"nope\"\n"));
    CHECK(Run(&h, {"record", "--yara", Utf8(dir / "none"), "--quiet", "--out",
                   Utf8(dir / "not")}) == kCliExitNotStarted);
    CHECK(Has(h.err, "olvetta: The YARA rules could not be read from "));
    // Only a recording scans: analyze does not take the option.
    CHECK(Run(&h, {"analyze", Utf8(dir / "out" / "recording.ols"), "--yara", Utf8(dir / "rules"),
                   "--out", Utf8(dir / "again")}) == kCliExitUsage);
}
