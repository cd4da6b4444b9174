// The sweeps and the fuzzer run the tool many times in one process: each run
// must see only its own image, whatever earlier runs left behind.
#include <gtest/gtest.h>

#include "hardening/sweep.h"

namespace cartsift::hardening {
namespace {

TEST(InProcessRuns, EachSeesOnlyItsOwnImage) {
  // Three images that differ from the header on, opened in turn more often
  // than the reader keeps images open at once; a run of the binary, which
  // starts afresh, tells what each should show.
  temp_dir d;
  const std::vector<std::string> paths = {
      write_image(d, build::demo_image(), "a.113"),
      write_image(d, build::demo_pair().first, "b.113"),
      write_image(d, build::demo_pair().second, "c.113")};
  // The volume summary and the listing end with the start of the image still
  // in the read window, the survey with its end.
  for (const std::vector<std::string> &opts :
       {std::vector<std::string>{}, {"-dd-1"}, {"-di", "-f"}}) {
    std::vector<std::string> fresh;
    for (const std::string &p : paths) {
      std::vector<std::string> a = {p};
      a.insert(a.end(), opts.begin(), opts.end());
      fresh.push_back(run_bin(a).out);
    }
    for (size_t i = 0; i < 9; i++) {
      std::vector<std::string> a = {paths[i % 3]};
      a.insert(a.end(), opts.begin(), opts.end());
      EXPECT_EQ(run_main(a).out, fresh[i % 3]) << i;
    }
  }
}

} // namespace
} // namespace cartsift::hardening
