#include "language_models.h"

#include <algorithm>
#include <fstream>
#include <system_error>

#include "recognition/pocketsphinx/model_locator.h"

namespace olvek::host {
namespace fs = std::filesystem;
namespace {

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// "" when `path` is a readable file with at least one byte, else what is wrong.
std::string fileProblem(const fs::path& path) {
    std::error_code error;
    auto status = fs::status(path, error);
    if (!fs::exists(status)) return path.string() + " is missing";
    if (!fs::is_regular_file(status)) return path.string() + " is not a regular file";
    std::ifstream in(path, std::ios::binary);
    if (!in) return path.string() + " cannot be read";
    char byte;
    if (!in.read(&byte, 1)) return path.string() + " is empty";
    return "";
}

// The model locator's choice among candidates: the one named `preferred`,
// else the first by name.
std::optional<fs::path> pick(std::vector<fs::path> candidates, const std::string& preferred) {
    if (candidates.empty()) return std::nullopt;
    std::sort(candidates.begin(), candidates.end());
    for (const auto& candidate : candidates) {
        if (candidate.filename() == preferred) return candidate;
    }
    return candidates.front();
}

std::string folderProblem(const fs::path& folder, const std::string& name) {
    std::vector<fs::path> acoustic, language, dictionaries;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const fs::path& entry = it->path();
        const std::string file = entry.filename().string();
        std::error_code ignored;
        if (fs::is_directory(entry, ignored)) {
            if (fs::exists(fs::symlink_status(entry / "mdef", ignored))) acoustic.push_back(entry);
        } else if (endsWith(file, ".lm.bin")) {
            if (!endsWith(file, "-phone.lm.bin")) language.push_back(entry);
        } else if (endsWith(file, ".dict") || endsWith(file, ".dic")) {
            dictionaries.push_back(entry);
        }
    }
    auto am = pick(acoustic, name);
    if (!am) return "no acoustic model in " + folder.string() + " (a folder holding mdef)";
    for (const char* part : {"mdef", "means", "variances", "transition_matrices"}) {
        if (auto problem = fileProblem(*am / part); !problem.empty()) return problem;
    }
    if (fileProblem(*am / "sendump").empty() == false && fileProblem(*am / "mixture_weights").empty() == false) {
        return fileProblem(*am / "sendump") + " (and so is mixture_weights, which could stand in for it)";
    }
    if (!pocketsphinx::isUsableAcousticModel(*am)) {
        return (*am / "feat.params").string() + " or " + (*am / "noisedict").string() + " cannot be read";
    }
    auto lm = pick(language, name + ".lm.bin");
    if (!lm) return "no word language model (*.lm.bin) in " + folder.string();
    if (auto problem = fileProblem(*lm); !problem.empty()) return problem;
    if (!pocketsphinx::isWholeTrieLanguageModel(*lm)) {
        return lm->string() + " is cut short or is not a binary trie language model";
    }
    auto dict = pick(dictionaries, name + ".dict");
    if (!dict) return "no pronunciation dictionary (*.dict or *.dic) in " + folder.string();
    if (auto problem = fileProblem(*dict); !problem.empty()) return problem;
    return "the model in " + folder.string() + " is not usable";
}

// "en-us" gives "en-US", "fr" "fr": the language in lower case, the other
// parts in upper case, joined by `joiner`.
std::string localeFromParts(const std::vector<std::string>& parts, char joiner) {
    std::string id;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) id += joiner;
        for (char c : parts[i]) {
            id += static_cast<char>(i == 0 ? std::tolower(static_cast<unsigned char>(c))
                                           : std::toupper(static_cast<unsigned char>(c)));
        }
    }
    return id;
}

} // namespace

std::optional<HelperLanguage> helperLanguageFor(const std::string& name, const std::string& currentLocale) {
    if (name == "auto") return HelperLanguage{"auto", currentLocale, std::nullopt};
    // A codeset or modifier, as in a pasted $LANG, names no other language.
    std::string bare = name.substr(0, name.find_first_of(".@"));
    std::vector<std::string> parts(1);
    for (char c : bare) {
        if (c == '-' || c == '_') {
            parts.emplace_back();
        } else if (std::isalnum(static_cast<unsigned char>(c)) && static_cast<unsigned char>(c) < 0x80) {
            parts.back() += c;
        } else {
            return std::nullopt;
        }
    }
    for (const auto& part : parts) {
        if (part.empty()) return std::nullopt;
    }
    const std::string id = localeFromParts(parts, '-');
    // The helper's own two names: each reaches exactly one locale.
    if (id == "en" || id == "en-US") return HelperLanguage{"en", "en-US", std::nullopt};
    if (id == "zh" || id == "zh-CN") return HelperLanguage{"zh", "zh-CN", std::nullopt};
    const std::string posixId = localeFromParts(parts, '_');
    return HelperLanguage{"auto", posixId, posixId + ".UTF-8"};
}

std::vector<std::string> installedLanguages(const fs::path& modelRoot) {
    std::vector<std::string> languages;
    std::error_code error;
    for (fs::directory_iterator it(modelRoot, error), end; !error && it != end; it.increment(error)) {
        std::error_code ignored;
        if (!fs::is_directory(it->path(), ignored)) continue;
        const std::string folder = it->path().filename().string();
        // Only a folder the locator would find under its own name.
        auto names = pocketsphinx::modelFolderNames(folder);
        if (names.empty() || names.front() != folder) continue;
        if (!pocketsphinx::locateModel(modelRoot, folder)) continue;
        std::vector<std::string> parts(1);
        for (char c : folder) {
            if (c == '-') {
                parts.emplace_back();
            } else {
                parts.back() += c;
            }
        }
        languages.push_back(localeFromParts(parts, '-'));
    }
    std::sort(languages.begin(), languages.end());
    return languages;
}

std::string modelProblem(const fs::path& modelRoot, const std::string& localeId) {
    auto names = pocketsphinx::modelFolderNames(localeId);
    if (names.empty()) return "\"" + localeId + "\" is not a locale name";
    if (pocketsphinx::locateModel(modelRoot, localeId)) return "";
    for (const auto& name : names) {
        std::error_code error;
        if (fs::is_directory(modelRoot / name, error)) return folderProblem(modelRoot / name, name);
    }
    std::string looked = (modelRoot / names[0]).string();
    for (std::size_t i = 1; i < names.size(); ++i) looked += " or " + (modelRoot / names[i]).string();
    return "no model folder " + looked;
}

} // namespace olvek::host
