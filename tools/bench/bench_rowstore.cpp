// Row store figures.
//
// rowstore_ingest: rows per second that IngestQueuedRows takes from a full EventQueue ring into
// the row store (batches of 8192 until the ring is empty; every row passes the view and is
// entered in the shown rows; operation names learned). Baseline: copying the same rows (65535 x
// 3256 bytes) from the ring into the store's array with memcpy, as rows per second.
//
// rowstore_rebuild_filter_1pct: milliseconds RebuildShownRows takes over 1,000,000 rows with a
// text filter that matches 1% of them. Baseline: milliseconds memcpy takes to read the same
// 1,000,000 rows (3.26 GB, copied in 64 MiB pieces into one buffer). Here the ratio is time over
// time: below 1 the scan is faster than reading every byte of every row.
#include <cstring>

#include "app/app_state.h"
#include "app/window_layout.h"
#include "base/format.h"
#include "base/text.h"
#include "bench.h"
#include "platform/memory.h"
#include "platform/sim/headless_ui.h"
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
    CopyBounded(row->operation, kOperationChars, s.operation);
    FormatText(row->path, kPathChars, s.path, i);
    CopyBounded(row->detail, kDetailChars, s.detail);
    CopyBounded(row->result, kResultChars, s.result);
    if (i % 100 == 37) AppendBounded(row->path, kPathChars, u"\\Secret.key");
}

AppState* MakeState() {
    ResetHeadlessUi();
    AppState* app = AllocRecord<AppState>();
    if (app == nullptr) return nullptr;
    InitAppState(app);
    WireControls(app, HeadlessControlHandle);
    return app;
}

void DropState(AppState* app) {
    CleanUpAppState(app);
    FreeBlock(app);
}

} // namespace

OLV_BENCH(rowstore_ingest) {
    AppState* app = MakeState();
    if (app == nullptr) return bench::ReportFailure(run, "no memory for the AppState");
    app->queueSlots = static_cast<EventRow*>(AllocZeroed(kQueueSlots * sizeof(EventRow)));
    if (app->queueSlots == nullptr) {
        DropState(app);
        return bench::ReportFailure(run, "no memory for the ring");
    }
    constexpr uint32_t kRows = kQueueSlots - 1;
    for (uint32_t i = 0; i < kRows; ++i)
        MakeRow(&app->queueSlots[i], i);
    ReserveRows(app, kRows);
    ReserveShownRows(app, kRows);
    if (app->rowCapacity < static_cast<int32_t>(kRows)) {
        DropState(app);
        return bench::ReportFailure(run, "no memory for the store");
    }

    bool complete = true;
    const double perFill = bench::BestSecondsPerCall(
        [&] {
            ClearRows(app);
            app->queueRead = 0;
            app->queueWrite = kRows; // a full ring; the slots keep their rows
            while (app->queueRead != app->queueWrite)
                IngestQueuedRows(app);
            complete = complete && app->rowCount == static_cast<int32_t>(kRows) &&
                       app->shownCount == app->rowCount;
        },
        5);
    const double perCopy = bench::BestSecondsPerCall(
        [&] {
            std::memcpy(static_cast<void*>(app->rows), app->queueSlots, kRows * sizeof(EventRow));
            bench::ClobberMemory();
        },
        5);
    DropState(app);
    if (!complete) return bench::ReportFailure(run, "rows were not all taken in");
    bench::ReportFigure(run, kRows / perFill, "rows/s", kRows / perCopy);
}

OLV_BENCH(rowstore_rebuild_filter_1pct) {
    constexpr int32_t kRows = 1000000;
    AppState* app = MakeState();
    if (app == nullptr) return bench::ReportFailure(run, "no memory for the AppState");
    ReserveRows(app, kRows);
    constexpr size_t kPieceBytes = size_t{64} << 20;
    void* piece = AllocZeroed(kPieceBytes);
    if (app->rowCapacity < kRows || piece == nullptr) {
        FreeBlock(piece);
        DropState(app);
        return bench::ReportFailure(run, "no memory for 1,000,000 rows");
    }
    for (int32_t i = 0; i < kRows; ++i)
        MakeRow(&app->rows[i], static_cast<uint32_t>(i));
    app->rowCount = kRows;
    HeadlessSetText(kIdFilterEdit, u"SECRET");

    RebuildShownRows(app); // the shown list grows once, outside the timing
    const bool onePercent = app->shownCount == kRows / 100;
    const double perRebuild = bench::BestSecondsPerCall([&] { RebuildShownRows(app); }, 3);
    const double perRead = bench::BestSecondsPerCall(
        [&] {
            const char* from = reinterpret_cast<const char*>(app->rows);
            size_t left = static_cast<size_t>(kRows) * sizeof(EventRow);
            while (left > 0) {
                const size_t n = left < kPieceBytes ? left : kPieceBytes;
                std::memcpy(piece, from, n);
                bench::ClobberMemory();
                from += n;
                left -= n;
            }
        },
        3);
    FreeBlock(piece);
    DropState(app);
    if (!onePercent) return bench::ReportFailure(run, "the filter did not match 1% of the rows");
    bench::ReportFigure(run, perRebuild * 1000, "ms", perRead * 1000);
}
