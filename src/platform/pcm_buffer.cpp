#include "pcm_buffer.h"

#include <new>

namespace olvek {

std::uint32_t PcmFormat::bytesPerFrame() const {
    return commonFormat == CommonFormat::Int16 ? 2 * channelCount : 0;
}

std::shared_ptr<const PcmFormat> PcmFormat::create(CommonFormat commonFormat, double sampleRate,
                                                   std::uint32_t channelCount, bool interleaved) {
    if (commonFormat != CommonFormat::Int16 || channelCount != 1 || !(sampleRate > 0)) return nullptr;
    return std::make_shared<const PcmFormat>(PcmFormat{commonFormat, sampleRate, channelCount, interleaved});
}

PcmBuffer::PcmBuffer(std::shared_ptr<const PcmFormat> format, std::uint32_t capacity,
                     std::unique_ptr<std::int16_t[]> samples)
    : format_(std::move(format)), capacity_(capacity), samples_(std::move(samples)) {}

std::shared_ptr<PcmBuffer> PcmBuffer::create(std::shared_ptr<const PcmFormat> format, std::uint32_t frameCapacity) {
    if (!format || frameCapacity == 0) return nullptr;
    std::unique_ptr<std::int16_t[]> samples(new (std::nothrow) std::int16_t[frameCapacity]);
    if (!samples) return nullptr;
    return std::shared_ptr<PcmBuffer>(new PcmBuffer(std::move(format), frameCapacity, std::move(samples)));
}

void PcmBuffer::setFrameLength(std::uint32_t length) {
    length_ = length < capacity_ ? length : capacity_;
}

} // namespace olvek
