// Whole runs of the helper with the scripted engine: the audio loop, the end
// of audio and the shut-down, as a host sees them.
#include <gtest/gtest.h>

#include "platform/base64.h"
#include "scripted_run.h"

namespace olvek::testing {
namespace {

class Run : public ::testing::Test {
protected:
    void launch(const std::string& config = "") {
        ASSERT_TRUE(host.start(kScriptedHelper, host.launchArguments("en"), {platformConfig(config, log)}));
        ASSERT_TRUE(host.acceptHelper());
        ASSERT_TRUE(host.waitForType("ready"));
    }
    void finishRun() {
        auto status = host.waitExit();
        ASSERT_TRUE(status);
        EXPECT_TRUE(status->exited);
        EXPECT_EQ(status->code, 0);
        EXPECT_EQ(host.standardOutput(), "");
        EXPECT_EQ(host.standardError(), "");
    }
    // The events after "ready", as type or type:text.
    std::vector<std::string> story() const {
        std::vector<std::string> out;
        auto lines = host.lines();
        for (std::size_t i = 2; i < lines.size(); ++i) {
            auto json = lines[i].json();
            std::string entry = json["type"];
            if (json.contains("text")) entry += ":" + json["text"].get<std::string>();
            if (json.contains("message")) entry += ":" + json["message"].get<std::string>();
            out.push_back(entry);
        }
        return out;
    }
    static std::string bytesLine(std::vector<std::uint8_t> bytes) { return encodeBase64(bytes.data(), bytes.size()); }

