// The speech platform of the scripted test helper: a ScriptedSpeechPlatform
// with a TextAudioScript, configured from OLVEK_TEST_PLATFORM, a list of
// "key=value" items separated by ";":
//   locales=en-US,zh-CN   locales with a recognizer (default en-US)
//   auth=3|0|1|2|never    the authorization answer (default 3)
//   authDelayMs=N         delay before the answer
//   end=final|error|none  what endAudio brings (default final)
//   log=PATH              appends one line per buffer reaching the engine:
//                         "<request> <frames> <samples...>" (at most 8 samples)
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

class LoggingScript final : public testing::AudioScript {
public:
    LoggingScript(std::string end, std::string logPath) : inner_(std::move(end)), logPath_(std::move(logPath)) {}

    void onAppend(ScriptedTask& task, const PcmBuffer& buffer) override {
        if (!logPath_.empty()) {
            if (FILE* file = std::fopen(logPath_.c_str(), "a")) {
                std::fprintf(file, "%d %u", task.request->index, buffer.frameLength());
                for (std::uint32_t i = 0; i < buffer.frameLength() && i < 8; ++i) {
                    std::fprintf(file, " %d", buffer.int16ChannelData()[i]);
                }
                std::fputc('\n', file);
                std::fclose(file);
            }
        }
        inner_.onAppend(task, buffer);
    }
    void onEndAudio(ScriptedTask& task) override { inner_.onEndAudio(task); }

private:
    TextAudioScript inner_;
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
    return platform;
}

} // namespace olvek
