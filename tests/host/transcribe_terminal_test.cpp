// Where olvek-transcribe's output goes: a terminal (a pseudo-terminal here),
// a pipe shown on that terminal, a full disk, a pipe whose reader has gone.
// And the helper's own single line of output into a closed pipe.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sndfile.h>

#include "host/transcribe_options.h"
#include "transcribe_run.h"

namespace olvek::testing {
namespace {

using namespace std::chrono_literals;

constexpr auto kHangGuard = 60s;

std::string timedHelper() { return OLVEK_TIMED_HELPER_PATH; }

// The stand-in's script: three sentences, a partial per word and a final
// each, one event per audio line taken.
const std::string kScript = "OLVEK_TIMED_HELPER=script=one@0.1-0.2,two@0.3-0.4,three@0.5-0.6|four@1.0-1.1,"
                            "five@1.2-1.3|six@2.0-2.1";

struct Exit {
    bool exited = false;
    int code = -1;
};

// Waits for `pid`, reading `fd` meanwhile into `read` (when fd >= 0).
Exit waitReading(pid_t pid, int fd, std::string& read) {
    auto guard = std::chrono::steady_clock::now() + kHangGuard;
    int status = 0;
    for (;;) {
        if (fd >= 0) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 20) > 0) {
                char buffer[4096];
                ssize_t n = ::read(fd, buffer, sizeof buffer);
                if (n > 0) {
                    read.append(buffer, static_cast<std::size_t>(n));
                    continue;
                }
                fd = -1; // EIO once the pseudo-terminal has no writer left
            }
        } else {
            std::this_thread::sleep_for(20ms);
        }
        pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (std::chrono::steady_clock::now() > guard) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return {};
        }
    }
    // What is left in the terminal after the exit.
    if (fd >= 0) {
        pollfd p{fd, POLLIN, 0};
        char buffer[4096];
        ssize_t n = 0;
        while (::poll(&p, 1, 50) > 0 && (n = ::read(fd, buffer, sizeof buffer)) > 0) {
            read.append(buffer, static_cast<std::size_t>(n));
        }
    }
    return {WIFEXITED(status), WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status)};
}

// Starts `arguments` with standard output and standard error on the given
// descriptors (-1: the pseudo-terminal of `forkpty`, whose master is returned
// in `terminal`), standard input from /dev/null.
pid_t start(const std::vector<std::string>& arguments, int outFd, int errFd, int* terminal, int columns = 200) {
    std::string script = kScript;
    winsize size{};
    size.ws_row = 24;
    size.ws_col = static_cast<unsigned short>(columns);
    pid_t pid = terminal ? ::forkpty(terminal, nullptr, nullptr, &size) : ::fork();
    if (pid != 0) return pid;
    int null = ::open("/dev/null", O_RDONLY);
    ::dup2(null, 0);
    if (outFd >= 0) ::dup2(outFd, 1);
    if (errFd >= 0) ::dup2(errFd, 2);
    ::putenv(script.data());
    std::vector<char*> argv;
    for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
}

// The rows a terminal shows after `bytes`: a small emulator of the
// controls olvek-transcribe uses (carriage return, newline, erase to the end
// of the screen) that wraps at `columns` characters of UTF-8.
std::vector<std::string> screen(const std::string& bytes, std::size_t columns) {
    std::vector<std::vector<std::string>> rows(1); // cells of UTF-8 characters
    std::size_t row = 0, column = 0;
    auto nextRow = [&] {
        ++row;
        column = 0;
        if (rows.size() <= row) rows.emplace_back();
    };
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        char c = bytes[i];
        if (c == '\r') {
            column = 0;
        } else if (c == '\n') {
            nextRow();
        } else if (c == '\033' && bytes.compare(i, 3, "\033[J") == 0) {
            rows[row].resize(std::min(rows[row].size(), column));
            rows.resize(row + 1);
            i += 2;
        } else if (c == '\033') {
            ADD_FAILURE() << "an escape sequence this emulator does not know at byte " << i;
        } else if ((static_cast<unsigned char>(c) & 0xC0) == 0x80 && column > 0) {
            rows[row][column - 1] += c; // the rest of a character
        } else {
            if (column == columns) nextRow();
            if (rows[row].size() <= column) rows[row].resize(column + 1, " ");
            rows[row][column++] = std::string(1, c);
        }
    }
    std::vector<std::string> shown;
    for (const auto& cells : rows) {
        std::string text;
        for (const auto& cell : cells) text += cell;
        shown.push_back(text);
    }
    while (!shown.empty() && shown.back().empty()) shown.pop_back();
    return shown;
}

