// libFuzzer target for the session loader, every version (the compact one's checks included).
// Each input is written to a file and opened on a fresh Recording holding one known row. A failed
// open must leave that row alone; a successful one is exported as CSV and JSON and saved again in
// both forms, and each saved file must open again with the same rows, byte for byte.
// No allocation of the program may outlive the run.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "app/recording_setup.h"
#include "app/window_layout.h"
#include "app/file_commands.h"
#include "export/exports.h"
#include "platform/memory.h"
#include "platform/sim/headless_ui.h"
#include "platform/thread.h"
#include "record/stored_rows.h"
#include "views/row_store.h"

namespace {

namespace fs = std::filesystem;

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "session fuzz: %s\n", what);
    std::abort();
}

// The files of one run, in memory-backed storage where there is some.
fs::path FilePath(const char* suffix) {
    static const fs::path base = [] {
        std::error_code ec;
        const fs::path folder =
            fs::is_directory("/dev/shm", ec) ? fs::path("/dev/shm") : fs::temp_directory_path(ec);
        return folder / ("olv_session_fuzz_" + std::to_string(olv::CurrentProcessId()));
    }();
    return fs::path(base.string() + suffix);
}

// A fresh Recording with one known row in its store.
olv::Recording* NewState() {
    olv::ResetHeadlessUi();
    olv::Recording* app = olv::AllocRecord<olv::Recording>();
    if (app == nullptr) Fail("no memory for the Recording");
    olv::InitRecording(app);
    olv::WireControls(app, olv::HeadlessControlHandle);
    auto* row = olv::AllocRecord<olv::EventRow>();
    if (row == nullptr) Fail("no memory for the row");
    row->pid = 4242;
    std::memcpy(row->operation, u"Keep", sizeof(u"Keep"));
    olv::AppendRow(app, row);
    olv::FreeBlock(row);
    if (app->rowCount != 1) Fail("no memory for the row");
    app->rowsUnsaved = 0; // nothing to ask about before an open
    return app;
}

// The row as the compact form keeps it: zeros after each text's terminator.
olv::EventRow WithCleanTails(const olv::EventRow& row) {
    olv::EventRow clean = row;
    auto clear = [](char16_t* text, size_t chars) {
        size_t n = 0;
        while (n < chars && text[n] != 0)
            ++n;
        for (; n < chars; ++n)
            text[n] = 0;
    };
    clear(clean.operation, olv::kOperationChars);
    clear(clean.path, olv::kPathChars);
    clear(clean.detail, olv::kDetailChars);
    clear(clean.result, olv::kResultChars);
    clear(clean.process, olv::kProcessChars);
    clear(clean.threat, olv::kThreatChars);
    return clean;
}

void FreeState(olv::Recording* app) {
    olv::CleanUpRecording(app);
    olv::FreeBlock(app);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int64_t liveBefore = olv::LiveAllocationCount();
    const fs::path input = FilePath(".ols"), saved = FilePath("_saved.ols");
    std::ofstream(input, std::ios::binary)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (fs::file_size(input) != size) Fail("cannot write the input file");

    olv::Recording* app = NewState();
    static olv::EventRow have, want;
    if (!olv::OpenSessionFromPath(app, input.u16string().c_str())) {
        if (app->rowCount != 1 || olv::StoredPid(app, 0) != 4242 ||
            !olv::TextViewEquals(olv::StoredText(app, 0, olv::kTextOperation), u"Keep", 4)) {
            Fail("a failed open changed the rows in memory");
        }
    } else {
        olv::ExportCsvToPath(app, FilePath(".csv").u16string().c_str());
        olv::ExportJsonToPath(app, FilePath(".json").u16string().c_str());
        for (const bool compact : {false, true}) {
            const bool wrote = compact
                                   ? olv::SaveCompactSessionToPath(app, saved.u16string().c_str())
                                   : olv::SaveSessionToPath(app, saved.u16string().c_str());
            if (!wrote) Fail("did not save");
            olv::Recording* again = NewState();
            if (!olv::OpenSessionFromPath(again, saved.u16string().c_str())) Fail("did not reopen");
            if (again->rowCount != app->rowCount) Fail("the saved session lost rows");
            for (int32_t i = 0; i < app->rowCount; ++i) {
                olv::ReadStoredRow(app, i, &want);
                if (compact) want = WithCleanTails(want);
                olv::ReadStoredRow(again, i, &have);
                if (std::memcmp(&have, &want, sizeof want) != 0)
                    Fail("the saved session changed rows");
                // The compact form keeps each row's facts; the older one none.
                for (uint32_t f = 0; f < olv::kRowFactCount; ++f) {
                    bool knownBefore = false, knownAfter = false;
                    const auto fact = static_cast<olv::RowFact>(f);
                    const olv::TextView before = olv::StoredFactText(app, i, fact, &knownBefore);
                    const olv::TextView after = olv::StoredFactText(again, i, fact, &knownAfter);
                    const bool same = compact ? knownBefore == knownAfter &&
                                                    before.length == after.length
                                              : !knownAfter;
                    if (!same) Fail("the saved session changed a row's facts");
                }
            }
            FreeState(again);
        }
    }
    FreeState(app);
    std::error_code ec;
    for (const char* suffix : {".ols", ".csv", ".json", "_saved.ols"})
        fs::remove(FilePath(suffix), ec);
    if (olv::LiveAllocationCount() != liveBefore) Fail("a block was not freed");
    return 0;
}
