// The engine over a scripted decoder (scripted_decoder.h): first driven the
// way the helper drives it, through the continuous recognizer with a run-loop
// turn after every line; then task by task, for what a single task promises.
#include "recognition/pocketsphinx/recognition_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>

#include <future>

#include "fakes/memory_streams.h"
#include "hostlink/line_transport.h"
#include "lifecycle/main_driver.h"
#include "platform/utf8.h"
#include "recognition/continuous_speech_recognizer.h"
#include "recognition/pocketsphinx/digital_silence.h"
#include "recognition/pocketsphinx/pocketsphinx_platform.h"
#include "scripted_decoder.h"
#include "speech_test_support.h"

namespace olvek::pocketsphinx {
namespace {

using namespace std::chrono_literals;
using testing::concat;
using testing::DecoderControl;
using testing::gatedLoader;
using testing::LoaderControl;
using testing::pcmBuffer;
using testing::ScriptedDecoder;
using testing::segment;

double secondsSince(RunLoop::Clock::time_point start) {
    return std::chrono::duration<double>(RunLoop::Clock::now() - start).count();
}

std::string joinWords(const std::vector<std::string>& texts) {
    std::string out;
    for (const auto& text : texts) out = joinText(out, text);
    return out;
}

// ---------------------------------------------------------------------------
// As the helper drives it.

enum class Pace {
    // Every line as soon as `append` returns: a file streamed at full speed.
    FullSpeed,
    // Each line only once the decoder has processed everything before it: a
    // microphone, whose lines come slower than they are decoded.
    IdleEngine,
};

class HelperDrivenEngine : public ::testing::Test {
protected:
    void SetUp() override {
        output = std::make_shared<testing::MemoryOutputStream>();
        socketOutputStream = output;
    }
    void TearDown() override { socketOutputStream.reset(); }

    // `timings`: the events carry where their words lie.
    void makeRecognizer(EngineOptions options = {}, bool timings = false) {
        recognizer = ContinuousSpeechRecognizer::create(
            makeEngineRecognizer(std::make_unique<ScriptedDecoder>(control), loop, options), "en-US", loop, timings);
    }
    // The decoder behind the gate that drops digital silence before speech,
    // as the PocketSphinx platform has it.
    void makeGatedRecognizer() {
        recognizer = ContinuousSpeechRecognizer::create(
            makeEngineRecognizer(std::make_unique<DigitalSilenceGate>(std::make_unique<ScriptedDecoder>(control)),
                                 loop, EngineOptions{}),
            "en-US", loop);
    }

    // The helper's audio loop and shut-down: each line appended, then a
    // run-loop turn; at the end of the audio `finish` with the helper's limit.
    // Answers how long the lines took to go in, in seconds.
    double stream(const std::vector<std::int16_t>& audio, std::size_t lineSamples, Pace pace) {
        const auto start = RunLoop::Clock::now();
        for (std::size_t at = 0; at < audio.size(); at += lineSamples) {
            if (pace == Pace::IdleEngine) {
                EXPECT_TRUE(control->waitProcessed(at)) << "hang guard";
            }
            recognizer->append(pcmBuffer(audio.data() + at, std::min(lineSamples, audio.size() - at)));
            loop.runFor(kAppendTurnSeconds);
        }
        const double streaming = secondsSince(start);
        recognizer->finish(kFinishTimeoutSeconds);
        return streaming;
    }

    std::vector<nlohmann::json> events(const std::string& type) const {
        std::vector<nlohmann::json> out;
        for (const auto& line : output->lines()) {
            auto event = nlohmann::json::parse(line);
            if (event["type"] == type) out.push_back(event);
        }
        return out;
    }
    std::vector<std::string> finalTexts() const {
        std::vector<std::string> out;
        for (const auto& event : events("final")) out.push_back(event["text"]);
        return out;
    }
    std::vector<std::string> nonEmptyFinals() const {
        std::vector<std::string> out;
        for (const auto& text : finalTexts()) {
            if (!text.empty()) out.push_back(text);
        }
        return out;
    }

