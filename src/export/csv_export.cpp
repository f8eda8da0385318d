// CSV export of the shown rows: UTF-16LE with its byte order mark, CR LF, a block of comment
// lines about the recording, the column row, and one line per shown row.
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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
#include "export/safe_file.h"
#include "export/snapshot.h"
#include "platform/lock.h"
#include "platform/memory.h"
#include "platform/ui.h"
#include "record/recording.h"
#include "report/completeness.h"
#include "rules/threat_rules.h"
#include "views/row_store.h"

namespace olv {

namespace {

constexpr size_t kCommentChars = 8192;
constexpr size_t kRowLineChars = 4096; // a row line is cut at 4095 characters
constexpr size_t kPidChars = 96;       // "%lu (%s)" of the PID column, cut at 95 characters

const char16_t kColumnRow[] =
    u"Time,Severity,PID,Process,Category,Operation,Path,Detail,Result,Threat\r\n";

// The longest row line: the time, two labels of at most 8 characters, the PID column (a number,
// " (", the process name cut at 63 characters, ")"), and six quoted columns with every
// character a doubled quote. It never reaches the cut, so lines are written whole, and a doubled
// quote is never dropped at the edge.
constexpr size_t QuotedMaxChars(size_t chars) { return 2 + 2 * chars; }
constexpr size_t kCsvLineMaxChars =
    kLongTimeMaxChars + 1 + 8 + 1 + QuotedMaxChars(kDecimalMaxChars + 2 + kProcessChars - 1 + 1) +
    1 + QuotedMaxChars(kProcessChars - 1) + 1 + 8 + 1 + QuotedMaxChars(kOperationChars) + 1 +
    QuotedMaxChars(kPathChars) + 1 + QuotedMaxChars(kDetailChars) + 1 +
    QuotedMaxChars(kResultChars) + 1 + QuotedMaxChars(kThreatChars) + 2;
static_assert(kCsvLineMaxChars <= kRowLineChars - 1, "a row line is never cut");
static_assert(kDecimalMaxChars + 2 + kProcessChars - 1 + 1 <= kPidChars - 1,
              "the PID column is never cut");

#if defined(__SSE2__)
// How many of the eight characters at text, from the first on, are copied as they are (no quote,
// no surrogate); the eight are stored at out whatever the count.
inline unsigned PlainCsvOf8(const char16_t* text, char16_t* out) {
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), c);
    const __m128i bad = _mm_or_si128(
        _mm_cmpeq_epi16(c, _mm_set1_epi16('"')),
        _mm_cmpeq_epi16(_mm_and_si128(c, _mm_set1_epi16(static_cast<short>(0xF800))),
                        _mm_set1_epi16(static_cast<short>(0xD800))));
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(bad));
    return mask == 0 ? 8 : static_cast<unsigned>(__builtin_ctz(mask)) / 2;
}
#endif

// The text of a quoted column without its quotes: every quote doubled, and a surrogate without
// its other half written as U+FFFD (readers of a UTF-16 file refuse it whole; file and key names
// may hold one, and a cut may split a pair). Room for two characters a character.
char16_t* PutCsvBody(char16_t* out, const char16_t* text, size_t length) {
    size_t i = 0;
    while (i < length) {
#if defined(__SSE2__)
        if (i + 8 <= length) {
            const unsigned plain = PlainCsvOf8(text + i, out);
            out += plain;
            i += plain;
            if (plain == 8) continue;
        }
#endif
        const char16_t c = text[i];
        if (c == u'"') {
            out[0] = u'"';
            out[1] = u'"';
            out += 2;
            ++i;
        } else if ((c & 0xF800) != 0xD800) {
            *out++ = c;
            ++i;
        } else if (c < 0xDC00 && i + 1 < length && (text[i + 1] & 0xFC00) == 0xDC00) {
            out[0] = c;
            out[1] = text[i + 1];
            out += 2;
            i += 2;
        } else {
            *out++ = 0xFFFD;
            ++i;
        }
    }
    return out;
}

