// A counting semaphore with a timed wait.
#pragma once

#include <chrono>
#include <semaphore>

namespace olvek {

class Semaphore {
public:
    explicit Semaphore(std::ptrdiff_t count) : semaphore_(count) {}

    void signal() { semaphore_.release(); }

    // Waits until signalled or `deadline`; answers whether it was signalled.
    bool wait(std::chrono::steady_clock::time_point deadline) { return semaphore_.try_acquire_until(deadline); }

private:
    std::counting_semaphore<> semaphore_;
};

} // namespace olvek
