// The argument list (NUL-separated arguments) through language selection,
// the option check and the port text rule, against a straightforward
// reference written from the rules themselves.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "lifecycle/launch_options.h"
#include "platform/utf8.h"

#include "fuzz_check.h"

using olvek::fuzz::check;

namespace {

std::optional<std::string> referenceValue(const std::vector<std::string>& args, const std::string& name) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == name && i + 1 < args.size()) return args[i + 1];
    }
    return std::nullopt;
}

// Decimal digits compared as text against the 64-bit bounds.
std::optional<long double> referencePort(const std::string& text) {
    std::string digits = text;
    bool negative = false;
    if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) {
        negative = digits[0] == '-';
        digits.erase(0, 1);
    }
    if (digits.empty()) return std::nullopt;
    for (char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
    }
    std::size_t first = digits.find_first_not_of('0');
    std::string significant = first == std::string::npos ? "0" : digits.substr(first);
    const std::string limit = negative ? "9223372036854775808" : "9223372036854775807";
    if (significant.size() > limit.size() || (significant.size() == limit.size() && significant > limit)) {
        return std::nullopt;
    }
    long double value = std::stold(significant);
    return negative ? -value : value;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace olvek;
    std::vector<std::string> args{"/helper"};
    std::string current;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            args.push_back(current);
            current.clear();
        } else {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    if (size > 0) args.push_back(current);
    setProcessArguments(args);
    // Arguments are kept as text: what is not UTF-8 becomes U+FFFD.
    for (auto& argument : args) argument = repairUtf8(argument);

    std::string language = "zh";
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i].size() < 2 || args[i][0] != '-' || args[i][1] != '-') {
            language = args[i];
            break;
        }
    }
    check(selectLanguage() == language);

    for (std::size_t i = 1; i < args.size(); ++i) {
        auto parsed = parsePortText(args[i]);
        auto reference = referencePort(args[i]);
        check(parsed.has_value() == reference.has_value());
        if (parsed) check(static_cast<long double>(*parsed) == *reference);
    }

    auto options = checkLaunchOptions();
    auto portText = referenceValue(args, "--olvek-socket-port");
    auto token = referenceValue(args, "--olvek-socket-token");
    std::optional<long double> port = portText ? referencePort(*portText) : std::nullopt;
    bool usable = portText && token && port && *port >= 0 && *port <= 4294967295.0L;
    check(options.has_value() == usable);
    if (options) {
        check(static_cast<long double>(options->port) == *port);
        check(options->token == *token);
    }
    return 0;
}
