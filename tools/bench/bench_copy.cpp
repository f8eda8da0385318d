// copy_rows_100k: milliseconds BuildCopyText takes to write 100,000 selected rows as the
// clipboard's tab-separated text (header line, every field checked for control and hidden
// characters, formula-like texts prefixed), which Ctrl+C and "Copy Rows" must finish within a
// second. Baseline: milliseconds memcpy takes to read the same 100,000 rows (326 MB) into one
// buffer. The ratio is time over time.
#include <cstring>

#include "app/recording_setup.h"
#include "app/window_layout.h"
#include "base/format.h"
#include "base/text.h"
#include "bench.h"
#include "platform/memory.h"
#include "platform/sim/headless_ui.h"
#include "record/stored_rows.h"
#include "views/copy_rows.h"
#include "views/row_store.h"

using namespace olv;

namespace {

constexpr int32_t kCopyRows = 100000;

void MakeCopyRow(EventRow* row, uint32_t i) {
    std::memset(static_cast<void*>(row), 0, sizeof(EventRow));
    row->category = i % 4;
    row->pid = 4000 + i % 7;
    row->severity = i % 50 == 0 ? 2 : 0;
    row->time = {2026, 12, 0, 6, 7, 5, 9, static_cast<uint16_t>(i % 1000)};
    CopyBounded(row->process, kProcessChars, u"dropper.exe");
    CopyBounded(row->operation, kOperationChars, i % 2 == 0 ? u"Read file" : u"Read registry value");
    FormatText(row->path, kPathChars,
               u"C:\\Users\\analyst\\AppData\\Local\\Temp\\sample\\module%u.dll", i);
    CopyBounded(row->detail, kDetailChars, u"Offset 0, 4096 bytes");
    CopyBounded(row->result, kResultChars, u"OK");
    if (i % 50 == 0) CopyBounded(row->threat, kThreatChars, u"Wrote to a startup location");
}

} // namespace

OLV_BENCH(copy_rows_100k) {
    ResetHeadlessUi();
    Recording* app = AllocRecord<Recording>();
    int32_t* items = static_cast<int32_t*>(AllocZeroed(kCopyRows * sizeof(int32_t)));
    void* readBuffer = AllocZeroed(static_cast<size_t>(kCopyRows) * sizeof(EventRow));
    if (app == nullptr || items == nullptr || readBuffer == nullptr) {
        bench::ReportFailure(run, "memory refused");
        FreeBlock(readBuffer);
        FreeBlock(items);
        FreeBlock(app);
        return;
    }
    InitRecording(app);
    WireControls(app, HeadlessControlHandle);
    EventRow row;
    for (int32_t i = 0; i < kCopyRows; ++i) {
        MakeCopyRow(&row, static_cast<uint32_t>(i));
        AppendRow(app, &row);
        items[i] = i;
    }
    if (app->shownCount != kCopyRows) {
        bench::ReportFailure(run, "rows not shown");
    } else {
        size_t length = 0;
        const bench::PairTimes t = bench::BestSecondsPerCallPair(
            [&] {
                char16_t* text = BuildCopyText(app, items, kCopyRows, &length);
                bench::KeepValue(text);
                FreeBlock(text);
            },
            [&] {
                auto* out = static_cast<EventRow*>(readBuffer);
                for (int32_t i = 0; i < kCopyRows; ++i)
                    ReadStoredRow(app, i, &out[i]);
                bench::ClobberMemory();
            },
            3);
        bench::ReportFigure(run, t.work * 1000, "ms", t.baseline * 1000);
    }
    CleanUpRecording(app);
    FreeBlock(readBuffer);
    FreeBlock(items);
    FreeBlock(app);
}
