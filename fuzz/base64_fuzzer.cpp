// The strict base64 decoder against two properties: what it accepts
// re-encodes to the same text, and text that is not well formed (a length
// that is not a multiple of four, a character outside the alphabet, padding
// anywhere but the last two places) is refused. Also round-trips the input
// bytes through the encoder.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/base64.h"

#include "fuzz_check.h"

using olvek::fuzz::check;

namespace {

bool inAlphabet(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

bool wellFormed(const std::string& text) {
    if (text.size() % 4 != 0) return false;
    std::size_t padding = 0;
    while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') ++padding;
    for (std::size_t i = 0; i + padding < text.size(); ++i) {
        if (!inAlphabet(text[i])) return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace olvek;
    std::string text(reinterpret_cast<const char*>(data), size);
    auto decoded = decodeBase64(text);
    if (decoded) {
        check(wellFormed(text));
        check(encodeBase64(decoded->data(), decoded->size()) == text);
    } else {
        // A well-formed text is refused only for non-zero leftover bits.
        if (wellFormed(text)) check(text.size() >= 4 && text[text.size() - 1] == '=');
    }
    auto encoded = encodeBase64(data, size);
    auto back = decodeBase64(encoded);
    check(back && back->size() == size && std::equal(back->begin(), back->end(), data));
    return 0;
}
