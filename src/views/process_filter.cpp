#include "views/process_filter.h"

#include <cstring>

#include "base/format.h"
#include "base/text.h"
#include "platform/memory.h"
#include "platform/ui.h"
#include "record/stored_rows.h"
#include "views/row_store.h"

namespace olv {

namespace {

uint32_t* FindMember(const ProcessCondition* c, uint32_t pid) {
    return HashFind(&c->members, HashNumber(pid), [pid](uint32_t member) { return member == pid; });
}

bool IsMember(const ProcessCondition* c, uint32_t pid) {
    return FindMember(c, pid) != nullptr;
}

void Forget(ProcessCondition* c, uint32_t pid) {
    uint32_t* member = FindMember(c, pid);
    if (member != nullptr) HashErase(&c->members, member);
}

void EmptyMembers(ProcessCondition* c) {
    HashClear(&c->members);
}

// The set is made at its full size, so the most members it holds is half the slots.
void Join(ProcessCondition* c, uint32_t pid) {
    if (c->members.capacity == 0 || IsMember(c, pid)) return;
    uint32_t* member = HashInsert(&c->members, HashNumber(pid), uint32_t{kProcessMemberSlots},
                                  uint32_t{kProcessMemberSlots});
    if (member == nullptr) {
        c->incomplete = 1;
        return;
    }
    *member = pid;
}

// "%lu (%s)" or "%lu \"%s\"" of the condition's process, the name as recorded.
void AppendProcessName(const ProcessChoice* c, char16_t* out, size_t capacity, bool forStatus) {
    AppendFormat(out, capacity, u"%lu", static_cast<unsigned long>(c->pid));
    if (c->name[0] == 0) return;
    AppendBounded(out, capacity, forStatus ? u" (" : u" \"");
    AppendBoundedN(out, capacity, c->name, 63);
    AppendBounded(out, capacity, forStatus ? u")" : u"\"");
}

} // namespace

bool IsStoredProcessStart(const Recording* app, int32_t index) {
    return StoredCategory(app, index) == kCategoryProcess && StoredParentPid(app, index) != 0;
}

int32_t LastStartOfPid(const Recording* app, uint32_t pid, int32_t from) {
    for (int32_t i = from; i >= 0; --i) {
        if (StoredPid(app, i) == pid && IsStoredProcessStart(app, i)) return i;
    }
    return -1;
}

int32_t InstanceStartRow(const Recording* app, int32_t rowIndex) {
    if (rowIndex < 0 || rowIndex >= app->rowCount) return -1;
    return LastStartOfPid(app, StoredPid(app, rowIndex), rowIndex);
}

bool MakeProcessSet(Recording* app) {
    ProcessCondition* c = &app->processCondition;
    return c->members.capacity != 0 || HashResize(&c->members, uint32_t{kProcessMemberSlots});
}

bool ApplyProcessCondition(Recording* app, ProcessConditionMode mode, int32_t rowIndex) {
    if (mode != kProcessOnly && mode != kProcessAndChildren && mode != kProcessHidden) return false;
    ViewSpec view = app->view;
    {
        LockGuard guard(&app->rowsLock);
        if (rowIndex < 0 || rowIndex >= app->rowCount) return false;
        ProcessChoice* c = &view.process;
        c->mode = mode;
        c->pid = StoredPid(app, rowIndex);
        c->startRow = InstanceStartRow(app, rowIndex);
        // A row without a name takes its instance's, from the start row.
        const int32_t named = StoredTextEmpty(app, rowIndex, kTextProcess) && c->startRow >= 0
                                  ? c->startRow
                                  : rowIndex;
        CopyStoredText(app, named, kTextProcess, c->name, kProcessChars);
    }
    return SetView(app, view);
}

void ResetProcessCondition(Recording* app) {
    LockGuard guard(&app->rowsLock);
    app->view.process = ProcessChoice{};
    app->view.process.startRow = -1;
    ProcessCondition* c = &app->processCondition;
    c->incomplete = 0;
    EmptyMembers(c);
}

void ClearProcessCondition(Recording* app) {
    if (app->view.process.mode == kProcessesAll) return;
    ViewSpec view = app->view;
    view.process = ProcessChoice{};
    view.process.startRow = -1;
    SetView(app, view); // never refused: no process set is needed
}

void BeginProcessScan(Recording* app) {
    const ProcessChoice* choice = &app->view.process;
    if (choice->mode == kProcessesAll) return;
    ProcessCondition* c = &app->processCondition;
    EmptyMembers(c);
    c->incomplete = 0;
    if (choice->startRow < 0) Join(c, choice->pid);
}

namespace {

void ObserveStart(Recording* app, int32_t index, uint32_t pid, uint32_t parentPid) {
    const ProcessChoice* choice = &app->view.process;
    ProcessCondition* c = &app->processCondition;
    if (index == choice->startRow) {
        Join(c, pid);
    } else if (choice->mode == kProcessAndChildren && parentPid != pid && IsMember(c, parentPid)) {
        Join(c, pid);
    } else {
        Forget(c, pid); // a new process under a pid a member once had
    }
}

bool PidMeetsCondition(const Recording* app, uint32_t pid) {
    const ProcessCondition* c = &app->processCondition;
    switch (app->view.process.mode) {
    case kProcessOnly:
    case kProcessAndChildren:
        return IsMember(c, pid);
    case kProcessHidden:
        return !IsMember(c, pid);
    default:
        return true;
    }
}

} // namespace

void ObserveStoredRow(Recording* app, int32_t index) {
    if (app->view.process.mode == kProcessesAll || !IsStoredProcessStart(app, index)) return;
    ObserveStart(app, index, StoredPid(app, index), StoredParentPid(app, index));
}

bool StoredRowMeetsProcessCondition(const Recording* app, int32_t index) {
    return app->view.process.mode == kProcessesAll || PidMeetsCondition(app, StoredPid(app, index));
}

void DescribeProcessCondition(const Recording* app, char16_t* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return;
    out[0] = 0;
    const ProcessChoice* c = &app->view.process;
    if (c->mode == kProcessesAll) return;
    if (c->mode == kProcessHidden) {
        AppendBounded(out, capacity, u"process ");
        AppendProcessName(c, out, capacity, false);
        AppendBounded(out, capacity, u" hidden");
        return;
    }
    AppendBounded(out, capacity, u"only process ");
    AppendProcessName(c, out, capacity, false);
    if (c->mode == kProcessAndChildren) AppendBounded(out, capacity, u" and its children");
    if (app->processCondition.incomplete) {
        AppendBounded(out, capacity, u", some of its descendants missing");
    }
}

void ProcessConditionStatus(const Recording* app, char16_t* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return;
    out[0] = 0;
    const ProcessChoice* c = &app->view.process;
    if (c->mode == kProcessesAll) return;
    AppendBounded(out, capacity,
                  c->mode == kProcessHidden ? u"Hidden: process " : u"Only process ");
    AppendProcessName(c, out, capacity, true);
    if (c->mode == kProcessAndChildren) AppendBounded(out, capacity, u" and its children");
    if (app->processCondition.incomplete) {
        AppendBounded(out, capacity, u" (some descendants missing)");
    }
}

const ProcessMenuEntry kProcessMenu[kProcessMenuEntries] = {
    {kMenuOnlyProcess, u"Only This Process"},
    {kMenuOnlyProcessTree, u"Only This Process and Its Children"},
    {kMenuHideProcess, u"Hide This Process"},
    {kMenuShowAllProcesses, u"Show All Processes"},
};

int32_t ShownRowIndex(Recording* app, int32_t item) {
    LockGuard guard(&app->rowsLock);
    if (item < 0 || item >= app->shownCount || app->shownRows == nullptr) return -1;
    return app->shownRows[item];
}

bool RunProcessCommand(Recording* app, int command, int32_t rowIndex) {
    switch (command) {
    case kMenuOnlyProcess:
        return ApplyProcessCondition(app, kProcessOnly, rowIndex);
    case kMenuOnlyProcessTree:
        return ApplyProcessCondition(app, kProcessAndChildren, rowIndex);
    case kMenuHideProcess:
        return ApplyProcessCondition(app, kProcessHidden, rowIndex);
    case kMenuShowAllProcesses:
        ClearProcessCondition(app);
        return true;
    default:
        return false;
    }
}

bool ProcessCommandLine(Recording* app, int32_t rowIndex, char16_t* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return false;
    out[0] = 0;
    LockGuard guard(&app->rowsLock);
    const int32_t start = InstanceStartRow(app, rowIndex);
    if (start >= 0) CopyStoredText(app, start, kTextPath, out, capacity);
    return out[0] != 0;
}

} // namespace olv
