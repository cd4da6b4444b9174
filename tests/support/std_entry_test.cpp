// Entries written as the QIC-113 standard lays them out, read back by a
// walker of a few lines rather than by the tool.
#include <gtest/gtest.h>

#include "img_builder.h"

namespace cartsift {
namespace {

namespace L = build::layout;

uint64_t u64(const build::image &img, size_t o) {
  return img.get_u32(o) | uint64_t(img.get_u32(o + 4)) << 32;
}

build::entry sample(build::std_layout l = {}) {
  const uint32_t c = build::utc(1997, 3, 1, 8), a = build::utc(1997, 11, 28);
  build::entry e = build::std_file("Long", "ARCHIVE\\PRICES", "DM 2.10\r\n", c, a, c + 9, 0x21);
  e.name2 = "SHORT";
  e.name3 = "v";
  e.pflg = L::TF_FILE_ERROR | L::TF_LAST_IN_DIR;
  e.std = std::move(l);
  return e;
}

// The default list puts every field the fixed layout settles where that
// layout has it, so the classic reader reads such entries as before.
TEST(StdEntry, DefaultListLinesUpWithTheFixedLayout) {
  build::entry f = sample();
  f.std.reset();
  build::image fi, si;
  fi.dir_entry(f);
  si.dir_entry(sample());
  ASSERT_EQ(si.size(), fi.size());
  const size_t n1 = 8, n2 = 10, n3 = 2, h = build::header_len(f), e3 = 128 + n1 + n2 + n3;
  // DIR_SIG, plen, flags, flen, the Windows 95 structure, nm1, time 4, nm2,
  // tag, nm3, path entry and FILE_SIG, data and trailer.
  const size_t same[][2] = {{0, 4}, {14, 2}, {18, 1}, {21, 4}, {45, 28}, {73, 2 + n1},
                            {88 + n1, 4}, {96 + n1, 2 + n2}, {110 + n1 + n2, 4},
                            {126 + n1 + n2, 2 + n3}, {e3, h - 2 - e3}, {h, si.size() - h}};
  for (auto [off, len] : same)
    EXPECT_TRUE(std::equal(si.b.begin() + long(off), si.b.begin() + long(off + len),
                           fi.b.begin() + long(off))) << off;
  EXPECT_EQ(si.b[87 + n1], 0x21); // the DOS description's attribute byte
  EXPECT_EQ(si.get_u16(h - 2), L::DD_DATA);
}

TEST(StdEntry, EveryVariantWalksByItsSizes) {
  using build::os_desc;
  const struct {
    build::std_layout l;
    const char *descs; // ID:structure size:name, in order
  } vs[] = {
      {{}, "7:0: 10:28:Long 2:9:SHORT 0:16:v "},
      {{.os = os_desc::nt}, "7:0: 5:28:Long 2:9:SHORT 0:16:v "},
      {{.vendor = false}, "7:0: 10:28:Long 2:9:SHORT "},
      {{.os = os_desc::unix_}, "7:0: 1:32:Long 2:9:SHORT 0:16:v "},
      {{.os = os_desc::none, .vendor = false}, "7:0: 2:9:SHORT "},
      {{.extra = {{99, 7, {1, 2, 3}, "x"}}}, "7:0: 10:28:Long 2:9:SHORT 0:16:v 99:3:x "},
      {{.size = (5ULL << 30) + 3}, "7:0: 10:28:Long 2:9:SHORT 0:16:v "},
  };
  for (const auto &v : vs) {
    SCOPED_TRACE(&v - vs);
    const build::entry e = sample(v.l);
    build::image img, cat;
    img.dir_entry(e);
    cat.cat_entry(e);
    std::string seen;
    size_t o = L::SE_DESCS, end = 4 + img.get_u16(L::SE_DIR_SIZE);
    for (int k = 0; o < end && k < 8; k++) {
      const size_t ss = img.get_u16(o + 10), ns = img.get_u16(o + 12 + ss);
      seen += std::to_string(img.get_u16(o)) + ":" + std::to_string(ss) + ":";
      for (size_t i = 0; i < ns; i += 2)
        seen += char(img.b.at(o + 14 + ss + i));
      seen += " ";
      o += 14 + ss + ns;
    }
    EXPECT_EQ(o, end);
    EXPECT_EQ(seen, v.descs);
    const uint64_t size = v.l.size.value_or(e.data.size());
    EXPECT_EQ(u64(img, 21), size);
    EXPECT_EQ(u64(img, L::SE_DATA_SIZE), build::header_len(e) + size + L::TRAILER_SIZE);
    EXPECT_EQ(build::header_len(e), end + img.get_u16(L::SE_PLEN) + 6);
    EXPECT_EQ(img.get_u32(end + img.get_u16(L::SE_PLEN)), L::FILE_SIG);
    EXPECT_EQ(cat.b, std::vector<uint8_t>(img.b.begin() + 4, img.b.begin() + long(end)));
  }
}

} // namespace
} // namespace cartsift