    RunLoop loop;
    std::shared_ptr<DecoderControl> control = std::make_shared<DecoderControl>();
    std::shared_ptr<testing::MemoryOutputStream> output;
    std::shared_ptr<ContinuousSpeechRecognizer> recognizer;
};

struct StreamCase {
    const char* name;
    std::size_t lineMilliseconds;
    Pace pace;
    bool pauseAtTheEnd; // false: the audio ends mid-word, "__END__" right after
};

std::string nameOf(const StreamCase& c) { return c.name; }

class NoWordLost : public HelperDrivenEngine, public ::testing::WithParamInterface<StreamCase> {};

// Three words 1 s apart: every word arrives, each pause gives its final.
TEST_P(NoWordLost, AndEveryPauseGivesAFinal) {
    const StreamCase& c = GetParam();
    makeRecognizer();
    auto audio = concat({segment(1, 300), segment(0, 1000), segment(2, 300), segment(0, 1000), segment(4, 300)});
    if (c.pauseAtTheEnd) audio = concat({audio, segment(0, 300)});
    stream(audio, c.lineMilliseconds * 16, c.pace);

    EXPECT_EQ(nonEmptyFinals(), (std::vector<std::string>{"one", "two", "four"}));
    EXPECT_TRUE(events("error").empty());
}

INSTANTIATE_TEST_SUITE_P(
    HostPaces, NoWordLost,
    ::testing::Values(StreamCase{"Lines20msFullSpeed", 20, Pace::FullSpeed, true},
                      StreamCase{"Lines100msFullSpeed", 100, Pace::FullSpeed, true},
                      StreamCase{"Lines1sFullSpeed", 1000, Pace::FullSpeed, true},
                      StreamCase{"Lines20msIdleEngine", 20, Pace::IdleEngine, true},
                      StreamCase{"Lines100msIdleEngine", 100, Pace::IdleEngine, true},
                      StreamCase{"Lines1sIdleEngine", 1000, Pace::IdleEngine, true},
                      StreamCase{"EndMidWordFullSpeed", 100, Pace::FullSpeed, false},
                      StreamCase{"EndMidWordIdleEngine", 100, Pace::IdleEngine, false}),
    [](const auto& info) { return nameOf(info.param); });

// The model loads on the engine thread after the recognizer is made, and
// slowly here (a second, longer than the first pause): a host that
// streams at once, as one that sends a file right after "hello" does, is held
// back meanwhile and loses no word.
class NoWordLostWhileTheModelLoads : public HelperDrivenEngine, public ::testing::WithParamInterface<StreamCase> {};

TEST_P(NoWordLostWhileTheModelLoads, AndEveryPauseGivesAFinal) {
    const StreamCase& c = GetParam();
    auto loader = std::make_shared<LoaderControl>();
    recognizer = ContinuousSpeechRecognizer::create(makeEngineRecognizer(gatedLoader(loader, control), loop),
                                                    "en-US", loop);
    auto opener = std::async(std::launch::async, [&] {
        if (loader->waitLoading()) std::this_thread::sleep_for(1s);
        loader->open();
    });
    auto audio = concat({segment(1, 300), segment(0, 1000), segment(2, 300), segment(0, 1000), segment(4, 300)});
    if (c.pauseAtTheEnd) audio = concat({audio, segment(0, 300)});
    stream(audio, c.lineMilliseconds * 16, c.pace);
    opener.wait();

    EXPECT_EQ(loader->calls.load(), 1);
    EXPECT_EQ(nonEmptyFinals(), (std::vector<std::string>{"one", "two", "four"}));
    EXPECT_TRUE(events("error").empty());
}

INSTANTIATE_TEST_SUITE_P(HostPaces, NoWordLostWhileTheModelLoads,
                         ::testing::Values(StreamCase{"Lines20msFullSpeed", 20, Pace::FullSpeed, true},
                                           StreamCase{"Lines100msFullSpeed", 100, Pace::FullSpeed, true},
                                           StreamCase{"Lines1sFullSpeed", 1000, Pace::FullSpeed, true},
                                           StreamCase{"EndMidWordFullSpeed", 100, Pace::FullSpeed, false},
                                           StreamCase{"Lines100msIdleEngine", 100, Pace::IdleEngine, true}),
                         [](const auto& info) { return nameOf(info.param); });

// The same audio gives the same finals whatever the host's pace: a pause
// of two lines (the decoder's pause is found in the first, the final falls
// at the end of the second) splits at full speed as it does at speech pace.
TEST_F(HelperDrivenEngine, AShortPauseSplitsAtFullSpeedAsAtSpeechPace) {
    const auto audio = concat({segment(1, 300), segment(0, 200), segment(2, 300), segment(0, 300)});
    for (Pace pace : {Pace::IdleEngine, Pace::FullSpeed}) {
        SCOPED_TRACE(pace == Pace::FullSpeed ? "full speed" : "idle engine");
        output->written.clear();
        control = std::make_shared<DecoderControl>();
        // Slower than the host's turn between lines, as the real decoder is:
        // at full speed the next line is queued while one is decoded.
        control->slowdown = 0.3;
        makeRecognizer();
        stream(audio, 1600, pace);
        EXPECT_EQ(nonEmptyFinals(), (std::vector<std::string>{"one", "two"}));
    }
}

TEST_F(HelperDrivenEngine, LinesLongerThanThePausesLoseNoWord) {
    makeRecognizer();
    // 10 s lines: pauses fall inside lines, so finals may join sentences,
    // but every word arrives.
    std::vector<std::int16_t> audio;
    for (int word : {1, 2, 4, 5, 6}) audio = concat({audio, segment(word, 400), segment(0, 1000)});
    audio = concat({audio, segment(1, 400)});
    stream(audio, 10 * 16000, Pace::FullSpeed);
    EXPECT_EQ(joinWords(finalTexts()), "one two four five six one");
}

TEST_F(HelperDrivenEngine, ASlowDecoderHoldsTheHostBackAndTheEndIsDecodedWhole) {
    makeRecognizer();
    control->slowdown = 4; // four times slower than real time
    const auto audio = concat({segment(1, 200), segment(0, 600), segment(2, 200), segment(0, 200)});
    const double decodingSeconds = 4 * static_cast<double>(audio.size()) / 16000;

    const double streaming = stream(audio, 1600, Pace::FullSpeed);

    EXPECT_EQ(nonEmptyFinals(), (std::vector<std::string>{"one", "two"}));
    // At most half a second of decoding may wait behind the host, and the
    // chunk being decoded: the rest of the decoding time the host was held.
    EXPECT_GE(streaming, decodingSeconds - 0.5 - 4 * 0.1 - 0.2) << "the host ran ahead of the decoder";
}

// Seconds of digital silence that the gate drops take the decoder no time;
// the speech after them still holds the host back to a slow decoder's pace,
// and every word and pause comes through. Words 4 to 6: the gate would drop
// the scripted 1 and 2.
TEST_F(HelperDrivenEngine, LongDigitalSilenceBeforeSpeechLetsNoHostRunAheadOfASlowDecoder) {
    makeGatedRecognizer();
    control->slowdown = 4; // four times slower than real time
    const auto speech = concat({segment(4, 300), segment(0, 300), segment(5, 300), segment(0, 300), segment(6, 300)});
    const auto audio = concat({segment(0, 20000), speech});
    const double speechDecodingSeconds = 4 * static_cast<double>(speech.size()) / 16000;

    const double streaming = stream(audio, 1600, Pace::FullSpeed);

    EXPECT_EQ(joinWords(finalTexts()), "four five six");
    // The leading silence went to nobody: the decoder heard the speech, and
    // of each pause in it the first chunk, which ends the speech.
    EXPECT_EQ(control->processed(), speech.size() - 2 * 200 * 16);
    // The host was held back while the speech was decoded.
    EXPECT_GE(streaming, speechDecodingSeconds - 0.5 - 4 * 0.1 - 0.2) << "the host ran ahead of the decoder";
}

struct SecondPassCase {
    const char* name;
    bool decoderHasSecondPass;
    double settledAfterSeconds;
    std::vector<std::string> finals;
};

class SecondPassFinals : public HelperDrivenEngine, public ::testing::WithParamInterface<SecondPassCase> {};

// Two sentences apart. The second pass (capitals, in the scripted decoder)
// gives the finals of the utterances that end before the decoder has heard
// `settledAfterSeconds`, and changes nothing else: the other finals are the
// live pass's, and no word is lost or added, at either pace.
TEST_P(SecondPassFinals, DifferFromTheLiveTextOnlyByThePassesDecision) {
    const SecondPassCase& c = GetParam();
    const auto audio = concat({segment(1, 300), segment(4, 300), segment(0, 1000), segment(2, 300), segment(0, 1000),
                               segment(5, 300), segment(0, 300)});
    for (Pace pace : {Pace::IdleEngine, Pace::FullSpeed}) {
        SCOPED_TRACE(pace == Pace::FullSpeed ? "full speed" : "idle engine");
        output->written.clear();
        control = std::make_shared<DecoderControl>();
        control->secondPass = c.decoderHasSecondPass;
        control->slowdown = 0.3;
        EngineOptions options;
        options.secondPass.settledAfterSamples = static_cast<std::size_t>(c.settledAfterSeconds * 16000);
        makeRecognizer(options, true);
        stream(audio, 1600, pace);
        EXPECT_EQ(nonEmptyFinals(), c.finals);
        // A second pass's words lie where the live pass placed them, though
        // its frames count from its first word.
        const std::map<std::string, double> starts{{"one", 0.0}, {"four", 0.3}, {"two", 1.6}, {"five", 2.9}};
        for (const auto& final : events("final")) {
            if (final["text"] == "") continue;
            std::string spelled;
            for (const auto& word : final["words"]) {
                std::string text = word["word"];
                spelled += (spelled.empty() ? "" : " ") + text;
                std::transform(text.begin(), text.end(), text.begin(), [](unsigned char ch) { return std::tolower(ch); });
                ASSERT_TRUE(starts.count(text)) << final.dump();
                EXPECT_NEAR(std::stod(word["start"].get<std::string>()), starts.at(text), 0.011) << final.dump();
                EXPECT_NEAR(std::stod(word["end"].get<std::string>()), starts.at(text) + 0.3, 0.011) << final.dump();
            }
            EXPECT_EQ(spelled, final["text"]);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SecondPassFinals,
    ::testing::Values(
        SecondPassCase{"FirstUtteranceOnly", true, 0.5, {"ONE FOUR", "two", "five"}},
        // The decoder heard 0.7 s before the second utterance ("one four"
        // and the pause's first chunk), 2 s before the third.
        SecondPassCase{"TwoUtterances", true, 2.0, {"ONE FOUR", "TWO", "five"}},
        SecondPassCase{"Off", true, 0, {"one four", "two", "five"}},
        SecondPassCase{"DecoderWithoutASecondPass", false, 8, {"one four", "two", "five"}}),
    [](const auto& info) { return std::string(info.param.name); });

// At the end of audio the second pass runs only where it fits in the time
// left for the final; otherwise the live pass's words are the final.
TEST_F(HelperDrivenEngine, TheLastFinalSkipsASecondPassThatWouldNotFit) {
    for (const double slowdown : {0.1, 3.0}) {
        SCOPED_TRACE(slowdown);
        output->written.clear();
        control = std::make_shared<DecoderControl>();
        control->secondPass = true;
        control->slowdown = slowdown;
        makeRecognizer();
        // Ends mid-word: the final closes the utterance after "__END__".
        stream(concat({segment(1, 300), segment(2, 300)}), 1600, Pace::FullSpeed);
        const bool fits = slowdown < 1;
        EXPECT_EQ(finalTexts(), (std::vector<std::string>{fits ? "ONE TWO" : "one two"}));
        EXPECT_EQ(control->secondPasses.load(), fits ? 1 : 0);
    }
}

TEST_F(HelperDrivenEngine, TheQuietUtteranceAfterAPauseRunsOnIntoTheNextTask) {
    makeRecognizer();
    stream(concat({segment(1, 300), segment(0, 1000), segment(2, 300), segment(0, 1000)}), 1600, Pace::FullSpeed);
    EXPECT_EQ(nonEmptyFinals(), (std::vector<std::string>{"one", "two"}));
    // "one", the quiet stretch that became "two", and the quiet one after:
    // the task boundaries opened none of their own.
    EXPECT_EQ(control->started.load(), 3);
}

TEST_F(HelperDrivenEngine, SpeechWithoutAPauseIsCutAtTheBoundBetweenLines) {
    EngineOptions options;
    options.policy.maxUtteranceSamples = 8000; // 0.5 s
    makeRecognizer(options);
    stream(concat({segment(1, 2000), segment(0, 300)}), 1600, Pace::FullSpeed);
    const auto finals = nonEmptyFinals();
    ASSERT_GE(finals.size(), 3u) << joinWords(finals);
    for (const auto& text : finals) EXPECT_EQ(text, "one");
    EXPECT_EQ(control->ended.load(), static_cast<int>(finalTexts().size())) << "each final closed one utterance";
}

// ---------------------------------------------------------------------------
// One task at a time, on the engine itself.

struct Call {
    std::optional<RecognitionResult> result;
    std::optional<RecognitionError> error;
    bool isFinal() const { return result && result->isFinal; }
    bool isPartial() const { return result && !result->isFinal; }
    std::string text() const { return result ? result->bestTranscription : ""; }
};

// One task on the engine with what its handler received.
struct Task {
    std::shared_ptr<EngineSession> session;
    std::shared_ptr<std::vector<Call>> calls = std::make_shared<std::vector<Call>>();

    std::vector<Call> finals() const {
        std::vector<Call> out;
        for (const auto& call : *calls) {
            if (call.isFinal()) out.push_back(call);
        }
        return out;
    }
};

class EngineTest : public ::testing::Test {
protected:
    void makeEngine(EngineOptions options = {}) {
        engine = std::make_unique<RecognitionEngine>(std::make_unique<ScriptedDecoder>(control), loop, options);
    }

    Task startTask(bool partials = true) {
        Task task{engine->makeSession()};
        engine->startSession(task.session, [calls = task.calls](const auto& result, const auto& error) {
            calls->push_back({result, error});
        }, partials);
        return task;
    }

    // Appends in lines from this thread, which turns no run loop meanwhile.
    void appendLines(const Task& task, const std::vector<std::int16_t>& samples, std::size_t lineSamples = 1600) {
        for (std::size_t at = 0; at < samples.size(); at += lineSamples) {
            engine->append(task.session, pcmBuffer(samples.data() + at, std::min(lineSamples, samples.size() - at)));
        }
    }

    // Turns the loop until `done` holds; the limit only guards against a hang.
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 20s) {
        const auto deadline = RunLoop::Clock::now() + limit;
        while (!done()) {
            if (RunLoop::Clock::now() > deadline) return false;
            loop.runFor(0.01);
        }
        return true;
    }

    bool runUntilFinal(const Task& task) {
        return runUntil([&] {
            for (const auto& call : *task.calls) {
                if (call.isFinal() || call.error) return true;
            }
            return false;
        });
    }

    RunLoop loop;
    std::shared_ptr<DecoderControl> control = std::make_shared<DecoderControl>();
    std::unique_ptr<RecognitionEngine> engine;
};

TEST_F(EngineTest, PartialsGrowWithTheUtteranceAndThePauseGivesTheFinal) {
    makeEngine();
    auto task = startTask();
    appendLines(task, concat({segment(1, 300), segment(2, 300), segment(0, 300)}));
    ASSERT_TRUE(runUntilFinal(task));
    loop.runFor(0.05);

    const auto& calls = *task.calls;
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls.front().text(), "one");
    EXPECT_TRUE(calls.back().isFinal());
    EXPECT_EQ(calls.back().text(), "one two");
    for (std::size_t i = 0; i + 1 < calls.size(); ++i) {
        EXPECT_TRUE(calls[i].isPartial()) << i;
        if (i > 0) {
            EXPECT_NE(calls[i].text(), calls[i - 1].text()) << "a partial repeated the text before it";
        }
    }
    EXPECT_EQ(calls[calls.size() - 2].text(), "one two");
}

TEST_F(EngineTest, PartialsComeAtMostOncePerIntervalOfAudio) {
    EngineOptions options;
    options.chunkSamples = 400;
    options.policy.partialIntervalSamples = 1600;
    makeEngine(options);
    auto task = startTask();
    // A new word every 25 ms: the text changes on every decoding step.
    std::vector<std::int16_t> speech;
    for (int i = 0; i < 64; ++i) speech = concat({speech, segment(1 + i % 2, 25)});
    appendLines(task, speech);
    engine->endAudio(task.session);
    ASSERT_TRUE(runUntilFinal(task));

    std::size_t partials = 0;
    for (const auto& call : *task.calls) partials += call.isPartial() ? 1 : 0;
    EXPECT_GE(partials, 3u);
    EXPECT_LE(partials, speech.size() / options.policy.partialIntervalSamples);
}

TEST_F(EngineTest, NoPartialsWhenTheRequestAsksForNone) {
    makeEngine();
    auto task = startTask(false);
    appendLines(task, concat({segment(1, 500), segment(0, 300)}));
    ASSERT_TRUE(runUntilFinal(task));
    ASSERT_EQ(task.calls->size(), 1u);
    EXPECT_EQ(task.calls->front().text(), "one");
}

TEST_F(EngineTest, AnUtteranceWithoutWordsDoesNotEndTheTask) {
    makeEngine();
    auto task = startTask();
    appendLines(task, concat({segment(-1, 300), segment(0, 300), segment(1, 300), segment(0, 300)}));
    ASSERT_TRUE(runUntilFinal(task));
    loop.runFor(0.05);
    auto finals = task.finals();
    ASSERT_EQ(finals.size(), 1u);
    EXPECT_EQ(finals[0].text(), "one");
    EXPECT_GE(control->ended.load(), 2) << "the cough was its own utterance";
}

TEST_F(EngineTest, SilenceGivesNothingUntilTheEndOfAudioThenOneEmptyFinal) {
    makeEngine();
    auto task = startTask();
    const auto audio = concat({segment(0, 500), segment(-1, 200), segment(0, 300)});
    appendLines(task, audio);
    ASSERT_TRUE(control->waitProcessed(audio.size()));
    loop.runFor(0.05);
    EXPECT_TRUE(task.calls->empty());

    engine->endAudio(task.session);
    ASSERT_TRUE(runUntilFinal(task));
    loop.runFor(0.05);
    ASSERT_EQ(task.calls->size(), 1u);
    EXPECT_TRUE(task.calls->front().isFinal());
    EXPECT_EQ(task.calls->front().text(), "");
}

TEST_F(EngineTest, APauseFinalWaitsForACallerInsideAppend) {
    makeEngine();
    auto task = startTask();
    const auto audio = concat({segment(1, 200), segment(0, 200)});
    appendLines(task, audio, audio.size()); // one short line, returned before its pause was decoded
    ASSERT_TRUE(control->waitProcessed(audio.size()));
    loop.runFor(0.05);
    EXPECT_TRUE(task.finals().empty()) << "a final while nobody waited: the next line would reach an ended task";

    appendLines(task, segment(0, 100)); // the next line: a safe point once decoded
    ASSERT_TRUE(runUntilFinal(task));
    EXPECT_EQ(task.finals().at(0).text(), "one");
}

TEST_F(EngineTest, EndOfAudioMidSpeechGivesTheFinal) {
    makeEngine();
    auto task = startTask();
    appendLines(task, segment(2, 400));
    engine->endAudio(task.session);
    ASSERT_TRUE(runUntilFinal(task));
    EXPECT_EQ(task.finals().at(0).text(), "two");
}

// An engine whose long lines do not hold the caller whole: only the
// decoding-time cap holds it back, and it keeps a backlog that the finishing
// limit may have to cut.
EngineOptions lettingLongLinesGoOnEarly() {
    EngineOptions options;
    options.holdWholeLineSamples = 16000 * 60;
    options.initialRealTimeFactor = 0.01; // the decoder looks fast while lines go in
    return options;
}

TEST_F(EngineTest, AfterEndAudioUtterancesJoinIntoOneFinal) {
    makeEngine(lettingLongLinesGoOnEarly());
    auto task = startTask();
    // One line still at the decoder when the audio ends: no safe point falls
    // between the two words, and the end of audio gives the final.
    control->close();
    appendLines(task, concat({segment(1, 300), segment(0, 700), segment(2, 300), segment(0, 300)}), 16000 * 2);
    engine->endAudio(task.session);
    control->open();
    ASSERT_TRUE(runUntilFinal(task));
    loop.runFor(0.05);
    auto finals = task.finals();
    ASSERT_EQ(finals.size(), 1u);
    EXPECT_EQ(finals[0].text(), "one two");
}

// A pause decoded after the end of the audio closes the utterance too; its
// second pass must then fit in the time left for the final like any other,
// even when the pause's chunk was taken before the audio ended. The speech
// is decoded first; the pause's line waits at the decoder's gate while the
// audio ends.
TEST_F(EngineTest, ASecondPassAfterTheEndOfAudioFitsInTheTimeLeft) {
    struct Row {
        const char* name;
        double budgetSeconds;
        const char* final;
        int secondPasses;
    };
    // Decoding at a fifth of real time, the pass over 3 s of speech is
    // predicted at 0.6 s.
    for (const Row& row : {Row{"fits", 5.0, "ONE TWO", 1}, Row{"would not fit", 0.3, "one two", 0}}) {
        SCOPED_TRACE(row.name);
        control = std::make_shared<DecoderControl>();
        control->secondPass = true;
        control->slowdown = 0.2;
        EngineOptions options;
        options.finishingBudgetSeconds = row.budgetSeconds;
        makeEngine(options);
        auto task = startTask();
        const auto speech = concat({segment(1, 1500), segment(2, 1500)});
        appendLines(task, speech);
        ASSERT_TRUE(control->waitProcessed(speech.size())) << "hang guard";
        control->close();
        // One line: the caller goes on once the line before it is decided.
        appendLines(task, segment(0, 100));
        engine->endAudio(task.session);
        control->open();
        ASSERT_TRUE(runUntilFinal(task));
        EXPECT_EQ(task.finals().at(0).text(), row.final);
        EXPECT_EQ(control->secondPasses.load(), row.secondPasses);
        engine.reset();
    }
}

// A caller that does not turn the run loop between appends: the line it
// appends after the final was decided goes to the next task.
class EngineCarryTest : public EngineTest {
protected:
    Task firstTaskEndedWithALineBehind() {
        makeEngine();
        auto first = startTask();
        appendLines(first, concat({segment(1, 300), segment(0, 300)}));
        EXPECT_TRUE(runUntilFinal(first));
        EXPECT_EQ(first.finals().at(0).text(), "one");
        appendLines(first, concat({segment(2, 300), segment(0, 100)}), 16000);
        return first;
    }
};

TEST_F(EngineCarryTest, AudioAfterTheFinalGoesToTheNextTask) {
    auto first = firstTaskEndedWithALineBehind();

    // How the continuous recognizer moves on: cancel the ended task, start
    // the next one.
    engine->cancel(first.session);
    auto second = startTask();
    engine->endAudio(second.session);
    ASSERT_TRUE(runUntilFinal(second));
    EXPECT_EQ(second.finals().at(0).text(), "two");
    loop.runFor(0.05);
    EXPECT_EQ(first.finals().size(), 1u);
}

TEST_F(EngineCarryTest, WordsKeepTheirPlaceInTheStreamAcrossTasks) {
    auto first = firstTaskEndedWithALineBehind();
    engine->cancel(first.session);
    auto second = startTask();
    engine->endAudio(second.session);
    ASSERT_TRUE(runUntilFinal(second));

    // "one" is the first 0.3 s; "two" comes after 0.3 s of quiet, 0.6 s in.
    // Times are good to a frame's step: the decoder's frames end up to 10 ms
    // before the chunk that brought them.
    constexpr double kFrameStep = 0.0101;
    const auto one = first.finals().at(0).result->segments;
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].substring, "one");
    EXPECT_NEAR(one[0].timestamp, 0.0, kFrameStep);
    EXPECT_NEAR(one[0].duration, 0.3, 1e-9);
    EXPECT_DOUBLE_EQ(one[0].confidence, 0.5);
    const auto two = second.finals().at(0).result->segments;
    ASSERT_EQ(two.size(), 1u);
    EXPECT_EQ(two[0].substring, "two");
    EXPECT_NEAR(two[0].timestamp, 0.6, kFrameStep) << "the carried line keeps its place";
    EXPECT_NEAR(two[0].duration, 0.3, 1e-9);
}

