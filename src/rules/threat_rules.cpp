// The threat rule table and the scoring of one row against it.
//
// Everything here is constant data and pure functions: no allocation, no lock, no copy of the
// row's text. The rule loop rejects rules by integer tests (category, operation class, result
// class) before any text is compared; a row that reaches a text test is scanned once into sets
// of character pairs, against which most patterns are ruled out without a search. Rule patterns
// are lower case (checked at compile time), so the scoring path folds only the row's characters.
#include "rules/threat_rules.h"

#include "base/format.h"
#include "base/text.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace olv {

// --- Operation classes ----------------------------------------------------------------------

constexpr OperationClassEntry kOperationClassTable[kOperationClassCount] = {
    {RowKind::OpenedFile, OpRead},
    {RowKind::ReadFile, OpRead},
    {RowKind::ReadFileInformation, OpRead},
    {RowKind::ReadFilePermissions, OpRead},
    {RowKind::ReadExtendedAttributes, OpRead},
    {RowKind::ListedFolder, OpRead},
    {RowKind::WatchingFolder, OpRead},
    {RowKind::ClosedFile, OpRead},
    {RowKind::ReleasedFileHandle, OpRead},
    {RowKind::FlushedFile, OpRead},
    {RowKind::OpenedRegistryKey, OpRead},
    {RowKind::ReadRegistryKey, OpRead},
    {RowKind::ReadRegistryValue, OpRead},
    {RowKind::ListedRegistryKeys, OpRead},
    {RowKind::ListedRegistryValues, OpRead},
    {RowKind::ReadSeveralRegistryValues, OpRead},
    {RowKind::ClosedRegistryKey, OpRead},
    {RowKind::FlushedRegistryKey, OpRead},
    {RowKind::ConnectedToPipe, OpRead},
    {RowKind::OpenedDiskForRawAccess, OpRead},

    {RowKind::WroteFile, OpWrite},
    {RowKind::CreatedNewFile, OpWrite},
    {RowKind::RenamedFile, OpWrite},
    {RowKind::RenamedFileByPath, OpWrite},
    {RowKind::ChangedFileInformation, OpWrite},
    {RowKind::CreatedLink, OpWrite},
    {RowKind::SetFilePermissions, OpWrite},
    {RowKind::SetExtendedAttributes, OpWrite},
    {RowKind::FileSystemControl, OpWrite},
    {RowKind::CreatedRegistryKey, OpWrite},
    {RowKind::WroteRegistryValue, OpWrite},
    {RowKind::ChangedRegistryKeyInformation, OpWrite},
    {RowKind::CreatedPipe, OpWrite},
    {RowKind::WroteAlternateDataStream, OpWrite},

    {RowKind::StartedChildProcess, OpStart},
    {RowKind::StartedProcess, OpStart},

    {RowKind::MappedFile, OpLoad},
    {RowKind::UnmappedFile, OpLoad},
    {RowKind::LoadedDll, OpLoad},
    {RowKind::UnloadedDll, OpLoad},

    {RowKind::SentTcp, OpNetwork},
    {RowKind::ReceivedTcp, OpNetwork},
    {RowKind::ConnectedTcp, OpNetwork},
    {RowKind::DisconnectedTcp, OpNetwork},
    {RowKind::RetransmittedTcp, OpNetwork},
    {RowKind::AcceptedTcp, OpNetwork},
    {RowKind::ReconnectedTcp, OpNetwork},
    {RowKind::CopiedTcp, OpNetwork},
    {RowKind::SentUdp, OpNetwork},
    {RowKind::ReceivedUdp, OpNetwork},
    {RowKind::DnsQuery, OpNetwork},
    {RowKind::DnsAnswer, OpNetwork},

    {RowKind::ProcessExited, OpExit},
    {RowKind::TargetProcessExited, OpExit},

    {RowKind::DeletedFile, OpDelete},
    {RowKind::DeletedFileByPath, OpDelete},
    {RowKind::DeletedRegistryKey, OpDelete},
    {RowKind::DeletedRegistryValue, OpDelete},

    {RowKind::RanScriptBlock, OpScript},
    {RowKind::LoggedModuleOutput, OpScript},
    {RowKind::ScannedContent, OpScript},

    {RowKind::OpenedProcess, OpAccess},
    {RowKind::LoadedDriver, OpDriver},
    {RowKind::CreatedThreadInAnotherProcess, OpThread},
};

// --- Pattern lists (null-terminated, lower case) -----------------------------------------------

