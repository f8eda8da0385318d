#include "app/window_layout.h"
#include "doctest.h"

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <nlohmann/json.hpp>

#include "app/recording_setup.h"
#include "app/lifecycle.h"
#include "app/view_changes.h"
#include "base/atomic.h"
#include "base/text.h"
#include "capture/event_queue.h"
#include "capture/trace_controller.h"
#include "decode/decode.h"
#include "app/file_commands.h"
#include "export/exports.h"
#include "launcher/target_launcher.h"
#include "report/completeness.h"
#include "platform/drives.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "record/stored_rows.h"
#include "platform/sim/headless_ui.h"
#include "platform/registry_values.h"
#include "platform/sim/sim_drives.h"
#include "platform/sim/sim_facts.h"
#include "platform/sim/sim_event.h"
#include "platform/sim/sim_process.h"
#include "platform/sim/sim_trace_service.h"
#include "platform/thread.h"
#include "platform/time.h"
#include "tracking/tracking_state.h"
#include "support/small_ring.h"
#include "support/text_check.h"
#include "views/row_store.h"
#include "views/sigma_rows.h"

using namespace olv;

namespace {

// A text of stored row i.
std::u16string StoredString(const Recording* app, int32_t i, RowText which) {
    char16_t text[kPathChars + 1];
    CopyStoredText(app, i, which, text, kPathChars + 1);
    return text;
}


constexpr const char16_t* kKernel = u"NT Kernel Logger";
constexpr const char16_t* kPath = u"C:\\Samples\\a.exe";
constexpr uint32_t kPid = 5000;
constexpr int64_t kT0 = 133480000000000000;

// Image loads of the examined program; the rundown checks that the program had already been
// ended when the session was stopped.
struct Script {
    uint32_t loads = 0;
    uint32_t keys = 0; // registry key names after the loads; the stop rundown names one more
    bool programEndedAtRundown = false;

    static void KeyName(SimEvent* e, uint32_t index, int64_t t) {
        BeginSimEvent(e, kRegistryProvider, 25, 0, 4, 8, t);
        AddSimPointer(e, u"KeyHandle", 0xF000 + index);
        AddSimWideString(e, u"KeyName", index == 0 ? u"\\REGISTRY\\A" : u"\\REGISTRY\\B");
    }
    static bool Produce(void* context, uint32_t index, SimEvent* e, bool*) {
        Script* s = static_cast<Script*>(context);
        if (index >= s->loads + s->keys) return false;
        if (index >= s->loads) {
            KeyName(e, 0x100 + index, kT0 + index);
            return true;
        }
        BeginSimEvent(e, kImageProvider, 10, 0, kPid, 7, kT0 + index);
        AddSimU32(e, u"ProcessId", kPid);
        AddSimWideString(e, u"FileName", u"C:\\Windows\\System32\\kernel32.dll");
        return true;
    }
    static bool Rundown(void* context, uint32_t index, SimEvent* e, bool*) {
        Script* s = static_cast<Script*>(context);
        if (index == 1 && s->keys > 0) {
            KeyName(e, 0, kT0 + 100);
            return true;
        }
        if (index > 0) return false;
        SimProcessStatus status{};
        s->programEndedAtRundown =
            QuerySimProcess(kPid, &status) && status.state == kSimProcessEnded;
        BeginSimEvent(e, kProcessProvider, 4, 0, 4, 1, kT0 + 100);
        return true;
    }
};

struct Recorder {
    SmallQueueRing ring{1u << 16};
    Recording* app = AllocRecord<Recording>();
    Script script;

    Recorder() {
        ResetHeadlessUi();
        ResetSimProcesses();
        SimTraceReset();
        SetVersionOverride(10, 0, 19045);
        SetClockOverride(kT0);
        SetSimulatedFileAttributes(kPath, false);
        SetSimNextProcessId(kPid);
        InitRecording(app);
        WireControls(app, HeadlessControlHandle);
        HeadlessSetText(kIdTargetEdit, kPath);
        SimTraceSetEvents(kKernel, Script::Produce, &script);
        SimTraceSetRundown(kKernel, Script::Rundown, &script);
        // The program's events happen only once it runs: hold them until Start is done.
        SimTraceGateEvents(kKernel, 0);
    }
    ~Recorder() {
        CleanUpRecording(app);
        FreeBlock(app);
        ResetAllocationFaults();
        SetSimulatedFileAttributes(nullptr, false);
        ClearClockOverride();
        ClearVersionOverride();
        SimTraceReset();
        ResetSimProcesses();
    }
    void Start() {
        DispatchCommand(app, kIdStartButton);
        SimTraceGateEvents(kKernel, kSimNoGate);
    }
    void Stop() { DispatchCommand(app, kIdStopButton); }
    void Pump() {
        HeadlessPostedMessage m{};
        while (HeadlessTakePostedMessage(&m)) {
            HandlePostedMessage(app, m.message, m.wParam, m.lParam);
        }
    }
    // Bounded: a program's end or a trace's end reaches the window as a posted message.
    void WaitForPost(const char* what) {
        REQUIRE_MESSAGE(HeadlessWaitForPost(10000), (std::string("waited 10 s for ") + what));
        Pump();
    }
    std::u16string Operation(int32_t i) const { return StoredString(app, i, kTextOperation); }
    static bool Enabled(int id) { return HeadlessControlById(id)->enabled; }
    static std::u16string Text(int id) { return HeadlessText(id); }
    // The status bar as the window shows it after the operation.
    std::u16string Status() {
        ApplyWindowViewChanges(app);
        return HeadlessStatusText();
    }
    std::u16string LastMessage() const {
        const HeadlessMessageBox* box = HeadlessLastMessageBox();
        return box != nullptr ? box->text : u"";
    }
    int LastIcon() const {
        const HeadlessMessageBox* box = HeadlessLastMessageBox();
        return box != nullptr ? box->icon : -1;
    }
    bool Idle() const {
        return app->recording == 0 && app->trace == nullptr && app->launcher == nullptr &&
               app->queueBytes == nullptr && Enabled(kIdStartButton) && !Enabled(kIdStopButton) &&
               Enabled(kIdTargetEdit) && Enabled(kIdBrowseButton);
    }
};

} // namespace

