// Shell patterns and the selection of --include and --exclude.
#include "unpack/pattern.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {

TEST(Pattern, Matches) {
  struct Case {
    const char* pattern;
    const char* text;
    bool matches;
  };
  const Case cases[] = {
      {"", "", true},
      {"", "a", false},
      {"abc", "abc", true},
      {"abc", "abcd", false},
      {"*", "", true},
      {"*", "a/b/c", true},  // across slashes
      {"a*c", "ab/xc", true},
      {"a*c", "ab/xcd", false},
      {"*.txt", "d/e/f.txt", true},
      {"*a*b", "xaxxbxb", true},
      {"*a*b", "xaxxbx", false},
      {"a**b", "ab", true},
      {"?", "/", true},
      {"??", "\xc3\xa9", false},  // one character, two bytes
      {"?", "\xc3\xa9", true},
      {"?", "\xff", true},  // a byte that starts no character
      {"?x", "\xff\x78", true},
      {"[abc]", "b", true},
      {"[abc]", "d", false},
      {"[a-c]x", "bx", true},
      {"[!a-c]", "b", false},
      {"[^a-c]", "d", true},
      {"[]]", "]", true},
      {"[!]]", "]", false},
      {"[a-]", "-", true},
      {"[\xc3\xa0-\xc3\xbf]", "\xc3\xa9", true},  // a range of characters, not bytes
      {"[\xc3\xa0-\xc3\xbf]", "\xc3", false},
      {"[ab", "[ab", true},  // no end: the '[' is itself
      {"[ab", "a", false},
      {"\\*", "*", true},
      {"\\*", "a", false},
      {"a\\", "a\\", true},
      {"[\\]]", "]", true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(PatternMatches(c.pattern, c.text), c.matches) << c.pattern << " " << c.text;
}

// Stars that would take exponential time by naive backtracking.
TEST(Pattern, ManyStarsTakeLittleTime) {
  const std::string text(5000, 'a');
  std::string pattern;
  for (int i = 0; i < 50; ++i) pattern += "*a";
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(PatternMatches(pattern + "b", text));
  EXPECT_TRUE(PatternMatches(pattern, text));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

TEST(Pattern, Selection) {
  {
    // No include: everything, but what an exclude matches, and below it.
    Selection s;
    AddExclude(s, "./d/x*");
    EXPECT_TRUE(Selected(s, "a"));
    EXPECT_TRUE(Selected(s, "d"));
    EXPECT_FALSE(Selected(s, "d/x1"));
    EXPECT_FALSE(Selected(s, "d/x1/deep/f"));
    EXPECT_TRUE(Excluded(s, "d/x1/deep"));
    EXPECT_FALSE(Excluded(s, "d/y"));
    EXPECT_TRUE(UnmatchedIncludes(s).empty());
  }
  {
    Selection s;
    AddInclude(s, "/etc/");    // a directory and everything below it
    AddInclude(s, "*.conf");   // at any depth
    AddInclude(s, "missing");  // never met
    AddInclude(s, "bin/sh");   // met, but excluded: still in the image
    AddExclude(s, "etc/secret");
    AddExclude(s, "bin");
    EXPECT_TRUE(Selected(s, "etc"));
    EXPECT_TRUE(Selected(s, "etc/passwd"));
    EXPECT_FALSE(Selected(s, "etc/secret/key"));
    EXPECT_FALSE(Selected(s, "etcetera"));
    EXPECT_TRUE(Selected(s, "usr/lib/a.conf"));
    EXPECT_TRUE(Selected(s, "a.conf/inside"));  // below a selected directory
    EXPECT_FALSE(Selected(s, "usr"));
    EXPECT_FALSE(Selected(s, "bin/sh"));
    EXPECT_EQ(UnmatchedIncludes(s), std::vector<std::string>{"missing"});
  }
  {
    // The root: everything.
    Selection s;
    AddInclude(s, "/");
    EXPECT_TRUE(Selected(s, "any/path"));
    EXPECT_TRUE(UnmatchedIncludes(s).empty());
  }
}

}  // namespace
