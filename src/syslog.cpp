#include "syslog.h"

#include <cstdarg>

SysLog::~SysLog()
{
    Close();
}

int32_t SysLog::Open(const char* path)
{
    Close();   // a second Open must not leak the first file
    file = fopen(path, "w");
    return file ? 0 : -1;
}

void SysLog::Write(const char* format, ...)
{
    char text[9000];
    va_list args;
    va_start(args, format);
    // Bounded: a longer message is cut at 8999 bytes rather than overrun.
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);

    // Through "%s" so that a '%' inside an inserted value is never read as a
    // directive a second time.
    if (file) {
        fprintf(file, "%s", text);
        fflush(file);
    }
    printf("%s", text);
    fflush(stdout);
}

void SysLog::Close()
{
    if (file) {
        fclose(file);
        file = nullptr;
    }
}
