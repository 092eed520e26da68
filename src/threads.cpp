#include "threads.h"

#include <atomic>
#include <cerrno>
#include <ctime>
#include <new>
#include <pthread.h>

struct ThreadRecord {
    pthread_t id;
    std::atomic<DWORD> exitCode{STILL_ACTIVE};   // published last, with release
    ThreadProc start;
    void* parameter;
};

namespace {

thread_local DWORD lastError = 0;
std::atomic<int> creationsToFail{0};

// Thrown by ExitThread, caught only by the trampoline below.
struct ThreadExit {
    DWORD exitCode;
};

void* Trampoline(void* argument)
{
    ThreadRecord* record = static_cast<ThreadRecord*>(argument);
    DWORD exitCode;
    try {
        exitCode = record->start(record->parameter);
    } catch (const ThreadExit& exit) {
        exitCode = exit.exitCode;
    }
    record->exitCode.store(exitCode, std::memory_order_release);
    return nullptr;
}

bool TakeInjectedFailure()
{
    int count = creationsToFail.load();
    while (count > 0) {
        if (creationsToFail.compare_exchange_weak(count, count - 1))
            return true;
    }
    return false;
}

} // namespace

HANDLE CreateThread(size_t stackSize, ThreadProc start, void* parameter)
{
    if (!start) {
        lastError = EINVAL;
        return nullptr;
    }
    if (TakeInjectedFailure()) {
        lastError = EAGAIN;
        return nullptr;
    }
    ThreadRecord* record = new (std::nothrow) ThreadRecord;
    if (!record) {
        lastError = ENOMEM;
        return nullptr;
    }
    record->start = start;
    record->parameter = parameter;

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    int error = stackSize ? pthread_attr_setstacksize(&attributes, stackSize) : 0;
    if (error == 0)
        error = pthread_create(&record->id, &attributes, Trampoline, record);
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        delete record;
        lastError = static_cast<DWORD>(error);
        return nullptr;
    }
    return record;
}

BOOL GetExitCodeThread(HANDLE thread, DWORD* exitCode)
{
    if (!thread || !exitCode) {
        lastError = EINVAL;
        return 0;
    }
    *exitCode = thread->exitCode.load(std::memory_order_acquire);
    return 1;
}

void ExitThread(DWORD exitCode)
{
    throw ThreadExit{exitCode};
}

BOOL CloseHandle(HANDLE thread)
{
    if (!thread) {
        lastError = EINVAL;
        return 0;
    }
    pthread_join(thread->id, nullptr);
    delete thread;
    return 1;
}

DWORD GetLastError()
{
    return lastError;
}

void Sleep(DWORD milliseconds)
{
    timespec pause{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

void FailThreadCreationsForTest(int count)
{
    creationsToFail.store(count);
}
