// Names of categories, fields, levels and refusal reasons; which fields each category's rows
// fill; the case folding of the matcher.
#include <cstring>

#include "sigma/sigma_engine.h"

namespace olv {

namespace {

const char* const kCategoryNames[kSigmaCategoryCount] = {
    "process_creation", "image_load",     "file_event",     "file_delete",        "registry_add",
    "registry_delete",  "registry_set",   "registry_event", "network_connection", "dns_query",
    "pipe_created",     "create_stream_hash", "file_access", "file_rename", "raw_access_thread",
    "dns-client",
    "ps_script",        "ps_module",      "process_access", "driver_load",
    "create_remote_thread",
};

const char* const kFieldNames[kSigmaFieldCount] = {
    "Image",           "CommandLine",   "ProcessId",         "ParentImage",
    "ParentCommandLine", "ParentProcessId", "CurrentDirectory", "ImageLoaded",
    "TargetFilename",  "TargetObject",  "EventType",         "DestinationIp",
    "DestinationPort", "DestinationHostname", "SourceIp",    "SourcePort",
    "Protocol",        "Initiated",     "QueryName",         "QueryResults",
    "QueryStatus",
    "GrandParentImage", "NewName",
    "PipeName", "FileName", "SourceFilename", "Device", "EventID",
    // facts (record/row_facts.h)
    "OriginalFileName", "Description", "Product", "Company", "FileVersion", "Hashes", "md5",
    "sha1", "sha256", "Imphash", "Signed", "Signature", "SignatureStatus", "User",
    "IntegrityLevel", "LogonId", "ParentUser", "Details", "Hash", "Contents",
    // scripts
    "ScriptBlockText", "Path", "Payload", "ContextInfo",
    // processes opened, threads in another process
    "SourceImage", "TargetImage", "GrantedAccess", "StartAddress", "StartModule", "StartFunction",
};

const char* const kLevelNames[] = {"informational", "low", "medium", "high", "critical"};

const char* const kReasonNames[kSigmaRefusalReasonCount] = {
    "syntax",   "too-large", "encoding",    "product", "service",  "category",  "field",
    "modifier", "expand",    "document-kind", "unsupported", "limits", "unreadable",
};

constexpr SigmaFieldMask Bit(uint32_t field) {
    return SigmaFieldBit(field);
}

// The acting process's command line and family, which rules of every category but the process
// start's own compare (a file written by a child of an Office program, a connection made by
// rundll32 started with no arguments): from the view's process table.
constexpr SigmaFieldMask kActingProcessFields = Bit(kSigmaCommandLine) | Bit(kSigmaParentImage) |
                                                Bit(kSigmaParentCommandLine) |
                                                Bit(kSigmaGrandParentImage);

// The facts of an image file: the started program's, the loaded file's.
constexpr SigmaFieldMask kImageFacts =
    Bit(kSigmaOriginalFileName) | Bit(kSigmaDescription) | Bit(kSigmaProduct) |
    Bit(kSigmaCompany) | Bit(kSigmaFileVersion) | Bit(kSigmaHashes) | Bit(kSigmaMd5) |
    Bit(kSigmaSha1) | Bit(kSigmaSha256) | Bit(kSigmaImphash) | Bit(kSigmaSigned) |
    Bit(kSigmaSignature) | Bit(kSigmaSignatureStatus);

constexpr SigmaFieldMask kRegistryFields = Bit(kSigmaTargetObject) | Bit(kSigmaEventType) |
                                           Bit(kSigmaImage) | Bit(kSigmaProcessId) |
                                           kActingProcessFields;
constexpr SigmaFieldMask kFileFields =
    Bit(kSigmaTargetFilename) | Bit(kSigmaImage) | Bit(kSigmaProcessId) | kActingProcessFields;

// The fields the view fills for each category's rows.
constexpr SigmaFieldMask kAllowedFields[kSigmaCategoryCount] = {
    // process_creation
    Bit(kSigmaImage) | Bit(kSigmaCommandLine) | Bit(kSigmaProcessId) | Bit(kSigmaParentImage) |
        Bit(kSigmaParentCommandLine) | Bit(kSigmaParentProcessId) | Bit(kSigmaCurrentDirectory) |
        Bit(kSigmaGrandParentImage) | kImageFacts | Bit(kSigmaUser) | Bit(kSigmaIntegrityLevel) |
        Bit(kSigmaLogonId) | Bit(kSigmaParentUser),
    // image_load
    Bit(kSigmaImageLoaded) | Bit(kSigmaImage) | Bit(kSigmaProcessId) | kActingProcessFields |
        kImageFacts,
    kFileFields | Bit(kSigmaNewName), // file_event: a rename's new name
    kFileFields, // file_delete
    // registry_add, registry_delete, registry_set, registry_event (value writes among its rows)
    kRegistryFields, kRegistryFields, kRegistryFields | Bit(kSigmaDetails),
    kRegistryFields | Bit(kSigmaDetails),
    // network_connection
    Bit(kSigmaDestinationIp) | Bit(kSigmaDestinationPort) | Bit(kSigmaSourceIp) |
        Bit(kSigmaSourcePort) | Bit(kSigmaProtocol) | Bit(kSigmaInitiated) |
        Bit(kSigmaDestinationHostname) | Bit(kSigmaImage) | Bit(kSigmaProcessId) |
        kActingProcessFields,
    // dns_query
    Bit(kSigmaQueryName) | Bit(kSigmaQueryResults) | Bit(kSigmaQueryStatus) | Bit(kSigmaImage) |
        Bit(kSigmaProcessId) | kActingProcessFields,
    // pipe_created
    Bit(kSigmaPipeName) | Bit(kSigmaEventType) | Bit(kSigmaImage) | Bit(kSigmaProcessId) |
        kActingProcessFields,
    // create_stream_hash: the stream's digests and short text are facts read after the write
    kFileFields | Bit(kSigmaHash) | Bit(kSigmaContents),
    // file_access
    Bit(kSigmaFileName) | Bit(kSigmaImage) | Bit(kSigmaProcessId) | kActingProcessFields,
    // file_rename
    Bit(kSigmaSourceFilename) | kFileFields,
    // raw_access_thread
    Bit(kSigmaDevice) | Bit(kSigmaImage) | Bit(kSigmaProcessId) | kActingProcessFields,
    // dns-client: the DNS client's own log names the process by its id only
    Bit(kSigmaEventId) | Bit(kSigmaQueryName) | Bit(kSigmaQueryResults) |
        Bit(kSigmaQueryStatus) | Bit(kSigmaProcessId),
    // ps_script, ps_module
    Bit(kSigmaScriptBlockText) | Bit(kSigmaPath),
    Bit(kSigmaPayload) | Bit(kSigmaContextInfo),
    // process_access: CallTrace, a stack only a driver takes, is never known
    Bit(kSigmaSourceImage) | Bit(kSigmaTargetImage) | Bit(kSigmaGrantedAccess),
    // driver_load: the file's facts
    Bit(kSigmaImageLoaded) | kImageFacts,
    // create_remote_thread
    Bit(kSigmaSourceImage) | Bit(kSigmaTargetImage) | Bit(kSigmaStartAddress) |
        Bit(kSigmaStartModule) | Bit(kSigmaStartFunction),
};


// Simple one-to-one lower-case mapping: ASCII, Latin-1, Latin Extended-A, Greek and Cyrillic
// capitals. Characters outside these blocks compare as they are.
char16_t ComputeFold(char16_t c) {
    if (c < 0x80) return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<char16_t>(c + 32);
    if (c >= 0x100 && c <= 0x137 && (c & 1) == 0 && c != 0x130) return static_cast<char16_t>(c + 1);
    if (c >= 0x139 && c <= 0x148 && (c & 1) == 1) return static_cast<char16_t>(c + 1);
    if (c >= 0x14A && c <= 0x177 && (c & 1) == 0) return static_cast<char16_t>(c + 1);
    if (c == 0x178) return 0xFF;
    if (c >= 0x179 && c <= 0x17E && (c & 1) == 1) return static_cast<char16_t>(c + 1);
    if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return static_cast<char16_t>(c + 32);
    if (c >= 0x400 && c <= 0x40F) return static_cast<char16_t>(c + 80);
    if (c >= 0x410 && c <= 0x42F) return static_cast<char16_t>(c + 32);
    return c;
}

struct FoldTable {
    char16_t map[65536];
    FoldTable() {
        for (uint32_t c = 0; c < 65536; ++c)
            map[c] = ComputeFold(static_cast<char16_t>(c));
    }
};

const FoldTable gFold; // built before main; read-only afterwards

} // namespace

const char* SigmaCategoryName(uint32_t category) {
    return category < kSigmaCategoryCount ? kCategoryNames[category] : nullptr;
}

bool IsSigmaServiceCategory(uint32_t category) {
    return category == kSigmaDnsClient;
}

const char* SigmaFieldName(uint32_t field) {
    return field < kSigmaFieldCount ? kFieldNames[field] : nullptr;
}

const char* SigmaLevelName(uint32_t level) {
    return level <= kSigmaCritical ? kLevelNames[level] : nullptr;
}

uint32_t SeverityOfSigmaLevel(uint32_t level) {
    switch (level) {
    case kSigmaCritical:
    case kSigmaHigh:
        return 3;
    case kSigmaMedium:
        return 2;
    case kSigmaLow:
        return 1;
    default:
        return 0;
    }
}

const char* SigmaRefusalReasonName(uint32_t reason) {
    return reason < kSigmaRefusalReasonCount ? kReasonNames[reason] : nullptr;
}

namespace sigma {

char16_t FoldNonAscii(char16_t c) {
    return gFold.map[c];
}

bool FieldAllowed(uint32_t category, uint32_t field) {
    if (field == kAnyField) return true;
    return category < kSigmaCategoryCount && field < kSigmaFieldCount &&
           (kAllowedFields[category] & Bit(field)) != 0;
}

uint32_t FieldByName(const char* name, size_t length) {
    for (uint32_t f = 0; f < kSigmaFieldCount; ++f) {
        if (std::strlen(kFieldNames[f]) == length && std::memcmp(kFieldNames[f], name, length) == 0)
            return f;
    }
    return kSigmaFieldCount;
}

} // namespace sigma

} // namespace olv
