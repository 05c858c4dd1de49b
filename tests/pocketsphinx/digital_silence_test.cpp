// The gate that keeps digital silence from the decoder before speech, over
// the scripted decoder (words 4 and 5; 0 is silence there, and the values
// up to 2 that the gate counts as digital silence are dropped only before
// speech).
#include "recognition/pocketsphinx/digital_silence.h"

#include <gtest/gtest.h>

#include "scripted_decoder.h"

namespace olvek::pocketsphinx {
namespace {

using Block = std::vector<std::int16_t>;

struct GateCase {
    const char* name;
    std::vector<Block> blocks;
    // What the wrapped decoder was given, and heard.
    std::uint64_t passedOn;
    std::string hypothesis;
    // One position the wrapped decoder heard, and where it lies in what the
    // gate was given.
    std::size_t decoded;
    std::size_t given;
};

class Gate : public ::testing::TestWithParam<GateCase> {};

TEST_P(Gate, DropsDigitalSilenceOnlyBeforeSpeech) {
    const GateCase& c = GetParam();
    auto control = std::make_shared<testing::DecoderControl>();
    DigitalSilenceGate gate(std::make_unique<testing::ScriptedDecoder>(control));
    ASSERT_TRUE(gate.startUtterance());
    std::size_t given = 0;
    for (const Block& block : c.blocks) {
        ASSERT_TRUE(gate.process(block.data(), block.size()));
        given += block.size();
    }
    EXPECT_EQ(control->processed(), c.passedOn);
    EXPECT_EQ(gate.droppedSamples(), given - c.passedOn);
    EXPECT_EQ(gate.hypothesis(), c.hypothesis);
    EXPECT_EQ(gate.givenSample(c.decoded), c.given);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Gate,
    ::testing::Values(
        GateCase{"ZerosBeforeAWord", {{0, 0, 0, 4, 4}}, 2, "four", 0, 3},
        GateCase{"PlusMinusOneAndTwoBeforeAWord", {{1, -1, 2, -2}, {-1, 4}}, 1, "four", 0, 5},
        GateCase{"ThreeIsNotSilence", {{3, 0, 4}}, 3, "caf\xC3 four", 0, 0},
        GateCase{"SilenceInsideABlockAfterItsFirstSoundPasses", {{0, 0, 4, 0, 5}}, 3, "four five", 2, 4},
        // The first block of silence after speech reaches the decoder, which
        // ends the speech there (a pause); the next is dropped.
        GateCase{"AfterSpeechUntilThePause", {{4, 4}, {0, 0, 0}, {0, 0}, {5}}, 6, "four five", 5, 7},
        GateCase{"AllSilence", {{0, 0}, {1, -1}}, 0, "", 0, 4},
        GateCase{"DropsAtTwoPlaces", {{0, 0}, {4}, {0}, {0, 0, 0}, {5}}, 3, "four five", 2, 7}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(GateUtterances, EachUtteranceCountsItsOwnDrops) {
    auto control = std::make_shared<testing::DecoderControl>();
    DigitalSilenceGate gate(std::make_unique<testing::ScriptedDecoder>(control));
    const Block first{0, 0, 0, 4};
    const Block second{0, 5};
    ASSERT_TRUE(gate.startUtterance());
    ASSERT_TRUE(gate.process(first.data(), first.size()));
    ASSERT_TRUE(gate.endUtterance());
    ASSERT_TRUE(gate.startUtterance());
    ASSERT_TRUE(gate.process(second.data(), second.size()));
    EXPECT_EQ(gate.droppedSamples(), 1u);
    EXPECT_EQ(gate.givenSample(0), 1u);
    EXPECT_EQ(gate.hypothesis(), "five");
}

TEST(GateUtterances, AFailureOfTheWrappedDecoderIsReported) {
    auto control = std::make_shared<testing::DecoderControl>();
    DigitalSilenceGate gate(std::make_unique<testing::ScriptedDecoder>(control));
    const Block failing{0, 4, -2};
    ASSERT_TRUE(gate.startUtterance());
    EXPECT_FALSE(gate.process(failing.data(), failing.size()));
}

} // namespace
} // namespace olvek::pocketsphinx
