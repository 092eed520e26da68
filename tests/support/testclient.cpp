#include "testclient.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>

#include <gtest/gtest.h>

#include "loopback.h"

TestClient::TestClient(const std::string& installDir) : OpcodeTable(installDir) {}

TestClient::~TestClient()
{
    Close();
}

bool TestClient::Connect(uint16_t port, bool narrow)
{
    Close();
    fd_ = ConnectTo(port, narrow);
    if (fd_ < 0)
        return false;
    SetNoDelay(fd_);
    return true;
}

void TestClient::Close()
{
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
}

void TestClient::Unknown(const std::string& name) const
{
    ADD_FAILURE() << "no message number for " << name;
}

bool TestClient::SendRaw(const std::vector<uint8_t>& bytes)
{
    size_t sent = 0;
    while (fd_ >= 0 && sent < bytes.size()) {
        ssize_t n = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += size_t(n);
    }
    return fd_ >= 0;
}

bool TestClient::Send(const std::string& name, const Fields& fields)
{
    return SendRaw(Fields().Op(*this, name).Raw(fields.bytes).bytes);
}

// Waits until the socket is readable; false when the time runs out.
static bool WaitReadable(int fd, std::chrono::steady_clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() < 0)
        return false;
    pollfd p = {fd, POLLIN, 0};
    int ready = poll(&p, 1, int(left.count()));
    return ready > 0;
}

bool TestClient::Receive(size_t count, std::vector<uint8_t>* out, int timeoutMs)
{
    out->clear();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (fd_ >= 0 && out->size() < count) {
        if (!WaitReadable(fd_, deadline))
            return false;
        uint8_t buffer[4096];
        size_t want = std::min(sizeof buffer, count - out->size());
        ssize_t n = recv(fd_, buffer, want, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        out->insert(out->end(), buffer, buffer + n);
    }
    return fd_ >= 0;
}

bool TestClient::ExpectNothing(int windowMs)
{
    if (fd_ < 0)
        return false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(windowMs);
    return !WaitReadable(fd_, deadline);
}

bool TestClient::WaitClosed(int timeoutMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (fd_ >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        // Closed or reset by the peer, whether or not its bytes were read.
        pollfd p = {fd_, POLLRDHUP, 0};
        int ready = poll(&p, 1, int(std::max<int64_t>(0, left.count())));
        if (ready > 0)
            return true;
        if (ready == 0 || errno != EINTR)
            return false;
    }
    return false;
}

std::string HexBytes(const std::vector<uint8_t>& bytes)
{
    std::string text;
    char part[4];
    for (size_t i = 0; i < bytes.size(); i++) {
        snprintf(part, sizeof part, i ? " %02x" : "%02x", bytes[i]);
        text += part;
    }
    return text;
}
