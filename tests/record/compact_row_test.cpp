// Typed compact rows: every row kind, hostile and limit-length texts, and the text store's
// bounds and refusals, all checked by the round trip back to the 3,256-byte row.
#include "doctest.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "platform/memory.h"
#include "record/compact_row.h"
#include "support/test_random.h"

namespace olv {

namespace {

struct StoreGuard {
    TextStore store{};
    ~StoreGuard() { FreeTextStore(&store); }
};

void SetField(char16_t* field, size_t chars, const std::u16string& text) {
    std::memset(field, 0, chars * sizeof(char16_t));
    std::memcpy(field, text.data(), (text.size() < chars ? text.size() : chars) * sizeof(char16_t));
}

EventRow RowOfKind(RowKind kind, uint32_t n) {
    EventRow row{};
    row.time = SystemTime{2026, 12, 1, 7, 17, 51, 35, static_cast<uint16_t>(n % 1000)};
    row.category = RowKindCategory(kind);
    SetField(row.operation, kOperationChars, RowKindOperation(kind));
    SetField(row.path, kPathChars, u"C:\\Users\\analyst\\AppData\\x" + std::u16string(1, u'a' + n % 26));
    SetField(row.detail, kDetailChars, u"Value: Run");
    SetField(row.result, kResultChars, u"OK");
    SetField(row.process, kProcessChars, u"sample.exe");
    row.pid = 4000 + n;
    row.threadId = 5000 + n;
    row.parentPid = 3000;
    row.severity = n % 4;
    row.keyObject = 0xFFFF'A000'0000'0000ull + n;
    row.timestamp = 134'000'000'000'000'000ull + n;
    return row;
}

// Whether a field holds text up to its terminator (or to its end when it fills the field).
bool SameFieldText(const char16_t* field, const char16_t* text, size_t chars) {
    size_t n = 0;
    while (n < chars && text[n] != 0)
        ++n;
    return std::memcmp(field, text, n * sizeof(char16_t)) == 0 && (n == chars || field[n] == 0);
}

// Packs and unpacks; the row must come back byte for byte, and into a scratch row that holds
// another row's bytes, each text up to its terminator with the numbers whole.
void CheckRoundTrip(TextStore* store, const EventRow& row) {
    CompactRow c{};
    REQUIRE(PackRow(store, &row, &c));
    EventRow back;
    std::memset(static_cast<void*>(&back), 0xAB, sizeof back);
    UnpackRow(store, &c, &back);
    CHECK(std::memcmp(&row, &back, sizeof row) == 0);

    EventRow scratch;
    std::memset(static_cast<void*>(&scratch), 0xAB, sizeof scratch);
    UnpackRowTerminated(store, &c, &scratch);
    CHECK(std::memcmp(&row.time, &scratch.time, sizeof row.time) == 0);
    CHECK(row.category == scratch.category);
    CHECK(SameFieldText(scratch.operation, row.operation, kOperationChars));
    CHECK(SameFieldText(scratch.path, row.path, kPathChars));
    CHECK(SameFieldText(scratch.detail, row.detail, kDetailChars));
    CHECK(SameFieldText(scratch.result, row.result, kResultChars));
    CHECK(SameFieldText(scratch.process, row.process, kProcessChars));
    CHECK(SameFieldText(scratch.threat, row.threat, kThreatChars));
    CHECK(std::memcmp(&row.pid, &scratch.pid, sizeof row - offsetof(EventRow, pid)) == 0);
}

std::u16string Repeat(char16_t unit, size_t n) {
    return std::u16string(n, unit);
}

} // namespace

TEST_CASE("row kinds are found by category and operation text, others keep their text") {
    StoreGuard g;
    for (size_t k = 0; k < kRowKindCount; ++k) {
        const auto kind = static_cast<RowKind>(k);
        const std::u16string text = RowKindOperation(kind);
        CAPTURE(k);
        if (kind == RowKind::Other) {
            CHECK(text.empty());
            continue;
        }
        REQUIRE(!text.empty());
        CHECK(RowKindOf(RowKindCategory(kind), text.data(), text.size()) == kind);
        // The same text under another category is no kind: a damaged file's row keeps both.
        CHECK(RowKindOf(RowKindCategory(kind) ^ 1, text.data(), text.size()) == RowKind::Other);
        // Prefixes and longer texts are not the kind.
        CHECK(RowKindOf(RowKindCategory(kind), text.data(), text.size() - 1) == RowKind::Other);
        const std::u16string longer = text + u" ";
        CHECK(RowKindOf(RowKindCategory(kind), longer.data(), longer.size()) == RowKind::Other);
        // Every kind's text is its own.
        for (size_t j = 0; j < k; ++j)
            CHECK(text != std::u16string(RowKindOperation(static_cast<RowKind>(j))));

        const EventRow row = RowOfKind(kind, static_cast<uint32_t>(k));
        CompactRow c{};
        REQUIRE(PackRow(&g.store, &row, &c));
        CHECK(KindOf(c) == kind);
        CHECK(ContextOf(&g.store, c).operation == 0); // a known kind keeps no operation text
        CheckRoundTrip(&g.store, row);
    }
    CHECK(RowKindOf(kCategoryFile, u"File operation (90)", 19) == RowKind::Other);
    CHECK(std::u16string(RowKindOperation(static_cast<RowKind>(kRowKindCount + 5))).empty());
}

TEST_CASE("rows of kind Other, hostile texts and texts at their limits come back byte for byte") {
    StoreGuard g;
    std::vector<EventRow> rows;
    EventRow other = RowOfKind(RowKind::Other, 1);
    SetField(other.operation, kOperationChars, u"File operation (90)");
    rows.push_back(other);
    // A known text under a category that is not its own (a damaged file's row).
    EventRow crossed = RowOfKind(RowKind::LoadedDll, 2);
    crossed.category = kCategoryFile;
    rows.push_back(crossed);
    // Every text at its longest with a terminator, and filling its field without one.
    for (const bool full : {false, true}) {
        EventRow r = RowOfKind(RowKind::Other, 3);
        const size_t cut = full ? 0 : 1;
        SetField(r.operation, kOperationChars, Repeat(u'o', kOperationChars - cut));
        SetField(r.path, kPathChars, Repeat(u'\u00e9', kPathChars - cut));
        SetField(r.detail, kDetailChars, Repeat(u'\u4e2d', kDetailChars - cut));
        SetField(r.result, kResultChars, Repeat(u'r', kResultChars - cut));
        SetField(r.process, kProcessChars, Repeat(u'\xff', kProcessChars - cut));
        SetField(r.threat, kThreatChars, Repeat(u'\xd800', kThreatChars - cut));
        rows.push_back(r);
    }
    // Unpaired surrogates, control characters, the highest unit, a narrow text next to a wide one.
    EventRow hostile = RowOfKind(RowKind::WroteRegistryValue, 4);
    SetField(hostile.path, kPathChars, u"HKLM\\\xdc00\x01\x1f\x7f\r\n\t\xffff\xd83d");
    SetField(hostile.detail, kDetailChars, u"Value: \x01");
    SetField(hostile.threat, kThreatChars, u"\xdbff");
    rows.push_back(hostile);
    // Everything empty or zero.
    rows.push_back(EventRow{});
    // A time no clock gives (only a damaged file holds one), the largest numbers.
    EventRow odd = RowOfKind(RowKind::SentTcp, 5);
    odd.time = SystemTime{65535, 65535, 65535, 65535, 65535, 65535, 65535, 65535};
    odd.pid = odd.threadId = odd.parentPid = odd.reserved = UINT32_MAX;
    odd.keyObject = odd.timestamp = UINT64_MAX;
    odd.category = 255;
    odd.severity = 255;
    rows.push_back(odd);
    EventRow edge = odd;
    edge.time = SystemTime{32767, 15, 7, 31, 31, 63, 63, 1023}; // the largest packed time
    rows.push_back(edge);
    for (const EventRow& row : rows)
        CheckRoundTrip(&g.store, row);

    // A time that does not pack keeps its raw members in the store.
    CompactRow c{};
    REQUIRE(PackRow(&g.store, &odd, &c));
    CHECK((c.time & kTimeInStore) != 0);
    REQUIRE(PackRow(&g.store, &edge, &c));
    CHECK((c.time & kTimeInStore) == 0);
}

TEST_CASE("whatever follows a text's terminator comes back as zeros") {
    StoreGuard g;
    EventRow row = RowOfKind(RowKind::ReadFile, 1);
    row.path[40] = u'x'; // after the terminator of a shorter text
    row.detail[kDetailChars - 1] = u'y';
    CompactRow c{};
    REQUIRE(PackRow(&g.store, &row, &c));
    EventRow back{};
    UnpackRow(&g.store, &c, &back);
    CHECK(back.path[40] == 0);
    CHECK(back.detail[kDetailChars - 1] == 0);
    row.path[40] = 0;
    row.detail[kDetailChars - 1] = 0;
    CHECK(std::memcmp(&row, &back, sizeof row) == 0);
}

TEST_CASE("a category or severity above a byte is refused and the record is left alone") {
    StoreGuard g;
    CompactRow c{};
    c.pid = 77;
    EventRow row = RowOfKind(RowKind::ReadFile, 1);
    row.category = 256;
    CHECK_FALSE(PackRow(&g.store, &row, &c));
    row.category = kCategoryFile;
    row.severity = 0x100;
    CHECK_FALSE(PackRow(&g.store, &row, &c));
    CHECK(c.pid == 77);
}

TEST_CASE("many rows share their texts and their context") {
    StoreGuard g;
    TestRandom random{7};
    std::vector<EventRow> rows;
    for (uint32_t i = 0; i < 2000; ++i) {
        EventRow row = RowOfKind(static_cast<RowKind>(1 + random.Below(kRowKindCount - 1)), i % 8);
        row.pid = 4000;
        row.keyObject = 0;
        rows.push_back(row);
    }
    std::vector<CompactRow> packed(rows.size());
    for (size_t i = 0; i < rows.size(); ++i)
        REQUIRE(PackRow(&g.store, &rows[i], &packed[i]));
    // Eight paths, a detail, a result, a process and one context per (severity, kind-less) row.
    CHECK(TextCount(&g.store) < 30);
    for (size_t i = 0; i < rows.size(); ++i) {
        EventRow back{};
        UnpackRow(&g.store, &packed[i], &back);
        REQUIRE(std::memcmp(&rows[i], &back, sizeof back) == 0);
    }
}

TEST_CASE("typed facts of a started process, a registry row and a network row") {
    StoreGuard g;
    auto pack = [&](RowKind kind, const std::u16string& path, const std::u16string& detail) {
        EventRow row = RowOfKind(kind, 0);
        SetField(row.path, kPathChars, path);
        SetField(row.detail, kDetailChars, detail);
        CompactRow c{};
        REQUIRE(PackRow(&g.store, &row, &c));
        return c;
    };
    auto slice = [&](uint32_t id, uint32_t start, uint32_t length) {
        const TextView v = TextOfId(&g.store, id);
        std::u16string s;
        for (uint32_t i = start; i < start + length; ++i)
            s += TextUnitAt(v, i);
        return s;
    };
    uint32_t a = 0, b = 0, c = 0;
    CompactRow quoted = pack(RowKind::StartedProcess, u"\"C:\\Program Files\\s.exe\" -x", u"");
    REQUIRE(StartedProcessFacts(&g.store, quoted, &a, &b, &c));
    CHECK(a == quoted.path);
    CHECK(slice(a, b, c) == u"C:\\Program Files\\s.exe");
    CompactRow bare = pack(RowKind::StartedChildProcess, u"C:\\Windows\\conhost.exe 0xffffffff", u"");
    REQUIRE(StartedProcessFacts(&g.store, bare, &a, &b, &c));
    CHECK(slice(a, b, c) == u"C:\\Windows\\conhost.exe");
    CHECK_FALSE(StartedProcessFacts(&g.store, pack(RowKind::ReadFile, u"x y", u""), &a, &b, &c));

    CompactRow value = pack(RowKind::WroteRegistryValue, u"HKLM\\Run", u"Value: Updater");
    REQUIRE(RegistryFacts(&g.store, value, &a, &b, &c));
    CHECK(slice(a, 0, TextOfId(&g.store, a).length) == u"HKLM\\Run");
    CHECK(slice(value.detail, b, c) == u"Updater");
    CompactRow key = pack(RowKind::OpenedRegistryKey, u"HKLM\\Run", u"");
    REQUIRE(RegistryFacts(&g.store, key, &a, &b, &c));
    CHECK(c == 0);
    CHECK_FALSE(RegistryFacts(&g.store, quoted, &a, &b, &c));

    CompactRow tcp = pack(RowKind::ConnectedTcp, u"10.0.0.2:49152 -> 93.184.216.34:443", u"");
    REQUIRE(NetworkEndpoints(&g.store, tcp, &a, &b, &c));
    CHECK(slice(tcp.path, 0, a) == u"10.0.0.2:49152");
    CHECK(slice(tcp.path, b, c) == u"93.184.216.34:443");
    CHECK_FALSE(NetworkEndpoints(&g.store, pack(RowKind::DnsQuery, u"a.b", u""), &a, &b, &c));
}

TEST_CASE("the text store interns texts once, narrow when it can, with id 0 the empty text") {
    StoreGuard g;
    uint32_t id = 99;
    REQUIRE(InternText(&g.store, u"", 0, &id));
    CHECK(id == 0);
    uint32_t narrow = 0, wide = 0, again = 0;
    REQUIRE(InternText(&g.store, u"C:\\caf\xe9", 7, &narrow));
    REQUIRE(InternText(&g.store, u"C:\\\x4e2d", 4, &wide));
    REQUIRE(InternText(&g.store, u"C:\\caf\xe9", 7, &again));
    CHECK(narrow != 0);
    CHECK(narrow == again);
    CHECK(narrow != wide);
    CHECK_FALSE(TextOfId(&g.store, narrow).wide);
    CHECK(TextOfId(&g.store, wide).wide);
    CHECK(TextViewEquals(TextOfId(&g.store, wide), u"C:\\\x4e2d", 4));
    // A prefix is a text of its own.
    REQUIRE(InternText(&g.store, u"C:\\caf", 6, &again));
    CHECK(again != narrow);
    CHECK(TextOfId(&g.store, 12345).length == 0);
    CHECK_FALSE(TextIdValid(&g.store, 12345));
    CHECK_FALSE(InternText(&g.store, Repeat(u'a', kTextStoreLongestText + 1).data(),
                           kTextStoreLongestText + 1, &again));
}

TEST_CASE("texts of every length around a step of eight units differ from those one unit apart") {
    StoreGuard g;
    for (size_t length = 1; length <= 40; ++length) {
        std::u16string text;
        for (size_t i = 0; i < length; ++i)
            text.push_back(static_cast<char16_t>(i % 3 == 0 ? 0xFF : 0x20 + (i * 37) % 0xE0));
        uint32_t id = 0, again = 0;
        REQUIRE(InternText(&g.store, text.data(), length, &id));
        CHECK_FALSE(TextOfId(&g.store, id).wide);
        CHECK(TextViewEquals(TextOfId(&g.store, id), text.data(), length));
        // Copied out widened, every unit and not one more.
        char16_t out[48];
        std::fill(std::begin(out), std::end(out), u'#');
        CopyTextUnits(TextOfId(&g.store, id), out);
        CHECK(std::u16string(out, length) == text);
        CHECK(out[length] == u'#');
        for (size_t k = 0; k < length; ++k) {
            CAPTURE(length);
            CAPTURE(k);
            // One unit apart in its low byte, or in its high byte only (then wide).
            for (const char16_t unit : {static_cast<char16_t>(text[k] ^ 1),
                                        static_cast<char16_t>(text[k] | 0x100)}) {
                std::u16string other = text;
                other[k] = unit;
                CHECK_FALSE(TextViewEquals(TextOfId(&g.store, id), other.data(), length));
                uint32_t otherId = 0;
                REQUIRE(InternText(&g.store, other.data(), length, &otherId));
                CHECK(otherId != id);
                CHECK(TextOfId(&g.store, otherId).wide == (unit > 0xFF));
                CHECK(TextViewEquals(TextOfId(&g.store, otherId), other.data(), length));
            }
        }
        REQUIRE(InternText(&g.store, text.data(), length, &again));
        CHECK(again == id);
    }
}

TEST_CASE("a full store and every refused allocation report false and change nothing") {
    auto check = [](TextStore* store, const std::vector<std::u16string>& texts) {
        for (size_t i = 0; i < texts.size(); ++i) {
            uint32_t id = 0;
            REQUIRE(FindStoredText(store, texts[i].data(), texts[i].size(), &id));
            CHECK(id == i + 1);
            CHECK(TextViewEquals(TextOfId(store, id), texts[i].data(), texts[i].size()));
        }
    };
    SUBCASE("bounds") {
        StoreGuard g;
        g.store.mostTexts = 4; // the empty text and three more
        g.store.mostBytes = 64;
        std::vector<std::u16string> texts = {u"one", u"two", u"three"};
        for (const auto& t : texts) {
            uint32_t id = 0;
            REQUIRE(InternText(&g.store, t.data(), t.size(), &id));
        }
        uint32_t id = 0;
        CHECK_FALSE(InternText(&g.store, u"four", 4, &id));
        CHECK(TextCount(&g.store) == 4);
        check(&g.store, texts);
        // Known texts are still found when the store is full.
        CHECK(InternText(&g.store, u"two", 3, &id));
        CHECK(id == 2);

        StoreGuard bytes;
        bytes.store.mostBytes = 14; // each text takes a two-byte head and its units
        REQUIRE(InternText(&bytes.store, u"12345678", 8, &id));
        CHECK_FALSE(InternText(&bytes.store, u"abc", 3, &id));
        CHECK(InternText(&bytes.store, u"ab", 2, &id));
        CHECK_FALSE(InternText(&bytes.store, u"\x4e2d", 1, &id)); // two bytes, none left
    }
    SUBCASE("every allocation refused in turn") {
        const int64_t live = LiveAllocationCount();
        std::vector<std::u16string> texts;
        for (int i = 0; i < 3000; ++i)
            texts.push_back(u"C:\\Windows\\System32\\file" + std::u16string(1, u'a' + i % 26) +
                            Repeat(u'\x4e00', static_cast<size_t>(i % 3)) + std::u16string(i / 26 + 1, u'z'));
        bool reachedEnd = false;
        for (int64_t nth = 1; nth < 64 && !reachedEnd; ++nth) {
            StoreGuard g;
            size_t stored = 0;
            RefuseNthAllocation(nth);
            for (const auto& t : texts) {
                uint32_t id = 0;
                const uint32_t before = TextCount(&g.store);
                if (!InternText(&g.store, t.data(), t.size(), &id)) {
                    CHECK(TextCount(&g.store) == before);
                    break;
                }
                ++stored;
            }
            reachedEnd = AllocationRefusalPending();
            ResetAllocationFaults();
            check(&g.store, {texts.begin(), texts.begin() + static_cast<ptrdiff_t>(stored)});
            if (!reachedEnd) CHECK(stored < texts.size());
        }
        CHECK(reachedEnd);
        CHECK(LiveAllocationCount() == live);
    }
}

} // namespace olv

