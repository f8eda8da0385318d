// "Process Tree": a tree view filled in the order views/process_tree computes.
#include "app/win32/shell.h"
#include "platform/memory.h"
#include "views/process_tree.h"
#include "views/win32/aux_window.h"

namespace olv {

namespace {

void* InsertTreeViewItem(void* context, const ProcessTreeNode* node, void* parentItem) {
    wchar_t text[96];
    ProcessTreeItemText(node, reinterpret_cast<char16_t*>(text), 96);
    TVINSERTSTRUCTW insert{};
    insert.hParent = parentItem != nullptr ? static_cast<HTREEITEM>(parentItem) : TVI_ROOT;
    insert.hInsertAfter = TVI_LAST;
    insert.item.mask = TVIF_TEXT;
    insert.item.pszText = text;
    return reinterpret_cast<void*>(SendMessageW(static_cast<HWND>(context), TVM_INSERTITEMW, 0,
                                                reinterpret_cast<LPARAM>(&insert)));
}

void ExpandRoots(HWND tree) {
    HTREEITEM root = reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, TVGN_ROOT, 0));
    while (root != nullptr) {
        SendMessageW(tree, TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(root));
        root = reinterpret_cast<HTREEITEM>(
            SendMessageW(tree, TVM_GETNEXTITEM, TVGN_NEXT, reinterpret_cast<LPARAM>(root)));
    }
}

} // namespace

void ShowProcessTreeWindow(AppState* app) {
    ProcessTreeNode* nodes =
        static_cast<ProcessTreeNode*>(AllocZeroed(sizeof(ProcessTreeNode) * kProcessTreeNodes));
    if (nodes == nullptr) return;
    const int32_t count = CollectProcessTreeNodes(app, nodes, kProcessTreeNodes);
    HWND window = CreateAuxWindow(app, L"Process Tree", 560, 600);
    if (window != nullptr) {
        RECT client{};
        GetClientRect(window, &client);
        HWND tree = CreateWindowExW(WS_EX_CLIENTEDGE, WC_TREEVIEWW, L"",
                                    WS_CHILD | WS_VISIBLE | TVS_HASBUTTONS | TVS_HASLINES |
                                        TVS_LINESATROOT,
                                    0, 0, client.right, client.bottom, window, nullptr,
                                    static_cast<HINSTANCE>(app->instance), nullptr);
        if (tree != nullptr) {
            SendMessageW(tree, WM_SETFONT, reinterpret_cast<WPARAM>(app->uiFont), TRUE);
            PlaceProcessTree(nodes, count, InsertTreeViewItem, tree);
            ExpandRoots(tree);
        }
        ShowWindow(window, SW_SHOW);
    }
    FreeBlock(nodes);
}

} // namespace olv
