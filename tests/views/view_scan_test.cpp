// The view scan against a plain reference: the same shown indexes, in the same order, for many
// generated rows and views, whatever shortcuts the scan takes.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "app/recording_setup.h"
#include "app/lifecycle.h"
#include "app/window_layout.h"
#include "base/text.h"
#include "capture/event_queue.h"
#include "doctest.h"
#include "platform/memory.h"
#include "platform/sim/headless_ui.h"
#include "record/stored_rows.h"
#include "support/small_ring.h"
#include "support/test_random.h"
#include "views/row_store.h"
#include "support/headless_recording.h"

using namespace olv;

namespace {

using Random = TestRandom;

// Characters next to the ASCII letters, letters that other folding rules would change, and a
// few that only differ from a letter in their high byte.
const char16_t kAlphabet[] = u"abcxyzABCXYZ@[`{ _\\.:09\u00c9\u00e9\u017f\u212a\u0141\u0161\u0441";
constexpr uint32_t kAlphabetSize = sizeof kAlphabet / sizeof kAlphabet[0] - 1;

const char16_t* const kOperations[] = {u"Read file",  u"read file",       u"Opened registry key",
                                       u"Loaded DLL", u"Sent data (TCP)", u""};
constexpr uint32_t kOperationCount = sizeof kOperations / sizeof kOperations[0];

// Fills a field with random text: usually short and terminated, sometimes filling the whole
// field without a terminator; bytes behind a terminator are sometimes not zero, as a session file
// written by another build may hold them.
void FillField(Random& r, char16_t* field, size_t chars) {
    std::memset(field, 0, chars * sizeof(char16_t));
    const uint32_t kind = r.Below(10);
    size_t length = kind == 0 ? chars : r.Below(kind < 3 ? static_cast<uint32_t>(chars) : 40);
    for (size_t i = 0; i < length; ++i)
        field[i] = kAlphabet[r.Below(kAlphabetSize)];
    if (length < chars && r.Below(4) == 0) {
        for (size_t i = length + 1; i < chars; ++i)
            field[i] = kAlphabet[r.Below(kAlphabetSize)];
    }
}

void MakeRow(Random& r, EventRow* row) {
    std::memset(static_cast<void*>(row), 0, sizeof *row);
    row->category = r.Below(6); // 4 and 5 pass every category box
    row->severity = r.Below(4) == 0 ? 1 + r.Below(3) : 0;
    if (r.Below(8) == 0) {
        FillField(r, row->operation, kOperationChars);
    } else {
        CopyBounded(row->operation, kOperationChars, kOperations[r.Below(kOperationCount)]);
    }
    FillField(r, row->path, kPathChars);
    FillField(r, row->detail, kDetailChars);
    FillField(r, row->result, kResultChars);
    // Fields the view never reads carry text too.
    FillField(r, row->process, kProcessChars);
    FillField(r, row->threat, kThreatChars);
}

char16_t Fold(char16_t c) {
    return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
}

// The reference: the view's definition read literally, one character at a time.
size_t FieldLength(const char16_t* field, size_t chars) {
    size_t n = 0;
    while (n < chars && field[n] != 0)
        ++n;
    return n;
}

bool ReferenceContains(const char16_t* field, size_t chars, const char16_t* needle) {
    const size_t length = FieldLength(field, chars);
    const size_t n = FieldLength(needle, 256);
    for (size_t at = 0; at + n <= length; ++at) {
        size_t j = 0;
        while (j < n && Fold(field[at + j]) == Fold(needle[j]))
            ++j;
        if (j == n) return true;
    }
    return false;
}

struct ReferenceView {
    bool suspiciousOnly;
    int boxes[4];
    const char16_t* operation; // null: all operations
    const char16_t* filter;
};

bool ReferenceInView(const ReferenceView& v, const EventRow& row) {
    if (v.suspiciousOnly && row.severity == 0) return false;
    if (row.category < 4 && v.boxes[row.category] != kChecked) return false;
    if (v.operation != nullptr) {
        const size_t n = FieldLength(row.operation, kOperationChars);
        if (n != FieldLength(v.operation, 256) ||
            std::memcmp(row.operation, v.operation, n * sizeof(char16_t)) != 0) {
            return false;
        }
    }
    if (v.filter[0] == 0) return true;
    return ReferenceContains(row.operation, kOperationChars, v.filter) ||
           ReferenceContains(row.path, kPathChars, v.filter) ||
           ReferenceContains(row.detail, kDetailChars, v.filter) ||
           ReferenceContains(row.result, kResultChars, v.filter);
}

// A filter text: mostly a piece of some row's field with its letters' case changed at random, so
// that many rows match; otherwise random text.
void MakeFilter(Random& r, const EventRow* rows, int32_t count, char16_t* out) {
    out[0] = 0;
    const uint32_t kind = r.Below(10);
    if (kind == 0) return;
    size_t n = 0;
    if (kind < 7) {
        const EventRow& row = rows[r.Below(static_cast<uint32_t>(count))];
        const char16_t* fields[] = {row.operation, row.path, row.detail, row.result};
        const size_t sizes[] = {kOperationChars, kPathChars, kDetailChars, kResultChars};
        const uint32_t f = r.Below(4);
        const size_t length = FieldLength(fields[f], sizes[f]);
        if (length > 0) {
            const size_t from = r.Below(static_cast<uint32_t>(length));
            const size_t take =
                1 + r.Below(static_cast<uint32_t>(length - from < 12 ? length - from : 12));
            for (; n < take; ++n) {
                char16_t c = fields[f][from + n];
                if (c >= u'a' && c <= u'z' && r.Below(2) == 0)
                    c = static_cast<char16_t>(c - 32);
                else if (c >= u'A' && c <= u'Z' && r.Below(2) == 0)
                    c = static_cast<char16_t>(c + 32);
                out[n] = c;
            }
        }
    } else {
        const size_t take = kind == 9 ? 255 : 1 + r.Below(4);
        for (; n < take; ++n)
            out[n] = kAlphabet[r.Below(kAlphabetSize)];
    }
    out[n] = 0;
}

struct ScanFixture : HeadlessRecording {
    ScanFixture() {
        ClearRows(app); // the combo box starts with "All operations"
    }
    ~ScanFixture() {
        FreeBlock(app->queueBytes);
        app->queueBytes = nullptr;
    }

