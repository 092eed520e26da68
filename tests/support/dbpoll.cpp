#include "dbpoll.h"

#include "testdb.h"
#include "waituntil.h"

bool WaitForValue(FreshDatabase& db, const std::string& sql, const std::optional<std::string>& expected,
                  int timeoutMs)
{
    return WaitUntil([&] { return db.Value(sql) == expected; }, timeoutMs);
}
