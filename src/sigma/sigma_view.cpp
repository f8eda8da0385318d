// The field view of rows (sigma_view.h): the context's tables and the view of each category.
#include "sigma/sigma_view.h"

#include <cstring>

#include "platform/growth.h"
#include "platform/hash_table.h"
#include "base/text.h"
#include "platform/memory.h"
#include "record/row_kind.h"
#include "record/script_row.h"
#include "record/thread_row.h"
#include "tracking/process_naming.h"

namespace olv {

namespace {

constexpr uint32_t kFirstTableSlots = 256;
constexpr uint32_t kFirstArenaChars = 16384;
constexpr size_t kKeyChars = 1200; // a composed key: process id, protocol and two endpoints/path
constexpr size_t kRecorderImageChars = 520;
constexpr size_t kAddressChars = 64;

// Texts the context keeps (image paths, command lines, host names, keys), appended one after the
// other and named by offset, so the tables hold no pointers that a growth would leave behind.
struct TextArena {
    char16_t* chars;
    uint32_t used;
    uint32_t capacity;
};

struct TextRef {
    uint32_t offset;
    uint32_t length;
};

// What a process's start told of its family: each text known (a value, or absent) or unknown.
enum FamilyState : uint8_t { kFamilyUnknown = 0, kFamilyAbsent = 1, kFamilyKnown = 2 };

struct FamilyText {
    TextRef text;
    uint8_t state; // FamilyState
};

struct ProcessEntry {
    uint32_t pid;
    uint32_t parentPid;
    int32_t pendingRow; // the deferred start row, -1 when none
    uint8_t imageFull;        // image is a full path (else the short name, or nothing)
    uint8_t hasCommandLine;
    uint8_t hasDirectory;
    uint8_t startedByRecorder; // the examined program: its parent is the recorder
    TextRef shortName;
    TextRef image;
    TextRef commandLine;
    TextRef directory;
    // The process's family, taken at its start (TakeFamily below): a pid names another
    // process once its own has exited, so a parent is found by pid and instance, and what the
    // parent's entry held is copied while it is still the parent's.
    uint32_t instance;       // a number of its own per process seen (0: none)
    int32_t startRow;        // the index of its start row, -1 when not seen
    uint32_t parentInstance; // the parent's entry when the start was seen (0: not in the table)
    uint8_t startSeen;       // its start row was recorded (else it ran before the recording)
    uint8_t exited;          // its exit was recorded, at exitTime (FILETIME ticks, UTC)
    uint64_t exitTime;
    FamilyText parentImage;
    FamilyText parentCommandLine;
    FamilyText grandParentImage;
};

struct KeyEntry {
    TextRef key;
    TextRef value;
};

using KeyTable = HashTable<KeyEntry>;
using ProcessTable = HashTable<ProcessEntry>;

constexpr uint32_t kMostKeySlots = 1u << 28;
constexpr uint32_t kMostProcessSlots = 1u << 24;
constexpr int32_t kMostRetired = 4096; // held starts of reused ids not viewed yet

} // namespace

struct SigmaViewContext {
    TextArena arena;
    ProcessTable processes;
    KeyTable hostsByAddress; // DNS answers: address -> the name looked up
    KeyTable endpointPairs;  // (process, protocol, local, remote) seen
    KeyTable writtenFiles;   // (process, path) written to
    int32_t* due;
    int32_t dueCount;
    int32_t dueCapacity;
    uint32_t losses;
    uint32_t instances; // process entries made, for ProcessEntry::instance
    // Entries of processes whose id a new start took while their own start row was held: kept
    // until that row, due now, is viewed (SigmaViewOfStartRow), so it is not viewed as the new
    // process's.
    ProcessEntry* retired;
    int32_t retiredCount;
    int32_t retiredCapacity;
    TextRef recorderRef; // recorderImage in the arena, once a family names it
    uint8_t recorderKept;
    char16_t recorderImage[kRecorderImageChars];
    // The old name of a file being renamed: the last "Renamed file" row, which the thread's
    // "Renamed file by path" row (the new name) follows.
    uint32_t renamePid;
    uint32_t renameThread;
    uint32_t renameLength; // 0: none
    char16_t renameSource[kPathChars + 1];
    // The whole text of the script row viewed last (ScriptText).
    char16_t* wholeText;
    size_t wholeCapacity;
};

namespace {

uint64_t HashChars(const char16_t* text, size_t length) {
    return HashText16(text, length);
}

const char16_t* ArenaText(const SigmaViewContext* c, TextRef ref) {
    return c->arena.chars + ref.offset;
}

// Appends length characters; false (and nothing kept) when memory is refused.
bool ArenaAdd(SigmaViewContext* c, const char16_t* text, size_t length, TextRef* ref) {
    TextArena* a = &c->arena;
    if (length > 0x10000000u) return false;
    const uint64_t needed = static_cast<uint64_t>(a->used) + length;
    if (!GrowArray(&a->chars, &a->capacity, a->used, needed, kFirstArenaChars, 0x40000000u)) {
        return false;
    }
    if (length > 0) std::memcpy(a->chars + a->used, text, length * sizeof(char16_t));
    ref->offset = a->used;
    ref->length = static_cast<uint32_t>(length);
    a->used += static_cast<uint32_t>(length);
    return true;
}

bool TextRefEquals(const SigmaViewContext* c, TextRef ref, const char16_t* text, size_t length) {
    return ref.length == length &&
           (length == 0 || std::memcmp(ArenaText(c, ref), text, length * sizeof(char16_t)) == 0);
}

KeyEntry* FindKey(const SigmaViewContext* c, const KeyTable* t, const char16_t* key, size_t length,
                  uint64_t hash) {
    return HashFind(t, hash, [&](const KeyEntry& e) { return TextRefEquals(c, e.key, key, length); });
}

// Enters the key; *isNew says whether it was absent. Returns the entry, or nullptr when memory
// was refused (then *isNew is true: the caller treats the row as the first, and the loss is
// counted).
KeyEntry* EnterKeyHashed(SigmaViewContext* c, KeyTable* t, const char16_t* key, size_t length,
                         uint64_t hash, bool* isNew) {
    KeyEntry* found = FindKey(c, t, key, length, hash);
    if (found != nullptr) {
        *isNew = false;
        return found;
    }
    *isNew = true;
    KeyEntry* e = HashInsert(t, hash, kFirstTableSlots, kMostKeySlots);
    if (e == nullptr || !ArenaAdd(c, key, length, &e->key)) {
        if (e != nullptr) HashErase(t, e);
        ++c->losses;
        return nullptr;
    }
    return e;
}

KeyEntry* EnterKey(SigmaViewContext* c, KeyTable* t, const char16_t* key, size_t length,
                   bool* isNew) {
    return EnterKeyHashed(c, t, key, length, HashChars(key, length), isNew);
}

ProcessEntry* FindProcess(SigmaViewContext* c, uint32_t pid) {
    return HashFind(&c->processes, HashNumber(pid), [pid](const ProcessEntry& e) { return e.pid == pid; });
}

void MakeDue(SigmaViewContext* c, int32_t index) {
    const size_t count = static_cast<size_t>(c->dueCount);
    if (!GrowArray(&c->due, &c->dueCapacity, count, count + 1, 64, INT32_MAX)) {
        // The row is matched with what the table held when it was learned: never lost.
        ++c->losses;
        return;
    }
    c->due[c->dueCount++] = index;
}

// Keeps the entry of a process whose held start row became due because a new process took its id.
// Refused memory or a full list is counted: that row is then viewed with its process unknown.
void RetireEntry(SigmaViewContext* c, const ProcessEntry& e) {
    const size_t count = static_cast<size_t>(c->retiredCount);
    if (c->retiredCount >= kMostRetired ||
        !GrowArray(&c->retired, &c->retiredCapacity, count, count + 1, 16, kMostRetired)) {
        ++c->losses;
        return;
    }
    c->retired[c->retiredCount++] = e;
}

// A fresh entry for pid (replacing what an earlier process of that id left, after making its
// deferred row due); nullptr when memory is refused.
ProcessEntry* StartProcess(SigmaViewContext* c, uint32_t pid) {
    ProcessEntry* e = FindProcess(c, pid);
    if (e != nullptr) {
        if (e->pendingRow >= 0) {
            MakeDue(c, e->pendingRow);
            RetireEntry(c, *e);
        }
    } else {
        e = HashInsert(&c->processes, HashNumber(pid), kFirstTableSlots, kMostProcessSlots);
        if (e == nullptr) {
            ++c->losses;
            return nullptr;
        }
    }
    *e = ProcessEntry{};
    e->pid = pid;
    e->pendingRow = -1;
    e->startRow = -1;
    e->instance = ++c->instances;
    return e;
}


size_t FieldLength(const char16_t* field, size_t chars) {
    return FieldTextLength(field, chars);
}

// --- The stored row in view ---

// The row a view is made of: its record and the store its texts are in. Its texts are read into
// the buffer (SigmaRowTexts) the first time the view asks for them.
struct ViewRow {
    const TextStore* store;
    const CompactRow* row;
    SigmaRowTexts* texts;
    RowKind kind;
};

enum RowTextRead : uint32_t { kReadPath = 1, kReadDetail = 2, kReadResult = 4, kReadProcess = 8 };

ViewRow MakeViewRow(const TextStore* store, const CompactRow& row, SigmaViewBuffer* out) {
    out->row.read = 0;
    return ViewRow{store, &row, &out->row, KindOf(row)};
}

// A stored text as a row's field holds it: cut to the field's capacity, ended at its first zero
// unit (which only a damaged store holds) and terminated. Returns its length.
uint32_t ReadRowText(const TextStore* store, uint32_t id, size_t capacity, char16_t* field) {
    TextView text = TextOfId(store, id);
    if (text.length > capacity) text.length = static_cast<uint32_t>(capacity);
    CopyTextUnits(text, field);
    field[text.length] = 0;
    return static_cast<uint32_t>(FieldLength(field, text.length));
}

const char16_t* RowPath(const ViewRow& r, size_t* length) {
    SigmaRowTexts* t = r.texts;
    if ((t->read & kReadPath) == 0) {
        t->pathLength = ReadRowText(r.store, r.row->path, kPathChars, t->path);
        t->read |= kReadPath;
    }
    *length = t->pathLength;
    return t->path;
}

const char16_t* RowDetail(const ViewRow& r, size_t* length) {
    SigmaRowTexts* t = r.texts;
    if ((t->read & kReadDetail) == 0) {
        t->detailLength = ReadRowText(r.store, r.row->detail, kDetailChars, t->detail);
        t->read |= kReadDetail;
    }
    *length = t->detailLength;
    return t->detail;
}

const char16_t* RowResult(const ViewRow& r, size_t* length) {
    SigmaRowTexts* t = r.texts;
    if ((t->read & kReadResult) == 0) {
        t->resultLength = ReadRowText(r.store, r.row->result, kResultChars, t->result);
        t->read |= kReadResult;
    }
    *length = t->resultLength;
    return t->result;
}

// The process name the row shows (kept in its context record).
const char16_t* RowProcess(const ViewRow& r, size_t* length) {
    SigmaRowTexts* t = r.texts;
    if ((t->read & kReadProcess) == 0) {
        const uint32_t id = ContextOf(r.store, *r.row).process;
        t->processLength = ReadRowText(r.store, id, kProcessChars, t->process);
        t->read |= kReadProcess;
    }
    *length = t->processLength;
    return t->process;
}

uint32_t RowParentPid(const ViewRow& r) {
    return ContextOf(r.store, *r.row).parentPid;
}

bool IsFullPath(const char16_t* text, size_t length) {
    if (length >= 3 && ((text[0] | 0x20) >= u'a' && (text[0] | 0x20) <= u'z') && text[1] == u':' &&
        (text[2] == u'\\' || text[2] == u'/')) {
        return true;
    }
    return length >= 3 && text[0] == u'\\' && text[1] == u'\\';
}

// The file name part of path[0..length).
size_t FileNameStart(const char16_t* path, size_t length) {
    size_t start = 0;
    for (size_t i = 0; i < length; ++i) {
        if (path[i] == u'\\' || path[i] == u'/') start = i + 1;
    }
    return start;
}

// Whether a file name names the process the row calls shortName: that name, or the kernel's
// short name cut at 14 or 15 bytes and narrowed to the 8-bit code page (tracking/process_naming.h).
bool NamesProcess(const char16_t* name, size_t nameLength, const char16_t* shortName,
                  size_t shortLength) {
    return shortLength != 0 && FitsShortName(name, nameLength, shortName, shortLength);
}

// The first token of a command line: a quoted text or the text up to the first blank.
void FirstToken(const char16_t* line, size_t length, size_t* start, size_t* tokenLength) {
    size_t i = 0;
    while (i < length && line[i] == u' ')
        ++i;
    if (i < length && line[i] == u'"') {
        size_t j = i + 1;
        while (j < length && line[j] != u'"')
            ++j;
        *start = i + 1;
        *tokenLength = j - (i + 1);
        return;
    }
    size_t j = i;
    while (j < length && line[j] != u' ' && line[j] != u'\t')
        ++j;
    *start = i;
    *tokenLength = j - i;
}

void SetImage(SigmaViewContext* c, ProcessEntry* e, const char16_t* path, size_t length) {
    TextRef ref{};
    if (!ArenaAdd(c, path, length, &ref)) {
        ++c->losses;
        return;
    }
    e->image = ref;
    e->imageFull = 1;
    if (e->startedByRecorder) {
        // The examined program starts in the folder of its path (the launcher's rule): a root
        // keeps its separator.
        const size_t name = FileNameStart(path, length);
        if (name > 0 && ArenaAdd(c, path, name, &ref)) {
            e->directory = ref;
            e->hasDirectory = 1;
        } else if (name > 0) {
            ++c->losses;
        }
    }
}

// --- The view ---

void ClearView(SigmaViewBuffer* out) {
    out->view.categories = 0;
    out->view.unknown = 0;
    out->facts.used = 0;
    out->facts.present = 0;
    for (SigmaFieldMask rest = out->view.set; rest != 0; rest &= rest - 1)
        out->view.fields[__builtin_ctzll(rest)] = SigmaText{nullptr, 0};
    out->view.set = 0;
    out->used = 0;
}

void SetField(SigmaViewBuffer* out, uint32_t field, const char16_t* text, size_t length) {
    out->view.fields[field] = SigmaText{text, static_cast<uint32_t>(length)};
    out->view.set |= SigmaFieldBit(field);
}

void SetLiteral(SigmaViewBuffer* out, uint32_t field, const char16_t* text) {
    SetField(out, field, text, TextLength(text));
}


// Copies text into the buffer and points the field at it (cut to what is left).
void SetCopied(SigmaViewBuffer* out, uint32_t field, const char16_t* text, size_t length) {
    const size_t room = kSigmaViewTextChars - out->used;
    if (length > room) length = room;
    char16_t* at = out->text + out->used;
    if (length > 0) std::memcpy(at, text, length * sizeof(char16_t));
    out->used += static_cast<uint32_t>(length);
    SetField(out, field, at, length);
}

void SetNumber(SigmaViewBuffer* out, uint32_t field, uint32_t value) {
    // From the last digit to the first, two a division.
    static constexpr char kPairs[] = "00010203040506070809101112131415161718192021222324"
                                     "25262728293031323334353637383940414243444546474849"
                                     "50515253545556575859606162636465666768697071727374"
                                     "75767778798081828384858687888990919293949596979899";
    char16_t text[12];
    size_t at = 12;
    while (value >= 100) {
        const uint32_t pair = value % 100;
        value /= 100;
        text[--at] = static_cast<char16_t>(kPairs[pair * 2 + 1]);
        text[--at] = static_cast<char16_t>(kPairs[pair * 2]);
    }
    if (value >= 10) {
        text[--at] = static_cast<char16_t>(kPairs[value * 2 + 1]);
        text[--at] = static_cast<char16_t>(kPairs[value * 2]);
    } else {
        text[--at] = static_cast<char16_t>(u'0' + value);
    }
    SetCopied(out, field, text + at, 12 - at);
}

void SetRef(SigmaViewBuffer* out, const SigmaViewContext* c, uint32_t field, TextRef ref) {
    SetField(out, field, ArenaText(c, ref), ref.length);
}

// A field of the row's categories that this row could not learn: unknown to the rules, which is
// not the same as absent or empty.
void SetUnknown(SigmaViewBuffer* out, uint32_t field) {
    out->view.fields[field] = SigmaText{nullptr, 0};
    out->view.unknown |= SigmaFieldBit(field);
    out->view.set &= ~SigmaFieldBit(field);
}

// Image of the row's process: the full path when learned, else unknown. The short name the row
// shows is no path: a rule testing `\name.exe` or a folder would be answered wrongly by it.
void SetProcessImage(SigmaViewContext* c, const ViewRow& r, SigmaViewBuffer* out) {
    const ProcessEntry* e = FindProcess(c, r.row->pid);
    if (e != nullptr && e->imageFull) {
        SetRef(out, c, kSigmaImage, e->image);
    } else {
        SetUnknown(out, kSigmaImage);
    }
    SetNumber(out, kSigmaProcessId, r.row->pid);
}

void AddCategory(SigmaViewBuffer* out, uint32_t category) {
    out->view.categories |= 1u << category;
}

// --- The acting process's family ---
//
// A row's process is the entry of its pid; its parent is the entry its start found alive under
// the parent pid (ProcessEntry::parentInstance), and what that entry knew then is copied into the
// child, so a parent that exits and whose pid a new process takes still names the child's
// family. A text the start could not learn is looked up again in the parent's entry while that
// entry is still the parent's (an image learned from a later image load). A process whose start
// the recording did not see has no known family: its fields are unknown, never taken from
// whatever process holds its parent pid now.

FamilyText Family(uint8_t state, TextRef text = TextRef{}) {
    return FamilyText{text, state};
}

const ProcessEntry* FindInstance(SigmaViewContext* c, uint32_t pid, uint32_t instance) {
    if (instance == 0) return nullptr;
    const ProcessEntry* e = FindProcess(c, pid);
    return e != nullptr && e->instance == instance ? e : nullptr;
}

// The recorder's own program, the examined program's parent: unknown when the recording names
// none.
FamilyText RecorderFamily(SigmaViewContext* c) {
    if (c->recorderImage[0] == 0) return Family(kFamilyUnknown);
    if (c->recorderKept == 0) {
        if (!ArenaAdd(c, c->recorderImage, TextLength(c->recorderImage), &c->recorderRef)) {
            ++c->losses;
            return Family(kFamilyUnknown);
        }
        c->recorderKept = 1;
    }
    return Family(kFamilyKnown, c->recorderRef);
}

FamilyText ImageFamily(const ProcessEntry* e) {
    return e != nullptr && e->imageFull ? Family(kFamilyKnown, e->image) : Family(kFamilyUnknown);
}

FamilyText ParentImageOf(SigmaViewContext* c, const ProcessEntry* e) {
    if (e->parentImage.state != kFamilyUnknown) return e->parentImage;
    if (e->startedByRecorder) return RecorderFamily(c);
    return ImageFamily(FindInstance(c, e->parentPid, e->parentInstance));
}

FamilyText ParentCommandLineOf(SigmaViewContext* c, const ProcessEntry* e) {
    if (e->parentCommandLine.state != kFamilyUnknown) return e->parentCommandLine;
    // The recorder's own command line says nothing about the sample.
    if (e->startedByRecorder) return Family(kFamilyAbsent);
    const ProcessEntry* parent = FindInstance(c, e->parentPid, e->parentInstance);
    return parent != nullptr && parent->hasCommandLine
               ? Family(kFamilyKnown, parent->commandLine)
               : Family(kFamilyUnknown);
}

FamilyText GrandParentImageOf(SigmaViewContext* c, const ProcessEntry* e) {
    if (e->grandParentImage.state != kFamilyUnknown) return e->grandParentImage;
    // Who started the recorder is not recorded.
    if (e->startedByRecorder) return Family(kFamilyUnknown);
    const ProcessEntry* parent = FindInstance(c, e->parentPid, e->parentInstance);
    return parent != nullptr && parent->startSeen ? ParentImageOf(c, parent)
                                                  : Family(kFamilyUnknown);
}

// Takes the family of a process whose start row (at startTime) is being learned (its pid, parent
// pid and kind set). A parent pid whose entry exited before the start names no living process:
// the real parent is one the recording did not see, and the family stays unknown. The exit is
// compared by time, not by row order: the recorder's own "Target process exited" row can come
// before the start row of a child made just before the exit, which the trace delivers later.
void TakeFamily(SigmaViewContext* c, ProcessEntry* e, uint64_t startTime) {
    if (e->startedByRecorder) {
        e->parentImage = RecorderFamily(c);
        e->parentCommandLine = Family(kFamilyAbsent);
        return;
    }
    const ProcessEntry* parent = FindProcess(c, e->parentPid);
    if (parent == nullptr || parent == e || (parent->exited && parent->exitTime < startTime)) return;
    e->parentInstance = parent->instance;
    e->parentImage = ImageFamily(parent);
    if (parent->hasCommandLine) e->parentCommandLine = Family(kFamilyKnown, parent->commandLine);
    if (parent->startSeen) e->grandParentImage = ParentImageOf(c, parent);
}

void SetFamily(SigmaViewBuffer* out, const SigmaViewContext* c, uint32_t field, FamilyText f) {
    if (f.state == kFamilyKnown) {
        SetRef(out, c, field, f.text);
    } else if (f.state == kFamilyUnknown) {
        SetUnknown(out, field);
    } // absent: the field stays null, known to hold nothing
}

// CommandLine, ParentImage, ParentCommandLine and GrandParentImage of the process acting on a
// row other than its start.
void SetActingProcess(SigmaViewContext* c, const ViewRow& r, SigmaViewBuffer* out) {
    const ProcessEntry* e = FindProcess(c, r.row->pid);
    if (e == nullptr || !e->startSeen) {
        SetUnknown(out, kSigmaCommandLine);
        SetUnknown(out, kSigmaParentImage);
        SetUnknown(out, kSigmaParentCommandLine);
        SetUnknown(out, kSigmaGrandParentImage);
        return;
    }
    SetFamily(out, c, kSigmaCommandLine,
              e->hasCommandLine ? Family(kFamilyKnown, e->commandLine) : Family(kFamilyUnknown));
    SetFamily(out, c, kSigmaParentImage, ParentImageOf(c, e));
    SetFamily(out, c, kSigmaParentCommandLine, ParentCommandLineOf(c, e));
    SetFamily(out, c, kSigmaGrandParentImage, GrandParentImageOf(c, e));
}

// The name a file was given, on a rename row that names it ("Renamed file by path" names the new
// path; its old name is not in the row). Absent on the other rows of the category.
void SetNewName(SigmaViewBuffer* out, RowKind kind, const char16_t* path, size_t pathLength) {
    if (kind == RowKind::RenamedFileByPath) SetField(out, kSigmaNewName, path, pathLength);
}

// --- Facts of the row ---

static_assert(kSigmaDetails - kSigmaOriginalFileName == kFactDetails &&
                  kSigmaContents - kSigmaOriginalFileName == kFactContents &&
                  kSigmaUser - kSigmaOriginalFileName == kFactUser,
              "the fact fields follow RowFact's order");

static_assert(FactOfSigmaField(SigmaFieldOfFact(kFactCurrentDirectory)) == kFactCurrentDirectory &&
                  FactOfSigmaField(SigmaFieldOfFact(kFactDetails)) == kFactDetails &&
                  FactOfSigmaField(SigmaFieldOfFact(kFactStartFunction)) == kFactStartFunction &&
                  FactOfSigmaField(kSigmaImage) == kRowFactCount,
              "a fact and its field name each other");

// The fact fields of the row's kind from its facts record: a known fact (possibly empty) is its
// text, every other fact of the kind is unknown (never empty: a rule cannot tell a missing fact
// from a value it tests for). A start's folder the view knows already (the examined program's,
// which the launcher chose) stays as it is; the fact stands in for every other process.
void SetFactFields(SigmaViewBuffer* out, const ViewRow& r) {
    SigmaRowFacts& kept = out->facts;
    kept.used = 0;
    kept.present = 0;
    const uint32_t all = FactsOfLayout(FactsLayoutOfKind(r.kind));
    if (all == 0) return;
    RowFacts facts{};
    kept.present = FactsOf(r.store, *r.row, &facts) ? 1 : 0;
    for (uint32_t f = 0; f < kRowFactCount; ++f) {
        if ((all & (1u << f)) == 0) continue;
        const uint32_t field = SigmaFieldOfFact(f);
        if (f == kFactCurrentDirectory &&
            (!FactKnown(facts, RowFact(f)) || (out->view.unknown & SigmaFieldBit(field)) == 0)) {
            continue; // known from the launcher, or left as the start's fields set it
        }
        if (!FactKnown(facts, RowFact(f))) {
            SetUnknown(out, field);
            continue;
        }
        // Each fact has kFactChars units of room.
        char16_t* at = kept.text + kept.used;
        const uint32_t length =
            ReadRowText(r.store, facts.text[f], kFactChars - 1, at);
        kept.used += length + 1;
        SetField(out, field, at, length);
        out->view.unknown &= ~SigmaFieldBit(field); // the folder was set unknown by the start
    }
}

// --- Process rows ---

bool IsStartRow(RowKind kind) {
    return kind == RowKind::StartedProcess || kind == RowKind::StartedChildProcess;
}

// The view of a start row whose process is e (nullptr: no entry; otherInstance: the id's entry is
// another process's, so nothing of it is taken).
bool StartRowView(SigmaViewContext* context, const ViewRow& r, const ProcessEntry* e,
                  bool otherInstance, SigmaViewBuffer* out);

uint32_t LearnStart(SigmaViewContext* c, const ViewRow& r, int32_t index, SigmaViewBuffer* out) {
    ProcessEntry* e = StartProcess(c, r.row->pid);
    if (e == nullptr) return StartRowView(c, r, nullptr, false, out) ? kSigmaViewReady : kSigmaViewNone;
    e->startRow = index;
    e->parentPid = RowParentPid(r);
    e->startedByRecorder = r.kind == RowKind::StartedProcess ? 1 : 0;
    e->startSeen = 1;
    size_t shortLength = 0;
    size_t lineLength = 0;
    const char16_t* process = RowProcess(r, &shortLength);
    const char16_t* line = RowPath(r, &lineLength);
    TextRef ref{};
    // A text refused memory leaves the process's later rows without it: counted.
    if (ArenaAdd(c, process, shortLength, &ref)) {
        e->shortName = ref;
    } else {
        ++c->losses;
    }
    if (ArenaAdd(c, line, lineLength, &ref)) {
        e->commandLine = ref;
        e->hasCommandLine = 1;
    } else {
        ++c->losses;
    }
    size_t start = 0;
    size_t length = 0;
    FirstToken(line, lineLength, &start, &length);
    const char16_t* token = line + start;
    const size_t name = FileNameStart(token, length);
    if (IsFullPath(token, length) &&
        NamesProcess(token + name, length - name, process, shortLength)) {
        SetImage(c, e, token, length);
    }
    TakeFamily(c, e, r.row->timestamp);
    if (e->imageFull) return StartRowView(c, r, e, false, out) ? kSigmaViewReady : kSigmaViewNone;
    e->pendingRow = index;
    return kSigmaViewDeferred;
}

uint32_t LearnImageLoad(SigmaViewContext* c, const ViewRow& r, SigmaViewBuffer* out) {
    size_t pathLength = 0;
    const char16_t* path = RowPath(r, &pathLength);
    ProcessEntry* e = FindProcess(c, r.row->pid);
    size_t processLength = 0;
    if (e == nullptr && RowProcess(r, &processLength)[0] != 0) {
        // A process the recording did not see start: its name comes from the row.
        e = StartProcess(c, r.row->pid);
        TextRef ref{};
        if (e != nullptr && ArenaAdd(c, r.texts->process, processLength, &ref)) {
            e->shortName = ref;
        } else if (e != nullptr) {
            ++c->losses;
        }
    }
    if (e != nullptr && !e->imageFull && IsFullPath(path, pathLength)) {
        const size_t name = FileNameStart(path, pathLength);
        if (NamesProcess(path + name, pathLength - name, ArenaText(c, e->shortName),
                         e->shortName.length)) {
            SetImage(c, e, path, pathLength);
            if (e->pendingRow >= 0) {
                MakeDue(c, e->pendingRow);
                e->pendingRow = -1;
            }
        }
    }
    AddCategory(out, kSigmaImageLoad);
    SetField(out, kSigmaImageLoaded, path, pathLength);
    SetProcessImage(c, r, out);
    SetActingProcess(c, r, out);
    SetFactFields(out, r);
    return kSigmaViewReady;
}

// --- Script rows ---

// The row's whole text (the block, the output) when its path field holds only its start; else
// the path as the field holds it. Without memory for the whole text, the field's start.
// The text lies in the context's buffer until the next script row is viewed (a view is matched
// or kept before the next row is viewed); the buffer grows to the longest text seen.
const char16_t* ScriptText(SigmaViewContext* c, const ViewRow& r, size_t* length) {
    const TextView whole = TextOfId(r.store, r.row->path);
    if (whole.length > kPathChars - 1 &&
        GrowArray(&c->wholeText, &c->wholeCapacity, 0, size_t{whole.length} + 1,
                  size_t{kPathChars} * 2, size_t{kTextStoreLongestText} * 2)) {
        CopyTextUnits(whole, c->wholeText);
        c->wholeText[whole.length] = 0;
        *length = FieldLength(c->wholeText, whole.length);
        return c->wholeText;
    }
    if (whole.length > kPathChars - 1) ++c->losses; // only the field's start is seen
    return RowPath(r, length);
}

// A script block row: ScriptBlockText is the block's whole text, Path the script's file its
// detail names (empty when none). A module output row: Payload its whole text, ContextInfo the
// context lines its detail keeps.
uint32_t ScriptView(SigmaViewContext* c, const ViewRow& r, SigmaViewBuffer* out) {
    size_t pathLength = 0;
    const char16_t* path = ScriptText(c, r, &pathLength);
    size_t detailLength = 0;
    const char16_t* detail = RowDetail(r, &detailLength);
    if (r.kind == RowKind::RanScriptBlock) {
        AddCategory(out, kSigmaPsScript);
        SetField(out, kSigmaScriptBlockText, path, pathLength);
        const char16_t* file = nullptr;
        const size_t fileLength = ScriptPathOfDetail(detail, &file);
        SetField(out, kSigmaPath, file, fileLength);
        return kSigmaViewReady;
    }
    AddCategory(out, kSigmaPsModule);
    SetField(out, kSigmaPayload, path, pathLength);
    SetField(out, kSigmaContextInfo, detail, detailLength);
    return kSigmaViewReady;
}

// --- Processes opened and drivers ---

// The number after "Target PID: " at the start of an open's detail; 0 when there is none.
uint32_t OpenTargetPid(const char16_t* detail, size_t length) {
    constexpr size_t kLead = 12; // "Target PID: "
    if (length <= kLead || !TextStartsWith(detail, u"Target PID: ")) return 0;
    uint32_t pid = 0;
    for (size_t i = kLead; i < length && detail[i] >= u'0' && detail[i] <= u'9'; ++i) {
        if (pid >= 0x19999999u) return 0; // past 32 bits: no pid of a row
        pid = pid * 10 + static_cast<uint32_t>(detail[i] - u'0');
    }
    return pid;
}

// The mask after "Access: " in an open's detail ("0x1410"), up to the blank that ends it.
size_t OpenAccessMask(const char16_t* detail, size_t length, const char16_t** mask) {
    const ptrdiff_t at = FindText(detail, u"Access: 0x");
    if (at < 0 || static_cast<size_t>(at) + 10 >= length) return 0;
    const size_t from = static_cast<size_t>(at) + 8;
    size_t end = from + 2;
    while (end < length && detail[end] != u' ')
        ++end;
    *mask = detail + from;
    return end - from;
}

// A row's own text for a process's image: its length is 0 when the text is not usable as one.
struct RowImageText {
    const char16_t* text = nullptr;
    size_t length = 0;
};

// SourceImage and TargetImage of a row between two processes (the row's process and target):
// each the image the view learned for the process when it is a full path, else the row's text
// for it, else unknown.
void SetSourceAndTargetImages(SigmaViewContext* c, const ViewRow& r, const ProcessEntry* target,
                              RowImageText sourceText, RowImageText targetText,
                              SigmaViewBuffer* out) {
    const ProcessEntry* source = FindProcess(c, r.row->pid);
    const ProcessEntry* const entries[] = {source, target};
    const RowImageText texts[] = {sourceText, targetText};
    const uint32_t fields[] = {kSigmaSourceImage, kSigmaTargetImage};
    for (int i = 0; i < 2; ++i) {
        if (entries[i] != nullptr && entries[i]->imageFull) {
            SetRef(out, c, fields[i], entries[i]->image);
        } else if (texts[i].length > 0) {
            SetField(out, fields[i], texts[i].text, texts[i].length);
        } else {
            SetUnknown(out, fields[i]);
        }
    }
}

// An open of another process that the system granted: SourceImage the opener's image,
// TargetImage the opened process's (each its full path when the recording learned it, or for the
// target the full path the row names, else unknown), GrantedAccess the mask. The audit event gives the rights asked for; an open that
// succeeded was granted exactly those, unless it asked for the maximum allowed, whose grant the
// event does not give (unknown then). A refused open was granted nothing, and a thread's rights
// are not a process's: neither row is a process_access row.
uint32_t ProcessAccessView(SigmaViewContext* c, const ViewRow& r, SigmaViewBuffer* out) {
    size_t detailLength = 0;
    const char16_t* detail = RowDetail(r, &detailLength);
    size_t resultLength = 0;
    const char16_t* result = RowResult(r, &resultLength);
    if (resultLength != 2 || result[0] != u'O' || result[1] != u'K') return kSigmaViewNone;
    if (FindText(detail, u" / TID: ") >= 0) return kSigmaViewNone;
    const char16_t* mask = nullptr;
    const size_t maskLength = OpenAccessMask(detail, detailLength, &mask);
    if (maskLength == 0) return kSigmaViewNone;
    AddCategory(out, kSigmaProcessAccess);
    const uint32_t targetPid = OpenTargetPid(detail, detailLength);
    size_t pathLength = 0;
    const char16_t* path = RowPath(r, &pathLength);
    // The target's path on the row is the trace's path of its executable.
    const RowImageText target{path, IsFullPath(path, pathLength) ? pathLength : 0};
    SetSourceAndTargetImages(c, r, targetPid != 0 ? FindProcess(c, targetPid) : nullptr,
                             RowImageText{}, target, out);
    if (FindText(detail, u"maximum allowed") >= 0) {
        SetUnknown(out, kSigmaGrantedAccess);
    } else {
        SetField(out, kSigmaGrantedAccess, mask, maskLength);
    }
    return kSigmaViewReady;
}

// A driver loaded into the system: ImageLoaded its file, and the file's facts.
uint32_t DriverLoadView(const ViewRow& r, SigmaViewBuffer* out) {
    size_t pathLength = 0;
    const char16_t* path = RowPath(r, &pathLength);
    AddCategory(out, kSigmaDriverLoad);
    SetField(out, kSigmaImageLoaded, path, pathLength);
    SetFactFields(out, r);
    return kSigmaViewReady;
}

// --- Threads started in another process ---
//
// Both images from the view's processes when it learned them; a process the recording did not
// follow is known only by the name the row gives it, taken when it is a whole path (the creator's
// name in the process column may be cut short: then it is unknown). StartAddress and StartModule
// come from the detail (no module known: empty); StartFunction is the row's fact, read from the
// module's export table after the row (unknown until then, and where it cannot be read).
bool IsWholePath(const char16_t* text, size_t length, size_t capacity) {
    return length + 1 < capacity && FindText(text, u"\\") >= 0;
}

uint32_t ThreadView(SigmaViewContext* c, const ViewRow& r, SigmaViewBuffer* out) {
    AddCategory(out, kSigmaCreateRemoteThread);
    size_t processLength = 0;
    const char16_t* process = RowProcess(r, &processLength);
    size_t detailLength = 0;
    const char16_t* detail = RowDetail(r, &detailLength);
    size_t pathLength = 0;
    const char16_t* path = RowPath(r, &pathLength);
    const RowImageText source{
        process, IsWholePath(process, processLength, kProcessChars) ? processLength : 0};
    const RowImageText target{path, IsWholePath(path, pathLength, kPathChars) ? pathLength : 0};
    SetSourceAndTargetImages(c, r, FindProcess(c, ThreadTargetOfDetail(detail)), source, target,
                             out);
    const char16_t* text = nullptr;
    const size_t addressLength = ThreadStartOfDetail(detail, &text);
    if (addressLength > 0) {
        SetField(out, kSigmaStartAddress, text, addressLength);
    } else {
        SetUnknown(out, kSigmaStartAddress);
    }
    const size_t moduleLength = ThreadModuleOfDetail(detail, &text);
    SetField(out, kSigmaStartModule, text, moduleLength);
    SetFactFields(out, r);
    return kSigmaViewReady;
}

uint32_t LearnProcessRow(SigmaViewContext* c, const ViewRow& r, int32_t index,
                         SigmaViewBuffer* out) {
    const RowKind kind = r.kind;
    if (IsStartRow(kind)) return LearnStart(c, r, index, out);
    if (kind == RowKind::LoadedDll) return LearnImageLoad(c, r, out);
    if (kind == RowKind::OpenedProcess) return ProcessAccessView(c, r, out);
    if (kind == RowKind::LoadedDriver) return DriverLoadView(r, out);
    if (kind == RowKind::RanScriptBlock || kind == RowKind::LoggedModuleOutput) {
        return ScriptView(c, r, out);
    }
    if (kind == RowKind::CreatedThreadInAnotherProcess) return ThreadView(c, r, out);
    if (kind == RowKind::ProcessExited || kind == RowKind::TargetProcessExited) {
        ProcessEntry* e = FindProcess(c, r.row->pid);
        if (e != nullptr) {
            e->exited = 1;
            e->exitTime = r.row->timestamp;
        }
        if (e != nullptr && e->pendingRow >= 0) {
            MakeDue(c, e->pendingRow);
            e->pendingRow = -1;
        }
    }
    return kSigmaViewNone;
}

// The tables a row's key is looked up in (SigmaRowKey::table).
enum KeyTableOf : uint32_t { kNoKeyGiven = 0, kWrittenFilesKey = 1, kEndpointPairsKey = 2 };

// The hash of a row's key: the one the caller made before the row's turn when it names this
// table, else made now.
uint64_t KeyHash(SigmaRowKey given, uint32_t table, const char16_t* key, size_t length) {
    return given.table == table ? given.hash : HashChars(key, length);
}

// --- File rows ---

// Once per (process, path) written to: the key of a "Wrote to file" row.
size_t WrittenFileKey(uint32_t pid, const char16_t* path, size_t length, char16_t* key) {
    key[0] = static_cast<char16_t>(pid >> 16);
    key[1] = static_cast<char16_t>(pid & 0xFFFF);
    std::memcpy(key + 2, path, length * sizeof(char16_t));
    return length + 2;
}

// --- Pipes, streams, reads, renames and whole disks ---

bool StartsWithFolded(const char16_t* text, size_t length, const char16_t* prefix) {
    size_t i = 0;
    for (; prefix[i] != 0; ++i) {
        if (i >= length || FoldAscii(text[i]) != FoldAscii(prefix[i])) return false;
    }
    return true;
}


// A pipe row's view: its name as \NAME (the row shows \\.\pipe\NAME).
uint32_t PipeView(SigmaViewContext* c, const ViewRow& r, SigmaViewBuffer* out) {
    static constexpr char16_t kShown[] = u"\\\\.\\pipe";
    constexpr size_t kShownChars = sizeof kShown / sizeof kShown[0] - 1;
    size_t pathLength = 0;
    const char16_t* path = RowPath(r, &pathLength);
    if (!StartsWithFolded(path, pathLength, kShown) || pathLength <= kShownChars ||
        path[kShownChars] != u'\\') {
        return kSigmaViewNone;
    }
    AddCategory(out, kSigmaPipeCreated);
    SetField(out, kSigmaPipeName, path + kShownChars, pathLength - kShownChars);
    SetLiteral(out, kSigmaEventType,
               r.kind == RowKind::CreatedPipe ? u"CreatePipe" : u"ConnectPipe");
    SetProcessImage(c, r, out);
    SetActingProcess(c, r, out);
    return kSigmaViewReady;
}

uint32_t RawAccessView(SigmaViewContext* c, const ViewRow& r, SigmaViewBuffer* out) {
    size_t pathLength = 0;
    const char16_t* path = RowPath(r, &pathLength);
    AddCategory(out, kSigmaRawAccessThread);
    SetField(out, kSigmaDevice, path, pathLength);
    SetProcessImage(c, r, out);
    SetActingProcess(c, r, out);
    return kSigmaViewReady;
}

// A file opened or read: each such row, as the rules of file reads count them.
uint32_t FileAccessView(SigmaViewContext* c, const ViewRow& r, SigmaViewBuffer* out) {
    size_t pathLength = 0;
    const char16_t* path = RowPath(r, &pathLength);
    if (TextEquals(path, u"(file not identified)")) return kSigmaViewNone;
    AddCategory(out, kSigmaFileAccess);
    SetField(out, kSigmaFileName, path, pathLength);
    SetProcessImage(c, r, out);
    SetActingProcess(c, r, out);
    return kSigmaViewReady;
}

// Keeps the old name of a rename for the new-name row of the same thread that follows it.
void NoteRenameSource(SigmaViewContext* c, const ViewRow& r) {
    size_t pathLength = 0;
    const char16_t* path = RowPath(r, &pathLength);
    c->renameLength = 0;
    if (TextEquals(path, u"(file not identified)") || pathLength == 0) return;
    std::memcpy(c->renameSource, path, pathLength * sizeof(char16_t));
    c->renameSource[pathLength] = 0;
    c->renameLength = static_cast<uint32_t>(pathLength);
    c->renamePid = r.row->pid;
    c->renameThread = r.row->threadId;
}

// SourceFilename of a new-name row: the old name its thread's rename row gave just before, else
// unknown (the rename row came after it, or was not recorded).
void SetRenameSource(SigmaViewContext* c, const ViewRow& r, SigmaViewBuffer* out) {
    AddCategory(out, kSigmaFileRename);
    if (c->renameLength > 0 && c->renamePid == r.row->pid &&
        c->renameThread == r.row->threadId) {
        SetCopied(out, kSigmaSourceFilename, c->renameSource, c->renameLength);
        c->renameLength = 0;
    } else {
        SetUnknown(out, kSigmaSourceFilename);
    }
}

uint32_t LearnFileRow(SigmaViewContext* c, const ViewRow& r, SigmaRowKey given,
                      SigmaViewBuffer* out) {
    const RowKind kind = r.kind;
    uint32_t category;
    switch (kind) {
    case RowKind::CreatedPipe:
    case RowKind::ConnectedToPipe:
        return PipeView(c, r, out);
    case RowKind::OpenedDiskForRawAccess:
        return RawAccessView(c, r, out);
    case RowKind::OpenedFile:
    case RowKind::ReadFile:
        return FileAccessView(c, r, out);
    case RowKind::RenamedFile:
        NoteRenameSource(c, r);
        return kSigmaViewNone;
    default:
        break;
    }
    if (kind == RowKind::CreatedNewFile || kind == RowKind::CreatedLink ||
        kind == RowKind::RenamedFileByPath || kind == RowKind::WroteFile ||
        kind == RowKind::WroteAlternateDataStream) {
        category = kSigmaFileEvent;
    } else if (kind == RowKind::DeletedFile || kind == RowKind::DeletedFileByPath) {
        category = kSigmaFileDelete;
    } else {
        return kSigmaViewNone; // the most common rows (closes, handle releases) read no text
    }
    size_t pathLength = 0;
    const char16_t* path = RowPath(r, &pathLength);
    if (TextEquals(path, u"(file not identified)")) return kSigmaViewNone;
    if (kind == RowKind::WroteFile || kind == RowKind::WroteAlternateDataStream) {
        char16_t key[kKeyChars];
        const size_t length = WrittenFileKey(r.row->pid, path, pathLength, key);
        bool isNew = false;
        EnterKeyHashed(c, &c->writtenFiles, key, length,
                       KeyHash(given, kWrittenFilesKey, key, length), &isNew);
        if (!isNew) return kSigmaViewNone;
    }
    AddCategory(out, category);
    SetField(out, kSigmaTargetFilename, path, pathLength);
    SetProcessImage(c, r, out);
    SetActingProcess(c, r, out);
    SetNewName(out, kind, path, pathLength);
    if (kind == RowKind::RenamedFileByPath) SetRenameSource(c, r, out);
    if (kind == RowKind::WroteAlternateDataStream) {
        AddCategory(out, kSigmaCreateStreamHash);
        SetFactFields(out, r);
    }
    return kSigmaViewReady;
}

// --- Registry rows ---

uint32_t RegistryView(SigmaViewContext* c, const ViewRow& r, SigmaViewBuffer* out) {
    const RowKind kind = r.kind;
    uint32_t category;
    const char16_t* eventType;
    bool valueRow = false;
    if (kind == RowKind::CreatedRegistryKey) {
        category = kSigmaRegistryAdd;
        eventType = u"CreateKey";
    } else if (kind == RowKind::DeletedRegistryKey) {
        category = kSigmaRegistryDelete;
        eventType = u"DeleteKey";
    } else if (kind == RowKind::DeletedRegistryValue) {
        category = kSigmaRegistryDelete;
        eventType = u"DeleteValue";
        valueRow = true;
    } else if (kind == RowKind::WroteRegistryValue) {
        category = kSigmaRegistrySet;
        eventType = u"SetValue";
        valueRow = true;
    } else {
        return kSigmaViewNone;
    }
    AddCategory(out, category);
    AddCategory(out, kSigmaRegistryEvent);
    SetLiteral(out, kSigmaEventType, eventType);
    SetFactFields(out, r);
    SetProcessImage(c, r, out);
    SetActingProcess(c, r, out);
    size_t pathLength = 0;
    const char16_t* path = RowPath(r, &pathLength);
    // A key the recording could not name: its path is not known.
    if (TextEquals(path, u"(key not identified)")) {
        SetUnknown(out, kSigmaTargetObject);
        return kSigmaViewReady;
    }

    char16_t* target = out->text + out->used;
    const size_t room = kSigmaViewTextChars - out->used;
    size_t length = AbbreviateRegistryPath(path, target, room);
    if (valueRow) {
        // The decoder names the value in the detail as "Value: NAME"; no detail is the unnamed
        // value.
        static constexpr char16_t kValuePrefix[] = u"Value: ";
        size_t detailLength = 0;
        const char16_t* detail = RowDetail(r, &detailLength);
        const char16_t* value = u"(Default)";
        size_t valueLength = 9;
        if (StartsWithFolded(detail, detailLength, kValuePrefix) &&
            detailLength > sizeof kValuePrefix / sizeof kValuePrefix[0] - 1) {
            value = detail + 7;
            valueLength = detailLength - 7;
        }
        if (length + 1 + valueLength < room) {
            target[length++] = u'\\';
            std::memcpy(target + length, value, valueLength * sizeof(char16_t));
            length += valueLength;
            target[length] = 0;
        }
    }
    out->used += static_cast<uint32_t>(length);
    SetField(out, kSigmaTargetObject, target, length);
    return kSigmaViewReady;
}

// --- Network rows ---

struct Endpoint {
    const char16_t* address;
    size_t addressLength;
    const char16_t* port;
    size_t portLength;
};

// "a.b.c.d:port" or "[v6]:port".
bool ParseEndpoint(const char16_t* text, size_t length, Endpoint* e) {
    size_t colon = length;
    for (size_t i = length; i > 0; --i) {
        if (text[i - 1] == u':') {
            colon = i - 1;
            break;
        }
    }
    if (colon == length || colon + 1 >= length) return false;
    e->port = text + colon + 1;
    e->portLength = length - colon - 1;
    if (text[0] == u'[') {
        if (colon < 2 || text[colon - 1] != u']') return false;
        e->address = text + 1;
        e->addressLength = colon - 2;
    } else {
        e->address = text;
        e->addressLength = colon;
    }
    return e->addressLength > 0;
}

// An IPv4 address written as IPv6 ("::ffff:1.2.3.4") is the IPv4 address for host names.
void NormalAddress(const char16_t* address, size_t length, const char16_t** out,
                   size_t* outLength) {
    if (StartsWithFolded(address, length, u"::ffff:") && length > 7) {
        bool dotted = false;
        for (size_t i = 7; i < length; ++i)
            dotted = dotted || address[i] == u'.';
        if (dotted) {
            *out = address + 7;
            *outLength = length - 7;
            return;
        }
    }
    *out = address;
    *outLength = length;
}

// The protocol and direction of a network row that is a connection or data; false for others.
bool PairKind(RowKind kind, const char16_t** protocol, const char16_t** initiated) {
    if (kind == RowKind::ConnectedTcp || kind == RowKind::SentTcp) {
        *protocol = u"tcp";
        *initiated = u"true";
    } else if (kind == RowKind::AcceptedTcp || kind == RowKind::ReceivedTcp) {
        *protocol = u"tcp";
        *initiated = u"false";
    } else if (kind == RowKind::SentUdp) {
        *protocol = u"udp";
        *initiated = u"true";
    } else if (kind == RowKind::ReceivedUdp) {
        *protocol = u"udp";
        *initiated = u"false";
    } else {
        return false;
    }
    return true;
}

// Once per (process, protocol, local, remote): the key of a network row whose path (the pair as
// the row shows it) is pathLength characters.
size_t EndpointPairKey(uint32_t pid, const char16_t* protocol, const char16_t* path,
                       size_t pathLength, char16_t* key) {
    key[0] = static_cast<char16_t>(pid >> 16);
    key[1] = static_cast<char16_t>(pid & 0xFFFF);
    key[2] = protocol[0];
    std::memcpy(key + 3, path, pathLength * sizeof(char16_t));
    return pathLength + 3;
}

uint32_t NetworkView(SigmaViewContext* c, const ViewRow& r, SigmaRowKey given,
                     SigmaViewBuffer* out) {
    const char16_t* protocol = nullptr;
    const char16_t* initiated = nullptr;
    if (!PairKind(r.kind, &protocol, &initiated)) return kSigmaViewNone;
    // "local -> remote", as the decoder writes the kernel's pair.
    size_t pathLength = 0;
    const char16_t* path = RowPath(r, &pathLength);
    const ptrdiff_t arrow = FindText(path, u" -> ");
    if (arrow <= 0 || static_cast<size_t>(arrow) + 4 >= pathLength) return kSigmaViewNone;
    Endpoint local{};
    Endpoint remote{};
    if (!ParseEndpoint(path, static_cast<size_t>(arrow), &local) ||
        !ParseEndpoint(path + arrow + 4, pathLength - static_cast<size_t>(arrow) - 4,
                       &remote)) {
        return kSigmaViewNone;
    }

    // Once per (process, protocol, local, remote).
    char16_t key[kKeyChars];
    const size_t keyLength = EndpointPairKey(r.row->pid, protocol, path, pathLength, key);
    bool isNew = false;
    EnterKeyHashed(c, &c->endpointPairs, key, keyLength,
                   KeyHash(given, kEndpointPairsKey, key, keyLength), &isNew);
    if (!isNew) return kSigmaViewNone;

    AddCategory(out, kSigmaNetworkConnection);
    SetField(out, kSigmaSourceIp, local.address, local.addressLength);
    SetField(out, kSigmaSourcePort, local.port, local.portLength);
    SetField(out, kSigmaDestinationIp, remote.address, remote.addressLength);
    SetField(out, kSigmaDestinationPort, remote.port, remote.portLength);
    SetLiteral(out, kSigmaProtocol, protocol);
    SetLiteral(out, kSigmaInitiated, initiated);
    const char16_t* address = nullptr;
    size_t addressLength = 0;
    NormalAddress(remote.address, remote.addressLength, &address, &addressLength);
    const KeyEntry* host = FindKey(c, &c->hostsByAddress, address, addressLength,
                                   HashChars(address, addressLength));
    if (host != nullptr) SetRef(out, c, kSigmaDestinationHostname, host->value);
    SetProcessImage(c, r, out);
    SetActingProcess(c, r, out);
    return kSigmaViewReady;
}

// --- DNS rows ---

// The answers of a "DNS answer" row as the row shows them: the detail after "TYPE → ".
bool AnswerList(const ViewRow& r, const char16_t** list, size_t* length) {
    size_t detailLength = 0;
    const char16_t* detail = RowDetail(r, &detailLength);
    const ptrdiff_t arrow = FindText(detail, u" \u2192 ");
    if (arrow < 0) return false;
    *list = detail + arrow + 3;
    *length = detailLength - static_cast<size_t>(arrow) - 3;
    return true;
}

void LearnAnswers(SigmaViewContext* c, const ViewRow& r, const char16_t* list, size_t length) {
    size_t nameLength = 0;
    const char16_t* queried = RowPath(r, &nameLength);
    TextRef name{};
    bool nameKept = false;
    size_t at = 0;
    while (at < length) {
        size_t end = at;
        while (end < length && !(list[end] == u',' && end + 1 < length && list[end + 1] == u' '))
            ++end;
        const char16_t* address = nullptr;
        size_t addressLength = 0;
        NormalAddress(list + at, end - at, &address, &addressLength);
        if (addressLength > 0 && addressLength < kAddressChars) {
            if (!nameKept) {
                if (!ArenaAdd(c, queried, nameLength, &name)) {
                    ++c->losses;
                    return;
                }
                nameKept = true;
            }
            bool isNew = false;
            KeyEntry* e = EnterKey(c, &c->hostsByAddress, address, addressLength, &isNew);
            if (e != nullptr) e->value = name; // the latest answer names the address
        }
        at = end + 2;
    }
}

uint32_t DnsView(SigmaViewContext* c, const ViewRow& r, SigmaViewBuffer* out) {
    const bool answer = r.kind == RowKind::DnsAnswer;
    if (!answer && r.kind != RowKind::DnsQuery) return kSigmaViewNone;
    AddCategory(out, kSigmaDnsQuery);
    // The DNS client's own log numbers a lookup's start 3006 and its completion 3008.
    AddCategory(out, kSigmaDnsClient);
    SetNumber(out, kSigmaEventId, answer ? 3008 : 3006);
    size_t pathLength = 0;
    const char16_t* path = RowPath(r, &pathLength);
    // The decoder shows an empty name as "(empty)".
    if (TextEquals(path, u"(empty)")) {
        SetField(out, kSigmaQueryName, path, 0);
    } else {
        SetField(out, kSigmaQueryName, path, pathLength);
    }
    if (answer) {
        const char16_t* list = nullptr;
        size_t length = 0;
        if (AnswerList(r, &list, &length)) {
            SetField(out, kSigmaQueryResults, list, length);
            LearnAnswers(c, r, list, length);
        } else {
            SetField(out, kSigmaQueryResults, r.texts->detail, 0);
        }
        // "OK" or "FAIL <status>".
        size_t resultLength = 0;
        const char16_t* result = RowResult(r, &resultLength);
        uint32_t status = 0;
        if (StartsWithFolded(result, resultLength, u"FAIL ")) {
            for (size_t i = 5; i < resultLength && result[i] >= u'0' && result[i] <= u'9'; ++i) {
                status = status * 10 + static_cast<uint32_t>(result[i] - u'0');
            }
        }
        SetNumber(out, kSigmaQueryStatus, status);
    }
    SetProcessImage(c, r, out);
    SetActingProcess(c, r, out);
    return kSigmaViewReady;
}

void FreeTables(SigmaViewContext* c) {
    FreeBlock(c->arena.chars);
    HashFree(&c->processes);
    HashFree(&c->hostsByAddress);
    HashFree(&c->endpointPairs);
    HashFree(&c->writtenFiles);
    FreeBlock(c->due);
    FreeBlock(c->retired);
    FreeBlock(c->wholeText);
    c->wholeText = nullptr;
    c->wholeCapacity = 0;
}

} // namespace

SigmaViewContext* NewSigmaViewContext() {
    return AllocRecord<SigmaViewContext>();
}

void FreeSigmaViewContext(SigmaViewContext* context) {
    if (context == nullptr) return;
    FreeTables(context);
    FreeBlock(context);
}

void ResetSigmaViewContext(SigmaViewContext* context) {
    if (context == nullptr) return;
    FreeTables(context);
    char16_t recorder[kRecorderImageChars];
    CopyBounded(recorder, kRecorderImageChars, context->recorderImage);
    *context = SigmaViewContext{};
    CopyBounded(context->recorderImage, kRecorderImageChars, recorder);
}

void SetSigmaRecorderImage(SigmaViewContext* context, const char16_t* path) {
    if (context == nullptr) return;
    CopyBounded(context->recorderImage, kRecorderImageChars, path);
    context->recorderKept = 0;
}

bool SigmaRowMayBeDeferred(const CompactRow& row) {
    // Asked of every row backwards from the end: only a process row can be a start.
    return row.category == kCategoryProcess && IsStartRow(KindOf(row));
}

uint32_t LearnSigmaRow(SigmaViewContext* context, const TextStore* store, const CompactRow& row,
                       int32_t index, SigmaViewBuffer* out) {
    return LearnSigmaRowWithKey(context, store, row, index, SigmaRowKey{}, out);
}

uint32_t LearnSigmaRowWithKey(SigmaViewContext* context, const TextStore* store,
                              const CompactRow& row, int32_t index, SigmaRowKey key,
                              SigmaViewBuffer* out) {
    if (context == nullptr || store == nullptr || out == nullptr) return kSigmaViewNone;
    ClearView(out);
    const ViewRow r = MakeViewRow(store, row, out);
    switch (row.category) {
    case kCategoryProcess:
        return LearnProcessRow(context, r, index, out);
    case kCategoryFile:
        return LearnFileRow(context, r, key, out);
    case kCategoryRegistry:
        return RegistryView(context, r, out);
    case kCategoryNetwork:
        if (r.kind == RowKind::DnsQuery || r.kind == RowKind::DnsAnswer) {
            return DnsView(context, r, out);
        }
        return NetworkView(context, r, key, out);
    default:
        return kSigmaViewNone;
    }
}

SigmaRowKey SigmaKeyOfRow(const TextStore* store, const CompactRow& row) {
    if (store == nullptr) return SigmaRowKey{};
    const RowKind kind = KindOf(row);
    const char16_t* protocol = nullptr;
    const char16_t* initiated = nullptr;
    uint32_t table = kNoKeyGiven;
    if (row.category == kCategoryFile &&
        (kind == RowKind::WroteFile || kind == RowKind::WroteAlternateDataStream)) {
        table = kWrittenFilesKey;
    } else if (row.category == kCategoryNetwork && PairKind(kind, &protocol, &initiated)) {
        table = kEndpointPairsKey;
    } else {
        return SigmaRowKey{};
    }
    char16_t path[kPathChars + 1];
    const size_t pathLength = ReadRowText(store, row.path, kPathChars, path);
    char16_t key[kKeyChars];
    const size_t length = table == kWrittenFilesKey
                              ? WrittenFileKey(row.pid, path, pathLength, key)
                              : EndpointPairKey(row.pid, protocol, path, pathLength, key);
    return SigmaRowKey{table, HashChars(key, length)};
}

void PrefetchSigmaKey(const SigmaViewContext* context, SigmaRowKey key) {
    if (context == nullptr) return;
    const KeyTable* table = key.table == kWrittenFilesKey    ? &context->writtenFiles
                            : key.table == kEndpointPairsKey ? &context->endpointPairs
                                                             : nullptr;
    if (table == nullptr || table->capacity == 0) return;
    const uint32_t at = static_cast<uint32_t>(key.hash) & (table->capacity - 1);
    __builtin_prefetch(&table->hashes[at], 0, 3);
    __builtin_prefetch(&table->entries[at], 0, 3);
}

void PrefetchSigmaRow(const SigmaViewContext* context, const TextStore* store,
                      const CompactRow& row) {
    PrefetchSigmaKey(context, SigmaKeyOfRow(store, row));
}

int32_t TakeDueSigmaRows(SigmaViewContext* context, int32_t* indices, int32_t capacity) {
    if (context == nullptr || indices == nullptr || capacity <= 0) return 0;
    const int32_t n = context->dueCount < capacity ? context->dueCount : capacity;
    if (n == 0) return 0;
    std::memcpy(indices, context->due, static_cast<size_t>(n) * sizeof(int32_t));
    std::memmove(context->due, context->due + n,
                 static_cast<size_t>(context->dueCount - n) * sizeof(int32_t));
    context->dueCount -= n;
    return n;
}

void ReleaseDeferredSigmaRows(SigmaViewContext* context) {
    if (context == nullptr) return;
    ProcessTable* t = &context->processes;
    // In row order, so the rows are matched as they were recorded.
    for (;;) {
        ProcessEntry* first = nullptr;
        for (uint32_t i = 0; i < t->capacity; ++i) {
            ProcessEntry* e = &t->entries[i];
            if (t->hashes[i] != 0 && e->pendingRow >= 0 &&
                (first == nullptr || e->pendingRow < first->pendingRow)) {
                first = e;
            }
        }
        if (first == nullptr) return;
        MakeDue(context, first->pendingRow);
        first->pendingRow = -1;
    }
}

bool SigmaViewOfStartRow(SigmaViewContext* context, const TextStore* store, const CompactRow& row,
                         int32_t index, SigmaViewBuffer* out) {
    if (context == nullptr || store == nullptr || out == nullptr) return false;
    const ViewRow r = MakeViewRow(store, row, out);
    const ProcessEntry* live = FindProcess(context, row.pid);
    if (index < 0 || (live != nullptr && live->startRow == index)) {
        return StartRowView(context, r, live, false, out);
    }
    // The row's process gave its id to a new one before the row was viewed.
    for (int32_t i = 0; i < context->retiredCount; ++i) {
        if (context->retired[i].startRow != index) continue;
        const ProcessEntry kept = context->retired[i];
        context->retired[i] = context->retired[--context->retiredCount];
        return StartRowView(context, r, &kept, false, out);
    }
    return StartRowView(context, r, nullptr, live != nullptr, out);
}

namespace {

bool StartRowFields(SigmaViewContext* context, const ViewRow& r, const ProcessEntry* e,
                    bool otherInstance, SigmaViewBuffer* out);

// A start row's view: its own fields, then the facts of its image and token.
bool StartRowView(SigmaViewContext* context, const ViewRow& r, const ProcessEntry* e,
                  bool otherInstance, SigmaViewBuffer* out) {
    if (!StartRowFields(context, r, e, otherInstance, out)) return false;
    SetFactFields(out, r);
    return true;
}

bool StartRowFields(SigmaViewContext* context, const ViewRow& r, const ProcessEntry* e,
                    bool otherInstance, SigmaViewBuffer* out) {
    if (!IsStartRow(r.kind)) return false;
    ClearView(out);
    AddCategory(out, kSigmaProcessCreation);
    size_t lineLength = 0;
    const char16_t* line = RowPath(r, &lineLength);
    SetField(out, kSigmaCommandLine, line, lineLength);
    const uint32_t parentPid = RowParentPid(r);
    SetNumber(out, kSigmaParentProcessId, parentPid);
    if (e != nullptr && e->imageFull) {
        SetRef(out, context, kSigmaImage, e->image);
    } else {
        SetUnknown(out, kSigmaImage);
    }
    SetNumber(out, kSigmaProcessId, r.row->pid);
    // The folder a process starts in is known only for the examined program (the launcher chose
    // it); of any other process it is not known.
    if (e != nullptr && e->hasDirectory) {
        SetRef(out, context, kSigmaCurrentDirectory, e->directory);
    } else {
        SetUnknown(out, kSigmaCurrentDirectory);
    }
    if (r.kind == RowKind::StartedProcess) {
        // The recorder is the parent; its own command line says nothing about the sample and is
        // left absent.
        if (context->recorderImage[0] != 0) {
            SetLiteral(out, kSigmaParentImage, context->recorderImage);
        } else {
            SetUnknown(out, kSigmaParentImage);
        }
        SetUnknown(out, kSigmaGrandParentImage); // who started the recorder is not recorded
        return true;
    }
    if (e != nullptr && e->startSeen) {
        SetFamily(out, context, kSigmaParentImage, ParentImageOf(context, e));
        SetFamily(out, context, kSigmaParentCommandLine, ParentCommandLineOf(context, e));
        SetFamily(out, context, kSigmaGrandParentImage, GrandParentImageOf(context, e));
        return true;
    }
    if (otherInstance) {
        SetUnknown(out, kSigmaParentImage);
        SetUnknown(out, kSigmaParentCommandLine);
        SetUnknown(out, kSigmaGrandParentImage);
        return true;
    }
    // No entry (memory refused): the parent's entry as it is now, the grandparent not known.
    const ProcessEntry* parent = FindProcess(context, parentPid);
    if (parent != nullptr && parent->imageFull) {
        SetRef(out, context, kSigmaParentImage, parent->image);
    } else {
        SetUnknown(out, kSigmaParentImage);
    }
    if (parent != nullptr && parent->hasCommandLine) {
        SetRef(out, context, kSigmaParentCommandLine, parent->commandLine);
    } else {
        SetUnknown(out, kSigmaParentCommandLine);
    }
    SetUnknown(out, kSigmaGrandParentImage);
    return true;
}

} // namespace

uint32_t SigmaViewOfChangedRow(SigmaViewContext* context, const TextStore* store,
                               const CompactRow& row, uint32_t categories, SigmaViewBuffer* out) {
    if (context == nullptr || store == nullptr || out == nullptr || categories == 0) {
        return kSigmaViewNone;
    }
    ClearView(out);
    const ViewRow r = MakeViewRow(store, row, out);
    if (row.category == kCategoryRegistry) return RegistryView(context, r, out);
    if (IsStartRow(r.kind)) {
        return StartRowView(context, r, FindProcess(context, row.pid), false, out) ? kSigmaViewReady
                                                                                  : kSigmaViewNone;
    }
    if (r.kind == RowKind::LoadedDll && (categories & (1u << kSigmaImageLoad)) != 0) {
        // Its facts came after it was learned: the same fields, the facts read now.
        size_t pathLength = 0;
        const char16_t* path = RowPath(r, &pathLength);
        AddCategory(out, kSigmaImageLoad);
        SetField(out, kSigmaImageLoaded, path, pathLength);
        SetProcessImage(context, r, out);
        SetActingProcess(context, r, out);
        SetFactFields(out, r);
        return kSigmaViewReady;
    }
    if (r.kind == RowKind::LoadedDriver && (categories & (1u << kSigmaDriverLoad)) != 0) {
        return DriverLoadView(r, out); // its facts, read now
    }
    if (r.kind == RowKind::CreatedThreadInAnotherProcess &&
        (categories & (1u << kSigmaCreateRemoteThread)) != 0) {
        return ThreadView(context, r, out); // its start function came after it was learned
    }
    if (row.category == kCategoryFile) {
        // Rows of these categories are viewed from their own texts alone.
        if ((categories & (1u << kSigmaPipeCreated)) != 0) return PipeView(context, r, out);
        if ((categories & (1u << kSigmaRawAccessThread)) != 0) {
            return RawAccessView(context, r, out);
        }
        if ((categories & (1u << kSigmaFileAccess)) != 0) return FileAccessView(context, r, out);
        // The categories given are bits already.
        out->view.categories = categories & ((1u << kSigmaFileEvent) | (1u << kSigmaFileDelete) |
                                             (1u << kSigmaCreateStreamHash) |
                                             (1u << kSigmaFileRename));
        if (out->view.categories == 0) return kSigmaViewNone;
        size_t pathLength = 0;
        const char16_t* path = RowPath(r, &pathLength);
        SetField(out, kSigmaTargetFilename, path, pathLength);
        SetProcessImage(context, r, out);
        SetActingProcess(context, r, out);
        if ((out->view.categories & (1u << kSigmaFileEvent)) != 0) {
            SetNewName(out, r.kind, path, pathLength);
        }
        // The old name was handed to the first view only.
        if ((out->view.categories & (1u << kSigmaFileRename)) != 0) {
            SetUnknown(out, kSigmaSourceFilename);
        }
        if ((out->view.categories & (1u << kSigmaCreateStreamHash)) != 0) SetFactFields(out, r);
        return kSigmaViewReady;
    }
    return kSigmaViewNone;
}

uint32_t SigmaViewLosses(const SigmaViewContext* context) {
    return context == nullptr ? 0 : context->losses;
}

size_t AbbreviateRegistryPath(const char16_t* path, char16_t* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return 0;
    out[0] = 0;
    if (path == nullptr) return 0;
    const size_t length = TextLength(path);
    size_t rest = 0;
    size_t used = 0;
    if (StartsWithFolded(path, length, u"\\REGISTRY\\MACHINE") &&
        (length == 17 || path[17] == u'\\')) {
        used = CopyBounded(out, capacity, u"HKLM");
        rest = 17;
    } else if (StartsWithFolded(path, length, u"\\REGISTRY\\USER") &&
               (length == 14 || path[14] == u'\\')) {
        used = CopyBounded(out, capacity, u"HKU");
        rest = 14;
    } else {
        return CopyBounded(out, capacity, path);
    }
    // HKLM\SYSTEM\ControlSet00N\... -> HKLM\SYSTEM\CurrentControlSet\...
    if (rest == 17 && StartsWithFolded(path + rest, length - rest, u"\\SYSTEM\\ControlSet00") &&
        length - rest >= 21 && path[rest + 20] >= u'0' && path[rest + 20] <= u'9' &&
        (length - rest == 21 || path[rest + 21] == u'\\')) {
        used = AppendBoundedN(out, capacity, path + rest, 8); // "\SYSTEM\"
        used = AppendBounded(out, capacity, u"CurrentControlSet");
        rest += 21;
    }
    (void)used;
    return AppendBounded(out, capacity, path + rest);
}

} // namespace olv