namespace {

using PatternList = const char16_t* const[];

constexpr PatternList kRunKeys = {
    u"\\currentversion\\run",         u"\\currentversion\\runonce", u"\\currentversion\\runonceex",
    u"\\currentversion\\runservices", u"\\policies\\explorer\\run", nullptr,
};
constexpr PatternList kServiceKeys = {u"\\services\\", u"\\controlset", nullptr};
constexpr PatternList kServiceValues = {u"imagepath", u"servicedll", nullptr};
constexpr PatternList kWinlogonKeys = {u"\\winlogon", nullptr};
constexpr PatternList kWinlogonValues = {u"userinit", u"shell", u"notify", nullptr};
constexpr PatternList kIfeoKeys = {u"image file execution options", u"\\silentprocessexit",
                                   nullptr};
constexpr PatternList kIfeoValues = {u"debugger", u"globalflag", u"verifierdlls", u"monitorprocess",
                                     nullptr};
constexpr PatternList kAppInit = {u"appinit_dlls", u"loadappinit_dlls", u"appcertdlls", nullptr};
constexpr PatternList kComServerKeys = {u"\\inprocserver32", u"\\localserver32", u"\\treatas",
                                        nullptr};
constexpr PatternList kClsidKeys = {u"software\\classes\\clsid", u"\\clsid\\", nullptr};
constexpr PatternList kDefender = {
    u"\\windows defender\\",   u"disableantispyware",        u"disablerealtimemonitoring",
    u"\\real-time protection", u"\\exclusions\\path",        u"\\exclusions\\extension",
    u"tamperprotection",       u"disablebehaviormonitoring", nullptr,
};
constexpr PatternList kStartupFolders = {u"\\start menu\\programs\\startup\\", u"\\startup\\",
                                         nullptr};
constexpr PatternList kTaskFolders = {u"\\system32\\tasks\\", u"\\windows\\tasks\\",
                                      u"\\schedule\\taskcache\\tree",
                                      u"\\schedule\\taskcache\\tasks", nullptr};
constexpr PatternList kTempFolders = {u"\\appdata\\local\\temp\\", u"\\windows\\temp\\",
                                      u"\\local\\temp\\", u"\\temp\\", nullptr};
constexpr PatternList kAppDataFolders = {u"\\appdata\\roaming\\", u"\\appdata\\local\\",
                                         u"\\appdata\\locallow\\", nullptr};
constexpr PatternList kPublicFolders = {u"\\programdata\\", u"\\users\\public\\",
                                        u"\\public\\downloads\\", u"c:\\perflogs\\", nullptr};
// Shared by the three "dropped" rules.
constexpr PatternList kExecutableTypes = {
    u".exe", u".dll", u".scr", u".ps1", u".bat", u".cmd", u".vbs", u".vbe",
    u".jse", u".hta", u".wsf", u".pif", u".cpl", u".jar", nullptr,
};
constexpr PatternList kDisguisedNames = {
    u".pdf.exe", u".doc.exe", u".jpg.exe", u".txt.exe", u".pdf.scr",
    u".xls.exe", u".png.scr", u"\u202E",   nullptr,
};
constexpr PatternList kCredentialHives = {
    u"\\system32\\config\\sam",
    u"\\system32\\config\\security",
    u"\\system32\\config\\system",
    u"\\config\\regback\\",
    u"ntds.dit",
    u"harddiskvolumeshadowcopy",
    nullptr,
};
constexpr PatternList kUnusualDllFolders = {
    u"\\appdata\\local\\temp\\", u"\\appdata\\roaming\\", u"\\downloads\\", u"\\windows\\temp\\",
    u"\\users\\public\\",        u"\\$recycle.bin\\",     u"\\desktop\\",   nullptr,
};
// The decoder's texts of a whole-disk open and of a stream write ("Stream: NAME").
constexpr PatternList kRawDiskOperation = {u"opened disk for raw access", nullptr};
constexpr PatternList kStreamDetail = {u"stream: ", nullptr};
constexpr PatternList kRemoteThreadOperation = {u"created thread in another process", nullptr};
constexpr PatternList kNoModuleDetail = {u"(no known module)", nullptr};
constexpr PatternList kAttackDlls = {u"comsvcs.dll", u"scrobj.dll", u"vbscript.dll", u"jscript.dll",
                                     nullptr};
constexpr PatternList kPowerShell = {u"powershell", u"pwsh.exe", nullptr};
constexpr PatternList kPowerShellArguments = {
    u"-enc",
    u"-encodedcommand",
    u" jab",
    u"-w hidden",
    u"-windowstyle hidden",
    u"frombase64string",
    u"downloadstring",
    u"downloadfile",
    u"iex",
    u"invoke-expression",
    u"-ep bypass",
    u"-exec bypass",
    u"executionpolicy bypass",
    nullptr,
};
constexpr PatternList kCmd = {u"cmd.exe", u"cmd /c", nullptr};
constexpr PatternList kCmdChaining = {u"&&",    u"| powershell", u"for /f", u"%comspec%",
                                      u"/v:on", u"set /a",       nullptr};
constexpr PatternList kRundll32 = {u"rundll32", nullptr};
constexpr PatternList kRundll32Arguments = {
    u"javascript:", u",dllregisterserver", u"\\appdata\\", u"\\temp\\", u"http", nullptr};
constexpr PatternList kRegsvr32 = {u"regsvr32", nullptr};
constexpr PatternList kRegsvr32Arguments = {u"/i:http",  u"scrobj.dll",  u".sct",
                                            u"\\temp\\", u"\\appdata\\", nullptr};
constexpr PatternList kMshta = {u"mshta", nullptr};
constexpr PatternList kMshtaArguments = {u"vbscript:", u"javascript:",  u"http",
                                         u".hta",      u"createobject", nullptr};
constexpr PatternList kCertutil = {u"certutil", nullptr};
constexpr PatternList kCertutilArguments = {u"-urlcache",  u"-verifyctl", u"-split", u"-decode",
                                            u"-decodehex", u"-encode",    u"http",   nullptr};
constexpr PatternList kBits = {u"bitsadmin", u"start-bitstransfer", nullptr};
constexpr PatternList kBitsArguments = {u"/transfer", u"/addfile", u"/setnotifycmdline",
                                        u"/download", nullptr};
constexpr PatternList kScriptHosts = {u"wscript.exe", u"cscript.exe", nullptr};
constexpr PatternList kScriptHostArguments = {u".vbs",          u".vbe",        u".wsf",
                                              u"//e:jscript",   u"\\appdata\\", u"\\temp\\",
                                              u"\\downloads\\", nullptr};
constexpr PatternList kDeveloperTools = {u"msbuild.exe", u"installutil.exe", u"regasm.exe",
                                         u"regsvcs.exe", u"jsc.exe",         nullptr};
constexpr PatternList kDeveloperToolArguments = {u"\\temp\\", u".csproj",     u"/logfile=",
                                                 u"/u ",      u"\\appdata\\", nullptr};
constexpr PatternList kOtherBinaries = {u"mavinject.exe", u"msdt.exe",     u"wmic.exe",
                                        u"pcalua.exe",    u"forfiles.exe", nullptr};
constexpr PatternList kOtherBinaryArguments = {u"process call create", u"/processid", u"ms-msdt",
                                               u"-injectrunning", nullptr};
constexpr PatternList kShadowCopies = {
    u"vssadmin",          u"delete shadows",   u"resize shadowstorage", u"delete catalog",
    u"shadowcopy delete", u"win32_shadowcopy", u"recoveryenabled no",   nullptr,
};
constexpr PatternList kFirewall = {u"advfirewall set",
                                   u"set-netfirewallprofile",
                                   u"\\firewallpolicy\\",
                                   u"firewall set opmode disable",
                                   u"advfirewall firewall add rule",
                                   nullptr};
constexpr PatternList kEventLog = {
    u"wevtutil cl",     u"wevtutil.exe cl", u"clear-log",      u"clear-eventlog",
    u"auditpol /clear", u"auditpol /set",   u"limit-eventlog", nullptr};
constexpr PatternList kSelfDeletion = {u"127.0.0.1 -n", u"del \"%~f0\"", u"goto :delete", u"del %0",
                                       nullptr};
constexpr PatternList kRegSave = {u"reg save", u"reg.exe save", u"reg export", u"reg.exe export",
                                  nullptr};
constexpr PatternList kRegSaveHives = {u"hklm\\sam", u"hklm\\security", u"hklm\\system", u"\\sam",
                                       nullptr};
constexpr PatternList kLsassDump = {u"lsass.dmp",
                                    u"comsvcs.dll, minidump",
                                    u"comsvcs.dll minidump",
                                    u"-ma lsass",
                                    u"sekurlsa",
                                    u"mimikatz",
                                    u"nanodump",
                                    nullptr};
constexpr PatternList kReconnaissance = {u"whoami.exe",
                                         u"nltest",
                                         u"systeminfo.exe",
                                         u"group \"domain admins\"",
                                         u"localgroup administrators",
                                         u"query user",
                                         nullptr};
constexpr PatternList kC2Ports = {u":4444", u":1337", u":31337", u":5555", u":6666",
                                  u":6667", u":9001", u":50050", nullptr};
constexpr PatternList kLowReputationTlds = {u".tk", u".top", u".xyz", u".gq",    u".ml",
                                            u".cf", u".ga",  u".su",  u".click", nullptr};
constexpr PatternList kRemoteServices = {
    u"anydesk",
    u"teamviewer",
    u".ngrok.io",                 // ngrok tunnels, own domain
    u".ngrok-free.app",           // ngrok tunnels, free domain
    u".duckdns.org",              // DuckDNS dynamic DNS
    u"no-ip.",                    // No-IP dynamic DNS (no-ip.org, no-ip.biz, ...)
    u".trycloudflare.com",        // Cloudflare quick tunnels
    u"pastebin.com",              // Pastebin
    u"raw.githubusercontent.com", // GitHub raw content
    u"discord.com/api/webhooks",  // Discord webhooks
    u"transfer.sh",               // command-line file drop
    u"anonfiles",
    nullptr,
};

// The rights an open's detail names (decode/process_access.cpp): every standard right includes
// both.
constexpr PatternList kMemoryWrite = {u"write memory", u"(all access)", nullptr};
constexpr PatternList kMemoryRead = {u"read memory", u"(all access)", nullptr};
constexpr PatternList kLsassImage = {u"lsass.exe", nullptr};
// By the operation: a row of no known kind (which meets every rule of its category) is no driver.
constexpr PatternList kDriverOperation = {u"loaded driver", nullptr};

constexpr uint32_t kPath = FieldPath;
constexpr uint32_t kPathOrDetail = FieldPath | FieldDetail;
constexpr uint8_t kNeedsSuccess = 1;
constexpr uint8_t kAnyResult = 0;

} // namespace

