// olvek-transcribe: transcribes a sound file, or live PCM from standard input,
// by running the speech helper as its host. The work is in olvek_host; this
// file wires the command line, the input, the helper and the display.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "host/audio_source.h"
#include "host/helper_session.h"
#include "host/transcribe_options.h"
#include "host/transcript_display.h"

namespace {

using namespace olvek::host;

std::atomic<bool> stopRequested{false};

void onStopSignal(int) { stopRequested = true; }

// The first Ctrl-C ends the audio and lets the last words come back; the
// handler is then reset, so a second one ends this program at once. No
// SA_RESTART: a blocked read of standard input returns, so the loop sees it.
void installStopHandlers() {
    struct sigaction action{};
    action.sa_handler = onStopSignal;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

std::string helperBesideSelf() {
    std::vector<char> path(4096);
    ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size() - 1);
    std::string self = n > 0 ? std::string(path.data(), static_cast<std::size_t>(n)) : std::string();
    auto slash = self.rfind('/');
    std::string dir = slash == std::string::npos ? "." : self.substr(0, slash);
    return dir + "/" + OLVEK_HELPER_NAME;
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
    std::string helperPath = options.helperPath.empty() ? helperBesideSelf() : options.helperPath;

    std::unique_ptr<AudioSource> source;
    if (options.input == "-") {
        // Keystrokes are no audio: "-" is for a recorder's pipe.
        if (::isatty(STDIN_FILENO) == 1) {
            complain("standard input is a terminal; pipe raw 16 kHz mono 16-bit PCM into \"-\", e.g.\n"
                     "  arecord -q -f S16_LE -r 16000 -c 1 -t raw | olvek-transcribe -");
            return kExitUsage;
        }
        source = openRawPcm(STDIN_FILENO);
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
    HelperSession session(launch, [&screen](const std::string& line) { screen.onLine(line); });

    installStopHandlers();
    if (auto failed = session.start()) {
        screen.finish();
        return reportEnd(*failed, session, options, helperPath);
    }
    if (session.rejectedConnections() > 0) {
        complain("turned away " + std::to_string(session.rejectedConnections()) +
                 " connection(s) that did not carry the helper's token");
    }

    const std::size_t chunkFrames = static_cast<std::size_t>(kHelperSampleRate) * options.chunkMs / 1000;
    std::vector<std::int16_t> chunk(chunkFrames);
    std::uint64_t sentFrames = 0;
    const auto startedAt = std::chrono::steady_clock::now();
    while (!stopRequested) {
        std::size_t n = source->read(chunk.data(), chunk.size());
        if (n == 0) break;
        if (options.realtime) {
            // A microphone hands over each chunk once it has been spoken.
            auto due = startedAt + std::chrono::microseconds((sentFrames + n) * 1'000'000 / kHelperSampleRate);
            while (!stopRequested && std::chrono::steady_clock::now() < due) {
                std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
                    due - std::chrono::steady_clock::now(), std::chrono::milliseconds(50)));
            }
        }
        if (!session.sendAudio(chunk.data(), n)) break;
        sentFrames += n;
        screen.onProgress(static_cast<double>(sentFrames) / kHelperSampleRate, totalSeconds);
    }
    SessionEnd end = session.finish();
    screen.finish();
    int code = reportEnd(end, session, options, helperPath);
    if (code == kExitTranscribed && source->error()) {
        complain("reading " + options.input + " failed part way: " + *source->error());
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
