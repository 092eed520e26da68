#include "replies.h"

#include "kelclient.h"
#include "netserver.h"
#include "opcodes.h"
#include "server.h"
#include "sessions.h"
#include "utility.h"

void SendStreamTerminator(uint32_t resultCode, uint32_t requestId, NLsocket socket)
{
    if (!server.loginNet)
        return;
    uint8_t message[10];
    PutU16(message, OutboundOpcode("STREAM_TERMINATOR"));
    PutU32(message + 2, requestId);
    PutU32(message + 6, resultCode);
    server.loginNet->Send(socket, message, sizeof message);
}

void WriteStreamSuccess(KelClient* client, uint32_t requestId)
{
    client->Write16(OutboundOpcode("STREAM_TERMINATOR"));
    client->Write32(requestId);
    client->Write32(RESULT_OK);
}

// ACCOUNT_PERMISSIONS, 73 bytes:
//   0   2   message number             24   1   permission2
//   2   4   request id of the chain    25  41   zero
//   6   4   zero                       66   6   04 00 01 00 06 00
//  10   4   4                          72   1   0x0C
//  14   1   low byte of permission1
//  15   9   zero
void SendAccountPermissions(KelClient* client, ClientData* data)
{
    static const uint8_t tail[6] = {0x04, 0x00, 0x01, 0x00, 0x06, 0x00};
    client->Write16(OutboundOpcode("ACCOUNT_PERMISSIONS"));
    client->Write32(data->chainRequestId);
    client->WriteRepeat(0, 4);
    client->Write32(4);
    client->Write8(uint8_t(data->permission1));
    client->WriteRepeat(0, 9);
    client->Write8(data->permission2);
    client->WriteRepeat(0, 41);
    client->WriteBytes(tail, sizeof tail);
    client->Write8(0x0C);
}

void WriteSendResponse(KelClient* client, uint32_t requestId)
{
    client->Write16(OutboundOpcode("LS_SEND_RESPONSE"));
    client->Write32(requestId);
    client->Write32(1);
}
