// Telling the helper's connection apart from any other local program that
// connects to the host's port first.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "host/loopback_listener.h"

namespace olvek::host {

// True when `line` is a "hello" event (a JSON object with "type" "hello")
// whose "token" equals `token` exactly (compared in constant time).
bool isHelloWithToken(std::string_view line, std::string_view token);

struct HandshakeLimits {
    // How long a connection may take to send its first line. Candidates are
    // served side by side, so a silent impostor costs the helper nothing and
    // this can leave a starved helper plenty of time.
    std::chrono::milliseconds perConnection{5000};
    // Longest first line taken from a connection; longer is an impostor.
    std::size_t maxHelloBytes = 4096;
};

// What the wait for the helper saw.
struct HandshakeOutcome {
    std::unique_ptr<LineConnection> connection; // the helper's, or null
    std::string hello;                          // its "hello" line as received
    int rejected = 0;                           // connections turned away
};

// Accepts connections on `listener` until one sends, as its first line, a
// "hello" with `token`, and returns that connection with everything it sent
// after the hello still unread. Any other first line, the end of the stream,
// an overlong line or silence past `limits.perConnection` closes that
// connection, and waiting goes on; candidates are served side by side, so a
// silent one does not hold up the helper. Gives up (null connection) at
// `deadline`, or once `giveUp` has returned true (it is asked every few tens
// of milliseconds, e.g. whether the helper has exited) and what had already
// arrived has been looked at without waiting: a helper that connected, said
// "hello" and exited at once is still found. Blocks the calling thread.
HandshakeOutcome acceptHelper(LoopbackListener& listener, const std::string& token, Clock::time_point deadline,
                              const std::function<bool()>& giveUp = {}, HandshakeLimits limits = {});

} // namespace olvek::host
