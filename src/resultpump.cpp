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

void Database::ProcessQueryResults(std::unordered_map<uint16_t, ClientData>& clients)
{
    for (auto& entry : clients) {
        ClientData& client = entry.second;
        if (client.pendingQueryId == 0)
            continue;
        QUERY_RESULT* result = FindResult(client.pendingQueryId);
        if (!result)
            continue;
        DeliverResult(*this, result, &client);
    }
    EraseClosedSessions(clients);
}
