// Load abuse against the real server: twice as many connections as it may
// hold, clients that vanish in the middle of a login, and the server's
// memory after bursts of such clients. A well-behaved client keeps getting
// exact answers throughout.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "abusekit.h"
#include "loginmessages.h"
#include "serverfixture.h"
#include "testclient.h"
#include "testdb.h"
#include "testenv.h"

namespace {

const std::u16string kEmail = u"good@x";
// The account of the clients that vanish: a login closes the older
// connection of its account, so they must not share the good client's.
const std::u16string kGhostEmail = u"ghost@x";
// How much the server's resident size may move between two measurements
// while it holds nothing more; the address sanitizer's own bookkeeping moves
// more, and its leak check at exit covers the rest.
#if defined(__SANITIZE_ADDRESS__)
const long kResidentSlackKb = 4096;
#else
const long kResidentSlackKb = 1024;
#endif

// A sanitizer build reports leaks at exit, which shows in the status that
// TearDown checks.
class AbuseLoadTest : public FreshDatabaseServerTest {
protected:
    void SetUp() override
    {
        for (const std::u16string& email : {kEmail, kGhostEmail})
            db.Exec("INSERT INTO accounts(Email, CompHash) VALUES(" + SqlHex(WideBlock(email, 130)) + ", " +
                    SqlHex(std::vector<uint8_t>(32, 0)) + ")");
    }

    void ExpectClientId(TestClient& who, const std::string& what)
    {
        ExpectReply(who, Fields().Op(who, "P12B_REPLY").U32(0).bytes, what);
    }

    void GoodLogin(TestClient& who, uint32_t requestId)
    {
        ASSERT_TRUE(who.SendRaw(AccountLoginMessage(who, requestId, u"", kEmail).bytes));
        ExpectReply(who, Fields(DefaultAccountData(who, requestId)).Raw(LoginAnswerTail(who, requestId).bytes).bytes,
                    "login " + std::to_string(requestId));
    }

    // Starts the server so that its resident size tells what it uses.
    bool StartForMemoryCheck()
    {
#if defined(__SANITIZE_ADDRESS__)
        // The address sanitizer holds freed memory back; keep that small.
        std::string options = testenv::Get("ASAN_OPTIONS");
        setenv("ASAN_OPTIONS", (options + (options.empty() ? "" : ":") + "quarantine_size_mb=1").c_str(), 1);
#endif
        return server.Start();
    }

