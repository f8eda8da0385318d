// The safe file writer and the exports' failure paths: a failed write, flush or move at any
// position leaves an existing target byte for byte as it was and no temporary file behind.
#include "doctest.h"

#include "export/export_fixture.h"
#include "export/exports.h"
#include "export/safe_file.h"

namespace olv {

namespace {

const RowSpec kRow{SystemTime{2024, 3, 2, 5, 14, 7, 10, 5},
                   kCategoryFile,
                   u"CreateFile",
                   u"C:\\a.txt",
                   u"Disposition: Open",
                   u"SUCCESS",
                   u"a.exe",
                   u"",
                   100,
                   4,
                   0};

struct Exporter {
    const char* name;
    bool (*run)(AppState*, const char16_t*);
    const char* failure;
};

const Exporter kExporters[] = {
    {"csv", ExportCsvToPath,
     "The CSV could not be written. Nothing was changed: any file that was already there has "
     "been left as it was."},
    {"json", ExportJsonToPath,
     "The JSON could not be written. Nothing was changed: any file that was already there has "
     "been left as it was."},
    {"session", SaveSessionToPath,
     "The session could not be saved. Nothing was changed: any file that was already there has "
     "been left as it was."},
};

} // namespace

TEST_CASE("The writer goes through target.part and moves it into place") {
    ExportFixture f;
    TempFolder tmp;
    SafeFileWriter w;
    REQUIRE(OpenSafeFile(&w, tmp.Path16("out.txt").c_str()));
    CHECK(U8(w.tempPath) == tmp.Path("out.txt.part").string());
    CHECK(tmp.Names() == std::vector<std::string>{"out.txt.part"});
    WriteUtf8(&w, u"");
    CHECK(w.ok);
    WriteUtf8(&w, u"caf\u00e9 \U0001F600 ");
    const char16_t lone[] = {u'<', 0xD800, u'>', 0};
    WriteUtf8(&w, lone);
    WriteBytes(&w, "\x01\x02", 2);
    WriteBytes(&w, nullptr, 0);
    CHECK(w.ok);
    REQUIRE(CommitSafeFile(&w));
    CHECK(tmp.Names() == std::vector<std::string>{"out.txt"});
    CHECK(ReadAll(tmp.Path("out.txt")) ==
          BytesOf("caf\xC3\xA9 \xF0\x9F\x98\x80 <\xEF\xBF\xBD>\x01\x02"));
}

TEST_CASE("Temporary names already taken are skipped and left alone") {
    ExportFixture f;
    TempFolder tmp;
    WriteAll(tmp.Path("report.csv.part"), BytesOf("someone else's"));
    f.Finished();
    f.Add(kRow);

    SafeFileWriter w;
    REQUIRE(OpenSafeFile(&w, tmp.Path16("report.csv").c_str()));
    CHECK(U8(w.tempPath) == tmp.Path("report.csv.part1").string());
    w.ok = false; // a caller that finds its output unusable
    CHECK_FALSE(CommitSafeFile(&w));
    CHECK(tmp.Names() == std::vector<std::string>{"report.csv.part"});

    REQUIRE(ExportCsvToPath(f.app, tmp.Path16("report.csv").c_str()));
    CHECK(tmp.Names() == std::vector<std::string>{"report.csv", "report.csv.part"});
    CHECK(ReadAll(tmp.Path("report.csv.part")) == BytesOf("someone else's"));

    SUBCASE("with all 64 names taken nothing is written") {
        for (int n = 1; n < 64; ++n) {
            WriteAll(tmp.Path("report.csv.part" + std::to_string(n)), BytesOf("x"));
        }
        const Bytes before = ReadAll(tmp.Path("report.csv"));
        CHECK_FALSE(ExportCsvToPath(f.app, tmp.Path16("report.csv").c_str()));
        CHECK(LastMessage(kIconError) == "Failed to open file.");
        CHECK(ReadAll(tmp.Path("report.csv")) == before);
        CHECK(tmp.Names().size() == 65);
        SafeFileWriter none;
        CHECK_FALSE(OpenSafeFile(&none, tmp.Path16("report.csv").c_str()));
        CHECK_FALSE(none.ok);
        CHECK_FALSE(CommitSafeFile(&none)); // must not touch report.csv.part63
        CHECK(ReadAll(tmp.Path("report.csv.part63")) == BytesOf("x"));
    }
}

TEST_CASE("Targets that cannot be written to are refused before anything is created") {
    ExportFixture f;
    TempFolder tmp;
    f.Finished();
    f.Add(kRow);
    const std::u16string missingFolder = tmp.Path16("no such folder") + u"/x.out";
    // A path the writer would have to cut: the file would land under another name.
    const std::u16string tooLong = tmp.dir.u16string() + u"/" + std::u16string(300, u'a');
    for (const Exporter& e : kExporters) {
        CAPTURE(e.name);
        for (const std::u16string& path : {missingFolder, tooLong, std::u16string()}) {
            const uint32_t shown = f.Messages();
            CHECK_FALSE(e.run(f.app, path.c_str()));
            CHECK(f.Messages() == shown + 1);
            CHECK(LastMessage(kIconError) == "Failed to open file.");
        }
        CHECK_FALSE(e.run(f.app, nullptr));
    }
    CHECK(tmp.Names().empty());
}

TEST_CASE("A failed write, flush or move at any position leaves the old file as it was") {
    const Bytes old = BytesOf("the file that was there before\r\n");
    for (const Exporter& e : kExporters) {
        CAPTURE(e.name);
        ExportFixture f;
        TempFolder tmp;
        f.Finished();
        f.Add(kRow);
        f.Add(kRow);
        WriteAll(tmp.Path("target"), old);
        const std::u16string target = tmp.Path16("target");

        int writes = 0;
        for (int n = 1; n < 100; ++n) {
            CAPTURE(n);
            FailNthFileWrite(n);
            const bool written = e.run(f.app, target.c_str());
            ResetFileFaults();
            if (written) {
                writes = n - 1;
                break;
            }
            CHECK(LastMessage(kIconError) == e.failure);
            CHECK(ReadAll(tmp.Path("target")) == old);
            CHECK(tmp.Names() == std::vector<std::string>{"target"});
        }
        CHECK(writes >= 3); // mark or header, head or block, rows
        WriteAll(tmp.Path("target"), old);

        FailNthFileFlush(1);
        CHECK_FALSE(e.run(f.app, target.c_str()));
        CHECK(LastMessage(kIconError) == e.failure);
        CHECK(ReadAll(tmp.Path("target")) == old);
        CHECK(tmp.Names() == std::vector<std::string>{"target"});

        FailNthFileMove(1);
        CHECK_FALSE(e.run(f.app, target.c_str()));
        CHECK(LastMessage(kIconError) == e.failure);
        CHECK(ReadAll(tmp.Path("target")) == old);
        CHECK(tmp.Names() == std::vector<std::string>{"target"});

        ResetFileFaults();
        REQUIRE(e.run(f.app, target.c_str()));
        CHECK(ReadAll(tmp.Path("target")) != old);
        CHECK(tmp.Names() == std::vector<std::string>{"target"});
    }
}

TEST_CASE("Refused memory: CSV writes nothing, JSON fails as a whole, a session still saves") {
    ExportFixture f;
    TempFolder tmp;
    f.Finished();
    f.Add(kRow);
    const uint32_t before = f.Messages();

    SUBCASE("CSV text buffers refused: no file and no message") {
        RefuseAllocationsAbove(1024);
        CHECK_FALSE(ExportCsvToPath(f.app, tmp.Path16("a.csv").c_str()));
        ResetAllocationFaults();
        CHECK(f.Messages() == before);
    }
    SUBCASE("JSON head and row buffers refused: the export fails") {
        RefuseAllocationsAbove(20000);
        CHECK_FALSE(ExportJsonToPath(f.app, tmp.Path16("a.json").c_str()));
        ResetAllocationFaults();
        CHECK(LastMessage(kIconError) ==
              "The JSON could not be written. Nothing was changed: any file that was already "
              "there has been left as it was.");
    }
    SUBCASE("a UTF-8 conversion buffer refused clears ok") {
        SafeFileWriter w;
        REQUIRE(OpenSafeFile(&w, tmp.Path16("u.txt").c_str()));
        RefuseNthAllocation(1);
        WriteUtf8(&w, u"text");
        ResetAllocationFaults();
        CHECK_FALSE(w.ok);
        WriteUtf8(&w, u"more");
        CHECK_FALSE(CommitSafeFile(&w));
    }
    SUBCASE("a session needs no buffer") {
        RefuseAllocationsAbove(1);
        CHECK(SaveSessionToPath(f.app, tmp.Path16("a.ols").c_str()));
        ResetAllocationFaults();
        CHECK(LastMessage(kIconInformation) == "1 events saved.");
    }
    CHECK(tmp.Names().size() <= 1);
    for (const std::string& name : tmp.Names())
        CHECK(name == "a.ols");
}

} // namespace olv
