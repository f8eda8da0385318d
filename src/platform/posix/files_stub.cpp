// Placeholder until the real implementation lands; delete this file when it does.
#include "platform/files.h"

namespace olv {

FileHandle CreateNewFile(const char16_t*, uint32_t*) { return 0; }
FileHandle OpenFileForReading(const char16_t*, uint32_t*) { return 0; }
bool WriteFileBytes(FileHandle, const void*, uint32_t, uint32_t*) { return false; }
bool ReadFileBytes(FileHandle, void*, uint32_t, uint32_t*) { return false; }
bool FlushFile(FileHandle) { return false; }
bool FileSize(FileHandle, int64_t*) { return false; }
void CloseFile(FileHandle) {}
bool MoveFileReplacing(const char16_t*, const char16_t*) { return false; }
bool DeleteFilePath(const char16_t*) { return false; }
bool ReadFileAttributes(const char16_t*, bool*) { return false; }
void FailNthFileWrite(int64_t) {}
void FailNthFileFlush(int64_t) {}
void FailNthFileMove(int64_t) {}
void ResetFileFaults() {}
void SetSimulatedFileAttributes(const char16_t*, bool) {}

} // namespace olv
