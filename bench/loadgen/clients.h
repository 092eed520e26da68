#pragma once

// Simulated game clients over loopback: a few threads, each driving its
// share of the connections with epoll. A client repeats its conversation
// on one connection until the time is up:
//   login mode:     handshake, ACCOUNT_LOGIN (timed until the closing
//                   STREAM_TERMINATOR), ACCOUNT_LOGOUT, and again;
//   handshake mode: the handshake alone (timed until P12B_REPLY).
// A refused login ends its client, unless the run expects refusals (a
// database outage): then it is counted and the client goes on.

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "clock.h"
#include "loopback.h"
#include "protocol.h"

namespace loadgen {

enum class Mode { Login, Handshake };

struct LoadSettings {
    Mode mode = Mode::Login;
    uint16_t port = 0;
    double seconds = 10;
    size_t threads = 4;
    size_t defaultInterfaceSize = 0;   // the installation's Data/Packets/DefaultInterface
    bool loginAfterRefusal = false;    // a refused login is counted and the client logs in again
    std::function<void(Clock::time_point)> onStart;   // told the measurement's start, if set
};

struct Refusal {
    Clock::time_point at;
    uint32_t code = 0;
};

struct LoadResult {
    uint64_t completed = 0;   // logins (or handshakes) answered and checked
    uint64_t failures = 0;    // answers that were wrong, or connections lost
    std::string firstFailure;
    Clock::time_point start;
    double seconds = 0;
    Latencies latencies;
    std::vector<Clock::time_point> completedAt;   // when each completed answer arrived
    std::vector<Refusal> refusals;                 // only with loginAfterRefusal
};

inline bool SendAll(int fd, const Bytes& bytes)
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n > 0)
            sent += (size_t)n;
        else if (n < 0 && (errno == EAGAIN || errno == EINTR))
            std::this_thread::yield();   // replies are small: the buffer drains at once
        else
            return false;
    }
    return true;
}

class LoadWorker {
public:
    LoadWorker(const LoadSettings& settings, const Requests& requests, const std::vector<Account>& accounts,
               size_t first, size_t count)
        : s_(settings), rq_(requests), accounts_(accounts), first_(first), count_(count)
    {
    }

    bool Connect()
    {
        epoll_ = epoll_create1(EPOLL_CLOEXEC);
        for (size_t i = 0; i < count_; ++i) {
            Conn c;
            c.account = first_ + i;
            c.fd = ConnectTo(s_.port);
            if (c.fd < 0)
                return false;
            SetNoDelay(c.fd);
            fcntl(c.fd, F_SETFL, fcntl(c.fd, F_GETFL) | O_NONBLOCK);
            epoll_event event = {};
            event.events = EPOLLIN;
            event.data.u64 = conns_.size();
            epoll_ctl(epoll_, EPOLL_CTL_ADD, c.fd, &event);
            conns_.push_back(c);
        }
        live_ = conns_.size();
        return true;
    }

    void Run(Clock::time_point end)
    {
        for (Conn& c : conns_)
            StartHandshake(c, Bytes());
        std::vector<epoll_event> events(64);
        uint8_t chunk[4096];
        while (Clock::now() < end && live_ > 0) {
            int n = epoll_wait(epoll_, events.data(), (int)events.size(), 5);
            for (int i = 0; i < n; ++i) {
                Conn& c = conns_[events[(size_t)i].data.u64];
                ssize_t got;
                while ((got = recv(c.fd, chunk, sizeof chunk, 0)) > 0)
                    c.inbox.insert(c.inbox.end(), chunk, chunk + got);
                if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
                    Lose(c, "connection lost");
                    continue;
                }
                if (c.live)
                    Advance(c, end);
            }
        }
    }

    void Close()
    {
        for (Conn& c : conns_)
            close(c.fd);
        if (epoll_ >= 0)
            close(epoll_);
    }

    LoadResult result;

