#include "audio_line.h"

#include <cstring>
#include <limits>
#include <vector>

#include "platform/base64.h"

namespace olvek {

std::shared_ptr<const PcmFormat> format;

std::shared_ptr<const PcmFormat> createAudioFormat() {
    return PcmFormat::create(CommonFormat::Int16, 16000.0, 1, false);
}

std::shared_ptr<PcmBuffer> decodeAudioLine(std::string_view line, PcmBufferFactory makeBuffer) {
    auto bytes = decodeBase64(line);
    if (!bytes || bytes->size() < 2) return nullptr;
    std::size_t frames = bytes->size() / 2;
    if (frames > std::numeric_limits<std::uint32_t>::max()) return nullptr;
    auto buffer = makeBuffer(format, static_cast<std::uint32_t>(frames));
    if (!buffer) return nullptr;
    buffer->setFrameLength(static_cast<std::uint32_t>(frames));
    std::int16_t* samples = buffer->int16ChannelData();
    for (std::size_t i = 0; i < frames; ++i) {
        samples[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>((*bytes)[2 * i]) |
                                               static_cast<std::uint16_t>((*bytes)[2 * i + 1]) << 8);
    }
    return buffer;
}

std::string encodeAudioLine(const std::int16_t* samples, std::size_t count) {
    std::vector<std::uint8_t> bytes(count * 2);
    for (std::size_t i = 0; i < count; ++i) {
        auto u = static_cast<std::uint16_t>(samples[i]);
        bytes[2 * i] = static_cast<std::uint8_t>(u & 0xFF);
        bytes[2 * i + 1] = static_cast<std::uint8_t>(u >> 8);
    }
    return encodeBase64(bytes.data(), bytes.size());
}

} // namespace olvek
