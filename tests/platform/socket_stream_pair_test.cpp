#include "platform/socket_stream_pair.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <sys/socket.h>

#include "host/loopback_listener.h"

namespace olvek {
namespace {

using namespace std::chrono_literals;
using host::Clock;

std::string readAll(InputStream& input) {
    std::string out;
    std::uint8_t byte;
    while (input.read(&byte, 1) == 1) out.push_back(static_cast<char>(byte));
    return out;
}

long writeText(OutputStream& output, const std::string& text) {
    return output.write(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

std::uint32_t portNobodyListensOn() {
    auto listener = host::LoopbackListener::listen();
    std::uint32_t port = listener->port();
    listener->close();
    return port;
}

class SocketStreamPairTest : public ::testing::Test {
protected:
    void SetUp() override {
        listener = host::LoopbackListener::listen();
        ASSERT_TRUE(listener);
        pair = createSocketStreamPair("127.0.0.1", listener->port());
        ASSERT_TRUE(pair.input && pair.output);
        pair.input->open();
        pair.output->open();
        peer = listener->accept(Clock::now() + 5s);
        ASSERT_TRUE(peer);
    }

    std::unique_ptr<host::LoopbackListener> listener;
    SocketStreamPair pair;
    std::unique_ptr<host::LineConnection> peer;
};

// A peer that writes to a reader that takes nothing is stopped after a few
// tens of KiB, not after the megabytes the system's default buffers hold.
TEST_F(SocketStreamPairTest, ASenderCannotRunFarAheadOfTheReader) {
    const int sendBuffer = 4096;
    ASSERT_EQ(::setsockopt(peer->fd(), SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer), 0);
    const std::string block(1024, 'x');
    std::size_t accepted = 0;
    // Non-blocking sends until the connection is full; the reader reads none.
    while (accepted < 8 * 1024 * 1024) {
        const ssize_t n = ::send(peer->fd(), block.data(), block.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n <= 0) break;
        accepted += static_cast<std::size_t>(n);
    }
    EXPECT_LE(accepted, 40u * 1024) << "bytes the connection took while nobody read";
    EXPECT_GT(accepted, 0u);
}

TEST_F(SocketStreamPairTest, ByteAtATimeReadsLoseNothingAndEndWithZero) {
    std::string sent;
    for (int i = 0; i < 200000; ++i) sent.push_back(static_cast<char>('a' + i % 26));
    sent += "\nlast";
    ASSERT_TRUE(peer->writeAll(sent));
    peer->shutdownWrite();
    EXPECT_EQ(readAll(*pair.input), sent);
    std::uint8_t byte;
    EXPECT_EQ(pair.input->read(&byte, 1), 0) << "the end of the stream stays the end";
}

TEST_F(SocketStreamPairTest, ReadsAskedForManyBytesGetWhatIsThere) {
    ASSERT_TRUE(peer->writeAll("hello"));
    std::uint8_t buffer[64];
    long n = pair.input->read(buffer, sizeof buffer);
    ASSERT_GE(n, 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), static_cast<std::size_t>(n)), std::string("hello").substr(0, static_cast<std::size_t>(n)));
}

TEST_F(SocketStreamPairTest, WritesArriveAtThePeer) {
    EXPECT_EQ(writeText(*pair.output, "line one\n"), 9);
    EXPECT_EQ(peer->readLine(Clock::now() + 5s), "line one");
}

TEST_F(SocketStreamPairTest, ThePeerHalfClosingEndsReadsButNotWrites) {
    peer->shutdownWrite();
    std::uint8_t byte;
    EXPECT_EQ(pair.input->read(&byte, 1), 0);
    EXPECT_EQ(writeText(*pair.output, "still here\n"), 11);
    EXPECT_EQ(peer->readLine(Clock::now() + 5s), "still here");
}

TEST_F(SocketStreamPairTest, ClosingTheInputLeavesWritingOpen) {
    pair.input->close();
    std::uint8_t byte;
    EXPECT_EQ(pair.input->read(&byte, 1), -1);
    EXPECT_EQ(writeText(*pair.output, "after input closed\n"), 19);
    EXPECT_EQ(peer->readLine(Clock::now() + 5s), "after input closed");
    pair.output->close();
    EXPECT_FALSE(peer->readLine(Clock::now() + 5s).has_value()) << "closing the output ends the peer's input";
    EXPECT_FALSE(peer->timedOut());
}

TEST_F(SocketStreamPairTest, WritingToAPeerThatIsGoneFailsWithoutSigpipe) {
    auto previous = std::signal(SIGPIPE, SIG_DFL);
    peer->close();
    long result = 1;
    for (int i = 0; i < 1000 && result > 0; ++i) result = writeText(*pair.output, std::string(4096, 'x'));
    EXPECT_EQ(result, -1);
    std::signal(SIGPIPE, previous);
}

struct UnusablePort {
    const char* name;
    std::uint32_t port;
    const char* host;
};

class SocketStreamPairFailure : public ::testing::TestWithParam<UnusablePort> {};

TEST_P(SocketStreamPairFailure, ReadsAndWritesAnswerMinusOne) {
    std::uint32_t port = GetParam().port == 1 ? portNobodyListensOn() : GetParam().port;
    auto pair = createSocketStreamPair(GetParam().host, port);
    ASSERT_TRUE(pair.input && pair.output) << "creation does not connect, so it does not fail";
    pair.input->open();
    pair.output->open();
    std::uint8_t byte;
    EXPECT_EQ(pair.input->read(&byte, 1), -1);
    EXPECT_EQ(writeText(*pair.output, "x\n"), -1);
}

INSTANTIATE_TEST_SUITE_P(Cases, SocketStreamPairFailure,
                         ::testing::Values(UnusablePort{"nobody_listening", 1, "127.0.0.1"},
                                           UnusablePort{"port_zero", 0, "127.0.0.1"},
                                           UnusablePort{"above_16_bits", 65536 + 80, "127.0.0.1"},
                                           UnusablePort{"largest_32_bit", 4294967295u, "127.0.0.1"},
                                           UnusablePort{"host_not_numeric", 80, "localhost"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SocketStreamPairUnopened, ReadBeforeOpenWaitsForNothingAndFails) {
    auto listener = host::LoopbackListener::listen();
    auto pair = createSocketStreamPair("127.0.0.1", listener->port());
    std::uint8_t byte;
    EXPECT_EQ(pair.input->read(&byte, 1), -1);
}

} // namespace
} // namespace olvek
