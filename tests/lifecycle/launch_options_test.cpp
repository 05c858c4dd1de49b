#include "lifecycle/launch_options.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace olvek {
namespace {

using Args = std::vector<std::string>;

struct LaunchCase {
    const char* name;
    Args arguments; // after the program path
    std::string lang;
    std::optional<std::int64_t> port; // nothing: the launch is refused
    std::string token;
};

class Launch : public ::testing::TestWithParam<LaunchCase> {};

TEST_P(Launch, LanguageAndOptions) {
    const auto& c = GetParam();
    Args all{"/path/to/helper"};
    all.insert(all.end(), c.arguments.begin(), c.arguments.end());
    setProcessArguments(all);
    EXPECT_EQ(selectLanguage(), c.lang);
    auto options = checkLaunchOptions();
    ASSERT_EQ(options.has_value(), c.port.has_value());
    if (options) {
        EXPECT_EQ(options->port, *c.port);
        EXPECT_EQ(options->token, c.token);
    }
}

const char* P = "--olvek-socket-port";
const char* T = "--olvek-socket-token";

INSTANTIATE_TEST_SUITE_P(
    Cases, Launch,
    ::testing::Values(
        LaunchCase{"only_the_path", {}, "zh", std::nullopt, ""},
        LaunchCase{"typical", {"en", P, "5000", T, "abc"}, "en", 5000, "abc"},
        LaunchCase{"no_language", {P, "5000", T, "abc"}, "5000", 5000, "abc"},
        LaunchCase{"options_first", {T, "tk", P, "5000", "en"}, "tk", 5000, "tk"},
        LaunchCase{"only_options_names", {P, T}, "zh", std::nullopt, ""},
        LaunchCase{"single_hyphen_language", {"-x", P, "1", T, "t"}, "-x", 1, "t"},
        LaunchCase{"empty_language", {"", P, "1", T, "t"}, "", 1, "t"},
        LaunchCase{"port_option_last", {"en", T, "t", P}, "en", std::nullopt, ""},
        LaunchCase{"token_option_last", {"en", P, "5000", T}, "en", std::nullopt, ""},
        LaunchCase{"port_missing", {"en", T, "t"}, "en", std::nullopt, ""},
        LaunchCase{"port_followed_by_token_option", {"en", P, T, "t"}, "en", std::nullopt, ""},
        LaunchCase{"port_given_twice", {"en", P, "5000", P, "6000", T, "t"}, "en", 5000, "t"},
        LaunchCase{"empty_token", {"en", P, "5000", T, ""}, "en", 5000, ""},
        LaunchCase{"token_that_looks_like_an_option", {"en", P, "5000", T, "--x"}, "en", 5000, "--x"},
        LaunchCase{"equals_form_not_recognized", {"en", "--olvek-socket-port=5000", T, "t"}, "en", std::nullopt, ""},
        LaunchCase{"option_name_case_matters", {"en", "--OLVEK-SOCKET-PORT", "5000", T, "t"}, "en", std::nullopt, ""},
        LaunchCase{"port_zero", {"en", P, "0", T, "t"}, "en", 0, "t"},
        LaunchCase{"port_beyond_16_bits", {"en", P, "70000", T, "t"}, "en", 70000, "t"},
        LaunchCase{"largest_32_bit_port", {"en", P, "4294967295", T, "t"}, "en", 4294967295LL, "t"},
        LaunchCase{"port_beyond_32_bits", {"en", P, "4294967296", T, "t"}, "en", std::nullopt, ""},
        LaunchCase{"negative_port", {"en", P, "-1", T, "t"}, "en", std::nullopt, ""},
        LaunchCase{"most_negative_port", {"en", P, "-9223372036854775808", T, "t"}, "en", std::nullopt, ""},
        LaunchCase{"minus_zero", {"en", P, "-0", T, "t"}, "en", 0, "t"},
        LaunchCase{"plus_and_leading_zeros", {"en", P, "+0005000", T, "t"}, "en", 5000, "t"},
        LaunchCase{"bad_port_text", {"en", P, "50 00", T, "t"}, "en", std::nullopt, ""}),
    [](const auto& info) { return std::string(info.param.name); });

struct PortText {
    const char* text;
    std::optional<std::int64_t> value;
};

class PortTextRule : public ::testing::TestWithParam<PortText> {};

TEST_P(PortTextRule, AcceptsSignedDecimalThatFits64Bits) {
    EXPECT_EQ(parsePortText(GetParam().text), GetParam().value) << '"' << GetParam().text << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PortTextRule,
    ::testing::Values(PortText{"5000", 5000}, PortText{"+5000", 5000}, PortText{"0005000", 5000},
                      PortText{"-0", 0}, PortText{"+0", 0}, PortText{"0", 0}, PortText{"-42", -42},
                      PortText{"9223372036854775807", INT64_MAX}, PortText{"-9223372036854775808", INT64_MIN},
                      PortText{"00000000000000000000009223372036854775807", INT64_MAX},
                      PortText{"9223372036854775808", std::nullopt}, PortText{"-9223372036854775809", std::nullopt},
                      PortText{"99999999999999999999", std::nullopt}, PortText{"", std::nullopt},
                      PortText{"+", std::nullopt}, PortText{"-", std::nullopt}, PortText{" 5000", std::nullopt},
                      PortText{"5000 ", std::nullopt}, PortText{"0x1388", std::nullopt},
                      PortText{"5_000", std::nullopt}, PortText{"50.0", std::nullopt},
                      PortText{"+-5", std::nullopt}, PortText{"--5", std::nullopt},
                      PortText{"5000\n", std::nullopt}, PortText{"\xD9\xA5", std::nullopt} /* Arabic-Indic five */,
                      PortText{"١٢", std::nullopt}, PortText{"5e3", std::nullopt}));

TEST(LocaleMapping, FromTheLanguage) {
    setenv("LC_ALL", "fr_CA.UTF-8", 1);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"en", "en-US"}, {"auto", "fr_CA"}, {"zh", "zh-CN"}, {"EN", "zh-CN"}, {"Auto", "zh-CN"},
        {"en-US", "zh-CN"}, {"fr", "zh-CN"}, {"5000", "zh-CN"}, {"", "zh-CN"}, {"en ", "zh-CN"},
    };
    for (const auto& [language, locale] : cases) EXPECT_EQ(mapLocale(language), locale) << language;
    unsetenv("LC_ALL");
}

