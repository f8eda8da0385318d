#include "app/window_layout.h"

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
    {kCmdExportCsv, u"Export &CSV...", 0},
    {kCmdExportJson, u"Export &JSON...", 0},
    {kCmdExportJsonLines, u"Export JSON &Lines...", 0},
    {0, nullptr, 0},
    {kCmdSaveSession, u"&Save Session...", 0},
    {kCmdOpenSession, u"&Open Session...", 0},
    {0, nullptr, 0},
    {kCmdLoadSigmaRules, u"Load Sigma &Rules...", 0},
    {0, nullptr, 0},
    {kCmdExit, u"E&xit", 0},
};
constexpr MenuItemSpec kViewItems[] = {
    {kCmdProcessTree, u"&Process Tree", 0},
    {kCmdSummary, u"&Summary", 0},
    {kCmdSigmaRules, u"Sigma &Rules", 0},
    {0, nullptr, 0},
    {kCmdAutoScroll, u"&Auto-scroll", 1},
    {kCmdSuspiciousOnly, u"Suspicious &Only", 0},
};
constexpr MenuItemSpec kHelpItems[] = {
    {kCmdAbout, u"&About Olvetta", 0},
};

} // namespace

const ControlSpec kMainControls[kMainControlCount] = {
    {kIdTargetEdit, u"EDIT", u"", u"Choose an EXE file, or drop one here...", kEdit, 0, 0,
     &AppState::targetEdit},
    {kIdBrowseButton, u"BUTTON", u"Browse...", nullptr, kButton, 0, 0, &AppState::browseButton},
    {kIdStartButton, u"BUTTON", u"Start Monitoring", nullptr, kButton, 0, 0,
     &AppState::startButton},
    {kIdStopButton, u"BUTTON", u"Stop", nullptr, kButton | kWsDisabled, 0, 0,
     &AppState::stopButton},
    {kIdFileCheck, u"BUTTON", u"File I/O", nullptr, kCheck, 0, 0, &AppState::fileCheck},
    {kIdRegistryCheck, u"BUTTON", u"Registry", nullptr, kCheck, 0, 0, &AppState::registryCheck},
    {kIdNetworkCheck, u"BUTTON", u"Network", nullptr, kCheck, 0, 0, &AppState::networkCheck},
    {kIdProcessCheck, u"BUTTON", u"Process/DLL", nullptr, kCheck, 0, 0, &AppState::processCheck},
    {kIdSuspiciousCheck, u"BUTTON", u"Suspicious", nullptr, kCheck, 0, 0,
     &AppState::suspiciousCheck},
    {kIdOperationCombo, u"COMBOBOX", u"", nullptr,
     kChild | kWsVScroll | kWsTabStop | kCbsDropDownList, 0, 300, &AppState::operationCombo},
    {kIdFilterEdit, u"EDIT", u"", u"Filter...", kEdit, 0, 0, &AppState::filterEdit},
    {kIdClearButton, u"BUTTON", u"Clear", nullptr, kButton, 0, 0, &AppState::clearButton},
    {kIdExportCsvButton, u"BUTTON", u"Export CSV", nullptr, kButton, 0, 0,
     &AppState::exportCsvButton},
    {kIdEventList, u"SysListView32", u"", nullptr,
     kChild | kWsTabStop | kLvsReport | kLvsSingleSel | kLvsOwnerData, kWsExClientEdge, 0,
     &AppState::eventList},
    {kIdStatusBar, u"msctls_statusbar32", u"", nullptr, kChild | kSbarsSizeGrip, 0, 0,
     &AppState::statusBar},
};

const MenuSpec kMainMenus[kMenuCount] = {
    {u"&File", kFileItems, static_cast<int>(sizeof kFileItems / sizeof kFileItems[0])},
    {u"&View", kViewItems, static_cast<int>(sizeof kViewItems / sizeof kViewItems[0])},
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

void WireControls(AppState* app, UiHandle (*controlOf)(int id)) {
    app->mainWindow = controlOf(0);
    for (const ControlSpec& spec : kMainControls)
        app->*spec.field = controlOf(spec.id);
}

int ScaleByDpi(int value, int dpi) {
    if (dpi <= 0 || dpi == 96) return value;
    const int64_t scaled = static_cast<int64_t>(value) * dpi;
    // Rounded half away from zero, as MulDiv rounds.
    return static_cast<int>(scaled >= 0 ? (scaled + 48) / 96 : (scaled - 48) / 96);
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

void CentredOrigin(int screenWidth, int screenHeight, int width, int height, int* x, int* y) {
    *x = Larger((screenWidth - width) / 2, 0);
    *y = Larger((screenHeight - height) / 2, 0);
}

} // namespace olv
