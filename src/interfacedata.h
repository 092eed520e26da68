#pragma once

// ACCOUNT_DATA_FROM_CC: a logged-in client hands over its interface data,
// which is stored in its account's row and sent back as ACCOUNT_DATA at the
// next login.
//
// Message: number, u32 request id, 4 bytes not read, then the interface
// data up to the end of the receive buffer (the message has no length
// field). Its first six bytes take the place of ACCOUNT_DATA's number and
// request id at the next login.

#include <cstdint>
#include <string>

#include "loginwire.h"

struct KelClient;
struct PacketReader;

// The message handler. Waits (0) until the fixed 10 bytes have arrived;
// then consumes the whole receive buffer.
int32_t HandleAccountDataFromClient(PacketReader* reader, KelClient* client);

// The UPDATE that stores size bytes of interface data for the account.
std::string InterfaceDataUpdateQuery(const uint8_t* data, uint32_t size, uint32_t accountId);
