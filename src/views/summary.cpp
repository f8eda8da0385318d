#include "views/summary.h"

#include "platform/ui.h"
#include "record/app_state.h"

#include "base/format.h"
#include "base/note_text.h"
#include "base/text.h"
#include "platform/memory.h"
#include "platform/lock.h"
#include "platform/time.h"
#include "platform/ui.h"
#include "report/completeness.h"
#include "views/row_store.h"
#include "views/sigma_rows.h"

namespace olv {

bool AllocNameTally(NameTally* tally) {
    tally->names = static_cast<char16_t(*)[kTallyNameChars]>(
        AllocZeroed(sizeof(char16_t) * kTallyNameChars * kTallyEntries));
    tally->counts = static_cast<uint32_t*>(AllocZeroed(sizeof(uint32_t) * kTallyEntries));
    tally->used = 0;
    tally->overflow = 0;
    if (tally->names == nullptr || tally->counts == nullptr) {
        FreeNameTally(tally);
        return false;
    }
    return true;
}

void FreeNameTally(NameTally* tally) {
    FreeBlock(tally->names);
    FreeBlock(tally->counts);
    tally->names = nullptr;
    tally->counts = nullptr;
    tally->used = 0;
}

void TallyName(NameTally* tally, const char16_t* name) {
    if (name == nullptr || name[0] == 0 || tally->names == nullptr) return;
    // Names are stored cut at 255 characters; a longer name equals its stored cut form only
    // when compared as stored, so compare the same cut.
    char16_t cut[kTallyNameChars];
    CopyBounded(cut, kTallyNameChars, name);
    for (int32_t i = 0; i < tally->used; ++i) {
        if (TextEquals(tally->names[i], cut)) {
            ++tally->counts[i];
            return;
        }
    }
    if (tally->used >= kTallyEntries) {
        tally->overflow = 1;
        return;
    }
    CopyBounded(tally->names[tally->used], kTallyNameChars, cut);
    tally->counts[tally->used] = 1;
    ++tally->used;
}

void AppendSummaryLine(char16_t* text, size_t capacity, const char16_t* line) {
    AppendBounded(text, capacity, line);
    AppendBounded(text, capacity, u"\r\n");
}

void AppendTopTen(char16_t* text, size_t capacity, const char16_t* heading, NameTally* tally) {
    AppendBounded(text, capacity, heading);
    if (tally->overflow != 0) AppendBounded(text, capacity, u" (most frequent only)");
    AppendBounded(text, capacity, u"\r\n");
    bool taken[kTallyEntries] = {};
    for (int line = 0; line < 10; ++line) {
        int best = -1;
        for (int32_t i = 0; i < tally->used; ++i) {
            if (taken[i]) continue;
            if (best < 0 || tally->counts[i] > tally->counts[best]) best = i;
        }
        if (best < 0) break;
        char16_t buf[kTallyNameChars + 32];
        FormatText(buf, sizeof(buf) / sizeof(buf[0]), u"  %5lu  %.200s", tally->counts[best],
                   tally->names[best]);
        AppendSummaryLine(text, capacity, buf);
        taken[best] = true;
    }
    AppendBounded(text, capacity, u"\r\n");
}

namespace {

const char16_t* EndpointOf(const char16_t* path) {
    ptrdiff_t at = FindText(path, u" -> ");
    return at < 0 ? path : path + at + 4;
}

void AppendTime(char16_t* text, size_t capacity, const char16_t* format, const SystemTime& t) {
    char16_t stamp[64];
    FormatLongTime(t, stamp, 64);
    char16_t line[256];
    FormatText(line, 256, format, stamp);
    AppendSummaryLine(text, capacity, line);
}

void AppendSigmaSummary(AppState* app, char16_t* text, size_t capacity) {
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
    const uint64_t bounded = SigmaMatchWorkLimitHits(set);
    if (bounded != 0) {
        FormatText(line, 512,
                   u"  %lu regular-expression tests hit the work bound and counted as no match.",
                   static_cast<uint32_t>(bounded > 0xFFFFFFFFu ? 0xFFFFFFFFu : bounded));
        AppendSummaryLine(text, capacity, line);
    }
}

} // namespace

char16_t* BuildSummaryText(AppState* app) {
    int32_t waiting = 0;
    bool tookTime = false;
    SystemTime now{};
    if (app->recording != 0) {
        waiting = DrainEventQueue(app);
        now = LocalNow();
        tookTime = true;
        GatherCompletenessCounters(app);
    }

    NameTally tallies[4] = {};
    for (NameTally& t : tallies) {
        if (!AllocNameTally(&t)) {
            for (NameTally& f : tallies)
                FreeNameTally(&f);
            return nullptr;
        }
    }
    NameTally& files = tallies[0];
    NameTally& keys = tallies[1];
    NameTally& endpoints = tallies[2];
    NameTally& names = tallies[3];

    int32_t total = 0;
    int32_t byCategory[5] = {};
    int32_t bySeverity[4] = {};
    SystemTime first{};
    SystemTime last{};
    {
        LockGuard guard(&app->rowsLock);
        total = app->rowCount;
        if (total > 0) {
            first = app->rows[0].time;
            last = app->rows[total - 1].time;
        }
        for (int32_t i = 0; i < total; ++i) {
            const EventRow& row = app->rows[i];
            if (row.category <= 4) ++byCategory[row.category];
            if (row.severity <= 3) ++bySeverity[row.severity];
            switch (row.category) {
            case kCategoryFile:
                TallyName(&files, row.path);
                break;
            case kCategoryRegistry:
                TallyName(&keys, row.path);
                break;
            case kCategoryNetwork:
                if (ContainsFoldedLower(row.operation, u"dns")) {
                    TallyName(&names, row.path);
                } else {
                    TallyName(&endpoints, EndpointOf(row.path));
                }
                break;
            default:
                break;
            }
        }
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

    char16_t header[4096];
    BuildHeaderLines(&app->recordingInfo, app->recordingInfoValid != 0, header, 4096, u"");
    AppendBounded(text, capacity, header);
    AppendSummaryLine(text, capacity, u"");
    char16_t* notes = static_cast<char16_t*>(AllocZeroed(sizeof(char16_t) * 8192));
    if (notes != nullptr) {
        if (BuildCompletenessNotes(app, notes, 8192, u"  ") > 0) {
            AppendSummaryLine(text, capacity, u"[This record is incomplete]");
            AppendBounded(text, capacity, notes);
        } else {
            AppendSummaryLine(text, capacity, u"[Nothing is known to be missing from this record]");
        }
        FreeBlock(notes);
    }
    AppendSummaryLine(text, capacity, u"");

    AppendTopTen(text, capacity, u"[Most touched files]", &files);
    AppendTopTen(text, capacity, u"[Most touched registry keys]", &keys);
    AppendTopTen(text, capacity, u"[Most contacted endpoints]", &endpoints);
    AppendTopTen(text, capacity, u"[Most looked-up DNS names]", &names);
    for (NameTally& t : tallies)
        FreeNameTally(&t);
    return text;
}

} // namespace olv

namespace olv {

void ShowSummaryWindow(AppState* app) {
    char16_t* text = BuildSummaryText(app);
    if (text == nullptr) return;
    // The fixed-pitch font is made once and kept; without it the summary borrows uiFont, which
    // stays the main window's and is never stored here (the clean-up would delete it twice).
    if (app->summaryFont == nullptr) app->summaryFont = UiMakeSummaryFont();
    const FontHandle font = app->summaryFont != nullptr ? app->summaryFont : app->uiFont;
    UiHandle window =
        UiOpenTextWindow(app->mainWindow, app->instance, u"Summary", 720, 640, font, text);
    if (window != nullptr) UiShowViewWindow(window);
    FreeBlock(text);
}

} // namespace olv
