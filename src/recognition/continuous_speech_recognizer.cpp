#include "continuous_speech_recognizer.h"

#include "hostlink/event_messages.h"

namespace olvek {

std::shared_ptr<ContinuousSpeechRecognizer> ContinuousSpeechRecognizer::create(
    std::shared_ptr<SpeechRecognizer> recognizer, std::string localeId, RunLoop& runLoop) {
    return std::shared_ptr<ContinuousSpeechRecognizer>(
        new ContinuousSpeechRecognizer(std::move(recognizer), std::move(localeId), runLoop));
}

ContinuousSpeechRecognizer::ContinuousSpeechRecognizer(std::shared_ptr<SpeechRecognizer> recognizer,
                                                       std::string localeId, RunLoop& runLoop)
    : recognizer(std::move(recognizer)), localeId(std::move(localeId)), runLoop(runLoop) {}

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
        emit(transcriptEvent(result->isFinal, result->bestTranscription, self->localeId));
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
