// A request to stop that a signal handler can make and that any wait can
// watch: the first Ctrl-C of olvek-transcribe.
#pragma once

#include <atomic>
#include <chrono>

namespace olvek::host {

class StopRequest {
public:
    // Creates the pipe behind `fd()`; `valid()` is false when none could be had
    // (then a request still shows in `requested()`, but no wait can see it).
    StopRequest();
    ~StopRequest();
    StopRequest(const StopRequest&) = delete;
    StopRequest& operator=(const StopRequest&) = delete;

    bool valid() const { return readFd_ >= 0; }

    // Marks the stop and makes `fd()` readable for good. Async-signal-safe,
    // so a signal handler may call it; never blocks.
    void request() noexcept;
    bool requested() const noexcept { return requested_.load(); }

    // Readable from the first request on (for poll); -1 when not `valid()`.
    int fd() const { return readFd_; }

    // Blocks until a stop is requested or `timeout` has passed. Returns true
    // when a stop has been requested.
    bool waitFor(std::chrono::milliseconds timeout) const;

private:
    std::atomic<bool> requested_{false};
    int readFd_ = -1;
    int writeFd_ = -1;
};

} // namespace olvek::host
