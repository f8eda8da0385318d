#include "doctest.h"

#include <string>

#include "base/reveal_text.h"
#include "base/text.h"
#include "support/text_check.h"

using namespace olv;

namespace {

std::u16string Revealed(const std::u16string& text, size_t capacity = 256) {
    std::u16string buf(capacity, u'\0');
    CopyRevealed(buf.data(), capacity, text.c_str());
    return buf.c_str();
}

std::u16string OneLine(const std::u16string& text) {
    char16_t buf[256] = u"> ";
    AppendRevealedOneLine(buf, 256, text.c_str());
    return buf;
}

} // namespace

TEST_CASE("every bidirectional control is shown as a mark, the rest of the text as it is") {
    const struct {
        char16_t c;
        const char16_t* mark;
    } controls[] = {
        {0x061C, u"[U+061C]"}, {0x200E, u"[U+200E]"}, {0x200F, u"[U+200F]"},
        {0x202A, u"[U+202A]"}, {0x202B, u"[U+202B]"}, {0x202C, u"[U+202C]"},
        {0x202D, u"[U+202D]"}, {0x202E, u"[U+202E]"}, {0x2066, u"[U+2066]"},
        {0x2067, u"[U+2067]"}, {0x2068, u"[U+2068]"}, {0x2069, u"[U+2069]"},
    };
    for (const auto& c : controls) {
        CAPTURE(static_cast<unsigned>(c.c));
        CHECK(IsHiddenFormatChar(c.c));
        const std::u16string name = std::u16string(u"Invoice") + c.c + u"fdp.exe";
        CHECK(Revealed(name) == std::u16string(u"Invoice") + c.mark + u"fdp.exe");
    }
    // All of them in one text, twice each, between the pieces.
    std::u16string all;
    std::u16string expected;
    for (const auto& c : controls) {
        all += c.c;
        all += u"x";
        all += c.c;
        expected += c.mark;
        expected += u"x";
        expected += c.mark;
    }
    CHECK(Revealed(all, 1024) == expected);
}

TEST_CASE("other invisible characters are marked; visible text, line breaks and pairs are kept") {
    const struct {
        std::u16string text;
        std::u16string shown;
    } cases[] = {
        // zero-width space, joiners, word joiner, byte order mark, soft hyphen
        {u"a\u200Bb\u200Cc\u200Dd\u2060e\uFEFFf\u00ADg",
         u"a[U+200B]b[U+200C]c[U+200D]d[U+2060]e[U+FEFF]f[U+00AD]g"},
        // line and paragraph separators, interlinear annotation, Hangul filler, variation selector
        {u"a\u2028b\u2029c\uFFF9d\u3164e\uFE0Ff",
         u"a[U+2028]b[U+2029]c[U+FFF9]d[U+3164]e[U+FE0F]f"},
        // tag characters come as surrogate pairs and are marked as one character
        {u"evil\U000E0041\U000E007F.exe", u"evil[U+E0041][U+E007F].exe"},
        // CR, LF, tab and other control characters stay in the views
        {u"key\r\nforged\tline", u"key\r\nforged\tline"},
        // right-to-left letters, accents, CJK, an emoji pair and an unpaired surrogate are text
        {u"\u05D0\u05D1 \u0627 caf\u00E9 \u6F22 \U0001F600 \xD800x",
         u"\u05D0\u05D1 \u0627 caf\u00E9 \u6F22 \U0001F600 \xD800x"},
        {u"", u""},
    };
    for (const auto& c : cases) {
        CAPTURE(U8(c.text.c_str()));
        CHECK(Revealed(c.text) == c.shown);
    }
    for (uint32_t c : {0x20u, 0x41u, 0xA0u, 0xACu, 0xAEu, 0x2010u, 0x202Fu, 0x2065u + 0x0Bu,
                       0xFFFDu, 0x1F600u}) {
        CAPTURE(c);
        CHECK_FALSE(IsHiddenFormatChar(c));
    }
}

TEST_CASE("a revealed text is bounded and never ends in a piece of a mark or a pair") {
    // "ab" fits, the mark of U+202E (8 characters) does not: the text ends before it.
    CHECK(Revealed(u"ab\u202Ecd", 10) == u"ab");
    CHECK(Revealed(u"ab\u202Ecd", 11) == u"ab[U+202E]");
    CHECK(Revealed(u"ab\u202Ecd", 12) == u"ab[U+202E]c");
    CHECK(Revealed(u"ab\U0001F600", 4) == u"ab");
    CHECK(Revealed(u"ab\U0001F600", 5) == u"ab\U0001F600");
    CHECK(Revealed(u"abc", 1).empty());

    // Appending counts what is there; srcChars limits the source; a null source adds nothing.
    char16_t buf[32] = u"12";
    CHECK(AppendRevealed(buf, 32, u"\u202Exyz", 2) == 11);
    CHECK(U8(buf) == "12[U+202E]x");
    CHECK(AppendRevealed(buf, 32, nullptr) == 11);
    CHECK(AppendRevealed(nullptr, 32, u"x") == 0);

    // The worst case grows by kRevealGrowth: 63 marks in 63 * 8 + 1 characters.
    const std::u16string flood(63, u'\u202E');
    CHECK(Revealed(flood, 63 * kRevealGrowth + 1).size() == 63 * kRevealGrowth);
}

TEST_CASE("a one-line text writes its control characters as blanks and reveals the rest") {
    CHECK(OneLine(u"C:\\a\r\n[Most touched files]\r\n    500  C:\\forged") ==
          u"> C:\\a  [Most touched files]      500  C:\\forged");
    CHECK(OneLine(u"a\tb\x7F" u"c\x85" u"d\x1B" u"e") == u"> a b c d e");
    CHECK(OneLine(u"run\u202Etxt.exe\n") == u"> run[U+202E]txt.exe ");
}
