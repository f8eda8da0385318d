#include "app/keyboard.h"

#include "app/window_state.h"
#include "base/format.h"
#include "base/text.h"
#include "platform/ui.h"
#include "views/sigma_rows.h"

namespace olv {

const KeyBinding kKeyBindings[] = {
    {kVkF5, kModNone, kScopeAnywhere, kCmdStart},
    {kVkF5, kModShift, kScopeAnywhere, kCmdStop},
    {'X', kModCtrl, kScopeNotInTextBox, kCmdClear},
    {'O', kModCtrl, kScopeAnywhere, kCmdOpenSession},
    {'S', kModCtrl, kScopeAnywhere, kCmdSaveSession},
    {'E', kModCtrl, kScopeAnywhere, kCmdExportCsv},
    {'J', kModCtrl, kScopeAnywhere, kCmdExportJson},
    {'L', kModCtrl, kScopeAnywhere, kCmdFocusFilter},
    {'F', kModCtrl, kScopeAnywhere, kCmdFind},
    {kVkF3, kModNone, kScopeAnywhere, kCmdFindNext},
    {kVkF3, kModShift, kScopeAnywhere, kCmdFindPrevious},
    {'T', kModCtrl, kScopeAnywhere, kCmdProcessTree},
    {'U', kModCtrl, kScopeAnywhere, kCmdSummary},
    {'A', kModCtrl, kScopeList, kCmdSelectAllRows},
    {'C', kModCtrl, kScopeList, kCmdCopyRows},
    {kVkReturn, kModNone, kScopePathBox, kCmdStart},
    {kVkReturn, kModNone, kScopeFindBox, kCmdFindNext},
    {kVkEscape, kModNone, kScopeFilterBox, kCmdClearFilter},
    {kVkEscape, kModNone, kScopeFindBox, kCmdCloseFind},
    {kVkEscape, kModNone, kScopeList, kCmdShowAllRows},
    {kVkF10, kModShift, kScopeList, kCmdRowMenu},
    {kVkApps, kModNone, kScopeList, kCmdRowMenu},
    {kVkApps, kModShift, kScopeList, kCmdRowMenu},
};
const size_t kKeyBindingCount = sizeof kKeyBindings / sizeof kKeyBindings[0];

const char16_t kFindTitle[] = u"Find";

// The label's access key moves to the box after it; Enter is Find Next, Escape closes.
const FindWindowControl kFindControls[kFindControlCount] = {
    {kIdFindLabel, kFindStatic, u"Fi&nd what:", true, 8, 12, 64, 16},
    {kIdFindText, kFindEdit, u"", false, 76, 9, 200, 22},
    {kIdFindMatchCase, kFindCheck, u"Match &case", true, 76, 38, 110, 20},
    {kIdFindUp, kFindRadio, u"&Up", true, 190, 38, 40, 20},
    {kIdFindDown, kFindRadio, u"&Down", false, 234, 38, 56, 20},
    {kIdFindNextButton, kFindDefaultButton, u"Find Ne&xt", true, 288, 8, 84, 26},
    {kIdFindCloseButton, kFindButton, u"Close", false, 288, 40, 84, 26},
    {kIdFindMessage, kFindStatic, u"", true, 8, 72, 364, 32},
};

namespace {

bool InScope(KeyScope scope, FocusKind focus) {
    const bool textBox =
        focus == kFocusPathBox || focus == kFocusFilterBox || focus == kFocusFindBox;
    switch (scope) {
    case kScopeAnywhere:
        return true;
    case kScopeNotInTextBox:
        return !textBox;
    case kScopeList:
        return focus == kFocusList;
    case kScopePathBox:
        return focus == kFocusPathBox;
    case kScopeFilterBox:
        return focus == kFocusFilterBox;
    case kScopeFindBox:
        return focus == kFocusFindBox;
    }
    return false;
}

const char16_t* FunctionKeyName(uint32_t key) {
    switch (key) {
    case kVkReturn:
        return u"Enter";
    case kVkEscape:
        return u"Esc";
    case kVkApps:
        return u"Menu";
    default:
        return nullptr;
    }
}

} // namespace

int ListWindowKeyAction(uint32_t key, uint32_t modifiers) {
    if (modifiers == kModCtrl && key == 'C') return kListKeyCopy;
    if (modifiers == kModCtrl && key == 'A') return kListKeySelectAll;
    if (modifiers == kModCtrl && (key == 'F' || key == 'L')) return kListKeySearch;
    if ((modifiers == kModShift && key == kVkF10) ||
        (key == kVkApps && (modifiers == kModNone || modifiers == kModShift))) {
        return kListKeyMenu;
    }
    return kListKeyNone;
}

int ListWindowNavigation(ListWindowPart part, uint32_t key, uint32_t modifiers, bool searchEmpty,
                         bool choiceOpen) {
    if (key == kVkTab && (modifiers == kModNone || modifiers == kModShift)) {
        const bool back = modifiers == kModShift;
        switch (part) {
        case kListPartSearch:
            return back ? kListMoveToList : kListMoveToChoice;
        case kListPartChoice:
            return back ? kListMoveToSearch : kListMoveToList;
        case kListPartList:
            return back ? kListMoveToChoice : kListMoveToSearch;
        case kListPartOther:
            return back ? kListMoveToList : kListMoveToSearch;
        }
        return kListMoveNone;
    }
    if (key != kVkEscape || modifiers != kModNone) return kListMoveNone;
    if (part == kListPartSearch && !searchEmpty) return kListMoveClearSearch;
    if (part == kListPartChoice && choiceOpen) return kListMoveNone;
    return kListMoveClose;
}

int CommandForKey(FocusKind focus, uint32_t key, uint32_t modifiers) {
    for (const KeyBinding& b : kKeyBindings) {
        if (b.key == key && b.modifiers == modifiers && InScope(b.scope, focus)) return b.command;
    }
    return 0;
}

bool KeyBypassesNavigation(FocusKind focus, uint32_t key, uint32_t modifiers) {
    return focus == kFocusList && key == kVkReturn && (modifiers & (kModCtrl | kModAlt)) == 0;
}

FocusKind FocusKindOf(const Recording* app, UiHandle focus) {
    const MainWindow* w = app->window;
    if (focus == nullptr || w == nullptr) return kFocusOther;
    if (focus == w->eventList) return kFocusList;
    if (focus == w->targetEdit) return kFocusPathBox;
    if (focus == w->filterEdit) return kFocusFilterBox;
    if (focus == w->find.textEdit) return kFocusFindBox;
    return kFocusOther;
}

void KeyName(const KeyBinding& binding, char16_t* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return;
    out[0] = 0;
    if ((binding.modifiers & kModCtrl) != 0) AppendBounded(out, capacity, u"Ctrl+");
    if ((binding.modifiers & kModAlt) != 0) AppendBounded(out, capacity, u"Alt+");
    if ((binding.modifiers & kModShift) != 0) AppendBounded(out, capacity, u"Shift+");
    if (binding.key >= 0x70 && binding.key <= 0x87) {
        AppendFormat(out, capacity, u"F%u", binding.key - 0x6F);
    } else if (const char16_t* name = FunctionKeyName(binding.key)) {
        AppendBounded(out, capacity, name);
    } else {
        const char16_t letter[2] = {static_cast<char16_t>(binding.key), 0};
        AppendBounded(out, capacity, letter);
    }
}

char16_t AccessKeyOf(const char16_t* text) {
    for (size_t i = 0; text != nullptr && text[i] != 0; ++i) {
        if (text[i] != u'&') continue;
        const char16_t next = text[i + 1];
        if (next == u'&') {
            ++i; // a literal ampersand
            continue;
        }
        if (next == 0) return 0;
        return next >= u'a' && next <= u'z' ? static_cast<char16_t>(next - 32) : next;
    }
    return 0;
}

bool CommandAvailable(const Recording* app, int command) {
    switch (command) {
    case kCmdStart:
        return app->recording == 0;
    case kCmdStop:
        return app->recording != 0;
    case kCmdShowAllRows:
        return SigmaRuleView(app) >= 0;
    default:
        return true;
    }
}

} // namespace olv
