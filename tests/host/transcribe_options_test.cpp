#include <gtest/gtest.h>

#include "host/transcribe_options.h"

namespace olvek::host {
namespace {

TEST(TranscribeCommandLine, OptionsAndTheInput) {
    auto parsed = parseTranscribeCommandLine(
        {"--lang", "fr", "--json", "--realtime", "--helper", "/opt/h", "--chunk-ms", "40", "-v", "clip.flac"});
    ASSERT_TRUE(parsed.options) << parsed.error;
    const auto& o = *parsed.options;
    EXPECT_EQ(o.input, "clip.flac");
    EXPECT_EQ(o.language, "fr");
    EXPECT_EQ(o.helperPath, "/opt/h");
    EXPECT_TRUE(o.json && o.realtime && o.verbose);
    EXPECT_EQ(o.chunkMs, 40);

    auto defaults = parseTranscribeCommandLine({"-"});
    ASSERT_TRUE(defaults.options);
    EXPECT_EQ(defaults.options->input, "-");
    EXPECT_EQ(defaults.options->language, "en");
    EXPECT_EQ(defaults.options->helperPath, "");
    EXPECT_EQ(defaults.options->chunkMs, 100);
    EXPECT_FALSE(defaults.options->json || defaults.options->realtime);

    auto equalsForm = parseTranscribeCommandLine({"--lang=de", "--", "--odd-name.wav"});
    ASSERT_TRUE(equalsForm.options) << equalsForm.error;
    EXPECT_EQ(equalsForm.options->language, "de");
    EXPECT_EQ(equalsForm.options->input, "--odd-name.wav");
}

TEST(TranscribeCommandLine, UsageErrorsSayWhatIsWrong) {
    struct Case {
        std::vector<std::string> arguments;
        std::string error;
    };
    const Case cases[] = {
        {{}, "no input"},
        {{"a.wav", "b.wav"}, "one input at a time"},
        {{"--lang"}, "--lang needs a value"},
        {{"--lang", "--json", "a.wav"}, "--lang needs a language name"},
        {{"--helper", "", "a.wav"}, "--helper needs a path"},
        {{"--chunk-ms", "0", "a.wav"}, "--chunk-ms needs"},
        {{"--chunk-ms", "12x", "a.wav"}, "--chunk-ms needs"},
        {{"--chunk-ms", "20000", "a.wav"}, "--chunk-ms needs"},
        {{"--loud", "a.wav"}, "unknown option --loud"},
    };
    for (const auto& c : cases) {
        auto parsed = parseTranscribeCommandLine(c.arguments);
        EXPECT_FALSE(parsed.options) << c.error;
        EXPECT_NE(parsed.error.find(c.error), std::string::npos) << parsed.error;
    }
}

TEST(TranscribeCommandLine, HelpAndVersionNeedNoInput) {
    EXPECT_TRUE(parseTranscribeCommandLine({"--help"}).options->help);
    EXPECT_TRUE(parseTranscribeCommandLine({"-h"}).options->help);
    EXPECT_TRUE(parseTranscribeCommandLine({"--version"}).options->version);
}

} // namespace
} // namespace olvek::host
