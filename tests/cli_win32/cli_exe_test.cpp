// olvetta-cli.exe and olvetta-cli-demo.exe started as a sandbox starts them, from outside: every
// verb and exit code, Ctrl+C and Ctrl+Break sent as console control events during a recording,
// output folders that exist, cannot be written or have non-ASCII names, program arguments with
// blanks, quotes and trailing backslashes as the examined program receives them, a program that
// does not exist, --seconds 0, a damaged session, and the self-test's helper doing its file,
// registry and socket actions for real and leaving nothing behind. Wine has no event tracing, so
// the real program's recordings fail at the trace (exit 2); the demonstration twin records.
#include <windows.h>

#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "selftest/selftest.h"
#include "cli/cli_text.h"
#include "doctest.h"
#include "export/safe_file.h"
#include "launcher/command_line.h"
#include "support/watchdog.h"

namespace {

// The table's count line with `missing` checks missing of all.
std::string Found(int missing) {
    return std::to_string(olv::kSelftestCheckCount - missing) + " of " +
           std::to_string(olv::kSelftestCheckCount) + " checks found";
}

constexpr DWORD kRunMs = 60000;

std::wstring Beside(const wchar_t* name) {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path = self;
    return path.substr(0, path.find_last_of(L'\\') + 1) + name;
}

std::string Narrow(const std::wstring& w) {
    if (w.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), static_cast<int>(w.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.c_str(), static_cast<int>(w.size()), out.data(), n, nullptr,
                        nullptr);
    return out;
}

std::string ReadAll(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring ScratchRoot() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    return std::wstring(temp) + L"olv-cli-win32-" + std::to_wstring(GetCurrentProcessId());
}

// The suite's scratch folder goes when the suite ends.
struct ScratchCleanUp {
    ~ScratchCleanUp() {
        std::error_code ignored;
        std::filesystem::remove_all(ScratchRoot(), ignored);
    }
} gScratchCleanUp;

// A folder of the test's own under the temporary folder, emptied first: a suite that was ended
// early leaves its folders, and Wine reuses process ids, so a later suite may meet them (and a
// folder holding an earlier run's files is refused).
std::wstring Scratch(const wchar_t* name) {
    std::wstring dir = ScratchRoot();
    CreateDirectoryW(dir.c_str(), nullptr);
    dir += L"\\";
    dir += name;
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    CreateDirectoryW(dir.c_str(), nullptr);
    return dir;
}

std::wstring gLastErrPath; // the standard error file of the run going on

struct Ran {
    DWORD code = 0xFFFFFFFF;
    std::string out;
    std::string err;
};

// Runs a command line with its standard output and error in files; during(pi) runs while it
// does (to send it control events). The run is bounded.
Ran RunLine(std::wstring line, const std::wstring& folder, DWORD flags = 0,
            void (*during)(const PROCESS_INFORMATION&) = nullptr, HANDLE token = nullptr) {
    Ran ran;
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    // Names of their own for each run: a process the program started (Wine's desktop process,
    // for one) may still hold the last run's files open.
    static int runs = 0;
    ++runs;
    const std::wstring outPath = folder + L"\\stdout-" + std::to_wstring(runs) + L".txt";
    const std::wstring errPath = folder + L"\\stderr-" + std::to_wstring(runs) + L".txt";
    gLastErrPath = errPath;
    HANDLE out = CreateFileW(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE err = CreateFileW(errPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    REQUIRE(out != INVALID_HANDLE_VALUE);
    REQUIRE(err != INVALID_HANDLE_VALUE);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = nullptr;
    si.hStdOutput = out;
    si.hStdError = err;
    PROCESS_INFORMATION pi{};
    const BOOL started = token != nullptr
                             ? CreateProcessAsUserW(token, nullptr, line.data(), nullptr, nullptr,
                                                    TRUE, flags, nullptr, folder.c_str(), &si, &pi)
                             : CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, flags,
                                              nullptr, folder.c_str(), &si, &pi);
    CloseHandle(out);
    CloseHandle(err);
    REQUIRE_MESSAGE(started, "CreateProcessW failed: ", GetLastError());
    if (during != nullptr) during(pi);
    olv::TestStep("waiting for the console program to end");
    if (WaitForSingleObject(pi.hProcess, kRunMs) != WAIT_OBJECT_0) {
        TerminateProcess(pi.hProcess, 99);
        WaitForSingleObject(pi.hProcess, 5000);
        FAIL("the console program did not end within a minute: " << Narrow(line));
    }
    GetExitCodeProcess(pi.hProcess, &ran.code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    ran.out = ReadAll(outPath);
    ran.err = ReadAll(errPath);
    DeleteFileW(outPath.c_str());
    DeleteFileW(errPath.c_str());
    return ran;
}

Ran Cli(const std::wstring& args, const std::wstring& folder) {
    return RunLine(L"\"" + Beside(L"olvetta-cli.exe") + L"\" " + args, folder);
}

Ran Demo(const std::wstring& args, const std::wstring& folder, DWORD flags = 0,
         void (*during)(const PROCESS_INFORMATION&) = nullptr) {
    return RunLine(L"\"" + Beside(L"olvetta-cli-demo.exe") + L"\" " + args, folder, flags, during);
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

const std::wstring kDropper = L"--scenario \"" + Beside(L"dropper.jsonl") + L"\" ";

// The outcome a run left in its folder.
nlohmann::json Result(const std::wstring& folder) {
    const std::string text = ReadAll(folder + L"\\result.json");
    REQUIRE_MESSAGE(!text.empty(), "no result.json in ", Narrow(folder));
    return nlohmann::json::parse(text);
}

// The names in a folder, sorted (FindFirstFileW's order is not).
std::vector<std::string> Names(const std::wstring& folder) {
    std::vector<std::string> names;
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..") names.push_back(Narrow(name));
    } while (FindNextFileW(find, &found));
    FindClose(find);
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

TEST_CASE("--help, --version and usage errors, as the README documents them") {
    const std::wstring dir = Scratch(L"usage");
    Ran r = Cli(L"--help", dir);
    CHECK(r.code == 0);
    CHECK(Has(r.out, "usage: olvetta-cli record [options] -- PROGRAM [ARGUMENTS...]\r\n"));
    // --help names the operations --operation takes.
    CHECK(Has(r.out, "operations (for --operation):\r\n  Opened file, Read file,"));
    CHECK(Has(r.out, "  4  a row reached the --fail-on level\r\n"));
    r = Cli(L"--version", dir);
    CHECK(r.code == 0);
    CHECK(r.out == "olvetta-cli 1.1.0.0\r\n");
    r = Cli(L"", dir);
    CHECK(r.code == 1);
    CHECK(Has(r.err, "olvetta: no command given"));
    r = Cli(L"record --seconds 0 -- C:\\windows\\notepad.exe", dir);
    CHECK(r.code == 1);
    CHECK(Has(r.err, "--seconds 0 would record nothing"));
    r = Cli(L"analyze", dir);
    CHECK(r.code == 1);
    // An option of ours after the program is refused, naming "--"; after "--" it is the
    // program's.
    r = Cli(L"record --out x C:\\s.exe --seconds 1", dir);
    CHECK(r.code == 1);
    CHECK(Has(r.err, "olvetta: --seconds after the program: put -- before the program's own "
                     "arguments"));
    CHECK(Has(r.out, "olvetta: failed: --seconds after the program"));
    CHECK_FALSE(Exists(dir + L"\\x"));
}

TEST_CASE("the real program: no tracing under Wine, so a recording cannot start (2) and leaves "
          "no folder; a program that does not exist is named") {
    const std::wstring dir = Scratch(L"real");
    Ran r = Cli(L"record --quiet -- C:\\windows\\notepad.exe", dir);
    CHECK(r.code == 2);
    CHECK(Has(r.err, "olvetta: ETW: "));
    CHECK(r.out.rfind("olvetta: failed: ETW: ", 0) == 0);
    // The new folder it made for the files is gone again.
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((dir + L"\\notepad-*").c_str(), &found);
    CHECK(find == INVALID_HANDLE_VALUE);
    if (find != INVALID_HANDLE_VALUE) FindClose(find);

    r = Cli(L"record --out out -- C:\\no\\such\\program.exe", dir);
    CHECK(r.code == 2);
    CHECK(Has(r.err, "olvetta: File not found."));

    // With --out the folder keeps the outcome: result.json and nothing else (no lock left).
    r = Cli(L"record --quiet --out kept -- C:\\windows\\notepad.exe", dir);
    CHECK(r.code == 2);
    CHECK(Names(dir + L"\\kept") == std::vector<std::string>{"result.json"});
    const nlohmann::json result = Result(dir + L"\\kept");
    CHECK(result["result"] == "failed");
    CHECK(result["exitCode"] == 2);
    CHECK(result["message"].get<std::string>().rfind("ETW: ", 0) == 0);
    CHECK(r.out == "olvetta: failed: " + result["message"].get<std::string>() + "\r\n");
    CHECK(result["program"] == "C:\\windows\\notepad.exe");
    CHECK(result["started"].is_null());
    CHECK(result["files"].empty());
    CHECK(result["runStarted"].get<std::string>().back() == 'Z');
}

// The cases of the run's end and of the rights run as a suite of their own (cli_win32_ending,
// with --no-skip), so that each run stays well inside its watchdog.
TEST_CASE("without administrator rights record and selftest end 2 before anything starts; "
          "analyze, --help and --version need none" *
          doctest::skip()) {
    // Wine gives every program an elevated administrator's token, so tokens without the rights
    // are made here: an administrator's without elevation (the linked token) and one with the
    // Administrators group denied.
    const std::wstring dir = Scratch(L"rights");
    REQUIRE(Demo(kDropper + L"record --quiet --out rec", dir).code == 0);
    HANDLE self = nullptr;
    REQUIRE(OpenProcessToken(GetCurrentProcess(),
                             TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY, &self));
    std::vector<std::pair<const char*, HANDLE>> tokens;
    TOKEN_LINKED_TOKEN linked{};
    DWORD size = 0;
    if (GetTokenInformation(self, TokenLinkedToken, &linked, sizeof linked, &size))
        tokens.emplace_back("not elevated", linked.LinkedToken);
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof sid;
    REQUIRE(CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &sidSize));
    SID_AND_ATTRIBUTES deny{sid, 0};
    HANDLE restricted = nullptr;
    if (CreateRestrictedToken(self, 0, 1, &deny, 0, nullptr, 0, nullptr, &restricted))
        tokens.emplace_back("Administrators denied", restricted);
    CloseHandle(self);
    REQUIRE_FALSE(tokens.empty());

    const std::wstring cli = L"\"" + Beside(L"olvetta-cli.exe") + L"\" ";
    const std::string refusal =
        "olvetta-cli needs administrator rights to record: run it from an elevated prompt\r\n";
    for (const auto& [what, token] : tokens) {
        CAPTURE(what);
        Ran r =
            RunLine(cli + L"record --out out -- C:\\windows\\notepad.exe", dir, 0, nullptr, token);
        CHECK(r.code == 2);
        CHECK(r.err == refusal);
        CHECK(r.out.empty());
        CHECK_FALSE(Exists(dir + L"\\out"));
        r = RunLine(cli + L"selftest", dir, 0, nullptr, token);
        CHECK(r.code == 2);
        CHECK(r.err == refusal);
        CHECK(r.out.empty());
    }
    // What needs no rights works without them.
    HANDLE token = tokens.front().second;
    const Ran r =
        RunLine(cli + L"analyze rec\\recording.ols --quiet --out again", dir, 0, nullptr, token);
    CHECK(r.code == 0);
    CHECK(Exists(dir + L"\\again\\recording.json"));
    CHECK(RunLine(cli + L"--version", dir, 0, nullptr, token).code == 0);
    for (const auto& made : tokens)
        CloseHandle(made.second);
}

TEST_CASE("the demonstration twin records: every file, the result line, the progress lines") {
    const std::wstring dir = Scratch(L"record");
    Ran r = Demo(kDropper + L"record --out \"" + dir + L"\\out\"", dir);
    CHECK(r.code == 0);
    CHECK(Has(r.out, "olvetta: complete 45 rows (high 15, medium 0, low 0) in "));
    CHECK(Has(r.out, "files: " + Narrow(dir) + "\\out\\recording.ols, " + Narrow(dir) +
                         "\\out\\recording.json\r\n"));
    CHECK(Has(r.err, " rows (high ")); // progress lines, one a second
    CHECK(Exists(dir + L"\\out\\recording.ols"));
    CHECK(Exists(dir + L"\\out\\recording.json"));

    // Exit codes of a recording: --fail-on (4), an incomplete record (3), both (4).
    r = Demo(kDropper + L"record --quiet --fail-on high --out fail", dir);
    CHECK(r.code == 4);
    CHECK(r.err.empty());
    const std::wstring downloader = L"--scenario \"" + Beside(L"downloader.jsonl") + L"\" ";
    if (Exists(Beside(L"downloader.jsonl"))) {
        r = Demo(downloader + L"record --quiet --out incomplete", dir);
        CHECK(r.code == 3);
        CHECK(Has(r.out, "olvetta: incomplete "));
    }
    // Another program holds the kernel session: nobody answers, so nothing is taken (2).
    r = Demo(L"--scenario \"" + Beside(L"kernel_taken_over.jsonl") + L"\" record --out taken", dir);
    if (Exists(Beside(L"kernel_taken_over.jsonl"))) {
        CHECK(r.code == 2);
        CHECK(Has(r.err, "Stop the existing session and continue? No."));
        CHECK(Names(dir + L"\\taken") == std::vector<std::string>{"result.json"});
        CHECK(Result(dir + L"\\taken")["result"] == "failed");
    }
    // The complete run's outcome, as a pipeline reads it.
    const nlohmann::json result = Result(dir + L"\\out");
    CHECK(result["result"] == "complete");
    CHECK(result["exitCode"] == 0);
    CHECK(result["rows"] == 45);
    CHECK(result["severities"]["high"] == 15);
    CHECK(result["files"] == nlohmann::json({Narrow(dir) + "\\out\\recording.ols",
                                             Narrow(dir) + "\\out\\recording.json"}));
    CHECK(result["started"] == "2024-04-02T14:05:10.000Z");
    CHECK(Names(dir + L"\\out") ==
          std::vector<std::string>{"recording.json", "recording.ols", "result.json"});
}

// --overwrite and the lock file's own behaviour are tested in-process on this platform too (the
// cli suite); here only what another process meets.
// The folder cases and the rules case run as a suite of their own (cli_win32_folders, with
// --no-skip), so that each run stays well inside its watchdog.
TEST_CASE("one run per folder: a folder another process holds, an earlier run's files" *
          doctest::skip()) {
    const std::wstring dir = Scratch(L"claim");
    CreateDirectoryW((dir + L"\\out").c_str(), nullptr);
    std::ofstream((dir + L"\\out\\recording.csv").c_str()) << "an earlier run's";
    std::ofstream((dir + L"\\out\\mine.txt").c_str()) << "the analyst's";

    // The earlier run's files are named and left alone, as is everything else.
    Ran r = Demo(kDropper + L"record --quiet --out out", dir);
    CHECK(r.code == 2);
    CHECK(Has(r.err, "already holds files of an earlier run: recording.csv. "));
    CHECK(Has(r.out, "olvetta: failed: The output folder "));
    CHECK(Names(dir + L"\\out") == std::vector<std::string>{"mine.txt", "recording.csv"});

    // Another process holds the folder's lock file (no sharing, as a run opens it).
    const std::wstring lockPath = dir + L"\\out\\.olvetta.lock";
    HANDLE lock = CreateFileW(lockPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE,
                              nullptr);
    REQUIRE(lock != INVALID_HANDLE_VALUE);
    r = Demo(kDropper + L"record --quiet --overwrite --out out", dir);
    CloseHandle(lock);
    CHECK(r.code == 2);
    CHECK(Has(r.err, "Another run is writing into the folder "));
    CHECK(Names(dir + L"\\out") == std::vector<std::string>{"mine.txt", "recording.csv"});
}

TEST_CASE("--out past MAX_PATH: every file written and re-analysed; past the writer's limit, "
          "nothing starts" *
          doctest::skip()) {
    const std::wstring dir = Scratch(L"long");
    // A folder of exactly length characters below dir, made through the extended form (the
    // test's own calls have no long path support).
    auto longFolder = [&](const wchar_t* first, size_t length) {
        std::wstring folder = dir + L"\\" + first;
        CreateDirectoryW((L"\\\\?\\" + folder).c_str(), nullptr);
        while (folder.size() < length) {
            const size_t rest = length - folder.size() - 1;
            const size_t take = rest > 120 ? (rest - 120 < 2 ? 100 : 120) : rest;
            folder += L"\\" + std::wstring(take, L'p');
            CreateDirectoryW((L"\\\\?\\" + folder).c_str(), nullptr);
        }
        REQUIRE(folder.size() == length);
        return folder;
    };
    auto exists = [](const std::wstring& path) { return Exists(L"\\\\?\\" + path); };

    const std::wstring out = longFolder(L"a", 300);
    Ran r = Demo(kDropper + L"record --quiet --formats session,json,jsonl,csv --out \"" + out + L"\"",
                 dir);
    CHECK(r.code == 0);
    CHECK(r.err.empty());
    for (const wchar_t* name :
         {L"recording.ols", L"recording.json", L"recording.jsonl", L"recording.csv"}) {
        CAPTURE(Narrow(name));
        CHECK(exists(out + L"\\" + name));
        CHECK_FALSE(exists(out + L"\\" + name + L".part"));
    }
    // The session file at its long path opens again, and its exports go to another long folder.
    const std::wstring again = longFolder(L"b", 400);
    r = Demo(L"analyze \"" + out + L"\\recording.ols\" --formats csv --out \"" + again + L"\"", dir);
    CHECK(r.code == 0);
    CHECK(exists(again + L"\\recording.csv"));

    // recording.jsonl is the longest name (15): a folder of 1023 - 16 characters holds it (the
    // native suite writes there), one more and nothing starts.
    const size_t longest = olv::kSafeTargetPathChars - 1 - 16;
    const std::wstring over = longFolder(L"d", longest + 1);
    r = Demo(kDropper + L"record --quiet --formats jsonl --out \"" + over + L"\"", dir);
    CHECK(r.code == 2);
    CHECK(Has(r.err, "the path of recording.jsonl would be 1024 characters long"));
    CHECK(Has(r.out, "olvetta: failed: Files cannot be written into the folder"));
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((L"\\\\?\\" + over + L"\\*.*").c_str(), &found);
    int entries = 0;
    if (find != INVALID_HANDLE_VALUE) {
        do {
            if (found.cFileName[0] != L'.') ++entries;
        } while (FindNextFileW(find, &found));
        FindClose(find);
    }
    CHECK(entries == 0);
}

TEST_CASE("output folders: existing, new in the current folder, non-ASCII, not writable" *
          doctest::skip()) {
    const std::wstring dir = Scratch(L"folders");
    // An existing folder is used as it is.
    CreateDirectoryW((dir + L"\\there").c_str(), nullptr);
    Ran r = Demo(kDropper + L"record --quiet --out there", dir);
    CHECK(r.code == 0);
    CHECK(Exists(dir + L"\\there\\recording.json"));
    // Without --out: a new folder named after the program and the start time, here; the same
    // name taken, the next.
    r = Demo(kDropper + L"record --quiet", dir);
    CHECK(r.code == 0);
    r = Demo(kDropper + L"record --quiet", dir);
    CHECK(r.code == 0);
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((dir + L"\\Invoice_2024-0412.pdf-*").c_str(), &found);
    REQUIRE(find != INVALID_HANDLE_VALUE);
    int folders = 0;
    bool second = false;
    do {
        ++folders;
        const std::wstring name = found.cFileName;
        if (name.size() > 2 && name.substr(name.size() - 2) == L"-2") second = true;
    } while (FindNextFileW(find, &found));
    FindClose(find);
    CHECK(folders == 2);
    CHECK(second);

    // A name beyond ASCII, given on the command line as Windows passes it (UTF-16).
    const std::wstring accented = L"\u00e9chantillons \u65e5\u672c";
    r = Demo(kDropper + L"record --quiet --out \"" + accented + L"\"", dir);
    CHECK(r.code == 0);
    CHECK(Exists(dir + L"\\" + accented + L"\\recording.ols"));
    CHECK(Has(r.out, Narrow(accented) + "\\recording.json"));

    // A folder that cannot be written (prepared read-only by the test's set-up): nothing starts.
    wchar_t readOnly[MAX_PATH] = {};
    bool readOnlyHolds = GetEnvironmentVariableW(L"OLV_READONLY_DIR", readOnly, MAX_PATH) > 0;
    if (readOnlyHolds) {
        // The set-up could not take the right to write from this user (root without an
        // immutable flag): then there is nothing to test.
        const std::wstring probe = std::wstring(readOnly) + L"\\probe";
        HANDLE h = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
            DeleteFileW(probe.c_str());
            readOnlyHolds = false;
        }
    }
    if (readOnlyHolds) {
        r = Demo(kDropper + L"record --out \"" + readOnly + L"\"", dir);
        CHECK(r.code == 2);
        CHECK(Has(r.err, "olvetta: Files cannot be written into the folder"));
        CHECK(r.out.rfind("olvetta: failed: Files cannot be written into the folder", 0) == 0);
    } else {
        MESSAGE("no read-only folder could be prepared: that case is left out");
    }
    // --out naming a file, or under a folder that does not exist.
    std::ofstream((dir + L"\\a-file").c_str()) << "x";
    r = Demo(kDropper + L"record --out a-file", dir);
    CHECK(r.code == 2);
    CHECK(Has(r.err, "The output folder is a file"));
    r = Demo(kDropper + L"record --out no\\such\\folder", dir);
    CHECK(r.code == 2);
    CHECK(Has(r.err, "The output folder cannot be made"));
}

TEST_CASE("analyze with the real program: a session re-written, a damaged one refused") {
    const std::wstring dir = Scratch(L"analyze");
    REQUIRE(Demo(kDropper + L"record --quiet --out rec", dir).code == 0);
    Ran r = Cli(L"analyze rec\\recording.ols --out a --formats json,csv", dir);
    CHECK(r.code == 0);
    CHECK(Has(r.out, "olvetta: complete 45 rows (high 15, medium 0, low 0) in "));
    CHECK(Exists(dir + L"\\a\\recording.json"));
    CHECK(Exists(dir + L"\\a\\recording.csv"));
    CHECK(Has(ReadAll(dir + L"\\a\\recording.json"), "\"rowsInThisFile\": 45"));
    r = Cli(L"analyze rec\\recording.ols --out b --fail-on high --suspicious", dir);
    CHECK(r.code == 4);
    CHECK(Result(dir + L"\\b")["exitMeaning"] == "a row reached the --fail-on level");
    CHECK(ReadAll(dir + L"\\b\\recording.json").size() <
          ReadAll(dir + L"\\a\\recording.json").size());
    // Without --out: named after the recorded program and its start, in the current folder.
    r = Cli(L"analyze rec\\recording.ols", dir);
    CHECK(r.code == 0);
    CHECK(Has(r.out, "Invoice_2024-0412.pdf-"));

    // Damaged: cut inside a row; and a file that is no session at all.
    std::string bytes = ReadAll(dir + L"\\rec\\recording.ols");
    REQUIRE(bytes.size() > 4000);
    std::ofstream((dir + L"\\cut.ols").c_str(), std::ios::binary)
        << bytes.substr(0, bytes.size() - 1000);
    r = Cli(L"analyze cut.ols --out c", dir);
    CHECK(r.code == 2);
    CHECK(Has(r.err, "olvetta: "));
    CHECK(r.out.rfind("olvetta: failed: ", 0) == 0);
    CHECK(Names(dir + L"\\c") == std::vector<std::string>{"result.json"});
    CHECK(Result(dir + L"\\c")["session"] == "cut.ols");
    std::ofstream((dir + L"\\text.ols").c_str(), std::ios::binary) << "not a session";
    r = Cli(L"analyze text.ols --out d", dir);
    CHECK(r.code == 2);
    r = Cli(L"analyze missing.ols", dir);
    CHECK(r.code == 2);
}

TEST_CASE(
    "the examined program's arguments arrive as given: blanks, quotes, trailing backslashes") {
    const std::wstring dir = Scratch(L"quoting");
    const char16_t* args[] = {
        u"plain",           u"two words",           u"",
        u"say \"hi\"",      u"C:\\Program Files\\", u"C:\\trailing\\",
        u"back\\\\\"slash", u"tab\there",           u"\u00e9\u65e5 \U0001F600"};
    const int count = static_cast<int>(sizeof args / sizeof args[0]);
    char16_t line[2048];
    REQUIRE(olv::BuildArgumentText(args, count, line, 2048));
    const Ran r = RunLine(L"\"" + Beside(L"olv_cli_args_echo.exe") + L"\" " +
                              reinterpret_cast<const wchar_t*>(line),
                          dir);
    REQUIRE(r.code == 0);
    std::string expected;
    for (const char* kind : {"shell:", "crt:"}) {
        for (int i = 0; i < count; ++i)
            expected +=
                std::string(kind) + "[" + Narrow(reinterpret_cast<const wchar_t*>(args[i])) + "]\n";
    }
    std::string got;
    for (char c : r.out) {
        if (c != '\r') got += c;
    }
    CHECK(got == expected);
}

namespace {

bool KeyExists(const std::wstring& key) {
    HKEY h = nullptr;
    const bool there =
        RegOpenKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, KEY_READ, &h) == ERROR_SUCCESS;
    if (h != nullptr) RegCloseKey(h);
    return there;
}

} // namespace

TEST_CASE("the self-test's helper does its file, registry, socket, pipe, stream, suspended child "
          "and PowerShell actions for real and leaves nothing behind, even when a step fails") {
    const std::wstring dir = Scratch(L"helper");
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    // Wine's file system on a Unix folder has no streams: it makes a file named "file:stream",
    // which the helper finds, reports as the stream's failure, and removes.
    const DWORD noStreams = 1u << olv::kActStream;
    // Every action done; a failure at some of the first steps and at each of the last ones.
    std::vector<int> steps = {-1, 0, 4, 9, 12};
    for (int action = olv::kActPipeCreate; action < olv::kSelftestActionCount; ++action)
        steps.push_back(action);
    for (int failAt : steps) {
        CAPTURE(failAt);
        const std::wstring tag = L"olvetta-selftest-wine-" + std::to_wstring(failAt + 1);
        const std::wstring folder = std::wstring(temp) + tag;
        std::wstring args = L"--selftest-helper " + tag + L" \"" + folder + L"\" 50200 50216";
        if (failAt >= 0) args += L" " + std::to_wstring(failAt);
        const Ran r = Cli(args, dir);
        // Every action done (0), or exactly those from the failing step on reported failed.
        const DWORD expected =
            failAt < 0 ? 0 : (((1u << olv::kSelftestActionCount) - 1) & ~((1u << failAt) - 1));
        CHECK(r.code == (expected | noStreams));
        CHECK((r.code & olv::kHelperCleanupFailed) == 0);
        CHECK_FALSE(Exists(folder));
        CHECK_FALSE(KeyExists(L"Software\\" + tag));
    }
}

TEST_CASE("the helper's children end at once with 0, the one meant to stay suspended too") {
    const std::wstring dir = Scratch(L"children");
    CHECK(Cli(L"--selftest-child", dir).code == 0);
    CHECK(Cli(L"--selftest-target", dir).code == 0);
    CHECK(Cli(L"--selftest-target x", dir).code == olv::kCliExitUsage);
}

TEST_CASE("selftest with the real program: the trace cannot start under Wine, every check says "
          "why, and nothing is left behind (2)") {
    const std::wstring dir = Scratch(L"selftest");
    // The system's policy: script blocks not logged. The check's recording switches logging on
    // before its trace, and its failed start puts the policy back.
    const wchar_t* blockKey =
        L"SOFTWARE\\Policies\\Microsoft\\Windows\\PowerShell\\ScriptBlockLogging";
    const wchar_t* moduleKey = L"SOFTWARE\\Policies\\Microsoft\\Windows\\PowerShell\\ModuleLogging";
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, moduleKey);
    HKEY block = nullptr;
    REQUIRE(RegCreateKeyExW(HKEY_LOCAL_MACHINE, blockKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                            &block, nullptr) == ERROR_SUCCESS);
    const DWORD off = 0;
    REQUIRE(RegSetValueExW(block, L"EnableScriptBlockLogging", 0, REG_DWORD,
                           reinterpret_cast<const BYTE*>(&off), sizeof off) == ERROR_SUCCESS);
    RegCloseKey(block);
    const auto value = [](const wchar_t* key, const wchar_t* name) {
        DWORD data = 0, size = sizeof data, type = 0;
        const LSTATUS status =
            RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_ANY, &type, &data, &size);
        return status == ERROR_FILE_NOT_FOUND ? std::string("absent")
               : status != ERROR_SUCCESS      ? std::string("other")
                                              : std::to_string(data);
    };
    const Ran r = Cli(L"selftest", dir);
    CHECK(value(blockKey, L"EnableScriptBlockLogging") == "0");
    CHECK(value(moduleKey, L"EnableModuleLogging") == "absent");
    CHECK(value(L"SOFTWARE\\Olvetta\\Recorder", L"ScriptLoggingSaved") == "absent");
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, blockKey);
    CHECK(r.code == 2);
    CHECK(Has(r.out, "olvetta: recording on this machine\r\n"));
    CHECK(Has(r.out, "olvetta: recording on this machine\r\nolvetta: The recording could not "
                     "start, so no check was made: ETW: "));
    CHECK(Has(r.out, "  MISSING  DNS query                not checked: the recording did not "
                     "start\r\n"));
    CHECK(Has(r.out, "olvetta: " + Found(olv::kSelftestCheckCount) + "\r\n"));
    CHECK(Has(r.err, "olvetta: ETW: "));
    // The helper never ran: no folder of a self-test in the temporary folder.
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((std::wstring(temp) + L"olvetta-selftest-*").c_str(), &found);
    bool left = false;
    if (find != INVALID_HANDLE_VALUE) {
        do {
            left = left || std::wstring(found.cFileName).find(L"-wine-") == std::wstring::npos;
        } while (FindNextFileW(find, &found));
        FindClose(find);
    }
    CHECK_FALSE(left);
}

