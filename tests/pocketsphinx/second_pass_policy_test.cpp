// When an ended utterance is decoded a second time for its final.
#include "recognition/pocketsphinx/second_pass_policy.h"

#include <gtest/gtest.h>

namespace olvek::pocketsphinx {
namespace {

constexpr std::size_t kSettled = 8 * 16000;

EndedUtterance spoken(std::size_t decodedBefore) {
    EndedUtterance u;
    u.heardSpeech = true;
    u.heardWords = true;
    u.samples = 3 * 16000;
    u.decodedBefore = decodedBefore;
    return u;
}

EndedUtterance finishing(double secondsLeft, double predictedSeconds) {
    EndedUtterance u = spoken(0);
    u.finishing = true;
    u.secondsLeft = secondsLeft;
    u.predictedSeconds = predictedSeconds;
    return u;
}

struct SecondPassCase {
    const char* name;
    EndedUtterance utterance;
    std::size_t settledAfterSamples;
    bool wanted;
};

class SecondPass : public ::testing::TestWithParam<SecondPassCase> {};

TEST_P(SecondPass, IsWantedOnlyBeforeTheMeanSettlesAndWhereItFits) {
    const SecondPassCase& c = GetParam();
    EXPECT_EQ(secondPassWanted(c.utterance, SecondPassOptions{c.settledAfterSamples}), c.wanted);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SecondPass,
    ::testing::Values(SecondPassCase{"FirstUtteranceOfTheRun", spoken(0), kSettled, true},
                      SecondPassCase{"JustBeforeTheMeanSettles", spoken(kSettled - 1), kSettled, true},
                      SecondPassCase{"AfterTheMeanSettled", spoken(kSettled), kSettled, false},
                      SecondPassCase{"TurnedOff", spoken(0), 0, false},
                      SecondPassCase{"NoSpeechHeard", [] { auto u = spoken(0); u.heardSpeech = false; return u; }(),
                                     kSettled, false},
                      // Noise taken for speech: another pass would only teach
                      // the mean the noise again.
                      SecondPassCase{"LivePassFoundNoWords",
                                     [] { auto u = spoken(0); u.heardWords = false; return u; }(), kSettled, false},
                      SecondPassCase{"NothingDecoded", [] { auto u = spoken(0); u.samples = 0; return u; }(),
                                     kSettled, false},
                      SecondPassCase{"FinishingAndItFits", finishing(1.0, 0.9), kSettled, true},
                      SecondPassCase{"FinishingAndItWouldNotFit", finishing(1.0, 1.0), kSettled, false},
                      SecondPassCase{"FinishingPastTheLimit", finishing(-0.5, 0.1), kSettled, false}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace olvek::pocketsphinx
