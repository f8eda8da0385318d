// The safe file writer and the failure paths of the three file commands: a refused target, a
// failed write or refused memory leaves an existing target byte for byte as it was and no
// temporary file.
#include "doctest.h"

#include "export/export_fixture.h"
#include "app/file_commands.h"
#include "export/exports.h"
#include "export/safe_file.h"

namespace olv {

namespace {

struct Exporter {
    bool (*run)(Recording*, const char16_t*);
    const char* failure;
};

const Exporter kExporters[] = {
    {ExportCsvToPath, "The CSV could not be written. Nothing was changed: any file that was "
                      "already there has been left as it was."},
    {ExportJsonToPath, "The JSON could not be written. Nothing was changed: any file that was "
                       "already there has been left as it was."},
    {SaveSessionToPath, "The session could not be saved. Nothing was changed: any file that was "
                        "already there has been left as it was."},
};

} // namespace

TEST_CASE("Temporary names already taken are skipped and left alone") {
    ExportFixture f;
    TempFolder tmp;
    WriteAll(tmp.Path("report.csv.part"), BytesOf("someone else's"));
    SafeFileWriter w;
    REQUIRE(OpenSafeFile(&w, tmp.Path16("report.csv").c_str()));
    CHECK(U8(w.tempPath) == tmp.Path("report.csv.part1").string());
    WriteUtf8(&w, u"");
    CHECK(w.ok);
    const char16_t text[] = {u'c', u'a', u'f', 0xE9, u' ', 0xD83D, 0xDE00, u'<', 0xD800, u'>', 0};
    WriteUtf8(&w, text);
    WriteBytes(&w, "\x01\x02", 2);
    REQUIRE(CommitSafeFile(&w));
    const Bytes written = BytesOf("caf\xC3\xA9 \xF0\x9F\x98\x80<\xEF\xBF\xBD>\x01\x02");
    CHECK(ReadAll(tmp.Path("report.csv")) == written);
    CHECK(tmp.Names() == std::vector<std::string>{"report.csv", "report.csv.part"});
    CHECK(ReadAll(tmp.Path("report.csv.part")) == BytesOf("someone else's"));

    // With all 64 names taken nothing is written, and a commit touches no stranger's file.
    f.Finished();
    f.Add(kRows[0]);
    for (int n = 1; n < 64; ++n)
        WriteAll(tmp.Path("report.csv.part" + std::to_string(n)), BytesOf("x"));
    CHECK_FALSE(ExportCsvToPath(f.app, tmp.Path16("report.csv").c_str()));
    CHECK(LastMessage(kIconError) == "The file could not be created: The file exists. (80)\n\nFile: " +
                                         tmp.Path("report.csv").string());
    SafeFileWriter none;
    CHECK_FALSE(OpenSafeFile(&none, tmp.Path16("report.csv").c_str()));
    CHECK_FALSE(CommitSafeFile(&none));
    CHECK(tmp.Names().size() == 65);
    CHECK(ReadAll(tmp.Path("report.csv.part63")) == BytesOf("x"));
    CHECK(ReadAll(tmp.Path("report.csv")) == written);
}

TEST_CASE("Targets that cannot be written to are refused before anything is created") {
    ExportFixture f;
    TempFolder tmp;
    f.Finished();
    f.Add(kRows[0]);
    // Each message names the path and the system's words for why, never a bare number.
    const struct {
        std::u16string path;
        const char* reason;
    } paths[] = {
        {tmp.Path16("no such folder") + u"/x.out",
         "The system cannot find the path specified. (3)"},
        {tmp.dir.u16string() + u"/" + std::u16string(300, u'a'), // a name the system refuses
         "The filename or extension is too long. (206)"},
        {tmp.dir.u16string() + u"/" + std::u16string(kSafeTargetPathChars, u'a'), // would be cut
         "The filename or extension is too long. (206)"},
        {std::u16string(), "The system cannot find the path specified. (3)"},
    };
    for (const Exporter& e : kExporters) {
        for (const auto& p : paths) {
            CHECK_FALSE(e.run(f.app, p.path.c_str()));
            const std::string message = LastMessage(kIconError);
            const std::string file = "\n\nFile: " + U8(p.path.c_str());
#ifdef _WIN32
            // Wine answers a name past 255 characters given in the extended-length form with
            // "not found" where Windows says "too long"; either way nothing is created.
            if (message == "The file could not be created: The system cannot find the file "
                           "specified. (2)" + file)
                continue;
#endif
            CHECK(message == "The file could not be created: " + std::string(p.reason) + file);
        }
        CHECK_FALSE(e.run(f.app, nullptr));
    }
    CHECK(f.Messages() == 15);
    CHECK(tmp.Names().empty());
}

namespace {
// The test's own file calls on a path past MAX_PATH: the extended-length form on Windows, where
// the C++ library does not add it.
std::filesystem::path Long(std::filesystem::path p) {
#ifdef _WIN32
    return std::filesystem::path(L"\\\\?\\" + p.make_preferred().wstring());
#else
    return p;
#endif
}
} // namespace

TEST_CASE("Paths past MAX_PATH are written whole, up to the one limit the probe shares") {
    ExportFixture f;
    TempFolder tmp;
    f.Finished();
    f.Add(kRows[0]);
    // A folder whose files have paths of exactly the longest length taken, and one more.
    std::filesystem::path folder = tmp.dir;
    while (folder.u16string().size() < kSafeTargetPathChars - 250)
        folder /= std::string(200, 'f');
    std::filesystem::create_directories(Long(folder));
    const size_t room = kSafeTargetPathChars - 1 - folder.u16string().size() - 1;
    const std::u16string longest = (folder / std::string(room, 'n')).u16string();
    const std::u16string over = longest + u"n";
    REQUIRE(longest.size() == kSafeTargetPathChars - 1);
    CHECK(SafeTargetLengthFits(longest.size()));
    CHECK_FALSE(SafeTargetLengthFits(over.size()));
    CHECK_FALSE(SafeTargetLengthFits(0));

    // The probe creates and removes the very temporary file the writer would use.
    uint32_t error = 1;
    CHECK(ProbeSafeFile(longest.c_str(), &error));
    CHECK(error == 0);
#ifndef _WIN32
    // Wine's DeleteFileW leaves a file of an extended-length path in place, so the emptiness of
    // the folder is checked natively only.
    CHECK(std::filesystem::is_empty(Long(folder)));
#endif
    CHECK_FALSE(ProbeSafeFile(over.c_str(), &error));
    CHECK(error == 206);
    CHECK_FALSE(ProbeSafeFile((tmp.Path16("none") + u"/x").c_str(), &error));
    CHECK(error == 3);

    for (const Exporter& e : kExporters) {
        REQUIRE(e.run(f.app, longest.c_str()));
        CHECK(std::filesystem::file_size(Long(std::filesystem::path(longest))) > 0);
        CHECK_FALSE(e.run(f.app, over.c_str()));
    }
#ifndef _WIN32
    int entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(Long(folder))) {
        CHECK(entry.path().filename() == std::filesystem::path(longest).filename());
        ++entries;
    }
    CHECK(entries == 1);
#endif
}

