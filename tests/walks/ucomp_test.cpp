// The data-region walk: listing at three levels of detail, drive specs,
// gaps, trailers, end conditions and the saved list.
#include <gtest/gtest.h>

#include "img_builder.h"
#include "support/capture.h"
#include "walks/walks.h"

namespace cartsift {
namespace {

using testing::capture;
using testing::scratch_image;
namespace L = build::layout;

using testing::fmt;

const uint32_t T = build::utc(1996, 5, 4, 3, 2, 1); // Sat May  4 03:02:01 1996

// An image with DATA_START at the first entry; entries written one by one
// so a test can place gaps and faults between them.
struct walk_image {
  build::image bi;
  std::vector<size_t> offs;
  walk_image() {
    bi.header(100, build::hdr_text(1, 1));
    bi.vtbl({});
  }
  size_t add(const build::entry &e) {
    offs.push_back(bi.dir_entry(e));
    return offs.back();
  }
};

struct walk_result {
  int code;
  std::string out;
  std::unique_ptr<dir_list> list;
};

walk_result walk(const std::vector<uint8_t> &b, uint16_t mode, int64_t soff = L::DATA_START) {
  capture cap;
  scratch_image img(b);
  walk_result r;
  r.code = parse_ucomp(img.fd(), mode, soff, -1, &r.list, nullptr, 0, 0);
  r.out = cap.take();
  return r;
}

std::string plain_entry(int n, size_t off, uint32_t flen, uint8_t attrib, uint32_t t,
                        const char *name) {
  return fmt("\n%3d: Directory entry at offset 0x%lx  length 0x%lx  attrib 0x%x", n,
             (unsigned long)off, (unsigned long)flen, attrib) +
         fmt("\n     ctime() of value 0x%lx: %s", (unsigned long)t, ctime32(t).s) + "     " +
         name;
}

TEST(Walk, PlainListingWithDriveAndPath) {
  walk_image w;
  w.add(build::drive_spec("C:"));
  w.add(build::dir_entry("DOCS", {}, T));
  auto f = build::file_entry("README.TXT", "DOCS", "hello\r\n", T);
  f.pflg = L::PF_END;
  w.add(f);
  auto r = walk(w.bi.b, 0);
  EXPECT_EQ(r.code, 3);
  EXPECT_EQ(r.out, "\nBackup File listing:" + plain_entry(1, w.offs[0], 0, 0x08, 0, "C:") +
                       "\n\nlast drive spec for a total of 1 drives, starting on drive C:\n"
                       "\n" +
                       plain_entry(2, w.offs[1], 0, 0x10, T, "DOCS") + "\n" +
                       plain_entry(3, w.offs[2], 7, 0x20, T, "README.TXT") +
                       "\n     C:\\DOCS"
                       "\nTerminate: saw PF_END flag in this record");
  EXPECT_EQ(r.list, nullptr); // nothing saved without test mode
}

TEST(Walk, VerboseAndVeryVerbose) {
  walk_image w;
  auto f = build::file_entry("A.TXT", {"SUB", "DIR"}, "x", T);
  f.name2 = "A2";
  f.name3 = "A3";
  f.t2 = 0x11111111;
  f.t3 = 0x22222222;
  f.t4 = 0x33333333;
  f.pflg = L::PF_END;
  w.add(f);
  auto r = walk(w.bi.b, MODE_VERBOSE);
  EXPECT_EQ(r.out, "\nBackup File listing:" +
                       fmt("\n  1: Directory entry at offset 0x%lx  length 0x1  attrib 0x20",
                           (unsigned long)w.offs[0]) +
                       "\n     path len 0x12 path flag  0x20" +
                       fmt("\n  1: ctime() of value 0x%lx: %s", (unsigned long)T, ctime32(T).s) +
                       "  2: ctime() of value 0x11111111: " + ctime32(0x11111111).s +
                       "  3: ctime() of value 0x22222222: " + ctime32(0x22222222).s +
                       "  4: ctime() of value 0x33333333: " + ctime32(0x33333333).s +
                       "     A.TXT\n     A2\n     A3"
                       "\n     SUB/DIR"
                       "\nTerminate: saw PF_END flag in this record");

  // -vv alone adds the raw field lines and keeps the plain time line.
  r = walk(w.bi.b, MODE_VVERBOSE);
  auto u1 = build::DEFAULT_UNKNW1;
  EXPECT_EQ(r.out, "\nBackup File listing:" +
                       fmt("\n  1: Directory entry at offset 0x%lx  length 0x1  attrib 0x20",
                           (unsigned long)w.offs[0]) +
                       fmt("\nunknw1[0] 0x%x unknw1[2-3] 0x%04x unknw1[4] 0x%x unknw1[55-56] "
                           "0x%04x",
                           u1[0], u1[2] | u1[3] << 8, u1[4], 0x1111) +
                       "\nunknw1[63-64] 0x2222  unknw1[67-68] 0x0000" +
                       fmt("\n     ctime() of value 0x%lx: %s", (unsigned long)T, ctime32(T).s) +
                       "     A.TXT" + "\nunknw2[12-13] 0x3300  unknw2[19-20] 0x0001" +
                       "\nunknw3[16] 0x2  unknw3[20-21] 0x0000"
                       "\n     SUB/DIR"
                       "\nTerminate: saw PF_END flag in this record");
}

TEST(Walk, DriveChangesAtRootLevel) {
  walk_image w;
  w.add(build::drive_spec("C:", false));
  w.add(build::drive_spec("D:", true));
  auto c_last = build::dir_entry("CDIR", {}, T);
  c_last.pflg = L::PF_LAST; // the next root-level entry is on the next drive
  w.add(c_last);
  w.add(build::file_entry("IN.TXT", "CDIR", "c", T)); // listed under C:
  auto d_root = build::dir_entry("DDIR", {}, T);
  d_root.pflg = L::PF_LAST;
  w.add(d_root);
  w.add(build::file_entry("IN.TXT", "DDIR", "d", T)); // under D:
  auto again = build::dir_entry("MORE", {}, T);
  again.pflg = L::PF_END;
  w.add(again);
  auto r = walk(w.bi.b, 0);
  EXPECT_EQ(r.code, 7);
  EXPECT_NE(r.out.find("starting on drive C:\n"), std::string::npos);
  EXPECT_NE(r.out.find("     IN.TXT\n     C:\\CDIR"), std::string::npos);
  EXPECT_NE(r.out.find("     DDIR\nincrement drive to D:\n"), std::string::npos);
  EXPECT_NE(r.out.find("     IN.TXT\n     D:\\DDIR"), std::string::npos);
  EXPECT_NE(r.out.find("     MORE\ndrive logic error lrflg == PF_LAST, but on last drive"),
            std::string::npos);
}

TEST(Walk, SevenDriveSpecsOverwriteTheLastSlot) {
  walk_image w;
  for (char d = 'C'; d <= 'I'; d++)
    w.add(build::drive_spec(std::string(1, d) + ":", d == 'I'));
  auto f = build::file_entry("F", "P", "z", T);
  f.pflg = L::PF_END;
  w.add(f);
  auto r = walk(w.bi.b, 0);
  EXPECT_EQ(r.code, 8);
  EXPECT_NE(r.out.find("     I:\nWarning need larger MAX_DRV, over writing drv[5]"
                       "\n\nlast drive spec for a total of 6 drives, starting on drive C:\n"),
            std::string::npos);
}

TEST(Walk, GapsAreSkippedSilentlyOrReported) {
  walk_image w;
  w.add(build::file_entry("ONE", {}, "1", T));
  w.bi.raw(std::string_view("junkjunk")); // 8 bytes of other data
  auto e = build::file_entry("TWO", {}, "2", T);
  e.pflg = L::PF_END;
  size_t two = w.add(e);
  auto quiet = walk(w.bi.b, 0);
  EXPECT_EQ(quiet.code, 2);
  EXPECT_EQ(quiet.out.find("found DIR_SIG"), std::string::npos);
  EXPECT_NE(quiet.out.find(fmt("  2: Directory entry at offset 0x%lx", (unsigned long)two)),
            std::string::npos);
  auto loud = walk(w.bi.b, MODE_VERBOSE);
  EXPECT_NE(loud.out.find(fmt("\nfound DIR_SIG 0x8 bytes after expected!, skip ahead at offset "
                              "0x%lx",
                              (unsigned long)(two - 8))),
            std::string::npos);
}

TEST(Walk, EndsAtTheEndMarker) {
  walk_image w;
  w.add(build::file_entry("ONE", {}, "1", T));
  size_t end = w.bi.size();
  w.bi.end_of_entries();
  auto r = walk(w.bi.b, MODE_TESTS);
  EXPECT_EQ(r.code, 1);
  EXPECT_TRUE(r.out.ends_with(
      fmt("\n\nappears to be EOF for uncompressed archive data at 0x%lx\n", (unsigned long)end)))
      << r.out;
  ASSERT_NE(r.list, nullptr);
  EXPECT_EQ(r.list->cnt, 1);
  EXPECT_EQ(r.list->off, int64_t(w.offs[0]));
  EXPECT_EQ(r.list->next, nullptr);

  // An end marker right at the start: the listing title and the EOF line.
  walk_image empty;
  empty.bi.end_of_entries();
  r = walk(empty.bi.b, 0);
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "\nBackup File listing:\nappears to be EOF for uncompressed archive data at "
                   "0x15c00\n");
}

TEST(Walk, TestModeSavesAllButThePfEndEntry) {
  walk_image w;
  w.add(build::drive_spec("C:"));
  w.add(build::file_entry("A", {}, "a", T));
  auto e = build::file_entry("B", {}, "b", T);
  e.pflg = L::PF_END;
  w.add(e);
  auto r = walk(w.bi.b, MODE_TESTS);
  EXPECT_EQ(r.code, 3);
  int n = 0;
  for (const dir_list *p = r.list.get(); p; p = p->next.get()) {
    n++;
    EXPECT_EQ(p->cnt, n);
    EXPECT_EQ(p->off, int64_t(w.offs[size_t(n - 1)]));
    EXPECT_NE(p->dhead.nm1, nullptr);
  }
  EXPECT_EQ(n, 2);
}

TEST(Walk, BadTrailerAndMissingEntry) {
  walk_image w;
  auto e = build::file_entry("ONE", {}, "1", T);
  e.trailer_sig = {0, 0, 0, 0};
  w.add(e);
  auto r = walk(w.bi.b, 0);
  EXPECT_EQ(r.code, -4);
  size_t end = w.bi.size();
  EXPECT_TRUE(r.out.ends_with(
      fmt("\nfailed to read valid trailer, bytes read below end at offset 0x%lx:\n",
          (unsigned long)end) +
      "0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 "
      "0x00 \n"))
      << r.out;

  // Data running past the end while only listing: no trailer bytes at all.
  walk_image p;
  auto big = build::file_entry("BIG", {}, "abc", T);
  big.flen = 100000;
  p.add(big);
  r = walk(p.bi.b, 0);
  EXPECT_EQ(r.code, -4);
  EXPECT_TRUE(r.out.ends_with(":\n\n")) << r.out;

  // Non-zero bytes and no later entry: an invalid header after the trailer.
  walk_image q;
  q.add(build::file_entry("ONE", {}, "1", T));
  size_t after = q.bi.size();
  q.bi.raw(std::string_view("this is not an entry at all, and it never ends well......"
                            ".........................."));
  r = walk(q.bi.b, 0);
  EXPECT_EQ(r.code, -1);
  EXPECT_TRUE(r.out.ends_with(fmt("\ninvalid header\nread error in get_dheader() following "
                                  "offset 0x%lx",
                                  (unsigned long)after)))
      << r.out;
}

TEST(Walk, StartOffsetThatCannotBeReached) {
  walk_image w;
  auto r = walk(w.bi.b, 0, -1);
  EXPECT_EQ(r.code, -1);
  EXPECT_EQ(r.out, "\nfailed to seek to 0xffffffff for start of data");
}

} // namespace
} // namespace cartsift
