// Row store figures.
//
// rowstore_ingest: rows per second that IngestQueuedRows takes from an EventQueue ring holding
// 65535 rows into a row store that has room for them (batches of 8192 until the ring is empty;
// every row decoded, passes the view and is entered in the shown rows; operation names learned).
// Baseline: copying the same rows (65535 x 3256 bytes) as whole rows into a block with memcpy,
// as rows per second.
//
// rowstore_rebuild_filter_1pct: milliseconds RebuildShownRows takes over 1,000,000 rows with
// a text filter that matches 1% of them (rowstore_rebuild_category: no text filter, one category
// box cleared). Baseline: milliseconds memcpy takes to read the bytes of the same 1,000,000 rows
// as whole rows (3.26 GB: a 64 MiB block of them copied into another, over and over). Here the
// ratio is time over time: below 1 the scan is faster than reading every byte of every row.
#include <cstdio>
#include <cstring>
#include <ctime>

#include "app/recording_setup.h"
#include "app/window_layout.h"
#include "base/format.h"
#include "base/text.h"
#include "bench.h"
#include "capture/event_queue.h"
#include "platform/memory.h"
#include "platform/sim/headless_ui.h"
#include "platform/ui.h"
#include "record/stored_rows.h"
#include "views/process_filter.h"
#include "views/row_sort.h"
#include "views/row_store.h"

using namespace olv;

namespace {

struct Shape {
    uint32_t category;
    const char16_t* operation;
    const char16_t* path; // one %u: a running number
    const char16_t* detail;
    const char16_t* result;
};

const Shape kShapes[] = {
    {kCategoryFile, u"Read file", u"C:\\Windows\\System32\\en-US\\module%u.dll.mui",
     u"Offset 0, 4096 bytes", u"OK"},
    {kCategoryFile, u"Wrote to file", u"C:\\Users\\analyst\\AppData\\Local\\Temp\\~DF%u.tmp",
     u"Offset 8192, 512 bytes", u"OK"},
    {kCategoryFile, u"Opened file",
     u"C:\\Users\\analyst\\AppData\\Local\\Microsoft\\Windows\\INetCache\\IE\\page%u.htm", u"",
     u"NOT FOUND"},
    {kCategoryRegistry, u"Read registry value",
     u"HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Item%u", u"SafeDllSearchMode",
     u"OK"},
    {kCategoryRegistry, u"Opened registry key",
     u"HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MountPoints2\\{%u}", u"",
     u"OK"},
    {kCategoryNetwork, u"Sent data (TCP)", u"192.168.1.20:%u -> 93.184.216.34:443", u"517 bytes",
     u""},
    {kCategoryProcess, u"Loaded DLL", u"C:\\Windows\\System32\\combase%u.dll",
     u"Base 0x7ffb12340000", u"OK"},
};
constexpr int kShapeCount = sizeof kShapes / sizeof kShapes[0];

// Row i; every hundredth row carries the word the filter looks for.
void MakeRow(EventRow* row, uint32_t i) {
    std::memset(static_cast<void*>(row), 0, sizeof(EventRow));
    const Shape& s = kShapes[i % kShapeCount];
    row->category = s.category;
    row->pid = 4000 + i % 7;
    // Sixteen rows a millisecond, from 10:00; a process name for each pid.
    const uint32_t ms = i / 16;
    row->time = SystemTime{2026, 12, 0, 6, static_cast<uint16_t>(10 + ms / 3600000),
                           static_cast<uint16_t>(ms / 60000 % 60),
                           static_cast<uint16_t>(ms / 1000 % 60), static_cast<uint16_t>(ms % 1000)};
    static const char16_t* const kNames[] = {u"dropper.exe", u"svchost32.exe", u"cmd.exe",
                                             u"powershell.exe", u"rundll32.exe", u"schtasks.exe",
                                             u"conhost.exe"};
    CopyBounded(row->process, kProcessChars, kNames[i % 7]);
    CopyBounded(row->operation, kOperationChars, s.operation);
    FormatText(row->path, kPathChars, s.path, i);
    CopyBounded(row->detail, kDetailChars, s.detail);
    CopyBounded(row->result, kResultChars, s.result);
    if (i % 100 == 37) AppendBounded(row->path, kPathChars, u"\\Secret.key");
}

Recording* MakeState() {
    ResetHeadlessUi();
    Recording* app = AllocRecord<Recording>();
    if (app == nullptr) return nullptr;
    InitRecording(app);
    WireControls(app, HeadlessControlHandle);
    return app;
}

void DropState(Recording* app) {
    CleanUpRecording(app);
    FreeBlock(app);
}

} // namespace

