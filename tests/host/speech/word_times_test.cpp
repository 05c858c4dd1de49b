// Where the helper says each final and each word lies, on real speech with
// quiet of known length before and between two LibriVox sentences, from a
// host that sends 0.1 s lines at the pace of speech and from one that sends
// them as fast as the helper takes them.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include <sndfile.h>

#include "../subtitle_reader.h"
#include "fakes/fake_host.h"
#include "recorded_speech.h"

namespace olvek::testing {
namespace {

const std::string kHelper = OLVEK_HELPER_PATH;
// How far a final's start or end may lie from where the speech begins or
// ends, in seconds.
constexpr double kTolerance = 0.3;

struct TimedFinal {
    std::string text;
    double start = 0;
    double end = 0;
    nlohmann::json words;
    std::string line;
};

// A time as the helper writes it: three decimals.
double seconds(const nlohmann::json& value, std::string& bad) {
    const std::string text = value.is_string() ? value.get<std::string>() : "";
    if (!std::regex_match(text, std::regex(R"(\d+\.\d{3})"))) bad += " '" + value.dump() + "'";
    return std::atof(text.c_str());
}

enum class Pace { Realtime, Full };

// The non-empty finals of one run of the helper with --olvek-timings.
std::vector<TimedFinal> run(const Recording& recording, Pace pace, std::string& problems) {
    FakeHost host;
    auto arguments = host.launchArguments("en");
    arguments.push_back("--olvek-timings");
    if (!host.start(kHelper, arguments) || !host.acceptHelper() || !host.waitForType("ready", 30s)) {
        problems += "the helper did not start";
        return {};
    }
    const auto& samples = recording.samples();
    constexpr std::size_t kLine = kRate / 10;
    const auto begin = Clock::now();
    for (std::size_t at = 0, index = 0; at < samples.size(); at += kLine, ++index) {
        if (pace == Pace::Realtime) std::this_thread::sleep_until(begin + index * 100ms);
        const auto end = std::min(samples.size(), at + kLine);
        host.send(audioLine(std::vector<std::int16_t>(samples.begin() + static_cast<std::ptrdiff_t>(at),
                                                      samples.begin() + static_cast<std::ptrdiff_t>(end))));
    }
    host.send("__END__");
    const auto status = host.waitExit(90s); // hang guard only
    if (!status || !status->exited || status->code != 0) problems += "the helper did not end cleanly; ";
    std::vector<TimedFinal> finals;
    for (const auto& line : host.lines()) {
        const auto event = line.json();
        if (!event.is_object() || event.value("type", "") != "final" || event.value("text", "").empty()) continue;
        TimedFinal final;
        final.text = event["text"];
        final.start = seconds(event["start"], problems);
        final.end = seconds(event["end"], problems);
        final.words = event["words"];
        final.line = line.text;
        finals.push_back(final);
    }
    return finals;
}

// Words in order, each inside its final, spelling its text; confidences 0 to 1.
void expectWordsSpellTheirFinal(const TimedFinal& final) {
    ASSERT_TRUE(final.words.is_array()) << final.line;
    std::string spelled;
    double previousEnd = 0;
    std::string bad;
    for (const auto& word : final.words) {
        spelled += (spelled.empty() ? "" : " ") + word["word"].get<std::string>();
        const double start = seconds(word["start"], bad);
        const double end = seconds(word["end"], bad);
        const double confidence = seconds(word["confidence"], bad);
        EXPECT_LE(start, end) << word.dump();
        EXPECT_GE(start, previousEnd - 0.0015) << "words overlap or go back: " << word.dump();
        EXPECT_GE(start, final.start) << word.dump();
        EXPECT_LE(end, final.end) << word.dump();
        EXPECT_LE(confidence, 1.0) << word.dump();
        previousEnd = end;
    }
    EXPECT_EQ(bad, "") << "values that are not times with three decimals";
    EXPECT_EQ(spelled, final.text);
    ASSERT_FALSE(final.words.empty());
    EXPECT_EQ(final.words.front()["start"], final.line.empty() ? "" : nlohmann::json::parse(final.line)["start"]);
    EXPECT_EQ(final.words.back()["end"], nlohmann::json::parse(final.line)["end"]);
}

TEST(WordTimes, FinalsLieWhereTheSpeechIsAtEitherPace) {
    if (!std::ifstream(librivoxClip(kClipPrefix + "0880")).good()) GTEST_SKIP() << "pocketsphinx-testdata is missing";
    // 1.5 s of quiet, a sentence, 2 s of quiet, a sentence, 0.7 s of quiet.
    Recording recording;
    recording.pause(1.5).then(librivox("0880")).then(librivox("0890"), 2.0).pause(0.7);
    const auto& spans = recording.spans();
    ASSERT_EQ(spans.size(), 2u);

    std::vector<TimedFinal> realtime;
    for (const Pace pace : {Pace::Realtime, Pace::Full}) {
        SCOPED_TRACE(pace == Pace::Realtime ? "realtime" : "full");
        std::string problems;
        const auto finals = run(recording, pace, problems);
        EXPECT_EQ(problems, "");
        ASSERT_EQ(finals.size(), 2u) << "one final per sentence: the 2 s pause ends the first";
        for (std::size_t i = 0; i < finals.size(); ++i) {
            SCOPED_TRACE("final " + std::to_string(i + 1));
            std::cout << "sentence " << i + 1 << ": speech " << spans[i].start << " to " << spans[i].end
                      << " s, final " << finals[i].start << " to " << finals[i].end << " s\n";
            EXPECT_NEAR(finals[i].start, spans[i].start, kTolerance) << finals[i].line;
            EXPECT_NEAR(finals[i].end, spans[i].end, kTolerance) << finals[i].line;
            expectWordsSpellTheirFinal(finals[i]);
        }
        if (pace == Pace::Realtime) {
            realtime = finals;
        } else {
            // The same audio gives the same finals at the same places,
            // whatever the host's pace.
            ASSERT_EQ(finals.size(), realtime.size());
            for (std::size_t i = 0; i < finals.size(); ++i) EXPECT_EQ(finals[i].line, realtime[i].line);
        }
    }
}

// Digital silence that the decoder never hears still takes its place in time.
TEST(WordTimes, MutedAudioBeforeSpeechStillCounts) {
    if (!std::ifstream(librivoxClip(kClipPrefix + "0880")).good()) GTEST_SKIP() << "pocketsphinx-testdata is missing";
    Recording recording;
    recording.mute(2.5).then(librivox("0880")).pause(0.7);
    std::string problems;
    const auto finals = run(recording, Pace::Full, problems);
    EXPECT_EQ(problems, "");
    ASSERT_EQ(finals.size(), 1u);
    EXPECT_NEAR(finals[0].start, recording.spans()[0].start, kTolerance) << finals[0].line;
    EXPECT_NEAR(finals[0].end, recording.spans()[0].end, kTolerance) << finals[0].line;
    expectWordsSpellTheirFinal(finals[0]);
}

// olvek-transcribe's subtitles from the real helper, read back: one cue per
// sentence, where the speech is, the same whether the file goes at full
// speed or at the pace of speech.
TEST(WordTimes, SubtitlesFromTheRealHelperLieWhereTheSpeechIsAtEitherPace) {
    if (!std::ifstream(librivoxClip(kClipPrefix + "0880")).good()) GTEST_SKIP() << "pocketsphinx-testdata is missing";
    Recording recording;
    recording.pause(1.5).then(librivox("0880")).then(librivox("0890"), 2.0).pause(0.7);
    TempDir dir;
    const std::string wav = dir.file("two sentences.wav");
    writeSoundFile(wav, recording.samples(), static_cast<int>(kRate), 1, SF_FORMAT_WAV);

    struct Case {
        const char* name;
        std::vector<std::string> options;
        ParsedSubtitles (*parse)(const std::string&);
    };
    const Case cases[] = {
        {"srt, full speed", {"--format", "srt"}, parseSrt},
        {"srt, speech pace", {"--format", "srt", "--realtime"}, parseSrt},
        {"vtt, full speed", {"--format", "vtt"}, parseVtt},
        {"vtt, speech pace", {"--format", "vtt", "--realtime"}, parseVtt},
    };
    std::vector<Cue> first;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto arguments = c.options;
        arguments.insert(arguments.end(), {"--helper", OLVEK_HELPER_PATH, wav});
        const auto run = runTranscribe(arguments);
        ASSERT_EQ(run.code, 0) << run.err;
        const auto parsed = c.parse(run.out);
        EXPECT_EQ(parsed.error, "") << run.out;
        ASSERT_EQ(parsed.cues.size(), 2u) << run.out;
        for (std::size_t i = 0; i < parsed.cues.size(); ++i) {
            EXPECT_NEAR(parsed.cues[i].start, recording.spans()[i].start, kTolerance) << run.out;
            EXPECT_NEAR(parsed.cues[i].end, recording.spans()[i].end, kTolerance) << run.out;
        }
        if (first.empty()) {
            first = parsed.cues;
            continue;
        }
        for (std::size_t i = 0; i < parsed.cues.size(); ++i) {
            EXPECT_EQ(parsed.cues[i].start, first[i].start) << "cue " << i + 1 << " moved with the pace or format";
            EXPECT_EQ(parsed.cues[i].end, first[i].end) << "cue " << i + 1;
            EXPECT_EQ(parsed.cues[i].text, first[i].text) << "cue " << i + 1;
        }
    }
}

} // namespace
} // namespace olvek::testing
