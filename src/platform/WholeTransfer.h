#pragma once

#include <cerrno>
#include <cstddef>
#include <sys/types.h>

// How far a transfer of a whole length got, and why it stopped short.
struct Transferred {
    size_t bytes = 0;
    // The errno of the call that failed; 0 when one moved nothing (end of file, peer gone).
    int error = 0;
};

// The one loop over a system call that may move part of what it is given (read, write, pread,
// pwrite, send, recv): `step(done)` moves some of what is left after `done` bytes. Repeats until
// `length` bytes have moved, a call fails, or one moves nothing; an interrupted call is retried.
template <typename Step> Transferred transferWhole(size_t length, Step step)
{
    Transferred moved;
    while (moved.bytes < length) {
        const ssize_t n = step(moved.bytes);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            moved.error = errno;
            break;
        }
        if (n == 0)
            break;
        moved.bytes += size_t(n);
    }
    return moved;
}
