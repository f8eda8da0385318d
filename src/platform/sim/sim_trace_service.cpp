// The simulated trace service (see sim_trace_service.h). One lock guards every session slot; the
// producer and the event callback run outside it, on the processing thread.
#include "platform/sim/sim_trace_service.h"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/guarded_call.h"
#include "platform/sim/sim_event.h"

namespace olv {

namespace {

constexpr uint32_t kStatusInvalidHandle = 6;     // ERROR_INVALID_HANDLE
constexpr uint32_t kStatusInvalidParameter = 87; // ERROR_INVALID_PARAMETER
constexpr uint64_t kSessionTag = 0x100;
constexpr uint64_t kConsumerTag = 0x200;
constexpr auto kWaitLimit = std::chrono::seconds(10);

enum ConsumerPhase : uint8_t { kPhaseNone, kPhaseProcessing, kPhaseReturned };

struct Failure {
    uint32_t status;
    uint32_t times;
};

struct Slot {
    bool used;
    char16_t name[kTraceNameUnits];

    // Script.
    bool foreign;
    Failure failures[kSimStepCount];
    uint32_t eventsLost;
    uint32_t buffersLost;
    SimEventProducer events;
    void* eventsContext;
    SimEventProducer rundown;
    void* rundownContext;
    uint32_t gate;
    bool endAfterEvents;
    uint32_t endAfterStatus;
    uint32_t bufferedAtStop; // run events still in the session's buffers when it ends
    bool hangAfterStop;

    // The program's session.
    bool running;
    uint64_t sessionHandle;
    bool stopped;        // stopped since the start; the rundown is still owed
    bool rundownDone;    // the rundown of this start was delivered
    uint32_t stopStatus; // what ProcessTraceEvents returns after the stop
    uint32_t nextIndex;  // the next run event to ask the producer for
    bool scriptDone;
    uint32_t owed;          // buffered run events still to deliver after the end
    uint32_t rundownNext;   // the next rundown event
    std::thread::id raiser; // the thread that raised its priority for this consumer

    // Its consumer.
    uint64_t consumerHandle; // 0 = none
    bool closed;
    TraceEventCallback callback;
    ConsumerPhase phase;
    bool waiting; // inside ProcessTraceEvents with nothing to deliver

