#include "testdb.h"

#include <atomic>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include <gtest/gtest.h>

#include "testenv.h"

namespace {

// Shell assignments KEY=VALUE, one a line.
std::string EnvValue(const std::string& text, const std::string& key)
{
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.compare(0, key.size() + 1, key + "=") == 0)
            return line.substr(key.size() + 1);
    }
    return "";
}

TestDbServer ReadTestServer()
{
    std::string path = testenv::TestDbDir() + "/env";
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    TestDbServer server{EnvValue(text.str(), "LS_DB_HOST"), 0, EnvValue(text.str(), "LS_DB_USER"),
                        EnvValue(text.str(), "LS_DB_PASS")};
    std::string port = EnvValue(text.str(), "LS_DB_PORT");
    if (!file || server.host.empty() || port.empty()) {
        fprintf(stderr, "testdb: no test database server described in %s\n", path.c_str());
        abort();
    }
    server.port = static_cast<uint16_t>(std::stoul(port));
    return server;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// Runs a script of several statements; false after the first failing one.
bool RunScript(MYSQL* connection, const std::string& script, std::string* error)
{
    bool ok = mysql_real_query(connection, script.data(), script.size()) == 0;
    while (ok) {
        if (MYSQL_RES* result = mysql_store_result(connection))
            mysql_free_result(result);
        int next = mysql_next_result(connection);
        if (next < 0)
            return true;
        ok = next == 0;
    }
    *error = mysql_error(connection);
    return false;
}

std::string UniqueName()
{
    static std::atomic<uint32_t> counter{0};
    return "lstest_" + std::to_string(getpid()) + "_" + std::to_string(++counter);
}

} // namespace

const TestDbServer& TestServer()
{
    static const TestDbServer server = ReadTestServer();
    return server;
}

MYSQL* ConnectToTestServer(const std::string& dbName)
{
    const TestDbServer& server = TestServer();
    MYSQL* connection = mysql_init(nullptr);
    unsigned int timeout = 10;
    mysql_options(connection, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
    if (!mysql_real_connect(connection, server.host.c_str(), server.user.c_str(), server.password.c_str(),
                            dbName.empty() ? nullptr : dbName.c_str(), server.port, nullptr,
                            CLIENT_MULTI_STATEMENTS)) {
        ADD_FAILURE() << "cannot connect to the test database server: " << mysql_error(connection);
        mysql_close(connection);
        return nullptr;
    }
    return connection;
}

FreshDatabase::FreshDatabase() : name(UniqueName())
{
    MYSQL* admin = ConnectToTestServer("");
    if (!admin)
        return;
    std::string error;
    if (!RunScript(admin, "CREATE DATABASE " + name, &error))
        ADD_FAILURE() << "CREATE DATABASE " << name << ": " << error;
    mysql_close(admin);

    connection = ConnectToTestServer(name);
    if (!connection)
        return;
    std::string schemaPath = testenv::SourceDir() + "/db/schema.sql";
    std::string schema = ReadFile(schemaPath);
    if (schema.empty())
        ADD_FAILURE() << "cannot read " << schemaPath;
    else if (!RunScript(connection, schema, &error))
        ADD_FAILURE() << "loading " << schemaPath << ": " << error;
}

FreshDatabase::~FreshDatabase()
{
    if (!connection)
        return;
    std::string error;
    if (mysql_ping(connection) != 0 || !RunScript(connection, "DROP DATABASE " + name, &error)) {
        // The connection may have been killed by a test; drop through a new one.
        mysql_close(connection);
        connection = ConnectToTestServer("");
        if (connection)
            RunScript(connection, "DROP DATABASE IF EXISTS " + name, &error);
    }
    if (connection)
        mysql_close(connection);
}

const std::string& FreshDatabase::Name() const { return name; }

MYSQL* FreshDatabase::Connection() { return connection; }

void FreshDatabase::Exec(const std::string& sql)
{
    std::string error;
    if (!connection)
        ADD_FAILURE() << "no connection for: " << sql;
    else if (!RunScript(connection, sql, &error))
        ADD_FAILURE() << sql << ": " << error;
}

std::vector<std::vector<std::optional<std::string>>> FreshDatabase::Rows(const std::string& sql)
{
    std::vector<std::vector<std::optional<std::string>>> rows;
    if (!connection || mysql_real_query(connection, sql.data(), sql.size()) != 0) {
        ADD_FAILURE() << sql << ": " << (connection ? mysql_error(connection) : "no connection");
        return rows;
    }
    MYSQL_RES* result = mysql_store_result(connection);
    if (!result) {
        if (mysql_field_count(connection) != 0)
            ADD_FAILURE() << sql << ": " << mysql_error(connection);
        return rows;
    }
    unsigned int columns = mysql_num_fields(result);
    while (MYSQL_ROW row = mysql_fetch_row(result)) {
        unsigned long* lengths = mysql_fetch_lengths(result);
        std::vector<std::optional<std::string>> values;
        for (unsigned int i = 0; i < columns; ++i) {
            if (row[i])
                values.emplace_back(std::string(row[i], lengths[i]));
            else
                values.emplace_back(std::nullopt);
        }
        rows.push_back(std::move(values));
    }
    mysql_free_result(result);
    return rows;
}

std::optional<std::string> FreshDatabase::Value(const std::string& sql)
{
    auto rows = Rows(sql);
    if (rows.empty() || rows[0].empty())
        return std::nullopt;
    return rows[0][0];
}
