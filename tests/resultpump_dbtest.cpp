// The result pump and the continuation contract against the real database:
// what a continuation's result does to the session's pending query and
// working data, and that abandoned chains leave nothing behind.

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "database.h"
#include "kelclient.h"
#include "server.h"
#include "sessions.h"
#include "testdb.h"

namespace {

// What the continuations below saw and did.
struct Trace {
    std::vector<std::string> calls;   // continuation name and the query id it got
    int dataFreed = 0;
    uint32_t chainedId = 0;           // the query a continuation chained
};
Trace trace;

void FreeData(void* data)
{
    trace.dataFreed++;
    delete static_cast<std::string*>(data);
}

uint32_t QueueSelect(const char* text = "SELECT 1")
{
    return server.database.Query(text, int(strlen(text)));
}

void Record(const char* name, QUERY_RESULT* result)
{
    trace.calls.push_back(std::string(name) + " " + std::to_string(result->queryId));
}

int32_t Finish(QUERY_RESULT* result, ClientData*)
{
    Record("Finish", result);
    return 0;
}

int32_t ChainAndKeep(QUERY_RESULT* result, ClientData* client)
{
    Record("ChainAndKeep", result);
    trace.chainedId = QueueSelect("SELECT 2");
    ContinueChain(client, trace.chainedId, Finish);
    return 1;
}

int32_t ChainAndRelease(QUERY_RESULT* result, ClientData* client)
{
    Record("ChainAndRelease", result);
    trace.chainedId = QueueSelect("SELECT 3");
    ContinueChain(client, trace.chainedId, Finish);
    return 0;
}

int32_t ReadRows(QUERY_RESULT* result, ClientData*)
{
    Record("ReadRows", result);
    EXPECT_NE(nullptr, result->result);
    MYSQL_ROW row = result->result ? mysql_fetch_row(result->result) : nullptr;
    EXPECT_TRUE(row && strcmp(row[0], "7") == 0);
    return -1;
}

// Closes the session of client id 6 (an older connection of the account).
int32_t CloseOther(QUERY_RESULT* result, ClientData*)
{
    Record("CloseOther", result);
    ClientData* older = server.GetClientData(6);
    EXPECT_NE(nullptr, older);
    if (older)
        CloseSession(older);
    return 0;
}

class ResultPumpTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        trace = Trace();
        static bool connected = false;
        if (!connected) {
            const TestDbServer& db = TestServer();
            connected = server.database.Connect(db.host.c_str(), db.user.c_str(),
                                                db.password.c_str(), database.Name().c_str(),
                                                db.port, 2);
        }
        ASSERT_TRUE(connected);
    }

    void TearDown() override
    {
        clients.clear();
        server.database.Flush();
    }

    ClientData* NewSession(uint16_t id)
    {
        ClientData* client = &clients.try_emplace(id).first->second;
        client->id = id;
        return client;
    }

    // Runs the pump on a table until the first continuation has run (bounded).
    void PumpUntilCalled(ClientTable& table)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (trace.calls.empty() && std::chrono::steady_clock::now() < deadline) {
            server.database.Process();
            server.database.ProcessQueryResults(table);
        }
        ASSERT_FALSE(trace.calls.empty());
    }

    // Runs the pump until the database is idle and no session waits for a
    // filed result (bounded).
    void Pump()
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            server.database.Process();
            server.database.ProcessQueryResults(clients);
            bool waiting = false;
            for (auto& entry : clients)
                waiting = waiting || entry.second.pendingQueryId != 0;
            if (!waiting && server.database.queue.empty()) {
                server.database.Flush();
                server.database.ProcessQueryResults(clients);
                return;
            }
        }
        ADD_FAILURE() << "the pump did not settle";
    }

    FreshDatabase database;
    ClientTable clients;
};

TEST_F(ResultPumpTest, FinishedChainFreesItsDataAndResult)
{
    ClientData* client = NewSession(5);
    uint32_t id = QueueSelect("SELECT 7");
    ContinueChain(client, id, ReadRows);
    SetCallbackData(client, new std::string("login"), FreeData);
    Pump();
    EXPECT_EQ(std::vector<std::string>{"ReadRows " + std::to_string(id)}, trace.calls);
    EXPECT_EQ(1, trace.dataFreed);
    EXPECT_EQ(nullptr, client->callbackData);
    EXPECT_EQ(nullptr, client->callback);
    EXPECT_EQ(0u, client->pendingQueryId);
    EXPECT_EQ(nullptr, server.database.FindResult(id));
    EXPECT_EQ(0u, server.database.GetResultCount());
}

