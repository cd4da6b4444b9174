// Field consistency tests over saved directory and catalog entries.
#include <gtest/gtest.h>

#include "analysis/analysis.h"
#include "support/capture.h"

namespace cartsift {
namespace {

using testing::capture;

std::unique_ptr<dir_list> dirs(int n) {
  std::unique_ptr<dir_list> head;
  auto *link = &head;
  for (int i = 1; i <= n; i++) {
    *link = std::make_unique<dir_list>();
    (*link)->cnt = i;
    link = &(*link)->next;
  }
  return head;
}

std::unique_ptr<cat_list> cats(int n) {
  std::unique_ptr<cat_list> head;
  auto *link = &head;
  for (int i = 1; i <= n; i++) {
    *link = std::make_unique<cat_list>();
    (*link)->cnt = i;
    link = &(*link)->next;
  }
  return head;
}

dir_head &nth(dir_list *l, int i) {
  while (--i > 0)
    l = l->next.get();
  return l->dhead;
}

int count_lines(const std::string &s, const std::string &prefix) {
  int n = 0;
  for (size_t at = s.find(prefix); at != std::string::npos; at = s.find(prefix, at + 1))
    n++;
  return n;
}

TEST(FieldTests, TestOneCountsAndFixedPositions) {
  // Second entry differs in one position, the third in eight others.
  auto l = dirs(3);
  nth(l.get(), 2).unknw1[5] = 7;
  for (int i = 0; i < 8; i++)
    nth(l.get(), 3).unknw3[i] = 0x40;
  capture cap;
  EXPECT_EQ(do_tests1(l.get()), 109);
  auto out = cap.take();
  EXPECT_TRUE(out.starts_with("\ncheck matching bytes between all entries for File archive "
                              "entries\n 2: matches 117\n 3: matches 110"
                              "\nthe following locations have fixed values for all data"
                              "\nunknw1[0] = 0x0\nunknw1[1] = 0x0\nunknw1[2] = 0x0"
                              "\nunknw1[3] = 0x0\nunknw1[4] = 0x0\nunknw1[6] = 0x0"));
  EXPECT_NE(out.find("\nunknw2[20] = 0x0\nunknw3[8] = 0x0"), std::string::npos);
  EXPECT_TRUE(out.ends_with("\nunknw3[27] = 0x0\n109 matches for all out of 118 possible "
                            "unknwn? bytes"));
  EXPECT_EQ(count_lines(out, "] = 0x"), 109);
}

TEST(FieldTests, SingleEntryAndClearedForGood) {
  auto one = dirs(1);
  one->dhead.unknw2[3] = 0xAB;
  capture cap;
  EXPECT_EQ(do_tests1(one.get()), 118);
  auto out = cap.take();
  EXPECT_EQ(count_lines(out, "matches "), 1); // only the total line
  EXPECT_NE(out.find("\nunknw2[3] = 0xab"), std::string::npos);

  // A position that differed once stays cleared even when later entries
  // agree with the first again; numbers fill two columns from 10 on.
  auto l = dirs(12);
  nth(l.get(), 2).unknw1[0] = 1;
  EXPECT_EQ(do_tests1(l.get()), 117);
  out = cap.take();
  EXPECT_NE(out.find("\n 9: matches 118\n10: matches 118"), std::string::npos);
  EXPECT_EQ(out.find("\nunknw1[0] ="), std::string::npos);
}

TEST(FieldTests, TestTwoOverCatalogEntries) {
  auto l = cats(2);
  l->next->chead.unknw1[68] = 9;
  capture cap;
  EXPECT_EQ(do_tests2(l.get()), 117);
  EXPECT_TRUE(cap.take().starts_with(
      "\ncheck matching bytes between all entries for catalog entries:\n 2: matches 117"));
}

TEST(FieldTests, TestThreeComparesPairsUpToTheShorterList) {
  auto d = dirs(3);
  auto c = cats(2);
  nth(d.get(), 1).unknw1[68] = 0x1f;
  c->chead.unknw2[0] = 0x02;
  c->next->chead.unknw3[27] = 0xee;
  capture cap;
  EXPECT_EQ(do_tests3(d.get(), c.get()), 3);
  EXPECT_EQ(cap.take(), "\ncompare files list to catalog list unknwns[]"
                        "\nrec 1\nunknw1[68] mismatch 0x1f != 0x0"
                        "\nunknw2[0] mismatch 0x0 != 0x2"
                        "\nrec 2\nunknw3[27] mismatch 0x0 != 0xee");
  auto same = cats(1);
  EXPECT_EQ(do_tests3(dirs(1).get(), same.get()), 0);
  EXPECT_EQ(cap.take(), "\ncompare files list to catalog list unknwns[]\nrec 1");
}

} // namespace
} // namespace cartsift
