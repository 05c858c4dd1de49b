// The stock model's decoder with the dictionary trimmed to the language
// model's words gives exactly the words it gives with the whole dictionary,
// on every test recording PocketSphinx ships.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>

#include "recognition/pocketsphinx/dictionary_trim.h"
#include "recognition/pocketsphinx/sphinx_decoder.h"
#include "speech_test_support.h"

namespace olvek::pocketsphinx {
namespace {

namespace fs = std::filesystem;

const fs::path kTestData = "/usr/share/pocketsphinx/test/data";

// Headerless 16 kHz 16-bit little-endian mono samples.
std::optional<std::vector<std::int16_t>> readRaw(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::int16_t> samples(bytes.size() / 2);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<std::int16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                               static_cast<unsigned char>(bytes[2 * i + 1]) << 8);
    }
    return samples;
}

// The clip as one utterance, fed in 100 ms pieces as the engine feeds it.
std::string transcribe(UtteranceDecoder& decoder, const std::vector<std::int16_t>& samples) {
    EXPECT_TRUE(decoder.startUtterance());
    for (std::size_t at = 0; at < samples.size(); at += 1600) {
        EXPECT_TRUE(decoder.process(samples.data() + at, std::min<std::size_t>(1600, samples.size() - at)));
    }
    EXPECT_TRUE(decoder.endUtterance());
    return decoder.hypothesis();
}

const std::vector<std::string> kClips{"librivox/sense_and_sensibility_01_austen_64kb-0870.wav",
                                      "librivox/sense_and_sensibility_01_austen_64kb-0880.wav",
                                      "librivox/sense_and_sensibility_01_austen_64kb-0890.wav",
                                      "librivox/sense_and_sensibility_01_austen_64kb-0920.wav",
                                      "librivox/sense_and_sensibility_01_austen_64kb-0930.wav",
                                      "goforward.raw",
                                      "numbers.raw",
                                      "something.raw"};

// Each clip's transcript by a decoder loaded with or without the trim.
std::map<std::string, std::string> transcribeAll(bool trimDictionary) {
    std::map<std::string, std::string> out;
    auto files = locateModel(testing::kStockModelRoot, "en-US");
    if (!files) return out;
    DecoderOptions options;
    options.trimDictionary = trimDictionary;
    auto decoder = loadSphinxDecoder(*files, options);
    if (!decoder) return out;
    for (const auto& clip : kClips) {
        const fs::path path = kTestData / clip;
        auto samples = path.extension() == ".wav" ? testing::readWav(path) : readRaw(path);
        if (samples && !samples->empty()) out[clip] = transcribe(*decoder, *samples);
    }
    return out;
}

class TrimmedDictionary : public ::testing::TestWithParam<std::string> {
protected:
    // One decoder at a time, each through the same clips in the same order:
    // this PocketSphinx draws its dither noise from one generator for the
    // whole process, seeded when a decoder loads, so two decoders decoding
    // in turn would hear different noise.
    static void SetUpTestSuite() {
        whole = transcribeAll(false);
        trimmed = transcribeAll(true);
    }

    static inline std::map<std::string, std::string> whole;
    static inline std::map<std::string, std::string> trimmed;
};

TEST_P(TrimmedDictionary, GivesTheWordsOfTheWholeDictionary) {
    ASSERT_EQ(whole.count(GetParam()), 1u) << "the whole dictionary's decoder did not run";
    ASSERT_EQ(trimmed.count(GetParam()), 1u) << "the trimmed dictionary's decoder did not run";
    EXPECT_FALSE(whole[GetParam()].empty()) << "the clip should hold words";
    EXPECT_EQ(trimmed[GetParam()], whole[GetParam()]);
}

INSTANTIATE_TEST_SUITE_P(TestRecordings, TrimmedDictionary,
                         ::testing::ValuesIn(kClips),
                         [](const auto& info) {
                             std::string name = fs::path(info.param).stem().string();
                             for (char& c : name) {
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             }
                             return name;
                         });

// The comparison above means something only when the load really trims: the
// stock model knows about 79,000 of its dictionary's 134,723 entries.
TEST(TrimmedStockDictionary, IsCutToTheModelsVocabulary) {
    auto files = locateModel(testing::kStockModelRoot, "en-US");
    ASSERT_TRUE(files);
    auto file = trimmedDictionary(*files);
    ASSERT_NE(file, nullptr);
    std::ifstream trimmedIn(file->path());
    std::ifstream wholeIn(files->dictionary);
    std::size_t wholeLines = 0, keptLines = 0;
    for (std::string line; std::getline(wholeIn, line);) ++wholeLines;
    for (std::string line; std::getline(trimmedIn, line);) ++keptLines;
    EXPECT_LT(keptLines, wholeLines * 2 / 3);
    EXPECT_GT(keptLines, wholeLines / 2);
}

} // namespace
} // namespace olvek::pocketsphinx
