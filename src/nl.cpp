// The socket calls of our network layer, over non-blocking POSIX sockets.
//
// Handles are small integers from counters of their own, never reused in a
// run and never file descriptors. Each group owns an epoll instance on which
// its members are registered level-triggered for input, so a read poll costs
// the number of active sockets, not the number of members.

#include "nl.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <unordered_map>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

struct SocketEntry {
    int fd;           // the descriptor behind the handle
    bool listening;   // nlListen succeeded on it
};

struct GroupEntry {
    int epollFd;                                        // readiness of the members
    std::unordered_map<NLsocket, uint64_t> members;    // handle -> insertion sequence
    uint64_t nextSeq = 0;
    std::vector<epoll_event> events;                    // scratch for epoll_wait
};

struct Layer {
    std::mutex lock;
    bool initialised = false;
    bool bindSet = false;        // nlSetLocalAddr was called
    NLaddress bindAddress = {};  // local address for the next nlOpen
    std::unordered_map<NLsocket, SocketEntry> sockets;
    std::unordered_map<NLint, GroupEntry> groups;
    NLsocket nextSocket = 1;     // handles are never handed out twice
    NLint nextGroup = 1;
    // Raised by nlSignalWake, watched by nlWaitForInput. Made once and never
    // closed, so that worker threads can raise it at any time (-1 if the
    // system refused one: waits then only end on input or their time-out).
    const int wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
};

// Created on first use and never destroyed: the server's teardown runs from
// a static destructor and must still find the layer alive.
Layer& TheLayer()
{
    static Layer* layer = new Layer;
    return *layer;
}

thread_local NLenum lastError = NL_NO_ERROR;

template <typename T>
T Fail(NLenum error, T result)
{
    lastError = error;
    return result;
}

bool IsDisconnect(int error)
{
    return error == ECONNRESET || error == EPIPE || error == ETIMEDOUT || error == ENETRESET
        || error == ENETUNREACH || error == EHOSTUNREACH || error == ECONNABORTED;
}

SocketEntry* FindSocket(Layer& nl, NLsocket socket)
{
    auto it = nl.sockets.find(socket);
    return it == nl.sockets.end() ? nullptr : &it->second;
}

GroupEntry* FindGroup(Layer& nl, NLint group)
{
    auto it = nl.groups.find(group);
    return it == nl.groups.end() ? nullptr : &it->second;
}

NLsocket FileSocket(Layer& nl, int fd, bool listening)
{
    if (nl.nextSocket == INT32_MAX) {
        close(fd);
        return Fail(NL_OUT_OF_MEMORY, (NLsocket)NL_INVALID);
    }
    NLsocket handle = nl.nextSocket++;
    nl.sockets[handle] = SocketEntry{fd, listening};
    return handle;
}

// Parses a decimal number of at most maxDigits digits no larger than limit.
const char* ParseNumber(const char* text, int maxDigits, uint32_t limit, uint32_t* value)
{
    uint32_t result = 0;
    int digits = 0;
    while (*text >= '0' && *text <= '9' && digits < maxDigits) {
        result = result * 10 + (uint32_t)(*text - '0');
        ++text;
        ++digits;
    }
    if (digits == 0 || (*text >= '0' && *text <= '9') || result > limit)
        return nullptr;
    *value = result;
    return text;
}

void CloseAll(Layer& nl)
{
    for (auto& entry : nl.sockets)
        close(entry.second.fd);
    for (auto& entry : nl.groups)
        close(entry.second.epollFd);
    nl.sockets.clear();
    nl.groups.clear();
}

} // namespace

NLboolean nlInit(void)
{
    Layer& nl = TheLayer();
    std::lock_guard<std::mutex> guard(nl.lock);
    nl.initialised = true;
    lastError = NL_NO_ERROR;
    return NL_TRUE;
}

NLboolean nlSelectNetwork(NLenum network)
{
    Layer& nl = TheLayer();
    std::lock_guard<std::mutex> guard(nl.lock);
    if (!nl.initialised)
        return Fail(NL_NO_NETWORK, NL_FALSE);
    if (network != NL_IP)
        return Fail(NL_INVALID_ENUM, NL_FALSE);
    return NL_TRUE;
}

void nlShutdown(void)
{
    Layer& nl = TheLayer();
    std::lock_guard<std::mutex> guard(nl.lock);
    CloseAll(nl);
    nl.bindSet = false;
    nl.bindAddress = NLaddress{};
    nl.initialised = false;
}

