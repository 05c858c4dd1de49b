// The PocketSphinx platform in-process, with the real decoder and model.
#include "recognition/pocketsphinx/pocketsphinx_platform.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <functional>
#include <thread>

#include "fakes/memory_streams.h"
#include "hostlink/line_transport.h"
#include "lifecycle/main_driver.h"
#include "recognition/continuous_speech_recognizer.h"
#include "recognition/pocketsphinx/model_locator.h"
#include "speech_test_support.h"

namespace olvek::pocketsphinx {
namespace {

using namespace std::chrono_literals;
using testing::linkStockModel;
using testing::pcmBuffer;
using testing::replaceWithFile;
using testing::TemporaryFolder;
namespace fs = std::filesystem;

const fs::path kClip = testing::kLibrivox / "sense_and_sensibility_01_austen_64kb-0870.wav";

struct Call {
    std::optional<RecognitionResult> result;
    std::optional<RecognitionError> error;
};

class PlatformTest : public ::testing::Test {
protected:
    std::unique_ptr<SpeechPlatform> makePlatform(const fs::path& root) { return makePocketSphinxPlatform(loop, root); }

    // Starts a task with partial results on; its handler records every call.
    std::pair<std::shared_ptr<RecognitionRequest>, std::shared_ptr<RecognitionTask>> startTask(
        SpeechRecognizer& recognizer, std::shared_ptr<std::vector<Call>> calls) {
        auto request = recognizer.makeRequest();
        request->setShouldReportPartialResults(true);
        request->setRequiresOnDeviceRecognition(false);
        auto task = recognizer.recognitionTask(request, [calls](const auto& result, const auto& error) {
            calls->push_back({result, error});
        });
        return {request, task};
    }

    void appendLines(RecognitionRequest& request, const std::vector<std::int16_t>& samples, std::size_t from = 0,
                     std::size_t to = SIZE_MAX) {
        to = std::min(to, samples.size());
        for (std::size_t at = from; at < to; at += 1600) {
            request.appendAudioPCMBuffer(pcmBuffer(samples.data() + at, std::min<std::size_t>(1600, to - at)));
        }
    }

    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 30s) {
        const auto deadline = RunLoop::Clock::now() + limit;
        while (!done()) {
            if (RunLoop::Clock::now() > deadline) return false;
            loop.runFor(0.02);
        }
        return true;
    }

    static bool hasFinal(const std::vector<Call>& calls) {
        for (const auto& call : calls) {
            if ((call.result && call.result->isFinal) || call.error) return true;
        }
        return false;
    }

    RunLoop loop;
};

TEST_F(PlatformTest, AuthorizesOnceFromAnotherThread) {
    auto platform = makePlatform(testing::kStockModelRoot);
    std::mutex mutex;
    std::condition_variable called;
    std::vector<std::pair<AuthorizationStatus, std::thread::id>> answers;
    platform->requestAuthorization([&](AuthorizationStatus status) {
        std::lock_guard<std::mutex> guard(mutex);
        answers.emplace_back(status, std::this_thread::get_id());
        called.notify_all();
    });
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(called.wait_for(lock, 10s, [&] { return !answers.empty(); }));
    lock.unlock();
    std::this_thread::sleep_for(100ms);
    lock.lock();
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].first, AuthorizationStatus::Authorized);
    EXPECT_NE(answers[0].second, std::this_thread::get_id());
}

TEST_F(PlatformTest, GivesRecognizersForInstalledLocalesOnly) {
    TemporaryFolder root;
    linkStockModel(root.path, "en-us");
    auto platform = makePlatform(root.path);
    EXPECT_NE(platform->makeRecognizer("en-US"), nullptr);
    EXPECT_NE(platform->makeRecognizer("en_US"), nullptr);
    EXPECT_EQ(platform->makeRecognizer("zh-CN"), nullptr);
    EXPECT_EQ(platform->makeRecognizer("fr-FR"), nullptr);
}

struct BrokenModelCase {
    const char* name;
    std::function<void(const fs::path& folder)> breakIt;
};

const std::string kGarbage = "this is not a model file\n\x01\x02\x03 at all, just some bytes\n";
const std::string kBadFeatureParameters = "-feat no_such_feature\n";
const std::string kEmpty;

std::string caseName(const ::testing::TestParamInfo<BrokenModelCase>& info) { return info.param.name; }

// Models that the checks refuse before anything loads: no recognizer, so the
// helper ends with status 2.
class BrokenModelCaughtByTheChecks : public PlatformTest, public ::testing::WithParamInterface<BrokenModelCase> {};