namespace {

// How a fill of rowstore_ingest begins: with the store emptied keeping its blocks, or with Clear.
enum class IngestStart { kKeptStore, kCleared };
// The view the rows arrive into: recording order, sorted by path, or one process and its
// children (the first row's process; every seventh row is one of its).
enum class IngestView { kPlain, kSortedByPath, kProcessTree };

// Forgets the rows and the operation names learned from them, keeping every block and its pages:
// the state a store that already has room is in.
void EmptyStoreKeepingBlocks(Recording* app) {
    app->rowCount = 0;
    app->shownCount = 0;
    app->shownListIncomplete = 0;
    app->operationNameCount = 0;
    ++app->operationNamesCleared;
}

void IngestFigure(bench::BenchRun& run, IngestStart start, IngestView view = IngestView::kPlain) {
    Recording* app = MakeState();
    if (app == nullptr) return bench::ReportFailure(run, "no memory for the Recording");
    // The rows as whole rows too, and a block for the baseline's copy of them.
    constexpr uint32_t kRows = 65535;
    auto* made = static_cast<EventRow*>(AllocZeroed(kRows * sizeof(EventRow)));
    auto* copied = static_cast<EventRow*>(AllocZeroed(kRows * sizeof(EventRow)));
    if (made == nullptr || copied == nullptr || !MakeEventQueue(app)) {
        FreeBlock(made);
        FreeBlock(copied);
        DropState(app);
        return bench::ReportFailure(run, "no memory for the ring");
    }
    for (uint32_t i = 0; i < kRows; ++i) {
        MakeRow(&made[i], i);
        QueueRow(app, &made[i]);
    }
    const uint32_t written = app->queueWrite;
    ReserveRows(app, kRows);
    ReserveShownRows(app, kRows);
    if (app->rowCapacity < static_cast<int32_t>(kRows) || app->droppedHere != 0) {
        FreeBlock(made);
        FreeBlock(copied);
        DropState(app);
        return bench::ReportFailure(run, "no memory for the store, or rows dropped");
    }
    if (view == IngestView::kProcessTree &&
        !HashResize(&app->processCondition.members, uint32_t{kProcessMemberSlots})) {
        FreeBlock(made);
        FreeBlock(copied);
        DropState(app);
        return bench::ReportFailure(run, "no memory for the process set");
    }
    // Every page of the baseline's block is touched before anything is timed, as the store's
    // are by the untimed runs that measure how many runs a timing takes.
    std::memset(static_cast<void*>(copied), 0, kRows * sizeof(EventRow));
    EventRow* last = AllocRecord<EventRow>();

    bool complete = true;
    const bench::PairTimes t = bench::BestSecondsPerCallPair(
        [&] {
            if (start == IngestStart::kCleared) {
                ClearRows(app);
            } else {
                EmptyStoreKeepingBlocks(app);
            }
            // The full ring again: its records stay where they were written.
            app->queueRead = 0;
            app->queueWrite = written;
            app->queueRowsOut = 0;
            app->queueRowsIn = kRows;
            app->queueCoders->reader.hasLast = 0;
            if (view == IngestView::kSortedByPath) app->view.sortBy = kColumnPath + 1;
            if (view == IngestView::kProcessTree) {
                ProcessChoice* c = &app->view.process;
                c->mode = kProcessAndChildren;
                c->pid = 4000; // the first row's
                c->startRow = -1;
                BeginProcessScan(app);
            }
            while (app->queueRead != app->queueWrite)
                IngestQueuedRows(app);
            const int32_t shown = view == IngestView::kProcessTree ? (kRows + 6) / 7 : kRows;
            complete = complete && last != nullptr &&
                       app->rowCount == static_cast<int32_t>(kRows) && app->shownCount == shown;
            if (complete) {
                ReadStoredRow(app, kRows - 1, last);
                complete = std::memcmp(last, &made[kRows - 1], sizeof(EventRow)) == 0;
            }
        },
        [&] {
            std::memcpy(static_cast<void*>(copied), made, kRows * sizeof(EventRow));
            bench::ClobberMemory();
        },
        5);
    FreeBlock(last);
    FreeBlock(made);
    FreeBlock(copied);
    DropState(app);
    if (!complete) return bench::ReportFailure(run, "rows were not all taken in");
    bench::ReportFigure(run, kRows / t.work, "rows/s", kRows / t.baseline);
}

} // namespace

OLV_BENCH(rowstore_ingest) {
    IngestFigure(run, IngestStart::kKeptStore);
}

