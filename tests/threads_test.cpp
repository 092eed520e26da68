// The thread layer and the socket layer's mutexes.

#include <atomic>
#include <cerrno>

#include <gtest/gtest.h>

#include "nl.h"
#include "threads.h"

namespace {

struct Gate {
    std::atomic<bool> open{false};
    std::atomic<bool> entered{false};
    int written = 0;
};

DWORD WaitAtGate(void* parameter)
{
    Gate* gate = static_cast<Gate*>(parameter);
    gate->entered = true;
    while (!gate->open)
        Sleep(1);
    gate->written = 1234;
    return 7;
}

struct Unwound {
    bool* flag;
    ~Unwound() { *flag = true; }
};

DWORD EndEarly(void* parameter)
{
    Unwound guard{static_cast<bool*>(parameter)};
    ExitThread(0xFFFFFFFFu);
}

TEST(Threads, ExitCodeIsStillActiveUntilTheThreadReturns)
{
    Gate gate;
    HANDLE thread = CreateThread(0, WaitAtGate, &gate);
    ASSERT_NE(thread, nullptr);
    while (!gate.entered)
        Sleep(1);
    DWORD code = 0;
    ASSERT_EQ(GetExitCodeThread(thread, &code), 1);
    EXPECT_EQ(code, STILL_ACTIVE);

    gate.open = true;
    do {
        ASSERT_EQ(GetExitCodeThread(thread, &code), 1);
    } while (code == STILL_ACTIVE);
    EXPECT_EQ(code, 7u);
    EXPECT_EQ(gate.written, 1234);   // visible once the code is
    EXPECT_EQ(CloseHandle(thread), 1);
}

TEST(Threads, ExitThreadEndsWithItsCodeAndUnwinds)
{
    bool unwound = false;
    HANDLE thread = CreateThread(256 * 1024, EndEarly, &unwound);
    ASSERT_NE(thread, nullptr);
    DWORD code = STILL_ACTIVE;
    while (code == STILL_ACTIVE)
        ASSERT_EQ(GetExitCodeThread(thread, &code), 1);
    EXPECT_EQ(code, 0xFFFFFFFFu);
    EXPECT_TRUE(unwound);
    EXPECT_EQ(CloseHandle(thread), 1);
}

TEST(Threads, CloseHandleWaitsForTheThread)
{
    Gate gate;
    gate.open = true;
    HANDLE thread = CreateThread(0, WaitAtGate, &gate);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(CloseHandle(thread), 1);
    EXPECT_EQ(gate.written, 1234);
}

TEST(Threads, FailuresAreReturnedNotThrown)
{
    FailThreadCreationsForTest(1);
    Gate gate;
    gate.open = true;
    EXPECT_EQ(CreateThread(0, WaitAtGate, &gate), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(EAGAIN));

    HANDLE thread = CreateThread(0, WaitAtGate, &gate);   // only one was to fail
    ASSERT_NE(thread, nullptr);
    CloseHandle(thread);

    EXPECT_EQ(CreateThread(0, nullptr, nullptr), nullptr);
    EXPECT_EQ(CreateThread(size_t(1) << 62, WaitAtGate, &gate), nullptr);   // no such stack
    DWORD code = 0;
    EXPECT_EQ(GetExitCodeThread(nullptr, &code), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(EINVAL));
    EXPECT_EQ(CloseHandle(nullptr), 0);
}

struct Counter {
    NLmutex mutex = nullptr;
    int value = 0;
};

DWORD CountUnderMutex(void* parameter)
{
    Counter* counter = static_cast<Counter*>(parameter);
    for (int i = 0; i < 20000; ++i) {
        nlMutexLock(&counter->mutex);
        ++counter->value;
        nlMutexUnlock(&counter->mutex);
    }
    return 0;
}

TEST(NlMutex, SerialisesThreads)
{
    Counter counter;
    ASSERT_EQ(nlMutexInit(&counter.mutex), NL_TRUE);
    HANDLE threads[4];
    for (HANDLE& thread : threads)
        ASSERT_NE(thread = CreateThread(0, CountUnderMutex, &counter), nullptr);
    for (HANDLE thread : threads)
        CloseHandle(thread);
    EXPECT_EQ(counter.value, 80000);
    EXPECT_EQ(nlMutexDestroy(&counter.mutex), NL_TRUE);
    EXPECT_EQ(counter.mutex, nullptr);
}

TEST(NlMutex, RejectsMissingMutexes)
{
    NLmutex none = nullptr;
    EXPECT_EQ(nlMutexInit(nullptr), NL_FALSE);
    EXPECT_EQ(nlMutexLock(&none), NL_FALSE);
    EXPECT_EQ(nlMutexUnlock(nullptr), NL_FALSE);
    EXPECT_EQ(nlMutexDestroy(&none), NL_FALSE);
}

} // namespace
