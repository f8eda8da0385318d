#include "app/keyboard.h"

#include <set>
#include <string>

#include "app/recording_setup.h"
#include "app/commands.h"
#include "app/window_layout.h"
#include "doctest.h"
#include "platform/memory.h"
#include "platform/sim/headless_ui.h"
#include "record/recording.h"
#include "views/row_store.h"

using namespace olv;

namespace {

constexpr FocusKind kEveryFocus[] = {kFocusOther, kFocusPathBox, kFocusFilterBox, kFocusFindBox,
                                     kFocusList};
constexpr FocusKind kTextBoxes[] = {kFocusPathBox, kFocusFilterBox, kFocusFindBox};

std::u16string TextAfterTab(const char16_t* text) {
    const std::u16string s = text;
    const size_t tab = s.find(u'\t');
    return tab == std::u16string::npos ? u"" : s.substr(tab + 1);
}

} // namespace

TEST_CASE("which key gives which command, by where the focus is") {
    struct Case {
        FocusKind focus;
        uint32_t key;
        uint32_t modifiers;
        int command;
    };
    const Case cases[] = {
        // The recording's keys work everywhere; Ctrl+X only where it does not cut text.
        {kFocusPathBox, kVkF5, kModNone, kCmdStart},
        {kFocusList, kVkF5, kModShift, kCmdStop},
        {kFocusOther, 'X', kModCtrl, kCmdClear},
        {kFocusList, 'X', kModCtrl, kCmdClear},
        {kFocusPathBox, 'X', kModCtrl, 0},
        {kFocusFilterBox, 'X', kModCtrl, 0},
        {kFocusFindBox, 'X', kModCtrl, 0},
        // Rows are selected and copied only from the list; elsewhere the keys are the control's.
        {kFocusList, 'A', kModCtrl, kCmdSelectAllRows},
        {kFocusList, 'C', kModCtrl, kCmdCopyRows},
        {kFocusOther, 'A', kModCtrl, 0},
        {kFocusOther, 'C', kModCtrl, 0},
        {kFocusFilterBox, 'A', kModCtrl, 0},
        {kFocusPathBox, 'C', kModCtrl, 0},
        // Files, windows and find, from anywhere.
        {kFocusFilterBox, 'S', kModCtrl, kCmdSaveSession},
        {kFocusOther, 'O', kModCtrl, kCmdOpenSession},
        {kFocusList, 'E', kModCtrl, kCmdExportCsv},
        {kFocusPathBox, 'J', kModCtrl, kCmdExportJson},
        {kFocusList, 'L', kModCtrl, kCmdFocusFilter},
        {kFocusPathBox, 'F', kModCtrl, kCmdFind},
        {kFocusFindBox, kVkF3, kModNone, kCmdFindNext},
        {kFocusList, kVkF3, kModShift, kCmdFindPrevious},
        {kFocusOther, 'T', kModCtrl, kCmdProcessTree},
        {kFocusOther, 'U', kModCtrl, kCmdSummary},
        // Enter and Escape mean something in three boxes only.
        {kFocusPathBox, kVkReturn, kModNone, kCmdStart},
        {kFocusFindBox, kVkReturn, kModNone, kCmdFindNext},
        {kFocusFilterBox, kVkReturn, kModNone, 0},
        {kFocusOther, kVkReturn, kModNone, 0}, // a focused button is pressed by the navigation
        {kFocusList, kVkReturn, kModNone, 0},
        {kFocusFilterBox, kVkEscape, kModNone, kCmdClearFilter},
        {kFocusFindBox, kVkEscape, kModNone, kCmdCloseFind},
        {kFocusPathBox, kVkEscape, kModNone, 0},
        // Escape on the list ends the one-rule view (View > Show All Rows).
        {kFocusList, kVkEscape, kModNone, kCmdShowAllRows},
        {kFocusOther, kVkEscape, kModNone, 0},
        // The row menu from the keyboard, only on the list.
        {kFocusList, kVkF10, kModShift, kCmdRowMenu},
        {kFocusList, kVkApps, kModNone, kCmdRowMenu},
        {kFocusOther, kVkApps, kModNone, 0},
        {kFocusList, kVkF10, kModNone, 0}, // F10 alone opens the menu bar
        // Modifiers must match exactly: Alt+letter is an access key, Ctrl+Shift+S is nothing.
        {kFocusList, 'S', kModCtrl | kModShift, 0},
        {kFocusList, 'S', kModAlt, 0},
        {kFocusList, kVkF5, kModCtrl, 0},
        {kFocusOther, 'V', kModCtrl, 0},
        {kFocusOther, 'Z', kModCtrl, 0},
    };
    for (const Case& c : cases) {
        CAPTURE(static_cast<int>(c.focus));
        CAPTURE(c.key);
        CAPTURE(c.modifiers);
        CHECK(CommandForKey(c.focus, c.key, c.modifiers) == c.command);
    }

    // Enter on the list reaches the list (to open a row), not the navigation's default button.
    CHECK(KeyBypassesNavigation(kFocusList, kVkReturn, kModNone));
    CHECK(KeyBypassesNavigation(kFocusList, kVkReturn, kModShift));
    CHECK_FALSE(KeyBypassesNavigation(kFocusList, kVkReturn, kModAlt));
    CHECK_FALSE(KeyBypassesNavigation(kFocusFilterBox, kVkReturn, kModNone));
    CHECK_FALSE(KeyBypassesNavigation(kFocusList, kVkTab, kModNone));

    // No text box ever loses one of its editing keys.
    for (FocusKind box : kTextBoxes) {
        for (uint32_t key : {'X', 'C', 'V', 'A', 'Z', 'Y'}) {
            CAPTURE(key);
            CHECK(CommandForKey(box, key, kModCtrl) == 0);
        }
    }
    // No two bindings answer the same key in the same place.
    for (FocusKind focus : kEveryFocus) {
        std::set<std::pair<uint32_t, uint32_t>> seen;
        for (size_t i = 0; i < kKeyBindingCount; ++i) {
            const KeyBinding& b = kKeyBindings[i];
            if (CommandForKey(focus, b.key, b.modifiers) != b.command) continue;
            CHECK(seen.insert({b.key, b.modifiers}).second);
        }
    }
}

