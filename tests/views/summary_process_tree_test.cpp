#include "app/window_commands.h"
#include "app/window_state.h"
#include "doctest.h"

#include <string>
#include <vector>

#include "app/recording_setup.h"
#include "base/format.h"
#include "base/note_text.h"
#include "base/reveal_text.h"
#include "base/text.h"
#include "capture/event_queue.h"
#include "capture/trace_controller.h"
#include "launcher/target_launcher.h"
#include "platform/memory.h"
#include "platform/sim/headless_ui.h"
#include "platform/sim/headless_windows.h"
#include "platform/time.h"
#include "support/small_ring.h"
#include "support/text_check.h"
#include "views/process_tree.h"
#include "views/row_store.h"
#include "report/summary.h"

using namespace olv;

namespace {

struct TestRecording {
    olv::Recording* app = AllocRecord<olv::Recording>();
    explicit TestRecording(int32_t capacity = 1024) {
        InitRecording(app);
        ReserveRows(app, capacity);
    }
    ~TestRecording() {
        CleanUpRecording(app);
        FreeBlock(app);
    }
    static EventRow Row(uint32_t category, const char16_t* operation, const char16_t* path) {
        EventRow row{};
        row.category = category;
        CopyBounded(row.operation, kOperationChars, operation);
        CopyBounded(row.path, kPathChars, path);
        return row;
    }
    void Add(const EventRow& row) { AppendRow(app, &row); }
    void Add(uint32_t category, const char16_t* operation, const char16_t* path,
             uint32_t severity = 0) {
        EventRow row = Row(category, operation, path);
        row.severity = severity;
        Add(row);
    }
    void Start(uint32_t pid, uint32_t parent, const char16_t* name) {
        EventRow row = Row(kCategoryProcess, u"Started child process", name);
        row.pid = pid;
        row.parentPid = parent;
        CopyBounded(row.process, kProcessChars, name);
        Add(row);
    }
    std::u16string Summary() {
        char16_t* text = BuildSummaryText(app);
        REQUIRE(text != nullptr);
        std::u16string s = text;
        FreeBlock(text);
        return s;
    }
};

// The lines of one top-ten section, without its heading.
std::u16string Section(const std::u16string& summary, const std::u16string& heading) {
    size_t at = summary.find(heading);
    REQUIRE(at != std::u16string::npos);
    size_t end = summary.find(u"\r\n\r\n", at);
    return summary.substr(at, end - at + 2);
}

// Each insertion as "name<parent ".
void* Insert(void* context, const ProcessTreeNode* node, void* parentItem) {
    const auto* parent = static_cast<const ProcessTreeNode*>(parentItem);
    *static_cast<std::u16string*>(context) +=
        node->name + (u"<" + std::u16string(parent != nullptr ? parent->name : u"root") + u" ");
    return const_cast<ProcessTreeNode*>(node);
}

std::u16string Place(TestRecording& r) {
    static ProcessTreeNode nodes[kProcessTreeNodes];
    std::u16string order;
    PlaceProcessTree(nodes, CollectProcessTreeNodes(r.app, nodes, kProcessTreeNodes), Insert,
                     &order);
    return order;
}

} // namespace

