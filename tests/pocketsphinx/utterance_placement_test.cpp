// Where an utterance's frames lie in the stream, from what the decoder had
// searched after each chunk.
#include "recognition/pocketsphinx/utterance_placement.h"

#include <gtest/gtest.h>

namespace olvek::pocketsphinx {
namespace {

struct Searched {
    std::size_t frames;
    std::uint64_t streamEnd;
};

struct PlacementCase {
    const char* name;
    std::vector<Searched> chunks;
    std::size_t frame;
    std::uint64_t start; // where the frame starts in the stream, in samples
};

// The chunk ends here are where a frame's window ends (400 + 160 k samples
// into the utterance): the decoder has a remainder of less than a frame's
// step left over otherwise, and the frames lie up to 10 ms late.
TEST(UtterancePlacement, FramesLieJustBeforeTheEndOfTheChunkThatBroughtThem) {
    // Every sample searched: after the first chunk 9 frames (0 to 8; frame 8
    // covers samples 1280 to 1680), then 10 a chunk.
    const std::vector<Searched> steady{{9, 1680}, {19, 3280}, {29, 4880}};
    // Voice-activity detection left out the chunks from 3280 to 8080 and
    // released the 30 frames it held back when speech came, with the chunk
    // ending at 9680.
    const std::vector<Searched> resumed{{9, 1680}, {19, 3280}, {19, 4880}, {19, 6480}, {19, 8080}, {49, 9680}};
    // The utterance began at 32000 (2 s) in the stream; the chunk from 33680
    // to 35280 was lost to a failure.
    const std::vector<Searched> gap{{9, 33680}, {19, 36880}};
    const PlacementCase cases[] = {
        {"the first frame", steady, 0, 0},
        {"the last frame of a chunk", steady, 8, 1280},
        {"a frame of a later chunk", steady, 20, 3200},
        {"a released frame lies before its chunk", resumed, 19, 9680 - 400 - 29 * 160},
        {"the last released frame", resumed, 48, 9680 - 400},
        {"a frame in the utterance's first chunk", gap, 0, 32000},
        {"a frame after the gap lies after it", gap, 9, 36880 - 400 - 9 * 160},
        {"a frame the closing pass added follows the last chunk", steady, 30, 4800},
        {"no chunk yet: 10 ms a frame", {}, 5, 800},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UtterancePlacement placement;
        for (const auto& chunk : c.chunks) placement.searched(chunk.frames, chunk.streamEnd);
        EXPECT_EQ(placement.frameStart(c.frame), c.start);
    }
}

TEST(UtterancePlacement, AWordRunsFromItsFirstFrameToTheEndOfItsLast) {
    UtterancePlacement placement;
    placement.searched(9, 1680);
    placement.searched(19, 3280);
    const auto segment = placement.place(DecodedWord{"word", 5, 14, 0.25}, 16000);
    EXPECT_EQ(segment.substring, "word");
    EXPECT_DOUBLE_EQ(segment.timestamp, 800.0 / 16000);
    EXPECT_DOUBLE_EQ(segment.duration, (14 * 160 + 160 - 800) / 16000.0);
    EXPECT_DOUBLE_EQ(segment.confidence, 0.25);

    placement.reset();
    EXPECT_EQ(placement.frameStart(3), 480u) << "a new utterance forgets the old one's chunks";
}

} // namespace
} // namespace olvek::pocketsphinx
