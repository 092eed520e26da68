#include "loopwait.h"

#include <cerrno>
#include <vector>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "nlinternal.h"

namespace {

// Raised by nlSignalWake, watched by nlWaitForInput. Made once and never
// closed, so that worker threads can raise it at any time (-1 if the system
// refused one: waits then only end on input or their time-out).
int WakeDescriptor()
{
    static const int wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    return wakeFd;
}

void Watch(int fd, std::vector<pollfd>& fds)
{
    if (fd >= 0)
        fds.push_back(pollfd{fd, POLLIN, 0});
}

// Consumed only after it was seen: a signal raised after this read belongs
// to the next wait, and one raised before the wait ended this one, so none
// is lost. A failed read means a concurrent waiter took it: still a wake.
void ConsumeWake(int wakeFd)
{
    uint64_t count;
    if (read(wakeFd, &count, sizeof count) < 0) {
    }
}

} // namespace

NLint nlWaitForInput(const NLint* groups, NLint groupCount, const NLsocket* listeners,
                     NLint listenerCount, NLint timeout)
{
    if ((groups == nullptr && groupCount > 0) || (listeners == nullptr && listenerCount > 0)) {
        nlSetError(NL_NULL_POINTER);
        return NL_INVALID;
    }
    const int wakeFd = WakeDescriptor();
    thread_local std::vector<pollfd> fds;   // kept between calls: no allocation per wait
    fds.clear();
    Watch(wakeFd, fds);
    for (NLint i = 0; i < groupCount; ++i)
        Watch(nlGroupDescriptor(groups[i]), fds);
    for (NLint i = 0; i < listenerCount; ++i)
        Watch(nlListenerDescriptor(listeners[i]), fds);
    if (poll(fds.data(), fds.size(), timeout) < 0) {
        if (errno == EINTR)
            return 0;
        nlSetError(NL_SYSTEM_ERROR);
        return NL_INVALID;
    }
    NLint reasons = 0;
    for (const pollfd& fd : fds) {
        if (fd.revents == 0)
            continue;
        if (fd.fd == wakeFd) {
            ConsumeWake(wakeFd);
            reasons |= NL_WAKE_SIGNAL;
        } else {
            reasons |= NL_WAKE_INPUT;
        }
    }
    return reasons;
}

void nlSignalWake(void)
{
    const int wakeFd = WakeDescriptor();
    uint64_t one = 1;
    // Fails only when the counter is full, and then the wait is raised anyway.
    if (wakeFd >= 0 && write(wakeFd, &one, sizeof one) < 0) {
    }
}
