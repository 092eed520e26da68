// Start-up and teardown of the real server binary: the exact log of a good
// start and of every failing step, and the exit status.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "procstat.h"
#include "waituntil.h"
#include "serverprocess.h"
#include "testclient.h"

namespace {

const char kBanner[] =
    "----------------------------------------------------------------\n"
    "Vessik Login Server v0.0.1\n\n"
    "[+] System Log File Opened\n";
const char kConfigLoaded[] = "[+] Loaded login server configuration file.\n";
const char kPacketsLoaded[] =
    "[+] Successfully loaded the file server packet.\n"
    "[+] Successfully loaded the default interface data.\n";
const char kOpcodesLoaded[] = "[+] Successfully populated the login server opcode table.\n";
const char kAttempting[] = "    Attempting connections to the database server...\n";
const char kLoginDown[] = "[-] Login network server shutdown.\n";
const char kInternalDown[] = "[-] Internal network server shutdown.\n";
const char kNetworkDown[] = "[-] Network subsystem shutdown.\n\n[*] Server Shutdown\n";
const char kReady[] = "[*] Server Ready for Connections\n\n";

std::string LoginStarted(const ServerProcess& server)
{
    return "[+] Login network server (127.0.0.1:" + std::to_string(server.LoginPort()) +
           ") started.\n";
}

std::string InternalStarted(const ServerProcess& server)
{
    return "[+] Internal network server (127.0.0.1:" + std::to_string(server.InternalPort()) +
           ") started.\n";
}

// A socket listening on a port (a free one by default) that never accepts:
// the server cannot listen there, and a client that connects hears nothing.
class PortBlocker {
public:
    explicit PortBlocker(uint16_t port = 0)
    {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        socklen_t length = sizeof address;
        ok_ = bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
              listen(fd_, 1) == 0 &&
              getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0;
        port_ = ntohs(address.sin_port);
    }
    ~PortBlocker() { close(fd_); }
    bool ok() const { return ok_; }
    uint16_t port() const { return port_; }
    // True once a connection waits to be accepted.
    bool WaitForConnection(int timeoutMs = 30000)
    {
        pollfd waiting = {fd_, POLLIN, 0};
        return poll(&waiting, 1, timeoutMs) == 1;
    }

private:
    int fd_;
    bool ok_;
    uint16_t port_;
};

// Whether a signal sent to the process has not been taken by it yet.
bool SignalPending(pid_t pid, int signalNumber)
{
    std::string status = ReadFileText("/proc/" + std::to_string(pid) + "/status");
    size_t field = status.find("ShdPnd:");
    if (field == std::string::npos)
        return false;
    unsigned long long pending = std::stoull(status.substr(field + 7), nullptr, 16);
    return (pending >> (signalNumber - 1)) & 1;
}

class StartupTest : public ::testing::Test {
protected:
    void SetUp() override { server.UseDatabase(TestServerDatabase()); }

    // Runs the server to its exit and checks its status and whole log.
    void ExpectFailure(int code, const std::string& log)
    {
        EXPECT_EQ(-code, server.RunToExit()) << server.ConsoleText();
        EXPECT_EQ(log, server.LogText()) << server.ConsoleText();
    }

    // Starts the server against a database port that accepts connections
    // and never answers (each attempt lasts the connect time-out, 10 s), and
    // waits until an attempt is under way.
    void StartConnectingToSilentDatabase(PortBlocker& silent)
    {
        ASSERT_TRUE(silent.ok());
        DatabaseSettings database = TestServerDatabase();
        database.port = silent.port();
        server.UseDatabase(database);
        server.SetConfig("MaxRetryConnects", "1000");
        ASSERT_TRUE(server.StartUntilLogged(kAttempting)) << server.Failure();
        ASSERT_TRUE(silent.WaitForConnection());
    }

