#include "digital_silence.h"

#include <algorithm>

namespace olvek::pocketsphinx {

std::size_t digitalSilencePrefix(const std::int16_t* samples, std::size_t count) {
    std::size_t n = 0;
    while (n < count && samples[n] >= -kDigitalSilenceLevel && samples[n] <= kDigitalSilenceLevel) ++n;
    return n;
}

DigitalSilenceGate::DigitalSilenceGate(std::unique_ptr<UtteranceDecoder> inner) : inner_(std::move(inner)) {}

bool DigitalSilenceGate::startUtterance() {
    passed_ = 0;
    dropped_ = 0;
    drops_.clear();
    return inner_->startUtterance();
}

bool DigitalSilenceGate::process(const std::int16_t* samples, std::size_t count) {
    const std::size_t drop = inner_->inSpeech() ? 0 : digitalSilencePrefix(samples, count);
    if (drop > 0) {
        dropped_ += drop;
        // Drops at one position (no audio passed on between) merge.
        if (!drops_.empty() && drops_.back().first == passed_) {
            drops_.back().second = dropped_;
        } else {
            drops_.emplace_back(passed_, dropped_);
        }
    }
    if (drop == count) return true;
    passed_ += count - drop;
    return inner_->process(samples + drop, count - drop);
}

bool DigitalSilenceGate::inSpeech() const { return inner_->inSpeech(); }

std::string DigitalSilenceGate::hypothesis() { return inner_->hypothesis(); }

bool DigitalSilenceGate::endUtterance() { return inner_->endUtterance(); }

bool DigitalSilenceGate::decodeAgain() { return inner_->decodeAgain(); }

std::size_t DigitalSilenceGate::givenSample(std::size_t decoded) const {
    // The last drop at or before `decoded`: a word that begins where audio
    // was dropped began after the dropped audio.
    const auto after = std::upper_bound(drops_.begin(), drops_.end(), decoded,
                                        [](std::size_t at, const auto& drop) { return at < drop.first; });
    return decoded + (after == drops_.begin() ? 0 : std::prev(after)->second);
}

} // namespace olvek::pocketsphinx
