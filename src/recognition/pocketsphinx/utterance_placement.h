// Where the frames of the decoder's open utterance lie in the recognizer's
// stream, so that its words get times counted from the stream's first
// sample.
//
// The decoder's frame numbers cannot be turned into times by themselves: its
// voice-activity detection leaves quiet frames out of the search (they get
// no number), and when speech begins it releases the frames it held back
// from before. What holds is that the frames searched while the decoder took
// one chunk end with that chunk: so after every chunk the engine records how
// many frames the utterance has in all and where the chunk ends in the
// stream, and a frame lies just before the end of the chunk that brought it.
// Gaps in the stream (audio no task decoded) need no special care.
//
// Plain data; used by the engine thread only.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "recognition/pocketsphinx/utterance_decoder.h"
#include "recognition/speech_platform.h"

namespace olvek::pocketsphinx {

class UtterancePlacement {
public:
    // A new utterance: no frames yet.
    void reset() { chunks_.clear(); }

    // After a chunk: the utterance has `frames` frames in all, and the chunk
    // ends at `streamSample`.
    void searched(std::size_t frames, std::uint64_t streamSample) { chunks_.push_back(Chunk{frames, streamSample}); }

    // Where frame `frame` of the utterance starts in the stream, in samples.
    std::uint64_t frameStart(std::size_t frame) const {
        if (chunks_.empty()) return frame * kSamplesPerFrame;
        // The first chunk after which the utterance had this frame.
        const auto brought = std::upper_bound(chunks_.begin(), chunks_.end(), frame,
                                              [](std::size_t f, const Chunk& chunk) { return f < chunk.frames; });
        if (brought == chunks_.end()) {
            // Frames the closing pass added after the last chunk: they follow it.
            const Chunk& last = chunks_.back();
            return startBefore(last.streamEnd, 0) + (frame + 1 - last.frames) * kSamplesPerFrame;
        }
        return startBefore(brought->streamEnd, brought->frames - 1 - frame);
    }

    // `word` as a segment of the stream, times in seconds at `sampleRate`.
    TranscriptionSegment place(const DecodedWord& word, double sampleRate) const {
        const auto first = static_cast<std::size_t>(std::max(word.firstFrame, 0));
        const auto last = std::max(first, static_cast<std::size_t>(std::max(word.lastFrame, 0)));
        const double start = static_cast<double>(frameStart(first)) / sampleRate;
        const double end = static_cast<double>(frameStart(last) + kSamplesPerFrame) / sampleRate;
        return TranscriptionSegment{word.text, start, std::max(end - start, 0.0), word.confidence};
    }

private:
    struct Chunk {
        std::size_t frames = 0;      // frames of the utterance after the chunk
        std::uint64_t streamEnd = 0; // where the chunk ends in the stream
    };

    // The start of the frame `framesBefore` frames before the last frame
    // searched once audio up to `streamEnd` had come.
    static std::uint64_t startBefore(std::uint64_t streamEnd, std::size_t framesBefore) {
        const std::uint64_t back = kFrameWindowSamples + framesBefore * kSamplesPerFrame;
        return streamEnd > back ? streamEnd - back : 0;
    }

    std::vector<Chunk> chunks_;
};

} // namespace olvek::pocketsphinx
