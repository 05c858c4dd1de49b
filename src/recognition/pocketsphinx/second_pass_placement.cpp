#include "second_pass_placement.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace olvek::pocketsphinx {
namespace {

constexpr double kFrameSeconds = 0.01;
// How far a live word may lie from where the second pass's frames, counted
// back from the utterance's end, put the same word, and still be that word:
// the second pass leaves out other quiet than the live pass, but within an
// utterance little. A repeated word ("the ... the") further away is another
// one.
constexpr double kSameWordSeconds = 0.3;

// A second-pass frame whose place in the stream is known.
struct Anchor {
    double frame = 0;
    double seconds = 0;
};

// For each word of `again`, the index of the `live` word it matches, or -1:
// a longest common subsequence of the two, of words with the same text that
// lie in about the same place.
std::vector<int> matchInOrder(const std::vector<DecodedWord>& again, const std::vector<TranscriptionSegment>& live,
                              UtteranceEnd end) {
    const std::size_t n = again.size();
    const std::size_t m = live.size();
    const auto same = [&](std::size_t i, std::size_t j) {
        const double expected = end.seconds - (end.frames - again[i].firstFrame) * kFrameSeconds;
        return again[i].text == live[j].substring && std::abs(live[j].timestamp - expected) <= kSameWordSeconds;
    };
    std::vector<std::vector<int>> table(n + 1, std::vector<int>(m + 1, 0));
    for (std::size_t i = n; i-- > 0;) {
        for (std::size_t j = m; j-- > 0;) {
            table[i][j] = same(i, j) ? table[i + 1][j + 1] + 1 : std::max(table[i + 1][j], table[i][j + 1]);
        }
    }
    std::vector<int> match(n, -1);
    for (std::size_t i = 0, j = 0; i < n && j < m;) {
        if (same(i, j)) {
            match[i++] = static_cast<int>(j++);
        } else if (table[i + 1][j] >= table[i][j + 1]) {
            ++i;
        } else {
            ++j;
        }
    }
    return match;
}

// The place of second-pass frame `frame`: between the anchors around it in
// proportion, 10 ms a frame outside them.
double secondsAt(const std::vector<Anchor>& anchors, double frame) {
    if (frame <= anchors.front().frame) return anchors.front().seconds - (anchors.front().frame - frame) * kFrameSeconds;
    if (frame >= anchors.back().frame) return anchors.back().seconds + (frame - anchors.back().frame) * kFrameSeconds;
    const auto after = std::upper_bound(anchors.begin(), anchors.end(), frame,
                                        [](double f, const Anchor& anchor) { return f < anchor.frame; });
    const Anchor& a = *(after - 1);
    const Anchor& b = *after;
    return a.seconds + (b.seconds - a.seconds) * (frame - a.frame) / (b.frame - a.frame);
}

} // namespace

std::vector<TranscriptionSegment> placeSecondPass(const std::vector<DecodedWord>& again,
                                                  const std::vector<TranscriptionSegment>& live,
                                                  UtteranceEnd end) {
    if (again.empty()) return {};
    const std::vector<int> match = matchInOrder(again, live, end);
    std::vector<Anchor> anchors;
    const auto anchor = [&](double frame, double seconds) {
        // Both passes keep their words in order, so anchors rise in frame
        // and time; one that would not (two words on one frame) adds nothing.
        if (anchors.empty() || (frame > anchors.back().frame && seconds >= anchors.back().seconds)) {
            anchors.push_back(Anchor{frame, seconds});
        }
    };
    for (std::size_t i = 0; i < again.size(); ++i) {
        if (match[i] < 0) continue;
        const TranscriptionSegment& placed = live[static_cast<std::size_t>(match[i])];
        anchor(again[i].firstFrame, placed.timestamp);
        anchor(again[i].lastFrame + 1, placed.timestamp + placed.duration);
    }
    // The search's end anchors the words after the last match: all of them
    // when nothing matched, counted back from it.
    anchor(end.frames, end.seconds);
    std::vector<TranscriptionSegment> out;
    double previousEnd = 0;
    for (std::size_t i = 0; i < again.size(); ++i) {
        const DecodedWord& word = again[i];
        double start = 0;
        double stop = 0;
        if (match[i] >= 0) {
            const TranscriptionSegment& placed = live[static_cast<std::size_t>(match[i])];
            start = placed.timestamp;
            stop = placed.timestamp + placed.duration;
        } else {
            start = secondsAt(anchors, word.firstFrame);
            stop = secondsAt(anchors, word.lastFrame + 1);
        }
        start = std::max(start, previousEnd);
        stop = std::max(stop, start);
        out.push_back(TranscriptionSegment{word.text, start, stop - start, word.confidence});
        previousEnd = stop;
    }
    return out;
}

} // namespace olvek::pocketsphinx
