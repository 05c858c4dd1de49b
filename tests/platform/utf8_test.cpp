#include "platform/utf8.h"

#include <gtest/gtest.h>

namespace olvek {
namespace {

struct Utf8Case {
    const char* name;
    std::string bytes;
    bool valid;
    std::string repaired;
};

class Utf8 : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8, ValidatesAndRepairs) {
    const auto& c = GetParam();
    EXPECT_EQ(isValidUtf8(c.bytes), c.valid);
    EXPECT_EQ(repairUtf8(c.bytes), c.repaired);
    EXPECT_TRUE(isValidUtf8(repairUtf8(c.bytes)));
}

const std::string kReplacement = "\xEF\xBF\xBD";

INSTANTIATE_TEST_SUITE_P(
    Cases, Utf8,
    ::testing::Values(Utf8Case{"empty", "", true, ""}, Utf8Case{"ascii", "abc", true, "abc"},
                      Utf8Case{"chinese", "\xE4\xBD\xA0\xE5\xA5\xBD", true, "\xE4\xBD\xA0\xE5\xA5\xBD"},
                      Utf8Case{"emoji", "\xF0\x9F\x98\x80", true, "\xF0\x9F\x98\x80"},
                      Utf8Case{"lone continuation", "a\x80" "b", false, "a" + kReplacement + "b"},
                      Utf8Case{"truncated", "\xE4\xBD", false, kReplacement + kReplacement},
                      Utf8Case{"overlong slash", "\xC0\xAF", false, kReplacement + kReplacement},
                      Utf8Case{"surrogate", "\xED\xA0\x80", false, kReplacement + kReplacement + kReplacement},
                      Utf8Case{"above U+10FFFF", "\xF4\x90\x80\x80", false,
                               kReplacement + kReplacement + kReplacement + kReplacement},
                      Utf8Case{"byte FF", "\xFF", false, kReplacement},
                      Utf8Case{"NUL is valid", std::string("a\0b", 3), true, std::string("a\0b", 3)}),
    [](const auto& info) {
        std::string name = info.param.name;
        for (auto& c : name) {
            if (!isalnum(static_cast<unsigned char>(c))) c = '_';
        }
        return name;
    });

} // namespace
} // namespace olvek