TEST_CASE("a recording from Start to Stop") {
    Recorder r;
    r.script.loads = 3;
    r.Start();
    REQUIRE(r.app->recording == 1);
    CHECK(HeadlessTimerPeriod(TIMER_DRAIN) == 100);
    CHECK((!r.Enabled(kIdStartButton) && r.Enabled(kIdStopButton) && !r.Enabled(kIdTargetEdit)));
    CHECK(r.Status().find(u" Monitoring | Total: 1 | Shown: 1") == 0);

    // The first row is the examined program, made on the window thread before any event is
    // taken in (its texts, and the exit row's, are in every scenario golden).
    CHECK(r.Operation(0) == u"Started process");

    REQUIRE(SimTraceWaitDelivered(kKernel, 3));
    // The counters are gathered on every tenth tick; each tick takes rows in.
    AtomicAdd(r.app->droppedHere, 2);
    HandleTimerTick(r.app, TIMER_DRAIN + 1); // another timer: neither taken in nor counted
    CHECK(r.app->rowCount == 1);
    for (int tick = 0; tick < 9; ++tick)
        HandleTimerTick(r.app, TIMER_DRAIN);
    CHECK(r.app->rowCount == 4);
    CHECK(r.app->recordingInfo.droppedHere == 0);
    HandleTimerTick(r.app, TIMER_DRAIN);
    CHECK(r.app->recordingInfo.droppedHere == 2);
    AtomicExchange(r.app->droppedHere, 0);

    // The program ends by itself: a row is added and the recording goes on.
    REQUIRE(EndSimulatedProcess(3));
    r.WaitForPost("the program's end");
    CHECK(r.app->recording == 1);
    REQUIRE(r.app->rowCount == 5);
    CHECK(r.Operation(4) == u"Target process exited");

    r.Stop();
    CHECK(r.Idle());
    CHECK(HeadlessTimerPeriod(TIMER_DRAIN) == 0);
    CHECK(r.script.programEndedAtRundown);
    CHECK(r.Status() == u" Stopped | Total: 5 | Shown: 5");

    // A second Stop, a late exit message and a trace-ended message without text change nothing.
    const uint32_t boxes = HeadlessModel()->messageBoxCount;
    r.Stop();
    HandleTargetExited(r.app, 0);
    HandleTraceStopped(r.app, 0);
    CHECK(r.app->rowCount == 5);
    CHECK(HeadlessModel()->messageBoxCount == boxes);
    // A trace-ended message that arrives after Stop is shown and its text freed.
    auto* text = static_cast<char16_t*>(AllocZeroed(256 * sizeof(char16_t)));
    REQUIRE(text != nullptr);
    CopyBounded(text, 256, u"late");
    const int64_t live = LiveAllocationCount();
    HandleTraceStopped(r.app, reinterpret_cast<intptr_t>(text));
    CHECK(r.LastMessage() == u"late");
    CHECK(std::u16string(HeadlessLastMessageBox()->caption) == u"ETW Error");
    CHECK(LiveAllocationCount() == live - 1);
    CHECK((r.Idle() && r.app->rowCount == 5));
}

TEST_CASE("Stop ends the program first and takes in every queued row, also when closing") {
    Recorder r;
    r.script.loads = 50;
    r.Start();
    REQUIRE(SimTraceWaitDelivered(kKernel, 50));
    // No timer tick ran: the rows are still in the queue when the window closes.
    HandleDestroy(r.app);
    CHECK(r.Idle());
    CHECK(r.script.programEndedAtRundown);
    CHECK(r.app->rowCount == 51);
}

