// A speech platform with no recognizer for any locale, for builds without a
// speech engine: the helper then ends with status 2 after "hello".
#include "recognition/speech_platform.h"

#include <thread>

namespace olvek {
namespace {

class NoSpeechPlatform final : public SpeechPlatform {
public:
    void requestAuthorization(std::function<void(AuthorizationStatus)> callback) override {
        std::thread([callback = std::move(callback)] { callback(AuthorizationStatus::Denied); }).detach();
    }
    std::shared_ptr<SpeechRecognizer> makeRecognizer(const std::string&) override { return nullptr; }
};

} // namespace

std::unique_ptr<SpeechPlatform> makeSpeechPlatform(RunLoop&) { return std::make_unique<NoSpeechPlatform>(); }

} // namespace olvek
