#pragma once

// CREATE_ACCOUNT: checks that no account has the e-mail, adds a row that
// holds only the e-mail, and closes the request with one STREAM_TERMINATOR
// (0 added, 105 taken, 46 failed).

#include <cstdint>

struct ClientData;
struct KelClient;
struct PacketReader;
struct QUERY_RESULT;

int32_t HandleCreateAccount(PacketReader* reader, KelClient* client);
int32_t OnCreateAccountEmailChecked(QUERY_RESULT* result, ClientData* data);
int32_t OnCreateAccountInserted(QUERY_RESULT* result, ClientData* data);
