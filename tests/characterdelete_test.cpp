// The exact statement texts of character deletion and of storing interface
// data, and what the two handlers wait for, read, queue and consume, run in
// this process on the server's own session table and query queue (the
// replies themselves are checked end to end).

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "characterdelete.h"
#include "database.h"
#include "interfacedata.h"
#include "kelclient.h"
#include "packetreader.h"
#include "queuedstatements.h"
#include "server.h"
#include "sessions.h"

namespace {

// A name in its stored form: UTF-16LE, zero-padded to 60 bytes.
std::vector<uint8_t> StoredName(const std::u16string& name)
{
    std::vector<uint8_t> bytes(kCharacterNameBytes, 0);
    for (size_t i = 0; i < name.size() && 2 * i + 1 < bytes.size(); i++) {
        bytes[2 * i] = uint8_t(name[i]);
        bytes[2 * i + 1] = uint8_t(name[i] >> 8);
    }
    return bytes;
}

TEST(CharacterDeleteQueryTest, LookupMatchesTheWholePaddedNameAndTheAccount)
{
    std::string expected =
        "SELECT ID, HeadArmor, ChestArmor, ArmsArmor, LegArmor, FeetArmor FROM characters WHERE "
        "Name=0x41006e006e00" + std::string(108, '0') + " AND OwnerAccountID=4294967295 LIMIT 1";
    EXPECT_EQ(expected, CharacterLookupQuery(StoredName(u"Ann").data(), 4294967295u));

    // Every unit used, high bytes included: 120 digits, no terminator needed.
    std::u16string full(30, u'\x20ac');
    std::string digits;
    for (int i = 0; i < 30; i++)
        digits += "ac20";
    EXPECT_EQ("SELECT ID, HeadArmor, ChestArmor, ArmsArmor, LegArmor, FeetArmor FROM characters WHERE "
              "Name=0x" + digits + " AND OwnerAccountID=7 LIMIT 1",
              CharacterLookupQuery(StoredName(full).data(), 7));
}

TEST(CharacterDeleteQueryTest, ItemDeleteSparesStorageRowsForLowCharacterIds)
{
    EXPECT_EQ("DELETE FROM items WHERE OwnerCID=12", CharacterItemsDeleteQuery(12));
    EXPECT_EQ("DELETE FROM items WHERE OwnerCID=10", CharacterItemsDeleteQuery(10));
    EXPECT_EQ("DELETE FROM items WHERE OwnerCID=4294967295", CharacterItemsDeleteQuery(4294967295u));
    EXPECT_EQ("DELETE FROM items WHERE OwnerCID=9 AND OwnerAID=0", CharacterItemsDeleteQuery(9));
    EXPECT_EQ("DELETE FROM items WHERE OwnerCID=0 AND OwnerAID=0", CharacterItemsDeleteQuery(0));
}

TEST(CharacterDeleteQueryTest, RowDeleteNamesCharacterAndAccount)
{
    EXPECT_EQ("DELETE FROM characters WHERE ID=12 AND OwnerAccountID=7 LIMIT 1",
              CharacterRowDeleteQuery(12, 7));
    EXPECT_EQ("DELETE FROM characters WHERE ID=4294967295 AND OwnerAccountID=4294967295 LIMIT 1",
              CharacterRowDeleteQuery(4294967295u, 4294967295u));
}

TEST(InterfaceDataQueryTest, DataAsHexWithItsSize)
{
    const uint8_t data[] = {0x00, 0xff, 0x10, 0xab};
    EXPECT_EQ("UPDATE accounts SET InterfaceDataSize=4, InterfaceData=0x00ff10ab WHERE AccountID=7 "
              "LIMIT 1@NOSTATUS",
              InterfaceDataUpdateQuery(data, sizeof data, 7));
}

TEST(InterfaceDataQueryTest, NoDataIsTheEmptyBinaryLiteral)
{
    EXPECT_EQ("UPDATE accounts SET InterfaceDataSize=0, InterfaceData=X'' WHERE AccountID=3 "
              "LIMIT 1@NOSTATUS",
              InterfaceDataUpdateQuery(nullptr, 0, 3));
}

TEST(InterfaceDataQueryTest, LargestAcceptedDataFitsWhole)
{
    const uint32_t size = kInterfaceMessageLimit - kInterfaceDataOffset;
    std::vector<uint8_t> data(size, 0x5a);
    std::string hex;
    for (uint32_t i = 0; i < size; i++)
        hex += "5a";
    EXPECT_EQ("UPDATE accounts SET InterfaceDataSize=690, InterfaceData=0x" + hex +
                  " WHERE AccountID=4294967295 LIMIT 1@NOSTATUS",
              InterfaceDataUpdateQuery(data.data(), size, 4294967295u));
}

// A session on the server's table, and the message bytes it is handed;
// the network layer is not involved (replies of code 0 land in the
// KelClient's send buffer, other codes go nowhere).
class HandlerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        server.outboundOpcodes.try_emplace("STREAM_TERMINATOR", 0x05D0);
        connection.id = 5;
        ClientData& record = server.clients.try_emplace(5).first->second;
        record.id = 5;
        record.accountId = 7;
        record.loggedIn = 1;
        record.requestId = 99;
        session = &record;
    }

    void TearDown() override
    {
        server.clients.clear();
        TakeQueuedStatements(server.database);
        server.outboundOpcodes.clear();
    }

    int32_t Handle(int32_t (*handler)(PacketReader*, KelClient*), const std::vector<uint8_t>& bytes)
    {
        PacketReader reader(bytes.data(), uint32_t(bytes.size()));
        return handler(&reader, &connection);
    }

    static std::vector<uint8_t> Message(uint32_t requestId, const std::vector<uint8_t>& rest)
    {
        std::vector<uint8_t> bytes = {0x07, 0xC0};
        for (int i = 0; i < 4; i++)
            bytes.push_back(uint8_t(requestId >> (8 * i)));
        bytes.insert(bytes.end(), rest.begin(), rest.end());
        return bytes;
    }

    static std::vector<uint8_t> DeleteMessage(uint32_t requestId, uint16_t units, const std::u16string& name)
    {
        std::vector<uint8_t> rest = {uint8_t(units), uint8_t(units >> 8)};
        for (char16_t unit : name) {
            rest.push_back(uint8_t(unit));
            rest.push_back(uint8_t(unit >> 8));
        }
        return Message(requestId, rest);
    }

    KelClient connection;
    ClientData* session = nullptr;
};

