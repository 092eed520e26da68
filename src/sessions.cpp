#include "sessions.h"

#include <cstdio>

#include "kelclient.h"
#include "netserver.h"
#include "server.h"

SessionLists sessionLists;

ClientData::~ClientData()
{
    delete[] email;
    if (callbackData && callbackDataFree)
        callbackDataFree(callbackData);
}

void WaitForResult(ClientData* session)
{
    if (session->pendingQueryId != 0 && !session->pumpListed) {
        session->pumpListed = 1;
        sessionLists.waitingSessions.push_back(session->id);
    }
}

void ContinueChain(ClientData* session, uint32_t queryId, ResultCallback next)
{
    if (session->pendingQueryId != 0 && session->pendingQueryId != queryId)
        server.database.Discard(session->pendingQueryId);
    session->pendingQueryId = queryId;
    session->callback = next;
    WaitForResult(session);
}

void StartChain(ClientData* session, uint32_t queryId, ResultCallback next, void* data,
                CallbackDataFree dataFree)
{
    session->chainRequestId = session->requestId;
    SetCallbackData(session, data, dataFree);
    ContinueChain(session, queryId, next);
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
    if (FindSessionClient(client))
        server.loginNet->RemoveClient(client->socket);
    ClearPendingQuery(client);
    client->closed = 1;
    client->loggedIn = 0;
    client->socket = NL_INVALID;
    sessionLists.closedSessions.push_back(client->id);
}

void EraseClosedSessions(ClientTable& clients)
{
    for (uint16_t id : sessionLists.closedSessions) {
        auto it = clients.find(id);
        if (it == clients.end() || !it->second.closed)
            continue;
        clients.erase(it);
        server.clientIds.Release(id);
    }
    sessionLists.closedSessions.clear();
}

int OnClientConnect(KelClient* client)
{
    uint16_t id = server.clientIds.Allocate();
    if (id == IdPool::kNoFreeId) {
        // Every id is held by a live client: a shared id would mix two
        // sessions, so the connection is refused.
        client->id = 0;
        sessionLists.refusedSockets.push_back(client->socket);
        printf("No free client id: connection refused.\n");
        return 0;
    }
    client->id = id;
    ClientData& record = server.clients.try_emplace(id).first->second;
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

void CloseRefusedConnections()
{
    for (NLsocket socket : sessionLists.refusedSockets)
        server.loginNet->RemoveClient(socket);
    sessionLists.refusedSockets.clear();
}
