// Languages as people type them, and which of them have a speech model.
//
// The helper takes one language argument: "en" (en-US), "auto" (the user's
// current locale, from LC_ALL, LC_MESSAGES or LANG) or anything else (zh-CN).
// These functions map what a person types ("en", "en-US", "en_US", "en-us",
// "fr_FR.UTF-8", "auto") onto that argument without changing the helper's
// rules: a locale other than en-US and zh-CN is reached through "auto" with
// LC_ALL set to it in the helper's environment.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace olvek::host {

struct HelperLanguage {
    std::string argument; // the helper's language argument: "en", "zh" or "auto"
    std::string localeId; // the locale the helper will look a model up for ("en-US", "fr_FR")
    // When set: the helper's LC_ALL, which its "auto" reads.
    std::optional<std::string> localeEnvironment;
};

// How to ask the helper for `name`. `currentLocale` is the locale identifier
// "auto" stands for (currentLocaleIdentifier() in this process, which is
// what the helper, started with the same environment, will see). Case, "-"
// against "_", and a codeset or modifier (".UTF-8", "@euro") do not matter.
// Nothing when `name` is not a locale name (anything but ASCII letters and
// digits in parts joined by "-" or "_").
std::optional<HelperLanguage> helperLanguageFor(const std::string& name, const std::string& currentLocale);

// The locales with a usable model under `modelRoot` (every part present and
// whole), as identifiers ("en-US" for the folder "en-us"), sorted.
std::vector<std::string> installedLanguages(const std::filesystem::path& modelRoot);

// Why `localeId` has no usable model under `modelRoot`, in words that name
// the folder looked for, or the file that is missing, empty, unreadable or
// cut short. Empty when the model is usable.
std::string modelProblem(const std::filesystem::path& modelRoot, const std::string& localeId);

} // namespace olvek::host
