// Texts that a recorded program chose (file, key and process names, command lines), made safe to
// show. A name can carry characters that a display draws as nothing or uses to reorder the text
// around them: "Invoice<U+202E>fdp.exe" reads as "Invoice" + "exe.pdf". Every window that shows
// such a text writes it through AppendRevealed, which spells each of those characters as a
// visible mark ("[U+202E]") and leaves every other character as it is. Files keep the exact text.
#pragma once

#include <cstddef>
#include <cstdint>

namespace olv {

// The longest mark: "[U+10FFFF]".
constexpr size_t kRevealMarkChars = 10;
// A text of n characters can need up to n * kRevealGrowth characters once revealed (a mark of
// eight characters for every one character of the text).
constexpr size_t kRevealGrowth = 8;

// True for a character a display draws as nothing or uses to reorder the text around it: the
// bidirectional controls (U+061C, U+200E, U+200F, U+202A to U+202E, U+2066 to U+2069), every
// other format character, the invisible fillers, joiners and variation selectors, and the line
// and paragraph separators U+2028 and U+2029.
bool IsHiddenFormatChar(uint32_t codePoint);

// Appends src to buf (capacity in characters), at most srcChars characters of src and never past
// its terminator, with every hidden format character written as "[U+XXXX]" (upper-case hex, four
// to six digits; a surrogate pair is one character) and every other character, an unpaired
// surrogate too, as it is. Bounded like AppendBounded: at most capacity - 1 characters in all,
// always terminated, a null src appends nothing. A mark that does not fit whole ends the text
// where it would have begun, so a cut text never ends in a piece of a mark. Returns the
// buffer's length afterwards.
size_t AppendRevealed(char16_t* buf, size_t capacity, const char16_t* src,
                      size_t srcChars = SIZE_MAX);
// Replaces buf with src revealed.
size_t CopyRevealed(char16_t* buf, size_t capacity, const char16_t* src,
                    size_t srcChars = SIZE_MAX);
// AppendRevealed for a text that must stay on one line of a multi-line text (the summary): its
// control characters (U+0000 to U+001F, U+007F to U+009F) are written as blanks as well.
size_t AppendRevealedOneLine(char16_t* buf, size_t capacity, const char16_t* src,
                             size_t srcChars = SIZE_MAX);

// U+0000 to U+001F and U+007F to U+009F.
bool IsControlCharacter(uint32_t c);
// Writes the mark "[U+XXXX]" of c (four to six upper-case hex digits) into mark, which holds at
// least kRevealMarkChars characters; returns its length. Not terminated.
size_t FormatRevealMark(uint32_t c, char16_t* mark);

} // namespace olv
