#include "audio_source.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <sndfile.h>
#include <soxr.h>

namespace olvek::host {
namespace {

constexpr std::size_t kBlockFrames = 4096;

std::int16_t toInt16(float sample) {
    float scaled = std::nearbyint(sample * 32767.0f);
    return static_cast<std::int16_t>(std::clamp(scaled, -32768.0f, 32767.0f));
}

class SoundFileSource final : public AudioSource {
public:
    SoundFileSource(SNDFILE* file, const SF_INFO& info) : file_(file), info_(info) {
        // Only 16-bit integer samples are already what the helper takes. Any
        // other encoding (float above all, which may exceed full scale) goes
        // through the float path, which clips instead of wrapping around.
        passThrough_ = info.channels == 1 && info.samplerate == kHelperSampleRate &&
                       (info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16;
    }
    ~SoundFileSource() override {
        if (resampler_) soxr_delete(resampler_);
        sf_close(file_);
    }

    // Set up after construction so that a failure can be reported.
    std::optional<std::string> prepare() {
        if (info_.samplerate == kHelperSampleRate) return std::nullopt;
        soxr_error_t failure = nullptr;
        soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
        resampler_ = soxr_create(info_.samplerate, kHelperSampleRate, 1, &failure, &io, &quality, nullptr);
        if (failure || !resampler_) return std::string("cannot set up the resampler: ") + (failure ? failure : "?");
        return std::nullopt;
    }

    std::size_t read(std::int16_t* out, std::size_t frames) override {
        if (passThrough_) return readDirect(out, frames);
        while (ready_.size() - readyOffset_ < frames && !drained_) refill();
        std::size_t n = std::min(frames, ready_.size() - readyOffset_);
        std::copy_n(ready_.begin() + static_cast<std::ptrdiff_t>(readyOffset_), n, out);
        readyOffset_ += n;
        if (readyOffset_ == ready_.size()) {
            ready_.clear();
            readyOffset_ = 0;
        }
        return n;
    }

    std::optional<std::uint64_t> totalFrames() const override {
        if (info_.frames <= 0 || info_.samplerate <= 0) return std::nullopt;
        return static_cast<std::uint64_t>(static_cast<double>(info_.frames) * kHelperSampleRate / info_.samplerate);
    }

    std::optional<std::string> error() const override { return error_; }

private:
    std::size_t readDirect(std::int16_t* out, std::size_t frames) {
        std::size_t total = 0;
        while (total < frames) {
            sf_count_t n = sf_readf_short(file_, out + total, static_cast<sf_count_t>(frames - total));
            if (n <= 0) {
                noteReadError();
                break;
            }
            total += static_cast<std::size_t>(n);
        }
        return total;
    }

    // Decodes one block, mixes it down, resamples it and appends the result
    // to `ready_`; at the end of the file, flushes the resampler.
    void refill() {
        const auto channels = static_cast<std::size_t>(info_.channels);
        interleaved_.resize(kBlockFrames * channels);
        sf_count_t got = sf_readf_float(file_, interleaved_.data(), static_cast<sf_count_t>(kBlockFrames));
        std::size_t frames = got > 0 ? static_cast<std::size_t>(got) : 0;
        mono_.assign(frames, 0.0f);
        for (std::size_t f = 0; f < frames; ++f) {
            float sum = 0;
            for (std::size_t c = 0; c < channels; ++c) sum += interleaved_[f * channels + c];
            mono_[f] = sum / static_cast<float>(channels);
        }
        if (frames == 0) noteReadError();
        if (!resampler_) {
            for (float s : mono_) ready_.push_back(toInt16(s));
            if (frames == 0) drained_ = true;
            return;
        }
        // A null input tells the resampler the input has ended: it then
        // returns the tail it still holds, over as many calls as it needs.
        const bool ending = frames == 0;
        std::size_t consumed = 0;
        for (;;) {
            std::size_t capacity = static_cast<std::size_t>(
                std::ceil(static_cast<double>(frames - consumed) * kHelperSampleRate / info_.samplerate)) + 256;
            resampled_.resize(capacity);
            std::size_t inDone = 0, outDone = 0;
            soxr_error_t failure = soxr_process(resampler_, ending ? nullptr : mono_.data() + consumed,
                                                frames - consumed, &inDone, resampled_.data(), capacity, &outDone);
            if (failure) {
                error_ = std::string("resampling failed: ") + failure;
                drained_ = true;
                return;
            }
            for (std::size_t i = 0; i < outDone; ++i) ready_.push_back(toInt16(resampled_[i]));
            consumed += inDone;
            if (!ending && inDone == 0 && outDone == 0) return; // no progress: never spin
            if (ending) {
                if (outDone == 0) drained_ = true;
                return;
            }
            if (consumed >= frames) return;
        }
    }

    void noteReadError() {
        if (sf_error(file_) != SF_ERR_NO_ERROR && !error_) error_ = sf_strerror(file_);
    }

    SNDFILE* file_;
    SF_INFO info_;
    bool passThrough_ = false;
    soxr_t resampler_ = nullptr;
    std::vector<float> interleaved_, mono_, resampled_;
    std::vector<std::int16_t> ready_;
    std::size_t readyOffset_ = 0;
    bool drained_ = false;
    std::optional<std::string> error_;
};

class RawPcmSource final : public AudioSource {
public:
    RawPcmSource(int fd, int interruptFd) : fd_(fd), interruptFd_(interruptFd) {}

