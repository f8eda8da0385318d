// The JSON Lines export of recordings with process starts whose views come later: a start's line,
// at the start's place, carries the view the start has once it is due (its process's first image
// load, its end, a new process taking its id, or the end of the rows), in every chunking and on
// one or two threads, with any rows hidden; the file is complete or absent.
#include <nlohmann/json.hpp>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/file_commands.h"
#include "export/chunk_writer.h"
#include "export/export_fixture.h"
#include "export/exports.h"
#include "platform/files.h"
#include "record/stored_rows.h"
#include "sigma/sigma.h"
#include "sigma/sigma_view.h"
#include "views/row_store.h"
#include "views/sigma_rows.h"

namespace olv {

namespace {

nlohmann::json ViewJson(const SigmaViewBuffer& buffer) {
    nlohmann::json view{{"categories", nlohmann::json::array()},
                        {"fields", nlohmann::json::object()}};
    for (uint32_t c = 0; c < kSigmaCategoryCount; ++c) {
        if ((buffer.view.categories & (1u << c)) != 0) view["categories"].push_back(SigmaCategoryName(c));
    }
    for (uint32_t f = 0; f < kSigmaFieldCount && buffer.view.categories != 0; ++f) {
        const SigmaText& text = buffer.view.fields[f];
        if (text.text == nullptr || text.length == 0) continue;
        const std::u16string field(text.text, text.length);
        view["fields"][SigmaFieldName(f)] = U8(field.c_str());
    }
    for (uint32_t f = 0; f < kSigmaFieldCount && buffer.view.categories != 0; ++f) {
        if ((ListedUnknownFields(buffer) & SigmaFieldBit(f)) != 0)
            view["unknownFields"].push_back(SigmaFieldName(f));
    }
    return view;
}

// Each row's view as one context gives it learning the rows in order: a start's once it is due.
std::vector<nlohmann::json> ExpectedViews(Recording* app) {
    std::vector<nlohmann::json> views(static_cast<size_t>(app->rowCount),
                                      nlohmann::json{{"categories", nlohmann::json::array()},
                                                     {"fields", nlohmann::json::object()}});
    SigmaViewContext* context = NewSigmaViewContext();
    auto* buffer = new SigmaViewBuffer{};
    REQUIRE(context != nullptr);
    SetSigmaRecorderImage(context, SigmaRecorderImageOf(app));
    auto takeDue = [&] {
        int32_t due[8];
        int32_t n;
        while ((n = TakeDueSigmaRows(context, due, 8)) > 0) {
            for (int32_t i = 0; i < n; ++i) {
                if (SigmaViewOfStartRow(context, StoredTexts(app), StoredRecord(app, due[i]), due[i],
                                        buffer)) {
                    views[static_cast<size_t>(due[i])] = ViewJson(*buffer);
                }
            }
        }
    };
    for (int32_t i = 0; i < app->rowCount; ++i) {
        if (LearnSigmaRow(context, StoredTexts(app), StoredRecord(app, i), i, buffer) ==
            kSigmaViewReady) {
            views[static_cast<size_t>(i)] = ViewJson(*buffer);
        }
        takeDue();
    }
    ReleaseDeferredSigmaRows(context);
    takeDue();
    delete buffer;
    FreeSigmaViewContext(context);
    return views;
}

// Processes that start with a command line naming no full path (so their views wait), and what
// becomes of them.
struct StartsFixture : ExportFixture {
    TempFolder folder;
    int rows = 0;
    ~StartsFixture() { SetExportChunking(0, 0, 0); }

