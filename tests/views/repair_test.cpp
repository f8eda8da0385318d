// Late naming of registry rows at Stop: rows decoded while their key was unknown get the full
// path from the rundown at the session's end, are scored again and leave the unresolved count.
#include "capture/capture_fixture.h"
#include "record/stored_rows.h"
#include "views/row_store.h"

namespace olv {

namespace {

constexpr uint64_t kRunKey = 0xFFFF8A0000001000ull;
constexpr uint64_t kSoftwareKey = 0xFFFF8A0000002000ull;
constexpr uint64_t kNeverNamedKey = 0xFFFF8A0000003000ull;
constexpr uint64_t kReusedKey = 0xFFFF8A0000004000ull;
constexpr const char16_t* kNoKey = u"(key not identified)";

// Decodes a registry event of process pid into the row store when it yields a row.
void Decode(CaptureFixture& f, uint8_t opcode, int64_t t, uint64_t key, const char16_t* name,
            uint32_t pid = kTargetPid) {
    static SimEvent e;
    BeginSimEvent(&e, kRegistryProvider, opcode, 0, pid, 8, t);
    AddSimPointer(&e, u"KeyHandle", key);
    AddSimWideString(&e, u"KeyName", name);
    EventRow row{};
    if (DecodeEvent(&f.tc->tracking, &e.record, &row)) AppendRow(f.app, &row);
}

void AddRow(CaptureFixture& f, uint32_t category, const char16_t* path) {
    EventRow row{};
    row.category = category;
    row.keyObject = kSoftwareKey; // named by the rundown below
    CopyBounded(row.path, kPathChars, path);
    AppendRow(f.app, &row);
}

std::string Text(CaptureFixture& f, int32_t index, RowText which) {
    char16_t text[kPathChars];
    CopyStoredText(f.app, index, which, text, kPathChars);
    return U8(text);
}

} // namespace

TEST_CASE("repair: the stop rundown names keys that were unknown while the trace ran") {
    CaptureFixture f;
    f.app->trace = f.tc;
    f.app->view.suspiciousOnly = 1;
    const int64_t t = kScriptStart + 100;
    Decode(f, 22, t, kReusedKey, u"\\REGISTRY\\MACHINE\\OLD", 4);
    Decode(f, 23, t + 5, kReusedKey, u"", 4);
    Decode(f, 14, t + 10, kRunKey, u"Updater");
    Decode(f, 11, t + 20, kSoftwareKey, u"Classes\\CLSID");
    Decode(f, 11, t + 40, kNeverNamedKey, u"Sub");
    Decode(f, 11, t + 60, kReusedKey, u"Gone"); // after the old name ended
    const char16_t* kept[] = {u"", u"\\REGISTRY\\USER\\Full", u"..\\Almost",
                              u"(key not identified) "};
    for (const char16_t* path : kept)
        AddRow(f, kCategoryRegistry, path);
    AddRow(f, kCategoryFile, kNoKey);
    REQUIRE(f.app->rowCount == 9);
    CHECK(f.tc->tracking.registryKeysNotResolved == 4);
    CHECK(f.app->shownCount == 0);

    // The rundown at the session's end lists the open keys (their names hold from 0).
    Decode(f, 25, t + 1000, kRunKey,
           u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", 4);
    Decode(f, 25, t + 1000, kSoftwareKey, u"\\REGISTRY\\USER\\S-1-5-21-1\\Software\\", 4);
    RepairRegistryKeyPaths(f.app);
    CHECK(Text(f, 0, kTextPath) ==
          "\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run");
    CHECK(Text(f, 0, kTextDetail) == "Value: Updater");
    // Scored again with its path, the rule named, and now shown.
    CHECK(StoredSeverity(f.app, 0) == 3);
    CHECK_FALSE(StoredTextEmpty(f.app, 0, kTextThreat));
    CHECK(f.app->shownCount == 1);
    CHECK(Text(f, 1, kTextPath) == "\\REGISTRY\\USER\\S-1-5-21-1\\Software\\Classes\\CLSID");
    CHECK(Text(f, 2, kTextPath) == "...\\Sub");
    CHECK(Text(f, 3, kTextPath) == "...\\Gone");
    for (int i = 0; i < 4; ++i)
        CHECK(Text(f, 4 + i, kTextPath) == U8(kept[i]));
    CHECK(Text(f, 8, kTextPath) == U8(kNoKey));
    CHECK(f.tc->tracking.registryKeysNotResolved == 2);

    RepairRegistryKeyPaths(f.app); // nothing is left to repair
    CHECK(f.tc->tracking.registryKeysNotResolved == 2);
    f.app->trace = nullptr; // the fixture releases it

    AddRow(f, kCategoryRegistry, kNoKey); // without a trace controller nothing is done
    RepairRegistryKeyPaths(f.app);
    CHECK(Text(f, 9, kTextPath) == U8(kNoKey));
}

} // namespace olv
