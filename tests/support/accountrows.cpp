#include "accountrows.h"

#include "testdb.h"

static std::string OptionalBytes(const std::optional<std::string>& bytes)
{
    return bytes ? SqlHex(*bytes) : "NULL";
}

uint32_t AddAccount(FreshDatabase& db, const AccountRow& row)
{
    // AccountID NULL takes the next AUTO_INCREMENT value.
    std::string accountId = row.accountId != 0 ? std::to_string(row.accountId) : "NULL";
    db.Exec("INSERT INTO accounts (AccountID, Email, Password, AccessLevel, TimeAccountMarked, DurationOfMark, "
            "InterfaceDataSize, InterfaceData) VALUES (" + accountId + ", " +
            SqlHex(WideBlock(row.email, 130)) + ", " + OptionalBytes(row.password) + ", " +
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
        armor += SqlHex(id.empty() ? std::string(12, '\0') : id) + ", ";
    db.Exec("INSERT INTO characters (OwnerAccountID, Name, Location, HeightSex, HairSkinColor, "
            "ProfessionHairStyle, CampaignFace, Level, HeadArmor, ChestArmor, ArmsArmor, LegArmor, "
            "FeetArmor, SecondProfession, CharacterType, MissionID) VALUES (" +
            std::to_string(row.ownerAccountId) + ", " + SqlHex(WideBlock(row.name, 60)) + ", " +
            std::to_string(row.location) + ", " + std::to_string(row.heightSex) + ", " +
            std::to_string(row.hairSkinColor) + ", " + std::to_string(row.professionHairStyle) + ", " +
            std::to_string(row.campaignFace) + ", " + std::to_string(row.level) + ", " + armor +
            std::to_string(row.secondProfession) + ", " + std::to_string(row.characterType) + ", " +
            std::to_string(row.missionId) + ")");
    return uint32_t(std::stoul(db.Value("SELECT LAST_INSERT_ID()").value_or("0")));
}

void AddItem(FreshDatabase& db, const std::string& id, const std::string& data, int32_t locationType,
             uint32_t ownerCid, uint32_t ownerAid)
{
    db.Exec("INSERT INTO items (ID, Size, Data, ItemLocType, OwnerCID, OwnerAID) VALUES (" + SqlHex(id) +
            ", 200, " + SqlHex(data) + ", " + std::to_string(locationType) + ", " + std::to_string(ownerCid) +
            ", " + std::to_string(ownerAid) + ")");
}
