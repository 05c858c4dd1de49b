#include "recognition/continuous_speech_recognizer.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <thread>

#include "fakes/memory_streams.h"
#include "fakes/scripted_speech_platform.h"
#include "hostlink/audio_line.h"
#include "hostlink/line_transport.h"

namespace olvek {
namespace {

using testing::MemoryOutputStream;
using testing::ScriptedSpeechPlatform;
using Log = std::vector<std::string>;

constexpr double kTimeout = 0.3;

class RecognizerTest : public ::testing::Test {
protected:
    void SetUp() override {
        output = std::make_shared<MemoryOutputStream>();
        socketOutputStream = output;
        format = createAudioFormat();
        recognizer = ContinuousSpeechRecognizer::create(platform.makeRecognizer("en-US"), "en-US", loop);
        platform.log.clear();
    }
    void TearDown() override {
        socketOutputStream.reset();
        format.reset();
    }

    static std::shared_ptr<const PcmBuffer> buffer(std::uint32_t frames) {
        auto b = PcmBuffer::create(format, frames);
        b->setFrameLength(frames);
        return b;
    }

    std::vector<std::string> eventTypes() const {
        std::vector<std::string> types;
        for (const auto& line : output->lines()) types.push_back(nlohmann::json::parse(line)["type"]);
        return types;
    }
    std::vector<nlohmann::json> events() const {
        std::vector<nlohmann::json> out;
        for (const auto& line : output->lines()) out.push_back(nlohmann::json::parse(line));
        return out;
    }

    // Runs `finish` and answers how long it took, in seconds.
    double timedFinish(double timeout) {
        auto start = RunLoop::Clock::now();
        recognizer->finish(timeout);
        return std::chrono::duration<double>(RunLoop::Clock::now() - start).count();
    }

    void turn() { loop.runFor(0.01); }

