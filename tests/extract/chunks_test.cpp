// File data is copied in large blocks, but what the user sees must stay
// what a loop of reads and writes of at most 1024 bytes gives: the same
// dots (one per 50 chunks), the same counts in the messages, the same bytes
// in the output when the image ends early, and the same hand-over to the
// next image at the catalog offset. The model below is that loop, run on
// counts alone.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include "extract/xtest.h"

using namespace cartsift;
using namespace xtest;

namespace {

using cartsift::testing::fmt;

const std::string PROMPT = "\n\ncurrent file data in next image, enter 'q' "
                           "to abort or next image file name:\n  ";

struct model {
  std::string text;
  std::vector<uint8_t> file;
  int ret = 0;
};

// do_extract's copy from image offset coff, the continuation answered 'q'.
model chunk_loop(const std::vector<uint8_t> &img, int64_t coff, int64_t len, int64_t cats) {
  model m;
  bool bound = cats >= 0;
  if (bound && cats < coff) {
    m.text += fmt("\ncatalog offset 0x%lx lies before the file data at 0x%lx, taking "
                  "the whole file from this image",
                  (unsigned long)cats, (unsigned long)coff);
    bound = false;
  }
  int64_t wr = 0;
  int cnt = 0;
  while (m.ret == 0 && wr < len) {
    int64_t rd = std::min<int64_t>(len - wr, 1024);
    if (bound && coff + wr + rd >= cats)
      rd = cats - (coff + wr);
    if (rd > 0 && coff + wr + rd > int64_t(img.size())) {
      m.ret = XTRACT_IO;
      m.text += "\nfile io error";
    } else {
      m.file.insert(m.file.end(), img.begin() + coff + wr, img.begin() + coff + wr + rd);
      wr += rd;
    }
    if (++cnt == 50) {
      cnt = 0;
      m.text += '.';
    }
    if (bound && wr < len && coff + wr == cats) {
      m.text += fmt("\nextracted %lx bytes from current file", (unsigned long)wr) + PROMPT;
      m.ret = XTRACT_NEXT_IMAGE;
      return m;
    }
  }
  m.text += fmt("\nextracted 0x%lx data bytes", (unsigned long)wr);
  return m;
}

struct Chunks : ::testing::Test {
  in_temp_dir td;
  std::vector<uint8_t> img = pattern(300 * 1024 + 77, 3);
  int fp = -1;
  time_t t = 0x30000000;

  Chunks() {
    write_file("img", img);
    fp = img_open("img");
  }
  ~Chunks() override { img_close(fp); }

  void check(int64_t coff, int64_t len, int64_t cats) {
    SCOPED_TRACE(fmt("coff %ld len %ld cats %ld", long(coff), long(len), long(cats)));
    model want = chunk_loop(img, coff, len, cats);
    capture cap;
    feed in("q\n");
    ASSERT_EQ(img_seek(fp, coff, SEEK_SET), coff);
    auto nm = us("F");
    mk_path_str(nullptr, nullptr);
    int r = do_extract(fp, nm.get(), len, cats, &t, 0, nullptr, nullptr);
    EXPECT_EQ(r, want.ret);
    EXPECT_EQ(cap.take(), want.text);
    EXPECT_TRUE(read_file("F") == want.file) << "output differs, " << read_file("F").size()
                                             << " bytes for " << want.file.size();
  }
};

} // namespace

TEST_F(Chunks, DotsAndCountsAtEveryBoundary) {
  const int64_t K = 1024, D = 50 * K; // a chunk, a dot's worth
  for (int64_t coff : {int64_t(0), int64_t(5)}) {
    for (int64_t len : {int64_t(1), K - 1, K, K + 1, D - 1, D, D + 1, 2 * D, 2 * D + 1,
                        3 * D - K}) {
      check(coff, len, -1);                 // no catalog bound
      check(coff, len, coff + len);         // data ends right on the catalog
      check(coff, len, coff + len + 1);     // ... just before it
      check(coff, len, coff + len - 1);     // one byte left for the next image
      check(coff, len, coff);               // starts on it: one empty chunk
      check(coff, len, coff + K);           // cut at a chunk border
      check(coff, len, coff + D + 7);       // cut inside a chunk past a dot
      if (coff > 0)
        check(coff, len, coff - 1);         // a catalog before the data
    }
  }
}

TEST_F(Chunks, ImageEndingInsideTheData) {
  // The chunk the image cannot fill is reported and not written; whole
  // chunks before it are. The end falls inside a chunk, on a chunk border
  // and on a dot's border.
  const int64_t n = int64_t(img.size());
  for (int64_t left : {int64_t(10), int64_t(1024), int64_t(1025), int64_t(50 * 1024),
                       int64_t(50 * 1024 + 3), int64_t(49 * 1024 + 1000)}) {
    check(n - left, left + 5000, -1);
    check(n - left, left + 1, n + 100);
  }
  check(n, 10, -1); // nothing at all left
}

