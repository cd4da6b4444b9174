// Images shorter than their headers say: every command names the cut and the
// files it damaged, and a compressed volume gives back what lies before it.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/capture.h"
#include "support/testutil.h"

namespace cartsift {
namespace {

namespace L = build::layout;
using testing::fmt;

TEST(Truncated, EachCommandNamesTheCut) {
  const std::vector<build::image> set = build::demo_set();
  const build::image plain = build::demo_image();
  build::comp_options o;
  o.frame_in = 3000;
  build::image z = build::compress_image(plain, o), overrun = z;
  const size_t seg1 = L::DATA_START + L::BLOCK_SIZE, npos = std::string::npos;
  overrun.put_u16(seg1 + 8, 0xFFFF); // a stored frame of 32767 bytes
  o.spanning = true;
  const std::string sales = "SALES95.CSV", runs = ": data runs past the cut end";
  struct row {
    const char *name;
    std::vector<build::image> imgs;
    size_t cut, size;       // imgs[cut] keeps its first size bytes
    std::string said, lost; // in --test's messages; a file --extract leaves out
  } rows[] = {
      {"alone", {plain}, 0, 150000, sales + runs, "C_/DOCS/REPORTS/" + sales},
      {"set", set, 1, set[1].size() - 1000, "NUMBERS.TXT" + runs, "D_/ARCHIVE/NUMBERS.TXT"},
      {"mid-segment", {z}, 0, L::DATA_START + 15000, sales + runs, "C_/DOCS/REPORTS/" + sales},
      {"frame overrun", {overrun}, 0, seg1 + 100,
       "frame of 32767 bytes where 90 are left before the end of the image", ""},
      {"spanning", {build::compress_image(plain, o)}, 0, seg1 + 5000,
       "extent in segment 1 is cut short by the end of the image", ""},
  };
  for (row &r : rows) {
    SCOPED_TRACE(r.name);
    temp_dir d;
    const std::string cut = fmt("image truncated: %zu bytes where its header gives %zu", r.size,
                                r.imgs[r.cut].size());
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
    EXPECT_TRUE(t.err.find(cut) != npos && t.err.find(r.said) != npos) << t.err;
    EXPECT_NE(i.out.find(fmt("  truncated    %zu bytes", r.size)), npos);
    EXPECT_TRUE(x.err.find(cut) != npos && x.err.find(cut) == x.err.rfind(cut)) << x.err; // once
    EXPECT_TRUE(r.lost.empty() || !std::filesystem::exists(d.file("x/" + r.lost))) << x.err;
    if (r.imgs[0].b[L::VTBL_OFFSET + L::VT_COMP] == 0)
      continue;
    // The twin holds the plain image's bytes up to where it says they stop.
    run_output f = run_bin_err({"--inflate", paths[0], d.file("twin")});
    const size_t at = f.err.rfind(": 0x", f.err.find(": the data stops here"));
    const size_t stop = at == npos ? 0 : std::stoul(f.err.substr(at + 2), nullptr, 16);
    EXPECT_TRUE(f.status == 1 && stop > L::DATA_START + 10000) << f.err;
    EXPECT_EQ(read_file(d.file("twin")).substr(L::DATA_START, stop - L::DATA_START),
              std::string(plain.b.begin() + L::DATA_START, plain.b.begin() + ptrdiff_t(stop)));
  }
}

} // namespace
} // namespace cartsift
