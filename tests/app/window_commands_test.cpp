// The window's side of the core's windows, boxes and questions: what it opens with a window, that
// nothing opens without one (the console program), and the question before rows are lost.
#include "app/window_commands.h"

#include <string>

#include "app/file_commands.h"
#include "app/recording_setup.h"
#include "app/row_copy.h"
#include "app/window_layout.h"
#include "app/window_state.h"
#include "base/text.h"
#include "doctest.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "platform/sim/headless_ui.h"
#include "platform/sim/headless_windows.h"
#include "report/discard.h"
#include "views/row_store.h"

using namespace olv;

namespace {

struct Window {
    Recording* app = AllocRecord<Recording>();

    explicit Window(bool withWindow) {
        ResetHeadlessUi();
        ResetHeadlessWindows();
        InitRecording(app);
        if (withWindow) {
            WireControls(app, HeadlessControlHandle);
        } else {
            FreeMainWindow(app); // as the console program runs
        }
        AddStart(100, 7, u"a.exe", u"C:\\Samples\\a.exe -x");
        AddStart(200, 100, u"cmd.exe", u"cmd.exe /c b.bat");
        RebuildShownRows(app);
    }
    ~Window() {
        CleanUpRecording(app);
        FreeBlock(app);
        SetSimulatedFileAttributes(nullptr, false);
    }
    void AddStart(uint32_t pid, uint32_t parent, const char16_t* name, const char16_t* path) {
        EventRow row{};
        row.category = kCategoryProcess;
        row.pid = pid;
        row.parentPid = parent;
        row.time = SystemTime{2026, 12, 0, 6, 9, 8, 7, 654};
        CopyBounded(row.process, kProcessChars, name);
        CopyBounded(row.operation, kOperationChars, u"Started child process");
        CopyBounded(row.path, kPathChars, path);
        AppendRow(app, &row);
    }
    // Every window command of the main window and the list's menus, once.
    void RunEveryCommand() {
        ShowSummaryWindow(app);
        ShowProcessTreeWindow(app);
        ShowSigmaRulesWindow(app);
        ShowRowDetailsWindow(app, 0);
        ShowRulesMatched(app, 0);
        RunListMenuCommand(app, kMenuRowDetails, 1, u"C:\\Samples\\a.exe");
        RunProcessMenuCommand(app, kMenuCopyCommandLine, 1);
        RunContextMenuCommand(app, u"C:\\Samples\\a.exe", kMenuCopyPath);
        SetSimulatedFileAttributes(u"C:\\Samples\\a.exe", false);
        RunContextMenuCommand(app, u"C:\\Samples\\a.exe", kMenuShowInExplorer);
        RunContextMenuCommand(app, u"C:\\Samples\\gone.exe", kMenuShowInExplorer);
        const int32_t items[] = {0, 1};
        CopyShownItems(app, items, 2);
        CopyCell(app, 0, 0);
    }
};

} // namespace

TEST_CASE("the window opens the core's windows and hands on its texts; without one nothing opens") {
    SUBCASE("with the main window: each window, copy, Explorer and the refusal once") {
        Window w(true);
        w.RunEveryCommand();
        CHECK(HeadlessSummaryWindowCount() == 1);
        CHECK(HeadlessProcessTreeWindowCount() == 1);
        CHECK(HeadlessListWindowCount() == 1);
        CHECK(HeadlessDetailsWindowCount() == 3); // two rows' details and Rules Matched
        CHECK(HeadlessModel()->clipboardSets == 4);
        CHECK(HeadlessModel()->shellCount == 1);
        REQUIRE(HeadlessModel()->messageBoxCount == 1); // the file that is gone
        CHECK(HeadlessLastMessageBox()->owned == 1);
        // The last copy: the cell as the list shows it.
        CHECK(std::u16string(HeadlessModel()->clipboard).find(u"09:08:07") != std::u16string::npos);
    }
    SUBCASE("without it (the console program): nothing is opened, copied, started or asked") {
        Window w(false);
        w.RunEveryCommand();
        CHECK(HeadlessSummaryWindowCount() == 0);
        CHECK(HeadlessProcessTreeWindowCount() == 0);
        CHECK(HeadlessListWindowCount() == 0);
        CHECK(HeadlessDetailsWindowCount() == 0);
        CHECK(HeadlessModel()->clipboardSets == 0);
        CHECK(HeadlessModel()->shellCount == 0);
        CHECK(HeadlessModel()->messageBoxCount == 0);
        CHECK(HeadlessModel()->fontsMade == 0);
    }
}

TEST_CASE("the question before rows are lost: none when nothing is lost, whole at any count") {
    Window w(true);
    Recording* app = w.app;
    char16_t question[kDiscardQuestionChars];
    const DiscardReason reasons[] = {kDiscardByClear, kDiscardByOpen, kDiscardByClose};

    app->rowsUnsaved = 0;
    for (const DiscardReason reason : reasons) {
        CAPTURE(static_cast<int>(reason));
        question[0] = u'x';
        CHECK_FALSE(DiscardQuestion(app, reason, question, kDiscardQuestionChars));
        CHECK(question[0] == 0);
        CHECK(ConfirmDiscardingRows(app, reason)); // nothing asked
    }
    CHECK(HeadlessModel()->messageBoxCount == 0);

    // The longest count a recording can have still leaves the question whole.
    app->rowsUnsaved = 1;
    const int32_t held = app->rowCount;
    app->rowCount = 2147483647;
    for (const uint8_t recording : {uint8_t{0}, uint8_t{1}}) {
        app->recording = recording;
        for (const DiscardReason reason : reasons) {
            CAPTURE(static_cast<int>(reason));
            REQUIRE(DiscardQuestion(app, reason, question, kDiscardQuestionChars));
            const std::u16string text = question;
            CHECK(text.find(u"2147483647") != std::u16string::npos);
            CHECK(text.size() > 8);
            CHECK(text.substr(text.size() - 7) == u"anyway?");
        }
    }
    app->recording = 0;
    app->rowCount = held;

    // A short buffer is cut and terminated, not overrun.
    char16_t shortText[12];
    CHECK(DiscardQuestion(app, kDiscardByClear, shortText, std::size(shortText)));
    CHECK(TextLength(shortText) == std::size(shortText) - 1);

    // The window asks that question in its own box, No the default.
    REQUIRE(DiscardQuestion(app, kDiscardByOpen, question, kDiscardQuestionChars));
    HeadlessQueueAnswer(kAnswerNo);
    CHECK_FALSE(ConfirmDiscardingRows(app, kDiscardByOpen));
    HeadlessQueueAnswer(kAnswerYes);
    CHECK(ConfirmDiscardingRows(app, kDiscardByOpen));
    REQUIRE(HeadlessModel()->messageBoxCount == 2);
    const HeadlessMessageBox* box = HeadlessLastMessageBox();
    CHECK(std::u16string(box->text) == question);
    CHECK(std::u16string(box->caption) == u"Olvetta");
    CHECK((box->buttons == kButtonsYesNoDefaultNo && box->owned == 1));
}
