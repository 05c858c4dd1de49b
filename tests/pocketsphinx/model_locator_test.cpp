#include "recognition/pocketsphinx/model_locator.h"

#include <gtest/gtest.h>

#include <functional>

#include "speech_test_support.h"

namespace olvek::pocketsphinx {
namespace {

using testing::linkStockModel;
using testing::replaceWithFile;
using testing::TemporaryFolder;
namespace fs = std::filesystem;

TEST(ModelFolderNames, SpellingsOfALocaleNameOneFolder) {
    struct Case {
        std::string localeId;
        std::vector<std::string> names;
    } cases[] = {
        {"en-US", {"en-us"}},
        {"en_US", {"en-us"}},
        {"EN-us", {"en-us"}},
        {"zh-CN", {"zh-cn"}},
        {"en_US_POSIX", {"en-us-posix", "en-us"}},
        {"sr-Latn-RS", {"sr-latn-rs", "sr-latn"}},
        {"en", {"en"}},
        {"", {}},
        {"../en-us", {}},
        {"en/us", {}},
        {"en-US.UTF-8", {}},
        {"en US", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(modelFolderNames(c.localeId), c.names) << c.localeId;
}

// Each case builds a root from symlinks to the stock model, changes it, and
// says which locale to look up and whether a model must be found.
struct LayoutCase {
    const char* name;
    std::function<void(const fs::path& root)> arrange;
    std::string localeId;
    bool found;
};

class ModelLayout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(ModelLayout, FindsAModelOnlyWhenEveryPartIsUsable) {
    TemporaryFolder root;
    GetParam().arrange(root.path);
    auto files = locateModel(root.path, GetParam().localeId);
    ASSERT_EQ(files.has_value(), GetParam().found);
    if (files) {
        EXPECT_TRUE(fs::exists(files->acousticModel / "mdef"));
        EXPECT_EQ(files->languageModel.filename().string().find("phone"), std::string::npos);
    }
}

const std::string kEmpty;

INSTANTIATE_TEST_SUITE_P(
    Roots, ModelLayout,
    ::testing::Values(
        LayoutCase{"Stock", [](const fs::path& r) { linkStockModel(r, "en-us"); }, "en-US", true},
        LayoutCase{"Underscore", [](const fs::path& r) { linkStockModel(r, "en-us"); }, "en_US", true},
        LayoutCase{"PosixVariantFallsBack", [](const fs::path& r) { linkStockModel(r, "en-us"); }, "en_US_POSIX",
                   true},
        LayoutCase{"OtherLocale", [](const fs::path& r) { linkStockModel(r, "en-us"); }, "zh-CN", false},
        LayoutCase{"UserInstalledLocale", [](const fs::path& r) { linkStockModel(r, "zh-cn"); }, "zh-CN", true},
        LayoutCase{"EmptyRoot", [](const fs::path&) {}, "en-US", false},
        LayoutCase{"EscapeAttempt",
                   [](const fs::path& r) {
                       linkStockModel(r / "inner", "en-us");
                       fs::create_directories(r / "inner" / "x");
                   },
                   "../en-us", false},
        LayoutCase{"NoAcousticFolder",
                   [](const fs::path& r) { fs::remove_all(linkStockModel(r, "en-us") / "en-us"); }, "en-US", false},
        LayoutCase{"NoMdef", [](const fs::path& r) { fs::remove(linkStockModel(r, "en-us") / "en-us" / "mdef"); },
                   "en-US", false},
        LayoutCase{"NoMeans", [](const fs::path& r) { fs::remove(linkStockModel(r, "en-us") / "en-us" / "means"); },
                   "en-US", false},
        LayoutCase{"EmptyVariances",
                   [](const fs::path& r) {
                       replaceWithFile(linkStockModel(r, "en-us") / "en-us" / "variances", 0, &kEmpty);
                   },
                   "en-US", false},
        LayoutCase{"NoMixtureWeightsOfAnyKind",
                   [](const fs::path& r) { fs::remove(linkStockModel(r, "en-us") / "en-us" / "sendump"); }, "en-US",
                   false},
        LayoutCase{"DanglingTransitionMatrices",
                   [](const fs::path& r) {
                       const auto file = linkStockModel(r, "en-us") / "en-us" / "transition_matrices";
                       fs::remove(file);
                       fs::create_symlink(r / "nowhere", file);
                   },
                   "en-US", false},
        LayoutCase{"DanglingFeatParams",
                   [](const fs::path& r) {
                       const auto file = linkStockModel(r, "en-us") / "en-us" / "feat.params";
                       fs::remove(file);
                       fs::create_symlink(r / "nowhere", file);
                   },
                   "en-US", false},
        LayoutCase{"NoNoiseDictionaryIsFine",
                   [](const fs::path& r) { fs::remove(linkStockModel(r, "en-us") / "en-us" / "noisedict"); },
                   "en-US", true},
        LayoutCase{"OnlyThePhoneLanguageModel",
                   [](const fs::path& r) { fs::remove(linkStockModel(r, "en-us") / "en-us.lm.bin"); }, "en-US",
                   false},
        LayoutCase{"LanguageModelCutOffMidway",
                   [](const fs::path& r) { replaceWithFile(linkStockModel(r, "en-us") / "en-us.lm.bin", 20000000); },
                   "en-US", false},
        LayoutCase{"LanguageModelCutInItsWordList",
                   [](const fs::path& r) {
                       const auto file = linkStockModel(r, "en-us") / "en-us.lm.bin";
                       replaceWithFile(file, fs::file_size(file) - 10);
                   },
                   "en-US", false},
        LayoutCase{"LanguageModelOfAnotherFormat",
                   [](const fs::path& r) {
                       const std::string text = "\\data\\\nngram 1=1\n\n\\1-grams:\n-1.0 <s>\n\\end\\\n";
                       replaceWithFile(linkStockModel(r, "en-us") / "en-us.lm.bin", 0, &text);
                   },
                   "en-US", false},
        LayoutCase{"NoDictionary",
                   [](const fs::path& r) { fs::remove(linkStockModel(r, "en-us") / "cmudict-en-us.dict"); }, "en-US",
                   false},
        LayoutCase{"EmptyDictionary",
                   [](const fs::path& r) {
                       replaceWithFile(linkStockModel(r, "en-us") / "cmudict-en-us.dict", 0, &kEmpty);
                   },
                   "en-US", false},
        LayoutCase{"DicSpelling",
                   [](const fs::path& r) {
                       const auto folder = linkStockModel(r, "en-us");
                       fs::rename(folder / "cmudict-en-us.dict", folder / "words.dic");
                   },
                   "en-US", true},
        LayoutCase{"LocaleFolderIsAFile",
                   [](const fs::path& r) { std::ofstream(r / "en-us") << "not a folder"; }, "en-US", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TrieLanguageModel, TheStockModelsAreWhole) {
    EXPECT_TRUE(isWholeTrieLanguageModel(testing::kStockEnUs / "en-us.lm.bin"));
    EXPECT_TRUE(isWholeTrieLanguageModel(testing::kStockEnUs / "en-us-phone.lm.bin"));
    EXPECT_FALSE(isWholeTrieLanguageModel(testing::kStockEnUs / "cmudict-en-us.dict"));
}

TEST(TrieLanguageModel, TheWordListHoldsEveryWordOfTheStockModel) {
    const auto list = trieLanguageModelWordList(testing::kStockEnUs / "en-us.lm.bin");
    ASSERT_TRUE(list);
    std::vector<std::string> words;
    for (std::size_t at = 0; at < list->size();) {
        const auto end = list->find('\0', at);
        ASSERT_NE(end, std::string::npos) << "the last word is not terminated";
        words.push_back(list->substr(at, end - at));
        at = end + 1;
    }
    // The count the model's header gives for its unigrams.
    std::ifstream in(testing::kStockEnUs / "en-us.lm.bin", std::ios::binary);
    unsigned char header[24];
    ASSERT_TRUE(in.read(reinterpret_cast<char*>(header), sizeof header));
    const std::size_t unigrams = header[20] | header[21] << 8 | header[22] << 16 | static_cast<std::size_t>(header[23]) << 24;
    EXPECT_EQ(words.size(), unigrams);
    for (const char* word : {"<s>", "</s>", "leisure", "dashwood"}) {
        EXPECT_NE(std::find(words.begin(), words.end(), word), words.end()) << word;
    }
}

TEST(ModelChoice, PicksTheWordLanguageModelAndTheSameFilesEveryTime) {
    TemporaryFolder root;
    const auto folder = linkStockModel(root.path, "en-us");
    // "en-us-phone.lm.bin" sorts before "en-us.lm.bin": name order alone
    // would pick the phone model.
    auto files = locateModel(root.path, "en-US");
    ASSERT_TRUE(files);
    EXPECT_EQ(files->languageModel, folder / "en-us.lm.bin");
    EXPECT_EQ(files->dictionary, folder / "cmudict-en-us.dict");
    EXPECT_EQ(files->acousticModel, folder / "en-us");
}

TEST(ModelChoice, WithoutALocaleNamedCandidateTheFirstByNameWins) {
    TemporaryFolder root;
    const auto folder = linkStockModel(root.path, "en-us");
    fs::rename(folder / "en-us.lm.bin", folder / "b-words.lm.bin");
    fs::create_symlink(testing::kStockEnUs / "en-us.lm.bin", folder / "a-words.lm.bin");
    fs::create_directories(folder / "z-model");
    for (const auto& entry : fs::directory_iterator(folder / "en-us")) {
        fs::create_symlink(fs::read_symlink(entry.path()), folder / "z-model" / entry.path().filename());
    }
    fs::rename(folder / "en-us", folder / "m-model");
    fs::create_symlink(testing::kStockEnUs / "cmudict-en-us.dict", folder / "a.dic");
    for (int run = 0; run < 3; ++run) {
        auto files = locateModel(root.path, "en-US");
        ASSERT_TRUE(files);
        EXPECT_EQ(files->languageModel, folder / "a-words.lm.bin");
        EXPECT_EQ(files->acousticModel, folder / "m-model");
        EXPECT_EQ(files->dictionary, folder / "a.dic");
    }
}

} // namespace
} // namespace olvek::pocketsphinx
