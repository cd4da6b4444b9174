// Entry records: strings, directory entries and catalog entries, read from
// images made by the builder, with every result code and message.
#include <gtest/gtest.h>

#include <cstring>

#include "img_builder.h"
#include "records/records.h"
#include "support/capture.h"

namespace cartsift {
namespace {

using testing::capture;
using testing::scratch_image;

std::string shown(const uni_str &s, bool path) {
  capture cap;
  path ? disp_uni_path(s) : disp_uni_str(s);
  return cap.take();
}

TEST(UniStr, ReadsAndPrints) {
  {
    scratch_image img({6, 0, 'A', 0, 'B', 0, 'C', 0, 0xFF});
    auto s = get_unistr(img.fd());
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->len, 6);
    EXPECT_EQ(shown(*s, false), "ABC");
    EXPECT_EQ(img_seek(img.fd(), 0, SEEK_CUR), 8); // just after the data
    auto d = dup_uni_str(*s);
    EXPECT_EQ(shown(*d, false), "ABC");
  }
  {
    scratch_image img({5, 0, 'A', 0, 'B', 0, 'C'}); // odd: 3 characters
    auto s = get_unistr(img.fd());
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(shown(*s, false), "ABC");
  }
  {
    scratch_image img({0, 0});
    auto s = get_unistr(img.fd());
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->len, 0);
    EXPECT_EQ(shown(*s, true), "");
    EXPECT_EQ(dup_uni_str(*s)->len, 0);
  }
  for (std::vector<uint8_t> bad : {std::vector<uint8_t>{}, {4}, {4, 0, 'A', 0, 'B'}}) {
    scratch_image img(bad);
    EXPECT_EQ(get_unistr(img.fd()), nullptr);
  }
}

TEST(UniStr, PathsAndNarrowing) {
  scratch_image img({16, 0, 'D', 0, 'I', 0, 'R', 0, 0, 0, 'S', 0, 'U', 0, 'B', 0, 0, 0});
  auto p = get_unistr(img.fd());
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(shown(*p, true), "DIR/SUB/");
  EXPECT_EQ(shown(*p, false), std::string("DIR\0SUB\0", 8)); // zero bytes kept
  scratch_image img2({6, 0, 0xE9, 0, 'A', 0x04, 0, 0x01});
  auto q = get_unistr(img2.fd());
  EXPECT_EQ(shown(*q, false), std::string("\xE9" "A\0", 3));
  EXPECT_EQ(shown(*q, true), "\xE9" "A/"); // U+0100 narrows to zero: a separator
}

build::entry sample() {
  auto e = build::file_entry("README.TXT", "DOCS", "hello\r\n", build::utc(1996, 5, 4, 3, 2, 1));
  e.name2 = "README~1.TXT";
  e.name3 = "x";
  return e;
}

struct dheader_case {
  std::string out;
  int code;
  dir_head dh;
};

dheader_case read_dh(const std::vector<uint8_t> &b, dir_head seed = {}) {
  capture cap;
  scratch_image img(b);
  dheader_case c{"", 0, std::move(seed)};
  c.code = get_dheader(img.fd(), &c.dh);
  c.out = cap.take();
  return c;
}

TEST(DirHeader, ReadsAWholeEntry) {
  build::image bi;
  auto e = sample();
  bi.dir_entry(e);
  capture cap;
  scratch_image img(bi.b);
  dir_head dh;
  ASSERT_EQ(get_dheader(img.fd(), &dh), 0);
  EXPECT_EQ(cap.take(), "");
  EXPECT_EQ(dh.dsig, DIR_SIG);
  EXPECT_EQ(img_seek(img.fd(), 0, SEEK_CUR), int64_t(build::header_len(e)));
  EXPECT_EQ(shown(*dh.nm1, false), "README.TXT");
  EXPECT_EQ(shown(*dh.nm2, false), "README~1.TXT");
  EXPECT_EQ(shown(*dh.nm3, false), "x");
  ASSERT_NE(dh.path, nullptr);
  EXPECT_EQ(shown(*dh.path, true), "DOCS");
  EXPECT_EQ(ent_flen(dh.unknw1), 7u);
  EXPECT_EQ(ent_plen(dh.unknw1), 12);
  EXPECT_EQ(ent_time1(dh.unknw1), build::utc(1996, 5, 4, 3, 2, 1));
  free_dhead(&dh);
  EXPECT_EQ(dh.nm1, nullptr);
}

