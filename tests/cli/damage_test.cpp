// Damaged backups and broken runs: what each command says and the status
// it ends with, and what --extract leaves on disk.
#include <gtest/gtest.h>

#include <sys/stat.h>
#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <filesystem>
#include <functional>
#include <thread>

#include "support/testutil.h"

namespace cartsift {
namespace {

using build::drive_spec;
using build::file_entry;

std::vector<build::entry> four() {
  return {drive_spec("C:"), file_entry("A.TXT", {}, "alpha", 7),
          file_entry("B.TXT", {}, "bravo", 7), file_entry("LAST.TXT", {}, "omega", 7)};
}

std::string save(const temp_dir &d, const std::vector<build::entry> &es, const char *name) {
  build::image img;
  img.header(0, build::hdr_text(1, 1));
  img.vtbl({});
  build::finish(img, build::backup(img, es));
  return write_image(d, img, name);
}

std::set<std::string> files_in(const std::string &dir) {
  std::set<std::string> s;
  if (std::filesystem::exists(dir))
    for (const auto &e : std::filesystem::directory_iterator(dir))
      s.insert(e.path().filename().string());
  return s;
}

TEST(Damage, StatusesAndWhatExtractWrites) {
  using S = std::set<std::string>;
  const S all = {"A.TXT", "B.TXT", "LAST.TXT"};
  struct {
    const char *what;
    std::function<void(std::vector<build::entry> &)> hurt;
    int status;     // --list, --test and --extract alike
    S written, kept_partial; // below C_ by --extract, and with --keep-partial
    const char *says; // in --test's messages
  } cases[] = {
      {"intact", [](auto &) {}, 0, all, all, "; 0 problems"},
      {"last entry without its closing signature",
       [](auto &es) { es[3].closing_sig = {0, 0, 0, 0}; }, 1, {"A.TXT", "B.TXT"},
       {"A.TXT", "B.TXT"}, "unreadable entry \"LAST.TXT\" (no closing signature); no entry after it"},
      {"last trailer bad", [](auto &es) { es[3].trailer_sig = {0, 0, 0, 0}; }, 1,
       {"A.TXT", "B.TXT"}, all, "C:/LAST.TXT: bad trailer after the data"},
      {"last size overstated", [](auto &es) { es[3].flen = 9; }, 1, {"A.TXT", "B.TXT"}, all,
       "C:/LAST.TXT: bad trailer after the data"},
      // The entry after it lies inside the bytes the size claims.
      {"middle size overstated", [](auto &es) { es[1].flen = 5 + 18 + 200; }, 1,
       {"B.TXT", "LAST.TXT"}, all, "C:/A.TXT: bad trailer after the data"},
      {"middle size understated", [](auto &es) { es[1].flen = 3; }, 1, {"B.TXT", "LAST.TXT"},
       all, "C:/A.TXT: bad trailer after the data"},
  };
  for (const auto &c : cases) {
    temp_dir d;
    std::vector<build::entry> es = four();
    c.hurt(es);
    const std::string img = save(d, es, "x.113");
    EXPECT_EQ(run_bin_err({"--list", img}).status, c.status) << c.what;
    run_output t = run_bin_err({"--test", img});
    EXPECT_EQ(t.status, c.status) << c.what;
    EXPECT_NE(t.err.find(c.says), std::string::npos) << c.what << "\n" << t.err;
    run_output x = run_bin_err({"--extract", "-C", d.file("o"), img});
    EXPECT_EQ(x.status, c.status) << c.what << "\n" << x.err;
    EXPECT_EQ(files_in(d.file("o/C_")), c.written) << c.what;
    EXPECT_EQ(run_bin_err({"--extract", "--keep-partial", "-C", d.file("k"), img}).status,
              c.status)
        << c.what;
    EXPECT_EQ(files_in(d.file("k/C_")), c.kept_partial) << c.what;
    EXPECT_TRUE(!c.written.count("B.TXT") || read_file(d.file("o/C_/B.TXT")) == "bravo");
  }
}

TEST(Damage, BrokenOutputsAndThingsInTheWay) {
  temp_dir d;
  std::vector<build::entry> es = four();
  const std::string p = std::string(100, 'P'), q = std::string(100, 'Q'),
                    r100 = std::string(100, 'R');
  es.insert(es.begin() + 1, file_entry("A.TXT", p + "\\" + q + "\\" + r100, "deep", 7));
  const std::string img = save(d, es, "x.113");
#ifndef _WIN32 // no /dev/full
  const std::string bin = CARTSIFT_BIN; // run by a shell: its standard output is broken
  auto shell = [](const std::string &l) { const int w = std::system(l.c_str()); return WEXITSTATUS(w); };
  // Files written and their listing lost: one more failure, not "nothing done".
  EXPECT_EQ(shell(bin + " --extract -v -C " + d.file("v") + " " + img + " >/dev/full 2>/dev/null"),
            1);
  EXPECT_EQ(files_in(d.file("v/C_")).size(), 4u);
  // The data stream itself broken: the run stops.
  EXPECT_EQ(shell(bin + " --extract -O " + img + " >/dev/full 2>/dev/null"), 2);
#endif

  // A directory where a file goes cannot be replaced, so no --overwrite hint;
  // a very long name is cut in the middle of the message.
  std::filesystem::create_directories(d.file("w/C_/A.TXT"));
  std::filesystem::create_directories(d.file("w/C_/" + p + "/" + q + "/" + r100 + "/A.TXT"));
  run_output r = run_bin_err({"--extract", "--overwrite", "-C", d.file("w"), img});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "cartsift: C:/" + p + "/" + std::string(8, 'Q') + "..." + std::string(5, 'Q') + "/" +
                       r100 + "/A.TXT: a directory of that name exists, kept\n"
                       "cartsift: C:/A.TXT: a directory of that name exists, kept\n");

