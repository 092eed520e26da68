// Hostile framing against the real server over loopback: every message cut
// in two at every byte, truncated and over-long messages, unknown message
// numbers, requests in the wrong state, and clients that send one byte at a
// time. A well-behaved client keeps getting exact answers throughout.

#include <atomic>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "abusekit.h"
#include "loginmessages.h"
#include "serverfixture.h"
#include "testclient.h"
#include "testdb.h"

namespace {

const std::u16string kEmail = u"good@x";
const std::u16string kOtherEmail = u"other@x";
// Clients that send a byte at a time, each with an account of its own (a
// login closes the older connection of the same account).
const int kSlowClients = 6;
std::u16string SlowEmail(int i) { return u"slow" + std::u16string(1, char16_t(u'0' + i)) + u"@x"; }

class AbuseFramingTest : public FreshDatabaseServerTest {
protected:
    void SetUp() override
    {
        for (int i = 0; i < kSlowClients; i++)
            db.Exec("INSERT INTO accounts(Email, CompHash) VALUES(" + SqlHex(WideBlock(SlowEmail(i), 130)) + ", " +
                    SqlHex(std::vector<uint8_t>(32, 0)) + ")");
        // Two accounts without a password or characters, CompHash already
        // what a login without COMPUTER_USER stores.
        for (const std::u16string& email : {kEmail, kOtherEmail})
            db.Exec("INSERT INTO accounts(Email, CompHash) VALUES(" + SqlHex(WideBlock(email, 130)) + ", " +
                    SqlHex(std::vector<uint8_t>(32, 0)) + ")");
        StartServer();
    }

    // LS_REQUEST_RESPONSE and its 20-byte answer: a probe that shows where
    // the stream stands.
    Fields Probe(TestClient& who, uint32_t requestId) { return Fields().Op(who, "LS_REQUEST_RESPONSE").U32(requestId); }
    std::vector<uint8_t> ProbeAnswer(TestClient& who, uint32_t requestId)
    {
        return Fields().Op(who, "LS_SEND_RESPONSE").U32(requestId).U32(1)
            .Raw(StreamTerminator(who, requestId, 0).bytes).bytes;
    }

    void ExpectStillServed(TestClient& who, uint32_t requestId = 77)
    {
        ASSERT_TRUE(who.SendRaw(Probe(who, requestId).bytes));
        ExpectReply(who, ProbeAnswer(who, requestId), "probe");
    }

    // Holds the login tables locked from a connection of its own (null when
    // it cannot): a request that reads them stays pending until UNLOCK TABLES.
    MYSQL* LockTables()
    {
        MYSQL* lock = ConnectToTestServer(db.Name());
        if (lock)
            ExecSql(lock, "LOCK TABLES accounts WRITE, characters WRITE");
        return lock;
    }

    // Sends a request of the client and returns once the server has handled
    // it (its dispatch trace is on the console).
    void SendHandled(const std::vector<uint8_t>& request, const std::string& name)
    {
        const std::string trace = "Login Server Pck: " + name + "\n";
        size_t before = CountInConsole(server, trace);
        ASSERT_TRUE(client.SendRaw(request));
        ASSERT_TRUE(WaitUntil([&] { return CountInConsole(server, trace) == before + 1; }));
    }

    std::vector<uint8_t> GoodLoginAnswer(TestClient& who, uint32_t requestId)
    {
        return Fields(DefaultAccountData(who, requestId)).Raw(LoginAnswerTail(who, requestId).bytes).bytes;
    }

