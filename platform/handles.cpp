#include "platform/handles.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

void CloseHandle(int handle)
{
    if (handle >= 0)
        ::close(handle);
}

bool WriteAll(int handle, const void* data, std::size_t size)
{
    const char* next = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(handle, next, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            errno = ENOSPC;
        if (n <= 0)
            return false;
        next += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool HasRoomToWrite(std::FILE* out)
{
    pollfd probe{::fileno(out), POLLOUT, 0};
    return ::poll(&probe, 1, 0) == 1 && (probe.revents & POLLOUT) && !(probe.revents & (POLLERR | POLLHUP));
}

}  // namespace platform
