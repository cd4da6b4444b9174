// The everyday interface run as the built binary: whole sets given in any
// order, exact listings, hostile names, selection, and the runs that must
// not start at all.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "support/capture.h"
#include "support/testutil.h"

namespace cartsift {
namespace {

namespace L = build::layout;
using build::dir_entry;
using build::drive_spec;
using build::file_entry;
using testing::fmt;

// One image (sequence number 1) of one backup; offs gets the entry offsets.
build::image one_backup(const std::vector<build::entry> &es, std::vector<size_t> *offs = nullptr) {
  build::image img;
  img.header(0, build::hdr_text(1, 1));
  img.vtbl({});
  build::finish(img, build::backup(img, es, offs));
  return img;
}

// Everything below root, directories ending in '/'; links are not followed.
std::set<std::string> tree_of(const std::string &root) {
  std::set<std::string> s;
  for (const auto &e : std::filesystem::recursive_directory_iterator(root))
    s.insert(text_of(std::filesystem::relative(e.path(), root)) +
             (e.is_directory() && !e.is_symlink() ? "/" : ""));
  return s;
}

// The demo set as extraction lays it out below root, but for the file named
// gap and the one flagged file error: data, modification time, read-only
// bit, and nothing else there.
void expect_demo_tree(const std::string &root, const std::string &gap) {
  std::string drive = "C_";
  std::set<std::string> want;
  for (const build::entry &e : build::demo_set_entries()) {
    drive = e.name == "BACKUP.LOG" ? "D_" : drive; // the first entry of D:
    const bool dir = e.attrib & (L::A_SUBDIR | L::A_VOLUME);
    std::string rel = (e.pflg & L::PF_DRIVE) ? e.name.substr(0, 1) + "_" : drive;
    for (const auto &c : e.path)
      rel += "/" + c;
    // An entry without a long name goes by its short one.
    const std::string name = e.name.empty() ? e.name2 : e.name;
    rel += (e.pflg & L::PF_DRIVE) ? "" : "/" + name;
    if (name == gap || (e.pflg & L::TF_FILE_ERROR))
      continue;
    want.insert(rel + (dir ? "/" : ""));
    struct stat st;
    ASSERT_EQ(lstat((root + "/" + rel).c_str(), &st), 0) << rel;
    EXPECT_EQ(st.st_mtime, time_t(e.t4)) << rel;
    EXPECT_EQ(S_ISDIR(st.st_mode), dir) << rel;
    if (!dir) {
      EXPECT_EQ(read_file(root + "/" + rel), std::string(e.data.begin(), e.data.end())) << rel;
    }
    EXPECT_EQ((st.st_mode & 0222) == 0, (e.attrib & L::A_RDONLY) != 0) << rel;
  }
  EXPECT_EQ(tree_of(root), want);
}

TEST(Everyday, DemoSetWholeAndWithTheMiddleCartridgeLeftOut) {
  temp_dir d;
  const std::vector<build::image> imgs = build::demo_set();
  const std::string d1 = write_image(d, imgs[0], "d1.113"), d2 = write_image(d, imgs[1], "d2.113"),
                    d3 = write_image(d, imgs[2], "d3.113");
  const std::string unread = "cartsift: " + d3 + ": 0x2be6f: D:/ARCHIVE/TERMBASE.MDB: the backup "
                             "program could not read it when the backup was made";
  run_output r = run_bin_err({"--extract", "-C", d.file("all"), d3, d1, d2});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out + r.err, unread + "; not written (--keep-partial keeps it)\n");
  expect_demo_tree(d.file("all"), "");
  r = run_bin_err({"--test", d2, d3, d1});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, unread + "\n28 entries, 18 files, 327124 bytes; 1 problems\n");