    void Row(uint32_t category, const char16_t* operation, uint32_t pid, const char16_t* process,
             const std::u16string& path, uint32_t parent = 600) {
        EventRow row{};
        row.time = SystemTime{2024, 4, 2, 2, 14, 5, static_cast<uint16_t>(rows % 60), 0};
        row.category = category;
        row.pid = pid;
        row.threadId = pid + 1;
        row.parentPid = parent;
        row.timestamp = 133565403100000000 + static_cast<uint64_t>(rows) * 10000;
        CopyBounded(row.operation, kOperationChars, operation);
        CopyBounded(row.path, kPathChars, path.c_str());
        CopyBounded(row.result, kResultChars, u"OK");
        CopyBounded(row.process, kProcessChars, process);
        AppendRow(app, &row);
        ++rows;
    }
    void Start(uint32_t pid, const std::u16string& name, uint32_t parent = 600) {
        Row(kCategoryProcess, u"Started child process", pid, name.c_str(), name + u" --run", parent);
    }
    void Image(uint32_t pid, const std::u16string& name) {
        Row(kCategoryProcess, u"Loaded DLL", pid, name.c_str(), u"C:\\Apps\\" + name);
    }
    void End(uint32_t pid, const std::u16string& name) {
        Row(kCategoryProcess, u"Process exited", pid, name.c_str(), u"");
    }
    void Reads(int count) {
        for (int i = 0; i < count; ++i) {
            Row(kCategoryFile, u"Wrote to file", 600, u"host.exe",
                u"C:\\data\\f" + std::u16string(1, static_cast<char16_t>(u'a' + rows % 26)) + u".txt");
        }
    }
    // Every way a start becomes due, with waits that cross chunk seams and nest.
    void AddStarts() {
        Row(kCategoryProcess, u"Loaded DLL", 600, u"host.exe", u"C:\\Apps\\host.exe");
        Start(100, u"early.exe");
        Image(100, u"early.exe"); // due at once
        Start(104, u"never.exe"); // no image, no end: due at the end of the rows
        Start(108, u"late.exe");  // its image many rows on
        Start(112, u"ended.exe"); // ends before its image comes
        Start(116, u"outer.exe");
        Start(120, u"inner.exe", 116); // nested: due before outer
        Start(124, u"first.exe");
        Reads(2);
        Start(124, u"second.exe"); // the id taken again: first becomes due
        Image(124, u"second.exe");
        Image(120, u"inner.exe");
        Reads(4);
        End(112, u"ended.exe");
        Image(112, u"ended.exe");
        Reads(5);
        Image(116, u"outer.exe");
        Reads(9);
        Image(108, u"late.exe");
        Start(128, u"lastrow.exe", 116);
        Reads(3);
        Image(128, u"lastrow.exe"); // due at the last row
    }

