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
