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

TEST_CASE("FormatText: every conversion the program's texts use") {
    const char16_t* name = u"tool.exe";
    CHECK(Fmt(u"%d", -42) == "-42");
    CHECK(Fmt(u"%d", INT32_MIN) == "-2147483648");
    CHECK(Fmt(u"%i", 7) == "7");
    CHECK(Fmt(u"%ld", -5L) == "-5");
    CHECK(Fmt(u"%u", 4294967295u) == "4294967295");
    CHECK(Fmt(u"%lu", 1234567890ul) == "1234567890");
    CHECK(Fmt(u"%lu", uint16_t{65535}) == "65535");
    CHECK(Fmt(u"%s", name) == "tool.exe");
    CHECK(Fmt(u"%.4s|", name) == "tool|");
    CHECK(Fmt(u"%.20s|", name) == "tool.exe|");
    CHECK(Fmt(u"%05d", 42) == "00042");
    CHECK(Fmt(u"%05d", -42) == "-0042");
    CHECK(Fmt(u"%02d:%02d:%02d.%03d", 9, 5, 0, 7) == "09:05:00.007");
    CHECK(Fmt(u"%6lu|", 42u) == "    42|");
    CHECK(Fmt(u"%2lu|", 123456u) == "123456|");
    CHECK(Fmt(u"%-4d|", 7) == "7   |");
    CHECK(Fmt(u"%08X", 0xC0000022u) == "C0000022");
    CHECK(Fmt(u"%08X", 0x1Au) == "0000001A");
    CHECK(Fmt(u"%04x", 0xABu) == "00ab");
    CHECK(Fmt(u"%x", 0xDEADBEEFu) == "deadbeef");
    CHECK(Fmt(u"%c%c", 'o', u'k') == "ok");
    CHECK(Fmt(u"100%%") == "100%");
    CHECK(Fmt(u"%lu (%s)", 5u, u"five") == "5 (five)");
    CHECK(Fmt(u"%s", static_cast<const char16_t*>(nullptr)) == "(null)");
}

TEST_CASE("FormatText: a wrong or missing argument prints nothing for its conversion") {
    CHECK(Fmt(u"[%s]", 42) == "[]");
    CHECK(Fmt(u"[%d]", u"text") == "[]");
    CHECK(Fmt(u"[%08X]", u"text") == "[]");
    CHECK(Fmt(u"[%c]", u"text") == "[]");
    CHECK(Fmt(u"[%d][%s]", u"a", u"b") == "[][b]"); // the argument is still used up
    CHECK(Fmt(u"[%d][%d]", 1) == "[1][]");
    CHECK(Fmt(u"[%q]", 1) == "[%q]"); // unknown conversions are copied
    CHECK(Fmt(u"end%") == "end%");
}

TEST_CASE("FormatText: cut at capacity - 1, terminated, returns what it wrote") {
    char16_t buf[6];
    CHECK(FormatText(buf, 6, u"%s", u"abcdefgh") == 5);
    CHECK(U8(buf) == "abcde");
    CHECK(FormatText(buf, 6, u"%05d|%d", 12, 34) == 5);
    CHECK(U8(buf) == "00012");
    CHECK(FormatText(buf, 1, u"abc") == 0);
    CHECK(buf[0] == 0);
    buf[0] = u'x';
    CHECK(FormatText(buf, 0, u"abc") == 0);
    CHECK(buf[0] == u'x');
    CHECK(FormatText(buf, 6, nullptr) == 0);
    CHECK(buf[0] == 0);
}

TEST_CASE("AppendFormat appends within the same capacity") {
    char16_t buf[10] = u"pid ";
    CHECK(AppendFormat(buf, 10, u"%lu", 1234u) == 4);
    CHECK(U8(buf) == "pid 1234");
    CHECK(AppendFormat(buf, 10, u"%s", u"xyz") == 1);
    CHECK(U8(buf) == "pid 1234x");
    CHECK(AppendFormat(buf, 10, u"more") == 0);
    CHECK(U8(buf) == "pid 1234x");
}
