// The socket calls of our network layer, over non-blocking POSIX sockets.
//
// Handles are small integers from counters of their own, never reused in a
// run and never file descriptors. Each group owns an epoll instance on which
// its members are registered level-triggered for input, so a read poll costs
// the number of active sockets, not the number of members.
//
// There is no lock: only the main thread calls the layer. Worker threads
// only raise the loop's wake (loopwait.cpp), which keeps no state here.

#include "nl.h"

#include <algorithm>
#include <cerrno>
#include <unordered_map>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "nlinternal.h"

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
    bool initialised = false;
    bool bindSet = false;        // nlSetLocalAddr was called
    NLaddress bindAddress = {};  // local address for the next nlOpen
    std::unordered_map<NLsocket, SocketEntry> sockets;
    std::unordered_map<NLint, GroupEntry> groups;
    NLsocket nextSocket = 1;     // handles are never handed out twice
    NLint nextGroup = 1;
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

// The outcome of a recv or send that failed: 0 when it only would have waited.
NLint TransferFailure()
{
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
        return 0;
    return Fail(IsDisconnect(errno) ? NL_SOCK_DISCONNECT : NL_SYSTEM_ERROR, NL_INVALID);
}

template <typename Map>
typename Map::mapped_type* Find(Map& map, typename Map::key_type key)
{
    auto it = map.find(key);
    return it == map.end() ? nullptr : &it->second;
}

// The entry behind a handle; null, with the error set, when there is none.
SocketEntry* SocketOrFail(NLsocket socket)
{
    SocketEntry* entry = Find(TheLayer().sockets, socket);
    if (entry == nullptr)
        lastError = NL_INVALID_SOCKET;
    return entry;
}

GroupEntry* GroupOrFail(NLint group)
{
    GroupEntry* entry = Find(TheLayer().groups, group);
    if (entry == nullptr)
        lastError = NL_INVALID_GROUP;
    return entry;
}

// The checks before a read or write; call(fd, size) does the transfer.
template <typename Call>
NLint Transfer(NLsocket socket, const void* buffer, NLint nbytes, Call call)
{
    if (buffer == nullptr)
        return Fail(NL_NULL_POINTER, NL_INVALID);
    if (nbytes <= 0)
        return 0;
    SocketEntry* entry = SocketOrFail(socket);
    return entry == nullptr ? NL_INVALID : call(entry->fd, static_cast<size_t>(nbytes));
}

NLsocket FileSocket(Layer& nl, int fd, bool listening)
{
    if (nl.nextSocket == INT32_MAX) {
        close(fd);
        return Fail(NL_OUT_OF_MEMORY, NL_INVALID);
    }
    NLsocket handle = nl.nextSocket++;
    nl.sockets[handle] = SocketEntry{fd, listening};
    return handle;
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Reads a decimal number of one to maxDigits digits, no larger than limit;
// the text after it, or null. Leading zeros are digits like any other, so
// stored settings such as "127.000.000.001" keep their meaning.
const char* ParseNumber(const char* text, int maxDigits, uint32_t limit, uint32_t* value)
{
    uint32_t result = 0;
    int digits = 0;
    while (digits < maxDigits && IsDigit(text[digits]))
        result = result * 10 + static_cast<uint32_t>(text[digits++] - '0');
    if (digits == 0 || IsDigit(text[digits]) || result > limit)
        return nullptr;
    *value = result;
    return text + digits;
}

} // namespace

NLboolean nlInit(void)
{
    TheLayer().initialised = true;
    lastError = NL_NO_ERROR;
    return NL_TRUE;
}

NLboolean nlSelectNetwork(NLenum network)
{
    if (!TheLayer().initialised)
        return Fail(NL_NO_NETWORK, NL_FALSE);
    if (network != NL_IP)
        return Fail(NL_INVALID_ENUM, NL_FALSE);
    return NL_TRUE;
}

void nlShutdown(void)
{
    Layer& nl = TheLayer();
    for (auto& entry : nl.sockets)
        close(entry.second.fd);
    for (auto& entry : nl.groups)
        close(entry.second.epollFd);
    // The handle counters go on: a handle is never handed out twice in a run.
    nl.sockets.clear();
    nl.groups.clear();
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
    *address = NLaddress{htonl(host), static_cast<uint16_t>(port), NL_TRUE};
    return NL_TRUE;
}

NLboolean nlSetLocalAddr(const NLaddress* address)
{
    if (address == nullptr)
        return Fail(NL_NULL_POINTER, NL_FALSE);
    Layer& nl = TheLayer();
    nl.bindAddress = *address;   // an invalid one makes the next nlOpen fail
    nl.bindSet = true;
    return NL_TRUE;
}

