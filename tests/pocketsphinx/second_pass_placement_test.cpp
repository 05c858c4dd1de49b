// Where a second pass's words lie, from the live pass's placed words.
#include "recognition/pocketsphinx/second_pass_placement.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace olvek::pocketsphinx {
namespace {

struct Placed {
    std::string word;
    double start;
    double end;
};

struct PlacementCase {
    const char* name;
    std::vector<DecodedWord> again; // second pass: text, frames, confidence
    std::vector<Placed> live;       // the live pass, placed
    UtteranceEnd end;               // the second pass's frames; the search's end, in seconds
    std::vector<Placed> expected;
};

class SecondPassPlacement : public ::testing::TestWithParam<PlacementCase> {};

TEST_P(SecondPassPlacement, KeepsTheLivePlacesAndFillsInBetween) {
    const PlacementCase& c = GetParam();
    std::vector<TranscriptionSegment> live;
    for (const auto& p : c.live) live.push_back(TranscriptionSegment{p.word, p.start, p.end - p.start, 0.5});
    const auto placed = placeSecondPass(c.again, live, c.end);
    ASSERT_EQ(placed.size(), c.expected.size());
    double previousEnd = 0;
    for (std::size_t i = 0; i < placed.size(); ++i) {
        SCOPED_TRACE(placed[i].substring);
        EXPECT_EQ(placed[i].substring, c.expected[i].word);
        EXPECT_NEAR(placed[i].timestamp, c.expected[i].start, 1e-9);
        EXPECT_NEAR(placed[i].timestamp + placed[i].duration, c.expected[i].end, 1e-9);
        EXPECT_DOUBLE_EQ(placed[i].confidence, c.again[i].confidence) << "the second pass's own confidence";
        EXPECT_GE(placed[i].timestamp, previousEnd - 1e-9) << "words overlap or go back";
        previousEnd = placed[i].timestamp + placed[i].duration;
    }
}

// The second pass's frames count from where it began to search (after the
// quiet it left out); the live words lie 2 s into the stream.
INSTANTIATE_TEST_SUITE_P(
    Cases, SecondPassPlacement,
    ::testing::Values(
        PlacementCase{"SameWordsKeepTheirPlaces",
                      {{"he", 0, 9, 0.9}, {"was", 10, 29, 0.8}},
                      {{"he", 2.0, 2.1}, {"was", 2.1, 2.3}},
                      {30, 2.3},
                      {{"he", 2.0, 2.1}, {"was", 2.1, 2.3}}},
        PlacementCase{"AChangedWordLiesBetweenItsNeighboursByItsFrames",
                      // "those" for "closed": frames 30..69 between "illness"
                      // (ends at frame 30 = 2.5 s) and "young" (frame 70,
                      // where the live pass has it 0.2 s later).
                      {{"illness", 0, 29, 0.9}, {"those", 30, 69, 0.4}, {"young", 70, 79, 0.9}},
                      {{"illness", 2.2, 2.5}, {"closed", 2.5, 3.1}, {"young", 3.1, 3.2}},
                      {80, 3.0},
                      {{"illness", 2.2, 2.5}, {"those", 2.5, 3.1}, {"young", 3.1, 3.2}}},
        PlacementCase{"AWordOnlyTheSecondPassHeardAtTheEndLiesBeforeTheSearchsEnd",
                      // Frames 20 to 50 of 20 to 60 over 2.2 to 2.6 s.
                      {{"for", 0, 19, 0.9}, {"them", 20, 49, 0.7}},
                      {{"for", 2.0, 2.2}},
                      {60, 2.6},
                      {{"for", 2.0, 2.2}, {"them", 2.2, 2.5}}},
        PlacementCase{"AWordOnlyTheSecondPassHeardAtTheStart",
                      {{"the", 0, 9, 0.6}, {"mister", 10, 39, 0.9}},
                      {{"mister", 2.0, 2.3}},
                      {40, 2.3},
                      {{"the", 1.9, 2.0}, {"mister", 2.0, 2.3}}},
        PlacementCase{"NothingInCommonCountsBackFromTheSearchsEnd",
                      {{"HE", 5, 14, 0.9}, {"WAS", 15, 34, 0.9}},
                      {{"he", 2.0, 2.1}, {"was", 2.1, 2.3}},
                      {40, 2.4},
                      {{"HE", 2.05, 2.15}, {"WAS", 2.15, 2.35}}},
        PlacementCase{"NoLiveWordsCountBackFromTheSearchsEnd",
                      {{"hello", 0, 29, 0.9}},
                      {},
                      {35, 1.5},
                      {{"hello", 1.15, 1.45}}},
        PlacementCase{"AnEndBeforeTheLastMatchIsIgnored",
                      {{"for", 0, 19, 0.9}, {"them", 20, 29, 0.7}},
                      {{"for", 2.0, 2.2}},
                      {25, 2.1},
                      {{"for", 2.0, 2.2}, {"them", 2.2, 2.3}}},
        PlacementCase{"ARepeatedWordMatchesInOrder",
                      {{"no", 0, 9, 0.9}, {"no", 10, 19, 0.9}, {"way", 20, 39, 0.9}},
                      {{"no", 2.0, 2.1}, {"way", 2.3, 2.5}},
                      {40, 2.5},
                      // The first "no" matches; the second lies between it
                      // and "way": its frames 10 to 20 over 2.1 to 2.3 s.
                      {{"no", 2.0, 2.1}, {"no", 2.1, 2.3}, {"way", 2.3, 2.5}}},
        PlacementCase{"ARepeatedWordFarFromWhereItLiesIsAnotherOne",
                      // The live pass heard the second "the" only: matching
                      // the first one to it would squeeze "cat" to nothing.
                      {{"the", 0, 19, 0.9}, {"cat", 20, 49, 0.9}, {"the", 50, 69, 0.9}, {"dog", 70, 99, 0.9}},
                      {{"the", 1.0, 1.2}, {"dog", 1.2, 1.5}},
                      {100, 1.5},
                      {{"the", 0.5, 0.7}, {"cat", 0.7, 1.0}, {"the", 1.0, 1.2}, {"dog", 1.2, 1.5}}},
        PlacementCase{"NoWords", {}, {{"he", 2.0, 2.1}}, {10, 2.1}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace olvek::pocketsphinx
