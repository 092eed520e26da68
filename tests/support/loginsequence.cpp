#include "loginsequence.h"

#include <algorithm>
#include <chrono>

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
