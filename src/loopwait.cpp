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

// For eventfd calls whose failure loses nothing (see the callers).
void Ignore(ssize_t) {}

NLint Fail(NLenum error)
{
    nlSetError(error);
    return NL_INVALID;
}

} // namespace

NLint nlWaitForInput(const NLint* groups, NLint groupCount, const NLsocket* listeners,
                     NLint listenerCount, NLint timeout)
{
    if ((groups == nullptr && groupCount > 0) || (listeners == nullptr && listenerCount > 0))
        return Fail(NL_NULL_POINTER);
    const int wakeFd = WakeDescriptor();
    thread_local std::vector<pollfd> fds;   // kept between calls: no allocation per wait
    fds.clear();
    Watch(wakeFd, fds);
    for (NLint i = 0; i < groupCount; ++i)
        Watch(nlGroupDescriptor(groups[i]), fds);
    for (NLint i = 0; i < listenerCount; ++i)
        Watch(nlListenerDescriptor(listeners[i]), fds);
    if (poll(fds.data(), fds.size(), timeout) < 0)
        return errno == EINTR ? 0 : Fail(NL_SYSTEM_ERROR);

    NLint reasons = 0;
    for (const pollfd& fd : fds) {
        if (fd.revents != 0 && fd.fd == wakeFd) {
            // Consumed only after it was seen: a signal raised after this
            // read belongs to the next wait. A failed read means another
            // waiter took it first; it still was a wake.
            uint64_t count;
            Ignore(read(wakeFd, &count, sizeof count));
            reasons |= NL_WAKE_SIGNAL;
        } else if (fd.revents != 0) {
            reasons |= NL_WAKE_INPUT;
        }
    }
    return reasons;
}

void nlSignalWake(void)
{
    const int wakeFd = WakeDescriptor();
    uint64_t one = 1;
    if (wakeFd >= 0)   // fails only when the counter is full: the wait is raised anyway
        Ignore(write(wakeFd, &one, sizeof one));
}