namespace olv {

TEST_CASE("a store's pool opens into a new store with the same ids, and interning goes on") {
    StoreGuard saved;
    std::vector<std::u16string> texts = {u"C:\\a.dll", u"\x4e2d\x6587", u"HKLM\\Run", u"x"};
    for (const auto& t : texts) {
        uint32_t id = 0;
        REQUIRE(InternText(&saved.store, t.data(), t.size(), &id));
    }
    uint64_t bytes = 0;
    const uint8_t* pool = TextPool(&saved.store, &bytes);
    const std::vector<uint8_t> copy(pool, pool + bytes);

    auto open = [&](TextStore* store, const std::vector<uint8_t>& b, uint32_t count,
                    uint32_t* bad) {
        uint8_t* room = TextPoolRoom(store, b.size());
        REQUIRE(room != nullptr);
        std::memcpy(room, b.data(), b.size());
        return OpenTextPool(store, count, bad);
    };
    StoreGuard g;
    uint32_t bad = 99;
    REQUIRE(open(&g.store, copy, 5, &bad));
    for (uint32_t id = 1; id <= 4; ++id) {
        CHECK(TextViewEquals(TextOfId(&g.store, id), texts[id - 1].data(), texts[id - 1].size()));
        uint32_t found = 0;
        REQUIRE(FindStoredText(&g.store, texts[id - 1].data(), texts[id - 1].size(), &found));
        CHECK(found == id);
    }
    // The index is built on the first Intern; a refusal there changes nothing.
    uint32_t id = 0;
    RefuseNthAllocation(1);
    CHECK_FALSE(InternText(&g.store, u"new", 3, &id));
    ResetAllocationFaults();
    CHECK(TextCount(&g.store) == 5);
    REQUIRE(InternText(&g.store, u"HKLM\\Run", 8, &id));
    CHECK(id == 3);
    REQUIRE(InternText(&g.store, u"new", 3, &id));
    CHECK(id == 5);

    // Too few texts for the bytes, too many, an empty text, a text running past the end.
    StoreGuard d;
    CHECK_FALSE(open(&d.store, copy, 4, &bad));
    CHECK(bad == 4);
    CHECK(TextCount(&d.store) == 1);
    CHECK_FALSE(open(&d.store, copy, 6, &bad));
    std::vector<uint8_t> empty = copy;
    empty[0] = 0;
    empty[1] = 0;
    CHECK_FALSE(open(&d.store, empty, 5, &bad));
    CHECK(bad == 1);
    std::vector<uint8_t> past = copy;
    past[past.size() - 3] = 2; // "x" claims two units
    CHECK_FALSE(open(&d.store, past, 5, &bad));
    CHECK(bad == 4);
}

TEST_CASE("long texts take the pool's long head and open again; a long head must need it") {
    StoreGuard saved;
    std::u16string wide = Repeat(u'x', 70000);
    wide[5] = u'\x4e2d';
    const std::vector<std::u16string> texts = {
        Repeat(u'a', kTextPoolShortest), Repeat(u'b', kTextPoolShortest + 1), wide, u"after",
        Repeat(u'c', kTextStoreLongestText)};
    for (const auto& t : texts) {
        uint32_t id = 0;
        REQUIRE(InternText(&saved.store, t.data(), t.size(), &id));
    }
    uint64_t bytes = 0;
    const uint8_t* pool = TextPool(&saved.store, &bytes);
    // Two bytes of head each, four more for the three long ones.
    CHECK(bytes == 5 * 2 + 3 * 4 + kTextPoolShortest + kTextPoolShortest + 1 + 2 * 70000 + 5 +
                       kTextStoreLongestText);
    const std::vector<uint8_t> copy(pool, pool + bytes);
    auto open = [](TextStore* store, const std::vector<uint8_t>& b, uint32_t count, uint32_t* bad) {
        uint8_t* room = TextPoolRoom(store, b.size());
        REQUIRE(room != nullptr);
        std::memcpy(room, b.data(), b.size());
        return OpenTextPool(store, count, bad);
    };
    StoreGuard g;
    uint32_t bad = 0;
    REQUIRE(open(&g.store, copy, 6, &bad));
    for (uint32_t id = 1; id <= 5; ++id)
        CHECK(TextViewEquals(TextOfId(&g.store, id), texts[id - 1].data(), texts[id - 1].size()));
    uint32_t found = 0;
    REQUIRE(InternText(&g.store, wide.data(), wide.size(), &found)); // indexed on the first Intern
    CHECK(found == 3);

    // The second text's long head says a length the short head holds: one way to write each
    // text, so it is refused; a long head past the end, or past the longest text, is refused.
    const size_t second = 2 + kTextPoolShortest;
    std::vector<uint8_t> shortInLong = copy;
    const uint32_t shortLength = kTextPoolShortest;
    std::memcpy(shortInLong.data() + second + 2, &shortLength, 4);
    StoreGuard d;
    CHECK_FALSE(open(&d.store, shortInLong, 6, &bad));
    CHECK(bad == 2);
    std::vector<uint8_t> tooLong = copy;
    const uint32_t longest = kTextStoreLongestText + 1;
    std::memcpy(tooLong.data() + second + 2, &longest, 4);
    CHECK_FALSE(open(&d.store, tooLong, 6, &bad));
    CHECK(bad == 2);
    std::vector<uint8_t> cut(copy.begin(), copy.begin() + static_cast<std::ptrdiff_t>(second + 4));
    CHECK_FALSE(open(&d.store, cut, 3, &bad));
    CHECK(bad == 2);
}

} // namespace olv

