#include "views/text_signature.h"

#include <cstring>

#include "base/text.h"
#include "record/stored_rows.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#define OLV_VECTOR_FOLD 1
#endif

namespace olv {

namespace {

// Bit 0 marks a signed row (and a needle's signature, so that the test needs no extra branch);
// the pair bits may fall on it too, which only makes that pair look present everywhere.
constexpr uint64_t kSignedBit = 1;

// Which of the 512 bits a pair of folded characters sets: the top nine bits of a multiplicative
// hash of both characters.
inline uint32_t PairBit(uint32_t first, uint32_t second) {
    return ((first << 16 | second) * 0x9E3779B1u) >> 23;
}

// Copies the field, folded, into out (room for chars characters) up to its terminator or its
// end; returns the length.
size_t FoldField(const char16_t* field, size_t chars, char16_t* out) {
    size_t i = 0;
#if defined(OLV_VECTOR_FOLD)
    const __m128i beforeA = _mm_set1_epi16(u'A' - 1);
    const __m128i afterZ = _mm_set1_epi16(u'Z' + 1);
    const __m128i caseBit = _mm_set1_epi16(u'a' - u'A');
    const __m128i zeros = _mm_setzero_si128();
    for (; i + 8 <= chars; i += 8) {
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(field + i));
        // Signed comparisons: characters from U+8000 on count as below 'A', as they should.
        const __m128i upper =
            _mm_and_si128(_mm_cmpgt_epi16(c, beforeA), _mm_cmplt_epi16(c, afterZ));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i),
                         _mm_add_epi16(c, _mm_and_si128(upper, caseBit)));
        const unsigned ends = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi16(c, zeros)));
        if (ends != 0) return i + static_cast<size_t>(__builtin_ctz(ends)) / 2;
    }
#endif
    for (; i < chars && field[i] != 0; ++i)
        out[i] = FoldAscii(field[i]);
    return i;
}

// Adds the pairs of n folded characters.
void AddPairs(const char16_t* folded, size_t n, uint64_t* bits) {
    for (size_t k = 0; k + 1 < n; ++k) {
        const uint32_t bit = PairBit(folded[k], folded[k + 1]);
        bits[bit >> 6] |= uint64_t{1} << (bit & 63);
    }
}

void AddField(const char16_t* field, size_t chars, char16_t* scratch, uint64_t* bits) {
    AddPairs(scratch, FoldField(field, chars, scratch), bits);
}

// A stored text, folded into scratch (room for kPathChars units): a narrow text widens as it
// folds, a wide one is copied out (its units may lie unaligned) and folded in place.
void AddStoredField(TextView text, char16_t* scratch, uint64_t* bits) {
    const size_t n = text.length < kPathChars ? text.length : kPathChars;
    if (text.wide) {
        CopyTextUnits(TextView{text.data, static_cast<uint32_t>(n), true}, scratch);
        AddPairs(scratch, FoldField(scratch, n, scratch), bits);
        return;
    }
    for (size_t i = 0; i < n; ++i)
        scratch[i] = FoldAscii(static_cast<char16_t>(text.data[i]));
    AddPairs(scratch, n, bits);
}

} // namespace

void SignTextViews(const TextView* texts, RowSignature* out) {
    uint64_t bits[8] = {kSignedBit, 0, 0, 0, 0, 0, 0, 0};
    char16_t scratch[kPathChars];
    for (int i = 0; i < 4; ++i)
        AddStoredField(texts[i], scratch, bits);
    std::memcpy(out->bits, bits, sizeof bits);
}

void SignStoredRow(const Recording* app, int32_t index, RowSignature* out) {
    const TextView texts[4] = {StoredText(app, index, kTextOperation),
                               StoredText(app, index, kTextPath),
                               StoredText(app, index, kTextDetail),
                               StoredText(app, index, kTextResult)};
    SignTextViews(texts, out);
}

void SignRowText(const EventRow* row, RowSignature* out) {
    uint64_t bits[8] = {kSignedBit, 0, 0, 0, 0, 0, 0, 0};
    char16_t scratch[kPathChars];
    AddField(row->operation, kOperationChars, scratch, bits);
    AddField(row->path, kPathChars, scratch, bits);
    AddField(row->detail, kDetailChars, scratch, bits);
    AddField(row->result, kResultChars, scratch, bits);
    std::memcpy(out->bits, bits, sizeof bits);
}

bool SignNeedle(const char16_t* foldedNeedle, size_t n, RowSignature* out) {
    std::memset(out->bits, 0, sizeof out->bits);
    if (n < 2) return false;
    out->bits[0] = kSignedBit;
    AddPairs(foldedNeedle, n, out->bits);
    return true;
}

} // namespace olv
