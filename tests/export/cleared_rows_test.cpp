// Rows the user clears are a loss like the others: every file written afterwards and the summary
// say how many there were and when, and a session file keeps the account.
#include "export_fixture.h"

#include "app/lifecycle.h"
#include "app/file_commands.h"
#include "export/exports.h"
#include "base/note_text.h"
#include "platform/time.h"
#include "report/completeness.h"
#include "report/summary.h"

namespace olv {

namespace {

constexpr int64_t kClearTicks = 133542500000000000;

// The note of RecordClearAndGoOn, with the local time of the Clear in the zone the tests run in.
std::string ClearedNote() {
    SystemTime at{};
    REQUIRE(FileTimeToLocalTime(kClearTicks, &at));
    char16_t text[48];
    FormatLongTime(at, text, 48);
    return "4 row(s) recorded before " + U8(text) +
           " were cleared by the user; their times ran from 2024-03-05 14:07:10.005 to "
           "2024-12-31 23:59:59.999.";
}

// The four rows of kRows, cleared by the user (answering Yes), then one row recorded after the
// Clear.
void RecordClearAndGoOn(ExportFixture& f) {
    f.Finished();
    f.AddAll();
    SetClockOverride(kClearTicks);
    HeadlessQueueAnswer(kAnswerYes);
    DispatchCommand(f.app, kIdClearButton);
    REQUIRE(f.app->rowCount == 0);
    f.Add(kRows[3]);
}

std::string Summary(Recording* app) {
    char16_t* text = BuildSummaryText(app);
    REQUIRE(text != nullptr);
    std::string out = U8(text);
    FreeBlock(text);
    return out;
}

} // namespace

TEST_CASE("Cleared rows are reported in CSV, JSON, the summary and a session file") {
    TempFolder tmp;
    ExportFixture f;
    RecordClearAndGoOn(f);
    const std::string kClearedNote = ClearedNote();
    CHECK(f.app->cleared.rows == 4);

    REQUIRE(ExportCsvToPath(f.app, tmp.Path16("a.csv").c_str()));
    const std::string csv = CsvText(ReadAll(tmp.Path("a.csv")));
    CHECK(Has(csv, "# All 1 rows kept after Clear are in this file.\r\n"));
    CHECK(Has(csv, "# This record is incomplete:\r\n#   " + kClearedNote + "\r\n"));
    CHECK_FALSE(Has(csv, "Nothing is known to be missing"));

    REQUIRE(ExportJsonToPath(f.app, tmp.Path16("a.json").c_str()));
    std::vector<std::string> strings;
    JsonText(ReadAll(tmp.Path("a.json")), &strings);
    CHECK(std::find(strings.begin(), strings.end(), kClearedNote) != strings.end());

    const std::string summary = Summary(f.app);
    CHECK(Has(summary, "[This record is incomplete]\r\n  " + kClearedNote + "\r\n"));

    // The session file carries the account (version 3) and gives it back when opened.
    REQUIRE(SaveSessionToPath(f.app, tmp.Path16("a.ols").c_str()));
    const Bytes session = ReadAll(tmp.Path("a.ols"));
    REQUIRE(session.size() == 16 + kRecordingInfoSize + kClearedRowsSize + sizeof(EventRow));
    CHECK(session[4] == 3);
    ExportFixture g;
    REQUIRE(OpenSessionFromPath(g.app, tmp.Path16("a.ols").c_str()));
    CHECK(Has(LastMessage(kIconWarning), kClearedNote));
    CHECK(std::memcmp(&g.app->cleared, &f.app->cleared, sizeof(ClearedRows)) == 0);
    CHECK(g.app->rowCount == 1);

    // A second Clear adds to the account; a new recording starts without one.
    HeadlessQueueAnswer(kAnswerYes);
    DispatchCommand(g.app, kIdClearButton);
    CHECK(g.app->cleared.rows == 5);
}

TEST_CASE("Without a Clear the session stays version 2 and opening one forgets the account") {
    TempFolder tmp;
    ExportFixture f;
    f.Finished();
    f.AddAll();
    REQUIRE(SaveSessionToPath(f.app, tmp.Path16("plain.ols").c_str()));
    CHECK(ReadAll(tmp.Path("plain.ols"))[4] == 2);

    ExportFixture g;
    RecordClearAndGoOn(g);
    REQUIRE(OpenSessionFromPath(g.app, tmp.Path16("plain.ols").c_str()));
    CHECK(g.app->cleared.rows == 0);
    char16_t notes[1024];
    CHECK(BuildCompletenessNotes(g.app, notes, 1024, u"") == 0);
}

} // namespace olv

namespace olv {

// Clear gives back what a large recording took: the blocks beyond the first allocation go, and
// the next row starts with the first block again.
TEST_CASE("Clear releases row memory beyond the first allocation") {
    ExportFixture f;
    f.Finished();
    const EventRow row = MakeRow(kRows[0]);
    for (int i = 0; i < kFirstRowCapacity + 1; ++i)
        AppendRow(f.app, &row);
    REQUIRE(f.app->rowCapacity > kFirstRowCapacity);
    REQUIRE(f.app->shownCapacity > kFirstRowCapacity);
    const int64_t liveBefore = LiveAllocationCount();
    HeadlessQueueAnswer(kAnswerYes);
    DispatchCommand(f.app, kIdClearButton);
    CHECK(f.app->rowCount == 0);
    CHECK(f.app->rowCapacity == 0);
    CHECK(f.app->shownCapacity == 0);
    CHECK(TextCount(&f.app->rowTexts) == 1);
    // The rows, the shown rows and the text store's entries, pool and index.
    CHECK(LiveAllocationCount() == liveBefore - 5);
    AppendRow(f.app, &row);
    CHECK(f.app->rowCapacity == kFirstRowCapacity);
    CHECK(f.app->rowCount == 1);

    // A store that never grew beyond its first block keeps it.
    HeadlessQueueAnswer(kAnswerYes);
    DispatchCommand(f.app, kIdClearButton);
    CHECK(f.app->rowCapacity == kFirstRowCapacity);
}

} // namespace olv
