// FileIo provider: name events teach the FileNameTable, requests of followed processes become
// File rows (held until their completion when completions arrive), completions release the row
// of their request with its status.
#include <cstring>
#include <initializer_list>

#include "base/atomic.h"
#include "base/format.h"
#include "base/text.h"
#include "decode/decode.h"
#include "decode/properties.h"
#include "rules/threat_rules.h"

namespace olv {

namespace {

constexpr uint8_t kOpNameEvent = 0;
constexpr uint8_t kOpFileCreate = 32;
constexpr uint8_t kOpFileDelete = 35;
constexpr uint8_t kOpFileRundown = 36;
constexpr uint8_t kOpOperationEnd = 76;
constexpr uint8_t kOpCreate = 64;
constexpr uint8_t kOpCleanup = 65;
constexpr uint8_t kOpClose = 66;
constexpr uint8_t kOpRead = 67;
constexpr uint8_t kOpWrite = 68;
constexpr uint8_t kOpCreateNewFile = 82;
constexpr uint8_t kOpListFolder = 72;
constexpr uint8_t kOpWatchFolder = 77;

constexpr size_t kNameChars = 1024;

// The create disposition is the top byte of the open's CreateOptions.
constexpr uint32_t kDispositionOpen = 1;   // open an existing file or pipe, never create one
constexpr uint32_t kDispositionCreate = 2; // create, fail when it exists
constexpr uint32_t kDispositionOpenIf = 3; // open, create when missing
constexpr uint16_t kSmallestNamePayload = 11;

struct FileOperationName {
    uint8_t opcode;
    RowKind kind;
};

const FileOperationName kFileOperations[] = {
    {37, RowKind::MappedFile},
    {38, RowKind::UnmappedFile},
    {kOpCreate, RowKind::OpenedFile},
    {kOpCleanup, RowKind::ReleasedFileHandle},
    {kOpClose, RowKind::ClosedFile},
    {kOpRead, RowKind::ReadFile},
    {kOpWrite, RowKind::WroteFile},
    {69, RowKind::ChangedFileInformation},
    {70, RowKind::DeletedFile},
    {71, RowKind::RenamedFile},
    {kOpListFolder, RowKind::ListedFolder},
    {73, RowKind::FlushedFile},
    {74, RowKind::ReadFileInformation},
    {75, RowKind::FileSystemControl},
    {kOpWatchFolder, RowKind::WatchingFolder},
    {78, RowKind::DeletedFileByPath},
    {79, RowKind::RenamedFileByPath},
    {80, RowKind::CreatedLink},
    {kOpCreateNewFile, RowKind::CreatedNewFile},
    {83, RowKind::SetFilePermissions},
    {84, RowKind::ReadFilePermissions},
    {85, RowKind::SetExtendedAttributes},
    {86, RowKind::ReadExtendedAttributes},
};

// A File row of the opcode's kind; an opcode no kind names is of kind Other and says its number.
RowKind SetFileOperation(uint8_t opcode, EventRow* row) {
    for (const FileOperationName& entry : kFileOperations) {
        if (entry.opcode == opcode) return SetRowKind(row, entry.kind);
    }
    row->category = kCategoryFile;
    FormatText(row->operation, kOperationChars, u"File operation (%d)", static_cast<int>(opcode));
    return RowKind::Other;
}

// Name events whose properties did not come through: the payload starts with the file object
// pointer (4 bytes for a 32-bit header), followed by the name in UTF-16.
void TakeNameFromPayload(const EventRecord* event, uint64_t* key, char16_t* name, size_t capacity) {
    const uint16_t length = event->userDataLength;
    const auto* payload = static_cast<const uint8_t*>(event->userData);
    if (payload == nullptr || length < kSmallestNamePayload) return;
    const bool pointer32 = (event->header.flags & kEventHeaderFlag32BitHeader) != 0;
    const size_t pointerSize = pointer32 ? 4 : 8;
    if (*key == 0) {
        if (pointer32) {
            uint32_t value = 0;
            std::memcpy(&value, payload, sizeof value);
            *key = value;
        } else {
            std::memcpy(key, payload, sizeof *key);
        }
    }
    if (name[0] == 0) {
        const size_t available = (length - pointerSize) / 2;
        size_t limit = available > 0 ? available - 1 : 0;
        if (limit > capacity - 1) limit = capacity - 1;
        size_t n = 0;
        for (; n < limit; ++n) {
            char16_t c;
            std::memcpy(&c, payload + pointerSize + 2 * n, sizeof c);
            if (c == 0) break;
            name[n] = c;
        }
        name[n] = 0;
    }
}

void LearnFromNameEvent(TrackingState* ts, const EventRecord* event, uint8_t opcode, int64_t t) {
    uint64_t key = ReadPointerProperty(event, u"FileObject");
    char16_t name[kNameChars];
    ReadWideStringProperty(event, u"FileName", name, kNameChars);
    if (key == 0 || name[0] == 0) TakeNameFromPayload(event, &key, name, kNameChars);
    if (key == 0) return;
    if (opcode == kOpFileDelete) {
        ForgetFileName(ts, key, t);
    } else if (name[0] != 0) {
        RememberFileName(ts, key, name, t, opcode == kOpFileCreate);
    }
}

// A held row comes back whole but without its kind (the pool keeps rows as the file has them):
// it reports kRowKindUnknown, and the kind is looked up only if the row is scored again.
bool CompleteHeldRow(TrackingState* ts, const EventRecord* event, EventRow* row, RowKind* kind) {
    NoteFileCompletionSeen(ts);
    const uint64_t irp = ReadPointerProperty(event, u"IrpPtr");
    if (irp == 0) return false;
    if (!TakeHeldFileRow(ts, irp, row)) return false;
    FormatStatusText(ReadIntProperty(event, u"NtStatus"), row->result, kResultChars);
    *kind = kRowKindUnknown;
    return true;
}

// A folder query names only its search pattern (such as "*.rpt"): when the file object names the
// folder, the row's path is the folder joined with the pattern. A name that is a path already is
// left as it is.
void JoinFolderWithPattern(TrackingState* ts, uint64_t fileObject, int64_t t, char16_t* path) {
    if (FindText(path, u"\\") >= 0) return;
    char16_t folder[kPathChars];
    folder[0] = 0;
    LookupFileName(ts, fileObject, t, folder, kPathChars);
    if (folder[0] == 0) return;
    if (!TextEndsWith(folder, u"\\")) AppendBounded(folder, kPathChars, u"\\");
    AppendBounded(folder, kPathChars, path);
    CopyBounded(path, kPathChars, folder);
}


// --- Pipes, streams and whole disks ---------------------------------------------------------
//
// All three are decided from the device-form path an open names (and, for pipes and streams, the
// open's disposition); nothing is kept per file beyond what the FileNameTable already keeps.

constexpr char16_t kPipeDevice[] = u"\\Device\\NamedPipe\\";
constexpr size_t kPipeDeviceChars = sizeof kPipeDevice / sizeof kPipeDevice[0] - 1;
constexpr char16_t kPipeShown[] = u"\\\\.\\pipe\\";

bool StartsWithFoldedText(const char16_t* text, const char16_t* prefix) {
    size_t i = 0;
    for (; prefix[i] != 0; ++i) {
        if (FoldAscii(text[i]) != FoldAscii(prefix[i])) return false;
    }
    return true;
}

bool IsDigitText(const char16_t* text, size_t length) {
    if (length == 0) return false;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] < u'0' || text[i] > u'9') return false;
    }
    return true;
}

