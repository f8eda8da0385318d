// What the file commands share: the save dialog, and telling the user what became of the file.
#pragma once

#include <cstdint>

#include "export/safe_file.h"
#include "record/outcome.h"

namespace olv {

struct Recording; // record/recording.h

// What became of a file written under the row store's lock.
enum FileOutcome : int { kFileNotOpened, kFileWritten, kFileNotWritten };
// Commits the writer (the caller still holds rowsLock): written or not.
FileOutcome CommitFile(SafeFileWriter* writer);
// The outcome of a written file, once rowsLock is left: that the file could not be created (with
// the path and the system's message for openError, kFileError), successFormat filled with count
// (kOk, information icon) or failureText followed by the path (kFileError). Returns whether the
// target now holds the new file.
bool FileWriteOutcome(Outcome* out, FileOutcome outcome, int32_t count,
                      const char16_t* successFormat, const char16_t* failureText,
                      const char16_t* path, uint32_t openError);
// "<what>: <system message>\n\nFile: <path>", the form of every message of a file that failed.
void FormatFileFailure(char16_t* out, size_t capacity, const char16_t* what, uint32_t error,
                       const char16_t* path);

} // namespace olv
