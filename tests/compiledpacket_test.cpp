#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "compiledpacket.h"

namespace {

std::vector<uint8_t> Content(CompiledPacket& packet)
{
    uint32_t length = 0;
    uint8_t* buffer = packet.GetBuffer(&length);
    return buffer == nullptr ? std::vector<uint8_t>() : std::vector<uint8_t>(buffer, buffer + length);
}

TEST(CompiledPacket, NewPacketIsEmpty)
{
    CompiledPacket packet(true);
    uint32_t length = 123;
    EXPECT_EQ(packet.GetBuffer(&length), nullptr);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(packet.Read(&length, 10), nullptr);
    PacketBuffer whole = packet.GetPacket();
    EXPECT_EQ(whole.data, nullptr);
    EXPECT_EQ(whole.length, 0u);
}

TEST(CompiledPacket, TypedWritesAreLittleEndian)
{
    CompiledPacket packet(true);
    packet.WriteU8(0xAB);
    packet.WriteS8(-2);
    packet.WriteU16(0x1234);
    packet.WriteU32(0x01020304);
    packet.WriteS32(-1);
    uint8_t raw[] = {7, 8};
    packet.WriteBuffer(raw, 2, false);
    packet.WriteFormatted("id=%d", 42);
    std::vector<uint8_t> expected = {0xAB, 0xFE, 0x34, 0x12, 4, 3, 2, 1, 0xFF, 0xFF, 0xFF, 0xFF, 7, 8,
                                     'i', 'd', '=', '4', '2'};
    EXPECT_EQ(Content(packet), expected);
}

TEST(CompiledPacket, StagingMovesBatchesAtTheHundredthByte)
{
    CompiledPacket packet(true);
    for (int i = 0; i < 99; ++i)
        packet.WriteU8((uint8_t)i);
    EXPECT_EQ(packet.length, 0u);
    EXPECT_EQ(packet.stagedCount, 99);
    packet.WriteU8(99);
    EXPECT_EQ(packet.length, 99u);
    EXPECT_EQ(packet.stagedCount, 1);
    std::vector<uint8_t> content = Content(packet);
    ASSERT_EQ(content.size(), 100u);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(content[(size_t)i], i);
}

TEST(CompiledPacket, HundredByteAppendIsStagedAndLargerGoesStraightThrough)
{
    std::vector<uint8_t> hundred(100, 0x11);
    CompiledPacket packet(true);
    packet.Append(hundred.data(), 100);
    EXPECT_EQ(packet.stagedCount, 100);
    EXPECT_EQ(packet.length, 0u);
    packet.Append(hundred.data(), 0);
    EXPECT_EQ(packet.stagedCount, 0);
    EXPECT_EQ(packet.length, 100u);

    CompiledPacket ordered(true);
    std::vector<uint8_t> ten(10, 0xAA), big(150, 0xBB);
    ordered.Append(ten.data(), 10);
    ordered.Append(big.data(), 150);
    EXPECT_EQ(ordered.stagedCount, 0);
    std::vector<uint8_t> expected = ten;
    expected.insert(expected.end(), big.begin(), big.end());
    EXPECT_EQ(Content(ordered), expected);
}

TEST(CompiledPacket, WriteRepeatSplitsBetweenHeapAndStaging)
{
    CompiledPacket packet(true);
    packet.WriteRepeat(0xAB, 0);
    EXPECT_EQ(packet.stagedCount, 0);
    packet.WriteRepeat(0xAB, 250);
    EXPECT_EQ(packet.length, 198u);
    EXPECT_EQ(packet.stagedCount, 52);
    EXPECT_EQ(Content(packet), std::vector<uint8_t>(250, 0xAB));
}

TEST(CompiledPacket, FormattedTextIsBoundedAndHasNoTerminator)
{
    CompiledPacket packet(true);
    std::string huge(6000, 'x');
    packet.WriteFormatted("%s", huge.c_str());
    EXPECT_EQ(Content(packet), std::vector<uint8_t>(4999, 'x'));
}

TEST(CompiledPacket, ShortLengthFormReportsLowBits)
{
    CompiledPacket packet(true);
    packet.WriteRepeat(0x5A, 70000);
    uint16_t shortLength = 0;
    uint8_t* buffer = packet.GetBuffer(&shortLength);
    EXPECT_EQ(shortLength, 4464);
    uint32_t fullLength = 0;
    EXPECT_EQ(packet.GetBuffer(&fullLength), buffer);
    EXPECT_EQ(fullLength, 70000u);
}

TEST(CompiledPacket, ReadHandsOutPiecesThenNull)
{
    CompiledPacket packet(true);
    for (int i = 0; i < 25; ++i)
        packet.WriteU8((uint8_t)i);
    uint32_t n = 0;
    uint8_t* first = packet.Read(&n, 10);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(n, 10u);
    EXPECT_EQ(first[0], 0);
    EXPECT_EQ(packet.length, 15u);
    uint8_t* second = packet.Read(&n, 10);
    EXPECT_EQ(n, 10u);
    EXPECT_EQ(second[0], 10);
    uint16_t shortN = 0;
    uint8_t* third = packet.Read(&shortN, 10);
    EXPECT_EQ(shortN, 5);
    EXPECT_EQ(third[4], 24);
    EXPECT_EQ(packet.length, 0u);
    EXPECT_EQ(packet.Read(&n, 10), nullptr);
}

// Reading part of a packet and then appending keeps the unread bytes.
TEST(CompiledPacket, AppendAfterPartialReadKeepsUnreadBytes)
{
    CompiledPacket packet(true);
    for (int i = 0; i < 25; ++i)
        packet.WriteU8((uint8_t)i);
    uint32_t n = 0;
    packet.Read(&n, 10);
    packet.WriteRepeat(0xEE, 5);
    std::vector<uint8_t> expected;
    for (int i = 10; i < 25; ++i)
        expected.push_back((uint8_t)i);
    expected.insert(expected.end(), 5, 0xEE);
    EXPECT_EQ(Content(packet), expected);

    packet.Read(&n, 1000);   // drain all, then start again without leaking
    packet.WriteU16(0xBEEF);
    EXPECT_EQ(Content(packet), (std::vector<uint8_t>{0xEF, 0xBE}));
}

// Run under the address sanitizer: a leak, double delete or new[]/delete
// mismatch fails the test.
TEST(CompiledPacket, OwnershipFollowsTheFlag)
{
    {
        CompiledPacket owning(true);
        owning.WriteRepeat(1, 300);
        uint8_t* handed = new uint8_t[3]{1, 2, 3};
        owning.WriteBufferAndDelete(handed, 3);
        EXPECT_EQ(Content(owning).size(), 303u);
    }
    uint8_t* kept = nullptr;
    {
        CompiledPacket borrowed(false);
        borrowed.WriteRepeat(2, 150);
        uint32_t n = 0;
        kept = borrowed.GetBuffer(&n);
        EXPECT_EQ(n, 150u);
    }
    EXPECT_EQ(kept[149], 2);
    delete[] kept;

    CompiledPacket freed(false);
    freed.WriteRepeat(3, 200);
    freed.Flush();
    freed.Free();
    EXPECT_EQ(freed.mpBuffer, nullptr);
    EXPECT_FALSE(freed.ownsBuffer);
}

TEST(CompiledPacket, LockedPacketTakesNothing)
{
    CompiledPacket packet(true);
    packet.WriteRepeat(9, 120);
    packet.locked = true;
    uint8_t more[200] = {};
    EXPECT_EQ(packet.AppendRaw(more, 200), -1);
    uint32_t n = 77;
    EXPECT_EQ(packet.GetBuffer(&n), nullptr);
    EXPECT_EQ(n, 77u);
    EXPECT_EQ(packet.GetPacket().data, nullptr);
    packet.locked = false;
    EXPECT_EQ(Content(packet).size(), 99u);   // the staged 21 were dropped with the lock set
}

TEST(CompiledPacketDeathTest, NullPointersStopWithTheirReport)
{
    CompiledPacket packet(true);
    packet.WriteU8(1);
    EXPECT_DEATH(packet.AppendRaw(nullptr, 1), "pString!=NULL.*compiledpacket");
    EXPECT_DEATH(packet.GetBuffer(static_cast<uint32_t*>(nullptr)), "pLength!=NULL.*compiledpacket");
    EXPECT_DEATH(packet.Read(static_cast<uint16_t*>(nullptr), 10), "pLength!=NULL.*compiledpacket");
}

} // namespace
