// The matcher behind --include and --exclude.
#include <gtest/gtest.h>

#include "cli/cli.h"

namespace cartsift {
namespace {

TEST(Names, GlobMatchesAsFnmatchWithCaseFoldButByCharacter) {
  const std::string many_a(4000, 'a');
  const struct {
    const char *pat, *text;
    bool want;
  } cases[] = {
      {"C:/DOCS/*.txt", "c:/docs/sub/readme.TXT", true}, // '*' crosses '/'
      {"*", "", true},
      {"?", "", false},
      {"a?c", "abbc", false},
      {"caf?", "café", true}, // '?' takes the whole sequence
      {"caf??", "café", false},
      {"?\xff", "x\xff", true}, // a stray byte is one character of its own
      {"[a-c]x", "Bx", true},   // ranges are folded too
      {"[!a-c]x", "Bx", false},
      {"[^a-c]x", "dx", true},
      {"[]]", "]", true}, // ']' first is a member
      {"[!]]", "]", false},
      {"[a-]", "-", true}, // '-' last is itself
      {"[\\]x]", "]", true},
      {"[é-ï]", "ë", true}, // ranges of code points
      {"[é]", "\xc3", false},
      {"[[:digit:]][[:alpha:]]", "7q", true},
      {"[[:upper:]]", "a", false}, // classes see the character as it is
      {"[[:bogus:]]", "a", false},
      {"[ab", "[ab", true}, // never closed: an ordinary '['
      {"\\*", "*", true},
      {"\\*", "x", false},
      {"a\\", "a\\", false}, // a lone '\' at the end matches nothing
      {"*a*a*a*a*a*a*a*a*b", many_a.c_str(), false}, // no exponential search
      {"*a*a*a*a*a*a*a*a*a", many_a.c_str(), true},
  };
  for (const auto &c : cases)
    EXPECT_EQ(cli::glob_match(c.pat, c.text), c.want) << c.pat << " " << c.text;
}

} // namespace
} // namespace cartsift