TEST(ArgumentValue, IncludesThePathAndTheNextArgumentWhateverItIs) {
    setProcessArguments({"--olvek-socket-port", "x"});
    EXPECT_EQ(argumentValue("--olvek-socket-port"), "x") << "position 0 is searched too";
    setProcessArguments({"/helper", "--a", "--b", "--b", ""});
    EXPECT_EQ(argumentValue("--a"), "--b");
    EXPECT_EQ(argumentValue("--b"), "--b");
    EXPECT_EQ(argumentValue("--c"), std::nullopt);
    setProcessArguments({"/helper", "--a"});
    EXPECT_EQ(argumentValue("--a"), std::nullopt);
}

TEST(TimingsFlag, OnlyWhereItIsNotAnOptionsValue) {
    struct Case {
        const char* name;
        std::vector<std::string> arguments;
        bool requested;
    };
    const Case cases[] = {
        {"absent", {"/helper", "en", "--olvek-socket-port", "1", "--olvek-socket-token", "t"}, false},
        {"last", {"/helper", "en", "--olvek-socket-port", "1", "--olvek-socket-token", "t", "--olvek-timings"}, true},
        {"first", {"/helper", "--olvek-timings", "en", "--olvek-socket-port", "1", "--olvek-socket-token", "t"}, true},
        {"the token's value", {"/helper", "en", "--olvek-socket-port", "1", "--olvek-socket-token", "--olvek-timings"},
         false},
        {"the port's value, and later on its own",
         {"/helper", "--olvek-socket-port", "--olvek-timings", "--olvek-socket-token", "t", "--olvek-timings"},
         true},
        {"the port's value only", {"/helper", "--olvek-socket-port", "--olvek-timings", "--olvek-socket-token", "t"},
         false},
        {"a token equal to the flag does not hide a later flag",
         {"/helper", "--olvek-socket-token", "--olvek-timings", "--olvek-timings"},
         true},
        {"the program's own path", {"--olvek-timings"}, false},
        {"another spelling", {"/helper", "--olvek-timings=yes", "--Olvek-Timings", "-olvek-timings"}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        setProcessArguments(c.arguments);
        EXPECT_EQ(timingsRequested(), c.requested);
    }
    setProcessArguments({"/helper", "--olvek-timings", "en", "--olvek-socket-port", "1", "--olvek-socket-token", "t"});
    EXPECT_EQ(selectLanguage(), "en") << "language selection skips the flag";
}

TEST(ProcessArguments, BytesThatAreNotUtf8BecomeReplacementCharacters) {
    setProcessArguments({"/helper", "en", "--olvek-socket-port", "5000", "--olvek-socket-token", "t\xFFk"});
    auto options = checkLaunchOptions();
    ASSERT_TRUE(options);
    EXPECT_EQ(options->token, "t\xEF\xBF\xBDk");
}

} // namespace
} // namespace olvek
