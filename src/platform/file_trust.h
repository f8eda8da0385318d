// The system's trust check of a file's signature, embedded in the file or in one of the system's
// catalogs, for the rules' Signed, Signature and SignatureStatus fields.
#pragma once

#include <cstddef>
#include <cstdint>

namespace olv {

constexpr size_t kTrustSignerChars = 256;

// Answers of the trust check that the texts tell apart (HRESULTs, as unsigned numbers).
constexpr uint32_t kTrustOk = 0;
constexpr uint32_t kTrustProviderUnknown = 0x800B0001u;
constexpr uint32_t kTrustSubjectFormUnknown = 0x800B0003u;
constexpr uint32_t kTrustSubjectNotTrusted = 0x800B0004u;
constexpr uint32_t kTrustNoSignature = 0x800B0100u;
constexpr uint32_t kTrustCertExpired = 0x800B0101u;
constexpr uint32_t kTrustCertUntrustedRoot = 0x800B0109u;
constexpr uint32_t kTrustCertChaining = 0x800B010Au;
constexpr uint32_t kTrustCertRevoked = 0x800B010Cu;
constexpr uint32_t kTrustCertUntrustedTestRoot = 0x800B010Du;
constexpr uint32_t kTrustCertWrongUsage = 0x800B0110u;
constexpr uint32_t kTrustExplicitDistrust = 0x800B0111u;
constexpr uint32_t kTrustCertSignature = 0x80096004u;
constexpr uint32_t kTrustBadDigest = 0x80096010u;
constexpr uint32_t kTrustCryptRevoked = 0x80092010u;
constexpr uint32_t kTrustSecuritySettings = 0x80092026u;

enum FileTrustStatus : uint8_t {
    kFileTrustChecked,      // trustResult is the system's answer
    kFileTrustCannotOpen,   // the file could not be opened (error: the system's error)
    kFileTrustNotAvailable, // no trust check on this platform
};

struct FileTrust {
    FileTrustStatus status;
    uint32_t error;
    uint32_t trustResult; // the check's answer: kTrustOk or an HRESULT
    bool catalog;         // the answer is the check of a catalog that lists the file
    // The signing certificate's display name, when the check got as far as the signer (also for
    // an expired or untrusted signature).
    bool signerKnown;
    char16_t signer[kTrustSignerChars];
};

// Checks the file's embedded signature and, when it has none, looks the file's digest up in the
// system's catalogs and checks the catalog that lists it. No user interface, no revocation check
// over the network. Returns true when the check ran (status Checked).
bool CheckFileTrust(const char16_t* path, FileTrust* out);

} // namespace olv
