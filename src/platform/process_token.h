// Facts of a running process's access token: its user, its integrity level and its logon
// session, for the rules' User, IntegrityLevel and LogonId fields. Read while the process lives;
// a process that has ended has no token to read.
#pragma once

#include <cstddef>
#include <cstdint>

namespace olv {

constexpr size_t kTokenUserChars = 512; // DOMAIN\name with its terminator
constexpr size_t kTokenSidChars = 192;  // S-1-... with its terminator

enum ProcessTokenStatus : uint8_t {
    kTokenRead,         // the token was opened; each fact says whether it is known
    kTokenProcessGone,  // no process of that id
    kTokenAccessDenied, // the process or its token may not be opened
    kTokenReadFailed,   // any other failure; error holds the system's error
    kTokenNotAvailable, // no tokens on this platform
};

struct ProcessTokenFacts {
    ProcessTokenStatus status;
    uint32_t error; // the system's error of the first step that failed, else 0
    // The account as the system names it, DOMAIN\name (localised as the system is). Unknown when
    // the account's SID has no name here; sid still holds its text then.
    bool userKnown;
    char16_t user[kTokenUserChars];
    bool sidKnown;
    char16_t sid[kTokenSidChars];
    // The mandatory label's relative id (0x2000 medium, 0x3000 high, ...).
    bool integrityKnown;
    uint32_t integrityRid;
    // The logon session (the token's authentication id): high part << 32 | low part.
    bool logonIdKnown;
    uint64_t logonId;
};

// Reads the token of process processId with the least rights that allow it (query-limited
// information on the process, query on the token). Returns true when the token was opened
// (status Read); *out is always filled, unknown facts zeroed.
bool ReadProcessTokenFacts(uint32_t processId, ProcessTokenFacts* out);

const char* ProcessTokenStatusName(ProcessTokenStatus status);

} // namespace olv
