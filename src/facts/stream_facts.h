// The facts of an alternate data stream a program wrote: its digests in the form rules compare
// ("SHA1=...,MD5=...,SHA256=...", IMPHASH too when the stream holds an executable) and, for a
// short stream that is text, the text (a zone mark, a hidden script).
#pragma once

#include <cstddef>
#include <cstdint>

#include "facts/image_facts.h"

namespace olv {

// Streams up to this many bytes have their text read.
constexpr size_t kStreamTextBytes = 1024;
// Room for that text as UTF-16, with its terminator.
constexpr size_t kStreamTextChars = kStreamTextBytes + 1;

struct StreamFacts {
    bool read;         // the stream was opened and read
    bool hashKnown;    // hash holds its digests
    bool contentsKnown; // contents holds its text (a short stream that is text)
    char hash[kHashesCapacity];
    char16_t contents[kStreamTextChars];
};

// The text of bytes when they are text: UTF-16 with its byte order mark, or UTF-8 (a byte order
// mark dropped), with no control character but tab, carriage return and line feed. False (out
// empty) for anything else and for more than kStreamTextBytes bytes. out has kStreamTextChars.
bool StreamTextOfBytes(const uint8_t* bytes, size_t size, char16_t* out);

// Reads the stream at path (terminated UTF-16, "file:stream") into *facts; scratch holds the
// reader's image facts. True when it was read.
bool ReadStreamFacts(const char16_t* path, ImageFacts* scratch, StreamFacts* facts);

} // namespace olv
