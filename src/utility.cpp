#include "utility.h"

#include <bit>
#include <cstring>

// ---- Hex text -------------------------------------------------------------

void BytesToHexString(const void* data, int32_t length, char* out)
{
    static const char digits[] = "0123456789abcdef";
    // Bytes are taken unsigned: a plain char >= 0x80 would otherwise format
    // as "ffffff80" and overrun the caller's buffer.
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    char* p = out;
    *p++ = '0';
    *p++ = 'x';
    for (int32_t i = 0; i < length; i++) {
        *p++ = digits[bytes[i] >> 4];
        *p++ = digits[bytes[i] & 0x0F];
    }
    *p = '\0';
}

bool HexStringToBytes(const char* hex, uint8_t* out, int32_t length)
{
    for (int32_t i = 0; i < length; i++) {
        char pair[3] = {hex[2 * i], '\0', '\0'};
        if (pair[0] != '\0')
            pair[1] = hex[2 * i + 1];
        out[i] = static_cast<uint8_t>(HexToULong(pair));
        if (pair[1] == '\0') {
            // The text ends early: a lone last digit still counts, the rest
            // of out is cleared rather than read from behind the text.
            memset(out + i + 1, 0, static_cast<size_t>(length - i - 1));
            return false;
        }
    }
    return true;
}

static bool IsSpace(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

static int HexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// What strtoul/strtol skip before the digits: white space and one sign.
// Returns where the digits begin.
static const char* SkipSpaceAndSign(const char* p, bool* negative)
{
    while (IsSpace(*p))
        p++;
    *negative = false;
    if (*p == '+' || *p == '-')
        *negative = (*p++ == '-');
    return p;
}

// strtoul/strtol are 64-bit on this platform; the configuration files were
// written for 32-bit ones, so the saturation is done here by hand.
uint32_t HexToULong(const char* text)
{
    bool negative;
    const char* p = SkipSpaceAndSign(text, &negative);
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && HexDigitValue(p[2]) >= 0)
        p += 2;
    uint64_t value = 0;
    bool overflow = false;
    for (int digit; (digit = HexDigitValue(*p)) >= 0; p++) {
        value = value * 16 + static_cast<uint64_t>(digit);
        if (value > 0xFFFFFFFFu) {
            overflow = true;
            value = 0xFFFFFFFFu;
        }
    }
    if (overflow)
        return 0xFFFFFFFFu;
    uint32_t result = static_cast<uint32_t>(value);
    return negative ? 0u - result : result;
}

int32_t DecToLong(const char* text)
{
    bool negative;
    const char* p = SkipSpaceAndSign(text, &negative);
    int64_t magnitude = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
        magnitude = magnitude * 10 + (*p - '0');
        if (magnitude > 2147483648LL)
            magnitude = 2147483648LL;   // saturated; later digits change nothing
    }
    if (negative)
        return static_cast<int32_t>(-magnitude);
    return magnitude > INT32_MAX ? INT32_MAX : static_cast<int32_t>(magnitude);
}

// ---- Byte order -------------------------------------------------------------

void SwapBytes16(void* p)
{
    uint8_t* b = static_cast<uint8_t*>(p);
    uint8_t swapped[2] = {b[1], b[0]};
    memcpy(b, swapped, 2);
}

void SwapBytes32(void* p)
{
    uint8_t* b = static_cast<uint8_t*>(p);
    uint8_t swapped[4] = {b[3], b[2], b[1], b[0]};
    memcpy(b, swapped, 4);
}

uint32_t MinU32(uint32_t a, uint32_t b)
{
    return b < a ? b : a;
}

// ---- UTF-16 text ------------------------------------------------------------

int32_t UnicodeToAsciiInPlace(char* pString)
{
    LS_ASSERT(pString!=NULL);
    // Writing runs behind reading: byte i is written after byte 2i is read.
    for (size_t i = 0;; i++) {
        pString[i] = pString[2 * i];
        if (pString[2 * i + 2] == '\0') {
            pString[i + 1] = '\0';
            break;
        }
    }
    return 0;
}

int32_t UnicodeToAscii(char* c)
{
    LS_ASSERT(c!=NULL);
    return UnicodeToAsciiInPlace(c);
}