  r = run_bin_err({"--test", d3, d1});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cartsift: cartridge 2 of the set is missing\ncartsift: " + d1 + ": 0x"),
            std::string::npos) << r.err;
  EXPECT_NE(r.err.find(": D:/ARCHIVE/NUMBERS.TXT: data runs into a missing cartridge; "),
            std::string::npos) << r.err;
  r = run_bin_err({"--extract", "-C", d.file("gap"), d1, d3});
  EXPECT_EQ(r.status, 1);
  expect_demo_tree(d.file("gap"), "NUMBERS.TXT");

  // What was recovered is the data's beginning, and only that.
  r = run_bin_err({"--extract", "--keep-partial", "-C", d.file("part"), d1, d3});
  EXPECT_EQ(r.status, 1);
  const std::string got = read_file(d.file("part/D_/ARCHIVE/NUMBERS.TXT")),
                    all = read_file(d.file("all/D_/ARCHIVE/NUMBERS.TXT"));
  EXPECT_TRUE(!got.empty() && got.size() < all.size() && all.starts_with(got)) << got.size();
}

TEST(Everyday, ListingsOfATwoCartridgeSetGivenBackwards) {
  temp_dir d;
  std::vector<build::entry> es = {
      drive_spec("C:"), dir_entry("DOCS", {}, build::utc(1997, 12, 31, 23, 59, 59)),
      file_entry("A.TXT", "DOCS", "alpha\r\n", build::utc(1980, 1, 1), 0x27),
      file_entry("Ärger.bin", {}, std::string(40000, 'x'), 0x7FFFFFFF),
      file_entry("abcd", "DOCS", "", 1, 0)};
  es[0].t1 = build::utc(1998, 1, 2, 3, 4, 5);
  es[3].data[39999] = 'y';
  build::image_set s = build::split_backup({}, 5, es, {1});
  // Units no name should hold come out as U+FFFD, a pair as its one character.
  for (uint16_t k = 0, u[] = {0xDC00, 0xD83C, 0xDFB5, 0xD800}; k < 4; k++)
    s.images[s.entries[4].image].put_u16(s.entries[4].off + 75 + 2 * k, u[k]); // nm1
  s.images[0].save(d.file("s1.113"));
  s.images[1].save(d.file("s2.113"));
  const struct {
    const char *path, *type, *attrs, *time;
    int images;
  } want[] = {{"C:/", "drive", "d----", "1998-01-02 03:04:05", 0},
              {"C:/DOCS/", "dir", "d----", "1997-12-31 23:59:59", 0},
              {"C:/DOCS/A.TXT", "file", "-rhsa", "1980-01-01 00:00:00", 1},
              {"C:/Ärger.bin", "file", "----a", "2038-01-19 03:14:07", 2},
              {"C:/DOCS/\uFFFD🎵\uFFFD", "file", "-----", "1970-01-01 00:00:01", 0}};
  std::string plain, verbose, json, data;
  for (size_t i = 0; i < es.size(); i++) {
    const auto &w = want[i];
    const std::string utc = std::string(w.time, 10) + "T" + (w.time + 11) + "Z";
    plain += w.path + std::string("\n");
    verbose += fmt("%s %12zu %s %s\n", w.attrs, es[i].data.size(), w.time, w.path);
    json += fmt("{\"path\":\"%s\",\"type\":\"%s\",\"size\":%zu,\"mtime\":\"%s\",\"attrib\":%u,"
                "\"file_error\":false,%s\"layout\":\"fixed\",\"image\":\"s%zu.113\",\"offset\":%zu,"
                "\"images\":%d}\n", w.path, w.type, es[i].data.size(), utc.c_str(),
                unsigned(es[i].attrib), std::string(w.type) == "dir" ? "\"empty_dir\":false," : "",
                s.entries[i].image + 1, s.entries[i].off, w.images);
    data += std::string(es[i].data.begin(), es[i].data.end());
  }
  json += "{\"summary\":{\"entries\":5,\"drives\":1,\"dirs\":1,\"files\":3,\"bytes\":40007,"
          "\"problems\":0,\"images\":2}}\n";
  const std::pair<std::vector<std::string>, std::string> runs[] = {
      {{"--list"}, plain}, {{"--list", "-v"}, verbose}, {{"--list", "--json"}, json},
      {{"--extract", "-O"}, data}};
  for (auto [args, out] : runs) {
    args.insert(args.end(), {"s2.113", "s1.113"});
    run_output r = run_bin_err(args, d.path.c_str());
    EXPECT_EQ(r.status, 0) << args[1];
    EXPECT_EQ(r.out, out) << args[1];
    EXPECT_EQ(r.err, "") << args[1];
  }
}