TEST_P(BrokenModelCaughtByTheChecks, GivesNoRecognizer) {
    TemporaryFolder root;
    GetParam().breakIt(linkStockModel(root.path, "en-us"));
    EXPECT_EQ(makePlatform(root.path)->makeRecognizer("en-US"), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Checks, BrokenModelCaughtByTheChecks,
    ::testing::Values(
        BrokenModelCase{"GarbageLanguageModel", [](const fs::path& f) { replaceWithFile(f / "en-us.lm.bin", 0, &kGarbage); }},
        BrokenModelCase{"TruncatedLanguageModel", [](const fs::path& f) { replaceWithFile(f / "en-us.lm.bin", 5000); }},
        BrokenModelCase{"NoMeans", [](const fs::path& f) { fs::remove(f / "en-us" / "means"); }},
        BrokenModelCase{"EmptyDictionary",
                        [](const fs::path& f) { replaceWithFile(f / "cmudict-en-us.dict", 0, &kEmpty); }}),
    caseName);

// Models whose every file passes the checks but fails inside the decoder's
// loading, which runs on the engine thread after the recognizer was made;
// several of these end the process from inside the library unless caught.
// Every task then ends with one error, and the process goes on.
class BrokenModelCaughtAtLoad : public PlatformTest, public ::testing::WithParamInterface<BrokenModelCase> {};

TEST_P(BrokenModelCaughtAtLoad, GivesEachTaskOneErrorAndTheProcessGoesOn) {
    TemporaryFolder root;
    GetParam().breakIt(linkStockModel(root.path, "en-us"));
    auto recognizer = makePlatform(root.path)->makeRecognizer("en-US");
    ASSERT_NE(recognizer, nullptr);
    const std::vector<std::int16_t> speech(16000, 100);
    for (int task = 0; task < 2; ++task) {
        SCOPED_TRACE(task == 0 ? "first task" : "second task");
        auto calls = std::make_shared<std::vector<Call>>();
        auto [request, handle] = startTask(*recognizer, calls);
        appendLines(*request, speech);
        request->endAudio();
        ASSERT_TRUE(runUntil([&] { return hasFinal(*calls); }));
        loop.runFor(0.05);
        ASSERT_EQ(calls->size(), 1u);
        EXPECT_FALSE(calls->front().result.has_value());
        ASSERT_TRUE(calls->front().error.has_value());
        EXPECT_EQ(calls->front().error->localizedDescription, kModelLoadFailure);
    }

    // The library is still usable afterwards.
    auto samples = testing::readWav(kClip);
    ASSERT_TRUE(samples);
    auto good = makePlatform(testing::kStockModelRoot)->makeRecognizer("en-US");
    ASSERT_NE(good, nullptr);
    auto calls = std::make_shared<std::vector<Call>>();
    auto [request, handle] = startTask(*good, calls);
    appendLines(*request, *samples);
    request->endAudio();
    ASSERT_TRUE(runUntil([&] { return hasFinal(*calls); }));
    ASSERT_TRUE(calls->back().result) << "the good model failed too";
    EXPECT_FALSE(testing::words(calls->back().result->bestTranscription).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Loading, BrokenModelCaughtAtLoad,
    ::testing::Values(
        BrokenModelCase{"GarbageMdef", [](const fs::path& f) { replaceWithFile(f / "en-us" / "mdef", 0, &kGarbage); }},
        BrokenModelCase{"TruncatedMeans", [](const fs::path& f) { replaceWithFile(f / "en-us" / "means", 1000); }},
        BrokenModelCase{"GarbageVariances",
                        [](const fs::path& f) { replaceWithFile(f / "en-us" / "variances", 0, &kGarbage); }},
        BrokenModelCase{"GarbageTransitionMatrices",
                        [](const fs::path& f) { replaceWithFile(f / "en-us" / "transition_matrices", 0, &kGarbage); }},
        BrokenModelCase{"TruncatedSenoneDump",
                        [](const fs::path& f) { replaceWithFile(f / "en-us" / "sendump", 1000); }},
        BrokenModelCase{"BadFeatureParameters",
                        [](const fs::path& f) {
                            replaceWithFile(f / "en-us" / "feat.params", 0, &kBadFeatureParameters);
                        }}),
    caseName);

// The host may stream before the model has loaded (right after "hello"): the
// words are those of a recognizer whose model was loaded beforehand.
TEST_F(PlatformTest, AClipAppendedWhileTheModelLoadsGivesTheWordsOfAPreloadedModel) {
    auto samples = testing::readWav(kClip);
    ASSERT_TRUE(samples);
    auto files = locateModel(testing::kStockModelRoot, "en-US");
    ASSERT_TRUE(files);

    // Time enough after the end of audio for the closing pass on a busy
    // machine too: a final cut short by the finishing limit would differ
    // between the two runs for a reason other than the load.
    EngineOptions unhurried;
    unhurried.finishingBudgetSeconds = 60;
    const double finishTimeout = 90;

    auto output = std::make_shared<testing::MemoryOutputStream>();
    socketOutputStream = output;
    auto finalsOf = [&](std::shared_ptr<SpeechRecognizer> recognizer) {
        output->written.clear();
        auto pipeline = ContinuousSpeechRecognizer::create(std::move(recognizer), "en-US", loop);
        // As the helper's audio loop does, at full speed.
        for (std::size_t at = 0; at < samples->size(); at += 1600) {
            pipeline->append(pcmBuffer(samples->data() + at, std::min<std::size_t>(1600, samples->size() - at)));
            loop.runFor(kAppendTurnSeconds);
        }
        pipeline->finish(finishTimeout);
        std::string finals;
        for (const auto& line : output->lines()) {
            auto event = nlohmann::json::parse(line);
            EXPECT_NE(event["type"], "error") << line;
            if (event["type"] == "final") finals += std::string(event["text"]) + "|";
        }
        return finals;
    };
    // One after the other: the library's dither noise comes from one
    // generator per process, seeded as each decoder loads.
    const std::string loadingMeanwhile =
        finalsOf(makePocketSphinxPlatform(loop, testing::kStockModelRoot, {}, unhurried)->makeRecognizer("en-US"));
    auto preloaded = loadSphinxDecoder(*files);
    ASSERT_NE(preloaded, nullptr);
    const std::string loadedBefore = finalsOf(makeEngineRecognizer(std::move(preloaded), loop, unhurried));
    socketOutputStream.reset();
    EXPECT_FALSE(testing::words(loadedBefore).empty());
    EXPECT_EQ(loadingMeanwhile, loadedBefore);
}

TEST_F(PlatformTest, RecognizesSpeechAfterThePlatformIsGone) {
    auto samples = testing::readWav(kClip);
    ASSERT_TRUE(samples);
    std::shared_ptr<SpeechRecognizer> recognizer = makePlatform(testing::kStockModelRoot)->makeRecognizer("en-US");
    ASSERT_NE(recognizer, nullptr);

    auto calls = std::make_shared<std::vector<Call>>();
    auto [request, task] = startTask(*recognizer, calls);
    appendLines(*request, *samples);
    // The end of audio only once the decoder is near the clip's end, so the
    // finishing budget does not cut a run slowed by a busy machine.
    ASSERT_TRUE(runUntil([&] {
        return hasFinal(*calls) ||
               (!calls->empty() && calls->back().result &&
                calls->back().result->bestTranscription.find("power") != std::string::npos);
    }));
    request->endAudio();
    ASSERT_TRUE(runUntil([&] { return hasFinal(*calls); }));
    const auto& last = calls->back();
    ASSERT_TRUE(last.result && last.result->isFinal);
    const auto found = testing::words(last.result->bestTranscription);
    EXPECT_GE(found.size(), 10u) << last.result->bestTranscription;
    EXPECT_NE(std::find(found.begin(), found.end(), "leisure"), found.end()) << last.result->bestTranscription;
}

TEST_F(PlatformTest, CancelInMidUtteranceDeliversNothingAfterwards) {
    auto samples = testing::readWav(kClip);
    ASSERT_TRUE(samples);
    auto platform = makePlatform(testing::kStockModelRoot);
    auto recognizer = platform->makeRecognizer("en-US");
    ASSERT_NE(recognizer, nullptr);

    auto calls = std::make_shared<std::vector<Call>>();
    auto [request, task] = startTask(*recognizer, calls);
    // Half the clip, in the middle of the sentence; partials come while
    // speech goes on.
    appendLines(*request, *samples, 0, samples->size() / 2);
    ASSERT_TRUE(runUntil([&] { return !calls->empty(); }));
    appendLines(*request, *samples, samples->size() / 2, samples->size() * 3 / 4);
    task->cancel();
    const auto seen = calls->size();
    request->endAudio();
    loop.runFor(1.5);
    EXPECT_EQ(calls->size(), seen);
    for (const auto& call : *calls) EXPECT_FALSE(call.result && call.result->isFinal);
}

TEST_F(PlatformTest, DigitalSilenceGivesOneEmptyFinalAtTheEnd) {
    auto platform = makePlatform(testing::kStockModelRoot);
    auto recognizer = platform->makeRecognizer("en-US");
    ASSERT_NE(recognizer, nullptr);
    auto calls = std::make_shared<std::vector<Call>>();
    auto [request, task] = startTask(*recognizer, calls);
    appendLines(*request, std::vector<std::int16_t>(3 * 16000, 0));
    loop.runFor(1.0);
    EXPECT_TRUE(calls->empty());
    request->endAudio();
    ASSERT_TRUE(runUntil([&] { return hasFinal(*calls); }));
    loop.runFor(0.2);
    ASSERT_EQ(calls->size(), 1u);
    ASSERT_TRUE(calls->front().result);
    EXPECT_TRUE(calls->front().result->isFinal);
    EXPECT_EQ(calls->front().result->bestTranscription, "");
}

} // namespace
} // namespace olvek::pocketsphinx
