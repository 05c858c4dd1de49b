#include "main_driver.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "hostlink/audio_line.h"
#include "hostlink/event_messages.h"
#include "hostlink/line_transport.h"
#include "lifecycle/launch_options.h"

namespace olvek {

std::string lang;
std::string localeId;
std::shared_ptr<Semaphore> sem;
std::atomic<bool> authOk{false};
std::shared_ptr<ContinuousSpeechRecognizer> pipeline;

namespace {

[[noreturn]] void exitNow(int status) {
    std::fflush(stdout);
    std::_Exit(status);
}

} // namespace

int runHelper(SpeechPlatform& platform) {
    socketInputStream.reset();
    socketOutputStream.reset();

    lang = selectLanguage();
    auto options = checkLaunchOptions();
    if (!options) {
        // Whoever started the helper wrongly may have closed its end of the
        // output already; the status must still say why, not SIGPIPE.
        std::signal(SIGPIPE, SIG_IGN);
        emit(errorEvent(kLaunchArgumentsMessage));
        exitNow(4);
    }
    if (!connectSocket(options->port, options->token)) exitNow(4);
    localeId = mapLocale(lang);

    auto recognizer = platform.makeRecognizer(localeId);
    if (!recognizer) {
        emit(errorEvent(kRecognizerUnavailablePrefix + localeId));
        exitNow(2);
    }

    sem = std::make_shared<Semaphore>(0);
    authOk = false;
    platform.requestAuthorization([signal = sem](AuthorizationStatus status) {
        authOk = status == AuthorizationStatus::Authorized;
        signal->signal();
    });
    sem->wait(deadlineAfter(kAuthorizationWaitSeconds));
    if (!authOk) {
        emit(errorEvent(kNotAuthorizedMessage));
        exitNow(3);
    }

    pipeline = ContinuousSpeechRecognizer::create(std::move(recognizer), localeId, RunLoop::main(), timingsRequested());
    emit(readyEvent(localeId));
    format = createAudioFormat();

    while (auto line = readSocketLine()) {
        if (*line == "__END__") break;
        auto buffer = decodeAudioLine(*line);
        if (!buffer) continue;
        pipeline->append(std::move(buffer));
        RunLoop::main().runFor(kAppendTurnSeconds);
    }

    pipeline->finish(kFinishTimeoutSeconds);
    emit(stoppedEvent());
    if (socketInputStream) socketInputStream->close();
    if (socketOutputStream) socketOutputStream->close();
    return 0;
}

} // namespace olvek
