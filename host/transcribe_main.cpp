// olvek-transcribe: transcribes a sound file, or live PCM from standard input,
// by running the speech helper as its host. The work is in olvek_host; this
// file wires the command line, the input, the helper and the display.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "host/audio_source.h"
#include "host/helper_location.h"
#include "host/helper_session.h"
#include "host/microphone_source.h"
#include "host/stop_request.h"
#include "host/transcribe_options.h"
#include "host/transcript_display.h"

namespace {

using namespace olvek::host;

// What the signal handler works with; all of it lock-free, and none of it
// ever destroyed before the process ends.
StopRequest* stopRequest = nullptr;
std::atomic<int> stopSignals{0};
std::atomic<pid_t> helperPid{-1};
std::atomic<int> helperPidfd{-1}; // names the helper even once reaped, unlike its pid
std::string firstStopNote, killedHelperNote, quitNote;

void writeNote(const std::string& note) {
    [[maybe_unused]] ssize_t ignored = ::write(STDERR_FILENO, note.data(), note.size());
}

// Kills the helper, if one is there, and reaps it. Returns false when there
// was none (not started, or already reaped). Async-signal-safe.
bool killAndReapHelper() {
    if (int pidfd = helperPidfd.load(); pidfd >= 0) {
        // Once the main thread has reaped it, the signal fails and nothing
        // is waited for; no other process can be hit. Direct system calls:
        // glibc 2.36 declares its pidfd wrappers without C linkage.
        bool there = ::syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0) == 0;
        siginfo_t info;
        while (there && ::waitid(P_PIDFD, static_cast<id_t>(pidfd), &info, WEXITED) < 0 && errno == EINTR) {
        }
        return there;
    }
    if (pid_t pid = helperPid.load(); pid > 0) {
        ::kill(pid, SIGKILL);
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        return true;
    }
    return false;
}

// The first Ctrl-C (or SIGTERM) ends the audio: the main loop reads and
// sends no more, a write waiting on the helper is cut short, and the last
// words still come. The second kills and reaps the helper, and this program
// dies of that signal as it would without a handler.
void onStopSignal(int signal) {
    int saved = errno;
    if (stopSignals.fetch_add(1) == 0) {
        if (stopRequest) stopRequest->request();
        writeNote(firstStopNote);
        errno = saved;
        return;
    }
    writeNote(killAndReapHelper() ? killedHelperNote : quitNote);
    struct sigaction fallback{};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal, &fallback, nullptr);
    // Blocked while this handler runs; delivered as it returns.
    ::raise(signal);
    errno = saved;
}

// A hang-up (the terminal has gone): nobody is left to read the last words,
// so the helper is killed and reaped and this program dies of the signal.
void onHangUp(int signal) {
    killAndReapHelper();
    struct sigaction fallback{};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal, &fallback, nullptr);
    ::raise(signal);
}

// No SA_RESTART: a blocked read of standard input returns, so the loop sees
// the stop. SIGINT and SIGHUP stay ignored when this program was started
// with them ignored, as a shell script starts its background jobs and nohup
// starts a program.
void installStopHandlers() {
    static_assert(std::atomic<int>::is_always_lock_free && std::atomic<pid_t>::is_always_lock_free);
    struct sigaction action{};
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&action.sa_mask, signal);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction before{};
        if (signal != SIGTERM && sigaction(signal, nullptr, &before) == 0 && before.sa_handler == SIG_IGN) continue;
        action.sa_handler = signal == SIGHUP ? onHangUp : onStopSignal;
        sigaction(signal, &action, nullptr);
    }
}

// The helper when no --helper is given: installed in its libexec folder
// relative to this program, or built beside it. When neither is there, all
// the places looked at, for the message.
std::string defaultHelper(std::string& lookedAt) {
    auto candidates = helperCandidates(ownExecutableDir(), OLVEK_HELPER_RELATIVE_DIR, OLVEK_HELPER_NAME);
    if (auto found = firstExecutable(candidates); !found.empty()) return found;
    for (const auto& path : candidates) lookedAt += (lookedAt.empty() ? "" : " or ") + path;
    return candidates.front();
}

