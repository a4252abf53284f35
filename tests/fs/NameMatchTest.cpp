// Name patterns of search and filters, and the filter list's limits.

#include <gtest/gtest.h>

#include "fs/NameMatch.h"
#include "util/Utf.h"

namespace dravik {
namespace {

TEST(MatchNameTest, Patterns) {
  struct Row {
    const char16_t* name;
    const char16_t* pattern;
    bool match;
  };
  const Row rows[] = {
      // Empty names and patterns never match; "*.*" needs a dot.
      {u"", u"*", false}, {u"", u"a", false}, {u"a.txt", u"", false}, {u"no dot here", u"*", true},
      {u"a.txt", u"*.*", true}, {u".profile", u"*.*", true}, {u"makefile", u"*.*", false},
      // Without wildcards a name containing the pattern matches; callers fold case.
      {u"annual report.txt", u"report", true}, {u"report", u"report", true}, {u"x.txt", u".txt", true},
      {u"annual report.txt", u"reports", false}, {u"rep", u"report", false}, {u"Report", u"report", false},
      // "?" without a star walks from the start until the pattern is used up.
      {u"abc", u"a?c", true}, {u"abcdef", u"a?c", true}, {u"xabc", u"a?c", false}, {u"ab", u"a?c", false},
      {u"ab", u"ab?", false}, {u"ab", u"??", true},
      // A star skips to the first occurrence of the next character, never a later one.
      {u"report.txt", u"*.txt", true}, {u"report.txt.bak", u"*.txt", true}, {u"report.txt", u"r*t", true},
      {u"report.txt", u"rep*", true}, {u"report.txt", u"*o*t*", true}, {u"ab", u"ab*", true}, {u"ab", u"abc*", false},
      {u"my.file.txt", u"*.txt", false}, {u"aab", u"*ab", false}, {u"xab", u"*ab", true},
      {u"abc", u"*?c", true}, {u"c", u"*?c", false}, {u"a1b2", u"a*?2", true}, {u"report.txt", u"x*", false},
      {u"report.txt", u"*z", false}, {u"a", u"a***", true},
  };
  for (const Row& row : rows)
    EXPECT_EQ(MatchName(row.name, row.pattern), row.match) << ToUtf8(row.name) << " ~ " << ToUtf8(row.pattern);
}

TEST(FilterListTest, AcceptsByAnyPatternWithoutRegardToCase) {
  FilterList filter;
  EXPECT_TRUE(filter.Accepts(u"anything")) << "an empty list accepts every name";
  ASSERT_EQ(filter.Add(u"*.TXT"), FilterList::AddResult::kAdded);
  ASSERT_EQ(filter.Add(u"café"), FilterList::AddResult::kAdded);
  for (const char16_t* name : {u"notes.txt", u"NOTES.TXT", u"CAFÉ.BIN", u"Мой.Txt"}) EXPECT_TRUE(filter.Accepts(name));
  EXPECT_FALSE(filter.Accepts(u"notes.bin"));
  EXPECT_EQ(ToLower(u"ÀÉÖ ΣΩ ДЯ Ёж ABC"), u"àéö σω дя ёж abc");
}

TEST(FilterListTest, LengthCountAndDuplicateLimits) {
  using R = FilterList::AddResult;
  FilterList filter;
  EXPECT_EQ(filter.Add(u""), R::kBlank);
  EXPECT_EQ(filter.Add(std::u16string(19, u'a')), R::kAdded);
  EXPECT_EQ(filter.Add(std::u16string(20, u'b')), R::kTooLong);
  EXPECT_EQ(filter.Add(std::u16string(19, u'a')), R::kDuplicate);
  for (int i = 2; i <= 99; ++i) ASSERT_EQ(filter.Add(u"p" + FromUtf8(std::to_string(i))), R::kAdded) << i;
  EXPECT_EQ(filter.Add(u"one more"), R::kFull);
  EXPECT_EQ(filter.Patterns().size(), 99u);
  filter.Remove(0);
  EXPECT_EQ(filter.Add(u"one more"), R::kAdded);
  filter.Remove(500);  // past the end: nothing happens
  EXPECT_EQ(filter.Patterns().size(), 99u);
  for (const R refused : {R::kBlank, R::kTooLong, R::kFull, R::kDuplicate})
    EXPECT_STRNE(FilterList::Message(refused), "");
  EXPECT_STREQ(FilterList::Message(R::kAdded), "");
}

}  // namespace
}  // namespace dravik
