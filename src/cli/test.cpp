// --test: every entry and all file data read, each backup held against its
// catalog, nothing written.
#include <algorithm>
#include <cstring>

#include <nlohmann/json.hpp>

#include "cli/cli.h"

namespace cartsift::cli {

namespace {

uint64_t name_hash(const uni_str *s) {
  uint64_t h = 0xcbf29ce484222325ull; // FNV-1a
  if (s)
    for (size_t i = 0; i < s->len; i++)
      h = (h ^ s->ustr[i]) * 0x100000001b3ull;
  return h;
}

// What the catalog repeats of each entry, kept small: a backup may hold
// hundreds of thousands of entries.
struct brief {
  uint64_t name;
  uint32_t flen, t1;
  uint8_t attrib;
};

constexpr int MAX_FIELD_REPORTS = 10;

class tester final : public everyday_walk {
public:
  using everyday_walk::everyday_walk;
  totals t;

  void entry(walk_entry &e) override {
    note_holes();
    if (e.backup != backup_) {
      backup_ = e.backup;
      seen_.clear();
      // A set that starts on a later cartridge starts inside its backup.
      partial_ = e.backup == 1 && set_.images.front().gap_before;
    }
    t.add(e);
    seen_.push_back({name_hash(e.dh.nm1.get()), e.flen, ent_time1(e.dh.unknw1),
                     ent_attrib(e.dh.unknw1)});
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
    const int64_t off = ((sp.off + 1) / BLOCK_SIZE + 1) * BLOCK_SIZE;
    if (!ii.compressed) {
      if (off >= ii.size)
        return;
      fd_guard fp(img_open(ii.path.c_str()));
      if (fp.get() >= 0 && seek_to(fp.get(), off))
        check_catalog_at(fp.get(), ii, off);
      return;
    }
    const int64_t base = set_base(set_.sfd, sp.part);
    const int64_t next =
        sp.part + 1 < set_.images.size() ? set_base(set_.sfd, sp.part + 1) : set_.total;
    const int64_t data_len =
        ii.cat_stored ? next - base : std::clamp<int64_t>(ii.vt.dataSz, 0, next - base);
    if (off - DATA_START >= data_len && ii.cat_stored) {
      fd_guard fp(img_open(ii.path.c_str()));
      if (fp.get() >= 0 && seek_to(fp.get(), ii.cats))
        check_catalog_at(fp.get(), ii, ii.cats);
      return;
    }
    // Read through the stream the walk is using, which then goes on from
    // where it was.
    const int64_t rel = std::min(off - DATA_START, data_len);
    const int64_t was = img_seek(set_.sfd, 0, SEEK_CUR);
    if (was >= 0 && seek_to(set_.sfd, base + rel))
      check_catalog_at(set_.sfd, ii, DATA_START + rel);
    seek_to(set_.sfd, was);
  }

  void check_catalog_at(int fd, const image_info &ii, int64_t off) {
    place p{&ii, off};
    cat_head ch;
    size_t n = 0;
    int field_reports = 0, more = 0;
    int r;
    while ((r = get_cheader(fd, &ch)) > CH_END) {
      if (n < seen_.size()) {
        const brief &b = seen_[n];
        const char *what = name_hash(ch.nm1.get()) != b.name            ? "name"
                           : ent_flen(ch.unknw1) != b.flen              ? "length"
                           : ent_time1(ch.unknw1) != b.t1               ? "time"
                           : ent_attrib(ch.unknw1) != b.attrib          ? "attribute"
                                                                        : nullptr;
        if (what && field_reports++ < MAX_FIELD_REPORTS)
          rep.problem(p.img->path, off, "catalog",
                      "catalog entry %zu differs from the data region in its %s", n + 1, what);
        else if (what)
          more++;
      }
      n++;
      free_chead(&ch);
    }
    free_chead(&ch);
    if (more > 0)
      rep.problem(p.img->path, off, "catalog", "%d more catalog entries differ", more);
    if (n == 0)
      return; // no catalog there after all
    if (r != 1)
      rep.problem(p.img->path, off, "catalog", "catalog unreadable after %zu entries", n);
    else if (n != seen_.size())
      rep.problem(p.img->path, off, "catalog",
                  "catalog holds %zu entries, the data region %zu", n, seen_.size());
  }

  int backup_ = 0;
  bool partial_ = false;
  std::vector<brief> seen_;
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
    std::fprintf(stderr, "%llu entries, %llu files, %llu bytes; %d problems\n",
                 static_cast<unsigned long long>(t.t.entries),
                 static_cast<unsigned long long>(t.t.files),
                 static_cast<unsigned long long>(t.t.bytes), rep.problems);
  }
  return rep.problems > 0 ? 1 : 0;
}

} // namespace cartsift::cli
