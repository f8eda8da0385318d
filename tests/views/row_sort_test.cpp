// Sorting the shown rows: every column in both directions against a reference stable sort of
// random rows, ties in recording order, texts that agree on long beginnings, rows arriving while
// sorted, the header's cycle and arrow, the order in the status bar and the files, and the
// fall-back when memory is refused.
#include "views/row_sort.h"

#include <algorithm>
#include <array>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/recording_setup.h"
#include "app/view_changes.h"
#include "app/window_layout.h"
#include "base/text.h"
#include "capture/event_queue.h"
#include "doctest.h"
#include "platform/memory.h"
#include "platform/sim/headless_ui.h"
#include "record/stored_rows.h"
#include "support/small_ring.h"
#include "support/test_random.h"
#include "support/text_check.h"
#include "views/row_store.h"
#include "views/view_texts.h"
#include "support/headless_recording.h"

using namespace olv;

namespace {

// Texts from a small alphabet with shared beginnings, so that many rows tie on the first key
// (and on several after it), some tie whole, and case differs where only folding makes equal.
void RandomText(TestRandom& r, char16_t* out, size_t chars) {
    static const char16_t kPieces[][16] = {
        u"C:\\W", u"c:\\w", u"in", u"IN", u"d", u"\u00e9", u"x", u"C:\\Windows\\", u"", u"zz"};
    out[0] = 0;
    const uint32_t pieces = r.Below(9);
    for (uint32_t i = 0; i < pieces; ++i)
        AppendBounded(out, chars, kPieces[r.Below(10)]);
}

EventRow RandomRow(TestRandom& r) {
    EventRow row{};
    row.time.year = static_cast<uint16_t>(2024 + r.Below(2));
    row.time.month = static_cast<uint16_t>(1 + r.Below(2));
    row.time.day = 1;
    row.time.hour = static_cast<uint16_t>(r.Below(3));
    row.time.minute = static_cast<uint16_t>(r.Below(3));
    row.time.second = static_cast<uint16_t>(r.Below(2));
    row.time.milliseconds = static_cast<uint16_t>(r.Below(4) * 300);
    row.severity = r.Below(4);
    row.category = r.Below(6);
    row.pid = 4 * r.Below(5);
    RandomText(r, row.process, 20);
    RandomText(r, row.operation, kOperationChars);
    RandomText(r, row.path, kPathChars);
    RandomText(r, row.detail, 24);
    RandomText(r, row.result, kResultChars);
    return row;
}

// The reference: each column's keys written out plainly, compared as the list should order them.
std::u16string Folded(const char16_t* text) {
    std::u16string s;
    for (size_t i = 0; text[i] != 0; ++i)
        s.push_back(text[i] >= u'A' && text[i] <= u'Z' ? char16_t(text[i] + 32) : text[i]);
    return s;
}

int Three(bool less, bool greater) {
    return less ? -1 : (greater ? 1 : 0);
}

template <typename T> int Cmp(const T& a, const T& b) {
    return Three(a < b, b < a);
}

// A row's texts folded, made once per row for the reference.
struct FoldedTexts {
    std::u16string process, operation, path, detail, result;
};

FoldedTexts FoldRow(const EventRow& x) {
    return FoldedTexts{Folded(x.process), Folded(x.operation), Folded(x.path), Folded(x.detail),
                       Folded(x.result)};
}

int ReferenceCompare(const EventRow& a, const FoldedTexts& fa, const EventRow& b,
                     const FoldedTexts& fb, int column) {
    auto timeOf = [](const EventRow& x) {
        return std::array<int, 7>{x.time.year,   x.time.month,  x.time.day,         x.time.hour,
                                  x.time.minute, x.time.second, x.time.milliseconds};
    };
    auto label = [](const EventRow& x) { return std::u16string_view(CategoryLabel(x.category)); };
    switch (column) {
    case kColumnTime:
        return Cmp(timeOf(a), timeOf(b));
    case kColumnSeverity:
        return Cmp(a.severity, b.severity);
    case kColumnProcess: {
        const int c = Cmp(a.pid, b.pid);
        return c != 0 ? c : Cmp(fa.process, fb.process);
    }
    case kColumnCategory:
        return Cmp(label(a), label(b));
    case kColumnOperation:
        return Cmp(fa.operation, fb.operation);
    case kColumnPath: {
        const int c = Cmp(fa.path, fb.path);
        return c != 0 ? c : Cmp(fa.detail, fb.detail);
    }
    case kColumnResult:
        return Cmp(fa.result, fb.result);
    default:
        return 0;
    }
}

std::vector<FoldedTexts> FoldRows(const std::vector<EventRow>& rows) {
    std::vector<FoldedTexts> folded;
    for (const EventRow& row : rows)
        folded.push_back(FoldRow(row));
    return folded;
}

// folded: FoldRows(rows), made once for the many orders of the same rows.
std::vector<int32_t> ReferenceOrder(const std::vector<EventRow>& rows,
                                    const std::vector<FoldedTexts>& folded,
                                    std::vector<int32_t> order, int column, bool descending) {
    std::sort(order.begin(), order.end());
    std::stable_sort(order.begin(), order.end(), [&](int32_t a, int32_t b) {
        const int c = ReferenceCompare(rows[a], folded[a], rows[b], folded[b], column);
        return descending ? c > 0 : c < 0;
    });
    return order;
}

std::vector<int32_t> ReferenceOrder(const std::vector<EventRow>& rows, std::vector<int32_t> order,
                                    int column, bool descending) {
    return ReferenceOrder(rows, FoldRows(rows), std::move(order), column, descending);
}

struct SortFixture : HeadlessRecording {
    std::vector<int32_t> Shown() const {
        return std::vector<int32_t>(app->shownRows, app->shownRows + app->shownCount);
    }
    std::vector<EventRow> Stored() const {
        std::vector<EventRow> rows(static_cast<size_t>(app->rowCount));
        for (int32_t i = 0; i < app->rowCount; ++i)
            ReadStoredRow(app, i, &rows[static_cast<size_t>(i)]);
        return rows;
    }
};

EventRow Named(const char16_t* path, uint32_t severity = 0) {
    EventRow row{};
    row.category = kCategoryFile;
    CopyBounded(row.operation, kOperationChars, u"Read file");
    CopyBounded(row.path, kPathChars, path);
    row.severity = severity;
    return row;
}

void Add(Recording* app, const EventRow& row) {
    AppendRow(app, &row);
}

// A store holding rows, in recording order.
struct Store : SortFixture {
    explicit Store(const std::vector<EventRow>& rows) {
        for (const EventRow& row : rows)
            Add(app, row);
    }
};

} // namespace

