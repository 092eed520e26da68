#pragma once

// Statement texts are built only as std::string: the database layer takes
// a text's length from its size, so no text can outgrow what was written.

#include <cstddef>
#include <string>

// printf-style formatting into a string of exactly the formatted length.
std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

// "0x" and two lower-case hex digits per byte: how client bytes reach SQL.
std::string HexText(const void* bytes, size_t count);
