#include "fake_host.h"

#include <sys/socket.h>

#include "hostlink/audio_line.h"
#include "scripted_speech_platform.h"

extern char** environ;

namespace olvek::testing {

std::string ReceivedLine::type() const {
    auto parsed = json();
    if (parsed.is_object() && parsed.contains("type") && parsed["type"].is_string()) return parsed["type"];
    return "";
}

FakeHost::FakeHost() : listener_(host::LoopbackListener::listen()) {}

FakeHost::~FakeHost() {
    if (child_) child_->kill();
    if (connection_) ::shutdown(connection_->fd(), SHUT_RDWR);
    if (reader_.joinable()) reader_.join();
}

std::vector<std::string> FakeHost::launchArguments(const std::string& language, const std::string& token) const {
    std::vector<std::string> arguments;
    if (!language.empty()) arguments.push_back(language);
    arguments.insert(arguments.end(),
                     {"--olvek-socket-port", std::to_string(port()), "--olvek-socket-token", token});
    return arguments;
}

bool FakeHost::start(const std::string& helper, const std::vector<std::string>& arguments,
                     const std::vector<std::string>& environment) {
    std::vector<std::string> argv{helper};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    env.insert(env.end(), environment.begin(), environment.end());
    startedAt_ = Clock::now();
    child_.reset();
    if (auto child = host::ChildProcess::spawn(argv, env)) child_.emplace(std::move(*child));
    return child_.has_value();
}

bool FakeHost::acceptHelper(std::chrono::milliseconds timeout) {
    connection_ = listener_->accept(Clock::now() + timeout);
    if (!connection_) return false;
    reader_ = std::thread([this] { readLoop(); });
    return true;
}

void FakeHost::readLoop() {
    while (auto line = connection_->readLine()) {
        std::lock_guard<std::mutex> guard(mutex_);
        lines_.push_back({*line, Clock::now()});
        changed_.notify_all();
    }
    std::lock_guard<std::mutex> guard(mutex_);
    ended_ = true;
    changed_.notify_all();
}

void FakeHost::halfClose() {
    if (connection_) connection_->shutdownWrite();
}

void FakeHost::closeConnection() {
    if (connection_) ::shutdown(connection_->fd(), SHUT_RDWR);
}

std::optional<ReceivedLine> FakeHost::waitForType(const std::string& type, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::optional<ReceivedLine> found;
    changed_.wait_for(lock, timeout, [&] {
        for (const auto& line : lines_) {
            if (type.empty() || line.type() == type) {
                found = line;
                return true;
            }
        }
        return ended_;
    });
    return found;
}

bool FakeHost::waitForEnd(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return ended_; });
}

std::vector<ReceivedLine> FakeHost::lines() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return lines_;
}

std::vector<std::string> FakeHost::types() const {
    std::vector<std::string> out;
    for (const auto& line : lines()) out.push_back(line.type());
    return out;
}

std::optional<host::ExitStatus> FakeHost::waitExit(std::chrono::milliseconds timeout) {
    if (!child_) return std::nullopt;
    auto status = child_->wait(timeout);
    if (!status) child_->kill();
    if (status && connection_) waitForEnd(5s);
    return status;
}

std::string FakeHost::standardOutput() const { return child_ ? child_->standardOutput() : ""; }
std::string FakeHost::standardError() const { return child_ ? child_->standardError() : ""; }

std::string audioLine(const std::vector<std::int16_t>& samples) { return encodeAudioLine(samples.data(), samples.size()); }

std::string commandLine(const std::string& command) { return audioLine(scriptSamples(command)); }

} // namespace olvek::testing
