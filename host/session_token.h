// The one-time token a host hands its helper on the command line and expects
// back in "hello": proof that a connection comes from the process it started.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace olvek::host {

// Bits of randomness in a token made by `makeSessionToken`.
inline constexpr int kSessionTokenBits = 256;

// A fresh token: kSessionTokenBits from the kernel's random source
// (getrandom), as lower-case hexadecimal. Nothing when the source fails;
// a host must then not start the helper, since a guessable token would let
// another local program take its place.
std::optional<std::string> makeSessionToken();

// Whole-text comparison whose running time depends on the lengths only, not
// on where the texts first differ, so a caller probing the token learns
// nothing from timing.
bool tokensEqual(std::string_view expected, std::string_view received);

} // namespace olvek::host
