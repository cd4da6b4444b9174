#include <gtest/gtest.h>

#include <cstring>
#include <sys/stat.h>

#include "extract/xtest.h"

using namespace cartsift;
using namespace xtest;

namespace {

std::string text() { return reinterpret_cast<const char *>(buf); }

bool is_dir(const char *p) { return fs::is_directory(p); }

} // namespace

TEST(MkPathStr, Composition) {
  auto c = us("C:"sv);
  auto p = us(u"DOS\0UTIL"sv);
  EXPECT_EQ(mk_path_str(c.get(), p.get()), 11);
  EXPECT_EQ(text(), "C:\\DOS\\UTIL");
  EXPECT_EQ(mk_path_str(nullptr, p.get()), 8);
  EXPECT_EQ(text(), "DOS\\UTIL");
  EXPECT_EQ(mk_path_str(nullptr, nullptr), 0);
  EXPECT_EQ(text(), "");
  EXPECT_EQ(mk_path_str(c.get(), nullptr), 2);
  EXPECT_EQ(text(), "C:");
  // An empty drive spec writes no separator.
  EXPECT_EQ(mk_path_str(us(""sv).get(), p.get()), 8);
  EXPECT_EQ(text(), "DOS\\UTIL");
  // Only the low byte counts; a zero low byte separates whatever the high.
  mk_path_str(nullptr, us(u"\u0141\u0100B\0"sv).get());
  EXPECT_EQ(text(), "A\\B\\");
  mk_path_str(nullptr, us(u"\0DOS"sv).get());
  EXPECT_EQ(text(), "\\DOS");
}

TEST(MkPathStr, NeverWritesPastBuf) {
  std::u16string fit(BUF_SIZE - 1 - 3, u'a');
  auto c = us("C:"sv);
  EXPECT_EQ(mk_path_str(c.get(), us(fit).get()), int(BUF_SIZE - 1));
  std::u16string big(3000, u'b');
  EXPECT_EQ(mk_path_str(c.get(), us(big).get()), -1);
  EXPECT_EQ(strlen(text().c_str()), BUF_SIZE - 1);
  EXPECT_EQ(mk_path_str(nullptr, us(fit + u"xyz").get()), int(BUF_SIZE - 1));
  EXPECT_EQ(mk_path_str(nullptr, us(fit + u"wxyz").get()), -1);
}

TEST(AdjustPath, EveryColon) {
  char s[] = "C:\\A:B\\::";
  adjust_path(s);
  EXPECT_STREQ(s, "C_\\A_B\\__");
  char t[] = "DOS\\UTIL";
  adjust_path(t);
  EXPECT_STREQ(t, "DOS\\UTIL");
}

TEST(ValidateDir, Levels) {
  in_temp_dir td;
  write_file("file", {1});
  EXPECT_EQ(validate_dir(""), 0);
  EXPECT_EQ(validate_dir("file"), 1);
  EXPECT_EQ(validate_dir("d"), 0);
  EXPECT_TRUE(is_dir("d"));
  EXPECT_EQ(validate_dir("d"), 0);
  EXPECT_EQ(validate_dir("x/y"), 2);
  EXPECT_FALSE(fs::exists("x"));
}

TEST(CreatePath, OutermostFirstAndStopsAtFirstFailure) {
  in_temp_dir td;
  char p[] = "C_/DOS/UTIL";
  EXPECT_EQ(create_path(p), 0);
  EXPECT_STREQ(p, "C_/DOS/UTIL");
  EXPECT_TRUE(is_dir("C_/DOS/UTIL"));

  write_file("F_", {1});
  char q[] = "F_/DOS/UTIL";
  EXPECT_EQ(create_path(q), 1);
  EXPECT_STREQ(q, "F_/DOS/UTIL");

  write_file("C_/DOS/f", {1});
  char r[] = "C_/DOS/f/x";
  EXPECT_EQ(create_path(r), 1);
  EXPECT_FALSE(fs::exists("C_/DOS/f/x"));
}
