#pragma once

// Plain sockets on 127.0.0.1 for tests and benchmarks.

#include <cstdint>

// A blocking client socket connected to 127.0.0.1:port, or -1. A narrow
// one has a small receive buffer and small segments, so the sender's side
// of the connection holds only some tens of KiB (its kernel sizes the send
// buffer by the segment size): what the peer leaves unread soon piles up in
// the sender's own queue.
int ConnectTo(uint16_t port, bool narrow = false);

// A non-blocking client socket whose connect to 127.0.0.1:port is under
// way (or done), or -1.
int StartConnectTo(uint16_t port);

// A TCP port on 127.0.0.1 that was free a moment ago.
uint16_t FreeTcpPort();

// Sends small writes at once (no Nagle delay), as a game client does.
void SetNoDelay(int fd);

// Closes with a reset instead of an orderly shutdown.
void ResetAndClose(int fd);
