// The compact body read in pieces, taken in as they arrive on a thread of its own or in turn with
// the reading: whatever the pieces and the way, the same verdict as the body read whole, the same
// message for each fault, and the same table and rows for a sound body.
#include "doctest.h"

#include <functional>

#include "export/export_fixture.h"
#include "export/session_compact.h"

namespace olv {

namespace {

// A body made by hand: its table is a text store's pool, its rows as written here.
struct Body {
    TextStore store{};
    std::vector<CompactRow> rows;
    Body() = default;
    Body(const Body&) = delete;
    ~Body() { FreeTextStore(&store); }

    uint32_t Text(const std::u16string& text) {
        uint32_t id = 0;
        REQUIRE(InternText(&store, text.data(), text.size(), &id));
        return id;
    }
    uint32_t Context(uint32_t process, uint32_t threat, uint32_t operation, uint32_t key) {
        const uint32_t words[7] = {4, 0, key, 0, process, threat, operation};
        std::u16string units;
        for (const uint32_t w : words) {
            units.push_back(static_cast<char16_t>(w & 0xFFFF));
            units.push_back(static_cast<char16_t>(w >> 16));
        }
        return Text(units);
    }
    Bytes Encode() const {
        uint64_t poolBytes = 0;
        const uint8_t* pool = TextPool(&store, &poolBytes);
        const CompactTableHead head{TextCount(&store), 0, poolBytes};
        Bytes b(reinterpret_cast<const uint8_t*>(&head), reinterpret_cast<const uint8_t*>(&head + 1));
        b.insert(b.end(), pool, pool + poolBytes);
        const auto* at = reinterpret_cast<const uint8_t*>(rows.data());
        b.insert(b.end(), at, at + rows.size() * sizeof(CompactRow));
        return b;
    }
};

CompactRow MakeCompact(RowKind kind, uint32_t path, uint32_t detail, uint32_t result,
                       uint32_t context) {
    return CompactRow{0x12345678, 77, 4, 8, path, detail, result, context, 0,
                      static_cast<uint16_t>(kind), 1, 2};
}

// The ids a sound body holds, for the damage cases to name.
struct Ids {
    uint32_t zeroText, longResult, longPath, plainContext, otherContext, badThreatContext, time;
    uint32_t fullPath, fullDetail;
    uint32_t texts;
};

// 300 rows over short and wide paths, texts at their fields' limits, a time record, contexts
// of known kinds and of kind Other, one that names a text after it, and texts that are not
// sound as row fields or contexts but that no row uses as such.
Ids MakeSoundBody(Body* b) {
    Ids ids{};
    const uint32_t process = b->Text(u"sample.exe");
    const uint32_t threat = b->Text(u"Injected code");
    const uint32_t operation = b->Text(u"Custom operation");
    ids.plainContext = b->Context(process, threat, 0, 1);
    ids.otherContext = b->Context(process, 0, operation, 2);
    // Names the text interned right after it.
    const uint32_t ahead = b->Context(TextCount(&b->store) + 1, 0, 0, 3);
    b->Text(u"later.exe");
    ids.zeroText = b->Text(std::u16string(u"a\0b", 3));
    ids.badThreatContext = b->Context(process, ids.zeroText, 0, 4);
    b->Context(99999, 99999, 99999, 5); // a context shape no row uses
    ids.longResult = b->Text(std::u16string(kResultChars, u'r'));
    ids.longPath = b->Text(std::u16string(kPathChars, u'p'));
    const uint32_t fullPath = b->Text(std::u16string(kPathChars - 1, u'\x0416'));
    const uint32_t fullDetail = b->Text(std::u16string(kDetailChars - 1, u'd'));
    ids.fullPath = fullPath;
    ids.fullDetail = fullDetail;
    ids.time = b->Text(std::u16string(u"\x07E8\x0003\x0002\x0002\x0005\x000E\x0006\x0000", 8));
    std::vector<uint32_t> paths;
    for (uint32_t i = 0; i < 60; ++i) {
        std::u16string path = u"C:\\Windows\\System32\\lib" + std::u16string(i % 7 + 1, u'x');
        path += static_cast<char16_t>(u'a' + i % 26);
        if (i % 3 == 0) path += u"\x0436\x5B57";
        path += static_cast<char16_t>(u'0' + i / 26);
        paths.push_back(b->Text(path));
    }
    const uint32_t result = b->Text(u"SUCCESS");
    for (uint32_t i = 0; i < 300; ++i) {
        const RowKind kind = i % 5 == 0 ? RowKind::Other : RowKind::ReadFile;
        const uint32_t context = kind == RowKind::Other ? ids.otherContext
                                 : i % 11 == 0          ? ahead
                                                        : ids.plainContext;
        CompactRow r = MakeCompact(kind, paths[i % paths.size()], i % 4 == 0 ? fullDetail : 0,
                                   i % 2 == 0 ? result : 0, context);
        if (i % 13 == 0) r.path = fullPath;
        if (i % 17 == 0) r.time = kTimeInStore | ids.time;
        b->rows.push_back(r);
    }
    ids.texts = TextCount(&b->store);
    return ids;
}

struct Verdict {
    CompactReadOutcome outcome;
    std::string why;
    Bytes pool;
    Bytes rows;
};

Verdict Read(const TempFolder& tmp, const Bytes& body, uint32_t count, CompactReadPieces pieces) {
    WriteAll(tmp.Path("body.bin"), body);
    FileHandle file = OpenFileForReading(tmp.Path16("body.bin").c_str(), nullptr);
    REQUIRE(file != nullptr);
    TextStore store{};
    CompactRow* rows = nullptr;
    char16_t why[256] = {};
    Verdict v{};
    v.outcome = ReadCompactBodyInPieces(file, body.size(), count, &store, &rows, why, 256, pieces);
    CloseFile(file);
    v.why = U8(why);
    uint64_t poolBytes = 0;
    const uint8_t* pool = TextPool(&store, &poolBytes);
    if (poolBytes > 0) v.pool.assign(pool, pool + poolBytes);
    if (rows != nullptr) {
        const auto* at = reinterpret_cast<const unsigned char*>(rows);
        v.rows.assign(at, at + size_t{count} * sizeof(CompactRow));
    }
    FreeBlock(rows);
    FreeTextStore(&store);
    return v;
}

// Pieces that cut texts and rows at every kind of seam, each way of taking them in. Rows are
// checked only once the whole table is in, so a damaged row behind a sound table needs only a
// few table cuts: 7 bytes cuts inside heads and wide units and takes in no text, one or several
// at a time; 100 takes many texts at once.
std::vector<CompactReadPieces> Ways(bool everyTableCut) {
    std::vector<CompactReadPieces> ways;
    for (const uint64_t takerFrom : {uint64_t{1}, ~uint64_t{0}}) {
        for (const uint32_t tableBytes : {1u, 2u, 3u, 7u, 100u}) {
            if (!everyTableCut && tableBytes != 7 && tableBytes != 100) continue;
            for (const uint32_t rows : {1u, 3u, 64u})
                ways.push_back(CompactReadPieces{tableBytes, rows, takerFrom, 0});
        }
        // Pieces that grow with the table read so far.
        if (!everyTableCut) continue;
        ways.push_back(CompactReadPieces{1, 3, takerFrom, 9});
        ways.push_back(CompactReadPieces{2, 64, takerFrom, 100});
    }
    return ways;
}

constexpr size_t kTableHead = sizeof(CompactTableHead);

} // namespace

TEST_CASE("A compact body gives the same verdict read whole or in any pieces, either way") {
    TempFolder tmp;
    Body sound;
    const Ids ids = MakeSoundBody(&sound);
    const uint32_t count = static_cast<uint32_t>(sound.rows.size());
    const Bytes good = sound.Encode();
    const size_t rowsAt = good.size() - count * sizeof(CompactRow);
    // Faults on row 252 (kind ReadFile): far past the seams, its texts and context long seen.
    constexpr uint32_t kRow = 251;
    using RowEdit = std::function<void(CompactRow&)>;
    using BodyEdit = std::function<void(Bytes&)>;
    struct Case {
        RowEdit row;
        BodyEdit body;
        const char* why;
    };
    const std::vector<Case> cases = {
        {nullptr, nullptr, ""},
        {[](CompactRow& r) { r.kind = kRowKindCount; }, nullptr, "row 252 has kind"},
        {[](CompactRow& r) { r.category = 5; }, nullptr, "row 252 has category 5 and severity 2"},
        {[](CompactRow& r) { r.severity = 4; }, nullptr, "row 252 has category 1 and severity 4"},
        {[](CompactRow& r) { r.facts = 3; }, nullptr, "row 252's facts (text 3) are not a facts record"},
        {[](CompactRow& r) { r.time = uint64_t{1} << 54; }, nullptr, "row 252's time has bits set"},
        {[&](CompactRow& r) { r.time = kTimeInStore | ids.plainContext; }, nullptr,
         "row 252's time is not a time record"},
        {[&](CompactRow& r) { r.time = kTimeInStore | ids.texts; }, nullptr,
         "row 252's time is not a time record"},
        {[&](CompactRow& r) { r.path = ids.texts; }, nullptr, "row 252 names text"},
        {[&](CompactRow& r) { r.detail = ids.zeroText; }, nullptr,
         "row 252's detail (text"},
        {[&](CompactRow& r) { r.result = ids.longResult; }, nullptr,
         "row 252's result is 64 units long, longer than its field of 63"},
        {[&](CompactRow& r) { r.path = ids.longPath; }, nullptr,
         "row 252's path is 1024 units long"},
        // Ids past the table but below the next power of two, or far past it; texts that fit
        // one field but not the one named; a context record (numbers, zeros among them) as a
        // text.
        {[&](CompactRow& r) { r.detail = ids.texts; }, nullptr, "row 252 names text"},
        {[&](CompactRow& r) { r.result = ids.texts + 1; }, nullptr, "row 252 names text"},
        {[&](CompactRow& r) { r.detail = 0xFFFFFFFFu; }, nullptr, "row 252 names text"},
        {[&](CompactRow& r) { r.detail = ids.fullPath; }, nullptr,
         "row 252's detail is 1023 units long, longer than its field of 255"},
        {[&](CompactRow& r) { r.result = ids.fullDetail; }, nullptr,
         "row 252's result is 255 units long, longer than its field of 63"},
        {[&](CompactRow& r) { r.path = ids.plainContext; }, nullptr, "holds a zero unit"},
        {[&](CompactRow& r) { r.context = ids.time; }, nullptr, "row 252's context (text"},
        {[&](CompactRow& r) { r.context = 0; }, nullptr, "row 252's context (text 0)"},
        {[&](CompactRow& r) { r.context = ids.texts + 5; }, nullptr, "row 252's context (text"},
        {[&](CompactRow& r) { r.context = ids.otherContext; }, nullptr,
         "row 252 keeps an operation text beside its kind"},
        {[&](CompactRow& r) { r.context = ids.badThreatContext; }, nullptr,
         "row 252's threat (text"},
        // The table: one text more than it holds, one fewer, and a text of no units.
        {nullptr, [](Bytes& b) { ++b[0]; }, "runs past the table's end"},
        {nullptr, [](Bytes& b) { --b[0]; }, "the text table holds bytes after its last text"},
        {nullptr, [](Bytes& b) { b[kTableHead] = 0; b[kTableHead + 1] = 0; },
         "text 1 of the text table is empty"},
    };
    // The sound body and the damaged tables are read in every cut of the table, a damaged row
    // in fewer.
    const std::vector<CompactReadPieces> everyCut = Ways(true);
    const std::vector<CompactReadPieces> fewCuts = Ways(false);
    for (size_t i = 0; i < cases.size(); ++i) {
        CAPTURE(i);
        const std::vector<CompactReadPieces>& ways = cases[i].row ? fewCuts : everyCut;
        Bytes body = good;
        if (cases[i].row) {
            CompactRow r = sound.rows[kRow];
            cases[i].row(r);
            std::memcpy(body.data() + rowsAt + kRow * sizeof r, &r, sizeof r);
        }
        if (cases[i].body) cases[i].body(body);
        const Verdict whole = Read(tmp, body, count, CompactReadPieces{});
        CAPTURE(whole.why);
        if (i == 0) {
            REQUIRE(whole.outcome == kCompactRead);
            CHECK(whole.rows == Bytes(good.begin() + static_cast<ptrdiff_t>(rowsAt), good.end()));
            CHECK(whole.pool == Bytes(good.begin() + kTableHead,
                                      good.begin() + static_cast<ptrdiff_t>(rowsAt)));
        } else {
            CHECK(whole.outcome == kCompactDamaged);
            CHECK(Has(whole.why, cases[i].why));
            CHECK(whole.rows.empty());
            CHECK(whole.pool.empty());
        }
        for (const CompactReadPieces& way : ways) {
            CAPTURE(way.tableBytes);
            CAPTURE(way.rows);
            CAPTURE(way.takerThreadFrom);
            CAPTURE(way.tableMostBytes);
            const Verdict v = Read(tmp, body, count, way);
            CHECK(v.outcome == whole.outcome);
            CHECK(v.why == whole.why);
            CHECK(v.pool == whole.pool);
            CHECK(v.rows == whole.rows);
        }
    }
}

TEST_CASE("A zero unit is found wherever it lies in a text, and zero bytes of a unit are not one") {
    // Lengths around the scan's steps (8, 16 and 64 bytes, narrow and wide), a zero unit at each
    // place: at the ends, in the overlapping steps, and in between. A short text after another
    // is read in one step that starts in the text before it, whose bytes (its head's zero byte
    // among them) must not count; the table's first text has no such bytes before it.
    TempFolder tmp;
    const std::u16string before(13, u'b');
    for (const bool afterAnother : {false, true}) {
        for (const bool wide : {false, true}) {
            const char16_t unit = wide ? u'\x0416' : u'a';
            for (const uint32_t length :
                 {1u,  2u,  3u,  4u,  5u,  7u,  8u,  9u,  12u, 15u, 16u, 17u,
                  20u, 23u, 24u, 31u, 32u, 33u, 47u, 48u, 63u, 64u, 65u, 80u}) {
                if (afterAnother && length > 17) continue;
                for (uint32_t at = 0; at <= length; ++at) {
                    // Past 33 units every step's seam is tested, not every unit between.
                    const bool nearSeam = at < 2 || at + 18 > length || at % 8 == 0 ||
                                          (at * (wide ? 2 : 1)) % 16 >= 14;
                    if (length > 33 && !nearSeam) continue;
                    CAPTURE(afterAnother);
                    CAPTURE(wide);
                    CAPTURE(length);
                    CAPTURE(at);
                    // at == length: no zero unit; wide units of one zero byte each (0x0100,
                    // 0x4100).
                    std::u16string text(length, unit);
                    if (at < length) {
                        text[at] = 0;
                    } else if (wide) {
                        for (uint32_t i = 0; i < length; i += 2)
                            text[i] = i % 4 == 0 ? u'\x0100' : u'\x4100';
                    }
                    Body body;
                    if (afterAnother) body.Text(before);
                    const uint32_t id = body.Text(text);
                    const uint32_t context = body.Context(0, 0, 0, 1);
                    body.rows.push_back(MakeCompact(RowKind::ReadFile, 0, id, 0, context));
                    const Verdict v = Read(tmp, body.Encode(), 1, CompactReadPieces{});
                    if (at < length) {
                        CHECK(v.outcome == kCompactDamaged);
                        CHECK(Has(v.why, "row 1's detail (text " + std::to_string(id) +
                                             ") holds a zero unit"));
                    } else {
                        CHECK(v.outcome == kCompactRead);
                    }
                }
            }
        }
    }
}

TEST_CASE("Refused memory or a refused thread leaves a compact body's open whole or failed") {
    TempFolder tmp;
    Body sound;
    MakeSoundBody(&sound);
    const uint32_t count = static_cast<uint32_t>(sound.rows.size());
    const Bytes good = sound.Encode();
    const CompactReadPieces threaded{5, 7, 1, 0};
    const Verdict whole = Read(tmp, good, count, threaded);
    REQUIRE(whole.outcome == kCompactRead);

    // Without its thread the open takes the pieces in turn with the reading.
    RefuseNthThreadStart(1);
    const Verdict alone = Read(tmp, good, count, threaded);
    RefuseNthThreadStart(0);
    CHECK(alone.outcome == kCompactRead);
    CHECK(alone.rows == whole.rows);
    CHECK(alone.pool == whole.pool);

    const int64_t live = LiveAllocationCount();
    bool ended = false;
    for (int64_t nth = 1; nth < 50 && !ended; ++nth) {
        CAPTURE(nth);
        RefuseNthAllocation(nth);
        const Verdict v = Read(tmp, good, count, threaded);
        ended = AllocationRefusalPending();
        ResetAllocationFaults();
        // A refused thread record leaves the open to take the pieces in turn.
        if (v.outcome == kCompactRead) {
            CHECK(v.rows == whole.rows);
        } else {
            CHECK(v.outcome == kCompactReadFailed);
            CHECK(v.rows.empty());
        }
    }
    CHECK(ended);
    CHECK(LiveAllocationCount() == live);
}

} // namespace olv
