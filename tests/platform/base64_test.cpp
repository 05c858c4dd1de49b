#include "platform/base64.h"

#include <gtest/gtest.h>

#include <string>

namespace olvek {
namespace {

std::vector<std::uint8_t> bytesOf(const std::string& text) { return {text.begin(), text.end()}; }

struct Accepted {
    const char* text;
    std::vector<std::uint8_t> bytes;
};

class Base64Accepts : public ::testing::TestWithParam<Accepted> {};

TEST_P(Base64Accepts, DecodesToTheBytes) {
    auto decoded = decodeBase64(GetParam().text);
    ASSERT_TRUE(decoded.has_value()) << GetParam().text;
    EXPECT_EQ(*decoded, GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(Cases, Base64Accepts,
                         ::testing::Values(Accepted{"", {}}, Accepted{"AQI=", {0x01, 0x02}},
                                           Accepted{"//8=", {0xFF, 0xFF}}, Accepted{"AIA=", {0x00, 0x80}},
                                           Accepted{"AQID", {0x01, 0x02, 0x03}}, Accepted{"AQ==", {0x01}},
                                           Accepted{"AQIDBA==", {0x01, 0x02, 0x03, 0x04}},
                                           Accepted{"+/+/", {0xFB, 0xFF, 0xBF}},
                                           Accepted{"aGVsbG8gd29ybGQ=", bytesOf("hello world")}));

class Base64Refuses : public ::testing::TestWithParam<const char*> {};

TEST_P(Base64Refuses, GivesNothing) { EXPECT_FALSE(decodeBase64(GetParam()).has_value()) << GetParam(); }

INSTANTIATE_TEST_SUITE_P(Cases, Base64Refuses,
                         ::testing::Values("AQI", "AQ", "A", "AQ=", "AQI= ", " AQI=", "AQ I=", "AQ\tI", "AQI=\n",
                                           "AQ-_", "AQ==AQ==", "A===", "====", "=AQI", "AQ=I", "AR==", "AQJ=",
                                           "__END__", "AQI=\r", "AQ\xC3\xA9"));

TEST(Base64, RoundTripsEveryLengthAndByteValue) {
    std::vector<std::uint8_t> bytes;
    for (int length = 0; length < 300; ++length) {
        auto text = encodeBase64(bytes.data(), bytes.size());
        EXPECT_EQ(text.size() % 4, 0u);
        auto decoded = decodeBase64(text);
        ASSERT_TRUE(decoded.has_value()) << text;
        EXPECT_EQ(*decoded, bytes);
        bytes.push_back(static_cast<std::uint8_t>(length * 37 + 11));
    }
}

} // namespace
} // namespace olvek
