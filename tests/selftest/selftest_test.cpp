// The machine check's judge: the plan's names, each expected row found by its operation and
// path, key, endpoint or name (and near misses not), and the likely reason of each one missing.
#include "selftest/selftest.h"
#include "doctest.h"

#include <algorithm>
#include <string>
#include <vector>

#include "app/recording_setup.h"
#include "app/window_layout.h"
#include "base/text.h"
#include "platform/memory.h"
#include "platform/sim/headless_ui.h"
#include "record/recording.h"
#include "record/row_kind.h"
#include "support/text_check.h"
#include "views/row_store.h"

using namespace olv;

namespace {

constexpr uint32_t kHelper = 6100;

SelftestPlan Plan() {
    const char16_t* args[4] = {u"olvetta-selftest-7-9", u"C:\\Temp\\olvetta-selftest-7-9", u"50000",
                               u"50016"};
    SelftestPlan plan{};
    REQUIRE(SelftestPlanFromArguments(args, 4, &plan));
    return plan;
}

EventRow Row(const char16_t* operation, const char16_t* path, uint32_t pid = kHelper,
             uint32_t parent = 0, const char16_t* detail = u"", const char16_t* result = u"OK") {
    EventRow row{};
    CopyBounded(row.result, kResultChars, result);
    CopyBounded(row.operation, kOperationChars, operation);
    // The category of the kind of that text, as the decoders make the row; a text of no kind
    // stays a File row.
    for (uint32_t category = kCategoryFile; category <= kCategoryProcess; ++category) {
        if (RowKindOf(category, operation, TextLength(operation)) != RowKind::Other) {
            row.category = category;
            break;
        }
    }
    CopyBounded(row.path, kPathChars, path);
    CopyBounded(row.detail, kDetailChars, detail);
    row.pid = pid;
    row.parentPid = parent;
    return row;
}

// The rows a working recording of the plan holds (the file paths as the trace names them: the
// long form, whatever form the plan's folder was given in).
std::vector<EventRow> GoodRows() {
    const char16_t* file1 =
        u"C:\\Users\\LONGNAME\\Temp\\olvetta-selftest-7-9\\olvetta-selftest-7-9-1.tmp";
    const char16_t* file2 =
        u"C:\\Users\\LONGNAME\\Temp\\olvetta-selftest-7-9\\olvetta-selftest-7-9-2.tmp";
    const char16_t* key = u"\\REGISTRY\\USER\\S-1-5-21-1\\Software\\olvetta-selftest-7-9";
    return {
        Row(u"Started process", u"\"C:\\x\\olvetta-cli.exe\" --selftest-helper ...", kHelper),
        Row(u"Started child process", u"\"C:\\x\\olvetta-cli.exe\" --selftest-child", 6120,
            kHelper),
        Row(u"Loaded DLL", u"C:\\Windows\\System32\\VERSION.dll"),
        Row(u"Created new file", file1),
        Row(u"Wrote to file", file1),
        Row(u"Renamed file", file1),
        Row(u"Deleted file", file2),
        Row(u"Created registry key", key),
        Row(u"Wrote registry value", key, kHelper, 0, u"Value: olvetta-selftest-7-9"),
        Row(u"Deleted registry value", key),
        Row(u"Deleted registry key", key),
        Row(u"Connected (TCP)", u"127.0.0.1:61001 -> 127.0.0.1:50003"),
        Row(u"Sent data (TCP)", u"127.0.0.1:61001 -> 127.0.0.1:50003"),
        Row(u"Sent data (UDP)", u"127.0.0.1:61002 -> 127.0.0.1:50016"),
        Row(u"DNS query", u"OLVETTA-SELFTEST-7-9.invalid"),
        Row(u"Created pipe", u"\\\\.\\pipe\\olvetta-selftest-7-9"),
        Row(u"Connected to pipe", u"\\\\.\\pipe\\olvetta-selftest-7-9"),
        Row(u"Wrote alternate data stream",
            u"C:\\Users\\LONGNAME\\Temp\\olvetta-selftest-7-9\\olvetta-selftest-7-9-3.txt:olvetta",
            kHelper, 0, u"Stream: olvetta, 17 bytes"),
        Row(u"Ran script block", u"$null = 'olvetta-selftest-7-9'", 6140),
        Row(u"Created thread in another process", u"C:\\x\\olvetta-cli.exe", kHelper, 0,
            u"Target PID: 6130 / Thread ID: 6138 / Start address: 0x7ffb4c6b1e40 in "
            u"C:\\Windows\\System32\\ntdll.dll (+0x21e40)"),
        Row(u"Opened process", u"C:\\x\\olvetta-cli.exe", kHelper, 0,
            u"Target PID: 6130 / Access: 0x1410 (read memory, query information, query limited "
            u"information)"),
        Row(u"Started child process", u"\"C:\\x\\olvetta-cli.exe\" --selftest-target", 6130,
            kHelper),
        Row(u"Target process exited", u""),
    };
}

// A recording holding the rows, as the judge reads them.
struct Stored {
    Recording* app = nullptr;
    explicit Stored(const std::vector<EventRow>& rows) {
        ResetHeadlessUi();
        app = AllocRecord<Recording>();
        REQUIRE(app != nullptr);
        InitRecording(app);
        WireControls(app, HeadlessControlHandle);
        for (const EventRow& row : rows)
            AppendRow(app, &row);
        REQUIRE(app->rowCount == static_cast<int32_t>(rows.size()));
    }
    ~Stored() {
        CleanUpRecording(app);
        FreeBlock(app);
    }
};

void Judge(const SelftestPlan& plan, const std::vector<EventRow>& rows,
           const SelftestContext& context, SelftestResult* result) {
    const Stored stored(rows);
    JudgeSelftest(plan, stored.app, context, result);
}

bool ExitCode(const std::vector<EventRow>& rows, uint32_t* code) {
    const Stored stored(rows);
    return SelftestHelperExitCode(stored.app, code);
}

SelftestContext Working(RecordingInfo* info) {
    info->flags |= scriptLoggingTurnedOn; // as the self-test's recording does
    SelftestContext c{};
    c.info = info;
    c.started = true;
    c.helperEnded = true;
    return c;
}

std::string Line(const SelftestResult& r, int check) {
    char16_t line[400];
    FormatSelftestLine(r, check, line, 400);
    return U8(line);
}

// The table's count line with `missing` checks missing of all.
std::string Found(int missing) {
    return std::to_string(kSelftestCheckCount - missing) + " of " +
           std::to_string(kSelftestCheckCount) + " checks found";
}

} // namespace

