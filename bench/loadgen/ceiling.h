#pragma once

// The ceiling: the statements one login makes, issued straight through the
// MySQL C API, one thread per connection, as fast as they go. The server's
// login rate is compared with this rate.

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "clock.h"
#include "item.h"
#include "protocol.h"
#include "sql.h"

namespace loadgen {

// The login's statements, as the server writes them.
inline std::string AccountSelectText(const Account& a)
{
    return "SELECT Password, AccessLevel, AccountID, TimeAccountMarked, DurationOfMark, InterfaceDataSize, "
           "InterfaceData FROM accounts WHERE Email=" +
           SqlHex(WideBlock(Utf16(a.email), 130)) + " LIMIT 1";
}

inline std::string CompHashUpdateText(uint32_t accountId, const Bytes& computerHash)
{
    return "UPDATE accounts SET CompHash=" + SqlHex(computerHash) + " WHERE AccountID=\"" +
           std::to_string(accountId) + "\"";
}

inline std::string CharactersSelectText(uint32_t accountId)
{
    return "SELECT Name, Location, HeightSex, HairSkinColor, ProfessionHairStyle, CampaignFace, Level, "
           "HeadArmor, ChestArmor, ArmsArmor, LegArmor, FeetArmor, SecondProfession, CharacterType, MissionID "
           "FROM characters WHERE OwnerAccountID=\"" +
           std::to_string(accountId) + "\"";
}

// Runs one statement the way the server's database layer does (the text
// with its NUL, the result stored whole); the result set or null.
inline bool RunStatement(MYSQL* connection, const std::string& text, MYSQL_RES** result)
{
    *result = nullptr;
    if (mysql_real_query(connection, text.c_str(), text.size() + 1) != 0)
        return false;
    *result = mysql_store_result(connection);
    return *result != nullptr || mysql_field_count(connection) == 0;
}

// One login's statements for one account; false on any failure.
inline bool OneLoginsStatements(MYSQL* connection, const Account& account)
{
    MYSQL_RES* result;
    if (!RunStatement(connection, AccountSelectText(account), &result) || !result)
        return false;
    MYSQL_ROW row = mysql_fetch_row(result);
    uint32_t accountId = row && row[2] ? (uint32_t)atoi(row[2]) : 0;
    mysql_free_result(result);
    if (accountId == 0)
        return false;

    static const Bytes computerHash(32, 0x5a);
    if (!RunStatement(connection, CompHashUpdateText(accountId, computerHash), &result))
        return false;

    if (!RunStatement(connection, CharactersSelectText(accountId), &result) || !result)
        return false;
    std::vector<uint8_t> ids;
    while ((row = mysql_fetch_row(result))) {
        unsigned long* lengths = mysql_fetch_lengths(result);
        for (int column = 7; column < 12; ++column)
            for (int b = 0; b < 12; ++b)
                ids.push_back(row[column] && (unsigned long)b < lengths[column] ? (uint8_t)row[column][b] : 0);
    }
    mysql_free_result(result);
    if (ids.empty())
        return true;

    if (!RunStatement(connection, ItemsByIdQueryText(ids.data(), (uint32_t)(ids.size() / 12)), &result) ||
        !result)
        return false;
    while (mysql_fetch_row(result)) {
    }
    mysql_free_result(result);
    return true;
}

struct CeilingResult {
    uint64_t logins = 0;
    uint64_t failures = 0;
    double seconds = 0;
    Latencies latencies;
};

inline CeilingResult RunCeiling(const DatabaseSettings& db, const std::vector<Account>& accounts, double seconds)
{
    std::vector<MYSQL*> connections;
    for (size_t i = 0; i < accounts.size(); ++i) {
        MYSQL* connection = ConnectDb(db);
        if (!connection)
            break;
        connections.push_back(connection);
    }
    std::vector<CeilingResult> perThread(connections.size());
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (size_t i = 0; i < connections.size(); ++i) {
        threads.emplace_back([&, i] {
            mysql_thread_init();
            while (!go.load()) {
                std::this_thread::yield();
            }
            auto end = Clock::now() + std::chrono::duration<double>(seconds);
            CeilingResult& mine = perThread[i];
            for (auto start = Clock::now(); start < end; start = Clock::now()) {
                if (OneLoginsStatements(connections[i], accounts[i]))
                    ++mine.logins;
                else
                    ++mine.failures;
                mine.latencies.Add(MicrosecondsBetween(start, Clock::now()));
            }
            mysql_thread_end();
        });
    }
    auto start = Clock::now();
    go.store(true);
    for (std::thread& t : threads)
        t.join();
    CeilingResult total;
    total.seconds = SecondsSince(start);
    for (CeilingResult& r : perThread) {
        total.logins += r.logins;
        total.failures += r.failures;
        total.latencies.Merge(r.latencies);
    }
    for (MYSQL* connection : connections)
        mysql_close(connection);
    if (connections.size() < accounts.size())
        fprintf(stderr, "only %zu of %zu connections opened\n", connections.size(), accounts.size());
    return total;
}

} // namespace loadgen
