#include "platform/sim/headless_ui.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "base/text.h"
#include "doctest.h"
#include "platform/memory.h"
#include "platform/thread.h"
#include "support/text_check.h"

using namespace olv;

namespace {

struct UiFixture {
    UiFixture() { ResetHeadlessUi(); }
    ~UiFixture() { ResetHeadlessUi(); }
    UiHandle Main() { return HeadlessControlById(0); }
};

constexpr uint32_t kPostsPerThread = 300;

struct Sender {
    UiHandle window;
    intptr_t tag;
};

uint32_t PostMany(void* argument) {
    const Sender* s = static_cast<const Sender*>(argument);
    for (uint32_t i = 0; i < kPostsPerThread; ++i) {
        UiPostMessage(s->window, WM_APP_TARGET_EXITED, i, s->tag);
    }
    return 0;
}

} // namespace

TEST_CASE_FIXTURE(UiFixture, "a fresh model looks like a newly created main window") {
    CHECK(UiGetCheck(HeadlessControlById(kIdFileCheck)) == kChecked);
    CHECK(UiGetCheck(HeadlessControlById(kIdProcessCheck)) == kChecked);
    CHECK(UiGetCheck(HeadlessControlById(kIdSuspiciousCheck)) == kUnchecked);
    CHECK(UiComboSelection(HeadlessControlById(kIdOperationCombo)) == 0);
    CHECK(U8(HeadlessComboItem(0)) == "All operations");
    CHECK(HeadlessControlById(kIdStopButton)->enabled == 0);
    CHECK(HeadlessControlById(kIdStartButton)->enabled == 1);
    CHECK(HeadlessMenuChecked(kCmdAutoScroll));
    CHECK_FALSE(HeadlessMenuChecked(kCmdSuspiciousOnly));
    CHECK(HeadlessControlById(4711) == nullptr);
    // Missing and foreign handles read as nothing and change nothing.
    int foreign = 0;
    CHECK(UiGetCheck(nullptr) == kUnchecked);
    CHECK(UiGetCheck(&foreign) == kUnchecked);
    UiSetText(&foreign, u"x");
    CHECK(HeadlessModel()->foreignHandleCalls == 2);
}

TEST_CASE_FIXTURE(UiFixture,
                  "combo box: bounded items, overflow counted, selection like the real control") {
    UiHandle combo = HeadlessControlById(kIdOperationCombo);
    UiComboReset(combo);
    CHECK(UiComboSelection(combo) == -1);
    std::u16string longName(70, u'n');
    UiComboAdd(combo, longName.c_str());
    CHECK(TextLength(HeadlessComboItem(0)) == kHeadlessComboChars - 1);
    CHECK(HeadlessModel()->combo.itemsCut == 1);
    for (int i = 1; i < kHeadlessComboItems + 3; ++i)
        UiComboAdd(combo, u"x");
    CHECK(HeadlessModel()->combo.count == kHeadlessComboItems);
    CHECK(HeadlessModel()->combo.itemsRefused == 3);
    UiComboSetSelection(combo, 5);
    CHECK(UiComboSelection(combo) == 5);
    UiComboSetSelection(combo, kHeadlessComboItems);
    CHECK(UiComboSelection(combo) == -1);
    char16_t text[4];
    CHECK(UiComboItemText(combo, 0, text, 4));
    CHECK(U8(text) == "nnn");
    CHECK_FALSE(UiComboItemText(combo, -1, text, 4));
}

