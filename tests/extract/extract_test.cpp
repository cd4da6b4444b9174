#include <gtest/gtest.h>

#include <sys/stat.h>

#include "extract/xtest.h"

using namespace cartsift;
using namespace xtest;

namespace {

const std::string PROMPT = "\n\ncurrent file data in next image, enter 'q' "
                           "to abort or next image file name:\n  ";

struct DoExtract : ::testing::Test {
  in_temp_dir td;
  capture cap;
  std::vector<uint8_t> img;
  int fp = -1;
  time_t t = 0x2F123456;

  ~DoExtract() override {
    if (fp >= 0)
      img_close(fp);
  }
  // An image of n pattern bytes, read position at coff.
  void image(size_t n, int64_t coff = 0) {
    img = pattern(n, 1);
    write_file("img", img);
    fp = img_open("img");
    ASSERT_EQ(img_seek(fp, coff, SEEK_SET), coff);
  }
  int run(const uni_str *drv, const uni_str *path, const uni_str *nm,
          int64_t len, int64_t cats = -1, uint8_t at = 0) {
    mk_path_str(drv, path);
    return do_extract(fp, nm, len, cats, &t, at, drv, path);
  }
  int run(std::u16string_view nm, int64_t len, int64_t cats = -1, uint8_t at = 0) {
    return run(nullptr, nullptr, us(nm).get(), len, cats, at);
  }
  std::vector<uint8_t> img_part(size_t off, size_t n) {
    return {img.begin() + long(off), img.begin() + long(off + n)};
  }
  static struct stat st(const char *p) {
    struct stat s {};
    EXPECT_EQ(stat(p, &s), 0) << p;
    return s;
  }
  // Everything below the directory apart from the image itself.
  static size_t others() {
    size_t n = 0;
    for (auto &e : fs::recursive_directory_iterator("."))
      n += e.path().filename() != "img";
    return n;
  }
};

} // namespace

TEST_F(DoExtract, WritesDataTimeAndMode) {
  image(0x1234 + 10, 10);
  EXPECT_EQ(run(us("C:"sv).get(), us("DOS"sv).get(), us("README.TXT"sv).get(),
                0x1234),
            0);
  auto s = st("C_/DOS/README.TXT"); // before reading it moves the access time
  EXPECT_EQ(s.st_mtime, t);
  EXPECT_EQ(s.st_atime, t);
  EXPECT_EQ(s.st_mode & 0777, cartsift::testing::seen_mode(0600));
  EXPECT_EQ(cap.take(), "\nextracted 0x1234 data bytes");
  EXPECT_EQ(read_file("C_/DOS/README.TXT"), img_part(10, 0x1234));
  EXPECT_EQ(img_seek(fp, 0, SEEK_CUR), 10 + 0x1234);
}

TEST_F(DoExtract, OutputFileRules) {
  image(100);
  write_file("OLD", pattern(500, 3));
  EXPECT_EQ(run(u"OLD", 20), 0); // truncated and overwritten
  EXPECT_EQ(read_file("OLD"), img_part(0, 20));

  EXPECT_EQ(run(u"RO", 50, -1, 0x01), 0);
  EXPECT_EQ(st("RO").st_mode & 0777, cartsift::testing::seen_mode(0400));
  // A read-only file from an earlier run stands, even for root.
  EXPECT_EQ(run(u"RO", 30), 2);
  EXPECT_EQ(read_file("RO").size(), 50u);

  std::error_code ec;
  fs::create_symlink("target", "LINK", ec);
  if (ec)
    GTEST_SKIP() << "no symbolic links here: " << ec.message();
  EXPECT_EQ(run(u"LINK", 10), 2);
  EXPECT_FALSE(fs::exists("target"));
  EXPECT_EQ(cap.take(), "\nextracted 0x14 data bytes\nextracted 0x32 data bytes"
                        "\nfailed to open RO for output\nextracted 0x0 data bytes"
                        "\nfailed to open LINK for output\nextracted 0x0 data bytes");
}

