// The host's side of the connection on real loopback sockets: the send
// buffer every accepted connection inherits, writes that a stop cuts short,
// and the stop request itself.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "host/loopback_listener.h"
#include "host/stop_request.h"

namespace olvek::host {
namespace {

using namespace std::chrono_literals;

// A peer connected to the listener with a tiny receive buffer (set before it
// connects, so it holds), which reads only when asked to.
class Peer {
public:
    explicit Peer(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        int tiny = 4096;
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &tiny, sizeof tiny);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~Peer() { close(); }
    bool connected() const { return connected_; }
    // Reads until `count` bytes have come or the stream ends.
    std::size_t read(std::size_t count) {
        std::vector<char> buffer(65536);
        std::size_t got = 0;
        while (got < count) {
            ssize_t n = ::recv(fd_, buffer.data(), std::min(buffer.size(), count - got), 0);
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
        return got;
    }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
    bool connected_ = false;
};

int sendBufferOf(int fd) {
    int size = 0;
    socklen_t length = sizeof size;
    ::getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, &length);
    return size;
}

// The listener's send buffer must reach the connections it accepts, and stay
// as small as asked even after traffic that would make the kernel grow a
// buffer of its own choosing; then a peer that stops reading holds a writer
// back after about that much.
TEST(LoopbackListener, AcceptedConnectionsKeepTheSmallSendBufferAndAWriterStopsSoonAfterIt) {
    struct Row {
        const char* name;
        int sendBufferBytes;
    };
    for (const Row& row : {Row{"16 KiB", 16 * 1024}, Row{"64 KiB", 64 * 1024}}) {
        auto listener = LoopbackListener::listen(0, row.sendBufferBytes);
        ASSERT_TRUE(listener) << row.name;
        Peer peer(listener->port());
        ASSERT_TRUE(peer.connected()) << row.name;
        auto connection = listener->accept(Clock::now() + 10s);
        ASSERT_TRUE(connection) << row.name;

        // 4 MB through a reading peer first.
        const std::string block(4 << 20, 'a');
        std::size_t received = 0;
        std::thread reader([&] { received = peer.read(block.size()); });
        EXPECT_TRUE(connection->writeAll(block)) << row.name;
        reader.join();
        ASSERT_EQ(received, block.size()) << row.name;
        // Linux keeps twice the size asked for, for its bookkeeping (socket(7)).
        EXPECT_EQ(sendBufferOf(connection->fd()), 2 * row.sendBufferBytes) << row.name;

        // Now the peer reads nothing: a write goes only as far as the buffers
        // take it (a stop that is already requested ends it at the first wait).
        StopRequest stop;
        stop.request();
        std::size_t written = 0;
        EXPECT_EQ(connection->write(block, written, stop.fd()), LineConnection::WriteEnd::Interrupted) << row.name;
        EXPECT_GT(written, 0u) << row.name;
        // Its own buffer, the peer's tiny one (4 KiB, doubled), and a margin
        // for one segment the kernel lets past its limit.
        EXPECT_LE(written, static_cast<std::size_t>(2 * row.sendBufferBytes + 8 * 1024 + 64 * 1024)) << row.name;
    }
}

// How a write ends, by the peer and the stop.
TEST(LineConnectionWrite, EndsWrittenCutShortByAStopOrWithThePeerGone) {
    enum class PeerDoes { Reads, Stalls, Closes };
    struct Row {
        const char* name;
        PeerDoes peer;
        bool stopRequested;
        std::size_t bytes;
        LineConnection::WriteEnd end;
    };
    using End = LineConnection::WriteEnd;
    const Row rows[] = {
        {"a reading peer takes it all", PeerDoes::Reads, false, 8 << 20, End::Written},
        {"a stop does not cut a write that need not wait", PeerDoes::Stalls, true, 1024, End::Written},
        {"a stop cuts a write that must wait for a stalled peer", PeerDoes::Stalls, true, 8 << 20, End::Interrupted},
        {"a peer that has gone", PeerDoes::Closes, false, 8 << 20, End::PeerGone},
    };
    for (const Row& row : rows) {
        auto listener = LoopbackListener::listen(0, 16 * 1024);
        ASSERT_TRUE(listener) << row.name;
        Peer peer(listener->port());
        auto connection = listener->accept(Clock::now() + 10s);
        ASSERT_TRUE(connection) << row.name;
        StopRequest stop;
        if (row.stopRequested) stop.request();

        const std::string bytes(row.bytes, 'b');
        std::size_t received = 0;
        std::thread reader;
        if (row.peer == PeerDoes::Reads) reader = std::thread([&] { received = peer.read(bytes.size()); });
        if (row.peer == PeerDoes::Closes) peer.close();
        std::size_t written = 0;
        EXPECT_EQ(connection->write(bytes, written, stop.fd()), row.end) << row.name;
        if (reader.joinable()) reader.join();

        if (row.end == End::Written) {
            EXPECT_EQ(written, bytes.size()) << row.name;
        }
        if (row.end == End::Interrupted) {
            EXPECT_LT(written, bytes.size()) << row.name;
        }
        if (row.peer == PeerDoes::Reads) {
            EXPECT_EQ(received, bytes.size()) << row.name;
        }
    }
}

TEST(StopRequest, OnceRequestedEveryWaitSeesIt) {
    StopRequest stop;
    ASSERT_TRUE(stop.valid());
    pollfd before{stop.fd(), POLLIN, 0};
    EXPECT_EQ(::poll(&before, 1, 0), 0) << "readable before any request";
    EXPECT_FALSE(stop.requested());
    EXPECT_FALSE(stop.waitFor(1ms));

    stop.request();
    stop.request(); // a second request changes nothing
    EXPECT_TRUE(stop.requested());
    for (int look = 0; look < 3; ++look) {
        pollfd after{stop.fd(), POLLIN, 0};
        EXPECT_EQ(::poll(&after, 1, 0), 1) << "look " << look << ": the request must stay readable";
    }
    // Hang guard only: a requested stop returns at once.
    EXPECT_TRUE(stop.waitFor(std::chrono::hours(1)));
}

} // namespace
} // namespace olvek::host
