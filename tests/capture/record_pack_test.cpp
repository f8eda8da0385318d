// Rows packed from the ring's records: what the reader learns from a record (which members changed,
// each text's units, the path's hash made ahead from the record's bytes) must pack every row into
// the same compact record, with the same texts stored in the same order, as packing the whole row.
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "base/text.h"
#include "capture/row_record.h"
#include "doctest.h"
#include "record/compact_row.h"
#include "support/test_random.h"

using namespace olv;

namespace {

// A writer and a reader of records; the reader's row packed from its changes and, apart, whole.
struct RecordPacker {
    RowRecordCoder writer{}, reader{};
    PackRun run{};
    TextStore runStore{}, wholeStore{};
    std::vector<uint8_t> bytes = std::vector<uint8_t>(kLargestRowRecord + 8);
    CompactRow fromRun{}, whole{};
    bool runPacked = false, wholePacked = false;
    ~RecordPacker() {
        FreeTextStore(&runStore);
        FreeTextStore(&wholeStore);
    }

    size_t Encode(const EventRow& row) {
        return EncodeRowRecord(&writer, &row, bytes.data(), bytes.size());
    }
    bool DecodeAndPack(size_t size) {
        RowChanges changes{};
        const bool hashed =
            RecordPathHash(bytes.data(), size, &changes.pathHash, &changes.pathHashUnits);
        if (!hashed) changes.pathHashUnits = 0;
        if (DecodeRowRecord(&reader, bytes.data(), size) != size) return false;
        RowChangesOf(&reader, &changes);
        runPacked = PackChangedRow(&runStore, &run, &reader.last, changes, &fromRun);
        wholePacked = PackRow(&wholeStore, &reader.last, &whole);
        return true;
    }
    bool Send(const EventRow& row) {
        const size_t size = Encode(row);
        return size != 0 && DecodeAndPack(size);
    }
    bool Same() const {
        uint64_t a = 0, b = 0;
        const uint8_t* poolA = TextPool(&runStore, &a);
        const uint8_t* poolB = TextPool(&wholeStore, &b);
        return runPacked == wholePacked && a == b &&
               (a == 0 || std::memcmp(poolA, poolB, a) == 0) &&
               (!runPacked || std::memcmp(&fromRun, &whole, sizeof whole) == 0);
    }
    uint32_t PathUnits() const { return TextOfId(&runStore, fromRun.path).length; }
};

EventRow KindRow(RowKind kind, const char16_t* path, uint32_t pid) {
    EventRow row{};
    row.category = RowKindCategory(kind);
    CopyBounded(row.operation, kOperationChars, RowKindOperation(kind));
    CopyBounded(row.path, kPathChars, path);
    CopyBounded(row.detail, kDetailChars, u"Offset 0, 4096 bytes");
    CopyBounded(row.process, kProcessChars, u"sample.exe");
    row.time = SystemTime{2026, 12, 1, 7, 15, 4, 9, 120};
    row.pid = pid;
    return row;
}

} // namespace

