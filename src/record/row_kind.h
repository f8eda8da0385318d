// RowKind: what a row is, as a number rather than as its display text. Every row the decoders
// and the core produce has a kind of its own; the kind names the row's category and its
// operation text, so a row keeps no text for its operation. A row whose operation text no kind
// has (an opcode without a name, shown as "File operation (90)", or a row from an older or
// damaged session file) is of kind Other and keeps its text, so nothing is lost.
//
// The numbers are written into compact session files: a kind keeps its number for good, new
// kinds are appended before kCount.
#pragma once

#include <cstddef>
#include <cstdint>

#include "record/event_row.h"

namespace olv {

// X(name, category, operation text), in the order of their numbers.
#define OLV_ROW_KINDS(X)                                                                           \
    X(Other, kCategoryFile, u"")                                                                   \
    /* File */                                                                                     \
    X(MappedFile, kCategoryFile, u"Mapped file into memory")                                       \
    X(UnmappedFile, kCategoryFile, u"Unmapped file")                                               \
    X(OpenedFile, kCategoryFile, u"Opened file")                                                   \
    X(ReleasedFileHandle, kCategoryFile, u"Released file handle")                                  \
    X(ClosedFile, kCategoryFile, u"Closed file")                                                   \
    X(ReadFile, kCategoryFile, u"Read file")                                                       \
    X(WroteFile, kCategoryFile, u"Wrote to file")                                                  \
    X(ChangedFileInformation, kCategoryFile, u"Changed file information")                          \
    X(DeletedFile, kCategoryFile, u"Deleted file")                                                 \
    X(RenamedFile, kCategoryFile, u"Renamed file")                                                 \
    X(ListedFolder, kCategoryFile, u"Listed folder")                                               \
    X(FlushedFile, kCategoryFile, u"Flushed file")                                                 \
    X(ReadFileInformation, kCategoryFile, u"Read file information")                                \
    X(FileSystemControl, kCategoryFile, u"File system control")                                    \
    X(WatchingFolder, kCategoryFile, u"Watching folder for changes")                               \
    X(DeletedFileByPath, kCategoryFile, u"Deleted file by path")                                   \
    X(RenamedFileByPath, kCategoryFile, u"Renamed file by path")                                   \
    X(CreatedLink, kCategoryFile, u"Created link")                                                 \
    X(CreatedNewFile, kCategoryFile, u"Created new file")                                          \
    X(SetFilePermissions, kCategoryFile, u"Set file permissions")                                  \
    X(ReadFilePermissions, kCategoryFile, u"Read file permissions")                                \
    X(SetExtendedAttributes, kCategoryFile, u"Set extended attributes")                            \
    X(ReadExtendedAttributes, kCategoryFile, u"Read extended attributes")                          \
    /* Registry */                                                                                 \
    X(CreatedRegistryKey, kCategoryRegistry, u"Created registry key")                              \
    X(OpenedRegistryKey, kCategoryRegistry, u"Opened registry key")                                \
    X(DeletedRegistryKey, kCategoryRegistry, u"Deleted registry key")                              \
    X(ReadRegistryKey, kCategoryRegistry, u"Read registry key")                                    \
    X(WroteRegistryValue, kCategoryRegistry, u"Wrote registry value")                              \
    X(DeletedRegistryValue, kCategoryRegistry, u"Deleted registry value")                          \
    X(ReadRegistryValue, kCategoryRegistry, u"Read registry value")                                \
    X(ListedRegistryKeys, kCategoryRegistry, u"Listed registry keys")                              \
    X(ListedRegistryValues, kCategoryRegistry, u"Listed registry values")                          \
    X(ReadSeveralRegistryValues, kCategoryRegistry, u"Read several registry values")               \
    X(ChangedRegistryKeyInformation, kCategoryRegistry, u"Changed registry key information")       \
    X(FlushedRegistryKey, kCategoryRegistry, u"Flushed registry key")                              \
    X(ClosedRegistryKey, kCategoryRegistry, u"Closed registry key")                                \
    /* Network */                                                                                  \
    X(SentTcp, kCategoryNetwork, u"Sent data (TCP)")                                               \
    X(ReceivedTcp, kCategoryNetwork, u"Received data (TCP)")                                       \
    X(ConnectedTcp, kCategoryNetwork, u"Connected (TCP)")                                          \
    X(DisconnectedTcp, kCategoryNetwork, u"Disconnected (TCP)")                                    \
    X(RetransmittedTcp, kCategoryNetwork, u"Retransmitted (TCP)")                                  \
    X(AcceptedTcp, kCategoryNetwork, u"Accepted a connection (TCP)")                               \
    X(ReconnectedTcp, kCategoryNetwork, u"Reconnected (TCP)")                                      \
    X(CopiedTcp, kCategoryNetwork, u"Copied data (TCP)")                                           \
    X(SentUdp, kCategoryNetwork, u"Sent data (UDP)")                                               \
    X(ReceivedUdp, kCategoryNetwork, u"Received data (UDP)")                                       \
    X(DnsQuery, kCategoryNetwork, u"DNS query")                                                    \
    X(DnsAnswer, kCategoryNetwork, u"DNS answer")                                                  \
    /* Process */                                                                                  \
    X(StartedProcess, kCategoryProcess, u"Started process")                                        \
    X(StartedChildProcess, kCategoryProcess, u"Started child process")                             \
    X(ProcessExited, kCategoryProcess, u"Process exited")                                          \
    X(TargetProcessExited, kCategoryProcess, u"Target process exited")                             \
    X(LoadedDll, kCategoryProcess, u"Loaded DLL")                                                  \
    X(UnloadedDll, kCategoryProcess, u"Unloaded DLL")                                              \
    /* File: pipes, streams and whole disks, decided from the open and the write */                \
    X(CreatedPipe, kCategoryFile, u"Created pipe")                                                 \
    X(ConnectedToPipe, kCategoryFile, u"Connected to pipe")                                        \
    X(WroteAlternateDataStream, kCategoryFile, u"Wrote alternate data stream")                     \
    X(OpenedDiskForRawAccess, kCategoryFile, u"Opened disk for raw access")                     \
    /* Scripts (Process) */                                                                        \
    X(RanScriptBlock, kCategoryProcess, u"Ran script block")                                       \
    X(LoggedModuleOutput, kCategoryProcess, u"Logged module output")                               \
    X(ScannedContent, kCategoryProcess, u"Scanned content")                                        \
    X(CreatedThreadInAnotherProcess, kCategoryProcess, u"Created thread in another process")       \
    /* Processes opened and drivers (Process) */                                                   \
    X(OpenedProcess, kCategoryProcess, u"Opened process")                                          \
    X(LoadedDriver, kCategoryProcess, u"Loaded driver")

enum class RowKind : uint16_t {
#define OLV_ROW_KIND_ENUM(name, category, text) name,
    OLV_ROW_KINDS(OLV_ROW_KIND_ENUM)
#undef OLV_ROW_KIND_ENUM
        kCount
};

constexpr size_t kRowKindCount = static_cast<size_t>(RowKind::kCount);

// The kind's category (EventCategory); Other's rows keep their own.
uint32_t RowKindCategory(RowKind kind);
// The kind's operation text, terminated; "" for Other and for a number past the last kind.
const char16_t* RowKindOperation(RowKind kind);
// Its length in units.
size_t RowKindOperationLength(RowKind kind);
// The kind of a row of this category whose operation text is the first length units of
// operation: Other when no kind has both.
RowKind RowKindOf(uint32_t category, const char16_t* operation, size_t length);
// The same for a row's fields (the operation text up to its terminator).
RowKind RowKindOfRow(const EventRow& row);
// Whether rows of the kind are made by the recorder itself (the examined program's start and its
// exit as the launcher saw them) rather than decoded from the trace: the built-in rules never
// score them.
constexpr bool IsRecorderRowKind(RowKind kind) {
    return kind == RowKind::StartedProcess || kind == RowKind::TargetProcessExited;
}
// Makes the row one of this kind: its category and its operation text come from the table, so
// the two never disagree with the kind. Other (or a number past the last kind) leaves the row as
// it is. Returns kind.
RowKind SetRowKind(EventRow* row, RowKind kind);

} // namespace olv
