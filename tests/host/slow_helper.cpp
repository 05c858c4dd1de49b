// A stand-in for the speech helper that is slow on purpose, for tests of how
// olvek-transcribe treats a helper that does not keep up. It speaks the
// helper's protocol without any recognizer and is configured from
// OLVEK_SLOW_HELPER, "key=value" items separated by ";":
//   rcvbuf=BYTES   its socket's receive buffer, set before it connects
//                  (default 4096), so that what the host has sent ahead waits
//                  almost all in the host's own buffer
//   ready=now|never  "ready" after "hello", or nothing more (default now)
//   take=N         audio lines taken at once after "ready" (default 0)
//   stall=MODE     then it reads nothing until the host is blocked: its main
//                  thread asleep with its input position unchanged for 100 ms
//                  (the host's input must then be a regular file on its
//                  standard input); it sends the partial "stalled" and goes
//                  on: at once (MODE "blocked"), once the file MODE names
//                  exists, or never ("forever"). Without stall it reads on.
//   finish=now|never  after "__END__" (or the end of the stream): the final
//                  "<N> samples" (N: the samples of every audio line) and
//                  "stopped", then exit 0; or the partial "finishing" and
//                  silence for good (default now)
//   pidfile=PATH   writes "<pid> <process group>" first
//   report=PATH    at the end of the audio, writes "key value" lines:
//                    samples       samples of every audio line taken
//                    bad_lines     lines that were not whole base64 samples
//                    lead_bytes    at the stall: how many bytes of its input
//                                  the host had read beyond the samples of
//                                  the lines taken
//                    after_stall_bytes  bytes the host wrote after it was
//                                  found blocked, up to "__END__" (which is
//                                  not counted)
// The host is its parent process. Exit status 91: the host's socket could not
// be found in /proc/net/tcp, so nothing can be measured.
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <netinet/in.h>
#include <optional>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "platform/base64.h"

namespace {

struct Config {
    int rcvbuf = 4096;
    bool ready = true;
    int take = 0;
    std::string stall; // empty: no stall
    bool finish = true;
    std::string pidfile, report;
};

Config readConfig() {
    Config config;
    const char* text = std::getenv("OLVEK_SLOW_HELPER");
    std::stringstream items(text ? text : "");
    std::string item;
    while (std::getline(items, item, ';')) {
        auto equals = item.find('=');
        if (equals == std::string::npos) continue;
        std::string key = item.substr(0, equals), value = item.substr(equals + 1);
        if (key == "rcvbuf") config.rcvbuf = std::atoi(value.c_str());
        if (key == "ready") config.ready = value != "never";
        if (key == "take") config.take = std::atoi(value.c_str());
        if (key == "stall") config.stall = value;
        if (key == "finish") config.finish = value != "never";
        if (key == "pidfile") config.pidfile = value;
        if (key == "report") config.report = value;
    }
    return config;
}

// Lines off the socket, counting every byte received.
class Reader {
public:
    explicit Reader(int fd) : fd_(fd) {}
    std::optional<std::string> line() {
        for (;;) {
            auto newline = pending_.find('\n');
            if (newline != std::string::npos) {
                std::string line = pending_.substr(0, newline);
                pending_.erase(0, newline + 1);
                return line;
            }
            char buffer[4096];
            ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return std::nullopt;
            received_ += static_cast<std::size_t>(n);
            pending_.append(buffer, static_cast<std::size_t>(n));
        }
    }
    // Bytes taken off the socket so far, and those of them not yet returned.
    std::size_t received() const { return received_; }
    std::size_t pending() const { return pending_.size(); }

private:
    int fd_;
    std::string pending_;
    std::size_t received_ = 0;
};

void send(int fd, const std::string& line) {
    std::string bytes = line + "\n";
    if (::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size())) std::exit(90);
}

std::string procText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The file position of the host's standard input.
long long hostInputPosition() {
    std::string info = procText("/proc/" + std::to_string(::getppid()) + "/fdinfo/0");
    auto pos = info.find("pos:");
    return pos == std::string::npos ? -1 : std::atoll(info.c_str() + pos + 4);
}

// The scheduling state of the host's main thread ('S': asleep in a wait).
char hostState() {
    std::string stat = procText("/proc/" + std::to_string(::getppid()) + "/stat");
    auto paren = stat.rfind(')');
    return paren == std::string::npos || paren + 2 >= stat.size() ? '?' : stat[paren + 2];
}