NLboolean nlStringToAddr(const char* string, NLaddress* address)
{
    if (string == nullptr || address == nullptr)
        return Fail(NL_NULL_POINTER, NL_FALSE);
    *address = NLaddress{htonl(INADDR_NONE), 0, NL_FALSE};

    uint32_t host = 0;
    const char* p = string;
    for (int part = 0; part < 4; ++part) {
        uint32_t value = 0;
        if (part > 0 && *p++ != '.')
            return Fail(NL_BAD_ADDR, NL_FALSE);
        p = ParseNumber(p, 3, 255, &value);
        if (p == nullptr)
            return Fail(NL_BAD_ADDR, NL_FALSE);
        host = (host << 8) | value;
    }
    uint32_t port = 0;
    if (*p == ':') {
        p = ParseNumber(p + 1, 5, 65535, &port);
        if (p == nullptr)
            return Fail(NL_BAD_ADDR, NL_FALSE);
    }
    if (*p != '\0')
        return Fail(NL_BAD_ADDR, NL_FALSE);
    *address = NLaddress{htonl(host), (uint16_t)port, NL_TRUE};
    return NL_TRUE;
}

NLboolean nlSetLocalAddr(const NLaddress* address)
{
    if (address == nullptr)
        return Fail(NL_NULL_POINTER, NL_FALSE);
    Layer& nl = TheLayer();
    std::lock_guard<std::mutex> guard(nl.lock);
    nl.bindAddress = *address;   // an invalid one makes the next nlOpen fail
    nl.bindSet = true;
    return NL_TRUE;
}

NLsocket nlOpen(NLushort port, NLenum type)
{
    Layer& nl = TheLayer();
    std::lock_guard<std::mutex> guard(nl.lock);
    if (!nl.initialised)
        return Fail(NL_NO_NETWORK, (NLsocket)NL_INVALID);
    if (type != NL_RELIABLE)
        return Fail(NL_INVALID_ENUM, (NLsocket)NL_INVALID);
    if (nl.bindSet && !nl.bindAddress.valid)
        return Fail(NL_BAD_ADDR, (NLsocket)NL_INVALID);

    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return Fail(NL_SYSTEM_ERROR, (NLsocket)NL_INVALID);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);   // quick restarts after TIME_WAIT

    sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = nl.bindSet ? nl.bindAddress.host : htonl(INADDR_ANY);
    if (bind(fd, (const sockaddr*)&local, sizeof local) != 0) {
        close(fd);
        return Fail(NL_SYSTEM_ERROR, (NLsocket)NL_INVALID);
    }
    return FileSocket(nl, fd, false);
}

NLboolean nlListen(NLsocket socket)
{
    Layer& nl = TheLayer();
    std::lock_guard<std::mutex> guard(nl.lock);
    SocketEntry* entry = FindSocket(nl, socket);
    if (entry == nullptr)
        return Fail(NL_INVALID_SOCKET, NL_FALSE);
    if (listen(entry->fd, SOMAXCONN) != 0)
        return Fail(NL_SYSTEM_ERROR, NL_FALSE);
    entry->listening = true;
    return NL_TRUE;
}

NLsocket nlAcceptConnection(NLsocket socket)
{
    Layer& nl = TheLayer();
    std::lock_guard<std::mutex> guard(nl.lock);
    SocketEntry* entry = FindSocket(nl, socket);
    if (entry == nullptr)
        return Fail(NL_INVALID_SOCKET, (NLsocket)NL_INVALID);
    if (!entry->listening)
        return Fail(NL_NOT_LISTEN, (NLsocket)NL_INVALID);

    // An accept that finds nothing still makes and frees a socket in the
    // kernel, and the run loop tries one on every pass: asking first is far
    // cheaper. A connection that arrives in between is simply the next one.
    pollfd waiting = {entry->fd, POLLIN, 0};
    if (poll(&waiting, 1, 0) == 0)
        return Fail(NL_NO_PENDING, (NLsocket)NL_INVALID);
    int fd = accept4(entry->fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED)
            return Fail(NL_NO_PENDING, (NLsocket)NL_INVALID);
        // The connection stays queued, and the listener readable, until a
        // descriptor or memory is free again.
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
            return Fail(NL_OUT_OF_MEMORY, (NLsocket)NL_INVALID);
        return Fail(NL_SYSTEM_ERROR, (NLsocket)NL_INVALID);
    }
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);   // whole replies go out at once
    return FileSocket(nl, fd, false);
}