    // Sets the view at random, its operation one of names and its filter drawn from rows, and
    // returns it as the reference takes it.
    ReferenceView SetRandomView(Random& r, char16_t* filter, const std::vector<EventRow>& rows,
                                const std::vector<const char16_t*>& names) {
        ReferenceView v{};
        v.suspiciousOnly = r.Below(4) == 0;
        app->view.suspiciousOnly = v.suspiciousOnly ? 1 : 0;
        for (int i = 0; i < 4; ++i) {
            v.boxes[i] = r.Below(4) == 0 ? kUnchecked : kChecked;
            app->view.categoryOn[i] = v.boxes[i] == kChecked ? 1 : 0;
        }
        const uint32_t known = static_cast<uint32_t>(names.size());
        const uint32_t selection = r.Below(3) == 0 ? r.Below(known + 1) : 0;
        v.operation = selection > 0 ? names[selection - 1] : nullptr;
        CopyBounded(app->view.operation, kOperationNameChars, v.operation);
        MakeFilter(r, rows.data(), static_cast<int32_t>(rows.size()), filter);
        CopyBounded(app->view.filter, kFilterTextChars + 1, filter);
        v.filter = filter;
        return v;
    }

    std::vector<int32_t> Expected(const ReferenceView& v, const std::vector<EventRow>& rows) {
        std::vector<int32_t> shown;
        for (size_t i = 0; i < rows.size(); ++i) {
            if (ReferenceInView(v, rows[i])) shown.push_back(static_cast<int32_t>(i));
        }
        return shown;
    }

    // Stored row i as its readers see it.
    EventRow Stored(int32_t i) {
        EventRow row;
        ReadStoredRow(app, i, &row);
        return row;
    }

    std::vector<const char16_t*> KnownOperations() {
        std::vector<const char16_t*> names;
        for (int n = 0; n < app->operationNameCount; ++n)
            names.push_back(app->operationNames[n]);
        return names;
    }

    std::vector<int32_t> Shown() {
        return std::vector<int32_t>(app->shownRows, app->shownRows + app->shownCount);
    }
};

constexpr int32_t kRows = 3000;

// The scan runs on one thread: under the thread checker, whose instrumented loads make every
// reference pass several times slower, a third of the views is enough to exercise it.
#if defined(__SANITIZE_THREAD__)
constexpr int kViews = 100;
#elif defined(__has_feature)
constexpr int kViews = __has_feature(thread_sanitizer) ? 100 : 300;
#else
constexpr int kViews = 300;
#endif

} // namespace

