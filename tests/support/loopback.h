#pragma once

// Plain sockets on 127.0.0.1 for tests and benchmarks.

#include <cstdint>

// A blocking client socket connected to 127.0.0.1:port, or -1. A receive
// buffer size above zero is set before connecting.
int ConnectTo(uint16_t port, int receiveBuffer = 0);

// A non-blocking client socket whose connect to 127.0.0.1:port is under
// way (or done), or -1.
int StartConnectTo(uint16_t port);

// A TCP port on 127.0.0.1 that was free a moment ago.
uint16_t FreeTcpPort();

// Sends small writes at once (no Nagle delay), as a game client does.
void SetNoDelay(int fd);

// Closes with a reset instead of an orderly shutdown.
void ResetAndClose(int fd);