NLboolean nlClose(NLsocket socket)
{
    Layer& nl = TheLayer();
    std::lock_guard<std::mutex> guard(nl.lock);
    SocketEntry* entry = FindSocket(nl, socket);
    if (entry == nullptr)
        return Fail(NL_INVALID_SOCKET, NL_FALSE);
    close(entry->fd);   // also takes it out of every epoll set
    nl.sockets.erase(socket);
    for (auto& group : nl.groups)
        group.second.members.erase(socket);
    return NL_TRUE;
}

NLint nlRead(NLsocket socket, void* buffer, NLint nbytes)
{
    if (buffer == nullptr)
        return Fail(NL_NULL_POINTER, (NLint)NL_INVALID);
    if (nbytes <= 0)
        return 0;
    Layer& nl = TheLayer();
    std::lock_guard<std::mutex> guard(nl.lock);
    SocketEntry* entry = FindSocket(nl, socket);
    if (entry == nullptr)
        return Fail(NL_INVALID_SOCKET, (NLint)NL_INVALID);

    ssize_t n = recv(entry->fd, buffer, (size_t)nbytes, 0);
    if (n > 0)
        return (NLint)n;
    if (n == 0)
        return Fail(NL_MESSAGE_END, (NLint)NL_INVALID);
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
        return 0;
    return Fail(IsDisconnect(errno) ? NL_SOCK_DISCONNECT : NL_SYSTEM_ERROR, (NLint)NL_INVALID);
}

NLint nlWrite(NLsocket socket, const void* buffer, NLint nbytes)
{
    if (buffer == nullptr)
        return Fail(NL_NULL_POINTER, (NLint)NL_INVALID);
    if (nbytes <= 0)
        return 0;
    Layer& nl = TheLayer();
    std::lock_guard<std::mutex> guard(nl.lock);
    SocketEntry* entry = FindSocket(nl, socket);
    if (entry == nullptr)
        return Fail(NL_INVALID_SOCKET, (NLint)NL_INVALID);

    ssize_t n = send(entry->fd, buffer, (size_t)nbytes, MSG_NOSIGNAL);
    if (n >= 0)
        return (NLint)n;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
        return 0;
    return Fail(IsDisconnect(errno) ? NL_SOCK_DISCONNECT : NL_SYSTEM_ERROR, (NLint)NL_INVALID);
}

NLushort nlGetLocalPort(NLsocket socket)
{
    Layer& nl = TheLayer();
    std::lock_guard<std::mutex> guard(nl.lock);
    SocketEntry* entry = FindSocket(nl, socket);
    if (entry == nullptr)
        return Fail(NL_INVALID_SOCKET, (NLushort)0);
    sockaddr_in local = {};
    socklen_t size = sizeof local;
    if (getsockname(entry->fd, (sockaddr*)&local, &size) != 0)
        return Fail(NL_SYSTEM_ERROR, (NLushort)0);
    return ntohs(local.sin_port);
}

NLint nlGroupCreate(void)
{
    Layer& nl = TheLayer();
    std::lock_guard<std::mutex> guard(nl.lock);
    if (!nl.initialised)
        return Fail(NL_NO_NETWORK, (NLint)NL_INVALID);
    if (nl.nextGroup == INT32_MAX)
        return Fail(NL_OUT_OF_MEMORY, (NLint)NL_INVALID);
    int epollFd = epoll_create1(EPOLL_CLOEXEC);
    if (epollFd < 0)
        return Fail(NL_SYSTEM_ERROR, (NLint)NL_INVALID);
    NLint handle = nl.nextGroup++;
    nl.groups[handle].epollFd = epollFd;
    return handle;
}

NLboolean nlGroupDestroy(NLint group)
{
    Layer& nl = TheLayer();
    std::lock_guard<std::mutex> guard(nl.lock);
    GroupEntry* entry = FindGroup(nl, group);
    if (entry == nullptr)
        return Fail(NL_INVALID_GROUP, NL_FALSE);
    close(entry->epollFd);   // the member sockets stay open
    nl.groups.erase(group);
    return NL_TRUE;
}

NLboolean nlGroupAddSocket(NLint group, NLsocket socket)
{
    Layer& nl = TheLayer();
    std::lock_guard<std::mutex> guard(nl.lock);
    GroupEntry* entry = FindGroup(nl, group);
    if (entry == nullptr)
        return Fail(NL_INVALID_GROUP, NL_FALSE);
    SocketEntry* member = FindSocket(nl, socket);
    if (member == nullptr)
        return Fail(NL_INVALID_SOCKET, NL_FALSE);
    if (entry->members.count(socket) != 0)
        return NL_TRUE;

    // Level-triggered input only: a closed or reset peer shows as readable.
    epoll_event event = {};
    event.events = EPOLLIN | EPOLLRDHUP;
    event.data.u64 = (uint64_t)(uint32_t)socket;
    if (epoll_ctl(entry->epollFd, EPOLL_CTL_ADD, member->fd, &event) != 0)
        return Fail(NL_SYSTEM_ERROR, NL_FALSE);
    entry->members[socket] = entry->nextSeq++;
    return NL_TRUE;
}