namespace olv {

TEST_CASE("packing with a cache of the previous row's ids gives what packing without one gives") {
    StoreGuard cached, plain;
    PackCache cache{};
    TestRandom random{7};
    for (uint32_t n = 0; n < 2000; ++n) {
        EventRow row = RowOfKind(static_cast<RowKind>(1 + random.Below(kRowKindCount - 1)), n);
        // Runs of rows that repeat some texts and change others, an empty text now and then.
        if (random.Below(3) == 0) SetField(row.path, kPathChars, u"C:\\same.txt");
        if (random.Below(4) == 0) SetField(row.detail, kDetailChars, u"");
        if (random.Below(5) == 0) SetField(row.process, kProcessChars, u"other.exe");
        if (random.Below(6) == 0) SetField(row.threat, kThreatChars, u"Dropped an executable");
        if (random.Below(7) == 0) SetField(row.operation, kOperationChars, u"File operation (90)");
        row.parentPid = random.Below(2) == 0 ? 3000 : 3001;
        CompactRow a{}, b{};
        REQUIRE(PackRow(&cached.store, &row, &a, &cache));
        REQUIRE(PackRow(&plain.store, &row, &b));
        REQUIRE(std::memcmp(&a, &b, sizeof a) == 0);
    }
    uint64_t bytesA = 0, bytesB = 0;
    const uint8_t* poolA = TextPool(&cached.store, &bytesA);
    const uint8_t* poolB = TextPool(&plain.store, &bytesB);
    REQUIRE(bytesA == bytesB);
    CHECK(std::memcmp(poolA, poolB, bytesA) == 0);
}

namespace {

// Rows as a file holds them one after the other: runs that repeat a text, a kind or a time and
// change the rest, texts that differ from the row before's in their length or in one unit only,
// rows of kind Other keeping their operation text, and times only the store can hold.
std::vector<EventRow> FileRows(uint32_t count, uint64_t seed) {
    TestRandom random{seed};
    std::vector<EventRow> rows;
    for (uint32_t n = 0; n < count; ++n) {
        if (!rows.empty() && random.Below(4) == 0) {
            rows.push_back(rows.back()); // the same row again
            continue;
        }
        EventRow row = RowOfKind(static_cast<RowKind>(1 + random.Below(kRowKindCount - 1)), n);
        const EventRow* before = rows.empty() ? nullptr : &rows.back();
        if (before != nullptr && random.Below(2) == 0) {
            std::memcpy(row.operation, before->operation, sizeof row.operation);
            row.category = before->category;
        }
        if (before != nullptr && random.Below(2) == 0) row.time = before->time;
        if (random.Below(9) == 0) row.time.year = 40000; // kept in the store
        switch (random.Below(5)) {
        case 0: SetField(row.path, kPathChars, u"C:\a.txt"); break;
        case 1: SetField(row.path, kPathChars, u"C:\a.txt2"); break; // longer by one unit
        case 2: SetField(row.path, kPathChars, u"C:\b.txt"); break;  // one unit differs
        case 3: SetField(row.path, kPathChars, Repeat(u'p', kPathChars - 1)); break;
        default: break;
        }
        if (random.Below(3) == 0) SetField(row.detail, kDetailChars, u"");
        if (random.Below(3) == 0) SetField(row.result, kResultChars, u"ACCESS DENIED");
        if (random.Below(3) == 0) SetField(row.process, kProcessChars, u"\u0416\u0416.exe");
        if (random.Below(4) == 0) SetField(row.threat, kThreatChars, Repeat(u't', kThreatChars - 1));
        if (random.Below(5) == 0) {
            row.category = kCategoryFile;
            SetField(row.operation, kOperationChars,
                     random.Below(2) == 0 ? u"File operation (90)" : u"File operation (91)");
        }
        row.parentPid = random.Below(2) == 0 ? 3000 : 3001;
        rows.push_back(row);
    }
    return rows;
}

} // namespace

TEST_CASE("rows packed as a run from a file give the records and texts of packing each row") {
    const std::vector<EventRow> rows = FileRows(3000, 11);
    StoreGuard one, run;
    std::vector<CompactRow> expected(rows.size()), got(rows.size());
    for (size_t i = 0; i < rows.size(); ++i)
        REQUIRE(PackRow(&one.store, &rows[i], &expected[i]));
    // Room reserved as a session's open reserves it changes no id and no text.
    REQUIRE(ReserveTextPool(&run.store, 3000, 3000 * 64));
    REQUIRE(ReserveTextIndex(&run.store, 3000));
    const uint32_t slots = run.store.index.capacity;
    CHECK(slots >= 6000);
    // Calls of every size around the rows measured ahead at a time, each call's first row packed
    // with no row before it in the call.
    PackRun packRun{};
    const uint32_t sizes[] = {1, 2, 31, 32, 33, 64, 100, 7};
    uint32_t done = 0;
    for (uint32_t k = 0; done < rows.size(); ++k) {
        const uint32_t left = static_cast<uint32_t>(rows.size()) - done;
        const uint32_t n = sizes[k % 8] < left ? sizes[k % 8] : left;
        REQUIRE(PackRowsInRun(&run.store, &packRun, &rows[done], n, &got[done]) == n);
        done += n;
    }
    for (size_t i = 0; i < rows.size(); ++i) {
        INFO("row " << i);
        REQUIRE(std::memcmp(&expected[i], &got[i], sizeof(CompactRow)) == 0);
    }
    // Fewer texts than reserved: the index never doubled.
    REQUIRE(TextCount(&run.store) <= 3000);
    CHECK(run.store.index.capacity == slots);
    uint64_t bytesA = 0, bytesB = 0;
    const uint8_t* poolA = TextPool(&one.store, &bytesA);
    const uint8_t* poolB = TextPool(&run.store, &bytesB);
    REQUIRE(bytesA == bytesB);
    CHECK(std::memcmp(poolA, poolB, bytesA) == 0);

    SUBCASE("room past the store's bounds is refused and changes nothing") {
        StoreGuard small;
        small.store.mostTexts = 40;
        uint32_t id = 0;
        REQUIRE(InternText(&small.store, u"kept", 4, &id));
        const uint64_t bytes = TextStoreBytes(&small.store);
        CHECK_FALSE(ReserveTextPool(&small.store, 40, 64));
        CHECK(TextStoreBytes(&small.store) == bytes);
        CHECK(TextCount(&small.store) == 2);
        CHECK(TextViewEquals(TextOfId(&small.store, id), u"kept", 4));
    }

    SUBCASE("rows measured apart from their packing, each piece from its own first row") {
        // As a reading thread measures slices of a file and the packing takes them in turn.
        StoreGuard split;
        PackRun splitRun{};
        std::vector<CompactRow> out(rows.size());
        std::vector<RowChanges> changes(64);
        const uint32_t pieces[] = {64, 1, 63, 5, 64};
        for (uint32_t at = 0, k = 0; at < rows.size(); ++k) {
            const uint32_t left = static_cast<uint32_t>(rows.size()) - at;
            const uint32_t n = pieces[k % 5] < left ? pieces[k % 5] : left;
            MeasureRowsInRun(nullptr, &rows[at], n, changes.data());
            REQUIRE(PackMeasuredRows(&split.store, &splitRun, &rows[at], n, changes.data(),
                                     &out[at]) == n);
            at += n;
        }
        for (size_t i = 0; i < rows.size(); ++i) {
            INFO("row " << i);
            REQUIRE(std::memcmp(&expected[i], &out[i], sizeof(CompactRow)) == 0);
        }
        uint64_t bytes = 0;
        const uint8_t* pool = TextPool(&split.store, &bytes);
        REQUIRE(bytes == bytesA);
        CHECK(std::memcmp(pool, poolA, bytes) == 0);
    }

    SUBCASE("index room refused, past the bounds or before the index is built, changes nothing") {
        StoreGuard small;
        small.store.mostTexts = 40;
        uint32_t id = 0;
        REQUIRE(InternText(&small.store, u"kept", 4, &id));
        const uint64_t bytes = TextStoreBytes(&small.store);
        CHECK_FALSE(ReserveTextIndex(&small.store, 40));
        CHECK(ReserveTextIndex(&small.store, 30)); // room already there: nothing to do
        CHECK(TextStoreBytes(&small.store) == bytes);
        small.store.mostTexts = 0;
        RefuseNthAllocation(1);
        CHECK_FALSE(ReserveTextIndex(&small.store, 5000));
        ResetAllocationFaults();
        CHECK(TextStoreBytes(&small.store) == bytes);
        REQUIRE(ReserveTextIndex(&small.store, 5000));
        CHECK(small.store.index.capacity >= 10002);
        uint32_t again = 0;
        REQUIRE(InternText(&small.store, u"kept", 4, &again));
        CHECK(again == id); // the texts moved into the larger index are still found
        // A store opened from a saved pool builds its index on its first Intern, not here.
        StoreGuard opened;
        uint64_t poolBytes = 0;
        const uint8_t* pool = TextPool(&small.store, &poolBytes);
        uint8_t* room = TextPoolRoom(&opened.store, poolBytes);
        REQUIRE(room != nullptr);
        std::memcpy(room, pool, poolBytes);
        uint32_t bad = 0;
        REQUIRE(OpenTextPool(&opened.store, TextCount(&small.store), &bad));
        CHECK_FALSE(ReserveTextIndex(&opened.store, 10));
        REQUIRE(InternText(&opened.store, u"kept", 4, &again));
        CHECK(again == id);
    }

    SUBCASE("a row the store refuses stops the run there, and the next row is packed whole") {
        StoreGuard small, plain;
        small.store.mostTexts = 40;
        PackRun limited{};
        std::vector<CompactRow> out(rows.size());
        const uint32_t packed =
            PackRowsInRun(&small.store, &limited, rows.data(), static_cast<uint32_t>(rows.size()),
                          out.data());
        REQUIRE(packed < rows.size());
        for (uint32_t i = 0; i < packed; ++i) {
            CompactRow c{};
            REQUIRE(PackRow(&plain.store, &rows[i], &c));
            REQUIRE(std::memcmp(&c, &out[i], sizeof c) == 0);
        }
        // With room again, the run goes on from the refused row as if nothing had been refused.
        small.store.mostTexts = 0;
        const auto rest = static_cast<uint32_t>(rows.size()) - packed;
        REQUIRE(PackRowsInRun(&small.store, &limited, &rows[packed], rest, &out[packed]) == rest);
        for (uint32_t i = packed; i < rows.size(); ++i) {
            CompactRow c{};
            REQUIRE(PackRow(&plain.store, &rows[i], &c));
            REQUIRE(std::memcmp(&c, &out[i], sizeof c) == 0);
        }
    }
}

} // namespace olv
