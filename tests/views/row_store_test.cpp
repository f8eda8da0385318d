#include "app/view_changes.h"
#include "app/window_layout.h"
#include "record/stored_rows.h"
#include "views/row_store.h"

#include <cstring>
#include <string>
#include <vector>

#include "app/recording_setup.h"
#include "base/atomic.h"
#include "base/format.h"
#include "base/text.h"
#include "capture/event_queue.h"
#include "doctest.h"
#include "platform/memory.h"
#include "platform/sim/headless_ui.h"
#include "support/small_ring.h"
#include "support/text_check.h"
#include "support/headless_recording.h"

using namespace olv;

namespace {

struct StoreFixture : HeadlessRecording {
    const HeadlessList& list = HeadlessModel()->list;
    // Room for more than one batch (8192 rows) waiting; the full ring proves nothing more.
    void MakeRing() {
        SmallQueueRing ring(1u << 20);
        REQUIRE(MakeEventQueue(app));
    }
    void Queue(const EventRow& row) { QueueRow(app, &row); }
    // What the window does after an operation: draws the reported changes on the list.
    void Draw() { ApplyWindowViewChanges(app); }
    std::string Describe(const char16_t* prefix = u"", size_t capacity = 8192) {
        char16_t out[8192];
        DescribeView(app, out, capacity, prefix);
        return U8(out);
    }
};

EventRow Row(uint32_t category, const char16_t* operation, const char16_t* path = u"",
             const char16_t* detail = u"", const char16_t* result = u"", uint32_t severity = 0) {
    EventRow row{};
    row.category = category;
    CopyBounded(row.operation, kOperationChars, operation);
    CopyBounded(row.path, kPathChars, path);
    CopyBounded(row.detail, kDetailChars, detail);
    CopyBounded(row.result, kResultChars, result);
    row.severity = severity;
    return row;
}

} // namespace

TEST_CASE_FIXTURE(StoreFixture, "both arrays grow from 4096 by doubling, and only when needed") {
    EventRow row = Row(kCategoryFile, u"ReadFile");
    for (uint32_t i = 0; i < 4097; ++i) {
        row.threadId = i;
        AppendRow(app, &row);
        if (i == 0) CHECK(app->rowCapacity == 4096);
    }
    CHECK(app->rowCapacity == 8192);
    CHECK(app->shownCapacity == 8192);
    CHECK(StoredThreadId(app, 4096) == 4096);
    // One drawing covers all the rows that arrived since the last.
    CHECK(app->changes.countChanged == 1);
    CHECK(app->changes.followArrivals == 1);
    CHECK(app->changes.repaint == kRepaintNone); // new last items paint themselves
    Draw();
    CHECK(list.itemCountSets == 1);
    CHECK(list.itemCount == 4097);
    CHECK(list.lastMadeVisible == 4096);

    const int32_t cases[][3] = {// capacity, needed, expected
                                {0, -5, 0},
                                {4096, 4096, 4096},
                                {0, 10000, 16384}};
    for (const auto& c : cases) {
        CAPTURE(c[1]);
        FreeBlock(app->shownRows);
        app->shownRows = nullptr;
        app->shownCapacity = app->shownCount = 0;
        ReserveShownRows(app, c[0]);
        ReserveShownRows(app, c[1]);
        CHECK(app->shownCapacity == c[2]);
    }
    // A capacity that would pass the largest signed 32-bit value is refused without allocating.
    FreeBlock(app->shownRows);
    app->shownRows = nullptr;
    app->shownCapacity = 1 << 30;
    ReserveShownRows(app, (1 << 30) + 1);
    CHECK((app->shownCapacity == 1 << 30 && app->shownRows == nullptr));
    app->shownCapacity = 0;
}

TEST_CASE_FIXTURE(StoreFixture,
                  "refused memory: AppendRow counts the row, the shown list is marked") {
    EventRow row = Row(kCategoryProcess, u"Started process");
    app->changes = ViewChanges{};
    RefuseNthAllocation(1);
    AppendRow(app, &row);
    CHECK(app->rowCount == 0);
    CHECK(AtomicLoad(app->droppedHere) == 1);
    // The loss is told at once; the list has nothing new.
    CHECK(app->changes.statusChanged == 1);
    CHECK(app->changes.countChanged == 0);

    // The rows and the text store's entries, pool and index are granted, shownRows refused.
    RefuseNthAllocation(5);
    AppendRow(app, &row);
    CHECK(app->rowCount == 1);
    CHECK(app->shownCount == 0);
    CHECK(app->shownListIncomplete == 1);
    CHECK(AtomicLoad(app->droppedHere) == 1);

    RefuseNthAllocation(1);
    RebuildShownRows(app); // still refused: stays marked
    CHECK(app->shownListIncomplete == 1);
    RebuildShownRows(app); // a full scan clears the mark
    CHECK(app->shownListIncomplete == 0);
    CHECK(app->shownCount == 1);
}

