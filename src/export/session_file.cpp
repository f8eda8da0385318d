// Session files: the whole recording (header, RecordingInfo block, raw rows) saved and opened
// again. A file being opened is untrusted: every field is checked, every row repaired, and the
// recording in memory is replaced only after every check and read has succeeded.
#include <cstring>

#include "base/atomic.h"
#include "base/format.h"
#include "base/product.h"
#include "base/text.h"
#include "export/export_common.h"
#include "export/exports.h"
#include "export/safe_file.h"
#include "export/snapshot.h"
#include "platform/files.h"
#include "platform/lock.h"
#include "platform/memory.h"
#include "platform/ui.h"
#include "record/app_state.h"
#include "report/completeness.h"
#include "views/row_store.h"
#include "views/sigma_rows.h"

namespace olv {

namespace {

constexpr uint64_t kPieceBytes = 64ull * 1024 * 1024;
constexpr int64_t kDataStartV1 = sizeof(SessionHeader);
constexpr int64_t kDataStartV2 = sizeof(SessionHeader) + kRecordingInfoSize;
constexpr uint32_t kMaxCategory = 4;
constexpr uint32_t kMaxSeverity = 3;
constexpr size_t kNotesChars = 8192;
constexpr size_t kNotesMessageChars = 8600;

const char16_t* const kCaption = kProductName;
const char16_t kSessionFilter[] = u"Olvetta Session (*.ols)\0*.ols\0";

void ShowError(AppState* app, const char16_t* text) {
    UiMessageBox(app->mainWindow, text, kCaption, kIconError, kButtonsOk);
}

void ShowNotReadable(AppState* app) {
    ShowError(app, u"This is not a session file this version can read.");
}
void ShowDamaged(AppState* app) {
    ShowError(app, u"The session file is damaged.");
}
void ShowReadFailed(AppState* app) {
    ShowError(app,
              u"The session could not be read. What was already open has been left as it was.");
}

// Reads exactly bytes bytes; false on a failed or short read.
bool ReadExactly(FileHandle file, void* data, uint32_t bytes) {
    uint32_t got = 0;
    return ReadFileBytes(file, data, bytes, &got) && got == bytes;
}

bool ReadRows(FileHandle file, EventRow* rows, uint32_t count, uint32_t recordSize) {
    if (recordSize == kSessionRecordSize) {
        unsigned char* bytes = reinterpret_cast<unsigned char*>(rows);
        uint64_t left = uint64_t{count} * kSessionRecordSize;
        while (left > 0) {
            const uint32_t piece = static_cast<uint32_t>(left < kPieceBytes ? left : kPieceBytes);
            if (!ReadExactly(file, bytes, piece)) return false;
            bytes += piece;
            left -= piece;
        }
        return true;
    }
    // Older records lack the last 20 bytes of a row; those stay zero.
    for (uint32_t i = 0; i < count; ++i) {
        if (!ReadExactly(file, &rows[i], kSessionRecordSizeV1)) return false;
    }
    return true;
}

// Makes a row from a file safe for the views: known category and severity, terminated texts.
void RepairRow(EventRow* row) {
    if (row->category > kMaxCategory) row->category = kMaxCategory;
    if (row->severity > kMaxSeverity) row->severity = 0;
    row->operation[kOperationChars - 1] = 0;
    row->path[kPathChars - 1] = 0;
    row->detail[kDetailChars - 1] = 0;
    row->result[kResultChars - 1] = 0;
    row->process[kProcessChars - 1] = 0;
    row->threat[kThreatChars - 1] = 0;
}

void ShowCompletenessAfterOpen(AppState* app) {
    char16_t* notes = static_cast<char16_t*>(AllocZeroed(kNotesChars * sizeof(char16_t)));
    char16_t* text = static_cast<char16_t*>(AllocZeroed(kNotesMessageChars * sizeof(char16_t)));
    if (notes != nullptr && text != nullptr &&
        BuildCompletenessNotes(app, notes, kNotesChars, u"  ") > 0) {
        CopyBounded(text, kNotesMessageChars,
                    u"This record does not contain everything that happened:\r\n\r\n");
        AppendBounded(text, kNotesMessageChars, notes);
        UiMessageBox(app->mainWindow, text, kCaption, kIconWarning, kButtonsOk);
    }
    FreeBlock(notes);
    FreeBlock(text);
}

// The file itself: header, the recording's block, every row. rowsLock is held.
FileOutcome WriteSessionFile(AppState* app, const char16_t* path, RecordingInfo* snap) {
    SafeFileWriter writer;
    if (!OpenSafeFile(&writer, path)) return kFileNotOpened;
    SessionHeader header{};
    std::memcpy(header.magic, "OLVS", 4);
    header.version = kSessionVersion;
    header.recordSize = kSessionRecordSize;
    header.rowCount = static_cast<uint32_t>(app->rowCount);
    WriteBytes(&writer, &header, sizeof header);

    // A recording opened from an old file has an all-zero block; what is written now says what
    // was kept, so the old file's "completeness unknown" does not travel on.
    snap->blockSize = kRecordingInfoSize;
    snap->flags &= ~static_cast<uint32_t>(completenessUnknown);
    WriteBytes(&writer, snap, kRecordingInfoSize);

    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(app->rows);
    uint64_t left = app->rows == nullptr || app->rowCount <= 0
                        ? 0
                        : uint64_t(static_cast<uint32_t>(app->rowCount)) * kSessionRecordSize;
    while (left > 0 && writer.ok) {
        const uint32_t piece = static_cast<uint32_t>(left < kPieceBytes ? left : kPieceBytes);
        WriteBytes(&writer, bytes, piece);
        bytes += piece;
        left -= piece;
    }

    return CommitFile(&writer);
}

} // namespace

void SaveSession(AppState* app) {
    char16_t path[kSafeTargetPathChars];
    if (!AskSavePath(app, kSessionFilter, u"ols", path)) return;
    SaveSessionToPath(app, path);
}

bool SaveSessionToPath(AppState* app, const char16_t* path) {
    RecordingInfo snap{};
    if (!TakeRecordingSnapshot(app, &snap, false)) return false;

    FileOutcome outcome;
    int32_t count;
    {
        LockGuard rows(&app->rowsLock); // the rows stay as they are while they are written
        count = app->rowCount;
        outcome = WriteSessionFile(app, path, &snap);
    }
    return ReportFileOutcome(app, outcome, count, u"%d events saved.",
                             u"The session could not be saved. Nothing was changed: any file "
                             u"that was already there has been left as it was.");
}

void OpenSession(AppState* app) {
    if (app->recording != 0) {
        UiMessageBox(app->mainWindow, u"Stop monitoring before opening a session.", kCaption,
                     kIconWarning, kButtonsOk);
        return;
    }
    char16_t path[kSafeTargetPathChars] = {};
    if (!UiOpenFileDialog(app->mainWindow, kSessionFilter, kOfnPathMustExist | kOfnFileMustExist,
                          path, kSafeTargetPathChars)) {
        return;
    }
    OpenSessionFromPath(app, path);
}

bool OpenSessionFromPath(AppState* app, const char16_t* path) {
    if (app->recording != 0) {
        UiMessageBox(app->mainWindow, u"Stop monitoring before opening a session.", kCaption,
                     kIconWarning, kButtonsOk);
        return false;
    }
    FileHandle file = OpenFileForReading(path, nullptr);
    if (file == nullptr) {
        ShowError(app, u"Failed to open file.");
        return false;
    }

    SessionHeader header{};
    int64_t fileSize = 0;
    if (!ReadExactly(file, &header, sizeof header) || std::memcmp(header.magic, "OLVS", 4) != 0 ||
        (header.recordSize != kSessionRecordSize && header.recordSize != kSessionRecordSizeV1) ||
        (header.version != 1 && header.version != kSessionVersion) || !FileSize(file, &fileSize)) {
        CloseFile(file);
        ShowNotReadable(app);
        return false;
    }

    const bool hasBlock = header.version == kSessionVersion;
    const int64_t dataStart = hasBlock ? kDataStartV2 : kDataStartV1;
    if (fileSize < dataStart || static_cast<int32_t>(header.rowCount) < 0 ||
        int64_t{header.rowCount} * header.recordSize != fileSize - dataStart) {
        CloseFile(file);
        ShowDamaged(app);
        return false;
    }

    RecordingInfo block{};
    if (hasBlock) {
        if (!ReadExactly(file, &block, kRecordingInfoSize) ||
            block.blockSize != kRecordingInfoSize) {
            CloseFile(file);
            ShowDamaged(app);
            return false;
        }
        block.target[519] = 0;
        block.tool[63] = 0;
    }

    const uint32_t count = header.rowCount;
    EventRow* rows = nullptr;
    if (count > 0) {
        rows = static_cast<EventRow*>(AllocZeroed(size_t{count} * sizeof(EventRow)));
        if (rows == nullptr) {
            CloseFile(file);
            ShowReadFailed(app);
            return false;
        }
        if (!ReadRows(file, rows, count, header.recordSize)) {
            FreeBlock(rows);
            CloseFile(file);
            ShowReadFailed(app);
            return false;
        }
        for (uint32_t i = 0; i < count; ++i)
            RepairRow(&rows[i]);
    }

    // Every check and read has succeeded: from here on the open cannot fail.
    ClearRows(app);
    if (hasBlock) {
        app->recordingInfo = block;
        app->recordingInfoValid = 1;
    } else {
        app->recordingInfo = RecordingInfo{};
        app->recordingInfo.flags = completenessUnknown;
        app->recordingInfoValid = 0;
    }
    AtomicExchange(app->droppedHere, 0);

    EnterLock(&app->rowsLock);
    if (rows != nullptr) {
        FreeBlock(app->rows);
        app->rows = rows;
        app->rowCount = static_cast<int32_t>(count);
        app->rowCapacity = static_cast<int32_t>(count);
    }
    LearnOperationNames(app, 0, app->rowCount);
    LeaveLock(&app->rowsLock);
    CloseFile(file);
    if (SigmaRulesLoaded(app)) {
        // The loaded rules judge the session's rows afresh (this also rebuilds the view).
        MatchAllRows(app);
    } else {
        RebuildShownRows(app);
    }

    ShowCompletenessAfterOpen(app);
    return true;
}

} // namespace olv
