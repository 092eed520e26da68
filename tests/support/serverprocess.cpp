#include "serverprocess.h"

#include <fcntl.h>
#include <signal.h>
#include <strings.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace fs = std::filesystem;

// Bounds of the waits; generous, for the sanitizer build on a busy machine.
static const int kReadyTimeoutMs = 30000;
static const int kExitTimeoutMs = 30000;

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
    std::string path = testenv::TestDbDir() + "/env";
    DatabaseSettings database;
    if (!ReadDatabaseEnv(path, &database)) {
        fprintf(stderr, "no test database server described in %s\n", path.c_str());
        abort();
    }
    return database;
}

ServerProcess::ServerProcess(const std::string& sourceDir, const std::string& binary)
{
    std::error_code ignored;
    binary_ = fs::absolute(binary, ignored).string();   // it runs in the installation directory
    char pattern[] = "/tmp/lsinstall.XXXXXX";
    dir_ = mkdtemp(pattern) ? pattern : "";
    fs::copy(sourceDir + "/install", dir_, fs::copy_options::recursive);
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

std::string ServerProcess::ConfigValue(const std::string& key) const
{
    for (const auto& entry : config_)
        if (strcasecmp(entry.first.c_str(), key.c_str()) == 0)
            return entry.second;
    return "";
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
    pid_ = fork();
    if (pid_ == 0) {
        int output = open(outputPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int input = open("/dev/null", O_RDONLY);
        if (chdir(dir_.c_str()) != 0 || output < 0 || input < 0)
            _exit(126);
        dup2(input, 0);
        dup2(output, 1);
        dup2(output, 2);
        close(input);
        close(output);
        if (descriptorLimit_ > 0) {
            rlimit files = {};
            getrlimit(RLIMIT_NOFILE, &files);
            files.rlim_cur = rlim_t(descriptorLimit_);
            setrlimit(RLIMIT_NOFILE, &files);
        }
        execl(binary_.c_str(), binary_.c_str(), static_cast<char*>(nullptr));
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
