#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

#include "loopback.h"
#include "netserver.h"
#include "waituntil.h"

namespace {

typedef std::vector<uint8_t> Bytes;

// Message numbers of the small protocol these tests speak.
const uint16_t kFixed = 0x0101;     // 4 bytes: number + u16
const uint16_t kEcho = 0x0110;      // number, u16 count, count bytes; echoed back under 0x0210
const uint16_t kScripted = 0x0120;  // returns whatever the test says
const uint16_t kSilent = 0x0130;    // registered without a handler

// What the callbacks and handlers saw.
struct Recorder {
    NetServer* server = nullptr;
    std::vector<std::string> events;
    std::vector<Bytes> seen;          // buffer of each scripted/fixed handler call
    std::vector<Bytes> rawSeen;       // buffer of each raw-data call
    std::vector<const uint8_t*> where;   // first byte of each fixed handler call
    int32_t scriptedResult = 0;
};
Recorder* rec = nullptr;

std::string Describe(const char* what, KelClient* client)
{
    bool filed = rec->server->clients.count(client->socket) != 0;
    return std::string(what) + (filed ? " filed" : " unfiled");
}

int32_t OnConnect(KelClient* client)
{
    rec->events.push_back(Describe("connect", client));
    return 0;
}

int32_t OnDisconnect(KelClient* client)
{
    rec->events.push_back(Describe("disconnect", client));
    return 0;
}

int32_t OnRawData(const uint8_t* data, uint32_t length, KelClient*)
{
    rec->rawSeen.push_back(Bytes(data, data + length));
    return 0;
}

int32_t HandleFixed(PacketReader* reader, KelClient*)
{
    rec->seen.push_back(Bytes(reader->GetData(), reader->GetData() + reader->size));
    rec->where.push_back(reader->GetData());
    return 4;
}

int32_t HandleScripted(PacketReader* reader, KelClient*)
{
    rec->seen.push_back(Bytes(reader->GetData(), reader->GetData() + reader->size));
    return rec->scriptedResult;
}

int32_t HandleEcho(PacketReader* reader, KelClient* client)
{
    uint16_t count = reader->ReadU16();
    if (reader->Overran() || reader->Remaining() < count)
        return 0;   // not all here yet
    Bytes payload(count);
    reader->ReadBytes(payload.data(), count);
    client->Write16(0x0210);
    client->Write16(count);
    client->Write(payload.data(), count);
    return (int32_t)reader->GetPos();
}

Bytes EchoMessage(const Bytes& payload)
{
    Bytes message = {(uint8_t)(kEcho & 0xFF), (uint8_t)(kEcho >> 8), (uint8_t)(payload.size() & 0xFF),
                     (uint8_t)(payload.size() >> 8)};
    message.insert(message.end(), payload.begin(), payload.end());
    return message;
}

void SendAll(int fd, const Bytes& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        done += (size_t)n;
    }
}

class NetServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(NetworkInit(), 0);
        rec = &recorder;
        recorder.server = &server;
    }
    void TearDown() override
    {
        server.Stop();
        for (int fd : peers)
            close(fd);
        rec = nullptr;
        NetworkShutdown();
    }

    void StartServer(uint32_t maxClients, bool withCallbacks = true)
    {
        ASSERT_EQ(server.Start("127.0.0.1", 0, maxClients), 0);
        port = nlGetLocalPort(server.listenSocket);
        ASSERT_NE(port, 0);
        if (withCallbacks) {
            server.SetCallbacks(OnConnect, OnDisconnect, nullptr);
            server.RegisterOpcode("FIXED", kFixed, HandleFixed);
            server.RegisterOpcode("ECHO", kEcho, HandleEcho);
            server.RegisterOpcode("SCRIPTED", kScripted, HandleScripted);
            server.RegisterOpcode("SILENT", kSilent, nullptr);
        }
    }

    // Polls until the condition holds; false after ten seconds.
    bool PollUntil(const std::function<bool()>& done)
    {
        return WaitUntil([&] { server.Poll(); return done(); }, 10000, 200);
    }

    int Connect(bool narrow = false)
    {
        int fd = ConnectTo(port, narrow);
        peers.push_back(fd);
        return fd;
    }

    // Connects a peer and polls until the server holds it; its socket.
    NLsocket ConnectAndAccept(int* fd, bool narrow = false)
    {
        size_t before = server.clients.size();
        *fd = Connect(narrow);
        if (!PollUntil([&] { return server.clients.size() > before; }))
            return NL_INVALID;
        NLsocket newest = NL_INVALID;
        for (auto& entry : server.clients)
            newest = std::max(newest, entry.first);
        return newest;
    }

    // Polls while reading from a peer until count bytes have arrived.
    Bytes Receive(int fd, size_t count)
    {
        Bytes got;
        got.reserve(count);
        std::vector<uint8_t> chunk(1 << 20);
        PollUntil([&] {
            ssize_t n;
            while (got.size() < count && (n = recv(fd, chunk.data(), chunk.size(), MSG_DONTWAIT)) > 0)
                got.insert(got.end(), chunk.begin(), chunk.begin() + n);
            return got.size() >= count;
        });
        return got;
    }

    Recorder recorder;
    NetServer server;
    uint16_t port = 0;
    std::vector<int> peers;
};

