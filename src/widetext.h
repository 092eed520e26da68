#pragma once

// UTF-16LE text from the wire or the database as UTF-8 for console lines.

#include <cstdint>
#include <string>

// The units up to the first zero unit, or all maxUnits of them when there
// is none; never reads past 2 * maxUnits bytes.
std::string WideTextForConsole(const uint8_t* units, uint32_t maxUnits);
