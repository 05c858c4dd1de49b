// The speech platform of the scripted test helper: a ScriptedSpeechPlatform
// with a TextAudioScript, configured from OLVEK_TEST_PLATFORM, a list of
// "key=value" items separated by ";":
//   locales=en-US,zh-CN   locales with a recognizer (default en-US)
//   auth=3|0|1|2|never    the authorization answer (default 3)
//   authDelayMs=N         delay before the answer
//   end=final|error|none  what endAudio brings (default final)
//   log=PATH              appends a line per call of interest: "recognizer
//                         <locale>", "authorization", and for each buffer
//                         reaching the engine "<request> <frames> <samples...>"
//                         (at most 8 samples)
// Only this test fixture reads the environment; the real helper never does.
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "scripted_speech_platform.h"

namespace olvek {
namespace {

using testing::ScriptedSpeechPlatform;
using testing::ScriptedTask;
using testing::TextAudioScript;

void appendLine(const std::string& path, const std::string& line) {
    if (path.empty()) return;
    if (FILE* file = std::fopen(path.c_str(), "a")) {
        std::fputs((line + "\n").c_str(), file);
        std::fclose(file);
    }
}

class LoggingScript final : public testing::AudioScript {
public:
    LoggingScript(std::string end, std::string logPath) : inner_(std::move(end)), logPath_(std::move(logPath)) {}

    void onAppend(ScriptedTask& task, const PcmBuffer& buffer, std::uint64_t streamSample) override {
        std::string line = std::to_string(task.request->index) + " " + std::to_string(buffer.frameLength());
        for (std::uint32_t i = 0; i < buffer.frameLength() && i < 8; ++i) {
            line += " " + std::to_string(buffer.int16ChannelData()[i]);
        }
        appendLine(logPath_, line);
        inner_.onAppend(task, buffer, streamSample);
    }
    void onEndAudio(ScriptedTask& task) override { inner_.onEndAudio(task); }

private:
    TextAudioScript inner_;
    std::string logPath_;
};

// Logs the platform calls a host cannot see, then hands them on.
class LoggingPlatform final : public SpeechPlatform {
public:
    LoggingPlatform(std::unique_ptr<ScriptedSpeechPlatform> inner, std::string logPath)
        : inner_(std::move(inner)), logPath_(std::move(logPath)) {}
    void requestAuthorization(std::function<void(AuthorizationStatus)> callback) override {
        appendLine(logPath_, "authorization");
        inner_->requestAuthorization(std::move(callback));
    }
    std::shared_ptr<SpeechRecognizer> makeRecognizer(const std::string& localeId) override {
        appendLine(logPath_, "recognizer " + localeId);
        return inner_->makeRecognizer(localeId);
    }

private:
    std::unique_ptr<ScriptedSpeechPlatform> inner_;
    std::string logPath_;
};

} // namespace

std::unique_ptr<SpeechPlatform> makeSpeechPlatform(RunLoop& mainLoop) {
    auto platform = std::make_unique<ScriptedSpeechPlatform>(mainLoop);
    std::string end = "final", logPath;
    const char* config = std::getenv("OLVEK_TEST_PLATFORM");
    std::stringstream items(config ? config : "");
    std::string item;
    while (std::getline(items, item, ';')) {
        auto equals = item.find('=');
        if (equals == std::string::npos) continue;
        std::string key = item.substr(0, equals), value = item.substr(equals + 1);
        if (key == "locales") {
            platform->locales.clear();
            std::stringstream names(value);
            std::string name;
            while (std::getline(names, name, ',')) platform->locales.insert(name);
        } else if (key == "auth") {
            if (value == "never") {
                platform->authorization.reset();
            } else {
                platform->authorization = static_cast<AuthorizationStatus>(std::atoi(value.c_str()));
            }
        } else if (key == "authDelayMs") {
            platform->authorizationDelayMs = std::atoi(value.c_str());
        } else if (key == "end") {
            end = value;
        } else if (key == "log") {
            logPath = value;
        }
    }
    platform->script = std::make_shared<LoggingScript>(end, logPath);
    return std::make_unique<LoggingPlatform>(std::move(platform), logPath);
}

} // namespace olvek
