// The view's process condition: only one process, one process and its descendants, or every
// process but one.
//
// A process is one instance, not a pid: an instance begins at its start row (a process row with
// a parent pid, as the process tree takes them) and lasts until the next start row of the same
// pid, since a pid is used again only after its process ended. A row belongs to the current
// instance of its pid. The rows are scanned in arrival order: the chosen instance enters the set
// at its start row (or from the first row, when it began before the rows), a child enters when
// its start row names a parent whose current instance is in the set, and a pid leaves the set
// when a start row begins an instance of it that is not a member. So chains of any depth, and
// rows of a reused pid, are told apart without a table of times; rows arriving while recording
// extend the set as they come.
#pragma once

#include <cstddef>
#include <cstdint>

#include "record/recording.h"

namespace olv {

// Members the set holds at most (a descendant beyond them is not shown and marks the condition
// incomplete, which the status bar and the files say). The slots are twice as many.
constexpr int32_t kProcessMembers = 8192;
constexpr int32_t kProcessMemberSlots = 2 * kProcessMembers;

// Whether stored row index begins a process instance (category Process with a parent pid).
// Caller holds rowsLock.
bool IsStoredProcessStart(const Recording* app, int32_t index);
// The last start row of pid at or before row from; -1 when none. Caller holds rowsLock.
int32_t LastStartOfPid(const Recording* app, uint32_t pid, int32_t from);

// The start row of the instance that row index belongs to: the last start row of its pid at or
// before it; -1 when none (the instance began before the rows). Caller holds rowsLock.
int32_t InstanceStartRow(const Recording* app, int32_t rowIndex);

// Sets the view's condition (SetView) for the instance of row index. False (nothing changed)
// when the row is not a stored row, the mode is not a condition or memory for the set is
// refused. Takes rowsLock.
bool ApplyProcessCondition(Recording* app, ProcessConditionMode mode, int32_t rowIndex);
// "Show All Processes": no process condition; rebuilds the view when there was one.
void ClearProcessCondition(Recording* app);
// Forgets the condition without rebuilding (the rows it named are gone: Clear, Start, Open).
void ResetProcessCondition(Recording* app);
// Makes the set of members when it does not exist yet; false when memory is refused. Caller
// holds rowsLock.
bool MakeProcessSet(Recording* app);

// The scan: BeginProcessScan before the first row of a rebuild, then ObserveStoredRow for every
// stored row in arrival order (shown or not, also during intake), then
// StoredRowMeetsProcessCondition for a row's view test. Caller holds rowsLock. With no condition
// all three do nothing and every row meets it.
void BeginProcessScan(Recording* app);
void ObserveStoredRow(Recording* app, int32_t index);
bool StoredRowMeetsProcessCondition(const Recording* app, int32_t index);

// The condition in words, for the files' view line: "only process 1234 \"a.exe\"", "only process
// 1234 \"a.exe\" and its children", "process 1234 \"a.exe\" hidden"; with ", some of its
// descendants missing" when incomplete. Empty without a condition. The name is the exact text.
void DescribeProcessCondition(const Recording* app, char16_t* out, size_t capacity);
// The same for the status bar ("Only process 1234 (a.exe) and its children"); the status bar
// reveals the whole text.
void ProcessConditionStatus(const Recording* app, char16_t* out, size_t capacity);

// The process commands of the event list's and the process tree's context menus, in menu order:
// "Only This Process", "Only This Process and Its Children", "Hide This Process", "Show All
// Processes" (the tree adds "Copy Command Line").
struct ProcessMenuEntry {
    int command; // ContextMenuCommand
    const char16_t* text;
};
constexpr int kProcessMenuEntries = 4;
extern const ProcessMenuEntry kProcessMenu[kProcessMenuEntries];

// The row index of shown item; -1 when it is not a shown item. Takes rowsLock.
int32_t ShownRowIndex(Recording* app, int32_t item);
// Carries out a process command for the process of row index (a row of the list, or a tree
// node's start row): the conditions and "Show All Processes". False when nothing was done ("Copy
// Command Line" is the front end's: ProcessCommandLine gives it the text).
bool RunProcessCommand(Recording* app, int command, int32_t rowIndex);
// The command line of the start row of row index's instance (what "Copy Command Line" copies);
// false (out empty) when that row is unknown or has none. Takes rowsLock.
bool ProcessCommandLine(Recording* app, int32_t rowIndex, char16_t* out, size_t capacity);

} // namespace olv
