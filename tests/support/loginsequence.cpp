#include "loginsequence.h"

#include <algorithm>
#include <chrono>

// Room of the password field: the e-mail count follows at offset 30.
static const size_t kPasswordRoom = 22;

Fields AccountLoginMessage(const TestClient& client, uint32_t requestId, const std::u16string& password,
                           const std::u16string& email)
{
    Fields field;
    for (char16_t unit : password)
        field.U16(uint16_t(unit));
    size_t length = std::min(field.bytes.size(), kPasswordRoom);
    field.bytes.resize(kPasswordRoom, 0);
    return Fields().Op(client, "ACCOUNT_LOGIN").U32(requestId).U8(uint8_t(length)).U8(0).Raw(field.bytes).Wide(email);
}

Fields StreamTerminator(const TestClient& client, uint32_t requestId, uint32_t code)
{
    return Fields().Op(client, "STREAM_TERMINATOR").U32(requestId).U32(code);
}

Fields LoginAnswerTail(const TestClient& client, uint32_t requestId)
{
    return Fields()
        .Op(client, "ACCOUNT_FRIENDSLIST_END").U32(requestId).U32(1)
        .Op(client, "ACCOUNT_PERMISSIONS").U32(requestId).U32(0).U32(4).Zeros(52)
        .Raw({0x04, 0x00, 0x01, 0x00, 0x06, 0x00, 0x0C})
        .Op(client, "STREAM_TERMINATOR").U32(requestId).U32(0);
}

bool ReceiveThrough(TestClient& client, const std::vector<uint8_t>& tail, std::vector<uint8_t>* out,
                    int timeoutMs)
{
    out->clear();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::vector<uint8_t> byte;
    while (out->size() < tail.size() || !std::equal(tail.begin(), tail.end(), out->end() - tail.size())) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !client.Receive(1, &byte, int(left.count())))
            return false;
        out->push_back(byte[0]);
    }
    return true;
}

bool LogIn(TestClient& client, uint32_t requestId, const std::u16string& email, const std::u16string& password,
           std::vector<uint8_t>* answer)
{
    std::vector<uint8_t> head;
    std::vector<uint8_t> rest;
    if (!client.SendRaw(AccountLoginMessage(client, requestId, password, email).bytes))
        return false;
    // A refusal is one STREAM_TERMINATOR; an answer never begins with one.
    std::vector<uint8_t> closing = StreamTerminator(client, requestId, 0).bytes;
    bool ok = client.Receive(closing.size(), &head) &&
              !std::equal(closing.begin(), closing.begin() + 6, head.begin()) &&
              ReceiveThrough(client, closing, &rest);
    head.insert(head.end(), rest.begin(), rest.end());
    if (answer)
        *answer = head;
    return ok;
}
