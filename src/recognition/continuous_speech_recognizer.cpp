#include "continuous_speech_recognizer.h"

#include "hostlink/event_messages.h"

namespace olvek {

namespace {

// The result's words as the event carries them; nothing when the platform
// did not place them.
std::optional<TranscriptTimes> timesOf(const RecognitionResult& result) {
    if (result.bestTranscription.empty() || result.segments.empty()) return std::nullopt;
    TranscriptTimes times;
    for (const TranscriptionSegment& segment : result.segments) {
        times.words.push_back(TimedWord{segment.substring, segment.timestamp, segment.timestamp + segment.duration,
                                        segment.confidence});
    }
    times.start = times.words.front().start;
    times.end = times.words.back().end;
    return times;
}

} // namespace

std::shared_ptr<ContinuousSpeechRecognizer> ContinuousSpeechRecognizer::create(
    std::shared_ptr<SpeechRecognizer> recognizer, std::string localeId, RunLoop& runLoop, bool includeTimings) {
    return std::shared_ptr<ContinuousSpeechRecognizer>(
        new ContinuousSpeechRecognizer(std::move(recognizer), std::move(localeId), runLoop, includeTimings));
}

ContinuousSpeechRecognizer::ContinuousSpeechRecognizer(std::shared_ptr<SpeechRecognizer> recognizer,
                                                       std::string localeId, RunLoop& runLoop, bool includeTimings)
    : recognizer(std::move(recognizer)), localeId(std::move(localeId)), runLoop(runLoop),
      includeTimings(includeTimings) {}

void ContinuousSpeechRecognizer::startLocked() {
    // The old request gets no endAudio: its audio is abandoned with the task.
    if (task) task->cancel();
    auto newRequest = recognizer->makeRequest();
    newRequest->setShouldReportPartialResults(true);
    newRequest->setRequiresOnDeviceRecognition(false);
    generation += 1;
    const std::int64_t taskGeneration = generation;
    request = newRequest;
    terminal = false;
    std::weak_ptr<ContinuousSpeechRecognizer> weakSelf = weak_from_this();
    task = recognizer->recognitionTask(
        newRequest, [weakSelf, taskGeneration](const std::optional<RecognitionResult>& result,
                                               const std::optional<RecognitionError>& error) {
            handleResult(weakSelf, taskGeneration, result, error);
        });
}

void ContinuousSpeechRecognizer::start() {
    std::lock_guard<std::mutex> guard(lock);
    startLocked();
}

void ContinuousSpeechRecognizer::append(std::shared_ptr<const PcmBuffer> buffer) {
    std::shared_ptr<RecognitionRequest> current;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (closed) return;
        if (terminal || !request) startLocked();
        current = request;
    }
    current->appendAudioPCMBuffer(std::move(buffer));
}

void ContinuousSpeechRecognizer::handleResult(const std::weak_ptr<ContinuousSpeechRecognizer>& weakSelf,
                                              std::int64_t taskGeneration,
                                              const std::optional<RecognitionResult>& result,
                                              const std::optional<RecognitionError>& error) {
    std::shared_ptr<ContinuousSpeechRecognizer> self = weakSelf.lock();
    if (!self) return;
    auto markEndedIfCurrent = [&] {
        std::lock_guard<std::mutex> guard(self->lock);
        if (self->generation == taskGeneration) self->terminal = true;
    };
    if (result) {
        const std::optional<TranscriptTimes> times = self->includeTimings ? timesOf(*result) : std::nullopt;
        emit(times ? transcriptEvent(result->isFinal, result->bestTranscription, self->localeId, *times)
                   : transcriptEvent(result->isFinal, result->bestTranscription, self->localeId));
        if (result->isFinal) markEndedIfCurrent();
    }
    if (error) {
        emit(errorEvent(error->localizedDescription));
        markEndedIfCurrent();
    }
}

void ContinuousSpeechRecognizer::finish(double timeoutSeconds) {
    std::shared_ptr<RecognitionRequest> current;
    {
        std::lock_guard<std::mutex> guard(lock);
        closed = true;
        current = request;
        if (!current) terminal = true;
    }
    if (!current) return;
    current->endAudio();
    const auto deadline = deadlineAfter(timeoutSeconds);
    while (RunLoop::Clock::now() < deadline) {
        {
            std::lock_guard<std::mutex> guard(lock);
            if (terminal) break;
        }
        runLoop.runFor(0.05);
    }
    std::lock_guard<std::mutex> guard(lock);
    if (task) task->cancel();
    task.reset();
    request.reset();
    terminal = true;
}

} // namespace olvek
