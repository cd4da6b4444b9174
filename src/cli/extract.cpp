// --extract: the selected entries written below the output directory, or
// their data to standard output; with --manifest, the digests of what was
// written, taken as it was written.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>

#include "cli/cli.h"
#include "extract/write_full.h"

namespace cartsift::cli {

namespace {

// Directories are entered one level at a time, never through a symbolic
// link, so none, whether in the image or planted beside it, leads out of
// the output directory. The open levels are kept: the files of one
// directory come one after another.
class tree {
public:
  explicit tree(const platform::dir &root) : root_(root) {}

  // The directory of parts[0..n); made when make is set. Null on failure.
  // It stays open until the next call.
  const platform::dir *dir(const std::vector<std::string> &parts, size_t n, bool make) {
    size_t common = 0;
    while (common < names_.size() && common < n && names_[common] == parts[common])
      common++;
    names_.resize(common);
    dirs_.resize(common);
    made_.resize(common);
    while (names_.size() < n) {
      const platform::dir &at = dirs_.empty() ? root_ : dirs_.back();
      const std::string &c = parts[names_.size()];
      platform::dir d = platform::open_dir(at, c.c_str(), true);
      bool made = false;
      // Another run extracting here may make it first: that is success too.
      if (!d.ok() && errno == ENOENT && make) {
        made = platform::make_dir(at, c.c_str());
        if (made || errno == EEXIST)
          d = platform::open_dir(at, c.c_str(), true);
      }
      if (!d.ok())
        return nullptr;
      dirs_.push_back(std::move(d));
      names_.push_back(c);
      made_.push_back(made);
    }
    return n == 0 ? &root_ : &dirs_.back();
  }

  // The directory last returned was made by this run: nothing in it can
  // be older than the run.
  bool made_here() const { return !made_.empty() && made_.size() == names_.size() && made_.back(); }

private:
  const platform::dir &root_;
  std::vector<std::string> names_;
  std::vector<platform::dir> dirs_;
  std::vector<bool> made_;
};

std::string joined(const std::vector<std::string> &parts) {
  std::string s;
  for (const auto &p : parts)
    s += (s.empty() ? "" : "/") + p;
  return s;
}

// Keeps an entry's own key apart from the name keys in one filter.
constexpr uint64_t SELF_KEY = 0x9E3779B97F4A7C15;

// Counts what a writing run will write, for the progress line.
class sizer final : public walk_visitor {
public:
  explicit sizer(const options &o) : opt_(o) {}
  uint64_t bytes = 0, files = 0;
  void entry(walk_entry &e) override {
    if (kind_of(e) == kind::file &&
        ((e.avail == e.flen && !file_error(e)) || opt_.keep_partial) &&
        selected(opt_, e, archive_path(e, opt_.raw_names))) {
      files++;
      bytes += uint64_t(e.flen);
    }
  }

private:
  const options &opt_;
};

class extractor final : public everyday_walk {
public:
  extractor(const cart_set &s, const options &o, const platform::dir &root, progress &pr,
            outcome_log *log)
      : everyday_walk(s, o), tree_(root), pr_(pr), log_(log), dg_(o.hashes) {}

  bool stdout_failed = false;