NLboolean nlGroupDeleteSocket(NLint group, NLsocket socket)
{
    Layer& nl = TheLayer();
    std::lock_guard<std::mutex> guard(nl.lock);
    GroupEntry* entry = FindGroup(nl, group);
    if (entry == nullptr)
        return Fail(NL_INVALID_GROUP, NL_FALSE);
    if (entry->members.erase(socket) == 0)
        return Fail(NL_SOCKET_NOT_FOUND, NL_FALSE);
    SocketEntry* member = FindSocket(nl, socket);
    if (member != nullptr)
        epoll_ctl(entry->epollFd, EPOLL_CTL_DEL, member->fd, nullptr);
    return NL_TRUE;
}

namespace {

struct Ready {
    uint64_t seq;
    NLsocket socket;
};

// Writes at most number handles into sockets, in group insertion order.
NLint Report(std::vector<Ready>& ready, NLsocket* sockets, NLint number)
{
    std::sort(ready.begin(), ready.end(), [](const Ready& a, const Ready& b) { return a.seq < b.seq; });
    NLint count = std::min((NLint)ready.size(), number);
    for (NLint i = 0; i < count; ++i)
        sockets[i] = ready[(size_t)i].socket;
    return count;
}

NLint PollReadable(Layer& nl, std::unique_lock<std::mutex>& guard, NLint group, NLsocket* sockets,
                   NLint number, NLint timeout)
{
    GroupEntry* entry = FindGroup(nl, group);
    if (entry->members.empty() && timeout == 0)
        return 0;   // nothing to ask the kernel (the internal port, mostly)
    int epollFd = entry->epollFd;
    // One call returns every ready member (level-triggered), so size the
    // scratch for all of them.
    std::vector<epoll_event> events;
    events.swap(entry->events);
    events.resize(std::max<size_t>(1, entry->members.size()));

    guard.unlock();   // a waiting poll must not hold up other calls
    int n = epoll_wait(epollFd, events.data(), (int)events.size(), timeout);
    int waitError = errno;
    guard.lock();

    entry = FindGroup(nl, group);
    if (entry == nullptr)
        return Fail(NL_INVALID_GROUP, (NLint)NL_INVALID);
    std::vector<Ready> ready;
    for (int i = 0; i < n; ++i) {
        NLsocket socket = (NLsocket)(uint32_t)events[(size_t)i].data.u64;
        auto member = entry->members.find(socket);
        if (member != entry->members.end())
            ready.push_back(Ready{member->second, socket});
    }
    entry->events.swap(events);
    if (n < 0)
        return waitError == EINTR ? 0 : Fail(NL_SYSTEM_ERROR, (NLint)NL_INVALID);
    return Report(ready, sockets, number);
}

// Idle connections are always writable, so this costs a pass over every
// member; the network server writes directly instead of asking.
NLint PollWritable(Layer& nl, NLint group, NLsocket* sockets, NLint number, NLint timeout)
{
    GroupEntry* entry = FindGroup(nl, group);
    std::vector<pollfd> fds;
    std::vector<Ready> members;
    for (auto& member : entry->members) {
        SocketEntry* socket = FindSocket(nl, member.first);
        if (socket == nullptr)
            continue;
        fds.push_back(pollfd{socket->fd, POLLOUT, 0});
        members.push_back(Ready{member.second, member.first});
    }
    int n = poll(fds.data(), fds.size(), timeout);
    if (n < 0)
        return errno == EINTR ? 0 : Fail(NL_SYSTEM_ERROR, (NLint)NL_INVALID);
    std::vector<Ready> ready;
    for (size_t i = 0; i < fds.size(); ++i)
        if (fds[i].revents & (POLLOUT | POLLERR | POLLHUP))
            ready.push_back(members[i]);
    return Report(ready, sockets, number);
}

} // namespace