// The same from a stored text of one byte a unit (Latin-1: no surrogates), widened as it is
// written. Room for two characters a unit.
char16_t* PutCsvNarrowBody(char16_t* out, const uint8_t* text, size_t length) {
    size_t i = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    const __m128i quote = _mm_set1_epi8('"');
    while (i + 16 <= length) {
        // Sixteen units stored whatever the count; those up to the first quote are kept.
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(bytes, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_unpackhi_epi8(bytes, zero));
        const unsigned quotes =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, quote)));
        if (quotes == 0) {
            out += 16;
            i += 16;
            continue;
        }
        const unsigned plain = static_cast<unsigned>(__builtin_ctz(quotes));
        out += plain;
        out[0] = u'"';
        out[1] = u'"';
        out += 2;
        i += plain + 1;
    }
#endif
    for (; i < length; ++i) {
        const char16_t c = text[i];
        *out++ = c;
        if (c == u'"') *out++ = u'"';
    }
    return out;
}

// A stored text's quoted column body. A wide text may lie unaligned in the store: it is copied
// into scratch (room for kPathChars units, the longest field) first.
char16_t* PutCsvView(char16_t* out, TextView view, char16_t* scratch) {
    if (!view.wide) return PutCsvNarrowBody(out, view.data, view.length);
    CopyTextUnits(view, scratch);
    return PutCsvBody(out, scratch, view.length);
}

char16_t* PutQuotedView(char16_t* out, TextView view, char16_t* scratch) {
    *out++ = u'"';
    out = PutCsvView(out, view, scratch);
    *out++ = u'"';
    return out;
}

char16_t* PutWord(char16_t* out, const char16_t* word) {
    while (*word != 0)
        *out++ = *word++;
    return out;
}

// The numbers of a row a line shows.
struct CsvRowNumbers {
    SystemTime time;
    uint32_t severity;
    uint32_t pid;
    uint32_t category;
};

// One row line, CR LF included: at most kCsvLineMaxChars characters at out. scratch: room for
// kPathChars units.
char16_t* PutRowLine(char16_t* out, const CsvRowNumbers& row, const RowTextViews& v,
                     char16_t* scratch) {
    out = PutLongTime(out, row.time);
    *out++ = u',';
    out = PutWord(out, SeverityLabel(row.severity));
    *out++ = u',';
    // The process name as both columns show it: cut at 63 characters.
    TextView process = v.text[kTextProcess];
    if (process.length > kProcessChars - 1) process.length = kProcessChars - 1;
    *out++ = u'"';
    out = PutDecimal(out, row.pid);
    if (process.length > 0) {
        *out++ = u' ';
        *out++ = u'(';
        out = PutCsvView(out, process, scratch);
        *out++ = u')';
    }
    *out++ = u'"';
    *out++ = u',';
    out = PutQuotedView(out, process, scratch);
    *out++ = u',';
    out = PutWord(out, CategoryLabel(row.category));
    *out++ = u',';
    out = PutQuotedView(out, v.text[kTextOperation], scratch);
    *out++ = u',';
    out = PutQuotedView(out, v.text[kTextPath], scratch);
    *out++ = u',';
    out = PutQuotedView(out, v.text[kTextDetail], scratch);
    *out++ = u',';
    out = PutQuotedView(out, v.text[kTextResult], scratch);
    *out++ = u',';
    out = PutQuotedView(out, v.text[kTextThreat], scratch);
    *out++ = u'\r';
    *out++ = u'\n';
    return out;
}

