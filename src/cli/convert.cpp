// --convert: the selected entries of the set written into one archive, pax
// or ZIP, by libarchive, in one pass: each file's data goes from the set
// into its member as it is read, and nothing is copied to disk on the way.
#include <archive.h>
#include <archive_entry.h>

#include <cerrno>
#include <cstring>
#include <functional>

#include "cli/cli.h"
#include "extract/write_full.h"

namespace cartsift::cli {

namespace {

// The archive's kind: the format, and for pax the compression.
struct out_kind {
  arc_format format = arc_format::none;
  const char *filter = nullptr; // "gzip", "xz", "zstd"
};

bool ends_with(const std::string &s, const char *tail) {
  const size_t n = std::strlen(tail);
  if (s.size() < n)
    return false;
  for (size_t k = 0; k < n; k++)
    if (ascii_lower(uint8_t(s[s.size() - n + k])) != uint8_t(tail[k]))
      return false;
  return true;
}

// From OUT's name, or --format; false when neither tells.
bool kind_of_out(const options &o, out_kind *k) {
  static const struct {
    const char *tail;
    arc_format f;
    const char *filter;
  } NAMES[] = {{".zip", arc_format::zip, nullptr},     {".tar", arc_format::pax, nullptr},
               {".tar.gz", arc_format::pax, "gzip"},   {".tgz", arc_format::pax, "gzip"},
               {".tar.xz", arc_format::pax, "xz"},     {".tar.zst", arc_format::pax, "zstd"}};
  for (const auto &n : NAMES)
    if (o.out != "-" && ends_with(o.out, n.tail))
      *k = {n.f, n.filter};
  if (o.format != arc_format::none) {
    if (o.format != k->format)
      k->filter = nullptr;
    k->format = o.format;
  }
  if (o.out == "-" && k->format == arc_format::none)
    k->format = arc_format::pax;
  return k->format != arc_format::none;
}

// libarchive's ZIP writer marks every member as made on Unix and keeps no
// DOS attributes, and has no way to be told otherwise; libzip has, but holds
// every entry in memory until it closes the archive (64 MiB for 100,000
// files) and cannot write to a pipe. (libarchive holds the central
// directory's records in memory: some 10 MiB for 100,000 members.) So the
// records of the central directory, which libarchive writes last, get the
// MS-DOS host and the entry's DOS attribute byte as they pass on their way
// out: the rest of each record, the Unix mode in the attributes' high half
// included, stays as libarchive wrote it. The record's layout, from its
// signature:
//   0  "PK\1\2"   4 version made by (5: host system)   28 name length
//   30 extra length   32 comment length   38 external attributes (low byte DOS)
//   46 name, extra, comment
class cd_patch {
public:
  std::vector<uint8_t> attrs; // each member's, in order
  void feed(uint8_t *p, size_t n) {
    for (size_t i = 0; i < n && !done_;) {
      if (skip_ > 0) {
        const size_t k = size_t(std::min<uint64_t>(skip_, n - i));
        skip_ -= k;
        i += k;
        continue;
      }
      uint8_t &b = p[i++];
      if (at_ < 4 && b != uint8_t("PK\1\2"[at_])) {
        done_ = true; // the end records
        break;
      }
      if (at_ == 5)
        b = 0; // MS-DOS
      else if (at_ == 38 && rec_ < attrs.size())
        b = attrs[rec_];
      else if (at_ >= 28 && at_ < 34)
        len_[at_ - 28] = b;
      if (++at_ == 46) {
        skip_ = uint64_t(le16(len_)) + le16(len_ + 2) + le16(len_ + 4);
        at_ = 0;
        rec_++;
      }
    }
  }

private:
  size_t at_ = 0, rec_ = 0;
  uint64_t skip_ = 0;
  uint8_t len_[6] = {};
  bool done_ = false;
};

// Where libarchive's blocks go: the output, the ZIP's central directory
// through the patch.
struct sink {
  int fd = -1;
  int64_t pos = 0;    // bytes written
  int64_t cd_at = -1; // ZIP: where the central directory starts, once known
  cd_patch cd;
  std::vector<uint8_t> copy;
};

la_ssize_t on_write(struct archive *a, void *client, const void *p, size_t n) {
  sink &s = *static_cast<sink *>(client);
  const uint8_t *b = static_cast<const uint8_t *>(p);
  if (s.cd_at >= 0 && s.pos + int64_t(n) > s.cd_at) {
    s.copy.assign(b, b + n);
    const size_t from = size_t(std::max<int64_t>(s.cd_at - s.pos, 0));
    s.cd.feed(s.copy.data() + from, n - from);
    b = s.copy.data();
  }
  if (!write_full(s.fd, b, n)) {
    const int err = errno ? errno : EIO;
    archive_set_error(a, err, "%s", std::strerror(err));
    return -1;
  }
  s.pos += int64_t(n);
  return la_ssize_t(n);
}

class converter final : public everyday_walk {
public:
  converter(const cart_set &s, const options &o, struct archive *a, sink &out, bool zip,
            progress &pr, outcome_log *log)
      : everyday_walk(s, o), a_(a), out_(out), zip_(zip), pr_(pr), log_(log), dg_(o.hashes),
        ae_(archive_entry_new()) {
    if (ae_ == nullptr)
      throw std::bad_alloc();
  }
  ~converter() override { archive_entry_free(ae_); }
  converter(const converter &) = delete;
  converter &operator=(const converter &) = delete;

