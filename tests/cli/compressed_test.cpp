// Compressed volumes read through their inflated view: every layout lists,
// tests and extracts as its uncompressed twin does, --inflate gives back an
// image the classic interface walks alike, and a damaged extent costs only
// what lies in it.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/testutil.h"

namespace cartsift {
namespace {

namespace fs = std::filesystem;
namespace L = build::layout;

// Relative path -> contents of every file below root.
std::map<std::string, std::string> files_of(const std::string &root) {
  std::map<std::string, std::string> m;
  for (const auto &e : fs::recursive_directory_iterator(root))
    if (e.is_regular_file())
      m[text_of(fs::relative(e.path(), root))] = read_file(text_of(e.path()));
  return m;
}

// The classic listing from its first line to the walk's result.
std::string classic_walk(const std::string &img) {
  std::string out = run_bin({img, "-dd-1"}).out;
  const size_t from = out.find("\nBackup File listing:");
  return from == std::string::npos ? out : out.substr(from);
}

TEST(Compressed, EveryLayoutReadsAsItsTwin) {
  temp_dir d;
  const build::image plain = build::demo_image();
  const std::string p = write_image(d, plain, "plain.113");
  const std::string want_list = run_bin({"--list", "-v", p}).out;
  ASSERT_EQ(run_bin({"--extract", "-q", "-C", d.file("x-plain"), p}).status, 0);
  const auto want_files = files_of(d.file("x-plain"));
  const std::string want_walk = classic_walk(p);
  const std::string plain_bytes = read_file(p);

  struct variant {
    unsigned width;
    bool spanning, in_stream;
    const char *layout; // what --info says
  };
  for (const variant v : {variant{8, false, false, "8-byte extent offsets, one extent a segment"},
                          variant{4, false, false, "4-byte extent offsets, one extent a segment"},
                          variant{8, true, false, "8-byte extent offsets, extents span segments"},
                          variant{4, true, true, "4-byte extent offsets, extents span segments"}}) {
    build::comp_options o;
    o.offset_width = v.width;
    o.spanning = v.spanning;
    o.catalog_in_stream = v.in_stream;
    o.frame_in = 5000; // several frames and extents even for a small image
    const std::string tag =
        std::to_string(v.width) + (v.spanning ? "s" : "") + (v.in_stream ? "c" : "");
    const std::string z = write_image(d, build::compress_image(plain, o), "z" + tag + ".113");
    SCOPED_TRACE(tag);
    EXPECT_EQ(run_bin({"--list", "-v", z}).out, want_list);
    run_output t = run_bin_err({"--test", z});
    EXPECT_EQ(t.status, 0) << t.err;
    EXPECT_NE(run_bin({"--info", z}).out.find(v.layout), std::string::npos);
    ASSERT_EQ(run_bin({"--extract", "-q", "-C", d.file("x" + tag), z}).status, 0);
    EXPECT_EQ(files_of(d.file("x" + tag)), want_files);

    const std::string back = d.file("back" + tag + ".113");
    ASSERT_EQ(run_bin({"--inflate", z, back}).status, 0);
    EXPECT_EQ(classic_walk(back), want_walk);
    const std::string twin = read_file(back);
    EXPECT_EQ(twin.substr(L::VTBL_OFFSET + 92, 4), plain_bytes.substr(L::VTBL_OFFSET + 92, 4)) << "dirSz";
    EXPECT_EQ(run_bin({"--list", "-v", back}).out, want_list);
  }
}

// Each cartridge of a set in its own layout: the set extracts as its twin
// does, and --info tells the cartridges without a catalog from the last.
TEST(Compressed, ASetInMixedLayoutsReadsAsItsTwin) {
  temp_dir d;
  const std::vector<build::image> set = build::demo_set();
  std::vector<std::string> plain = {"--extract", "-q", "-C", d.file("x-plain")};
  std::vector<std::string> z = {"--extract", "-q", "-C", d.file("x-z")};
  const char *const where[] = {"none on this cartridge", "none on this cartridge",
                               "in the stream, after the data"};
  for (size_t i = set.size(); i-- > 0;) { // last cartridge first
    const std::string n = std::to_string(i + 1);
    plain.push_back(write_image(d, set[i], "p" + n + ".113"));
    z.push_back(
        write_image(d, build::compress_image(set[i], build::demo_set_layout(i)), "z" + n + ".113"));
    const std::string info = run_bin({"--info", z.back()}).out;
    EXPECT_NE(info.find(std::string("catalog      ") + where[i]), std::string::npos) << info;
  }
  // 1 for both: TERMBASE.MDB is flagged file error.
  ASSERT_EQ(run_bin(plain).status, 1);
  ASSERT_EQ(run_bin(z).status, 1);
  EXPECT_EQ(files_of(d.file("x-z")), files_of(d.file("x-plain")));
}

// A name changed in each backup's catalog of the demo volume: the first
// catalog lies in the stream, the last one where the layout keeps it.
TEST(Compressed, EachBackupIsHeldAgainstItsCatalog) {
  temp_dir d;
  build::image plain = build::demo_image();
  for (const std::string name : {"AUTOEXEC", "WIN.INI"}) {
    std::string u16; // as the entries hold it
    for (char c : name)
      u16 += std::string{c, '\0'};
    std::vector<size_t> at;
    for (size_t i = 0; i + u16.size() <= plain.b.size(); i++)
      if (std::equal(u16.begin(), u16.end(), plain.b.begin() + ptrdiff_t(i)))
        at.push_back(i);
    ASSERT_GE(at.size(), 4u);
    plain.b[at.end()[-1]] = plain.b[at.end()[-2]] =
        'Q'; // both names of the last catalog holding it
  }
  for (const bool in_stream : {false, true}) {
    build::comp_options o;
    o.catalog_in_stream = in_stream;
    o.frame_in = 5000;
    const std::string z = write_image(d, build::compress_image(plain, o), "z.113");
    run_output t = run_bin_err({"--test", z});
    EXPECT_EQ(t.status, 1);
    size_t n = 0;
    for (size_t i = 0;
         (i = t.err.find("differs from the data region in its name", i)) != std::string::npos; i++)
      n++;
    EXPECT_EQ(n, 2u) << t.err;
  }
}

TEST(Compressed, ADamagedFrameIsAHoleAndTheRestIsRead) {
  temp_dir d;
  const build::image plain = build::demo_image();
  build::comp_options o;
  o.frame_in = 3000;
  build::image z = build::compress_image(plain, o);
  // A frame's size word in the second segment claims more than is left.
  z.put_u16(L::DATA_START + L::BLOCK_SIZE + 8, 0x7FF0);
  const std::string p = write_image(d, z, "bad.113");
  run_output t = run_bin_err({"--test", p});
  EXPECT_EQ(t.status, 1);
  EXPECT_NE(t.err.find("frame of 32752 bytes"), std::string::npos) << t.err;
  // Files before the hole still come back; it starts in OPENINGS.TXT's trailer.
  run_output x = run_bin_err({"--extract", "-q", "-C", d.file("x"), p});
  EXPECT_EQ(x.status, 1);
  EXPECT_TRUE(fs::exists(d.file("x/C_/AUTOEXEC.BAT")));
  EXPECT_TRUE(fs::exists(d.file("x/C_/WINDOWS/SYSTEM.INI"))) << x.err;
  EXPECT_EQ(run_bin({"--inflate", p, d.file("out.113")}).status, 1);
}

} // namespace
} // namespace cartsift

