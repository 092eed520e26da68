#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "packetreader.h"

namespace {

TEST(PacketReader, ReadsLittleEndianAtAnyPosition)
{
    const uint8_t bytes[] = {0x34, 0x12, 0x01, 0x00, 0x00, 0x00, 0x00, 0xAA, 0xBB};
    PacketReader reader(bytes, sizeof bytes);
    EXPECT_EQ(reader.GetPos(), 2u);
    EXPECT_EQ(reader.GetData(), bytes);

    EXPECT_EQ(reader.ReadU16(), 1);
    EXPECT_EQ(reader.GetPos(), 4u);

    const uint8_t odd[] = {0, 0, 0, 1, 0, 0, 0};
    PacketReader oddReader(odd, sizeof odd);
    oddReader.SetPos(3);
    EXPECT_EQ(oddReader.ReadU32(), 1u);
    EXPECT_EQ(oddReader.GetPos(), 7u);

    reader.SetPos(0);
    EXPECT_EQ(reader.ReadU16(), 0x1234);

    reader.SetPos(2);
    reader.Skip(2);
    EXPECT_EQ(reader.ReadU32(), 0xAA000000u);
    EXPECT_EQ(reader.ReadU8(), 0xBB);
    EXPECT_FALSE(reader.Overran());
    EXPECT_EQ(reader.Remaining(), 0u);
}

TEST(PacketReader, ReadBytesAndFloat)
{
    const float value = -1.5f;
    uint8_t bytes[6] = {0, 0};
    memcpy(bytes + 2, &value, 4);   // the host is little-endian, like the wire
    PacketReader reader(bytes, sizeof bytes);
    uint8_t untouched = 0x77;
    reader.ReadBytes(&untouched, 0);
    EXPECT_EQ(untouched, 0x77);
    EXPECT_EQ(reader.GetPos(), 2u);
    EXPECT_EQ(reader.ReadFloat(), -1.5f);
}

// The buffer is sized exactly, so the address sanitizer catches any read past it.
TEST(PacketReader, OverReadsYieldZerosAndLatchTheFlag)
{
    std::unique_ptr<uint8_t[]> bytes(new uint8_t[4]{1, 0, 0x11, 0x22});
    PacketReader reader(bytes.get(), 4);
    EXPECT_EQ(reader.ReadU32(), 0x2211u);
    EXPECT_TRUE(reader.Overran());
    EXPECT_EQ(reader.GetPos(), 6u);   // advances by the full width
    EXPECT_EQ(reader.ReadU8(), 0);
    EXPECT_TRUE(reader.Overran());

    PacketReader partial(bytes.get(), 4);
    uint8_t out[10];
    memset(out, 0xEE, sizeof out);
    partial.ReadBytes(out, 10);
    const uint8_t expected[10] = {0x11, 0x22, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(memcmp(out, expected, sizeof out), 0);
    EXPECT_TRUE(partial.Overran());

    PacketReader exact(bytes.get(), 4);
    exact.ReadU16();
    EXPECT_FALSE(exact.Overran());   // reading up to size is fine
}

TEST(PacketReader, PositionNeverWraps)
{
    const uint8_t bytes[] = {0, 0, 5, 6};
    PacketReader reader(bytes, sizeof bytes);
    reader.Skip(0xFFFFFFFFu);
    EXPECT_EQ(reader.GetPos(), 0xFFFFFFFFu);
    EXPECT_TRUE(reader.Overran());
    EXPECT_EQ(reader.ReadU16(), 0);
    EXPECT_EQ(reader.GetPos(), 0xFFFFFFFFu);

    PacketReader beyond(bytes, sizeof bytes);
    beyond.SetPos(100);
    EXPECT_EQ(beyond.Remaining(), 0u);
    EXPECT_EQ(beyond.ReadU32(), 0u);
    EXPECT_TRUE(beyond.Overran());

    PacketReader skipInside(bytes, sizeof bytes);
    skipInside.Skip(2);
    EXPECT_FALSE(skipInside.Overran());
    skipInside.Skip(1);
    EXPECT_TRUE(skipInside.Overran());
}

} // namespace
