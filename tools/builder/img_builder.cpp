#include "img_builder.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace cartsift::build {

using namespace layout;

uint32_t utc(int year, int month, int day, int hour, int min, int sec) {
  // Days from the civil date (proleptic Gregorian), after H. Hinnant.
  int y = year - (month <= 2 ? 1 : 0);
  int era = (y >= 0 ? y : y - 399) / 400;
  int yoe = y - era * 400;
  int doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  int64_t days = int64_t(era) * 146097 + doe - 719468;
  return static_cast<uint32_t>(days * 86400 + hour * 3600 + min * 60 + sec);
}

namespace {

// The UTF-16 code units of s when s is valid UTF-8 with at least one byte
// above ASCII. Anything else is left to the byte-per-character form, which
// the tests rely on for latin1 names ("\xE9" alone is not UTF-8).
std::optional<std::vector<uint16_t>> utf16_of(std::string_view s) {
  std::vector<uint16_t> u;
  bool wide = false;
  for (size_t i = 0; i < s.size();) {
    const auto c = static_cast<uint8_t>(s[i]);
    if (c < 0x80) {
      u.push_back(c);
      ++i;
      continue;
    }
    wide = true;
    size_t n;       // continuation bytes
    uint32_t cp, lo; // lo: the smallest code point that needs this length
    if ((c & 0xE0) == 0xC0)
      n = 1, cp = c & 0x1Fu, lo = 0x80;
    else if ((c & 0xF0) == 0xE0)
      n = 2, cp = c & 0x0Fu, lo = 0x800;
    else if ((c & 0xF8) == 0xF0)
      n = 3, cp = c & 0x07u, lo = 0x10000;
    else
      return std::nullopt;
    if (s.size() - i <= n)
      return std::nullopt;
    for (size_t k = 1; k <= n; ++k) {
      const auto d = static_cast<uint8_t>(s[i + k]);
      if ((d & 0xC0) != 0x80)
        return std::nullopt;
      cp = cp << 6 | (d & 0x3Fu);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    if (cp < lo || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
      return std::nullopt;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      u.push_back(static_cast<uint16_t>(0xD800 | cp >> 10));
      u.push_back(static_cast<uint16_t>(0xDC00 | (cp & 0x3FF)));
    } else {
      u.push_back(static_cast<uint16_t>(cp));
    }
    i += n + 1;
  }
  if (!wide)
    return std::nullopt;
  return u;
}

} // namespace

std::vector<uint8_t> str16(std::string_view s) {
  std::vector<uint8_t> v;
  v.reserve(s.size() * 2);
  if (auto u = utf16_of(s)) {
    for (uint16_t c : *u) {
      v.push_back(static_cast<uint8_t>(c));
      v.push_back(static_cast<uint8_t>(c >> 8));
    }
    return v;
  }
  for (char c : s) {
    v.push_back(static_cast<uint8_t>(c));
    v.push_back(0);
  }
  return v;
}

std::string hdr_text(unsigned job, unsigned disk) {
  char t[64];
  std::snprintf(t, sizeof t, "%u, disk %2u", job, disk);
  return t;
}

dir_path::dir_path(const char *s) {
  std::string cur;
  for (; *s; ++s) {
    if (*s == '\\' || *s == '/') {
      if (!cur.empty())
        parts.push_back(cur);
      cur.clear();
    } else {
      cur += *s;
    }
  }
  if (!cur.empty())
    parts.push_back(cur);
}

entry drive_spec(std::string name, bool last, bool is_new) {
  entry e;
  e.name = std::move(name);
  e.attrib = A_VOLUME;
  e.pflg = static_cast<uint8_t>(PF_DRIVE | (is_new ? PF_NEW : 0) | (last ? PF_LAST : 0));
  return e;
}

entry dir_entry(std::string name, dir_path path, uint32_t t) {
  entry e;
  e.name = std::move(name);
  e.path = std::move(path.parts);
  e.attrib = A_SUBDIR;
  e.t1 = e.t2 = e.t3 = e.t4 = t;
  return e;
}

entry file_entry(std::string name, dir_path path, std::string_view contents, uint32_t t,
                 uint8_t attrib) {
  entry e;
  e.name = std::move(name);
  e.path = std::move(path.parts);
  e.attrib = attrib;
  e.data.assign(contents.begin(), contents.end());
  e.t1 = e.t2 = e.t3 = e.t4 = t;
  return e;
}

entry standard(entry e, std_layout l) {
  e.std = std::move(l);
  return e;
}

entry std_file(std::string name, dir_path path, std::string_view contents, uint32_t created,
               uint32_t accessed, uint32_t modified, uint8_t attrib) {
  entry e = file_entry(std::move(name), std::move(path), contents, created, attrib);
  e.t2 = accessed;
  e.t3 = e.t4 = modified;
  e.std = std_layout{};
  return e;
}

std::vector<uint8_t> path_bytes(const entry &e) {
  if (e.raw_path)
    return *e.raw_path;
  // Components are separated by one zero character; none leads or trails.
  std::vector<uint8_t> p;
  for (size_t i = 0; i < e.path.size(); ++i) {
    if (i > 0) {
      p.push_back(0);
      p.push_back(0);
    }
    auto c = str16(e.path[i]);
    p.insert(p.end(), c.begin(), c.end());
  }
  return p;
}

uint16_t plen_of(const entry &e) {
  if (e.plen)
    return *e.plen;
  return static_cast<uint16_t>(4 + path_bytes(e).size());
}

uint32_t flen_of(const entry &e) {
  if (e.std)
    return static_cast<uint32_t>(size_of(e));
  return e.flen ? *e.flen : static_cast<uint32_t>(e.data.size());
}

uint64_t size_of(const entry &e) {
  if (e.std && e.std->size)
    return *e.std->size;
  return e.flen ? *e.flen : e.data.size();
}

// Bytes of the three names as written, length words left out.
static size_t name_bytes(const entry &e) {
  return str16(e.name).size() + str16(e.name2).size() + str16(e.name3).size();
}

size_t header_len(const entry &e) {
  if (e.std)
    return cat_len(e) + 14 + path_bytes(e).size();
  return 138 + name_bytes(e) + path_bytes(e).size();
}

size_t cat_len(const entry &e) {
  if (e.std) {
    image t;
    t.cat_entry(e);
    return t.size();
  }
  return 124 + name_bytes(e) + static_cast<size_t>(e.cat_tag_pad);
}

// ---- appending and patching ------------------------------------------------

void image::u8(uint8_t v) { b.push_back(v); }
void image::u16(uint16_t v) {
  u8(static_cast<uint8_t>(v));
  u8(static_cast<uint8_t>(v >> 8));
}
void image::u32(uint32_t v) {
  u16(static_cast<uint16_t>(v));
  u16(static_cast<uint16_t>(v >> 16));
}
void image::u64(uint64_t v) {
  u32(static_cast<uint32_t>(v));
  u32(static_cast<uint32_t>(v >> 32));
}
void image::raw(std::span<const uint8_t> s) { b.insert(b.end(), s.begin(), s.end()); }
void image::raw(std::string_view s) { b.insert(b.end(), s.begin(), s.end()); }
void image::ustr(std::string_view s) {
  std::vector<uint8_t> c = str16(s);
  if (c.size() > 0xFFFF)
    throw std::length_error("ustr: name too long for a 16-bit length word");
  u16(static_cast<uint16_t>(c.size()));
  raw(c);
}

void image::put_u8(size_t off, uint8_t v) {
  if (b.size() < off + 1)
    b.resize(off + 1);
  b[off] = v;
}
void image::put_u16(size_t off, uint16_t v) {
  put_u8(off + 1, static_cast<uint8_t>(v >> 8));
  put_u8(off, static_cast<uint8_t>(v));
}
void image::put_u32(size_t off, uint32_t v) {
  put_u16(off + 2, static_cast<uint16_t>(v >> 16));
  put_u16(off, static_cast<uint16_t>(v));
}
void image::put_u64(size_t off, uint64_t v) {
  put_u32(off + 4, static_cast<uint32_t>(v >> 32));
  put_u32(off, static_cast<uint32_t>(v));
}
uint16_t image::get_u16(size_t off) const {
  return static_cast<uint16_t>(b.at(off) | b.at(off + 1) << 8);
}
uint32_t image::get_u32(size_t off) const {
  return get_u16(off) | uint32_t(get_u16(off + 2)) << 16;
}

void image::pad_to(size_t off, uint8_t fill) {
  if (b.size() > off)
    throw std::logic_error("pad_to: image already past the offset");
  b.resize(off, fill);
}

size_t image::next_block() const { return (b.size() / BLOCK_SIZE + 1) * BLOCK_SIZE; }

void image::save(const std::string &path) const {
  FILE *f = std::fopen(path.c_str(), "wb");
  if (!f)
    throw std::runtime_error("cannot create " + path);
  size_t n = std::fwrite(b.data(), 1, b.size(), f);
  if (std::fclose(f) != 0 || n != b.size())
    throw std::runtime_error("cannot write " + path);
}

// ---- file header and volume table ---------------------------------------------

void image::header(uint32_t nblk, std::string_view text) {
  if (b.size() < 2 * BLOCK_SIZE)
    b.resize(2 * BLOCK_SIZE);
  // Block 1 repeats block 0, as the tool may read either.
  for (size_t h : {size_t(0), BLOCK_SIZE}) {
    put_u32(h + 0, HDR_SIG); // 0-3   signature, 55 AA 55 AA on disk
    for (size_t i = 4; i < HDR_NBLK; ++i)
      put_u8(h + i, 0); // 4-9   not read by the tool
    put_u32(h + HDR_NBLK, nblk); // 10-13 total block count, unaligned
    for (size_t i = 14; i < HDR_TEXT; ++i)
      put_u8(h + i, 0); // 14-39 not read
    // 40-   job and disk text, NUL-padded to the end of the header
    for (size_t i = 0; i < std::max(text.size(), HDR_SIZE - HDR_TEXT); ++i)
      put_u8(h + HDR_TEXT + i, i < text.size() ? static_cast<uint8_t>(text[i]) : 0);
  }
}

void image::vtbl(const vtbl_fields &v) {
  size_t o = VTBL_OFFSET;
  if (b.size() < o + 128)
    b.resize(o + 128);
  for (size_t i = 0; i < 4; ++i) // 0-3 tag, the tool ignores its case
    put_u8(o + i, i < v.tag.size() ? static_cast<uint8_t>(v.tag[i]) : 0);
  put_u32(o + VT_NSEG, v.nseg); // 4-7 logical segments
  for (size_t i = 0; i < 44; ++i) // 8-51 label, NUL-padded, not terminated at 44
    put_u8(o + VT_DESC + i, i < v.label.size() ? static_cast<uint8_t>(v.label[i]) : 0);
  put_u32(o + VT_DATE, v.date); // 52-55 creation time
  put_u8(o + VT_FLAG, v.flag);  // 56 flag bits
  put_u8(o + VT_SEQ, v.seq);    // 57 cartridge number in the set
  put_u16(o + 58, v.rev_major); // 58-59 format version
  put_u16(o + 60, v.rev_minor); // 60-61
  for (size_t i = 62; i < 76; ++i) // 62-75 vres
    put_u8(o + i, 0);
  put_u32(o + VT_START, v.start); // 76-79 QFA start block
  put_u32(o + VT_END, v.end);     // 80-83 QFA end block
  for (size_t i = 84; i < 92; ++i) // 84-91 password, unused
    put_u8(o + i, 0);
  put_u32(o + VT_DIRSZ, v.dirSz); // 92-95 catalog size in bytes
  put_u64(o + VT_DATASZ, static_cast<uint64_t>(v.dataSz)); // 96-103 data size
  for (size_t i = 104; i < 124; ++i) // 104-105 OS version, 106-121 source drive,
    put_u8(o + i, 0);                // 122 logical device, 123 reserved
  put_u8(o + VT_COMP, v.comp);     // 124 compression byte
  put_u8(o + VT_OSTYPE, v.ostype); // 125 OS code
  put_u16(o + 126, 0);             // 126-127 reserved
  if (b.size() < DATA_START)
    b.resize(DATA_START);
}

// ---- entries --------------------------------------------------------------------

// unknw1, nm1, unknw2, nm2, unknw3 (+ pad in the catalog), nm3: the body the
// directory entry and its catalog twin share.
void image::entry_body(const entry &e, bool catalog) {
  std::array<uint8_t, 118> u{};
  std::copy(e.unknw1.begin(), e.unknw1.end(), u.begin());
  std::copy(e.unknw2.begin(), e.unknw2.end(), u.begin() + 69);
  std::copy(e.unknw3.begin(), e.unknw3.end(), u.begin() + 90);
  auto le = [&](size_t at, uint64_t v, int n) {
    for (int i = 0; i < n; ++i)
      u[at + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  le(U1_PLEN, plen_of(e), 2);   // unknw1[10-11] plen
  u[U1_PFLG] = e.pflg;          // unknw1[14] flags
  le(U1_FLEN, flen_of(e), 4);   // unknw1[17-20] data length
  u[U1_ATTRIB] = e.attrib;      // unknw1[41] attributes
  le(U1_T1, e.t1, 4);           // unknw1[45-48] time 1 (modified)
  le(U1_T2, e.t2, 4);           // unknw1[53-56] time 2
  le(U1_T3, e.t3, 4);           // unknw1[61-64] time 3
  le(69 + U2_T4, e.t4, 4);      // unknw2[13-16] time 4
  for (size_t i = 0; i < 4; ++i) // unknw3[12-15] tag
    u[90 + U3_TAG + i] = i < e.tag.size() ? static_cast<uint8_t>(e.tag[i]) : 0;
  if (catalog)
    for (auto [pos, val] : e.cat_patch)
      u.at(pos) = val;

  raw(std::span(u).subspan(0, 69)); // unknw1
  ustr(e.name);                      // nm1
  raw(std::span(u).subspan(69, 21)); // unknw2
  ustr(e.name2);                     // nm2
  if (catalog && e.cat_tag_pad > 0) {
    // The catalog's tag may stand late: pad zero bytes go in before it.
    raw(std::span(u).subspan(90, U3_TAG));
    b.insert(b.end(), static_cast<size_t>(e.cat_tag_pad), 0);
    raw(std::span(u).subspan(90 + U3_TAG, 28 - U3_TAG));
  } else {
    raw(std::span(u).subspan(90, 28)); // unknw3
  }
  ustr(e.name3); // nm3
}

// The standard's reading of the same bytes: the fixed portion, then the
// descriptions (offsets below from the entry's byte 4, where a catalog
// entry starts). Both size words are known only at the end and patched in.
void image::std_body(const entry &e, bool catalog) {
  const std_layout &l = *e.std;
  const size_t at = b.size();
  u16(0);          // 0-1  directory entry size, below
  u64(0);          // 2-9  data entry size, below
  u16(plen_of(e)); // 10-11 path size
  u16(l.native_fs); // 12-13
  u8(e.pflg);      // 14   traversal flags

  auto desc = [&](uint16_t id, uint64_t size, std::span<const uint8_t> body, std::string_view name) {
    u16(id);
    u64(size);
    u16(static_cast<uint16_t>(body.size()));
    raw(body);
    ustr(name);
  };
  // Structures are composed in a scratch image with the same writers.
  auto full_date = [](image &s, uint32_t t) {
    s.u32(t);
    s.u32(0); // zone or fraction: not used
  };
  desc(DD_DATA, size_of(e), {}, ""); // no structure, no name
  if (l.os == os_desc::unix_) {
    image s;
    const bool dir = e.attrib & (A_SUBDIR | A_VOLUME);
    s.u32(dir ? 040755 : (e.attrib & A_RDONLY) ? 0100444 : 0100644); // mode
    s.u32(0);    // uid
    s.u32(0);    // gid
    s.u32(e.t2); // accessed
    s.u32(e.t3); // modified
    s.u32(e.t1); // created
    s.u64(0);
    desc(DD_UNIX, 0, s.b, e.name);
  } else if (l.os != os_desc::none) {
    image s;
    s.u32(e.attrib); // the DOS attribute byte is the low one
    full_date(s, e.t1); // created
    full_date(s, e.t2); // accessed
    full_date(s, e.t3); // modified
    const uint16_t id = l.os == os_desc::nt ? DD_NT : l.os == os_desc::os2 ? DD_OS2 : DD_WIN95;
    desc(id, 0, s.b, e.name);
  }
  if (l.dos) {
    image s;
    s.u8(e.attrib);
    full_date(s, e.t4); // modified
    desc(DD_DOS, 0, s.b, e.name2);
  }
  if (l.vendor) {
    image s;
    for (size_t i = 0; i < 4; ++i) // cut or zero-padded, as in the fixed layout
      s.u8(i < e.tag.size() ? static_cast<uint8_t>(e.tag[i]) : 0);
    s.raw(std::span(e.unknw3).subspan(U3_TAG + 4));
    desc(DD_VENDOR, 0, s.b, e.name3);
  }
  for (const extra_desc &x : l.extra)
    desc(x.id, x.size, x.body, x.name);

  const size_t len = b.size() - at;
  if (len > 0xFFFF)
    throw std::length_error("std_body: descriptions too long for the size word");
  put_u16(at, static_cast<uint16_t>(len));
  // DIR_SIG, the header so far, the path entry, FILE_SIG and the ID; data; trailer.
  put_u64(at + 2, 4 + len + 4 + path_bytes(e).size() + 6 + size_of(e) +
                      (e.trailer ? TRAILER_SIZE : 0));
  if (catalog)
    for (auto [pos, val] : e.cat_patch)
      b.at(at + pos) = val;
}

size_t image::dir_header(const entry &e) {
  size_t at = b.size();
  u32(DIR_SIG); // signature
  if (e.std)
    std_body(e, false); // fixed portion and descriptions
  else
    entry_body(e, false); // unknw1 .. nm3
  u16(0);              // path entry: 2 bytes the tool skips,
  raw(path_bytes(e));  //   path characters, no length word: plen tells,
  u16(0);              //   2 bytes
  raw(e.closing_sig);  // FILE_SIG,
  u16(e.std ? DD_DATA : 0); // the data area's ID
  return at;
}

void image::trailer(const entry &e) {
  raw(e.trailer_sig); // FILE_SIG opens the trailer
  b.insert(b.end(), TRAILER_SIZE - 4, 0); // 14 bytes the tool does not examine
}

size_t image::dir_entry(const entry &e) {
  size_t at = dir_header(e);
  raw(e.data);
  if (e.trailer)
    trailer(e);
  return at;
}

size_t image::cat_entry(const entry &e) {
  size_t at = b.size();
  if (e.std)
    std_body(e, true);
  else
    entry_body(e, true);
  return at;
}

void image::cat_end() {
  b.insert(b.end(), 69, 0); // unknw1
  u16(0);                   // empty nm1 ends the catalog
}

void image::end_of_entries() { b.insert(b.end(), END_MARK_SIZE, 0); }

// ---- whole backups and images -------------------------------------------------------

size_t backup(image &img, std::vector<entry> entries, std::vector<size_t> *entry_offs) {
  if (entries.empty())
    throw std::invalid_argument("backup: no entries");
  entries.back().pflg |= PF_END;
  for (const entry &e : entries) {
    size_t at = img.dir_entry(e);
    if (entry_offs)
      entry_offs->push_back(at);
  }
  // The catalog starts at the first block boundary after the last trailer,
  // a whole block later when the trailer ends on one.
  img.pad_to(img.next_block());
  size_t cat = img.size();
  for (const entry &e : entries)
    img.cat_entry(e);
  img.cat_end();
  return cat;
}

void finish(image &img, size_t cat_off) {
  size_t end = img.size();
  if (end < VTBL_OFFSET + 128)
    throw std::invalid_argument("finish: no volume table");
  if (cat_off % BLOCK_SIZE != 0 || cat_off > end)
    throw std::invalid_argument("finish: catalog offset not a block boundary inside the image");
  size_t whole = (end + BLOCK_SIZE - 1) / BLOCK_SIZE * BLOCK_SIZE;
  img.pad_to(whole);
  auto nblk = static_cast<uint32_t>(whole / BLOCK_SIZE);
  img.put_u32(HDR_NBLK, nblk);
  img.put_u32(BLOCK_SIZE + HDR_NBLK, nblk);
  // ceil(dirSz / BLOCK_SIZE) is then exactly the blocks from cat_off on.
  img.put_u32(VTBL_OFFSET + VT_DIRSZ, static_cast<uint32_t>(end - cat_off));
}

image_set split_backup(const vtbl_fields &vt, unsigned job, std::vector<entry> entries,
                       const std::vector<size_t> &data_blocks) {
  if (entries.empty())
    throw std::invalid_argument("split_backup: no entries");
  if (data_blocks.size() > 254)
    throw std::invalid_argument("split_backup: more images than sequence numbers");
  entries.back().pflg |= PF_END;
  // The stream is written whole first: a cut does not care what it splits.
  image stream;
  std::vector<size_t> at;
  for (const entry &e : entries)
    at.push_back(stream.dir_entry(e));

  const size_t n = data_blocks.size() + 1;
  image_set s;
  size_t from = 0, next = 0; // stream offset of this image's data; next entry to place
  for (size_t k = 0; k < n; ++k) {
    const bool last = k + 1 == n;
    const size_t len = last ? stream.size() - from : data_blocks[k] * BLOCK_SIZE;
    if (!last && (len == 0 || from + len >= stream.size()))
      throw std::invalid_argument("split_backup: an image would get none of the entries");
    vtbl_fields v = vt;
    v.flag |= 0x02;
    v.seq = static_cast<uint8_t>(k + 1);
    image &img = s.images.emplace_back();
    img.header(0, hdr_text(job, static_cast<unsigned>(k + 1)));
    img.vtbl(v);
    img.raw(std::span(stream.b).subspan(from, len));
    for (; next < at.size() && at[next] < from + len; ++next)
      s.entries.push_back({k, DATA_START + at[next] - from});
    from += len;
    if (last) {
      img.pad_to(img.next_block());
      s.cat_off = img.size();
      for (const entry &e : entries)
        img.cat_entry(e);
      img.cat_end();
    }
    finish(img, last ? s.cat_off : img.size()); // a middle image ends with its data
  }
  return s;
}

image_set spanning_images(const vtbl_fields &vt, unsigned job, std::vector<entry> entries,
                          size_t spanning, size_t n, size_t min_in_first, size_t middle_blocks) {
  if (n < 2 || spanning >= entries.size() || middle_blocks == 0)
    throw std::invalid_argument("spanning_images: bad arguments");
  // Where the file's data starts in the stream, as split_backup writes it.
  image head;
  for (size_t i = 0; i < spanning; ++i)
    head.dir_entry(entries[i]);
  head.dir_header(entries[spanning]);
  const size_t data = DATA_START + head.size(); // in image 1
  const size_t want = data + std::max<size_t>(min_in_first, 1);
  const size_t cut = (want + BLOCK_SIZE - 1) / BLOCK_SIZE * BLOCK_SIZE;
  const size_t held = cut - data + (n - 2) * middle_blocks * BLOCK_SIZE;
  if (held >= entries[spanning].data.size())
    throw std::invalid_argument("spanning_images: the file ends before the last image");
  std::vector<size_t> blocks(n - 1, middle_blocks);
  blocks[0] = (cut - DATA_START) / BLOCK_SIZE;
  return split_backup(vt, job, std::move(entries), blocks);
}

image_pair spanning_set(const vtbl_fields &vt, unsigned job, std::vector<entry> before,
                        entry spanning, std::vector<entry> after, size_t min_in_first) {
  const size_t at = before.size();
  const size_t hlen = header_len(spanning);
  std::vector<entry> all = std::move(before);
  all.push_back(std::move(spanning));
  all.insert(all.end(), after.begin(), after.end());
  image_set s = spanning_images(vt, job, std::move(all), at, 2, min_in_first);

  image_pair p;
  for (const image_set::place &e : s.entries)
    (e.image == 0 ? p.first_offs : p.second_offs).push_back(e.off);
  p.first = std::move(s.images[0]);
  p.second = std::move(s.images[1]);
  p.data_off = p.first_offs.at(at) + hlen;
  p.split = p.first.size() - p.data_off;
  p.cat_off = s.cat_off;
  return p;
}

} // namespace cartsift::build
