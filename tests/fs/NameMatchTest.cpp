// Name patterns of search and filters, and the filter list's limits.

#include <gtest/gtest.h>

#include "fs/NameMatch.h"

namespace dravik {
namespace {

TEST(MatchNameTest, EmptyNamesAndPatternsNeverMatch) {
  EXPECT_FALSE(MatchName(u"", u"*"));
  EXPECT_FALSE(MatchName(u"", u"a"));
  EXPECT_FALSE(MatchName(u"a.txt", u""));
}

TEST(MatchNameTest, StarAndStarDotStar) {
  EXPECT_TRUE(MatchName(u"a", u"*"));
  EXPECT_TRUE(MatchName(u"no dot here", u"*"));
  EXPECT_TRUE(MatchName(u"a.txt", u"*.*"));
  EXPECT_TRUE(MatchName(u".profile", u"*.*"));
  EXPECT_FALSE(MatchName(u"makefile", u"*.*"));
}

TEST(MatchNameTest, WithoutWildcardsANameContainingThePatternMatches) {
  EXPECT_TRUE(MatchName(u"annual report.txt", u"report"));
  EXPECT_TRUE(MatchName(u"report", u"report"));
  EXPECT_TRUE(MatchName(u"x.txt", u".txt"));
  EXPECT_FALSE(MatchName(u"annual report.txt", u"reports"));
  EXPECT_FALSE(MatchName(u"rep", u"report")) << "a pattern longer than the name";
  EXPECT_FALSE(MatchName(u"Report", u"report")) << "callers lower-case both sides";
}

TEST(MatchNameTest, QuestionMarksWithoutStarWalkFromTheStart) {
  EXPECT_TRUE(MatchName(u"abc", u"a?c"));
  EXPECT_TRUE(MatchName(u"abcdef", u"a?c")) << "the walk ends when the pattern is used up";
  EXPECT_FALSE(MatchName(u"xabc", u"a?c")) << "no search for a later start";
  EXPECT_FALSE(MatchName(u"ab", u"a?c")) << "a pattern longer than the name";
  EXPECT_FALSE(MatchName(u"ab", u"ab?"));
  EXPECT_TRUE(MatchName(u"ab", u"??"));
}

TEST(MatchNameTest, StarsSkipToTheFirstOccurrenceOfTheNextCharacter) {
  EXPECT_TRUE(MatchName(u"report.txt", u"*.txt"));
  EXPECT_TRUE(MatchName(u"report.txt.bak", u"*.txt")) << "the name need not be used up";
  EXPECT_TRUE(MatchName(u"report.txt", u"r*t"));
  EXPECT_TRUE(MatchName(u"report.txt", u"rep*"));
  EXPECT_TRUE(MatchName(u"report.txt", u"*o*t*")) << "trailing stars are dropped";
  EXPECT_TRUE(MatchName(u"ab", u"ab*")) << "a star may match nothing";
  EXPECT_TRUE(MatchName(u"ab", u"abc*") == false) << "the literal part is still longer than the name";
  // The first occurrence is taken, with no going back for a later one.
  EXPECT_FALSE(MatchName(u"my.file.txt", u"*.txt"));
  EXPECT_FALSE(MatchName(u"aab", u"*ab"));
  EXPECT_TRUE(MatchName(u"xab", u"*ab"));
  // "?" right after a star takes one character before the search.
  EXPECT_TRUE(MatchName(u"abc", u"*?c"));
  EXPECT_FALSE(MatchName(u"c", u"*?c"));
  EXPECT_TRUE(MatchName(u"a1b2", u"a*?2"));
  EXPECT_FALSE(MatchName(u"report.txt", u"x*"));
  EXPECT_FALSE(MatchName(u"report.txt", u"*z"));
  // A star pattern may be longer than the name; it still has to match.
  EXPECT_TRUE(MatchName(u"a", u"a***"));
}

TEST(FilterListTest, AcceptsByAnyPatternWithoutRegardToCase) {
  FilterList filter;
  EXPECT_TRUE(filter.Accepts(u"anything")) << "an empty list accepts every name";
  ASSERT_EQ(filter.Add(u"*.TXT"), FilterList::AddResult::kAdded);
  ASSERT_EQ(filter.Add(u"café"), FilterList::AddResult::kAdded);
  EXPECT_TRUE(filter.Accepts(u"notes.txt"));
  EXPECT_TRUE(filter.Accepts(u"NOTES.TXT"));
  EXPECT_TRUE(filter.Accepts(u"CAFÉ.BIN"));
  EXPECT_TRUE(filter.Accepts(u"Мой.Txt"));
  EXPECT_FALSE(filter.Accepts(u"notes.bin"));
  EXPECT_EQ(ToLower(u"ÀÉÖ ΣΩ ДЯ Ёж ABC"), u"àéö σω дя ёж abc");
}

TEST(FilterListTest, LengthCountAndDuplicateLimits) {
  FilterList filter;
  EXPECT_EQ(filter.Add(u""), FilterList::AddResult::kBlank);
  EXPECT_EQ(filter.Add(std::u16string(19, u'a')), FilterList::AddResult::kAdded);
  EXPECT_EQ(filter.Add(std::u16string(20, u'b')), FilterList::AddResult::kTooLong);
  EXPECT_EQ(filter.Add(std::u16string(19, u'a')), FilterList::AddResult::kDuplicate);
  EXPECT_EQ(filter.Patterns().size(), 1u);
  for (int i = 2; i <= 99; ++i) ASSERT_EQ(filter.Add(u"p" + std::u16string(static_cast<std::size_t>(i % 17 + 1), u'x') +
                                                  static_cast<char16_t>(u'A' + i / 17)),
                                            FilterList::AddResult::kAdded)
      << "pattern " << i;
  EXPECT_EQ(filter.Patterns().size(), 99u);
  EXPECT_EQ(filter.Add(u"one more"), FilterList::AddResult::kFull);
  EXPECT_EQ(filter.Patterns().size(), 99u);
  filter.Remove(0);
  EXPECT_EQ(filter.Add(u"one more"), FilterList::AddResult::kAdded);
  filter.Remove(500);  // past the end: nothing happens
  EXPECT_EQ(filter.Patterns().size(), 99u);

  for (const auto refused : {FilterList::AddResult::kBlank, FilterList::AddResult::kTooLong,
                             FilterList::AddResult::kFull, FilterList::AddResult::kDuplicate})
    EXPECT_STRNE(FilterList::Message(refused), "");
  EXPECT_STREQ(FilterList::Message(FilterList::AddResult::kAdded), "");
  EXPECT_NE(std::string(FilterList::Message(FilterList::AddResult::kTooLong)).find("too long"), std::string::npos);
  EXPECT_NE(std::string(FilterList::Message(FilterList::AddResult::kDuplicate)).find("already exists"), std::string::npos);
}

}  // namespace
}  // namespace dravik
