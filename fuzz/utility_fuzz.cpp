// The conversion helpers on arbitrary bytes: hex text both ways, the number
// readers against the C library, and the UTF-16 helpers' bounded forms on
// buffers of exactly the given size, each against a plain model of its rule.

#include <cstring>
#include <string>
#include <vector>

#include "fuzzsupport.h"
#include "utility.h"

namespace {

// Hex text of n bytes is "0x" and 2n lower-case digits; reading the digits
// back gives the bytes again.
void CheckHexRoundTrip(const uint8_t* data, size_t size)
{
    size_t textSize = 2 * size + 3;
    std::unique_ptr<char[]> text = ExactBuffer(textSize);
    BytesToHexString(data, static_cast<int32_t>(size), text.get());
    FUZZ_CHECK(text[0] == '0' && text[1] == 'x');
    FUZZ_CHECK(strlen(text.get()) == textSize - 1);
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < size; i++) {
        FUZZ_CHECK(text[2 + 2 * i] == digits[data[i] >> 4]);
        FUZZ_CHECK(text[3 + 2 * i] == digits[data[i] & 0x0F]);
    }

    std::unique_ptr<uint8_t[]> back = ExactBuffer<uint8_t>(size);
    FUZZ_CHECK(HexStringToBytes(text.get() + 2, back.get(), static_cast<int32_t>(size)));
    FUZZ_CHECK(size == 0 || memcmp(back.get(), data, size) == 0);
}

// Arbitrary text as hex digits, usually too short for the bytes asked:
// HexStringToBytes must stop at the text's end and stay within out.
void CheckHexFromText(const char* text)
{
    size_t textLength = strlen(text);
    for (size_t length : {textLength / 2, textLength / 2 + 1}) {
        std::unique_ptr<uint8_t[]> out = ExactBuffer<uint8_t>(length);
        bool complete = HexStringToBytes(text, out.get(), static_cast<int32_t>(length));
        FUZZ_CHECK(complete == (textLength >= 2 * length));
    }
}

void CheckNumbers(const char* text)
{
    FUZZ_CHECK(DecToLong(text) == ReferenceDecimal(text));
    FUZZ_CHECK(HexToULong(text) == ReferenceHex(text));
}

// Units, from unit 1 on, before the first whose low byte is zero; unit 0
// always counts. Capped at the buffer's whole units.
size_t NarrowedLength(const uint8_t* data, size_t size)
{
    size_t units = size / 2;
    size_t k = 1;
    while (k < units && data[2 * k] != 0)
        k++;
    return k;
}

void CheckNarrowBounded(const uint8_t* data, size_t size, bool throughUnicodeToAscii)
{
    std::unique_ptr<char[]> buffer = ExactCopy(data, size);
    if (throughUnicodeToAscii)
        FUZZ_CHECK(UnicodeToAscii(buffer.get(), size) == 0);
    else
        FUZZ_CHECK(UnicodeToAsciiInPlace(buffer.get(), size) == 0);

    std::vector<uint8_t> expected(data, data + size);
    if (size / 2 == 0) {
        if (size > 0)
            expected[0] = 0;
    } else {
        size_t k = NarrowedLength(data, size);
        for (size_t i = 0; i < k; i++)
            expected[i] = data[2 * i];
        expected[k] = 0;
    }
    FUZZ_CHECK(size == 0 || memcmp(buffer.get(), expected.data(), size) == 0);
}

// The unbounded form trusts a zero-padded buffer: given one, it must agree
// with the bounded form.
void CheckNarrowUnbounded(const uint8_t* data, size_t size)
{
    std::vector<char> padded(data, data + size);
    padded.resize(size + 4, '\0');
    std::unique_ptr<char[]> unbounded = ExactCopy(padded.data(), padded.size());
    std::unique_ptr<char[]> bounded = ExactCopy(padded.data(), padded.size());
    UnicodeToAsciiInPlace(unbounded.get());
    UnicodeToAsciiInPlace(bounded.get(), padded.size());
    FUZZ_CHECK(memcmp(unbounded.get(), bounded.get(), padded.size()) == 0);

    FUZZ_CHECK(WideStrLen(padded.data()) == WideStrLen(padded.data(), padded.size() / 2));
}

