#pragma once

// Replies shared by several requests, and the result codes that close a
// request in STREAM_TERMINATOR.

#include <cstdint>

#include "nl.h"

struct KelClient;
struct ClientData;

// Result codes of STREAM_TERMINATOR.
enum ResultCode : uint32_t {
    RESULT_OK = 0,
    RESULT_WRONG_PASSWORD = 11,   // ACCOUNT_LOGIN: the password test refused
    RESULT_SERVER_LOCKED = 17,    // ACCOUNT_LOGIN: server locked for this access level
    RESULT_NO_SUCH_ACCOUNT = 21,  // ACCOUNT_LOGIN: no account has the e-mail
    RESULT_NOT_LOGGED_IN = 24,    // CHARACTER_DELETE before a login
    RESULT_ACCESS_DENIED = 45,    // ACCOUNT_LOGIN: refused for the access level
    RESULT_REQUEST_FAILED = 46,   // CREATE_ACCOUNT, CHARACTER_DELETE failed
    RESULT_DATABASE_ERROR = 56,   // ACCOUNT_LOGIN: a query failed or the account id is 0
    RESULT_EMAIL_TAKEN = 105,     // CREATE_ACCOUNT: the e-mail has an account
};

// Queues STREAM_TERMINATOR (request id, code) for the login client that has
// the socket; nothing when no client has it. Used for every code but 0.
void SendStreamTerminator(uint32_t resultCode, uint32_t requestId, NLsocket socket);

// Appends STREAM_TERMINATOR with code 0: the success closing of a request.
void WriteStreamSuccess(KelClient* client, uint32_t requestId);

// Appends the 73 bytes of ACCOUNT_PERMISSIONS for the record's permissions,
// with the request id of the login chain it belongs to.
void SendAccountPermissions(KelClient* client, ClientData* data);

// Appends LS_SEND_RESPONSE (request id, 1).
void WriteSendResponse(KelClient* client, uint32_t requestId);
