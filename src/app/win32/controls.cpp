// The main window's menu, font, controls and columns, made from the tables of window_layout,
// and their placement on WM_SIZE.
#include <initializer_list>

#include "app/win32/shell.h"
#include "app/window_layout.h"
#include "app/window_state.h"
#include "base/text.h"
#include "views/cell_tip.h"

namespace olv {

static_assert(kWsChild == WS_CHILD && kWsVisible == WS_VISIBLE && kWsDisabled == WS_DISABLED);
static_assert(kWsBorder == WS_BORDER && kWsVScroll == WS_VSCROLL && kWsTabStop == WS_TABSTOP);
static_assert(kWsExClientEdge == WS_EX_CLIENTEDGE && kEsAutoHScroll == ES_AUTOHSCROLL);
static_assert(kBsPushButton == BS_PUSHBUTTON && kBsAutoCheckBox == BS_AUTOCHECKBOX);
static_assert(kCbsDropDownList == CBS_DROPDOWNLIST && kSbarsSizeGrip == SBARS_SIZEGRIP);
static_assert(kLvsReport == LVS_REPORT && kLvsSingleSel == LVS_SINGLESEL &&
              kLvsOwnerData == LVS_OWNERDATA && kLvsShowSelAlways == LVS_SHOWSELALWAYS);
static_assert(kWsGroup == WS_GROUP && kSbtToolTips == SBT_TOOLTIPS);

namespace {

// The structure size the message font is asked with: NONCLIENTMETRICSW with the padded border
// width of Vista and later.
constexpr UINT kNonClientMetricsSize = 504;
static_assert(sizeof(NONCLIENTMETRICSW) == kNonClientMetricsSize);

void BuildMenu(HWND window) {
    HMENU bar = CreateMenu();
    if (bar == nullptr) return;
    for (const MenuSpec& menu : kMainMenus) {
        HMENU popup = CreatePopupMenu();
        if (popup == nullptr) continue;
        for (int i = 0; i < menu.itemCount; ++i) {
            const MenuItemSpec& item = menu.items[i];
            if (item.id == 0) {
                AppendMenuW(popup, MF_SEPARATOR, 0, nullptr);
            } else {
                AppendMenuW(popup, MF_STRING | (item.checked != 0 ? MF_CHECKED : 0),
                            static_cast<UINT_PTR>(item.id), W(item.text));
            }
        }
        AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(popup), W(menu.text));
    }
    SetMenu(window, bar);
}

// The message font at dpi. The system gives its metrics at the system DPI, so the height is
// rescaled for a window on a monitor of another DPI; without them, the stock GUI font's
// description, rescaled the same way, and the stock font itself when even that fails.
HFONT MakeUiFont(int dpi) {
    const int systemDpi = WindowDpi(nullptr);
    LOGFONTW description{};
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = kNonClientMetricsSize;
    HGDIOBJ stock = GetStockObject(DEFAULT_GUI_FONT);
    if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, kNonClientMetricsSize, &metrics, 0)) {
        description = metrics.lfMessageFont;
    } else if (GetObjectW(stock, sizeof description, &description) != sizeof description) {
        return static_cast<HFONT>(stock);
    }
    description.lfHeight = RescaleForDpi(description.lfHeight, systemDpi, dpi);
    HFONT font = CreateFontIndirectW(&description);
    return font != nullptr ? font : static_cast<HFONT>(stock);
}

// Every window of this thread (top-level and child) drawn in font from gets to instead: the
// main window's controls, and the find, tree, details and list windows that were given its font.
void ReplaceFont(HFONT from, HFONT to) {
    struct Swap {
        HFONT from, to;
    } swap{from, to};
    static const WNDENUMPROC kSwapOne = [](HWND window, LPARAM context) -> BOOL {
        const Swap* s = reinterpret_cast<const Swap*>(context);
        if (reinterpret_cast<HFONT>(SendMessageW(window, WM_GETFONT, 0, 0)) == s->from)
            SendMessageW(window, WM_SETFONT, reinterpret_cast<WPARAM>(s->to), TRUE);
        return TRUE;
    };
    EnumThreadWindows(
        GetCurrentThreadId(),
        [](HWND window, LPARAM context) -> BOOL {
            kSwapOne(window, context);
            EnumChildWindows(window, kSwapOne, context);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&swap));
}