TEST_CASE("every key a menu shows is bound to that item's command, and every menu key is shown") {
    std::set<int> shownCommands;
    for (const MenuSpec& menu : kMainMenus) {
        for (int i = 0; i < menu.itemCount; ++i) {
            const MenuItemSpec& item = menu.items[i];
            if (item.id == 0) continue;
            const std::u16string shown = TextAfterTab(item.text);
            if (shown.empty()) continue;
            CAPTURE(std::string(shown.begin(), shown.end()));
            bool bound = false;
            for (size_t k = 0; k < kKeyBindingCount; ++k) {
                // A key a text box takes for itself (Escape empties the filter box) may mean
                // the item's command elsewhere.
                const KeyScope scope = kKeyBindings[k].scope;
                if (scope == kScopePathBox || scope == kScopeFilterBox || scope == kScopeFindBox) {
                    continue;
                }
                char16_t name[32];
                KeyName(kKeyBindings[k], name, 32);
                if (name == shown) {
                    CHECK(kKeyBindings[k].command == item.id);
                    bound = true;
                }
            }
            CHECK(bound);
            shownCommands.insert(item.id);
        }
    }
    // The keys without a menu item are the ones that act on the focused box or row.
    for (size_t k = 0; k < kKeyBindingCount; ++k) {
        const KeyBinding& b = kKeyBindings[k];
        const bool local = b.scope == kScopePathBox || b.scope == kScopeFilterBox ||
                           b.scope == kScopeFindBox || b.command == kCmdRowMenu;
        CAPTURE(b.key);
        CHECK((local || shownCommands.count(b.command) == 1));
    }
    char16_t name[32];
    KeyName(KeyBinding{kVkF3, kModShift, kScopeAnywhere, 0}, name, 32);
    CHECK(std::u16string(name) == u"Shift+F3");
    KeyName(KeyBinding{'E', kModCtrl, kScopeAnywhere, 0}, name, 32);
    CHECK(std::u16string(name) == u"Ctrl+E");
}

