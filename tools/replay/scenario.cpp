#include "scenario.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "base/text.h"
#include "decode/decode.h"
#include "json_line.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "platform/sim/sim_event.h"

namespace olv::replay {

namespace {

constexpr uint32_t kDefaultRecorderPid = 3120;
constexpr size_t kMaxScenarioBytes = 256u * 1024 * 1024;
constexpr size_t kMaxLineBytes = 1024 * 1024;
constexpr int kMaxStepNames = 16;

struct Reader {
    Scenario* sc;
    const char* name;
    uint32_t lineNumber;
    char* error;
    size_t errorCapacity;
    JsonLine* json;
    // The repeat block being filled, if any.
    int32_t openBlock;
    uint32_t openBlockEvents; // event lines it still takes
    const JsonNode* stepObject;
    uint32_t stepLine;
    // Step names of the open block and whether an event line carried them.
    char16_t stepNames[kMaxStepNames][kSimNameChars];
    int64_t stepValues[kMaxStepNames];
    uint8_t stepUsed[kMaxStepNames];
    int stepCount;
    uint8_t haveWindows, haveExit, haveStop, haveTraceEnds[kSessionCount];
};

bool Error(Reader* r, const char* format, ...) __attribute__((format(printf, 2, 3)));

bool Error(Reader* r, const char* format, ...) {
    char message[400];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    if (r->lineNumber > 0) {
        std::snprintf(r->error, r->errorCapacity, "%s:%u: %s", r->name, r->lineNumber, message);
    } else {
        std::snprintf(r->error, r->errorCapacity, "%s: %s", r->name, message);
    }
    return false;
}

bool SameText(const char16_t* a, const char16_t* b) {
    size_t i = 0;
    while (a[i] != 0 && a[i] == b[i])
        ++i;
    return a[i] == b[i];
}

// An ASCII rendering of a key for messages.
void KeyForMessage(const char16_t* key, char* out, size_t capacity) {
    size_t i = 0;
    for (; i + 1 < capacity && key[i] != 0; ++i)
        out[i] = key[i] >= 0x20 && key[i] < 0x7F ? static_cast<char>(key[i]) : '?';
    out[i] = 0;
}

// Every member of the object must be one of the allowed names.
bool CheckFields(Reader* r, const JsonNode* object, const char* const* allowed) {
    for (const JsonNode* m = JsonFirst(r->json, object); m != nullptr; m = JsonNext(r->json, m)) {
        bool known = false;
        for (int i = 0; allowed[i] != nullptr && !known; ++i)
            known = TextIsAscii(JsonKey(r->json, m), allowed[i]);
        if (!known) {
            char key[80];
            KeyForMessage(JsonKey(r->json, m), key, sizeof key);
            return Error(r, "unknown field \"%s\"", key);
        }
    }
    return true;
}

// An integer member within [minimum, maximum]; absent: *value = fallback unless required.
bool GetInteger(Reader* r, const JsonNode* object, const char* key, bool required, int64_t minimum,
                uint64_t maximum, uint64_t fallback, uint64_t* value) {
    const JsonNode* m = JsonMember(r->json, object, key);
    if (m == nullptr) {
        if (required) return Error(r, "field \"%s\" is missing", key);
        *value = fallback;
        return true;
    }
    if (m->type != kJsonInteger) return Error(r, "field \"%s\" must be a whole number", key);
    if (m->negative) {
        if (minimum >= 0 || m->magnitude > static_cast<uint64_t>(-(minimum + 1)) + 1)
            return Error(r, "field \"%s\" is out of range", key);
        *value = static_cast<uint64_t>(0) - m->magnitude;
        return true;
    }
    if (m->magnitude > maximum) return Error(r, "field \"%s\" is out of range", key);
    *value = m->magnitude;
    return true;
}

bool GetU32(Reader* r, const JsonNode* o, const char* key, bool required, uint32_t fallback,
            uint32_t* value) {
    uint64_t v = 0;
    if (!GetInteger(r, o, key, required, 0, UINT32_MAX, fallback, &v)) return false;
    *value = static_cast<uint32_t>(v);
    return true;
}

bool GetI64(Reader* r, const JsonNode* o, const char* key, bool required, int64_t minimum,
            int64_t fallback, int64_t* value) {
    uint64_t v = 0;
    if (!GetInteger(r, o, key, required, minimum, INT64_MAX, static_cast<uint64_t>(fallback), &v))
        return false;
    *value = static_cast<int64_t>(v);
    return true;
}

const JsonNode* GetString(Reader* r, const JsonNode* o, const char* key, bool required) {
    const JsonNode* m = JsonMember(r->json, o, key);
    if (m == nullptr) {
        if (required) Error(r, "field \"%s\" is missing", key);
        return nullptr;
    }
    if (m->type != kJsonString) {
        Error(r, "field \"%s\" must be a string", key);
        return nullptr;
    }
    return m;
}

bool GetBool(Reader* r, const JsonNode* o, const char* key, bool* value) {
    const JsonNode* m = JsonMember(r->json, o, key);
    if (m == nullptr) return true;
    if (m->type != kJsonBool) return Error(r, "field \"%s\" must be true or false", key);
    *value = m->magnitude != 0;
    return true;
}

// One of the words; its index in *index.
bool GetChoice(Reader* r, const JsonNode* o, const char* key, bool required,
               const char* const* words, int fallback, int* index) {
    const JsonNode* m = JsonMember(r->json, o, key);
    if (m == nullptr) {
        if (required) return Error(r, "field \"%s\" is missing", key);
        *index = fallback;
        return true;
    }
    if (m->type == kJsonString) {
        for (int i = 0; words[i] != nullptr; ++i) {
            if (TextIsAscii(JsonText(r->json, m), words[i])) {
                *index = i;
                return true;
            }
        }
    }
    char list[200] = {};
    for (int i = 0; words[i] != nullptr; ++i) {
        if (i > 0) std::strncat(list, ", ", sizeof list - std::strlen(list) - 1);
        std::strncat(list, words[i], sizeof list - std::strlen(list) - 1);
    }
    return Error(r, "field \"%s\" must be one of: %s", key, list);
}

const char* const kSessionWords[] = {"kernel", "dns", nullptr};

bool GetSession(Reader* r, const JsonNode* o, uint8_t* session) {
    int index = 0;
    if (!GetChoice(r, o, "session", true, kSessionWords, 0, &index)) return false;
    *session = static_cast<uint8_t>(index);
    return true;
}

// Text storage.
bool PutText(Reader* r, const char16_t* text, uint32_t length, uint32_t* at) {
    Scenario* sc = r->sc;
    if (sc->textUsed + length + 1 > sc->textCapacity) return Error(r, "out of text room");
    *at = sc->textUsed;
    std::memcpy(sc->text + sc->textUsed, text, length * sizeof(char16_t));
    sc->text[sc->textUsed + length] = 0;
    sc->textUsed += length + 1;
    return true;
}

bool ReserveBytes(Reader* r, uint32_t length, uint32_t* at) {
    Scenario* sc = r->sc;
    if (sc->bytesUsed + length > sc->bytesCapacity) return Error(r, "out of byte room");
    *at = sc->bytesUsed;
    sc->bytesUsed += length;
    return true;
}

bool HexBytes(Reader* r, const char16_t* hex, uint32_t length, const char* what, uint32_t* at) {
    if (length % 2 != 0) return Error(r, "%s must have an even number of hexadecimal digits", what);
    if (!ReserveBytes(r, length / 2, at)) return false;
    for (uint32_t i = 0; i < length; i += 2) {
        int v = 0;
        for (uint32_t j = 0; j < 2; ++j) {
            const char16_t c = hex[i + j];
            int h = -1;
            if (c >= u'0' && c <= u'9') h = c - u'0';
            if (c >= u'a' && c <= u'f') h = c - u'a' + 10;
            if (c >= u'A' && c <= u'F') h = c - u'A' + 10;
            if (h < 0)
                return Error(r, "%s holds a character that is not a hexadecimal digit", what);
            v = v * 16 + h;
        }
        r->sc->bytes[*at + i / 2] = static_cast<uint8_t>(v);
    }
    return true;
}

// Code page 1252: the characters 0x80 to 0x9F of the page (0 where the page has none).
const char16_t kCp1252High[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                  0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                  0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                  0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

bool Cp1252Byte(char16_t c, uint8_t* out) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
        *out = static_cast<uint8_t>(c);
        return c != 0;
    }
    for (int i = 0; i < 32; ++i) {
        if (kCp1252High[i] != 0 && kCp1252High[i] == c) {
            *out = static_cast<uint8_t>(0x80 + i);
            return true;
        }
    }
    return false;
}

bool ParseGuid(const char16_t* text, Guid* out) {
    // {xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}
    if (text[0] != u'{') return false;
    uint8_t b[16] = {};
    int nibble = 0;
    size_t i = 1;
    static const size_t kDashes[] = {9, 14, 19, 24};
    int dash = 0;
    for (; i < 37; ++i) {
        if (dash < 4 && i == kDashes[dash]) {
            if (text[i] != u'-') return false;
            ++dash;
            continue;
        }
        const char16_t c = text[i];
        int h = -1;
        if (c >= u'0' && c <= u'9') h = c - u'0';
        if (c >= u'a' && c <= u'f') h = c - u'a' + 10;
        if (c >= u'A' && c <= u'F') h = c - u'A' + 10;
        if (h < 0) return false;
        b[nibble / 2] = static_cast<uint8_t>(b[nibble / 2] * 16 + h);
        ++nibble;
    }
    if (text[37] != u'}' || text[38] != 0 || nibble != 32) return false;
    out->data1 = (static_cast<uint32_t>(b[0]) << 24) | (static_cast<uint32_t>(b[1]) << 16) |
                 (static_cast<uint32_t>(b[2]) << 8) | b[3];
    out->data2 = static_cast<uint16_t>((b[4] << 8) | b[5]);
    out->data3 = static_cast<uint16_t>((b[6] << 8) | b[7]);
    for (int k = 0; k < 8; ++k)
        out->data4[k] = b[8 + k];
    return true;
}

struct ProviderName {
    const char* name;
    const Guid* guid;
};

const ProviderName kProviders[] = {
    {"FileIo", &kFileIoProvider},       {"Registry", &kRegistryProvider},
    {"TcpIp", &kTcpIpProvider},         {"UdpIp", &kUdpIpProvider},
    {"Process", &kProcessProvider},     {"Image", &kImageProvider},
    {"DnsClient", &kDnsClientProvider}, {"PowerShell", &kPowerShellProvider},
    {"Amsi", &kAmsiProvider},           {"KernelAudit", &kKernelAuditProvider},
    {"Thread", &kThreadProvider},
};

// --- one property: "Name": {"type": value} ---

bool ParseProp(Reader* r, const JsonNode* member, bool header32, PropSpec* p, uint32_t* dataBytes) {
    char key[80];
    KeyForMessage(JsonKey(r->json, member), key, sizeof key);
    const uint32_t nameLength = member->keyLength;
    if (nameLength == 0 || nameLength >= kSimNameChars)
        return Error(r, "property name \"%s\" must have 1 to %u characters", key,
                     kSimNameChars - 1);
    *p = PropSpec{};
    if (!PutText(r, JsonKey(r->json, member), nameLength, &p->nameAt)) return false;
    const JsonNode* typed = JsonFirst(r->json, member);
    if (member->type != kJsonObject || typed == nullptr || JsonNext(r->json, typed) != nullptr)
        return Error(r, "property \"%s\" must be an object with one typed value, e.g. {\"u32\":1}",
                     key);
    const char16_t* type = JsonKey(r->json, typed);
    struct IntType {
        const char* name;
        uint8_t type;
        uint64_t maximum;
        uint32_t size;
    };
    static const IntType kInts[] = {{"u8", kPropU8, 0xFF, 1},
                                    {"u16", kPropU16, 0xFFFF, 2},
                                    {"u32", kPropU32, 0xFFFFFFFF, 4},
                                    {"u64", kPropU64, UINT64_MAX, 8}};
    for (const IntType& t : kInts) {
        if (!TextIsAscii(type, t.name)) continue;
        if (typed->type != kJsonInteger || typed->negative)
            return Error(r, "property \"%s\": %s takes a number that is not negative", key, t.name);
        if (typed->magnitude > t.maximum)
            return Error(r, "property \"%s\": the value does not fit %s", key, t.name);
        p->type = t.type;
        p->value = typed->magnitude;
        *dataBytes += t.size;
        return true;
    }
    const bool textType = TextIsAscii(type, "ptr") || TextIsAscii(type, "wstr") ||
                          TextIsAscii(type, "astr") || TextIsAscii(type, "bytes");
    if (!textType) {
        char typeText[40];
        KeyForMessage(type, typeText, sizeof typeText);
        return Error(r,
                     "property \"%s\": unknown type \"%s\" (u8, u16, u32, u64, ptr, wstr, "
                     "astr, bytes)",
                     key, typeText);
    }
    if (typed->type != kJsonString)
        return Error(r, "property \"%s\": this type takes a string", key);
    const char16_t* text = JsonText(r->json, typed);
    const uint32_t length = typed->textLength;
    if (TextIsAscii(type, "ptr")) {
        if (length < 3 || length > 18 || text[0] != u'0' || (text[1] != u'x' && text[1] != u'X'))
            return Error(r, "property \"%s\": ptr takes \"0x\" and 1 to 16 hexadecimal digits",
                         key);
        uint64_t v = 0;
        for (uint32_t i = 2; i < length; ++i) {
            const char16_t c = text[i];
            int h = -1;
            if (c >= u'0' && c <= u'9') h = c - u'0';
            if (c >= u'a' && c <= u'f') h = c - u'a' + 10;
            if (c >= u'A' && c <= u'F') h = c - u'A' + 10;
            if (h < 0) return Error(r, "property \"%s\": ptr holds a non-hexadecimal digit", key);
            v = v * 16 + static_cast<uint64_t>(h);
        }
        if (header32 && v > 0xFFFFFFFFu)
            return Error(r, "property \"%s\": a pointer of a 32-bit header must fit 32 bits", key);
        p->type = kPropPointer;
        p->value = v;
        *dataBytes += header32 ? 4 : 8;
        return true;
    }
    if (TextIsAscii(type, "wstr")) {
        p->type = kPropWide;
        p->dataLength = length;
        *dataBytes += (length + 1) * 2;
        return PutText(r, text, length, &p->dataAt);
    }
    if (TextIsAscii(type, "astr")) {
        p->type = kPropAnsi;
        p->dataLength = length + 1;
        *dataBytes += length + 1;
        if (!ReserveBytes(r, length + 1, &p->dataAt)) return false;
        for (uint32_t i = 0; i < length; ++i) {
            uint8_t b = 0;
            if (!Cp1252Byte(text[i], &b))
                return Error(r,
                             "property \"%s\": astr holds a character that the ANSI code "
                             "page (1252) cannot hold",
                             key);
            r->sc->bytes[p->dataAt + i] = b;
        }
        r->sc->bytes[p->dataAt + length] = 0;
        return true;
    }
    if (TextIsAscii(type, "bytes")) {
        p->type = kPropBytes;
        p->dataLength = length / 2;
        *dataBytes += length / 2;
        return HexBytes(r, text, length, "bytes", &p->dataAt);
    }
    return false; // not reached: every text type is handled above
}

// --- line kinds ---

bool ReadProgram(Reader* r, const JsonNode* o) {
    static const char* const kFields[] = {"kind", "path", "pid", "recorderPid", nullptr};
    if (!CheckFields(r, o, kFields)) return false;
    Scenario* sc = r->sc;
    if (sc->hasProgram) return Error(r, "a second \"program\" line");
    const JsonNode* path = GetString(r, o, "path", true);
    if (path == nullptr) return false;
    if (path->textLength == 0 || path->textLength >= 520)
        return Error(r, "the program's path must have 1 to 519 characters");
    std::memcpy(sc->programPath, JsonText(r->json, path), (path->textLength + 1) * 2);
    if (!GetU32(r, o, "pid", true, 0, &sc->programPid)) return false;
    if (sc->programPid == 0) return Error(r, "the program's pid must not be 0");
    if (!GetU32(r, o, "recorderPid", false, kDefaultRecorderPid, &sc->recorderPid)) return false;
    if (sc->recorderPid == 0) return Error(r, "recorderPid must not be 0");
    sc->hasProgram = 1;
    return true;
}

bool ReadWindows(Reader* r, const JsonNode* o) {
    static const char* const kFields[] = {"kind", "major", "minor", "build", "folder", nullptr};
    if (!CheckFields(r, o, kFields)) return false;
    if (r->haveWindows) return Error(r, "a second \"windows\" line");
    r->haveWindows = 1;
    Scenario* sc = r->sc;
    if (!GetU32(r, o, "major", true, 0, &sc->windowsMajor) ||
        !GetU32(r, o, "minor", true, 0, &sc->windowsMinor) ||
        !GetU32(r, o, "build", true, 0, &sc->windowsBuild)) {
        return false;
    }
    if (JsonMember(r->json, o, "folder") == nullptr) return true;
    const JsonNode* folder = GetString(r, o, "folder", true);
    if (folder == nullptr) return false;
    if (folder->textLength >= std::size(sc->windowsFolder))
        return Error(r, "the Windows folder must have at most 259 characters");
    // An empty folder: the machine does not say where Windows is.
    std::memcpy(sc->windowsFolder, JsonText(r->json, folder), (folder->textLength + 1) * 2);
    return true;
}

bool ReadDrive(Reader* r, const JsonNode* o) {
    static const char* const kFields[] = {"kind", "letter", "device", nullptr};
    if (!CheckFields(r, o, kFields)) return false;
    Scenario* sc = r->sc;
    const JsonNode* letter = GetString(r, o, "letter", true);
    if (letter == nullptr) return false;
    const JsonNode* device = GetString(r, o, "device", true);
    if (device == nullptr) return false;
    const char16_t* l = JsonText(r->json, letter);
    char16_t c = l[0] >= u'a' && l[0] <= u'z' ? static_cast<char16_t>(l[0] - 32) : l[0];
    const bool shapeOk = c >= u'A' && c <= u'Z' &&
                         (letter->textLength == 1 || (letter->textLength == 2 && l[1] == u':'));
    if (!shapeOk) return Error(r, "a drive letter is written \"C:\"");
    if (device->textLength == 0 || device->textLength >= 260)
        return Error(r, "a device path must have 1 to 259 characters");
    if (sc->driveCount >= kMaxDrives) return Error(r, "more than 26 drives");
    for (int i = 0; i < sc->driveCount; ++i) {
        if (sc->driveLetters[i][0] == c) return Error(r, "drive %c: is named twice", char(c));
    }
    sc->driveLetters[sc->driveCount][0] = c;
    sc->driveLetters[sc->driveCount][1] = u':';
    sc->driveLetters[sc->driveCount][2] = 0;
    std::memcpy(sc->driveDevices[sc->driveCount], JsonText(r->json, device),
                (device->textLength + 1) * 2);
    ++sc->driveCount;
    return true;
}

bool ReadClock(Reader* r, const JsonNode* o) {
    static const char* const kFields[] = {"kind", "start", nullptr};
    if (!CheckFields(r, o, kFields)) return false;
    if (r->sc->hasClock) return Error(r, "a second \"clock\" line");
    r->sc->hasClock = 1;
    return GetI64(r, o, "start", true, 0, 0, &r->sc->clockStart);
}

bool ReadEvent(Reader* r, const JsonNode* o) {
    static const char* const kFields[] = {"kind",    "provider", "opcode", "id",       "version",
                                          "pid",     "tid",      "time",   "header32", "props",
                                          "payload", "at",       nullptr};
    if (!CheckFields(r, o, kFields)) return false;
    Scenario* sc = r->sc;
    EventLine& e = sc->events[sc->eventCount];
    e = EventLine{};
    e.lineNumber = r->lineNumber;
    e.block = -1;

    const JsonNode* provider = GetString(r, o, "provider", true);
    if (provider == nullptr) return false;
    const char16_t* pname = JsonText(r->json, provider);
    bool known = false;
    for (const ProviderName& p : kProviders) {
        if (TextIsAscii(pname, p.name)) {
            e.provider = *p.guid;
            known = true;
        }
    }
    if (!known && !ParseGuid(pname, &e.provider))
        return Error(r, "provider must be FileIo, Registry, TcpIp, UdpIp, Process, Image, "
                        "DnsClient, PowerShell, Amsi, KernelAudit, Thread or a GUID in braces");
    const bool userMode = e.provider == kDnsClientProvider || e.provider == kPowerShellProvider ||
                          e.provider == kAmsiProvider || e.provider == kKernelAuditProvider;
    e.session = userMode ? kDnsSession : kKernelSession;

    uint32_t v = 0;
    if (!GetU32(r, o, "opcode", false, 0, &v)) return false;
    if (v > 255) return Error(r, "opcode must be 0 to 255");
    e.opcode = static_cast<uint8_t>(v);
    if (!GetU32(r, o, "id", false, 0, &v)) return false;
    if (v > 65535) return Error(r, "id must be 0 to 65535");
    e.id = static_cast<uint16_t>(v);
    if (!GetU32(r, o, "version", false, 2, &v)) return false;
    if (v > 255) return Error(r, "version must be 0 to 255");
    e.version = static_cast<uint8_t>(v);
    if (!GetU32(r, o, "pid", true, 0, &e.pid)) return false;
    if (!GetU32(r, o, "tid", false, 0, &e.tid)) return false;
    if (!GetI64(r, o, "time", true, 0, 0, &e.time)) return false;
    bool header32 = false;
    if (!GetBool(r, o, "header32", &header32)) return false;
    e.header32 = header32 ? 1 : 0;
    static const char* const kAtWords[] = {"run", "stop", nullptr};
    int at = 0;
    if (!GetChoice(r, o, "at", false, kAtWords, 0, &at)) return false;
    e.at = static_cast<uint8_t>(at);

    e.firstProp = sc->propCount;
    const JsonNode* props = JsonMember(r->json, o, "props");
    uint32_t dataBytes = 0;
    if (props != nullptr) {
        if (props->type != kJsonObject) return Error(r, "props must be an object");
        for (const JsonNode* m = JsonFirst(r->json, props); m != nullptr;
             m = JsonNext(r->json, m)) {
            if (e.propCount >= kSimMaxProperties)
                return Error(r, "an event holds at most %u properties", kSimMaxProperties);
            PropSpec& p = sc->props[sc->propCount];
            if (!ParseProp(r, m, header32, &p, &dataBytes)) return false;
            ++sc->propCount;
            ++e.propCount;
        }
    }
    if (dataBytes > kSimDataBytes)
        return Error(r, "the properties of one event hold more than %u bytes", kSimDataBytes);

    const JsonNode* payload = GetString(r, o, "payload", false);
    if (payload == nullptr && JsonMember(r->json, o, "payload") != nullptr) return false;
    if (payload != nullptr) {
        if (payload->textLength / 2 > kSimPayloadBytes)
            return Error(r, "a payload holds at most %u bytes", kSimPayloadBytes);
        if (!HexBytes(r, JsonText(r->json, payload), payload->textLength, "payload", &e.payloadAt))
            return false;
        e.payloadLength = payload->textLength / 2;
        e.hasPayload = 1;
    }

    // A repeat block takes this line.
    if (r->openBlock >= 0) {
        RepeatBlock& b = sc->blocks[r->openBlock];
        e.block = r->openBlock;
        e.timeStep = b.timeStep;
        for (uint32_t i = 0; i < e.propCount; ++i) {
            PropSpec& p = sc->props[e.firstProp + i];
            for (int s = 0; s < r->stepCount; ++s) {
                if (!SameText(r->stepNames[s], ScenarioText(sc, p.nameAt))) continue;
                if (p.type == kPropWide || p.type == kPropAnsi || p.type == kPropBytes) {
                    char key[80];
                    KeyForMessage(r->stepNames[s], key, sizeof key);
                    return Error(r, "the repeat block steps \"%s\", which is not a number here",
                                 key);
                }
                p.step = r->stepValues[s];
                r->stepUsed[s] = 1;
            }
        }
        if (--r->openBlockEvents == 0) {
            for (int s = 0; s < r->stepCount; ++s) {
                if (!r->stepUsed[s]) {
                    char key[80];
                    KeyForMessage(r->stepNames[s], key, sizeof key);
                    r->lineNumber = r->stepLine;
                    return Error(r,
                                 "the repeat block steps \"%s\", which none of its events "
                                 "carries",
                                 key);
                }
            }
            r->openBlock = -1;
        }
    }
    ++sc->eventCount;
    return true;
}

bool ReadRepeat(Reader* r, const JsonNode* o) {
    static const char* const kFields[] = {"kind", "count", "events", "timeStep", "step", nullptr};
    if (!CheckFields(r, o, kFields)) return false;
    if (r->openBlock >= 0) return Error(r, "a repeat block inside another one");
    Scenario* sc = r->sc;
    RepeatBlock& b = sc->blocks[sc->blockCount];
    b = RepeatBlock{};
    b.lineNumber = r->lineNumber;
    b.firstEvent = sc->eventCount;
    if (!GetU32(r, o, "count", true, 0, &b.count)) return false;
    if (!GetU32(r, o, "events", false, 1, &b.lineCount)) return false;
    if (!GetI64(r, o, "timeStep", false, 0, 0, &b.timeStep)) return false;
    if (b.count == 0 || b.lineCount == 0) return Error(r, "count and events must be at least 1");
    r->stepCount = 0;
    const JsonNode* step = JsonMember(r->json, o, "step");
    if (step != nullptr) {
        if (step->type != kJsonObject) return Error(r, "step must be an object");
        for (const JsonNode* m = JsonFirst(r->json, step); m != nullptr; m = JsonNext(r->json, m)) {
            if (r->stepCount >= kMaxStepNames) return Error(r, "at most 16 stepped properties");
            if (m->type != kJsonInteger) return Error(r, "a step is a whole number");
            if (m->keyLength == 0 || m->keyLength >= kSimNameChars)
                return Error(r, "a stepped property name has 1 to %u characters",
                             kSimNameChars - 1);
            std::memcpy(r->stepNames[r->stepCount], JsonKey(r->json, m),
                        (m->keyLength + 1) * sizeof(char16_t));
            if (m->magnitude > static_cast<uint64_t>(INT64_MAX))
                return Error(r, "a step is too large");
            const int64_t magnitude = static_cast<int64_t>(m->magnitude);
            r->stepValues[r->stepCount] = m->negative ? -magnitude : magnitude;
            r->stepUsed[r->stepCount] = 0;
            ++r->stepCount;
        }
    }
    r->openBlock = static_cast<int32_t>(sc->blockCount);
    r->openBlockEvents = b.lineCount;
    r->stepLine = r->lineNumber;
    ++sc->blockCount;
    return true;
}

bool AddAction(Reader* r, uint8_t kind, uint8_t session, uint64_t afterEvent, uint32_t code) {
    Scenario* sc = r->sc;
    if (sc->actionCount >= kMaxActions) return Error(r, "too many exit, stop and end lines");
    // Kept sorted by afterEvent; equal ones in file order.
    int at = sc->actionCount;
    while (at > 0 && sc->actions[at - 1].afterEvent > afterEvent) {
        sc->actions[at] = sc->actions[at - 1];
        --at;
    }
    sc->actions[at] = Action{r->lineNumber, kind, session, afterEvent, code};
    ++sc->actionCount;
    return true;
}

bool ReadExit(Reader* r, const JsonNode* o) {
    static const char* const kFields[] = {"kind", "afterEvent", "code", nullptr};
    if (!CheckFields(r, o, kFields)) return false;
    if (r->haveExit) return Error(r, "the program can end only once: a second \"exit\" line");
    r->haveExit = 1;
    uint64_t after = 0;
    uint32_t code = 0;
    if (!GetInteger(r, o, "afterEvent", true, 0, UINT64_MAX, 0, &after)) return false;
    if (!GetU32(r, o, "code", false, 0, &code)) return false;
    return AddAction(r, kActionExit, 0, after, code);
}

bool ReadStop(Reader* r, const JsonNode* o) {
    static const char* const kFields[] = {"kind", "afterEvent", nullptr};
    if (!CheckFields(r, o, kFields)) return false;
    if (r->haveStop) return Error(r, "a second \"stop\" line");
    r->haveStop = 1;
    uint64_t after = 0;
    if (!GetInteger(r, o, "afterEvent", true, 0, UINT64_MAX, 0, &after)) return false;
    return AddAction(r, kActionStop, 0, after, 0);
}

bool ReadTraceEnds(Reader* r, const JsonNode* o) {
    static const char* const kFields[] = {"kind", "session", "afterEvent", "status", nullptr};
    if (!CheckFields(r, o, kFields)) return false;
    uint8_t session = 0;
    if (!GetSession(r, o, &session)) return false;
    if (r->haveTraceEnds[session]) return Error(r, "that session already ends on another line");
    r->haveTraceEnds[session] = 1;
    uint64_t after = 0;
    uint32_t status = 0;
    if (!GetInteger(r, o, "afterEvent", true, 0, UINT64_MAX, 0, &after)) return false;
    if (!GetU32(r, o, "status", false, 0, &status)) return false;
    return AddAction(r, kActionTraceEnds, session, after, status);
}

bool ReadFault(Reader* r, const JsonNode* o) {
    static const char* const kFields[] = {"kind", "afterEvent", nullptr};
    if (!CheckFields(r, o, kFields)) return false;
    Scenario* sc = r->sc;
    if (sc->faultCount >= kMaxFaults) return Error(r, "at most %d fault lines", kMaxFaults);
    uint64_t after = 0;
    if (!GetInteger(r, o, "afterEvent", true, 0, UINT64_MAX - 1, 0, &after)) return false;
    sc->faults[sc->faultCount++] = after + 1;
    return true;
}

bool ReadLosses(Reader* r, const JsonNode* o) {
    static const char* const kFields[] = {"kind", "session", "eventsLost", "buffersLost", nullptr};
    if (!CheckFields(r, o, kFields)) return false;
    uint8_t session = 0;
    if (!GetSession(r, o, &session)) return false;
    SessionScript& s = r->sc->sessions[session];
    if (s.hasLosses) return Error(r, "a second \"losses\" line for that session");
    s.hasLosses = 1;
    return GetU32(r, o, "eventsLost", false, 0, &s.eventsLost) &&
           GetU32(r, o, "buffersLost", false, 0, &s.buffersLost);
}

bool ReadForeignSession(Reader* r, const JsonNode* o) {
    static const char* const kFields[] = {"kind", "session", nullptr};
    if (!CheckFields(r, o, kFields)) return false;
    uint8_t session = 0;
    if (!GetSession(r, o, &session)) return false;
    r->sc->sessions[session].foreign = 1;
    return true;
}

bool ReadSessionFails(Reader* r, const JsonNode* o) {
    static const char* const kFields[] = {"kind", "session", "step", "status", "times", nullptr};
    if (!CheckFields(r, o, kFields)) return false;
    uint8_t session = 0;
    if (!GetSession(r, o, &session)) return false;
    // The order of SimTraceStep.
    static const char* const kSteps[] = {"start", "stop",    "query", "enable",
                                         "open",  "process", nullptr};
    int step = 0;
    uint32_t status = 0, times = 0;
    if (!GetChoice(r, o, "step", true, kSteps, 0, &step)) return false;
    if (!GetU32(r, o, "status", true, 0, &status)) return false;
    if (!GetU32(r, o, "times", false, 1, &times)) return false;
    if (status == 0) return Error(r, "a failing step needs a status other than 0");
    if (times < 1 || times > 255) return Error(r, "times must be 1 to 255");
    r->sc->sessions[session].failSteps[step] = static_cast<uint8_t>(times);
    r->sc->sessions[session].failStatus[step] = status;
    return true;
}

bool ReadNoFields(Reader* r, const JsonNode* o, uint8_t* flag) {
    static const char* const kFields[] = {"kind", nullptr};
    if (!CheckFields(r, o, kFields)) return false;
    *flag = 1;
    return true;
}

bool ReadJobRefused(Reader* r, const JsonNode* o) {
    static const char* const kFields[] = {"kind", "step", nullptr};
    if (!CheckFields(r, o, kFields)) return false;
    static const char* const kSteps[] = {"create", "limit", "assign", nullptr};
    int step = 0;
    if (!GetChoice(r, o, "step", false, kSteps, 0, &step)) return false;
    r->sc->jobRefused = 1;
    r->sc->jobRefusedStep = static_cast<uint8_t>(step);
    return true;
}

bool ReadLaunchFails(Reader* r, const JsonNode* o) {
    static const char* const kFields[] = {"kind", "error", nullptr};
    if (!CheckFields(r, o, kFields)) return false;
    r->sc->launchFails = 1;
    if (!GetU32(r, o, "error", false, 2, &r->sc->launchError)) return false;
    if (r->sc->launchError == 0) return Error(r, "error must not be 0");
    return true;
}

// An optional text member kept in the scenario's text (kNoText when absent).
bool GetKeptText(Reader* r, const JsonNode* o, const char* key, size_t most, uint32_t* at) {
    *at = kNoText;
    if (JsonMember(r->json, o, key) == nullptr) return true;
    const JsonNode* m = GetString(r, o, key, true);
    if (m == nullptr) return false;
    if (m->textLength >= most)
        return Error(r, "field \"%s\" must have fewer than %u characters", key,
                     static_cast<unsigned>(most));
    return PutText(r, JsonText(r->json, m), m->textLength, at);
}

bool ReadFacts(Reader* r, const JsonNode* o) {
    static const char* const kFields[] = {
        "kind",    "path",   "originalFileName", "description", "product", "company",
        "fileVersion", "md5", "sha1", "sha256", "imphash", "signer", "trust", "pid", "user",
        "integrityLevel", "logonId", "directory", "key", "value", "data", nullptr};
    static const char* const kImageTexts[] = {"originalFileName", "description", "product",
                                              "company", "fileVersion", "md5", "sha1", "sha256",
                                              "imphash", "signer"};
    if (!CheckFields(r, o, kFields)) return false;
    Scenario* sc = r->sc;
    if (sc->factsCount >= kMaxFactsLines) return Error(r, "more than %d facts lines", kMaxFactsLines);
    FactsLine f{};
    f.lineNumber = r->lineNumber;
    f.pathAt = kNoText;
    f.keyAt = kNoText;
    for (uint32_t& at : f.textAt)
        at = kNoText;
    const bool ofPath = JsonMember(r->json, o, "path") != nullptr;
    const bool ofKey = JsonMember(r->json, o, "key") != nullptr;
    if (int{ofPath} + int{ofKey} + int{JsonMember(r->json, o, "pid") != nullptr} != 1)
        return Error(r, "a facts line names one of \"path\", \"pid\" or \"key\"");
    if (ofKey) {
        // A text value as the machine holds it, written long before the recording.
        if (!GetKeptText(r, o, "key", 1024, &f.keyAt) ||
            !GetKeptText(r, o, "value", 256, &f.textAt[kFactsValueName]) ||
            !GetKeptText(r, o, "data", 1024, &f.textAt[kFactsData])) {
            return false;
        }
        if (f.textAt[kFactsData] == kNoText) return Error(r, "field \"data\" is missing");
        for (const JsonNode* m = JsonFirst(r->json, o); m != nullptr; m = JsonNext(r->json, m)) {
            const char16_t* key = JsonKey(r->json, m);
            if (!TextIsAscii(key, "kind") && !TextIsAscii(key, "key") &&
                !TextIsAscii(key, "value") && !TextIsAscii(key, "data")) {
                char name[80];
                KeyForMessage(key, name, sizeof name);
                return Error(r, "field \"%s\" does not belong to a registry value's facts", name);
            }
        }
    } else if (ofPath) {
        if (!GetKeptText(r, o, "path", 1024, &f.pathAt)) return false;
        for (uint32_t t = 0; t < std::size(kImageTexts); ++t) {
            if (!GetKeptText(r, o, kImageTexts[t], 256, &f.textAt[t])) return false;
        }
        uint64_t trust = 0;
        f.hasTrust = JsonMember(r->json, o, "trust") != nullptr;
        if (!GetInteger(r, o, "trust", false, 0, UINT32_MAX, 0, &trust)) return false;
        f.trust = static_cast<uint32_t>(trust);
        if (f.textAt[kFactsSigner] != kNoText && !f.hasTrust)
            return Error(r, "a signer needs the \"trust\" answer of its check");
        for (const char* key : {"user", "integrityLevel", "logonId", "directory"}) {
            if (JsonMember(r->json, o, key) != nullptr)
                return Error(r, "field \"%s\" belongs to a process's facts", key);
        }
    } else {
        if (!GetU32(r, o, "pid", true, 0, &f.pid)) return false;
        if (!GetKeptText(r, o, "user", 256, &f.textAt[kFactsUser]) ||
            !GetKeptText(r, o, "directory", 1024, &f.textAt[kFactsDirectory]) ||
            !GetU32(r, o, "integrityLevel", false, 0, &f.integrityRid)) {
            return false;
        }
        f.hasLogonId = JsonMember(r->json, o, "logonId") != nullptr;
        if (!GetInteger(r, o, "logonId", false, 0, UINT64_MAX, 0, &f.logonId)) return false;
        for (const char* key : kImageTexts) {
            if (JsonMember(r->json, o, key) != nullptr)
                return Error(r, "field \"%s\" belongs to an image's facts", key);
        }
    }
    sc->facts[sc->factsCount++] = f;
    return true;
}

bool ReadLine(Reader* r) {
    const JsonNode* top = &r->json->nodes[0];
    const JsonNode* kind = GetString(r, top, "kind", true);
    if (kind == nullptr) return false;
    const char16_t* k = JsonText(r->json, kind);
    Scenario* sc = r->sc;
    if (TextIsAscii(k, "event")) return ReadEvent(r, top);
    if (TextIsAscii(k, "program")) return ReadProgram(r, top);
    if (TextIsAscii(k, "windows")) return ReadWindows(r, top);
    if (TextIsAscii(k, "drive")) return ReadDrive(r, top);
    if (TextIsAscii(k, "clock")) return ReadClock(r, top);
    if (TextIsAscii(k, "exit")) return ReadExit(r, top);
    if (TextIsAscii(k, "losses")) return ReadLosses(r, top);
    if (TextIsAscii(k, "fault")) return ReadFault(r, top);
    if (TextIsAscii(k, "repeat")) return ReadRepeat(r, top);
    if (TextIsAscii(k, "stop")) return ReadStop(r, top);
    if (TextIsAscii(k, "traceEnds")) return ReadTraceEnds(r, top);
    if (TextIsAscii(k, "foreignSession")) return ReadForeignSession(r, top);
    if (TextIsAscii(k, "sessionFails")) return ReadSessionFails(r, top);
    if (TextIsAscii(k, "noAdmin")) return ReadNoFields(r, top, &sc->noAdmin);
    if (TextIsAscii(k, "jobRefused")) return ReadJobRefused(r, top);
    if (TextIsAscii(k, "launchFails")) return ReadLaunchFails(r, top);
    if (TextIsAscii(k, "resumeFails")) return ReadNoFields(r, top, &sc->resumeFails);
    if (TextIsAscii(k, "endFails")) return ReadNoFields(r, top, &sc->endFails);
    if (TextIsAscii(k, "facts")) return ReadFacts(r, top);
    char name[80];
    KeyForMessage(k, name, sizeof name);
    return Error(r, "unknown kind \"%s\"", name);
}

// The delivered events, their numbers and the per-session streams.
bool BuildInstances(Reader* r) {
    Scenario* sc = r->sc;
    uint64_t total = 0;
    for (uint32_t i = 0; i < sc->eventCount;) {
        const EventLine& e = sc->events[i];
        if (e.block < 0) {
            ++total;
            ++i;
        } else {
            const RepeatBlock& b = sc->blocks[e.block];
            total += static_cast<uint64_t>(b.count) * b.lineCount;
            i += b.lineCount;
        }
    }
    r->lineNumber = 0;
    if (total > kMaxInstances) return Error(r, "more than %u events", kMaxInstances);
    const uint32_t n = static_cast<uint32_t>(total);
    sc->instanceCount = n;
    const size_t cells = n > 0 ? n : 1;
    sc->instances = static_cast<EventInstance*>(AllocZeroed(sizeof(EventInstance) * cells));
    sc->runOrder = static_cast<uint32_t*>(AllocZeroed(sizeof(uint32_t) * cells));
    for (int s = 0; s < kSessionCount; ++s) {
        sc->runStream[s] = static_cast<uint32_t*>(AllocZeroed(sizeof(uint32_t) * cells));
        sc->stopStream[s] = static_cast<uint32_t*>(AllocZeroed(sizeof(uint32_t) * cells));
    }
    if (sc->instances == nullptr || sc->runOrder == nullptr || sc->runStream[0] == nullptr ||
        sc->runStream[1] == nullptr || sc->stopStream[0] == nullptr || sc->stopStream[1] == nullptr)
        return Error(r, "not enough memory for %u events", n);
    uint32_t at = 0;
    auto add = [&](uint32_t line, uint32_t k) {
        const EventLine& e = sc->events[line];
        sc->instances[at] = EventInstance{line, k, at + 1, e.session, e.at};
        if (e.at == kAtRun) {
            sc->runStream[e.session][sc->runCount[e.session]++] = at;
            sc->runOrder[sc->runOrderCount++] = at;
        } else {
            sc->stopStream[e.session][sc->stopCount[e.session]++] = at;
        }
        ++at;
    };
    for (uint32_t i = 0; i < sc->eventCount;) {
        const EventLine& e = sc->events[i];
        if (e.block < 0) {
            add(i, 0);
            ++i;
            continue;
        }
        const RepeatBlock& b = sc->blocks[e.block];
        for (uint32_t k = 0; k < b.count; ++k) {
            for (uint32_t j = 0; j < b.lineCount; ++j)
                add(i + j, k);
        }
        i += b.lineCount;
    }
    return true;
}

} // namespace

