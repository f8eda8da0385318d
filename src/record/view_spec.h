// ViewSpec: which rows the event list shows and in what order, as one plain value. The core
// decides and describes the view from it alone (views/row_store.h: SetView); the window copies
// its controls into it and the console program fills it from its options.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "record/event_row.h"

namespace olv {

// The characters of the "Filter..." box the text filter uses; the box takes no more (its text
// limit is set from this), so a longer paste cannot look like a filter that is not applied.
constexpr size_t kFilterTextChars = 255;
// The characters of a learned operation name (Recording::operationNames), terminator included.
constexpr size_t kOperationNameChars = 64;

// The view's process condition (views/process_filter.h).
enum ProcessConditionMode : uint8_t {
    kProcessesAll = 0,
    kProcessOnly = 1,
    kProcessAndChildren = 2,
    kProcessHidden = 3,
};

// Which process instance the condition names. The pids that belong to it are derived from the
// rows at each scan (Recording::processCondition).
struct ProcessChoice {
    uint8_t mode; // ProcessConditionMode
    uint32_t pid;
    int32_t startRow; // index of the instance's start row; -1: it began before the rows
    char16_t name[kProcessChars];
};

struct ViewSpec {
    uint8_t categoryOn[4]; // File, Registry, Network, Process (EventRow::category)
    uint8_t suspiciousOnly;
    // Order of the shown rows (views/row_sort.h): 0 recording order, else the column + 1.
    uint8_t sortBy;
    uint8_t sortDescending;
    char16_t operation[kOperationNameChars]; // exact operation text; empty: every operation
    char16_t filter[kFilterTextChars + 1];   // as typed; empty: no text filter
    ProcessChoice process;
    int32_t sigmaRule; // only rows that matched this loaded Sigma rule; -1: no such condition
};
static_assert(std::is_trivially_copyable_v<ViewSpec>, "a view is copied as bytes");

// Every row shown, in recording order: what a new window and a new console run start with.
inline ViewSpec DefaultViewSpec() {
    ViewSpec view{};
    for (uint8_t& on : view.categoryOn)
        on = 1;
    view.process.startRow = -1;
    view.sigmaRule = -1;
    return view;
}

} // namespace olv
