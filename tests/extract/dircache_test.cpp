// The extractor remembers the output directories it has seen, so the files
// of one directory cost no status query each. What it remembers can go
// stale (another run in another directory, a directory removed or replaced
// behind its back); the result must then be what a fresh look gives.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "extract/xtest.h"

using namespace cartsift;
using namespace xtest;

namespace {

bool is_dir(const char *p) {
  struct stat st;
  return stat(p, &st) == 0 && S_ISDIR(st.st_mode);
}

// do_extract of a 3-byte file NAME.TXT in DOCS\SUB from a fresh image.
std::string extract_docs(int *ret) {
  write_file("img", {'a', 'b', 'c'});
  int fp = img_open("img");
  capture cap;
  auto path = us(u"DOCS\0SUB"sv);
  auto nm = us("NAME.TXT");
  time_t t = 0x31000000;
  mk_path_str(nullptr, path.get());
  *ret = do_extract(fp, nm.get(), 3, -1, &t, 0, nullptr, path.get());
  img_close(fp);
  return cap.take();
}

} // namespace

TEST(DirCache, RemembersUntilToldToForget) {
  in_temp_dir td;
  forget_dirs();
  bool cached = true;
  char p[] = "A/B/C";
  EXPECT_EQ(make_dirs(p, &cached), 0);
  EXPECT_FALSE(cached);
  EXPECT_TRUE(is_dir("A/B/C"));
  EXPECT_EQ(make_dirs(p, &cached), 0);
  EXPECT_TRUE(cached);
  char e[] = "";
  EXPECT_EQ(make_dirs(e, &cached), 0);
  EXPECT_FALSE(cached);

  // Failures are not remembered.
  write_file("F", {1});
  char f[] = "F/X";
  EXPECT_EQ(make_dirs(f, &cached), 1);
  EXPECT_EQ(make_dirs(f, &cached), 1);
  EXPECT_FALSE(cached);

  forget_dirs();
  EXPECT_EQ(make_dirs(p, &cached), 0);
  EXPECT_FALSE(cached);
}

TEST(DirCache, StaleKnowledgeGivesWhatAFreshLookGives) {
  int r = -1;
  {
    in_temp_dir a; // remembers DOCS/SUB from here
    EXPECT_EQ(extract_docs(&r), "\nextracted 0x3 data bytes");
    EXPECT_EQ(r, 0);
  }
  {
    in_temp_dir b; // no DOCS here: made again
    EXPECT_EQ(extract_docs(&r), "\nextracted 0x3 data bytes");
    EXPECT_EQ(r, 0);
    EXPECT_EQ(read_file("DOCS/SUB/NAME.TXT"), (std::vector<uint8_t>{'a', 'b', 'c'}));
  }
  {
    in_temp_dir c; // DOCS is a file here: the path cannot be made
    write_file("DOCS", {1});
    EXPECT_EQ(extract_docs(&r), "\nfailed to create path DOCS\\SUB");
    EXPECT_EQ(r, XTRACT_NO_DIR);
  }
  {
    in_temp_dir d; // removed between two files of one run
    EXPECT_EQ(extract_docs(&r), "\nextracted 0x3 data bytes");
    fs::remove_all("DOCS");
    EXPECT_EQ(extract_docs(&r), "\nextracted 0x3 data bytes");
    EXPECT_EQ(r, 0);
    EXPECT_TRUE(is_dir("DOCS/SUB"));
  }
}