int terminalColumns(int fd) {
    winsize size{};
    if (::ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

void complain(const std::string& message) { std::fprintf(stderr, "olvek-transcribe: %s\n", message.c_str()); }

std::string describeExit(const std::optional<ExitStatus>& status) {
    if (!status) return "it did not exit";
    if (!status->exited) return std::string("it was killed by signal ") + std::to_string(status->code) + " (" +
                                strsignal(status->code) + ")";
    return "it exited with status " + std::to_string(status->code);
}

int reportEnd(SessionEnd end, const HelperSession& session, const TranscribeOptions& options,
              const std::string& helperPath) {
    std::string said = session.startupError().empty() ? "" : " (the helper said: " + session.startupError() + ")";
    switch (end) {
    case SessionEnd::Completed:
        return kExitTranscribed;
    case SessionEnd::HostSetupFailed:
        complain("cannot open a loopback socket or draw a random token on this machine");
        return kExitHostFailure;
    case SessionEnd::HelperMissing:
        complain("speech helper not found or not executable: " + helperPath +
                 "\n  build it (cmake --build build), or give its path with --helper PATH");
        return kExitHelperMissing;
    case SessionEnd::NoRecognizer:
        complain("no speech recognizer is available for --lang " + options.language + said +
                 (options.language == "en" ? "" : "\n  the stock English model answers to --lang en"));
        return kExitNoRecognizer;
    case SessionEnd::NotAuthorized:
        complain("speech recognition is not authorized" + said +
                 "\n  on macOS allow it in System Settings > Privacy & Security > Speech Recognition");
        return kExitNotAuthorized;
    case SessionEnd::LaunchRejected:
        complain("the helper refused its launch arguments or could not connect back (its status 4)");
        return kExitLaunchRejected;
    case SessionEnd::NeverConnected:
        complain("the helper did not connect back with its token in time; it was stopped");
        return kExitHelperFailed;
    case SessionEnd::NeverReady:
        complain("the helper connected but did not become ready in time; it was stopped");
        return kExitHelperFailed;
    case SessionEnd::HelperStalled:
        complain("the helper stopped responding; it was stopped");
        return kExitHelperFailed;
    case SessionEnd::HelperFailed:
        complain("the helper ended without finishing the transcription: " + describeExit(session.helperStatus()));
        return kExitHelperFailed;
    }
    return kExitHelperFailed;
}

int run(const TranscribeOptions& options) {
    std::string lookedAt;
    std::string helperPath = options.helperPath.empty() ? defaultHelper(lookedAt) : options.helperPath;
    // Never destroyed: the signal handler may use it up to the very end.
    StopRequest& stop = *new StopRequest;
    stopRequest = &stop;

    std::unique_ptr<AudioSource> source;
    if (options.mic) {
        // Pieces of 10 ms: a Ctrl-C ends the recording at most that late.
        auto opened = openMicrophone("olvek-transcribe", kHelperSampleRate / 100, stop.fd());
        if (!opened.source) {
            complain("cannot record from the microphone: " + opened.error +
                     "\n  --mic needs a PulseAudio (or PipeWire) sound server with an input");
            return kExitUnreadableInput;
        }
        source = std::move(opened.source);
    } else if (options.input == "-") {
        // Keystrokes are no audio: "-" is for a recorder's pipe.
        if (::isatty(STDIN_FILENO) == 1) {
            complain("standard input is a terminal; pipe raw 16 kHz mono 16-bit PCM into \"-\", e.g.\n"
                     "  arecord -q -f S16_LE -r 16000 -c 1 -t raw | olvek-transcribe -");
            return kExitUsage;
        }
        source = openRawPcm(STDIN_FILENO, stop.fd());
    } else {
        auto opened = openAudioFile(options.input);
        if (!opened.source) {
            complain("cannot read audio file " + options.input + ": " + opened.error);
            return kExitUnreadableInput;
        }
        source = std::move(opened.source);
    }

    DisplayOptions display;
    const bool stdoutTerminal = ::isatty(STDOUT_FILENO) == 1;
    display.mode = options.json ? OutputMode::Json : stdoutTerminal ? OutputMode::Live : OutputMode::FinalsOnly;
    auto total = source->totalFrames();
    const double totalSeconds = total ? static_cast<double>(*total) / kHelperSampleRate : 0;
    // Progress is worth a line only when the run takes a noticeable while.
    display.progress = ::isatty(STDERR_FILENO) == 1 && total && totalSeconds > 5;
    display.columns = terminalColumns(display.mode == OutputMode::Live ? STDOUT_FILENO : STDERR_FILENO);
    TranscriptDisplay screen(stdout, stderr, display);

    HelperLaunch launch;
    launch.helperPath = helperPath;
    launch.language = options.language;
    launch.helperOutput = options.verbose ? ChildOutput::ParentStandardError : ChildOutput::Discard;
    launch.interruptFd = stop.fd();
    launch.started = [](pid_t pid) {
        helperPid = pid;
        // -1 on a kernel without pidfds: the pid serves then.
        helperPidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    };
    HelperSession session(launch, [&screen](const std::string& line) { screen.onLine(line); });

    // Notes for the handler, made now: it can only write them. On a terminal
    // the status line is cleared first.
    const std::string clear = ::isatty(STDERR_FILENO) == 1 ? "\r\033[K" : "";
    firstStopNote = clear + "olvek-transcribe: stopping; the last words follow (interrupt again to quit at once)\n";
    killedHelperNote = clear + "olvek-transcribe: interrupted again; stopped the helper and quit\n";
    quitNote = clear + "olvek-transcribe: interrupted again; quit\n";
    installStopHandlers();
    if (auto failed = session.start()) {
        helperPid = -1; // exited or killed, and reaped
        screen.finish();
        return reportEnd(*failed, session, options, lookedAt.empty() ? helperPath : lookedAt);
    }
    if (session.rejectedConnections() > 0) {
        complain("turned away " + std::to_string(session.rejectedConnections()) +
                 " connection(s) that did not carry the helper's token");
    }

    const std::size_t chunkFrames = static_cast<std::size_t>(kHelperSampleRate) * options.chunkMs / 1000;
    std::vector<std::int16_t> chunk(chunkFrames);
    std::uint64_t sentFrames = 0;
    const auto startedAt = std::chrono::steady_clock::now();
    while (!stop.requested()) {
        // After a stop this still gives what was read before it: words
        // already said, which go if the helper has room for them at once.
        std::size_t n = source->read(chunk.data(), chunk.size());
        if (n == 0) break;
        if (options.realtime) {
            // A microphone hands over each chunk once it has been spoken.
            auto due = startedAt + std::chrono::microseconds((sentFrames + n) * 1'000'000 / kHelperSampleRate);
            auto left = std::chrono::ceil<std::chrono::milliseconds>(due - std::chrono::steady_clock::now());
            if (left.count() > 0 && stop.waitFor(left)) break; // not yet spoken
        }
        // Blocks while the helper's side is full, but never past a stop.
        if (session.sendAudio(chunk.data(), n) != SendResult::Sent) break;
        sentFrames += n;
        screen.onProgress(static_cast<double>(sentFrames) / kHelperSampleRate, totalSeconds);
    }
    SessionEnd end = session.finish();
    // Reaped: from here a second Ctrl-C has no helper to stop, and a kernel
    // without pidfds must not have the handler signal a pid that is free.
    helperPid = -1;
    screen.finish();
    int code = reportEnd(end, session, options, lookedAt.empty() ? helperPath : lookedAt);
    if (code == kExitTranscribed && source->error()) {
        complain("reading " + (options.mic ? std::string("the microphone") : options.input) +
                 " failed part way: " + *source->error());
        return kExitUnreadableInput;
    }
    return code;
}

} // namespace

int main(int argc, char** argv) {
    auto parsed = parseTranscribeCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.options) {
        complain(parsed.error);
        std::fprintf(stderr, "Try 'olvek-transcribe --help' for more information.\n");
        return kExitUsage;
    }
    if (parsed.options->help) {
        std::fputs(transcribeUsage().c_str(), stdout);
        return kExitTranscribed;
    }
    if (parsed.options->version) {
        std::printf("olvek-transcribe %s\n", OLVEK_VERSION);
        return kExitTranscribed;
    }
    return run(*parsed.options);
}
