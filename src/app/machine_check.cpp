#include "app/machine_check.h"

#include "app/lifecycle.h"
#include "app/window_state.h"
#include "base/format.h"
#include "base/product.h"
#include "base/text.h"
#include "launcher/target_launcher.h"
#include "platform/memory.h"
#include "platform/thread.h"
#include "platform/time.h"
#include "platform/ui.h"
#include "capture/trace_controller.h"
#include "tracking/tracking_state.h"

namespace olv {

const char16_t kMachineCheckTitle[] = u"Check Recording on This Machine";

namespace {

void Say(Recording* app, const char16_t* text) {
    UiMessageBox(OwnerWindow(app), text, kProductName, kIconWarning, kButtonsOk);
}

bool HelperTreeEnded(Recording* app) {
    if (app->launcher == nullptr || app->trace == nullptr) return false;
    if (app->launcher->processHeld != 0) return false;
    return CountRunningFollowedProcesses(&app->trace->tracking,
                                         app->launcher->processInfo.processId) == 0;
}

void ShowTable(Recording* app, MachineCheck* check) {
    SelftestResult* result = AllocRecord<SelftestResult>();
    char16_t* text = static_cast<char16_t*>(AllocZeroed(kSelftestTableChars * sizeof(char16_t)));
    if (result == nullptr || text == nullptr) {
        FreeBlock(result);
        FreeBlock(text);
        UiMessageBox(OwnerWindow(app), u"There is not enough memory to check the recording.",
                     kProductName, kIconError, kButtonsOk);
        return;
    }
    {
        LockGuard guard(&app->rowsLock);
        check->context.helperEnded =
            SelftestHelperExitCode(app, &check->context.helperExitCode);
        JudgeSelftest(check->plan, app, check->context, result);
    }
    FormatSelftestTable(check->plan, *result, check->context, text, kSelftestTableChars);
    UiHandle window = UiOpenTextWindow(OwnerWindow(app), app->window->instance,
                                       kMachineCheckTitle, 1040, 440, SummaryFont(app), text);
    if (window != nullptr) UiShowViewWindow(window);
    FreeBlock(text);
    FreeBlock(result);
}

// The check under way; null when none, or without a window (the check is the window's).
MachineCheck* CheckOf(const Recording* app) {
    return app->window != nullptr ? app->window->machineCheck : nullptr;
}

bool RefusedWhileRecording(Recording* app) {
    if (app->recording == 0 && CheckOf(app) == nullptr) return false;
    Say(app, u"A recording is running. Stop it before checking recording on this machine.");
    return true;
}

} // namespace

void StartMachineCheck(Recording* app) {
    if (app->window == nullptr || RefusedWhileRecording(app)) return;
    if (app->window->programPath[0] == 0 || app->window->tempFolder[0] == 0) {
        UiMessageBox(OwnerWindow(app),
                     u"The check cannot run: this program's file or the temporary folder is not "
                     u"known.",
                     kProductName, kIconError, kButtonsOk);
        return;
    }
    SelftestPlan plan{};
    MakeSelftestPlan(app->window->tempFolder, CurrentProcessId(), NowTicks(), &plan);
    StartMachineCheckWithPlan(app, app->window->programPath, plan);
}

void StartMachineCheckWithPlan(Recording* app, const char16_t* helper, const SelftestPlan& plan) {
    if (app->window == nullptr || RefusedWhileRecording(app)) return;
    int32_t rows;
    {
        LockGuard guard(&app->rowsLock);
        rows = app->rowCount;
    }
    if (app->rowsUnsaved != 0 && rows > 0) {
        char16_t text[320];
        FormatText(text, 320,
                   u"%d rows have not been saved. The check records on its own and would replace "
                   u"them: save them (Save Session) or clear them first.",
                   rows);
        Say(app, text);
        return;
    }
    MachineCheck* check = AllocRecord<MachineCheck>();
    char16_t* arguments = static_cast<char16_t*>(AllocZeroed(kLauncherCommandLineChars * sizeof(char16_t)));
    char16_t* path = static_cast<char16_t*>(AllocZeroed(kTargetTextChars * sizeof(char16_t)));
    if (check == nullptr || arguments == nullptr || path == nullptr ||
        !SelftestHelperArguments(plan, arguments, kLauncherCommandLineChars)) {
        FreeBlock(check);
        FreeBlock(arguments);
        FreeBlock(path);
        UiMessageBox(OwnerWindow(app), u"There is not enough memory to check the recording.",
                     kProductName, kIconError, kButtonsOk);
        return;
    }
    check->plan = plan;
    check->context.info = &app->recordingInfo;
    check->context.timeGiven = u"30 s, or until Stop";
    app->window->machineCheck = check;

    // The path box shows the helper while it is recorded, and the user's path again after.
    UiGetText(app->window->targetEdit, path, kTargetTextChars);
    UiSetText(app->window->targetEdit, helper);
    // The helper's script block is logged only under the policy: switched on for the check's
    // recording (which puts it back as any recording does), whatever the menu's choice, which
    // stays the user's for the next Start.
    const uint8_t chosen = app->scriptLogging;
    app->scriptLogging = 1;
    StartMonitoringWithArguments(app, arguments);
    app->scriptLogging = chosen;
    UiSetText(app->window->targetEdit, path);
    FreeBlock(arguments);
    FreeBlock(path);

    if (app->recording != 0) {
        check->context.started = true;
        return;
    }
    // Start failed (its message has been shown, and the table says why each check is missing)
    // or the user kept the rows held (nothing to show).
    app->window->machineCheck = nullptr;
    if (check->startFailure[0] != 0) {
        check->context.startFailure = check->startFailure;
        ShowTable(app, check);
    }
    FreeBlock(check);
}

void MachineCheckTick(Recording* app) {
    MachineCheck* check = CheckOf(app);
    if (check == nullptr || app->recording == 0) return;
    ++check->ticks;
    if (HelperTreeEnded(app)) {
        ++check->endedTicks;
    } else {
        check->endedTicks = 0;
    }
    if (check->endedTicks >= kMachineCheckGraceTicks ||
        check->ticks >= kMachineCheckSeconds * 10) {
        StopMonitoring(app); // which finishes the check
    }
}

void FinishMachineCheck(Recording* app) {
    MachineCheck* check = CheckOf(app);
    if (check == nullptr || app->recording != 0) return;
    app->window->machineCheck = nullptr;
    ShowTable(app, check);
    FreeBlock(check);
}

void NoteMachineCheckStartFailure(Recording* app, const char16_t* failure) {
    if (MachineCheck* check = CheckOf(app)) CopyBounded(check->startFailure, 600, failure);
}

void NoteMachineCheckTraceEnded(Recording* app) {
    if (MachineCheck* check = CheckOf(app)) check->context.traceEndedEarly = true;
}

} // namespace olv
