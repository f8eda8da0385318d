// Token facts of a running process from the system (OpenProcessToken, GetTokenInformation,
// LookupAccountSidW).
#include <windows.h>

#include <sddl.h>

#include "base/text.h"
#include "platform/process_token.h"

namespace olv {

static_assert(sizeof(wchar_t) == 2, "UTF-16 text is passed to the system as wchar_t");

namespace {

// Room for a TOKEN_USER or TOKEN_MANDATORY_LABEL and its SID (at most 68 bytes).
constexpr DWORD kTokenInfoBytes = 256;

void ClearFacts(ProcessTokenFacts* out) {
    out->status = kTokenReadFailed;
    out->error = 0;
    out->userKnown = false;
    out->user[0] = 0;
    out->sidKnown = false;
    out->sid[0] = 0;
    out->integrityKnown = false;
    out->integrityRid = 0;
    out->logonIdKnown = false;
    out->logonId = 0;
}

ProcessTokenStatus StatusOfError(DWORD error) {
    switch (error) {
    case ERROR_INVALID_PARAMETER:
        return kTokenProcessGone; // OpenProcess of an id not in use
    case ERROR_ACCESS_DENIED:
        return kTokenAccessDenied;
    default:
        return kTokenReadFailed;
    }
}

void ReadUser(HANDLE token, ProcessTokenFacts* out) {
    alignas(8) unsigned char buffer[kTokenInfoBytes];
    DWORD needed = 0;
    if (!GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &needed)) return;
    PSID sid = reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid;
    wchar_t* sidText = nullptr;
    if (ConvertSidToStringSidW(sid, &sidText) && sidText != nullptr) {
        CopyBounded(out->sid, kTokenSidChars, reinterpret_cast<const char16_t*>(sidText));
        out->sidKnown = TextLength(reinterpret_cast<const char16_t*>(sidText)) < kTokenSidChars;
        if (!out->sidKnown) out->sid[0] = 0;
        LocalFree(sidText);
    }
    wchar_t name[256];
    wchar_t domain[256];
    DWORD nameChars = 256;
    DWORD domainChars = 256;
    SID_NAME_USE use;
    if (!LookupAccountSidW(nullptr, sid, name, &nameChars, domain, &domainChars, &use)) return;
    name[255] = 0;
    domain[255] = 0;
    char16_t* user = out->user;
    size_t used = 0;
    if (domain[0] != 0) {
        CopyBounded(user, kTokenUserChars, reinterpret_cast<const char16_t*>(domain));
        used = AppendBounded(user, kTokenUserChars, u"\\");
    }
    used = AppendBounded(user, kTokenUserChars, reinterpret_cast<const char16_t*>(name));
    out->userKnown = used > 0;
}

void ReadIntegrity(HANDLE token, ProcessTokenFacts* out) {
    alignas(8) unsigned char buffer[kTokenInfoBytes];
    DWORD needed = 0;
    if (!GetTokenInformation(token, TokenIntegrityLevel, buffer, sizeof buffer, &needed)) return;
    PSID sid = reinterpret_cast<TOKEN_MANDATORY_LABEL*>(buffer)->Label.Sid;
    if (!IsValidSid(sid)) return;
    const UCHAR count = *GetSidSubAuthorityCount(sid);
    if (count == 0) return;
    out->integrityRid = *GetSidSubAuthority(sid, count - 1u);
    out->integrityKnown = true;
}

void ReadLogonId(HANDLE token, ProcessTokenFacts* out) {
    TOKEN_STATISTICS statistics{};
    DWORD needed = 0;
    if (!GetTokenInformation(token, TokenStatistics, &statistics, sizeof statistics, &needed)) {
        return;
    }
    const LUID id = statistics.AuthenticationId;
    out->logonId = (static_cast<uint64_t>(static_cast<uint32_t>(id.HighPart)) << 32) | id.LowPart;
    out->logonIdKnown = true;
}

} // namespace

bool ReadProcessTokenFacts(uint32_t processId, ProcessTokenFacts* out) {
    if (out == nullptr) return false;
    ClearFacts(out);
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (process == nullptr) {
        out->error = GetLastError();
        out->status = StatusOfError(out->error);
        return false;
    }
    HANDLE token = nullptr;
    const BOOL opened = OpenProcessToken(process, TOKEN_QUERY, &token);
    const DWORD openError = opened ? 0 : GetLastError();
    CloseHandle(process);
    if (!opened) {
        out->error = openError;
        out->status = StatusOfError(openError);
        return false;
    }
    ReadUser(token, out);
    ReadIntegrity(token, out);
    ReadLogonId(token, out);
    CloseHandle(token);
    out->status = kTokenRead;
    return true;
}

} // namespace olv
