// The texts rules compare for the facts only the system has: a registry value's data (Details),
// a token's integrity level and logon session, and the verdict of a file's trust check. Pure
// functions of what the platform's reads hand out (platform/registry_values.h,
// platform/process_token.h, platform/file_trust.h); UTF-16, terminated, bounded.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/registry_values.h"

namespace olv {

// Room for any Details text this program keeps; a longer string value is cut.
constexpr size_t kDetailsChars = 1024;

enum DetailsOutcome : uint8_t {
    kDetailsWhole,   // the text is the value's whole text
    kDetailsCut,     // the text is the start of the value's text (it did not fit, or the data
                     // read was cut): a rule cannot be judged on it as a whole
    kDetailsUnknown, // no text (nothing read that says what the value holds); out is empty
};

// Writes the Details text of a value of this type whose data is the size bytes at data.
// dataCut: data is only the start of the value (or nothing of it, for a value too large to
// read). Forms:
//   no data (size 0, not cut)            (Empty)
//   REG_DWORD of 4 bytes                 DWORD (0x0000000a)     lower-case hex, 8 digits
//   REG_DWORD_BIG_ENDIAN of 4 bytes      the same, of the number it holds
//   REG_QWORD of 8 bytes                 QWORD (0x00000000-0x0000000a)  high half, low half
//   REG_SZ, REG_EXPAND_SZ, REG_LINK      the text up to its first NUL, unexpanded; an odd last
//                                        byte is dropped, an unpaired surrogate is U+FFFD; a
//                                        text that is empty is (Empty)
//   REG_MULTI_SZ                         its strings joined by one space; none: (Empty)
//   a DWORD or QWORD of another size,
//   REG_BINARY, REG_NONE, anything else  Binary Data
DetailsOutcome FormatRegistryDetails(uint32_t type, const uint8_t* data, uint32_t size,
                                     bool dataCut, char16_t* out, size_t capacity);
// The Details text of a read: Unknown unless the value was read (or was too large to read, which
// still tells a binary value's text).
DetailsOutcome RegistryDetailsText(const RegistryValue& value, char16_t* out, size_t capacity);

// The integrity level's name by the mandatory label's relative id, by range as the system
// compares levels: below 0x1000 Untrusted, Low, Medium (0x2000 to 0x2fff, medium-plus
// included), High, System (0x4000 to 0x4fff), from 0x5000 on Protected.
const char16_t* IntegrityLevelName(uint32_t rid);

// A logon session's id as rules compare it: 0x and lower-case hex without leading zeros
// ("0x3e7" for the system's session), high part and low part as one number. Returns the length
// written (always terminated; 0 when out has no room).
size_t LogonIdText(uint64_t logonId, char16_t* out, size_t capacity);

// What a trust check's answer says in the rules' words.
struct SignatureVerdict {
    bool signedKnown;       // false: the answer does not say whether the file is signed
    bool isSigned;          // the file carries a signature (own or through a catalog)
    const char16_t* status; // SignatureStatus text, never null
};
// kTrustOk: signed, Valid. Expired: signed, Expired. Revoked, or a certificate the system
// distrusts: signed, Revoked. A chain to no trusted root, a wrong usage, policy: signed,
// Untrusted. A digest or signature that does not match the file: signed, Invalid. No
// signature, or a file the check cannot read signatures of: not signed, Unavailable. Anything
// else: whether signed is unknown, Unavailable.
SignatureVerdict SignatureVerdictOf(uint32_t trustResult);
// "true" / "false", as rules compare Signed.
const char16_t* SignedText(bool isSigned);

} // namespace olv
