#include "platform/run_loop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace olvek {
namespace {

using namespace std::chrono_literals;

TEST(RunLoop, RunsCallbacksFromOtherThreadsOnTheCallingThreadInOrder) {
    RunLoop loop;
    std::vector<int> order;
    std::vector<std::thread::id> threads;
    std::thread poster([&] {
        for (int i = 0; i < 100; ++i) {
            loop.post([&, i] {
                order.push_back(i);
                threads.push_back(std::this_thread::get_id());
            });
        }
    });
    poster.join();
    EXPECT_TRUE(order.empty()) << "nothing runs outside runUntil";
    loop.runFor(0.05);
    ASSERT_EQ(order.size(), 100u);
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
        EXPECT_EQ(threads[static_cast<std::size_t>(i)], std::this_thread::get_id());
    }
}

TEST(RunLoop, ReturnsNoEarlierThanItsDeadlineEvenWithWorkToDo) {
    RunLoop loop;
    int runs = 0;
    loop.post([&] { ++runs; });
    auto start = RunLoop::Clock::now();
    loop.runUntil(start + 30ms);
    EXPECT_GE(RunLoop::Clock::now() - start, 30ms);
    EXPECT_EQ(runs, 1);
}

TEST(RunLoop, WakesForACallbackPostedWhileItWaits) {
    RunLoop loop;
    std::atomic<bool> ran{false};
    std::thread poster([&] {
        std::this_thread::sleep_for(20ms);
        loop.post([&] { ran = true; });
    });
    loop.runFor(0.2);
    poster.join();
    EXPECT_TRUE(ran);
}

TEST(RunLoop, ACallbackPostedByACallbackRunsInTheSameTurn) {
    RunLoop loop;
    std::vector<int> order;
    loop.post([&] {
        order.push_back(1);
        loop.post([&] { order.push_back(2); });
    });
    loop.runFor(0.02);
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST(RunLoop, APassedDeadlineRunsOnlyWhatWasAlreadyQueued) {
    RunLoop loop;
    std::vector<int> order;
    loop.post([&] {
        order.push_back(1);
        loop.post([&] { order.push_back(3); });
    });
    loop.post([&] { order.push_back(2); });
    loop.runUntil(RunLoop::Clock::now() - 1ms);
    EXPECT_EQ(order, (std::vector<int>{1, 2})) << "what the callbacks posted waits for a later turn";
    loop.runFor(0);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    loop.runFor(-1);
    EXPECT_EQ(order.size(), 3u);
}

TEST(RunLoop, DeadlineAfterClampsOddValues) {
    auto now = std::chrono::steady_clock::now();
    auto negative = deadlineAfter(-5);
    auto notANumber = deadlineAfter(std::numeric_limits<double>::quiet_NaN());
    auto after = std::chrono::steady_clock::now();
    for (auto deadline : {negative, notANumber}) {
        EXPECT_GE(deadline, now);
        EXPECT_LE(deadline, after);
    }
    EXPECT_GT(deadlineAfter(std::numeric_limits<double>::infinity()), now + std::chrono::hours(24 * 365));
    auto inOne = deadlineAfter(1.0);
    EXPECT_GE(inOne, now + 1s);
    EXPECT_LT(inOne, now + 2s);
}

} // namespace
} // namespace olvek
