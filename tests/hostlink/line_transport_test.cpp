#include "hostlink/line_transport.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>

#include "fakes/memory_streams.h"
#include "host/loopback_listener.h"

namespace olvek {
namespace {

using namespace std::chrono_literals;
using testing::MemoryInputStream;
using testing::MemoryOutputStream;
using Lines = std::vector<std::optional<std::string>>;

class LineTransport : public ::testing::Test {
protected:
    void TearDown() override {
        socketInputStream.reset();
        socketOutputStream.reset();
        streamPairFactory = &createSocketStreamPair;
    }

    static Lines readLines(std::size_t count) {
        Lines out;
        for (std::size_t i = 0; i < count; ++i) out.push_back(readSocketLine());
        return out;
    }
};

struct FramingCase {
    const char* name;
    std::string bytes;
    long endResult; // what the stream answers after its bytes: 0 end, -1 error
    Lines expected; // successive readSocketLine results
};

const std::vector<FramingCase> kFramingCases = {
    {"crlf", "abc\r\n", 0, {"abc", std::nullopt}},
    {"cr_inside_line", "a\rbc\n", 0, {"abc", std::nullopt}},
    {"lone_lf", "\n", 0, {"", std::nullopt}},
    {"lone_crlf", "\r\n", 0, {"", std::nullopt}},
    {"only_crs", "\r\r\r", 0, {std::nullopt}},
    {"last_line_unterminated", "abc", 0, {"abc", std::nullopt}},
    {"ends_after_lf", "abc\n", 0, {"abc", std::nullopt, std::nullopt}},
    {"empty_stream", "", 0, {std::nullopt}},
    {"several_lines", "one\n\ntwo\r\nthree", 0, {"one", "", "two", "three", std::nullopt}},
    {"error_mid_line", "ab", -1, {std::nullopt}},
    {"error_after_a_line", "ok\nab", -1, {"ok", std::nullopt}},
    {"invalid_utf8_line", "a\xFF" "b\nnext\n", 0, {std::nullopt, "next"}},
    {"overlong_utf8", "\xC0\xAF\n", 0, {std::nullopt}},
    {"valid_utf8", "\xE4\xBD\xA0\xE5\xA5\xBD\n", 0, {"\xE4\xBD\xA0\xE5\xA5\xBD"}},
    {"nul_byte_kept", std::string("a\0b\n", 4), 0, {std::string("a\0b", 3)}},
};

class LineFraming : public LineTransport, public ::testing::WithParamInterface<FramingCase> {};

TEST_P(LineFraming, OverAnInMemoryStream) {
    socketInputStream = std::make_shared<MemoryInputStream>(GetParam().bytes, GetParam().endResult);
    EXPECT_EQ(readLines(GetParam().expected.size()), GetParam().expected);
}

// The same bytes through a real connection, one send per byte so that lines
// arrive split across many segments. An error is a connection reset.
TEST_P(LineFraming, OverARealConnectionSentByteByByte) {
    auto listener = host::LoopbackListener::listen();
    auto pair = createSocketStreamPair("127.0.0.1", listener->port());
    pair.input->open();
    auto peer = listener->accept(host::Clock::now() + 5s);
    ASSERT_TRUE(peer);
    socketInputStream = pair.input;
    std::thread sender([&] {
        for (char c : GetParam().bytes) {
            peer->writeAll(std::string(1, c));
            std::this_thread::sleep_for(200us);
        }
        if (GetParam().endResult == 0) {
            peer->shutdownWrite();
        } else {
            std::this_thread::sleep_for(20ms);
            linger reset{1, 0};
            ::setsockopt(peer->fd(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            peer->close();
        }
    });
    auto lines = readLines(GetParam().expected.size());
    sender.join();
    EXPECT_EQ(lines, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, LineFraming, ::testing::ValuesIn(kFramingCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(LineTransport, ManyLinesInOneSendAllArriveInOrder) {
    auto listener = host::LoopbackListener::listen();
    auto pair = createSocketStreamPair("127.0.0.1", listener->port());
    pair.input->open();
    auto peer = listener->accept(host::Clock::now() + 5s);
    std::string bytes;
    for (int i = 0; i < 5000; ++i) bytes += "line " + std::to_string(i) + "\r\n";
    ASSERT_TRUE(peer->writeAll(bytes));
    peer->shutdownWrite();
    socketInputStream = pair.input;
    for (int i = 0; i < 5000; ++i) ASSERT_EQ(readSocketLine(), "line " + std::to_string(i));
    EXPECT_EQ(readSocketLine(), std::nullopt);
}

TEST_F(LineTransport, AVeryLongLineIsReadWhole) {
    std::string line(3 * 1024 * 1024, 'A');
    socketInputStream = std::make_shared<MemoryInputStream>(line + "\nB\n");
    EXPECT_EQ(readSocketLine(), line);
    EXPECT_EQ(readSocketLine(), "B");
}

TEST_F(LineTransport, ReadingWithoutAConnectionGivesNoLine) {
    EXPECT_EQ(readSocketLine(), std::nullopt);
}

TEST_F(LineTransport, WriteLineWithoutAConnectionPrintsToStandardOutput) {
    ::testing::internal::CaptureStdout();
    writeLine("x");
    writeLine("");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "x\n\n");
}

struct WriteCase {
    const char* name;
    std::size_t maxPerWrite;
    std::deque<long> results;
    std::string written; // after writeLine("abc") and writeLine("de")
};

class WriteLineTest : public LineTransport, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(WriteLineTest, WritesWholeLinesOrDropsTheRest) {
    auto output = std::make_shared<MemoryOutputStream>();
    output->maxPerWrite = GetParam().maxPerWrite;
    output->results = GetParam().results;
    socketOutputStream = output;
    writeLine("abc");
    writeLine("de");
    EXPECT_EQ(output->written, GetParam().written);
}

INSTANTIATE_TEST_SUITE_P(Cases, WriteLineTest,
                         ::testing::Values(WriteCase{"whole", 1000, {}, "abc\nde\n"},
                                           WriteCase{"one_byte_per_write", 1, {}, "abc\nde\n"},
                                           WriteCase{"partial_then_rest", 1000, {2}, "abc\nde\n"},
                                           WriteCase{"zero_drops_the_line", 1000, {0}, "de\n"},
                                           WriteCase{"error_drops_the_line", 1000, {-1}, "de\n"},
                                           WriteCase{"error_after_part", 1000, {2, -1}, "abde\n"},
                                           WriteCase{"both_fail", 1000, {-1, -1}, ""}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(LineTransport, WriteLineOfTheEmptyTextWritesOneLineFeed) {
    auto output = std::make_shared<MemoryOutputStream>();
    socketOutputStream = output;
    writeLine("");
    EXPECT_EQ(output->written, "\n");
}

SocketStreamPair noInput(const std::string&, std::uint32_t) {
    return {nullptr, std::make_shared<MemoryOutputStream>()};
}
SocketStreamPair noOutput(const std::string&, std::uint32_t) {
    return {std::make_shared<MemoryInputStream>(""), nullptr};
}

TEST_F(LineTransport, ConnectFailsWithNothingStoredWhenAStreamIsMissing) {
    for (auto factory : {&noInput, &noOutput}) {
        streamPairFactory = factory;
        ::testing::internal::CaptureStdout();
        EXPECT_FALSE(connectSocket(5000, "tok"));
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "") << "no hello anywhere";
        EXPECT_FALSE(socketInputStream);
        EXPECT_FALSE(socketOutputStream);
    }
}

TEST_F(LineTransport, ConnectSendsHelloAsTheFirstLine) {
    auto listener = host::LoopbackListener::listen();
    ASSERT_TRUE(connectSocket(listener->port(), "t\"ok"));
    auto peer = listener->accept(host::Clock::now() + 5s);
    ASSERT_TRUE(peer);
    EXPECT_EQ(peer->readLine(host::Clock::now() + 5s), R"({"type":"hello","token":"t\"ok"})");
    EXPECT_TRUE(socketInputStream && socketOutputStream);
}

TEST_F(LineTransport, ConnectToAPortNobodyListensOnStillSucceedsAndReadsEnd) {
    auto listener = host::LoopbackListener::listen();
    std::uint32_t port = listener->port();
    listener->close();
    EXPECT_TRUE(connectSocket(port, "tok"));
    EXPECT_EQ(readSocketLine(), std::nullopt);
}

} // namespace
} // namespace olvek
