// A host for end-to-end tests: listens on loopback, starts a helper as a
// child process, records every line it sends with its arrival time, and
// sends, half-closes or closes at the test's will.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/child_process.h"
#include "host/loopback_listener.h"

namespace olvek::testing {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct ReceivedLine {
    std::string text;
    Clock::time_point at;
    // The line parsed as JSON; discarded (is_discarded()) when it is not JSON.
    nlohmann::json json() const { return nlohmann::json::parse(text, nullptr, false); }
    std::string type() const;
};

class FakeHost {
public:
    FakeHost();
    ~FakeHost();

    std::uint16_t port() const { return listener_->port(); }
    // { language (when not empty), "--olvek-socket-port", port, "--olvek-socket-token", token }
    std::vector<std::string> launchArguments(const std::string& language, const std::string& token = "tok-123") const;

    // Starts `helper` with `arguments` (without the program path) and
    // `environment` added to this process's own.
    bool start(const std::string& helper, const std::vector<std::string>& arguments,
               const std::vector<std::string>& environment = {});
    Clock::time_point startedAt() const { return startedAt_; }

    // Accepts the helper's connection and starts recording its lines.
    bool acceptHelper(std::chrono::milliseconds timeout = 10s);

    bool send(const std::string& line) { return connection_ && connection_->writeLine(line); }
    bool sendRaw(const std::string& bytes) { return connection_ && connection_->writeAll(bytes); }
    void halfClose();
    void closeConnection();

    // Waits until a line with "type" `type` arrived (or any line, for an
    // empty `type`); the line, or nothing on timeout.
    std::optional<ReceivedLine> waitForType(const std::string& type, std::chrono::milliseconds timeout = 10s);
    // Waits until the helper closed its side of the connection.
    bool waitForEnd(std::chrono::milliseconds timeout = 10s);

    std::vector<ReceivedLine> lines() const;
    std::vector<std::string> types() const;

    // The exit status; on timeout the helper is killed and nothing is given.
    std::optional<host::ExitStatus> waitExit(std::chrono::milliseconds timeout = 60s);
    std::string standardOutput() const;
    std::string standardError() const;
    host::ChildProcess* child() { return child_ ? &*child_ : nullptr; }

private:
    void readLoop();

    std::unique_ptr<host::LoopbackListener> listener_;
    std::unique_ptr<host::LineConnection> connection_;
    std::optional<host::ChildProcess> child_;
    Clock::time_point startedAt_;
    std::thread reader_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<ReceivedLine> lines_;
    bool ended_ = false;
};

// Audio lines: base64 of little-endian 16-bit samples.
std::string audioLine(const std::vector<std::int16_t>& samples);
// A line carrying a scripted-engine command (see TextAudioScript).
std::string commandLine(const std::string& command);

} // namespace olvek::testing
