#pragma once

// Waiting for statements that the server sends without waiting for them.

#include <optional>
#include <string>

class FreshDatabase;

// Polls the first value of a query until it equals expected (nullopt: a
// NULL or no row); false when it does not within timeoutMs.
bool WaitForValue(FreshDatabase& db, const std::string& sql, const std::optional<std::string>& expected,
                  int timeoutMs = 10000);
