// --inflate: a compressed volume written out as the uncompressed image the
// classic interface reads.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "cli/cli.h"
#include "extract/write_full.h"

namespace cartsift::cli {

namespace {

class writer {
public:
  explicit writer(int fd) : fd_(fd) {}
  bool put(const uint8_t *p, size_t n) {
    if (!write_full(fd_, p, n))
      return false;
    at_ += int64_t(n);
    return true;
  }
  bool zeros(int64_t n) {
    static const uint8_t z[1 << 16] = {};
    while (n > 0) {
      const size_t k = size_t(std::min<int64_t>(n, sizeof z));
      if (!put(z, k))
        return false;
      n -= int64_t(k);
    }
    return true;
  }
  int64_t at() const { return at_; }

private:
  int fd_;
  int64_t at_ = 0;
};

void put32(int fd, int64_t off, uint32_t v, bool *ok) {
  uint8_t b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
  *ok = *ok && platform::write_at(fd, b, 4, off);
}

// The stream's bytes [from, to) to w; holes become zeros. False when
// writing failed.
bool copy_stream(const cart_set &s, int64_t from, int64_t to, writer &w, progress &pr) {
  static uint8_t chunk[1 << 18];
  int64_t pos = from;
  while (pos < to) {
    int64_t r = seek_to(s.sfd, pos) ? img_read(s.sfd, chunk, size_t(std::min<int64_t>(
                                                                 to - pos, sizeof chunk)))
                                    : -1;
    if (r > 0) {
      if (!w.put(chunk, size_t(r)))
        return false;
      pos += r;
      pr.add(uint64_t(r), 0);
      continue;
    }
    // A hole: zeros up to where the stream reads again.
    int64_t end = std::min(set_after_hole(s.sfd, pos), to);
    if (end <= pos)
      end = to;
    if (!w.zeros(end - pos))
      return false;
    pos = end;
  }
  return true;
}

// One image; the status it earns.
int inflate_one(const options &o, const std::string &in, const std::string &out) {
  options one = o;
  one.images = {in};
  one.as_given = true;
  std::unique_ptr<cart_set> s = open_set(one);
  if (!s)
    return 2;
  const image_info &ii = s->images.front();
  if (!ii.compressed) {
    textf(stderr, "cartsift: %s: not compressed, nothing to inflate\n", in.c_str());
    return 2;
  }
  platform::file_info a, b;
  if (platform::stat_at(platform::cwd(), out.c_str(), &b, true) &&
      platform::stat_at(platform::cwd(), in.c_str(), &a, true) && a.dev == b.dev &&
      a.ino == b.ino) {
    textf(stderr, "cartsift: %s: would be written over itself\n", out.c_str());
    return 2;
  }
  hole_reporter holes(*s, o);

  const int64_t total = s->total;
  const int64_t data_len =
      ii.cat_stored ? total : std::clamp<int64_t>(ii.vt.dataSz, 0, total);
  // The twin is written beside its name and renamed to it when whole.
  const size_t slash = out.find_last_of(PATH_SEPS);
  const std::string out_dir = slash == std::string::npos ? "." : out.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? out : out.substr(slash + 1);
  platform::file_info st;
  const platform::dir dfd = platform::open_dir(platform::cwd(), out_dir.c_str(), false);
  const bool there = dfd.ok() && platform::stat_at(dfd, name.c_str(), &st, true);
  if (there && !o.overwrite)
    errno = EEXIST;
  part_file twin;
  if (!dfd.ok() || (there && !o.overwrite) || twin.open(dfd) < 0) {
    textf(stderr, "cartsift: %s: %s%s\n", out.c_str(), std::strerror(errno),
                 errno == EEXIST ? " (--overwrite replaces it)" : "");
    return 2;
  }
  const int fd = twin.fd();
  writer w(fd);
  bool ok = true;
  {
    // Headers and volume table as they are; patched below.
    img_handle src(img_open(in.c_str()));
    uint8_t head[4096];
    for (int64_t at = 0; ok && at < DATA_START; at += int64_t(sizeof head)) {
      const size_t n = size_t(std::min<int64_t>(DATA_START - at, sizeof head));
      ok = seek_to(src.get(), at) && img_read(src.get(), head, n) == int64_t(n) && w.put(head, n);
    }
  }
  progress pr(!o.quiet, uint64_t(data_len), 1);
  ok = ok && copy_stream(*s, 0, data_len, w, pr);
  const int64_t cat_off = DATA_START + cat_blocks(data_len) * BLOCK_SIZE;
  ok = ok && w.zeros(cat_off - w.at());
  int64_t cat_len = 0;
  if (ok && ii.cat_stored) {
    // The catalog's own size when the volume table's fits what is stored,
    // so that the twin's table says what the original's did.
    const int64_t stored = ii.size - ii.cats, dir = int64_t(ii.vt.dirSz);
    const int64_t end =
        dir > 0 && dir <= stored
            ? ii.cats + std::min(stored, cat_blocks(dir) * BLOCK_SIZE)
            : ii.size;
    img_handle src(img_open(in.c_str()));
    uint8_t t[1 << 16];
    for (int64_t at = ii.cats; ok && at < end;) {
      const int64_t r = seek_to(src.get(), at)
                            ? img_read(src.get(), t, size_t(std::min<int64_t>(end - at, sizeof t)))
                            : -1;
      ok = r > 0 && w.put(t, size_t(r));
      at += std::max<int64_t>(r, 0);
    }
    cat_len = dir > 0 && dir <= stored ? dir : stored;
  } else if (ok) {
    cat_len = total - data_len;
    ok = copy_stream(*s, data_len, total, w, pr);
  }
  pr.done();
  holes.note_holes(); // found by the copy, which inflated every extent once
  if (ii.data_cut) {
    // What the twin holds is all the image gave; past this lie only zeros.
    const int64_t stop = total <= data_len ? DATA_START + total : cat_off + (total - data_len);
    if (total < ii.vt.dataSz)
      rep.warn("%s: 0x%llx: the data stops here, %lld bytes short, as %s is truncated",
               out.c_str(), static_cast<unsigned long long>(stop),
               static_cast<long long>(ii.vt.dataSz - total), in.c_str());
    else
      rep.warn("%s: 0x%llx: the data is whole up to here; what followed is lost, as %s is "
               "truncated", out.c_str(), static_cast<unsigned long long>(stop), in.c_str());
  }
  const int64_t nblk = cat_off / BLOCK_SIZE + cat_blocks(cat_len);
  ok = ok && w.zeros(nblk * BLOCK_SIZE - w.at());
  // The classic computed catalog offset, (nblk - dblk) blocks, lands on it.
  put32(fd, 10, uint32_t(nblk), &ok);
  put32(fd, BLOCK_SIZE + 10, uint32_t(nblk), &ok);
  put32(fd, VTBL_OFFSET + 92, uint32_t(cat_len), &ok);
  put32(fd, VTBL_OFFSET + 96, uint32_t(data_len), &ok);
  put32(fd, VTBL_OFFSET + 100, uint32_t(uint64_t(data_len) >> 32), &ok);
  const uint8_t flag = uint8_t(ii.vt.flag & ~0x10), comp = 0;
  ok = ok && platform::write_at(fd, &flag, 1, VTBL_OFFSET + 56) &&
       platform::write_at(fd, &comp, 1, VTBL_OFFSET + 124);
  if (!ok || !twin.commit(dfd, name.c_str())) {
    textf(stderr, "cartsift: %s: cannot write: %s\n", out.c_str(), std::strerror(errno));
    return 2;
  }
  rep.wrote = true;
  if (o.verbose)
    textf(stderr, "%s -> %s\n", in.c_str(), out.c_str());
  return 0;
}

} // namespace

int do_inflate(const options &o) {
  std::vector<std::pair<std::string, std::string>> jobs;
  if (o.dir_given) {
    for (const auto &in : o.images) {
      const size_t slash = in.find_last_of(PATH_SEPS);
      jobs.emplace_back(in, o.dir + "/" + (slash == std::string::npos ? in : in.substr(slash + 1)));
    }
    if (!platform::make_dir(platform::cwd(), o.dir.c_str()) && errno != EEXIST) {
      textf(stderr, "cartsift: %s: %s\n", o.dir.c_str(), std::strerror(errno));
      return 2;
    }
  } else if (o.images.size() == 2) {
    jobs.emplace_back(o.images[0], o.images[1]);
  } else {
    textf(stderr, "cartsift: --inflate takes IN OUT, or -C DIR and the images\n"
                         "Try 'cartsift --help' for more information.\n");
    return 2;
  }
  int status = 0;
  interrupt_guard signals;
  for (const auto &[in, out] : jobs) {
    const int r = inflate_one(o, in, out);
    status = std::max(status, r);
  }
  if (status == 0 && rep.problems > 0)
    status = 1;
  // 2 says that nothing was written; once a twin was, a failure is a 1.
  return status == 2 && rep.wrote ? 1 : status;
}

} // namespace cartsift::cli
