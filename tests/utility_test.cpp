#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include <unistd.h>

#include "utility.h"

namespace {

// Exactly n bytes on the heap, so the sanitizer sees any access behind them.
std::unique_ptr<char[]> Exact(const char* bytes, size_t n)
{
    std::unique_ptr<char[]> buffer(new char[n]);
    memcpy(buffer.get(), bytes, n);
    return buffer;
}

} // namespace

TEST(HexText, BytesToHexString)
{
    char out[16];
    BytesToHexString("", 0, out);
    EXPECT_STREQ(out, "0x");
    BytesToHexString("x", -5, out);
    EXPECT_STREQ(out, "0x");
    const uint8_t bytes[] = {0x00, 0xFF, 0x80, 0x10};
    BytesToHexString(bytes, 4, out);
    EXPECT_STREQ(out, "0x00ff8010");
    BytesToHexString("abc", 3, out);
    EXPECT_STREQ(out, "0x616263");

    // Plain chars >= 0x80 must still give two digits each, into a buffer of
    // exactly 2n + 3 bytes.
    char data[130];
    for (int i = 0; i < 130; i++)
        data[i] = static_cast<char>(0x80 + i);
    std::unique_ptr<char[]> text(new char[2 * 130 + 3]);
    BytesToHexString(data, 130, text.get());
    EXPECT_EQ(strlen(text.get()), 262u);
    EXPECT_EQ(std::string(text.get(), 8), "0x808182");
    EXPECT_EQ(std::string(text.get() + 256), "ff0001");
}

TEST(HexText, HexStringToBytes)
{
    uint8_t out[4] = {};
    EXPECT_TRUE(HexStringToBytes("0aFF", out, 2));
    EXPECT_EQ(out[0], 0x0A);
    EXPECT_EQ(out[1], 0xFF);
    EXPECT_TRUE(HexStringToBytes("1gg1", out, 2));
    EXPECT_EQ(out[0], 0x01);
    EXPECT_EQ(out[1], 0x00);

    // A short text stops at its end; the rest is cleared, not read from behind it.
    memset(out, 0x55, sizeof(out));
    auto shortText = Exact("abc", 4);
    EXPECT_FALSE(HexStringToBytes(shortText.get(), out, 4));
    EXPECT_EQ(out[0], 0xAB);
    EXPECT_EQ(out[1], 0x0C);
    EXPECT_EQ(out[2], 0x00);
    EXPECT_EQ(out[3], 0x00);
}

TEST(HexText, HexToULongFollows32BitRules)
{
    EXPECT_EQ(HexToULong("0x14"), 0x14u);
    EXPECT_EQ(HexToULong("  +0Xab"), 0xABu);
    EXPECT_EQ(HexToULong("ffffffff"), 0xFFFFFFFFu);
    EXPECT_EQ(HexToULong("0x1FFFFFFFF"), 0xFFFFFFFFu);
    EXPECT_EQ(HexToULong("-0x1FFFFFFFF"), 0xFFFFFFFFu);
    EXPECT_EQ(HexToULong("123456789abcdef0123"), 0xFFFFFFFFu);
    EXPECT_EQ(HexToULong("-1"), 0xFFFFFFFFu);
    EXPECT_EQ(HexToULong("-2"), 0xFFFFFFFEu);
    EXPECT_EQ(HexToULong("g1"), 0u);
    EXPECT_EQ(HexToULong("1g"), 1u);
    EXPECT_EQ(HexToULong("0x"), 0u);
    EXPECT_EQ(HexToULong(""), 0u);
}

TEST(HexText, DecToLongFollows32BitRules)
{
    EXPECT_EQ(DecToLong("20"), 20);
    EXPECT_EQ(DecToLong(" \t-42abc"), -42);
    EXPECT_EQ(DecToLong("2147483647"), INT32_MAX);
    EXPECT_EQ(DecToLong("2147483648"), INT32_MAX);
    EXPECT_EQ(DecToLong("4294967296"), INT32_MAX);
    EXPECT_EQ(DecToLong("-2147483648"), INT32_MIN);
    EXPECT_EQ(DecToLong("-99999999999999999999999"), INT32_MIN);
    EXPECT_EQ(DecToLong("x14"), 0);
    EXPECT_EQ(DecToLong(""), 0);
}

