#include "hostlink/event_messages.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "fakes/memory_streams.h"
#include "hostlink/line_transport.h"

namespace olvek {
namespace {

class EmitTest : public ::testing::Test {
protected:
    void SetUp() override {
        output = std::make_shared<testing::MemoryOutputStream>();
        socketOutputStream = output;
    }
    void TearDown() override { socketOutputStream.reset(); }

    std::shared_ptr<testing::MemoryOutputStream> output;
};

TEST_F(EmitTest, TranscriptsWithAwkwardCharactersArriveAsOneParsableLine) {
    for (const std::string text : {"say \"hi\"", "back\\slash", "two\nlines", "cr\rhere", "你好，世界", "tab\tand\x01"}) {
        output->written.clear();
        emit(transcriptEvent(true, text, "zh-CN"));
        auto lines = output->lines();
        ASSERT_EQ(lines.size(), 1u) << text;
        EXPECT_EQ(output->written.back(), '\n');
        auto parsed = nlohmann::json::parse(lines[0]);
        EXPECT_EQ(parsed, (nlohmann::json{{"type", "final"}, {"text", text}, {"language", "zh-CN"}}));
    }
}

TEST_F(EmitTest, ChineseTextIsWrittenAsUtf8NotEscapes) {
    emit(transcriptEvent(false, "你好", "zh-CN"));
    EXPECT_NE(output->written.find("你好"), std::string::npos);
    EXPECT_EQ(output->written.find("\\u"), std::string::npos);
}

TEST_F(EmitTest, AnEventThatIsNotValidUtf8IsDropped) {
    emit(transcriptEvent(true, "bad \xFF", "en-US"));
    emit(errorEvent("\xC3"));
    EXPECT_EQ(output->written, "");
    EXPECT_EQ(output->writes, 0);
    emit(stoppedEvent());
    EXPECT_EQ(output->lines(), std::vector<std::string>{R"({"type":"stopped"})"});
}

TEST(ThreeDecimals, TimesAndConfidencesAsText) {
    EXPECT_EQ(threeDecimals(0), "0.000");
    EXPECT_EQ(threeDecimals(12.34), "12.340");
    EXPECT_EQ(threeDecimals(0.0004), "0.000");
    EXPECT_EQ(threeDecimals(0.0006), "0.001");
    EXPECT_EQ(threeDecimals(-0.0001), "0.000") << "never negative, not even as -0.000";
    EXPECT_EQ(threeDecimals(3600.5), "3600.500");
}

TEST_F(EmitTest, TheCatalogue) {
    struct Case {
        Event event;
        nlohmann::json expected;
    };
    const std::vector<Case> cases = {
        {helloEvent(""), {{"type", "hello"}, {"token", ""}}},
        {readyEvent("en-US"), {{"type", "ready"}, {"locale", "en-US"}}},
        {transcriptEvent(false, "a", "en-US"), {{"type", "partial"}, {"text", "a"}, {"language", "en-US"}}},
        {transcriptEvent(true, "", "en-US"), {{"type", "final"}, {"text", ""}, {"language", "en-US"}}},
        {errorEvent(std::string(kRecognizerUnavailablePrefix) + "fr-FR"),
         {{"type", "error"}, {"message", "SFSpeechRecognizer unavailable for locale fr-FR"}}},
        {stoppedEvent(), {{"type", "stopped"}}},
        {transcriptEvent(false, "a b", "en-US", TranscriptTimes{1.2344, 2.0, {}}),
         {{"type", "partial"}, {"text", "a b"}, {"language", "en-US"}, {"start", "1.234"}, {"end", "2.000"}}},
        {transcriptEvent(true, "a b", "en-US",
                         TranscriptTimes{0.5, 12.3456, {{"a", 0.5, 0.75, 0.9996}, {"b", 1.0, 12.3456, 0.25}}}),
         {{"type", "final"},
          {"text", "a b"},
          {"language", "en-US"},
          {"start", "0.500"},
          {"end", "12.346"},
          {"words",
           {{{"word", "a"}, {"start", "0.500"}, {"end", "0.750"}, {"confidence", "1.000"}},
            {{"word", "b"}, {"start", "1.000"}, {"end", "12.346"}, {"confidence", "0.250"}}}}}},
    };
    for (const auto& c : cases) {
        output->written.clear();
        emit(c.event);
        auto lines = output->lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(nlohmann::json::parse(lines[0]), c.expected);
        EXPECT_EQ(lines[0].rfind(R"({"type":)", 0), 0u) << "compact, type first: " << lines[0];
    }
}

} // namespace
} // namespace olvek
