// olvek-transcribe's formats, languages and several inputs, as a whole
// process against a stand-in helper that times its scripted words
// (olvek-timed-helper), the scripted helper, and the real helper where only
// its model lookup matters.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>

#include <nlohmann/json.hpp>
#include <sndfile.h>

#include "host/transcribe_options.h"
#include "subtitle_reader.h"
#include "transcribe_run.h"

namespace olvek::testing {
namespace {

std::string timedHelper() { return OLVEK_TIMED_HELPER_PATH; }

std::vector<std::string> readLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string readText(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class TranscribeFormats : public ::testing::Test {
protected:
    TempDir dir;
    std::string launches = dir.file("launches");

    // A second of silence: the stand-in's words do not depend on it.
    std::string clip(const std::string& name = "clip.wav") {
        std::string path = dir.file(name);
        writeSoundFile(path, std::vector<std::int16_t>(16000), 16000, 1, SF_FORMAT_WAV);
        return path;
    }
    TranscribeRun run(std::vector<std::string> arguments, const std::string& config = "") {
        arguments.insert(arguments.begin(), {"--helper", timedHelper()});
        return runTranscribe(arguments, {"OLVEK_TIMED_HELPER=args=" + launches + (config.empty() ? "" : ";" + config)});
    }
};

// A host that does not ask for times launches the helper exactly as before;
// one that needs them adds the flag at the very end, after the token's value.
TEST_F(TranscribeFormats, TheTimingsFlagIsOnTheLaunchLineOnlyWhenTimesAreNeeded) {
    struct Row {
        const char* name;
        std::vector<std::string> arguments;
        bool flag;
    };
    const Row rows[] = {
        {"plain text", {}, false},
        {"--json", {"--json"}, false},
        {"--format text", {"--format", "text"}, false},
        {"--format srt", {"--format", "srt"}, true},
        {"--format vtt", {"--format=vtt"}, true},
        {"--timestamps", {"--timestamps"}, true},
        {"--json --timestamps", {"--json", "--timestamps"}, true},
    };
    const std::string input = clip();
    for (const Row& row : rows) {
        std::filesystem::remove(launches);
        auto arguments = row.arguments;
        arguments.push_back(input);
        auto result = run(arguments);
        ASSERT_EQ(result.code, 0) << row.name << ": " << result.err;
        auto lines = readLines(launches);
        ASSERT_EQ(lines.size(), 1u) << row.name;
        const std::regex plain("en --olvek-socket-port [0-9]+ --olvek-socket-token [0-9a-f]+");
        const std::regex timed("en --olvek-socket-port [0-9]+ --olvek-socket-token [0-9a-f]+ --olvek-timings");
        EXPECT_TRUE(std::regex_match(lines[0], row.flag ? timed : plain)) << row.name << ": " << lines[0];
    }
}

TEST_F(TranscribeFormats, SrtAndWebVttReadBackWithTheHelpersTimes) {
    struct Row {
        const char* format;
        ParsedSubtitles (*parse)(const std::string&);
    };
    for (const Row& row : {Row{"srt", parseSrt}, Row{"vtt", parseVtt}}) {
        auto result = run({"--format", row.format, clip()});
        ASSERT_EQ(result.code, 0) << row.format << ": " << result.err;
        auto parsed = row.parse(result.out);
        ASSERT_EQ(parsed.error, "") << row.format << ":\n" << result.out;
        ASSERT_EQ(parsed.cues.size(), 2u) << row.format;
        EXPECT_EQ(parsed.cues[0].text, "hello world") << row.format;
        EXPECT_DOUBLE_EQ(parsed.cues[0].start, 1.2) << row.format;
        EXPECT_DOUBLE_EQ(parsed.cues[0].end, 2.04) << row.format;
        EXPECT_EQ(parsed.cues[1].text, "second sentence") << row.format;
        EXPECT_DOUBLE_EQ(parsed.cues[1].start, 3.0) << row.format;
        EXPECT_DOUBLE_EQ(parsed.cues[1].end, 4.345) << row.format;
        if (std::string(row.format) == "srt") {
            EXPECT_EQ(parsed.cues[1].number, 2);
        }
    }
}

TEST_F(TranscribeFormats, TimestampsPrefixTextLinesAndJsonCarriesTheTimes) {
    auto text = run({"--timestamps", clip()});
    ASSERT_EQ(text.code, 0) << text.err;
    EXPECT_EQ(text.out, "[00:00:01.200 --> 00:00:02.040] hello world\n[00:00:03.000 --> 00:00:04.345] second sentence\n");

    auto json = run({"--json", "--timestamps", clip()});
    ASSERT_EQ(json.code, 0) << json.err;
    bool sawWords = false;
    for (const auto& line : json.lines()) {
        auto event = nlohmann::json::parse(line);
        if (event["type"] == "final") {
            EXPECT_TRUE(event.contains("start") && event.contains("end")) << line;
            sawWords = sawWords || event.contains("words");
        }
    }
    EXPECT_TRUE(sawWords);
}

// A helper that ignores the flag (an older one) cannot place cues: that is
// said, and subtitles missing sentences are a failed run.
TEST_F(TranscribeFormats, SentencesWithoutTimesAreReportedNotDropped) {
    std::string ignoring = dir.file("ignores-the-flag");
    writeFile(ignoring, "#!/bin/sh\nfor a in \"$@\"; do [ \"$a\" = --olvek-timings ] || set -- \"$@\" \"$a\"; shift; done\n"
                        "exec '" + timedHelper() + "' \"$@\"\n", true);
    auto srt = runTranscribe({"--helper", ignoring, "--format", "srt", clip()});
    EXPECT_EQ(srt.code, host::kExitHelperFailed) << srt.err;
    EXPECT_NE(srt.err.find("the helper sent 2 sentence(s) without their times"), std::string::npos) << srt.err;
    auto text = runTranscribe({"--helper", ignoring, "--timestamps", clip()});
    EXPECT_EQ(text.code, 0) << text.err;
    EXPECT_EQ(text.out, "hello world\nsecond sentence\n");
    EXPECT_NE(text.err.find("they are written without times"), std::string::npos) << text.err;
}

TEST_F(TranscribeFormats, SilenceIsSaidOnStandardError) {
    auto result = run({clip()}, "script=");
    EXPECT_EQ(result.code, 0) << result.err;
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find("olvek-transcribe: heard no speech in " + dir.file("clip.wav")), std::string::npos)
        << result.err;
    auto spoken = run({clip()});
    EXPECT_EQ(spoken.err.find("heard no speech"), std::string::npos) << spoken.err;
}

TEST_F(TranscribeFormats, SeveralInputsEachUnderItsName) {
    std::string a = clip("a.wav"), b = clip("b.flac");
    auto text = run({a, b});
    ASSERT_EQ(text.code, 0) << text.err;
    EXPECT_EQ(text.out, "==> " + a + " <==\nhello world\nsecond sentence\n\n==> " + b +
                            " <==\nhello world\nsecond sentence\n");
    EXPECT_EQ(readLines(launches).size(), 2u) << "one helper run per input";

    auto json = run({"--json", a, b});
    ASSERT_EQ(json.code, 0) << json.err;
    std::map<std::string, int> finals;
    for (const auto& line : json.lines()) {
        auto event = nlohmann::json::parse(line);
        ASSERT_TRUE(event.contains("file")) << line;
        if (event["type"] == "final") ++finals[event["file"]];
    }
    EXPECT_EQ(finals, (std::map<std::string, int>{{a, 2}, {b, 2}}));
}

TEST_F(TranscribeFormats, OutputDirGetsOneFilePerInput) {
    std::string a = clip("a.wav"), b = clip("b.flac"), out = dir.file("subs/new");
    auto result = run({"--format", "srt", "--output-dir", out, a, b});
    ASSERT_EQ(result.code, 0) << result.err;
    EXPECT_EQ(result.out, "");
    for (const char* name : {"a.srt", "b.srt"}) {
        auto parsed = parseSrt(readText(out + "/" + name));
        EXPECT_EQ(parsed.error, "") << name;
        EXPECT_EQ(parsed.cues.size(), 2u) << name;
        EXPECT_NE(result.err.find("wrote " + out + "/" + name), std::string::npos) << result.err;
    }
    auto vtt = run({"--format", "vtt", "--output-dir", out, a});
    ASSERT_EQ(vtt.code, 0) << vtt.err;
    EXPECT_EQ(parseVtt(readText(out + "/a.vtt")).cues.size(), 2u);

    std::filesystem::create_directory(dir.file("other"));
    std::string twin = dir.file("other/a.wav");
    std::filesystem::copy_file(a, twin);
    auto clash = run({"--format", "srt", "--output-dir", out, a, twin});
    EXPECT_EQ(clash.code, host::kExitUsage);
    EXPECT_NE(clash.err.find(a + " and " + twin + " would both be written to " + out + "/a.srt"), std::string::npos)
        << clash.err;
}

// What the helper is asked for, for each way of naming a language.
TEST_F(TranscribeFormats, LanguagesAsPeopleTypeThemReachTheHelper) {
    struct Row {
        const char* typed;
        std::string argument; // the helper's first argument
        std::string lcAll;    // its LC_ALL when it must be set
    };
    const Row rows[] = {
        {"en", "en", ""}, {"en-US", "en", ""}, {"en_US", "en", ""}, {"en-us", "en", ""},
        {"auto", "auto", ""}, {"fr_FR", "auto", "fr_FR.UTF-8"},
    };
    std::string input = clip();
    for (const Row& row : rows) {
        std::filesystem::remove(launches);
        std::string env = dir.file("env");
        std::string recorder = dir.file("recorder");
        writeFile(recorder, "#!/bin/sh\necho \"${LC_ALL-}\" > '" + env + "'\nexec '" + timedHelper() + "' \"$@\"\n", true);
        auto result = runTranscribe({"--helper", recorder, "--lang", row.typed, input},
                                    {"OLVEK_TIMED_HELPER=args=" + launches, "LC_ALL="});
        ASSERT_EQ(result.code, 0) << row.typed << ": " << result.err;
        auto lines = readLines(launches);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].substr(0, lines[0].find(' ')), row.argument) << row.typed;
        EXPECT_EQ(readLines(env), std::vector<std::string>{row.lcAll}) << row.typed;
    }
    auto bad = run({"--lang", "en us", input});
    EXPECT_EQ(bad.code, host::kExitUsage);
    EXPECT_NE(bad.err.find("--lang en us is not a language name"), std::string::npos) << bad.err;
}

// The real helper: a language without a model names the folder looked for
// and what is installed.
TEST(TranscribeLanguages, ALanguageWithoutAModelNamesTheFolderAndTheInstalledOnes) {
    TempDir dir;
    std::string input = dir.file("clip.wav");
    writeSoundFile(input, std::vector<std::int16_t>(1600), 16000, 1, SF_FORMAT_WAV);
    auto result = runTranscribe({"--helper", OLVEK_HELPER_PATH, "--lang", "fr-FR", input});
    EXPECT_EQ(result.code, host::kExitNoRecognizer) << result.err;
    EXPECT_NE(result.err.find("no speech recognizer is available for --lang fr-FR"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("no model folder /usr/share/pocketsphinx/model/fr-fr"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("installed: en-US"), std::string::npos) << result.err;

    auto list = runTranscribe({"--list-languages"});
    EXPECT_EQ(list.code, 0) << list.err;
    EXPECT_EQ(list.out, "en-US\n");
}

} // namespace
} // namespace olvek::testing
