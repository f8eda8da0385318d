// The compact session file: the same recording back as the older form gives it, byte for byte;
// every damage refused with its own message and nothing that is open changed; refused memory.
#include "doctest.h"

#include <algorithm>
#include <functional>

#include "export/export_fixture.h"
#include "app/file_commands.h"
#include "export/exports.h"
#include "export/session_compact.h"
#include "export/session_counts.h"
#include "report/completeness.h"
#include "record/stored_rows.h"

namespace olv {

namespace {

std::vector<EventRow> Rows(const Recording* app) {
    std::vector<EventRow> rows(static_cast<size_t>(app->rowCount));
    for (int32_t i = 0; i < app->rowCount; ++i)
        rows[static_cast<size_t>(i)] = StoredRow(app, i);
    return rows;
}

// The rows of a recording: the fixture's rows (kind Other), rows of known kinds, texts at their
// limits and hostile units, repeated so that texts are shared.
void AddRecording(ExportFixture& f) {
    f.Finished();
    f.AddAll();
    for (uint32_t i = 0; i < 40; ++i) {
        EventRow row = MakeRow(kRows[i % 4]);
        const RowKind kind = static_cast<RowKind>(1 + i % (kRowKindCount - 1));
        row.category = RowKindCategory(kind);
        std::memset(row.operation, 0, sizeof row.operation);
        CopyBounded(row.operation, kOperationChars, RowKindOperation(kind));
        if (i % 7 == 0) {
            for (size_t c = 0; c + 1 < kPathChars; ++c)
                row.path[c] = static_cast<char16_t>(c % 3 == 0 ? 0xD800 : u'a' + c % 26);
        }
        if (i % 5 == 0) row.detail[0] = 0x01;
        row.keyObject += i;
        AppendRow(f.app, &row);
    }
    f.app->cleared.blockSize = kClearedRowsSize;
    f.app->cleared.rows = 12;
    f.app->cleared.earliest = SystemTime{2024, 3, 2, 5, 14, 6, 0, 0};
    f.app->cleared.latest = SystemTime{2024, 3, 2, 5, 14, 7, 0, 0};
    f.app->origin.blockSize = kRecordingOriginSize;
    f.app->origin.flags = stopUtcBiasKnown;
    f.app->origin.stopUtcBias = -60;
    CopyBounded(f.app->origin.recorderImage, 520, u"C:\\Tools\\Olvetta.exe");
}

uint32_t Word(const Bytes& b, size_t at) {
    uint32_t v;
    std::memcpy(&v, b.data() + at, 4);
    return v;
}
void PutWord(Bytes& b, size_t at, uint32_t v) {
    std::memcpy(b.data() + at, &v, 4);
}

// Where the parts of a compact file begin.
struct Layout {
    size_t table; // the table head
    size_t rows;  // the first row
};
Layout LayoutOf(const Bytes& b) {
    const size_t cleared = 16 + kRecordingInfoSize;
    const size_t origin = cleared + Word(b, cleared);
    const size_t table = origin + Word(b, origin);
    uint64_t tableBytes;
    std::memcpy(&tableBytes, b.data() + table + 8, 8);
    return Layout{table, table + 16 + static_cast<size_t>(tableBytes)};
}

// A row of this kind, appended; its index.
int32_t AddOfKind(ExportFixture& f, RowKind kind, uint32_t n) {
    EventRow row = MakeRow(kRows[n % 4]);
    row.category = RowKindCategory(kind);
    std::memset(row.operation, 0, sizeof row.operation);
    CopyBounded(row.operation, kOperationChars, RowKindOperation(kind));
    AppendRow(f.app, &row);
    return f.app->rowCount - 1;
}

bool SetFact(Recording* app, int32_t index, RowFact fact, const char16_t* text) {
    RowFactTexts given{};
    given.known = 1u << fact;
    given.text[fact] = text;
    return SetStoredFacts(app, index, given);
}

// Every fact of every row as text, "?" for a fact not known.
std::vector<std::u16string> FactTexts(const Recording* app) {
    std::vector<std::u16string> out;
    for (int32_t i = 0; i < app->rowCount; ++i) {
        for (uint32_t f = 0; f < kRowFactCount; ++f) {
            bool known = false;
            const TextView view = StoredFactText(app, i, RowFact(f), &known);
            std::u16string text(view.length, u'\0');
            CopyTextUnits(view, text.data());
            out.push_back(known ? text : u"?");
        }
    }
    return out;
}

// A process start, an image load and a value write with facts; a row of kind Other without.
struct FactRows {
    int32_t start, load, write, other;
};
FactRows AddRowsWithFacts(ExportFixture& f) {
    FactRows r{};
    r.other = AddOfKind(f, RowKind::Other, 0);
    r.start = AddOfKind(f, RowKind::StartedProcess, 1);
    r.load = AddOfKind(f, RowKind::LoadedDll, 2);
    r.write = AddOfKind(f, RowKind::WroteRegistryValue, 3);
    RowFactTexts image{};
    image.known = (1u << kFactOriginalFileName) | (1u << kFactDescription) |
                  (1u << kFactHashes) | (1u << kFactSigned);
    image.text[kFactOriginalFileName] = u"Cmd.Exe";
    image.text[kFactDescription] = nullptr; // known, empty
    image.text[kFactHashes] = u"SHA1=AB,MD5=CD,SHA256=EF,IMPHASH=01";
    image.text[kFactSigned] = u"false";
    REQUIRE(SetStoredFacts(f.app, r.start, image));
    REQUIRE(SetStoredFacts(f.app, r.load, image));
    REQUIRE(SetFact(f.app, r.write, kFactDetails, u"DWORD (0x00000001)"));
    // A fact of another kind's layout is left out; a row of kind Other keeps none.
    REQUIRE(SetFact(f.app, r.write, kFactUser, u"VM\\analyst"));
    REQUIRE(SetFact(f.app, r.other, kFactDetails, u"Binary Data"));
    return r;
}

} // namespace

TEST_CASE("A compact session gives back the recording the older form holds, byte for byte") {
    ExportFixture f;
    TempFolder tmp;
    AddRecording(f);
    REQUIRE(SaveSessionToPath(f.app, tmp.Path16("v4.ols").c_str()));
    REQUIRE(SaveCompactSessionToPath(f.app, tmp.Path16("compact.ols").c_str()));
    CHECK(LastMessage(kIconInformation) == "44 events saved.");
    const Bytes older = ReadAll(tmp.Path("v4.ols"));
    const Bytes compact = ReadAll(tmp.Path("compact.ols"));
    // The version lies where every earlier build reads it: such a build refuses the file.
    CHECK(std::memcmp(compact.data(), "OLVS", 4) == 0);
    CHECK(Word(compact, 4) == kSessionVersionCompact);
    CHECK(Word(compact, 8) == 48);
    CHECK(Word(compact, 12) == 44);
    // The head is the older form's head; the origin block carries the loss counts after its
    // fixed part.
    const Layout at = LayoutOf(compact);
    CHECK(std::equal(compact.begin() + 16, compact.begin() + static_cast<ptrdiff_t>(at.table),
                     older.begin() + 16));
    const size_t origin = 16 + kRecordingInfoSize + Word(compact, 16 + kRecordingInfoSize);
    CHECK(Word(compact, origin) == kRecordingOriginSize + CountsBlockBytes());
    CHECK(std::memcmp(compact.data() + origin + kRecordingOriginSize + 4, "CNTS", 4) == 0);
    CHECK(compact.size() * 8 < older.size());

    ExportFixture g;
    REQUIRE(OpenSessionFromPath(g.app, tmp.Path16("compact.ols").c_str()));
    CHECK(Rows(g.app) == Rows(f.app));
    CHECK(std::memcmp(&g.app->origin, &f.app->origin, sizeof(RecordingOrigin)) == 0);
    CHECK(g.app->cleared.rows == 12);
    CHECK(g.app->shownCount == 44);
    REQUIRE(SaveSessionToPath(g.app, tmp.Path16("again.ols").c_str()));
    CHECK(ReadAll(tmp.Path("again.ols")) == older);
    REQUIRE(SaveCompactSessionToPath(g.app, tmp.Path16("again_compact.ols").c_str()));
    CHECK(ReadAll(tmp.Path("again_compact.ols")) == compact);

    // An older file without origin or Clear, through the compact form, is saved as it was.
    ExportFixture h;
    h.Finished();
    h.AddAll();
    REQUIRE(SaveSessionToPath(h.app, tmp.Path16("v2.ols").c_str()));
    REQUIRE(Word(ReadAll(tmp.Path("v2.ols")), 4) == kSessionVersion);
    ExportFixture k;
    REQUIRE(OpenSessionFromPath(k.app, tmp.Path16("v2.ols").c_str()));
    REQUIRE(SaveCompactSessionToPath(k.app, tmp.Path16("v2_compact.ols").c_str()));
    ExportFixture m;
    REQUIRE(OpenSessionFromPath(m.app, tmp.Path16("v2_compact.ols").c_str()));
    REQUIRE(SaveSessionToPath(m.app, tmp.Path16("v2_again.ols").c_str()));
    CHECK(ReadAll(tmp.Path("v2_again.ols")) == ReadAll(tmp.Path("v2.ols")));

    // No rows at all.
    ExportFixture e;
    e.Finished();
    REQUIRE(SaveCompactSessionToPath(e.app, tmp.Path16("empty.ols").c_str()));
    ExportFixture n;
    REQUIRE(OpenSessionFromPath(n.app, tmp.Path16("empty.ols").c_str()));
    CHECK(n.app->rowCount == 0);
}

TEST_CASE("Facts of rows are kept by a compact session; the older form has none") {
    TempFolder tmp;
    ExportFixture f;
    f.Finished();
    const FactRows r = AddRowsWithFacts(f);
    bool known = true;
    CHECK(StoredFactText(f.app, r.other, kFactDetails, &known).length == 0);
    CHECK_FALSE(known);
    CHECK(StoredFactText(f.app, r.write, kFactUser, &known).length == 0);
    CHECK_FALSE(known);
    StoredFactText(f.app, r.start, kFactDescription, &known);
    CHECK(known);
    StoredFactText(f.app, r.start, kFactProduct, &known);
    CHECK_FALSE(known);
    // Rows of one layout with the same facts share one record.
    const int32_t child = AddOfKind(f, RowKind::StartedChildProcess, 5);
    REQUIRE(SetFact(f.app, child, kFactSigned, u"false"));
    REQUIRE(SetFact(f.app, child, kFactHashes, u"SHA1=AB,MD5=CD,SHA256=EF,IMPHASH=01"));
    REQUIRE(SetFact(f.app, child, kFactDescription, u""));
    CHECK(StoredRecord(f.app, child).facts != StoredRecord(f.app, r.start).facts);
    REQUIRE(SetFact(f.app, child, kFactOriginalFileName, u"Cmd.Exe"));
    CHECK(StoredRecord(f.app, child).facts == StoredRecord(f.app, r.start).facts);
    CHECK(StoredRecord(f.app, r.start).facts != StoredRecord(f.app, r.load).facts);

    REQUIRE(SaveCompactSessionToPath(f.app, tmp.Path16("facts.ols").c_str()));
    ExportFixture g;
    REQUIRE(OpenSessionFromPath(g.app, tmp.Path16("facts.ols").c_str()));
    CHECK(FactTexts(g.app) == FactTexts(f.app));
    CHECK(Rows(g.app) == Rows(f.app));

    // Facts that arrive later join those of the row; the record they replace is left out of
    // the file written next, which still holds every fact.
    REQUIRE(SetFact(f.app, r.start, kFactUser, u"VM\\analyst"));
    REQUIRE(SetFact(f.app, r.start, kFactIntegrityLevel, u"High"));
    StoredFactText(f.app, r.start, kFactOriginalFileName, &known);
    CHECK(known);
    CHECK(f.app->rowTextsReplaced == 1);
    REQUIRE(SaveCompactSessionToPath(f.app, tmp.Path16("later.ols").c_str()));
    ExportFixture h;
    REQUIRE(OpenSessionFromPath(h.app, tmp.Path16("later.ols").c_str()));
    CHECK(FactTexts(h.app) == FactTexts(f.app));
    const TextStore* texts = StoredTexts(h.app);
    for (uint32_t id = 1; id < TextCount(texts); ++id) {
        RowFacts record{};
        if (!ReadFactsRecord(TextOfId(texts, id), &record)) continue;
        bool named = false;
        for (int32_t i = 0; i < h.app->rowCount; ++i)
            named = named || StoredRecord(h.app, i).facts == id;
        CAPTURE(id);
        CHECK(named);
    }

    // The older form has no place for facts: reopened, nothing is known.
    REQUIRE(SaveSessionToPath(f.app, tmp.Path16("v4.ols").c_str()));
    ExportFixture k;
    REQUIRE(OpenSessionFromPath(k.app, tmp.Path16("v4.ols").c_str()));
    CHECK(Rows(k.app) == Rows(f.app));
    for (int32_t i = 0; i < k.app->rowCount; ++i)
        CHECK(StoredFacts(k.app, i).known == 0);
}

TEST_CASE("Every damage of a compact session is refused by name and changes nothing open") {
    TempFolder tmp;
    Bytes good;
    {
        ExportFixture f;
        AddRecording(f);
        AddRowsWithFacts(f);
        REQUIRE(SaveCompactSessionToPath(f.app, tmp.Path16("good.ols").c_str()));
        good = ReadAll(tmp.Path("good.ols"));
    }
    const Layout at = LayoutOf(good);
    const size_t firstText = at.table + 16;
    const size_t counts = 16 + kRecordingInfoSize + Word(good, 16 + kRecordingInfoSize) +
                          kRecordingOriginSize;
    auto countAt = [&](uint32_t value) { return counts + kCountsHeadBytes + 8 * size_t{value}; };
    auto row = [&](size_t n, size_t offset) { return at.rows + n * 48 + offset; };
    const size_t nRows = Word(good, 12);
    REQUIRE(nRows == 48);
    // The value write's facts record in the table: its head (5 units, two bytes each), the tag
    // of its layout and its known mask.
    const uint8_t record[] = {5, 0x80, 0xA3, 0xF0, 0, 0, 2, 0};
    const auto found = std::search(good.begin() + static_cast<ptrdiff_t>(firstText),
                                   good.begin() + static_cast<ptrdiff_t>(at.rows),
                                   std::begin(record), std::end(record));
    REQUIRE(found != good.begin() + static_cast<ptrdiff_t>(at.rows));
    const size_t details = static_cast<size_t>(found - good.begin()) + sizeof record;
    auto PutDetails = [&](Bytes& b, uint32_t id) {
        const uint8_t units[4] = {uint8_t(id), uint8_t(id >> 8), uint8_t(id >> 16),
                                  uint8_t(id >> 24)};
        std::memcpy(b.data() + details, units, 4);
    };
    using Edit = std::function<void(Bytes&)>;
    const std::vector<std::pair<Edit, std::string>> cases = {
        {[&](Bytes& b) { PutWord(b, 8, 3256); }, "This is not a session file this version can read."},
        {[&](Bytes& b) { b.push_back(0); }, "bytes follow the last row"},
        {[&](Bytes& b) { b.pop_back(); }, "the file ends before its last row"},
        {[&](Bytes& b) { PutWord(b, 12, Word(b, 12) + 1); }, "the file ends before its last row"},
        {[&](Bytes& b) { b.resize(at.table + 8); }, "the file ends before its text table"},
        {[&](Bytes& b) { PutWord(b, at.table, 0); }, "the text table's head is damaged (0 texts)"},
        {[&](Bytes& b) { PutWord(b, at.table + 4, 1); }, "the text table's head is damaged"},
        {[&](Bytes& b) { PutWord(b, at.table, Word(b, at.table) + 1); },
         "of the text table is empty or runs past the table's end"},
        {[&](Bytes& b) { PutWord(b, at.table, Word(b, at.table) - 1); },
         "the text table holds bytes after its last text"},
        {[&](Bytes& b) { b[firstText] = 0; b[firstText + 1] = 0; },
         "text 1 of the text table is empty or runs past the table's end"},
        {[&](Bytes& b) { b[firstText + 1] = 0x7F; },
         "text 1 of the text table is empty or runs past the table's end"},
        {[&](Bytes& b) { PutWord(b, row(0, 24), 100000); },
         "row 1 names text 100000 for its path, past the table's"},
        {[&](Bytes& b) { PutWord(b, row(2, 28), Word(b, row(2, 36))); },
         "row 3's detail (text"},
        {[&](Bytes& b) { PutWord(b, row(1, 36), Word(b, row(1, 24))); },
         "row 2's context (text"},
        {[&](Bytes& b) { PutWord(b, row(1, 36), 0); }, "row 2's context (text 0) is not a context"},
        {[&](Bytes& b) { b[row(3, 44)] = 0xFF; }, "row 4 has kind 255, which is not known"},
        {[&](Bytes& b) { b[row(3, 46)] = 5; }, "row 4 has category 5 and severity"},
        {[&](Bytes& b) { b[row(3, 47)] = 4; }, "severity 4"},
        {[&](Bytes& b) { PutWord(b, row(0, 40), 1); },
         "row 1's facts (text 1) are not a facts record of its kind"},
        {[&](Bytes& b) { PutWord(b, row(0, 40), 1000000); },
         "row 1's facts (text 1000000) are not a facts record"},
        // The facts of a process start on the image load, and on a row of kind Other.
        {[&](Bytes& b) { PutWord(b, row(nRows - 2, 40), Word(b, row(nRows - 1, 40))); },
         "row 47's facts (text"},
        {[&](Bytes& b) { PutWord(b, row(nRows - 4, 40), Word(b, row(nRows - 3, 40))); },
         "row 45's facts (text"},
        // The Details of the value write naming a text with a zero unit (a context record), and
        // a text past the table.
        {[&](Bytes& b) { PutDetails(b, Word(b, row(0, 36))); },
         "row 48's fact 17 (text"},
        {[&](Bytes& b) { PutDetails(b, 1000000); }, "fact 17 (text 1000000) is not a text"},
        {[&](Bytes& b) { b[row(0, 7)] = 0x01; }, "row 1's time has bits set past its members"},
        {[&](Bytes& b) { b[row(0, 7)] = 0x80; }, "row 1's time is not a time record"},
        // A row of a known kind that keeps an operation text: its context taken from a row of
        // kind Other.
        {[&](Bytes& b) { b[row(0, 44)] = static_cast<uint8_t>(RowKind::ReadFile); },
         "row 1 keeps an operation text beside its kind"},
        // The loss counts after the origin block's fixed part.
        {[&](Bytes& b) { b[counts + 4] = 'X'; }, "the counts' head is damaged (35 values"},
        {[&](Bytes& b) { PutWord(b, counts + 12, 3); }, "the counts' head is damaged (3 values"},
        {[&](Bytes& b) { PutWord(b, counts + 8, Word(b, counts + 8) | 0x200); },
         "the counts have flags"},
        {[&](Bytes& b) { PutWord(b, countAt(kKeptYaraGone), 3); },
         "the counts hold count 27 of a part they call unknown"},
        {[&](Bytes& b) {
             PutWord(b, counts + 8, Word(b, counts + 8) | kKeptScripts);
             PutWord(b, countAt(kKeptScriptBlocksIncomplete), 2);
         },
         "the counts say 2 of 0 script blocks were incomplete"},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        CAPTURE(i);
        Bytes bad = good;
        cases[i].first(bad);
        WriteAll(tmp.Path("bad.ols"), bad);
        ExportFixture f;
        f.Finished();
        f.Add(kRows[0]);
        f.Add(kRows[1]);
        CHECK_FALSE(OpenSessionFromPath(f.app, tmp.Path16("bad.ols").c_str()));
        const std::string message = LastMessage(kIconError);
        CAPTURE(message);
        CHECK(Has(message, cases[i].second));
        CHECK(Has(message, "bad.ols"));
        CHECK(Rows(f.app) == std::vector<EventRow>{MakeRow(kRows[0]), MakeRow(kRows[1])});
        CHECK(f.app->shownCount == 2);
    }
}

TEST_CASE("The loss counts come back with a compact session and give the same notes; a file "
          "without them opens with them unknown") {
    TempFolder tmp;
    ExportFixture f;
    AddRecording(f);
    KeptCounts& kept = f.app->keptCounts;
    kept.known = kKeptAllParts;
    for (uint32_t i = 0; i < kKeptCountCount; ++i)
        kept.value[i] = 1000 + 7 * i; // each count its own value
    kept.value[kKeptScriptBlocksIncomplete] = 3;
    kept.value[kKeptImageSizeLimit] = uint64_t{256} << 20;
    kept.value[kKeptYaraSizeLimit] = uint64_t{64} << 20;
    REQUIRE(SaveCompactSessionToPath(f.app, tmp.Path16("counts.ols").c_str()));
    ExportFixture g;
    REQUIRE(OpenSessionFromPath(g.app, tmp.Path16("counts.ols").c_str()));
    CHECK(g.app->keptCounts.known == kKeptAllParts);
    for (uint32_t i = 0; i < kKeptCountCount; ++i) {
        CAPTURE(i);
        CHECK(g.app->keptCounts.value[i] == kept.value[i]);
    }
    std::vector<char16_t> live(65536), reopened(65536);
    BuildCompletenessNotes(f.app, live.data(), live.size(), u"");
    BuildCompletenessNotes(g.app, reopened.data(), reopened.size(), u"");
    const std::string notes = U8(reopened.data());
    CHECK(notes == U8(live.data()));
    CHECK(Has(notes, "1063 facts not read in time"));
    CHECK(Has(notes, "1070 images could not be read: deleted or locked"));
    CHECK(Has(notes, "1084 files over 256 MB hashed in the background"));
    CHECK(Has(notes, "1182 files deleted or locked before their YARA scan"));
    CHECK(Has(notes, "Script blocks: 1000 recorded, 3 with parts missing, 1014 parts out of place"));

    // Parts not known stay unknown, and their notes are left out.
    kept.known = kKeptScripts;
    REQUIRE(SaveCompactSessionToPath(f.app, tmp.Path16("scripts.ols").c_str()));
    ExportFixture h;
    REQUIRE(OpenSessionFromPath(h.app, tmp.Path16("scripts.ols").c_str()));
    CHECK(h.app->keptCounts.known == kKeptScripts);
    CHECK(h.app->keptCounts.value[kKeptFactsLate] == 0);
    std::vector<char16_t> some(65536);
    BuildCompletenessNotes(h.app, some.data(), some.size(), u"");
    CHECK_FALSE(Has(U8(some.data()), "facts not read in time"));

    // A file of a build that kept no counts (the origin block's fixed part only) opens with every
    // count unknown.
    Bytes older = ReadAll(tmp.Path("counts.ols"));
    const size_t origin = 16 + kRecordingInfoSize + Word(older, 16 + kRecordingInfoSize);
    PutWord(older, origin, kRecordingOriginSize);
    older.erase(older.begin() + static_cast<ptrdiff_t>(origin + kRecordingOriginSize),
                older.begin() + static_cast<ptrdiff_t>(origin + kRecordingOriginSize +
                                                       CountsBlockBytes()));
    WriteAll(tmp.Path("older.ols"), older);
    ExportFixture k;
    k.app->keptCounts.known = kKeptAllParts; // what was open before is not kept
    REQUIRE(OpenSessionFromPath(k.app, tmp.Path16("older.ols").c_str()));
    CHECK(Rows(k.app) == Rows(f.app));
    CHECK(k.app->keptCounts.known == 0);
}

TEST_CASE("Whole script texts come back from a compact session of the version that keeps them") {
    TempFolder tmp;
    ExportFixture f;
    AddRecording(f);
    REQUIRE(SaveCompactSessionToPath(f.app, tmp.Path16("short.ols").c_str()));
    CHECK(Word(ReadAll(tmp.Path("short.ols")), 4) == kSessionVersionCompact);
    // A narrow text past the short head and a wide one that fits it, both past the path field.
    std::u16string narrow(40000, u'n'), wide(9000, u'w');
    narrow[39999] = u'!';
    wide[17] = u'\x4e2d';
    wide[4000] = 0xDC00; // an unpaired surrogate is kept as it is
    const int32_t a = AddOfKind(f, RowKind::RanScriptBlock, 0);
    const int32_t b = AddOfKind(f, RowKind::LoggedModuleOutput, 1);
    uint32_t id = 0;
    REQUIRE(InternText(&f.app->rowTexts, narrow.data(), narrow.size(), &id));
    f.app->rows[a].path = id;
    REQUIRE(InternText(&f.app->rowTexts, wide.data(), wide.size(), &id));
    f.app->rows[b].path = id;
    REQUIRE(SaveCompactSessionToPath(f.app, tmp.Path16("whole.ols").c_str()));
    const Bytes file = ReadAll(tmp.Path("whole.ols"));
    CHECK(Word(file, 4) == kSessionVersionWholeTexts);
    ExportFixture g;
    REQUIRE(OpenSessionFromPath(g.app, tmp.Path16("whole.ols").c_str()));
    CHECK(Rows(g.app) == Rows(f.app));
    CHECK(TextViewEquals(StoredWholePath(g.app, a), narrow.data(), narrow.size()));
    CHECK(TextViewEquals(StoredWholePath(g.app, b), wide.data(), wide.size()));

    // A whole text on a row of another kind is damage, as any path longer than its field.
    Bytes bad = file;
    const Layout at = LayoutOf(bad);
    bad[at.rows + size_t(a) * 48 + 44] = static_cast<uint8_t>(RowKind::ReadFile);
    WriteAll(tmp.Path("bad.ols"), bad);
    ExportFixture h;
    CHECK_FALSE(OpenSessionFromPath(h.app, tmp.Path16("bad.ols").c_str()));
    CHECK(Has(LastMessage(kIconError), "path is 40000 units long, longer than its field"));
}

TEST_CASE("Refused memory fails a compact save or open whole, leaving no file and nothing open") {
    TempFolder tmp;
    ExportFixture f;
    AddRecording(f);
    REQUIRE(SaveCompactSessionToPath(f.app, tmp.Path16("good.ols").c_str()));
    const int64_t live = LiveAllocationCount();
    bool saveEnded = false, openEnded = false;
    for (int64_t nth = 1; nth < 200 && !(saveEnded && openEnded); ++nth) {
        CAPTURE(nth);
        if (!saveEnded) {
            RefuseNthAllocation(nth);
            const bool saved = SaveCompactSessionToPath(f.app, tmp.Path16("try.ols").c_str());
            saveEnded = AllocationRefusalPending();
            ResetAllocationFaults();
            CHECK(saved == saveEnded);
            if (saved) CHECK(ReadAll(tmp.Path("try.ols")) == ReadAll(tmp.Path("good.ols")));
            CHECK(tmp.Names() == std::vector<std::string>(
                                     saved ? std::vector<std::string>{"good.ols", "try.ols"}
                                           : std::vector<std::string>{"good.ols"}));
            std::filesystem::remove(tmp.Path("try.ols"));
        }
        if (!openEnded) {
            ExportFixture g;
            g.Add(kRows[0]);
            RefuseNthAllocation(nth);
            const bool opened = OpenSessionFromPath(g.app, tmp.Path16("good.ols").c_str());
            openEnded = AllocationRefusalPending();
            ResetAllocationFaults();
            if (opened) {
                CHECK(Rows(g.app) == Rows(f.app));
            } else {
                CHECK(Rows(g.app) == std::vector<EventRow>{MakeRow(kRows[0])});
            }
        }
    }
    CHECK(saveEnded);
    CHECK(openEnded);
    CHECK(LiveAllocationCount() == live);
}

} // namespace olv

