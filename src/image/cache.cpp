// An image file read through a window cache.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "image/image.h"

namespace cartsift {

namespace window {

int64_t file_size(int fd) {
  platform::file_info fi;
  return platform::stat_file(fd, &fi) ? fi.size : -1;
}

file_source::file_source(int fd)
    : fd_(fd), mem_(std::make_unique_for_overwrite<uint8_t[]>(WIN_SIZE)) {
  win_p = mem_.get();
}

int open_image(const char *path) {
  int fd = platform::open_file(platform::cwd(), path, platform::OPEN_READ);
  if (fd < 0)
    return -1;
  platform::file_info fi;
  if (!platform::stat_file(fd, &fi) || fi.kind == platform::file_kind::directory) {
    (void)platform::close_file(fd);
    errno = EISDIR;
    return -1;
  }
  return fd;
}

std::unique_ptr<file_source> file_source::open(const char *path) {
  int fd = open_image(path);
  if (fd < 0)
    return nullptr;
  return std::unique_ptr<file_source>(new file_source(fd));
}

// System calls are what a walk pays for (a few microseconds each here), so
// the window is refilled in reads large enough to serve many entries, yet
// small enough to stay in the processor's cache while they are parsed
// (128 KiB to 512 KiB measured alike; 1 MiB was slower). A read far from the
// window (a long skip over file data) fetches a short window instead, as
// only the next entry's header is wanted there.
bool file_source::fill(size_t want) {
  if (want == 0 || want > WIN_SIZE) {
    want = WIN_SIZE;
    if (win_len > 0 && (pos < win_off || pos > win_end() + int64_t(WIN_SIZE)))
      want = FAR_SIZE;
  }
  int64_t r = read_full(fd(), mem_.get(), want, pos);
  if (r < 0) {
    win_len = 0;
    return false;
  }
  win_off = pos;
  win_len = size_t(r);
  return true;
}

int64_t file_source::read(void *dst, size_t n) {
  auto *p = static_cast<uint8_t *>(dst);
  size_t got = 0;
  while (got < n) {
    if (in_window(pos)) {
      size_t at = size_t(pos - win_off);
      size_t take = std::min(n - got, win_len - at);
      std::memcpy(p + got, mem_.get() + at, take);
      got += take;
      pos += int64_t(take);
      continue;
    }
    if (n - got >= WIN_SIZE) { // large reads bypass the window
      int64_t r = read_full(fd(), p + got, n - got, pos);
      if (r < 0)
        return got > 0 ? int64_t(got) : -1;
      got += size_t(r);
      pos += r;
      break;
    }
    if (!fill())
      return got > 0 ? int64_t(got) : -1;
    if (win_len == 0)
      break;
  }
  return int64_t(got);
}

int64_t file_source::pass(int64_t n) {
  int64_t got = 0;
  while (got < n) {
    if (!in_window(pos)) {
      win_len = 0;
      if (!fill(WIN_SIZE))
        return got > 0 ? got : -1;
      if (win_len == 0)
        break;
    }
    int64_t take = std::min(n - got, win_end() - pos);
    got += take;
    pos += take;
  }
  return got;
}

} // namespace window

using namespace window;

int img_open(const char *path) {
  std::unique_ptr<file_source> f = file_source::open(path);
  if (f == nullptr)
    return -1;
  const int fd = f->fd();
  return enter(fd, std::move(f));
}

// A descriptor that is no source is read at its own position, uncached.
int64_t img_read(int fp, void *dst, size_t n) {
  if (source *s = lookup(fp)) {
    if (!s->ready(n))
      return s->read(dst, n);
    std::memcpy(dst, s->win_p + (s->pos - s->win_off), n);
    s->pos += int64_t(n);
    return int64_t(n);
  }
  return read_full(fp, dst, n, -1);
}

int64_t img_pass(int fp, int64_t n) {
  if (source *s = lookup(fp)) {
    if (n < 0 || !s->ready(uint64_t(n)))
      return s->pass(n);
    s->pos += n;
    return n;
  }
  uint8_t spare[1 << 16];
  int64_t got = 0;
  while (got < n) {
    int64_t r = read_full(fp, spare, size_t(std::min<int64_t>(n - got, sizeof spare)), -1);
    if (r <= 0)
      return got > 0 || r == 0 ? got : -1;
    got += r;
  }
  return got;
}

} // namespace cartsift