bool ParseScenario(const char* text, size_t length, const char* name, Scenario* sc, char* error,
                   size_t errorCapacity) {
    std::memset(static_cast<void*>(sc), 0, sizeof(Scenario));
    sc->windowsMajor = 10;
    sc->windowsMinor = 0;
    sc->windowsBuild = 19045;
    CopyBounded(sc->windowsFolder, std::size(sc->windowsFolder), u"C:\\Windows");
    sc->recorderPid = kDefaultRecorderPid;
    Reader r{};
    r.sc = sc;
    r.name = name;
    r.error = error;
    r.errorCapacity = errorCapacity;
    r.openBlock = -1;
    if (errorCapacity > 0) error[0] = 0;

    if (length >= 3 && static_cast<unsigned char>(text[0]) == 0xEF &&
        static_cast<unsigned char>(text[1]) == 0xBB &&
        static_cast<unsigned char>(text[2]) == 0xBF) {
        text += 3;
        length -= 3;
    }
    // Sizes: at most one event per line; every property needs several bytes of text.
    uint32_t lines = 1;
    size_t longest = 0, lineStart = 0;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] == '\n') {
            ++lines;
            if (i - lineStart > longest) longest = i - lineStart;
            lineStart = i + 1;
        }
    }
    if (length - lineStart > longest) longest = length - lineStart;
    if (longest > kMaxLineBytes)
        return Error(&r, "a line is longer than %u bytes", static_cast<unsigned>(kMaxLineBytes));

    sc->events = static_cast<EventLine*>(AllocZeroed(sizeof(EventLine) * lines));
    sc->blocks = static_cast<RepeatBlock*>(AllocZeroed(sizeof(RepeatBlock) * lines));
    const size_t propCapacity = length / 8 + 16;
    sc->props = static_cast<PropSpec*>(AllocZeroed(sizeof(PropSpec) * propCapacity));
    sc->textCapacity = static_cast<uint32_t>(length + lines + 16);
    sc->text = static_cast<char16_t*>(AllocZeroed(sizeof(char16_t) * sc->textCapacity));
    sc->bytesCapacity = static_cast<uint32_t>(length + lines + 16);
    sc->bytes = static_cast<uint8_t*>(AllocZeroed(sc->bytesCapacity));
    r.json = AllocRecord<JsonLine>();
    char16_t* pool = static_cast<char16_t*>(AllocZeroed(sizeof(char16_t) * (longest + 2)));
    if (sc->events == nullptr || sc->blocks == nullptr || sc->props == nullptr ||
        sc->text == nullptr || sc->bytes == nullptr || r.json == nullptr || pool == nullptr) {
        FreeBlock(r.json);
        FreeBlock(pool);
        return Error(&r, "not enough memory to read the scenario");
    }
    r.json->pool = pool;
    r.json->poolCapacity = longest + 2;

    bool ok = true;
    size_t at = 0;
    uint32_t number = 0;
    while (ok && at <= length) {
        size_t end = at;
        while (end < length && text[end] != '\n')
            ++end;
        ++number;
        r.lineNumber = number;
        size_t stop = end;
        if (stop > at && text[stop - 1] == '\r') --stop;
        size_t first = at;
        while (first < stop && (text[first] == ' ' || text[first] == '\t'))
            ++first;
        if (first < stop && text[first] != '#') {
            if (!ParseJsonLine(r.json, text + first, stop - first)) {
                ok = Error(&r, "%s", r.json->error);
            } else {
                ok = ReadLine(&r);
            }
        }
        at = end + 1;
    }
    FreeBlock(pool);
    FreeBlock(r.json);
    r.json = nullptr;
    if (!ok) return false;
    if (r.openBlock >= 0) {
        r.lineNumber = sc->blocks[r.openBlock].lineNumber;
        return Error(&r, "the repeat block takes more event lines than follow it");
    }
    r.lineNumber = 0;
    if (!sc->hasProgram) return Error(&r, "no \"program\" line");
    return BuildInstances(&r);
}

