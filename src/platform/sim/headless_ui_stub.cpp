// Placeholder until the real implementation lands; delete this file when it does.
#include "platform/ui.h"

namespace olv {

void UiListSetItemCount(UiHandle, int) {}
void UiListInvalidate(UiHandle, bool) {}
void UiListEnsureVisible(UiHandle, int) {}
void UiComboReset(UiHandle) {}
void UiComboAdd(UiHandle, const char16_t*) {}
void UiComboSetSelection(UiHandle, int) {}
int UiComboSelection(UiHandle) { return 0; }
bool UiComboItemText(UiHandle, int, char16_t*, size_t) { return false; }
int UiGetCheck(UiHandle) { return 0; }
void UiSetCheck(UiHandle, int) {}
void UiGetText(UiHandle, char16_t*, size_t) {}
void UiSetText(UiHandle, const char16_t*) {}
void UiEnable(UiHandle, bool) {}
void UiSetStatusText(UiHandle, const char16_t*) {}
void UiCheckMenuItem(UiHandle, int, bool) {}
void UiDeleteFont(FontHandle) {}
bool UiSetTimer(UiHandle, uintptr_t, uint32_t) { return false; }
void UiKillTimer(UiHandle, uintptr_t) {}
bool UiPostMessage(UiHandle, uint32_t, uintptr_t, intptr_t) { return false; }
bool UiIsWindow(UiHandle) { return false; }
void UiDestroyWindow(UiHandle) {}
int UiMessageBox(UiHandle, const char16_t*, const char16_t*, int, int) { return 0; }
bool UiSaveFileDialog(UiHandle, const char16_t*, const char16_t*, uint32_t, char16_t*, size_t) { return false; }
bool UiOpenFileDialog(UiHandle, const char16_t*, uint32_t, char16_t*, size_t) { return false; }
intptr_t UiShellExecute(UiHandle, const char16_t*, const char16_t*, const char16_t*) { return 0; }
bool UiSetClipboardText(UiHandle, const char16_t*) { return false; }

} // namespace olv
