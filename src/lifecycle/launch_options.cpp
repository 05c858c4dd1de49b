#include "launch_options.h"

#include <limits>

#include "hostlink/event_messages.h"
#include "platform/current_locale.h"
#include "platform/utf8.h"

namespace olvek {
namespace {

std::vector<std::string>& argumentList() {
    static std::vector<std::string> arguments;
    return arguments;
}

} // namespace

void setProcessArguments(std::vector<std::string> arguments) {
    // Arguments are text: bytes that are not UTF-8 become U+FFFD, so the token
    // still reaches the host in "hello" instead of making it unsendable.
    for (auto& argument : arguments) argument = repairUtf8(argument);
    argumentList() = std::move(arguments);
}

const std::vector<std::string>& processArguments() { return argumentList(); }

namespace {

// Where `argumentValue(name)` finds its value, or nothing.
std::optional<std::size_t> valuePosition(const std::string& name) {
    const auto& arguments = processArguments();
    for (std::size_t i = 0; i + 1 < arguments.size(); ++i) {
        if (arguments[i] == name) return i + 1;
    }
    return std::nullopt;
}

} // namespace

std::optional<std::string> argumentValue(const std::string& name) {
    const auto position = valuePosition(name);
    if (!position) return std::nullopt;
    return processArguments()[*position];
}

bool timingsRequested() {
    const auto& arguments = processArguments();
    const auto portValue = valuePosition(kPortOption);
    const auto tokenValue = valuePosition(kTokenOption);
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        if (arguments[i] == kTimingsFlag && i != portValue && i != tokenValue) return true;
    }
    return false;
}

std::string selectLanguage() {
    const auto& arguments = processArguments();
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        if (arguments[i].rfind("--", 0) != 0) return arguments[i];
    }
    return "zh";
}

std::optional<std::int64_t> parsePortText(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    // Accumulate as a negative number so the most negative value fits.
    constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
    std::int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        int digit = c - '0';
        if (value < (kMin + digit) / 10) return std::nullopt;
        value = value * 10 - digit;
    }
    if (negative) return value;
    if (value == kMin) return std::nullopt;
    return -value;
}

std::optional<LaunchOptions> checkLaunchOptions() {
    auto portText = argumentValue(kPortOption);
    if (!portText) return std::nullopt;
    auto token = argumentValue(kTokenOption);
    if (!token) return std::nullopt;
    auto port = parsePortText(*portText);
    if (!port) return std::nullopt;
    if (*port < 0 || *port > std::int64_t{std::numeric_limits<std::uint32_t>::max()}) return std::nullopt;
    return LaunchOptions{*port, *token};
}

std::string mapLocale(const std::string& language) {
    if (language == "en") return "en-US";
    if (language == "auto") return currentLocaleIdentifier();
    return "zh-CN";
}

} // namespace olvek
