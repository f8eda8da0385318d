// Saving a version 2 session makes its rows whole on a second thread, a piece ahead of the
// writing: the file must not depend on whether that thread or its blocks could be had, and a
// write that fails part way must leave no file, the thread joined and every block freed.
#include "doctest.h"

#include "app/file_commands.h"
#include "base/format.h"
#include "export/export_fixture.h"
#include "platform/fault_countdown.h"

namespace olv {

namespace {

constexpr uint32_t kPiece = 256; // rows made whole at a time; the thread from four pieces on

void AddRows(ExportFixture& f, uint32_t count) {
    f.Finished();
    for (uint32_t i = 0; i < count; ++i) {
        EventRow row = MakeRow(kRows[i % 4]);
        // Long and short paths in turn, so that a block's slot holds a shorter path after a
        // longer one (256 rows apart) as often as the other way round.
        if (i % 3 == 0) {
            FormatText(row.path, kPathChars, u"C:\\Users\\analyst\\AppData\\Local\\Temp\\p%u.bin",
                       i);
        } else {
            FormatText(row.path, kPathChars, u"C:\\Temp\\f%u.bin", i);
        }
        AppendRow(f.app, &row);
    }
}

// The file a save wrote; empty when it failed.
Bytes Saved(ExportFixture& f, TempFolder& tmp) {
    const bool saved = SaveSessionToPath(f.app, tmp.Path16("s.ols").c_str());
    return saved ? ReadAll(tmp.Path("s.ols")) : Bytes{};
}

} // namespace

TEST_CASE("A save made ahead on a second thread writes what a save made in turn writes") {
    // Below the thread's threshold, at it, and past it with a last piece cut short.
    for (const uint32_t count : {kPiece * 4 - 1, kPiece * 4, kPiece * 5 + 37}) {
        CAPTURE(count);
        ExportFixture f;
        TempFolder tmp;
        AddRows(f, count);
        const int64_t live = LiveAllocationCount();
        const Bytes ahead = Saved(f, tmp);
        REQUIRE(ahead.size() == 16 + sizeof(RecordingInfo) + size_t{count} * sizeof(EventRow));
        // The same file from the one thread, and a row at a time.
        RefuseNthThreadStart(1);
        CHECK(Saved(f, tmp) == ahead);
        CHECK(gThreadStartFault.Pending() == (count < kPiece * 4));
        RefuseNthThreadStart(0);
        if (count > kPiece * 4) { // no block, a row at a time: slow, so once
            RefuseAllocationsAbove(kPiece * sizeof(EventRow) - 1);
            CHECK(Saved(f, tmp) == ahead);
            ResetAllocationFaults();
        }
        CHECK(LiveAllocationCount() == live);
    }
}

TEST_CASE("Save made ahead: memory refused saves the same file, a failed write leaves none") {
    ExportFixture f;
    TempFolder tmp;
    AddRows(f, kPiece * 4 + 37);
    const Bytes whole = Saved(f, tmp);
    const int64_t live = LiveAllocationCount();
    bool swept = false;
    int64_t nth = 1;
    for (; !swept && nth < 100; ++nth) {
        CAPTURE(nth);
        RefuseNthAllocation(nth);
        const Bytes saved = Saved(f, tmp); // a save needs no memory of its own
        swept = AllocationRefusalPending();
        ResetAllocationFaults();
        CHECK(saved == whole);
        CHECK(LiveAllocationCount() == live);
    }
    CHECK((swept && nth > 3)); // both blocks were refused in turn
    std::filesystem::remove(tmp.Path("s.ols"));
    for (const bool threadRefused : {false, true}) {
        // The two heads' writes fail in turn, then each of the five pieces'.
        for (nth = 1; nth <= 7; ++nth) {
            CAPTURE(threadRefused);
            CAPTURE(nth);
            RefuseNthThreadStart(threadRefused ? 1 : 0);
            FailNthFileWrite(nth);
            CHECK(Saved(f, tmp).empty());
            CHECK_FALSE(FileFaultPending());
            ResetFileFaults();
            RefuseNthThreadStart(0);
            CHECK(tmp.Names().empty());
            CHECK(LiveAllocationCount() == live); // the thread's handle is freed by its join
        }
    }
}

} // namespace olv