TEST_CASE("the plan: every name derives from the tag; bad helper arguments are refused") {
    const SelftestPlan p = Plan();
    CHECK(U8(p.firstFile) == "C:\\Temp\\olvetta-selftest-7-9\\olvetta-selftest-7-9-1.tmp");
    CHECK(U8(p.secondFile) == "C:\\Temp\\olvetta-selftest-7-9\\olvetta-selftest-7-9-2.tmp");
    CHECK(U8(p.key) == "Software\\olvetta-selftest-7-9");
    CHECK(U8(p.dnsName) == "olvetta-selftest-7-9.invalid");
    CHECK(U8(p.pipe) == "\\\\.\\pipe\\olvetta-selftest-7-9");
    CHECK(U8(p.stream) == "C:\\Temp\\olvetta-selftest-7-9\\olvetta-selftest-7-9-3.txt:olvetta");
    CHECK((p.tcpPort == 50000 && p.udpPort == 50016));

    char16_t args[600];
    REQUIRE(SelftestHelperArguments(p, args, 600));
    CHECK(U8(args) ==
          "--selftest-helper olvetta-selftest-7-9 C:\\Temp\\olvetta-selftest-7-9 50000 50016");

    const std::vector<std::vector<const char16_t*>> bad = {
        {u"", u"C:\\T", u"1", u"2"},    {u"t", u"", u"1", u"2"},
        {u"t", u"C:\\T", u"0", u"2"},   {u"t", u"C:\\T", u"65530", u"2"},
        {u"t", u"C:\\T", u"12x", u"2"}, {u"t", u"C:\\T", u"1", u"99999999"},
    };
    for (const auto& b : bad) {
        SelftestPlan q{};
        CHECK_FALSE(SelftestPlanFromArguments(b.data(), 4, &q));
    }

    // Made plans differ from run to run and keep their ports in range.
    SelftestPlan a{}, b{};
    MakeSelftestPlan(u"C:\\Users\\a\\AppData\\Local\\Temp\\", 4242, 133565403100000000, &a);
    MakeSelftestPlan(u"C:\\Users\\a\\AppData\\Local\\Temp", 4243, 133565403100000000, &b);
    CHECK(U8(a.folder).rfind("C:\\Users\\a\\AppData\\Local\\Temp\\olvetta-selftest-4242-", 0) == 0);
    CHECK(U8(a.tag) != U8(b.tag));
    CHECK((a.tcpPort >= 49152 && a.udpPort + kSelftestPortSpan <= 65536));
}

