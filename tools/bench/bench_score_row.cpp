// score_row: rows scored by the threat rules per second, over a mix of file, registry, network and
// process rows such as a recording produces (mostly benign, a few matching). Baseline: copying
// the same rows (3256 bytes each) into a ring of slots, as the trace thread does when it queues a
// row. The ratio says what share of the copy rate the scoring reaches.
#include <cstring>

#include "base/format.h"
#include "base/text.h"
#include "bench.h"
#include "record/event_row.h"
#include "rules/threat_rules.h"

using namespace olv;

namespace {

struct RowTemplate {
    uint32_t category;
    const char16_t* operation;
    const char16_t* path; // may hold one %u, replaced by a running number
    const char16_t* detail;
    const char16_t* result;
    int copies; // weight in the mix
};

// Weights give about 45% file, 28% registry, 13% network, 13% process rows, and about 4% of all
// rows match some rule.
const RowTemplate kTemplates[] = {
    // File.
    {kCategoryFile, u"Read file", u"C:\\Windows\\System32\\kernel32.dll", u"Offset 0, 4096 bytes",
     u"OK", 14},
    {kCategoryFile, u"Opened file",
     u"C:\\Users\\analyst\\AppData\\Local\\Microsoft\\Windows\\INetCache\\IE\\K2J4QX7M\\page%u.htm",
     u"", u"OK", 14},
    {kCategoryFile, u"Wrote to file", u"C:\\Users\\analyst\\Documents\\Quarterly report %u.docx",
     u"Offset 8192, 512 bytes", u"OK", 10},
    {kCategoryFile, u"Read file information",
     u"C:\\Program Files\\Common Files\\microsoft shared\\ClickToRun\\OfficeClickToRun.exe", u"",
     u"OK", 8},
    {kCategoryFile, u"Closed file", u"C:\\Windows\\Fonts\\segoeui.ttf", u"", u"OK", 10},
    {kCategoryFile, u"Created new file", u"C:\\Users\\analyst\\AppData\\Local\\Temp\\~DF%u.tmp",
     u"", u"OK", 6},
    {kCategoryFile, u"Listed folder",
     u"C:\\Windows\\WinSxS\\amd64_microsoft.windows.common-controls_6595b64144ccf1df_6.0.19041."
     u"1110_none_60b5254171f9507e",
     u"", u"NO MORE", 6},
    {kCategoryFile, u"Opened file", u"C:\\Windows\\System32\\en-US\\msctf.dll.mui", u"",
     u"NOT FOUND", 10},
    {kCategoryFile, u"Wrote to file", u"C:\\ProgramData\\Contoso\\Logs\\update%u.log",
     u"Offset 0, 120 bytes", u"OK", 6},
    {kCategoryFile, u"Read file", u"\\Device\\HarddiskVolume3\\Windows\\Prefetch\\SAMPLE.EXE-%u.pf",
     u"Offset 0, 65536 bytes", u"-", 26},
    {kCategoryFile, u"Created new file", u"C:\\Users\\analyst\\AppData\\Local\\Temp\\payload%u.exe",
     u"", u"OK", 3},
    {kCategoryFile, u"Wrote to file",
     u"C:\\Users\\analyst\\AppData\\Roaming\\Microsoft\\Windows\\Start "
     u"Menu\\Programs\\Startup\\svc%u.lnk",
     u"Offset 0, 1024 bytes", u"OK", 2},
    // Registry.
    {kCategoryRegistry, u"Opened registry key",
     u"HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Image File Execution "
     u"Options\\sample.exe",
     u"", u"NOT FOUND", 10},
    {kCategoryRegistry, u"Read registry value",
     u"HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager", u"SafeDllSearchMode", u"OK", 12},
    {kCategoryRegistry, u"Read registry value",
     u"HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders", u"AppData",
     u"OK", 12},
    {kCategoryRegistry, u"Closed registry key", u"HKLM\\SOFTWARE\\Microsoft\\Ole", u"", u"OK", 10},
    {kCategoryRegistry, u"Wrote registry value",
     u"HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MountPoints2\\{%u}",
     u"BaseClass", u"OK", 6},
    {kCategoryRegistry, u"Listed registry values",
     u"HKLM\\SOFTWARE\\Policies\\Microsoft\\Windows\\Safer\\CodeIdentifiers", u"", u"OK", 20},
    {kCategoryRegistry, u"Wrote registry value",
     u"HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Run", u"Updater%u", u"OK", 2},
    // Network.
    {kCategoryNetwork, u"Sent data (TCP)", u"192.168.1.20:49731 -> 93.184.216.34:443", u"517 bytes",
     u"", 10},
    {kCategoryNetwork, u"Received data (TCP)", u"93.184.216.34:443 -> 192.168.1.20:49731",
     u"1460 bytes", u"", 10},
    {kCategoryNetwork, u"DNS query", u"www%u.example.com", u"Type A", u"", 6},
    {kCategoryNetwork, u"Sent data (UDP)", u"192.168.1.20:55123 -> 192.168.1.1:53", u"40 bytes",
     u"", 6},
    {kCategoryNetwork, u"Connected (TCP)", u"192.168.1.20:49740 -> 203.0.113.9:4444", u"", u"", 1},
    {kCategoryNetwork, u"DNS query", u"c2-%u.duckdns.org", u"Type A", u"", 1},
    // Process and image.
    {kCategoryProcess, u"Loaded DLL", u"C:\\Windows\\System32\\ntdll.dll",
     u"Base 0x7FFB3C2D0000, size 2052096", u"", 10},
    {kCategoryProcess, u"Loaded DLL", u"C:\\Windows\\System32\\combase.dll",
     u"Base 0x7FFB3A9C0000, size 3436544", u"", 10},
    {kCategoryProcess, u"Started child process",
     u"\"C:\\Windows\\System32\\conhost.exe\" 0xffffffff -ForceV1", u"Parent PID 4120 / PID %u",
     u"OK", 6},
    {kCategoryProcess, u"Process exited", u"C:\\Windows\\System32\\conhost.exe", u"Exit code 0",
     u"OK", 6},
    {kCategoryProcess, u"Started child process",
     u"powershell.exe -nop -w hidden -enc SQBFAFgAIAAoAE4AZQB3AC0ATwBiAGoAZQBjAHQA",
     u"Parent PID 4120 / PID %u", u"OK", 1},
    {kCategoryProcess, u"Loaded DLL", u"C:\\Users\\analyst\\AppData\\Local\\Temp\\x%u.dll",
     u"Base 0x180000000, size 77824", u"", 1},
};

constexpr size_t kPoolRows = 256; // 814 KB of rows: the same working set for both measurements

EventRow gRows[kPoolRows];
EventRow gSlots[kPoolRows];

void FillPool() {
    size_t total = 0;
    for (const RowTemplate& t : kTemplates)
        total += static_cast<size_t>(t.copies);
    // Spread the templates over the pool by their weights, then shuffle so that neighbouring
    // rows differ as they do in a real trace.
    size_t next = 0;
    uint32_t number = 1000;
    for (size_t i = 0; i < kPoolRows; ++i) {
        // The template whose cumulative weight covers i * total / kPoolRows.
        const size_t target = i * total / kPoolRows;
        size_t sum = 0;
        next = 0;
        while (sum + static_cast<size_t>(kTemplates[next].copies) <= target) {
            sum += static_cast<size_t>(kTemplates[next].copies);
            ++next;
        }
        const RowTemplate& t = kTemplates[next];
        EventRow& row = gRows[i];
        std::memset(&row, 0, sizeof(row));
        row.category = t.category;
        CopyBounded(row.operation, kOperationChars, t.operation);
        FormatText(row.path, kPathChars, t.path, number);
        FormatText(row.detail, kDetailChars, t.detail, number);
        CopyBounded(row.result, kResultChars, t.result);
        CopyBounded(row.process, kProcessChars, u"sample.exe");
        row.pid = 4120;
        row.threadId = 4124;
        ++number;
    }
    uint32_t state = 12345;
    for (size_t i = kPoolRows - 1; i > 0; --i) {
        state = state * 1103515245u + 12345u;
        const size_t j = (state >> 8) % (i + 1);
        if (j == i) continue;
        std::memcpy(&gSlots[0], &gRows[i], sizeof(EventRow));
        std::memcpy(&gRows[i], &gRows[j], sizeof(EventRow));
        std::memcpy(&gRows[j], &gSlots[0], sizeof(EventRow));
    }
}

} // namespace

OLV_BENCH(score_row) {
    FillPool();

    size_t matching = 0;
    for (EventRow& row : gRows) {
        if (ScoreRow(&row, row.threat, kThreatChars) > 0) ++matching;
    }
    // The figure is only meaningful for the mix it claims: mostly benign, some matching.
    if (matching == 0 || matching * 5 > kPoolRows) {
        bench::ReportFailure(run, "row mix does not have a few matching rows");
        return;
    }

    const bench::PairTimes t = bench::BestSecondsPerCallPair(
        [] {
            int32_t sum = 0;
            for (EventRow& row : gRows)
                sum += ScoreRow(&row, row.threat, kThreatChars);
            bench::KeepValue(sum);
        },
        [] {
            for (size_t i = 0; i < kPoolRows; ++i) {
                std::memcpy(&gSlots[i], &gRows[i], sizeof(EventRow));
            }
            bench::ClobberMemory();
        });
    const double rows = static_cast<double>(kPoolRows);
    bench::ReportFigure(run, rows / t.work, "rows/s", rows / t.baseline);
}