TEST_F(Chunks, ContinuationCountsItsOwnChunks) {
  // The next image's share is counted from zero, with the same dots and
  // the same treatment of a next image that ends too soon.
  for (int64_t rest : {int64_t(1), int64_t(1024), int64_t(50 * 1024 - 1), int64_t(50 * 1024),
                       int64_t(50 * 1024 + 1), int64_t(120 * 1024 + 5)}) {
    // An output in append mode refuses the kernel-side copy, so the data
    // goes through the read window instead.
    for (int way = 0; way < 4; way++) {
      const bool short_next = way & 1, append = way & 2;
      SCOPED_TRACE(fmt("rest %ld short %d append %d", long(rest), int(short_next), int(append)));
      std::vector<uint8_t> data = pattern(size_t(rest), 9);
      size_t have = short_next ? size_t(rest) * 2 / 3 : size_t(rest);
      write_next_image("next.113", {data.begin(), data.begin() + long(have)});

      fd_guard fo(open("out", O_RDWR | O_CREAT | O_TRUNC | (append ? O_APPEND : 0), 0600));
      ASSERT_EQ(write(fo.get(), "head", 4), 4);
      capture cap;
      feed in("next.113\n");
      int r = next_image_data(fo.get(), rest);

      std::string want = PROMPT + "\nattempting new source file: next.113";
      int64_t whole = int64_t(have) / 1024 * 1024; // chunks that went through
      int64_t chunks = short_next ? whole / 1024 + 1 : (rest + 1023) / 1024;
      if (short_next) {
        want += std::string(size_t((chunks - 1) / 50), '.') + "\nfile io error" +
                (chunks % 50 == 0 ? "." : "");
      } else {
        want += std::string(size_t(chunks / 50), '.') +
                fmt("\nsuccessfully appended 0x%lx bytes to extracted file", (unsigned long)rest);
      }
      EXPECT_EQ(r, short_next ? -3 : 0);
      EXPECT_EQ(cap.take(), want);
      std::vector<uint8_t> file = read_file("out");
      std::vector<uint8_t> expect = {'h', 'e', 'a', 'd'};
      expect.insert(expect.end(), data.begin(), data.begin() + (short_next ? whole : rest));
      EXPECT_TRUE(file == expect) << file.size() << " bytes for " << expect.size();
    }
  }
}

TEST_F(Chunks, SameWhenTheOutputIsOnAnotherFileSystem) {
  // Where the kernel cannot copy between the two files, the data goes
  // through our own window instead; nothing the user sees may differ.
#ifdef _WIN32
  GTEST_SKIP() << "no /dev/shm";
#else
  struct stat a {}, b {};
  if (stat(".", &a) != 0 || stat("/dev/shm", &b) != 0 || a.st_dev == b.st_dev)
    GTEST_SKIP() << "no second file system at /dev/shm";
  std::string shm = "/dev/shm/cartsift-chunks-XXXXXX";
  ASSERT_NE(mkdtemp(shm.data()), nullptr);
  fs::path here = fs::current_path();
  fs::current_path(shm);
  for (int64_t len : {int64_t(1), int64_t(50 * 1024), int64_t(200 * 1024 + 9)}) {
    check(3, len, -1);
    check(3, len, 3 + 150 * 1024);
  }
  check(int64_t(img.size()) - 1000, 5000, -1);
  fs::current_path(here);
  fs::remove_all(shm);
#endif
}

TEST_F(Chunks, ModeAndTimeWhetherTheFileIsNewOrNot) {
  // A file made here already has the writable mode; one that was there
  // before, or one that is to become read-only, is changed.
  auto extract = [&](const char *name, uint8_t attrib) {
    capture cap;
    ASSERT_EQ(img_seek(fp, 0, SEEK_SET), 0);
    auto nm = us(name);
    mk_path_str(nullptr, nullptr);
    ASSERT_EQ(do_extract(fp, nm.get(), 10, -1, &t, attrib, nullptr, nullptr), 0);
    EXPECT_EQ(cap.take(), "\nextracted 0xa data bytes");
  };
  auto mode_time = [](const char *name) {
    struct stat st {};
    EXPECT_EQ(stat(name, &st), 0);
    return std::pair<unsigned, time_t>(st.st_mode & 07777, st.st_mtime);
  };
  extract("NEW", 0x20);
  EXPECT_EQ(mode_time("NEW"), std::make_pair(cartsift::testing::seen_mode(0600), t));
  extract("RO", 0x21);
  EXPECT_EQ(mode_time("RO"), std::make_pair(cartsift::testing::seen_mode(0400), t));
  write_file("OLD", {1, 2, 3});
  ASSERT_EQ(chmod("OLD", 0644), 0);
  extract("OLD", 0x20);
  EXPECT_EQ(mode_time("OLD"), std::make_pair(cartsift::testing::seen_mode(0600), t));
  EXPECT_EQ(read_file("OLD").size(), 10u);
}