class TranscribeTerminal : public ::testing::Test {
protected:
    TempDir dir;
    // 7 s, so that progress is shown too.
    std::string input() {
        std::string path = dir.file("speech.wav");
        writeSoundFile(path, std::vector<std::int16_t>(7 * 16000), 16000, 1, SF_FORMAT_WAV);
        return path;
    }
    const std::vector<std::string> finals{"one two three", "four five", "six"};
};

// Standard output and standard error both on the terminal: the live line is
// drawn and cleared in place, and the screen ends with the finals alone.
TEST_F(TranscribeTerminal, OnTheTerminalTheLiveLineLeavesOnlyTheFinals) {
    int terminal = -1;
    pid_t pid = start({OLVEK_TRANSCRIBE_PATH, "--helper", timedHelper(), input()}, -1, -1, &terminal);
    ASSERT_GT(pid, 0);
    std::string shown;
    Exit exit = waitReading(pid, terminal, shown);
    ::close(terminal);
    ASSERT_TRUE(exit.exited) << shown;
    EXPECT_EQ(exit.code, 0) << shown;
    EXPECT_NE(shown.find("\r\033[J"), std::string::npos) << "a live line was drawn";
    EXPECT_NE(shown.find("% "), std::string::npos) << "progress was shown";
    EXPECT_EQ(screen(shown, 200), finals) << shown;
}

// `| tee` or `| cat`: standard output is a pipe whose text reaches the same
// terminal later. No live line is drawn then, so nothing can be glued to it.
TEST_F(TranscribeTerminal, WhenStandardOutputIsAPipeTheTerminalGetsNoLiveLine) {
    int terminal = -1, pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    pid_t pid = start({OLVEK_TRANSCRIBE_PATH, "--helper", timedHelper(), input()}, pipeFds[1], -1, &terminal);
    ASSERT_GT(pid, 0);
    ::close(pipeFds[1]);
    std::string shown;
    Exit exit = waitReading(pid, terminal, shown);
    std::string piped;
    char buffer[4096];
    for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;) piped.append(buffer, static_cast<std::size_t>(n));
    ::close(pipeFds[0]);
    ::close(terminal);
    ASSERT_TRUE(exit.exited);
    EXPECT_EQ(exit.code, 0) << shown;
    EXPECT_EQ(shown, "") << "nothing on standard error";
    EXPECT_EQ(piped, "one two three\nfour five\nsix\n");
}

// A terminal narrower than the live text: the line is cut to fit, so it
// never wraps into rows that a clear would miss.
TEST_F(TranscribeTerminal, ANarrowTerminalGetsALineThatFits) {
    int terminal = -1;
    pid_t pid = start({OLVEK_TRANSCRIBE_PATH, "--helper", timedHelper(), input()}, -1, -1, &terminal, 12);
    ASSERT_GT(pid, 0);
    std::string shown;
    Exit exit = waitReading(pid, terminal, shown);
    ::close(terminal);
    ASSERT_TRUE(exit.exited);
    EXPECT_EQ(exit.code, 0);
    // The emulator wraps at 12 columns: only the final "one two three" (13
    // characters, written as transcript) takes two rows; no status is left.
    EXPECT_EQ(screen(shown, 12), (std::vector<std::string>{"one two thre", "e", "four five", "six"})) << shown;
}

