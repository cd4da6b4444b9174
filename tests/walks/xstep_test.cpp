// The extraction step inside the walk: the -p filter, the -x limit and the
// walk's outcomes.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "img_builder.h"
#include "support/testutil.h"

namespace cartsift {
namespace {

namespace L = build::layout;
const uint32_t T = build::utc(1997, 7, 7, 7, 7, 7);

// C: and D:, with files in DOS\UTIL, DOS\UTILS, dos\util and the root of C:,
// and in DDIR and DOS\UTIL of D:.
std::string two_drive_image(const temp_dir &d) {
  build::image bi;
  bi.header(0, build::hdr_text(5, 1));
  bi.vtbl({});
  auto c_root = build::file_entry("ROOT.TXT", {}, "root", T);
  c_root.pflg = L::PF_LAST; // the next root-level entry starts drive D:
  auto cat = build::backup(
      bi, {build::drive_spec("C:", false), build::drive_spec("D:", true),
           build::file_entry("A.COM", "DOS\\UTIL", "a", T),
           build::file_entry("B.COM", "DOS\\UTILS", "bb", T),
           build::file_entry("C.COM", "dos\\util", "ccc", T), c_root,
           build::dir_entry("DDIR", {}, T), // root level after PF_LAST: now on D:
           build::file_entry("D.TXT", "DDIR", "on d", T),
           build::file_entry("E.COM", "DOS\\UTIL", "e", T)});
  build::finish(bi, cat);
  return write_image(d, bi, "x.113");
}

namespace fs = std::filesystem;

// There under exactly that name, letter case included, whether or not the
// file system tells DOS from dos.
bool exists(const std::string &p) {
  fs::path at = ".";
  for (const fs::path &c : fs::path(p)) {
    std::error_code ec;
    fs::directory_iterator it(at, ec), end;
    if (ec || std::none_of(it, end, [&](const auto &e) { return e.path().filename() == c; }))
      return false;
    at /= c;
  }
  return true;
}

TEST(ExtractStep, FilterWithDriveLetterMatchesEveryDrive) {
  temp_dir img, out;
  auto p = two_drive_image(img);
  out.enter();
  auto r = run_main({p, "-dd-1", "-x", "-pC:\\DOS\\UT"});
  EXPECT_EQ(r.status, 1);
  // Compared without the drive: DOS\UTIL and DOS\UTILS on both drives.
  EXPECT_TRUE(exists("DOS/UTIL/A.COM"));
  EXPECT_TRUE(exists("DOS/UTILS/B.COM"));
  EXPECT_TRUE(exists("DOS/UTIL/E.COM"));
  EXPECT_FALSE(exists("dos")); // letter case counts
  EXPECT_FALSE(exists("ROOT.TXT"));
  EXPECT_NE(r.out.find("\n3 files extracted\nparse_ucomp() at offset 0x15c00 returned 9"),
            std::string::npos);
}

TEST(ExtractStep, FilterWithoutDriveComparesTheDrivePath) {
  temp_dir img, out;
  auto p = two_drive_image(img);
  out.enter();
  auto r = run_main({p, "-dd-1", "-x", "-pD:"}); // "D:" with a drive letter: empty filter
  EXPECT_EQ(r.out.find("files extracted"), std::string::npos);
  r = run_main({p, "-dd-1", "-x", "-pD_"}); // no drive letter: compared with D:\...
  EXPECT_EQ(r.out.find("files extracted"), std::string::npos);
  r = run_main({p, "-dd-1", "-x", "-pD:\\"});
  EXPECT_EQ(r.out.find("files extracted"), std::string::npos);
  r = run_main({p, "-dd-1", "-x", "-pC:\\DOS"});
  EXPECT_NE(r.out.find("\n3 files extracted"), std::string::npos);
  r = run_main({p, "-dd-1", "-x", "-pD:\\DOS"}); // drive letter never compared
  EXPECT_NE(r.out.find("\n3 files extracted"), std::string::npos);
  r = run_main({p, "-dd-1", "-x", "-pC"});       // no ':' : compared with "C:\..." itself
  EXPECT_NE(r.out.find("\n4 files extracted"), std::string::npos) << r.out;
  EXPECT_TRUE(exists("C_/ROOT.TXT"));
  EXPECT_TRUE(exists("C_/DOS/UTIL/A.COM"));
  EXPECT_FALSE(exists("D_"));
}

TEST(ExtractStep, LimitClearsExtractModeAndCountsStay) {
  temp_dir img, out;
  auto p = two_drive_image(img);
  out.enter();
  auto r = run_main({p, "-dd-1", "-x2"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("\nlimiting file extraction to 2 files"), std::string::npos);
  EXPECT_NE(r.out.find("\nextracted 0x2 data bytes\nfile extracted successfully"
                       "\n2 files extracted, clearing XTRACT mode"),
            std::string::npos);
  EXPECT_NE(r.out.find("\n2 files extracted\nparse_ucomp() at offset 0x15c00 returned 9"),
            std::string::npos);
  EXPECT_TRUE(exists("C_/DOS/UTIL/A.COM"));
  EXPECT_TRUE(exists("C_/DOS/UTILS/B.COM"));
  EXPECT_FALSE(exists("C_/dos"));
  EXPECT_FALSE(exists("D_"));

  // Everything: drive D: files land under D_.
  r = run_main({p, "-dd-1", "-x"});
  EXPECT_NE(r.out.find("\n6 files extracted\nparse_ucomp"), std::string::npos);
  EXPECT_EQ(read_file("D_/DDIR/D.TXT"), "on d");
  EXPECT_EQ(read_file("D_/DOS/UTIL/E.COM"), "e");
  EXPECT_EQ(read_file("C_/dos/util/C.COM"), "ccc");
}

TEST(ExtractStep, FailedExtractionEndsTheWalk) {
  temp_dir img, out;
  auto p = two_drive_image(img);
  out.enter();
  // A regular file where the drive directory should be.
  FILE *f = fopen("C_", "w");
  fclose(f);
  auto r = run_main({p, "-dd-1", "-x"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("\nfailed to create path C_\\DOS\\UTIL"
                       "\nfatal error in do_extract(), abort following offset 0x"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find(" returned -3\ndebug routine"), std::string::npos);
}

} // namespace
} // namespace cartsift
