#pragma once

// The real server binary in a temporary copy of install/, with free ports
// and the benchmark's database written into its configuration, and a raised
// descriptor limit so it can hold thousands of connections.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <strings.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "sql.h"

namespace loadgen {

// A TCP port on 127.0.0.1 that was free a moment ago.
inline uint16_t FreeTcpPort()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    uint16_t port = 0;
    if (fd >= 0 && bind(fd, (sockaddr*)&address, sizeof address) == 0 &&
        getsockname(fd, (sockaddr*)&address, &length) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0)
        close(fd);
    return port;
}

// Raises the soft descriptor limit of this process to its hard limit.
inline rlim_t RaiseDescriptorLimit()
{
    rlimit limit;
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    getrlimit(RLIMIT_NOFILE, &limit);
    return limit.rlim_cur;
}

// User plus system CPU seconds of a process, all its threads together.
inline double ProcessCpuSeconds(pid_t pid)
{
    std::string stat = ReadWholeFile("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');   // the command name may hold spaces
    if (close == std::string::npos)
        return 0.0;
    // Fields after the name start at field 3; utime and stime are 14 and 15.
    unsigned long long utime = 0, stime = 0;
    if (sscanf(stat.c_str() + close + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime,
               &stime) != 2)
        return 0.0;
    return (double)(utime + stime) / (double)sysconf(_SC_CLK_TCK);
}

class ServerRun {
public:
    ServerRun(const std::string& sourceDir, const std::string& binary)
        : binary_(std::filesystem::absolute(binary).string())   // it runs in the installation directory
    {
        char pattern[] = "/tmp/lsbench.XXXXXX";
        dir_ = mkdtemp(pattern) ? pattern : "";
        std::filesystem::copy(sourceDir + "/install", dir_, std::filesystem::copy_options::recursive);
        ReadConfig();
        loginPort_ = FreeTcpPort();
        uint16_t internal;
        do {
            internal = FreeTcpPort();
        } while (internal == loginPort_);
        Set("IPAddress", "127.0.0.1");
        Set("Port", std::to_string(loginPort_));
        Set("ICPort", std::to_string(internal));
    }
    ~ServerRun()
    {
        Stop();
        std::error_code ignored;
        if (!dir_.empty())
            std::filesystem::remove_all(dir_, ignored);
    }
    ServerRun(const ServerRun&) = delete;
    ServerRun& operator=(const ServerRun&) = delete;

    const std::string& Dir() const { return dir_; }
    uint16_t LoginPort() const { return loginPort_; }
    pid_t Pid() const { return pid_; }
    std::string ConsolePath() const { return dir_ + "/console.txt"; }

    void UseDatabase(const DbServer& db)
    {
        Set("DatabaseIP", db.host);
        Set("DatabasePort", std::to_string(db.port));
        Set("DatabaseName", db.name);
        Set("DatabaseUser", db.user);
        Set("DatabasePass", db.password);
    }

    void Set(const std::string& key, const std::string& value)
    {
        for (auto& entry : config_)
            if (strcasecmp(entry.first.c_str(), key.c_str()) == 0) {
                entry.second = value;
                return;
            }
        config_.emplace_back(key, value);
    }

    std::string Get(const std::string& key) const
    {
        for (const auto& entry : config_)
            if (strcasecmp(entry.first.c_str(), key.c_str()) == 0)
                return entry.second;
        return "";
    }

    // Starts the server and waits (bounded) until its log says it is ready.
    bool Start()
    {
        WriteConfig();
        pid_ = fork();
        if (pid_ == 0)
            RunChild();
        if (pid_ < 0)
            return false;
        auto deadline = Clock::now() + std::chrono::seconds(30);
        while (ReadWholeFile(dir_ + "/Logs/LsSysLog.txt").find("[*] Server Ready for Connections") ==
               std::string::npos) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_ || Clock::now() > deadline) {
                fprintf(stderr, "the server did not start; its console:\n%s\n",
                        ReadWholeFile(ConsolePath()).c_str());
                pid_ = -1;
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }

    // SIGTERM and a bounded wait; SIGKILL when it will not go.
    void Stop()
    {
        if (pid_ <= 0)
            return;
        kill(pid_, SIGTERM);
        auto deadline = Clock::now() + std::chrono::seconds(20);
        while (waitpid(pid_, nullptr, WNOHANG) != pid_) {
            if (Clock::now() > deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        pid_ = -1;
    }

private:
    using Clock = std::chrono::steady_clock;

    // In the child: the installation is the working directory, the console
    // goes to a file, and the descriptor limit is raised to the hard limit
    // so that MaxPlayers connections fit.
    [[noreturn]] void RunChild()
    {
        RaiseDescriptorLimit();
        int output = open(ConsolePath().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int input = open("/dev/null", O_RDONLY);
        if (chdir(dir_.c_str()) != 0 || output < 0 || input < 0)
            _exit(126);
        dup2(input, 0);
        dup2(output, 1);
        dup2(output, 2);
        execl(binary_.c_str(), binary_.c_str(), (char*)nullptr);
        _exit(127);
    }

    void ReadConfig()
    {
        std::ifstream in(dir_ + "/Config/LsConfig.ini");
        std::string line;
        while (std::getline(in, line)) {
            size_t equals = line.find('=');
            if (line.empty() || line[0] == '#' || equals == std::string::npos)
                continue;
            config_.emplace_back(line.substr(0, equals), line.substr(equals + 1));
        }
    }

    void WriteConfig()
    {
        std::ofstream out(dir_ + "/Config/LsConfig.ini", std::ios::trunc);
        for (const auto& entry : config_)
            out << entry.first << '=' << entry.second << '\n';
    }

    std::string binary_;
    std::string dir_;
    uint16_t loginPort_ = 0;
    std::vector<std::pair<std::string, std::string>> config_;
    pid_t pid_ = -1;
};

} // namespace loadgen
