#include "stoppable_input.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "store.h"

namespace ru {

StoppableInput::int_type StoppableInput::underflow() {
    if (gptr() < egptr()) {
        return traits_type::to_int_type(*gptr());
    }
    for (;;) {
        pollfd fds[2] = {{stopFd_, POLLIN, 0}, {fd_, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return traits_type::eof();
        }
        if (fds[0].revents != 0) {
            throw ImportCancelled();
        }
        const ssize_t n = ::read(fd_, buffer_, sizeof buffer_);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (n <= 0) {
            return traits_type::eof();
        }
        setg(buffer_, buffer_, buffer_ + n);
        return traits_type::to_int_type(*gptr());
    }
}

}  // namespace ru
