#include "views/yara_rows.h"

#include <cstring>

#include "base/format.h"
#include "base/note_text.h"
#include "base/text.h"
#include "platform/memory.h"
#include "platform/thread.h"
#include "record/compact_row.h"
#include "record/recording.h"
#include "record/stored_rows.h"
#include "views/row_facts_flow.h"
#include "views/sigma_rows.h"

namespace olv {

namespace {

// A written file waits for its close in the one hash table, its slots made once so that taking a
// row in never allocates: twice kYaraWrittenSlots, of which at most kWrittenMost are used (a
// table never more than half full never grows).
constexpr uint32_t kWrittenTableSlots = 2 * kYaraWrittenSlots;
constexpr uint32_t kWrittenMost = kYaraWrittenSlots / 4 * 3;
static_assert(kWrittenMost * 2 < kWrittenTableSlots);

uint32_t* FindWritten(YaraState* s, uint32_t id) {
    return HashFind(&s->written, HashNumber(id), [id](uint32_t held) { return held == id; });
}

// A file a process creates or writes is scanned once a row closes it.
bool WritesFile(RowKind kind) {
    return kind == RowKind::WroteFile || kind == RowKind::CreatedNewFile;
}
bool ClosesFile(RowKind kind) {
    return kind == RowKind::ClosedFile || kind == RowKind::ReleasedFileHandle;
}

// A UTF-8 name, cut to fit capacity with its terminator.
void CopyName(char* to, size_t capacity, const char* from) {
    size_t n = 0;
    while (n + 1 < capacity && from[n] != 0) {
        to[n] = from[n];
        ++n;
    }
    to[n] = 0;
}

template <typename T> bool Grow(T** items, int32_t* capacity, int32_t needed) {
    if (needed <= *capacity) return true;
    const int32_t next = *capacity == 0 ? 16 : *capacity * 2;
    auto* grown = static_cast<T*>(AllocZeroed(static_cast<size_t>(next) * sizeof(T)));
    if (grown == nullptr) return false;
    if (*capacity > 0) std::memcpy(grown, *items, static_cast<size_t>(*capacity) * sizeof(T));
    FreeBlock(*items);
    *items = grown;
    *capacity = next;
    return true;
}

void ReleaseScanner(YaraState* s) {
    ReleaseYaraScanner(s->scanner);
    s->scanner = nullptr;
    for (uint32_t i = 0; i < s->retiredCount; ++i) {
        FreeYaraRuleSet(s->retired[i]);
        FreeBlock(s->retired[i]);
    }
    s->retiredCount = 0;
}

void FreeSet(YaraRuleSet* set) {
    if (set == nullptr) return;
    FreeYaraRuleSet(set);
    FreeBlock(set);
}

// The rule (name and file) in the matched table, added when new; -1 when memory is refused.
int32_t RuleIndex(YaraState* s, const char* name, const char* file, YaraSeverity severity,
                  int32_t row) {
    for (int32_t i = 0; i < s->matchedCount; ++i) {
        if (std::strcmp(s->matched[i].name, name) == 0 && std::strcmp(s->matched[i].file, file) == 0)
            return i;
    }
    if (!Grow(&s->matched, &s->matchedCapacity, s->matchedCount + 1)) return -1;
    YaraRowRule& r = s->matched[s->matchedCount];
    r = YaraRowRule{};
    CopyName(r.name, kYaraRuleNameChars, name);
    CopyName(r.file, kYaraFileChars, file);
    r.severity = severity;
    r.firstRow = row;
    return s->matchedCount++;
}

// Raises the row to the rule's severity (never lowers it) and names the rule in its threat text.
void RaiseRow(Recording* app, YaraState* s, int32_t row, const YaraRowRule& rule,
              int32_t* roseFromNone) {
    const uint32_t severity = RowSeverityOfYara(rule.severity);
    const uint32_t before = StoredSeverity(app, row);
    char16_t title[kThreatChars];
    size_t n = CopyBounded(title, kThreatChars, u"YARA rule ");
    for (const char* c = rule.name; *c != 0 && n + 1 < kThreatChars; ++c)
        title[n++] = static_cast<char16_t>(static_cast<unsigned char>(*c));
    title[n] = 0;
    char16_t threat[kThreatChars];
    CopyStoredText(app, row, kTextThreat, threat, kThreatChars);
    // Already named there (a second match of one rule, or raised again): nothing to add.
    for (size_t i = 0; threat[i] != 0; ++i) {
        size_t k = 0;
        while (title[k] != 0 && threat[i + k] == title[k])
            ++k;
        if (title[k] == 0 && (threat[i + k] == 0 || threat[i + k] == u';') && severity <= before)
            return;
    }
    ComposeSigmaThreat(title, severity, before, threat, kThreatChars);
    if (!SetStoredThreat(app, row, severity > before ? severity : before, threat)) {
        ++s->threatsNotStored;
        return;
    }
    if (before == 0 && roseFromNone != nullptr) ++*roseFromNone;
}

bool KeepMatch(Recording* app, YaraState* s, int32_t row, const char* name, const char* file,
               YaraSeverity severity, int32_t* roseFromNone) {
    const int32_t rule = RuleIndex(s, name, file, severity, row);
    if (rule < 0 || !Grow(&s->matches, &s->matchCapacity, s->matchCount + 1)) {
        ++s->matchesNotKept;
        YaraRowRule loose{};
        CopyName(loose.name, kYaraRuleNameChars, name);
        loose.severity = severity;
        RaiseRow(app, s, row, loose, roseFromNone);
        return false;
    }
    for (int32_t i = 0; i < s->matchCount; ++i) {
        if (s->matches[i].row == row && s->matches[i].rule == rule) return true; // scanned again
    }
    s->matches[s->matchCount++] = YaraRowMatch{row, rule};
    ++s->matched[rule].rows;
    RaiseRow(app, s, row, s->matched[rule], roseFromNone);
    return true;
}

struct PollCall {
    Recording* app;
    YaraState* state;
    int32_t roseFromNone;
};

void TakeScan(void* context, const YaraScanAnswer& answer) {
    auto* call = static_cast<PollCall*>(context);
    YaraState* s = call->state;
    const auto row = static_cast<int32_t>(answer.ticket);
    const YaraScanResult& r = *answer.result;
    if (r.status == YaraScanStatus::CannotOpen && s->goneNamed < kYaraGoneNamed) {
        CopyBounded(s->gone[s->goneNamed++], kYaraGoneNameChars, answer.path);
    }
    if (r.status != YaraScanStatus::Scanned || row < 0 || row >= call->app->rowCount) return;
    for (uint32_t i = 0; i < r.matchCount && i < kYaraMaxMatchesKept; ++i) {
        KeepMatch(call->app, s, row, r.matches[i].rule, r.matches[i].file, r.matches[i].severity,
                  &call->roseFromNone);
    }
    // Matches past those kept raise the row all the same, by the highest severity of all.
    if (r.matchCount > kYaraMaxMatchesKept) {
        s->matchesNotKept += r.matchCount - kYaraMaxMatchesKept;
        YaraRowRule highest{};
        CopyName(highest.name, kYaraRuleNameChars, r.matches[0].rule);
        highest.severity = r.highest;
        RaiseRow(call->app, s, row, highest, &call->roseFromNone);
    }
}

} // namespace

uint32_t RowSeverityOfYara(YaraSeverity severity) {
    switch (severity) {
    case YaraSeverity::Low: return 1;
    case YaraSeverity::Medium: return 2;
    case YaraSeverity::High:
    case YaraSeverity::Critical: return 3;
    }
    return 2;
}

YaraState* MakeYaraState(Recording* app) {
    if (app->yara != nullptr) return app->yara;
    auto* s = AllocRecord<YaraState>();
    if (s == nullptr) return nullptr;
    if (!HashResize(&s->written, kWrittenTableSlots)) {
        FreeBlock(s);
        return nullptr;
    }
    s->sizeLimit = kDefaultYaraScanSizeLimit;
    app->yara = s;
    return s;
}

bool YaraRulesLoaded(const Recording* app) {
    return app->yara != nullptr && app->yara->rules != nullptr;
}

const YaraRuleSet* LoadedYaraRules(const Recording* app) {
    return app->yara != nullptr ? app->yara->rules : nullptr;
}

bool InstallYaraRules(Recording* app, YaraRuleSet* set) {
    YaraState* s = MakeYaraState(app);
    if (s == nullptr) {
        FreeSet(set);
        return false;
    }
    if (s->rules != nullptr && s->scanner != nullptr) {
        // A scan under way may use it: kept until the scanner is released.
        int32_t capacity = static_cast<int32_t>(s->retiredCapacity);
        if (!Grow(&s->retired, &capacity, static_cast<int32_t>(s->retiredCount) + 1)) {
            FreeSet(set);
            return false;
        }
        s->retiredCapacity = static_cast<uint32_t>(capacity);
        s->retired[s->retiredCount++] = s->rules;
    } else {
        FreeSet(s->rules);
    }
    s->rules = set;
    return true;
}

void StartYaraRows(Recording* app, const YaraScannerConfig* config) {
    YaraState* s = MakeYaraState(app);
    if (s == nullptr) return;
    ForgetYaraRows(app);
    if (config != nullptr && config->sizeLimit != 0) s->sizeLimit = config->sizeLimit;
    else s->sizeLimit = kDefaultYaraScanSizeLimit;
    YaraScannerConfig c{};
    if (config != nullptr) c = *config;
    c.sizeLimit = s->sizeLimit;
    // Made now only when rules are loaded; a set loaded during the recording makes it then.
    s->scanning = 1;
    if (s->rules != nullptr) s->scanner = StartYaraScanner(&c);
}

uint32_t RequestRowYaraScan(Recording* app, int32_t index) {
    YaraState* s = app->yara;
    if (s == nullptr || s->scanning == 0 || s->stopped != 0 || s->rules == nullptr ||
        index < 0 || index >= app->rowCount) {
        return 0;
    }
    const RowKind kind = StoredKind(app, index);
    const CompactRow& row = StoredRecord(app, index);
    char16_t path[kPathChars];
    if (WritesFile(kind) || ClosesFile(kind)) {
        if (row.path == 0) return 0;
        uint32_t* held = FindWritten(s, row.path);
        if (WritesFile(kind)) {
            if (held != nullptr) return 0;
            uint32_t* slot = s->written.count < kWrittenMost
                                 ? HashInsert(&s->written, HashNumber(row.path), kWrittenTableSlots,
                                              kWrittenTableSlots)
                                 : nullptr;
            if (slot == nullptr) {
                ++s->writtenNotTracked;
                return 0;
            }
            *slot = row.path;
            return 0;
        }
        if (held == nullptr) return 0;
        HashErase(&s->written, held);
        const TextView text = TextOfId(StoredTexts(app), row.path);
        if (text.length == 0 || text.length >= kPathChars) return 0;
        CopyTextUnits(text, path);
        path[text.length] = 0;
    } else if (!RowImagePath(app, index, path, kPathChars)) {
        return 0;
    }
    if (s->scanner == nullptr) {
        YaraScannerConfig c{};
        c.sizeLimit = s->sizeLimit;
        s->scanner = StartYaraScanner(&c);
    }
    return RequestYaraScan(s->scanner, static_cast<uint64_t>(index), s->rules, path) ? 1 : 0;
}

int32_t PollYaraRows(Recording* app) {
    YaraState* s = app->yara;
    if (s == nullptr || s->scanner == nullptr || s->stopped != 0) return 0;
    PollCall call{app, s, 0};
    PollYaraScans(s->scanner, TakeScan, &call, ~0u);
    return call.roseFromNone;
}

int32_t StopYaraRows(Recording* app, uint32_t waitMs) {
    YaraState* s = app->yara;
    if (s == nullptr || s->scanning == 0 || s->stopped != 0) return 0;
    int32_t rose = 0;
    // The files closed just before the stop are still scanned, within the wait.
    for (uint32_t waited = 0; s->scanner != nullptr && waited < waitMs; waited += 5) {
        rose += PollYaraRows(app);
        if (PendingYaraScans(s->scanner) == 0) break;
        SleepMilliseconds(5);
    }
    rose += PollYaraRows(app);
    if (s->scanner != nullptr) {
        StopYaraScanner(s->scanner, waitMs);
        ReadYaraScanCounts(s->scanner, &s->counts);
    }
    s->writtenOpenAtStop = s->written.count;
    s->stopped = 1;
    return rose;
}

void ForgetYaraRows(Recording* app) {
    YaraState* s = app->yara;
    if (s == nullptr) return;
    ReleaseScanner(s);
    s->scanning = 0;
    s->stopped = 0;
    HashClear(&s->written);
    s->writtenNotTracked = 0;
    s->writtenOpenAtStop = 0;
    s->matchedCount = 0;
    s->matchCount = 0;
    s->matchesNotKept = 0;
    s->threatsNotStored = 0;
    s->counts = YaraScanCounts{};
    s->goneNamed = 0;
}

void ReapplyYaraRaises(Recording* app) {
    YaraState* s = app->yara;
    if (s == nullptr) return;
    for (int32_t i = 0; i < s->matchCount; ++i) {
        const YaraRowMatch& m = s->matches[i];
        if (m.row < app->rowCount) RaiseRow(app, s, m.row, s->matched[m.rule], nullptr);
    }
}

int32_t YaraRulesOfRow(const Recording* app, int32_t row, const YaraRowRule** rules,
                       int32_t capacity) {
    const YaraState* s = app->yara;
    if (s == nullptr) return 0;
    int32_t n = 0;
    for (int32_t i = 0; i < s->matchCount; ++i) {
        if (s->matches[i].row != row) continue;
        if (n < capacity && rules != nullptr) rules[n] = &s->matched[s->matches[i].rule];
        ++n;
    }
    return n;
}

const char16_t* YaraSeverityText(YaraSeverity severity) {
    switch (severity) {
    case YaraSeverity::Low: return u"low";
    case YaraSeverity::Medium: return u"medium";
    case YaraSeverity::High: return u"high";
    case YaraSeverity::Critical: return u"critical";
    }
    return u"medium";
}

void AppendAscii(char16_t* out, size_t capacity, const char* text) {
    size_t n = TextLength(out);
    for (; *text != 0 && n + 1 < capacity; ++text) {
        const auto c = static_cast<unsigned char>(*text);
        out[n++] = c < 0x20 ? u' ' : c < 0x80 ? static_cast<char16_t>(c) : u'\uFFFD';
    }
    if (n < capacity) out[n] = 0;
}

int32_t AppendYaraRulesOfRow(const Recording* app, int32_t row, const char16_t* prefix,
                             char16_t* out, size_t capacity) {
    constexpr int32_t kListed = 32;
    const YaraRowRule* rules[kListed];
    const int32_t count = YaraRulesOfRow(app, row, rules, kListed);
    for (int32_t k = 0; k < count && k < kListed; ++k) {
        AppendBounded(out, capacity, prefix);
        AppendFormat(out, capacity, u"YARA rule (%s): ", YaraSeverityText(rules[k]->severity));
        AppendAscii(out, capacity, rules[k]->name);
        if (rules[k]->file[0] != 0) {
            AppendBounded(out, capacity, u"  file: ");
            AppendAscii(out, capacity, rules[k]->file);
        }
        AppendBounded(out, capacity, u"\r\n");
    }
    return count;
}

const YaraRowRule* YaraMatchedRules(const Recording* app, int32_t* count) {
    const YaraState* s = app->yara;
    *count = s != nullptr ? s->matchedCount : 0;
    return s != nullptr ? s->matched : nullptr;
}

YaraScanCounts YaraRowCounts(const Recording* app) {
    YaraScanCounts counts{};
    const YaraState* s = app->yara;
    if (s == nullptr) return counts;
    if (s->stopped != 0) return s->counts;
    ReadYaraScanCounts(s->scanner, &counts);
    return counts;
}

void KeepYaraCounts(const Recording* app, KeptCounts* counts) {
    const YaraState* s = app->yara;
    if (s == nullptr || s->scanning == 0) return;
    const YaraScanCounts c = YaraRowCounts(app);
    uint64_t* v = counts->value;
    v[kKeptYaraGone] = c.gone;
    v[kKeptYaraTooLarge] = c.tooLarge;
    v[kKeptYaraFailed] = c.failed;
    v[kKeptYaraRefused] = c.refusedFull + c.refusedLong;
    v[kKeptYaraDroppedAtStop] = c.droppedAtStop;
    v[kKeptYaraWrittenOpenAtStop] = s->writtenOpenAtStop;
    v[kKeptYaraWrittenNotTracked] = s->writtenNotTracked;
    v[kKeptYaraMatchesNotKept] = s->matchesNotKept;
    v[kKeptYaraSizeLimit] = s->sizeLimit;
    counts->known |= kKeptYara;
}

void AppendYaraNotes(const Recording* app, const char16_t* prefix, char16_t* out, size_t capacity,
                     int32_t* lines) {
    // This recording's scans, or the counts a session kept (without the files' names).
    KeptCounts kept = app->keptCounts;
    KeepYaraCounts(app, &kept);
    if ((kept.known & kKeptYara) == 0) return;
    const YaraState* s = app->yara != nullptr && app->yara->scanning != 0 ? app->yara : nullptr;
    const uint64_t* v = kept.value;
    const auto megabytes = static_cast<uint32_t>(v[kKeptYaraSizeLimit] >> 20);
    char16_t line[1400];
    if (v[kKeptYaraGone] > 0) {
        FormatText(line, 200, u"%lu files deleted or locked before their YARA scan",
                   static_cast<uint32_t>(v[kKeptYaraGone]));
        const uint32_t named = s != nullptr ? s->goneNamed : 0;
        for (uint32_t i = 0; i < named; ++i) {
            AppendBounded(line, 1400, i == 0 ? u": " : u", ");
            AppendBounded(line, 1400, s->gone[i]);
        }
        if (s != nullptr && v[kKeptYaraGone] > named) AppendBounded(line, 1400, u", ...");
        AppendNoteLine(out, capacity, prefix, line, lines);
    }
    const struct {
        uint64_t count;
        const char16_t* text;
    } losses[] = {
        {v[kKeptYaraTooLarge], u"%lu files over %lu MB not scanned by the YARA rules"},
        {v[kKeptYaraFailed], u"%lu YARA scans failed: timed out, unreadable or no memory"},
        {v[kKeptYaraRefused], u"%lu YARA scans refused: queue full or path too long"},
        {v[kKeptYaraDroppedAtStop], u"%lu YARA scans dropped when the recording stopped"},
        {v[kKeptYaraWrittenOpenAtStop], u"%lu written files still open at the stop: not scanned"},
        {v[kKeptYaraWrittenNotTracked], u"%lu written files not scanned: too many open at once"},
        {v[kKeptYaraMatchesNotKept], u"%lu YARA matches not kept: no memory"},
    };
    for (const auto& loss : losses) {
        if (loss.count == 0) continue;
        FormatText(line, 200, loss.text, static_cast<uint32_t>(loss.count), megabytes);
        AppendNoteLine(out, capacity, prefix, line, lines);
    }
}

bool AddYaraRowMatch(Recording* app, int32_t row, const char* rule, const char* file,
                     YaraSeverity severity) {
    YaraState* s = MakeYaraState(app);
    if (s == nullptr || row < 0 || row >= app->rowCount) return false;
    return KeepMatch(app, s, row, rule, file != nullptr ? file : "", severity, nullptr);
}

void FreeYaraState(Recording* app) {
    YaraState* s = app->yara;
    if (s == nullptr) return;
    ReleaseScanner(s);
    FreeSet(s->rules);
    FreeBlock(s->retired);
    HashFree(&s->written);
    FreeBlock(s->matched);
    FreeBlock(s->matches);
    FreeBlock(s);
    app->yara = nullptr;
}

} // namespace olv
