#include "netserver.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

const NLint kReadChunk = 2090;              // most bytes taken by one read
const NLint kMostReadyReported = 30000;     // size of the read poll's ready list
// No message of the protocol exceeds about 64 KiB; a client that buffers
// more than this is broken or hostile and is dropped like a failed read.
const uint32_t kMostBufferedBytes = 128 * 1024;
// Far above the largest login answer (a few KiB): a client that lets more
// pile up does not read what it asks for, and is dropped like a failed read.
const uint32_t kMostQueuedBytes = 256 * 1024;
const uint32_t kFullSendSweepEvery = 1024;  // polls between two looks at every client's send buffer
// While the system has no descriptor for a waiting connection, accepting
// is tried again after this long, or as soon as a client leaves.
const std::chrono::milliseconds kAcceptRetryAfter(100);

} // namespace

int32_t NetworkInit()
{
    if (!nlInit())
        return -1;
    if (!nlSelectNetwork(NL_IP))
        return -2;
    return 0;
}

int32_t NetworkShutdown()
{
    nlShutdown();
    return 0;
}

NetServer::NetServer()
    : listenSocket(NL_INVALID), port(0), group(NL_INVALID), maxClients(0), onConnect(nullptr),
      onDisconnect(nullptr), onRawData(nullptr), readActiveSockets(static_cast<size_t>(kMostReadyReported))
{
}

NetServer::~NetServer()
{
    opcodes.clear();
    clients.clear();
}

int32_t NetServer::Start(const char* address, uint16_t pPort, uint32_t pMaxClients)
{
    port = pPort;
    if (address != nullptr) {
        // A text that does not parse leaves the address invalid, and the
        // open below then fails instead of binding to every interface.
        NLaddress local;
        nlStringToAddr(address, &local);
        nlSetLocalAddr(&local);
    }
    listenSocket = nlOpen(pPort, NL_RELIABLE);
    if (listenSocket == NL_INVALID)
        return -1;
    if (!nlListen(listenSocket))
        return -2;
    group = nlGroupCreate();
    maxClients = pMaxClients;
    onRawData = nullptr;
    return 0;
}

void NetServer::SetCallbacks(ClientCallback connect, ClientCallback disconnect, RawDataCallback rawData)
{
    onConnect = connect;
    onDisconnect = disconnect;
    onRawData = rawData;
}

void NetServer::RegisterOpcode(const char* name, uint16_t opcode, OpcodeHandler handler)
{
    if (opcodes.count(opcode) != 0)
        return;
    OPCODE entry = {};
    entry.opcode = opcode;
    snprintf(entry.name, sizeof entry.name, "%s", name != nullptr ? name : "");
    entry.handler = handler;
    opcodes[opcode] = entry;
}

int32_t NetServer::Poll()
{
    AcceptStage();
    ReadStage();
    SendStage();
    DispatchStage();
    return 0;
}

bool NetServer::HasWorkWaiting() const
{
    if (!dispatchList.empty())
        return true;
    // Bytes beyond what a full socket refused last time are fresh. A client
    // that does not read keeps its old bytes; those wait for the next pass
    // that comes anyway.
    for (NLsocket socket : sendList) {
        auto it = clients.find(socket);
        if (it != clients.end() && it->second.Queued() > it->second.blockedCount)
            return true;
    }
    return false;
}

bool NetServer::HasRoom() const
{
    if (clients.size() >= maxClients)
        return false;
    return !outOfDescriptors || std::chrono::steady_clock::now() >= acceptRetryAt;
}

KelClient* NetServer::FindClient(NLsocket socket)
{
    auto it = clients.find(socket);
    if (it == clients.end())
        return nullptr;
    ListForSend(&it->second);   // whoever holds the record may queue bytes
    return &it->second;
}

void NetServer::Send(NLsocket socket, const void* data, int32_t count)
{
    KelClient* client = FindClient(socket);
    if (client != nullptr)
        client->Write(data, count);
}

void NetServer::RemoveClient(NLsocket socket)
{
    nlGroupDeleteSocket(group, socket);
    nlClose(socket);
    clients.erase(socket);
    acceptRetryAt = {};   // a descriptor was freed
}

