#include "app/window_layout.h"

#include "app/window_state.h"

#include "views/row_store.h"

namespace olv {

namespace {

constexpr uint32_t kChild = kWsChild | kWsVisible;
constexpr uint32_t kEdit = kChild | kWsBorder | kWsTabStop | kEsAutoHScroll;
constexpr uint32_t kButton = kChild | kWsTabStop | kBsPushButton;
constexpr uint32_t kCheck = kChild | kWsTabStop | kBsAutoCheckBox;

// The minimum window size the layout was drawn for, and the smallest list.
constexpr int kMinWindowWidth = 800;
constexpr int kMinWindowHeight = 500;
constexpr int kListTop = 80;
constexpr int kMinListHeight = 50;
constexpr int kMinPathColumn = 200;
// Every second-row control sits left of the "Export CSV" button's right edge, which is at
// b + 810 with b at least 70; the margin right of it matches the left one.
constexpr int kSecondRowRight = 70 + 720 + 90;
constexpr int kMargin = 8;

int Larger(int a, int b) {
    return a > b ? a : b;
}

ControlRect Rect(int x, int y, int width, int height, int dpi) {
    return ControlRect{ScaleByDpi(x, dpi), ScaleByDpi(y, dpi), ScaleByDpi(width, dpi),
                       ScaleByDpi(height, dpi)};
}

constexpr MenuItemSpec kFileItems[] = {
    {kCmdExportCsv, u"Export &CSV...\tCtrl+E", 0},
    {kCmdExportJson, u"Export &JSON...\tCtrl+J", 0},
    {kCmdExportJsonLines, u"Export JSON &Lines...", 0},
    {0, nullptr, 0},
    {kCmdSaveSession, u"&Save Session...\tCtrl+S", 0},
    {kCmdOpenSession, u"&Open Session...\tCtrl+O", 0},
    {0, nullptr, 0},
    {kCmdLoadSigmaRules, u"Load Sigma &Rules...", 0},
    {kCmdLoadYaraRules, u"Load &YARA Rules...", 0},
    {0, nullptr, 0},
    {kCmdExit, u"E&xit", 0},
};
// Row commands act on the list's selection; Ctrl+A and Ctrl+C reach them only while the list has
// the focus (in a text box they select and copy text).
constexpr MenuItemSpec kEditItems[] = {
    {kCmdCopyRows, u"&Copy Rows\tCtrl+C", 0},
    {kCmdSelectAllRows, u"Select &All Rows\tCtrl+A", 0},
    {0, nullptr, 0},
    {kCmdFind, u"&Find...\tCtrl+F", 0},
    {kCmdFindNext, u"Find &Next\tF3", 0},
    {kCmdFindPrevious, u"Find &Previous\tShift+F3", 0},
    {0, nullptr, 0},
    {kCmdFocusFilter, u"F&ilter Box\tCtrl+L", 0},
};
constexpr MenuItemSpec kViewItems[] = {
    {kCmdProcessTree, u"&Process Tree\tCtrl+T", 0},
    {kCmdSummary, u"&Summary\tCtrl+U", 0},
    {kCmdSigmaRules, u"Sigma &Rules", 0},
    {kCmdShowAllRows, u"Show All Ro&ws\tEsc", 0},
    {0, nullptr, 0},
    {kCmdAutoScroll, u"&Auto-scroll", 1},
    {kCmdSuspiciousOnly, u"Suspicious &Only", 0},
};
constexpr MenuItemSpec kRecordingItems[] = {
    {kCmdStart, u"&Start Monitoring\tF5", 0},
    {kCmdStop, u"S&top\tShift+F5", 0},
    {0, nullptr, 0},
    {kCmdScriptLogging, u"Turn On Script &Logging", 0},
    {0, nullptr, 0},
    {kCmdClear, u"&Clear\tCtrl+X", 0},
};
constexpr MenuItemSpec kHelpItems[] = {
    {kCmdCheckRecording, u"&Check Recording on This Machine", 0},
    {kCmdAbout, u"&About Olvetta", 0},
};

} // namespace

// Tab moves through the controls in this order, which is also reading order; WS_GROUP starts
// each run of controls that the arrow keys move within (the buttons beside the path box, the
// check boxes, the buttons beside the filter box). Access keys are unique across the controls
// and the menu bar (app/keyboard.h: AccessKeyOf).
const ControlSpec kMainControls[kMainControlCount] = {
    {kIdTargetEdit, u"EDIT", u"", u"Choose an EXE file, or drop one here...", kEdit | kWsGroup, 0,
     0, &MainWindow::targetEdit},
    {kIdBrowseButton, u"BUTTON", u"&Browse...", nullptr, kButton | kWsGroup, 0, 0,
     &MainWindow::browseButton},
    {kIdStartButton, u"BUTTON", u"&Start Monitoring", nullptr, kButton, 0, 0,
     &MainWindow::startButton},
    {kIdStopButton, u"BUTTON", u"S&top", nullptr, kButton | kWsDisabled, 0, 0,
     &MainWindow::stopButton},
    {kIdFileCheck, u"BUTTON", u"F&ile I/O", nullptr, kCheck | kWsGroup, 0, 0,
     &MainWindow::fileCheck},
    {kIdRegistryCheck, u"BUTTON", u"Re&gistry", nullptr, kCheck, 0, 0, &MainWindow::registryCheck},
    {kIdNetworkCheck, u"BUTTON", u"&Network", nullptr, kCheck, 0, 0, &MainWindow::networkCheck},
    {kIdProcessCheck, u"BUTTON", u"&Process/DLL", nullptr, kCheck, 0, 0,
     &MainWindow::processCheck},
    {kIdSuspiciousCheck, u"BUTTON", u"S&uspicious", nullptr, kCheck, 0, 0,
     &MainWindow::suspiciousCheck},
    {kIdOperationCombo, u"COMBOBOX", u"", nullptr,
     kChild | kWsVScroll | kWsTabStop | kWsGroup | kCbsDropDownList, 0, 300,
     &MainWindow::operationCombo},
    // The box takes no more than the filter uses, so what it shows is what filters.
    {kIdFilterEdit, u"EDIT", u"", u"Filter...", kEdit | kWsGroup, 0, 0, &MainWindow::filterEdit,
     kFilterTextChars},
    {kIdClearButton, u"BUTTON", u"&Clear", nullptr, kButton | kWsGroup, 0, 0,
     &MainWindow::clearButton},
    {kIdExportCsvButton, u"BUTTON", u"E&xport CSV", nullptr, kButton, 0, 0,
     &MainWindow::exportCsvButton},
    // Extended selection: rows are selected with Shift and Ctrl as in any list, and copied.
    {kIdEventList, u"SysListView32", u"", nullptr,
     kChild | kWsTabStop | kWsGroup | kLvsReport | kLvsShowSelAlways | kLvsOwnerData,
     kWsExClientEdge, 0,
     &MainWindow::eventList},
    {kIdStatusBar, u"msctls_statusbar32", u"", nullptr,
     kChild | kWsGroup | kSbarsSizeGrip | kSbtToolTips, 0, 0, &MainWindow::statusBar},
};

const MenuSpec kMainMenus[kMenuCount] = {
    {u"&File", kFileItems, static_cast<int>(sizeof kFileItems / sizeof kFileItems[0])},
    {u"&Edit", kEditItems, static_cast<int>(sizeof kEditItems / sizeof kEditItems[0])},
    {u"&View", kViewItems, static_cast<int>(sizeof kViewItems / sizeof kViewItems[0])},
    {u"&Recording", kRecordingItems,
     static_cast<int>(sizeof kRecordingItems / sizeof kRecordingItems[0])},
    {u"&Help", kHelpItems, static_cast<int>(sizeof kHelpItems / sizeof kHelpItems[0])},
};

const ColumnSpec kListColumns[kListColumnCount] = {
    {u"Time", 105},      {u"Severity", 70},       {u"PID", 150},    {u"Category", 80},
    {u"Operation", 200}, {u"Path / Detail", 420}, {u"Result", 110},
};

const ControlSpec* FindControlSpec(int id) {
    for (const ControlSpec& spec : kMainControls) {
        if (spec.id == id) return &spec;
    }
    return nullptr;
}

void WireControls(Recording* app, UiHandle (*controlOf)(int id)) {
    if (!MakeMainWindow(app)) return;
    app->window->mainWindow = controlOf(0);
    for (const ControlSpec& spec : kMainControls)
        app->window->*spec.field = controlOf(spec.id);
}

int ScaleByDpi(int value, int dpi) {
    if (dpi <= 0 || dpi == 96) return value;
    const int64_t scaled = static_cast<int64_t>(value) * dpi;
    // Rounded half away from zero, as MulDiv rounds.
    return static_cast<int>(scaled >= 0 ? (scaled + 48) / 96 : (scaled - 48) / 96);
}

int DpiFromChange(uintptr_t wParam) {
    const int dpi = static_cast<int>(wParam & 0xFFFF);
    return dpi >= 48 && dpi <= 1920 ? dpi : 0;
}

int RescaleForDpi(int value, int fromDpi, int toDpi) {
    if (fromDpi <= 0 || toDpi <= 0 || fromDpi == toDpi) return value;
    const int64_t scaled = static_cast<int64_t>(value) * toDpi;
    const int64_t half = fromDpi / 2;
    return static_cast<int>(scaled >= 0 ? (scaled + half) / fromDpi : (scaled - half) / fromDpi);
}

void RescaleColumnWidths(int* widths, int count, int fromDpi, int toDpi) {
    if (widths == nullptr) return;
    for (int i = 0; i < count; ++i) {
        if (i != kPathColumn) widths[i] = RescaleForDpi(widths[i], fromDpi, toDpi);
    }
}

void ComputeMainLayout(int width, int height, int statusHeight, const int columnWidths[7],
                       int scrollBarWidth, int dpi, MainLayout* out) {
    // The arithmetic runs in 96-DPI units, so every offset keeps its designed relation to the
    // others; the client size comes in the window's pixels and goes back out in them.
    const int w = width * 96 / (dpi > 0 ? dpi : 96);
    const int a = Larger(w - 330, 100);
    out->targetEdit = Rect(8, 10, a, 24, dpi);
    out->browseButton = Rect(a + 16, 8, 60, 28, dpi);
    out->startButton = Rect(a + 84, 8, 160, 28, dpi);
    out->stopButton = Rect(a + 252, 8, 70, 28, dpi);

    out->fileCheck = Rect(8, 46, 74, 24, dpi);
    out->registryCheck = Rect(84, 46, 74, 24, dpi);
    out->networkCheck = Rect(160, 46, 74, 24, dpi);
    out->processCheck = Rect(236, 46, 96, 24, dpi);
    out->suspiciousCheck = Rect(334, 46, 84, 24, dpi);
    out->operationCombo = Rect(426, 44, 180, 280, dpi);

    const int b = Larger(w - 818, 70);
    out->filterEdit = Rect(614, 46, b, 24, dpi);
    out->clearButton = Rect(b + 622, 44, 90, 28, dpi);
    out->exportCsvButton = Rect(b + 720, 44, 90, 28, dpi);

    // The list spans the real client width, so no pixel is lost to the unit conversion.
    const int margin = ScaleByDpi(kMargin, dpi);
    const int top = ScaleByDpi(kListTop, dpi);
    out->eventList =
        ControlRect{margin, top, width - 2 * margin,
                    Larger(height - statusHeight - top, ScaleByDpi(kMinListHeight, dpi))};

    int others = 0;
    for (int i = 0; i < kListColumnCount; ++i) {
        if (i != kPathColumn) others += columnWidths[i];
    }
    out->pathColumnWidth = Larger(width - 2 * margin - others - scrollBarWidth - margin,
                                  ScaleByDpi(kMinPathColumn, dpi));
}

void MinimumClientSize(int dpi, int statusHeight, int* width, int* height) {
    *width = ScaleByDpi(kSecondRowRight + kMargin, dpi);
    *height = ScaleByDpi(kListTop + kMinListHeight, dpi) + statusHeight;
}

void MinimumWindowSize(int dpi, int statusHeight, int frameWidth, int frameHeight, int* width,
                       int* height) {
    int clientWidth = 0, clientHeight = 0;
    MinimumClientSize(dpi, statusHeight, &clientWidth, &clientHeight);
    *width = Larger(ScaleByDpi(kMinWindowWidth, dpi), clientWidth + frameWidth);
    *height = Larger(ScaleByDpi(kMinWindowHeight, dpi), clientHeight + frameHeight);
}

void InitialWindowSize(int dpi, int* width, int* height) {
    *width = ScaleByDpi(1120, dpi);
    *height = ScaleByDpi(700, dpi);
}

ScreenRect FitWindowToWorkArea(const ScreenRect& workArea, int width, int height) {
    const int areaWidth = workArea.right - workArea.left;
    const int areaHeight = workArea.bottom - workArea.top;
    if (areaWidth <= 0 || areaHeight <= 0) {
        return {workArea.left, workArea.top, workArea.left + width, workArea.top + height};
    }
    const int w = width < areaWidth ? width : areaWidth;
    const int h = height < areaHeight ? height : areaHeight;
    const int x = workArea.left + (areaWidth - w) / 2;
    const int y = workArea.top + (areaHeight - h) / 2;
    return {x, y, x + w, y + h};
}

namespace {

// Moves a rectangle of the work area's size or less inside it (an empty area leaves it).
ScreenRect InsideArea(ScreenRect r, const ScreenRect& area) {
    if (area.right <= area.left || area.bottom <= area.top) return r;
    const int w = r.right - r.left;
    const int h = r.bottom - r.top;
    if (r.right > area.right) r.left = area.right - w;
    if (r.bottom > area.bottom) r.top = area.bottom - h;
    if (r.left < area.left) r.left = area.left;
    if (r.top < area.top) r.top = area.top;
    return {r.left, r.top, r.left + w, r.top + h};
}

bool Overlap(const ScreenRect& a, const ScreenRect& b) {
    return a.left < b.right && b.left < a.right && a.top < b.bottom && b.top < a.bottom;
}

} // namespace

ScreenRect PlaceAuxWindow(const ScreenRect& main, const ScreenRect& workArea, int width, int height,
                          int others, int step) {
    const int areaWidth = workArea.right - workArea.left;
    const int areaHeight = workArea.bottom - workArea.top;
    int w = width;
    int h = height;
    if (areaWidth > 0 && w > areaWidth) w = areaWidth;
    if (areaHeight > 0 && h > areaHeight) h = areaHeight;
    const int offset = (others < 0 ? 0 : others % 8) * step;
    int x;
    int y = main.top + offset;
    if (main.right + w <= workArea.right) {
        x = main.right + offset; // beside, on the right
    } else if (main.left - w >= workArea.left) {
        x = main.left - w - offset; // beside, on the left
    } else {
        x = main.left + (main.right - main.left - w) / 2 + offset;
        y = main.top + (main.bottom - main.top - h) / 2 + offset;
    }
    return InsideArea({x, y, x + w, y + h}, workArea);
}

ScreenRect KeepFindWindowOffRow(const ScreenRect& find, const ScreenRect& row,
                                const ScreenRect& workArea) {
    if (!Overlap(find, row)) return find;
    const int h = find.bottom - find.top;
    const bool roomBelow = workArea.bottom <= workArea.top || row.bottom + h <= workArea.bottom;
    const int top = roomBelow ? row.bottom : row.top - h;
    return InsideArea({find.left, top, find.right, top + h}, workArea);
}

} // namespace olv