// rowstore_ingest_sorted: the same into a view sorted by path, each batch's arrivals placed among
// the rows shown before them. rowstore_ingest_process_tree: into a view of one process and its
// children (a seventh of the rows).
OLV_BENCH(rowstore_ingest_sorted) {
    IngestFigure(run, IngestStart::kKeptStore, IngestView::kSortedByPath);
}
OLV_BENCH(rowstore_ingest_process_tree) {
    IngestFigure(run, IngestStart::kKeptStore, IngestView::kProcessTree);
}

// rowstore_ingest_after_clear: the same rows taken in after Clear, which gives the store's blocks
// back above their first size: the store grows again from 4096 rows (four doublings, each copying
// the rows so far into a new block) and the kernel clears every new page.
OLV_BENCH(rowstore_ingest_after_clear) {
    IngestFigure(run, IngestStart::kCleared);
}

// ring_bytes_per_row: bytes the ring's records take per row for the rows of rowstore_ingest (seven
// kinds in turn, each path with a running number, seven processes in turn). Baseline: the 3256
// bytes a row took in the ring before it held records, so the ratio is the share of that.
OLV_BENCH(ring_bytes_per_row) {
    Recording* app = MakeState();
    if (app == nullptr || !MakeEventQueue(app)) {
        if (app != nullptr) DropState(app);
        return bench::ReportFailure(run, "no memory for the Recording or the ring");
    }
    constexpr uint32_t kRows = 500000;
    EventRow row;
    for (uint32_t i = 0; i < kRows; ++i) {
        MakeRow(&row, i);
        QueueRow(app, &row);
    }
    const uint32_t dropped = app->droppedHere;
    const double bytes = static_cast<double>(app->queueWrite) / kRows;
    DropState(app);
    if (dropped != 0) return bench::ReportFailure(run, "the ring did not hold 500,000 rows");
    bench::ReportFigure(run, bytes, "bytes/row", static_cast<double>(sizeof(EventRow)));
}

namespace {

// The store of the rebuild figures: 1,000,000 rows, and two 64 MiB blocks for the baseline's
// read: one of whole rows, read over and over (it is larger than the caches, so every read comes
// from memory as a read of a store of whole rows would), and one it is copied into.
struct MillionRows {
    Recording* app;
    EventRow* source;
    void* piece;
};
constexpr int32_t kMillion = 1000000;
constexpr size_t kPieceBytes = size_t{64} << 20;
constexpr uint32_t kPieceRows = kPieceBytes / sizeof(EventRow);
// Rows queued at a time while the store is filled: well within what the ring holds.
constexpr int32_t kFillBatch = 100000;

bool MakeMillionRows(MillionRows* m) {
    m->app = MakeState();
    m->source = nullptr;
    m->piece = nullptr;
    if (m->app == nullptr) return false;
    ReserveRows(m->app, kMillion);
    ReserveShownRows(m->app, kMillion);
    m->source = static_cast<EventRow*>(AllocZeroed(kPieceBytes));
    m->piece = AllocZeroed(kPieceBytes);
    if (m->app->rowCapacity < kMillion || m->source == nullptr || m->piece == nullptr ||
        !MakeEventQueue(m->app)) {
        return false;
    }
    for (uint32_t i = 0; i < kPieceRows; ++i)
        MakeRow(&m->source[i], i);
    // Into the store as a recording's rows come: through the ring.
    EventRow row;
    for (int32_t i = 0; i < kMillion;) {
        const int32_t end = i + kFillBatch < kMillion ? i + kFillBatch : kMillion;
        for (; i < end; ++i) {
            MakeRow(&row, static_cast<uint32_t>(i));
            QueueRow(m->app, &row);
        }
        while (QueuedRowCount(m->app) != 0)
            IngestQueuedRows(m->app);
    }
    FreeEventQueue(m->app);
    return m->app->rowCount == kMillion && m->app->droppedHere == 0;
}

void DropMillionRows(MillionRows* m) {
    FreeBlock(m->source);
    FreeBlock(m->piece);
    if (m->app != nullptr) DropState(m->app);
    *m = MillionRows{};
}

// Reads as many bytes as the rows hold as whole rows (memcpy in 64 MiB pieces): the rebuilds'
// baseline.
void ReadRows(MillionRows* m) {
    const char* from = reinterpret_cast<const char*>(m->source);
    size_t left = static_cast<size_t>(kMillion) * sizeof(EventRow);
    while (left > 0) {
        const size_t n = left < kPieceBytes ? left : kPieceBytes;
        std::memcpy(m->piece, from, n);
        bench::ClobberMemory();
        left -= n;
    }
}

// The calling thread's CPU time in seconds: on a shared machine the wall clock also counts the
// time other processes hold the core.
double ThreadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// One figure over the million rows: prepare sets them up and returns why the set-up is not what
// the figure needs (null when it is); work is timed against reading every row, the runs of both
// interleaved. With cpuNote the best of three runs of the work is also timed by the thread's CPU
// clock and printed on a line of its own.
template <typename Prepare, typename Work>
void MillionRowFigure(bench::BenchRun& run, Prepare prepare, Work work, bool cpuNote = false) {
    MillionRows m;
    if (!MakeMillionRows(&m)) {
        DropMillionRows(&m);
        return bench::ReportFailure(run, "no memory for 1,000,000 rows");
    }
    const char* wrong = prepare(m.app);
    double bestCpu = 1e30;
    for (int pass = 0; cpuNote && pass < 3; ++pass) {
        const double from = ThreadSeconds();
        work(m.app);
        const double seconds = ThreadSeconds() - from;
        if (seconds < bestCpu) bestCpu = seconds;
    }
    const bench::PairTimes t =
        bench::BestSecondsPerCallPair([&] { work(m.app); }, [&] { ReadRows(&m); }, 3);
    DropMillionRows(&m);
    if (wrong != nullptr) return bench::ReportFailure(run, wrong);
    if (cpuNote) std::printf("%s: %.1f ms of CPU\n", run.name, bestCpu * 1000);
    bench::ReportFigure(run, t.work * 1000, "ms", t.baseline * 1000);
}

constexpr const char* kNotOnePercent = "the filter did not match 1% of the rows";

} // namespace

