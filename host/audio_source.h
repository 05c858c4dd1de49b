// Audio for the helper: 16 kHz mono 16-bit samples, from a sound file of any
// rate and channel count, or from raw PCM on a file descriptor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace olvek::host {

inline constexpr int kHelperSampleRate = 16000;

class AudioSource {
public:
    virtual ~AudioSource() = default;
    // Fills `out` with up to `frames` samples and returns how many; fewer
    // only at the end of the input (or after a read error, see `error`), or
    // when a signal interrupted a wait for input. 0 at the end. Blocks while
    // the input has nothing yet (a pipe from a live recorder).
    virtual std::size_t read(std::int16_t* out, std::size_t frames) = 0;
    // The whole length in 16 kHz samples, when the input tells it.
    virtual std::optional<std::uint64_t> totalFrames() const = 0;
    // Why the input ended early, if it did.
    virtual std::optional<std::string> error() const = 0;
};

struct OpenedAudio {
    std::unique_ptr<AudioSource> source; // null when the file cannot be read
    std::string error;                   // then: why, for a person
};

// Opens any file that libsndfile reads (WAV, FLAC, Ogg, MP3, ...). Channels
// are mixed down to their mean; a rate other than 16 kHz is resampled with
// libsoxr at high quality; then rounded and clipped to 16 bits. A 16 kHz mono
// 16-bit file passes through sample for sample.
OpenedAudio openAudioFile(const std::string& path);

// Raw 16 kHz mono 16-bit little-endian PCM read from `fd` (not closed). A
// trailing odd byte is dropped. Once `interruptFd` (when not -1) is readable,
// `read` reads no more and returns what it has at once, 0 when nothing.
std::unique_ptr<AudioSource> openRawPcm(int fd, int interruptFd = -1);

} // namespace olvek::host
