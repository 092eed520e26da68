#include "serverprocess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "testdb.h"
#include "testenv.h"

namespace fs = std::filesystem;

// Bounds of the waits; generous, for the sanitizer build on a busy machine.
static const int kReadyTimeoutMs = 30000;
static const int kExitTimeoutMs = 30000;

uint16_t FreeTcpPort()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    uint16_t port = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0)
        close(fd);
    return port;
}

std::string ReadFileText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The keys of a configuration file in order (comments and blank lines left out).
static std::vector<std::pair<std::string, std::string>> ReadConfigKeys(const std::string& path)
{
    std::vector<std::pair<std::string, std::string>> keys;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#' || line[0] == '[' || line.find('=') == std::string::npos)
            continue;
        size_t equals = line.find('=');
        keys.emplace_back(line.substr(0, equals), line.substr(equals + 1));
    }
    return keys;
}

DatabaseSettings TestServerDatabase()
{
    // The database that scripts/mariadb.sh creates with the server.
    std::string name;
    std::ifstream in(testenv::TestDbDir() + "/env");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("LS_DB_NAME=", 0) == 0)
            name = line.substr(strlen("LS_DB_NAME="));
    const TestDbServer& testServer = TestServer();
    DatabaseSettings database;
    database.host = testServer.host;
    database.port = testServer.port;
    database.name = name;
    database.user = testServer.user;
    database.password = testServer.password;
    return database;
}

ServerProcess::ServerProcess()
{
    char pattern[] = "/tmp/lsinstall.XXXXXX";
    dir_ = mkdtemp(pattern) ? pattern : "";
    fs::copy(testenv::SourceDir() + "/install", dir_, fs::copy_options::recursive);
    outputPath_ = dir_ + "/console.txt";
    config_ = ReadConfigKeys(dir_ + "/Config/LsConfig.ini");
    SetConfig("IPAddress", "127.0.0.1");
    ChooseFreePorts();
}

void ServerProcess::ChooseFreePorts()
{
    loginPort_ = FreeTcpPort();
    do {
        internalPort_ = FreeTcpPort();
    } while (internalPort_ == loginPort_);
    SetConfig("Port", std::to_string(loginPort_));
    SetConfig("ICPort", std::to_string(internalPort_));
}

ServerProcess::~ServerProcess()
{
    if (pid_ > 0 && Stop() < 0 && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    std::error_code ignored;
    if (!dir_.empty())
        fs::remove_all(dir_, ignored);
}

void ServerProcess::UseDatabase(const DatabaseSettings& database)
{
    SetConfig("DatabaseIP", database.host);
    SetConfig("DatabasePort", std::to_string(database.port));
    SetConfig("DatabaseName", database.name);
    SetConfig("DatabaseUser", database.user);
    SetConfig("DatabasePass", database.password);
}

void ServerProcess::UseDatabase(const FreshDatabase& database)
{
    const TestDbServer& testServer = TestServer();
    DatabaseSettings settings;
    settings.host = testServer.host;
    settings.port = testServer.port;
    settings.name = database.Name();
    settings.user = testServer.user;
    settings.password = testServer.password;
    UseDatabase(settings);
}

void ServerProcess::SetConfig(const std::string& key, const std::string& value)
{
    for (auto& entry : config_) {
        if (strcasecmp(entry.first.c_str(), key.c_str()) == 0) {
            entry.second = value;
            return;
        }
    }
    config_.emplace_back(key, value);
}

void ServerProcess::RemoveConfig(const std::string& key)
{
    for (auto it = config_.begin(); it != config_.end(); ++it) {
        if (strcasecmp(it->first.c_str(), key.c_str()) == 0) {
            config_.erase(it);
            return;
        }
    }
}

void ServerProcess::RemoveInstallFile(const std::string& relativePath)
{
    fs::remove(dir_ + "/" + relativePath);
    if (relativePath == "Config/LsConfig.ini")
        writeConfig_ = false;
}

void ServerProcess::WriteConfig()
{
    std::ofstream out(dir_ + "/Config/LsConfig.ini", std::ios::trunc);
    for (const auto& entry : config_)
        out << entry.first << '=' << entry.second << '\n';
}

bool ServerProcess::Spawn()
{
    if (writeConfig_)
        WriteConfig();
    std::string binary = testenv::ServerBinary();
    pid_ = fork();
    if (pid_ == 0) {
        int output = open(outputPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int input = open("/dev/null", O_RDONLY);
        if (chdir(dir_.c_str()) != 0 || output < 0 || input < 0)
            _exit(126);
        dup2(input, 0);
        dup2(output, 1);
        dup2(output, 2);
        execl(binary.c_str(), binary.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    if (pid_ < 0) {
        failure_ = "fork failed";
        return false;
    }
    return true;
}

int ServerProcess::WaitExit(int timeoutMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (pid_ > 0) {
        int status = 0;
        pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (std::chrono::steady_clock::now() > deadline)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return -1;
}

bool ServerProcess::Start()
{
    return StartUntilLogged("[*] Server Ready for Connections");
}

bool ServerProcess::StartUntilLogged(const std::string& line)
{
    // A port that was free when chosen may be taken by a parallel test
    // before the server binds it (exit status 4 or 5): choose again.
    for (int attempt = 1;; attempt++) {
        int status = -1;
        if (StartOnce(line, &status))
            return true;
        if (attempt == 3 || (status != 4 && status != 5))
            return false;
        ChooseFreePorts();
    }
}

bool ServerProcess::StartOnce(const std::string& line, int* exitStatus)
{
    failure_.clear();
    if (!Spawn())
        return false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReadyTimeoutMs);
    while (LogText().find(line) == std::string::npos) {
        int status = WaitExit(0);
        if (status >= 0) {
            *exitStatus = status;
            failure_ = "the server exited with status " + std::to_string(status) +
                       " before it was ready.\nLog:\n" + LogText() + "\nConsole:\n" + ConsoleText();
            return false;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            failure_ = "the server did not log \"" + line + "\" in time.\nLog:\n" + LogText() + "\nConsole:\n" +
                       ConsoleText();
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

int ServerProcess::RunToExit()
{
    failure_.clear();
    if (!Spawn())
        return -1;
    return WaitExit(kExitTimeoutMs);
}

int ServerProcess::Stop()
{
    if (pid_ <= 0)
        return -1;
    kill(pid_, SIGTERM);
    return WaitExit(kExitTimeoutMs);
}

std::string ServerProcess::LogText() const
{
    return ReadFileText(dir_ + "/Logs/LsSysLog.txt");
}

std::string ServerProcess::ConsoleText() const
{
    return ReadFileText(outputPath_);
}

bool ServerProcess::WaitForConsole(const std::string& text, int timeoutMs) const
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (ConsoleText().find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}