std::string Captured(const std::function<void()>& work)
{
    testing::internal::CaptureStdout();
    work();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

TEST_F(NetServerTest, FullServerAcceptsTheNextOnePollAfterAClientLeaves)
{
    StartServer(1);
    int a = -1;
    std::string output = Captured([&] { ConnectAndAccept(&a); });
    EXPECT_EQ(output, "Client connected\n");
    EXPECT_EQ(recorder.events, std::vector<std::string>{"connect filed"});

    Connect();
    usleep(20000);   // let the second handshake finish
    for (int i = 0; i < 5; ++i)
        server.Poll();
    EXPECT_EQ(server.clients.size(), 1u);

    close(a);
    Captured([&] { ASSERT_TRUE(PollUntil([&] { return server.clients.empty(); })); });
    Captured([&] { server.Poll(); });
    EXPECT_EQ(server.clients.size(), 1u);
}

TEST_F(NetServerTest, WaitingConnectionsAreAcceptedOnePerPoll)
{
    StartServer(3);
    Connect();
    Connect();
    usleep(20000);
    Captured([&] {
        server.Poll();
        EXPECT_EQ(server.clients.size(), 1u);
        server.Poll();
        EXPECT_EQ(server.clients.size(), 2u);
    });
}

TEST_F(NetServerTest, TwoMessagesInOneChunkAreHandledInTwoPolls)
{
    StartServer(4);
    int fd = -1;
    Captured([&] {
        ConnectAndAccept(&fd);
        SendAll(fd, {0x01, 0x01, 0xAA, 0xBB, 0x01, 0x01, 0xCC, 0xDD});
        ASSERT_TRUE(PollUntil([&] { return recorder.seen.size() == 1; }));
        server.Poll();
        server.Poll();
    });
    ASSERT_EQ(recorder.seen.size(), 2u);
    EXPECT_EQ(recorder.seen[0], (Bytes{0x01, 0x01, 0xAA, 0xBB, 0x01, 0x01, 0xCC, 0xDD}));
    EXPECT_EQ(recorder.seen[1], (Bytes{0x01, 0x01, 0xCC, 0xDD}));
}

// A chunk of many small messages is worked off in place: moving the bytes
// behind each message down would cost time growing with the square of
// what is buffered.
TEST_F(NetServerTest, ManySmallMessagesAreWorkedOffWithoutMovingTheRest)
{
    StartServer(4);
    int fd = -1;
    Bytes messages;
    for (int i = 0; i < 500; ++i)
        messages.insert(messages.end(), {0x01, 0x01, (uint8_t)i, 0});
    Captured([&] {
        ConnectAndAccept(&fd);
        SendAll(fd, messages);
        ASSERT_TRUE(PollUntil([&] { return recorder.where.size() == 500; }));
    });
    size_t inPlace = 0;   // messages that begin where the one before ended
    for (size_t i = 1; i < recorder.where.size(); ++i)
        inPlace += recorder.where[i] == recorder.where[i - 1] + 4;
    EXPECT_GT(inPlace, 450u);
    EXPECT_EQ(recorder.seen.back(), (Bytes{0x01, 0x01, 243, 0}));
}

TEST_F(NetServerTest, HandlerReturningZeroKeepsTheBytesUntilMoreArrive)
{
    StartServer(4);
    server.onRawData = OnRawData;
    int fd = -1;
    std::string output = Captured([&] {
        ConnectAndAccept(&fd);
        recorder.scriptedResult = 0;
        SendAll(fd, {0x20, 0x01, 0xAA});
        ASSERT_TRUE(PollUntil([&] { return recorder.seen.size() == 1; }));
        for (int i = 0; i < 5; ++i)   // the same bytes are not offered again
            server.Poll();
        EXPECT_EQ(recorder.seen.size(), 1u);

        recorder.scriptedResult = 4;
        SendAll(fd, {0xBB});
        ASSERT_TRUE(PollUntil([&] { return recorder.seen.size() == 2; }));
    });
    EXPECT_EQ(recorder.seen[1], (Bytes{0x20, 0x01, 0xAA, 0xBB}));
    ASSERT_EQ(recorder.rawSeen.size(), 2u);   // the raw-data callback first, each time
    EXPECT_EQ(recorder.rawSeen[1], (Bytes{0x20, 0x01, 0xAA, 0xBB}));
    EXPECT_EQ(server.clients.begin()->second.Unread(), 0u);
    EXPECT_TRUE(Contains(output, "Login Server Pck: SCRIPTED\n"));
}

TEST_F(NetServerTest, SingleByteWaitsForTheSecond)
{
    StartServer(4);
    server.onRawData = OnRawData;
    int fd = -1;
    Captured([&] {
        ConnectAndAccept(&fd);
        SendAll(fd, {0x01});
        PollUntil([&] { return server.clients.begin()->second.Unread() != 0; });
        for (int i = 0; i < 3; ++i)
            server.Poll();
        EXPECT_TRUE(recorder.rawSeen.empty());
        SendAll(fd, {0x01, 0x00, 0x00});
        ASSERT_TRUE(PollUntil([&] { return recorder.seen.size() == 1; }));
    });
    EXPECT_EQ(recorder.rawSeen.size(), 1u);
}

TEST_F(NetServerTest, UnknownAndHandlerlessNumbersDropTheWholeBuffer)
{
    StartServer(4);
    int fd = -1;
    Captured([&] { ConnectAndAccept(&fd); });
    auto emptied = [&] { return server.clients.begin()->second.Unread() == 0; };

    std::string unknown = Captured([&] {
        SendAll(fd, {0x99, 0x99, 1, 2, 3, 0x01, 0x01, 0, 0});   // a good message behind it goes too
        ASSERT_TRUE(PollUntil(emptied));
        server.Poll();
    });
    EXPECT_EQ(unknown, "No packet found!\n");
    EXPECT_TRUE(recorder.seen.empty());

    std::string silent = Captured([&] {
        SendAll(fd, {0x30, 0x01, 5, 5});
        ASSERT_TRUE(PollUntil(emptied));
    });
    EXPECT_EQ(silent, "No handler found for SILENT\n");

    Captured([&] {
        SendAll(fd, {0x01, 0x01, 0, 0});
        ASSERT_TRUE(PollUntil([&] { return recorder.seen.size() == 1; }));
    });
    EXPECT_EQ(server.clients.size(), 1u);   // still connected
}

// A handler that claims more than has arrived: the buffer empties, and the
// rest of that message is not taken for new messages when it comes.
TEST_F(NetServerTest, RestOfAMessageConsumedWholeIsDiscarded)
{
    StartServer(4);
    int fd = -1;
    std::string output = Captured([&] {
        ConnectAndAccept(&fd);
        recorder.scriptedResult = 10;
        SendAll(fd, {0x20, 0x01, 0x99, 0x99});
        ASSERT_TRUE(PollUntil([&] { return recorder.seen.size() == 1; }));
        SendAll(fd, {0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x01, 0x01, 7, 7});
        ASSERT_TRUE(PollUntil([&] { return recorder.seen.size() == 2; }));
    });
    EXPECT_EQ(recorder.seen[1], (Bytes{0x01, 0x01, 7, 7}));
    EXPECT_FALSE(Contains(output, "No packet found!"));
    EXPECT_EQ(server.clients.size(), 1u);
}

TEST_F(NetServerTest, DisconnectCallbackSeesTheRecordFiledThenItIsRemoved)
{
    StartServer(4);
    int a = -1, b = -1;
    NLsocket sa = NL_INVALID, sb = NL_INVALID;
    std::string output = Captured([&] {
        sa = ConnectAndAccept(&a);
        sb = ConnectAndAccept(&b);
        close(a);
        ASSERT_TRUE(PollUntil([&] { return server.FindClient(sa) == nullptr; }));
    });
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"connect filed", "connect filed", "disconnect filed"}));
    EXPECT_TRUE(Contains(output, nlGetErrorStr(NL_MESSAGE_END)));
    EXPECT_NE(server.FindClient(sb), nullptr);
}