TEST_CASE("a working recording finds every check; each near miss is missed") {
    const SelftestPlan plan = Plan();
    RecordingInfo info{};
    info.windowsMajor = 10;
    std::vector<EventRow> rows = GoodRows();
    SelftestResult r{};
    Judge(plan, rows, Working(&info), &r);
    CHECK(r.missing == 0);
    CHECK(Line(r, kCheckDnsQuery) == "  found    DNS query                as \"DNS query\"");
    CHECK(Line(r, kCheckFileRename) ==
          "  found    File renamed             as \"Renamed file\" (old name)");

    // One row changed at a time, to what a working check must not accept.
    struct Miss {
        size_t row;
        EventRow changed;
        int check;
    };
    const Miss misses[] = {
        {1,
         Row(u"Started child process", u"\"C:\\x\\olvetta-cli.exe\" --selftest-child", 6120, 999),
         kCheckChild},
        {2, Row(u"Loaded DLL", u"C:\\Windows\\System32\\xversion.dll"), kCheckDll},
        {3, Row(u"Opened file", rows[3].path, kHelper, 0, u"", u"NOT FOUND"), kCheckFileCreate},
        {3, Row(u"Read file", rows[3].path), kCheckFileCreate},
        {4, Row(u"Wrote to file", u"C:\\Temp\\other\\olvetta-selftest-7-9-1.tmpx"),
         kCheckFileWrite},
        {7, Row(u"Created registry key", u"\\REGISTRY\\USER\\S-1\\Software\\olvetta-selftest-7-8"),
         kCheckKeyCreate},
        {11, Row(u"Connected (TCP)", u"127.0.0.1:61001 -> 127.0.0.1:50016"), kCheckTcpConnect},
        {12, Row(u"Sent data (TCP)", u"127.0.0.1:61001 -> 10.0.0.1:50003"), kCheckTcpSend},
        {13, Row(u"Sent data (UDP)", u"127.0.0.1:61002 -> 127.0.0.1:50032"), kCheckUdpSend},
        {14, Row(u"DNS query", u"olvetta-selftest-7-9.invalid.corp"), kCheckDnsQuery},
        // Another run's pipe, a longer name, the other end, the pipe opened as a file.
        {15, Row(u"Created pipe", u"\\\\.\\pipe\\olvetta-selftest-7-8"), kCheckPipeCreate},
        {15, Row(u"Created pipe", u"\\\\.\\pipe\\olvetta-selftest-7-9x"), kCheckPipeCreate},
        {15, Row(u"Connected to pipe", rows[15].path), kCheckPipeCreate},
        {16, Row(u"Opened file", rows[16].path), kCheckPipeConnect},
        // The file without the stream, another stream, the stream only read.
        {17, Row(u"Wrote alternate data stream", u"C:\\T\\olvetta-selftest-7-9-3.txt"),
         kCheckStream},
        {17, Row(u"Wrote alternate data stream", u"C:\\T\\olvetta-selftest-7-9-3.txt:olvettax"),
         kCheckStream},
        {17, Row(u"Opened file", rows[17].path), kCheckStream},
        // Another run's block; the tag in a command line, not a block.
        {18, Row(u"Ran script block", u"$null = 'olvetta-selftest-7-8'", 6140), kCheckScriptBlock},
        {18,
         Row(u"Started child process", u"powershell $null = 'olvetta-selftest-7-9'", 6140, kHelper),
         kCheckScriptBlock},
    };
    for (const Miss& m : misses) {
        CAPTURE(m.check);
        std::vector<EventRow> changed = rows;
        changed[m.row] = m.changed;
        Judge(plan, changed, Working(&info), &r);
        CHECK(r.missing == 1);
        CHECK_FALSE(r.found[m.check]);
        CHECK(Line(r, m.check).rfind("  MISSING  ", 0) == 0);
    }
}

TEST_CASE("a row is known by its kind: a look-alike operation text, or the text in another "
          "category, finds no check") {
    const SelftestPlan plan = Plan();
    RecordingInfo info{};
    info.windowsMajor = 10;
    std::vector<EventRow> rows = GoodRows();
    // The recorder's start names the helper: a child of another parent is then refused, and
    // accepted only while no start row names the helper.
    rows[1].parentPid = 999;
    // Whether row i is recognised: its check is found (the start row: the helper is named, so
    // the child of another parent is refused).
    const auto judge = [&](const std::vector<EventRow>& changed, size_t i) {
        SelftestResult r{};
        Judge(plan, changed, Working(&info), &r);
        return i == 0 ? !r.found[kCheckChild] : r.found[i - 1];
    };
    for (size_t i = 0; i <= static_cast<size_t>(kSelftestCheckCount); ++i) {
        CAPTURE(U8(rows[i].operation));
        std::vector<EventRow> changed = rows;
        if (i > 0) changed[1].parentPid = kHelper;
        REQUIRE(judge(changed, i));
        const std::u16string text = rows[i].operation;
        std::u16string upper = text;
        for (char16_t& c : upper)
            c = c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c;
        for (const std::u16string& lookAlike : {text + u" ", upper, text.substr(1)}) {
            std::vector<EventRow> alike = changed;
            CopyBounded(alike[i].operation, kOperationChars, lookAlike.c_str());
            CHECK_FALSE(judge(alike, i));
        }
        std::vector<EventRow> moved = changed;
        moved[i].category = (moved[i].category + 1) % 4;
        CHECK_FALSE(judge(moved, i));
    }
    // The exit code is read from the recorder's exit row only.
    EventRow exits[2] = {Row(u"Target process exited ", u"", kHelper, 0, u"Exit code: 3"),
                         Row(u"Target process exited", u"", kHelper, 0, u"Exit code: 4")};
    uint32_t code = 0;
    CHECK(ExitCode({exits[0], exits[1]}, &code));
    CHECK(code == 4);
    exits[1].category = kCategoryFile;
    CHECK_FALSE(ExitCode({exits[0], exits[1]}, &code));
}

