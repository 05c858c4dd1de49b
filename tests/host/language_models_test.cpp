// Languages as people type them, and what olvek-transcribe says about the
// models installed under a root built from the stock one.
#include <gtest/gtest.h>

#include "host/language_models.h"
#include "pocketsphinx/speech_test_support.h"

namespace olvek::host {
namespace {

namespace fs = std::filesystem;
using testing::linkStockModel;
using testing::replaceWithFile;
using testing::TemporaryFolder;

TEST(HelperLanguage, NamesAsPeopleTypeThem) {
    struct Row {
        const char* typed;
        std::string argument, localeId;
        std::optional<std::string> lcAll;
    };
    const std::optional<std::string> none;
    const Row rows[] = {
        {"en", "en", "en-US", none},
        {"en-US", "en", "en-US", none},
        {"en_US", "en", "en-US", none},
        {"en-us", "en", "en-US", none},
        {"EN_us", "en", "en-US", none},
        {"en_US.UTF-8", "en", "en-US", none},
        {"auto", "auto", "de_AT", none}, // the current locale, as the helper will see it too
        {"zh", "zh", "zh-CN", none},
        {"zh_CN", "zh", "zh-CN", none},
        // Others reach the helper through "auto" and the locale it reads.
        {"fr", "auto", "fr", "fr.UTF-8"},
        {"fr-fr", "auto", "fr_FR", "fr_FR.UTF-8"},
        {"de_DE@euro", "auto", "de_DE", "de_DE.UTF-8"},
        {"en-GB", "auto", "en_GB", "en_GB.UTF-8"},
        {"sr-Latn-RS", "auto", "sr_LATN_RS", "sr_LATN_RS.UTF-8"},
    };
    for (const Row& row : rows) {
        auto language = helperLanguageFor(row.typed, "de_AT");
        ASSERT_TRUE(language) << row.typed;
        EXPECT_EQ(language->argument, row.argument) << row.typed;
        EXPECT_EQ(language->localeId, row.localeId) << row.typed;
        EXPECT_EQ(language->localeEnvironment, row.lcAll) << row.typed;
    }
    for (const char* notALanguage : {"", "en us", "../en", "en--us", "-en", "fr/", "\xc3\xa9n"}) {
        EXPECT_FALSE(helperLanguageFor(notALanguage, "de_AT")) << notALanguage;
    }
}

TEST(InstalledLanguages, OnlyFoldersWithAWholeModel) {
    TemporaryFolder root;
    linkStockModel(root.path, "en-us");
    linkStockModel(root.path, "fr-fr");
    fs::remove(root.path / "fr-fr" / "cmudict-en-us.dict");
    linkStockModel(root.path, "de");
    fs::create_directories(root.path / "EN-GB"); // not a name the locator looks up
    std::ofstream(root.path / "README") << "not a folder\n";
    EXPECT_EQ(installedLanguages(root.path), (std::vector<std::string>{"de", "en-US"}));
    EXPECT_EQ(installedLanguages(root.path / "absent"), std::vector<std::string>{});
}

// What a person reads when a model cannot be used: the folder looked for, or
// the very file that is wrong.
TEST(ModelProblem, NamesTheFolderOrTheFile) {
    const std::string kEmpty;
    struct Row {
        const char* name;
        std::function<void(const fs::path& root)> arrange;
        std::string localeId;
        std::string problem; // relative to the root; empty: usable
    };
    const Row rows[] = {
        {"stock", [](const fs::path& r) { linkStockModel(r, "en-us"); }, "en-US", ""},
        {"no folder", [](const fs::path& r) { linkStockModel(r, "en-us"); }, "fr_FR", "no model folder ROOT/fr-fr"},
        {"no folder, with a fallback", [](const fs::path&) {}, "en_US_POSIX",
         "no model folder ROOT/en-us-posix or ROOT/en-us"},
        {"missing mdef", [](const fs::path& r) { fs::remove(linkStockModel(r, "en-us") / "en-us" / "mdef"); }, "en-US",
         "no acoustic model in ROOT/en-us (a folder holding mdef)"},
        {"missing means", [](const fs::path& r) { fs::remove(linkStockModel(r, "en-us") / "en-us" / "means"); },
         "en-US", "ROOT/en-us/en-us/means is missing"},
        {"empty variances",
         [&kEmpty](const fs::path& r) {
             replaceWithFile(linkStockModel(r, "en-us") / "en-us" / "variances", 0, &kEmpty);
         },
         "en-US", "ROOT/en-us/en-us/variances is empty"},
        {"no mixture weights", [](const fs::path& r) { fs::remove(linkStockModel(r, "en-us") / "en-us" / "sendump"); },
         "en-US", "ROOT/en-us/en-us/sendump is missing (and so is mixture_weights, which could stand in for it)"},
        {"language model cut short",
         [](const fs::path& r) {
             const auto file = linkStockModel(r, "en-us") / "en-us.lm.bin";
             replaceWithFile(file, fs::file_size(file) - 10);
         },
         "en-US", "ROOT/en-us/en-us.lm.bin is cut short or is not a binary trie language model"},
        {"only the phone model", [](const fs::path& r) { fs::remove(linkStockModel(r, "en-us") / "en-us.lm.bin"); },
         "en-US", "no word language model (*.lm.bin) in ROOT/en-us"},
        {"empty dictionary",
         [&kEmpty](const fs::path& r) {
             replaceWithFile(linkStockModel(r, "en-us") / "cmudict-en-us.dict", 0, &kEmpty);
         },
         "en-US", "ROOT/en-us/cmudict-en-us.dict is empty"},
        {"no dictionary", [](const fs::path& r) { fs::remove(linkStockModel(r, "en-us") / "cmudict-en-us.dict"); },
         "en-US", "no pronunciation dictionary (*.dict or *.dic) in ROOT/en-us"},
    };
    for (const Row& row : rows) {
        TemporaryFolder root;
        row.arrange(root.path);
        std::string expected = row.problem;
        for (auto at = expected.find("ROOT"); at != std::string::npos; at = expected.find("ROOT")) {
            expected.replace(at, 4, root.path.string());
        }
        EXPECT_EQ(modelProblem(root.path, row.localeId), expected) << row.name;
    }
}

} // namespace
} // namespace olvek::host
