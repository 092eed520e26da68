#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "loopback.h"
#include "loopwait.h"
#include "nl.h"

namespace {

class NlTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(nlInit());
        ASSERT_TRUE(nlSelectNetwork(NL_IP));
        NLaddress local;
        ASSERT_TRUE(nlStringToAddr("127.0.0.1", &local));
        nlSetLocalAddr(&local);
        listener = nlOpen(0, NL_RELIABLE);
        ASSERT_NE(listener, NL_INVALID);
        ASSERT_TRUE(nlListen(listener));
        port = nlGetLocalPort(listener);
        ASSERT_NE(port, 0);
        group = nlGroupCreate();
        ASSERT_NE(group, NL_INVALID);
    }
    void TearDown() override { nlShutdown(); }

    // Accepts one connection, waiting at most two seconds for it.
    NLsocket AcceptOne()
    {
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (std::chrono::steady_clock::now() < until) {
            NLsocket s = nlAcceptConnection(listener);
            if (s != NL_INVALID)
                return s;
            usleep(1000);
        }
        return NL_INVALID;
    }

    // Read-polls the group until it reports something (two seconds at most).
    std::vector<NLsocket> PollReadable()
    {
        std::vector<NLsocket> ready(64);
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (std::chrono::steady_clock::now() < until) {
            NLint n = nlPollGroup(group, NL_READ_STATUS, ready.data(), (NLint)ready.size(), 0);
            if (n > 0) {
                ready.resize((size_t)n);
                return ready;
            }
            usleep(1000);
        }
        return {};
    }

    NLsocket listener = NL_INVALID;
    NLint group = NL_INVALID;
    uint16_t port = 0;
};

TEST(NlAddress, ParsesNumericAddressesOnly)
{
    NLaddress address;
    ASSERT_TRUE(nlStringToAddr("10.1.2.3:8080", &address));
    EXPECT_TRUE(address.valid);
    EXPECT_EQ(address.host, htonl(0x0A010203));
    EXPECT_EQ(address.port, 8080);
    ASSERT_TRUE(nlStringToAddr("0.0.0.0", &address));
    EXPECT_EQ(address.port, 0);
    // Leading zeros are decimal digits, never an octal prefix.
    ASSERT_TRUE(nlStringToAddr("127.000.000.001", &address));
    EXPECT_EQ(address.host, htonl(0x7F000001));
    ASSERT_TRUE(nlStringToAddr("010.1.2.3:08080", &address));
    EXPECT_EQ(address.host, htonl(0x0A010203));
    EXPECT_EQ(address.port, 8080);

    const char* bad[] = {"", "not.an.ip", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1.2.3.4:", "1.2.3.4:70000",
                         "1.2.3.4 ", "localhost", "1..2.3", "1.2.3.0004", ".1.2.3", "1.2.3.4:000080",
                         "1.2.3.4:80x"};
    for (const char* text : bad) {
        EXPECT_FALSE(nlStringToAddr(text, &address)) << text;
        EXPECT_FALSE(address.valid) << text;
        EXPECT_EQ(nlGetError(), (NLenum)NL_BAD_ADDR);
    }
    EXPECT_FALSE(nlStringToAddr(nullptr, &address));
}

TEST_F(NlTest, InvalidBindAddressMakesOpenFail)
{
    NLaddress address;
    nlStringToAddr("999.0.0.1", &address);
    nlSetLocalAddr(&address);
    EXPECT_EQ(nlOpen(0, NL_RELIABLE), NL_INVALID);
    EXPECT_EQ(nlGetError(), (NLenum)NL_BAD_ADDR);
}

TEST_F(NlTest, HandlesAreNeverReusedAndStaleOnesDoNothing)
{
    int peer = ConnectTo(port);
    ASSERT_GE(peer, 0);
    NLsocket first = AcceptOne();
    ASSERT_NE(first, NL_INVALID);
    ASSERT_TRUE(nlClose(first));
    close(peer);

    int peer2 = ConnectTo(port);
    NLsocket second = AcceptOne();
    ASSERT_NE(second, NL_INVALID);
    EXPECT_GT(second, first);

    char byte = 'x';
    EXPECT_EQ(nlWrite(first, &byte, 1), NL_INVALID);
    EXPECT_EQ(nlGetError(), (NLenum)NL_INVALID_SOCKET);
    EXPECT_FALSE(nlClose(first));
    EXPECT_EQ(nlWrite(second, &byte, 1), 1);   // the live one is untouched
    char got = 0;
    EXPECT_EQ(recv(peer2, &got, 1, 0), 1);
    EXPECT_EQ(got, 'x');

    EXPECT_FALSE(nlGroupDestroy(NL_INVALID));
    EXPECT_FALSE(nlClose(NL_INVALID));
    close(peer2);
}

TEST_F(NlTest, AcceptWithNothingWaitingReturnsAtOnce)
{
    EXPECT_EQ(nlAcceptConnection(listener), NL_INVALID);
    EXPECT_EQ(nlGetError(), (NLenum)NL_NO_PENDING);
    NLsocket notListening = nlOpen(0, NL_RELIABLE);
    EXPECT_EQ(nlAcceptConnection(notListening), NL_INVALID);
    EXPECT_EQ(nlGetError(), (NLenum)NL_NOT_LISTEN);
}

