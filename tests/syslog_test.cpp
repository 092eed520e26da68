#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>

#include "syslog.h"

namespace {

std::string ReadAll(const std::string& path)
{
    std::string text;
    FILE* file = fopen(path.c_str(), "rb");
    if (!file)
        return "<missing>";
    for (int c; (c = getc(file)) != EOF;)
        text.push_back(static_cast<char>(c));
    fclose(file);
    return text;
}

class SysLogFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/syslog_test_XXXXXX";
        int fd = mkstemp(pattern);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, "left from the last run\n", 23), 23);
        close(fd);
        path = pattern;
    }
    void TearDown() override { unlink(path.c_str()); }

    std::string path;
};

} // namespace

TEST_F(SysLogFile, OpenEmptiesTheFileAndEveryWriteIsThereAtOnce)
{
    SysLog log;
    ASSERT_EQ(log.Open(path.c_str()), 0);
    EXPECT_EQ(ReadAll(path), "");

    testing::internal::CaptureStdout();
    log.Write("%s\n", std::string(64, '-').c_str());
    log.Write("Vessik Login Server v%s\n", "0.0.1");
    EXPECT_EQ(ReadAll(path), std::string(64, '-') + "\nVessik Login Server v0.0.1\n");   // before Close
    log.Write("[+] System Log File Opened\n");
    std::string console = testing::internal::GetCapturedStdout();
    log.Close();
    EXPECT_EQ(log.file, nullptr);
    EXPECT_EQ(console, ReadAll(path));
}

TEST_F(SysLogFile, WritesExactlyAsFormatted)
{
    SysLog log;
    ASSERT_EQ(log.Open(path.c_str()), 0);
    testing::internal::CaptureStdout();
    log.Write("[!] value %s", "%s%n%x");   // a '%' inside a value is never reformatted
    log.Write(" and %d more\n", 2);       // no line break of its own: one line
    std::string console = testing::internal::GetCapturedStdout();
    log.Close();
    EXPECT_EQ(console, "[!] value %s%n%x and 2 more\n");
    EXPECT_EQ(ReadAll(path), console);
}

TEST_F(SysLogFile, LongMessageIsCutAtTheBuffer)
{
    SysLog log;
    ASSERT_EQ(log.Open(path.c_str()), 0);
    testing::internal::CaptureStdout();
    log.Write("%s", std::string(20000, 'q').c_str());
    std::string console = testing::internal::GetCapturedStdout();
    log.Close();
    EXPECT_EQ(console, std::string(8999, 'q'));
    EXPECT_EQ(ReadAll(path), console);
}

TEST(SysLog, WithoutAFileWritesToTheConsoleOnly)
{
    SysLog log;
    EXPECT_EQ(log.Open("/nonexistent-directory/Logs/LsSysLog.txt"), -1);
    EXPECT_EQ(log.file, nullptr);
    testing::internal::CaptureStdout();
    log.Write("[+] System Log File Opened\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[+] System Log File Opened\n");
    log.Close();
    log.Close();

    SysLog neverOpened;
    testing::internal::CaptureStdout();
    neverOpened.Write("[*] Server Shutdown\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[*] Server Shutdown\n");
}
