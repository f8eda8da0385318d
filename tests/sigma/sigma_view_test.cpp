// The field view of rows as the decoders and the recorder write them (texts taken from the
// scenarios' rows), each packed into a store as the row store keeps it.
#include <doctest.h>

#include <memory>
#include <string>
#include <vector>

#include "base/format.h"
#include "base/text.h"
#include "platform/memory.h"
#include "sigma/sigma_view.h"
#include "sigma_test_support.h"
#include "support/text_check.h"

namespace olv {

namespace {

// The fact fields of a process start: unknown on every start that has no facts record (its
// folder is the start's own field, known for the examined program).
const SigmaFieldMask kStartFacts =
    SigmaFieldMask{FactsOfLayout(kFactsLayoutProcess) & ~(1u << kFactCurrentDirectory)}
    << kSigmaOriginalFileName;

struct RowSpec {
    uint32_t category;
    uint32_t pid;
    const char16_t* process;
    const char16_t* operation;
    const char16_t* path;
    const char16_t* detail;
    const char16_t* result;
    uint32_t parentPid;
};

std::unique_ptr<EventRow> MakeRow(const RowSpec& s) {
    auto row = std::make_unique<EventRow>();
    *row = EventRow{};
    row->category = s.category;
    row->pid = s.pid;
    row->parentPid = s.parentPid;
    CopyBounded(row->process, kProcessChars, s.process);
    CopyBounded(row->operation, kOperationChars, s.operation);
    CopyBounded(row->path, kPathChars, s.path);
    CopyBounded(row->detail, kDetailChars, s.detail);
    CopyBounded(row->result, kResultChars, s.result != nullptr ? s.result : u"OK");
    return row;
}

// "<unknown>" for a field the row could not learn, "<absent>" for an absent one, else its text
// as UTF-8.
std::string Field(const SigmaViewBuffer& b, uint32_t field) {
    if ((b.view.unknown & SigmaFieldBit(field)) != 0) return "<unknown>";
    const SigmaText& t = b.view.fields[field];
    if (t.text == nullptr) return "<absent>";
    std::u16string text(t.text, t.length);
    return U8(text.c_str());
}

struct ContextDeleter {
    void operator()(SigmaViewContext* c) const { FreeSigmaViewContext(c); }
};
using ContextPtr = std::unique_ptr<SigmaViewContext, ContextDeleter>;

struct StoreDeleter {
    void operator()(TextStore* s) const {
        FreeTextStore(s);
        delete s;
    }
};
using StorePtr = std::unique_ptr<TextStore, StoreDeleter>;

// A recording fed row by row: each row packed into a store as the row store keeps it, and viewed
// from its typed record. The records are kept so deferred rows can be viewed later.
struct FedRows {
    ContextPtr context{NewSigmaViewContext()};
    StorePtr store{new TextStore{}};
    std::vector<CompactRow> rows;
    std::unique_ptr<SigmaViewBuffer> buffer = std::make_unique<SigmaViewBuffer>();

