#include "sqlserver.h"

#include <sstream>

#include "filetext.h"

std::string EnvValue(const std::string& text, const std::string& key)
{
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line))
        if (line.rfind(key + "=", 0) == 0)
            return line.substr(key.size() + 1);
    return "";
}

bool ReadDatabaseEnv(const std::string& path, DatabaseSettings* settings)
{
    std::string text = ReadFileText(path);
    std::string port = EnvValue(text, "LS_DB_PORT");
    if (port.empty())
        return false;
    settings->host = EnvValue(text, "LS_DB_HOST");
    settings->port = uint16_t(std::stoul(port));
    settings->name = EnvValue(text, "LS_DB_NAME");
    settings->user = EnvValue(text, "LS_DB_USER");
    settings->password = EnvValue(text, "LS_DB_PASS");
    return true;
}

MYSQL* SqlConnect(const DatabaseSettings& server, const std::string& dbName, bool multiStatements,
                  std::string* error)
{
    MYSQL* connection = mysql_init(nullptr);
    unsigned int timeout = 10;
    mysql_options(connection, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
    if (!mysql_real_connect(connection, server.host.c_str(), server.user.c_str(), server.password.c_str(),
                            dbName.empty() ? nullptr : dbName.c_str(), server.port, nullptr,
                            multiStatements ? CLIENT_MULTI_STATEMENTS : 0)) {
        *error = mysql_error(connection);
        mysql_close(connection);
        return nullptr;
    }
    return connection;
}

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

static SqlRow RowValues(MYSQL_RES* result, MYSQL_ROW row)
{
    unsigned long* lengths = mysql_fetch_lengths(result);
    SqlRow values;
    for (unsigned int i = 0; i < mysql_num_fields(result); ++i)
        values.push_back(row[i] ? std::optional<std::string>(std::string(row[i], lengths[i])) : std::nullopt);
    return values;
}

bool QueryRows(MYSQL* connection, const std::string& sql, std::vector<SqlRow>* rows, std::string* error)
{
    rows->clear();
    if (mysql_real_query(connection, sql.data(), sql.size()) != 0) {
        *error = mysql_error(connection);
        return false;
    }
    MYSQL_RES* result = mysql_store_result(connection);
    if (!result) {
        *error = mysql_error(connection);
        return mysql_field_count(connection) == 0;
    }
    while (MYSQL_ROW row = mysql_fetch_row(result))
        rows->push_back(RowValues(result, row));
    mysql_free_result(result);
    return true;
}

bool CreateDatabase(const DatabaseSettings& server, const std::string& name, const std::string& script,
                    std::string* error)
{
    MYSQL* admin = SqlConnect(server, "", true, error);
    if (!admin)
        return false;
    bool ok = RunScript(admin, "CREATE DATABASE " + name, error) && RunScript(admin, "USE " + name, error) &&
              RunScript(admin, script, error);
    mysql_close(admin);
    return ok;
}

void DropDatabase(const DatabaseSettings& server, const std::string& name)
{
    std::string error;
    if (MYSQL* admin = SqlConnect(server, "", true, &error)) {
        RunScript(admin, "DROP DATABASE IF EXISTS " + name, &error);
        mysql_close(admin);
    }
}
