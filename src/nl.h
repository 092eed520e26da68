#pragma once

// Our own small socket layer: the calls of the network library that the
// server uses, over POSIX sockets (nl.cpp) and pthread mutexes (nlmutex.cpp).
//
// Everything is non-blocking. Socket and group handles are small integers
// from counters of their own: they are never file descriptors and are never
// handed out twice in one run, so a stale handle can never reach somebody
// else's connection. The layer's state is created by nlInit and outlives
// static destruction, so the server's teardown may still call it. Only the
// main thread calls the socket calls; there is no lock.

#include <cstdint>

typedef int32_t NLsocket;   // a socket handle; NL_INVALID when none
typedef int32_t NLint;
typedef uint32_t NLenum;
typedef uint16_t NLushort;
typedef uint8_t NLboolean;

#define NL_INVALID (-1)
#define NL_FALSE static_cast<NLboolean>(0)
#define NL_TRUE static_cast<NLboolean>(1)

// Network types, connection types and poll kinds.
#define NL_IP 0x0003
#define NL_RELIABLE 0x0010
#define NL_READ_STATUS 0x0050
#define NL_WRITE_STATUS 0x0051

// Error codes (nlGetError).
#define NL_NO_ERROR 0x0000
#define NL_NO_NETWORK 0x0100
#define NL_OUT_OF_MEMORY 0x0101
#define NL_INVALID_ENUM 0x0102
#define NL_INVALID_SOCKET 0x0103
#define NL_SYSTEM_ERROR 0x0106
#define NL_SOCK_DISCONNECT 0x0107
#define NL_NOT_LISTEN 0x0108
#define NL_NO_PENDING 0x010a
#define NL_BAD_ADDR 0x010b
#define NL_MESSAGE_END 0x010c
#define NL_NULL_POINTER 0x010d
#define NL_INVALID_GROUP 0x010e
#define NL_SELECT_NET_ERROR 0x0115
#define NL_SOCKET_NOT_FOUND 0x0119

// An IPv4 address and port, filled whole by the calls that write one.
struct NLaddress {
    uint32_t host;     // network byte order
    uint16_t port;     // host byte order
    NLboolean valid;
};

// Start-up and shutdown of the layer.
NLboolean nlInit(void);
NLboolean nlSelectNetwork(NLenum network);
void nlShutdown(void);

// Addresses: numeric "a.b.c.d" with an optional ":port"; no name lookups.
NLboolean nlStringToAddr(const char* string, NLaddress* address);
NLboolean nlSetLocalAddr(const NLaddress* address);

// Sockets.
NLsocket nlOpen(NLushort port, NLenum type);
NLboolean nlListen(NLsocket socket);
// Accept: the new connection, or NL_INVALID: NL_NO_PENDING when none is
// waiting, NL_OUT_OF_MEMORY when the system has no descriptor or memory for
// it (it stays waiting).
NLsocket nlAcceptConnection(NLsocket socket);
NLboolean nlClose(NLsocket socket);
// Read: bytes read; 0 when nothing is waiting; NL_INVALID when the peer
// closed (NL_MESSAGE_END) or reset (NL_SOCK_DISCONNECT) or on error.
NLint nlRead(NLsocket socket, void* buffer, NLint nbytes);
// Write: bytes written, possibly fewer than asked; 0 when the socket is full;
// NL_INVALID on error. Never blocks, never raises SIGPIPE.
NLint nlWrite(NLsocket socket, const void* buffer, NLint nbytes);
// The port a socket is bound to (0 when unknown); lets tests listen on port 0.
NLushort nlGetLocalPort(NLsocket socket);

// Groups of sockets, polled without waiting when the time-out is 0.
NLint nlGroupCreate(void);
NLboolean nlGroupDestroy(NLint group);
NLboolean nlGroupAddSocket(NLint group, NLsocket socket);
NLboolean nlGroupDeleteSocket(NLint group, NLsocket socket);
// Writes up to number ready members into sockets, in the order they were
// added, and returns how many. NL_READ_STATUS: data waiting, or the peer
// closed or reset (its read then fails). NL_WRITE_STATUS: room to write.
// A read poll costs the active members only; a write poll visits them all.
NLint nlPollGroup(NLint group, NLenum name, NLsocket* sockets, NLint number, NLint timeout);

// Errors of the calling thread.
NLenum nlGetError(void);
const char* nlGetErrorStr(NLenum error);

// Mutexes (nlmutex.cpp), used by the database layer around each connection.
struct NLmutexRecord;
typedef NLmutexRecord* NLmutex;

NLboolean nlMutexInit(NLmutex* mutex);
NLboolean nlMutexLock(NLmutex* mutex);
NLboolean nlMutexUnlock(NLmutex* mutex);
NLboolean nlMutexDestroy(NLmutex* mutex);
