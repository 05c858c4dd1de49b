#include "child_process.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace olvek::host {
namespace {

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> out;
    for (auto& text : texts) out.push_back(text.data());
    out.push_back(nullptr);
    return out;
}

ExitStatus decode(int raw) {
    if (WIFEXITED(raw)) return {true, WEXITSTATUS(raw)};
    return {false, WIFSIGNALED(raw) ? WTERMSIG(raw) : 0};
}

} // namespace

std::optional<ChildProcess> ChildProcess::spawn(const std::vector<std::string>& arguments,
                                                const std::optional<std::vector<std::string>>& environment,
                                                bool captureOutput) {
    SpawnOptions options;
    options.environment = environment;
    options.output = captureOutput ? ChildOutput::Capture : ChildOutput::Inherit;
    return spawn(arguments, options);
}

std::optional<ChildProcess> ChildProcess::spawn(const std::vector<std::string>& arguments,
                                                const SpawnOptions& options) {
    if (arguments.empty() || ::access(arguments[0].c_str(), X_OK) != 0) return std::nullopt;
    const bool capture = options.output == ChildOutput::Capture;
    int outPipe[2] = {-1, -1}, errPipe[2] = {-1, -1};
    if (capture && (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0)) {
        for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) {
            if (fd >= 0) ::close(fd);
        }
        return std::nullopt;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (options.inputFile) posix_spawn_file_actions_addopen(&actions, 0, options.inputFile->c_str(), O_RDONLY, 0);
    switch (options.output) {
    case ChildOutput::Capture:
        posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
        posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
        break;
    case ChildOutput::Inherit:
        break;
    case ChildOutput::ParentStandardError:
        posix_spawn_file_actions_adddup2(&actions, 2, 1);
        break;
    case ChildOutput::Discard:
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        break;
    }
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // The child starts with no signal blocked, whatever the caller has
    // blocked around the spawn.
    short flags = POSIX_SPAWN_SETSIGMASK;
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    if (options.ownProcessGroup) {
        flags |= POSIX_SPAWN_SETPGROUP;
        posix_spawnattr_setpgroup(&attributes, 0);
    }
    posix_spawnattr_setflags(&attributes, flags);
    auto args = arguments;
    auto argv = pointers(args);
    std::vector<std::string> env;
    if (options.environment) env = *options.environment;
    auto envp = pointers(env);
    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, arguments[0].c_str(), &actions, &attributes, argv.data(),
                           options.environment ? envp.data() : environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (capture) {
        ::close(outPipe[1]);
        ::close(errPipe[1]);
    }
    if (rc != 0) {
        if (capture) {
            ::close(outPipe[0]);
            ::close(errPipe[0]);
        }
        return std::nullopt;
    }
    return ChildProcess(pid, outPipe[0], errPipe[0]);
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(other.pid_), outFd_(other.outFd_), errFd_(other.errFd_), stdout_(std::move(other.stdout_)),
      stderr_(std::move(other.stderr_)), status_(other.status_) {
    other.pid_ = -1;
    other.outFd_ = other.errFd_ = -1;
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this == &other) return *this;
    release();
    pid_ = other.pid_;
    outFd_ = other.outFd_;
    errFd_ = other.errFd_;
    stdout_ = std::move(other.stdout_);
    stderr_ = std::move(other.stderr_);
    status_ = other.status_;
    other.pid_ = -1;
    other.outFd_ = other.errFd_ = -1;
    return *this;
}

ChildProcess::~ChildProcess() { release(); }

void ChildProcess::release() {
    if (pid_ > 0 && !status_) kill();
    if (outFd_ >= 0) ::close(outFd_);
    if (errFd_ >= 0) ::close(errFd_);
    outFd_ = errFd_ = -1;
}

void ChildProcess::drain(int timeoutMs) {
    pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
    if (outFd_ < 0 && errFd_ < 0) {
        if (timeoutMs > 0) ::poll(nullptr, 0, timeoutMs);
        return;
    }
    if (::poll(fds, 2, timeoutMs) <= 0) return;
    for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
        char buffer[4096];
        ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
        int& fd = i == 0 ? outFd_ : errFd_;
        if (n > 0) {
            (i == 0 ? stdout_ : stderr_).append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            ::close(fd);
            fd = -1;
        }
    }
}

std::optional<ExitStatus> ChildProcess::wait(std::chrono::milliseconds timeout) {
    if (status_) return status_;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int raw = 0;
        pid_t done = ::waitpid(pid_, &raw, WNOHANG);
        if (done == pid_) {
            while (outFd_ >= 0 || errFd_ >= 0) drain(1000);
            status_ = decode(raw);
            return status_;
        }
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        drain(5);
    }
}

ExitStatus ChildProcess::kill(int signal) {
    if (status_) return *status_;
    ::kill(pid_, signal);
    int raw = 0;
    while (::waitpid(pid_, &raw, 0) < 0 && errno == EINTR) {
    }
    while (outFd_ >= 0 || errFd_ >= 0) drain(1000);
    status_ = decode(raw);
    return *status_;
}

} // namespace olvek::host