// A pipe on the named-pipe device, with a name (the bare device is opened to wait for a pipe).
bool IsPipePath(const char16_t* path) {
    return StartsWithFoldedText(path, kPipeDevice) && path[kPipeDeviceChars] != 0;
}

// A volume or disk opened as a whole: a volume's device with no path after it, a disk's whole
// drive or partition, a physical drive or a drive letter in the DOS device namespace.
bool IsRawDiskPath(const char16_t* path) {
    const size_t length = TextLength(path);
    static constexpr char16_t kVolume[] = u"\\Device\\HarddiskVolume";
    static constexpr char16_t kDisk[] = u"\\Device\\Harddisk";
    if (StartsWithFoldedText(path, kVolume)) {
        // Shadow copies are volumes too ("HarddiskVolumeShadowCopy3"); a root or file path is not.
        return length > 22 && FindText(path + 22, u"\\") < 0;
    }
    if (StartsWithFoldedText(path, kDisk)) {
        // \Device\Harddisk0\DR0, \Device\Harddisk0\Partition1: nothing after the second part.
        const ptrdiff_t slash = FindText(path + 16, u"\\");
        if (slash <= 0 || !IsDigitText(path + 16, static_cast<size_t>(slash))) return false;
        const char16_t* part = path + 16 + slash + 1;
        if (FindText(part, u"\\") >= 0) return false;
        return (StartsWithFoldedText(part, u"DR") && IsDigitText(part + 2, TextLength(part) - 2)) ||
               (StartsWithFoldedText(part, u"Partition") &&
                IsDigitText(part + 9, TextLength(part) - 9));
    }
    for (const char16_t* dos : {u"\\\\.\\", u"\\??\\", u"\\GLOBAL??\\"}) {
        if (!StartsWithFoldedText(path, dos)) continue;
        const char16_t* name = path + TextLength(dos);
        const size_t n = TextLength(name);
        if (n == 2 && name[1] == u':' && FoldAscii(name[0]) >= u'a' && FoldAscii(name[0]) <= u'z') {
            return true;
        }
        return StartsWithFoldedText(name, u"PhysicalDrive") && IsDigitText(name + 13, n - 13);
    }
    return false;
}

