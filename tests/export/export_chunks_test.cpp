// The writers format their lines in chunks on two threads and write the chunks in order. These
// tests hold every chunking to the bytes one thread writes in one chunk, with chunks that end in
// the middle of a block and blocks that fill in the middle of a chunk, and check that a failure
// in either thread fails the file, leaves nothing behind and ends both threads.
#include <string>

#include "export/chunk_writer.h"
#include "export/export_fixture.h"
#include "app/file_commands.h"
#include "export/exports.h"
#include "sigma/sigma.h"
#include "support/test_random.h"
#include "views/sigma_rows.h"

namespace olv {

namespace {

using Writer = bool (*)(Recording*, const char16_t*);

struct Format {
    Writer write;
    const char* name;
};

const Format kFormats[] = {
    {ExportCsvToPath, "csv"}, {ExportJsonToPath, "json"}, {ExportJsonLinesToPath, "jsonl"}};

// Rows of every kind the field view takes, starts whose image is learned later among them, and
// texts with quotes, backslashes, control characters, non-ASCII text and surrogates.
EventRow MixedRow(TestRandom& r, int i) {
    static const char16_t* const kTexts[] = {
        u"C:\\Users\\an\\q\\payload.dll", u"C:\\Temp\\\"x\u00e9\".exe", u"a,b\tc\r\nd",
        u"\U0001F600 \xD800 end", u"HKLM\\Software\\Run", u"10.0.0.1:80 -> 10.0.0.2:443"};
    static const char16_t* const kOperations[] = {
        u"Started process", u"Started child process", u"Loaded DLL", u"Wrote to file",
        u"Created file", u"Read file", u"Wrote registry value", u"Sent data (TCP)",
        u"DNS answer", u"Process ended"};
    EventRow row{};
    row.time = SystemTime{2024, 4, 2, 2, 14, 5, static_cast<uint16_t>(i % 60), 0};
    row.category = r.Below(4);
    row.severity = r.Below(4);
    row.pid = 1000 + r.Below(6) * 4;
    row.parentPid = 1000 + r.Below(6) * 4;
    row.timestamp = 133565403100000000 + static_cast<uint64_t>(i) * 10000;
    CopyBounded(row.operation, kOperationChars, kOperations[r.Below(10)]);
    CopyBounded(row.path, kPathChars, kTexts[r.Below(6)]);
    if (r.Below(7) == 0) { // now and then a field filled to its end
        for (size_t c = 0; c < kPathChars; ++c)
            row.path[c] = static_cast<char16_t>(u'a' + c % 26);
    }
    CopyBounded(row.detail, kDetailChars, kTexts[r.Below(6)]);
    CopyBounded(row.result, kResultChars, r.Below(2) == 0 ? u"OK" : u"ACCESS DENIED");
    CopyBounded(row.process, kProcessChars, r.Below(2) == 0 ? u"q.exe" : u"payload.exe");
    CopyBounded(row.threat, kThreatChars, r.Below(3) == 0 ? u"Executable dropped" : u"");
    return row;
}

std::string RuleText(int n) {
    return "title: \"Chunk rule " + std::to_string(n) + " caf\\u00e9\"\nid: 44444444-0000-0000-0000-" +
           std::to_string(100000000000 + n) + "\nlevel: high\n" +
           "logsource: {product: windows, category: file_event}\ndetection:\n    selection:\n"
           "        TargetFilename|contains: '\\q'\n    condition: selection\n";
}

// Titles long enough that a JSON line listing 24 of them might pass its bound of 16384, though it
// does not: such lines are counted as they are written.
std::string LongRuleText(int n) {
    std::string text = RuleText(n);
    text.insert(text.find("\"\nid:"), std::string(120, 'x'));
    return text;
}

struct ChunkFixture : ExportFixture {
    TempFolder folder;
    ~ChunkFixture() {
        SetExportChunking(0, 0, 0);
    }
    void AddRows(uint64_t seed, int count) {
        TestRandom r{seed};
        for (int i = 0; i < count; ++i) {
            const EventRow row = MixedRow(r, i);
            AppendRow(app, &row);
        }
    }
    // The file as one thread writes it in a single chunk.
    // The file's bytes (ReadAll goes a character at a time: too slow for these sizes).
    Bytes Read(const std::string& name) {
        std::ifstream in(folder.Path(name), std::ios::binary | std::ios::ate);
        Bytes bytes(static_cast<size_t>(in.tellg()));
        in.seekg(0);
        in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return bytes;
    }
    Bytes OneThread(const Format& f) {
        SetExportChunking(1, 1 << 30, 0);
        const std::string name = std::string("one.") + f.name;
        REQUIRE(f.write(app, folder.Path16(name).c_str()));
        SetExportChunking(0, 0, 0);
        return Read(name);
    }
    Bytes Chunked(const Format& f, int32_t workers, int32_t rows, size_t block) {
        SetExportChunking(workers, rows, block);
        const std::string name = std::string("chunked.") + f.name;
        const bool written = f.write(app, folder.Path16(name).c_str());
        SetExportChunking(0, 0, 0);
        CHECK(written);
        return Read(name);
    }
};

} // namespace

TEST_CASE_FIXTURE(ChunkFixture, "Chunked writers: the bytes one thread writes, in every chunking") {
    Finished();
    struct Chunking {
        int32_t workers, rows;
        size_t block;
    };
    // One row a chunk; chunks that are not a batch's multiple; blocks that fill inside chunks
    // (256 KiB holds a few dozen of the longest lines); the default.
    constexpr size_t kSmall = 256 << 10;
    const Chunking kChunkings[] = {{2, 1, kSmall}, {2, 7, kSmall}, {1, 64, kSmall}, {2, 333, 0}};
    for (uint64_t seed = 1; seed <= 3; ++seed) {
        CAPTURE(seed);
        ClearRows(app);
        AddRows(seed, 900);
        if (seed >= 2) { // matches past the 24 a line lists; a view that leaves rows out
            LoadRules(seed == 2 ? RuleText : LongRuleText, 30);
            app->shownCount = 0;
            for (int32_t i = 0; i < app->rowCount; i += 3)
                app->shownRows[app->shownCount++] = i;
        }
        for (const Format& f : kFormats) {
            CAPTURE(f.name);
            const Bytes one = OneThread(f);
            REQUIRE(one.size() > 1000);
            for (const Chunking& c : kChunkings) {
                CAPTURE(c.workers);
                CAPTURE(c.rows);
                CHECK((Chunked(f, c.workers, c.rows, c.block) == one));
            }
        }
    }
}

TEST_CASE_FIXTURE(ChunkFixture, "Chunked writers: a refused helper thread costs only speed") {
    Finished();
    AddRows(7, 400);
    for (const Format& f : kFormats) {
        CAPTURE(f.name);
        const Bytes one = OneThread(f);
        RefuseNthThreadStart(1);
        CHECK((Chunked(f, 2, 50, 0) == one));
        RefuseNthThreadStart(0);
    }
}

TEST_CASE_FIXTURE(ChunkFixture, "Chunked writers: a failure in either thread fails the file and ends both") {
    Finished();
    AddRows(9, 600);
    for (const Format& f : kFormats) {
        CAPTURE(f.name);
        const std::string name = std::string("failed.") + f.name;
        // A write fails: the first chunk's, a later one's (either thread's), the last one's.
        for (int64_t nth : {1, 2, 12}) {
            CAPTURE(nth);
            SetExportChunking(2, 50, 256 << 10);
            FailNthFileWrite(nth);
            const bool written = f.write(app, folder.Path16(name).c_str());
            FailNthFileWrite(0);
            SetExportChunking(0, 0, 0);
            CHECK(!written);
            CHECK(!std::filesystem::exists(folder.Path(name)));
            CHECK(!std::filesystem::exists(folder.Path(name + ".part")));
        }
        // An entry that names no row, in a chunk of the helper thread and in one of this one.
        for (int32_t broken : {75, 420}) {
            CAPTURE(broken);
            const int32_t kept = app->shownRows[broken];
            app->shownRows[broken] = app->rowCount + 5;
            SetExportChunking(2, 50, 256 << 10);
            const bool written = f.write(app, folder.Path16(name).c_str());
            SetExportChunking(0, 0, 0);
            app->shownRows[broken] = kept;
            CHECK(!written);
            CHECK(!std::filesystem::exists(folder.Path(name)));
        }
    }
}

} // namespace olv
