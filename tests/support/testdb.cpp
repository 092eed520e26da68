#include "testdb.h"

#include <atomic>
#include <unistd.h>

#include <gtest/gtest.h>

#include "filetext.h"
#include "serverprocess.h"
#include "testenv.h"

static std::string UniqueName()
{
    static std::atomic<uint32_t> counter{0};
    return "lstest_" + std::to_string(getpid()) + "_" + std::to_string(++counter);
}

const TestDbServer& TestServer()
{
    static const TestDbServer server = TestServerDatabase();
    return server;
}

MYSQL* ConnectToTestServer(const std::string& dbName)
{
    std::string error;
    MYSQL* connection = SqlConnect(TestServer(), dbName, true, &error);
    if (!connection)
        ADD_FAILURE() << "cannot connect to the test database server: " << error;
    return connection;
}

void ExecSql(MYSQL* connection, const std::string& sql)
{
    std::string error;
    if (!RunScript(connection, sql, &error))
        ADD_FAILURE() << sql << ": " << error;
}

FreshDatabase::FreshDatabase() : name(UniqueName())
{
    std::string schemaPath = testenv::SourceDir() + "/db/schema.sql";
    std::string schema = ReadFileText(schemaPath);
    std::string error;
    if (schema.empty())
        ADD_FAILURE() << "cannot read " << schemaPath;
    else if (!CreateDatabase(TestServer(), name, schema, &error))
        ADD_FAILURE() << "creating " << name << " with " << schemaPath << ": " << error;
    else
        connection = ConnectToTestServer(name);
}

FreshDatabase::~FreshDatabase()
{
    // The connection may have been killed by a test: drop through a new one.
    if (connection)
        mysql_close(connection);
    DropDatabase(TestServer(), name);
}

const std::string& FreshDatabase::Name() const { return name; }

MYSQL* FreshDatabase::Connection() { return connection; }

void FreshDatabase::Exec(const std::string& sql)
{
    if (!connection)
        ADD_FAILURE() << "no connection for: " << sql;
    else
        ExecSql(connection, sql);
}

std::vector<std::vector<std::optional<std::string>>> FreshDatabase::Rows(const std::string& sql)
{
    std::vector<SqlRow> rows;
    std::string error;
    if (!connection)
        ADD_FAILURE() << sql << ": no connection";
    else if (!QueryRows(connection, sql, &rows, &error))
        ADD_FAILURE() << sql << ": " << error;
    return rows;
}

std::optional<std::string> FreshDatabase::Value(const std::string& sql)
{
    auto rows = Rows(sql);
    if (rows.empty() || rows[0].empty())
        return std::nullopt;
    return rows[0][0];
}

// Here rather than in serverprocess.cpp: the server process knows nothing
// of the test framework that FreshDatabase reports to.
void ServerProcess::UseDatabase(const FreshDatabase& database)
{
    DatabaseSettings settings = TestServer();
    settings.name = database.Name();
    UseDatabase(settings);
}
