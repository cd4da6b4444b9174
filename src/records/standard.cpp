// Entries read as the QIC-113 standard lays them out: the fixed portion,
// then the data descriptions one after another.
#include <algorithm>
#include <cstring>

#include "records/records.h"

namespace cartsift {

namespace {

constexpr int64_t MAX_HEAD = 64 << 10; // bytes of an entry header, at most
constexpr int MAX_DESCS = 16;
constexpr size_t DIR_FIXED = 19; // DIR_SIG to the first description
constexpr size_t CAT_FIXED = 15; // the same without DIR_SIG
constexpr size_t OS_STRUCT = 28; // attributes, created, accessed, modified
constexpr size_t DOS_STRUCT = 9; // attribute byte, modified
// Far past any cartridge, and far enough below 2^63 that no offset plus a
// size can overflow: a size beyond it is not believed.
constexpr uint64_t MAX_SIZE = uint64_t(1) << 56;

bool names_file(uint16_t id) {
  switch (id) {
  case DESC_WIN95: case DESC_NT: case DESC_OS2: case DESC_UNIX:
  case DESC_NOVELL2: case DESC_NOVELL3: case DESC_NOVELL4:
    return true;
  default:
    return false;
  }
}
bool has_dates(uint16_t id) { return id == DESC_WIN95 || id == DESC_NT || id == DESC_OS2; }
uint32_t date(const uint8_t *p) {
  const uint32_t t = le32(p);
  return t == 0xFFFFFFFF ? 0 : t;
}

// The descriptions of one entry as they are read. Names go straight into
// the record's own buffers, which the last entry left.
class desc_reader {
public:
  desc_reader(int fp, uni_ptr &os, uni_ptr &dos, uni_ptr &vendor)
      : fp_(fp), os_(os), dos_(dos), vendor_(vendor) {}

  // One description at at, which must end by limit; false when it cannot.
  bool read(int64_t &at, int64_t limit) {
    uint8_t h[12];
    if (limit - at < 14 || img_read(fp_, h, sizeof h) != int64_t(sizeof h))
      return false;
    const uint16_t id = le16(h), ssize = le16(h + 10);
    if (limit - at - 14 < ssize)
      return false;
    uint8_t st[OS_STRUCT];
    const size_t kept = std::min<size_t>(ssize, sizeof st);
    if (img_read(fp_, st, kept) != int64_t(kept) ||
        (ssize > kept && img_seek(fp_, ssize - kept, SEEK_CUR) < 0))
      return false;
    uint8_t nl[2];
    if (img_read(fp_, nl, 2) != 2)
      return false;
    const uint16_t nsize = le16(nl);
    if (nsize % 2 != 0 || limit - at - 14 - ssize < nsize)
      return false;
    uni_ptr *to = nullptr;
    if (names_file(id) && !os_named_)
      to = &os_;
    else if (id == DESC_DOS && !dos_seen_)
      to = &dos_;
    else if (id == DESC_VENDOR && !vendor_seen_)
      to = &vendor_;
    if (to ? img_read(fp_, uni_fit(*to, nsize), nsize) != nsize
           : nsize > 0 && img_seek(fp_, nsize, SEEK_CUR) < 0)
      return false;
    at += 14 + int64_t(ssize) + nsize;

    if (to == &os_)
      os_named_ = nsize > 0;
    if (id == DESC_DATA && !data_seen_) {
      const uint64_t size = le64(h + 2);
      if (size > MAX_SIZE)
        return false;
      data_seen_ = true;
      info.size = int64_t(size);
    } else if (has_dates(id) && ssize >= OS_STRUCT && !os_dated_) {
      os_dated_ = true;
      info.attrib = st[0];
      info.ctime = date(st + 4);
      info.atime = date(st + 12);
      info.os_mtime = date(st + 20);
    } else if (id == DESC_DOS && !dos_seen_) {
      dos_seen_ = true;
      if (ssize >= DOS_STRUCT) {
        dos_dated_ = true;
        dos_attrib_ = st[0];
        info.dos_mtime = date(st + 1);
      }
    } else if (id == DESC_VENDOR) {
      vendor_seen_ = true;
    }
    return true;
  }

  // The entry's file as the descriptions read tell it; false without a
  // data description.
  bool finish() {
    if (!data_seen_)
      return false;
    if (!vendor_seen_)
      vendor_.reset();
    if (!dos_seen_)
      dos_.reset();
    info.has_short = dos_seen_;
    if (!os_named_) {
      // No OS name: the DOS one stands for it.
      const uint16_t n = dos_ ? dos_->len : 0;
      uint8_t *p = uni_fit(os_, n);
      if (n > 0)
        std::memcpy(p, dos_->ustr.get(), n);
    }
    if (!os_dated_ && dos_dated_)
      info.attrib = dos_attrib_;
    info.both_mtimes = os_dated_ && dos_dated_;
    info.mtime = dos_dated_ ? info.dos_mtime : info.os_mtime;
    info.standard = true;
    return true;
  }

