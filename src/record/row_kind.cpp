#include "record/row_kind.h"

#include <cstring>

#include "platform/hash_table.h"
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

// Lookup by text: the kinds' texts hashed into a fixed table built on first use. The table is
// small and fixed, so it lives in static storage and never allocates.
constexpr uint32_t kSlots = 256;
static_assert(kRowKindCount * 2 <= kSlots);

struct KindIndex {
    uint64_t hashes[kSlots];
    uint16_t kinds[kSlots];
};

KindIndex BuildIndex() {
    KindIndex index{};
    for (size_t k = 1; k < kRowKindCount; ++k) {
        const uint64_t h = HashText16(kKinds[k].text, kKinds[k].length) | 1;
        uint32_t at = static_cast<uint32_t>(h) & (kSlots - 1);
        while (index.hashes[at] != 0)
            at = (at + 1) & (kSlots - 1);
        index.hashes[at] = h;
        index.kinds[at] = static_cast<uint16_t>(k);
    }
    return index;
}

const KindIndex& Index() {
    static const KindIndex index = BuildIndex();
    return index;
}

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
    if (operation == nullptr || length == 0) return RowKind::Other;
    const KindIndex& index = Index();
    const uint64_t h = HashText16(operation, length) | 1;
    for (uint32_t at = static_cast<uint32_t>(h) & (kSlots - 1); index.hashes[at] != 0;
         at = (at + 1) & (kSlots - 1)) {
        if (index.hashes[at] != h) continue;
        const KindEntry& e = kKinds[index.kinds[at]];
        if (e.length == length && std::memcmp(e.text, operation, length * sizeof(char16_t)) == 0)
            return e.category == category ? static_cast<RowKind>(index.kinds[at]) : RowKind::Other;
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