  // Cut before its volume table, nothing can be read, yet --test has found
  // what is wrong.
  build::image cut = build::demo_image();
  cut.b.resize(0x8000);
  const std::string c = write_image(d, cut, "c.113");
  EXPECT_EQ(run_bin_err({"--test", c}).status, 1);
  r = run_bin_err({"--info", c});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("truncated before its volume table: 32768 bytes"), std::string::npos);

#ifndef _WIN32 // a read-only directory is still writable there
  if (geteuid() != 0) { // root may write anywhere
    std::filesystem::create_directories(d.file("ro"));
    chmod(d.file("ro").c_str(), 0555);
    r = run_bin_err({"--extract", "-C", d.file("ro"), img});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("cannot write there"), std::string::npos) << r.err;
  }
#endif
}

#ifndef _WIN32 // stopped and interrupted by POSIX signals
// Interrupted mid-file, --extract leaves nothing under the file's name and
// no temporary file; a second run then writes it whole.
TEST(Damage, InterruptedExtractionLeavesNoCutFile) {
  temp_dir d;
  std::vector<build::entry> es = four();
  std::vector<uint8_t> big(32 << 20);
  for (size_t i = 0; i < big.size(); i++)
    big[i] = uint8_t(i * 7 >> 9);
  es[1].data = big;
  es[1].name = "BIG.BIN";
  const std::string img = save(d, es, "x.113");
  const std::string out = d.file("o"), dir = out + "/C_";
  auto part = [&] {
    const auto fs = files_in(dir);
    return std::any_of(fs.begin(), fs.end(), [](auto &f) { return f.starts_with(".cartsift-"); });
  };
  bool caught = false;
  for (int attempt = 0; attempt < 5 && !caught; attempt++) {
    std::filesystem::remove_all(out);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      execl(CARTSIFT_BIN, CARTSIFT_BIN, "--extract", "-q", "-C", out.c_str(), img.c_str(),
            static_cast<char *>(nullptr));
      _exit(127);
    }
    int w = 0;
    pid_t ended = 0;
    while (!part() && (ended = waitpid(pid, &w, WNOHANG)) == 0)
      std::this_thread::yield();
    if (ended == pid)
      continue; // the copy was too quick: again
    // Once it has stopped with the temporary file there, the interruption
    // is sure to land mid-file.
    kill(pid, SIGSTOP);
    waitpid(pid, &w, WUNTRACED);
    if (!WIFSTOPPED(w))
      continue;
    caught = part() && !files_in(dir).count("BIG.BIN");
    kill(pid, SIGINT);
    kill(pid, SIGCONT);
    waitpid(pid, &w, 0);
    if (caught) {
      EXPECT_TRUE(WIFSIGNALED(w) && WTERMSIG(w) == SIGINT) << w;
      EXPECT_FALSE(part());
      EXPECT_FALSE(files_in(dir).count("BIG.BIN"));
    }
  }
  EXPECT_TRUE(caught);
  EXPECT_EQ(run_bin_err({"--extract", "-C", out, img}).status, 0);
  EXPECT_EQ(std::filesystem::file_size(dir + "/BIG.BIN"), big.size());
}
#endif

} // namespace
} // namespace cartsift