// --- The rule table ----------------------------------------------------------------------------

constexpr ThreatRule kThreatRules[kThreatRuleCount] = {
    // Registry persistence and tampering; a write that failed changed nothing.
    {kCategoryRegistry, 3, u"Run key persistence", kRunKeys, nullptr, kPath, OpWrite, kNeedsSuccess,
     MatchSubstring},
    {kCategoryRegistry, 3, u"Service created or altered", kServiceKeys, kServiceValues,
     kPathOrDetail, OpWrite, kNeedsSuccess, MatchSubstring},
    {kCategoryRegistry, 3, u"Winlogon hijack", kWinlogonKeys, kWinlogonValues, kPathOrDetail,
     OpWrite, kNeedsSuccess, MatchSubstring},
    {kCategoryRegistry, 3, u"IFEO debugger set", kIfeoKeys, kIfeoValues, kPathOrDetail, OpWrite,
     kNeedsSuccess, MatchSubstring},
    {kCategoryRegistry, 3, u"AppInit_DLLs injection key", kAppInit, nullptr, kPathOrDetail, OpWrite,
     kNeedsSuccess, MatchSubstring},
    {kCategoryRegistry, 2, u"COM hijack", kComServerKeys, kClsidKeys, kPath, OpWrite, kNeedsSuccess,
     MatchSubstring},
    {kCategoryRegistry, 3, u"Defender disabled or altered", kDefender, nullptr, kPathOrDetail,
     OpWrite, kNeedsSuccess, MatchSubstring},
    // Files written where they run or hide.
    {kCategoryFile, 3, u"Dropped into Startup folder", kStartupFolders, nullptr, kPath, OpWrite,
     kNeedsSuccess, MatchSubstring},
    {kCategoryFile, 3, u"Scheduled task written", kTaskFolders, nullptr, kPath, OpWrite,
     kNeedsSuccess, MatchSubstring},
    {kCategoryFile, 3, u"Executable dropped in Temp", kTempFolders, kExecutableTypes, kPath,
     OpWrite, kNeedsSuccess, MatchSubstring},
    {kCategoryFile, 3, u"Executable dropped in AppData", kAppDataFolders, kExecutableTypes, kPath,
     OpWrite, kNeedsSuccess, MatchSubstring},
    {kCategoryFile, 3, u"Dropped in Public or ProgramData", kPublicFolders, kExecutableTypes, kPath,
     OpWrite, kNeedsSuccess, MatchSubstring},
    // File names and files that matter whatever the operation and its outcome.
    {kCategoryFile, 3, u"Double extension or RLO disguise", kDisguisedNames, nullptr, kPath, 0,
     kAnyResult, MatchSubstring},
    {kCategoryFile, 3, u"SAM or SYSTEM hive read", kCredentialHives, nullptr, kPath, 0, kAnyResult,
     MatchSubstring},
    // Images and processes.
    {kCategoryProcess, 3, u"DLL loaded from unusual directory", kUnusualDllFolders, nullptr, kPath,
     OpLoad, kAnyResult, MatchSubstring},
    {kCategoryProcess, 3, u"DLL known for attack use loaded", kAttackDlls, nullptr, kPath,
     OpStart | OpLoad, kAnyResult, MatchSubstring},
    {kCategoryProcess, 3, u"Suspicious PowerShell arguments", kPowerShell, kPowerShellArguments,
     kPathOrDetail, OpStart, kAnyResult, MatchSubstring},
    {kCategoryProcess, 2, u"Obfuscated or chained cmd", kCmd, kCmdChaining, kPathOrDetail, OpStart,
     kAnyResult, MatchSubstring},
    {kCategoryProcess, 3, u"rundll32 abuse", kRundll32, kRundll32Arguments, kPathOrDetail, OpStart,
     kAnyResult, MatchSubstring},
    {kCategoryProcess, 3, u"regsvr32 running a script", kRegsvr32, kRegsvr32Arguments,
     kPathOrDetail, OpStart, kAnyResult, MatchSubstring},
    {kCategoryProcess, 3, u"mshta running a script", kMshta, kMshtaArguments, kPathOrDetail,
     OpStart, kAnyResult, MatchSubstring},
    {kCategoryProcess, 3, u"certutil download or decode", kCertutil, kCertutilArguments,
     kPathOrDetail, OpStart, kAnyResult, MatchSubstring},
    {kCategoryProcess, 3, u"bitsadmin transfer", kBits, kBitsArguments, kPathOrDetail, OpStart,
     kAnyResult, MatchSubstring},
    {kCategoryProcess, 2, u"Script host execution", kScriptHosts, kScriptHostArguments,
     kPathOrDetail, OpStart, kAnyResult, MatchSubstring},
    {kCategoryProcess, 3, u"Run through a developer tool", kDeveloperTools, kDeveloperToolArguments,
     kPathOrDetail, OpStart, kAnyResult, MatchSubstring},
    {kCategoryProcess, 2, u"Other living-off-the-land binary", kOtherBinaries,
     kOtherBinaryArguments, kPathOrDetail, OpStart, kAnyResult, MatchSubstring},
    {kCategoryProcess, 3, u"Shadow copies deleted", kShadowCopies, nullptr, kPathOrDetail, OpStart,
     kAnyResult, MatchSubstring},
    {kCategoryProcess, 3, u"Firewall turned off", kFirewall, nullptr, kPathOrDetail, OpStart,
     kAnyResult, MatchSubstring},
    {kCategoryProcess, 3, u"Event log cleared", kEventLog, nullptr, kPathOrDetail, OpStart,
     kAnyResult, MatchSubstring},
    {kCategoryProcess, 2, u"Self-deletion", kSelfDeletion, nullptr, kPathOrDetail, OpStart,
     kAnyResult, MatchSubstring},
    {kCategoryProcess, 3, u"reg save hive extraction", kRegSave, kRegSaveHives, kPathOrDetail,
     OpStart, kAnyResult, MatchSubstring},
    {kCategoryProcess, 3, u"LSASS dump", kLsassDump, nullptr, kPathOrDetail, OpStart, kAnyResult,
     MatchSubstring},
    {kCategoryProcess, 1, u"Reconnaissance command", kReconnaissance, nullptr, kPathOrDetail,
     OpStart, kAnyResult, MatchSubstring},
    // Network destinations.
    {kCategoryNetwork, 3, u"Connection to a common C2 port", kC2Ports, nullptr, kPath, OpNetwork,
     kAnyResult, MatchPathToken},
    {kCategoryNetwork, 2, u"Low-reputation TLD", kLowReputationTlds, nullptr, kPath, OpNetwork,
     kAnyResult, MatchPathSuffix},
    {kCategoryNetwork, 2, u"Remote management or tunnel service", kRemoteServices, nullptr,
     kPathOrDetail, OpNetwork, kAnyResult, MatchSubstring},
    // Reads beneath the file system (locked hives and databases copied, boot records read) and
    // programs kept where a directory listing does not show them; an attempt tells as much as a
    // success.
    {kCategoryFile, 2, u"Disk opened for raw access", kRawDiskOperation, nullptr, FieldOperation,
     OpRead, kAnyResult, MatchSubstring},
    {kCategoryFile, 3, u"Executable hidden in a stream", kStreamDetail, kExecutableTypes,
     FieldDetail, OpWrite, kAnyResult, MatchSubstring},
    // Another process's memory opened: writing is how code is put into it, reading how secrets
    // are taken from it. LSASS holds the logon secrets: any open of it is how their theft
    // begins. An attempt that was refused shows the intent as well as one that succeeded.
    {kCategoryProcess, 3, u"Process memory opened for writing", kMemoryWrite, nullptr, FieldDetail,
     OpAccess, kAnyResult, MatchSubstring},
    {kCategoryProcess, 3, u"LSASS opened", kLsassImage, nullptr, kPath, OpAccess, kAnyResult,
     MatchSubstring},
    {kCategoryProcess, 2, u"Process memory opened for reading", kMemoryRead, nullptr, FieldDetail,
     OpAccess, kAnyResult, MatchSubstring},
    // A driver runs in the kernel: any driver loaded while the sample runs deserves a look, though
    // the system loads some for reasons of its own (its row says its origin is not known).
    {kCategoryProcess, 2, u"Driver loaded during the recording", kDriverOperation, nullptr,
     FieldOperation, OpDriver, kAnyResult, MatchSubstring},
    // A thread started in another process runs that process's code on another's behalf: the
    // usual way code is injected. Starting where no image is mapped means code written there.
    {kCategoryProcess, 2, u"Thread created in another process", kRemoteThreadOperation, nullptr,
     FieldOperation, OpThread, kAnyResult, MatchSubstring},
    {kCategoryProcess, 3, u"Remote thread outside any module", kNoModuleDetail, nullptr,
     FieldDetail, OpThread, kAnyResult, MatchSubstring},
};

