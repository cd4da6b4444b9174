// The entry walk: steps from entry to entry, keeps the backed-up drive,
// checks trailers and resynchronises on the next DIR_SIG.
#include <algorithm>

#include "walks/walks.h"

namespace cartsift {

namespace {

struct drives {
  uni_ptr drv[MAX_DRV];
  uint8_t ndrv = 0;
  uint8_t cdrv = 0;  // only ever grows within a backup
  uint8_t lrflg = 0; // flags of the last root-level entry

  const uni_str *current() const { return ndrv > 0 ? drv[cdrv].get() : nullptr; }

  void apply(const walk_entry &e, walk_visitor &v) {
    if (e.pflg & PF_DRIVE) {
      if (e.pflg & PF_NEW) {
        if (ndrv < MAX_DRV) {
          drv[ndrv++] = dup_uni_str(*e.dh.nm1);
        } else {
          drv[MAX_DRV - 1] = dup_uni_str(*e.dh.nm1);
          v.drive_overflow();
        }
      }
      if (e.pflg & PF_LAST)
        v.last_drive(ndrv, current());
    } else if (e.plen == 4) { // root level: a PF_LAST before means the next drive
      if (lrflg & PF_LAST) {
        if (int(cdrv) < int(ndrv) - 1) {
          cdrv++;
          v.drive_change(current());
        } else {
          v.drive_change(nullptr);
        }
      }
      lrflg = e.pflg;
    }
  }
};

using trailer_state = walk_entry::trailer_state;

walk_end end_of(dh_code r) {
  switch (r) {
  case DH_END: return walk_end::end_marker;
  case DH_NAME: return walk_end::bad_name;
  case DH_NOCLOSE: return walk_end::no_close;
  default: return walk_end::not_entry;
  }
}

constexpr int64_t TRAILER_SIZE = 18;

trailer_state read_trailer(int fp, uint8_t *t, int64_t *n) {
  *n = img_read(fp, t, TRAILER_SIZE);
  if (*n < TRAILER_SIZE)
    return trailer_state::missing;
  return le32(t) == FILE_SIG ? trailer_state::ok : trailer_state::bad;
}

// The entry at fp's position: by the standard first when the rules ask,
// else, or when it does not read that way, by the fixed layout.
dh_code read_entry(int fp, bool by_standard, dir_head &dh, entry_info &info) {
  if (by_standard) {
    const int64_t at = img_seek(fp, 0, SEEK_CUR);
    if (at >= 0 && get_dentry_std(fp, &dh, &info))
      return DH_OK;
    if (at < 0 || !seek_to(fp, at))
      return DH_SHORT;
  }
  const dh_code r = get_dheader(fp, &dh);
  if (r == DH_OK)
    info = fixed_info(dh.unknw1);
  return r;
}

// An entry at `at` whose header reads and whose trailer stands where its
// size says. Leaves the position anywhere.
bool reads_whole(int fp, int64_t at, bool by_standard) {
  dir_head dh;
  entry_info info;
  if (!seek_to(fp, at) || read_entry(fp, by_standard, dh, info) != DH_OK)
    return false;
  const int64_t data = img_seek(fp, 0, SEEK_CUR);
  const int64_t flen = info.size;
  uint8_t t[TRAILER_SIZE];
  int64_t n;
  return data >= 0 && seek_to(fp, data + flen) && read_trailer(fp, t, &n) == trailer_state::ok;
}

// Where to go on after an entry whose trailer is not where its size says.
// The size may be overstated, so the entries after it can lie inside the
// bytes it claims; there, only one that reads whole is believed (file data
// may hold the signature). Past them, the first signature, as before.
int64_t resync(int fp, const walk_entry &e, bool by_standard) {
  const int64_t end = e.data + e.flen;
  for (int64_t at = fnd_sig(fp, e.data, DIR_SIG); at >= 0 && at < end;
       at = fnd_sig(fp, at + 1, DIR_SIG))
    if (reads_whole(fp, at, by_standard))
      return at;
  return fnd_sig(fp, end, DIR_SIG);
}

} // namespace

void get_trailer(int fp, walk_entry &e) {
  uint8_t t[TRAILER_SIZE];
  int64_t n = 0;
  const int64_t here = img_seek(fp, 0, SEEK_CUR);
  e.trailer = seek_to(fp, e.data + e.flen) ? read_trailer(fp, t, &n) : trailer_state::missing;
  if (here < 0 || !seek_to(fp, here))
    e.trailer = trailer_state::missing;
}

int classic_code(walk_end end) {
  switch (end) {
  case walk_end::whole: return 0;
  case walk_end::end_marker: return 1;
  case walk_end::no_start:
  case walk_end::not_entry: return -1;
  case walk_end::bad_name: return -2;
  case walk_end::no_close:
  case walk_end::stopped:
  case walk_end::skip_failed: return -3;
  case walk_end::bad_trailer: return -4;
  case walk_end::seek_failed: return -5;
  }
  return -1;
}

walk_result walk_entries(int fp, const walk_rules &rules, walk_visitor &v) {
  walk_result res;
  walk_entry e;
  auto d = std::make_unique<drives>();
  int backup = 1;
  int64_t total = -1;
  if (rules.go_on) {
    int64_t here = img_seek(fp, 0, SEEK_CUR);
    total = img_seek(fp, 0, SEEK_END);
    if (here < 0 || !seek_to(fp, here))
      return res;
  }

  // go_on: continue at the first entry at or after from; false when none.
  auto go_to = [&](int64_t at) { return at >= 0 && seek_to(fp, at); };
  auto next_backup = [&](int64_t at) {
    if (!go_to(at))
      return false;
    d = std::make_unique<drives>();
    backup++;
    return true;
  };
  // The entry's names stay, for the next one to be read into.
  auto finish = [&] { v.done(e); };

  for (;;) {
    int64_t pos = img_seek(fp, 0, SEEK_CUR);
    if (pos < 0)
      break;
    res.off = pos;
    const dh_code r = read_entry(fp, rules.by_standard, e.dh, e.info);
    if (r != DH_OK) {
      res.end = end_of(r);
      if (!rules.go_on)
        break;
      if (r == DH_END) { // the entries end here; another backup may follow
        if (!next_backup(fnd_sig(fp, pos + 73, DIR_SIG)))
          break;
        continue;
      }
      int64_t at = fnd_sig(fp, pos + 1, DIR_SIG);
      v.unreadable(pos, r, at);
      if (!go_to(at))
        break;
      continue;
    }
    res.end = walk_end::whole;
    const uint8_t *u1 = e.dh.unknw1;
    e.cnt = ++res.cnt;
    e.backup = backup;
    e.off = pos;
    e.data = img_seek(fp, 0, SEEK_CUR);
    e.flen = e.info.size;
    e.plen = ent_plen(u1);
    e.pflg = ent_pflg(u1);
    // Only the everyday walk looks at barriers; the classic one reads on
    // and finds out at the trailer, and a status query per entry is not free.
    const int64_t run_end = rules.go_on ? img_run_end(fp, e.data) : INT64_MAX;
    e.avail = std::clamp<int64_t>(run_end - e.data, 0, e.flen);

    e.trailer = trailer_state::unknown;

    if (rules.drive_now)
      d->apply(e, v);
    e.drive = d->current();
    v.entry(e);
    if (!v.more())
      break;

    bool skip = e.flen > 0;
    if (e.flen > 0) {
      data_use x = v.data(e);
      if (x == data_use::failed) {
        res.end = walk_end::stopped;
        break;
      }
      skip = x == data_use::skip;
    }
    if (skip && img_seek(fp, e.flen, SEEK_CUR) < 0) {
      v.skip_failed();
      res.end = walk_end::skip_failed;
      break;
    }
    if (!rules.drive_now)
      d->apply(e, v);

    if (rules.go_on && e.avail < e.flen) {
      // The data stops at a missing cartridge or the end of the set.
      finish();
      int64_t at = run_end < total ? fnd_sig(fp, run_end, DIR_SIG) : -1;
      if (run_end < total)
        v.resumed(run_end, at);
      if (!go_to(at))
        break;
      continue;
    }

    if (rules.go_on) {
      // A face that writes may have looked already, before keeping what it wrote.
      if (e.trailer == trailer_state::unknown)
        get_trailer(fp, e);
      if (e.trailer != trailer_state::ok) {
        v.bad_trailer(e, e.data + e.flen, nullptr, 0);
        const bool last = e.pflg & PF_END;
        const int64_t at = resync(fp, e, rules.by_standard);
        finish();
        if (!(last ? next_backup(at) : go_to(at)))
          break;
        continue;
      }
      if (!seek_to(fp, e.data + e.flen + TRAILER_SIZE)) {
        v.seek_failed();
        res.end = walk_end::seek_failed;
        break;
      }
      if (e.pflg & PF_END) {
        v.end_flag(e);
        finish();
        if (!next_backup(fnd_sig(fp, e.data + e.flen, DIR_SIG)))
          break;
        continue;
      }
    } else {
      if (e.pflg & PF_END) {
        v.end_flag(e);
        break;
      }
      int64_t n = img_read(fp, buf, TRAILER_SIZE);
      if (n < TRAILER_SIZE || le32(buf) != FILE_SIG) {
        v.bad_trailer(e, img_seek(fp, 0, SEEK_CUR), buf, n);
        res.end = walk_end::bad_trailer;
        break;
      }
    }

    // Entries are packed byte to byte; anything else before the next
    // signature is a gap to step over, never a reason to go back.
    int64_t expected = img_seek(fp, 0, SEEK_CUR);
    int64_t next = expected;
    int64_t found = fnd_sig(fp, expected, DIR_SIG);
    if (found > 0 && found > expected) {
      const int64_t barrier = img_run_end(fp, e.off);
      if (rules.go_on && expected >= barrier && barrier < total)
        v.resumed(barrier, found);
      else
        v.skip_ahead(expected, found);
      next = found;
    }
    if (expected < 0 || !seek_to(fp, next)) {
      v.seek_failed();
      res.end = walk_end::seek_failed;
      break;
    }
    finish();
  }
  free_dhead(&e.dh);
  return res;
}

} // namespace cartsift