    // The well-behaved client: a full login with the exact answer.
    void GoodLogin(TestClient& who, uint32_t requestId)
    {
        ASSERT_TRUE(who.SendRaw(AccountLoginMessage(who, requestId, u"", kEmail).bytes));
        ExpectReply(who, GoodLoginAnswer(who, requestId), "login");
    }
};

struct Exchange {
    std::string name;
    std::vector<uint8_t> request;
    std::vector<uint8_t> answer;   // what the request alone gets back
};

TEST_F(AbuseFramingTest, EveryHandshakeMessageCutAnywhereGetsTheAnswerOfTheWholeOne)
{
    const uint32_t version = 0x0A0B0C0D;
    std::vector<Exchange> exchanges = {
        {"CLIENT_SEED", Fields().Op(client, "CLIENT_SEED").Zeros(64).bytes,
         Fields().Op(client, "SERVER_SEED").Zeros(20).bytes},
        {"CLIENT_VERSION", Fields().Op(client, "CLIENT_VERSION").U16(0xFFFF).U32(version).Zeros(8).bytes, {}},
        {"COMPUTER_USER", Fields().Op(client, "COMPUTER_USER").Wide(u"player1").Wide(u"desktop").bytes, {}},
        {"LS_COMPUTER_HASH", Fields().Op(client, "LS_COMPUTER_HASH").Zeros(20).bytes,
         Fields().Op(client, "COMPUTER_INFO_REPLY").U32(23894).U32(0).bytes},
        {"LS_CLIENT_ID", Fields().Op(client, "LS_CLIENT_ID").U32(0xFFFFFFFF).bytes,
         Fields().Op(client, "P12B_REPLY").U32(0).bytes},
        {"KEEP_ALIVE", Fields().Op(client, "KEEP_ALIVE").Zeros(4).bytes, {}},
        {"EXIT_GAME", Fields().Op(client, "EXIT_GAME").U16(9).Zeros(2).bytes, {}},
        {"ACCOUNT_LOGOUT", Fields().Op(client, "ACCOUNT_LOGOUT").Zeros(4).bytes, {}},
        {"LS_COMPUTER_HARDWARE", Fields().Op(client, "LS_COMPUTER_HARDWARE").U16(7).Zeros(23).bytes, {}},
        {"LS_REQUEST_RESPONSE", Probe(client, 0x5150).bytes, ProbeAnswer(client, 0x5150)},
    };
    uint32_t probeId = 1000;
    size_t sends = 0;
    for (const Exchange& exchange : exchanges) {
        for (size_t cut = 0; cut < exchange.request.size(); cut++) {
            // Cut 0 sends the message whole. A probe behind it shows that
            // the message took exactly its own bytes.
            if (cut == 0)
                ASSERT_TRUE(client.SendRaw(exchange.request));
            else
                ASSERT_TRUE(SendSplit(client, exchange.request, cut));
            ASSERT_TRUE(client.SendRaw(Probe(client, ++probeId).bytes));
            std::vector<uint8_t> expected = exchange.answer;
            std::vector<uint8_t> probe = ProbeAnswer(client, probeId);
            expected.insert(expected.end(), probe.begin(), probe.end());
            ExpectReply(client, expected, exchange.name + " cut at " + std::to_string(cut));
            if (HasFailure())
                return;
            if (exchange.name == "CLIENT_VERSION")
                sends++;
        }
    }
    EXPECT_TRUE(client.ExpectNothing());
    // Each CLIENT_VERSION was handled once, with its own version.
    EXPECT_EQ(sends, CountInConsole(server, "Client v168496141 connected.\n"));
}

TEST_F(AbuseFramingTest, UpdateCheckCutAnywhereIsAnsweredOnce)
{
    std::string file = ReadFileText(server.Dir() + "/Data/Packets/NoUpdateAvailable");
    std::vector<uint8_t> answer(file.begin(), file.begin() + 28);
    std::vector<uint8_t> check = Fields().U16(1).Zeros(19).bytes;
    for (size_t cut = 1; cut < check.size(); cut++) {
        TestClient fresh(server.Dir());
        ASSERT_TRUE(fresh.Connect(server.LoginPort()));
        ASSERT_TRUE(SendSplit(fresh, check, cut));
        std::vector<uint8_t> reply;
        // The first byte alone is no message: the check is answered once,
        // whichever part the server saw first.
        ASSERT_TRUE(fresh.Receive(28, &reply)) << "cut at " << cut;
        EXPECT_EQ(HexBytes(answer), HexBytes(reply)) << "cut at " << cut;
        ExpectStillServed(fresh);
    }
    ExpectStillServed(client);
}

TEST_F(AbuseFramingTest, UnknownMessageNumbersAreDroppedAndTheClientGoesOn)
{
    std::set<std::vector<uint8_t>> known;
    for (const char* name : {"CLIENT_SEED", "CLIENT_VERSION", "ACCOUNT_LOGIN", "ACCOUNT_LOGOUT",
                             "ACCOUNT_DATA_FROM_CC", "PLAYCREATE_CHARACTER", "CHARACTER_DELETE",
                             "CHARACTER_PLAYNAME", "COMPUTER_USER", "KEEP_ALIVE", "LS_CLIENT_ID",
                             "CREATE_ACCOUNT", "LS_COMPUTER_HARDWARE", "EXIT_GAME", "LAST_CHARACTER_INFO",
                             "LS_COMPUTER_HASH", "LS_REQUEST_RESPONSE"})
        known.insert(client.Opcode(name));
    // The first message ends the update-check phase.
    ASSERT_TRUE(client.Send("KEEP_ALIVE", Fields().Zeros(4)));
    // Numbers around the real ones, the reply numbers sent back, the edges.
    std::vector<uint16_t> numbers = {0x0000, 0x0001, 0xFFFF, 0x8000, 0x7FFF};
    for (uint32_t low = 0; low < 0x20; low++) {
        numbers.push_back(uint16_t(0xC0 | (low << 8)));
        numbers.push_back(uint16_t(0xD0 | (low << 8)));
        numbers.push_back(uint16_t(0x01C0 | low));   // the bytes the wrong way round
    }
    size_t sent = 0;
    for (uint16_t number : numbers) {
        std::vector<uint8_t> message = Fields().U16(number).Zeros(number % 40).bytes;
        if (known.count({message[0], message[1]}))
            continue;
        ASSERT_TRUE(client.SendRaw(message));
        sent++;
    }
    EXPECT_GT(sent, 80u);
    EXPECT_TRUE(client.ExpectNothing());
    ExpectStillServed(client);
    GoodLogin(client, 3);
}

TEST_F(AbuseFramingTest, TruncatedMessagesWaitAndHoldUpOnlyTheirSender)
{
    // Each message stops short; the sender gets nothing, the good client is
    // served, and the rest of the message completes it.
    struct Truncated {
        std::vector<uint8_t> message;
        std::vector<uint8_t> answer;
    };
    std::vector<Truncated> messages = {
        {Fields().Op(client, "CLIENT_SEED").Zeros(64).bytes, Fields().Op(client, "SERVER_SEED").Zeros(20).bytes},
        {Fields().Op(client, "CLIENT_VERSION").Zeros(14).bytes, {}},
        {Fields().Op(client, "COMPUTER_USER").Wide(u"user").Wide(u"machine").bytes, {}},
        {Fields().Op(client, "LS_COMPUTER_HARDWARE").U16(3000).Zeros(3016).bytes, {}},
        {Fields().Op(client, "LS_COMPUTER_HASH").Zeros(20).bytes,
         Fields().Op(client, "COMPUTER_INFO_REPLY").U32(23894).U32(0).bytes},
    };
    std::vector<std::unique_ptr<TestClient>> senders;
    for (const auto& truncated : messages) {
        const std::vector<uint8_t>& message = truncated.message;
        senders.push_back(std::make_unique<TestClient>(server.Dir()));
        ASSERT_TRUE(senders.back()->Connect(server.LoginPort()));
        ASSERT_TRUE(senders.back()->SendRaw(std::vector<uint8_t>(message.begin(), message.end() - 1)));
    }
    GoodLogin(client, 11);
    for (size_t i = 0; i < messages.size(); i++) {
        TestClient& sender = *senders[i];
        EXPECT_TRUE(sender.ExpectNothing(100)) << "message " << i;
        uint32_t requestId = uint32_t(100 + i);
        ASSERT_TRUE(sender.SendRaw(Fields().U8(messages[i].message.back()).Raw(Probe(sender, requestId).bytes).bytes));
        std::vector<uint8_t> expected = messages[i].answer;
        std::vector<uint8_t> probe = ProbeAnswer(sender, requestId);
        expected.insert(expected.end(), probe.begin(), probe.end());
        ExpectReply(sender, expected, "completed message " + std::to_string(i));
    }
    // Truncated and then abandoned: the server lets them go.
    for (const auto& truncated : messages) {
        const std::vector<uint8_t>& message = truncated.message;
        TestClient quitter(server.Dir());
        ASSERT_TRUE(quitter.Connect(server.LoginPort()));
        ASSERT_TRUE(quitter.SendRaw(std::vector<uint8_t>(message.begin(), message.begin() + 3)));
    }
    GoodLogin(client, 12);
}

TEST_F(AbuseFramingTest, OverlongMessagesNeverHurtAnotherClient)
{
    // Over-long counts, each on its own connection, answered as refusals
    // or dropped; none may crash the server or reach another client.
    struct Case {
        std::string name;
        std::vector<uint8_t> bytes;
        std::vector<uint8_t> answer;
    };
    std::vector<Case> cases = {
        {"login with huge counts",
         Fields().Op(client, "ACCOUNT_LOGIN").U32(31).U8(255).U8(0).Zeros(22).U16(60000).Zeros(3000).bytes,
         StreamTerminator(client, 31, 21).bytes},
        {"creation with a huge e-mail",
         Fields().Op(client, "CREATE_ACCOUNT").U32(32).U16(5000).Zeros(1000).bytes,
         StreamTerminator(client, 32, 46).bytes},
        {"user name over 100 units", Fields().Op(client, "COMPUTER_USER").U16(101).Zeros(202).U16(0).bytes, {}},
        {"computer name over 100 units",
         Fields().Op(client, "COMPUTER_USER").Wide(u"a").U16(0xFFFF).Zeros(500).bytes, {}},
    };
    for (const Case& c : cases) {
        TestClient hostile(server.Dir());
        ASSERT_TRUE(hostile.Connect(server.LoginPort()));
        ASSERT_TRUE(hostile.SendRaw(c.bytes));
        if (!c.answer.empty())
            ExpectReply(hostile, c.answer, c.name);
        GoodLogin(client, 40);
    }

    // The largest legal message, whole, keeps the stream in step.
    TestClient large(server.Dir());
    ASSERT_TRUE(large.Connect(server.LoginPort()));
    ASSERT_TRUE(large.SendRaw(Fields().Op(large, "LS_COMPUTER_HARDWARE").U16(65535).Zeros(65551).bytes));
    ExpectStillServed(large, 41);

    // Far more than any message, behind a message that is dropped: the
    // server never buffers more than one message's worth.
    TestClient flooder(server.Dir());
    ASSERT_TRUE(flooder.Connect(server.LoginPort()));
    ASSERT_TRUE(flooder.Send("COMPUTER_USER", Fields().U16(101)));
    std::vector<uint8_t> junk(64 * 1024, 0x5A);
    for (int i = 0; i < 16; i++)
        if (!flooder.SendRaw(junk))
            break;   // the server may drop such a client
    GoodLogin(client, 42);
    EXPECT_TRUE(server.Running());
}

TEST_F(AbuseFramingTest, SlowClientsByteByByteGetExactAnswers)
{
    std::atomic<int> done{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kSlowClients; i++) {
        threads.emplace_back([this, i, &done] {
            TestClient slow(server.Dir());
            ASSERT_TRUE(slow.Connect(server.LoginPort()));
            uint32_t requestId = uint32_t(500 + i);
            Fields requests = Fields()
                                  .Op(slow, "CLIENT_SEED").Zeros(64)
                                  .Op(slow, "COMPUTER_USER").Wide(u"slow").Wide(u"box")
                                  .Op(slow, "LS_CLIENT_ID").Zeros(4)
                                  .Raw(Probe(slow, requestId).bytes);
            ASSERT_TRUE(SendByteByByte(slow, requests.bytes));
            std::vector<uint8_t> expected = Fields().Op(slow, "SERVER_SEED").Zeros(20)
                                                .Op(slow, "P12B_REPLY").U32(0).bytes;
            std::vector<uint8_t> probe = ProbeAnswer(slow, requestId);
            expected.insert(expected.end(), probe.begin(), probe.end());
            ExpectReply(slow, expected, "slow client");
            // Then a login, a byte at a time: the whole answer, exact.
            ASSERT_TRUE(SendByteByByte(slow, AccountLoginMessage(slow, requestId, u"", SlowEmail(i)).bytes));
            ExpectReply(slow, GoodLoginAnswer(slow, requestId), "slow login");
            done++;
        });
    }
    // Meanwhile the well-behaved client logs in again and again.
    uint32_t requestId = 1;
    while (done < kSlowClients && requestId < 10000 && !HasFailure())
        GoodLogin(client, requestId++);
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(kSlowClients, done.load());
    GoodLogin(client, requestId);
}


TEST_F(AbuseFramingTest, EveryLoginRequestCutAnywhereGetsTheAnswerOfTheWholeOne)
{
    // Requests that take the whole receive buffer: nothing may follow them,
    // so each answer is awaited before the next request.
    auto check = [this](const std::string& what, const std::vector<uint8_t>& request,
                        const std::vector<uint8_t>& answer, size_t lastCut) {
        for (size_t cut = 0; cut <= lastCut && cut < request.size(); cut++) {
            if (cut == 0)
                ASSERT_TRUE(client.SendRaw(request));
            else
                ASSERT_TRUE(SendSplit(client, request, cut));
            ExpectReply(client, answer, what + " cut at " + std::to_string(cut));
            if (HasFailure())
                return;
        }
    };
    const std::u16string name = u"Nobody";
    check("deletion before login", CharacterDelete(client, 61, name).bytes,
          StreamTerminator(client, 61, 24).bytes, SIZE_MAX);
    check("creation of a taken e-mail", CreateAccount(client, 62, kOtherEmail).bytes,
          StreamTerminator(client, 62, 105).bytes, SIZE_MAX);
    check("login", AccountLoginMessage(client, 63, u"pw", kEmail).bytes, GoodLoginAnswer(client, 63), SIZE_MAX);
    check("deletion of no character", CharacterDelete(client, 64, name).bytes,
          StreamTerminator(client, 64, 46).bytes, SIZE_MAX);
    // Interface data has no length of its own: it is all that has arrived
    // once its 10-byte head is there, so only cuts within the head are
    // defined (a cut right after it is a message of no data).
    std::vector<uint8_t> data(40);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = uint8_t(0xE0 + i);
    check("interface data", AccountDataFromClient(client, 65, data).bytes,
          StreamTerminator(client, 65, 0).bytes, 9);
    ExpectStillServed(client);
    // Every cut stored the same 40 bytes.
    std::string stored(data.begin(), data.end());
    EXPECT_TRUE(WaitUntil([&] {
        return db.Value("SELECT InterfaceData FROM accounts WHERE Email=" + SqlHex(WideBlock(kEmail, 130))) ==
               stored;
    }));
}

TEST_F(AbuseFramingTest, RequestsInTheWrongState)
{
    // Deletion and interface data before any login.
    ASSERT_TRUE(client.SendRaw(CharacterDelete(client, 71, u"Ann").bytes));
    ExpectReply(client, StreamTerminator(client, 71, 24).bytes, "deletion before login");
    ASSERT_TRUE(client.SendRaw(AccountDataFromClient(client, 72, std::vector<uint8_t>(20, 1)).bytes));
    EXPECT_TRUE(client.ExpectNothing());
    ExpectStillServed(client);

    // After a logout the session may not delete either.
    GoodLogin(client, 73);
    ASSERT_TRUE(client.Send("ACCOUNT_LOGOUT", Fields().Zeros(4)));
    ASSERT_TRUE(client.SendRaw(CharacterDelete(client, 74, u"Ann").bytes));
    ExpectReply(client, StreamTerminator(client, 74, 24).bytes, "deletion after logout");

    // A second login while the first still waits for the database: the
    // table is held locked, so the first one is surely pending. Only the
    // second is answered, whole and exact.
    MYSQL* lock = LockTables();
    ASSERT_NE(nullptr, lock);
    SendHandled(AccountLoginMessage(client, 75, u"", kEmail).bytes, "ACCOUNT_LOGIN");
    SendHandled(AccountLoginMessage(client, 76, u"", kEmail).bytes, "ACCOUNT_LOGIN");
    ExecSql(lock, "UNLOCK TABLES");
    mysql_close(lock);
    ExpectReply(client, GoodLoginAnswer(client, 76), "second login");
    ExpectStillServed(client, 77);
    EXPECT_TRUE(client.ExpectNothing());
}

TEST_F(AbuseFramingTest, RequestsRefusedAtOnceLeaveAPendingAnswerItsOwnRequestId)
{
    GoodLogin(client, 80);   // a deletion is looked at only when logged in
    const Exchange pending[] = {
        {"ACCOUNT_LOGIN", AccountLoginMessage(client, 81, u"", kEmail).bytes, GoodLoginAnswer(client, 81)},
        {"CREATE_ACCOUNT", CreateAccount(client, 82, kOtherEmail).bytes, StreamTerminator(client, 82, 105).bytes},
        {"CHARACTER_DELETE", CharacterDelete(client, 83, u"Nobody").bytes, StreamTerminator(client, 83, 46).bytes},
    };
    const std::u16string overlong(66, u'k');
    uint32_t refusedId = 90;
    for (const Exchange& chain : pending) {
        // The tables are held locked: the chain surely waits while requests
        // that need no database are refused.
        MYSQL* lock = LockTables();
        ASSERT_NE(nullptr, lock);
        SendHandled(chain.request, chain.name);
        const Exchange refused[] = {
            {"overlong login e-mail", AccountLoginMessage(client, refusedId, u"", overlong).bytes,
             StreamTerminator(client, refusedId, 21).bytes},
            {"overlong new e-mail", CreateAccount(client, refusedId + 1, overlong).bytes,
             StreamTerminator(client, refusedId + 1, 46).bytes},
            {"overlong name", CharacterDelete(client, refusedId + 2, overlong.substr(0, 31)).bytes,
             StreamTerminator(client, refusedId + 2, 46).bytes},
        };
        for (const Exchange& refusal : refused) {
            ASSERT_TRUE(client.SendRaw(refusal.request));
            ExpectReply(client, refusal.answer, refusal.name + " while " + chain.name + " waits");
        }
        refusedId += 3;
        ExecSql(lock, "UNLOCK TABLES");
        mysql_close(lock);
        ExpectReply(client, chain.answer, chain.name);
    }
    EXPECT_TRUE(client.ExpectNothing());
}

} // namespace
