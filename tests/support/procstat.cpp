#include "procstat.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "filetext.h"

long ResidentKb(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

double CpuSeconds(pid_t pid)
{
    std::string text = ReadFileText("/proc/" + std::to_string(pid) + "/stat");
    // The fields after the command name, which is in parentheses and may
    // hold spaces: state is the first, utime and stime the 12th and 13th.
    size_t close = text.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream fields(text.substr(close + 1));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 1; i <= 13 && fields >> field; i++) {
        if (i == 12)
            utime = std::stoull(field);
        if (i == 13)
            stime = std::stoull(field);
    }
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

bool ProcessGone(pid_t pid)
{
    std::string status = ReadFileText("/proc/" + std::to_string(pid) + "/stat");
    if (status.empty())
        return true;
    size_t close = status.rfind(')');
    return close != std::string::npos && close + 2 < status.size() && status[close + 2] == 'Z';
}

std::vector<pid_t> ProcessesIn(const std::string& dir)
{
    std::vector<pid_t> pids;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
        pid_t pid = std::atoi(entry.path().filename().c_str());
        if (pid > 0 && std::filesystem::read_symlink(entry.path() / "cwd", error) == dir)
            pids.push_back(pid);
    }
    return pids;
}
