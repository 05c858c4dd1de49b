// Recorded speech from pocketsphinx-testdata for the speech tests of the
// host: the LibriVox clips with their reference words, the short raw
// recordings, and how much of a reference a transcript has.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "../transcribe_run.h"

namespace olvek::testing {

// The file of a LibriVox clip, by its id ("sense_and_sensibility_01_austen_64kb-0880").
inline std::string librivoxClip(const std::string& id) { return std::string(OLVEK_LIBRIVOX_DIR) + "/" + id + ".wav"; }

// The reference words of each clip, from the "transcription" file, by id.
inline std::map<std::string, std::vector<std::string>> librivoxReferences() {
    std::map<std::string, std::vector<std::string>> out;
    std::ifstream in(std::string(OLVEK_LIBRIVOX_DIR) + "/transcription");
    std::string line;
    const std::regex entry(R"(<s>\s*(.*?)\s*</s>\s*\((.*)\))");
    std::smatch m;
    while (std::getline(in, line)) {
        if (std::regex_search(line, m, entry)) out[m[2]] = wordsOf(m[1]);
    }
    return out;
}

// The samples of one of the raw recordings beside the LibriVox folder
// ("something.raw": 16 kHz mono 16-bit little-endian).
inline std::vector<std::int16_t> pocketsphinxTestRaw(const std::string& name) {
    const std::string path = std::string(OLVEK_LIBRIVOX_DIR) + "/../" + name;
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::int16_t> samples(bytes.size() / 2);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const auto low = static_cast<unsigned char>(bytes[2 * i]);
        const auto high = static_cast<unsigned char>(bytes[2 * i + 1]);
        samples[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(low | high << 8));
    }
    return samples;
}

// For each reference word, whether the transcript has it, in order: a
// longest common subsequence over words.
inline std::vector<bool> wordsHeard(const std::vector<std::string>& reference, const std::vector<std::string>& heard) {
    std::vector<std::vector<int>> table(reference.size() + 1, std::vector<int>(heard.size() + 1, 0));
    for (std::size_t i = 1; i <= reference.size(); ++i) {
        for (std::size_t j = 1; j <= heard.size(); ++j) {
            table[i][j] = reference[i - 1] == heard[j - 1] ? table[i - 1][j - 1] + 1
                                                           : std::max(table[i - 1][j], table[i][j - 1]);
        }
    }
    std::vector<bool> found(reference.size(), false);
    for (std::size_t i = reference.size(), j = heard.size(); i > 0 && j > 0;) {
        if (reference[i - 1] == heard[j - 1]) {
            found[--i] = true;
            --j;
        } else if (table[i - 1][j] >= table[i][j - 1]) {
            --i;
        } else {
            --j;
        }
    }
    return found;
}

// Reference words that the transcript has, in order, as a share of the
// reference.
inline double wordRecall(const std::vector<std::string>& reference, const std::vector<std::string>& heard) {
    const auto found = wordsHeard(reference, heard);
    const auto count = std::count(found.begin(), found.end(), true);
    return reference.empty() ? 0 : static_cast<double>(count) / static_cast<double>(reference.size());
}

// The recall of each of several sentences spoken one after another, against
// one transcript of them all: the sentences are matched together, in order,
// so a word can count for one sentence only.
inline std::vector<double> sentenceRecalls(const std::vector<std::vector<std::string>>& sentences,
                                           const std::vector<std::string>& heard) {
    std::vector<std::string> all;
    for (const auto& sentence : sentences) all.insert(all.end(), sentence.begin(), sentence.end());
    const auto found = wordsHeard(all, heard);
    std::vector<double> out;
    std::size_t at = 0;
    for (const auto& sentence : sentences) {
        const auto count = std::count(found.begin() + static_cast<std::ptrdiff_t>(at),
                                      found.begin() + static_cast<std::ptrdiff_t>(at + sentence.size()), true);
        out.push_back(sentence.empty() ? 0 : static_cast<double>(count) / static_cast<double>(sentence.size()));
        at += sentence.size();
    }
    return out;
}

// The recall of `reference` among the last words of the transcript (as many
// as the reference has, and `slack` more): whether it ends with them.
inline double tailRecall(const std::vector<std::string>& reference, const std::vector<std::string>& heard,
                         std::size_t slack = 2) {
    const auto keep = static_cast<std::ptrdiff_t>(std::min(heard.size(), reference.size() + slack));
    return wordRecall(reference, std::vector<std::string>(heard.end() - keep, heard.end()));
}

