#pragma once

// A private MariaDB for the run (scripts/mariadb.sh), or one that is already
// running, described by the env file that script writes; plus the few MySQL
// C API helpers the generator needs.

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <mysql.h>
#include <unistd.h>

namespace loadgen {

struct DbServer {
    std::string host = "127.0.0.1";
    uint16_t port = 0;
    std::string user, password, name;
    std::string stateDir;      // set when this run started the server (stopped at the end)
    std::string scriptPath;    // scripts/mariadb.sh
    bool createdDatabase = false;   // a database of our own on a borrowed server
};

inline std::string EnvValue(const std::string& text, const std::string& key)
{
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line))
        if (line.compare(0, key.size() + 1, key + "=") == 0)
            return line.substr(key.size() + 1);
    return "";
}

inline bool ReadDbEnv(const std::string& path, DbServer* db)
{
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    std::string port = EnvValue(text.str(), "LS_DB_PORT");
    if (!file || port.empty())
        return false;
    db->host = EnvValue(text.str(), "LS_DB_HOST");
    db->port = (uint16_t)std::stoul(port);
    db->user = EnvValue(text.str(), "LS_DB_USER");
    db->password = EnvValue(text.str(), "LS_DB_PASS");
    db->name = EnvValue(text.str(), "LS_DB_NAME");
    return true;
}

// Connects to db (dbName may be empty); null with a message on failure.
inline MYSQL* SqlConnect(const DbServer& db, const std::string& dbName, bool multiStatements = false)
{
    MYSQL* connection = mysql_init(nullptr);
    unsigned int timeout = 10;
    mysql_options(connection, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
    if (!mysql_real_connect(connection, db.host.c_str(), db.user.c_str(), db.password.c_str(),
                            dbName.empty() ? nullptr : dbName.c_str(), db.port, nullptr,
                            multiStatements ? CLIENT_MULTI_STATEMENTS : 0)) {
        fprintf(stderr, "cannot connect to MariaDB on port %u: %s\n", (unsigned)db.port,
                mysql_error(connection));
        mysql_close(connection);
        return nullptr;
    }
    return connection;
}

// Runs one or more statements, dropping any result sets; false after the first failure.
inline bool SqlExec(MYSQL* connection, const std::string& sql)
{
    bool ok = mysql_real_query(connection, sql.data(), sql.size()) == 0;
    while (ok) {
        if (MYSQL_RES* result = mysql_store_result(connection))
            mysql_free_result(result);
        int next = mysql_next_result(connection);
        if (next < 0)
            return true;
        ok = next == 0;
    }
    fprintf(stderr, "SQL failed: %.200s\n  %s\n", sql.c_str(), mysql_error(connection));
    return false;
}

inline std::string ReadWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Starts a private server with the schema loaded (its database is the env's).
inline bool StartPrivateDb(const std::string& sourceDir, DbServer* db)
{
    char pattern[] = "/tmp/lsbenchdb.XXXXXX";
    if (!mkdtemp(pattern))
        return false;
    db->stateDir = pattern;
    db->scriptPath = sourceDir + "/scripts/mariadb.sh";
    std::string command = "bash '" + db->scriptPath + "' start '" + db->stateDir + "' '" + sourceDir +
                          "/db/schema.sql' >&2";
    if (system(command.c_str()) != 0 || !ReadDbEnv(db->stateDir + "/env", db)) {
        fprintf(stderr, "the private MariaDB did not start\n");
        return false;
    }
    return true;
}

// Uses a running server: a fresh database of our own with the schema loaded.
inline bool AttachDb(const std::string& envPath, const std::string& sourceDir, DbServer* db)
{
    if (!ReadDbEnv(envPath, db)) {
        fprintf(stderr, "no MariaDB described in %s\n", envPath.c_str());
        return false;
    }
    db->name = "lsbench_" + std::to_string(getpid());
    MYSQL* admin = SqlConnect(*db, "", true);
    if (!admin)
        return false;
    bool ok = SqlExec(admin, "CREATE DATABASE " + db->name);
    db->createdDatabase = ok;
    ok = ok && SqlExec(admin, "USE " + db->name) &&
         SqlExec(admin, ReadWholeFile(sourceDir + "/db/schema.sql"));
    mysql_close(admin);
    return ok;
}

inline void ReleaseDb(DbServer* db)
{
    if (db->createdDatabase) {
        if (MYSQL* admin = SqlConnect(*db, "")) {
            SqlExec(admin, "DROP DATABASE IF EXISTS " + db->name);
            mysql_close(admin);
        }
        db->createdDatabase = false;
    }
    if (!db->stateDir.empty()) {
        std::string command = "bash '" + db->scriptPath + "' stop '" + db->stateDir + "'";
        if (system(command.c_str()) != 0)
            fprintf(stderr, "stopping the private MariaDB failed\n");
        rmdir(db->stateDir.c_str());
        db->stateDir.clear();
    }
}

} // namespace loadgen