TEST_CASE("access keys: every button and check box has one, none collides with another or the "
          "menu bar, and each menu's items differ") {
    CHECK(AccessKeyOf(u"S&top") == u'T');
    CHECK(AccessKeyOf(u"E&xport CSV") == u'X');
    CHECK(AccessKeyOf(u"Tom && Jerry") == 0);
    CHECK(AccessKeyOf(u"A && &B") == u'B');
    CHECK(AccessKeyOf(u"trailing &") == 0);
    CHECK(AccessKeyOf(nullptr) == 0);

    std::set<char16_t> taken;
    for (const MenuSpec& menu : kMainMenus) {
        const char16_t key = AccessKeyOf(menu.text);
        CAPTURE(std::string(1, static_cast<char>(key)));
        CHECK(key != 0);
        CHECK(taken.insert(key).second);
    }
    int buttons = 0;
    for (const ControlSpec& spec : kMainControls) {
        if (std::u16string(spec.className) != u"BUTTON") continue;
        ++buttons;
        const char16_t key = AccessKeyOf(spec.text);
        CAPTURE(spec.id);
        CHECK(key != 0);
        CHECK(taken.insert(key).second);
    }
    CHECK(buttons == 10);
    for (const MenuSpec& menu : kMainMenus) {
        std::set<char16_t> items;
        for (int i = 0; i < menu.itemCount; ++i) {
            if (menu.items[i].id == 0) continue;
            CAPTURE(menu.items[i].id);
            CHECK(items.insert(AccessKeyOf(menu.items[i].text)).second);
        }
    }
    // The texts keep their words: only the access key's "&" was added.
    const std::pair<int, const char16_t*> words[] = {
        {kIdBrowseButton, u"Browse..."}, {kIdStartButton, u"Start Monitoring"},
        {kIdStopButton, u"Stop"},        {kIdClearButton, u"Clear"},
        {kIdExportCsvButton, u"Export CSV"}, {kIdFileCheck, u"File I/O"},
        {kIdRegistryCheck, u"Registry"}, {kIdNetworkCheck, u"Network"},
        {kIdProcessCheck, u"Process/DLL"}, {kIdSuspiciousCheck, u"Suspicious"}};
    for (const auto& [id, plain] : words) {
        std::u16string text = FindControlSpec(id)->text;
        text.erase(text.find(u'&'), 1);
        CHECK(text == plain);
    }
}

TEST_CASE("Tab order is reading order, and the focus kinds and availability of commands") {
    // Tab follows creation order: the first row left to right, the second, then the list.
    int lastTop = -1, lastLeft = -1;
    MainLayout l{};
    const int widths[7] = {105, 70, 150, 80, 200, 420, 110};
    ComputeMainLayout(1104, 641, 22, widths, 17, 96, &l);
    const std::pair<int, ControlRect> placed[] = {
        {kIdTargetEdit, l.targetEdit},       {kIdBrowseButton, l.browseButton},
        {kIdStartButton, l.startButton},     {kIdStopButton, l.stopButton},
        {kIdFileCheck, l.fileCheck},         {kIdRegistryCheck, l.registryCheck},
        {kIdNetworkCheck, l.networkCheck},   {kIdProcessCheck, l.processCheck},
        {kIdSuspiciousCheck, l.suspiciousCheck}, {kIdOperationCombo, l.operationCombo},
        {kIdFilterEdit, l.filterEdit},       {kIdClearButton, l.clearButton},
        {kIdExportCsvButton, l.exportCsvButton}, {kIdEventList, l.eventList}};
    int position = 0;
    for (const ControlSpec& spec : kMainControls) {
        if ((spec.style & kWsTabStop) == 0) continue;
        REQUIRE(position < 14);
        CHECK(spec.id == placed[position].first);
        const ControlRect& r = placed[position].second;
        // Each stop is right of the last on its row, or on a lower row.
        CHECK((r.y > lastTop + 8 || (r.y >= lastTop - 8 && r.x > lastLeft)));
        lastTop = r.y;
        lastLeft = r.x;
        ++position;
    }
    CHECK(position == 14);

    ResetHeadlessUi();
    Recording* app = AllocRecord<Recording>();
    InitRecording(app);
    WireControls(app, HeadlessControlHandle);
    int findBox = 0;
    app->window->find.textEdit = &findBox;
    CHECK(FocusKindOf(app, app->window->targetEdit) == kFocusPathBox);
    CHECK(FocusKindOf(app, app->window->filterEdit) == kFocusFilterBox);
    CHECK(FocusKindOf(app, &findBox) == kFocusFindBox);
    CHECK(FocusKindOf(app, app->window->eventList) == kFocusList);
    CHECK(FocusKindOf(app, app->window->startButton) == kFocusOther);
    CHECK(FocusKindOf(app, nullptr) == kFocusOther);
    app->window->find.textEdit = nullptr;
    CHECK(FocusKindOf(app, nullptr) == kFocusOther);

    CHECK(CommandAvailable(app, kCmdStart));
    CHECK_FALSE(CommandAvailable(app, kCmdStop));
    app->recording = 1;
    CHECK_FALSE(CommandAvailable(app, kCmdStart));
    CHECK(CommandAvailable(app, kCmdStop));
    CHECK(CommandAvailable(app, kCmdCopyRows));
    app->recording = 0;

    // Escape in the filter box empties it and shows every row again; Ctrl+L focuses it.
    EventRow row{};
    row.category = 9;
    AppendRow(app, &row);
    HeadlessSetText(kIdFilterEdit, u"zzz");
    DispatchCommand(app, (uintptr_t{kEnChange} << 16) | kIdFilterEdit);
    CHECK(app->shownCount == 0);
    DispatchCommand(app, kCmdClearFilter);
    CHECK(std::u16string(HeadlessText(kIdFilterEdit)).empty());
    CHECK(app->view.filter[0] == 0);
    CHECK(app->shownCount == 1);
    DispatchCommand(app, kCmdFocusFilter);
    CHECK(HeadlessModel()->focusedControl == kIdFilterEdit);
    DispatchCommand(app, kCmdSelectAllRows);
    CHECK(HeadlessModel()->list.allSelected == 1);
    CleanUpRecording(app);
    FreeBlock(app);
}