TEST_F(DoExtract, OneDotPerFiftyChunks) {
  image(0x2A300);
  EXPECT_EQ(run(u"A", 51200), 0);
  img_seek(fp, 0, SEEK_SET);
  EXPECT_EQ(run(u"B", 0x2A300), 0);
  EXPECT_EQ(cap.take(), ".\nextracted 0xc800 data bytes...\nextracted 0x2a300 data bytes");
}

TEST_F(DoExtract, HostPathFromComponents) {
  image(100);
  // Colons and separator bytes inside a component stay inside it; the name
  // keeps its colon and ends at a zero character.
  auto drv = us("D:"sv);
  auto path = us(u"\0X:Y\0\0a/b\0\u012F\0c\\d"sv);
  EXPECT_EQ(run(drv.get(), path.get(), us(u"N:1\0junk"sv).get(), 10), 0);
  // Windows would take the colon for a stream's: the name is changed, and said.
  constexpr bool win = cartsift::platform::WINDOWS;
  EXPECT_EQ(read_file(win ? "D_/X_Y/a_b/_/c_d/N_1" : "D_/X_Y/a_b/_/c_d/N:1"), img_part(0, 10));
  EXPECT_EQ(run(nullptr, nullptr, us(u"x/y\\z"sv).get(), 10), 0);
  EXPECT_TRUE(fs::exists("x_y_z"));
  write_file("C_", {1});
  EXPECT_EQ(run(us("C:"sv).get(), us("DOS"sv).get(), us("F"sv).get(), 10), 1);
  EXPECT_EQ(cap.take(), std::string(win ? "\nname changed for Windows, written as "
                                            "D_\\X_Y\\a_b\\_\\c_d\\N_1"
                                          : "") +
                            "\nextracted 0xa data bytes\nextracted 0xa data bytes"
                            "\nfailed to create path C_\\DOS");
}

TEST_F(DoExtract, UnsafeEntriesAreRefusedUntouched) {
  image(100, 40);
  struct {
    std::u16string_view drv, path, nm;
    const char *shown;
  } cases[] = {
      {u"C:", u"..\0x"sv, u"EVIL", "C:\\..\\x\\EVIL"},
      {u"", u"a\0."sv, u"F", "a\\.\\F"},
      {u"..", u"", u"F", "..\\F"},
      {u"", u"\u012E\u012E", u"F", "..\\F"},
      {u"", u"DOS", u"..", "DOS\\.."},
      {u"", u"DOS", u".", "DOS\\."},
      {u"", u"DOS", u"", "DOS\\"},
      {u"", u"DOS", u"\0X"sv, "DOS\\"},
  };
  for (auto &c : cases) {
    capture one;
    auto drv = us(c.drv), path = us(c.path);
    EXPECT_EQ(run(c.drv.empty() ? nullptr : drv.get(),
                  c.path.empty() ? nullptr : path.get(), us(c.nm).get(), 10),
              XTRACT_REFUSED);
    EXPECT_EQ(one.take(), std::string("\nnot extracted, unsafe path or name: ") + c.shown);
  }
  EXPECT_EQ(others(), 0u);
  EXPECT_EQ(img_seek(fp, 0, SEEK_CUR), 40);
}

TEST_F(DoExtract, TooLongIsRefusedAtTheBufferEdge) {
  image(100);
  std::u16string deep; // 100 levels of 9 characters: 999 bytes shown
  for (int i = 0; i < 100; ++i)
    deep += std::u16string(i ? 1 : 0, u'\0') + std::u16string(9, u'd');
  auto path = us(deep);
  std::u16string nm(23, u'n'); // 999 + '\\' + 23 + NUL: buf exactly full
  EXPECT_EQ(run(nullptr, path.get(), us(nm).get(), 10), 0);
  EXPECT_EQ(run(nullptr, path.get(), us(nm + u"m").get(), 10), XTRACT_REFUSED);
  EXPECT_EQ(run(nullptr, us(std::u16string(3000, u'p')).get(), us(u"F").get(), 10),
            XTRACT_REFUSED);
  std::string o = cap.take();
  EXPECT_EQ(o.find("\nextracted 0xa data bytes\nnot extracted, path and name too long: ddd"), 0u);
  EXPECT_EQ(std::count(o.begin(), o.end(), '\n'), 3);
  EXPECT_EQ(img_seek(fp, 0, SEEK_CUR), 10);
}

