// The speech platform: what the helper needs of a speech recognition service.
// Implementations: PocketSphinx (the helper on Linux), a scripted platform in
// tests. The helper executable picks one at link time through
// `makeSpeechPlatform`.
//
// Threads and delivery — every implementation keeps these promises:
// - `requestAuthorization` calls its callback exactly once, on a thread other
//   than the caller's (the caller waits for it without turning a run loop).
// - Everything else is called from the main thread.
// - A task's result handler runs only on the main thread, inside
//   `RunLoop::runUntil` of the run loop the platform was made with: the
//   platform posts each invocation there. It never runs inside
//   `recognitionTask` or `cancel` (callers hold a non-recursive lock there).
// - After `cancel` has returned, the handler of that task is not invoked again
//   (an invocation already posted is withdrawn or turned into a no-op).
// - Every error ends its task. After `endAudio` a final result or an error
//   follows, unless the task is cancelled first.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/pcm_buffer.h"
#include "platform/run_loop.h"

namespace olvek {

enum class AuthorizationStatus : int {
    NotDetermined = 0,
    Denied = 1,
    Restricted = 2,
    Authorized = 3,
};

// One word of a transcription and where it lies in the recognizer's audio:
// seconds from the first sample of the first buffer appended to any request
// of the recognizer (audio a request is given but that a task never hears
// still counts).
struct TranscriptionSegment {
    std::string substring;
    double timestamp = 0;
    double duration = 0;
    // 0 to 1.
    double confidence = 0;
};

struct RecognitionResult {
    bool isFinal = false;
    // The best transcription's formatted text; always valid UTF-8.
    std::string bestTranscription;
    // The best transcription's words in order; their substrings joined with
    // single blanks spell `bestTranscription`. Empty when the platform could
    // not place them (and always when the text is empty).
    std::vector<TranscriptionSegment> segments;
};

struct RecognitionError {
    std::string localizedDescription;
};

// One invocation may carry a result, an error, or both.
using ResultHandler =
    std::function<void(const std::optional<RecognitionResult>&, const std::optional<RecognitionError>&)>;

// Audio for one task. Buffers are taken in the order appended; the request
// keeps a reference to each buffer, never a copy the caller must manage.
class RecognitionRequest {
public:
    virtual ~RecognitionRequest() = default;
    virtual void setShouldReportPartialResults(bool value) = 0;
    virtual void setRequiresOnDeviceRecognition(bool value) = 0;
    // May block while the platform's audio queue is full.
    virtual void appendAudioPCMBuffer(std::shared_ptr<const PcmBuffer> buffer) = 0;
    // No more audio comes.
    virtual void endAudio() = 0;
};

class RecognitionTask {
public:
    virtual ~RecognitionTask() = default;
    // Stops the task at once; see the delivery promise above.
    virtual void cancel() = 0;
};

// A recognizer for one locale.
class SpeechRecognizer {
public:
    virtual ~SpeechRecognizer() = default;
    virtual std::shared_ptr<RecognitionRequest> makeRequest() = 0;
    // Starts recognizing `request`; returns at once.
    virtual std::shared_ptr<RecognitionTask> recognitionTask(std::shared_ptr<RecognitionRequest> request,
                                                             ResultHandler handler) = 0;
};

class SpeechPlatform {
public:
    virtual ~SpeechPlatform() = default;
    virtual void requestAuthorization(std::function<void(AuthorizationStatus)> callback) = 0;
    // No recognizer when the locale is not supported.
    virtual std::shared_ptr<SpeechRecognizer> makeRecognizer(const std::string& localeId) = 0;
};

// Defined by the speech platform linked into the executable. Result handlers
// are delivered through `mainLoop`.
std::unique_ptr<SpeechPlatform> makeSpeechPlatform(RunLoop& mainLoop);

} // namespace olvek
