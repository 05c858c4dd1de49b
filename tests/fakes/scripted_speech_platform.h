// A speech platform for tests: records every call made to it and lets the
// test deliver any result or error, for any task, current or old, in any
// order. Deliveries are posted to the run loop the platform was made with, as
// a real platform's are. An optional `AudioScript` answers appended audio and
// endAudio by itself (the scripted helper executable uses one).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "recognition/speech_platform.h"

namespace olvek::testing {

class ScriptedTask;
class AudioScript;

class ScriptedRequest final : public RecognitionRequest {
public:
    ScriptedRequest(int index, std::vector<std::string>& log, std::shared_ptr<AudioScript> script,
                    std::uint64_t& streamSamples)
        : index(index), log_(log), script_(std::move(script)), streamSamples_(streamSamples) {}
    void setShouldReportPartialResults(bool value) override { shouldReportPartialResults = value; }
    void setRequiresOnDeviceRecognition(bool value) override { requiresOnDeviceRecognition = value; }
    void appendAudioPCMBuffer(std::shared_ptr<const PcmBuffer> buffer) override;
    void endAudio() override;

    const int index; // 1 for the first request made
    bool shouldReportPartialResults = false;
    bool requiresOnDeviceRecognition = true;
    std::vector<std::shared_ptr<const PcmBuffer>> buffers;
    int endAudioCalls = 0;
    std::weak_ptr<ScriptedTask> task;

private:
    std::vector<std::string>& log_;
    std::shared_ptr<AudioScript> script_;
    std::uint64_t& streamSamples_; // the recognizer's stream so far
};

class ScriptedTask final : public RecognitionTask, public std::enable_shared_from_this<ScriptedTask> {
public:
    ScriptedTask(int index, std::shared_ptr<ScriptedRequest> request, ResultHandler handler, RunLoop& loop,
                 std::vector<std::string>& log)
        : index(index), request(std::move(request)), handler(std::move(handler)), loop_(loop), log_(log) {}
    void cancel() override;

    // Posts one handler invocation to the run loop.
    void deliver(std::optional<RecognitionResult> result, std::optional<RecognitionError> error = std::nullopt);
    void deliverPartial(const std::string& text) { deliver(RecognitionResult{false, text, {}}); }
    void deliverFinal(const std::string& text) { deliver(RecognitionResult{true, text, {}}); }
    void deliverError(const std::string& message) { deliver(std::nullopt, RecognitionError{message}); }

    const int index; // 1 for the first task made
    const std::shared_ptr<ScriptedRequest> request;
    const ResultHandler handler;
    int cancelCalls = 0;

private:
    RunLoop& loop_;
    std::vector<std::string>& log_;
};

// Answers a task's audio by itself. Called on the main thread.
class AudioScript {
public:
    virtual ~AudioScript() = default;
    // `streamSample`: where the buffer's first sample lies among all the
    // samples appended to the recognizer's requests.
    virtual void onAppend(ScriptedTask& task, const PcmBuffer& buffer, std::uint64_t streamSample) = 0;
    virtual void onEndAudio(ScriptedTask& task) = 0;
};

class ScriptedSpeechPlatform final : public SpeechPlatform {
public:
    explicit ScriptedSpeechPlatform(RunLoop& loop) : loop_(loop) {}

    // Configuration.
    std::set<std::string> locales{"en-US"};
    // Nothing: the callback never comes.
    std::optional<AuthorizationStatus> authorization = AuthorizationStatus::Authorized;
    int authorizationDelayMs = 0;
    std::shared_ptr<AudioScript> script;
    // Samples appended to all requests so far.
    std::uint64_t streamSamples = 0;

    void requestAuthorization(std::function<void(AuthorizationStatus)> callback) override;
    std::shared_ptr<SpeechRecognizer> makeRecognizer(const std::string& localeId) override;

    // What happened, in order: "recognizer <locale>", "authorization",
    // "request <n>", "task <n>", "append <request> <frames>", "endAudio <request>",
    // "cancel <task>".
    std::vector<std::string> log;
    std::vector<std::shared_ptr<ScriptedRequest>> requests;
    std::vector<std::shared_ptr<ScriptedTask>> tasks;

    ScriptedTask& task(int index) { return *tasks.at(static_cast<std::size_t>(index - 1)); }
    std::shared_ptr<ScriptedTask> lastTask() { return tasks.empty() ? nullptr : tasks.back(); }

    RunLoop& loop() { return loop_; }

private:
    RunLoop& loop_;
};

// The command texts understood by `TextAudioScript`, written into samples one
// character per sample after a marker, so a test puts the transcript it
// expects into the audio itself.
std::vector<std::int16_t> scriptSamples(const std::string& command);
// The command a buffer carries, or nothing for plain audio.
std::optional<std::string> scriptCommand(const PcmBuffer& buffer);

// Commands, one per buffer:
//   "W:<words>"  add words to the task's transcript; a partial with all of it.
//                The words lie evenly across the command's buffer, in the
//                stream of all audio appended, with confidence 0.9.
//   "F"          a final with the transcript so far
//   "E:<text>"   an error
//   "FE:<text>"  a final and an error in one invocation
// Plain audio adds nothing. At endAudio: a final with the transcript (`onEnd`
// "final"), an error ("error"), or nothing ("none").
class TextAudioScript final : public AudioScript {
public:
    explicit TextAudioScript(std::string onEnd = "final") : onEnd_(std::move(onEnd)) {}
    void onAppend(ScriptedTask& task, const PcmBuffer& buffer, std::uint64_t streamSample) override;
    void onEndAudio(ScriptedTask& task) override;

private:
    std::string onEnd_;
    std::map<int, RecognitionResult> transcripts_;
    std::set<int> ended_;
};

} // namespace olvek::testing