TEST_CASE("a list window's keys: copy, select all, search, menu; any other key is the list's") {
    struct Case {
        uint32_t key;
        uint32_t modifiers;
        int action;
    };
    const Case cases[] = {
        {'C', kModCtrl, kListKeyCopy},      {'A', kModCtrl, kListKeySelectAll},
        {'F', kModCtrl, kListKeySearch},    {'L', kModCtrl, kListKeySearch},
        {kVkApps, kModNone, kListKeyMenu},  {kVkApps, kModShift, kListKeyMenu},
        {kVkF10, kModShift, kListKeyMenu},  {kVkF10, kModNone, kListKeyNone},
        {'C', kModNone, kListKeyNone},      {'C', kModCtrl | kModShift, kListKeyNone},
        {kVkReturn, kModNone, kListKeyNone}, // the list's activation
        {kVkEscape, kModNone, kListKeyNone},
    };
    for (const Case& c : cases) {
        CAPTURE(c.key);
        CAPTURE(c.modifiers);
        CHECK(ListWindowKeyAction(c.key, c.modifiers) == c.action);
    }
}

TEST_CASE("a list window's Tab and Escape: round the three controls, clear the search, then close") {
    constexpr ListWindowPart kParts[] = {kListPartSearch, kListPartChoice, kListPartList};
    SUBCASE("Tab goes round forward, Shift+Tab backward, each part reached once") {
        for (const uint32_t modifiers : {uint32_t{kModNone}, uint32_t{kModShift}}) {
            ListWindowPart at = kListPartSearch;
            std::set<int> seen;
            for (int step = 0; step < 3; ++step) {
                const int move = ListWindowNavigation(at, kVkTab, modifiers, true, false);
                REQUIRE(move >= kListMoveToSearch);
                REQUIRE(move <= kListMoveToList);
                CHECK(seen.insert(move).second);
                at = move == kListMoveToSearch ? kListPartSearch
                     : move == kListMoveToChoice ? kListPartChoice : kListPartList;
            }
            CHECK(at == kListPartSearch); // back where it started
        }
        CHECK(ListWindowNavigation(kListPartSearch, kVkTab, kModNone, true, false) == kListMoveToChoice);
        CHECK(ListWindowNavigation(kListPartSearch, kVkTab, kModShift, true, false) == kListMoveToList);
        // From the headline (or any control outside the round) Tab enters it at either end.
        CHECK(ListWindowNavigation(kListPartOther, kVkTab, kModNone, true, false) == kListMoveToSearch);
        CHECK(ListWindowNavigation(kListPartOther, kVkTab, kModShift, true, false) == kListMoveToList);
        // Ctrl+Tab and Alt+Tab are not the window's.
        for (const ListWindowPart part : kParts) {
            CHECK(ListWindowNavigation(part, kVkTab, kModCtrl, true, false) == kListMoveNone);
            CHECK(ListWindowNavigation(part, kVkTab, kModAlt, true, false) == kListMoveNone);
        }
    }
    SUBCASE("Escape clears a search that holds text, and only then closes") {
        CHECK(ListWindowNavigation(kListPartSearch, kVkEscape, kModNone, false, false) == kListMoveClearSearch);
        CHECK(ListWindowNavigation(kListPartSearch, kVkEscape, kModNone, true, false) == kListMoveClose);
        CHECK(ListWindowNavigation(kListPartList, kVkEscape, kModNone, false, false) == kListMoveClose);
        CHECK(ListWindowNavigation(kListPartOther, kVkEscape, kModNone, false, false) == kListMoveClose);
        CHECK(ListWindowNavigation(kListPartChoice, kVkEscape, kModNone, true, false) == kListMoveClose);
        // An open drop-down takes Escape itself: the window stays.
        CHECK(ListWindowNavigation(kListPartChoice, kVkEscape, kModNone, true, true) == kListMoveNone);
        CHECK(ListWindowNavigation(kListPartList, kVkEscape, kModShift, true, false) == kListMoveNone);
    }
    SUBCASE("other keys are the controls' own") {
        for (const ListWindowPart part : kParts) {
            for (const uint32_t key : {uint32_t{kVkReturn}, uint32_t{'C'}, uint32_t{kVkF10}}) {
                CHECK(ListWindowNavigation(part, key, kModNone, false, false) == kListMoveNone);
            }
        }
    }
}
