#include "report/summary.h"

#include <cstring>

#include "platform/ui.h"
#include "record/recording.h"

#include "base/format.h"
#include "base/note_text.h"
#include "base/reveal_text.h"
#include "base/text.h"
#include "record/row_kind.h"
#include "record/script_row.h"
#include "record/thread_row.h"
#include "record/stored_rows.h"
#include "platform/memory.h"
#include "platform/lock.h"
#include "platform/time.h"
#include "platform/ui.h"
#include "report/completeness.h"
#include "views/row_details.h"
#include "views/row_store.h"
#include "views/sigma_rows.h"
#include "views/row_facts_flow.h"
#include "views/yara_rows.h"

namespace olv {

namespace {

// Rounds up to a power of two (at least 2).
int32_t PowerOfTwoAtLeast(int32_t n) {
    int32_t p = 2;
    while (p < n)
        p *= 2;
    return p;
}

uint64_t HashName(const char16_t* name) {
    return HashText16(name, TextLength(name));
}

// Min-heap of the entries by count: the root is the least counted entry.
void SwapHeap(NameTally* t, int32_t a, int32_t b) {
    const int32_t ea = t->heap[a];
    const int32_t eb = t->heap[b];
    t->heap[a] = eb;
    t->heap[b] = ea;
    t->heapAt[eb] = a;
    t->heapAt[ea] = b;
}

void SiftDown(NameTally* t, int32_t at) {
    for (;;) {
        const int32_t left = 2 * at + 1;
        if (left >= t->used) return;
        int32_t least = left;
        const int32_t right = left + 1;
        if (right < t->used && t->counts[t->heap[right]] < t->counts[t->heap[left]]) least = right;
        if (t->counts[t->heap[least]] >= t->counts[t->heap[at]]) return;
        SwapHeap(t, at, least);
        at = least;
    }
}

void SiftUp(NameTally* t, int32_t at) {
    while (at > 0) {
        const int32_t parent = (at - 1) / 2;
        if (t->counts[t->heap[parent]] <= t->counts[t->heap[at]]) return;
        SwapHeap(t, at, parent);
        at = parent;
    }
}

// The index has room for every entry allocated (made with them), so entering one never grows it.
void Chain(NameTally* t, int32_t entry, uint64_t hash) {
    int32_t* slot = HashInsert(&t->index, hash, t->index.capacity, t->index.capacity);
    if (slot != nullptr) *slot = entry;
}

// The entry holding name (already cut, with its hash); -1 when none.
int32_t FindEntry(const NameTally* t, const char16_t* cut, uint64_t hash) {
    const int32_t* slot =
        HashFind(&t->index, hash, [t, cut](int32_t e) { return TextEquals(t->names[e], cut); });
    return slot != nullptr ? *slot : -1;
}

void Unchain(NameTally* t, int32_t entry) {
    int32_t* slot = HashFind(&t->index, HashName(t->names[entry]),
                             [entry](int32_t e) { return e == entry; });
    if (slot != nullptr) HashErase(&t->index, slot);
}

// The least count in the tally: no name left out can have been counted more often.
uint32_t LeastCount(const NameTally* t) {
    return t->used > 0 ? t->counts[t->heap[0]] : 0;
}

} // namespace

namespace {

size_t TallyBytes(int32_t capacity) {
    const size_t entries = static_cast<size_t>(capacity);
    return entries * sizeof(char16_t) * kTallyNameChars +
           entries * (3 * sizeof(uint32_t) + 2 * sizeof(int32_t));
}

// Points the tally's parts into block: the names first, so every later part is 4-byte aligned.
void LayOutTally(NameTally* t, unsigned char* block, int32_t capacity) {
    const size_t entries = static_cast<size_t>(capacity);
    unsigned char* at = block;
    t->names = reinterpret_cast<char16_t(*)[kTallyNameChars]>(at);
    at += entries * sizeof(char16_t) * kTallyNameChars;
    auto take32 = [&at](size_t count) {
        unsigned char* part = at;
        at += count * 4;
        return part;
    };
    t->counts = reinterpret_cast<uint32_t*>(take32(entries));
    t->firstSeen = reinterpret_cast<uint32_t*>(take32(entries));
    t->exact = reinterpret_cast<uint32_t*>(take32(entries));
    t->heap = reinterpret_cast<int32_t*>(take32(entries));
    t->heapAt = reinterpret_cast<int32_t*>(take32(entries));
    t->block = block;
    t->capacity = capacity;
}

// A table for capacity entries with the entries in use moved over; false (the tally unchanged)
// when memory is refused.
bool ResizeTally(NameTally* t, int32_t capacity) {
    auto* block = static_cast<unsigned char*>(AllocZeroed(TallyBytes(capacity)));
    if (block == nullptr) return false;
    // The index keeps every entry's number: entries keep their numbers in the new block.
    if (!HashResize(&t->index, static_cast<uint32_t>(PowerOfTwoAtLeast(2 * capacity)))) {
        FreeBlock(block);
        return false;
    }
    NameTally old = *t;
    LayOutTally(t, block, capacity);
    const size_t used = static_cast<size_t>(old.used);
    if (used > 0) {
        std::memcpy(t->names, old.names, used * sizeof(old.names[0]));
        std::memcpy(t->counts, old.counts, used * sizeof(uint32_t));
        std::memcpy(t->firstSeen, old.firstSeen, used * sizeof(uint32_t));
        std::memcpy(t->heap, old.heap, used * sizeof(int32_t));
        std::memcpy(t->heapAt, old.heapAt, used * sizeof(int32_t));
    }
    FreeBlock(old.block);
    return true;
}

} // namespace

bool AllocNameTally(NameTally* tally, int32_t limit) {
    *tally = NameTally{};
    if (limit < 1 || limit > kTallyEntries) return false;
    tally->limit = limit;
    return ResizeTally(tally, limit < kTallyFirstEntries ? limit : kTallyFirstEntries);
}

void FreeNameTally(NameTally* tally) {
    FreeBlock(tally->block);
    HashFree(&tally->index);
    *tally = NameTally{};
}

void TallyName(NameTally* tally, const char16_t* name) {
    if (name == nullptr || name[0] == 0 || tally->block == nullptr) return;
    // Names are stored cut at 255 characters; a longer name equals its stored cut form only
    // when compared as stored, so compare the same cut.
    char16_t cut[kTallyNameChars];
    CopyBounded(cut, kTallyNameChars, name);
    const uint64_t hash = HashName(cut);
    const int32_t known = FindEntry(tally, cut, hash);
    if (known >= 0) {
        ++tally->counts[known];
        SiftDown(tally, tally->heapAt[known]);
        return;
    }
    // The table grows (up to its limit) before any name has to give way.
    if (tally->used == tally->capacity && tally->capacity < tally->limit) {
        const int32_t grown = tally->capacity <= tally->limit / 2 ? 2 * tally->capacity
                                                                  : tally->limit;
        ResizeTally(tally, grown); // refused: the tally counts on in the table it has
    }
    int32_t entry;
    if (tally->used < tally->capacity) {
        entry = tally->used++;
        tally->counts[entry] = 1;
        tally->heap[entry] = entry;
        tally->heapAt[entry] = entry;
        SiftUp(tally, entry);
    } else {
        // Every entry is taken: the new name replaces the least counted one and starts from its
        // count, which is at most what the new name could have had before it was stored.
        tally->overflow = 1;
        ++tally->replaced;
        entry = tally->heap[0];
        Unchain(tally, entry);
        ++tally->counts[entry];
        SiftDown(tally, 0);
    }
    CopyBounded(tally->names[entry], kTallyNameChars, cut);
    tally->firstSeen[entry] = tally->seen++;
    Chain(tally, entry, hash);
}

void RecountName(NameTally* tally, const char16_t* name) {
    if (name == nullptr || name[0] == 0 || tally->block == nullptr || tally->overflow == 0) return;
    char16_t cut[kTallyNameChars];
    CopyBounded(cut, kTallyNameChars, name);
    const int32_t entry = FindEntry(tally, cut, HashName(cut));
    if (entry >= 0) ++tally->exact[entry];
}

void FinishRecount(NameTally* tally) {
    if (tally->block == nullptr || tally->overflow == 0 || tally->recounted != 0) return;
    tally->missingAtMost = LeastCount(tally);
    for (int32_t e = 0; e < tally->used; ++e)
        tally->counts[e] = tally->exact[e];
    tally->recounted = 1;
}

void AppendSummaryLine(char16_t* text, size_t capacity, const char16_t* line) {
    AppendBounded(text, capacity, line);
    AppendBounded(text, capacity, u"\r\n");
}

void AppendTopTen(char16_t* text, size_t capacity, const char16_t* heading, NameTally* tally) {
    AppendBounded(text, capacity, heading);
    if (tally->overflow != 0) {
        char16_t note[200];
        if (tally->recounted != 0) {
            FormatText(note, 200,
                       u" (more than %d names: the counts are exact, but a name seen no more "
                       u"than %lu times may be missing)",
                       tally->capacity, tally->missingAtMost);
        } else {
            FormatText(note, 200,
                       u" (approximate: more than %d names; a count may be up to %lu too high)",
                       tally->capacity, LeastCount(tally));
        }
        AppendBounded(text, capacity, note);
    }
    AppendBounded(text, capacity, u"\r\n");
    int32_t taken[10];
    for (int line = 0; line < 10; ++line) {
        int32_t best = -1;
        for (int32_t i = 0; i < tally->used; ++i) {
            bool done = false;
            for (int k = 0; k < line && !done; ++k)
                done = taken[k] == i;
            if (done) continue;
            if (best < 0 || tally->counts[i] > tally->counts[best] ||
                (tally->counts[i] == tally->counts[best] &&
                 tally->firstSeen[i] < tally->firstSeen[best])) {
                best = i;
            }
        }
        if (best < 0) break;
        // A name from the recording stays on its line and shows its hidden characters.
        char16_t buf[32 + 200 * kRevealGrowth];
        FormatText(buf, sizeof(buf) / sizeof(buf[0]), u"  %5lu  ", tally->counts[best]);
        AppendRevealedOneLine(buf, sizeof(buf) / sizeof(buf[0]), tally->names[best], 200);
        AppendSummaryLine(text, capacity, buf);
        taken[line] = best;
    }
    AppendBounded(text, capacity, u"\r\n");
}

namespace {

const char16_t* EndpointOf(const char16_t* path) {
    ptrdiff_t at = FindText(path, u" -> ");
    return at < 0 ? path : path + at + 4;
}

enum {
    kFileTally,
    kKeyTally,
    kEndpointTally,
    kDnsTally,
    kChannelTally,
    kOpenTally,
    kDriverTally,
    kTallyCount
};

// Pipes, streams and whole disks are listed apart from the files touched: each is a channel or
// a hiding place rather than a document, and a handful of them says more than a count of opens.
bool IsChannelKind(RowKind kind) {
    return kind == RowKind::CreatedPipe || kind == RowKind::ConnectedToPipe ||
           kind == RowKind::WroteAlternateDataStream || kind == RowKind::OpenedDiskForRawAccess;
}

// The tally a row feeds and the name it gives; null for a row that feeds none.
// The tally of stored row i and the name it counts, copied from the row's path into `path`
// (kPathChars + 1: a full field and its terminator); null for a row no tally counts.
NameTally* TallyOf(NameTally* tallies, const Recording* app, int32_t i, char16_t* path,
                   const char16_t** name) {
    NameTally* tally = nullptr;
    bool endpoint = false;
    switch (StoredCategory(app, i)) {
    case kCategoryFile: {
        const RowKind kind = StoredKind(app, i);
        if (IsChannelKind(kind)) {
            // "Created pipe: \\.\pipe\NAME", cut to the room of a path.
            char16_t whole[kPathChars + 1];
            CopyStoredText(app, i, kTextPath, whole, kPathChars + 1);
            CopyBounded(path, kPathChars + 1, RowKindOperation(kind));
            AppendBounded(path, kPathChars + 1, u": ");
            AppendBounded(path, kPathChars + 1, whole);
            *name = path;
            return &tallies[kChannelTally];
        }
        tally = &tallies[kFileTally];
        break;
    }
    case kCategoryRegistry:
        tally = &tallies[kKeyTally];
        break;
    case kCategoryProcess: {
        const RowKind kind = StoredKind(app, i);
        if (kind == RowKind::LoadedDriver) {
            tally = &tallies[kDriverTally];
            break;
        }
        if (kind != RowKind::OpenedProcess) return nullptr;
        // "lsass.exe, Access: 0x1410": the process opened and the rights asked for, without
        // the names of the rights, which the mask already says.
        char16_t detail[kDetailChars + 1];
        CopyStoredText(app, i, kTextDetail, detail, kDetailChars + 1);
        CopyStoredText(app, i, kTextPath, path, kPathChars + 1);
        const ptrdiff_t access = FindText(detail, u"Access: ");
        if (access >= 0) {
            const ptrdiff_t names = FindText(detail, u" (", static_cast<size_t>(access));
            if (names >= 0) detail[names] = 0;
            AppendBounded(path, kPathChars + 1, u", ");
            AppendBounded(path, kPathChars + 1, detail + access);
        }
        *name = path;
        return &tallies[kOpenTally];
    }
    case kCategoryNetwork: {
        const RowKind kind = StoredKind(app, i);
        endpoint = kind != RowKind::DnsQuery && kind != RowKind::DnsAnswer;
        tally = endpoint ? &tallies[kEndpointTally] : &tallies[kDnsTally];
        break;
    }
    default:
        return nullptr;
    }
    CopyStoredText(app, i, kTextPath, path, kPathChars + 1);
    *name = endpoint ? EndpointOf(path) : path;
    return tally;
}

void AppendTime(char16_t* text, size_t capacity, const char16_t* format, const SystemTime& t) {
    char16_t stamp[64];
    FormatLongTime(t, stamp, 64);
    char16_t line[256];
    FormatText(line, 256, format, stamp);
    AppendSummaryLine(text, capacity, line);
}

void AppendSigmaSummary(Recording* app, char16_t* text, size_t capacity) {
    const SigmaRuleSet* set = LoadedSigmaRules(app);
    const int32_t rules = SigmaRuleCount(set);
    char16_t line[512];
    AppendSummaryLine(text, capacity, u"[Sigma rules matched]");
    FormatText(line, 512, u"  %d rules loaded from %.300s, %d files refused", rules,
               SigmaRuleFolder(set), SigmaRefusalCount(set));
    AppendSummaryLine(text, capacity, line);
    LockGuard guard(&app->rowsLock);
    // Most rows first; rules of equal count in their loaded order.
    int32_t listed = 0;
    int32_t last = INT32_MAX;
    for (;;) {
        int32_t most = 0;
        for (int32_t r = 0; r < rules; ++r) {
            const int32_t rows = SigmaRowsOfRule(app, r);
            if (rows > most && rows < last) most = rows;
        }
        if (most == 0) break;
        for (int32_t r = 0; r < rules; ++r) {
            if (SigmaRowsOfRule(app, r) != most) continue;
            const SigmaRuleInfo* rule = GetSigmaRule(set, r);
            if (rule == nullptr) continue;
            FormatText(line, 512, u"  %5d  %-13s %.200s", most, SigmaLevelText(rule->level),
                       rule->title);
            AppendSummaryLine(text, capacity, line);
            ++listed;
        }
        last = most;
    }
    if (listed == 0) AppendSummaryLine(text, capacity, u"  No row matched a loaded rule.");
    const uint32_t notKept = app->sigma->matchesNotKept;
    if (notKept != 0) {
        FormatText(line, 512, u"  %lu matches could not be kept (not enough memory).", notKept);
        AppendSummaryLine(text, capacity, line);
    }
    const uint32_t notStored = app->sigma->threatsNotStored;
    if (notStored != 0) {
        FormatText(line, 512, u"  %lu rows raised by a rule could not keep it (not enough memory).",
                   notStored);
        AppendSummaryLine(text, capacity, line);
    }
    const uint64_t bounded = SigmaMatchWorkLimitHits(set);
    if (bounded != 0) {
        FormatText(line, 512,
                   u"  %lu regular-expression tests hit the work bound and counted as no match.",
                   static_cast<uint32_t>(bounded > 0xFFFFFFFFu ? 0xFFFFFFFFu : bounded));
        AppendSummaryLine(text, capacity, line);
    }
}

// Each YARA rule that matched: its rows, severity, name and the first file it matched in.
void AppendYaraSummary(Recording* app, char16_t* text, size_t capacity) {
    char16_t line[1400];
    AppendSummaryLine(text, capacity, u"[YARA rules matched]");
    const YaraRuleSet* set = LoadedYaraRules(app);
    if (set != nullptr) {
        FormatText(line, 1400,
                   app->yara->folder[0] != 0 ? u"  %lu rules loaded from %.600s"
                                             : u"  %lu rules loaded",
                   set->rulesLoaded, app->yara->folder);
        AppendSummaryLine(text, capacity, line);
    }
    if (app->yara->scanning != 0) {
        FormatText(line, 1400, u"  %lu files scanned (files up to %lu MB are scanned)",
                   static_cast<uint32_t>(YaraRowCounts(app).scanned),
                   static_cast<uint32_t>(app->yara->sizeLimit >> 20));
        AppendSummaryLine(text, capacity, line);
    }
    LockGuard guard(&app->rowsLock);
    int32_t count = 0;
    const YaraRowRule* rules = YaraMatchedRules(app, &count);
    for (int32_t r = 0; r < count; ++r) {
        const YaraRowRule& rule = rules[r];
        FormatText(line, 1400, u"  %5d  %-9s ", rule.rows, YaraSeverityText(rule.severity));
        size_t n = TextLength(line);
        for (const char* c = rule.name; *c != 0 && n + 1 < 200; ++c)
            line[n++] = static_cast<char16_t>(static_cast<unsigned char>(*c) & 0x7F);
        line[n] = 0;
        char16_t path[kPathChars + 1];
        if (!RowImagePath(app, rule.firstRow, path, kPathChars)) {
            CopyStoredText(app, rule.firstRow, kTextPath, path, kPathChars + 1);
        }
        AppendBounded(line, 1400, u"  first: ");
        AppendBounded(line, 1400, path);
        AppendSummaryLine(text, capacity, line);
    }
    if (count == 0) AppendSummaryLine(text, capacity, u"  No file matched a loaded rule.");
}

// The line that ends a list cut at its most lines: how many were left out. Nothing when none was.
void AppendMoreLine(int32_t more, char16_t* text, size_t capacity) {
    if (more <= 0) return;
    char16_t line[96];
    FormatText(line, 96, u"  ... and %ld more", static_cast<long>(more));
    AppendSummaryLine(text, capacity, line);
}

} // namespace

// The script blocks the recording shows, one line each: the detail up to the block's id (its
// first line, its size, its file), at most kScriptLines of them. Nothing when there is none.
constexpr int32_t kScriptLines = 50;

void AppendScriptsRun(Recording* app, int32_t total, char16_t* text, size_t capacity) {
    int32_t shown = 0;
    int32_t blocks = 0;
    char16_t detail[kDetailChars + 1];
    for (int32_t i = 0; i < total; ++i) {
        if (StoredKind(app, i) != RowKind::RanScriptBlock) continue;
        if (blocks++ == 0) AppendSummaryLine(text, capacity, u"[Scripts run]");
        if (shown == kScriptLines) continue;
        CopyStoredText(app, i, kTextDetail, detail, kDetailChars + 1);
        const ptrdiff_t id = FindText(detail, kScriptBlockMarker);
        if (id >= 0) detail[id] = 0;
        char16_t buf[8 + kDetailChars * kRevealGrowth];
        CopyBounded(buf, sizeof(buf) / sizeof(buf[0]), u"  ");
        AppendRevealedOneLine(buf, sizeof(buf) / sizeof(buf[0]), detail, kDetailChars);
        AppendSummaryLine(text, capacity, buf);
        ++shown;
    }
    AppendMoreLine(blocks - shown, text, capacity);
}

// Threads started in another process, one line each: the creator, the process the thread runs
// in, and where it starts (the address and its module), at most kThreadLines of them.
constexpr int32_t kThreadLines = 50;

void AppendThreadsStarted(Recording* app, int32_t total, char16_t* text, size_t capacity) {
    int32_t shown = 0;
    int32_t threads = 0;
    char16_t process[kProcessChars + 1];
    char16_t target[kPathChars + 1];
    char16_t detail[kDetailChars + 1];
    constexpr size_t kLineChars = 64 + kProcessChars + kPathChars + kDetailChars;
    for (int32_t i = 0; i < total; ++i) {
        if (StoredKind(app, i) != RowKind::CreatedThreadInAnotherProcess) continue;
        if (threads++ == 0) {
            AppendSummaryLine(text, capacity, u"[Threads started in other processes]");
        }
        if (shown == kThreadLines) continue;
        CopyStoredText(app, i, kTextProcess, process, kProcessChars + 1);
        CopyStoredText(app, i, kTextPath, target, kPathChars + 1);
        CopyStoredText(app, i, kTextDetail, detail, kDetailChars + 1);
        const ptrdiff_t at = FindText(detail, kThreadStartMarker);
        char16_t line[kLineChars];
        FormatText(line, kLineChars, u"  %s (%lu) \u2192 ", process, StoredPid(app, i));
        AppendBounded(line, kLineChars, target[0] != 0 ? target : u"?");
        if (at >= 0) {
            AppendBounded(line, kLineChars, u" at ");
            AppendBounded(line, kLineChars, detail + at + TextLength(kThreadStartMarker));
        }
        char16_t buf[8 + kLineChars * kRevealGrowth];
        buf[0] = 0;
        AppendRevealedOneLine(buf, sizeof(buf) / sizeof(buf[0]), line, kLineChars);
        AppendSummaryLine(text, capacity, buf);
        ++shown;
    }
    AppendMoreLine(threads - shown, text, capacity);
}

char16_t* BuildSummaryText(Recording* app) {
    int32_t waiting = 0;
    bool tookTime = false;
    SystemTime now{};
    if (app->recording != 0) {
        waiting = DrainEventQueue(app);
        now = LocalNow();
        tookTime = true;
        GatherCompletenessCounters(app);
    }

    NameTally tallies[kTallyCount] = {};
    for (NameTally& t : tallies) {
        if (!AllocNameTally(&t)) {
            for (NameTally& f : tallies)
                FreeNameTally(&f);
            return nullptr;
        }
    }
    NameTally& files = tallies[kFileTally];
    NameTally& keys = tallies[kKeyTally];
    NameTally& endpoints = tallies[kEndpointTally];
    NameTally& names = tallies[kDnsTally];

    int32_t total = 0;
    int32_t byCategory[5] = {};
    int32_t bySeverity[4] = {};
    SystemTime first{};
    SystemTime last{};
    {
        LockGuard guard(&app->rowsLock);
        total = app->rowCount;
        if (total > 0) {
            first = StoredTime(app, 0);
            last = StoredTime(app, total - 1);
        }
        char16_t path[kPathChars + 1];
        for (int32_t i = 0; i < total; ++i) {
            const uint32_t category = StoredCategory(app, i);
            const uint32_t severity = StoredSeverity(app, i);
            if (category <= 4) ++byCategory[category];
            if (severity <= 3) ++bySeverity[severity];
            const char16_t* name = nullptr;
            NameTally* tally = TallyOf(tallies, app, i, path, &name);
            if (tally != nullptr) TallyName(tally, name);
        }
        // A tally that had to let names go counts the names it kept once more, exactly.
        bool recount = false;
        for (NameTally& t : tallies)
            recount = recount || t.overflow != 0;
        for (int32_t i = 0; recount && i < total; ++i) {
            const char16_t* name = nullptr;
            NameTally* tally = TallyOf(tallies, app, i, path, &name);
            if (tally != nullptr) RecountName(tally, name);
        }
        for (NameTally& t : tallies)
            FinishRecount(&t);
    }

    const size_t capacity = kSummaryChars;
    auto* text = static_cast<char16_t*>(AllocZeroed(sizeof(char16_t) * capacity));
    if (text == nullptr) {
        for (NameTally& t : tallies)
            FreeNameTally(&t);
        return nullptr;
    }
    char16_t line[512];
    FormatText(line, 512, u"=== Summary ===  Total events: %d", total);
    AppendSummaryLine(text, capacity, line);
    if (total > 0) {
        char16_t a[64];
        char16_t b[64];
        FormatLongTime(first, a, 64);
        FormatLongTime(last, b, 64);
        FormatText(line, 512, u"Covering  %s  to  %s", a, b);
        AppendSummaryLine(text, capacity, line);
    }
    if (app->recording != 0 && tookTime) {
        AppendTime(text, capacity,
                   u"The recording is still going: this is what had been taken in at %s.", now);
    }
    if (app->recording != 0 && waiting > 0) {
        FormatText(line, 512,
                   u"%ld more recorded events could not be taken in and are not counted above.",
                   waiting);
        AppendSummaryLine(text, capacity, line);
    }
    AppendSummaryLine(text, capacity, u"");
    FormatText(line, 512, u"[By category]  File: %d   Registry: %d   Network: %d   Process: %d",
               byCategory[0], byCategory[1], byCategory[2], byCategory[3]);
    AppendSummaryLine(text, capacity, line);
    FormatText(line, 512, u"[By severity]  High: %d   Medium: %d   Low: %d", bySeverity[3],
               bySeverity[2], bySeverity[1]);
    AppendSummaryLine(text, capacity, line);
    AppendSummaryLine(text, capacity, u"");
    if (SigmaRulesLoaded(app)) {
        AppendSigmaSummary(app, text, capacity);
        AppendSummaryLine(text, capacity, u"");
    }
    int32_t yaraMatched = 0;
    YaraMatchedRules(app, &yaraMatched);
    if (YaraRulesLoaded(app) || yaraMatched > 0) {
        AppendYaraSummary(app, text, capacity);
        AppendSummaryLine(text, capacity, u"");
    }

    char16_t header[4096];
    BuildHeaderLines(&app->recordingInfo, app->recordingInfoValid != 0, header, 4096, u"");
    // Header lines and notes quote texts of the recording (the program's path); their control
    // characters are blanks already, their hidden characters are shown here.
    AppendRevealed(text, capacity, header);
    AppendSummaryLine(text, capacity, u"");
    char16_t* notes = static_cast<char16_t*>(AllocZeroed(sizeof(char16_t) * 8192));
    if (notes != nullptr) {
        if (BuildCompletenessNotes(app, notes, 8192, u"  ") > 0) {
            AppendSummaryLine(text, capacity, u"[This record is incomplete]");
            AppendRevealed(text, capacity, notes);
        } else {
            AppendSummaryLine(text, capacity, u"[Nothing is known to be missing from this record]");
        }
        FreeBlock(notes);
    }
    AppendSummaryLine(text, capacity, u"");

    AppendTopTen(text, capacity, u"[Most touched files]", &files);
    if (tallies[kChannelTally].used > 0) {
        AppendTopTen(text, capacity, u"[Pipes, alternate data streams and disks opened whole]",
                     &tallies[kChannelTally]);
    }
    if (tallies[kOpenTally].used > 0) {
        AppendTopTen(text, capacity, u"[Processes and threads opened]", &tallies[kOpenTally]);
    }
    if (tallies[kDriverTally].used > 0) {
        AppendTopTen(text, capacity,
                     u"[Drivers loaded (by the system: not known to come from the program)]",
                     &tallies[kDriverTally]);
    }
    AppendTopTen(text, capacity, u"[Most touched registry keys]", &keys);
    AppendTopTen(text, capacity, u"[Most contacted endpoints]", &endpoints);
    AppendTopTen(text, capacity, u"[Most looked-up DNS names]", &names);
    {
        LockGuard guard(&app->rowsLock);
        const int32_t kept = app->rowCount < total ? app->rowCount : total;
        AppendScriptsRun(app, kept, text, capacity);
        AppendThreadsStarted(app, kept, text, capacity);
    }
    for (NameTally& t : tallies)
        FreeNameTally(&t);
    return text;
}

} // namespace olv
