#pragma once

// A MariaDB server as tests and benchmarks reach it through the MySQL C
// API: its connection values (as scripts/mariadb.sh describes them in its
// env file), connections, scripts, rows, and databases of one's own.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <mysql.h>

// Connection values of a database, as the configuration file takes them.
struct DatabaseSettings {
    std::string host = "127.0.0.1";
    uint16_t port = 0;
    std::string name;
    std::string user;
    std::string password;
};

// The value of KEY in shell assignments KEY=VALUE, one a line; "" when absent.
std::string EnvValue(const std::string& text, const std::string& key);

// The server an env file of scripts/mariadb.sh describes; false when the
// file names no port.
bool ReadDatabaseEnv(const std::string& path, DatabaseSettings* settings);

// A connection to database dbName (empty: none) on the server; null with
// the reason in *error.
MYSQL* SqlConnect(const DatabaseSettings& server, const std::string& dbName, bool multiStatements,
                  std::string* error);

// Runs one or more statements, dropping any result sets; false with the
// error after the first failing one.
bool RunScript(MYSQL* connection, const std::string& script, std::string* error);

// The rows of a query, each value a column's bytes (nullopt: NULL); no
// rows for a statement without a result set. False with the error.
using SqlRow = std::vector<std::optional<std::string>>;
bool QueryRows(MYSQL* connection, const std::string& sql, std::vector<SqlRow>* rows, std::string* error);

// A new database on the server (server.name is not used) with the script,
// the schema, run in it; false with the error.
bool CreateDatabase(const DatabaseSettings& server, const std::string& name, const std::string& script,
                    std::string* error);
// Drops the database if it is there, through a connection of its own.
void DropDatabase(const DatabaseSettings& server, const std::string& name);