TEST_CASE("every form Windows gives an action is found, and the table names the one seen") {
    const SelftestPlan plan = Plan();
    RecordingInfo info{};
    info.windowsMajor = 10;
    const std::vector<EventRow> rows = GoodRows();
    const char16_t* file1 = rows[3].path;
    const char16_t* file2 = rows[6].path;
    struct Form {
        size_t row;
        EventRow changed;
        int check;
        const char* named;
    };
    const Form forms[] = {
        {3, Row(u"Opened file", file1), kCheckFileCreate,
         "as \"Opened file\" of a path new to this check"},
        {3, Row(u"Opened file", file1, kHelper, 0, u"", u"-"), kCheckFileCreate,
         "as \"Opened file\" of a path new to this check"}, // no completion: result not known
        {5, Row(u"Renamed file", file2), kCheckFileRename, "as \"Renamed file\" (new name)"},
        {5, Row(u"Renamed file by path", file2), kCheckFileRename,
         "as \"Renamed file by path\" (new name)"},
        {5, Row(u"Renamed file by path", file1), kCheckFileRename,
         "as \"Renamed file by path\" (old name)"},
        {5, Row(u"Renamed file", file1, kHelper, 0, u"olvetta-selftest-7-9-2.tmp"),
         kCheckFileRename, "as \"Renamed file\" (new name)"},
        {6, Row(u"Deleted file by path", file2), kCheckFileDelete,
         "as \"Deleted file by path\" (new name)"},
        {6, Row(u"Deleted file", file1), kCheckFileDelete, "as \"Deleted file\" (old name)"},
        {11, Row(u"Accepted a connection (TCP)", u"127.0.0.1:50003 -> 127.0.0.1:61001"),
         kCheckTcpConnect, "as \"Accepted a connection (TCP)\" (at the listener)"},
        {12, Row(u"Received data (TCP)", u"127.0.0.1:50003 -> 127.0.0.1:61001"), kCheckTcpSend,
         "as \"Received data (TCP)\" (at the listener)"},
        {12, Row(u"Copied data (TCP)", u"127.0.0.1:50003 -> 127.0.0.1:61001"), kCheckTcpSend,
         "as \"Copied data (TCP)\" (at the listener)"},
        {13, Row(u"Received data (UDP)", u"127.0.0.1:50017 -> 127.0.0.1:61002"), kCheckUdpSend,
         "as \"Received data (UDP)\" (at the receiver)"},
        {14, Row(u"DNS answer", u"olvetta-selftest-7-9.invalid"), kCheckDnsQuery,
         "as \"DNS answer\""},
        {14, Row(u"DNS query", u"olvetta-selftest-7-9.INVALID."), kCheckDnsQuery,
         "as \"DNS query\""},
        {15, Row(u"Created pipe", u"\\Device\\NamedPipe\\olvetta-selftest-7-9"), kCheckPipeCreate,
         "as \"Created pipe\""},
        {17,
         Row(u"Wrote alternate data stream", u"C:\\T\\olvetta-selftest-7-9-3.txt:olvetta:$DATA"),
         kCheckStream, "as \"Wrote alternate data stream\""},
        {18, Row(u"Ran script block", u"Write-Host 1; $null = 'OLVETTA-SELFTEST-7-9'", 6140),
         kCheckScriptBlock, "as \"Ran script block\""},
    };
    SelftestResult r{};
    for (const Form& f : forms) {
        CAPTURE(f.named);
        std::vector<EventRow> changed = rows;
        changed[f.row] = f.changed;
        Judge(plan, changed, Working(&info), &r);
        CHECK(r.missing == 0);
        CHECK(U8(r.form[f.check]) == f.named);
        CHECK(Line(r, f.check).find(f.named) != std::string::npos);
    }

    // An open is the creation only as the first row about the path: after the write (the
    // creation's own event lost) it is the rename's or another later open.
    std::vector<EventRow> late = rows;
    late[3] = late[4];
    late[4] = Row(u"Opened file", file1);
    Judge(plan, late, Working(&info), &r);
    CHECK_FALSE(r.found[kCheckFileCreate]);
    // Traffic that only passes the spans is none of the helper's: a send from the span to
    // elsewhere, data received at a port outside it.
    std::vector<EventRow> other = rows;
    other[12] = Row(u"Sent data (TCP)", u"127.0.0.1:50003 -> 127.0.0.1:61001");
    other[13] = Row(u"Received data (UDP)", u"127.0.0.1:61002 -> 127.0.0.1:50040");
    Judge(plan, other, Working(&info), &r);
    CHECK_FALSE(r.found[kCheckTcpSend]);
    CHECK_FALSE(r.found[kCheckUdpSend]);
}