// The name of the alternate data stream the path names ("file.txt:hidden" or
// "file.txt:hidden:$DATA" give "hidden"), as an offset and length into path; false for the
// unnamed data stream ("file.txt::$DATA"), a drive ("C:"), another stream type (a folder's index)
// and any path without a stream.
bool FindStreamName(const char16_t* path, size_t* start, size_t* length) {
    const char16_t* file = PathFileName(path);
    const ptrdiff_t colon = FindText(file, u":");
    if (colon <= 0) return false; // no stream, or a name that is only a stream
    const char16_t* name = file + colon + 1;
    const ptrdiff_t second = FindText(name, u":");
    const size_t nameLength = second < 0 ? TextLength(name) : static_cast<size_t>(second);
    if (nameLength == 0) return false;
    if (second >= 0 && !EqualsFolded(name + second + 1, u"$DATA")) return false;
    *start = static_cast<size_t>(name - path);
    *length = nameLength;
    return true;
}

// The kind of an open, a write or a create of a followed process from its device-form path: a
// pipe created or connected to, a stream created, a disk opened whole; else the opcode's kind.
RowKind KindOfNamedRequest(const EventRecord* event, uint8_t opcode, const char16_t* path,
                           RowKind kind) {
    size_t start = 0;
    size_t length = 0;
    if (opcode == kOpWrite) {
        return !IsPipePath(path) && FindStreamName(path, &start, &length)
                   ? RowKind::WroteAlternateDataStream
                   : kind;
    }
    if (opcode != kOpCreate) return kind;
    const bool pipe = IsPipePath(path);
    const bool stream = !pipe && FindStreamName(path, &start, &length);
    if (!pipe && !stream) return IsRawDiskPath(path) ? RowKind::OpenedDiskForRawAccess : kind;
    const uint32_t disposition =
        static_cast<uint32_t>(ReadIntProperty(event, u"CreateOptions") >> 24) & 0xFF;
    if (pipe) {
        // The server end is made with a create disposition; a client opens an existing pipe.
        return disposition == kDispositionCreate || disposition == kDispositionOpenIf
                   ? RowKind::CreatedPipe
                   : RowKind::ConnectedToPipe;
    }
    // An open of an existing stream that may not create it reads a stream (a zone mark checked).
    return disposition == kDispositionOpen ? kind : RowKind::WroteAlternateDataStream;
}

// A pipe is shown as programs name it: \\.\pipe\NAME.
void ShowPipePath(char16_t* path) {
    if (!StartsWithFoldedText(path, kPipeDevice)) return;
    char16_t shown[kPathChars];
    CopyBounded(shown, kPathChars, kPipeShown);
    AppendBounded(shown, kPathChars, path + kPipeDeviceChars);
    CopyBounded(path, kPathChars, shown);
}