TEST_F(NlTest, ReadPollReportsDataCloseAndResetAsReadable)
{
    int a = ConnectTo(port), b = ConnectTo(port), c = ConnectTo(port);
    NLsocket sa = AcceptOne(), sb = AcceptOne(), sc = AcceptOne();
    ASSERT_NE(sc, NL_INVALID);
    for (NLsocket s : {sa, sb, sc})
        ASSERT_TRUE(nlGroupAddSocket(group, s));

    NLsocket ready[8];
    EXPECT_EQ(nlPollGroup(group, NL_READ_STATUS, ready, 8, 0), 0);   // idle: nothing
    char buffer[16];
    EXPECT_EQ(nlRead(sa, buffer, sizeof buffer), 0);                 // no data yet is not an error

    // Made ready in reverse order, reported in group insertion order.
    ResetAndClose(c);
    close(b);
    ASSERT_EQ(send(a, "hi", 2, 0), 2);
    std::vector<NLsocket> got;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (got.size() < 3 && std::chrono::steady_clock::now() < until)
        got = PollReadable();
    ASSERT_EQ(got, (std::vector<NLsocket>{sa, sb, sc}));

    EXPECT_EQ(nlRead(sa, buffer, sizeof buffer), 2);
    EXPECT_EQ(nlRead(sb, buffer, sizeof buffer), NL_INVALID);
    EXPECT_EQ(nlGetError(), (NLenum)NL_MESSAGE_END);
    EXPECT_EQ(nlRead(sc, buffer, sizeof buffer), NL_INVALID);
    EXPECT_EQ(nlGetError(), (NLenum)NL_SOCK_DISCONNECT);
    EXPECT_STRNE(nlGetErrorStr(nlGetError()), "");

    // A deleted or closed member is no longer reported.
    ASSERT_TRUE(nlGroupDeleteSocket(group, sb));
    EXPECT_FALSE(nlGroupDeleteSocket(group, sb));
    nlClose(sc);
    EXPECT_EQ(nlPollGroup(group, NL_READ_STATUS, ready, 8, 0), 0);
    close(a);
}

TEST_F(NlTest, WritePollReportsWritableMembers)
{
    int a = ConnectTo(port);
    NLsocket sa = AcceptOne();
    ASSERT_TRUE(nlGroupAddSocket(group, sa));
    NLsocket ready[4];
    EXPECT_EQ(nlPollGroup(group, NL_WRITE_STATUS, ready, 4, 0), 1);
    EXPECT_EQ(ready[0], sa);
    EXPECT_EQ(nlPollGroup(group, 0x1234, ready, 4, 0), NL_INVALID);
    EXPECT_EQ(nlPollGroup(NL_INVALID, NL_READ_STATUS, ready, 4, 0), NL_INVALID);
    close(a);
}

// Writes never block and never raise SIGPIPE: a full peer gives partial
// writes and then 0; a reset peer gives an error, and the process lives.
TEST_F(NlTest, WritesNeverBlockNorSignal)
{
    int peer = ConnectTo(port);
    NLsocket s = AcceptOne();
    std::vector<char> chunk(1 << 20, 'z');
    long total = 0;
    NLint n = 0;
    int rounds = 0;
    while ((n = nlWrite(s, chunk.data(), (NLint)chunk.size())) > 0 && ++rounds < 1000)
        total += n;
    EXPECT_EQ(n, 0);
    EXPECT_GT(total, 0);

    ResetAndClose(peer);
    usleep(10000);
    NLint result = 0;
    for (int i = 0; i < 100 && result >= 0; ++i)
        result = nlWrite(s, chunk.data(), 100);
    EXPECT_EQ(result, NL_INVALID);
    EXPECT_EQ(nlGetError(), (NLenum)NL_SOCK_DISCONNECT);
}

// Descriptors above 1024 work: no select() anywhere.
TEST_F(NlTest, DescriptorsAboveFdSetSizeWork)
{
    rlimit limit;
    getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur < 1200) {
        limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 2048);
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    if (limit.rlim_cur < 1200)
        GTEST_SKIP() << "descriptor limit too low";
    std::vector<int> fillers;
    int probe = open("/dev/null", O_RDONLY);
    while (probe >= 0 && probe < 1100) {
        fillers.push_back(probe);
        probe = open("/dev/null", O_RDONLY);
    }
    fillers.push_back(probe);

    int peer = ConnectTo(port);
    ASSERT_GT(peer, 1024);
    NLsocket s = AcceptOne();
    ASSERT_NE(s, NL_INVALID);
    ASSERT_TRUE(nlGroupAddSocket(group, s));
    ASSERT_EQ(send(peer, "abc", 3, 0), 3);
    EXPECT_EQ(PollReadable(), std::vector<NLsocket>{s});
    char buffer[8];
    EXPECT_EQ(nlRead(s, buffer, sizeof buffer), 3);
    close(peer);
    for (int fd : fillers)
        close(fd);
}

