// A child process started with posix_spawn, its standard output and standard
// error collected through pipes.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace olvek::host {

struct ExitStatus {
    bool exited = false; // false: killed by a signal
    int code = 0;        // exit code, or the signal number
};

class ChildProcess {
public:
    // Starts `arguments[0]` (a path) with `arguments`; `environment` replaces
    // the child's environment when given. Nothing when it cannot be started:
    // the path does not exist or is not executable.
    static std::optional<ChildProcess> spawn(const std::vector<std::string>& arguments,
                                             const std::optional<std::vector<std::string>>& environment = std::nullopt,
                                             bool captureOutput = true);

    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&&) = delete;
    ~ChildProcess();

    pid_t pid() const { return pid_; }

    // Waits for the exit, collecting output meanwhile; nothing when `timeout`
    // passes first (the child keeps running).
    std::optional<ExitStatus> wait(std::chrono::milliseconds timeout);
    // Sends `signal` (SIGKILL by default) and reaps the child.
    ExitStatus kill(int signal = 9);

    // Output collected so far (complete after `wait` returned a status).
    const std::string& standardOutput() const { return stdout_; }
    const std::string& standardError() const { return stderr_; }

private:
    ChildProcess(pid_t pid, int outFd, int errFd) : pid_(pid), outFd_(outFd), errFd_(errFd) {}
    void drain(int timeoutMs);

    pid_t pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    std::string stdout_;
    std::string stderr_;
    std::optional<ExitStatus> status_;
};

} // namespace olvek::host