TEST_CASE("rows packed from their records match rows packed whole, whatever changes between them") {
    RecordPacker p;
    TestRandom random{0x7061'636b};
    EventRow row{};
    char16_t* texts[] = {row.operation, row.path, row.detail, row.result, row.process, row.threat};
    const size_t chars[] = {kOperationChars, kPathChars,    kDetailChars,
                            kResultChars,    kProcessChars, kThreatChars};
    // Kinds' texts (which make a kind only under their category), texts of no kind, a wide text.
    static const char16_t* const kTexts[] = {
        u"Read file", u"Loaded DLL", u"File operation (90)",     u"",
        u"OK",        u"C:\\a.txt",  u"\u0441\u0430\u0439\u0442"};
    bool same = true;
    for (uint32_t i = 0; i < 6000 && same; ++i) {
        if (random.Below(4) == 0) row.category = random.Below(6);
        for (size_t t = 0; t < 6; ++t) {
            if (random.Below(3) != 0) continue; // kept from the row before
            const uint32_t pick = random.Below(8);
            std::memset(texts[t], 0, chars[t] * sizeof(char16_t));
            if (pick == 0) { // the whole field, no terminator, wide now and then
                for (size_t u = 0; u < chars[t]; ++u)
                    texts[t][u] = static_cast<char16_t>(u'a' + (u + i) % 26);
                if (random.Below(2) == 0) texts[t][chars[t] / 2] = 0x20AC;
            } else if (pick == 1) { // a lone surrogate and a number
                texts[t][0] = 0xD800;
                texts[t][1] = static_cast<char16_t>(u'0' + i % 10);
            } else {
                CopyBounded(texts[t], chars[t], kTexts[random.Below(7)]);
            }
        }
        if (random.Below(3) == 0) row.time.milliseconds = static_cast<uint16_t>(random.Below(1000));
        if (random.Below(9) == 0)
            row.time.year = static_cast<uint16_t>(2026 + 40000 * random.Below(2));
        if (random.Below(4) == 0) row.parentPid = random.Below(3);
        if (random.Below(6) == 0) row.keyObject = random.Next();
        if (random.Below(7) == 0) row.reserved = random.Below(2);
        if (random.Below(2) == 0) row.pid = random.Below(5);
        row.severity = random.Below(4);
        REQUIRE(p.Send(row));
        same = p.Same();
        INFO("row " << i);
        CHECK(same);
        EventRow back;
        UnpackRow(&p.runStore, &p.fromRun, &back);
        CHECK(std::memcmp(&back, &p.reader.last, sizeof back) == 0);
    }
}

TEST_CASE(
    "a refused row leaves nothing for the next row to take; texts with a zero unit end there") {
    RecordPacker p;
    SUBCASE("the row after a refusal keeps the refused row's path and gets that path's id") {
        REQUIRE(p.Send(KindRow(RowKind::ReadFile, u"C:\\first.txt", 10)));
        // Room for the second path but not for the second row's detail, which is stored first.
        p.runStore.mostBytes = p.wholeStore.mostBytes = p.runStore.poolUsed + 100;
        EventRow refused = KindRow(RowKind::ReadFile, u"C:\\second.txt", 10);
        CopyBounded(refused.detail, kDetailChars, std::u16string(200, u'd').c_str());
        REQUIRE(p.Send(refused));
        CHECK((!p.runPacked && p.Same()));
        refused.detail[1] = 0; // the record holds the detail alone
        REQUIRE(p.Send(refused));
        CHECK((p.runPacked && p.Same()));
        CHECK(TextViewEquals(TextOfId(&p.runStore, p.fromRun.path), u"C:\\second.txt", 13));
    }
    SUBCASE("a row of another category keeps its operation text though the record omits it") {
        EventRow row = KindRow(RowKind::ReadFile, u"C:\\a", 1);
        REQUIRE(p.Send(row));
        row.category = kCategoryRegistry; // "Read file" under another category is no kind
        REQUIRE(p.Send(row));
        CHECK((KindOf(p.fromRun) == RowKind::Other && p.Same()));
        CHECK(TextViewEquals(OperationOf(&p.runStore, p.fromRun), u"Read file", 9));
    }
    SUBCASE("a damaged record's text with a zero unit packs up to it, until a record rewrites it") {
        REQUIRE(p.Send(KindRow(RowKind::ReadFile, u"C:\\a", 1)));
        for (const bool wide : {false, true}) {
            CAPTURE(wide);
            // Only a path of four units, the third zero; then only a pid.
            const uint8_t narrow[] = {10, 0, 0, 0x08, 4, 0, 'a', 'b', 0, 'c'};
            const uint8_t wideUnits[] = {14, 0, 0, 0x08, 4, 0x80, 'a', 0, 0x20, 1, 0, 0, 'c', 0};
            const size_t size = wide ? sizeof wideUnits : sizeof narrow;
            std::memcpy(p.bytes.data(), wide ? wideUnits : narrow, size);
            REQUIRE(p.DecodeAndPack(size));
            CHECK((p.runPacked && p.Same() && p.PathUnits() == 2));
            const uint8_t pidOnly[] = {8, 0, static_cast<uint8_t>(kRecordMemberPid), 0, 77, 0,
                                       0, 0};
            std::memcpy(p.bytes.data(), pidOnly, sizeof pidOnly);
            REQUIRE(p.DecodeAndPack(sizeof pidOnly));
            CHECK((p.reader.last.pid == 77 && p.Same() && p.PathUnits() == 2));
        }
        REQUIRE(p.Send(KindRow(RowKind::ReadFile, u"C:\\abcdef", 1)));
        CHECK((p.Same() && p.PathUnits() == 9));
    }
}

TEST_CASE("counts past their fields are cut to the fields") {
    RecordPacker p;
    EventRow row = KindRow(RowKind::Other, u"", 1);
    for (char16_t& unit : row.path)
        unit = u'p';
    RowChanges changes{};
    changes.changed = kChangedAll;
    for (uint16_t& units : changes.units)
        units = 0xFFFF;
    REQUIRE(PackChangedRow(&p.runStore, &p.run, &row, changes, &p.fromRun));
    CHECK(p.PathUnits() == kPathChars);
    CHECK(TextOfId(&p.runStore, p.fromRun.detail).length == kDetailChars);
}

TEST_CASE("the path's hash made from a record's bytes is the hash of the decoded path") {
    RecordPacker p;
    uint64_t hash = 0;
    uint16_t units = 0;
    // Lengths around the hash's four-unit steps, and the whole field.
    for (const size_t length : {1u, 3u, 4u, 5u, 255u, 1023u, 1024u}) {
        CAPTURE(length);
        EventRow row = KindRow(RowKind::ReadFile, u"", 1);
        for (size_t u = 0; u < length; ++u)
            row.path[u] = static_cast<char16_t>(1 + (u * 37) % 255);
        const size_t size = p.Encode(row);
        REQUIRE(RecordPathHash(p.bytes.data(), size, &hash, &units));
        CHECK((units == length && hash == TextHash(row.path, length)));
        bool anyCut = false;
        for (size_t cut = 0; cut < size; cut += 1 + cut / 8)
            anyCut = anyCut || RecordPathHash(p.bytes.data(), cut, &hash, &units);
        CHECK_FALSE(anyCut);
    }
    // No path in the record (the same path again), a wide path, a path longer than its field.
    EventRow row = KindRow(RowKind::ReadFile, u"C:\\x", 1);
    p.Encode(row);
    row.pid = 2;
    CHECK_FALSE(RecordPathHash(p.bytes.data(), p.Encode(row), &hash, &units));
    CopyBounded(row.path, kPathChars, u"C:\\\u0441");
    CHECK_FALSE(RecordPathHash(p.bytes.data(), p.Encode(row), &hash, &units));
    std::vector<uint8_t> tooLong(6 + kPathChars + 2, 'a');
    const uint16_t head[] = {static_cast<uint16_t>(tooLong.size()), RecordMemberText(1),
                             static_cast<uint16_t>(kPathChars + 1)};
    std::memcpy(tooLong.data(), head, sizeof head);
    CHECK_FALSE(RecordPathHash(tooLong.data(), tooLong.size(), &hash, &units));
}