// --- Compile-time checks of the tables ---------------------------------------------------------

namespace {

constexpr bool SameText(const char16_t* a, const char16_t* b) {
    size_t i = 0;
    while (a[i] != 0 && a[i] == b[i])
        ++i;
    return a[i] == b[i];
}

constexpr size_t CountPatterns(const char16_t* const* list) {
    if (list == nullptr) return 0;
    size_t n = 0;
    while (list[n] != nullptr)
        ++n;
    return n;
}

constexpr bool PatternsAreLowerCase(const char16_t* const* list) {
    for (size_t i = 0; list != nullptr && list[i] != nullptr; ++i) {
        if (list[i][0] == 0) return false; // an empty pattern would match every row
        for (size_t j = 0; list[i][j] != 0; ++j) {
            if (list[i][j] >= u'A' && list[i][j] <= u'Z') return false;
        }
    }
    return true;
}

constexpr bool OperationClassTableIsSound() {
    uint32_t counts[11] = {};
    for (size_t i = 0; i < kOperationClassCount; ++i) {
        const OperationClassEntry& entry = kOperationClassTable[i];
        if (entry.kind == RowKind::Other || entry.kind >= RowKind::kCount) return false;
        // Exactly one class bit per operation, and a known one.
        int bit = -1;
        for (int b = 0; b < 11; ++b) {
            if (entry.classes == (1u << b)) bit = b;
        }
        if (bit < 0) return false;
        ++counts[bit];
        for (size_t j = 0; j < i; ++j) {
            if (kOperationClassTable[j].kind == entry.kind) return false;
        }
    }
    // Read, Write, Start, Load, Network, Exit, Delete, Script, Access, Driver, Thread.
    const uint32_t expected[11] = {20, 14, 2, 4, 12, 2, 4, 3, 1, 1, 1};
    for (int b = 0; b < 11; ++b) {
        if (counts[b] != expected[b]) return false;
    }
    return true;
}

// Pattern counts of list A and list B of every rule, in table order. A lost comma between two
// literals joins them into one pattern; this catches it.
constexpr uint8_t kExpectedPatternCounts[kThreatRuleCount][2] = {
    {5, 0},  {2, 2},  {1, 3},  {2, 4}, {3, 0}, {3, 2}, {8, 0}, {2, 0},  {4, 0},
    {4, 14}, {3, 14}, {4, 14}, {8, 0}, {6, 0}, {7, 0}, {4, 0}, {2, 13}, {2, 6},
    {1, 5},  {1, 5},  {1, 5},  {1, 7}, {2, 4}, {2, 7}, {5, 5}, {5, 4},  {7, 0},
    {5, 0},  {7, 0},  {4, 0},  {4, 4}, {7, 0}, {6, 0}, {8, 0}, {9, 0},  {12, 0},
    {1, 0},  {1, 14}, {2, 0},  {1, 0}, {2, 0}, {1, 0}, {1, 0}, {1, 0},
};

constexpr bool ThreatRuleTableIsSound() {
    for (size_t i = 0; i < kThreatRuleCount; ++i) {
        const ThreatRule& rule = kThreatRules[i];
        if (rule.name == nullptr || rule.name[0] == 0) return false;
        if (rule.category > kCategoryProcess) return false;
        if (rule.severity < 1 || rule.severity > 3) return false;
        if (rule.matchMode > MatchPathToken) return false;
        if (rule.fields == 0 || (rule.fields & ~(FieldPath | FieldDetail | FieldOperation)) != 0) {
            return false;
        }
        // The first twelve rules concern writes, which only count when they succeeded.
        if (rule.needsSuccess != (i < 12 ? 1 : 0)) return false;
        if (CountPatterns(rule.patternsA) != kExpectedPatternCounts[i][0]) return false;
        if (CountPatterns(rule.patternsB) != kExpectedPatternCounts[i][1]) return false;
        if (!PatternsAreLowerCase(rule.patternsA) || !PatternsAreLowerCase(rule.patternsB)) {
            return false;
        }
        for (size_t j = 0; j < i; ++j) {
            if (SameText(kThreatRules[j].name, rule.name)) return false;
        }
    }
    return true;
}

static_assert(sizeof(kOperationClassTable) / sizeof(kOperationClassTable[0]) == 64);
static_assert(sizeof(kThreatRules) / sizeof(kThreatRules[0]) == 44);
static_assert(OperationClassTableIsSound(), "operation class table: 64 distinct kinds, one class "
                                            "bit each, 20/14/2/4/12/2/4/3/1/1/1");
static_assert(ThreatRuleTableIsSound(), "threat rule table does not match its description");
static_assert(SameText(kThreatRules[12].patternsA[7], u"\u202E"));
static_assert(kThreatRules[9].patternsB == kThreatRules[10].patternsB &&
              kThreatRules[10].patternsB == kThreatRules[11].patternsB &&
              kThreatRules[11].patternsB == kThreatRules[37].patternsB);

// The class of every kind, by its number: the rule loop asks it once a row.
struct ClassesOfKinds {
    uint16_t of[kRowKindCount];
};

constexpr ClassesOfKinds IndexClassesByKind() {
    ClassesOfKinds classes{};
    for (const OperationClassEntry& entry : kOperationClassTable)
        classes.of[static_cast<size_t>(entry.kind)] = static_cast<uint16_t>(entry.classes);
    return classes;
}

constexpr ClassesOfKinds kClassesOfKinds = IndexClassesByKind();
static_assert(kRowKindCount == kOperationClassCount + 1, "every kind but Other has a class");

// The rules a row of each category can meet, in table order: rules of that category and rules of
// any category (index 4: rows of an unknown category, which only the latter can meet).
struct CategoryRules {
    uint8_t count;
    uint8_t rules[kThreatRuleCount];
};

constexpr CategoryRules RulesOfCategory(uint32_t category) {
    CategoryRules list{};
    for (size_t r = 0; r < kThreatRuleCount; ++r) {
        if (kThreatRules[r].category == kAnyCategory || kThreatRules[r].category == category) {
            list.rules[list.count++] = static_cast<uint8_t>(r);
        }
    }
    return list;
}

constexpr CategoryRules kRulesOfCategory[5] = {
    RulesOfCategory(kCategoryFile), RulesOfCategory(kCategoryRegistry),
    RulesOfCategory(kCategoryNetwork), RulesOfCategory(kCategoryProcess),
    RulesOfCategory(kAnyCategory)};

// --- Matching ---------------------------------------------------------------------------------

// A row field seen through its terminator, never past its buffer.
struct FieldText {
    const char16_t* text;
    size_t length;
};

struct RowTexts {
    FieldText path;
    FieldText detail;
    FieldText operation;
};

RowTexts TextsOf(const EventRow& row) {
    return RowTexts{{row.path, FieldTextLength(row.path, kPathChars)},
                    {row.detail, FieldTextLength(row.detail, kDetailChars)},
                    {row.operation, FieldTextLength(row.operation, kOperationChars)}};
}

// Pattern characters are folded only for callers that may pass upper-case patterns; the rule
// table is lower case throughout.
template <bool kFoldPattern> constexpr char16_t PatternChar(char16_t c) {
    if constexpr (kFoldPattern) {
        return FoldAscii(c);
    } else {
        return c;
    }
}

// The m pattern characters equal text[0..m) after folding.
template <bool kFoldPattern>
bool EqualsFoldedAt(const char16_t* text, const char16_t* pattern, size_t m) {
    for (size_t j = 0; j < m; ++j) {
        if (FoldAscii(text[j]) != PatternChar<kFoldPattern>(pattern[j])) return false;
    }
    return true;
}

// Pattern lengths come from the caller: the scoring path knows them from a table built at
// compile time.
template <bool kFoldPattern>
bool ContainsFoldedIn(FieldText field, const char16_t* pattern, size_t m) {
    if (m > field.length) return false;
    const char16_t first = PatternChar<kFoldPattern>(pattern[0]);
    const size_t last = field.length - m;
    for (size_t i = 0; i <= last; ++i) {
        if (FoldAscii(field.text[i]) != first) continue;
        if (EqualsFoldedAt<kFoldPattern>(field.text + i + 1, pattern + 1, m - 1)) return true;
    }
    return false;
}

template <bool kFoldPattern>
bool EndsWithFolded(FieldText path, const char16_t* pattern, size_t m) {
    const size_t n = path.length;
    if (m != 0 && m <= n && EqualsFoldedAt<kFoldPattern>(path.text + (n - m), pattern, m)) {
        return true;
    }
    // A fully qualified name may carry one final dot: "example.tk." ends in ".tk".
    if (n >= 1 && path.text[n - 1] == u'.' && m <= n - 1) {
        return EqualsFoldedAt<kFoldPattern>(path.text + (n - 1 - m), pattern, m);
    }
    return false;
}

// The pattern occurs exactly and is followed by the end of the path or a space. Only the places
// that end a token can end a match, so the pattern is compared just before each space and before
// the end (a network row's path has two spaces).
bool ContainsToken(FieldText path, const char16_t* pattern, size_t m) {
    if (path.length == 0 || m > path.length) return false;
    auto endsAt = [&](size_t end) {
        if (end < m) return false;
        const char16_t* at = path.text + (end - m);
        size_t j = 0;
        while (j < m && at[j] == pattern[j])
            ++j;
        return j == m;
    };
    for (size_t end = 0; end < path.length; ++end) {
        if (path.text[end] == u' ' && endsAt(end)) return true;
    }
    return endsAt(path.length);
}

template <bool kFoldPattern>
bool MatchOnePattern(const char16_t* pattern, size_t m, const RowTexts& row, uint32_t fields,
                     uint32_t matchMode) {
    if (matchMode == MatchPathSuffix) return EndsWithFolded<kFoldPattern>(row.path, pattern, m);
    if (matchMode == MatchPathToken) return ContainsToken(row.path, pattern, m);
    const FieldText* selected[3] = {
        (fields & FieldPath) != 0 ? &row.path : nullptr,
        (fields & FieldDetail) != 0 ? &row.detail : nullptr,
        (fields & FieldOperation) != 0 ? &row.operation : nullptr,
    };
    for (const FieldText* field : selected) {
        if (field == nullptr) continue;
        if (m == 0) return true;
        if (ContainsFoldedIn<kFoldPattern>(*field, pattern, m)) return true;
    }
    return false;
}

// --- Character-pair prefilter ------------------------------------------------------------------
//
// A 256-bit set of the (folded) adjacent character pairs of a text. A pattern can only occur in
// a text, in any match mode, when every pair of the pattern is in the text's set; so most
// patterns are ruled out by four AND operations instead of a scan of the text. The sets of the
// patterns are built at compile time, those of a row once, and only when a rule gets as far as
// comparing text. Beside the pairs, the set notes whether the text holds a character above
// U+007F: a pattern of one such character (the right-to-left override) has no pairs at all, and
// would otherwise be searched for in every row.

struct PairSet {
    uint64_t bits[4];
    uint64_t wide; // 1: a character above U+007F
};

// A 16-bit hash of the pair, a * kPairA + b * kPairB modulo 2^16; its top 8 bits pick the bit.
// 16 bits, so that eight pairs of a row are hashed at once with SSE2's 16-bit multiply.
constexpr uint16_t kPairA = 0x9E37;
constexpr uint16_t kPairB = 0x79B9;
constexpr uint32_t PairBit(char16_t a, char16_t b) {
    return ((uint32_t{a} * kPairA + uint32_t{b} * kPairB) & 0xFFFFu) >> 8;
}

constexpr void SetPairBit(PairSet& set, uint32_t bit) {
    set.bits[bit >> 6] |= uint64_t{1} << (bit & 63);
}

constexpr void AddPair(PairSet& set, char16_t a, char16_t b) {
    SetPairBit(set, PairBit(a, b));
}

// Each of the 256 bits as a set of its own.
struct SingleBits {
    alignas(16) uint64_t sets[256][4];
};
constexpr SingleBits MakeSingleBits() {
    SingleBits t{};
    for (uint32_t bit = 0; bit < 256; ++bit)
        t.sets[bit][bit >> 6] = uint64_t{1} << (bit & 63);
    return t;
}
constexpr SingleBits kSingleBits = MakeSingleBits();

// Every pair of the pattern is in the text's set (and its wide character, if it has one). The
// 256 bits are compared as two 16-byte halves: a pattern bit the text lacks leaves a non-zero
// byte.
inline bool Covers(const PairSet& text, const PairSet& pattern) {
#if defined(__SSE2__)
    const auto* t = reinterpret_cast<const __m128i*>(text.bits);
    const auto* p = reinterpret_cast<const __m128i*>(pattern.bits);
    const __m128i missing = _mm_or_si128(_mm_andnot_si128(_mm_loadu_si128(t), _mm_loadu_si128(p)),
                                         _mm_andnot_si128(_mm_loadu_si128(t + 1),
                                                          _mm_loadu_si128(p + 1)));
    return _mm_movemask_epi8(_mm_cmpeq_epi8(missing, _mm_setzero_si128())) == 0xFFFF &&
           (text.wide & pattern.wide) == pattern.wide;
#else
    return ((text.bits[0] & pattern.bits[0]) == pattern.bits[0]) &&
           ((text.bits[1] & pattern.bits[1]) == pattern.bits[1]) &&
           ((text.bits[2] & pattern.bits[2]) == pattern.bits[2]) &&
           ((text.bits[3] & pattern.bits[3]) == pattern.bits[3]) &&
           ((text.wide & pattern.wide) == pattern.wide);
#endif
}

constexpr PairSet Union(const PairSet& a, const PairSet& b) {
    return PairSet{{a.bits[0] | b.bits[0], a.bits[1] | b.bits[1], a.bits[2] | b.bits[2],
                    a.bits[3] | b.bits[3]},
                   a.wide | b.wide};
}

struct PatternInfo {
    PairSet pairs;
    uint32_t length;
};

struct RuleLists {
    uint16_t firstA; // index of the rule's list A in PatternIndex::patterns
    uint16_t firstB; // list B (meaningless for a rule without one)
};

constexpr size_t CountAllPatterns() {
    size_t n = 0;
    for (const ThreatRule& rule : kThreatRules) {
        n += CountPatterns(rule.patternsA) + CountPatterns(rule.patternsB);
    }
    return n;
}

constexpr size_t kPatternTotal = CountAllPatterns();

struct PatternIndex {
    PatternInfo patterns[kPatternTotal];
    RuleLists rules[kThreatRuleCount];
};

constexpr void IndexList(PatternIndex& index, size_t& next, const char16_t* const* list) {
    for (size_t i = 0; list != nullptr && list[i] != nullptr; ++i) {
        size_t length = 0;
        while (list[i][length] != 0)
            ++length;
        PatternInfo& info = index.patterns[next++];
        info.length = static_cast<uint32_t>(length);
        for (size_t j = 0; j < length; ++j) {
            if (list[i][j] > 0x7F) info.pairs.wide = 1;
            if (j > 0) AddPair(info.pairs, FoldAscii(list[i][j - 1]), FoldAscii(list[i][j]));
        }
    }
}

constexpr PatternIndex BuildPatternIndex() {
    PatternIndex index{};
    size_t next = 0;
    for (size_t r = 0; r < kThreatRuleCount; ++r) {
        index.rules[r].firstA = static_cast<uint16_t>(next);
        IndexList(index, next, kThreatRules[r].patternsA);
        index.rules[r].firstB = static_cast<uint16_t>(next);
        IndexList(index, next, kThreatRules[r].patternsB);
    }
    return index;
}

constexpr PatternIndex kPatternIndex = BuildPatternIndex();
static_assert(kPatternTotal < 0xFFFF);

// What the scoring learns about a row's texts: a field's length (never past its buffer) and pair
// set, made in one pass over that field when a rule first needs it. Most rows are settled by the
// integer tests alone and never scanned, and no rule of the table searches the operation, nor a
// file rule the detail, so those fields are mostly never read.
struct RowScan {
    const EventRow* row;
    uint32_t scanned; // the Field* bits whose text and pairs below are known
    RowTexts texts;
    PairSet path;
    PairSet detail;
    PairSet operation;
};

#if defined(__SSE2__)
// FoldAscii on eight characters.
__m128i FoldEight(__m128i c) {
    const __m128i upper = _mm_and_si128(_mm_cmpgt_epi16(c, _mm_set1_epi16(u'A' - 1)),
                                        _mm_cmplt_epi16(c, _mm_set1_epi16(u'Z' + 1)));
    return _mm_or_si128(c, _mm_and_si128(upper, _mm_set1_epi16(0x20)));
}
#endif

// The text of a field of `capacity` characters, all readable, and the pairs of its folded
// characters. Eight pairs at a time: the characters at i and at i + 1 are loaded, folded and
// hashed together, and a terminator among the second ones ends the text.
FieldText ScanField(const char16_t* text, size_t capacity, PairSet& pairs) {
    if (capacity == 0 || text[0] == 0) return FieldText{text, 0};
    size_t i = 0; // pairs (j, j + 1) with j < i are in the set; text[0..i] holds no terminator
#if defined(__SSE2__)
    const __m128i zeros = _mm_setzero_si128();
    __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pairs.bits));
    __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pairs.bits + 2));
    auto keep = [&] {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(pairs.bits), low);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(pairs.bits + 2), high);
    };
    for (; i + 9 <= capacity; i += 8) {
        const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
        const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i + 1));
        const auto ends =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi16(second, zeros)));
        const __m128i hash = _mm_add_epi16(
            _mm_mullo_epi16(FoldEight(first), _mm_set1_epi16(static_cast<int16_t>(kPairA))),
            _mm_mullo_epi16(FoldEight(second), _mm_set1_epi16(static_cast<int16_t>(kPairB))));
        alignas(16) uint8_t bits[16];
        _mm_store_si128(reinterpret_cast<__m128i*>(bits),
                        _mm_packus_epi16(_mm_srli_epi16(hash, 8), zeros));
        const size_t count = ends == 0 ? 8 : static_cast<size_t>(__builtin_ctz(ends)) / 2;
        // Each bit is ORed in as a whole 256-bit set from a table, into two registers: no shift
        // by a variable count and no bit waiting in memory for the one before it.
        for (size_t k = 0; k < count; ++k) {
            const auto* one = reinterpret_cast<const __m128i*>(kSingleBits.sets[bits[k]]);
            low = _mm_or_si128(low, _mm_load_si128(one));
            high = _mm_or_si128(high, _mm_load_si128(one + 1));
        }
        // The text's characters in this block: all eight, or up to the last before the end.
        const unsigned lanes = ends == 0 ? 0xFFFFu : (1u << (2 * (count + 1))) - 1;
        const auto narrow = static_cast<unsigned>(_mm_movemask_epi8(
            _mm_cmpeq_epi16(_mm_and_si128(first, _mm_set1_epi16(static_cast<int16_t>(0xFF80))),
                            zeros)));
        if ((~narrow & lanes) != 0) pairs.wide = 1;
        if (ends != 0) {
            keep();
            return FieldText{text, i + 1 + count};
        }
    }
    keep();