TEST(Everyday, RunsThatCannotStartWriteNothing) {
  temp_dir d;
  const build::image good = one_backup({drive_spec("C:"), file_entry("A", {}, "a", 0)});
  build::image zeros, short_img, novt, comp = good;
  zeros.pad_to(2 * L::DATA_START);
  short_img.raw("\x55\xAA\x55\xAA");
  novt.header(0, build::hdr_text(1, 1));
  novt.pad_to(L::DATA_START + L::BLOCK_SIZE);
  comp.put_u8(L::VTBL_OFFSET + L::VT_COMP, 0x80);
  for (auto [name, img] : {std::pair{"good.113", &good}, {"copy.113", &good}, {"zeros.113", &zeros},
                           {"short.113", &short_img}, {"novt.113", &novt}, {"comp.113", &comp}})
    img->save(d.file(name));
  one_backup({drive_spec("D:")}).save(d.file("twin.113"));
  const std::string seq = "the same sequence number (1) as ";
  const std::string given = "; give --as-given to read them in the order given";
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"good.113", "nope.113"}, "nope.113: No such file or directory"},
      {{"short.113"}, "short.113: not a cartridge image (too short)"},
      {{"zeros.113", "good.113"}, "zeros.113: not a cartridge image (no file header)"},
      {{"good.113", "novt.113"}, "novt.113: not a cartridge image (no volume table)"},
      {{"comp.113"}, "comp.113: compressed volume of type 0 (compression byte 0x80), not supported"},
      {{"good.113", "./good.113"}, "./good.113: the same image as good.113"},
      {{"good.113", "twin.113"}, "twin.113: " + seq + "good.113" + given},
      {{"copy.113", "good.113"}, "good.113: " + seq + "copy.113" + given}};
  for (const auto &[images, err] : cases)
    for (std::vector<std::string> args : {std::vector<std::string>{"--list"}, {"--test"}, {"--info"},
                                          {"--extract", "-C", "out"}}) {
      args.insert(args.end(), images.begin(), images.end());
      run_output r = run_bin_err(args, d.path.c_str());
      EXPECT_EQ(r.status, 2) << args[0] << " " << err;
      EXPECT_EQ(r.out + r.err, "cartsift: " + err + "\n") << args[0];
      EXPECT_FALSE(std::filesystem::exists(d.file("out"))) << err;
    }
  for (const std::vector<std::string> &args : {std::vector<std::string>{"--list"},
       {"--list", "--extract", "good.113"}, {"--list", "-C", "out", "good.113"},
       {"--extract", "--json", "-C", "out", "good.113"}, {"--extract", "-C", "out", "-Z", "good.113"},
       {"--extract", "good.113", "-C"}, {"--extract", "-C", "", "good.113"}}) {
    run_output r = run_bin_err(args, d.path.c_str());
    EXPECT_TRUE(r.status == 2 && r.out.empty() && r.err.starts_with("cartsift: ") &&
                r.err.ends_with("\nTry 'cartsift --help' for more information.\n")) << r.err;
    EXPECT_FALSE(std::filesystem::exists(d.file("out"))) << args[1];
  }
  // The same number twice is fine when the order is the user's.
  EXPECT_EQ(run_bin({"--list", "--as-given", "twin.113", "good.113"}, "", d.path.c_str()).out,
            "D:/\nC:/\nC:/A\n");
}