void InsertColumns(HWND list, int dpi) {
    for (int i = 0; i < kListColumnCount; ++i) {
        LVCOLUMNW column{};
        column.mask = LVCF_FMT | LVCF_TEXT | LVCF_WIDTH;
        column.fmt = LVCFMT_LEFT;
        column.cx = ScaleByDpi(kListColumns[i].width, dpi);
        column.pszText = const_cast<wchar_t*>(W(kListColumns[i].heading));
        SendMessageW(list, LVM_INSERTCOLUMNW, static_cast<WPARAM>(i),
                     reinterpret_cast<LPARAM>(&column));
    }
}

void Move(UiHandle control, const ControlRect& r) {
    if (control != nullptr) MoveWindow(H(control), r.x, r.y, r.width, r.height, TRUE);
}

} // namespace

void BuildMainWindowContents(Recording* app) {
    MainWindow* w = app->window; // made by CreateMainWindow
    HWND window = H(OwnerWindow(app));
    const int dpi = WindowDpi(window);
    BuildMenu(window);
    HFONT font = MakeUiFont(dpi);
    app->window->uiFont = font;

    // Each control at 0,0 without a size: the first WM_SIZE places it. A control that cannot
    // be made stays null, and everything that uses it checks.
    for (const ControlSpec& spec : kMainControls) {
        HWND control = CreateWindowExW(spec.exStyle, W(spec.className), W(spec.text), spec.style, 0,
                                       0, 0, ScaleByDpi(spec.createHeight, dpi), window,
                                       reinterpret_cast<HMENU>(static_cast<INT_PTR>(spec.id)),
                                       static_cast<HINSTANCE>(app->window->instance), nullptr);
        w->*spec.field = control;
        if (control == nullptr) continue;
        SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
        // Cue banners need the version 6 controls (the manifest asks for them); TRUE keeps the
        // banner while the box has the focus.
        if (spec.cueBanner != nullptr) {
            SendMessageW(control, EM_SETCUEBANNER, TRUE, reinterpret_cast<LPARAM>(W(spec.cueBanner)));
        }
        // Limits typing and pasting; WM_SETTEXT is not limited (the program never sets more).
        if (spec.textLimit != 0) SendMessageW(control, EM_SETLIMITTEXT, spec.textLimit, 0);
    }
    for (UiHandle box : {w->fileCheck, w->registryCheck, w->networkCheck, w->processCheck}) {
        if (box != nullptr) SendMessageW(H(box), BM_SETCHECK, BST_CHECKED, 0);
    }
    if (w->operationCombo != nullptr) {
        SendMessageW(H(w->operationCombo), CB_ADDSTRING, 0,
                     reinterpret_cast<LPARAM>(L"All operations"));
        SendMessageW(H(w->operationCombo), CB_SETCURSEL, 0, 0);
    }
    if (app->window->eventList != nullptr) {
        // Info tips: a cell its column cuts shows its whole text (LVN_GETINFOTIP).
        const DWORD extended = LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER | LVS_EX_INFOTIP;
        SendMessageW(H(app->window->eventList), LVM_SETEXTENDEDLISTVIEWSTYLE, extended, extended);
        InsertColumns(H(app->window->eventList), dpi);
    }
}

