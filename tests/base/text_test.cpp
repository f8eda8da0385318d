#include "doctest.h"

#include <cstring>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#endif

#include "base/text.h"
#include "support/test_random.h"
#include "support/text_check.h"

using namespace olv;

TEST_CASE("AppendBounded and CopyBounded keep at most capacity - 1 characters, terminated") {
    struct Case {
        const char16_t *start, *src;
        size_t capacity;
        const char* expected;
    } cases[] = {
        {u"ab", u"cd", 8, "abcd"}, {u"ab", u"cdefgh", 5, "abcd"}, {u"abcd", u"x", 5, "abcd"},
        {u"", u"abc", 1, ""},      {u"ab", nullptr, 8, "ab"},     {u"abc", u"d", 4, "abc"},
    };
    for (const Case& c : cases) {
        char16_t buf[16];
        std::memcpy(buf, c.start, (TextLength(c.start) + 1) * sizeof(char16_t));
        AppendBounded(buf, c.capacity, c.src);
        CHECK(U8(buf) == c.expected);
    }
    char16_t buf[4] = {u'x', u'y', u'z', u'w'};
    AppendBounded(buf, 0, u"abc"); // capacity 0 writes nothing at all
    CHECK(buf[0] == u'x');
    AppendBoundedN(buf, 4, u"e\0fg", 3); // an unterminated buffer is cut, then terminated
    CHECK(U8(buf) == "xyz");
    CopyBounded(buf, 4, u"abcdef");
    CHECK(U8(buf) == "abc");
    CopyBounded(buf, 4, nullptr);
    CHECK(U8(buf) == "");
    CopyAscii(buf, 4, "hello");
    CHECK(U8(buf) == "hel");
}

TEST_CASE("AppendBoundedN writes exactly what a character-by-character append writes") {
    // The plain append, one character at a time, as the reference.
    auto reference = [](char16_t* buf, size_t capacity, const char16_t* src, size_t count) {
        if (capacity == 0) return;
        size_t used = 0;
        while (used < capacity - 1 && buf[used] != 0)
            ++used;
        for (size_t i = 0; src != nullptr && i < count && src[i] != 0 && used < capacity - 1; ++i)
            buf[used++] = src[i];
        buf[used] = 0;
    };
    TestRandom random{12345};
    auto next = [&](uint32_t n) { return random.Below(n); };
    for (int round = 0; round < 5000; ++round) {
        char16_t source[48];
        for (char16_t& c : source)
            c = static_cast<char16_t>(u'a' + next(26));
        const char16_t* src = source + next(8); // every alignment of the text
        source[8 + next(40)] = 0; // sometimes at the start, sometimes never reached before count
        char16_t expected[48];
        char16_t actual[48];
        for (char16_t& c : expected)
            c = static_cast<char16_t>(u'A' + next(26));    // what lies behind is compared too
        const size_t start = next(6) == 0 ? 48 : next(30); // 48: a buffer without terminator
        if (start < 48) expected[start] = 0;
        std::memcpy(actual, expected, sizeof expected);
        const size_t capacity = next(48);
        const size_t count = next(4) == 0 ? SIZE_MAX : next(45);
        const char16_t* from = next(10) == 0 ? nullptr : src;
        reference(expected, capacity, from, count);
        AppendBoundedN(actual, capacity, from, count);
        REQUIRE(std::memcmp(actual, expected, sizeof expected) == 0);
    }
}

