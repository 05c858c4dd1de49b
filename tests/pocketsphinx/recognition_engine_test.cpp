// The engine's task behaviour over a scripted decoder, where each sample says
// what the decoder hears: 0 silence, v > 0 the word kWords[v], -1 speech
// without words (a cough), -2 a sample the decoder fails on.
#include "recognition/pocketsphinx/recognition_engine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>

#include "platform/utf8.h"
#include "speech_test_support.h"

namespace olvek::pocketsphinx {
namespace {

using namespace std::chrono_literals;
using testing::pcmBuffer;

const std::vector<std::string> kWords{"", "one", "two", "caf\xC3", "four"};

// Shared with the test thread; the engine owns the decoder.
struct DecoderControl {
    std::mutex mutex;
    std::condition_variable changed;
    bool gateOpen = true;
    // Decoding time per process call, to make the decoder slower than the
    // audio it is given.
    std::atomic<int> delayMilliseconds{0};
    std::atomic<int> started{0};
    std::atomic<int> ended{0};

    void close() {
        std::lock_guard<std::mutex> guard(mutex);
        gateOpen = false;
    }
    void open() {
        {
            std::lock_guard<std::mutex> guard(mutex);
            gateOpen = true;
        }
        changed.notify_all();
    }
};

class ScriptedDecoder final : public UtteranceDecoder {
public:
    explicit ScriptedDecoder(std::shared_ptr<DecoderControl> control) : control_(std::move(control)) {}