void CheckNarrowCounted(const uint8_t* data, size_t size)
{
    if (size == 0)
        return;
    // count units need 2 * count bytes and the zero at count: size / 2 fits.
    int32_t count = static_cast<int32_t>(size / 2);
    std::unique_ptr<char[]> buffer = ExactCopy(data, size);
    FUZZ_CHECK(UnicodeToAsciiN(buffer.get(), count) == 0);
    for (int32_t i = 0; i < count; i++)
        FUZZ_CHECK(static_cast<uint8_t>(buffer[i]) == data[2 * i]);
    FUZZ_CHECK(buffer[count] == '\0');
}

void CheckWideLength(const uint8_t* data, size_t size)
{
    size_t units = size / 2;
    size_t expected = 0;
    while (expected < units && data[2 * expected] != 0)
        expected++;
    std::unique_ptr<char[]> buffer = ExactCopy(data, size);
    FUZZ_CHECK(WideStrLen(buffer.get(), units) == static_cast<int32_t>(expected));
}

void CheckWiden(const uint8_t* data, size_t size)
{
    std::unique_ptr<char[]> buffer = ExactCopy(data, size);
    FUZZ_CHECK(AsciiToUnicodeInPlace(buffer.get(), size) == 0);
    size_t n = strnlen(reinterpret_cast<const char*>(data), size);
    if (n > size / 2)
        n = size / 2;
    std::vector<uint8_t> expected(data, data + size);
    for (size_t j = 0; j < n; j++) {
        expected[2 * j] = data[j];
        expected[2 * j + 1] = 0;
    }
    FUZZ_CHECK(size == 0 || memcmp(buffer.get(), expected.data(), size) == 0);

    // The unbounded form, with the room for 2n bytes that it needs.
    std::string text(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
    size_t room = text.size() + 1 > 2 * text.size() ? text.size() + 1 : 2 * text.size();
    std::unique_ptr<char[]> unbounded = ExactBuffer(room);
    memset(unbounded.get(), 0x5A, room);
    memcpy(unbounded.get(), text.c_str(), text.size() + 1);
    std::vector<char> bounded(unbounded.get(), unbounded.get() + room);
    AsciiToUnicodeInPlace(unbounded.get());
    AsciiToUnicodeInPlace(bounded.data(), room);
    FUZZ_CHECK(memcmp(unbounded.get(), bounded.data(), room) == 0);
}

void CheckReads(const uint8_t* data, size_t size)
{
    for (size_t i = 0; i + 4 <= size && i < 8; i++) {
        uint32_t expected = data[i] | (data[i + 1] << 8) | (data[i + 2] << 16) |
                            (static_cast<uint32_t>(data[i + 3]) << 24);
        FUZZ_CHECK(ReadULong(data + i) == expected);
        FUZZ_CHECK(ReadLong(data + i) == static_cast<int32_t>(expected));
        FUZZ_CHECK(ReadUShort(data + i) == (expected & 0xFFFF));
        const uint8_t* next = nullptr;
        FUZZ_CHECK(ReadULongAdvance(data + i, &next) == expected && next == data + i + 4);
    }
    if (size >= 2) {
        uint16_t count = static_cast<uint16_t>(data[0] % (size - 1));   // <= size - 2
        std::unique_ptr<uint8_t[]> copy = ExactBuffer<uint8_t>(count);
        ReadBytes(data + 2, copy.get(), count);
        FUZZ_CHECK(count == 0 || memcmp(copy.get(), data + 2, count) == 0);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The helpers take int32 lengths; libFuzzer's inputs are far smaller.
    if (size > 1 << 20)
        return 0;
    // The input as a C text, in a block that ends at its terminator.
    std::unique_ptr<char[]> text = ExactBuffer(size + 1);
    memcpy(text.get(), data, size);
    text[size] = '\0';

    CheckHexRoundTrip(data, size);
    CheckHexFromText(text.get());
    CheckNumbers(text.get());
    CheckNarrowBounded(data, size, false);
    CheckNarrowBounded(data, size, true);
    CheckNarrowUnbounded(data, size);
    CheckNarrowCounted(data, size);
    CheckWideLength(data, size);
    CheckWiden(data, size);
    CheckReads(data, size);
    return 0;
}
