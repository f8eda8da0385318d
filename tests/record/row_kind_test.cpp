// Row kinds: the lookup by text against a plain search of the table, and rows made through a kind.
#include "record/row_kind.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "base/text.h"
#include "doctest.h"
#include "support/text_check.h"

using namespace olv;

namespace {

// The plain reading of the table: the kind whose category and whole text are these.
RowKind Reference(uint32_t category, const std::u16string& text) {
    for (size_t k = 1; k < kRowKindCount; ++k) {
        const auto kind = static_cast<RowKind>(k);
        if (RowKindCategory(kind) == category && text == RowKindOperation(kind)) return kind;
    }
    return RowKind::Other;
}

} // namespace

TEST_CASE("the lookup by text agrees with a plain search for every one-unit change of every text") {
    size_t tried = 0;
    for (size_t k = 1; k < kRowKindCount; ++k) {
        const auto kind = static_cast<RowKind>(k);
        const std::u16string text = RowKindOperation(kind);
        CAPTURE(U8(text.c_str()));
        for (uint32_t category = kCategoryFile; category <= kCategoryProcess + 1; ++category) {
            for (size_t at = 0; at < text.size(); ++at) {
                for (char16_t unit : {u'a', u'A', u' ', u'(', u'\0', char16_t(0xFEFF),
                                      char16_t(text[at] ^ 0x20)}) {
                    std::u16string changed = text;
                    changed[at] = unit;
                    CHECK(RowKindOf(category, changed.data(), changed.size()) ==
                          Reference(category, changed));
                    ++tried;
                }
            }
            CHECK(RowKindOf(category, text.data(), text.size()) == Reference(category, text));
        }
    }
    CHECK(tried > 10000);
    const std::u16string longest(kOperationChars, u'x');
    CHECK(RowKindOf(kCategoryFile, longest.data(), longest.size()) == RowKind::Other);
    CHECK(RowKindOf(kCategoryFile, nullptr, 5) == RowKind::Other);
    CHECK(RowKindOf(kCategoryFile, u"Read file", 0) == RowKind::Other);
}

TEST_CASE("a row made through its kind has the kind's category and text, and is of that kind") {
    EventRow row;
    for (size_t k = 1; k < kRowKindCount; ++k) {
        const auto kind = static_cast<RowKind>(k);
        std::memset(static_cast<void*>(&row), 0xA5, sizeof row);
        CHECK(SetRowKind(&row, kind) == kind);
        CHECK(row.category == RowKindCategory(kind));
        CHECK(U8(row.operation) == U8(RowKindOperation(kind)));
        CHECK(RowKindOfRow(row) == kind);
        CHECK(row.path[0] == 0xA5A5); // nothing else is touched
    }
    // Other, and a number past the last kind, leave the row as it was.
    std::memset(static_cast<void*>(&row), 0, sizeof row);
    row.category = kCategoryNetwork;
    CopyBounded(row.operation, kOperationChars, u"TCP traffic (17)");
    const EventRow before = row;
    CHECK(SetRowKind(&row, RowKind::Other) == RowKind::Other);
    CHECK(SetRowKind(&row, RowKind::kCount) == RowKind::kCount);
    CHECK(SetRowKind(nullptr, RowKind::ReadFile) == RowKind::ReadFile);
    CHECK(std::memcmp(&row, &before, sizeof row) == 0);
    CHECK(RowKindOfRow(row) == RowKind::Other);
    // An operation field with no terminator is read within the field only.
    std::fill(row.operation, row.operation + kOperationChars, u'R');
    CHECK(RowKindOfRow(row) == RowKind::Other);
    // The recorder's own rows are the two kinds no decoder makes.
    size_t recorders = 0;
    for (size_t k = 0; k < kRowKindCount; ++k)
        recorders += IsRecorderRowKind(static_cast<RowKind>(k)) ? 1 : 0;
    CHECK(recorders == 2);
    CHECK(IsRecorderRowKind(RowKind::StartedProcess));
    CHECK(IsRecorderRowKind(RowKind::TargetProcessExited));
}
