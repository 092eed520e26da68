#pragma once

// The private MariaDB server of a test run, and throwaway databases on it.
//
// CTest starts one server per run (scripts/mariadb.sh); its connection
// values are in $LS_TEST_DB_DIR/env. Each FreshDatabase is a new database
// with db/schema.sql loaded, named uniquely across parallel test processes,
// and dropped again when the object goes.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <mysql.h>

#include "sqlserver.h"

// The server of the test run (its name: the database mariadb.sh made).
using TestDbServer = DatabaseSettings;

// Read once from $LS_TEST_DB_DIR/env; the test fails at once when it is missing.
const TestDbServer& TestServer();

// Opens a connection to the test server (dbName may be empty); null with an
// ADD_FAILURE when it cannot.
MYSQL* ConnectToTestServer(const std::string& dbName);

// Runs statements on a connection; the test fails (non-fatally) on an error.
void ExecSql(MYSQL* connection, const std::string& sql);

class FreshDatabase {
public:
    FreshDatabase();
    ~FreshDatabase();
    FreshDatabase(const FreshDatabase&) = delete;
    FreshDatabase& operator=(const FreshDatabase&) = delete;

    const std::string& Name() const;
    MYSQL* Connection();   // a direct connection to it, for setting up and checking rows

    void Exec(const std::string& sql);   // ADD_FAILURE with the error on failure
    std::vector<std::vector<std::optional<std::string>>> Rows(const std::string& sql);
    std::optional<std::string> Value(const std::string& sql);   // first column of the first row

private:
    std::string name;
    MYSQL* connection = nullptr;
};