TEST_CASE("Start refusals that change nothing, and starts that fail half-way are undone whole") {
    const char16_t* noMemory = u"There is not enough memory to start recording.";
    struct Case {
        const char* name;
        void (*arrange)(Recorder&);
        const char16_t* message;
        int icon;
        bool whole = true;   // the whole message, or a part of it
        bool undone = false; // answered Yes over a row of the last run, then failing part-way
    };
    const Case cases[] = {
        // Refused before anything is started.
        {"no path", [](Recorder&) { HeadlessSetText(kIdTargetEdit, u""); },
         u"Choose the EXE file to run first.", kIconWarning},
        {"a path that does not exist",
         [](Recorder&) { HeadlessSetText(kIdTargetEdit, u"C:\\nowhere.exe"); }, u"File not found.",
         kIconError},
        {"a program on a mapped drive the recorder does not have",
         [](Recorder&) {
             SetSimulatedDriveType(u'Z', kDriveNoRootDir);
             HeadlessSetText(kIdTargetEdit, u"Z:\\tools\\sample.exe");
         },
         u"File not found.\n\nDrive Z: is not there for Olvetta. A network drive that the "
         u"signed-in user mapped to a letter is not seen by programs run as administrator, as "
         u"Olvetta is, or leads elsewhere for them. Choose the program by its network path "
         u"instead, in the form \\\\server\\share\\folder\\program.exe.",
         kIconError},
        {"a path too long to start from is refused whole, not cut to 259 characters",
         [](Recorder&) {
             const std::u16string path = u"C:\\" + std::u16string(300, u'a') + u".exe";
             // The first 259 characters name a file that exists: a cut path would be started.
             SetSimulatedFileAttributes(path.substr(0, 259).c_str(), false);
             HeadlessSetText(kIdTargetEdit, path.c_str());
         },
         u"longer than 259 characters", kIconError, false},
        {"rows of the last run and the answer No",
         [](Recorder& r) {
             EventRow row{};
             AppendRow(r.app, &row);
             AppendRow(r.app, &row);
         },
         u"There are still 2 rows from the last run here.\n\nStarting again clears them, so that "
         u"one record holds one run. Save them first if you need them.\n\nStart anyway?",
         kIconWarning},
        // Failing part-way. Allocations of a start: the ring's two (its slots and their extents),
        // the trace controller, the kernel session's five (its block, its thread's start record,
        // the block that stops a leftover DNS session, the DNS session's block and its thread's
        // start record), then the launcher.
        {"without administrator rights", [](Recorder&) { SimTraceSetAdmin(false); },
         u"ETW: StartTrace failed: Access is denied. (5) (Admin required)", kIconError, true, true},
        {"no memory for the ring", [](Recorder&) { RefuseNthAllocation(1); }, noMemory, kIconError,
         true, true},
        {"no memory for the trace controller", [](Recorder&) { RefuseNthAllocation(3); }, noMemory,
         kIconError, true, true},
        {"no memory for the launcher", [](Recorder&) { RefuseNthAllocation(9); }, noMemory,
         kIconError, true, true},
        {"the program cannot be created", [](Recorder&) { FailSimProcessCreate(2); },
         u"Launch: The system cannot find the file specified. (2)\n\nProgram: C:\\Samples\\a.exe", kIconError, true, true},
        {"the program cannot be resumed", [](Recorder&) { FailSimResume(); },
         u"The program was created but could not be started. Nothing was recorded.", kIconError,
         true, true},
    };
    for (const Case& c : cases) {
        INFO(std::string(c.name));
        Recorder r;
        ClearSimulatedDrives();
        EventRow old{};
        if (c.undone) {
            AppendRow(r.app, &old);
            HeadlessQueueAnswer(kAnswerYes);
        }
        c.arrange(r);
        const int32_t rowsBefore = r.app->rowCount;
        r.Start();
        ResetAllocationFaults();
        if (c.whole) CHECK(r.LastMessage() == c.message);
        if (!c.whole) CHECK(r.LastMessage().find(c.message) != std::u16string::npos);
        CHECK(r.LastIcon() == c.icon);
        CHECK(r.Idle());
        CHECK((r.app->recordingInfoValid == 0 && r.app->recordingInfo.blockSize == 0));
        SimProcessLog log{};
        QuerySimProcessLog(&log);
        if (!c.undone) {
            CHECK(log.createCalls == 0);
            CHECK(r.app->rowCount == rowsBefore);
            if (rowsBefore > 0) CHECK(HeadlessLastMessageBox()->buttons == kButtonsYesNoDefaultNo);
            continue;
        }
        SimSessionInfo kernel{};
        if (SimTraceQuerySession(kKernel, &kernel)) CHECK(kernel.running == 0);
        CHECK(r.app->rowCount == 0);
        CHECK(r.Status() == u" Stopped | Total: 0 | Shown: 0");
        // Whatever was launched has been ended.
        SimProcessStatus status{};
        if (QuerySimProcess(kPid, &status)) CHECK(status.state == kSimProcessEnded);
    }
}