int32_t UnicodeToAsciiInPlace(char* pString, size_t sizeBytes)
{
    LS_ASSERT(pString!=NULL);
    size_t units = sizeBytes / 2;
    if (units == 0) {
        if (sizeBytes > 0)
            pString[0] = '\0';
        return 0;
    }
    size_t i = 0;
    for (;;) {
        pString[i] = pString[2 * i];
        if (i + 1 >= units || pString[2 * i + 2] == '\0')
            break;
        i++;
    }
    pString[i + 1] = '\0';   // i + 1 <= units < sizeBytes
    return 0;
}

int32_t UnicodeToAscii(char* c, size_t sizeBytes)
{
    LS_ASSERT(c!=NULL);
    return UnicodeToAsciiInPlace(c, sizeBytes);
}

int32_t UnicodeToAsciiN(char* buffer, int32_t count)
{
    if (count < 0)
        return 0;
    for (size_t i = 0; i < static_cast<size_t>(count); i++)
        buffer[i] = buffer[2 * i];
    buffer[count] = '\0';
    return 0;
}

// Widening from the back never overwrites a character still to be read:
// character j lands at 2j >= j.
static void WidenInPlace(char* pString, size_t length)
{
    for (size_t j = length; j-- > 0;) {
        char c = pString[j];
        pString[2 * j] = c;
        pString[2 * j + 1] = '\0';
    }
}

int32_t AsciiToUnicodeInPlace(char* pString)
{
    LS_ASSERT(pString!=NULL);
    WidenInPlace(pString, strlen(pString));
    return 0;
}

int32_t AsciiToUnicodeInPlace(char* pString, size_t sizeBytes)
{
    LS_ASSERT(pString!=NULL);
    size_t length = strnlen(pString, sizeBytes);
    if (length > sizeBytes / 2)
        length = sizeBytes / 2;
    WidenInPlace(pString, length);
    return 0;
}

int32_t WideStrLen(const char* text)
{
    int32_t units = 0;
    while (text[2 * units] != '\0')
        units++;
    return units;
}

int32_t WideStrLen(const char* text, size_t maxUnits)
{
    size_t units = 0;
    while (units < maxUnits && text[2 * units] != '\0')
        units++;
    return static_cast<int32_t>(units);
}

// ---- Little-endian reads ----------------------------------------------------

uint16_t GetUShort(const void* p)
{
    const uint8_t* b = static_cast<const uint8_t*>(p);
    return static_cast<uint16_t>(b[0] | (b[1] << 8));
}

uint32_t GetULong(const void* p)
{
    const uint8_t* b = static_cast<const uint8_t*>(p);
    return static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
           (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
}

uint8_t* PutU16(uint8_t* out, uint16_t value)
{
    out[0] = static_cast<uint8_t>(value);
    out[1] = static_cast<uint8_t>(value >> 8);
    return out + 2;
}

uint8_t* PutU32(uint8_t* out, uint32_t value)
{
    for (int i = 0; i < 4; i++)
        out[i] = static_cast<uint8_t>(value >> (8 * i));
    return out + 4;
}

int16_t GetShort(const void* p) { return static_cast<int16_t>(GetUShort(p)); }
int32_t GetLong(const void* p) { return static_cast<int32_t>(GetULong(p)); }
float GetFloat(const void* p) { return std::bit_cast<float>(GetULong(p)); }

int16_t ReadShort(const void* p) { return GetShort(p); }
uint16_t ReadUShort(const void* p) { return GetUShort(p); }
int32_t ReadLong(const void* p) { return GetLong(p); }
uint32_t ReadULong(const void* p) { return GetULong(p); }
float ReadFloat(const void* p) { return GetFloat(p); }

int16_t GetShortAdvance(const uint8_t* p, const uint8_t** next)
{
    *next = p + 2;
    return GetShort(p);
}

uint16_t GetUShortAdvance(const uint8_t* p, const uint8_t** next)
{
    *next = p + 2;
    return GetUShort(p);
}

int32_t GetLongAdvance(const uint8_t* p, const uint8_t** next)
{
    *next = p + 4;
    return GetLong(p);
}

uint32_t GetULongAdvance(const uint8_t* p, const uint8_t** next)
{
    *next = p + 4;
    return GetULong(p);
}

float GetFloatAdvance(const uint8_t* p, const uint8_t** next)
{
    *next = p + 4;
    return GetFloat(p);
}

void ReadBytes(const void* source, void* destination, uint16_t count)
{
    CopyBytes(source, destination, static_cast<int16_t>(count));
}

void CopyBytes(const void* source, void* destination, int16_t count)
{
    if (count <= 0)
        return;
    memcpy(destination, source, static_cast<size_t>(count));
}
