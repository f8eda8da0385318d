// Saving a version 2 session makes its rows whole on a second thread, a piece ahead of the
// writing. The file must not depend on whether that thread or its blocks could be had, and a
// write that fails part way must leave no file, with the thread joined and every block freed.
#include "doctest.h"

#include <cstring>
#include <string>

#include "app/file_commands.h"
#include "base/format.h"
#include "export/export_fixture.h"
#include "export/exports.h"
#include "platform/fault_countdown.h"
#include "platform/thread.h"

namespace olv {

namespace {

// Rows are made whole 256 at a time; a second thread makes them from four pieces on.
constexpr uint32_t kPiece = 256;
constexpr size_t kRowsStart = 16 + sizeof(RecordingInfo); // header and block of version 2

// A finished recording of count rows, each with a path of its own.
void AddRows(ExportFixture& f, uint32_t count) {
    f.Finished();
    for (uint32_t i = 0; i < count; ++i) {
        EventRow row = MakeRow(kRows[i % 4]);
        FormatText(row.path, kPathChars, u"C:\\Temp\\f%u.bin", i);
        row.pid = 7000 + i;
        AppendRow(f.app, &row);
    }
}

// The saved file holds the version 2 head and then every stored row, in order, as it is.
void CheckRowsInFile(const Recording* app, const Bytes& file) {
    const auto count = static_cast<uint32_t>(app->rowCount);
    REQUIRE(file.size() == kRowsStart + size_t{count} * sizeof(EventRow));
    for (uint32_t i = 0; i < count; ++i) {
        const EventRow row = StoredRow(app, static_cast<int32_t>(i));
        if (std::memcmp(file.data() + kRowsStart + size_t{i} * sizeof row, &row, sizeof row) != 0) {
            FAIL_CHECK("row " << i << " differs");
            break;
        }
    }
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
        RefuseNthThreadStart(1);
        REQUIRE(SaveSessionToPath(f.app, tmp.Path16("ahead.ols").c_str()));
        // The thread start is asked for exactly when the rows reach four pieces.
        CHECK(gThreadStartFault.Pending() == (count < kPiece * 4));
        RefuseNthThreadStart(0);
        const Bytes inTurn = ReadAll(tmp.Path("ahead.ols"));
        CheckRowsInFile(f.app, inTurn);

        REQUIRE(SaveSessionToPath(f.app, tmp.Path16("ahead.ols").c_str()));
        CHECK(ReadAll(tmp.Path("ahead.ols")) == inTurn);
        // No block for a piece: a row at a time.
        RefuseAllocationsAbove(kPiece * sizeof(EventRow) - 1);
        REQUIRE(SaveSessionToPath(f.app, tmp.Path16("ahead.ols").c_str()));
        ResetAllocationFaults();
        CHECK(ReadAll(tmp.Path("ahead.ols")) == inTurn);
        CHECK(LiveAllocationCount() == live);
        CHECK(LastMessage(kIconInformation) == std::to_string(count) + " events saved.");
    }
}

TEST_CASE("Memory refused at each allocation of a save made ahead still saves the same file") {
    ExportFixture f;
    TempFolder tmp;
    AddRows(f, kPiece * 5 + 37);
    REQUIRE(SaveSessionToPath(f.app, tmp.Path16("whole.ols").c_str()));
    const Bytes whole = ReadAll(tmp.Path("whole.ols"));
    const int64_t live = LiveAllocationCount();
    bool swept = false;
    int64_t nth = 1;
    for (; nth < 100 && !swept; ++nth) {
        CAPTURE(nth);
        RefuseNthAllocation(nth);
        const bool saved = SaveSessionToPath(f.app, tmp.Path16("s.ols").c_str());
        swept = AllocationRefusalPending();
        ResetAllocationFaults();
        CHECK(saved); // a save needs no memory of its own
        CHECK(ReadAll(tmp.Path("s.ols")) == whole);
        CHECK(LiveAllocationCount() == live);
    }
    CHECK(swept);
    // Both blocks and the thread were among the allocations refused.
    CHECK(nth > 3);
}

TEST_CASE("A write that fails part way through a save made ahead leaves no file and frees all") {
    ExportFixture f;
    TempFolder tmp;
    const uint32_t count = kPiece * 5 + 37;
    AddRows(f, count);
    for (const bool threadRefused : {false, true}) {
        CAPTURE(threadRefused);
        // Every write of the file fails in turn: the heads, then each piece of rows.
        bool swept = false;
        int64_t nth = 1;
        for (; nth < 40 && !swept; ++nth) {
            CAPTURE(nth);
            const int64_t live = LiveAllocationCount();
            if (threadRefused) RefuseNthThreadStart(1);
            FailNthFileWrite(nth);
            const bool saved = SaveSessionToPath(f.app, tmp.Path16("s.ols").c_str());
            swept = FileFaultPending();
            ResetFileFaults();
            RefuseNthThreadStart(0);
            if (swept) {
                CHECK(saved);
                break;
            }
            CHECK_FALSE(saved);
            CHECK(tmp.Names().empty());
            // The thread's handle is freed only by its join.
            CHECK(LiveAllocationCount() == live);
            CHECK(LastMessage(kIconError).rfind("The session could not be saved.", 0) == 0);
        }
        CHECK(swept);
        // The two heads failed, then each of the six pieces.
        CHECK(nth > 8);
        std::error_code ec;
        std::filesystem::remove(tmp.Path("s.ols"), ec);
    }
}

} // namespace olv