TEST_CASE_FIXTURE(StoreFixture, "refused memory during intake leaves the rows queued and the "
                                "drain reports them") {
    MakeRing();
    ReserveRows(app, 4096);
    app->rowCount = 4090; // six free slots before the store must grow
    for (int i = 0; i < 10; ++i)
        Queue(Row(kCategoryFile, u"WriteFile"));
    RefuseAllocationsAbove(4096 * sizeof(CompactRow)); // the store's next block
    IngestQueuedRows(app);
    CHECK(app->rowCount == 4096);
    CHECK(DrainEventQueue(app) == 4);
    CHECK(AtomicLoad(app->droppedHere) == 0);
    ResetAllocationFaults();
    CHECK(DrainEventQueue(app) == 0);
    CHECK(app->rowCount == 4100);
}

TEST_CASE_FIXTURE(StoreFixture, "a batch takes at most 8192 rows, keeps order and shows only the "
                                "view; a rebuild repaints with erasing and does not scroll") {
    MakeRing();
    app->view.categoryOn[kCategoryRegistry] = 0;
    for (uint32_t i = 0; i < 9000; ++i) {
        EventRow row = Row(i % 2 == 0 ? kCategoryFile : kCategoryRegistry, u"Op");
        row.threadId = i;
        Queue(row);
    }
    IngestQueuedRows(app);
    CHECK(app->rowCount == kIngestBatch);
    CHECK(app->shownCount == kIngestBatch / 2);
    CHECK(StoredThreadId(app, app->shownRows[1]) == 2);
    CHECK(QueuedRowCount(app) == 9000 - kIngestBatch);
    CHECK(app->changes.countChanged == 1);
    CHECK(app->changes.repaint == kRepaintItems);
    CHECK(app->changes.followArrivals == 1);
    CHECK(list.itemCountSets == 0); // nothing drawn by the core itself
    Draw();
    CHECK(!AnyViewChange(app->changes));
    CHECK(list.itemCount == kIngestBatch / 2);
    CHECK(list.invalidations == 1);
    CHECK(list.erasingInvalidations == 0);
    CHECK(list.lastMadeVisible == kIngestBatch / 2 - 1);

    app->autoScroll = 0;
    IngestQueuedRows(app);
    CHECK(app->rowCount == 9000);
    CHECK(app->changes.followArrivals == 0);
    Draw();
    CHECK(list.madeVisibleCalls == 1);
    const uint32_t sets = list.itemCountSets;
    CHECK(DrainEventQueue(app) == 0); // empty: the list is not touched
    CHECK(!AnyViewChange(app->changes));
    Draw();
    CHECK(list.itemCountSets == sets);

    app->autoScroll = 1;
    app->view.categoryOn[kCategoryFile] = 0;
    RebuildShownRows(app);
    CHECK(app->shownCount == 0);
    CHECK(app->changes.repaint == kRepaintAll);
    CHECK(app->changes.statusChanged == 1);
    CHECK(app->changes.followArrivals == 0); // a rebuild brings no new rows to follow
    Draw();
    CHECK(list.itemCount == 0);
    CHECK(list.erasingInvalidations == 1);
    CHECK(list.madeVisibleCalls == 1);
}

