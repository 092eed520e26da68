// CHARACTER_INFO cases that are easier to set up without the tables: names
// cut by a zero low byte, and item ids that several loaded items share.

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
    }
    void TearDown() override { server.outboundOpcodes.clear(); }

    static void SetName(CharacterRecord* record, const char16_t* name)
    {
        for (size_t i = 0; name[i] && i < 30; i++) {
            record->name[2 * i] = uint8_t(name[i]);
            record->name[2 * i + 1] = uint8_t(name[i] >> 8);
        }
    }

    KelClient client;
};

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

} // namespace
