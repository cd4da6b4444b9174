// The survey of a whole image and the catalog listing, on images whose
// entry and catalog offsets the builder reports.
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

const uint32_t T = build::utc(1995, 12, 24, 18, 0, 0);

std::vector<build::entry> first_backup() {
  return {build::drive_spec("C:"), build::dir_entry("DOCS", {}, T),
          build::file_entry("A.TXT", "DOCS", "aaaaaaaaaa", T),
          build::file_entry("B.TXT", {}, "b", T, 0x21)};
}

// Two backups, each followed by its catalog; the second's catalog holds one
// record more than its data region.
struct two_backups {
  build::image bi;
  size_t cat1 = 0, cat1_end = 0, b2 = 0, eod1 = 0, eod2 = 0, cat2 = 0;
  std::vector<size_t> offs1, offs2;
  two_backups() {
    bi.header(0, build::hdr_text(3, 1));
    bi.vtbl({});
    cat1 = build::backup(bi, first_backup(), &offs1);
    eod1 = offs1.back() + build::header_len(first_backup().back()) + 1 + 18;
    cat1_end = bi.size();
    bi.pad_to(bi.next_block() + 0x100, 0);
    b2 = bi.size();
    std::vector<build::entry> second = {build::drive_spec("C:"),
                                        build::file_entry("C.TXT", {}, "cc", T)};
    second.back().pflg |= L::PF_END;
    for (auto &e : second)
      offs2.push_back(bi.dir_entry(e));
    eod2 = bi.size();
    bi.pad_to(bi.next_block());
    cat2 = bi.size();
    for (auto &e : second)
      bi.cat_entry(e);
    bi.cat_entry(build::file_entry("GONE.TXT", {}, "gone", T)); // not in the data region
    bi.cat_end();
    build::finish(bi, cat2);
  }
};

std::string survey(const std::vector<uint8_t> &b, uint16_t mode, int *code = nullptr) {
  capture cap;
  scratch_image img(b);
  int r = parse_image(img.fd(), mode, nullptr, nullptr);
  if (code)
    *code = r;
  return cap.take();
}

TEST(Survey, TwoBackupsWithTheirCatalogs) {
  two_backups t;
  int code = -99;
  auto out = survey(t.bi.b, 0, &code);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(out, fmt("\neof for this image at 0x%lx", (unsigned long)t.bi.size()) +
                     "\n\nImage data:"
                     "\n\nBackup 1 data starts at offset 0x15c00"
                     "\nPF_NEW flag seen in 1st record, probably the start of a new Backup" +
                     fmt("\nSaw PF_END flag in entry 4 at offset 0x%lx, a catalog should follow"
                         " at 0x%lx",
                         (unsigned long)t.eod1, (unsigned long)t.cat1) +
                     "\nBackup 1 saw 4 dir_head entries containing 1 subdir 2 files" +
                     fmt("\ncatalog starting at offset 0x%lx contains 4 records",
                         (unsigned long)t.cat1) +
                     fmt("\n\nBackup 2 data starts at offset 0x%lx", (unsigned long)t.b2) +
                     "\nPF_NEW flag seen in 1st record, probably the start of a new Backup" +
                     fmt("\nSaw PF_END flag in entry 2 at offset 0x%lx, a catalog should follow"
                         " at 0x%lx",
                         (unsigned long)t.eod2, (unsigned long)t.cat2) +
                     "\nBackup 2 saw 2 dir_head entries containing 0 subdir 1 files" +
                     fmt("\ncatalog starting at offset 0x%lx contains 3 records",
                         (unsigned long)t.cat2) +
                     "\n - Warning 1 are not in this image");

  // Verbose: the step over the first catalog is reported, with count 0.
  out = survey(t.bi.b, MODE_VERBOSE);
  EXPECT_NE(out.find(fmt("\n  0: found DIR_SIG 0x%lx bytes after expected!, skip ahead at "
                         "offset 0x%lx",
                         (unsigned long)(t.b2 - t.cat1_end), (unsigned long)t.cat1_end)),
            std::string::npos)
      << out;
}

TEST(Survey, StartOffsetsEndsAndContinuedData) {
  // Data region not starting with an entry.
  build::image bi;
  bi.header(0, build::hdr_text(1, 1));
  bi.vtbl({});
  bi.raw(std::string_view("0123456789"));
  std::vector<size_t> offs;
  auto entries = first_backup();
  entries.back().flen = 0x7FFFFFF0; // runs far past the end
  for (auto &e : entries)
    offs.push_back(bi.dir_entry(e));
  bi.raw(std::string_view("tail bytes that are not zero"));
  int code = 0;
  auto out = survey(bi.b, 0, &code);
  EXPECT_EQ(code, 0);
  EXPECT_NE(out.find("\nWarning image data at 0x15c00 does not start with a DIR_SIG, skip ahead "
                     "to 0x15c0a\n\nBackup 1 data starts at offset 0x15c0a"),
            std::string::npos);
  EXPECT_TRUE(out.ends_with("\nReached EOF, some file data for entry 4 is continued on next disk "
                            "image\nBackup 1 saw 4 dir_head entries containing 1 subdir 2 files"
                            "\nret = 0  during Backup 1"))
      << out;

  build::image none;
  none.header(0, build::hdr_text(1, 1));
  none.vtbl({});
  none.pad_to(0x20000, 0x11);
  out = survey(none.b, 0, &code);
  EXPECT_EQ(code, -2);
  EXPECT_TRUE(out.ends_with("\n\nImage data:\nAbort, no DIR_SEG found in file!"));

  // A damaged entry: the reader's message, then the survey's two lines.
  two_backups t;
  auto a = first_backup()[2];
  t.bi.b[t.offs1[2] + build::header_len(a) - 6] = 0x00; // FILE_SIG of the closing block
  out = survey(t.bi.b, 0, &code);
  EXPECT_EQ(code, -3);
  EXPECT_TRUE(out.ends_with(fmt("\nfailed to find FILE signature 0x66996699 at end of header"
                                "\nfatal read error in get_dheader() at 0x%lx"
                                "\nret = -3  during Backup 1",
                                (unsigned long)t.offs1[2])))
      << out;
}