    ServerProcess server;
};

TEST_F(StartupTest, GoodStartLogsEveryStepAndSigtermTearsDown)
{
    ASSERT_TRUE(server.Start()) << server.Failure();
    std::string ready = std::string(kBanner) + kConfigLoaded + kPacketsLoaded +
                        LoginStarted(server) + kOpcodesLoaded + InternalStarted(server) +
                        kAttempting + "[+] All connections to the database server established.\n" +
                        kReady;
    EXPECT_EQ(ready, server.LogText());

    EXPECT_EQ(0, server.Stop());
    EXPECT_EQ(ready + kLoginDown + kInternalDown + kNetworkDown, server.LogText());
    // The database is torn down last, after the log is closed.
    std::string console = server.ConsoleText();
    EXPECT_LT(console.find("[*] Server Shutdown"), console.find("Queries Processed"));
}

TEST_F(StartupTest, SigintAlsoEndsTheLoopWithTheTeardown)
{
    ASSERT_TRUE(server.Start()) << server.Failure();
    TestClient client(server.Dir());
    ASSERT_TRUE(client.Connect(server.LoginPort()));
    // A connected client is closed by the teardown.
    ASSERT_EQ(0, server.Stop());
    EXPECT_TRUE(client.WaitClosed());
    EXPECT_NE(std::string::npos, server.LogText().find(kNetworkDown));
}

TEST_F(StartupTest, SigtermDuringConnectionAttemptsEndsThemWithTheTeardown)
{
    PortBlocker silent;
    ASSERT_NO_FATAL_FAILURE(StartConnectingToSilentDatabase(silent));
    // Stop waits 30 s: the attempt under way ends within its 10 s, no other begins.
    EXPECT_EQ(6, server.Stop()) << server.ConsoleText();
    std::string end = std::string("[!] Could not connect to the database server.\n") + kLoginDown +
                      kInternalDown + kNetworkDown;
    std::string log = server.LogText();
    EXPECT_EQ(end, log.substr(log.size() - std::min(log.size(), end.size()))) << log;
}

TEST_F(StartupTest, ASecondSignalEndsTheProcessAtOnce)
{
    PortBlocker silent;
    ASSERT_NO_FATAL_FAILURE(StartConnectingToSilentDatabase(silent));
    ASSERT_EQ(0, kill(server.Pid(), SIGINT));
    ASSERT_TRUE(WaitUntil([&] { return !SignalPending(server.Pid(), SIGINT); }));
    EXPECT_EQ(128 + SIGTERM, server.Stop());   // before the attempt under way ends
    EXPECT_EQ(std::string::npos, server.LogText().find("[*] Server Shutdown"));
}

TEST_F(StartupTest, MissingConfigurationFile)
{
    server.RemoveInstallFile("Config/LsConfig.ini");
    ExpectFailure(-2, std::string(kBanner) +
                          "[!] Failed to the login server configuration file.\n" + kNetworkDown);
}

class MissingKeyTest : public StartupTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(MissingKeyTest, FailsAfterReadingEveryKey)
{
    server.RemoveConfig(GetParam());
    ExpectFailure(-3, std::string(kBanner) +
                          "[!] An error was encountered while processing the config file.\n" +
                          kNetworkDown);
    std::string console = server.ConsoleText();
    std::string tag = GetParam();
    for (char& c : tag)
        c = char(tolower(c));
    EXPECT_NE(std::string::npos, console.find("\"" + tag + "\"")) << console;
}

INSTANTIATE_TEST_SUITE_P(EveryKey, MissingKeyTest,
                         ::testing::Values("IPAddress", "Port", "MaxPlayers", "LockServerAtStart",
                                           "ThrottleCPU", "DatabaseIP", "DatabasePort",
                                           "DatabaseName", "DatabaseUser", "DatabasePass",
                                           "MaxPipes", "MaxRetryConnects", "GameServPass",
                                           "MaxGameServers", "ICPort", "DetectGameServIP",
                                           "IgnoreNoGameServer", "RequireValidPassword"));

TEST_F(StartupTest, StringLongerThanItsBufferIsAConfigurationError)
{
    const char* const cases[][2] = {
        {"IPAddress", "127.000.000.00000001"},     // 20 characters, room for 19
        {"DatabaseName", "abcdefghijklmnopqrstuvwxy"}, // 25 characters, room for 24
        {"GameServPass", "abcdefghijklmnopqrstuvwxyz0123456789"},
    };
    for (const auto& entry : cases) {
        ServerProcess other;
        other.UseDatabase(TestServerDatabase());
        other.SetConfig(entry[0], entry[1]);
        EXPECT_EQ(3, other.RunToExit()) << entry[0];
        EXPECT_EQ(std::string(kBanner) +
                      "[!] An error was encountered while processing the config file.\n" +
                      kNetworkDown,
                  other.LogText())
            << entry[0];
    }
}

TEST_F(StartupTest, LongestStringsThatFitAreAccepted)
{
    server.SetConfig("GameServPass", "abcdefghijklmnopqrstuvwx"); // 24 characters
    ASSERT_TRUE(server.Start()) << server.Failure();
    EXPECT_EQ(0, server.Stop());
}

TEST_F(StartupTest, MissingUpdateCheckPacket)
{
    server.RemoveInstallFile("Data/Packets/NoUpdateAvailable");
    ExpectFailure(-8, std::string(kBanner) + kConfigLoaded +
                          "[!] Could not load file server packet.\n" + kNetworkDown);
}

TEST_F(StartupTest, MissingDefaultInterface)
{
    server.RemoveInstallFile("Data/Packets/DefaultInterface");
    ExpectFailure(-9, std::string(kBanner) + kConfigLoaded +
                          "[+] Successfully loaded the file server packet.\n"
                          "[!] Could not load default interface data.\n" +
                          kNetworkDown);
}

TEST_F(StartupTest, PacketFileWithoutALengthFailsItsStep)
{
    // A directory opens for reading but has no length to take.
    server.RemoveInstallFile("Data/Packets/DefaultInterface");
    std::filesystem::create_directory(server.Dir() + "/Data/Packets/DefaultInterface");
    ExpectFailure(-9, std::string(kBanner) + kConfigLoaded +
                          "[+] Successfully loaded the file server packet.\n"
                          "[!] Could not load default interface data.\n" +
                          kNetworkDown);
}

TEST_F(StartupTest, BusyLoginPort)
{
    PortBlocker blocker(server.LoginPort());
    ASSERT_TRUE(blocker.ok());
    ExpectFailure(-4, std::string(kBanner) + kConfigLoaded + kPacketsLoaded +
                          "[!] Could not initialize the login network server.\n" + kLoginDown +
                          kNetworkDown);
}

TEST_F(StartupTest, MissingMessageName)
{
    std::string path = server.Dir() + "/Data/LoginOpcodes.ini";
    std::string text = ReadFileText(path);
    size_t line = text.find("NO_UPDATES=");
    ASSERT_NE(std::string::npos, line);
    text.erase(line, text.find('\n', line) + 1 - line);
    std::ofstream(path, std::ios::trunc) << text;

    ExpectFailure(-7, std::string(kBanner) + kConfigLoaded + kPacketsLoaded +
                          LoginStarted(server) +
                          "[!] Unable to populate login server opcodes table.\n" + kLoginDown +
                          kNetworkDown);
}

TEST_F(StartupTest, MissingMessageTable)
{
    server.RemoveInstallFile("Data/LoginOpcodes.ini");
    ExpectFailure(-7, std::string(kBanner) + kConfigLoaded + kPacketsLoaded +
                          LoginStarted(server) +
                          "[!] Unable to populate login server opcodes table.\n" + kLoginDown +
                          kNetworkDown);
}

TEST_F(StartupTest, BusyInternalPort)
{
    PortBlocker blocker(server.InternalPort());
    ASSERT_TRUE(blocker.ok());
    ExpectFailure(-5, std::string(kBanner) + kConfigLoaded + kPacketsLoaded +
                          LoginStarted(server) + kOpcodesLoaded +
                          "[!] Could not initialize the internal network server.\n" + kLoginDown +
                          kInternalDown + kNetworkDown);
}

TEST_F(StartupTest, UnreachableDatabase)
{
    DatabaseSettings database = TestServerDatabase();
    database.port = FreeTcpPort(); // nobody listens there
    server.UseDatabase(database);
    server.SetConfig("MaxRetryConnects", "2");
    std::string attempt = "[!] Failed to connect to database! Host: 127.0.0.1 User: " +
                          database.user + " Pass: " + database.password + " DBName: " +
                          database.name + ", Port: " + std::to_string(database.port);
    ExpectFailure(-6, std::string(kBanner) + kConfigLoaded + kPacketsLoaded +
                          LoginStarted(server) + kOpcodesLoaded + InternalStarted(server) +
                          kAttempting + attempt + attempt +
                          "[!] Could not connect to the database server.\n" + kLoginDown +
                          kInternalDown + kNetworkDown);
}

TEST_F(StartupTest, NoConnectionAttemptsAllowed)
{
    server.SetConfig("MaxRetryConnects", "0");
    ExpectFailure(-6, std::string(kBanner) + kConfigLoaded + kPacketsLoaded +
                          LoginStarted(server) + kOpcodesLoaded + InternalStarted(server) +
                          kAttempting + "[!] Could not connect to the database server.\n" +
                          kLoginDown + kInternalDown + kNetworkDown);
}

TEST_F(StartupTest, KeysAndValuesInAnyCase)
{
    server.RemoveConfig("ThrottleCPU");
    server.SetConfig("tHROTTLEcpu", "TRUE");
    server.RemoveConfig("IPAddress");
    server.SetConfig("IPADDRESS", "127.0.0.1");
    ASSERT_TRUE(server.Start()) << server.Failure();
    EXPECT_NE(std::string::npos, server.LogText().find(LoginStarted(server)));
    EXPECT_EQ(0, server.Stop());
}

// scripts/run.sh as a person runs it: in a terminal of its own, whose
// foreground process group the script leads, so that a typed Ctrl-C
// reaches the whole group. It runs the binary under test on free ports,
// with its run and database directories in a directory of its own (made in
// the working directory, the build tree under CTest).
class RunCommand {
public:
    RunCommand()
    {
        char pattern[] = "runcommand.XXXXXX";
        if (mkdtemp(pattern) != nullptr)
            dir_ = (std::filesystem::current_path() / pattern).string();
    }