    FakeHost host;
    EngineLog log;
};

TEST_F(Run, PartialsFinalsAndANewTaskAfterEachFinal) {
    launch();
    for (const auto& command : {"W:hello", "W:world", "F", "W:again"}) host.send(commandLine(command));
    host.send("__END__");
    finishRun();
    EXPECT_EQ(story(), (std::vector<std::string>{"partial:hello", "partial:hello world", "final:hello world",
                                                 "partial:again", "final:again", "stopped"}));
    for (const auto& line : host.lines()) {
        auto json = line.json();
        if (json["type"] == "partial" || json["type"] == "final") {
            EXPECT_EQ(json["language"], "en-US");
        }
    }
    auto buffers = log.buffers();
    ASSERT_EQ(buffers.size(), 4u);
    EXPECT_EQ(buffers[3].substr(0, 2), "2 ") << "the audio after the final went to a second request";
}

TEST_F(Run, AnErrorDuringStreamingDoesNotEndTheRun) {
    launch();
    host.send(commandLine("W:one"));
    host.send(commandLine("E:engine hiccup"));
    host.send(commandLine("W:two"));
    host.send(commandLine("FE:late trouble"));
    host.send(commandLine("W:three"));
    host.send("__END__");
    finishRun();
    EXPECT_EQ(story(), (std::vector<std::string>{"partial:one", "error:engine hiccup", "partial:two", "final:two",
                                                 "error:late trouble", "partial:three", "final:three", "stopped"}));
}

TEST_F(Run, AudioLinesReachTheEngineDecodedAndOnlyTheGoodOnesInOrder) {
    launch();
    const std::vector<std::string> lines = {
        bytesLine({0x01, 0x02}),             // 513
        "",                                  // empty: skipped
        bytesLine({0x05}),                   // one byte: skipped
        bytesLine({0xFF, 0xFF}),             // -1
        "AQI",                               // no padding: skipped
        "AQ I=",                             // a blank: skipped
        "__END__ ",                          // not the marker: skipped
        "__end__",                           // not the marker: skipped
        "AQ==AQ==",                          // padding inside: skipped
        bytesLine({0x00, 0x80, 0x07}),       // -32768, odd byte dropped
        "!!!!",                              // outside the alphabet: skipped
        bytesLine({0x01, 0x02, 0x03, 0x04}), // 513 1027
    };
    for (const auto& line : lines) host.send(line);
    host.send("__END__");
    finishRun();
    EXPECT_EQ(log.buffers(), (std::vector<std::string>{"1 1 513", "1 1 -1", "1 1 -32768", "1 2 513 1027"}));
    EXPECT_EQ(story(), (std::vector<std::string>{"final:", "stopped"})) << "skipped lines send no event";
}

struct EndCase {
    const char* name;
    std::string raw;  // bytes sent after one good buffer line
    bool endsThere;   // whether the good buffer after it is never read
};

class EndOfAudio : public Run, public ::testing::WithParamInterface<EndCase> {};

TEST_P(EndOfAudio, MarkerVariants) {
    launch();
    host.send(bytesLine({0x01, 0x00}));
    host.sendRaw(GetParam().raw);
    host.send(bytesLine({0x02, 0x00}));
    host.halfClose();
    finishRun();
    std::vector<std::string> expected = {"1 1 1"};
    if (!GetParam().endsThere) expected.push_back("1 1 2");
    EXPECT_EQ(log.buffers(), expected);
    EXPECT_EQ(host.types().back(), "stopped");
}

INSTANTIATE_TEST_SUITE_P(Cases, EndOfAudio,
                         ::testing::Values(EndCase{"marker", "__END__\n", true},
                                           EndCase{"marker_crlf", "__END__\r\n", true},
                                           EndCase{"marker_with_cr_inside", "__E\rND__\n", true},
                                           EndCase{"invalid_utf8_line", "\xFF\xFE\n", true},
                                           EndCase{"trailing_blank", "__END__ \n", false},
                                           EndCase{"leading_blank", " __END__\n", false},
                                           EndCase{"lower_case", "__end__\n", false},
                                           EndCase{"inside_a_longer_line", "x__END__x\n", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Run, EndMarkerFirstGivesReadyThenStoppedAndNoTask) {
    launch();
    host.send("__END__");
    finishRun();
    EXPECT_EQ(host.types(), (std::vector<std::string>{"hello", "ready", "stopped"}));
    EXPECT_TRUE(log.buffers().empty());
}

TEST_F(Run, AHostThatHalfClosesWithoutTheMarkerStillGetsTheFinalAndStopped) {
    launch();
    host.send(commandLine("W:kept"));
    host.halfClose();
    finishRun();
    EXPECT_EQ(story(), (std::vector<std::string>{"partial:kept", "final:kept", "stopped"}));
}

TEST_F(Run, AHostThatClosesWithoutTheMarkerEndsWithStatusZero) {
    launch();
    host.send(commandLine("W:gone"));
    host.closeConnection();
    finishRun();
}

TEST_F(Run, FinishGivesUpAfterThreeSecondsWithoutAFinal) {
    launch("end=none");
    host.send(commandLine("W:pending"));
    host.send("__END__");
    auto sentEnd = Clock::now();
    finishRun();
    auto stopped = host.waitForType("stopped");
    ASSERT_TRUE(stopped);
    EXPECT_GE(stopped->at - sentEnd, 3s);
    EXPECT_LT(stopped->at - sentEnd, 10s);
    EXPECT_EQ(story(), (std::vector<std::string>{"partial:pending", "stopped"}));
}

TEST_F(Run, LinesAfterTheMarkerAreNeverRead) {
    launch();
    host.send("__END__");
    for (int i = 0; i < 100; ++i) host.send(commandLine("W:ignored"));
    finishRun();
    EXPECT_TRUE(log.buffers().empty());
    EXPECT_EQ(host.types().back(), "stopped");
}

TEST_F(Run, ThousandsOfBuffersArriveInOrder) {
    launch();
    std::string batch;
    for (int i = 0; i < 3000; ++i) batch += audioLine({static_cast<std::int16_t>(i), 7}) + "\n";
    host.sendRaw(batch);
    host.send("__END__");
    finishRun();
    auto buffers = log.buffers();
    ASSERT_EQ(buffers.size(), 3000u);
    for (int i = 0; i < 3000; ++i) ASSERT_EQ(buffers[static_cast<std::size_t>(i)], "1 2 " + std::to_string(i) + " 7");
}

} // namespace
} // namespace olvek::testing
