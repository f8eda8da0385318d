// The system's trust check of a file (WinVerifyTrust), with the catalog lookup for files signed
// through the system's catalogs (CryptCATAdmin*), and the signer's name (CertGetNameStringW).
#include <windows.h>

// wincrypt.h first: the catalog and trust headers use its types without including it.
#include <wincrypt.h>

#include <mscat.h>
#include <softpub.h>
#include <wintrust.h>

#include "base/text.h"
#include "platform/file_trust.h"

namespace olv {

static_assert(sizeof(wchar_t) == 2, "UTF-16 text is passed to the system as wchar_t");

namespace {

// A catalog member's tag is its digest in upper-case hex; SHA-256 is the longest.
constexpr DWORD kDigestBytesMax = 64;

// The SHA-256 catalog calls exist from Windows 8 on; older systems have the SHA-1 ones only, so
// the newer are looked up rather than imported (the program must start on either).
using AcquireContext2Fn = BOOL(WINAPI*)(HCATADMIN*, const GUID*, const WCHAR*,
                                        const CERT_STRONG_SIGN_PARA*, DWORD);
using CalcHash2Fn = BOOL(WINAPI*)(HCATADMIN, HANDLE, DWORD*, BYTE*, DWORD);

struct CatalogCalls {
    AcquireContext2Fn acquire2;
    CalcHash2Fn calcHash2;
};

CatalogCalls LoadCatalogCalls() {
    CatalogCalls calls{};
    HMODULE wintrust = GetModuleHandleW(L"wintrust.dll");
    if (wintrust == nullptr) return calls;
    // Through a function type without arguments, as a FARPROC is converted without a warning.
    calls.acquire2 = reinterpret_cast<AcquireContext2Fn>(
        reinterpret_cast<void (*)()>(GetProcAddress(wintrust, "CryptCATAdminAcquireContext2")));
    calls.calcHash2 = reinterpret_cast<CalcHash2Fn>(reinterpret_cast<void (*)()>(
        GetProcAddress(wintrust, "CryptCATAdminCalcHashFromFileHandle2")));
    if (calls.acquire2 == nullptr || calls.calcHash2 == nullptr) calls = CatalogCalls{};
    return calls;
}

void TakeSigner(HANDLE stateData, FileTrust* out) {
    CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(stateData);
    if (provider == nullptr) return;
    CRYPT_PROVIDER_SGNR* signer = WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0);
    if (signer == nullptr) return;
    CRYPT_PROVIDER_CERT* cert = WTHelperGetProvCertFromChain(signer, 0);
    if (cert == nullptr || cert->pCert == nullptr) return;
    wchar_t name[kTrustSignerChars];
    const DWORD chars = CertGetNameStringW(cert->pCert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr,
                                           name, kTrustSignerChars);
    name[kTrustSignerChars - 1] = 0;
    if (chars <= 1 || name[0] == 0) return;
    CopyBounded(out->signer, kTrustSignerChars, reinterpret_cast<const char16_t*>(name));
    out->signerKnown = true;
}

// Runs the check on data (file or catalog member) and takes the signer; the state is always
// closed again.
uint32_t Verify(WINTRUST_DATA* data, FileTrust* out) {
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    data->cbStruct = sizeof *data;
    data->dwUIChoice = WTD_UI_NONE;
    // Revocation would be asked of the network, which an analysis machine often has not (and
    // which would wait); a certificate the system itself distrusts is still reported.
    data->fdwRevocationChecks = WTD_REVOKE_NONE;
    data->dwStateAction = WTD_STATEACTION_VERIFY;
    data->dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL | WTD_REVOCATION_CHECK_NONE;
    const LONG result = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, data);
    if (data->hWVTStateData != nullptr) TakeSigner(data->hWVTStateData, out);
    data->dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, data);
    return static_cast<uint32_t>(result);
}

uint32_t VerifyEmbedded(const wchar_t* path, HANDLE file, FileTrust* out) {
    WINTRUST_FILE_INFO info{};
    info.cbStruct = sizeof info;
    info.pcwszFilePath = path;
    info.hFile = file;
    WINTRUST_DATA data{};
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &info;
    return Verify(&data, out);
}

