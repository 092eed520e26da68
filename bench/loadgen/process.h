#pragma once

// Processes as the benchmark measures them: this one's descriptor limit,
// raised so that it (and the server it starts) can hold thousands of
// connections, and a process's CPU time.

#include <sys/resource.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "filetext.h"

namespace loadgen {

// Raises the soft descriptor limit of this process to its hard limit; a
// server started afterwards inherits it.
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
    std::string stat = ReadFileText("/proc/" + std::to_string(pid) + "/stat");
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

} // namespace loadgen
