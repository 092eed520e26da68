#pragma once

// Requests of the login conversation and the answers a correct server gives,
// byte for byte, for end-to-end tests.
//
//   TestClient client(server.Dir());
//   client.SendRaw(AccountLoginMessage(client, 7, u"", u"a@b.c").bytes);
//   LoginAnswer answer{7, DefaultInterfaceBytes(server.Dir())};
//   client.Receive(answer.Bytes(client).size(), &reply);

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "loginsequence.h"
#include "testclient.h"

namespace abuse {

// UTF-16LE units of text, zero-padded (or cut) to width bytes.
std::vector<uint8_t> WideZ(const std::u16string& text, size_t width);

Fields CreateAccount(const TestClient& client, uint32_t requestId, const std::u16string& email);
Fields CharacterDelete(const TestClient& client, uint32_t requestId, const std::u16string& name);
// ACCOUNT_DATA_FROM_CC: request id, 4 unread bytes, the interface data.
Fields AccountDataFromClient(const TestClient& client, uint32_t requestId,
                             const std::vector<uint8_t>& data);

// One character as the characters table holds it, with the five bytes each
// armour slot shows (all zero for an empty slot).
struct CharacterRow {
    std::u16string name;
    uint16_t location = 0;
    uint8_t heightSex = 0, hairSkinColor = 0, professionHairStyle = 0, campaignFace = 0;
    uint8_t level = 0, secondProfession = 0, characterType = 0;
    std::array<std::array<uint8_t, 5>, 5> slots = {};   // head, chest, arms, leg, feet
};

// CHARACTER_INFO of one character.
Fields CharacterInfo(const TestClient& client, uint32_t requestId, const CharacterRow& row);

// The whole answer to a successful login: one CHARACTER_INFO per character
// (in the given order), ACCOUNT_DATA, ACCOUNT_FRIENDSLIST_END,
// ACCOUNT_PERMISSIONS and STREAM_TERMINATOR code 0.
struct LoginAnswer {
    uint32_t requestId = 0;
    std::vector<uint8_t> interfaceData;   // stored data, or the default interface file
    std::vector<CharacterRow> characters;

    std::vector<uint8_t> Bytes(const TestClient& client) const;
};

// Data/Packets/DefaultInterface of an installation.
std::vector<uint8_t> DefaultInterfaceBytes(const std::string& installDir);

} // namespace abuse
