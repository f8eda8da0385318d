// The stored rows as their readers see them: every kind, texts at their limits and hostile texts
// read back whole, texts changed on one row only, and the text filter over narrow and wide texts.
#include "record/stored_rows.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "app/recording_setup.h"
#include "app/window_layout.h"
#include "base/text.h"
#include "doctest.h"
#include "platform/memory.h"
#include "platform/sim/headless_ui.h"
#include "record/recording.h"
#include "views/row_store.h"
#include "support/headless_recording.h"

using namespace olv;

namespace {

struct Fixture : HeadlessRecording {
    std::vector<int32_t> Shown() const {
        return std::vector<int32_t>(app->shownRows, app->shownRows + app->shownCount);
    }
};

void SetField(char16_t* field, size_t chars, const std::u16string& text) {
    std::memset(field, 0, chars * sizeof(char16_t));
    std::memcpy(field, text.data(), (text.size() < chars ? text.size() : chars) * sizeof(char16_t));
}

EventRow BaseRow(uint32_t n) {
    EventRow row{};
    row.time = SystemTime{2026, 12, 1, 7, 17, 51, 35, static_cast<uint16_t>(n % 1000)};
    SetField(row.path, kPathChars, u"C:\\Users\\analyst\\AppData\\Roaming\\x.dat");
    SetField(row.detail, kDetailChars, u"Value: Run");
    SetField(row.result, kResultChars, u"OK");
    SetField(row.process, kProcessChars, u"sample.exe");
    row.pid = 4000 + n;
    row.threadId = 5000 + n;
    row.parentPid = 3000;
    row.keyObject = 0xFFFF'A000'0000'0000ull + n;
    row.timestamp = 134'000'000'000'000'000ull + n;
    return row;
}

bool TextIs(TextView view, const char16_t* field, size_t chars) {
    return TextViewEquals(view, field, FieldTextLength(field, chars));
}

void CheckStored(const Recording* app, int32_t i, const EventRow& want) {
    EventRow back;
    std::memset(static_cast<void*>(&back), 0xAB, sizeof back);
    ReadStoredRow(app, i, &back);
    CHECK(std::memcmp(&back, &want, sizeof want) == 0);
    CHECK(StoredKind(app, i) == RowKindOfRow(want));
    CHECK(StoredCategory(app, i) == want.category);
    CHECK(StoredSeverity(app, i) == want.severity);
    CHECK(StoredPid(app, i) == want.pid);
    CHECK(StoredThreadId(app, i) == want.threadId);
    CHECK(StoredParentPid(app, i) == want.parentPid);
    CHECK(StoredKeyObject(app, i) == want.keyObject);
    CHECK(StoredTimestamp(app, i) == want.timestamp);
    const SystemTime t = StoredTime(app, i);
    CHECK(std::memcmp(&t, &want.time, sizeof t) == 0);
    CHECK(TextIs(StoredText(app, i, kTextOperation), want.operation, kOperationChars));
    CHECK(TextIs(StoredText(app, i, kTextPath), want.path, kPathChars));
    CHECK(TextIs(StoredText(app, i, kTextDetail), want.detail, kDetailChars));
    CHECK(TextIs(StoredText(app, i, kTextResult), want.result, kResultChars));
    CHECK(TextIs(StoredText(app, i, kTextProcess), want.process, kProcessChars));
    CHECK(TextIs(StoredText(app, i, kTextThreat), want.threat, kThreatChars));
}

} // namespace

