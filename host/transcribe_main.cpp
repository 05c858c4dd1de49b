// olvek-transcribe: transcribes a sound file, or live PCM from standard input,
// by running the speech helper as its host. The work is in olvek_host; this
// file wires the command line, the input, the helper and the display.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "host/audio_source.h"
#include "host/helper_location.h"
#include "host/helper_session.h"
#include "host/language_models.h"
#include "host/microphone_source.h"
#include "host/stop_request.h"
#include "host/transcribe_options.h"
#include "host/transcript_display.h"
#include "platform/current_locale.h"
#include "recognition/pocketsphinx/pocketsphinx_platform.h"

extern char** environ;

namespace {

using namespace olvek::host;
namespace pocketsphinx = olvek::pocketsphinx;

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

std::string joined(const std::vector<std::string>& items, const std::string& separator) {
    std::string text;
    for (const auto& item : items) text += (text.empty() ? "" : separator) + item;
    return text;
}

// What the helper was asked for, and where it looks for its models.
struct LanguageChoice {
    std::string asTyped;
    HelperLanguage helper;
};

std::string installedNote() {
    auto installed = installedLanguages(pocketsphinx::defaultModelRoot());
    return "installed: " + (installed.empty() ? std::string("none") : joined(installed, ", ")) +
           " (olvek-transcribe --list-languages)";
}

int reportEnd(SessionEnd end, const HelperSession& session, const LanguageChoice& language,
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
    case SessionEnd::NoRecognizer: {
        std::string problem = modelProblem(pocketsphinx::defaultModelRoot(), language.helper.localeId);
        complain("no speech recognizer is available for --lang " + language.asTyped + said + "\n  " +
                 (problem.empty() ? "the model for " + language.helper.localeId + " looks whole" : problem) + "\n  " +
                 installedNote());
        return kExitNoRecognizer;
    }
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

// A pipe or socket may be shown on this same terminal later (`| tee`,
// `| cat`), where a status line drawn meanwhile would end up glued to the
// transcript: only there is the status line left out.
bool outputMayReachTerminalLater(int fd) {
    struct stat info{};
    return ::fstat(fd, &info) == 0 && (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode));
}

// Where one input's transcript goes.
struct Destination {
    std::string path; // empty: standard output
    std::string label; // JSON "file", or the text header; empty for a single input on standard output
};

// The file --output-dir gets for `input`: its name with the format's extension.
std::string outputNameFor(const std::string& input, OutputFormat format) {
    std::filesystem::path name = input == "-" ? std::filesystem::path("stdin") : std::filesystem::path(input).filename();
    if (name.empty() || name == "." || name == "..") name = "transcript";
    return name.replace_extension(formatExtension(format)).string();
}

std::string writeErrorText(int error) {
    if (error == EPIPE) return "its reader has gone (closed pipe)";
    return std::strerror(error);
}

// The input as messages name it.
std::string describeInput(const TranscribeOptions& options, const std::string& input) {
    if (options.mic) return "the microphone's recording";
    return input == "-" ? "standard input" : input;
}

struct RunContext {
    const TranscribeOptions& options;
    const LanguageChoice& language;
    std::string helperPath;
    // The helper as messages name it: every place looked at when none was
    // found there.
    std::string helperShown;
    StopRequest& stop;
    bool stderrTerminal;
    bool statusAllowed;
};

int transcribeOne(const RunContext& context, const std::string& input, const Destination& destination,
                  bool& outputFailed) {
    const TranscribeOptions& options = context.options;
    StopRequest& stop = context.stop;
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
    } else if (input == "-") {
        // Keystrokes are no audio: "-" is for a recorder's pipe.
        if (::isatty(STDIN_FILENO) == 1) {
            complain("standard input is a terminal; pipe raw 16 kHz mono 16-bit PCM into \"-\", e.g.\n"
                     "  arecord -q -f S16_LE -r 16000 -c 1 -t raw | olvek-transcribe -");
            return kExitUsage;
        }
        source = openRawPcm(STDIN_FILENO, stop.fd());
    } else {
        auto opened = openAudioFile(input);
        if (!opened.source) {
            complain("cannot read audio file " + input + ": " + opened.error);
            return kExitUnreadableInput;
        }
        source = std::move(opened.source);
    }

    std::FILE* out = stdout;
    if (!destination.path.empty()) {
        out = std::fopen(destination.path.c_str(), "w");
        if (!out) {
            complain("cannot write " + destination.path + ": " + std::strerror(errno));
            outputFailed = true;
            return kExitOutputFailed;
        }
    }

