// What the export tests share: a Recording wired to the headless UI, a temporary folder removed at
// the end, rows, and file helpers.
#pragma once

#include "app/window_layout.h"
#include "doctest.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/recording_setup.h"
#include "base/text.h"
#include "export/json_check.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "platform/sim/headless_ui.h"
#include "platform/thread.h"
#include "platform/time.h"
#include "record/stored_rows.h"
#include "sigma/sigma.h"
#include "support/text_check.h"
#include "views/row_store.h"
#include "views/sigma_rows.h"

namespace olv {

using Bytes = std::vector<unsigned char>;

inline Bytes ReadAll(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}
inline void WriteAll(const std::filesystem::path& p, const Bytes& data) {
    std::ofstream(p, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()),
               static_cast<std::streamsize>(data.size()));
}
inline Bytes BytesOf(const std::string& s) {
    return Bytes(s.begin(), s.end());
}
inline bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}
inline bool operator==(const EventRow& a, const EventRow& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// Stored row i as a whole row.
inline EventRow StoredRow(const Recording* app, int32_t i) {
    EventRow row;
    ReadStoredRow(app, i, &row);
    return row;
}

// A folder of its own under the system's temporary folder, removed with everything in it.
struct TempFolder {
    std::filesystem::path dir;
    TempFolder() {
        // Process ids repeat (under Wine from one run to the next), so a folder a crashed run
        // left is removed first; one that will not go is passed over for the next name.
        static int serial = 0;
        for (int tries = 0; tries < 100; ++tries) {
            dir = std::filesystem::temp_directory_path() /
                  ("olv_export_" + std::to_string(CurrentProcessId()) + "_" + std::to_string(++serial));
            std::error_code ec;
            std::filesystem::remove_all(Removable(dir), ec);
            if (std::filesystem::create_directory(dir, ec) && !ec) return;
        }
        FAIL("no scratch folder could be made under " << std::filesystem::temp_directory_path());
    }
    ~TempFolder() {
        std::error_code ec;
        std::filesystem::remove_all(Removable(dir), ec);
    }
    // Tests make paths past MAX_PATH inside; the C++ library reaches them on Windows only in the
    // extended-length form, which it does not add by itself.
    static std::filesystem::path Removable(std::filesystem::path p) {
#ifdef _WIN32
        const std::wstring whole = std::filesystem::absolute(p).make_preferred().wstring();
        return std::filesystem::path(L"\\\\?\\" + whole);
#else
        return p;
#endif
    }
    std::filesystem::path Path(const std::string& name) const { return dir / name; }
    std::u16string Path16(const std::string& name) const { return Path(name).u16string(); }
    std::vector<std::string> Names() const { // sorted
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

struct RowSpec {
    SystemTime time;
    uint32_t category;
    const char16_t *operation, *path, *detail, *result, *process, *threat;
    uint32_t pid, parentPid, severity;
};

// Four rows with the characters a file must survive: quotes, commas, CR LF, tab, control
// characters, DEL, a leading '=', non-ASCII text, a surrogate pair; the last is a Network row.
inline const RowSpec kRows[] = {
    {SystemTime{2024, 3, 2, 5, 14, 7, 10, 5}, kCategoryProcess, u"Process Start",
     u"C:\\Windows\\System32\\cmd.exe", u"/c \"whoami\" & echo, done", u"", u"dropper.exe", u"",
     4012, 1200, 0},
    {SystemTime{2024, 3, 2, 5, 14, 7, 11, 250}, kCategoryFile, u"WriteFile",
     u"C:\\Users\\an\\AppData\\Roaming\\payload.dll", u"Offset: 0\r\nLength: 4096", u"SUCCESS", u"",
     u"Executable dropped in AppData (+2)", 4013, 4012, 2},
    {SystemTime{2024, 12, 0, 31, 23, 59, 59, 999}, kCategoryRegistry, u"RegSetValue",
     u"HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Run\\caf\u00e9",
     u"=HYPERLINK(\"x\")\tA\u0001B\u007fC \u4e2d \U0001F600", u"ACCESS DENIED", u"dropper.exe",
     u"Run key persistence (+3)", 4012, 1200, 3},
    {SystemTime{2024, 3, 2, 5, 14, 7, 10, 5}, kCategoryNetwork, u"Connect", u"10.0.0.5:443", u"TCP",
     u"", u"dropper.exe", u"", 4012, 1200, 1},
};

inline EventRow MakeRow(const RowSpec& s) {
    EventRow row;
    std::memset(static_cast<void*>(&row), 0, sizeof row);
    row.time = s.time;
    row.category = s.category;
    CopyBounded(row.operation, kOperationChars, s.operation);
    CopyBounded(row.path, kPathChars, s.path);
    CopyBounded(row.detail, kDetailChars, s.detail);
    CopyBounded(row.result, kResultChars, s.result);
    CopyBounded(row.process, kProcessChars, s.process);
    CopyBounded(row.threat, kThreatChars, s.threat);
    row.pid = s.pid;
    row.threadId = s.pid + 1;
    row.parentPid = s.parentPid;
    row.severity = s.severity;
    row.keyObject = 0xFFFFA00000001000ull + s.pid;
    // The trace's UTC time stamp of the local time, at the recordings' bias (UTC+1).
    int64_t local = 0;
    if (UtcSystemTimeToTicks(s.time, &local))
        row.timestamp = uint64_t(local - 60 * 60 * 10000000ll);
    return row;
}

// A finished recording: stopped, version known, nothing known to be missing.
inline RecordingInfo StoppedRecordingInfo() {
    RecordingInfo info;
    std::memset(static_cast<void*>(&info), 0, sizeof info);
    info.blockSize = kRecordingInfoSize;
    info.toolVersion = kToolVersion;
    info.windowsMajor = 10;
    info.windowsBuildNumber = 19045;
    info.utcBias = -60;
    info.started = SystemTime{2024, 3, 2, 5, 14, 7, 9, 123};
    info.stopped = SystemTime{2024, 3, 2, 5, 14, 9, 1, 456};
    CopyBounded(info.target, 520, u"C:\\Samples\\dropper.exe");
    CopyBounded(info.tool, 64, u"Olvetta");
    return info;
}

// An Recording wired to a fresh headless UI; fault hooks are switched off at both ends.
struct ExportFixture {
    Recording* app = nullptr;
    ExportFixture() {
        ResetAllocationFaults();
        ResetFileFaults();
        ResetHeadlessUi();
        app = AllocRecord<Recording>();
        REQUIRE(app != nullptr);
        InitRecording(app);
        WireControls(app, HeadlessControlHandle);
    }
    ~ExportFixture() {
        ResetAllocationFaults();
        ResetFileFaults();
        ClearClockOverride();
        CleanUpRecording(app);
        FreeBlock(app);
    }
    void Add(const RowSpec& spec) {
        const EventRow row = MakeRow(spec);
        AppendRow(app, &row);
    }
    void AddAll() {
        for (const RowSpec& spec : kRows)
            Add(spec);
    }
    // The rows with row `changed`'s operation replaced by `operation`.
    void AddAll(size_t changed, const char16_t* operation) {
        for (size_t i = 0; i < sizeof kRows / sizeof kRows[0]; ++i) {
            EventRow row = MakeRow(kRows[i]);
            if (i == changed) CopyBounded(row.operation, kOperationChars, operation);
            AppendRow(app, &row);
        }
    }
    void Finished() {
        app->recordingInfo = StoppedRecordingInfo();
        app->recordingInfoValid = 1;
    }
    // Installs `count` Sigma rules, rule n's text made by ruleText(n).
    void LoadRules(std::string (*ruleText)(int), int count) {
        SigmaRuleSet* set = NewSigmaRuleSet();
        REQUIRE(set != nullptr);
        for (int n = 0; n < count; ++n) {
            const std::string text = ruleText(n);
            REQUIRE(AddSigmaRuleText(set, text.data(), text.size(), u"rule.yml"));
        }
        REQUIRE(InstallSigmaRules(app, set));
    }
    uint32_t Messages() const { return HeadlessModel()->messageBoxCount; }
};

// The last message box as UTF-8, with its icon, caption and buttons checked.
inline std::string LastMessage(int icon) {
    const HeadlessMessageBox* box = HeadlessLastMessageBox();
    REQUIRE(box != nullptr);
    CHECK(U8(box->caption) == "Olvetta");
    CHECK(box->icon == icon);
    CHECK(box->buttons == kButtonsOk);
    return U8(box->text);
}

inline std::string CsvText(const Bytes& file) { // UTF-16LE after its mark, as UTF-8
    REQUIRE((file.size() >= 2 && file.size() % 2 == 0 && file[0] == 0xFF && file[1] == 0xFE));
    std::u16string wide;
    for (size_t i = 2; i < file.size(); i += 2)
        wide.push_back(static_cast<char16_t>(file[i] | (file[i + 1] << 8)));
    return U8(wide.c_str());
}

// The JSON after its mark, read by the strict reader; its decoded strings go to *strings.
inline std::string JsonText(const Bytes& file, std::vector<std::string>* strings = nullptr) {
    REQUIRE((file.size() >= 3 && file[0] == 0xEF && file[1] == 0xBB && file[2] == 0xBF));
    const std::string text(file.begin() + 3, file.end());
    StrictJson reader;
    const bool parsed = reader.Parse(text);
    INFO("JSON error: ", reader.error);
    CHECK(parsed);
    if (strings != nullptr) *strings = reader.strings;
    return text;
}

} // namespace olv