    CompactRow Pack(const RowSpec& s) {
        CompactRow packed{};
        REQUIRE(PackRow(store.get(), MakeRow(s).get(), &packed));
        return packed;
    }
    uint32_t Learn(const RowSpec& s) {
        rows.push_back(Pack(s));
        return Learn(rows.back());
    }
    uint32_t Learn(const CompactRow& row) {
        if (rows.empty() || &row != &rows.back()) rows.push_back(row);
        const uint32_t outcome = LearnSigmaRow(context.get(), store.get(), rows.back(),
                                               static_cast<int32_t>(rows.size() - 1), buffer.get());
        CheckSetMask();
        return outcome;
    }
    std::vector<int32_t> Due() {
        std::vector<int32_t> due(16);
        due.resize(static_cast<size_t>(TakeDueSigmaRows(context.get(), due.data(), 16)));
        return due;
    }
    bool StartView(int32_t index) {
        const bool viewed = SigmaViewOfStartRow(
            context.get(), store.get(), rows[static_cast<size_t>(index)], index, buffer.get());
        CheckSetMask();
        return viewed;
    }
    // The buffer is reused row after row, cleared by the fields it has set, and the exports keep
    // a view's fields by that mask: every field with a value must be in it.
    void CheckSetMask() const {
        for (uint32_t f = 0; f < kSigmaFieldCount; ++f) {
            CAPTURE(f);
            if (buffer->view.fields[f].text != nullptr)
                CHECK((buffer->view.set & SigmaFieldBit(f)) != 0);
        }
    }
    std::string F(uint32_t field) const { return Field(*buffer, field); }
    uint32_t Categories() const { return buffer->view.categories; }
};

constexpr uint32_t Bit(uint32_t category) {
    return 1u << category;
}

constexpr uint32_t kTarget = 4242;
constexpr uint32_t kRecorder = 3120;

const RowSpec kTargetStart = {kCategoryProcess,
                              kTarget,
                              u"Invoice_2024-0412.pdf.exe",
                              u"Started process",
                              u"\"C:\\Users\\analyst\\Downloads\\Invoice_2024-0412.pdf.exe\"",
                              u"Investigation target / PID: 4242",
                              u"OK",
                              kRecorder};

} // namespace

TEST_CASE("registry paths are abbreviated as rules write them") {
    struct Case {
        const char16_t* kernel;
        const char* rule;
    };
    const Case cases[] = {
        {u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run",
         "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run"},
        {u"\\Registry\\Machine\\SYSTEM\\ControlSet001\\Services\\evil",
         "HKLM\\SYSTEM\\CurrentControlSet\\Services\\evil"},
        {u"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet002\\Control\\Lsa",
         "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Lsa"},
        {u"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet002", "HKLM\\SYSTEM\\CurrentControlSet"},
        // Only right under HKLM\SYSTEM, and only ControlSet00N itself.
        {u"\\REGISTRY\\MACHINE\\SOFTWARE\\ControlSet002\\x",
         "HKLM\\SOFTWARE\\ControlSet002\\x"},
        {u"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet002Backup\\x",
         "HKLM\\SYSTEM\\ControlSet002Backup\\x"},
        {u"\\REGISTRY\\USER\\S-1-5-21-3569520033-2400582853-1576653433-1001\\Software\\Run",
         "HKU\\S-1-5-21-3569520033-2400582853-1576653433-1001\\Software\\Run"},
        {u"\\REGISTRY\\USER\\S-1-5-21-1-2-3-1001_Classes\\CLSID\\{0}\\InprocServer32",
         "HKU\\S-1-5-21-1-2-3-1001_Classes\\CLSID\\{0}\\InprocServer32"},
        {u"\\REGISTRY\\MACHINE", "HKLM"},
        // Not a hive root: left as it is.
        {u"\\REGISTRY\\MACHINEX\\a", "\\REGISTRY\\MACHINEX\\a"},
        {u"...\\Software\\Run", "...\\Software\\Run"},
    };
    for (const Case& c : cases) {
        char16_t out[512];
        AbbreviateRegistryPath(c.kernel, out, 512);
        CHECK(U8(out) == c.rule);
    }
    char16_t small[6];
    AbbreviateRegistryPath(u"\\REGISTRY\\MACHINE\\SOFTWARE", small, 6);
    CHECK(U8(small) == "HKLM\\");
}

TEST_CASE("registry rows: category, TargetObject with the value name, EventType") {
    FedRows r;
    REQUIRE(r.Learn(kTargetStart) == kSigmaViewReady);
    struct Case {
        const char16_t* operation;
        const char16_t* path;
        const char16_t* detail;
        uint32_t categories;
        const char* target;
        const char* eventType;
    };
    const uint32_t ev = Bit(kSigmaRegistryEvent);
    const Case cases[] = {
        {u"Wrote registry value",
         u"\\REGISTRY\\USER\\S-1-5-21-1-2-3-1001\\Software\\Microsoft\\Windows\\CurrentVersion\\Run",
         u"Value: WindowsUpdateHelper", Bit(kSigmaRegistrySet) | ev,
         "HKU\\S-1-5-21-1-2-3-1001\\Software\\Microsoft\\Windows\\CurrentVersion\\Run\\"
         "WindowsUpdateHelper",
         "SetValue"},
        {u"Wrote registry value",
         u"\\REGISTRY\\USER\\S-1-5-21-1-2-3-1001_Classes\\CLSID\\{A}\\InprocServer32", u"",
         Bit(kSigmaRegistrySet) | ev,
         "HKU\\S-1-5-21-1-2-3-1001_Classes\\CLSID\\{A}\\InprocServer32\\(Default)", "SetValue"},
        {u"Deleted registry value", u"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet002\\Services\\x",
         u"Value: Start", Bit(kSigmaRegistryDelete) | ev,
         "HKLM\\SYSTEM\\CurrentControlSet\\Services\\x\\Start", "DeleteValue"},
        {u"Created registry key", u"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Services\\evil",
         u"", Bit(kSigmaRegistryAdd) | ev, "HKLM\\SYSTEM\\CurrentControlSet\\Services\\evil",
         "CreateKey"},
        {u"Deleted registry key", u"\\REGISTRY\\MACHINE\\SOFTWARE\\Evil", u"",
         Bit(kSigmaRegistryDelete) | ev, "HKLM\\SOFTWARE\\Evil", "DeleteKey"},
        {u"Created registry key", u"(key not identified)", u"", Bit(kSigmaRegistryAdd) | ev,
         "<unknown>", "CreateKey"},
        {u"Read registry value", u"\\REGISTRY\\MACHINE\\SOFTWARE\\x", u"Value: y", 0, "<absent>",
         "<absent>"},
        {u"Opened registry key", u"\\REGISTRY\\MACHINE\\SOFTWARE\\x", u"", 0, "<absent>",
         "<absent>"},
    };
    for (const Case& c : cases) {
        CAPTURE(U8(c.operation));
        const uint32_t outcome = r.Learn({kCategoryRegistry, kTarget, u"Invoice_2024-0412.pdf.exe",
                                          c.operation, c.path, c.detail, u"OK", 0});
        CHECK(outcome == (c.categories != 0 ? kSigmaViewReady : kSigmaViewNone));
        if (c.categories == 0) continue;
        CHECK(r.Categories() == c.categories);
        CHECK(r.F(kSigmaTargetObject) == c.target);
        CHECK(r.F(kSigmaEventType) == c.eventType);
        CHECK(r.F(kSigmaImage) == "C:\\Users\\analyst\\Downloads\\Invoice_2024-0412.pdf.exe");
        CHECK(r.F(kSigmaProcessId) == "4242");
    }
}

TEST_CASE("the examined program's start is matched at once with its full path") {
    FedRows r;
    SetSigmaRecorderImage(r.context.get(), u"C:\\Tools\\Olvetta.exe");
    REQUIRE(r.Learn(kTargetStart) == kSigmaViewReady);
    CHECK(r.Categories() == Bit(kSigmaProcessCreation));
    CHECK(r.F(kSigmaImage) == "C:\\Users\\analyst\\Downloads\\Invoice_2024-0412.pdf.exe");
    CHECK(r.F(kSigmaCommandLine) == "\"C:\\Users\\analyst\\Downloads\\Invoice_2024-0412.pdf.exe\"");
    CHECK(r.F(kSigmaProcessId) == "4242");
    CHECK(r.F(kSigmaParentProcessId) == "3120");
    CHECK(r.F(kSigmaParentImage) == "C:\\Tools\\Olvetta.exe");
    CHECK(r.F(kSigmaParentCommandLine) == "<absent>");
    CHECK(r.F(kSigmaCurrentDirectory) == "C:\\Users\\analyst\\Downloads\\");
    CHECK(r.Due().empty());

    // Without the recorder's path (a session that names none), ParentImage is not known; a reset
    // keeps that path.
    ResetSigmaViewContext(r.context.get());
    REQUIRE(r.Learn(kTargetStart) == kSigmaViewReady);
    CHECK(r.F(kSigmaParentImage) == "C:\\Tools\\Olvetta.exe");
    SetSigmaRecorderImage(r.context.get(), nullptr);
    REQUIRE(r.Learn(kTargetStart) == kSigmaViewReady);
    CHECK(r.F(kSigmaParentImage) == "<unknown>");
    // Who started the recorder is never recorded.
    CHECK(r.buffer->view.unknown == (SigmaFieldBit(kSigmaParentImage) |
                                     SigmaFieldBit(kSigmaGrandParentImage) | kStartFacts));
}

TEST_CASE("a child's start waits for its image path: the first image load of its name") {
    FedRows r;
    REQUIRE(r.Learn(kTargetStart) == kSigmaViewReady);
    const uint32_t deferred =
        r.Learn({kCategoryProcess, 4688, u"schtasks.exe", u"Started child process",
                 u"schtasks.exe /Create /F /SC ONLOGON /TN \"x\" /TR \"C:\\Temp\\a.exe\"",
                 u"Parent PID: 4242 / PID: 4688", u"OK", kTarget});
    CHECK(deferred == kSigmaViewDeferred);
    CHECK(r.Due().empty());
    // Another process's load and a DLL of another name change nothing.
    CHECK(r.Learn({kCategoryProcess, kTarget, u"Invoice_2024-0412.pdf.exe", u"Loaded DLL",
                   u"C:\\Windows\\System32\\schtasks.exe", u"", u"OK", 0}) == kSigmaViewReady);
    CHECK(r.Due().empty());
    CHECK(r.Learn({kCategoryProcess, 4688, u"schtasks.exe", u"Loaded DLL",
                   u"C:\\Windows\\System32\\ntdll.dll", u"", u"OK", 0}) == kSigmaViewReady);
    CHECK(r.Due().empty());
    CHECK(r.Learn({kCategoryProcess, 4688, u"schtasks.exe", u"Loaded DLL",
                   u"C:\\Windows\\System32\\SCHTASKS.EXE", u"Size: 236.0 KB", u"OK", 0}) ==
          kSigmaViewReady);
    CHECK(r.Categories() == Bit(kSigmaImageLoad));
    CHECK(r.F(kSigmaImageLoaded) == "C:\\Windows\\System32\\SCHTASKS.EXE");
    CHECK(r.F(kSigmaImage) == "C:\\Windows\\System32\\SCHTASKS.EXE");
    const std::vector<int32_t> due = r.Due();
    REQUIRE(due.size() == 1);
    CHECK(due[0] == 1);
    REQUIRE(r.StartView(due[0]));
    CHECK(r.Categories() == Bit(kSigmaProcessCreation));
    CHECK(r.F(kSigmaImage) == "C:\\Windows\\System32\\SCHTASKS.EXE");
    CHECK(r.F(kSigmaCommandLine).rfind("schtasks.exe /Create", 0) == 0);
    CHECK(r.F(kSigmaParentImage) == "C:\\Users\\analyst\\Downloads\\Invoice_2024-0412.pdf.exe");
    CHECK(r.F(kSigmaParentCommandLine) ==
          "\"C:\\Users\\analyst\\Downloads\\Invoice_2024-0412.pdf.exe\"");
    CHECK(r.F(kSigmaParentProcessId) == "4242");
    // Only the examined program's folder is known: the launcher chose it.
    CHECK(r.F(kSigmaCurrentDirectory) == "<unknown>");
    // The recording names no recorder here: the examined program's parent is not known.
    CHECK(r.F(kSigmaGrandParentImage) == "<unknown>");
    CHECK(r.buffer->view.unknown == (SigmaFieldBit(kSigmaCurrentDirectory) |
                                     SigmaFieldBit(kSigmaGrandParentImage) | kStartFacts));
    // Later loads of that name neither release nor change anything.
    r.Learn({kCategoryProcess, 4688, u"schtasks.exe", u"Loaded DLL", u"D:\\schtasks.exe", u"",
             u"OK", 0});
    CHECK(r.Due().empty());
    REQUIRE(r.StartView(1));
    CHECK(r.F(kSigmaImage) == "C:\\Windows\\System32\\SCHTASKS.EXE");
}

TEST_CASE("a deferred start becomes due at its process's end or at Stop, in row order") {
    FedRows r;
    REQUIRE(r.Learn(kTargetStart) == kSigmaViewReady);
    r.Learn({kCategoryProcess, 100, u"a.exe", u"Started child process", u"a.exe", u"", u"OK",
             kTarget});
    r.Learn({kCategoryProcess, 200, u"b.exe", u"Started child process", u"b.exe -x", u"", u"OK",
             kTarget});
    r.Learn({kCategoryProcess, 300, u"c.exe", u"Started child process", u"c.exe", u"", u"OK",
             kTarget});
    CHECK(r.Learn({kCategoryProcess, 200, u"b.exe", u"Process exited", u"", u"Exit code: 0",
                   u"OK", 0}) == kSigmaViewNone);
    CHECK(r.Due() == std::vector<int32_t>{2});
    REQUIRE(r.StartView(2));
    // No path was ever learned: the short name the row shows is no path, so Image is unknown.
    CHECK(r.F(kSigmaImage) == "<unknown>");
    CHECK(r.F(kSigmaCommandLine) == "b.exe -x");
    ReleaseDeferredSigmaRows(r.context.get());
    CHECK(r.Due() == std::vector<int32_t>{1, 3});
    ReleaseDeferredSigmaRows(r.context.get());
    CHECK(r.Due().empty());

    // A new start of a reused id makes the earlier process's row due first.
    r.Learn({kCategoryProcess, 100, u"d.exe", u"Started child process", u"d.exe", u"", u"OK",
             kTarget});
    r.Learn({kCategoryProcess, 100, u"e.exe", u"Started child process", u"e.exe", u"", u"OK",
             kTarget});
    CHECK(r.Due() == std::vector<int32_t>{5});
}

TEST_CASE("a command line's first token names the image when it is a full path of that name") {
    struct Case {
        const char16_t* process;
        const char16_t* line;
        bool ready;
        const char* image;
    };
    const Case cases[] = {
        {u"cmd.exe", u"\"C:\\Windows\\system32\\cmd.exe\" /c whoami", true,
         "C:\\Windows\\system32\\cmd.exe"},
        {u"cmd.exe", u"C:\\Windows\\system32\\cmd.exe /c whoami", true,
         "C:\\Windows\\system32\\cmd.exe"},
        {u"rundll32.exe", u"\\\\server\\share\\rundll32.exe x.dll,Run", true,
         "\\\\server\\share\\rundll32.exe"},
        // The kernel cuts long short names.
        {u"VeryLongProgram", u"\"C:\\x\\VeryLongProgramName.exe\"", true,
         "C:\\x\\VeryLongProgramName.exe"},
        // and narrow them to the 8-bit code page: '?' for a character outside it
        {u"?\?\?\?.exe", u"C:\\x\\\u0421\u0447\u0451\u0442.exe", true,
         "C:\\x\\\xd0\xa1\xd1\x87\xd1\x91\xd1\x82.exe"},
        {u"?\?\?.exe", u"C:\\x\\\u0421\u0447\u0451\u0442.exe", false, nullptr},
        {u"cmd.exe", u"cmd.exe /c whoami", false, nullptr},
        {u"cmd.exe", u"C:\\Windows\\system32\\cmd /c whoami", false, nullptr},
        {u"cmd.exe", u"\\SystemRoot\\System32\\cmd.exe", false, nullptr},
        {u"cmd.exe", u"\"C:\\Windows\\system32\\notcmd.exe\" /c", false, nullptr},
        {u"", u"C:\\x\\a.exe", false, nullptr},
    };
    for (const Case& c : cases) {
        CAPTURE(U8(c.line));
        FedRows r;
        const uint32_t outcome = r.Learn(
            {kCategoryProcess, 77, c.process, u"Started child process", c.line, u"", u"OK", 1});
        CHECK(outcome == (c.ready ? kSigmaViewReady : kSigmaViewDeferred));
        if (c.ready) CHECK(r.F(kSigmaImage) == c.image);
    }
}

TEST_CASE("file rows: created, first write by a process, renamed by path, link, delete") {
    FedRows r;
    REQUIRE(r.Learn(kTargetStart) == kSigmaViewReady);
    struct Case {
        uint32_t pid;
        const char16_t* operation;
        const char16_t* path;
        uint32_t categories;
    };
    const char16_t* dropped = u"C:\\Users\\analyst\\AppData\\Local\\Temp\\svchost32.exe";
    const Case cases[] = {
        {kTarget, u"Opened file", dropped, Bit(kSigmaFileAccess)},
        {kTarget, u"Wrote to file", dropped, Bit(kSigmaFileEvent)},
        {kTarget, u"Wrote to file", dropped, 0}, // the same file by the same process again
        {kTarget, u"Wrote to file", u"C:\\Users\\analyst\\AppData\\Local\\Temp\\other.exe",
         Bit(kSigmaFileEvent)},
        {9999, u"Wrote to file", dropped, Bit(kSigmaFileEvent)}, // another process
        {kTarget, u"Created new file", u"C:\\x\\new.txt", Bit(kSigmaFileEvent)},
        {kTarget, u"Created new file", u"C:\\x\\new.txt", Bit(kSigmaFileEvent)},
        {kTarget, u"Renamed file by path", u"C:\\x\\renamed.exe",
         Bit(kSigmaFileEvent) | Bit(kSigmaFileRename)},
        {kTarget, u"Created link", u"C:\\x\\link", Bit(kSigmaFileEvent)},
        {kTarget, u"Renamed file", u"C:\\x\\old-name.tmp", 0}, // the row names the old name
        {kTarget, u"Deleted file", u"C:\\x\\gone.txt", Bit(kSigmaFileDelete)},
        {kTarget, u"Deleted file by path", u"C:\\x\\gone2.txt", Bit(kSigmaFileDelete)},
        {kTarget, u"Created new file", u"(file not identified)", 0},
        {kTarget, u"Read file", u"(file not identified)", 0},
        {kTarget, u"Closed file", dropped, 0},
    };
    for (const Case& c : cases) {
        CAPTURE(U8(c.operation));
        CAPTURE(U8(c.path));
        const uint32_t outcome = r.Learn(
            {kCategoryFile, c.pid, u"Invoice_2024-0412.pdf.exe", c.operation, c.path, u"", u"OK", 0});
        CHECK(outcome == (c.categories != 0 ? kSigmaViewReady : kSigmaViewNone));
        if (c.categories == 0) continue;
        CHECK(r.Categories() == c.categories);
        CHECK(r.F(c.categories == Bit(kSigmaFileAccess) ? kSigmaFileName : kSigmaTargetFilename) ==
              U8(c.path));
        CHECK(r.F(kSigmaImage) == (c.pid == kTarget
                                       ? "C:\\Users\\analyst\\Downloads\\Invoice_2024-0412.pdf.exe"
                                       : "<unknown>"));
    }
}

TEST_CASE("network rows: once per endpoint pair, Initiated, host name from an earlier answer") {
    FedRows r;
    const uint32_t pid = 6840;
    r.Learn({kCategoryProcess, pid, u"ReportViewer.exe", u"Started child process",
             u"\"C:\\Apps\\ReportViewer.exe\"", u"", u"OK", 1});
    // The lookup and its answer, as the DNS decoder writes them.
    CHECK(r.Learn({kCategoryNetwork, pid, u"ReportViewer.exe", u"DNS query",
                   u"updates.contoso-reports.example", u"Type: A", u"...", 0}) == kSigmaViewReady);
    CHECK(r.Categories() == (Bit(kSigmaDnsQuery) | Bit(kSigmaDnsClient)));
    CHECK(r.F(kSigmaEventId) == "3006");
    CHECK(r.F(kSigmaQueryName) == "updates.contoso-reports.example");
    CHECK(r.F(kSigmaQueryResults) == "<absent>");
    CHECK(r.F(kSigmaQueryStatus) == "<absent>");
    CHECK(r.Learn({kCategoryNetwork, pid, u"ReportViewer.exe", u"DNS answer",
                   u"updates.contoso-reports.example",
                   u"A \u2192 cdn.contoso-reports.example, ::ffff:198.51.100.23", u"OK", 0}) ==
          kSigmaViewReady);
    CHECK(r.F(kSigmaQueryResults) == "cdn.contoso-reports.example, ::ffff:198.51.100.23");
    CHECK(r.F(kSigmaQueryStatus) == "0");
    CHECK(r.F(kSigmaEventId) == "3008");
    CHECK(r.F(kSigmaImage) == "C:\\Apps\\ReportViewer.exe");
    r.Learn({kCategoryNetwork, pid, u"ReportViewer.exe", u"DNS answer", u"v6.example",
             u"AAAA \u2192 2001:db8::5", u"OK", 0});
    r.Learn({kCategoryNetwork, pid, u"ReportViewer.exe", u"DNS answer", u"missing.example",
             u"Type: A", u"FAIL 9003", 0});
    CHECK(r.F(kSigmaQueryStatus) == "9003");
    CHECK(r.F(kSigmaQueryResults) == "");

    struct Case {
        const char16_t* operation;
        const char16_t* path;
        bool ready;
        const char* source = nullptr;
        const char* sourcePort = nullptr;
        const char* destination = nullptr;
        const char* destinationPort = nullptr;
        const char* protocol = nullptr;
        const char* initiated = nullptr;
        const char* host = nullptr;
    };
    const Case cases[] = {
        {u"Connected (TCP)", u"192.168.1.20:50112 -> 198.51.100.23:443", true, "192.168.1.20",
         "50112", "198.51.100.23", "443", "tcp", "true", "updates.contoso-reports.example"},
        {u"Sent data (TCP)", u"192.168.1.20:50112 -> 198.51.100.23:443", false},
        {u"Received data (TCP)", u"192.168.1.20:50112 -> 198.51.100.23:443", false},
        {u"Disconnected (TCP)", u"192.168.1.20:50113 -> 198.51.100.23:443", false},
        {u"Received data (TCP)", u"192.168.1.20:50113 -> 198.51.100.23:443", true, "192.168.1.20",
         "50113", "198.51.100.23", "443", "tcp", "false", "updates.contoso-reports.example"},
        {u"Accepted a connection (TCP)", u"192.168.1.20:3389 -> 203.0.113.9:61000", true,
         "192.168.1.20", "3389", "203.0.113.9", "61000", "tcp", "false", "<absent>"},
        {u"Sent data (UDP)", u"192.168.1.20:50112 -> 198.51.100.23:443", true, "192.168.1.20",
         "50112", "198.51.100.23", "443", "udp", "true", "updates.contoso-reports.example"},
        {u"Received data (UDP)", u"[fe80::1]:5353 -> [2001:db8::5]:53", true, "fe80::1", "5353",
         "2001:db8::5", "53", "udp", "false", "v6.example"},
        {u"Received data (UDP)", u"[fe80::1]:5353 -> [2001:db8::5]:53", false},
        {u"Connected (TCP)", u"garbage", false},
    };
    for (const Case& c : cases) {
        CAPTURE(U8(c.operation));
        CAPTURE(U8(c.path));
        const uint32_t outcome = r.Learn(
            {kCategoryNetwork, pid, u"ReportViewer.exe", c.operation, c.path, u"", u"OK", 0});
        CHECK(outcome == (c.ready ? kSigmaViewReady : kSigmaViewNone));
        if (!c.ready) continue;
        CHECK(r.Categories() == Bit(kSigmaNetworkConnection));
        CHECK(r.F(kSigmaSourceIp) == c.source);
        CHECK(r.F(kSigmaSourcePort) == c.sourcePort);
        CHECK(r.F(kSigmaDestinationIp) == c.destination);
        CHECK(r.F(kSigmaDestinationPort) == c.destinationPort);
        CHECK(r.F(kSigmaProtocol) == c.protocol);
        CHECK(r.F(kSigmaInitiated) == c.initiated);
        CHECK(r.F(kSigmaDestinationHostname) == c.host);
        CHECK(r.F(kSigmaImage) == "C:\\Apps\\ReportViewer.exe");
        CHECK(r.F(kSigmaProcessId) == "6840");
    }
    // Another process's traffic on the same pair is a connection of its own.
    CHECK(r.Learn({kCategoryNetwork, 7000, u"x.exe", u"Sent data (TCP)",
                   u"192.168.1.20:50112 -> 198.51.100.23:443", u"", u"OK", 0}) == kSigmaViewReady);
    // An answer recorded later does not name an earlier connection; the latest answer wins.
    ResetSigmaViewContext(r.context.get());
    r.Learn({kCategoryNetwork, pid, u"a", u"Connected (TCP)", u"10.0.0.1:1 -> 192.0.2.80:80", u"",
             u"OK", 0});
    CHECK(r.F(kSigmaDestinationHostname) == "<absent>");
    r.Learn({kCategoryNetwork, pid, u"a", u"DNS answer", u"first.example", u"A \u2192 192.0.2.80",
             u"OK", 0});
    r.Learn({kCategoryNetwork, pid, u"a", u"DNS answer", u"second.example",
             u"A \u2192 ::ffff:192.0.2.80", u"OK", 0});
    r.Learn({kCategoryNetwork, pid, u"a", u"Connected (TCP)", u"10.0.0.1:2 -> 192.0.2.80:80", u"",
             u"OK", 0});
    CHECK(r.F(kSigmaDestinationHostname) == "second.example");
}

TEST_CASE("rows of no category and changed rows") {
    FedRows r;
    REQUIRE(r.Learn(kTargetStart) == kSigmaViewReady);
    CHECK(r.Learn({kCategoryProcess, kTarget, u"x", u"Unloaded DLL", u"C:\\a.dll", u"", u"OK", 0}) ==
          kSigmaViewNone);
    CHECK(r.Categories() == 0);
    CHECK(r.Learn({7, kTarget, u"x", u"Wrote to file", u"C:\\a", u"", u"OK", 0}) == kSigmaViewNone);

    // A registry row named at the end of the trace is viewed again with its new path.
    r.Learn({kCategoryRegistry, kTarget, u"x", u"Created registry key", u"...\\Services\\evil",
             u"", u"OK", 0});
    CHECK(r.F(kSigmaTargetObject) == "...\\Services\\evil");
    CompactRow& row = r.rows.back();
    const uint32_t categories = r.Categories();
    const std::u16string named = u"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Services\\evil";
    REQUIRE(InternText(r.store.get(), named.data(), named.size(), &row.path));
    CHECK(SigmaViewOfChangedRow(r.context.get(), r.store.get(), row, categories, r.buffer.get()) ==
          kSigmaViewReady);
    CHECK(r.F(kSigmaTargetObject) == "HKLM\\SYSTEM\\CurrentControlSet\\Services\\evil");
    CHECK(SigmaViewOfChangedRow(r.context.get(), r.store.get(), row, 0, r.buffer.get()) ==
          kSigmaViewNone);
}

TEST_CASE("refused memory loses no row: counted, and the row is still viewed") {
    for (int64_t nth = 1; nth < 40; ++nth) {
        CAPTURE(nth);
        FedRows r;
        // Packed before: only the view's own memory is refused.
        const CompactRow rows[] = {
            r.Pack(kTargetStart),
            r.Pack({kCategoryFile, kTarget, u"x", u"Wrote to file", u"C:\\a", u"", u"OK", 0}),
            r.Pack({kCategoryNetwork, kTarget, u"x", u"DNS answer", u"h.example",
                    u"A \u2192 192.0.2.1", u"OK", 0}),
            r.Pack({kCategoryNetwork, kTarget, u"x", u"Connected (TCP)",
                    u"10.0.0.1:1 -> 192.0.2.1:80", u"", u"OK", 0}),
            r.Pack({kCategoryProcess, 5, u"b.exe", u"Started child process", u"b.exe", u"", u"OK",
                    kTarget})};
        r.rows.reserve(8);
        RefuseNthAllocation(nth);
        r.Learn(rows[0]);
        r.Learn(rows[1]);
        CHECK(r.Categories() == Bit(kSigmaFileEvent));
        r.Learn(rows[2]);
        r.Learn(rows[3]);
        CHECK(r.Categories() == Bit(kSigmaNetworkConnection));
        r.Learn(rows[4]);
        ReleaseDeferredSigmaRows(r.context.get());
        const bool pending = AllocationRefusalPending();
        ResetAllocationFaults();
        if (pending) break;
        const std::vector<int32_t> due = r.Due();
        CHECK((due == std::vector<int32_t>{4} || SigmaViewLosses(r.context.get()) > 0));
    }
}

// The view reads the row's texts from the store as the row's fields hold them: texts stored one
// byte a unit and two, at the longest a field holds, cut at the field when a damaged store holds a
// longer one or one with a zero unit, and an id the store does not have as the empty text.
TEST_CASE("the view reads the typed record's texts: wide, at their limits, cut") {
    const std::u16string longest = u"C:\\" + std::u16string(kPathChars - 6, u'd') + u".x";
    REQUIRE(longest.size() == kPathChars - 1);
    const std::u16string wide = u"C:\\Users\\\u0410\u043d\u044f\\\u6587\u4ef6.exe";
    const std::u16string latin = u"C:\\Users\\Ren\u00e9\\caf\u00e9.txt";
    for (const std::u16string& path : {longest, wide, latin}) {
        CAPTURE(U8(path.c_str()));
        FedRows r;
        REQUIRE(r.Learn({kCategoryFile, 9, u"w.exe", u"Created new file", path.c_str(), u"", u"OK",
                         0}) == kSigmaViewReady);
        CHECK(r.F(kSigmaTargetFilename) == U8(path.c_str()));
        // The same text as a command line whose first token names the process.
        const std::u16string process = path.substr(path.rfind(u'\\') + 1, kProcessChars - 1);
        const std::u16string line = u"\"" + path.substr(0, kPathChars - 3) + u"\"";
        REQUIRE(r.Learn({kCategoryProcess, 10, process.c_str(), u"Started child process",
                         line.c_str(), u"", u"OK", 9}) != kSigmaViewNone);
        if (process.size() < kProcessChars - 1 && path.size() < kPathChars - 3) {
            REQUIRE(r.Categories() == Bit(kSigmaProcessCreation));
            CHECK(r.F(kSigmaImage) == U8(path.c_str()));
            CHECK(r.F(kSigmaCommandLine) == U8(line.c_str()));
            CHECK(r.F(kSigmaParentProcessId) == "9");
        }
    }

    // DNS texts at their fields' limits: the query name, the answers and the status.
    FedRows dns;
    const std::u16string name = std::u16string(kPathChars - 9, u'n') + u".example";
    const std::u16string answers =
        u"A \u2192 " + std::u16string(kDetailChars - 5 - 8, u'9') + u".1.2.3.4";
    REQUIRE(answers.size() == kDetailChars - 1);
    REQUIRE(dns.Learn({kCategoryNetwork, 3, u"d.exe", u"DNS answer", name.c_str(),
                       answers.c_str(), u"FAIL 4294967295", 0}) == kSigmaViewReady);
    CHECK(dns.F(kSigmaQueryName) == U8(name.c_str()));
    CHECK(dns.F(kSigmaQueryResults) == U8(answers.substr(4).c_str()));
    CHECK(dns.F(kSigmaQueryStatus) == "4294967295");

    // A damaged store: a text longer than the field, one with a zero unit, an id it lacks.
    FedRows damaged;
    CompactRow row = damaged.Pack({kCategoryFile, 9, u"w.exe", u"Deleted file", u"C:\\x", u"",
                                   u"OK", 0});
    const std::u16string tooLong(kPathChars + 40, u'z');
    REQUIRE(InternText(damaged.store.get(), tooLong.data(), tooLong.size(), &row.path));
    REQUIRE(damaged.Learn(row) == kSigmaViewReady);
    CHECK(damaged.F(kSigmaTargetFilename) == std::string(kPathChars, 'z'));
    const std::u16string zero(u"C:\\a\0b", 6);
    REQUIRE(InternText(damaged.store.get(), zero.data(), zero.size(), &row.path));
    REQUIRE(damaged.Learn(row) == kSigmaViewReady);
    CHECK(damaged.F(kSigmaTargetFilename) == "C:\\a");
    row.path = TextCount(damaged.store.get()) + 5;
    REQUIRE(damaged.Learn(row) == kSigmaViewReady);
    CHECK(damaged.F(kSigmaTargetFilename) == "");
}

// A view is kept with its buffer while the store takes more rows (its pool grows and moves) and
// while another buffer views other rows: its texts are the buffer's, not the store's.
TEST_CASE("a view kept in its buffer outlives a growing store and other views") {
    FedRows r;
    REQUIRE(r.Learn(kTargetStart) == kSigmaViewReady);
    REQUIRE(r.Learn({kCategoryNetwork, kTarget, u"x", u"DNS answer", u"c2.example",
                     u"A \u2192 198.51.100.7", u"OK", 0}) == kSigmaViewReady);
    auto kept = std::make_unique<SigmaViewBuffer>();
    r.rows.push_back(r.Pack({kCategoryNetwork, kTarget, u"x", u"Connected (TCP)",
                             u"10.0.0.5:49712 -> 198.51.100.7:4444", u"", u"OK", 0}));
    REQUIRE(LearnSigmaRow(r.context.get(), r.store.get(), r.rows.back(),
                          static_cast<int32_t>(r.rows.size() - 1), kept.get()) == kSigmaViewReady);
    for (uint32_t i = 0; i < 4000; ++i) {
        char16_t path[64];
        FormatText(path, 64, u"C:\\Temp\\\u0444%u.tmp", i);
        r.Learn({kCategoryFile, kTarget, u"x", u"Created new file", path, u"", u"OK", 0});
    }
    CHECK(Field(*kept, kSigmaSourceIp) == "10.0.0.5");
    CHECK(Field(*kept, kSigmaDestinationPort) == "4444");
    CHECK(Field(*kept, kSigmaDestinationHostname) == "c2.example");
    CHECK(Field(*kept, kSigmaImage) == "C:\\Users\\analyst\\Downloads\\Invoice_2024-0412.pdf.exe");
    CHECK(r.F(kSigmaTargetFilename) == U8(u"C:\\Temp\\\u04443999.tmp"));
}

TEST_CASE("process ids of every digit count are the view's decimal text") {
    const uint32_t pids[] = {0, 7, 10, 99, 100, 4242, 65536, 1000000, 4294967295u};
    for (uint32_t pid : pids) {
        CAPTURE(pid);
        FedRows r;
        REQUIRE(r.Learn({kCategoryRegistry, pid, u"x.exe", u"Created registry key",
                         u"\\REGISTRY\\MACHINE\\SOFTWARE\\x", u"", u"OK", 0}) == kSigmaViewReady);
        CHECK(r.F(kSigmaProcessId) == std::to_string(pid));
    }
}

// Files written to and network pairs are viewed once each, over tables that grow many times, with
// keys that differ only in a digit or in the process or protocol; asking for a row's slot ahead
// (as the JSON Lines export does, here for rows not learned yet and rows already learned) changes
// none of it.
TEST_CASE("once per file written and per network pair, over growing tables and prefetches") {
    struct Kind {
        uint32_t category;
        const char16_t* operation;
        const char16_t* pathFormat;
    };
    const Kind kinds[] = {
        {kCategoryFile, u"Wrote to file", u"C:\\Temp\\drop%u.exe"},
        {kCategoryNetwork, u"Sent data (TCP)", u"10.0.0.1:%u -> 10.0.0.2:443"},
        {kCategoryNetwork, u"Sent data (UDP)", u"10.0.0.1:%u -> 10.0.0.2:443"},
    };
    FedRows r;
    constexpr uint32_t kKeys = 3000;
    for (int pass = 0; pass < 2; ++pass) {
        for (uint32_t i = 0; i < kKeys; ++i) {
            for (const Kind& k : kinds) {
                for (uint32_t pid : {4000u, 4004u}) {
                    char16_t path[64];
                    FormatText(path, 64, k.pathFormat, i);
                    const RowSpec spec{k.category, pid, u"x.exe", k.operation, path, u"", u"OK", 0};
                    PrefetchSigmaRow(r.context.get(), r.store.get(), r.Pack(spec));
                    const uint32_t outcome = r.Learn(spec);
                    PrefetchSigmaRow(r.context.get(), r.store.get(), r.rows.back());
                    if (outcome != (pass == 0 ? kSigmaViewReady : kSigmaViewNone)) {
                        FAIL_CHECK("pass " << pass << ", key " << i << ", pid " << pid << ", "
                                           << U8(k.operation) << ": outcome " << outcome);
                    }
                }
            }
        }
    }
    CHECK(SigmaViewLosses(r.context.get()) == 0);
}

TEST_CASE("a row is viewed by its kind: a look-alike operation text gives no view") {
    struct Case {
        uint32_t category;
        const char16_t* operation;
        const char16_t* path;
    };
    const Case viewed[] = {
        {kCategoryProcess, u"Loaded DLL", u"C:\\Windows\\System32\\user32.dll"},
        {kCategoryFile, u"Created new file", u"C:\\x\\new.txt"},
        {kCategoryFile, u"Wrote to file", u"C:\\x\\written.txt"},
        {kCategoryFile, u"Deleted file by path", u"C:\\x\\gone.txt"},
        {kCategoryRegistry, u"Wrote registry value", u"HKLM\\SOFTWARE\\x\\v"},
        {kCategoryRegistry, u"Deleted registry key", u"HKLM\\SOFTWARE\\x"},
        {kCategoryNetwork, u"Connected (TCP)", u"10.0.0.5:49712 -> 203.0.113.9:4444"},
        {kCategoryNetwork, u"Received data (UDP)", u"10.0.0.5:53 -> 203.0.113.9:5353"},
        {kCategoryNetwork, u"DNS query", u"example.org"},
    };
    for (const Case& c : viewed) {
        CAPTURE(U8(c.operation));
        const std::u16string text = c.operation;
        std::u16string lower = text;
        for (char16_t& ch : lower)
            ch = FoldAscii(ch);
        const std::u16string lookAlikes[] = {text + u" ", lower, u" " + text};
        for (const std::u16string& lookAlike : lookAlikes) {
            FedRows r;
            REQUIRE(r.Learn(kTargetStart) == kSigmaViewReady);
            CHECK(r.Learn({c.category, kTarget, u"x", lookAlike.c_str(), c.path, u"", u"OK", 0}) ==
                  kSigmaViewNone);
            CHECK(r.Categories() == 0);
            CHECK(SigmaKeyOfRow(r.store.get(), r.rows.back()).table == 0);
        }
        // In any other category the text is no kind either.
        for (uint32_t other = kCategoryFile; other <= kCategoryProcess; ++other) {
            if (other == c.category) continue;
            FedRows r;
            REQUIRE(r.Learn(kTargetStart) == kSigmaViewReady);
            CHECK(r.Learn({other, kTarget, u"x", c.operation, c.path, u"", u"OK", 0}) ==
                  kSigmaViewNone);
        }
        FedRows r;
        REQUIRE(r.Learn(kTargetStart) == kSigmaViewReady);
        CHECK(r.Learn({c.category, kTarget, u"x", c.operation, c.path, u"", u"OK", 0}) ==
              kSigmaViewReady);
    }
    // A start row: only the kind's own text in its own category starts a process.
    for (const char16_t* lookAlike : {u"Started process ", u"started process", u"Started Process"}) {
        FedRows r;
        RowSpec start = kTargetStart;
        start.operation = lookAlike;
        CHECK(r.Learn(start) == kSigmaViewNone);
        CHECK_FALSE(SigmaRowMayBeDeferred(r.rows.back()));
        CHECK_FALSE(r.StartView(0));
    }
    FedRows r;
    RowSpec start = kTargetStart;
    start.category = kCategoryFile;
    r.Learn(start);
    CHECK_FALSE(SigmaRowMayBeDeferred(r.rows.back()));
    CHECK_FALSE(r.StartView(0));
}

// --- The acting process's command line and family, and a rename's new name ---

namespace {

constexpr uint32_t kShell = 4688;
constexpr uint32_t kScript = 5012;
const char16_t* const kShellLine = u"\"C:\\Windows\\System32\\cmd.exe\" /c start payload";
const char16_t* const kScriptLine =
    u"C:\\Windows\\System32\\WindowsPowerShell\\v1.0\\powershell.exe -nop -enc SQBFAFgA";
const char* const kTargetImage = "C:\\Users\\analyst\\Downloads\\Invoice_2024-0412.pdf.exe";
const char* const kTargetLine = "\"C:\\Users\\analyst\\Downloads\\Invoice_2024-0412.pdf.exe\"";

// The examined program, its shell and the shell's script host, each start with a full path.
void LearnThreeGenerations(FedRows* r) {
    SetSigmaRecorderImage(r->context.get(), u"C:\\Tools\\Olvetta.exe");
    REQUIRE(r->Learn(kTargetStart) == kSigmaViewReady);
    REQUIRE(r->Learn({kCategoryProcess, kShell, u"cmd.exe", u"Started child process", kShellLine,
                      u"", u"OK", kTarget}) == kSigmaViewReady);
    REQUIRE(r->Learn({kCategoryProcess, kScript, u"powershell.exe", u"Started child process",
                      kScriptLine, u"", u"OK", kShell}) == kSigmaViewReady);
}

// A row of every category but the process start's, of one process.
std::vector<RowSpec> RowsOfEveryCategory(uint32_t pid, const char16_t* process) {
    return {
        {kCategoryProcess, pid, process, u"Loaded DLL", u"C:\\Windows\\System32\\amsi.dll", u"",
         u"OK", 0},
        {kCategoryFile, pid, process, u"Created new file", u"C:\\Temp\\a.ps1", u"", u"OK", 0},
        {kCategoryFile, pid, process, u"Deleted file", u"C:\\Temp\\b.ps1", u"", u"OK", 0},
        {kCategoryRegistry, pid, process, u"Wrote registry value",
         u"\\REGISTRY\\MACHINE\\SOFTWARE\\Run", u"Value: x", u"OK", 0},
        {kCategoryNetwork, pid, process, u"Connected (TCP)", u"10.0.0.5:49712 -> 203.0.113.9:443",
         u"", u"OK", 0},
        {kCategoryNetwork, pid, process, u"DNS query", u"c2.example", u"Type: A", u"...", 0},
    };
}

CompactRow At(CompactRow row, uint64_t timestamp) {
    row.timestamp = timestamp;
    return row;
}

struct Family {
    std::string commandLine, parentImage, parentCommandLine, grandParentImage;
};

void CheckFamilyOnEveryCategory(FedRows* r, uint32_t pid, const char16_t* process,
                                const Family& expected) {
    for (const RowSpec& spec : RowsOfEveryCategory(pid, process)) {
        CAPTURE(U8(spec.operation));
        REQUIRE(r->Learn(spec) == kSigmaViewReady);
        CHECK(r->F(kSigmaCommandLine) == expected.commandLine);
        CHECK(r->F(kSigmaParentImage) == expected.parentImage);
        CHECK(r->F(kSigmaParentCommandLine) == expected.parentCommandLine);
        CHECK(r->F(kSigmaGrandParentImage) == expected.grandParentImage);
        // The process start's own fields stay off other rows.
        CHECK(r->F(kSigmaCurrentDirectory) == "<absent>");
        CHECK(r->F(kSigmaParentProcessId) == "<absent>");
    }
}

} // namespace

TEST_CASE("every category's rows carry the acting process's command line and family") {
    FedRows r;
    LearnThreeGenerations(&r);
    // The start rows: the grandparent through the parent's parent, the recorder above the
    // examined program.
    REQUIRE(r.StartView(2));
    CHECK(r.F(kSigmaParentImage) == "C:\\Windows\\System32\\cmd.exe");
    CHECK(r.F(kSigmaParentCommandLine) == U8(kShellLine));
    CHECK(r.F(kSigmaGrandParentImage) == kTargetImage);
    REQUIRE(r.StartView(1));
    CHECK(r.F(kSigmaParentImage) == kTargetImage);
    CHECK(r.F(kSigmaGrandParentImage) == "C:\\Tools\\Olvetta.exe");
    REQUIRE(r.StartView(0));
    CHECK(r.F(kSigmaGrandParentImage) == "<unknown>");

    CheckFamilyOnEveryCategory(&r, kScript, u"powershell.exe",
                               {U8(kScriptLine), "C:\\Windows\\System32\\cmd.exe", U8(kShellLine),
                                kTargetImage});
    CheckFamilyOnEveryCategory(&r, kShell, u"cmd.exe",
                               {U8(kShellLine), kTargetImage, kTargetLine, "C:\\Tools\\Olvetta.exe"});
    // The examined program: its parent is the recorder, whose command line says nothing (absent)
    // and whose own parent is not recorded.
    CheckFamilyOnEveryCategory(&r, kTarget, u"Invoice_2024-0412.pdf.exe",
                               {kTargetLine, "C:\\Tools\\Olvetta.exe", "<absent>", "<unknown>"});
}

TEST_CASE("a process whose start was not seen has an unknown family, never a guessed one") {
    FedRows r;
    LearnThreeGenerations(&r);
    // Running before the recording: its image is learned from its load, its family is not, even
    // though its rows' parent id names a process the recording knows.
    REQUIRE(r.Learn({kCategoryProcess, 900, u"svchost.exe", u"Loaded DLL",
                     u"C:\\Windows\\System32\\svchost.exe", u"", u"OK", kTarget}) ==
            kSigmaViewReady);
    CHECK(r.F(kSigmaImage) == "C:\\Windows\\System32\\svchost.exe");
    CheckFamilyOnEveryCategory(&r, 900, u"svchost.exe",
                               {"<unknown>", "<unknown>", "<unknown>", "<unknown>"});
    CheckFamilyOnEveryCategory(&r, 901, u"", {"<unknown>", "<unknown>", "<unknown>", "<unknown>"});

    // A child of that process: its own command line is known, its parent's image too (learned
    // from the load), but not the parent's command line nor the grandparent.
    REQUIRE(r.Learn({kCategoryProcess, 910, u"rundll32.exe", u"Started child process",
                     u"C:\\Windows\\System32\\rundll32.exe", u"", u"OK", 900}) == kSigmaViewReady);
    CHECK(r.F(kSigmaParentImage) == "C:\\Windows\\System32\\svchost.exe");
    CHECK(r.F(kSigmaParentCommandLine) == "<unknown>");
    CHECK(r.F(kSigmaGrandParentImage) == "<unknown>");
    // A rundll32 with no arguments: the command line is known and empty of them, not unknown.
    CheckFamilyOnEveryCategory(&r, 910, u"rundll32.exe",
                               {"C:\\Windows\\System32\\rundll32.exe",
                                "C:\\Windows\\System32\\svchost.exe", "<unknown>", "<unknown>"});
    // A child of a parent the recording never saw.
    REQUIRE(r.Learn({kCategoryProcess, 920, u"a.exe", u"Started child process", u"C:\\a.exe -x",
                     u"", u"OK", 12345}) == kSigmaViewReady);
    CheckFamilyOnEveryCategory(&r, 920, u"a.exe",
                               {"C:\\a.exe -x", "<unknown>", "<unknown>", "<unknown>"});
}

TEST_CASE("a reused process id names a new process: family kept, never taken from the new one") {
    FedRows r;
    LearnThreeGenerations(&r);
    // The shell exits; its id is taken by a new process the examined program starts.
    r.Learn(At(r.Pack({kCategoryProcess, kShell, u"cmd.exe", u"Process exited", u"",
                       u"Exit code: 0", u"OK", 0}),
               2000));
    // A start made before the exit, delivered after it, is still the shell's child.
    REQUIRE(r.Learn(At(r.Pack({kCategoryProcess, 931, u"f.exe", u"Started child process",
                               u"C:\\f.exe", u"", u"OK", kShell}),
                       1999)) == kSigmaViewReady);
    CHECK(r.F(kSigmaParentImage) == "C:\\Windows\\System32\\cmd.exe");
    // A start after the exit naming the exited id as its parent: the real parent is a process
    // the recording did not see start under that id.
    REQUIRE(r.Learn(At(r.Pack({kCategoryProcess, 930, u"b.exe", u"Started child process",
                               u"C:\\b.exe", u"", u"OK", kShell}),
                       2001)) == kSigmaViewReady);
    CHECK(r.F(kSigmaParentImage) == "<unknown>");
    CHECK(r.F(kSigmaParentCommandLine) == "<unknown>");
    CHECK(r.F(kSigmaGrandParentImage) == "<unknown>");
    REQUIRE(r.Learn({kCategoryProcess, kShell, u"notepad.exe", u"Started child process",
                     u"C:\\Windows\\notepad.exe x.txt", u"", u"OK", kTarget}) == kSigmaViewReady);
    // The script host keeps the shell it was started by.
    CheckFamilyOnEveryCategory(&r, kScript, u"powershell.exe",
                               {U8(kScriptLine), "C:\\Windows\\System32\\cmd.exe", U8(kShellLine),
                                kTargetImage});
    // A child of the new process is the new process's.
    REQUIRE(r.Learn({kCategoryProcess, 940, u"c.exe", u"Started child process", u"C:\\c.exe",
                     u"", u"OK", kShell}) == kSigmaViewReady);
    CHECK(r.F(kSigmaParentImage) == "C:\\Windows\\notepad.exe");
    CHECK(r.F(kSigmaParentCommandLine) == "C:\\Windows\\notepad.exe x.txt");
    CHECK(r.F(kSigmaGrandParentImage) == kTargetImage);
    // The new process itself: a fresh family, not the exited shell's.
    CheckFamilyOnEveryCategory(&r, kShell, u"notepad.exe",
                               {"C:\\Windows\\notepad.exe x.txt", kTargetImage, kTargetLine,
                                "C:\\Tools\\Olvetta.exe"});
}

TEST_CASE("a parent's image learned after its child started reaches the child's rows") {
    FedRows r;
    LearnThreeGenerations(&r);
    // The start names no full path: the image comes from the first load of that name.
    REQUIRE(r.Learn({kCategoryProcess, 950, u"q.exe", u"Started child process", u"q.exe /s", u"",
                     u"OK", kTarget}) == kSigmaViewDeferred);
    REQUIRE(r.Learn({kCategoryProcess, 951, u"w.exe", u"Started child process", u"C:\\w.exe", u"",
                     u"OK", 950}) == kSigmaViewReady);
    CHECK(r.F(kSigmaParentImage) == "<unknown>");
    CHECK(r.F(kSigmaParentCommandLine) == "q.exe /s");
    r.Learn({kCategoryProcess, 950, u"q.exe", u"Loaded DLL", u"C:\\Tools\\q.exe", u"", u"OK", 0});
    CheckFamilyOnEveryCategory(&r, 951, u"w.exe",
                               {"C:\\w.exe", "C:\\Tools\\q.exe", "q.exe /s", kTargetImage});
    // A grandchild takes the grandparent through the parent's parent.
    REQUIRE(r.Learn({kCategoryProcess, 952, u"e.exe", u"Started child process", u"C:\\e.exe", u"",
                     u"OK", 951}) == kSigmaViewReady);
    CHECK(r.F(kSigmaGrandParentImage) == "C:\\Tools\\q.exe");
    // Once the id is another process's, what was not learned in time stays unknown.
    REQUIRE(r.Learn({kCategoryProcess, 960, u"z.exe", u"Started child process", u"z.exe", u"",
                     u"OK", kTarget}) == kSigmaViewDeferred);
    REQUIRE(r.Learn({kCategoryProcess, 961, u"y.exe", u"Started child process", u"C:\\y.exe", u"",
                     u"OK", 960}) == kSigmaViewReady);
    r.Learn({kCategoryProcess, 960, u"z.exe", u"Process exited", u"", u"", u"OK", 0});
    r.Learn({kCategoryProcess, 960, u"v.exe", u"Started child process", u"C:\\v.exe", u"", u"OK",
             kTarget});
    CheckFamilyOnEveryCategory(&r, 961, u"y.exe",
                               {"C:\\y.exe", "<unknown>", "z.exe", kTargetImage});
}

TEST_CASE("command lines at their limits are given whole on the rows of the child and grandchild") {
    FedRows r;
    LearnThreeGenerations(&r);
    const std::u16string line =
        u"C:\\x\\big.exe " + std::u16string(kPathChars - 1 - 13, u'\u0436');
    REQUIRE(line.size() == kPathChars - 1);
    REQUIRE(r.Learn({kCategoryProcess, 970, u"big.exe", u"Started child process", line.c_str(),
                     u"", u"OK", kScript}) == kSigmaViewReady);
    REQUIRE(r.Learn({kCategoryProcess, 971, u"small.exe", u"Started child process",
                     u"C:\\small.exe", u"", u"OK", 970}) == kSigmaViewReady);
    CHECK(r.F(kSigmaParentCommandLine) == U8(line.c_str()));
    CheckFamilyOnEveryCategory(&r, 970, u"big.exe",
                               {U8(line.c_str()), "C:\\Windows\\System32\\WindowsPowerShell\\v1.0\\"
                                                  "powershell.exe",
                                U8(kScriptLine), "C:\\Windows\\System32\\cmd.exe"});
    CheckFamilyOnEveryCategory(&r, 971, u"small.exe",
                               {"C:\\small.exe", "C:\\x\\big.exe", U8(line.c_str()),
                                "C:\\Windows\\System32\\WindowsPowerShell\\v1.0\\powershell.exe"});
    // The view's own text buffer is not used for them.
    CHECK(r.buffer->used < 64);
}

TEST_CASE("a rename by path gives the new name; other file rows have none") {
    FedRows r;
    LearnThreeGenerations(&r);
    REQUIRE(r.Learn({kCategoryFile, kScript, u"powershell.exe", u"Renamed file by path",
                     u"C:\\Users\\a\\Documents\\report.docx.locked", u"", u"OK", 0}) ==
            kSigmaViewReady);
    CHECK(r.Categories() == (Bit(kSigmaFileEvent) | Bit(kSigmaFileRename)));
    CHECK(r.F(kSigmaNewName) == "C:\\Users\\a\\Documents\\report.docx.locked");
    CHECK(r.F(kSigmaTargetFilename) == "C:\\Users\\a\\Documents\\report.docx.locked");
    CHECK(r.F(kSigmaSourceFilename) == "<unknown>"); // no rename row of the thread came first
    // Viewed again (as a changed row), the same.
    CHECK(SigmaViewOfChangedRow(r.context.get(), r.store.get(), r.rows.back(),
                                Bit(kSigmaFileEvent), r.buffer.get()) == kSigmaViewReady);
    CHECK(r.Categories() == Bit(kSigmaFileEvent));
    CHECK(r.F(kSigmaNewName) == "C:\\Users\\a\\Documents\\report.docx.locked");
    CHECK(r.F(kSigmaParentImage) == "C:\\Windows\\System32\\cmd.exe");
    for (const char16_t* operation : {u"Created new file", u"Wrote to file", u"Created link"}) {
        CAPTURE(U8(operation));
        REQUIRE(r.Learn({kCategoryFile, kScript, u"powershell.exe", operation, u"C:\\Temp\\n.exe",
                         u"", u"OK", 0}) == kSigmaViewReady);
        CHECK(r.F(kSigmaNewName) == "<absent>");
    }
    // The row of the rename's file object names the old name: no view, no new name.
    CHECK(r.Learn({kCategoryFile, kScript, u"powershell.exe", u"Renamed file",
                   u"C:\\Users\\a\\Documents\\report.docx", u"", u"OK", 0}) == kSigmaViewNone);
}

TEST_CASE("rules on the family fire on known fields and are only possible on unknown ones") {
    const std::string rule = R"(title: written by a child of a shell
id: 00000000-0000-4000-8000-0c0e000000a1
level: high
logsource:
    product: windows
    category: file_event
detection:
    selection:
        TargetFilename|endswith: '.ps1'
        ParentImage|endswith: '\cmd.exe'
        GrandParentImage|endswith: '.pdf.exe'
    filter_main_path:
        TargetFilename|contains: '\Windows\'
    condition: selection and not filter_main_path
)";
    sigma_test::OneRule one(rule);
    REQUIRE(one.loaded);
    FedRows r;
    LearnThreeGenerations(&r);
    struct Case {
        uint32_t pid;
        const char16_t* path;
        int32_t matched;  // 1: fires, 0: not
        int32_t possible; // 1: undecided on an unknown field
    };
    r.Learn({kCategoryProcess, 990, u"svchost.exe", u"Loaded DLL",
             u"C:\\Windows\\System32\\svchost.exe", u"", u"OK", 0});
    const Case cases[] = {
        {kScript, u"C:\\Temp\\a.ps1", 1, 0}, // parent cmd.exe, grandparent the examined program
        {kScript, u"C:\\Temp\\a.txt", 0, 0}, // near miss: another file
        {kShell, u"C:\\Temp\\a.ps1", 0, 0},  // near miss: the parent is the examined program
        {990, u"C:\\Temp\\a.ps1", 0, 1},     // start not seen: possible, not a match
        {990, u"C:\\Windows\\a.ps1", 0, 0},  // and decided by a known filter
    };
    for (const Case& c : cases) {
        CAPTURE(c.pid);
        REQUIRE(r.Learn({kCategoryFile, c.pid, u"x.exe", u"Created new file", c.path, u"", u"OK",
                         0}) == kSigmaViewReady);
        int32_t matched[2];
        SigmaPossibleMatch possible[2];
        int32_t possibleCount = 0;
        CHECK(MatchSigmaRulesWithPossible(one.set, &r.buffer->view, matched, 2, possible, 2,
                                          &possibleCount) == c.matched);
        CHECK(possibleCount == c.possible);
        if (possibleCount == 1) {
            CHECK(possible[0].unknownFields ==
                  (SigmaFieldBit(kSigmaParentImage) | SigmaFieldBit(kSigmaGrandParentImage)));
        }
    }
}