// The counts by category are checked by the scenario tests; none of them has a Low row.
TEST_CASE("summary period, severities and top-ten sections") {
    TestRecording r;
    EventRow first = TestRecording::Row(kCategoryFile, u"Read file", u"C:\\b.txt");
    first.time = {2026, 1, 0, 2, 3, 4, 5, 6};
    r.Add(first);
    r.Add(kCategoryFile, u"Read file", u"C:\\a.txt", 3);
    r.Add(kCategoryFile, u"Read file", u"C:\\a.txt");
    r.Add(kCategoryFile, u"Read file", u"C:\\b.txt", 1);
    r.Add(kCategoryFile, u"Read file", u"C:\\c.txt");
    r.Add(kCategoryNetwork, u"Connected (TCP)", u"10.0.0.5:80");
    r.Add(kCategoryNetwork, u"Sent data (TCP)", u"10.0.0.5:80 -> 10.0.0.9:443 -> x");
    r.Add(kCategoryNetwork, u"DNS query", u"evil.tk");
    r.Add(kCategoryNetwork, u"DNS answer", u"evil.tk", 2);
    EventRow last = TestRecording::Row(kCategoryProcess, u"Loaded DLL", u"C:\\x.dll");
    last.time = {2026, 1, 0, 2, 3, 9, 0, 1};
    r.Add(last);
    std::u16string s = r.Summary();

    CHECK(s.find(u"=== Summary ===  Total events: 10\r\n"
                 u"Covering  2026-01-02 03:04:05.006  to  2026-01-02 03:09:00.001\r\n") == 0);
    CHECK(s.find(u"[By severity]  High: 1   Medium: 1   Low: 1\r\n") != std::u16string::npos);
    // Ties keep first-seen order: b.txt was seen before a.txt.
    CHECK(Section(s, u"[Most touched files]") == u"[Most touched files]\r\n"
                                                 u"      2  C:\\b.txt\r\n"
                                                 u"      2  C:\\a.txt\r\n"
                                                 u"      1  C:\\c.txt\r\n");
    // A path without " -> " counts whole; with two, the text after the first.
    CHECK(Section(s, u"[Most contacted endpoints]") == u"[Most contacted endpoints]\r\n"
                                                       u"      1  10.0.0.5:80\r\n"
                                                       u"      1  10.0.0.9:443 -> x\r\n");
    // DNS rows are names, never endpoints.
    CHECK(Section(s, u"[Most looked-up DNS names]") == u"[Most looked-up DNS names]\r\n"
                                                       u"      2  evil.tk\r\n");
}

TEST_CASE("summary: a row is a DNS name by its kind, not by a text that mentions DNS") {
    TestRecording r;
    r.Add(kCategoryNetwork, u"DNS query", u"evil.tk");
    r.Add(kCategoryNetwork, u"DNS answer", u"evil.tk");
    r.Add(kCategoryNetwork, u"TCP traffic (99) dns", u"10.0.0.5:53");
    r.Add(kCategoryNetwork, u"DNS query ", u"10.0.0.6:53");
    std::u16string s = r.Summary();
    CHECK(Section(s, u"[Most looked-up DNS names]") == u"[Most looked-up DNS names]\r\n"
                                                       u"      2  evil.tk\r\n");
    CHECK(Section(s, u"[Most contacted endpoints]") == u"[Most contacted endpoints]\r\n"
                                                       u"      1  10.0.0.5:53\r\n"
                                                       u"      1  10.0.0.6:53\r\n");
}

TEST_CASE("a file written 500 times among 300 decoys touched once heads the list, counted exactly") {
    TestRecording r;
    std::u16string longPath = u"C:\\" + std::u16string(297, u'x');
    for (int i = 0; i < 3; ++i)
        r.Add(kCategoryFile, u"Read file", longPath.c_str());
    for (int i = 0; i < 300; ++i) {
        char16_t path[32];
        FormatText(path, 32, u"C:\\decoy%d", i);
        r.Add(kCategoryFile, u"Read file", path);
    }
    for (int i = 0; i < 500; ++i)
        r.Add(kCategoryFile, u"Wrote file", u"C:\\payload.exe");
    std::u16string files = Section(r.Summary(), u"[Most touched files]");
    // Every name fits the table: no note, exact counts, ten lines, ties in first-seen order.
    CHECK(files.find(u"[Most touched files]\r\n"
                     u"    500  C:\\payload.exe\r\n"
                     u"      3  " + longPath.substr(0, 200) + u"\r\n"
                     u"      1  C:\\decoy0\r\n") == 0);
    size_t lines = 0;
    for (size_t at = 0; (at = files.find(u"\r\n", at)) != std::u16string::npos; at += 2)
        ++lines;
    CHECK(lines == 11); // heading and ten names
    CHECK(files.find(u"      1  C:\\decoy7\r\n") != std::u16string::npos);
    CHECK(files.find(u"C:\\decoy8\r\n") == std::u16string::npos);
}