#endif
    size_t n = i + 1;
    char16_t previous = FoldAscii(text[i]);
    if (text[i] > 0x7F) pairs.wide = 1;
    while (n < capacity && text[n] != 0) {
        const char16_t c = FoldAscii(text[n]);
        if (c > 0x7F) pairs.wide = 1;
        AddPair(pairs, previous, c);
        previous = c;
        ++n;
    }
    return FieldText{text, n};
}

void ScanFields(RowScan& scan, uint32_t fields) {
    const uint32_t missing = fields & ~scan.scanned;
    if (missing == 0) return;
    const EventRow& row = *scan.row;
    if ((missing & FieldPath) != 0) scan.texts.path = ScanField(row.path, kPathChars, scan.path);
    if ((missing & FieldDetail) != 0) {
        scan.texts.detail = ScanField(row.detail, kDetailChars, scan.detail);
    }
    if ((missing & FieldOperation) != 0) {
        scan.texts.operation = ScanField(row.operation, kOperationChars, scan.operation);
    }
    scan.scanned |= missing;
}

// The fields a rule reads: the path alone for the path's suffix and token matches.
uint32_t FieldsRead(uint32_t fields, uint32_t matchMode) {
    return matchMode == MatchPathSuffix || matchMode == MatchPathToken ? FieldPath : fields;
}

