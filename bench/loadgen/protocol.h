#pragma once

// The login conversation as a client speaks it: message numbers from the
// installation's Data/LoginOpcodes.ini, the requests of one login, and the
// checks on the answers.

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "sha256.h"

namespace loadgen {

typedef std::vector<uint8_t> Bytes;

// Every value is hexadecimal and names the two wire bytes in written order.
class Opcodes {
public:
    bool Load(const std::string& path)
    {
        std::ifstream in(path);
        std::string line;
        while (std::getline(in, line)) {
            size_t equals = line.find('=');
            if (line.empty() || line[0] == '#' || equals == std::string::npos)
                continue;
            std::string name = line.substr(0, equals);
            for (char& c : name)
                c = (char)toupper((unsigned char)c);
            uint32_t value = (uint32_t)strtoul(line.c_str() + equals + 1, nullptr, 16) & 0xFFFF;
            wire_[name] = Bytes{(uint8_t)(value >> 8), (uint8_t)value};
        }
        return wire_.count("STREAM_TERMINATOR") != 0;
    }
    const Bytes& Of(const char* name) const
    {
        static const Bytes none{0, 0};
        auto it = wire_.find(name);
        return it == wire_.end() ? none : it->second;
    }
    bool At(const Bytes& data, size_t offset, const char* name) const
    {
        const Bytes& op = Of(name);
        return data.size() >= offset + 2 && data[offset] == op[0] && data[offset + 1] == op[1];
    }

private:
    std::map<std::string, Bytes> wire_;
};

struct Writer {
    Bytes bytes;
    Writer& Raw(const Bytes& b) { bytes.insert(bytes.end(), b.begin(), b.end()); return *this; }
    Writer& U8(uint8_t v) { bytes.push_back(v); return *this; }
    Writer& U16(uint16_t v) { return U8((uint8_t)v).U8((uint8_t)(v >> 8)); }
    Writer& U32(uint32_t v) { return U16((uint16_t)v).U16((uint16_t)(v >> 16)); }
    Writer& Zeros(size_t n) { bytes.insert(bytes.end(), n, 0); return *this; }
    Writer& Wide(const std::string& text)   // u16 unit count, then the UTF-16LE units
    {
        U16((uint16_t)text.size());
        for (char c : text)
            U16((uint8_t)c);
        return *this;
    }
};

inline uint32_t ReadU32(const Bytes& data, size_t offset)
{
    return (uint32_t)data[offset] | (uint32_t)data[offset + 1] << 8 | (uint32_t)data[offset + 2] << 16 |
           (uint32_t)data[offset + 3] << 24;
}

// UTF-16LE of an ASCII text, zero-padded to width bytes.
inline Bytes WidePadded(const std::string& text, size_t width)
{
    Bytes out(width, 0);
    for (size_t i = 0; i < text.size() && 2 * i + 1 < width; ++i)
        out[2 * i] = (uint8_t)text[i];
    return out;
}

// The digest the server stores for a password of ASCII characters sent as
// UTF-16LE: the field is copied into a zeroed 23-byte buffer, narrowed in
// place (each unit's low byte, a zero after the last one) and n bytes of
// the result are hashed, n being the field's byte count.
inline Bytes PasswordDigest(const std::string& password)
{
    Bytes field = WidePadded(password, 2 * password.size());
    uint8_t buffer[23] = {};
    size_t n = field.size() < 22 ? field.size() : 22;
    memcpy(buffer, field.data(), n);
    for (size_t i = 0; 2 * i < n; ++i) {
        buffer[i] = buffer[2 * i];
        if (2 * i + 2 >= sizeof buffer || buffer[2 * i + 2] == 0) {
            if (i + 1 < sizeof buffer)
                buffer[i + 1] = 0;
            break;
        }
    }
    Bytes digest(32);
    Sha256(buffer, digest.data(), (uint32_t)n);
    return digest;
}

inline std::string Hex(const Bytes& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string text = "0x";
    for (uint8_t b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

// The seeded data of one simulated client.
struct Character {
    std::string name;            // ASCII, sent as UTF-16LE
    uint32_t id = 0;
    Bytes armorIds[5];           // 12 bytes each: head, chest, arms, leg, feet
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
    explicit Requests(const Opcodes& op) : op(op) {}
    const Opcodes& op;

    // CLIENT_SEED, CLIENT_VERSION, COMPUTER_USER, then LS_CLIENT_ID, whose
    // P12B_REPLY tells that every earlier message has been handled.
    Bytes Handshake(uint32_t clientNumber) const
    {
        Writer w;
        w.Raw(op.Of("CLIENT_SEED")).Zeros(64);
        w.Raw(op.Of("CLIENT_VERSION")).Zeros(2).U32(1234).Zeros(8);
        w.Raw(op.Of("COMPUTER_USER")).Wide("load" + std::to_string(clientNumber)).Wide("benchhost");
        w.Raw(op.Of("LS_CLIENT_ID")).Zeros(4);
        return w.bytes;
    }
    static size_t HandshakeAnswerSize() { return 22 + 6; }   // SERVER_SEED, P12B_REPLY
    bool HandshakeAnswerOk(const Bytes& answer) const
    {
        return answer.size() == HandshakeAnswerSize() && op.At(answer, 0, "SERVER_SEED") &&
               op.At(answer, 22, "P12B_REPLY");
    }

    Bytes Login(const Account& account, uint32_t requestId) const
    {
        Writer w;
        w.Raw(op.Of("ACCOUNT_LOGIN")).U32(requestId).U8((uint8_t)(2 * account.password.size())).U8(0);
        w.Raw(WidePadded(account.password, 22));   // the field runs to offset 30
        w.Wide(account.email);
        return w.bytes;
    }
    Bytes Logout() const { return Writer().Raw(op.Of("ACCOUNT_LOGOUT")).Zeros(4).bytes; }
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
inline std::string CheckLoginAnswer(const Opcodes& op, const Account& account, uint32_t requestId,
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
