#include "platform/json_writer.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace olvek {
namespace {

TEST(JsonWriter, CompactInOrderWithUtf8Kept) {
    auto text = serializeJsonObject({{"type", "final"}, {"text", "你好 world"}, {"language", "zh-CN"}});
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(*text, R"({"type":"final","text":"你好 world","language":"zh-CN"})");
}

TEST(JsonWriter, EscapesSoTheResultIsOneLineThatParsesBack) {
    const std::string awkward = std::string("quote \" backslash \\ newline \n cr \r tab \t bell \a nul ") + '\0' + " end";
    auto text = serializeJsonObject({{"type", "partial"}, {"text", awkward}});
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(text->find('\n'), std::string::npos);
    EXPECT_EQ(text->find('\r'), std::string::npos);
    auto parsed = nlohmann::json::parse(*text);
    EXPECT_EQ(parsed["text"], awkward);
}

TEST(JsonWriter, InvalidUtf8InAValueOrKeyGivesNothing) {
    EXPECT_FALSE(serializeJsonObject({{"type", "final"}, {"text", "bad \xFF byte"}}).has_value());
    EXPECT_FALSE(serializeJsonObject({{"type", "final"}, {"\xC0\xAF", "x"}}).has_value());
}

TEST(JsonWriter, AListOfFlatObjects) {
    const JsonObject object{{"type", "final"},
                            {"words", std::vector<TextObject>{{{"word", "a"}, {"start", "1"}}, {{"word", "\"b\""}}}},
                            {"none", std::vector<TextObject>{}}};
    EXPECT_EQ(serializeJsonObject(object),
              R"({"type":"final","words":[{"word":"a","start":"1"},{"word":"\"b\""}],"none":[]})");
    const JsonObject broken{{"words", std::vector<TextObject>{{{"word", "\xC3"}}}}};
    EXPECT_EQ(serializeJsonObject(broken), std::nullopt) << "invalid UTF-8 inside the list too";
}

TEST(JsonWriter, EmptyObject) { EXPECT_EQ(serializeJsonObject({}), "{}"); }

} // namespace
} // namespace olvek