TEST_CASE("a held start whose id a new process took is viewed as its own process's") {
    FedRows r;
    LearnThreeGenerations(&r);
    // Started by the shell, its path never learned; its exit is not recorded.
    REQUIRE(r.Learn({kCategoryProcess, 980, u"d.exe", u"Started child process", u"d.exe -old",
                     u"", u"OK", kShell}) == kSigmaViewDeferred);
    // A new process under that id, started by the examined program with a full path.
    REQUIRE(r.Learn({kCategoryProcess, 980, u"e.exe", u"Started child process", u"C:\\e.exe",
                     u"", u"OK", kTarget}) == kSigmaViewReady);
    CHECK(r.F(kSigmaImage) == "C:\\e.exe");
    REQUIRE(r.Due() == std::vector<int32_t>{3});
    REQUIRE(r.StartView(3));
    CHECK(r.F(kSigmaCommandLine) == "d.exe -old");
    CHECK(r.F(kSigmaImage) == "<unknown>");
    CHECK(r.F(kSigmaParentImage) == "C:\\Windows\\System32\\cmd.exe");
    CHECK(r.F(kSigmaParentCommandLine) == U8(kShellLine));
    CHECK(r.F(kSigmaGrandParentImage) == kTargetImage);
    // The new process's own start row is still the new process's.
    REQUIRE(r.StartView(4));
    CHECK(r.F(kSigmaImage) == "C:\\e.exe");
    CHECK(r.F(kSigmaParentImage) == kTargetImage);
    // Viewed once: the kept entry is gone, and the row is then no process's known.
    REQUIRE(r.StartView(3));
    CHECK(r.F(kSigmaImage) == "<unknown>");
    CHECK(r.F(kSigmaParentImage) == "<unknown>");
    CHECK(SigmaViewLosses(r.context.get()) == 0);
}

} // namespace olv