// "Stream: NAME", and the size written after it when there is one.
void DescribeStream(const char16_t* path, uint32_t written, char16_t* detail) {
    size_t start = 0;
    size_t length = 0;
    if (!FindStreamName(path, &start, &length)) return;
    CopyBounded(detail, kDetailChars, u"Stream: ");
    AppendBoundedN(detail, kDetailChars, path + start, length);
    char16_t size[32];
    size[0] = 0;
    FormatIoSize(written, size, 32);
    if (size[0] != 0) {
        AppendBounded(detail, kDetailChars, u", ");
        AppendBounded(detail, kDetailChars, size);
    }
}

} // namespace

bool KeepsScoreFromHold(const EventRecord* event, const EventRow* row) {
    return event != nullptr && row != nullptr && event->header.providerId == kFileIoProvider &&
           event->header.descriptor.opcode == kOpOperationEnd &&
           ClassifyResult(row->result) != ResultFailed;
}

bool DecodeFileIoEvent(TrackingState* ts, const EventRecord* event, EventRow* row, int64_t t,
                       RowKind* kind) {
    if (ts == nullptr || event == nullptr || row == nullptr || kind == nullptr) return false;
    const uint8_t opcode = event->header.descriptor.opcode;
    switch (opcode) {
    case kOpNameEvent:
    case kOpFileCreate:
    case kOpFileDelete:
    case kOpFileRundown:
        LearnFromNameEvent(ts, event, opcode, t);
        return false;
    case kOpOperationEnd:
        return CompleteHeldRow(ts, event, row, kind);
    default:
        break;
    }

    if (!IsProcessFollowed(ts, event->header.processId, t)) return false;
    if (opcode == 39 || opcode == 40) return false;
    StartRow(event, row);
    *kind = SetFileOperation(opcode, row);

    ReadWideStringProperty(event, u"OpenPath", row->path, kPathChars);
    if (row->path[0] == 0) ReadWideStringProperty(event, u"FileName", row->path, kPathChars);
    const uint64_t fileObject = ReadPointerProperty(event, u"FileObject");
    const uint64_t fileKey = ReadPointerProperty(event, u"FileKey");

    if (row->path[0] == 0 && fileObject != 0) {
        LookupFileName(ts, fileObject, t, row->path, kPathChars);
    } else if ((opcode == kOpListFolder || opcode == kOpWatchFolder) && fileObject != 0) {
        JoinFolderWithPattern(ts, fileObject, t, row->path);
    }
    if (row->path[0] == 0 && fileKey != 0) LookupFileName(ts, fileKey, t, row->path, kPathChars);
    if (row->path[0] == 0) {
        // Never guessed: a name from anything else could name the wrong file.
        CopyBounded(row->path, kPathChars, u"(file not identified)");
        AtomicAdd(ts->filesNotIdentified, 1);
    } else {
        if (opcode == kOpCreate || opcode == kOpCreateNewFile) {
            if (fileObject != 0) RememberFileName(ts, fileObject, row->path, t, true);
            if (fileKey != 0) RememberFileName(ts, fileKey, row->path, t, false);
        }
        const RowKind named = KindOfNamedRequest(event, opcode, row->path, *kind);
        if (named != *kind) *kind = SetRowKind(row, named);
        TranslateDevicePath(ts, row->path, kPathChars);
        ShowPipePath(row->path);
    }

    if (*kind == RowKind::WroteAlternateDataStream) {
        DescribeStream(row->path,
                       opcode == kOpWrite ? static_cast<uint32_t>(ReadIntProperty(event, u"IoSize"))
                                          : 0,
                       row->detail);
    } else if (opcode == kOpRead || opcode == kOpWrite) {
        FormatIoSize(ReadIntProperty(event, u"IoSize"), row->detail, kDetailChars);
    }
    if (opcode == kOpClose && fileObject != 0) ForgetFileName(ts, fileObject, t);

    NoteFileRequestForSweep(ts, t);
    if (row->process[0] == 0) LookupProcessName(ts, row->pid, t, row->process, kProcessChars);

    const uint64_t irp = ReadPointerProperty(event, u"IrpPtr");
    if (irp != 0 && AreFileRowsHeld(ts)) {
        row->severity =
            static_cast<uint32_t>(ScoreRowOfKind(row, *kind, row->threat, kThreatChars));
        HoldFileRow(ts, irp, t, row);
        return false;
    }
    CopyBounded(row->result, kResultChars, u"-");
    return true;
}

} // namespace olv
