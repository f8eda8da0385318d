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
#include "platform/hash_table.h"
#include "record/compact_row.h"
#include "support/test_random.h"

using namespace olv;

namespace {

struct Stores {
    TextStore runStore{};
    TextStore wholeStore{};
    ~Stores() {
        FreeTextStore(&runStore);
        FreeTextStore(&wholeStore);
    }
};

char16_t* TextField(EventRow* row, size_t t, size_t* chars) {
    char16_t* fields[] = {row->operation, row->path,    row->detail,
                          row->result,    row->process, row->threat};
    const size_t sizes[] = {kOperationChars, kPathChars,    kDetailChars,
                            kResultChars,    kProcessChars, kThreatChars};
    *chars = sizes[t];
    return fields[t];
}

// A writer and a reader of records, and the reader's row packed both ways.
struct RecordPacker {
    RowRecordCoder writer{};
    RowRecordCoder reader{};
    PackRun run{};
    Stores stores;
    std::vector<uint8_t> bytes = std::vector<uint8_t>(kLargestRowRecord + 8);
    CompactRow fromRun{};
    CompactRow whole{};
    bool runPacked = false;
    bool wholePacked = false;

    size_t Encode(const EventRow& row) {
        return EncodeRowRecord(&writer, &row, bytes.data(), bytes.size());
    }
    // Decodes the record in bytes and packs the reader's row with its changes and, apart, whole.
    // False when the record could not be read.
    bool DecodeAndPack(size_t size) {
        uint64_t hash = 0;
        uint16_t units = 0;
        const bool hashed = RecordPathHash(bytes.data(), size, &hash, &units);
        if (DecodeRowRecord(&reader, bytes.data(), size) != size) return false;
        RowChanges changes{};
        RowChangesOf(&reader, &changes);
        changes.pathHash = hash;
        changes.pathHashUnits = hashed ? units : 0;
        runPacked = PackChangedRow(&stores.runStore, &run, &reader.last, changes, &fromRun);
        wholePacked = PackRow(&stores.wholeStore, &reader.last, &whole);
        return true;
    }
    bool Send(const EventRow& row) {
        const size_t size = Encode(row);
        return size != 0 && DecodeAndPack(size);
    }
    bool Same() const {
        return runPacked == wholePacked &&
               (!runPacked || std::memcmp(&fromRun, &whole, sizeof whole) == 0);
    }
    bool SamePools() const {
        uint64_t a = 0, b = 0;
        const uint8_t* poolA = TextPool(&stores.runStore, &a);
        const uint8_t* poolB = TextPool(&stores.wholeStore, &b);
        return a == b && (a == 0 || std::memcmp(poolA, poolB, a) == 0);
    }
};

EventRow KindRow(RowKind kind, const char16_t* path, uint32_t pid) {
    EventRow row{};
    row.category = RowKindCategory(kind);
    CopyBounded(row.operation, kOperationChars, RowKindOperation(kind));
    CopyBounded(row.path, kPathChars, path);
    CopyBounded(row.detail, kDetailChars, u"Offset 0, 4096 bytes");
    CopyBounded(row.result, kResultChars, u"OK");
    CopyBounded(row.process, kProcessChars, u"sample.exe");
    row.time = SystemTime{2026, 12, 1, 7, 15, 4, 9, 120};
    row.pid = pid;
    row.threadId = pid + 4;
    row.parentPid = 4112;
    return row;
}

// A record of only a path (member mask: the path's bit), narrow or wide.
std::vector<uint8_t> PathOnlyRecord(const std::vector<uint8_t>& units, bool wide) {
    std::vector<uint8_t> r = {0, 0, 0, static_cast<uint8_t>(RecordMemberText(1) >> 8)};
    const size_t count = wide ? units.size() / 2 : units.size();
    const uint16_t head = static_cast<uint16_t>(count | (wide ? 0x8000 : 0));
    r.push_back(static_cast<uint8_t>(head & 0xFF));
    r.push_back(static_cast<uint8_t>(head >> 8));
    r.insert(r.end(), units.begin(), units.end());
    if (r.size() % 2 != 0) r.push_back(0);
    r[0] = static_cast<uint8_t>(r.size() & 0xFF);
    r[1] = static_cast<uint8_t>(r.size() >> 8);
    return r;
}

} // namespace

