// Every file of the session corpus (tests/corpus/session, also the fuzzer's seeds) is opened over
// a recording in memory. The name says what must happen: v1_ and v2_ files open, damaged_ files
// are reported damaged, not_session_ files are refused as foreign; a refused file leaves the
// recording in memory as it was.
#include "doctest.h"

#include "export/export_fixture.h"
#include "export/exports.h"

namespace olv {

TEST_CASE("Session corpus") {
    const std::filesystem::path folder =
        std::filesystem::path(OLV_SOURCE_DIR) / "tests" / "corpus" / "session";
    REQUIRE(std::filesystem::is_directory(folder));
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    CHECK(files.size() >= 10);

    const RowSpec keep{SystemTime{2024, 1, 1, 1, 0, 0, 0, 0},
                       kCategoryFile,
                       u"Keep",
                       u"C:\\keep",
                       u"",
                       u"",
                       u"keep.exe",
                       u"",
                       7,
                       1,
                       0};
    for (const std::filesystem::path& file : files) {
        const std::string name = file.filename().string();
        CAPTURE(name);
        ExportFixture f;
        f.Finished();
        f.Add(keep);
        f.app->droppedHere = 5;
        const EventRow before = f.app->rows[0];

        const bool opened = OpenSessionFromPath(f.app, file.u16string().c_str());
        if (name.rfind("v1_", 0) == 0 || name.rfind("v2_", 0) == 0) {
            CHECK(opened);
            CHECK(f.app->droppedHere == 0);
            CHECK(f.app->recordingInfoValid == (name.rfind("v2_", 0) == 0 ? 1 : 0));
            for (int i = 0; i < f.app->rowCount; ++i) {
                const EventRow& row = f.app->rows[i];
                CHECK(row.category <= 4);
                CHECK(row.severity <= 3);
                CHECK(TextLength(row.path) < kPathChars);
                CHECK(TextLength(row.threat) < kThreatChars);
            }
            continue;
        }
        CHECK_FALSE(opened);
        if (name.rfind("damaged_", 0) == 0) {
            CHECK(LastMessage(kIconError) == "The session file is damaged.");
        } else {
            CHECK(LastMessage(kIconError) == "This is not a session file this version can read.");
        }
        REQUIRE(f.app->rowCount == 1);
        CHECK(std::memcmp(&f.app->rows[0], &before, sizeof before) == 0);
        CHECK(f.app->shownCount == 1);
        CHECK(f.app->droppedHere == 5);
        CHECK(f.app->recordingInfoValid == 1);
        CHECK(f.app->recordingInfo.blockSize == 1296);
    }
}

} // namespace olv
