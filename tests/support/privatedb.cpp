#include "privatedb.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "abusekit.h"
#include "testenv.h"

namespace abuse {

namespace fs = std::filesystem;

namespace {

const int kStopTimeoutMs = 60000;
const int kAnswerTimeoutMs = 60000;

std::string EnvValue(const std::string& text, const std::string& key)
{
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line))
        if (line.rfind(key + "=", 0) == 0)
            return line.substr(key.size() + 1);
    return "";
}

std::vector<std::string> CommandLine(pid_t pid)
{
    std::string raw = ReadFileText("/proc/" + std::to_string(pid) + "/cmdline");
    std::vector<std::string> parts;
    std::string part;
    for (char c : raw) {
        if (c == '\0') {
            parts.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    return parts;
}

// Gone, or a zombie that its parent has not reaped yet.
bool ProcessGone(pid_t pid)
{
    std::string status = ReadFileText("/proc/" + std::to_string(pid) + "/stat");
    if (status.empty())
        return true;
    size_t close = status.rfind(')');
    return close != std::string::npos && close + 2 < status.size() && status[close + 2] == 'Z';
}

} // namespace

PrivateMariaDb::PrivateMariaDb()
{
    char pattern[] = "/tmp/lsabusedb.XXXXXX";
    stateDir_ = mkdtemp(pattern) ? pattern : "";
    std::string command = "bash " + testenv::SourceDir() + "/scripts/mariadb.sh start " + stateDir_ +
                          " " + testenv::SourceDir() + "/db/schema.sql >" + stateDir_ +
                          "/start.log 2>&1";
    if (stateDir_.empty() || std::system(command.c_str()) != 0) {
        failure_ = "mariadb.sh start failed: " + ReadFileText(stateDir_ + "/start.log");
        return;
    }
    std::string env = ReadFileText(stateDir_ + "/env");
    settings_.host = EnvValue(env, "LS_DB_HOST");
    settings_.port = uint16_t(std::stoul(EnvValue(env, "LS_DB_PORT")));
    settings_.user = EnvValue(env, "LS_DB_USER");
    settings_.password = EnvValue(env, "LS_DB_PASS");
    settings_.name = EnvValue(env, "LS_DB_NAME");
    dataDir_ = EnvValue(env, "LS_DB_DATA");
    pid_ = pid_t(std::stol(EnvValue(env, "LS_DB_PID")));
    command_ = CommandLine(pid_);
    if (command_.empty()) {
        failure_ = "cannot read the command line of mariadbd";
        pid_ = -1;
    }
}

PrivateMariaDb::~PrivateMariaDb()
{
    Stop();
    std::error_code ignored;
    if (!dataDir_.empty())
        fs::remove_all(dataDir_, ignored);
    if (!stateDir_.empty())
        fs::remove_all(stateDir_, ignored);
}

MYSQL* PrivateMariaDb::Connect() const
{
    MYSQL* connection = mysql_init(nullptr);
    unsigned int timeout = 5;
    mysql_options(connection, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
    if (!mysql_real_connect(connection, settings_.host.c_str(), settings_.user.c_str(),
                            settings_.password.c_str(), settings_.name.c_str(), settings_.port, nullptr,
                            CLIENT_MULTI_STATEMENTS)) {
        mysql_close(connection);
        return nullptr;
    }
    return connection;
}

bool PrivateMariaDb::WaitGone(int timeoutMs)
{
    return WaitUntil([this] {
        if (ownChild_)
            return waitpid(pid_, nullptr, WNOHANG) == pid_;
        return ProcessGone(pid_);
    }, timeoutMs);
}

bool PrivateMariaDb::Stop()
{
    if (pid_ <= 0)
        return true;
    kill(pid_, SIGTERM);
    bool gone = WaitGone(kStopTimeoutMs);
    if (!gone) {
        kill(pid_, SIGKILL);
        WaitGone(kStopTimeoutMs);
    }
    pid_ = -1;
    ownChild_ = false;
    return gone;
}

bool PrivateMariaDb::WaitAnswering()
{
    // Only our own server counts: check its socket path, as mariadb.sh does.
    std::string socketPath = fs::path(dataDir_).string() + "/mysqld.sock";
    return WaitUntil([this, &socketPath] {
        if (ownChild_ && waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return true;   // it died; reported below
        }
        MYSQL* connection = Connect();
        if (!connection)
            return false;
        std::vector<std::string> rows = TableRows(connection, "SELECT @@socket");
        mysql_close(connection);
        std::vector<uint8_t> expected(socketPath.begin(), socketPath.end());
        return rows.size() == 1 && rows[0] == SqlHex(expected);
    }, kAnswerTimeoutMs) && pid_ > 0;
}

bool PrivateMariaDb::Restart()
{
    failure_.clear();
    if (command_.empty() || !Stop())
        return false;
    pid_t child = fork();
    if (child == 0) {
        setsid();
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        std::vector<char*> argv;
        for (std::string& part : command_)
            argv.push_back(part.data());
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    if (child < 0)
        return false;
    pid_ = child;
    ownChild_ = true;
    if (!WaitAnswering()) {
        failure_ = "mariadbd did not answer after the restart";
        return false;
    }
    return true;
}

} // namespace abuse
