// --test: every entry and all file data read, each backup held against its
// catalog, nothing written.
#include <algorithm>
#include <bit>
#include <cstring>

#include <nlohmann/json.hpp>

#include "cli/cli.h"

namespace cartsift::cli {

namespace {

// splitmix64's finaliser: each input bit reaches every output bit.
uint64_t mix(uint64_t x) {
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
  return x ^ (x >> 31);
}

// Eight bytes a step, as every entry's name is hashed twice in a run.
uint64_t name_hash(const uni_str *s) {
  if (s == nullptr)
    return 0;
  const uint8_t *p = s->ustr.get();
  uint64_t h = s->len, w;
  size_t i = 0;
  for (; i + 8 <= s->len; i += 8) {
    std::memcpy(&w, p + i, 8);
    h = std::rotl((h ^ w) * 0x9e3779b97f4a7c15ull, 29);
  }
  w = 0;
  std::memcpy(&w, p + i, s->len - i);
  return mix(h ^ w);
}

// What the catalog repeats of each entry.
struct brief {
  uint64_t name, size;
  uint32_t mtime;
  uint8_t attrib;
};

brief brief_of(const uni_str *name, const entry_info &i) {
  return {name_hash(name), uint64_t(i.size), i.mtime, i.attrib};
}

// The first field in which the catalog's entry differs, or null.
const char *differing(const brief &cat, const brief &data) {
  return cat.name != data.name     ? "name"
         : cat.size != data.size   ? "length"
         : cat.mtime != data.mtime ? "time"
         : cat.attrib != data.attrib ? "attribute"
                                   : nullptr;
}

// A run of entries folded in order into one value: a backup of any size is
// held against its catalog in constant memory, and only when the two
// disagree are they gone through again side by side.
struct digest {
  uint64_t v = 0;
  size_t n = 0;
  void add(const brief &b) {
    v = mix(v + b.name);
    v = mix(v + b.size);
    v = mix(v + b.mtime);
    v = mix(v + b.attrib);
    n++;
  }
};

constexpr int MAX_FIELD_REPORTS = 10;

// The catalog from fd's position to its end marker or the first entry that
// cannot be read.
struct cat_scan {
  size_t n = 0;           // entries read
  int end = CH_END;       // get_cheader's code where the reading stopped
  bool same_head = false; // its first walked.n entries fold to walked's value
};

cat_scan scan_catalog(int fd, const digest &walked) {
  cat_scan s;
  digest d;
  cat_reader cat(fd, true);
  while (const cat_head *ch = cat.next()) {
    d.add(brief_of(ch->nm1.get(), cat.info()));
    if (d.n == walked.n)
      s.same_head = d.v == walked.v;
  }
  s.end = cat.code();
  s.n = d.n;
  return s;
}

// Walks a backup again, quietly, reading the catalog along: each of the
// first n entries against its catalog entry.
class side_by_side final : public walk_visitor {
public:
  side_by_side(int cat, size_t n, const std::string &img, int64_t off)
      : cat_(cat, true), n_(n), img_(img), off_(off) {}
  int others = 0; // differing entries past the reports

  void entry(walk_entry &e) override {
    const cat_head *ch = cat_.next();
    if (ch == nullptr) {
      n_ = k_; // it read the first time: the file changed meanwhile
      return;
    }
    const char *what =
        differing(brief_of(ch->nm1.get(), cat_.info()), brief_of(e.dh.nm1.get(), e.info));
    k_++;
    if (what && reports_++ < MAX_FIELD_REPORTS)
      rep.problem(img_, off_, "catalog", "catalog entry %zu differs from the data region in its %s",
                  k_, what);
    else if (what)
      others++;
  }
  bool more() const override { return k_ < n_; }

private:
  cat_reader cat_;
  size_t n_, k_ = 0;
  int reports_ = 0;
  const std::string &img_;
  int64_t off_;
};

class tester final : public everyday_walk {
public:
  using everyday_walk::everyday_walk;
  totals t;

  void entry(walk_entry &e) override {
    note_holes();
    if (e.backup != backup_) {
      backup_ = e.backup;
      first_ = e.off;
      walked_ = digest{};
      // A set that starts on a later cartridge starts inside its backup.
      partial_ = e.backup == 1 && set_.images.front().gap_before;
    }
    t.add(e);
    walked_.add(brief_of(e.dh.nm1.get(), e.info));
    if (file_error(e)) {
      place p = where(set_, e.off);
      rep.problem(p.img->path, p.off, "file error",
                  "%s: the backup program could not read it when the backup was made",
                  in_message(archive_path(e, opt_.raw_names)).c_str());
    }
    if (e.info.both_mtimes && !mtimes_agree(e.info)) {
      place p = where(set_, e.off);
      rep.problem(p.img->path, p.off, "dates",
                  "%s: its modification dates differ: %s in its OS description, %s in its DOS "
                  "description",
                  in_message(archive_path(e, opt_.raw_names)).c_str(),
                  utc_text(e.info.os_mtime).c_str(), utc_text(e.info.dos_mtime).c_str());
    }
  }

