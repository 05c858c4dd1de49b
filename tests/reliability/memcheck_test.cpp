// A short real run of the helper under valgrind's memcheck: no invalid
// access, no use of uninitialised memory, no definite leak.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <unistd.h>

#include "reliability_support.h"

namespace olvek::testing {
namespace {

TEST(Memcheck, AShortRunIsClean) {
    auto samples = clip("sense_and_sensibility_01_austen_64kb-0880");
    ASSERT_FALSE(samples.empty());
    char logName[] = "/tmp/olvek-memcheck-XXXXXX";
    int fd = ::mkstemp(logName);
    ASSERT_GE(fd, 0);
    ::close(fd);

    FakeHost host;
    std::vector<std::string> arguments = {"--error-exitcode=99", "--leak-check=full", "--show-leak-kinds=definite",
                                          "--errors-for-leak-kinds=definite", "--track-origins=yes",
                                          std::string("--log-file=") + logName, kHelper};
    auto launch = host.launchArguments("en");
    arguments.insert(arguments.end(), launch.begin(), launch.end());
    ASSERT_TRUE(host.start(OLVEK_VALGRIND, arguments));
    ASSERT_TRUE(host.acceptHelper(120s));
    for (const auto& line : audioLines(samples)) host.send(line);
    // Under valgrind the engine is many times slower than real time: let it
    // decode before the audio ends, or the finishing limit cuts it off.
    // Results go out only in the run-loop turn after a buffer, so keep
    // sending short silences, as a live host does, until one arrives.
    bool heardSpeech = false;
    for (auto deadline = Clock::now() + 300s; !heardSpeech && Clock::now() < deadline;) {
        host.send(audioLine(std::vector<std::int16_t>(160, 0)));
        heardSpeech = host.waitForType("partial", 1s).has_value();
    }
    host.send("__END__");
    auto status = host.waitExit(600s);
    std::ifstream in(logName);
    std::stringstream report;
    report << in.rdbuf();
    ::unlink(logName);
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->exited);
    EXPECT_EQ(status->code, 0) << report.str();
    EXPECT_NE(report.str().find("ERROR SUMMARY: 0 errors"), std::string::npos) << report.str();
    EXPECT_EQ(host.types().back(), "stopped");
    EXPECT_TRUE(heardSpeech) << "the run recognized speech";
}

} // namespace
} // namespace olvek::testing
