// A session's times and UTC bias are printed in every header; a file whose values no clock gives
// is refused as damaged, naming the field, and what is open stays as it was.
#include "doctest.h"

#include <climits>

#include "export/export_fixture.h"
#include "app/file_commands.h"
#include "export/exports.h"
#include "export/session_check.h"

namespace olv {

namespace {

Bytes SessionWithBlock(const RecordingInfo& block) {
    const uint32_t words[] = {0x53564C4F, kSessionVersion, kSessionRecordSize, 1};
    const EventRow row = MakeRow(kRows[0]);
    Bytes b;
    auto add = [&](const void* p, size_t n) {
        b.insert(b.end(), static_cast<const unsigned char*>(p),
                 static_cast<const unsigned char*>(p) + n);
    };
    add(words, 16);
    add(&block, sizeof block);
    add(&row, sizeof row);
    return b;
}

} // namespace

TEST_CASE("damaged times and biases are refused, naming the field; what is open stays") {
    struct Case {
        const char* what;
        void (*damage)(RecordingInfo*);
        const char* message; // empty: the file opens
    } cases[] = {
        {"month 13", [](RecordingInfo* i) { i->started.month = 13; },
         "The session file is damaged: the start time's month is 13."},
        {"month 0", [](RecordingInfo* i) { i->stopped.month = 0; },
         "The session file is damaged: the stop time's month is 0."},
        {"day 0", [](RecordingInfo* i) { i->started.day = 0; },
         "The session file is damaged: the start time's day is 0."},
        {"30 February", [](RecordingInfo* i) { i->started = {2024, 2, 5, 30, 1, 1, 1, 1}; },
         "The session file is damaged: the start time's day is 30."},
        {"29 February of 2023", [](RecordingInfo* i) { i->stopped = {2023, 2, 3, 29, 1, 1, 1, 1}; },
         "The session file is damaged: the stop time's day is 29."},
        {"hour 25", [](RecordingInfo* i) { i->started.hour = 25; },
         "The session file is damaged: the start time's hour is 25."},
        {"minute 60", [](RecordingInfo* i) { i->stopped.minute = 60; },
         "The session file is damaged: the stop time's minute is 60."},
        {"second 60", [](RecordingInfo* i) { i->started.second = 60; },
         "The session file is damaged: the start time's second is 60."},
        {"milliseconds 1000", [](RecordingInfo* i) { i->stopped.milliseconds = 1000; },
         "The session file is damaged: the stop time's milliseconds is 1000."},
        {"year 65535", [](RecordingInfo* i) { i->started.year = 65535; },
         "The session file is damaged: the start time's year is 65535."},
        {"year 1600", [](RecordingInfo* i) { i->stopped.year = 1600; },
         "The session file is damaged: the stop time's year is 1600."},
        {"a stop time of year 0 with an hour", [](RecordingInfo* i) { i->stopped = {}; i->stopped.hour = 3; },
         "The session file is damaged: the stop time's year is 0."},
        {"a damaged snapshot time",
         [](RecordingInfo* i) { i->snapshotTakenAt = {2024, 3, 0, 2, 24, 0, 0, 0}; },
         "The session file is damaged: the snapshot time's hour is 24."},
        {"bias INT_MIN", [](RecordingInfo* i) { i->utcBias = INT_MIN; },
         "The session file is damaged: the UTC bias is -2147483648 minutes."},
        {"bias 15 hours", [](RecordingInfo* i) { i->utcBias = 900; },
         "The session file is damaged: the UTC bias is 900 minutes."},
        {"bias -841", [](RecordingInfo* i) { i->utcBias = -841; },
         "The session file is damaged: the UTC bias is -841 minutes."},
        // What real clocks and zones give opens.
        {"UTC+14", [](RecordingInfo* i) { i->utcBias = -840; }, ""},
        {"UTC-12", [](RecordingInfo* i) { i->utcBias = 720; }, ""},
        {"29 February of 2024, last moment of a day",
         [](RecordingInfo* i) { i->stopped = {2024, 2, 4, 29, 23, 59, 59, 999}; }, ""},
        {"unknown stop and snapshot times", [](RecordingInfo* i) { i->stopped = {}; i->snapshotTakenAt = {}; }, ""},
        {"an all-zero block", [](RecordingInfo* i) { *i = RecordingInfo{}; i->blockSize = kRecordingInfoSize; }, ""},
        {"years 1601 and 30827",
         [](RecordingInfo* i) { i->started.year = 1601; i->stopped.year = 30827; }, ""},
    };
    for (const Case& c : cases) {
        CAPTURE(std::string(c.what));
        ExportFixture f;
        TempFolder tmp;
        f.Finished();
        f.Add(kRows[0]);
        f.Add(kRows[1]);
        RecordingInfo block = StoppedRecordingInfo();
        c.damage(&block);
        WriteAll(tmp.Path("s.ols"), SessionWithBlock(block));
        const bool opened = OpenSessionFromPath(f.app, tmp.Path16("s.ols").c_str());
        if (c.message[0] == 0) {
            CHECK(opened);
            CHECK(f.app->rowCount == 1);
            CHECK(std::memcmp(&f.app->recordingInfo, &block, sizeof block) == 0);
            continue;
        }
        CHECK_FALSE(opened);
        // The field first, then the file it was found in.
        const std::string shown = LastMessage(kIconError);
        CHECK(shown.substr(0, shown.find('\n')) == c.message);
        CHECK(shown.find("\n\nFile: ") != std::string::npos);
        CHECK(f.app->rowCount == 2);
        const RecordingInfo stopped = StoppedRecordingInfo();
        CHECK(std::memcmp(&f.app->recordingInfo, &stopped, sizeof stopped) == 0);
    }
}

TEST_CASE("a time is all zero (not known) or a real date, field by field") {
    const char16_t* field = nullptr;
    uint32_t value = 0;
    CHECK(SystemTimeInRange(SystemTime{}, &field, &value));
    CHECK(field == nullptr);
    // The first field out of range is named, in the order year, month, day, hour, ...
    CHECK_FALSE(SystemTimeInRange(SystemTime{0, 13, 0, 40, 99, 99, 99, 9999}, &field, &value));
    CHECK(U8(field) == "year");
    CHECK_FALSE(SystemTimeInRange(SystemTime{2024, 4, 0, 31, 0, 0, 0, 0}, &field, &value));
    CHECK((U8(field) == "day" && value == 31));
    CHECK(SystemTimeInRange(SystemTime{2000, 2, 2, 29, 0, 0, 0, 0}, &field, &value)); // 400 rule
    CHECK_FALSE(SystemTimeInRange(SystemTime{1900, 2, 3, 29, 0, 0, 0, 0}, &field, &value));
}

} // namespace olv
