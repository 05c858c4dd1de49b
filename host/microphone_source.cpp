#include "microphone_source.h"

#include <algorithm>
#include <optional>
#include <poll.h>

#include <pulse/error.h>
#include <pulse/simple.h>

namespace olvek::host {
namespace {

class MicrophoneSource final : public AudioSource {
public:
    MicrophoneSource(pa_simple* stream, std::size_t pieceFrames, int interruptFd)
        : stream_(stream), pieceFrames_(std::max<std::size_t>(pieceFrames, 1)), interruptFd_(interruptFd) {}
    ~MicrophoneSource() override { pa_simple_free(stream_); }
    MicrophoneSource(const MicrophoneSource&) = delete;
    MicrophoneSource& operator=(const MicrophoneSource&) = delete;

    std::size_t read(std::int16_t* out, std::size_t frames) override {
        std::size_t got = 0;
        while (got < frames && !error_) {
            // pa_simple_read cannot be woken, so the interruption is looked
            // at between pieces; a live source fills a piece in its own
            // duration.
            if (interrupted()) break;
            const std::size_t piece = std::min(pieceFrames_, frames - got);
            int code = 0;
            if (pa_simple_read(stream_, out + got, piece * sizeof(std::int16_t), &code) < 0) {
                error_ = std::string("the sound server: ") + pa_strerror(code);
                break;
            }
            got += piece;
        }
        return got;
    }

    std::optional<std::uint64_t> totalFrames() const override { return std::nullopt; }
    std::optional<std::string> error() const override { return error_; }

private:
    bool interrupted() const {
        if (interruptFd_ < 0) return false;
        pollfd fd{interruptFd_, POLLIN, 0};
        return ::poll(&fd, 1, 0) > 0 && (fd.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
    }

    pa_simple* stream_;
    std::size_t pieceFrames_;
    int interruptFd_;
    std::optional<std::string> error_;
};

} // namespace

OpenedAudio openMicrophone(const std::string& applicationName, std::size_t pieceFrames, int interruptFd) {
    const pa_sample_spec spec{PA_SAMPLE_S16NE, static_cast<std::uint32_t>(kHelperSampleRate), 1};
    const std::uint32_t pieceBytes = static_cast<std::uint32_t>(std::max<std::size_t>(pieceFrames, 1) * 2);
    pa_buffer_attr buffer{};
    // The most the server allows: audio waits there while the helper is busy.
    buffer.maxlength = static_cast<std::uint32_t>(-1);
    // The server hands audio over a piece at a time, so partials keep pace.
    buffer.fragsize = pieceBytes;
    buffer.tlength = buffer.prebuf = buffer.minreq = static_cast<std::uint32_t>(-1);
    int code = 0;
    pa_simple* stream = pa_simple_new(nullptr, applicationName.c_str(), PA_STREAM_RECORD, nullptr, "dictation",
                                      &spec, nullptr, &buffer, &code);
    if (!stream) return {nullptr, pa_strerror(code)};
    return {std::make_unique<MicrophoneSource>(stream, pieceFrames, interruptFd), ""};
}

} // namespace olvek::host
