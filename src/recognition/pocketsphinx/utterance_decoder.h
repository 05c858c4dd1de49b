// What the recognition engine needs of a speech decoder: utterances of 16 kHz
// 16-bit mono audio, a voice-activity flag, and the best text so far with
// where each of its words lies.
//
// One thread uses a decoder at a time (the engine thread); nothing here is
// thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace olvek::pocketsphinx {

// Decoder frames are 10 ms apart, and each analyses 25 ms of audio: it is
// searched once that much has come.
inline constexpr std::size_t kSamplesPerFrame = 160;
inline constexpr std::size_t kFrameWindowSamples = 400;

// One word of a hypothesis, placed in its utterance.
struct DecodedWord {
    std::string text;
    // First and last frame of the word, inclusive, counted from the
    // utterance's first sample.
    int firstFrame = 0;
    int lastFrame = 0;
    // Posterior probability, 0 to 1; 1 where the decoder has none (partial
    // hypotheses).
    double confidence = 1;
};

class UtteranceDecoder {
public:
    virtual ~UtteranceDecoder() = default;
    // Begins an utterance; false when the decoder refuses.
    virtual bool startUtterance() = 0;
    // Decodes `count` samples of the open utterance; false on failure.
    virtual bool process(const std::int16_t* samples, std::size_t count) = 0;
    // Frames of the open utterance searched so far. Frames that voice-activity
    // detection leaves out are not counted; frames it held back count once
    // released.
    virtual std::size_t frames() const = 0;
    // Whether voice-activity detection says speech is going on.
    virtual bool inSpeech() const = 0;
    // The best text of the open or just ended utterance, copied out of the
    // decoder (its own storage goes away with the next utterance). Empty when
    // no words were recognized. Bytes as the decoder gives them.
    virtual std::string hypothesis() = 0;
    // The words of `hypothesis`, in order, each where it lies: exactly its
    // words (fillers such as silences and noises are left out), so that
    // joined with single blanks they spell it. Empty when the decoder cannot
    // place them.
    virtual std::vector<DecodedWord> words() = 0;
    // Ends the open utterance, running whatever final passes the decoder is
    // configured for; `hypothesis` then gives the utterance's final text.
    virtual bool endUtterance() = 0;
    // Decodes the audio of the utterance that just ended again, as a new
    // utterance that ends at once, with what the decoder learned from the
    // first pass (PocketSphinx: the cepstral mean). `hypothesis` then gives
    // this pass's text. False when the decoder kept no audio for it or the
    // pass failed; the decoder is then ready for a new utterance, and the
    // first pass's text stands.
    virtual bool decodeAgain() { return false; }
    // Samples that `process` was given in the open (or just ended) utterance
    // and left undecoded on purpose (digital silence before speech, see
    // digital_silence.h). 0 for a decoder that decodes everything.
    virtual std::size_t droppedSamples() const { return 0; }
};

} // namespace olvek::pocketsphinx
