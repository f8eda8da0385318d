// The view windows and the row commands as the main window carries them out. The windows are
// opened here, owned by the main window, from the texts and fills the core builds (views/,
// report/); the clipboard, Explorer and the message boxes are here too. Without a window (the
// console program) nothing is opened.
#pragma once

#include <cstdint>

namespace olv {

struct Recording; // record/recording.h

// View > "Summary": the summary text (report/summary.h) in a text window, in the fixed-pitch font.
void ShowSummaryWindow(Recording* app);
// View > "Process Tree": a tree window filled by FillProcessTreeWindow (views/process_tree.h).
void ShowProcessTreeWindow(Recording* app);
// View > "Sigma Rules": the open window brought forward, or a new one (views/sigma_texts.h).
void ShowSigmaRulesWindow(Recording* app);
// The Sigma Rules window's menu and Ctrl+C: "Copy" puts the selected lines on the clipboard;
// the other commands are the core's (SigmaRulesWindowCommand).
void RunSigmaRulesCommand(Recording* app, int command);
// Double-click or Enter on a shown item: the details window (views/row_details.h).
void ShowRowDetailsWindow(Recording* app, int32_t item);
// "Rules Matched...": the rules the shown item's row matched in a details window.
void ShowRulesMatched(Recording* app, int item);

// A process command for the process of row index (views/process_filter.h), "Copy Command Line"
// included (onto the clipboard). False when nothing was done.
bool RunProcessMenuCommand(Recording* app, int command, int32_t rowIndex);
// A context-menu command for a row's path: "Copy path" puts it on the clipboard as it is; "Show
// in Explorer" starts "explorer.exe" as DecideShowInExplorer decides, or shows its refusal.
void RunContextMenuCommand(Recording* app, const char16_t* path, int command);
// A command of the event list's context menu for shown item, whose path is given: the row's
// details, the rules it matched, the process commands or the path commands.
void RunListMenuCommand(Recording* app, int command, int32_t item, const char16_t* path);

} // namespace olv