TEST_F(HandlerTest, DeleteWaitsForFixedFieldsAndName)
{
    std::vector<uint8_t> whole = DeleteMessage(4, 3, u"Ann");
    for (size_t cut = 0; cut < whole.size(); cut++) {
        std::vector<uint8_t> part(whole.begin(), whole.begin() + cut);
        EXPECT_EQ(0, Handle(HandleCharacterDelete, part)) << cut;
    }
    EXPECT_EQ(99u, session->requestId);
    EXPECT_TRUE(TakeQueuedStatements(server.database).empty());
    EXPECT_EQ(0u, session->pendingQueryId);
}

TEST_F(HandlerTest, DeleteQueuesTheLookupAndConsumesTheWholeBuffer)
{
    std::vector<uint8_t> bytes = DeleteMessage(4, 3, u"Ann");
    bytes.insert(bytes.end(), {0x0B, 0xC0, 0, 0, 0, 0});   // swallowed with it
    EXPECT_EQ(int32_t(bytes.size()), Handle(HandleCharacterDelete, bytes));
    EXPECT_EQ(4u, session->requestId);
    std::vector<std::string> queued = TakeQueuedStatements(server.database);
    ASSERT_EQ(1u, queued.size());
    uint8_t name[kCharacterNameBytes] = {'A', 0, 'n', 0, 'n', 0};
    EXPECT_EQ(CharacterLookupQuery(name, 7), queued[0]);
    EXPECT_NE(0u, session->pendingQueryId);
    EXPECT_EQ(&OnCharacterDeleteLookup, session->callback);
    auto* data = static_cast<CharacterDeleteData*>(session->callbackData);
    ASSERT_NE(nullptr, data);
    EXPECT_EQ(3, data->nameLength);
    EXPECT_EQ(0, memcmp(name, data->name, sizeof name));
}

TEST_F(HandlerTest, InterfaceDataIsQueuedAndConfirmedAtOnce)
{
    std::vector<uint8_t> rest = {1, 2, 3, 4, 0xD0, 0x0E, 0x0F};
    std::vector<uint8_t> bytes = Message(20, rest);
    EXPECT_EQ(13, Handle(HandleAccountDataFromClient, bytes));
    std::vector<std::string> queued = TakeQueuedStatements(server.database);
    ASSERT_EQ(1u, queued.size());
    EXPECT_EQ("UPDATE accounts SET InterfaceDataSize=3, InterfaceData=0xd00e0f WHERE AccountID=7 LIMIT 1",
              queued[0]);
    EXPECT_EQ((std::vector<uint8_t>{0xD0, 0x05, 20, 0, 0, 0, 0, 0, 0, 0}), connection.sendBuffer);

    // Exactly the fixed fields: no data, stored as the empty value.
    connection.sendBuffer.clear();
    EXPECT_EQ(10, Handle(HandleAccountDataFromClient, Message(21, {0, 0, 0, 0})));
    queued = TakeQueuedStatements(server.database);
    ASSERT_EQ(1u, queued.size());
    EXPECT_EQ("UPDATE accounts SET InterfaceDataSize=0, InterfaceData=X'' WHERE AccountID=7 LIMIT 1",
              queued[0]);
    EXPECT_EQ((std::vector<uint8_t>{0xD0, 0x05, 21, 0, 0, 0, 0, 0, 0, 0}), connection.sendBuffer);
}

TEST_F(HandlerTest, InterfaceDataOverSevenHundredBytesIsRefusedSilently)
{
    std::vector<uint8_t> bytes = Message(22, std::vector<uint8_t>(695, 0x33));
    ASSERT_EQ(701u, bytes.size());
    EXPECT_EQ(701, Handle(HandleAccountDataFromClient, bytes));
    EXPECT_EQ(22u, session->requestId);   // taken before the size is judged
    EXPECT_TRUE(TakeQueuedStatements(server.database).empty());
    EXPECT_TRUE(connection.sendBuffer.empty());

    bytes.pop_back();
    EXPECT_EQ(700, Handle(HandleAccountDataFromClient, bytes));
    std::vector<std::string> queued = TakeQueuedStatements(server.database);
    ASSERT_EQ(1u, queued.size());
    EXPECT_EQ(0u, queued[0].find("UPDATE accounts SET InterfaceDataSize=690, InterfaceData=0x3333"));
    EXPECT_EQ(10u, connection.sendBuffer.size());
}

} // namespace
