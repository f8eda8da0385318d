// UTC instants in JSON and JSON Lines: each local time of a row and of the head has its UTC form
// beside it, taken from the row's own time stamp (so a change to or from daylight time during the
// recording shifts nothing), from the bias in force at Start and Stop for the head, and from the
// bias at Start for rows of older sessions that carry no time stamp.
#include <nlohmann/json.hpp>

#include <sstream>

#include "export/export_fixture.h"
#include "app/file_commands.h"
#include "export/exports.h"
#include "export/line_digits.h"

namespace olv {

namespace {

// Central European time: UTC+1, and UTC+2 from 2024-03-31 01:00 UTC (02:00 local becomes 03:00).
constexpr int32_t kWinterBias = -60;
constexpr int32_t kSummerBias = -120;

int64_t Ticks(const SystemTime& utc) {
    int64_t t = 0;
    REQUIRE(UtcSystemTimeToTicks(utc, &t));
    return t;
}

// A row as the decoder leaves it: local time and the trace's UTC time stamp.
EventRow RowAt(const SystemTime& local, int64_t utcTicks, const char16_t* operation) {
    RowSpec spec = kRows[3];
    spec.time = local;
    spec.operation = operation;
    EventRow row = MakeRow(spec);
    row.timestamp = static_cast<uint64_t>(utcTicks);
    return row;
}

struct UtcFixture : ExportFixture {
    TempFolder folder;

    UtcFixture() {
        Finished();
        RecordingInfo& info = app->recordingInfo;
        info.utcBias = kWinterBias;
        info.started = SystemTime{2024, 3, 6, 30, 23, 59, 0, 0};
        info.stopped = SystemTime{2024, 3, 0, 31, 3, 5, 0, 500};
        app->origin.blockSize = kRecordingOriginSize;
        app->origin.flags = stopUtcBiasKnown;
        app->origin.stopUtcBias = kSummerBias;
        // The last winter millisecond, the first summer one, a row of the day before in UTC,
        // and a row of an older session, without a time stamp.
        Append(RowAt(SystemTime{2024, 3, 0, 31, 1, 59, 59, 999},
                     Ticks(SystemTime{2024, 3, 0, 31, 0, 59, 59, 999}), u"Winter"));
        Append(RowAt(SystemTime{2024, 3, 0, 31, 3, 0, 0, 0},
                     Ticks(SystemTime{2024, 3, 0, 31, 1, 0, 0, 0}), u"Summer"));
        Append(RowAt(SystemTime{2024, 3, 0, 31, 0, 30, 0, 250},
                     Ticks(SystemTime{2024, 3, 6, 30, 23, 30, 0, 250}) + 9999, u"DayBefore"));
        Append(RowAt(SystemTime{2024, 3, 0, 31, 0, 10, 0, 7}, 0, u"Untimed"));
    }
    std::vector<EventRow> rows; // as appended
    void Append(const EventRow& row) {
        rows.push_back(row);
        AppendRow(app, &row);
    }
    // The store holding `rows` again, after a change to them.
    void Refill() {
        ClearRows(app);
        for (const EventRow& row : rows)
            AppendRow(app, &row);
        REQUIRE(app->rowCount == static_cast<int32_t>(rows.size()));
    }