    DisplayOptions display;
    auto total = source->totalFrames();
    const double totalSeconds = total ? static_cast<double>(*total) / kHelperSampleRate : 0;
    const bool outIsTerminal = out == stdout && ::isatty(STDOUT_FILENO) == 1;
    display.statusLine = context.statusAllowed;
    // JSON on the terminal already shows every partial.
    display.showPartial = !(options.format == OutputFormat::Json && outIsTerminal);
    // Progress is worth showing only when the run takes a noticeable while.
    display.progress = context.statusAllowed && total && totalSeconds > 5;
    display.columns = [] { return terminalColumns(STDERR_FILENO); };
    const bool jsonLabel = options.format == OutputFormat::Json && destination.path.empty();
    TranscriptDisplay screen(out, stderr,
                             TranscriptFormatter(options.format, options.timestamps, jsonLabel ? destination.label : ""),
                             display);

    HelperLaunch launch;
    launch.helperPath = context.helperPath;
    launch.language = context.language.helper.argument;
    if (needsTimings(options)) launch.extraArguments.push_back("--olvek-timings");
    if (context.language.helper.localeEnvironment) {
        std::vector<std::string> environment;
        for (char** entry = environ; *entry; ++entry) {
            std::string_view text(*entry);
            if (text.rfind("LC_ALL=", 0) != 0) environment.emplace_back(text);
        }
        environment.push_back("LC_ALL=" + *context.language.helper.localeEnvironment);
        launch.environment = std::move(environment);
    }
    launch.helperOutput = options.verbose ? ChildOutput::ParentStandardError : ChildOutput::Discard;
    launch.interruptFd = stop.fd();
    launch.started = [](pid_t pid) {
        helperPid = pid;
        // -1 on a kernel without pidfds: the pid serves then.
        helperPidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    };
    HelperSession session(launch, [&screen](const std::string& line) { screen.onLine(line); });
    // Nobody can read the transcript any more: stop reading, end the helper.
    screen.onOutputFailed([&session, &stop](int) {
        stop.request();
        session.abort();
    });

    if (options.format != OutputFormat::Json && !destination.label.empty() && destination.path.empty()) {
        // Several inputs on one standard output: each transcript under its name.
        static bool first = true;
        std::string header = std::string(first ? "" : "\n") + "==> " + destination.label + " <==\n";
        first = false;
        if (std::fputs(header.c_str(), out) < 0 || std::fflush(out) != 0) {
            complain("cannot write the transcript: " + writeErrorText(errno));
            outputFailed = true;
            return kExitOutputFailed;
        }
    }
    screen.begin();
    auto closeOutput = [&]() -> bool {
        if (out == stdout) return true;
        return std::fclose(out) == 0;
    };

