// Property readers and value texts. Stateless; any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/tracedata.h"

namespace olv {

// u32 value of a property of 1 to 8 bytes (the low 32 bits above 4); 0 otherwise. Numbers and
// pointers are read in one call, without asking their size.
uint32_t ReadIntProperty(const EventRecord* event, const char16_t* name);
// u64 value of a property of 1 to 8 bytes, zero-extended; 0 otherwise.
uint64_t ReadPointerProperty(const EventRecord* event, const char16_t* name);
// UTF-16 string property, cut at capacity - 1 and terminated; empty on any failure.
void ReadWideStringProperty(const EventRecord* event, const char16_t* name, char16_t* out,
                            size_t capacity);
// 8-bit string property converted from the ANSI code page; empty on any failure, including a
// text that does not fit.
void ReadAnsiStringProperty(const EventRecord* event, const char16_t* name, char16_t* out,
                            size_t capacity);
// A UTF-16 text property of any size up to kLongTextPropertyLimit bytes: its first capacity - 1
// units (up to its first NUL) into out, terminated, and *units the text's whole length in units.
// A text that fits is read straight into out; a longer one takes one heap block. Empty (and
// *units 0) on any failure.
constexpr uint32_t kLongTextPropertyLimit = 1u << 20;
void ReadLongWideProperty(const EventRecord* event, const char16_t* name, char16_t* out,
                          size_t capacity, uint32_t* units);
// The units a UTF-16 text property takes (its size / 2, terminator included when it has one);
// 0 when it is absent or larger than kLongTextPropertyLimit.
uint32_t WideTextPropertyUnits(const EventRecord* event, const char16_t* name);
// A binary property's bytes into out when it has at most capacity bytes: true and *size its size.
// False (and *size the property's size, 0 when absent) otherwise.
bool ReadBytesProperty(const EventRecord* event, const char16_t* name, void* out, uint32_t capacity,
                       uint32_t* size);

// "OK", "PENDING", the named failures, "WARN 0x%08X" or "FAIL 0x%08X".
void FormatStatusText(uint32_t status, char16_t* out, size_t capacity);
// "%lu bytes", "%u.%u KB", "%u.%u MB"; 0 writes nothing.
void FormatIoSize(uint32_t bytes, char16_t* out, size_t capacity);
// "Size: %u.%u KB" or "Size: %u.%u MB"; 0 writes nothing.
void FormatImageSize(uint32_t bytes, char16_t* out, size_t capacity);

} // namespace olv
