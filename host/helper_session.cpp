#include "helper_session.h"

#include <algorithm>
#include <csignal>
#include <pthread.h>
#include <sys/socket.h>

#include <nlohmann/json.hpp>

#include "host/session_token.h"
#include "hostlink/audio_line.h"

namespace olvek::host {
namespace {

std::int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

std::string typeOf(const nlohmann::json& event) {
    if (!event.is_object()) return "";
    auto it = event.find("type");
    return it != event.end() && it->is_string() ? it->get<std::string>() : "";
}

} // namespace

HelperSession::HelperSession(HelperLaunch launch, LineSink sink) : launch_(std::move(launch)), sink_(std::move(sink)) {}

HelperSession::~HelperSession() {
    if (connection_) ::shutdown(connection_->fd(), SHUT_RDWR);
    if (child_ && !status_) child_->kill();
    if (reader_.joinable()) reader_.join();
}

std::optional<SessionEnd> HelperSession::start() {
    auto token = makeSessionToken();
    auto listener = LoopbackListener::listen(0, launch_.sendBufferBytes);
    if (!token || !listener) return SessionEnd::HostSetupFailed;

    std::vector<std::string> arguments{launch_.helperPath,        launch_.language,
                                       "--olvek-socket-port",     std::to_string(listener->port()),
                                       "--olvek-socket-token",    *token};
    arguments.insert(arguments.end(), launch_.extraArguments.begin(), launch_.extraArguments.end());
    SpawnOptions options;
    options.output = launch_.helperOutput;
    options.environment = launch_.environment;
    options.inputFile = "/dev/null";
    // A group of its own: the terminal's Ctrl-C goes to this program alone,
    // which then ends the audio so that the helper can give its last words.
    options.ownProcessGroup = true;
    {
        sigset_t all, previous;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous);
        child_ = ChildProcess::spawn(arguments, options);
        if (child_ && launch_.started) launch_.started(child_->pid());
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    if (!child_) return SessionEnd::HelperMissing;

    auto handshake = acceptHelper(
        *listener, *token, Clock::now() + launch_.connectTimeout,
        [this] { return child_->wait(std::chrono::milliseconds(0)).has_value(); }, launch_.handshake);
    rejected_ = handshake.rejected;
    // The helper is in (or gone): nobody else gets to connect from now on.
    listener->close();
    if (!handshake.connection) {
        status_ = child_->wait(std::chrono::milliseconds(0));
        if (!status_) {
            status_ = child_->kill();
            return SessionEnd::NeverConnected;
        }
        return endFromExit(false);
    }
    connection_ = std::move(handshake.connection);
    sink_(handshake.hello);

    auto readyDeadline = Clock::now() + launch_.readyTimeout;
    for (;;) {
        auto line = connection_->readLine(readyDeadline);
        if (!line) {
            if (connection_->timedOut()) {
                status_ = child_->kill();
                return SessionEnd::NeverReady;
            }
            status_ = reap(std::chrono::seconds(5));
            return endFromExit(false);
        }
        sink_(*line);
        auto event = nlohmann::json::parse(*line, nullptr, false);
        std::string type = typeOf(event);
        if (type == "ready") break;
        if (type == "error" && event.contains("message") && event["message"].is_string()) {
            startupError_ = event["message"].get<std::string>();
        }
    }

    noteProgress();
    // The reader takes no signals, so a Ctrl-C interrupts the caller's own
    // blocking read of its input instead.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    reader_ = std::thread([this] { readLoop(); });
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return std::nullopt;
}

SendResult HelperSession::sendAudio(const std::int16_t* samples, std::size_t count) {
    if (!connection_) return SendResult::HelperGone;
    if (interrupted_) return SendResult::Interrupted;
    const std::string line = encodeAudioLine(samples, count) + "\n";
    std::size_t written = 0;
    waitingOnHelper_ = true;
    auto end = connection_->write(line, written, launch_.interruptFd);
    waitingOnHelper_ = false;
    noteProgress();
    if (end == LineConnection::WriteEnd::Written) return SendResult::Sent;
    if (end == LineConnection::WriteEnd::PeerGone) return SendResult::HelperGone;
    interrupted_ = true;
    if (written > 0) {
        // Strict base64 takes whole groups of 4 characters: finish the group
        // begun, and what went decodes as the line's first samples.
        const std::size_t text = line.size() - 1;
        const std::size_t upTo = std::min(text, (written + 3) / 4 * 4);
        cutLineEnd_ = (written < upTo ? line.substr(written, upTo - written) : std::string()) + "\n";
    }
    return SendResult::Interrupted;
}

SessionEnd HelperSession::finish() {
    if (!connection_) return SessionEnd::HelperFailed;
    noteProgress();
    waitingOnHelper_ = true;
    connection_->writeAll(cutLineEnd_ + "__END__\n");
    if (reader_.joinable()) reader_.join();
    // The events have ended with the connection; the exit follows at once
    // unless the helper hangs in its shut-down.
    status_ = reap(aborted_ ? std::chrono::milliseconds(0) : std::chrono::seconds(10));
    if (stalled_) return SessionEnd::HelperStalled;
    return endFromExit(sawStopped_);
}

void HelperSession::readLoop() {
    constexpr auto kCheck = std::chrono::milliseconds(250);
    for (;;) {
        auto line = connection_->readLine(Clock::now() + kCheck);
        if (line) {
            noteProgress();
            std::string type = typeOf(nlohmann::json::parse(*line, nullptr, false));
            if (type == "stopped") sawStopped_ = true;
            sink_(*line);
            continue;
        }
        if (!connection_->timedOut()) return; // the helper closed the connection
        auto idle = std::chrono::nanoseconds(nowNs() - lastProgressNs_.load());
        if (waitingOnHelper_ && idle > launch_.stallTimeout) {
            // Only a signal here: reaping is the main thread's, and the kill
            // also unblocks a write the main thread may be stuck in.
            stalled_ = true;
            ::kill(child_->pid(), SIGKILL);
            return;
        }
    }
}

void HelperSession::abort() {
    aborted_ = true;
    // Only a signal and a shutdown: reaping stays with the thread that runs
    // `start` and `finish`, which sees the connection end and reaps at once.
    if (child_) ::kill(child_->pid(), SIGKILL);
    if (connection_) ::shutdown(connection_->fd(), SHUT_RDWR);
}

void HelperSession::noteProgress() { lastProgressNs_ = nowNs(); }

std::optional<ExitStatus> HelperSession::reap(std::chrono::milliseconds grace) {
    if (auto status = child_->wait(grace)) return status;
    return child_->kill();
}

SessionEnd HelperSession::endFromExit(bool sawStopped) {
    if (!status_ || !status_->exited) return SessionEnd::HelperFailed;
    switch (status_->code) {
    case 0: return sawStopped ? SessionEnd::Completed : SessionEnd::HelperFailed;
    case 2: return SessionEnd::NoRecognizer;
    case 3: return SessionEnd::NotAuthorized;
    case 4: return SessionEnd::LaunchRejected;
    default: return SessionEnd::HelperFailed;
    }
}

} // namespace olvek::host
