// Row records: a row goes through a writer's coder and comes out of a reader's coder as the same
// row with zeros after each text, whatever the rows before it were and whatever its texts hold.
#include <cstring>
#include <vector>

#include "base/text.h"
#include "capture/row_record.h"
#include "doctest.h"
#include "support/test_random.h"

using namespace olv;

namespace {

struct TextSpan {
    char16_t* text;
    size_t chars;
};

std::vector<TextSpan> Texts(EventRow* row) {
    return {{row->operation, kOperationChars}, {row->path, kPathChars},
            {row->detail, kDetailChars},       {row->result, kResultChars},
            {row->process, kProcessChars},     {row->threat, kThreatChars}};
}

// The row as a reader must see it: every text up to its terminator, zeros after it.
EventRow Expected(EventRow row) {
    for (const TextSpan& t : Texts(&row)) {
        size_t n = 0;
        while (n < t.chars && t.text[n] != 0)
            ++n;
        for (size_t i = n; i < t.chars; ++i)
            t.text[i] = 0;
    }
    return row;
}

struct Pipe {
    RowRecordCoder writer{};
    RowRecordCoder reader{};
    std::vector<uint8_t> bytes = std::vector<uint8_t>(kLargestRowRecord + 8);
    size_t total = 0;

    // Sends the row through; true when the reader's row is the expected row.
    bool Passes(const EventRow& row) {
        const size_t size = EncodeRowRecord(&writer, &row, bytes.data(), bytes.size());
        if (size < 4 || size % 2 != 0 || size > kLargestRowRecord) return false;
        total += size;
        if (DecodeRowRecord(&reader, bytes.data(), size) != size) return false;
        const EventRow expected = Expected(row);
        return std::memcmp(&reader.last, &expected, sizeof expected) == 0;
    }
};

EventRow Row(uint32_t category, const char16_t* operation, const char16_t* path,
             const char16_t* detail, const char16_t* result, uint32_t pid) {
    EventRow row{};
    row.category = category;
    row.time = SystemTime{2026, 12, 1, 7, 15, 4, 9, static_cast<uint16_t>(pid % 1000)};
    row.timestamp = 134094158490000000ull + pid;
    row.pid = pid;
    row.threadId = pid + 4;
    CopyBounded(row.operation, kOperationChars, operation);
    CopyBounded(row.path, kPathChars, path);
    CopyBounded(row.detail, kDetailChars, detail);
    CopyBounded(row.result, kResultChars, result);
    CopyBounded(row.process, kProcessChars, u"sample.exe");
    return row;
}

// One row of each family the trace makes, with the members each sets.
std::vector<EventRow> EveryKind() {
    std::vector<EventRow> rows;
    EventRow start = Row(kCategoryProcess, u"Started process",
                         u"\"C:\\Users\\analyst\\Downloads\\Invoice.pdf.exe\" /quiet",
                         u"Investigation target / PID: 6840", u"OK", 6840);
    start.parentPid = 4112;
    start.keyObject = 0xffffb80a10006c00ull;
    rows.push_back(start);
    rows.push_back(Row(kCategoryProcess, u"Loaded DLL", u"C:\\Windows\\System32\\ntdll.dll",
                       u"Size: 1.9 MB", u"OK", 6840));
    rows.push_back(Row(kCategoryFile, u"Wrote to file",
                       u"C:\\Users\\analyst\\AppData\\Local\\Temp\\~DF12.tmp",
                       u"Offset 8192, 512 bytes", u"OK", 6840));
    EventRow key =
        Row(kCategoryRegistry, u"Wrote registry value",
            u"HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Run", u"Updater", u"OK", 6840);
    key.severity = 3;
    key.keyObject = 0xffffc0012345ull;
    CopyBounded(key.threat, kThreatChars, u"Run key persistence");
    rows.push_back(key);
    rows.push_back(Row(kCategoryNetwork, u"Sent data (TCP)",
                       u"192.168.1.20:49712 -> 93.184.216.34:443", u"517 bytes", u"", 6840));
    rows.push_back(Row(kCategoryNetwork, u"DNS query", u"\u0441\u0430\u0439\u0442.example.tk",
                       u"A 203.0.113.9", u"OK", 6840)); // a name outside the first 256 units
    EventRow end = Row(kCategoryProcess, u"Ended process", u"C:\\Windows\\System32\\cmd.exe",
                       u"Exit code 1", u"OK", 7020);
    end.parentPid = 6840;
    rows.push_back(end);
    rows.push_back(EventRow{}); // nothing set at all
    return rows;
}

} // namespace

TEST_CASE("every kind of row comes back as it was, alone, after each other kind and repeated") {
    const std::vector<EventRow> kinds = EveryKind();
    for (const EventRow& first : kinds) {
        for (const EventRow& second : kinds) {
            Pipe pipe;
            CHECK(pipe.Passes(first));
            CHECK(pipe.Passes(second));
            CHECK(pipe.Passes(second)); // equal to the row before it
            CHECK(pipe.Passes(first));
        }
    }
    // A row equal to the one before is its size and member mask only.
    Pipe pipe;
    REQUIRE(pipe.Passes(kinds[2]));
    const size_t before = pipe.total;
    REQUIRE(pipe.Passes(kinds[2]));
    CHECK(pipe.total - before == 4);
}

