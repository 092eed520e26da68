// The tables accept every statement the server sends, as the server sends
// them (a NUL as the last byte), and keep raw values at their full width.

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "loginrows.h"
#include "testdb.h"

namespace {

std::string Hex(size_t bytes, uint8_t fill)
{
    return SqlHex(std::string(bytes, char(fill)));
}

// Runs a statement the way the database layer sends it; the affected-row
// count, or -1 on failure.
long long Send(FreshDatabase& db, const std::string& text)
{
    MYSQL* connection = db.Connection();
    if (mysql_real_query(connection, text.c_str(), text.size() + 1) != 0) {
        ADD_FAILURE() << text << ": " << mysql_error(connection);
        return -1;
    }
    if (MYSQL_RES* result = mysql_store_result(connection)) {
        long long rows = static_cast<long long>(mysql_num_rows(result));
        mysql_free_result(result);
        return rows;
    }
    return static_cast<long long>(mysql_affected_rows(connection));
}

TEST(Schema, QuotesAreNotIdentifiers)
{
    FreshDatabase db;
    auto mode = db.Value("SELECT @@sql_mode");
    ASSERT_TRUE(mode);
    EXPECT_EQ(mode->find("ANSI_QUOTES"), std::string::npos);
}

TEST(Schema, AccountStatements)
{
    FreshDatabase db;
    std::string email = Hex(130, 0x41);
    EXPECT_EQ(Send(db, "SELECT email FROM accounts WHERE email=" + email + " LIMIT 1"), 0);
    EXPECT_EQ(Send(db, "INSERT INTO accounts(Email) VALUES(" + email + ")"), 1);
    EXPECT_EQ(Send(db, "SELECT email FROM accounts WHERE email=" + email + " LIMIT 1"), 1);
    // A second creation of the same e-mail fails instead of making a twin.
    EXPECT_NE(mysql_query(db.Connection(), ("INSERT INTO accounts(Email) VALUES(" + email + ")").c_str()), 0);

    auto row = db.Rows("SELECT Password, AccessLevel, AccountID, TimeAccountMarked, DurationOfMark, "
                       "InterfaceDataSize, InterfaceData FROM accounts WHERE Email=" + email + " LIMIT 1");
    ASSERT_EQ(row.size(), 1u);
    EXPECT_FALSE(row[0][0]);
    EXPECT_EQ(row[0][1], "50");
    std::string id = *row[0][2];
    EXPECT_EQ(row[0][3], "0");
    EXPECT_EQ(row[0][4], "0");
    EXPECT_EQ(row[0][5], "0");

    EXPECT_EQ(Send(db, "UPDATE accounts SET AccessLevel=50 WHERE AccountID=" + id + " LIMIT 1"), 0);
    EXPECT_EQ(Send(db, "UPDATE accounts SET CompHash=" + Hex(32, 0xab) + " WHERE AccountID=\"" + id + "\""), 1);
    EXPECT_EQ(Send(db, "UPDATE accounts SET InterfaceDataSize=690, InterfaceData=" + Hex(690, 0x07) +
                           " WHERE AccountID=" + id + " LIMIT 1"),
              1);
    EXPECT_EQ(db.Value("SELECT LENGTH(InterfaceData) FROM accounts"), "690");
    EXPECT_EQ(db.Value("SELECT HEX(CompHash) = REPEAT('AB', 32) FROM accounts"), "1");
    // Zero bytes are part of the key: the 130-byte block with zero padding.
    EXPECT_EQ(Send(db, "INSERT INTO accounts(Email) VALUES(" + Hex(130, 0) + ")"), 1);
    EXPECT_EQ(db.Value("SELECT LENGTH(Email) FROM accounts WHERE Email=" + Hex(130, 0)), "130");
}

TEST(Schema, CharacterStatements)
{
    FreshDatabase db;
    std::string name = Hex(60, 0x42);
    db.Exec("INSERT INTO characters (OwnerAccountID, Name, HeadArmor) VALUES (7, " + name + ", " +
            Hex(12, 0x11) + ")");
    EXPECT_EQ(db.Value("SELECT ID FROM characters"), "10");   // never a storage number

    auto rows = db.Rows("SELECT Name, Location, HeightSex, HairSkinColor, ProfessionHairStyle, CampaignFace, "
                        "Level, HeadArmor, ChestArmor, ArmsArmor, LegArmor, FeetArmor, SecondProfession, "
                        "CharacterType, MissionID FROM characters WHERE OwnerAccountID=\"7\"");
    ASSERT_EQ(rows.size(), 1u);
    ASSERT_EQ(rows[0].size(), 15u);
    EXPECT_EQ(rows[0][0]->size(), 60u);
    EXPECT_EQ(rows[0][7], std::string(12, '\x11'));
    EXPECT_EQ(rows[0][8], std::string(12, '\0'));            // unset armour: 12 zero bytes
    for (int column : {1, 2, 3, 4, 5, 6, 12, 13, 14})
        EXPECT_EQ(rows[0][column], "0") << column;

    EXPECT_EQ(Send(db, "SELECT ID, HeadArmor, ChestArmor, ArmsArmor, LegArmor, FeetArmor FROM characters "
                       "WHERE Name=" + name + " AND OwnerAccountID=7 LIMIT 1"),
              1);
    EXPECT_EQ(Send(db, "DELETE FROM items WHERE OwnerCID=10"), 0);
    EXPECT_EQ(Send(db, "DELETE FROM characters WHERE ID=10 AND OwnerAccountID=7 LIMIT 1"), 1);
}

TEST(Schema, ItemStatements)
{
    FreshDatabase db;
    std::string id = Hex(12, 0x21), other = Hex(12, 0x22), data = Hex(200, 0x33);
    EXPECT_EQ(Send(db, "INSERT INTO items (ID, Size, Data, ItemLocType, OwnerCID, OwnerAID) VALUES(" + id +
                           ", 200, " + data + ", -3, 10, 0)"),
              1);
    EXPECT_EQ(Send(db, "INSERT INTO items (ID, Size, Data, ItemLocType, OwnerCID, OwnerAID) VALUES(" + other +
                           ", 200, " + data + ", 4, 2, 7)"),
              1);
    EXPECT_NE(mysql_query(db.Connection(), ("INSERT INTO items (ID, Size, Data, ItemLocType, OwnerCID, "
                                            "OwnerAID) VALUES(" + id + ", 200, " + data + ", 0, 0, 0)").c_str()),
              0);   // one row per item id
    EXPECT_EQ(Send(db, "SELECT ID, Data, ItemLocType FROM items WHERE ID=" + id + " OR ID=" + other + " LIMIT 2"), 2);
    EXPECT_EQ(Send(db, "SELECT ID, Data, ItemLocType FROM items WHERE (OwnerCID=10 AND OwnerAID=0) OR "
                       "(OwnerAID=7 AND OwnerCID<10)"),
              2);
    EXPECT_EQ(Send(db, "UPDATE items SET ID=" + id + ", Size=\"200\", Data=" + Hex(200, 0x44) +
                           ", ItemLocType=\"-5\", OwnerCID=\"11\", OwnerAID=\"0\" WHERE ID=" + id + " LIMIT 1"),
              1);
    auto row = db.Rows("SELECT ID, Data, ItemLocType FROM items WHERE ID=" + id);
    ASSERT_EQ(row.size(), 1u);
    EXPECT_EQ(row[0][0]->size(), 12u);
    EXPECT_EQ(row[0][1], std::string(200, '\x44'));
    EXPECT_EQ(row[0][2], "-5");
    EXPECT_EQ(Send(db, "DELETE FROM items WHERE ID=" + id + " LIMIT 1"), 1);
    EXPECT_EQ(Send(db, "DELETE FROM items WHERE ID=" + other), 1);
}

} // namespace
