// The real helper, with PocketSphinx, driven by the fake host over loopback
// the way a live host drives it: one 100 ms line every 100 ms.
#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

#include "fakes/fake_host.h"
#include "fakes/quiet_room.h"
#include "host/child_process.h"
#include "speech_test_support.h"

namespace olvek::testing {
namespace {

const std::string kHelper = OLVEK_HELPER_PATH;

struct HelperRun {
    std::vector<ReceivedLine> lines;
    Clock::time_point endSentAt;
    std::optional<host::ExitStatus> status;
    std::string standardOutput;
    std::string standardError;

    std::vector<std::string> types() const {
        std::vector<std::string> out;
        for (const auto& line : lines) out.push_back(line.type());
        return out;
    }
    std::vector<std::string> texts(const std::string& type) const {
        std::vector<std::string> out;
        for (const auto& line : lines) {
            if (line.type() == type) out.push_back(line.json().value("text", std::string("\x01missing")));
        }
        return out;
    }
};

// Streams `samples` in 100 ms lines, paced as live audio, then "__END__".
HelperRun streamToHelper(const std::vector<std::int16_t>& samples, const std::string& language = "en") {
    HelperRun run;
    FakeHost host;
    if (!host.start(kHelper, host.launchArguments(language))) return run;
    if (!host.acceptHelper() || !host.waitForType("ready", 30s)) {
        run.status = host.waitExit();
        run.lines = host.lines();
        return run;
    }
    const auto start = Clock::now();
    std::size_t line = 0;
    for (std::size_t at = 0; at < samples.size(); at += 1600, ++line) {
        const auto end = std::min(samples.size(), at + 1600);
        host.send(audioLine(std::vector<std::int16_t>(samples.begin() + at, samples.begin() + end)));
        std::this_thread::sleep_until(start + (line + 1) * 100ms);
    }
    run.endSentAt = Clock::now();
    host.send("__END__");
    run.status = host.waitExit(30s);
    run.lines = host.lines();
    run.standardOutput = host.standardOutput();
    run.standardError = host.standardError();
    return run;
}

void expectCleanRun(const HelperRun& run) {
    ASSERT_TRUE(run.status.has_value()) << "the helper did not exit";
    EXPECT_TRUE(run.status->exited);
    EXPECT_EQ(run.status->code, 0);
    EXPECT_EQ(run.standardOutput, "");
    EXPECT_EQ(run.standardError, "");
    const auto types = run.types();
    ASSERT_GE(types.size(), 3u);
    EXPECT_EQ(types[0], "hello");
    EXPECT_EQ(types[1], "ready");
    EXPECT_EQ(types.back(), "stopped");
    for (const auto& line : run.lines) {
        if (line.type() == "partial" || line.type() == "final") {
            EXPECT_EQ(line.json().value("language", ""), "en-US") << line.text;
        }
    }
}

std::string join(const std::vector<std::string>& texts) {
    std::string out;
    for (const auto& text : texts) out += (out.empty() ? "" : " ") + text;
    return out;
}

// What pocketsphinx_continuous makes of the clip with its stock settings.
std::optional<std::string> continuousTranscript(const fs::path& clip) {
    auto child = host::ChildProcess::spawn(
        {"/usr/bin/pocketsphinx_continuous", "-infile", clip.string(), "-logfn", "/dev/null"});
    if (!child) return std::nullopt;
    auto status = child->wait(120s);
    if (!status || !status->exited || status->code != 0) return std::nullopt;
    return child->standardOutput();
}

TEST(HelperSpeech, RecordedSpeechIsTranscribedAsWellAsByPocketSphinxItself) {
    const auto references = librivoxReferences();
    ASSERT_EQ(references.size(), 5u);
    std::size_t referenceWords = 0, helperErrors = 0, continuousErrors = 0;
    for (const auto& [id, reference] : references) {
        SCOPED_TRACE(id);
        const auto clip = kLibrivox / (id + ".wav");
        auto samples = readWav(clip);
        ASSERT_TRUE(samples);

        const HelperRun run = streamToHelper(*samples);
        expectCleanRun(run);
        const auto types = run.types();
        const auto firstFinal = std::find(types.begin(), types.end(), "final");
        ASSERT_NE(firstFinal, types.end());
        EXPECT_NE(std::find(types.begin(), firstFinal, "partial"), firstFinal) << "no partial before the final";

        auto continuous = continuousTranscript(clip);
        ASSERT_TRUE(continuous) << "pocketsphinx_continuous failed";

        const auto expected = words(reference);
        const auto helperWords = words(join(run.texts("final")));
        const auto continuousWords = words(*continuous);
        referenceWords += expected.size();
        helperErrors += wordErrors(expected, helperWords);
        continuousErrors += wordErrors(expected, continuousWords);
        std::cout << id << "\n  helper:     " << join(run.texts("final")) << "\n  continuous: " << *continuous;
    }
    const double helperRate = 100.0 * static_cast<double>(helperErrors) / static_cast<double>(referenceWords);
    const double continuousRate = 100.0 * static_cast<double>(continuousErrors) / static_cast<double>(referenceWords);
    std::cout << "word error rate: helper " << helperRate << "%, pocketsphinx_continuous " << continuousRate << "% over "
              << referenceWords << " words\n";
    EXPECT_LE(helperRate, continuousRate + 2.0);
    // Guards the comparison itself: both must have recognized something.
    EXPECT_LT(continuousRate, 60.0);
}

TEST(HelperSpeech, TwoUtterancesApartGiveTwoFinals) {
    auto first = readWav(kLibrivox / "sense_and_sensibility_01_austen_64kb-0880.wav");
    auto second = readWav(kLibrivox / "sense_and_sensibility_01_austen_64kb-0930.wav");
    ASSERT_TRUE(first && second);
    std::vector<std::int16_t> samples = *first;
    samples.insert(samples.end(), 24000, 0); // 1.5 s of digital silence
    samples.insert(samples.end(), second->begin(), second->end());

    const HelperRun run = streamToHelper(samples);
    expectCleanRun(run);
    const auto finals = run.texts("final");
    ASSERT_EQ(finals.size(), 2u) << join(finals);
    EXPECT_NE(finals[0], "");
    EXPECT_NE(finals[1], "");
    // The first final came while audio still flowed, not at the end.
    for (const auto& line : run.lines) {
        if (line.type() == "final") {
            EXPECT_LT(line.at, run.endSentAt);
            break;
        }
    }
}

// A gated or muted microphone: +-1, as its converter's last bit flickers.
std::vector<std::int16_t> digitalSilence(double seconds) {
    std::vector<std::int16_t> out(static_cast<std::size_t>(seconds * 16000));
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = (i * 7919) % 3 != 0 ? 1 : -1;
    return out;
}

struct SilenceCase {
    const char* name;
    double leadingSeconds;
    double trailingSeconds;
};

class DigitalSilenceAround : public ::testing::TestWithParam<SilenceCase> {};

// The same words with or without digital silence around the speech (one
// second of it before this sentence once made it "you push up by"). Every
// run ends in a second of a quiet room, so that its final comes at the pause:
// there the utterance's second pass always runs, while at the end of audio
// it runs only when it fits the time left, which depends on the machine's
// load. Paced as live audio, for the same reason.
TEST_P(DigitalSilenceAround, GivesTheSameWords) {
    const SilenceCase& c = GetParam();
    const auto clip = readWav(kLibrivox / "sense_and_sensibility_01_austen_64kb-0880.wav");
    ASSERT_TRUE(clip);
    const auto quiet = quietRoom(1);
    static const std::vector<std::string> bare = [&] {
        std::vector<std::int16_t> samples = *clip;
        samples.insert(samples.end(), quiet.begin(), quiet.end());
        const HelperRun run = streamToHelper(samples);
        return words(join(run.texts("final")));
    }();
    // Guards the comparison: the bare sentence is recognized at all.
    ASSERT_LE(wordErrors(words("he was not an ill disposed young man"), bare), 4u) << ::testing::PrintToString(bare);

    std::vector<std::int16_t> samples = digitalSilence(c.leadingSeconds);
    samples.insert(samples.end(), clip->begin(), clip->end());
    const auto trailing = digitalSilence(c.trailingSeconds);
    samples.insert(samples.end(), trailing.begin(), trailing.end());
    samples.insert(samples.end(), quiet.begin(), quiet.end());
    const HelperRun run = streamToHelper(samples);
    expectCleanRun(run);
    EXPECT_EQ(words(join(run.texts("final"))), bare) << join(run.texts("final"));
}

INSTANTIATE_TEST_SUITE_P(Lengths, DigitalSilenceAround,
                         ::testing::Values(SilenceCase{"None", 0, 0},                   //
                                           SilenceCase{"LeadingTenth", 0.1, 0},         //
                                           SilenceCase{"LeadingHalf", 0.5, 0},          //
                                           SilenceCase{"LeadingOne", 1, 0},             //
                                           SilenceCase{"LeadingOddLength", 1.234, 0},   //
                                           SilenceCase{"LeadingThree", 3, 0},           //
                                           SilenceCase{"TrailingOne", 0, 1},            //
                                           SilenceCase{"TrailingThree", 0, 3},          //
                                           SilenceCase{"BothThree", 3, 3}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(HelperSpeech, SilenceGivesOneEmptyFinalAtTheEndAndNothingBefore) {
    const HelperRun run = streamToHelper(std::vector<std::int16_t>(3 * 16000, 0));
    expectCleanRun(run);
    EXPECT_EQ(run.types(), (std::vector<std::string>{"hello", "ready", "final", "stopped"}));
    EXPECT_EQ(run.texts("final"), std::vector<std::string>{""});
    for (const auto& line : run.lines) {
        if (line.type() == "final") {
            EXPECT_GE(line.at, run.endSentAt);
        }
    }
}

TEST(HelperSpeech, TheDefaultLanguageWithoutItsModelEndsWithStatusTwo) {
    if (fs::exists(kStockModelRoot / "zh-cn")) GTEST_SKIP() << "a zh-cn model is installed here";
    FakeHost host;
    ASSERT_TRUE(host.start(kHelper, host.launchArguments("")));
    ASSERT_TRUE(host.acceptHelper());
    auto status = host.waitExit(30s);
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->exited);
    EXPECT_EQ(status->code, 2);
    const auto lines = host.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].type(), "hello");
    EXPECT_EQ(lines[1].text, R"({"type":"error","message":"SFSpeechRecognizer unavailable for locale zh-CN"})");
    EXPECT_EQ(host.standardOutput(), "");
    EXPECT_EQ(host.standardError(), "");
}

// "auto" takes the user's locale, in whatever spelling the environment has.
TEST(HelperSpeech, TheUsersLocaleFindsItsModelInAnySpelling) {
    if (std::getenv("LC_ALL") != nullptr) GTEST_SKIP() << "LC_ALL is set here and would win over the case's";
    struct Case {
        std::string lcAll;
        std::string localeId;
        bool found;
    } cases[] = {
        {"en_US.UTF-8", "en_US", true},
        {"C", "en_US_POSIX", true},
        {"fr_FR.UTF-8", "fr_FR", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lcAll);
        FakeHost host;
        ASSERT_TRUE(host.start(kHelper, host.launchArguments("auto"), {"LC_ALL=" + c.lcAll}));
        ASSERT_TRUE(host.acceptHelper());
        if (c.found) {
            auto ready = host.waitForType("ready", 30s);
            ASSERT_TRUE(ready);
            EXPECT_EQ(ready->json().value("locale", ""), c.localeId);
            host.send("__END__");
        }
        auto status = host.waitExit(30s);
        ASSERT_TRUE(status);
        EXPECT_EQ(status->code, c.found ? 0 : 2);
        if (!c.found) {
            ASSERT_EQ(host.lines().size(), 2u);
            EXPECT_EQ(host.lines()[1].json().value("message", ""),
                      "SFSpeechRecognizer unavailable for locale " + c.localeId);
        }
        EXPECT_EQ(host.standardError(), "");
    }
}

} // namespace
} // namespace olvek::testing
