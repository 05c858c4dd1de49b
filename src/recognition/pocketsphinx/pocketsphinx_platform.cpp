#include "pocketsphinx_platform.h"

#include <thread>

#include "recognition/pocketsphinx/digital_silence.h"
#include "recognition/pocketsphinx/model_locator.h"

namespace olvek::pocketsphinx {
namespace {

class SphinxRequest final : public RecognitionRequest {
public:
    explicit SphinxRequest(std::shared_ptr<RecognitionEngine> engine)
        : engine(std::move(engine)), session(this->engine->makeSession()) {}

    void setShouldReportPartialResults(bool value) override { reportPartials = value; }
    // Decoding is always on this device.
    void setRequiresOnDeviceRecognition(bool) override {}
    void appendAudioPCMBuffer(std::shared_ptr<const PcmBuffer> buffer) override {
        engine->append(session, std::move(buffer));
    }
    void endAudio() override { engine->endAudio(session); }

    const std::shared_ptr<RecognitionEngine> engine;
    const std::shared_ptr<EngineSession> session;
    bool reportPartials = true;
};

class SphinxTask final : public RecognitionTask {
public:
    SphinxTask(std::shared_ptr<RecognitionEngine> engine, std::shared_ptr<EngineSession> session)
        : engine_(std::move(engine)), session_(std::move(session)) {}
    void cancel() override { engine_->cancel(session_); }

private:
    const std::shared_ptr<RecognitionEngine> engine_;
    const std::shared_ptr<EngineSession> session_;
};

// A request this platform did not make has no engine session; its task ends
// with an error at once instead of hanging the caller's finish.
class RefusedTask final : public RecognitionTask {
public:
    void cancel() override { *cancelled_ = true; }
    std::shared_ptr<bool> cancelled_ = std::make_shared<bool>(false);
};

class SphinxRecognizer final : public SpeechRecognizer {
public:
    SphinxRecognizer(std::shared_ptr<RecognitionEngine> engine, RunLoop& loop) : engine_(std::move(engine)), loop_(loop) {}

    std::shared_ptr<RecognitionRequest> makeRequest() override { return std::make_shared<SphinxRequest>(engine_); }

    std::shared_ptr<RecognitionTask> recognitionTask(std::shared_ptr<RecognitionRequest> request,
                                                     ResultHandler handler) override {
        auto* own = dynamic_cast<SphinxRequest*>(request.get());
        if (own == nullptr || own->engine != engine_) {
            auto task = std::make_shared<RefusedTask>();
            loop_.post([cancelled = task->cancelled_, handler = std::move(handler)] {
                if (!*cancelled) handler(std::nullopt, RecognitionError{"The request belongs to another recognizer"});
            });
            return task;
        }
        engine_->startSession(own->session, std::move(handler), own->reportPartials);
        return std::make_shared<SphinxTask>(engine_, own->session);
    }

private:
    const std::shared_ptr<RecognitionEngine> engine_;
    RunLoop& loop_;
};

class SphinxPlatform final : public SpeechPlatform {
public:
    SphinxPlatform(RunLoop& loop, std::filesystem::path modelRoot, DecoderOptions decoderOptions,
                   EngineOptions engineOptions)
        : loop_(loop), modelRoot_(std::move(modelRoot)), decoderOptions_(decoderOptions),
          engineOptions_(engineOptions) {
        silenceSphinxLogging();
    }

    void requestAuthorization(std::function<void(AuthorizationStatus)> callback) override {
        std::thread([callback = std::move(callback)] { callback(AuthorizationStatus::Authorized); }).detach();
    }

    std::shared_ptr<SpeechRecognizer> makeRecognizer(const std::string& localeId) override {
        auto files = locateModel(modelRoot_, localeId);
        if (!files) return nullptr;
        // The load itself waits for the engine thread: the host gets "ready"
        // while the model loads, and its audio waits in the engine meanwhile.
        DecoderLoader loader = [files = *files, options = decoderOptions_]() -> std::unique_ptr<UtteranceDecoder> {
            auto decoder = loadSphinxDecoder(files, options);
            if (!decoder) return nullptr;
            return std::make_unique<DigitalSilenceGate>(std::move(decoder));
        };
        return makeEngineRecognizer(std::move(loader), loop_, engineOptions_);
    }

private:
    RunLoop& loop_;
    const std::filesystem::path modelRoot_;
    const DecoderOptions decoderOptions_;
    const EngineOptions engineOptions_;
};

} // namespace

std::filesystem::path defaultModelRoot() { return OLVEK_MODEL_ROOT; }

std::shared_ptr<SpeechRecognizer> makeEngineRecognizer(std::unique_ptr<UtteranceDecoder> decoder, RunLoop& mainLoop,
                                                       EngineOptions engineOptions) {
    auto engine = std::make_shared<RecognitionEngine>(std::move(decoder), mainLoop, engineOptions);
    return std::make_shared<SphinxRecognizer>(std::move(engine), mainLoop);
}

std::shared_ptr<SpeechRecognizer> makeEngineRecognizer(DecoderLoader loader, RunLoop& mainLoop,
                                                       EngineOptions engineOptions) {
    auto engine = std::make_shared<RecognitionEngine>(std::move(loader), mainLoop, engineOptions);
    return std::make_shared<SphinxRecognizer>(std::move(engine), mainLoop);
}

std::unique_ptr<SpeechPlatform> makePocketSphinxPlatform(RunLoop& mainLoop, std::filesystem::path modelRoot,
                                                         DecoderOptions decoderOptions, EngineOptions engineOptions) {
    return std::make_unique<SphinxPlatform>(mainLoop, std::move(modelRoot), decoderOptions, engineOptions);
}

} // namespace olvek::pocketsphinx