private:
    enum class Step { Handshake, Login };
    struct Conn {
        int fd = -1;
        size_t account = 0;
        Step step = Step::Handshake;
        Bytes inbox;
        uint32_t requestId = 0;
        Clock::time_point sentAt;
        bool live = true;
    };

    void StartHandshake(Conn& c, Bytes prefix)
    {
        Bytes message = rq_.Handshake((uint32_t)c.account);
        prefix.insert(prefix.end(), message.begin(), message.end());
        c.step = Step::Handshake;
        c.sentAt = Clock::now();
        if (!SendAll(c.fd, prefix))
            Lose(c, "send failed");
    }

    void Advance(Conn& c, Clock::time_point end)
    {
        const Account& account = accounts_[c.account];
        if (c.step == Step::Handshake) {
            if (c.inbox.size() < Requests::HandshakeAnswerSize())
                return;
            if (!rq_.HandshakeAnswerOk(c.inbox))
                return Lose(c, "wrong handshake answer");
            c.inbox.clear();
            if (s_.mode == Mode::Handshake) {
                Complete(c);
                if (Clock::now() < end)
                    StartHandshake(c, Bytes());
                return;
            }
            c.step = Step::Login;
            c.requestId++;
            c.sentAt = Clock::now();
            if (!SendAll(c.fd, rq_.Login(account, c.requestId)))
                Lose(c, "send failed");
            return;
        }
        // A refusal is a lone STREAM_TERMINATOR with its code.
        if (c.inbox.size() >= 10 && rq_.op.At(c.inbox, 0, "STREAM_TERMINATOR"))
            return Refuse(c, ReadU32(c.inbox, 6), end);
        size_t expected = LoginAnswerSize(account, s_.defaultInterfaceSize);
        if (c.inbox.size() < expected)
            return;
        std::string wrong = c.inbox.size() > expected
                                ? "answer longer than expected"
                                : CheckLoginAnswer(rq_.op, account, c.requestId, c.inbox, s_.defaultInterfaceSize);
        if (!wrong.empty())
            return Lose(c, wrong);
        Complete(c);
        LoginAgain(c, end);
    }

    void Refuse(Conn& c, uint32_t code, Clock::time_point end)
    {
        if (!s_.loginAfterRefusal)
            return Lose(c, "login refused with code " + std::to_string(code));
        result.refusals.push_back({Clock::now(), code});
        LoginAgain(c, end);
    }

    // ACCOUNT_LOGOUT and the next handshake in one write, while there is time.
    void LoginAgain(Conn& c, Clock::time_point end)
    {
        c.inbox.clear();
        if (Clock::now() < end)
            StartHandshake(c, rq_.Logout());
    }

    void Complete(Conn& c)
    {
        auto now = Clock::now();
        result.completed++;
        result.latencies.Add(MicrosecondsBetween(c.sentAt, now));
        result.completedAt.push_back(now);
    }

    void Lose(Conn& c, const std::string& why)
    {
        if (!c.live)
            return;
        c.live = false;
        live_--;
        result.failures++;
        if (result.firstFailure.empty())
            result.firstFailure = why;
        epoll_ctl(epoll_, EPOLL_CTL_DEL, c.fd, nullptr);
    }

    const LoadSettings& s_;
    const Requests& rq_;
    const std::vector<Account>& accounts_;
    size_t first_, count_;
    std::vector<Conn> conns_;
    size_t live_ = 0;
    int epoll_ = -1;
};

template <typename T>
void Append(std::vector<T>& to, const std::vector<T>& from)
{
    to.insert(to.end(), from.begin(), from.end());
}

// Runs accounts.size() clients for settings.seconds.
inline LoadResult RunLoad(const LoadSettings& settings, const Requests& requests,
                          const std::vector<Account>& accounts)
{
    size_t threads = std::max<size_t>(1, std::min(settings.threads, accounts.size()));
    std::vector<std::unique_ptr<LoadWorker>> workers;
    LoadResult total;
    for (size_t t = 0; t < threads; ++t) {
        size_t first = accounts.size() * t / threads, last = accounts.size() * (t + 1) / threads;
        workers.push_back(std::make_unique<LoadWorker>(settings, requests, accounts, first, last - first));
        if (!workers.back()->Connect()) {
            total.failures++;
            total.firstFailure = "cannot connect to the server";
            for (auto& w : workers)
                w->Close();
            return total;
        }
    }
    auto start = Clock::now();
    auto end = start + Seconds(settings.seconds);
    if (settings.onStart)
        settings.onStart(start);
    std::vector<std::thread> running;
    for (auto& w : workers)
        running.emplace_back([&w, end] { w->Run(end); });
    for (std::thread& t : running)
        t.join();
    total.start = start;
    total.seconds = SecondsSince(start);
    for (auto& w : workers) {
        w->Close();
        total.completed += w->result.completed;
        total.failures += w->result.failures;
        if (total.firstFailure.empty())
            total.firstFailure = w->result.firstFailure;
        total.latencies.Merge(w->result.latencies);
        Append(total.completedAt, w->result.completedAt);
        Append(total.refusals, w->result.refusals);
    }
    return total;
}

} // namespace loadgen
