#include "accountcreate.h"

#include "kelclient.h"
#include "loginwire.h"
#include "packetreader.h"
#include "replies.h"
#include "server.h"
#include "sessions.h"
#include "sqltext.h"

// Request id, then the e-mail's unit count.
static const uint32_t kFixedSize = 8;

int32_t HandleCreateAccount(PacketReader* reader, KelClient* client)
{
    if (!reader->Has(kFixedSize))
        return 0;
    ClientData* session = server.GetClientData(client->id);
    if (!session)
        return reader->ConsumeAll();
    uint32_t requestId = reader->ReadU32();
    uint32_t units = reader->ReadU16();
    if (units > kMaxEmailUnits) {
        // No account can have a longer e-mail; the bytes it announces are
        // never waited for.
        session->requestId = requestId;
        SendStreamTerminator(RESULT_REQUEST_FAILED, requestId, session->socket);
        return reader->ConsumeAll();
    }
    if (!reader->Has(kFixedSize + 2 * units))
        return 0;

    session->requestId = requestId;
    delete[] session->email;
    session->email = new uint8_t[kEmailBlockSize]();
    reader->ReadBytes(session->email, 2 * units);
    // The account's key is the whole block, zero padding included.
    uint32_t queryId = server.database.Query(FormatText(
        "SELECT email FROM accounts WHERE email=%s LIMIT 1", HexText(session->email, kEmailBlockSize).c_str()));
    StartChain(session, queryId, OnCreateAccountEmailChecked, nullptr, nullptr);
    return reader->ConsumeAll();
}

int32_t OnCreateAccountEmailChecked(QUERY_RESULT* result, ClientData* data)
{
    if (!result->result || !data->email) {
        server.log.Write("Failed to validate email!\n");
        SendStreamTerminator(RESULT_REQUEST_FAILED, data->chainRequestId, data->socket);
        return -1;
    }
    if (mysql_num_rows(result->result) > 0) {
        SendStreamTerminator(RESULT_EMAIL_TAKEN, data->chainRequestId, data->socket);
        return 0;
    }
    // The affected-row count must come back to tell whether the row was added.
    uint32_t queryId = server.database.QueryWithResult(
        FormatText("INSERT INTO accounts(Email) VALUES(%s)", HexText(data->email, kEmailBlockSize).c_str()), true);
    ContinueChain(data, queryId, OnCreateAccountInserted);
    return 0;
}

int32_t OnCreateAccountInserted(QUERY_RESULT* result, ClientData* data)
{
    // -1 is a failed INSERT (a race with another creation of the same e-mail
    // hits the unique key): no account was added either.
    if (result->affectedRows < 1) {
        server.log.Write("Could not verify account!\n");
        SendStreamTerminator(RESULT_REQUEST_FAILED, data->chainRequestId, data->socket);
        return -1;
    }
    if (KelClient* client = FindSessionClient(data))
        WriteStreamSuccess(client, data->chainRequestId);
    delete[] data->email;
    data->email = nullptr;
    return 0;
}
