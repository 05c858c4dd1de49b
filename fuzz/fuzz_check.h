// The harnesses' property check: a violated property is a crash, so the
// fuzzer keeps the input that caused it.
#pragma once

#include <cstdlib>

namespace olvek::fuzz {

inline void check(bool condition) {
    if (!condition) std::abort();
}

} // namespace olvek::fuzz