TEST_CASE("rules and JSON Lines with the real program: analyze --rules writes the lines a pipeline "
          "reads" *
          doctest::skip()) {
    const std::wstring dir = Scratch(L"sigma");
    REQUIRE(Demo(kDropper + L"record --quiet --out rec", dir).code == 0);
    const std::wstring rules = Beside(L"sigma-rules");
    Ran r = Cli(
        L"analyze rec\\recording.ols --rules \"" + rules + L"\" --formats jsonl,csv --out a", dir);
    CHECK(r.code == 0);
    CHECK(Has(r.err, "olvetta: Loaded 11 Sigma rules from "));
    const std::string lines = ReadAll(dir + L"\\a\\recording.jsonl");
    CHECK(lines.rfind("{\"kind\":\"recording\"", 0) == 0);
    CHECK(Has(lines, "\"sigma\":[{\"id\":"));
    CHECK(Has(lines, "{\"kind\":\"end\",\"events\":45}\n"));
    CHECK(lines.find('\r') == std::string::npos); // LF line ends, as pipelines expect
    CHECK(Has(r.out, "(high 16, medium 0, low 1)"));
    r = Cli(L"analyze rec\\recording.ols --rules no-such-folder", dir);
    CHECK(r.code == 2);
    CHECK(Has(r.err, "olvetta: The Sigma rules could not be read from no-such-folder"));
}

