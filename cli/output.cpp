#include "cli/output.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

void FdOutput::Write(std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = write(fd_, text.data(), text.size());
        if (n > 0) {
            text.remove_prefix(size_t(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            // Someone left the descriptor non-blocking; wait for room rather than spin.
            pollfd room{fd_, POLLOUT, 0};
            if (poll(&room, 1, 1000) <= 0) return;
        } else {
            return;
        }
    }
}