bool ReadScenario(const char* path, Scenario* out, char* error, size_t errorCapacity) {
    std::memset(static_cast<void*>(out), 0, sizeof(Scenario));
    char16_t wide[1024];
    if (!Utf8ToUtf16(path, std::strlen(path), wide, 1024)) {
        std::snprintf(error, errorCapacity, "%s: the file name cannot be used", path);
        return false;
    }
    FileHandle file = OpenFileForReading(wide, nullptr);
    if (file == nullptr) {
        std::snprintf(error, errorCapacity, "%s: cannot be opened", path);
        return false;
    }
    int64_t size = 0;
    if (!FileSize(file, &size) || size < 0 || static_cast<uint64_t>(size) > kMaxScenarioBytes) {
        CloseFile(file);
        std::snprintf(error, errorCapacity, "%s: cannot be read (too large, or no size)", path);
        return false;
    }
    char* text = static_cast<char*>(AllocZeroed(static_cast<size_t>(size) + 1));
    bool ok = text != nullptr;
    size_t got = 0;
    while (ok && got < static_cast<size_t>(size)) {
        const size_t left = static_cast<size_t>(size) - got;
        const uint32_t piece = left > (1u << 24) ? (1u << 24) : static_cast<uint32_t>(left);
        uint32_t read = 0;
        ok = ReadFileBytes(file, text + got, piece, &read) && read > 0;
        got += read;
    }
    CloseFile(file);
    if (!ok) {
        FreeBlock(text);
        std::snprintf(error, errorCapacity, "%s: cannot be read", path);
        return false;
    }
    const bool parsed = ParseScenario(text, got, path, out, error, errorCapacity);
    FreeBlock(text);
    return parsed;
}

