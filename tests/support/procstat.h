#pragma once

// What /proc tells of a running process (the server under test or load).

#include <sys/types.h>

#include <string>
#include <vector>

// Resident set size of a process in KiB (VmRSS of /proc/<pid>/status), or -1.
long ResidentKb(pid_t pid);

// CPU time a process has used so far, user and system, in seconds (of
// /proc/<pid>/stat), or -1.
double CpuSeconds(pid_t pid);

// Gone, or a zombie that its parent has not reaped yet.
bool ProcessGone(pid_t pid);

// The processes whose working directory is dir (an absolute path).
std::vector<pid_t> ProcessesIn(const std::string& dir);