NLsocket nlOpen(NLushort port, NLenum type)
{
    Layer& nl = TheLayer();
    if (!nl.initialised)
        return Fail(NL_NO_NETWORK, NL_INVALID);
    if (type != NL_RELIABLE)
        return Fail(NL_INVALID_ENUM, NL_INVALID);
    if (nl.bindSet && !nl.bindAddress.valid)
        return Fail(NL_BAD_ADDR, NL_INVALID);

    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return Fail(NL_SYSTEM_ERROR, NL_INVALID);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);   // quick restarts after TIME_WAIT

    sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = nl.bindSet ? nl.bindAddress.host : htonl(INADDR_ANY);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        close(fd);
        return Fail(NL_SYSTEM_ERROR, NL_INVALID);
    }
    return FileSocket(nl, fd, false);
}

NLboolean nlListen(NLsocket socket)
{
    SocketEntry* entry = SocketOrFail(socket);
    if (entry == nullptr)
        return NL_FALSE;
    if (listen(entry->fd, SOMAXCONN) != 0)
        return Fail(NL_SYSTEM_ERROR, NL_FALSE);
    entry->listening = true;
    return NL_TRUE;
}

NLsocket nlAcceptConnection(NLsocket socket)
{
    SocketEntry* entry = SocketOrFail(socket);
    if (entry == nullptr)
        return NL_INVALID;
    if (!entry->listening)
        return Fail(NL_NOT_LISTEN, NL_INVALID);

    // An accept that finds nothing still makes and frees a socket in the
    // kernel, and the run loop tries one on every pass: asking first is far
    // cheaper. A connection that arrives in between is simply the next one.
    pollfd waiting = {entry->fd, POLLIN, 0};
    if (poll(&waiting, 1, 0) == 0)
        return Fail(NL_NO_PENDING, NL_INVALID);
    int fd = accept4(entry->fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED)
            return Fail(NL_NO_PENDING, NL_INVALID);
        // The connection stays queued, and the listener readable, until a
        // descriptor or memory is free again.
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
            return Fail(NL_OUT_OF_MEMORY, NL_INVALID);
        return Fail(NL_SYSTEM_ERROR, NL_INVALID);
    }
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);   // whole replies go out at once
    return FileSocket(TheLayer(), fd, false);
}

NLboolean nlClose(NLsocket socket)
{
    SocketEntry* entry = SocketOrFail(socket);
    if (entry == nullptr)
        return NL_FALSE;
    close(entry->fd);   // also takes it out of every epoll set
    Layer& nl = TheLayer();
    nl.sockets.erase(socket);
    for (auto& group : nl.groups)
        group.second.members.erase(socket);
    return NL_TRUE;
}

NLint nlRead(NLsocket socket, void* buffer, NLint nbytes)
{
    return Transfer(socket, buffer, nbytes, [buffer](int fd, size_t size) {
        ssize_t n = recv(fd, buffer, size, 0);
        if (n == 0)
            return Fail(NL_MESSAGE_END, NL_INVALID);
        return n > 0 ? static_cast<NLint>(n) : TransferFailure();
    });
}

NLint nlWrite(NLsocket socket, const void* buffer, NLint nbytes)
{
    return Transfer(socket, buffer, nbytes, [buffer](int fd, size_t size) {
        ssize_t n = send(fd, buffer, size, MSG_NOSIGNAL);
        return n >= 0 ? static_cast<NLint>(n) : TransferFailure();
    });
}

NLushort nlGetLocalPort(NLsocket socket)
{
    SocketEntry* entry = SocketOrFail(socket);
    if (entry == nullptr)
        return 0;
    sockaddr_in local = {};
    socklen_t size = sizeof local;
    if (getsockname(entry->fd, reinterpret_cast<sockaddr*>(&local), &size) != 0)
        return Fail(NL_SYSTEM_ERROR, NLushort{0});
    return ntohs(local.sin_port);
}

NLint nlGroupCreate(void)
{
    Layer& nl = TheLayer();
    if (!nl.initialised)
        return Fail(NL_NO_NETWORK, NL_INVALID);
    if (nl.nextGroup == INT32_MAX)
        return Fail(NL_OUT_OF_MEMORY, NL_INVALID);
    int epollFd = epoll_create1(EPOLL_CLOEXEC);
    if (epollFd < 0)
        return Fail(NL_SYSTEM_ERROR, NL_INVALID);
    NLint handle = nl.nextGroup++;
    nl.groups[handle].epollFd = epollFd;
    return handle;
}

NLboolean nlGroupDestroy(NLint group)
{
    GroupEntry* entry = GroupOrFail(group);
    if (entry == nullptr)
        return NL_FALSE;
    close(entry->epollFd);   // the member sockets stay open
    TheLayer().groups.erase(group);
    return NL_TRUE;
}