namespace olv {

namespace {

// A facts record of the row's layout in the fed store: facts as (fact, text), nullptr unknown.
void GiveFacts(FedRows& r, CompactRow* row,
               std::initializer_list<std::pair<RowFact, const char16_t*>> facts) {
    RowFacts record{};
    record.layout = FactsLayoutOfKind(KindOf(*row));
    for (const auto& [fact, text] : facts) {
        if (text == nullptr) continue;
        record.known |= 1u << fact;
        REQUIRE(InternText(r.store.get(), text, std::u16string(text).size(), &record.text[fact]));
    }
    REQUIRE(InternFacts(r.store.get(), record, &row->facts));
}

} // namespace

TEST_CASE("fact fields come from the row's facts record: known, empty, or unknown, never guessed") {
    FedRows r;
    const RowSpec load{kCategoryProcess, 900, u"a.exe", u"Loaded DLL",
                       u"C:\\Windows\\System32\\dbghelp.dll", u"", u"OK", 0};
    // No record: every fact of an image load is unknown; the export lists none of them.
    REQUIRE(r.Learn(load) == kSigmaViewReady);
    CHECK(r.F(kSigmaSigned) == "<unknown>");
    CHECK(r.F(kSigmaHashes) == "<unknown>");
    CHECK(r.F(kSigmaUser) == "<absent>"); // not an image load's fact
    CHECK((ListedUnknownFields(*r.buffer) & kSigmaFactFields) == 0);

    CompactRow row = r.Pack(load);
    GiveFacts(r, &row, {{kFactSigned, u"false"}, {kFactSignature, u""},
                        {kFactOriginalFileName, u"dbghelp.dll"}});
    REQUIRE(r.Learn(row) == kSigmaViewReady);
    CHECK(r.F(kSigmaSigned) == "false");
    CHECK(r.F(kSigmaSignature) == ""); // known and empty
    CHECK(r.F(kSigmaOriginalFileName) == "dbghelp.dll");
    CHECK(r.F(kSigmaSignatureStatus) == "<unknown>");
    CHECK(r.F(kSigmaImageLoaded) == "C:\\Windows\\System32\\dbghelp.dll");
    CHECK((ListedUnknownFields(*r.buffer) & SigmaFieldBit(kSigmaSignatureStatus)) != 0);

    // A value write's Details; a key creation has none (absent, not unknown).
    const RowSpec write{kCategoryRegistry, 900, u"a.exe", u"Wrote registry value",
                        u"\\REGISTRY\\MACHINE\\SOFTWARE\\X", u"Value: Run", u"OK", 0};
    CompactRow value = r.Pack(write);
    GiveFacts(r, &value, {{kFactDetails, u"DWORD (0x00000001)"}});
    REQUIRE(r.Learn(value) == kSigmaViewReady);
    CHECK(r.F(kSigmaDetails) == "DWORD (0x00000001)");
    CHECK(r.F(kSigmaTargetObject) == "HKLM\\SOFTWARE\\X\\Run");
    REQUIRE(r.Learn({kCategoryRegistry, 900, u"a.exe", u"Created registry key",
                     u"\\REGISTRY\\MACHINE\\SOFTWARE\\Y", u"", u"OK", 0}) == kSigmaViewReady);
    CHECK(r.F(kSigmaDetails) == "<absent>");
    CHECK((r.buffer->view.unknown & kSigmaFactFields) == 0);

    // A process start: its image's facts and its token's, also when it is viewed late (held for
    // its image path). Texts at the limit of a fact come whole.
    const std::u16string longest(kFactChars - 1, u'v');
    CompactRow start = r.Pack({kCategoryProcess, 901, u"b.exe", u"Started child process",
                               u"b.exe /x", u"", u"OK", 900});
    GiveFacts(r, &start, {{kFactUser, u"VM\\analyst"}, {kFactIntegrityLevel, u"Medium"},
                          {kFactDescription, longest.c_str()}});
    REQUIRE(r.Learn(start) == kSigmaViewDeferred);
    REQUIRE(r.Learn({kCategoryProcess, 901, u"b.exe", u"Process exited", u"", u"", u"OK", 0}) ==
            kSigmaViewNone);
    const std::vector<int32_t> due = r.Due();
    REQUIRE(due.size() == 1);
    REQUIRE(r.StartView(due[0]));
    CHECK(r.F(kSigmaUser) == "VM\\analyst");
    CHECK(r.F(kSigmaIntegrityLevel) == "Medium");
    CHECK(r.F(kSigmaDescription) == std::string(kFactChars - 1, 'v'));
    CHECK(r.F(kSigmaParentUser) == "<unknown>");
    CHECK(r.F(kSigmaHashes) == "<unknown>");
}

} // namespace olv

