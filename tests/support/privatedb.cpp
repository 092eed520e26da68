#include "privatedb.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "filetext.h"
#include "procstat.h"
#include "waituntil.h"

namespace fs = std::filesystem;

namespace {

const int kStopTimeoutMs = 60000;
const int kAnswerTimeoutMs = 60000;

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

} // namespace

PrivateMariaDb::PrivateMariaDb(const std::string& sourceDir)
{
    char pattern[] = "/tmp/lsprivatedb.XXXXXX";
    stateDir_ = mkdtemp(pattern) ? pattern : "";
    // The script's own lines go to stderr, where a failure shows them.
    std::string command = "bash '" + sourceDir + "/scripts/mariadb.sh' start '" + stateDir_ + "' '" + sourceDir +
                          "/db/schema.sql' >&2";
    if (stateDir_.empty() || std::system(command.c_str()) != 0 ||
        !ReadDatabaseEnv(stateDir_ + "/env", &settings_)) {
        failure_ = "mariadb.sh start failed (its lines are on stderr)";
        return;
    }
    std::string env = ReadFileText(stateDir_ + "/env");
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
    std::string error;
    return SqlConnect(settings_, settings_.name, true, &error);
}

bool PrivateMariaDb::WaitGone(int timeoutMs)
{
    return WaitUntil([this] {
        if (ownChild_)
            return waitpid(pid_, nullptr, WNOHANG) == pid_;
        return ProcessGone(pid_);
    }, timeoutMs);
}

bool PrivateMariaDb::Stop(int signal)
{
    if (pid_ <= 0)
        return true;
    kill(pid_, signal);
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
        std::vector<SqlRow> rows;
        std::string error;
        bool ours = QueryRows(connection, "SELECT @@socket", &rows, &error) && rows.size() == 1 &&
                    rows[0].size() == 1 && rows[0][0] == socketPath;
        mysql_close(connection);
        return ours;
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
