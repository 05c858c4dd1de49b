// olvek-transcribe with the real helper and real recorded speech: LibriVox
// clips from pocketsphinx-testdata with their reference transcription.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>

#include <nlohmann/json.hpp>
#include <sndfile.h>

#include "host/transcribe_options.h"
#include "transcribe_run.h"

namespace olvek::testing {
namespace {

const std::string kClipId = "sense_and_sensibility_01_austen_64kb-0880";

std::string clip(const std::string& id = kClipId) { return std::string(OLVEK_LIBRIVOX_DIR) + "/" + id + ".wav"; }

std::string realHelper() { return OLVEK_HELPER_PATH; }

// The reference words of each clip, from the "transcription" file.
std::map<std::string, std::vector<std::string>> references() {
    std::map<std::string, std::vector<std::string>> out;
    std::ifstream in(std::string(OLVEK_LIBRIVOX_DIR) + "/transcription");
    std::string line;
    std::regex entry(R"(<s>\s*(.*?)\s*</s>\s*\((.*)\))");
    std::smatch m;
    while (std::getline(in, line)) {
        if (std::regex_search(line, m, entry)) out[m[2]] = wordsOf(m[1]);
    }
    return out;
}

// Reference words that the transcript has, in order (a longest common
// subsequence over words), as a share of the reference.
double wordRecall(const std::vector<std::string>& reference, const std::vector<std::string>& heard) {
    std::vector<std::vector<int>> table(reference.size() + 1, std::vector<int>(heard.size() + 1, 0));
    for (std::size_t i = 1; i <= reference.size(); ++i) {
        for (std::size_t j = 1; j <= heard.size(); ++j) {
            table[i][j] = reference[i - 1] == heard[j - 1] ? table[i - 1][j - 1] + 1
                                                           : std::max(table[i - 1][j], table[i][j - 1]);
        }
    }
    return reference.empty() ? 0 : static_cast<double>(table[reference.size()][heard.size()]) / reference.size();
}

class TranscribeSpeech : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::ifstream(clip()).good()) GTEST_SKIP() << "pocketsphinx-testdata is not installed";
        // Until a speech engine is linked in, the helper has no recognizer
        // for any locale; these tests are about real speech.
        auto probe = runTranscribe({"--helper", realHelper(), clip()});
        if (probe.code == host::kExitNoRecognizer) GTEST_SKIP() << "the helper has no English recognizer: " << probe.err;
        baseline_ = probe;
    }
    TempDir dir;
    TranscribeRun baseline_;
};

TEST_F(TranscribeSpeech, ALibriVoxClipGivesItsWords) {
    ASSERT_EQ(baseline_.code, 0) << baseline_.err;
    auto reference = references().at(kClipId);
    auto heard = wordsOf(baseline_.out);
    EXPECT_GE(wordRecall(reference, heard), 0.6) << "heard: " << baseline_.out;
    // The default helper (beside olvek-transcribe) is this same helper.
    auto byDefault = runTranscribe({clip()});
    EXPECT_EQ(byDefault.code, 0) << byDefault.err;
    EXPECT_EQ(byDefault.out, baseline_.out);
}

TEST_F(TranscribeSpeech, EveryClipIsMostlyRecognized) {
    double total = 0;
    int clips = 0;
    for (const auto& [id, reference] : references()) {
        auto run = runTranscribe({"--helper", realHelper(), clip(id)});
        ASSERT_EQ(run.code, 0) << id << ": " << run.err;
        double recall = wordRecall(reference, wordsOf(run.out));
        total += recall;
        ++clips;
        EXPECT_GE(recall, 0.4) << id << " heard: " << run.out;
    }
    ASSERT_EQ(clips, 5);
    EXPECT_GE(total / clips, 0.6);
}

TEST_F(TranscribeSpeech, JsonLinesAreValidWithHelloReadyFirstAndStoppedLast) {
    auto run = runTranscribe({"--json", "--helper", realHelper(), clip()});
    ASSERT_EQ(run.code, 0) << run.err;
    auto lines = run.lines();
    ASSERT_GE(lines.size(), 3u);
    std::string finals;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        auto event = nlohmann::json::parse(lines[i], nullptr, false);
        ASSERT_TRUE(event.is_object()) << "line " << i << ": " << lines[i];
        std::string type = event.value("type", "");
        std::string expected = i == 0 ? "hello" : i == 1 ? "ready" : i + 1 == lines.size() ? "stopped" : "";
        if (!expected.empty()) {
            EXPECT_EQ(type, expected) << "line " << i;
        } else {
            EXPECT_TRUE(type == "partial" || type == "final" || type == "error") << lines[i];
        }
        if (type == "final" && !event.value("text", "").empty()) finals += event.value("text", "") + "\n";
    }
    EXPECT_EQ(finals, baseline_.out) << "the finals are what the plain output shows";
}

TEST_F(TranscribeSpeech, OtherRatesChannelsAndContainersGiveTheSameTranscript) {
    ASSERT_EQ(baseline_.code, 0) << baseline_.err;
    ASSERT_FALSE(baseline_.out.empty());
    std::string stereo = dir.file("stereo44k.wav"), flac = dir.file("clip.flac"), raw = dir.file("clip.raw");
    std::string command = "sox -q '" + clip() + "' -r 44100 -c 2 -b 16 '" + stereo + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    auto samples = readSamples(clip());
    writeSoundFile(flac, samples, 16000, 1, SF_FORMAT_FLAC);
    writeRawPcm(raw, samples);

    for (const auto& input : {stereo, flac, std::string("-")}) {
        TranscribeCall call{{"--helper", realHelper(), input}, {}, input == "-" ? std::optional(raw) : std::nullopt};
        auto run = runTranscribe(call);
        ASSERT_EQ(run.code, 0) << input << ": " << run.err;
        EXPECT_EQ(run.out, baseline_.out) << input;
    }
}

TEST_F(TranscribeSpeech, ImpostorsAreTurnedAwayAndTheRealHelperStillGetsThrough) {
    auto run = runTranscribe({"--helper", OLVEK_IMPOSTOR_HELPER_PATH, clip()},
                             {"OLVEK_IMPOSTORS=wrong,silent", "OLVEK_IMPOSTOR_EXEC=" + realHelper()});
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out, baseline_.out);
    EXPECT_NE(run.err.find("turned away 2 connection"), std::string::npos) << run.err;
}

// Not in the fixture: this one holds on a machine without an engine too.
TEST(TranscribeStockMachine, ChineseHasNoRecognizer) {
    auto run = runTranscribe({"--helper", realHelper(), "--lang", "zh", clip()});
    EXPECT_EQ(run.code, host::kExitNoRecognizer) << run.err;
    EXPECT_NE(run.err.find("no speech recognizer is available for --lang zh"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("zh-CN"), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
}

TEST(TranscribeStockMachine, MissingHelperAndUnreadableFile) {
    TempDir dir;
    auto missing = runTranscribe({"--helper", dir.file("no-helper"), clip()});
    EXPECT_EQ(missing.code, host::kExitHelperMissing);
    EXPECT_NE(missing.err.find("speech helper not found"), std::string::npos) << missing.err;
    writeFile(dir.file("broken.wav"), "RIFF....WAVEfmt garbage");
    auto unreadable = runTranscribe({"--helper", realHelper(), dir.file("broken.wav")});
    EXPECT_EQ(unreadable.code, host::kExitUnreadableInput);
    EXPECT_NE(unreadable.err.find("cannot read audio file"), std::string::npos) << unreadable.err;
}

} // namespace
} // namespace olvek::testing
