#pragma once

// ACCOUNT_LOGIN: looks the account up by its e-mail, decides the login and,
// when it succeeds, chains the character list (characterlist.h).
//
// The client's record takes the account id and access level only when the
// login succeeds: a refused login leaves the session as it was, so a client
// can never act on an account whose login was refused.

#include <cstdint>
#include <ctime>

struct ClientData;
struct KelClient;
struct PacketReader;
struct QUERY_RESULT;

// Room of the password field: it ends at offset 30 of the message.
constexpr uint32_t kPasswordFieldRoom = 22;

int32_t HandleAccountLogin(PacketReader* reader, KelClient* client);
int32_t OnAccountLoginResult(QUERY_RESULT* result, ClientData* data);

// The digest stored as an account's Password: the password field (n bytes,
// at most 22) narrowed in place to its low bytes, then hashed over all n bytes.
void HashLoginPassword(const uint8_t* field, uint32_t length, uint8_t digest[32]);

// What the access tests make of an account's level.
struct AccessDecision {
    uint32_t resultCode;   // 0: the login may go on; otherwise the refusal
    uint32_t accessLevel;  // the level after the mark check
    bool markExpired;      // the time-limited mark ran out: the level is now 50
};

// The mark check and the access tests, in order. hasMark: both mark
// columns hold a value (without them the mark stands).
AccessDecision DecideAccess(uint32_t accessLevel, bool hasMark, int64_t markTime, int32_t duration,
                            time_t now, bool serverLocked);
