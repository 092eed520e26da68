#pragma once

// Tools of the abuse tests: the server's memory, messages cut in two,
// bounded waits, and snapshots of tables.

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <mysql.h>

#include "serverprocess.h"
#include "testclient.h"

namespace abuse {

// Resident set size of a process in KiB (VmRSS of /proc/<pid>/status), or -1.
long ResidentKb(pid_t pid);

// CPU time a process has used so far, user and system, in seconds (of
// /proc/<pid>/stat), or -1.
double CpuSeconds(pid_t pid);

// Sends bytes in two writes cut at offset, with a short pause between them
// so that the server mostly reads the two parts apart (the test's outcome
// must not depend on whether it does).
bool SendSplit(TestClient& client, const std::vector<uint8_t>& bytes, size_t offset);

// Sends bytes one at a time, pausing between them.
bool SendByteByByte(TestClient& client, const std::vector<uint8_t>& bytes);

// How often text stands in the server's console.
size_t CountInConsole(const ServerProcess& server, const std::string& text);

// Polls condition every few milliseconds until it holds or timeoutMs pass.
bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = 20000);

// Runs statements on a connection; the test fails (non-fatally) on an error.
void ExecSql(MYSQL* connection, const std::string& sql);

// Every row of a query, each column as hex text (NULL as "NULL"), columns
// joined by '|': what is compared before and after an abuse run.
std::vector<std::string> TableRows(MYSQL* connection, const std::string& sql);

// The three tables of the server, ordered by their keys.
struct TableSnapshot {
    std::vector<std::string> accounts, characters, items;
    bool operator==(const TableSnapshot&) const = default;
};
TableSnapshot SnapshotTables(MYSQL* connection);

// "0x" and two lower-case hex digits per byte: a literal for SQL text.
std::string SqlHex(const std::vector<uint8_t>& bytes);

} // namespace abuse
