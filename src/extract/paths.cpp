// Output paths: the display text of an entry's directory and the host
// directories it is written below.
#include <cstring>
#include <string>
#include <unordered_set>

#include "extract/extract.h"
#include "platform/platform.h"

namespace cartsift {

int mk_path_str(const uni_str *drv, const uni_str *path) {
  char *const b = reinterpret_cast<char *>(buf);
  size_t pos = 0;
  bool full = false;
  auto put = [&](char c) {
    if (pos < BUF_SIZE - 1)
      b[pos++] = c;
    else
      full = true;
  };

  size_t nd = 0;
  if (drv) {
    // A zero drive character is copied as it is and so ends the text early;
    // the host path does not depend on it.
    for (size_t i = 0; i < drv->len; i += 2, ++nd)
      put(static_cast<char>(drv->ustr[i]));
  }
  if (path) {
    if (nd > 0)
      put('\\');
    for (size_t i = 0; i < path->len; i += 2) {
      uint8_t c = path->ustr[i];
      put(c == 0 ? '\\' : static_cast<char>(c));
    }
  }
  b[pos] = '\0';
  return full ? -1 : static_cast<int>(strlen(b));
}

void adjust_path(char *ch) {
  for (; *ch; ++ch)
    if (*ch == ':')
      *ch = '_';
}

int validate_dir(const char *p) {
  if (*p == '\0')
    return 0;
  platform::file_info fi;
  if (platform::stat_at(platform::cwd(), p, &fi, true))
    return fi.kind == platform::file_kind::directory ? 0 : 1;
  // Any failed status query counts as absence; mkdir then tells the truth.
  return platform::make_dir(platform::cwd(), p) ? 0 : 2;
}

int create_path(char *p) {
  size_t n = strlen(p);
  int ret = 0;
  for (size_t i = 0; i < n && ret == 0; ++i) {
    if (p[i] != '/')
      continue;
    p[i] = '\0';
    ret = validate_dir(p);
    p[i] = '/';
  }
  if (ret == 0)
    ret = validate_dir(p);
  return ret;
}

namespace {

// Output directories known to exist, so that the files of one directory
// cost no status query each. The knowledge goes stale when a directory is
// removed behind our back or the current directory changes between runs in
// one process; the output file's open then fails and the extractor calls
// forget_dirs() and asks again. Bounded, whatever the image holds.
constexpr size_t KNOWN_MAX = 4096;
std::unordered_set<std::string> known;

} // namespace

int make_dirs(char *p, bool *cached) {
  *cached = false;
  if (*p == '\0')
    return 0;
  if (known.count(p) != 0) {
    *cached = true;
    return 0;
  }
  int r = validate_dir(p);
  if (r != 0)
    r = create_path(p);
  if (r == 0) {
    if (known.size() >= KNOWN_MAX)
      known.clear();
    known.insert(p);
  }
  return r;
}

void forget_dirs() { known.clear(); }

} // namespace cartsift
