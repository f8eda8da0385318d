// The file operations called with a path: each returns its outcome (code, icon, the text the
// window shows) and shows nothing; the window's path part shows exactly that outcome.
#include "export/export_fixture.h"
#include "app/file_commands.h"
#include "export/exports.h"

using namespace olv;

namespace {

struct Writer {
    const char* name;
    Outcome (*write)(Recording*, const char16_t*);
    const char* written;
};
const Writer kWriters[] = {
    {"csv", ExportCsvFile, "4 events written to CSV."},
    {"json", ExportJsonFile, "4 events written to JSON."},
    {"jsonl", ExportJsonLinesFile, "4 events written to JSON Lines."},
    {"ols", SaveSessionFile, "4 events saved."},
};

} // namespace

TEST_CASE_FIXTURE(ExportFixture, "every writer: written, or a file error that names the file") {
    TempFolder folder;
    AddAll();
    Finished();
    for (const Writer& w : kWriters) {
        INFO(w.name);
        const std::u16string path = folder.Path16(std::string("out.") + w.name);
        const Outcome done = w.write(app, path.c_str());
        CHECK(done.code == OutcomeCode::kOk);
        CHECK(done.icon == kIconInformation);
        CHECK(U8(done.text) == w.written);
        CHECK(std::filesystem::exists(folder.Path(std::string("out.") + w.name)));

        // A folder that is not there: nothing is written, and the path is named whole.
        const std::u16string nowhere = folder.Path16("missing") + u"/out." +
                                       std::u16string(w.name, w.name + std::strlen(w.name));
        const Outcome failed = w.write(app, nowhere.c_str());
        CHECK(failed.code == OutcomeCode::kFileError);
        CHECK(failed.icon == kIconError);
        CHECK(U8(failed.text).rfind("The file could not be created: ", 0) == 0);
        CHECK(Has(U8(failed.text), "\n\nFile: " + U8(nowhere.c_str())));
        CHECK(U8(failed.caption) == "Olvetta");
    }
    CHECK(folder.Names().size() == 4);
    CHECK(Messages() == 0);

    // The window's path part shows the operation's outcome as it is.
    const std::u16string nowhere = folder.Path16("missing") + u"/again.csv";
    const Outcome expected = ExportCsvFile(app, nowhere.c_str());
    CHECK_FALSE(ExportCsvToPath(app, nowhere.c_str()));
    CHECK(LastMessage(kIconError) == U8(expected.text));
}

TEST_CASE_FIXTURE(ExportFixture, "opening: refusals leave what is open, each with its code") {
    TempFolder folder;
    AddAll();
    Finished();
    const std::u16string good = folder.Path16("good.ols");
    REQUIRE(SaveSessionFile(app, good.c_str()).code == OutcomeCode::kOk);
    const Bytes whole = ReadAll(folder.Path("good.ols"));
    WriteAll(folder.Path("cut.ols"), Bytes(whole.begin(), whole.end() - 7));
    WriteAll(folder.Path("text.ols"), BytesOf("not a session at all, only some text"));
    ClearRows(app);
    Add(kRows[0]); // what is open meanwhile

    struct Case {
        const char* file;
        OutcomeCode code;
        const char* start;
    };
    const Case cases[] = {
        {"absent.ols", OutcomeCode::kFileError, "The session file could not be opened: "},
        {"cut.ols", OutcomeCode::kDamagedFile, "The session file is damaged."},
        {"text.ols", OutcomeCode::kDamagedFile,
         "This is not a session file this version can read."},
    };
    for (const Case& c : cases) {
        INFO(c.file);
        const std::u16string path = folder.Path16(c.file);
        const Outcome o = OpenSessionFile(app, path.c_str());
        CHECK(o.code == c.code);
        CHECK(o.icon == kIconError);
        CHECK(U8(o.text).rfind(c.start, 0) == 0);
        CHECK(Has(U8(o.text), "File: " + U8(path.c_str())));
        CHECK(app->rowCount == 1);
    }

    app->recording = 1;
    const Outcome busy = OpenSessionFile(app, good.c_str());
    app->recording = 0;
    CHECK(busy.code == OutcomeCode::kBusy);
    CHECK(U8(busy.text) == "Stop monitoring before opening a session.");
    CHECK(busy.icon == kIconWarning);
    CHECK(app->rowCount == 1);

    const Outcome opened = OpenSessionFile(app, good.c_str());
    CHECK(opened.code == OutcomeCode::kOk);
    CHECK_FALSE(OutcomeHasMessage(opened)); // a complete record: nothing to warn of
    CHECK(app->rowCount == 4);
    CHECK(Messages() == 0);
}

