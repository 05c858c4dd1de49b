// Strict base64 decoding, as the platform's decoder does it with no options.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace olvek {

// Decodes RFC 4648 standard-alphabet text padded with "=" to a multiple of
// four characters. Any other character (a blank, tab or line break included),
// padding anywhere but the end, non-zero bits left over in the last group,
// or a length that is not a multiple of four gives no value. The empty text
// decodes to no bytes.
std::optional<std::vector<std::uint8_t>> decodeBase64(std::string_view text);

// Standard-alphabet encoding with "=" padding.
std::string encodeBase64(const std::uint8_t* bytes, std::size_t count);

} // namespace olvek
