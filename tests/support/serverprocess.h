#pragma once

// Runs the real server binary ($LS_SERVER_BIN) in a temporary copy of the
// sample installation (install/), with its own free ports and the test
// database, and stops it with SIGTERM.
//
//   ServerProcess server;
//   FreshDatabase db;
//   server.UseDatabase(db);                // where the server finds its database
//   server.SetConfig("ThrottleCPU", "false");
//   ASSERT_TRUE(server.Start()) << server.Failure();
//   TestClient client(server.Dir());
//   ASSERT_TRUE(client.Connect(server.LoginPort()));
//   ...
//   EXPECT_EQ(0, server.Stop());

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "filetext.h"
#include "loopback.h"
#include "sqlserver.h"
#include "testenv.h"

class FreshDatabase;

class ServerProcess {
public:
    // Makes the temporary installation: a copy of sourceDir/install for the
    // server binary at binary.
    explicit ServerProcess(const std::string& sourceDir = testenv::SourceDir(),
                           const std::string& binary = testenv::ServerBinary());
    ~ServerProcess();  // stops a running server (SIGKILL if it will not stop) and removes it all
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // The installation's root; tests may change its files before Start.
    const std::string& Dir() const { return dir_; }
    // Port numbers written into Config/LsConfig.ini (free when chosen).
    uint16_t LoginPort() const { return loginPort_; }
    uint16_t InternalPort() const { return internalPort_; }

    void UseDatabase(const DatabaseSettings& database);
    // A throwaway database with the schema loaded, on the test server
    // (defined with FreshDatabase in testdb.cpp).
    void UseDatabase(const FreshDatabase& database);
    // Sets a key of Config/LsConfig.ini (added when the file lacks it).
    void SetConfig(const std::string& key, const std::string& value);
    // A key's value as Start will write it ("" when absent).
    std::string ConfigValue(const std::string& key) const;
    // Leaves a key out of Config/LsConfig.ini.
    void RemoveConfig(const std::string& key);
    // Starts the server with at most this many open descriptors (its soft
    // limit); 0 leaves the limit as the test's.
    void SetDescriptorLimit(int limit) { descriptorLimit_ = limit; }
    // Deletes a file of the installation (a path relative to Dir()); once
    // Config/LsConfig.ini is deleted, Start does not write it.
    void RemoveInstallFile(const std::string& relativePath);

    // Writes the configuration, starts the server and waits (bounded) for
    // "[*] Server Ready for Connections" in its log. False, with the reason
    // in Failure(), when the process exits first or the wait runs out.
    bool Start();
    // The same, waiting for another line of the log instead.
    bool StartUntilLogged(const std::string& line);
    // Writes the configuration, starts the server and waits for it to exit
    // by itself; its exit status, or -1 when it did not exit in time.
    int RunToExit();
    // SIGTERM, then waits for the exit; the exit status (128 + signal when
    // killed by one, -1 when not running).
    int Stop();
    bool Running() const { return pid_ > 0; }
    pid_t Pid() const { return pid_; }   // the running server's process id, or -1

    std::string LogText() const;      // Logs/LsSysLog.txt
    std::string ConsoleText() const;  // the server's stdout and stderr
    const std::string& ConsolePath() const { return outputPath_; }
    const std::string& Failure() const { return failure_; }

private:
    void WriteConfig();
    bool Spawn();
    bool StartOnce(const std::string& line, int* exitStatus);   // one start; the exit status when it ended early
    void ChooseFreePorts();            // free login and internal ports into the configuration
    int WaitExit(int timeoutMs);

    std::string binary_;
    std::string dir_;
    std::string outputPath_;
    uint16_t loginPort_ = 0;
    uint16_t internalPort_ = 0;
    std::vector<std::pair<std::string, std::string>> config_; // the file's keys, in order
    bool writeConfig_ = true;
    int descriptorLimit_ = 0;
    pid_t pid_ = -1;
    std::string failure_;
};

// The private MariaDB server of this test run ($LS_TEST_DB_DIR/env) with
// its own database: for tests that only need the server to connect.
DatabaseSettings TestServerDatabase();
