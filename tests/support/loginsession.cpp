#include "loginsession.h"

#include <algorithm>
#include <cstring>

#include <gtest/gtest.h>

#include "sha256.h"
#include "testdb.h"

static const size_t kPasswordFieldBytes = 22;

std::vector<uint8_t> PaddedWide(const std::u16string& text, size_t width)
{
    std::vector<uint8_t> bytes(width, 0);
    for (size_t i = 0; i < text.size() && 2 * i + 1 < width; i++) {
        bytes[2 * i] = uint8_t(text[i]);
        bytes[2 * i + 1] = uint8_t(text[i] >> 8);
    }
    return bytes;
}

std::string HexLiteral(const std::vector<uint8_t>& bytes)
{
    if (bytes.empty())
        return "X''";
    static const char digits[] = "0123456789abcdef";
    std::string hex = "0x";
    for (uint8_t byte : bytes) {
        hex += digits[byte >> 4];
        hex += digits[byte & 15];
    }
    return hex;
}

std::vector<uint8_t> PasswordDigest(const std::u16string& password)
{
    std::vector<uint8_t> field = PaddedWide(password, kPasswordFieldBytes);
    size_t n = std::min(2 * password.size(), kPasswordFieldBytes);
    uint8_t work[23] = {};
    memcpy(work, field.data(), n);
    // Byte i takes the low byte of unit i until the next unit's low byte is
    // zero; a zero byte follows the last one, the rest stays as copied.
    for (size_t i = 0;; i++) {
        work[i] = work[2 * i];
        if (2 * i + 2 >= sizeof work || work[2 * i + 2] == 0) {
            work[i + 1] = 0;
            break;
        }
    }
    std::vector<uint8_t> digest(32);
    Sha256(work, digest.data(), uint32_t(n));
    return digest;
}

uint32_t AddAccount(FreshDatabase& db, const std::u16string& email, const std::u16string& password)
{
    db.Exec("INSERT INTO accounts(Email, Password) VALUES(" + HexLiteral(PaddedWide(email, 130)) + ", " +
            HexLiteral(PasswordDigest(password)) + ")");
    return uint32_t(std::stoul(db.Value("SELECT LAST_INSERT_ID()").value_or("0")));
}

Fields LoginMessage(const TestClient& client, uint32_t requestId, const std::u16string& password,
                    const std::u16string& email)
{
    size_t n = std::min(2 * password.size(), kPasswordFieldBytes);
    return Fields()
        .Op(client, "ACCOUNT_LOGIN")
        .U32(requestId)
        .U8(uint8_t(n))
        .U8(0)
        .Raw(PaddedWide(password, kPasswordFieldBytes))
        .Wide(email);
}

bool LogIn(TestClient& client, uint32_t requestId, const std::u16string& email,
           const std::u16string& password, size_t accountDataSize, std::vector<uint8_t>* accountData)
{
    if (!client.SendRaw(LoginMessage(client, requestId, password, email).bytes)) {
        ADD_FAILURE() << "ACCOUNT_LOGIN not sent";
        return false;
    }
    // A refusal is one STREAM_TERMINATOR: read that much first.
    std::vector<uint8_t> head;
    if (!client.Receive(10, &head)) {
        ADD_FAILURE() << "no answer to ACCOUNT_LOGIN: " << HexBytes(head);
        return false;
    }
    if (head[0] != client.Opcode("ACCOUNT_DATA")[0] || head[1] != client.Opcode("ACCOUNT_DATA")[1]) {
        ADD_FAILURE() << "login refused: " << HexBytes(head);
        return false;
    }
    std::vector<uint8_t> rest;
    size_t restSize = accountDataSize + 10 + 73 + 10 - head.size();
    if (accountDataSize < head.size() || !client.Receive(restSize, &rest)) {
        ADD_FAILURE() << "login answer incomplete: " << HexBytes(rest);
        return false;
    }
    std::vector<uint8_t> answer = head;
    answer.insert(answer.end(), rest.begin(), rest.end());
    accountData->assign(answer.begin(), answer.begin() + accountDataSize);

    Fields expected = Fields().Op(client, "ACCOUNT_DATA").U32(requestId);
    std::vector<uint8_t> dataHead(answer.begin(), answer.begin() + 6);
    std::vector<uint8_t> tail(answer.begin() + accountDataSize, answer.end());
    std::vector<uint8_t> permissionsHead(tail.begin() + 10, tail.begin() + 16);
    tail.erase(tail.begin() + 10, tail.begin() + 83);
    bool good = true;
    if (dataHead != expected.bytes) {
        ADD_FAILURE() << "ACCOUNT_DATA head: " << HexBytes(dataHead);
        good = false;
    }
    if (permissionsHead != Fields().Op(client, "ACCOUNT_PERMISSIONS").U32(requestId).bytes) {
        ADD_FAILURE() << "ACCOUNT_PERMISSIONS head: " << HexBytes(permissionsHead);
        good = false;
    }
    Fields closing = Fields()
                         .Op(client, "ACCOUNT_FRIENDSLIST_END").U32(requestId).U32(1)
                         .Op(client, "STREAM_TERMINATOR").U32(requestId).U32(0);
    if (tail != closing.bytes) {
        ADD_FAILURE() << "login answer tail: " << HexBytes(tail);
        good = false;
    }
    return good;
}
