#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include "configfile.h"
#include "testenv.h"

namespace {

std::string Fixture(const char* name)
{
    return testenv::SourceDir() + "/tests/fixtures/" + name;
}

std::string ReadAll(const std::string& path)
{
    std::string text;
    FILE* file = fopen(path.c_str(), "rb");
    if (!file)
        return text;
    for (int c; (c = getc(file)) != EOF;)
        text.push_back(static_cast<char>(c));
    fclose(file);
    return text;
}

// A file of the given bytes in the temp directory, removed with the object.
struct TempFile {
    explicit TempFile(const std::string& bytes)
    {
        char pattern[] = "/tmp/configfile_test_XXXXXX";
        int fd = mkstemp(pattern);
        path = pattern;
        if (fd >= 0) {
            EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
            close(fd);
        }
    }
    ~TempFile() { unlink(path.c_str()); }
    std::string path;
};

std::string Replace(std::string text, const std::string& from, const std::string& to)
{
    for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
    return text;
}

class FullConfig : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(config.Load(Fixture("config_full.ini").c_str()), 0); }

    std::string String(const char* tag)
    {
        char out[500] = {};
        EXPECT_EQ(config.GetString(tag, out), 0) << tag;
        return out;
    }

    ConfigFile config;
};

} // namespace

TEST_F(FullConfig, SkipsCommentsSectionsBlankLedLinesAndByteOrderMark)
{
    EXPECT_FALSE(config.HasError());
    for (const CF& entry : config.entries) {
        EXPECT_NE(entry.tag[0], '#');
        EXPECT_NE(entry.tag[0], '[');
        EXPECT_EQ(strchr(entry.tag, '\r'), nullptr);
        EXPECT_EQ(strchr(entry.value, '\r'), nullptr);
    }
    testing::internal::CaptureStdout();
    EXPECT_EQ(config.FindTag("Indented"), -1);
    EXPECT_EQ(config.FindTag("Tabbed"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "No Tag Exists with the name: \"indented\"No Tag Exists with the name: \"tabbed\"");
    EXPECT_TRUE(config.HasError());
}

TEST_F(FullConfig, ValuesTagsAndCase)
{
    EXPECT_EQ(String("IPAddress"), "127.0.0.1");
    EXPECT_EQ(String("ipaddress"), "127.0.0.1");
    EXPECT_EQ(String("DATABASEIP"), "somehost.example");   // values come back lower case
    EXPECT_EQ(String("MixedCase"), "mixed");
    EXPECT_EQ(String("Port"), "7777");                     // comment dropped, first of two wins
    EXPECT_EQ(String("DecInt"), "20");
    EXPECT_EQ(String("MaxPlayers"), "");                   // blank after '=' gives an empty value
    EXPECT_EQ(String("Equals"), "a=b=c");
    EXPECT_EQ(String("LastLine"), "last");                 // no final line feed
    EXPECT_FALSE(config.HasError());

    uint16_t maxPlayers = 99;
    bool throttle = true;
    EXPECT_EQ(config.GetUShort("MaxPlayers", &maxPlayers), 0);
    EXPECT_EQ(maxPlayers, 0);
    EXPECT_EQ(config.GetBool("MaxPlayers", &throttle), 0);
    EXPECT_FALSE(throttle);
    EXPECT_EQ(config.GetBool("ThrottleCPU", &throttle), 0);
    EXPECT_TRUE(throttle);
    EXPECT_EQ(config.GetBool("Flag", &throttle), 0);
    EXPECT_FALSE(throttle);                                // "1" is not "true"
}

TEST_F(FullConfig, QuotedValues)
{
    EXPECT_EQ(String("DatabaseName"), "login db");
    EXPECT_EQ(String("DatabasePass"), "se");               // ';' ends a value inside quotes too
    EXPECT_EQ(String("DatabaseUser"), "");
    EXPECT_EQ(String("Unterminated"), "open value");
    // A quote in the tag must not move the value's start: the empty value of
    // this line lies right after a longer line whose bytes are still in the
    // line buffer.
    EXPECT_EQ(String("ab\"c"), "");
    // A line that begins with ';' makes an entry with an empty tag.
    ASSERT_EQ(config.entries.size(), 36u);
    EXPECT_STREQ(config.entries[30].tag, "");
    EXPECT_STREQ(config.entries[30].value, "x");
}

TEST_F(FullConfig, HexValuesAreByteStringsInWrittenOrder)
{
    uint16_t opcode = 0;
    ASSERT_EQ(config.GetHexShort("ACCOUNT_LOGIN", &opcode), 0);
    EXPECT_EQ(0, memcmp(&opcode, "\xAA\xBB", 2));
    EXPECT_EQ(opcode, 0xBBAA);
    config.GetHexShort("SHORT_OPCODE", &opcode);
    EXPECT_EQ(0, memcmp(&opcode, "\x00\x14", 2));
    config.GetHexShort("LONG_OPCODE", &opcode);
    EXPECT_EQ(0, memcmp(&opcode, "\x23\x45", 2));
    config.GetHexShort("PLAIN_OPCODE", &opcode);
    EXPECT_EQ(0, memcmp(&opcode, "\x12\x34", 2));

    int32_t number = 0;
    config.GetInt("HexInt", &number);
    EXPECT_EQ(number, 335544320);
    config.GetInt("HexIntFull", &number);
    EXPECT_EQ(number, 335544320);
    config.GetInt("HexIntBytes", &number);
    EXPECT_EQ(0, memcmp(&number, "\xAA\xBB\xCC\xDD", 4));
    config.GetInt("NotHex", &number);
    EXPECT_EQ(number, 0);
    config.GetInt("DecInt", &number);
    EXPECT_EQ(number, 20);
    uint32_t unsignedNumber = 0;
    config.GetUInt("HexInt", &unsignedNumber);
    EXPECT_EQ(unsignedNumber, 335544320u);
    EXPECT_FALSE(config.HasError());
}

TEST_F(FullConfig, NumbersSaturateAt32Bits)
{
    int32_t number = 0;
    config.GetInt("BigDec", &number);
    EXPECT_EQ(number, INT32_MAX);
    config.GetInt("NegDec", &number);
    EXPECT_EQ(number, INT32_MIN);
    config.GetInt("HugeHex", &number);                     // more than 32 bits: FF FF FF FF
    EXPECT_EQ(number, -1);

    uint16_t port = 0;
    config.GetUShort("WrapUShort", &port);
    EXPECT_EQ(port, 4464);
    config.GetUShort("HugeUShort", &port);                 // 2147483647, low 16 bits
    EXPECT_EQ(port, 65535);
}

TEST_F(FullConfig, IPv4)
{
    uint8_t address[4] = {9, 9, 9, 9};
    EXPECT_EQ(config.GetIPv4("IPAddress", address), 0);
    EXPECT_EQ(0, memcmp(address, "\x7F\x00\x00\x01", 4));
    config.GetIPv4("Gateway", address);
    EXPECT_EQ(0, memcmp(address, "\x0A\x00\x00\x01", 4));
    config.GetIPv4("Partial", address);
    EXPECT_EQ(0, memcmp(address, "\xC0\xA8\x00\x00", 4));
    EXPECT_EQ(String("Gateway"), "..10.0.0.1");             // the stored value stays whole
}

TEST_F(FullConfig, GetStringRefusesValuesLongerThanTheBuffer)
{
    char host[20];
    memset(host, '#', sizeof(host));
    EXPECT_EQ(config.GetString("ExactFit", host, sizeof(host)), 0);
    EXPECT_STREQ(host, "1234567890123456789");
    EXPECT_FALSE(config.HasError());

    memset(host, '#', sizeof(host));
    testing::internal::CaptureStdout();
    EXPECT_EQ(config.GetString("OneOver", host, sizeof(host)), -1);
    EXPECT_EQ(config.GetString("LongHostName", host), -1);
    testing::internal::GetCapturedStdout();
    for (char c : host)
        EXPECT_EQ(c, '#');                                 // untouched, not truncated
    EXPECT_TRUE(config.HasError());
    EXPECT_EQ(config.status, -1);
}

TEST_F(FullConfig, MissingTagLatchesUntilNextLoad)
{
    uint16_t port = 1234;
    testing::internal::CaptureStdout();
    EXPECT_EQ(config.GetUShort("NoSuchKey", &port), -1);
    EXPECT_EQ(config.FindTag(std::string(150, 'a').c_str()), -1);   // too long to match
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(port, 1234);
    EXPECT_TRUE(config.HasError());

    int32_t number = 0;
    EXPECT_EQ(config.GetInt("DecInt", &number), 0);         // later getters still work
    EXPECT_EQ(number, 20);
    EXPECT_TRUE(config.HasError());
    config.Clear();
    EXPECT_TRUE(config.entries.empty());
    EXPECT_TRUE(config.HasError());

    ASSERT_EQ(config.Load(Fixture("config_full.ini").c_str()), 0);
    EXPECT_FALSE(config.HasError());
}

TEST(ConfigFile, LineEndingsDoNotChangeTheEntries)
{
    std::string original = ReadAll(Fixture("config_full.ini"));
    ASSERT_FALSE(original.empty());
    std::string lfOnly = Replace(original, "\r\n", "\n");
    TempFile lfFile(lfOnly);
    TempFile crlfFile(Replace(lfOnly, "\n", "\r\n"));

    ConfigFile reference, fromLf, fromCrlf;
    ASSERT_EQ(reference.Load(Fixture("config_full.ini").c_str()), 0);
    ASSERT_EQ(fromLf.Load(lfFile.path.c_str()), 0);
    ASSERT_EQ(fromCrlf.Load(crlfFile.path.c_str()), 0);
    ASSERT_EQ(fromLf.entries.size(), reference.entries.size());
    ASSERT_EQ(fromCrlf.entries.size(), reference.entries.size());
    for (size_t i = 0; i < reference.entries.size(); i++) {
        EXPECT_STREQ(fromLf.entries[i].tag, reference.entries[i].tag);
        EXPECT_STREQ(fromLf.entries[i].value, reference.entries[i].value);
        EXPECT_STREQ(fromCrlf.entries[i].tag, reference.entries[i].tag);
        EXPECT_STREQ(fromCrlf.entries[i].value, reference.entries[i].value);
    }
}

TEST(ConfigFile, LineWithoutEqualsReportsItsOwnLineNumber)
{
    std::string path = Fixture("config_badline.ini");
    ConfigFile config;
    testing::internal::CaptureStdout();
    EXPECT_EQ(config.Load(path.c_str()), -2);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Bad format in " + path + " at line 6 (noequalshere)\n");
    EXPECT_EQ(config.status, -2);
    ASSERT_EQ(config.entries.size(), 1u);                  // lines before it stay
    EXPECT_STREQ(config.entries[0].tag, "good");

    TempFile semicolon("A=1\n;no equals\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(config.Load(semicolon.path.c_str()), -2);
    testing::internal::GetCapturedStdout();
}

TEST(ConfigFile, OverLongLineIsABadLineNotTwo)
{
    std::string path = Fixture("config_longline.ini");
    ConfigFile config;
    testing::internal::CaptureStdout();
    EXPECT_EQ(config.Load(path.c_str()), -2);
    std::string message = testing::internal::GetCapturedStdout();
    std::string expectedStart = "Bad format in " + path + " at line 4 (long=aaa";
    EXPECT_EQ(message.compare(0, expectedStart.size(), expectedStart), 0) << message;
    EXPECT_LT(message.size(), expectedStart.size() + 520);
    // The over-long comment was skipped whole, the 499-character line fits.
    ASSERT_EQ(config.entries.size(), 2u);
    EXPECT_STREQ(config.entries[0].tag, "exact");
    EXPECT_EQ(std::string(config.entries[0].value), std::string(493, 'v'));
    EXPECT_STREQ(config.entries[1].tag, "first");
}

TEST(ConfigFile, EndOfFileCases)
{
    ConfigFile config;
    TempFile endsInLineFeed("A=1\nB=2\n");
    EXPECT_EQ(config.Load(endsInLineFeed.path.c_str()), 0);   // no phantom last line
    EXPECT_EQ(config.entries.size(), 2u);

    ConfigFile empty;
    TempFile emptyFile("");
    EXPECT_EQ(empty.Load(emptyFile.path.c_str()), 0);
    EXPECT_TRUE(empty.entries.empty());
    bool flag = true;
    testing::internal::CaptureStdout();
    EXPECT_EQ(empty.GetBool("A", &flag), -1);
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(empty.HasError());

    ConfigFile missing;
    testing::internal::CaptureStdout();
    EXPECT_EQ(missing.Load("/nonexistent/LsConfig.ini"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Failed to load config file: /nonexistent/LsConfig.ini");
    EXPECT_EQ(missing.status, -1);

    // A directory opens but cannot be read: a read error, not an empty file.
    ConfigFile directory;
    testing::internal::CaptureStdout();
    EXPECT_EQ(directory.Load("/tmp"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Failed to load config file: /tmp");
}

TEST(ConfigFile, SecondLoadAppends)
{
    TempFile first("A=1\n");
    TempFile second("a=2\nB=3");
    ConfigFile config;
    ASSERT_EQ(config.Load(first.path.c_str()), 0);
    ASSERT_EQ(config.Load(second.path.c_str()), 0);
    ASSERT_EQ(config.entries.size(), 3u);
    uint16_t value = 0;
    config.GetUShort("a", &value);
    EXPECT_EQ(value, 1);
}