// A reset peer with bytes queued for it: no SIGPIPE, the client is dropped.
TEST_F(NetServerTest, ResetPeerWithQueuedBytesIsDropped)
{
    StartServer(4);
    int a = -1;
    NLsocket sa = NL_INVALID;
    Captured([&] {
        sa = ConnectAndAccept(&a);
        Bytes big(1 << 20, 0x42);
        server.Send(sa, big.data(), (int32_t)big.size());
        server.Poll();
        ResetAndClose(a);
        for (int i = 0; i < 3; ++i)
            server.Send(sa, big.data(), (int32_t)big.size());
        ASSERT_TRUE(PollUntil([&] { return server.FindClient(sa) == nullptr; }));
    });
    EXPECT_EQ(recorder.events.back(), "disconnect filed");
}

// More than a narrow connection takes at once, so the first write attempt
// is partial, and less than may be queued for one client.
const size_t kBacklog = 160u << 10;

Bytes Pattern(size_t size, int step)
{
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = (uint8_t)(i * (size_t)step + 5);
    return bytes;
}

// The bytes queued before the cipher was switched on go out first and
// alone, and a partial write lowers the clear count by what it wrote.
TEST_F(NetServerTest, PartialWritesLowerThePositiveClearCount)
{
    StartServer(4);
    int fd = -1;
    NLsocket s = NL_INVALID;
    Captured([&] { s = ConnectAndAccept(&fd, true); });
    KelClient* client = server.FindClient(s);
    Bytes clear = Pattern(kBacklog, 31), after = Pattern(1000, 3);
    client->Write(clear.data(), (int32_t)clear.size());
    client->ResetCipher();
    client->Write(after.data(), (int32_t)after.size());
    EXPECT_EQ(client->clearPending, kBacklog);

    server.Poll();   // the peer reads nothing yet
    EXPECT_GT(client->clearPending, 0u);
    EXPECT_LT(client->clearPending, kBacklog);
    EXPECT_EQ(client->Queued(), client->clearPending + after.size());

    Bytes got = Receive(fd, kBacklog + after.size());
    ASSERT_EQ(got.size(), kBacklog + after.size());
    EXPECT_TRUE(std::equal(clear.begin(), clear.end(), got.begin()));
    EXPECT_EQ(client->clearPending, 0u);
}