TEST_CASE("rows packed from their records match rows packed whole, whatever changes between them") {
    RecordPacker p;
    TestRandom random{0x7061'636b};
    EventRow row = KindRow(RowKind::Other, u"", 1);
    static const char16_t* const kOperations[] = {u"Read file", u"Loaded DLL", u"Wrote to file",
                                                  u"File operation (90)", u"Sent data (TCP)", u""};
    static const char16_t* const kTexts[] = {u"", u"OK", u"sample.exe", u"C:\\a.txt",
                                             u"\u0441\u0430\u0439\u0442.tk", u"Value: Run"};
    bool same = true;
    for (uint32_t i = 0; i < 6000 && same; ++i) {
        // Each member changes now and then, so rows share any mix of members with the row before.
        if (random.Below(4) == 0) row.category = random.Below(6);
        if (random.Below(3) == 0)
            CopyBounded(row.operation, kOperationChars, kOperations[random.Below(6)]);
        for (size_t t = 1; t < 6; ++t) {
            if (random.Below(3) != 0) continue;
            size_t chars = 0;
            char16_t* field = TextField(&row, t, &chars);
            const uint32_t pick = random.Below(8);
            if (pick == 0) {
                // The whole field, no terminator; wide now and then.
                for (size_t u = 0; u < chars; ++u)
                    field[u] = static_cast<char16_t>(u'a' + (u + i) % 26);
                if (random.Below(2) == 0) field[chars / 2] = 0x20AC;
            } else if (pick == 1) {
                std::memset(field, 0, chars * sizeof(char16_t));
                field[0] = 0xD800; // a lone surrogate, then a number
                field[1] = static_cast<char16_t>(u'0' + i % 10);
            } else {
                CopyBounded(field, chars, kTexts[random.Below(6)]);
                if (t == 1 && random.Below(2) == 0) AppendBounded(field, chars, u"\\n");
            }
        }
        if (random.Below(3) == 0) row.time.milliseconds = static_cast<uint16_t>(random.Below(1000));
        if (random.Below(9) == 0) row.time.year = static_cast<uint16_t>(40000 + random.Below(9));
        if (random.Below(9) == 0) row.time.year = 2026;
        if (random.Below(4) == 0) row.parentPid = random.Below(3);
        if (random.Below(6) == 0) row.keyObject = random.Next();
        if (random.Below(7) == 0) row.reserved = random.Below(2);
        if (random.Below(2) == 0) row.pid = random.Below(5);
        row.severity = random.Below(4);
        row.timestamp += 1 + random.Below(3);
        REQUIRE(p.Send(row));
        same = p.Same();
        INFO("row " << i);
        CHECK(same);
        // The run's store is the store of whole rows: the row comes back from it whole.
        EventRow back;
        UnpackRow(&p.stores.runStore, &p.fromRun, &back);
        CHECK(std::memcmp(&back, &p.reader.last, sizeof back) == 0);
    }
    CHECK(p.SamePools());
}

TEST_CASE("a refused row leaves nothing for the next row to take; texts with a zero unit end there") {
    RecordPacker p;
    SUBCASE("the row after a refusal keeps the refused row's path and gets that path's id") {
        REQUIRE(p.Send(KindRow(RowKind::ReadFile, u"C:\\first.txt", 10)));
        REQUIRE((p.runPacked && p.Same()));
        // Room for the second path but not for the second row's detail, which is stored first.
        uint64_t used = 0;
        TextPool(&p.stores.runStore, &used);
        p.stores.runStore.mostBytes = used + 100;
        p.stores.wholeStore.mostBytes = used + 100;
        EventRow refused = KindRow(RowKind::ReadFile, u"C:\\second.txt", 10);
        CopyBounded(refused.detail, kDetailChars, std::u16string(200, u'd').c_str());
        REQUIRE(p.Send(refused));
        CHECK_FALSE(p.runPacked);
        CHECK(p.Same());
        // Same path: the record leaves it out. The row before that was packed had another.
        EventRow next = refused;
        CopyBounded(next.detail, kDetailChars, u"d");
        const size_t size = p.Encode(next);
        REQUIRE(size != 0);
        uint16_t members = 0;
        std::memcpy(&members, p.bytes.data() + 2, sizeof members);
        REQUIRE((members & RecordMemberText(1)) == 0);
        REQUIRE(p.DecodeAndPack(size));
        CHECK((p.runPacked && p.Same()));
        CHECK(TextViewEquals(TextOfId(&p.stores.runStore, p.fromRun.path), u"C:\\second.txt", 13));
    }
    SUBCASE("a row of kind Other after a kind keeps its operation text though the record omits it") {
        EventRow row = KindRow(RowKind::ReadFile, u"C:\\a", 1);
        REQUIRE(p.Send(row));
        row.category = kCategoryRegistry; // "Read file" under another category is no kind
        REQUIRE(p.Send(row));
        CHECK(KindOf(p.fromRun) == RowKind::Other);
        CHECK(p.Same());
        CHECK(TextViewEquals(OperationOf(&p.stores.runStore, p.fromRun), u"Read file", 9));
        row.category = kCategoryFile;
        REQUIRE(p.Send(row));
        CHECK(KindOf(p.fromRun) == RowKind::ReadFile);
        CHECK(p.Same());
    }
    SUBCASE("a damaged record's text with a zero unit packs as the text up to it, and stays so") {
        REQUIRE(p.Send(KindRow(RowKind::ReadFile, u"C:\\a", 1)));
        for (const bool wide : {false, true}) {
            CAPTURE(wide);
            const std::vector<uint8_t> narrowUnits = {'a', 'b', 0, 'c', 'd'};
            const std::vector<uint8_t> wideUnits = {'a', 0, 0x20, 0x01, 0, 0, 'c', 0};
            const std::vector<uint8_t> record = PathOnlyRecord(wide ? wideUnits : narrowUnits, wide);
            std::memcpy(p.bytes.data(), record.data(), record.size());
            REQUIRE(p.DecodeAndPack(record.size()));
            REQUIRE(p.runPacked);
            CHECK(p.Same());
            CHECK(TextOfId(&p.stores.runStore, p.fromRun.path).length == 2);
            // The next record holds only a pid: the path still ends at its zero.
            const uint8_t pidOnly[] = {8, 0, static_cast<uint8_t>(kRecordMemberPid), 0, 77, 0, 0, 0};
            std::memcpy(p.bytes.data(), pidOnly, sizeof pidOnly);
            REQUIRE(p.DecodeAndPack(sizeof pidOnly));
            CHECK(p.reader.last.pid == 77);
            CHECK(p.Same());
            CHECK(TextOfId(&p.stores.runStore, p.fromRun.path).length == 2);
        }
        // A record that writes the path anew forgets the zero.
        REQUIRE(p.Send(KindRow(RowKind::ReadFile, u"C:\\abcdef", 1)));
        CHECK(p.Same());
        CHECK(TextOfId(&p.stores.runStore, p.fromRun.path).length == 9);
    }
}

TEST_CASE("the path's hash made from a record's bytes is the hash of the decoded path") {
    RecordPacker p;
    // Lengths around the four-unit steps of the hash, and the whole field.
    for (const size_t length : {1u, 3u, 4u, 5u, 8u, 255u, 1023u, 1024u}) {
        CAPTURE(length);
        EventRow row = KindRow(RowKind::ReadFile, u"", 1);
        for (size_t u = 0; u < length && u < kPathChars; ++u)
            row.path[u] = static_cast<char16_t>(1 + (u * 37) % 255);
        const size_t size = p.Encode(row);
        REQUIRE(size != 0);
        uint64_t hash = 0;
        uint16_t units = 0;
        REQUIRE(RecordPathHash(p.bytes.data(), size, &hash, &units));
        CHECK(units == length);
        CHECK(hash == TextHash(row.path, length));
        // Cut short anywhere, the record gives no hash.
        bool anyCut = false;
        for (size_t cut = 0; cut < size; cut += 1 + cut / 8)
            anyCut = anyCut || RecordPathHash(p.bytes.data(), cut, &hash, &units);
        CHECK_FALSE(anyCut);
    }
    uint64_t hash = 0;
    uint16_t units = 0;
    // No path in the record (the same path again), and a wide path: no hash.
    EventRow row = KindRow(RowKind::ReadFile, u"C:\\x", 1);
    REQUIRE(p.Encode(row) != 0);
    row.pid = 2;
    size_t size = p.Encode(row);
    CHECK_FALSE(RecordPathHash(p.bytes.data(), size, &hash, &units));
    CopyBounded(row.path, kPathChars, u"C:\\\u0441");
    size = p.Encode(row);
    CHECK_FALSE(RecordPathHash(p.bytes.data(), size, &hash, &units));
    // A path claiming more units than its field holds.
    const std::vector<uint8_t> tooLong = PathOnlyRecord(std::vector<uint8_t>(kPathChars + 1, 'a'), false);
    CHECK_FALSE(RecordPathHash(tooLong.data(), tooLong.size(), &hash, &units));
}