TEST_F(DoExtract, ShortImageKeepsPartialFile) {
  image(1500);
  EXPECT_EQ(run(u"F", 3000), XTRACT_IO);
  EXPECT_EQ(cap.take(), "\nfile io error\nextracted 0x400 data bytes");
  EXPECT_EQ(read_file("F"), img_part(0, 1024));
  EXPECT_EQ(st("F").st_mtime, t);
}

TEST_F(DoExtract, CatalogOffsetBounds) {
  image(3100, 100);
  EXPECT_EQ(run(u"END", 3000, 3100), 0); // ends exactly there: complete
  img_seek(fp, 100, SEEK_SET);
  EXPECT_EQ(run(u"UNK", 3000, -1), 0);
  img_seek(fp, 100, SEEK_SET);
  EXPECT_EQ(run(u"BAD", 3000, 50), 0);
  EXPECT_EQ(cap.take(),
            "\nextracted 0xbb8 data bytes\nextracted 0xbb8 data bytes"
            "\ncatalog offset 0x32 lies before the file data at 0x64, taking "
            "the whole file from this image\nextracted 0xbb8 data bytes");
  for (auto n : {"END", "UNK", "BAD"})
    EXPECT_EQ(read_file(n), img_part(100, 3000));
}

TEST_F(DoExtract, ContinuesIntoNextImage) {
  image(1100, 100);
  auto next = pattern(5000, 9);
  write_next_image("next.113", next);
  feed in("next.113\n");
  EXPECT_EQ(run(u"F", 3000, 1100, 0x01), 0);
  EXPECT_EQ(cap.take(), "\nextracted 3e8 bytes from current file" + PROMPT +
                            "\nattempting new source file: next.113"
                            "\nsuccessfully appended 0x7d0 bytes to extracted file");
  auto want = img_part(100, 1000);
  want.insert(want.end(), next.begin(), next.begin() + 2000);
  EXPECT_EQ(read_file("F"), want);
  EXPECT_EQ(img_seek(fp, 0, SEEK_CUR), 1100);
  auto s = st("F"); // a continued file gets its time and attribute too
  EXPECT_EQ(s.st_mtime, t);
  EXPECT_EQ(s.st_mode & 0777, cartsift::testing::seen_mode(0400));
}

TEST_F(DoExtract, DataStartingAtCatalogComesWholeFromNext) {
  image(200, 200);
  auto next = pattern(500, 5);
  write_next_image("n.113", next);
  feed in("n.113\n");
  EXPECT_EQ(run(u"F", 300, 200), 0);
  EXPECT_EQ(cap.take().substr(0, 38), "\nextracted 0 bytes from current file\n\n");
  EXPECT_EQ(read_file("F"), std::vector<uint8_t>(next.begin(), next.begin() + 300));
}

TEST_F(DoExtract, AbandonedContinuationLeavesPartialFile) {
  image(1100, 100);
  feed in("q\n");
  EXPECT_EQ(run(u"F", 3000, 1100, 0x01), XTRACT_NEXT_IMAGE);
  EXPECT_EQ(cap.take(), "\nextracted 3e8 bytes from current file" + PROMPT);
  EXPECT_EQ(read_file("F"), img_part(100, 1000));
  EXPECT_EQ(st("F").st_mode & 0777, cartsift::testing::seen_mode(0600));
}
