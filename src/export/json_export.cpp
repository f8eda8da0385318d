// JSON export of the shown rows: a head with the recording's metadata, completeness counters and
// notes, then one object per row, in a fixed layout (UTF-8 with its byte order mark, LF).
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <initializer_list>

#include "base/format.h"
#include "base/note_text.h"
#include "base/product.h"
#include "base/text.h"
#include "export/block_writer.h"
#include "export/chunk_writer.h"
#include "export/export_common.h"
#include "export/line_digits.h"
#include "export/row_batch.h"
#include "export/exports.h"
#include "export/json_text.h"
#include "export/safe_file.h"
#include "export/snapshot.h"
#include "platform/files.h"
#include "platform/lock.h"
#include "platform/memory.h"
#include "platform/ui.h"
#include "record/recording.h"
#include "record/stored_rows.h"
#include "report/completeness.h"
#include "rules/threat_rules.h"
#include "sigma/sigma.h"
#include "sigma/sigma_view.h"
#include "views/row_store.h"
#include "views/sigma_rows.h"
#include "views/yara_rows.h"

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

// The UTC instant of a local time taken on the recording's machine, whose bias (UTC = local +
// bias) was in force then; false for a time that is not known (year 0) or out of range.
bool LocalToUtcTicks(const SystemTime& local, int32_t bias, int64_t* ticks) {
    int64_t t = 0;
    if (!UtcSystemTimeToTicks(local, &t)) return false;
    t += int64_t{bias} * 60 * kTicksPerSecond;
    if (t < 0 || t >= kUtcTicksEnd) return false;
    *ticks = t;
    return true;
}

// How a row's UTC instant is found: the recording's bias at Start, for rows that carry no time
// stamp of their own.
struct UtcOfRows {
    bool biasKnown;
    int32_t bias;
};

UtcOfRows UtcOfRowsOf(const Recording* app) {
    return UtcOfRows{app->recordingInfoValid != 0, app->recordingInfo.utcBias};
}

// A row's UTC instant: its time stamp as the trace delivered it (the window's own rows carry one
// too). A row without one, from a session of an older version, has its local time turned by the
// bias at Start, which is an hour off for a row after daylight time began or ended during the
// recording. False when neither is known (the row's UTC time is then written empty).
bool RowUtcTicks(const EventRow& row, const UtcOfRows& utc, int64_t* ticks) {
    if (row.timestamp != 0) {
        if (row.timestamp >= static_cast<uint64_t>(kUtcTicksEnd)) return false;
        *ticks = static_cast<int64_t>(row.timestamp);
        return true;
    }
    return utc.biasKnown && LocalToUtcTicks(row.time, utc.bias, ticks);
}

// The UTC form as a JSON string; "" when not known.
void AppendJsonUtc(char16_t* buf, size_t capacity, bool known, int64_t ticks) {
    char16_t text[kUtcTimeMaxChars + 1] = {};
    UtcDate date;
    if (known) *PutUtcTime(text, ticks, &date) = 0;
    AppendJsonString(buf, capacity, text);
}

// The UTC form of a local time of the head (Start, Stop), turned by the bias in force then.
void AppendJsonHeadUtc(char16_t* buf, size_t capacity, const SystemTime& t, int32_t bias,
                       bool present) {
    int64_t ticks = 0;
    const bool known = present && LocalToUtcTicks(t, bias, &ticks);
    AppendJsonUtc(buf, capacity, known, ticks);
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

// Refused files listed in the head: the first ones, as many as fit below this many, so that a
// folder of thousands of refusals cannot crowd out the rest of the head.
constexpr int32_t kRefusedFilesListed = 100;
// What the head still needs after the list: its closing members and what follows the metadata.
constexpr size_t kRefusedFilesReserve = 128;
constexpr size_t kRefusalEntryChars =
    JsonTextMaxChars(kSigmaFileChars) + JsonTextMaxChars(256) + JsonTextMaxChars(64) + 64;

// "refusedFiles": each refused file with its reason and detail, in the set's order, and
// "refusedFilesLeftOut": how many of them are not listed (beyond the count or the head's room).
void AppendRefusedFiles(const SigmaRuleSet* set, char16_t* head, size_t cap) {
    const int32_t refused = SigmaRefusalCount(set);
    int32_t listed = 0;
    AppendBounded(head, cap, u", \"refusedFiles\": [");
    char16_t* entry = static_cast<char16_t*>(AllocZeroed(kRefusalEntryChars * sizeof(char16_t)));
    for (int32_t i = 0; entry != nullptr && i < refused && listed < kRefusedFilesListed; ++i) {
        const SigmaRefusal* refusal = GetSigmaRefusal(set, i);
        if (refusal == nullptr) break;
        char16_t reason[64];
        CopyAsciiName(reason, 64, SigmaRefusalReasonName(refusal->reason));
        // The path relative to the folder with '/' between its folders on every system, so that
        // a file reads the same wherever it was written.
        char16_t file[kSigmaFileChars] = {};
        CopyBounded(file, kSigmaFileChars, refusal->file);
        for (char16_t& c : file) {
            if (c == kPathSeparator) c = u'/';
        }
        entry[0] = 0;
        AppendBounded(entry, kRefusalEntryChars, listed > 0 ? u", {\"file\": " : u"{\"file\": ");
        AppendJsonString(entry, kRefusalEntryChars, file);
        AppendBounded(entry, kRefusalEntryChars, u", \"reason\": ");
        AppendJsonString(entry, kRefusalEntryChars, reason);
        AppendBounded(entry, kRefusalEntryChars, u", \"detail\": ");
        AppendJsonStringN(entry, kRefusalEntryChars, refusal->detail, 255);
        AppendBounded(entry, kRefusalEntryChars, u"}");
        if (TextLength(head) + TextLength(entry) + kRefusedFilesReserve >= cap) break;
        AppendBounded(head, cap, entry);
        ++listed;
    }
    FreeBlock(entry);
    AppendFormat(head, cap, u"], \"refusedFilesLeftOut\": %d", refused - listed);
}

// "partial": how many loaded rules name fields their category never records (comparisons on them
// are unknown on every row), and "partialRules": the first of them with those fields, as many as
// fit, with "partialRulesLeftOut". Nothing when no rule is partial.
void AppendPartialRules(const SigmaRuleSet* set, char16_t* head, size_t cap) {
    const int32_t rules = SigmaRuleCount(set);
    int32_t partial = 0;
    for (int32_t r = 0; r < rules; ++r) {
        const SigmaRuleInfo* info = GetSigmaRule(set, r);
        if (info != nullptr && info->partial[0] != 0) ++partial;
    }
    if (partial == 0) return;
    AppendFormat(head, cap, u", \"partial\": %d, \"partialRules\": [", partial);
    constexpr size_t kEntryChars = JsonTextMaxChars(kSigmaIdChars) + JsonTextMaxChars(kSigmaTitleChars) +
                                   JsonTextMaxChars(160) + 64;
    auto* entry = static_cast<char16_t*>(AllocZeroed(kEntryChars * sizeof(char16_t)));
    int32_t listed = 0;
    for (int32_t r = 0; entry != nullptr && r < rules && listed < kRefusedFilesListed; ++r) {
        const SigmaRuleInfo* info = GetSigmaRule(set, r);
        if (info == nullptr || info->partial[0] == 0) continue;
        entry[0] = 0;
        AppendBounded(entry, kEntryChars, listed > 0 ? u", {\"id\": " : u"{\"id\": ");
        AppendJsonStringN(entry, kEntryChars, info->id, kSigmaIdChars);
        AppendBounded(entry, kEntryChars, u", \"title\": ");
        AppendJsonStringN(entry, kEntryChars, info->title, kSigmaTitleChars);
        AppendBounded(entry, kEntryChars, u", \"fields\": ");
        AppendJsonStringN(entry, kEntryChars, info->partial, 160);
        AppendBounded(entry, kEntryChars, u"}");
        if (TextLength(head) + TextLength(entry) + kRefusedFilesReserve >= cap) break;
        AppendBounded(head, cap, entry);
        ++listed;
    }
    FreeBlock(entry);
    AppendFormat(head, cap, u"], \"partialRulesLeftOut\": %d", partial - listed);
}

// "rules": what was loaded from which folder and why files were refused, by reason and by file.
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
    AppendBounded(head, cap, u"}");
    AppendRefusedFiles(set, head, cap);
    AppendPartialRules(set, head, cap);
    AppendBounded(head, cap, u"}");
}

// The recording's metadata, completeness counters and notes (and "rules" when rules are loaded),
// from the first key to the end of "completeness" (or "rules"). False when the view or the notes
// could not be built: a file without them would claim a view it does not have or a completeness
// it cannot show, so the export then fails as a whole.
// The Windows losses before the examined program was resumed and while it ran; null when the
// record does not know (a session opened from a file).
void AppendLossSplit(char16_t* head, size_t cap, const char16_t* in, const RecordingInfo& snap,
                     const LossesBeforeResume& before) {
    const char16_t* names[2][2] = {{u"eventsLostBeforeResume", u"eventsLostWhileRunning"},
                                   {u"buffersLostBeforeResume", u"buffersLostWhileRunning"}};
    const uint32_t totals[2] = {snap.eventsLostByWindows, snap.buffersLostByWindows};
    const uint32_t early[2] = {before.eventsLost, before.buffersLost};
    for (int i = 0; i < 2; ++i) {
        if (before.known == 0) {
            AppendFormat(head, cap, u"%s\"%s\": null,%s\"%s\": null,", in, names[i][0], in,
                         names[i][1]);
            continue;
        }
        const uint32_t part = early[i] < totals[i] ? early[i] : totals[i];
        AppendFormat(head, cap, u"%s\"%s\": %lu,%s\"%s\": %lu,", in, names[i][0], part, in,
                     names[i][1], totals[i] - part);
    }
}