    SimSessionInfo info;
};

struct Service {
    std::mutex mutex;
    std::condition_variable changed;
    Slot slots[kSimMaxSessions];
    bool noAdmin;
    uint64_t generation;
    // A provider the system does not know (or refuses): enabling it answers refusedStatus.
    bool providerRefused;
    Guid refusedProvider;
    uint32_t refusedStatus;
};

Service& TheService() {
    static Service service;
    return service;
}

bool SameName(const char16_t* a, const char16_t* b) {
    for (uint32_t i = 0; i < kTraceNameUnits; ++i) {
        if (a[i] != b[i]) return false;
        if (a[i] == 0) return true;
    }
    return true;
}

Slot* FindSlot(Service& s, const char16_t* name) {
    if (name == nullptr) return nullptr;
    for (Slot& slot : s.slots) {
        if (slot.used && SameName(slot.name, name)) return &slot;
    }
    return nullptr;
}

// The slot of the name, made when it is new; null when the table is full or the name is null.
Slot* SlotFor(Service& s, const char16_t* name) {
    Slot* found = FindSlot(s, name);
    if (found != nullptr || name == nullptr) return found;
    for (Slot& slot : s.slots) {
        if (slot.used) continue;
        slot = Slot{};
        slot.used = true;
        uint32_t i = 0;
        for (; i + 1 < kTraceNameUnits && name[i] != 0; ++i)
            slot.name[i] = name[i];
        slot.name[i] = 0;
        slot.gate = kSimNoGate;
        return &slot;
    }
    return nullptr;
}

Slot* SlotOfHandle(Service& s, uint64_t handle, uint64_t tag) {
    if (handle == kNoTraceHandle || (handle & 0xF00) != tag) return nullptr;
    uint64_t index = handle & 0xFF;
    if (index >= kSimMaxSessions) return nullptr;
    Slot& slot = s.slots[index];
    if (!slot.used) return nullptr;
    if (tag == kSessionTag) return slot.running && slot.sessionHandle == handle ? &slot : nullptr;
    return slot.consumerHandle == handle ? &slot : nullptr;
}

uint64_t MakeHandle(Service& s, const Slot* slot, uint64_t tag) {
    ++s.generation;
    return (s.generation << 16) | tag | static_cast<uint64_t>(slot - s.slots);
}

// Consumes one scripted failure of the step; 0 when none is pending.
uint32_t TakeFailure(Slot* slot, SimTraceStep step) {
    if (slot == nullptr) return 0;
    Failure& f = slot->failures[step];
    if (f.times == 0) return 0;
    --f.times;
    return f.status;
}

bool BlockUsable(const TraceProperties* props) {
    return props != nullptr && props->wnode.bufferSize >= kTraceLoggerNameOffset &&
           props->wnode.bufferSize <= kTracePropertiesSize &&
           props->loggerNameOffset < props->wnode.bufferSize &&
           props->logFileNameOffset < props->wnode.bufferSize;
}

// The program's session ends (stopped by it or from outside): the name is free, the buffered
// run events and the rundown are owed to the consumer, which then returns status.
void EndSession(Service& s, Slot* slot, uint32_t status) {
    slot->running = false;
    slot->sessionHandle = 0;
    slot->stopped = true;
    slot->stopStatus = status;
    slot->owed = slot->bufferedAtStop;
    s.changed.notify_all();
}

void ReportFigures(const Slot* slot, TraceProperties* props) {
    props->eventsLost = slot->eventsLost;
    props->realTimeBuffersLost = slot->buffersLost;
}

// Runs one producer call and the callback outside the lock; the lock is held on entry and exit.
bool DeliverOne(std::unique_lock<std::mutex>& lock, SimEventProducer producer, void* context,
                uint32_t index, TraceEventCallback callback, SimEvent* event) {
    lock.unlock();
    bool fault = false;
    bool made = producer(context, index, event, &fault);
    if (made && callback != nullptr) {
        if (fault) ArmSimulatedFault();
        callback(&event->record);
    }
    lock.lock();
    return made;
}

template <typename Ready>
bool WaitFor(std::unique_lock<std::mutex>& lock, Service& s, Ready ready) {
    return s.changed.wait_for(lock, kWaitLimit, ready);
}

} // namespace

// --- the trace-session interface ---

uint32_t StartTraceSession(uint64_t* session, const char16_t* name, TraceProperties* props) {
    Service& s = TheService();
    std::lock_guard<std::mutex> guard(s.mutex);
    Slot* slot = SlotFor(s, name);
    if (slot == nullptr) return kStatusInvalidParameter;
    ++slot->info.startCalls;
    if (props != nullptr) slot->info.lastStart = *props;
    if (s.noAdmin) return kStatusAccessDenied;
    if (uint32_t failure = TakeFailure(slot, kSimStepStart)) return failure;
    if (slot->foreign || slot->running) return kStatusAlreadyExists;
    if (session == nullptr || !BlockUsable(props) ||
        props->wnode.bufferSize != kTracePropertiesSize) {
        return kStatusInvalidParameter;
    }
    slot->running = true;
    slot->sessionHandle = MakeHandle(s, slot, kSessionTag);
    slot->stopped = false;
    slot->rundownDone = false;
    slot->stopStatus = 0;
    slot->nextIndex = 0;
    slot->scriptDone = false;
    slot->owed = 0;
    slot->rundownNext = 0;
    slot->info.delivered = 0;
    slot->info.deliveredAfterStop = 0;
    slot->info.rundownDelivered = 0;
    ++slot->info.startsOk;
    *session = slot->sessionHandle;
    s.changed.notify_all();
    return kStatusSuccess;
}

uint32_t ControlTraceSession(uint64_t session, const char16_t* name, TraceProperties* props,
                             uint32_t controlCode) {
    Service& s = TheService();
    std::lock_guard<std::mutex> guard(s.mutex);
    Slot* slot =
        session != kNoTraceHandle ? SlotOfHandle(s, session, kSessionTag) : FindSlot(s, name);
    if (slot != nullptr && props != nullptr) slot->info.lastControl = *props;
    if (!BlockUsable(props)) return kStatusInvalidParameter;
    if (s.noAdmin) return kStatusAccessDenied;
    if (controlCode != kTraceControlStop && controlCode != kTraceControlQuery) {
        return kStatusInvalidParameter;
    }
    bool stop = controlCode == kTraceControlStop;
    if (slot == nullptr) return kStatusInstanceNotFound;
    if (uint32_t failure = TakeFailure(slot, stop ? kSimStepStop : kSimStepQuery)) return failure;
    if (session == kNoTraceHandle && slot->foreign) {
        // Another program's session: stopping it frees the name; it reports no figures of ours.
        if (stop) {
            slot->foreign = false;
            ++slot->info.stopsOk;
            s.changed.notify_all();
        }
        return kStatusSuccess;
    }
    if (!slot->running) return kStatusInstanceNotFound;
    ReportFigures(slot, props);
    if (stop) {
        ++slot->info.stopsOk;
        EndSession(s, slot, kStatusSuccess);
    }
    return kStatusSuccess;
}

uint32_t EnableTraceProvider(uint64_t session, const Guid& provider, uint32_t controlCode,
                             uint8_t level, uint64_t matchAnyKeyword, uint64_t matchAllKeyword,
                             uint32_t timeoutMs) {
    Service& s = TheService();
    std::lock_guard<std::mutex> guard(s.mutex);
    Slot* slot = SlotOfHandle(s, session, kSessionTag);
    if (slot == nullptr) return kStatusInvalidHandle;
    if (slot->info.enableCalls < 4) slot->info.enabledProviders[slot->info.enableCalls] = provider;
    ++slot->info.enableCalls;
    slot->info.enabledProvider = provider;
    slot->info.enableControlCode = controlCode;
    slot->info.enableLevel = level;
    slot->info.enableMatchAny = matchAnyKeyword;
    slot->info.enableMatchAll = matchAllKeyword;
    slot->info.enableTimeout = timeoutMs;
    if (s.noAdmin) return kStatusAccessDenied;
    if (s.providerRefused && s.refusedProvider == provider) return s.refusedStatus;
    return TakeFailure(slot, kSimStepEnable);
}

uint64_t OpenRealTimeTrace(const char16_t* loggerName, TraceEventCallback callback,
                           uint32_t* lastError) {
    Service& s = TheService();
    std::lock_guard<std::mutex> guard(s.mutex);
    uint32_t error = 0;
    Slot* slot = FindSlot(s, loggerName);
    if (slot != nullptr) ++slot->info.openCalls;
    if (slot == nullptr || !slot->running) {
        error = kStatusInstanceNotFound;
    } else if (s.noAdmin) {
        error = kStatusAccessDenied;
    } else {
        error = TakeFailure(slot, kSimStepOpen);
    }
    if (lastError != nullptr) *lastError = error;
    if (error != 0) return kNoTraceHandle;
    slot->consumerHandle = MakeHandle(s, slot, kConsumerTag);
    slot->closed = false;
    slot->callback = callback;
    slot->phase = kPhaseNone;
    slot->waiting = false;
    s.changed.notify_all();
    return slot->consumerHandle;
}

uint32_t ProcessTraceEvents(uint64_t trace) {
    Service& s = TheService();
    std::unique_lock<std::mutex> lock(s.mutex);
    Slot* slot = SlotOfHandle(s, trace, kConsumerTag);
    if (slot == nullptr) return kStatusInvalidHandle;
    if (uint32_t failure = TakeFailure(slot, kSimStepProcess)) {
        slot->phase = kPhaseReturned;
        slot->info.lastProcessStatus = failure;
        s.changed.notify_all();
        return failure;
    }
    slot->phase = kPhaseProcessing;
    slot->info.raisedOnProcessingThread = slot->raiser == std::this_thread::get_id() ? 1 : 0;
    s.changed.notify_all();

    // One record for the whole run, outside the program's heap (the hooks of platform/memory.h
    // count the program's allocations only).
    lock.unlock();
    auto* event = static_cast<SimEvent*>(std::calloc(1, sizeof(SimEvent)));
    lock.lock();

    uint32_t status = kStatusSuccess;
    for (;;) {
        // Closing the consumer ends delivery at once, whatever the session still owes.
        if (slot->closed) {
            slot->info.lostAtClose += slot->owed;
            if (slot->stopped && !slot->rundownDone) slot->info.rundownCut = 1;
            slot->owed = 0;
            status = kStatusCancelled;
            break;
        }
        if (slot->stopped) {
            // What the buffers still held, then the rundown, one event at a time.
            if (slot->owed > 0 && event != nullptr && slot->events != nullptr &&
                !slot->scriptDone) {
                --slot->owed;
                uint32_t index = slot->nextIndex++;
                if (DeliverOne(lock, slot->events, slot->eventsContext, index, slot->callback,
                               event)) {
                    ++slot->info.delivered;
                    ++slot->info.deliveredAfterStop;
                } else {
                    slot->scriptDone = true;
                    slot->owed = 0;
                }
                s.changed.notify_all();
                continue;
            }
            slot->owed = 0;
            if (!slot->rundownDone && event != nullptr && slot->rundown != nullptr) {
                if (DeliverOne(lock, slot->rundown, slot->rundownContext, slot->rundownNext++,
                               slot->callback, event)) {
                    ++slot->info.rundownDelivered;
                } else {
                    slot->rundownDone = true;
                }
                s.changed.notify_all();
                continue;
            }
            slot->rundownDone = true;
            if (slot->hangAfterStop) {
                slot->waiting = true;
                s.changed.notify_all();
                s.changed.wait(lock);
                slot->waiting = false;
                continue;
            }
            status = slot->stopStatus;
            break;
        }
        bool more = event != nullptr && slot->events != nullptr && !slot->scriptDone &&
                    slot->nextIndex < slot->gate;
        if (!more) {
            if (event == nullptr) {
                status = kStatusNotEnoughMemory;
                break;
            }
            slot->waiting = true;
            s.changed.notify_all();
            s.changed.wait(lock);
            slot->waiting = false;
            continue;
        }
        uint32_t index = slot->nextIndex++;
        if (DeliverOne(lock, slot->events, slot->eventsContext, index, slot->callback, event)) {
            ++slot->info.delivered;
        } else {
            slot->scriptDone = true;
            if (slot->endAfterEvents && slot->running) EndSession(s, slot, slot->endAfterStatus);
        }
        s.changed.notify_all();
    }
    slot->phase = kPhaseReturned;
    slot->waiting = false;
    slot->info.lastProcessStatus = status;
    s.changed.notify_all();
    lock.unlock();
    std::free(event);
    return status;
}

uint32_t RaiseConsumerThreadPriority(uint64_t trace) {
    Service& s = TheService();
    std::lock_guard<std::mutex> guard(s.mutex);
    Slot* slot = SlotOfHandle(s, trace, kConsumerTag);
    if (slot == nullptr) return kStatusInvalidHandle;
    ++slot->info.priorityRaises;
    slot->raiser = std::this_thread::get_id();
    return kStatusSuccess;
}

uint32_t CloseTraceConsumer(uint64_t trace) {
    Service& s = TheService();
    std::lock_guard<std::mutex> guard(s.mutex);
    Slot* slot = SlotOfHandle(s, trace, kConsumerTag);
    if (slot == nullptr) return kStatusInvalidHandle;
    ++slot->info.closeCalls;
    slot->closed = true;
    slot->consumerHandle = 0;
    s.changed.notify_all();
    return kStatusSuccess;
}

// --- scripting ---

void SimTraceReset() {
    Service& s = TheService();
    std::lock_guard<std::mutex> guard(s.mutex);
    for (Slot& slot : s.slots)
        slot = Slot{};
    s.noAdmin = false;
    s.providerRefused = false;
    s.changed.notify_all();
}

void SimTraceRefuseProvider(const Guid& provider, uint32_t status) {
    Service& s = TheService();
    std::lock_guard<std::mutex> guard(s.mutex);
    s.providerRefused = true;
    s.refusedProvider = provider;
    s.refusedStatus = status;
}

void SimTraceSetAdmin(bool admin) {
    Service& s = TheService();
    std::lock_guard<std::mutex> guard(s.mutex);
    s.noAdmin = !admin;
}

void SimTraceAddForeignSession(const char16_t* name) {
    Service& s = TheService();
    std::lock_guard<std::mutex> guard(s.mutex);
    if (Slot* slot = SlotFor(s, name)) slot->foreign = true;
}

void SimTraceFailStep(const char16_t* name, SimTraceStep step, uint32_t status, uint32_t times) {
    if (step < 0 || step >= kSimStepCount) return;
    Service& s = TheService();
    std::lock_guard<std::mutex> guard(s.mutex);
    if (Slot* slot = SlotFor(s, name)) slot->failures[step] = Failure{status, times};
}

void SimTraceSetLosses(const char16_t* name, uint32_t eventsLost, uint32_t buffersLost) {
    Service& s = TheService();
    std::lock_guard<std::mutex> guard(s.mutex);
    if (Slot* slot = SlotFor(s, name)) {
        slot->eventsLost = eventsLost;
        slot->buffersLost = buffersLost;
    }
}

void SimTraceSetEvents(const char16_t* name, SimEventProducer producer, void* context) {
    Service& s = TheService();
    std::lock_guard<std::mutex> guard(s.mutex);
    if (Slot* slot = SlotFor(s, name)) {
        slot->events = producer;
        slot->eventsContext = context;
        slot->scriptDone = false;
        s.changed.notify_all();
    }
}

void SimTraceSetRundown(const char16_t* name, SimEventProducer producer, void* context) {
    Service& s = TheService();
    std::lock_guard<std::mutex> guard(s.mutex);
    if (Slot* slot = SlotFor(s, name)) {
        slot->rundown = producer;
        slot->rundownContext = context;
    }
}

void SimTraceGateEvents(const char16_t* name, uint32_t limit) {
    Service& s = TheService();
    std::lock_guard<std::mutex> guard(s.mutex);
    if (Slot* slot = SlotFor(s, name)) {
        slot->gate = limit;
        s.changed.notify_all();
    }
}

void SimTraceEndAfterEvents(const char16_t* name, uint32_t processStatus) {
    Service& s = TheService();
    std::lock_guard<std::mutex> guard(s.mutex);
    if (Slot* slot = SlotFor(s, name)) {
        slot->endAfterEvents = true;
        slot->endAfterStatus = processStatus;
        if (slot->scriptDone && slot->running) EndSession(s, slot, processStatus);
    }
}

void SimTraceBufferAtStop(const char16_t* name, uint32_t count) {
    Service& s = TheService();
    std::lock_guard<std::mutex> guard(s.mutex);
    if (Slot* slot = SlotFor(s, name)) slot->bufferedAtStop = count;
}

void SimTraceHangAfterStop(const char16_t* name, bool hang) {
    Service& s = TheService();
    std::lock_guard<std::mutex> guard(s.mutex);
    if (Slot* slot = SlotFor(s, name)) {
        slot->hangAfterStop = hang;
        s.changed.notify_all();
    }
}

bool SimTraceEndSession(const char16_t* name, uint32_t processStatus) {
    Service& s = TheService();
    std::lock_guard<std::mutex> guard(s.mutex);
    Slot* slot = FindSlot(s, name);
    if (slot == nullptr || !slot->running) return false;
    EndSession(s, slot, processStatus);
    return true;
}

bool SimTraceWaitDelivered(const char16_t* name, uint32_t count) {
    Service& s = TheService();
    std::unique_lock<std::mutex> lock(s.mutex);
    Slot* slot = FindSlot(s, name);
    if (slot == nullptr) return false;
    WaitFor(lock, s, [&] {
        if (slot->info.delivered >= count) return true;
        if (slot->phase == kPhaseReturned) return true;
        return slot->phase == kPhaseNone && slot->consumerHandle == 0;
    });
    return slot->info.delivered >= count;
}

bool SimTraceWaitIdle(const char16_t* name) {
    Service& s = TheService();
    std::unique_lock<std::mutex> lock(s.mutex);
    Slot* slot = FindSlot(s, name);
    if (slot == nullptr) return true;
    return WaitFor(lock, s, [&] {
        switch (slot->phase) {
        case kPhaseProcessing:
            return slot->waiting;
        case kPhaseReturned:
            return true;
        case kPhaseNone:
            return slot->consumerHandle == 0;
        }
        return true;
    });
}

bool SimTraceQuerySession(const char16_t* name, SimSessionInfo* out) {
    Service& s = TheService();
    std::lock_guard<std::mutex> guard(s.mutex);
    Slot* slot = FindSlot(s, name);
    if (slot == nullptr || out == nullptr) return false;
    *out = slot->info;
    out->running = slot->running ? 1 : 0;
    out->foreign = slot->foreign ? 1 : 0;
    out->consumerOpen = slot->consumerHandle != 0 ? 1 : 0;
    out->processing = slot->phase == kPhaseProcessing ? 1 : 0;
    return true;
}

} // namespace olv
