// Opening a version 2 session reads the file on a second thread, slices ahead of the packing. The
// rows, their texts and the progress must not depend on where the slices and pieces fall, nor on
// whether that thread could be started; a read that fails part way, with slices already read
// ahead, leaves what was open as it was.
#include "doctest.h"

#include <cstring>
#include <filesystem>

#include "app/file_commands.h"
#include "base/format.h"
#include "export/export_fixture.h"
#include "export/exports.h"
#include "platform/sim/headless_progress.h"
#include "platform/thread.h"
#include "record/text_store.h"

namespace olv {

namespace {

// Rows whose paths are all new and whose other texts repeat in runs, so that both the interning
// of new texts and the compare with the row before are crossed by every seam.
std::vector<EventRow> ManyRows(uint32_t count) {
    std::vector<EventRow> rows;
    for (uint32_t i = 0; i < count; ++i) {
        rows.push_back(MakeRow(kRows[(i / 5) % 4]));
        EventRow& row = rows.back();
        row.pid = 7000 + i % 3;
        std::memset(row.path, 0, sizeof row.path); // a stored row comes back zero past its texts
        FormatText(row.path, kPathChars, u"C:\\Temp\\f%u.bin", i);
    }
    return rows;
}

void WriteVersion2(const std::filesystem::path& path, const std::vector<EventRow>& rows) {
    const uint32_t words[] = {0x53564C4F, 2, 3256, static_cast<uint32_t>(rows.size())};
    Bytes b(reinterpret_cast<const unsigned char*>(words),
            reinterpret_cast<const unsigned char*>(words) + 16);
    const RecordingInfo block = StoppedRecordingInfo();
    b.insert(b.end(), reinterpret_cast<const unsigned char*>(&block),
             reinterpret_cast<const unsigned char*>(&block) + sizeof block);
    for (const EventRow& row : rows) {
        b.insert(b.end(), reinterpret_cast<const unsigned char*>(&row),
                 reinterpret_cast<const unsigned char*>(&row) + sizeof row);
    }
    WriteAll(path, b);
}

struct PieceRows {
    explicit PieceRows(uint32_t rows) { SetSessionReadPieceRows(rows); }
    ~PieceRows() { SetSessionReadPieceRows(0); }
};

struct Opened {
    bool ok = false;
    uint32_t texts = 0;
    uint32_t stepCount = 0;
    std::vector<uint32_t> steps; // the first kHeadlessProgressLog
};

Opened OpenAndCheck(ExportFixture& f, const std::filesystem::path& file,
                    const std::vector<EventRow>& rows) {
    Opened o;
    o.ok = OpenSessionFromPath(f.app, file.u16string().c_str());
    if (!o.ok) return o;
    REQUIRE(f.app->rowCount == static_cast<int32_t>(rows.size()));
    for (uint32_t i = 0; i < rows.size(); ++i) {
        if (!(StoredRow(f.app, static_cast<int32_t>(i)) == rows[i])) {
            FAIL_CHECK("row " << i << " differs");
            break;
        }
    }
    o.texts = TextCount(&f.app->rowTexts);
    const HeadlessProgress* p = HeadlessProgressModel();
    o.stepCount = p->steps;
    const auto most = static_cast<uint32_t>(kHeadlessProgressLog);
    const uint32_t logged = p->steps < most ? p->steps : most;
    o.steps.assign(p->doneLog, p->doneLog + logged);
    return o;
}

} // namespace

TEST_CASE("Rows read ahead on a second thread come out alike at every seam, thread or not") {
    // Slices are at most 64 rows and the ring holds four: counts and pieces around those bounds.
    const struct {
        uint32_t rows, piece;
    } cases[] = {
        {1, 0},    {63, 0},   {64, 0},   {65, 0},  {257, 0}, {300, 0}, {300, 1},
        {300, 63}, {300, 64}, {300, 65}, {300, 7}, {129, 128}, {520, 100},
    };
    for (const auto& c : cases) {
        CAPTURE(c.rows);
        CAPTURE(c.piece);
        TempFolder tmp;
        const std::vector<EventRow> rows = ManyRows(c.rows);
        WriteVersion2(tmp.Path("s.ols"), rows);
        PieceRows piece(c.piece);
        Opened threaded, alone;
        {
            ExportFixture f;
            threaded = OpenAndCheck(f, tmp.Path("s.ols"), rows);
            REQUIRE(threaded.ok);
        }
        {
            ExportFixture f;
            RefuseNthThreadStart(1);
            alone = OpenAndCheck(f, tmp.Path("s.ols"), rows);
            RefuseNthThreadStart(0);
            REQUIRE(alone.ok);
        }
        CHECK(threaded.texts == alone.texts);
        CHECK(threaded.steps == alone.steps);
        CHECK(threaded.stepCount == alone.stepCount);
        if (c.piece != 0 && c.rows > c.piece) {
            CHECK(threaded.stepCount == (c.rows + c.piece - 1) / c.piece);
            CHECK(U8(HeadlessProgressModel()->text) == "Reading session: " +
                                                           std::to_string(c.rows) + " of " +
                                                           std::to_string(c.rows) + " rows");
        }
    }
}

TEST_CASE("Memory refused at each allocation of a read-ahead open keeps what was open") {
    TempFolder tmp;
    const std::vector<EventRow> rows = ManyRows(300);
    WriteVersion2(tmp.Path("s.ols"), rows);
    PieceRows piece(70);
    for (const bool threadRefused : {false, true}) {
        CAPTURE(threadRefused);
        bool swept = false;
        for (int64_t nth = 1; nth < 400 && !swept; ++nth) {
            CAPTURE(nth);
            ExportFixture f;
            f.Finished();
            f.Add(kRows[0]);
            const int64_t live = LiveAllocationCount();
            if (threadRefused) RefuseNthThreadStart(1);
            RefuseNthAllocation(nth);
            const Opened o = OpenAndCheck(f, tmp.Path("s.ols"), rows);
            swept = AllocationRefusalPending();
            ResetAllocationFaults();
            RefuseNthThreadStart(0);
            CHECK(f.app->sessionReading == 0);
            CHECK(HeadlessControlById(0)->enabled == 1);
            if (!o.ok) {
                REQUIRE(f.app->rowCount == 1);
                CHECK(StoredRow(f.app, 0) == MakeRow(kRows[0]));
                CHECK(LiveAllocationCount() == live);
                CHECK(LastMessage(kIconError).rfind("The session could not be read.", 0) == 0);
            }
        }
        CHECK(swept); // every allocation of the open was reached
    }
}

#if !defined(_WIN32)
// The file is cut short while it is read: the slices read ahead are dropped with the rest.
TEST_CASE("A read that fails part way, slices read ahead, keeps what was open and frees all") {
    for (const bool threadRefused : {false, true}) {
        CAPTURE(threadRefused);
        ExportFixture f;
        TempFolder tmp;
        const std::vector<EventRow> rows = ManyRows(40);
        WriteVersion2(tmp.Path("s.ols"), rows);
        PieceRows piece(3);
        f.Finished();
        f.Add(kRows[0]);
        const int64_t live = LiveAllocationCount();
        struct Cut {
            std::filesystem::path file;
            uintmax_t size;
        } cut{tmp.Path("s.ols"),
              std::filesystem::file_size(tmp.Path("s.ols")) - 20 * sizeof(EventRow)};
        HeadlessSetProgressStepHandler(
            [](void* context, uint32_t) {
                const Cut* c = static_cast<const Cut*>(context);
                std::error_code error;
                if (std::filesystem::file_size(c->file, error) > c->size)
                    std::filesystem::resize_file(c->file, c->size, error);
            },
            &cut);
        if (threadRefused) RefuseNthThreadStart(1);
        CHECK_FALSE(OpenSessionFromPath(f.app, tmp.Path16("s.ols").c_str()));
        RefuseNthThreadStart(0);
        HeadlessSetProgressStepHandler(nullptr, nullptr);
        CHECK(LastMessage(kIconError).rfind("The session could not be read.", 0) == 0);
        CHECK(HeadlessProgressModel()->steps < 40 / 3);
        CHECK(HeadlessProgressModel()->ends == 1);
        REQUIRE(f.app->rowCount == 1);
        CHECK(StoredRow(f.app, 0) == MakeRow(kRows[0]));
        CHECK(f.app->sessionReading == 0);
        CHECK(LiveAllocationCount() == live);
    }
}
#endif

} // namespace olv