    Bytes Read(const std::string& name) { return ReadFile(folder.Path(name)); }
    static Bytes ReadFile(const std::filesystem::path& path) {
        std::ifstream in(path, std::ios::binary | std::ios::ate);
        if (!in) return {};
        Bytes bytes(static_cast<size_t>(in.tellg()));
        in.seekg(0);
        in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return bytes;
    }
    Bytes Export(int32_t workers, int32_t chunkRows, size_t block = 0) {
        SetExportChunking(workers, chunkRows, block);
        const bool written = ExportJsonLinesToPath(app, folder.Path16("starts.jsonl").c_str());
        SetExportChunking(0, 0, 0);
        REQUIRE(written);
        return Read("starts.jsonl");
    }
    // The shown rows' lines hold their expected views, and every chunking writes the bytes one
    // thread writes in one chunk.
    void CheckEveryChunking() {
        const std::vector<nlohmann::json> expected = ExpectedViews(app);
        const Bytes one = Export(1, 1 << 30);
        std::vector<nlohmann::json> lines;
        std::istringstream in(std::string(one.begin(), one.end()));
        for (std::string line; std::getline(in, line);)
            lines.push_back(nlohmann::json::parse(line));
        REQUIRE(lines.size() == static_cast<size_t>(app->shownCount) + 2);
        for (int32_t s = 0; s < app->shownCount; ++s) {
            CAPTURE(s);
            const nlohmann::json& want = expected[static_cast<size_t>(app->shownRows[s])];
            const nlohmann::json& line = lines[static_cast<size_t>(s) + 1];
            CHECK(line["categories"] == want["categories"]);
            CHECK(line["fields"] == want["fields"]);
            CHECK(line.value("unknownFields", nlohmann::json()) ==
                  want.value("unknownFields", nlohmann::json()));
        }
        // One row a chunk (every wait crosses seams), chunks that end mid-wait, one worker (no one
        // learns on while a line waits), blocks that fill inside a chunk.
        const int32_t chunkings[][2] = {{2, 1}, {2, 2}, {2, 3}, {2, 7}, {1, 1}, {1, 3}, {2, 64}};
        for (const auto& c : chunkings) {
            CAPTURE(c[0]);
            CAPTURE(c[1]);
            CHECK((Export(c[0], c[1]) == one));
            CHECK((Export(c[0], c[1], 256 << 10) == one));
        }
    }
    void ShowOnly(bool (*shown)(const Recording*, int32_t)) {
        app->shownCount = 0;
        for (int32_t i = 0; i < app->rowCount; ++i) {
            if (shown(app, i)) app->shownRows[app->shownCount++] = i;
        }
    }
};

bool IsStart(const Recording* app, int32_t row) {
    return SigmaRowMayBeDeferred(StoredRecord(app, row));
}

} // namespace

TEST_CASE_FIXTURE(StartsFixture, "JSON Lines: each start's line has its view once due, in every chunking") {
    Finished();
    AddStarts();
    CheckEveryChunking();
    // The views the lines must show: a start that never became due other than at the end has
    // no image; one due by its image load has it; one whose process ended first has none.
    const std::vector<nlohmann::json> views = ExpectedViews(app);
    const auto image = [&](int32_t row) { return views[static_cast<size_t>(row)]["fields"].value("Image", ""); };
    CHECK(image(1) == "C:\\Apps\\early.exe");
    CHECK(image(3).empty());
    CHECK(image(4) == "C:\\Apps\\late.exe");
    CHECK(image(5).empty());
    CHECK(image(6) == "C:\\Apps\\outer.exe");
    CHECK(views[3]["unknownFields"].dump().find("\"Image\"") != std::string::npos);
}

TEST_CASE_FIXTURE(StartsFixture, "JSON Lines: hidden rows are learned, only shown lines wait") {
    Finished();
    AddStarts();
    SUBCASE("start rows hidden, their image loads shown") {
        ShowOnly([](const Recording* a, int32_t i) { return !IsStart(a, i); });
        CheckEveryChunking();
    }
    SUBCASE("only the starts shown: every due row hidden") {
        ShowOnly(IsStart);
        CheckEveryChunking();
    }
    SUBCASE("every other row") {
        ShowOnly([](const Recording*, int32_t i) { return i % 2 == 1; });
        CheckEveryChunking();
    }
    SUBCASE("the first start alone, waiting to the end") {
        ShowOnly([](const Recording*, int32_t i) { return i == 3; });
        CheckEveryChunking();
    }
}

TEST_CASE_FIXTURE(StartsFixture, "JSON Lines: many starts, ids taken again, waits of every length") {
    Finished();
    // Starts of 12 ids over 600 rows; each process's image comes at once, some rows on, after
    // its end, or never.
    uint32_t state = 7;
    auto next = [&state](uint32_t below) {
        state = state * 1103515245u + 12345u;
        return (state >> 16) % below;
    };
    for (int i = 0; i < 600; ++i) {
        const uint32_t pid = 200 + next(12) * 4;
        const std::u16string name = u"p" + std::u16string(1, static_cast<char16_t>(u'a' + pid % 26)) + u".exe";
        switch (next(6)) {
        case 0: Start(pid, name, 200 + next(12) * 4); break;
        case 1: Image(pid, name); break;
        case 2: End(pid, name); break;
        default: Reads(1); break;
        }
    }
    CheckEveryChunking();
    ShowOnly([](const Recording*, int32_t i) { return i % 3 != 0; });
    CheckEveryChunking();
}

TEST_CASE_FIXTURE(StartsFixture, "JSON Lines with waiting starts: each allocation and write refused in turn, the file complete or absent") {
    Finished();
    AddStarts();
    const Bytes clean = Export(1, 1 << 30);
    const Bytes old = BytesOf("the file that was there before\n");
    struct Hook {
        const char* name;
        void (*arm)(int64_t);
        bool (*pending)();
    };
    const Hook hooks[] = {{"allocation", RefuseNthAllocation, AllocationRefusalPending},
                          {"write", FailNthFileWrite, FileFaultPending}};
    // One worker (the scout learns for the waiting lines) and two (lines wait for the other).
    for (const int32_t workers : {1, 2}) {
        for (const Hook& hook : hooks) {
            CAPTURE(workers);
            CAPTURE(hook.name);
            int n = 1;
            for (; n <= 400; ++n) {
                CAPTURE(n);
                TempFolder tmp;
                WriteAll(tmp.Path("target.jsonl"), old);
                const int64_t live = LiveAllocationCount();
                SetExportChunking(workers, 3, 256 << 10);
                hook.arm(n);
                const bool ok = ExportJsonLinesToPath(app, tmp.Path16("target.jsonl").c_str());
                const bool refused = !hook.pending();
                ResetAllocationFaults();
                ResetFileFaults();
                SetExportChunking(0, 0, 0);
                CHECK(LiveAllocationCount() == live);
                CHECK(tmp.Names() == std::vector<std::string>{"target.jsonl"});
                CHECK((ReadFile(tmp.Path("target.jsonl")) == (ok ? clean : old)));
                if (!ok) CHECK(refused);
                if (!refused) {
                    CHECK(ok);
                    break;
                }
            }
            CHECK(n > 8);
            CHECK(n <= 400);
        }
    }
}

} // namespace olv
