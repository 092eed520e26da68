#pragma once

// Our own small thread layer: the few thread calls the server uses, over
// pthreads (threads.cpp). Nothing above it knows about pthreads.
//
// A thread's exit code reads STILL_ACTIVE until its start routine returns
// (or calls ExitThread); the code is published with release ordering and
// read with acquire, so whatever the thread wrote before it ended is visible
// to the thread that sees the code. CloseHandle waits for the thread to end
// and frees the handle. Failures are return values, never exceptions.

#include <cstddef>
#include <cstdint>

typedef uint32_t DWORD;
typedef int32_t BOOL;
struct ThreadRecord;
typedef ThreadRecord* HANDLE;

// A thread's start routine; its return value is the thread's exit code.
typedef DWORD (*ThreadProc)(void* parameter);

constexpr DWORD STILL_ACTIVE = 259;

// Starts a thread running start(parameter) at once. stackSize 0 takes the
// system's default. Returns null when the thread cannot be created; the
// reason is then in GetLastError().
HANDLE CreateThread(size_t stackSize, ThreadProc start, void* parameter);

// Stores the thread's exit code, STILL_ACTIVE while it runs. Returns 0 (with
// GetLastError() set) for a null handle.
BOOL GetExitCodeThread(HANDLE thread, DWORD* exitCode);

// Ends the calling thread, which must have been started by CreateThread, with
// the given exit code. C++ frames on the way are unwound.
[[noreturn]] void ExitThread(DWORD exitCode);

// Waits until the thread has ended, then releases it. The handle is invalid
// afterwards. Returns 0 for a null handle.
BOOL CloseHandle(HANDLE thread);

// The error number of the calling thread's last failed call of this layer.
DWORD GetLastError();

// Pauses the calling thread for the given number of milliseconds.
void Sleep(DWORD milliseconds);

// Tests only: the next `count` calls of CreateThread fail as if the system
// had no threads left (GetLastError() gives EAGAIN).
void FailThreadCreationsForTest(int count);
