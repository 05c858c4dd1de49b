#include "stop_request.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace olvek::host {

static_assert(std::atomic<bool>::is_always_lock_free, "a signal handler sets it");

StopRequest::StopRequest() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
        readFd_ = fds[0];
        writeFd_ = fds[1];
    }
}

StopRequest::~StopRequest() {
    if (readFd_ >= 0) ::close(readFd_);
    if (writeFd_ >= 0) ::close(writeFd_);
}

void StopRequest::request() noexcept {
    int saved = errno; // a signal handler must leave errno as it found it
    requested_.store(true);
    // The byte is never read, so the pipe stays readable. A full pipe (many
    // requests) is already readable: the failed write does not matter.
    if (writeFd_ >= 0) {
        char byte = 1;
        [[maybe_unused]] ssize_t ignored = ::write(writeFd_, &byte, 1);
    }
    errno = saved;
}

bool StopRequest::waitFor(std::chrono::milliseconds timeout) const {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!requested()) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) return false;
        pollfd p{readFd_, POLLIN, 0};
        ::poll(&p, readFd_ >= 0 ? 1 : 0, static_cast<int>(std::min<long long>(left, 1'000'000)));
    }
    return true;
}

} // namespace olvek::host
