// Client ids, the outbound number table and the ownership of a session's
// working data.

#include <set>
#include <string>

#include <gtest/gtest.h>

#include "idpool.h"
#include "opcodes.h"
#include "server.h"
#include "sessions.h"

namespace {

TEST(IdPoolTest, CountsFromFiveAndNeverReusesWhileTheCounterLasts)
{
    IdPool pool;
    pool.Init();
    EXPECT_EQ(5, pool.Allocate());
    EXPECT_EQ(6, pool.Allocate());
    pool.Release(5);
    EXPECT_EQ(7, pool.Allocate());   // a reconnecting client gets a new id
    EXPECT_EQ(2u, pool.inUse.size());
}

TEST(IdPoolTest, FullCounterHandsOutTheLastIdThenOnlyReleasedOnes)
{
    IdPool pool;
    pool.Init();
    pool.nextId = 65533;
    EXPECT_EQ(65533, pool.Allocate());
    EXPECT_EQ(65534, pool.Allocate());   // 65535 is never handed out
    EXPECT_EQ(IdPool::kNoFreeId, pool.Allocate());

    pool.Release(65533);
    pool.Release(65533);                 // a second release changes nothing
    EXPECT_EQ(65533, pool.Allocate());
    EXPECT_EQ(IdPool::kNoFreeId, pool.Allocate());
}

TEST(IdPoolTest, ExhaustedPoolNeverGivesOneIdToTwoLiveClients)
{
    IdPool pool;
    pool.Init();
    pool.maxId = 12;                     // ids 5 to 10
    std::set<uint16_t> live;
    for (int i = 0; i < 6; i++)
        EXPECT_TRUE(live.insert(pool.Allocate()).second);
    EXPECT_EQ(IdPool::kNoFreeId, pool.Allocate());
    // Clients come and go; every id handed out is free at that moment.
    for (uint16_t leaving : {7, 5, 10}) {
        pool.Release(leaving);
        live.erase(leaving);
    }
    for (int i = 0; i < 3; i++) {
        uint16_t id = pool.Allocate();
        ASSERT_NE(IdPool::kNoFreeId, id);
        EXPECT_TRUE(live.insert(id).second) << id;
    }
    EXPECT_EQ(IdPool::kNoFreeId, pool.Allocate());
    pool.Clear();
    EXPECT_TRUE(pool.inUse.empty());
    EXPECT_TRUE(pool.freeIds.empty());
}

TEST(OutboundOpcodeTest, FoundByTheTextOfTheName)
{
    OutboundOpcodeTable table;
    table.try_emplace("ACCOUNT_DATA", 0x03D0);
    table.try_emplace("STREAM_TERMINATOR", 0x05D0);
    table.try_emplace("STREAM_TERMINATOR", 0x1111);  // a second filing keeps the first
    std::string copy = "ACCOUNT_DATA";               // another pointer, the same text
    EXPECT_EQ(0x03D0, table[copy.c_str()]);
    EXPECT_EQ(0x05D0, table["STREAM_TERMINATOR"]);
    EXPECT_EQ(2u, table.size());
    EXPECT_EQ(0, table["NEVER_FILED"]);              // filed with 0 by the lookup
    EXPECT_EQ(3u, table.size());
}

TEST(OutboundOpcodeTest, HashIsTheByteSumAndOrderIsStrcmp)
{
    EXPECT_EQ(uint32_t('A') + 'B', OpcodeNameTraits::Hash("AB"));
    EXPECT_EQ(OpcodeNameTraits::Hash("AB"), OpcodeNameTraits::Hash("BA"));
    EXPECT_EQ(0xFFu + 0x80u, OpcodeNameTraits::Hash("\xff\x80"));
    EXPECT_TRUE(OpcodeNameTraits::Less("AB", "BA"));
    EXPECT_FALSE(OpcodeNameTraits::Less("BA", "AB"));
    OutboundOpcodeTable table;   // same hash, different names: two entries
    table.try_emplace("AB", 1);
    table.try_emplace("BA", 2);
    EXPECT_EQ(1, table["AB"]);
    EXPECT_EQ(2, table["BA"]);
}

// Working data that counts how often it is freed.
int freed = 0;
void CountFree(void* data)
{
    freed++;
    delete static_cast<int*>(data);
}

TEST(CallbackDataTest, ReplacedAndAbandonedDataIsFreedThroughItsOwnFunction)
{
    freed = 0;
    {
        ClientData client;
        SetCallbackData(&client, new int(1), CountFree);
        uint32_t version = client.callbackDataVersion;
        SetCallbackData(&client, new int(2), CountFree);   // replaces: the first is freed
        EXPECT_EQ(1, freed);
        EXPECT_NE(version, client.callbackDataVersion);
        ClearPendingQuery(&client);                         // abandons: the second is freed
        EXPECT_EQ(2, freed);
        EXPECT_EQ(nullptr, client.callbackData);
        SetCallbackData(&client, new int(3), CountFree);
        client.email = new uint8_t[130]();
    }   // a record that goes frees what it holds
    EXPECT_EQ(3, freed);
}

TEST(SessionTableTest, LookupSkipsClosedSessions)
{
    ClientTable& clients = server.clients;
    clients.try_emplace(9).first->second.id = 9;
    ASSERT_NE(nullptr, server.GetClientData(9));
    CloseSession(server.GetClientData(9));
    EXPECT_EQ(nullptr, server.GetClientData(9));   // gone at once for every lookup
    EXPECT_EQ(1u, clients.count(9));               // the record waits for the pump's walk
    EraseClosedSessions(clients);
    EXPECT_EQ(0u, clients.count(9));
    EXPECT_EQ(nullptr, server.GetClientData(12));
}

} // namespace
