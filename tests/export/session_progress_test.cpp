// Opening a large session: it is read piece by piece with its progress shown, the user may cancel
// between pieces, and a cancelled open (like a failed one) leaves what was open as it was and
// keeps nothing of the partial read. Commands that arrive while the window is reading are
// ignored. The piece size is made small here, so that a few rows make several pieces.
#include "doctest.h"

#include "app/commands.h"
#include "app/lifecycle.h"
#include "app/view_changes.h"
#include "export/export_fixture.h"
#include "app/file_commands.h"
#include "export/exports.h"
#include "platform/sim/headless_progress.h"

namespace olv {

namespace {

constexpr uint32_t kPiece = 3;
constexpr uint32_t kTen = 10;

// A session of count rows made from the four sample rows in turn; row 9 has a category and a
// severity no recorder writes, so that its repair shows in the last piece.
std::vector<EventRow> SampleRows(uint32_t count) {
    std::vector<EventRow> rows;
    for (uint32_t i = 0; i < count; ++i) {
        rows.push_back(MakeRow(kRows[i % 4]));
        rows.back().pid = 5000 + i;
    }
    if (count > 9) {
        rows[9].category = 9;
        rows[9].severity = 7;
    }
    return rows;
}

void WriteSession(const std::filesystem::path& path, const std::vector<EventRow>& rows,
                  uint32_t version, uint32_t recordSize) {
    const uint32_t words[] = {0x53564C4F, version, recordSize, static_cast<uint32_t>(rows.size())};
    Bytes b(reinterpret_cast<const unsigned char*>(words),
            reinterpret_cast<const unsigned char*>(words) + 16);
    if (version >= 2) {
        const RecordingInfo block = StoppedRecordingInfo();
        b.insert(b.end(), reinterpret_cast<const unsigned char*>(&block),
                 reinterpret_cast<const unsigned char*>(&block) + sizeof block);
    }
    for (const EventRow& row : rows) {
        b.insert(b.end(), reinterpret_cast<const unsigned char*>(&row),
                 reinterpret_cast<const unsigned char*>(&row) + recordSize);
    }
    WriteAll(path, b);
}

// What was open before: two rows, three drops, a finished recording.
void FillCurrent(ExportFixture& f) {
    f.Finished();
    f.Add(kRows[0]);
    f.Add(kRows[1]);
    f.app->droppedHere = 3;
}
void CheckCurrentUntouched(ExportFixture& f) {
    REQUIRE(f.app->rowCount == 2);
    CHECK(StoredRow(f.app, 0) == MakeRow(kRows[0]));
    CHECK(StoredRow(f.app, 1) == MakeRow(kRows[1]));
    CHECK(f.app->shownCount == 2);
    ApplyWindowViewChanges(f.app);
    CHECK(HeadlessModel()->list.itemCount == 2);
    CHECK(f.app->droppedHere == 3);
    CHECK(f.app->recordingInfoValid == 1);
}

struct PieceSize {
    PieceSize(uint32_t rows) { SetSessionReadPieceRows(rows); }
    ~PieceSize() { SetSessionReadPieceRows(0); }
};

std::vector<uint32_t> DoneLog() {
    const HeadlessProgress* p = HeadlessProgressModel();
    return {p->doneLog, p->doneLog + (p->steps < kHeadlessProgressLog ? p->steps : 0)};
}

} // namespace

TEST_CASE("The progress line counts rows as a reader counts them") {
    const struct {
        uint32_t done, total;
        const char* text;
    } cases[] = {
        {0, 7, "Reading session: 0 of 7 rows"},
        {999, 1000, "Reading session: 999 of 1,000 rows"},
        {1234567, 1600000, "Reading session: 1,234,567 of 1,600,000 rows"},
        {2147483647, 4294967295u, "Reading session: 2,147,483,647 of 4,294,967,295 rows"},
    };
    for (const auto& c : cases) {
        char16_t text[96];
        FormatSessionProgress(text, 96, c.done, c.total);
        CHECK(U8(text) == c.text);
    }
    char16_t small[12];
    FormatSessionProgress(small, 12, 1234567, 1600000); // cut, and terminated
    CHECK(U8(small) == "Reading ses");
}

TEST_CASE("A session of several pieces is read with its progress shown, rows repaired as read") {
    const struct {
        const char* name;
        uint32_t version, recordSize, rows;
        std::vector<uint32_t> steps; // done counts reported; none: no progress window
    } cases[] = {
        {"full-size records", 2, 3256, kTen, {3, 6, 9, 10}},
        {"older records, read one by one", 1, 3236, kTen, {3, 6, 9, 10}},
        {"pieces that end with the file", 2, 3256, 9, {3, 6, 9}},
        {"one piece: no window", 2, 3256, kPiece, {}},
        {"no rows", 2, 3256, 0, {}},
    };
    for (const auto& c : cases) {
        INFO(c.name);
        ExportFixture f;
        TempFolder tmp;
        PieceSize piece(kPiece);
        FillCurrent(f);
        std::vector<EventRow> rows = SampleRows(c.rows);
        WriteSession(tmp.Path("s.ols"), rows, c.version, c.recordSize);
        REQUIRE(OpenSessionFromPath(f.app, tmp.Path16("s.ols").c_str()));

        const HeadlessProgress* p = HeadlessProgressModel();
        CHECK(DoneLog() == c.steps);
        CHECK(p->begins == (c.steps.empty() ? 0u : 1u));
        CHECK(p->ends == p->begins);
        CHECK(p->shown == 0);
        CHECK(p->strayCalls == 0);
        CHECK(p->stepsOwnerEnabled == 0); // the main window took no input while reading
        CHECK(HeadlessControlById(0)->enabled == 1);
        CHECK(f.app->sessionReading == 0);
        if (!c.steps.empty()) {
            CHECK(U8(p->title) == "Opening session");
            CHECK(p->total == c.rows);
            CHECK(U8(p->text) == "Reading session: " + std::to_string(c.rows) + " of " +
                                     std::to_string(c.rows) + " rows");
        }

        REQUIRE(f.app->rowCount == static_cast<int32_t>(c.rows));
        for (uint32_t i = 0; i < c.rows; ++i) {
            EventRow expected = rows[i];
            if (c.recordSize == 3236) expected.keyObject = expected.timestamp = 0;
            if (i == 9) {
                expected.category = 4;
                expected.severity = 0;
            }
            CHECK(StoredRow(f.app, static_cast<int32_t>(i)) == expected);
        }
    }
}

TEST_CASE("Cancel at any piece keeps what was open, frees the partial read and says so") {
    for (uint32_t cancelAt : {1u, 2u, 3u, 4u}) { // 4: with the last piece read
        INFO("cancel at step ", cancelAt);
        ExportFixture f;
        TempFolder tmp;
        PieceSize piece(kPiece);
        FillCurrent(f);
        WriteSession(tmp.Path("big.ols"), SampleRows(kTen), 2, 3256);
        const int64_t liveBefore = LiveAllocationCount();
        const uint32_t messagesBefore = f.Messages();
        HeadlessCancelProgressAtStep(cancelAt);

        CHECK_FALSE(OpenSessionFromPath(f.app, tmp.Path16("big.ols").c_str()));
        CHECK(LiveAllocationCount() == liveBefore); // the rows read so far are gone
        CheckCurrentUntouched(f);
        const HeadlessProgress* p = HeadlessProgressModel();
        CHECK(p->steps == cancelAt);
        CHECK((p->ends == 1 && p->shown == 0));
        CHECK(HeadlessControlById(0)->enabled == 1);
        CHECK(f.app->sessionReading == 0);
        const uint32_t read = cancelAt * kPiece < kTen ? cancelAt * kPiece : kTen;
        CHECK(f.Messages() == messagesBefore + 1);
        CHECK(LastMessage(kIconInformation) ==
              "Opening the session was cancelled after " + std::to_string(read) +
                  " of 10 rows had been read. Nothing of it was kept; what was already open has "
                  "been left as it was.\n\nFile: " +
                  tmp.Path("big.ols").string());

        // The same file opens whole when nobody cancels.
        HeadlessCancelProgressAtStep(0);
        CHECK(OpenSessionFromPath(f.app, tmp.Path16("big.ols").c_str()));
        CHECK(f.app->rowCount == static_cast<int32_t>(kTen));
    }
}

// What arrives for the window between pieces: a command of each kind, a close request and a
// second open. Each would show a question, a dialog or a message, or change the rows.
TEST_CASE("Commands that arrive while a session is read are ignored") {
    ExportFixture f;
    TempFolder tmp;
    PieceSize piece(kPiece);
    FillCurrent(f);
    f.app->rowsUnsaved = 1; // Clear and close would ask
    WriteSession(tmp.Path("big.ols"), SampleRows(kTen), 2, 3256);
    WriteSession(tmp.Path("other.ols"), SampleRows(2), 2, 3256);

    struct Arrivals {
        Recording* app;
        std::u16string other;
        uint32_t closesAllowed = 0;
        uint32_t nestedOpens = 0;
    } arrivals{f.app, tmp.Path16("other.ols")};
    HeadlessSetProgressStepHandler(
        [](void* context, uint32_t) {
            Arrivals* a = static_cast<Arrivals*>(context);
            HeadlessQueueDialogPath(a->other.c_str());
            for (int command : {int{kIdClearButton}, int{kCmdOpenSession}, int{kCmdExit},
                                int{kIdStartButton}, int{kCmdSummary}, int{kIdFileCheck}}) {
                DispatchCommand(a->app, static_cast<uintptr_t>(command));
            }
            if (HandleCloseRequest(a->app)) ++a->closesAllowed;
            if (OpenSessionFromPath(a->app, a->other.c_str())) ++a->nestedOpens;
        },
        &arrivals);
    const uint32_t messagesBefore = f.Messages();

    REQUIRE(OpenSessionFromPath(f.app, tmp.Path16("big.ols").c_str()));
    CHECK(HeadlessProgressModel()->steps == 4);
    CHECK(arrivals.closesAllowed == 0);
    CHECK(arrivals.nestedOpens == 0);
    CHECK(f.Messages() == messagesBefore); // no question, no message
    CHECK(HeadlessModel()->dialogCount == 0);
    CHECK(HeadlessControlById(0)->exists == 1);
    CHECK(f.app->recording == 0);
    CHECK(f.app->rowCount == static_cast<int32_t>(kTen)); // the session opened, whole
    CHECK(StoredPid(f.app, 9) == 5009);

    // Once the read is over, commands work again.
    HeadlessSetProgressStepHandler(nullptr, nullptr);
    HeadlessQueueAnswer(kAnswerYes);
    f.app->rowsUnsaved = 1;
    DispatchCommand(f.app, kIdClearButton);
    CHECK(f.app->rowCount == 0);
}

TEST_CASE("Refusals before the read show no progress; a read without a progress window works") {
    ExportFixture f;
    TempFolder tmp;
    PieceSize piece(kPiece);
    FillCurrent(f);
    WriteSession(tmp.Path("big.ols"), SampleRows(kTen), 2, 3256);

    SUBCASE("too large for the memory available") {
        SetAvailableMemoryOverride(1000);
        CHECK_FALSE(OpenSessionFromPath(f.app, tmp.Path16("big.ols").c_str()));
        SetAvailableMemoryOverride(0);
        CHECK(LastMessage(kIconError).rfind("This session holds 10 rows and needs 1 MB", 0) == 0);
        CHECK(HeadlessProgressModel()->begins == 0);
        CheckCurrentUntouched(f);
    }
    SUBCASE("memory for the rows refused") {
        RefuseAllocationsAbove(kTen * sizeof(CompactRow) - 1);
        CHECK_FALSE(OpenSessionFromPath(f.app, tmp.Path16("big.ols").c_str()));
        ResetAllocationFaults();
        CHECK(LastMessage(kIconError).rfind("The session could not be read.", 0) == 0);
        CHECK(HeadlessProgressModel()->begins == 0);
        CheckCurrentUntouched(f);
    }
    SUBCASE("each allocation of the open refused in turn") {
        // Every allocation the open makes, refused once: each refusal keeps what was open and
        // leaves the window enabled, or the open succeeds without needing that block.
        for (int64_t nth = 1; nth < 64; ++nth) {
            CAPTURE(nth);
            ExportFixture g;
            FillCurrent(g);
            const int64_t live = LiveAllocationCount();
            RefuseNthAllocation(nth);
            const bool opened = OpenSessionFromPath(g.app, tmp.Path16("big.ols").c_str());
            const bool reached = !AllocationRefusalPending();
            ResetAllocationFaults();
            CHECK(HeadlessControlById(0)->enabled == 1);
            CHECK(g.app->sessionReading == 0);
            if (!opened) {
                CheckCurrentUntouched(g);
                CHECK(LiveAllocationCount() == live);
            }
            if (!reached) break;
        }
    }
    SUBCASE("no progress window can be made") {
        HeadlessSetProgressBeginFails(true);
        REQUIRE(OpenSessionFromPath(f.app, tmp.Path16("big.ols").c_str()));
        CHECK(f.app->rowCount == static_cast<int32_t>(kTen));
        CHECK(HeadlessProgressModel()->steps == 0);
        CHECK(f.app->sessionReading == 0);
    }
}

} // namespace olv