namespace olv {

TEST_CASE("pipe, stream, whole-disk and rename rows: their own categories and fields") {
    FedRows r;
    REQUIRE(r.Learn(kTargetStart) == kSigmaViewReady);
    const auto file = [&](const char16_t* operation, const char16_t* path,
                          const char16_t* detail = u"") {
        return r.Learn({kCategoryFile, kTarget, u"Invoice_2024-0412.pdf.exe", operation, path,
                        detail, u"OK", 0});
    };
    const std::string image = "C:\\Users\\analyst\\Downloads\\Invoice_2024-0412.pdf.exe";

    SUBCASE("pipes: the name without the device, created or connected to") {
        REQUIRE(file(u"Created pipe", u"\\\\.\\pipe\\msagent_81") == kSigmaViewReady);
        CHECK(r.Categories() == Bit(kSigmaPipeCreated));
        CHECK(r.F(kSigmaPipeName) == "\\msagent_81");
        CHECK(r.F(kSigmaEventType) == "CreatePipe");
        CHECK(r.F(kSigmaImage) == image);
        REQUIRE(file(u"Connected to pipe", u"\\\\.\\pipe\\Winsock2\\Catalog") == kSigmaViewReady);
        CHECK(r.F(kSigmaPipeName) == "\\Winsock2\\Catalog");
        CHECK(r.F(kSigmaEventType) == "ConnectPipe");
        // The bare device names no pipe.
        CHECK(file(u"Connected to pipe", u"\\\\.\\pipe") == kSigmaViewNone);
        CHECK(file(u"Connected to pipe", u"\\\\.\\pipeline\\x") == kSigmaViewNone);
    }
    SUBCASE("streams: once per stream and process, a file event too, facts unknown without a "
            "record") {
        REQUIRE(file(u"Wrote alternate data stream", u"C:\\x\\setup.exe:Zone.Identifier",
                     u"Stream: Zone.Identifier") == kSigmaViewReady);
        CHECK(r.Categories() == (Bit(kSigmaCreateStreamHash) | Bit(kSigmaFileEvent)));
        CHECK(r.F(kSigmaTargetFilename) == "C:\\x\\setup.exe:Zone.Identifier");
        CHECK(r.F(kSigmaHash) == "<unknown>");
        CHECK(r.F(kSigmaContents) == "<unknown>");
        CHECK(r.buffer->facts.present == 0);
        CHECK(file(u"Wrote alternate data stream", u"C:\\x\\setup.exe:Zone.Identifier",
                   u"Stream: Zone.Identifier, 26 bytes") == kSigmaViewNone);
        // Viewed again when its facts come: the same categories and fields.
        CHECK(SigmaViewOfChangedRow(r.context.get(), r.store.get(), r.rows[1],
                                    Bit(kSigmaCreateStreamHash) | Bit(kSigmaFileEvent),
                                    r.buffer.get()) == kSigmaViewReady);
        CHECK(r.Categories() == (Bit(kSigmaCreateStreamHash) | Bit(kSigmaFileEvent)));
        CHECK(r.F(kSigmaTargetFilename) == "C:\\x\\setup.exe:Zone.Identifier");
        CHECK(r.F(kSigmaHash) == "<unknown>");
    }
    SUBCASE("whole disks: the device as the row names it") {
        REQUIRE(file(u"Opened disk for raw access", u"\\Device\\HarddiskVolume3") ==
                kSigmaViewReady);
        CHECK(r.Categories() == Bit(kSigmaRawAccessThread));
        CHECK(r.F(kSigmaDevice) == "\\Device\\HarddiskVolume3");
        CHECK(r.F(kSigmaImage) == image);
        CHECK(SigmaViewOfChangedRow(r.context.get(), r.store.get(), r.rows[1],
                                    Bit(kSigmaRawAccessThread), r.buffer.get()) ==
              kSigmaViewReady);
        CHECK(r.F(kSigmaDevice) == "\\Device\\HarddiskVolume3");
    }
    SUBCASE("renames: the old name from the same thread's rename row just before") {
        const auto threadRow = [&](const char16_t* operation, const char16_t* path,
                                   uint32_t thread) {
            CompactRow row = r.Pack({kCategoryFile, kTarget, u"Invoice_2024-0412.pdf.exe",
                                     operation, path, u"", u"OK", 0});
            row.threadId = thread;
            r.rows.push_back(row);
            return r.Learn(r.rows.back());
        };
        CHECK(threadRow(u"Renamed file", u"C:\\x\\report.docx", 7) == kSigmaViewNone);
        REQUIRE(threadRow(u"Renamed file by path", u"C:\\x\\report.docx.locked", 7) ==
                kSigmaViewReady);
        CHECK(r.Categories() == (Bit(kSigmaFileEvent) | Bit(kSigmaFileRename)));
        CHECK(r.F(kSigmaSourceFilename) == "C:\\x\\report.docx");
        CHECK(r.F(kSigmaTargetFilename) == "C:\\x\\report.docx.locked");
        // Used once: a second new name of the thread has no old name of its own.
        REQUIRE(threadRow(u"Renamed file by path", u"C:\\x\\b.locked", 7) == kSigmaViewReady);
        CHECK(r.F(kSigmaSourceFilename) == "<unknown>");
        // Another thread's rename is not this one's.
        threadRow(u"Renamed file", u"C:\\x\\c.docx", 8);
        REQUIRE(threadRow(u"Renamed file by path", u"C:\\x\\c.locked", 9) == kSigmaViewReady);
        CHECK(r.F(kSigmaSourceFilename) == "<unknown>");
    }
}

TEST_CASE("script rows: the block's text and file, module output's payload and context") {
    FedRows r;
    REQUIRE(r.Learn(kTargetStart) == kSigmaViewReady);
    REQUIRE(r.Learn({kCategoryProcess, kTarget, u"x", u"Ran script block",
                     u"IEX $a\n# \u2014 from fake.ps1",
                     u"IEX $a \u2014 22 characters \u2014 from C:\\t\\run.ps1 \u2014 block {1-2}",
                     u"OK", 0}) == kSigmaViewReady);
    CHECK(r.Categories() == Bit(kSigmaPsScript));
    CHECK(r.F(kSigmaScriptBlockText) == "IEX $a\n# \u2014 from fake.ps1");
    CHECK(r.F(kSigmaPath) == "C:\\t\\run.ps1");
    CHECK(r.F(kSigmaImage) == "<absent>");

    // No file: Path is present and empty, never the first line's look-alike of the marker.
    REQUIRE(r.Learn({kCategoryProcess, kTarget, u"x", u"Ran script block", u"$x",
                     u"$x \u2014 2 characters", u"OK", 0}) == kSigmaViewReady);
    CHECK(r.F(kSigmaPath) == "");
    REQUIRE(r.Learn({kCategoryProcess, kTarget, u"x", u"Ran script block", u"a",
                     u"a \u2014 from b \u2014 1 characters \u2014 from C:\\s.ps1", u"OK", 0}) ==
            kSigmaViewReady);
    CHECK(r.F(kSigmaPath) == "C:\\s.ps1");

    REQUIRE(r.Learn({kCategoryProcess, kTarget, u"x", u"Logged module output",
                     u"CommandInvocation(Get-Date): \"Get-Date\"",
                     u"Command Name = Get-Date; Command Type = Cmdlet", u"OK", 0}) ==
            kSigmaViewReady);
    CHECK(r.Categories() == Bit(kSigmaPsModule));
    CHECK(r.F(kSigmaPayload) == "CommandInvocation(Get-Date): \"Get-Date\"");
    CHECK(r.F(kSigmaContextInfo) == "Command Name = Get-Date; Command Type = Cmdlet");
    CHECK(r.F(kSigmaScriptBlockText) == "<absent>");

    // Scanned content belongs to no category.
    CHECK(r.Learn({kCategoryProcess, kTarget, u"x", u"Scanned content", u"IEX", u"app", u"Clean",
                   0}) == kSigmaViewNone);
}

TEST_CASE("opens of other processes: images of both sides, the mask; thread and refused opens "
          "are none") {
    FedRows r;
    REQUIRE(r.Learn(kTargetStart) == kSigmaViewReady);
    const std::string image = "C:\\Users\\analyst\\Downloads\\Invoice_2024-0412.pdf.exe";
    // A child whose image the recording learned, opened by the sample.
    constexpr uint32_t kChild = 5000;
    r.Learn({kCategoryProcess, kChild, u"notepad.exe", u"Started child process",
             u"C:\\Windows\\notepad.exe", u"Parent PID: 4242 / PID: 5000", u"OK", kTarget});
    const auto open = [&](const char16_t* path, const char16_t* detail, const char16_t* result) {
        return r.Learn({kCategoryProcess, kTarget, u"x", u"Opened process", path, detail, result,
                        0});
    };
    REQUIRE(open(u"notepad.exe", u"Target PID: 5000 / Access: 0x1fffff (all access)", u"OK") ==
            kSigmaViewReady);
    CHECK(r.Categories() == Bit(kSigmaProcessAccess));
    CHECK(r.F(kSigmaSourceImage) == image);
    CHECK(r.F(kSigmaTargetImage) == "C:\\Windows\\notepad.exe");
    CHECK(r.F(kSigmaGrantedAccess) == "0x1fffff");
    CHECK(r.F(kSigmaImage) == "<absent>");

    // A process the recording saw no image of: its image is unknown, never its bare name.
    REQUIRE(open(u"lsass.exe", u"Target PID: 712 / Access: 0x1410 (read memory, query "
                               u"information, query limited information)",
                 u"OK") == kSigmaViewReady);
    CHECK(r.F(kSigmaTargetImage) == "<unknown>");
    CHECK(r.F(kSigmaGrantedAccess) == "0x1410");
    // The row names its executable's full path when the trace gave one.
    REQUIRE(open(u"C:\\Windows\\system32\\lsass.exe", u"Target PID: 712 / Access: 0x1010 (read "
                                                       u"memory, query limited information)",
                 u"OK") == kSigmaViewReady);
    CHECK(r.F(kSigmaTargetImage) == "C:\\Windows\\system32\\lsass.exe");
    // Asked for the maximum allowed: what was granted is not known.
    REQUIRE(open(u"lsass.exe", u"Target PID: 712 / Access: 0x2000000 (maximum allowed)", u"OK") ==
            kSigmaViewReady);
    CHECK(r.F(kSigmaGrantedAccess) == "<unknown>");

    // Refused: nothing granted. A thread's mask is no process's.
    CHECK(open(u"lsass.exe", u"Target PID: 712 / Access: 0x1410", u"DENIED") == kSigmaViewNone);
    CHECK(open(u"lsass.exe", u"Target PID: 712 / TID: 716 / Access: 0x1fffff (all thread access)",
               u"OK") == kSigmaViewNone);
    CHECK(open(u"lsass.exe", u"Target PID: 712", u"OK") == kSigmaViewNone);
    // A pid past 32 bits names no process of the recording.
    REQUIRE(open(u"x", u"Target PID: 99999999999 / Access: 0x10 (read memory)", u"OK") ==
            kSigmaViewReady);
    CHECK(r.F(kSigmaTargetImage) == "<unknown>");
}

TEST_CASE("the two rows between processes take different texts of the row for an image the view "
          "did not learn") {
    FedRows r;
    REQUIRE(r.Learn(kTargetStart) == kSigmaViewReady);
    // The same opener (not followed, a path in its process column) and the same target text
    // (a relative path): an open takes neither, a thread row takes both.
    constexpr uint32_t kOpener = 6012;
    const char16_t* const kProcess = u"C:\\Tools\\probe.exe";
    const char16_t* const kPath = u"Windows\\lsass.exe";
    REQUIRE(r.Learn({kCategoryProcess, kOpener, kProcess, u"Opened process", kPath,
                     u"Target PID: 712 / Access: 0x10 (read memory)", u"OK", 0}) ==
            kSigmaViewReady);
    CHECK(r.F(kSigmaSourceImage) == "<unknown>");
    CHECK(r.F(kSigmaTargetImage) == "<unknown>");
    REQUIRE(r.Learn({kCategoryProcess, kOpener, kProcess, u"Created thread in another process",
                     kPath, u"Target PID: 712 / Thread ID: 9 / Start address: 0x1d0000 (no known "
                            u"module)",
                     u"OK", 0}) == kSigmaViewReady);
    CHECK(r.F(kSigmaSourceImage) == "C:\\Tools\\probe.exe");
    CHECK(r.F(kSigmaTargetImage) == "Windows\\lsass.exe");
    // The learned image wins over the row's text on both sides, for both rows.
    const std::string image = "C:\\Users\\analyst\\Downloads\\Invoice_2024-0412.pdf.exe";
    REQUIRE(r.Learn({kCategoryProcess, kTarget, kProcess, u"Opened process", kPath,
                     u"Target PID: 4242 / Access: 0x10 (read memory)", u"OK", 0}) ==
            kSigmaViewReady);
    CHECK(r.F(kSigmaSourceImage) == image);
    CHECK(r.F(kSigmaTargetImage) == image);
    REQUIRE(r.Learn({kCategoryProcess, kTarget, kProcess, u"Created thread in another process",
                     kPath, u"Target PID: 4242 / Thread ID: 9 / Start address: 0x1d0000 (no "
                            u"known module)",
                     u"OK", 0}) == kSigmaViewReady);
    CHECK(r.F(kSigmaSourceImage) == image);
    CHECK(r.F(kSigmaTargetImage) == image);
}

TEST_CASE("driver loads: the file and its facts, unknown until they are read") {
    FedRows r;
    REQUIRE(r.Learn({kCategoryProcess, 4, u"System", u"Loaded driver",
                     u"C:\\Windows\\System32\\drivers\\evil.sys",
                     u"Size: 68.0 KB / loaded by the system: not known to come from the examined "
                     u"program",
                     u"OK", 0}) == kSigmaViewReady);
    CHECK(r.Categories() == Bit(kSigmaDriverLoad));
    CHECK(r.F(kSigmaImageLoaded) == "C:\\Windows\\System32\\drivers\\evil.sys");
    CHECK(r.F(kSigmaHashes) == "<unknown>");
    CHECK(r.F(kSigmaSigned) == "<unknown>");
    CHECK(r.F(kSigmaImage) == "<absent>");
    // Viewed again when its facts come.
    CHECK(SigmaViewOfChangedRow(r.context.get(), r.store.get(), r.rows[0], Bit(kSigmaDriverLoad),
                                r.buffer.get()) == kSigmaViewReady);
    CHECK(r.Categories() == Bit(kSigmaDriverLoad));
    CHECK(r.F(kSigmaImageLoaded) == "C:\\Windows\\System32\\drivers\\evil.sys");
}

TEST_CASE("a child's CurrentDirectory comes from its facts; the examined program keeps its own") {
    FedRows r;
    SetSigmaRecorderImage(r.context.get(), u"C:\\Tools\\Olvetta.exe");
    // The examined program: the launcher's folder, whatever a read of the process says.
    CompactRow target = r.Pack(kTargetStart);
    GiveFacts(r, &target, {{kFactCurrentDirectory, u"C:\\Elsewhere\\"}});
    REQUIRE(r.Learn(target) == kSigmaViewReady);
    CHECK(r.F(kSigmaCurrentDirectory) == "C:\\Users\\analyst\\Downloads\\");

    // A child whose folder was read: known, and no longer listed as unknown.
    CompactRow child = r.Pack({kCategoryProcess, 5001, u"cmd.exe", u"Started child process",
                               u"C:\\Windows\\System32\\cmd.exe /c dir", u"", u"OK", kTarget});
    GiveFacts(r, &child, {{kFactCurrentDirectory, u"C:\\Users\\analyst\\AppData\\Local\\Temp\\"},
                          {kFactUser, u"VM\\analyst"}});
    REQUIRE(r.Learn(child) == kSigmaViewReady);
    CHECK(r.F(kSigmaCurrentDirectory) == "C:\\Users\\analyst\\AppData\\Local\\Temp\\");
    CHECK((ListedUnknownFields(*r.buffer) & SigmaFieldBit(kSigmaCurrentDirectory)) == 0);

    // A child with facts but not its folder, and one with no facts: unknown, listed as before.
    CompactRow other = r.Pack({kCategoryProcess, 5002, u"cmd.exe", u"Started child process",
                               u"C:\\Windows\\System32\\cmd.exe /c ver", u"", u"OK", kTarget});
    GiveFacts(r, &other, {{kFactUser, u"VM\\analyst"}});
    REQUIRE(r.Learn(other) == kSigmaViewReady);
    CHECK(r.F(kSigmaCurrentDirectory) == "<unknown>");
    CHECK((ListedUnknownFields(*r.buffer) & SigmaFieldBit(kSigmaCurrentDirectory)) != 0);
    REQUIRE(r.Learn({kCategoryProcess, 5003, u"cmd.exe", u"Started child process",
                     u"C:\\Windows\\System32\\cmd.exe /c vol", u"", u"OK", kTarget}) ==
            kSigmaViewReady);
    CHECK(r.F(kSigmaCurrentDirectory) == "<unknown>");
    CHECK((ListedUnknownFields(*r.buffer) & SigmaFieldBit(kSigmaCurrentDirectory)) != 0);
}

} // namespace olv

