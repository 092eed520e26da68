#pragma once

#include <string>

// Reads a whole file; empty when it cannot be read.
std::string ReadFileText(const std::string& path);
