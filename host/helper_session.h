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
#include <vector>

#include "host/child_process.h"
#include "host/helper_handshake.h"
#include "host/loopback_listener.h"

namespace olvek::host {

struct HelperLaunch {
    std::string helperPath;
    std::string language = "en";
    // Placed after the token, at the end of the launch line ("--olvek-timings").
    std::vector<std::string> extraArguments;
    // Replaces the helper's environment when given (else it inherits this one).
    std::optional<std::vector<std::string>> environment;
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
    // blocks once about this much audio waits in it: what the host counts as
    // sent is then less than a second (and the line being written) ahead of
    // what has reached the helper's side of the connection (whose receive
    // buffer is the helper's to size), and a stop reaches the helper soon. 0: the kernel's
    // default, which grows to megabytes (over a minute of audio).
    int sendBufferBytes = 16 * 1024;
    // When not -1: once this descriptor is readable (see StopRequest), a
    // write of audio that would wait on the helper stops there.
    int interruptFd = -1;
    // When given: called with the helper's process id as soon as it has
    // started, with every signal blocked in the calling thread, so that a
    // signal handler of that thread never runs while a started helper is not
    // yet known to it.
    std::function<void(pid_t)> started;
};

// What became of one line of audio.
enum class SendResult {
    Sent,        // the whole line went
    Interrupted, // the helper's side was full when the interruption came
    HelperGone,  // the connection has ended
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
    // Blocks while the helper's side is full; but when `interruptFd` is
    // readable while it waits, the line is cut short there and Interrupted
    // returned (and returned for every later line). Only `finish` should
    // follow anything but Sent.
    SendResult sendAudio(const std::int16_t* samples, std::size_t count);

    // Ends the audio and the session: first the rest of a line cut short
    // (up to 3 more characters, so that what went decodes as its first
    // samples, then its newline), then "__END__"; reads the remaining events
    // and reaps the helper. Blocks until the helper has taken all that,
    // given its events and exited; never interrupted.
    SessionEnd finish();

    // Ends the session at once, from any thread, once `start` has started the
    // helper and before `finish` has returned: kills the helper and closes
    // the connection, so that a waiting `sendAudio`, `start` or `finish`
    // returns soon. For a host that cannot use the results any more (its
    // output failed).
    void abort();

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
    // Once sendAudio was interrupted: what ends the line it cut short (empty
    // when none of it had gone).
    bool interrupted_ = false;
    std::string cutLineEnd_;

    std::atomic<bool> sawStopped_{false};
    std::atomic<bool> aborted_{false};
    std::atomic<bool> stalled_{false};
    // The host is blocked on the helper: in a write, or after "__END__".
    std::atomic<bool> waitingOnHelper_{false};
    std::atomic<std::int64_t> lastProgressNs_{0};
};

} // namespace olvek::host
