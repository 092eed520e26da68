#pragma once

// Fixtures of the end-to-end tests: the real server with one client
// connected to it, and the checks most of those tests make.
//
//   class LoginTest : public FreshDatabaseServerTest {};
//   TEST_F(LoginTest, Something)
//   {
//       AddAccount(db, AccountRow{u"a@b.c"});
//       StartServer();
//       ASSERT_TRUE(client.Send("LS_CLIENT_ID", Fields().Zeros(4)));
//       ExpectReply(client, Fields().Op(client, "P12B_REPLY").U32(0));
//   }

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "serverprocess.h"
#include "testclient.h"
#include "testdb.h"

// The server's database is chosen by the test (server.UseDatabase) before
// StartServer; TearDown expects the server to stop cleanly.
class ServerTest : public ::testing::Test {
protected:
    // Starts the server and connects client to it.
    void StartServer();
    void TearDown() override;

    // Receives exactly the expected bytes; what names them in a failure.
    void ExpectReply(TestClient& from, const Fields& expected);
    void ExpectReply(TestClient& from, const std::vector<uint8_t>& expected, const std::string& what = "");
    // Receives the STREAM_TERMINATOR of a request.
    void ExpectTerminator(TestClient& from, uint32_t requestId, uint32_t code);
    // The client is still served: LS_CLIENT_ID is answered.
    void ExpectStillServed(TestClient& who);
    // ACCOUNT_DATA carrying the installation's default interface data.
    Fields DefaultAccountData(const TestClient& who, uint32_t requestId);

    ServerProcess server;
    TestClient client{server.Dir()};
};

// ServerTest on a throwaway database of its own.
class FreshDatabaseServerTest : public ServerTest {
protected:
    FreshDatabaseServerTest() { server.UseDatabase(db); }

    FreshDatabase db;
};
