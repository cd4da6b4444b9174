// Writing one file from the image: its host path, the copy up to the
// catalog offset, and its time and read-only attribute.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "extract/extract.h"
#include "extract/write_full.h"

namespace cartsift {

namespace {

// Bytes mk_path_str needs for drv and path, terminator included.
size_t path_str_size(const uni_str *drv, const uni_str *path) {
  size_t nd = drv ? (size_t(drv->len) + 1) / 2 : 0;
  size_t n = nd;
  if (path)
    n += (nd > 0 ? 1 : 0) + (size_t(path->len) + 1) / 2;
  return n + 1;
}

// The name as the messages show it: low bytes up to the first zero one.
std::string shown_name(const uni_str *nm) {
  std::string s;
  if (nm)
    for (size_t i = 0; i < nm->len && nm->ustr[i] != 0; i += 2)
      s += static_cast<char>(nm->ustr[i]);
  return s;
}

// A separator byte inside one component must not become a directory level.
char host_char(uint8_t c, bool colon) {
  if (c == '/' || c == '\\' || (colon && c == ':'))
    return '_';
  return static_cast<char>(c);
}

bool dot_name(const std::string &s) { return s == "." || s == ".."; }

// Appends the components of a drive spec or path (split at zero characters,
// empty ones dropped) to host. False when one of them is "." or "..".
bool add_host_dirs(const uni_str *s, std::string &host) {
  if (!s)
    return true;
  std::string comp;
  auto flush = [&] {
    if (comp.empty())
      return true;
    if (dot_name(comp))
      return false;
    if (!host.empty())
      host += '/';
    host += comp;
    comp.clear();
    return true;
  };
  for (size_t i = 0; i < s->len; i += 2) {
    if (s->ustr[i] == 0) {
      if (!flush())
        return false;
    } else {
      comp += host_char(s->ustr[i], true);
    }
  }
  return flush();
}

// The name keeps its colons: only directory levels are adjusted.
bool host_name(const std::string &shown, std::string &name) {
  for (char c : shown)
    name += host_char(static_cast<uint8_t>(c), false);
  return !name.empty() && !dot_name(name);
}

// On Windows every level is made one it can hold; a colon kept in the name
// would write an alternate data stream, a device name the device. True
// when something changed.
bool windows_host_path(std::string &dirs, std::string &name) {
  if (!platform::WINDOWS)
    return false;
  bool changed = windows_name(&name);
  std::string out, comp;
  for (size_t i = 0; i <= dirs.size(); i++) {
    if (i < dirs.size() && dirs[i] != '/') {
      comp += dirs[i];
      continue;
    }
    changed |= windows_name(&comp);
    out += (out.empty() ? "" : "/") + comp;
    comp.clear();
  }
  if (!dirs.empty())
    dirs = out;
  return changed;
}

constexpr unsigned OWNER_WRITE = 0200;

// Truncation waits for the check: root is never refused by the permission
// bits, and a file left read-only by an earlier run must survive. *fresh
// is set when the file was made here with the mode 0600 exactly.
int open_output(const char *p, bool *fresh) {
  using namespace platform;
  *fresh = false;
  // A file we create is regular, empty and, unless the umask takes the
  // owner's write bit, writable: it needs none of the checks below.
  const unsigned mask = creation_mask();
  if (!(mask & OWNER_WRITE)) {
    int fd = open_file(cwd(), p, OPEN_RDWR | OPEN_CREATE | OPEN_EXCL | OPEN_NOFOLLOW, 0600);
    if (fd >= 0)
      *fresh = (mask & 0600) == 0;
    if (fd >= 0 || errno != EEXIST)
      return fd;
  }
  int fd = open_file(cwd(), p, OPEN_RDWR | OPEN_CREATE | OPEN_NOFOLLOW, 0600);
  if (fd < 0)
    return -1;
  file_info fi;
  // A new file is empty already; truncating it anyway would make ext4
  // flush it at close, as for a file rewritten in place.
  if (!stat_file(fd, &fi) || fi.kind != file_kind::regular || !fi.writable ||
      (fi.size != 0 && !platform::truncate(fd, 0))) {
    (void)close_file(fd);
    return -1;
  }
  return fd;
}

// set_fattrib, less the permission change when the file has the wanted
// mode already (made here as 0600, and not to become read-only).
int apply_fattrib(const char *name, const time_t *datetime, uint8_t attrib, bool is_0600) {
  int bits = 0;
  const platform::file_times ft{.access = *datetime, .modify = *datetime};
  if (!platform::set_times_at(platform::cwd(), name, ft))
    bits |= 0x1;
  const unsigned want = (attrib & 0x01) ? 0400 : 0600;
  if (!(is_0600 && want == 0600) && !platform::set_perms_at(platform::cwd(), name, want))
    bits |= 0x2;
  if (bits) {
    out("\nerror setting file: ");
    if (bits & 0x1)
      out("timestamp ");
    if (bits & 0x2)
      out("attributes");
  }
  return bits;
}

} // namespace

int do_extract(int fp, const uni_str *nm, int64_t len, int64_t cats,
               const time_t *t, uint8_t atrib, const uni_str *drv,
               const uni_str *path) {
  char *const b = reinterpret_cast<char *>(buf);
  std::string nmtext = shown_name(nm);
  std::string shown(b, strnlen(b, BUF_SIZE - 1));
  if (!shown.empty())
    shown += '\\';
  shown += nmtext;

  // Refusals come before anything is created or read, so the walk can skip
  // the data as for an unselected file.
  if (path_str_size(drv, path) > BUF_SIZE || shown.size() >= BUF_SIZE) {
    out("\nnot extracted, path and name too long: %.*s", int(BUF_SIZE - 1),
        shown.c_str());
    return XTRACT_REFUSED;
  }
  std::string hdir, hname;
  if (!add_host_dirs(drv, hdir) || !add_host_dirs(path, hdir) ||
      !host_name(nmtext, hname)) {
    out("\nnot extracted, unsafe path or name: %s", shown.c_str());
    return XTRACT_REFUSED;
  }

  const bool renamed = windows_host_path(hdir, hname);
  adjust_path(b);
  bool cached = false;
  if (make_dirs(hdir.data(), &cached) != 0) {
    out("\nfailed to create path %s", b);
    return XTRACT_NO_DIR;
  }
  const size_t dlen = strlen(b);
  size_t pl = dlen;
  if (pl > 0)
    b[pl++] = '\\';
  memcpy(b + pl, nmtext.data(), nmtext.size());
  b[pl + nmtext.size()] = '\0';
  std::string hfile = hdir.empty() ? hname : hdir + '/' + hname;

  int ret = XTRACT_OK;
  bool reti = false;
  int64_t wr = 0;
  std::string name; // set once the output is open: only then is it ours
  bool fresh = false;
  fd_guard fo(open_output(hfile.c_str(), &fresh));
  if (fo.get() < 0 && cached && (errno == ENOENT || errno == ENOTDIR)) {
    // The directory we knew of is gone: look again, as for a new one.
    forget_dirs();
    if (make_dirs(hdir.data(), &cached) != 0) {
      out("\nfailed to create path %.*s", int(dlen), b); // the name is not part of it
      return XTRACT_NO_DIR;
    }
    fo.reset(open_output(hfile.c_str(), &fresh));
  }
  if (fo.get() < 0) {
    out("\nfailed to open %s for output", b);
    ret = XTRACT_NO_OPEN;
  } else {
    name = hfile;
    if (renamed) {
      std::string shown_as = hfile;
      std::replace(shown_as.begin(), shown_as.end(), '/', '\\');
      out("\nname changed for Windows, written as %s", shown_as.c_str());
    }
  }
  int64_t coff = img_seek(fp, 0, SEEK_CUR);
  if (coff < 0) {
    out("\nfailed to get current input file position in do_extract()");
    ret = XTRACT_NO_OPEN;
  }

  // The catalog ends this image's data only when it is known and lies at or
  // after the file's data; a bound before the data would mean negative
  // chunks and asking the next image for more than the file has.
  bool bound = cats >= 0;
  if (ret == XTRACT_OK && bound && cats < coff) {
    out("\ncatalog offset 0x%lx lies before the file data at 0x%lx, taking "
        "the whole file from this image",
        x32(cats), x32(coff));
    bound = false;
  }

  if (ret == XTRACT_OK && wr < len) {
    // Chunks never cross the catalog offset: this image holds the data up
    // to it, and a file starting right on it still counts one empty chunk.
    int64_t here = len;
    if (bound && coff + len >= cats)
      here = cats - coff;
    chunk_copy c;
    if (here > 0)
      c = copy_chunks(fp, fo.get(), 0, here);
    else
      c.chunks = 1;
    wr = c.wr;
    if (!c.ok) {
      chunk_dots(0, c.chunks - 1);
      ret = XTRACT_IO;
      out("\nfile io error");
      chunk_dots(c.chunks - 1, c.chunks);
    } else {
      chunk_dots(0, c.chunks);
      if (bound && wr < len && coff + wr == cats) {
        out("\nextracted %lx bytes from current file", x32(wr));
        if (next_image_data(fo.get(), len - wr) != 0)
          ret = XTRACT_NEXT_IMAGE;
        reti = true;
      }
    }
  }
  fo.reset(); // closed first, so the last write cannot move the timestamp

  if (!reti) {
    out("\nextracted 0x%lx data bytes", x32(wr));
    if (!name.empty())
      apply_fattrib(name.c_str(), t, atrib, fresh);
  } else if (ret == XTRACT_OK) {
    apply_fattrib(name.c_str(), t, atrib, fresh);
  }
  return ret;
}

int set_fattrib(const char *name, const time_t *datetime, uint8_t attrib) {
  return apply_fattrib(name, datetime, attrib, false);
}

} // namespace cartsift
