// The event list's notifications: cell texts, row colours, the right-click menu, header clicks
// (sort) and activation (row details). The texts, colours, order and commands come from views/.
#include "app/win32/shell.h"
#include "app/window_commands.h"
#include "app/window_layout.h"
#include "base/text.h"
#include "views/sigma_texts.h"
#include "views/process_filter.h"
#include "views/row_details.h"
#include "views/row_sort.h"
#include "app/row_copy.h"
#include "views/copy_rows.h"
#include "views/view_texts.h"

namespace olv {

static_assert(kCddsPrepaint == CDDS_PREPAINT && kCddsItemPrepaint == CDDS_ITEMPREPAINT);
static_assert(kCdrfNewFont == CDRF_NEWFONT && kCdrfNotifyItemDraw == CDRF_NOTIFYITEMDRAW);

namespace {

// Cell texts are answered from a ring of buffers: the list view may keep the text of one request
// while it asks for the next two (an item and its sub-items measured together), so each answer
// stays intact until kDisplaySlots - 1 more have been given.
constexpr int kDisplaySlots = 3;
char16_t gDisplayText[kDisplaySlots][kDisplayBufferChars];
int gNextDisplaySlot = 0;

void AnswerDisplayText(Recording* app, NMLVDISPINFOW* info) {
    // A request for an item that no longer exists stays unanswered (and takes no slot); the list
    // asks again after the next count change.
    char16_t* slot = gDisplayText[gNextDisplaySlot];
    if (ListDisplayText(app, info->item.iItem, info->item.iSubItem, slot, kDisplayBufferChars)) {
        info->item.pszText = W(slot);
        gNextDisplaySlot = (gNextDisplaySlot + 1) % kDisplaySlots;
    }
}

LRESULT AnswerCustomDraw(Recording* app, NMLVCUSTOMDRAW* draw) {
    uint32_t colour = 0;
    bool hasColour = false;
    const uint32_t result =
        ListRowColour(app, draw->nmcd.dwDrawStage, static_cast<int>(draw->nmcd.dwItemSpec),
                      &colour, &hasColour);
    if (hasColour) draw->clrTextBk = colour;
    return result;
}

// The row menu for item at a screen point; column is the cell "Copy Cell" copies. Rows without a
// path have the path items greyed.
void ShowContextMenu(Recording* app, int item, int column, POINT at) {
    if (item < 0) return; // beside the items
    char16_t path[1024];
    ContextMenuPath(app, item, path, 1024); // under rowsLock, released before the menu shows
    HMENU menu = CreatePopupMenu();
    if (menu == nullptr) return;
    const UINT pathState = TextIsEmpty(path) ? MF_GRAYED : MF_ENABLED;
    AppendMenuW(menu, MF_STRING | pathState, kMenuShowInExplorer, L"Show in Explorer");
    AppendMenuW(menu, MF_STRING | pathState, kMenuCopyPath, L"Copy path");
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, kMenuCopyRows, L"Copy Rows\tCtrl+C");
    AppendMenuW(menu, MF_STRING, kMenuCopyCell, L"Copy Cell");
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, kMenuRulesMatched, L"Rules Matched...");
    AppendMenuW(menu, MF_STRING, kMenuRowDetails, L"Row &Details");
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    for (const ProcessMenuEntry& entry : kProcessMenu)
        AppendMenuW(menu, MF_STRING, static_cast<UINT_PTR>(entry.command), W(entry.text));
    const int command = static_cast<int>(TrackPopupMenu(menu, TPM_RIGHTBUTTON | TPM_RETURNCMD, at.x,
                                                        at.y, 0, H(OwnerWindow(app)), nullptr));
    DestroyMenu(menu);
    if (command == kMenuCopyRows) {
        CopySelectedRows(app);
    } else if (command == kMenuCopyCell) {
        CopyCell(app, item, column);
    } else {
        RunListMenuCommand(app, command, item, path);
    }
}

// The focused item (-1: none): what a header click keeps in view, and what Enter opens.
int FocusedItem(Recording* app) {
    return static_cast<int>(SendMessageW(H(app->window->eventList), LVM_GETNEXTITEM,
                                         static_cast<WPARAM>(-1), LVNI_FOCUSED));
}

// LVN_GETINFOTIP: the full text of the cell under the pointer when its column cuts it.
char16_t gTipText[kDisplayBufferChars];

void AnswerInfoTip(Recording* app, NMLVGETINFOTIPW* tip) {
    if (tip->pszText == nullptr || tip->cchTextMax <= 0) return;
    const int column = InfoTipColumn(tip);
    tip->pszText[0] = 0;
    if (!ListDisplayText(app, tip->iItem, column, gTipText, kDisplayBufferChars)) return;
    OfferInfoTipWhenCut(tip, column, gTipText);
}

} // namespace

LRESULT HandleListNotify(Recording* app, const NMHDR* header) {
    if (header == nullptr || header->idFrom != kIdEventList) return 0;
    switch (header->code) {
    case NM_CUSTOMDRAW:
        return AnswerCustomDraw(app, reinterpret_cast<NMLVCUSTOMDRAW*>(const_cast<NMHDR*>(header)));
    case LVN_GETDISPINFOW:
        AnswerDisplayText(app, reinterpret_cast<NMLVDISPINFOW*>(const_cast<NMHDR*>(header)));
        return 0;
    case NM_RCLICK: {
        const NMITEMACTIVATE* click = reinterpret_cast<const NMITEMACTIVATE*>(header);
        POINT at{};
        GetCursorPos(&at);
        ShowContextMenu(app, click->iItem, click->iSubItem, at);
        return 0;
    }
    case LVN_GETINFOTIPW:
        AnswerInfoTip(app, reinterpret_cast<NMLVGETINFOTIPW*>(const_cast<NMHDR*>(header)));
        return 0;
    case LVN_COLUMNCLICK:
        SortByColumnClick(app, reinterpret_cast<const NMLISTVIEW*>(header)->iSubItem,
                          FocusedItem(app));
        return 0;
    case LVN_ITEMACTIVATE: // double-click, or Enter on the focused item
        ShowRowDetailsWindow(app, FocusedItem(app));
        return 0;
    default:
        return 0;
    }
}

void ShowRowMenuAtFocus(Recording* app) {
    HWND list = H(app->window->eventList);
    if (list == nullptr) return;
    int item = UiListFocusedItem(app->window->eventList);
    if (item < 0) item = UiListNextSelected(app->window->eventList, -1);
    if (item < 0) return;
    SendMessageW(list, LVM_ENSUREVISIBLE, static_cast<WPARAM>(item), FALSE);
    RECT r{};
    r.left = LVIR_BOUNDS;
    SendMessageW(list, LVM_GETITEMRECT, static_cast<WPARAM>(item), reinterpret_cast<LPARAM>(&r));
    // Below the row's start, a little in, as the menu key places a menu in any list.
    POINT at{r.left + (r.bottom - r.top), r.bottom};
    ClientToScreen(list, &at);
    ShowContextMenu(app, item, kPathColumn, at);
}

} // namespace olv
