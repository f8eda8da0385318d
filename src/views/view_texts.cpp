#include "views/view_texts.h"

#include "base/atomic.h"
#include "base/format.h"
#include "base/text.h"
#include "capture/trace_controller.h"
#include "platform/files.h"
#include "platform/ui.h"
#include "record/app_state.h"
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
        if (row->process[0] != 0) {
            FormatText(out, capacity, u"%lu (%s)", row->pid, row->process);
        } else {
            FormatText(out, capacity, u"%lu", row->pid);
        }
        break;
    case 3:
        CopyBounded(out, capacity, CategoryLabel(row->category));
        break;
    case 4:
        CopyBounded(out, capacity, row->operation);
        break;
    case 5:
        CopyBounded(out, capacity, row->path);
        if (row->detail[0] != 0) {
            AppendBounded(out, capacity, u" | ");
            AppendBounded(out, capacity, row->detail);
        }
        if (row->threat[0] != 0) {
            AppendBounded(out, capacity, u"  \u26A0 ");
            AppendBounded(out, capacity, row->threat);
        }
        break;
    case 6:
        CopyBounded(out, capacity, row->result);
        break;
    default:
        break;
    }
}

bool ListDisplayText(AppState* app, int item, int column, char16_t* out, size_t capacity) {
    LockGuard guard(&app->rowsLock);
    if (item < 0 || item >= app->shownCount) return false;
    const EventRow* row = &app->rows[app->shownRows[item]];
    ComposeCellText(row, column, out, capacity);
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

uint32_t ListRowColour(AppState* app, uint32_t drawStage, int item, uint32_t* colourRef,
                       bool* hasColour) {
    *hasColour = false;
    if (drawStage == kCddsPrepaint) return kCdrfNotifyItemDraw;
    if (drawStage != kCddsItemPrepaint) return 0;
    uint32_t severity = 0;
    {
        LockGuard guard(&app->rowsLock);
        if (item >= 0 && item < app->shownCount)
            severity = app->rows[app->shownRows[item]].severity;
    }
    *hasColour = SeverityColour(severity, colourRef);
    return kCdrfNewFont;
}

void ContextMenuPath(AppState* app, int item, char16_t* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return;
    out[0] = 0;
    if (item < 0) return;
    LockGuard guard(&app->rowsLock);
    if (item < app->shownCount) {
        CopyBounded(out, capacity, app->rows[app->shownRows[item]].path);
    }
}

void ExplorerParameter(const char16_t* path, bool isFolder, char16_t* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return;
    out[0] = 0;
    if (isFolder) {
        CopyBounded(out, capacity, path);
        return;
    }
    // The whole parameter is cut at 1099 characters.
    size_t limit = capacity < kExplorerParameterChars ? capacity : kExplorerParameterChars;
    AppendBounded(out, limit, u"/select,\"");
    AppendBounded(out, limit, path);
    AppendBounded(out, limit, u"\"");
}

void RunContextMenuCommand(AppState* app, const char16_t* path, int command) {
    if (TextIsEmpty(path)) return;
    if (command == kMenuCopyPath) {
        UiSetClipboardText(app->mainWindow, path);
    } else if (command == kMenuShowInExplorer) {
        bool isFolder = false;
        const bool known = ReadFileAttributes(path, &isFolder);
        char16_t parameter[kExplorerParameterChars];
        ExplorerParameter(path, known && isFolder, parameter, kExplorerParameterChars);
        UiShellExecute(app->mainWindow, u"open", u"explorer.exe", parameter);
    }
}

void ComposeStatusText(AppState* app, char16_t* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return;
    out[0] = 0;
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
        if (info.eventsLostByWindows != 0) {
            AppendFormat(out, capacity, u" %lu events dropped by Windows",
                         info.eventsLostByWindows);
        }
        if (info.buffersLostByWindows != 0) {
            AppendFormat(out, capacity, u" %lu whole buffers", info.buffersLostByWindows);
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
    if (SigmaRulesLoaded(app)) {
        const int32_t rules = SigmaRuleCount(LoadedSigmaRules(app));
        AppendFormat(out, capacity, rules == 1 ? u" | %d Sigma rule" : u" | %d Sigma rules", rules);
    }
}

void UpdateStatusBar(AppState* app) {
    char16_t text[kStatusTextChars];
    ComposeStatusText(app, text, kStatusTextChars);
    UiSetStatusText(app->statusBar, text);
}

} // namespace olv
