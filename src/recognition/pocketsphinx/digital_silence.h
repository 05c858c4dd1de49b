// Digital silence: the near-zero samples a gated or muted microphone sends
// (exact zeros, or the +-1 and +-2 of a converter's last bits).
//
// PocketSphinx must not hear a stretch of it before speech: its noise
// estimate settles on the empty signal, and the speech that follows is then
// taken for little more than noise (one second of +-1 before "he was not an
// ill disposed young man" made it "you push up by"). Once the decoder hears
// speech, digital silence is passed on like any audio, so that voice-activity
// detection still sees the pause that ends the speech.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "recognition/pocketsphinx/utterance_decoder.h"

namespace olvek::pocketsphinx {

// The largest magnitude a digitally silent sample has.
inline constexpr std::int16_t kDigitalSilenceLevel = 2;

// Returns how many of the first samples are digital silence: `count` when all
// of them are, 0 when the first is not.
std::size_t digitalSilencePrefix(const std::int16_t* samples, std::size_t count);

// A decoder that keeps digital silence from the decoder it wraps while that
// one hears no speech: of each block given to `process`, the digitally silent
// samples at its start are dropped. Everything else passes unchanged. Used
// from one thread at a time, like any decoder.
class DigitalSilenceGate final : public UtteranceDecoder {
public:
    explicit DigitalSilenceGate(std::unique_ptr<UtteranceDecoder> inner);

    bool startUtterance() override;
    bool process(const std::int16_t* samples, std::size_t count) override;
    bool inSpeech() const override;
    std::size_t frames() const override { return inner_->frames(); }
    std::string hypothesis() override;
    std::vector<DecodedWord> words() override { return inner_->words(); }
    bool endUtterance() override;
    // The wrapped decoder's second pass; the drops stay those of the first,
    // since the second hears what was passed on.
    bool decodeAgain() override;

    // Where sample `decoded` of what the wrapped decoder heard in the open
    // (or just ended) utterance lies in the audio given to `process` since
    // `startUtterance`: the dropped samples before it added back. Maps the
    // wrapped decoder's word positions to the stream.
    std::size_t givenSample(std::size_t decoded) const;
    std::size_t droppedSamples() const override { return dropped_; }

private:
    std::unique_ptr<UtteranceDecoder> inner_;
    // Samples passed on in this utterance, and the drops: (samples passed on
    // before the drop, samples dropped so far including it).
    std::size_t passed_ = 0;
    std::size_t dropped_ = 0;
    std::vector<std::pair<std::size_t, std::size_t>> drops_;
};

} // namespace olvek::pocketsphinx
