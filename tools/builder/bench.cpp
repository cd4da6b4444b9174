// Benchmark images: large, deterministic, written straight to disk, each
// with its twin in a form that tar, cp or cat reads, so the tool can be timed
// against them on the same bytes.
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "img_builder.h"

namespace cartsift::build {

using namespace layout;

namespace {

// Generators are seeded so that every run writes the same bytes.
struct rng {
  uint64_t s;
  uint64_t next() { // xorshift64*
    s ^= s >> 12;
    s ^= s << 25;
    s ^= s >> 27;
    return s * 0x2545F4914F6CDD1DULL;
  }
};

// File contents are slices of one block of text made of words, as backed-up
// documents are: it compresses as such files do, so compressed volumes are
// timed decoding real frames, extracted files can be compared with tar's,
// and no entry signature hides in them.
constexpr size_t PAT_SIZE = 1 << 20;
const std::vector<uint8_t> &pattern() {
  static const std::vector<uint8_t> p = [] {
    static const char *const words[] = {
        "the",     "backup",  "of",      "tape",    "cartridge", "file",    "and",
        "report",  "sales",   "quarter", "data",    "to",        "drive",   "system",
        "invoice", "letter",  "meeting", "notes",   "project",   "budget",  "review",
        "customer", "order",  "number",  "total",   "march",     "april",   "office",
        "windows", "document", "copy",   "restore", "archive",   "volume",  "record",
        "a",       "in",      "for",     "with",    "on",        "1996",    "1997"};
    std::vector<uint8_t> v;
    v.reserve(PAT_SIZE + 16);
    rng r{0x5EED};
    for (int n = 1; v.size() < PAT_SIZE; n++) {
      const char *w = words[r.next() % std::size(words)];
      v.insert(v.end(), w, w + std::strlen(w));
      if (n % 11 == 0) {
        v.push_back('\r');
        v.push_back('\n');
      } else {
        v.push_back(' ');
      }
    }
    v.resize(PAT_SIZE);
    return v;
  }();
  return p;
}

void copy_pattern(uint64_t from, std::span<uint8_t> out) {
  const auto &p = pattern();
  size_t done = 0;
  while (done < out.size()) {
    size_t at = size_t((from + done) % PAT_SIZE);
    size_t k = std::min(out.size() - done, PAT_SIZE - at);
    std::memcpy(out.data() + done, p.data() + at, k);
    done += k;
  }
}

// A ustar archive written member by member.
class tar_writer {
public:
  explicit tar_writer(const std::string &path) : path_(path) {
    f_ = std::fopen(path.c_str(), "wb");
    if (!f_)
      throw std::runtime_error("cannot create " + path);
  }
  ~tar_writer() {
    if (f_)
      std::fclose(f_);
  }
  tar_writer(const tar_writer &) = delete;
  tar_writer &operator=(const tar_writer &) = delete;

  void dir(const std::string &name, uint32_t mtime) { header(name + "/", '5', 0700, 0, mtime); }
  void file(const std::string &name, uint32_t mtime, uint64_t size, uint64_t from) {
    header(name, '0', 0600, size, mtime);
    std::vector<uint8_t> d(size_t((size + 511) / 512 * 512), 0);
    copy_pattern(from, std::span(d.data(), size_t(size)));
    put(d.data(), d.size());
  }
  // Two zero blocks end the archive; records are 20 blocks, as tar writes.
  void close() {
    std::vector<uint8_t> z(1024, 0);
    put(z.data(), z.size());
    while (n_ % 10240 != 0)
      put(z.data(), 512);
    FILE *f = f_;
    f_ = nullptr;
    if (std::fclose(f) != 0)
      throw std::runtime_error("cannot write " + path_);
  }

private:
  void put(const void *p, size_t n) {
    if (std::fwrite(p, 1, n, f_) != n)
      throw std::runtime_error("cannot write " + path_);
    n_ += n;
  }
  void header(const std::string &name, char type, unsigned mode, uint64_t size, uint32_t mtime) {
    if (name.size() > 100)
      throw std::invalid_argument("tar: name too long: " + name);
    char h[512] = {};
    std::memcpy(h, name.data(), name.size());                       // 0 name
    std::snprintf(h + 100, 8, "%07o", mode);                        // 100 mode
    std::snprintf(h + 108, 8, "%07o", 0);                           // 108 uid
    std::snprintf(h + 116, 8, "%07o", 0);                           // 116 gid
    std::snprintf(h + 124, 12, "%011llo", (unsigned long long)size); // 124 size
    std::snprintf(h + 136, 12, "%011lo", (unsigned long)mtime);     // 136 mtime
    std::memset(h + 148, ' ', 8);                                   // 148 checksum, blank while summed
    h[156] = type;                                                  // 156 type
    std::memcpy(h + 257, "ustar", 6);                               // 257 magic
    std::memcpy(h + 263, "00", 2);                                  // 263 version
    std::memcpy(h + 265, "root", 4);                                // 265 user name
    std::memcpy(h + 297, "root", 4);                                // 297 group name
    unsigned sum = 0;
    for (unsigned char c : h)
      sum += c;
    std::snprintf(h + 148, 8, "%06o", sum);
    h[155] = ' ';
    put(h, sizeof h);
  }

