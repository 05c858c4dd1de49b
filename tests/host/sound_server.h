// A real PulseAudio server of the test's own, for olvek-transcribe --mic: a
// null sink, and as the default input a pipe source that the test feeds
// with samples. It runs in a scratch folder, as whatever user the tests run
// as (root on CI included), and touches no session's server.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/child_process.h"

namespace olvek::testing {

class PrivateSoundServer {
public:
    // Starts `pulseaudio` with its socket, runtime and configuration under
    // `dir` and blocks until it listens (a hang guard of 20 s). Returns
    // nothing and sets `error` when it cannot: not installed, or failed
    // (then its log is in `error`).
    static std::unique_ptr<PrivateSoundServer> start(const std::string& dir, std::string& error);
    // Kills the server.
    ~PrivateSoundServer() = default;

    // What a client needs in its environment to use this server alone.
    std::vector<std::string> clientEnvironment() const;

    // Blocks until some client records from the default input, or `guard`
    // passes. Returns whether one does. Audio fed before that is thrown away
    // by the server, as a microphone's is when nobody listens.
    bool waitForRecorder(std::chrono::milliseconds guard) const;

    // The microphone: 16 kHz mono 16-bit native samples written here are what
    // the default input records, no faster than written.
    const std::string& microphonePath() const { return fifo_; }

    // The server's log so far.
    std::string log() const;

private:
    PrivateSoundServer(std::string dir, host::ChildProcess process)
        : dir_(std::move(dir)), fifo_(dir_ + "/microphone"), process_(std::move(process)) {}

    std::string dir_;
    std::string fifo_;
    host::ChildProcess process_;
};

// A speaker at the server's microphone, on a thread of its own: says all of
// `speech` at once (a burst far faster than speech, which the server must
// hold while the helper catches up), then goes on with 100 ms of silence
// every 100 ms, as a live microphone never stops delivering, until the feed
// is destroyed.
class MicrophoneFeed {
public:
    MicrophoneFeed(const std::string& microphonePath, std::vector<std::int16_t> speech);
    // Stops the silence and joins the thread.
    ~MicrophoneFeed();
    MicrophoneFeed(const MicrophoneFeed&) = delete;
    MicrophoneFeed& operator=(const MicrophoneFeed&) = delete;

    // Whether all of the speech went into the microphone (set by the thread).
    bool spoken() const { return spoken_.load(); }

private:
    void run(std::string path, std::vector<std::int16_t> speech);

    std::mutex mutex_; // guards stop_ for the silence's waits
    std::condition_variable wake_;
    bool stop_ = false;
    std::atomic<bool> spoken_{false};
    std::thread thread_;
};

} // namespace olvek::testing
