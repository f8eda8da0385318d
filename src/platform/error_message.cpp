#include "platform/error_message.h"

#include "base/format.h"
#include "base/text.h"
#include "platform/process.h"

namespace olv {

void SystemErrorMessage(uint32_t error, char16_t* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return;
    char16_t text[kSystemErrorTextChars] = {};
    SystemErrorText(error, text, kSystemErrorTextChars);
    char16_t bare[32];
    FormatText(bare, 32, u"Error %lu", error);
    if (TextEquals(text, bare)) {
        CopyBounded(out, capacity, text);
    } else {
        FormatText(out, capacity, u"%s (%lu)", text, error);
    }
}

} // namespace olv
