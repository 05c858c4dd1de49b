// One run of the speech helper as a host drives it: listen on loopback, start
// the helper with a fresh token, take only the connection that proves it,
// wait for "ready", stream audio lines, end them with "__END__", read every
// event until "stopped" and the helper's exit.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "host/child_process.h"
#include "host/helper_handshake.h"
#include "host/loopback_listener.h"

namespace olvek::host {

struct HelperLaunch {
    std::string helperPath;
    std::string language = "en";
    ChildOutput helperOutput = ChildOutput::Discard;
    // The helper connects before it loads anything, so this is short.
    std::chrono::milliseconds connectTimeout{10'000};
    // Covers the helper's own 15-second authorization wait and model loading.
    std::chrono::milliseconds readyTimeout{40'000};
    // While the host waits on the helper (a write that does not drain, or
    // the events after "__END__"), this long without any line from it means
    // it hangs: it is killed.
    std::chrono::milliseconds stallTimeout{30'000};
    HandshakeLimits handshake;
    // The send buffer of the helper's connection. Small, so that a write
    // blocks once about this much audio waits unread: what the host counts as
    // sent is then what the helper has taken, give or take a fraction of a
    // second, and a stop reaches the helper soon. 0: the kernel's default,
    // which grows to megabytes (over a minute of audio).
    int sendBufferBytes = 16 * 1024;
};

// How a session ended, from the host's point of view.
enum class SessionEnd {
    Completed,       // "stopped" came and the helper exited with status 0
    HostSetupFailed, // no random token or no listening socket
    HelperMissing,   // the helper path is not an executable file
    NoRecognizer,    // the helper's status 2: no recognizer for the locale
    NotAuthorized,   // status 3: speech recognition not permitted
    LaunchRejected,  // status 4: it refused its launch line or could not connect
    NeverConnected,  // no connection with the right token in time
    NeverReady,      // connected, but no "ready" in time
    HelperStalled,   // stopped answering; killed
    HelperFailed,    // any other exit: a signal, an unknown status, no "stopped"
};

class HelperSession {
public:
    // Receives every line from the helper, "hello" included, in arrival order,
    // from one thread at a time (the caller's during `start`, the session's
    // reader thread afterwards).
    using LineSink = std::function<void(const std::string& line)>;

    HelperSession(HelperLaunch launch, LineSink sink);
    // Kills a helper that is still running.
    ~HelperSession();
    HelperSession(const HelperSession&) = delete;
    HelperSession& operator=(const HelperSession&) = delete;

    // Starts the helper and waits for "ready". Nothing when it came; the way
    // the session ended otherwise (the helper has then exited or been killed).
    std::optional<SessionEnd> start();

    // Sends one audio line: the samples as base64 of 16-bit little-endian.
    // Blocks while the helper's side is full. False when the helper is gone.
    bool sendAudio(const std::int16_t* samples, std::size_t count);

    // Sends "__END__", reads the remaining events and reaps the helper.
    SessionEnd finish();

    // After the end: the helper's exit, and the message of the "error" event
    // that preceded a failed start-up (empty when none came).
    std::optional<ExitStatus> helperStatus() const { return status_; }
    const std::string& startupError() const { return startupError_; }
    int rejectedConnections() const { return rejected_; }

private:
    SessionEnd endFromExit(bool sawStopped);
    std::optional<ExitStatus> reap(std::chrono::milliseconds grace);
    void readLoop();
    void noteProgress();

    HelperLaunch launch_;
    LineSink sink_;
    std::optional<ChildProcess> child_;
    std::unique_ptr<LineConnection> connection_;
    std::thread reader_;
    std::optional<ExitStatus> status_;
    std::string startupError_;
    int rejected_ = 0;

    std::atomic<bool> sawStopped_{false};
    std::atomic<bool> stalled_{false};
    // The host is blocked on the helper: in a write, or after "__END__".
    std::atomic<bool> waitingOnHelper_{false};
    std::atomic<std::int64_t> lastProgressNs_{0};
};

} // namespace olvek::host
