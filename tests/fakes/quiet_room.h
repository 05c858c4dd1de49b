// Audio of a quiet room for tests with the real engine: low random noise
// (uniform within +-30, from a fixed seed), which voice-activity detection
// hears as a pause. Not digital zeros: a second of those upsets the
// decoder's live normalisation, and no microphone host sends them.
#pragma once

#include <cstdint>
#include <vector>

namespace olvek::testing {

// Returns `seconds` of quiet room at 16 kHz; the same samples every call.
inline std::vector<std::int16_t> quietRoom(double seconds) {
    std::vector<std::int16_t> out(static_cast<std::size_t>(seconds * 16000));
    std::uint32_t state = 12345;
    for (auto& sample : out) {
        state = state * 1664525u + 1013904223u;
        sample = static_cast<std::int16_t>(static_cast<int>(state >> 16) % 61 - 30);
    }
    return out;
}

} // namespace olvek::testing
