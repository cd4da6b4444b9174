// The command line is read as GNU getopt_long reads it, on every system.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/cli.h"

namespace cartsift::cli {
namespace {

const long_opt LONGS[] = {{"list", false, 'l'},     {"extract", false, 'x'},
                          {"include", true, 'I'},   {"exclude", true, 'E'},
                          {"keep-partial", false, 'k'}, {"keep", false, 'k'},
                          {nullptr, false, 0}};

// Each option as "val", "val=arg" or "!bad" (':' or '?'), then "|" and the
// operands.
std::string scan(std::vector<std::string> words) {
  std::vector<char *> argv;
  std::string prog = "cartsift";
  argv.push_back(prog.data());
  for (auto &w : words)
    argv.push_back(w.data());
  opt_scan s(int(argv.size()), argv.data(), ":vqC:O", LONGS);
  std::string got;
  for (int c; (c = s.next()) != -1;) {
    got += (c == ':' || c == '?') ? std::string(1, char(c)) + s.bad : std::string(1, char(c));
    if (s.arg)
      got += std::string("=") + s.arg;
    got += " ";
  }
  got += "|";
  for (const auto &o : s.operands)
    got += " " + o;
  return got;
}

TEST(Options, ReadAsGetoptLongReadsThem) {
  const struct {
    std::vector<std::string> argv;
    const char *want;
  } cases[] = {
      {{"--list", "a.113", "-v", "b.113"}, "l v | a.113 b.113"},
      {{"-vq", "-Cout", "-C", "dir", "-O"}, "v q C=out C=dir O |"},
      {{"--include=*.TXT", "--exclude", "-x", "--keep-partial"}, "I=*.TXT E=-x k |"},
      {{"--inc", "p", "--ext", "--li"}, "I=p x l |"},          // prefixes
      {{"--keep"}, "k |"},                                     // exact beats prefix
      {{"--ex", "x"}, "?--ex | x"},                            // extract or exclude
      {{"--list=yes", "--nope", "-Z"}, "?--list=yes ?--nope ?-Z |"},
      {{"-C"}, ":-C |"},
      {{"--include"}, ":--include |"},
      {{"-", "--", "--list", "-v"}, "| - --list -v"},
  };
  for (const auto &c : cases)
    EXPECT_EQ(scan(c.argv), c.want) << testing::PrintToString(c.argv);
}

} // namespace
} // namespace cartsift::cli