TEST_CASE_FIXTURE(StoreFixture, "categories, suspicious-only and the operation of the view") {
    struct Case {
        uint8_t fileOn;
        bool suspiciousOnly;
        uint32_t category;
        uint32_t severity;
        bool passes;
    };
    const Case cases[] = {
        {1, false, kCategoryFile, 0, true},
        {0, false, kCategoryFile, 0, false},
        {0, false, kCategoryRegistry, 0, true},
        {0, false, 4, 0, true},
        {1, true, kCategoryFile, 0, false},
        {1, true, kCategoryFile, 2, true},
        {1, true, 7, 0, false},
    };
    for (const Case& c : cases) {
        CAPTURE(c.category);
        app->view.categoryOn[kCategoryFile] = c.fileOn;
        app->view.suspiciousOnly = c.suspiciousOnly ? 1 : 0;
        EventRow row = Row(c.category, u"Op", u"", u"", u"", c.severity);
        CHECK(RowPassesView(app, &row) == c.passes);
    }

    // Operations: none named passes everything; a name is compared exactly, case and all.
    app->view.suspiciousOnly = 0;
    EventRow rows[3] = {Row(kCategoryFile, u"RegOpenKey"), Row(kCategoryFile, u"regopenkey"),
                        Row(kCategoryFile, u"ReadFile")};
    for (const EventRow& r : rows)
        AppendRow(app, &r);
    REQUIRE(app->operationNameCount == 3);
    CopyBounded(app->view.operation, kOperationNameChars, u"RegOpenKey");
    CHECK(RowPassesView(app, &rows[0]));
    CHECK_FALSE(RowPassesView(app, &rows[1]));
    CHECK_FALSE(RowPassesView(app, &rows[2]));
    app->view.operation[0] = 0;
    for (const EventRow& r : rows)
        CHECK(RowPassesView(app, &r));
}

TEST_CASE_FIXTURE(StoreFixture,
                  "the text filter folds only A to Z and searches four fields in order") {
    EventRow other = Row(0, u"Op");
    CopyBounded(other.process, kProcessChars, u"evil.exe");
    CopyBounded(other.threat, kThreatChars, u"evil");
    struct Case {
        const char16_t* filter;
        EventRow row;
        bool matches;
    };
    const Case cases[] = {
        {u"", Row(0, u""), true},
        {u"CREATE", Row(0, u"CreateFile"), true},
        {u"temp", Row(0, u"Op", u"C:\\TEMP\\x.txt"), true},
        {u"Port 53", Row(2, u"Op", u"", u"port 53 udp"), true},
        {u"success", Row(0, u"Op", u"", u"", u"SUCCESS"), true},
        {u"\u00e9", Row(0, u"Op", u"caf\u00e9"), true},
        {u"\u00e9", Row(0, u"Op", u"CAF\u00c9"), false},
        {u"evil", other, false}, // process name and threat text are not searched
    };
    for (const Case& c : cases) {
        CAPTURE(U8(c.filter));
        CopyBounded(app->view.filter, kFilterTextChars + 1, c.filter);
        CHECK(RowMatchesTextFilter(app, &c.row) == c.matches);
    }
    // A filter at the very end of a full-length path is found, and nothing past the field is read.
    EventRow longRow = Row(0, u"Op");
    for (size_t i = 0; i < kPathChars - 1; ++i)
        longRow.path[i] = u'a';
    longRow.path[kPathChars - 2] = u'Z';
    CopyBounded(app->view.filter, kFilterTextChars + 1, u"az");
    CHECK(RowMatchesTextFilter(app, &longRow));
}

TEST_CASE_FIXTURE(StoreFixture, "operation names: first-seen order, 128 at most, the rest stay "
                                "reachable; ClearRows keeps the view") {
    MakeRing();
    char16_t name[16];
    for (int i = 0; i < 130; ++i) {
        CopyAscii(name, 16, "Op");
        name[2] = static_cast<char16_t>(u'A' + i / 26);
        name[3] = static_cast<char16_t>(u'a' + i % 26);
        name[4] = 0;
        Queue(Row(kCategoryFile, name));
        Queue(Row(kCategoryFile, name)); // a repeat learns nothing
    }
    Queue(Row(kCategoryFile, u""));
    IngestQueuedRows(app);
    CHECK(app->operationNameCount == kMaxOperationNames);
    CHECK(U8(app->operationNames[0]) == "OpAa");
    CHECK(U8(app->operationNames[kMaxOperationNames - 1]) == "OpEx");
    CHECK(HeadlessModel()->combo.count == 1); // the window fills its combo box, not the core
    CHECK(app->shownCount == app->rowCount); // "All operations" shows the 129th name too
    ViewSpec view = app->view;
    CopyBounded(view.filter, kFilterTextChars + 1, u"opey");
    REQUIRE(SetView(app, view));
    CHECK(app->shownCount == 2);

    view.categoryOn[kCategoryFile] = 0;
    CopyBounded(view.operation, kOperationNameChars, u"OpAa");
    REQUIRE(SetView(app, view));
    ClearRows(app);
    CHECK(app->view.operation[0] == 0); // no operation of the rows is left to name
    CHECK(app->rowCount == 0);
    CHECK(app->operationNameCount == 0);
    CHECK(app->rowCapacity == 4096);
    CHECK(app->operationNamesCleared == 1); // a window showing the names starts over
    // Rows arriving afterwards meet the same filter text and check boxes.
    Queue(Row(kCategoryFile, u"OpEy"));
    Queue(Row(kCategoryRegistry, u"OpEy"));
    Queue(Row(kCategoryRegistry, u"Other"));
    IngestQueuedRows(app);
    CHECK(app->rowCount == 3);
    REQUIRE(app->shownCount == 1);
    CHECK(app->shownRows[0] == 1);
}

