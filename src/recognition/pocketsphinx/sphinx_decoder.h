// The PocketSphinx decoder behind `UtteranceDecoder`.
#pragma once

#include <memory>

#include "recognition/pocketsphinx/model_locator.h"
#include "recognition/pocketsphinx/utterance_decoder.h"

namespace olvek::pocketsphinx {

// Decoder settings that trade latency against accuracy. The defaults are the
// ones the helper uses (chosen by measuring "__END__" to final against word
// error rate on recorded speech; see bench/pocketsphinx).
struct DecoderOptions {
    // The second, flat-lexicon search pass at the end of each utterance.
    bool flatPass = true;
    // The best-path search over the word lattice at the end of each utterance.
    bool bestPath = true;
};

// Silences PocketSphinx's logging for the whole process: it writes to
// standard error by default, and the helper must write nothing there. Safe to
// call more than once; `loadSphinxDecoder` calls it.
void silenceSphinxLogging();

// Loads the model into a new decoder. Nothing when the model fails to load,
// including the failures on which this PocketSphinx would end the process
// (those are caught on the calling thread and turned into a refusal). Takes a
// few hundred milliseconds for a large vocabulary.
std::unique_ptr<UtteranceDecoder> loadSphinxDecoder(const ModelFiles& files, const DecoderOptions& options = {});

} // namespace olvek::pocketsphinx
