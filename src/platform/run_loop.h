// A thread's run loop: the one way work posted from other threads runs on it.
//
// Any thread may `post` a callback. Callbacks run only inside `runUntil`, on
// the thread that calls it, in the order they were posted. The helper's main
// thread uses `RunLoop::main()`; tests may make loops of their own.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace olvek {

// The time `seconds` from now. NaN and negative values give now; values too
// large for the clock are clamped to a century.
std::chrono::steady_clock::time_point deadlineAfter(double seconds);

class RunLoop {
public:
    using Clock = std::chrono::steady_clock;

    RunLoop() = default;
    RunLoop(const RunLoop&) = delete;
    RunLoop& operator=(const RunLoop&) = delete;

    // The process's main run loop.
    static RunLoop& main();

    // Queues `callback` to run in a later turn. Never runs it inline, so it is
    // safe to call with locks held. Thread-safe.
    void post(std::function<void()> callback);

    // Runs the callbacks already queued, then blocks until `deadline` and
    // meanwhile runs every callback posted, in order, on the calling thread; a
    // callback posted while this runs still runs in this turn if the deadline
    // has not passed. Sleeps while there is nothing to run. With a deadline
    // already passed it runs only what was queued and returns.
    void runUntil(Clock::time_point deadline);

    // Runs for `seconds` from now.
    void runFor(double seconds);

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> queue_;
};

} // namespace olvek