// The pause between polls: it ends on a member's input, on a waiting
// connection or on a signal, and otherwise when its time-out has passed.
// The reason is asserted, never the time taken.
const NLint kLongWait = 10000;   // never reached when the wait works

// Drops a signal that an earlier test may have left raised.
void ConsumeSignal()
{
    nlWaitForInput(nullptr, 0, nullptr, 0, 0);
}

TEST_F(NlTest, WaitEndsOnItsTimeOutWhenNothingHappens)
{
    int peer = ConnectTo(port);
    NLsocket s = AcceptOne();
    ASSERT_TRUE(nlGroupAddSocket(group, s));
    ConsumeSignal();
    EXPECT_EQ(nlWaitForInput(&group, 1, &listener, 1, 20), 0);   // a silent member, nobody connecting
    close(peer);
}

TEST_F(NlTest, WaitEndsWhenAMemberHasInputAndLeavesItThere)
{
    int peer = ConnectTo(port);
    NLsocket s = AcceptOne();
    ASSERT_TRUE(nlGroupAddSocket(group, s));
    ConsumeSignal();
    ASSERT_EQ(send(peer, "hi", 2, 0), 2);
    EXPECT_EQ(nlWaitForInput(&group, 1, &listener, 1, kLongWait), NL_WAKE_INPUT);
    EXPECT_EQ(nlWaitForInput(&group, 1, &listener, 1, kLongWait), NL_WAKE_INPUT);   // not consumed
    char buffer[8];
    EXPECT_EQ(nlRead(s, buffer, sizeof buffer), 2);
    EXPECT_EQ(nlWaitForInput(&group, 1, &listener, 1, 0), 0);
    close(peer);
}

TEST_F(NlTest, WaitEndsWhenAConnectionWaitsUnlessTheListenerIsLeftOut)
{
    ConsumeSignal();
    int peer = ConnectTo(port);
    EXPECT_EQ(nlWaitForInput(&group, 1, &listener, 1, kLongWait), NL_WAKE_INPUT);
    NLsocket none = NL_INVALID;   // a full server leaves its listener out
    EXPECT_EQ(nlWaitForInput(&group, 1, &none, 1, 0), 0);
    close(peer);
}

TEST_F(NlTest, WaitEndsOnASignalFromAnotherThreadAndConsumesIt)
{
    ConsumeSignal();
    std::thread worker([] { nlSignalWake(); });
    // Raised before or during the wait: either way the wait sees it.
    EXPECT_EQ(nlWaitForInput(&group, 1, &listener, 1, kLongWait), NL_WAKE_SIGNAL);
    worker.join();
    EXPECT_EQ(nlWaitForInput(&group, 1, &listener, 1, 0), 0);

    nlSignalWake();
    nlSignalWake();
    EXPECT_EQ(nlWaitForInput(&group, 1, &listener, 1, kLongWait), NL_WAKE_SIGNAL);
    EXPECT_EQ(nlWaitForInput(&group, 1, &listener, 1, 0), 0);   // one wait takes both

    int peer = ConnectTo(port);
    nlSignalWake();
    EXPECT_EQ(nlWaitForInput(&group, 1, &listener, 1, kLongWait), NL_WAKE_INPUT | NL_WAKE_SIGNAL);
    close(peer);
}

TEST_F(NlTest, WaitSkipsUnknownHandlesAndRejectsMissingArrays)
{
    ConsumeSignal();
    NLint groups[] = {NL_INVALID, 9999};
    NLsocket listeners[] = {NL_INVALID, 9999};
    EXPECT_EQ(nlWaitForInput(groups, 2, listeners, 2, 0), 0);
    EXPECT_EQ(nlWaitForInput(nullptr, 1, nullptr, 0, 0), NL_INVALID);
    EXPECT_EQ(nlGetError(), (NLenum)NL_NULL_POINTER);
}

TEST(NlLifecycle, CallsBeforeInitFailAndShutdownClosesEverything)
{
    nlShutdown();
    EXPECT_EQ(nlOpen(0, NL_RELIABLE), NL_INVALID);
    EXPECT_EQ(nlGetError(), (NLenum)NL_NO_NETWORK);
    ASSERT_TRUE(nlInit());
    EXPECT_FALSE(nlSelectNetwork(0x0009));
    EXPECT_EQ(nlOpen(0, 0x0001), NL_INVALID);
    NLsocket s = nlOpen(0, NL_RELIABLE);
    ASSERT_NE(s, NL_INVALID);
    nlShutdown();
    EXPECT_EQ(nlGetLocalPort(s), 0);

    // Database workers may still finish statements after the network is gone.
    nlSignalWake();
    EXPECT_EQ(nlWaitForInput(nullptr, 0, nullptr, 0, kLongWait), NL_WAKE_SIGNAL);
}

// The server's teardown runs from a static destructor; the layer must still
// be usable then (the sanitizers catch a destroyed one).
struct LateUser {
    ~LateUser()
    {
        nlInit();
        NLsocket s = nlOpen(0, NL_RELIABLE);
        nlClose(s);
        nlShutdown();
    }
} lateUser;

} // namespace
