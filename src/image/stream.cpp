// A set of images read as one stream of data regions.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "image/window.h"

namespace cartsift {

using namespace window;

namespace {

struct stream {
  std::vector<set_part> parts;
  std::vector<int64_t> base; // base[i]: stream offset of part i; base.back(): the end
  int64_t pos = 0;
  size_t open_part = SIZE_MAX; // the one image kept open
  fd_guard fd;
  std::vector<std::unique_ptr<zview>> views; // per part; null when not compressed

  int64_t total() const { return base.back(); }
  // The part holding soff (the last one at or past the end).
  size_t part_of(int64_t soff) const {
    if (open_part < parts.size() && soff >= base[open_part] && soff < base[open_part + 1])
      return open_part;
    auto it = std::upper_bound(base.begin(), base.end() - 1, soff);
    return it == base.begin() ? 0 : size_t(it - base.begin() - 1);
  }
  // The image of part i, positioned at the image offset of soff.
  int at(size_t i, int64_t soff) {
    if (open_part != i) {
      if (open_part < views.size() && views[open_part])
        views[open_part]->release();
      fd.reset(img_open(parts[i].path.c_str()));
      open_part = fd.get() < 0 ? SIZE_MAX : i;
      if (fd.get() < 0)
        return -1;
      if (views[i])
        views[i]->use_fd(fd.get());
    }
    if (views[i])
      return fd.get();
    return seek_to(fd.get(), parts[i].start + (soff - base[i])) ? fd.get() : -1;
  }
  // The first barrier after soff, or the end.
  int64_t run_end(int64_t soff) const {
    for (size_t i = part_of(soff) + 1; i < parts.size(); i++)
      if (parts[i].gap_before)
        return base[i];
    return total();
  }
};

// Few streams are open at once: one for a run, one more in tests.
std::unique_ptr<stream> streams[4];

stream *get(int sfd) {
  size_t k = size_t(sfd - STREAM_FD);
  if (sfd < STREAM_FD || k >= std::size(streams))
    return nullptr;
  return streams[k].get();
}

} // namespace

int set_open(std::vector<set_part> parts) { return set_open(std::move(parts), nullptr); }

int set_open(std::vector<set_part> parts, std::string *why) {
  if (parts.empty())
    return -1;
  for (size_t k = 0; k < std::size(streams); k++) {
    if (streams[k])
      continue;
    auto s = std::make_unique<stream>();
    int64_t b = 0;
    for (auto &p : parts) {
      s->base.push_back(b);
      std::unique_ptr<zview> z;
      if (p.inflate) {
        fd_guard fd(img_open(p.path.c_str()));
        z = std::make_unique<zview>();
        std::string w = fd.get() < 0 ? "cannot be opened" : "";
        if (fd.get() < 0 || !z->open(fd.get(), p.start, p.end, p.spanning, &w)) {
          if (why)
            *why = p.path + ": compressed volume: " + w;
          return -1;
        }
        z->use_fd(-1);
        b += z->size();
      } else {
        b += std::max<int64_t>(0, p.end - p.start);
      }
      s->views.push_back(std::move(z));
    }
    s->base.push_back(b);
    s->parts = std::move(parts);
    streams[k] = std::move(s);
    return STREAM_FD + int(k);
  }
  return -1;
}

const z_info *set_zinfo(int sfd, size_t part) {
  stream *s = get(sfd);
  return s && part < s->views.size() && s->views[part] ? &s->views[part]->info : nullptr;
}

void set_inflate_all(int sfd) {
  stream *s = get(sfd);
  if (!s)
    return;
  for (size_t i = 0; i < s->parts.size(); i++) {
    if (!s->views[i] || s->at(i, s->base[i]) < 0)
      continue;
    s->views[i]->decode_untried();
  }
}

size_t set_parts(int sfd) {
  stream *s = get(sfd);
  return s ? s->parts.size() : 0;
}

int set_dup(int sfd) {
  stream *s = get(sfd);
  return s ? set_open(s->parts) : -1;
}

int64_t set_after_hole(int sfd, int64_t soff) {
  stream *s = get(sfd);
  if (!s || soff < 0 || soff >= s->total())
    return soff;
  const size_t i = s->part_of(soff);
  if (!s->views[i] || s->at(i, soff) < 0)
    return soff;
  return s->base[i] + s->views[i]->next_extent(soff - s->base[i]);
}

void set_close(int sfd) {
  if (get(sfd))
    streams[size_t(sfd - STREAM_FD)].reset();
}

set_place set_locate(int sfd, int64_t soff) {
  set_place p;
  if (stream *s = get(sfd)) {
    p.part = s->part_of(soff);
    p.off = s->parts[p.part].start + (soff - s->base[p.part]);
  } else {
    p.off = soff;
  }
  return p;
}

int64_t set_base(int sfd, size_t part) {
  stream *s = get(sfd);
  return s && part < s->parts.size() ? s->base[part] : -1;
}

int64_t img_run_end(int fp, int64_t off) {
  if (stream *s = get(fp))
    return off >= s->total() ? s->total() : s->run_end(std::max<int64_t>(off, 0));
  if (img_file *f = find(fp))
    return file_size(f->fd);
  return file_size(fp);
}

namespace window {

int64_t stream_seek(int sfd, int64_t off, int whence) {
  stream *s = get(sfd);
  if (!s) {
    errno = EBADF;
    return -1;
  }
  int64_t b = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? s->pos : s->total();
  if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END) {
    errno = EINVAL;
    return -1;
  }
  if ((off > 0 && b > INT64_MAX - off) || b + off < 0) {
    errno = EINVAL;
    return -1;
  }
  s->pos = b + off;
  return s->pos;
}

int64_t stream_read(int sfd, void *dst, size_t n) {
  stream *s = get(sfd);
  if (!s)
    return -1;
  auto *p = static_cast<uint8_t *>(dst);
  size_t got = 0;
  bool failed = false;
  while (got < n && s->pos < s->total()) {
    size_t i = s->part_of(s->pos);
    // A read may start right after a barrier, never run across one.
    if (got > 0 && s->pos == s->base[i] && s->parts[i].gap_before)
      break;
    int fd = s->at(i, s->pos);
    if (fd < 0) {
      failed = true;
      break;
    }
    size_t want = size_t(std::min<int64_t>(int64_t(n - got), s->base[i + 1] - s->pos));
    int64_t r = s->views[i] ? s->views[i]->read(s->pos - s->base[i], p + got, want)
                            : img_read(fd, p + got, want);
    if (r > 0) {
      got += size_t(r);
      s->pos += r;
    }
    if (r < int64_t(want)) { // the image is shorter than its region, or unreadable
      failed = r < 0;
      break;
    }
  }
  return got == 0 && failed ? -1 : int64_t(got);
}

namespace {

// Decoded, not copied: the extents in the way are inflated and passed.
int64_t view_pass(zview &z, int64_t off, int64_t n) {
  int64_t got = 0;
  while (got < n) {
    const uint8_t *p;
    int64_t b, l;
    if (!z.extent_at(off + got, &p, &b, &l))
      break;
    got += std::min(n - got, l - (off + got - b));
  }
  return got == 0 && n > 0 ? -1 : got;
}

// Straight from the decoded extent.
int64_t view_copy(zview &z, int64_t off, int fo, int64_t n, bool *rfail) {
  int64_t got = 0;
  while (got < n) {
    const uint8_t *p;
    int64_t b, l;
    if (!z.extent_at(off + got, &p, &b, &l)) {
      *rfail = true;
      break;
    }
    const int64_t at = off + got - b;
    const size_t take = size_t(std::min(n - got, l - at));
    const size_t w = write_some(fo, p + at, take);
    got += int64_t(w);
    if (w < take)
      break;
  }
  return got;
}

// The first whole match at or after off inside the view, holes passed by.
int64_t view_find(zview &z, int64_t off, uint32_t sig) {
  while (off < z.size()) {
    const uint8_t *p;
    int64_t b, l;
    if (!z.extent_at(off, &p, &b, &l)) {
      int64_t nx = z.next_extent(off);
      if (nx <= off)
        break;
      off = nx;
      continue;
    }
    const size_t at = size_t(off - b), n = size_t(l) - at;
    size_t i = find_sig(p + at, n, sig);
    if (i < n)
      return off + int64_t(i);
    // A value cut by the border with the next extent.
    uint8_t t[6];
    const int64_t from = std::max(off, b + l - 3);
    int64_t r = z.read(from, t, 6);
    for (int64_t k = 0; k + 4 <= r; k++)
      if (from + k < b + l && le32(t + k) == sig)
        return from + k;
    off = b + l;
  }
  return -1;
}

} // namespace

int64_t stream_pass(int sfd, int64_t n) {
  stream *s = get(sfd);
  if (!s)
    return -1;
  int64_t got = 0;
  while (got < n && s->pos < s->total()) {
    size_t i = s->part_of(s->pos);
    if (got > 0 && s->pos == s->base[i] && s->parts[i].gap_before)
      break;
    int fd = s->at(i, s->pos);
    if (fd < 0)
      return got > 0 ? got : -1;
    int64_t want = std::min(n - got, s->base[i + 1] - s->pos);
    int64_t r = s->views[i] ? view_pass(*s->views[i], s->pos - s->base[i], want)
                            : img_pass(fd, want);
    if (r > 0) {
      got += r;
      s->pos += r;
    }
    if (r < want)
      return r < 0 && got == 0 ? -1 : got;
  }
  return got;
}

int64_t stream_copy(int sfd, int fo, int64_t n, bool *rfail) {
  *rfail = false;
  stream *s = get(sfd);
  if (!s) {
    *rfail = true;
    return 0;
  }
  const int64_t stop = std::min(s->run_end(std::min(s->pos, s->total())), s->total());
  int64_t got = 0;
  while (got < n) {
    if (s->pos >= stop) {
      *rfail = true;
      break;
    }
    size_t i = s->part_of(s->pos);
    int fd = s->at(i, s->pos);
    if (fd < 0) {
      *rfail = true;
      break;
    }
    int64_t want = std::min(n - got, s->base[i + 1] - s->pos);
    bool rf = false;
    int64_t c = s->views[i] ? view_copy(*s->views[i], s->pos - s->base[i], fo, want, &rf)
                            : img_copy(fd, fo, want, &rf);
    got += c;
    s->pos += c;
    if (c < want) {
      *rfail = rf;
      break;
    }
  }
  return got;
}

// Each part is searched in its image, the match bounded by its region; a
// value that straddles two parts is looked for where they meet.
int64_t stream_find(int sfd, int64_t off, uint32_t sig) {
  stream *s = get(sfd);
  if (!s || off < 0)
    return -1;
  for (size_t i = s->part_of(off); off < s->total() && i < s->parts.size(); i++) {
    if (off >= s->base[i + 1])
      continue;
    const int64_t region_end = s->parts[i].start + (s->base[i + 1] - s->base[i]);
    int fd = s->at(i, off);
    if (fd >= 0 && s->views[i]) {
      int64_t f = view_find(*s->views[i], off - s->base[i], sig);
      if (f >= 0 && f + 4 <= s->base[i + 1] - s->base[i]) {
        s->pos = s->base[i] + f + 4;
        return s->pos - 4;
      }
    } else if (fd >= 0) {
      int64_t f = fnd_sig(fd, s->parts[i].start + (off - s->base[i]), sig);
      if (f >= 0 && f + 4 <= region_end) {
        s->pos = s->base[i] + (f - s->parts[i].start) + 4;
        return s->pos - 4;
      }
    }
    // Up to 3 bytes before the border and the first bytes after it.
    if (i + 1 < s->parts.size() && !s->parts[i + 1].gap_before) {
      int64_t from = std::max(off, s->base[i + 1] - 3);
      uint8_t b[6];
      s->pos = from;
      int64_t n = stream_read(sfd, b, size_t(std::min<int64_t>(6, s->total() - from)));
      for (int64_t k = 0; k + 4 <= n; k++)
        if (le32(b + k) == sig && from + k < s->base[i + 1]) {
          s->pos = from + k + 4;
          return from + k;
        }
    }
    off = s->base[i + 1];
  }
  s->pos = s->total();
  return -1;
}

} // namespace window

} // namespace cartsift
