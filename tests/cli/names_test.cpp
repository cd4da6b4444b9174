// The matcher behind --include and --exclude, and names made ones Windows
// can hold: as pure functions, and as an extraction reports and writes them.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "cli/cli.h"
#include "support/testutil.h"

namespace cartsift {
namespace {

using build::dir_entry;
using build::drive_spec;
using build::file_entry;

TEST(Names, GlobMatchesAsFnmatchWithCaseFoldButByCharacter) {
  const std::string many_a(4000, 'a');
  const struct {
    const char *pat, *text;
    bool want;
  } cases[] = {
      {"C:/DOCS/*.txt", "c:/docs/sub/readme.TXT", true}, // '*' crosses '/'
      {"*", "", true},
      {"?", "", false},
      {"a?c", "abbc", false},
      {"caf?", "café", true}, // '?' takes the whole sequence
      {"caf??", "café", false},
      {"?\xff", "x\xff", true}, // a stray byte is one character of its own
      {"[a-c]x", "Bx", true},   // ranges are folded too
      {"[!a-c]x", "Bx", false},
      {"[^a-c]x", "dx", true},
      {"[]]", "]", true}, // ']' first is a member
      {"[!]]", "]", false},
      {"[a-]", "-", true}, // '-' last is itself
      {"[\\]x]", "]", true},
      {"[é-ï]", "ë", true}, // ranges of code points
      {"[é]", "\xc3", false},
      {"[[:digit:]][[:alpha:]]", "7q", true},
      {"[[:upper:]]", "a", false}, // classes see the character as it is
      {"[[:bogus:]]", "a", false},
      {"[ab", "[ab", true}, // never closed: an ordinary '['
      {"\\*", "*", true},
      {"\\*", "x", false},
      {"a\\", "a\\", false}, // a lone '\' at the end matches nothing
      {"*a*a*a*a*a*a*a*a*b", many_a.c_str(), false}, // no exponential search
      {"*a*a*a*a*a*a*a*a*a", many_a.c_str(), true},
  };
  for (const auto &c : cases)
    EXPECT_EQ(cli::glob_match(c.pat, c.text), c.want) << c.pat << " " << c.text;
}

TEST(Names, WindowsNamesReplaceWhatWindowsRefuses) {
  const std::pair<const char *, const char *> cases[] = {
      {"README.TXT", "README.TXT"},   {"a<b>c:d\"e|f?g*h", "a_b_c_d_e_f_g_h"},
      {"tab\there\x1f", "tab_here_"}, {"trailing.", "trailing_"},
      {"space ", "space_"},           {"CON", "CON_"},
      {"aux.txt", "aux_.txt"},        {"Nul.tar.gz", "Nul_.tar.gz"},
      {"com1", "com1_"},              {"LPT9.x", "LPT9_.x"},
      {"COM0", "COM0"},               {"CONSOLE", "CONSOLE"},
      {"con.", "con__"},              {"caf\xc3\xa9?", "caf\xc3\xa9_"}};
  for (const auto &[in, want] : cases) {
    std::string s = in;
    EXPECT_EQ(cartsift::windows_name(&s), std::string(in) != want) << in;
    EXPECT_EQ(s, want);
  }
}

// Each changed name is reported once with what it became, status 1; the
// entries below a renamed directory go there quietly. A name changed into
// one already written, or (on Windows) one that differs only in case, is
// kept as any existing file is, never written over: in a directory the run
// made (AUX_) and in one that was there (C_).
TEST(Names, ExtractionMakesNamesWindowsCanHold) {
  temp_dir d;
  build::image img;
  img.header(0, build::hdr_text(1, 1));
  img.vtbl({});
  build::finish(img, build::backup(img, {drive_spec("C:"), dir_entry("AUX", {}, 0),
                                         file_entry("A_.TXT", "AUX", "plain", 0),
                                         file_entry("A?.TXT", "AUX", "q", 0),
                                         dir_entry("SUB", "AUX", 0),
                                         file_entry("B.TXT", "AUX\\SUB", "b", 0),
                                         file_entry("nul_.txt", {}, "first", 0),
                                         file_entry("nul.txt", {}, "second", 0),
                                         file_entry("Mixed.txt", {}, "one", 0),
                                         file_entry("MIXED.TXT", {}, "two", 0)}));
  img.save(d.file("w.113"));
  std::filesystem::create_directories(d.file("out/C_"));
  std::vector<std::string> args = {"--extract", "-C", d.file("out"), d.file("w.113")};
  if (!cli::WINDOWS_BUILD)
    args.insert(args.begin() + 1, "--windows-names");
  run_output r = run_bin_err(args);
  EXPECT_EQ(r.status, 1);
  std::string want = "cartsift: C:/AUX/: Windows cannot hold the name; written as C_/AUX_/\n"
                     "cartsift: C:/AUX/A?.TXT: Windows cannot hold the name; written as "
                     "C_/AUX_/A_.TXT\n"
                     "cartsift: C:/AUX/A?.TXT: exists, kept (--overwrite replaces it)\n"
                     "cartsift: C:/nul.txt: Windows cannot hold the name; written as "
                     "C_/nul_.txt\n"
                     "cartsift: C:/nul.txt: exists, kept (--overwrite replaces it)\n"
                     "cartsift: C:/MIXED.TXT: exists, kept (--overwrite replaces it)\n";
  // A case twin is one name to Windows, and to a tree bound for it.
  const std::set<std::string> tree = {"C_",          "C_/AUX_",          "C_/AUX_/A_.TXT",
                                      "C_/AUX_/SUB", "C_/AUX_/SUB/B.TXT", "C_/nul_.txt",
                                      "C_/Mixed.txt"};
  EXPECT_EQ(r.err, want);
  std::set<std::string> got;
  for (const auto &e : std::filesystem::recursive_directory_iterator(d.file("out")))
    got.insert(e.path().lexically_relative(d.file("out")).generic_string());
  EXPECT_EQ(got, tree);
  EXPECT_EQ(read_file(d.file("out/C_/AUX_/A_.TXT")), "plain");
  EXPECT_EQ(read_file(d.file("out/C_/nul_.txt")), "first");
  EXPECT_EQ(read_file(d.file("out/C_/Mixed.txt")), "one");

  // -C made level by level, whichever separator Windows is given.
  std::string deep = d.file("new/er/out");
  if (cli::WINDOWS_BUILD)
    std::replace(deep.begin(), deep.end(), '/', '\\');
  args[args.size() - 2] = deep;
  EXPECT_EQ(run_bin_err(args).status, 1);
  EXPECT_EQ(read_file(d.file("new/er/out/C_/nul_.txt")), "first");
}

TEST(Names, OptionsTheBuildLeavesOutAreRefused) {
  temp_dir d;
  const struct {
    std::vector<std::string> args;
    bool refused;
    const char *err;
  } cases[] = {
      {{"--list", "--windows-names", "x.113"}, !cli::WINDOWS_BUILD, "--windows-names goes with"},
      {{"--convert", "a.zip", "x.113"}, !CARTSIFT_HAVE_ARCHIVE, "has no --convert: it is"},
      {{"--list", "--hash=md5", "x.113"}, !CARTSIFT_HAVE_CRYPTO, "has no --hash: it is"},
      {{"--bag", "b", "x.113"}, !CARTSIFT_HAVE_CRYPTO, "has no --bag: it is"},
      {{"--extract", "--xattrs", "x.113"}, cli::WINDOWS_BUILD, "has no --xattrs: Windows"}};
  for (const auto &c : cases) {
    if (!c.refused)
      continue;
    const run_output r = run_bin_err(c.args, d.path.c_str());
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
  }
}

} // namespace
} // namespace cartsift
