// An image larger than 4 GiB, made sparse so that it costs no disk: a file
// of almost 4 GiB of holes, then a directory and a file that lie beyond
// 4 GiB, then the catalog. Every command must find its way past the 32-bit
// boundary, print those offsets as a 32-bit program would, and extract the
// far file intact.
#include <gtest/gtest.h>

#include "img_builder.h"
#include "support/capture.h"
#include "support/testutil.h"

namespace cartsift {
namespace {

namespace L = build::layout;
using testing::fmt;

const uint32_t T = build::utc(1997, 8, 29, 2, 14, 0);
const std::string FAR_TEXT = "written beyond four GiB\r\n";

struct sparse_image {
  temp_dir dir;
  std::string path = dir.file("big.113");
  uint64_t offs[4] = {}, eod = 0, cat = 0, cat_end = 0, size = 0;

  sparse_image() {
    std::vector<build::entry> es = {build::drive_spec("C:"),
                                    build::file_entry("HOLE.BIN", {}, "", T),
                                    build::dir_entry("FAR", {}, T),
                                    build::file_entry("FAR.TXT", "FAR", FAR_TEXT, T)};
    es[1].flen = 0xFFFFF000u;
    es[3].pflg |= L::PF_END;
    build::file_image fi(path);
    fi.start(0, build::hdr_text(7, 1), {});
    for (size_t i = 0; i < es.size(); i++)
      offs[i] = i == 1 ? fi.dir_entry(es[i], *es[i].flen, {}) : fi.dir_entry(es[i]);
    eod = fi.size();
    fi.pad_to(fi.next_block());
    cat = fi.size();
    for (const auto &e : es)
      fi.cat_entry(e);
    cat_end = fi.size();
    fi.cat_end();
    fi.finish(cat);
    size = fi.size();
    fi.close();
  }
};

void expect_has(const std::string &out, const std::string &part) {
  EXPECT_NE(out.find(part), std::string::npos) << "missing: " << part;
}

TEST(LargeImage, BeyondFourGiB) {
  sparse_image im;
  ASSERT_GT(im.offs[2], 1ULL << 32);
  ASSERT_GT(im.size, im.cat);

  // Volume summary: the catalog offset and the size as 32-bit values.
  auto r = run_main({im.path});
  EXPECT_EQ(r.status, 0);
  expect_has(r.out, fmt("dir blocks => catalog at offset 0x%lx", x32(int64_t(im.cat))));
  expect_has(r.out, fmt("\noffset to end of file = 0x%lx => %ld blocks", x32(int64_t(im.size)),
                        l32(int64_t(im.size) / L::BLOCK_SIZE)));
  EXPECT_EQ(r.out.find("Warning catalog after EOF"), std::string::npos);

  // Listing: the walk skips the holes and lists the far entries.
  r = run_main({im.path, "-dd-1"});
  EXPECT_EQ(r.status, 1);
  expect_has(r.out, fmt("\n  2: Directory entry at offset 0x%lx  length 0xfffff000  attrib 0x20",
                        x32(int64_t(im.offs[1]))));
  expect_has(r.out, fmt("\n  3: Directory entry at offset 0x%lx  length 0x0  attrib 0x10",
                        x32(int64_t(im.offs[2]))));
  expect_has(r.out, fmt("\n  4: Directory entry at offset 0x%lx  length 0x%lx  attrib 0x20",
                        x32(int64_t(im.offs[3])), (unsigned long)FAR_TEXT.size()));
  expect_has(r.out, "\nTerminate: saw PF_END flag in this record"
                    "\nparse_ucomp() at offset 0x15c00 returned 4");

  // Survey: one backup of four entries and its catalog past 4 GiB.
  r = run_main({im.path, "-di"});
  EXPECT_EQ(r.status, 1);
  expect_has(r.out, fmt("\nSaw PF_END flag in entry 4 at offset 0x%lx, a catalog should follow"
                        " at 0x%lx",
                        x32(int64_t(im.eod)), x32(int64_t(im.cat))) +
                        "\nBackup 1 saw 4 dir_head entries containing 1 subdir 2 files" +
                        fmt("\ncatalog starting at offset 0x%lx contains 4 records",
                            x32(int64_t(im.cat))));
  EXPECT_EQ(r.out.find("are not in this image"), std::string::npos);
  EXPECT_EQ(r.out.find("ret = "), std::string::npos);

  // Catalog listing at the computed offset.
  r = run_main({im.path, "-c"});
  EXPECT_EQ(r.status, 4);
  expect_has(r.out, fmt("\n  4: Directory entry at offset 0x%lx  length 0x%lx  attrib 0x20",
                        x32(int64_t(im.cat_end) - int64_t(build::cat_len(build::file_entry(
                                                      "FAR.TXT", "FAR", FAR_TEXT, T)))),
                        (unsigned long)FAR_TEXT.size()));
  expect_has(r.out, fmt("\nappears to be end of Catalog with an empty name string at 0x%lx\n",
                        x32(int64_t(im.cat_end))));

  // Extraction of the far file only; the holes are skipped, not copied.
  im.dir.enter();
  r = run_main({im.path, "-dd-1", "-x", "-pC:\\FAR"});
  EXPECT_EQ(r.status, 1);
  expect_has(r.out, "\nfile extracted successfully");
  expect_has(r.out, "\n1 files extracted");
  EXPECT_EQ(read_file(im.dir.file("FAR/FAR.TXT")), FAR_TEXT);
}

} // namespace
} // namespace cartsift
