// The host connection: one loopback TCP connection carrying text lines both
// ways. Everything here runs on the main thread, blocks, holds no lock and
// reports no transport failure.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/socket_stream_pair.h"

namespace olvek {

// The host connection's two streams. Empty until `connectSocket` succeeds;
// once set they stay set (closed at the end of a normal run, not emptied).
extern std::shared_ptr<InputStream> socketInputStream;
extern std::shared_ptr<OutputStream> socketOutputStream;

// Where `connectSocket` gets its stream pair; tests swap it.
using StreamPairFactory = SocketStreamPair (*)(const std::string& host, std::uint32_t port);
extern StreamPairFactory streamPairFactory;

// Creates and opens the stream pair for 127.0.0.1:`port`, stores both streams
// and sends "hello" with `token`. False, with nothing stored or sent, when a
// stream could not be created. Whether the host accepted the connection is
// not asked: a refused connection shows up later as failed writes and the end
// of input. `port` must be within 0..4294967295.
bool connectSocket(std::int64_t port, const std::string& token);

// The next inbound line without its "\n" and with every "\r" removed; possibly
// empty. No line before the connection, at the end of the stream with nothing
// pending, on a read error (the pending bytes are lost) and when the line is
// not valid UTF-8 (its bytes are consumed). There is no length limit.
std::optional<std::string> readSocketLine();

// Sends `line` and "\n". Before the connection it goes to standard output and
// is flushed. On the connection a short write is continued; a write that
// answers 0 or -1 drops the rest of the line without notice.
void writeLine(const std::string& line);

} // namespace olvek