// Every write of each command is refused in turn by the sweep in app/fault_sweep_test.cpp, which
// takes a file completed despite a refused flush or move as complete; here a refused write, flush
// or move must fail the command with its whole message.
TEST_CASE("A failed write, flush or move leaves the old file as it was and says so in full") {
    const Bytes old = BytesOf("the file that was there before\r\n");
    const struct {
        std::string what;
        void (*arm)(int64_t);
        int64_t n;
    } faults[] = {{"write", FailNthFileWrite, 1}, // the exports write a small file in one block
                  {"flush", FailNthFileFlush, 1},
                  {"move", FailNthFileMove, 1}};
    for (const Exporter& e : kExporters) {
        for (const auto& fault : faults) {
            INFO(fault.what, " refused; expected: ", std::string(e.failure));
            ExportFixture f;
            TempFolder tmp;
            f.Finished();
            f.Add(kRows[0]);
            WriteAll(tmp.Path("target"), old);
            fault.arm(fault.n);
            CHECK_FALSE(e.run(f.app, tmp.Path16("target").c_str()));
            ResetFileFaults();
            CHECK(LastMessage(kIconError) ==
                  std::string(e.failure) + "\n\nFile: " + tmp.Path("target").string());
            CHECK(ReadAll(tmp.Path("target")) == old);
            CHECK(tmp.Names() == std::vector<std::string>{"target"});
        }
    }
}

TEST_CASE("Refused memory: CSV writes nothing, JSON and a UTF-8 conversion fail the file") {
    ExportFixture f;
    TempFolder tmp;
    f.Finished();
    f.Add(kRows[0]);
    RefuseAllocationsAbove(1024); // the CSV's text buffers: no file, and the failure is said
    CHECK_FALSE(ExportCsvToPath(f.app, tmp.Path16("a.csv").c_str()));
    CHECK(LastMessage(kIconError) ==
          std::string(kExporters[0].failure) + "\n\nFile: " + tmp.Path("a.csv").string());
    RefuseAllocationsAbove(20000); // the JSON's head and row buffers
    CHECK_FALSE(ExportJsonToPath(f.app, tmp.Path16("a.json").c_str()));
    CHECK(LastMessage(kIconError) ==
          std::string(kExporters[1].failure) + "\n\nFile: " + tmp.Path("a.json").string());

    SafeFileWriter w;
    REQUIRE(OpenSafeFile(&w, tmp.Path16("u.txt").c_str()));
    RefuseNthAllocation(1);
    WriteUtf8(&w, u"text");
    ResetAllocationFaults();
    CHECK_FALSE(w.ok);
    CHECK_FALSE(CommitSafeFile(&w));
    CHECK(tmp.Names().empty());
}

} // namespace olv