    std::size_t read(std::int16_t* out, std::size_t frames) override {
        std::size_t wanted = frames * 2;
        bytes_.resize(std::max(bytes_.size(), wanted + 1));
        while (filled_ < wanted && !ended_) {
            if (interruptFd_ >= 0) {
                // Both at once, so an interruption that came first is seen.
                pollfd fds[2] = {{fd_, POLLIN, 0}, {interruptFd_, POLLIN, 0}};
                if (::poll(fds, 2, -1) < 0 && errno == EINTR) break;
                if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) break;
            }
            ssize_t n = ::read(fd_, bytes_.data() + filled_, wanted - filled_);
            if (n > 0) {
                filled_ += static_cast<std::size_t>(n);
            } else if (n < 0 && errno == EINTR) {
                break; // a signal: let the caller look at why
            } else {
                if (n < 0) error_ = std::strerror(errno);
                ended_ = true;
            }
        }
        std::size_t n = std::min(frames, filled_ / 2);
        for (std::size_t i = 0; i < n; ++i) {
            auto lo = static_cast<std::uint16_t>(bytes_[2 * i]);
            auto hi = static_cast<std::uint16_t>(bytes_[2 * i + 1]);
            out[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(lo | (hi << 8)));
        }
        // Keep an odd byte for the next call; at the end it is dropped.
        std::size_t used = n * 2;
        std::memmove(bytes_.data(), bytes_.data() + used, filled_ - used);
        filled_ -= used;
        return n;
    }

    std::optional<std::uint64_t> totalFrames() const override { return std::nullopt; }
    std::optional<std::string> error() const override { return error_; }

private:
    int fd_;
    int interruptFd_;
    std::vector<unsigned char> bytes_;
    std::size_t filled_ = 0;
    bool ended_ = false;
    std::optional<std::string> error_;
};

} // namespace

OpenedAudio openAudioFile(const std::string& path) {
    struct stat status{};
    if (::stat(path.c_str(), &status) != 0) return {nullptr, std::strerror(errno)};
    if (S_ISDIR(status.st_mode)) return {nullptr, "it is a directory"};
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file) return {nullptr, sf_strerror(nullptr)};
    if (info.channels < 1 || info.samplerate < 1) {
        sf_close(file);
        return {nullptr, "it holds no audio channels"};
    }
    auto source = std::make_unique<SoundFileSource>(file, info);
    if (auto failure = source->prepare()) return {nullptr, *failure};
    return {std::move(source), ""};
}

std::unique_ptr<AudioSource> openRawPcm(int fd, int interruptFd) {
    return std::make_unique<RawPcmSource>(fd, interruptFd);
}

} // namespace olvek::host
