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

#include "loginmessages.h"
#include "testclient.h"

// Receives until what arrived ends with tail; false after timeoutMs (what
// did arrive is kept in *out).
bool ReceiveThrough(TestClient& client, const std::vector<uint8_t>& tail, std::vector<uint8_t>* out,
                    int timeoutMs = 10000);

// Sends ACCOUNT_LOGIN and receives the login answer up to its closing
// STREAM_TERMINATOR with code 0. False on a refusal or a time-out.
bool LogIn(TestClient& client, uint32_t requestId, const std::u16string& email,
           const std::u16string& password = u"", std::vector<uint8_t>* answer = nullptr);
