// A pair of blocking byte streams over one TCP connection: the stand-in for the
// platform's socket stream pair.
//
// Contract, shared by every implementation of the two stream interfaces:
// - `open` starts connecting and returns at once; it reports nothing.
// - `read` and `write` block the calling thread. While the open is still
//   pending they first wait for it; a failed open makes them answer -1.
// - `read` answers the number of bytes stored (at least 1), 0 at the end of
//   the stream, or -1 on an error.
// - `write` answers the number of bytes written (at least 1), 0 or -1.
// - `close` ends this stream's direction of the connection.
// A stream is used from one thread at a time; the two streams of a pair may be
// used from different threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace olvek {

class InputStream {
public:
    virtual ~InputStream() = default;
    virtual void open() = 0;
    virtual long read(std::uint8_t* buffer, std::size_t maxLength) = 0;
    virtual void close() = 0;
};

class OutputStream {
public:
    virtual ~OutputStream() = default;
    virtual void open() = 0;
    virtual long write(const std::uint8_t* bytes, std::size_t maxLength) = 0;
    virtual void close() = 0;
};

struct SocketStreamPair {
    std::shared_ptr<InputStream> input;   // may be null: creation refused
    std::shared_ptr<OutputStream> output; // may be null: creation refused
};

// Creates an unopened stream pair for one TCP connection to `host` (numeric
// IPv4 text) and `port`. It does not connect. A port that TCP cannot carry
// (above 65535) or a host that is not numeric IPv4 still gives a pair, whose
// open fails, so reads and writes answer -1. Both streams are null only when
// the system refuses a socket.
//
// The connection asks the system for a receive buffer of
// `kReceiveBufferBytes` (Linux keeps twice that): the system's default grows
// to megabytes, seconds of audio that a sender would take as delivered, and
// that the reader must still work through after the sender stops.
//
// Reading: the input stream keeps its own receive buffer (one recv of up to
// 64 KiB), so reading one byte at a time costs no system call per byte and no
// byte after what the caller took is lost.
// Writing never raises SIGPIPE; interrupted system calls are retried.
// Closing the input shuts down reading only, closing the output shuts down
// writing only; the descriptor is released once both are closed or gone.
inline constexpr int kReceiveBufferBytes = 8 * 1024;

SocketStreamPair createSocketStreamPair(const std::string& host, std::uint32_t port);

} // namespace olvek