TEST_CASE("the likely reason of a missing check") {
    const SelftestPlan plan = Plan();
    std::vector<EventRow> rows = GoodRows();
    rows.erase(rows.begin() + 14); // no DNS query
    rows.erase(rows.begin() + 9);  // no value deletion
    SelftestResult r{};

    struct Case {
        const char* what;
        uint32_t major, minor, flags, lost;
        bool started, ended, traceEnded;
        uint32_t exitCode;
        const char* dnsReason;
        const char* valueReason;
    };
    const Case cases[] = {
        {"Windows 7", 6, 1, 0, 0, true, true, false, 0, "DNS events need Windows 8.1 or later",
         "no event arrived: the kernel session may be owned by another tool"},
        {"DNS session off", 10, 0, dnsNotRecorded, 0, true, true, false, 0,
         "the DNS session did not start", "no event arrived"},
        {"DNS session ended", 10, 0, dnsSessionEnded, 0, true, true, false, 0,
         "the DNS session ended during the test", "no event arrived"},
        {"kernel session ended", 10, 0, 0, 0, true, true, true, 0,
         "the kernel session was ended by another program", "the kernel session was ended"},
        {"another tool's session", 10, 0, foreignKernelSessionStopped, 0, true, true, false, 0,
         "owned by another tool, which took it back", "owned by another tool, which took it back"},
        {"losses", 10, 0, 0, 12, true, true, false, 0, "not seen: 12 events were lost",
         "not seen: 12 events were lost"},
        {"helper failed", 10, 0, 0, 0, true, true, false,
         (1u << kActValueDelete) | (1u << kActDnsQuery), "the helper could not do this",
         "the helper could not do this"},
        {"helper too slow", 10, 0, 0, 0, true, false, false, 0,
         "the helper did not finish within the time given", "the helper did not finish"},
        {"no trace", 10, 0, 0, 0, false, false, false, 0,
         "not checked: the recording did not start", "not checked: the recording did not start"},
        {"nothing special", 10, 0, 0, 0, true, true, false, 0,
         "the DNS client sent no query that the trace saw", "no event arrived"},
    };
    for (const Case& c : cases) {
        CAPTURE(c.what);
        RecordingInfo info{};
        info.windowsMajor = c.major;
        info.windowsMinor = c.minor;
        info.flags = c.flags | scriptLoggingTurnedOn;
        info.eventsLostByWindows = c.lost;
        SelftestContext context{};
        context.info = &info;
        context.started = c.started;
        context.startFailure = u"ETW: StartTrace failed: 5";
        context.helperEnded = c.ended;
        context.helperExitCode = c.exitCode;
        context.traceEndedEarly = c.traceEnded;
        Judge(plan, c.started ? rows : std::vector<EventRow>{}, context, &r);
        CHECK(r.missing == (c.started ? 2 : kSelftestCheckCount));
        CHECK(U8(r.reason[kCheckDnsQuery]).find(c.dnsReason) != std::string::npos);
        CHECK(U8(r.reason[kCheckValueDelete]).find(c.valueReason) != std::string::npos);
    }
}