void MoveToDpi(HWND window, int dpi, const RECT* suggested) {
    if (dpi > 0) SetPropW(window, kDpiProperty, reinterpret_cast<HANDLE>(static_cast<intptr_t>(dpi)));
    if (suggested != nullptr) {
        SetWindowPos(window, nullptr, suggested->left, suggested->top,
                     suggested->right - suggested->left, suggested->bottom - suggested->top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
    }
}

void HandleMainDpiChange(Recording* app, int dpi, const RECT* suggested) {
    HWND window = H(OwnerWindow(app));
    const int before = WindowDpi(window);
    if (dpi > 0 && dpi != before) {
        HWND list = H(app->window->eventList);
        if (list != nullptr) {
            int widths[kListColumnCount] = {};
            for (int i = 0; i < kListColumnCount; ++i)
                widths[i] = static_cast<int>(SendMessageW(list, LVM_GETCOLUMNWIDTH, i, 0));
            RescaleColumnWidths(widths, kListColumnCount, before, dpi);
            for (int i = 0; i < kListColumnCount; ++i) {
                if (i != kPathColumn) SendMessageW(list, LVM_SETCOLUMNWIDTH, i, MAKELPARAM(widths[i], 0));
            }
        }
        HFONT old = static_cast<HFONT>(app->window->uiFont);
        HFONT font = MakeUiFont(dpi);
        app->window->uiFont = font;
        ReplaceFont(old, font);
        if (old != nullptr && old != font) DeleteObject(old);
    }
    MoveToDpi(window, dpi, suggested);
    // The rectangle may keep the size (no WM_SIZE then), while the font and the DPI changed.
    RECT client{};
    GetClientRect(window, &client);
    LayOutMainWindow(app, client.right, client.bottom);
}

void LayOutMainWindow(Recording* app, int width, int height) {
    if (app->window->targetEdit == nullptr) return;
    int statusHeight = 0;
    if (app->window->statusBar != nullptr) {
        // The status bar docks itself at the bottom when it sees the size change.
        SendMessageW(H(app->window->statusBar), WM_SIZE, 0, 0);
        RECT r{};
        GetWindowRect(H(app->window->statusBar), &r);
        statusHeight = r.bottom - r.top;
    }
    int columns[kListColumnCount] = {};
    for (int i = 0; i < kListColumnCount && app->window->eventList != nullptr; ++i) {
        columns[i] =
            static_cast<int>(SendMessageW(H(app->window->eventList), LVM_GETCOLUMNWIDTH, i, 0));
    }
    MainLayout l{};
    ComputeMainLayout(width, height, statusHeight, columns, GetSystemMetrics(SM_CXVSCROLL),
                      WindowDpi(H(OwnerWindow(app))), &l);
    Move(app->window->targetEdit, l.targetEdit);
    Move(app->window->browseButton, l.browseButton);
    Move(app->window->startButton, l.startButton);
    Move(app->window->stopButton, l.stopButton);
    Move(app->window->fileCheck, l.fileCheck);
    Move(app->window->registryCheck, l.registryCheck);
    Move(app->window->networkCheck, l.networkCheck);
    Move(app->window->processCheck, l.processCheck);
    Move(app->window->suspiciousCheck, l.suspiciousCheck);
    Move(app->window->operationCombo, l.operationCombo);
    Move(app->window->filterEdit, l.filterEdit);
    Move(app->window->clearButton, l.clearButton);
    Move(app->window->exportCsvButton, l.exportCsvButton);
    Move(app->window->eventList, l.eventList);
    if (app->window->eventList != nullptr) {
        SendMessageW(H(app->window->eventList), LVM_SETCOLUMNWIDTH, kPathColumn,
                     MAKELPARAM(l.pathColumnWidth, 0));
    }
}

int InfoTipColumn(const NMLVGETINFOTIPW* tip) {
    LVHITTESTINFO hit{};
    GetCursorPos(&hit.pt);
    ScreenToClient(tip->hdr.hwndFrom, &hit.pt);
    SendMessageW(tip->hdr.hwndFrom, LVM_SUBITEMHITTEST, 0, reinterpret_cast<LPARAM>(&hit));
    return hit.iItem == tip->iItem && hit.iSubItem >= 0 ? hit.iSubItem : 0;
}

void OfferInfoTipWhenCut(NMLVGETINFOTIPW* tip, int column, const char16_t* text) {
    HWND list = tip->hdr.hwndFrom;
    const int textWidth = static_cast<int>(
        SendMessageW(list, LVM_GETSTRINGWIDTHW, 0, reinterpret_cast<LPARAM>(W(text))));
    const int columnWidth = static_cast<int>(SendMessageW(list, LVM_GETCOLUMNWIDTH, column, 0));
    if (!CellTextIsCut(textWidth, columnWidth, WindowDpi(list))) return;
    CopyBounded(reinterpret_cast<char16_t*>(tip->pszText), static_cast<size_t>(tip->cchTextMax), text);
}

} // namespace olv
