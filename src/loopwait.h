#pragma once

// The run loop's pause: waiting for work on the socket layer's groups and
// listeners, or for a wake raised by a worker thread. Not part of the
// socket layer's surface; it only reads the descriptors behind its handles.

#include "nl.h"

// Why nlWaitForInput returned: a mask of these, 0 when the time-out passed.
#define NL_WAKE_INPUT 0x1    // a group member or a listening socket has input
#define NL_WAKE_SIGNAL 0x2   // nlSignalWake was called since the last wait

// Waits at most timeout milliseconds until a member of one of the groups is
// readable (as a read poll would report it), one of the listening sockets
// has a connection waiting, or nlSignalWake is called. Returns the reasons,
// or NL_INVALID on error. The signal is consumed by the wait that reports it
// and a signal raised before the wait is not lost; the input is left where
// it is. NL_INVALID entries of listeners are skipped.
NLint nlWaitForInput(const NLint* groups, NLint groupCount, const NLsocket* listeners,
                     NLint listenerCount, NLint timeout);
// Ends the current or the next nlWaitForInput. Any thread may call it, also
// before nlInit and after nlShutdown.
void nlSignalWake(void);