TEST_CASE("texts at their limits and hostile texts come back unit for unit") {
    Pipe pipe;
    EventRow row = EveryKind()[2];
    for (const TextSpan& t : Texts(&row)) {
        INFO("field of " << t.chars << " units");
        // The whole field with no terminator, narrow and then wide.
        for (size_t i = 0; i < t.chars; ++i)
            t.text[i] = static_cast<char16_t>(u'a' + i % 26);
        CHECK(pipe.Passes(row));
        t.text[t.chars - 1] = 0x20AC;
        CHECK(pipe.Passes(row));
        // One unit short of the field, then a short text: what the long one left is cleared.
        t.text[t.chars - 1] = 0;
        CHECK(pipe.Passes(row));
        CopyBounded(t.text, t.chars, u"x");
        CHECK(pipe.Passes(row));
        // Lone and reversed surrogates, the last narrow unit and the first wide one, and bytes
        // behind the terminator that must not travel.
        const char16_t hostile[] = {0xD800, u'a', 0xDC00, 0xDFFF, 0xD83D, 0x00FF, 0x0100, 0xFFFF};
        std::memcpy(t.text, hostile, sizeof hostile);
        t.text[8] = 0;
        for (size_t i = 9; i < t.chars; ++i)
            t.text[i] = 0x41;
        CHECK(pipe.Passes(row));
        // Every unit below 256 but above 127 travels as one byte and comes back whole.
        CopyBounded(t.text, t.chars, u"Rechnungspr\u00fcfung \u00ff\u0080");
        CHECK(pipe.Passes(row));
        std::memset(t.text, 0, t.chars * sizeof(char16_t));
        CHECK(pipe.Passes(row));
    }
}

TEST_CASE("a record without room changes nothing, and damaged records are refused") {
    const std::vector<EventRow> kinds = EveryKind();
    Pipe pipe;
    REQUIRE(pipe.Passes(kinds[0]));
    SUBCASE("the next row is measured against the last row written, not the refused one") {
        std::vector<uint8_t> small(8);
        CHECK(EncodeRowRecord(&pipe.writer, &kinds[1], small.data(), small.size()) == 0);
        CHECK(pipe.Passes(kinds[2]));
        CHECK(pipe.Passes(kinds[1]));
    }
    SUBCASE("sizes that lie, texts longer than their field, and records cut short") {
        const size_t size = EncodeRowRecord(&pipe.writer, &kinds[4], pipe.bytes.data(), 4096);
        REQUIRE(size > 8);
        std::vector<uint8_t> record(pipe.bytes.begin(), pipe.bytes.begin() + size);
        RowRecordCoder reader = pipe.reader;
        for (size_t cut = 0; cut < size; ++cut)
            CHECK(DecodeRowRecord(&reader, record.data(), cut) == 0);
        std::vector<uint8_t> bad = record;
        bad[0] = static_cast<uint8_t>(size + 1); // odd
        CHECK(DecodeRowRecord(&reader, bad.data(), bad.size()) == 0);
        bad = record;
        bad[0] = 2; // shorter than its own head
        CHECK(DecodeRowRecord(&reader, bad.data(), bad.size()) == 0);
        bad = record;
        bad[2] = 0xFF; // every fixed member claimed: more bytes than the record has
        bad[3] = 0x03;
        CHECK(DecodeRowRecord(&reader, bad.data(), bad.size()) == 0);
        // A record holding just the operation, claiming more units than the field has.
        const uint8_t longText[] = {8, 0, 0, 0x04, 65, 0, 65, 65};
        CHECK(DecodeRowRecord(&reader, longText, sizeof longText) == 0);
        CHECK(DecodeRowRecord(&reader, record.data(), record.size()) == size);
    }
}

TEST_CASE("random rows, often repeating members of the row before, come back as they were") {
    TestRandom random{0x7269'6e67};
    Pipe pipe;
    EventRow row{};
    bool all = true;
    for (int i = 0; i < 4000 && all; ++i) {
        for (const TextSpan& t : Texts(&row)) {
            if (random.Below(3) == 0) continue; // kept from the row before
            const uint32_t kind = random.Below(8);
            const size_t length = kind == 0 ? t.chars : random.Below(kind < 3 ? 40 : 8);
            for (size_t u = 0; u < t.chars; ++u) {
                const uint32_t pick = random.Below(16);
                const char16_t unit = pick == 0 ? static_cast<char16_t>(0xD800 + random.Below(2048))
                                      : pick == 1 ? static_cast<char16_t>(0x100 + random.Below(64))
                                                  : static_cast<char16_t>(32 + random.Below(224));
                t.text[u] = u < length ? unit : (random.Below(4) == 0 ? unit : char16_t{0});
            }
            if (length < t.chars) t.text[length] = 0;
        }
        if (random.Below(2) == 0) row.pid = random.Below(3);
        if (random.Below(2) == 0) row.timestamp += random.Next();
        if (random.Below(3) == 0) row.time.milliseconds = static_cast<uint16_t>(random.Below(1000));
        if (random.Below(5) == 0) row.time.year = static_cast<uint16_t>(random.Next());
        if (random.Below(5) == 0) row.keyObject = (uint64_t{random.Next()} << 32) | random.Next();
        if (random.Below(7) == 0) row.reserved = random.Next();
        all = pipe.Passes(row);
        INFO("row " << i);
        CHECK(all);
    }
}
