// The demo images and the test helpers themselves.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <span>
#include <fstream>
#include <string>

#include "img_builder.h"
#include "support/testutil.h"

namespace cartsift {
namespace {

namespace L = build::layout;
namespace fs = std::filesystem;

std::string name_at(const build::image &img, size_t off) {
  std::string s;
  for (size_t i = 0; i < img.get_u16(off); i += 2)
    s += char(img.b.at(off + 2 + i));
  return s;
}

struct seen_entry {
  size_t off;
  std::string name;
  uint8_t pflg, attrib;
  uint32_t flen;
};

// Steps through the data region by the entry lengths alone, up to PF_END.
std::vector<seen_entry> walk_data(const build::image &img, size_t off) {
  std::vector<seen_entry> v;
  for (;;) {
    EXPECT_EQ(img.get_u32(off), L::DIR_SIG) << off;
    size_t n1 = img.get_u16(off + 73);
    size_t n2 = img.get_u16(off + 96 + n1);
    size_t n3 = img.get_u16(off + 126 + n1 + n2);
    size_t plen = img.get_u16(off + 14);
    seen_entry e{off, name_at(img, off + 73), img.b[off + 18], img.b[off + 45],
                 img.get_u32(off + 21)};
    v.push_back(e);
    off += 134 + n1 + n2 + n3 + plen + e.flen + 18;
    if (e.pflg & L::PF_END || v.size() > 1000)
      return v;
  }
}

// Catalog names from off to the end marker; *end gets the marker's offset.
std::vector<std::string> walk_catalog(const build::image &img, size_t off, size_t *end) {
  std::vector<std::string> v;
  while (img.get_u16(off + 69) != 0 && v.size() < 1000) {
    size_t n1 = img.get_u16(off + 69);
    size_t n2 = img.get_u16(off + 92 + n1);
    size_t n3 = img.get_u16(off + 122 + n1 + n2);
    v.push_back(name_at(img, off + 69));
    off += 124 + n1 + n2 + n3;
  }
  *end = off;
  return v;
}

size_t computed_cats(const build::image &img) {
  uint32_t nblk = img.get_u32(L::HDR_NBLK);
  uint32_t dir = img.get_u32(L::VTBL_OFFSET + L::VT_DIRSZ);
  return size_t(nblk - (dir + L::BLOCK_SIZE - 1) / L::BLOCK_SIZE) * L::BLOCK_SIZE;
}

TEST(DemoImages, DemoHoldsTwoBackupsAndPointsAtTheSecondCatalog) {
  build::image img = build::demo_image();
  EXPECT_EQ(img.b, build::demo_image().b); // deterministic
  EXPECT_EQ(img.size() % L::BLOCK_SIZE, 0u);
  EXPECT_EQ(img.size() / L::BLOCK_SIZE, img.get_u32(L::HDR_NBLK));

  auto b1 = walk_data(img, L::DATA_START);
  ASSERT_EQ(b1.size(), 33u);
  EXPECT_EQ(b1[0].name, "C:");
  EXPECT_EQ(b1[0].pflg, L::PF_DRIVE | L::PF_NEW | L::PF_LAST);
  int readonly = 0, big = 0, dirs = 0;
  for (auto &e : b1) {
    readonly += e.attrib & L::A_RDONLY;
    big += e.flen > 51200;
    if (e.attrib & L::A_SUBDIR) {
      ++dirs;
      EXPECT_EQ(e.flen, 0u) << e.name;
    }
  }
  EXPECT_EQ(readonly, 1);
  EXPECT_EQ(big, 1);
  EXPECT_EQ(dirs, 10);

  const seen_entry &last1 = b1.back();
  size_t n = img.get_u16(last1.off + 73);
  size_t h = 134 + n + img.get_u16(last1.off + 96 + n) +
             img.get_u16(last1.off + 126 + n + img.get_u16(last1.off + 96 + n)) +
             img.get_u16(last1.off + 14);
  size_t cat1 = (last1.off + h + last1.flen + 18) / L::BLOCK_SIZE * L::BLOCK_SIZE + L::BLOCK_SIZE;
  size_t end1;
  auto c1 = walk_catalog(img, cat1, &end1);
  ASSERT_EQ(c1.size(), b1.size());
  for (size_t i = 0; i < c1.size(); ++i)
    EXPECT_EQ(c1[i], b1[i].name);

  // The incremental backup starts on the block after the first catalog.
  size_t start2 = (end1 + 2) / L::BLOCK_SIZE * L::BLOCK_SIZE + L::BLOCK_SIZE;
  auto b2 = walk_data(img, start2);
  ASSERT_EQ(b2.size(), 10u);
  EXPECT_EQ(b2[0].pflg & (L::PF_DRIVE | L::PF_NEW), L::PF_DRIVE | L::PF_NEW);
  size_t end2;
  auto c2 = walk_catalog(img, computed_cats(img), &end2);
  ASSERT_EQ(c2.size(), 10u);
  EXPECT_EQ(c2[4], "Reply from Aunt Mary.txt");
  EXPECT_EQ(c2.back(), "WIN.INI");
  EXPECT_EQ(end2 + L::CAT_END_SIZE,
            computed_cats(img) + img.get_u32(L::VTBL_OFFSET + L::VT_DIRSZ));
}

TEST(DemoImages, PairContinuesNumbersTxtOnTheSecondImage) {
  build::image_pair p = build::demo_pair();
  const build::image &a = p.first, &b = p.second;
  EXPECT_EQ(computed_cats(a), a.size());
  EXPECT_EQ(b.b[L::VTBL_OFFSET + L::VT_SEQ], 2);
  size_t span = p.first_offs.back();
  EXPECT_EQ(name_at(a, span + 73), "NUMBERS.TXT");
  uint32_t flen = a.get_u32(span + 21);
  ASSERT_GT(flen, p.split);
  std::string text(a.b.begin() + long(p.data_off), a.b.end());
  text.append(b.b.begin() + long(L::DATA_START), b.b.begin() + long(L::DATA_START + flen - p.split));
  EXPECT_EQ(text.substr(0, 62), "Line 0001 of 1600: this file is split across two cartridges.\r\n");
  EXPECT_EQ(text.substr(text.size() - 62),
            "Line 1600 of 1600: this file is split across two cartridges.\r\n");
  EXPECT_EQ(text.size(), 1600u * 62);

  auto rest = walk_data(b, p.second_offs.at(0));
  ASSERT_EQ(rest.size(), 4u);
  EXPECT_EQ(rest.back().name, "DONE.TXT");
  size_t end;
  auto cat = walk_catalog(b, computed_cats(b), &end);
  ASSERT_EQ(cat.size(), 9u);
  EXPECT_EQ(cat[4], "NUMBERS.TXT");
}

// The three images joined into one data region must walk like a single
// backup of two drives, NUMBERS.TXT running through all three.
TEST(DemoImages, SetOfThreeHoldsTwoDrivesAndOneFileThroughAll) {
  std::vector<build::image> set = build::demo_set();
  ASSERT_EQ(set.size(), 3u);
  build::image joined = set[0];
  joined.raw(std::span(set[1].b).subspan(L::DATA_START));
  joined.raw(std::span(set[2].b).subspan(L::DATA_START, computed_cats(set[2]) - L::DATA_START));
  auto v = walk_data(joined, L::DATA_START);
  ASSERT_EQ(v.size(), 28u);
  EXPECT_EQ(v[0].pflg, L::PF_DRIVE | L::PF_NEW);
  EXPECT_EQ(v[1].pflg, L::PF_DRIVE | L::PF_NEW | L::PF_LAST);
  EXPECT_EQ(v[12].name + char(v[12].pflg), "WINDOWS" + std::string(1, L::PF_LAST));
  EXPECT_EQ(v[15].name, "BACKUP.LOG"); // D:'s first root-level entry
  EXPECT_EQ(std::count_if(v.begin(), v.end(), [](auto &e) { return e.attrib == L::A_RDONLY; }), 1);
  size_t end;
  // The last entry has no long name, and a zero word where the fixed
  // layout reads its length: the catalog ends there.
  EXPECT_EQ(walk_catalog(set[2], computed_cats(set[2]), &end).size(), v.size() - 1);

  const seen_entry &num = v[19];
  ASSERT_EQ(num.name, "NUMBERS.TXT");
  const size_t data = num.off + 138 + 2 * (11 + 11) + 2 * 7;
  const size_t first = set[0].size(), second = set[1].size() - L::DATA_START;
  ASSERT_LT(data, first);
  ASSERT_GT(data + num.flen, first + second);
  std::string text(joined.b.begin() + long(data), joined.b.begin() + long(data + num.flen));
  EXPECT_EQ(text.substr(0, 64),
            "Line 0001 of 5000: this file runs across all three cartridges.\r\n");
  EXPECT_EQ(text.substr(text.size() - 64, 9), "Line 5000");
  EXPECT_EQ(text.size(), 5000u * 64);
}

TEST(DemoImages, MkimageWritesTheDemoFiles) {
  temp_dir d;
  run_result r = run_prog(MKIMAGE_BIN, {"demo", d.path});
  ASSERT_EQ(r.status, 0);
  auto as_string = [](const build::image &img) { return std::string(img.b.begin(), img.b.end()); };
  EXPECT_EQ(read_file(d.file("demo.113")), as_string(build::demo_image()));
  std::vector<build::image> set = build::demo_set();
  for (size_t i = 0; i < set.size(); ++i)
    EXPECT_EQ(read_file(d.file("demo-" + std::to_string(i + 1) + ".113")), as_string(set[i]));
  EXPECT_EQ(run_prog(MKIMAGE_BIN, {}).status, 2);

  // What the demo promises a user: -c lists the incremental backup.
  r = run_bin({d.file("demo.113"), "-c"});
  EXPECT_EQ(r.status, 10);
  EXPECT_NE(r.out.find("Reply from Aunt Mary.txt"), std::string::npos);
  EXPECT_NE(r.out.find("Job 12, Disk 1"), std::string::npos);
}

// ---- the helpers ---------------------------------------------------------

TEST(TestUtil, TempDirRemovesReadOnlyContents) {
  std::string kept;
  std::string before = fs::current_path().string();
  {
    temp_dir d;
    kept = d.path;
    d.enter();
    EXPECT_EQ(text_of(fs::current_path()), d.path);
    fs::create_directories("C_/DOCS");
    std::ofstream("C_/DOCS/RO.TXT") << "x";
    chmod("C_/DOCS/RO.TXT", 0400);
    chmod("C_/DOCS", 0500);
    write_image(d, build::demo_image(), "d.113");
    EXPECT_TRUE(fs::exists(d.file("d.113")));
  }
  EXPECT_EQ(fs::current_path().string(), before);
  EXPECT_FALSE(fs::exists(kept));
}

TEST(TestUtil, RunProgPassesInputOutputStatusAndDirectory) {
#ifdef _WIN32
  GTEST_SKIP() << "runs POSIX tools";
#endif
  std::string big(1 << 20, 'q'); // larger than any pipe buffer, both ways
  run_result r = run_prog("/bin/cat", {}, big);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, big);
  EXPECT_EQ(run_prog("/bin/sh", {"-c", "exit 3"}).status, 3);
  EXPECT_EQ(run_prog("/bin/sh", {"-c", "kill -9 $$"}).status, 128 + 9);
  // A child that ignores its input must not hang the caller.
  EXPECT_EQ(run_prog("/bin/sh", {"-c", "echo hi"}, big).out, "hi\n");
  temp_dir d;
  EXPECT_EQ(run_prog("/bin/pwd", {}, "", d.path.c_str()).out, d.path + "\n");
}

TEST(TestUtil, RunMainCapturesEachRunSeparately) {
  run_result a = run_main({});
  EXPECT_EQ(a.status, 0);
  EXPECT_EQ(a.out.find("\ncartsift version 0.98"), 0u);
  EXPECT_NE(a.out.find("usage: cartsift"), std::string::npos);
  run_result b = run_main({"/nonexistent/x.113"}, "q\n");
  EXPECT_EQ(b.status, -1);
  EXPECT_EQ(b.out.find("\ncartsift version 0.98"), 0u);
  EXPECT_NE(b.out.find("open failed\n"), std::string::npos);
  EXPECT_EQ(b.out.find("usage"), std::string::npos);
}

} // namespace
} // namespace cartsift
