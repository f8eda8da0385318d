// The console program's front end run in-process on the stand-ins, as its demonstration twin
// runs it: scenarios recorded through the window's Start and Stop, files written, sessions
// re-analysed, interrupts, output folders and the machine check.
#include "cli/cli_run.h"
#include "doctest.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "base/text.h"
#include "cli/cli_text.h"
#include "cli_pacer.h"
#include "json_line.h"
#include "platform/memory.h"
#include "platform/thread.h"
#include "scenario.h"
#include "support/text_check.h"

using namespace olv;
namespace fs = std::filesystem;

namespace {

const std::string kScenarios = std::string(OLV_SOURCE_DIR) + "/tests/scenarios/";

struct Harness {
    std::string out;
    std::string err;
    replay::Scenario* scenario = nullptr;
    bool read = false;
    clidemo::CliPacer pacer{};
    int interruptsAtStart = 0; // Ctrl+C presses as soon as the recording runs
    bool watchable = false;    // play at the demonstration's pace (else quickly)
    const char16_t* executable = u"olvetta-cli-demo"; // the running program's own path
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
    CopyBounded(program, capacity, h->scenario->programPath);
    return true;
}

void Started(void* context, AppState*) {
    Harness* h = static_cast<Harness*>(context);
    REQUIRE(clidemo::StartPacer(&h->pacer));
    for (int i = 0; i < h->interruptsAtStart; ++i)
        RequestCliStop();
}

void Ended(void* context, AppState*) {
    clidemo::StopPacer(&static_cast<Harness*>(context)->pacer);
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
    // Nothing but the files is left in the folder (no probe, no temporary file).
    int entries = 0;
    for (const auto& e : fs::directory_iterator(out)) {
        (void)e;
        ++entries;
    }
    CHECK(entries == 2);

    h.watchable = false;
    CHECK(Run(&h, {"record", "--quiet", "--out", Utf8(out), "--formats", "csv"}) == 0);
    CHECK(h.err.empty());
    CHECK(fs::exists(out / "recording.csv"));
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
    CHECK(h.out.empty());
    CHECK(fs::is_empty(dir));
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

    // An existing folder is used as it is (files of the same names are replaced).
    CHECK(Run(&h, {"record", "--quiet", "--out", accented}) == 0);

    // --out naming a file, or a folder whose parent is missing: 2, nothing started.
    std::ofstream(dir / "plain-file") << "x";
    CHECK(Run(&h, {"record", "--out", Utf8(dir / "plain-file")}) == kCliExitNotStarted);
    CHECK(Has(h.err, "The output folder is a file"));
    CHECK(Run(&h, {"record", "--out", Utf8(dir / "no" / "such" / "parent")}) == kCliExitNotStarted);
    CHECK(Has(h.err, "The output folder cannot be made"));
    CHECK(h.out.empty());
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
    CHECK(Run(&h, {"analyze", session, "--out", Utf8(dir / "c"), "--operation", "Teleported"}) ==
          kCliExitNotStarted);
    CHECK(Has(h.err, "No row has the operation \"Teleported\""));
    CHECK(Run(&h, {"analyze", session, "--fail-on", "high", "--out", Utf8(dir / "d")}) ==
          kCliExitFailOn);

    // Damaged: cut in the middle of a row.
    const std::string bytes = Slurp(session);
    std::ofstream(dir / "cut.ols", std::ios::binary) << bytes.substr(0, bytes.size() - 1000);
    CHECK(Run(&h, {"analyze", Utf8(dir / "cut.ols"), "--out", Utf8(dir / "e")}) ==
          kCliExitNotStarted);
    CHECK_FALSE(h.err.empty());
    CHECK(h.out.empty());
    CHECK_FALSE(fs::exists(dir / "e"));
    CHECK(Run(&h, {"analyze", Utf8(dir / "missing.ols")}) == kCliExitNotStarted);
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
    CHECK(Run(&h, {"--version"}) == 0);
    CHECK(h.out == "olvetta-cli-demo 1.1.0.0\n");
}

TEST_CASE("selftest plays the helper's actions and finds every check; what is missing says why") {
    Harness h;
    CHECK(Run(&h, {"selftest", "--quiet"}) == kCliExitOk);
    CHECK(Has(h.out, "olvetta: recording on this machine\n  found    Child process started\n"));
    CHECK(Has(h.out, "  found    DNS query\n"));
    CHECK(Has(h.out, "olvetta: 14 of 14 checks found\n"));
    CHECK_FALSE(Has(h.out, "files:")); // nothing written without --out

    // The same machine on Windows 7: no DNS session, so the DNS check is missing, and says why.
    const fs::path dir = Fresh("selftest");
    const std::string selftest =
        Slurp(fs::path(OLV_SOURCE_DIR) / "tools" / "cli_demo" / "selftest.jsonl");
    std::ofstream(dir / "win7.jsonl", std::ios::binary)
        << selftest << "{\"kind\":\"windows\",\"major\":6,\"minor\":1,\"build\":7601}\n";
    CHECK(Run(&h, {"--scenario", Utf8(dir / "win7.jsonl"), "selftest", "--quiet"}) ==
          kCliExitChecksMissing);
    CHECK(Has(h.out, "  MISSING  DNS query                DNS events need Windows 8.1 or later\n"));
    CHECK(Has(h.out, "olvetta: 13 of 14 checks found\n"));

    // With --out the recording is kept too.
    CHECK(Run(&h, {"selftest", "--quiet", "--out", Utf8(dir / "kept")}) == kCliExitOk);
    CHECK(fs::exists(dir / "kept" / "recording.ols"));
    CHECK(Has(h.out, "olvetta: complete "));
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

    // A rule folder that cannot be read: nothing is recorded (2).
    CHECK(Run(&h, {"record", "--rules", Utf8(dir / "no-such-rules"), "--out",
                   Utf8(dir / "none")}) == kCliExitNotStarted);
    CHECK(Has(h.err, "olvetta: The Sigma rules could not be read from "));
    CHECK_FALSE(fs::exists(dir / "none"));
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
