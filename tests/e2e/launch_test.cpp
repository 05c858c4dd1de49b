// Launch and start-up of the helper, as a host sees them.
#include <gtest/gtest.h>

#include "scripted_run.h"

namespace olvek::testing {
namespace {

struct BadLaunch {
    const char* name;
    std::vector<std::string> arguments; // "PORT" stands for the listening port
};

class RefusedLaunch : public ::testing::TestWithParam<BadLaunch> {};

TEST_P(RefusedLaunch, PrintsTheErrorLineExitsWith4AndNeverConnects) {
    FakeHost host;
    EngineLog log;
    std::vector<std::string> arguments;
    for (const auto& a : GetParam().arguments) arguments.push_back(a == "PORT" ? std::to_string(host.port()) : a);
    ASSERT_TRUE(host.start(kScriptedHelper, arguments, {platformConfig("", log)}));
    auto status = host.waitExit();
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->exited);
    EXPECT_EQ(status->code, 4);
    EXPECT_EQ(host.standardOutput(), kLaunchErrorLine);
    EXPECT_EQ(host.standardError(), "");
    EXPECT_FALSE(host.acceptHelper(200ms)) << "no connection attempt";
    EXPECT_TRUE(log.lines().empty()) << "no recognizer asked for";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedLaunch,
    ::testing::Values(BadLaunch{"no_arguments", {}}, BadLaunch{"language_only", {"en"}},
                      BadLaunch{"no_token", {"en", "--olvek-socket-port", "PORT"}},
                      BadLaunch{"no_port", {"en", "--olvek-socket-token", "t"}},
                      BadLaunch{"port_not_a_number", {"en", "--olvek-socket-port", "0x10", "--olvek-socket-token", "t"}},
                      BadLaunch{"port_negative", {"en", "--olvek-socket-port", "-1", "--olvek-socket-token", "t"}},
                      BadLaunch{"port_beyond_32_bits",
                                {"en", "--olvek-socket-port", "4294967296", "--olvek-socket-token", "t"}},
                      BadLaunch{"port_beyond_64_bits",
                                {"en", "--olvek-socket-port", "9223372036854775808", "--olvek-socket-token", "t"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Launch, HelloWithTheExactTokenIsTheFirstLine) {
    for (const std::string token : {"tok-123", "", "with \"quotes\" and \\ and 你好", "--looks-like-an-option"}) {
        FakeHost host;
        EngineLog log;
        ASSERT_TRUE(host.start(kScriptedHelper, host.launchArguments("en", token), {platformConfig("", log)}));
        ASSERT_TRUE(host.acceptHelper());
        ASSERT_TRUE(host.waitForType("ready"));
        auto lines = host.lines();
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines[0].json(), (nlohmann::json{{"type", "hello"}, {"token", token}}));
        EXPECT_EQ(lines[1].json(), (nlohmann::json{{"type", "ready"}, {"locale", "en-US"}}));
        host.send("__END__");
        auto status = host.waitExit();
        ASSERT_TRUE(status);
        EXPECT_EQ(status->code, 0);
        EXPECT_EQ(host.standardOutput(), "") << "nothing on standard output once connected";
    }
}

struct LocaleRun {
    const char* name;
    std::vector<std::string> arguments; // before the socket options; may be empty
    std::string environment;            // LC_ALL for "auto"
    std::string locale;
};

class LocaleChoice : public ::testing::TestWithParam<LocaleRun> {};

TEST_P(LocaleChoice, ReadyCarriesTheChosenLocale) {
    FakeHost host;
    EngineLog log;
    auto arguments = GetParam().arguments;
    auto options = host.launchArguments("");
    arguments.insert(arguments.end(), options.begin(), options.end());
    ASSERT_TRUE(host.start(kScriptedHelper, arguments,
                           {platformConfig("locales=en-US,zh-CN,de_AT", log), "LC_ALL=" + GetParam().environment}));
    ASSERT_TRUE(host.acceptHelper());
    auto ready = host.waitForType("ready");
    ASSERT_TRUE(ready);
    EXPECT_EQ(ready->json()["locale"], GetParam().locale);
    host.send("__END__");
    ASSERT_TRUE(host.waitExit());
    EXPECT_EQ(log.lines().front(), "recognizer " + GetParam().locale);
}

INSTANTIATE_TEST_SUITE_P(Cases, LocaleChoice,
                         ::testing::Values(LocaleRun{"en", {"en"}, "", "en-US"},
                                           LocaleRun{"auto", {"auto"}, "de_AT.UTF-8", "de_AT"},
                                           LocaleRun{"zh", {"zh"}, "", "zh-CN"},
                                           LocaleRun{"capitalised", {"EN"}, "", "zh-CN"},
                                           LocaleRun{"none", {}, "", "zh-CN"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Launch, NoRecognizerForTheLocaleGivesHelloThenTheErrorAndStatus2WithoutAskingAuthorization) {
    FakeHost host;
    EngineLog log;
    ASSERT_TRUE(host.start(kScriptedHelper, host.launchArguments("zh"), {platformConfig("locales=en-US", log)}));
    ASSERT_TRUE(host.acceptHelper());
    auto status = host.waitExit();
    ASSERT_TRUE(status);
    EXPECT_EQ(status->code, 2);
    EXPECT_EQ(host.types(), (std::vector<std::string>{"hello", "error"}));
    EXPECT_EQ(host.lines()[1].text, R"({"type":"error","message":"SFSpeechRecognizer unavailable for locale zh-CN"})");
    EXPECT_EQ(log.lines(), std::vector<std::string>{"recognizer zh-CN"});
}

struct AuthorizationCase {
    const char* name;
    std::string answer;
    int exitCode;
};

class Authorization : public ::testing::TestWithParam<AuthorizationCase> {};

TEST_P(Authorization, OnlyAuthorizedGoesOnAndARefusalEndsAtOnce) {
    FakeHost host;
    EngineLog log;
    ASSERT_TRUE(host.start(kScriptedHelper, host.launchArguments("en"),
                           {platformConfig("auth=" + GetParam().answer + ";authDelayMs=50", log)}));
    ASSERT_TRUE(host.acceptHelper());
    if (GetParam().exitCode == 0) {
        ASSERT_TRUE(host.waitForType("ready"));
        host.send("__END__");
    }
    auto status = host.waitExit();
    ASSERT_TRUE(status);
    EXPECT_EQ(status->code, GetParam().exitCode);
    auto took = Clock::now() - host.startedAt();
    EXPECT_LT(took, 10s) << "a refusal does not wait out the 15 seconds";
    if (GetParam().exitCode == 3) {
        EXPECT_EQ(host.types(), (std::vector<std::string>{"hello", "error"}));
        EXPECT_EQ(host.lines()[1].json()["message"], "macOS Speech Recognition permission is not authorized");
    } else {
        EXPECT_EQ(host.types(), (std::vector<std::string>{"hello", "ready", "stopped"}));
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, Authorization,
                         ::testing::Values(AuthorizationCase{"authorized", "3", 0},
                                           AuthorizationCase{"denied", "1", 3},
                                           AuthorizationCase{"restricted", "2", 3},
                                           AuthorizationCase{"not_determined", "0", 3}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Launch, AuthorizationThatNeverComesEndsWithStatus3AfterFifteenSeconds) {
    FakeHost host;
    EngineLog log;
    ASSERT_TRUE(host.start(kScriptedHelper, host.launchArguments("en"), {platformConfig("auth=never", log)}));
    ASSERT_TRUE(host.acceptHelper());
    auto status = host.waitExit(40s);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->code, 3);
    auto error = host.waitForType("error");
    ASSERT_TRUE(error);
    EXPECT_GE(error->at - host.startedAt(), 15s);
    EXPECT_LT(error->at - host.startedAt(), 30s);
    EXPECT_EQ(host.types(), (std::vector<std::string>{"hello", "error"}));
}

TEST(Launch, AHostThatClosesAtOnceDoesNotKillTheHelper) {
    FakeHost host;
    EngineLog log;
    ASSERT_TRUE(host.start(kScriptedHelper, host.launchArguments("en"), {platformConfig("", log)}));
    ASSERT_TRUE(host.acceptHelper());
    host.closeConnection();
    auto status = host.waitExit();
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->exited) << "killed by signal " << status->code;
    EXPECT_EQ(status->code, 0);
}

TEST(Launch, NobodyListeningStillRunsToANormalEnd) {
    std::uint16_t port;
    {
        auto listener = host::LoopbackListener::listen();
        port = listener->port();
    }
    EngineLog log;
    auto child = host::ChildProcess::spawn(
        {kScriptedHelper, "en", "--olvek-socket-port", std::to_string(port), "--olvek-socket-token", "t"},
        std::vector<std::string>{platformConfig("", log)});
    ASSERT_TRUE(child);
    auto status = child->wait(20s);
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->exited);
    EXPECT_EQ(status->code, 0);
    EXPECT_EQ(child->standardOutput(), "");
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"recognizer en-US", "authorization"}));
}

} // namespace
} // namespace olvek::testing