NLint nlPollGroup(NLint group, NLenum name, NLsocket* sockets, NLint number, NLint timeout)
{
    Layer& nl = TheLayer();
    std::unique_lock<std::mutex> guard(nl.lock);
    if (FindGroup(nl, group) == nullptr)
        return Fail(NL_INVALID_GROUP, (NLint)NL_INVALID);
    if (name != NL_READ_STATUS && name != NL_WRITE_STATUS)
        return Fail(NL_INVALID_ENUM, (NLint)NL_INVALID);
    if (sockets == nullptr)
        return Fail(NL_NULL_POINTER, (NLint)0);
    if (number <= 0)
        return 0;
    if (name == NL_READ_STATUS)
        return PollReadable(nl, guard, group, sockets, number, timeout);
    return PollWritable(nl, group, sockets, number, timeout);
}

NLenum nlGetError(void)
{
    return lastError;
}

const char* nlGetErrorStr(NLenum error)
{
    switch (error) {
    case NL_NO_ERROR: return "No error";
    case NL_NO_NETWORK: return "No network was initialized";
    case NL_OUT_OF_MEMORY: return "Out of handles or memory";
    case NL_INVALID_ENUM: return "Invalid enum value";
    case NL_INVALID_SOCKET: return "Invalid socket";
    case NL_SYSTEM_ERROR: return "Operating system socket error";
    case NL_SOCK_DISCONNECT: return "Connection reset or lost";
    case NL_NOT_LISTEN: return "Socket is not listening";
    case NL_NO_PENDING: return "No connection waiting";
    case NL_BAD_ADDR: return "Invalid address";
    case NL_MESSAGE_END: return "Connection closed by the peer";
    case NL_NULL_POINTER: return "Null pointer argument";
    case NL_INVALID_GROUP: return "Invalid group";
    case NL_SELECT_NET_ERROR: return "Network could not be selected";
    case NL_SOCKET_NOT_FOUND: return "Socket not found in the group";
    default: return "Unknown error";
    }
}

namespace {

// Adds the descriptor behind a group or a listening socket to the wait set;
// unknown handles are skipped.
void WatchGroup(Layer& nl, NLint group, std::vector<pollfd>& fds)
{
    GroupEntry* entry = FindGroup(nl, group);
    if (entry != nullptr)   // an epoll descriptor reads as ready while a member is
        fds.push_back(pollfd{entry->epollFd, POLLIN, 0});
}

void WatchListener(Layer& nl, NLsocket socket, std::vector<pollfd>& fds)
{
    SocketEntry* entry = FindSocket(nl, socket);
    if (entry != nullptr && entry->listening)
        fds.push_back(pollfd{entry->fd, POLLIN, 0});
}

} // namespace

NLint nlWaitForInput(const NLint* groups, NLint groupCount, const NLsocket* listeners,
                     NLint listenerCount, NLint timeout)
{
    if ((groups == nullptr && groupCount > 0) || (listeners == nullptr && listenerCount > 0))
        return Fail(NL_NULL_POINTER, (NLint)NL_INVALID);
    Layer& nl = TheLayer();
    thread_local std::vector<pollfd> fds;   // kept between calls: no allocation per wait
    fds.clear();
    if (nl.wakeFd >= 0)
        fds.push_back(pollfd{nl.wakeFd, POLLIN, 0});
    {
        std::lock_guard<std::mutex> guard(nl.lock);
        for (NLint i = 0; i < groupCount; ++i)
            WatchGroup(nl, groups[i], fds);
        for (NLint i = 0; i < listenerCount; ++i)
            WatchListener(nl, listeners[i], fds);
    }
    int n = poll(fds.data(), fds.size(), timeout);   // without the lock: others may go on
    if (n < 0)
        return errno == EINTR ? 0 : Fail(NL_SYSTEM_ERROR, (NLint)NL_INVALID);

    NLint reasons = 0;
    for (const pollfd& fd : fds) {
        if (fd.revents == 0)
            continue;
        if (fd.fd == nl.wakeFd) {
            // Consumed only after it was seen: a signal raised after this
            // read belongs to the next wait, and one raised before the wait
            // ended this one, so none is lost.
            uint64_t count;
            if (read(nl.wakeFd, &count, sizeof count) < 0) {
                // Already consumed by a concurrent waiter; still a wake.
            }
            reasons |= NL_WAKE_SIGNAL;
        } else {
            reasons |= NL_WAKE_INPUT;
        }
    }
    return reasons;
}

void nlSignalWake(void)
{
    Layer& nl = TheLayer();
    uint64_t one = 1;
    if (nl.wakeFd >= 0 && write(nl.wakeFd, &one, sizeof one) < 0) {
        // Only when the counter is full, and then the wait is raised anyway.
    }
}
