// A scenario: what the stand-ins are told before a recording is replayed (the program, the
// machine, the sessions' events and how things go wrong), read from a file of one JSON object
// per line. docs/scenarios.md describes the format.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/tracedata.h"

namespace olv::replay {

enum SessionIndex : uint8_t { kKernelSession = 0, kDnsSession = 1, kSessionCount = 2 };
enum EventPhase : uint8_t { kAtRun = 0, kAtStop = 1 };

enum PropType : uint8_t {
    kPropU8,
    kPropU16,
    kPropU32,
    kPropU64,
    kPropPointer,
    kPropWide,
    kPropAnsi,
    kPropBytes,
};

struct PropSpec {
    uint32_t nameAt; // UTF-16, terminated, in Scenario::text
    uint8_t type;    // PropType
    uint64_t value;  // numbers and pointers
    int64_t step;    // added once per repetition of a "repeat" block
    uint32_t dataAt; // kPropWide: UTF-16 in Scenario::text; kPropAnsi/kPropBytes: Scenario::bytes
    uint32_t dataLength; // characters (wide, without terminator) or bytes (ansi: with NUL)
};

struct EventLine {
    uint32_t lineNumber;
    Guid provider;
    uint8_t opcode;
    uint16_t id;
    uint8_t version;
    uint32_t pid;
    uint32_t tid;
    int64_t time;
    uint8_t header32;
    uint8_t at;      // EventPhase
    uint8_t session; // SessionIndex: the DNS client provider's events go to the DNS session
    uint32_t firstProp;
    uint32_t propCount;
    uint8_t hasPayload;
    uint32_t payloadAt; // in Scenario::bytes
    uint32_t payloadLength;
    int32_t block;    // index of the repeat block it belongs to; -1 when none
    int64_t timeStep; // of its block
};

// One delivered event: an event line, in repetition k of its block.
struct EventInstance {
    uint32_t line; // index into Scenario::events
    uint32_t k;
    uint32_t number; // 1, 2, 3 ... in file order over every delivered event, run and stop
    uint8_t session;
    uint8_t at;
};

struct RepeatBlock {
    uint32_t lineNumber;
    uint32_t count;      // repetitions
    uint32_t lineCount;  // event lines in the block
    uint32_t firstEvent; // index of its first event line
    int64_t timeStep;
};

// Something that happens once every run event numbered up to afterEvent has been delivered.
enum ActionKind : uint8_t {
    kActionExit,      // the program ends by itself with code
    kActionTraceEnds, // the session ends from outside; ProcessTrace returns code
    kActionStop,      // the user presses Stop
};

struct Action {
    uint32_t lineNumber;
    uint8_t kind;
    uint8_t session;
    uint64_t afterEvent;
    uint32_t code;
};

struct SessionScript {
    uint8_t foreign; // another program holds the session
    uint8_t hasLosses;
    uint32_t eventsLost;
    uint32_t buffersLost;
    uint8_t failSteps[6]; // SimTraceStep -> times (0: none)
    uint32_t failStatus[6];
};

// What the stand-ins know of a file or a process of the scenario's machine: a "facts" line.
enum FactsText : uint8_t {
    // of an image path
    kFactsOriginalFileName,
    kFactsDescription,
    kFactsProduct,
    kFactsCompany,
    kFactsFileVersion,
    kFactsMd5,
    kFactsSha1,
    kFactsSha256,
    kFactsImphash,
    kFactsSigner,
    // of a process id
    kFactsUser,
    kFactsDirectory,
    // of a registry value (a text value, REG_SZ)
    kFactsValueName,
    kFactsData,
    kFactsTextCount
};
constexpr uint32_t kNoText = UINT32_MAX;
struct FactsLine {
    uint32_t lineNumber;
    uint32_t pathAt; // an image's facts: its path in Scenario::text; kNoText for a process's
    uint32_t keyAt;  // a registry value's: its key as the trace names it; else kNoText
    uint32_t pid;    // a process's facts
    uint32_t textAt[kFactsTextCount]; // kNoText: not given
    uint8_t hasTrust;
    uint32_t trust; // the answer the trust check gives for the path
    uint32_t integrityRid; // 0: not given
    uint8_t hasLogonId;
    uint64_t logonId;
};
constexpr int kMaxFactsLines = 256;

constexpr int kMaxDrives = 26;
constexpr int kMaxActions = 32;
constexpr int kMaxFaults = 256;
constexpr uint32_t kMaxInstances = 20000000;

struct Scenario {
    // The program.
    uint8_t hasProgram;
    char16_t programPath[520];
    uint32_t programPid;
    uint32_t recorderPid;

    // The machine.
    uint32_t windowsMajor, windowsMinor, windowsBuild;
    char16_t windowsFolder[260]; // "C:\Windows" unless the windows line says otherwise
    int driveCount;
    char16_t driveLetters[kMaxDrives][4];
    char16_t driveDevices[kMaxDrives][260];
    uint8_t hasClock;
    int64_t clockStart;

    // The launched program's stand-in.
    uint8_t launchFails;
    uint32_t launchError;
    uint8_t resumeFails;
    uint8_t endFails;
    uint8_t jobRefused;
    uint8_t jobRefusedStep; // SimJobStep

    // The trace service.
    uint8_t noAdmin;
    SessionScript sessions[kSessionCount];

    // Events.
    EventLine* events;
    uint32_t eventCount;
    PropSpec* props;
    uint32_t propCount;
    RepeatBlock* blocks;
    uint32_t blockCount;
    EventInstance* instances; // in file order
    uint32_t instanceCount;
    // Per session, the instances of its run events and of its stop rundown, in file order.
    uint32_t* runStream[kSessionCount];
    uint32_t runCount[kSessionCount];
    uint32_t* stopStream[kSessionCount];
    uint32_t stopCount[kSessionCount];
    // Every run event of both sessions in file order (indexes into instances).
    uint32_t* runOrder;
    uint32_t runOrderCount;

    Action actions[kMaxActions]; // sorted by afterEvent, then by line
    int actionCount;
    uint64_t faults[kMaxFaults]; // event numbers whose decode faults
    int faultCount;
    // What the machine's files and processes are known as (their facts are read then).
    FactsLine facts[kMaxFactsLines];
    int factsCount;

    // Storage.
    char16_t* text;
    uint32_t textUsed, textCapacity;
    uint8_t* bytes;
    uint32_t bytesUsed, bytesCapacity;
};

constexpr size_t kScenarioErrorChars = 600;

// Reads the scenario file at path (UTF-8 bytes of the file name). False with a message that
// names the file and line in error. FreeScenario releases what a read made, also after failure.
bool ReadScenario(const char* path, Scenario* out, char* error, size_t errorCapacity);
// The same from text already in memory; name is used in messages.
bool ParseScenario(const char* text, size_t length, const char* name, Scenario* out, char* error,
                   size_t errorCapacity);
void FreeScenario(Scenario* scenario);

const char16_t* ScenarioText(const Scenario* scenario, uint32_t at);
// The time stamp of one delivered event.
int64_t InstanceTime(const Scenario* scenario, const EventInstance* instance);
// The latest time stamp of the events the sessions deliver as they stop (INT64_MIN: none).
int64_t LastStopTime(const Scenario* scenario);
bool InstanceFaults(const Scenario* scenario, const EventInstance* instance);

} // namespace olv::replay
