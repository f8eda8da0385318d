#include "platform/sim/sim_schema.h"

#include <cstring>

#include "base/text.h"
#include "platform/trace_providers.h"

namespace olv {

namespace {

constexpr uint16_t kU8 = kInTypeUInt8;
constexpr uint16_t kU16 = kInTypeUInt16;
constexpr uint16_t kU32 = kInTypeUInt32;
constexpr uint16_t kI32 = kInTypeInt32;
constexpr uint16_t kU64 = kInTypeUInt64;
constexpr uint16_t kI64 = kInTypeInt64;
constexpr uint16_t kPtr = kInTypePointer;
constexpr uint16_t kWide = kInTypeUnicodeString;
constexpr uint16_t kAnsi = kInTypeAnsiString;
constexpr uint16_t kBin = kInTypeBinary;

// Kernel classes (the pointer-sized fields are pointers in the schema).
const SchemaField kFileCreate[] = {{u"IrpPtr", kPtr},         {u"TTID", kPtr},
                                   {u"FileObject", kPtr},     {u"CreateOptions", kU32},
                                   {u"FileAttributes", kU32}, {u"ShareAccess", kU32},
                                   {u"OpenPath", kWide}};
const SchemaField kFileReadWrite[] = {{u"Offset", kU64},     {u"IrpPtr", kPtr},  {u"TTID", kPtr},
                                      {u"FileObject", kPtr}, {u"FileKey", kPtr}, {u"IoSize", kU32},
                                      {u"IoFlags", kU32}};
const SchemaField kFileName[] = {{u"FileObject", kPtr}, {u"FileName", kWide}};
const SchemaField kFileInfo[] = {{u"IrpPtr", kPtr},  {u"TTID", kPtr},      {u"FileObject", kPtr},
                                 {u"FileKey", kPtr}, {u"ExtraInfo", kPtr}, {u"InfoClass", kU32}};
const SchemaField kFileDirEnum[] = {
    {u"IrpPtr", kPtr}, {u"TTID", kPtr},      {u"FileObject", kPtr}, {u"FileKey", kPtr},
    {u"Length", kU32}, {u"InfoClass", kU32}, {u"FileIndex", kU32},  {u"FileName", kWide}};
const SchemaField kFileSimpleOp[] = {
    {u"IrpPtr", kPtr}, {u"TTID", kPtr}, {u"FileObject", kPtr}, {u"FileKey", kPtr}};
const SchemaField kFileOpEnd[] = {{u"IrpPtr", kPtr}, {u"ExtraInfo", kPtr}, {u"NtStatus", kU32}};
const SchemaField kRegistry[] = {{u"InitialTime", kI64},
                                 {u"Status", kU32},
                                 {u"Index", kU32},
                                 {u"KeyHandle", kPtr},
                                 {u"KeyName", kWide}};
const SchemaField kTcpSend4[] = {{u"PID", kU32},      {u"size", kU32},    {u"daddr", kU32},
                                 {u"saddr", kU32},    {u"dport", kU16},   {u"sport", kU16},
                                 {u"startime", kU32}, {u"endtime", kU32}, {u"seqnum", kU32},
                                 {u"connid", kPtr}};
const SchemaField kTcpSend6[] = {{u"PID", kU32},       {u"size", kU32},    {u"daddr", kBin, 16},
                                 {u"saddr", kBin, 16}, {u"dport", kU16},   {u"sport", kU16},
                                 {u"startime", kU32},  {u"endtime", kU32}, {u"seqnum", kU32},
                                 {u"connid", kPtr}};
const SchemaField kUdp4[] = {{u"PID", kU32},    {u"size", kU32},  {u"daddr", kU32},
                             {u"saddr", kU32},  {u"dport", kU16}, {u"sport", kU16},
                             {u"seqnum", kU32}, {u"connid", kPtr}};
const SchemaField kUdp6[] = {{u"PID", kU32},       {u"size", kU32},  {u"daddr", kBin, 16},
                             {u"saddr", kBin, 16}, {u"dport", kU16}, {u"sport", kU16},
                             {u"seqnum", kU32},    {u"connid", kPtr}};
const SchemaField kProcess[] = {{u"UniqueProcessKey", kPtr},
                                {u"ProcessId", kU32},
                                {u"ParentId", kU32},
                                {u"SessionId", kU32},
                                {u"ExitStatus", kI32},
                                {u"DirectoryTableBase", kPtr},
                                {u"Flags", kU32},
                                {u"UserSID", kInTypeWbemSid},
                                {u"ImageFileName", kAnsi},
                                {u"CommandLine", kWide},
                                {u"PackageFullName", kWide},
                                {u"ApplicationId", kWide}};
const SchemaField kImage[] = {
    {u"ImageBase", kPtr},     {u"ImageSize", kPtr},     {u"ProcessId", kU32},
    {u"ImageCheckSum", kU32}, {u"TimeDateStamp", kU32}, {u"SignatureLevel", kU8},
    {u"SignatureType", kU8},  {u"Reserved0", kU16},     {u"DefaultBase", kPtr},
    {u"Reserved1", kU32},     {u"Reserved2", kU32},     {u"Reserved3", kU32},
    {u"Reserved4", kU32},     {u"FileName", kWide}};
// Thread starts, version 3 and later.
const SchemaField kThread[] = {
    {u"ProcessId", kU32},     {u"TThreadId", kU32},      {u"StackBase", kPtr},
    {u"StackLimit", kPtr},    {u"UserStackBase", kPtr},  {u"UserStackLimit", kPtr},
    {u"Affinity", kPtr},      {u"Win32StartAddr", kPtr}, {u"TebBase", kPtr},
    {u"SubProcessTag", kU32}, {u"BasePriority", kU8},    {u"PagePriority", kU8},
    {u"IoPriority", kU8},     {u"ThreadFlags", kU8}};
// DNS client (manifest-based).
const SchemaField kDnsQuery[] = {{u"QueryName", kWide},     {u"QueryType", kU32},
                                 {u"QueryOptions", kU64},   {u"ServerList", kWide},
                                 {u"IsNetworkQuery", kU32}, {u"NetworkQueryIndex", kU32},
                                 {u"InterfaceIndex", kU32}, {u"IsAsyncQuery", kU32}};
const SchemaField kDnsAnswer[] = {{u"QueryName", kWide},
                                  {u"QueryType", kU32},
                                  {u"QueryOptions", kU64},
                                  {u"QueryStatus", kU32},
                                  {u"QueryResults", kWide}};
const SchemaField kScriptBlock[] = {{u"MessageNumber", kI32},
                                    {u"MessageTotal", kI32},
                                    {u"ScriptBlockText", kWide},
                                    {u"ScriptBlockId", kWide},
                                    {u"Path", kWide}};
const SchemaField kModuleOutput[] = {
    {u"ContextInfo", kWide}, {u"UserData", kWide}, {u"Payload", kWide}};
const SchemaField kScan[] = {{u"session", kU64},       {u"scanStatus", kU8},
                             {u"scanResult", kU32},    {u"appname", kWide},
                             {u"contentname", kWide},  {u"contentsize", kU32},
                             {u"originalsize", kU32},  {u"content", kBin, 64},
                             {u"hash", kBin, 32},      {u"contentFiltered", kU8}};
// Kernel audit (manifest-based): the caller is the header's process.
const SchemaField kOpenProcess[] = {
    {u"TargetProcessId", kU32}, {u"DesiredAccess", kU32}, {u"ReturnCode", kU32}};
const SchemaField kOpenThread[] = {{u"TargetProcessId", kU32},
                                   {u"TargetThreadId", kU32},
                                   {u"DesiredAccess", kU32},
                                   {u"ReturnCode", kU32}};

const char16_t* const kReadsFileCreate[] = {u"FileObject", u"OpenPath", u"IrpPtr"};
const char16_t* const kReadsFileRequest[] = {u"FileObject", u"FileKey", u"IrpPtr", u"IoSize"};
const char16_t* const kReadsFileName[] = {u"FileObject", u"FileName"};
const char16_t* const kReadsFileInfo[] = {u"FileObject", u"FileKey", u"IrpPtr"};
const char16_t* const kReadsFileDir[] = {u"FileObject", u"FileKey", u"IrpPtr", u"FileName"};
const char16_t* const kReadsFileOpEnd[] = {u"IrpPtr", u"NtStatus"};
const char16_t* const kReadsRegistry[] = {u"KeyHandle", u"KeyName", u"Status"};
const char16_t* const kReadsNetwork[] = {u"PID", u"saddr", u"daddr", u"sport", u"dport", u"size"};
const char16_t* const kReadsProcess[] = {u"ProcessId", u"ParentId", u"ImageFileName",
                                         u"CommandLine", u"ExitStatus"};
const char16_t* const kReadsImage[] = {u"ProcessId", u"FileName", u"ImageSize", u"ImageBase"};
const char16_t* const kReadsThread[] = {u"ProcessId", u"TThreadId", u"Win32StartAddr"};
const char16_t* const kReadsDnsQuery[] = {u"QueryName", u"QueryType"};
const char16_t* const kReadsDnsAnswer[] = {u"QueryName", u"QueryType", u"QueryStatus",
                                           u"QueryResults"};
const char16_t* const kReadsOpenProcess[] = {u"TargetProcessId", u"DesiredAccess",
                                             u"ReturnCode"};
const char16_t* const kReadsOpenThread[] = {u"TargetProcessId", u"TargetThreadId",
                                            u"DesiredAccess", u"ReturnCode"};
const char16_t* const kReadsScriptBlock[] = {u"MessageNumber", u"MessageTotal",
                                             u"ScriptBlockText", u"ScriptBlockId", u"Path"};
const char16_t* const kReadsModuleOutput[] = {u"Payload", u"ContextInfo"};
const char16_t* const kReadsScan[] = {u"appname", u"contentname", u"contentsize", u"content",
                                      u"hash", u"scanResult"};

#define OLV_FIELDS(a) a, static_cast<uint32_t>(sizeof(a) / sizeof((a)[0]))

// Text values of the sample events, by property name; other strings hold their own name.
struct SampleText {
    const char16_t* name;
    const char16_t* text;
};
const SampleText kSampleTexts[] = {
    {u"OpenPath", u"\\Device\\HarddiskVolume3\\Users\\a\\AppData\\Roaming\\x.dat"},
    {u"FileName", u"\\Device\\HarddiskVolume3\\Windows\\System32\\kernel32.dll"},
    {u"KeyName", u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run"},
    {u"CommandLine", u"\"C:\\Users\\a\\Downloads\\setup.exe\" /quiet /norestart"},
    {u"QueryName", u"update.example.org"},
    {u"QueryResults", u"type: 5 cdn.example.net;93.184.216.34;93.184.216.35;"},
};

const char16_t* SampleTextOf(const char16_t* name) {
    for (const SampleText& s : kSampleTexts) {
        if (TextEquals(s.name, name)) return s.text;
    }
    return name;
}

struct PayloadWriter {
    SimEvent* e;
    uint8_t bytes[kSimPayloadBytes];
    uint32_t used;
};

void Put(PayloadWriter* w, SampleEvent* sample, const char16_t* name, const void* data,
         uint32_t size) {
    if (size > sizeof w->bytes - w->used) return;
    std::memcpy(w->bytes + w->used, data, size);
    sample->spans[sample->count++] = PropertySpan{w->used, size};
    w->used += size;
    AddSimBytes(w->e, name, data, size);
}

} // namespace

const SchemaClass kDecoderSchemas[] = {
    {"FileIo create", kFileIoProvider, 0, 2, 64, OLV_FIELDS(kFileCreate),
     OLV_FIELDS(kReadsFileCreate)},
    {"FileIo read", kFileIoProvider, 0, 2, 67, OLV_FIELDS(kFileReadWrite),
     OLV_FIELDS(kReadsFileRequest)},
    {"FileIo write", kFileIoProvider, 0, 2, 68, OLV_FIELDS(kFileReadWrite),
     OLV_FIELDS(kReadsFileRequest)},
    {"FileIo name", kFileIoProvider, 0, 2, 0, OLV_FIELDS(kFileName), OLV_FIELDS(kReadsFileName)},
    {"FileIo file create", kFileIoProvider, 0, 2, 32, OLV_FIELDS(kFileName),
     OLV_FIELDS(kReadsFileName)},
    {"FileIo rundown", kFileIoProvider, 0, 2, 36, OLV_FIELDS(kFileName),
     OLV_FIELDS(kReadsFileName)},
    {"FileIo set info", kFileIoProvider, 0, 2, 69, OLV_FIELDS(kFileInfo),
     OLV_FIELDS(kReadsFileInfo)},
    {"FileIo query info", kFileIoProvider, 0, 2, 74, OLV_FIELDS(kFileInfo),
     OLV_FIELDS(kReadsFileInfo)},
    {"FileIo directory", kFileIoProvider, 0, 2, 72, OLV_FIELDS(kFileDirEnum),
     OLV_FIELDS(kReadsFileDir)},
    {"FileIo close", kFileIoProvider, 0, 2, 66, OLV_FIELDS(kFileSimpleOp),
     OLV_FIELDS(kReadsFileInfo)},
    {"FileIo completion", kFileIoProvider, 0, 2, 76, OLV_FIELDS(kFileOpEnd),
     OLV_FIELDS(kReadsFileOpEnd)},
    {"Registry open", kRegistryProvider, 0, 2, 11, OLV_FIELDS(kRegistry),
     OLV_FIELDS(kReadsRegistry)},
    {"Registry key rundown", kRegistryProvider, 0, 2, 24, OLV_FIELDS(kRegistry),
     OLV_FIELDS(kReadsRegistry)},
    {"TcpIp send IPv4", kTcpIpProvider, 0, 2, 10, OLV_FIELDS(kTcpSend4), OLV_FIELDS(kReadsNetwork)},
    {"TcpIp send IPv6", kTcpIpProvider, 0, 2, 26, OLV_FIELDS(kTcpSend6), OLV_FIELDS(kReadsNetwork)},
    {"UdpIp send IPv4", kUdpIpProvider, 0, 2, 10, OLV_FIELDS(kUdp4), OLV_FIELDS(kReadsNetwork)},
    {"UdpIp receive IPv6", kUdpIpProvider, 0, 2, 27, OLV_FIELDS(kUdp6), OLV_FIELDS(kReadsNetwork)},
    {"Process start", kProcessProvider, 0, 4, 1, OLV_FIELDS(kProcess), OLV_FIELDS(kReadsProcess)},
    {"Image load", kImageProvider, 0, 3, 10, OLV_FIELDS(kImage), OLV_FIELDS(kReadsImage)},
    {"Thread start", kThreadProvider, 0, 3, 1, OLV_FIELDS(kThread), OLV_FIELDS(kReadsThread)},
    {"DNS query", kDnsClientProvider, 3006, 0, 0, OLV_FIELDS(kDnsQuery),
     OLV_FIELDS(kReadsDnsQuery)},
    {"DNS answer", kDnsClientProvider, 3008, 0, 0, OLV_FIELDS(kDnsAnswer),
     OLV_FIELDS(kReadsDnsAnswer)},
    {"Script block", kPowerShellProvider, 4104, 0, 0, OLV_FIELDS(kScriptBlock),
     OLV_FIELDS(kReadsScriptBlock)},
    {"Module output", kPowerShellProvider, 4103, 0, 0, OLV_FIELDS(kModuleOutput),
     OLV_FIELDS(kReadsModuleOutput)},
    {"Scanned content", kAmsiProvider, 1101, 0, 0, OLV_FIELDS(kScan), OLV_FIELDS(kReadsScan)},
    {"Process opened", kKernelAuditProvider, 5, 0, 0, OLV_FIELDS(kOpenProcess),
     OLV_FIELDS(kReadsOpenProcess)},
    {"Thread opened", kKernelAuditProvider, 6, 0, 0, OLV_FIELDS(kOpenThread),
     OLV_FIELDS(kReadsOpenThread)},
};
const uint32_t kDecoderSchemaCount = sizeof kDecoderSchemas / sizeof kDecoderSchemas[0];

const SchemaClass* FindSchema(const char* label) {
    for (const SchemaClass& s : kDecoderSchemas) {
        if (std::strcmp(s.label, label) == 0) return &s;
    }
    return nullptr;
}

size_t WriteSchemaBlock(const SchemaClass& schema, uint8_t* block, size_t capacity,
                        bool measureOnly) {
    const size_t arrayBytes = schema.fieldCount * size_t{kSchemaPropertyInfoBytes};
    size_t nameBytes = 0;
    for (uint32_t i = 0; i < schema.fieldCount; ++i)
        nameBytes += (TextLength(schema.fields[i].name) + 1) * 2;
    const size_t total = kSchemaPropertyArrayOffset + arrayBytes + nameBytes;
    if (measureOnly) return total;
    if (block == nullptr || total > capacity) return 0;
    std::memset(block, 0, total);

    auto put16 = [&](size_t at, uint16_t v) { std::memcpy(block + at, &v, 2); };
    auto put32 = [&](size_t at, uint32_t v) { std::memcpy(block + at, &v, 4); };
    std::memcpy(block, &schema.provider, sizeof(Guid)); // ProviderGuid
    put16(32, schema.id);                               // EventDescriptor.Id
    block[34] = schema.version;
    block[37] = schema.opcode;
    put32(48, schema.id == 0 ? 1u : 0u); // DecodingSource: the kernel's classes, or a manifest
    put32(kSchemaPropertyCountOffset, schema.fieldCount);
    put32(kSchemaTopLevelCountOffset, schema.fieldCount);

    size_t nameAt = kSchemaPropertyArrayOffset + arrayBytes;
    for (uint32_t i = 0; i < schema.fieldCount; ++i) {
        const SchemaField& f = schema.fields[i];
        const size_t info = kSchemaPropertyArrayOffset + i * size_t{kSchemaPropertyInfoBytes};
        put32(info + kSchemaInfoFlagsOffset, f.flags);
        put32(info + kSchemaInfoNameOffset, static_cast<uint32_t>(nameAt));
        put16(info + kSchemaInfoInTypeOffset, f.inType);
        put16(info + kSchemaInfoCountOffset, f.count);
        put16(info + kSchemaInfoLengthOffset, f.length);
        const size_t chars = TextLength(f.name) + 1;
        std::memcpy(block + nameAt, f.name, chars * 2);
        nameAt += chars * 2;
    }
    return total;
}

void WriteSampleEvent(const SchemaClass& schema, uint32_t pointerBytes, SimEvent* e,
                      SampleEvent* sample) {
    BeginSimEvent(e, schema.provider, schema.opcode, schema.id, 4242, 77, 133565403100000000);
    e->record.header.descriptor.version = schema.version;
    if (pointerBytes == 4) SetSimEvent32BitHeader(e);
    *sample = SampleEvent{};
    sample->event = e;
    static thread_local PayloadWriter w; // large for a stack
    w.e = e;
    w.used = 0;
    for (uint32_t i = 0; i < schema.fieldCount; ++i) {
        const SchemaField& f = schema.fields[i];
        const uint64_t value = 0x8877665544332211ull + (uint64_t{i} << 56) + i;
        switch (f.inType) {
        case kInTypeUnicodeString: {
            const char16_t* text = SampleTextOf(f.name);
            Put(&w, sample, f.name, text, static_cast<uint32_t>((TextLength(text) + 1) * 2));
            break;
        }
        case kInTypeAnsiString: {
            const char* text = "setup.exe";
            Put(&w, sample, f.name, text, static_cast<uint32_t>(std::strlen(text) + 1));
            break;
        }
        case kInTypeBinary: {
            uint8_t bytes[64];
            for (uint32_t b = 0; b < sizeof bytes; ++b)
                bytes[b] = static_cast<uint8_t>(0x20 + i * 16 + b);
            Put(&w, sample, f.name, bytes, f.length <= sizeof bytes ? f.length : 0);
            break;
        }
        case kInTypePointer:
            Put(&w, sample, f.name, &value, pointerBytes);
            break;
        case kInTypeWbemSid: {
            // TOKEN_USER {PSID Sid; DWORD Attributes} of the pointer size, then S-1-5-21-a-b-c-d.
            uint8_t bytes[16 + 28] = {};
            const uint32_t token = 2 * pointerBytes;
            std::memcpy(bytes, &value, pointerBytes);
            const uint8_t sid[28] = {1,    5,    0,    0,    0,    0,    0,    5,    21,   0,
                                     0,    0,    0xA1, 0xB2, 0xC3, 0xD4, 0x11, 0x22, 0x33, 0x44,
                                     0x55, 0x66, 0x77, 0x88, 0xE9, 0x03, 0,    0};
            std::memcpy(bytes + token, sid, sizeof sid);
            Put(&w, sample, f.name, bytes, token + sizeof sid);
            break;
        }
        default: {
            uint32_t bytes = 8;
            if (f.inType == kU8) bytes = 1;
            if (f.inType == kU16) bytes = 2;
            if (f.inType == kU32 || f.inType == kI32) bytes = 4;
            Put(&w, sample, f.name, &value, bytes);
            break;
        }
        }
    }
    SetSimPayload(e, w.bytes, static_cast<uint16_t>(w.used));
}

uint32_t SimDescribeEvent(const EventRecord* event, uint8_t* block, uint32_t* bytes) {
    const EventDescriptor& d = event->header.descriptor;
    for (uint32_t i = 0; i < kDecoderSchemaCount; ++i) {
        const SchemaClass& s = kDecoderSchemas[i];
        if (!(s.provider == event->header.providerId) || s.id != d.id || s.opcode != d.opcode ||
            s.version != d.version) {
            continue;
        }
        const size_t needed = WriteSchemaBlock(s, nullptr, 0, true);
        if (needed > *bytes) {
            *bytes = static_cast<uint32_t>(needed);
            return 122;
        }
        *bytes = static_cast<uint32_t>(WriteSchemaBlock(s, block, needed));
        return 0;
    }
    return 1168;
}

} // namespace olv
