#pragma once

// The benchmark's database: a private MariaDB started for the run, or a
// database of its own on one that is already running (described by the
// env file scripts/mariadb.sh writes); and connections and statements
// that report their failures.

#include <cstdio>
#include <memory>
#include <string>

#include <mysql.h>
#include <unistd.h>

#include "filetext.h"
#include "privatedb.h"
#include "sqlserver.h"

namespace loadgen {

struct BenchDb {
    DatabaseSettings settings;
    std::unique_ptr<PrivateMariaDb> own;   // the run's own server, stopped at the end
    bool borrowed = false;                 // a database of ours on a running server, dropped at the end
    std::string plainUser;                 // made for the login server; dropped with a borrowed database
};

// A connection to the benchmark's database; null with a message on failure.
inline MYSQL* ConnectDb(const DatabaseSettings& db)
{
    std::string error;
    MYSQL* connection = SqlConnect(db, db.name, false, &error);
    if (!connection)
        fprintf(stderr, "cannot connect to MariaDB on port %u: %s\n", (unsigned)db.port, error.c_str());
    return connection;
}

// Runs one or more statements; false with a message after the first failure.
inline bool SqlExec(MYSQL* connection, const std::string& sql)
{
    std::string error;
    if (RunScript(connection, sql, &error))
        return true;
    fprintf(stderr, "SQL failed: %.200s\n  %s\n", sql.c_str(), error.c_str());
    return false;
}

// Starts a private server with the schema loaded (its database is the env's).
inline bool StartPrivateDb(const std::string& sourceDir, BenchDb* db)
{
    db->own = std::make_unique<PrivateMariaDb>(sourceDir);
    if (!db->own->Ready()) {
        fprintf(stderr, "the private MariaDB did not start\n");
        return false;
    }
    db->settings = db->own->Settings();
    return true;
}

// Uses a running server: a fresh database of our own with the schema loaded.
inline bool AttachDb(const std::string& envPath, const std::string& sourceDir, BenchDb* db)
{
    if (!ReadDatabaseEnv(envPath, &db->settings)) {
        fprintf(stderr, "no MariaDB described in %s\n", envPath.c_str());
        return false;
    }
    db->settings.name = "lsbench_" + std::to_string(getpid());
    db->borrowed = true;
    std::string error;
    if (CreateDatabase(db->settings, db->settings.name, ReadFileText(sourceDir + "/db/schema.sql"), &error))
        return true;
    fprintf(stderr, "creating %s failed: %s\n", db->settings.name.c_str(), error.c_str());
    return false;
}

// Statements run as root@127.0.0.1 without a password (as a private server
// has it); false with a message.
inline bool SqlExecAsRoot(const DatabaseSettings& db, const std::string& sql)
{
    DatabaseSettings root = db;
    root.user = "root";
    root.password = "";
    std::string error;
    MYSQL* connection = SqlConnect(root, "", true, &error);
    if (!connection) {
        fprintf(stderr, "cannot connect to MariaDB on port %u as root without a password: %s\n",
                (unsigned)db.port, error.c_str());
        return false;
    }
    bool done = SqlExec(connection, sql);
    mysql_close(connection);
    return done;
}

inline std::string PlainAccount(const std::string& user)
{
    return "'" + user + "'@'127.0.0.1'";
}

// A user with only the rights an operator grants a login server on the
// benchmark's database; its settings in *plain. Lower case: the server
// lowercases its configuration values.
inline bool CreatePlainUser(BenchDb* db, DatabaseSettings* plain)
{
    *plain = db->settings;
    plain->user = db->settings.name + "_plain";
    plain->password = "plainpw";
    std::string account = PlainAccount(plain->user);
    if (!SqlExecAsRoot(db->settings, "CREATE OR REPLACE USER " + account + " IDENTIFIED BY '" + plain->password +
                                         "'; GRANT SELECT, INSERT, UPDATE, DELETE ON " + db->settings.name +
                                         ".* TO " + account))
        return false;
    db->plainUser = plain->user;
    return true;
}

inline void ReleaseDb(BenchDb* db)
{
    if (db->borrowed && !db->plainUser.empty())
        SqlExecAsRoot(db->settings, "DROP USER IF EXISTS " + PlainAccount(db->plainUser));
    if (db->borrowed)
        DropDatabase(db->settings, db->settings.name);
    db->borrowed = false;
    db->own.reset();
}

} // namespace loadgen
