#include "sessions.h"

#include <cstdio>

#include "kelclient.h"
#include "netserver.h"
#include "server.h"

// Bytes of the update-check answer, and bytes of the update check consumed.
static const int32_t kNoUpdateAnswerSize = 28;
static const int32_t kUpdateCheckSize = 21;

ClientData::~ClientData()
{
    delete[] email;
    if (callbackData && callbackDataFree)
        callbackDataFree(callbackData);
}

void SetPendingQuery(ClientData* client, uint32_t queryId, ResultCallback callback)
{
    if (client->pendingQueryId != 0 && client->pendingQueryId != queryId)
        server.database.Discard(client->pendingQueryId);
    client->pendingQueryId = queryId;
    client->callback = callback;
    if (queryId != 0 && !client->pumpListed) {
        client->pumpListed = 1;
        server.waitingSessions.push_back(client->id);
    }
}

void SetCallbackData(ClientData* client, void* data, CallbackDataFree dataFree)
{
    void* old = client->callbackData;
    CallbackDataFree oldFree = client->callbackDataFree;
    client->callbackData = data;
    client->callbackDataFree = dataFree;
    client->callbackDataVersion++;
    if (old && old != data && oldFree)
        oldFree(old);
}

void ClearPendingQuery(ClientData* client)
{
    if (client->pendingQueryId != 0)
        server.database.Discard(client->pendingQueryId);
    client->pendingQueryId = 0;
    client->callback = nullptr;
    SetCallbackData(client, nullptr, nullptr);
}

KelClient* FindSessionClient(ClientData* client)
{
    if (!server.loginNet || client->closed)
        return nullptr;
    KelClient* connection = server.loginNet->FindClient(client->socket);
    if (!connection || connection->id != client->id)
        return nullptr;
    return connection;
}

void CloseSession(ClientData* client)
{
    if (client->closed)
        return;
    if (server.loginNet && FindSessionClient(client))
        server.loginNet->RemoveClient(client->socket);
    ClearPendingQuery(client);
    client->closed = 1;
    client->loggedIn = 0;
    client->socket = NL_INVALID;
    server.closedSessions.push_back(client->id);
}

void EraseClosedSessions(ClientTable& clients)
{
    for (uint16_t id : server.closedSessions) {
        auto it = clients.find(id);
        if (it == clients.end() || !it->second.closed)
            continue;
        clients.erase(it);
        server.clientIds.Release(id);
    }
    server.closedSessions.clear();
}

int OnClientConnect(KelClient* client)
{
    uint16_t id = server.clientIds.Allocate();
    if (id == IdPool::kNoFreeId) {
        // Every id is held by a live client: a shared id would mix two
        // sessions, so the connection is refused.
        client->id = 0;
        server.refusedSockets.push_back(client->socket);
        printf("No free client id: connection refused.\n");
        return 0;
    }
    client->id = id;
    auto placed = server.clients.try_emplace(id);
    ClientData& record = placed.first->second;
    record.id = id;
    record.socket = client->socket;
    record.awaitingFirstPacket = 1;
    return 0;
}

int OnClientDisconnect(KelClient* client)
{
    auto it = server.clients.find(client->id);
    if (it == server.clients.end() || it->second.closed)
        return 0;
    ClearPendingQuery(&it->second);
    server.clients.erase(it);
    server.clientIds.Release(client->id);
    return 0;
}

int32_t OnClientRawData(const uint8_t* data, uint32_t length, KelClient* client)
{
    ClientData* record = server.GetClientData(client->id);
    if (!record) // a refused connection waiting to be closed
        return length > INT32_MAX ? INT32_MAX : int32_t(length);
    if (!record->awaitingFirstPacket || length < 2)
        return 0;
    uint16_t first = uint16_t(data[0] | (data[1] << 8));
    if (first == 1) {
        client->Write(server.noUpdatePacket, kNoUpdateAnswerSize);
        return kUpdateCheckSize;   // also when cut short: the rest is dropped as it comes
    }
    record->awaitingFirstPacket = 0;
    return 0;
}

void CloseRefusedConnections()
{
    for (NLsocket socket : server.refusedSockets)
        server.loginNet->RemoveClient(socket);
    server.refusedSockets.clear();
}

ClientData* Server::GetClientData(uint16_t id)
{
    auto it = clients.find(id);
    if (it == clients.end() || it->second.closed)
        return nullptr;
    return &it->second;
}