TEST(ByteOrder, SwapsAtOddAddresses)
{
    uint8_t bytes[6] = {0, 0x12, 0x34, 0x56, 0x78, 0};
    SwapBytes16(bytes + 1);
    EXPECT_EQ(0, memcmp(bytes + 1, "\x34\x12", 2));
    SwapBytes16(bytes + 1);
    SwapBytes32(bytes + 1);
    EXPECT_EQ(0, memcmp(bytes, "\x00\x78\x56\x34\x12\x00", 6));
    EXPECT_EQ(MinU32(0xFFFFFFFFu, 1), 1u);
    EXPECT_EQ(MinU32(3, 0x80000000u), 3u);
}

TEST(Utf16, NarrowingInPlace)
{
    char text[] = "\x41\x00\x42\x00\x00\x00";
    UnicodeToAscii(text);
    EXPECT_EQ(0, memcmp(text, "\x41\x42\x00\x00\x00\x00", 6));

    char highBytes[] = "\x41\x01\x42\x00\x00\x00\x77";      // U+0141 U+0042
    UnicodeToAsciiInPlace(highBytes);
    EXPECT_EQ(0, memcmp(highBytes, "\x41\x42\x00\x00\x00\x00\x77", 7));

    char endsAtU0100[] = "\x41\x00\x00\x01\x42\x00\x00\x00";
    UnicodeToAsciiInPlace(endsAtU0100);
    EXPECT_EQ(0, memcmp(endsAtU0100, "\x41\x00\x00\x01\x42\x00\x00\x00", 8));

    char zeroFirst[] = "\x00\x00\x41\x00\x00\x00";
    UnicodeToAsciiInPlace(zeroFirst);
    EXPECT_EQ(0, memcmp(zeroFirst, "\x00\x41\x00\x00\x00\x00", 6));
}

TEST(Utf16, BoundedNarrowingStaysInsideTheBuffer)
{
    // Same results as the unbounded form when the text ends inside.
    auto text = Exact("\x41\x01\x42\x00\x00\x00", 6);
    UnicodeToAsciiInPlace(text.get(), 6);
    EXPECT_EQ(0, memcmp(text.get(), "\x41\x42\x00\x00\x00\x00", 6));

    // No end at all: every whole unit is taken, then the zero byte.
    auto full = Exact("\x61\x00\x62\x00\x63\x00\x64\x00", 8);
    UnicodeToAscii(full.get(), 8);
    EXPECT_STREQ(full.get(), "abcd");

    auto odd = Exact("\x61\x00\x62\x00\x63", 5);
    UnicodeToAsciiInPlace(odd.get(), 5);
    EXPECT_STREQ(odd.get(), "ab");

    auto one = Exact("\x61", 1);
    UnicodeToAsciiInPlace(one.get(), 1);
    EXPECT_EQ(one[0], '\0');
    UnicodeToAsciiInPlace(one.get(), 0);                    // touches nothing
}

TEST(Utf16, NarrowingExactCount)
{
    char buffer[] = "\x61\x00\x62\x00\x63\x00";
    UnicodeToAsciiN(buffer, 0);
    EXPECT_EQ(0, memcmp(buffer, "\x00\x00\x62\x00\x63\x00", 6));
    buffer[0] = 0x61;
    UnicodeToAsciiN(buffer, 3);
    EXPECT_STREQ(buffer, "abc");
    UnicodeToAsciiN(buffer, -4);                            // nothing written before the buffer
    EXPECT_STREQ(buffer, "abc");
}

