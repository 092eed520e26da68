#include "dbpoll.h"

#include <chrono>
#include <thread>

#include "testdb.h"

bool WaitForValue(FreshDatabase& db, const std::string& sql, const std::optional<std::string>& expected,
                  int timeoutMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (db.Value(sql) == expected)
            return true;
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}
