// Text work of the rule engine: UTF-8 checks and conversion, value wildcards, Base64 forms,
// addresses and numbers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sigma/sigma_engine.h"

namespace olv::sigma {

// Strict UTF-8: no overlong forms, surrogates, values above U+10FFFF or NUL bytes. *bad gets
// the offset of the first byte that is not.
bool ValidUtf8(const char* bytes, size_t size, size_t* bad);
// UTF-8 (valid or not; a bad byte becomes U+FFFD) to UTF-16.
void Utf8ToUtf16(const std::string& text, std::u16string* out);
// The same into a bounded, terminated buffer, never ending in half a surrogate pair.
void Utf8ToUtf16Bounded(const std::string& text, char16_t* out, size_t capacity);
bool EqualsAsciiFolded(const std::string& text, const char* lower);
bool ParseBool(const std::string& text, bool* value);

// A value's wildcards: '*' any run, '?' one character; "\*", "\?" and "\\" are the character
// itself; any other backslash is a backslash.
void ParseWildcards(const std::u16string& value, std::vector<Elem>* out);

// The bytes a value stands for before Base64: UTF-8 (encoding 0), UTF-16LE (1), UTF-16BE (2) or
// UTF-16LE after a byte order mark (3).
void EncodeValue(const std::u16string& value, int encoding, std::string* bytes);
std::string Base64(const std::string& bytes);
// The three forms of bytes inside longer Base64 text, at byte offsets 0, 1 and 2 of the original,
// each without the characters its neighbours change.
void Base64Offsets(const std::string& bytes, std::string out[3]);

// "a.b.c.d", "a.b.c.d/n", IPv6 (with "::" and a dotted IPv4 tail, "/n"). An IPv4-mapped IPv6
// address reads as IPv4.
bool ParseIp(const char16_t* text, size_t length, uint8_t bytes[16], uint8_t* family);
bool ParseCidr(const std::u16string& text, Cidr* out);
bool InCidr(const Cidr& network, const uint8_t bytes[16], uint8_t family);
// A decimal number (sign, digits, fraction) or 0x hexadecimal; blanks around it are allowed.
bool ParseNumber(const char16_t* text, size_t length, double* value);

// The failure table of a literal for a linear search (Knuth-Morris-Pratt).
void FailureTable(const std::u16string& literal, std::vector<uint32_t>* next);
// True when literal (with its failure table) occurs in text.
bool ContainsLiteral(const char16_t* text, size_t n, const std::u16string& literal,
                     const std::vector<uint32_t>& next);

} // namespace olv::sigma
