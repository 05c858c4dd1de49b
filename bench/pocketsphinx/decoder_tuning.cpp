// Latency against accuracy for the decoder's end-of-utterance passes.
//
// For each setting of the flat pass and the best-path pass, streams every
// librivox clip through the PocketSphinx platform in-process, 100 ms buffers
// paced as live audio (or as fast as possible with --fast), ends the audio
// right after the clip and measures the time from endAudio to the final
// result, and the word error rate of the joined finals.
//
// usage: pocketsphinx_decoder_tuning [--fast] [--rounds N]
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "recognition/pocketsphinx/pocketsphinx_platform.h"
#include "speech_test_support.h"

using namespace olvek;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

int main(int argc, char** argv) {
    bool fast = false;
    int rounds = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--fast") == 0) fast = true;
        if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) rounds = std::atoi(argv[++i]);
    }
    const auto references = testing::librivoxReferences();
    std::vector<std::vector<std::int16_t>> clips;
    for (const auto& [id, text] : references) clips.push_back(*testing::readWav(testing::kLibrivox / (id + ".wav")));

    std::printf("%-8s %-8s %12s %12s %12s %8s\n", "flat", "bestpath", "mean_ms", "max_ms", "load_ms", "wer_%");
    for (bool flat : {true, false}) {
        for (bool bestPath : {true, false}) {
            RunLoop loop;
            pocketsphinx::DecoderOptions options{flat, bestPath};
            double total = 0, worst = 0, loadMs = 0;
            std::size_t errors = 0, referenceWords = 0, measured = 0;
            for (int round = 0; round < rounds; ++round) {
                for (std::size_t c = 0; c < clips.size(); ++c) {
                    // A fresh recognizer per clip, as each helper run has.
                    auto platform = pocketsphinx::makePocketSphinxPlatform(loop, testing::kStockModelRoot, options);
                    const auto loadStart = Clock::now();
                    auto recognizer = platform->makeRecognizer("en-US");
                    loadMs += std::chrono::duration<double, std::milli>(Clock::now() - loadStart).count();
                    std::vector<std::string> finals;
                    bool ended = false;
                    Clock::time_point finalAt;
                    std::shared_ptr<RecognitionRequest> request;
                    std::shared_ptr<RecognitionTask> task;
                    auto startTask = [&] {
                        if (task) task->cancel();
                        request = recognizer->makeRequest();
                        request->setShouldReportPartialResults(true);
                        task = recognizer->recognitionTask(request, [&](const auto& result, const auto&) {
                            if (result && result->isFinal) {
                                finals.push_back(result->bestTranscription);
                                ended = true;
                                finalAt = Clock::now();
                            }
                        });
                        ended = false;
                    };
                    startTask();
                    const auto& samples = clips[c];
                    const auto start = Clock::now();
                    std::size_t line = 0;
                    for (std::size_t at = 0; at < samples.size(); at += 1600, ++line) {
                        if (ended) startTask();
                        request->appendAudioPCMBuffer(
                            testing::pcmBuffer(samples.data() + at, std::min<std::size_t>(1600, samples.size() - at)));
                        loop.runFor(0.005);
                        if (!fast) loop.runUntil(start + (line + 1) * 100ms);
                    }
                    const auto endAt = Clock::now();
                    request->endAudio();
                    while (!ended && Clock::now() - endAt < 30s) loop.runFor(0.005);
                    const double ms = std::chrono::duration<double, std::milli>(finalAt - endAt).count();
                    total += ms;
                    worst = std::max(worst, ms);
                    ++measured;
                    std::string joined;
                    for (const auto& f : finals) joined += (joined.empty() ? "" : " ") + f;
                    const auto expected = testing::words(references[c].second);
                    errors += testing::wordErrors(expected, testing::words(joined));
                    referenceWords += expected.size();
                    task->cancel();
                }
            }
            std::printf("%-8s %-8s %12.1f %12.1f %12.1f %8.2f\n", flat ? "yes" : "no", bestPath ? "yes" : "no",
                        total / static_cast<double>(measured), worst, loadMs / static_cast<double>(measured),
                        100.0 * static_cast<double>(errors) / static_cast<double>(referenceWords));
            std::fflush(stdout);
        }
    }
    return 0;
}