TEST_CASE("Stop: rows it cannot take in are counted, held rows find room, key names are counted "
          "before and after the stop") {
    Recorder r;
    r.script.loads = 3;
    SUBCASE("key names known while running and after the stop") {
        r.script.keys = 2;
        r.Start();
        REQUIRE(SimTraceWaitDelivered(kKernel, 5));
        r.Stop();
        CHECK(r.app->recordingInfo.keyNamesWhileRunning == 2);
        CHECK(r.app->recordingInfo.keyNamesAfterStop == 3);
    }
    SUBCASE("no memory for the rows still waiting: they are counted as dropped") {
        r.Start();
        REQUIRE(SimTraceWaitDelivered(kKernel, 3));
        // A row store that is full and cannot grow.
        r.app->rowCount = r.app->rowCapacity;
        RefuseAllocationsAbove(static_cast<size_t>(r.app->rowCapacity) * sizeof(CompactRow));
        r.Stop();
        CHECK(r.Idle());
        CHECK(r.app->recordingInfo.droppedHere == 3);
        CHECK(AtomicLoad(r.app->droppedHere) == 3);
    }
    SUBCASE("a full ring is emptied before the sessions stop, so held file rows find room") {
        r.Start();
        REQUIRE(SimTraceWaitDelivered(kKernel, 3));
        // A file open held for its completion, then a ring left full.
        SimEvent* e = AllocRecord<SimEvent>();
        REQUIRE(e != nullptr);
        BeginSimEvent(e, kFileIoProvider, 64, 0, kPid, 7, kT0 + 50);
        AddSimPointer(e, u"IrpPtr", 0xA000);
        AddSimPointer(e, u"FileObject", 0xB000);
        AddSimWideString(e, u"OpenPath", u"C:\\held.txt");
        EventRow row{};
        CHECK_FALSE(DecodeEvent(&r.app->trace->tracking, &e->record, &row));
        FreeBlock(e);
        REQUIRE(HeldFileRowCount(&r.app->trace->tracking) == 1);
        // Rows with long paths fill the ring in a few records; then rows equal to the one before,
        // a few bytes each, leave it with less room than any other row needs.
        const int32_t before = r.app->rowCount + static_cast<int32_t>(QueuedRowCount(r.app));
        EventRow filler{};
        int32_t fillers = 0;
        auto room = [&] { return r.app->queueMask + 1 - (r.app->queueWrite - r.app->queueRead); };
        while (room() >= 8) {
            const bool big = room() > 2 * kPathChars;
            for (size_t i = 0; i < kPathChars - 1; ++i)
                filler.path[i] = big ? static_cast<char16_t>(u'a' + (fillers + i) % 26) : 0;
            QueueRow(r.app, &filler);
            ++fillers;
        }
        REQUIRE(AtomicLoad(r.app->droppedHere) == 0);
        r.Stop();
        CHECK(r.app->recordingInfo.droppedHere == 0);
        // The loads were among the waiting rows.
        REQUIRE(r.app->rowCount == before + fillers + 1);
        CHECK(StoredString(r.app, r.app->rowCount - 1, kTextPath) == u"C:\\held.txt");
    }
}

TEST_CASE("a DNS session that started and ended before the program ran is not 'not recorded'") {
    Recorder r;
    SimTraceSetEvents(
        u"OlvettaDnsLogger", [](void*, uint32_t, SimEvent*, bool*) { return false; }, nullptr);
    SimTraceEndAfterEvents(u"OlvettaDnsLogger", 0);
    // The program is created only once the DNS session has ended by itself.
    struct Wait {
        Recording* app;
        bool ended;
        static void Hook(void* context) {
            auto* w = static_cast<Wait*>(context);
            for (int i = 0; i < 2000 && !w->ended; ++i) {
                w->ended = AtomicLoad8(w->app->trace->dnsEndedEarly) != 0;
                if (!w->ended) SleepMilliseconds(5);
            }
        }
    } wait{r.app, false};
    SetSimProcessCreateHook(Wait::Hook, &wait);
    r.Start();
    REQUIRE_MESSAGE(wait.ended, "waited 10 s for the DNS session to end by itself");
    CHECK((r.app->recordingInfo.flags & dnsNotRecorded) == 0);
    r.Stop();
    CHECK((r.app->recordingInfo.flags & dnsNotRecorded) == 0);
    CHECK((r.app->recordingInfo.flags & dnsSessionEnded) != 0);
}

TEST_CASE("the program is followed from the trace time taken just before its creation") {
    // The trace still holds the last events of an earlier process of the program's id (its
    // rundown, a load, its end), and creating the program logs loads while time passes.
    constexpr int64_t kCreateTakes = 1000;
    struct Trace {
        uint8_t opcode;
        int64_t t;
        const char16_t* file; // null: a process event
    };
    static const Trace kTrace[] = {
        {3, kT0 - 900, nullptr},
        {10, kT0 - 500, u"C:\\Windows\\System32\\version.dll"},
        {2, kT0 - 1, nullptr},
        {10, kT0, u"C:\\Samples\\a.exe"},
        {10, kT0 + kCreateTakes / 2, u"C:\\Windows\\System32\\ntdll.dll"},
        {10, kT0 + 2 * kCreateTakes, u"C:\\Windows\\kernel32.dll"}};
    auto produce = [](void*, uint32_t index, SimEvent* e, bool*) {
        if (index >= std::size(kTrace)) return false;
        const Trace& x = kTrace[index];
        BeginSimEvent(e, x.file != nullptr ? kImageProvider : kProcessProvider, x.opcode, 0, kPid,
                      7, x.t);
        AddSimU32(e, u"ProcessId", kPid);
        if (x.file != nullptr) AddSimWideString(e, u"FileName", x.file);
        if (x.file == nullptr) AddSimAnsiString(e, u"ImageFileName", "updater.exe");
        return true;
    };
    Recorder r;
    SimTraceSetEvents(kKernel, produce, nullptr);
    SetSimProcessCreateHook([](void*) { AdvanceClockOverride(kCreateTakes); }, nullptr);
    r.Start();
    REQUIRE(SimTraceWaitDelivered(kKernel, std::size(kTrace)));
    HandleTimerTick(r.app, TIMER_DRAIN);
    r.Stop();
    REQUIRE(r.app->rowCount == 4); // the program's start row and the three loads from kT0 on
    for (int32_t i = 0; i < 4; ++i) {
        CAPTURE(i);
        if (i > 0) CHECK(StoredString(r.app, i, kTextPath) == kTrace[i + 2].file);
        CHECK((StoredString(r.app, i, kTextProcess) == u"a.exe" && StoredPid(r.app, i) == kPid));
    }
}

