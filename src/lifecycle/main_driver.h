// The helper's whole life on the main thread: launch and connection, the
// start-up of recognition, the audio loop and the shut-down.
//
// Exit statuses: 0 after a normal run; 2 no recognizer for the locale; 3
// speech recognition not authorized; 4 launch arguments missing or invalid,
// or no connection could be set up. The early exits end the process at once,
// finishing nothing and closing nothing.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "platform/semaphore.h"
#include "recognition/continuous_speech_recognizer.h"
#include "recognition/speech_platform.h"

namespace olvek {

extern std::string lang;
extern std::string localeId;
extern std::shared_ptr<Semaphore> sem;
extern std::atomic<bool> authOk;
extern std::shared_ptr<ContinuousSpeechRecognizer> pipeline;

// Seconds the start-up waits for the authorization callback.
inline constexpr double kAuthorizationWaitSeconds = 15;
// Run-loop turn after each appended buffer, and the finishing limit.
inline constexpr double kAppendTurnSeconds = 0.005;
inline constexpr double kFinishTimeoutSeconds = 3;

// Runs the helper with the process arguments already set
// (`setProcessArguments`). Returns 0 after a normal run; the early exits do
// not return.
int runHelper(SpeechPlatform& platform);

} // namespace olvek