TEST(DirHeader, EndMarkerAndEmptyInput) {
  auto c = read_dh(std::vector<uint8_t>(73, 0));
  EXPECT_EQ(c.code, 1);
  EXPECT_EQ(c.out, "");
  EXPECT_EQ(c.dh.nm1, nullptr);

  // Nothing read: the tag check judges the fresh record's zero bytes.
  c = read_dh({});
  EXPECT_EQ(c.code, -1);
  EXPECT_EQ(c.out, "\ninvalid header\nwarning 'OIMG' not found in dheader"
                   "\nread error in get_dheader()");

  // A record that last held a tagged entry warns about nothing.
  dir_head seed;
  std::memcpy(seed.unknw3 + 12, "OIMG", 4);
  c = read_dh(std::vector<uint8_t>(40, 0x11), std::move(seed));
  EXPECT_EQ(c.code, -1);
  EXPECT_EQ(c.out, "\ninvalid header\nread error in get_dheader()");
}

TEST(DirHeader, PathLengths) {
  for (uint16_t plen : {0, 1, 3, 4}) {
    auto e = sample();
    e.path.clear();
    e.plen = plen; // no path bytes written
    build::image bi;
    bi.dir_entry(e);
    auto c = read_dh(bi.b);
    EXPECT_EQ(c.code, 0) << plen;
    EXPECT_EQ(c.dh.path, nullptr) << plen;
  }
  auto e = sample();
  e.path = {"ABC"}; // plen 10: 6 bytes, 3 characters
  build::image bi;
  bi.dir_entry(e);
  auto c = read_dh(bi.b);
  ASSERT_EQ(c.code, 0);
  ASSERT_NE(c.dh.path, nullptr);
  EXPECT_EQ(c.dh.path->len, 6);
}

TEST(DirHeader, TagAndClosingBlock) {
  auto e = sample();
  e.tag = "oimg";
  build::image b1;
  b1.dir_entry(e);
  EXPECT_EQ(read_dh(b1.b).out, "");

  e.tag = "XXXX";
  build::image b2;
  b2.dir_entry(e);
  auto c = read_dh(b2.b);
  EXPECT_EQ(c.code, 0);
  EXPECT_EQ(c.out, "\nwarning 'OIMG' not found in dheader");

  // FILE_SIG belongs at bytes 2-5 of the closing block, not 0-3.
  e = sample();
  build::image b3;
  b3.dir_entry(e);
  size_t close = build::header_len(e) - 8;
  const uint8_t shifted[8] = {0x99, 0x66, 0x99, 0x66, 0, 0, 0, 0};
  std::copy(shifted, shifted + 8, b3.b.begin() + long(close));
  c = read_dh(b3.b);
  EXPECT_EQ(c.code, -3);
  EXPECT_EQ(c.out, "\nfailed to find FILE signature 0x66996699 at end of header");
  EXPECT_EQ(c.dh.nm1, nullptr); // released on failure
}

TEST(DirHeader, TruncatedAtEveryByte) {
  auto e = sample();
  e.path.clear(); // root level: a failed name is not followed by a path read
  build::image bi;
  bi.dir_entry(e);
  const size_t h = build::header_len(e);
  const size_t nm1_at = 73, nm1_end = 75 + 20;
  for (size_t cut = 0; cut < h; cut++) {
    std::vector<uint8_t> b(bi.b.begin(), bi.b.begin() + long(cut));
    auto c = read_dh(b);
    EXPECT_LT(c.code, 0) << cut;
    EXPECT_EQ(c.dh.nm1, nullptr) << cut;
    if (cut >= nm1_at && cut < nm1_end) {
      EXPECT_EQ(c.code, -2) << cut;
    }
    const std::string last = c.code == -2
                                 ? "\n read or allocation error in get_unistr() for get_dheader()"
                                 : "\nread error in get_dheader()";
    EXPECT_TRUE(c.out.ends_with(last)) << cut << c.out;
  }
}

