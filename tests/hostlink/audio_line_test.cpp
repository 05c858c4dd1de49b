#include "hostlink/audio_line.h"

#include <gtest/gtest.h>

#include "platform/base64.h"

namespace olvek {
namespace {

class AudioLine : public ::testing::Test {
protected:
    void SetUp() override { format = createAudioFormat(); }
    void TearDown() override { format.reset(); }

    static std::string lineOf(std::vector<std::uint8_t> bytes) { return encodeBase64(bytes.data(), bytes.size()); }
};

TEST_F(AudioLine, TheFormat) {
    ASSERT_TRUE(format);
    EXPECT_EQ(format->commonFormat, CommonFormat::Int16);
    EXPECT_EQ(format->sampleRate, 16000.0);
    EXPECT_EQ(format->channelCount, 1u);
    EXPECT_FALSE(format->interleaved);
    EXPECT_EQ(format->bytesPerFrame(), 2u);
}

struct DecodeCase {
    const char* name;
    std::vector<std::uint8_t> bytes;
    std::vector<std::int16_t> samples;
};

class DecodeAudio : public AudioLine, public ::testing::WithParamInterface<DecodeCase> {};

TEST_P(DecodeAudio, SamplesAreLittleEndianAndAnOddByteIsDropped) {
    auto buffer = decodeAudioLine(lineOf(GetParam().bytes));
    ASSERT_TRUE(buffer);
    EXPECT_EQ(&buffer->format(), format.get());
    EXPECT_EQ(buffer->frameCapacity(), GetParam().samples.size());
    EXPECT_EQ(buffer->frameLength(), GetParam().samples.size());
    std::vector<std::int16_t> samples(buffer->int16ChannelData(), buffer->int16ChannelData() + buffer->frameLength());
    EXPECT_EQ(samples, GetParam().samples);
}

INSTANTIATE_TEST_SUITE_P(Cases, DecodeAudio,
                         ::testing::Values(DecodeCase{"one_frame", {0x01, 0x02}, {513}},
                                           DecodeCase{"minus_one", {0xFF, 0xFF}, {-1}},
                                           DecodeCase{"most_negative", {0x00, 0x80}, {-32768}},
                                           DecodeCase{"most_positive", {0xFF, 0x7F}, {32767}},
                                           DecodeCase{"odd_byte_dropped", {0x01, 0x02, 0x03}, {513}},
                                           DecodeCase{"two_frames", {0x01, 0x02, 0x03, 0x04}, {513, 1027}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(AudioLine, LinesThatGiveNoBuffer) {
    for (const std::string& line : {std::string(""), lineOf({0x01}), std::string("AQI"), std::string("AQI= "),
                                   std::string(" AQI="), std::string("AQ\tI="), std::string("__END__ "),
                                   std::string("__end__"), std::string("xx__END__"), std::string("AQ-_")}) {
        EXPECT_FALSE(decodeAudioLine(line)) << '"' << line << '"';
    }
}

TEST_F(AudioLine, TheOddByteDoesNotReachTheNextLine) {
    auto first = decodeAudioLine(lineOf({0x01, 0x02, 0x03}));
    auto second = decodeAudioLine(lineOf({0x04, 0x05}));
    ASSERT_TRUE(first && second);
    EXPECT_EQ(second->frameLength(), 1u);
    EXPECT_EQ(second->int16ChannelData()[0], 0x0504);
}

std::shared_ptr<PcmBuffer> refuseBuffer(std::shared_ptr<const PcmFormat>, std::uint32_t) { return nullptr; }

TEST_F(AudioLine, ARefusedBufferSkipsTheLine) {
    EXPECT_FALSE(decodeAudioLine(lineOf({0x01, 0x02}), &refuseBuffer));
}

TEST_F(AudioLine, WithoutAFormatNoLineConverts) {
    format.reset();
    EXPECT_FALSE(decodeAudioLine(lineOf({0x01, 0x02})));
}

} // namespace
} // namespace olvek
