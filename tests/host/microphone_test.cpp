// olvek-transcribe --mic against a real PulseAudio server of the test's own,
// whose default input the test speaks into, with the scripted helper: every
// sample said reaches the helper, in order, and Ctrl-C ends the dictation
// with its last words.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "fakes/scripted_speech_platform.h"
#include "host/child_process.h"
#include "host/transcribe_options.h"
#include "sound_server.h"
#include "transcribe_run.h"

namespace olvek::testing {
namespace {

constexpr int kChunk = 1600; // 100 ms at 16 kHz, the default line

// One line of audio carrying the scripted helper's command "W:<word>".
std::vector<std::int16_t> wordChunk(const std::string& word) {
    auto samples = scriptSamples("W:" + word);
    samples.resize(kChunk, ' ');
    return samples;
}

// The buffers the scripted engine logged: frame count and first samples.
std::vector<std::pair<unsigned, std::vector<int>>> loggedBuffers(const std::string& path) {
    std::vector<std::pair<unsigned, std::vector<int>>> out;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        std::stringstream fields(line);
        int request = 0;
        unsigned frames = 0;
        if (!(fields >> request >> frames)) continue; // a platform call, not a buffer
        std::vector<int> head;
        for (int sample = 0; fields >> sample;) head.push_back(sample);
        out.emplace_back(frames, head);
    }
    return out;
}

class Microphone : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        server = PrivateSoundServer::start(dir.path(), error);
        if (!server) GTEST_SKIP() << error;
    }
    TempDir dir;
    std::unique_ptr<PrivateSoundServer> server;
};

TEST_F(Microphone, EveryWordSaidReachesTheHelperInOrderAndCtrlCEndsWithTheLastOnes) {
    // Forty words said in one burst, far faster than speech: the server must
    // hold what olvek-transcribe cannot pass on yet, and give all of it.
    std::vector<std::string> words;
    std::vector<std::int16_t> speech;
    for (int i = 0; i < 40; ++i) {
        words.push_back("w" + std::to_string(i));
        auto chunk = wordChunk(words.back());
        speech.insert(speech.end(), chunk.begin(), chunk.end());
    }
    const std::string log = dir.file("engine.log");
    auto environment = server->clientEnvironment();
    environment.push_back("OLVEK_TEST_PLATFORM=log=" + log);
    std::vector<std::string> fullEnvironment;
    for (char** entry = environ; *entry; ++entry) {
        // The test's server alone, whatever session this runs in.
        if (std::string(*entry).rfind("PULSE_", 0) != 0) fullEnvironment.push_back(*entry);
    }
    fullEnvironment.insert(fullEnvironment.end(), environment.begin(), environment.end());
    auto transcribe = host::ChildProcess::spawn(
        {OLVEK_TRANSCRIBE_PATH, "--json", "--mic", "--helper", OLVEK_SCRIPTED_HELPER_PATH}, fullEnvironment);
    ASSERT_TRUE(transcribe);
    ASSERT_TRUE(server->waitForRecorder(std::chrono::seconds(20)))
        << "olvek-transcribe never recorded: " << transcribe->standardError() << server->log();
    MicrophoneFeed speaker(server->microphonePath(), speech);

    // Once the last word has reached the helper, the speaker presses Ctrl-C.
    const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (transcribe->standardOutput().find("w39") == std::string::npos &&
           std::chrono::steady_clock::now() < guard) {
        ASSERT_FALSE(transcribe->wait(std::chrono::milliseconds(50))) << transcribe->standardError();
    }
    ASSERT_NE(transcribe->standardOutput().find("w39"), std::string::npos)
        << "the last word never came: " << transcribe->standardOutput() << transcribe->standardError();
    ::kill(transcribe->pid(), SIGINT);
    auto status = transcribe->wait(std::chrono::seconds(20));
    ASSERT_TRUE(status) << "a stop did not end the recording";
    EXPECT_TRUE(status->exited);
    EXPECT_EQ(status->code, 0) << transcribe->standardError();
    EXPECT_TRUE(speaker.spoken());

    std::vector<std::string> types;
    std::string final;
    for (const auto& event : eventsOf(transcribe->standardOutput())) {
        ASSERT_TRUE(event.is_object()) << transcribe->standardOutput();
        types.push_back(event["type"]);
        if (event["type"] == "final") final += " " + event["text"].get<std::string>();
    }
    ASSERT_FALSE(types.empty());
    EXPECT_EQ(types.back(), "stopped");
    EXPECT_EQ(wordsOf(final), words) << "every word once, in order";

    // Line for line as said: the recording starts with the first sample
    // spoken, and no piece of it is dropped or repeated.
    auto buffers = loggedBuffers(log);
    ASSERT_GE(buffers.size(), words.size());
    for (std::size_t i = 0; i < words.size(); ++i) {
        SCOPED_TRACE("line " + std::to_string(i));
        EXPECT_EQ(buffers[i].first, static_cast<unsigned>(kChunk));
        auto expected = wordChunk(words[i]);
        ASSERT_FALSE(buffers[i].second.empty());
        for (std::size_t s = 0; s < buffers[i].second.size(); ++s) EXPECT_EQ(buffers[i].second[s], expected[s]);
    }
}

TEST(MicrophoneUnavailable, NoSoundServerIsAnUnreadableInputThatSaysWhatIsMissing) {
    TempDir dir;
    auto run = runTranscribe({"--mic", "--helper", OLVEK_SCRIPTED_HELPER_PATH},
                             {"PULSE_SERVER=unix:" + dir.file("no-server"), "PULSE_COOKIE=" + dir.file("cookie")});
    EXPECT_TRUE(run.exited);
    EXPECT_EQ(run.code, host::kExitUnreadableInput) << run.err;
    EXPECT_NE(run.err.find("cannot record from the microphone"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("sound server"), std::string::npos) << run.err;
    EXPECT_TRUE(run.out.empty()) << run.out;
}

} // namespace
} // namespace olvek::testing
