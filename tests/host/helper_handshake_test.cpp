// The wait for the helper's connection, with clients on real loopback sockets.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "host/helper_handshake.h"

namespace olvek::host {
namespace {

using namespace std::chrono_literals;

const std::string kToken = "c0ffee00c0ffee00c0ffee00c0ffee00";
const std::string kHello = R"({"type":"hello","token":")" + kToken + "\"}";

// A client socket connected to the listener; closed with the object.
class Client {
public:
    explicit Client(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~Client() { ::close(fd_); }
    bool connected() const { return connected_; }
    void send(const std::string& bytes) { ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size())); }
    // True when the host has closed this connection.
    bool closedByHost() {
        char byte;
        timeval wait{5, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        // A close with unread bytes arrives as a reset rather than an end.
        ssize_t n = ::recv(fd_, &byte, 1, 0);
        return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
    }

private:
    int fd_;
    bool connected_ = false;
};

TEST(HelloCheck, OnlyAHelloWithTheExactTokenPasses) {
    struct Case {
        std::string line;
        bool accepted;
    };
    const Case cases[] = {
        {kHello, true},
        {R"({"token":")" + kToken + R"(","type":"hello"})", true}, // key order is free
        {R"({"type":"hello","token":")" + kToken + "x\"}", false},
        {R"({"type":"hello","token":")" + kToken.substr(1) + "\"}", false},
        {R"({"type":"hello","token":""})", false},
        {R"({"type":"hello"})", false},
        {R"({"type":"ready","token":")" + kToken + "\"}", false},
        {R"({"type":"Hello","token":")" + kToken + "\"}", false},
        {R"({"type":"hello","token":["c0ffee"]})", false},
        {"[\"hello\",\"" + kToken + "\"]", false},
        {kToken, false},
        {"", false},
        {kHello + "}", false},
    };
    for (const auto& c : cases) EXPECT_EQ(isHelloWithToken(c.line, kToken), c.accepted) << c.line;
}

TEST(AcceptHelper, ImpostorsAreTurnedAwayAndTheHelperIsTaken) {
    // Each impostor connects before the helper and behaves badly in its own way.
    const std::vector<std::string> impostorLines{
        R"({"type":"hello","token":"guess"})" "\n",
        "not json at all\n",
        "\n",
        std::string(10'000, 'A'), // an endless first line
    };
    auto listener = LoopbackListener::listen();
    ASSERT_TRUE(listener);
    std::vector<std::unique_ptr<Client>> impostors;
    for (const auto& line : impostorLines) {
        impostors.push_back(std::make_unique<Client>(listener->port()));
        ASSERT_TRUE(impostors.back()->connected());
        impostors.back()->send(line);
    }
    auto quitter = std::make_unique<Client>(listener->port()); // connects and goes away
    quitter.reset();
    Client helper(listener->port());
    // "ready" in the same packet as the hello must survive the handshake.
    helper.send(kHello + "\n{\"type\":\"ready\"}\n");

    auto outcome = acceptHelper(*listener, kToken, Clock::now() + 10s);
    ASSERT_TRUE(outcome.connection);
    EXPECT_EQ(outcome.hello, kHello);
    EXPECT_EQ(outcome.connection->readLine(Clock::now() + 5s), "{\"type\":\"ready\"}");
    EXPECT_EQ(outcome.rejected, 5);
    for (auto& impostor : impostors) EXPECT_TRUE(impostor->closedByHost());
}

TEST(AcceptHelper, ASilentConnectionDoesNotHoldUpTheHelper) {
    auto listener = LoopbackListener::listen();
    Client silent(listener->port());
    Client helper(listener->port());
    helper.send(kHello + "\n");
    // Were candidates served one after another, the silent one would use up
    // the whole wait: its own limit is far longer than the overall deadline.
    HandshakeLimits limits;
    limits.perConnection = 60s;
    auto outcome = acceptHelper(*listener, kToken, Clock::now() + 5s, {}, limits);
    ASSERT_TRUE(outcome.connection);
    EXPECT_TRUE(silent.closedByHost()) << "turned away once the helper is in";
}

TEST(AcceptHelper, ASilentConnectionIsDroppedAfterItsLimitAndWaitingGoesOn) {
    auto listener = LoopbackListener::listen();
    Client silent(listener->port());
    std::thread late([&] {
        // Connects only after the silent one's limit has passed.
        std::this_thread::sleep_for(400ms);
        Client helper(listener->port());
        helper.send(kHello + "\n");
        std::this_thread::sleep_for(2s);
    });
    HandshakeLimits limits;
    limits.perConnection = 100ms;
    auto outcome = acceptHelper(*listener, kToken, Clock::now() + 10s, {}, limits);
    late.join();
    ASSERT_TRUE(outcome.connection);
    EXPECT_EQ(outcome.rejected, 1);
}

TEST(AcceptHelper, GivesUpAtTheDeadlineOrWhenAskedTo) {
    auto listener = LoopbackListener::listen();
    Client impostor(listener->port());
    impostor.send("{\"type\":\"hello\",\"token\":\"x\"}\n");
    auto timedOut = acceptHelper(*listener, kToken, Clock::now() + 300ms);
    EXPECT_FALSE(timedOut.connection);
    EXPECT_EQ(timedOut.rejected, 1);

    int asked = 0;
    auto abandoned = acceptHelper(*listener, kToken, Clock::now() + 60s, [&] { return ++asked == 3; });
    EXPECT_FALSE(abandoned.connection);
    EXPECT_EQ(asked, 3);
}

TEST(AcceptHelper, AHelloThatArrivedBeforeGivingUpIsStillTaken) {
    // A helper that connects, greets and exits at once (status 2 or 3): by the
    // time the host sees the exit, the hello is already waiting.
    auto listener = LoopbackListener::listen();
    Client silent(listener->port());
    Client impostor(listener->port());
    impostor.send("{\"type\":\"hello\",\"token\":\"x\"}\n");
    auto helper = std::make_unique<Client>(listener->port());
    helper->send(kHello + "\n{\"type\":\"error\",\"message\":\"m\"}\n");
    helper.reset();
    auto outcome = acceptHelper(*listener, kToken, Clock::now() + 60s, [] { return true; });
    ASSERT_TRUE(outcome.connection);
    EXPECT_EQ(outcome.connection->readLine(Clock::now() + 5s), "{\"type\":\"error\",\"message\":\"m\"}");
    EXPECT_FALSE(outcome.connection->readLine(Clock::now() + 5s));

    // Nothing waiting: giving up is immediate, the silent one is not waited for.
    auto nothing = acceptHelper(*listener, kToken, Clock::now() + 60s, [] { return true; });
    EXPECT_FALSE(nothing.connection);
}

} // namespace
} // namespace olvek::host
