#pragma once

// What the loop's wait (loopwait.cpp) reads from inside the socket layer.

#include "nl.h"

// The epoll descriptor of a group; -1 for an unknown handle. It reads as
// ready while a member is.
int nlGroupDescriptor(NLint group);
// The descriptor of a listening socket; -1 for an unknown or idle handle.
int nlListenerDescriptor(NLsocket socket);
// Sets the calling thread's error, as a failing call of the layer does.
void nlSetError(NLenum error);
