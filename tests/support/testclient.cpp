#include "testclient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>

#include <gtest/gtest.h>

#include "loopback.h"

Fields& Fields::U8(uint8_t value)
{
    bytes.push_back(value);
    return *this;
}

Fields& Fields::U16(uint16_t value)
{
    bytes.push_back(uint8_t(value));
    bytes.push_back(uint8_t(value >> 8));
    return *this;
}

Fields& Fields::U32(uint32_t value)
{
    for (int i = 0; i < 4; i++)
        bytes.push_back(uint8_t(value >> (8 * i)));
    return *this;
}

Fields& Fields::Zeros(size_t count)
{
    bytes.insert(bytes.end(), count, 0);
    return *this;
}

Fields& Fields::Raw(const std::vector<uint8_t>& data)
{
    bytes.insert(bytes.end(), data.begin(), data.end());
    return *this;
}

Fields& Fields::Wide(const std::u16string& text)
{
    U16(uint16_t(text.size()));
    for (char16_t unit : text)
        U16(uint16_t(unit));
    return *this;
}

Fields& Fields::Op(const TestClient& client, const std::string& name)
{
    return Raw(client.Opcode(name));
}

// "0xC001" -> C0 01: the hex digits name the wire bytes in written order.
static std::vector<uint8_t> WireBytes(std::string value)
{
    if (value.size() >= 2 && value[0] == '0' && (value[1] == 'x' || value[1] == 'X'))
        value = value.substr(2);
    size_t digits = 0;
    while (digits < value.size() && isxdigit(static_cast<unsigned char>(value[digits])))
        digits++;
    std::string hex = std::string(4, '0') + value.substr(0, digits);
    hex = hex.substr(hex.size() - 4);
    return {uint8_t(std::stoul(hex.substr(0, 2), nullptr, 16)),
            uint8_t(std::stoul(hex.substr(2, 2), nullptr, 16))};
}

TestClient::TestClient(const std::string& installDir)
{
    std::ifstream in(installDir + "/Data/LoginOpcodes.ini");
    std::string line;
    while (std::getline(in, line)) {
        size_t equals = line.find('=');
        if (line.empty() || line[0] == '#' || equals == std::string::npos)
            continue;
        std::string name = line.substr(0, equals);
        for (char& c : name)
            c = char(toupper(static_cast<unsigned char>(c)));
        opcodes_[name] = WireBytes(line.substr(equals + 1));
    }
}

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
    int on = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return true;
}

void TestClient::Close()
{
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
}

std::vector<uint8_t> TestClient::Opcode(const std::string& name) const
{
    auto it = opcodes_.find(name);
    EXPECT_NE(it, opcodes_.end()) << "no message number for " << name;
    return it == opcodes_.end() ? std::vector<uint8_t>{0, 0} : it->second;
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