TEST_CASE("every column, both directions, equals a stable sort of random rows") {
    TestRandom r{2024};
    for (int round = 0; round < 4; ++round) {
        const int32_t n = round == 0 ? 3 : 1500 + static_cast<int32_t>(r.Below(1500));
        std::vector<EventRow> rows;
        for (int32_t i = 0; i < n; ++i)
            rows.push_back(RandomRow(r));
        const Store store(rows);
        const std::vector<FoldedTexts> folded = FoldRows(rows);
        // A shown list is a subset; later rounds start from a shuffled one (the list was
        // sorted by another column before).
        std::vector<int32_t> shown;
        for (int32_t i = 0; i < n; ++i) {
            if (r.Below(5) != 0) shown.push_back(i);
        }
        for (int column = 0; column < kSortableColumns; ++column) {
            for (bool descending : {false, true}) {
                CAPTURE(round);
                CAPTURE(column);
                CAPTURE(descending);
                std::vector<int32_t> start = shown;
                if (round >= 2) {
                    for (size_t i = start.size(); i > 1; --i)
                        std::swap(start[i - 1], start[r.Below(static_cast<uint32_t>(i))]);
                }
                std::vector<int32_t> got = start;
                REQUIRE(SortRowIndexes(store.app, got.data(), static_cast<int32_t>(got.size()),
                                       column, descending));
                CHECK(got == ReferenceOrder(rows, folded, start, column, descending));
                // The comparison the arrivals use agrees with the sort.
                for (size_t i = 1; i < got.size(); ++i) {
                    REQUIRE(CompareRowsForColumn(store.app, got[i - 1], got[i], column,
                                                 descending) < 0);
                }
            }
        }
    }
}

