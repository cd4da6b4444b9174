// Images of names that a Windows file system cannot hold as they are, and
// of a path beyond Windows' old 260-character limit: what the Windows build
// is compared with the Linux one on.
#include "img_builder.h"

namespace cartsift::build {

namespace {

constexpr uint32_t T = 880000000; // 1997-11-20 04:26:40 UTC

image one_backup(const std::vector<entry> &es) {
  image img;
  img.header(0, hdr_text(1, 1));
  img.vtbl({});
  finish(img, backup(img, es));
  return img;
}

} // namespace

image awkward_names_image() {
  std::vector<entry> es = {drive_spec("C:"), file_entry("GOOD.TXT", {}, "good\n", T)};
  // Each of these becomes a name Windows takes, with '_' put in.
  for (const char *n : {"CON", "aux.txt", "Com1.log", "lpt9", "nul.tar.gz", "a<b>c.txt", "q?.txt",
                        "star*.txt", "pipe|.txt", "colon:.txt", "quote\".txt", "trail.",
                        "trail ", "ctl\x01.txt"})
    es.push_back(file_entry(n, {}, std::string("was ") + n + "\n", T + 60));
  es.push_back(dir_entry("PRN", {}, T));
  es.push_back(file_entry("inner.txt", "PRN", "inside PRN\n", T + 120));
  // Names that differ only in case: one directory on Windows, and the
  // second meets the first as an existing file.
  es.push_back(dir_entry("DOCS", {}, T));
  es.push_back(file_entry("Readme.txt", "DOCS", "first\n", T + 180));
  es.push_back(file_entry("README.TXT", "DOCS", "second\n", T + 240));
  // Never written anywhere, on either system.
  es.push_back(file_entry("..", {}, "up\n", T));
  es.push_back(file_entry("a\\b", {}, "backslash\n", T));
  es.push_back(file_entry("X", std::vector<std::string>{"..", ".."}, "up two\n", T));
  es.push_back(file_entry("LAST.TXT", "DOCS", "last\n", T + 300));
  return one_backup(es);
}

image long_path_image() {
  std::vector<std::string> dirs;
  std::vector<entry> es = {drive_spec("C:")};
  for (char c : {'a', 'b', 'c'}) {
    es.push_back(dir_entry(std::string(100, c) + "-folder", dirs, T));
    dirs.push_back(std::string(100, c) + "-folder");
  }
  es.push_back(file_entry(std::string(100, 'd') + ".txt", dirs, "deep\n", T + 60));
  return one_backup(es);
}

} // namespace cartsift::build