TEST_CASE_FIXTURE(UiFixture, "message boxes: answers, the log and the echo") {
    FILE* echo = std::tmpfile();
    REQUIRE(echo != nullptr);
    SetHeadlessMessageBoxEcho(echo);
    HeadlessQueueAnswer(kAnswerYes);
    // An OK box takes no scripted answer; the question gets it; the next falls back to No.
    CHECK(UiMessageBox(Main(), u"File not found.", u"Olvetta", kIconError, kButtonsOk) ==
          kAnswerOk);
    CHECK(UiMessageBox(Main(), u"Start\n\nanyway?", u"Olvetta", kIconWarning,
                       kButtonsYesNoDefaultNo) == kAnswerYes);
    CHECK(UiMessageBox(nullptr, u"Again?", u"Olvetta", kIconQuestion, kButtonsYesNoDefaultNo) ==
          kAnswerNo);
    std::u16string huge(kHeadlessMessageChars + 10, u'a');
    UiMessageBox(Main(), huge.c_str(), u"Olvetta", kIconInformation, kButtonsOk);
    SetHeadlessMessageBoxEcho(nullptr);

    CHECK(HeadlessModel()->messageBoxCount == 4);
    CHECK(HeadlessModel()->messageTextsCut == 1);
    const HeadlessMessageBox* second = HeadlessMessageBoxAt(1);
    REQUIRE(second != nullptr);
    CHECK(U8(second->text) == "Start\n\nanyway?");
    CHECK(second->icon == kIconWarning);
    CHECK(second->owned == 1);
    CHECK(HeadlessMessageBoxAt(2)->owned == 0);
    CHECK(HeadlessLastMessageBox()->textCut == 1);

    std::rewind(echo);
    char line[128] = {};
    REQUIRE(std::fgets(line, sizeof line, echo) != nullptr);
    CHECK(std::string(line) == "[error] File not found.\n");
    REQUIRE(std::fgets(line, sizeof line, echo) != nullptr);
    CHECK(std::string(line) == "[warning] Start\\n\\nanyway?\n");
    REQUIRE(std::fgets(line, sizeof line, echo) != nullptr);
    CHECK(std::string(line) == "[question] Again?\n");
    std::fclose(echo);

    // Only the last 64 boxes are kept; older ones are gone, not wrong.
    for (int i = 0; i < kHeadlessMessageLog; ++i) {
        UiMessageBox(Main(), u"x", u"Olvetta", kIconWarning, kButtonsOk);
    }
    CHECK(HeadlessMessageBoxAt(3) == nullptr);
    CHECK(HeadlessMessageBoxAt(4) != nullptr);
}

TEST_CASE_FIXTURE(UiFixture,
                  "file dialogs take scripted paths, cancel, and refuse paths too long") {
    const char16_t filter[] = u"CSV (*.csv)\0*.csv\0";
    HeadlessQueueDialogPath(u"C:\\a.csv");
    HeadlessQueueDialogCancel();
    HeadlessQueueDialogPath(u"C:\\a.csv");
    char16_t path[32] = u"proposed";
    CHECK(UiSaveFileDialog(Main(), filter, u"csv", kOfnOverwritePrompt, path, 32));
    CHECK(U8(path) == "C:\\a.csv");
    const HeadlessDialog& d = HeadlessModel()->lastDialog;
    CHECK(U8(d.initialPath) == "proposed");
    CHECK(d.filter[11] == 0);
    CHECK(U8(d.filter + 12) == "*.csv");
    CHECK(U8(d.defaultExtension) == "csv");
    CHECK(d.flags == kOfnOverwritePrompt);
    CHECK_FALSE(UiOpenFileDialog(Main(), filter, kOfnFileMustExist, path, 32)); // cancelled
    char16_t small[8] = u"";
    CHECK_FALSE(UiOpenFileDialog(Main(), filter, kOfnFileMustExist, small, 8));
    CHECK(HeadlessModel()->dialogPathsTooLong == 1);
    CHECK(small[0] == 0);
    CHECK_FALSE(UiOpenFileDialog(Main(), filter, 0, path, 32)); // nothing queued: cancelled
    CHECK(HeadlessModel()->dialogCount == 4);
}