  entry_info info;

private:
  int fp_;
  uni_ptr &os_, &dos_, &vendor_;
  bool os_named_ = false, os_dated_ = false, dos_seen_ = false, dos_dated_ = false;
  bool vendor_seen_ = false, data_seen_ = false;
  uint8_t dos_attrib_ = 0;
};

// Whether FILE_SIG stands at off; the position is anywhere after.
bool sig_at(int fp, int64_t off) {
  uint8_t s[4];
  return seek_to(fp, off) && img_read(fp, s, 4) == 4 && le32(s) == FILE_SIG;
}

} // namespace

bool get_dentry_std(int fp, dir_head *dh, entry_info *info) {
  const int64_t start = img_seek(fp, 0, SEEK_CUR);
  uint8_t fixed[DIR_FIXED];
  if (start < 0 || img_read(fp, fixed, sizeof fixed) != int64_t(sizeof fixed) ||
      le32(fixed) != DIR_SIG)
    return false;
  const uint16_t plen = le16(fixed + 14);
  const int64_t path_len = plen < 4 ? 4 : plen;
  const int64_t limit = start + MAX_HEAD;
  desc_reader d(fp, dh->nm1, dh->nm2, dh->nm3);
  int64_t at = start + int64_t(DIR_FIXED);
  for (int k = 0; k < MAX_DESCS; k++) {
    if (!d.read(at, limit))
      return false;
    if (at + path_len + 6 > limit || !sig_at(fp, at + path_len)) {
      if (!seek_to(fp, at))
        return false;
      continue;
    }
    if (!d.finish())
      return false;
    if (plen > 4) {
      const auto n = static_cast<uint16_t>(plen - 4);
      if (!seek_to(fp, at + 2) || img_read(fp, uni_fit(dh->path, n), n) != n)
        return false;
    } else {
      dh->path.reset();
    }
    // The fixed portion and as much of the list as the fixed record holds,
    // for what still reads the record's bytes.
    uint8_t head[73] = {};
    const size_t n = size_t(std::min<int64_t>(at - start, sizeof head));
    if (!seek_to(fp, start) || img_read(fp, head, n) != int64_t(n) ||
        !seek_to(fp, at + path_len + 6))
      return false;
    std::memcpy(&dh->dsig, head, 4);
    std::memcpy(dh->unknw1, head + 4, sizeof dh->unknw1);
    *info = d.info;
    return true;
  }
  return false;
}

bool get_centry_std(int fp, cat_head *ch, entry_info *info) {
  const int64_t start = img_seek(fp, 0, SEEK_CUR);
  uint8_t fixed[CAT_FIXED];
  if (start < 0 || img_read(fp, fixed, sizeof fixed) != int64_t(sizeof fixed))
    return false;
  const uint16_t dsize = le16(fixed);
  if (dsize <= CAT_FIXED)
    return false;
  const int64_t end = start + dsize;
  desc_reader d(fp, ch->nm1, ch->nm2, ch->nm3);
  int64_t at = start + int64_t(CAT_FIXED);
  for (int k = 0; k < MAX_DESCS && at < end; k++)
    if (!d.read(at, end))
      return false;
  if (at != end || !d.finish())
    return false;
  std::memcpy(ch->unknw1, fixed, sizeof fixed);
  *info = d.info;
  return true;
}

entry_info fixed_info(const uint8_t *u1) {
  entry_info i;
  i.size = ent_flen(u1);
  i.attrib = ent_attrib(u1);
  i.mtime = ent_time1(u1);
  return i;
}

cat_head *cat_reader::next() {
  if (std_) {
    const int64_t at = img_seek(fp_, 0, SEEK_CUR);
    if (at >= 0 && get_centry_std(fp_, &ch_, &info_)) {
      code_ = int(img_seek(fp_, 0, SEEK_CUR) - at);
      n_++;
      return &ch_;
    }
    if (at < 0 || !seek_to(fp_, at)) {
      code_ = CH_SHORT;
      return nullptr;
    }
  }
  code_ = get_cheader(fp_, &ch_);
  if (code_ <= CH_END)
    return nullptr;
  info_ = fixed_info(ch_.unknw1);
  n_++;
  return &ch_;
}

} // namespace cartsift
