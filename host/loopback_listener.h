// The host side of the helper's connection: a listening socket on 127.0.0.1
// and the accepted connections, read and written as lines.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace olvek::host {

using Clock = std::chrono::steady_clock;

// One accepted connection. Not thread-safe, except that `shutdownWrite`,
// `close` and `writeLine` may be called from another thread than readers.
class LineConnection {
public:
    explicit LineConnection(int fd);
    ~LineConnection();
    LineConnection(const LineConnection&) = delete;
    LineConnection& operator=(const LineConnection&) = delete;

    // The next line without its "\n" (a "\r" before it is kept), or nothing at
    // the end of the stream, on an error or when `deadline` passes first
    // (then `timedOut()` is true and the partial line is kept for the next call).
    std::optional<std::string> readLine(Clock::time_point deadline = Clock::time_point::max());
    bool timedOut() const { return timedOut_; }

    // One step that never blocks: a complete line already received, or else
    // at most one receive of what has arrived. Nothing with `open` true when
    // no complete line is there yet; `open` false at the end of the stream or
    // on an error. Bounds what a peer can make the caller buffer per step.
    std::optional<std::string> readLineNow(bool& open);

    enum class WriteEnd {
        Written,     // every byte went
        PeerGone,    // the peer closed the connection, or it failed
        Interrupted, // the peer's side was full and `interruptFd` was readable
    };
    // Writes `bytes` from `written` on, advancing `written` past every byte
    // that went. Blocks while the peer's side is full, until it takes more;
    // but once it has had to wait, returns Interrupted as soon as
    // `interruptFd` (if not -1) is readable, with the rest unwritten (a write
    // that never has to wait is never cut). Never raises SIGPIPE.
    WriteEnd write(std::string_view bytes, std::size_t& written, int interruptFd = -1);
    // Writes `bytes` whole; false when the peer is gone.
    bool writeAll(std::string_view bytes);
    bool writeLine(const std::string& line) { return writeAll(line + "\n"); }

    void shutdownWrite();
    void close();
    int fd() const { return fd_; }
    // Bytes received but not yet returned as a line.
    std::size_t bufferedBytes() const { return pending_.size(); }

private:
    int fd_;
    std::string pending_;
    bool timedOut_ = false;
};

class LoopbackListener {
public:
    // Listens on 127.0.0.1 at `port` (0: a port the kernel picks). Returns
    // null when no socket can be had. With `sendBufferBytes` above 0, every
    // accepted connection has a send buffer of that size, fixed (Linux keeps
    // twice the value for its bookkeeping and no longer grows it as it would
    // by default, to megabytes): a writer blocks once that much waits unread,
    // instead of running far ahead of a slow peer.
    static std::unique_ptr<LoopbackListener> listen(std::uint16_t port = 0, int sendBufferBytes = 0);
    ~LoopbackListener();
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    std::uint16_t port() const { return port_; }

    // The next connection, or nothing when `deadline` passes first.
    std::unique_ptr<LineConnection> accept(Clock::time_point deadline);

    void close();
    // The listening socket, for callers that poll it with other descriptors.
    int fd() const { return fd_; }

private:
    LoopbackListener(int fd, std::uint16_t port) : fd_(fd), port_(port) {}
    int fd_;
    std::uint16_t port_;
};

} // namespace olvek::host
