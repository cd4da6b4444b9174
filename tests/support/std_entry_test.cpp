// Entries written as the QIC-113 standard lays them out, read back by a
// walker of a few lines rather than by the tool, so that a wrong size word
// or description shows up against the standard's own rules.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "img_builder.h"
#include "support/testutil.h"

namespace cartsift {
namespace {

namespace L = build::layout;
using build::entry;

const uint32_t C = build::utc(1997, 3, 1, 8), A = build::utc(1997, 11, 28),
               M = build::utc(1997, 11, 3, 9, 41, 20);

uint64_t le(const std::vector<uint8_t> &b, size_t o, int n) {
  uint64_t v = 0;
  for (int i = n - 1; i >= 0; --i)
    v = v << 8 | b.at(o + size_t(i));
  return v;
}

entry sample() {
  entry e = build::std_file("Long", "ARCHIVE\\PRICES", "DM 2.10\r\n", C, A, M, 0x21);
  e.name2 = "SHORT";
  e.name3 = "v";
  return e;
}

// The default list puts every field the fixed layout settles where that
// layout has it, so the classic reader reads such entries as before.
TEST(StdEntry, DefaultListLinesUpWithTheFixedLayout) {
  entry f = sample();
  f.std.reset();
  build::image fi, si;
  fi.dir_entry(f);
  si.dir_entry(sample());
  ASSERT_EQ(si.size(), fi.size());
  const size_t n1 = 8, n2 = 10, n3 = 2, h = build::header_len(f), e3 = 128 + n1 + n2 + n3;
  EXPECT_EQ(build::header_len(sample()), h);
  const size_t same[][2] = {{0, 4},  {14, 2}, {18, 1}, {21, 4}, {45, 1}, {49, 4}, {57, 4},
                            {65, 4}, {73, 2 + n1}, {88 + n1, 4}, {96 + n1, 2 + n2},
                            {110 + n1 + n2, 4}, {126 + n1 + n2, 2 + n3}, {e3, h - 2 - e3},
                            {h, si.size() - h}};
  for (auto [off, len] : same)
    EXPECT_TRUE(std::equal(si.b.begin() + long(off), si.b.begin() + long(off + len),
                           fi.b.begin() + long(off))) << off;
  EXPECT_EQ(si.get_u16(h - 2), L::DD_DATA);
}

TEST(StdEntry, EveryVariantWalksByItsSizes) {
  using build::os_desc;
  const struct {
    build::std_layout l;
    uint8_t pflg;
    const char *descs; // ID:structure size:name, in order
  } vs[] = {
      {{}, 0, "7:0: 10:28:Long 2:9:SHORT 0:16:v "},
      {{.os = os_desc::nt}, 0, "7:0: 5:28:Long 2:9:SHORT 0:16:v "},
      {{.os = os_desc::os2}, 0, "7:0: 4:28:Long 2:9:SHORT 0:16:v "},
      {{.vendor = false}, 0, "7:0: 10:28:Long 2:9:SHORT "},
      {{.os = os_desc::unix_}, 0, "7:0: 1:32:Long 2:9:SHORT 0:16:v "},
      {{.os = os_desc::none, .vendor = false}, 0, "7:0: 2:9:SHORT "},
      {{.extra = {{99, 7, {1, 2, 3}, "x"}}}, 0, "7:0: 10:28:Long 2:9:SHORT 0:16:v 99:3:x "},
      {{}, L::TF_FILE_ERROR, "7:0: 10:28:Long 2:9:SHORT 0:16:v "},
      {{.size = (5ULL << 30) + 3}, 0, "7:0: 10:28:Long 2:9:SHORT 0:16:v "},
  };
  for (const auto &v : vs) {
    SCOPED_TRACE(&v - vs);
    entry e = build::standard(sample(), v.l);
    e.pflg = v.pflg;
    build::image img, cat;
    img.dir_entry(e);
    cat.cat_entry(e);
    const std::vector<uint8_t> &b = img.b;
    std::string seen;
    size_t o = L::SE_DESCS, end = 4 + le(b, L::SE_DIR_SIZE, 2);
    for (int k = 0; o < end && k < 8; k++) {
      const size_t ss = le(b, o + 10, 2), ns = le(b, o + 12 + ss, 2);
      seen += std::to_string(le(b, o, 2)) + ":" + std::to_string(ss) + ":";
      for (size_t i = 0; i < ns; i += 2)
        seen += char(b.at(o + 14 + ss + i));
      seen += " ";
      using u = std::vector<uint64_t>;
      if (ss == 28) { // attributes, created, accessed, modified
        EXPECT_EQ(u({le(b, o + 12, 4), le(b, o + 16, 8), le(b, o + 24, 8), le(b, o + 32, 8)}),
                  u({0x21, C, A, M}));
      } else if (ss == 9) { // attribute byte, modified
        EXPECT_EQ(u({le(b, o + 12, 1), le(b, o + 13, 8)}), u({0x21, M}));
      }
      o += 14 + ss + ns;
    }
    EXPECT_EQ(o, end);
    EXPECT_EQ(seen, v.descs);
    EXPECT_EQ(b[L::SE_FLAGS], v.pflg);
    const uint64_t size = v.l.size.value_or(e.data.size());
    EXPECT_EQ(le(b, 21, 8), size);
    EXPECT_EQ(le(b, L::SE_DATA_SIZE, 8), build::header_len(e) + size + L::TRAILER_SIZE);
    EXPECT_EQ(img.get_u32(end + img.get_u16(L::SE_PLEN)), L::FILE_SIG);
    EXPECT_EQ(build::header_len(e), end + img.get_u16(L::SE_PLEN) + 6);
    EXPECT_EQ(cat.b, std::vector<uint8_t>(b.begin() + 4, b.begin() + long(end)));
  }
}

// A file over 4 GiB as the tests need it: its data a hole, the image sparse.
TEST(StdEntry, FileImageWritesASparseFileOverFourGiB) {
  temp_dir d;
  const uint64_t n = (5ULL << 30) + 1;
  entry e = build::standard(build::file_entry("HUGE.BIN", {}, "", C));
  build::file_image fi(d.file("huge.113"));
  fi.start(0, build::hdr_text(1, 1), {});
  const uint64_t at = fi.dir_entry(e, n, {});
  fi.close();
  e.std->size = n; // the same header, written in memory
  build::image want;
  want.dir_header(e);
  std::vector<uint8_t> got(want.size());
  const int fd = open(d.file("huge.113").c_str(), O_RDONLY);
  struct stat st;
  EXPECT_EQ(pread(fd, got.data(), got.size(), off_t(at)), ssize_t(got.size()));
  EXPECT_EQ(fstat(fd, &st) + close(fd), 0);
  EXPECT_EQ(got, want.b);
  EXPECT_LT(uint64_t(st.st_blocks) * 512, 1ULL << 20);
  EXPECT_EQ(uint64_t(st.st_size), at + want.size() + n + L::TRAILER_SIZE);
}

} // namespace
} // namespace cartsift
