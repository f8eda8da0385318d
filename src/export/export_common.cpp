#include "export/export_common.h"

#include "base/format.h"
#include "platform/error_message.h"
#include "platform/ui.h"
#include "record/recording.h"

namespace olv {

FileOutcome CommitFile(SafeFileWriter* writer) {
    return CommitSafeFile(writer) ? kFileWritten : kFileNotWritten;
}

void FormatFileFailure(char16_t* out, size_t capacity, const char16_t* what, uint32_t error,
                       const char16_t* path) {
    char16_t reason[kErrorMessageChars];
    SystemErrorMessage(error, reason, kErrorMessageChars);
    FormatText(out, capacity, u"%s: %s\n\nFile: %s", what, reason, path);
}

bool FileWriteOutcome(Outcome* out, FileOutcome outcome, int32_t count,
                      const char16_t* successFormat, const char16_t* failureText,
                      const char16_t* path, uint32_t openError) {
    if (outcome == kFileWritten) {
        char16_t text[256];
        FormatText(text, 256, successFormat, count);
        SetOutcome(out, OutcomeCode::kOk, kIconInformation, text);
        return true;
    }
    // Room for the longest path taken beside the reason, so the path is named whole.
    constexpr size_t kTextChars = kSafeTargetPathChars + 1024;
    static_assert(kTextChars <= kOutcomeTextChars, "the outcome holds the message whole");
    char16_t text[kTextChars];
    if (outcome == kFileNotOpened) {
        FormatFileFailure(text, kTextChars, u"The file could not be created", openError, path);
    } else {
        FormatText(text, kTextChars, u"%s\n\nFile: %s", failureText, path);
    }
    SetOutcome(out, OutcomeCode::kFileError, kIconError, text);
    return false;
}

} // namespace olv
