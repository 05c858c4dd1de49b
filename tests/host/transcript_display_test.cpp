// What a person sees: the display written into memory streams.
#include <gtest/gtest.h>

#include <cerrno>
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

// The status line: drawn, then the cursor parked at its first column; cleared
// from there to the end of the screen.
const std::string kClear = "\r\033[J";
std::string status(const std::string& text) { return text + "\r"; }

DisplayOptions terminal(bool progress = false, int columns = 80) {
    DisplayOptions options;
    options.statusLine = true;
    options.showPartial = true;
    options.progress = progress;
    options.columns = [columns] { return columns; };
    return options;
}

TEST(TranscriptDisplay, OnATerminalThePartialIsRewrittenOnStandardErrorAndEachFinalGoesToStandardOutput) {
    MemoryFile out, err;
    TranscriptDisplay display(out.get(), err.get(), TranscriptFormatter(OutputFormat::Text, false), terminal());
    play(display, kRun);
    EXPECT_EQ(out.text(), "he was not an ill disposed young man\nunless to be\n");
    EXPECT_EQ(err.text(), status("he was") + kClear + status("he was not") + kClear + status("unless") + kClear +
                              "olvek-transcribe: recognition error: engine hiccup\n" + status("unless") + kClear);
    EXPECT_EQ(display.transcript(), "he was not an ill disposed young man unless to be");
}

TEST(TranscriptDisplay, WithoutAStatusLineOnlyTheFinalsAreWritten) {
    MemoryFile out, err;
    TranscriptDisplay display(out.get(), err.get(), TranscriptFormatter(OutputFormat::Text, false), DisplayOptions{});
    play(display, kRun);
    EXPECT_EQ(out.text(), "he was not an ill disposed young man\nunless to be\n");
    EXPECT_EQ(err.text(), "olvek-transcribe: recognition error: engine hiccup\n");
}

TEST(TranscriptDisplay, JsonWritesEveryLineAsReceivedButTheToken) {
    MemoryFile out, err;
    TranscriptDisplay display(out.get(), err.get(), TranscriptFormatter(OutputFormat::Json, false), DisplayOptions{});
    std::vector<std::string> lines = kRun;
    lines.push_back("not json, still passed on");
    play(display, lines);
    std::string expected = "{\"type\":\"hello\"}\n";
    for (std::size_t i = 1; i < lines.size(); ++i) expected += lines[i] + "\n";
    EXPECT_EQ(out.text(), expected);
    EXPECT_EQ(out.text().find("abc"), std::string::npos) << "the session token is a secret of the run";
    EXPECT_EQ(err.text(), "");
}

TEST(TranscriptDisplay, APartialThatNoFinalFollowedIsKeptAsTheLastLine) {
    const std::vector<std::string> cutShort{
        R"({"type":"ready","locale":"en-US"})", final("first part"), partial("and the"), partial("and the rest"),
        R"({"type":"stopped"})"};
    struct Case {
        const char* name;
        OutputFormat format;
        DisplayOptions options;
        std::string out;
    };
    const Case cases[] = {
        {"terminal", OutputFormat::Text, terminal(), "first part\nand the rest\n"},
        {"piped", OutputFormat::Text, DisplayOptions{}, "first part\nand the rest\n"},
        {"json: every line as received, nothing made up", OutputFormat::Json, DisplayOptions{}, ""},
    };
    for (const auto& c : cases) {
        MemoryFile out, err;
        TranscriptDisplay display(out.get(), err.get(), TranscriptFormatter(c.format, false), c.options);
        play(display, cutShort);
        display.finish(); // a second finish adds nothing
        if (c.format == OutputFormat::Json) {
            std::string expected;
            for (const auto& line : cutShort) expected += line + "\n";
            EXPECT_EQ(out.text(), expected) << c.name;
        } else {
            EXPECT_EQ(out.text(), c.out) << c.name;
            EXPECT_EQ(display.transcript(), "first part and the rest") << c.name;
        }
    }
}

TEST(TranscriptDisplay, AStartupErrorIsLeftToTheCaller) {
    MemoryFile out, err;
    TranscriptDisplay display(out.get(), err.get(), TranscriptFormatter(OutputFormat::Text, false), terminal());
    play(display, {R"({"type":"hello","token":"abc"})",
                   R"({"type":"error","message":"SFSpeechRecognizer unavailable for locale zh-CN"})"});
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(err.text(), "");
}

TEST(TranscriptDisplay, TheStatusLineNeverWrapsAndFollowsTheTerminalsWidth) {
    MemoryFile out, err;
    int columns = 30;
    DisplayOptions options = terminal(true);
    options.columns = [&columns] { return columns; };
    TranscriptDisplay display(out.get(), err.get(), TranscriptFormatter(OutputFormat::Text, false), options);
    display.onProgress(3, 12);
    display.onProgress(3.01, 12); // the same text: not redrawn
    display.onLine(partial("the quick brown fox jumps over the lazy dog"));
    columns = 20; // the terminal was made narrower
    display.onLine(partial("the quick brown fox jumps over the lazy dog and"));
    display.onLine(final("the end"));
    display.finish();
    const std::string progress = "[ 25% 3/12 s] ";
    EXPECT_EQ(out.text(), "the end\n");
    EXPECT_EQ(err.text(), status(progress) + kClear + status(progress + "\u2026r the lazy dog") + kClear +
                              status(progress + "\u2026 and") + kClear + status(progress) + kClear);
    EXPECT_EQ(progress.size() + std::string("\u2026r the lazy dog").size() - 2, 29u) << "30 columns, one left free";
}

// Nothing after the first failed write, and the caller hears of it once.
TEST(TranscriptDisplay, AnOutputThatCannotBeWrittenIsReportedOnce) {
    std::FILE* full = std::fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    MemoryFile err;
    TranscriptDisplay display(full, err.get(), TranscriptFormatter(OutputFormat::Text, false), DisplayOptions{});
    std::vector<int> reported;
    display.onOutputFailed([&reported](int error) { reported.push_back(error); });
    play(display, kRun);
    std::fclose(full);
    EXPECT_EQ(reported, std::vector<int>{ENOSPC});
    EXPECT_EQ(display.outputError(), ENOSPC);
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