TEST(DirHeader, NameLengthPastTheEnd) {
  auto e = sample();
  e.path.clear();
  build::image bi;
  bi.dir_entry(e);
  bi.put_u16(73, 0xFFFF);
  auto c = read_dh(bi.b);
  EXPECT_EQ(c.code, -2);
  // The fresh record has no tag yet, so the warning comes first.
  EXPECT_EQ(c.out, "\nwarning 'OIMG' not found in dheader"
                   "\n read or allocation error in get_unistr() for get_dheader()");
  // With a path, its read comes after the failed name and fails last.
  build::image bp;
  bp.dir_entry(sample());
  bp.put_u16(73, 0xFFFF);
  c = read_dh(bp.b);
  EXPECT_EQ(c.code, -1);
  EXPECT_EQ(c.out, "\nwarning 'OIMG' not found in dheader\nread error in get_dheader()");
}

struct cheader_case {
  std::string out;
  int code;
  int64_t pos;
  cat_head ch;
};

cheader_case read_ch(const std::vector<uint8_t> &b) {
  capture cap;
  scratch_image img(b);
  cheader_case c{};
  c.code = get_cheader(img.fd(), &c.ch);
  c.pos = img_seek(img.fd(), 0, SEEK_CUR);
  c.out = cap.take();
  return c;
}

TEST(CatHeader, LengthsAndDisplacedTags) {
  auto e = sample(); // N1 20, N2 24, N3 2
  build::image b0;
  b0.cat_entry(e);
  auto c = read_ch(b0.b);
  EXPECT_EQ(c.code, 124 + 20 + 24 + 2);
  EXPECT_EQ(c.pos, c.code);
  EXPECT_EQ(c.out, "");

  e.tag = "oimg";
  e.cat_tag_pad = 3;
  build::image b3;
  b3.pad_to(0x100, 0xEE);
  b3.cat_entry(e);
  c = read_ch(std::vector<uint8_t>(b3.b.begin() + 0x100, b3.b.end()));
  EXPECT_EQ(c.code, 124 + 20 + 24 + 2 + 3);
  EXPECT_EQ(c.out, "Warning had to skip 3 bytes to find 'OIMG' in unknw3[] @0x8a\n");

  e.tag = "OIMG";
  e.cat_tag_pad = 11;
  build::image b11;
  b11.cat_entry(e);
  c = read_ch(b11.b);
  EXPECT_EQ(c.code, 124 + 20 + 24 + 2 + 11);
  EXPECT_EQ(c.out, "Warning had to skip 11 bytes to find 'OIMG' in unknw3[] @0x8a\n");

  e.tag = "NONE";
  e.cat_tag_pad = 0;
  build::image bn;
  bn.cat_entry(e);
  c = read_ch(bn.b);
  EXPECT_EQ(c.code, -3);
  EXPECT_EQ(c.out, "\nabort in get_cheader() could not find string 'OIMG' @0x96\n");
  EXPECT_NE(c.ch.nm1, nullptr); // left for the caller to release
  free_chead(&c.ch);
}

TEST(CatHeader, EndMarkerEmptyNamesAndTruncation) {
  build::image be;
  be.cat_end();
  be.pad_to(200, 0x55);
  auto c = read_ch(be.b);
  EXPECT_EQ(c.code, 1);
  EXPECT_EQ(c.pos, 71);

  auto e = sample();
  e.name2.clear();
  e.name3.clear();
  build::image b;
  b.cat_entry(e);
  c = read_ch(b.b);
  EXPECT_EQ(c.code, 124 + 20);

  // Inside unknw1: "\nread error" and -1; inside a name: -2, silent.
  c = read_ch(std::vector<uint8_t>(b.b.begin(), b.b.begin() + 50));
  EXPECT_EQ(c.code, -1);
  EXPECT_EQ(c.out, "\nread error");
  c = read_ch(std::vector<uint8_t>(b.b.begin(), b.b.begin() + 80));
  EXPECT_EQ(c.code, -2);
  EXPECT_EQ(c.out, "");
  EXPECT_EQ(c.ch.nm1, nullptr);
  // Inside unknw2: -1, silent, nm1 left.
  c = read_ch(std::vector<uint8_t>(b.b.begin(), b.b.begin() + 71 + 20 + 5));
  EXPECT_EQ(c.code, -1);
  EXPECT_EQ(c.out, "");
  EXPECT_NE(c.ch.nm1, nullptr);
}

} // namespace
} // namespace cartsift
