#include "abusekit.h"

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "sqlserver.h"

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

// Every row of a query, each column as hex text (NULL as "NULL"), columns
// joined by '|'.
static std::vector<std::string> TableRows(MYSQL* connection, const std::string& sql)
{
    std::vector<SqlRow> rows;
    std::string error;
    if (!QueryRows(connection, sql, &rows, &error))
        ADD_FAILURE() << sql << ": " << error;
    std::vector<std::string> texts;
    for (const SqlRow& row : rows) {
        std::string text;
        for (size_t i = 0; i < row.size(); i++)
            text += (i ? "|" : "") + (row[i] ? SqlHex(*row[i]) : "NULL");
        texts.push_back(text);
    }
    return texts;
}

TableSnapshot SnapshotTables(MYSQL* connection)
{
    TableSnapshot snapshot;
    snapshot.accounts = TableRows(connection, "SELECT * FROM accounts ORDER BY AccountID");
    snapshot.characters = TableRows(connection, "SELECT * FROM characters ORDER BY ID");
    snapshot.items = TableRows(connection, "SELECT * FROM items ORDER BY ID");
    return snapshot;
}