  void entry(walk_entry &e) override {
    note_holes();
    outcome_ = "";
    path_ = archive_path(e, opt_.raw_names);
    shown_ = shown(path_);
    named_ = in_message(path_);
    want_ = selected(opt_, e, path_);
    const bool safe = host_parts(e, opt_.raw_names, &parts_);
    const int renamed = safe && opt_.windows_names && !opt_.to_stdout ? windows_parts(&parts_) : -1;
    if (safe && !opt_.to_stdout)
      leave_dirs();
    if (passed_by(e, path_, want_, safe, log_)) {
      want_ = false;
      return;
    }
    if (renamed >= 0)
      tell_renamed(e, size_t(renamed));
    if (kind_of(e) != kind::file) {
      if (opt_.to_stdout)
        return;
      const platform::dir *d = tree_.dir(parts_, parts_.size(), true);
      if (d == nullptr) {
        rep.skip("%s: cannot make the directory: %s", named_.c_str(), std::strerror(errno));
        tell(e, fate::failed, 0);
      } else {
        rep.wrote = true;
        set_dos_attrib(*d, e);
        tell(e, fate::written, 0, joined(parts_) + "/");
        dir_time dt{parts_, joined(parts_), e.info.mtime};
        // Every drive spec of a backup comes before the first drive's
        // entries: drives wait for the end, and there are few.
        if (kind_of(e) == kind::drive) {
          std::erase_if(drives_, [&](const dir_time &x) { return x.path == dt.path; });
          drives_.push_back(std::move(dt));
        } else {
          open_dirs_.push_back(std::move(dt));
        }
      }
      if (opt_.verbose)
        textf(stdout, "%s\n", shown_.c_str());
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

  // The directories still open when the walk ends, and the drives.
  void finish() {
    parts_.clear();
    leave_dirs();
    open_dirs_ = std::move(drives_);
    leave_dirs();
  }

private:
  using trailer_state = walk_entry::trailer_state;

  const char *bad_outcome(const walk_entry &) override { return outcome_; }

  // A directory's time is set when the walk leaves it, after every change
  // inside it, so that none has to wait for the end of the run.
  void leave_dirs() {
    const std::string here = joined(parts_) + "/";
    while (!open_dirs_.empty() && here.compare(0, open_dirs_.back().path.size() + 1,
                                               open_dirs_.back().path + "/") != 0) {
      const dir_time &d = open_dirs_.back();
      const platform::dir *dd = tree_.dir(d.parts, d.parts.size(), false);
      if (dd == nullptr || !platform::set_times(*dd, {.access = d.t, .modify = d.t}))
        rep.warn("%s: cannot set its time", in_message(d.path).c_str());
      open_dirs_.pop_back();
    }
  }

  // A name Windows cannot hold is reported with the one it is written
  // under, once: the entries below a renamed directory, which its own
  // entry reported, are not reported again.
  void tell_renamed(const walk_entry &e, size_t last) {
    const std::string here = joined(parts_) + "/";
    while (!renamed_dirs_.empty() &&
           here.compare(0, renamed_dirs_.back().size() + 1, renamed_dirs_.back() + "/") != 0)
      renamed_dirs_.pop_back();
    const std::vector<std::string> upto(parts_.begin(), parts_.begin() + ptrdiff_t(last) + 1);
    const std::string dir = joined(upto);
    if (last + 1 < parts_.size() &&
        std::find(renamed_dirs_.begin(), renamed_dirs_.end(), dir) != renamed_dirs_.end())
      return;
    rep.skip("%s: Windows cannot hold the name; written as %s%s", named_.c_str(),
             in_message(joined(parts_)).c_str(), kind_of(e) == kind::file ? "" : "/");
    if (last + 1 < parts_.size() || kind_of(e) != kind::file)
      renamed_dirs_.push_back(last + 1 < parts_.size() ? dir : joined(parts_));
  }

  // Tells the log what became of the entry; rel is where it was written.
  void tell(const walk_entry &e, fate f, int64_t bytes, const std::string &rel = "",
            bool partial = false, const std::vector<std::string> *hex = nullptr) {
    cli::tell(log_, e, path_, f, bytes, rel, partial, hex);
  }

  // The DOS attributes: on Windows the file's own, always; elsewhere as
  // user.DOSATTRIB, where --xattrs asks for it and the file system takes it.
  // f is a file's descriptor or a directory.
  template <class T> void set_dos_attrib(const T &f, const walk_entry &e) {
    if (platform::WINDOWS) {
      if (!platform::set_dos_attrib(f, dos_attrib(e)))
        rep.warn("%s: cannot set its attributes: %s", named_.c_str(), std::strerror(errno));
      return;
    }
    if (!opt_.xattrs || xattrs_refused_)
      return;
    if (!platform::set_dos_attrib(f, dos_attrib(e))) {
      // Once: a file system that refuses one refuses them all.
      xattrs_refused_ = true;
      rep.warn("%s: cannot keep the DOS attributes as user.DOSATTRIB here: %s", named_.c_str(),
               std::strerror(errno));
    }
  }

  // Whether the entry's size held: its trailer stands right after the data.
  bool size_held(walk_entry &e) {
    if (e.avail == e.flen && e.trailer == trailer_state::unknown)
      get_trailer(set_.sfd, e);
    if (e.trailer == trailer_state::ok || e.trailer == trailer_state::unknown)
      return true;
    bad_size_ = true;
    outcome_ = opt_.keep_partial ? "; written as it stands (--keep-partial)"
                                 : "; not written (--keep-partial keeps it)";
    return opt_.keep_partial;
  }

  data_use write_file(walk_entry &e) {
    bad_size_ = false;
    if (left_out(e, path_, log_, "written"))
      return data_use::skip;
    if (opt_.to_stdout)
      return size_held(e) ? to_stdout(e) : data_use::skip;
    const std::string &name = parts_.back();
    const platform::dir *d = tree_.dir(parts_, parts_.size() - 1, true);
    if (d == nullptr) {
      rep.skip("%s: cannot make its directory: %s", named_.c_str(), std::strerror(errno));
      tell(e, fate::failed, 0);
      return data_use::skip;
    }
    // Two keys a file: the path written and the entry's own. Only a later
    // copy of the same entry replaces a file of this run; one of another
    // entry under the same name (C: and a directory C_, or a name changed
    // for Windows into one that is there) is kept as any existing file.
    const std::string rel = joined(parts_);
    const uint64_t key = std::hash<std::string>{}(rel);
    const uint64_t self = std::hash<std::string>{}(path_) ^ SELF_KEY;
    platform::file_info fi;
    int64_t replaces = -1; // the size of the file of ours it replaces
    // In a directory of its own making, only a path this run has written
    // can be there: the log is told of it.
    const bool seen = written_.maybe(key);
    const bool again = seen && written_.maybe(self);
    if (!case_twin_ok(e, *d, name, rel))
      return data_use::skip;
    if ((!tree_.made_here() || (seen && log_)) &&
        platform::stat_at(*d, name.c_str(), &fi, false)) {
      if (fi.kind == platform::file_kind::directory) {
        rep.skip("%s: a directory of that name exists, kept", named_.c_str());
        tell(e, fate::failed, 0);
        return data_use::skip;
      }
      // Replaced, never written through: a link in its place is replaced
      // itself, and a read-only file goes as a whole. A later backup of the
      // same volume brings the newer copy, which replaces what this run
      // wrote as tar replaces an earlier member: a path seen_paths has seen
      // is taken for one of ours only when the file's change time is no
      // older than this run's first file.
      const bool ours = fi.kind == platform::file_kind::regular && again && have_start_ &&
                        fi.changed_ns >= start_ns_;
      if (!opt_.overwrite && !ours) {
        rep.skip("%s: exists, kept (--overwrite replaces it)", named_.c_str());
        tell(e, fate::failed, 0);
        return data_use::skip;
      }
      if (ours)
        replaces = fi.size;
    }

    const int fd = out_.open(*d);
    if (fd < 0) {
      rep.skip("%s: cannot create: %s", named_.c_str(), std::strerror(errno));
      tell(e, fate::failed, 0);
      return data_use::skip;
    }
    rep.wrote = true;
    if (!have_start_ && platform::stat_file(fd, &fi)) {
      start_ns_ = fi.changed_ns;
      have_start_ = true;
    }
    int64_t got = 0;
    bool rfail = false;
    if (!dg_.empty()) {
      // The digests from the bytes on their way out: no second read.
      dg_.start();
      got = pass_data(
          set_.sfd, e.avail, &dg_,
          [fd](const uint8_t *p, size_t n) { return write_full(fd, p, n); }, &rfail);
    } else if (e.avail > 0) {
      got = img_copy(set_.sfd, fd, e.avail, &rfail);
    }
    if (got < e.avail) {
      const int err = errno;
      out_.discard();
      if (rfail) {
        place p = where(set_, e.data + got);
        rep.problem(p.img->path, p.off, "read", "%s: data cannot be read, not written",
                    named_.c_str());
        tell(e, fate::damaged, got);
      } else {
        rep.skip("%s: cannot write: %s", named_.c_str(), std::strerror(err));
        tell(e, fate::failed, 0);
      }
      return seek_to(set_.sfd, e.data) ? data_use::skip : data_use::failed;
    }
    if (!size_held(e)) {
      out_.discard();
      tell(e, fate::damaged, got);
      return data_use::consumed;
    }
    const int64_t mt = e.info.mtime, at = e.info.atime ? e.info.atime : mt;
    const int64_t ct = e.info.ctime ? int64_t(e.info.ctime) : -1;
    if (!platform::set_times(fd, {.access = at, .modify = mt, .create = ct}))
      rep.warn("%s: cannot set its time: %s", named_.c_str(), std::strerror(errno));
    // Before the mode: a read-only file takes no attribute of its owner's.
    set_dos_attrib(fd, e);
    if ((e.info.attrib & 0x01) && !platform::set_perms(fd, 0444 & ~platform::creation_mask()))
      rep.warn("%s: cannot make it read-only: %s", named_.c_str(), std::strerror(errno));
    // Nothing is replaced that was not meant to be: whatever the look
    // above did not see (a file made since, a name Windows takes for the
    // same as one written, README.TXT for readme.txt) is kept as existing.
    const bool replace = opt_.overwrite || replaces >= 0 || (tree_.made_here() && again);
    if (!out_.commit(*d, name.c_str(), !replace)) {
      if (errno == EEXIST)
        rep.skip("%s: exists, kept (--overwrite replaces it)", named_.c_str());
      else
        rep.skip("%s: cannot write: %s", named_.c_str(), std::strerror(errno));
      tell(e, fate::failed, 0);
      return data_use::consumed;
    }
    written_.add(key);
    written_.add(self);
    if (fold_twins_)
      folded_.add(std::hash<std::string>{}(ascii_lowered(rel)));
    if (log_ && replaces >= 0)
      log_->replaced(rel, replaces);
    const bool partial = file_error(e) || e.avail < e.flen || bad_size_;
    tell(e, file_error(e) ? fate::file_error : partial ? fate::damaged : fate::written, got, rel,
         partial, dg_.empty() ? nullptr : &dg_.finish());
    if (opt_.verbose)
      textf(stdout, "%s\n", shown_.c_str());
    pr_.add(uint64_t(got), 1);
    return data_use::consumed;
  }

  data_use to_stdout(walk_entry &e) {
    std::fflush(stdout);
    bool rfail = false;
    int64_t got = e.avail > 0 ? img_copy(set_.sfd, platform::STDOUT, e.avail, &rfail) : 0;
    if (got < e.avail) {
      if (!rfail) {
        textf(stderr, "cartsift: cannot write standard output: %s\n",
                     std::strerror(errno));
        stdout_failed = true;
        return data_use::failed;
      }
      place p = where(set_, e.data + got);
      rep.problem(p.img->path, p.off, "read", "%s: data cannot be read", named_.c_str());
      return seek_to(set_.sfd, e.data) ? data_use::skip : data_use::failed;
    }
    if (opt_.verbose)
      textf(stderr, "%s\n", shown_.c_str());
    pr_.add(uint64_t(got), 1);
    return data_use::consumed;
  }

  struct dir_time {
    std::vector<std::string> parts;
    std::string path; // the parts joined
    uint32_t t;
  };

  tree tree_;
  progress &pr_;
  outcome_log *log_;
  digests dg_;
  bool bad_size_ = false;       // the entry's trailer is not after its data
  bool xattrs_refused_ = false; // warned once
  std::string path_, shown_, named_; // shown_ as listings print it, named_ as messages do
  std::vector<std::string> parts_;
  bool want_ = false;
  const char *outcome_ = "";
  std::vector<dir_time> open_dirs_; // the made directories the walk is inside, outermost first
  std::vector<dir_time> drives_;
  std::vector<std::string> renamed_dirs_; // reported, and the walk is inside them
  // False, and the entry reported, when Windows would find the name taken
  // by a file of this run that differs only in letter case (README.TXT
  // beside Readme.txt): kept, as an existing file is, unless --overwrite,
  // which replaces the twin.
  bool case_twin_ok(const walk_entry &e, const platform::dir &d, const std::string &name,
                    const std::string &rel) {
    if (!fold_twins_ || !folded_.maybe(std::hash<std::string>{}(ascii_lowered(rel))))
      return true;
    const std::string want = ascii_lowered(name);
    std::string twin;
    platform::read_dir(d, [&](const char *n) {
      if (name != n && ascii_lowered(n) == want)
        twin = n;
      return twin.empty();
    });
    if (twin.empty())
      return true;
    if (opt_.overwrite && platform::unlink_at(d, twin.c_str()))
      return true;
    if (opt_.overwrite)
      rep.skip("%s: cannot replace %s: %s", named_.c_str(), twin.c_str(), std::strerror(errno));
    else
      rep.skip("%s: exists, kept (--overwrite replaces it)", named_.c_str());
    tell(e, fate::failed, 0);
    return false;
  }

  seen_paths written_;
  // A tree bound for Windows but written elsewhere: names that differ only
  // in letter case are one name there, and are treated so here.
  const bool fold_twins_ = opt_.windows_names && !platform::WINDOWS;
  seen_paths folded_;
  int64_t start_ns_ = 0; // the change time of this run's first file
  bool have_start_ = false;
  part_file out_;
};

// mkdir -p of the output directory; the user's own path may hold links.
bool make_root(const std::string &dir) {
  std::string p;
  size_t i = 0;
  while (i <= dir.size()) {
    size_t j = dir.find_first_of(PATH_SEPS, i);
    if (j == std::string::npos)
      j = dir.size();
    p = dir.substr(0, j);
    // A drive (C:) is there, and cannot be made.
    const bool drive = WINDOWS_BUILD && !p.empty() && p.back() == ':';
    if (!p.empty() && !drive && !platform::make_dir(platform::cwd(), p.c_str()) &&
        errno != EEXIST)
      return false;
    i = j + 1;
  }
  return true;
}

} // namespace

bool progress_wanted(const options &o, const cart_set &s, uint64_t *bytes, uint64_t *files) {
  *bytes = *files = 0;
  if (o.quiet || !platform::is_terminal(platform::STDERR))
    return false;
  sizer z(o);
  walk_set(s, z);
  *bytes = z.bytes;
  *files = z.files;
  return true;
}

int extract_into(const options &o, const cart_set &s, const platform::dir &root,
                 outcome_log *log) {
  uint64_t bytes, files;
  const bool show = progress_wanted(o, s, &bytes, &files);
  bool stdout_failed;
  {
    interrupt_guard signals;
    progress pr(show, bytes, files);
    extractor x(s, o, root, pr, log);
    walk_set(s, x);
    x.finish();
    x.note_holes();
    stdout_failed = x.stdout_failed;
    pr.done();
  }
  if (stdout_failed)
    return 2; // -O: the data stream is what was asked for, and it is broken
  return rep.problems + rep.skipped > 0 ? 1 : 0;
}

int do_extract(const options &o, const cart_set &s) {
  platform::dir root;
  if (!o.to_stdout) {
    if (!make_root(o.dir)) {
      textf(stderr, "cartsift: %s: cannot make the directory: %s\n", o.dir.c_str(),
                   std::strerror(errno));
      return 2;
    }
    root = platform::open_dir(platform::cwd(), o.dir.c_str(), false);
    if (!root.ok()) {
      textf(stderr, "cartsift: %s: %s\n", o.dir.c_str(), std::strerror(errno));
      return 2;
    }
    // Refused before anything is read, rather than one message a file.
    if (!platform::can_write(root)) {
      textf(stderr, "cartsift: %s: cannot write there: %s\n", o.dir.c_str(),
                   std::strerror(errno));
      return 2;
    }
  }
  if (o.manifest.empty())
    return extract_into(o, s, root, nullptr);
  interrupt_guard signals; // the manifest's temporary file too
  manifest_log m(o);
  if (!m.open(o.manifest))
    return 2;
  const int status = extract_into(o, s, root, &m);
  return m.commit() ? status : std::max(status, 1);
}

} // namespace cartsift::cli