    bool startUtterance() override {
        words_.clear();
        last_ = 0;
        speaking_ = false;
        ++control_->started;
        return true;
    }
    bool process(const std::int16_t* samples, std::size_t count) override {
        {
            std::unique_lock<std::mutex> lock(control_->mutex);
            control_->changed.wait(lock, [&] { return control_->gateOpen; });
        }
        if (control_->delayMilliseconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(control_->delayMilliseconds));
        for (std::size_t i = 0; i < count; ++i) {
            const int value = samples[i];
            if (value == -2) return false;
            if (value > 0 && value != last_) words_.push_back(kWords[static_cast<std::size_t>(value)]);
            last_ = value;
            speaking_ = value != 0;
        }
        return true;
    }
    bool inSpeech() const override { return speaking_; }
    std::string hypothesis() override {
        std::string text;
        for (const auto& word : words_) text += (text.empty() ? "" : " ") + word;
        return text;
    }
    bool endUtterance() override {
        ++control_->ended;
        return true;
    }

private:
    std::shared_ptr<DecoderControl> control_;
    std::vector<std::string> words_;
    int last_ = 0;
    bool speaking_ = false;
};

std::vector<std::int16_t> segment(int value, int milliseconds) {
    return std::vector<std::int16_t>(static_cast<std::size_t>(milliseconds) * 16, static_cast<std::int16_t>(value));
}

std::vector<std::int16_t> concat(std::initializer_list<std::vector<std::int16_t>> parts) {
    std::vector<std::int16_t> out;
    for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

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

    void appendLines(const Task& task, const std::vector<std::int16_t>& samples, std::size_t lineSamples = 1600) {
        for (std::size_t at = 0; at < samples.size(); at += lineSamples) {
            engine->append(task.session, pcmBuffer(samples.data() + at, std::min(lineSamples, samples.size() - at)));
        }
    }

    // Turns the loop until `done` holds; the limit only guards against a hang.
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
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

    // Lets the engine decode everything queued, without delivering anything.
    void waitUntilDecoded() {
        const auto deadline = RunLoop::Clock::now() + 10s;
        while (engine->queuedSamples() > 0 && RunLoop::Clock::now() < deadline) std::this_thread::sleep_for(5ms);
        std::this_thread::sleep_for(50ms);
    }

    RunLoop loop;
    std::shared_ptr<DecoderControl> control = std::make_shared<DecoderControl>();
    std::unique_ptr<RecognitionEngine> engine;
};

// Room for a backlog built while the decoder is held: more than the shipped
// cap, which these cases are not about.
constexpr std::size_t kRoomyQueue = 60 * 16000;

TEST_F(EngineTest, PartialsGrowWithTheUtteranceAndItsEndGivesTheFinal) {
    makeEngine();
    auto task = startTask();
    appendLines(task, concat({segment(1, 300), segment(2, 300), segment(0, 300)}));
    ASSERT_TRUE(runUntilFinal(task));
    loop.runFor(0.1);

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
    options.partialIntervalSamples = 1600;
    makeEngine(options);
    auto task = startTask();
    // A new word every 25 ms: the text changes on every decoding step.
    std::vector<std::int16_t> speech;
    for (int i = 0; i < 64; ++i) {
        auto part = segment(1 + i % 2, 25);
        speech.insert(speech.end(), part.begin(), part.end());
    }
    appendLines(task, speech);
    engine->endAudio(task.session);
    ASSERT_TRUE(runUntilFinal(task));

    std::size_t partials = 0;
    for (const auto& call : *task.calls) partials += call.isPartial() ? 1 : 0;
    EXPECT_GE(partials, 3u);
    EXPECT_LE(partials, speech.size() / options.partialIntervalSamples);
}

TEST_F(EngineTest, NoPartialsWhenTheRequestAsksForNone) {
    makeEngine();
    auto task = startTask(false);
    appendLines(task, concat({segment(1, 500), segment(0, 200)}));
    ASSERT_TRUE(runUntilFinal(task));
    ASSERT_EQ(task.calls->size(), 1u);
    EXPECT_EQ(task.calls->front().text(), "one");
}

TEST_F(EngineTest, AnUtteranceWithoutWordsDoesNotEndTheTask) {
    makeEngine();
    auto task = startTask();
    appendLines(task, concat({segment(-1, 300), segment(0, 300), segment(1, 300), segment(0, 300)}));
    ASSERT_TRUE(runUntilFinal(task));
    loop.runFor(0.1);
    auto finals = task.finals();
    ASSERT_EQ(finals.size(), 1u);
    EXPECT_EQ(finals[0].text(), "one");
    EXPECT_GE(control->ended.load(), 2) << "the cough was its own utterance";
}

TEST_F(EngineTest, SilenceGivesNothingUntilTheEndOfAudioThenOneEmptyFinal) {
    makeEngine();
    auto task = startTask();
    appendLines(task, concat({segment(0, 500), segment(-1, 200), segment(0, 300)}));
    waitUntilDecoded();
    loop.runFor(0.1);
    EXPECT_TRUE(task.calls->empty());

    engine->endAudio(task.session);
    ASSERT_TRUE(runUntilFinal(task));
    loop.runFor(0.1);
    ASSERT_EQ(task.calls->size(), 1u);
    EXPECT_TRUE(task.calls->front().isFinal());
    EXPECT_EQ(task.calls->front().text(), "");
}

TEST_F(EngineTest, EndOfAudioMidSpeechGivesTheFinal) {
    makeEngine();
    auto task = startTask();
    appendLines(task, segment(2, 400));
    engine->endAudio(task.session);
    ASSERT_TRUE(runUntilFinal(task));
    EXPECT_EQ(task.finals().at(0).text(), "two");
}

TEST_F(EngineTest, AudioWaitingBehindAnUtteranceEndStaysInTheTask) {
    makeEngine();
    auto task = startTask();
    // All appended before the engine reached the pause, as with a host that
    // streams faster than real time; the end of audio comes after the engine
    // has passed the pause.
    control->close();
    appendLines(task, concat({segment(1, 300), segment(0, 300), segment(2, 300)}));
    control->open();
    waitUntilDecoded();
    loop.runFor(0.05);
    EXPECT_TRUE(task.finals().empty()) << "the pause had audio behind it";
    engine->endAudio(task.session);
    ASSERT_TRUE(runUntilFinal(task));
    EXPECT_EQ(task.finals().at(0).text(), "one two") << "the words after the last pause are kept";
}

TEST_F(EngineTest, APauseWithNothingWaitingBehindItEndsTheTask) {
    makeEngine();
    auto task = startTask();
    appendLines(task, concat({segment(1, 300), segment(0, 300)}));
    ASSERT_TRUE(runUntilFinal(task));
    EXPECT_EQ(task.finals().at(0).text(), "one");
}

// With every pause ending its task, even with audio behind it: a task whose
// final "one" came while "two" already waited behind it, as with a host that
// streams faster than real time.
class EngineCarryTest : public EngineTest {
protected:
    Task firstTaskEndedWithAudioBehind() {
        EngineOptions options;
        options.maxHeldSamples = 0;
        makeEngine(options);
        auto first = startTask();
        control->close();
        appendLines(first, concat({segment(1, 300), segment(0, 300), segment(2, 300), segment(0, 300)}));
        control->open();
        EXPECT_TRUE(runUntilFinal(first));
        EXPECT_EQ(first.finals().at(0).text(), "one");
        return first;
    }
};

TEST_F(EngineCarryTest, AudioAfterTheFinalGoesToTheNextTask) {
    auto first = firstTaskEndedWithAudioBehind();

    // How the continuous recognizer moves on: cancel the ended task, start
    // the next one.
    engine->cancel(first.session);
    auto second = startTask();
    engine->endAudio(second.session);
    ASSERT_TRUE(runUntilFinal(second));
    EXPECT_EQ(second.finals().at(0).text(), "two");
    loop.runFor(0.1);
    EXPECT_EQ(first.finals().size(), 1u);
}

TEST_F(EngineCarryTest, EndAudioOnAFinishedTaskDropsWhatWasKeptForTheNext) {
    auto first = firstTaskEndedWithAudioBehind();
    engine->endAudio(first.session);
    EXPECT_EQ(engine->queuedSamples(), 0u);

    auto second = startTask();
    engine->endAudio(second.session);
    ASSERT_TRUE(runUntilFinal(second));
    EXPECT_EQ(second.finals().at(0).text(), "");
}

TEST_F(EngineTest, AfterEndAudioUtterancesJoinIntoOneFinal) {
    makeEngine();
    auto task = startTask();
    control->close();
    appendLines(task, concat({segment(1, 300), segment(0, 700), segment(2, 300), segment(0, 300)}));
    engine->endAudio(task.session);
    control->open();
    ASSERT_TRUE(runUntilFinal(task));
    loop.runFor(0.1);
    auto finals = task.finals();
    ASSERT_EQ(finals.size(), 1u);
    EXPECT_EQ(finals[0].text(), "one two");
}

TEST_F(EngineTest, AfterEndAudioTheFinalComesWithinTheBudgetWithWhatWasDecoded) {
    EngineOptions options;
    options.finishingBudgetSeconds = 0.5;
    options.maxQueuedSamples = kRoomyQueue;
    makeEngine(options);
    control->delayMilliseconds = 20; // five times real time
    auto task = startTask();
    // 21 s of audio behind endAudio: over 4 s to decode.
    std::vector<std::int16_t> audio = concat({segment(1, 300), segment(0, 700)});
    for (int i = 0; i < 20; ++i) {
        const auto more = concat({segment(2, 300), segment(0, 700)});
        audio.insert(audio.end(), more.begin(), more.end());
    }
    control->close();
    appendLines(task, audio);
    const auto endAt = RunLoop::Clock::now();
    engine->endAudio(task.session);
    control->open();
    ASSERT_TRUE(runUntil([&] { return !task.finals().empty(); }, 10s));
    const auto took = RunLoop::Clock::now() - endAt;
    EXPECT_LT(took, 2s) << "the final waited for the whole backlog";
    const std::string text = task.finals().at(0).text();
    EXPECT_EQ(text.rfind("one two", 0), 0u) << text;
    EXPECT_LT(text.size(), std::string("one").size() + 20 * std::string(" two").size()) << text;
    EXPECT_EQ(engine->queuedSamples(), 0u) << "the rest is dropped: no task follows endAudio";
    loop.runFor(0.2);
    EXPECT_EQ(task.finals().size(), 1u);
}

TEST_F(EngineTest, TheBudgetClosesTheUtteranceInProgress) {
    EngineOptions options;
    options.finishingBudgetSeconds = 0.3;
    options.maxQueuedSamples = kRoomyQueue;
    makeEngine(options);
    control->delayMilliseconds = 20;
    auto task = startTask();
    control->close();
    appendLines(task, segment(4, 10000)); // one 10 s utterance, 2 s to decode
    engine->endAudio(task.session);
    control->open();
    ASSERT_TRUE(runUntil([&] { return !task.finals().empty(); }, 10s));
    EXPECT_EQ(task.finals().at(0).text(), "four");
}

TEST_F(EngineTest, SpeechWithoutAPauseIsCutAtTheBound) {
    EngineOptions options;
    options.maxUtteranceSamples = 8000; // 0.5 s
    options.maxHeldSamples = 0;         // each cut ends the task, audio waiting or not
    makeEngine(options);
    auto first = startTask();
    control->close();
    appendLines(first, segment(1, 2000));
    control->open();
    ASSERT_TRUE(runUntilFinal(first));
    EXPECT_EQ(first.finals().at(0).text(), "one");

    // The remaining 1.5 s: cut twice more, joined at the end of audio. The
    // gate keeps the engine from deciding a final before endAudio is in.
    engine->cancel(first.session);
    control->close();
    auto second = startTask();
    engine->endAudio(second.session);
    control->open();
    ASSERT_TRUE(runUntilFinal(second));
    EXPECT_EQ(second.finals().at(0).text(), "one one one");
    EXPECT_EQ(control->ended.load(), 4);
}

TEST_F(EngineTest, CancelMidUtteranceDeliversNothingAfterwards) {
    makeEngine();
    auto first = startTask();
    appendLines(first, segment(1, 1000));
    // Partials are posted by now, not yet delivered: cancel must withdraw them.
    waitUntilDecoded();
    engine->cancel(first.session);
    loop.runFor(0.3);
    EXPECT_TRUE(first.calls->empty());

    // The cancelled words do not leak into the next task's text.
    auto second = startTask();
    appendLines(second, concat({segment(2, 300), segment(0, 300)}));
    ASSERT_TRUE(runUntilFinal(second));
    EXPECT_EQ(second.finals().at(0).text(), "two");
    EXPECT_TRUE(first.calls->empty());
}

TEST_F(EngineTest, CancelStopsDecodingAtOnce) {
    EngineOptions options;
    options.maxQueuedSamples = kRoomyQueue;
    makeEngine(options);
    auto task = startTask();
    control->close();
    appendLines(task, segment(1, 5000));
    engine->cancel(task.session);
    EXPECT_EQ(engine->queuedSamples(), 0u);
    control->open();
    loop.runFor(0.2);
    EXPECT_TRUE(task.calls->empty());
}

TEST_F(EngineTest, AppendBlocksWhileTheQueueIsFull) {
    EngineOptions options;
    options.maxQueuedSamples = 16000; // 1 s
    makeEngine(options);
    auto task = startTask();
    control->close();
    std::atomic<int> appended{0};
    auto writer = std::async(std::launch::async, [&] {
        for (int i = 0; i < 40; ++i) {
            engine->append(task.session, pcmBuffer(segment(1, 100)));
            ++appended;
        }
    });
    std::this_thread::sleep_for(300ms);
    EXPECT_LE(engine->queuedSamples(), options.maxQueuedSamples);
    EXPECT_LT(appended.load(), 40) << "append did not wait for the engine";
    EXPECT_GE(appended.load(), 9);
    control->open();
    ASSERT_EQ(writer.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(appended.load(), 40);
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
    loop.runFor(0.2);
    ASSERT_FALSE(first.calls->empty());
    EXPECT_TRUE(first.calls->back().error.has_value());
    EXPECT_FALSE(first.calls->back().result.has_value());
    EXPECT_TRUE(first.finals().empty());

    auto second = startTask();
    appendLines(second, concat({segment(2, 300), segment(0, 300)}));
    ASSERT_TRUE(runUntilFinal(second));
    EXPECT_EQ(second.finals().at(0).text(), "two");
}

TEST_F(EngineTest, TasksRunOneAfterAnother) {
    makeEngine();
    auto first = startTask();
    auto second = startTask();
    appendLines(second, concat({segment(2, 300), segment(0, 300)}));
    appendLines(first, concat({segment(1, 300), segment(0, 300)}));
    ASSERT_TRUE(runUntilFinal(first));
    ASSERT_TRUE(runUntilFinal(second));
    EXPECT_EQ(first.finals().at(0).text(), "one");
    EXPECT_EQ(second.finals().at(0).text(), "two");
}

TEST_F(EngineTest, DestroyingTheEngineMidTaskStopsItsThreadAndDeliversNothing) {
    EngineOptions options;
    options.maxQueuedSamples = kRoomyQueue;
    makeEngine(options);
    auto task = startTask();
    control->close();
    appendLines(task, segment(1, 3000));
    auto opener = std::async(std::launch::async, [&] {
        std::this_thread::sleep_for(100ms);
        control->open();
    });
    engine.reset();
    opener.wait();
    loop.runFor(0.2);
    EXPECT_TRUE(task.calls->empty());
}

} // namespace
} // namespace olvek::pocketsphinx