  bool broken = false; // the archive cannot be written: nothing more goes in

  void entry(walk_entry &e) override {
    note_holes();
    outcome_ = "";
    path_ = archive_path(e, opt_.raw_names);
    named_ = in_message(path_);
    want_ = selected(opt_, e, path_);
    const bool safe = host_parts(e, opt_.raw_names, &parts_);
    if (passed_by(e, path_, want_, safe, log_)) {
      want_ = false;
      return;
    }
    member_.clear();
    for (const auto &p : parts_)
      member_ += (member_.empty() ? "" : "/") + p;
    if (kind_of(e) != kind::file) {
      if (header(e, 0))
        tell(e, fate::written, 0, member_ + "/");
      return;
    }
    if (e.flen == 0)
      add_file(e); // no data, so no data() call
  }

  data_use data(walk_entry &e) override {
    if (!want_ || broken)
      return data_use::skip;
    return add_file(e);
  }

  bool more() const override { return !broken; }

private:
  using trailer_state = walk_entry::trailer_state;

  const char *bad_outcome(const walk_entry &) override { return outcome_; }

  void tell(const walk_entry &e, fate f, int64_t bytes, const std::string &rel = "",
            bool partial = false, const std::vector<std::string> *hex = nullptr) {
    cli::tell(log_, e, path_, f, bytes, rel, partial, hex);
  }

  // The member's header: name, kind, mode, dates and DOS attributes.
  bool header(const walk_entry &e, int64_t size) {
    archive_entry_clear(ae_);
    archive_entry_set_pathname_utf8(ae_, member_.c_str());
    const bool file = kind_of(e) == kind::file;
    archive_entry_set_filetype(ae_, file ? AE_IFREG : AE_IFDIR);
    archive_entry_set_perm(ae_, !file ? 0755 : (e.info.attrib & 0x01) ? 0444 : 0644);
    archive_entry_set_size(ae_, size);
    archive_entry_set_mtime(ae_, e.info.mtime, 0);
    if (e.info.atime)
      archive_entry_set_atime(ae_, e.info.atime, 0);
    const uint8_t dos = dos_attrib(e);
    if (zip_) {
      // The ZIP writer puts the change time in the extended timestamp's
      // third place, which readers take for the creation time.
      if (e.info.ctime)
        archive_entry_set_ctime(ae_, e.info.ctime, 0);
      out_.cd.attrs.push_back(dos);
    } else {
      if (e.info.ctime)
        archive_entry_set_birthtime(ae_, e.info.ctime, 0);
      const std::string v = dos_attrib_text(dos);
      archive_entry_xattr_add_entry(ae_, "user.DOSATTRIB", v.data(), v.size());
    }
    if (archive_write_header(a_, ae_) < ARCHIVE_WARN)
      return fail();
    if (opt_.verbose)
      textf(opt_.out == "-" ? stderr : stdout, "%s\n", shown(path_).c_str());
    return true;
  }