// Looks the file's digest up in the catalogs of the administration context and checks the first
// catalog that lists it. False when no catalog lists it.
bool VerifyInCatalog(HCATADMIN admin, const wchar_t* path, HANDLE file, BYTE* digest,
                     DWORD digestBytes, FileTrust* out) {
    HCATINFO catalog = CryptCATAdminEnumCatalogFromHash(admin, digest, digestBytes, 0, nullptr);
    if (catalog == nullptr) return false;
    CATALOG_INFO catalogInfo{};
    catalogInfo.cbStruct = sizeof catalogInfo;
    bool checked = false;
    if (CryptCATCatalogInfoFromContext(catalog, &catalogInfo, 0)) {
        wchar_t tag[kDigestBytesMax * 2 + 1];
        static const wchar_t kHex[] = L"0123456789ABCDEF";
        for (DWORD i = 0; i < digestBytes; ++i) {
            tag[2 * i] = kHex[digest[i] >> 4];
            tag[2 * i + 1] = kHex[digest[i] & 15];
        }
        tag[2 * digestBytes] = 0;
        WINTRUST_CATALOG_INFO member{};
        member.cbStruct = sizeof member;
        member.pcwszCatalogFilePath = catalogInfo.wszCatalogFile;
        member.pcwszMemberTag = tag;
        member.pcwszMemberFilePath = path;
        member.hMemberFile = file;
        member.pbCalculatedFileHash = digest;
        member.cbCalculatedFileHash = digestBytes;
        WINTRUST_DATA data{};
        data.dwUnionChoice = WTD_CHOICE_CATALOG;
        data.pCatalog = &member;
        out->signerKnown = false;
        out->signer[0] = 0;
        out->trustResult = Verify(&data, out);
        out->catalog = true;
        checked = true;
    }
    CryptCATAdminReleaseCatalogContext(admin, catalog, 0);
    return checked;
}

// The catalog check with SHA-256 digests where the system has them, then with SHA-1 digests
// (catalogs of older systems list those).
bool CheckCatalogs(const wchar_t* path, HANDLE file, FileTrust* out) {
    static const CatalogCalls calls = LoadCatalogCalls();
    GUID driverAction = DRIVER_ACTION_VERIFY;
    for (int round = 0; round < 2; ++round) {
        HCATADMIN admin = nullptr;
        BYTE digest[kDigestBytesMax];
        DWORD digestBytes = sizeof digest;
        bool hashed = false;
        // The check before may have moved the file's position; the digest is of the whole file.
        SetFilePointer(file, 0, nullptr, FILE_BEGIN);
        if (round == 0) {
            if (calls.acquire2 == nullptr ||
                !calls.acquire2(&admin, &driverAction, L"SHA256", nullptr, 0)) {
                continue;
            }
            hashed = calls.calcHash2(admin, file, &digestBytes, digest, 0) != FALSE;
        } else {
            if (!CryptCATAdminAcquireContext(&admin, &driverAction, 0)) continue;
            hashed = CryptCATAdminCalcHashFromFileHandle(file, &digestBytes, digest, 0) != FALSE;
        }
        const bool found = hashed && digestBytes <= kDigestBytesMax &&
                           VerifyInCatalog(admin, path, file, digest, digestBytes, out);
        CryptCATAdminReleaseContext(admin, 0);
        if (found) return true;
    }
    return false;
}

} // namespace

bool CheckFileTrust(const char16_t* path, FileTrust* out) {
    if (out == nullptr) return false;
    out->status = kFileTrustCannotOpen;
    out->error = 0;
    out->trustResult = 0;
    out->catalog = false;
    out->signerKnown = false;
    out->signer[0] = 0;
    if (path == nullptr || path[0] == 0) {
        out->error = ERROR_INVALID_PARAMETER;
        return false;
    }
    const wchar_t* widePath = reinterpret_cast<const wchar_t*>(path);
    HANDLE file =
        CreateFileW(widePath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        out->error = GetLastError();
        return false;
    }
    out->trustResult = VerifyEmbedded(widePath, file, out);
    // Only a file without a signature of its own is looked up in the catalogs: a broken or
    // distrusted embedded signature is the verdict on the file.
    if (out->trustResult == kTrustNoSignature || out->trustResult == kTrustSubjectFormUnknown ||
        out->trustResult == kTrustProviderUnknown) {
        FileTrust catalogTrust = *out;
        if (CheckCatalogs(widePath, file, &catalogTrust)) *out = catalogTrust;
    }
    CloseHandle(file);
    out->status = kFileTrustChecked;
    return true;
}

} // namespace olv