    // Every connection the server took before now has been accepted and
    // read: a newcomer, accepted after all of them, is answered.
    void WaitServerCaughtUp()
    {
        TestClient last(server.Dir());
        ASSERT_TRUE(last.Connect(server.LoginPort()));
        ASSERT_TRUE(last.Send("LS_CLIENT_ID", Fields().Zeros(4)));
        ExpectClientId(last, "newcomer");
    }
};

TEST_F(AbuseLoadTest, FloodOfTwiceMaxPlayersConnections)
{
    const int kMaxPlayers = 4;
    server.SetConfig("MaxPlayers", std::to_string(kMaxPlayers));
    ASSERT_TRUE(server.Start()) << server.Failure();

    // Connections beyond the limit wait in the listening queue, unserved.
    std::vector<std::unique_ptr<TestClient>> flood;
    for (int i = 0; i < 2 * kMaxPlayers; i++) {
        flood.push_back(std::make_unique<TestClient>(server.Dir()));
        ASSERT_TRUE(flood.back()->Connect(server.LoginPort()));
        ASSERT_TRUE(flood.back()->Send("LS_CLIENT_ID", Fields().Zeros(4)));
    }
    for (int i = 0; i < kMaxPlayers; i++)
        ExpectClientId(*flood[size_t(i)], "held connection " + std::to_string(i));
    for (int i = kMaxPlayers; i < 2 * kMaxPlayers; i++)
        EXPECT_TRUE(flood[size_t(i)]->ExpectNothing(100)) << "waiting connection " << i;

    // Each one that leaves lets the next waiting one in, in order.
    for (int i = 0; i < kMaxPlayers; i++) {
        flood[size_t(i)]->Close();
        ExpectClientId(*flood[size_t(kMaxPlayers + i)], "admitted connection " + std::to_string(i));
    }

    // A well-behaved client gets in once a place is free, and logs in.
    TestClient good(server.Dir());
    ASSERT_TRUE(good.Connect(server.LoginPort()));
    flood.back()->Close();
    GoodLogin(good, 1);

    // Connections that come and go at once, twice the limit over and over:
    // every place comes back.
    for (int round = 0; round < 20; round++) {
        for (int i = 0; i < 2 * kMaxPlayers; i++) {
            TestClient transient(server.Dir());
            ASSERT_TRUE(transient.Connect(server.LoginPort()));
        }
    }
    for (auto& held : flood)
        held->Close();
    GoodLogin(good, 2);
    std::vector<std::unique_ptr<TestClient>> again;
    for (int i = 0; i < kMaxPlayers - 1; i++) {
        again.push_back(std::make_unique<TestClient>(server.Dir()));
        ASSERT_TRUE(again.back()->Connect(server.LoginPort()));
        ASSERT_TRUE(again.back()->Send("LS_CLIENT_ID", Fields().Zeros(4)));
        ExpectClientId(*again.back(), "after the churn " + std::to_string(i));
    }
    GoodLogin(good, 3);
}

// One burst of clients that leave in the middle of a conversation: most
// send ACCOUNT_LOGIN and close at once, so the server is left with a query
// in flight for a client that is gone.
void VanishingBurst(ServerProcess& server, int count)
{
    for (int i = 0; i < count; i++) {
        TestClient vanishing(server.Dir());
        ASSERT_TRUE(vanishing.Connect(server.LoginPort()));
        switch (i % 5) {
        case 0:
        case 1:
            ASSERT_TRUE(vanishing.SendRaw(AccountLoginMessage(vanishing, uint32_t(i), u"", kGhostEmail).bytes));
            break;
        case 2:   // handshake, then a login cut short
            ASSERT_TRUE(vanishing.SendRaw(Fields().Op(vanishing, "CLIENT_SEED").Zeros(64)
                                              .Raw(AccountLoginMessage(vanishing, 1, u"pw", kGhostEmail).bytes)
                                              .bytes));
            break;
        case 3:   // an account creation for an e-mail that is taken
            ASSERT_TRUE(vanishing.SendRaw(CreateAccount(vanishing, uint32_t(i), kGhostEmail).bytes));
            break;
        case 4:   // a stuck message and noise
            ASSERT_TRUE(vanishing.SendRaw(Fields().Op(vanishing, "COMPUTER_USER").U16(101)
                                              .Zeros(3000).bytes));
            break;
        }
    }
}

TEST_F(AbuseLoadTest, ClientsVanishingMidLoginLeaveNoMemoryBehind)
{
    ASSERT_TRUE(StartForMemoryCheck()) << server.Failure();
    TestClient good(server.Dir());
    ASSERT_TRUE(good.Connect(server.LoginPort()));
    const int kBurst = 200;
    uint32_t requestId = 1;

    // Warm-up: the tables, buffers and allocator reach their working size.
    for (int i = 0; i < 2; i++) {
        VanishingBurst(server, kBurst);
        WaitServerCaughtUp();
        GoodLogin(good, requestId++);
    }
    long start = ResidentKb(server.Pid());
    ASSERT_GT(start, 0);

    const int kBursts = 8;
    for (int i = 0; i < kBursts; i++) {
        VanishingBurst(server, kBurst);
        WaitServerCaughtUp();
        GoodLogin(good, requestId++);
        if (HasFailure())
            return;
    }
    long end = ResidentKb(server.Pid());
    printf("server resident KiB: %ld after the warm-up, %ld after %d more bursts\n", start, end, kBursts);
    // 1600 clients that each left a login behind: a kilobyte kept per
    // client would show as well over the slack.
    EXPECT_LE(end, start + kResidentSlackKb) << "resident KiB went from " << start << " to " << end;
    EXPECT_TRUE(server.Running());
}

// 20,000 LS_REQUEST_RESPONSE: fewer bytes than the server buffers unread,
// asking for 400,000 bytes of answers.
std::vector<uint8_t> ManyRequests(const TestClient& who)
{
    Fields requests;
    for (uint32_t i = 0; i < 20000; i++)
        requests.Op(who, "LS_REQUEST_RESPONSE").U32(i);
    return requests.bytes;
}

TEST_F(AbuseLoadTest, ClientThatNeverReadsIsDroppedAndMemoryStaysBounded)
{
    ASSERT_TRUE(StartForMemoryCheck()) << server.Failure();
    TestClient good(server.Dir());
    ASSERT_TRUE(good.Connect(server.LoginPort()));
    GoodLogin(good, 1);
    std::vector<uint8_t> requests = ManyRequests(good);
    std::vector<uint8_t> answers;
    auto goodBatch = [&] { return good.SendRaw(requests) && good.Receive(20 * 20000, &answers); };
    ASSERT_TRUE(goodBatch());   // the good client's buffers reach their size
    long start = ResidentKb(server.Pid());

    // The deaf client asks again and again and reads nothing. After each of
    // its batches the good client asks as much and reads its answers: the
    // server handles one message of each client per poll, so by then it has
    // worked through the deaf client's batch, and the next one never
    // overfills the receive buffer. Sending fails once the server dropped it.
    TestClient deaf(server.Dir());
    ASSERT_TRUE(deaf.Connect(server.LoginPort(), true));
    const int kMostBatches = 40;   // 16 MB of answers
    int batches = 0;
    while (batches < kMostBatches && deaf.SendRaw(requests)) {
        batches++;
        ASSERT_TRUE(goodBatch()) << "batch " << batches;
    }
    EXPECT_LT(batches, kMostBatches);
    EXPECT_EQ(1u, CountInConsole(server, "Client dropped: too many bytes queued\n"));
    GoodLogin(good, 2);
    long end = ResidentKb(server.Pid());
    printf("server resident KiB: %ld before, %ld after %d batches\n", start, end, batches);
    EXPECT_LE(end, start + kResidentSlackKb) << "resident KiB went from " << start << " to " << end;
}

TEST_F(AbuseLoadTest, OutOfDescriptorsTheLoopRestsAndWaitingClientsAreServedLater)
{
    // Room for about two dozen clients besides the server's own files and
    // database connections; the rest wait in the listening queue.
    server.SetDescriptorLimit(40);
    ASSERT_TRUE(server.Start()) << server.Failure();
    std::vector<std::unique_ptr<TestClient>> clients;
    for (int i = 0; i < 60; i++) {
        clients.push_back(std::make_unique<TestClient>(server.Dir()));
        ASSERT_TRUE(clients.back()->Connect(server.LoginPort()));
        ASSERT_TRUE(clients.back()->Send("LS_CLIENT_ID", Fields().Zeros(4)));
    }
    const std::string line = "Out of descriptors: new connections wait.\n";
    ASSERT_TRUE(WaitUntil([&] { return CountInConsole(server, line) > 0; }));

    // While connections wait, the loop rests: a small share of one core.
    const double kWindowSeconds = 3;
    double cpuBefore = CpuSeconds(server.Pid());
    auto windowEnd = std::chrono::steady_clock::now() + std::chrono::duration<double>(kWindowSeconds);
    while (std::chrono::steady_clock::now() < windowEnd && server.Running())
        std::this_thread::sleep_until(windowEnd);
    double used = CpuSeconds(server.Pid()) - cpuBefore;
    printf("server CPU while out of descriptors: %.2f s in %.0f s\n", used, kWindowSeconds);
    EXPECT_LT(used, 0.25 * kWindowSeconds);

    // Each client that leaves frees a descriptor for one that waits, in order.
    for (size_t i = 0; i < clients.size(); i++) {
        ExpectClientId(*clients[i], "client " + std::to_string(i));
        clients[i]->Close();
    }
    EXPECT_EQ(1u, CountInConsole(server, line));
}

// A burst of one small message repeated, as many bytes as the server
// buffers unread.
std::vector<uint8_t> Burst(const Fields& message)
{
    Fields burst;
    while (burst.bytes.size() + message.bytes.size() <= 120 * 1024)
        burst.Raw(message.bytes);
    return burst.bytes;
}

// The server works bursts off one message per client per poll. Each message
// must cost about the same whatever is buffered behind it, or every poll,
// and so every other client's request and login, slows down with the
// bursts' size.
TEST_F(AbuseLoadTest, BurstsOfSmallMessagesLeaveALoginPrompt)
{
    ASSERT_TRUE(server.Start()) << server.Failure();
    TestClient good(server.Dir());
    ASSERT_TRUE(good.Connect(server.LoginPort()));
    GoodLogin(good, 1);
    std::vector<uint8_t> names = Burst(Fields().Op(good, "COMPUTER_USER").U16(0).U16(0));
    std::vector<uint8_t> keepAlives = Burst(Fields().Op(good, "KEEP_ALIVE").Zeros(4));
    std::vector<std::unique_ptr<TestClient>> bursting;
    for (int i = 0; i < 300; i++) {
        bursting.push_back(std::make_unique<TestClient>(server.Dir()));
        ASSERT_TRUE(bursting.back()->Connect(server.LoginPort()));
        ASSERT_TRUE(bursting.back()->SendRaw(i % 4 == 3 ? keepAlives : names));
    }
    // A hundred requests of the good client in one write are answered one
    // per poll, and a poll reads up to 2090 bytes of each client: by the
    // last answer every burst is buffered whole.
    Fields requests;
    for (int i = 0; i < 100; i++)
        requests.Op(good, "LS_CLIENT_ID").Zeros(4);
    std::vector<uint8_t> answers;
    auto answered = [&] { return good.SendRaw(requests.bytes) && good.Receive(100 * 6, &answers, 60000); };
    ASSERT_TRUE(answered());

    // A hundred more polls: the server's time for them is what each pass
    // over the bursting clients costs every other client. Its CPU time, not
    // the clock, so that a busy machine does not count.
    double cpuBefore = CpuSeconds(server.Pid());
    ASSERT_TRUE(answered());
    double used = CpuSeconds(server.Pid()) - cpuBefore;
    printf("server CPU for a hundred polls among the bursts: %.2f s\n", used);
    // A third of a second (a second under the sanitizers); a cost growing
    // with what is buffered made it about twenty times as much.
#if defined(__SANITIZE_ADDRESS__)
    EXPECT_LT(used, 4.0);
#else
    EXPECT_LT(used, 1.5);
#endif
    GoodLogin(good, 2);
}

} // namespace
