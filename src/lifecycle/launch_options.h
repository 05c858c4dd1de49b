// The launch line: the language argument, the two socket options and the
// locale they lead to. The command line is the only configuration.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace olvek {

inline constexpr const char* kPortOption = "--olvek-socket-port";
inline constexpr const char* kTokenOption = "--olvek-socket-token";

// The process's argument list, position 0 holding the program's path. Kept
// from `main`'s argv once, at start-up, as text (bytes that are not UTF-8
// become U+FFFD); read, never changed.
void setProcessArguments(std::vector<std::string> arguments);
const std::vector<std::string>& processArguments();

// The argument after the first occurrence of `name` that is not the last
// argument, whatever it is; nothing when there is none. Exact comparison; no
// "name=value" form.
std::optional<std::string> argumentValue(const std::string& name);

// The first argument from position 1 on that does not begin with "--", or
// "zh" when there is none. Option values are not skipped.
std::string selectLanguage();

// An optional "+" or "-" and one or more ASCII digits, nothing else, whose
// value fits a signed 64-bit integer.
std::optional<std::int64_t> parsePortText(std::string_view text);

struct LaunchOptions {
    std::int64_t port;
    std::string token;
};

// Both options present, the port text valid and the port within 0..4294967295
// (what the connection can take); otherwise nothing.
std::optional<LaunchOptions> checkLaunchOptions();

// Whether the host asked for word times: an argument from position 1 on is
// exactly the timings flag, and it is not the value that the port or token
// option takes (a token may be any text, that one too).
bool timingsRequested();

// "en" gives "en-US", "auto" the user's current locale identifier, anything
// else "zh-CN". Exact, case-sensitive.
std::string mapLocale(const std::string& language);

} // namespace olvek
