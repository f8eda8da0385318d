// The facts of a row that no text of its event holds: what the system and the image file say
// about it (version texts, digests, signature, the token of a started process, a written
// registry value's data, a stream's digests and text). They arrive after the row, from the facts worker, and are kept as one
// record in the row store (CompactRow::facts), like the context record: interned, so every row of
// one image with the same facts shares one record.
//
// A record is laid out by the row's kind: a process start holds the facts of its image and of its
// token, an image load the facts of the loaded file, a registry value write its Details. Each fact
// has a known bit; a fact that is not known has text id 0 and is never an empty text (a known
// fact may be empty). As it lies in the store (units, members little-endian):
//   unit 0        kFactsTag | layout
//   units 1-2     the known mask, a bit per RowFact
//   then          the text id of each fact of the layout, in RowFact order, two units each
#pragma once

#include <cstddef>
#include <cstdint>

#include "record/row_kind.h"
#include "record/text_store.h"

namespace olv {

struct CompactRow; // record/compact_row.h

enum RowFact : uint32_t {
    // of an image file (the started program, the loaded file)
    kFactOriginalFileName,
    kFactDescription,
    kFactProduct,
    kFactCompany,
    kFactFileVersion,
    kFactHashes, // SHA1=...,MD5=...,SHA256=...,IMPHASH=...
    kFactMd5,
    kFactSha1,
    kFactSha256,
    kFactImphash,
    kFactSigned, // true / false
    kFactSignature,
    kFactSignatureStatus,
    // of a started process's token (and its parent's)
    kFactUser,
    kFactIntegrityLevel,
    kFactLogonId,
    kFactParentUser,
    // of a registry value write
    kFactDetails,
    // of an alternate data stream written: its digests (the form of kFactHashes, without the
    // import hash) and, for a short text, the text
    kFactHash,
    kFactContents,
    // of a started process, read from it as it starts
    kFactCurrentDirectory,
    // of a thread started in another process: the function its module exports at its start
    // (empty when the address is no export's)
    kFactStartFunction,
    kRowFactCount
};

// The field name rules use for a fact ("OriginalFileName", "md5", "Details"...).
const char* RowFactName(RowFact fact);

enum RowFactsLayout : uint32_t {
    kFactsLayoutNone,     // the kind has no facts
    kFactsLayoutImage,    // an image load: the loaded file's facts
    kFactsLayoutProcess,  // a process start: its image's facts, its token's, its folder
    kFactsLayoutRegistry, // a registry value write: Details
    kFactsLayoutStream,   // an alternate data stream written: Hash and Contents
    kFactsLayoutThread,   // a thread started in another process: StartFunction
    kFactsLayoutCount
};
constexpr uint16_t kFactsTag = 0xF0A0; // unit 0's high bits: no text a row shows starts so

RowFactsLayout FactsLayoutOfKind(RowKind kind);
// The facts a layout holds, as a mask of RowFact bits.
uint32_t FactsOfLayout(RowFactsLayout layout);
// The units of a record of this layout (0 for None).
uint32_t FactsRecordUnits(RowFactsLayout layout);

// A fact's text is at most this many units, its terminator included.
constexpr size_t kFactChars = 1024;

// The record in memory: text ids by RowFact (0 for facts not known and for empty ones).
struct RowFacts {
    RowFactsLayout layout;
    uint32_t known; // bit (1 << fact)
    uint32_t text[kRowFactCount];
};

inline bool FactKnown(const RowFacts& facts, RowFact fact) {
    return (facts.known & (1u << fact)) != 0;
}

// The id of a facts record, stored first when it is new. False (nothing stored) when the layout
// is None or not known, a known bit is not the layout's, a fact that is not known names a text,
// or the store refuses it.
bool InternFacts(TextStore* store, const RowFacts& facts, uint32_t* id);
// The record a stored text holds; false (facts zeroed, layout None) when the text is no facts
// record: another length, another tag, or a known bit outside its layout, or an unknown fact
// naming a text. The texts it names are not checked here. A process start's record as written
// before it held CurrentDirectory (two units shorter) reads with that fact unknown.
bool ReadFactsRecord(TextView view, RowFacts* facts);
// The facts of a row: false, nothing known, when it has none or its id names no facts record.
bool FactsOf(const TextStore* store, const CompactRow& row, RowFacts* facts);
// A fact's text (the empty text when not known).
TextView FactTextOf(const TextStore* store, const RowFacts& facts, RowFact fact);

// The same record in another store (a store written afresh): its texts and the record interned
// there. id 0 stays 0; a record that is not one, or a refusal, gives false.
bool CopyFacts(const TextStore* from, uint32_t id, TextStore* to, uint32_t* out);

} // namespace olv
