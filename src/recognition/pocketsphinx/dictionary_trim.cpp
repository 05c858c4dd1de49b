#include "dictionary_trim.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <unordered_set>

#include <sys/mman.h>
#include <unistd.h>

namespace olvek::pocketsphinx {

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// "word(2)" names the second pronunciation of "word"; anything else is itself.
std::string_view baseWord(std::string_view word) {
    if (word.size() < 4 || word.back() != ')') return word;
    const auto open = word.rfind('(');
    if (open == std::string_view::npos || open == 0 || open + 2 >= word.size()) return word;
    for (auto i = open + 1; i + 1 < word.size(); ++i) {
        if (word[i] < '0' || word[i] > '9') return word;
    }
    return word.substr(0, open);
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

} // namespace

std::string keepKnownWords(std::string_view dictionary, std::string_view wordList) {
    std::unordered_set<std::string_view> known;
    known.reserve(static_cast<std::size_t>(std::count(wordList.begin(), wordList.end(), '\0')) + 1);
    for (std::size_t at = 0; at < wordList.size();) {
        auto end = wordList.find('\0', at);
        if (end == std::string_view::npos) end = wordList.size();
        known.insert(wordList.substr(at, end - at));
        at = end + 1;
    }
    std::string kept;
    kept.reserve(dictionary.size());
    for (std::size_t at = 0; at < dictionary.size();) {
        auto end = dictionary.find('\n', at);
        end = end == std::string_view::npos ? dictionary.size() : end + 1;
        const std::string_view line = dictionary.substr(at, end - at);
        at = end;
        std::size_t wordEnd = 0;
        while (wordEnd < line.size() && !isSpace(line[wordEnd]) && line[wordEnd] != '\n') ++wordEnd;
        const std::string_view word = line.substr(0, wordEnd);
        if (word.empty()) continue;
        if (known.count(word) != 0 || (word.back() == ')' && known.count(baseWord(word)) != 0)) {
            kept += line;
            if (kept.back() != '\n') kept += '\n';
        }
    }
    return kept;
}

std::unique_ptr<MemoryFile> MemoryFile::create(std::string_view contents) {
    const int fd = ::memfd_create("olvek-dictionary", MFD_CLOEXEC);
    if (fd < 0) return nullptr;
    std::unique_ptr<MemoryFile> file(new MemoryFile(fd));
    if (!writeAll(fd, contents)) return nullptr;
    // Opened by path, the file is read from its start whatever this
    // descriptor's offset; the check makes sure the path really works here
    // (no /proc, say), or the caller falls back to the file on disk.
    std::ifstream probe(file->path(), std::ios::binary);
    char first = 0;
    if (!contents.empty() && !(probe.read(&first, 1) && first == contents.front())) return nullptr;
    return file;
}

MemoryFile::MemoryFile(int fd) : fd_(fd), path_("/proc/self/fd/" + std::to_string(fd)) {}

MemoryFile::~MemoryFile() { ::close(fd_); }

std::unique_ptr<MemoryFile> trimmedDictionary(const ModelFiles& files) {
    const auto wordList = trieLanguageModelWordList(files.languageModel);
    if (!wordList) return nullptr;
    std::error_code error;
    const auto size = std::filesystem::file_size(files.dictionary, error);
    if (error) return nullptr;
    std::ifstream in(files.dictionary, std::ios::binary);
    std::string dictionary(static_cast<std::size_t>(size), '\0');
    if (!in.read(dictionary.data(), static_cast<std::streamsize>(size))) return nullptr;
    const std::string kept = keepKnownWords(dictionary, *wordList);
    // A dictionary that shares no word with its model would leave the
    // decoder nothing to say; the whole one then fails or works as it would.
    if (kept.empty()) return nullptr;
    return MemoryFile::create(kept);
}

} // namespace olvek::pocketsphinx