NLboolean nlGroupAddSocket(NLint group, NLsocket socket)
{
    GroupEntry* entry = GroupOrFail(group);
    if (entry == nullptr)
        return NL_FALSE;
    SocketEntry* member = SocketOrFail(socket);
    if (member == nullptr)
        return NL_FALSE;
    if (entry->members.count(socket) != 0)
        return NL_TRUE;

    // Level-triggered input only: a closed or reset peer shows as readable.
    epoll_event event = {};
    event.events = EPOLLIN | EPOLLRDHUP;
    event.data.u64 = static_cast<uint64_t>(socket);
    if (epoll_ctl(entry->epollFd, EPOLL_CTL_ADD, member->fd, &event) != 0)
        return Fail(NL_SYSTEM_ERROR, NL_FALSE);
    entry->members[socket] = entry->nextSeq++;
    return NL_TRUE;
}

NLboolean nlGroupDeleteSocket(NLint group, NLsocket socket)
{
    GroupEntry* entry = GroupOrFail(group);
    if (entry == nullptr)
        return NL_FALSE;
    if (entry->members.erase(socket) == 0)
        return Fail(NL_SOCKET_NOT_FOUND, NL_FALSE);
    SocketEntry* member = Find(TheLayer().sockets, socket);
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
    NLint count = std::min(static_cast<NLint>(ready.size()), number);
    for (NLint i = 0; i < count; ++i)
        sockets[i] = ready[static_cast<size_t>(i)].socket;
    return count;
}

NLint PollReadable(GroupEntry& group, NLsocket* sockets, NLint number, NLint timeout)
{
    if (group.members.empty() && timeout == 0)
        return 0;   // nothing to ask the kernel (the internal port, mostly)
    // One call returns every ready member (level-triggered), so size the
    // scratch for all of them.
    group.events.resize(std::max<size_t>(1, group.members.size()));
    int n = epoll_wait(group.epollFd, group.events.data(), static_cast<int>(group.events.size()), timeout);
    if (n < 0)
        return errno == EINTR ? 0 : Fail(NL_SYSTEM_ERROR, NL_INVALID);
    std::vector<Ready> ready;
    for (int i = 0; i < n; ++i) {
        NLsocket socket = static_cast<NLsocket>(group.events[static_cast<size_t>(i)].data.u64);
        auto member = group.members.find(socket);
        if (member != group.members.end())
            ready.push_back(Ready{member->second, socket});
    }
    return Report(ready, sockets, number);
}

// Idle connections are always writable, so this costs a pass over every
// member; the network server writes directly instead of asking.
NLint PollWritable(GroupEntry& group, NLsocket* sockets, NLint number, NLint timeout)
{
    std::vector<pollfd> fds;
    std::vector<Ready> members;
    for (auto& member : group.members) {
        SocketEntry* socket = Find(TheLayer().sockets, member.first);
        if (socket == nullptr)
            continue;
        fds.push_back(pollfd{socket->fd, POLLOUT, 0});
        members.push_back(Ready{member.second, member.first});
    }
    int n = poll(fds.data(), fds.size(), timeout);
    if (n < 0)
        return errno == EINTR ? 0 : Fail(NL_SYSTEM_ERROR, NL_INVALID);
    std::vector<Ready> ready;
    for (size_t i = 0; i < fds.size(); ++i)
        if (fds[i].revents & (POLLOUT | POLLERR | POLLHUP))
            ready.push_back(members[i]);
    return Report(ready, sockets, number);
}

} // namespace

NLint nlPollGroup(NLint group, NLenum name, NLsocket* sockets, NLint number, NLint timeout)
{
    GroupEntry* entry = GroupOrFail(group);
    if (entry == nullptr)
        return NL_INVALID;
    if (name != NL_READ_STATUS && name != NL_WRITE_STATUS)
        return Fail(NL_INVALID_ENUM, NL_INVALID);
    if (sockets == nullptr)
        return Fail(NL_NULL_POINTER, 0);
    if (number <= 0)
        return 0;
    if (name == NL_READ_STATUS)
        return PollReadable(*entry, sockets, number, timeout);
    return PollWritable(*entry, sockets, number, timeout);
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

int nlGroupDescriptor(NLint group)
{
    GroupEntry* entry = Find(TheLayer().groups, group);
    return entry == nullptr ? -1 : entry->epollFd;
}

int nlListenerDescriptor(NLsocket socket)
{
    SocketEntry* entry = Find(TheLayer().sockets, socket);
    return entry != nullptr && entry->listening ? entry->fd : -1;
}

void nlSetError(NLenum error)
{
    lastError = error;
}
