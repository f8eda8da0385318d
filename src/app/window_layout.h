// The main window's controls, menu and columns as constant tables, and the arithmetic that
// places them. The Windows shell creates what the tables say and moves the controls where
// ComputeMainLayout puts them; both are decided here, where they are tested natively.
//
// Geometry is written in 96-DPI pixels, as the layout was designed, and scaled by the window's
// DPI (at 96 DPI every number is exactly the written one).
#pragma once

#include <cstddef>
#include <cstdint>

#include "app/recording_setup.h"
#include "app/window_state.h"

namespace olv {

// Window styles, with the values of the Windows headers (the shell asserts that they agree).
constexpr uint32_t kWsChild = 0x40000000;
constexpr uint32_t kWsVisible = 0x10000000;
constexpr uint32_t kWsDisabled = 0x08000000;
constexpr uint32_t kWsBorder = 0x00800000;
constexpr uint32_t kWsVScroll = 0x00200000;
constexpr uint32_t kWsTabStop = 0x00010000;
constexpr uint32_t kWsGroup = 0x00020000; // starts a group that the arrow keys move within
constexpr uint32_t kWsExClientEdge = 0x00000200;
constexpr uint32_t kEsAutoHScroll = 0x0080;
constexpr uint32_t kBsPushButton = 0x0000;
constexpr uint32_t kBsAutoCheckBox = 0x0003;
constexpr uint32_t kCbsDropDownList = 0x0003;
constexpr uint32_t kLvsReport = 0x0001;
constexpr uint32_t kLvsSingleSel = 0x0004;
constexpr uint32_t kLvsShowSelAlways = 0x0008; // a row found from the find window stays marked
constexpr uint32_t kLvsOwnerData = 0x1000;
constexpr uint32_t kSbarsSizeGrip = 0x0100;
constexpr uint32_t kSbtToolTips = 0x0800; // the status bar shows its cut text as a tooltip

// One control of the main window, in creation order (which is also the z-order).
struct ControlSpec {
    int id;
    const char16_t* className;
    const char16_t* text;
    const char16_t* cueBanner; // null: none
    uint32_t style;
    uint32_t exStyle;
    int createHeight; // 0: none (the first WM_SIZE sizes it); the combo box is made 300 high
    UiHandle MainWindow::*field;
    size_t textLimit = 0; // characters an edit box takes from typing and pasting; 0: the default
};
constexpr int kMainControlCount = 15;
extern const ControlSpec kMainControls[kMainControlCount];
// The spec of a control id; null for any other id.
const ControlSpec* FindControlSpec(int id);
// Sets mainWindow to controlOf(0) and every control field of the window's record to controlOf(its
// id), giving the core its list and status bar: how a UI that is not the real window (the
// headless model) hands the Recording its controls.
void WireControls(Recording* app, UiHandle (*controlOf)(int id));

// The menu bar: five pop-ups; an item with id 0 is a separator. An item's text names its key
// after a tab ("Export &CSV...\tCtrl+E"); app/keyboard.h binds the same keys.
struct MenuItemSpec {
    int id;
    const char16_t* text;
    uint8_t checked; // made checked
};
struct MenuSpec {
    const char16_t* text;
    const MenuItemSpec* items;
    int itemCount;
};
constexpr int kMenuCount = 5;
extern const MenuSpec kMainMenus[kMenuCount];

// The event list's columns, inserted in this order, left-aligned.
struct ColumnSpec {
    const char16_t* heading;
    int width; // 96-DPI pixels
};
constexpr int kListColumnCount = 7;
constexpr int kPathColumn = 5;
extern const ColumnSpec kListColumns[kListColumnCount];

// A 96-DPI length at the given DPI, rounded to the nearest pixel (MulDiv(value, dpi, 96)).
int ScaleByDpi(int value, int dpi);

// The DPI a window moves to, from WM_DPICHANGED's wParam (the low word: the horizontal DPI, which
// the system keeps equal to the vertical); 0 when it is outside what any monitor has (48 to
// 1920), and the message is then taken for its rectangle only.
int DpiFromChange(uintptr_t wParam);
// A length in pixels at fromDpi as the same length at toDpi (rounded as MulDiv rounds): column
// widths the user set and the font's height keep their size on the new monitor. Unchanged when
// either DPI is not positive.
int RescaleForDpi(int value, int fromDpi, int toDpi);
// Rescales the list's column widths (count of them) for a move between monitors, every column
// but the path column, which the layout sizes to the rest of the width.
void RescaleColumnWidths(int* widths, int count, int fromDpi, int toDpi);

struct ControlRect {
    int x;
    int y;
    int width;
    int height;
};

// Where WM_SIZE puts every control but the status bar (which docks itself).
struct MainLayout {
    ControlRect targetEdit, browseButton, startButton, stopButton;
    ControlRect fileCheck, registryCheck, networkCheck, processCheck, suspiciousCheck;
    ControlRect operationCombo; // its height includes the drop-down
    ControlRect filterEdit, clearButton, exportCsvButton;
    ControlRect eventList;
    int pathColumnWidth; // the width "Path / Detail" gets
};

// The layout for a client area of width x height pixels, a status bar statusHeight high, the
// list's current column widths (index kPathColumn is not read) and the width of a vertical
// scroll bar, all in the window's pixels at dpi.
void ComputeMainLayout(int width, int height, int statusHeight, const int columnWidths[7],
                       int scrollBarWidth, int dpi, MainLayout* out);

// The smallest client area in which every control of both rows is wholly visible and the list
// keeps its minimum height, at dpi, with a status bar statusHeight high.
void MinimumClientSize(int dpi, int statusHeight, int* width, int* height);
// The minimum tracking size of the window itself: the larger of 800 x 500 (scaled) and the
// window size around the minimum client area (frameWidth/frameHeight: what the frame, caption
// and menu add).
void MinimumWindowSize(int dpi, int statusHeight, int frameWidth, int frameHeight, int* width,
                       int* height);

// The main window's wanted size at creation (1120 x 700, scaled).
void InitialWindowSize(int dpi, int* width, int* height);

// A rectangle of the screen in virtual-screen pixels (right and bottom exclusive), as RECT.
struct ScreenRect {
    int left, top, right, bottom;
};
// The first placement of a window that wants width x height on a monitor whose work area (the
// screen less the taskbar and docked bars) is workArea: no larger than the work area, so the
// status bar never sits behind the taskbar, and centred in it, so never left of or above its
// corner and the title bar stays reachable. An empty work area leaves the wanted size at the
// area's corner.
ScreenRect FitWindowToWorkArea(const ScreenRect& workArea, int width, int height);

// Where an auxiliary window (tree, summary, Sigma Rules, Rules Matched, row details) of width x
// height opens, for a main window at main on a monitor whose work area is workArea: beside the
// main window (right of it, else left of it) when it fits there whole, else centred on it; the
// n-th window already open beside it (others, from 0) steps 24 pixels (step) right and down so
// none hides another exactly. Always inside the work area (no larger than it), so a window is
// never made at the screen's corner or half off the screen.
ScreenRect PlaceAuxWindow(const ScreenRect& main, const ScreenRect& workArea, int width, int height,
                          int others, int step);

// The find window at find must not cover row, the row it found (both in screen pixels): it stays
// where it is when it does not, else it moves just below the row, or just above it when there is
// no room below in the work area, keeping its left edge (both inside the work area).
ScreenRect KeepFindWindowOffRow(const ScreenRect& find, const ScreenRect& row,
                                const ScreenRect& workArea);

} // namespace olv