TEST_CASE("appending a text that ends at the last character of a readable page reads no further") {
    // Two pages; the second is made unreadable, so a read past the terminator would fault.
    constexpr size_t kPage = 4096;
#if defined(_WIN32)
    auto* pages = static_cast<char*>(
        VirtualAlloc(nullptr, 2 * kPage, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    REQUIRE(pages != nullptr);
    DWORD old = 0;
    REQUIRE(VirtualProtect(pages + kPage, kPage, PAGE_NOACCESS, &old));
#else
    auto* pages = static_cast<char*>(
        mmap(nullptr, 2 * kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    REQUIRE(pages != MAP_FAILED);
    REQUIRE(mprotect(pages + kPage, kPage, PROT_NONE) == 0);
#endif
    auto* last = reinterpret_cast<char16_t*>(pages + kPage) - 1; // the page's last character
    *last = 0;
    for (size_t length = 0; length < 40; ++length) {
        char16_t* text = last - length;
        for (size_t i = 0; i < length; ++i)
            text[i] = static_cast<char16_t>(u'a' + i % 26);
        char16_t buf[64] = u"[";
        const size_t total = AppendBoundedN(buf, 64, text, SIZE_MAX);
        CHECK(total == 1 + length);
        CHECK(buf[total] == 0);
        CHECK(std::memcmp(buf + 1, text, length * sizeof(char16_t)) == 0);
    }
#if defined(_WIN32)
    VirtualFree(pages, 0, MEM_RELEASE);
#else
    munmap(pages, 2 * kPage);
#endif
}

TEST_CASE("comparisons: exact, and folding only A to Z") {
    CHECK(TextEquals(nullptr, u""));
    CHECK_FALSE(TextEquals(u"Open", u"open"));
    CHECK_FALSE(TextEquals(u"Open", u"Opened"));
    CHECK_FALSE(TextStartsWith(u"Op", u"Opened"));
    CHECK_FALSE(TextEndsWith(u"exe", u".exe"));
    CHECK(EqualsFolded(u"HKLM\\Software", u"hklm\\SOFTWARE"));
    CHECK_FALSE(EqualsFolded(u"\u00C9", u"\u00E9")); // only ASCII letters fold
    CHECK_FALSE(EqualsFolded(u"ab", u"abc"));
    CHECK(ContainsFolded(u"C:\\Users\\Public\\RUN.BAT", u"run.bat"));
    CHECK_FALSE(ContainsFolded(u"\u00C9T\u00C9", u"\u00E9t\u00E9"));
    CHECK_FALSE(ContainsFolded(u"ab", u"abc"));
    CHECK(ContainsFoldedLower(u"...\\AppData\\Roaming\\x", u"appdata\\roaming"));
    CHECK_FALSE(ContainsFoldedLower(u"appdat", u"appdata"));
    CHECK(FindText(u"a-b-c", u"-", 2) == 3);
    CHECK(FindText(u"abc", u"", 4) == -1);
    CHECK(U8(PathFileName(u"C:\\dir/tool.exe")) == "tool.exe");
    CHECK(U8(PathFileName(u"C:\\dir\\")) == "");
}

TEST_CASE("Utf16ToUtf8 converts as Windows does and never splits a sequence") {
    struct Case {
        std::u16string src;
        const char* expected;
    } cases[] = {
        {u"a\u00E9\u20AC", "a\xC3\xA9\xE2\x82\xAC"},
        {u"\U0001F600", "\xF0\x9F\x98\x80"},                   // surrogate pair
        {std::u16string(1, char16_t(0xD83D)), "\xEF\xBF\xBD"}, // high surrogate at the end
        {std::u16string{char16_t(0xD83D), u'x'}, "\xEF\xBF\xBD"
                                                 "x"}, // high, no low after
        {std::u16string{char16_t(0xDE00), char16_t(0xD83D)}, "\xEF\xBF\xBD\xEF\xBF\xBD"},
    };
    for (const Case& c : cases) {
        char out[32];
        CHECK(Utf16ToUtf8(c.src.data(), c.src.size(), out, sizeof out) == std::strlen(c.expected));
        CHECK(std::string(out) == c.expected);
        CHECK(Utf16ToUtf8(c.src.data(), c.src.size(), nullptr, 0) == std::strlen(c.expected));
    }
    const char16_t text[] = u"a\u00E9\u20AC\U0001F600";          // 1 + 2 + 3 + 4 bytes
    const size_t fits[] = {0, 0, 1, 1, 3, 3, 3, 6, 6, 6, 6, 10}; // bytes written by capacity
    for (size_t capacity = 1; capacity < std::size(fits); ++capacity) {
        char out[16];
        std::memset(out, 'X', sizeof out);
        CHECK(Utf16ToUtf8(text, TextLength(text), out, capacity) == 10);
        CHECK(std::strlen(out) == fits[capacity]);
    }
    char out[3];
    CHECK(Utf16ToUtf8(u"\u20ACa", 2, out, sizeof out) == 4); // nothing after what did not fit
    CHECK(out[0] == 0);
}

TEST_CASE("Cp1252ToUtf16 maps the 0x80 row and refuses a text that does not fit") {
    char16_t out[8];
    CHECK(Cp1252ToUtf16("\x80\x81\x9F\xA9\xFF", out, 8));
    const char16_t expected[] = {0x20AC, 0x0081, 0x0178, 0x00A9, 0x00FF, 0};
    CHECK(std::memcmp(out, expected, sizeof expected) == 0);
    CHECK(Cp1252ToUtf16("1234567", out, 8)); // exactly fits with its terminator
    CHECK_FALSE(Cp1252ToUtf16("12345678", out, 8));
    CHECK(out[0] == 0);
}

TEST_CASE("JoinPath puts one separator between a folder and a name") {
    char16_t out[256];
    JoinPath(u"C:\\out\\", u"f.json", u'\\', out, 256);
    CHECK(U8(out) == "C:\\out\\f.json");
    JoinPath(u"out", u"f.json", u'/', out, 256);
    CHECK(U8(out) == "out/f.json");
    JoinPath(u"", u"f.json", u'/', out, 256);
    CHECK(U8(out) == "f.json");
}
