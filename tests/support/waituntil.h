#pragma once

#include <functional>

// Tries condition every pauseUs microseconds until it holds or timeoutMs
// pass; false when the time ran out. A condition may drive what it waits
// for (a poll, a pump) before it looks.
bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = 20000, int pauseUs = 5000);