TEST_CASE("long texts that agree for hundreds of characters sort by where they differ") {
    // Runs of equal keys far longer than a key, many times over: the refinement goes deep.
    std::vector<EventRow> rows(300);
    for (size_t i = 0; i < rows.size(); ++i) {
        std::u16string path(900, u'a');
        path[850 + i % 40] = u'b';
        path += char16_t(u'0' + i % 7);
        CopyBounded(rows[i].path, kPathChars, path.c_str());
    }
    const Store store(rows);
    std::vector<int32_t> order(rows.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = static_cast<int32_t>(i);
    for (bool descending : {false, true}) {
        std::vector<int32_t> got = order;
        REQUIRE(SortRowIndexes(store.app, got.data(), 300, kColumnPath, descending));
        CHECK(got == ReferenceOrder(rows, order, kColumnPath, descending));
    }
}

// Paths of many rows that agree on long beginnings (so that the runs left equal by one key are
// long and sorted by keys again further in), differing in case only, beyond eight characters, at
// a character from 0x80 on or at the highest ASCII one, or ending; a few rows of each beginning
// differ early, where a sample of the run may not see them.
std::vector<EventRow> PathsWithLongBeginnings(TestRandom& r, size_t count) {
    static const char16_t* const kBeginnings[] = {
        u"C:\\Windows\\System32\\en-US\\module", u"c:\\windows\\system32\\EN-us\\MODULE",
        u"C:\\Users\\analyst\\AppData\\Local\\Temp\\~DF", u"HKLM\\SYSTEM\\\u00e9t\u00e9\\",
        u"\u0100\u0101\u00ff\\x"};
    static const char16_t kTail[] = {
        u'0', u'1',  u'9',      u'.',      u'a',      u'A',      u'z',      u'Z',
        u'_', u'\\', u'\u007f', u'\u0080', u'\u00e9', u'\u00ff', u'\u0100', u'\uffff'};
    std::vector<EventRow> rows(count);
    for (size_t i = 0; i < count; ++i) {
        std::u16string path = kBeginnings[r.Below(5)];
        if (r.Below(200) == 0) path[2 + r.Below(3)] = u'q'; // differs early
        const uint32_t digits = r.Below(14);
        for (uint32_t d = 0; d < digits; ++d)
            path += kTail[r.Below(r.Below(3) == 0 ? 16 : 9)];
        CopyBounded(rows[i].path, kPathChars, path.c_str());
        CopyBounded(rows[i].detail, kDetailChars, r.Below(2) == 0 ? u"B" : u"a");
        CopyBounded(rows[i].process, kProcessChars, path.c_str() + path.size() / 2);
        CopyBounded(rows[i].result, kResultChars, path.c_str() + path.size() % 5);
    }
    return rows;
}

TEST_CASE("text columns sort rows that agree on long beginnings as the reference does") {
    TestRandom r{31};
    for (int round = 0; round < 2; ++round) {
        const std::vector<EventRow> rows = PathsWithLongBeginnings(r, 1500 + 1500 * round);
        const Store store(rows);
        const std::vector<FoldedTexts> folded = FoldRows(rows);
        std::vector<int32_t> shown;
        for (int32_t i = 0; i < static_cast<int32_t>(rows.size()); ++i)
            shown.push_back(i);
        for (int column : {kColumnPath, kColumnProcess, kColumnResult}) {
            for (bool descending : {false, true}) {
                CAPTURE(round);
                CAPTURE(column);
                CAPTURE(descending);
                std::vector<int32_t> got = shown;
                REQUIRE(SortRowIndexes(store.app, got.data(), static_cast<int32_t>(got.size()),
                                       column, descending));
                CHECK(got == ReferenceOrder(rows, folded, shown, column, descending));
                for (size_t i = 1; i < got.size(); ++i) {
                    REQUIRE(CompareRowsForColumn(store.app, got[i - 1], got[i], column,
                                                 descending) < 0);
                }
            }
        }
    }
}

// Texts as a compact store holds them: one byte a unit when every unit is below 256, else two
// bytes a unit at an odd address (a store's wide texts need not be aligned).
struct HeldTexts {
    std::vector<std::vector<uint8_t>> bytes;
    std::vector<TextView> views;
    void Add(const std::u16string& text, bool narrow) {
        std::vector<uint8_t> b(1);
        for (char16_t c : text) {
            b.push_back(static_cast<uint8_t>(c & 0xFF));
            if (!narrow) b.push_back(static_cast<uint8_t>(c >> 8));
        }
        bytes.push_back(std::move(b));
        views.push_back(TextView{nullptr, static_cast<uint32_t>(text.size()), !narrow});
    }
    void Seal() {
        for (size_t i = 0; i < views.size(); ++i)
            views[i].data = bytes[i].data() + 1;
    }
};

TEST_CASE("texts of one and of two bytes a unit mixed sort alike past their first keys") {
    // Texts that agree on long beginnings and differ after them, in case only, in a unit from
    // 0x80 on (which a narrow key cannot hold), or by ending; each held narrow or wide at random,
    // so that runs of equal keys mix both forms. Some texts are the same text held twice.
    TestRandom r{99};
    static const char16_t* const kBeginnings[] = {u"C:\\Program Files\\Vendor\\tool",
                                                  u"c:\\PROGRAM FILES\\vendor\\TOOL",
                                                  u"HKLM\\Software\\\u00e9t\u00e9\\", u""};
    static const char16_t kTail[] = {u'a', u'B', u'b', u'0', u'~', u'\u007f', u'\u0080',
                                     u'\u00e9', u'\u00ff', u'\u0100', u'\u4e2d', u'\uffff'};
    std::vector<std::u16string> texts;
    HeldTexts held;
    for (int i = 0; i < 3000; ++i) {
        std::u16string text = i > 0 && r.Below(8) == 0 ? texts[r.Below(static_cast<uint32_t>(i))]
                                                       : std::u16string(kBeginnings[r.Below(4)]);
        const uint32_t more = r.Below(20);
        for (uint32_t k = 0; k < more; ++k)
            text += kTail[r.Below(r.Below(4) == 0 ? 12 : 5)];
        bool fitsNarrow = true;
        for (char16_t c : text)
            fitsNarrow = fitsNarrow && c < 0x100;
        texts.push_back(text);
        held.Add(text, fitsNarrow && r.Below(2) == 0);
    }
    held.Seal();
    std::vector<FoldedTexts> folded;
    for (const std::u16string& t : texts) {
        EventRow row{};
        CopyBounded(row.path, kPathChars, t.c_str());
        folded.push_back(FoldRow(row));
    }
    std::vector<int32_t> order(texts.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = static_cast<int32_t>(i);
    for (bool descending : {false, true}) {
        CAPTURE(descending);
        std::vector<int32_t> want = order;
        std::stable_sort(want.begin(), want.end(), [&](int32_t a, int32_t b) {
            const int c = Cmp(folded[a].path, folded[b].path);
            return descending ? c > 0 : c < 0;
        });
        std::vector<int32_t> got = order;
        REQUIRE(SortTextViews(held.views.data(), got.data(), static_cast<int32_t>(got.size()),
                              descending));
        CHECK(got == want);
        for (size_t i = 1; i < got.size(); ++i) {
            const int c = CompareTextViews(held.views[got[i - 1]], held.views[got[i]]);
            REQUIRE((descending ? -c : c) <= 0);
            REQUIRE(c == Cmp(folded[got[i - 1]].path, folded[got[i]].path));
        }
    }
    // The same text held both ways is equal to itself.
    HeldTexts both;
    both.Add(u"C:\\Temp\\Report FINAL.docx", true);
    both.Add(u"c:\\temp\\report final.DOCX", false);
    both.Seal();
    CHECK(CompareTextViews(both.views[0], both.views[1]) == 0);
    CHECK(CompareTextViews(both.views[1], both.views[0]) == 0);
}

TEST_CASE_FIXTURE(SortFixture, "the header cycles ascending, descending, recording order") {
    for (const char16_t* p : {u"b", u"a", u"c", u"a", u"B"})
        Add(app, Named(p));
    CHECK(Shown() == std::vector<int32_t>{0, 1, 2, 3, 4});

    ApplyWindowViewChanges(app);
    int32_t item = SortByColumnClick(app, kColumnPath, 2); // focus on row 2 ("c")
    CHECK(Shown() == std::vector<int32_t>{1, 3, 0, 4, 2});
    CHECK(item == 4);
    CHECK(SortArrowOfColumn(app, kColumnPath) == 1);
    CHECK(SortArrowOfColumn(app, kColumnTime) == 0);

    item = SortByColumnClick(app, kColumnPath, item);
    CHECK(Shown() == std::vector<int32_t>{2, 0, 4, 1, 3}); // equal rows stay in recording order
    CHECK(item == 0);
    CHECK(SortArrowOfColumn(app, kColumnPath) == -1);
    // Reported for the window: the arrow, a repaint and the focused row at its new place.
    CHECK(app->changes.sortArrowChanged == 1);
    CHECK(app->changes.repaint == kRepaintItems);
    CHECK(app->changes.select == kSelectFocused);
    CHECK(app->changes.selectItem == 0);
    CHECK(app->changes.countChanged == 0);
    ApplyWindowViewChanges(app);
    CHECK(HeadlessModel()->list.sortColumn == kColumnPath);
    CHECK(HeadlessModel()->list.sortDirection == -1);
    CHECK(HeadlessModel()->list.selectedItem == 0);
    CHECK(U8(HeadlessControlById(kIdStatusBar)->text)
              .find("Rows sorted by Path / Detail, "
                    "descending") != std::string::npos);

    item = SortByColumnClick(app, kColumnPath, item);
    CHECK(Shown() == std::vector<int32_t>{0, 1, 2, 3, 4});
    CHECK(app->view.sortBy == kSortRecordingOrder);
    CHECK(item == 2);
    ApplyWindowViewChanges(app);
    CHECK(HeadlessModel()->list.sortColumn == -1);
    CHECK(U8(HeadlessControlById(kIdStatusBar)->text).find("sorted") == std::string::npos);

    // Another column starts ascending again; a column out of range changes nothing.
    SortByColumnClick(app, kColumnSeverity, -1);
    SortByColumnClick(app, kColumnPath, -1);
    CHECK(SortArrowOfColumn(app, kColumnPath) == 1);
    CHECK(SortByColumnClick(app, 7, 3) == 3);
    CHECK(SortArrowOfColumn(app, kColumnPath) == 1);
}

TEST_CASE_FIXTURE(SortFixture, "the order holds through filtering, arrivals and the intake") {
    TestRandom r{77};
    for (int i = 0; i < 400; ++i)
        Add(app, Named(i % 3 == 0 ? u"keep" : u"other", r.Below(4)));
    SortByColumnClick(app, kColumnSeverity, -1);
    SortByColumnClick(app, kColumnSeverity, -1); // descending

    // A filter keeps the sort.
    ViewSpec view = app->view;
    CopyBounded(view.filter, kFilterTextChars + 1, u"KEEP");
    REQUIRE(SetView(app, view));
    std::vector<int32_t> all;
    for (int32_t i = 0; i < app->rowCount; ++i) {
        if (i % 3 == 0) all.push_back(i);
    }
    CHECK(Shown() == ReferenceOrder(Stored(), all, kColumnSeverity, true));

    // Rows arriving one by one and through the ring enter in their place.
    for (int i = 0; i < 30; ++i) {
        Add(app, Named(u"keep", r.Below(4)));
        all.push_back(app->rowCount - 1);
    }
    CHECK(Shown() == ReferenceOrder(Stored(), all, kColumnSeverity, true));
    {
        SmallQueueRing ring(1u << 20); // room for the 9000 rows below
        REQUIRE(MakeEventQueue(app));
    }
    for (int i = 0; i < 9000; ++i) { // more than one batch
        EventRow row = Named(i % 2 == 0 ? u"keep" : u"no", r.Below(4));
        QueueRow(app, &row);
    }
    const int32_t before = app->rowCount;
    while (QueuedRowCount(app) != 0)
        IngestQueuedRows(app);
    for (int32_t i = before; i < app->rowCount; ++i) {
        if ((i - before) % 2 == 0) all.push_back(i);
    }
    CHECK(Shown() == ReferenceOrder(Stored(), all, kColumnSeverity, true));
    ApplyWindowViewChanges(app);
    CHECK(HeadlessModel()->list.itemCount == app->shownCount);
}

TEST_CASE_FIXTURE(SortFixture, "rows arriving in batches take their place in a path order") {
    TestRandom r{5};
    const std::vector<EventRow> made = PathsWithLongBeginnings(r, 10400);
    for (size_t i = 0; i < 500; ++i)
        Add(app, made[i]);
    SortByColumnClick(app, kColumnPath, -1);
    SortByColumnClick(app, kColumnPath, -1); // descending
    {
        SmallQueueRing ring(1u << 22); // room for every row below
        REQUIRE(MakeEventQueue(app));
    }
    std::vector<int32_t> all;
    for (int32_t i = 0; i < 500; ++i)
        all.push_back(i);
    // Batches of every size from a few rows to more than one tick takes.
    size_t next = 500;
    for (size_t batch : {size_t{3}, size_t{40}, size_t{1500}, size_t{8300}}) {
        for (size_t i = 0; i < batch; ++i, ++next) {
            EventRow row = made[next];
            QueueRow(app, &row);
            all.push_back(static_cast<int32_t>(next));
        }
        while (QueuedRowCount(app) != 0)
            IngestQueuedRows(app);
        CAPTURE(batch);
        REQUIRE(app->rowCount == static_cast<int32_t>(next));
        CHECK(Shown() == ReferenceOrder(Stored(), all, kColumnPath, true));
    }
}

TEST_CASE_FIXTURE(SortFixture, "files say the order; recording order adds nothing") {
    for (const char16_t* p : {u"b", u"a"})
        Add(app, Named(p));
    char16_t out[1024];
    DescribeView(app, out, 1024, u"# ");
    CHECK(U8(out) == "# All 2 recorded rows are in this file.\r\n");
    SortByColumnClick(app, kColumnOperation, -1);
    DescribeView(app, out, 1024, u"# ");
    CHECK(U8(out) == "# All 2 recorded rows are in this file.\r\n# The rows are sorted by "
                     "Operation, ascending; rows that compare equal are in recording order.\r\n");
}

TEST_CASE_FIXTURE(SortFixture, "a sort that gets no memory leaves recording order, and says so") {
    for (const char16_t* p : {u"b", u"a", u"c"})
        Add(app, Named(p));
    SortByColumnClick(app, kColumnPath, -1);
    SortByColumnClick(app, kColumnPath, -1);
    REQUIRE(Shown() == std::vector<int32_t>{2, 0, 1});
    // Another column, with every allocation refused from now on.
    RefuseNthAllocation(1); // the keys of the new sort
    SortByColumnClick(app, kColumnResult, -1);
    ResetAllocationFaults();
    CHECK(Shown() == std::vector<int32_t>{0, 1, 2});
    CHECK(app->view.sortBy == kSortRecordingOrder);
    CHECK(SortArrowOfColumn(app, kColumnResult) == 0);
}
