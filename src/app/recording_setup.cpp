#include "app/recording_setup.h"

#include <cstring>

#include "app/window_state.h"

#include "capture/event_queue.h"
#include "capture/trace_controller.h"
#include "launcher/target_launcher.h"
#include "platform/memory.h"
#include "views/row_facts_flow.h"
#include "views/sigma_rows.h"
#include "views/yara_rows.h"

namespace olv {

void InitRecording(Recording* app) {
    // Zero every handle, pointer, count and flag. The operation name entries need no clearing
    // (only operationNameCount counts), but zeroing the whole record costs nothing once per run.
    std::memset(static_cast<void*>(app), 0, sizeof(Recording));
    app->autoScroll = 1;
    app->view = DefaultViewSpec();
    app->queueMask = kQueueBytes - 1;
    InitLock(&app->rowsLock);
    InitLock(&app->queueLock);
    MakeMainWindow(app);
}

bool MakeMainWindow(Recording* app) {
    if (app->window == nullptr) app->window = AllocRecord<MainWindow>();
    return app->window != nullptr;
}

UiHandle OwnerWindow(const Recording* app) {
    return app->window != nullptr ? app->window->mainWindow : nullptr;
}

FontHandle SummaryFont(Recording* app) {
    MainWindow* w = app->window;
    if (w == nullptr) return nullptr;
    if (w->summaryFont == nullptr) w->summaryFont = UiMakeSummaryFont();
    return w->summaryFont != nullptr ? w->summaryFont : w->uiFont;
}

void FreeMainWindow(Recording* app) {
    if (app->window != nullptr) {
        FreeBlock(app->window->machineCheck);
        if (app->window->uiFont != nullptr) UiDeleteFont(app->window->uiFont);
        if (app->window->summaryFont != nullptr) UiDeleteFont(app->window->summaryFont);
    }
    FreeBlock(app->window);
    app->window = nullptr;
}

void ReleaseTraceOf(Recording* app) {
    if (app->trace == nullptr) return;
    StopTraceSessions(app->trace);
    ReleaseTraceController(app->trace);
    FreeBlock(app->trace);
    app->trace = nullptr;
}

void ReleaseLauncherOf(Recording* app) {
    if (app->launcher == nullptr) return;
    EndTarget(app->launcher);
    FreeBlock(app->launcher);
    app->launcher = nullptr;
}

void CleanUpRecording(Recording* app) {
    FreeMainWindow(app);
    ReleaseTraceOf(app);
    ReleaseLauncherOf(app);
    FreeBlock(app->rows);
    app->rows = nullptr;
    app->rowCount = 0;
    app->rowCapacity = 0;
    FreeTextStore(&app->rowTexts);
    FreeBlock(app->shownRows);
    app->shownRows = nullptr;
    app->shownCount = 0;
    app->shownCapacity = 0;
    HashFree(&app->processCondition.members);
    app->processCondition = ProcessCondition{};
    FreeEventQueue(app);
    FreeSigmaState(app);
    FreeRowFacts(app);
    FreeYaraState(app);
    DeleteLock(&app->rowsLock);
    DeleteLock(&app->queueLock);
}

} // namespace olv
