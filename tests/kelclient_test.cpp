#include <gtest/gtest.h>

#include <vector>

#include "kelclient.h"
#include "netcrypt.h"

namespace {

std::vector<uint8_t> Bytes(std::initializer_list<int> values)
{
    std::vector<uint8_t> out;
    for (int v : values)
        out.push_back((uint8_t)v);
    return out;
}

TEST(KelClient, WriteHelpersAppendLittleEndianInOrder)
{
    KelClient client;
    EXPECT_EQ(client.id, 0);
    EXPECT_FALSE(client.cipherOn);
    EXPECT_EQ(client.clearPending, 0u);

    client.Write16(0x1234);
    client.Write32(1);
    client.Write8(0xAB);
    const uint8_t raw[] = {9, 8, 7};
    client.Write(raw, 3);
    client.WriteBytes(raw, 2);
    client.Write(raw, 0);
    client.Write(raw, -5);
    EXPECT_EQ(client.sendBuffer, Bytes({0x34, 0x12, 1, 0, 0, 0, 0xAB, 9, 8, 7, 9, 8}));
}

TEST(KelClient, WriteRepeatAndAppendRecvIgnoreNonPositiveCounts)
{
    KelClient client;
    client.WriteRepeat(0, 20);
    EXPECT_EQ(client.sendBuffer, std::vector<uint8_t>(20, 0));
    client.WriteRepeat(7, 0);
    client.WriteRepeat(7, -1);
    EXPECT_EQ(client.sendBuffer.size(), 20u);

    const uint8_t raw[] = {1, 2, 3};
    client.AppendRecv(raw, 3);
    client.AppendRecv(raw, 0);
    client.AppendRecv(raw, -3);
    EXPECT_EQ(client.recvBuffer, Bytes({1, 2, 3}));
}

TEST(KelClient, ResetCipherKeepsQueuedBytesClear)
{
    KelClient client;
    client.WriteRepeat(0x55, 22);
    client.cipher.table[5] = 9;
    client.cipher.x = 3;
    client.ResetCipher();
    EXPECT_TRUE(client.cipherOn);
    EXPECT_EQ(client.clearPending, 22u);
    EXPECT_EQ(client.cipher.x, 0);
    EXPECT_EQ(client.cipher.y, 0);
    for (uint8_t entry : client.cipher.table)
        EXPECT_EQ(entry, 0);
}

TEST(NetCrypt, IdentityTableGivesEvenKeystreamRestartingEachCall)
{
    CipherState state = {};
    for (int j = 0; j < 256; ++j)
        state.table[j] = (uint8_t)j;
    std::vector<uint8_t> data(300, 0);
    NetCrypt(data.data(), data.data(), (int32_t)data.size(), &state);
    for (size_t i = 0; i < data.size(); ++i)
        EXPECT_EQ(data[i], (uint8_t)((2 * i + 2) % 256)) << "position " << i;
    EXPECT_EQ(data[127], 0);
    EXPECT_EQ(data[255], 0);

    uint8_t again[2] = {0, 0};
    NetCrypt(again, again, 2, &state);
    EXPECT_EQ(again[0], 2);
    EXPECT_EQ(again[1], 4);
}

TEST(NetCrypt, IsItsOwnInverseAndZeroTableIsIdentity)
{
    CipherState state = {};
    for (int j = 0; j < 256; ++j)
        state.table[j] = (uint8_t)(j * 37 + 11);
    std::vector<uint8_t> original(1000);
    for (size_t i = 0; i < original.size(); ++i)
        original[i] = (uint8_t)(i * 7);
    std::vector<uint8_t> coded(original.size());
    NetCrypt(original.data(), coded.data(), (int32_t)coded.size(), &state);
    EXPECT_NE(coded, original);
    NetCrypt(coded.data(), coded.data(), (int32_t)coded.size(), &state);
    EXPECT_EQ(coded, original);

    CipherState zero = {};
    std::vector<uint8_t> same = original;
    NetCrypt(same.data(), same.data(), (int32_t)same.size(), &zero);
    EXPECT_EQ(same, original);
}

TEST(NetCrypt, EmptyLengthChangesNothingAndResetsIndices)
{
    CipherState state = {};
    state.table[1] = 0xFF;
    state.x = 17;
    state.y = 99;
    uint8_t byte = 0x42;
    NetCrypt(&byte, &byte, 0, &state);
    NetCrypt(&byte, &byte, -4, &state);
    EXPECT_EQ(byte, 0x42);
    EXPECT_EQ(state.x, 0);
    EXPECT_EQ(state.y, 0);
}

} // namespace
