#include "scripted_speech_platform.h"

#include <algorithm>
#include <chrono>
#include <sstream>
#include <thread>

namespace olvek::testing {
namespace {

constexpr std::int16_t kMarker[] = {0x7ABC, 0x7ABD};

class ScriptedRecognizer final : public SpeechRecognizer {
public:
    explicit ScriptedRecognizer(ScriptedSpeechPlatform& platform) : platform_(platform) {}

    std::shared_ptr<RecognitionRequest> makeRequest() override {
        int index = static_cast<int>(platform_.requests.size()) + 1;
        auto request = std::make_shared<ScriptedRequest>(index, platform_.log, platform_.script, platform_.streamSamples);
        platform_.requests.push_back(request);
        platform_.log.push_back("request " + std::to_string(index));
        return request;
    }

    std::shared_ptr<RecognitionTask> recognitionTask(std::shared_ptr<RecognitionRequest> request,
                                                     ResultHandler handler) override {
        auto scripted = std::dynamic_pointer_cast<ScriptedRequest>(request);
        int index = static_cast<int>(platform_.tasks.size()) + 1;
        auto task = std::make_shared<ScriptedTask>(index, scripted, std::move(handler), platform_.loop(), platform_.log);
        scripted->task = task;
        platform_.tasks.push_back(task);
        platform_.log.push_back("task " + std::to_string(index));
        return task;
    }

    ScriptedSpeechPlatform& platform_;
};

} // namespace

void ScriptedRequest::appendAudioPCMBuffer(std::shared_ptr<const PcmBuffer> buffer) {
    log_.push_back("append " + std::to_string(index) + " " + std::to_string(buffer->frameLength()));
    buffers.push_back(buffer);
    const std::uint64_t streamSample = streamSamples_;
    streamSamples_ += buffer->frameLength();
    if (auto owner = task.lock(); owner && script_) script_->onAppend(*owner, *buffer, streamSample);
}

void ScriptedRequest::endAudio() {
    log_.push_back("endAudio " + std::to_string(index));
    ++endAudioCalls;
    if (auto owner = task.lock(); owner && script_) script_->onEndAudio(*owner);
}

void ScriptedTask::cancel() {
    log_.push_back("cancel " + std::to_string(index));
    ++cancelCalls;
}

void ScriptedTask::deliver(std::optional<RecognitionResult> result, std::optional<RecognitionError> error) {
    loop_.post([handler = handler, result = std::move(result), error = std::move(error)] { handler(result, error); });
}

void ScriptedSpeechPlatform::requestAuthorization(std::function<void(AuthorizationStatus)> callback) {
    log.push_back("authorization");
    if (!authorization) return;
    std::thread([callback = std::move(callback), status = *authorization, delay = authorizationDelayMs] {
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        callback(status);
    }).detach();
}

std::shared_ptr<SpeechRecognizer> ScriptedSpeechPlatform::makeRecognizer(const std::string& localeId) {
    log.push_back("recognizer " + localeId);
    if (!locales.count(localeId)) return nullptr;
    return std::make_shared<ScriptedRecognizer>(*this);
}

std::vector<std::int16_t> scriptSamples(const std::string& command) {
    std::vector<std::int16_t> samples(std::begin(kMarker), std::end(kMarker));
    for (unsigned char c : command) samples.push_back(static_cast<std::int16_t>(c));
    return samples;
}

std::optional<std::string> scriptCommand(const PcmBuffer& buffer) {
    const std::int16_t* samples = buffer.int16ChannelData();
    std::uint32_t length = buffer.frameLength();
    if (length < 2 || samples[0] != kMarker[0] || samples[1] != kMarker[1]) return std::nullopt;
    std::string command;
    for (std::uint32_t i = 2; i < length; ++i) command.push_back(static_cast<char>(samples[i] & 0xFF));
    return command;
}

void TextAudioScript::onAppend(ScriptedTask& task, const PcmBuffer& buffer, std::uint64_t streamSample) {
    if (ended_.count(task.index)) return;
    auto command = scriptCommand(buffer);
    if (!command) return;
    RecognitionResult& transcript = transcripts_[task.index];
    if (command->rfind("W:", 0) == 0) {
        std::vector<std::string> words;
        std::istringstream split(command->substr(2));
        for (std::string word; split >> word;) words.push_back(word);
        const double start = static_cast<double>(streamSample) / 16000;
        const double each = static_cast<double>(buffer.frameLength()) / 16000 / static_cast<double>(std::max<std::size_t>(words.size(), 1));
        for (std::size_t i = 0; i < words.size(); ++i) {
            transcript.segments.push_back({words[i], start + static_cast<double>(i) * each, each, 0.9});
            transcript.bestTranscription += (transcript.bestTranscription.empty() ? "" : " ") + words[i];
        }
        task.deliver(RecognitionResult{false, transcript.bestTranscription, transcript.segments});
    } else if (*command == "F") {
        ended_.insert(task.index);
        task.deliver(RecognitionResult{true, transcript.bestTranscription, transcript.segments});
    } else if (command->rfind("E:", 0) == 0) {
        ended_.insert(task.index);
        task.deliverError(command->substr(2));
    } else if (command->rfind("FE:", 0) == 0) {
        ended_.insert(task.index);
        task.deliver(RecognitionResult{true, transcript.bestTranscription, transcript.segments},
                     RecognitionError{command->substr(3)});
    }
}

void TextAudioScript::onEndAudio(ScriptedTask& task) {
    if (ended_.count(task.index)) return;
    ended_.insert(task.index);
    if (onEnd_ == "final") {
        const RecognitionResult& transcript = transcripts_[task.index];
        task.deliver(RecognitionResult{true, transcript.bestTranscription, transcript.segments});
    }
    if (onEnd_ == "error") task.deliverError("scripted end-of-audio error");
}

} // namespace olvek::testing
