// The formats olvek-transcribe writes, from the helper's events: subtitles
// are read back by a small reader rather than compared byte for byte.
#include <gtest/gtest.h>

#include <cmath>

#include <nlohmann/json.hpp>

#include "host/transcript_format.h"
#include "subtitle_reader.h"

namespace olvek::host {
namespace {

using testing::parseSrt;
using testing::parseVtt;

// A timed event as the helper sends it with "--olvek-timings".
std::string timed(const std::string& type, const std::string& text, const std::string& start, const std::string& end,
                  const nlohmann::json& words = nullptr) {
    nlohmann::json event{{"type", type}, {"text", text}, {"language", "en-US"}, {"start", start}, {"end", end}};
    if (!words.is_null()) event["words"] = words;
    return event.dump();
}

nlohmann::json wordsOf(const std::vector<std::tuple<std::string, std::string, std::string>>& words) {
    nlohmann::json list = nlohmann::json::array();
    for (const auto& [word, start, end] : words) {
        list.push_back({{"word", word}, {"start", start}, {"end", end}, {"confidence", "0.900"}});
    }
    return list;
}

std::string render(OutputFormat format, bool timestamps, const std::vector<std::string>& events,
                   const std::string& label = {}) {
    TranscriptFormatter formatter(format, timestamps, label);
    std::string out = formatter.begin();
    for (const auto& event : events) out += formatter.onEvent(event);
    return out + formatter.finish();
}

const std::vector<std::string> kTimedRun{
    R"({"type":"hello","token":"secret"})",
    R"({"type":"ready","locale":"en-US"})",
    timed("partial", "hello", "1.200", "1.500"),
    timed("final", "hello world", "1.200", "2.040", wordsOf({{"hello", "1.200", "1.500"}, {"world", "1.550", "2.040"}})),
    R"({"type":"final","text":"","language":"en-US"})",
    timed("partial", "second", "3661.000", "3661.400"),
    timed("final", "second sentence", "3661.000", "3662.345",
          wordsOf({{"second", "3661.000", "3661.400"}, {"sentence", "3661.500", "3662.345"}})),
    R"({"type":"stopped"})",
};

TEST(FormatClock, HoursMinutesSecondsAndMilliseconds) {
    struct Row {
        double seconds;
        std::string srt, vtt;
    };
    const Row rows[] = {
        {0, "00:00:00,000", "00:00:00.000"},
        {1.2344, "00:00:01,234", "00:00:01.234"},
        {1.2346, "00:00:01,235", "00:00:01.235"},
        {59.9996, "00:01:00,000", "00:01:00.000"},
        {3661.5, "01:01:01,500", "01:01:01.500"},
        {360000.25, "100:00:00,250", "100:00:00.250"},
        {-3, "00:00:00,000", "00:00:00.000"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(formatClock(row.seconds, ','), row.srt) << row.seconds;
        EXPECT_EQ(formatClock(row.seconds, '.'), row.vtt) << row.seconds;
    }
}

TEST(ParseSeconds, TakesPlainDecimalsOnly) {
    struct Row {
        const char* text;
        std::optional<double> value;
    };
    const Row rows[] = {{"12.340", 12.34}, {"0.000", 0.0}, {"7", 7.0},         {"", std::nullopt},
                        {"-1.000", std::nullopt}, {"1e3", std::nullopt}, {" 1.0", std::nullopt}, {"1.", std::nullopt},
                        {".5", std::nullopt},  {"1.2.3", std::nullopt},   {"inf", std::nullopt}, {"1.0s", std::nullopt}};
    for (const Row& row : rows) EXPECT_EQ(parseSeconds(row.text), row.value) << '"' << row.text << '"';
}

TEST(TranscriptFormatter, SrtCuesAreNumberedFromOneAndCarryTheHelpersTimes) {
    auto parsed = parseSrt(render(OutputFormat::Srt, false, kTimedRun));
    ASSERT_EQ(parsed.error, "");
    ASSERT_EQ(parsed.cues.size(), 2u);
    EXPECT_EQ(parsed.cues[0].number, 1);
    EXPECT_EQ(parsed.cues[0].text, "hello world");
    EXPECT_DOUBLE_EQ(parsed.cues[0].start, 1.2);
    EXPECT_DOUBLE_EQ(parsed.cues[0].end, 2.04);
    EXPECT_EQ(parsed.cues[1].number, 2);
    EXPECT_EQ(parsed.cues[1].text, "second sentence");
    EXPECT_DOUBLE_EQ(parsed.cues[1].start, 3661.0);
    EXPECT_DOUBLE_EQ(parsed.cues[1].end, 3662.345);
}

TEST(TranscriptFormatter, WebVttStartsWithItsHeaderAndEscapesMarkup) {
    auto events = kTimedRun;
    events.insert(events.end() - 1, timed("final", "fish & chips <b>", "5.000", "6.000"));
    std::string text = render(OutputFormat::Vtt, false, events);
    EXPECT_EQ(text.rfind("WEBVTT\n\n", 0), 0u) << text;
    auto parsed = parseVtt(text);
    ASSERT_EQ(parsed.error, "") << text;
    ASSERT_EQ(parsed.cues.size(), 3u);
    EXPECT_EQ(parsed.cues[0].text, "hello world");
    EXPECT_DOUBLE_EQ(parsed.cues[0].start, 1.2);
    EXPECT_DOUBLE_EQ(parsed.cues[1].end, 3662.345);
    EXPECT_EQ(parsed.cues[2].text, "fish &amp; chips &lt;b&gt;");
    EXPECT_EQ(render(OutputFormat::Vtt, false, {}), "WEBVTT\n\n") << "no speech: a valid empty file";
    EXPECT_EQ(parseVtt("WEBVTT\n\n").error, "");
}

TEST(TranscriptFormatter, TextLinesWithAndWithoutTimestamps) {
    EXPECT_EQ(render(OutputFormat::Text, false, kTimedRun), "hello world\nsecond sentence\n");
    EXPECT_EQ(render(OutputFormat::Text, true, kTimedRun),
              "[00:00:01.200 --> 00:00:02.040] hello world\n[01:01:01.000 --> 01:01:02.345] second sentence\n");
}

// A long sentence becomes several cues, split between words at their own
// times, so that each fits on two caption lines; no word is lost or moved.
TEST(TranscriptFormatter, ALongFinalIsSplitIntoCuesAtWordTimes) {
    std::vector<std::tuple<std::string, std::string, std::string>> words;
    std::string text;
    for (int i = 0; i < 40; ++i) {
        std::string word = "word" + std::to_string(i);
        char start[16], end[16];
        std::snprintf(start, sizeof start, "%.3f", 10 + i * 0.5);
        std::snprintf(end, sizeof end, "%.3f", 10 + i * 0.5 + 0.4);
        words.emplace_back(word, start, end);
        text += (text.empty() ? "" : " ") + word;
    }
    auto parsed = parseSrt(render(OutputFormat::Srt, false, {timed("final", text, "10.000", "29.900", wordsOf(words))}));
    ASSERT_EQ(parsed.error, "");
    ASSERT_GT(parsed.cues.size(), 1u);
    std::string rejoined;
    double lastEnd = 0;
    for (const auto& cue : parsed.cues) {
        EXPECT_LE(cue.text.size(), kMaxCueCharacters) << cue.text;
        EXPECT_GE(cue.start, lastEnd) << "cues in order, never overlapping";
        lastEnd = cue.end;
        rejoined += (rejoined.empty() ? "" : " ") + cue.text;
    }
    EXPECT_EQ(rejoined, text);
    EXPECT_DOUBLE_EQ(parsed.cues.front().start, 10.0);
    EXPECT_DOUBLE_EQ(parsed.cues.back().end, 29.9);

    // Without the words' times the sentence stays one cue.
    auto whole = parseSrt(render(OutputFormat::Srt, false, {timed("final", text, "10.000", "29.900")}));
    ASSERT_EQ(whole.cues.size(), 1u);
    EXPECT_EQ(whole.cues[0].text, text);
}

TEST(TranscriptFormatter, FinalsWithoutTimesAreCountedNotGuessed) {
    TranscriptFormatter srt(OutputFormat::Srt, false);
    EXPECT_EQ(srt.onEvent(R"({"type":"final","text":"no times here","language":"en-US"})"), "");
    EXPECT_EQ(srt.onEvent(timed("final", "bad time", "1,5", "2.000")), "");
    EXPECT_EQ(srt.untimedFinals(), 2);

    TranscriptFormatter text(OutputFormat::Text, true);
    EXPECT_EQ(text.onEvent(R"({"type":"final","text":"no times here","language":"en-US"})"), "no times here\n");
    EXPECT_EQ(text.untimedFinals(), 1);
}

TEST(TranscriptFormatter, APartialLeftAtTheEndBecomesTheLastCue) {
    auto parsed = parseSrt(render(OutputFormat::Srt, false,
                                  {kTimedRun[1], kTimedRun[3], timed("partial", "the rest", "4.000", "4.800")}));
    ASSERT_EQ(parsed.error, "");
    ASSERT_EQ(parsed.cues.size(), 2u);
    EXPECT_EQ(parsed.cues[1].text, "the rest");
    EXPECT_DOUBLE_EQ(parsed.cues[1].start, 4.0);
}

TEST(TranscriptFormatter, JsonLinesKeepTheirBytesLoseTheTokenAndMayNameTheirFile) {
    std::string plain = render(OutputFormat::Json, false, kTimedRun);
    std::string expected = "{\"type\":\"hello\"}\n";
    for (std::size_t i = 1; i < kTimedRun.size(); ++i) expected += kTimedRun[i] + "\n";
    EXPECT_EQ(plain, expected);

    std::string labelled = render(OutputFormat::Json, false, {kTimedRun[0], kTimedRun[3]}, "a \"b\".wav");
    EXPECT_EQ(labelled, "{\"file\":\"a \\\"b\\\".wav\",\"type\":\"hello\"}\n{\"file\":\"a \\\"b\\\".wav\"," +
                            kTimedRun[3].substr(1) + "\n");
}

TEST(SubtitleReader, RejectsWhatTheFormatsForbid) {
    struct Row {
        const char* name;
        bool srt;
        std::string text;
    };
    const Row rows[] = {
        {"numbered from 0", true, "0\n00:00:01,000 --> 00:00:02,000\nhi\n\n"},
        {"a point in SubRip", true, "1\n00:00:01.000 --> 00:00:02.000\nhi\n\n"},
        {"no blank line at the end", true, "1\n00:00:01,000 --> 00:00:02,000\nhi\n"},
        {"ends before it starts", true, "1\n00:00:03,000 --> 00:00:02,000\nhi\n\n"},
        {"no header", false, "00:00:01.000 --> 00:00:02.000\nhi\n\n"},
        {"a comma in WebVTT", false, "WEBVTT\n\n00:00:01,000 --> 00:00:02,000\nhi\n\n"},
    };
    for (const Row& row : rows) {
        auto parsed = row.srt ? parseSrt(row.text) : parseVtt(row.text);
        EXPECT_NE(parsed.error, "") << row.name;
    }
}

} // namespace
} // namespace olvek::host
