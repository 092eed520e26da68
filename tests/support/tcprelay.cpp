#include "tcprelay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "loopback.h"

namespace {

struct Link {
    int client = -1;
    int server = -1;
    bool held = false;
    std::string kept;
};

void CloseSide(int& fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

void SendAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
        if (sent <= 0)
            return;
        data += sent;
        size -= size_t(sent);
    }
}

int Listen(uint16_t* port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 64) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(fd);
        return -1;
    }
    *port = ntohs(address.sin_port);
    return fd;
}

} // namespace

struct TcpRelay::State {
    uint16_t serverPort = 0;
    uint16_t port = 0;
    int listener = -1;
    int wake = eventfd(0, EFD_CLOEXEC);
    std::mutex lock;                // guards links, stopping and refusing
    std::deque<Link> links;
    bool stopping = false;
    bool refusing = false;
    std::thread thread;

    void Wake()
    {
        uint64_t one = 1;
        (void)!write(wake, &one, sizeof one);
    }

    void Run();
    void Accept();
    void Transfer(Link& link, int& from, int& to, std::string* keep);
};

void TcpRelay::State::Run()
{
    for (;;) {
        // Which descriptor stands for which side of which link.
        std::vector<pollfd> fds{{listener, POLLIN, 0}, {wake, POLLIN, 0}};
        std::vector<std::pair<Link*, int>> sides;
        {
            std::lock_guard<std::mutex> hold(lock);
            if (stopping)
                return;
            for (Link& link : links) {
                for (int fd : {link.client, link.server}) {
                    if (fd >= 0) {
                        fds.push_back({fd, POLLIN, 0});
                        sides.emplace_back(&link, fd);
                    }
                }
            }
        }
        if (poll(fds.data(), fds.size(), -1) < 0)
            continue;
        std::lock_guard<std::mutex> hold(lock);
        if (fds[1].revents) {
            uint64_t count;
            (void)!read(wake, &count, sizeof count);
        }
        for (size_t i = 0; i < sides.size(); ++i) {
            if (!fds[i + 2].revents)
                continue;
            auto [link, fd] = sides[i];
            // A side closed by the test since the poll is not read.
            if (fd == link->client)
                Transfer(*link, link->client, link->server, &link->kept);
            else if (fd == link->server)
                Transfer(*link, link->server, link->client, nullptr);
        }
        if (fds[0].revents)
            Accept();
    }
}

void TcpRelay::State::Accept()
{
    int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0)
        return;
    int server = refusing ? -1 : ConnectTo(serverPort);
    if (server < 0) {
        close(client);
        return;
    }
    Link link;
    link.client = client;
    link.server = server;
    links.push_back(link);
}

// Moves what arrived on one side of the link to the other; on a held link
// the client's bytes are kept and the server's dropped. The end of one side
// ends the other, unless the link is held.
void TcpRelay::State::Transfer(Link& link, int& from, int& to, std::string* keep)
{
    char buffer[16384];
    ssize_t got = recv(from, buffer, sizeof buffer, 0);
    if (got <= 0) {
        CloseSide(from);
        if (!link.held)
            CloseSide(to);
    } else if (!link.held) {
        SendAll(to, buffer, size_t(got));
    } else if (keep) {
        keep->append(buffer, size_t(got));
    }
}

TcpRelay::TcpRelay(uint16_t serverPort) : state_(new State)
{
    state_->serverPort = serverPort;
    state_->listener = Listen(&state_->port);
    state_->thread = std::thread([state = state_.get()] { state->Run(); });
}

TcpRelay::~TcpRelay()
{
    {
        std::lock_guard<std::mutex> hold(state_->lock);
        state_->stopping = true;
    }
    state_->Wake();
    state_->thread.join();
    for (Link& link : state_->links) {
        CloseSide(link.client);
        CloseSide(link.server);
    }
    close(state_->listener);
    close(state_->wake);
}

uint16_t TcpRelay::Port() const
{
    return state_->port;
}

size_t TcpRelay::Links()
{
    std::lock_guard<std::mutex> hold(state_->lock);
    return state_->links.size();
}

void TcpRelay::Refuse(bool refusing)
{
    std::lock_guard<std::mutex> hold(state_->lock);
    state_->refusing = refusing;
}

void TcpRelay::Hold(size_t link)
{
    std::lock_guard<std::mutex> hold(state_->lock);
    state_->links.at(link).held = true;
}

size_t TcpRelay::HeldBytes(size_t link)
{
    std::lock_guard<std::mutex> hold(state_->lock);
    return state_->links.at(link).kept.size();
}

void TcpRelay::CutClientSide(size_t link)
{
    {
        std::lock_guard<std::mutex> hold(state_->lock);
        CloseSide(state_->links.at(link).client);
    }
    state_->Wake();
}

void TcpRelay::Deliver(size_t link)
{
    std::lock_guard<std::mutex> hold(state_->lock);
    Link& held = state_->links.at(link);
    if (held.server >= 0)
        SendAll(held.server, held.kept.data(), held.kept.size());
    held.kept.clear();
}

bool TcpRelay::ServerSideOpen(size_t link)
{
    std::lock_guard<std::mutex> hold(state_->lock);
    return state_->links.at(link).server >= 0;
}
