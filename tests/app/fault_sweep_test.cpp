// Faults swept, not sampled: every allocation, file write, flush and move that Start Monitoring,
// the exports, Save Session and Open Session make is refused in turn, n = 1, 2, ... until the
// operation runs without meeting the refusal. Each run ends in the operation's message or a
// clean success, leaks nothing and leaves no half-written file. Likewise a decode faults right
// after each lock it takes, and Stop must still finish.
#include <functional>
#include <string>

#include "app/lifecycle.h"
#include "app/window_layout.h"
#include "decode/decode.h"
#include "export/export_fixture.h"
#include "app/file_commands.h"
#include "export/exports.h"
#include "platform/guarded_call.h"
#include "platform/sim/sim_event.h"
#include "platform/sim/sim_process.h"
#include "platform/sim/sim_trace_service.h"
#include "support/small_ring.h"
#include "support/watchdog.h"

using namespace olv;

namespace {

constexpr int kLongestSweep = 400; // far more steps than any operation takes
constexpr const char16_t* kTarget = u"C:\\Samples\\a.exe";

struct Operation {
    std::string name;
    std::function<bool(Recording*, const char16_t*)> run;
    std::string refusal; // the start of its failure message
};

const Operation kFileOperations[] = {
    {"CSV", ExportCsvToPath, "The CSV could not be"},
    {"JSON", ExportJsonToPath, "The JSON could not be"},
    {"JSON Lines", ExportJsonLinesToPath, "The JSON Lines file could not be"},
    {"session", SaveSessionToPath, "The session could not be saved."},
};

bool Starts(const std::string& text, const std::string& start) {
    return text.rfind(start, 0) == 0;
}

// Fresh stand-ins and a Recording on the headless window, its path box holding kTarget (which
// exists) and the launcher about to hand out pid.
Recording* ReadyToStart(uint32_t pid) {
    ResetHeadlessUi();
    SimTraceReset();
    ResetSimProcesses();
    SetSimulatedFileAttributes(kTarget, false);
    SetSimNextProcessId(pid);
    Recording* app = AllocRecord<Recording>();
    REQUIRE(app != nullptr);
    InitRecording(app);
    WireControls(app, HeadlessControlHandle);
    HeadlessSetText(kIdTargetEdit, kTarget);
    return app;
}

} // namespace

TEST_CASE("Start Monitoring with each of its allocations refused in turn") {
    SmallQueueRing ring(1u << 16);
    int n = 1;
    for (; n <= kLongestSweep; ++n) {
        CAPTURE(n);
        const int64_t live = LiveAllocationCount();
        Recording* app = ReadyToStart(5000);

        RefuseNthAllocation(n);
        DispatchCommand(app, kIdStartButton);
        const bool refused = !AllocationRefusalPending();
        ResetAllocationFaults();
        if (app->recording != 0) {
            // A refusal the recording survived must have been counted, never silent.
            if (refused) CHECK(HeadlessModel()->messageBoxCount == 0);
            DispatchCommand(app, kIdStopButton);
            CHECK(app->recording == 0);
        } else {
            REQUIRE(refused);
            const HeadlessMessageBox* box = HeadlessLastMessageBox();
            REQUIRE(box != nullptr);
            const std::string text = U8(box->text);
            CHECK((text == "There is not enough memory to start recording." ||
                   Starts(text, "ETW: ") || Starts(text, "Launch: ")));
            CHECK(box->icon == kIconError);
            CHECK((app->trace == nullptr && app->launcher == nullptr &&
                   app->queueBytes == nullptr && app->rowCount == 0));
            CHECK(app->recordingInfoValid == 0);
            CHECK(HeadlessControlById(kIdStartButton)->enabled);
        }
        CleanUpRecording(app);
        FreeBlock(app);
        SimTraceReset();
        ResetSimProcesses();
        CHECK(LiveAllocationCount() == live);
        if (!refused) break;
    }
    SetSimulatedFileAttributes(nullptr, false);
    CHECK(n > 3); // the ring, the controller and the launcher at least
    CHECK(n <= kLongestSweep);
}

TEST_CASE("Exports and Save Session with each allocation, write, flush and move refused in turn") {
    const Bytes old = BytesOf("the file that was there before\r\n");
    for (const Operation& op : kFileOperations) {
        CAPTURE(op.name);
        // What the operation writes when nothing is refused.
        Bytes clean;
        {
            ExportFixture f;
            TempFolder tmp;
            f.Finished();
            f.AddAll();
            REQUIRE(op.run(f.app, tmp.Path16("target").c_str()));
            clean = ReadAll(tmp.Path("target"));
        }
        struct Hook {
            std::string name;
            void (*arm)(int64_t);
            bool (*pending)();
        };
        const Hook hooks[] = {{"allocation", RefuseNthAllocation, AllocationRefusalPending},
                              {"write", FailNthFileWrite, FileFaultPending},
                              {"flush", FailNthFileFlush, FileFaultPending},
                              {"move", FailNthFileMove, FileFaultPending}};
        for (const Hook& hook : hooks) {
            CAPTURE(hook.name);
            int n = 1;
            for (; n <= kLongestSweep; ++n) {
                CAPTURE(n);
                ExportFixture f;
                TempFolder tmp;
                f.Finished();
                f.AddAll();
                WriteAll(tmp.Path("target"), old);
                const int64_t live = LiveAllocationCount();
                const uint32_t messages = f.Messages();
                hook.arm(n);
                const bool ok = op.run(f.app, tmp.Path16("target").c_str());
                const bool refused = !hook.pending();
                ResetAllocationFaults();
                ResetFileFaults();
                CHECK(LiveAllocationCount() == live);
                CHECK(tmp.Names() == std::vector<std::string>{"target"});
                if (ok) {
                    // Complete, whether or not a refusal was met on the way.
                    CHECK(ReadAll(tmp.Path("target")) == clean);
                } else {
                    CHECK(refused);
                    CHECK(f.Messages() == messages + 1);
                    CHECK(Starts(LastMessage(kIconError), op.refusal));
                    CHECK(ReadAll(tmp.Path("target")) == old);
                }
                if (!refused) {
                    CHECK(ok);
                    break;
                }
            }
            CHECK(n <= kLongestSweep);
        }
    }
}