namespace cartsift {
namespace {

// Extent offsets that cannot be true are reported once as holes; the
// extents around them still read.
TEST(Compressed, HostileExtentOffsets) {
  const build::image plain = build::demo_image();
  build::comp_options o;
  o.frame_in = 3000;
  const build::image good = build::compress_image(plain, o);
  const size_t seg1 = L::DATA_START + L::BLOCK_SIZE; // the second extent's offset word
  struct hostile {
    const char *name;
    uint64_t offset;
    const char *said;
  };
  for (const hostile h :
       {hostile{"near 2^63", (uint64_t(1) << 63) - 5, "claims an uncompressed offset"},
        hostile{"backwards", 0, "goes back to uncompressed offset 0"},
        hostile{"overlapping", 3000, "expands past its limit"}}) {
    SCOPED_TRACE(h.name);
    temp_dir d;
    build::image z = good;
    z.put_u64(seg1, h.offset);
    const std::string p = write_image(d, z, "h.113");
    run_output t = run_bin_err({"--test", p});
    EXPECT_EQ(t.status, 1);
    EXPECT_NE(t.err.find(h.said), std::string::npos) << t.err;
    run_output x = run_bin_err({"--extract", "-q", "-C", d.file("x"), p});
    EXPECT_TRUE(fs::exists(d.file("x/C_/AUTOEXEC.BAT")));
    EXPECT_TRUE(fs::exists(d.file("x/C_/WINDOWS/WIN.INI"))) << x.err;
  }
}

} // namespace
} // namespace cartsift
