#include "views/view_texts.h"

#include <iterator>

#include "base/atomic.h"
#include "base/format.h"
#include "base/reveal_text.h"
#include "base/product.h"
#include "base/text.h"
#include "capture/trace_controller.h"
#include "platform/files.h"
#include "platform/ui.h"
#include "views/process_filter.h"
#include "views/row_sort.h"
#include "record/recording.h"
#include "record/stored_rows.h"
#include "rules/threat_rules.h"
#include "views/sigma_rows.h"
#include "views/sigma_texts.h"

namespace olv {

void ComposeCellText(const EventRow* row, int column, char16_t* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return;
    out[0] = 0;
    if (row == nullptr) return;
    switch (column) {
    case 0:
        FormatText(out, capacity, u"%02d:%02d:%02d.%03d", row->time.hour, row->time.minute,
                   row->time.second, row->time.milliseconds);
        break;
    case 1:
        CopyBounded(out, capacity, SeverityLabel(row->severity));
        break;
    case 2:
        FormatText(out, capacity, u"%lu", row->pid);
        if (row->process[0] != 0) {
            AppendBounded(out, capacity, u" (");
            AppendRevealed(out, capacity, row->process, kProcessChars);
            AppendBounded(out, capacity, u")");
        }
        break;
    case 3:
        CopyBounded(out, capacity, CategoryLabel(row->category));
        break;
    case 4:
        AppendRevealed(out, capacity, row->operation, kOperationChars);
        break;
    case 5:
        AppendRevealed(out, capacity, row->path, kPathChars);
        if (row->detail[0] != 0) {
            AppendBounded(out, capacity, u" | ");
            AppendRevealed(out, capacity, row->detail, kDetailChars);
        }
        if (row->threat[0] != 0) {
            AppendBounded(out, capacity, u"  \u26A0 ");
            AppendRevealed(out, capacity, row->threat, kThreatChars);
        }
        break;
    case 6:
        AppendRevealed(out, capacity, row->result, kResultChars);
        break;
    default:
        break;
    }
}

bool ListDisplayText(Recording* app, int item, int column, char16_t* out, size_t capacity) {
    LockGuard guard(&app->rowsLock);
    if (item < 0 || item >= app->shownCount) return false;
    EventRow row;
    ReadStoredRow(app, app->shownRows[item], &row);
    ComposeCellText(&row, column, out, capacity);
    return true;
}

bool SeverityColour(uint32_t severity, uint32_t* colourRef) {
    uint32_t colour;
    switch (severity) {
    case 3:
        colour = 0xCDCDFF; // RGB(255, 205, 205)
        break;
    case 2:
        colour = 0xC4E8FF; // RGB(255, 232, 196)
        break;
    case 1:
        colour = 0xCDFAFF; // RGB(255, 250, 205)
        break;
    default:
        return false;
    }
    if (colourRef != nullptr) *colourRef = colour;
    return true;
}

uint32_t ListRowColour(Recording* app, uint32_t drawStage, int item, uint32_t* colourRef,
                       bool* hasColour) {
    *hasColour = false;
    if (drawStage == kCddsPrepaint) return kCdrfNotifyItemDraw;
    if (drawStage != kCddsItemPrepaint) return 0;
    uint32_t severity = 0;
    {
        LockGuard guard(&app->rowsLock);
        if (item >= 0 && item < app->shownCount)
            severity = StoredSeverity(app, app->shownRows[item]);
    }
    *hasColour = SeverityColour(severity, colourRef);
    return kCdrfNewFont;
}

void ContextMenuPath(Recording* app, int item, char16_t* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return;
    out[0] = 0;
    if (item < 0) return;
    LockGuard guard(&app->rowsLock);
    if (item < app->shownCount) {
        CopyStoredText(app, app->shownRows[item], kTextPath, out, capacity);
    }
}

void PathWithoutEnclosingQuotes(const char16_t* path, char16_t* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return;
    out[0] = 0;
    if (path == nullptr) return;
    const size_t length = TextLength(path);
    if (length >= 2 && path[0] == u'"' && path[length - 1] == u'"') {
        const size_t inner = length - 2;
        const size_t keep = inner < capacity - 1 ? inner : capacity - 1;
        for (size_t i = 0; i < keep; ++i)
            out[i] = path[i + 1];
        out[keep] = 0;
        return;
    }
    CopyBounded(out, capacity, path);
}

ExplorerVerdict ExplorerParameter(const char16_t* path, bool exists, bool isFolder, char16_t* out,
                                  size_t capacity) {
    if (out != nullptr && capacity > 0) out[0] = 0;
    if (TextIsEmpty(path)) return ExplorerVerdict::kEmpty;
    for (const char16_t* p = path; *p != 0; ++p) {
        if (*p == u'"') return ExplorerVerdict::kHasQuote;
    }
    if (!exists) return ExplorerVerdict::kNotFound;
    // A cut parameter would lose its closing quote and name another file: refused instead.
    const size_t prefix = isFolder ? 1 : 9; // " or /select,"
    const size_t limit = capacity < kExplorerParameterChars ? capacity : kExplorerParameterChars;
    if (out == nullptr || limit == 0 || prefix + TextLength(path) + 1 > limit - 1)
        return ExplorerVerdict::kTooLong;
    // The folder is quoted too: unquoted, a comma in its name would split it into switches.
    CopyBounded(out, limit, isFolder ? u"\"" : u"/select,\"");
    AppendBounded(out, limit, path);
    AppendBounded(out, limit, u"\"");
    return ExplorerVerdict::kShow;
}

void ExplorerRefusalText(ExplorerVerdict verdict, const char16_t* path, char16_t* out,
                         size_t capacity) {
    if (out == nullptr || capacity == 0) return;
    out[0] = 0;
    const char16_t* why = nullptr;
    switch (verdict) {
    case ExplorerVerdict::kHasQuote:
        why = u"Explorer was not started: this path holds a quotation mark, which no file or "
              u"folder name can hold, so it may carry switches for Explorer instead of a name.";
        break;
    case ExplorerVerdict::kNotFound:
        why = u"Explorer was not started: no file or folder of this name exists on this "
              u"computer now.";
        break;
    case ExplorerVerdict::kTooLong:
        why = u"Explorer was not started: this path is too long to hand to Explorer whole.";
        break;
    default:
        return;
    }
    // The path is the examined program's text: hidden characters show as marks here too.
    FormatText(out, capacity, u"%s\n\n", why);
    AppendRevealed(out, capacity, path);
}

ExplorerVerdict DecideShowInExplorer(const char16_t* path, char16_t* parameter,
                                     size_t parameterCapacity, char16_t* refusal,
                                     size_t refusalCapacity) {
    if (refusalCapacity > 0) refusal[0] = 0;
    if (parameterCapacity > 0) parameter[0] = 0;
    if (TextIsEmpty(path)) return ExplorerVerdict::kEmpty;
    char16_t target[kPathChars];
    PathWithoutEnclosingQuotes(path, target, kPathChars);
    bool isFolder = false;
    // A path with a quote left is refused before the file system is asked about it.
    bool hasQuote = false;
    for (const char16_t* p = target; *p != 0; ++p)
        hasQuote = hasQuote || *p == u'"';
    const bool exists = !hasQuote && ReadFileAttributes(target, &isFolder);
    const ExplorerVerdict verdict =
        ExplorerParameter(target, exists, isFolder, parameter, parameterCapacity);
    if (verdict != ExplorerVerdict::kShow && verdict != ExplorerVerdict::kEmpty) {
        ExplorerRefusalText(verdict, target, refusal, refusalCapacity);
    }
    return verdict;
}

namespace {

void ComposeRawStatusText(Recording* app, char16_t* out, size_t capacity) {
    int32_t total;
    int32_t shown;
    {
        LockGuard guard(&app->rowsLock);
        total = app->rowCount;
        shown = app->shownCount;
    }
    const char16_t* dns = u"";
    if (app->recording != 0) {
        const TraceController* tc = app->trace;
        if (tc == nullptr) {
            dns = u" | DNS: off";
        } else {
            // The DNS thread sets dnsEndedEarly before it clears dnsOn; reading in the other
            // order, a session found off after running is also found ended early.
            const bool on = AtomicLoad8(tc->dnsOn) != 0;
            if (AtomicLoad8(tc->dnsEndedEarly) != 0) {
                dns = u" | DNS: stopped early";
            } else {
                dns = on ? u" | DNS: on" : u" | DNS: off";
            }
        }
    }
    FormatText(out, capacity, u" %s | Total: %d | Shown: %d%s",
               app->recording != 0 ? u"Monitoring" : u"Stopped", total, shown, dns);
    AppendSigmaRuleViewStatus(app, out, capacity);

    const RecordingInfo& info = app->recordingInfo;
    const uint32_t dropped = AtomicLoad(app->droppedHere);
    if (dropped != 0 || info.eventsLostByWindows != 0 || info.buffersLostByWindows != 0 ||
        info.unreadableRecords != 0) {
        AppendBounded(out, capacity, u" | MISSED:");
        if (dropped != 0) AppendFormat(out, capacity, u" %lu here", dropped);
        // Losses before the program was resumed were not its events: said apart.
        const LossesBeforeResume& before = app->lossesBeforeResume;
        if (info.eventsLostByWindows != 0) {
            AppendFormat(out, capacity, u" %lu events dropped by Windows",
                         info.eventsLostByWindows);
            if (before.known != 0 && before.eventsLost != 0)
                AppendFormat(out, capacity, u" (%lu before start)", before.eventsLost);
        }
        if (info.buffersLostByWindows != 0) {
            AppendFormat(out, capacity, u" %lu whole buffers", info.buffersLostByWindows);
            if (before.known != 0 && before.buffersLost != 0)
                AppendFormat(out, capacity, u" (%lu before start)", before.buffersLost);
        }
        if (info.unreadableRecords != 0) {
            AppendFormat(out, capacity, u" %lu unreadable", info.unreadableRecords);
        }
    }
    if (info.childrenNotFollowed != 0) {
        AppendFormat(out, capacity, u" | %lu child process(es) not followed",
                     info.childrenNotFollowed);
    }
    if (info.fileResultsMissing != 0) {
        AppendFormat(out, capacity, u" | %lu without a result", info.fileResultsMissing);
    }
    if (info.filesNotIdentified != 0) {
        AppendFormat(out, capacity, u" | %lu file(s) not named", info.filesNotIdentified);
    }
    if (info.registryKeysNotResolved != 0) {
        AppendFormat(out, capacity, u" | %lu key(s) not located", info.registryKeysNotResolved);
    }
    if (info.trackingSlotsRecycled != 0) {
        AppendFormat(out, capacity, u" | %lu tracking slot(s) reused", info.trackingSlotsRecycled);
    }
    if (app->recording != 0 && app->launchedWithoutJob != 0) {
        AppendBounded(out, capacity, u" | Stop may not reach child processes");
    }
    AppendSigmaLoadStatus(app, out, capacity);
    char16_t piece[kStatusTextChars];
    ProcessConditionStatus(app, piece, kStatusTextChars);
    if (piece[0] != 0) {
        AppendBounded(out, capacity, u" | ");
        AppendBounded(out, capacity, piece);
    }
    DescribeShownOrder(app, piece, kStatusTextChars);
    if (piece[0] != 0) {
        AppendBounded(out, capacity, u" | Rows ");
        AppendBounded(out, capacity, piece);
    }
}

} // namespace

// Whatever a part of the status bar quotes is shown with its hidden characters marked.
void ComposeStatusText(Recording* app, char16_t* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return;
    out[0] = 0;
    char16_t raw[kStatusTextChars];
    ComposeRawStatusText(app, raw, kStatusTextChars);
    CopyRevealed(out, capacity, raw);
}

void UpdateStatusBar(Recording* app) {
    app->changes.statusChanged = 1;
}

} // namespace olv