TEST_CASE("a program without a job, and one that cannot be ended") {
    Recorder r;
    SUBCASE("no job: flagged and warned of, Stop ends the program itself") {
        RefuseSimJob(kSimJobAssign);
        r.Start();
        CHECK((r.app->launchedWithoutJob == 1 && (r.app->recordingInfo.flags & noJobObject) != 0));
        CHECK(r.Status().find(u" | Stop may not reach child processes") != std::u16string::npos);
        r.Stop();
        SimProcessStatus status{};
        REQUIRE(QuerySimProcess(kPid, &status));
        CHECK(status.state == kSimProcessEnded);
    }
    SUBCASE("termination fails: Stop still finishes (its warning is in the no_job_object golden)") {
        r.Start();
        FailSimTermination();
        r.Stop();
        CHECK(r.Idle());
        CHECK(r.LastIcon() == kIconWarning);
    }
}

#if !defined(_WIN32)
// The C library's time zone, set for one test (a POSIX rule, so no zone database is needed).
struct ZoneOverride {
    std::string old;
    bool had = false;
    explicit ZoneOverride(const char* zone) {
        const char* current = std::getenv("TZ");
        had = current != nullptr;
        if (had) old = current;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ZoneOverride() {
        if (had) {
            setenv("TZ", old.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
};
#endif

TEST_CASE("a recording keeps its recorder and the UTC bias at both ends; the window's rows carry "
          "their UTC instant") {
#if !defined(_WIN32)
    // Central European time; daylight time begins at 01:00 UTC on 2024-03-31.
    ZoneOverride zone("CET-1CEST,M3.5.0,M10.5.0/3");
#endif
    Recorder r;
    SetRecorderImageForSigma(r.app, u"C:\\Tools\\Olvetta.exe");
    int64_t start = 0;
    REQUIRE(UtcSystemTimeToTicks(SystemTime{2024, 3, 0, 31, 0, 59, 0, 0}, &start));
    SetClockOverride(start);
    r.Start();
    REQUIRE(r.app->recording == 1);
    CHECK(std::u16string(r.app->origin.recorderImage) == u"C:\\Tools\\Olvetta.exe");
    CHECK(StoredTimestamp(r.app, 0) == static_cast<uint64_t>(start));

    AdvanceClockOverride(2 * 60 * kTicksPerSecond);
    REQUIRE(EndSimulatedProcess(3));
    r.WaitForPost("the program's end");
    REQUIRE(r.app->rowCount == 2);
    CHECK(r.Operation(1) == u"Target process exited");
    CHECK(StoredTimestamp(r.app, 1) == static_cast<uint64_t>(start + 2 * 60 * kTicksPerSecond));
    r.Stop();
    CHECK((r.app->origin.flags & stopUtcBiasKnown) != 0);

#if !defined(_WIN32)
    CHECK(r.app->recordingInfo.utcBias == -60);
    CHECK(r.app->origin.stopUtcBias == -120);
    const std::filesystem::path file =
        std::filesystem::temp_directory_path() /
        ("olv_lifecycle_utc_" + std::to_string(CurrentProcessId()) + ".json");
    REQUIRE(ExportJsonToPath(r.app, file.u16string().c_str()));
    std::ifstream in(file, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    in.close();
    std::filesystem::remove(file);
    const nlohmann::json json = nlohmann::json::parse(text.substr(3));
    CHECK(json["started"] == "2024-03-31 01:59:00.000");
    CHECK(json["startedUtc"] == "2024-03-31T00:59:00.000Z");
    CHECK(json["stopped"] == "2024-03-31 03:01:00.000");
    CHECK(json["stoppedUtc"] == "2024-03-31T01:01:00.000Z");
    CHECK(json["utcOffsetMinutes"] == 60);
    CHECK(json["events"][1]["time"] == "2024-03-31 03:01:00.000");
    CHECK(json["events"][1]["timeUtc"] == "2024-03-31T01:01:00.000Z");
#endif
}

TEST_CASE("the kernel session ending by itself stops the recording after one message") {
    Recorder r;
    r.script.loads = 2;
    SimTraceEndAfterEvents(kKernel, 0);
    r.Start();
    r.WaitForPost("the kernel session's end");
    // Its text and icon are in the kernel_taken_over scenario's golden output.
    CHECK(HeadlessModel()->messageBoxCount == 1);
    CHECK(std::u16string(HeadlessLastMessageBox()->caption) == u"ETW Error");
    CHECK(r.Idle());
    CHECK(r.app->rowCount == 3);
}

TEST_CASE("the window asks in its own box before it takes the kernel session from another program") {
    for (const int answer : {kAnswerNo, kAnswerYes}) {
        CAPTURE(answer);
        Recorder r;
        SimTraceAddForeignSession(kKernel);
        HeadlessQueueAnswer(answer);
        r.Start();
        const HeadlessMessageBox* box = HeadlessLastMessageBox();
        REQUIRE(box != nullptr);
        if (answer == kAnswerYes) {
            CHECK(HeadlessModel()->messageBoxCount == 1);
            CHECK(r.app->recording == 1);
            r.Stop();
        } else {
            // The question, then the refusal it led to.
            CHECK(HeadlessModel()->messageBoxCount == 2);
            CHECK(r.LastMessage() ==
                  u"ETW: The Windows kernel trace session is in use by another program.");
            CHECK(r.Idle());
        }
        const HeadlessMessageBox* question = HeadlessMessageBoxAt(0);
        REQUIRE(question != nullptr);
        CHECK(std::u16string(question->text).rfind(u"Another program is already using", 0) == 0);
        CHECK(std::u16string(question->caption) == u"Olvetta");
        CHECK((question->buttons == kButtonsYesNoDefaultNo && question->owned == 1));
    }
}

TEST_CASE("commands of the view and the menus") {
    Recorder r;
    SUBCASE("the two Suspicious controls always agree") {
        DispatchCommand(r.app, kCmdSuspiciousOnly);
        CHECK(r.app->view.suspiciousOnly == 1);
        CHECK(HeadlessControlById(kIdSuspiciousCheck)->check == kChecked);
        CHECK(HeadlessMenuChecked(kCmdSuspiciousOnly));
        HeadlessSetCheck(kIdSuspiciousCheck, kUnchecked);
        DispatchCommand(r.app, kIdSuspiciousCheck);
        CHECK(r.app->view.suspiciousOnly == 0);
        CHECK_FALSE(HeadlessMenuChecked(kCmdSuspiciousOnly));
    }
    // The scenario goldens set every view control as the window does (category boxes, the
    // Suspicious box, the operation and the text filter); here the edit's other notifications.
    SUBCASE("the text filter is read on EN_CHANGE only") {
        EventRow row{};
        CopyBounded(row.operation, kOperationChars, u"Read file");
        AppendRow(r.app, &row);
        HeadlessSetText(kIdFilterEdit, u"WRITE");
        DispatchCommand(r.app, kIdFilterEdit);
        CHECK(r.app->shownCount == 1);
        DispatchCommand(r.app, kIdFilterEdit | (uintptr_t{kEnChange} << 16));
        CHECK(r.app->shownCount == 0);
    }
    SUBCASE("auto-scroll toggles its check mark") {
        DispatchCommand(r.app, kCmdAutoScroll);
        CHECK((r.app->autoScroll == 0 && !HeadlessMenuChecked(kCmdAutoScroll)));
    }
    SUBCASE("Browse fills the path only on OK") {
        HeadlessQueueDialogCancel();
        DispatchCommand(r.app, kIdBrowseButton);
        CHECK(r.Text(kIdTargetEdit) == kPath);
        HeadlessQueueDialogPath(u"C:\\b.exe");
        DispatchCommand(r.app, kIdBrowseButton);
        CHECK(r.Text(kIdTargetEdit) == u"C:\\b.exe");
        // A chosen path too long to start from is refused as Start refuses it, not dropped.
        const std::u16string tooLong = u"C:\\" + std::u16string(300, u'a') + u".exe";
        HeadlessQueueDialogPath(tooLong.c_str());
        DispatchCommand(r.app, kIdBrowseButton);
        CHECK(r.LastMessage().find(u"longer than 259 characters") != std::u16string::npos);
        CHECK(r.LastIcon() == kIconError);
        CHECK(r.Text(kIdTargetEdit) == u"C:\\b.exe");
    }
    SUBCASE("About names the version and opens no address") {
        DispatchCommand(r.app, kCmdAbout);
        CHECK(r.LastMessage() == kAboutText);
        CHECK(r.LastIcon() == kIconInformation);
        CHECK(HeadlessModel()->shellCount == 0);
    }
}

TEST_CASE("a pasted path with quotes or blanks around it is started as the path inside") {
    struct Case {
        const char16_t* pasted;
        const char16_t* trimmed;
    };
    const Case cases[] = {
        {u"\"C:\\Samples\\a.exe\"", kPath},           // Explorer's "Copy as path"
        {u"  C:\\Samples\\a.exe \t\r\n", kPath},      // blanks and a line break
        {u" \" C:\\Samples\\a.exe\"  ", kPath},        // both, blanks inside the quotes
        {u"C:\\Samples\\a.exe", kPath},                // nothing to trim
        {u"\"C:\\Samples\\a.exe", u"\"C:\\Samples\\a.exe"}, // one quote: not a pair
        {u"\"\"", u""},                                  // only quotes: empty
        {u"\"", u"\""},
    };
    for (const Case& c : cases) {
        std::u16string text = c.pasted;
        const std::string shown = U8(text.c_str());
        CAPTURE(shown);
        TrimPastedPath(text.data());
        CHECK(std::u16string(text.c_str()) == c.trimmed);
    }

    Recorder r;
    HeadlessSetText(kIdTargetEdit, u" \"C:\\Samples\\a.exe\" ");
    r.Start();
    CHECK(r.app->recording == 1);
    CHECK(r.Text(kIdTargetEdit) == kPath);
    CHECK(std::u16string(r.app->recordingInfo.target) == kPath);
    r.Stop();
}

TEST_CASE("dropped files") {
    Recorder r;
    HandleDroppedFile(r.app, u"D:\\x\\SAMPLE.EXE");
    CHECK(r.Text(kIdTargetEdit) == u"D:\\x\\SAMPLE.EXE");
    for (const char16_t* name : {u"D:\\x\\a.dll", u"D:\\x\\a.exe.lnk", u"exe"}) {
        HandleDroppedFile(r.app, name);
        CHECK(r.LastMessage() == u"Please drop an EXE file.");
    }
    CHECK(r.Text(kIdTargetEdit) == u"D:\\x\\SAMPLE.EXE");
    // A name too long to start from is refused whole, never cut into another path.
    std::u16string longName = u"D:\\" + std::u16string(251, u'a') + u".exe";
    longName.insert(3, u"b");
    REQUIRE(longName.size() == 259);
    HandleDroppedFile(r.app, longName.c_str());
    CHECK(r.Text(kIdTargetEdit) == longName);
    longName.insert(3, u"b");
    HandleDroppedFile(r.app, longName.c_str());
    CHECK(r.LastMessage().find(u"longer than 259 characters") != std::u16string::npos);
    CHECK(r.Text(kIdTargetEdit) != longName);
}

TEST_CASE("Clear, Open, Exit and closing ask before unsaved rows are lost; No keeps everything") {
    struct Case {
        const char* name;
        bool (*act)(Recorder&); // true when the window was let go
        const char16_t* ending;
    };
    const Case cases[] = {
        {"Clear",
         [](Recorder& r) {
             DispatchCommand(r.app, kIdClearButton);
             return false;
         },
         u"Clear anyway?"},
        {"Open Session",
         [](Recorder& r) {
             HeadlessQueueDialogPath(u"C:\\nowhere\\s.ols");
             DispatchCommand(r.app, kCmdOpenSession);
             return false;
         },
         u"Open anyway?"},
        {"Exit",
         [](Recorder& r) {
             DispatchCommand(r.app, kCmdExit);
             return HeadlessModel()->destroyCalls > 0;
         },
         u"Close anyway?"},
        {"closing the window", [](Recorder& r) { return HandleCloseRequest(r.app); },
         u"Close anyway?"},
    };
    for (const Case& c : cases) {
        CAPTURE(c.name);
        Recorder r;
        EventRow row{};
        AppendRow(r.app, &row);
        AppendRow(r.app, &row);
        const uint32_t before = HeadlessModel()->messageBoxCount;
        HeadlessQueueAnswer(kAnswerNo);
        CHECK_FALSE(c.act(r));
        REQUIRE(HeadlessModel()->messageBoxCount == before + 1);
        const HeadlessMessageBox* box = HeadlessLastMessageBox();
        CHECK(box->buttons == kButtonsYesNoDefaultNo);
        CHECK(box->icon == kIconWarning);
        const std::u16string text = box->text;
        CHECK(text.rfind(u"2 rows have not been saved. Save Session keeps them.", 0) == 0);
        CHECK(text.substr(text.size() - TextLength(c.ending)) == c.ending);
        CHECK(r.app->rowCount == 2);
        CHECK(r.app->cleared.rows == 0);
        CHECK(HeadlessModel()->destroyCalls == 0);
        CHECK(HeadlessModel()->dialogCount <= 1);
    }

    // Yes to Clear: the rows go and are counted; with nothing unsaved left nothing is asked.
    Recorder r;
    EventRow row{};
    AppendRow(r.app, &row);
    HeadlessQueueAnswer(kAnswerYes);
    DispatchCommand(r.app, kIdClearButton);
    CHECK(r.app->rowCount == 0);
    CHECK(r.app->cleared.rows == 1);
    const uint32_t asked = HeadlessModel()->messageBoxCount;
    CHECK(HandleCloseRequest(r.app));
    CHECK(HeadlessModel()->messageBoxCount == asked);
}

TEST_CASE("Saved rows are let go without a question; a running recording always asks") {
    const auto file = std::filesystem::temp_directory_path() /
                      ("olv_unsaved_" + std::to_string(CurrentProcessId()) + ".ols");
    Recorder r;
    r.Start();
    REQUIRE(r.app->recording == 1);
    REQUIRE(SaveSessionToPath(r.app, file.u16string().c_str()));
    CHECK(r.app->rowsUnsaved == 0);
    HeadlessQueueAnswer(kAnswerNo);
    CHECK_FALSE(HandleCloseRequest(r.app)); // closing would stop the recording
    CHECK(std::u16string(HeadlessLastMessageBox()->text).rfind(u"A recording is running.", 0) == 0);
    CHECK(r.app->recording == 1);
    r.Stop();
    // Rows taken in at Stop were recorded after the save.
    const bool unsaved = r.app->rowsUnsaved != 0;
    const uint32_t asked = HeadlessModel()->messageBoxCount;
    HeadlessQueueAnswer(kAnswerYes);
    CHECK(HandleCloseRequest(r.app));
    CHECK(HeadlessModel()->messageBoxCount == asked + (unsaved ? 1 : 0));
    REQUIRE(SaveSessionToPath(r.app, file.u16string().c_str()));
    DispatchCommand(r.app, kIdClearButton); // saved: cleared without a question
    CHECK(r.app->rowCount == 0);
    std::filesystem::remove(file);
}

TEST_CASE("a program not found on a drive letter seen as remote or missing is sent to its network path") {
    struct Case {
        const char16_t* path;
        uint32_t driveType;
        bool unseen;
    };
    const Case cases[] = {
        {u"Z:\\tools\\a.exe", kDriveNoRootDir, true},
        {u"z:/tools/a.exe", kDriveRemote, true},
        {u"C:\\tools\\a.exe", kDriveFixed, false},
        {u"C:\\tools\\a.exe", kDriveTypeUnknown, false},
        // Already a network path, or no drive letter at all: nothing to send elsewhere.
        {u"\\\\server\\share\\a.exe", kDriveRemote, false},
        {u"tools\\a.exe", kDriveNoRootDir, false},
        {u"1:\\a.exe", kDriveNoRootDir, false},
        {u"", kDriveRemote, false},
    };
    for (const Case& c : cases) {
        CAPTURE(U8(c.path));
        CHECK(OnUnseenMappedDrive(c.path, c.driveType) == c.unseen);
        char16_t text[640];
        FormatProgramNotFound(c.path, c.driveType, text, 640);
        const std::u16string message = text;
        CHECK(message.rfind(u"File not found.", 0) == 0);
        CHECK((message.find(u"\\\\server\\share\\") != std::u16string::npos) == c.unseen);
    }
    char16_t text[640];
    FormatProgramNotFound(u"Y:\\a.exe", kDriveRemote, text, 640);
    CHECK(std::u16string(text).find(u"Drive Y: is a network drive, and what it leads to here does "
                                    u"not hold the file.") != std::u16string::npos);
    CHECK_FALSE(OnUnseenMappedDrive(nullptr, kDriveRemote));
    // Through Start: the platform's answer for the path's drive decides.
    Recorder r;
    SetSimulatedDriveType(u'y', kDriveRemote);
    HeadlessSetText(kIdTargetEdit, u"Y:\\a.exe");
    r.Start();
    CHECK(r.LastMessage() == text);
    CHECK(r.Idle());
    ClearSimulatedDrives();
    r.Start();
    CHECK(r.LastMessage() == u"File not found.");
}

TEST_CASE("script logging asked for: on from Start, put back at Stop and after a failed start") {
    const char16_t* key = u"HKLM\\SOFTWARE\\Policies\\Microsoft\\Windows\\PowerShell\\ScriptBlockLogging";
    auto logged = [key]() {
        auto* read = AllocRecord<RegistryValue>();
        REQUIRE(read != nullptr);
        const bool on = ReadRegistryValue(key, u"EnableScriptBlockLogging", read);
        FreeBlock(read);
        return on;
    };
    ClearSimulatedRegistry();
    {
        Recorder r;
        r.app->scriptLogging = 1;
        r.Start();
        REQUIRE(r.app->recording == 1);
        CHECK(logged());
        CHECK((r.app->recordingInfo.flags & scriptLoggingTurnedOn) != 0);
        r.Stop();
        CHECK_FALSE(logged());
        CHECK(r.app->scriptLoggingOn == 0);
        char16_t header[2048];
        BuildHeaderLines(&r.app->recordingInfo, true, header, 2048, u"");
        CHECK(std::u16string(header).find(u"Script block and module logging were turned on") !=
              std::u16string::npos);
    }
    {
        // The program cannot be created: the start is undone, the policy with it.
        Recorder r;
        r.app->scriptLogging = 1;
        FailSimProcessCreate(2);
        r.Start();
        CHECK(r.app->recording == 0);
        CHECK_FALSE(logged());
        CHECK(r.app->scriptLoggingOn == 0);
    }
    {
        // The policy cannot be written: the recording runs without it, and its notes say so.
        Recorder r;
        r.app->scriptLogging = 1;
        FailSimulatedRegistryChanges(5);
        r.Start();
        REQUIRE(r.app->recording == 1);
        CHECK_FALSE(logged());
        CHECK((r.app->recordingInfo.flags & scriptLoggingRefused) != 0);
        r.Stop();
        char16_t notes[4096];
        CHECK(BuildCompletenessNotes(r.app, notes, 4096, u"") > 0);
        CHECK(std::u16string(notes).find(u"could not be turned on") != std::u16string::npos);
    }
    ClearSimulatedRegistry();
}

TEST_CASE("the notes say when processes opened were not recorded, and only then") {
    struct Case {
        const char* name;
        uint32_t major, minor;
        bool refused;
        bool noted;
    };
    const Case cases[] = {{"Windows 10", 10, 0, false, false},
                          {"Windows 8.1", 6, 3, false, true},
                          {"Windows 7, no user-mode session at all", 6, 1, false, true},
                          {"the audit provider refused", 10, 0, true, true}};
    for (const Case& c : cases) {
        INFO(c.name);
        Recorder r;
        SetVersionOverride(c.major, c.minor, 9600);
        if (c.refused) SimTraceRefuseProvider(kKernelAuditProvider, 4200);
        r.Start();
        r.Stop();
        CHECK(((r.app->recordingInfo.flags & processOpensNotRecorded) != 0) == c.noted);
    }
}
