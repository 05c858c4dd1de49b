// PCM audio format and buffers: the stand-ins for the platform's audio types.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace olvek {

enum class CommonFormat : int {
    Float32 = 1,
    Float64 = 2,
    Int16 = 3,
    Int32 = 4,
};

struct PcmFormat {
    CommonFormat commonFormat;
    double sampleRate;
    std::uint32_t channelCount;
    bool interleaved;

    std::uint32_t bytesPerFrame() const;

    // Gives no format for what this stand-in cannot hold: only 16-bit
    // integer samples, one channel and a positive rate are supported.
    static std::shared_ptr<const PcmFormat> create(CommonFormat commonFormat, double sampleRate,
                                                   std::uint32_t channelCount, bool interleaved);
};

// One buffer of 16-bit samples in one channel. Not thread-safe: one owner
// fills it, then hands it on and no longer changes it.
class PcmBuffer {
public:
    // Gives no buffer when the capacity is zero or the memory cannot be had.
    static std::shared_ptr<PcmBuffer> create(std::shared_ptr<const PcmFormat> format,
                                             std::uint32_t frameCapacity);

    const PcmFormat& format() const { return *format_; }
    std::uint32_t frameCapacity() const { return capacity_; }
    std::uint32_t frameLength() const { return length_; }
    // Clamped to the capacity.
    void setFrameLength(std::uint32_t length);

    // Channel 0's sample storage, frameCapacity samples long.
    std::int16_t* int16ChannelData() { return samples_.get(); }
    const std::int16_t* int16ChannelData() const { return samples_.get(); }

private:
    PcmBuffer(std::shared_ptr<const PcmFormat> format, std::uint32_t capacity,
              std::unique_ptr<std::int16_t[]> samples);

    std::shared_ptr<const PcmFormat> format_;
    std::uint32_t capacity_;
    std::uint32_t length_ = 0;
    std::unique_ptr<std::int16_t[]> samples_;
};

} // namespace olvek