TEST_CASE_FIXTURE(ScanFixture, "RebuildShownRows shows exactly the rows of the reference view, "
                               "whatever happened to the rows and their texts") {
    Random r{0x5eed0001};
    std::vector<EventRow> stored; // what the store holds, as read back
    auto fillStore = [&] {
        ClearRows(app);
        stored.clear();
        for (int32_t i = 0; i < kRows; ++i) {
            EventRow row;
            MakeRow(r, &row);
            AppendRow(app, &row);
            stored.push_back(Stored(i));
        }
        REQUIRE(app->rowCount == kRows);
        LearnOperationNames(app, 0, kRows);
    };
    fillStore();

    char16_t filter[256];
    for (int view = 0; view < kViews; ++view) {
        // Between two scans: a stored row's path changed, a row added, or every row replaced by
        // others at the same places.
        const uint32_t event = r.Below(8);
        if (event == 1 || event == 2) {
            const int32_t i = static_cast<int32_t>(r.Below(static_cast<uint32_t>(app->rowCount)));
            char16_t path[kPathChars + 1] = {};
            FillField(r, path, kPathChars);
            EnterLock(&app->rowsLock);
            REQUIRE(SetStoredPath(app, i, path));
            LeaveLock(&app->rowsLock);
            stored[static_cast<size_t>(i)] = Stored(i);
        } else if (event == 3) {
            EventRow row;
            MakeRow(r, &row);
            AppendRow(app, &row);
            stored.push_back(Stored(app->rowCount - 1));
        } else if (view % 60 == 59) {
            fillStore();
        }
        const ReferenceView v = SetRandomView(r, filter, stored, KnownOperations());
        RebuildShownRows(app);
        INFO("view " << view);
        REQUIRE(Shown() == Expected(v, stored));
        CHECK(app->shownListIncomplete == 0);
        // The single-row tests agree with the scan.
        for (int k = 0; k < 20; ++k) {
            const EventRow& row = stored[r.Below(kRows)];
            CHECK((RowPassesView(app, &row) && RowMatchesTextFilter(app, &row)) ==
                  ReferenceInView(v, row));
        }
    }
}

// The row as a reader of its texts sees it: every byte the same, but zeros after each text.
EventRow TextOnly(const EventRow& row) {
    EventRow out = row;
    const struct {
        char16_t* field;
        size_t chars;
    } fields[] = {{out.operation, kOperationChars}, {out.path, kPathChars},
                  {out.detail, kDetailChars},       {out.result, kResultChars},
                  {out.process, kProcessChars},     {out.threat, kThreatChars}};
    for (const auto& f : fields) {
        for (size_t i = FieldLength(f.field, f.chars); i < f.chars; ++i)
            f.field[i] = 0;
    }
    return out;
}

TEST_CASE_FIXTURE(ScanFixture, "intake shows exactly the rows of the reference view and keeps "
                               "every text of every row, with zeros after each") {
    Random r{0x5eed0002};
    {
        SmallQueueRing ring(1u << 24); // room for every row below; the rounds start near its end
        REQUIRE(MakeEventQueue(app));
    }
    std::vector<EventRow> made(kRows);
    for (EventRow& row : made)
        MakeRow(r, &row);
    // The operations the view may name: those of the rows, as they stand in the rows.
    std::vector<std::u16string> operations;
    for (const EventRow& row : made) {
        const std::u16string op(row.operation, FieldLength(row.operation, kOperationChars));
        if (!op.empty() && std::find(operations.begin(), operations.end(), op) == operations.end())
            operations.push_back(op);
    }
    std::vector<const char16_t*> names;
    for (const std::u16string& op : operations)
        names.push_back(op.c_str());
    // Each row as the store must give it back, the same in every round.
    std::vector<EventRow> expected(made.size());
    for (size_t i = 0; i < made.size(); ++i)
        expected[i] = TextOnly(made[i]);

    char16_t filter[256];
    for (int round = 0; round < 4; ++round) {
        ClearRows(app);
        // The view of this round is drawn over the rows to come, so that filters match.
        const ReferenceView v = SetRandomView(r, filter, made, names);
        // Start the ring at a different place each round, so that it wraps and each place takes
        // records of other lengths than the record it held before.
        const uint32_t start = app->queueMask + 1 - (1u << 18) * static_cast<uint32_t>(round + 1);
        app->queueRead = start;
        app->queueWrite = start;
        for (const EventRow& row : made)
            QueueRow(app, &row);
        IngestQueuedRows(app);
        INFO("round " << round);
        REQUIRE(app->rowCount == kRows);
        bool same = true;
        for (int32_t i = 0; i < kRows; ++i) {
            const EventRow got = Stored(i);
            same = same && std::memcmp(&got, &expected[static_cast<size_t>(i)], sizeof got) == 0;
        }
        CHECK(same);
        CHECK(Shown() == Expected(v, made));
    }
}
