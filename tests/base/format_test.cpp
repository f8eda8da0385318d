#include "doctest.h"

#include <climits>
#include <string>

#include "base/format.h"
#include "support/text_check.h"

using namespace olv;

namespace {

template <typename... Args> std::string Fmt(const char16_t* format, Args... args) {
    char16_t buf[128];
    FormatText(buf, 128, format, args...);
    return U8(buf);
}

} // namespace

TEST_CASE("FormatText: the conversions the program's texts use; a wrong argument prints nothing") {
    struct Case {
        std::string got;
        const char* expected;
    } cases[] = {
        {Fmt(u"%d|%i|%ld", INT32_MIN, 7, -5L), "-2147483648|7|-5"},
        {Fmt(u"%u|%lu", 4294967295u, uint16_t{65535}), "4294967295|65535"},
        {Fmt(u"%s|%.4s|%.20s|%s", u"tool.exe", u"tool.exe", u"ab", nullptr),
         "tool.exe|tool|ab|(null)"},
        {Fmt(u"%05d|%05d|%6lu|%2lu|%-4d|", 42, -42, 42u, 123456u, 7),
         "00042|-0042|    42|123456|7   |"},
        {Fmt(u"%08X|%04x|%x", 0x1Au, 0xABu, 0xDEADBEEFu), "0000001A|00ab|deadbeef"},
        {Fmt(u"%c%c|100%%", 'o', u'k'), "ok|100%"},
        {Fmt(u"[%s][%d][%c]", 42, u"text", u"text"), "[][][]"}, // wrong kind: nothing
        {Fmt(u"[%d][%s]", u"a", u"b"), "[][b]"},                // the argument is still used up
        {Fmt(u"[%d][%d]", 1), "[1][]"},
        {Fmt(u"[%q]end%", 1), "[%q]end%"}, // unknown conversions are copied
    };
    for (const Case& c : cases)
        CHECK(c.got == c.expected);
}

TEST_CASE("FormatText and AppendFormat: cut at capacity - 1, terminated, return what they wrote") {
    char16_t buf[6];
    CHECK(FormatText(buf, 6, u"%05d|%d", 12, 34) == 5);
    CHECK(U8(buf) == "00012");
    CHECK(FormatText(buf, 1, u"abc") == 0);
    CHECK(buf[0] == 0);
    buf[0] = u'x';
    CHECK(FormatText(buf, 0, u"abc") == 0);
    CHECK(buf[0] == u'x');

    char16_t text[10] = u"pid ";
    CHECK(AppendFormat(text, 10, u"%lu", 1234u) == 4);
    CHECK(AppendFormat(text, 10, u"%s", u"xyz") == 1);
    CHECK(AppendFormat(text, 10, u"more") == 0);
    CHECK(U8(text) == "pid 1234x");
}