// The pairs of the fields a rule reads, which have been scanned.
PairSet PairsOf(const RowScan& scan, uint32_t fields) {
    if (fields == FieldPath) return scan.path;
    PairSet set{};
    if ((fields & FieldPath) != 0) set = Union(set, scan.path);
    if ((fields & FieldDetail) != 0) set = Union(set, scan.detail);
    if ((fields & FieldOperation) != 0) set = Union(set, scan.operation);
    return set;
}

// One list of a table rule, with its patterns' lengths and pair sets.
bool MatchRuleList(const char16_t* const* patterns, const PatternInfo* info, const RowTexts& row,
                   const PairSet& rowPairs, uint32_t fields, uint32_t matchMode) {
    if (patterns == nullptr) return true;
    for (size_t i = 0; patterns[i] != nullptr; ++i) {
        if (!Covers(rowPairs, info[i].pairs)) continue;
        if (MatchOnePattern<false>(patterns[i], info[i].length, row, fields, matchMode)) {
            return true;
        }
    }
    return false;
}

} // namespace

// --- Public operations -------------------------------------------------------------------------

int ClassifyResult(const char16_t* result) {
    if (result == nullptr || result[0] == 0) return ResultUnknown;
    // The first character tells which of the known results it can be: each is compared once.
    switch (result[0]) {
    case u'-':
        return TextEquals(result, u"-") ? ResultUnknown : ResultFailed;
    case u'.':
        return TextEquals(result, u"...") ? ResultUnknown : ResultFailed;
    case u'O':
        return TextEquals(result, u"OK") ? ResultOk : ResultFailed;
    case u'P':
        return TextEquals(result, u"PENDING") ? ResultOk : ResultFailed;
    case u'M':
        return TextEquals(result, u"MORE DATA") ? ResultOk : ResultFailed;
    case u'N':
        return TextEquals(result, u"NO MORE") ? ResultOk : ResultFailed;
    case u'W':
        return TextStartsWith(result, u"WARN") ? ResultOk : ResultFailed;
    default:
        return ResultFailed;
    }
}

