#pragma once

// The account login as a test client performs it.
//
//   std::vector<uint8_t> answer;
//   ASSERT_TRUE(LogIn(client, 7, u"a@b.c", u"secret", &answer));
//   // answer: CHARACTER_INFO..., ACCOUNT_DATA, ACCOUNT_FRIENDSLIST_END,
//   //         ACCOUNT_PERMISSIONS, STREAM_TERMINATOR (request 7, code 0)

#include <cstdint>
#include <string>
#include <vector>

#include "testclient.h"

// The whole ACCOUNT_LOGIN message: request id, the password's byte count,
// a byte not read, the password field (22 bytes of room), the e-mail.
Fields AccountLoginMessage(const TestClient& client, uint32_t requestId, const std::u16string& password,
                           const std::u16string& email);

// The STREAM_TERMINATOR of a request.
Fields StreamTerminator(const TestClient& client, uint32_t requestId, uint32_t code);

// What closes every login answer after ACCOUNT_DATA:
// ACCOUNT_FRIENDSLIST_END, ACCOUNT_PERMISSIONS (no permissions) and
// STREAM_TERMINATOR with code 0.
Fields LoginAnswerTail(const TestClient& client, uint32_t requestId);

// Receives until what arrived ends with tail; false after timeoutMs (what
// did arrive is kept in *out).
bool ReceiveThrough(TestClient& client, const std::vector<uint8_t>& tail, std::vector<uint8_t>* out,
                    int timeoutMs = 10000);

// Sends ACCOUNT_LOGIN and receives the login answer up to its closing
// STREAM_TERMINATOR with code 0. False on a refusal or a time-out.
bool LogIn(TestClient& client, uint32_t requestId, const std::u16string& email,
           const std::u16string& password = u"", std::vector<uint8_t>* answer = nullptr);
