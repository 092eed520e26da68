#pragma once

// A MariaDB server of one's own (scripts/mariadb.sh): for tests that stop
// and restart the database under a running login server (the shared server
// of the test run must never be restarted), and for benchmarks.
//
//   PrivateMariaDb db;
//   ASSERT_TRUE(db.Ready()) << db.Failure();
//   server.UseDatabase(db.Settings());
//   db.Stop();  ...  ASSERT_TRUE(db.Restart());

#include <signal.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include <mysql.h>

#include "sqlserver.h"
#include "testenv.h"

class PrivateMariaDb {
public:
    // Starts the server with db/schema.sql loaded (bounded), with the
    // scripts and schema of the source tree at sourceDir.
    explicit PrivateMariaDb(const std::string& sourceDir = testenv::SourceDir());
    ~PrivateMariaDb();   // stops it and removes its data
    PrivateMariaDb(const PrivateMariaDb&) = delete;
    PrivateMariaDb& operator=(const PrivateMariaDb&) = delete;

    bool Ready() const { return pid_ > 0; }
    const std::string& Failure() const { return failure_; }
    DatabaseSettings Settings() const { return settings_; }

    // A new connection to the database (the caller closes it), or null.
    MYSQL* Connect() const;

    // The signal (SIGTERM: a clean shutdown; SIGKILL: a crash) to mariadbd,
    // and a bounded wait for it to end.
    bool Stop(int signal = SIGTERM);
    // mariadbd again on the same data directory and port; waits until it answers.
    bool Restart();

private:
    bool WaitAnswering();
    bool WaitGone(int timeoutMs);

    std::string stateDir_;
    std::string dataDir_;
    std::vector<std::string> command_;   // mariadbd's command line, for the restart
    DatabaseSettings settings_;
    pid_t pid_ = -1;
    bool ownChild_ = false;   // the running mariadbd was started by Restart (reap it)
    std::string failure_;
};