// A full disk: the run stops with its own status and says why.
TEST_F(TranscribeTerminal, AFullDiskStopsTheRunWithStatus9) {
    int full = ::open("/dev/full", O_WRONLY);
    ASSERT_GE(full, 0);
    int errPipe[2];
    ASSERT_EQ(::pipe(errPipe), 0);
    pid_t pid = start({OLVEK_TRANSCRIBE_PATH, "--helper", timedHelper(), input()}, full, errPipe[1], nullptr);
    ::close(full);
    ::close(errPipe[1]);
    std::string err;
    Exit exit = waitReading(pid, errPipe[0], err);
    ::close(errPipe[0]);
    ASSERT_TRUE(exit.exited);
    EXPECT_EQ(exit.code, host::kExitOutputFailed) << err;
    EXPECT_NE(err.find("cannot write the transcript: No space left on device; stopped the helper"), std::string::npos)
        << err;
}

// `| head -c 20`: the reader goes while the audio still comes (here from a
// live recorder that never ends). The run must stop at once, end the helper,
// and exit with status 9 rather than die of SIGPIPE.
TEST_F(TranscribeTerminal, AClosedPipeStopsTheRunAndTheHelper) {
    std::string fifo = dir.file("live"), pidFile = dir.file("helper.pid");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    int recorder = ::open(fifo.c_str(), O_RDWR);
    ASSERT_GE(recorder, 0);
    std::string wrapper = dir.file("helper");
    writeFile(wrapper, "#!/bin/sh\necho $$ > '" + pidFile + "'\nexec '" + timedHelper() + "' \"$@\"\n", true);
    std::string script = kScript;
    int outPipe[2], errPipe[2];
    ASSERT_EQ(::pipe(outPipe), 0);
    ASSERT_EQ(::pipe(errPipe), 0);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::putenv(script.data());
        int in = ::open(fifo.c_str(), O_RDONLY);
        ::dup2(in, 0);
        ::dup2(outPipe[1], 1);
        ::dup2(errPipe[1], 2);
        // Only the test holds the reading ends: closing them must leave the
        // pipe without a reader.
        for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1], recorder}) ::close(fd);
        ::execl(OLVEK_TRANSCRIBE_PATH, OLVEK_TRANSCRIBE_PATH, "--helper", wrapper.c_str(), "-", nullptr);
        ::_exit(127);
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    // A line of audio brings one event: four make the first final.
    const std::vector<std::int16_t> line(1600);
    for (int i = 0; i < 4; ++i) ASSERT_EQ(::write(recorder, line.data(), 3200), 3200);
    // The reader takes the first sentence, then goes away.
    std::string got;
    char c;
    while (got.find('\n') == std::string::npos && ::read(outPipe[0], &c, 1) == 1) got += c;
    EXPECT_EQ(got, "one two three\n");
    ::close(outPipe[0]);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(::write(recorder, line.data(), 3200), 3200);

    std::string err;
    Exit exit = waitReading(pid, errPipe[0], err);
    ::close(errPipe[0]);
    ::close(recorder);
    ASSERT_TRUE(exit.exited) << "killed by signal " << exit.code;
    EXPECT_EQ(exit.code, host::kExitOutputFailed) << err;
    EXPECT_NE(err.find("cannot write the transcript: its reader has gone (closed pipe); stopped the helper"),
              std::string::npos)
        << err;
    pid_t helper = 0;
    std::ifstream(pidFile) >> helper;
    ASSERT_GT(helper, 0);
    EXPECT_TRUE(::kill(helper, 0) != 0 && errno == ESRCH) << "the helper is still there";
}

// The helper started without its socket options writes one line; into a
// pipe whose reader has gone it must still end with status 4.
TEST(HelperOutput, TheLaunchErrorIntoAClosedPipeEndsWithStatus4) {
    int outPipe[2];
    ASSERT_EQ(::pipe(outPipe), 0);
    ::close(outPipe[0]);
    pid_t pid = start({OLVEK_HELPER_PATH, "en"}, outPipe[1], -1, nullptr);
    ::close(outPipe[1]);
    std::string none;
    Exit exit = waitReading(pid, -1, none);
    EXPECT_TRUE(exit.exited) << "killed by signal " << exit.code;
    EXPECT_EQ(exit.code, 4);
}

} // namespace
} // namespace olvek::testing