namespace olv {

TEST_CASE("thread rows: both images, the start address and its module; the function a fact") {
    FedRows r;
    REQUIRE(r.Learn(kTargetStart) == kSigmaViewReady);
    // By the examined program into a process the recording did not follow: the target by the
    // path the row names.
    REQUIRE(r.Learn({kCategoryProcess, kTarget, u"Invoice_2024-0412.pdf.exe",
                     u"Created thread in another process", u"C:\\Windows\\explorer.exe",
                     u"Target PID: 880 / Thread ID: 9 / Start address: 0x7ffb1001f2a0 in "
                     u"C:\\Windows\\System32\\kernel32.dll",
                     u"OK", 0}) == kSigmaViewReady);
    CHECK(r.Categories() == Bit(kSigmaCreateRemoteThread));
    CHECK(r.F(kSigmaSourceImage) == "C:\\Users\\analyst\\Downloads\\Invoice_2024-0412.pdf.exe");
    CHECK(r.F(kSigmaTargetImage) == "C:\\Windows\\explorer.exe");
    CHECK(r.F(kSigmaStartAddress) == "0x7ffb1001f2a0");
    CHECK(r.F(kSigmaStartModule) == "C:\\Windows\\System32\\kernel32.dll");
    CHECK(r.F(kSigmaStartFunction) == "<unknown>");
    CHECK(r.F(kSigmaImage) == "<absent>");

    // Into the examined program by a process known by a short name only: the source is unknown
    // (a short name is no image path), the target the view's own entry; no module is empty.
    REQUIRE(r.Learn({kCategoryProcess, 612, u"csrss.exe", u"Created thread in another process",
                     u"Invoice_2024-0412.pdf.exe",
                     u"Target PID: 4242 / Thread ID: 10 / Start address: 0x1d0000 (no known "
                     u"module)",
                     u"OK", 0}) == kSigmaViewReady);
    CHECK(r.F(kSigmaSourceImage) == "<unknown>");
    CHECK(r.F(kSigmaTargetImage) == "C:\\Users\\analyst\\Downloads\\Invoice_2024-0412.pdf.exe");
    CHECK(r.F(kSigmaStartAddress) == "0x1d0000");
    CHECK(r.F(kSigmaStartModule) == "");

    // A target named by no path, and a detail without an address (a damaged row): unknown.
    REQUIRE(r.Learn({kCategoryProcess, kTarget, u"x", u"Created thread in another process",
                     u"notepad.exe", u"Target PID: 77", u"OK", 0}) == kSigmaViewReady);
    CHECK(r.F(kSigmaTargetImage) == "<unknown>");
    CHECK(r.F(kSigmaStartAddress) == "<unknown>");
    CHECK(r.F(kSigmaStartModule) == "");

    // The module ends before its offset; the function is the row's fact once read, and empty
    // when the module exports nothing there.
    const RowSpec load{kCategoryProcess, kTarget, u"x", u"Created thread in another process",
                       u"C:\\Windows\\explorer.exe",
                       u"Target PID: 880 / Thread ID: 9 / Start address: 0x7ffb1001f2a0 in "
                       u"C:\\Windows\\System32\\kernel32.dll (+0x1f2a0)",
                       u"OK", 0};
    CompactRow row = r.Pack(load);
    GiveFacts(r, &row, {{kFactStartFunction, u"LoadLibraryW"}});
    REQUIRE(r.Learn(row) == kSigmaViewReady);
    CHECK(r.F(kSigmaStartModule) == "C:\\Windows\\System32\\kernel32.dll");
    CHECK(r.F(kSigmaStartFunction) == "LoadLibraryW");
    CompactRow none = r.Pack(load);
    GiveFacts(r, &none, {{kFactStartFunction, u""}});
    REQUIRE(r.Learn(none) == kSigmaViewReady);
    CHECK(r.F(kSigmaStartFunction) == "");
}

} // namespace olv
