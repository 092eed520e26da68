#pragma once

// Per-client login state and the rules every handler and continuation
// follows to keep it sound.
//
// Handlers find the record of the client they serve with
// `server.GetClientData(client->id)` (null: the client has no session, drop
// the message). Continuations get the record from the result pump and reach
// the client's connection only through FindSessionClient.
//
// A handler starts a database chain with StartChain and its continuations
// carry it on with ContinueChain; both release whatever they replace, so a
// chain that is abandoned leaks nothing.

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "loginwire.h"
#include "nl.h"

struct ClientData;
struct QUERY_RESULT;
struct KelClient;

// Continuation of a pending query: called by the result pump with the
// query's result (valid only during the call) and the client's record.
// 1 or more: the chain goes on and the record's pending query and working
// data stay as the continuation left them. Less than 1: the chain is done;
// the pump frees the working data (unless the continuation replaced it) and
// clears the pending query (unless the continuation installed a new one).
typedef int32_t (*ResultCallback)(QUERY_RESULT* result, ClientData* client);

// Frees a chain's working data: DeleteAs<the working data's type>.
typedef void (*CallbackDataFree)(void* data);
template <typename T> void DeleteAs(void* data) { delete static_cast<T*>(data); }

struct ClientData {
    ClientData() = default;
    ~ClientData();
    ClientData(const ClientData&) = delete;             // owns heap data
    ClientData& operator=(const ClientData&) = delete;

    uint16_t id = 0;               // client id: the record's key, equal to its KelClient's id
    NLsocket socket = NL_INVALID;  // the connection's handle on the login server
    uint32_t requestId = 0;        // request id of the current request, echoed by its at-once replies
    uint32_t chainRequestId = 0;   // request id of the pending chain (StartChain)
    uint32_t accountId = 0;        // the logged-in account
    uint32_t accessLevel = 0;      // the logged-in account's access level
    uint8_t characterName[kCharacterNameBytes] = {}; // the first character listed at login
    uint8_t computerHash[32] = {}; // SHA-256 computer hash from COMPUTER_USER
    uint32_t loginRandom1 = 0;     // random values drawn at login
    uint32_t loginRandom2 = 0;
    uint32_t permission1 = 0;      // low byte sent in ACCOUNT_PERMISSIONS
    uint8_t permission2 = 0;       // sent in ACCOUNT_PERMISSIONS
    uint8_t* email = nullptr;      // owned e-mail block of a CREATE_ACCOUNT in progress (new[])
    uint8_t seedReceived = 0;      // 1 once CLIENT_SEED has been handled
    uint8_t loggedIn = 0;          // 1 after a successful login, 0 after ACCOUNT_LOGOUT
    uint8_t awaitingFirstPacket = 0; // 1 until the first message that is not an update check
    ResultCallback callback = nullptr; // continuation of the pending query, or null
    uint32_t pendingQueryId = 0;   // the pending query; 0: none
    void* callbackData = nullptr;  // working data of the pending chain, or null
    CallbackDataFree callbackDataFree = nullptr; // frees callbackData
    uint32_t callbackDataVersion = 0; // changes whenever callbackData is set
    uint8_t closed = 0;            // the server closed the connection; the record is about to go
    uint8_t pumpListed = 0;        // on sessionLists.waitingSessions, the result pump's walk
};

typedef std::unordered_map<uint16_t, ClientData> ClientTable;

// Work the session module leaves for a later step of the main loop.
struct SessionLists {
    std::vector<NLsocket> refusedSockets;  // connections to close after this poll
    std::vector<uint16_t> closedSessions;  // records to erase after the pump's walk
    std::vector<uint16_t> waitingSessions; // sessions that installed a query since the pump last saw them
    std::vector<uint16_t> pumpScratch;     // the waiting list being walked
};

extern SessionLists sessionLists;

// From a handler: the request being handled starts a chain with queryId,
// answered by next, and data (freed by dataFree). Its requestId becomes the
// chain's, echoed by every reply of the chain whatever later requests put
// in requestId. A chain still pending is abandoned: the newest is answered.
void StartChain(ClientData* session, uint32_t queryId, ResultCallback next, void* data,
                CallbackDataFree dataFree);

// From a continuation: the chain goes on with queryId, answered by next. A
// different query that was pending is abandoned: its result is discarded by
// the database, now or when it arrives.
void ContinueChain(ClientData* session, uint32_t queryId, ResultCallback next);

// Lists the session for the result pump while it has a query pending.
void WaitForResult(ClientData* session);

// Makes data (freed by dataFree) the working data of the client's chain;
// the working data it replaces is freed through its own function.
void SetCallbackData(ClientData* client, void* data, CallbackDataFree dataFree);

// Abandons the pending query (its result is discarded) and frees the
// working data.
void ClearPendingQuery(ClientData* client);

// The client's connection on the login server, or null when it is gone (or
// another client holds that socket): then write nothing.
KelClient* FindSessionClient(ClientData* client);

// Closes a client's connection from a continuation (the older connection
// of an account that logs in again). The record is invalidated at once:
// no session lookup finds it, its pending query is discarded and its
// working data freed; the record itself is erased when the result pump has
// finished its walk. Only for continuations, never inside a network poll.
void CloseSession(ClientData* client);

// Erases the records of sessions closed during the pump's walk.
void EraseClosedSessions(ClientTable& clients);

// Callbacks of the login network server; the raw-data one is with the
// handshake (handshake.h).
int OnClientConnect(KelClient* client);
int OnClientDisconnect(KelClient* client);

// Closes the connections refused for want of a client id; runs after each
// poll of the login server.
void CloseRefusedConnections();