// Every byte is enciphered exactly once even when it takes several writes
// to go out, so the peer decodes each block queued between attempts with
// one keystream from its start.
TEST_F(NetServerTest, EncipheredStreamSurvivesPartialWrites)
{
    StartServer(4);
    int fd = -1;
    NLsocket s = NL_INVALID;
    Captured([&] { s = ConnectAndAccept(&fd, true); });
    KelClient* client = server.FindClient(s);
    client->ResetCipher();
    for (int j = 0; j < 256; ++j)
        client->cipher.table[j] = (uint8_t)(j * 7 + 3);
    CipherState table = client->cipher;
    Bytes block = Pattern(kBacklog, 17), tail = Pattern(1000, 3);
    client->Write(block.data(), (int32_t)block.size());

    server.Poll();   // partial: the rest stays queued, already enciphered
    ASSERT_NE(client->Queued(), 0u);
    ASSERT_LT(client->Queued(), kBacklog);
    EXPECT_EQ(client->sealedCount, client->Queued());
    client->Write(tail.data(), (int32_t)tail.size());

    Bytes got = Receive(fd, kBacklog + tail.size());
    ASSERT_EQ(got.size(), kBacklog + tail.size());
    NetCrypt(got.data(), got.data(), (int32_t)kBacklog, &table);
    EXPECT_TRUE(std::equal(block.begin(), block.end(), got.begin()));
    Bytes last(got.begin() + (std::ptrdiff_t)kBacklog, got.end());
    NetCrypt(last.data(), last.data(), (int32_t)last.size(), &table);
    EXPECT_EQ(last, tail);
}