TEST_CASE("Open Session with each allocation refused in turn changes nothing it cannot finish") {
    TempFolder tmp;
    const std::u16string path = tmp.Path16("saved.ols");
    {
        ExportFixture f;
        f.Finished();
        f.AddAll();
        REQUIRE(SaveSessionToPath(f.app, path.c_str()));
    }
    int n = 1;
    for (; n <= kLongestSweep; ++n) {
        CAPTURE(n);
        ExportFixture f;
        f.Add(kRows[3]); // what is open before: one row
        const int64_t live = LiveAllocationCount();
        RefuseNthAllocation(n);
        const bool ok = OpenSessionFromPath(f.app, path.c_str());
        const bool refused = !AllocationRefusalPending();
        ResetAllocationFaults();
        if (ok) {
            CHECK(f.app->rowCount == 4);
            CHECK(f.app->shownCount == 4);
            CHECK(f.app->recordingInfoValid == 1);
        } else {
            CHECK(refused);
            CHECK(Starts(LastMessage(kIconError), "The session could not be read."));
            CHECK(f.app->rowCount == 1);
            CHECK(StoredRow(f.app, 0) == MakeRow(kRows[3]));
        }
        CHECK(LiveAllocationCount() - live <= 2); // at most the new row store's two blocks
        if (!refused) break;
    }
    CHECK(n <= kLongestSweep);
}

namespace {

constexpr uint32_t kFaultPid = 5000;

// One event of each kind that takes a tracking table's lock while it is decoded: a DLL load (the
// process and drive tables), a key name (the key table), a file opened and held for its
// completion (the file names and the held rows).
bool ProduceLockingEvents(void*, uint32_t index, SimEvent* e, bool*) {
    const int64_t t = 133480000000000000 + index;
    switch (index) {
    case 0:
        BeginSimEvent(e, kImageProvider, 10, 0, kFaultPid, 7, t);
        AddSimU32(e, u"ProcessId", kFaultPid);
        AddSimWideString(e, u"FileName", u"C:\\Windows\\System32\\kernel32.dll");
        return true;
    case 1:
        BeginSimEvent(e, kRegistryProvider, 25, 0, 4, 8, t);
        AddSimPointer(e, u"KeyHandle", 0xF000);
        AddSimWideString(e, u"KeyName", u"\\REGISTRY\\MACHINE\\SOFTWARE");
        return true;
    case 2:
        BeginSimEvent(e, kFileIoProvider, 64, 0, kFaultPid, 7, t);
        AddSimPointer(e, u"IrpPtr", 0xA000);
        AddSimPointer(e, u"FileObject", 0xB000);
        AddSimWideString(e, u"OpenPath", u"C:\\held.txt");
        return true;
    default:
        return false;
    }
}

} // namespace

TEST_CASE("A decode that faults right after taking any lock still lets Stop finish") {
    SmallQueueRing ring(1u << 16);
    int n = 1;
    for (; n <= kLongestSweep; ++n) {
        CAPTURE(n);
        Recording* app = ReadyToStart(kFaultPid);
        SimTraceSetEvents(u"NT Kernel Logger", ProduceLockingEvents, nullptr);
        SimTraceGateEvents(u"NT Kernel Logger", 0); // until the program is followed

        FaultNthGuardedLockEntry(n);
        DispatchCommand(app, kIdStartButton);
        REQUIRE(app->recording == 1);
        SimTraceGateEvents(u"NT Kernel Logger", kSimNoGate);
        REQUIRE(SimTraceWaitDelivered(u"NT Kernel Logger", 3));
        const bool faulted = !GuardedLockFaultPending();
        FaultNthGuardedLockEntry(0);
        // A lock left held by the faulting trace thread would stop Stop here for good (the
        // watchdog of the test main then names this step).
        TestStep("Stop after a decode faulted while holding a lock");
        DispatchCommand(app, kIdStopButton);
        TestStep("(after Stop)");
        CHECK(app->recording == 0);
        CHECK(app->recordingInfo.unreadableRecords == (faulted ? 1u : 0u));
        CleanUpRecording(app);
        FreeBlock(app);
        if (!faulted) break;
    }
    SimTraceReset();
    ResetSimProcesses();
    SetSimulatedFileAttributes(nullptr, false);
    CHECK(n > 3); // every event took at least one lock
}
