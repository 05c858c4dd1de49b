#include "platform/current_locale.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace olvek {
namespace {

struct LocaleCase {
    const char* lcAll;
    const char* lcMessages;
    const char* lang;
    const char* identifier;
};

class CurrentLocale : public ::testing::TestWithParam<LocaleCase> {
protected:
    void SetUp() override {
        for (const char* name : kVariables) {
            const char* value = std::getenv(name);
            saved_.emplace_back(value ? std::optional<std::string>(value) : std::nullopt);
        }
    }
    void TearDown() override {
        for (std::size_t i = 0; i < 3; ++i) set(kVariables[i], saved_[i] ? saved_[i]->c_str() : nullptr);
    }
    static constexpr const char* kVariables[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
    std::vector<std::optional<std::string>> saved_;

    static void set(const char* name, const char* value) {
        if (value) {
            setenv(name, value, 1);
        } else {
            unsetenv(name);
        }
    }
};

TEST_P(CurrentLocale, IdentifierFromTheEnvironment) {
    const auto& c = GetParam();
    set("LC_ALL", c.lcAll);
    set("LC_MESSAGES", c.lcMessages);
    set("LANG", c.lang);
    EXPECT_EQ(currentLocaleIdentifier(), c.identifier);
}

INSTANTIATE_TEST_SUITE_P(Cases, CurrentLocale,
                         ::testing::Values(LocaleCase{nullptr, nullptr, "en_US.UTF-8", "en_US"},
                                           LocaleCase{"de_DE.UTF-8", "fr_FR", "en_US", "de_DE"},
                                           LocaleCase{"", "fr_FR.ISO-8859-1", "en_US", "fr_FR"},
                                           LocaleCase{nullptr, nullptr, "sr_RS@latin", "sr_RS"},
                                           LocaleCase{nullptr, nullptr, "zh_CN.GB18030@stroke", "zh_CN"},
                                           LocaleCase{nullptr, nullptr, "C", "en_US_POSIX"},
                                           LocaleCase{nullptr, nullptr, "C.UTF-8", "en_US_POSIX"},
                                           LocaleCase{"POSIX", nullptr, "en_US", "en_US_POSIX"},
                                           LocaleCase{nullptr, nullptr, nullptr, "en_US_POSIX"},
                                           LocaleCase{"", "", "", "en_US_POSIX"},
                                           LocaleCase{nullptr, nullptr, "xx_\xFF.UTF-8", "xx_\xEF\xBF\xBD"}));

} // namespace
} // namespace olvek