// What a loop that pauses between polls must not sleep on: a message left
// behind the one handled, and bytes queued that no write has tried. Bytes a
// full socket refused are not new work.
TEST_F(NetServerTest, ReportsWorkLeftForTheNextPoll)
{
    StartServer(4);
    int fd = -1;
    NLsocket s = NL_INVALID;
    Captured([&] { s = ConnectAndAccept(&fd, true); });
    server.Poll();
    EXPECT_FALSE(server.HasWorkWaiting());

    SendAll(fd, {0x01, 0x01, 0xAA, 0xBB, 0x01, 0x01, 0xCC, 0xDD});
    Captured([&] {
        ASSERT_TRUE(PollUntil([&] { return recorder.seen.size() == 1; }));
        EXPECT_TRUE(server.HasWorkWaiting());    // the second message waits
        server.Poll();
    });
    EXPECT_EQ(recorder.seen.size(), 2u);
    EXPECT_FALSE(server.HasWorkWaiting());

    Bytes block = Pattern(kBacklog, 17);
    server.Send(s, block.data(), (int32_t)block.size());
    EXPECT_TRUE(server.HasWorkWaiting());        // queued, not tried
    server.Poll();                               // the peer reads nothing: partial
    KelClient* client = server.FindClient(s);
    ASSERT_NE(client->Queued(), 0u);
    EXPECT_FALSE(server.HasWorkWaiting());       // only what the socket refused
    server.Send(s, "more", 4);
    EXPECT_TRUE(server.HasWorkWaiting());
    EXPECT_EQ(Receive(fd, kBacklog + 4).size(), kBacklog + 4);
    EXPECT_FALSE(server.HasWorkWaiting());
}

TEST_F(NetServerTest, InternalServerAcceptsAndDropsEverything)
{
    StartServer(2, false);
    int fd = -1;
    std::string output = Captured([&] {
        ConnectAndAccept(&fd);
        SendAll(fd, {0x01, 0x01, 0, 0, 9});
        ASSERT_TRUE(PollUntil([&] { return server.clients.begin()->second.Unread() == 0; }));
        server.Poll();
    });
    EXPECT_EQ(output, "Client connected\nNo packet found!\n");
    EXPECT_EQ(server.clients.begin()->second.id, 0);
    EXPECT_EQ(server.clients.begin()->second.Queued(), 0u);
}

// Random bytes from one client, another cut off mid-message, one more that
// overflows its receive buffer: the well-behaved client's echoes arrive intact.
TEST_F(NetServerTest, MisbehavingClientsDoNotDisturbOthers)
{
    StartServer(8);
    int good = -1, noisy = -1, cut = -1, flood = -1;
    Bytes sent, expected;
    std::mt19937 random(1234);
    std::string output = Captured([&] {
        NLsocket goodSocket = ConnectAndAccept(&good);
        NLsocket noisySocket = ConnectAndAccept(&noisy);
        NLsocket cutSocket = ConnectAndAccept(&cut);
        NLsocket floodSocket = ConnectAndAccept(&flood);
        for (int i = 0; i < 40; ++i) {
            Bytes payload((size_t)(random() % 300));
            for (uint8_t& b : payload)
                b = (uint8_t)random();
            Bytes message = EchoMessage(payload);
            sent.insert(sent.end(), message.begin(), message.end());
            expected.push_back(0x10);
            expected.push_back(0x02);
            expected.insert(expected.end(), message.begin() + 2, message.end());
        }
        Bytes noise(64 * 1024);
        for (uint8_t& b : noise)
            b = (uint8_t)random();
        SendAll(noisy, noise);
        SendAll(cut, {0x10, 0x01, 0xFF, 0x00, 1, 2, 3});
        Bytes stuck = {0x20, 0x01};
        stuck.resize(140 * 1024, 0x55);
        recorder.scriptedResult = 0;
        // The good client's stream goes in odd-sized pieces between polls.
        for (size_t at = 0; at < sent.size(); at += 97) {
            SendAll(good, Bytes(sent.begin() + (std::ptrdiff_t)at,
                                sent.begin() + (std::ptrdiff_t)std::min(at + 97, sent.size())));
            server.Poll();
            if (at == 97 * 3) {
                close(cut);
                SendAll(flood, stuck);
            }
        }
        Bytes got = Receive(good, expected.size());
        EXPECT_EQ(got, expected);
        EXPECT_TRUE(PollUntil([&] {
            return server.FindClient(cutSocket) == nullptr && server.FindClient(floodSocket) == nullptr;
        }));
        EXPECT_NE(server.FindClient(goodSocket), nullptr);
        (void)noisySocket;
    });
    EXPECT_TRUE(Contains(output, "Client dropped: too many bytes buffered\n"));
}

