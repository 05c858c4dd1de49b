// What a person sees: the display written into memory streams.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "host/transcript_display.h"

namespace olvek::host {
namespace {

// A FILE* that collects what is written to it.
class MemoryFile {
public:
    MemoryFile() : file_(::open_memstream(&data_, &size_)) {}
    ~MemoryFile() {
        std::fclose(file_);
        std::free(data_);
    }
    std::FILE* get() { return file_; }
    std::string text() {
        std::fflush(file_);
        return std::string(data_, size_);
    }

private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::FILE* file_;
};

const std::string kClear = "\r\033[K";

std::string partial(const std::string& text) { return R"({"type":"partial","text":")" + text + R"(","language":"en-US"})"; }
std::string final(const std::string& text) { return R"({"type":"final","language":"en-US","text":")" + text + "\"}"; }

const std::vector<std::string> kRun{
    R"({"type":"hello","token":"abc"})",
    R"({"type":"ready","locale":"en-US"})",
    partial("he was"),
    partial("he was not"),
    final("he was not an ill disposed young man"),
    final(""),
    partial("unless"),
    R"({"type":"error","message":"engine hiccup"})",
    final("unless to be"),
    R"({"type":"stopped"})",
};

void play(TranscriptDisplay& display, const std::vector<std::string>& lines) {
    for (const auto& line : lines) display.onLine(line);
    display.finish();
}

TEST(TranscriptDisplay, LiveRewritesThePartialInPlaceAndKeepsEachFinalOnItsOwnLine) {
    MemoryFile out, err;
    TranscriptDisplay display(out.get(), err.get(), {OutputMode::Live, false, 80});
    play(display, kRun);
    EXPECT_EQ(out.text(), "he was" + kClear + "he was not" + kClear + "he was not an ill disposed young man\n" +
                              "unless" + kClear + "unless" + kClear + "unless to be\n");
    EXPECT_EQ(err.text(), "olvek-transcribe: recognition error: engine hiccup\n");
    EXPECT_EQ(display.transcript(), "he was not an ill disposed young man unless to be");
}

TEST(TranscriptDisplay, PipedShowsOnlyTheNonEmptyFinals) {
    MemoryFile out, err;
    TranscriptDisplay display(out.get(), err.get(), {OutputMode::FinalsOnly, false, 80});
    play(display, kRun);
    EXPECT_EQ(out.text(), "he was not an ill disposed young man\nunless to be\n");
    EXPECT_EQ(err.text(), "olvek-transcribe: recognition error: engine hiccup\n");
}

TEST(TranscriptDisplay, JsonWritesEveryLineExactlyAsReceived) {
    MemoryFile out, err;
    TranscriptDisplay display(out.get(), err.get(), {OutputMode::Json, false, 80});
    std::vector<std::string> lines = kRun;
    lines.push_back("not json, still passed on");
    play(display, lines);
    std::string expected;
    for (const auto& line : lines) expected += line + "\n";
    EXPECT_EQ(out.text(), expected);
    EXPECT_EQ(err.text(), "");
}

TEST(TranscriptDisplay, APartialThatNoFinalFollowedIsKeptAsTheLastLine) {
    const std::vector<std::string> cutShort{
        R"({"type":"ready","locale":"en-US"})", final("first part"), partial("and the"), partial("and the rest"),
        R"({"type":"stopped"})"};
    struct Case {
        OutputMode mode;
        std::string out;
    };
    const Case cases[] = {
        {OutputMode::Live, "first part\n" "and the" + kClear + "and the rest" + kClear + "and the rest\n"},
        {OutputMode::FinalsOnly, "first part\nand the rest\n"},
        {OutputMode::Json, ""}, // every line as received, nothing made up
    };
    for (const auto& c : cases) {
        MemoryFile out, err;
        TranscriptDisplay display(out.get(), err.get(), {c.mode, false, 80});
        play(display, cutShort);
        display.finish(); // a second finish adds nothing
        if (c.mode == OutputMode::Json) {
            std::string expected;
            for (const auto& line : cutShort) expected += line + "\n";
            EXPECT_EQ(out.text(), expected);
        } else {
            EXPECT_EQ(out.text(), c.out) << static_cast<int>(c.mode);
            EXPECT_EQ(display.transcript(), "first part and the rest");
        }
    }
}

TEST(TranscriptDisplay, AStartupErrorIsLeftToTheCaller) {
    MemoryFile out, err;
    TranscriptDisplay display(out.get(), err.get(), {OutputMode::Live, false, 80});
    play(display, {R"({"type":"hello","token":"abc"})",
                   R"({"type":"error","message":"SFSpeechRecognizer unavailable for locale zh-CN"})"});
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(err.text(), "");
}

TEST(TranscriptDisplay, ProgressGoesToStandardErrorAndTheLineNeverWraps) {
    // Live: the progress (on err) and the partial (on out) share one terminal
    // line, cleared through out; together they fit in the columns.
    MemoryFile out, err;
    TranscriptDisplay display(out.get(), err.get(), {OutputMode::Live, true, 30});
    display.onProgress(3, 12);
    display.onLine(partial("the quick brown fox jumps over the lazy dog"));
    display.onLine(final("the end"));
    display.finish();
    std::string progress = "[ 25% 3/12 s] ";
    EXPECT_EQ(out.text(), kClear + "\u2026r the lazy dog" + kClear + "the end\n" + kClear);
    EXPECT_EQ(err.text(), progress + progress + progress);
    EXPECT_EQ(progress.size() + std::string("\u2026r the lazy dog").size() - 2, 29u) << "30 columns, one left free";

    // Not live: the status line, progress only, lives on standard error.
    MemoryFile out2, err2;
    TranscriptDisplay piped(out2.get(), err2.get(), {OutputMode::FinalsOnly, true, 80});
    piped.onProgress(6, 12);
    piped.onProgress(6.01, 12); // the same text: not redrawn
    piped.onLine(final("words"));
    piped.finish();
    EXPECT_EQ(out2.text(), "words\n");
    EXPECT_EQ(err2.text(), "[ 50% 6/12 s] " + kClear + "[ 50% 6/12 s] " + kClear);
}

TEST(FitToColumns, CutsFromTheFrontOnCharacterBoundaries) {
    struct Case {
        std::string text;
        int columns;
        std::string shown;
    };
    const Case cases[] = {
        {"short", 10, "short"},
        {"exactly10!", 10, "exactly10!"},
        {"one two three", 6, "\u2026three"},
        {"caf\u00e9 \u00e9t\u00e9", 4, "\u2026\u00e9t\u00e9"},
        {"\u4f60\u597d\u4e16\u754c", 3, "\u2026\u4e16\u754c"},
        {"anything", 0, ""},
    };
    for (const auto& c : cases) EXPECT_EQ(fitToColumns(c.text, c.columns), c.shown) << c.text << " in " << c.columns;
}

} // namespace
} // namespace olvek::host
