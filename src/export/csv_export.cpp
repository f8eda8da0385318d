// CSV export of the shown rows: UTF-16LE with its byte order mark, CR LF, a block of comment
// lines about the recording, the column row, and one line per shown row.
#include "base/format.h"
#include "base/note_text.h"
#include "base/product.h"
#include "base/text.h"
#include "export/export_common.h"
#include "export/exports.h"
#include "export/safe_file.h"
#include "export/snapshot.h"
#include "platform/lock.h"
#include "platform/memory.h"
#include "platform/ui.h"
#include "record/app_state.h"
#include "report/completeness.h"
#include "rules/threat_rules.h"
#include "views/row_store.h"

namespace olv {

namespace {

constexpr size_t kCommentChars = 8192;
constexpr size_t kRowLineChars = 4096;
constexpr size_t kTimeChars = 48; // a time of any field values: 41 characters
constexpr size_t kPidChars = 96;

const char16_t kColumnRow[] =
    u"Time,Severity,PID,Process,Category,Operation,Path,Detail,Result,Threat\r\n";

// One row line: every piece goes in while fewer than capacity - 1 characters are used.
struct LineBuilder {
    char16_t* text;
    size_t used;

    void Put(char16_t c) {
        if (used < kRowLineChars - 1) text[used++] = c;
    }
    void PutText(const char16_t* s, size_t maxChars) {
        for (size_t i = 0; s != nullptr && i < maxChars && s[i] != 0; ++i)
            Put(s[i]);
    }
    // A quoted column: quotes doubled; a doubled quote that no longer fits is dropped whole.
    void PutQuoted(const char16_t* s, size_t maxChars) {
        Put(u'"');
        for (size_t i = 0; s != nullptr && i < maxChars && s[i] != 0; ++i) {
            if (s[i] == u'"') {
                if (used + 2 <= kRowLineChars - 1) {
                    Put(u'"');
                    Put(u'"');
                }
            } else {
                Put(s[i]);
            }
        }
        Put(u'"');
    }
};

size_t BuildRowLine(const EventRow& row, char16_t* line) {
    LineBuilder b{line, 0};
    char16_t time[kTimeChars];
    FormatLongTime(row.time, time, kTimeChars);
    b.PutText(time, kTimeChars);
    b.Put(u',');
    b.PutText(SeverityLabel(row.severity), SIZE_MAX);
    b.Put(u',');
    char16_t process[kProcessChars] = {};
    AppendBoundedN(process, kProcessChars, row.process, kProcessChars - 1);
    char16_t pid[kPidChars];
    if (process[0] != 0) {
        FormatText(pid, kPidChars, u"%lu (%s)", row.pid, process);
    } else {
        FormatText(pid, kPidChars, u"%lu", row.pid);
    }
    b.PutQuoted(pid, kPidChars);
    b.Put(u',');
    b.PutQuoted(process, kProcessChars);
    b.Put(u',');
    b.PutText(CategoryLabel(row.category), SIZE_MAX);
    b.Put(u',');
    b.PutQuoted(row.operation, kOperationChars);
    b.Put(u',');
    b.PutQuoted(row.path, kPathChars);
    b.Put(u',');
    b.PutQuoted(row.detail, kDetailChars);
    b.Put(u',');
    b.PutQuoted(row.result, kResultChars);
    b.Put(u',');
    b.PutQuoted(row.threat, kThreatChars);
    b.Put(u'\r');
    b.Put(u'\n');
    line[b.used] = 0;
    // File and key names may hold a lone surrogate (and a cut may split a pair): readers of a
    // UTF-16 file refuse it whole, so it is written as U+FFFD.
    ReplaceUnpairedSurrogates(line, b.used);
    return b.used;
}

// The comment block: header lines, view lines, then the completeness notes or the line saying
// that nothing is known to be missing.
void BuildCommentBlock(AppState* app, const RecordingInfo& snap, char16_t* block,
                       char16_t* scratch) {
    BuildHeaderLines(&snap, app->recordingInfoValid != 0, block, kCommentChars, u"# ");
    DescribeView(app, scratch, kCommentChars, u"# ");
    AppendBounded(block, kCommentChars, scratch);
    if (BuildCompletenessNotes(app, scratch, kCommentChars, u"#   ") > 0) {
        AppendBounded(block, kCommentChars, u"# This record is incomplete:\r\n");
        AppendBounded(block, kCommentChars, scratch);
    } else {
        AppendBounded(block, kCommentChars,
                      u"# Nothing is known to be missing from what was recorded.\r\n");
    }
    ReplaceUnpairedSurrogates(block, TextLength(block));
}

uint32_t TextBytes(const char16_t* text) {
    return static_cast<uint32_t>(TextLength(text) * sizeof(char16_t));
}

} // namespace

void ExportCsv(AppState* app) {
    static const char16_t kFilter[] = u"CSV (*.csv)\0*.csv\0Text (*.txt)\0*.txt\0";
    char16_t path[kSafeTargetPathChars];
    if (!AskSavePath(app, kFilter, u"csv", path)) return;
    ExportCsvToPath(app, path);
}

namespace {

// The file itself: mark, comment block, column row, the shown rows. rowsLock is held.
FileOutcome WriteCsvFile(AppState* app, const char16_t* path, const char16_t* block,
                         uint32_t* openError) {
    SafeFileWriter writer;
    if (!OpenSafeFile(&writer, path)) {
        *openError = writer.openError;
        return kFileNotOpened;
    }
    static const unsigned char kBom[2] = {0xFF, 0xFE};
    WriteBytes(&writer, kBom, sizeof kBom);
    WriteBytes(&writer, block, TextBytes(block));
    WriteBytes(&writer, kColumnRow, TextBytes(kColumnRow));

    char16_t* line = static_cast<char16_t*>(AllocZeroed(kRowLineChars * sizeof(char16_t)));
    if (line == nullptr) {
        writer.ok = false;
    } else {
        for (int32_t i = 0; i < app->shownCount && writer.ok; ++i) {
            const int32_t index = app->shownRows[i];
            if (index < 0 || index >= app->rowCount) {
                writer.ok = false;
                break;
            }
            const size_t length = BuildRowLine(app->rows[index], line);
            WriteBytes(&writer, line, static_cast<uint32_t>(length * sizeof(char16_t)));
        }
        FreeBlock(line);
    }
    return CommitFile(&writer);
}

constexpr char16_t kCsvFailure[] = u"The CSV could not be written. Nothing was changed: any file "
                                   u"that was already there has been left as it was.";

} // namespace

bool ExportCsvToPath(AppState* app, const char16_t* path) {
    RecordingInfo snap{};
    if (!TakeRecordingSnapshot(app, &snap, true)) return false;

    char16_t* block = static_cast<char16_t*>(AllocZeroed(kCommentChars * sizeof(char16_t)));
    char16_t* scratch = static_cast<char16_t*>(AllocZeroed(kCommentChars * sizeof(char16_t)));
    if (block == nullptr || scratch == nullptr) {
        // Nothing was written; say so rather than leave the command without an answer.
        FreeBlock(block);
        FreeBlock(scratch);
        return ReportFileOutcome(app, kFileNotWritten, 0, nullptr, kCsvFailure, path, 0);
    }
    BuildCommentBlock(app, snap, block, scratch);
    FreeBlock(scratch);

    FileOutcome outcome;
    uint32_t openError = 0;
    int32_t count;
    {
        LockGuard rows(&app->rowsLock); // the rows stay as they are while they are written
        count = app->shownCount;
        outcome = WriteCsvFile(app, path, block, &openError);
    }
    FreeBlock(block);
    return ReportFileOutcome(app, outcome, count, u"%d events written to CSV.", kCsvFailure, path,
                             openError);
}

} // namespace olv
