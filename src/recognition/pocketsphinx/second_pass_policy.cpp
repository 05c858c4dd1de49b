#include "second_pass_policy.h"

namespace olvek::pocketsphinx {

bool secondPassWanted(const EndedUtterance& utterance, const SecondPassOptions& options) {
    if (!utterance.heardSpeech || !utterance.heardWords || utterance.samples == 0) return false;
    if (utterance.decodedBefore >= options.settledAfterSamples) return false;
    // At the end of audio the final must not wait past its limit: the first
    // pass's text is then the final.
    return !utterance.finishing || utterance.predictedSeconds < utterance.secondsLeft;
}

} // namespace olvek::pocketsphinx
