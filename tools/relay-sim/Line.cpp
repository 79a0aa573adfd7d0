#include "Line.h"

#include <cerrno>
#include <poll.h>
#include <unistd.h>

namespace relaysim {

void WriteAll(int fd, std::span<const uint8_t> bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            // Room comes back only when the monitor reads; wait a little, in
            // case it is just slow, rather than spin or block for good.
            pollfd pfd{fd, POLLOUT, 0};
            if (::poll(&pfd, 1, 100) <= 0)
                return;
        } else {
            return;
        }
    }
}

bool DrainInput(int fd)
{
    uint8_t buffer[256];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0 || (n < 0 && errno == EINTR))
            continue;
        return n < 0 && errno == EAGAIN;
    }
}

} // namespace relaysim
