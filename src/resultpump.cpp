// The result pump: hands each arrived query result to the session waiting
// for it and runs the session's continuation.

#include "database.h"
#include "sessions.h"

// Runs the continuation of one session whose result has arrived, then
// settles the session's pending state by the continuation contract.
static void DeliverResult(Database& database, QUERY_RESULT* result, ClientData* client)
{
    const uint32_t queryId = client->pendingQueryId;
    const uint32_t dataVersion = client->callbackDataVersion;
    ResultCallback callback = client->callback;

    // The delivered query is no longer pending while its continuation runs:
    // a continuation that installs the next query must not discard the
    // result it is reading.
    client->pendingQueryId = 0;
    int32_t outcome = callback ? callback(result, client) : 0;

    if (outcome < 1) {
        if (client->callbackDataVersion == dataVersion)
            SetCallbackData(client, nullptr, nullptr);
        if (client->pendingQueryId == 0)
            client->callback = nullptr;
    }
    database.FreeResult(queryId);
}

// Only sessions that installed a query (ContinueChain lists them) can be
// waiting, so the walk covers those and not every connection: with many
// idle clients a pass stays cheap.
static void DeliverArrivedResults(Database& database, ClientTable& clients, SessionLists& lists)
{
    std::vector<uint16_t>& walk = lists.pumpScratch;
    walk.clear();
    walk.swap(lists.waitingSessions);   // sessions listed meanwhile go to the fresh list
    for (uint16_t id : walk) {
        auto entry = clients.find(id);
        if (entry == clients.end())
            continue;   // gone: nothing to deliver
        ClientData& client = entry->second;
        client.pumpListed = 0;
        if (client.pendingQueryId != 0) {
            if (QUERY_RESULT* result = database.FindResult(client.pendingQueryId))
                DeliverResult(database, result, &client);
        }
        WaitForResult(&client);   // still waiting, or waiting again
    }
}

// Nothing can be delivered while no result is filed: the walk is skipped.
void Database::ProcessQueryResults(ClientTable& clients)
{
    if (!results.empty())
        DeliverArrivedResults(*this, clients, sessionLists);
    EraseClosedSessions(clients);
}
