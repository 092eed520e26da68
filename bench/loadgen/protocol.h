#pragma once

// The login conversation as a client speaks it: message numbers from the
// installation's Data/LoginOpcodes.ini, the requests of one login, and the
// checks on the answers.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fields.h"
#include "loginmessages.h"
#include "loginrows.h"
#include "opcodetable.h"

namespace loadgen {

typedef std::vector<uint8_t> Bytes;

// An ASCII text as UTF-16, the way the client sends text.
inline std::u16string Utf16(const std::string& ascii)
{
    return std::u16string(ascii.begin(), ascii.end());
}

// The seeded data of one simulated client.
struct Character {
    std::string name;            // ASCII, sent as UTF-16LE
    uint32_t id = 0;
    std::string armorIds[5];     // 12 bytes each: head, chest, arms, leg, feet
    Bytes armorData[5];          // the worn items' 200-byte data
};

struct Account {
    uint32_t id = 0;
    std::string email;           // ASCII
    std::string password;        // ASCII, at most 11 characters
    Character characters[2];
};

// The requests of one conversation.
struct Requests {
    explicit Requests(const OpcodeTable& op) : op(op) {}
    const OpcodeTable& op;

    // CLIENT_SEED, CLIENT_VERSION, COMPUTER_USER, then LS_CLIENT_ID, whose
    // P12B_REPLY tells that every earlier message has been handled.
    Bytes Handshake(uint32_t clientNumber) const
    {
        return Fields()
            .Op(op, "CLIENT_SEED").Zeros(64)
            .Op(op, "CLIENT_VERSION").Zeros(2).U32(1234).Zeros(8)
            .Op(op, "COMPUTER_USER").Wide(Utf16("load" + std::to_string(clientNumber))).Wide(u"benchhost")
            .Op(op, "LS_CLIENT_ID").Zeros(4)
            .bytes;
    }
    static size_t HandshakeAnswerSize() { return 22 + 6; }   // SERVER_SEED, P12B_REPLY
    bool HandshakeAnswerOk(const Bytes& answer) const
    {
        return answer.size() == HandshakeAnswerSize() && op.At(answer, 0, "SERVER_SEED") &&
               op.At(answer, 22, "P12B_REPLY");
    }

    Bytes Login(const Account& account, uint32_t requestId) const
    {
        return AccountLoginMessage(op, requestId, Utf16(account.password), Utf16(account.email)).bytes;
    }
    Bytes Logout() const { return Fields().Op(op, "ACCOUNT_LOGOUT").Zeros(4).bytes; }
};

// Size of a successful login's answer: two CHARACTER_INFO, ACCOUNT_DATA (the
// default interface, as seeded accounts store none), ACCOUNT_FRIENDSLIST_END,
// ACCOUNT_PERMISSIONS and STREAM_TERMINATOR.
inline size_t LoginAnswerSize(const Account& account, size_t defaultInterfaceSize)
{
    size_t size = defaultInterfaceSize + 10 + 73 + 10;
    for (const Character& c : account.characters)
        size += 92 + 2 * c.name.size();
    return size;
}

// Checks a login answer: every message in its place with the request id,
// each character's armour slots carrying its items' bytes, and a closing
// STREAM_TERMINATOR with code 0. Empty when sound, else what is wrong.
inline std::string CheckLoginAnswer(const OpcodeTable& op, const Account& account, uint32_t requestId,
                                    const Bytes& answer, size_t defaultInterfaceSize)
{
    size_t at = 0;
    for (int i = 0; i < 2; ++i) {
        if (!op.At(answer, at, "CHARACTER_INFO") || ReadU32(answer, at + 2) != requestId)
            return "CHARACTER_INFO expected";
        size_t units = answer[at + 26] | answer[at + 27] << 8;
        if (at + 92 + 2 * units > answer.size())
            return "CHARACTER_INFO too long";
        std::string name;
        for (size_t u = 0; u < units; ++u)
            name += (char)answer[at + 28 + 2 * u];
        const Character* c = nullptr;
        for (const Character& candidate : account.characters)
            if (candidate.name == name)
                c = &candidate;
        if (!c)
            return "unknown character " + name;
        for (int slot = 0; slot < 5; ++slot) {
            const Bytes& d = c->armorData[slot];
            const uint8_t* got = &answer[at + 67 + 2 * units + 5 * slot];
            uint8_t want[5] = {d[0], d[1], d[6], d[7], d[5]};
            if (memcmp(got, want, 5) != 0)
                return "armour slot bytes differ";
        }
        at += 92 + 2 * units;
    }
    if (!op.At(answer, at, "ACCOUNT_DATA") || ReadU32(answer, at + 2) != requestId)
        return "ACCOUNT_DATA expected";
    at += defaultInterfaceSize;
    if (!op.At(answer, at, "ACCOUNT_FRIENDSLIST_END") || ReadU32(answer, at + 2) != requestId)
        return "ACCOUNT_FRIENDSLIST_END expected";
    at += 10;
    if (!op.At(answer, at, "ACCOUNT_PERMISSIONS") || ReadU32(answer, at + 2) != requestId)
        return "ACCOUNT_PERMISSIONS expected";
    at += 73;
    if (!op.At(answer, at, "STREAM_TERMINATOR") || ReadU32(answer, at + 2) != requestId)
        return "STREAM_TERMINATOR expected";
    if (ReadU32(answer, at + 6) != 0)
        return "result code " + std::to_string(ReadU32(answer, at + 6));
    return "";
}

} // namespace loadgen