int32_t NetServer::Stop()
{
    for (auto& entry : clients) {
        entry.second.recvBuffer.clear();
        entry.second.sendBuffer.clear();
        nlClose(entry.second.socket);
    }
    nlClose(listenSocket);
    nlGroupDestroy(group);
    clients.clear();
    opcodes.clear();
    sendList.clear();
    dispatchList.clear();
    return 0;
}

void NetServer::ListForSend(KelClient* client)
{
    if (!client->sendListed) {
        client->sendListed = true;
        sendList.push_back(client->socket);
    }
}

void NetServer::ListForDispatch(KelClient* client)
{
    if (!client->dispatchListed) {
        client->dispatchListed = true;
        dispatchList.push_back(client->socket);
    }
}

// At most one connection per poll, and only while there is room.
void NetServer::AcceptStage()
{
    if (!HasRoom())
        return;
    NLsocket socket = nlAcceptConnection(listenSocket);
    if (socket == NL_INVALID) {
        if (nlGetError() == NL_OUT_OF_MEMORY)
            WaitForDescriptors();
        else
            outOfDescriptors = false;   // nobody waits any more
        return;
    }
    nlGroupAddSocket(group, socket);
    KelClient& client = clients[socket];
    client.socket = socket;
    client.id = 0;
    client.cipherOn = false;
    if (onConnect != nullptr) {
        ListForSend(&client);
        onConnect(&client);
    }
    printf("Client connected\n");
}

// The waiting connection keeps the listener readable, so trying again at
// once would spin: stop until a client leaves or a short while has passed.
void NetServer::WaitForDescriptors()
{
    if (!outOfDescriptors)
        printf("Out of descriptors: new connections wait.\n");
    outOfDescriptors = true;
    acceptRetryAt = std::chrono::steady_clock::now() + kAcceptRetryAfter;
}

// The ready list is taken whole before any read, so a client accepted in
// this poll can already be read.
void NetServer::ReadStage()
{
    NLint ready = nlPollGroup(group, NL_READ_STATUS, readActiveSockets.data(), kMostReadyReported, 0);
    for (NLint i = 0; i < ready; ++i)
        if (clients.count(readActiveSockets[static_cast<size_t>(i)]) != 0)
            ReadClient(readActiveSockets[static_cast<size_t>(i)]);
}

void NetServer::ReadClient(NLsocket socket)
{
    NLint n = nlRead(socket, readBuffer, kReadChunk);
    if (n <= 0) {
        DropFailedClient(socket, nlGetErrorStr(nlGetError()));
        return;
    }
    ReceiveBytes(&clients[socket], readBuffer, static_cast<uint32_t>(n));
}

bool NetServer::ReceiveBytes(KelClient* client, uint8_t* data, uint32_t count)
{
    if (client->cipherOn)
        NetCrypt(data, data, static_cast<int32_t>(std::min<uint32_t>(count, INT32_MAX)), &client->cipher);

    // Bytes still owed to a message that a handler already consumed whole.
    uint32_t skipped = std::min(count, client->discardPending);
    client->discardPending -= skipped;
    if (count == skipped)
        return true;
    client->AppendRecv(data + skipped, static_cast<int32_t>(std::min<uint32_t>(count - skipped, INT32_MAX)));
    if (client->Unread() > kMostBufferedBytes) {
        DropFailedClient(client->socket, "Client dropped: too many bytes buffered\n");
        return false;
    }
    ListForDispatch(client);
    return true;
}

void NetServer::DropFailedClient(NLsocket socket, const char* reason)
{
    if (onDisconnect != nullptr)
        onDisconnect(&clients[socket]);
    RemoveClient(socket);
    printf("%s", reason);
}

