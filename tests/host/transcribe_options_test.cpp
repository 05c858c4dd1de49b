#include <gtest/gtest.h>

#include "host/transcribe_options.h"

namespace olvek::host {
namespace {

TEST(TranscribeCommandLine, OptionsAndTheInput) {
    auto parsed = parseTranscribeCommandLine(
        {"--lang", "fr", "--json", "--realtime", "--helper", "/opt/h", "--chunk-ms", "40", "-v", "clip.flac"});
    ASSERT_TRUE(parsed.options) << parsed.error;
    const auto& o = *parsed.options;
    EXPECT_EQ(o.inputs, std::vector<std::string>{"clip.flac"});
    EXPECT_EQ(o.language, "fr");
    EXPECT_EQ(o.helperPath, "/opt/h");
    EXPECT_EQ(o.format, OutputFormat::Json);
    EXPECT_TRUE(o.realtime && o.verbose);
    EXPECT_EQ(o.chunkMs, 40);

    auto defaults = parseTranscribeCommandLine({"-"});
    ASSERT_TRUE(defaults.options);
    EXPECT_EQ(defaults.options->inputs, std::vector<std::string>{"-"});
    EXPECT_EQ(defaults.options->language, "en");
    EXPECT_EQ(defaults.options->helperPath, "");
    EXPECT_EQ(defaults.options->chunkMs, 100);
    EXPECT_EQ(defaults.options->format, OutputFormat::Text);
    EXPECT_FALSE(defaults.options->timestamps || defaults.options->realtime);
    EXPECT_FALSE(needsTimings(*defaults.options)) << "a plain run asks the helper for nothing new";

    auto equalsForm = parseTranscribeCommandLine({"--lang=de", "--", "--odd-name.wav"});
    ASSERT_TRUE(equalsForm.options) << equalsForm.error;
    EXPECT_EQ(equalsForm.options->language, "de");
    EXPECT_EQ(equalsForm.options->inputs, std::vector<std::string>{"--odd-name.wav"});
}

TEST(TranscribeCommandLine, UsageErrorsSayWhatIsWrong) {
    struct Case {
        std::vector<std::string> arguments;
        std::string error;
    };
    const Case cases[] = {
        {{}, "no input"},
        {{"-", "a.wav", "-"}, "- (standard input) can be given only once"},
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

TEST(TranscribeCommandLine, HelpVersionAndTheLanguageListNeedNoInput) {
    EXPECT_TRUE(parseTranscribeCommandLine({"--help"}).options->help);
    EXPECT_TRUE(parseTranscribeCommandLine({"-h"}).options->help);
    EXPECT_TRUE(parseTranscribeCommandLine({"--version"}).options->version);
    EXPECT_TRUE(parseTranscribeCommandLine({"--list-languages"}).options->listLanguages);
}

// A switch is on by being there: "--json=false" meaning "on" would be a trap.
TEST(TranscribeCommandLine, SwitchesTakeNoValue) {
    for (const char* name : {"--json", "--realtime", "--verbose", "--timestamps", "--help", "--version",
                             "--list-languages"}) {
        for (const char* value : {"false", "true", ""}) {
            std::string argument = std::string(name) + "=" + value;
            auto parsed = parseTranscribeCommandLine({argument, "a.wav"});
            EXPECT_FALSE(parsed.options) << argument;
            EXPECT_EQ(parsed.error, std::string(name) + " takes no value (got " + argument + ")") << argument;
        }
    }
}

TEST(TranscribeCommandLine, FormatsTimestampsAndSeveralInputs) {
    struct Row {
        const char* name;
        std::vector<std::string> arguments;
        OutputFormat format;
        bool timings;      // the helper is asked for the times of the words
        std::string error; // else: a part of the message
    };
    const Row rows[] = {
        {"text by default", {"a.wav"}, OutputFormat::Text, false, ""},
        {"text named", {"--format", "text", "a.wav"}, OutputFormat::Text, false, ""},
        {"json", {"--format=json", "a.wav"}, OutputFormat::Json, false, ""},
        {"--json is --format json", {"--json", "a.wav"}, OutputFormat::Json, false, ""},
        {"both spellings of json", {"--json", "--format", "json", "a.wav"}, OutputFormat::Json, false, ""},
        {"srt", {"--format", "srt", "a.wav"}, OutputFormat::Srt, true, ""},
        {"vtt", {"--format", "vtt", "a.wav"}, OutputFormat::Vtt, true, ""},
        {"timestamps on text", {"--timestamps", "a.wav"}, OutputFormat::Text, true, ""},
        {"timestamps on json", {"--json", "--timestamps", "a.wav"}, OutputFormat::Json, true, ""},
        {"several inputs in text", {"a.wav", "b.flac", "-"}, OutputFormat::Text, false, ""},
        {"several subtitles into a folder", {"--format", "srt", "--output-dir", "subs", "a.wav", "b.wav"},
         OutputFormat::Srt, true, ""},
        {"unknown format", {"--format", "docx", "a.wav"}, OutputFormat::Text, false,
         "--format needs one of text, json, srt, vtt (got \"docx\")"},
        {"format in upper case", {"--format", "SRT", "a.wav"}, OutputFormat::Text, false, "--format needs one of"},
        {"json and srt", {"--json", "--format", "srt", "a.wav"}, OutputFormat::Text, false,
         "--format json and --format srt ask for two different formats"},
        {"srt then text", {"--format", "srt", "--format", "text", "a.wav"}, OutputFormat::Text, false,
         "ask for two different formats"},
        {"timestamps on subtitles", {"--format", "vtt", "--timestamps", "a.wav"}, OutputFormat::Text, false,
         "--timestamps is for --format text or json"},
        {"several subtitles on standard output", {"--format", "srt", "a.wav", "b.wav"}, OutputFormat::Text, false,
         "several inputs in --format srt need --output-dir DIR"},
        {"output folder without a name", {"--output-dir=", "a.wav"}, OutputFormat::Text, false,
         "--output-dir needs a folder"},
    };
    for (const Row& row : rows) {
        auto parsed = parseTranscribeCommandLine(row.arguments);
        if (!row.error.empty()) {
            EXPECT_FALSE(parsed.options) << row.name;
            EXPECT_NE(parsed.error.find(row.error), std::string::npos) << row.name << ": " << parsed.error;
            continue;
        }
        ASSERT_TRUE(parsed.options) << row.name << ": " << parsed.error;
        EXPECT_EQ(parsed.options->format, row.format) << row.name;
        EXPECT_EQ(needsTimings(*parsed.options), row.timings) << row.name;
    }
    auto several = parseTranscribeCommandLine({"a.wav", "--lang", "en", "b.flac", "--", "-c.wav"});
    ASSERT_TRUE(several.options) << several.error;
    EXPECT_EQ(several.options->inputs, (std::vector<std::string>{"a.wav", "b.flac", "-c.wav"})) << "in order";
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
        {"with --output-dir", {"--mic", "--output-dir", "subs"}, false},
        {"with --realtime", {"--realtime", "--mic"}, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        auto parsed = parseTranscribeCommandLine(row.arguments);
        ASSERT_EQ(parsed.options.has_value(), row.ok) << parsed.error;
        if (row.ok) {
            EXPECT_TRUE(parsed.options->mic);
            EXPECT_TRUE(parsed.options->inputs.empty());
        } else {
            EXPECT_NE(parsed.error.find("--mic"), std::string::npos) << parsed.error;
        }
    }
    EXPECT_FALSE(parseTranscribeCommandLine({"a.wav"}).options->mic);
}

} // namespace
} // namespace olvek::host
