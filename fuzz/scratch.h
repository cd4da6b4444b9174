// The scratch tree of the whole-run targets: a directory under $TMPDIR
// holding the images, a sentinel file and the working directory the runs
// extract into. Anything a run leaves outside the working directory, or a
// sentinel that changed, is a finding.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>

namespace cartsift::fuzzscratch {

inline const char *who = "fuzz";
inline const std::string SENTINEL_TEXT = "left alone by every run\n";

[[noreturn]] inline void escape(const std::string &what) {
  std::fprintf(stderr, "%s: %s\n", who, what.c_str());
  std::abort();
}

inline void write_file(const std::string &p, const void *d, size_t n) {
  int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0)
    escape("cannot write " + p);
  const auto *c = static_cast<const uint8_t *>(d);
  while (n > 0) {
    ssize_t w = write(fd, c, n);
    if (w <= 0)
      escape("short write to " + p);
    c += w;
    n -= size_t(w);
  }
  close(fd);
}

inline std::string slurp(const std::string &p) {
  FILE *f = std::fopen(p.c_str(), "rb");
  if (!f)
    return "<missing>";
  std::string s;
  char tmp[4096];
  size_t r;
  while ((r = std::fread(tmp, 1, sizeof tmp, f)) > 0)
    s.append(tmp, r);
  std::fclose(f);
  return s;
}

inline std::set<std::string> names_in(const std::string &dir) {
  std::set<std::string> s;
  if (DIR *d = opendir(dir.c_str())) {
    while (dirent *e = readdir(d))
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
        s.insert(e->d_name);
    closedir(d);
  }
  return s;
}

inline std::string replace_all(std::string s, const std::string &from, const std::string &to) {
  for (size_t p = 0; (p = s.find(from, p)) != std::string::npos; p += to.size())
    s.replace(p, from.size(), to);
  return s;
}

// Extracted files may be read-only and directories may be deep.
inline void empty_dir(const std::string &dir) {
  namespace fs = std::filesystem;
  if (names_in(dir).empty())
    return;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    auto st = it->symlink_status(ec);
    if (!ec && fs::is_directory(st))
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  for (const auto &n : names_in(dir))
    fs::remove_all(dir + "/" + n, ec);
  if (!names_in(dir).empty())
    escape("cannot empty " + dir);
}

// A fresh directory under $TMPDIR; in memory (TMPDIR=/dev/shm) runs are
// several times faster.
inline std::string make_root() {
  const char *tmp = std::getenv("TMPDIR");
  std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/cartsift-fuzz-XXXXXX";
  if (!mkdtemp(tmpl.data()))
    escape("mkdtemp failed in " + tmpl);
  return tmpl;
}

} // namespace cartsift::fuzzscratch
