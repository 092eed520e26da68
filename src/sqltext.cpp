#include "sqltext.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>

#include "utility.h"

std::string FormatText(const char* format, ...)
{
    va_list args, copy;
    va_start(args, format);
    va_copy(copy, args);
    int length = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(length > 0 ? size_t(length) : 0, '\0');
    vsnprintf(text.data(), text.size() + 1, format, args);   // its NUL lands on the string's own
    va_end(args);
    return text;
}

std::string HexText(const void* bytes, size_t count)
{
    std::string text(2 * count + 3, '\0');
    BytesToHexString(bytes, int32_t(count), text.data());
    text.resize(2 + 2 * count);
    return text;
}