// The comment block: header lines, view lines, then the completeness notes or the line saying
// that nothing is known to be missing.
void BuildCommentBlock(Recording* app, const RecordingInfo& snap, char16_t* block,
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

namespace {

static_assert(kOperationChars <= kPathChars && kDetailChars <= kPathChars &&
                  kResultChars <= kPathChars && kProcessChars <= kPathChars &&
                  kThreatChars <= kPathChars,
              "a wide text of any field fits the scratch");

// The CSV file's chunks: the rows, and each worker's scratch for a wide text.
struct CsvJob {
    const Recording* app;
    char16_t* scratch[2]; // kPathChars units each
};

// The row lines of one chunk of the shown rows, formatted from the stored texts.
bool PutCsvChunk(void* data, ChunkGate*, int32_t worker, int32_t chunk, BlockWriter* out) {
    const auto* job = static_cast<const CsvJob*>(data);
    const Recording* app = job->app;
    char16_t* scratch = job->scratch[worker];
    int32_t begin = 0, end = 0;
    ChunkBounds(chunk, app->shownCount, &begin, &end);
    return ForEachShownRow(app, begin, end, [&](int32_t shown, const RowTextViews& views) {
        uint8_t* at = ReserveBlock(out, kCsvLineMaxChars * sizeof(char16_t));
        if (at == nullptr) return false;
        // Everything before is UTF-16, so the block's end is on a character's boundary.
        auto* start = reinterpret_cast<char16_t*>(at);
        const int32_t index = app->shownRows[shown];
        const CsvRowNumbers numbers{StoredTime(app, index), StoredSeverity(app, index),
                                    StoredPid(app, index), StoredCategory(app, index)};
        const char16_t* line = PutRowLine(start, numbers, views, scratch);
        AdvanceBlock(out, static_cast<size_t>(line - start) * sizeof(char16_t));
        return true;
    });
}

// The file itself: mark, comment block, column row, the shown rows. rowsLock is held.
FileOutcome WriteCsvFile(Recording* app, const char16_t* path, const char16_t* block,
                         uint32_t* openError) {
    SafeFileWriter writer;
    if (!OpenSafeFile(&writer, path)) {
        *openError = writer.openError;
        return kFileNotOpened;
    }
    BlockWriter out;
    OpenBlockWriter(&out, &writer, ExportBlockBytes());
    static const unsigned char kBom[2] = {0xFF, 0xFE};
    PutBlockBytes(&out, kBom, sizeof kBom);
    PutBlockBytes(&out, block, TextBytes(block));
    PutBlockBytes(&out, kColumnRow, TextBytes(kColumnRow));
    CsvJob job{app,
               {static_cast<char16_t*>(AllocZeroed(kPathChars * sizeof(char16_t))),
                static_cast<char16_t*>(AllocZeroed(kPathChars * sizeof(char16_t)))}};
    if (job.scratch[0] == nullptr || job.scratch[1] == nullptr) {
        writer.ok = false;
    } else {
        WriteChunks(&out, ChunkWork{&job, ExportChunkCount(app->shownCount), PutCsvChunk});
    }
    FreeBlock(job.scratch[0]);
    FreeBlock(job.scratch[1]);
    CloseBlockWriter(&out);
    return CommitFile(&writer);
}

constexpr char16_t kCsvFailure[] = u"The CSV could not be written. Nothing was changed: any file "
                                   u"that was already there has been left as it was.";

} // namespace

Outcome ExportCsvFile(Recording* app, const char16_t* path) {
    Outcome result{};
    RecordingInfo snap{};
    if (!TakeRecordingSnapshot(app, &snap, true, &result)) return result;

    char16_t* block = static_cast<char16_t*>(AllocZeroed(kCommentChars * sizeof(char16_t)));
    char16_t* scratch = static_cast<char16_t*>(AllocZeroed(kCommentChars * sizeof(char16_t)));
    if (block == nullptr || scratch == nullptr) {
        // Nothing was written; say so rather than leave the command without an answer.
        FreeBlock(block);
        FreeBlock(scratch);
        FileWriteOutcome(&result, kFileNotWritten, 0, nullptr, kCsvFailure, path, 0);
        return result;
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
    FileWriteOutcome(&result, outcome, count, u"%d events written to CSV.", kCsvFailure, path,
                     openError);
    return result;
}

} // namespace olv