namespace {

std::u16string U16(const std::string& ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

struct TallyFixture {
    NameTally tally{};
    explicit TallyFixture(int32_t limit) { REQUIRE(AllocNameTally(&tally, limit)); }
    ~TallyFixture() { FreeNameTally(&tally); }
    std::u16string TopTen() {
        std::vector<char16_t> text(kSummaryChars);
        AppendTopTen(text.data(), kSummaryChars, u"[Most touched files]", &tally);
        return text.data();
    }
};

// The count printed before name in a top-ten text; -1 when the name is not listed.
long ShownCount(const std::u16string& text, const std::u16string& name) {
    const size_t at = text.find(u"  " + name + u"\r\n");
    if (at == std::u16string::npos || at < 5) return -1;
    return std::stol(U8(text.substr(at - 5, 5).c_str()));
}

} // namespace

TEST_CASE("beyond its table a tally still finds the most counted names, then counts them exactly") {
    // A table of 16 against 3,000 decoys: the payload every tenth event (300 times), a second
    // file every 25th (120 times). The least count ends near 3,420 / 16, so the payload must be
    // kept; the second file may be let go, but then the section must allow for it.
    TallyFixture f(16);
    std::vector<std::u16string> stream;
    for (int i = 0; i < 3000; ++i) {
        stream.push_back(u"C:\\decoy" + std::u16string(1, static_cast<char16_t>(u'A' + i % 26)) +
                         U16(std::to_string(i)));
        if (i % 10 == 0) stream.push_back(u"C:\\payload.exe");
        if (i % 25 == 0) stream.push_back(u"C:\\second.dll");
    }
    for (const std::u16string& name : stream)
        TallyName(&f.tally, name.c_str());

    // One pass only: counts are upper bounds, within the margin the heading states.
    const uint32_t margin = f.tally.counts[f.tally.heap[0]];
    std::u16string s = f.TopTen();
    CHECK(s.find(u"[Most touched files] (approximate: more than 16 names; a count may be up to " +
                 U16(std::to_string(margin)) + u" too high)\r\n") == 0);
    CHECK(ShownCount(s, u"C:\\payload.exe") >= 300);
    CHECK(ShownCount(s, u"C:\\payload.exe") <= 300 + static_cast<long>(margin));
    CHECK(s.find(u"C:\\payload.exe") < s.find(u"decoy"));

    // Counted again: exact counts, and a name left out was seen no more than the stated times.
    for (const std::u16string& name : stream)
        RecountName(&f.tally, name.c_str());
    FinishRecount(&f.tally);
    s = f.TopTen();
    CHECK(s.find(u"[Most touched files] (more than 16 names: the counts are exact, but a name "
                 u"seen no more than " +
                 U16(std::to_string(margin)) + u" times may be missing)\r\n") == 0);
    CHECK(ShownCount(s, u"C:\\payload.exe") == 300);
    const long second = ShownCount(s, u"C:\\second.dll");
    CHECK((second == 120 || (second == -1 && 120 <= margin)));
    CHECK(ShownCount(s, u"C:\\decoyA0") <= 1); // a decoy, if listed, shows its true count
}

TEST_CASE("a tally whose growth is refused counts on in the table it has, every name still found") {
    // Each allocation of the growth from 256 to 512 entries refused in turn, until none is.
    bool grew = false;
    for (int64_t refused = 1; !grew && refused <= 8; ++refused) {
        CAPTURE(refused);
        const int64_t live = LiveAllocationCount();
        {
            TallyFixture f(1024);
            for (int i = 0; i < kTallyFirstEntries; ++i)
                TallyName(&f.tally, (u"C:\\f" + U16(std::to_string(i))).c_str());
            RefuseNthAllocation(refused);
            TallyName(&f.tally, u"C:\\payload.exe"); // the 257th name: the table would grow
            grew = AllocationRefusalPending();
            ResetAllocationFaults();
            CHECK(f.tally.capacity == (grew ? 512 : kTallyFirstEntries));
            CHECK(f.tally.overflow == (grew ? 0 : 1));
            for (int k = 0; k < 3; ++k)
                TallyName(&f.tally, u"C:\\payload.exe");
            CHECK(ShownCount(f.TopTen(), u"C:\\payload.exe") >= 4);
            // Names kept before the refusal are still found, not entered twice.
            TallyName(&f.tally, u"C:\\f200");
            CHECK(f.tally.used == (grew ? kTallyFirstEntries + 1 : kTallyFirstEntries));
        }
        CHECK(LiveAllocationCount() == live);
    }
    CHECK(grew);
}

TEST_CASE("a summary of 5,000 decoy files and one written 500 times lists it first, exactly") {
    TestRecording r(5600);
    for (int i = 0; i < 5000; ++i) {
        char16_t path[32];
        FormatText(path, 32, u"C:\\decoy%d", i);
        r.Add(kCategoryFile, u"Read file", path);
        if (i % 10 == 0) r.Add(kCategoryFile, u"Wrote file", u"C:\\payload.exe");
    }
    const std::u16string files = Section(r.Summary(), u"[Most touched files]");
    CHECK(files.find(u"[Most touched files] (more than 4096 names: the counts are exact, but a "
                     u"name seen no more than ") == 0);
    CHECK(files.find(u"\r\n    500  C:\\payload.exe\r\n      1  C:\\decoy") !=
          std::u16string::npos);
}

TEST_CASE("summary names keep to their line and show hidden characters; so do header lines") {
    TestRecording r;
    r.Add(kCategoryRegistry, u"Set value",
          u"HKCU\\Run\r\n[Most touched files]\r\n    999  C:\\forged");
    r.Add(kCategoryFile, u"Wrote file", u"C:\\Invoice\u202Efdp.exe");
    r.Add(kCategoryNetwork, u"DNS query", u"evil\u2067.tk\n");
    r.app->recordingInfoValid = 1;
    r.app->recordingInfo.blockSize = kRecordingInfoSize;
    CopyBounded(r.app->recordingInfo.target, 520, u"C:\\s\u202Egnp.exe\r\nforged line");
    const std::u16string s = r.Summary();
    CHECK(Section(s, u"[Most touched registry keys]") ==
          u"[Most touched registry keys]\r\n"
          u"      1  HKCU\\Run  [Most touched files]      999  C:\\forged\r\n");
    CHECK(Section(s, u"[Most touched files]") ==
          u"[Most touched files]\r\n      1  C:\\Invoice[U+202E]fdp.exe\r\n");
    CHECK(Section(s, u"[Most looked-up DNS names]") ==
          u"[Most looked-up DNS names]\r\n      1  evil[U+2067].tk \r\n");
    CHECK(s.find(u"Program examined: C:\\s[U+202E]gnp.exe  forged line\r\n") !=
          std::u16string::npos);
    for (char16_t c : s)
        CHECK_FALSE(IsHiddenFormatChar(c));
}

TEST_CASE("while recording, the summary takes rows in first and says what it could not") {
    TestRecording r;
    r.Add(kCategoryFile, u"Read file", u"C:\\a.txt");
    // Rows of nothing fill the store's first block but for 31 rows; then it must grow by 192 kB.
    ReserveRows(r.app, 4096);
    REQUIRE(r.app->rowCapacity == 4096);
    r.app->rowCount = 4096 - 31;
    r.app->trace = AllocRecord<TraceController>();
    {
        SmallQueueRing ring(1u << 16);
        REQUIRE((MakeEventQueue(r.app) && r.app->trace != nullptr));
    }
    ResetTraceController(r.app->trace);
    r.app->recording = 1;
    r.app->droppedHere = 2;
    EventRow row{};
    CopyBounded(row.path, kPathChars, u"C:\\queued.txt");
    for (int i = 0; i < 40; ++i)
        QueueRow(r.app, &row);
    SetClockOverride(133480000000000000);
    char16_t now[64];
    FormatLongTime(LocalNow(), now, 64);

    RefuseAllocationsAbove(190000); // the store's growth, not the summary's own buffers
    const std::u16string s = r.Summary();
    ResetAllocationFaults();
    ClearClockOverride();
    CHECK(s.find(u"=== Summary ===  Total events: 4096\r\n") == 0);
    CHECK(s.find(u"\r\nThe recording is still going: this is what had been taken in at " +
                 std::u16string(now) +
                 u".\r\n9 more recorded events could not be taken in and are not counted "
                 u"above.\r\n\r\n[By category]  File: 4096 ") != std::u16string::npos);
    // The counters were gathered afresh before the notes were written.
    CHECK(s.find(u"[This record is incomplete]\r\n  2 event(s) arrived faster than they could be "
                 u"taken in.\r\n") != std::u16string::npos);
    CHECK(Section(s, u"[Most touched files]") == u"[Most touched files]\r\n"
                                                 u"     31  C:\\queued.txt\r\n"
                                                 u"      1  C:\\a.txt\r\n");
}

TEST_CASE("process tree placement") {
    TestRecording none;
    none.Add(kCategoryFile, u"Read file", u"C:\\a");
    CHECK(Place(none).empty());
    SUBCASE("the program at the root, children and a grandchild under their parents") {
        TestRecording r;
        r.Start(100, 7, u"a.exe");
        r.Start(200, 100, u"cmd.exe");
        r.Start(300, 200, u"ping.exe");
        r.Start(201, 100, u"b.exe");
        r.Start(200, 100, u"reused.exe"); // pid reuse: the first start row wins
        CHECK(Place(r) == u"a.exe<root cmd.exe<a.exe ping.exe<cmd.exe b.exe<a.exe ");
    }
    SUBCASE("a child whose parent's row comes later is placed in the second pass") {
        TestRecording r;
        r.Start(300, 200, u"late.exe");
        r.Start(100, 7, u"a.exe");
        r.Start(200, 100, u"cmd.exe");
        r.Start(201, 200, u"sib.exe");
        CHECK(Place(r) == u"a.exe<root cmd.exe<a.exe sib.exe<cmd.exe late.exe<cmd.exe ");
    }
    SUBCASE("a process that is its own parent, and a parent loop, end at the root") {
        TestRecording r;
        r.Start(5, 5, u"self.exe");
        r.Start(10, 11, u"x.exe");
        r.Start(11, 10, u"y.exe");
        r.Start(12, 99, u"");
        CHECK(Place(r) == u"?<root self.exe<root x.exe<root y.exe<root ");
    }
}

TEST_CASE("the View windows: the summary keeps its own font, the tree its placement") {
    ResetHeadlessUi();
    ResetHeadlessWindows();
    TestRecording r;
    r.Start(100, 7, u"a.exe");
    r.Start(200, 100, u"cmd.exe");
    r.app->window->uiFont = HeadlessMakeFont();

    // Without the fixed-pitch font the summary borrows uiFont but never keeps it, so the
    // clean-up cannot delete it twice; the next summary tries again and keeps what it made.
    HeadlessSetSummaryFontFails(true);
    ShowSummaryWindow(r.app);
    CHECK(r.app->window->summaryFont == nullptr);
    HeadlessSetSummaryFontFails(false);
    ShowSummaryWindow(r.app);
    const FontHandle made = r.app->window->summaryFont;
    CHECK(made != nullptr);
    ShowSummaryWindow(r.app);
    CHECK(r.app->window->summaryFont == made);
    CHECK(HeadlessSummaryWindowCount() == 3);
    CHECK(std::u16string(HeadlessSummaryText()).rfind(u"=== Summary ===  Total events: 2\r\n", 0) ==
          0);

    ShowProcessTreeWindow(r.app);
    REQUIRE(HeadlessProcessTreeItemCount() == 2);
    CHECK(std::u16string(HeadlessProcessTreeItemText(1)) == u"cmd.exe (PID: 200)");
    CHECK(HeadlessProcessTreeItemParent(1) == 0);
    // The clean-up frees the sessions and launcher too; the fixture's second run finds nothing.
    r.app->trace = AllocRecord<TraceController>();
    ResetTraceController(r.app->trace);
    r.app->launcher = AllocRecord<TargetLauncher>();
    InitLauncher(r.app->launcher);
    CleanUpRecording(r.app);
    CHECK((r.app->trace == nullptr && r.app->launcher == nullptr));
    CHECK(HeadlessModel()->badFontDeletes == 0);
    CHECK(HeadlessModel()->fontsDeleted == 2);
}