namespace {

// The session's end as the system delivers it to the console program's hidden window, sent
// while the demonstration twin records; what was seen is kept for the test case.
struct SessionEnd {
    std::wstring folder; // the run's folder
    bool windowFound = false;
    bool recording = false;
    DWORD_PTR queryAnswer = 0;
    bool endReturned = false;
    bool recordWhenReturned = false;
};
SessionEnd gSessionEnd;

HWND SessionWindowOf(DWORD processId) {
    HWND found = nullptr;
    for (HWND w = FindWindowExW(nullptr, nullptr, L"OlvettaCliSessionEnd", nullptr);
         w != nullptr && found == nullptr;
         w = FindWindowExW(nullptr, w, L"OlvettaCliSessionEnd", nullptr)) {
        DWORD owner = 0;
        GetWindowThreadProcessId(w, &owner);
        if (owner == processId) found = w;
    }
    return found;
}

void EndTheSession(const PROCESS_INFORMATION& pi) {
    SessionEnd& s = gSessionEnd;
    olv::TestStep("waiting for the console program's hidden window and its first progress line");
    HWND window = nullptr;
    for (int i = 0; i < 3000 && (window == nullptr || !s.recording); ++i) {
        if (window == nullptr) window = SessionWindowOf(pi.dwProcessId);
        s.recording = Has(ReadAll(gLastErrPath), " rows (high ");
        if (window == nullptr || !s.recording) Sleep(10);
    }
    s.windowFound = window != nullptr;
    if (window == nullptr || !s.recording) return;
    olv::TestStep("WM_QUERYENDSESSION, then WM_ENDSESSION");
    SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_BLOCK, 10000,
                        &s.queryAnswer);
    // The files are written a second after the stop (the twin's pause for a second Ctrl+C), so
    // a handler that did not hold the end would return before the record is there. Once all is
    // written the program may end before its answer arrives; that counts as the answer.
    DWORD_PTR ignored = 0;
    s.endReturned = SendMessageTimeoutW(window, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, SMTO_BLOCK,
                                        30000, &ignored) != 0 ||
                    WaitForSingleObject(pi.hProcess, 0) == WAIT_OBJECT_0;
    s.recordWhenReturned = Exists(s.folder + L"\\out\\recording.ols");
    // Once WM_ENDSESSION returns the system may end the process at any moment.
    TerminateProcess(pi.hProcess, 0xE5);
}

} // namespace

