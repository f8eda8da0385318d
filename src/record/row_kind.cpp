#include "record/row_kind.h"

#include <cstring>

#include "base/text.h"

namespace olv {

namespace {

struct KindEntry {
    uint32_t category;
    const char16_t* text;
    size_t length;
};

template <size_t N> constexpr size_t Units(const char16_t (&)[N]) {
    return N - 1;
}

constexpr KindEntry kKinds[kRowKindCount] = {
#define OLV_ROW_KIND_ENTRY(name, category, text) {category, text, Units(text)},
    OLV_ROW_KINDS(OLV_ROW_KIND_ENTRY)
#undef OLV_ROW_KIND_ENTRY
};

constexpr bool TextsFitTheRow() {
    for (const KindEntry& e : kKinds) {
        if (e.length >= kOperationChars) return false;
    }
    return true;
}
static_assert(TextsFitTheRow(), "every kind's text fits a row's operation field");

// Lookup by text, asked for every stored row where a decision depends on its kind (the field
// view, the rules over stored rows), so it reads little: the slot comes from the length and three
// characters of the text, and only the text of the one kind found there (or of the few after it)
// is compared in full. The table is fixed and built at compile time.
constexpr uint32_t kSlots = 256;
static_assert(kRowKindCount * 2 <= kSlots);

constexpr uint32_t SlotOf(const char16_t* text, size_t length) {
    uint32_t h = static_cast<uint32_t>(length) * 0x9E3779B1u;
    h ^= static_cast<uint32_t>(text[0]) * 0x85EBCA77u;
    h ^= static_cast<uint32_t>(text[length / 2]) * 0xC2B2AE3Du;
    h ^= static_cast<uint32_t>(text[length - 1]) * 0x27D4EB2Fu;
    h ^= h >> 15;
    h *= 0x2C1B3C6Du;
    return (h >> 16) & (kSlots - 1);
}

constexpr size_t LongestText() {
    size_t longest = 0;
    for (const KindEntry& e : kKinds)
        longest = e.length > longest ? e.length : longest;
    return longest;
}

constexpr size_t kLongestText = LongestText();

struct KindIndex {
    uint16_t kinds[kSlots]; // 0 (Other, never stored) marks an empty slot
    uint32_t longestProbe;
};

constexpr KindIndex BuildIndex() {
    KindIndex index{};
    for (size_t k = 1; k < kRowKindCount; ++k) {
        uint32_t at = SlotOf(kKinds[k].text, kKinds[k].length);
        uint32_t probe = 1;
        while (index.kinds[at] != 0) {
            at = (at + 1) & (kSlots - 1);
            ++probe;
        }
        index.kinds[at] = static_cast<uint16_t>(k);
        if (probe > index.longestProbe) index.longestProbe = probe;
    }
    return index;
}

constexpr KindIndex kIndex = BuildIndex();

// Whether the two texts' first length units agree, four units a step: the texts are short and
// compared on every lookup, where a call of memcmp would cost more than the comparison.
bool SameUnits(const char16_t* a, const char16_t* b, size_t length) {
    size_t i = 0;
    for (; i + 4 <= length; i += 4) {
        uint64_t x;
        uint64_t y;
        std::memcpy(&x, a + i, sizeof x);
        std::memcpy(&y, b + i, sizeof y);
        if (x != y) return false;
    }
    for (; i < length; ++i) {
        if (a[i] != b[i]) return false;
    }
    return true;
}
// A miss ends at an empty slot; with the table a quarter full that is at most a few slots on.
static_assert(kIndex.longestProbe <= 4, "the kinds' texts crowd one part of the table");

} // namespace

uint32_t RowKindCategory(RowKind kind) {
    const size_t k = static_cast<size_t>(kind);
    return k < kRowKindCount ? kKinds[k].category : kCategoryFile;
}

const char16_t* RowKindOperation(RowKind kind) {
    const size_t k = static_cast<size_t>(kind);
    return k < kRowKindCount ? kKinds[k].text : u"";
}

size_t RowKindOperationLength(RowKind kind) {
    const size_t k = static_cast<size_t>(kind);
    return k < kRowKindCount ? kKinds[k].length : 0;
}

RowKind RowKindOf(uint32_t category, const char16_t* operation, size_t length) {
    if (operation == nullptr || length == 0 || length > kLongestText) return RowKind::Other;
    for (uint32_t at = SlotOf(operation, length); kIndex.kinds[at] != 0;
         at = (at + 1) & (kSlots - 1)) {
        const KindEntry& e = kKinds[kIndex.kinds[at]];
        if (e.length == length && SameUnits(e.text, operation, length))
            return e.category == category ? static_cast<RowKind>(kIndex.kinds[at]) : RowKind::Other;
    }
    return RowKind::Other;
}

RowKind RowKindOfRow(const EventRow& row) {
    return RowKindOf(row.category, row.operation, FieldTextLength(row.operation, kOperationChars));
}

RowKind SetRowKind(EventRow* row, RowKind kind) {
    const size_t k = static_cast<size_t>(kind);
    if (row == nullptr || k == 0 || k >= kRowKindCount) return kind;
    row->category = kKinds[k].category;
    std::memcpy(row->operation, kKinds[k].text, (kKinds[k].length + 1) * sizeof(char16_t));
    return kind;
}

} // namespace olv
