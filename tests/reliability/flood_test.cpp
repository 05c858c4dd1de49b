// The helper flooded with audio far faster than real time.
#include <gtest/gtest.h>

#include <cstdio>

#include "reliability_support.h"

namespace olvek::testing {
namespace {

// Ten minutes of audio as fast as the helper takes it: the audio waiting for
// the engine is capped, so memory does not grow with the length of the stream.
TEST(FaultInjection, AFloodOfAudioKeepsMemoryFlat) {
    std::vector<std::int16_t> minute;
    for (const auto& [id, text] : librivoxReferences()) {
        auto samples = clip(id);
        minute.insert(minute.end(), samples.begin(), samples.end());
    }
    ASSERT_FALSE(minute.empty());
    while (minute.size() < 16000 * 60) minute.insert(minute.end(), minute.begin(), minute.end());
    minute.resize(16000 * 60);
    std::string minuteOfLines;
    for (const auto& line : audioLines(minute)) minuteOfLines += line + "\n";

    FakeHost host;
    ASSERT_TRUE(host.start(kHelper, host.launchArguments("en")));
    ASSERT_TRUE(host.acceptHelper(20s));
    ASSERT_TRUE(host.waitForType("ready", 20s));
    pid_t pid = host.child()->pid();
    long afterOneMinute = 0;
    for (int m = 0; m < 10; ++m) {
        ASSERT_TRUE(host.sendRaw(minuteOfLines));
        if (m == 1) afterOneMinute = peakResidentKiB(pid);
    }
    host.send("__END__");
    long peak = 0;
    for (auto deadline = Clock::now() + 600s; Clock::now() < deadline;) {
        long now = peakResidentKiB(pid);
        if (now == 0) break;
        peak = now;
        if (host.waitForType("stopped", 100ms)) break;
    }
    auto status = host.waitExit(600s);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->code, 0);
    std::printf("peak resident set: %ld KiB after 1 of 10 minutes sent, %ld KiB at the end\n", afterOneMinute, peak);
    ASSERT_GT(afterOneMinute, 0);
    // Without the cap, the nine further minutes would wait in memory (about 17 MiB of samples).
    EXPECT_LT(peak - afterOneMinute, 12 * 1024) << "memory grew with the stream";
}

} // namespace
} // namespace olvek::testing
