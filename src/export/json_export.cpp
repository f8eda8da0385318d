// JSON export of the shown rows: a head with the recording's metadata, completeness counters and
// notes, then one object per row, in a fixed layout (UTF-8 with its byte order mark, LF).
#include <cstring>
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
#include "sigma/sigma.h"
#include "sigma/sigma_view.h"
#include "views/row_store.h"
#include "views/sigma_rows.h"

namespace olv {

namespace {

constexpr size_t kJsonBufferChars = 16384;
constexpr size_t kViewChars = 4096;
constexpr size_t kNotesChars = 8192;
constexpr size_t kNoteLineChars = 512;
constexpr size_t kTimeChars = 48; // a time of any field values: 41 characters
// Matches of one row written to a file; each takes at most about 400 characters of its line.
constexpr int32_t kSigmaMatchesInFile = 24;

void CopyAsciiName(char16_t* out, size_t capacity, const char* ascii) {
    CopyAscii(out, capacity, ascii != nullptr ? ascii : "");
}

void AppendJsonTime(char16_t* buf, size_t capacity, const SystemTime& t, bool present) {
    char16_t text[kTimeChars] = {};
    if (present) FormatLongTime(t, text, kTimeChars);
    AppendJsonString(buf, capacity, text);
}

// Where the document's lines break: the JSON export indents its head, a JSON Lines file keeps
// each object on one line.
struct JsonLayout {
    const char16_t* top;   // before a key of the head
    const char16_t* inner; // before a key inside "completeness"
    const char16_t* note;  // before an element of "notes"
};
constexpr JsonLayout kDocumentLayout = {u"\n  ", u"\n    ", u"\n      "};
constexpr JsonLayout kLineLayout = {u"", u"", u""};

// Each non-empty line of the notes becomes one array element (piece 21 of the head).
void AppendNoteElements(char16_t* head, size_t capacity, const char16_t* notes,
                        const JsonLayout& layout) {
    char16_t line[kNoteLineChars];
    size_t used = 0;
    bool first = true;
    for (size_t i = 0;; ++i) {
        const char16_t c = notes[i];
        if (c == u'\r') continue;
        if (c == u'\n' || c == 0) {
            if (used > 0) {
                line[used] = 0;
                if (!first) AppendBounded(head, capacity, u",");
                AppendBounded(head, capacity, layout.note);
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

// "rules": what was loaded from which folder and why files were refused, by reason.
void AppendRulesObject(const SigmaRuleSet* set, char16_t* head, size_t cap) {
    AppendBounded(head, cap, u"\"rules\": {\"folder\": ");
    AppendJsonString(head, cap, SigmaRuleFolder(set));
    AppendFormat(head, cap, u", \"files\": %d, \"loaded\": %d, \"refused\": %d", SigmaFileCount(set),
                 SigmaRuleCount(set), SigmaRefusalCount(set));
    AppendBounded(head, cap, u", \"refusedByReason\": {");
    bool first = true;
    for (uint32_t reason = 0; reason < kSigmaRefusalReasonCount; ++reason) {
        const int32_t count = SigmaRefusalsByReason(set, reason);
        if (count == 0) continue;
        char16_t name[64];
        CopyAsciiName(name, 64, SigmaRefusalReasonName(reason));
        if (!first) AppendBounded(head, cap, u", ");
        AppendJsonString(head, cap, name);
        AppendFormat(head, cap, u": %d", count);
        first = false;
    }
    AppendBounded(head, cap, u"}}");
}

// The recording's metadata, completeness counters and notes (and "rules" when rules are loaded),
// from the first key to the end of "completeness" (or "rules"). False when the view or the notes
// could not be built: a file without them would claim a view it does not have or a completeness
// it cannot show, so the export then fails as a whole.
bool BuildMetadata(AppState* app, const RecordingInfo& snap, char16_t* head,
                   const JsonLayout& layout) {
    const size_t cap = kJsonBufferChars;
    const bool valid = app->recordingInfoValid != 0;
    const bool savedRunning = (snap.flags & stillRunningWhenSaved) != 0;
    const char16_t* top = layout.top;

    AppendBounded(head, cap, top);
    AppendBounded(head, cap, u"\"tool\":");
    if (valid) {
        AppendJsonStringN(head, cap, snap.tool, 63);
    } else {
        AppendJsonString(head, cap, kProductName);
    }
    AppendFormat(head, cap, u",%s\"target\":", top);
    AppendJsonStringN(head, cap, valid ? snap.target : nullptr, 519);
    AppendFormat(head, cap, u",%s\"started\":", top);
    AppendJsonTime(head, cap, snap.started, valid && snap.started.year != 0);
    AppendFormat(head, cap, u",%s\"stopped\":", top);
    AppendJsonTime(head, cap, snap.stopped, valid && snap.stopped.year != 0);
    AppendFormat(head, cap, u",%s\"stillRunningWhenSaved\": %s", top,
                 savedRunning ? u"true" : u"false");
    AppendFormat(head, cap, u",%s\"snapshotTakenAt\":", top);
    AppendJsonTime(head, cap, snap.snapshotTakenAt, savedRunning && snap.snapshotTakenAt.year != 0);
    AppendFormat(head, cap, u",%s\"windowsBuild\":\"%lu.%lu.%lu\"", top, snap.windowsMajor,
                 snap.windowsMinor, snap.windowsBuildNumber);
    AppendFormat(head, cap, u",%s\"rowsRecorded\": %d,%s\"rowsInThisFile\": %d", top, app->rowCount,
                 top, app->shownCount);

    char16_t* view = static_cast<char16_t*>(AllocZeroed(kViewChars * sizeof(char16_t)));
    if (view == nullptr) return false;
    {
        DescribeView(app, view, kViewChars, u"");
        for (size_t i = 0; view[i] != 0; ++i) {
            if (view[i] == u'\r' || view[i] == u'\n') view[i] = u' ';
        }
        AppendFormat(head, cap, u",%s\"view\":", top);
        AppendJsonString(head, cap, view);
        FreeBlock(view);
    }

    const char16_t* in = layout.inner;
    AppendFormat(head, cap, u",%s\"completeness\": {", top);
    AppendFormat(head, cap, u"%s\"droppedHere\": %lu,", in, snap.droppedHere);
    AppendFormat(head, cap, u"%s\"eventsLostByWindows\": %lu,", in, snap.eventsLostByWindows);
    AppendFormat(head, cap, u"%s\"buffersLostByWindows\": %lu,", in, snap.buffersLostByWindows);
    AppendFormat(head, cap, u"%s\"unreadableRecords\": %lu,", in, snap.unreadableRecords);
    AppendFormat(head, cap, u"%s\"childrenNotFollowed\": %lu,", in, snap.childrenNotFollowed);
    AppendFormat(head, cap, u"%s\"trackingSlotsRecycled\": %lu,", in, snap.trackingSlotsRecycled);
    AppendFormat(head, cap, u"%s\"fileResultsMissing\": %lu,", in, snap.fileResultsMissing);
    AppendFormat(head, cap, u"%s\"filesNotIdentified\": %lu,", in, snap.filesNotIdentified);
    AppendFormat(head, cap, u"%s\"registryKeysNotResolved\": %lu,", in,
                 snap.registryKeysNotResolved);
    AppendFormat(head, cap, u"%s\"notes\": [", in);

    char16_t* notes = static_cast<char16_t*>(AllocZeroed(kNotesChars * sizeof(char16_t)));
    if (notes == nullptr) return false;
    {
        BuildCompletenessNotes(app, notes, kNotesChars, u"");
        AppendNoteElements(head, cap, notes, layout);
        FreeBlock(notes);
    }
    AppendFormat(head, cap, u"%s]%s}", in, top);
    if (SigmaRulesLoaded(app)) {
        AppendFormat(head, cap, u",%s", top);
        AppendRulesObject(LoadedSigmaRules(app), head, cap);
    }
    return true;
}

bool BuildHead(AppState* app, const RecordingInfo& snap, char16_t* head) {
    AppendBounded(head, kJsonBufferChars, u"{");
    if (!BuildMetadata(app, snap, head, kDocumentLayout)) return false;
    AppendBounded(head, kJsonBufferChars, u",\n  \"events\": [\n");
    return true;
}

// The row's members, "time" to "threat", without the braces.
void AppendRowMembers(const EventRow& row, char16_t* line) {
    const size_t cap = kJsonBufferChars;
    char16_t time[kTimeChars];
    FormatLongTime(row.time, time, kTimeChars);
    AppendBounded(line, cap, u"\"time\":");
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
}

// ,"sigma":[{"id":...,"title":...,"level":...}, ...] for a row with matches; nothing otherwise.
void AppendSigmaMatches(const AppState* app, int32_t index, char16_t* line) {
    const size_t cap = kJsonBufferChars;
    const SigmaRuleSet* set = LoadedSigmaRules(app);
    if (set == nullptr) return;
    int32_t rules[kSigmaMatchesInFile];
    const int32_t total = SigmaRulesOfRow(app, index, rules, kSigmaMatchesInFile);
    if (total <= 0) return;
    const int32_t count = total > kSigmaMatchesInFile ? kSigmaMatchesInFile : total;
    AppendBounded(line, cap, u",\"sigma\":[");
    for (int32_t i = 0; i < count; ++i) {
        const SigmaRuleInfo* rule = GetSigmaRule(set, rules[i]);
        if (rule == nullptr) continue;
        if (i > 0) AppendBounded(line, cap, u",");
        AppendBounded(line, cap, u"{\"id\":");
        AppendJsonStringN(line, cap, rule->id, kSigmaIdChars);
        AppendBounded(line, cap, u",\"title\":");
        AppendJsonStringN(line, cap, rule->title, kSigmaTitleChars);
        AppendBounded(line, cap, u",\"level\":");
        AppendJsonString(line, cap, SigmaLevelText(rule->level));
        AppendBounded(line, cap, u"}");
    }
    AppendBounded(line, cap, u"]");
    if (count < total) AppendFormat(line, cap, u",\"sigmaNotListed\":%d", total - count);
}

void BuildRowLine(const AppState* app, int32_t index, bool last, char16_t* line) {
    line[0] = 0;
    AppendBounded(line, kJsonBufferChars, u"  {");
    AppendRowMembers(app->rows[index], line);
    AppendSigmaMatches(app, index, line);
    AppendBounded(line, kJsonBufferChars, last ? u"}\n" : u"},\n");
}

// The file itself: mark, head, the shown rows, end. rowsLock is held.
FileOutcome WriteJsonFile(AppState* app, const char16_t* path, const RecordingInfo& snap) {
    SafeFileWriter writer;
    if (!OpenSafeFile(&writer, path)) return kFileNotOpened;
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
            BuildRowLine(app, index, i == app->shownCount - 1, line);
            // A full buffer means the object was cut: fail rather than write broken JSON.
            if (TextLength(line) >= kJsonBufferChars - 1) writer.ok = false;
            WriteUtf8(&writer, line);
        }
        FreeBlock(line);
    }
    WriteUtf8(&writer, u"  ]\n}\n");

    return CommitFile(&writer);
}

// --- JSON Lines ---

constexpr size_t kLineChars = 65536; // an event line with its field view and matches

// ,"categories":[...],"fields":{...} of a view (empty for a row of no category).
void AppendViewMembers(const SigmaEventView* view, char16_t* line, size_t cap) {
    AppendBounded(line, cap, u",\"categories\":[");
    bool first = true;
    for (uint32_t c = 0; c < kSigmaCategoryCount; ++c) {
        if (view == nullptr || (view->categories & (1u << c)) == 0) continue;
        char16_t name[64];
        CopyAsciiName(name, 64, SigmaCategoryName(c));
        if (!first) AppendBounded(line, cap, u",");
        AppendJsonString(line, cap, name);
        first = false;
    }
    AppendBounded(line, cap, u"],\"fields\":{");
    first = true;
    for (uint32_t f = 0; view != nullptr && view->categories != 0 && f < kSigmaFieldCount; ++f) {
        const SigmaText& text = view->fields[f];
        if (text.text == nullptr || text.length == 0) continue; // only fields with a value
        char16_t name[64];
        CopyAsciiName(name, 64, SigmaFieldName(f));
        if (!first) AppendBounded(line, cap, u",");
        AppendJsonString(line, cap, name);
        AppendBounded(line, cap, u":");
        AppendJsonStringN(line, cap, text.text, text.length);
        first = false;
    }
    AppendBounded(line, cap, u"}");
}

// The view members of the process starts that the field view held back: a start is viewed once
// its image path is known, often some rows later, so a first pass over the rows gathers them.
struct StartViewText {
    int32_t row;
    char16_t* text;
};

struct StartViews {
    StartViewText* items;
    int32_t count;
    int32_t capacity;
    bool ok;
};

void FreeStartViews(StartViews* views) {
    for (int32_t i = 0; i < views->count; ++i)
        FreeBlock(views->items[i].text);
    FreeBlock(views->items);
    *views = StartViews{};
}

void KeepStartView(StartViews* views, int32_t row, const SigmaEventView* view, char16_t* scratch) {
    scratch[0] = 0;
    AppendViewMembers(view, scratch, kLineChars);
    if (views->count >= views->capacity) {
        const int32_t capacity = views->capacity == 0 ? 64 : views->capacity * 2;
        auto* grown = static_cast<StartViewText*>(
            AllocZeroed(static_cast<size_t>(capacity) * sizeof(StartViewText)));
        if (grown == nullptr) {
            views->ok = false;
            return;
        }
        if (views->count > 0) {
            std::memcpy(grown, views->items, static_cast<size_t>(views->count) * sizeof(StartViewText));
        }
        FreeBlock(views->items);
        views->items = grown;
        views->capacity = capacity;
    }
    const size_t length = TextLength(scratch);
    auto* text = static_cast<char16_t*>(AllocZeroed((length + 1) * sizeof(char16_t)));
    if (text == nullptr) {
        views->ok = false;
        return;
    }
    std::memcpy(text, scratch, length * sizeof(char16_t));
    views->items[views->count++] = StartViewText{row, text};
}

void GatherDueStarts(const AppState* app, SigmaViewContext* context, SigmaViewBuffer* buffer,
                     StartViews* views, char16_t* scratch) {
    int32_t due[64];
    int32_t n;
    while ((n = TakeDueSigmaRows(context, due, 64)) > 0) {
        for (int32_t i = 0; i < n; ++i) {
            if (due[i] < 0 || due[i] >= app->rowCount) continue;
            if (SigmaViewOfStartRow(context, &app->rows[due[i]], buffer)) {
                KeepStartView(views, due[i], &buffer->view, scratch);
            }
        }
    }
}

const char16_t* FindStartView(const StartViews* views, int32_t row) {
    for (int32_t i = 0; i < views->count; ++i) {
        if (views->items[i].row == row) return views->items[i].text;
    }
    return nullptr;
}

// The JSON Lines file: the recording line, one line per shown row, the end line. rowsLock is held.
FileOutcome WriteJsonLinesFile(AppState* app, const char16_t* path, const RecordingInfo& snap) {
    SafeFileWriter writer;
    if (!OpenSafeFile(&writer, path)) return kFileNotOpened;

    SigmaViewContext* context = NewSigmaViewContext();
    auto* buffer = AllocRecord<SigmaViewBuffer>();
    auto* line = static_cast<char16_t*>(AllocZeroed(kLineChars * sizeof(char16_t)));
    StartViews starts{};
    starts.ok = true;
    if (context == nullptr || buffer == nullptr || line == nullptr) writer.ok = false;

    if (writer.ok) {
        SetSigmaRecorderImage(context, SigmaRecorderImageOf(app));
        line[0] = 0;
        AppendBounded(line, kJsonBufferChars, u"{\"kind\":\"recording\",");
        if (!BuildMetadata(app, snap, line, kLineLayout)) writer.ok = false;
        AppendBounded(line, kJsonBufferChars, u"}\n");
        if (TextLength(line) >= kJsonBufferChars - 1) writer.ok = false;
        WriteUtf8(&writer, line);

        // First pass: the views of the starts held back.
        for (int32_t i = 0; i < app->rowCount; ++i) {
            LearnSigmaRow(context, &app->rows[i], i, buffer);
            GatherDueStarts(app, context, buffer, &starts, line);
        }
        ReleaseDeferredSigmaRows(context);
        GatherDueStarts(app, context, buffer, &starts, line);
        if (!starts.ok) writer.ok = false;
    }

    // Second pass: every row learned again in order, the shown ones written.
    int32_t written = 0;
    if (writer.ok) {
        ResetSigmaViewContext(context);
        int32_t learned = 0;
        for (int32_t k = 0; k < app->shownCount && writer.ok; ++k) {
            const int32_t index = app->shownRows[k];
            if (index < learned || index >= app->rowCount) {
                writer.ok = false;
                break;
            }
            uint32_t outcome = kSigmaViewNone;
            for (; learned <= index; ++learned) {
                outcome = LearnSigmaRow(context, &app->rows[learned], learned, buffer);
                int32_t discard[64];
                while (TakeDueSigmaRows(context, discard, 64) > 0) {
                }
            }
            line[0] = 0;
            AppendBounded(line, kLineChars, u"{\"kind\":\"event\",");
            AppendRowMembers(app->rows[index], line);
            if (outcome == kSigmaViewReady) {
                AppendViewMembers(&buffer->view, line, kLineChars);
            } else if (outcome == kSigmaViewDeferred && FindStartView(&starts, index) != nullptr) {
                AppendBounded(line, kLineChars, FindStartView(&starts, index));
            } else {
                AppendViewMembers(nullptr, line, kLineChars);
            }
            AppendSigmaMatches(app, index, line);
            AppendBounded(line, kLineChars, u"}\n");
            if (TextLength(line) >= kLineChars - 1) writer.ok = false;
            WriteUtf8(&writer, line);
            ++written;
        }
    }
    if (writer.ok) {
        FormatText(line, kLineChars, u"{\"kind\":\"end\",\"events\":%d}\n", written);
        WriteUtf8(&writer, line);
    }

    FreeStartViews(&starts);
    FreeBlock(line);
    FreeBlock(buffer);
    FreeSigmaViewContext(context);
    return CommitFile(&writer);
}

} // namespace

void ExportJsonLines(AppState* app) {
    static const char16_t kFilter[] = u"JSON Lines (*.jsonl)\0*.jsonl\0";
    char16_t path[kSafeTargetPathChars];
    if (!AskSavePath(app, kFilter, u"jsonl", path)) return;
    ExportJsonLinesToPath(app, path);
}

bool ExportJsonLinesToPath(AppState* app, const char16_t* path) {
    RecordingInfo snap{};
    if (!TakeRecordingSnapshot(app, &snap, true)) return false;

    FileOutcome outcome;
    int32_t count;
    {
        LockGuard rows(&app->rowsLock); // the rows stay as they are while they are written
        count = app->shownCount;
        outcome = WriteJsonLinesFile(app, path, snap);
    }
    return ReportFileOutcome(app, outcome, count, u"%d events written to JSON Lines.",
                             u"The JSON Lines file could not be written. Nothing was changed: any "
                             u"file that was already there has been left as it was.");
}

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
    int32_t count;
    {
        LockGuard rows(&app->rowsLock); // the rows stay as they are while they are written
        count = app->shownCount;
        outcome = WriteJsonFile(app, path, snap);
    }
    return ReportFileOutcome(app, outcome, count, u"%d events written to JSON.",
                             u"The JSON could not be written. Nothing was changed: any file that "
                             u"was already there has been left as it was.");
}

} // namespace olv
