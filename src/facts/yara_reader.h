// The one place that talks to libyara (a C library: every return is checked, nothing of it leaks
// past this boundary).
#pragma once

#include <cstddef>
#include <cstdint>

#include "facts/image_facts.h"

namespace olv {

// Scans size (> 0) bytes with the pe and hash modules and fills the digests, the import hash,
// isPe and the version texts of *facts (cleared by the caller). False with facts->status set to
// NoReader or ScanFailed when libyara cannot be started or fails on the bytes.
bool YaraReadFacts(const uint8_t* bytes, size_t size, ImageFacts* facts);

// Starts libyara once per process (never finalized: rules stay in use as long as any thread may
// scan). False when it cannot be started or this build has none. Safe from several threads.
bool StartYara();

// Copies a text of libyara's version table into *out: bytes below 0x80 as they are (control
// characters as spaces), the others as the Latin-1 characters they are (libyara keeps the low
// byte of each UTF-16 unit), cut at a character boundary when it does not fit.
void CopyVersionText(const char* text, size_t length, FactText* out);

// Copies a lower- or upper-case hex digest of exactly digits characters into out (digits + 1
// bytes) in upper case; false (out empty) when the text is anything else.
bool CopyDigest(const char* text, size_t length, size_t digits, char* out);

} // namespace olv