namespace olv {

TEST_CASE("The Save dialog offers the compact session as its second file type") {
    ExportFixture f;
    TempFolder tmp;
    f.Finished();
    f.AddAll();
    HeadlessQueueDialogPath(tmp.Path16("plain.ols").c_str());
    SaveSession(f.app);
    const HeadlessDialog& d = HeadlessModel()->lastDialog;
    static constexpr char16_t kFilter[] =
        u"Olvetta Session (*.ols)\0*.ols\0Olvetta Compact Session (*.ols)\0*.ols\0";
    constexpr size_t kUnits = sizeof kFilter / sizeof kFilter[0]; // the closing NUL included
    CHECK(std::u16string(d.filter, d.filter + kUnits) == std::u16string(kFilter, kUnits));
    CHECK(Word(ReadAll(tmp.Path("plain.ols")), 4) == kSessionVersion);

    HeadlessQueueDialogPath(tmp.Path16("compact.ols").c_str());
    HeadlessSetDialogFileType(2);
    SaveSession(f.app);
    CHECK(Word(ReadAll(tmp.Path("compact.ols")), 4) == kSessionVersionCompact);
    // The choice is the dialog's, each time.
    HeadlessQueueDialogPath(tmp.Path16("again.ols").c_str());
    SaveSession(f.app);
    CHECK(Word(ReadAll(tmp.Path("again.ols")), 4) == kSessionVersion);
}

} // namespace olv
