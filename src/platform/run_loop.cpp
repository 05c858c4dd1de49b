#include "run_loop.h"

namespace olvek {

std::chrono::steady_clock::time_point deadlineAfter(double seconds) {
    constexpr double kCentury = 100.0 * 365 * 24 * 3600;
    if (!(seconds > 0)) seconds = 0;
    if (seconds > kCentury) seconds = kCentury;
    auto now = std::chrono::steady_clock::now();
    return now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
}

RunLoop& RunLoop::main() {
    // Never destroyed: engine threads may outlive static destruction's start.
    static RunLoop* loop = new RunLoop;
    return *loop;
}

void RunLoop::post(std::function<void()> callback) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        queue_.push_back(std::move(callback));
    }
    wake_.notify_one();
}

void RunLoop::runUntil(Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    // What is already queued runs in this turn even when the thread comes
    // here late, so a short turn never skips work that was ready.
    for (std::size_t ready = queue_.size(); ready > 0 && !queue_.empty(); --ready) {
        auto callback = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        callback();
        lock.lock();
    }
    while (Clock::now() < deadline) {
        if (queue_.empty()) {
            wake_.wait_until(lock, deadline, [this] { return !queue_.empty(); });
            continue;
        }
        auto callback = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        callback();
        lock.lock();
    }
}

void RunLoop::runFor(double seconds) {
    runUntil(deadlineAfter(seconds));
}

} // namespace olvek