bool BuildMetadata(Recording* app, const RecordingInfo& snap, char16_t* head,
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
    // Each local time with its UTC instant: the bias at Start turns the start time, the bias at
    // Stop the stop time (a session of an older version kept only the first: it stands in).
    const bool started = valid && snap.started.year != 0;
    const bool stopped = valid && snap.stopped.year != 0;
    const int32_t stopBias =
        (app->origin.flags & stopUtcBiasKnown) != 0 ? app->origin.stopUtcBias : snap.utcBias;
    AppendFormat(head, cap, u",%s\"started\":", top);
    AppendJsonTime(head, cap, snap.started, started);
    AppendFormat(head, cap, u",%s\"startedUtc\":", top);
    AppendJsonHeadUtc(head, cap, snap.started, snap.utcBias, started);
    AppendFormat(head, cap, u",%s\"stopped\":", top);
    AppendJsonTime(head, cap, snap.stopped, stopped);
    AppendFormat(head, cap, u",%s\"stoppedUtc\":", top);
    AppendJsonHeadUtc(head, cap, snap.stopped, stopBias, stopped);
    // Minutes local time is ahead of UTC at Start (the negated Windows bias); null when the file
    // the recording came from did not keep it.
    if (valid) {
        AppendFormat(head, cap, u",%s\"utcOffsetMinutes\": %ld", top, -int64_t{snap.utcBias});
    } else {
        AppendFormat(head, cap, u",%s\"utcOffsetMinutes\": null", top);
    }
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
    AppendLossSplit(head, cap, in, snap, app->lossesBeforeResume);
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

bool BuildHead(Recording* app, const RecordingInfo& snap, char16_t* head) {
    AppendBounded(head, kJsonBufferChars, u"{");
    if (!BuildMetadata(app, snap, head, kDocumentLayout)) return false;
    AppendBounded(head, kJsonBufferChars, u",\n  \"events\": [\n");
    return true;
}

// --- Event lines ---
//
// Every event line is written as UTF-8 straight into the output block by one writer. A line has a
// bound in characters (16384 in the JSON document, 65536 in JSON Lines) that a reader of the file
// may rely on: a line whose longest possible form fits it is written without counting; any other
// (a row with many long Sigma matches, say) is counted against it as it is written, so that a
// text is cut, or the file refused, exactly where the bound says (JsonLine).

JsonLine PutField(JsonLine line, const char16_t* field, size_t chars) {
    return PutJsonString(line, field, FieldTextLength(field, chars), chars);
}

JsonLine PutText(JsonLine line, const char16_t* text) {
    const size_t length = TextLength(text);
    return PutJsonString(line, text, length, length);
}

// The severity and category labels as JSON strings, made once: the writers put one of each on
// every line.
struct LabelJson {
    uint8_t bytes[4][JsonUtf8MaxBytes(16)];
    uint8_t length[4];
};

LabelJson MakeLabels(const char16_t* (*label)(uint32_t)) {
    LabelJson made{};
    for (uint32_t i = 0; i < 4; ++i) {
        const char16_t* text = label(i);
        const size_t length = TextLength(text);
        if (length > 16) continue; // not made: written from its text
        uint8_t* end = PutJsonUtf8(made.bytes[i], text, length);
        made.length[i] = static_cast<uint8_t>(end - made.bytes[i]);
    }
    return made;
}

// A label of value 0 to 3 from its table; any other value as its text.
JsonLine PutLabel(JsonLine line, const LabelJson& labels, uint32_t value,
                  const char16_t* (*label)(uint32_t)) {
    if (value >= 4 || labels.length[value] == 0) return PutText(line, label(value));
    const char16_t* text = label(value);
    return PutJsonMade(line, labels.bytes[value], labels.length[value], text, TextLength(text));
}

// A time of the row as a JSON string: its digits are ASCII, one character a byte.
JsonLine PutTimeText(JsonLine line, const uint8_t* text, size_t length) {
    if (line.bound == 0) {
        *line.at++ = '"';
        std::memcpy(line.at, text, length);
        line.at += length;
        *line.at++ = '"';
        return line;
    }
    char16_t wide[kTimeChars];
    for (size_t i = 0; i < length && i < kTimeChars; ++i)
        wide[i] = text[i];
    return PutJsonString(line, wide, length < kTimeChars ? length : kTimeChars, kTimeChars);
}

// The most characters a row's members take ("time" to "threat"; as many bytes at most, a
// character taking no more bytes than the characters of its escape): the keys (124 characters),
// the two times, two labels of at most 16 characters, two numbers and the six text fields.
constexpr size_t kRowMembersMaxChars =
    144 + JsonTextMaxChars(kLongTimeMaxChars) + JsonTextMaxChars(kUtcTimeMaxChars) +
    2 * JsonTextMaxChars(16) + 2 * kDecimalMaxChars + JsonTextMaxChars(kProcessChars) +
    JsonTextMaxChars(kOperationChars) + JsonTextMaxChars(kPathChars) +
    JsonTextMaxChars(kDetailChars) + JsonTextMaxChars(kResultChars) +
    JsonTextMaxChars(kThreatChars);
static_assert(kRowMembersMaxChars + 16 < kJsonBufferChars - 9, "a row without matches always fits");

template <size_t N> JsonLine PutLength(JsonLine line, const char16_t (&field)[N], uint16_t length) {
    return PutJsonString(line, field, length, N);
}

// Where PutRowMembers wrote the row's process name and path: a view field that is one of those
// texts is the same bytes, copied rather than escaped again.
struct RowEscapes {
    const char16_t* text[2];
    uint32_t length[2];
    const uint8_t* begin[2];
    const uint8_t* end[2];
};

// The names of the view's categories and fields, as the view members write them.
struct ViewNames {
    char16_t category[kSigmaCategoryCount][64];
    size_t categoryLength[kSigmaCategoryCount];
    char16_t field[kSigmaFieldCount][64];
    size_t fieldLength[kSigmaFieldCount];
    size_t categoriesMaxChars; // every category listed
    // The names as the view members write them, quoted, a field's with its colon: made once.
    uint8_t categoryJson[kSigmaCategoryCount][JsonUtf8MaxBytes(64)];
    size_t categoryJsonBytes[kSigmaCategoryCount];
    uint8_t fieldJson[kSigmaFieldCount][JsonUtf8MaxBytes(64) + 1];
    size_t fieldJsonBytes[kSigmaFieldCount];
};

void MakeViewNames(ViewNames* names) {
    names->categoriesMaxChars = 0;
    for (uint32_t c = 0; c < kSigmaCategoryCount; ++c) {
        CopyAsciiName(names->category[c], 64, SigmaCategoryName(c));
        names->categoryLength[c] = TextLength(names->category[c]);
        names->categoriesMaxChars += 1 + JsonTextMaxChars(names->categoryLength[c]);
        names->categoryJsonBytes[c] = static_cast<size_t>(
            PutJsonUtf8Field(names->categoryJson[c], names->category[c], names->categoryLength[c],
                             64) -
            names->categoryJson[c]);
    }
    for (uint32_t f = 0; f < kSigmaFieldCount; ++f) {
        CopyAsciiName(names->field[f], 64, SigmaFieldName(f));
        names->fieldLength[f] = TextLength(names->field[f]);
        uint8_t* end =
            PutJsonUtf8Field(names->fieldJson[f], names->field[f], names->fieldLength[f], 64);
        *end++ = ':';
        names->fieldJsonBytes[f] = static_cast<size_t>(end - names->fieldJson[f]);
    }
}

// A field of a view to be written: its text, its length and how far it may be read.
struct ViewText {
    const char16_t* text;
    uint32_t length;
    size_t readable;
};

// ,"fields":{...}: the fields of `present` in field order, each named as the rules name it, its
// text from `field(f)`; a text that is the row's process name or path is copied from where
// PutRowMembers wrote it. The JSON document's facts and the JSON Lines views share it.
template <typename FieldOf>
JsonLine PutFieldsObject(JsonLine line, SigmaFieldMask present, FieldOf field,
                         const ViewNames& names, const RowEscapes& escapes) {
    line = PutJsonLiteral(line, ",\"fields\":{");
    bool first = true;
    for (SigmaFieldMask rest = present; rest != 0; rest &= rest - 1) {
        const auto f = static_cast<uint32_t>(__builtin_ctzll(rest));
        if (!first) line = PutJsonChar(line, ',');
        if (line.bound == 0) {
            std::memcpy(line.at, names.fieldJson[f], names.fieldJsonBytes[f]);
            line.at += names.fieldJsonBytes[f];
        } else {
            line = PutJsonString(line, names.field[f], names.fieldLength[f], names.fieldLength[f]);
            line = PutJsonChar(line, ':');
        }
        const ViewText text = field(f);
        const int same = text.text == escapes.text[1] && text.length == escapes.length[1]   ? 1
                         : text.text == escapes.text[0] && text.length == escapes.length[0] ? 0
                                                                                            : -1;
        if (same >= 0 && line.bound == 0) {
            const size_t bytes = static_cast<size_t>(escapes.end[same] - escapes.begin[same]);
            std::memcpy(line.at, escapes.begin[same], bytes);
            line.at += bytes;
        } else {
            line = PutJsonString(line, text.text, FieldTextLength(text.text, text.length),
                                 text.readable);
        }
        first = false;
    }
    return PutJsonChar(line, '}');
}

JsonLine PutDecimalMember(JsonLine line, uint32_t value) {
    if (line.bound == 0) {
        line.at = PutDecimal(line.at, value);
        return line;
    }
    uint8_t digits[kDecimalMaxChars];
    const size_t n = static_cast<size_t>(PutDecimal(digits, value) - digits);
    return PutJsonBytes(line, digits, n, n);
}

// The row's members, "time" to "threat", without the braces, with the lengths of the row's
// texts; where the process name and path went into `escapes`, when given.
JsonLine PutRowMembers(JsonLine line, const EventRow& row, const RowTextLengths& l,
                       const UtcOfRows& utc, UtcDate* date, RowEscapes* escapes = nullptr) {
    uint8_t time[kTimeChars];
    line = PutJsonLiteral(line, "\"time\":");
    line = PutTimeText(line, time, static_cast<size_t>(PutLongTime(time, row.time) - time));
    line = PutJsonLiteral(line, ",\"timeUtc\":");
    int64_t ticks = 0;
    const uint8_t* utcEnd = time;
    if (RowUtcTicks(row, utc, &ticks)) utcEnd = PutUtcTime(time, ticks, date);
    line = PutTimeText(line, time, static_cast<size_t>(utcEnd - time));
    line = PutJsonLiteral(line, ",\"severity\":");
    static const LabelJson kSeverities = MakeLabels(SeverityLabel);
    line = PutLabel(line, kSeverities, row.severity, SeverityLabel);
    line = PutJsonLiteral(line, ",\"pid\":");
    line = PutDecimalMember(line, row.pid);
    line = PutJsonLiteral(line, ",\"parentPid\":");
    line = PutDecimalMember(line, row.parentPid);
    line = PutJsonLiteral(line, ",\"process\":");
    const uint8_t* process = line.at;
    line = PutLength(line, row.process, l.chars[kTextProcess]);
    if (escapes != nullptr) {
        *escapes = RowEscapes{{row.process, nullptr}, {l.chars[kTextProcess], 0},
                              {process, nullptr}, {line.at, nullptr}};
    }
    line = PutJsonLiteral(line, ",\"category\":");
    static const LabelJson kCategories = MakeLabels(CategoryLabel);
    line = PutLabel(line, kCategories, row.category, CategoryLabel);
    line = PutJsonLiteral(line, ",\"operation\":");
    line = PutLength(line, row.operation, l.chars[kTextOperation]);
    line = PutJsonLiteral(line, ",\"path\":");
    const uint8_t* path = line.at;
    line = PutLength(line, row.path, l.chars[kTextPath]);
    if (escapes != nullptr) {
        escapes->text[1] = row.path;
        escapes->length[1] = l.chars[kTextPath];
        escapes->begin[1] = path;
        escapes->end[1] = line.at;
    }
    line = PutJsonLiteral(line, ",\"detail\":");
    line = PutLength(line, row.detail, l.chars[kTextDetail]);
    line = PutJsonLiteral(line, ",\"result\":");
    line = PutLength(line, row.result, l.chars[kTextResult]);
    line = PutJsonLiteral(line, ",\"threat\":");
    return PutLength(line, row.threat, l.chars[kTextThreat]);
}

// The Sigma matches of a row and the most characters their members take.
// YARA rules listed per row in the files (a row matches few; more are left out).
constexpr int32_t kYaraMatchesInFile = 16;

struct RowMatches {
    const SigmaRuleSet* set;
    int32_t rules[kSigmaMatchesInFile];
    int32_t total;
    int32_t count;
    SigmaPossibleMatch possible[kSigmaMatchesInFile];
    int32_t possibleTotal;
    int32_t possibleCount;
    int32_t level; // the most severe level of all the row's matches, or -1
    // The YARA rules the row matched (names only: identifiers, never escaped).
    const YaraRowRule* yara[kYaraMatchesInFile];
    int32_t yaraCount;
    size_t maxChars;
};

size_t RuleMaxChars(const SigmaRuleInfo* rule) {
    return 32 + JsonTextMaxChars(FieldTextLength(rule->id, kSigmaIdChars)) +
           JsonTextMaxChars(FieldTextLength(rule->title, kSigmaTitleChars)) +
           JsonTextMaxChars(TextLength(SigmaLevelText(rule->level)));
}

JsonLine PutRule(JsonLine line, const SigmaRuleInfo* rule) {
    line = PutJsonLiteral(line, "{\"id\":");
    line = PutField(line, rule->id, kSigmaIdChars);
    line = PutJsonLiteral(line, ",\"title\":");
    line = PutField(line, rule->title, kSigmaTitleChars);
    line = PutJsonLiteral(line, ",\"level\":");
    line = PutText(line, SigmaLevelText(rule->level));
    return PutJsonChar(line, '}');
}

void GatherMatches(const Recording* app, int32_t index, RowMatches* m) {
    m->set = LoadedSigmaRules(app);
    m->total = 0;
    m->count = 0;
    m->possibleTotal = 0;
    m->possibleCount = 0;
    m->maxChars = 0;
    m->level = -1;
    const int32_t yara = YaraRulesOfRow(app, index, m->yara, kYaraMatchesInFile);
    m->yaraCount = yara > kYaraMatchesInFile ? kYaraMatchesInFile : yara;
    // ,"yara":[ ] and each name quoted with its comma.
    if (m->yaraCount > 0) m->maxChars = 16 + size_t(m->yaraCount) * (kYaraRuleNameChars + 3);
    if (m->set == nullptr) return;
    const int32_t total = SigmaRulesOfRow(app, index, m->rules, kSigmaMatchesInFile);
    const int32_t possible = SigmaPossibleRulesOfRow(app, index, m->possible, kSigmaMatchesInFile);
    if (total <= 0 && possible <= 0) return;
    const size_t yaraChars = m->maxChars;
    m->total = total > 0 ? total : 0;
    m->count = total > kSigmaMatchesInFile ? kSigmaMatchesInFile : m->total;
    m->possibleTotal = possible > 0 ? possible : 0;
    m->possibleCount = possible > kSigmaMatchesInFile ? kSigmaMatchesInFile : m->possibleTotal;
    size_t chars = 192; // ,"sigma":[ ], ,"sigmaNotListed":N, the same of the possible ones and
                        // ,"sigmaLevel":"informational"
    m->level = SigmaLevelOfRow(app, index);
    for (int32_t i = 0; i < m->count; ++i) {
        const SigmaRuleInfo* rule = GetSigmaRule(m->set, m->rules[i]);
        if (rule != nullptr) chars += RuleMaxChars(rule);
    }
    for (int32_t i = 0; i < m->possibleCount; ++i) {
        const SigmaRuleInfo* rule = GetSigmaRule(m->set, m->possible[i].rule);
        if (rule != nullptr) chars += RuleMaxChars(rule);
    }
    m->maxChars = chars + yaraChars;
}

// ,"sigma":[{"id":...,"title":...,"level":...}, ...] and "sigmaNotListed" for a row with
// matches; ,"sigmaPossible":[...] and "sigmaPossibleNotListed" for a row some rule is undecided
// on through fields the row could not learn; "sigmaLevel", the most severe level of its matches
// (the severity column has three levels; the file keeps critical apart from high).
JsonLine PutMatches(JsonLine line, const RowMatches& m) {
    if (m.total > 0) {
        line = PutJsonLiteral(line, ",\"sigma\":[");
        for (int32_t i = 0; i < m.count; ++i) {
            const SigmaRuleInfo* rule = GetSigmaRule(m.set, m.rules[i]);
            if (rule == nullptr) continue;
            if (i > 0) line = PutJsonChar(line, ',');
            line = PutRule(line, rule);
        }
        line = PutJsonChar(line, ']');
        if (m.count < m.total) {
            line = PutJsonLiteral(line, ",\"sigmaNotListed\":");
            line = PutDecimalMember(line, static_cast<uint32_t>(m.total - m.count));
        }
    }
    if (m.possibleTotal > 0) {
        line = PutJsonLiteral(line, ",\"sigmaPossible\":[");
        for (int32_t i = 0; i < m.possibleCount; ++i) {
            const SigmaRuleInfo* rule = GetSigmaRule(m.set, m.possible[i].rule);
            if (rule == nullptr) continue;
            if (i > 0) line = PutJsonChar(line, ',');
            line = PutRule(line, rule);
        }
        line = PutJsonChar(line, ']');
        if (m.possibleCount < m.possibleTotal) {
            line = PutJsonLiteral(line, ",\"sigmaPossibleNotListed\":");
            line = PutDecimalMember(line, static_cast<uint32_t>(m.possibleTotal - m.possibleCount));
        }
    }
    if (m.level >= 0) {
        line = PutJsonLiteral(line, ",\"sigmaLevel\":");
        line = PutText(line, SigmaLevelText(static_cast<uint32_t>(m.level)));
    }
    if (m.yaraCount > 0) {
        line = PutJsonLiteral(line, ",\"yara\":[");
        for (int32_t i = 0; i < m.yaraCount; ++i) {
            if (i > 0) line = PutJsonChar(line, ',');
            line = PutJsonChar(line, '"');
            // An identifier: letters, digits and underscores, nothing to escape.
            const char* name = m.yara[i]->name;
            size_t n = 0;
            while (n + 1 < kYaraRuleNameChars && name[n] != 0) ++n;
            line = PutJsonBytes(line, name, n, n);
            line = PutJsonChar(line, '"');
        }
        line = PutJsonChar(line, ']');
    }
    return line;
}

// Room in the block for a line of at most `maxBytes` bytes written without counting, when
// `fits`, or else for any line within `bound`, counted; null when the block has none.
uint8_t* ReserveLine(BlockWriter* out, bool fits, size_t maxBytes, size_t bound, JsonLine* line) {
    uint8_t* start = ReserveBlock(out, fits ? maxBytes : JsonLineMaxBytes(bound));
    *line = JsonLine{start, 0, fits ? 0u : static_cast<uint32_t>(bound)};
    return start;
}

// The facts of a row for the JSON document's "fields": those known and not empty, by field (as
// JSON Lines writes them), each with the characters its member takes.
struct FactFields {
    SigmaFieldMask present;
    size_t chars; // of every member present, with its comma
    size_t memberChars[kRowFactCount];
    uint32_t length[kRowFactCount];
    char16_t text[kRowFactCount][kFactChars];
};

// ,"fields":{} and ,"factsLeftOut":N at most.
constexpr size_t kFactFieldsFrameChars = 12 + 16 + kDecimalMaxChars;

void GatherFactFields(const Recording* app, int32_t index, const ViewNames& names,
                      FactFields* facts) {
    facts->present = 0;
    facts->chars = 0;
    const RowFacts record = StoredFacts(app, index);
    if (record.layout == kFactsLayoutNone) return;
    for (uint32_t f = 0; f < kRowFactCount; ++f) {
        if (!FactKnown(record, RowFact(f))) continue;
        const TextView view = FactTextOf(&app->rowTexts, record, RowFact(f));
        const uint32_t length = view.length < kFactChars - 1 ? view.length : kFactChars - 1;
        if (length == 0) continue; // as a view writes only fields with a value
        CopyTextUnits(TextView{view.data, length, view.wide}, facts->text[f]);
        facts->text[f][length] = 0;
        facts->length[f] = length;
        const uint32_t field = SigmaFieldOfFact(f);
        facts->memberChars[f] = 2 + JsonStringChars(names.field[field], names.fieldLength[field]) +
                                JsonStringChars(facts->text[f], length);
        facts->chars += facts->memberChars[f];
        facts->present |= SigmaFieldBit(field);
    }
}

// The row's known facts as ,"fields":{...}. In a counted line the facts that would leave no room
// for the rest of the line (`rest` characters at most) are left out, and ,"factsLeftOut":N says
// how many: the line is never refused for its facts.
JsonLine PutFactFields(JsonLine line, const FactFields& facts, size_t rest, const ViewNames& names) {
    if (facts.present == 0) return line;
    SigmaFieldMask present = facts.present;
    uint32_t leftOut = 0;
    if (line.bound != 0) {
        size_t used = line.used + kFactFieldsFrameChars + rest;
        for (uint32_t f = 0; f < kRowFactCount; ++f) {
            const SigmaFieldMask bit = SigmaFieldBit(SigmaFieldOfFact(f));
            if ((present & bit) == 0) continue;
            if (used + facts.memberChars[f] + 9 <= line.bound) {
                used += facts.memberChars[f];
            } else {
                present &= ~bit;
                ++leftOut;
            }
        }
    }
    const RowEscapes none{};
    line = PutFieldsObject(
        line, present,
        [&facts](uint32_t field) {
            const uint32_t f = FactOfSigmaField(field);
            if (f >= kRowFactCount) return ViewText{u"", 0, 0}; // present holds facts only
            return ViewText{facts.text[f], facts.length[f], facts.length[f]};
        },
        names, none);
    if (leftOut == 0) return line;
    line = PutJsonLiteral(line, ",\"factsLeftOut\":");
    return PutDecimalMember(line, leftOut);
}

// ,"text":"..." for a row whose path field holds only the start of its text (a script block,
// module output or scanned content): the whole text, streamed into the block in pieces, since it
// may pass any line's bound. A surrogate pair is never split between pieces. False when the block
// cannot take it.
bool PutWholeTextMember(BlockWriter* out, const Recording* app, int32_t index) {
    const TextView whole = StoredWholePath(app, index);
    static const char kHead[] = ",\"text\":\"";
    if (!PutBlockBytes(out, kHead, sizeof kHead - 1)) return false;
    constexpr uint32_t kPiece = 4096;
    char16_t units[kPiece];
    const uint32_t width = whole.wide ? 2 : 1;
    for (uint32_t at = 0; at < whole.length;) {
        uint32_t n = whole.length - at < kPiece ? whole.length - at : kPiece;
        CopyTextUnits(TextView{whole.data + size_t{at} * width, n, whole.wide}, units);
        if (at + n < whole.length && n > 1 && units[n - 1] >= 0xD800 && units[n - 1] <= 0xDBFF)
            --n; // the pair's first half waits for the next piece
        uint8_t* to = ReserveBlock(out, JsonUtf8MaxBytes(n));
        if (to == nullptr) return false;
        // Written quoted, as every string; the quotes are dropped here (the member has its own).
        const auto bytes = static_cast<size_t>(PutJsonUtf8(to, units, n) - to);
        std::memmove(to, to + 1, bytes - 2);
        AdvanceBlock(out, bytes - 2);
        at += n;
    }
    return PutBlockBytes(out, "\"", 1);
}

// The end of a row's object: its whole text first when it has one (streamed after the line,
// which is advanced here), then `close`. False when the line filled its bound or the block could
// not take the text.
template <size_t N>
bool CloseRowObject(BlockWriter* out, JsonLine line, uint8_t* start, const Recording* app,
                    int32_t index, const char (&close)[N]) {
    if (!StoredPathIsCut(app, index)) line = PutJsonLiteral(line, close);
    if (JsonLineFull(line)) return false;
    AdvanceBlock(out, static_cast<size_t>(line.at - start));
    if (!StoredPathIsCut(app, index)) return true;
    return PutWholeTextMember(out, app, index) && PutBlockBytes(out, close, N - 1);
}

// An event line of the JSON document written into the block; false when it fills its bound (a
// cut object would break the document) or the block has no room.
bool PutJsonRowLine(BlockWriter* out, const Recording* app, int32_t index, EventRow* row,
                    const RowTextViews& views, bool last, const UtcOfRows& utc, UtcDate* date,
                    const ViewNames& names, FactFields* facts) {
    RowMatches m;
    GatherMatches(app, index, &m);
    GatherFactFields(app, index, names, facts);
    const size_t factsChars = facts->present != 0 ? kFactFieldsFrameChars + facts->chars : 0;
    const size_t maxChars = 3 + kRowMembersMaxChars + factsChars + m.maxChars + 3;
    JsonLine line;
    // Nothing of a line this long can be cut: its strings stop 8 characters before the bound.
    uint8_t* start =
        ReserveLine(out, maxChars <= kJsonBufferChars - 9, maxChars, kJsonBufferChars, &line);
    if (start == nullptr) return false;
    ReadStoredRowTerminated(app, index, views.text, row);
    line = PutJsonLiteral(line, "  {");
    line = PutRowMembers(line, *row, LengthsOf(views), utc, date);
    line = PutFactFields(line, *facts, m.maxChars + 3, names);
    line = PutMatches(line, m);
    return last ? CloseRowObject(out, line, start, app, index, "}\n")
                : CloseRowObject(out, line, start, app, index, "},\n");
}

// The JSON file's chunks: the rows, and each worker's date of the rows' UTC times and scratch
// row that a line is formatted from.
struct JsonJob {
    const Recording* app;
    UtcOfRows utc;
    UtcDate date[2];
    EventRow* row[2];
    const ViewNames* names;
    FactFields* facts[2];
};

bool PutJsonChunk(void* job, ChunkGate*, int32_t worker, int32_t chunk, BlockWriter* out) {
    auto* j = static_cast<JsonJob*>(job);
    const Recording* app = j->app;
    UtcDate* date = &j->date[worker];
    int32_t begin = 0, end = 0;
    ChunkBounds(chunk, app->shownCount, &begin, &end);
    return ForEachShownRow(app, begin, end, [&](int32_t shown, const RowTextViews& views) {
        const int32_t index = app->shownRows[shown];
        const bool last = shown == app->shownCount - 1;
        return PutJsonRowLine(out, app, index, j->row[worker], views, last, j->utc, date, *j->names,
                              j->facts[worker]);
    });
}

// The file itself: mark, head, the shown rows, end. rowsLock is held.
FileOutcome WriteJsonFile(Recording* app, const char16_t* path, const RecordingInfo& snap,
                          uint32_t* openError) {
    SafeFileWriter writer;
    if (!OpenSafeFile(&writer, path)) {
        *openError = writer.openError;
        return kFileNotOpened;
    }
    BlockWriter block;
    OpenBlockWriter(&block, &writer, ExportBlockBytes());
    static const unsigned char kBom[3] = {0xEF, 0xBB, 0xBF};
    PutBlockBytes(&block, kBom, sizeof kBom);

    char16_t* head = static_cast<char16_t*>(AllocZeroed(kJsonBufferChars * sizeof(char16_t)));
    if (head == nullptr) {
        writer.ok = false;
    } else {
        if (!BuildHead(app, snap, head)) writer.ok = false;
        PutBlockUtf8(&block, head);
        FreeBlock(head);
    }

    auto* names = AllocRecord<ViewNames>();
    if (names != nullptr) MakeViewNames(names);
    JsonJob job{app,   UtcOfRowsOf(app), {}, {AllocRecord<EventRow>(), AllocRecord<EventRow>()},
                names, {AllocRecord<FactFields>(), AllocRecord<FactFields>()}};
    if (job.row[0] == nullptr || job.row[1] == nullptr || names == nullptr ||
        job.facts[0] == nullptr || job.facts[1] == nullptr) {
        writer.ok = false;
    }
    if (writer.ok) {
        WriteChunks(&block, ChunkWork{&job, ExportChunkCount(app->shownCount), PutJsonChunk});
    }
    FreeBlock(job.row[0]);
    FreeBlock(job.row[1]);
    FreeBlock(job.facts[0]);
    FreeBlock(job.facts[1]);
    FreeBlock(names);
    PutBlockUtf8(&block, u"  ]\n}\n");
    CloseBlockWriter(&block);

    return CommitFile(&writer);
}

// --- JSON Lines ---

constexpr size_t kLineChars = 65536; // an event line with its field view and matches
// A chunk's rows are walked three times (measured, learned, written): few enough that its rows,
// kept views and bytes stay in the processor's cache from the first walk to the last.
constexpr int32_t kJsonLinesChunkRows = 512;
// Rows whose texts are looked up at a time (ViewShownRows takes at most kRowBatch).
constexpr int32_t kMeasureRows = 16;
// How many rows ahead of the row learned the field view's table slot is asked for. The view
// reads the typed record in the store, so asking ahead reads only the texts of the few rows that
// look a key up (writes, connections).
constexpr int32_t kLearnAhead = 8;

// A field of a view as the learning turn kept it: its text in the row (an offset in characters
// from the start of the EventRow a line is formatted from: the view read the same texts from the
// store) or, with kInStore, in the chunk's store of texts (the view buffer's and the context's
// texts move or are written over by the next row learned).
struct KeptField {
    uint32_t offset;
    uint32_t length; // 0: the field is absent
};
constexpr uint32_t kInStore = 0x80000000u;

// The field views of one chunk's rows, as the learning turn left them. A worker's own: on a
// cache line of its own, since one worker learns into its views while the other formats from
// its.
struct alignas(64) ViewChunk {
    uint8_t* outcome;        // SigmaViewOutcome of each row
    uint32_t* categories;    // each row's view's categories (0 for a row without a view)
    SigmaFieldMask* mask;    // each row's view's fields that are present
    SigmaFieldMask* unknown; // each row's view's fields that the row could not learn
    KeptField* fields;       // kSigmaFieldCount a row
    char16_t* store;         // texts of the views that are not in their rows
    size_t storeUsed;
    size_t storeCapacity;
    RowTextViews* views;     // each row's texts, looked up before the learning turn
    UtcDate date;            // of the rows' UTC times
    EventRow* row;           // the scratch row a line is formatted from
};

// The fields of the chunk's row k that its view lists (none when the view names no category).
inline SigmaFieldMask KeptMask(const ViewChunk* v, int32_t k) {
    return v->categories[k] != 0 ? v->mask[k] : 0;
}

inline const char16_t* KeptText(const ViewChunk* v, const KeptField& kept, const EventRow& row) {
    return (kept.offset & kInStore) != 0 ? v->store + (kept.offset & ~kInStore)
                                         : reinterpret_cast<const char16_t*>(&row) + kept.offset;
}

// The most characters the view members take for the kept view of the chunk's row k.
size_t KeptMembersMaxChars(const ViewChunk* v, int32_t k, const ViewNames& names) {
    size_t chars = 32 + names.categoriesMaxChars; // ,"categories":[ ],"fields":{ }
    if (v->categories[k] != 0 && v->unknown[k] != 0) {
        chars += 20; // ,"unknownFields":[ ]
        for (SigmaFieldMask rest = v->unknown[k] & kEverySigmaField; rest != 0; rest &= rest - 1) {
            const auto f = static_cast<uint32_t>(__builtin_ctzll(rest));
            chars += 3 + JsonTextMaxChars(names.fieldLength[f]);
        }
    }
    const KeptField* kept = v->fields + static_cast<size_t>(k) * kSigmaFieldCount;
    for (SigmaFieldMask rest = KeptMask(v, k); rest != 0; rest &= rest - 1) {
        const auto f = static_cast<uint32_t>(__builtin_ctzll(rest));
        chars += 2 + JsonTextMaxChars(names.fieldLength[f]) + JsonTextMaxChars(kept[f].length);
    }
    return chars;
}

// ,"categories":[...],"fields":{...} of a view, only fields with a value, and "unknownFields":
// the fields of its categories the row could not learn ("not known", which is not "empty").
// `present` has the fields listed (none for a view of no category), `field(f)` gives each; a field
// that is the row's process name or path is copied from where PutRowMembers wrote it.
template <typename FieldOf>
JsonLine PutViewMembers(JsonLine line, uint32_t categories, SigmaFieldMask unknown,
                        SigmaFieldMask present,
                        FieldOf field, const ViewNames& names, const RowEscapes& escapes) {
    line = PutJsonLiteral(line, ",\"categories\":[");
    bool first = true;
    for (uint32_t rest = categories; rest != 0; rest &= rest - 1) {
        const auto c = static_cast<uint32_t>(__builtin_ctz(rest));
        if (c >= kSigmaCategoryCount) break;
        if (!first) line = PutJsonChar(line, ',');
        line = PutJsonMade(line, names.categoryJson[c], names.categoryJsonBytes[c],
                           names.category[c], names.categoryLength[c]);
        first = false;
    }
    line = PutJsonChar(line, ']');
    line = PutFieldsObject(line, present, field, names, escapes);
    if (categories == 0 || unknown == 0) return line;
    line = PutJsonLiteral(line, ",\"unknownFields\":[");
    first = true;
    // In field order, as the bits are taken from the lowest.
    for (SigmaFieldMask rest = unknown & kEverySigmaField; rest != 0; rest &= rest - 1) {
        const auto f = static_cast<uint32_t>(__builtin_ctzll(rest));
        if (!first) line = PutJsonChar(line, ',');
        // The name with its colon made once: without the colon.
        line = PutJsonMade(line, names.fieldJson[f], names.fieldJsonBytes[f] - 1, names.field[f],
                           names.fieldLength[f]);
        first = false;
    }
    return PutJsonChar(line, ']');
}

// The view members of a process start, as UTF-8. A start is viewed once its image path is known,
// often some rows later, while its line comes at its own place: its members are made when it
// becomes due and wait for its line.
struct StartViewText {
    int32_t row;
    uint8_t* bytes; // null: not made (still waiting, or no view)
    uint32_t count; // bytes
    uint32_t chars; // characters
};

// Makes the members of the view in buffer, written within the bound of a line into `scratch`
// (room for JsonLineMaxBytes(kLineChars)), then into a block of their own. False when memory is
// refused.
bool MakeStartView(const SigmaViewBuffer* buffer, const ViewNames& names, uint8_t* scratch,
                   StartViewText* out) {
    const SigmaEventView* view = &buffer->view;
    SigmaFieldMask present = 0;
    for (uint32_t f = 0; view->categories != 0 && f < kSigmaFieldCount; ++f) {
        if (view->fields[f].text != nullptr && view->fields[f].length != 0) present |= SigmaFieldBit(f);
    }
    const RowEscapes none{};
    const JsonLine line = PutViewMembers(
        JsonLine{scratch, 0, static_cast<uint32_t>(kLineChars)}, view->categories,
        ListedUnknownFields(*buffer), present,
        [view](uint32_t f) {
            return ViewText{view->fields[f].text, view->fields[f].length, view->fields[f].length};
        },
        names, none);
    const auto count = static_cast<size_t>(line.at - scratch);
    auto* bytes = static_cast<uint8_t*>(AllocZeroed(count + 1));
    if (bytes == nullptr) return false;
    std::memcpy(bytes, scratch, count);
    out->bytes = bytes;
    out->count = static_cast<uint32_t>(count);
    out->chars = line.used;
    return true;
}

// The shown starts whose views were not due when they were learned: entered by the learning
// turn, given their members by it when they become due, taken by the worker writing their lines
// (which waits for them while the other worker learns the next chunk). Under the chunk gate's
// lock. At most the shown rows of two chunks: a worker learns a chunk only after writing the one
// before it, whose starts it took.
struct HeldStarts {
    StartViewText* items; // in no order
    int32_t count;
    int32_t capacity;
    int32_t waiting; // items not given their members yet
};

StartViewText* FindHeld(HeldStarts* held, int32_t row) {
    for (int32_t i = 0; i < held->count; ++i) {
        if (held->items[i].row == row) return &held->items[i];
    }
    return nullptr;
}

void RemoveHeld(HeldStarts* held, StartViewText* item) {
    if (item->bytes == nullptr) --held->waiting;
    *item = held->items[--held->count];
}

// A second field view that learns ahead of the walk from the first row, for the starts whose
// view is still not due when their lines must be written: their process's image load or end comes
// more than a chunk later, or never (then at the end of the rows). It learns only as far as such
// a start needs. A fresh context learning the same rows in the same order, viewing each start
// once it is due, gives each start the view the walk gives it.
struct StartScout {
    Lock lock;
    bool opened;               // its memory was asked for (when first needed)
    SigmaViewContext* context;
    SigmaViewBuffer* buffer;
    uint8_t* scratch; // JsonLineMaxBytes(kLineChars)
    int32_t next;     // the next row it learns
    bool released;    // every row learned and every start made due
    // Views below this row are not kept: their lines are written (a worker asks from chunk c only
    // once every chunk before c - 1 is written).
    int32_t floor;
    StartViewText* items; // the views of shown starts made and not taken yet, by row
    int32_t count;
    int32_t capacity;
};

bool OpenScout(StartScout* s) {
    s->context = NewSigmaViewContext();
    s->buffer = AllocRecord<SigmaViewBuffer>();
    s->scratch = static_cast<uint8_t*>(AllocZeroed(JsonLineMaxBytes(kLineChars)));
    return s->context != nullptr && s->buffer != nullptr && s->scratch != nullptr;
}

void CloseScout(StartScout* s) {
    for (int32_t i = 0; i < s->count; ++i)
        FreeBlock(s->items[i].bytes);
    FreeBlock(s->items);
    FreeBlock(s->scratch);
    FreeBlock(s->buffer);
    FreeSigmaViewContext(s->context);
    s->context = nullptr;
    s->buffer = nullptr;
    s->scratch = nullptr;
    s->items = nullptr;
    s->count = 0;
    s->capacity = 0;
}

// Keeps a view the scout made, in row order; false when memory is refused.
bool KeepScouted(StartScout* s, const StartViewText& view) {
    if (s->count >= s->capacity) {
        const int32_t capacity = s->capacity == 0 ? 64 : s->capacity * 2;
        auto* grown = static_cast<StartViewText*>(
            AllocZeroed(static_cast<size_t>(capacity) * sizeof(StartViewText)));
        if (grown == nullptr) return false;
        if (s->count > 0) {
            std::memcpy(grown, s->items, static_cast<size_t>(s->count) * sizeof(StartViewText));
        }
        FreeBlock(s->items);
        s->items = grown;
        s->capacity = capacity;
    }
    StartViewText* end = s->items + s->count;
    StartViewText* at = std::upper_bound(
        s->items, end, view.row, [](int32_t r, const StartViewText& a) { return r < a.row; });
    std::memmove(at + 1, at, static_cast<size_t>(end - at) * sizeof(StartViewText));
    *at = view;
    ++s->count;
    return true;
}

// Whether the row is shown (the shown rows are in the store's order).
bool IsShownRow(const Recording* app, int32_t row) {
    const int32_t* begin = app->shownRows;
    const int32_t* end = begin + app->shownCount;
    const int32_t* at = std::lower_bound(begin, end, row);
    return at != end && *at == row;
}

// The view members of the kept view of the chunk's row k.
JsonLine PutKeptMembers(JsonLine line, const ViewChunk* v, int32_t k, const EventRow& row,
                        const ViewNames& names, const RowEscapes& escapes) {
    const KeptField* kept = v->fields + static_cast<size_t>(k) * kSigmaFieldCount;
    return PutViewMembers(
        line, v->categories[k], v->unknown[k], KeptMask(v, k),
        [&](uint32_t f) {
            const char16_t* text = KeptText(v, kept[f], row);
            // What may be read from the text on: the rest of the row, or of the store.
            const size_t readable =
                (kept[f].offset & kInStore) != 0
                    ? v->storeCapacity - (kept[f].offset & ~kInStore)
                    : static_cast<size_t>(reinterpret_cast<const char16_t*>(&row + 1) - text);
            return ViewText{text, kept[f].length, readable};
        },
        names, escapes);
}

// An event line of the JSON Lines file written into the block: its view members from the kept
// view of the chunk's row k, or the kept members of a start's view; false when it fills its bound
// or the block has no room.
bool PutEventLine(BlockWriter* out, const Recording* app, int32_t index, const RowTextViews& views,
                  ViewChunk* v, int32_t k, const StartViewText* startView, const ViewNames& names,
                  const UtcOfRows& utc) {
    RowMatches m;
    GatherMatches(app, index, &m);
    const size_t viewChars =
        startView != nullptr ? startView->chars : KeptMembersMaxChars(v, k, names);
    const size_t maxChars = 16 + kRowMembersMaxChars + viewChars + m.maxChars + 2;
    JsonLine line;
    // A start's members take up to three bytes a character.
    uint8_t* start = ReserveLine(out, maxChars <= kLineChars - 2,
                                 maxChars + 2 * (startView != nullptr ? startView->chars : 0),
                                 kLineChars, &line);
    if (start == nullptr) return false;
    const EventRow& row = *v->row;
    ReadStoredRowTerminated(app, index, views.text, v->row);
    line = PutJsonLiteral(line, "{\"kind\":\"event\",");
    RowEscapes escapes;
    line = PutRowMembers(line, row, LengthsOf(views), utc, &v->date, &escapes);
    if (startView != nullptr) {
        line = PutJsonBytes(line, startView->bytes, startView->count, startView->chars);
    } else {
        line = PutKeptMembers(line, v, k, row, names, escapes);
    }
    line = PutMatches(line, m);
    return CloseRowObject(out, line, start, app, index, "}\n");
}

// A row's key in the field view's tables, made when its slot was asked for. Room for the keys of
// the rows between the row learned and the one asked for, and more.
constexpr int32_t kAheadKeys = 2 * kLearnAhead;
struct AheadKey {
    int32_t row;
    SigmaRowKey key;
};

struct JsonLinesJob {
    const Recording* app;
    SigmaViewContext* context;     // learning turn only
    SigmaViewBuffer* buffer;       // learning turn only: the view of the row learned
    SigmaViewBuffer* startBuffer;  // learning turn only: the view of a start that became due
    uint8_t* scratch;              // learning turn only: JsonLineMaxBytes(kLineChars)
    AheadKey keys[kAheadKeys];     // learning turn only: of the rows asked for, by row % kAheadKeys
    const ViewNames* names;
    int32_t chunkCount;
    HeldStarts held; // under the gate's lock
    StartScout scout;
    // Written for every row learned: apart from what the formatting reads.
    alignas(64) int32_t learned; // rows learned so far (learning turn only)
    ChunkTurn learn;
    ViewChunk views[2]; // one per worker
};

bool OpenJsonLinesJob(JsonLinesJob* job) {
    // A chunk's rows, at most: a chunk holds no more rows than are shown.
    const int32_t per = ExportChunkRows(kJsonLinesChunkRows);
    const int32_t most = per < job->app->shownCount ? per : job->app->shownCount;
    const size_t rows = static_cast<size_t>(most) + 1;
    job->chunkCount = ExportChunkCount(job->app->shownCount, kJsonLinesChunkRows);
    job->held.capacity = 2 * most + 2;
    job->held.items = static_cast<StartViewText*>(
        AllocZeroed(static_cast<size_t>(job->held.capacity) * sizeof(StartViewText)));
    job->startBuffer = AllocRecord<SigmaViewBuffer>();
    InitLock(&job->scout.lock);
    if (job->held.items == nullptr || job->startBuffer == nullptr) return false;
    for (ViewChunk& v : job->views) {
        v.outcome = static_cast<uint8_t*>(AllocZeroed(rows));
        v.categories = static_cast<uint32_t*>(AllocZeroed(rows * sizeof(uint32_t)));
        v.mask = static_cast<SigmaFieldMask*>(AllocZeroed(rows * sizeof(SigmaFieldMask)));
        v.unknown = static_cast<SigmaFieldMask*>(AllocZeroed(rows * sizeof(SigmaFieldMask)));
        v.fields = static_cast<KeptField*>(AllocZeroed(rows * kSigmaFieldCount * sizeof(KeptField)));
        v.storeCapacity = size_t{1} << 16;
        v.store = static_cast<char16_t*>(AllocZeroed(v.storeCapacity * sizeof(char16_t)));
        v.views = static_cast<RowTextViews*>(AllocZeroed(rows * sizeof(RowTextViews)));
        v.row = AllocRecord<EventRow>();
        if (v.outcome == nullptr || v.categories == nullptr || v.mask == nullptr ||
            v.unknown == nullptr || v.fields == nullptr || v.store == nullptr ||
            v.views == nullptr || v.row == nullptr) {
            return false;
        }
    }
    return true;
}

void CloseJsonLinesJob(JsonLinesJob* job) {
    for (ViewChunk& v : job->views) {
        FreeBlock(v.outcome);
        FreeBlock(v.categories);
        FreeBlock(v.mask);
        FreeBlock(v.unknown);
        FreeBlock(v.fields);
        FreeBlock(v.store);
        FreeBlock(v.views);
        FreeBlock(v.row);
        v = ViewChunk{};
    }
    // What a failed export left held.
    for (int32_t i = 0; i < job->held.count; ++i)
        FreeBlock(job->held.items[i].bytes);
    FreeBlock(job->held.items);
    job->held = HeldStarts{};
    FreeBlock(job->startBuffer);
    job->startBuffer = nullptr;
    CloseScout(&job->scout);
    DeleteLock(&job->scout.lock);
}

// Copies a text into the chunk's store; false when memory is refused.
bool KeepInStore(ViewChunk* v, const char16_t* text, uint32_t length, KeptField* kept) {
    if (v->storeCapacity - v->storeUsed < length) {
        size_t capacity = v->storeCapacity * 2;
        if (capacity < v->storeUsed + length) capacity = v->storeUsed + length;
        if (capacity >= kInStore) return false;
        auto* grown = static_cast<char16_t*>(AllocZeroed(capacity * sizeof(char16_t)));
        if (grown == nullptr) return false;
        std::memcpy(grown, v->store, v->storeUsed * sizeof(char16_t));
        FreeBlock(v->store);
        v->store = grown;
        v->storeCapacity = capacity;
    }
    std::memcpy(v->store + v->storeUsed, text, length * sizeof(char16_t));
    *kept = KeptField{static_cast<uint32_t>(v->storeUsed) | kInStore, length};
    v->storeUsed += length;
    return true;
}

// Where a view text that lies in one of the row's texts the view read (SigmaRowTexts) lies in
// the EventRow of the row: its offset in characters from the EventRow's start. Both hold the
// same stored text from the field's start, cut at the field's capacity. False for a text that is
// not one of the row's.
bool PlaceInRow(const SigmaRowTexts& texts, const char16_t* text, uint32_t length,
                uint32_t* offset) {
    struct Field {
        const char16_t* read;
        size_t chars;
        size_t at; // bytes from the EventRow's start
    };
    const Field fields[] = {{texts.path, kPathChars, offsetof(EventRow, path)},
                            {texts.detail, kDetailChars, offsetof(EventRow, detail)},
                            {texts.result, kResultChars, offsetof(EventRow, result)},
                            {texts.process, kProcessChars, offsetof(EventRow, process)}};
    const auto begin = reinterpret_cast<uintptr_t>(text);
    const uintptr_t end = begin + size_t{length} * sizeof(char16_t);
    for (const Field& field : fields) {
        const auto first = reinterpret_cast<uintptr_t>(field.read);
        if (begin >= first && end <= first + field.chars * sizeof(char16_t)) {
            *offset = static_cast<uint32_t>((field.at + (begin - first)) / sizeof(char16_t));
            return true;
        }
    }
    return false;
}

// Keeps the view of the chunk's row k (in buffer).
bool KeepView(ViewChunk* v, int32_t k, const SigmaViewBuffer& buffer) {
    const SigmaEventView& view = buffer.view;
    v->categories[k] = view.categories;
    v->unknown[k] = ListedUnknownFields(buffer);
    SigmaFieldMask mask = 0;
    KeptField* kept = v->fields + static_cast<size_t>(k) * kSigmaFieldCount;
    // Only the fields of the mask are read back (KeptMask): an absent field's entry is left as
    // it was.
    for (SigmaFieldMask rest = view.set & kEverySigmaField; rest != 0; rest &= rest - 1) {
        const auto f = static_cast<uint32_t>(__builtin_ctzll(rest));
        SigmaText text = view.fields[f];
        if (text.text == nullptr || text.length == 0) continue;
        // A whole script text is written once, as the row's "text"; its field keeps the start
        // the path field holds, as a line's bound allows.
        if (text.length > kPathChars - 1) text.length = kPathChars - 1;
        mask |= SigmaFieldBit(f);
        uint32_t offset = 0;
        if (PlaceInRow(buffer.row, text.text, text.length, &offset)) {
            kept[f] = KeptField{offset, text.length};
        } else if (!KeepInStore(v, text.text, text.length, &kept[f])) {
            return false;
        }
    }
    v->mask[k] = mask;
    return true;
}

// Learns the next row, asking for the table slot of a row kLearnAhead rows on; its view is left
// in job->buffer.
uint32_t LearnNextRow(JsonLinesJob* job) {
    const Recording* app = job->app;
    const TextStore* store = StoredTexts(app);
    const int32_t row = job->learned;
    const int32_t ahead = row + kLearnAhead;
    if (ahead < app->rowCount) {
        AheadKey& next = job->keys[ahead % kAheadKeys];
        next = AheadKey{ahead, SigmaKeyOfRow(store, StoredRecord(app, ahead))};
        PrefetchSigmaKey(job->context, next.key);
    }
    // The key made when the row was asked for, that is kLearnAhead rows ago.
    const AheadKey& made = job->keys[row % kAheadKeys];
    const uint32_t outcome = LearnSigmaRowWithKey(job->context, store, StoredRecord(app, row), row,
                                                  made.row == row ? made.key : SigmaRowKey{},
                                                  job->buffer);
    ++job->learned;
    return outcome;
}

// Views every start that became due (the context expects each viewed once it is due) and gives
// its members to the line that waits for them. False when memory is refused.
bool GiveDueStarts(JsonLinesJob* job, ChunkGate* gate) {
    const Recording* app = job->app;
    int32_t due[64];
    int32_t n;
    bool given = false;
    bool ok = true;
    while ((n = TakeDueSigmaRows(job->context, due, 64)) > 0) {
        for (int32_t i = 0; i < n && ok; ++i) {
            if (due[i] < 0 || due[i] >= app->rowCount ||
                !SigmaViewOfStartRow(job->context, StoredTexts(app), StoredRecord(app, due[i]),
                                     due[i], job->startBuffer)) {
                continue;
            }
            LockGuard hold(&gate->lock);
            StartViewText* held = FindHeld(&job->held, due[i]);
            if (held == nullptr || held->bytes != nullptr) continue; // a hidden row, or taken
            ok = MakeStartView(job->startBuffer, *job->names, job->scratch, held);
            if (ok) --job->held.waiting;
            given = given || ok;
        }
    }
    if (given) WakeAllCondition(&gate->changed);
    return ok;
}

// Enters a shown start whose view is not due yet; false when the held starts are full (which
// the bound above rules out).
bool HoldStart(JsonLinesJob* job, ChunkGate* gate, int32_t row) {
    LockGuard hold(&gate->lock);
    HeldStarts* held = &job->held;
    if (held->count >= held->capacity) return false;
    held->items[held->count++] = StartViewText{row, nullptr, 0, 0};
    ++held->waiting;
    return true;
}

bool AnyStartWaiting(JsonLinesJob* job, ChunkGate* gate) {
    LockGuard hold(&gate->lock);
    return job->held.waiting > 0;
}

// The learning turn of a chunk: every row up to its last shown row learned in order, the view of
// each of its shown rows kept, and the hidden rows up to the next chunk's first shown row learned
// too, so that the starts they make due are given before this chunk's lines are written. The last
// chunk learns on while a shown start waits, to the end of the rows, where every start is due.
bool LearnChunk(JsonLinesJob* job, ChunkGate* gate, int32_t begin, int32_t end, ViewChunk* v) {
    const Recording* app = job->app;
    v->storeUsed = 0;
    for (int32_t s = begin; s < end; ++s) {
        const int32_t index = app->shownRows[s];
        // The shown rows are in the store's order, each naming a row.
        if (index < job->learned || index >= app->rowCount) return false;
        uint32_t outcome = kSigmaViewNone;
        for (;;) {
            const bool shown = job->learned == index;
            outcome = LearnNextRow(job);
            if (shown) break;
            if (!GiveDueStarts(job, gate)) return false;
        }
        const int32_t k = s - begin;
        v->outcome[k] = static_cast<uint8_t>(outcome);
        v->categories[k] = 0;
        v->mask[k] = 0;
        // The view's texts in the row are kept as places in it: the formatting finds them in
        // its own copy of the row. Kept before any due start is viewed, which may move the
        // context's texts the view points at.
        if (outcome == kSigmaViewReady && !KeepView(v, k, *job->buffer)) return false;
        if (outcome == kSigmaViewDeferred && !HoldStart(job, gate, index)) return false;
        if (!GiveDueStarts(job, gate)) return false;
    }
    const bool last = end >= app->shownCount;
    int32_t stop = last ? app->rowCount : app->shownRows[end];
    if (stop > app->rowCount) stop = app->rowCount;
    while (job->learned < stop) {
        if (last && job->learned % 64 == 0 && !AnyStartWaiting(job, gate)) return true;
        LearnNextRow(job);
        if (!GiveDueStarts(job, gate)) return false;
    }
    if (last && job->learned == app->rowCount) {
        // No image load will come any more.
        ReleaseDeferredSigmaRows(job->context);
        if (!GiveDueStarts(job, gate)) return false;
    }
    return true;
}

// The scout learns its next row (or, past the last, makes every start due) and keeps the views
// of the shown starts that became due. False when memory is refused.
bool ScoutNextRow(const Recording* app, StartScout* s, const ViewNames& names) {
    const TextStore* store = StoredTexts(app);
    if (s->next < app->rowCount) {
        if (s->next + kLearnAhead < app->rowCount) {
            PrefetchSigmaRow(s->context, store, StoredRecord(app, s->next + kLearnAhead));
        }
        LearnSigmaRow(s->context, store, StoredRecord(app, s->next), s->next, s->buffer);
        ++s->next;
    } else {
        ReleaseDeferredSigmaRows(s->context);
        s->released = true;
    }
    int32_t due[64];
    int32_t n;
    while ((n = TakeDueSigmaRows(s->context, due, 64)) > 0) {
        for (int32_t i = 0; i < n; ++i) {
            if (due[i] < 0 || due[i] >= app->rowCount ||
                !SigmaViewOfStartRow(s->context, store, StoredRecord(app, due[i]), due[i],
                                     s->buffer) ||
                due[i] < s->floor || !IsShownRow(app, due[i])) {
                continue;
            }
            StartViewText view{due[i], nullptr, 0, 0};
            if (!MakeStartView(s->buffer, names, s->scratch, &view)) return false;
            if (!KeepScouted(s, view)) {
                FreeBlock(view.bytes);
                return false;
            }
        }
    }
    return true;
}

// The view of a start for a line of chunk `chunk` from the scout, which learns on as far as it
// needs. A start that never became due (memory refused on the way) has none: bytes null.
bool ScoutStartView(JsonLinesJob* job, int32_t chunk, int32_t row, StartViewText* out) {
    const Recording* app = job->app;
    StartScout* s = &job->scout;
    LockGuard hold(&s->lock);
    if (!s->opened) {
        s->opened = true; // once: a refused part fails this and every later ask
        if (OpenScout(s)) SetSigmaRecorderImage(s->context, app->origin.recorderImage);
    }
    if (s->context == nullptr || s->buffer == nullptr || s->scratch == nullptr) return false;
    if (chunk > 0) {
        int32_t begin = 0, end = 0;
        ChunkBounds(chunk - 1, app->shownCount, &begin, &end, kJsonLinesChunkRows);
        if (app->shownRows[begin] > s->floor) s->floor = app->shownRows[begin];
    }
    for (;;) {
        StartViewText* end = s->items + s->count;
        StartViewText* at = std::lower_bound(
            s->items, end, row, [](const StartViewText& a, int32_t r) { return a.row < r; });
        if (at != end && at->row == row) {
            *out = *at;
            std::memmove(at, at + 1, static_cast<size_t>(end - at - 1) * sizeof(StartViewText));
            --s->count;
            return true;
        }
        if (s->released) {
            *out = StartViewText{row, nullptr, 0, 0};
            return true;
        }
        if (!ScoutNextRow(app, s, *job->names)) return false;
    }
}

// The view of a shown start of chunk `chunk` whose view was not due when it was learned: given
// by the learning turn when it becomes due, waited for while the other worker learns the next
// chunk, and past that asked of the scout. The caller frees out->bytes. False when the gate was
// stopped or memory refused.
bool TakeStartView(JsonLinesJob* job, ChunkGate* gate, int32_t chunk, int32_t row,
                   StartViewText* out) {
    {
        LockGuard hold(&gate->lock);
        for (;;) {
            if (gate->stopped.load(std::memory_order_relaxed) != 0) return false;
            StartViewText* held = FindHeld(&job->held, row);
            if (held == nullptr) break;
            if (held->bytes != nullptr) {
                *out = *held; // the members are the caller's now
                RemoveHeld(&job->held, held);
                return true;
            }
            const bool more = gate->workers > 1 && chunk + 1 < job->chunkCount &&
                              job->learn.next <= chunk + 1;
            if (!more) {
                RemoveHeld(&job->held, held);
                break;
            }
            WaitCondition(&gate->changed, &gate->lock); // the next chunk learned, or this start
        }
    }
    return ScoutStartView(job, chunk, row, out);
}

bool PutJsonLinesChunk(void* data, ChunkGate* gate, int32_t worker, int32_t chunk,
                       BlockWriter* out) {
    auto* job = static_cast<JsonLinesJob*>(data);
    const Recording* app = job->app;
    ViewChunk* v = &job->views[worker];
    int32_t begin = 0, end = 0;
    ChunkBounds(chunk, app->shownCount, &begin, &end, kJsonLinesChunkRows);
    // The rows' texts are looked up first, while the other worker holds the learning turn.
    for (int32_t first = begin; first < end; first += kMeasureRows) {
        const int32_t count = end - first < kMeasureRows ? end - first : kMeasureRows;
        if (!ViewShownRows(app, first, count, v->views + (first - begin))) return false;
    }
    if (!WaitChunkTurn(gate, &job->learn, chunk)) return false;
    if (!LearnChunk(job, gate, begin, end, v)) return false;
    PassChunkTurn(gate, &job->learn, chunk);

    const UtcOfRows utc = UtcOfRowsOf(app);
    for (int32_t s = begin; s < end; ++s) {
        const int32_t k = s - begin;
        const int32_t index = app->shownRows[s];
        StartViewText start{index, nullptr, 0, 0};
        if (v->outcome[k] == kSigmaViewDeferred &&
            !TakeStartView(job, gate, chunk, index, &start)) {
            return false;
        }
        const bool put = PutEventLine(out, app, index, v->views[k], v, k,
                                      start.bytes != nullptr ? &start : nullptr, *job->names, utc);
        FreeBlock(start.bytes);
        if (!put) return false;
    }
    return true;
}

// The JSON Lines file: the recording line, one line per shown row, the end line, in one walk of
// the rows. rowsLock is held.
FileOutcome WriteJsonLinesFile(Recording* app, const char16_t* path, const RecordingInfo& snap,
                               uint32_t* openError) {
    SafeFileWriter writer;
    if (!OpenSafeFile(&writer, path)) {
        *openError = writer.openError;
        return kFileNotOpened;
    }

    SigmaViewContext* context = NewSigmaViewContext();
    auto* buffer = AllocRecord<SigmaViewBuffer>();
    auto* line = static_cast<char16_t*>(AllocZeroed(kLineChars * sizeof(char16_t)));
    auto* scratch = static_cast<uint8_t*>(AllocZeroed(JsonLineMaxBytes(kLineChars)));
    auto* names = AllocRecord<ViewNames>();
    if (context == nullptr || buffer == nullptr || line == nullptr || scratch == nullptr ||
        names == nullptr) {
        writer.ok = false;
    }
    BlockWriter block{};
    if (writer.ok) OpenBlockWriter(&block, &writer, ExportBlockBytes());

    if (writer.ok) {
        MakeViewNames(names);
        // The recording's recorder, as the rows were matched with (UseRecordingOriginForSigma).
        SetSigmaRecorderImage(context, app->origin.recorderImage);
        line[0] = 0;
        AppendBounded(line, kJsonBufferChars, u"{\"kind\":\"recording\",");
        if (!BuildMetadata(app, snap, line, kLineLayout)) writer.ok = false;
        AppendBounded(line, kJsonBufferChars, u"}\n");
        if (TextLength(line) >= kJsonBufferChars - 1) writer.ok = false;
        PutBlockUtf8(&block, line);
    }

    // Every row learned once in order (chunk by chunk, in the learning turn), the shown ones
    // written.
    int32_t written = 0;
    JsonLinesJob job{};
    job.learn.next = 0;
    job.app = app;
    job.context = context;
    job.buffer = buffer;
    job.scratch = scratch;
    job.names = names;
    if (writer.ok && !OpenJsonLinesJob(&job)) writer.ok = false;
    if (writer.ok) {
        if (WriteChunks(&block, ChunkWork{&job, job.chunkCount, PutJsonLinesChunk})) {
            written = app->shownCount;
        }
        // A view that lacks what refused memory kept from the field view's tables would be
        // written as if complete: the file is not written instead.
        if (SigmaViewLosses(context) != 0 || SigmaViewLosses(job.scout.context) != 0) {
            writer.ok = false;
        }
    }
    CloseJsonLinesJob(&job);
    if (writer.ok) {
        FormatText(line, kLineChars, u"{\"kind\":\"end\",\"events\":%d}\n", written);
        PutBlockUtf8(&block, line);
    }
    if (block.bytes != nullptr) CloseBlockWriter(&block);

    FreeBlock(names);
    FreeBlock(scratch);
    FreeBlock(line);
    FreeBlock(buffer);
    FreeSigmaViewContext(context);
    return CommitFile(&writer);
}

// A snapshot, then the shown rows written under rowsLock (they stay as they are while written),
// then the outcome.
using ShownRowsWriter = FileOutcome (*)(Recording*, const char16_t*, const RecordingInfo&,
                                        uint32_t*);
Outcome ExportShownRows(Recording* app, const char16_t* path, ShownRowsWriter write,
                        const char16_t* written, const char16_t* failed) {
    Outcome result{};
    RecordingInfo snap{};
    if (!TakeRecordingSnapshot(app, &snap, true, &result)) return result;
    FileOutcome outcome;
    uint32_t openError = 0;
    int32_t count;
    {
        LockGuard rows(&app->rowsLock);
        count = app->shownCount;
        outcome = write(app, path, snap, &openError);
    }
    FileWriteOutcome(&result, outcome, count, written, failed, path, openError);
    return result;
}

} // namespace

Outcome ExportJsonLinesFile(Recording* app, const char16_t* path) {
    return ExportShownRows(app, path, WriteJsonLinesFile, u"%d events written to JSON Lines.",
                           u"The JSON Lines file could not be written. Nothing was changed: any "
                           u"file that was already there has been left as it was.");
}

Outcome ExportJsonFile(Recording* app, const char16_t* path) {
    return ExportShownRows(app, path, WriteJsonFile, u"%d events written to JSON.",
                           u"The JSON could not be written. Nothing was changed: any file that "
                           u"was already there has been left as it was.");
}

} // namespace olv