TEST_CASE_FIXTURE(StoreFixture, "DescribeView: the three forms, every restriction in order, the "
                                "prefix, the cut") {
    CHECK(Describe(u"# ") == "# All 0 recorded rows are in this file.\r\n");
    EventRow file = Row(kCategoryFile, u"ReadFile");
    EventRow reg = Row(kCategoryRegistry, u"RegSetValue");
    AppendRow(app, &file);
    AppendRow(app, &reg);
    AppendRow(app, &reg);

    ViewSpec view = app->view;
    view.categoryOn[kCategoryRegistry] = 0;
    REQUIRE(SetView(app, view));
    const std::string hidden = "This file holds 1 of the 3 rows recorded. The other 2 were hidden "
                               "by the view when it was written:\r\n";
    CHECK(Describe(u"# ") == "# " + hidden + "#   Registry rows off.\r\n");

    app->view.categoryOn[kCategoryRegistry] = 1; // the view changed after the rebuild
    CHECK(Describe() == hidden + "  the view in use.\r\n");

    for (uint8_t& on : app->view.categoryOn)
        on = 0;
    app->view.suspiciousOnly = 1;
    CopyBounded(app->view.operation, kOperationNameChars, u"RegSetValue");
    std::u16string filter = u"Key" + std::u16string(250, u'x'); // cut at 200 characters
    CopyBounded(app->view.filter, kFilterTextChars + 1, filter.c_str());
    CHECK(Describe() == hidden +
                            "  File rows off, Registry rows off, Network rows off, Process rows "
                            "off, marked rows only, operation \"RegSetValue\" only, text filter "
                            "\"Key" +
                            std::string(197, 'x') + "\".\r\n");
    // The whole text never exceeds capacity - 1.
    CHECK(Describe(u"# ", 20) == "# This file holds 1");

    // Rows missing for want of memory.
    app->view = DefaultViewSpec();
    FreeBlock(app->shownRows);
    app->shownRows = nullptr;
    app->shownCapacity = 0;
    RefuseNthAllocation(1);
    RebuildShownRows(app);
    CHECK(Describe(u"> ") ==
          "> This file holds 0 of the 3 rows recorded. Why the other 3 are absent is not known: "
          "some could not be added to the list of shown rows for want of memory, so the view "
          "alone does not account for it.\r\n");
}

TEST_CASE_FIXTURE(StoreFixture, "rows taken in from the ring come back as they were queued; a row "
                                "the store refuses is counted and the next keeps its own texts") {
    MakeRing();
    std::vector<EventRow> rows;
    for (uint32_t i = 0; i < 60; ++i) {
        EventRow row = Row(i % 3 == 0 ? kCategoryFile : kCategoryRegistry, u"Read file");
        FormatText(row.path, kPathChars, u"C:\\dir%u\\file.txt", i / 4); // kept by four rows
        CopyBounded(row.process, kProcessChars, i % 2 == 0 ? u"a.exe" : u"b.exe");
        row.time = SystemTime{2026, 12, 1, 7, 15, 4, 9, static_cast<uint16_t>(i / 7)};
        rows.push_back(row);
    }
    // A category above a byte is refused (only a damaged row has one); the next row's record
    // leaves out the path it shares with the refused row, not with the row stored before.
    rows[58].category = 300;
    std::memset(rows[58].path, 0, sizeof rows[58].path);
    CopyBounded(rows[58].path, kPathChars, u"C:\\new");
    rows[59] = rows[58];
    rows[59].category = kCategoryFile;
    for (const EventRow& row : rows)
        Queue(row);
    CHECK(DrainEventQueue(app) == 0);
    CHECK(AtomicLoad(app->droppedHere) == 1);
    REQUIRE(app->rowCount == 59);
    rows.erase(rows.begin() + 58);
    EventRow back;
    for (int32_t i = 0; i < 59; ++i) {
        ReadStoredRow(app, i, &back);
        INFO("row " << i);
        CHECK(std::memcmp(&back, &rows[static_cast<size_t>(i)], sizeof back) == 0);
    }
}
