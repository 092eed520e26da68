#pragma once

// Tools of the abuse tests: the server's memory, messages cut in two,
// bounded waits, and snapshots of tables.

#include <cstdint>
#include <string>
#include <vector>

#include <mysql.h>

#include "loginrows.h"
#include "procstat.h"
#include "serverprocess.h"
#include "testclient.h"
#include "testdb.h"
#include "waituntil.h"

// Sends bytes in two writes cut at offset, with a short pause between them
// so that the server mostly reads the two parts apart (the test's outcome
// must not depend on whether it does).
bool SendSplit(TestClient& client, const std::vector<uint8_t>& bytes, size_t offset);

// Sends bytes one at a time, pausing between them.
bool SendByteByByte(TestClient& client, const std::vector<uint8_t>& bytes);

// How often text stands in the server's console.
size_t CountInConsole(const ServerProcess& server, const std::string& text);

// The three tables of the server, ordered by their keys, each row as hex
// text: what is compared before and after an abuse run.
struct TableSnapshot {
    std::vector<std::string> accounts, characters, items;
    bool operator==(const TableSnapshot&) const = default;
};
TableSnapshot SnapshotTables(MYSQL* connection);
