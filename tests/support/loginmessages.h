#pragma once

// Requests of the login conversation and the replies a correct server
// gives, byte for byte.
//
//   client.SendRaw(AccountLoginMessage(client, 7, u"", u"a@b.c").bytes);
//   // a login answer without characters (DefaultAccountData: ServerTest)
//   Fields(DefaultAccountData(client, 7)).Raw(LoginAnswerTail(client, 7).bytes)

#include <cstdint>
#include <string>
#include <vector>

#include "fields.h"
#include "loginrows.h"
#include "opcodetable.h"

// The whole ACCOUNT_LOGIN message: request id, the password's byte count,
// a byte not read, the password field (22 bytes of room), the e-mail.
Fields AccountLoginMessage(const OpcodeTable& numbers, uint32_t requestId, const std::u16string& password,
                           const std::u16string& email);
Fields CreateAccount(const OpcodeTable& numbers, uint32_t requestId, const std::u16string& email);
Fields CharacterDelete(const OpcodeTable& numbers, uint32_t requestId, const std::u16string& name);
// ACCOUNT_DATA_FROM_CC: request id, 4 unread bytes, the interface data.
Fields AccountDataFromClient(const OpcodeTable& numbers, uint32_t requestId, const std::vector<uint8_t>& data);

// The STREAM_TERMINATOR of a request.
Fields StreamTerminator(const OpcodeTable& numbers, uint32_t requestId, uint32_t code);

// CHARACTER_INFO of a character as the client reads it; slots: the five
// bytes each armour slot shows (head, chest, arms, leg, feet; a missing
// one shows zeros).
Fields CharacterInfo(const OpcodeTable& numbers, uint32_t requestId, const CharacterRow& row,
                     const std::vector<std::vector<uint8_t>>& slots);

// What closes every login answer after ACCOUNT_DATA:
// ACCOUNT_FRIENDSLIST_END, ACCOUNT_PERMISSIONS (no permissions) and
// STREAM_TERMINATOR with code 0.
Fields LoginAnswerTail(const OpcodeTable& numbers, uint32_t requestId);