TEST_CASE("a recording that could not start: the table says why once, at its head, with what "
          "to do") {
    const SelftestPlan plan = Plan();
    struct Case {
        const char16_t* failure;
        const char* advice;
    };
    const Case cases[] = {
        {u"ETW: StartTrace failed: Access is denied. (5) (Admin required)",
         "Run the check from an elevated prompt"},
        {u"ETW: The Windows kernel trace session is in use by another program.",
         "Another tool holds the kernel trace session"},
        {u"ETW: OpenTrace failed: The parameter is incorrect. (87)",
         "Run the check again from an elevated prompt, with no other tool"},
    };
    for (const Case& c : cases) {
        CAPTURE(U8(c.failure));
        SelftestContext context{};
        context.startFailure = c.failure;
        SelftestResult result{};
        Judge(plan, {}, context, &result);
        std::u16string table(kSelftestTableChars, u'\0');
        REQUIRE(FormatSelftestTable(plan, result, context, table.data(), table.size()));
        const std::string text = U8(table.c_str());
        const std::string failure = U8(c.failure);
        CHECK(text.rfind("The recording could not start, so no check was made: " + failure + " " +
                             c.advice,
                         0) == 0);
        CHECK(text.find(failure) == text.rfind(failure)); // once
        CHECK(text.find("\r\n\r\n  MISSING  Child process started    not checked: the recording "
                        "did not start\r\n") != std::string::npos);
        CHECK(text.find("\r\n\r\n" + Found(kSelftestCheckCount) + "\r\n") != std::string::npos);
    }
    // A recording that started has no head.
    SelftestContext started{};
    started.started = true;
    char16_t head[kSelftestHeadChars];
    CHECK_FALSE(FormatSelftestHead(started, head, kSelftestHeadChars));
    CHECK(head[0] == 0);
}

TEST_CASE("the helper's exit code is read from the first \"Target process exited\" row") {
    struct Case {
        const char16_t* detail;
        bool found;
        uint32_t code;
    };
    const Case cases[] = {
        {u"Exit code: 0 (seen by Olvetta)", true, 0},
        {u"Exit code: 1073743872 (seen by Olvetta)", true, 1073743872u},
        {u"Exit code: 4294967295", true, 4294967295u},
        {u"Exit code: 99999999999", false, 0}, // more than an exit code can be
        {u"ended", false, 0},
    };
    for (const Case& c : cases) {
        CAPTURE(U8(c.detail));
        const EventRow rows[2] = {Row(u"Started process", u"x"),
                                  Row(u"Target process exited", u"", kHelper, 0, c.detail)};
        uint32_t code = 12345;
        CHECK(ExitCode({rows[0], rows[1]}, &code) == c.found);
        if (c.found) CHECK(code == c.code);
    }
    uint32_t code = 0;
    CHECK(!ExitCode({}, &code));
}

TEST_CASE("the window's table: every line, the summary, the clean-up warning; a cut is reported") {
    const SelftestPlan plan = Plan();
    SelftestContext context{};
    context.started = true;
    const std::vector<EventRow> rows = GoodRows();
    SelftestResult result{};
    Judge(plan, rows, context, &result);
    std::u16string table(kSelftestTableChars, u'\0');
    REQUIRE(FormatSelftestTable(plan, result, context, table.data(), table.size()));
    std::string text = U8(table.c_str());
    CHECK(text.rfind("  found    Child process started    as \"Started child process\"\r\n  found "
                     "   DLL loaded               as \"Loaded DLL\"\r\n",
                     0) == 0);
    CHECK(text.size() > 40);
    CHECK(text.substr(text.size() - 27) == "\r\n\r\n" + Found(0) + "\r\n");
    CHECK(text.find("could not remove") == std::string::npos);

    context.helperExitCode = kHelperCleanupFailed;
    REQUIRE(FormatSelftestTable(plan, result, context, table.data(), table.size()));
    text = U8(table.c_str());
    CHECK(text.find(Found(0) + "\r\n\r\nThe helper could not remove everything it made: "
                               "see the folder \"C:\\Temp\\olvetta-selftest-7-9\" and the key "
                               "HKEY_CURRENT_USER\\Software\\olvetta-selftest-7-9.\r\n") !=
          std::string::npos);

    char16_t small[64];
    CHECK(!FormatSelftestTable(plan, result, context, small, 64));
    CHECK(TextLength(small) == 63); // cut, and terminated
}