TEST_CASE_FIXTURE(UiFixture, "fonts, timers, shell, clipboard and destroying the window") {
    FontHandle font = HeadlessMakeFont();
    UiDeleteFont(font);
    UiDeleteFont(font);
    UiDeleteFont(nullptr);
    CHECK(HeadlessModel()->fontsDeleted == 1);
    CHECK(HeadlessModel()->badFontDeletes == 1);

    CHECK(UiSetTimer(Main(), TIMER_DRAIN, 100));
    CHECK(HeadlessTimerPeriod(TIMER_DRAIN) == 100);
    UiKillTimer(Main(), TIMER_DRAIN);
    CHECK(HeadlessTimerPeriod(TIMER_DRAIN) == 0);
    HeadlessSetTimersFail(true);
    CHECK_FALSE(UiSetTimer(Main(), TIMER_DRAIN, 100));

    HeadlessQueueShellResult(2);
    CHECK(UiShellExecute(Main(), u"open", u"explorer.exe", u"/select,\"C:\\a\"") == 2);
    CHECK(UiShellExecute(Main(), u"open", u"x", nullptr) == kHeadlessShellSuccess);
    CHECK(U8(HeadlessModel()->shellLog[0].parameters) == "/select,\"C:\\a\"");

    CHECK(UiSetClipboardText(Main(), u"C:\\a"));
    CHECK(U8(HeadlessModel()->clipboard) == "C:\\a");
    HeadlessSetClipboardFails(true);
    CHECK_FALSE(UiSetClipboardText(Main(), u"C:\\b"));
    CHECK(U8(HeadlessModel()->clipboard) == "C:\\a");

    // The destroy handler runs while the controls still exist; afterwards none does.
    static bool sawStatusBar = false;
    HeadlessSetDestroyHandler(
        [](void*) { sawStatusBar = UiIsWindow(HeadlessControlById(kIdStatusBar)); }, nullptr);
    UiDestroyWindow(Main());
    CHECK(sawStatusBar);
    CHECK_FALSE(UiIsWindow(Main()));
    CHECK_FALSE(UiIsWindow(HeadlessControlById(kIdStatusBar)));
    CHECK_FALSE(UiPostMessage(Main(), WM_APP_TARGET_EXITED, 0, 0));
}

TEST_CASE_FIXTURE(UiFixture,
                  "messages posted from other threads arrive in order, failures are counted") {
    Sender senders[2] = {{Main(), 0}, {Main(), 1}};
    ThreadHandle threads[2];
    for (int i = 0; i < 2; ++i)
        threads[i] = StartThread(PostMany, &senders[i], nullptr);
    for (ThreadHandle t : threads)
        JoinThread(t);
    CHECK(HeadlessPostedCount() == 2 * kPostsPerThread);
    HeadlessPostedMessage m{};
    uint32_t next[2] = {0, 0};
    uint32_t taken = 0;
    bool ordered = true;
    while (HeadlessTakePostedMessage(&m)) {
        // The senders interleave; each sender's own messages keep their order.
        const bool known = m.message == WM_APP_TARGET_EXITED && (m.lParam == 0 || m.lParam == 1);
        ordered = ordered && known && m.wParam == next[known ? m.lParam : 0]++;
        ++taken;
    }
    CHECK(ordered);
    CHECK(taken == 2 * kPostsPerThread);

    HeadlessFailNextPosts(1);
    CHECK_FALSE(UiPostMessage(Main(), WM_APP_TARGET_EXITED, 1, 0));
    CHECK(UiPostMessage(Main(), WM_APP_TARGET_EXITED, 2, 0));
    CHECK(HeadlessPostsRefused() == 1);
    CHECK_FALSE(UiPostMessage(HeadlessControlById(kIdStatusBar), WM_APP_TARGET_EXITED, 0, 0));

    // A stop text still queued at a reset is freed with it.
    const int64_t live = LiveAllocationCount();
    void* text = AllocZeroed(16);
    CHECK(UiPostMessage(Main(), WM_APP_TRACE_STOPPED, 0, reinterpret_cast<intptr_t>(text)));
    ResetHeadlessUi();
    CHECK(LiveAllocationCount() == live);
    CHECK(HeadlessPostedCount() == 0);
}