    nlohmann::json Json(const char* name) {
        REQUIRE(ExportJsonToPath(app, folder.Path16(name).c_str()));
        return nlohmann::json::parse(JsonText(ReadAll(folder.Path(name))));
    }
    std::vector<nlohmann::json> JsonLines(const char* name) {
        REQUIRE(ExportJsonLinesToPath(app, folder.Path16(name).c_str()));
        const Bytes file = ReadAll(folder.Path(name));
        std::istringstream in(std::string(file.begin(), file.end()));
        std::vector<nlohmann::json> lines;
        for (std::string line; std::getline(in, line);)
            lines.push_back(nlohmann::json::parse(line));
        return lines;
    }
};

const char* const kRowUtc[] = {"2024-03-31T00:59:59.999Z", "2024-03-31T01:00:00.000Z",
                               "2024-03-30T23:30:00.250Z", "2024-03-30T23:10:00.007Z"};

void CheckHead(const nlohmann::json& head) {
    CHECK(head["started"] == "2024-03-30 23:59:00.000");
    CHECK(head["startedUtc"] == "2024-03-30T22:59:00.000Z");
    CHECK(head["stopped"] == "2024-03-31 03:05:00.500");
    CHECK(head["stoppedUtc"] == "2024-03-31T01:05:00.500Z"); // by the bias at Stop
    CHECK(head["utcOffsetMinutes"] == 60);
}

} // namespace

TEST_CASE_FIXTURE(UtcFixture, "JSON and JSON Lines: UTC beside every local time, across a day "
                              "and the start of daylight time") {
    const nlohmann::json json = Json("utc.json");
    CheckHead(json);
    REQUIRE(json["events"].size() == 4);
    for (size_t i = 0; i < 4; ++i) {
        CAPTURE(i);
        CHECK(json["events"][i]["timeUtc"] == kRowUtc[i]);
    }
    CHECK(json["events"][0]["time"] == "2024-03-31 01:59:59.999"); // the local time is kept
    // The members' order: each UTC form right after its local time.
    const std::string text = JsonText(ReadAll(folder.Path("utc.json")));
    CHECK(Has(text, "\"stopped\":\"2024-03-31 03:05:00.500\",\n  \"stoppedUtc\":"
                    "\"2024-03-31T01:05:00.500Z\",\n  \"utcOffsetMinutes\": 60,\n"));
    CHECK(Has(text,
              "{\"time\":\"2024-03-31 03:00:00.000\",\"timeUtc\":\"2024-03-31T01:00:00.000Z\","
              "\"severity\":"));

    const std::vector<nlohmann::json> lines = JsonLines("utc.jsonl");
    REQUIRE(lines.size() == 6);
    CheckHead(lines[0]);
    for (size_t i = 0; i < 4; ++i)
        CHECK(lines[i + 1]["timeUtc"] == kRowUtc[i]);
}

TEST_CASE_FIXTURE(UtcFixture, "UTC of older recordings: the bias at Start stands in; nothing "
                              "known gives empty texts and a null offset") {
    // A session of an older version kept no bias at Stop: the one at Start turns the stop time.
    app->origin = RecordingOrigin{};
    CHECK(Json("old.json")["stoppedUtc"] == "2024-03-31T02:05:00.500Z");

    // A time stamp no calendar date holds, and a local time that is not known.
    rows[0].timestamp = static_cast<uint64_t>(kUtcTicksEnd);
    rows[3].time = SystemTime{};
    Refill();
    nlohmann::json json = Json("odd.json");
    CHECK(json["events"][0]["timeUtc"] == "");
    CHECK(json["events"][3]["timeUtc"] == "");
    CHECK(json["events"][1]["timeUtc"] == kRowUtc[1]);

    // Without a RecordingInfo (a version-1 session) only the rows' own time stamps are known.
    app->recordingInfoValid = 0;
    rows[3].time = SystemTime{2024, 3, 0, 31, 0, 10, 0, 7};
    Refill();
    json = Json("v1.json");
    CHECK(json["startedUtc"] == "");
    CHECK(json["stoppedUtc"] == "");
    CHECK(json["utcOffsetMinutes"].is_null());
    CHECK(json["events"][2]["timeUtc"] == kRowUtc[2]);
    CHECK(json["events"][3]["timeUtc"] == "");
}

TEST_CASE("The UTC form: every member padded, a five-digit year, a second's text made once") {
    struct Case {
        SystemTime utc;
        const char* text;
    };
    const Case cases[] = {
        {SystemTime{1601, 1, 1, 1, 0, 0, 0, 0}, "1601-01-01T00:00:00.000Z"},
        {SystemTime{2024, 2, 4, 29, 9, 8, 7, 6}, "2024-02-29T09:08:07.006Z"},
        {SystemTime{2024, 2, 4, 29, 9, 8, 7, 950}, "2024-02-29T09:08:07.950Z"},
        {SystemTime{2024, 2, 4, 29, 23, 59, 59, 999}, "2024-02-29T23:59:59.999Z"},
        {SystemTime{2024, 3, 5, 1, 0, 0, 0, 0}, "2024-03-01T00:00:00.000Z"},
        {SystemTime{30827, 12, 0, 31, 23, 59, 59, 999}, "30827-12-31T23:59:59.999Z"},
    };
    UtcDate date; // one cache for all: each new second must replace the text
    for (const Case& c : cases) {
        char text[kUtcTimeMaxChars + 1] = {};
        char* end = PutUtcTime(text, Ticks(c.utc) + 9999, &date); // below a millisecond: cut
        CHECK(std::string(text, end) == c.text);
    }
    CHECK(Ticks(SystemTime{30827, 12, 0, 31, 23, 59, 59, 999}) + 10000 == kUtcTicksEnd);
}

} // namespace olv
