// Hostile images: extreme depths, lengths and counts, data and catalogs far
// past the end, junk between entries, names that climb out, and files that
// are no image at all. Every main command ends cleanly on each, and nothing
// outside the working directory changes.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "hardening/sweep.h"

namespace cartsift::hardening {
namespace {

namespace L = build::layout;
namespace fs = std::filesystem;
using build::entry;

const uint32_t T = build::utc(1996, 7, 14, 9, 30);
const char DEBUG_END[] = "\ndebug routine called and terminated execution\n\n";

bool has(const std::string &out, const std::string &s) { return out.find(s) != std::string::npos; }
size_t count(const std::string &out, const std::string &s) {
  size_t n = 0;
  for (size_t p = 0; (p = out.find(s, p)) != std::string::npos; p += s.size())
    n++;
  return n;
}

// One backup of the given entries, header and volume table pointing at its
// catalog.
build::image one_backup(std::vector<entry> es) {
  build::image img;
  img.header(0, build::hdr_text(5, 1));
  img.vtbl({});
  size_t cat = build::backup(img, std::move(es));
  build::finish(img, cat);
  return img;
}

// Every main command, answering 'q' wherever input is asked for.
struct all_runs {
  run_result summary, listing, survey, catalog, tests3, saved, extract, dispatch_x, raw,
      mapped;
};
all_runs run_all(guarded_runs &g, const std::function<void(const std::string &)> &inspect = {}) {
  all_runs a;
  a.summary = g.run({});
  a.listing = g.run({"-dd-1", "-v", "-vv"});
  a.survey = g.run({"-di", "-v"});
  a.catalog = g.run({"-c", "-t2"});
  a.tests3 = g.run({"-c", "-t3"});
  a.saved = g.run({"-dd-1", "-t1"});
  a.extract = g.run({"-dd-1", "-x"}, "q\n", inspect);
  a.dispatch_x = g.run({"-x", "-f"}, "q\n");
  a.raw = g.run({"-dd0"});
  a.mapped = g.run({"-c" + hex(L::DATA_START) + ":" + hex(L::DATA_START), "-t3"});
  // Past a readable summary the debug commands always reach their end.
  const std::string end = DEBUG_END;
  if (a.summary.status == 0) {
    for (const run_result *r : {&a.listing, &a.survey, &a.saved, &a.extract})
      EXPECT_TRUE(r->out.size() >= end.size() &&
                  r->out.compare(r->out.size() - end.size(), end.size(), end) == 0)
          << r->out.substr(r->out.size() > 400 ? r->out.size() - 400 : 0);
  }
  return a;
}

using testing::files_below;

TEST(Hostile, DeepPathsAndPathsOfManyThousandComponents) {
  std::vector<std::string> deep(400, "D"), deeper(600, "D");
  entry many = build::file_entry("MANY.TXT", {}, "many\r\n", T);
  many.raw_path.emplace();
  for (int i = 0; i < 16000; i++) { // "A", zero character, "A", ... 63998 bytes
    if (i > 0)
      many.raw_path->insert(many.raw_path->end(), {0, 0});
    many.raw_path->insert(many.raw_path->end(), {'A', 0});
  }
  guarded_runs g(one_backup({build::drive_spec("C:"),
                             build::file_entry("DEEP.TXT", build::dir_path(deep), "deep\r\n", T),
                             build::file_entry("DEEPER.TXT", build::dir_path(deeper), "x\r\n", T),
                             many}));
  std::vector<std::string> got;
  all_runs a = run_all(g, [&](const std::string &w) { got = files_below(w); });
  EXPECT_TRUE(has(a.listing.out, "parse_ucomp() at offset 0x15c00 returned 4")) << a.listing.out;
  // 400 levels fit the output path; 600 and 16000 do not and are refused.
  std::string want = "C_";
  for (int i = 0; i < 400; i++)
    want += "/D";
  EXPECT_EQ(got, std::vector<std::string>{want + "/DEEP.TXT"});
  EXPECT_EQ(count(a.extract.out, "\nnot extracted, path and name too long: "), 2u);
  EXPECT_EQ(a.catalog.status, 4);
}

TEST(Hostile, NamesOfLengthZeroAnd64KiB) {
  const std::string big(32767, 'N'); // 65534 bytes, the largest even length word
  entry empty = build::file_entry("", "DIR", "nameless\r\n", T);
  entry huge = build::file_entry(big, "DIR", "huge\r\n", T);
  entry huge23 = build::file_entry("OK.TXT", "DIR", "ok\r\n", T);
  huge23.name2 = big;
  huge23.name3 = big;
  guarded_runs g(one_backup({build::drive_spec("C:"), empty, huge, huge23}));
  std::vector<std::string> got;
  all_runs a = run_all(g, [&](const std::string &w) { got = files_below(w); });
  EXPECT_TRUE(has(a.listing.out, "\n     " + big)) << "the long name is listed whole";
  EXPECT_TRUE(has(a.extract.out, "\nnot extracted, unsafe path or name: C:\\DIR\\"));
  EXPECT_TRUE(has(a.extract.out, "\nnot extracted, path and name too long: C:\\DIR\\NNN"));
  EXPECT_EQ(got, std::vector<std::string>{"C_/DIR/OK.TXT"});
  // In the catalog an empty first name is the end marker.
  EXPECT_EQ(a.catalog.status, 1);
  EXPECT_EQ(a.saved.status, 1);
}

TEST(Hostile, AThousandDriveSpecs) {
  std::vector<entry> es;
  for (int i = 0; i < 1000; i++)
    es.push_back(build::drive_spec(std::string(1, char('A' + i % 26)) + ":", i == 999));
  for (int i = 0; i < 10; i++) { // root-level entries after PF_LAST step the drive
    entry f = build::file_entry("F" + std::to_string(i) + ".TXT", {}, "f\r\n", T);
    f.pflg = L::PF_LAST;
    es.push_back(f);
  }
  guarded_runs g(one_backup(es));
  std::vector<std::string> got;
  all_runs a = run_all(g, [&](const std::string &w) { got = files_below(w); });
  EXPECT_EQ(count(a.listing.out, "\nWarning need larger MAX_DRV, over writing drv[5]"), 994u);
  EXPECT_TRUE(has(a.listing.out, "\n\nlast drive spec for a total of 6 drives, starting on drive A:\n"));
  EXPECT_EQ(count(a.listing.out, "\nincrement drive to "), 5u);
  EXPECT_EQ(count(a.listing.out, "\ndrive logic error lrflg == PF_LAST, but on last drive"), 4u);
  EXPECT_EQ(got.size(), 10u);
  EXPECT_EQ(a.catalog.status, 1010);
}

// Length words at or near their limits where the image has no such bytes.
TEST(Hostile, LengthsNearTheirLimits) {
  struct hostile_case {
    const char *what;
    std::function<void(build::image &, size_t)> spoil; // gets the middle entry's offset
  };
  const std::vector<hostile_case> cases = {
      {"flen 0xffffffff", [](build::image &i, size_t e) { i.put_u32(e + 4 + L::U1_FLEN, 0xFFFFFFFF); }},
      {"flen 0xfffffff0", [](build::image &i, size_t e) { i.put_u32(e + 4 + L::U1_FLEN, 0xFFFFFFF0); }},
      {"flen 0x80000000", [](build::image &i, size_t e) { i.put_u32(e + 4 + L::U1_FLEN, 0x80000000); }},
      {"flen 0x7fffffff", [](build::image &i, size_t e) { i.put_u32(e + 4 + L::U1_FLEN, 0x7FFFFFFF); }},
      {"nm1 length 0xffff", [](build::image &i, size_t e) { i.put_u16(e + 73, 0xFFFF); }},
      {"nm1 length 0xfffe", [](build::image &i, size_t e) { i.put_u16(e + 73, 0xFFFE); }},
      {"plen 0xffff", [](build::image &i, size_t e) { i.put_u16(e + 4 + L::U1_PLEN, 0xFFFF); }},
      {"plen 3", [](build::image &i, size_t e) { i.put_u16(e + 4 + L::U1_PLEN, 3); }},
  };
  for (const hostile_case &c : cases) {
    SCOPED_TRACE(c.what);
    build::image img;
    img.header(0, build::hdr_text(5, 1));
    img.vtbl({});
    std::vector<size_t> offs;
    size_t cat = build::backup(img,
                               {build::drive_spec("C:"), build::file_entry("MID.TXT", "D", "mid\r\n", T),
                                build::file_entry("LAST.TXT", "D", "last\r\n", T)},
                               &offs);
    build::finish(img, cat);
    c.spoil(img, offs[1]);
    guarded_runs g(img);
    all_runs a = run_all(g);
    EXPECT_TRUE(has(a.listing.out, " returned -")) << a.listing.out;
  }
}

TEST(Hostile, DataRunningFarPastTheEnd) {
  build::image img;
  img.header(0, build::hdr_text(5, 1));
  img.vtbl({});
  entry e = build::file_entry("BIG.DAT", "D", "only this much", T);
  e.flen = 0x7FFFFFF0;
  e.trailer = false;
  e.pflg = L::PF_END;
  img.dir_entry(build::drive_spec("C:"));
  img.dir_entry(e);
  img.pad_to(img.next_block());
  build::finish(img, img.size()); // the catalog would start at the end
  guarded_runs g(img);
  std::vector<std::string> got;
  all_runs a = run_all(g, [&](const std::string &w) { got = files_below(w); });
  EXPECT_TRUE(has(a.listing.out, "\nTerminate: saw PF_END flag in this record"));
  // The copy stops at the computed end of the data region and asks for the
  // next image; 'q' abandons the file.
  EXPECT_TRUE(has(a.extract.out, "\n\ncurrent file data in next image, enter 'q' to abort"));
  EXPECT_TRUE(has(a.extract.out, "\nfatal error in do_extract(), abort"));
  EXPECT_TRUE(has(a.survey.out, "\nReached EOF, some file data for entry 2 is continued on next disk image"));
}

TEST(Hostile, CatalogOffsetFarPastTheEnd) {
  build::image img = one_backup({build::drive_spec("C:"), build::file_entry("A.TXT", {}, "a\r\n", T)});
  img.put_u32(L::HDR_NBLK, 0xFFFFFFFF); // the computed catalog offset is then ~2^45
  guarded_runs g(img);
  all_runs a = run_all(g);
  EXPECT_TRUE(has(a.summary.out, " - Warning catalog after EOF"));
  EXPECT_EQ(a.catalog.status, -1);
  EXPECT_TRUE(has(a.catalog.out, "\nCatalog listing:\nread error"));
  for (const char *off : {"-cffffff00", "-c7fffffff:7ffffff0", "-cffffffffffffffff"}) {
    run_result r = g.run({off, "-t2"});
    EXPECT_LT(r.status, 0) << off;
    EXPECT_TRUE(has(r.out, "\n   however catalog offset set manually via -c# to 0x")) << off;
  }
  run_result x = g.run({"-dd-1", "-x"}, "q\n");
  EXPECT_TRUE(has(x.out, "\nfile extracted successfully")) << x.out;
}

TEST(Hostile, JunkBetweenEveryTwoEntries) {
  // Pieces of both signatures, so the search must not take half of one.
  const std::vector<uint8_t> junk = {0xCC, 0x33, 0xCC, 0x99, 0x66, 0x99, 0x66, 0x00,
                                     0x33, 0xCC, 0x33, 0x00, 0x00, 0x00, 0x00, 0xCC};
  build::image img;
  img.header(0, build::hdr_text(5, 1));
  img.vtbl({});
  std::vector<entry> es = {build::drive_spec("C:"), build::dir_entry("D", {}, T)};
  for (int i = 0; i < 20; i++)
    es.push_back(build::file_entry("F" + std::to_string(i), "D", std::string(size_t(i) * 7, 'x'), T));
  es.back().pflg |= L::PF_END;
  for (const entry &e : es) {
    img.dir_entry(e);
    img.raw(junk);
  }
  img.pad_to(img.next_block());
  size_t cat = img.size();
  for (const entry &e : es)
    img.cat_entry(e);
  img.cat_end();
  build::finish(img, cat);
  guarded_runs g(img);
  std::vector<std::string> got;
  all_runs a = run_all(g, [&](const std::string &w) { got = files_below(w); });
  EXPECT_TRUE(has(a.listing.out, "parse_ucomp() at offset 0x15c00 returned 22"));
  EXPECT_EQ(count(a.listing.out, "\nfound DIR_SIG 0x10 bytes after expected!"), 21u);
  EXPECT_EQ(got.size(), 19u); // F0 has no data
  EXPECT_TRUE(has(a.survey.out, "\nBackup 1 saw 22 dir_head entries containing 1 subdir 20 files"));
  EXPECT_EQ(a.catalog.status, 22);
}

// Drive specs, paths and names that would lead out of the working
// directory if taken as they are.
TEST(Hostile, NamesThatClimbOut) {
  auto raw = [](std::string s) { // '|' stands for a zero character
    std::vector<uint8_t> v;
    for (char c : s)
      v.insert(v.end(), {uint8_t(c == '|' ? 0 : c), 0});
    return v;
  };
  entry up = build::file_entry("UP.TXT", build::dir_path({"..", "..", ".."}), "up\r\n", T);
  entry abs = build::file_entry("ABS.TXT", {}, "abs\r\n", T);
  abs.raw_path = raw("|tmp|x");
  entry slash = build::file_entry("../../../SLASH.TXT", {}, "slash\r\n", T);
  entry dotdot = build::file_entry("..", {}, "dots\r\n", T);
  entry back = build::file_entry("..\\..\\BACK.TXT", "..\\..", "back\r\n", T);
  std::vector<std::string> got;
  {
    guarded_runs g(one_backup({build::drive_spec("C:"), up, abs, slash, dotdot, back}));
    all_runs a = run_all(g, [&](const std::string &w) { got = files_below(w); });
    EXPECT_EQ(count(a.extract.out, "\nnot extracted, unsafe path or name: "), 3u);
  }
  // Separators inside a name stay part of that one name.
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, (std::vector<std::string>{"C_/.._.._.._SLASH.TXT", "C_/tmp/x/ABS.TXT"}));
  {
    guarded_runs g(one_backup({build::drive_spec(".."), up, abs, slash}));
    all_runs a = run_all(g, [&](const std::string &w) { got = files_below(w); });
    EXPECT_EQ(count(a.extract.out, "\nnot extracted, unsafe path or name: "), 3u);
    EXPECT_TRUE(got.empty());
  }
}

TEST(Hostile, FilesThatAreNoImage) {
  {
    guarded_runs g(std::vector<uint8_t>{});
    all_runs a = run_all(g);
    EXPECT_EQ(a.summary.status, -2);
    EXPECT_TRUE(has(a.summary.out, "\nonly read 0x0 bytes of 0x90 byte header\nget_fheader() failed\n"));
  }
  {
    guarded_runs g(std::vector<uint8_t>{0x55});
    all_runs a = run_all(g);
    EXPECT_EQ(a.summary.status, -2);
    EXPECT_TRUE(has(a.summary.out, "\nonly read 0x1 bytes of 0x90 byte header"));
  }
  {
    // A directory where the image should be.
    temp_dir d;
    run_result r = run_main({d.path});
    EXPECT_EQ(r.status, -1);
    EXPECT_TRUE(has(r.out, "open failed\n"));
    r = run_main({d.path, "-v", "-dd0"});
    EXPECT_EQ(r.status, 3);
    EXPECT_TRUE(has(r.out, "open failed source file " + d.path + "\n"));
    r = run_main({d.path, "-f", "-di"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(fs::is_empty(d.path));
  }
}

} // namespace
} // namespace cartsift::hardening
