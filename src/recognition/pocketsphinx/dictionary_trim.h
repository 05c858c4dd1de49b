// A pronunciation dictionary cut down to the words a language model knows.
//
// The decoder builds its search over every dictionary entry, but only words
// the language model knows can ever be recognized: the others cost load time
// and memory and change nothing. The stock English model knows about 79,000
// of its dictionary's 134,723 entries.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "recognition/pocketsphinx/model_locator.h"

namespace olvek::pocketsphinx {

// The lines of `dictionary` (one entry a line: the word, white space, its
// phones) whose word `wordList` holds, or whose word is an alternate
// pronunciation ("word(2)") of a word it holds. `wordList` is NUL-terminated
// words, as a trie language model stores them. Kept lines are whole and in
// their order; blank lines go.
std::string keepKnownWords(std::string_view dictionary, std::string_view wordList);

// A file that lives in memory only and goes away with this object (and
// with the process). Nothing is written to any folder.
class MemoryFile {
public:
    // A file holding `contents`; nothing when the system gives none.
    static std::unique_ptr<MemoryFile> create(std::string_view contents);
    ~MemoryFile();
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    // A path that this process can open the file by, while this object lives.
    const std::string& path() const { return path_; }

private:
    explicit MemoryFile(int fd);
    int fd_;
    std::string path_;
};

// The dictionary of `files` trimmed to the words of its language model, as a
// memory file; nothing when a part cannot be read (the caller then uses the
// whole dictionary, which gives the same words).
std::unique_ptr<MemoryFile> trimmedDictionary(const ModelFiles& files);

} // namespace olvek::pocketsphinx