void FreeScenario(Scenario* sc) {
    FreeBlock(sc->events);
    FreeBlock(sc->props);
    FreeBlock(sc->blocks);
    FreeBlock(sc->instances);
    FreeBlock(sc->runOrder);
    for (int s = 0; s < kSessionCount; ++s) {
        FreeBlock(sc->runStream[s]);
        FreeBlock(sc->stopStream[s]);
    }
    FreeBlock(sc->text);
    FreeBlock(sc->bytes);
    std::memset(static_cast<void*>(sc), 0, sizeof(Scenario));
}

const char16_t* ScenarioText(const Scenario* sc, uint32_t at) {
    return sc->text + at;
}

int64_t InstanceTime(const Scenario* sc, const EventInstance* instance) {
    const EventLine& e = sc->events[instance->line];
    return e.time + e.timeStep * static_cast<int64_t>(instance->k);
}

// The latest time stamp of the events the sessions deliver as they stop.
int64_t LastStopTime(const Scenario* sc) {
    int64_t last = INT64_MIN;
    for (uint8_t s = 0; s < kSessionCount; ++s) {
        for (uint32_t i = 0; i < sc->stopCount[s]; ++i) {
            const int64_t t = InstanceTime(sc, &sc->instances[sc->stopStream[s][i]]);
            if (t > last) last = t;
        }
    }
    return last;
}

bool InstanceFaults(const Scenario* sc, const EventInstance* instance) {
    for (int i = 0; i < sc->faultCount; ++i) {
        if (sc->faults[i] == instance->number) return true;
    }
    return false;
}

} // namespace olv::replay