TEST(Utf16, Widening)
{
    char text[8] = {'A', 'B', 0, 0x11, 0x22, 0x33, 0x44, 0x55};
    AsciiToUnicodeInPlace(text);
    EXPECT_EQ(0, memcmp(text, "\x41\x00\x42\x00\x22\x33\x44\x55", 8));

    char empty[3] = {0, 0x11, 0x22};
    AsciiToUnicodeInPlace(empty);
    EXPECT_EQ(0, memcmp(empty, "\x00\x11\x22", 3));

    // Bounded: a text that would not fit twice over is widened as far as it fits.
    auto full = Exact("abcdef", 6);
    AsciiToUnicodeInPlace(full.get(), 6);
    EXPECT_EQ(0, memcmp(full.get(), "a\0b\0c\0", 6));
}

TEST(Utf16, WideStrLen)
{
    EXPECT_EQ(WideStrLen("\x41\x00\x42\x00\x00\x00"), 2);
    EXPECT_EQ(WideStrLen("\x41\x00\x00\x01\x42\x00"), 1);
    EXPECT_EQ(WideStrLen("\x00\x00"), 0);
    EXPECT_EQ(WideStrLen("\x41\xFF\x42\xFF\x00\xFF", 3), 2);  // high bytes never looked at

    // A 60-byte name field used to the last byte.
    std::string name(60, 'n');
    auto field = Exact(name.data(), 60);
    EXPECT_EQ(WideStrLen(field.get(), 30), 30);
    EXPECT_EQ(WideStrLen(field.get(), 0), 0);
}

TEST(Readers, LittleEndianFromAnyAddress)
{
    const uint8_t bytes[] = {0xEE, 0x01, 0x00, 0x00, 0x80, 0xFF, 0xFF};
    EXPECT_EQ(ReadLong(bytes + 1), -2147483647);
    EXPECT_EQ(ReadULong(bytes + 1), 2147483649u);
    EXPECT_EQ(ReadShort(bytes + 5), -1);
    EXPECT_EQ(ReadUShort(bytes + 5), 65535);
    EXPECT_EQ(GetLong(bytes + 1), -2147483647);
    EXPECT_EQ(GetUShort(bytes + 1), 1);

    const uint8_t one[] = {0x99, 0x00, 0x00, 0x80, 0x3F};
    EXPECT_EQ(ReadFloat(one + 1), 1.0f);

    const uint8_t* p = one + 1;
    EXPECT_EQ(ReadFloatAdvance(p, &p), 1.0f);
    EXPECT_EQ(p, one + 5);
    const char packet[] = "\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0A\x0B\x0C\x0D\x0E\x0F\x10\x11\x12";
    const char* q = packet;
    EXPECT_EQ(ReadLongAdvance(q, &q), 0x04030201);
    EXPECT_EQ(ReadULongAdvance(q, &q), 0x08070605u);
    EXPECT_EQ(ReadShortAdvance(q, &q), 0x0A09);
    EXPECT_EQ(ReadUShortAdvance(q, &q), 0x0C0B);
    EXPECT_EQ(q, packet + 12);
}

TEST(Readers, ByteCopy)
{
    char source[4] = {1, 2, 3, 4};
    char destination[4] = {};
    ReadBytes(source, destination, 3);
    EXPECT_EQ(0, memcmp(destination, "\x01\x02\x03\x00", 4));
    // 40000 does not fit the 16-bit signed count: nothing is copied.
    ReadBytes(source, destination, 40000);
    CopyBytes(source, destination, -1);
    EXPECT_EQ(0, memcmp(destination, "\x01\x02\x03\x00", 4));
}

TEST(UtilityDeathTest, NullTextStopsTheProgram)
{
    EXPECT_DEATH(UnicodeToAscii(nullptr), "c!=NULL.*utility");
    EXPECT_DEATH(UnicodeToAsciiInPlace(nullptr), "pString!=NULL.*utility");
    EXPECT_DEATH(AsciiToUnicodeInPlace(nullptr), "pString!=NULL");
}

TEST(UtilityDeathTest, ConsoleLinesBeforeTheStopAreWrittenOut)
{
    EXPECT_DEATH(
        {
            dup2(2, 1);   // the console into what the death test reads
            setvbuf(stdout, nullptr, _IOFBF, 4096);
            printf("the last console line\n");
            UnicodeToAscii(nullptr);
        },
        "the last console line\n.*Assertion failed");
}
