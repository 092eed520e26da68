#include "accountcreate.h"

#include <cstdio>
#include <cstring>

#include "kelclient.h"
#include "packetreader.h"
#include "replies.h"
#include "server.h"
#include "sessions.h"
#include "utility.h"

// Request id, then the e-mail's unit count.
static const uint32_t kFixedSize = 8;

static int32_t WholeBuffer(const PacketReader* reader)
{
    return reader->size > INT32_MAX ? INT32_MAX : int32_t(reader->size);
}

// Hex text of the whole 130-byte e-mail block, zero padding included: the
// account's key as the SQL texts name it.
struct EmailHex {
    char text[2 * kEmailBlockSize + 3];
    explicit EmailHex(const uint8_t* email) { BytesToHexString(email, kEmailBlockSize, text); }
};

int32_t HandleCreateAccount(PacketReader* reader, KelClient* client)
{
    if (reader->Remaining() < kFixedSize - 2)
        return 0;
    ClientData* data = server.GetClientData(client->id);
    if (!data)
        return WholeBuffer(reader);
    uint32_t requestId = reader->ReadU32();
    uint32_t units = reader->ReadU16();
    if (units > kMaxEmailUnits) {
        // No account can have a longer e-mail; the bytes it announces are
        // never waited for.
        data->requestId = requestId;
        SendStreamTerminator(RESULT_REQUEST_FAILED, requestId, data->socket);
        return WholeBuffer(reader);
    }
    if (reader->Remaining() < 2 * units)
        return 0;

    data->requestId = requestId;
    data->chainRequestId = requestId;
    uint8_t email[kEmailBlockSize];
    memset(email, 0, sizeof email);
    reader->ReadBytes(email, 2 * units);
    delete[] data->email;
    data->email = new uint8_t[kEmailBlockSize];
    memcpy(data->email, email, kEmailBlockSize);

    char query[320];
    int length = snprintf(query, sizeof query, "SELECT email FROM accounts WHERE email=%s LIMIT 1",
                          EmailHex(email).text);
    uint32_t queryId = server.database.Query(query, length);
    // A chain still pending is abandoned: only the newest request is answered.
    SetCallbackData(data, nullptr, nullptr);
    SetPendingQuery(data, queryId, OnCreateAccountEmailChecked);
    return WholeBuffer(reader);
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
    char query[500];
    int length = snprintf(query, sizeof query, "INSERT INTO accounts(Email) VALUES(%s)",
                          EmailHex(data->email).text);
    uint32_t queryId = server.database.QueryWithResult(query, length, true);
    SetPendingQuery(data, queryId, OnCreateAccountInserted);
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
