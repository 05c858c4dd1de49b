// Trimming the dictionary to the language model's words: the rule on small
// texts, then the stock model, whose decoder must give the same words either
// way.
#include "recognition/pocketsphinx/dictionary_trim.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

namespace olvek::pocketsphinx {
namespace {

using namespace std::string_literals;

struct TrimCase {
    const char* name;
    std::string dictionary;
    std::string wordList; // NUL-terminated words
    std::string kept;
};

class KeepKnownWords : public ::testing::TestWithParam<TrimCase> {};

TEST_P(KeepKnownWords, KeepsTheLinesOfKnownWordsWhole) {
    const TrimCase& c = GetParam();
    EXPECT_EQ(keepKnownWords(c.dictionary, c.wordList), c.kept);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, KeepKnownWords,
    ::testing::Values(
        TrimCase{"KnownWord", "hello HH AH L OW\n", "hello\0"s, "hello HH AH L OW\n"},
        TrimCase{"UnknownWord", "hello HH AH L OW\n", "world\0"s, ""},
        TrimCase{"InTheOrderOfTheDictionary", "b B IY\na EY\nc S IY\n", "c\0a\0"s, "a EY\nc S IY\n"},
        TrimCase{"AlternatePronunciationsOfAKnownWord", "read R IY D\nread(2) R EH D\nread(12) R IH D\n",
                 "read\0"s, "read R IY D\nread(2) R EH D\nread(12) R IH D\n"},
        TrimCase{"AlternatePronunciationOfAnUnknownWord", "reed R IY D\nread(2) R EH D\n", "reed\0"s,
                 "reed R IY D\n"},
        TrimCase{"ParenthesesThatAreNoAlternate", "x(b) EH K S\n(2) T UW\nx() EH K S\n", "x\0"s, ""},
        TrimCase{"AWordThatLooksLikeAnAlternateButIsKnownItself", "x(b) EH K S\n", "x(b)\0"s, "x(b) EH K S\n"},
        TrimCase{"APrefixOfAKnownWord", "hell HH EH L\nhello HH AH L OW\n", "hello\0"s, "hello HH AH L OW\n"},
        TrimCase{"AKnownWordWithMoreAfterIt", "hello HH AH L OW\n", "hell\0"s, ""},
        TrimCase{"CaseMatters", "Hello HH AH L OW\n", "hello\0"s, ""},
        TrimCase{"TabsAndALastLineWithoutNewline", "a\tEY\nb\tB IY", "a\0b\0"s, "a\tEY\nb\tB IY\n"},
        TrimCase{"BlankLines", "\na EY\n\n   \n", "a\0"s, "a EY\n"},
        TrimCase{"AnEmptyWordInTheList", "a EY\n", "\0a\0"s, "a EY\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MemoryFile, IsReadByItsPathWhileItLives) {
    const std::string contents = "a EY\nb B IY\n"s + std::string(100000, 'x');
    auto file = MemoryFile::create(contents);
    ASSERT_NE(file, nullptr);
    std::ifstream in(file->path(), std::ios::binary);
    const std::string read((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(read, contents);
    // A second reader starts at the beginning too.
    std::ifstream again(file->path(), std::ios::binary);
    std::string head(4, '\0');
    again.read(head.data(), 4);
    EXPECT_EQ(head, "a EY");
}

} // namespace
} // namespace olvek::pocketsphinx
