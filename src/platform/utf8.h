// UTF-8 validation and repair for text that crosses the host link.
#pragma once

#include <string>
#include <string_view>

namespace olvek {

// Well-formed UTF-8 as Unicode defines it: no overlong forms, no surrogates,
// nothing above U+10FFFF.
bool isValidUtf8(std::string_view bytes);

// `bytes` with every ill-formed sequence replaced by U+FFFD.
std::string repairUtf8(std::string_view bytes);

} // namespace olvek