TEST_F(ResultPumpTest, ChainReturningOneKeepsItsDataForTheNextStep)
{
    ClientData* client = NewSession(5);
    uint32_t first = QueueSelect();
    ContinueChain(client, first, ChainAndKeep);
    SetCallbackData(client, new std::string("chain"), FreeData);
    PumpUntilCalled(clients);
    // Right after the first step: the new query is pending, the data kept,
    // the first result freed.
    EXPECT_EQ(trace.chainedId, client->pendingQueryId);
    EXPECT_EQ(Finish, client->callback);
    EXPECT_EQ(0, trace.dataFreed);
    EXPECT_EQ(nullptr, server.database.FindResult(first));
    Pump();
    EXPECT_EQ((std::vector<std::string>{"ChainAndKeep " + std::to_string(first),
                                        "Finish " + std::to_string(trace.chainedId)}),
              trace.calls);
    EXPECT_EQ(1, trace.dataFreed);
    EXPECT_EQ(0u, server.database.GetResultCount());
}

TEST_F(ResultPumpTest, ChainReturningZeroReleasesDataButKeepsTheNewQuery)
{
    ClientData* client = NewSession(5);
    uint32_t first = QueueSelect();
    ContinueChain(client, first, ChainAndRelease);
    SetCallbackData(client, new std::string("create"), FreeData);
    PumpUntilCalled(clients);
    EXPECT_EQ(1, trace.dataFreed);
    EXPECT_EQ(nullptr, client->callbackData);
    EXPECT_EQ(trace.chainedId, client->pendingQueryId);
    EXPECT_EQ(Finish, client->callback);
    Pump();
    EXPECT_EQ(2u, trace.calls.size());
    EXPECT_EQ(0u, server.database.GetResultCount());
}

TEST_F(ResultPumpTest, ReplacedQueryIsDiscardedAndItsDataFreed)
{
    ClientData* client = NewSession(5);
    uint32_t first = QueueSelect();
    ContinueChain(client, first, Finish);
    SetCallbackData(client, new std::string("first"), FreeData);
    // A second request before the first answer replaces the whole chain.
    uint32_t second = QueueSelect("SELECT 7");
    ContinueChain(client, second, ReadRows);
    SetCallbackData(client, new std::string("second"), FreeData);
    EXPECT_EQ(1, trace.dataFreed);
    Pump();
    EXPECT_EQ(std::vector<std::string>{"ReadRows " + std::to_string(second)}, trace.calls);
    EXPECT_EQ(2, trace.dataFreed);
    EXPECT_EQ(0u, server.database.GetResultCount());
}

TEST_F(ResultPumpTest, DepartedClientsResultIsDiscarded)
{
    KelClient connection;
    ClientData* client = NewSession(5);
    connection.id = 5;
    ContinueChain(client, QueueSelect(), Finish);
    SetCallbackData(client, new std::string("gone"), FreeData);
    // The session table the disconnect callback works on is the server's.
    server.clients.swap(clients);
    OnClientDisconnect(&connection);
    server.clients.swap(clients);
    EXPECT_TRUE(clients.empty());
    EXPECT_EQ(1, trace.dataFreed);
    Pump();
    EXPECT_TRUE(trace.calls.empty());
    EXPECT_EQ(0u, server.database.GetResultCount());
}

TEST_F(ResultPumpTest, SessionClosedByAContinuationGoesAfterTheWalk)
{
    ClientData* newer = NewSession(7);
    uint32_t id = QueueSelect();
    ContinueChain(newer, id, CloseOther);
    ClientData* older = NewSession(6);   // its query is answered later
    ContinueChain(older, QueueSelect("SELECT SLEEP(0.3)"), Finish);
    SetCallbackData(older, new std::string("older"), FreeData);
    server.clients.swap(clients);   // CloseOther finds the session through the server
    PumpUntilCalled(server.clients);
    server.clients.swap(clients);
    EXPECT_EQ(0u, clients.count(6));    // erased once the walk was over
    EXPECT_EQ(1u, clients.count(7));
    EXPECT_EQ(1, trace.dataFreed);
    Pump();
    EXPECT_EQ(std::vector<std::string>{"CloseOther " + std::to_string(id)}, trace.calls);
    EXPECT_EQ(0u, server.database.GetResultCount());
}

} // namespace
