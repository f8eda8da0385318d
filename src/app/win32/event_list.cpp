// The event list's notifications: cell texts, row colours and the right-click menu. The texts,
// colours and commands come from views/view_texts.
#include "app/win32/shell.h"
#include "base/text.h"
#include "views/sigma_texts.h"
#include "views/view_texts.h"

namespace olv {

static_assert(kCddsPrepaint == CDDS_PREPAINT && kCddsItemPrepaint == CDDS_ITEMPREPAINT);
static_assert(kCdrfNewFont == CDRF_NEWFONT && kCdrfNotifyItemDraw == CDRF_NOTIFYITEMDRAW);

namespace {

// The one display buffer: the list copies or draws a cell's text before it asks for the next.
char16_t gDisplayText[kDisplayBufferChars];

void AnswerDisplayText(AppState* app, NMLVDISPINFOW* info) {
    // A request for an item that no longer exists stays unanswered; the list asks again after
    // the next count change.
    if (ListDisplayText(app, info->item.iItem, info->item.iSubItem, gDisplayText,
                        kDisplayBufferChars)) {
        info->item.pszText = W(gDisplayText);
    }
}

LRESULT AnswerCustomDraw(AppState* app, NMLVCUSTOMDRAW* draw) {
    uint32_t colour = 0;
    bool hasColour = false;
    const uint32_t result =
        ListRowColour(app, draw->nmcd.dwDrawStage, static_cast<int>(draw->nmcd.dwItemSpec),
                      &colour, &hasColour);
    if (hasColour) draw->clrTextBk = colour;
    return result;
}

void ShowContextMenu(AppState* app, int item) {
    char16_t path[1024];
    ContextMenuPath(app, item, path, 1024); // under rowsLock, released before the menu shows
    if (item < 0) return;
    HMENU menu = CreatePopupMenu();
    if (menu == nullptr) return;
    if (!TextIsEmpty(path)) {
        AppendMenuW(menu, MF_STRING, kMenuShowInExplorer, L"Show in Explorer");
        AppendMenuW(menu, MF_STRING, kMenuCopyPath, L"Copy path");
        AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    }
    AppendMenuW(menu, MF_STRING, kMenuRulesMatched, L"Rules Matched...");
    POINT at{};
    GetCursorPos(&at);
    const int command = static_cast<int>(TrackPopupMenu(menu, TPM_RIGHTBUTTON | TPM_RETURNCMD,
                                                        at.x, at.y, 0, H(app->mainWindow),
                                                        nullptr));
    DestroyMenu(menu);
    RunContextMenuCommand(app, path, command);
    if (command == kMenuRulesMatched) ShowRulesMatched(app, item);
}

} // namespace

LRESULT HandleListNotify(AppState* app, const NMHDR* header) {
    if (header == nullptr || header->idFrom != kIdEventList) return 0;
    switch (header->code) {
    case NM_CUSTOMDRAW:
        return AnswerCustomDraw(app, reinterpret_cast<NMLVCUSTOMDRAW*>(const_cast<NMHDR*>(header)));
    case LVN_GETDISPINFOW:
        AnswerDisplayText(app, reinterpret_cast<NMLVDISPINFOW*>(const_cast<NMHDR*>(header)));
        return 0;
    case NM_RCLICK:
        ShowContextMenu(app, reinterpret_cast<const NMITEMACTIVATE*>(header)->iItem);
        return 0;
    default:
        return 0;
    }
}

} // namespace olv
