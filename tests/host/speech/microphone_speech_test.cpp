// olvek-transcribe --mic with the real helper: a LibriVox sentence said into
// the microphone of a private PulseAudio server comes back as words.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "../sound_server.h"
#include "host/child_process.h"
#include "recorded_speech.h"

namespace olvek::testing {
namespace {

const std::string kClipId = "sense_and_sensibility_01_austen_64kb-0880";

// The text of the "final" events in `jsonLines`, joined; whether one came.
std::pair<std::string, bool> finals(const std::string& jsonLines) {
    std::string text;
    bool any = false;
    std::stringstream lines(jsonLines);
    for (std::string line; std::getline(lines, line);) {
        auto event = nlohmann::json::parse(line, nullptr, false);
        if (event.is_discarded() || event["type"] != "final") continue;
        any = any || !event["text"].get<std::string>().empty();
        text += " " + event["text"].get<std::string>();
    }
    return {text, any};
}

TEST(MicrophoneSpeech, ASentenceSaidIntoTheMicrophoneIsRecognized) {
    const std::string clip = librivoxClip(kClipId);
    if (!std::ifstream(clip).good()) GTEST_SKIP() << "pocketsphinx-testdata is not installed";
    TempDir dir;
    std::string error;
    auto server = PrivateSoundServer::start(dir.path(), error);
    if (!server) GTEST_SKIP() << error;

    // The sentence, then a second of silence: the pause after it ends the
    // utterance, so its final comes while the microphone is still open.
    auto speech = readSamples(clip);
    ASSERT_FALSE(speech.empty());
    speech.resize(speech.size() + 16000, 0);

    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry) {
        if (std::string(*entry).rfind("PULSE_", 0) != 0) environment.push_back(*entry);
    }
    for (const auto& item : server->clientEnvironment()) environment.push_back(item);
    auto transcribe =
        host::ChildProcess::spawn({OLVEK_TRANSCRIBE_PATH, "--json", "--mic", "--helper", OLVEK_HELPER_PATH}, environment);
    ASSERT_TRUE(transcribe);
    ASSERT_TRUE(server->waitForRecorder(std::chrono::seconds(20)))
        << "olvek-transcribe never recorded: " << transcribe->standardError() << server->log();
    MicrophoneFeed speaker(server->microphonePath(), speech);

    const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!finals(transcribe->standardOutput()).second && std::chrono::steady_clock::now() < guard) {
        auto status = transcribe->wait(std::chrono::milliseconds(100));
        ASSERT_FALSE(status) << "ended early: " << transcribe->standardError();
    }
    ::kill(transcribe->pid(), SIGINT);
    auto status = transcribe->wait(std::chrono::seconds(20));
    ASSERT_TRUE(status) << "a stop did not end the recording";
    EXPECT_EQ(status->code, 0) << transcribe->standardError();
    auto heard = finals(transcribe->standardOutput()).first;
    EXPECT_GE(wordRecall(librivoxReferences().at(kClipId), wordsOf(heard)), 0.6) << "heard: " << heard;
}

} // namespace
} // namespace olvek::testing
