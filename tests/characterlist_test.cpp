// CHARACTER_INFO and ACCOUNT_DATA byte for byte, without the server.

#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "characterlist.h"
#include "item.h"
#include "kelclient.h"
#include "logindata.h"
#include "server.h"

namespace {

class CharacterInfoTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        server.outboundOpcodes.clear();
        server.outboundOpcodes.try_emplace("CHARACTER_INFO", 0x07D0);   // wire D0 07
        server.outboundOpcodes.try_emplace("ACCOUNT_DATA", 0x03D0);
    }
    void TearDown() override { server.outboundOpcodes.clear(); }

    static void SetName(CharacterRecord* record, const char16_t* name)
    {
        for (size_t i = 0; name[i] && i < 30; i++) {
            record->name[2 * i] = uint8_t(name[i]);
            record->name[2 * i + 1] = uint8_t(name[i] >> 8);
        }
    }

    // Byte 58 + 2n (level and face) and byte 59 + 2n (flags) of one message.
    std::pair<uint8_t, uint8_t> LevelBytes(const CharacterRecord& record)
    {
        KelClient client;
        WriteCharacterInfo(&client, 0, record, nullptr, 0);
        size_t n = client.sendBuffer[26];
        return {client.sendBuffer[58 + 2 * n], client.sendBuffer[59 + 2 * n]};
    }

    KelClient client;
};

TEST_F(CharacterInfoTest, CharacterWearingOneItem)
{
    CharacterRecord ann;
    SetName(&ann, u"Ann");
    ann.location = 100;
    ann.heightSex = 1;
    ann.hairSkinColor = 2;
    ann.professionHairStyle = 3;
    ann.campaignFace = 0x21;
    ann.level = 20;
    ann.secondProfession = 2;
    memset(ann.armorIds[0], 0xAB, 12);
    Item items[2];
    memset(items[0].id, 0xCD, 12);           // worn by nobody
    items[0].data[0] = 0xEE;
    memset(items[1].id, 0xAB, 12);
    const uint8_t blob[8] = {0x11, 0x22, 0, 0, 0, 0x55, 0x66, 0x77};
    memcpy(items[1].data, blob, sizeof blob);

    WriteCharacterInfo(&client, 0x11223344, ann, items, 2);

    std::vector<uint8_t> expected = {0xD0, 0x07, 0x44, 0x33, 0x22, 0x11};
    expected.resize(26, 0);
    expected.insert(expected.end(), {0x03, 0x00, 0x41, 0x00, 0x6E, 0x00, 0x6E, 0x00, 0x3E, 0x00, 0x06, 0x00,
                                     0x64, 0x00, 0x38, 0x34, 0x31, 0x30, 0x01, 0x02, 0x03, 0x21});
    expected.resize(expected.size() + 16, 0);
    expected.insert(expected.end(), {0x43, 0xC9, 0x5C, 0x5C, 0x05, 0x5C, 0x5C, 0x5C, 0x5C,
                                     0x11, 0x22, 0x66, 0x77, 0x55});
    expected.resize(expected.size() + 20, 0);
    ASSERT_EQ(98u, expected.size());
    EXPECT_EQ(expected, client.sendBuffer);
}

TEST_F(CharacterInfoTest, LevelAndFlagBytes)
{
    CharacterRecord record;
    SetName(&record, u"x");
    record.level = 15;
    EXPECT_EQ(std::make_pair(uint8_t(0xF1), uint8_t(0xC0)), LevelBytes(record));
    record.level = 16;   // only the low four bits survive; bit 0 set
    EXPECT_EQ(std::make_pair(uint8_t(0x01), uint8_t(0xC1)), LevelBytes(record));
    record.level = 0;
    record.campaignFace = 0xF0;   // the + 1 carries
    EXPECT_EQ(std::make_pair(uint8_t(0x10), uint8_t(0xC0)), LevelBytes(record));
    record.campaignFace = 0;
    record.secondProfession = 10;
    EXPECT_EQ(0xE8, LevelBytes(record).second);
    record.secondProfession = 11;
    EXPECT_EQ(0xC4, LevelBytes(record).second);
    record.secondProfession = 0;
    record.characterType = 3;
    EXPECT_EQ(0xC2, LevelBytes(record).second);
}

TEST_F(CharacterInfoTest, NamesEndAtALowZeroByteOrTheirSixtyBytes)
{
    CharacterRecord cut;
    SetName(&cut, u"Ab\x0100z");   // the third unit has a zero low byte
    WriteCharacterInfo(&client, 0, cut, nullptr, 0);
    EXPECT_EQ(2, client.sendBuffer[26]);
    EXPECT_EQ(92u + 4, client.sendBuffer.size());

    KelClient full;
    CharacterRecord record;
    memset(record.name, 'z', sizeof record.name);   // no terminator in the field
    memset(record.armorIds, 0, sizeof record.armorIds);
    WriteCharacterInfo(&full, 0, record, nullptr, 0);
    EXPECT_EQ(30, full.sendBuffer[26]);
    EXPECT_EQ(92u + 60, full.sendBuffer.size());
    EXPECT_EQ(62, full.sendBuffer[28 + 60]);
}

TEST_F(CharacterInfoTest, DuplicateItemIdsWriteOneSlot)
{
    CharacterRecord record;
    SetName(&record, u"D");
    Item items[2];   // both with the all-zero id every empty slot has
    items[0].data[0] = 1;
    items[1].data[0] = 2;
    WriteCharacterInfo(&client, 0, record, items, 2);
    ASSERT_EQ(94u, client.sendBuffer.size());
    for (size_t slot = 0; slot < 5; slot++)
        EXPECT_EQ(1, client.sendBuffer[69 + 5 * slot]);
}

TEST_F(CharacterInfoTest, AccountDataIsPatchedAndKeepsItsSize)
{
    uint8_t stored[700] = {9, 9, 9, 9, 9, 9, 7, 8};
    WriteAccountData(&client, 0x0A0B0C0D, stored, 8);
    EXPECT_EQ((std::vector<uint8_t>{0xD0, 0x03, 0x0D, 0x0C, 0x0B, 0x0A, 7, 8}), client.sendBuffer);

    KelClient shortData;
    WriteAccountData(&shortData, 0x0A0B0C0D, stored, 4);   // fewer than 6: patched, cut to its size
    EXPECT_EQ((std::vector<uint8_t>{0xD0, 0x03, 0x0D, 0x0C}), shortData.sendBuffer);
}

} // namespace
