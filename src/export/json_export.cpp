// JSON export of the shown rows: a head with the recording's metadata, completeness counters and
// notes, then one object per row, in a fixed layout (UTF-8 with its byte order mark, LF).
#include <initializer_list>

#include "base/format.h"
#include "base/note_text.h"
#include "base/product.h"
#include "base/text.h"
#include "export/export_common.h"
#include "export/exports.h"
#include "export/json_text.h"
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

constexpr size_t kJsonBufferChars = 16384;
constexpr size_t kViewChars = 4096;
constexpr size_t kNotesChars = 8192;
constexpr size_t kNoteLineChars = 512;
constexpr size_t kTimeChars = 48; // a time of any field values: 41 characters

void AppendJsonTime(char16_t* buf, size_t capacity, const SystemTime& t, bool present) {
    char16_t text[kTimeChars] = {};
    if (present) FormatLongTime(t, text, kTimeChars);
    AppendJsonString(buf, capacity, text);
}

// Each non-empty line of the notes becomes one array element (piece 21 of the head).
void AppendNoteElements(char16_t* head, size_t capacity, const char16_t* notes) {
    char16_t line[kNoteLineChars];
    size_t used = 0;
    bool first = true;
    for (size_t i = 0;; ++i) {
        const char16_t c = notes[i];
        if (c == u'\r') continue;
        if (c == u'\n' || c == 0) {
            if (used > 0) {
                line[used] = 0;
                AppendBounded(head, capacity, first ? u"\n      " : u",\n      ");
                AppendJsonString(head, capacity, line);
                first = false;
            }
            used = 0;
            if (c == 0) break;
            continue;
        }
        if (used < kNoteLineChars - 1) line[used++] = c;
    }
}

// False when the view or the notes could not be built: a file without them would claim a view it
// does not have or a completeness it cannot show, so the export then fails as a whole.
bool BuildHead(AppState* app, const RecordingInfo& snap, char16_t* head) {
    const size_t cap = kJsonBufferChars;
    const bool valid = app->recordingInfoValid != 0;
    const bool savedRunning = (snap.flags & stillRunningWhenSaved) != 0;

    AppendBounded(head, cap, u"{\n  \"tool\":");
    if (valid) {
        AppendJsonStringN(head, cap, snap.tool, 63);
    } else {
        AppendJsonString(head, cap, kProductName);
    }
    AppendBounded(head, cap, u",\n  \"target\":");
    AppendJsonStringN(head, cap, valid ? snap.target : nullptr, 519);
    AppendBounded(head, cap, u",\n  \"started\":");
    AppendJsonTime(head, cap, snap.started, valid && snap.started.year != 0);
    AppendBounded(head, cap, u",\n  \"stopped\":");
    AppendJsonTime(head, cap, snap.stopped, valid && snap.stopped.year != 0);
    AppendBounded(head, cap,
                  savedRunning ? u",\n  \"stillRunningWhenSaved\": true"
                               : u",\n  \"stillRunningWhenSaved\": false");
    AppendBounded(head, cap, u",\n  \"snapshotTakenAt\":");
    AppendJsonTime(head, cap, snap.snapshotTakenAt, savedRunning && snap.snapshotTakenAt.year != 0);
    AppendFormat(head, cap, u",\n  \"windowsBuild\":\"%lu.%lu.%lu\"", snap.windowsMajor,
                 snap.windowsMinor, snap.windowsBuildNumber);
    AppendFormat(head, cap, u",\n  \"rowsRecorded\": %d,\n  \"rowsInThisFile\": %d", app->rowCount,
                 app->shownCount);

    char16_t* view = static_cast<char16_t*>(AllocZeroed(kViewChars * sizeof(char16_t)));
    if (view == nullptr) return false;
    {
        DescribeView(app, view, kViewChars, u"");
        for (size_t i = 0; view[i] != 0; ++i) {
            if (view[i] == u'\r' || view[i] == u'\n') view[i] = u' ';
        }
        AppendBounded(head, cap, u",\n  \"view\":");
        AppendJsonString(head, cap, view);
        FreeBlock(view);
    }

    AppendBounded(head, cap, u",\n  \"completeness\": {");
    AppendFormat(head, cap, u"\n    \"droppedHere\": %lu,", snap.droppedHere);
    AppendFormat(head, cap, u"\n    \"eventsLostByWindows\": %lu,", snap.eventsLostByWindows);
    AppendFormat(head, cap, u"\n    \"buffersLostByWindows\": %lu,", snap.buffersLostByWindows);
    AppendFormat(head, cap, u"\n    \"unreadableRecords\": %lu,", snap.unreadableRecords);
    AppendFormat(head, cap, u"\n    \"childrenNotFollowed\": %lu,", snap.childrenNotFollowed);
    AppendFormat(head, cap, u"\n    \"trackingSlotsRecycled\": %lu,", snap.trackingSlotsRecycled);
    AppendFormat(head, cap, u"\n    \"fileResultsMissing\": %lu,", snap.fileResultsMissing);
    AppendFormat(head, cap, u"\n    \"filesNotIdentified\": %lu,", snap.filesNotIdentified);
    AppendFormat(head, cap, u"\n    \"registryKeysNotResolved\": %lu,",
                 snap.registryKeysNotResolved);
    AppendBounded(head, cap, u"\n    \"notes\": [");

    char16_t* notes = static_cast<char16_t*>(AllocZeroed(kNotesChars * sizeof(char16_t)));
    if (notes == nullptr) return false;
    {
        BuildCompletenessNotes(app, notes, kNotesChars, u"");
        AppendNoteElements(head, cap, notes);
        FreeBlock(notes);
    }
    AppendBounded(head, cap, u"\n    ]\n  },\n  \"events\": [\n");
    return true;
}