TEST_F(EngineCarryTest, EndAudioOnAFinishedTaskDropsWhatWasKeptForTheNext) {
    auto first = firstTaskEndedWithALineBehind();
    engine->endAudio(first.session);
    EXPECT_EQ(engine->queuedSamples(), 0u);

    auto second = startTask();
    engine->endAudio(second.session);
    ASSERT_TRUE(runUntilFinal(second));
    EXPECT_EQ(second.finals().at(0).text(), "");
}

TEST_F(EngineTest, AppendHoldsTheCallerUntilTheLineBeforeIsDecoded) {
    makeEngine();
    auto task = startTask();
    control->close();
    std::atomic<int> appended{0};
    auto writer = std::async(std::launch::async, [&] {
        for (int i = 0; i < 5; ++i) {
            engine->append(task.session, pcmBuffer(segment(1, 100)));
            ++appended;
        }
    });
    // The first line is at the decoder, held at the gate; the second is
    // queued behind it, and its append holds the caller until the first is
    // decoded: one line in flight, no more.
    ASSERT_TRUE(control->waitInProcess());
    const auto deadline = RunLoop::Clock::now() + 10s;
    while (engine->queuedSamples() < 1600 && RunLoop::Clock::now() < deadline) std::this_thread::yield();
    EXPECT_EQ(writer.wait_for(200ms), std::future_status::timeout) << "append did not wait for the decoder";
    EXPECT_EQ(appended.load(), 1);
    EXPECT_EQ(engine->queuedSamples(), 1600u);
    control->open();
    ASSERT_EQ(writer.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(appended.load(), 5);
}

TEST_F(EngineTest, ALongLineIsTakenOnceItsRestFitsTheDecodingTimeCap) {
    EngineOptions options = lettingLongLinesGoOnEarly();
    options.initialRealTimeFactor = 1.0;
    makeEngine(options);
    control->slowdown = 0.5;
    auto task = startTask();
    // Warm the speed estimate up with one line.
    appendLines(task, segment(0, 200), 3200);
    ASSERT_TRUE(control->waitProcessed(3200));

    appendLines(task, segment(4, 3000), 48000);
    const std::size_t queued = engine->queuedSamples();
    const std::size_t cap = engine->backlogCapSamples();
    EXPECT_LE(queued, cap);
    EXPECT_GT(queued, 0u) << "the caller waited for the whole line, not for the cap";
    EXPECT_LT(cap, 48000u) << "half a second of decoding at half real time is less than this line";
}

TEST_F(EngineTest, TheFinishingLimitGivesEveryWordDecodedSoFar) {
    EngineOptions options = lettingLongLinesGoOnEarly();
    options.finishingBudgetSeconds = 1.0;
    makeEngine(options);
    auto task = startTask();
    control->close();
    // One 6 s line: "one", then "four" to the end.
    appendLines(task, concat({segment(1, 100), segment(4, 5900)}), 16000 * 6);
    // The machine then slows down beyond anything the estimate foresaw, and
    // the closing pass too.
    control->slowdown = 3;
    control->closingPassMilliseconds = 5000;
    const auto endAt = RunLoop::Clock::now();
    engine->endAudio(task.session);
    control->open();
    ASSERT_TRUE(runUntilFinal(task));
    const double took = secondsSince(endAt);

    EXPECT_LT(took, options.finishingBudgetSeconds + 3 * 0.1 + 0.5) << "the final waited for the backlog";
    EXPECT_LT(control->processed(), 16000u * 6) << "the test's decoder was not slow enough to need the limit";
    ASSERT_EQ(task.finals().size(), 1u);
    EXPECT_EQ(task.finals().at(0).text(), "one four") << "words decoded by the limit";
    EXPECT_EQ(engine->queuedSamples(), 0u) << "the rest is dropped: no task follows endAudio";
}

TEST_F(EngineTest, AClosingPassThatWouldNotFitComesAfterTheFinal) {
    makeEngine();
    auto task = startTask();
    // The first utterance's end shows how long the closing pass takes here.
    control->closingPassMilliseconds = 3000;
    appendLines(task, concat({segment(1, 800), segment(0, 300)}));
    ASSERT_TRUE(runUntilFinal(task));
    ASSERT_EQ(task.finals().at(0).text(), "one");
    engine->cancel(task.session);

    // The next one ends with the audio: its closing pass would not fit in the
    // finishing budget, so the final goes out first.
    auto next = startTask();
    appendLines(next, segment(2, 800));
    const auto endAt = RunLoop::Clock::now();
    engine->endAudio(next.session);
    ASSERT_TRUE(runUntilFinal(next));
    EXPECT_LT(secondsSince(endAt), 3.0) << "the final waited for the closing pass";
    EXPECT_EQ(next.finals().at(0).text(), "two");
}

TEST_F(EngineTest, ADecoderFailureAfterAPauseKeepsTheWordsBeforeIt) {
    makeEngine();
    auto task = startTask();
    // The pause is found in the first chunk of the last line, the failure
    // in its second: a final is given only where a line ends, so none can
    // come between them, however the threads are timed.
    appendLines(task, segment(1, 300));
    appendLines(task, concat({segment(0, 100), segment(-2, 100)}), 3200);
    ASSERT_TRUE(runUntilFinal(task));
    loop.runFor(0.05);
    const Call& call = task.calls->back();
    ASSERT_TRUE(call.result && call.error) << "one invocation: the words, then the error";
    EXPECT_TRUE(call.result->isFinal);
    EXPECT_EQ(call.text(), "one");
}

TEST_F(EngineTest, CancelMidUtteranceDeliversNothingAfterwards) {
    makeEngine();
    auto first = startTask();
    appendLines(first, segment(1, 1000));
    // Partials are posted by now, not yet delivered: cancel must withdraw them.
    ASSERT_TRUE(control->waitProcessed(16000));
    engine->cancel(first.session);
    loop.runFor(0.1);
    EXPECT_TRUE(first.calls->empty());

    // The cancelled words do not leak into the next task's text.
    auto second = startTask();
    appendLines(second, concat({segment(2, 300), segment(0, 300)}));
    ASSERT_TRUE(runUntilFinal(second));
    EXPECT_EQ(second.finals().at(0).text(), "two");
    EXPECT_TRUE(first.calls->empty());
}

TEST_F(EngineTest, CancelStopsDecodingAtOnce) {
    makeEngine(lettingLongLinesGoOnEarly());
    auto task = startTask();
    control->close();
    appendLines(task, segment(1, 5000), 16000 * 5);
    engine->cancel(task.session);
    EXPECT_EQ(engine->queuedSamples(), 0u);
    control->open();
    loop.runFor(0.1);
    EXPECT_TRUE(task.calls->empty());
    EXPECT_LE(control->processed(), 1600u) << "decoding went on after cancel";
}

TEST_F(EngineTest, TranscriptTextIsValidUtf8) {
    makeEngine();
    auto task = startTask();
    appendLines(task, concat({segment(3, 300), segment(0, 300)}));
    ASSERT_TRUE(runUntilFinal(task));
    for (const auto& call : *task.calls) EXPECT_TRUE(isValidUtf8(call.text())) << call.text();
    EXPECT_EQ(task.finals().at(0).text(), "caf\xEF\xBF\xBD");
}

TEST_F(EngineTest, ADecoderFailureEndsTheTaskWithAnError) {
    makeEngine();
    auto first = startTask();
    appendLines(first, concat({segment(1, 200), segment(-2, 100), segment(1, 500)}));
    ASSERT_TRUE(runUntilFinal(first));
    loop.runFor(0.1);
    ASSERT_FALSE(first.calls->empty());
    EXPECT_TRUE(first.calls->back().error.has_value());
    EXPECT_FALSE(first.calls->back().result.has_value());
    EXPECT_TRUE(first.finals().empty());

    // The lines appended after the failure, before the caller could see it,
    // go to the next task: only the chunk the decoder failed on is lost.
    auto second = startTask();
    appendLines(second, concat({segment(2, 300), segment(0, 300)}));
    ASSERT_TRUE(runUntilFinal(second));
    EXPECT_EQ(second.finals().at(0).text(), "one two");
}

TEST_F(EngineTest, ALineQueuedBehindADecoderFailureGoesToTheNextTask) {
    makeEngine();
    auto first = startTask();
    control->close();
    // The failing line is at the decoder while the next one waits behind it.
    auto writer = std::async(std::launch::async, [&] {
        appendLines(first, segment(-2, 100));
        appendLines(first, segment(4, 100));
    });
    ASSERT_TRUE(control->waitInProcess());
    const auto deadline = RunLoop::Clock::now() + 10s;
    while (engine->queuedSamples() < 1600 && RunLoop::Clock::now() < deadline) std::this_thread::yield();
    control->open();
    ASSERT_EQ(writer.wait_for(20s), std::future_status::ready);
    ASSERT_TRUE(runUntilFinal(first));
    EXPECT_TRUE(first.calls->back().error.has_value());

    auto second = startTask();
    engine->endAudio(second.session);
    ASSERT_TRUE(runUntilFinal(second));
    EXPECT_EQ(second.finals().at(0).text(), "four") << "only the chunk the decoder failed on may be lost";
}

// ---------------------------------------------------------------------------
// While the model loads.

class EngineLoadTest : public EngineTest {
protected:
    void makeLoadingEngine(EngineOptions options = {}) {
        engine = std::make_unique<RecognitionEngine>(gatedLoader(loader, control), loop, options);
        ASSERT_TRUE(loader->waitLoading()) << "the engine thread did not start loading";
    }

    std::shared_ptr<LoaderControl> loader = std::make_shared<LoaderControl>();
};

struct LoadingLineCase {
    const char* name;
    std::size_t lineMilliseconds;
};

class AudioWhileTheModelLoads : public EngineLoadTest, public ::testing::WithParamInterface<LoadingLineCase> {};

// The caller is held after its first line, as behind a busy decoder: what
// waits stays bounded, and once the model is there every word is decoded.
TEST_P(AudioWhileTheModelLoads, HoldsTheCallerAfterOneLineAndLosesNothing) {
    EngineOptions options;
    // Lets a 1 s line go on early too: the bound is then the cap alone.
    options.holdWholeLineSamples = 1 << 30;
    options.maxBacklogDecodeSeconds = 1.0;
    makeLoadingEngine(options);
    const std::size_t lineSamples = GetParam().lineMilliseconds * 16;
    auto task = startTask();
    const auto audio = concat({segment(1, 400), segment(2, 400), segment(4, 400), segment(5, 800)});
    std::atomic<std::size_t> appended{0};
    auto writer = std::async(std::launch::async, [&] {
        for (std::size_t at = 0; at < audio.size(); at += lineSamples) {
            engine->append(task.session, pcmBuffer(audio.data() + at, std::min(lineSamples, audio.size() - at)));
            ++appended;
        }
        engine->endAudio(task.session);
    });
    const auto deadline = RunLoop::Clock::now() + 10s;
    while (appended.load() == 0 && RunLoop::Clock::now() < deadline) std::this_thread::yield();
    EXPECT_EQ(writer.wait_for(200ms), std::future_status::timeout) << "append did not wait for the model";
    EXPECT_EQ(appended.load(), 1u);
    EXPECT_EQ(engine->queuedSamples(), lineSamples);
    EXPECT_EQ(control->processed(), 0u);

    loader->open();
    ASSERT_EQ(writer.wait_for(20s), std::future_status::ready);
    ASSERT_TRUE(runUntilFinal(task));
    ASSERT_EQ(task.finals().size(), 1u);
    EXPECT_EQ(task.finals()[0].text(), "one two four five");
    EXPECT_EQ(control->processed(), audio.size());
}

INSTANTIATE_TEST_SUITE_P(LineLengths, AudioWhileTheModelLoads,
                         ::testing::Values(LoadingLineCase{"Lines20ms", 20}, LoadingLineCase{"Lines100ms", 100},
                                           LoadingLineCase{"Lines1s", 1000}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(EngineLoadTest, AFailedLoadEndsEveryTaskWithOneError) {
    makeLoadingEngine();
    loader->fails = true;
    auto before = startTask();
    auto writer = std::async(std::launch::async, [&] {
        appendLines(before, concat({segment(1, 300), segment(2, 300)}));
        engine->endAudio(before.session);
    });
    EXPECT_EQ(writer.wait_for(200ms), std::future_status::timeout) << "append did not wait for the model";
    loader->open();
    ASSERT_EQ(writer.wait_for(20s), std::future_status::ready) << "a caller stayed held after the load failed";
    ASSERT_TRUE(runUntilFinal(before));

    // A task started after the failure, and one that never gets audio.
    auto after = startTask();
    appendLines(after, segment(4, 300));
    engine->endAudio(after.session);
    auto silent = startTask();
    ASSERT_TRUE(runUntilFinal(after));
    ASSERT_TRUE(runUntilFinal(silent));
    loop.runFor(0.1);

    for (const Task* task : {&before, &after, &silent}) {
        ASSERT_EQ(task->calls->size(), 1u);
        const Call& call = task->calls->front();
        EXPECT_FALSE(call.result.has_value());
        ASSERT_TRUE(call.error.has_value());
        EXPECT_EQ(call.error->localizedDescription, kModelLoadFailure);
    }
    EXPECT_EQ(control->started.load(), 0);
}

TEST_F(EngineLoadTest, ATaskCancelledDuringTheLoadDeliversNothingAndTheNextIsDecoded) {
    makeLoadingEngine();
    auto cancelled = startTask();
    appendLines(cancelled, segment(1, 100));
    engine->cancel(cancelled.session);
    auto next = startTask();
    appendLines(next, segment(2, 100));
    engine->endAudio(next.session);
    loader->open();
    ASSERT_TRUE(runUntilFinal(next));
    loop.runFor(0.1);
    EXPECT_TRUE(cancelled.calls->empty());
    EXPECT_EQ(next.finals().at(0).text(), "two");
}

TEST_F(EngineLoadTest, DestroyingTheEngineDuringTheLoadWaitsForItAndDeliversNothing) {
    makeLoadingEngine();
    auto task = startTask();
    appendLines(task, segment(1, 100));
    auto destroyer = std::async(std::launch::async, [&] { engine.reset(); });
    EXPECT_EQ(destroyer.wait_for(200ms), std::future_status::timeout) << "the destructor did not wait for the load";
    loader->open();
    ASSERT_EQ(destroyer.wait_for(20s), std::future_status::ready);
    loop.runFor(0.1);
    EXPECT_TRUE(task.calls->empty());
    EXPECT_EQ(control->processed(), 0u);
}

TEST_F(EngineTest, TasksRunOneAfterAnother) {
    makeEngine();
    auto first = startTask();
    auto second = startTask();
    appendLines(second, concat({segment(2, 300), segment(0, 300)}));
    appendLines(first, concat({segment(1, 300), segment(0, 300)}));
    engine->endAudio(first.session);
    engine->endAudio(second.session);
    ASSERT_TRUE(runUntilFinal(first));
    ASSERT_TRUE(runUntilFinal(second));
    EXPECT_EQ(first.finals().at(0).text(), "one");
    EXPECT_EQ(second.finals().at(0).text(), "two");
}

TEST_F(EngineTest, DestroyingTheEngineMidTaskStopsItsThreadAndDeliversNothing) {
    makeEngine(lettingLongLinesGoOnEarly());
    auto task = startTask();
    control->close();
    appendLines(task, segment(1, 3000), 16000 * 3);
    ASSERT_TRUE(control->waitInProcess());
    auto opener = std::async(std::launch::async, [&] {
        std::this_thread::sleep_for(100ms);
        control->open();
    });
    engine.reset();
    opener.wait();
    loop.runFor(0.1);
    EXPECT_TRUE(task.calls->empty());
}

} // namespace
} // namespace olvek::pocketsphinx