    RunLoop loop;
    ScriptedSpeechPlatform platform{loop};
    std::shared_ptr<MemoryOutputStream> output;
    std::shared_ptr<ContinuousSpeechRecognizer> recognizer;
};

enum class State { Idle, Running, Ended, Draining, Finished };
enum class Trigger { Append, Partial, Final, Error, Finish };
enum class Wait { None, Short, Full }; // how long a finish in the case took

struct TransitionCase {
    State from;
    Trigger trigger;
    std::vector<std::string> events; // what the trigger sends
    Log log;                         // platform calls from the trigger and a probe append of 30 frames
    Wait wait;
};

std::string nameOf(const TransitionCase& c) {
    static const char* states[] = {"Idle", "Running", "Ended", "Draining", "Finished"};
    static const char* triggers[] = {"Append", "Partial", "Final", "Error", "Finish"};
    return std::string(states[static_cast<int>(c.from)]) + "_" + triggers[static_cast<int>(c.trigger)];
}

const Log kRestartAtProbe = {"cancel 1", "request 2", "task 2", "append 2 30"};
const Log kFinishFirstTask = {"endAudio 1", "cancel 1"};

const std::vector<TransitionCase> kTransitions = {
    {State::Idle, Trigger::Append, {}, {"request 1", "task 1", "append 1 20", "append 1 30"}, Wait::None},
    {State::Idle, Trigger::Finish, {}, {}, Wait::Short},
    {State::Running, Trigger::Append, {}, {"append 1 20", "append 1 30"}, Wait::None},
    {State::Running, Trigger::Partial, {"partial"}, {"append 1 30"}, Wait::None},
    {State::Running, Trigger::Final, {"final"}, kRestartAtProbe, Wait::None},
    {State::Running, Trigger::Error, {"error"}, kRestartAtProbe, Wait::None},
    {State::Running, Trigger::Finish, {}, kFinishFirstTask, Wait::Full},
    {State::Ended, Trigger::Append, {}, {"cancel 1", "request 2", "task 2", "append 2 20", "append 2 30"}, Wait::None},
    {State::Ended, Trigger::Partial, {"partial"}, kRestartAtProbe, Wait::None},
    {State::Ended, Trigger::Final, {"final"}, kRestartAtProbe, Wait::None},
    {State::Ended, Trigger::Error, {"error"}, kRestartAtProbe, Wait::None},
    {State::Ended, Trigger::Finish, {}, kFinishFirstTask, Wait::Short},
    {State::Draining, Trigger::Append, {}, kFinishFirstTask, Wait::Full},
    {State::Draining, Trigger::Partial, {"partial"}, kFinishFirstTask, Wait::Full},
    {State::Draining, Trigger::Final, {"final"}, kFinishFirstTask, Wait::Short},
    {State::Draining, Trigger::Error, {"error"}, kFinishFirstTask, Wait::Short},
    {State::Finished, Trigger::Append, {}, {}, Wait::None},
    {State::Finished, Trigger::Partial, {"partial"}, {}, Wait::None},
    {State::Finished, Trigger::Final, {"final"}, {}, Wait::None},
    {State::Finished, Trigger::Error, {"error"}, {}, Wait::None},
    {State::Finished, Trigger::Finish, {}, {}, Wait::Short},
};

class Transitions : public RecognizerTest, public ::testing::WithParamInterface<TransitionCase> {
protected:
    // What the trigger does, on the main thread.
    void act(Trigger trigger) {
        switch (trigger) {
        case Trigger::Append: recognizer->append(buffer(20)); break;
        case Trigger::Partial: platform.task(1).deliverPartial("p"); break;
        case Trigger::Final: platform.task(1).deliverFinal("f"); break;
        case Trigger::Error: platform.task(1).deliverError("e"); break;
        case Trigger::Finish: break;
        }
    }
};

TEST_P(Transitions, EventsPlatformCallsAndWait) {
    const auto& c = GetParam();
    if (c.from != State::Idle) recognizer->append(buffer(10));
    if (c.from == State::Ended) {
        platform.task(1).deliverFinal("done");
        turn();
    }
    if (c.from == State::Finished) recognizer->finish(0);
    platform.log.clear();
    output->written.clear();

    double took = 0;
    if (c.from == State::Draining) {
        // Runs inside the first slice of the wait.
        loop.post([&] { act(c.trigger); });
        took = timedFinish(kTimeout);
    } else if (c.trigger == Trigger::Finish) {
        took = timedFinish(kTimeout);
    } else {
        act(c.trigger);
        turn();
    }
    EXPECT_EQ(eventTypes(), c.events);
    recognizer->append(buffer(30));
    turn();
    EXPECT_EQ(platform.log, c.log);
    if (c.wait == Wait::Short) {
        EXPECT_LT(took, kTimeout * 0.66);
    } else if (c.wait == Wait::Full) {
        EXPECT_GE(took, kTimeout);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, Transitions, ::testing::ValuesIn(kTransitions),
                         [](const auto& info) { return nameOf(info.param); });

TEST_F(RecognizerTest, EveryRequestReportsPartialsAndMayUseTheNetwork) {
    recognizer->append(buffer(1));
    platform.task(1).deliverError("e");
    turn();
    recognizer->append(buffer(1));
    ASSERT_EQ(platform.requests.size(), 2u);
    for (const auto& request : platform.requests) {
        EXPECT_TRUE(request->shouldReportPartialResults);
        EXPECT_FALSE(request->requiresOnDeviceRecognition);
    }
}

TEST_F(RecognizerTest, TimesOnlyWhenAskedForAndOnlyWherePlaced) {
    const std::vector<TranscriptionSegment> placed{{"hello", 1.0, 0.5, 0.9}, {"world", 1.5, 0.25, 0.8}};
    struct Case {
        const char* name;
        bool includeTimings;
        RecognitionResult result;
        nlohmann::json expected;
    };
    const Case cases[] = {
        {"not asked for", false, {true, "hello world", placed},
         {{"type", "final"}, {"text", "hello world"}, {"language", "en-US"}}},
        {"a placed partial", true, {false, "hello world", placed},
         {{"type", "partial"}, {"text", "hello world"}, {"language", "en-US"}, {"start", "1.000"}, {"end", "1.750"}}},
        {"a placed final", true, {true, "hello world", placed},
         {{"type", "final"},
          {"text", "hello world"},
          {"language", "en-US"},
          {"start", "1.000"},
          {"end", "1.750"},
          {"words",
           {{{"word", "hello"}, {"start", "1.000"}, {"end", "1.500"}, {"confidence", "0.900"}},
            {{"word", "world"}, {"start", "1.500"}, {"end", "1.750"}, {"confidence", "0.800"}}}}}},
        {"words the platform did not place", true, {true, "hello world", {}},
         {{"type", "final"}, {"text", "hello world"}, {"language", "en-US"}}},
        {"an empty final", true, {true, "", {}}, {{"type", "final"}, {"text", ""}, {"language", "en-US"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedSpeechPlatform own(loop);
        auto timed = ContinuousSpeechRecognizer::create(own.makeRecognizer("en-US"), "en-US", loop, c.includeTimings);
        output->written.clear();
        timed->append(buffer(1));
        own.task(1).deliver(c.result);
        turn();
        EXPECT_EQ(events(), std::vector<nlohmann::json>{c.expected});
    }
}

TEST_F(RecognizerTest, TranscriptEventsCarryTheTextAndTheLocale) {
    recognizer->append(buffer(1));
    platform.task(1).deliverPartial("hello");
    platform.task(1).deliverFinal("hello world");
    turn();
    EXPECT_EQ(events(), (std::vector<nlohmann::json>{
                            {{"type", "partial"}, {"text", "hello"}, {"language", "en-US"}},
                            {{"type", "final"}, {"text", "hello world"}, {"language", "en-US"}},
                        }));
}

TEST_F(RecognizerTest, ALateFinalOrErrorOfAReplacedTaskSendsItsEventButLeavesTheCurrentTaskRunning) {
    for (bool asError : {false, true}) {
        SCOPED_TRACE(asError ? "error" : "final");
        recognizer = ContinuousSpeechRecognizer::create(platform.makeRecognizer("en-US"), "en-US", loop);
        platform.tasks.clear();
        platform.requests.clear();
        recognizer->append(buffer(1));
        platform.task(1).deliverError("first ends");
        turn();
        recognizer->append(buffer(2)); // task 2 starts
        output->written.clear();
        platform.log.clear();
        if (asError) {
            platform.task(1).deliverError("late");
        } else {
            platform.task(1).deliverFinal("late");
        }
        turn();
        EXPECT_EQ(eventTypes(), std::vector<std::string>{asError ? "error" : "final"});
        recognizer->append(buffer(3));
        EXPECT_EQ(platform.log, Log{"append 2 3"}) << "task 2 still takes audio";
        // And finish still waits for task 2 rather than ending at once.
        EXPECT_GE(timedFinish(kTimeout), kTimeout);
    }
}

TEST_F(RecognizerTest, AResultAndAnErrorInOneInvocationSendTheTranscriptFirst) {
    recognizer->append(buffer(1));
    platform.task(1).deliver(RecognitionResult{true, "last words", {}}, RecognitionError{"it broke"});
    turn();
    EXPECT_EQ(events(), (std::vector<nlohmann::json>{
                            {{"type", "final"}, {"text", "last words"}, {"language", "en-US"}},
                            {{"type", "error"}, {"message", "it broke"}},
                        }));
}

TEST_F(RecognizerTest, APartialWithAnErrorEndsTheTask) {
    recognizer->append(buffer(1));
    platform.task(1).deliver(RecognitionResult{false, "so far", {}}, RecognitionError{"lost"});
    turn();
    EXPECT_EQ(eventTypes(), (std::vector<std::string>{"partial", "error"}));
    recognizer->append(buffer(2));
    EXPECT_EQ(platform.tasks.size(), 2u);
}

TEST_F(RecognizerTest, AudioOfAnEndedTaskIsNotCarriedOver) {
    recognizer->append(buffer(1));
    recognizer->append(buffer(2));
    platform.task(1).deliverFinal("one two");
    turn();
    recognizer->append(buffer(3));
    recognizer->append(buffer(4));
    ASSERT_EQ(platform.requests.size(), 2u);
    auto framesOf = [](const testing::ScriptedRequest& r) {
        std::vector<std::uint32_t> frames;
        for (const auto& b : r.buffers) frames.push_back(b->frameLength());
        return frames;
    };
    EXPECT_EQ(framesOf(*platform.requests[0]), (std::vector<std::uint32_t>{1, 2}));
    EXPECT_EQ(framesOf(*platform.requests[1]), (std::vector<std::uint32_t>{3, 4}));
    EXPECT_EQ(platform.requests[0]->endAudioCalls, 0) << "an ended request gets no end of audio on restart";
}

TEST_F(RecognizerTest, FinishWithNoTaskNeitherEndsAudioNorTurnsTheRunLoop) {
    bool ran = false;
    loop.post([&] { ran = true; });
    EXPECT_LT(timedFinish(kTimeout), kTimeout * 0.66);
    EXPECT_FALSE(ran);
    EXPECT_TRUE(platform.log.empty());
}

TEST_F(RecognizerTest, FinishInEndedDoesNotTurnTheRunLoop) {
    recognizer->append(buffer(1));
    platform.task(1).deliverFinal("x");
    turn();
    bool ran = false;
    loop.post([&] { ran = true; });
    recognizer->finish(kTimeout);
    EXPECT_FALSE(ran);
    EXPECT_EQ(platform.requests[0]->endAudioCalls, 1);
}

TEST_F(RecognizerTest, FinishWithoutAFinalWaitsTheTimeoutAfterEndOfAudioThenCancelsSilently) {
    recognizer->append(buffer(1));
    double took = timedFinish(kTimeout);
    EXPECT_GE(took, kTimeout);
    EXPECT_LT(took, kTimeout + 1.0) << "hang guard";
    EXPECT_EQ(platform.log, (Log{"request 1", "task 1", "append 1 1", "endAudio 1", "cancel 1"}));
    EXPECT_TRUE(output->lines().empty());
}

TEST_F(RecognizerTest, AFinalArrivingDuringTheWaitEndsItAtTheNextCheck) {
    recognizer->append(buffer(1));
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        platform.task(1).deliverFinal("in time");
    });
    double took = timedFinish(2.0);
    late.join();
    EXPECT_GE(took, 0.1);
    EXPECT_LT(took, 1.0);
    EXPECT_EQ(eventTypes(), std::vector<std::string>{"final"});
}

TEST_F(RecognizerTest, ZeroOrNegativeTimeoutsCancelRightAfterEndOfAudio) {
    for (double timeout : {0.0, -1.0}) {
        recognizer = ContinuousSpeechRecognizer::create(platform.makeRecognizer("en-US"), "en-US", loop);
        recognizer->append(buffer(1));
        platform.log.clear();
        bool ran = false;
        loop.post([&] { ran = true; });
        EXPECT_LT(timedFinish(timeout), kTimeout * 0.66);
        EXPECT_FALSE(ran) << timeout;
        EXPECT_EQ(platform.log, (Log{"endAudio " + std::to_string(platform.requests.size()),
                                     "cancel " + std::to_string(platform.tasks.size())}));
        turn();
    }
}

TEST_F(RecognizerTest, ALateCallbackAfterFinishSendsItsEventAndChangesNothing) {
    recognizer->append(buffer(1));
    platform.task(1).deliverFinal("first");
    recognizer->finish(1.0);
    output->written.clear();
    platform.log.clear();
    platform.task(1).deliverFinal("late");
    platform.task(1).deliverError("later");
    turn();
    EXPECT_EQ(eventTypes(), (std::vector<std::string>{"final", "error"}));
    recognizer->append(buffer(2));
    recognizer->finish(1.0);
    EXPECT_TRUE(platform.log.empty());
}

TEST_F(RecognizerTest, ACallbackAfterTheInstanceIsGoneSendsNothing) {
    recognizer->append(buffer(1));
    auto task = platform.lastTask();
    recognizer.reset();
    task->deliverPartial("orphan");
    task->deliverFinal("orphan");
    task->deliverError("orphan");
    turn();
    EXPECT_TRUE(output->lines().empty());
    EXPECT_EQ(task->cancelCalls, 0) << "releasing the instance does not cancel its task";
}

TEST_F(RecognizerTest, StartBeginsATaskWithoutAudioEvenAfterFinish) {
    recognizer->start();
    EXPECT_EQ(platform.log, (Log{"request 1", "task 1"}));
    recognizer->finish(0);
    recognizer->start();
    EXPECT_EQ(platform.tasks.size(), 2u);
}

TEST_F(RecognizerTest, HandlersRunOnlyInsideRunLoopTurns) {
    recognizer->append(buffer(1));
    platform.task(1).deliverPartial("waiting");
    recognizer->append(buffer(2));
    EXPECT_TRUE(output->lines().empty());
    turn();
    EXPECT_EQ(eventTypes(), std::vector<std::string>{"partial"});
}

} // namespace
} // namespace olvek
