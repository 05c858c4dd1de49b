// The helper's PocketSphinx platform with engine settings given at build
// time, so the benchmark can put a proposed setting beside the shipped one in
// the same run. Only the benchmark builds this; the shipped helper keeps the
// engine's defaults.
//   OLVEK_BENCH_PARTIAL_MS   decoded speech between two partial results
//   OLVEK_BENCH_NO_FLAT_PASS no flat-lexicon pass at the end of utterances
#include "recognition/pocketsphinx/pocketsphinx_platform.h"

namespace olvek {

std::unique_ptr<SpeechPlatform> makeSpeechPlatform(RunLoop& mainLoop) {
    pocketsphinx::EngineOptions engine;
#ifdef OLVEK_BENCH_PARTIAL_MS
    engine.policy.partialIntervalSamples = 16 * OLVEK_BENCH_PARTIAL_MS;
#endif
    pocketsphinx::DecoderOptions decoder;
#ifdef OLVEK_BENCH_NO_FLAT_PASS
    decoder.flatPass = false;
#endif
    return pocketsphinx::makePocketSphinxPlatform(mainLoop, pocketsphinx::defaultModelRoot(), decoder, engine);
}

} // namespace olvek
