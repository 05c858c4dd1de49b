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

// Where the child's standard output and standard error go.
enum class ChildOutput {
    Capture,            // pipes, read while `wait` or `kill` runs
    Inherit,            // this process's own streams
    ParentStandardError, // both into this process's standard error
    Discard,            // /dev/null
};

struct SpawnOptions {
    // Replaces the child's environment when given.
    std::optional<std::vector<std::string>> environment;
    ChildOutput output = ChildOutput::Capture;
    // A file to read standard input from (e.g. "/dev/null") instead of this
    // process's own.
    std::optional<std::string> inputFile;
    // The child leads a process group of its own, so a Ctrl-C meant for this
    // process does not reach it.
    bool ownProcessGroup = false;
};

class ChildProcess {
public:
    // Starts `arguments[0]` (a path) with `arguments`, with no signal
    // blocked in it. Nothing when it cannot be started: the path does not
    // exist or is not executable.
    static std::optional<ChildProcess> spawn(const std::vector<std::string>& arguments, const SpawnOptions& options);
    // The same with output captured (or inherited when `captureOutput` is
    // false); `environment` replaces the child's environment when given.
    static std::optional<ChildProcess> spawn(const std::vector<std::string>& arguments,
                                             const std::optional<std::vector<std::string>>& environment = std::nullopt,
                                             bool captureOutput = true);

    ChildProcess(ChildProcess&& other) noexcept;
    // Kills and reaps the child this one held, if still running.
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ~ChildProcess();

    pid_t pid() const { return pid_; }

    // Waits for the exit, collecting output meanwhile; nothing when `timeout`
    // passes first (the child keeps running).
    std::optional<ExitStatus> wait(std::chrono::milliseconds timeout);
    // Sends `signal` (SIGKILL by default) and reaps the child.
    ExitStatus kill(int signal = 9);

    // Output collected so far (complete after `wait` returned a status);
    // always empty unless the output is captured.
    const std::string& standardOutput() const { return stdout_; }
    const std::string& standardError() const { return stderr_; }

private:
    ChildProcess(pid_t pid, int outFd, int errFd) : pid_(pid), outFd_(outFd), errFd_(errFd) {}
    void drain(int timeoutMs);
    void release();

    pid_t pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    std::string stdout_;
    std::string stderr_;
    std::optional<ExitStatus> status_;
};

} // namespace olvek::host
