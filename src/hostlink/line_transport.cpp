#include "line_transport.h"

#include <cstdio>
#include <vector>

#include "hostlink/event_messages.h"
#include "platform/utf8.h"

namespace olvek {

std::shared_ptr<InputStream> socketInputStream;
std::shared_ptr<OutputStream> socketOutputStream;
StreamPairFactory streamPairFactory = &createSocketStreamPair;

bool connectSocket(std::int64_t port, const std::string& token) {
    const std::string host = "127.0.0.1";
    SocketStreamPair pair = streamPairFactory(host, static_cast<std::uint32_t>(port));
    if (!pair.input || !pair.output) return false;
    pair.input->open();
    pair.output->open();
    socketInputStream = pair.input;
    socketOutputStream = pair.output;
    emit(helloEvent(token));
    return true;
}

std::optional<std::string> readSocketLine() {
    std::shared_ptr<InputStream> stream = socketInputStream;
    if (!stream) return std::nullopt;
    std::string pending;
    std::uint8_t byte = 0;
    for (;;) {
        long result = stream->read(&byte, 1);
        if (result == 1) {
            if (byte == '\r') continue;
            if (byte == '\n') break;
            pending.push_back(static_cast<char>(byte));
            continue;
        }
        if (result == 0 && !pending.empty()) break;
        return std::nullopt;
    }
    if (!isValidUtf8(pending)) return std::nullopt;
    return pending;
}

void writeLine(const std::string& line) {
    std::shared_ptr<OutputStream> stream = socketOutputStream;
    if (!stream) {
        std::fputs(line.c_str(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
        return;
    }
    std::string payload = line + '\n';
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(payload.data());
    std::size_t written = 0;
    while (written < payload.size()) {
        long result = stream->write(bytes + written, payload.size() - written);
        if (result < 1) return;
        written += static_cast<std::size_t>(result);
    }
}

} // namespace olvek