  bool fail() {
    if (!broken)
      textf(stderr, "cartsift: %s: cannot write the archive: %s\n",
                   opt_.out == "-" ? "standard output" : opt_.out.c_str(),
                   archive_error_string(a_) ? archive_error_string(a_) : "unknown error");
    broken = true;
    return false;
  }

  data_use add_file(walk_entry &e) {
    if (left_out(e, path_, log_, "archived"))
      return data_use::skip;
    // The header gives the size before the data comes: whether the size
    // holds is known first.
    if (e.avail == e.flen && e.trailer == trailer_state::unknown)
      get_trailer(set_.sfd, e);
    const bool bad_size = e.trailer == trailer_state::bad || e.trailer == trailer_state::missing;
    if (bad_size) {
      outcome_ = opt_.keep_partial ? "; archived as it stands (--keep-partial)"
                                   : "; not archived (--keep-partial keeps it)";
      if (!opt_.keep_partial) {
        tell(e, fate::damaged, e.avail);
        return data_use::skip;
      }
    }
    if (!header(e, e.avail))
      return data_use::failed;
    bool rfail = false;
    dg_.start();
    const int64_t got = pass_data(
        set_.sfd, e.avail, dg_.empty() ? nullptr : &dg_,
        [this](const uint8_t *p, size_t n) { return archive_write_data(a_, p, n) == la_ssize_t(n); },
        &rfail);
    if (got < e.avail && !rfail) {
      fail();
      return data_use::failed;
    }
    if (got < e.avail) {
      // The header has promised the size: the member is filled out.
      place p = where(set_, e.data + got);
      rep.problem(p.img->path, p.off, "read",
                  "%s: data cannot be read; the rest of its member is zeros", named_.c_str());
      static const uint8_t zeros[4096] = {};
      for (int64_t left = e.avail - got; left > 0;) {
        const size_t k = size_t(std::min<int64_t>(left, sizeof zeros));
        if (archive_write_data(a_, zeros, k) != la_ssize_t(k)) {
          fail();
          return data_use::failed;
        }
        left -= int64_t(k);
      }
      tell(e, fate::damaged, got);
    }
    if (archive_write_finish_entry(a_) < ARCHIVE_WARN) {
      fail();
      return data_use::failed;
    }
    pr_.add(uint64_t(got), 1);
    if (got == e.avail && log_) {
      // A later copy of a member replaces it when the archive is unpacked.
      const uint64_t h = std::hash<std::string>{}(member_);
      if (members_.maybe(h))
        log_->replaced(member_, 0);
      members_.add(h);
      const bool partial = file_error(e) || e.avail < e.flen || bad_size;
      tell(e, file_error(e) ? fate::file_error : partial ? fate::damaged : fate::written, got,
           member_, partial, dg_.empty() ? nullptr : &dg_.finish());
    }
    if (got < e.avail)
      return seek_to(set_.sfd, e.data) ? data_use::skip : data_use::failed;
    return data_use::consumed;
  }

