// What the event list, its context menu and the status bar show, computed from the row store.
#pragma once

#include <cstddef>
#include <cstdint>

#include "record/event_row.h"

namespace olv {

struct Recording; // record/recording.h

// A cell of the longest row (1412 characters) with every character revealed as a mark still fits
// whole, so a name flooded with hidden characters cannot push the detail or threat text out.
constexpr size_t kDisplayBufferChars = 1536 * 8;
constexpr size_t kStatusTextChars = 512;
constexpr size_t kExplorerParameterChars = 1100;

// Composes the text of column (0 to 6) of one row into out; a column above 6 gives "". The row's
// texts are shown revealed (base/reveal_text.h): each hidden format character as a mark.
void ComposeCellText(const EventRow* row, int column, char16_t* out, size_t capacity);
// The cell of shown item index: false (out untouched) when the index is not a shown item.
bool ListDisplayText(Recording* app, int item, int column, char16_t* out, size_t capacity);
// Background COLORREF by severity; false for severity 0 or other values (normal background).
bool SeverityColour(uint32_t severity, uint32_t* colourRef);
// NM_CUSTOMDRAW of the event list (draw stages and results as the list view numbers them).
constexpr uint32_t kCddsPrepaint = 0x00000001;
constexpr uint32_t kCddsItemPrepaint = 0x00010001;
constexpr uint32_t kCdrfNewFont = 0x00000002;
constexpr uint32_t kCdrfNotifyItemDraw = 0x00000020;
// The result for drawStage; at an item's pre-paint *hasColour tells whether the item's
// background is set to *colourRef (severity 1 to 3 of the shown row) or stays the list's own.
uint32_t ListRowColour(Recording* app, uint32_t drawStage, int item, uint32_t* colourRef,
                       bool* hasColour);
// The path the context menu acts on for a shown item (empty when none).
void ContextMenuPath(Recording* app, int item, char16_t* out, size_t capacity);
// "Show in Explorer" hands a row's path to Explorer's command line, and a path is text a
// recorded program chose (a key or pipe name may hold quotes and commas). So the row's path
// loses one pair of enclosing quotes (the "Started process" row stores its path quoted), and
// Explorer is started only for a path without any quote left that names an existing file or
// folder; otherwise the user is told why not.
enum class ExplorerVerdict : int {
    kShow,     // parameter holds "folder" or /select,"file"
    kEmpty,    // nothing to show
    kHasQuote, // a quote is left inside the path
    kNotFound, // no file or folder of that name exists here
    kTooLong,  // the parameter would not fit kExplorerParameterChars
};
// The row's path without one pair of enclosing quotes (cut at capacity - 1).
void PathWithoutEnclosingQuotes(const char16_t* path, char16_t* out, size_t capacity);
// Decides for a path without its enclosing quotes, whose attributes were read as exists and
// isFolder: on kShow, out holds the parameter of "explorer.exe": the folder in quotes, or
// /select, and the file in quotes, so that Explorer opens its folder with the file selected.
// On any other verdict out is empty.
ExplorerVerdict ExplorerParameter(const char16_t* path, bool exists, bool isFolder, char16_t* out,
                                  size_t capacity);
// The message shown instead of starting Explorer (empty for kShow and kEmpty).
void ExplorerRefusalText(ExplorerVerdict verdict, const char16_t* path, char16_t* out,
                         size_t capacity);
// "Show in Explorer" for a row's path, decided against the file system: kShow with Explorer's
// parameter, or the verdict with its refusal text (nothing to do for kEmpty).
ExplorerVerdict DecideShowInExplorer(const char16_t* path, char16_t* parameter,
                                     size_t parameterCapacity, char16_t* refusal,
                                     size_t refusalCapacity);

// Builds the status bar text (at most 511 characters).
void ComposeStatusText(Recording* app, char16_t* out, size_t capacity);
// Marks the status bar's text to be composed again when the window next draws (ViewChanges).
void UpdateStatusBar(Recording* app);

} // namespace olv
