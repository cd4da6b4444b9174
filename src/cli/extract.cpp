// --extract: the selected entries written below the output directory, or
// their data to standard output.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <unordered_set>

#include "cli/cli.h"

namespace cartsift::cli {

namespace {

mode_t umask_now() {
  static const mode_t m = [] {
    mode_t u = umask(0);
    umask(u);
    return u;
  }();
  return m;
}

// Directories are entered one level at a time with O_NOFOLLOW, so no
// symbolic link, whether in the image or planted beside it, leads out of
// the output directory. The open levels are kept: the files of one
// directory come one after another.
class tree {
public:
  explicit tree(int root) : root_(root) {}

  // The directory of parts[0..n); made when make is set. -1 on failure.
  int dir(const std::vector<std::string> &parts, size_t n, bool make) {
    size_t common = 0;
    while (common < names_.size() && common < n && names_[common] == parts[common])
      common++;
    names_.resize(common);
    fds_.resize(common);
    while (names_.size() < n) {
      const int at = fds_.empty() ? root_ : fds_.back().get();
      const std::string &c = parts[names_.size()];
      int fd = openat(at, c.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (fd < 0 && errno == ENOENT && make && mkdirat(at, c.c_str(), 0777) == 0)
        fd = openat(at, c.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (fd < 0)
        return -1;
      fds_.emplace_back(fd);
      names_.push_back(c);
    }
    return n == 0 ? root_ : fds_.back().get();
  }

private:
  int root_;
  std::vector<std::string> names_;
  std::vector<fd_guard> fds_;
};

std::string joined(const std::vector<std::string> &parts) {
  std::string s;
  for (const auto &p : parts)
    s += (s.empty() ? "" : "/") + p;
  return s;
}

// Counts what --extract will write, for the progress line.
class sizer final : public walk_visitor {
public:
  explicit sizer(const options &o) : opt_(o) {}
  uint64_t bytes = 0, files = 0;
  void entry(walk_entry &e) override {
    if (kind_of(e) == kind::file && (e.avail == e.flen || opt_.keep_partial) &&
        selected(opt_, archive_path(e, opt_.raw_names))) {
      files++;
      bytes += e.flen;
    }
  }

private:
  const options &opt_;
};

class extractor final : public everyday_walk {
public:
  extractor(const cart_set &s, const options &o, int root, progress &pr)
      : everyday_walk(s, o), tree_(root), pr_(pr) {}

  struct dir_time {
    std::vector<std::string> parts;
    uint32_t t;
  };
  std::vector<dir_time> dirs;

  void entry(walk_entry &e) override {
    note_holes();
    path_ = archive_path(e, opt_.raw_names);
    shown_ = shown(path_);
    want_ = selected(opt_, path_);
    if (!want_) {
      if (e.flen > 0)
        damaged(e, path_);
      return;
    }
    if (!host_parts(e, opt_.raw_names, &parts_)) {
      rep.skip("%s: unsafe name, skipped", shown_.c_str());
      want_ = false;
      return;
    }
    if (kind_of(e) != kind::file) {
      if (opt_.to_stdout)
        return;
      if (tree_.dir(parts_, parts_.size(), true) < 0)
        rep.skip("%s: cannot make the directory: %s", shown_.c_str(), std::strerror(errno));
      else
        dirs.push_back({parts_, ent_time1(e.dh.unknw1)});
      if (opt_.verbose)
        std::printf("%s\n", shown_.c_str());
      return;
    }
    if (e.flen == 0)
      write_file(e); // no data, so no data() call
  }

  data_use data(walk_entry &e) override {
    if (!want_)
      return data_use::skip;
    return write_file(e);
  }

private:
  data_use write_file(walk_entry &e) {
    const bool hurt = damaged(e, path_);
    if (hurt && !opt_.keep_partial)
      return data_use::skip;
    if (opt_.to_stdout)
      return to_stdout(e);
    const std::string &name = parts_.back();
    const int dfd = tree_.dir(parts_, parts_.size() - 1, true);
    if (dfd < 0) {
      rep.skip("%s: cannot make its directory: %s", shown_.c_str(), std::strerror(errno));
      return data_use::skip;
    }
    int fd = openat(dfd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    const uint64_t key = std::hash<std::string>{}(joined(parts_));
    // A later backup of the same volume brings the newer copy: what this
    // run wrote itself is replaced as tar replaces an earlier member.
    if (fd < 0 && errno == EEXIST) {
      if (!opt_.overwrite && written_.count(key) == 0) {
        rep.skip("%s: exists, kept (--overwrite replaces it)", shown_.c_str());
        return data_use::skip;
      }
      // Replaced, not written through: a read-only file or a link in its
      // place is removed first.
      if (unlinkat(dfd, name.c_str(), 0) == 0)
        fd = openat(dfd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    }
    if (fd < 0) {
      rep.skip("%s: cannot create: %s", shown_.c_str(), std::strerror(errno));
      return data_use::skip;
    }
    fd_guard out(fd);
    int64_t got = 0;
    bool rfail = false;
    if (e.avail > 0)
      got = img_copy(set_.sfd, fd, e.avail, &rfail);
    if (got < e.avail) {
      const int err = errno;
      out.reset();
      unlinkat(dfd, name.c_str(), 0);
      if (rfail) {
        place p = where(set_, e.data + got);
        rep.problem(p.img->path, p.off, "read", "%s: data cannot be read, not written",
                    shown_.c_str());
      } else {
        rep.skip("%s: cannot write: %s", shown_.c_str(), std::strerror(err));
      }
      return seek_to(set_.sfd, e.data) ? data_use::skip : data_use::failed;
    }
    const uint32_t t = ent_time1(e.dh.unknw1);
    const struct timespec ts[2] = {{time_t(t), 0}, {time_t(t), 0}};
    if (futimens(fd, ts) != 0)
      rep.warn("%s: cannot set its time: %s", shown_.c_str(), std::strerror(errno));
    if ((ent_attrib(e.dh.unknw1) & 0x01) && fchmod(fd, 0444 & ~umask_now()) != 0)
      rep.warn("%s: cannot make it read-only: %s", shown_.c_str(), std::strerror(errno));
    if (::close(out.release()) != 0) {
      rep.skip("%s: cannot write: %s", shown_.c_str(), std::strerror(errno));
      unlinkat(dfd, name.c_str(), 0);
      return data_use::consumed;
    }
    written_.insert(key);
    if (opt_.verbose)
      std::printf("%s\n", shown_.c_str());
    pr_.add(uint64_t(got), 1);
    return data_use::consumed;
  }

  data_use to_stdout(walk_entry &e) {
    std::fflush(stdout);
    bool rfail = false;
    int64_t got = e.avail > 0 ? img_copy(set_.sfd, STDOUT_FILENO, e.avail, &rfail) : 0;
    if (got < e.avail) {
      if (!rfail) {
        std::fprintf(stderr, "cartsift: cannot write standard output: %s\n",
                     std::strerror(errno));
        return data_use::failed;
      }
      place p = where(set_, e.data + got);
      rep.problem(p.img->path, p.off, "read", "%s: data cannot be read", shown_.c_str());
      return seek_to(set_.sfd, e.data) ? data_use::skip : data_use::failed;
    }
    if (opt_.verbose)
      std::fprintf(stderr, "%s\n", shown_.c_str());
    pr_.add(uint64_t(got), 1);
    return data_use::consumed;
  }

  tree tree_;
  progress &pr_;
  std::string path_, shown_; // shown_: as messages print it
  std::vector<std::string> parts_;
  bool want_ = false;
  std::unordered_set<uint64_t> written_; // host paths of this run, hashed: sets can be large
};

// mkdir -p of the output directory; the user's own path may hold links.
bool make_root(const std::string &dir) {
  std::string p;
  size_t i = 0;
  while (i <= dir.size()) {
    size_t j = dir.find('/', i);
    if (j == std::string::npos)
      j = dir.size();
    p = dir.substr(0, j);
    if (!p.empty() && mkdir(p.c_str(), 0777) != 0 && errno != EEXIST)
      return false;
    i = j + 1;
  }
  return true;
}

} // namespace

int do_extract(const options &o, const cart_set &s) {
  uint64_t bytes = 0, files = 0;
  const bool show = !o.quiet && isatty(STDERR_FILENO);
  if (show) {
    sizer z(o);
    walk_set(s, z);
    bytes = z.bytes;
    files = z.files;
  }
  fd_guard root;
  if (!o.to_stdout) {
    if (!make_root(o.dir)) {
      std::fprintf(stderr, "cartsift: %s: cannot make the directory: %s\n", o.dir.c_str(),
                   std::strerror(errno));
      return 2;
    }
    root.reset(open(o.dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (root.get() < 0) {
      std::fprintf(stderr, "cartsift: %s: %s\n", o.dir.c_str(), std::strerror(errno));
      return 2;
    }
  }
  int status = 0;
  {
    progress pr(show, bytes, files);
    extractor x(s, o, root.get(), pr);
    walk_result r = walk_set(s, x);
    x.note_holes();
    if (r.code == -3)
      status = 2; // standard output failed
    pr.done();
    // Deepest first, so that setting a directory's time comes after every
    // change inside it.
    std::stable_sort(x.dirs.begin(), x.dirs.end(),
                     [](const auto &a, const auto &b) { return a.parts.size() > b.parts.size(); });
    tree t(root.get());
    for (const auto &d : x.dirs) {
      int fd = t.dir(d.parts, d.parts.size(), false);
      const struct timespec ts[2] = {{time_t(d.t), 0}, {time_t(d.t), 0}};
      if (fd < 0 || futimens(fd, ts) != 0)
        rep.warn("%s: cannot set its time", shown(joined(d.parts)).c_str());
    }
  }
  if (status == 0 && rep.problems + rep.skipped > 0)
    status = 1;
  return status;
}

} // namespace cartsift::cli
