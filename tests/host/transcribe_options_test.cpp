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
        {{"--loud", "a.wav"}, "unknown option --loud"},
    };
    for (const auto& c : cases) {
        auto parsed = parseTranscribeCommandLine(c.arguments);
        EXPECT_FALSE(parsed.options) << c.error;
        EXPECT_NE(parsed.error.find(c.error), std::string::npos) << parsed.error;
    }
}

// Lines longer than a second could not be decoded inside the helper's
// finishing limit, so the cap is refused with its reason; other bad values get
// the range.
TEST(TranscribeCommandLine, ChunkMsTakesTenToAThousandMilliseconds) {
    const std::string range = "--chunk-ms needs a whole number of milliseconds from 10 to 1000";
    const std::string tooLong = "is too long: at most 1000 ms of audio per line, so that the helper decodes any "
                                "line well inside the 3 s it has after the end of the audio";
    struct Row {
        const char* name;
        std::vector<std::string> arguments;
        int chunkMs;       // the value taken, when accepted
        std::string error; // else: a part of the message
    };
    const Row rows[] = {
        {"default", {"a.wav"}, 100, ""},
        {"shortest", {"--chunk-ms", "10", "a.wav"}, 10, ""},
        {"longest", {"--chunk-ms", "1000", "a.wav"}, 1000, ""},
        {"equals form", {"--chunk-ms=250", "a.wav"}, 250, ""},
        {"one below the shortest", {"--chunk-ms", "9", "a.wav"}, 0, range},
        {"zero", {"--chunk-ms", "0", "a.wav"}, 0, range},
        {"negative", {"--chunk-ms", "-100", "a.wav"}, 0, range},
        {"hugely negative", {"--chunk-ms", "-99999999999", "a.wav"}, 0, range},
        {"one above the longest", {"--chunk-ms", "1001", "a.wav"}, 0, "--chunk-ms 1001 " + tooLong},
        {"the old upper limit", {"--chunk-ms=10000", "a.wav"}, 0, "--chunk-ms 10000 " + tooLong},
        {"beyond an int", {"--chunk-ms", "99999999999", "a.wav"}, 0, "--chunk-ms 99999999999 " + tooLong},
        {"not a number", {"--chunk-ms", "12x", "a.wav"}, 0, range},
        {"plus sign", {"--chunk-ms", "+100", "a.wav"}, 0, range},
        {"empty", {"--chunk-ms=", "a.wav"}, 0, range},
        {"missing", {"--chunk-ms"}, 0, "--chunk-ms needs a value"},
    };
    for (const Row& row : rows) {
        auto parsed = parseTranscribeCommandLine(row.arguments);
        if (row.error.empty()) {
            ASSERT_TRUE(parsed.options) << row.name << ": " << parsed.error;
            EXPECT_EQ(parsed.options->chunkMs, row.chunkMs) << row.name;
        } else {
            EXPECT_FALSE(parsed.options) << row.name;
            EXPECT_NE(parsed.error.find(row.error), std::string::npos) << row.name << ": " << parsed.error;
        }
    }
}

TEST(TranscribeCommandLine, HelpAndVersionNeedNoInput) {
    EXPECT_TRUE(parseTranscribeCommandLine({"--help"}).options->help);
    EXPECT_TRUE(parseTranscribeCommandLine({"-h"}).options->help);
    EXPECT_TRUE(parseTranscribeCommandLine({"--version"}).options->version);
}

TEST(TranscribeCommandLine, MicTakesTheMicrophoneAsTheOnlyInput) {
    struct Row {
        const char* name;
        std::vector<std::string> arguments;
        bool ok;
    };
    const Row rows[] = {
        {"alone", {"--mic"}, true},
        {"with options", {"--lang", "en", "--json", "--mic", "--chunk-ms", "50"}, true},
        {"with a file", {"--mic", "a.wav"}, false},
        {"with standard input", {"-", "--mic"}, false},
        {"with a file after --", {"--mic", "--", "a.wav"}, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        auto parsed = parseTranscribeCommandLine(row.arguments);
        ASSERT_EQ(parsed.options.has_value(), row.ok) << parsed.error;
        if (row.ok) {
            EXPECT_TRUE(parsed.options->mic);
            EXPECT_TRUE(parsed.options->input.empty());
        } else {
            EXPECT_NE(parsed.error.find("--mic records from the microphone"), std::string::npos) << parsed.error;
        }
    }
    EXPECT_FALSE(parseTranscribeCommandLine({"a.wav"}).options->mic);
}

} // namespace
} // namespace olvek::host
