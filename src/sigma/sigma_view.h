// The field view: what each row of a recording is to the Sigma rules.
//
// A row alone does not say everything a rule asks: a process start names only the short image
// name, a connection row does not say which host name the address was looked up as, and a file is
// "created or overwritten" only by the first write of it. A SigmaViewContext learns from the rows
// in arrival order what later rows need, and gives each row its view (sigma.h) once what the view
// needs is known. One context per recording: reset it with the row store (Clear, Start, Open).
// Window thread only; nothing here runs on a trace thread.
//
// A view is made from the stored row itself (record/compact_row.h): its kind, its numbers and the
// texts it names in the row store. Only the texts the row's categories need are read, each once,
// into the view's buffer; no whole row is unpacked.
#pragma once

#include <cstddef>
#include <cstdint>

#include "record/compact_row.h"
#include "record/event_row.h"
#include "record/row_facts.h"
#include "sigma/sigma.h"

namespace olv {

struct SigmaViewContext; // opaque: tables of processes, DNS answers, endpoints and written files

// Texts the view of one row points at beyond the row itself (numbers as text, the rewritten
// registry path, the two endpoints).
constexpr size_t kSigmaViewTextChars = 2048;

// The row's texts a view reads, as they are in the row store (each terminated): the fields of the
// view point into them, so a view kept with its buffer stays whole while other rows are read.
struct SigmaRowTexts {
    char16_t path[kPathChars + 1];
    char16_t detail[kDetailChars + 1];
    char16_t result[kResultChars + 1];
    char16_t process[kProcessChars + 1];
    uint32_t pathLength, detailLength, resultLength, processLength;
    uint32_t read; // which texts are read for the row in view (a bit per text)
};

// The row's facts (record/row_facts.h) as the view's fact fields read them, each terminated.
struct SigmaRowFacts {
    char16_t text[kRowFactCount * kFactChars];
    uint32_t used;
    // The row has a facts record. A row without one (no facts arrived: no reader, or a session
    // that keeps none) has every fact of its kind unknown to the rules all the same.
    uint8_t present;
};

struct SigmaViewBuffer {
    SigmaEventView view;
    char16_t text[kSigmaViewTextChars];
    uint32_t used;
    SigmaRowTexts row;
    SigmaRowFacts facts;
};

// The fields that are facts of the row (kSigmaOriginalFileName to kSigmaContents).
constexpr SigmaFieldMask kSigmaFactFields =
    (SigmaFieldBit(kSigmaContents) | (SigmaFieldBit(kSigmaContents) - 1)) &
    ~(SigmaFieldBit(kSigmaOriginalFileName) - 1);

// The field by which rules know a fact of a row (record/row_facts.h), and the fact a field is
// (kRowFactCount for a field that is none). The facts to Contents follow the fields' order; a
// started process's folder is the field the examined program's start fills without a fact, and a
// thread's start function is named among the thread's fields.
constexpr uint32_t SigmaFieldOfFact(uint32_t fact) {
    return fact == kFactCurrentDirectory ? uint32_t{kSigmaCurrentDirectory}
           : fact == kFactStartFunction  ? uint32_t{kSigmaStartFunction}
                                         : kSigmaOriginalFileName + fact;
}
constexpr uint32_t FactOfSigmaField(uint32_t field) {
    return field == kSigmaCurrentDirectory ? uint32_t{kFactCurrentDirectory}
           : field == kSigmaStartFunction  ? uint32_t{kFactStartFunction}
           : field >= kSigmaOriginalFileName && field <= kSigmaContents
               ? field - kSigmaOriginalFileName
               : uint32_t{kRowFactCount};
}

enum SigmaViewOutcome : uint32_t {
    kSigmaViewNone = 0,     // the row belongs to no category: no rule sees it
    kSigmaViewReady = 1,    // the view is in the buffer: match it now
    kSigmaViewDeferred = 2, // a process start whose full image path is not known yet
};

// The unknown fields an export lists for the view in buffer. A row without a facts record lists
// none of its facts, so its line is as it was before rows had facts (no reader, an older
// session); the rules still take those facts as unknown.
inline SigmaFieldMask ListedUnknownFields(const SigmaViewBuffer& buffer) {
    return buffer.facts.present != 0 ? buffer.view.unknown
                                     : buffer.view.unknown & ~kSigmaFactFields;
}

// A new, empty context, or nullptr when memory is refused.
SigmaViewContext* NewSigmaViewContext();
void FreeSigmaViewContext(SigmaViewContext* context);
// Forgets everything learned (a new recording, a cleared store, an opened session). Keeps the
// recorder's image.
void ResetSigmaViewContext(SigmaViewContext* context);
// The path of the recorder's own program: the ParentImage of the examined program, whose parent
// is the recorder. Empty or null: ParentImage of that row is absent.
void SetSigmaRecorderImage(SigmaViewContext* context, const char16_t* path);

// Asks for the table slot that LearnSigmaRow looks up for the row (a file written to, a network
// pair) and changes nothing. A caller learning rows in order asks a few rows ahead: the tables of
// a long recording are far larger than the caches, and each lookup would otherwise wait for
// memory.
void PrefetchSigmaRow(const SigmaViewContext* context, const TextStore* store,
                      const CompactRow& row);

// The same in two steps, for a caller that hands the key on to LearnSigmaRowWithKey so that it is
// made once: the table a row's key is looked up in and the key's hash (table 0: none), made from
// the row as it is, and the request for its slot.
struct SigmaRowKey {
    uint32_t table;
    uint64_t hash;
};
SigmaRowKey SigmaKeyOfRow(const TextStore* store, const CompactRow& row);
void PrefetchSigmaKey(const SigmaViewContext* context, SigmaRowKey key);

// Learns from the next row of the recording (index: its place in the row store; rows must come
// in store order, each once; store: the store the row's texts are in) and fills out with its view
// when it is ready. The view points into out and into the context: it holds until the next call
// on the context with out, and until the context learns the next row.
//
// A process start row ("Started process", "Started child process") whose image path is not
// known from its command line is deferred: it becomes due when its process's first image load of
// that name arrives, when the process ends, or at ReleaseDeferredSigmaRows, whichever comes
// first; TakeDueSigmaRows then hands its index out and SigmaViewOfStartRow builds its view.
uint32_t LearnSigmaRow(SigmaViewContext* context, const TextStore* store, const CompactRow& row,
                       int32_t index, SigmaViewBuffer* out);
// LearnSigmaRow with the row's key made before (SigmaKeyOfRow of the row unchanged since): it is
// not made again. A key of no table, or of another table than the row looks up, is made anew.
uint32_t LearnSigmaRowWithKey(SigmaViewContext* context, const TextStore* store,
                              const CompactRow& row, int32_t index, SigmaRowKey key,
                              SigmaViewBuffer* out);
// Whether LearnSigmaRow may defer the row: a process start row. Rows after the last such row
// defer nothing, so once every deferred row has become due nothing more becomes due.
bool SigmaRowMayBeDeferred(const CompactRow& row);
// Moves the indices of deferred rows that became due (in the order they became due) into
// indices, at most capacity; returns how many were moved. Those not moved stay due.
int32_t TakeDueSigmaRows(SigmaViewContext* context, int32_t* indices, int32_t capacity);
// Makes every deferred row due (the recording stopped: no image load will come any more).
void ReleaseDeferredSigmaRows(SigmaViewContext* context);
// The view of a process start row that became due (index: its place in the row store, as
// TakeDueSigmaRows gave it): its image is the full path when one was learned, else unknown. A row
// whose process id a new process took before the row was viewed is viewed as its own process's.
// False for a row that is no process start.
bool SigmaViewOfStartRow(SigmaViewContext* context, const TextStore* store, const CompactRow& row,
                         int32_t index, SigmaViewBuffer* out);
// The view of a row learned earlier, for a row whose text changed after it was learned (registry
// paths named at the end of the trace). Categories that depend on the row's place in the
// recording (the first write of a file, the first row of an endpoint pair) are given as they were
// decided when the row was learned: pass the categories of its first view.
uint32_t SigmaViewOfChangedRow(SigmaViewContext* context, const TextStore* store,
                               const CompactRow& row, uint32_t categories, SigmaViewBuffer* out);

// Rows whose view may lack something because memory for the context's tables was refused (a
// first write or endpoint pair seen again, a path or host name not remembered). Counted, never
// silent.
uint32_t SigmaViewLosses(const SigmaViewContext* context);

// Rewrites a kernel registry path to the form rules use: \REGISTRY\MACHINE\X -> HKLM\X,
// \REGISTRY\USER\X -> HKU\X (so HKU\<SID>\X and HKU\<SID>_Classes\X), and ControlSet00N ->
// CurrentControlSet right under HKLM\SYSTEM. Other texts are copied. Returns the length written
// (cut to fit, terminated).
size_t AbbreviateRegistryPath(const char16_t* path, char16_t* out, size_t capacity);

} // namespace olv
