#include "loopback_listener.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace olvek::host {
namespace {

enum class Wait { Ready, TimedOut, Failed };

// Waits until `fd` is ready for `events` or `deadline` has passed.
Wait waitReady(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        int timeoutMs = -1;
        if (deadline != Clock::time_point::max()) {
            // Rounded up: poll must not come back before the deadline, or a
            // caller would take the early return for an error.
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left < 0) left = 0;
            timeoutMs = left > 1'000'000'000 ? 1'000'000'000 : static_cast<int>(left);
        }
        pollfd p{fd, events, 0};
        int rc = ::poll(&p, 1, timeoutMs);
        if (rc > 0) return Wait::Ready;
        if (rc == 0 && Clock::now() >= deadline) return Wait::TimedOut;
        if (rc < 0 && errno != EINTR) return Wait::Failed;
    }
}

} // namespace

LineConnection::LineConnection(int fd) : fd_(fd) {}

LineConnection::~LineConnection() { close(); }

std::optional<std::string> LineConnection::readLine(Clock::time_point deadline) {
    timedOut_ = false;
    for (;;) {
        auto newline = pending_.find('\n');
        if (newline != std::string::npos) {
            std::string line = pending_.substr(0, newline);
            pending_.erase(0, newline + 1);
            return line;
        }
        if (fd_ < 0) return std::nullopt;
        if (Wait result = waitReady(fd_, POLLIN, deadline); result != Wait::Ready) {
            timedOut_ = result == Wait::TimedOut;
            return std::nullopt;
        }
        char buffer[65536];
        ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::nullopt;
        pending_.append(buffer, static_cast<std::size_t>(n));
    }
}

std::optional<std::string> LineConnection::readLineNow(bool& open) {
    open = true;
    auto takeLine = [this]() -> std::optional<std::string> {
        auto newline = pending_.find('\n');
        if (newline == std::string::npos) return std::nullopt;
        std::string line = pending_.substr(0, newline);
        pending_.erase(0, newline + 1);
        return line;
    };
    if (auto line = takeLine()) return line;
    if (fd_ < 0) {
        open = false;
        return std::nullopt;
    }
    char buffer[4096];
    ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) {
        pending_.append(buffer, static_cast<std::size_t>(n));
        return takeLine();
    }
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) open = false;
    return std::nullopt;
}

LineConnection::WriteEnd LineConnection::write(std::string_view bytes, std::size_t& written, int interruptFd) {
    bool waited = false;
    while (written < bytes.size()) {
        // After a wait (which a signal may have ended) the interruption is
        // looked at before anything more goes: a full side can still take a
        // little without being ready for writing again.
        if (waited && interruptFd >= 0) {
            pollfd interrupt{interruptFd, POLLIN, 0};
            if (::poll(&interrupt, 1, 0) > 0) return WriteEnd::Interrupted;
        }
        ssize_t n = ::send(fd_, bytes.data() + written, bytes.size() - written, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            written += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return WriteEnd::PeerGone;
        // Full: wait for room, or for the interruption. Both are looked at
        // together, so an interruption that came before the wait is seen.
        pollfd fds[2] = {{fd_, POLLOUT, 0}, {interruptFd, POLLIN, 0}};
        if (::poll(fds, interruptFd >= 0 ? 2 : 1, -1) < 0 && errno != EINTR) return WriteEnd::PeerGone;
        waited = true;
    }
    return WriteEnd::Written;
}

bool LineConnection::writeAll(std::string_view bytes) {
    std::size_t written = 0;
    return write(bytes, written) == WriteEnd::Written;
}

void LineConnection::shutdownWrite() {
    if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
}

void LineConnection::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

std::unique_ptr<LoopbackListener> LoopbackListener::listen(std::uint16_t port, int sendBufferBytes) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    // Set before listen(): a connection accepted on Linux is a clone of the
    // listening socket and inherits its send buffer, and with it the lock
    // that keeps the kernel from growing it.
    if (sendBufferBytes > 0 &&
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBufferBytes, sizeof sendBufferBytes) != 0) {
        ::close(fd);
        return nullptr;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<LoopbackListener>(new LoopbackListener(fd, ntohs(address.sin_port)));
}

LoopbackListener::~LoopbackListener() { close(); }

std::unique_ptr<LineConnection> LoopbackListener::accept(Clock::time_point deadline) {
    for (;;) {
        if (fd_ < 0 || waitReady(fd_, POLLIN, deadline) != Wait::Ready) return nullptr;
        int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client >= 0) return std::make_unique<LineConnection>(client);
        if (errno != EINTR && errno != ECONNABORTED) return nullptr;
    }
}

void LoopbackListener::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

} // namespace olvek::host
