#include "stand_ins.h"

#include "platform/files.h"
#include "platform/sim/sim_drives.h"
#include "platform/sim/sim_event.h"
#include "platform/sim/sim_facts.h"
#include "base/text.h"
#include "platform/sim/sim_process.h"
#include "platform/sim/sim_trace_service.h"
#include "platform/thread.h"
#include "platform/time.h"

namespace olv::replay {

const char16_t* const kSessionNames[kSessionCount] = {u"NT Kernel Logger", u"OlvettaDnsLogger"};

namespace {

constexpr int64_t kDefaultClockStart = 133480000000000000; // when a scenario has no event

void FillEvent(const Scenario* sc, const EventInstance* inst, SimEvent* e) {
    const EventLine& line = sc->events[inst->line];
    BeginSimEvent(e, line.provider, line.opcode, line.id, line.pid, line.tid,
                  InstanceTime(sc, inst));
    e->record.header.descriptor.version = line.version;
    if (line.header32 != 0) SetSimEvent32BitHeader(e);
    for (uint32_t i = 0; i < line.propCount; ++i) {
        const PropSpec& p = sc->props[line.firstProp + i];
        const char16_t* name = ScenarioText(sc, p.nameAt);
        const uint64_t value = p.value + static_cast<uint64_t>(p.step) * inst->k;
        switch (p.type) {
        case kPropU8:
            AddSimU8(e, name, static_cast<uint8_t>(value));
            break;
        case kPropU16:
            AddSimU16(e, name, static_cast<uint16_t>(value));
            break;
        case kPropU32:
            AddSimU32(e, name, static_cast<uint32_t>(value));
            break;
        case kPropU64:
            AddSimU64(e, name, value);
            break;
        case kPropPointer:
            AddSimPointer(e, name, value);
            break;
        case kPropWide:
            AddSimWideString(e, name, ScenarioText(sc, p.dataAt));
            break;
        case kPropAnsi:
            AddSimAnsiString(e, name, reinterpret_cast<const char*>(sc->bytes + p.dataAt));
            break;
        case kPropBytes:
            AddSimBytes(e, name, sc->bytes + p.dataAt, p.dataLength);
            break;
        default:
            break;
        }
    }
    if (line.hasPayload != 0) {
        SetSimPayload(e, sc->bytes + line.payloadAt, static_cast<uint16_t>(line.payloadLength));
    }
}

// The producer of the simulated service: runs on the session's processing thread.
bool Produce(void* context, uint32_t index, SimEvent* event, bool* fault) {
    const Stream* s = static_cast<const Stream*>(context);
    if (index >= s->count) return false;
    const EventInstance* inst = &s->scenario->instances[s->instances[index]];
    FillEvent(s->scenario, inst, event);
    *fault = InstanceFaults(s->scenario, inst);
    return true;
}

const char16_t* LineText(const Scenario* sc, const FactsLine& f, FactsText which) {
    return f.textAt[which] != kNoText ? ScenarioText(sc, f.textAt[which]) : nullptr;
}

// The text as UTF-8 into a fixed field; false (nothing) when not given.
bool PutUtf8(const char16_t* text, char* out, size_t capacity) {
    if (text == nullptr) return false;
    Utf16ToUtf8(text, TextLength(text), out, capacity);
    return true;
}

void ScriptFacts(const Scenario* sc) {
    ClearSimulatedFileTrust();
    ClearSimulatedProcessTokens();
    ClearSimulatedProcessDirectories();
    ClearSimulatedRegistry();
    for (int i = 0; i < sc->factsCount; ++i) {
        const FactsLine& f = sc->facts[i];
        if (f.keyAt != kNoText) {
            const char16_t* key = ScenarioText(sc, f.keyAt);
            const char16_t* data = LineText(sc, f, kFactsData);
            SetSimulatedRegistryValue(key, LineText(sc, f, kFactsValueName), kRegSz, data,
                                      static_cast<uint32_t>((TextLength(data) + 1) * 2));
            SetSimulatedRegistryKeyTime(key, 1); // written long before the recording
            continue;
        }
        if (f.pathAt != kNoText) {
            if (f.hasTrust == 0) continue;
            FileTrust trust{};
            trust.status = kFileTrustChecked;
            trust.trustResult = f.trust;
            if (const char16_t* signer = LineText(sc, f, kFactsSigner)) {
                CopyBounded(trust.signer, kTrustSignerChars, signer);
                trust.signerKnown = true;
            }
            SetSimulatedFileTrust(ScenarioText(sc, f.pathAt), trust);
            continue;
        }
        if (const char16_t* directory = LineText(sc, f, kFactsDirectory))
            SetSimulatedProcessDirectory(f.pid, directory);
        ProcessTokenFacts token{};
        token.status = kTokenRead;
        if (const char16_t* user = LineText(sc, f, kFactsUser)) {
            CopyBounded(token.user, kTokenUserChars, user);
            token.userKnown = true;
        }
        token.integrityKnown = f.integrityRid != 0;
        token.integrityRid = f.integrityRid;
        token.logonIdKnown = f.hasLogonId != 0;
        token.logonId = f.logonId;
        if (token.userKnown || token.integrityKnown || token.logonIdKnown)
            SetSimulatedProcessToken(f.pid, token);
    }
}

} // namespace

bool ScenarioHasFacts(const Scenario* sc) {
    return sc->factsCount > 0;
}

FactsWorkerConfig ScenarioFactsConfig(const Scenario* sc) {
    FactsWorkerConfig config{};
    config.readImage = ReadScenarioImageFacts;
    config.readImageContext = const_cast<Scenario*>(sc);
    return config;
}

bool ReadScenarioImageFacts(void* scenario, const char16_t* path, ImageFacts* out) {
    const auto* sc = static_cast<const Scenario*>(scenario);
    *out = ImageFacts{};
    for (int i = 0; i < sc->factsCount; ++i) {
        const FactsLine& f = sc->facts[i];
        if (f.pathAt == kNoText || !EqualsFolded(ScenarioText(sc, f.pathAt), path)) continue;
        out->status = ImageFactsStatus::Read;
        FactText* versions[] = {&out->originalFileName, &out->description, &out->product,
                                &out->company, &out->fileVersion};
        for (uint32_t t = kFactsOriginalFileName; t <= kFactsFileVersion; ++t) {
            versions[t]->known = PutUtf8(LineText(sc, f, FactsText(t)), versions[t]->text,
                                         kFactTextCapacity);
        }
        out->digestsKnown = PutUtf8(LineText(sc, f, kFactsMd5), out->md5, sizeof out->md5) &&
                            PutUtf8(LineText(sc, f, kFactsSha1), out->sha1, sizeof out->sha1) &&
                            PutUtf8(LineText(sc, f, kFactsSha256), out->sha256, sizeof out->sha256);
        out->imphashKnown = PutUtf8(LineText(sc, f, kFactsImphash), out->imphash, sizeof out->imphash);
        ComposeImageHashes(out);
        return true;
    }
    out->status = ImageFactsStatus::CannotOpen;
    out->systemError = 2; // ERROR_FILE_NOT_FOUND: not a file of this machine
    return false;
}

int64_t ScenarioClockStart(const Scenario* sc) {
    if (sc->hasClock != 0) return sc->clockStart;
    if (sc->instanceCount > 0) return InstanceTime(sc, &sc->instances[0]);
    return kDefaultClockStart;
}

void ScriptScenarioStandIns(const Scenario* sc, ScenarioStreams* streams) {
    SimTraceReset();
    ResetSimProcesses();
    ResetFileFaults();

    SetVersionOverride(sc->windowsMajor, sc->windowsMinor, sc->windowsBuild);
    const char16_t* letters[kMaxDrives];
    const char16_t* devices[kMaxDrives];
    for (int i = 0; i < sc->driveCount; ++i) {
        letters[i] = sc->driveLetters[i];
        devices[i] = sc->driveDevices[i];
    }
    if (sc->driveCount > 0) {
        SetSimulatedDrives(letters, devices, sc->driveCount);
    } else {
        ClearSimulatedDrives();
    }
    SetSimulatedWindowsFolder(sc->windowsFolder);
    SetClockOverride(ScenarioClockStart(sc));
    SetProcessIdOverride(sc->recorderPid);
    SetSimulatedFileAttributes(sc->programPath, false);
    ScriptFacts(sc);

    // The launched program.
    SetSimNextProcessId(sc->programPid);
    if (sc->launchFails != 0) FailSimProcessCreate(sc->launchError);
    if (sc->jobRefused != 0) RefuseSimJob(static_cast<SimJobStep>(sc->jobRefusedStep));
    if (sc->resumeFails != 0) FailSimResume();
    if (sc->endFails != 0) FailSimTermination();

    // The trace service: nothing is delivered until the driver opens the gates.
    SimTraceSetAdmin(sc->noAdmin == 0);
    for (uint8_t s = 0; s < kSessionCount; ++s) {
        const char16_t* name = kSessionNames[s];
        streams->run[s] = Stream{sc, sc->runStream[s], sc->runCount[s]};
        streams->stop[s] = Stream{sc, sc->stopStream[s], sc->stopCount[s]};
        SimTraceSetEvents(name, Produce, &streams->run[s]);
        SimTraceSetRundown(name, Produce, &streams->stop[s]);
        SimTraceGateEvents(name, 0);
        const SessionScript& script = sc->sessions[s];
        if (script.hasLosses != 0) SimTraceSetLosses(name, script.eventsLost, script.buffersLost);
        if (script.foreign != 0) SimTraceAddForeignSession(name);
        for (int step = 0; step < kSimStepCount; ++step) {
            if (script.failSteps[step] != 0) {
                SimTraceFailStep(name, static_cast<SimTraceStep>(step), script.failStatus[step],
                                 script.failSteps[step]);
            }
        }
    }
}

} // namespace olv::replay
