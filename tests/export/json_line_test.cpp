// Event lines have a bound in characters (16384 in the JSON document, 65536 in JSON Lines): a
// line that might pass it is counted as it is written, its texts cut where a bounded text builder
// cuts them and the file refused when the line fills. These tests hold the counted writer to the
// bounded builder of the head's texts, and the exports to the bound at its last characters.
#include <nlohmann/json.hpp>

#include <sstream>
#include <string>

#include "base/text.h"
#include "export/export_fixture.h"
#include "app/file_commands.h"
#include "export/exports.h"
#include "export/json_text.h"
#include "support/test_random.h"

namespace olv {

namespace {

const char16_t kHostile[] = {u'a', u'Z', u' ', u'\\', u'"', u'\t', u'\n', 0x01, 0x1F, 0x7F, 0xE9,
                             0x7FF, 0x800, 0x4E2D, 0xFFFF, 0xD83D, 0xDE00, 0xDC00};

std::string Utf8Of(const char16_t* text, size_t length) {
    std::string bytes(3 * length + 1, '\0');
    bytes.resize(Utf16ToUtf8(text, length, bytes.data(), bytes.size()));
    return bytes;
}

} // namespace

TEST_CASE("Counted lines: strings and literals cut where the bounded text builder cuts them") {
    constexpr uint32_t kBound = 64;
    TestRandom r{91};
    int cut = 0, filled = 0;
    for (int n = 0; n < 4000; ++n) {
        CAPTURE(n);
        char16_t text[40] = {};
        const size_t length = r.Below(40);
        for (size_t i = 0; i < length; ++i) {
            // Pairs often, so that some are split by the cut.
            if (r.Below(4) == 0 && i + 1 < length) {
                text[i++] = 0xD83D;
                text[i] = 0xDE00;
            } else {
                text[i] = kHostile[r.Below(sizeof kHostile / sizeof kHostile[0])];
            }
        }
        const uint32_t used = kBound - 1 - r.Below(kBound);
        CAPTURE(used);
        // The builder: a buffer of kBound characters holding `used` of them.
        char16_t buffer[kBound];
        std::fill(buffer, buffer + used, u'x');
        buffer[used] = 0;
        const bool literal = n % 4 == 3;
        if (literal) {
            AppendBounded(buffer, kBound, u"],\"key\":");
        } else {
            AppendJsonStringN(buffer, kBound, text, length);
        }
        const size_t after = TextLength(buffer);
        uint8_t bytes[JsonLineMaxBytes(kBound)];
        JsonLine line{bytes, used, kBound};
        line = literal ? PutJsonLiteral(line, "],\"key\":") : PutJsonString(line, text, length, length);
        CHECK(JsonLineFull(line) == (after >= kBound - 1));
        if (after >= kBound - 1) {
            ++filled;
            continue; // a full line is refused: its bytes are never written
        }
        if (!literal && after < used + JsonTextMaxChars(length) && length > 0) ++cut;
        CHECK(line.used == after);
        CHECK(std::string(reinterpret_cast<const char*>(bytes), static_cast<size_t>(line.at - bytes)) ==
              Utf8Of(buffer + used, after - used));
    }
    CHECK(cut > 100);
    CHECK(filled > 100);
}

namespace {

// Rules with titles of `gTitleChars` characters (escaped when gEscaped): the even ones match the
// row's written file, the odd ones are undecided on it (their filter tests the Image the row never
// learned), so a line lists 24 matches, 24 possible ones, and ends in "sigmaLevel":"high".
size_t gTitleChars = 0;
bool gEscaped = false;
std::string WideRule(int n) {
    std::string title = "W" + std::to_string(n + 10);
    for (size_t i = 3; i < gTitleChars; ++i)
        title += gEscaped ? "\\u0001" : "t";
    const std::string condition =
        n % 2 == 0 ? "    condition: selection\n"
                   : "    filter:\n        Image|endswith: '\\explorer.exe'\n"
                     "    condition: selection and not filter\n";
    return "title: \"" + title + "\"\nid: 66666666-0000-0000-0000-" + std::to_string(100000000000 + n) +
           "\nlevel: high\nlogsource: {product: windows, category: file_event}\ndetection:\n"
           "    selection:\n        TargetFilename|contains: '\\q'\n" + condition;
}

struct BoundFixture : ExportFixture {
    TempFolder folder;
    // One written file whose path has `pad` more characters and whose result has `extra`.
    void SetRow(size_t pad, size_t extra) {
        ClearRows(app);
        EventRow row;
        std::memset(static_cast<void*>(&row), 0, sizeof row);
        row.time = SystemTime{2024, 3, 2, 5, 14, 7, 10, 5};
        row.category = kCategoryFile;
        row.pid = 4012;
        CopyBounded(row.operation, kOperationChars, u"Wrote to file");
        CopyBounded(row.process, kProcessChars, u"dropper.exe");
        std::u16string path = u"C:\\q\\";
        path.append(pad, u'p');
        CopyBounded(row.path, kPathChars, path.c_str());
        std::fill(row.result, row.result + extra, u'r');
        AppendRow(app, &row);
    }
    // The event line (without its end of line), or "" when the file was refused.
    std::string EventLine(bool lines) {
        const std::string name = lines ? "bound.jsonl" : "bound.json";
        std::filesystem::remove(folder.Path(name));
        const bool written = lines ? ExportJsonLinesToPath(app, folder.Path16(name).c_str())
                                   : ExportJsonToPath(app, folder.Path16(name).c_str());
        CHECK(written == std::filesystem::exists(folder.Path(name)));
        if (!written) return "";
        const Bytes file = ReadAll(folder.Path(name));
        std::istringstream in(std::string(file.begin(), file.end()));
        std::string line;
        while (std::getline(in, line)) {
            if (line.find("\"sigmaLevel\"") != std::string::npos) return line;
        }
        FAIL("no event line");
        return "";
    }
};

} // namespace

// Every character of these lines is ASCII, one byte each. The line ends in
// ,"sigmaLevel":"high"} and its end of line; a string takes no character once the line holds
// bound - 8, and a line that fills bound - 1 is refused. So, with P the characters before the
// level's opening quote: the level is whole up to P = bound - 13, cut to fewer letters from there,
// empty from P = bound - 9, and the file is refused from P = bound - 5 (the line, its closing brace and
// end of line, would fill bound - 1).
TEST_CASE_FIXTURE(BoundFixture, "Event lines at their bound: whole, then the last text cut, then refused") {
    Finished();
    struct Format {
        bool lines;
        size_t bound, titleChars;
        bool escaped;
        size_t perPad; // characters a path character adds (JSON Lines: the path and its field)
    };
    const Format kFormats[] = {{false, 16384, 250, false, 1}, {true, 65536, 210, true, 2}};
    for (const Format& f : kFormats) {
        CAPTURE(f.lines);
        gTitleChars = f.titleChars;
        gEscaped = f.escaped;
        LoadRules(WideRule, 48);
        SetRow(0, 0);
        const std::string first = EventLine(f.lines);
        REQUIRE(first.size() > 0);
        const std::string tail = "\"sigmaLevel\":\"high\"}";
        REQUIRE(first.substr(first.size() - tail.size()) == tail);
        // The line's characters with its end of line, before the level's quote.
        const size_t before = first.size() + 1 - 8;
        REQUIRE(before + 1000 * f.perPad > f.bound);
        const size_t startP = f.bound - 16;
        REQUIRE(before <= startP);
        for (size_t p = startP; p <= f.bound - 2; ++p) {
            CAPTURE(p);
            SetRow((p - before) / f.perPad, (p - before) % f.perPad);
            const std::string line = EventLine(f.lines);
            const size_t room = f.bound - 8 > p + 1 ? f.bound - 8 - (p + 1) : 0;
            const std::string level = std::string("high").substr(0, room);
            if (p + 1 + level.size() + 1 + 2 > f.bound - 2) {
                CHECK(line.empty());
                continue;
            }
            REQUIRE(line.size() == p + level.size() + 3);
            const std::string end = "\"sigmaLevel\":\"" + level + "\"}";
            CHECK(line.substr(line.size() - end.size()) == end);
            const nlohmann::json event =
                nlohmann::json::parse(f.lines ? line : line.substr(2), nullptr, false);
            CHECK_FALSE(event.is_discarded());
            CHECK(event["sigma"].size() == 24);
            CHECK(event["sigmaPossible"].size() == 24);
        }
    }
}

} // namespace olv
