// The simulated trace service: an in-process stand-in for the trace sessions of
// platform/trace_session.h that tests and the replay tool script.
//
// Sessions are known by name. Each name has a script (set before or while the session runs)
// and the state of the live session and its one consumer:
//  - starting answers 183 while another program holds the name (SimTraceAddForeignSession),
//    5 for every start, control and enable while the caller lacks rights (SimTraceSetAdmin),
//    and any status at any step that SimTraceFailStep asks for;
//  - the consumer's ProcessTraceEvents delivers the run events on the calling (processing)
//    thread, in order, one reusable SimEvent at a time, as the producer fills them; a gate holds
//    delivery at a given index until the test raises it;
//  - stopping the session (by handle or by name, or from outside with SimTraceEndSession)
//    delivers the run events still in its buffers (SimTraceBufferAtStop, none by default), then
//    the rundown events, then ProcessTraceEvents returns: 0 after a stop by the program, the
//    chosen status after an end from outside (or, with SimTraceHangAfterStop, not until the
//    consumer is closed). Closing the consumer ends delivery at once, whatever is still owed,
//    and ProcessTraceEvents returns 1223. Other run events not delivered when the session stops
//    are never delivered;
//  - stop and query report the loss figures set with SimTraceSetLosses.
// Every call is thread-safe. docs/trace-capture.md describes the scripting in full.
#pragma once

#include <cstdint>

#include "platform/trace_session.h"

namespace olv {

struct SimEvent;

// Fills event number index (0, 1, 2, ... within one script) into event, a record the service
// owns and reuses; BeginSimEvent it first. Returns false when the script has no event index
// (it is not asked again). Setting *fault makes the guarded decode of this event fault.
// Runs on the processing thread, outside the service's lock.
using SimEventProducer = bool (*)(void* context, uint32_t index, SimEvent* event, bool* fault);

// The steps that SimTraceFailStep can make fail.
enum SimTraceStep : int {
    kSimStepStart,   // StartTraceSession answers the status
    kSimStepStop,    // ControlTraceSession with the stop code answers it; the session stays
    kSimStepQuery,   // ControlTraceSession with the query code answers it
    kSimStepEnable,  // EnableTraceProvider answers it
    kSimStepOpen,    // OpenRealTimeTrace fails with it as the last error
    kSimStepProcess, // ProcessTraceEvents returns it at once, delivering nothing
    kSimStepCount
};

constexpr uint32_t kSimNoGate = 0xFFFFFFFFu;
constexpr uint32_t kSimMaxSessions = 8;

// What the service saw of one session name, for tests.
struct SimSessionInfo {
    uint8_t running;      // the program's session runs
    uint8_t foreign;      // another program holds the name
    uint8_t consumerOpen; // a consumer is open and not closed
    uint8_t processing;   // a thread is inside ProcessTraceEvents
    uint32_t startCalls;  // StartTraceSession calls, successful or not
    uint32_t startsOk;    // successful starts
    uint32_t stopsOk;     // successful stops (by handle or name, the program's or a foreign one)
    uint32_t enableCalls;
    uint32_t openCalls;
    uint32_t closeCalls;
    uint32_t delivered;          // run events handed to the callback (the callback returned)
    uint32_t deliveredAfterStop; // of those, the ones the buffers held when the session ended
    uint32_t rundownDelivered;   // rundown events handed to the callback
    uint32_t lostAtClose;        // buffered run events the closing of the consumer cut off
    uint8_t rundownCut;          // the consumer was closed before the rundown was through
    uint32_t priorityRaises;     // RaiseConsumerThreadPriority calls for the consumer
    uint8_t raisedOnProcessingThread; // the last ProcessTraceEvents ran on the raised thread
    uint32_t lastProcessStatus;
    TraceProperties lastStart;   // the block of the last StartTraceSession call
    TraceProperties lastControl; // the block of the last ControlTraceSession call
    Guid enabledProviders[4];    // the first four providers enabled, in order
    Guid enabledProvider;        // arguments of the last EnableTraceProvider call
    uint32_t enableControlCode;
    uint8_t enableLevel;
    uint64_t enableMatchAny;
    uint64_t enableMatchAll;
    uint32_t enableTimeout;
};

// Forgets every session, script, fault and observation; the caller has rights again.
// Call it only when no thread is inside ProcessTraceEvents.
void SimTraceReset();

// Whether the caller has administrator rights (default true).
void SimTraceSetAdmin(bool admin);
// Another program holds a session of this name: a start answers 183 until the session is
// stopped by name.
void SimTraceAddForeignSession(const char16_t* name);
// The next `times` calls of step on this name answer status (for kSimStepOpen: fail with it
// as the last error).
void SimTraceFailStep(const char16_t* name, SimTraceStep step, uint32_t status, uint32_t times);
// Every session's enabling of provider answers status from now on (until SimTraceReset).
void SimTraceRefuseProvider(const Guid& provider, uint32_t status);
// The figures that stop and query of this session report from now on.
void SimTraceSetLosses(const char16_t* name, uint32_t eventsLost, uint32_t buffersLost);

// The run events, delivered from the session's start on (the index restarts with every start).
void SimTraceSetEvents(const char16_t* name, SimEventProducer producer, void* context);
// The rundown, delivered when the session stops, before ProcessTraceEvents returns.
void SimTraceSetRundown(const char16_t* name, SimEventProducer producer, void* context);
// Only run events with an index below limit are delivered; kSimNoGate (the default) lets all
// through. Raising the limit releases the consumer.
void SimTraceGateEvents(const char16_t* name, uint32_t limit);
// When the session ends (stopped or from outside), the next count run events, past the gate,
// are still in its buffers: the consumer delivers them after the end, before the rundown.
void SimTraceBufferAtStop(const char16_t* name, uint32_t count);
// After the session ends and everything owed is delivered, ProcessTraceEvents does not return
// until the consumer is closed (a consumer that never finishes).
void SimTraceHangAfterStop(const char16_t* name, bool hang);
// When the producer has no more events, the session ends from outside with this status.
void SimTraceEndAfterEvents(const char16_t* name, uint32_t processStatus);
// Ends the program's session from outside now, as another program stopping it would: the name
// is free, the rundown is delivered, and ProcessTraceEvents returns processStatus.
// False when the program's session of that name does not run.
bool SimTraceEndSession(const char16_t* name, uint32_t processStatus);

// Waits until count run events of the session were delivered; false when the consumer returned
// (or none runs and none is open) first, or after 10 seconds.
bool SimTraceWaitDelivered(const char16_t* name, uint32_t count);
// Waits until the consumer has nothing to deliver: held at the gate, the script ended, or
// ProcessTraceEvents returned. False after 10 seconds.
bool SimTraceWaitIdle(const char16_t* name);
// A snapshot of what the service saw of the name; false when it never heard of it.
bool SimTraceQuerySession(const char16_t* name, SimSessionInfo* out);

} // namespace olv