// Bytes the host has written that have not reached this end yet: the
// transmit queue of its socket (local port `hostPort`, remote `ownPort`).
long long hostUnsent(int hostPort, int ownPort) {
    std::ifstream table("/proc/net/tcp");
    std::string row;
    std::getline(table, row); // the header
    while (std::getline(table, row)) {
        unsigned localIp = 0, localPort = 0, remoteIp = 0, remotePort = 0, state = 0;
        unsigned long long tx = 0, rx = 0;
        if (std::sscanf(row.c_str(), " %*d: %8X:%4X %8X:%4X %2X %llX:%llX", &localIp, &localPort, &remoteIp,
                        &remotePort, &state, &tx, &rx) != 7) {
            continue;
        }
        if (static_cast<int>(localPort) == hostPort && static_cast<int>(remotePort) == ownPort) {
            return static_cast<long long>(tx);
        }
    }
    return -1;
}

} // namespace

int main(int argc, char** argv) {
    int port = -1;
    std::string token;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--olvek-socket-port") == 0) port = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--olvek-socket-token") == 0) token = argv[i + 1];
    }
    if (port < 0) return 4;
    Config config = readConfig();
    if (!config.pidfile.empty()) {
        std::ofstream(config.pidfile) << ::getpid() << " " << ::getpgrp() << "\n";
    }

    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &config.rcvbuf, sizeof config.rcvbuf);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return 4;
    sockaddr_in own{};
    socklen_t ownLength = sizeof own;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&own), &ownLength);
    const int ownPort = ntohs(own.sin_port);

    send(fd, R"({"type":"hello","token":")" + token + "\"}");
    if (!config.ready) {
        for (;;) ::pause();
    }
    send(fd, R"({"type":"ready","locale":"en-US"})");

    Reader reader(fd);
    long long samples = 0, badLines = 0, leadBytes = -1, afterStallBytes = -1;
    std::size_t writtenAtStall = 0;
    bool stalled = config.stall.empty();
    int lines = 0;
    auto partial = [&](const std::string& text) {
        send(fd, R"({"type":"partial","text":")" + text + R"(","language":"en-US"})");
    };
    for (;;) {
        if (!stalled && lines >= config.take) {
            stalled = true;
            // The host is blocked once its main thread has slept on, with its
            // input where it was, for ten looks in a row.
            long long position = -1;
            for (int still = 0; still < 10;) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                long long now = hostInputPosition();
                still = hostState() == 'S' && now == position ? still + 1 : 0;
                position = now;
            }
            leadBytes = position - 2 * samples;
            // What the host has written: what this end took, what waits in
            // its receive queue, and what the host's kernel has not seen
            // acknowledged. Bytes that arrived here but whose acknowledgement
            // the host's kernel has not yet processed count twice, so the
            // smallest of a few looks is the right one.
            writtenAtStall = 0;
            for (int look = 0; look < 10; ++look) {
                if (look > 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
                int queued = 0;
                long long unsent = hostUnsent(port, ownPort);
                if (::ioctl(fd, FIONREAD, &queued) != 0 || unsent < 0) return 91; // cannot tell: the test fails
                const std::size_t written =
                    reader.received() + static_cast<std::size_t>(queued) + static_cast<std::size_t>(unsent);
                if (look == 0 || written < writtenAtStall) writtenAtStall = written;
            }
            partial("stalled");
            if (config.stall == "forever") {
                for (;;) ::pause();
            }
            struct stat exists{};
            while (config.stall != "blocked" && ::stat(config.stall.c_str(), &exists) != 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        auto line = reader.line();
        if (line && *line != "__END__") {
            ++lines;
            auto bytes = olvek::decodeBase64(*line);
            if (bytes && bytes->size() >= 2) {
                samples += static_cast<long long>(bytes->size() / 2);
            } else {
                ++badLines;
            }
            continue;
        }
        if (line && writtenAtStall > 0) {
            // Everything received before "__END__\n".
            const std::size_t beforeEnd = reader.received() - reader.pending() - std::strlen("__END__\n");
            afterStallBytes = static_cast<long long>(beforeEnd) - static_cast<long long>(writtenAtStall);
        }
        break;
    }
    if (!config.report.empty()) {
        std::ofstream(config.report) << "samples " << samples << "\nbad_lines " << badLines << "\nlead_bytes "
                                     << leadBytes << "\nafter_stall_bytes " << afterStallBytes << "\n";
    }
    if (!config.finish) {
        partial("finishing");
        for (;;) ::pause();
    }
    send(fd, R"({"type":"final","text":")" + std::to_string(samples) + R"( samples","language":"en-US"})");
    send(fd, R"({"type":"stopped"})");
    ::close(fd);
    return 0;
}
