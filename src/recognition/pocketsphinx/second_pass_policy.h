// Whether an utterance that just ended is decoded a second time for its
// final. Pure decision over plain data, like task_policy.h.
//
// Why: PocketSphinx normalizes the audio by a running cepstral mean, which
// starts from the model's guess and settles only after several seconds of
// speech. The first utterances of a run are decoded before it has settled,
// and lose many words (on the development set of bench/accuracy.py, a whole
// utterance decoded at once with its own mean errs far less). Once the
// utterance has ended, the mean has learned from it; decoding its audio again
// then gives the final. Later utterances find the mean settled and are not
// decoded again, so the extra decoding stays bounded.
#pragma once

#include <cstddef>

namespace olvek::pocketsphinx {

struct SecondPassOptions {
    // Audio the decoder must have decoded before an utterance for its mean to
    // count as settled; 0 turns the second pass off. 8 s, the length of
    // PocketSphinx's running-mean window.
    std::size_t settledAfterSamples = 8 * 16000;
};

struct EndedUtterance {
    bool heardSpeech = false;
    // The live pass found words in it. One that did not was quiet or noise
    // the voice-activity detector took for speech: decoding it again finds
    // nothing more and would teach the mean that quiet a second time, which
    // costs the next utterance its words.
    bool heardWords = false;
    // Samples the decoder decoded in this utterance, and before it in its life.
    std::size_t samples = 0;
    std::size_t decodedBefore = 0;
    // The task's audio has ended and its final waits for this pass: it must
    // fit in what is left of the time for it.
    bool finishing = false;
    double secondsLeft = 0;
    // The second pass's predicted decoding time.
    double predictedSeconds = 0;
};

// Returns whether to decode the utterance again.
bool secondPassWanted(const EndedUtterance& utterance, const SecondPassOptions& options);

} // namespace olvek::pocketsphinx
