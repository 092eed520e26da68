#pragma once

// The working data of one account login, from ACCOUNT_LOGIN until the
// login answer is written. It hangs on the client's record as the chain's
// callback data and is freed (DeleteAs<LoginData>) when the chain ends or is
// abandoned.

#include <cstdint>
#include <memory>

#include "loginwire.h"

// One character of the account, kept between the characters query and the
// item query.
struct CharacterRecord {
    uint8_t name[kCharacterNameBytes] = {};
    uint16_t location = 0;
    uint8_t heightSex = 0;
    uint8_t hairSkinColor = 0;
    uint8_t professionHairStyle = 0;
    uint8_t campaignFace = 0;
    uint8_t level = 0;
    uint8_t secondProfession = 0;
    uint8_t characterType = 0;
    uint8_t armorIds[5][12] = {};   // item ids worn: head, chest, arms, leg, feet
    uint32_t missionId = 0;         // kept, not sent
};

struct LoginData {
    uint8_t passwordHash[32] = {};   // SHA-256 of the password field
    uint8_t email[kEmailBlockSize] = {}; // the e-mail as received
    uint8_t interfaceData[kInterfaceDataRoom] = {}; // the account's stored interface data
    int16_t interfaceDataSize = 0;   // valid bytes in interfaceData; 0: none stored
    std::unique_ptr<CharacterRecord[]> characters; // the account's characters, in row order
    uint32_t characterCount = 0;     // records in characters
};
