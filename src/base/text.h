// Bounded UTF-16 text helpers shared by every subsystem.
#pragma once

#include <cstddef>
#include <cstdint>

namespace olv {

// Length of a terminated UTF-16 text; a null text has length 0.
size_t TextLength(const char16_t* text);
// Length of a text in a field of `chars` characters, all readable: the characters before the
// terminator, or `chars` when there is none. Reads eight characters at a time, never past the
// field.
size_t FieldTextLength(const char16_t* field, size_t chars);

// Appends src to buf (capacity in characters): at most capacity - 1 characters in
// the buffer in all, always terminated. A null src appends nothing. These three return the
// buffer's length after the change (0 for a null buffer or no capacity).
size_t AppendBounded(char16_t* buf, size_t capacity, const char16_t* src);

// Appends at most count characters of src (stopping at its terminator).
size_t AppendBoundedN(char16_t* buf, size_t capacity, const char16_t* src, size_t count);

// Replaces buf with src, cut at capacity - 1 characters, terminated. Null src empties it.
size_t CopyBounded(char16_t* buf, size_t capacity, const char16_t* src);

// Copies an 8-bit ASCII literal into a UTF-16 buffer (bounded, terminated).
void CopyAscii(char16_t* buf, size_t capacity, const char* ascii);

bool TextIsEmpty(const char16_t* text);
// Exact, case-sensitive comparison; null equals the empty text.
bool TextEquals(const char16_t* a, const char16_t* b);
bool TextStartsWith(const char16_t* text, const char16_t* prefix);
bool TextEndsWith(const char16_t* text, const char16_t* suffix);

// Folds only the ASCII letters A to Z.
constexpr char16_t FoldAscii(char16_t c) {
    return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + (u'a' - u'A')) : c;
}

// True when needle occurs in hay, comparing after FoldAscii. An empty needle is found in any
// text (callers that want "an empty field matches nothing" test that themselves).
bool ContainsFolded(const char16_t* hay, const char16_t* needle);
// Same as ContainsFolded, for a needle that is known to be in lower case already.
bool ContainsFoldedLower(const char16_t* hay, const char16_t* lowerNeedle);
// Exact search; returns the index of the first occurrence at or after from, or -1.
ptrdiff_t FindText(const char16_t* hay, const char16_t* needle, size_t from = 0);
bool EqualsFolded(const char16_t* a, const char16_t* b);

// UTF-16 to UTF-8 as Windows converts it: an unpaired surrogate becomes U+FFFD.
// Returns the number of bytes the whole conversion needs (without terminator). When dst is
// not null, writes at most dstCapacity - 1 bytes, never splitting a sequence, and terminates.
size_t Utf16ToUtf8(const char16_t* src, size_t srcLength, char* dst, size_t dstCapacity);

// Writes every control character of text (below U+0020, and U+007F) as a blank, so the text
// stays on one line of a line-based file. A null text is left alone.
void BlankControlChars(char16_t* text);
// Writes every unpaired surrogate among the first length characters as U+FFFD (in place: both
// are one UTF-16 unit), so the text is valid UTF-16.
void ReplaceUnpairedSurrogates(char16_t* text, size_t length);

// Windows code page 1252 to UTF-16 (the stand-in for the ANSI code page). Converts until the
// terminator. Fails (returns false, dst emptied) when the text and its terminator do not fit.
bool Cp1252ToUtf16(const char* src, char16_t* dst, size_t dstCapacity);

// The file name of a path: the text after the last '\' or '/', the whole path when none.
const char16_t* PathFileName(const char16_t* path);
// folder + separator + name (no separator added after an empty folder or one ending in one).
void JoinPath(const char16_t* folder, const char16_t* name, char16_t separator, char16_t* out,
              size_t capacity);
// The path of name beside the file at path (the path up to its last '\' or '/', then name),
// terminated in out. False (out empty) when the path has no folder or the result does not fit.
bool SiblingPath(const char16_t* path, const char16_t* name, char16_t* out, size_t capacity);

} // namespace olv
