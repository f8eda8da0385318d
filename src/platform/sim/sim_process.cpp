// The simulated launched program (see sim_process.h). One lock guards every table; a waiting
// thread sleeps on one condition variable that every end, termination and event set wakes.
#include "platform/sim/sim_process.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "base/format.h"
#include "base/text.h"
#include "platform/process.h"

namespace olv {

namespace {

constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorNoSystemResources = 1450;
constexpr auto kWaitLimit = std::chrono::seconds(10);

constexpr int kHandles = 256;
constexpr int kProcesses = 64;
constexpr int kJobs = 32;
constexpr int kEvents = 32;

enum HandleKind : uint8_t { kKindNone, kKindProcess, kKindThread, kKindJob, kKindEvent };

struct HandleSlot {
    uint8_t kind;
    uint8_t open;
    int object; // index into the table of its kind
};

struct ProcessSlot {
    bool used;
    uint32_t id;
    uint32_t threadId;
    uint32_t parentId;
    uint8_t state; // SimProcessState
    uint8_t endCause;
    uint32_t exitCode;
    uint32_t suspendCount;
    uint32_t jobSerial; // 0: in no job
    uint32_t handles;   // open process and thread handles
    uint32_t waiters;
};

struct JobSlot {
    bool used;
    uint32_t serial;
    bool killOnClose;
    uint32_t handles;
};

struct EventSlot {
    bool used;
    bool signalled;
    uint32_t handles;
    uint32_t waiters;
};

struct Sim {
    std::mutex mutex;
    std::condition_variable changed;

    HandleSlot handles[kHandles];
    int nextHandle;
    ProcessSlot processes[kProcesses];
    int nextProcess;
    JobSlot jobs[kJobs];
    uint32_t nextJobSerial;
    EventSlot events[kEvents];

    uint32_t nextId;
    uint32_t lastCreatedId;

    // Script.
    bool createFails;
    uint32_t createError;
    bool jobRefused[3];
    bool eventFails;
    bool resumeFails;
    bool terminationFails;
    uint32_t exitReadFailures;

