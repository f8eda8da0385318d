// libFuzzer target for the session loader. Each input is written to a file and opened on a fresh
// AppState holding one known row. A failed open must leave that row alone; a successful one is
// exported as CSV and JSON and saved again, and the saved file must open again. No allocation of
// the program may outlive the run.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <unistd.h>

#include "app/app_state.h"
#include "export/exports.h"
#include "platform/memory.h"
#include "platform/sim/headless_ui.h"

namespace {

struct FuzzPaths {
    std::string input;
    std::u16string input16;
    std::u16string csv;
    std::u16string json;
    std::u16string saved;
};

std::u16string Wide(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

const FuzzPaths& Paths() {
    static FuzzPaths paths = [] {
        std::error_code ec;
        std::filesystem::path folder = "/dev/shm";
        if (!std::filesystem::is_directory(folder, ec)) {
            folder = std::filesystem::temp_directory_path(ec);
        }
        const std::string base =
            (folder / ("olv_session_fuzz_" + std::to_string(getpid()))).string();
        FuzzPaths p;
        p.input = base + ".ols";
        p.input16 = Wide(p.input);
        p.csv = Wide(base + ".csv");
        p.json = Wide(base + ".json");
        p.saved = Wide(base + "_saved.ols");
        return p;
    }();
    return paths;
}

void Remove(const std::u16string& path) {
    std::error_code ec;
    std::filesystem::remove(std::string(path.begin(), path.end()), ec);
}

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "session fuzz: %s\n", what);
    std::abort();
}

// A fresh AppState with one known row in its store.
olv::AppState* NewState() {
    olv::ResetHeadlessUi();
    olv::AppState* app = olv::AllocRecord<olv::AppState>();
    if (app == nullptr) Fail("no memory for the AppState");
    olv::InitAppState(app);
    olv::WireHeadlessControls(app);
    app->rows = static_cast<olv::EventRow*>(olv::AllocZeroed(sizeof(olv::EventRow)));
    if (app->rows == nullptr) Fail("no memory for the row");
    app->rowCount = 1;
    app->rowCapacity = 1;
    app->rows[0].pid = 4242;
    std::memcpy(app->rows[0].operation, u"Keep", sizeof(u"Keep"));
    return app;
}

void FreeState(olv::AppState* app) {
    olv::CleanUpAppState(app);
    olv::FreeBlock(app);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const FuzzPaths& paths = Paths();
    const int64_t liveBefore = olv::LiveAllocationCount();

    FILE* f = std::fopen(paths.input.c_str(), "wb");
    if (f == nullptr) Fail("cannot write the input file");
    if (size > 0 && std::fwrite(data, 1, size, f) != size) Fail("short write of the input file");
    std::fclose(f);

    olv::AppState* app = NewState();
    const olv::EventRow* before = app->rows;
    if (!olv::OpenSessionFromPath(app, paths.input16.c_str())) {
        if (app->rows != before || app->rowCount != 1 || app->rows[0].pid != 4242 ||
            std::memcmp(app->rows[0].operation, u"Keep", sizeof(u"Keep")) != 0) {
            Fail("a failed open changed the rows in memory");
        }
    } else {
        olv::ExportCsvToPath(app, paths.csv.c_str());
        olv::ExportJsonToPath(app, paths.json.c_str());
        if (!olv::SaveSessionToPath(app, paths.saved.c_str()))
            Fail("an opened session did not save");
        olv::AppState* again = NewState();
        if (!olv::OpenSessionFromPath(again, paths.saved.c_str())) {
            Fail("a saved session did not open again");
        }
        if (again->rowCount != app->rowCount) Fail("the saved session lost rows");
        FreeState(again);
    }
    FreeState(app);
    Remove(paths.input16);
    Remove(paths.csv);
    Remove(paths.json);
    Remove(paths.saved);

    if (olv::LiveAllocationCount() != liveBefore) Fail("a block was not freed");
    return 0;
}
