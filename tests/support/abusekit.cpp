#include "abusekit.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include <unistd.h>

#include <gtest/gtest.h>

#include "testclient.h"

namespace abuse {

long ResidentKb(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

double CpuSeconds(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // The fields after the command name, which is in parentheses and may
    // hold spaces: state is the first, utime and stime the 12th and 13th.
    size_t close = text.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream fields(text.substr(close + 1));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 1; i <= 13 && fields >> field; i++) {
        if (i == 12)
            utime = std::stoull(field);
        if (i == 13)
            stime = std::stoull(field);
    }
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

bool SendSplit(TestClient& client, const std::vector<uint8_t>& bytes, size_t offset)
{
    std::vector<uint8_t> head(bytes.begin(), bytes.begin() + (std::ptrdiff_t)offset);
    std::vector<uint8_t> tail(bytes.begin() + (std::ptrdiff_t)offset, bytes.end());
    if (!client.SendRaw(head))
        return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return client.SendRaw(tail);
}

bool SendByteByByte(TestClient& client, const std::vector<uint8_t>& bytes)
{
    for (uint8_t byte : bytes) {
        if (!client.SendRaw({byte}))
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
    return true;
}

size_t CountInConsole(const ServerProcess& server, const std::string& text)
{
    std::string console = server.ConsoleText();
    size_t count = 0;
    for (size_t at = console.find(text); at != std::string::npos; at = console.find(text, at + 1))
        count++;
    return count;
}

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

void ExecSql(MYSQL* connection, const std::string& sql)
{
    if (mysql_real_query(connection, sql.data(), sql.size()) != 0) {
        ADD_FAILURE() << sql << ": " << mysql_error(connection);
        return;
    }
    if (MYSQL_RES* result = mysql_store_result(connection))
        mysql_free_result(result);
}

std::vector<std::string> TableRows(MYSQL* connection, const std::string& sql)
{
    std::vector<std::string> rows;
    if (mysql_real_query(connection, sql.data(), sql.size()) != 0) {
        ADD_FAILURE() << sql << ": " << mysql_error(connection);
        return rows;
    }
    MYSQL_RES* result = mysql_store_result(connection);
    if (!result) {
        ADD_FAILURE() << sql << ": no result set";
        return rows;
    }
    unsigned int columns = mysql_num_fields(result);
    while (MYSQL_ROW row = mysql_fetch_row(result)) {
        unsigned long* lengths = mysql_fetch_lengths(result);
        std::string text;
        for (unsigned int i = 0; i < columns; i++) {
            if (i)
                text += '|';
            text += row[i] ? SqlHex(std::vector<uint8_t>(row[i], row[i] + lengths[i])) : "NULL";
        }
        rows.push_back(text);
    }
    mysql_free_result(result);
    return rows;
}

TableSnapshot SnapshotTables(MYSQL* connection)
{
    TableSnapshot snapshot;
    snapshot.accounts = TableRows(connection, "SELECT * FROM accounts ORDER BY AccountID");
    snapshot.characters = TableRows(connection, "SELECT * FROM characters ORDER BY ID");
    snapshot.items = TableRows(connection, "SELECT * FROM items ORDER BY ID");
    return snapshot;
}

std::string SqlHex(const std::vector<uint8_t>& bytes)
{
    std::string text = "0x";
    char digits[3];
    for (uint8_t byte : bytes) {
        snprintf(digits, sizeof digits, "%02x", byte);
        text += digits;
    }
    return text;
}

} // namespace abuse