uint32_t OperationClassOf(RowKind kind) {
    const size_t k = static_cast<size_t>(kind);
    return k < kRowKindCount ? kClassesOfKinds.of[k] : 0;
}

bool MatchPatternList(const char16_t* const* patterns, const EventRow* row, uint32_t fields,
                      uint32_t matchMode) {
    if (patterns == nullptr) return true;
    if (row == nullptr) return false;
    const RowTexts texts = TextsOf(*row);
    for (size_t i = 0; patterns[i] != nullptr; ++i) {
        if (MatchOnePattern<true>(patterns[i], TextLength(patterns[i]), texts, fields, matchMode)) {
            return true;
        }
    }
    return false;
}

bool PathEndsWith(const char16_t* path, const char16_t* pattern) {
    if (path == nullptr || pattern == nullptr) return false;
    return EndsWithFolded<true>(FieldText{path, TextLength(path)}, pattern, TextLength(pattern));
}

int32_t ScoreRow(const EventRow* row, char16_t* threatOut, size_t capacity) {
    if (row == nullptr) {
        if (threatOut != nullptr && capacity >= 1) threatOut[0] = 0;
        return 0;
    }
    return ScoreRowOfKind(row, RowKindOfRow(*row), threatOut, capacity);
}

int32_t ScoreRowOfKind(const EventRow* row, RowKind kind, char16_t* threatOut, size_t capacity) {
    const bool writeThreat = threatOut != nullptr && capacity >= 1;
    if (writeThreat) threatOut[0] = 0;
    if (row == nullptr) return 0;

    const uint32_t operationClass = OperationClassOf(kind);
    const int resultClass = ClassifyResult(row->result);
    RowScan scan{};
    scan.row = row;

    int32_t best = 0;
    const char16_t* chosen = nullptr;
    int32_t matches = 0;
    const CategoryRules& candidates = kRulesOfCategory[row->category < 4 ? row->category : 4];
    for (size_t k = 0; k < candidates.count; ++k) {
        const size_t r = candidates.rules[k];
        const ThreatRule& rule = kThreatRules[r];
        if (rule.operationClasses != 0 && operationClass != 0 &&
            (rule.operationClasses & operationClass) == 0) {
            continue;
        }
        if (rule.needsSuccess != 0 && resultClass == ResultFailed) continue;
        const uint32_t fields = FieldsRead(rule.fields, rule.matchMode);
        ScanFields(scan, fields);
        const PairSet rowPairs = PairsOf(scan, fields);
        const RuleLists& lists = kPatternIndex.rules[r];
        if (!MatchRuleList(rule.patternsA, kPatternIndex.patterns + lists.firstA, scan.texts,
                           rowPairs, rule.fields, rule.matchMode) ||
            !MatchRuleList(rule.patternsB, kPatternIndex.patterns + lists.firstB, scan.texts,
                           rowPairs, rule.fields, rule.matchMode)) {
            continue;
        }
        ++matches;
        if (rule.severity > best) {
            best = rule.severity;
            chosen = rule.name;
        } else if (chosen == nullptr) {
            chosen = rule.name;
        }
    }
    if (best == 0) return 0;

    if (writeThreat) {
        CopyBounded(threatOut, capacity, chosen);
        if (matches >= 2) AppendFormat(threatOut, capacity, u" (+%d)", matches - 1);
    }
    return best;
}

