// One continuous recognition run over an unbounded stream of audio buffers:
// a fresh platform task starts on the next buffer after every final result or
// error, and `finish` drains the last task within a time limit.
//
// Construct, `append` any number of times, then `finish`; all on the main
// thread. Result handlers arrive through the run loop given at construction
// and send "partial", "final" and "error" events with `emit`. With
// `includeTimings`, a transcript event whose text is not empty also says where
// its words lie (when the platform placed them; see `transcriptEvent`).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/pcm_buffer.h"
#include "platform/run_loop.h"
#include "recognition/speech_platform.h"

namespace olvek {

class ContinuousSpeechRecognizer : public std::enable_shared_from_this<ContinuousSpeechRecognizer> {
public:
    static std::shared_ptr<ContinuousSpeechRecognizer> create(std::shared_ptr<SpeechRecognizer> recognizer,
                                                              std::string localeId,
                                                              RunLoop& runLoop = RunLoop::main(),
                                                              bool includeTimings = false);

    ContinuousSpeechRecognizer(const ContinuousSpeechRecognizer&) = delete;
    ContinuousSpeechRecognizer& operator=(const ContinuousSpeechRecognizer&) = delete;

    // Hands `buffer` to the current task, starting a new task first when the
    // last one ended or none exists. After `finish` began the buffer is dropped.
    void append(std::shared_ptr<const PcmBuffer> buffer);

    // Ends the audio and turns the run loop in 0.05 s slices until the task
    // ends or `timeoutSeconds` have passed, then cancels it. Returns at once
    // when no task was ever started.
    void finish(double timeoutSeconds);

    // Starts a task now; nothing in the helper calls it (tasks start lazily).
    void start();

private:
    ContinuousSpeechRecognizer(std::shared_ptr<SpeechRecognizer> recognizer, std::string localeId, RunLoop& runLoop,
                               bool includeTimings);

    void startLocked();
    static void handleResult(const std::weak_ptr<ContinuousSpeechRecognizer>& weakSelf, std::int64_t taskGeneration,
                             const std::optional<RecognitionResult>& result,
                             const std::optional<RecognitionError>& error);

    const std::shared_ptr<SpeechRecognizer> recognizer;
    const std::string localeId;
    RunLoop& runLoop;
    const bool includeTimings;
    std::mutex lock;
    // Guarded by `lock`.
    std::shared_ptr<RecognitionRequest> request;
    std::shared_ptr<RecognitionTask> task;
    std::int64_t generation = 0;
    bool closed = false;
    bool terminal = true;
};

} // namespace olvek
