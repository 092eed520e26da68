// The login answer against the real server and the test database: the
// characters with the items they wear, stored and default interface data,
// many clients at once, and hostile input that must not disturb a login.

#include <chrono>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "accountrows.h"
#include "loginsequence.h"
#include "serverfixture.h"
#include "testclient.h"
#include "testdb.h"

namespace {

typedef std::vector<uint8_t> Bytes;

// The answer split into its CHARACTER_INFO messages (by name) and the rest.
struct LoginAnswer {
    std::map<std::u16string, Bytes> characters;
    std::vector<std::u16string> order;
    Bytes rest;
};

LoginAnswer SplitAnswer(const TestClient& client, const Bytes& answer)
{
    LoginAnswer split;
    Bytes number = client.Opcode("CHARACTER_INFO");
    size_t at = 0;
    while (at + 28 <= answer.size() && answer[at] == number[0] && answer[at + 1] == number[1]) {
        size_t units = answer[at + 26] | (answer[at + 27] << 8);
        size_t length = 92 + 2 * units;
        if (at + length > answer.size())
            break;
        std::u16string name;
        for (size_t i = 0; i < units; i++)
            name += char16_t(answer[at + 28 + 2 * i] | (answer[at + 29 + 2 * i] << 8));
        split.characters[name] = Bytes(answer.begin() + at, answer.begin() + at + length);
        split.order.push_back(name);
        at += length;
    }
    split.rest.assign(answer.begin() + at, answer.end());
    return split;
}

const Bytes kEmptySlot(5, 0);

class CharacterListTest : public FreshDatabaseServerTest {};

TEST_F(CharacterListTest, CharactersWithTheItemsTheyWear)
{
    uint32_t account = AddAccount(db, AccountRow{u"a@b.c"});
    CharacterRow ann;
    ann.ownerAccountId = account;
    ann.name = u"Ann";
    ann.location = 100;
    ann.heightSex = 1;
    ann.hairSkinColor = 2;
    ann.professionHairStyle = 3;
    ann.campaignFace = 0x21;
    ann.level = 20;
    ann.secondProfession = 2;
    ann.armor[0] = ItemId(account, 12, 400);
    uint32_t annId = AddCharacter(db, ann);
    AddItem(db, ann.armor[0], ItemData({{0, 0x11}, {1, 0x22}, {5, 0x55}, {6, 0x66}, {7, 0x77}}), 0, annId);

    CharacterRow bob;   // level 16, second profession 11, wears chest and legs; feet id has no item
    bob.ownerAccountId = account;
    bob.name = u"Bob";
    bob.level = 16;
    bob.secondProfession = 11;
    bob.characterType = 1;
    bob.armor[1] = ItemId(account, 13, 401);
    bob.armor[3] = ItemId(account, 13, 402);
    bob.armor[4] = ItemId(account, 13, 403);
    uint32_t bobId = AddCharacter(db, bob);
    AddItem(db, bob.armor[1], ItemData({{0, 1}, {1, 2}, {5, 5}, {6, 6}, {7, 7}}), 0, bobId);
    AddItem(db, bob.armor[3], ItemData({{0, 0xA0}, {1, 0xA1}, {5, 0xA5}, {6, 0xA6}, {7, 0xA7}}), 0, bobId);

    CharacterRow cy;    // level 15, second profession 10
    cy.ownerAccountId = account;
    cy.name = u"Cy";
    cy.level = 15;
    cy.secondProfession = 10;
    AddCharacter(db, cy);
    CharacterRow dee;   // face 0xF0 at level 0: the byte before the flags carries
    dee.ownerAccountId = account;
    dee.name = u"Dee\u00e9";
    dee.campaignFace = 0xF0;
    AddCharacter(db, dee);
    AddCharacter(db, CharacterRow{AddAccount(db, AccountRow{u"else@x"}), u"Other"});
    StartServer();

    Bytes answer;
    ASSERT_TRUE(LogIn(client, 0x11223344, u"a@b.c", u"", &answer));
    LoginAnswer split = SplitAnswer(client, answer);
    ASSERT_EQ(4u, split.order.size());
    EXPECT_EQ("d0 07 44 33 22 11 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
              "03 00 41 00 6e 00 6e 00 3e 00 06 00 64 00 38 34 31 30 01 02 03 21 "
              "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 43 c9 5c 5c 05 5c 5c 5c 5c "
              "11 22 66 77 55 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
              HexBytes(split.characters[u"Ann"]));
    EXPECT_EQ(HexBytes(CharacterInfo(client, 0x11223344, bob,
                                     {kEmptySlot, {1, 2, 6, 7, 5}, kEmptySlot, {0xA0, 0xA1, 0xA6, 0xA7, 0xA5}, kEmptySlot})
                           .bytes),
              HexBytes(split.characters[u"Bob"]));
    EXPECT_EQ(0x01, split.characters[u"Bob"][58 + 6]);   // 16 * 16 + 1, modulo 256
    EXPECT_EQ(0xC7, split.characters[u"Bob"][59 + 6]);
    EXPECT_EQ(HexBytes(CharacterInfo(client, 0x11223344, cy, {}).bytes), HexBytes(split.characters[u"Cy"]));
    EXPECT_EQ(0xE8, split.characters[u"Cy"][59 + 4]);
    EXPECT_EQ(HexBytes(CharacterInfo(client, 0x11223344, dee, {}).bytes), HexBytes(split.characters[u"Dee\u00e9"]));
    EXPECT_EQ(0x10, split.characters[u"Dee\u00e9"][58 + 8]);
    EXPECT_EQ(HexBytes(Fields(DefaultAccountData(client, 0x11223344)).Raw(LoginAnswerTail(client, 0x11223344).bytes).bytes),
              HexBytes(split.rest));
}

TEST_F(CharacterListTest, AccountIdsOnBothSidesOfTheSignedLimitSeeOnlyTheirOwnCharacters)
{
    // A signed read of 3000000000 would give 2147483647.
    AddCharacter(db, CharacterRow{AddAccountWithId(db, 2147483647, AccountRow{u"low@x"}), u"Lowan"});
    AddCharacter(db, CharacterRow{AddAccountWithId(db, 3000000000, AccountRow{u"high@x"}), u"Highan"});
    StartServer();
    for (const auto& [email, name] : std::vector<std::pair<std::u16string, std::u16string>>{
             {u"high@x", u"Highan"}, {u"low@x", u"Lowan"}}) {
        Bytes answer;
        ASSERT_TRUE(LogIn(client, 5, email, u"", &answer));
        EXPECT_EQ(std::vector<std::u16string>{name}, SplitAnswer(client, answer).order);
    }
}

TEST_F(CharacterListTest, StoredInterfaceDataIsSentWithItsOwnSize)
{
    std::string stored;
    for (int i = 0; i < 50; i++)
        stored += char(0x80 + i);
    AccountRow withData{u"ui@x"};
    withData.interfaceDataSize = 50;
    withData.interfaceData = stored;
    uint32_t account = AddAccount(db, withData);
    AccountRow tiny{u"tiny@x"};
    tiny.interfaceDataSize = 4;
    tiny.interfaceData = std::string("\x01\x02\x03\x04", 4);
    AddAccount(db, tiny);
    StartServer();

    Bytes answer;
    ASSERT_TRUE(LogIn(client, 21, u"ui@x", u"", &answer));
    EXPECT_EQ(HexBytes(Fields().Op(client, "ACCOUNT_DATA").U32(21).Raw(Bytes(stored.begin() + 6, stored.end()))
                           .Raw(LoginAnswerTail(client, 21).bytes).bytes),
              HexBytes(answer));
    // Fewer than six bytes: patched, and only its own bytes go out.
    ASSERT_TRUE(LogIn(client, 0x0A0B0C0D, u"tiny@x", u"", &answer));
    EXPECT_EQ(HexBytes(Fields().Op(client, "ACCOUNT_DATA").U16(0x0C0D).Raw(LoginAnswerTail(client, 0x0A0B0C0D).bytes)
                           .bytes),
              HexBytes(answer));

    // New interface data stored for the account is what the next login gets.
    std::string next(120, '\x5A');
    db.Exec("UPDATE accounts SET InterfaceDataSize=120, InterfaceData=" + SqlHex(next) +
            " WHERE AccountID=" + std::to_string(account));
    ASSERT_TRUE(LogIn(client, 22, u"ui@x", u"", &answer));
    EXPECT_EQ(HexBytes(Fields().Op(client, "ACCOUNT_DATA").U32(22).Raw(Bytes(114, 0x5A))
                           .Raw(LoginAnswerTail(client, 22).bytes).bytes),
              HexBytes(answer));
}

TEST_F(CharacterListTest, UnexpectedCharacterColumnsNeverOverRead)
{
    // Names and armour ids of any length, NULL numbers.
    db.Exec("DROP TABLE characters");
    db.Exec("CREATE TABLE characters (ID INT NULL, OwnerAccountID INT NULL, Name VARBINARY(200) NULL, "
            "Location INT NULL, HeightSex INT NULL, HairSkinColor INT NULL, ProfessionHairStyle INT NULL, "
            "CampaignFace INT NULL, Level INT NULL, HeadArmor VARBINARY(40) NULL, ChestArmor VARBINARY(40) NULL, "
            "ArmsArmor VARBINARY(40) NULL, LegArmor VARBINARY(40) NULL, FeetArmor VARBINARY(40) NULL, "
            "SecondProfession INT NULL, CharacterType INT NULL, MissionID INT NULL)");
    uint32_t account = AddAccount(db, AccountRow{u"odd@x"});
    std::string owner = std::to_string(account);
    // 40 units without a zero, 70000 as a location, a short armour id.
    db.Exec("INSERT INTO characters (OwnerAccountID, Name, Location, Level, HeadArmor) VALUES (" + owner + ", " +
            SqlHex(std::string(80, 'W')) + ", 70000, 300, 0x0102)");
    db.Exec("INSERT INTO characters (OwnerAccountID) VALUES (" + owner + ")");
    StartServer();

    Bytes answer;
    ASSERT_TRUE(LogIn(client, 3, u"odd@x", u"", &answer));
    LoginAnswer split = SplitAnswer(client, answer);
    ASSERT_EQ(2u, split.order.size());
    CharacterRow longName;
    longName.name = std::u16string(30, u'\x5757');   // cut to the 60-byte field
    longName.location = uint16_t(70000);
    longName.level = uint8_t(300);
    EXPECT_EQ(HexBytes(CharacterInfo(client, 3, longName, {}).bytes), HexBytes(split.characters[longName.name]));
    EXPECT_EQ(HexBytes(CharacterInfo(client, 3, CharacterRow{}, {}).bytes), HexBytes(split.characters[u""]));
}

TEST_F(CharacterListTest, FailedItemQueryIsReported)
{
    uint32_t account = AddAccount(db, AccountRow{u"a@b.c"});
    AddCharacter(db, CharacterRow{account, u"Ann"});
    db.Exec("DROP TABLE items");
    StartServer();
    ASSERT_TRUE(client.SendRaw(AccountLoginMessage(client, 8, u"", u"a@b.c").bytes));
    Bytes reply;
    EXPECT_TRUE(client.Receive(10, &reply));
    EXPECT_EQ(HexBytes(StreamTerminator(client, 8, 56).bytes), HexBytes(reply));
    EXPECT_TRUE(client.ExpectNothing());
    EXPECT_NE(std::string::npos, server.LogText().find("[!] Getting items for account characters failed!\n"));
}

TEST_F(CharacterListTest, AnswerForAClientThatHasGoneIsDropped)
{
    uint32_t account = AddAccount(db, AccountRow{u"a@b.c"});
    AddCharacter(db, CharacterRow{account, u"Ann"});
    uint32_t goneAccount = AddAccount(db, AccountRow{u"gone@b.c"});
    AddCharacter(db, CharacterRow{goneAccount, u"Gil"});
    StartServer();
    // Clients that leave right after asking. They ask for another account:
    // the server may still log one in before it sees the peer go, and a
    // login to a@b.c finishing after `client`'s would rightly close it.
    for (int i = 0; i < 5; i++) {
        TestClient leaving(server.Dir());
        ASSERT_TRUE(leaving.Connect(server.LoginPort()));
        ASSERT_TRUE(leaving.SendRaw(AccountLoginMessage(leaving, 1, u"", u"gone@b.c").bytes));
        leaving.Close();
    }
    // A logged-in client logs in again while a second connection logs in to
    // the same account: whichever order the results take, the first client
    // is closed and the second gets its whole answer.
    ASSERT_TRUE(LogIn(client, 2, u"a@b.c"));
    TestClient second(server.Dir());
    ASSERT_TRUE(second.Connect(server.LoginPort()));
    ASSERT_TRUE(client.SendRaw(AccountLoginMessage(client, 3, u"", u"a@b.c").bytes));
    ASSERT_TRUE(LogIn(second, 4, u"a@b.c"));
    EXPECT_TRUE(client.WaitClosed());
    ExpectStillServed(second);
}

TEST_F(CharacterListTest, HundredClientsAtOnceEachGetTheirOwnCharacters)
{
    const int kClients = 100;
    for (int i = 0; i < kClients; i++) {
        std::u16string number;
        for (char c : std::to_string(i))
            number += char16_t(c);
        uint32_t account = AddAccount(db, AccountRow{u"user" + number + u"@x"});
        CharacterRow row;
        row.ownerAccountId = account;
        row.name = u"Hero" + number;
        row.level = uint8_t(i);
        row.armor[0] = ItemId(account, 0, 500);
        uint32_t id = AddCharacter(db, row);
        AddItem(db, row.armor[0], ItemData({{0, uint8_t(i)}, {1, uint8_t(i + 1)}}), 0, id);
    }
    StartServer();

    std::vector<std::unique_ptr<TestClient>> clients;
    for (int i = 0; i < kClients; i++) {
        clients.push_back(std::make_unique<TestClient>(server.Dir()));
        ASSERT_TRUE(clients.back()->Connect(server.LoginPort()));
    }
    for (int i = 0; i < kClients; i++) {
        std::u16string number;
        for (char c : std::to_string(i))
            number += char16_t(c);
        ASSERT_TRUE(clients[i]->SendRaw(AccountLoginMessage(*clients[i], 1000 + i, u"", u"user" + number + u"@x").bytes));
    }
    for (int i = 0; i < kClients; i++) {
        std::u16string number;
        for (char c : std::to_string(i))
            number += char16_t(c);
        Bytes answer;
        ASSERT_TRUE(ReceiveThrough(*clients[i], StreamTerminator(*clients[i], 1000 + i, 0).bytes, &answer)) << i;
        LoginAnswer split = SplitAnswer(*clients[i], answer);
        ASSERT_EQ(1u, split.order.size()) << i;
        CharacterRow expected;
        expected.name = u"Hero" + number;
        expected.level = uint8_t(i);
        EXPECT_EQ(HexBytes(CharacterInfo(*clients[i], 1000 + i, expected, {{uint8_t(i), uint8_t(i + 1), 0, 0, 0}}).bytes),
                  HexBytes(split.characters[expected.name]));
        EXPECT_EQ(HexBytes(Fields(DefaultAccountData(client, 1000 + i)).Raw(LoginAnswerTail(*clients[i], 1000 + i).bytes).bytes),
                  HexBytes(split.rest));
    }
}

TEST_F(CharacterListTest, HostileInputDoesNotDisturbALogin)
{
    uint32_t account = AddAccount(db, AccountRow{u"a@b.c"});
    AddCharacter(db, CharacterRow{account, u"Ann"});
    StartServer();

    // The good client sends its login one byte at a time, with hostile
    // clients in between.
    Bytes login = AccountLoginMessage(client, 77, u"", u"a@b.c").bytes;
    std::mt19937 random(4107);
    std::vector<Bytes> inputs = {
        {0xC0},
        Fields().Op(client, "ACCOUNT_LOGIN").U32(1).U8(6).bytes,                      // truncated
        Fields().Op(client, "ACCOUNT_LOGIN").U32(2).U8(255).U8(0).Zeros(22).U16(60000).Zeros(100).bytes,
        Fields().Op(client, "CREATE_ACCOUNT").U32(3).U16(5000).Zeros(40).bytes,
        Fields().Op(client, "CREATE_ACCOUNT").U32(4).U16(3).bytes,                    // truncated
        Fields().Op(client, "ACCOUNT_LOGIN").U32(5).U8(255).U8(0).Raw(Bytes(255, 0x41)).bytes,
    };
    for (int i = 0; i < 10; i++) {
        Bytes noise(1 + random() % 2500);
        for (uint8_t& byte : noise)
            byte = uint8_t(random());
        noise[0] = 0xC0;
        noise[1] = (i % 2) ? 0x03 : 0x0C;   // lead with ACCOUNT_LOGIN or CREATE_ACCOUNT
        inputs.push_back(noise);
    }
    std::vector<std::unique_ptr<TestClient>> hostile;
    for (size_t i = 0; i < login.size(); i++) {
        ASSERT_TRUE(client.SendRaw({login[i]}));
        if (i < inputs.size()) {
            hostile.push_back(std::make_unique<TestClient>(server.Dir()));
            ASSERT_TRUE(hostile.back()->Connect(server.LoginPort()));
            ASSERT_TRUE(hostile.back()->SendRaw(inputs[i]));
        }
        std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
    Bytes answer;
    ASSERT_TRUE(ReceiveThrough(client, StreamTerminator(client, 77, 0).bytes, &answer));
    LoginAnswer split = SplitAnswer(client, answer);
    EXPECT_EQ(1u, split.characters.count(u"Ann"));
    EXPECT_EQ(HexBytes(Fields(DefaultAccountData(client, 77)).Raw(LoginAnswerTail(client, 77).bytes).bytes),
              HexBytes(split.rest));
    for (auto& other : hostile)
        other->Close();
    ExpectStillServed(client);
    EXPECT_TRUE(server.Running());
}

} // namespace