  data_use data(walk_entry &e) override {
    const int64_t got = img_pass(set_.sfd, e.avail);
    if (got < e.avail) {
      place p = where(set_, e.data + std::max<int64_t>(got, 0));
      rep.problem(p.img->path, p.off, "read", "%s: data cannot be read",
                  in_message(archive_path(e, opt_.raw_names)).c_str());
      return seek_to(set_.sfd, e.data) ? data_use::skip : data_use::failed;
    }
    if (e.avail < e.flen)
      damaged(e, archive_path(e, opt_.raw_names));
    return data_use::consumed;
  }

  void end_flag(const walk_entry &e) override {
    if (!partial_)
      check_catalog(e);
  }

  // Entries lost with a missing cartridge would make every later catalog
  // entry differ by position: such a backup is not held against it.
  void resumed(int64_t from, int64_t at) override {
    everyday_walk::resumed(from, at);
    partial_ = true;
  }

private:
  // The catalog follows the backup's last trailer at the next block
  // boundary of the image that holds it. In a compressed image offsets are
  // those of its inflated twin: an earlier backup's catalog lies in the
  // stream there, the last one's where the volume keeps it, stored after
  // the segments or in the stream after the data.
  void check_catalog(const walk_entry &e) {
    const set_place sp = set_locate(set_.sfd, e.data + e.flen + 17);
    const image_info &ii = set_.images[sp.part];
    const int64_t off = cat_after(sp.off + 1);
    if (!ii.compressed) {
      if (off >= ii.size)
        return;
      img_handle fp(img_open(ii.path.c_str()));
      if (fp.get() >= 0)
        hold(fp.get(), ii, off, off);
      return;
    }
    const int64_t base = set_base(set_.sfd, sp.part);
    const int64_t next =
        sp.part + 1 < set_.images.size() ? set_base(set_.sfd, sp.part + 1) : set_.total;
    const int64_t data_len =
        ii.cat_stored ? next - base : std::clamp<int64_t>(ii.vt.dataSz, 0, next - base);
    if (off - DATA_START >= data_len && ii.cat_stored) {
      img_handle fp(img_open(ii.path.c_str()));
      if (fp.get() >= 0)
        hold(fp.get(), ii, ii.cats, ii.cats);
      return;
    }
    // In the stream the walk is using, which then goes on from where it was.
    const int64_t rel = std::min(off - DATA_START, data_len);
    hold(set_.sfd, ii, DATA_START + rel, base + rel);
  }

  // The backup against the catalog at `at` in fd, an image of the set or
  // the set's stream; off places it in ii for the reports.
  void hold(int fd, const image_info &ii, int64_t off, int64_t at) {
    const bool in_stream = fd == set_.sfd;
    const int64_t was = img_seek(set_.sfd, 0, SEEK_CUR);
    if (was < 0 || !seek_to(fd, at))
      return;
    const cat_scan s = scan_catalog(fd, walked_);
    seek_to(set_.sfd, was);
    if (s.n == 0)
      return; // no catalog there after all
    const std::string &path = ii.path;
    if (!s.same_head) {
      // The stream stays with the walk; a catalog in it is read through a
      // second one.
      img_handle dup;
      if (in_stream)
        dup.reset(set_dup(set_.sfd));
      const int cat = in_stream ? dup.get() : fd;
      side_by_side v(cat, std::min(s.n, walked_.n), path, off);
      walk_rules rules;
      rules.drive_now = true;
      rules.go_on = true;
      rules.by_standard = true;
      if (cat >= 0 && seek_to(cat, at) && seek_to(set_.sfd, first_))
        walk_entries(set_.sfd, rules, v);
      seek_to(set_.sfd, was);
      if (v.others > 0)
        rep.problem(path, off, "catalog", "%d more catalog entries differ", v.others);
    }
    if (s.end != CH_END)
      rep.problem(path, off, "catalog", "catalog unreadable after %zu entries", s.n);
    else if (s.n != walked_.n)
      rep.problem(path, off, "catalog", "catalog holds %zu entries, the data region %zu", s.n,
                  walked_.n);
  }

  int backup_ = 0;
  bool partial_ = false;
  int64_t first_ = 0; // the backup's first entry
  digest walked_;     // its entries so far
};

} // namespace

int do_test(const options &o, const cart_set &s) {
  tester t(s, o);
  walk_set(s, t);
  set_inflate_all(s.sfd); // frames no entry led to are tested too
  t.note_holes();
  if (o.json) {
    t.t.json_summary(s);
  } else {
    std::fflush(stdout);
    textf(stderr, "%llu entries, %llu files, %llu bytes; %d problems\n",
                 static_cast<unsigned long long>(t.t.entries),
                 static_cast<unsigned long long>(t.t.files),
                 static_cast<unsigned long long>(t.t.bytes), rep.problems);
  }
  return rep.problems > 0 ? 1 : 0;
}

} // namespace cartsift::cli
