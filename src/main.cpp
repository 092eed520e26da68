// The login server: start-up, the main loop until SIGINT or SIGTERM, teardown.
// Runs in its installation directory (Config/, Data/, Logs/).

#include <cstdio>

#include "server.h"

int main()
{
    // Console lines are a running trace: show each one as it is written.
    setvbuf(stdout, nullptr, _IOLBF, 0);
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
