#pragma once

#include <sys/resource.h>

namespace loadgen {

// Raises the soft descriptor limit of this process to its hard limit and
// returns it, so that it (and a server it starts afterwards, which inherits
// it) can hold thousands of connections.
inline rlim_t RaiseDescriptorLimit()
{
    rlimit limit;
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    getrlimit(RLIMIT_NOFILE, &limit);
    return limit.rlim_cur;
}

} // namespace loadgen
