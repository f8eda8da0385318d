// What the export tests share: an AppState on the heap wired to the headless UI, a temporary
// folder removed at the end, row builders, and file helpers.
#pragma once

#include "doctest.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "app/app_state.h"
#include "base/text.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "platform/sim/headless_ui.h"
#include "platform/thread.h"
#include "platform/time.h"
#include "support/text_check.h"
#include "views/row_store.h"

namespace olv {

using Bytes = std::vector<unsigned char>;

inline Bytes ReadAll(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void WriteAll(const std::filesystem::path& p, const Bytes& data) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()),
              static_cast<std::streamsize>(data.size()));
}

inline Bytes BytesOf(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

// A folder of its own under the system's temporary folder, removed with everything in it.
struct TempFolder {
    std::filesystem::path dir;

    TempFolder() {
        static int serial = 0;
        std::error_code ec;
        const std::filesystem::path base = std::filesystem::temp_directory_path(ec);
        REQUIRE(!ec);
        for (int attempt = 0; attempt < 100; ++attempt) {
            dir = base / ("olv_export_" + std::to_string(CurrentProcessId()) + "_" +
                          std::to_string(++serial));
            if (std::filesystem::create_directory(dir, ec)) return;
        }
        FAIL("no temporary folder");
    }
    ~TempFolder() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    std::filesystem::path Path(const std::string& name) const { return dir / name; }
    std::u16string Path16(const std::string& name) const { return Path(name).u16string(); }
    // The names of the files in the folder, sorted.
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
};

inline void SetText(char16_t* field, size_t capacity, const char16_t* text) {
    CopyBounded(field, capacity, text);
}

struct RowSpec {
    SystemTime time;
    uint32_t category;
    const char16_t* operation;
    const char16_t* path;
    const char16_t* detail;
    const char16_t* result;
    const char16_t* process;
    const char16_t* threat;
    uint32_t pid;
    uint32_t parentPid;
    uint32_t severity;
};

inline EventRow MakeRow(const RowSpec& s) {
    EventRow row;
    std::memset(static_cast<void*>(&row), 0, sizeof row);
    row.time = s.time;
    row.category = s.category;
    SetText(row.operation, kOperationChars, s.operation);
    SetText(row.path, kPathChars, s.path);
    SetText(row.detail, kDetailChars, s.detail);
    SetText(row.result, kResultChars, s.result);
    SetText(row.process, kProcessChars, s.process);
    SetText(row.threat, kThreatChars, s.threat);
    row.pid = s.pid;
    row.threadId = s.pid + 1;
    row.parentPid = s.parentPid;
    row.severity = s.severity;
    row.keyObject = 0xFFFFA00000001000ull + s.pid;
    row.timestamp = 133542496300000000ll + s.pid;
    return row;
}

// A finished recording: stopped, version known, nothing known to be missing.
inline RecordingInfo StoppedRecordingInfo() {
    RecordingInfo info;
    std::memset(static_cast<void*>(&info), 0, sizeof info);
    info.blockSize = kRecordingInfoSize;
    info.toolVersion = kToolVersion;
    info.windowsMajor = 10;
    info.windowsMinor = 0;
    info.windowsBuildNumber = 19045;
    info.utcBias = -60;
    info.started = SystemTime{2024, 3, 2, 5, 14, 7, 9, 123};
    info.stopped = SystemTime{2024, 3, 2, 5, 14, 9, 1, 456};
    CopyBounded(info.target, 520, u"C:\\Samples\\dropper.exe");
    CopyBounded(info.tool, 64, u"Olvetta");
    return info;
}

// An AppState wired to a fresh headless UI; fault hooks are switched off at both ends.
struct ExportFixture {
    AppState* app = nullptr;

    ExportFixture() {
        ResetAllocationFaults();
        ResetFileFaults();
        ResetHeadlessUi();
        app = AllocRecord<AppState>();
        REQUIRE(app != nullptr);
        InitAppState(app);
        WireHeadlessControls(app);
    }
    ~ExportFixture() {
        ResetAllocationFaults();
        ResetFileFaults();
        ClearClockOverride();
        CleanUpAppState(app);
        FreeBlock(app);
    }
    ExportFixture(const ExportFixture&) = delete;
    ExportFixture& operator=(const ExportFixture&) = delete;

    void Add(const EventRow& row) { AppendRow(app, &row); }
    void Add(const RowSpec& spec) {
        const EventRow row = MakeRow(spec);
        AppendRow(app, &row);
    }
    void Finished() {
        app->recordingInfo = StoppedRecordingInfo();
        app->recordingInfoValid = 1;
    }
    uint32_t Messages() const { return HeadlessModel()->messageBoxCount; }
};

// The last message box as UTF-8, with its icon and caption checked.
inline std::string LastMessage(int icon) {
    const HeadlessMessageBox* box = HeadlessLastMessageBox();
    REQUIRE(box != nullptr);
    CHECK(U8(box->caption) == "Olvetta");
    CHECK(box->icon == icon);
    CHECK(box->buttons == kButtonsOk);
    return U8(box->text);
}

} // namespace olv
