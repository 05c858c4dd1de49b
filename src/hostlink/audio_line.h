// One inbound audio line to one PCM buffer.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/pcm_buffer.h"

namespace olvek {

// The run's PCM format: 16-bit signed samples, 16000 Hz, one channel,
// non-interleaved. Set once by the main driver before the first line is read.
extern std::shared_ptr<const PcmFormat> format;

// Makes the run's format.
std::shared_ptr<const PcmFormat> createAudioFormat();

using PcmBufferFactory = std::shared_ptr<PcmBuffer> (*)(std::shared_ptr<const PcmFormat>, std::uint32_t);

// Decodes `line` (strict base64) into a buffer of `format` with one frame
// per two bytes, little-endian; a trailing odd byte is dropped. No buffer
// when the text is not base64, holds fewer than 2 bytes, or the buffer is
// refused. Sends nothing and keeps nothing between lines.
std::shared_ptr<PcmBuffer> decodeAudioLine(std::string_view line, PcmBufferFactory makeBuffer = &PcmBuffer::create);

// The other way, for hosts: `count` samples as one audio line (base64 of
// little-endian 16-bit samples, "=" padded), without its "\n".
std::string encodeAudioLine(const std::int16_t* samples, std::size_t count);

} // namespace olvek