TEST_CASE_FIXTURE(ExportFixture, "a record that is not complete opens with its warning") {
    TempFolder folder;
    AddAll();
    Finished();
    app->recordingInfo.droppedHere = 3;
    const std::u16string path = folder.Path16("lossy.ols");
    REQUIRE(SaveSessionFile(app, path.c_str()).code == OutcomeCode::kOk);
    ClearRows(app);
    const Outcome opened = OpenSessionFile(app, path.c_str());
    CHECK(opened.code == OutcomeCode::kOk);
    CHECK(opened.icon == kIconWarning);
    CHECK(U8(opened.text).rfind("This record does not contain everything that happened:", 0) == 0);
    CHECK(app->rowCount == 4);
    CHECK(Messages() == 0);
}

namespace {

// A front end's progress that records what it was told and cancels at a given step.
struct ProgressLog {
    std::vector<std::string> lines;
    int begun = 0, ended = 0;
    size_t cancelAt = 0; // 0: never
};
Progress LoggingProgress(ProgressLog* log) {
    Progress p{};
    p.begin = [](void* context, const char16_t* title, uint32_t) -> void* {
        auto* l = static_cast<ProgressLog*>(context);
        ++l->begun;
        l->lines.push_back(U8(title));
        return l;
    };
    p.step = [](void* handle, uint32_t, const char16_t* text) {
        auto* l = static_cast<ProgressLog*>(handle);
        l->lines.push_back(U8(text));
        return l->cancelAt != 0 && l->lines.size() - 1 >= l->cancelAt;
    };
    p.end = [](void* handle) { ++static_cast<ProgressLog*>(handle)->ended; };
    p.context = log;
    return p;
}

} // namespace

TEST_CASE_FIXTURE(ExportFixture, "opening reports to the front end's progress, which may cancel") {
    TempFolder folder;
    AddAll();
    Finished();
    const std::u16string path = folder.Path16("pieces.ols");
    REQUIRE(SaveSessionFile(app, path.c_str()).code == OutcomeCode::kOk);
    SetSessionReadPieceRows(1);
    ClearRows(app);

    ProgressLog all;
    const Progress whole = LoggingProgress(&all);
    CHECK(OpenSessionFile(app, path.c_str(), &whole).code == OutcomeCode::kOk);
    CHECK(all.lines == std::vector<std::string>{"Opening session", "Reading session: 1 of 4 rows",
                                                "Reading session: 2 of 4 rows",
                                                "Reading session: 3 of 4 rows",
                                                "Reading session: 4 of 4 rows"});
    CHECK((all.begun == 1 && all.ended == 1));

    ClearRows(app);
    ProgressLog cut;
    cut.cancelAt = 2;
    const Progress cancelling = LoggingProgress(&cut);
    const Outcome cancelled = OpenSessionFile(app, path.c_str(), &cancelling);
    CHECK(cancelled.code == OutcomeCode::kCancelled);
    CHECK(cancelled.icon == kIconInformation);
    CHECK(Has(U8(cancelled.text), "cancelled after 2 of 4 rows had been read"));
    CHECK((cut.begun == 1 && cut.ended == 1));
    CHECK(app->rowCount == 0);

    // Without a progress nothing is reported and nothing can cancel.
    CHECK(OpenSessionFile(app, path.c_str()).code == OutcomeCode::kOk);
    CHECK(app->rowCount == 4);
    SetSessionReadPieceRows(0);
    CHECK(Messages() == 0);
}
