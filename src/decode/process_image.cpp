// The kernel's Process and Image providers: process starts and exits, DLL loads and unloads, and
// every driver loaded while the recording runs. A process started by a followed process becomes
// followed itself; every process start or rundown teaches the ProcessNameTable its name, followed
// or not.
#include "base/format.h"
#include "base/text.h"
#include "decode/decode.h"
#include "decode/properties.h"

namespace olv {

namespace {

constexpr uint8_t kProcessStart = 1;
constexpr uint8_t kProcessEnd = 2;
constexpr uint8_t kProcessRundownStart = 3;

constexpr uint8_t kImageUnload = 2;
constexpr uint8_t kImageRundownStart = 3;
constexpr uint8_t kImageRundownEnd = 4;
constexpr uint8_t kImageLoad = 10;
constexpr uint32_t kSystemPid = 4;
// The kernel half of a 64-bit address space: where drivers are mapped.
constexpr uint64_t kKernelSpace = 0xFFFF800000000000ull;

// A kernel image (a driver): the load names no user process (its ProcessId is 0, or the system
// process's), and it was mapped by the system (the event comes from the system process or the
// idle one) or into kernel space. A user process's executable and DLLs always carry their own id.
bool IsDriverLoad(const EventRecord* event, uint32_t payloadPid) {
    if (payloadPid != 0 && payloadPid != kSystemPid) return false;
    const uint32_t logger = event->header.processId;
    if (logger == 0 || logger == kSystemPid) return true;
    return ReadPointerProperty(event, u"ImageBase") >= kKernelSpace;
}

// A driver's row: the system process's, whatever thread logged it, so that no driver is taken
// for the work of the process that happened to be running.
bool DecodeDriverLoad(TrackingState* ts, const EventRecord* event, EventRow* row,
                      RowKind* kind) {
    StartRow(event, row);
    *kind = SetRowKind(row, RowKind::LoadedDriver);
    row->pid = kSystemPid;
    row->parentPid = 0;
    CopyBounded(row->process, kProcessChars, u"System");
    ReadWideStringProperty(event, u"FileName", row->path, kPathChars);
    if (row->path[0] != 0) TranslateDevicePath(ts, row->path, kPathChars);
    const uint32_t size = ReadIntProperty(event, u"ImageSize");
    if (size != 0) {
        FormatImageSize(size, row->detail, kDetailChars);
        AppendBounded(row->detail, kDetailChars, u" / ");
    }
    AppendBounded(row->detail, kDetailChars, kDriverOriginNote);
    CopyBounded(row->result, kResultChars, u"OK");
    return true;
}

bool DecodeProcessStart(TrackingState* ts, const EventRecord* event, EventRow* row, int64_t t,
                        uint8_t opcode) {
    uint32_t pid = ReadIntProperty(event, u"ProcessId");
    uint32_t parent = ReadIntProperty(event, u"ParentId");
    uint32_t logger = event->header.processId;
    char16_t image[kProcessChars] = {};
    ReadAnsiStringProperty(event, u"ImageFileName", image, kProcessChars);
    char16_t commandLine[kPathChars] = {};
    ReadWideStringProperty(event, u"CommandLine", commandLine, kPathChars);

    NoteProcessStartName(ts, pid, t, image, commandLine);
    if (opcode == kProcessRundownStart) return false;
    NoteNewProcess(ts, pid);

    // The child of a followed process is followed; so is a process that a followed process
    // created on behalf of another parent (the logger is the creator).
    if (!IsProcessFollowed(ts, parent, t) && !IsProcessFollowed(ts, logger, t)) return false;
    if (pid != 0) FollowProcess(ts, pid, t);

    StartRow(event, row);
    row->parentPid = parent;
    SetRowKind(row, RowKind::StartedChildProcess);
    row->pid = pid;
    // The best name known of the child; the short name only when the table has none.
    if (!LookupProcessName(ts, pid, t, row->process, kProcessChars)) {
        CopyBounded(row->process, kProcessChars, image);
    }
    CopyBounded(row->path, kPathChars, commandLine);
    if (row->path[0] == 0) {
        CopyBounded(row->path, kPathChars, image);
    } else {
        // The program's path leads the command line, in the kernel's forms as often as not
        // (\??\C:\Windows\system32\conhost.exe 0xffffffff); a quoted one keeps its quote.
        const size_t quote = row->path[0] == u'"' ? 1 : 0;
        TranslateDevicePath(ts, row->path + quote, kPathChars - quote);
    }
    FormatText(row->detail, kDetailChars, u"Parent PID: %lu / PID: %lu", parent, pid);
    if (parent != 0 && logger != 0 && parent != logger) {
        AppendFormat(row->detail, kDetailChars, u" / logged by PID: %lu", logger);
    }
    CopyBounded(row->result, kResultChars, u"OK");
    return true;
}

bool DecodeProcessEnd(TrackingState* ts, const EventRecord* event, EventRow* row, int64_t t) {
    uint32_t pid = ReadIntProperty(event, u"ProcessId");
    // The name stays with rows of the lifetime; a later start of the id begins another.
    NoteProcessEndName(ts, pid, t);
    ForgetProcessImages(ts, pid);
    if (!IsProcessFollowed(ts, pid, t)) return false;

    StartRow(event, row);
    SetRowKind(row, RowKind::ProcessExited);
    row->pid = pid;
    if (!LookupProcessName(ts, pid, t, row->process, kProcessChars)) {
        ReadAnsiStringProperty(event, u"ImageFileName", row->process, kProcessChars);
    }
    FormatText(row->detail, kDetailChars, u"Exit code: %lu", ReadIntProperty(event, u"ExitStatus"));
    CopyBounded(row->result, kResultChars, u"OK");

    // The exit itself lies inside the followed interval; later events of the id do not.
    if (pid != 0 && t >= 1) EndFollowedProcess(ts, pid, t);
    return true;
}

} // namespace

bool DecodeProcessEvent(TrackingState* ts, const EventRecord* event, EventRow* row, int64_t t,
                        RowKind* kind) {
    if (ts == nullptr || event == nullptr || row == nullptr || kind == nullptr) return false;
    const uint8_t opcode = event->header.descriptor.opcode;
    switch (opcode) {
    case kProcessStart:
    case kProcessRundownStart:
        *kind = RowKind::StartedChildProcess;
        return DecodeProcessStart(ts, event, row, t, opcode);
    case kProcessEnd:
        *kind = RowKind::ProcessExited;
        return DecodeProcessEnd(ts, event, row, t);
    default:
        return false;
    }
}

bool DecodeImageEvent(TrackingState* ts, const EventRecord* event, EventRow* row, int64_t t,
                      RowKind* kind) {
    if (ts == nullptr || event == nullptr || row == nullptr || kind == nullptr) return false;
    uint32_t pid = ReadIntProperty(event, u"ProcessId");
    const uint8_t opcode = event->header.descriptor.opcode;
    // Drivers already loaded when the recording began come only as rundowns and are left out.
    if (opcode == kImageLoad && IsDriverLoad(event, pid)) {
        return DecodeDriverLoad(ts, event, row, kind);
    }
    if (pid == 0) pid = event->header.processId;
    // The executable's load names its process, followed or not; so does its start rundown.
    const bool names = opcode == kImageLoad || opcode == kImageRundownStart;
    char16_t path[kPathChars];
    path[0] = 0;
    uint64_t size = 0;
    bool sizeRead = false;
    if (names) {
        ReadWideStringProperty(event, u"FileName", path, kPathChars);
        NoteProcessImageName(ts, pid, t, path, opcode == kImageLoad);
        // Every process's images, followed or not: a thread started in any of them is placed.
        size = ReadPointerProperty(event, u"ImageSize");
        sizeRead = true;
        NoteProcessImage(ts, pid, ReadPointerProperty(event, u"ImageBase"), size, path);
    } else if (opcode == kImageUnload) {
        ForgetProcessImage(ts, pid, ReadPointerProperty(event, u"ImageBase"));
    }
    if (!IsProcessFollowed(ts, pid, t)) return false;
    if (opcode == kImageRundownStart || opcode == kImageRundownEnd) return false;
    StartRow(event, row);
    row->pid = pid;
    if (opcode == kImageLoad) {
        *kind = SetRowKind(row, RowKind::LoadedDll);
    } else if (opcode == kImageUnload) {
        *kind = SetRowKind(row, RowKind::UnloadedDll);
    } else {
        *kind = RowKind::Other;
        row->category = kCategoryProcess;
        FormatText(row->operation, kOperationChars, u"Image operation (%d)",
                   static_cast<int>(opcode));
    }

    if (names) {
        CopyBounded(row->path, kPathChars, path);
    } else {
        ReadWideStringProperty(event, u"FileName", row->path, kPathChars);
    }
    if (row->path[0] != 0) TranslateDevicePath(ts, row->path, kPathChars);

    if (!sizeRead) size = ReadPointerProperty(event, u"ImageSize");
    // Read for its low 32 bits, as an image's size is.
    if (static_cast<uint32_t>(size) != 0) {
        FormatImageSize(static_cast<uint32_t>(size), row->detail, kDetailChars);
    }
    CopyBounded(row->result, kResultChars, u"OK");
    return true;
}

} // namespace olv