OLV_BENCH(rowstore_rebuild_filter_1pct) {
    MillionRowFigure(
        run,
        [](Recording* app) {
            CopyBounded(app->view.filter, kFilterTextChars + 1, u"SECRET");
            RebuildShownRows(app); // the shown list grows once, outside the timing
            return app->shownCount == kMillion / 100 ? nullptr : kNotOnePercent;
        },
        RebuildShownRows);
}

// rowstore_rebuild_category: the same store, no text filter, the Registry box cleared (2 of the 7
// row shapes hidden): what one click on a category box costs.
OLV_BENCH(rowstore_rebuild_category) {
    MillionRowFigure(
        run,
        [](Recording* app) {
            app->view.categoryOn[kCategoryRegistry] = 0;
            RebuildShownRows(app);
            const int32_t expected =
                kMillion - (kMillion / 7 * 2 + (kMillion % 7 > 3) + (kMillion % 7 > 4));
            return app->shownCount == expected ? nullptr : "the Registry rows were not all hidden";
        },
        RebuildShownRows);
}

// rowstore_sort_<column>_1m: milliseconds one header click takes to sort 1,000,000 shown rows,
// from recording order, by the column (ApplyShownOrder: the keys, the radix passes, and for a
// text column the passes over every run of equal beginnings). Path is the hardest case: every
// path is distinct and the paths of a shape agree for 30 to 70 characters. Baseline as above.
namespace {

void SortFigure(bench::BenchRun& run, int column) {
    int32_t* ascending = static_cast<int32_t*>(AllocZeroed(size_t{kMillion} * 4));
    if (ascending == nullptr) return bench::ReportFailure(run, "no memory for the index list");
    for (int32_t i = 0; i < kMillion; ++i)
        ascending[i] = i;
    MillionRowFigure(
        run,
        [&](Recording* app) {
            RebuildShownRows(app); // every row shown, in recording order
            app->view.sortBy = static_cast<uint8_t>(column + 1);
            ApplyShownOrder(app);
            for (int32_t i = 1; i < app->shownCount; ++i) {
                if (CompareRowsForColumn(app, app->shownRows[i - 1], app->shownRows[i],
                                         column, false) >= 0) {
                    return "the rows are not in order";
                }
            }
            return app->shownCount == kMillion ? nullptr : "not every row is shown";
        },
        [&](Recording* app) {
            std::memcpy(app->shownRows, ascending, size_t{kMillion} * 4);
            ApplyShownOrder(app);
        },
        true);
    FreeBlock(ascending);
}

} // namespace

OLV_BENCH(rowstore_sort_path_1m) {
    SortFigure(run, kColumnPath);
}
OLV_BENCH(rowstore_sort_time_1m) {
    SortFigure(run, kColumnTime);
}
OLV_BENCH(rowstore_sort_operation_1m) {
    SortFigure(run, kColumnOperation);
}
OLV_BENCH(rowstore_sort_process_1m) {
    SortFigure(run, kColumnProcess);
}
