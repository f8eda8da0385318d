#include "export/safe_file.h"

#include "base/format.h"
#include "base/text.h"
#include "platform/memory.h"

namespace olv {

bool SafeTargetLengthFits(size_t length) {
    return length > 0 && length < kSafeTargetPathChars;
}

bool OpenSafeFile(SafeFileWriter* writer, const char16_t* targetPath) {
    writer->handle = nullptr;
    writer->ok = true;
    writer->tempPath[0] = 0;
    writer->openError = 0;
    CopyBounded(writer->targetPath, kSafeTargetPathChars, targetPath);
    // A path that does not fit would be cut, and the file would be moved to another name.
    // An empty one would put the temporary file in the current folder.
    const size_t length = TextLength(targetPath);
    if (!SafeTargetLengthFits(length)) {
        // ERROR_PATH_NOT_FOUND, ERROR_FILENAME_EXCED_RANGE: what the system says of such paths.
        writer->openError = length == 0 ? 3 : 206;
        writer->ok = false;
        return false;
    }
    for (int attempt = 0; attempt < kSafeFileAttempts; ++attempt) {
        char16_t suffix[16];
        if (attempt == 0) {
            CopyBounded(suffix, 16, u".part");
        } else {
            FormatText(suffix, 16, u".part%d", attempt);
        }
        CopyBounded(writer->tempPath, kSafeTempPathChars, writer->targetPath);
        AppendBounded(writer->tempPath, kSafeTempPathChars, suffix);
        uint32_t error = 0;
        FileHandle file = CreateNewFile(writer->tempPath, &error);
        if (file != nullptr) {
            writer->handle = file;
            return true;
        }
        writer->openError = error;
        if (error != kErrorFileExists) break;
    }
    // Nothing was created: keep a later commit from touching a file that is someone else's.
    writer->tempPath[0] = 0;
    writer->ok = false;
    return false;
}

bool ProbeSafeFile(const char16_t* targetPath, uint32_t* error) {
    SafeFileWriter writer;
    const bool opened = OpenSafeFile(&writer, targetPath);
    if (error != nullptr) *error = opened ? 0 : writer.openError;
    if (!opened) return false;
    CloseFile(writer.handle);
    DeleteFilePath(writer.tempPath);
    return true;
}

void WriteUtf8(SafeFileWriter* writer, const char16_t* text) {
    const size_t length = TextLength(text);
    const size_t bytes = Utf16ToUtf8(text, length, nullptr, 0);
    if (bytes == 0) return;
    if (bytes > UINT32_MAX) {
        writer->ok = false;
        return;
    }
    char* buffer = static_cast<char*>(AllocZeroed(bytes + 1));
    if (buffer == nullptr) {
        writer->ok = false;
        return;
    }
    Utf16ToUtf8(text, length, buffer, bytes + 1);
    if (writer->ok && writer->handle != nullptr) {
        uint32_t written = 0;
        if (!WriteFileBytes(writer->handle, buffer, static_cast<uint32_t>(bytes), &written) ||
            written != bytes) {
            writer->ok = false;
        }
    }
    FreeBlock(buffer);
}

void WriteBytes(SafeFileWriter* writer, const void* data, uint32_t bytes) {
    if (!writer->ok || writer->handle == nullptr || bytes == 0) return;
    uint32_t written = 0;
    if (!WriteFileBytes(writer->handle, data, bytes, &written) || written != bytes) {
        writer->ok = false;
    }
}

bool CommitSafeFile(SafeFileWriter* writer) {
    if (writer->handle != nullptr) {
        if (writer->ok && !FlushFile(writer->handle)) writer->ok = false;
        CloseFile(writer->handle);
        writer->handle = nullptr;
    }
    if (writer->ok && MoveFileReplacing(writer->tempPath, writer->targetPath)) return true;
    writer->ok = false;
    if (writer->tempPath[0] != 0) DeleteFilePath(writer->tempPath);
    return false;
}

} // namespace olv
