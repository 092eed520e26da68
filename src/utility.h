#pragma once

// Small conversion helpers on buffers that the caller owns: hex text for SQL,
// byte-order swaps, UTF-16 text as the game client sends it, and reads of
// little-endian values from any address. None keeps state.
//
// UTF-16 text here is little-endian units; a text ends at the first unit whose
// LOW byte is zero (the high byte is never examined). Use the bounded forms
// (with a size) for bytes that come from the network or the database.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// Stops the program when a pointer the caller must supply is null. Unlike
// assert() it stays in release builds: the report names the condition, the
// source file and the line. The console is block-buffered, so its lines are
// written out first: they show what led there.
#define LS_ASSERT(condition)                                                      \
    do {                                                                          \
        if (!(condition)) {                                                       \
            fflush(stdout);                                                       \
            fprintf(stderr, "Assertion failed: %s, file %s, line %d\n", #condition, \
                    __FILE__, __LINE__);                                          \
            abort();                                                              \
        }                                                                         \
    } while (0)

// ---- Hex text -------------------------------------------------------------

// Writes "0x" and two lower-case digits per byte into out, which needs
// 2 * length + 3 bytes. length <= 0 gives "0x".
void BytesToHexString(const void* data, int32_t length, char* out);

// Fills out[0..length-1] from pairs of hex digits (no "0x" prefix). A text
// shorter than 2 * length stops at its end: the rest of out becomes 0 and the
// result is false.
bool HexStringToBytes(const char* hex, uint8_t* out, int32_t length);

// A hex number, as 32-bit strtoul reads it: white space, sign, optional
// "0x"; no digits give 0, more than 32 bits give 0xFFFFFFFF.
uint32_t HexToULong(const char* text);

// A decimal number, as 32-bit strtol reads it: saturates at INT32_MIN/MAX.
int32_t DecToLong(const char* text);

// ---- Byte order -------------------------------------------------------------

void SwapBytes16(void* p);   // 12 34 -> 34 12, any alignment
void SwapBytes32(void* p);   // 12 34 56 78 -> 78 56 34 12, any alignment

uint32_t MinU32(uint32_t a, uint32_t b);

// ---- UTF-16 text ------------------------------------------------------------

// Narrows in place: byte i takes the low byte of unit i, for unit 0 and every
// later unit before the first with a zero low byte, then a zero byte follows.
// Bytes behind that zero keep what they held. Returns 0. The unbounded forms
// trust the buffer to hold such an end (a zero-padded buffer).
int32_t UnicodeToAsciiInPlace(char* pString);
int32_t UnicodeToAscii(char* c);
// Bounded forms: never read or write at or past pString + sizeBytes. A text
// with no end among the buffer's whole units ends after the last of them
// (the zero byte always fits when sizeBytes >= 2).
int32_t UnicodeToAsciiInPlace(char* pString, size_t sizeBytes);
int32_t UnicodeToAscii(char* c, size_t sizeBytes);

// Narrows exactly count units and writes a zero byte at position count (the
// buffer holds 2 * count bytes, at least count + 1). count < 0 does nothing.
int32_t UnicodeToAsciiN(char* buffer, int32_t count);

// Widens the zero-terminated text in place to 2n bytes of UTF-16 (n its
// length), no terminating unit; the buffer needs 2n bytes. Returns 0.
int32_t AsciiToUnicodeInPlace(char* pString);
// Bounded form: widens at most sizeBytes / 2 characters, reads the text only
// within sizeBytes.
int32_t AsciiToUnicodeInPlace(char* pString, size_t sizeBytes);

// Units before the first unit whose low byte is zero.
int32_t WideStrLen(const char* text);
// Bounded form: looks at no more than maxUnits units (2 * maxUnits bytes);
// a text without an end among them gives maxUnits.
int32_t WideStrLen(const char* text, size_t maxUnits);

// ---- Little-endian stores and reads at any address ------------------------

// Stores; each returns the byte after the value.
uint8_t* PutU16(uint8_t* out, uint16_t value);
uint8_t* PutU32(uint8_t* out, uint32_t value);

// The Read* names are what callers use; each passes on to its Get* twin.
int16_t GetShort(const void* p);
uint16_t GetUShort(const void* p);
int32_t GetLong(const void* p);
uint32_t GetULong(const void* p);
float GetFloat(const void* p);

int16_t ReadShort(const void* p);
uint16_t ReadUShort(const void* p);
int32_t ReadLong(const void* p);
uint32_t ReadULong(const void* p);
float ReadFloat(const void* p);

// Advancing forms: also store the address just behind the value in *next.
int16_t GetShortAdvance(const uint8_t* p, const uint8_t** next);
uint16_t GetUShortAdvance(const uint8_t* p, const uint8_t** next);
int32_t GetLongAdvance(const uint8_t* p, const uint8_t** next);
uint32_t GetULongAdvance(const uint8_t* p, const uint8_t** next);
float GetFloatAdvance(const uint8_t* p, const uint8_t** next);

// Accept any byte pointer (char, uint8_t, const or not): ReadLongAdvance(p, &p).
namespace utility_detail {
template <typename Byte, typename Value>
Value Advance(Byte* p, Byte** next, Value (*get)(const uint8_t*, const uint8_t**))
{
    static_assert(sizeof(Byte) == 1, "byte pointers only");
    const uint8_t* start = reinterpret_cast<const uint8_t*>(p);
    const uint8_t* end = start;
    Value value = get(start, &end);
    *next = p + (end - start);
    return value;
}
} // namespace utility_detail

template <typename Byte>
int16_t ReadShortAdvance(Byte* p, Byte** next) { return utility_detail::Advance(p, next, GetShortAdvance); }
template <typename Byte>
uint16_t ReadUShortAdvance(Byte* p, Byte** next) { return utility_detail::Advance(p, next, GetUShortAdvance); }
template <typename Byte>
int32_t ReadLongAdvance(Byte* p, Byte** next) { return utility_detail::Advance(p, next, GetLongAdvance); }
template <typename Byte>
uint32_t ReadULongAdvance(Byte* p, Byte** next) { return utility_detail::Advance(p, next, GetULongAdvance); }
template <typename Byte>
float ReadFloatAdvance(Byte* p, Byte** next) { return utility_detail::Advance(p, next, GetFloatAdvance); }

// Copies count bytes from source to destination (source first!). A count
// that does not fit CopyBytes' 16-bit signed count (32768 and up) copies
// nothing.
void ReadBytes(const void* source, void* destination, uint16_t count);
void CopyBytes(const void* source, void* destination, int16_t count);
