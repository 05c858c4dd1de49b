// The user's current locale, as the platform reports its identifier.
#pragma once

#include <string>

namespace olvek {

// Read from LC_ALL, then LC_MESSAGES, then LANG (the first one set and not
// empty), with the codeset and modifier removed: "en_US.UTF-8" gives "en_US",
// "sr_RS@latin" gives "sr_RS". "C", "POSIX" or nothing set gives
// "en_US_POSIX". Bytes that are not UTF-8 become U+FFFD. Read anew on every
// call.
std::string currentLocaleIdentifier();

} // namespace olvek