TEST(Survey, VolumeTableWarningsAndRefusal) {
  two_backups t;
  scratch_image img(t.bi.b);
  qic_vtbl vt{};
  vt.flag = 0x02;
  vt.seq = 2;
  {
    capture cap;
    (void)parse_image(img.fd(), 0, nullptr, &vt);
    EXPECT_NE(cap.take().find("\n\nImage data:\nWarning this image is seq 2 in a multi disk "
                              "backup set\n\nBackup 1"),
              std::string::npos);
  }
  vt.comp = 1;
  capture cap;
  EXPECT_EQ(parse_image(img.fd(), 0, nullptr, &vt), -1);
  EXPECT_EQ(cap.take(), "\nthis is a compressed file, can not be analysed with parse_image");
}

struct cat_result {
  int code;
  std::string out;
  std::unique_ptr<cat_list> list;
};

cat_result catalog(const std::vector<uint8_t> &b, uint16_t mode, int64_t off, int64_t doff) {
  capture cap;
  scratch_image img(b);
  cat_result r;
  r.code = parse_cat(img.fd(), mode, &r.list, off, doff);
  r.out = cap.take();
  return r;
}

TEST(Catalog, ListingAndMappingToTheDataRegion) {
  two_backups t;
  auto entries = first_backup();
  entries.back().pflg |= L::PF_END;
  std::string want = "\nCatalog listing:";
  size_t off = t.cat1;
  for (size_t i = 0; i < entries.size(); i++) {
    const auto &e = entries[i];
    want += fmt("\n%3d: Directory entry at offset 0x%lx  length 0x%lx  attrib 0x%x", int(i + 1),
                (unsigned long)off, (unsigned long)e.data.size(), e.attrib);
    want += "\n      " + e.name + std::string(50 - e.name.size(), ' ') + ctime32(e.t1).s;
    off += build::cat_len(e);
  }
  want += fmt("\nappears to be end of Catalog with an empty name string at 0x%lx\n",
              (unsigned long)off);
  auto r = catalog(t.bi.b, 0, int64_t(t.cat1), -1);
  EXPECT_EQ(r.code, 4);
  EXPECT_EQ(r.out, want);
  EXPECT_EQ(r.list, nullptr);

  // With the data offset every entry points at its directory entry and data.
  r = catalog(t.bi.b, MODE_TESTS, int64_t(t.cat1), L::DATA_START);
  EXPECT_EQ(r.code, 4);
  for (size_t i = 0; i < entries.size(); i++) {
    EXPECT_NE(r.out.find(fmt("    data region at 0x%lx   file data at 0x%lx\n",
                             (unsigned long)t.offs1[i],
                             (unsigned long)(t.offs1[i] + build::header_len(entries[i])))),
              std::string::npos)
        << i;
  }
  int n = 0;
  for (const cat_list *p = r.list.get(); p; p = p->next.get()) {
    EXPECT_EQ(p->cnt, ++n);
  }
  EXPECT_EQ(n, 4);
}

TEST(Catalog, DisplacedTagLongNamesAndFailures) {
  build::image bi;
  bi.header(0, build::hdr_text(1, 1));
  bi.vtbl({});
  std::vector<size_t> offs;
  auto a = build::file_entry(std::string(60, 'N'), {}, "x", T); // no padding after it
  auto b = build::file_entry("B", "D", "yy", T);
  b.cat_tag_pad = 5;
  offs.push_back(bi.dir_entry(a));
  offs.push_back(bi.dir_entry(b));
  bi.pad_to(bi.next_block());
  size_t cat = bi.size();
  bi.cat_entry(a);
  size_t bcat = bi.cat_entry(b);
  size_t end = bi.size();
  bi.cat_end();
  auto r = catalog(bi.b, 0, int64_t(cat), L::DATA_START);
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.out.find("\n      " + std::string(60, 'N') + ctime32(T).s), std::string::npos);
  EXPECT_NE(r.out.find(fmt("Warning had to skip 5 bytes to find 'OIMG' in unknw3[] @0x%lx\n",
                           (unsigned long)(bcat + 69 + 4 + 21 + 2))),
            std::string::npos);
  // The longer entry advances both offsets by its real length.
  EXPECT_NE(r.out.find(fmt("    data region at 0x%lx   file data at 0x%lx\n",
                           (unsigned long)offs[1],
                           (unsigned long)(offs[1] + build::header_len(b) + 5))),
            std::string::npos);
  EXPECT_TRUE(r.out.ends_with(
      fmt("\nappears to be end of Catalog with an empty name string at 0x%lx\n", (unsigned long)end)));

  // An end marker missing before the end of the image.
  std::vector<uint8_t> cut(bi.b.begin(), bi.b.begin() + long(end + 10));
  r = catalog(cut, 0, int64_t(cat), -1);
  EXPECT_EQ(r.code, -1);
  EXPECT_TRUE(r.out.ends_with("\nread error"));

  r = catalog(bi.b, 0, -1, -1);
  EXPECT_EQ(r.code, -1);
  EXPECT_EQ(r.out, "\nfailed to seek to 0xffffffff for start of catalog");
  r = catalog(bi.b, 0, int64_t(cat), -5 + 0 * 1);
  EXPECT_EQ(r.code, 2); // a negative data offset means none
}

} // namespace
} // namespace cartsift
