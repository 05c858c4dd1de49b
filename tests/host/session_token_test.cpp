#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "host/session_token.h"

namespace olvek::host {
namespace {

TEST(SessionToken, IsHexOfTheFullRandomWidthAndNeverRepeats) {
    std::set<std::string> seen;
    for (int i = 0; i < 64; ++i) {
        auto token = makeSessionToken();
        ASSERT_TRUE(token);
        EXPECT_TRUE(std::regex_match(*token, std::regex("[0-9a-f]+"))) << *token;
        EXPECT_EQ(token->size() * 4, static_cast<std::size_t>(kSessionTokenBits));
        seen.insert(*token);
    }
    EXPECT_EQ(seen.size(), 64u);
    EXPECT_GE(kSessionTokenBits, 128);
}

TEST(SessionToken, ComparisonIsExactWholeText) {
    const std::string token = "3f9a0c";
    struct Case {
        std::string received;
        bool equal;
    };
    const Case cases[] = {
        {"3f9a0c", true},   {"3f9a0d", false},  {"4f9a0c", false}, {"3f9a0", false},
        {"3f9a0c0", false}, {"3f9a0c3f9a0c", false}, {"", false},  {"3F9A0C", false},
        {std::string("3f9a0c\0", 7), false},
    };
    for (const auto& c : cases) EXPECT_EQ(tokensEqual(token, c.received), c.equal) << "'" << c.received << "'";
    EXPECT_TRUE(tokensEqual("", ""));
    EXPECT_FALSE(tokensEqual("", "x"));
}

} // namespace
} // namespace olvek::host
