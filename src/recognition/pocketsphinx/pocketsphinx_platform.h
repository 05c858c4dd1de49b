// The speech platform on Linux: PocketSphinx with the models installed under
// a model root (see model_locator.h for the layout).
//
// - Authorization: there is no speech permission here; the callback reports
//   authorized, from a thread of its own.
// - `makeRecognizer` finds the locale's model and checks it (see
//   model_locator.h) and returns at once: no model, or one that fails the
//   checks, gives no recognizer. The model loads on the recognizer's engine
//   thread; audio appended meanwhile waits for it, and a model that passes the
//   checks but fails to load ends every task with an error (see
//   recognition_engine.h). Each recognizer owns one decoder and one engine
//   thread for its whole life.
// - Recognizers, requests and tasks keep what they need alive themselves; the
//   platform object may go away first.
#pragma once

#include <filesystem>
#include <memory>

#include "recognition/pocketsphinx/recognition_engine.h"
#include "recognition/pocketsphinx/sphinx_decoder.h"
#include "recognition/speech_platform.h"

namespace olvek::pocketsphinx {

// The model root this build was configured with (OLVEK_MODEL_ROOT).
std::filesystem::path defaultModelRoot();

// A recognizer over `decoder`, as `makeRecognizer` builds one around a loaded
// model; for tests and measurements with a decoder of their own.
std::shared_ptr<SpeechRecognizer> makeEngineRecognizer(std::unique_ptr<UtteranceDecoder> decoder, RunLoop& mainLoop,
                                                       EngineOptions engineOptions = {});
// A recognizer whose engine thread makes its decoder with `loader` first.
std::shared_ptr<SpeechRecognizer> makeEngineRecognizer(DecoderLoader loader, RunLoop& mainLoop,
                                                       EngineOptions engineOptions = {});

std::unique_ptr<SpeechPlatform> makePocketSphinxPlatform(RunLoop& mainLoop, std::filesystem::path modelRoot,
                                                         DecoderOptions decoderOptions = {},
                                                         EngineOptions engineOptions = {});

} // namespace olvek::pocketsphinx
