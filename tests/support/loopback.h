#pragma once

// Plain sockets on 127.0.0.1 for tests of the network layer. Nothing here
// depends on the test framework.

#include <cstdint>

// A blocking client socket connected to 127.0.0.1:port, or -1. A narrow
// one has a small receive buffer and small segments, so the sender's side
// of the connection holds only some tens of KiB (its kernel sizes the send
// buffer by the segment size): what the peer leaves unread soon piles up in
// the sender's own queue.
int ConnectTo(uint16_t port, bool narrow = false);

// Closes with a reset instead of an orderly shutdown.
void ResetAndClose(int fd);
