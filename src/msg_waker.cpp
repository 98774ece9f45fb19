#include "msg_waker.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

int msg_waker_init(msg_waker* waker)
{
    waker->signalled.store(false);
    waker->fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    return waker->fd < 0 ? -1 : 0;
}

void msg_waker_destroy(msg_waker* waker)
{
    if (waker->fd >= 0)
        close(waker->fd);
    waker->fd = -1;
}

void msg_waker_signal(msg_waker* waker)
{
    if (waker->fd < 0 || waker->signalled.exchange(true))
        return;
    uint64_t one = 1;
    // Fails only when the counter is saturated, which still wakes.
    [[maybe_unused]] ssize_t n = write(waker->fd, &one, sizeof one);
}

void msg_waker_clear(msg_waker* waker)
{
    // Read first, then clear: a signal given between the two writes the
    // descriptor again, so the consumer wakes once more rather than never.
    uint64_t count;
    [[maybe_unused]] ssize_t n = read(waker->fd, &count, sizeof count);
    waker->signalled.store(false);
}

void msg_waker_wait(msg_waker* waker, int timeout_ms)
{
    pollfd p{waker->fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) > 0)
        msg_waker_clear(waker);
}