// Both backups are walked, and a later one's version of a file replaces
// the one this run wrote.
TEST(Everyday, AnImageWithTwoBackupsListsAndRestoresBoth) {
  temp_dir d;
  build::image img;
  img.header(0, build::hdr_text(1, 1));
  img.vtbl({});
  build::backup(img, {drive_spec("C:"), file_entry("A.TXT", {}, "old", 0, 0x21)});
  img.pad_to(img.next_block());
  build::finish(img, build::backup(img, {drive_spec("C:"),
                                         file_entry("A.TXT", {}, "new", 0, 0x21)}));
  img.save(d.file("two.113"));
  EXPECT_EQ(run_bin({"--list", d.file("two.113")}).out, "C:/\nC:/A.TXT\nC:/\nC:/A.TXT\n");
  run_output r = run_bin_err({"--test", d.file("two.113")});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "4 entries, 2 files, 6 bytes; 0 problems\n");
  r = run_bin_err({"--extract", "-C", d.file("o"), d.file("two.113")});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(read_file(d.file("o/C_/A.TXT")), "new");
}

// Only the four exact words choose the everyday face; anything else is the
// classic run, byte for byte.
TEST(Everyday, ClassicFaceWithoutTheFourCommands) {
  temp_dir d;
  const std::string img = write_image(d, build::demo_image(), "demo.113");
  for (const std::vector<std::string> &args : {std::vector<std::string>{img}, {img, "-c"},
       {"--lists", img}, {"-list", img}, {"list", img}, {img, "--extract=x"}}) {
    run_result bin = run_bin(args), in = run_main(args);
    EXPECT_EQ(bin.status, in.status & 0xFF) << args.back();
    EXPECT_EQ(bin.out, in.out) << args.back();
  }
}

// --help alone opens with the everyday interface; the classic usage text
// follows as that face prints it, and with no argument it stands alone.
TEST(Everyday, HelpOpensWithTheEverydayInterface) {
  const std::string classic = run_main({}).out;
  EXPECT_EQ(run_bin({}).out, classic);
  const run_result everyday = run_bin({"--list", "--help"});
  EXPECT_EQ(everyday.status, 0);
  EXPECT_TRUE(everyday.out.starts_with("cartsift examines")) << everyday.out;
  const run_result both = run_bin({"--help"});
  EXPECT_EQ(both.status, 0);
  EXPECT_EQ(both.out, everyday.out +
                          "\nThe classic interface: one image at a time, its structure in detail\n" +
                          classic);
}

TEST(Everyday, UnsafeNamesAreSkippedAndNothingLeavesTheOutputDirectory) {
  temp_dir d;
  const std::pair<build::entry, const char *> hostile[] = { // and the path as reported
      {file_entry("..", {}, "up", 0), "C:/.."},
      {dir_entry(".", {}, 0), "C:/./"},
      {file_entry("a/b", {}, "slash", 0), "C:/a/b"},
      {file_entry("a\\b", {}, "backslash", 0), "C:/a\\\\b"},
      {file_entry("X", std::vector<std::string>{"..", ".."}, "up2", 0), "C:/../../X"},
      {file_entry("", "DOCS", "empty", 0), "C:/DOCS/"},
      {file_entry("N_L", {}, "nul", 0), "C:/N\\000L"}}; // U+0000 put in below
  std::vector<build::entry> es = {drive_spec("C:"), file_entry("GOOD1", {}, "1", 0)};
  for (const auto &h : hostile)
    es.push_back(h.first);
  es.push_back(file_entry("GOOD2", "SUB", "2", 0));
  std::vector<size_t> offs;
  build::image img = one_backup(es, &offs);
  img.put_u16(offs[es.size() - 2] + 75 + 2, 0);
  img.save(d.file("h.113"));

  run_output r = run_bin_err({"--extract", "-C", d.file("out"), d.file("h.113")});
  EXPECT_EQ(r.status, 1);
  std::string want;
  for (const auto &h : hostile)
    want += fmt("cartsift: %s: unsafe name, skipped\n", h.second);
  EXPECT_EQ(r.err, want);
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), long(std::size(hostile)));
  EXPECT_EQ(tree_of(d.path), (std::set<std::string>{"h.113", "out/", "out/C_/", "out/C_/GOOD1",
                                                    "out/C_/SUB/", "out/C_/SUB/GOOD2"}));
}