    ~RunCommand()
    {
        // After a failure: SIGTERM as a person would send it, and the
        // server (in a session of its own, out of the group's reach) and
        // the database stopped in any case.
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            if (!WaitUntil([&] { return !Running(); }, 60000)) {
                kill(-pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
            }
        }
        if (dir_.empty())
            return;
        for (pid_t server : ProcessesIn(dir_ + "/run"))
            kill(server, SIGKILL);
        std::string stop = "bash '" + testenv::SourceDir() + "/scripts/mariadb.sh' stop '" +
                           DatabaseDir() + "'";
        if (std::system(stop.c_str()) != 0)
            ADD_FAILURE() << stop;
        close(master_);
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    // Starts the script and waits (bounded) until the server is ready. A
    // port that another test took before the server bound it (exit status
    // 4 or 5) means another try on other ports.
    bool Start()
    {
        for (int attempt = 1; attempt <= 3 && !dir_.empty(); attempt++) {
            Spawn();
            if (!WaitUntil([&] { return !Running() || LogText().find(kReady) != std::string::npos; }, 120000))
                return false;
            if (Running())
                return true;
            if (status_ != 4 && status_ != 5)
                return false;
            close(master_);
        }
        return false;
    }

    void Type(const char* keys) { ASSERT_GT(write(master_, keys, strlen(keys)), 0); }

    // The script's exit status, or -1 when it did not end in time.
    int WaitExit() { return WaitUntil([&] { return !Running(); }, 60000) ? status_ : -1; }

    std::string LogText() const { return ReadFileText(dir_ + "/run/Logs/LsSysLog.txt"); }
    std::string DatabaseDir() const { return dir_ + "/rundb"; }
    const std::string& Terminal() const { return terminal_; }

private:
    void Spawn()
    {
        std::vector<std::string> args = {"env",
                                         "LS_RUN_BIN=" + testenv::ServerBinary(),
                                         "LS_RUN_DIR=" + dir_ + "/run",
                                         "LS_RUN_DB_DIR=" + DatabaseDir(),
                                         "LS_RUN_PORT=" + std::to_string(FreeTcpPort()),
                                         "LS_RUN_ICPORT=" + std::to_string(FreeTcpPort()),
                                         "bash",
                                         testenv::SourceDir() + "/scripts/run.sh"};
        std::vector<char*> argv;
        for (std::string& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
        if (pid_ == 0) {
            execvp("env", argv.data());
            _exit(127);
        }
        fcntl(master_, F_SETFL, O_NONBLOCK);
    }

    // Reads what the terminal shows, and reaps the script once it has
    // ended; true while it runs.
    bool Running()
    {
        char buffer[4096];
        ssize_t n;
        while ((n = read(master_, buffer, sizeof buffer)) > 0)
            terminal_.append(buffer, size_t(n));
        int status = 0;
        if (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        return pid_ > 0;
    }

    std::string dir_;
    pid_t pid_ = -1;
    int master_ = -1;     // the terminal's master side
    int status_ = -1;     // the script's exit status, once it has ended
    std::string terminal_;
};

TEST(RunCommandTest, OneCtrlCTearsTheServerDownThenStopsTheDatabase)
{
    RunCommand run;
    ASSERT_TRUE(run.Start()) << run.Terminal();
    pid_t database = pid_t(std::stol(EnvValue(ReadFileText(run.DatabaseDir() + "/env"), "LS_DB_PID")));

    run.Type("\x03");   // the terminal sends SIGINT to its foreground process group
    EXPECT_EQ(0, run.WaitExit()) << run.Terminal();
    EXPECT_TRUE(run.LogText().ends_with(std::string(kReady) + kLoginDown + kInternalDown + kNetworkDown))
        << run.LogText();
    EXPECT_TRUE(ProcessGone(database));
}

} // namespace
