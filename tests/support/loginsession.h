#pragma once

// Accounts made directly in a test database, and the real login of a test
// client into one of them, for tests of requests that need a logged-in
// client.
//
//   FreshDatabase db;
//   uint32_t account = AddAccount(db, u"a@b.c", u"secret");
//   ...
//   std::vector<uint8_t> accountData;
//   ASSERT_TRUE(LogIn(client, 0x11, u"a@b.c", u"secret", defaultSize, &accountData));

#include <cstdint>
#include <string>
#include <vector>

#include "testclient.h"

class FreshDatabase;

// The UTF-16LE text zero-padded to width bytes (cut at width), as the
// server stores e-mails (130) and character names (60).
std::vector<uint8_t> PaddedWide(const std::u16string& text, size_t width);

// SQL hex literal of bytes ("0x..."; X'' for none).
std::string HexLiteral(const std::vector<uint8_t>& bytes);

// The 32-byte digest that the Password column holds for a password sent as
// UTF-16LE in ACCOUNT_LOGIN: SHA-256 over the n bytes of the field (n = two
// per unit, at most 22) after the server's in-place narrowing.
std::vector<uint8_t> PasswordDigest(const std::u16string& password);

// Inserts an account row with the e-mail and the password's digest; its
// AccountID.
uint32_t AddAccount(FreshDatabase& db, const std::u16string& email, const std::u16string& password);

// ACCOUNT_LOGIN: request id, password byte count, the 22-byte password
// field, then the e-mail.
Fields LoginMessage(const TestClient& client, uint32_t requestId, const std::u16string& password,
                    const std::u16string& email);

// Logs in an account that has no characters: sends ACCOUNT_LOGIN and reads
// the answer, ACCOUNT_DATA (accountDataSize bytes, handed back in
// *accountData), ACCOUNT_FRIENDSLIST_END, ACCOUNT_PERMISSIONS and
// STREAM_TERMINATOR with code 0, checking the numbers and request ids of
// the three fixed-size messages. False (with a test failure) otherwise.
bool LogIn(TestClient& client, uint32_t requestId, const std::u16string& email,
           const std::u16string& password, size_t accountDataSize, std::vector<uint8_t>* accountData);
