#include "socket_stream_pair.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace olvek {
namespace {

constexpr std::size_t kReceiveBufferSize = 64 * 1024;

// The one socket behind both streams. Connecting starts at the first `open`
// and completes lazily, under `mutex`, at the first read or write.
class Connection {
public:
    Connection(int fd, bool addressUsable, sockaddr_in address)
        : fd_(fd), addressUsable_(addressUsable), address_(address) {}

    ~Connection() {
        if (fd_ >= 0) ::close(fd_);
    }

    void start() {
        std::lock_guard<std::mutex> guard(mutex_);
        if (state_ != State::Unopened) return;
        if (!addressUsable_) {
            state_ = State::Failed;
            return;
        }
        int flags = ::fcntl(fd_, F_GETFL);
        ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
        int rc;
        do {
            rc = ::connect(fd_, reinterpret_cast<const sockaddr*>(&address_), sizeof address_);
        } while (rc != 0 && errno == EINTR);
        if (rc == 0) {
            finishConnectLocked(flags);
        } else if (errno == EINPROGRESS) {
            blockingFlags_ = flags;
            state_ = State::Pending;
        } else {
            state_ = State::Failed;
        }
    }

    // Waits for a pending connect; answers whether the socket is usable.
    bool ready() {
        std::lock_guard<std::mutex> guard(mutex_);
        if (state_ == State::Pending) {
            pollfd p{fd_, POLLOUT, 0};
            int rc;
            do {
                rc = ::poll(&p, 1, -1);
            } while (rc < 0 && errno == EINTR);
            int error = 0;
            socklen_t len = sizeof error;
            if (rc < 0 || ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0) {
                state_ = State::Failed;
            } else {
                finishConnectLocked(blockingFlags_);
            }
        }
        return state_ == State::Connected;
    }

    int fd() const { return fd_; }

    void shutdownDirection(int how) {
        std::lock_guard<std::mutex> guard(mutex_);
        if (state_ == State::Connected) ::shutdown(fd_, how);
    }

private:
    enum class State { Unopened, Pending, Connected, Failed };

    void finishConnectLocked(int blockingFlags) {
        ::fcntl(fd_, F_SETFL, blockingFlags & ~O_NONBLOCK);
        int one = 1;
        // Event lines are small and latency matters more than packet count.
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        state_ = State::Connected;
    }

    int fd_;
    bool addressUsable_;
    sockaddr_in address_;
    int blockingFlags_ = 0;
    State state_ = State::Unopened;
    std::mutex mutex_;
};

class SocketInputStream final : public InputStream {
public:
    explicit SocketInputStream(std::shared_ptr<Connection> connection)
        : connection_(std::move(connection)), buffer_(kReceiveBufferSize) {}

    void open() override { connection_->start(); }

    long read(std::uint8_t* out, std::size_t maxLength) override {
        if (maxLength == 0) return 0;
        if (closed_ || !connection_->ready()) return -1;
        if (begin_ == end_) {
            if (atEnd_) return 0;
            ssize_t n;
            do {
                n = ::recv(connection_->fd(), buffer_.data(), buffer_.size(), 0);
            } while (n < 0 && errno == EINTR);
            if (n < 0) return -1;
            if (n == 0) {
                atEnd_ = true;
                return 0;
            }
            begin_ = 0;
            end_ = static_cast<std::size_t>(n);
        }
        std::size_t count = std::min(maxLength, end_ - begin_);
        std::copy(buffer_.begin() + static_cast<std::ptrdiff_t>(begin_),
                  buffer_.begin() + static_cast<std::ptrdiff_t>(begin_ + count), out);
        begin_ += count;
        return static_cast<long>(count);
    }

    void close() override {
        if (closed_) return;
        closed_ = true;
        connection_->shutdownDirection(SHUT_RD);
        connection_.reset();
    }

private:
    std::shared_ptr<Connection> connection_;
    std::vector<std::uint8_t> buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    bool atEnd_ = false;
    bool closed_ = false;
};

class SocketOutputStream final : public OutputStream {
public:
    explicit SocketOutputStream(std::shared_ptr<Connection> connection)
        : connection_(std::move(connection)) {}

    void open() override { connection_->start(); }

    long write(const std::uint8_t* bytes, std::size_t maxLength) override {
        if (maxLength == 0) return 0;
        if (closed_ || !connection_->ready()) return -1;
        ssize_t n;
        do {
            n = ::send(connection_->fd(), bytes, maxLength, MSG_NOSIGNAL);
        } while (n < 0 && errno == EINTR);
        return n < 0 ? -1 : static_cast<long>(n);
    }

    void close() override {
        if (closed_) return;
        closed_ = true;
        connection_->shutdownDirection(SHUT_WR);
        connection_.reset();
    }

private:
    std::shared_ptr<Connection> connection_;
    bool closed_ = false;
};

} // namespace

SocketStreamPair createSocketStreamPair(const std::string& host, std::uint32_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return {};
    // Set before connecting, so the window offered to the host stays small.
    // A failure leaves the system's default, which only buffers more.
    const int receiveBuffer = kReceiveBufferBytes;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    bool usable = port <= 65535 && ::inet_pton(AF_INET, host.c_str(), &address.sin_addr) == 1;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    auto connection = std::make_shared<Connection>(fd, usable, address);
    return {std::make_shared<SocketInputStream>(connection), std::make_shared<SocketOutputStream>(connection)};
}

} // namespace olvek
