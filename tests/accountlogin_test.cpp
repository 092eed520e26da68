// The password digest and the access decision of a login, without the server.

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "accountlogin.h"
#include "replies.h"

namespace {

std::string Hex(const uint8_t* bytes, size_t count)
{
    std::string text;
    char digits[3];
    for (size_t i = 0; i < count; i++) {
        snprintf(digits, sizeof digits, "%02x", bytes[i]);
        text += digits;
    }
    return text;
}

std::string DigestOf(const std::vector<uint8_t>& field, uint32_t length)
{
    uint8_t digest[32];
    HashLoginPassword(field.data(), length, digest);
    return Hex(digest, sizeof digest);
}

TEST(LoginPasswordTest, DigestCoversAllFieldBytesAfterNarrowing)
{
    // "abc" hashes as 61 62 63 00 63 00: six bytes, not three.
    std::vector<uint8_t> abc = {0x61, 0, 0x62, 0, 0x63, 0};
    EXPECT_EQ("3951785eeea48f5e310fbe08fa606a55c254f19bdd5bdd53b8df8abfcfaf308a", DigestOf(abc, 6));
    std::vector<uint8_t> a = {0x61, 0};
    EXPECT_EQ("ffe9aaeaa2a2d5048174df0b80599ef0197ec024c4b051bc9860cff58ef7f9f3", DigestOf(a, 2));
    EXPECT_EQ("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", DigestOf(a, 0));
}

TEST(LoginPasswordTest, OverlongCountIsCutToTheField)
{
    // The field has 22 bytes of room; the bytes behind it (the e-mail) never count.
    std::vector<uint8_t> field(255, 0x41);
    for (size_t i = 1; i < 22; i += 2)
        field[i] = 0;
    std::vector<uint8_t> exact(field.begin(), field.begin() + 22);
    EXPECT_EQ(DigestOf(exact, 22), DigestOf(field, 255));
}

struct AccessCase {
    uint32_t level;
    bool hasMark;
    int64_t markTime;
    int32_t duration;
    bool locked;
    uint32_t code;
    uint32_t levelAfter;
    bool expired;
};

TEST(LoginAccessTest, DecisionTable)
{
    const time_t now = 1700000000;
    const AccessCase cases[] = {
        {0, true, 0, 0, false, RESULT_ACCESS_DENIED, 0, false},               // level 0: no mark check
        {10, true, now - 100, 100, false, RESULT_ACCESS_DENIED, 10, false},   // elapsed == duration: mark stands
        {10, true, now - 101, 100, false, RESULT_OK, 50, true},               // expired
        {10, true, now - 101, 100, true, RESULT_SERVER_LOCKED, 50, true},     // expired, then locked out
        {25, false, 0, 0, false, RESULT_ACCESS_DENIED, 25, false},            // no mark values: it stands
        {26, true, 0, 0, false, RESULT_OK, 26, false},
        {26, true, 0, 0, true, RESULT_SERVER_LOCKED, 26, false},
        {50, true, 0, 0, true, RESULT_SERVER_LOCKED, 50, false},
        {51, true, 0, 0, true, RESULT_OK, 51, false},
        {uint32_t(-1), true, 0, 0, true, RESULT_OK, uint32_t(-1), false},     // negative level passes
    };
    for (const AccessCase& c : cases) {
        AccessDecision decision = DecideAccess(c.level, c.hasMark, c.markTime, c.duration, now, c.locked);
        EXPECT_EQ(c.code, decision.resultCode) << "level " << c.level;
        EXPECT_EQ(c.levelAfter, decision.accessLevel) << "level " << c.level;
        EXPECT_EQ(c.expired, decision.markExpired) << "level " << c.level;
    }
}

} // namespace
