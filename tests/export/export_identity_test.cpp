// The exports write their lines straight into large blocks; these tests hold CSV to the bytes of
// the bounded line builder it replaced and the JSON strings to their plain form, over random rows with every character a file must
// survive: quotes, backslashes, commas, every control character, DEL, non-ASCII text of two and
// three UTF-8 bytes, surrogate pairs, lone high and low surrogates (also at a field's end, where a
// cut may leave one), fields filled to their last character with no terminator, runs of plain
// ASCII that cross the eight-character steps of the fast paths, and times and numbers out of
// their usual ranges.
#include <nlohmann/json.hpp>

#include <sstream>
#include <string>

#include "base/format.h"
#include "base/note_text.h"
#include "export/export_fixture.h"
#include "app/file_commands.h"
#include "export/exports.h"
#include "export/json_text.h"
#include "export/line_digits.h"
#include "rules/threat_rules.h"
#include "sigma/sigma.h"
#include "support/test_random.h"
#include "views/sigma_rows.h"

namespace olv {

namespace {

const char16_t kPalette[] = {
    u'a', u'Z', u'0', u' ', u'.', u'\\', u'"', u',', u'=', u':', u'/', u'\t', u'\r', u'\n',
    0x01, 0x08, 0x1B, 0x1F, 0x7F, 0x80, 0xE9, 0x3A9, 0x7FF, 0x800, 0x4E2D, 0xFFFD, 0xFFFF,
    0xD800, 0xDBFF, 0xDC00, 0xDFFF};

// A text for a field of `chars` characters: empty, short, long runs of plain ASCII with a special
// character here and there, or the whole field with no terminator.
void FillField(TestRandom& r, char16_t* field, size_t chars) {
    std::memset(field, 0, chars * sizeof(char16_t));
    size_t length = 0;
    switch (r.Below(6)) {
    case 0: length = 0; break;
    case 1: length = chars; break; // no terminator
    case 2: length = chars - 1; break;
    default: length = r.Below(static_cast<uint32_t>(chars < 80 ? chars : 80)); break;
    }
    const bool mostlyPlain = r.Below(2) == 0;
    for (size_t i = 0; i < length; ++i) {
        if (mostlyPlain && r.Below(10) != 0) {
            field[i] = static_cast<char16_t>(u'a' + r.Below(26));
        } else if (r.Below(8) == 0 && i + 1 < length) {
            field[i++] = 0xD83D; // a pair
            field[i] = static_cast<char16_t>(0xDE00 + r.Below(64));
        } else {
            field[i] = kPalette[r.Below(sizeof kPalette / sizeof kPalette[0])];
        }
    }
    // A pair split by the field's end, or a high surrogate as its last character.
    if (length > 0 && r.Below(8) == 0) field[length - 1] = 0xD83D;
}

const char16_t* const kOperations[] = {
    u"Started process", u"Started child process", u"Loaded DLL", u"Wrote to file",
    u"Created new file", u"Deleted file", u"Wrote registry value", u"Created registry key",
    u"Connected (TCP)", u"Sent data (UDP)", u"DNS query", u"DNS answer", u"Process exited",
    u"Read file", u"Opened file"};

EventRow RandomRow(TestRandom& r) {
    EventRow row;
    std::memset(static_cast<void*>(&row), 0, sizeof row);
    uint16_t* t = &row.time.year;
    for (int i = 0; i < 8; ++i) // mostly a usual time, sometimes any value of each member
        t[i] = static_cast<uint16_t>(r.Below(4) == 0 ? r.Next() : 1 + r.Below(i == 0 ? 3000 : 59));
    row.category = r.Below(6);
    row.severity = r.Below(5);
    const uint32_t pids[] = {0, 4, 4012, 4294967295u, r.Next()};
    row.pid = pids[r.Below(5)];
    row.parentPid = pids[r.Below(5)];
    row.threadId = row.pid + 1;
    // The trace's time stamp: none (older sessions), a day of a few (the writers keep the day's
    // date), any day, or one past every calendar date.
    const uint64_t stamps[] = {0, 133542496300000000ull + uint64_t{r.Below(3)} * 864000000000ull,
                               uint64_t{r.Next()} * 2000000000ull,
                               static_cast<uint64_t>(kUtcTicksEnd) + r.Below(2)};
    row.timestamp = stamps[r.Below(4)];
    FillField(r, row.path, kPathChars);
    FillField(r, row.detail, kDetailChars);
    FillField(r, row.result, kResultChars);
    FillField(r, row.process, kProcessChars);
    FillField(r, row.threat, kThreatChars);
    if (r.Below(3) != 0) {
        CopyBounded(row.operation, kOperationChars,
                    kOperations[r.Below(sizeof kOperations / sizeof kOperations[0])]);
        // Paths the views take: a full path, often under the same folder, with 'q' for the rules.
        if (r.Below(2) == 0) {
            CopyBounded(row.path, kPathChars, u"C:\\Users\\an\\q");
            AppendBounded(row.path, kPathChars, r.Below(2) == 0 ? u"payload.dll" : u"\"x\u00e9\".exe");
        }
    } else {
        FillField(r, row.operation, kOperationChars);
    }
    return row;
}

// The CSV row line as the bounded builder made it: every piece appended while fewer than 4095
// characters are used, a doubled quote that does not fit dropped whole, unpaired surrogates
// replaced afterwards over the whole line.
std::u16string ReferenceCsvLine(const EventRow& row) {
    constexpr size_t kCap = 4096;
    std::u16string line;
    auto put = [&](char16_t c) {
        if (line.size() < kCap - 1) line.push_back(c);
    };
    auto text = [&](const char16_t* s, size_t max) {
        for (size_t i = 0; i < max && s[i] != 0; ++i)
            put(s[i]);
    };
    auto quoted = [&](const char16_t* s, size_t max) {
        put(u'"');
        for (size_t i = 0; i < max && s[i] != 0; ++i) {
            if (s[i] == u'"') {
                if (line.size() + 2 <= kCap - 1) {
                    put(u'"');
                    put(u'"');
                }
            } else {
                put(s[i]);
            }
        }
        put(u'"');
    };
    char16_t time[48];
    FormatLongTime(row.time, time, 48);
    text(time, 48);
    put(u',');
    text(SeverityLabel(row.severity), 16);
    put(u',');
    char16_t process[kProcessChars] = {};
    AppendBoundedN(process, kProcessChars, row.process, kProcessChars - 1);
    char16_t pid[96];
    if (process[0] != 0) {
        FormatText(pid, 96, u"%lu (%s)", row.pid, process);
    } else {
        FormatText(pid, 96, u"%lu", row.pid);
    }
    quoted(pid, 96);
    put(u',');
    quoted(process, kProcessChars);
    put(u',');
    text(CategoryLabel(row.category), 16);
    for (const auto& [field, chars] :
         {std::pair{row.operation, kOperationChars}, std::pair{row.path, kPathChars},
          std::pair{row.detail, kDetailChars}, std::pair{row.result, kResultChars},
          std::pair{row.threat, kThreatChars}}) {
        put(u',');
        quoted(field, chars);
    }
    put(u'\r');
    put(u'\n');
    ReplaceUnpairedSurrogates(line.data(), line.size());
    return line;
}

// Rules that match many of the rows (more than the 24 a line lists), titles with escapes and
// non-ASCII text, one long enough that a line of many matches is built the bounded way.
std::string RuleText(int n) {
    std::string title = "Rule " + std::to_string(n) + " \\\"quoted\\\" \\t caf\\u00e9 \\U0001F600";
    if (n % 5 == 0) title += std::string(100, 'x') + " \\u0001";
    return "title: \"" + title + "\"\nid: 33333333-0000-0000-0000-" + std::to_string(100000000000 + n) +
           "\nlevel: " + (n % 2 == 0 ? "high" : "low") +
           "\nlogsource: {product: windows, category: file_event}\ndetection:\n    selection:\n"
           "        TargetFilename|contains: '\\q'\n    condition: selection\n";
}

struct IdentityFixture : ExportFixture {
    TempFolder folder;
    void AddRandomRows(uint64_t seed, int count) {
        TestRandom r{seed};
        for (int i = 0; i < count; ++i) {
            const EventRow row = RandomRow(r);
            AppendRow(app, &row);
        }
    }
};

} // namespace

TEST_CASE_FIXTURE(IdentityFixture, "CSV rows are the lines the bounded builder made") {
    for (uint64_t seed = 1; seed <= 6; ++seed) {
        CAPTURE(seed);
        ClearRows(app);
        AddRandomRows(seed, 300);
        if (seed % 2 == 0) { // a view that leaves rows out
            app->shownCount = 0;
            for (int32_t i = 0; i < app->rowCount; i += 3)
                app->shownRows[app->shownCount++] = i;
        }
        REQUIRE(ExportCsvToPath(app, folder.Path16("rows.csv").c_str()));
        const Bytes file = ReadAll(folder.Path("rows.csv"));
        const std::u16string column = u"Time,Severity,PID,Process,Category,Operation,Path,Detail,"
                                      u"Result,Threat\r\n";
        std::u16string expected;
        for (int32_t i = 0; i < app->shownCount; ++i)
            expected += ReferenceCsvLine(StoredRow(app, app->shownRows[i]));
        std::u16string wide;
        for (size_t i = 2; i + 1 < file.size(); i += 2)
            wide.push_back(static_cast<char16_t>(file[i] | (file[i + 1] << 8)));
        const size_t at = wide.find(column);
        REQUIRE(at != std::u16string::npos);
        const std::u16string rows = wide.substr(at + column.size());
        CHECK(rows.size() == expected.size());
        CHECK((rows == expected));
    }
}

TEST_CASE_FIXTURE(IdentityFixture, "JSON Lines: a line longer than the JSON's row buffer is whole") {
    // A written file whose path and detail are mostly control characters: the row, its field
    // view and the listed matches make a line of more than 16384 characters, which the JSON Lines buffer of
    // 65536 takes whole (it was cut at 16383, without its end, when matches followed).
    Finished();
    EventRow row;
    std::memset(static_cast<void*>(&row), 0, sizeof row);
    row.time = SystemTime{2024, 3, 2, 5, 14, 7, 10, 5};
    row.category = kCategoryFile;
    row.pid = 4012;
    CopyBounded(row.operation, kOperationChars, u"Wrote to file");
    CopyBounded(row.process, kProcessChars, u"dropper.exe");
    std::u16string path = u"C:\\Users\\an\\q";
    path.append(kPathChars - 1 - path.size(), char16_t{1});
    CopyBounded(row.path, kPathChars, path.c_str());
    std::fill(row.detail, row.detail + kDetailChars - 1, char16_t{2});
    AppendRow(app, &row);
    LoadRules(RuleText, 30);
    {
        REQUIRE(ExportJsonLinesToPath(app, folder.Path16("long.jsonl").c_str()));
        const Bytes file = ReadAll(folder.Path("long.jsonl"));
        std::istringstream in(std::string(file.begin(), file.end()));
        std::string line;
        std::vector<nlohmann::json> lines;
        size_t eventBytes = 0;
        while (std::getline(in, line)) {
            if (lines.size() == 1) eventBytes = line.size();
            lines.push_back(nlohmann::json::parse(line, nullptr, false));
        }
        REQUIRE(lines.size() == 3);
        const nlohmann::json& event = lines[1];
        REQUIRE_FALSE(event.is_discarded());
        CHECK(eventBytes > 16384);
        CHECK(event["path"].get<std::string>().size() == kPathChars - 1);
        CHECK(event["fields"]["TargetFilename"] == event["path"]);
        CHECK(event["sigma"].size() == 24);
        CHECK(event["sigmaNotListed"] == 6);
    }
}

TEST_CASE("JSON strings: the block writer's form is the bounded form converted") {
    TestRandom r{77};
    for (int n = 0; n < 2000; ++n) {
        CAPTURE(n);
        char16_t text[40] = {};
        const size_t length = r.Below(40);
        // Every third text is path-like: printable ASCII dense with backslashes and quotes, up to
        // eight of them in a row.
        static const char16_t kPathPalette[] = u"ab.:\\\\\"";
        for (size_t i = 0; i < length; ++i) {
            if (n % 3 == 2) {
                text[i] = kPathPalette[r.Below(sizeof kPathPalette / sizeof kPathPalette[0] - 1)];
            } else {
                text[i] = r.Below(3) == 0 ? kPalette[r.Below(sizeof kPalette / sizeof kPalette[0])]
                                          : static_cast<char16_t>(u'a' + r.Below(26));
            }
            if (text[i] == 0) text[i] = u'a';
        }
        if (n % 50 == 2) std::fill(text, text + length, u'\\');
        char16_t bounded[512] = {};
        AppendJsonStringN(bounded, 512, text, length);
        char expected[1024];
        const size_t bytes = Utf16ToUtf8(bounded, TextLength(bounded), expected, sizeof expected);
        uint8_t out[JsonUtf8MaxBytes(40) + 8];
        const uint8_t* end = PutJsonUtf8(out, text, length);
        CHECK(std::string(reinterpret_cast<const char*>(out), static_cast<size_t>(end - out)) ==
              std::string(expected, bytes));
    }
}

// A field's last characters are taken eight at a time when the field goes on past them: the same
// bytes as the text alone, whatever follows the length (plain letters that must not be written,
// escapes, a terminator), and nothing stored past the room reserved for the text.
TEST_CASE("JSON strings: a field's last characters read eight at a time write the same bytes") {
    TestRandom r{78};
    constexpr size_t kField = 48;
    for (int n = 0; n < 3000; ++n) {
        CAPTURE(n);
        char16_t field[kField];
        // Plain letters, letters among every kind of character, or a path's printable ASCII
        // dense with backslashes and quotes.
        const uint32_t kind = r.Below(3);
        static const char16_t kPathPalette[] = u"ab.:\\\\\"";
        for (char16_t& c : field) {
            if (kind == 2) {
                c = kPathPalette[r.Below(sizeof kPathPalette / sizeof kPathPalette[0] - 1)];
            } else {
                c = kind == 0 || r.Below(4) != 0
                        ? static_cast<char16_t>(u'a' + r.Below(26))
                        : kPalette[r.Below(sizeof kPalette / sizeof kPalette[0])];
            }
        }
        const size_t length = r.Below(kField + 1);
        CAPTURE(length);
        if (length < kField && r.Below(2) == 0) field[length] = 0;
        for (size_t i = 0; i < length; ++i) // the text itself holds no terminator
            if (field[i] == 0) field[i] = u'a';
        uint8_t plain[JsonUtf8MaxBytes(kField)];
        const uint8_t* plainEnd = PutJsonUtf8(plain, field, length);
        constexpr uint8_t kGuard = 0xA5;
        uint8_t out[JsonUtf8MaxBytes(kField) + 16];
        std::memset(out, kGuard, sizeof out);
        const uint8_t* end = PutJsonUtf8Field(out, field, length, kField);
        CHECK(std::string(reinterpret_cast<const char*>(out), static_cast<size_t>(end - out)) ==
              std::string(reinterpret_cast<const char*>(plain),
                          static_cast<size_t>(plainEnd - plain)));
        bool guardKept = true;
        for (size_t i = JsonUtf8MaxBytes(length); i < sizeof out; ++i)
            guardKept = guardKept && out[i] == kGuard;
        CHECK(guardKept);
    }
}

// Numbers and time members are written two digits a division: every digit count, the padding the
// time members ask for, and both character widths.
TEST_CASE("Line digits: the decimal text of every digit count, padded") {
    const uint32_t values[] = {0,      1,       9,        10,        11,        99,         100,
                               101,    999,     1000,     1009,      9999,      10000,      65535,
                               99999,  100000,  4012,     1234567,   99999999,  100000000,  999999999,
                               1000000000u, 4294967295u};
    for (uint32_t value : values) {
        for (int minDigits = 1; minDigits <= 5; ++minDigits) {
            CAPTURE(value);
            CAPTURE(minDigits);
            std::string expected = std::to_string(value);
            if (expected.size() < static_cast<size_t>(minDigits))
                expected.insert(0, static_cast<size_t>(minDigits) - expected.size(), '0');
            uint8_t bytes[16];
            const uint8_t* end = PutDecimal(bytes, value, minDigits);
            CHECK(std::string(reinterpret_cast<const char*>(bytes), static_cast<size_t>(end - bytes)) ==
                  expected);
            char16_t chars[16];
            const char16_t* charsEnd = PutDecimal(chars, value, minDigits);
            CHECK(std::u16string(chars, static_cast<size_t>(charsEnd - chars)) ==
                  std::u16string(expected.begin(), expected.end()));
        }
    }
}

} // namespace olv
