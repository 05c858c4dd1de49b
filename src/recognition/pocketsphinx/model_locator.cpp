#include "model_locator.h"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <system_error>

namespace olvek::pocketsphinx {
namespace fs = std::filesystem;

namespace {

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Opening the file and reading a byte is the only honest readability test:
// permission bits lie for root and for ACLs.
bool isReadableFile(const fs::path& path, bool mayBeEmpty) {
    std::error_code error;
    if (!fs::is_regular_file(path, error)) return false;
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    char byte;
    if (in.read(&byte, 1)) return true;
    return mayBeEmpty && in.eof();
}

bool isReadableNonEmptyFile(const fs::path& path) { return isReadableFile(path, false); }

bool existsAtAll(const fs::path& path) {
    std::error_code error;
    return fs::exists(fs::symlink_status(path, error));
}

// Entries of `folder` sorted by name, so every choice below is the same on
// every run whatever order the file system lists them in.
std::vector<fs::path> sortedEntries(const fs::path& folder) {
    std::vector<fs::path> entries;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        entries.push_back(it->path());
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

// The candidate named `preferred` when there is one, else the first.
std::optional<fs::path> pick(const std::vector<fs::path>& candidates, const std::string& preferred) {
    if (candidates.empty()) return std::nullopt;
    for (const auto& candidate : candidates) {
        if (candidate.filename() == preferred) return candidate;
    }
    return candidates.front();
}

std::uint32_t littleEndian32(const char* bytes) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes[i]);
    return value;
}

} // namespace

std::optional<std::string> trieLanguageModelWordList(const fs::path& path) {
    static const std::string kMagic = "Trie Language Model";
    constexpr int kMaxOrder = 6;
    std::ifstream in(path, std::ios::binary);
    std::string header(kMagic.size() + 1, '\0');
    if (!in.read(header.data(), static_cast<std::streamsize>(header.size()))) return std::nullopt;
    if (header.compare(0, kMagic.size(), kMagic) != 0) return std::nullopt;
    const int order = static_cast<unsigned char>(header.back());
    if (order < 1 || order > kMaxOrder) return std::nullopt;
    char count[4];
    if (!in.read(count, 4)) return std::nullopt;
    const std::uint64_t words = littleEndian32(count);
    if (words == 0) return std::nullopt;
    const std::uint64_t headerSize = kMagic.size() + 1 + 4 * static_cast<std::uint64_t>(order);

    std::error_code error;
    const std::uint64_t size = fs::file_size(path, error);
    if (error || size < headerSize + 4 + words) return std::nullopt;

    // Read ever larger tails until one holds all the words and a little more.
    std::string tail;
    std::uint64_t nuls = 0;
    for (std::uint64_t want = 1 << 20;; want *= 2) {
        const std::uint64_t length = std::min(want, size - headerSize);
        tail.assign(length, '\0');
        in.clear();
        in.seekg(static_cast<std::streamoff>(size - length));
        if (!in.read(tail.data(), static_cast<std::streamsize>(length))) return std::nullopt;
        nuls = static_cast<std::uint64_t>(std::count(tail.begin(), tail.end(), '\0'));
        if (nuls > words + 4 || length == size - headerSize) break;
    }
    if (tail.empty() || tail.back() != '\0') return std::nullopt;

    // The first word ends at the words-th NUL from the end; it starts just
    // after the 32-bit length, whose value is the distance to the end.
    std::uint64_t seen = 0;
    std::size_t firstEnd = tail.size();
    while (firstEnd > 0) {
        --firstEnd;
        if (tail[firstEnd] == '\0' && ++seen == words) break;
    }
    if (seen != words) return std::nullopt;
    for (std::size_t start = firstEnd;; --start) {
        if (start >= 4 && littleEndian32(tail.data() + start - 4) == tail.size() - start) return tail.substr(start);
        // Words hold no NUL: the first one cannot begin before one.
        if (start == 0 || tail[start - 1] == '\0') return std::nullopt;
    }
}

bool isWholeTrieLanguageModel(const fs::path& path) { return trieLanguageModelWordList(path).has_value(); }

std::vector<std::string> modelFolderNames(const std::string& localeId) {
    if (localeId.empty()) return {};
    std::string name;
    for (char c : localeId) {
        if (c >= 'A' && c <= 'Z') {
            name += static_cast<char>(c - 'A' + 'a');
        } else if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
            name += c;
        } else if (c == '-' || c == '_') {
            name += '-';
        } else {
            return {};
        }
    }
    std::vector<std::string> names{name};
    // "en_US_POSIX" and the like: variants beyond the region fall back to the
    // language and region's own model.
    const auto first = name.find('-');
    if (first != std::string::npos && first > 0) {
        const auto second = name.find('-', first + 1);
        if (second != std::string::npos && second > first + 1) names.push_back(name.substr(0, second));
    }
    return names;
}

bool isUsableAcousticModel(const fs::path& folder) {
    for (const char* required : {"mdef", "means", "variances", "transition_matrices"}) {
        if (!isReadableNonEmptyFile(folder / required)) return false;
    }
    if (!isReadableNonEmptyFile(folder / "sendump") && !isReadableNonEmptyFile(folder / "mixture_weights")) {
        return false;
    }
    for (const char* optional : {"feat.params", "noisedict"}) {
        if (existsAtAll(folder / optional) && !isReadableFile(folder / optional, true)) return false;
    }
    return true;
}

std::optional<ModelFiles> locateModel(const fs::path& modelRoot, const std::string& localeId) {
    for (const auto& name : modelFolderNames(localeId)) {
        const fs::path folder = modelRoot / name;
        std::error_code error;
        if (!fs::is_directory(folder, error)) continue;

        std::vector<fs::path> acousticModels, languageModels, dictionaries;
        for (const auto& entry : sortedEntries(folder)) {
            const std::string file = entry.filename().string();
            if (fs::is_directory(entry, error)) {
                if (existsAtAll(entry / "mdef")) acousticModels.push_back(entry);
            } else if (endsWith(file, ".lm.bin")) {
                if (!endsWith(file, "-phone.lm.bin")) languageModels.push_back(entry);
            } else if (endsWith(file, ".dict") || endsWith(file, ".dic")) {
                dictionaries.push_back(entry);
            }
        }
        auto acousticModel = pick(acousticModels, name);
        auto languageModel = pick(languageModels, name + ".lm.bin");
        auto dictionary = pick(dictionaries, name + ".dict");
        if (!acousticModel || !languageModel || !dictionary) return std::nullopt;
        if (!isUsableAcousticModel(*acousticModel) || !isWholeTrieLanguageModel(*languageModel) ||
            !isReadableNonEmptyFile(*dictionary)) {
            return std::nullopt;
        }
        return ModelFiles{*acousticModel, *languageModel, *dictionary};
    }
    return std::nullopt;
}

} // namespace olvek::pocketsphinx
