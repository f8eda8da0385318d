#include "base/note_text.h"

#include "base/format.h"
#include "base/text.h"

namespace olv {

void FormatLongTime(const SystemTime& t, char16_t* out, size_t capacity) {
    FormatText(out, capacity, u"%04d-%02d-%02d %02d:%02d:%02d.%03d", int32_t{t.year},
               int32_t{t.month}, int32_t{t.day}, int32_t{t.hour}, int32_t{t.minute},
               int32_t{t.second}, int32_t{t.milliseconds});
}

void AppendNoteLine(char16_t* out, size_t capacity, const char16_t* prefix, const char16_t* text,
                    int32_t* counter) {
    AppendBounded(out, capacity, prefix);
    const size_t start = TextLength(out);
    AppendBounded(out, capacity, text);
    // A line break or other control character from a recorded or loaded text would end the line
    // early and let the rest pass for a line of its own.
    BlankControlChars(out + start);
    AppendBounded(out, capacity, u"\r\n");
    if (counter != nullptr) ++*counter;
}

} // namespace olv
