#include "doctest.h"

#include <cstring>
#include <string>

#include "base/text.h"
#include "support/text_check.h"

using namespace olv;

TEST_CASE("AppendBounded keeps at most capacity - 1 characters and always terminates") {
    struct Case {
        const char16_t* start;
        const char16_t* src;
        size_t capacity;
        const char* expected;
    };
    const Case cases[] = {
        {u"", u"abc", 8, "abc"},    {u"ab", u"cd", 8, "abcd"}, {u"ab", u"cdefgh", 5, "abcd"},
        {u"abcd", u"x", 5, "abcd"}, {u"", u"abc", 1, ""},      {u"ab", nullptr, 8, "ab"},
        {u"", u"", 8, ""},          {u"abc", u"d", 4, "abc"},
    };
    for (const Case& c : cases) {
        char16_t buf[16];
        std::memcpy(buf, c.start, (TextLength(c.start) + 1) * sizeof(char16_t));
        AppendBounded(buf, c.capacity, c.src);
        CHECK(U8(buf) == c.expected);
        CHECK(buf[c.capacity - 1] == 0);
    }

    char16_t guard[4] = {u'x', u'y', u'z', u'w'};
    AppendBounded(guard, 0, u"abc"); // capacity 0 writes nothing at all
    CHECK(guard[0] == u'x');

    char16_t buf[8] = u"ab";
    AppendBoundedN(buf, 8, u"cdef", 2);
    CHECK(U8(buf) == "abcd");
    AppendBoundedN(buf, 8, u"e\0fg", 3); // stops at the source's terminator
    CHECK(U8(buf) == "abcde");
}

TEST_CASE("CopyBounded and CopyAscii replace the text, cut and terminated") {
    char16_t buf[4] = {u'x', u'x', u'x', u'x'};
    CopyBounded(buf, 4, u"abcdef");
    CHECK(U8(buf) == "abc");
    CopyBounded(buf, 4, nullptr);
    CHECK(U8(buf) == "");
    CopyAscii(buf, 4, "hello");
    CHECK(U8(buf) == "hel");
    CopyAscii(buf, 4, nullptr);
    CHECK(U8(buf) == "");
}

TEST_CASE("comparisons: exact, and folding only A to Z") {
    CHECK(TextEquals(nullptr, u""));
    CHECK_FALSE(TextEquals(u"Open", u"open"));
    CHECK_FALSE(TextEquals(u"Open", u"Opened"));
    CHECK(TextStartsWith(u"Opened file", u"Opened"));
    CHECK_FALSE(TextStartsWith(u"Op", u"Opened"));
    CHECK(TextEndsWith(u"C:\\a.exe", u".exe"));
    CHECK_FALSE(TextEndsWith(u"exe", u".exe"));

    CHECK(EqualsFolded(u"HKLM\\Software", u"hklm\\SOFTWARE"));
    CHECK_FALSE(EqualsFolded(u"\u00C9", u"\u00E9")); // only ASCII letters fold
    CHECK_FALSE(EqualsFolded(u"ab", u"abc"));
    CHECK(ContainsFolded(u"C:\\Users\\Public\\RUN.BAT", u"run.bat"));
    CHECK(ContainsFolded(u"anything", u""));
    CHECK_FALSE(ContainsFolded(u"\u00C9T\u00C9", u"\u00E9t\u00E9"));
    CHECK_FALSE(ContainsFolded(u"ab", u"abc"));
    CHECK(ContainsFoldedLower(u"...\\AppData\\Roaming\\x", u"appdata\\roaming"));
    CHECK_FALSE(ContainsFoldedLower(u"appdat", u"appdata"));

    CHECK(FindText(u"a-b-c", u"-", 2) == 3);
    CHECK(FindText(u"a-b-c", u"x") == -1);
    CHECK(FindText(u"abc", u"", 4) == -1);
    CHECK(U8(PathFileName(u"C:\\dir\\tool.exe")) == "tool.exe");
    CHECK(U8(PathFileName(u"/x/y")) == "y");
    CHECK(U8(PathFileName(u"C:\\dir\\")) == "");
}

TEST_CASE("Utf16ToUtf8 converts as Windows does") {
    struct Case {
        std::u16string src;
        const char* expected;
    };
    const Case cases[] = {
        {u"abc", "abc"},
        {u"\u00E9", "\xC3\xA9"},
        {u"\u20AC", "\xE2\x82\xAC"},
        {u"\U0001F600", "\xF0\x9F\x98\x80"},                   // surrogate pair
        {std::u16string(1, char16_t(0xD83D)), "\xEF\xBF\xBD"}, // high surrogate at the end
        {std::u16string(1, char16_t(0xDE00)) + u"a", "\xEF\xBF\xBD"
                                                     "a"}, // lone low surrogate
        {std::u16string{char16_t(0xD83D), u'x'}, "\xEF\xBF\xBD"
                                                 "x"}, // high, no low after
        {std::u16string{char16_t(0xDE00), char16_t(0xD83D)}, "\xEF\xBF\xBD\xEF\xBF\xBD"},
    };
    for (const Case& c : cases) {
        char out[32];
        size_t needed = Utf16ToUtf8(c.src.data(), c.src.size(), out, sizeof out);
        CHECK(std::string(out) == c.expected);
        CHECK(needed == std::strlen(c.expected));
        CHECK(Utf16ToUtf8(c.src.data(), c.src.size(), nullptr, 0) == needed);
    }
}

TEST_CASE("Utf16ToUtf8 never splits a sequence and reports the full length") {
    const char16_t text[] = u"a\u00E9\u20AC\U0001F600"; // 1 + 2 + 3 + 4 bytes
    const size_t length = TextLength(text);
    const size_t fits[] = {0, 0, 1, 1, 3, 3, 3, 6, 6, 6, 6, 10}; // bytes written by capacity
    for (size_t capacity = 1; capacity < sizeof fits / sizeof fits[0]; ++capacity) {
        char out[16];
        std::memset(out, 'X', sizeof out);
        CHECK(Utf16ToUtf8(text, length, out, capacity) == 10);
        CHECK(std::strlen(out) == fits[capacity]);
    }
    char untouched = 'X';
    CHECK(Utf16ToUtf8(text, length, &untouched, 0) == 10);
    CHECK(untouched == 'X');
    CHECK(Utf16ToUtf8(nullptr, 5, nullptr, 0) == 0);
}

TEST_CASE("Cp1252ToUtf16 maps the 0x80 row and refuses a text that does not fit") {
    char16_t out[8];
    CHECK(Cp1252ToUtf16("\x80\x81\x9F\xA9\xFF", out, 8));
    const char16_t expected[] = {0x20AC, 0x0081, 0x0178, 0x00A9, 0x00FF, 0};
    CHECK(std::memcmp(out, expected, sizeof expected) == 0);

    CHECK(Cp1252ToUtf16("1234567", out, 8)); // exactly fits with its terminator
    CHECK(U8(out) == "1234567");
    CHECK_FALSE(Cp1252ToUtf16("12345678", out, 8));
    CHECK(out[0] == 0);
    CHECK(Cp1252ToUtf16(nullptr, out, 8));
    CHECK(out[0] == 0);
    CHECK_FALSE(Cp1252ToUtf16("a", out, 0));
}