TEST_CASE_FIXTURE(Fixture, "stored rows of every kind, at their limits and hostile, read back whole") {
    std::vector<EventRow> rows;
    for (size_t k = 1; k < kRowKindCount; ++k) {
        EventRow row = BaseRow(static_cast<uint32_t>(k));
        SetRowKind(&row, static_cast<RowKind>(k));
        row.severity = static_cast<uint32_t>(k % 4);
        rows.push_back(row);
    }
    EventRow other = BaseRow(900);
    SetField(other.operation, kOperationChars, u"File operation (90)");
    rows.push_back(other);
    // Every text filling its field with no terminator, in narrow and wide units.
    for (const char16_t unit : {u'o', u'\u00e9', u'\u4e2d'}) {
        EventRow full = BaseRow(901);
        SetField(full.operation, kOperationChars, std::u16string(kOperationChars, unit));
        SetField(full.path, kPathChars, std::u16string(kPathChars, unit));
        SetField(full.detail, kDetailChars, std::u16string(kDetailChars, unit));
        SetField(full.result, kResultChars, std::u16string(kResultChars, unit));
        SetField(full.process, kProcessChars, std::u16string(kProcessChars, unit));
        SetField(full.threat, kThreatChars, std::u16string(kThreatChars, unit));
        rows.push_back(full);
    }
    EventRow hostile = BaseRow(902);
    SetRowKind(&hostile, RowKind::WroteRegistryValue);
    SetField(hostile.path, kPathChars, u"HKLM\\\xdc00\x01\x1f\x7f\r\n\t\xffff\xd83d");
    SetField(hostile.threat, kThreatChars, u"\xdbff");
    rows.push_back(hostile);
    EventRow odd = BaseRow(903);
    odd.time = SystemTime{65535, 65535, 65535, 65535, 65535, 65535, 65535, 65535};
    odd.pid = odd.threadId = odd.parentPid = odd.reserved = UINT32_MAX;
    odd.keyObject = odd.timestamp = UINT64_MAX;
    rows.push_back(odd);
    rows.push_back(EventRow{});

    for (const EventRow& row : rows)
        AppendRow(app, &row);
    REQUIRE(app->rowCount == static_cast<int32_t>(rows.size()));
    for (size_t i = 0; i < rows.size(); ++i) {
        CAPTURE(i);
        CheckStored(app, static_cast<int32_t>(i), rows[i]);
    }
    // Remade into a reused block, a window sliding one row a step, so that each slot passes
    // from full fields to short and empty texts and back: the block then holds each row as
    // ReadStoredRow gives it, with nothing of the slot's earlier rows left behind.
    constexpr uint32_t kSlots = 3;
    std::vector<EventRow> block(kSlots);
    std::memset(static_cast<void*>(block.data()), 0, kSlots * sizeof(EventRow));
    StoredRowUse use[kSlots] = {};
    for (uint32_t first = 0; first < rows.size(); ++first) {
        const uint32_t n = std::min<uint32_t>(kSlots, static_cast<uint32_t>(rows.size()) - first);
        RemakeStoredRows(app, static_cast<int32_t>(first), n, block.data(), use);
        for (uint32_t j = 0; j < n; ++j) {
            CAPTURE(first + j);
            CHECK(std::memcmp(&block[j], &rows[first + j], sizeof(EventRow)) == 0);
        }
    }
    // Copies are cut and terminated.
    char16_t cut[5];
    CHECK(CopyStoredText(app, 0, kTextProcess, cut, 5) == 4);
    CHECK(std::u16string(cut) == u"samp");
    CHECK(CopyStoredText(app, 0, kTextProcess, cut, 0) == 0);
}

TEST_CASE_FIXTURE(Fixture, "a threat or path set on one row leaves the rows that shared its texts alone") {
    const EventRow row = BaseRow(1);
    AppendRow(app, &row);
    AppendRow(app, &row);
    REQUIRE(app->rows[0].context == app->rows[1].context);
    CHECK(app->rowTextsReplaced == 0);

    REQUIRE(SetStoredThreat(app, 0, 2, u"Sigma: Run key written"));
    REQUIRE(SetStoredPath(app, 1, u"C:\\other.dat"));
    CHECK(app->rowTextsReplaced == 1);
    EventRow first = row, second = row;
    first.severity = 2;
    SetField(first.threat, kThreatChars, u"Sigma: Run key written");
    SetField(second.path, kPathChars, u"C:\\other.dat");
    CheckStored(app, 0, first);
    CheckStored(app, 1, second);

    // Texts longer than their field are cut as a row's field cuts them.
    const std::u16string longThreat(300, u'T');
    REQUIRE(SetStoredThreat(app, 1, 3, longThreat.c_str()));
    SetField(second.threat, kThreatChars, std::u16string(kThreatChars - 1, u'T'));
    second.severity = 3;
    CheckStored(app, 1, second);

    // A store that cannot take the new text leaves the row as it was.
    app->rowTexts.mostTexts = TextCount(&app->rowTexts);
    CHECK_FALSE(SetStoredThreat(app, 0, 1, u"a text the store has not seen"));
    CHECK_FALSE(SetStoredPath(app, 0, u"C:\\unseen"));
    CHECK_FALSE(SetStoredThreat(app, 0, 256, u""));
    CheckStored(app, 0, first);
    // A text it holds already needs no room.
    CHECK(SetStoredPath(app, 0, u"C:\\other.dat"));
}

