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

} // namespace

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
  auto next_backup = [&](int64_t from) {
    int64_t at = fnd_sig(fp, from, DIR_SIG);
    if (!go_to(at))
      return false;
    d = std::make_unique<drives>();
    backup++;
    return true;
  };
  auto finish = [&] {
    v.done(e);
    free_dhead(&e.dh);
  };

  for (;;) {
    int64_t pos = img_seek(fp, 0, SEEK_CUR);
    if (pos < 0)
      break;
    res.off = pos;
    int r = get_dheader(fp, &e.dh);
    if (r != 0) {
      res.code = r;
      if (!rules.go_on)
        break;
      if (r == 1) { // the entries end here; another backup may follow
        if (!next_backup(pos + 73))
          break;
        continue;
      }
      int64_t at = fnd_sig(fp, pos + 1, DIR_SIG);
      v.unreadable(pos, r, at);
      if (!go_to(at))
        break;
      continue;
    }
    res.code = 0;
    const uint8_t *u1 = e.dh.unknw1;
    e.cnt = ++res.cnt;
    e.backup = backup;
    e.off = pos;
    e.data = img_seek(fp, 0, SEEK_CUR);
    e.flen = ent_flen(u1);
    e.plen = ent_plen(u1);
    e.pflg = ent_pflg(u1);
    // Only the everyday walk looks at barriers; the classic one reads on
    // and finds out at the trailer, and a status query per entry is not free.
    const int64_t run_end = rules.go_on ? img_run_end(fp, e.data) : INT64_MAX;
    e.avail = std::clamp<int64_t>(run_end - e.data, 0, e.flen);

    if (rules.drive_now)
      d->apply(e, v);
    e.drive = d->current();
    v.entry(e);

    bool skip = e.flen > 0;
    if (e.flen > 0) {
      data_use x = v.data(e);
      if (x == data_use::failed) {
        res.code = -3;
        break;
      }
      skip = x == data_use::skip;
    }
    if (skip && img_seek(fp, e.flen, SEEK_CUR) < 0) {
      v.skip_failed();
      res.code = -3;
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

    if (e.pflg & PF_END) {
      v.end_flag(e);
      res.code = 0;
      if (!rules.go_on)
        break;
      finish();
      if (!next_backup(e.data + e.flen))
        break;
      continue;
    }

    int64_t n = img_read(fp, buf, 18);
    if (n < 18 || le32(buf) != FILE_SIG) {
      v.bad_trailer(e, img_seek(fp, 0, SEEK_CUR), buf, n);
      res.code = -4;
      if (!rules.go_on)
        break;
      finish();
      if (!go_to(fnd_sig(fp, e.data + e.flen, DIR_SIG)))
        break;
      continue;
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
      res.code = -5;
      break;
    }
    finish();
  }
  free_dhead(&e.dh);
  return res;
}

} // namespace cartsift
