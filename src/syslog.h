#pragma once

// The system log: one text file, every message written to it and echoed on
// the console at once. Messages are written exactly as formatted; callers
// add their own prefixes and line breaks.

#include <cstdint>
#include <cstdio>

class SysLog {
public:
    SysLog() = default;
    ~SysLog();
    SysLog(const SysLog&) = delete;
    SysLog& operator=(const SysLog&) = delete;

    // Creates or empties the file. 0, or -1 when it cannot be opened.
    int32_t Open(const char* path);

    // Formats one message (at most 8999 bytes; longer ones are cut) and
    // writes it to the file and the console, flushing the file. Without a
    // file the message goes to the console only.
    void Write(const char* format, ...) __attribute__((format(printf, 2, 3)));

    void Close();

    FILE* file = nullptr;   // the open log file, or null
};