  struct archive *a_;
  sink &out_;
  bool zip_;
  progress &pr_;
  outcome_log *log_;
  digests dg_;
  struct archive_entry *ae_;
  std::string path_, named_, member_;
  std::vector<std::string> parts_;
  bool want_ = false;
  const char *outcome_ = "";
  seen_paths members_; // the files written, with --manifest
};

// Owns the libarchive writer.
struct archive_writer {
  struct archive *a = archive_write_new();
  ~archive_writer() {
    if (a)
      archive_write_free(a);
  }
};

// Sets the writer up for the kind; false after its one message.
bool set_up(struct archive *a, const out_kind &k, const options &o) {
  int r = k.format == arc_format::zip ? archive_write_set_format_zip(a)
                                      : archive_write_set_format_pax(a);
  // Only the SCHILY form of the extended attributes, which GNU tar reads
  // too and does not warn of.
  if (r == ARCHIVE_OK && k.format == arc_format::pax)
    r = archive_write_set_format_option(a, "pax", "xattrheader", "SCHILY");
  if (r == ARCHIVE_OK && k.filter)
    r = archive_write_add_filter_by_name(a, k.filter);
  // Writes of a useful size. A tar ends on a whole 10240-byte record as tar
  // writes it; a compressed stream or a ZIP ends where it ends, as zeros
  // after it would be taken for more.
  if (r == ARCHIVE_OK)
    r = archive_write_set_bytes_per_block(a, 64 << 10);
  if (r == ARCHIVE_OK)
    r = archive_write_set_bytes_in_last_block(
        a, k.format == arc_format::pax && !k.filter ? 10240 : 1);
  if (r != ARCHIVE_OK) {
    textf(stderr, "cartsift: %s: cannot write this kind of archive: %s\n", o.out.c_str(),
                 archive_error_string(a) ? archive_error_string(a) : "unknown error");
    return false;
  }
  return true;
}

} // namespace

int do_convert(const options &o) {
  out_kind k;
  if (!kind_of_out(o, &k)) {
    textf(stderr,
                 "cartsift: %s: cannot tell the archive's kind from its name (.zip, .tar, "
                 ".tar.gz, .tgz, .tar.xz, .tar.zst); give --format=zip or --format=pax\n",
                 o.out.c_str());
    return 2;
  }
  // libarchive converts names through the locale's character set, and in
  // the C locale it cannot take UTF-8 at all. The conversion runs as UTF-8
  // on this thread alone; the process keeps its own locale.
  platform::utf8_conversions utf8;
  if (!utf8.ok()) {
    text(stderr, "cartsift: no UTF-8 locale (C.UTF-8) to write names in\n");
    return 2;
  }
  archive_writer w;
  if (w.a == nullptr)
    throw std::bad_alloc();
  if (!set_up(w.a, k, o))
    return 2;

  // The output is known to be writable before anything is read.
  interrupt_guard signals;
  const bool to_stdout = o.out == "-";
  platform::dir dir;
  std::string name;
  part_file part;
  sink out;
  if (to_stdout) {
    if (platform::is_terminal(platform::STDOUT)) {
      text(stderr, "cartsift: an archive is not written to a terminal; redirect standard "
                   "output\n");
      return 2;
    }
    std::fflush(stdout);
    out.fd = platform::STDOUT;
  } else {
    dir = open_parent(o.out, &name);
    platform::file_info fi;
    if (dir.ok() && !o.overwrite && platform::stat_at(dir, name.c_str(), &fi, true)) {
      textf(stderr, "cartsift: %s: exists, kept (--overwrite replaces it)\n",
                   o.out.c_str());
      return 2;
    }
    if (!dir.ok() || (out.fd = part.open(dir)) < 0) {
      textf(stderr, "cartsift: %s: cannot write: %s\n", o.out.c_str(),
                   std::strerror(errno));
      return 2;
    }
  }
  manifest_log m(o);
  if (!o.manifest.empty() && !m.open(o.manifest))
    return 2;
  std::unique_ptr<cart_set> s = open_set(o);
  if (!s)
    return 2;
  if (archive_write_open2(w.a, &out, nullptr, on_write, nullptr, nullptr) != ARCHIVE_OK) {
    textf(stderr, "cartsift: %s: cannot write: %s\n", o.out.c_str(),
                 archive_error_string(w.a));
    return 2;
  }

  uint64_t bytes, files;
  const bool show = progress_wanted(o, *s, &bytes, &files);
  progress pr(show, bytes, files);
  converter c(*s, o, w.a, out, k.format == arc_format::zip, pr,
              o.manifest.empty() ? nullptr : &m);
  walk_set(*s, c);
  c.note_holes();
  bool ok = !c.broken;
  if (ok) {
    // What the format has written so far, blocked or not yet: the central
    // directory comes next.
    if (k.format == arc_format::zip)
      out.cd_at = archive_filter_bytes(w.a, 0);
    ok = archive_write_close(w.a) == ARCHIVE_OK;
    if (!ok)
      textf(stderr, "cartsift: %s: cannot write the archive: %s\n",
                   to_stdout ? "standard output" : o.out.c_str(),
                   archive_error_string(w.a));
  }
  pr.done();
  if (!ok)
    return 2; // the archive is not there: nothing was written
  if (!to_stdout && !part.commit(dir, name.c_str(), !o.overwrite)) {
    textf(stderr, "cartsift: %s: cannot write: %s\n", o.out.c_str(),
                 std::strerror(errno));
    return 2;
  }
  rep.wrote = true;
  if (!o.manifest.empty() && !m.commit())
    return 1;
  return rep.problems + rep.skipped > 0 ? 1 : 0;
}

} // namespace cartsift::cli
