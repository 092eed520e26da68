#pragma once

// Accounts for the simulated clients, one each, with two characters that
// wear five items apiece; rows written with plain SQL.

#include <cstdio>
#include <string>
#include <vector>

#include "protocol.h"
#include "sql.h"

namespace loadgen {

inline std::vector<Account> MakeAccounts(uint32_t count)
{
    std::vector<Account> accounts(count);
    for (uint32_t i = 0; i < count; ++i) {
        Account& a = accounts[i];
        a.id = i + 1;
        char text[64];
        snprintf(text, sizeof text, "load%05u@bench.test", i);
        a.email = text;
        snprintf(text, sizeof text, "pw%05u", i);
        a.password = text;
        for (uint32_t c = 0; c < 2; ++c) {
            Character& ch = a.characters[c];
            ch.id = 10 + 2 * i + c;
            snprintf(text, sizeof text, "Hero%05u%c", i, 'A' + c);
            ch.name = text;
            for (uint32_t slot = 0; slot < 5; ++slot) {
                ch.armorIds[slot] = ItemId(a.id, ch.id, 0x5100 + slot);
                ch.armorData[slot] = Bytes(200, 0);
                for (uint32_t b = 0; b < 8; ++b)
                    ch.armorData[slot][b] = (uint8_t)(ch.id * 7 + slot * 31 + b * 3 + 1);
            }
        }
    }
    return accounts;
}

// Multi-row INSERTs, a few hundred rows at a time.
inline bool SeedAccounts(MYSQL* connection, const std::vector<Account>& accounts)
{
    const size_t batch = 200;
    for (size_t first = 0; first < accounts.size(); first += batch) {
        std::string accountRows, characterRows, itemRows;
        for (size_t i = first; i < accounts.size() && i < first + batch; ++i) {
            const Account& a = accounts[i];
            accountRows += std::string(accountRows.empty() ? "" : ",") + "(" + std::to_string(a.id) +
                           "," + SqlHex(WideBlock(Utf16(a.email), 130)) + "," +
                           SqlHex(PasswordDigest(Utf16(a.password))) + ",50)";
            for (const Character& c : a.characters) {
                characterRows += std::string(characterRows.empty() ? "" : ",") + "(" +
                                 std::to_string(c.id) + "," + std::to_string(a.id) + "," +
                                 SqlHex(WideBlock(Utf16(c.name), 60)) + ",100,1,2,3,33,20";
                for (const std::string& id : c.armorIds)
                    characterRows += "," + SqlHex(id);
                characterRows += ",2,0,0)";
                for (int slot = 0; slot < 5; ++slot)
                    itemRows += std::string(itemRows.empty() ? "" : ",") + "(" + SqlHex(c.armorIds[slot]) + "," +
                                SqlHex(c.armorData[slot]) + "," + std::to_string(slot + 1) + "," +
                                std::to_string(c.id) + ",0)";
            }
        }
        if (!SqlExec(connection, "INSERT INTO accounts (AccountID, Email, Password, AccessLevel) VALUES " +
                                     accountRows) ||
            !SqlExec(connection,
                     "INSERT INTO characters (ID, OwnerAccountID, Name, Location, HeightSex, HairSkinColor, "
                     "ProfessionHairStyle, CampaignFace, Level, HeadArmor, ChestArmor, ArmsArmor, LegArmor, "
                     "FeetArmor, SecondProfession, CharacterType, MissionID) VALUES " +
                         characterRows) ||
            !SqlExec(connection, "INSERT INTO items (ID, Data, ItemLocType, OwnerCID, OwnerAID) VALUES " +
                                     itemRows))
            return false;
    }
    return true;
}

} // namespace loadgen
