#pragma once

// Idle connections: many clients that connect and then say nothing, held
// while the server's CPU use is measured.

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <thread>
#include <vector>

#include "clock.h"
#include "loopback.h"

namespace loadgen {

// Counts the server's "Client connected" console lines as they appear.
class AcceptCounter {
public:
    explicit AcceptCounter(const std::string& consolePath) : path_(consolePath) {}
    size_t Count()
    {
        FILE* file = fopen(path_.c_str(), "rb");
        if (!file)
            return count_;
        fseek(file, (long)offset_, SEEK_SET);
        char buffer[65536];
        size_t n;
        static const char kLine[] = "Client connected\n";
        while ((n = fread(buffer, 1, sizeof buffer, file)) > 0) {
            offset_ += n;
            partial_.append(buffer, n);
            size_t at, from = 0;
            while ((at = partial_.find(kLine, from)) != std::string::npos) {
                count_++;
                from = at + sizeof kLine - 1;
            }
            size_t keep = std::min(partial_.size(), sizeof kLine);   // a line cut at the read's end
            partial_ = partial_.substr(std::max(from, partial_.size() - keep));
        }
        fclose(file);
        return count_;
    }

private:
    std::string path_;
    size_t offset_ = 0;
    size_t count_ = 0;
    std::string partial_;
};

// Opens count connections, a batch at a time so the listen queue never
// overflows, and waits (bounded) until the server has accepted all of
// them. Returns the descriptors; fewer on failure.
inline std::vector<int> OpenIdleConnections(uint16_t port, size_t count, AcceptCounter& accepted)
{
    const size_t kAhead = 1000;   // connections waiting in the listen queue at most
    size_t base = accepted.Count();
    std::vector<int> fds;
    auto deadline = Clock::now() + std::chrono::seconds(30 + count / 200);
    while (Clock::now() < deadline) {
        size_t done = accepted.Count() - base;
        if (done >= count)
            break;
        while (fds.size() < count && fds.size() < done + kAhead) {
            int fd = StartConnectTo(port);
            if (fd < 0) {
                fprintf(stderr, "connect failed after %zu connections: %s\n", fds.size(), strerror(errno));
                return fds;
            }
            fds.push_back(fd);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (accepted.Count() - base < count)
        fprintf(stderr, "the server accepted %zu of %zu connections in time\n", accepted.Count() - base, count);
    return fds;
}

// Connections the server has closed (a read sees the end).
inline size_t CountClosed(const std::vector<int>& fds)
{
    size_t closed = 0;
    char byte;
    for (int fd : fds)
        if (recv(fd, &byte, 1, MSG_DONTWAIT) == 0)
            closed++;
    return closed;
}

} // namespace loadgen
