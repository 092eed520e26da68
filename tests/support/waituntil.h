#pragma once

#include <functional>

// Polls condition every few milliseconds until it holds or timeoutMs pass;
// false when the time ran out.
bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = 20000);
