#include "sound_server.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace olvek::testing {
namespace {

std::string readAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string executableOnPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        std::string candidate = dir + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return {};
}

// The server's own files stay in `dir`: its runtime folder, configuration and
// cookie. The rest of the environment is passed on (PATH, locale).
std::vector<std::string> serverEnvironment(const std::string& dir) {
    std::vector<std::string> out;
    for (char** entry = environ; *entry; ++entry) {
        std::string item = *entry;
        for (const char* name : {"HOME=", "XDG_RUNTIME_DIR=", "XDG_CONFIG_HOME=", "PULSE_", "DBUS_SESSION_BUS_ADDRESS="}) {
            if (item.rfind(name, 0) == 0) item.clear();
        }
        if (!item.empty()) out.push_back(item);
    }
    out.push_back("HOME=" + dir);
    out.push_back("XDG_RUNTIME_DIR=" + dir);
    out.push_back("XDG_CONFIG_HOME=" + dir + "/config");
    // No session bus: the server looks for one and goes on without it.
    out.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=" + dir + "/no-bus");
    return out;
}

} // namespace

std::unique_ptr<PrivateSoundServer> PrivateSoundServer::start(const std::string& dir, std::string& error) {
    const std::string pulseaudio = executableOnPath("pulseaudio");
    if (pulseaudio.empty()) {
        error = "pulseaudio is not installed (./scripts/setup installs it)";
        return nullptr;
    }
    const std::string socket = dir + "/native", fifo = dir + "/microphone", log = dir + "/server.log";
    {
        // Anonymous clients: a test's clients have no cookie of this server.
        std::ofstream script(dir + "/server.pa");
        script << "load-module module-native-protocol-unix socket=" << socket << " auth-anonymous=1\n"
               << "load-module module-null-sink sink_name=speakers\n"
               << "load-module module-pipe-source source_name=microphone file=" << fifo
               << " format=s16le rate=16000 channels=1\n"
               << "set-default-sink speakers\n"
               << "set-default-source microphone\n";
    }
    host::SpawnOptions options;
    options.environment = serverEnvironment(dir);
    options.output = host::ChildOutput::Discard;
    options.inputFile = "/dev/null";
    // -n: none of the system's default modules (no real devices, no
    // suspending an idle source); the script above is all of it. The server
    // warns that it runs as root on CI, and goes on.
    auto process = host::ChildProcess::spawn({pulseaudio, "-n", "-F", dir + "/server.pa", "--daemonize=no",
                                              "--exit-idle-time=-1", "--use-pid-file=no", "--disable-shm=yes",
                                              "--log-target=file:" + log},
                                             options);
    if (!process) {
        error = "cannot start " + pulseaudio;
        return nullptr;
    }
    // The script ends with the pipe source; clients are served once it ran.
    const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!(std::filesystem::exists(socket) && std::filesystem::exists(fifo))) {
        if (auto status = process->wait(std::chrono::milliseconds(20))) {
            error = "pulseaudio ended at start (status " + std::to_string(status->code) + "): " + readAll(log);
            return nullptr;
        }
        if (std::chrono::steady_clock::now() > guard) {
            error = "pulseaudio did not start within 20 s: " + readAll(log);
            return nullptr;
        }
    }
    return std::unique_ptr<PrivateSoundServer>(new PrivateSoundServer(dir, std::move(*process)));
}

std::vector<std::string> PrivateSoundServer::clientEnvironment() const {
    return {"PULSE_SERVER=unix:" + dir_ + "/native", "PULSE_COOKIE=" + dir_ + "/cookie"};
}

bool PrivateSoundServer::waitForRecorder(std::chrono::milliseconds guard) const {
    const std::string pactl = executableOnPath("pactl");
    if (pactl.empty()) return false;
    std::vector<std::string> environment = serverEnvironment(dir_);
    for (const auto& item : clientEnvironment()) environment.push_back(item);
    const auto until = std::chrono::steady_clock::now() + guard;
    while (std::chrono::steady_clock::now() < until) {
        auto query = host::ChildProcess::spawn({pactl, "list", "short", "source-outputs"}, environment);
        if (!query) return false;
        auto status = query->wait(std::chrono::seconds(10));
        if (status && status->code == 0 && !query->standardOutput().empty()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

std::string PrivateSoundServer::log() const { return readAll(dir_ + "/server.log"); }

MicrophoneFeed::MicrophoneFeed(const std::string& microphonePath, std::vector<std::int16_t> speech)
    : thread_(&MicrophoneFeed::run, this, microphonePath, std::move(speech)) {}

MicrophoneFeed::~MicrophoneFeed() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void MicrophoneFeed::run(std::string path, std::vector<std::int16_t> speech) {
    // The server holds the reading end open for good, so this never waits.
    int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return;
    auto say = [fd](const std::vector<std::int16_t>& samples) {
        const char* bytes = reinterpret_cast<const char*>(samples.data());
        std::size_t left = samples.size() * sizeof(std::int16_t);
        while (left > 0) {
            ssize_t n = ::write(fd, bytes, left);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            bytes += n;
            left -= static_cast<std::size_t>(n);
        }
        return true;
    };
    spoken_ = say(speech);
    const std::vector<std::int16_t> silence(1600, 0);
    std::unique_lock lock(mutex_);
    while (!stop_ && say(silence)) wake_.wait_for(lock, std::chrono::milliseconds(100), [this] { return stop_; });
    lock.unlock();
    ::close(fd);
}

} // namespace olvek::testing