TEST_F(NetServerTest, StaleSocketsNeverReachANewerClient)
{
    StartServer(4);
    int a = -1, b = -1;
    NLsocket sa = NL_INVALID, sb = NL_INVALID;
    Captured([&] { sa = ConnectAndAccept(&a); });
    server.RemoveClient(sa);
    EXPECT_EQ(recorder.events, std::vector<std::string>{"connect filed"});   // no disconnect callback
    char byte;
    EXPECT_EQ(recv(a, &byte, 1, 0), 0);   // the peer sees the close

    Captured([&] { sb = ConnectAndAccept(&b); });
    EXPECT_NE(sa, sb);
    EXPECT_EQ(server.FindClient(sa), nullptr);
    server.Send(sa, "x", 1);
    server.RemoveClient(sa);
    ASSERT_NE(server.FindClient(sb), nullptr);
    EXPECT_EQ(server.FindClient(sb)->Queued(), 0u);

    server.Send(sb, "ok", 2);
    EXPECT_EQ(Receive(b, 2), (Bytes{'o', 'k'}));
}

// Bytes written through a record that was not handed out this pass (here
// straight from the table) still leave, at the next sweep.
TEST_F(NetServerTest, BytesWrittenOutsideThePollStillLeave)
{
    StartServer(4);
    int fd = -1;
    Captured([&] { ConnectAndAccept(&fd); });
    for (int i = 0; i < 3; ++i)
        server.Poll();   // nothing listed any more
    server.clients.begin()->second.Write("late", 4);
    EXPECT_EQ(Receive(fd, 4), (Bytes{'l', 'a', 't', 'e'}));
}

TEST_F(NetServerTest, StopClosesClientsWithoutCallbacks)
{
    StartServer(4);
    int a = -1;
    Captured([&] { ConnectAndAccept(&a); });
    server.Stop();
    EXPECT_TRUE(server.clients.empty());
    EXPECT_TRUE(server.opcodes.empty());
    char byte;
    EXPECT_EQ(recv(a, &byte, 1, 0), 0);
    EXPECT_EQ(recorder.events, std::vector<std::string>{"connect filed"});
    server.Poll();   // a stopped server does nothing
}

TEST_F(NetServerTest, FirstRegistrationWinsAndLongNamesAreCut)
{
    StartServer(1);
    server.RegisterOpcode("OTHER", kFixed, nullptr);
    EXPECT_STREQ(server.opcodes[kFixed].name, "FIXED");
    EXPECT_EQ(server.opcodes[kFixed].handler, HandleFixed);
    std::string longName(150, 'N');
    server.RegisterOpcode(longName.c_str(), 0x0777, nullptr);
    EXPECT_EQ(std::string(server.opcodes[0x0777].name), std::string(99, 'N'));
}

TEST(NetServerStart, FailedStartsLeaveASafeServer)
{
    ASSERT_EQ(NetworkInit(), 0);
    NetServer never;
    EXPECT_EQ(never.Stop(), 0);

    NetServer* badAddress = new NetServer;
    EXPECT_EQ(badAddress->Start("not.an.ip", 0, 10), -1);
    badAddress->Poll();
    EXPECT_EQ(badAddress->Stop(), 0);
    delete badAddress;
    NetworkShutdown();

    ASSERT_EQ(NetworkInit(), 0);
    NetServer first;
    ASSERT_EQ(first.Start("127.0.0.1", 0, 10), 0);
    NetServer* second = new NetServer;
    EXPECT_EQ(second->Start("127.0.0.1", nlGetLocalPort(first.listenSocket), 10), -1);
    EXPECT_EQ(second->Stop(), 0);
    delete second;
    EXPECT_EQ(first.Stop(), 0);
    NetworkShutdown();
}

} // namespace
