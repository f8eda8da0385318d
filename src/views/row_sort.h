// The order of the shown rows: recording order, or sorted by one column of the event list.
//
// A sort is stable in a fixed way: rows that compare equal stay in recording order, in both
// directions, so the same rows sorted by the same column always stand in the same order. Rows
// that arrive while the list is sorted are put in their place as they come (the order is never
// paused). Window thread only; the functions taking a Recording and touching shownRows expect
// the caller to hold rowsLock unless they say otherwise.
#pragma once

#include <cstddef>
#include <cstdint>

#include "record/event_row.h"
#include "record/text_store.h"

namespace olv {

struct Recording; // record/recording.h

// The event list's columns.
enum ListColumn : int {
    kColumnTime = 0,
    kColumnSeverity = 1,
    kColumnProcess = 2, // the "PID" column: pid, then process name
    kColumnCategory = 3,
    kColumnOperation = 4,
    kColumnPath = 5, // path, then detail
    kColumnResult = 6,
    kSortableColumns = 7,
};

// ViewSpec::sortBy: 0 is recording order, column + 1 a sorted column.
constexpr uint8_t kSortRecordingOrder = 0;

// How two stored rows compare for a column: negative when row a comes first. Texts compare with
// the ASCII letters folded (as the filter folds them), then by code unit (CompareTextViews); the
// time by the local time the column shows; the category by its label. Rows that compare equal are
// ordered by their indexes, ascending, whichever the direction. The reference order the sort
// must give.
int CompareRowsForColumn(const Recording* app, int32_t a, int32_t b, int column,
                         bool descending);

// Sorts indexes[0..count) (indexes of stored rows) by column. Memory for the keys (and for a text
// column, where each row's text lies) comes from the platform allocator; false (indexes left as
// they were) when it is refused or column is not a column. Linear passes over the rows' texts,
// keys of 16 bytes a row, read ahead of use.
bool SortRowIndexes(const Recording* app, int32_t* indexes, int32_t count, int column,
                    bool descending);

// The order of two texts in a sorted column: unit by unit with the ASCII letters folded, a text
// that ends first coming first. A view of one byte a unit and one of two compare by their units
// alike.
int CompareTextViews(TextView a, TextView b);
// Sorts order[0..count) (indexes into texts) by their texts in that order, with the keys and
// passes of a text column's sort; equal texts keep the order they have in order. Texts hold no
// zero unit and are shorter than 2^31 units. False (order left as it was) when memory is refused.
bool SortTextViews(const TextView* texts, int32_t* order, int32_t count, bool descending);

// Puts shownRows into the order ViewSpec::sortBy asks for (recording order: ascending indexes).
// When memory for a sort is refused the list falls back to recording order and sortBy to 0, so
// that the header, the status bar and every file say the order the rows really have. Caller holds
// rowsLock. Returns false on that fallback.
bool ApplyShownOrder(Recording* app);
// shownRows[from..shownCount) were just entered in recording order: moves them into the sorted
// order of shownRows[0..from). Nothing to do in recording order. Caller holds rowsLock.
void PlaceArrivedShownRows(Recording* app, int32_t from);

// The header was clicked on column: first click sorts ascending, the next descending, the next
// goes back to recording order. Re-sorts the shown rows and marks (ViewChanges) the header's
// arrow, a repaint, and the focused item's row to be selected, focused and in view at its new
// place (focusedItem -1: none); returns that place (-1 when none).
int32_t SortByColumnClick(Recording* app, int column, int32_t focusedItem);
// The column the shown rows are sorted by; -1 in recording order.
int SortedColumn(const Recording* app);
// The header arrow of column: 1 ascending, -1 descending, 0 none.
int SortArrowOfColumn(const Recording* app, int column);
// Marks the header's arrow to be put on the sorted column (none in recording order).
void ShowSortArrow(Recording* app);

// The item index at which row index stands in shownRows; -1 when it is not shown. Takes rowsLock.
int32_t ShownItemOfRow(Recording* app, int32_t rowIndex);

// "Time", "Severity", "PID", "Category", "Operation", "Path / Detail", "Result"; "" otherwise.
const char16_t* ListColumnHeading(int column);
// The order in words for the status bar and the files: empty in recording order, else e.g.
// "sorted by Path / Detail, descending".
void DescribeShownOrder(const Recording* app, char16_t* out, size_t capacity);

} // namespace olv