    if (auto failed = session.start()) {
        helperPid = -1; // exited or killed, and reaped
        screen.finish();
        if (int error = screen.outputError()) {
            closeOutput();
            complain("cannot write the transcript" + (destination.path.empty() ? "" : " to " + destination.path) +
                     ": " + writeErrorText(error) + "; stopped the helper");
            outputFailed = true;
            return kExitOutputFailed;
        }
        closeOutput();
        if (!destination.path.empty()) std::filesystem::remove(destination.path);
        return reportEnd(*failed, session, context.language, context.helperShown);
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
    int error = screen.outputError();
    if (!closeOutput() && error == 0) error = errno != 0 ? errno : EIO;
    if (error != 0) {
        complain("cannot write the transcript" + (destination.path.empty() ? "" : " to " + destination.path) + ": " +
                 writeErrorText(error) + "; stopped the helper");
        outputFailed = true;
        return kExitOutputFailed;
    }
    int code = reportEnd(end, session, context.language, context.helperShown);
    if (code != kExitTranscribed) return code;
    if (source->error()) {
        complain("reading " + describeInput(options, input) + " failed part way: " + *source->error());
        return kExitUnreadableInput;
    }
    if (screen.untimedFinals() > 0) {
        complain("the helper sent " + std::to_string(screen.untimedFinals()) +
                 " sentence(s) without their times (it may not know --olvek-timings)" +
                 (options.format == OutputFormat::Text ? "; they are written without times"
                                                       : "; they are missing from the subtitles"));
        if (options.format != OutputFormat::Text) return kExitHelperFailed;
    }
    if (screen.transcript().empty()) complain("heard no speech in " + describeInput(options, input));
    if (!destination.path.empty()) complain("wrote " + destination.path);
    return kExitTranscribed;
}

int listLanguages() {
    auto root = pocketsphinx::defaultModelRoot();
    auto languages = installedLanguages(root);
    for (const auto& language : languages) std::printf("%s\n", language.c_str());
    if (languages.empty()) complain("no usable speech model under " + root.string());
    return kExitTranscribed;
}

int run(const TranscribeOptions& options) {
    auto helperLanguage = helperLanguageFor(options.language, olvek::currentLocaleIdentifier());
    if (!helperLanguage) {
        complain("--lang " + options.language + " is not a language name; use one such as en, en-US, en_US or auto\n  " +
                 installedNote());
        return kExitUsage;
    }
    const LanguageChoice language{options.language, *helperLanguage};

    // Several inputs: each one's output is told apart by its name.
    std::vector<Destination> destinations;
    std::map<std::string, std::string> claimed;
    for (const auto& input : options.inputs) {
        Destination destination;
        if (options.inputs.size() > 1) destination.label = input == "-" ? "-" : input;
        if (!options.outputDir.empty()) {
            destination.path = (std::filesystem::path(options.outputDir) / outputNameFor(input, options.format)).string();
            if (auto [it, fresh] = claimed.emplace(destination.path, input); !fresh) {
                complain(it->second + " and " + input + " would both be written to " + destination.path);
                return kExitUsage;
            }
        }
        destinations.push_back(destination);
    }
    if (!options.outputDir.empty()) {
        std::error_code error;
        std::filesystem::create_directories(options.outputDir, error);
        if (error) {
            complain("cannot make the folder " + options.outputDir + ": " + error.message());
            return kExitOutputFailed;
        }
    }

    // Never destroyed: the signal handler may use it up to the very end.
    StopRequest& stop = *new StopRequest;
    stopRequest = &stop;
    // Notes for the handler, made now: it can only write them. On a terminal
    // the status line is cleared first.
    const bool stderrTerminal = ::isatty(STDERR_FILENO) == 1;
    const std::string clear = stderrTerminal ? "\r\033[J" : "";
    firstStopNote = clear + "olvek-transcribe: stopping; the last words follow (interrupt again to quit at once)\n";
    killedHelperNote = clear + "olvek-transcribe: interrupted again; stopped the helper and quit\n";
    quitNote = clear + "olvek-transcribe: interrupted again; quit\n";
    installStopHandlers();

    std::string lookedAt;
    const std::string helperPath = options.helperPath.empty() ? defaultHelper(lookedAt) : options.helperPath;
    RunContext context{options,
                       language,
                       helperPath,
                       lookedAt.empty() ? helperPath : lookedAt,
                       stop,
                       stderrTerminal,
                       stderrTerminal && (!options.outputDir.empty() || !outputMayReachTerminalLater(STDOUT_FILENO))};
    int result = kExitTranscribed;
    // The microphone is the one input of a --mic run.
    const std::vector<std::string> inputs = options.mic ? std::vector<std::string>{""} : options.inputs;
    if (options.mic) destinations.emplace_back();
    for (std::size_t i = 0; i < inputs.size() && !stop.requested(); ++i) {
        bool outputFailed = false;
        int code = transcribeOne(context, inputs[i], destinations[i], outputFailed);
        if (outputFailed) return code;
        if (result == kExitTranscribed) result = code;
        // These would fail the same way for every input.
        if (code == kExitHelperMissing || code == kExitNoRecognizer || code == kExitNotAuthorized ||
            code == kExitLaunchRejected || code == kExitHostFailure || code == kExitUsage) {
            break;
        }
    }
    return result;
}

// Whatever is still buffered must reach standard output too.
int finishStandardOutput(int code) {
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        if (code == kExitTranscribed) {
            complain(std::string("cannot write to standard output: ") + writeErrorText(errno));
            return kExitOutputFailed;
        }
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
        return finishStandardOutput(kExitTranscribed);
    }
    if (parsed.options->version) {
        std::printf("olvek-transcribe %s\n", OLVEK_VERSION);
        return finishStandardOutput(kExitTranscribed);
    }
    // A closed pipe is a failed write (EPIPE), reported as such, not a
    // death by SIGPIPE that would leave the helper to find out alone.
    std::signal(SIGPIPE, SIG_IGN);
    if (parsed.options->listLanguages) return finishStandardOutput(listLanguages());
    return finishStandardOutput(run(*parsed.options));
}