void NetServer::SendStage()
{
    // Now and then look at every client, so bytes written to a record that
    // was not handed out this pass still leave.
    if (++pollCount % kFullSendSweepEvery == 0)
        for (auto& entry : clients)
            if (entry.second.Queued() != 0)
                ListForSend(&entry.second);
    sendScratch.clear();
    sendScratch.swap(sendList);   // clients listed again meanwhile go to the fresh list
    for (NLsocket socket : sendScratch) {
        auto it = clients.find(socket);
        if (it == clients.end())
            continue;   // gone: its queued bytes are lost
        KelClient* client = &it->second;
        client->sendListed = false;
        if (client->Queued() == 0)
            continue;
        SendQueued(client);
        if (client->Queued() > kMostQueuedBytes)
            DropFailedClient(socket, "Client dropped: too many bytes queued\n");
        else if (client->Queued() != 0)
            ListForSend(client);
    }
}

// One write attempt. The clear bytes go out first and alone; after them
// every byte is enciphered exactly once, even when writes are partial.
void NetServer::SendQueued(KelClient* client)
{
    uint8_t* queued = client->QueuedData();
    uint32_t total = std::min<uint32_t>(client->Queued(), INT32_MAX);
    uint32_t count = total;
    if (client->cipherOn) {
        if (client->clearPending > 0) {
            count = std::min(client->clearPending, total);
        } else if (client->sealedCount < total) {
            uint8_t* fresh = queued + client->sealedCount;
            NetCrypt(fresh, fresh, static_cast<int32_t>(total - client->sealedCount), &client->cipher);
            client->sealedCount = total;
        }
    }
    NLint written = nlWrite(client->socket, queued, static_cast<NLint>(count));
    // 0 or less: would block or failed, and the bytes wait for a later poll.
    uint32_t k = written > 0 ? static_cast<uint32_t>(written) : 0;
    client->ConsumeSent(k);
    if (client->clearPending > 0)
        client->clearPending -= std::min(k, client->clearPending);
    else
        client->sealedCount -= std::min(k, client->sealedCount);
    // A socket that took less than offered is full: what it left is not new
    // work. After a clear run that went out whole, the rest may go at once.
    client->blockedCount = k < count ? client->Queued() : 0;
}

void NetServer::DispatchStage()
{
    dispatchScratch.clear();
    dispatchScratch.swap(dispatchList);
    for (NLsocket socket : dispatchScratch)
        DispatchClient(socket);
}

// One message per client per poll. A client whose message consumed nothing
// is offered again only when new bytes arrive: the same bytes would give
// the same answer.
void NetServer::DispatchClient(NLsocket socket)
{
    KelClient* client = FindClient(socket);
    if (client == nullptr)
        return;
    client->dispatchListed = false;
    if (client->Unread() < 2)
        return;   // the message number is not complete yet

    int32_t consumed = 0;
    if (onRawData != nullptr)
        consumed = onRawData(client->UnreadData(), client->Unread(), client);
    if (consumed <= 0) {
        client = FindClient(socket);   // the callback may have dropped it
        if (client == nullptr)
            return;
        consumed = DispatchByNumber(client);
    }
    client = FindClient(socket);
    if (client == nullptr || consumed <= 0)
        return;

    // A message claimed whole before all of it arrived: its rest is
    // dropped as it comes, not taken for new messages.
    uint32_t buffered = client->Unread();
    if (static_cast<uint32_t>(consumed) > buffered)
        client->discardPending = static_cast<uint32_t>(consumed) - buffered;
    client->ConsumeRead(static_cast<uint32_t>(consumed));
    if (client->Unread() != 0)
        ListForDispatch(client);
}

// A number without an entry or without a handler drops everything buffered.
int32_t NetServer::DispatchByNumber(KelClient* client)
{
    const uint8_t* data = client->UnreadData();
    uint32_t buffered = client->Unread();
    uint16_t number = static_cast<uint16_t>(data[0] | (data[1] << 8));
    auto it = opcodes.find(number);
    if (it == opcodes.end()) {
        printf("No packet found!\n");
        return static_cast<int32_t>(buffered);
    }
    if (it->second.handler == nullptr) {
        printf("No handler found for %s\n", it->second.name);
        return static_cast<int32_t>(buffered);
    }
    printf("Login Server Pck: %s\n", it->second.name);
    PacketReader reader(data, buffered);
    return it->second.handler(&reader, client);
}
