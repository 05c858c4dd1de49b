// Recorded speech from pocketsphinx-testdata for the speech tests of the
// host: the LibriVox clips with their reference words, the short raw
// recordings, and how much of a reference a transcript has.
#pragma once

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <map>
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

} // namespace olvek::testing
