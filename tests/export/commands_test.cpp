// The menu commands: each shows its dialog with the right filter, extension and flags, then runs
// the path part; a cancelled dialog does nothing.
#include "doctest.h"

#include "export/export_fixture.h"
#include "export/exports.h"

namespace olv {

namespace {

std::u16string FilterOf(const HeadlessDialog& d) {
    size_t end = 0;
    while (end + 1 < kHeadlessFilterChars && !(d.filter[end] == 0 && d.filter[end + 1] == 0)) {
        ++end;
    }
    return std::u16string(d.filter, end + 2);
}

} // namespace

TEST_CASE("Menu commands show their dialog, then write or read the chosen file") {
    struct Case {
        const char* name;
        void (*command)(AppState*);
        bool save;
        std::u16string filter;
        const char* extension;
        uint32_t flags;
        const char* file;
        const char* success;
    };
    const Case cases[] = {
        {"csv", ExportCsv, true, std::u16string(u"CSV (*.csv)\0*.csv\0Text (*.txt)\0*.txt\0\0", 38),
         "csv", kOfnOverwritePrompt, "a.csv", "1 events written to CSV."},
        {"json", ExportJson, true, std::u16string(u"JSON (*.json)\0*.json\0\0", 22), "json",
         kOfnOverwritePrompt, "a.json", "1 events written to JSON."},
        {"save", SaveSession, true, std::u16string(u"Olvetta Session (*.ols)\0*.ols\0\0", 31),
         "ols", kOfnOverwritePrompt, "a.ols", "1 events saved."},
        {"open", OpenSession, false, std::u16string(u"Olvetta Session (*.ols)\0*.ols\0\0", 31), "",
         kOfnPathMustExist | kOfnFileMustExist, "a.ols", nullptr},
    };
    ExportFixture f;
    TempFolder tmp;
    f.Finished();
    const RowSpec row{SystemTime{2024, 3, 2, 5, 14, 7, 10, 5},
                      kCategoryFile,
                      u"CreateFile",
                      u"C:\\a.txt",
                      u"",
                      u"SUCCESS",
                      u"a.exe",
                      u"",
                      100,
                      4,
                      0};
    f.Add(row);

    for (const Case& c : cases) {
        CAPTURE(c.name);
        const uint32_t messages = f.Messages();
        const uint32_t dialogs = HeadlessModel()->dialogCount;
        HeadlessQueueDialogCancel();
        c.command(f.app);
        CHECK(HeadlessModel()->dialogCount == dialogs + 1);
        CHECK(f.Messages() == messages);

        HeadlessQueueDialogPath(tmp.Path16(c.file).c_str());
        c.command(f.app);
        const HeadlessDialog& d = HeadlessModel()->lastDialog;
        CHECK(d.save == (c.save ? 1 : 0));
        CHECK(d.owned == 1);
        CHECK(d.flags == c.flags);
        CHECK(FilterOf(d) == c.filter);
        CHECK(U8(d.defaultExtension) == c.extension);
        CHECK(U8(d.initialPath).empty());
        if (c.success != nullptr) {
            CHECK(LastMessage(kIconInformation) == c.success);
        } else {
            CHECK(f.Messages() == messages); // a complete session opens without a message
            CHECK(f.app->rowCount == 1);
        }
    }
    CHECK(tmp.Names() == std::vector<std::string>{"a.csv", "a.json", "a.ols"});

    SUBCASE("Open Session while recording: refused before any dialog") {
        f.app->recording = 1;
        const uint32_t dialogs = HeadlessModel()->dialogCount;
        OpenSession(f.app);
        f.app->recording = 0;
        CHECK(HeadlessModel()->dialogCount == dialogs);
        CHECK(LastMessage(kIconWarning) == "Stop monitoring before opening a session.");
    }
}

} // namespace olv
