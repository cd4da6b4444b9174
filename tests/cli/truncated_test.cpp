// Images shorter than their headers say: every command names the cut and the
// files it damaged, and a compressed volume gives back what lies before it.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/capture.h"
#include "support/testutil.h"

namespace cartsift {
namespace {

namespace L = build::layout;

TEST(Truncated, EachCommandNamesTheCut) {
  const std::vector<build::image> set = build::demo_set();
  const build::image plain = build::demo_image();
  build::comp_options o;
  o.frame_in = 3000;
  build::image z = build::compress_image(plain, o), overrun = z;
  const size_t seg1 = L::DATA_START + L::BLOCK_SIZE;
  overrun.put_u16(seg1 + 8, 0xFFFF); // a stored frame of 32767 bytes
  o.spanning = true;
  struct row {
    const char *name;
    std::vector<build::image> imgs;
    size_t cut, size;                   // imgs[cut] keeps its first size bytes
    const char *said, *lost = "C_/DOCS/REPORTS/SALES95.CSV"; // in --test; not extracted
  } rows[] = {
      {"alone", {plain}, 0, 150000, "SALES95.CSV: data runs past the cut end of"},
      {"set", set, 1, set[1].size() - 1000, "NUMBERS.TXT: data runs past the cut end of",
       "D_/ARCHIVE/NUMBERS.TXT"},
      {"mid-segment", {z}, 0, L::DATA_START + 15000, "SALES95.CSV: data runs past the cut end of"},
      {"frame overrun", {overrun}, 0, seg1 + 100,
       "frame of 32767 bytes where 90 are left before the end of the image", ""},
      {"spanning", {build::compress_image(plain, o)}, 0, seg1 + 5000,
       "extent in segment 1 is cut short by the end of the image", ""},
  };
  for (row &r : rows) {
    SCOPED_TRACE(r.name);
    temp_dir d;
    const size_t whole = r.imgs[r.cut].size();
    r.imgs[r.cut].b.resize(r.size);
    std::vector<std::string> paths;
    for (size_t i = 0; i < r.imgs.size(); i++)
      paths.push_back(write_image(d, r.imgs[i], std::to_string(i) + ".113"));
    auto run = [&](std::vector<std::string> args) {
      args.insert(args.end(), paths.begin(), paths.end());
      return run_bin_err(args);
    };
    run_output t = run({"--test"}), i = run({"--info"}), x = run({"--extract", "-C", d.file("x")});
    EXPECT_EQ((std::vector{t.status, i.status, x.status, run({"--list"}).status}),
              (std::vector{1, 1, 1, 1}));
    const std::string cut = testing::fmt("image truncated: %zu bytes where its header gives %zu",
                                         r.size, whole);
    EXPECT_NE(t.err.find(cut), std::string::npos) << t.err;
    EXPECT_NE(t.err.find(r.said), std::string::npos) << t.err;
    EXPECT_NE(i.out.find(testing::fmt("  truncated    %zu bytes", r.size)), std::string::npos);
    const size_t once = x.err.find(cut);
    EXPECT_TRUE(once != std::string::npos && once == x.err.rfind(cut)) << x.err;
    EXPECT_TRUE(!*r.lost || !std::filesystem::exists(d.file("x/") + r.lost)) << x.err;
    if (r.imgs[0].b[L::VTBL_OFFSET + L::VT_COMP] != 0) {
      // The twin holds the plain image's bytes up to where it says they stop.
      run_output f = run_bin_err({"--inflate", paths[0], paths[0] + ".out"});
      ASSERT_EQ(f.status, 1);
      const size_t stop =
          std::stoul(f.err.substr(f.err.rfind(": 0x", f.err.find(": the data stops")) + 2), 0, 16);
      EXPECT_GT(stop, L::DATA_START + 10000) << f.err;
      EXPECT_EQ(read_file(paths[0] + ".out").substr(L::DATA_START, stop - L::DATA_START),
                std::string(plain.b.begin() + L::DATA_START, plain.b.begin() + ptrdiff_t(stop)));
    }
  }
}

} // namespace
} // namespace cartsift