// Where speech lies in `samples` (16 kHz), in seconds: from the first to the
// last run of 50 ms or more of 10 ms frames at least 15 dB above the clip's
// noise floor (its 10th-percentile frame). Nothing when there is none.
struct Span {
    double start = 0;
    double end = 0;
};

inline std::optional<Span> speechSpan(const std::vector<std::int16_t>& samples) {
    constexpr std::size_t kFrame = 160;
    std::vector<double> levels;
    for (std::size_t at = 0; at + kFrame <= samples.size(); at += kFrame) {
        double energy = 0;
        for (std::size_t i = at; i < at + kFrame; ++i) energy += static_cast<double>(samples[i]) * samples[i];
        levels.push_back(10 * std::log10(energy / kFrame + 1.0));
    }
    if (levels.empty()) return std::nullopt;
    std::vector<double> sorted = levels;
    std::sort(sorted.begin(), sorted.end());
    const double floor = sorted[sorted.size() / 10];
    std::optional<Span> span;
    std::size_t runStart = 0;
    bool inRun = false;
    for (std::size_t i = 0; i <= levels.size(); ++i) {
        const bool loud = i < levels.size() && levels[i] >= floor + 15;
        if (loud && !inRun) {
            runStart = i;
            inRun = true;
        } else if (!loud && inRun) {
            inRun = false;
            if (i - runStart < 5) continue;
            if (!span) span = Span{static_cast<double>(runStart) / 100, 0};
            span->end = static_cast<double>(i) / 100;
        }
    }
    return span;
}

inline const std::string kClipPrefix = "sense_and_sensibility_01_austen_64kb-";
inline constexpr std::size_t kRate = 16000;

// One recorded sentence and its reference words.
struct Spoken {
    std::vector<std::int16_t> samples;
    std::vector<std::string> words;
};

inline Spoken librivox(const std::string& number) {
    const std::string id = kClipPrefix + number;
    return {readSamples(librivoxClip(id)), librivoxReferences().at(id)};
}

inline Spoken goSomewhere() { return {pocketsphinxTestRaw("something.raw"), wordsOf("go somewhere and do something")}; }

// Sentences joined by pauses. A pause is quiet noise, as a room gives
// (uniform, within +-30, from a fixed seed), not digital zeros: a second of
// near-zero samples upsets the decoder's live normalisation, which no
// microphone host ever sends.
class Recording {
public:
    // `seconds` of quiet, as before the first sentence.
    Recording& pause(double seconds) {
        const auto count = static_cast<std::size_t>(seconds * kRate);
        for (std::size_t i = 0; i < count; ++i) {
            noise_ = noise_ * 1664525u + 1013904223u;
            samples_.push_back(static_cast<std::int16_t>(static_cast<int>((noise_ >> 16) % 61) - 30));
        }
        return *this;
    }

    // `pauseSeconds` of quiet before the sentence (none before the first).
    // `seconds` of digital silence: exact zeros, as a muted microphone sends.
    Recording& mute(double seconds) {
        samples_.insert(samples_.end(), static_cast<std::size_t>(seconds * kRate), 0);
        return *this;
    }

    Recording& then(const Spoken& sentence, double pauseSeconds = 1.0) {
        if (!sentences_.empty()) pause(pauseSeconds);
        // A pause of a second or more ends an utterance: a final is due there.
        if (sentences_.empty() || pauseSeconds >= 1.0) groups_.emplace_back();
        groups_.back().insert(groups_.back().end(), sentence.words.begin(), sentence.words.end());
        const double offset = static_cast<double>(samples_.size()) / kRate;
        const Span within = speechSpan(sentence.samples).value_or(Span{});
        spans_.push_back(Span{offset + within.start, offset + within.end});
        samples_.insert(samples_.end(), sentence.samples.begin(), sentence.samples.end());
        sentences_.push_back(sentence.words);
        return *this;
    }

    const std::vector<std::int16_t>& samples() const { return samples_; }
    const std::vector<std::vector<std::string>>& sentences() const { return sentences_; }
    // The words between pauses of a second or more, one entry per final due.
    const std::vector<std::vector<std::string>>& groups() const { return groups_; }
    // Where each sentence's speech lies in the recording, in seconds.
    const std::vector<Span>& spans() const { return spans_; }

private:
    std::vector<std::int16_t> samples_;
    std::vector<std::vector<std::string>> sentences_;
    std::vector<std::vector<std::string>> groups_;
    std::vector<Span> spans_;
    std::uint32_t noise_ = 1;
};

} // namespace olvek::testing
