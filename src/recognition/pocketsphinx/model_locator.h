// Finding the installed PocketSphinx model for a locale.
//
// A model root holds one folder per locale, named after the locale in lower
// case with "-" between its parts: "en-US" and "en_US" both name "en-us". A
// locale folder holds
// - an acoustic model: a sub-folder with an "mdef" file;
// - a word language model: a "*.lm.bin" file (phone models, "*-phone.lm.bin",
//   are not word models and are never picked);
// - a pronunciation dictionary: a "*.dict" or "*.dic" file.
// When a folder holds several candidates of a kind, the one named after the
// locale folder wins ("en-us.lm.bin", "en-us/"), then the first by name, so
// the same files are chosen on every run.
//
// Every part is checked before the decoder sees it (present, a regular file
// or folder, readable, not empty): this PocketSphinx ends the process from
// inside the library on some missing or unreadable files. The language model
// must also be a whole binary trie model (see `isWholeTrieLanguageModel`):
// the library reads a cut-off one without complaint and then reads past its
// buffers.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace olvek::pocketsphinx {

struct ModelFiles {
    std::filesystem::path acousticModel; // folder
    std::filesystem::path languageModel;
    std::filesystem::path dictionary;
};

// The folder names tried for `localeId`, best first: the whole identifier
// ("en_US_POSIX" gives "en-us-posix"), then its language and region alone
// ("en-us"). Empty when the identifier is empty or holds anything but ASCII
// letters, digits, "-" and "_" (so it can never leave the model root).
std::vector<std::string> modelFolderNames(const std::string& localeId);

// The model for `localeId` under `modelRoot`: the first folder of
// `modelFolderNames` that exists decides; nothing when it lacks a part or a
// part fails the checks above.
std::optional<ModelFiles> locateModel(const std::filesystem::path& modelRoot, const std::string& localeId);

// The files an acoustic model folder must hold for this decoder: "mdef",
// "means", "variances", "transition_matrices", and "sendump" or
// "mixture_weights". True when each is a readable, non-empty regular file and
// the optional "feat.params" and "noisedict", when present, are readable.
bool isUsableAcousticModel(const std::filesystem::path& folder);

// Whether `path` is a binary trie language model ("Trie Language Model"
// header, order, n-gram counts) that ends, as a whole one does, with its word
// list: a 32-bit length, then exactly that many bytes holding one
// NUL-terminated word per unigram. A file cut short anywhere fails this.
bool isWholeTrieLanguageModel(const std::filesystem::path& path);

// The word list at the end of a whole binary trie language model (as
// `isWholeTrieLanguageModel` checks it): one NUL-terminated word per unigram,
// in the model's order. Nothing when `path` is not a whole one.
std::optional<std::string> trieLanguageModelWordList(const std::filesystem::path& path);

} // namespace olvek::pocketsphinx