TEST_CASE("script block: PowerShell absent is skipped, not missing; the policy's state is the "
          "reason when no block arrived") {
    const SelftestPlan plan = Plan();
    std::vector<EventRow> rows = GoodRows();
    rows.erase(rows.begin() + 18); // no script block
    struct Case {
        const char* what;
        uint32_t flags, exitCode;
        bool skipped;
        const char* reason;
    };
    const Case cases[] = {
        {"no PowerShell", scriptLoggingTurnedOn, kHelperNoPowerShell, true,
         "PowerShell is not present"},
        {"PowerShell failed", scriptLoggingTurnedOn, 1u << kActScript, false,
         "PowerShell did not run the helper's script block"},
        {"cut before the script", scriptLoggingTurnedOn, kHelperNoPowerShell | 1u << kActScript,
         false, "PowerShell did not run"},
        {"policy refused", scriptLoggingRefused, 0, false,
         "script block logging could not be switched on"},
        {"policy not asked", 0, 0, false, "script block logging was not switched on"},
        {"second session off", scriptLoggingTurnedOn | dnsNotRecorded, 0, false,
         "the session of the DNS and PowerShell providers did not start"},
        {"nothing special", scriptLoggingTurnedOn, 0, false,
         "its provider delivered no event of it"},
    };
    for (const Case& c : cases) {
        CAPTURE(c.what);
        RecordingInfo info{};
        info.windowsMajor = 10;
        info.flags = c.flags;
        SelftestContext context{};
        context.info = &info;
        context.started = true;
        context.helperEnded = true;
        context.helperExitCode = c.exitCode;
        SelftestResult r{};
        Judge(plan, rows, context, &r);
        CHECK_FALSE(r.found[kCheckScriptBlock]);
        CHECK(r.skipped[kCheckScriptBlock] == c.skipped);
        CHECK(r.missing == (c.skipped ? 0 : 1));
        CHECK(r.skippedCount == (c.skipped ? 1 : 0));
        CHECK(U8(r.reason[kCheckScriptBlock]).find(c.reason) != std::string::npos);
        char16_t summary[kSelftestLineChars];
        FormatSelftestSummary(r, summary, kSelftestLineChars);
        CHECK(U8(summary) == (c.skipped ? std::to_string(kSelftestCheckCount - 1) + " of " +
                                              std::to_string(kSelftestCheckCount - 1) +
                                              " checks found, 1 not possible on this machine"
                                        : Found(1)));
        CHECK(
            Line(r, kCheckScriptBlock)
                .rfind(c.skipped ? "  skipped  Script block ran " : "  MISSING  Script block ran ",
                       0) == 0);
    }
    // Before Windows 8.1 the session that carries PowerShell's provider does not start.
    RecordingInfo old{};
    old.windowsMajor = 6;
    old.windowsMinor = 1;
    old.flags = scriptLoggingTurnedOn | dnsNotRecorded;
    SelftestResult seven{};
    SelftestContext onSeven = Working(&old);
    Judge(plan, rows, onSeven, &seven);
    CHECK(U8(seven.reason[kCheckScriptBlock]).find("from Windows 8.1 on") != std::string::npos);

    // A stream the helper could not write says where it tried.
    rows = GoodRows();
    rows.erase(rows.begin() + 17);
    RecordingInfo info{};
    SelftestContext context = Working(&info);
    context.helperExitCode = 1u << kActStream;
    SelftestResult r{};
    Judge(plan, rows, context, &r);
    CHECK(U8(r.reason[kCheckStream]).find("could not write a stream in the temporary folder") !=
          std::string::npos);
}