TEST_CASE("log-off and shut-down: the hidden window takes the session's end as a Ctrl+C, holds "
          "it until the record is written, and the exports follow" *
          doctest::skip()) {
    const std::wstring dir = Scratch(L"session-end");
    gSessionEnd = SessionEnd{};
    gSessionEnd.folder = dir;
    const std::wstring tail = L"--scenario \"" + Beside(L"until_exit.jsonl") + L"\" ";
    const Ran r =
        Demo(tail + L"record --formats session,json,csv --out out", dir, 0, EndTheSession);
    REQUIRE_MESSAGE(gSessionEnd.windowFound, "no hidden session window of the console program");
    REQUIRE(gSessionEnd.recording);
    CHECK(gSessionEnd.queryAnswer == TRUE); // the session may end: nothing is refused
    CHECK(gSessionEnd.endReturned);
    CHECK(gSessionEnd.recordWhenReturned);
    CHECK_FALSE(Has(r.out, " in 44 s;")); // stopped, not played to the scenario's end
    // The record is whole: the real program analyses it.
    const Ran again = Cli(L"analyze out\\recording.ols --out again --quiet", dir);
    CHECK((again.code == 0 || again.code == 3));
    CHECK(Exists(dir + L"\\out\\recording.json"));
    CHECK(Exists(dir + L"\\out\\recording.csv"));
}
