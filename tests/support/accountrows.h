#pragma once

// Rows of the login tables for end-to-end tests: accounts, characters and
// worn items, written straight into a FreshDatabase in the form the server
// keeps them (UTF-16LE text zero-padded to its column, raw digests and ids).
//
//   FreshDatabase db;
//   uint32_t account = AddAccount(db, AccountRow{u"a@b.c"});
//   CharacterRow ann{account, u"Ann"};
//   ann.armor[0] = ItemId(account, 12, 400);
//   AddCharacter(db, ann);
//   AddItem(db, ann.armor[0], ItemData({{0, 0x11}, {1, 0x22}}));

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class FreshDatabase;

// text as UTF-16LE units, zero-padded (or cut) to size bytes.
std::string WideBlock(const std::u16string& text, size_t size);

// SQL literal of raw bytes: "0x" and two lower-case digits per byte ('' for none).
std::string SqlBytes(const std::string& bytes);

// The Password column for a password typed as text: the server narrows the
// UTF-16 field to its low bytes in place and hashes all n field bytes.
std::string PasswordDigest(const std::u16string& password);

struct AccountRow {
    explicit AccountRow(std::u16string email_, std::optional<std::string> password_ = std::nullopt,
                        int32_t accessLevel_ = 50, int32_t timeAccountMarked_ = 0, int32_t durationOfMark_ = 0);

    uint32_t accountId = 0;                    // AccountID; 0: the table's next one
    std::u16string email;                      // the login name
    std::optional<std::string> password;       // Password: 32 raw bytes; none: NULL
    int32_t accessLevel = 50;
    int32_t timeAccountMarked = 0;
    int32_t durationOfMark = 0;
    uint32_t interfaceDataSize = 0;
    std::optional<std::string> interfaceData;  // InterfaceData; none: NULL
};

// Inserts the account and returns its AccountID.
uint32_t AddAccount(FreshDatabase& db, const AccountRow& row);
// Inserts the account under a chosen AccountID and returns it.
uint32_t AddAccountWithId(FreshDatabase& db, uint32_t accountId, AccountRow row);

struct CharacterRow {
    CharacterRow() = default;
    CharacterRow(uint32_t owner, std::u16string name_) : ownerAccountId(owner), name(std::move(name_)) {}

    uint32_t ownerAccountId = 0;
    std::u16string name;
    uint16_t location = 0;
    uint8_t heightSex = 0;
    uint8_t hairSkinColor = 0;
    uint8_t professionHairStyle = 0;
    uint8_t campaignFace = 0;
    uint8_t level = 0;
    std::string armor[5];             // item ids worn (12 bytes): head, chest, arms, leg, feet; "" = none
    uint8_t secondProfession = 0;
    uint8_t characterType = 0;
    uint32_t missionId = 0;
};

// Inserts the character and returns its ID.
uint32_t AddCharacter(FreshDatabase& db, const CharacterRow& row);

// A 12-byte item id of three little-endian words.
std::string ItemId(uint32_t accountWord, uint32_t characterWord, uint32_t randomWord);

// A 200-byte item data blob, zero but for the given (offset, value) bytes.
std::string ItemData(const std::vector<std::pair<size_t, uint8_t>>& bytes);

void AddItem(FreshDatabase& db, const std::string& id, const std::string& data, int32_t locationType = 0,
             uint32_t ownerCid = 0, uint32_t ownerAid = 0);
