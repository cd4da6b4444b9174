// Entries written as the QIC-113 standard lays them out, read back here by
// a walker of a dozen lines rather than by the tool, so that a wrong size
// word or description shows up against the standard's own rules.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "img_builder.h"
#include "support/testutil.h"

namespace cartsift {
namespace {

namespace L = build::layout;
using build::entry;

const uint32_t C = build::utc(1997, 3, 1, 8), A = build::utc(1997, 11, 28), M = build::utc(1997, 11, 3, 9, 41, 20);

uint64_t le(const std::vector<uint8_t> &b, size_t o, int n) {
  uint64_t v = 0;
  for (int i = n - 1; i >= 0; --i)
    v = v << 8 | b.at(o + size_t(i));
  return v;
}

struct desc {
  uint64_t id, size;
  std::vector<uint8_t> body;
  std::string name; // low bytes
};

// The descriptions from byte 19 to the end the directory entry size gives.
std::vector<desc> descs(const std::vector<uint8_t> &b, size_t *end) {
  std::vector<desc> v;
  size_t o = L::SE_DESCS;
  for (*end = L::SE_DIR_SIZE + le(b, L::SE_DIR_SIZE, 2); o < *end;) {
    desc d{le(b, o, 2), le(b, o + 2, 8), {}, {}};
    const size_t ss = le(b, o + 10, 2), ns = le(b, o + 12 + ss, 2);
    d.body.assign(b.begin() + long(o + 12), b.begin() + long(o + 12 + ss));
    for (size_t i = 0; i < ns; i += 2)
      d.name += char(b.at(o + 14 + ss + i));
    v.push_back(d);
    o += 14 + ss + ns;
  }
  EXPECT_EQ(o, *end);
  return v;
}

entry sample() {
  entry e = build::file_entry("Price list 1998.txt", "ARCHIVE\\PRICES", "DM 2.10 a line\r\n", C, 0x21);
  e.name2 = "PRICEL~1.TXT";
  e.name3 = "v";
  e.t2 = A;
  e.t3 = e.t4 = M;
  return e;
}

// The default list puts every field the fixed layout settles where that
// layout has it, so the classic reader reads such entries as before.
TEST(StdEntry, DefaultListLinesUpWithTheFixedLayout) {
  const entry f = sample(), s = build::standard(f);
  build::image fi, si;
  fi.dir_entry(f);
  si.dir_entry(s);
  ASSERT_EQ(si.size(), fi.size());
  EXPECT_EQ(build::header_len(s), build::header_len(f));
  EXPECT_EQ(build::cat_len(s), build::cat_len(f));
  const size_t n1 = 38, n2 = 24, n3 = 2, h = build::header_len(f);
  const struct {
    size_t off, len;
  } same[] = {{0, 4},  {14, 2}, {18, 1}, {21, 4}, {45, 1}, {49, 4}, {57, 4}, {65, 4},
              {73, 2 + n1}, {88 + n1, 4}, {96 + n1, 2 + n2}, {110 + n1 + n2, 4},
              {126 + n1 + n2, 2 + n3}, {128 + n1 + n2 + n3, h - 2 - (128 + n1 + n2 + n3)},
              {h, si.size() - h}};
  for (auto [off, len] : same)
    EXPECT_TRUE(std::equal(si.b.begin() + long(off), si.b.begin() + long(off + len),
                           fi.b.begin() + long(off))) << off;
  EXPECT_EQ(si.get_u16(h - 2), L::DD_DATA);
  // The catalog twin is the directory entry from byte 4 to the last description.
  build::image cat;
  cat.cat_entry(s);
  EXPECT_EQ(cat.b, std::vector<uint8_t>(si.b.begin() + 4, si.b.begin() + 4 + long(cat.size())));
}

TEST(StdEntry, EveryVariantWalksByItsSizes) {
  using build::os_desc;
  using build::std_layout;
  struct variant {
    const char *what;
    std_layout l;
    uint8_t pflg;
    std::vector<uint64_t> ids;
  } vs[] = {
      {"default", {}, 0, {7, 10, 2, 0}},
      {"nt", {.os = os_desc::nt}, 0, {7, 5, 2, 0}},
      {"os2", {.os = os_desc::os2}, 0, {7, 4, 2, 0}},
      {"no vendor", {.vendor = false}, 0, {7, 10, 2}},
      {"unix", {.os = os_desc::unix_}, 0, {7, 1, 2, 0}},
      {"dos only", {.os = os_desc::none, .vendor = false}, 0, {7, 2}},
      {"extra", {.extra = {{99, 7, {1, 2, 3}, "x"}}}, 0, {7, 10, 2, 0, 99}},
      {"file error", {}, L::TF_FILE_ERROR, {7, 10, 2, 0}},
      {"64-bit size", {.size = (5ULL << 30) + 3}, 0, {7, 10, 2, 0}},
  };
  for (const variant &v : vs) {
    SCOPED_TRACE(v.what);
    const std_layout &l = v.l;
    entry e = build::standard(sample(), l);
    e.pflg = v.pflg;
    build::image img;
    img.dir_entry(e);
    size_t end;
    const std::vector<desc> d = descs(img.b, &end);
    std::vector<uint64_t> ids;
    for (const desc &x : d)
      ids.push_back(x.id);
    ASSERT_EQ(ids, v.ids);
    EXPECT_EQ(img.b[L::SE_FLAGS], v.pflg);
    const uint64_t size = l.size.value_or(e.data.size());
    EXPECT_EQ(d[0].size, size);
    EXPECT_TRUE(d[0].body.empty() && d[0].name.empty());
    EXPECT_EQ(le(img.b, L::SE_DATA_SIZE, 8), build::header_len(e) + size + L::TRAILER_SIZE);
    EXPECT_EQ(build::header_len(e), end + img.get_u16(L::SE_PLEN) + 6);
    EXPECT_EQ(img.get_u32(end + img.get_u16(L::SE_PLEN)), L::FILE_SIG);
    for (const desc &x : d) {
      if (x.id == L::DD_WIN95 || x.id == L::DD_NT || x.id == L::DD_OS2) {
        EXPECT_EQ(x.name, e.name);
        EXPECT_EQ(x.body.size(), L::OS_STRUCT);
        EXPECT_EQ(std::vector<uint64_t>({le(x.body, 0, 4), le(x.body, 4, 8), le(x.body, 12, 8),
                                         le(x.body, 20, 8)}),
                  std::vector<uint64_t>({0x21, C, A, M}));
      } else if (x.id == L::DD_UNIX) {
        EXPECT_EQ(x.name, e.name);
        EXPECT_EQ(x.body.size(), L::UNIX_STRUCT);
      } else if (x.id == L::DD_DOS) {
        EXPECT_EQ(x.name, e.name2);
        EXPECT_EQ(x.body.size(), L::DOS_STRUCT);
        EXPECT_EQ(x.body[0] + (le(x.body, 1, 8) << 8), 0x21 + (uint64_t(M) << 8));
      } else if (x.id == L::DD_VENDOR) {
        EXPECT_EQ(std::string(x.body.begin(), x.body.begin() + 4) + x.name, "OIMGv");
        EXPECT_EQ(x.body.size(), L::VENDOR_STRUCT);
      }
    }
    build::image cat;
    cat.cat_entry(e);
    EXPECT_EQ(cat.b, std::vector<uint8_t>(img.b.begin() + 4, img.b.begin() + long(end)));
  }
}

// A file over 4 GiB as the tests need it: its data a hole, the image sparse.
TEST(StdEntry, FileImageWritesASparseFileOverFourGiB) {
  temp_dir d;
  const std::string path = d.file("huge.113");
  const uint64_t n = (5ULL << 30) + 1;
  entry e = build::standard(build::file_entry("HUGE.BIN", {}, "", C));
  e.pflg = L::PF_END;
  uint64_t at, cat;
  {
    build::file_image fi(path);
    fi.start(0, build::hdr_text(1, 1), {});
    at = fi.dir_entry(e, n, {});
    fi.pad_to(fi.next_block());
    cat = fi.size();
    e.std->size = n;
    fi.cat_entry(e);
    fi.cat_end();
    fi.finish(cat);
    fi.close();
  }
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_LT(uint64_t(st.st_blocks) * 512, 1ULL << 20);
  const int fd = open(path.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  auto read_at = [&](uint64_t off, size_t len) {
    std::vector<uint8_t> b(len);
    EXPECT_EQ(pread(fd, b.data(), len, off_t(off)), ssize_t(len)) << off;
    return b;
  };
  const size_t h = build::header_len(e);
  const std::vector<uint8_t> head = read_at(at, h);
  EXPECT_EQ(le(head, 21, 8), n);
  EXPECT_EQ(le(head, L::SE_DATA_SIZE, 8), h + n + L::TRAILER_SIZE);
  EXPECT_EQ(le(read_at(at + h + n, 4), 0, 4), L::FILE_SIG);
  EXPECT_EQ(read_at(cat, build::cat_len(e)), std::vector<uint8_t>(head.begin() + 4, head.begin() + 4 + long(build::cat_len(e))));
  close(fd);
}

} // namespace
} // namespace cartsift