TEST_CASE_FIXTURE(Fixture, "the text filter finds folded text in narrow and wide texts and in kind "
                           "names alike, as it does in a row not stored") {
    std::vector<EventRow> rows;
    EventRow narrow = BaseRow(1);
    SetRowKind(&narrow, RowKind::WroteFile);
    SetField(narrow.path, kPathChars, u"C:\\Temp\\EVIL.exe");
    rows.push_back(narrow);
    EventRow wide = BaseRow(2);
    SetRowKind(&wide, RowKind::OpenedFile);
    SetField(wide.path, kPathChars, u"C:\\\u0414\u0430\u043d\u043d\u044b\u0435\\evil.dll");
    rows.push_back(wide);
    EventRow latin = BaseRow(3);
    SetRowKind(&latin, RowKind::ReadFile);
    SetField(latin.path, kPathChars, u"C:\\caf\u00e9\\menu.txt");
    rows.push_back(latin);
    EventRow other = BaseRow(4);
    SetField(other.operation, kOperationChars, u"File operation (90)");
    rows.push_back(other);
    // The same text on many rows: searched once, found on every one.
    for (int i = 0; i < 3; ++i)
        rows.push_back(narrow);
    for (const EventRow& row : rows)
        AppendRow(app, &row);

    struct Case {
        const char16_t* filter;
        std::vector<int32_t> shown;
    };
    const Case cases[] = {
        {u"evil", {0, 1, 4, 5, 6}},
        {u"\u0414\u0430\u043d", {1}},  // wide units, not folded
        {u"CAF\u00e9", {2}},           // a narrow unit above 127
        {u"wrote to", {0, 4, 5, 6}},   // a kind's own operation text
        {u"operation (9", {3}},        // the kept operation text of a row of kind Other
        {u"EXE", {0, 4, 5, 6}},
        {u"exe\\", {}},                // never past a text's end
        {u"\u0444", {}},               // a wide needle is in no narrow text
        {u"", {0, 1, 2, 3, 4, 5, 6}},
    };
    for (const Case& c : cases) {
        CAPTURE(static_cast<int>(&c - cases));
        ViewSpec view = DefaultViewSpec();
        CopyBounded(view.filter, kFilterTextChars + 1, c.filter);
        REQUIRE(SetView(app, view));
        CHECK(Shown() == c.shown);
        for (size_t i = 0; i < rows.size(); ++i) {
            const bool shown = std::find(c.shown.begin(), c.shown.end(), static_cast<int32_t>(i)) !=
                               c.shown.end();
            CHECK(RowMatchesTextFilter(app, &rows[i]) == shown);
            CHECK(StoredRowPassesView(app, static_cast<int32_t>(i)) == shown);
        }
    }
    // With no memory for the scan's record of searched texts every text is searched.
    ViewSpec view = DefaultViewSpec();
    CopyBounded(view.filter, kFilterTextChars + 1, u"evil");
    RefuseAllocationsAbove(4);
    REQUIRE(SetView(app, view));
    ResetAllocationFaults();
    CHECK(Shown() == std::vector<int32_t>{0, 1, 4, 5, 6});
}
