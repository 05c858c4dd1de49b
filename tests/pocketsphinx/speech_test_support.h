// Recorded speech, word error rate and temporary model roots for the
// PocketSphinx tests.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/pcm_buffer.h"

namespace olvek::testing {

namespace fs = std::filesystem;

inline const fs::path kStockModelRoot = "/usr/share/pocketsphinx/model";
inline const fs::path kStockEnUs = kStockModelRoot / "en-us";
inline const fs::path kLibrivox = "/usr/share/pocketsphinx/test/data/librivox";

// The samples of a 16 kHz mono 16-bit PCM WAV file; nothing for anything else.
inline std::optional<std::vector<std::int16_t>> readWav(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto u32 = [&](std::size_t at) {
        return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at])) |
               static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 8 |
               static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 2])) << 16 |
               static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 3])) << 24;
    };
    if (bytes.size() < 12 || bytes.compare(0, 4, "RIFF") != 0 || bytes.compare(8, 4, "WAVE") != 0) return {};
    bool formatOk = false;
    for (std::size_t at = 12; at + 8 <= bytes.size();) {
        const std::string id = bytes.substr(at, 4);
        const std::uint32_t size = u32(at + 4);
        const std::size_t body = at + 8;
        if (body + size > bytes.size()) return {};
        if (id == "fmt " && size >= 16) {
            const auto channels = static_cast<unsigned char>(bytes[body + 2]);
            const auto bits = static_cast<unsigned char>(bytes[body + 14]);
            formatOk = bytes[body] == 1 && bytes[body + 1] == 0 && channels == 1 && u32(body + 4) == 16000 &&
                       bits == 16;
        } else if (id == "data" && formatOk) {
            std::vector<std::int16_t> samples(size / 2);
            for (std::size_t i = 0; i < samples.size(); ++i) {
                samples[i] = static_cast<std::int16_t>(static_cast<unsigned char>(bytes[body + 2 * i]) |
                                                       static_cast<unsigned char>(bytes[body + 2 * i + 1]) << 8);
            }
            return samples;
        }
        at = body + size + (size & 1);
    }
    return {};
}

// Lower-case words, with sentence marks and "(utterance id)" tails removed.
inline std::vector<std::string> words(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string word; in >> word;) {
        if (word == "<s>" || word == "</s>" || word.front() == '(') continue;
        std::transform(word.begin(), word.end(), word.begin(), [](unsigned char c) { return std::tolower(c); });
        out.push_back(word);
    }
    return out;
}

// Word-level edit distance.
inline std::size_t wordErrors(const std::vector<std::string>& reference, const std::vector<std::string>& hypothesis) {
    std::vector<std::size_t> row(hypothesis.size() + 1);
    for (std::size_t j = 0; j <= hypothesis.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= reference.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= hypothesis.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (reference[i - 1] == hypothesis[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[hypothesis.size()];
}

// The librivox clips and their reference texts, by file id, in file order.
inline std::vector<std::pair<std::string, std::string>> librivoxReferences() {
    std::vector<std::pair<std::string, std::string>> out;
    std::ifstream in(kLibrivox / "transcription");
    for (std::string line; std::getline(in, line);) {
        const auto open = line.rfind('(');
        const auto close = line.rfind(')');
        if (open == std::string::npos || close == std::string::npos || close < open) continue;
        out.emplace_back(line.substr(open + 1, close - open - 1), line.substr(0, open));
    }
    return out;
}

inline std::shared_ptr<const PcmBuffer> pcmBuffer(const std::int16_t* samples, std::size_t count) {
    static const auto format = PcmFormat::create(CommonFormat::Int16, 16000, 1, false);
    auto buffer = PcmBuffer::create(format, static_cast<std::uint32_t>(count));
    std::copy(samples, samples + count, buffer->int16ChannelData());
    buffer->setFrameLength(static_cast<std::uint32_t>(count));
    return buffer;
}

inline std::shared_ptr<const PcmBuffer> pcmBuffer(const std::vector<std::int16_t>& samples) {
    return pcmBuffer(samples.data(), samples.size());
}

// A fresh folder under the system's temporary folder, removed with this.
class TemporaryFolder {
public:
    TemporaryFolder() {
        std::string pattern = (fs::temp_directory_path() / "olvek-ps-XXXXXX").string();
        path = ::mkdtemp(pattern.data());
    }
    ~TemporaryFolder() {
        std::error_code error;
        fs::remove_all(path, error);
    }
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

    fs::path path;
};

// Builds a locale folder under a model root out of symlinks to the stock
// en-us files, which a case may then remove or replace.
inline fs::path linkStockModel(const fs::path& root, const std::string& folderName) {
    const fs::path folder = root / folderName;
    fs::create_directories(folder / "en-us");
    for (const auto& entry : fs::directory_iterator(kStockEnUs / "en-us")) {
        fs::create_symlink(entry.path(), folder / "en-us" / entry.path().filename());
    }
    for (const char* file : {"en-us.lm.bin", "en-us-phone.lm.bin", "cmudict-en-us.dict"}) {
        fs::create_symlink(kStockEnUs / file, folder / file);
    }
    return folder;
}

// Replaces `path` (a symlink) by a real file holding the first `bytes` of
// what it pointed to, or `text` when given.
inline void replaceWithFile(const fs::path& path, std::size_t bytes, const std::string* text = nullptr) {
    std::string content;
    if (text) {
        content = *text;
    } else {
        std::ifstream in(path, std::ios::binary);
        content.resize(bytes);
        in.read(content.data(), static_cast<std::streamsize>(bytes));
        content.resize(static_cast<std::size_t>(in.gcount()));
    }
    fs::remove(path);
    std::ofstream(path, std::ios::binary) << content;
}

} // namespace olvek::testing
