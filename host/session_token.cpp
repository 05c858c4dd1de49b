#include "session_token.h"

#include <cerrno>
#include <cstdint>
#include <sys/random.h>

namespace olvek::host {

std::optional<std::string> makeSessionToken() {
    std::uint8_t bytes[kSessionTokenBits / 8];
    std::size_t filled = 0;
    while (filled < sizeof bytes) {
        ssize_t n = ::getrandom(bytes + filled, sizeof bytes - filled, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::nullopt;
        filled += static_cast<std::size_t>(n);
    }
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string token;
    for (std::uint8_t b : bytes) {
        token.push_back(kDigits[b >> 4]);
        token.push_back(kDigits[b & 0x0F]);
    }
    return token;
}

bool tokensEqual(std::string_view expected, std::string_view received) {
    // Every byte of `received` is looked at whatever the outcome; a length
    // mismatch is folded into the same accumulator instead of returning early.
    unsigned difference = expected.size() == received.size() ? 0u : 1u;
    for (std::size_t i = 0; i < received.size(); ++i) {
        unsigned char e = expected.empty() ? 0 : static_cast<unsigned char>(expected[i % expected.size()]);
        difference |= e ^ static_cast<unsigned char>(received[i]);
    }
    return difference == 0;
}

} // namespace olvek::host
