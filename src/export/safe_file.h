// SafeFileWriter: writes a file through a new temporary file beside the target and moves it over
// the target only when every write succeeded, so a file is either complete or absent.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/files.h"

namespace olv {

// The longest target path taken is kSafeTargetPathChars less the terminator: well past MAX_PATH,
// which the file calls of the platform lift (platform/long_path.h). The temporary path has room
// for the target and its longest suffix (".part63"), so it is never cut.
constexpr size_t kSafeTargetPathChars = 1024;
constexpr size_t kSafeTempPathChars = kSafeTargetPathChars + 8;
constexpr int kSafeFileAttempts = 64;

struct SafeFileWriter {
    FileHandle handle;                     // the temporary file; null when none is open
    char16_t tempPath[kSafeTempPathChars]; // target + ".part" or ".partN"
    char16_t targetPath[kSafeTargetPathChars];
    bool ok; // cleared by the first failed write, flush or conversion; stays cleared
    uint32_t openError; // why OpenSafeFile created no temporary file (a system error code)
};

// The one length limit of a target path: not empty, and held whole. Whoever checks a path before
// writing checks it with this, so no check passes a path the writer then refuses.
bool SafeTargetLengthFits(size_t length);
// Creates the temporary file (".part", then ".part1" to ".part63" when taken). False when none
// could be created; the writer is then not ok and holds no temporary path.
bool OpenSafeFile(SafeFileWriter* writer, const char16_t* targetPath);
// Whether a file could be written to targetPath now: opens the temporary file a writer would
// write through and removes it again, so the name, its length and the folder are checked exactly
// as the writer will meet them. *error (when not null) gets the system error when not.
bool ProbeSafeFile(const char16_t* targetPath, uint32_t* error);
// Converts the terminated text to UTF-8 and writes it with one write. An empty text writes
// nothing.
void WriteUtf8(SafeFileWriter* writer, const char16_t* text);
// Writes the bytes as they are (one write).
void WriteBytes(SafeFileWriter* writer, const void* data, uint32_t bytes);
// Flushes and closes the temporary file and moves it over the target. True when the target now
// holds the new file; false when nothing was changed (the temporary file is deleted).
bool CommitSafeFile(SafeFileWriter* writer);

} // namespace olv
