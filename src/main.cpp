// The login server: start-up, the main loop until SIGINT or SIGTERM, teardown.
// Runs in its installation directory (Config/, Data/, Logs/).

#include <cstdio>

#include <malloc.h>

#include "server.h"

int main()
{
    // Block-buffered: the run loop flushes the console once per pass, and
    // the system log flushes its own lines, so traces appear in time without
    // a write per line. Whatever remains goes out at exit.
    setvbuf(stdout, nullptr, _IOFBF, 64 * 1024);
    // Result sets are allocated by the database workers and freed by the
    // main thread. With the allocator's default threshold nearly every such
    // free hands a worker arena's free top back to the system, and each
    // hand-back stops every core for a TLB flush; under load that was a
    // fifth of the main thread's time. Memory is returned past 32 MiB.
    mallopt(M_TRIM_THRESHOLD, 32 * 1024 * 1024);
    InstallSignalHandlers();

    int result = server.Init();
    if (result != 0) {
        // The failed step has logged its line; the exit status is the step's code.
        server.Shutdown();
        return -result;
    }
    server.Run();
    server.Shutdown();
    return 0;
}
