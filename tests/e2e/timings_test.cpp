// Word times as a host sees them, with the scripted engine: asked for with
// the launch flag, wherever the host puts it, and never otherwise.
#include <gtest/gtest.h>

#include <set>

#include "scripted_run.h"

namespace olvek::testing {
namespace {

struct LaunchRow {
    const char* name;
    // "PORT" stands for the listening port.
    std::vector<std::string> arguments;
    bool timed;
    std::string token = "TOKEN";
};

std::vector<std::string> withPort(const std::vector<std::string>& arguments, std::uint16_t port) {
    std::vector<std::string> out;
    for (const auto& argument : arguments) out.push_back(argument == "PORT" ? std::to_string(port) : argument);
    return out;
}

std::set<std::string> keysOf(const nlohmann::json& event) {
    std::set<std::string> keys;
    for (const auto& item : event.items()) keys.insert(item.key());
    return keys;
}

const std::set<std::string> kPlainKeys{"type", "text", "language"};
const std::set<std::string> kTimedPartialKeys{"type", "text", "language", "start", "end"};
const std::set<std::string> kTimedFinalKeys{"type", "text", "language", "start", "end", "words"};

TEST(Timings, AskedForByTheFlagAloneWhereverItStands) {
    const LaunchRow rows[] = {
        {"no flag", {"en", "--olvek-socket-port", "PORT", "--olvek-socket-token", "TOKEN"}, false},
        {"flag last", {"en", "--olvek-socket-port", "PORT", "--olvek-socket-token", "TOKEN", "--olvek-timings"}, true},
        {"flag before the language",
         {"--olvek-timings", "en", "--olvek-socket-port", "PORT", "--olvek-socket-token", "TOKEN"},
         true},
        {"flag between the options",
         {"en", "--olvek-socket-port", "PORT", "--olvek-timings", "--olvek-socket-token", "TOKEN"},
         true},
        {"flag twice",
         {"en", "--olvek-timings", "--olvek-socket-port", "PORT", "--olvek-socket-token", "TOKEN", "--olvek-timings"},
         true},
        {"flag as the token", {"en", "--olvek-socket-port", "PORT", "--olvek-socket-token", "--olvek-timings"}, false,
         "--olvek-timings"},
        {"a flag with a value is another word",
         {"en", "--olvek-socket-port", "PORT", "--olvek-socket-token", "TOKEN", "--olvek-timings=1"},
         false},
        {"case matters",
         {"en", "--olvek-socket-port", "PORT", "--olvek-socket-token", "TOKEN", "--OLVEK-TIMINGS"},
         false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        FakeHost host;
        EngineLog log;
        ASSERT_TRUE(host.start(kScriptedHelper, withPort(row.arguments, host.port()), {platformConfig("", log)}));
        ASSERT_TRUE(host.acceptHelper());
        ASSERT_TRUE(host.waitForType("ready"));
        for (const auto& command : {"W:hello", "F", "W:again"}) host.send(commandLine(command));
        host.send("__END__");
        const auto status = host.waitExit();
        ASSERT_TRUE(status);
        EXPECT_EQ(status->code, 0);

        const auto lines = host.lines();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.front().json()["token"], row.token);
        int transcripts = 0;
        for (const auto& line : lines) {
            const auto event = line.json();
            const std::string type = event["type"];
            if (type != "partial" && type != "final") continue;
            ++transcripts;
            EXPECT_EQ(event["language"], "en-US") << "the language argument is still found";
            const auto& expected = !row.timed ? kPlainKeys : type == "final" ? kTimedFinalKeys : kTimedPartialKeys;
            EXPECT_EQ(keysOf(event), expected) << line.text;
        }
        EXPECT_EQ(transcripts, 4) << "two partials, two finals";
    }
}

// Lines sized so that each command lands on a round time: a plain line of
// `samples` samples of quiet.
std::string quiet(std::size_t samples) { return audioLine(std::vector<std::int16_t>(samples, 0)); }

// The scripted helper launched with "--olvek-timings", up to "ready".
bool startWithTimings(FakeHost& host, EngineLog& log) {
    auto arguments = host.launchArguments("en");
    arguments.push_back("--olvek-timings");
    return host.start(kScriptedHelper, arguments, {platformConfig("", log)}) && host.acceptHelper() &&
           host.waitForType("ready").has_value();
}

TEST(Timings, CountFromTheFirstSampleAcrossTasksAndSkipSkippedLines) {
    FakeHost host;
    EngineLog log;
    ASSERT_TRUE(startWithTimings(host, log));
    // "W:hello" is 9 samples (a 2-sample marker and 7 characters), "F" 3.
    host.send(quiet(16000));
    host.send("not base64 at all!"); // skipped: no time
    host.send(commandLine("W:hello"));
    host.send(quiet(15991));
    host.send(commandLine("F"));
    host.send("");            // skipped
    host.send(quiet(7997));   // the second task starts here, at 2.0 s
    host.send(commandLine("W:again"));
    host.send("__END__");
    const auto status = host.waitExit();
    ASSERT_TRUE(status);
    EXPECT_EQ(status->code, 0);

    std::vector<nlohmann::json> finals;
    std::vector<nlohmann::json> partials;
    for (const auto& line : host.lines()) {
        const auto event = line.json();
        if (event["type"] == "final") finals.push_back(event);
        if (event["type"] == "partial") partials.push_back(event);
    }
    ASSERT_EQ(finals.size(), 2u);
    ASSERT_EQ(partials.size(), 2u);
    EXPECT_EQ(partials[0]["start"], "1.000");
    EXPECT_EQ(finals[0]["start"], "1.000");
    EXPECT_EQ(finals[0]["end"], "1.001");
    EXPECT_EQ(finals[0]["words"], nlohmann::json::parse(
                                      R"([{"word":"hello","start":"1.000","end":"1.001","confidence":"0.900"}])"));
    EXPECT_EQ(partials[1]["start"], "2.500") << "the second task's times go on from the first's";
    EXPECT_EQ(finals[1]["start"], "2.500");
    EXPECT_EQ(finals[1]["words"][0]["word"], "again");
}

TEST(Timings, AnEmptyFinalCarriesNoTimes) {
    FakeHost host;
    EngineLog log;
    ASSERT_TRUE(startWithTimings(host, log));
    host.send(quiet(1600));
    host.send("__END__");
    ASSERT_TRUE(host.waitExit());
    const auto final = host.waitForType("final", 1s);
    ASSERT_TRUE(final);
    EXPECT_EQ(keysOf(final->json()), kPlainKeys) << final->text;
}

} // namespace
} // namespace olvek::testing
