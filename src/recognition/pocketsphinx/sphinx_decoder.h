// The PocketSphinx decoder behind `UtteranceDecoder`.
#pragma once

#include <memory>

#include "recognition/pocketsphinx/model_locator.h"
#include "recognition/pocketsphinx/utterance_decoder.h"

namespace olvek::pocketsphinx {

// Decoder settings that trade latency against accuracy. The defaults are the
// helper's, measured on the librivox test clips streamed live (end of audio
// to final, mean over 5 clips; word error rate over their 71 words):
//   flat pass + best path  ~600-780 ms  36.6 %
//   best path only         ~210-300 ms  33.8 %
//   neither                ~210-260 ms  36.6 %
// The flat pass costs about half a second per utterance end and buys nothing
// on this model; the best-path pass costs too little to measure.
struct DecoderOptions {
    // The second, flat-lexicon search pass at the end of each utterance.
    bool flatPass = false;
    // The best-path search over the word lattice at the end of each utterance.
    bool bestPath = true;
    // Load only the dictionary entries whose word the language model knows
    // (see dictionary_trim.h): the same words, a lighter load.
    bool trimDictionary = true;
};

// Silences PocketSphinx's logging for the whole process: it writes to
// standard error by default, and the helper must write nothing there. Acts
// once per process, from any thread; `loadSphinxDecoder` calls it.
void silenceSphinxLogging();

// Loads the model into a new decoder. Nothing when the model fails to load,
// including the failures on which this PocketSphinx would end the process
// (those are caught on the calling thread and turned into a refusal). Takes a
// few hundred milliseconds for a large vocabulary. Any thread may call it;
// loads run one at a time in a process.
std::unique_ptr<UtteranceDecoder> loadSphinxDecoder(const ModelFiles& files, const DecoderOptions& options = {});

} // namespace olvek::pocketsphinx
