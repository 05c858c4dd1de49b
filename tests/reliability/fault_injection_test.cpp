// The helper under hosts that misbehave: killed mid-stream, no longer
// reading, sending garbage, or flooding it with audio.
#include <gtest/gtest.h>

#include <csignal>
#include <random>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "e2e/scripted_run.h"
#include "fakes/quiet_room.h"
#include "reliability_support.h"

namespace olvek::testing {
namespace {

constexpr const char* kClip = "sense_and_sensibility_01_austen_64kb-0870";

struct Launched {
    std::unique_ptr<host::LoopbackListener> listener;
    std::optional<host::ChildProcess> helper;
    std::unique_ptr<host::LineConnection> connection;
};

// Starts `helper` and takes its connection up to "ready", without a reader.
Launched launchRaw(const std::string& helper, const std::vector<std::string>& environment = {}) {
    Launched run;
    run.listener = host::LoopbackListener::listen();
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    env.insert(env.end(), environment.begin(), environment.end());
    auto child = host::ChildProcess::spawn({helper, "en", "--olvek-socket-port", std::to_string(run.listener->port()),
                                            "--olvek-socket-token", "t"},
                                           env);
    if (!child) return run;
    run.helper.emplace(std::move(*child));
    run.connection = run.listener->accept(Clock::now() + 20s);
    if (!run.connection) return run;
    for (int i = 0; i < 2; ++i) {
        if (!run.connection->readLine(Clock::now() + 20s)) break;
    }
    return run;
}

TEST(FaultInjection, AHostKilledMidStreamLeavesTheHelperToEndWithStatusZeroInTime) {
    auto samples = clip(kClip);
    ASSERT_FALSE(samples.empty());
    std::string stream;
    for (int repeat = 0; repeat < 20; ++repeat) {
        for (const auto& line : audioLines(samples)) stream += line + "\n";
    }
    auto run = launchRaw(kHelper);
    ASSERT_TRUE(run.connection);

    // The host is a process of its own holding the only copy of the connection.
    pid_t hostProcess = ::fork();
    ASSERT_GE(hostProcess, 0);
    if (hostProcess == 0) {
        std::size_t sent = 0;
        while (sent < stream.size()) {
            ssize_t n = ::send(run.connection->fd(), stream.data() + sent, stream.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) ::_exit(1);
            sent += static_cast<std::size_t>(n);
        }
        for (;;) ::pause();
    }
    run.connection->close();
    std::this_thread::sleep_for(1500ms);
    ::kill(hostProcess, SIGKILL);
    ::waitpid(hostProcess, nullptr, 0);
    auto killedAt = Clock::now();

    auto status = run.helper->wait(20s);
    ASSERT_TRUE(status) << "the helper did not end";
    EXPECT_TRUE(status->exited) << "ended by signal " << status->code;
    EXPECT_EQ(status->code, 0);
    EXPECT_LT(Clock::now() - killedAt, 3s + 1500ms) << "the finishing limit plus a small margin";
    EXPECT_EQ(run.helper->standardOutput(), "");
    EXPECT_EQ(run.helper->standardError(), "");
}

TEST(FaultInjection, AHostThatStopsReadingAndThenClosesReleasesTheHelper) {
    // Each partial repeats the whole transcript so far, so the helper soon has
    // more to send than the connection holds.
    auto run = launchRaw(kScriptedHelper, {"OLVEK_TEST_PLATFORM=end=final"});
    ASSERT_TRUE(run.connection);
    const std::string word(200, 'w');
    std::thread sender([&] {
        for (int i = 0; i < 1000; ++i) {
            if (!run.connection->writeLine(commandLine("W:" + word))) return;
        }
        run.connection->writeLine("__END__");
    });
    // Wait until the helper is stuck on a full connection: the bytes waiting
    // for the host stop growing.
    int unread = 0, before = -1;
    for (auto deadline = Clock::now() + 30s; Clock::now() < deadline && (unread < 65536 || unread != before);) {
        before = unread;
        std::this_thread::sleep_for(1s);
        ::ioctl(run.connection->fd(), FIONREAD, &unread);
    }
    EXPECT_GE(unread, 65536) << "the helper had this much waiting for the host";
    EXPECT_FALSE(run.helper->wait(500ms)) << "the helper waits while the host does not read";
    ::shutdown(run.connection->fd(), SHUT_RDWR);
    sender.join();
    run.connection->close();
    auto status = run.helper->wait(20s);
    ASSERT_TRUE(status) << "the helper stayed blocked after the host closed";
    EXPECT_TRUE(status->exited) << "ended by signal " << status->code;
    EXPECT_EQ(status->code, 0);
}

// Lines that never decode: each holds a character outside the base64
// alphabet, or has a bad length, or decodes to a single byte. All valid
// UTF-8, since an invalid line would end the audio.
std::vector<std::string> garbageLines(std::size_t count, std::mt19937& random) {
    std::vector<std::string> lines;
    std::uniform_int_distribution<int> kind(0, 6), length(1, 300), byte(1, 127);
    for (std::size_t i = 0; i < count; ++i) {
        std::string line;
        switch (kind(random)) {
        case 0: // random ASCII with a NUL in it
            for (int n = length(random); n > 0; --n) line.push_back(static_cast<char>(byte(random)));
            line.insert(line.begin() + static_cast<std::ptrdiff_t>(random() % (line.size() + 1)), '\0');
            break;
        case 1: line = std::string(static_cast<std::size_t>(length(random)), '\0'); break;
        case 2: line = "AQID" + std::string(static_cast<std::size_t>(length(random) * 4 + 1), 'B'); break;
        case 3: line = std::string(1, static_cast<char>(byte(random))); break;
        case 4: line = "AQ=="; break;
        case 5: line = "\xE4\xBD\xA0\xE5\xA5\xBD AQI= \xF0\x9F\x98\x80"; break;
        default: line = "AQI=AQI="; break;
        }
        for (auto& c : line) {
            if (c == '\n') c = '*';
        }
        lines.push_back(line);
    }
    // A few very long lines.
    for (std::size_t at : {count / 4, count / 2, 3 * count / 4}) {
        lines[at] = std::string(4 * 1024 * 1024 + 1, 'A');
    }
    lines[count / 3] = std::string(3 * 1024 * 1024, 'A') + "!";
    return lines;
}

TEST(FaultInjection, GarbageInterleavedWithAudioLeavesExactlyTheGoodBuffersInOrder) {
    std::mt19937 random(12345);
    auto garbage = garbageLines(10000, random);
    FakeHost host;
    EngineLog log;
    ASSERT_TRUE(host.start(kScriptedHelper, host.launchArguments("en"), {platformConfig("", log)}));
    ASSERT_TRUE(host.acceptHelper());
    ASSERT_TRUE(host.waitForType("ready"));
    std::vector<std::string> expected;
    std::string batch;
    for (std::size_t i = 0; i < garbage.size(); ++i) {
        batch += garbage[i] + "\n";
        if (i % 20 == 0) {
            auto id = static_cast<std::int16_t>(i);
            batch += audioLine({id, static_cast<std::int16_t>(-id), 3}) + "\n";
            expected.push_back("1 3 " + std::to_string(id) + " " + std::to_string(-id) + " 3");
        }
        if (batch.size() > (1 << 20)) {
            ASSERT_TRUE(host.sendRaw(batch));
            batch.clear();
        }
    }
    ASSERT_TRUE(host.sendRaw(batch + "__END__\n"));
    auto status = host.waitExit(120s);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->code, 0);
    EXPECT_EQ(log.buffers(), expected);
    EXPECT_EQ(host.types().back(), "stopped");
}

// The real engine gives the same transcript with and without garbage around
// the audio: skipped lines change nothing. The audio goes at twice the rate
// of speech, so the engine keeps up, and ends in a second and a half of a
// quiet room, so the final comes at that pause: neither the finishing limit
// nor what fits in it can make the two runs' words differ.
TEST(FaultInjection, GarbageDoesNotChangeWhatTheRealEngineHears) {
    auto samples = clip(kClip);
    ASSERT_FALSE(samples.empty());
    const auto quiet = quietRoom(1.5);
    samples.insert(samples.end(), quiet.begin(), quiet.end());
    auto audio = audioLines(samples);
    auto transcribe = [&](bool withGarbage) {
        std::mt19937 random(99);
        auto garbage = garbageLines(10000, random);
        FakeHost host;
        EXPECT_TRUE(host.start(kHelper, host.launchArguments("en")));
        EXPECT_TRUE(host.acceptHelper(20s));
        EXPECT_TRUE(host.waitForType("ready", 20s));
        std::size_t per = withGarbage ? garbage.size() / audio.size() : 0;
        std::size_t g = 0;
        auto next = Clock::now();
        for (const auto& line : audio) {
            std::string batch;
            for (std::size_t k = 0; k < per; ++k) batch += garbage[g++] + "\n";
            host.sendRaw(batch + line + "\n");
            next += 50ms;
            std::this_thread::sleep_until(next);
        }
        host.send("__END__");
        auto status = host.waitExit(120s);
        EXPECT_TRUE(status && status->exited && status->code == 0);
        EXPECT_EQ(host.types().back(), "stopped");
        return joinedFinals(host);
    };
    auto clean = transcribe(false);
    EXPECT_FALSE(clean.empty());
    EXPECT_EQ(transcribe(true), clean);
}

} // namespace
} // namespace olvek::testing
