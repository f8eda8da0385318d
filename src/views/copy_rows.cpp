#include "views/copy_rows.h"

#include <cstring>

#include "base/format.h"
#include "platform/growth.h"
#include "base/note_text.h"
#include "base/reveal_text.h"
#include "base/text.h"
#include "platform/memory.h"
#include "platform/ui.h"
#include "record/recording.h"
#include "record/stored_rows.h"
#include "rules/threat_rules.h"
#include "views/view_texts.h"

namespace olv {

const char16_t kCopyHeaderLine[] =
    u"Time\tSeverity\tPID\tProcess\tCategory\tOperation\tPath\tDetail\tResult\tThreat\r\n";

namespace {

constexpr size_t kCopyTimeChars = 48;
constexpr size_t kCopyPidChars = 96;

bool StartsFormula(char16_t c) {
    return c == u'=' || c == u'+' || c == u'-' || c == u'@';
}

// A field written at out[len...]; the length afterwards. Everything bounded by capacity - 1.
size_t PutField(char16_t* out, size_t capacity, size_t len, const char16_t* text,
                size_t textChars) {
    if (text == nullptr) return len;
    const size_t limit = capacity - 1;
    if (textChars > 0 && text[0] != 0 && StartsFormula(text[0])) {
        if (len + 1 > limit) return len;
        out[len++] = u'\'';
    }
    for (size_t i = 0; i < textChars && text[i] != 0;) {
        uint32_t c = text[i];
        size_t units = 1;
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < textChars && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00u);
            units = 2;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD; // a lone surrogate
        }
        if (IsControlCharacter(c) || IsHiddenFormatChar(c)) {
            char16_t mark[kRevealMarkChars];
            const size_t n = FormatRevealMark(c, mark);
            if (len + n > limit) break;
            for (size_t k = 0; k < n; ++k)
                out[len++] = mark[k];
        } else {
            if (len + units > limit) break;
            if (units == 2) {
                out[len++] = text[i];
                out[len++] = text[i + 1];
            } else {
                out[len++] = static_cast<char16_t>(c);
            }
        }
        i += units;
    }
    return len;
}

size_t PutText(char16_t* out, size_t capacity, size_t len, const char16_t* text) {
    for (size_t i = 0; text[i] != 0 && len + 1 <= capacity - 1; ++i)
        out[len++] = text[i];
    return len;
}

} // namespace

size_t AppendCopyField(char16_t* out, size_t capacity, const char16_t* text, size_t textChars) {
    if (out == nullptr || capacity == 0) return 0;
    const size_t len = PutField(out, capacity, FieldTextLength(out, capacity - 1), text, textChars);
    out[len] = 0;
    return len;
}

size_t BuildCopyLine(const EventRow& row, char16_t* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return 0;
    char16_t time[kCopyTimeChars];
    FormatLongTime(row.time, time, kCopyTimeChars);
    char16_t pid[kCopyPidChars];
    FormatText(pid, kCopyPidChars, u"%lu", row.pid);
    size_t len = 0;
    len = PutField(out, capacity, len, time, kCopyTimeChars);
    len = PutText(out, capacity, len, u"\t");
    len = PutField(out, capacity, len, SeverityLabel(row.severity), 16);
    len = PutText(out, capacity, len, u"\t");
    // The PID column as the CSV writes it: "1234 (name)" when the process is named.
    len = PutField(out, capacity, len, pid, kCopyPidChars);
    if (FieldTextLength(row.process, kProcessChars) > 0) {
        len = PutText(out, capacity, len, u" (");
        len = PutField(out, capacity, len, row.process, kProcessChars);
        len = PutText(out, capacity, len, u")");
    }
    len = PutText(out, capacity, len, u"\t");
    len = PutField(out, capacity, len, row.process, kProcessChars);
    len = PutText(out, capacity, len, u"\t");
    len = PutField(out, capacity, len, CategoryLabel(row.category), 16);
    len = PutText(out, capacity, len, u"\t");
    len = PutField(out, capacity, len, row.operation, kOperationChars);
    len = PutText(out, capacity, len, u"\t");
    len = PutField(out, capacity, len, row.path, kPathChars);
    len = PutText(out, capacity, len, u"\t");
    len = PutField(out, capacity, len, row.detail, kDetailChars);
    len = PutText(out, capacity, len, u"\t");
    len = PutField(out, capacity, len, row.result, kResultChars);
    len = PutText(out, capacity, len, u"\t");
    len = PutField(out, capacity, len, row.threat, kThreatChars);
    len = PutText(out, capacity, len, u"\r\n");
    out[len] = 0;
    return len;
}

char16_t* BuildCopyText(Recording* app, const int32_t* items, int32_t count, size_t* length) {
    *length = 0;
    char16_t* line = static_cast<char16_t*>(AllocZeroed(kCopyLineChars * sizeof(char16_t)));
    if (line == nullptr) return nullptr;
    const size_t header = TextLength(kCopyHeaderLine);
    // Room for an average row of 256 characters; grows by doubling.
    size_t capacity = header + 1 + static_cast<size_t>(count > 0 ? count : 0) * 256;
    char16_t* text = static_cast<char16_t*>(AllocZeroed(capacity * sizeof(char16_t)));
    if (text == nullptr) {
        FreeBlock(line);
        return nullptr;
    }
    std::memcpy(text, kCopyHeaderLine, header * sizeof(char16_t));
    size_t used = header;
    bool refused = false;
    EventRow row; // each row unpacked in turn
    {
        LockGuard guard(&app->rowsLock);
        for (int32_t i = 0; i < count && !refused; ++i) {
            if (items[i] < 0 || items[i] >= app->shownCount) continue;
            ReadStoredRow(app, app->shownRows[items[i]], &row);
            const size_t n = BuildCopyLine(row, line, kCopyLineChars);
            if (!GrowArray(&text, &capacity, used, used + n + 1, capacity, SIZE_MAX)) {
                refused = true;
                break;
            }
            std::memcpy(text + used, line, n * sizeof(char16_t));
            used += n;
        }
    }
    FreeBlock(line);
    if (refused) {
        FreeBlock(text);
        return nullptr;
    }
    text[used] = 0;
    *length = used;
    return text;
}

char16_t* BuildCellCopyText(Recording* app, int item, int column) {
    char16_t* cell = static_cast<char16_t*>(AllocZeroed(kDisplayBufferChars * sizeof(char16_t)));
    char16_t* text = static_cast<char16_t*>(AllocZeroed(kDisplayBufferChars * sizeof(char16_t)));
    bool built = false;
    // The cell as the list shows it (hidden characters already marked), then written safely.
    if (cell != nullptr && text != nullptr &&
        ListDisplayText(app, item, column, cell, kDisplayBufferChars)) {
        AppendCopyField(text, kDisplayBufferChars, cell, kDisplayBufferChars);
        built = true;
    }
    FreeBlock(cell);
    if (built) return text;
    FreeBlock(text);
    return nullptr;
}

} // namespace olv