// Names cannot break the lines of a listing or reach the terminal as
// control sequences: they are escaped as GNU tar escapes them.
TEST(Everyday, ControlCharactersInNamesAreEscaped) {
  temp_dir d;
  const std::pair<const char *, const char *> names[] = {
      {"tab\there", "C:/tab\\there"},
      {"new\nline", "C:/new\\nline"},
      {"\x1b[2Jclear", "C:/\\033[2Jclear"},
      {"del\x7f", "C:/del\\177"},
      {"caf\xc3\xa9", "C:/caf\xc3\xa9"}};
  std::vector<build::entry> es = {drive_spec("C:")};
  std::string want = "C:/\n";
  for (const auto &[name, listed] : names) {
    es.push_back(file_entry(name, {}, "x", 0));
    want += std::string(listed) + "\n";
  }
  one_backup(es).save(d.file("c.113"));
  EXPECT_EQ(run_bin({"--list", d.file("c.113")}).out, want);
  EXPECT_NE(run_bin({"--list", "--json", d.file("c.113")}).out.find("\"C:/new\\nline\""),
            std::string::npos);
}

// Links planted where the files go are never written through; files already
// there are kept unless --overwrite says otherwise, read-only ones too.
TEST(Everyday, PlantedLinksAndExistingFiles) {
  temp_dir d;
  one_backup({drive_spec("C:"), file_entry("A.TXT", {}, "new A", 7, 0x21),
              file_entry("LINK.TXT", {}, "new link", 7), file_entry("B.TXT", {}, "b", 7)})
      .save(d.file("x.113"));
  for (const char *dir : {"out/C_", "out2", "elsewhere"})
    std::filesystem::create_directories(d.file(dir));
  build::image text;
  text.raw("old");
  text.save(d.file("victim"));
  text.save(d.file("out/C_/A.TXT"));
  namespace fs = std::filesystem;
  fs::permissions(d.file("out/C_/A.TXT"),
                  fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  std::error_code ec;
  fs::create_symlink(d.file("victim"), d.file("out/C_/LINK.TXT"), ec);
  if (ec)
    GTEST_SKIP() << "no symbolic links here: " << ec.message();
  fs::create_directory_symlink(d.file("elsewhere"), d.file("out2/C_"));

  run_output r = run_bin_err({"--extract", "-C", d.file("out"), d.file("x.113")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "cartsift: C:/A.TXT: exists, kept (--overwrite replaces it)\n"
                   "cartsift: C:/LINK.TXT: exists, kept (--overwrite replaces it)\n");
  EXPECT_EQ(read_file(d.file("out/C_/A.TXT")), "old");
  EXPECT_EQ(read_file(d.file("out/C_/B.TXT")), "b");
  EXPECT_TRUE(std::filesystem::is_symlink(d.file("out/C_/LINK.TXT")));

  r = run_bin_err({"--extract", "--overwrite", "-C", d.file("out"), d.file("x.113")});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(read_file(d.file("out/C_/A.TXT")), "new A");
  EXPECT_FALSE(std::filesystem::is_symlink(d.file("out/C_/LINK.TXT")));
  EXPECT_EQ(read_file(d.file("out/C_/LINK.TXT")), "new link");
  struct stat st;
  EXPECT_TRUE(stat(d.file("out/C_/A.TXT").c_str(), &st) == 0 && !(st.st_mode & 0222) &&
              st.st_mtime == 7);

  // The drive's directory itself a link.
  r = run_bin_err({"--extract", "--overwrite", "-C", d.file("out2"), d.file("x.113")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("cartsift: C:/: cannot make the directory: ", 0), 0u) << r.err;
  EXPECT_TRUE(std::filesystem::is_empty(d.file("elsewhere")));
  EXPECT_EQ(read_file(d.file("victim")), "old");
}

TEST(Everyday, IncludeAndExcludeSelectWholePaths) {
  temp_dir d;
  one_backup({drive_spec("C:"), dir_entry("DOCS", {}, 0), file_entry("A.TXT", "DOCS", "a", 0),
              dir_entry("SUB", "DOCS", 0), file_entry("B.BIN", "DOCS\\SUB", "b", 0),
              file_entry("README.TXT", {}, "r", 0), dir_entry("DOCSX", {}, 0),
              file_entry("C.txt", "DOCSX", "c", 0)})
      .save(d.file("s.113"));
  const std::string in = "--include", ex = "--exclude";
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{}, "C:/ C:/DOCS/ C:/DOCS/A.TXT C:/DOCS/SUB/ C:/DOCS/SUB/B.BIN C:/README.TXT C:/DOCSX/ "
           "C:/DOCSX/C.txt "},
      {{in, "*.txt"}, "C:/DOCS/A.TXT C:/README.TXT C:/DOCSX/C.txt "},
      {{in, "docs/"}, "C:/DOCS/ C:/DOCS/A.TXT C:/DOCS/SUB/ C:/DOCS/SUB/B.BIN "},
      {{in, "C:/DOCS/SUB/B.BIN", in, "readme.txt"}, "C:/DOCS/SUB/B.BIN C:/README.TXT "},
      {{in, "?:/docs/a.*"}, "C:/DOCS/A.TXT "},
      {{ex, "*.BIN", ex, "DOCSX/"}, "C:/ C:/DOCS/ C:/DOCS/A.TXT C:/DOCS/SUB/ C:/README.TXT "},
      {{in, "docs/", ex, "*/sub/"}, "C:/DOCS/ C:/DOCS/A.TXT "},
      {{in, "a.txt", in, "DOC"}, ""}};
  int n = 0;
  for (auto [args, out] : cases) {
    args.insert(args.begin(), {"--extract", "-v", "-C", d.file("o" + std::to_string(++n))});
    args.push_back(d.file("s.113"));
    run_output r = run_bin_err(args);
    std::replace(r.out.begin(), r.out.end(), '\n', ' ');
    EXPECT_EQ(std::to_string(r.status) + r.err + r.out, "0" + out) << n;
  }
  EXPECT_EQ(run_bin({"--extract", "-O", "--include", "*.TXT", d.file("s.113")}).out, "arc");
}

// A broken entry costs that entry only: the walk finds the next one.
TEST(Everyday, UnreadableEntryInTheMiddleIsReportedAndSteppedOver) {
  temp_dir d;
  std::vector<build::entry> es = {drive_spec("C:"), file_entry("ONE", {}, "1", 0),
                                  file_entry("TWO", {}, "22", 0), file_entry("THREE", {}, "333", 0)};
  es[2].closing_sig = {0, 0, 0, 0};
  std::vector<size_t> offs;
  one_backup(es, &offs).save(d.file("b.113"));
  run_output r = run_bin_err({"--extract", "-C", "out", "b.113"}, d.path.c_str());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, fmt("cartsift: b.113: 0x%zx: unreadable entry \"TWO\" (no closing signature); %zu bytes "
                       "skipped to the next entry at b.113 0x%zx\n",
                       offs[2], offs[3] - offs[2], offs[3]));
  EXPECT_EQ(tree_of(d.file("out")), (std::set<std::string>{"C_/", "C_/ONE", "C_/THREE"}));
  EXPECT_EQ(run_bin_err({"--list", "b.113"}, d.path.c_str()).out, "C:/\nC:/ONE\nC:/THREE\n");
}

} // namespace
} // namespace cartsift
