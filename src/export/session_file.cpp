// Session files: the whole recording (header, RecordingInfo block, raw rows) saved and opened
// again. A file being opened is untrusted: every field is checked, every row repaired, and the
// recording in memory is replaced only after every check and read has succeeded.
#include <cstring>

#include "base/atomic.h"
#include "base/format.h"
#include "base/product.h"
#include "base/text.h"
#include "export/export_common.h"
#include "export/exports.h"
#include "export/safe_file.h"
#include "export/session_check.h"
#include "export/session_compact.h"
#include "export/session_counts.h"
#include "export/session_yara.h"
#include "export/snapshot.h"
#include "platform/files.h"
#include "platform/lock.h"
#include "platform/memory.h"
#include "platform/thread.h"
#include "platform/ui.h"
#include "record/recording.h"
#include "record/stored_rows.h"
#include "report/completeness.h"
#include "report/discard.h"
#include "views/row_store.h"
#include "views/sigma_rows.h"

namespace olv {

namespace {

constexpr uint64_t kPieceBytes = 64ull * 1024 * 1024;
// Rows made whole per write when a version 2 file is saved (about 800 KB).
constexpr uint32_t kSaveRowsPerPiece = 256;
// Rows of a version 2 file read and packed at a time (about 200 KB, within the cache).
constexpr uint32_t kReadSliceRows = 64;
// What the texts of a version 2 file's row are taken to need in the store before it is read
// (a recording's rows share most of their texts).
constexpr uint64_t kTextBytesPerRowGuess = 64;
constexpr int64_t kDataStartV1 = sizeof(SessionHeader);
constexpr int64_t kDataStartV2 = sizeof(SessionHeader) + kRecordingInfoSize;
constexpr uint32_t kMaxCategory = 4;
constexpr uint32_t kMaxSeverity = 3;
constexpr size_t kNotesChars = 8192;
constexpr size_t kNotesMessageChars = 8600;
static_assert(kNotesMessageChars <= kOutcomeTextChars, "the outcome holds the notes whole");

const char16_t kStopFirst[] = u"Stop monitoring before opening a session.";

// Every refusal of a file names it.
void RefuseFile(Outcome* out, OutcomeCode code, const char16_t* text, const char16_t* path) {
    char16_t message[1024];
    FormatText(message, 1024, u"%s\n\nFile: %s", text, path);
    SetOutcome(out, code, kIconError, message);
}
void RefuseNotReadable(Outcome* out, const char16_t* path) {
    RefuseFile(out, OutcomeCode::kDamagedFile, u"This is not a session file this version can read.",
               path);
}
void RefuseDamaged(Outcome* out, const char16_t* path) {
    RefuseFile(out, OutcomeCode::kDamagedFile, u"The session file is damaged.", path);
}
void RefuseReadFailed(Outcome* out, OutcomeCode code, const char16_t* path) {
    RefuseFile(out, code,
               u"The session could not be read. What was already open has been left as it was.",
               path);
}

// Reads exactly bytes bytes; false on a failed or short read.
bool ReadExactly(FileHandle file, void* data, uint32_t bytes) {
    uint32_t got = 0;
    return ReadFileBytes(file, data, bytes, &got) && got == bytes;
}

// Makes a row from a file safe for the views: known category and severity, terminated texts.
void RepairRow(EventRow* row) {
    if (row->category > kMaxCategory) row->category = kMaxCategory;
    if (row->severity > kMaxSeverity) row->severity = 0;
    row->operation[kOperationChars - 1] = 0;
    row->path[kPathChars - 1] = 0;
    row->detail[kDetailChars - 1] = 0;
    row->result[kResultChars - 1] = 0;
    row->process[kProcessChars - 1] = 0;
    row->threat[kThreatChars - 1] = 0;
}

// Rows are read in pieces of at most 64 MiB (one read each for full-size records, one read per
// record for the older size); the piece size in rows, so that both sizes step alike.
uint32_t gPieceRowsOverride = 0;

uint32_t PieceRows(uint32_t recordSize) {
    const uint32_t most = static_cast<uint32_t>(kPieceBytes / recordSize);
    return gPieceRowsOverride != 0 && gPieceRowsOverride < most ? gPieceRowsOverride : most;
}

bool ReadPiece(FileHandle file, EventRow* rows, uint32_t count, uint32_t recordSize) {
    if (recordSize == kSessionRecordSize) {
        return ReadExactly(file, rows, count * kSessionRecordSize);
    }
    // Older records lack the last 20 bytes of a row; those stay zero.
    for (uint32_t i = 0; i < count; ++i) {
        if (!ReadExactly(file, &rows[i], kSessionRecordSizeV1)) return false;
    }
    return true;
}

// "1,234,567": counts the user reads in a progress line.
void AppendGrouped(char16_t* out, size_t capacity, uint32_t value) {
    char16_t digits[16];
    int n = 0;
    do {
        digits[n++] = static_cast<char16_t>(u'0' + value % 10);
        value /= 10;
    } while (value != 0);
    char16_t grouped[24];
    int at = 0;
    for (int i = n - 1; i >= 0; --i) {
        grouped[at++] = digits[i];
        if (i > 0 && i % 3 == 0) grouped[at++] = u',';
    }
    grouped[at] = 0;
    AppendBounded(out, capacity, grouped);
}

// "1,234 of 5,678 rows".
void AppendRowCounts(char16_t* out, size_t capacity, uint32_t done, uint32_t total) {
    AppendGrouped(out, capacity, done);
    AppendBounded(out, capacity, u" of ");
    AppendGrouped(out, capacity, total);
    AppendBounded(out, capacity, u" rows");
}

// The user stopped the read: like every open that does not finish, it changes nothing.
void RefuseCancelled(Outcome* out, uint32_t read, uint32_t total, const char16_t* path) {
    char16_t counts[64] = {};
    AppendRowCounts(counts, 64, read, total);
    char16_t message[1024];
    FormatText(message, 1024,
               u"Opening the session was cancelled after %s had been read. Nothing of it was "
               u"kept; what was already open has been left as it was.\n\nFile: %s",
               counts, path);
    SetOutcome(out, OutcomeCode::kCancelled, kIconInformation, message);
}

} // namespace

void FormatSessionProgress(char16_t* out, size_t capacity, uint32_t done, uint32_t total) {
    if (out == nullptr || capacity == 0) return;
    CopyBounded(out, capacity, u"Reading session: ");
    AppendRowCounts(out, capacity, done, total);
}

void SetSessionReadPieceRows(uint32_t rows) {
    gPieceRowsOverride = rows;
}

namespace {

enum ReadOutcome { kRowsRead, kRowsReadFailed, kRowsReadCancelled, kRowsNoMemory };

// The rows packed before the text index is sized for the whole file from the texts they made.
constexpr uint32_t kIndexSampleRows = 4096;

// Sizes the store's index once for a file of count rows from the texts its first rows (packed
// of them) made, with an eighth more: a recording whose every row names a new path would
// otherwise move its index into fresh memory at every doubling, while one whose rows share their
// texts keeps a small index, its slots in the cache. Only a hint.
void SizeTextIndex(TextStore* store, uint32_t packed, uint32_t count) {
    if (packed == 0) return;
    const uint64_t texts = uint64_t{TextCount(store)} * count / packed * 9 / 8;
    if (texts > TextCount(store)) {
        const uint64_t more = texts - TextCount(store);
        ReserveTextIndex(store, more < UINT32_MAX ? static_cast<uint32_t>(more) : UINT32_MAX);
    }
}

// Slices read ahead of the packing by the reading thread: enough to cover a read that comes
// late, few enough for a slice to be packed while it is still in the cache.
constexpr uint32_t kReadAheadSlices = 8;
// A thread that waits for the other is woken once this many slices are ready for it, not at
// every slice: each wake is a switch of threads, which costs about as much as packing a slice.
constexpr uint32_t kWakeAfterSlices = kReadAheadSlices / 2;

// The slices of a read, in file order: each piece of pieceRows rows is cut into slices of
// sliceRows rows, the last slice of a piece (and of the file) taking what is left.
struct SlicePlan {
    uint32_t count;
    uint32_t pieceRows;
    uint32_t sliceRows;
};

// The rows of the next slice after the one that ended at row done (a row count within the
// piece); 0 after the last.
uint32_t NextSliceRows(const SlicePlan& plan, uint32_t done) {
    if (done >= plan.count) return 0;
    const uint32_t pieceLeft = plan.pieceRows - done % plan.pieceRows;
    const uint32_t left = plan.count - done < pieceLeft ? plan.count - done : pieceLeft;
    return left < plan.sliceRows ? left : plan.sliceRows;
}

bool ReadSlice(FileHandle file, EventRow* rows, uint32_t count, uint32_t recordSize) {
    // Older records lack the last 20 bytes of a row; those stay zero.
    if (recordSize != kSessionRecordSize) {
        std::memset(static_cast<void*>(rows), 0, size_t{count} * sizeof(EventRow));
    }
    return ReadPiece(file, rows, count, recordSize);
}

// The file read on a second thread while the rows read before are packed: the reading thread
// fills a ring of kReadAheadSlices slice buffers in file order, repairs their rows and measures
// what each row changes from the row before (the half of the packing that needs no store); the
// packing thread takes them in the same order and gives each back once packed. Every member
// past changed is guarded by lock; the plan is set before the thread starts, and a slice's
// buffer and changes pass from one thread to the other with the slice counts.
struct ReadAhead {
    FileHandle file;
    uint32_t recordSize;
    SlicePlan plan;
    EventRow* buffers; // kReadAheadSlices slices of plan.sliceRows rows
    // What each row of a slice changes from the row before, measured on the reading thread too.
    RowChanges changes[kReadAheadSlices][kReadSliceRows];
    Lock lock;
    Condition changed;
    uint32_t slicesRead;   // slices whole in their buffers
    uint32_t slicesPacked; // slices given back: their buffers may be read into again
    uint8_t readFailed;    // the read of slice slicesRead failed; nothing more is read
    uint8_t readerWaits;   // the reading thread waits for room in the ring
    uint32_t packerWaitsFor; // the packing waits for this many slices read (0: it does not)
    uint8_t stop;          // the packing wants no more slices
};

EventRow* SliceBuffer(ReadAhead* r, uint32_t slice) {
    return r->buffers + size_t{slice % kReadAheadSlices} * r->plan.sliceRows;
}

uint32_t ReadAheadThread(void* argument) {
    ReadAhead* r = static_cast<ReadAhead*>(argument);
    uint32_t slice = 0;
    for (uint32_t done = 0, m; (m = NextSliceRows(r->plan, done)) != 0; done += m, ++slice) {
        EnterLock(&r->lock);
        while (r->stop == 0 && slice - r->slicesPacked >= kReadAheadSlices) {
            r->readerWaits = 1;
            WaitCondition(&r->changed, &r->lock);
        }
        r->readerWaits = 0;
        const bool stop = r->stop != 0;
        LeaveLock(&r->lock);
        if (stop) return 0;
        EventRow* rows = SliceBuffer(r, slice);
        const bool read = ReadSlice(r->file, rows, m, r->recordSize);
        if (read) {
            for (uint32_t i = 0; i < m; ++i)
                RepairRow(&rows[i]);
            MeasureRowsInRun(nullptr, rows, m, r->changes[slice % kReadAheadSlices]);
        }
        EnterLock(&r->lock);
        if (read) {
            ++r->slicesRead;
        } else {
            r->readFailed = 1;
        }
        const bool last = NextSliceRows(r->plan, done + m) == 0;
        if (r->packerWaitsFor != 0 && (!read || last || r->slicesRead >= r->packerWaitsFor))
            WakeAllCondition(&r->changed);
        LeaveLock(&r->lock);
        if (!read) return 0;
    }
    return 0;
}

// Waits for slice to be read; false when its read failed.
bool TakeSlice(ReadAhead* r, uint32_t slice) {
    EnterLock(&r->lock);
    // Woken once a few slices are read, or the last one.
    while (r->slicesRead <= slice && r->readFailed == 0) {
        r->packerWaitsFor = slice + kWakeAfterSlices;
        WaitCondition(&r->changed, &r->lock);
    }
    r->packerWaitsFor = 0;
    const bool read = r->slicesRead > slice;
    LeaveLock(&r->lock);
    return read;
}

void GiveBackSlice(ReadAhead* r) {
    EnterLock(&r->lock);
    ++r->slicesPacked;
    const uint32_t ready = r->slicesRead - r->slicesPacked;
    if (r->readerWaits != 0 && ready <= kReadAheadSlices - kWakeAfterSlices)
        WakeAllCondition(&r->changed);
    LeaveLock(&r->lock);
}

void StopReadAhead(ReadAhead* r, ThreadHandle thread) {
    EnterLock(&r->lock);
    r->stop = 1;
    WakeAllCondition(&r->changed);
    LeaveLock(&r->lock);
    JoinThread(thread);
    DeleteCondition(&r->changed);
    DeleteLock(&r->lock);
}

// Reads count rows piece by piece into the compact store (store, packed: room for count
// records), repairing each row as it arrives. A read of more than one piece shows its progress
// and can be cancelled between pieces; meanwhile the window stays responsive and every command
// for it is ignored (sessionReading). *readCount: rows read.
// A piece is read a slice at a time into small buffers, and each slice is packed while it is
// still in the cache: a row's texts lie across a 3,256-byte record, and packing them from a
// piece read whole would fetch each of them from memory again. A read of more than one slice
// reads (and measures) on a second thread, ahead of the packing; when that thread or its
// buffers cannot be had, the slices are read and packed in turn on this one.
ReadOutcome ReadRows(Recording* app, FileHandle file, TextStore* store, CompactRow* packed,
                     uint32_t count, uint32_t recordSize, const Progress* shown,
                     uint32_t* readCount) {
    const uint32_t pieceRows = PieceRows(recordSize);
    const SlicePlan plan{count, pieceRows, kReadSliceRows < pieceRows ? kReadSliceRows : pieceRows};
    *readCount = 0;
    const uint32_t sliceRows = count < plan.sliceRows ? count : plan.sliceRows;
    ReadAhead* ahead = count > plan.sliceRows ? AllocRecord<ReadAhead>() : nullptr;
    ThreadHandle thread = nullptr;
    if (ahead != nullptr) {
        ahead->buffers = static_cast<EventRow*>(
            AllocZeroed(size_t{kReadAheadSlices} * plan.sliceRows * sizeof(EventRow)));
        ahead->file = file;
        ahead->recordSize = recordSize;
        ahead->plan = plan;
        if (ahead->buffers != nullptr) {
            InitLock(&ahead->lock);
            InitCondition(&ahead->changed);
            thread = StartThread(ReadAheadThread, ahead, nullptr);
            if (thread == nullptr) {
                DeleteCondition(&ahead->changed);
                DeleteLock(&ahead->lock);
            }
        }
    }
    // Without the thread: one slice buffer, the ring's first when it was had.
    EventRow* ownSlice = nullptr;
    EventRow* slice = ahead != nullptr ? ahead->buffers : nullptr;
    if (slice == nullptr) {
        ownSlice = static_cast<EventRow*>(AllocZeroed(size_t{sliceRows} * sizeof(EventRow)));
        slice = ownSlice;
    }
    if (slice == nullptr) {
        FreeBlock(ahead);
        return kRowsNoMemory;
    }
    app->sessionReading = 1;
    void* progress =
        count > pieceRows ? BeginProgress(shown, u"Opening session", count) : nullptr;
    ReadOutcome outcome = kRowsRead;
    uint32_t done = 0;
    uint32_t sliceIndex = 0;
    PackRun run{};
    // Room for the texts the memory check allowed for, asked for once: grown a doubling at a
    // time, the store would copy its texts again and again into fresh memory. Only a hint.
    ReserveTextPool(store, count, uint64_t{count} * kTextBytesPerRowGuess);
    bool indexSized = false;
    while (done < count) {
        const uint32_t n = count - done < pieceRows ? count - done : pieceRows;
        for (uint32_t at = 0, m; at < n && outcome == kRowsRead; at += m, ++sliceIndex) {
            m = NextSliceRows(plan, done + at);
            if (!indexSized && done + at >= kIndexSampleRows) {
                SizeTextIndex(store, done + at, count);
                indexSized = true;
            }
            if (thread != nullptr) {
                // Read, repaired and measured on the reading thread.
                if (!TakeSlice(ahead, sliceIndex)) {
                    outcome = kRowsReadFailed;
                    break;
                }
                if (PackMeasuredRows(store, &run, SliceBuffer(ahead, sliceIndex), m,
                                     ahead->changes[sliceIndex % kReadAheadSlices],
                                     &packed[done + at]) != m) {
                    outcome = kRowsNoMemory;
                }
                GiveBackSlice(ahead);
                continue;
            }
            if (!ReadSlice(file, slice, m, recordSize)) {
                outcome = kRowsReadFailed;
                break;
            }
            for (uint32_t i = 0; i < m; ++i)
                RepairRow(&slice[i]);
            if (PackRowsInRun(store, &run, slice, m, &packed[done + at]) != m)
                outcome = kRowsNoMemory;
        }
        if (outcome != kRowsRead) break;
        done += n;
        if (progress != nullptr) {
            char16_t text[96];
            FormatSessionProgress(text, 96, done, count);
            // A cancel that arrives with the last piece is honoured too: the user asked to keep
            // what was open.
            if (StepProgress(shown, progress, done, text)) {
                outcome = kRowsReadCancelled;
                break;
            }
        }
    }
    // The reading thread is stopped before the window takes commands again: nothing reads the
    // file after this returns.
    if (thread != nullptr) StopReadAhead(ahead, thread);
    EndProgress(shown, progress);
    app->sessionReading = 0;
    if (ahead != nullptr) FreeBlock(ahead->buffers);
    FreeBlock(ahead);
    FreeBlock(ownSlice);
    *readCount = done;
    return outcome;
}

// Before a large session is read: refuses one whose rows (with their index in the shown list)
// would not fit in the memory the system reports as available, saying how much it needs, rather
// than take all the machine has or fail after a long read. True when it fits or the system
// cannot say.
bool RowsFitInMemory(Outcome* out, uint32_t count, uint64_t textBytes, const char16_t* path) {
    const uint64_t needed = uint64_t{count} * (sizeof(CompactRow) + sizeof(int32_t)) + textBytes;
    uint64_t available = 0;
    if (!AvailableMemoryBytes(&available) || needed <= available) return true;
    constexpr uint64_t kMiB = 1024 * 1024;
    char16_t text[1024];
    FormatText(text, 1024,
               u"This session holds %lu rows and needs %lu MB of memory to open, but this "
               u"computer has only %lu MB available now. Nothing was read; what was already open "
               u"has been left as it was.\n\nClosing other programs frees memory.\n\nFile: %s",
               count, static_cast<uint32_t>((needed + kMiB - 1) / kMiB),
               static_cast<uint32_t>(available / kMiB > UINT32_MAX ? UINT32_MAX : available / kMiB),
               path);
    SetOutcome(out, OutcomeCode::kNoMemory, kIconError, text);
    return false;
}

// The ClearedRows block of a version-3 file: its size (at least the fields known here, at most
// kClearedRowsLargest) and its fields, then the losses before the resume when the block is long
// enough to hold them; what a later version appended is read past. False for a block that is too
// short, too long or cut off.
bool ReadClearedRows(FileHandle file, ClearedRows* out, LossesBeforeResume* losses) {
    uint32_t size = 0;
    if (!ReadExactly(file, &size, sizeof size)) return false;
    if (size < kClearedRowsSize || size > kClearedRowsLargest) return false;
    unsigned char rest[kClearedRowsLargest];
    if (!ReadExactly(file, rest, size - sizeof size)) return false;
    std::memcpy(reinterpret_cast<unsigned char*>(out) + sizeof size, rest,
                kClearedRowsSize - sizeof size);
    out->blockSize = size;
    *losses = LossesBeforeResume{};
    if (size >= kClearedRowsSize + kLossesBeforeResumeSize) {
        std::memcpy(losses, rest + kClearedRowsSize - sizeof size, kLossesBeforeResumeSize);
        losses->known = losses->known != 0 ? 1 : 0;
    }
    return true;
}

// The RecordingOrigin block of a version-4 file, read as ReadClearedRows reads its block. The
// recorder's path is forced to end within its field.
// What the block holds past its fixed part (a compact file's loss counts) goes to more, *moreBytes
// of them.
bool ReadRecordingOrigin(FileHandle file, RecordingOrigin* out, uint8_t* more,
                         uint32_t* moreBytes) {
    uint32_t size = 0;
    if (!ReadExactly(file, &size, sizeof size)) return false;
    if (size < kRecordingOriginSize || size > kRecordingOriginLargest) return false;
    unsigned char rest[kRecordingOriginLargest];
    if (!ReadExactly(file, rest, size - sizeof size)) return false;
    std::memcpy(reinterpret_cast<unsigned char*>(out) + sizeof size, rest,
                kRecordingOriginSize - sizeof size);
    *moreBytes = size - kRecordingOriginSize;
    std::memcpy(more, rest + kRecordingOriginSize - sizeof size, *moreBytes);
    out->blockSize = size;
    out->recorderImage[519] = 0;
    return true;
}

// Whether a compact file's rows keep a whole script text (longer than the path field).
bool HoldsWholeTexts(const TextStore* store, const CompactRow* rows, uint32_t count) {
    if (rows == nullptr) return false;
    for (uint32_t i = 0; i < count; ++i) {
        const RowKind kind = KindOf(rows[i]);
        if ((kind == RowKind::RanScriptBlock || kind == RowKind::LoggedModuleOutput ||
             kind == RowKind::ScannedContent) &&
            TextOfId(store, rows[i].path).length > kPathChars - 1) {
            return true;
        }
    }
    return false;
}

// Whether the origin holds anything to keep: a recording's always does; one opened from an older
// file holds nothing, and is saved again in the older form.
bool HasOrigin(const RecordingOrigin& origin) {
    return origin.recorderImage[0] != 0 || (origin.flags & stopUtcBiasKnown) != 0;
}

// An open that succeeded warns when the record it opened is not complete.
void CompletenessAfterOpen(Recording* app, Outcome* out) {
    char16_t* notes = static_cast<char16_t*>(AllocZeroed(kNotesChars * sizeof(char16_t)));
    char16_t* text = static_cast<char16_t*>(AllocZeroed(kNotesMessageChars * sizeof(char16_t)));
    if (notes != nullptr && text != nullptr &&
        BuildCompletenessNotes(app, notes, kNotesChars, u"  ") > 0) {
        CopyBounded(text, kNotesMessageChars,
                    u"This record does not contain everything that happened:\r\n\r\n");
        AppendBounded(text, kNotesMessageChars, notes);
        SetOutcome(out, OutcomeCode::kOk, kIconWarning, text);
    }
    FreeBlock(notes);
    FreeBlock(text);
}

// A version 2 save makes its rows whole on a second thread, a piece ahead of the writing, which
// would otherwise wait for the making (0.15 to 0.4 us a row, mostly the texts' misses). The
// kernel copies a million rows into the page cache in about half a second, so the making must
// stay below that or the disk starts its writeback later. Each block keeps the lengths of the
// texts its rows hold, and a row made into it clears only what the row before left past its own
// texts (RemakeStoredRows): clearing 3,256 bytes a row took more than the texts. Below four
// pieces the overlap would save under a hundred microseconds, no more than starting a thread
// and zeroing a second block of 800 KB cost, so a small save makes and writes in turn.
constexpr uint32_t kSaveAheadFromRows = 4 * kSaveRowsPerPiece;
// Blocks of kSaveRowsPerPiece rows: the maker fills one while the writer writes the other.
constexpr uint32_t kSaveAheadBlocks = 2;

// The rows of a version 2 save made whole ahead of the writing. The maker only reads the rows:
// the caller holds rowsLock for the whole save and joins the maker before it leaves. Every
// member past blocks is guarded by lock; a block passes from one thread to the other with the
// piece counts.
struct SaveAhead {
    const Recording* app;
    uint32_t count;
    EventRow* blocks[kSaveAheadBlocks];
    StoredRowUse use[kSaveAheadBlocks][kSaveRowsPerPiece]; // what each block's rows hold
    Lock lock;
    Condition changed;
    uint32_t made;       // pieces whole in their blocks
    uint32_t written;    // pieces written: their blocks may be filled again
    uint8_t makerWaits;  // the maker waits for a block to be written
    uint8_t writerWaits; // the writer waits for a piece to be made
    uint8_t stop;        // the writer wants no more pieces
};

// The rows of piece (of kSaveRowsPerPiece rows, the last taking what is left).
uint32_t SavePieceRows(uint32_t count, uint32_t piece) {
    const uint32_t left = count - piece * kSaveRowsPerPiece;
    return left < kSaveRowsPerPiece ? left : kSaveRowsPerPiece;
}

uint32_t SaveAheadThread(void* argument) {
    SaveAhead* s = static_cast<SaveAhead*>(argument);
    const uint32_t pieces = (s->count + kSaveRowsPerPiece - 1) / kSaveRowsPerPiece;
    for (uint32_t piece = 0; piece < pieces; ++piece) {
        EnterLock(&s->lock);
        while (s->stop == 0 && piece - s->written >= kSaveAheadBlocks) {
            s->makerWaits = 1;
            WaitCondition(&s->changed, &s->lock);
        }
        s->makerWaits = 0;
        const bool stop = s->stop != 0;
        LeaveLock(&s->lock);
        if (stop) return 0;
        const uint32_t b = piece % kSaveAheadBlocks;
        RemakeStoredRows(s->app, static_cast<int32_t>(piece * kSaveRowsPerPiece),
                         SavePieceRows(s->count, piece), s->blocks[b], s->use[b]);
        EnterLock(&s->lock);
        ++s->made;
        if (s->writerWaits != 0) WakeAllCondition(&s->changed);
        LeaveLock(&s->lock);
    }
    return 0;
}

// Writes the count rows as the maker makes them whole; stops at the first failed write, and
// stops and joins the maker before it returns.
void WriteRowsMadeAhead(SafeFileWriter* writer, SaveAhead* s, ThreadHandle maker) {
    const uint32_t pieces = (s->count + kSaveRowsPerPiece - 1) / kSaveRowsPerPiece;
    for (uint32_t piece = 0; piece < pieces && writer->ok; ++piece) {
        EnterLock(&s->lock);
        while (s->made <= piece) {
            s->writerWaits = 1;
            WaitCondition(&s->changed, &s->lock);
        }
        s->writerWaits = 0;
        LeaveLock(&s->lock);
        WriteBytes(writer, s->blocks[piece % kSaveAheadBlocks],
                   SavePieceRows(s->count, piece) * kSessionRecordSize);
        EnterLock(&s->lock);
        ++s->written;
        if (s->makerWaits != 0) WakeAllCondition(&s->changed);
        LeaveLock(&s->lock);
    }
    // After a failed write the maker stops at its next piece.
    EnterLock(&s->lock);
    s->stop = 1;
    WakeAllCondition(&s->changed);
    LeaveLock(&s->lock);
    JoinThread(maker);
}

// The version 2 rows, whole EventRows. Made a piece ahead on a second thread when the rows are
// many and the thread and its second block can be had; else made and written in turn, a piece at
// a time, or a row at a time from the stack when even one block is refused: a save needs no
// memory of its own, and never fails for want of a thread.
void WriteWholeRows(SafeFileWriter* writer, const Recording* app, uint32_t count) {
    const size_t blockBytes = size_t{kSaveRowsPerPiece} * sizeof(EventRow);
    EventRow* first = count > 1 ? static_cast<EventRow*>(AllocZeroed(blockBytes)) : nullptr;
    if (first != nullptr && count >= kSaveAheadFromRows) {
        SaveAhead s{};
        s.app = app;
        s.count = count;
        s.blocks[0] = first;
        for (uint32_t b = 1; b < kSaveAheadBlocks; ++b)
            s.blocks[b] = static_cast<EventRow*>(AllocZeroed(blockBytes));
        bool blocksHad = true;
        for (EventRow* block : s.blocks)
            blocksHad = blocksHad && block != nullptr;
        if (blocksHad) {
            InitLock(&s.lock);
            InitCondition(&s.changed);
            ThreadHandle maker = StartThread(SaveAheadThread, &s, nullptr);
            if (maker != nullptr) WriteRowsMadeAhead(writer, &s, maker);
            DeleteCondition(&s.changed);
            DeleteLock(&s.lock);
            if (maker != nullptr) {
                for (EventRow* block : s.blocks)
                    FreeBlock(block);
                return;
            }
        }
        for (uint32_t b = 1; b < kSaveAheadBlocks; ++b)
            FreeBlock(s.blocks[b]);
    }
    if (first != nullptr) {
        StoredRowUse use[kSaveRowsPerPiece] = {};
        for (uint32_t done = 0; done < count && writer->ok; done += kSaveRowsPerPiece) {
            const uint32_t n = count - done < kSaveRowsPerPiece ? count - done : kSaveRowsPerPiece;
            RemakeStoredRows(app, static_cast<int32_t>(done), n, first, use);
            WriteBytes(writer, first, n * kSessionRecordSize);
        }
        FreeBlock(first);
        return;
    }
    EventRow one;
    for (uint32_t done = 0; done < count && writer->ok; ++done) {
        ReadStoredRow(app, static_cast<int32_t>(done), &one);
        WriteBytes(writer, &one, kSessionRecordSize);
    }
}

// The file itself: header, the recording's block, every row. rowsLock is held.
// The compact form is written from compact records packed from the rows beforehand (store,
// compactRows); it always carries the ClearedRows and RecordingOrigin blocks.
FileOutcome WriteSessionFile(Recording* app, const char16_t* path, RecordingInfo* snap,
                             uint32_t* openError, const TextStore* store,
                             const CompactRow* compactRows) {
    SafeFileWriter writer;
    if (!OpenSafeFile(&writer, path)) {
        *openError = writer.openError;
        return kFileNotOpened;
    }
    SessionHeader header{};
    std::memcpy(header.magic, "OLVS", 4);
    // Version 4 when there is an origin to keep, which every recording has; version 3 when
    // there is a Clear to report or Windows losses to split at the resume: a file opened from an
    // older one stays readable by the versions that could read it, and an earlier version refuses
    // a file it would misread or call complete.
    const bool origin = HasOrigin(app->origin);
    const bool splitLosses = app->lossesBeforeResume.known != 0 &&
                             (snap->eventsLostByWindows != 0 || snap->buffersLostByWindows != 0);
    const bool compact = store != nullptr;
    const bool cleared = compact || origin || splitLosses || app->cleared.rows != 0;
    // Only a recording with YARA matches needs the version that keeps them, and only one whose
    // rows keep whole script texts the version after (the builds before would call those rows
    // damaged).
    const bool yara = compact && YaraSessionBlockBytes(app) > 0;
    const bool wholeTexts =
        compact && HoldsWholeTexts(store, compactRows,
                                   app->rowCount > 0 ? static_cast<uint32_t>(app->rowCount) : 0);
    header.version = wholeTexts ? kSessionVersionWholeTexts
                     : yara     ? kSessionVersionYara
                     : compact  ? kSessionVersionCompact
                     : origin   ? kSessionVersionOrigin
                     : cleared ? kSessionVersionCleared
                               : kSessionVersion;
    header.recordSize = compact ? kCompactRecordSize : kSessionRecordSize;
    header.rowCount = static_cast<uint32_t>(app->rowCount);
    WriteBytes(&writer, &header, sizeof header);

    // A recording opened from an old file has an all-zero block; what is written now says what
    // was kept, so the old file's "completeness unknown" does not travel on.
    snap->blockSize = kRecordingInfoSize;
    snap->flags &= ~static_cast<uint32_t>(completenessUnknown);
    WriteBytes(&writer, snap, kRecordingInfoSize);
    if (cleared || splitLosses) {
        ClearedRows block = app->cleared;
        block.blockSize = kClearedRowsSize + (splitLosses ? kLossesBeforeResumeSize : 0);
        WriteBytes(&writer, &block, kClearedRowsSize);
        if (splitLosses) WriteBytes(&writer, &app->lossesBeforeResume, kLossesBeforeResumeSize);
    }
    if (origin || compact) {
        // The origin block carries the loss counts after its fixed part.
        RecordingOrigin block = app->origin;
        block.blockSize = kRecordingOriginSize + CountsBlockBytes();
        WriteBytes(&writer, &block, kRecordingOriginSize);
        WriteCountsBlock(&writer, CurrentKeptCounts(app), yara);
    }
    if (yara) WriteYaraSessionBlock(&writer, app);

    if (compact) {
        WriteCompactBody(&writer, store, compactRows,
                         app->rowCount > 0 ? static_cast<uint32_t>(app->rowCount) : 0);
        return CommitFile(&writer);
    }
    WriteWholeRows(&writer, app, app->rowCount > 0 ? static_cast<uint32_t>(app->rowCount) : 0);
    return CommitFile(&writer);
}

} // namespace

namespace {

// Both session forms: the rows stay as they are while they are written. The compact form packs
// every row first; a row that cannot be packed (memory refused) leaves no file.
Outcome SaveSessionAs(Recording* app, const char16_t* path, bool compact) {
    Outcome result{};
    RecordingInfo snap{};
    if (!TakeRecordingSnapshot(app, &snap, false, &result)) return result;

    FileOutcome outcome = kFileNotWritten;
    uint32_t openError = 0;
    int32_t count;
    TextStore fresh{};
    CompactRow* packed = nullptr;
    {
        LockGuard rows(&app->rowsLock);
        count = app->rowCount;
        const uint32_t n = count > 0 && app->rows != nullptr ? static_cast<uint32_t>(count) : 0;
        bool ok = true;
        const TextStore* store = &app->rowTexts;
        const CompactRow* records = app->rows;
        // A store whose rows had texts replaced also holds the texts they no longer name: the
        // file is then packed afresh, so that it holds what a recording of these rows would.
        if (compact && n > 0 && app->rowTextsReplaced != 0) {
            packed = static_cast<CompactRow*>(AllocZeroed(size_t{n} * sizeof(CompactRow)));
            EventRow* row = static_cast<EventRow*>(AllocZeroed(sizeof(EventRow)));
            ok = packed != nullptr && row != nullptr;
            PackCache cache{};
            for (uint32_t i = 0; ok && i < n; ++i) {
                ReadStoredRow(app, static_cast<int32_t>(i), row);
                ok = PackRow(&fresh, row, &packed[i], &cache) &&
                     CopyFacts(&app->rowTexts, app->rows[i].facts, &fresh, &packed[i].facts);
            }
            FreeBlock(row);
            store = &fresh;
            records = packed;
        }
        if (ok) {
            outcome = WriteSessionFile(app, path, &snap, &openError, compact ? store : nullptr,
                                       records);
        }
        if (outcome == kFileWritten) app->rowsUnsaved = 0;
    }
    FreeBlock(packed);
    FreeTextStore(&fresh);
    FileWriteOutcome(&result, outcome, count, u"%d events saved.",
                     u"The session could not be saved. Nothing was changed: any file that was "
                     u"already there has been left as it was.",
                     path, openError);
    return result;
}

} // namespace

Outcome SaveSessionFile(Recording* app, const char16_t* path) {
    return SaveSessionAs(app, path, false);
}

Outcome SaveCompactSessionFile(Recording* app, const char16_t* path) {
    return SaveSessionAs(app, path, true);
}

Outcome OpenSessionFile(Recording* app, const char16_t* path, const Progress* progress) {
    Outcome result{};
    // One read at a time: the command is ignored, with nothing to show.
    if (app->sessionReading != 0) {
        SetOutcome(&result, OutcomeCode::kBusy, kIconWarning, u"");
        return result;
    }
    if (app->recording != 0) {
        SetOutcome(&result, OutcomeCode::kBusy, kIconWarning, kStopFirst);
        return result;
    }
    uint32_t openError = 0;
    FileHandle file = OpenFileForReading(path, &openError);
    if (file == nullptr) {
        char16_t message[1024];
        FormatFileFailure(message, 1024, u"The session file could not be opened", openError, path);
        SetOutcome(&result, OutcomeCode::kFileError, kIconError, message);
        return result;
    }

    SessionHeader header{};
    int64_t fileSize = 0;
    if (!ReadExactly(file, &header, sizeof header) || std::memcmp(header.magic, "OLVS", 4) != 0 ||
        (header.version == kSessionVersionCompact || header.version == kSessionVersionYara ||
                 header.version == kSessionVersionWholeTexts
             ? header.recordSize != kCompactRecordSize
             : header.recordSize != kSessionRecordSize &&
                   header.recordSize != kSessionRecordSizeV1) ||
        (header.version != 1 && header.version != kSessionVersion &&
         header.version != kSessionVersionCleared && header.version != kSessionVersionOrigin &&
         header.version != kSessionVersionCompact && header.version != kSessionVersionYara &&
         header.version != kSessionVersionWholeTexts) ||
        !FileSize(file, &fileSize)) {
        CloseFile(file);
        RefuseNotReadable(&result, path);
        return result;
    }

    const bool hasBlock = header.version >= kSessionVersion;
    const bool hasCleared = header.version >= kSessionVersionCleared;
    const bool hasOrigin = header.version >= kSessionVersionOrigin;
    int64_t dataStart = hasBlock ? kDataStartV2 : kDataStartV1;
    if (fileSize < dataStart || static_cast<int32_t>(header.rowCount) < 0) {
        CloseFile(file);
        RefuseDamaged(&result, path);
        return result;
    }

    RecordingInfo block{};
    ClearedRows cleared{};
    LossesBeforeResume lossesBeforeResume{};
    RecordingOrigin origin{};
    uint8_t originMore[kRecordingOriginLargest];
    uint32_t originMoreBytes = 0;
    if (hasBlock) {
        if (!ReadExactly(file, &block, kRecordingInfoSize) ||
            block.blockSize != kRecordingInfoSize ||
            (hasCleared && !ReadClearedRows(file, &cleared, &lossesBeforeResume)) ||
            (hasOrigin && !ReadRecordingOrigin(file, &origin, originMore, &originMoreBytes))) {
            CloseFile(file);
            RefuseDamaged(&result, path);
            return result;
        }
        block.target[519] = 0;
        block.tool[63] = 0;
        // Times and bias are printed in every header: a value no clock gives is damage.
        char16_t why[96];
        if (!RecordingInfoInRange(block, why, 96)) {
            CloseFile(file);
            char16_t message[160];
            FormatText(message, 160, u"The session file is damaged: %s.", why);
            RefuseFile(&result, OutcomeCode::kDamagedFile, message, path);
            return result;
        }
        if ((origin.flags & stopUtcBiasKnown) != 0 && (origin.stopUtcBias < -kMostUtcBiasMinutes ||
                                                       origin.stopUtcBias > kMostUtcBiasMinutes)) {
            CloseFile(file);
            char16_t message[160];
            FormatText(message, 160,
                       u"The session file is damaged: the UTC bias at Stop is %ld minutes.",
                       origin.stopUtcBias);
            RefuseFile(&result, OutcomeCode::kDamagedFile, message, path);
            return result;
        }
        if (hasCleared) dataStart += cleared.blockSize;
        if (hasOrigin) dataStart += origin.blockSize;
    }
    const bool compact = header.version == kSessionVersionCompact ||
                         header.version == kSessionVersionYara ||
                         header.version == kSessionVersionWholeTexts;
    // The loss counts of the recording, after the origin block's fixed part (versions 4 to 7); a
    // file of a build that kept none leaves them unknown.
    KeptCounts kept{};
    bool countsSayYara = false;
    if (originMoreBytes > 0) {
        char16_t why[256] = {};
        if (!ReadCountsBlock(originMore, originMoreBytes, &kept, &countsSayYara, why, 256)) {
            CloseFile(file);
            char16_t message[320];
            FormatText(message, 320, u"The session file is damaged: %s.", why);
            RefuseFile(&result, OutcomeCode::kDamagedFile, message, path);
            return result;
        }
    }
    const bool yaraFollows = header.version == kSessionVersionYara ||
                             (header.version == kSessionVersionWholeTexts && countsSayYara);
    YaraSessionBlock yara{};
    if (yaraFollows) {
        bool readFailed = false;
        char16_t why[256] = {};
        if (!ReadYaraSessionBlock(file, header.rowCount, fileSize - dataStart, &yara, &readFailed,
                                  why, 256)) {
            CloseFile(file);
            if (readFailed) {
                RefuseReadFailed(&result, OutcomeCode::kFileError, path);
            } else {
                char16_t message[320];
                FormatText(message, 320, u"The session file is damaged: %s.", why);
                RefuseFile(&result, OutcomeCode::kDamagedFile, message, path);
            }
            return result;
        }
        dataStart += yara.rules * int64_t{kYaraBlockRuleBytes} +
                     yara.matches * int64_t{kYaraBlockMatchBytes} + kYaraBlockHeadBytes;
    }
    if (fileSize < dataStart ||
        (!compact && int64_t{header.rowCount} * header.recordSize != fileSize - dataStart)) {
        CloseFile(file);
        FreeYaraSessionBlock(&yara);
        RefuseDamaged(&result, path);
        return result;
    }

    const uint32_t count = header.rowCount;
    const uint64_t textBytes =
        compact ? static_cast<uint64_t>(fileSize - dataStart)
                : uint64_t{count} * kTextBytesPerRowGuess +
                      uint64_t{count < PieceRows(header.recordSize) ? count
                                                                    : PieceRows(header.recordSize)} *
                          sizeof(EventRow);
    if (!RowsFitInMemory(&result, count, textBytes, path)) {
        CloseFile(file);
        FreeYaraSessionBlock(&yara);
        return result;
    }
    TextStore store{};
    CompactRow* packed = nullptr;
    if (compact) {
        // The compact records are checked whole before any of them is kept; then they are the
        // store as they lie in the file.
        char16_t why[256] = {};
        const CompactReadOutcome read =
            ReadCompactBody(file, static_cast<uint64_t>(fileSize - dataStart), count, &store,
                            &packed, why, 256);
        if (read == kCompactDamaged) {
            CloseFile(file);
            char16_t message[320];
            FormatText(message, 320, u"The session file is damaged: %s.", why);
            RefuseFile(&result, OutcomeCode::kDamagedFile, message, path);
            FreeYaraSessionBlock(&yara);
            return result;
        }
        if (read != kCompactRead) {
            CloseFile(file);
            RefuseReadFailed(&result, OutcomeCode::kFileError, path);
            FreeYaraSessionBlock(&yara);
            return result;
        }
    } else if (count > 0) {
        packed = static_cast<CompactRow*>(AllocZeroed(size_t{count} * sizeof(CompactRow)));
        if (packed == nullptr) {
            CloseFile(file);
            RefuseReadFailed(&result, OutcomeCode::kNoMemory, path);
            return result;
        }
        uint32_t readCount = 0;
        const ReadOutcome read = ReadRows(app, file, &store, packed, count, header.recordSize,
                                          progress, &readCount);
        if (read != kRowsRead) {
            FreeBlock(packed);
            FreeTextStore(&store);
            CloseFile(file);
            if (read == kRowsReadCancelled) {
                RefuseCancelled(&result, readCount, count, path);
            } else {
                RefuseReadFailed(&result,
                                 read == kRowsNoMemory ? OutcomeCode::kNoMemory
                                                       : OutcomeCode::kFileError,
                                 path);
            }
            return result;
        }
    }

    // Every check and read has succeeded: from here on the open cannot fail.
    ClearRows(app);
    if (hasBlock) {
        app->recordingInfo = block;
        app->recordingInfoValid = 1;
    } else {
        app->recordingInfo = RecordingInfo{};
        app->recordingInfo.flags = completenessUnknown;
        app->recordingInfoValid = 0;
    }
    app->cleared = hasCleared ? cleared : ClearedRows{};
    app->lossesBeforeResume = lossesBeforeResume;
    // An older file does not say who recorded it: the examined program's parent image is then not
    // known, rather than taken to be this program.
    app->origin = origin;
    // What followed the block's fixed part (the counts) is kept apart, in keptCounts.
    if (app->origin.blockSize > kRecordingOriginSize) app->origin.blockSize = kRecordingOriginSize;
    app->keptCounts = kept;
    UseRecordingOriginForSigma(app);
    AtomicExchange(app->droppedHere, 0);
    AtomicExchange(app->textsCutHere, 0);
    // The tree and summary windows name the session they show.
    CopyBounded(app->sessionName, 260, PathFileName(path));

    EnterLock(&app->rowsLock);
    if (packed != nullptr) {
        FreeBlock(app->rows);
        app->rows = packed;
        app->rowCount = static_cast<int32_t>(count);
        app->rowCapacity = static_cast<int32_t>(count);
        FreeTextStore(&app->rowTexts);
        app->rowTexts = store;
    } else {
        FreeTextStore(&store);
    }
    LearnOperationNames(app, 0, app->rowCount);
    LeaveLock(&app->rowsLock);
    CloseFile(file);
    // The matches a recording's YARA scans found stay with their rows.
    if (yara.bytes != nullptr) ApplyYaraSessionBlock(app, yara);
    FreeYaraSessionBlock(&yara);
    if (SigmaRulesLoaded(app)) {
        // The loaded rules judge the session's rows afresh (this also rebuilds the view).
        MatchAllRows(app);
    } else {
        RebuildShownRows(app);
    }

    result = OkOutcome();
    CompletenessAfterOpen(app, &result);
    return result;
}

} // namespace olv
