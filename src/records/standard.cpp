// Entries read as the QIC-113 standard lays them out: the fixed portion,
// then the data descriptions one after another.
#include <algorithm>
#include <cstring>
#include <vector>

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

// The descriptions of one entry, parsed from its bytes in memory. Names go
// straight into the record's own buffers, which the last entry left.
class desc_reader {
public:
  desc_reader(uni_ptr &os, uni_ptr &dos, uni_ptr &vendor) : os_(os), dos_(dos), vendor_(vendor) {}

  // One description at p[at..], which must end by limit; p holds n bytes.
  // False when it cannot be read: *need then says how many bytes it wants
  // when those are more than n (else 0: it does not read).
  bool read(const uint8_t *p, size_t n, size_t &at, size_t limit, size_t *need) {
    *need = 0;
    auto want = [&](size_t end) {
      if (end > limit)
        return false;
      if (end > n)
        *need = end;
      return end <= n;
    };
    if (!want(at + 14))
      return false;
    const uint8_t *h = p + at;
    const uint16_t id = le16(h), ssize = le16(h + 10);
    if (!want(at + 14 + ssize))
      return false;
    const uint8_t *st = h + 12;
    const uint16_t nsize = le16(st + ssize);
    if (nsize % 2 != 0 || !want(at + 14 + size_t(ssize) + nsize))
      return false;
    const uint8_t *name = st + ssize + 2;
    uni_ptr *to = nullptr;
    if (names_file(id) && !os_named_)
      to = &os_;
    else if (id == DESC_DOS && !dos_seen_)
      to = &dos_;
    else if (id == DESC_VENDOR && !vendor_seen_)
      to = &vendor_;
    if (to != nullptr && nsize > 0)
      std::memcpy(uni_fit(*to, nsize), name, nsize);
    else if (to != nullptr)
      uni_fit(*to, 0);
    at += 14 + size_t(ssize) + nsize;

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
  uni_ptr &os_, &dos_, &vendor_;
  bool os_named_ = false, os_dated_ = false, dos_seen_ = false, dos_dated_ = false;
  bool vendor_seen_ = false, data_seen_ = false;
  uint8_t dos_attrib_ = 0;
};

// Where the file data starts in p[0..n), from DIR_SIG; 0 when the entry
// does not read by the standard, or when n cuts it short: *need then says
// how many bytes it wants.
size_t parse_dentry(const uint8_t *p, size_t n, dir_head *dh, entry_info *info, size_t *need) {
  *need = 0;
  if (n < DIR_FIXED) {
    *need = DIR_FIXED;
    return 0;
  }
  if (le32(p) != DIR_SIG)
    return 0;
  const uint16_t plen = le16(p + 14);
  const size_t path_len = plen < 4 ? 4 : plen;
  desc_reader d(dh->nm1, dh->nm2, dh->nm3);
  size_t at = DIR_FIXED;
  for (int k = 0; k < MAX_DESCS; k++) {
    if (!d.read(p, n, at, MAX_HEAD, need))
      return 0;
    if (at + path_len + 6 > n) {
      *need = at + path_len + 6;
      return 0;
    }
    if (le32(p + at + path_len) != FILE_SIG)
      continue;
    if (!d.finish())
      return 0;
    if (plen > 4) {
      const auto len = static_cast<uint16_t>(plen - 4);
      std::memcpy(uni_fit(dh->path, len), p + at + 2, len);
    } else {
      dh->path.reset();
    }
    // The fixed portion and as much of the list as the fixed record holds,
    // for what still reads the record's bytes.
    uint8_t head[73] = {};
    std::memcpy(head, p, std::min(at, sizeof head));
    std::memcpy(&dh->dsig, head, 4);
    std::memcpy(dh->unknw1, head + 4, sizeof dh->unknw1);
    *info = d.info;
    return at + path_len + 6;
  }
  return 0;
}

} // namespace

// Parsed where the source holds the bytes already, with no copy; only an
// entry that runs past what it holds is read out, as far as it wants.
bool get_dentry_std(int fp, dir_head *dh, entry_info *info) {
  const int64_t start = img_seek(fp, 0, SEEK_CUR);
  if (start < 0)
    return false;
  size_t n = 0, need = 0;
  const uint8_t *p = img_peek(fp, &n);
  size_t data = p ? parse_dentry(p, n, dh, info, &need) : (need = 1024, 0);
  std::vector<uint8_t> copy;
  for (int round = 0; data == 0 && need > n && round < 2; round++) {
    // Past the first miss, as much as any entry can want.
    copy.resize(round == 0 ? std::max<size_t>(need, 1024) : size_t(MAX_HEAD) + 65536 + 6);
    const int64_t r = img_read(fp, copy.data(), copy.size());
    if (r <= 0 || !seek_to(fp, start))
      return false;
    n = size_t(r);
    data = parse_dentry(copy.data(), n, dh, info, &need);
    if (n < copy.size())
      break; // the stream ends here
  }
  return data != 0 && seek_to(fp, start + int64_t(data));
}

bool get_centry_std(int fp, cat_head *ch, entry_info *info) {
  const int64_t start = img_seek(fp, 0, SEEK_CUR);
  uint8_t two[2];
  if (start < 0 || img_read(fp, two, 2) != 2 || !seek_to(fp, start))
    return false;
  const uint16_t dsize = le16(two);
  if (dsize <= CAT_FIXED)
    return false;
  size_t n = 0, need = 0;
  const uint8_t *p = img_peek(fp, &n);
  std::vector<uint8_t> copy;
  if (p == nullptr || n < dsize) {
    copy.resize(dsize);
    if (img_read(fp, copy.data(), dsize) != dsize)
      return false;
    p = copy.data();
    n = dsize;
  }
  desc_reader d(ch->nm1, ch->nm2, ch->nm3);
  size_t at = CAT_FIXED;
  for (int k = 0; k < MAX_DESCS && at < dsize; k++)
    if (!d.read(p, n, at, dsize, &need))
      return false;
  if (at != dsize || !d.finish())
    return false;
  std::memcpy(ch->unknw1, p, CAT_FIXED);
  *info = d.info;
  return seek_to(fp, start + dsize);
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
