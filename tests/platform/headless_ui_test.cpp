#include "platform/sim/headless_ui.h"

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

TEST_CASE_FIXTURE(UiFixture, "message boxes: answers and the log") {
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

    CHECK(HeadlessModel()->messageBoxCount == 4);
    CHECK(HeadlessModel()->messageTextsCut == 1);
    const HeadlessMessageBox* second = HeadlessMessageBoxAt(1);
    REQUIRE(second != nullptr);
    CHECK(U8(second->text) == "Start\n\nanyway?");
    CHECK(second->icon == kIconWarning);
    CHECK(second->owned == 1);
    CHECK(HeadlessMessageBoxAt(2)->owned == 0);
    CHECK(HeadlessLastMessageBox()->textCut == 1);

    // Only the last 64 boxes are kept; older ones are gone, not wrong.
    for (int i = 0; i < kHeadlessMessageLog; ++i) {
        UiMessageBox(Main(), u"x", u"Olvetta", kIconWarning, kButtonsOk);
    }
    CHECK(HeadlessMessageBoxAt(3) == nullptr);
    CHECK(HeadlessMessageBoxAt(4) != nullptr);
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