    SimProcessLog log;
};

void ResetLocked(Sim& s) {
    for (HandleSlot& h : s.handles)
        h = HandleSlot{};
    for (ProcessSlot& p : s.processes)
        p = ProcessSlot{};
    for (JobSlot& j : s.jobs)
        j = JobSlot{};
    for (EventSlot& e : s.events)
        e = EventSlot{};
    s.nextHandle = 0;
    s.nextProcess = 0;
    s.nextJobSerial = 1;
    s.nextId = kSimFirstProcessId;
    s.lastCreatedId = 0;
    s.createFails = false;
    s.createError = 0;
    for (bool& r : s.jobRefused)
        r = false;
    s.eventFails = false;
    s.resumeFails = false;
    s.terminationFails = false;
    s.exitReadFailures = 0;
    s.log = SimProcessLog{};
}

// Made on first use, so that no other static initialiser can find it unconstructed; ids and
// serials do not start at 0.
Sim& State() {
    static Sim* sim = [] {
        static Sim made;
        ResetLocked(made);
        return &made;
    }();
    return *sim;
}

// A handle slot that is free, taken round-robin so that a closed handle is not soon reused and
// a second close of it is still noticed. Null when all are open.
void* NewHandle(Sim& s, HandleKind kind, int object) {
    for (int n = 0; n < kHandles; ++n) {
        HandleSlot& h = s.handles[(s.nextHandle + n) % kHandles];
        if (h.open) continue;
        s.nextHandle = (s.nextHandle + n + 1) % kHandles;
        h.kind = kind;
        h.open = 1;
        h.object = object;
        ++s.log.openHandles;
        return &h;
    }
    return nullptr;
}

HandleSlot* Resolve(Sim& s, void* handle, HandleKind kind) {
    const auto first = reinterpret_cast<uintptr_t>(&s.handles[0]);
    const auto h = reinterpret_cast<uintptr_t>(handle);
    if (handle == nullptr || h < first || h >= first + sizeof s.handles ||
        (h - first) % sizeof(HandleSlot) != 0) {
        ++s.log.badHandles;
        return nullptr;
    }
    HandleSlot* slot = &s.handles[(h - first) / sizeof(HandleSlot)];
    if (!slot->open || (kind != kKindNone && slot->kind != kind)) {
        ++s.log.badHandles;
        return nullptr;
    }
    return slot;
}

ProcessSlot* ProcessOf(Sim& s, void* handle, HandleKind kind) {
    HandleSlot* h = Resolve(s, handle, kind);
    return h != nullptr ? &s.processes[h->object] : nullptr;
}

ProcessSlot* FindProcess(Sim& s, uint32_t id) {
    if (id == 0) return nullptr;
    for (ProcessSlot& p : s.processes) {
        if (p.used && p.id == id) return &p;
    }
    return nullptr;
}

bool JobExists(const Sim& s, uint32_t serial) {
    if (serial == 0) return false;
    for (const JobSlot& j : s.jobs) {
        if (j.used && j.serial == serial) return true;
    }
    return false;
}

// A process slot for a new process: never one that runs, holds handles or has waiters.
ProcessSlot* NewProcess(Sim& s, uint32_t parentId, uint8_t state) {
    for (int n = 0; n < kProcesses; ++n) {
        const int index = (s.nextProcess + n) % kProcesses;
        ProcessSlot& p = s.processes[index];
        const bool busy = p.used && (p.state != kSimProcessEnded || p.handles > 0 || p.waiters > 0);
        if (busy) continue;
        s.nextProcess = (index + 1) % kProcesses;
        p = ProcessSlot{};
        p.used = true;
        p.id = s.nextId;
        p.threadId = s.nextId + 4;
        s.nextId += 8;
        p.parentId = parentId;
        p.state = state;
        p.exitCode = kStillActive;
        p.suspendCount = state == kSimProcessSuspended ? 1 : 0;
        return &p;
    }
    return nullptr;
}

bool Alive(const ProcessSlot& p) {
    return p.used && (p.state == kSimProcessSuspended || p.state == kSimProcessRunning);
}

void EndLocked(Sim& s, ProcessSlot* p, uint32_t exitCode, SimEndCause cause) {
    p->state = kSimProcessEnded;
    p->exitCode = exitCode;
    p->endCause = cause;
    s.changed.notify_all();
}

void EndJobMembers(Sim& s, uint32_t serial, uint32_t exitCode, SimEndCause cause) {
    for (ProcessSlot& p : s.processes) {
        if (Alive(p) && p.jobSerial == serial) EndLocked(s, &p, exitCode, cause);
    }
}

void CopyText(char16_t* out, const char16_t* text) {
    CopyBounded(out, kSimProcessTextChars, text);
}

} // namespace

// --- the launched-program interface ---

namespace {
void (*gCreateHook)(void*) = nullptr;
void* gCreateHookContext = nullptr;
} // namespace

void SetSimProcessCreateHook(void (*hook)(void* context), void* context) {
    gCreateHook = hook;
    gCreateHookContext = context;
}

bool CreateSuspendedProcess(const char16_t* applicationName, char16_t* commandLine,
                            const char16_t* workingFolder, uint32_t launchFlags, ProcessInfo* out,
                            uint32_t* error) {
    if (gCreateHook != nullptr) gCreateHook(gCreateHookContext);
    Sim& s = State();
    std::lock_guard<std::mutex> guard(s.mutex);
    if (error != nullptr) *error = 0;
    if (out != nullptr) *out = ProcessInfo{};
    ++s.log.createCalls;
    CopyText(s.log.applicationName, applicationName);
    CopyText(s.log.commandLine, commandLine);
    CopyText(s.log.workingFolder, workingFolder);
    s.log.workingFolderGiven = workingFolder != nullptr ? 1 : 0;
    s.log.launchFlags = launchFlags;
    uint32_t failure = 0;
    if (s.createFails) {
        s.createFails = false;
        failure = s.createError != 0 ? s.createError : kErrorInvalidParameter;
    } else if (out == nullptr) {
        failure = kErrorInvalidParameter;
    }
    ProcessSlot* p = nullptr;
    if (failure == 0) {
        p = NewProcess(s, 0, kSimProcessSuspended);
        if (p == nullptr) failure = kErrorNoSystemResources;
    }
    void* processHandle = nullptr;
    void* threadHandle = nullptr;
    if (failure == 0) {
        const int index = static_cast<int>(p - s.processes);
        processHandle = NewHandle(s, kKindProcess, index);
        threadHandle = processHandle != nullptr ? NewHandle(s, kKindThread, index) : nullptr;
        if (threadHandle == nullptr) {
            if (processHandle != nullptr) {
                static_cast<HandleSlot*>(processHandle)->open = 0;
                --s.log.openHandles;
            }
            *p = ProcessSlot{};
            failure = kErrorNoSystemResources;
        }
    }
    if (failure != 0) {
        if (error != nullptr) *error = failure;
        return false;
    }
    p->handles = 2;
    ++s.log.createsOk;
    s.lastCreatedId = p->id;
    out->process = processHandle;
    out->thread = threadHandle;
    out->processId = p->id;
    out->threadId = p->threadId;
    return true;
}

void* CreateJob() {
    Sim& s = State();
    std::lock_guard<std::mutex> guard(s.mutex);
    if (s.jobRefused[kSimJobCreate]) {
        s.jobRefused[kSimJobCreate] = false;
        return nullptr;
    }
    for (int i = 0; i < kJobs; ++i) {
        JobSlot& j = s.jobs[i];
        if (j.used) continue;
        void* handle = NewHandle(s, kKindJob, i);
        if (handle == nullptr) return nullptr;
        j = JobSlot{};
        j.used = true;
        j.serial = s.nextJobSerial++;
        j.handles = 1;
        ++s.log.jobsCreated;
        return handle;
    }
    return nullptr;
}

bool LimitJobKillOnClose(void* job) {
    Sim& s = State();
    std::lock_guard<std::mutex> guard(s.mutex);
    HandleSlot* h = Resolve(s, job, kKindJob);
    if (h == nullptr) return false;
    if (s.jobRefused[kSimJobLimit]) {
        s.jobRefused[kSimJobLimit] = false;
        return false;
    }
    s.jobs[h->object].killOnClose = true;
    ++s.log.jobsLimited;
    return true;
}

bool AssignToJob(void* job, void* process) {
    Sim& s = State();
    std::lock_guard<std::mutex> guard(s.mutex);
    HandleSlot* h = Resolve(s, job, kKindJob);
    ProcessSlot* p = ProcessOf(s, process, kKindProcess);
    if (h == nullptr || p == nullptr) return false;
    if (s.jobRefused[kSimJobAssign]) {
        s.jobRefused[kSimJobAssign] = false;
        return false;
    }
    if (!Alive(*p) || p->jobSerial != 0) return false;
    p->jobSerial = s.jobs[h->object].serial;
    ++s.log.assignsOk;
    return true;
}

uint32_t ResumeMainThread(void* thread) {
    Sim& s = State();
    std::lock_guard<std::mutex> guard(s.mutex);
    ++s.log.resumeCalls;
    ProcessSlot* p = ProcessOf(s, thread, kKindThread);
    if (p == nullptr) return kResumeFailed;
    if (s.resumeFails) {
        s.resumeFails = false;
        return kResumeFailed;
    }
    const uint32_t previous = p->suspendCount;
    if (p->suspendCount > 0) --p->suspendCount;
    if (p->suspendCount == 0 && p->state == kSimProcessSuspended) p->state = kSimProcessRunning;
    ++s.log.resumesOk;
    return previous;
}

bool EndJob(void* job, uint32_t exitCode) {
    Sim& s = State();
    std::lock_guard<std::mutex> guard(s.mutex);
    HandleSlot* h = Resolve(s, job, kKindJob);
    if (h == nullptr) return false;
    if (s.terminationFails) {
        s.terminationFails = false;
        ++s.log.terminationsFailed;
        return false;
    }
    EndJobMembers(s, s.jobs[h->object].serial, exitCode, kSimEndedByJobTermination);
    ++s.log.jobTerminations;
    s.log.lastJobExitCode = exitCode;
    return true;
}

bool EndProcess(void* process, uint32_t exitCode) {
    Sim& s = State();
    std::lock_guard<std::mutex> guard(s.mutex);
    ProcessSlot* p = ProcessOf(s, process, kKindProcess);
    if (p == nullptr) return false;
    // The system refuses to end a process that has already ended.
    if (s.terminationFails || !Alive(*p)) {
        s.terminationFails = false;
        ++s.log.terminationsFailed;
        return false;
    }
    EndLocked(s, p, exitCode, kSimEndedByTermination);
    ++s.log.processTerminations;
    s.log.lastProcessExitCode = exitCode;
    return true;
}

bool ReadExitCode(void* process, uint32_t* exitCode) {
    Sim& s = State();
    std::lock_guard<std::mutex> guard(s.mutex);
    if (exitCode != nullptr) *exitCode = 0;
    ProcessSlot* p = ProcessOf(s, process, kKindProcess);
    if (p == nullptr || exitCode == nullptr) return false;
    if (s.exitReadFailures > 0) {
        --s.exitReadFailures;
        return false;
    }
    *exitCode = p->exitCode;
    return true;
}

void* CreateManualEvent() {
    Sim& s = State();
    std::lock_guard<std::mutex> guard(s.mutex);
    if (s.eventFails) {
        s.eventFails = false;
        return nullptr;
    }
    for (int i = 0; i < kEvents; ++i) {
        EventSlot& e = s.events[i];
        if (e.used) continue;
        void* handle = NewHandle(s, kKindEvent, i);
        if (handle == nullptr) return nullptr;
        e = EventSlot{};
        e.used = true;
        e.handles = 1;
        ++s.log.eventsCreated;
        return handle;
    }
    return nullptr;
}

bool SetManualEvent(void* event) {
    Sim& s = State();
    std::lock_guard<std::mutex> guard(s.mutex);
    HandleSlot* h = Resolve(s, event, kKindEvent);
    if (h == nullptr) return false;
    s.events[h->object].signalled = true;
    ++s.log.eventSets;
    s.changed.notify_all();
    return true;
}

WaitOutcome WaitProcessOrEvent(void* process, void* event) {
    Sim& s = State();
    std::unique_lock<std::mutex> lock(s.mutex);
    ++s.log.waitsStarted;
    ProcessSlot* p = ProcessOf(s, process, kKindProcess);
    EventSlot* e = nullptr;
    if (event != nullptr) {
        HandleSlot* h = Resolve(s, event, kKindEvent);
        if (h != nullptr) e = &s.events[h->object];
    }
    if (p == nullptr || (event != nullptr && e == nullptr)) {
        ++s.log.waitsFailed;
        return kWaitFailed;
    }
    ++p->waiters;
    if (e != nullptr) ++e->waiters;
    ++s.log.waiting;
    s.changed.notify_all(); // WaitSimWaiters
    s.changed.wait(lock, [&] { return !Alive(*p) || (e != nullptr && e->signalled); });
    --s.log.waiting;
    --p->waiters;
    if (e != nullptr) --e->waiters;
    // The process comes first when both are signalled, as with the system's wait.
    if (!Alive(*p)) {
        ++s.log.waitsByProcess;
        return kWaitProcessEnded;
    }
    ++s.log.waitsByEvent;
    return kWaitEventSet;
}

void CloseSystemHandle(void* handle) {
    if (handle == nullptr) return;
    Sim& s = State();
    std::lock_guard<std::mutex> guard(s.mutex);
    HandleSlot* h = Resolve(s, handle, kKindNone);
    if (h == nullptr) return;
    h->open = 0;
    --s.log.openHandles;
    switch (h->kind) {
    case kKindProcess:
    case kKindThread: {
        ProcessSlot& p = s.processes[h->object];
        --p.handles;
        if (p.waiters > 0 && h->kind == kKindProcess) ++s.log.closedWhileWaited;
        break;
    }
    case kKindJob: {
        JobSlot& j = s.jobs[h->object];
        if (--j.handles == 0) {
            if (j.killOnClose)
                EndJobMembers(s, j.serial, kSimJobCloseExitCode, kSimEndedByJobClose);
            j.used = false;
        }
        break;
    }
    case kKindEvent: {
        EventSlot& e = s.events[h->object];
        if (e.waiters > 0) ++s.log.closedWhileWaited;
        if (--e.handles == 0 && e.waiters == 0) e.used = false;
        break;
    }
    default:
        break;
    }
}

void SystemErrorText(uint32_t error, char16_t* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return;
    if (capacity > kSystemErrorTextChars) capacity = kSystemErrorTextChars;
    // The texts the program is likely to meet, as the system words them.
    const char16_t* text = nullptr;
    switch (error) {
    case 2:
        text = u"The system cannot find the file specified.";
        break;
    case 3:
        text = u"The system cannot find the path specified.";
        break;
    case 5:
        text = u"Access is denied.";
        break;
    case 8:
        text = u"Not enough memory resources are available to process this command.";
        break;
    case 80:
        text = u"The file exists.";
        break;
    case 193:
        text = u"%1 is not a valid Win32 application.";
        break;
    case 206:
        text = u"The filename or extension is too long.";
        break;
    default:
        break;
    }
    if (text != nullptr) {
        CopyBounded(out, capacity, text);
    } else {
        FormatText(out, capacity, u"Error %lu", error);
    }
}

// --- scripting ---

void ResetSimProcesses() {
    SetSimProcessCreateHook(nullptr, nullptr);
    Sim& s = State();
    std::lock_guard<std::mutex> guard(s.mutex);
    ResetLocked(s);
}

void SetSimNextProcessId(uint32_t processId) {
    Sim& s = State();
    std::lock_guard<std::mutex> guard(s.mutex);
    s.nextId = processId;
}

void FailSimProcessCreate(uint32_t error) {
    Sim& s = State();
    std::lock_guard<std::mutex> guard(s.mutex);
    s.createFails = true;
    s.createError = error;
}

void RefuseSimJob(SimJobStep step) {
    if (step < kSimJobCreate || step > kSimJobAssign) return;
    Sim& s = State();
    std::lock_guard<std::mutex> guard(s.mutex);
    s.jobRefused[step] = true;
}

void FailSimEventCreate() {
    Sim& s = State();
    std::lock_guard<std::mutex> guard(s.mutex);
    s.eventFails = true;
}

void FailSimResume() {
    Sim& s = State();
    std::lock_guard<std::mutex> guard(s.mutex);
    s.resumeFails = true;
}

void FailSimTermination() {
    Sim& s = State();
    std::lock_guard<std::mutex> guard(s.mutex);
    s.terminationFails = true;
}

void FailSimExitCodeReads(uint32_t count) {
    Sim& s = State();
    std::lock_guard<std::mutex> guard(s.mutex);
    s.exitReadFailures = count;
}

bool EndSimulatedProcessById(uint32_t processId, uint32_t exitCode) {
    Sim& s = State();
    std::lock_guard<std::mutex> guard(s.mutex);
    ProcessSlot* p = FindProcess(s, processId);
    if (p == nullptr || p->state != kSimProcessRunning) return false;
    EndLocked(s, p, exitCode, kSimEndedByItself);
    return true;
}

bool EndSimulatedProcess(uint32_t exitCode) {
    return EndSimulatedProcessById(SimLastProcessId(), exitCode);
}

uint32_t StartSimChildProcess(uint32_t parentId) {
    Sim& s = State();
    std::lock_guard<std::mutex> guard(s.mutex);
    ProcessSlot* parent = FindProcess(s, parentId);
    if (parent == nullptr || parent->state != kSimProcessRunning) return 0;
    const uint32_t job = JobExists(s, parent->jobSerial) ? parent->jobSerial : 0;
    ProcessSlot* child = NewProcess(s, parentId, kSimProcessRunning);
    if (child == nullptr) return 0;
    child->jobSerial = job;
    return child->id;
}

// --- observing ---

uint32_t SimLastProcessId() {
    Sim& s = State();
    std::lock_guard<std::mutex> guard(s.mutex);
    return s.lastCreatedId;
}

bool QuerySimProcess(uint32_t processId, SimProcessStatus* out) {
    Sim& s = State();
    std::lock_guard<std::mutex> guard(s.mutex);
    if (out != nullptr) *out = SimProcessStatus{};
    const ProcessSlot* p = FindProcess(s, processId);
    if (p == nullptr || out == nullptr) return false;
    out->state = p->state;
    out->endCause = p->endCause;
    out->inJob = JobExists(s, p->jobSerial) ? 1 : 0;
    out->exitCode = p->exitCode;
    out->suspendCount = p->suspendCount;
    out->parentId = p->parentId;
    out->threadId = p->threadId;
    return true;
}

void QuerySimProcessLog(SimProcessLog* out) {
    if (out == nullptr) return;
    Sim& s = State();
    std::lock_guard<std::mutex> guard(s.mutex);
    *out = s.log;
}

bool WaitSimWaiters(uint32_t count) {
    Sim& s = State();
    std::unique_lock<std::mutex> lock(s.mutex);
    return s.changed.wait_for(lock, kWaitLimit, [&] { return s.log.waiting >= count; });
}

} // namespace olv
