// The task policy's decisions, one table per decision.
#include "recognition/pocketsphinx/task_policy.h"

#include <gtest/gtest.h>

#include <sstream>

namespace olvek::pocketsphinx {
namespace {

constexpr std::size_t kChunk = 1600;

TaskPolicyOptions options() {
    TaskPolicyOptions o;
    o.partialIntervalSamples = 2 * kChunk;
    o.maxUtteranceSamples = 10 * kChunk;
    return o;
}

// `text` as the decoder would give it, each word placed `start` seconds on
// from the one before.
Transcript said(const std::string& text, double start = 0) {
    Transcript heard{text, {}};
    std::istringstream words(text);
    for (std::string word; words >> word; start += 1) heard.words.push_back({word, start, 0.5, 1});
    return heard;
}

std::string spelled(const Transcript& heard) {
    std::string text;
    for (const auto& word : heard.words) text = joinText(text, word.substring);
    return text;
}

// States named after where a task stands.
TaskState quietUtterance(std::string closedText = {}) {
    TaskState s;
    s.utterance.open = true;
    s.task.closed = said(closedText);
    return s;
}

TaskState speaking(std::size_t speechSamples, std::string closedText = {}) {
    TaskState s = quietUtterance(std::move(closedText));
    s.utterance.heardSpeech = true;
    s.utterance.speechSamples = speechSamples;
    s.utterance.samples = speechSamples;
    return s;
}

struct ChunkCase {
    const char* name;
    TaskState before;
    ChunkHeard heard;
    ChunkAction action;
    bool heardSpeechAfter;
    std::size_t samplesSincePartialAfter;
};

TEST(TaskPolicy, AfterEachChunk) {
    TaskState halfwayToPartial = speaking(kChunk);
    halfwayToPartial.task.samplesSincePartial = kChunk;
    const ChunkCase cases[] = {
        {"silence before any speech", quietUtterance(), {kChunk, false, true}, ChunkAction::Continue, false, 0},
        {"speech begins", quietUtterance(), {kChunk, true, true}, ChunkAction::Continue, true, kChunk},
        {"speech reaches the partial interval", halfwayToPartial, {kChunk, true, true}, ChunkAction::ReadPartial, true,
         0},
        {"speech when no partials are asked for", halfwayToPartial, {kChunk, true, false}, ChunkAction::Continue, true,
         kChunk},
        {"a pause after speech", speaking(3 * kChunk), {kChunk, false, true}, ChunkAction::CloseUtterance, true, 0},
        {"a pause after a closed utterance's words", quietUtterance("one"), {kChunk, false, true},
         ChunkAction::Continue, false, 0},
        {"speech past the utterance bound is not cut mid-line", speaking(20 * kChunk), {kChunk, true, false},
         ChunkAction::Continue, true, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TaskState state = c.before;
        EXPECT_EQ(afterChunk(state, c.heard, options()), c.action);
        EXPECT_EQ(state.utterance.heardSpeech, c.heardSpeechAfter);
        EXPECT_EQ(state.task.samplesSincePartial, c.samplesSincePartialAfter);
        EXPECT_EQ(state.utterance.samples, c.before.utterance.samples + c.heard.samples);
        EXPECT_EQ(state.utterance.speechSamples,
                  c.before.utterance.speechSamples + (c.heard.inSpeech ? c.heard.samples : 0));
        EXPECT_EQ(state.task.closed.text, c.before.task.closed.text) << "a chunk never changes the task's words";
    }
}

struct PartialCase {
    const char* name;
    std::string closedText;
    std::string lastPartial;
    std::string hypothesis;
    std::string sent;
};

TEST(TaskPolicy, PartialText) {
    const PartialCase cases[] = {
        {"the first words", "", "", "one", "one"},
        {"after a closed utterance", "one two", "one two", "three", "one two three"},
        {"unchanged text is not sent again", "", "one", "one", ""},
        {"nothing heard yet", "", "", "", ""},
        {"closed words alone, already sent", "one", "one", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TaskState state = speaking(kChunk, c.closedText);
        state.task.lastPartial = c.lastPartial;
        const Transcript sent = partialText(state, said(c.hypothesis, 10));
        EXPECT_EQ(sent.text, c.sent);
        EXPECT_EQ(spelled(sent), c.sent) << "the partial's words spell its text";
        EXPECT_EQ(state.task.lastPartial, c.sent.empty() ? c.lastPartial : c.sent);
    }
}

TEST(TaskPolicy, ClosedUtterancesJoinTheTasksWords) {
    TaskState state = speaking(3 * kChunk);
    utteranceClosed(state, said("one two"));
    EXPECT_FALSE(state.utterance.open);
    EXPECT_FALSE(state.utterance.heardSpeech);
    utteranceOpened(state);
    utteranceClosed(state, said("")); // a cough: no words
    utteranceOpened(state);
    utteranceClosed(state, said("three", 5));
    EXPECT_EQ(state.task.closed.text, "one two three");

    utteranceOpened(state);
    EXPECT_TRUE(state.utterance.open);
    const Transcript final = takeFinal(state);
    EXPECT_EQ(final.text, "one two three");
    ASSERT_EQ(final.words.size(), 3u);
    EXPECT_EQ(final.words[1].timestamp, 1);
    EXPECT_EQ(final.words[2].timestamp, 5) << "each utterance's words keep their own times";
    EXPECT_EQ(state.task.closed.text, "");
    EXPECT_TRUE(state.task.closed.words.empty());
    EXPECT_EQ(state.task.lastPartial, "");
    EXPECT_TRUE(state.utterance.open) << "the quiet utterance runs on into the next task";
}

struct CatchUpCase {
    const char* name;
    TaskState state;
    CaughtUp where;
    bool due;
    FinalAction action;
};

TEST(TaskPolicy, FinalsAtCatchUp) {
    const CaughtUp waiting{true, false};
    const CaughtUp notWaiting{false, false};
    const CaughtUp ended{false, true};
    const CatchUpCase cases[] = {
        {"nothing heard", quietUtterance(), waiting, false, FinalAction::None},
        {"a pause after words, caller waiting", quietUtterance("one"), waiting, true,
         FinalAction::FinalKeepingUtterance},
        {"a pause after words, caller gone on", quietUtterance("one"), notWaiting, true, FinalAction::None},
        {"speech began again after the pause", speaking(kChunk, "one"), waiting, false, FinalAction::None},
        {"speech still going, under the bound", speaking(9 * kChunk), waiting, false, FinalAction::None},
        {"speech reached the bound, caller waiting", speaking(10 * kChunk), waiting, true,
         FinalAction::FinalClosingUtterance},
        {"speech reached the bound, caller gone on", speaking(10 * kChunk), notWaiting, true, FinalAction::None},
        {"end of audio, nothing heard", quietUtterance(), ended, false, FinalAction::FinalClosingUtterance},
        {"end of audio mid-speech", speaking(kChunk, "one"), ended, false, FinalAction::FinalClosingUtterance},
        {"end of audio after a pause", quietUtterance("one"), ended, true, FinalAction::FinalClosingUtterance},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(finalDue(c.state, options()), c.due);
        EXPECT_EQ(atCatchUp(c.state, c.where, options()), c.action);
    }
}

struct JoinCase {
    const char* name;
    Transcript first;
    Transcript second;
    std::string text;
    std::size_t words;
};

TEST(TaskPolicy, JoinTranscripts) {
    const Transcript unplaced{"two", {}};
    const JoinCase cases[] = {
        {"both placed", said("one"), said("two three"), "one two three", 3},
        {"the first empty", said(""), said("two"), "two", 1},
        {"the second empty", said("one"), said(""), "one", 1},
        {"the first without words", unplaced, said("three"), "two three", 0},
        {"the second without words", said("one"), unplaced, "one two", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Transcript joined = joinTranscripts(c.first, c.second);
        EXPECT_EQ(joined.text, c.text);
        EXPECT_EQ(joined.words.size(), c.words);
        if (c.words > 0) {
            EXPECT_EQ(spelled(joined), c.text);
        }
    }
}

TEST(TaskPolicy, JoinText) {
    EXPECT_EQ(joinText("", ""), "");
    EXPECT_EQ(joinText("one", ""), "one");
    EXPECT_EQ(joinText("", "two"), "two");
    EXPECT_EQ(joinText("one", "two"), "one two");
}

} // namespace
} // namespace olvek::pocketsphinx
