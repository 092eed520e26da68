#include "waituntil.h"

#include <chrono>
#include <thread>

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs, int pauseUs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(pauseUs));
    }
    return true;
}