TEST_CASE("a thread made in the suspended child and its open: found between the helper and that "
          "child only, by the line a check of their kinds takes") {
    const SelftestPlan plan = Plan();
    // Two checks of the rules such kinds take, on kinds of the same category standing in.
    const SelftestCheckSpec checks[2] = {
        {u"Remote thread created", kActRemoteThread, RowKind::ScannedContent, kRuleIntoTarget},
        {u"Process opened", kActOpenProcess, RowKind::LoggedModuleOutput, kRuleOpensTarget},
    };
    std::vector<EventRow> base = GoodRows();
    const uint32_t target = 6130;
    const auto judge = [&](std::vector<EventRow> extra, SelftestContext context,
                           SelftestResult* r) {
        std::vector<EventRow> rows = base;
        rows.insert(rows.end() - 1, extra.begin(), extra.end());
        const Stored stored(rows);
        JudgeSelftestChecks(checks, 2, plan, stored.app, context, r);
    };
    RecordingInfo info{};
    info.windowsMajor = 10;
    struct Case {
        const char* what;
        EventRow row;
        const char* form; // null: not found
    };
    const Case cases[] = {
        {"helper names the child", Row(u"Scanned content", u"olvetta-cli.exe (6130)"),
         "as \"Scanned content\""},
        {"in the detail", Row(u"Scanned content", u"x", kHelper, 0, u"Target: 6130, 0x1010"),
         "as \"Scanned content\""},
        {"seen from the child", Row(u"Scanned content", u"olvetta-cli.exe (6100)", target),
         "as \"Scanned content\" (seen from the target)"},
        {"another process", Row(u"Scanned content", u"lsass.exe (640)"), nullptr},
        {"a longer number", Row(u"Scanned content", u"olvetta-cli.exe (61300)"), nullptr},
        {"a shorter number", Row(u"Scanned content", u"olvetta-cli.exe (613)"), nullptr},
        {"from elsewhere", Row(u"Scanned content", u"olvetta-cli.exe (6130)", 7000), nullptr},
        {"the child about itself", Row(u"Scanned content", u"olvetta-cli.exe (6130)", target),
         nullptr},
    };
    for (const Case& c : cases) {
        CAPTURE(c.what);
        EventRow opened = c.row;
        CopyBounded(opened.operation, kOperationChars, u"Logged module output");
        SelftestResult r{};
        judge({c.row, opened}, Working(&info), &r);
        CHECK(r.found[0] == (c.form != nullptr));
        CHECK(r.found[1] == (c.form != nullptr));
        if (c.form != nullptr) CHECK(U8(r.form[0]) == c.form);
    }
    // Without the child's start row the helper's row of the kind is taken as it is.
    const auto start = std::find_if(base.begin(), base.end(), [](const EventRow& row) {
        return TextStartsWith(row.path, u"\"C:\\x\\olvetta-cli.exe\" --selftest-target");
    });
    REQUIRE(start != base.end());
    base.erase(start);
    SelftestResult r{};
    judge({Row(u"Scanned content", u"olvetta-cli.exe (5555)")}, Working(&info), &r);
    CHECK(r.found[0]);
    judge({Row(u"Scanned content", u"olvetta-cli.exe (5555)", 7000)}, Working(&info), &r);
    CHECK_FALSE(r.found[0]);

    // Missing: the child could not be started, or the open's source needs Windows 10.
    SelftestContext context = Working(&info);
    context.helperExitCode = 1u << kActTarget;
    judge({}, context, &r);
    CHECK(U8(r.reason[0]).find("the helper could not do this") != std::string::npos);
    CHECK(U8(r.reason[1]).find("the helper could not do this") != std::string::npos);
    info.windowsMajor = 6;
    info.windowsMinor = 3;
    judge({}, Working(&info), &r);
    CHECK(U8(r.reason[0]).find("no event arrived") != std::string::npos);
    CHECK(U8(r.reason[1]) == "process open events need Windows 10 or later");
}

TEST_CASE("a tag is only letters, digits, '-', '_' and '.': it goes into a script's quotes and a "
          "pipe's name") {
    for (const char16_t* tag : {u"a'b", u"a b", u"a\\b", u"a\"b", u"a;b", u"a$b"}) {
        CAPTURE(U8(tag));
        const char16_t* args[4] = {tag, u"C:\\T", u"50000", u"50016"};
        SelftestPlan plan{};
        CHECK_FALSE(SelftestPlanFromArguments(args, 4, &plan));
    }
    const char16_t* args[4] = {u"olvetta-selftest_wine.1", u"C:\\T", u"50000", u"50016"};
    SelftestPlan plan{};
    CHECK(SelftestPlanFromArguments(args, 4, &plan));
}

TEST_CASE("the helper's children: its own path quoted as a program name, then the switch") {
    char16_t line[80];
    // Blanks stay inside the quotes; backslashes are not escaped (a program name has no escapes),
    // not even the two of a share's name.
    struct Case {
        const char16_t* program;
        const char16_t* switchText;
        const char* line;
    } cases[] = {
        {u"C:\\Program Files\\Olvetta\\olvetta-cli.exe", kSelftestChildSwitch,
         "\"C:\\Program Files\\Olvetta\\olvetta-cli.exe\" --selftest-child"},
        {u"\\\\host\\share\\o.exe", kSelftestTargetSwitch,
         "\"\\\\host\\share\\o.exe\" --selftest-target"},
        {u"o.exe", u"", "\"o.exe\" "},
    };
    for (const Case& c : cases) {
        CAPTURE(c.line);
        REQUIRE(SelftestChildCommandLine(c.program, c.switchText, line, 80));
        CHECK(U8(line) == c.line);
    }
    // Exactly as long as the buffer holds; one unit less is refused and leaves it empty.
    const size_t fits = TextLength(u"\"o.exe\" --selftest-child") + 1;
    CHECK(SelftestChildCommandLine(u"o.exe", kSelftestChildSwitch, line, fits));
    CHECK_FALSE(SelftestChildCommandLine(u"o.exe", kSelftestChildSwitch, line, fits - 1));
    CHECK(line[0] == 0);
    // A quote would end the program's name early; no program names nothing.
    line[0] = u'x';
    CHECK_FALSE(SelftestChildCommandLine(u"C:\\a\"b.exe", kSelftestChildSwitch, line, 80));
    CHECK(line[0] == 0);
    CHECK_FALSE(SelftestChildCommandLine(u"", kSelftestChildSwitch, line, 80));
    CHECK_FALSE(SelftestChildCommandLine(nullptr, kSelftestChildSwitch, line, 80));
}
