// Abuse that reaches the database: many clients at once on different
// accounts (nothing may cross between them, no row may change that should
// not), and the database server restarted under the running login server.

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "abusekit.h"
#include "loginmessages.h"
#include "privatedb.h"
#include "serverfixture.h"
#include "testclient.h"
#include "testdb.h"

namespace {

// An account with two characters of equal name length, the first wearing
// one item on its head: every account's answer has the same shape and
// different bytes.
struct SeededAccount {
    std::u16string email;
    std::vector<CharacterRow> characters;
    std::vector<std::vector<std::vector<uint8_t>>> slots;   // per character: the bytes each armour slot shows
};

SeededAccount Seed(MYSQL* connection, uint32_t account)
{
    SeededAccount seeded;
    seeded.email = u"player" + std::u16string(1, char16_t(u'0' + account)) + u"@x";
    ExecSql(connection, "INSERT INTO accounts(AccountID, Email, CompHash) VALUES(" + std::to_string(account) +
                            ", " + SqlHex(WideBlock(seeded.email, 130)) + ", " +
                            SqlHex(std::vector<uint8_t>(32, 0)) + ")");
    for (uint32_t n = 0; n < 2; n++) {
        CharacterRow row;
        row.name = u"Hero" + std::u16string(1, char16_t(u'A' + account)) + std::u16string(1, char16_t(u'a' + n));
        row.location = uint16_t(100 * account + n);
        row.heightSex = uint8_t(account);
        row.hairSkinColor = uint8_t(n + 1);
        row.professionHairStyle = uint8_t(account + n);
        row.campaignFace = uint8_t(0x10 * account);
        row.level = uint8_t(account * 5 + n);
        row.secondProfession = uint8_t(n + 2);
        std::string head = n == 0 ? ItemId(account, 1, 0xABCD0001) : std::string(12, '\0');
        seeded.slots.emplace_back();
        if (n == 0) {
            // The slot shows data bytes 0, 1, 6, 7 and 5.
            std::string data =
                ItemData({{0, uint8_t(account)}, {1, 0x22}, {5, 0x55}, {6, 0x66}, {7, uint8_t(0x70 + account)}});
            seeded.slots.back() = {{uint8_t(account), 0x22, 0x66, uint8_t(0x70 + account), 0x55}};
            ExecSql(connection, "INSERT INTO items(ID, Data, OwnerCID, OwnerAID) VALUES(" + SqlHex(head) + ", " +
                                    SqlHex(data) + ", " + std::to_string(100 * account + n) + ", 0)");
        }
        ExecSql(connection,
                "INSERT INTO characters(ID, OwnerAccountID, Name, Location, HeightSex, HairSkinColor, "
                "ProfessionHairStyle, CampaignFace, Level, HeadArmor, SecondProfession) VALUES(" +
                    std::to_string(100 * account + n) + ", " + std::to_string(account) + ", " +
                    SqlHex(WideBlock(row.name, 60)) + ", " + std::to_string(row.location) + ", " +
                    std::to_string(row.heightSex) + ", " + std::to_string(row.hairSkinColor) + ", " +
                    std::to_string(row.professionHairStyle) + ", " + std::to_string(row.campaignFace) + ", " +
                    std::to_string(row.level) + ", " + SqlHex(head) + ", " +
                    std::to_string(row.secondProfession) + ")");
        seeded.characters.push_back(row);
    }
    return seeded;
}

class AbuseDatabaseTest : public ServerTest {
protected:
    // Logs in and checks the answer byte for byte; the characters may come
    // in any order, so they are compared as a set.
    void ExpectLogin(TestClient& who, const SeededAccount& account, uint32_t requestId)
    {
        ASSERT_TRUE(who.SendRaw(AccountLoginMessage(who, requestId, u"", account.email).bytes));
        std::vector<std::string> wantInfos, gotInfos;
        Fields infos;
        for (size_t i = 0; i < account.characters.size(); i++) {
            Fields info = CharacterInfo(who, requestId, account.characters[i], account.slots[i]);
            wantInfos.push_back(HexBytes(info.bytes));
            infos.Raw(info.bytes);
        }
        std::vector<uint8_t> rest =
            Fields(DefaultAccountData(who, requestId)).Raw(LoginAnswerTail(who, requestId).bytes).bytes;
        std::vector<uint8_t> reply;
        ASSERT_TRUE(who.Receive(infos.bytes.size() + rest.size(), &reply)) << HexBytes(reply);
        size_t infoSize = infos.bytes.size() / account.characters.size();
        for (size_t i = 0; i < account.characters.size(); i++)
            gotInfos.push_back(HexBytes(std::vector<uint8_t>(reply.begin() + (std::ptrdiff_t)(i * infoSize),
                                                             reply.begin() + (std::ptrdiff_t)((i + 1) * infoSize))));
        std::sort(wantInfos.begin(), wantInfos.end());
        std::sort(gotInfos.begin(), gotInfos.end());
        EXPECT_EQ(wantInfos, gotInfos) << "characters of request " << requestId;
        EXPECT_EQ(HexBytes(rest), HexBytes(std::vector<uint8_t>(reply.begin() + (std::ptrdiff_t)infos.bytes.size(),
                                                                reply.end())))
            << "answer of request " << requestId;
    }
};

TEST_F(AbuseDatabaseTest, ConcurrentClientsEachGetOnlyTheirOwnAccount)
{
    FreshDatabase db;
    const uint32_t kAccounts = 4;
    std::vector<SeededAccount> accounts;
    for (uint32_t account = 1; account <= kAccounts + 1; account++)
        accounts.push_back(Seed(db.Connection(), account));
    const SeededAccount& abuser = accounts.back();
    server.UseDatabase(db);
    ASSERT_TRUE(server.Start()) << server.Failure();
    TableSnapshot before = SnapshotTables(db.Connection());

    std::atomic<bool> stop{false};
    std::thread hostile([&] {
        // Logged in as the last account: tries to delete everybody else's
        // characters, and sends noise; others vanish mid-login.
        TestClient mallory(server.Dir());
        ASSERT_TRUE(mallory.Connect(server.LoginPort()));
        ExpectLogin(mallory, abuser, 900);
        uint32_t requestId = 901;
        for (int round = 0; !stop && round < 1000; round++) {
            const SeededAccount& victim = accounts[size_t(round) % kAccounts];
            for (const CharacterRow& row : victim.characters) {
                ASSERT_TRUE(mallory.SendRaw(CharacterDelete(mallory, requestId, row.name).bytes));
                std::vector<uint8_t> reply;
                ASSERT_TRUE(mallory.Receive(10, &reply));
                EXPECT_EQ(HexBytes(StreamTerminator(mallory, requestId, 46).bytes), HexBytes(reply));
                requestId++;
            }
            TestClient vanishing(server.Dir());
            ASSERT_TRUE(vanishing.Connect(server.LoginPort()));
            ASSERT_TRUE(vanishing.SendRaw(Fields().Op(vanishing, "COMPUTER_USER").U16(3).Zeros(2).bytes));
            ASSERT_TRUE(vanishing.SendRaw(CreateAccount(vanishing, requestId, abuser.email).bytes));
        }
    });

    std::vector<std::thread> good;
    for (uint32_t i = 0; i < kAccounts; i++) {
        good.emplace_back([&, i] {
            TestClient client(server.Dir());
            ASSERT_TRUE(client.Connect(server.LoginPort()));
            for (uint32_t n = 0; n < 15 && !::testing::Test::HasFailure(); n++)
                ExpectLogin(client, accounts[i], 1000 * (i + 1) + n);
        });
    }
    for (auto& thread : good)
        thread.join();
    stop = true;
    hostile.join();

    // The abuser deletes its own second character: exactly that row and
    // nothing else goes.
    TestClient owner(server.Dir());
    ASSERT_TRUE(owner.Connect(server.LoginPort()));
    ExpectLogin(owner, abuser, 5000);
    ASSERT_TRUE(owner.SendRaw(CharacterDelete(owner, 5001, abuser.characters[1].name).bytes));
    std::vector<uint8_t> reply;
    ASSERT_TRUE(owner.Receive(10, &reply));
    EXPECT_EQ(HexBytes(StreamTerminator(owner, 5001, 0).bytes), HexBytes(reply));

    TableSnapshot expected = before;
    auto removed = std::remove_if(expected.characters.begin(), expected.characters.end(),
                                  [&](const std::string& row) {
                                      return row.find(SqlHex(WideBlock(abuser.characters[1].name, 60))) !=
                                             std::string::npos;
                                  });
    ASSERT_EQ(1, expected.characters.end() - removed);
    expected.characters.erase(removed, expected.characters.end());
    EXPECT_TRUE(WaitUntil([&] { return SnapshotTables(db.Connection()) == expected; }));
    TableSnapshot after = SnapshotTables(db.Connection());
    EXPECT_EQ(expected.accounts, after.accounts);
    EXPECT_EQ(expected.characters, after.characters);
    EXPECT_EQ(expected.items, after.items);
}

TEST_F(AbuseDatabaseTest, DatabaseRestartedUnderARunningServer)
{
    PrivateMariaDb database;
    ASSERT_TRUE(database.Ready()) << database.Failure();
    MYSQL* connection = database.Connect();
    ASSERT_NE(nullptr, connection);
    SeededAccount account = Seed(connection, 1);
    TableSnapshot before = SnapshotTables(connection);
    mysql_close(connection);

    server.UseDatabase(database.Settings());
    StartServer();
    ExpectLogin(client, account, 1);

    // Database gone: the server still answers, and a login fails cleanly.
    ASSERT_TRUE(database.Stop());
    ASSERT_TRUE(client.Send("LS_CLIENT_ID", Fields().Zeros(4)));
    std::vector<uint8_t> reply;
    ASSERT_TRUE(client.Receive(6, &reply));
    EXPECT_EQ(HexBytes(Fields().Op(client, "P12B_REPLY").U32(0).bytes), HexBytes(reply));
    ASSERT_TRUE(client.SendRaw(AccountLoginMessage(client, 2, u"", account.email).bytes));
    ASSERT_TRUE(client.Receive(10, &reply, 60000));
    EXPECT_EQ(HexBytes(StreamTerminator(client, 2, 56).bytes), HexBytes(reply));

    // Back on the same data and port: logins succeed again at once.
    ASSERT_TRUE(database.Restart()) << database.Failure();
    for (uint32_t requestId = 3; requestId < 8; requestId++)
        ExpectLogin(client, account, requestId);
    TestClient another(server.Dir());
    ASSERT_TRUE(another.Connect(server.LoginPort()));
    ExpectLogin(another, account, 8);

    connection = database.Connect();
    ASSERT_NE(nullptr, connection);
    EXPECT_TRUE(SnapshotTables(connection) == before);
    mysql_close(connection);
}

} // namespace