int32_t MatchingThreatRules(const EventRow* row, int32_t* rules, int32_t capacity) {
    if (row == nullptr) return 0;
    const uint32_t operationClass = OperationClassOf(RowKindOfRow(*row));
    const int resultClass = ClassifyResult(row->result);
    RowScan scan{};
    scan.row = row;
    int32_t matches = 0;
    const CategoryRules& candidates = kRulesOfCategory[row->category < 4 ? row->category : 4];
    for (size_t k = 0; k < candidates.count; ++k) {
        const size_t r = candidates.rules[k];
        const ThreatRule& rule = kThreatRules[r];
        if (rule.operationClasses != 0 && operationClass != 0 &&
            (rule.operationClasses & operationClass) == 0) {
            continue;
        }
        if (rule.needsSuccess != 0 && resultClass == ResultFailed) continue;
        const uint32_t fields = FieldsRead(rule.fields, rule.matchMode);
        ScanFields(scan, fields);
        const PairSet rowPairs = PairsOf(scan, fields);
        const RuleLists& lists = kPatternIndex.rules[r];
        if (!MatchRuleList(rule.patternsA, kPatternIndex.patterns + lists.firstA, scan.texts,
                           rowPairs, rule.fields, rule.matchMode) ||
            !MatchRuleList(rule.patternsB, kPatternIndex.patterns + lists.firstB, scan.texts,
                           rowPairs, rule.fields, rule.matchMode)) {
            continue;
        }
        if (rules != nullptr && matches < capacity) rules[matches] = static_cast<int32_t>(r);
        ++matches;
    }
    return matches;
}

const char16_t* SeverityLabel(uint32_t severity) {
    switch (severity) {
    case 1:
        return u"Low";
    case 2:
        return u"Medium";
    case 3:
        return u"High";
    default:
        return u"";
    }
}

} // namespace olv
