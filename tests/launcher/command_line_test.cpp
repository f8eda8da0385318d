#include "launcher/command_line.h"
#include "doctest.h"

#include <string>
#include <vector>

#include "support/text_check.h"

using namespace olv;

namespace {

std::vector<std::u16string> Split(const char16_t* line) {
    std::vector<std::u16string> out;
    SplitArgumentText(
        line,
        [](void* context, const char16_t* text, size_t length) {
            static_cast<std::vector<std::u16string>*>(context)->emplace_back(text, length);
        },
        &out);
    return out;
}

} // namespace

TEST_CASE("an argument is quoted so that the program's start-up code splits it back") {
    struct Case {
        const char16_t* arg;
        const char* quoted;
    };
    const Case cases[] = {
        {u"plain", "plain"},
        {u"", "\"\""},
        {u"with space", "\"with space\""},
        {u"tab\there", "\"tab\there\""},
        {u"line\nfeed", "\"line\nfeed\""},
        {u"say \"hi\"", "\"say \\\"hi\\\"\""},
        {u"a\"b", "\"a\\\"b\""},
        {u"C:\\no space\\", "\"C:\\no space\\\\\""}, // a trailing backslash before the quote
        {u"C:\\folder\\", "C:\\folder\\"},           // needs no quotes: left alone
        {u"a\\\\\"b", "\"a\\\\\\\\\\\"b\""},         // two backslashes and a quote
        {u"\\\\server\\share x", "\"\\\\server\\share x\""}, // backslashes not before a quote
        {u"\u00fcn\u00ef c\u00f8de", "\"\u00fcn\u00ef c\u00f8de\""},
    };
    for (const Case& c : cases) {
        CAPTURE(U8(c.arg));
        char16_t quoted[256] = {};
        REQUIRE(AppendQuotedArgument(quoted, 256, c.arg));
        CHECK(U8(quoted) == c.quoted);
        const std::vector<std::u16string> back = Split(quoted);
        REQUIRE(back.size() == 1);
        CHECK(back[0] == std::u16string(c.arg));
    }
}

TEST_CASE("a whole argument list survives the round trip, and one that does not fit is refused") {
    const char16_t* args[] = {u"-x",      u"two words",   u"C:\\dir with space\\",
                              u"",        u"\"quoted\"",  u"back\\\\",
                              u"end\\\"", u"\u65e5\u672c"};
    const int count = static_cast<int>(sizeof args / sizeof args[0]);
    char16_t line[512];
    REQUIRE(BuildArgumentText(args, count, line, 512));
    const std::vector<std::u16string> back = Split(line);
    REQUIRE(back.size() == static_cast<size_t>(count));
    for (int i = 0; i < count; ++i)
        CHECK(back[static_cast<size_t>(i)] == std::u16string(args[i]));

    // One character short of the text and its terminator: refused, nothing half-written.
    const size_t needed = TextLength(line) + 1;
    char16_t small[512];
    small[0] = u'x';
    CHECK_FALSE(BuildArgumentText(args, count, small, needed - 1));
    CHECK(small[0] == 0);
    CHECK(BuildArgumentText(args, count, small, needed));
    CHECK(U8(small) == U8(line));
}

TEST_CASE("command lines split as the system's start-up code splits them") {
    struct Case {
        const char16_t* line;
        std::vector<std::u16string> args;
    };
    const Case cases[] = {
        {u"\"abc\" d e", {u"abc", u"d", u"e"}},
        {u"a\\\\\\b d\"e f\"g h", {u"a\\\\\\b", u"de fg", u"h"}},
        {u"a\\\\\\\"b c d", {u"a\\\"b", u"c", u"d"}},
        {u"a\\\\\\\\\"b c\" d e", {u"a\\\\b c", u"d", u"e"}},
        {u"a\"b\"\" c d", {u"ab\" c d"}},
        {u"  \t lead and trail \t ", {u"lead", u"and", u"trail"}},
        {u"\"\"", {u""}},
        {u"", {}},
    };
    for (const Case& c : cases) {
        CAPTURE(U8(c.line));
        CHECK(Split(c.line) == c.args);
    }
}