void BuildRowLine(const EventRow& row, bool last, char16_t* line) {
    const size_t cap = kJsonBufferChars;
    line[0] = 0;
    char16_t time[kTimeChars];
    FormatLongTime(row.time, time, kTimeChars);
    AppendBounded(line, cap, u"  {\"time\":");
    AppendJsonString(line, cap, time);
    AppendBounded(line, cap, u",\"severity\":");
    AppendJsonString(line, cap, SeverityLabel(row.severity));
    AppendFormat(line, cap, u",\"pid\":%lu", row.pid);
    AppendFormat(line, cap, u",\"parentPid\":%lu", row.parentPid);
    AppendBounded(line, cap, u",\"process\":");
    AppendJsonStringN(line, cap, row.process, kProcessChars);
    AppendBounded(line, cap, u",\"category\":");
    AppendJsonString(line, cap, CategoryLabel(row.category));
    AppendBounded(line, cap, u",\"operation\":");
    AppendJsonStringN(line, cap, row.operation, kOperationChars);
    AppendBounded(line, cap, u",\"path\":");
    AppendJsonStringN(line, cap, row.path, kPathChars);
    AppendBounded(line, cap, u",\"detail\":");
    AppendJsonStringN(line, cap, row.detail, kDetailChars);
    AppendBounded(line, cap, u",\"result\":");
    AppendJsonStringN(line, cap, row.result, kResultChars);
    AppendBounded(line, cap, u",\"threat\":");
    AppendJsonStringN(line, cap, row.threat, kThreatChars);
    AppendBounded(line, cap, last ? u"}\n" : u"},\n");
}

// The file itself: mark, head, the shown rows, end. rowsLock is held.
FileOutcome WriteJsonFile(AppState* app, const char16_t* path, const RecordingInfo& snap,
                          uint32_t* openError) {
    SafeFileWriter writer;
    if (!OpenSafeFile(&writer, path)) {
        *openError = writer.openError;
        return kFileNotOpened;
    }
    static const unsigned char kBom[3] = {0xEF, 0xBB, 0xBF};
    WriteBytes(&writer, kBom, sizeof kBom);

    char16_t* head = static_cast<char16_t*>(AllocZeroed(kJsonBufferChars * sizeof(char16_t)));
    if (head == nullptr) {
        writer.ok = false;
    } else {
        if (!BuildHead(app, snap, head)) writer.ok = false;
        WriteUtf8(&writer, head);
        FreeBlock(head);
    }

    char16_t* line = static_cast<char16_t*>(AllocZeroed(kJsonBufferChars * sizeof(char16_t)));
    if (line == nullptr) {
        writer.ok = false;
    } else {
        for (int32_t i = 0; i < app->shownCount && writer.ok; ++i) {
            const int32_t index = app->shownRows[i];
            if (index < 0 || index >= app->rowCount) {
                writer.ok = false;
                break;
            }
            BuildRowLine(app->rows[index], i == app->shownCount - 1, line);
            // A full buffer means the object was cut: fail rather than write broken JSON.
            if (TextLength(line) >= kJsonBufferChars - 1) writer.ok = false;
            WriteUtf8(&writer, line);
        }
        FreeBlock(line);
    }
    WriteUtf8(&writer, u"  ]\n}\n");

    return CommitFile(&writer);
}

} // namespace

void ExportJson(AppState* app) {
    static const char16_t kFilter[] = u"JSON (*.json)\0*.json\0";
    char16_t path[kSafeTargetPathChars];
    if (!AskSavePath(app, kFilter, u"json", path)) return;
    ExportJsonToPath(app, path);
}

bool ExportJsonToPath(AppState* app, const char16_t* path) {
    RecordingInfo snap{};
    if (!TakeRecordingSnapshot(app, &snap, true)) return false;

    FileOutcome outcome;
    uint32_t openError = 0;
    int32_t count;
    {
        LockGuard rows(&app->rowsLock); // the rows stay as they are while they are written
        count = app->shownCount;
        outcome = WriteJsonFile(app, path, snap, &openError);
    }
    return ReportFileOutcome(app, outcome, count, u"%d events written to JSON.",
                             u"The JSON could not be written. Nothing was changed: any file that "
                             u"was already there has been left as it was.", path, openError);
}

} // namespace olv