  std::string path_;
  FILE *f_ = nullptr;
  uint64_t n_ = 0;
};

constexpr uint32_t SPAN = 3 * 365 * 86400; // files changed over three years

entry bench_entry(std::string name, std::vector<std::string> path, uint8_t attrib,
                  uint32_t changed, uint32_t when) {
  entry e;
  e.name2 = name; // the names are 8.3 already: the alias is the name
  e.name = std::move(name);
  e.path = std::move(path);
  e.attrib = attrib;
  // Written as the standard lays entries out: created and modified when the
  // file last changed, last accessed on the day of the backup.
  e.std = std_layout{};
  e.t1 = e.t3 = e.t4 = changed;
  e.t2 = when - when % 86400;
  return e;
}

// pre and n in `width` digits: "D07", "F000123".
std::string num(const char *pre, uint64_t n, int width) {
  char t[32];
  std::snprintf(t, sizeof t, "%s%0*llu", pre, width, (unsigned long long)n);
  return t;
}

vtbl_fields bench_vtbl(const char *label, uint32_t when) {
  vtbl_fields v;
  v.label = label;
  v.date = when;
  return v;
}

// The file's bytes as a plain file, written in order like an extracted one.
void write_copy(const std::string &path, uint64_t bytes) {
  FILE *f = std::fopen(path.c_str(), "wb");
  if (!f)
    throw std::runtime_error("cannot create " + path);
  std::vector<uint8_t> b(PAT_SIZE);
  for (uint64_t at = 0; at < bytes;) {
    size_t k = size_t(std::min<uint64_t>(bytes - at, b.size()));
    copy_pattern(at, std::span(b.data(), k));
    if (std::fwrite(b.data(), 1, k, f) != k) {
      std::fclose(f);
      throw std::runtime_error("cannot write " + path);
    }
    at += k;
  }
  if (std::fclose(f) != 0)
    throw std::runtime_error("cannot write " + path);
}

// The catalog after the data region, from the same entries made again.
// each(emit) calls emit(entry, data size) for every entry in order, PF_END
// on the last.
template <class Each>
void many_image(const std::string &path, const char *label, uint32_t when, Each &&each,
                const std::string &zpath = "") {
  auto fill = [](uint64_t at, std::span<uint8_t> out) { copy_pattern(at, out); };
  std::vector<std::unique_ptr<file_image>> imgs;
  imgs.push_back(std::make_unique<file_image>(path));
  imgs.back()->start(0, hdr_text(2006, 1), bench_vtbl(label, when));
  if (!zpath.empty()) {
    imgs.push_back(std::make_unique<file_image>(zpath));
    imgs.back()->start(0, hdr_text(2006, 1), bench_vtbl(label, when));
    imgs.back()->begin_compressed({});
  }
  each([&](const entry &e, uint64_t size) {
    for (auto &img : imgs)
      img->dir_entry(e, size, fill);
  });
  std::vector<uint64_t> cat;
  for (auto &img : imgs) {
    if (img == imgs.front())
      img->pad_to(img->next_block());
    else
      img->end_compressed();
    cat.push_back(img->size());
  }
  each([&](entry e, uint64_t size) {
    e.flen = static_cast<uint32_t>(size);
    for (auto &img : imgs)
      img->cat_entry(e);
  });
  for (size_t i = 0; i < imgs.size(); i++) {
    imgs[i]->cat_end();
    imgs[i]->finish(cat[i]);
    imgs[i]->close();
  }
}

} // namespace

tree_counts bench_tree(const std::string &img_path, const std::string &tar_path, uint32_t files,
                       uint64_t bytes, const std::string &zimg_path) {
  const uint32_t when = utc(2001, 3, 4, 22, 15);
  const uint32_t leaves = std::max<uint32_t>(1, files / 100);
  const uint64_t mean = std::max<uint64_t>(1, bytes / std::max<uint32_t>(files, 1));

  // The entries are made twice, for the data region and for the catalog,
  // from the same seed rather than kept. emit gets the entry (PF_END on the
  // last), its data size and pattern offset, and its name in the tar.
  auto each = [&](auto &&emit) {
    rng g{0xB1E55ED};
    entry drv = drive_spec("C:");
    drv.t1 = drv.t2 = drv.t3 = drv.t4 = when;
    emit(drv, uint64_t(0), uint64_t(0), std::string());
    uint32_t fno = 0;
    for (uint32_t j = 0; j < leaves; ++j) {
      const bool last_leaf = j + 1 == leaves;
      const uint32_t n = last_leaf ? files - fno : files / leaves;
      std::string d = num("D", j / 100, 2), s = num("S", j / 10 % 10, 2),
                  t = num("T", j % 10, 2);
      uint32_t changed = when - uint32_t(g.next() % SPAN);
      if (j % 100 == 0)
        emit(bench_entry(d, {}, A_SUBDIR, changed, when), 0, 0, "C_/" + d);
      if (j % 10 == 0)
        emit(bench_entry(s, {d}, A_SUBDIR, changed, when), 0, 0, "C_/" + d + "/" + s);
      entry te = bench_entry(t, {d, s}, A_SUBDIR, changed, when);
      if (last_leaf && n == 0)
        te.pflg |= PF_END;
      emit(te, 0, 0, "C_/" + d + "/" + s + "/" + t);
      for (uint32_t k = 0; k < n; ++k, ++fno) {
        std::string name = num("F", fno, 6) + ".DAT";
        uint64_t size = 1 + g.next() % (2 * mean - 1);
        uint64_t from = g.next() % PAT_SIZE;
        entry e = bench_entry(name, {d, s, t}, A_ARCHIVE, when - uint32_t(g.next() % SPAN), when);
        if (last_leaf && k + 1 == n)
          e.pflg |= PF_END;
        emit(e, size, from, "C_/" + d + "/" + s + "/" + t + "/" + name);
      }
    }
  };

  file_image img(img_path);
  img.start(0, hdr_text(2001, 1), bench_vtbl("benchmark tree", when));
  // The compressed twin is written alongside, from the same calls.
  std::unique_ptr<file_image> z;
  if (!zimg_path.empty()) {
    z = std::make_unique<file_image>(zimg_path);
    z->start(0, hdr_text(2001, 1), bench_vtbl("benchmark tree", when));
    z->begin_compressed({});
  }
  tar_writer tar(tar_path);
  tar.dir("C_", when);
  tree_counts c;
  each([&](const entry &e, uint64_t size, uint64_t from, const std::string &tname) {
    if (e.attrib == A_SUBDIR) {
      c.dirs++;
      tar.dir(tname, e.t1);
    } else if (e.attrib != A_VOLUME) {
      c.files++;
      c.bytes += size;
      tar.file(tname, e.t1, size, from);
    }
    auto data = [from](uint64_t at, std::span<uint8_t> out) { copy_pattern(from + at, out); };
    img.dir_entry(e, size, data);
    if (z)
      z->dir_entry(e, size, data);
  });
  tar.close();

  img.pad_to(img.next_block());
  if (z)
    z->end_compressed(); // the segments end on a block boundary
  const uint64_t cat = img.size(), zcat = z ? z->size() : 0;
  each([&](entry e, uint64_t size, uint64_t, const std::string &) {
    e.flen = static_cast<uint32_t>(size);
    img.cat_entry(e);
    if (z)
      z->cat_entry(e);
  });
  img.cat_end();
  img.finish(cat);
  img.close();
  if (z) {
    z->cat_end();
    z->finish(zcat);
    z->close();
  }
  return c;
}

void bench_big(const std::string &img_path, const std::string &copy_path, uint64_t bytes) {
  const uint32_t when = utc(2001, 3, 5, 9, 30);
  file_image img(img_path);
  img.start(0, hdr_text(2002, 1), bench_vtbl("benchmark big file", when));
  entry e = bench_entry("BIG.DAT", {}, A_ARCHIVE, when - 3600, when);
  e.pflg = PF_END;
  auto fill = [](uint64_t at, std::span<uint8_t> out) { copy_pattern(at, out); };
  img.dir_entry(e, bytes, fill);
  img.pad_to(img.next_block());
  uint64_t cat = img.size();
  e.flen = static_cast<uint32_t>(bytes);
  img.cat_entry(e);
  img.cat_end();
  img.finish(cat);
  img.close();

  write_copy(copy_path, bytes);
}

void bench_zbig(const std::string &img_path, const std::string &stream_path, uint64_t bytes) {
  const uint32_t when = utc(2001, 3, 5, 9, 30);
  entry e = bench_entry("BIG.DAT", {}, A_ARCHIVE, when - 3600, when);
  e.pflg = PF_END;
  auto fill = [](uint64_t at, std::span<uint8_t> out) { copy_pattern(at, out); };

  file_image img(img_path);
  img.start(0, hdr_text(2005, 1), bench_vtbl("benchmark compressed big file", when));
  img.begin_compressed({});
  img.dir_entry(e, bytes, fill);
  img.end_compressed();
  const uint64_t cat = img.size();
  e.flen = static_cast<uint32_t>(bytes);
  img.cat_entry(e);
  img.cat_end();
  img.finish(cat);
  img.close();

  // The stream on its own: an image's data region from its first byte.
  file_image stream(stream_path);
  e.flen.reset();
  stream.dir_entry(e, bytes, fill);
  stream.close();
}

void bench_set3(const std::string &img_prefix, const std::string &copy_path, uint64_t bytes,
                const comp_options *z) {
  const uint32_t when = utc(2001, 3, 7, 18, 45);
  const unsigned job = 2004;
  entry drv = drive_spec("C:");
  drv.t1 = drv.t2 = drv.t3 = drv.t4 = when;
  entry big = bench_entry("BIG.DAT", {}, A_ARCHIVE, when - 7200, when);
  big.pflg = PF_END;

  // Cartridges 1 and 2 end on a block boundary inside the data, with no
  // catalog (dirSz 0), so the data region runs to the end of the file; the
  // next image's data region goes on with the very next byte. Each holds
  // about a third of the file.
  uint64_t done = 0;
  for (uint8_t seq = 1; seq <= 3; ++seq) {
    vtbl_fields v = bench_vtbl("benchmark three cartridges", when);
    v.flag |= 0x02;
    v.seq = seq;
    file_image img(img_prefix + "-" + std::to_string(seq) + ".113");
    img.start(0, hdr_text(job, seq), v);
    if (z)
      img.begin_compressed(*z);
    if (seq == 1) {
      img.dir_entry(drv);
      entry h = big;
      h.flen = static_cast<uint32_t>(bytes);
      img.dir_header(h);
    }
    auto part = [done](uint64_t at, std::span<uint8_t> out) { copy_pattern(done + at, out); };
    if (seq < 3) {
      const uint64_t third = bytes * seq / 3;
      const uint64_t want = third > done ? third - done : 1;
      const uint64_t cut = (img.size() + want + BLOCK_SIZE - 1) / BLOCK_SIZE * BLOCK_SIZE;
      const uint64_t n = cut - img.size();
      if (done + n >= bytes)
        throw std::invalid_argument("set3: too few bytes to span three images");
      img.fill(n, part);
      done += n;
      if (z)
        img.end_compressed();
      img.finish(img.size()); // the data region ends where the image does
    } else {
      img.fill(bytes - done, part);
      img.trailer(big);
      if (z)
        img.end_compressed(); // the segments end on a block boundary
      else
        img.pad_to(img.next_block());
      const uint64_t cat = img.size();
      img.cat_entry(drv);
      big.flen = static_cast<uint32_t>(bytes);
      img.cat_entry(big);
      img.cat_end();
      img.finish(cat);
    }
    img.close();
  }
  write_copy(copy_path, bytes);
}

void bench_junk(const std::string &img_path, uint64_t junk) {
  const uint32_t when = utc(2001, 3, 6, 12, 0);
  file_image img(img_path);
  img.start(0, hdr_text(2003, 1), bench_vtbl("benchmark resync", when));
  entry a = file_entry("A.TXT", {}, "before the junk\r\n", when);
  entry b = file_entry("B.TXT", {}, "after the junk\r\n", when);
  b.pflg = PF_END;
  img.dir_entry(a);
  // Random bytes with 0x33 turned into 0x34: as hard for the search as noise
  // gets (0xCC as often as any byte) while DIR_SIG cannot occur.
  rng r{0x7A4B};
  img.fill(junk, [&r](uint64_t, std::span<uint8_t> out) {
    for (auto &c : out) {
      c = uint8_t(r.next() >> 56);
      if (c == 0x33)
        c = 0x34;
    }
  });
  img.dir_entry(b);
  img.pad_to(img.next_block());
  uint64_t cat = img.size();
  img.cat_entry(a);
  img.cat_entry(b);
  img.cat_end();
  img.finish(cat);
  img.close();
}

tree_counts bench_many(const std::string &img_path, uint32_t entries,
                       const std::string &zimg_path) {
  const uint32_t when = utc(2001, 3, 8, 8, 0);
  tree_counts c;
  auto each = [&](auto &&emit) {
    c = {};
    rng g{0x3A11};
    entry drv = drive_spec("C:");
    drv.t1 = drv.t2 = drv.t3 = drv.t4 = when;
    if (entries == 1)
      drv.pflg |= PF_END;
    emit(drv, uint64_t(0));
    for (uint32_t n = 1, fno = 0; n < entries; n++) {
      const uint32_t changed = when - uint32_t(g.next() % SPAN);
      const std::string d = num("D", (n - 1) / 1000, 4);
      entry e = (n - 1) % 1000 == 0
                    ? bench_entry(d, {}, A_SUBDIR, changed, when)
                    : bench_entry(num("F", fno++, 6) + ".DAT", {d}, A_ARCHIVE, changed, when);
      if (n + 1 == entries)
        e.pflg |= PF_END;
      // One file in 16 holds a little text; the rest are empty, so that a
      // million of them extract into little space.
      const uint64_t size = e.attrib == A_ARCHIVE && fno % 16 == 0 ? 1 + g.next() % 200 : 0;
      (e.attrib == A_SUBDIR ? c.dirs : c.files)++;
      c.bytes += size;
      emit(e, size);
    }
  };
  many_image(img_path, "benchmark many entries", when, each, zimg_path);
  return c;
}

tree_counts bench_long_dirs(const std::string &img_path, uint32_t dirs) {
  const uint32_t when = utc(2001, 3, 8, 9, 0);
  tree_counts c;
  // 250 characters, numbered at the front so that no two are alike.
  auto name = [](uint32_t n) {
    std::string s = num("L", n, 7);
    while (s.size() < 250)
      s += "-long-directory-name";
    s.resize(250);
    return s;
  };
  auto each = [&](auto &&emit) {
    c = {};
    entry drv = drive_spec("C:");
    drv.t1 = drv.t2 = drv.t3 = drv.t4 = when;
    if (dirs == 0)
      drv.pflg |= PF_END;
    emit(drv, uint64_t(0));
    std::string top;
    for (uint32_t n = 0; n < dirs; n++) {
      // A thousand to a directory at the root.
      entry e = bench_entry(name(n), n % 1000 == 0 ? std::vector<std::string>{}
                                                   : std::vector<std::string>{top},
                            A_SUBDIR, when - n, when);
      e.name2 = num("L", n, 7); // the short alias
      if (n % 1000 == 0)
        top = e.name;
      if (n + 1 == dirs)
        e.pflg |= PF_END;
      c.dirs++;
      emit(e, uint64_t(0));
    }
  };
  many_image(img_path, "benchmark long directory names", when, each);
  return c;
}

} // namespace cartsift::build
