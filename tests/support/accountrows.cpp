#include "accountrows.h"

#include <cstdio>

#include <gtest/gtest.h>

#include "sha256.h"
#include "testdb.h"

std::string WideBlock(const std::u16string& text, size_t size)
{
    std::string block;
    for (char16_t unit : text) {
        block += char(unit & 0xFF);
        block += char(unit >> 8);
    }
    block.resize(size, '\0');
    return block;
}

std::string SqlBytes(const std::string& bytes)
{
    if (bytes.empty())
        return "''";
    std::string text = "0x";
    char digits[3];
    for (unsigned char byte : bytes) {
        snprintf(digits, sizeof digits, "%02x", byte);
        text += digits;
    }
    return text;
}

std::string PasswordDigest(const std::u16string& password)
{
    // The field as sent, then narrowed in place: k low bytes and a zero,
    // while the bytes behind stay as they were sent.
    std::string field = WideBlock(password, 2 * password.size());
    std::string input = field;
    size_t k = 0;
    while (k < password.size() && (password[k] & 0xFF) != 0) {
        input[k] = char(password[k] & 0xFF);
        k++;
    }
    if (k < input.size())
        input[k] = '\0';
    uint8_t digest[32];
    Sha256(input.data(), digest, uint32_t(input.size()));
    return std::string(reinterpret_cast<char*>(digest), sizeof digest);
}

// Out of line: inlined into a caller that passes std::nullopt, the move
// makes GCC 12 warn about a string that is never there.
AccountRow::AccountRow(std::u16string email_, std::optional<std::string> password_, int32_t accessLevel_,
                       int32_t timeAccountMarked_, int32_t durationOfMark_)
    : email(std::move(email_)), password(std::move(password_)), accessLevel(accessLevel_),
      timeAccountMarked(timeAccountMarked_), durationOfMark(durationOfMark_)
{
}

static std::string OptionalBytes(const std::optional<std::string>& bytes)
{
    return bytes ? SqlBytes(*bytes) : "NULL";
}

uint32_t AddAccount(FreshDatabase& db, const AccountRow& row)
{
    // AccountID NULL takes the next AUTO_INCREMENT value.
    std::string accountId = row.accountId != 0 ? std::to_string(row.accountId) : "NULL";
    db.Exec("INSERT INTO accounts (AccountID, Email, Password, AccessLevel, TimeAccountMarked, DurationOfMark, "
            "InterfaceDataSize, InterfaceData) VALUES (" + accountId + ", " +
            SqlBytes(WideBlock(row.email, 130)) + ", " + OptionalBytes(row.password) + ", " +
            std::to_string(row.accessLevel) + ", " + std::to_string(row.timeAccountMarked) + ", " +
            std::to_string(row.durationOfMark) + ", " + std::to_string(row.interfaceDataSize) + ", " +
            OptionalBytes(row.interfaceData) + ")");
    if (row.accountId != 0)
        return row.accountId;
    return uint32_t(std::stoul(db.Value("SELECT LAST_INSERT_ID()").value_or("0")));
}

uint32_t AddAccountWithId(FreshDatabase& db, uint32_t accountId, AccountRow row)
{
    row.accountId = accountId;
    return AddAccount(db, row);
}

uint32_t AddCharacter(FreshDatabase& db, const CharacterRow& row)
{
    std::string armor;
    for (const std::string& id : row.armor)
        armor += SqlBytes(id.empty() ? std::string(12, '\0') : id) + ", ";
    db.Exec("INSERT INTO characters (OwnerAccountID, Name, Location, HeightSex, HairSkinColor, "
            "ProfessionHairStyle, CampaignFace, Level, HeadArmor, ChestArmor, ArmsArmor, LegArmor, "
            "FeetArmor, SecondProfession, CharacterType, MissionID) VALUES (" +
            std::to_string(row.ownerAccountId) + ", " + SqlBytes(WideBlock(row.name, 60)) + ", " +
            std::to_string(row.location) + ", " + std::to_string(row.heightSex) + ", " +
            std::to_string(row.hairSkinColor) + ", " + std::to_string(row.professionHairStyle) + ", " +
            std::to_string(row.campaignFace) + ", " + std::to_string(row.level) + ", " + armor +
            std::to_string(row.secondProfession) + ", " + std::to_string(row.characterType) + ", " +
            std::to_string(row.missionId) + ")");
    return uint32_t(std::stoul(db.Value("SELECT LAST_INSERT_ID()").value_or("0")));
}

std::string ItemId(uint32_t accountWord, uint32_t characterWord, uint32_t randomWord)
{
    std::string id;
    for (uint32_t word : {accountWord, characterWord, randomWord})
        for (int i = 0; i < 4; i++)
            id += char(word >> (8 * i));
    return id;
}

std::string ItemData(const std::vector<std::pair<size_t, uint8_t>>& bytes)
{
    std::string data(200, '\0');
    for (const auto& [offset, value] : bytes)
        data.at(offset) = char(value);
    return data;
}

void AddItem(FreshDatabase& db, const std::string& id, const std::string& data, int32_t locationType,
             uint32_t ownerCid, uint32_t ownerAid)
{
    db.Exec("INSERT INTO items (ID, Size, Data, ItemLocType, OwnerCID, OwnerAID) VALUES (" + SqlBytes(id) +
            ", 200, " + SqlBytes(data) + ", " + std::to_string(locationType) + ", " + std::to_string(ownerCid) +
            ", " + std::to_string(ownerAid) + ")");
}
